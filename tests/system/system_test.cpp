/*
 * The system as separate processes: the service manager, the simulator
 * program, the service program and the client tool, as on a workstation.
 */
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vendor/zyr/hardware/twinel/1.1/ITwinel.h>

#include "test_util.h"

namespace {

using ::android::sp;
using ::android::hardware::hidl_handle;
using ::android::hardware::hidl_string;
using ::android::hardware::hidl_vec;
using ::android::hardware::Return;
using ::vendor::zyr::hardware::twinel::V1_1::ITwinel;

class System : public ::testing::Test {
  protected:
    void SetUp() override {
        signal(SIGPIPE, SIG_IGN);
        ASSERT_FALSE(mRoot.path().empty());
        mEnv = {"TWINEL_DEVICE_ROOT=" + mRoot.path(), "TWINEL_LOG_LEVEL=d"};
        std::string bin = twtest::binDir();
        ASSERT_TRUE(mSim.startPiped({bin + "/twinel-sim", "--root", mRoot.path()}, mEnv,
                                    mRoot.path() + "/sim.log"));
        std::string line;
        ASSERT_TRUE(mSim.readLine(&line, 5000));
        ASSERT_EQ(0u, line.find("ready")) << line;
        ASSERT_TRUE(twtest::installServiceManifest(mRoot.path()));
        ASSERT_TRUE(mManager.start({bin + "/hwservicemanager"}, mEnv,
                                   mRoot.path() + "/servicemanager.log"));
        ASSERT_TRUE(twtest::waitFor(
                [&] {
                    return access((mRoot.path() + "/dev/socket/hwbinder/hwservicemanager").c_str(),
                                  F_OK) == 0;
                },
                5000));
        ASSERT_TRUE(mService.start(twtest::serviceCommand(), mEnv, mRoot.path() + "/service.log"));
        ASSERT_TRUE(twtest::waitFor([&] { return client({"getTW2Connect"}) == 0; }, 5000));
    }

    // One simulator command; its output lines, the last being "ok..." or "error...".
    std::vector<std::string> sim(const std::string& command, int timeoutMs = 8000) {
        std::vector<std::string> out;
        EXPECT_TRUE(mSim.writeLine(command));
        std::string line;
        while (mSim.readLine(&line, timeoutMs)) {
            out.push_back(line);
            if (line.rfind("ok", 0) == 0 || line.rfind("error", 0) == 0) break;
        }
        return out;
    }

    bool simOk(const std::string& command, int timeoutMs = 8000) {
        std::vector<std::string> out = sim(command, timeoutMs);
        return !out.empty() && out.back().rfind("ok", 0) == 0;
    }

