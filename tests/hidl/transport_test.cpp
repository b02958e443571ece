/*
 * The host HIDL runtime end to end: a service manager and a recording ITwinel
 * server run as separate processes under a temporary device root; this
 * process is the client.
 */
#include <android/hidl/manager/1.0/IServiceManager.h>
#include <dirent.h>
#include <gtest/gtest.h>
#include <hidl/HidlTransportSupport.h>
#include <hidl/ServiceManagement.h>
#include <hwbinder/BpHwBinder.h>
#include <hwbinder/IPCThreadState.h>
#include <hwbinder/Parcel.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vendor/zyr/hardware/coverdisplay/1.0/ICoverDisplay.h>
#include <vendor/zyr/hardware/twinel/1.0/ITwinel.h>
#include <vendor/zyr/hardware/twinel/1.1/ITwinel.h>
#include <vendor/zyr/hardware/twinel/1.1/ITwinelLpwgCallback.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <set>
#include <thread>

#include "test_util.h"

using namespace ::android;
using ::android::hardware::configureRpcThreadpool;
using ::android::hardware::defaultServiceManager;
using ::android::hardware::getOrCreateCachedBinder;
using ::android::hardware::hidl_death_recipient;
using ::android::hardware::hidl_handle;
using ::android::hardware::hidl_string;
using ::android::hardware::hidl_vec;
using ::android::hardware::IBinder;
using ::android::hardware::IPCThreadState;
using ::android::hardware::joinRpcThreadpool;
using ::android::hardware::Parcel;
using ::android::hardware::Return;
using ::android::hardware::Void;
namespace details = ::android::hardware::details;
using ::android::hidl::base::V1_0::IBase;
using ::android::hidl::manager::V1_0::IServiceManager;
using ::vendor::zyr::hardware::twinel::V1_0::ITwinelAtCallback;
using ::vendor::zyr::hardware::twinel::V1_0::ITwinelSubDisplayCallback;
using ::vendor::zyr::hardware::twinel::V1_0::LpwgStatus;
using ::vendor::zyr::hardware::twinel::V1_0::Result;
using ::vendor::zyr::hardware::twinel::V1_0::ScreenMode;
using ::vendor::zyr::hardware::twinel::V1_0::Status;
using ::vendor::zyr::hardware::twinel::V1_0::SubScreenInfo;
using ::vendor::zyr::hardware::twinel::V1_0::SubScreenState;
using ::vendor::zyr::hardware::twinel::V1_0::TwinelStatus;
namespace V1_0 = ::vendor::zyr::hardware::twinel::V1_0;
namespace V1_1 = ::vendor::zyr::hardware::twinel::V1_1;

namespace {

class Transport : public ::testing::Test {
  protected:
    void SetUp() override {
        signal(SIGPIPE, SIG_IGN);
        ASSERT_FALSE(mRoot.path().empty());
        setenv("TWINEL_DEVICE_ROOT", mRoot.path().c_str(), 1);
        mEnv = {"TWINEL_DEVICE_ROOT=" + mRoot.path()};
        ASSERT_TRUE(mManager.start({twtest::binDir() + "/hwservicemanager"}, mEnv));
        ASSERT_TRUE(twtest::waitFor(
                [&] { return access((socketDir() + "/hwservicemanager").c_str(), F_OK) == 0; },
                5000));
        startServer(&mServer, "default");
    }

    std::string socketDir() { return mRoot.path() + "/dev/socket/hwbinder"; }

    void startServer(twtest::Child* child, const std::string& instance,
                     std::vector<std::string> extra = {}) {
        std::vector<std::string> argv = {twtest::binDir() + "/recording_server", "--instance",
                                         instance};
        argv.insert(argv.end(), extra.begin(), extra.end());
        ASSERT_TRUE(child->start(argv, mEnv));
        bool is10 = std::find(extra.begin(), extra.end(), "--v10") != extra.end();
        ASSERT_TRUE(twtest::waitFor(
                [&] {
                    sp<IServiceManager> sm = defaultServiceManager();
                    if (sm == nullptr) return false;
                    Return<sp<IBase>> r = sm->get(
                            is10 ? V1_0::ITwinel::descriptor : V1_1::ITwinel::descriptor, instance);
                    return r.isOk() && static_cast<sp<IBase>>(r) != nullptr;
                },
                5000));
    }

