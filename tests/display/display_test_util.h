/*
 * Shared pieces of the cover display tests: log capture, a Twinel object
 * running against the simulator, and views of what the simulator saw.
 *
 * Module state of the cover display is process-wide, so every test runs in
 * a process of its own (ctest runs them one by one; run by hand, main()
 * starts one child process per test).
 */
#pragma once

#include <gtest/gtest.h>
#include <twsim/simulator.h>

#include <memory>
#include <string>
#include <vector>

#include "Twinel.h"
#include "display.h"
#include "test_util.h"

namespace twdisplay {

using ::android::sp;
using ::vendor::zyr::hardware::twinel::V1_0::ScreenMode;
using ::vendor::zyr::hardware::twinel::V1_0::Status;
using ::vendor::zyr::hardware::twinel::V1_0::TwinelStatus;
using ::vendor::zyr::hardware::twinel::V1_1::implementation::Twinel;

constexpr const char* kServiceTag = "vendor.zyr.hardware.twinel@1.1-service";

struct LogLine {
    int priority;
    std::string message;
};

// Every line the service logs in this process, from install() on.
class LogCapture {
  public:
    static void install();
    static void clear();
    static std::vector<LogLine> lines();
    // Lines equal to `message` (and of `priority` unless it is -1).
    static int count(const std::string& message, int priority = -1);
    static bool contains(const std::string& message, int priority = -1) {
        return count(message, priority) > 0;
    }
    // Lines that begin with `prefix`.
    static std::vector<std::string> withPrefix(const std::string& prefix);
    static bool waitFor(const std::string& message, int timeoutMs);
    // Index of the first line equal to `message` at or after `from`; -1 if none.
    static int indexOf(const std::string& message, size_t from = 0);
};

// The service's view of the cover display, read under its lock.
TwinelStatus liveStatus();
std::deque<int32_t> queuedLevels();

// A temporary device root with the simulator, and a Twinel object on it.
class DisplayTest : public ::testing::Test {
  protected:
    void SetUp() override;
    void TearDown() override;

    // Plugs the accessory (serial function only) and waits until the serial
    // bring-up has run to its end; then forgets every record.
    void attach();
    // Unplugs it and waits for the cover display's tear-down.
    void detach();
    // Starts hwservicemanager under the root.
    void startServiceManager();

    // AT commands the firmware received that begin with `prefix` (all when
    // empty), in order.
    std::vector<std::string> commands(const std::string& prefix = "") const;
    std::vector<twsim::AtRecord> commandRecords(const std::string& prefix = "") const;
    // Waits until `count` commands beginning with `prefix` were received.
    bool waitForCommands(const std::string& prefix, size_t count, int timeoutMs = 2000) const;
    // Levels of the "AT%DB=" commands received.
    std::vector<int> brightnessLevels() const;
    // Values written to `node`, in order.
    std::vector<std::string> nodeValues(const std::string& node) const;

    Status powerOn(bool uevent = false);
    Status powerOff(bool uevent = false);
    TwinelStatus status();

    twtest::TempDir mRoot{"twdisp"};
    std::unique_ptr<twsim::Simulator> mSim;
    sp<Twinel> mHal;
    twtest::Child mServiceManager;
    // Commands of the last attach's bring-up.
    std::vector<std::string> mBringUpCommands;
};

twsim::AtScript atScript(const std::string& match, twsim::AtScript::Action action,
                         const std::string& text = "", int delayMs = 0, int times = 0);

long msBetween(twsim::Clock::time_point from, twsim::Clock::time_point to);

}  // namespace twdisplay
