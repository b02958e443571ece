/*
 * LPWG events across processes: the service program, hwservicemanager and
 * framework stand-ins (lpwg_client) run as processes of their own; this
 * process plays the accessory and the phone's kernel (the simulator).
 */
#include <dirent.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <twsim/simulator.h>
#include <twsim/uevent.h>
#include <unistd.h>

#include <memory>
#include <string>
#include <vector>

#include "test_util.h"

namespace {

// A framework stand-in with its callback, driven over its stdin/stdout.
class Client {
  public:
    bool start(const std::vector<std::string>& env, const std::string& log) {
        if (!mChild.startPiped({twtest::binDir() + "/lpwg_client"}, env, log)) return false;
        return next(5000) == "ready";
    }

    // Sends a command and returns its answer; event lines met on the way
    // are kept.
    std::string command(const std::string& cmd) {
        if (!mChild.writeLine(cmd)) return "error write";
        for (;;) {
            std::string line = next(5000);
            if (line.rfind("event ", 0) != 0) return line;
            mEvents.push_back(line.substr(6));
        }
    }

    // Waits until `count` events have arrived; all of them so far.
    std::vector<std::string> events(size_t count, int timeoutMs = 3000) {
        int64_t deadline = twtest::nowMs() + timeoutMs;
        while (mEvents.size() < count && twtest::nowMs() < deadline) {
            std::string line = next(static_cast<int>(deadline - twtest::nowMs()));
            if (line.rfind("event ", 0) == 0) mEvents.push_back(line.substr(6));
        }
        return mEvents;
    }

    twtest::Child& child() { return mChild; }

  private:
    std::string next(int timeoutMs) {
        std::string line;
        if (timeoutMs <= 0 || !mChild.readLine(&line, timeoutMs)) return "";
        return line;
    }

    twtest::Child mChild;
    std::vector<std::string> mEvents;
};

class KernelSystem : public ::testing::Test {
  protected:
    void SetUp() override {
        signal(SIGPIPE, SIG_IGN);
        ASSERT_FALSE(mRoot.path().empty());
        setenv("TWINEL_DEVICE_ROOT", mRoot.path().c_str(), 1);
        mEnv = {"TWINEL_DEVICE_ROOT=" + mRoot.path()};
        mSim = std::make_unique<twsim::Simulator>(mRoot.path());
        ASSERT_TRUE(mSim->ok());
        ASSERT_TRUE(mSim->plug());
        std::string bin = twtest::binDir();
        ASSERT_TRUE(twtest::installServiceManifest(mRoot.path()));
        ASSERT_TRUE(mManager.start({bin + "/hwservicemanager"}, mEnv,
                                   mRoot.path() + "/servicemanager.log"));
        ASSERT_TRUE(twtest::waitFor(
                [&] {
                    return access((mRoot.path() + "/dev/socket/hwbinder/hwservicemanager").c_str(),
                                  F_OK) == 0;
                },
                5000));
        ASSERT_TRUE(mService.start(twtest::serviceCommand(), mEnv, serviceLog()));
        ASSERT_TRUE(mSim->waitForNodeRecords(twsim::kHalReadyNode, 1, 5000));
    }

    void TearDown() override {
        mSim->unplugAll();
        mService.kill(SIGKILL);
        mManager.kill(SIGKILL);
    }

    std::string serviceLog() { return mRoot.path() + "/service.log"; }

    int countInLog(const std::string& text) {
        std::string log = twtest::readFile(serviceLog());
        int n = 0;
        for (size_t pos = log.find(text); pos != std::string::npos; pos = log.find(text, pos + 1)) {
            n++;
        }
        return n;
    }

    // Threads of the service program called `name`.
    int serviceThreads(const std::string& name) {
        std::string dir = "/proc/" + std::to_string(mService.pid()) + "/task";
        DIR* d = opendir(dir.c_str());
        if (d == nullptr) return -1;
        int n = 0;
        while (struct dirent* e = readdir(d)) {
            if (e->d_name[0] != '.' &&
                twtest::readFile(dir + "/" + e->d_name + "/comm") == name + "\n") {
                n++;
            }
        }
        closedir(d);
        return n;
    }

    void startClient(Client* client, const std::string& name) {
        ASSERT_TRUE(client->start(mEnv, mRoot.path() + "/" + name + ".log"));
    }

    void send(const std::string& value) {
        ASSERT_EQ(1, twsim::sendUevent(*mSim, twsim::touchUevent(value)));
    }