    // What the server put on record, through its debug() dump.
    std::vector<std::string> serverLog(const sp<IBase>& service) {
        int fds[2];
        EXPECT_EQ(0, pipe(fds));
        native_handle_t* nh = native_handle_create(1, 0);
        nh->data[0] = fds[1];
        hidl_handle handle;
        handle.setTo(nh, true);
        std::string out;
        std::thread reader([&] {
            char buf[4096];
            ssize_t n;
            while ((n = read(fds[0], buf, sizeof(buf))) > 0) out.append(buf, n);
        });
        Return<void> ret = service->debug(handle, {"--all"});
        EXPECT_TRUE(ret.isOk()) << ret.description();
        handle.setTo(nullptr);
        reader.join();
        close(fds[0]);
        std::vector<std::string> lines;
        size_t start = 0;
        while (start < out.size()) {
            size_t end = out.find('\n', start);
            if (end == std::string::npos) end = out.size();
            lines.push_back(out.substr(start, end - start));
            start = end + 1;
        }
        return lines;
    }

    twtest::TempDir mRoot{"twhidl"};
    std::vector<std::string> mEnv;
    twtest::Child mManager;
    twtest::Child mServer;
};

struct AtCallback : V1_0::ITwinelAtCallback {
    Return<void> responseAtCommand(const hidl_string& response) override {
        std::lock_guard<std::mutex> lock(mLock);
        mLines.push_back(response);
        mCond.notify_all();
        return Void();
    }
    std::vector<std::string> waitLines(size_t n) {
        std::unique_lock<std::mutex> lock(mLock);
        mCond.wait_for(lock, std::chrono::seconds(3), [&] { return mLines.size() >= n; });
        return mLines;
    }
    std::mutex mLock;
    std::condition_variable mCond;
    std::vector<std::string> mLines;
};

// Events arrive on the runtime's pool thread while the test reads them.
class EventList {
  public:
    void add(const char* version, int e, int r) {
        std::lock_guard<std::mutex> lock(mLock);
        mEvents.push_back(std::string(version) + ":" + std::to_string(e) + "," + std::to_string(r));
    }
    std::vector<std::string> get() const {
        std::lock_guard<std::mutex> lock(mLock);
        return mEvents;
    }

  private:
    mutable std::mutex mLock;
    std::vector<std::string> mEvents;
};

struct LpwgCallback10 : V1_0::ITwinelLpwgCallback {
    Return<void> notifyEventChange(V1_0::LpwgEventStatus e, Result r) override {
        events.add("1.0", static_cast<int>(e), static_cast<int>(r));
        return Void();
    }
    EventList events;
};

struct LpwgCallback11 : V1_1::ITwinelLpwgCallback {
    Return<void> notifyEventChange(V1_0::LpwgEventStatus e, Result r) override {
        events.add("1.0", static_cast<int>(e), static_cast<int>(r));
        return Void();
    }
    Return<void> notifyEventChange_1_1(V1_1::LpwgEventStatus e, Result r) override {
        events.add("1.1", static_cast<int>(e), static_cast<int>(r));
        return Void();
    }
    EventList events;
};

struct SubDisplayCallback : V1_0::ITwinelSubDisplayCallback {
    Return<void> notifyStateChanged(SubScreenState s) override {
        state = static_cast<int>(s);
        return Void();
    }
    std::atomic<int> state{-100};
};

}  // namespace

