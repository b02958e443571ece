/*
 * Helpers shared by the test suites: temporary device roots, child
 * processes and waiting for conditions.
 */
#pragma once

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <string>
#include <vector>

namespace twtest {

// A temporary directory removed (recursively) when destroyed.
class TempDir {
  public:
    explicit TempDir(const char* prefix = "twtest");
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& path() const { return mPath; }

  private:
    std::string mPath;
};

// A child process running a program; killed (SIGKILL) and reaped when
// destroyed unless it ended before.
class Child {
  public:
    Child() = default;
    ~Child();
    Child(Child&& other) noexcept;
    Child& operator=(Child&& other) noexcept;

    // Starts argv[0] with the given extra environment ("KEY=VALUE").
    // stdout/stderr go to logPath when given.
    bool start(const std::vector<std::string>& argv, const std::vector<std::string>& env = {},
               const std::string& logPath = "");
    // Starts with stdin and stdout connected to this process (stderr to
    // logPath when given), for programs driven by line commands.
    bool startPiped(const std::vector<std::string>& argv, const std::vector<std::string>& env = {},
                    const std::string& logPath = "");
    // Writes one line to the child's stdin.
    bool writeLine(const std::string& line);
    // Reads one line of the child's stdout (without the newline); false on
    // end of file or time-out.
    bool readLine(std::string* line, int timeoutMs);
    pid_t pid() const { return mPid; }
    bool running();
    // Sends sig; with wait, reaps the child and returns its wait status.
    int kill(int sig = 9, bool wait = true);
    // Waits up to timeoutMs for the child to end; returns its wait status or
    // -1 on time-out.
    int wait(int timeoutMs);

  private:
    pid_t mPid = -1;
    int mIn = -1;
    int mOut = -1;
    std::string mPending;
};

// Polls cond every few milliseconds until it is true or timeoutMs passed.
bool waitFor(const std::function<bool()>& cond, int timeoutMs);

// Milliseconds on the monotonic clock.
int64_t nowMs();
// Nanoseconds on the monotonic clock.
int64_t nowNs();

// Whole content of a file; empty when unreadable.
std::string readFile(const std::string& path);

// Runs fn on this thread as an ordinary user (nobody) when the process is
// root, so permission checks apply; otherwise runs it as it is. Only the
// calling thread changes credentials (raw set*id calls, not the libc ones
// that change every thread), and they are restored before returning. No
// fork: a child of a process with running threads can inherit a lock held
// by one of them and hang. Returns false when the switch failed.
bool asOrdinaryUser(const std::function<void()>& fn);

// Directory of the test binaries (where the build puts programs).
std::string binDir();

// The system tests' processes under one device root, as a phone starts them.
// The simulator program, driven by line commands (its log to root/sim.log);
// true once it says it is ready, within timeoutMs.
bool startSimulator(Child* sim, const std::string& root, const std::vector<std::string>& env,
                    int timeoutMs);
// hwservicemanager (its log to root/servicemanager.log); true once its
// socket is there, within timeoutMs.
bool startServiceManager(Child* manager, const std::string& root,
                         const std::vector<std::string>& env, int timeoutMs);
// One command to a simulator started so: its answer lines, the last "ok..."
// or "error..."; each line waited for at most timeoutMs.
std::vector<std::string> simCommand(Child* sim, const std::string& command, int timeoutMs);
// Whether the answer ends in "ok...".
bool simOk(Child* sim, const std::string& command, int timeoutMs);

// Installs the service's VINTF manifest fragment under the device root, where
// the build puts it on a phone ("/vendor/etc/vintf/manifest/"), so that
// clients wait for the service as they do there. False when it cannot.
bool installServiceManifest(const std::string& root);

// The service's .rc and the vendor init and ueventd files beside it in the
// source tree.
std::string serviceRc();
std::string vendorInitRc();
std::string vendorUeventdRc();

// The command that starts the service as a phone's init does, from its .rc
// (`rc`, by default serviceRc()) under the device root of the environment
// given to the child: twinel-init with the vendor init and ueventd files.
std::vector<std::string> serviceCommand(const std::string& rc = "");

}  // namespace twtest
