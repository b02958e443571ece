/*
 * Helpers of the client tool's tests: running a program with its output
 * and error streams apart, the system as separate processes (simulator,
 * hwservicemanager, service), and reading PNG files.
 */
#pragma once

#include <stdint.h>

#include <string>
#include <vector>

#include "test_util.h"

namespace twtools {

struct RunResult {
    int exitCode = -1;  // -1: killed or did not end in time
    bool timedOut = false;
    std::string out;
    std::string err;
    int64_t ms = 0;  // how long it ran
};

// Runs argv (environment entries "KEY=VALUE" added to this process's, a
// bare "KEY" removed from it) in its own process group, with
// stdin from /dev/null, waits at most timeoutMs, then kills it.
RunResult run(const std::vector<std::string>& argv, const std::vector<std::string>& env,
              int timeoutMs, const std::string& cwd = "");

// Lines of a text, without their line ends; no empty last line.
std::vector<std::string> lines(const std::string& text);

bool contains(const std::vector<std::string>& lines, const std::string& text);

// An 8-bit grey picture, row by row.
struct Grey {
    uint32_t width = 0;
    uint32_t height = 0;
    std::vector<uint8_t> pixels;
    uint8_t at(uint32_t x, uint32_t y) const { return pixels[size_t(y) * width + x]; }
};

// Reads any PNG as 8-bit grey; false when it is not one.
bool readPng(const std::string& file, Grey* out);
// Writes an 8-bit grey PNG.
bool writePng(const std::string& file, const Grey& picture);

// The simulator program, hwservicemanager and the service under a new
// device root; with `plug`, the accessory plugged, its AT channel up and
// its sub display on.
class System {
  public:
    // Starts everything; ok() tells whether it worked. With `service`
    // false, only the simulator (and the accessory) run. The service starts
    // from `serviceRc` (by default its own .rc) as init would start it.
    explicit System(bool service = true, bool plug = true, const std::string& serviceRc = "");
    ~System();
    bool ok() const { return mOk; }
    const std::string& root() const { return mRoot.path(); }
    const std::vector<std::string>& env() const { return mEnv; }

    // One simulator command: its answer lines, the last "ok..." or
    // "error...".
    std::vector<std::string> sim(const std::string& command, int timeoutMs = 10000);
    bool simOk(const std::string& command, int timeoutMs = 10000);

    // Runs twinelctl with the given arguments against this system.
    RunResult client(const std::vector<std::string>& args, int timeoutMs = 20000);
    // Starts twinelctl in the background, output (both streams) to logPath.
    bool startClient(twtest::Child* child, const std::vector<std::string>& args,
                     const std::string& logPath);
    // The AT commands the accessory received, in order.
    std::vector<std::string> atCommands();
    // The values written to `node`, in order (as the simulator shows them).
    std::vector<std::string> nodeWrites(const std::string& node);

    twtest::Child& service() { return mService; }

  private:
    twtest::TempDir mRoot{"twtools"};
    std::vector<std::string> mEnv;
    twtest::Child mSim;
    twtest::Child mManager;
    twtest::Child mService;
    bool mOk = false;
};

}  // namespace twtools