TEST(InterfaceLayout, TwinelTypes) {
    EXPECT_EQ(8u, sizeof(LpwgStatus));
    EXPECT_EQ(0u, offsetof(LpwgStatus, type));
    EXPECT_EQ(4u, offsetof(LpwgStatus, value));

    EXPECT_EQ(16u, sizeof(TwinelStatus));
    EXPECT_EQ(0u, offsetof(TwinelStatus, connected));
    EXPECT_EQ(4u, offsetof(TwinelStatus, brightnessOffset));
    EXPECT_EQ(8u, offsetof(TwinelStatus, reserved));
    EXPECT_EQ(9u, offsetof(TwinelStatus, brightnessOffsetBypass));
    EXPECT_EQ(12u, offsetof(TwinelStatus, brightness));

    EXPECT_EQ(6u, sizeof(SubScreenInfo));
    EXPECT_EQ(0u, offsetof(SubScreenInfo, x));
    EXPECT_EQ(2u, offsetof(SubScreenInfo, y));
    EXPECT_EQ(4u, offsetof(SubScreenInfo, format));

    EXPECT_EQ(4u, sizeof(Status));
    EXPECT_TRUE(std::is_unsigned<std::underlying_type_t<Status>>::value);
    EXPECT_TRUE(std::is_signed<std::underlying_type_t<ScreenMode>>::value);
    EXPECT_EQ(4u, sizeof(V1_1::LpwgEventStatus));
    EXPECT_EQ(-1, static_cast<int32_t>(Result::NOT_RECOGNIZED));
}