    // Runs the client tool; its exit code (-1 when it did not end in time).
    int client(const std::vector<std::string>& args, std::string* output = nullptr) {
        std::string out = mRoot.path() + "/client." + std::to_string(mRuns++);
        std::vector<std::string> argv = {twtest::binDir() + "/twinelctl"};
        argv.insert(argv.end(), args.begin(), args.end());
        twtest::Child c;
        if (!c.start(argv, mEnv, out)) return -1;
        int status = c.wait(15000);
        if (output != nullptr) *output = twtest::readFile(out);
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

    bool contains(const std::vector<std::string>& lines, const std::string& text) {
        for (const auto& l : lines) {
            if (l.find(text) != std::string::npos) return true;
        }
        return false;
    }

    twtest::TempDir mRoot{"twsys"};
    std::vector<std::string> mEnv;
    twtest::Child mSim;
    twtest::Child mManager;
    twtest::Child mService;
    int mRuns = 0;
};

TEST_F(System, AttachAndPassThroughWithStreamedLines) {
    ASSERT_TRUE(simOk("plug"));
    ASSERT_TRUE(simOk("wait-record /sys/class/twinel/tw2/tw2_hal_ready 1 5000"));
    std::vector<std::string> records = sim("records");
    EXPECT_TRUE(contains(records, "/sys/class/twinel/tw2/tw2_hal_ready Y"));

    ASSERT_TRUE(simOk("at-script AT%MULTI reply first line\\nsecond line"));
    std::string out;
    EXPECT_EQ(0, client({"at", "AT%MULTI"}, &out)) << out;
    size_t first = out.find("< first line");
    size_t second = out.find("< second line");
    EXPECT_NE(std::string::npos, first) << out;
    EXPECT_NE(std::string::npos, second) << out;
    EXPECT_LT(first, second);
    EXPECT_NE(std::string::npos, out.find("status: 0 (success)")) << out;

    EXPECT_EQ(0, client({"sendAtCommand", "AT%SWV"}, &out)) << out;
    EXPECT_NE(std::string::npos, out.find("reply: QPA330X-V1.00_20240301")) << out;

    ASSERT_TRUE(simOk("at-script AT%NOPE error nope"));
    EXPECT_EQ(1, client({"sendAtCommand", "AT%NOPE"}, &out)) << out;
    EXPECT_NE(std::string::npos, out.find("status: 1 (failure)")) << out;

    std::vector<std::string> commands = sim("commands");
    EXPECT_TRUE(contains(commands, " ATE0"));
    EXPECT_TRUE(contains(commands, " AT%MULTI"));

    EXPECT_EQ(0, client({"getTW2Connect"}, &out));
    EXPECT_NE(std::string::npos, out.find("connected: true")) << out;
    ASSERT_TRUE(simOk("unplug"));
    EXPECT_TRUE(twtest::waitFor(
            [&] {
                client({"getTW2Connect"}, &out);
                return out.find("connected: false") != std::string::npos;
            },
            5000));
}

// A bug report cancelled mid-dump: the reader of the debug pipe is gone
// before the service writes. The service lives on and answers.
TEST_F(System, ADebugReaderGoingAwayEndsOnlyTheDump) {
    // Started as init starts it: SIGPIPE at its default action, not ignored
    // as this test process has it (a disposition children inherit).
    mService.kill(SIGKILL);
    signal(SIGPIPE, SIG_DFL);
    bool started = mService.start(twtest::serviceCommand(), mEnv, mRoot.path() + "/service2.log");
    signal(SIGPIPE, SIG_IGN);
    ASSERT_TRUE(started);
    ASSERT_TRUE(twtest::waitFor([&] { return client({"getTW2Connect"}) == 0; }, 5000));

    setenv("TWINEL_DEVICE_ROOT", mRoot.path().c_str(), 1);
    sp<ITwinel> service = ITwinel::getService();
    ASSERT_NE(nullptr, service);
    int fds[2];
    ASSERT_EQ(0, pipe(fds));
    close(fds[0]);
    native_handle_t* nh = native_handle_create(1, 0);
    nh->data[0] = fds[1];
    hidl_handle handle;
    handle.setTo(nh, true /* closes the write end */);
    Return<void> ret = service->debug(handle, hidl_vec<hidl_string>());
    EXPECT_TRUE(ret.isOk()) << ret.description();
    handle.setTo(nullptr);

    std::string out;
    EXPECT_EQ(0, client({"getTW2Connect"}, &out)) << out;
    EXPECT_TRUE(mService.running());
}

TEST_F(System, Sigusr1FromOutsideStopsTheUsbMonitoring) {
    ASSERT_EQ(0, kill(mService.pid(), SIGUSR1));
    ASSERT_TRUE(twtest::waitFor(
            [&] {
                return twtest::readFile(mRoot.path() + "/service.log").find("destroy set") !=
                       std::string::npos;
            },
            5000));
    ASSERT_TRUE(simOk("plug"));
    usleep(800 * 1000);
    std::vector<std::string> commands = sim("commands");
    EXPECT_FALSE(contains(commands, "ATE0"));
    // The service still answers its clients.
    std::string out;
    EXPECT_EQ(0, client({"getTW2Connect"}, &out)) << out;
    EXPECT_TRUE(mService.running());
}

}  // namespace
