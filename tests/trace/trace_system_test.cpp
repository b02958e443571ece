/*
 * The system started with TWINEL_TRACE: the service's and the simulator's
 * traces after one AT exchange and a stop by SIGTERM.
 */
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include "test_util.h"
#include "trace_test_util.h"

namespace {

// The thread name in a "slice THREAD NAME ARGS" line.
std::string threadOf(const std::string& line) {
    size_t from = line.find(' ') + 1;
    return line.substr(from, line.find(' ', from) - from);
}

class TracedSystem : public ::testing::Test {
  protected:
    void SetUp() override {
        signal(SIGPIPE, SIG_IGN);
        ASSERT_FALSE(mRoot.path().empty());
        mEnv = {"TWINEL_DEVICE_ROOT=" + mRoot.path()};
        std::vector<std::string> traced = mEnv;
        traced.push_back("TWINEL_TRACE=" + mTrace);
        ASSERT_TRUE(twtest::startSimulator(&mSim, mRoot.path(), traced, 5000));
        ASSERT_TRUE(twtest::startServiceManager(&mManager, mRoot.path(), mEnv, 5000));
        ASSERT_TRUE(mService.start({twtest::binDir() + "/vendor.zyr.hardware.twinel@1.1-service"},
                                   traced, mRoot.path() + "/service.log"));
        ASSERT_TRUE(twtest::waitFor([&] { return client({"getTW2Connect"}) == 0; }, 5000));
    }

    bool simOk(const std::string& command) { return twtest::simOk(&mSim, command, 8000); }

    int client(const std::vector<std::string>& args) {
        std::string out = mRoot.path() + "/client." + std::to_string(mRuns++);
        std::vector<std::string> argv = {twtest::binDir() + "/twinelctl"};
        argv.insert(argv.end(), args.begin(), args.end());
        twtest::Child c;
        if (!c.start(argv, mEnv, out)) return -1;
        int status = c.wait(15000);
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

    twtest::TempDir mRoot{"twtrc"};
    std::string mTrace = mRoot.path() + "/trace.json";
    std::vector<std::string> mEnv;
    twtest::Child mSim;
    twtest::Child mManager;
    twtest::Child mService;
    int mRuns = 0;
};

TEST_F(TracedSystem, AnAtExchangeIsASliceWithItsCommandBytesAndResult) {
    ASSERT_TRUE(simOk("plug"));
    ASSERT_TRUE(simOk("wait-record /sys/class/twinel/tw2/tw2_hal_ready 1 5000"));
    ASSERT_TRUE(simOk("at-script AT%TRACED reply traced"));
    EXPECT_EQ(0, client({"sendAtCommand", "AT%TRACED"}));
    // Stopped as init stops it; the trace must open all the same.
    pid_t pid = mService.pid();
    int status = mService.kill(SIGTERM);
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM) << status;

    twtest::TraceSummary s = twtest::summarizeTrace(mTrace, mRoot.path());
    ASSERT_EQ(0, s.status) << s.text;
    EXPECT_TRUE(
            s.has("process " + std::to_string(pid) + " vendor.zyr.hardware.twinel@1.1-service\n"))
            << s.text;
    // "AT%TRACED\r" out (10 bytes); back "\n", "traced\n" (the reply, 7
    // bytes) and "OK\n" (11), as the line discipline hands them over.
    size_t at = s.text.find(" AT AT%TRACED {");
    ASSERT_NE(std::string::npos, at) << s.text;
    size_t begin = s.text.rfind('\n', at) + 1;
    std::string line = s.text.substr(begin, s.text.find('\n', at) - begin);
    EXPECT_EQ("slice " + threadOf(line) +
                      " AT AT%TRACED {\"errno\": 0, \"result\": 7, \"rx\": 11, \"tx\": 10}",
              line);
    // The thread it ran on has its row, under its name.
    EXPECT_TRUE(s.has(" " + threadOf(line) + "\n")) << s.text;
    EXPECT_TRUE(s.has(" HIDL::ITwinel::sendAtCommand::server {}")) << s.text;

    mSim.kill(SIGTERM);
    twtest::TraceSummary sim = twtest::summarizeTrace(mTrace + ".sim", mRoot.path());
    ASSERT_EQ(0, sim.status) << sim.text;
    EXPECT_TRUE(sim.has(" AT AT%TRACED {\"answer\": \"ok\", \"bytes\": 14, \"sent\": 1}\n"))
            << sim.text;
    EXPECT_TRUE(sim.has(" HID get info report {\"bytes\": ")) << sim.text;
}

}  // namespace