TEST_F(Transport, EveryOperationArrivesWithItsCodeAndShapes) {
    sp<V1_1::ITwinel> tw = V1_1::ITwinel::getService();
    ASSERT_NE(nullptr, tw.get());
    ASSERT_TRUE(tw->isRemote());

    auto expectStatus = [](Return<Status> r, Status want) {
        ASSERT_TRUE(r.isOk()) << r.description();
        EXPECT_EQ(want, static_cast<Status>(r));
    };
    std::string text;
    Status st;

    ASSERT_TRUE(tw->getFirmwareVersion([&](Status s, const hidl_string& v) {
                      st = s;
                      text = v;
                  }).isOk());
    EXPECT_EQ(Status::SUCCESS, st);
    EXPECT_EQ("fw-1.2.3_TEST", text);
    expectStatus(tw->checkFirmwareVersion(), Status::SUCCESS);
    ASSERT_TRUE(tw->getFirmwareFile([&](Status s, const hidl_string& v) {
                      st = s;
                      text = v;
                  }).isOk());
    EXPECT_EQ(Status::FAILURE, st);
    EXPECT_EQ("", text);
    expectStatus(tw->doFirmwareUpgrade(), Status::SUCCESS);
    expectStatus(tw->goDload(), Status::SUCCESS);
    expectStatus(tw->goSTMDload(), Status::SUCCESS);
    expectStatus(tw->cancelFirmwareUpgrade(), Status::SUCCESS);
    ASSERT_TRUE(
            tw->getTouchFirmwareVersion([&](Status, const hidl_string& v) { text = v; }).isOk());
    EXPECT_EQ(std::string(5000, 't'), text);
    expectStatus(tw->DoRawdata(), Status::SUCCESS);
    expectStatus(tw->DoDelta(), Status::SUCCESS);
    expectStatus(tw->DoTouchReset(), Status::SUCCESS);
    ASSERT_TRUE(tw->getGpiopin([&](Status, const hidl_string& v) { text = v; }).isOk());
    EXPECT_EQ("pid=" + std::to_string(getpid()) + " uid=" + std::to_string(getuid()), text);
    expectStatus(tw->setStatus({-3, 2147483647}), Status::SUCCESS);
    expectStatus(tw->DoTouchFirmwareUpgrade(), Status::SUCCESS);
    ASSERT_TRUE(tw->getSelfTest([&](Status s, const hidl_string& v) {
                      st = s;
                      text = v;
                  }).isOk());
    EXPECT_EQ(Status::FAILURE, st);
    EXPECT_EQ("partial", text);
    ASSERT_TRUE(tw->getLPWGSelfTest([&](Status, const hidl_string& v) { text = v; }).isOk());
    EXPECT_EQ("lpwg ok", text);
    expectStatus(tw->getTestResults(), Status::SUCCESS);
    ASSERT_TRUE(tw->setLpwgCallback(nullptr).isOk());
    expectStatus(tw->setBrightness(-1), Status::SUCCESS);
    expectStatus(tw->setPowerStatus(true, false), Status::SUCCESS);
    ASSERT_TRUE(tw->getCoverDisplayCutout([&](Status, const hidl_string& v) { text = v; }).isOk());
    EXPECT_EQ("cutout:0,0,10,10", text);
    expectStatus(tw->setRgbTune(4294967295u, 0, 1, 2), Status::SUCCESS);
    expectStatus(tw->setScreenMode(static_cast<ScreenMode>(-1)), Status::SUCCESS);
    expectStatus(tw->setScreenTune(1, 2, 3, 0), Status::SUCCESS);
    expectStatus(tw->setTWBrightnessOffset(INT32_MIN), Status::SUCCESS);
    TwinelStatus tws = {};
    ASSERT_TRUE(tw->getTW2Status([&](Status s, const TwinelStatus& v) {
                      st = s;
                      tws = v;
                  }).isOk());
    EXPECT_TRUE(tws.connected);
    EXPECT_EQ(-7, tws.brightnessOffset);
    EXPECT_FALSE(tws.reserved);
    EXPECT_TRUE(tws.brightnessOffsetBypass);
    EXPECT_EQ(200, tws.brightness);
    expectStatus(tw->setSubDisplayBrightness(90), Status::SUCCESS);
    expectStatus(tw->setSubDisplayPowerState(true), Status::SUCCESS);
    SubScreenInfo info = {};
    ASSERT_TRUE(tw->getSubDisplayInfo([&](Status, const SubScreenInfo& v) { info = v; }).isOk());
    EXPECT_EQ(128, info.x);
    EXPECT_EQ(64, info.y);
    EXPECT_EQ(4, info.format);
    std::vector<uint32_t> pixels(16384);
    uint64_t sum = 0;
    for (size_t i = 0; i < pixels.size(); i++) {
        pixels[i] = static_cast<uint32_t>(i * 2654435761u);
        sum = sum * 31 + pixels[i];
    }
    expectStatus(tw->drawSubDisplay(pixels), Status::SUCCESS);
    expectStatus(tw->drawSubDisplay(hidl_vec<uint32_t>()), Status::FAILURE);
    SubScreenState sst = SubScreenState::NONE;
    ASSERT_TRUE(tw->getSubDisplayPowerState([&](Status, SubScreenState s) { sst = s; }).isOk());
    EXPECT_EQ(SubScreenState::OFF, sst);
    ASSERT_TRUE(tw->setSubDisplayCallback(nullptr).isOk());
    Return<bool> connected = tw->getTW2Connect();
    ASSERT_TRUE(connected.isOk());
    EXPECT_TRUE(static_cast<bool>(connected));
    ASSERT_TRUE(tw->sendAtCommand("AT%SWV", nullptr, [&](Status s, const hidl_string& v) {
                      st = s;
                      text = v;
                  }).isOk());
    EXPECT_EQ("OK:AT%SWV", text);
    expectStatus(tw->setAesMode(4294967295u), Status::SUCCESS);
    expectStatus(tw->manageAesMode(1), Status::SUCCESS);
    expectStatus(tw->tw_update_state(), Status::SUCCESS);
    expectStatus(tw->set_touch_perf(true), Status::SUCCESS);

    std::vector<std::string> expected = {
            "txn 1",  "getFirmwareVersion()",
            "txn 2",  "checkFirmwareVersion()",
            "txn 3",  "getFirmwareFile()",
            "txn 4",  "doFirmwareUpgrade()",
            "txn 5",  "goDload()",
            "txn 6",  "goSTMDload()",
            "txn 7",  "cancelFirmwareUpgrade()",
            "txn 8",  "getTouchFirmwareVersion()",
            "txn 9",  "DoRawdata()",
            "txn 10", "DoDelta()",
            "txn 11", "DoTouchReset()",
            "txn 12", "getGpiopin()",
            "txn 13", "setStatus(-3,2147483647)",
            "txn 14", "DoTouchFirmwareUpgrade()",
            "txn 15", "getSelfTest()",
            "txn 16", "getLPWGSelfTest()",
            "txn 17", "getTestResults()",
            "txn 18", "setLpwgCallback(null)",
            "txn 19", "setBrightness(-1)",
            "txn 20", "setPowerStatus(1,0)",
            "txn 21", "getCoverDisplayCutout()",
            "txn 22", "setRgbTune(4294967295,0,1,2)",
            "txn 23", "setScreenMode(-1)",
            "txn 24", "setScreenTune(1,2,3,0)",
            "txn 25", "setTWBrightnessOffset(-2147483648)",
            "txn 26", "getTW2Status()",
            "txn 27", "setSubDisplayBrightness(90)",
            "txn 28", "setSubDisplayPowerState(1)",
            "txn 29", "getSubDisplayInfo()",
            "txn 30", "drawSubDisplay(16384," + std::to_string(sum) + ")",
            "txn 30", "drawSubDisplay(0,0)",
            "txn 31", "getSubDisplayPowerState()",
            "txn 32", "setSubDisplayCallback(null)",
            "txn 33", "getTW2Connect()",
            "txn 34", "sendAtCommand(AT%SWV,null)",
            "txn 35", "setAesMode(4294967295)",
            "txn 36", "manageAesMode(1)",
            "txn 37", "tw_update_state()",
            "txn 38", "set_touch_perf(1)",
    };
    std::vector<std::string> log = serverLog(tw);
    ASSERT_FALSE(log.empty());
    EXPECT_EQ("debug --all", log[0]);
    log.erase(log.begin());
    EXPECT_EQ(expected, log);
}