    twtest::TempDir mRoot{"twkernsys"};
    std::vector<std::string> mEnv;
    std::unique_ptr<twsim::Simulator> mSim;
    twtest::Child mManager;
    twtest::Child mService;
};

const std::vector<std::string> kValues = {"WAKEUP", "TW_PEN_WAKEUP", "TW_PEN_WAKEUP_BTN",
                                          "TW_PEN_DETECTION", "wakeup"};

TEST_F(KernelSystem, A11CallbackInAnotherProcessGetsNotifyEventChange_1_1) {
    Client client;
    startClient(&client, "client");
    ASSERT_EQ("ok", client.command("register 1.1"));
    ASSERT_TRUE(twsim::waitForUeventListeners(*mSim, 1, 3000));
    EXPECT_EQ(1, countInLog("registering callback"));
    for (const auto& v : kValues) send(v);
    EXPECT_EQ((std::vector<std::string>{"1.1 0 0", "1.1 1 0", "1.1 2 0", "1.1 3 0", "1.1 -1 -1"}),
              client.events(5));
    EXPECT_EQ(5, countInLog("uevent received SUBSYSTEM=ZYR_TW2"));
}

TEST_F(KernelSystem, A10OnlyCallbackInAnotherProcessGetsNotifyEventChange) {
    Client client;
    startClient(&client, "client");
    ASSERT_EQ("ok", client.command("register 1.0"));
    ASSERT_TRUE(twsim::waitForUeventListeners(*mSim, 1, 3000));
    for (const auto& v : kValues) send(v);
    EXPECT_EQ((std::vector<std::string>{"1.0 0 0", "1.0 1 0", "1.0 2 0", "1.0 3 0", "1.0 -1 -1"}),
              client.events(5));
}

TEST_F(KernelSystem, UnregisteringFromAnotherProcessStopsTheWorker) {
    Client client;
    startClient(&client, "client");
    ASSERT_EQ("ok", client.command("register 1.1"));
    ASSERT_TRUE(twsim::waitForUeventListeners(*mSim, 1, 3000));
    ASSERT_EQ("ok", client.command("unregister"));
    ASSERT_TRUE(twtest::waitFor([&] { return countInLog("pthread destroyed") == 1; }, 3000));
    EXPECT_EQ(1, countInLog("exiting worker thread"));
    EXPECT_EQ(1, countInLog("destroy set"));
    EXPECT_EQ(0, twsim::ueventListeners(*mSim));

    // And a fresh worker for the next registration.
    ASSERT_EQ("ok", client.command("register 1.0"));
    ASSERT_TRUE(twsim::waitForUeventListeners(*mSim, 1, 3000));
    send("TW_PEN_WAKEUP");
    EXPECT_EQ(std::vector<std::string>{"1.0 1 0"}, client.events(1));
}

TEST_F(KernelSystem, ADeadClientsCallbackIsLoggedAndTheNextClientIsServed) {
    Client gone;
    startClient(&gone, "gone");
    ASSERT_EQ("ok", gone.command("register 1.1"));
    ASSERT_TRUE(twsim::waitForUeventListeners(*mSim, 1, 3000));
    gone.child().kill(SIGKILL);

    send("WAKEUP");
    ASSERT_TRUE(twtest::waitFor([&] { return countInLog("error ") > 0; }, 3000))
            << twtest::readFile(serviceLog());
    EXPECT_TRUE(mService.running());
    // Still the same worker; the next registration replaces the dead one.
    Client next;
    startClient(&next, "next");
    ASSERT_EQ("ok", next.command("register 1.0"));
    // The registration is one-way: events go to the dead callback until the
    // service has taken it.
    std::vector<std::string> got;
    for (int i = 0; i < 60 && got.empty(); i++) {
        send("TW_PEN_DETECTION");
        got = next.events(1, 50);
    }
    ASSERT_FALSE(got.empty());
    EXPECT_EQ("1.0 3 0", got[0]);
    EXPECT_EQ(1, countInLog("registering callback"));
    EXPECT_EQ(1, countInLog("creating thread"));
}

// A framework whose process stopped (SIGSTOP) with its callback registered,
// an event for it, and then another client clearing the callback: the
// service goes on answering.
TEST_F(KernelSystem, AStoppedCallbackClientDoesNotFreezeTheService) {
    Client stopped;
    startClient(&stopped, "stopped");
    ASSERT_EQ("ok", stopped.command("register 1.1"));
    ASSERT_TRUE(twsim::waitForUeventListeners(*mSim, 1, 3000));
    stopped.child().kill(SIGSTOP, false);
    send("WAKEUP");
    ASSERT_TRUE(twtest::waitFor(
            [&] { return countInLog("uevent received SUBSYSTEM=ZYR_TW2") == 1; }, 3000));

    Client other;
    startClient(&other, "other");
    int64_t start = twtest::nowMs();
    ASSERT_EQ("ok", other.command("unregister"));
    EXPECT_EQ("ok", other.command("ping"));
    int64_t answered = twtest::nowMs() - start;
    printf("stopped callback client: answered again after %lld ms\n",
           static_cast<long long>(answered));
    EXPECT_TRUE(twtest::waitFor([&] { return countInLog("pthread destroyed") == 1; }, 3000));
    stopped.child().kill(SIGCONT, false);
}

// The worker is inside a call to the phone's LPWG service, which has
// stopped, when the framework clears the callback: the binder thread does
// not wait for it. Once the call returns the worker ends, handles nothing
// more and is joined by the next registration.
TEST_F(KernelSystem, ClearingTheCallbackDoesNotWaitForAWorkerStuckInAPeer) {
    twtest::Child lpwg;
    ASSERT_TRUE(
            lpwg.startPiped({twtest::binDir() + "/lpwg_server"}, mEnv, mRoot.path() + "/lpwg.log"));
    std::string line;
    ASSERT_TRUE(lpwg.readLine(&line, 5000));
    ASSERT_EQ("ready", line);

    Client client;
    startClient(&client, "client");
    ASSERT_EQ("ok", client.command("register 1.1"));
    ASSERT_TRUE(twsim::waitForUeventListeners(*mSim, 1, 3000));
    lpwg.kill(SIGSTOP, false);
    send("SWITCH_AES_BOTH");
    ASSERT_TRUE(
            twtest::waitFor([&] { return countInLog("Uevent_msg = SWITCH_AES_BOTH") == 1; }, 3000));

    int64_t start = twtest::nowMs();
    ASSERT_EQ("ok", client.command("unregister"));
    EXPECT_EQ("ok", client.command("ping"));
    int64_t answered = twtest::nowMs() - start;
    printf("worker stuck in a peer: answered again after %lld ms\n",
           static_cast<long long>(answered));
    EXPECT_LT(answered, 4000);
    EXPECT_EQ(0, countInLog("pthread destroyed"));
    EXPECT_TRUE(mService.running());
    // A bug report shows the worker left behind.
    twtest::Child lshal;
    std::string dump = mRoot.path() + "/dump.txt";
    ASSERT_TRUE(lshal.start({twtest::binDir() + "/lshal", "debug",
                             "vendor.zyr.hardware.twinel@1.1::ITwinel/default"},
                            mEnv, dump));
    EXPECT_EQ(0, lshal.wait(10000));
    EXPECT_NE(std::string::npos,
              twtest::readFile(dump).find("stopped uevent workers still in a call to a peer: 1"))
            << twtest::readFile(dump);

    // The LPWG service answers again: the old worker finishes its event and
    // ends; a new registration joins it and starts a fresh worker. The worker
    // logs its exit a little before it has ended: its thread is gone then.
    lpwg.kill(SIGCONT, false);
    ASSERT_TRUE(twtest::waitFor([&] { return countInLog("exiting worker thread") == 1; }, 3000));
    ASSERT_TRUE(twtest::waitFor([&] { return serviceThreads("lpwg-uevent") == 0; }, 3000));
    ASSERT_EQ("ok", client.command("register 1.0"));
    ASSERT_TRUE(twtest::waitFor([&] { return countInLog("pthread destroyed") == 1; }, 3000));
    ASSERT_TRUE(twsim::waitForUeventListeners(*mSim, 1, 3000));
    send("TW_PEN_WAKEUP");
    EXPECT_EQ(std::vector<std::string>{"1.0 1 0"}, client.events(1));
    EXPECT_EQ(2, countInLog("creating thread"));
}

TEST_F(KernelSystem, PenSwitchToBothReachesThePhonesLpwgService) {
    twtest::Child lpwg;
    ASSERT_TRUE(lpwg.startPiped({twtest::binDir() + "/lpwg_server", "--error", "-5"}, mEnv,
                                mRoot.path() + "/lpwg.log"));
    std::string line;
    ASSERT_TRUE(lpwg.readLine(&line, 5000));
    ASSERT_EQ("ready", line);

    Client client;
    startClient(&client, "client");
    ASSERT_EQ("ok", client.command("register 1.1"));
    ASSERT_TRUE(twsim::waitForUeventListeners(*mSim, 1, 3000));
    size_t from = mSim->atCommands().size();
    send("SWITCH_AES_BOTH");
    ASSERT_TRUE(mSim->waitForNodeRecords(twsim::kAesModeNode, 1, 3000));
    EXPECT_EQ("2", mSim->nodeRecords(twsim::kAesModeNode).back().value);
    EXPECT_GE(mSim->waitForAtCommand("AT%TCHNOTIFY=SWTICH_AES,2", 3000, from), 0);
    ASSERT_TRUE(lpwg.writeLine("calls"));
    std::vector<std::string> calls;
    while (lpwg.readLine(&line, 3000) && line != "ok") calls.push_back(line);
    EXPECT_EQ(std::vector<std::string>{"aes 0"}, calls);
    // Handled inside the service: the callback hears nothing.
    send("TW_PEN_WAKEUP_BTN");
    EXPECT_EQ(std::vector<std::string>{"1.1 2 0"}, client.events(1));
}

}  // namespace