TEST_F(Transport, OldClientReachesNewServerAndCastsFollowTheChain) {
    sp<V1_0::ITwinel> tw10 = V1_0::ITwinel::getService("default");
    ASSERT_NE(nullptr, tw10.get());
    std::string version;
    ASSERT_TRUE(
            tw10->getFirmwareVersion([&](Status, const hidl_string& v) { version = v; }).isOk());
    EXPECT_EQ("fw-1.2.3_TEST", version);
    Return<Status> st = tw10->setBrightness(7);
    ASSERT_TRUE(st.isOk());

    Return<sp<V1_1::ITwinel>> up = V1_1::ITwinel::castFrom(tw10);
    ASSERT_TRUE(up.isOk());
    sp<V1_1::ITwinel> tw11 = up;
    ASSERT_NE(nullptr, tw11.get());
    Return<Status> aes = tw11->setAesMode(2);
    ASSERT_TRUE(aes.isOk());

    // A server of 1.0 alone: the cast answers null, the call path stays fine.
    twtest::Child old;
    startServer(&old, "old", {"--v10"});
    sp<V1_0::ITwinel> only10 = V1_0::ITwinel::getService("old");
    ASSERT_NE(nullptr, only10.get());
    Return<sp<V1_1::ITwinel>> none = V1_1::ITwinel::castFrom(only10);
    ASSERT_TRUE(none.isOk());
    EXPECT_EQ(nullptr, static_cast<sp<V1_1::ITwinel>>(none).get());
    EXPECT_EQ(nullptr, V1_1::ITwinel::getService("old").get());

    // The 1.0 object's chain is registered under 1.0 and IBase only.
    sp<IServiceManager> sm = defaultServiceManager();
    std::vector<std::string> names;
    ASSERT_TRUE(sm->listByInterface(V1_0::ITwinel::descriptor, [&](const hidl_vec<hidl_string>& l) {
                      for (const auto& n : l) names.push_back(n);
                  }).isOk());
    std::sort(names.begin(), names.end());
    EXPECT_EQ((std::vector<std::string>{"default", "old"}), names);
    names.clear();
    ASSERT_TRUE(sm->listByInterface(V1_1::ITwinel::descriptor, [&](const hidl_vec<hidl_string>& l) {
                      for (const auto& n : l) names.push_back(n);
                  }).isOk());
    EXPECT_EQ(std::vector<std::string>{"default"}, names);

    std::vector<std::string> log = serverLog(tw10);
    EXPECT_NE(log.end(), std::find(log.begin(), log.end(), "txn 19"));
    EXPECT_NE(log.end(), std::find(log.begin(), log.end(), "txn 35"));
}

TEST_F(Transport, OneWayCallReturnsWhileTheServerIsBusy) {
    sp<V1_1::ITwinel> tw = V1_1::ITwinel::getService();
    ASSERT_NE(nullptr, tw.get());
    std::thread busy([&] {
        Return<Status> r = V1_1::ITwinel::getService()->goDload();  // holds the server 300 ms
        EXPECT_TRUE(r.isOk());
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    int64_t start = twtest::nowMs();
    for (int i = 0; i < 5; i++) ASSERT_TRUE(tw->setSubDisplayCallback(nullptr).isOk());
    int64_t took = twtest::nowMs() - start;
    busy.join();
    EXPECT_LT(took, 150) << "one-way calls waited for the busy server";

    // They still arrive, after the busy call, in order.
    std::vector<std::string> log = serverLog(tw);
    auto it = std::find(log.begin(), log.end(), "goDload()");
    ASSERT_NE(log.end(), it);
    EXPECT_EQ(5, std::count(it, log.end(), std::string("setSubDisplayCallback(null)")));
}

TEST_F(Transport, PoolOfOneRunsCallsOneAtATime) {
    auto hammer = [&](const std::string& instance) {
        std::vector<std::thread> threads;
        for (int i = 0; i < 3; i++) {
            threads.emplace_back([&, i] {
                sp<V1_1::ITwinel> tw = V1_1::ITwinel::getService(instance);
                ASSERT_NE(nullptr, tw.get());
                Return<Status> r = (i % 2) ? tw->goDload() : tw->goSTMDload();
                EXPECT_TRUE(r.isOk());
            });
        }
        for (auto& t : threads) t.join();
        std::vector<std::string> log = serverLog(V1_1::ITwinel::getService(instance));
        return std::count(log.begin(), log.end(), std::string("OVERLAP"));
    };
    EXPECT_EQ(0, hammer("default"));

    // The check itself works: a pool of three does overlap.
    twtest::Child wide;
    startServer(&wide, "wide", {"--threads", "3"});
    EXPECT_GT(hammer("wide"), 0);
}

TEST_F(Transport, CallbacksTravelBothWays) {
    sp<V1_1::ITwinel> tw = V1_1::ITwinel::getService();
    ASSERT_NE(nullptr, tw.get());

    sp<AtCallback> at = new AtCallback();
    std::string reply;
    ASSERT_TRUE(tw->sendAtCommand("AT%HPD", at, [&](Status, const hidl_string& r) {
                      reply = r;
                  }).isOk());
    EXPECT_EQ("OK:AT%HPD", reply);
    EXPECT_EQ((std::vector<std::string>{"line1:AT%HPD", "line2:AT%HPD", "line3:AT%HPD"}),
              at->waitLines(3));

    sp<LpwgCallback11> cb11 = new LpwgCallback11();
    ASSERT_TRUE(tw->setLpwgCallback(cb11).isOk());
    ASSERT_TRUE(twtest::waitFor([&] { return !cb11->events.get().empty(); }, 3000));
    EXPECT_EQ(std::vector<std::string>{"1.1:2,0"}, cb11->events.get());

    sp<LpwgCallback10> cb10 = new LpwgCallback10();
    ASSERT_TRUE(tw->setLpwgCallback(cb10).isOk());
    ASSERT_TRUE(twtest::waitFor([&] { return !cb10->events.get().empty(); }, 3000));
    EXPECT_EQ(std::vector<std::string>{"1.0:-1,-1"}, cb10->events.get());

    sp<SubDisplayCallback> sub = new SubDisplayCallback();
    ASSERT_TRUE(tw->setSubDisplayCallback(sub).isOk());
    ASSERT_TRUE(twtest::waitFor([&] { return sub->state == 3; }, 3000));

    std::vector<std::string> log = serverLog(tw);
    EXPECT_EQ(0, std::count(log.begin(), log.end(), std::string("callback failed")));
    EXPECT_NE(log.end(), std::find(log.begin(), log.end(), "setLpwgCallback(1.1)"));
    EXPECT_NE(log.end(), std::find(log.begin(), log.end(), "setLpwgCallback(1.0)"));
}

TEST_F(Transport, SocketFilesAreReachableByEveryUser) {
    sp<V1_1::ITwinel> tw = V1_1::ITwinel::getService();
    ASSERT_NE(nullptr, tw.get());
    int count = 0;
    DIR* dir = opendir(socketDir().c_str());
    ASSERT_NE(nullptr, dir);
    while (struct dirent* e = readdir(dir)) {
        if (e->d_name[0] == '.') continue;
        struct stat st;
        ASSERT_EQ(0, stat((socketDir() + "/" + e->d_name).c_str(), &st));
        EXPECT_TRUE(S_ISSOCK(st.st_mode)) << e->d_name;
        EXPECT_EQ(0666u, st.st_mode & 0777) << e->d_name;
        count++;
    }
    closedir(dir);
    EXPECT_GE(count, 2);
}

namespace {
struct DeathRecipient : hidl_death_recipient {
    void serviceDied(uint64_t c, const wp<IBase>&) override { cookie = c; }
    std::atomic<uint64_t> cookie{0};
};
}  // namespace

TEST_F(Transport, DeadPeerFailsCallsAndIsReported) {
    twtest::Child victim;
    startServer(&victim, "victim");
    sp<V1_1::ITwinel> tw = V1_1::ITwinel::getService("victim");
    ASSERT_NE(nullptr, tw.get());
    sp<DeathRecipient> recipient = new DeathRecipient();
    Return<bool> linked = tw->linkToDeath(recipient, 1234);
    ASSERT_TRUE(linked.isOk());
    EXPECT_TRUE(static_cast<bool>(linked));

    victim.kill(SIGKILL);
    ASSERT_TRUE(twtest::waitFor([&] { return recipient->cookie == 1234; }, 3000));

    Return<Status> r = tw->setBrightness(1);
    EXPECT_FALSE(r.isOk());
    EXPECT_TRUE(r.isDeadObject()) << r.description();
    EXPECT_NE(std::string::npos, r.description().find("DEAD_OBJECT"));

    // The manager forgets the dead instance; the live one still answers.
    EXPECT_TRUE(
            twtest::waitFor([&] { return V1_1::ITwinel::getService("victim") == nullptr; }, 3000));
    sp<V1_1::ITwinel> live = V1_1::ITwinel::getService();
    ASSERT_NE(nullptr, live.get());
    EXPECT_TRUE(live->ping().isOk());
}

TEST_F(Transport, UncheckedTransportFailureAborts) {
    sp<V1_1::ITwinel> tw = V1_1::ITwinel::getService();
    ASSERT_NE(nullptr, tw.get());
    mServer.kill(SIGKILL);
    // Checked, the failure is an ordinary result.
    Return<Status> r = tw->setBrightness(1);
    EXPECT_FALSE(r.isOk());
    // Unchecked, it aborts. The death test forks this process: the checked
    // call above has let the runtime settle the dead peer first, so no
    // runtime thread is in the middle of it (holding a lock) at the fork.
    EXPECT_DEATH({ tw->setBrightness(1); }, "Failed HIDL return status not checked");
}

TEST_F(Transport, UnknownCodeIsAnsweredWithAnError) {
    sp<V1_1::ITwinel> tw = V1_1::ITwinel::getService();
    ASSERT_NE(nullptr, tw.get());
    sp<IBinder> binder = getOrCreateCachedBinder(tw.get());
    ASSERT_NE(nullptr, binder.get());
    for (uint32_t code : {0u, 39u, 9999u, 0x0effffffu}) {
        Parcel data, reply;
        data.writeInterfaceToken(V1_1::ITwinel::descriptor);
        EXPECT_EQ(UNKNOWN_TRANSACTION, binder->transact(code, data, &reply)) << code;
    }
    // A call with the wrong interface token is refused too.
    Parcel data, reply;
    data.writeInterfaceToken("vendor.other@1.0::IOther");
    EXPECT_NE(OK, binder->transact(19, data, &reply));
    EXPECT_TRUE(tw->ping().isOk());
    Return<Status> r = tw->setBrightness(5);
    ASSERT_TRUE(r.isOk());
}

TEST_F(Transport, ServiceManagerLookupsDoNotBlock) {
    int64_t start = twtest::nowMs();
    EXPECT_EQ(nullptr, V1_1::ITwinel::getService("absent").get());
    EXPECT_EQ(nullptr,
              ::vendor::zyr::hardware::coverdisplay::V1_0::ICoverDisplay::getService().get());
    EXPECT_LT(twtest::nowMs() - start, 500);

    // Registered under every descriptor of the chain, with the server's pid.
    sp<IServiceManager> sm = defaultServiceManager();
    std::vector<IServiceManager::InstanceDebugInfo> infos;
    ASSERT_TRUE(sm->debugDump([&](const auto& l) {
                      for (const auto& i : l) infos.push_back(i);
                  }).isOk());
    std::set<std::string> ifaces;
    for (const auto& i : infos) {
        if (i.instanceName == "default" && i.pid == mServer.pid()) ifaces.insert(i.interfaceName);
    }
    EXPECT_EQ((std::set<std::string>{"android.hidl.base@1.0::IBase", V1_0::ITwinel::descriptor,
                                     V1_1::ITwinel::descriptor}),
              ifaces);
}

TEST_F(Transport, LshalListsAndDebugs) {
    std::string out = mRoot.path() + "/lshal.out";
    twtest::Child list;
    ASSERT_TRUE(list.start({twtest::binDir() + "/lshal"}, mEnv, out));
    int status = list.wait(5000);
    std::string text = twtest::readFile(out);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status << ": " << text;
    EXPECT_NE(std::string::npos, text.find(std::string(V1_1::ITwinel::descriptor) + " "));
    EXPECT_NE(std::string::npos, text.find(std::to_string(mServer.pid())));

    std::string dbg = mRoot.path() + "/lshal.debug";
    twtest::Child debug;
    ASSERT_TRUE(debug.start({twtest::binDir() + "/lshal", "debug",
                             std::string(V1_1::ITwinel::descriptor) + "/default", "-a", "x"},
                            mEnv, dbg));
    status = debug.wait(5000);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << twtest::readFile(dbg);
    EXPECT_EQ(0u, twtest::readFile(dbg).find("debug -a x\n"));

    std::string bad = mRoot.path() + "/lshal.bad";
    twtest::Child missing;
    ASSERT_TRUE(missing.start({twtest::binDir() + "/lshal", "debug", "vendor.no@1.0::INo/x"}, mEnv,
                              bad));
    status = missing.wait(5000);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_NE(0, WEXITSTATUS(status));
    EXPECT_NE(std::string::npos, twtest::readFile(bad).find("not registered"));
}

TEST(Passthrough, LoadsTheImplementationLibrary) {
    setenv("HIDL_PASSTHROUGH_PATH", (twtest::binDir() + "/../passthrough-test").c_str(), 1);
    using ::vendor::zyr::hardware::coverdisplay::V1_0::ICoverDisplay;
    sp<ICoverDisplay> cd = ICoverDisplay::getService("panel", true);
    ASSERT_NE(nullptr, cd.get());
    EXPECT_FALSE(cd->isRemote());
    std::string version;
    ASSERT_TRUE(cd->getFirmwareVersion([&](auto, const hidl_string& v) { version = v; }).isOk());
    EXPECT_EQ("passthrough:panel:" + std::to_string(getpid()), version);
    Return<int32_t> r = cd->doFirmwareUpgrade();
    ASSERT_TRUE(r.isOk());
    EXPECT_EQ(42, static_cast<int32_t>(r));

    // Another entry point name, or an absent library: no object.
    EXPECT_EQ(nullptr, V1_0::ITwinelAtCallback::getService("default", true).get());
}
