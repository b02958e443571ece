/*
 * The host HIDL runtime end to end: a service manager and a recording ITwinel
 * server run as separate processes under a temporary device root; this
 * process is the client.
 */
#include <android/hidl/manager/1.2/IServiceManager.h>
#include <dirent.h>
#include <gtest/gtest.h>
#include <hidl/HidlTransportSupport.h>
#include <hidl/ServiceManagement.h>
#include <hwbinder/BinderDebug.h>
#include <hwbinder/BpHwBinder.h>
#include <hwbinder/IPCThreadState.h>
#include <hwbinder/Parcel.h>
#include <hwbinder/ProcessState.h>
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
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <fstream>
#include <future>
#include <memory>
#include <mutex>
#include <set>
#include <thread>

#include "log_capture.h"
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
        // hwservicemanager counts the clients of watched services every
        // 200 ms instead of 5 s.
        mEnv = {"TWINEL_DEVICE_ROOT=" + mRoot.path(), "TWINEL_CLIENT_POLL_MS=200"};
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

namespace {

// Descriptors a process holds.
int openFds(pid_t pid) {
    int n = 0;
    DIR* dir = opendir(("/proc/" + std::to_string(pid) + "/fd").c_str());
    if (dir == nullptr) return -1;
    while (struct dirent* e = readdir(dir)) n += e->d_name[0] != '.';
    closedir(dir);
    return n;
}

std::vector<std::string> socketNames(const std::string& dir) {
    std::vector<std::string> names;
    DIR* d = opendir(dir.c_str());
    if (d == nullptr) return names;
    while (struct dirent* e = readdir(d)) {
        if (e->d_name[0] != '.') names.push_back(e->d_name);
    }
    closedir(d);
    std::sort(names.begin(), names.end());
    return names;
}

}  // namespace

// A callback client in another process, recording what reaches it.
class OneWay : public Transport {
  protected:
    sp<ITwinelAtCallback> startCallbackClient(twtest::Child* child, const std::string& name) {
        EXPECT_TRUE(child->start(
                {twtest::binDir() + "/recording_server", "--instance", name, "--at-callback"},
                mEnv));
        sp<ITwinelAtCallback> cb;
        EXPECT_TRUE(twtest::waitFor(
                [&] { return (cb = ITwinelAtCallback::getService(name)) != nullptr; }, 5000));
        return cb;
    }
};

TEST_F(OneWay, BusyReceiverNeitherHoldsTheSenderNorLosesTheOrder) {
    twtest::Child client;
    sp<ITwinelAtCallback> cb = startCallbackClient(&client, "busy");
    ASSERT_NE(nullptr, cb.get());
    // Its only thread sleeps 3 s; what follows waits in the queues.
    ASSERT_TRUE(cb->responseAtCommand("hold:3000").isOk());
    const std::string filler(60000, 'x');
    int accepted = 0;
    int64_t slowest = 0;
    Return<void> refused = Void();
    for (int i = 0; i < 20; i++) {
        int64_t start = twtest::nowMs();
        Return<void> r = cb->responseAtCommand(std::to_string(i) + ":" + filler);
        slowest = std::max(slowest, twtest::nowMs() - start);
        if (!r.isOk()) {
            refused = std::move(r);
            break;
        }
        accepted++;
    }
    EXPECT_LT(slowest, 1000) << "a one-way call waited for its busy receiver";
    // Half of the 1 MiB buffer holds eight of these, not nine.
    EXPECT_EQ(8, accepted);
    EXPECT_FALSE(refused.isOk());
    EXPECT_NE(std::string::npos, refused.description().find("FAILED_TRANSACTION"))
            << refused.description();

    // Once the receiver is free again every accepted call arrives, in order,
    // and the space is there again.
    std::vector<std::string> expected = {"hold (9)"};
    for (int i = 0; i < accepted; i++) {
        expected.push_back(std::to_string(i) + " (" +
                           std::to_string(filler.size() + std::to_string(i).size() + 1) + ")");
    }
    ASSERT_TRUE(twtest::waitFor([&] { return serverLog(cb).size() >= expected.size(); }, 10000));
    EXPECT_EQ(expected, serverLog(cb));
    EXPECT_TRUE(cb->responseAtCommand("after:" + filler).isOk());
}

// The receiver reports served one-way calls in bulk: no report per call,
// and a sender that nearly used up its async space gets all of it back once
// the receiver has served what it held, without sending anything more.
TEST_F(OneWay, ServedCallsAreReportedInBulkAndGiveTheSpaceBack) {
    twtest::LogCapture::install();
    twtest::Child client;
    sp<ITwinelAtCallback> cb = startCallbackClient(&client, "bulk");
    ASSERT_NE(nullptr, cb.get());
    const sp<IBinder> binder = ::android::hardware::toBinder<ITwinelAtCallback>(cb);
    auto account = [&] {
        ::android::hardware::OnewayAccount a;
        EXPECT_EQ(OK, ::android::hardware::getOnewayAccount(binder, &a));
        return a;
    };

    // Its only thread is held while seven 60 kB calls wait: eight fit.
    ASSERT_TRUE(cb->responseAtCommand("hold:300").isOk());
    const std::string filler(60000, 'x');
    for (int i = 0; i < 7; i++) ASSERT_TRUE(cb->responseAtCommand("big:" + filler).isOk());
    EXPECT_GT(account().bytesInFlight, 7 * filler.size());
    EXPECT_TRUE(twtest::waitFor([&] { return account().bytesInFlight == 0; }, 5000))
            << account().bytesInFlight << " bytes still counted as not served";
    EXPECT_EQ(8u, account().callsReported);
    ASSERT_TRUE(cb->responseAtCommand("hold:100").isOk());
    for (int i = 0; i < 7; i++) {
        EXPECT_TRUE(cb->responseAtCommand("again:" + filler).isOk()) << "call " << i;
    }

    // Small calls in a row: a few reports cover them all.
    ASSERT_TRUE(twtest::waitFor([&] { return account().bytesInFlight == 0; }, 5000));
    const ::android::hardware::OnewayAccount before = account();
    constexpr int kCalls = 200;
    for (int i = 0; i < kCalls; i++) {
        ASSERT_TRUE(cb->responseAtCommand("n:" + std::to_string(i)).isOk());
    }
    ASSERT_TRUE(twtest::waitFor(
            [&] { return account().callsReported == before.callsReported + kCalls; }, 5000));
    EXPECT_EQ(0u, account().bytesInFlight);
    EXPECT_LE(account().reports - before.reports, static_cast<uint64_t>(kCalls / 4));
    // This process only calls out: settling the reports has no socket to
    // accept on.
    EXPECT_FALSE(twtest::LogCapture::contains("accept:"));
}

TEST_F(OneWay, ServiceCallingABusyCallbackKeepsServingOthers) {
    twtest::Child client;
    sp<ITwinelAtCallback> cb = startCallbackClient(&client, "busy");
    ASSERT_NE(nullptr, cb.get());
    sp<V1_1::ITwinel> tw = V1_1::ITwinel::getService();
    ASSERT_NE(nullptr, tw.get());
    ASSERT_TRUE(cb->responseAtCommand("hold:3000").isOk());

    // Another client calls the server (one binder thread) all along.
    std::atomic<bool> done{false};
    std::atomic<int64_t> slowestOther{0};
    std::thread other([&] {
        sp<V1_1::ITwinel> mine = V1_1::ITwinel::getService();
        while (!done) {
            int64_t start = twtest::nowMs();
            EXPECT_TRUE(mine->getTW2Connect().isOk());
            slowestOther = std::max<int64_t>(slowestOther, twtest::nowMs() - start);
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    });
    // Each call has the server send three 50 kB lines to the busy callback:
    // more than its socket and its async space take.
    int64_t slowest = 0;
    for (int i = 0; i < 6; i++) {
        int64_t start = twtest::nowMs();
        EXPECT_TRUE(tw->sendAtCommand(std::to_string(i) + ":" + std::string(50000, 'a'), cb,
                                      [](Status, const hidl_string&) {})
                            .isOk());
        slowest = std::max(slowest, twtest::nowMs() - start);
    }
    done = true;
    other.join();
    EXPECT_LT(slowest, 1500) << "the server waited for a busy callback";
    EXPECT_LT(slowestOther.load(), 1500) << "another client waited for a busy callback";
    std::vector<std::string> log = serverLog(tw);
    EXPECT_GT(std::count(log.begin(), log.end(), std::string("callback failed")), 0)
            << "the async space was never full";
}

TEST_F(OneWay, WhatAPeerHeldGoesWithIt) {
    sp<V1_1::ITwinel> tw = V1_1::ITwinel::getService();
    ASSERT_NE(nullptr, tw.get());
    ASSERT_TRUE(tw->getTW2Connect().isOk());
    const int managerFds = openFds(mManager.pid());
    const int serverFds = openFds(mServer.pid());
    const std::vector<std::string> sockets = socketNames(socketDir());
    ASSERT_GT(managerFds, 0);
    ASSERT_GT(serverFds, 0);

    // Registering makes the manager call the client back; the server calls its
    // callback; then the client dies without a word.
    for (int i = 0; i < 4; i++) {
        twtest::Child client;
        sp<ITwinelAtCallback> cb = startCallbackClient(&client, "gone" + std::to_string(i));
        ASSERT_NE(nullptr, cb.get());
        ASSERT_TRUE(tw->sendAtCommand("AT", cb, [](Status, const hidl_string&) {}).isOk());
        ASSERT_TRUE(twtest::waitFor([&] { return serverLog(cb).size() >= 3; }, 3000));
        cb.clear();
        client.kill(SIGKILL);
    }
    EXPECT_TRUE(twtest::waitFor([&] { return openFds(mManager.pid()) <= managerFds; }, 5000))
            << openFds(mManager.pid()) << " descriptors, " << managerFds << " before";
    EXPECT_TRUE(twtest::waitFor([&] { return openFds(mServer.pid()) <= serverFds; }, 5000))
            << openFds(mServer.pid()) << " descriptors, " << serverFds << " before";

    // Killed processes leave their sockets; a manager that starts removes them.
    EXPECT_EQ(sockets.size() + 4, socketNames(socketDir()).size());
    mManager.kill(SIGKILL);
    ASSERT_TRUE(mManager.start({twtest::binDir() + "/hwservicemanager"}, mEnv));
    EXPECT_TRUE(twtest::waitFor([&] { return socketNames(socketDir()) == sockets; }, 5000));

    // A process that exits removes its own.
    twtest::Child client;
    sp<ITwinelAtCallback> cb = startCallbackClient(&client, "exits");
    ASSERT_NE(nullptr, cb.get());
    EXPECT_EQ(sockets.size() + 1, socketNames(socketDir()).size());
    EXPECT_TRUE(cb->responseAtCommand("exit").isOk());
    EXPECT_TRUE(twtest::waitFor([&] { return socketNames(socketDir()) == sockets; }, 5000));
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

// An object whose interfaceChain() may call the manager itself: the manager
// asks for the chain inside add(), while the adding thread waits for add()'s
// reply.
struct ChainAsker : V1_0::ITwinelAtCallback {
    explicit ChainAsker(bool askManager) : mAskManager(askManager) {}
    Return<void> responseAtCommand(const hidl_string&) override { return Void(); }
    Return<void> interfaceChain(interfaceChain_cb cb) override {
        if (mAskManager) {
            Return<void> r = defaultServiceManager()->list(
                    [&](const hidl_vec<hidl_string>& names) { listed = names.size(); });
            nestedOk = r.isOk();
        }
        return V1_0::ITwinelAtCallback::interfaceChain(cb);
    }
    const bool mAskManager;
    std::atomic<bool> nestedOk{false};
    std::atomic<size_t> listed{0};
};

// This process serves with a pool of one thread that never joins, so the
// only thread that can take the manager's calls back is the one waiting for
// add(): they must come to it, and so must a call made from inside them.
TEST_F(Transport, NestedCallsReachTheWaitingThread) {
    configureRpcThreadpool(1, true);
    sp<IServiceManager> sm = defaultServiceManager();
    ASSERT_NE(nullptr, sm.get());
    for (bool twoLevels : {false, true}) {
        SCOPED_TRACE(twoLevels ? "two levels" : "one level");
        const std::string name = twoLevels ? "nested2" : "nested1";
        sp<ChainAsker> object = new ChainAsker(twoLevels);
        auto added = std::make_shared<std::promise<bool>>();
        std::future<bool> done = added->get_future();
        std::thread([sm, object, name, added] {
            Return<bool> r = sm->add(name, object);
            added->set_value(r.isOk() && static_cast<bool>(r));
        }).detach();
        ASSERT_EQ(std::future_status::ready, done.wait_for(std::chrono::seconds(10)))
                << "add() never returned";
        EXPECT_TRUE(done.get());
        EXPECT_EQ(twoLevels, object->nestedOk.load());
        if (twoLevels) {
            EXPECT_GT(object->listed.load(), 0u);
        }
        Return<sp<IBase>> found = sm->get(V1_0::ITwinelAtCallback::descriptor, name);
        ASSERT_TRUE(found.isOk());
        EXPECT_EQ(getOrCreateCachedBinder(object.get()),
                  getOrCreateCachedBinder(static_cast<sp<IBase>>(found).get()));
    }
}

// Notes the thread each debug() runs on.
struct ThreadNoter : V1_0::ITwinelAtCallback {
    Return<void> responseAtCommand(const hidl_string&) override { return Void(); }
    Return<void> debug(const hidl_handle&, const hidl_vec<hidl_string>&) override {
        std::lock_guard<std::mutex> lock(mLock);
        mTids.push_back(gettid());
        return Void();
    }
    std::vector<pid_t> tids() {
        std::lock_guard<std::mutex> lock(mLock);
        return mTids;
    }
    std::mutex mLock;
    std::vector<pid_t> mTids;
};

// A -> B -> C -> A, every call synchronous: this process (A, no pool thread
// of its own) sends the recording server (B) an AT command that makes B ask
// an ITwinelAtCallback server (C) for debug(), and C asks an object of this
// process in turn. Only the thread waiting for B can serve that, as on a
// phone.
TEST_F(Transport, NestedCallThroughAThirdProcessReachesTheWaitingThread) {
    configureRpcThreadpool(1, true);
    twtest::Child relay;
    ASSERT_TRUE(relay.start(
            {twtest::binDir() + "/recording_server", "--instance", "relay", "--at-callback"},
            mEnv));
    sp<ITwinelAtCallback> relayCb;
    ASSERT_TRUE(twtest::waitFor(
            [&] { return (relayCb = ITwinelAtCallback::getService("relay")) != nullptr; }, 5000));
    sp<IServiceManager> sm = defaultServiceManager();
    sp<ThreadNoter> noter = new ThreadNoter();
    ASSERT_TRUE(sm->add("nested-a", noter).withDefault(false));
    sp<V1_1::ITwinel> tw = V1_1::ITwinel::getService("default");
    ASSERT_NE(nullptr, tw.get());

    auto result = std::make_shared<std::promise<std::pair<pid_t, std::string>>>();
    std::future<std::pair<pid_t, std::string>> done = result->get_future();
    std::thread([tw, relayCb, result] {
        std::string answer = "no answer";
        Return<void> r = tw->sendAtCommand("relay:nested-a", relayCb,
                                           [&](Status, const hidl_string& s) { answer = s; });
        result->set_value({gettid(), r.isOk() ? answer : r.description()});
    }).detach();
    ASSERT_EQ(std::future_status::ready, done.wait_for(std::chrono::seconds(20)))
            << "the call through three processes never returned";
    auto [waiter, answer] = done.get();
    EXPECT_EQ("OK:relay:nested-a", answer);
    EXPECT_EQ(std::vector<pid_t>{waiter}, noter->tids());
    std::vector<std::string> relayed = serverLog(relayCb);
    EXPECT_EQ(0, std::count(relayed.begin(), relayed.end(), std::string("relay failed")));
}

// Threads of this process's pool, by their names.
size_t poolThreads() {
    size_t n = 0;
    DIR* dir = opendir("/proc/self/task");
    if (dir == nullptr) return 0;
    while (struct dirent* e = readdir(dir)) {
        if (e->d_name[0] == '.') continue;
        std::string comm = twtest::readFile(std::string("/proc/self/task/") + e->d_name + "/comm");
        if (comm.compare(0, 9, "HwBinder:") == 0) n++;
    }
    closedir(dir);
    return n;
}

TEST_F(Transport, StartedPoolGrowsWhenConfiguredLarger) {
    configureRpcThreadpool(1, false);
    ::android::hardware::ProcessState::self()->startThreadPool();
    ASSERT_TRUE(twtest::waitFor([] { return poolThreads() == 1; }, 3000)) << poolThreads();
    configureRpcThreadpool(3, false);
    EXPECT_EQ(3u, ::android::hardware::ProcessState::self()->getMaxThreads());
    EXPECT_TRUE(twtest::waitFor([] { return poolThreads() == 3; }, 3000)) << poolThreads();
    // It never shrinks.
    configureRpcThreadpool(2, false);
    EXPECT_EQ(3u, ::android::hardware::ProcessState::self()->getMaxThreads());
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(3u, poolThreads());
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
    sp<DeathRecipient> recipient = new DeathRecipient();
    ASSERT_TRUE(tw->linkToDeath(recipient, 1).withDefault(false));
    mServer.kill(SIGKILL);
    // The death test forks this process: once the obituary has arrived, the
    // runtime's I/O thread has settled the dead peer, so no runtime thread is
    // in the middle of it (holding a lock) at the fork.
    ASSERT_TRUE(twtest::waitFor([&] { return recipient->cookie == 1; }, 5000));
    // Checked, the failure is an ordinary result.
    Return<Status> r = tw->setBrightness(1);
    EXPECT_FALSE(r.isOk());
    // Unchecked, it aborts.
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

// Declares ITwinel 1.1 instances in a device manifest fragment under the root.
void declareTwinel(const std::string& root, const std::vector<std::string>& instances) {
    std::string dir = root;
    for (const char* part : {"vendor", "etc", "vintf", "manifest"}) {
        dir += std::string("/") + part;
        mkdir(dir.c_str(), 0755);
    }
    std::ofstream out(dir + "/test.xml");
    out << "<manifest version=\"1.0\" type=\"device\">\n"
           "  <hal format=\"hidl\">\n"
           "    <name>vendor.zyr.hardware.twinel</name>\n"
           "    <transport>hwbinder</transport>\n"
           "    <version>1.1</version>\n"
           "    <interface>\n"
           "      <name>ITwinel</name>\n";
    for (const auto& i : instances) out << "      <instance>" << i << "</instance>\n";
    out << "    </interface>\n  </hal>\n</manifest>\n";
}

// lshal's columns and exit status, as a table of command lines.
TEST_F(Transport, LshalColumnsAndExitCodes) {
    declareTwinel(mRoot.path(), {"default"});
    const std::string tw = V1_1::ITwinel::descriptor;
    const std::string server = std::to_string(mServer.pid());
    twtest::TempDir empty("twhidl-none");
    struct Case {
        std::vector<std::string> args;
        std::string root;  // empty: the fixture's
        bool asNobody;
        int exitCode;
        std::vector<std::string> expected;  // each on one line of the output
    } cases[] = {
            {{}, "", false, 0, {"VINTF Interface", "DM    " + tw + "/default ", server}},
            {{"list", "-V", "-i", "-n"},
             "",
             false,
             0,
             {"X     android.hidl.base@1.0::IBase/default"}},
            {{"-i", "-p", "--neat"}, "", false, 0, {tw + " ", server}},
            {{"debug", tw + "/default", "-a", "x"}, "", false, 0, {"debug -a x"}},
            {{"debug", "vendor.no@1.0::INo/x"}, "", false, 128, {"not registered"}},
            {{"--bogus"}, "", false, 1, {}},
            {{}, empty.path(), false, 2, {"hwservicemanager is not running"}},
            {{}, "", true, 2, {"permission denied"}},
    };
    int n = 0;
    for (const auto& c : cases) {
        std::string label;
        for (const auto& a : c.args) label += " " + a;
        SCOPED_TRACE("lshal" + label);
        if (c.asNobody && geteuid() != 0) continue;
        std::vector<std::string> argv;
        if (c.asNobody) {
            argv = {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"};
        }
        argv.push_back(twtest::binDir() + "/lshal");
        argv.insert(argv.end(), c.args.begin(), c.args.end());
        std::string out = "/tmp/twhidl-lshal-" + std::to_string(getpid()) + "-" +
                          std::to_string(n++) + ".out";
        twtest::Child lshal;
        ASSERT_TRUE(lshal.start(
                argv, {"TWINEL_DEVICE_ROOT=" + (c.root.empty() ? mRoot.path() : c.root)}, out));
        int status = lshal.wait(10000);
        std::string text = twtest::readFile(out);
        unlink(out.c_str());
        ASSERT_TRUE(WIFEXITED(status)) << status << ": " << text;
        EXPECT_EQ(c.exitCode, WEXITSTATUS(status)) << text;
        for (const auto& e : c.expected) {
            EXPECT_NE(std::string::npos, text.find(e)) << e << " in:\n" << text;
        }
        // With -i, -p: the server's pid ends the interface's line.
        if (c.args == std::vector<std::string>{"-i", "-p", "--neat"}) {
            EXPECT_EQ(std::string::npos, text.find("Interface"));
            size_t begin = text.find(tw + " ");
            ASSERT_NE(std::string::npos, begin);
            std::string line = text.substr(begin, text.find('\n', begin) - begin);
            EXPECT_EQ(server, line.substr(line.find_last_of(' ') + 1)) << line;
        }
    }
}

// lshal's clients and threads columns come from the serving process's
// runtime: a process holding a service is its client until it lets go, and
// a pool of two with one thread held by a long one-way call is in use 1/2.
TEST_F(OneWay, LshalShowsClientsAndThreadUse) {
    twtest::Child busy;
    ASSERT_TRUE(busy.start({twtest::binDir() + "/recording_server", "--instance", "busy",
                            "--at-callback", "--threads", "2"},
                           mEnv));
    sp<ITwinelAtCallback> cb;
    ASSERT_TRUE(twtest::waitFor(
            [&] { return (cb = ITwinelAtCallback::getService("busy")) != nullptr; }, 5000));
    const std::string me = std::to_string(getpid());
    // The line of an interface instance in `lshal -i -n -t -c --neat`.
    auto lshalLine = [&](const std::string& fqInstance) {
        std::string out = mRoot.path() + "/lshal.clients";
        unlink(out.c_str());  // the child appends
        twtest::Child lshal;
        EXPECT_TRUE(lshal.start({twtest::binDir() + "/lshal", "-i", "-n", "-t", "-c", "--neat"},
                                mEnv, out));
        int status = lshal.wait(10000);
        std::string text = twtest::readFile(out);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status << ": " << text;
        size_t begin = text.find(fqInstance + " ");
        if (begin == std::string::npos) return "(no line for " + fqInstance + ")\n" + text;
        return " " + text.substr(begin, text.find('\n', begin) - begin) + " ";
    };
    const std::string callback = std::string(ITwinelAtCallback::descriptor) + "/busy";
    const std::string twinel = std::string(V1_1::ITwinel::descriptor) + "/default";

    std::string line = lshalLine(callback);
    EXPECT_NE(std::string::npos, line.find(" 0/2 ")) << line;
    EXPECT_NE(std::string::npos, line.find(" " + me + " ")) << line;

    // One of the two threads sleeps in a call; the other one is free.
    ASSERT_TRUE(cb->responseAtCommand("hold:8000").isOk());
    ASSERT_TRUE(twtest::waitFor(
            [&] { return lshalLine(callback).find(" 1/2 ") != std::string::npos; }, 6000))
            << lshalLine(callback);

    // A client of the default server while it holds it, and not after.
    sp<V1_1::ITwinel> held = V1_1::ITwinel::getService("default");
    ASSERT_NE(nullptr, held.get());
    line = lshalLine(twinel);
    EXPECT_NE(std::string::npos, line.find(" 0/1 ")) << line;
    EXPECT_NE(std::string::npos, line.find(" " + me + " ")) << line;
    held.clear();
    EXPECT_TRUE(twtest::waitFor(
            [&] { return lshalLine(twinel).find(" " + me + " ") == std::string::npos; }, 10000))
            << lshalLine(twinel);
}

TEST_F(Transport, LshalListsAndDebugs) {
    std::string out = mRoot.path() + "/lshal.out";
    twtest::Child list;
    ASSERT_TRUE(list.start({twtest::binDir() + "/lshal"}, mEnv, out));
    int status = list.wait(5000);
    std::string text = twtest::readFile(out);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status << ": " << text;
    EXPECT_NE(std::string::npos, text.find(std::string(V1_1::ITwinel::descriptor) + "/default "));
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

// getService waits for an instance the device manifest declares (until it
// registers) and answers at once for one it does not declare; tryGetService
// never waits. The late server starts 1.5 s after the look-up.
TEST_F(Transport, GetServiceWaitsForDeclaredInstancesOnly) {
    declareTwinel(mRoot.path(), {"late", "late-try"});
    twtest::LogCapture::install();
    struct Case {
        const char* instance;
        bool useTry;
        bool expectFound;  // the server registers 1.5 s after the look-up starts
    } cases[] = {
            {"late", false, true},         // declared: waits for it
            {"late-try", true, false},     // declared, but one try only
            {"undeclared", false, false},  // not declared: no wait
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.instance);
        std::atomic<bool> started{false};
        std::atomic<bool> returned{false};
        std::atomic<bool> returnedBeforeStart{false};
        sp<V1_1::ITwinel> got;
        std::thread lookUp([&] {
            got = c.useTry ? V1_1::ITwinel::tryGetService(c.instance)
                           : V1_1::ITwinel::getService(c.instance);
            returnedBeforeStart = !started;
            returned = true;
        });
        // Those that do not wait are back long before the server starts.
        bool quick = twtest::waitFor([&] { return returned.load(); }, 1500);
        twtest::Child server;
        std::vector<std::string> argv = {twtest::binDir() + "/recording_server", "--instance",
                                         c.instance};
        started = true;
        ASSERT_TRUE(server.start(argv, mEnv));
        EXPECT_TRUE(twtest::waitFor([&] { return returned.load(); }, 10000));
        lookUp.join();
        EXPECT_EQ(!c.expectFound, quick);
        EXPECT_EQ(!c.expectFound, returnedBeforeStart.load());
        EXPECT_EQ(c.expectFound, got != nullptr);
        if (c.expectFound) {
            EXPECT_TRUE(twtest::LogCapture::contains(std::string("getService: Trying again for ") +
                                                     V1_1::ITwinel::descriptor + "/late..."));
        }
    }
    // The manager lists what the manifest declares, registered or not.
    EXPECT_EQ((std::vector<std::string>{"late", "late-try"}),
              ::android::hardware::getAllHalInstanceNames(V1_1::ITwinel::descriptor));
}

// A registration stays with its user while its process lives: another uid
// cannot take the name over; the same uid can (a restarted service).
TEST_F(Transport, LiveRegistrationIsNotReplacedByAnotherUid) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to start a server as another uid";
    sp<IServiceManager> sm = defaultServiceManager();
    ASSERT_NE(nullptr, sm.get());
    // Another uid in the same group reaches the sockets (mode 0660, their
    // directory 0770).
    ASSERT_EQ(0, chmod(mRoot.path().c_str(), 0755));
    auto holder = [&] {
        int32_t pid = -1;
        Return<void> ret = sm->debugDump([&](const auto& l) {
            for (const auto& i : l) {
                if (i.interfaceName == V1_1::ITwinel::descriptor && i.instanceName == "default") {
                    pid = i.pid;
                }
            }
        });
        return ret.isOk() ? pid : -1;
    };
    struct Case {
        std::vector<std::string> as;  // how the second server is started
        bool replaces;
    } cases[] = {
            {{"/usr/bin/setpriv", "--reuid=4242", "--regid=0", "--clear-groups"}, false},
            {{}, true},
    };
    std::vector<std::unique_ptr<twtest::Child>> servers;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.replaces ? "same uid" : "other uid");
        pid_t before = holder();
        std::vector<std::string> argv = c.as;
        argv.insert(argv.end(), {twtest::binDir() + "/recording_server", "--instance", "default"});
        servers.push_back(std::make_unique<twtest::Child>());
        twtest::Child& second = *servers.back();
        std::string log = mRoot.path() + "/second.log";
        ASSERT_TRUE(second.start(argv, mEnv, log));
        if (c.replaces) {
            EXPECT_TRUE(twtest::waitFor([&] { return holder() == second.pid(); }, 5000));
        } else {
            // Refused: the server gives up and exits 1; the holder stays.
            int status = second.wait(5000);
            EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1)
                    << status << ": " << twtest::readFile(log);
            EXPECT_EQ(before, holder());
        }
    }
}

// What the manager's own dump says about listeners.
std::string managerDump(const sp<IBase>& sm) {
    int fds[2];
    if (pipe(fds) != 0) return std::string();
    native_handle_t* nh = native_handle_create(1, 0);
    nh->data[0] = fds[1];
    hidl_handle handle;
    handle.setTo(nh, true);
    Return<void> ret = sm->debug(handle, {});
    handle.setTo(nullptr);
    std::string out;
    char buf[4096];
    ssize_t n;
    while ((n = read(fds[0], buf, sizeof(buf))) > 0) out.append(buf, n);
    close(fds[0]);
    return ret.isOk() ? out : std::string();
}

// A process that listens for registrations and dies leaves no listener behind.
TEST_F(Transport, ListenerOfADeadProcessIsDropped) {
    sp<IServiceManager> sm = defaultServiceManager();
    ASSERT_NE(nullptr, sm.get());
    twtest::Child listener;
    ASSERT_TRUE(listener.start({twtest::binDir() + "/recording_server", "--instance", "listening",
                                "--listen", "vendor.zyr.test@1.0::IThing"},
                               mEnv));
    std::string entry = "vendor.zyr.test@1.0::IThing/* pid=" + std::to_string(listener.pid());
    ASSERT_TRUE(
            twtest::waitFor([&] { return managerDump(sm).find(entry) != std::string::npos; }, 5000))
            << managerDump(sm);
    listener.kill(SIGKILL, true);
    EXPECT_TRUE(
            twtest::waitFor([&] { return managerDump(sm).find(entry) == std::string::npos; }, 5000))
            << managerDump(sm);
}

// A server watching its clients hears "true" when the first one gets it
// (this process, then another process) and "false" once the last one let go
// or died; a callback for an instance nobody registered, or offered for an
// object other than the registered one, is refused.
TEST_F(Transport, ClientCallbackFollowsTheClients) {
    const std::string file = mRoot.path() + "/clients.log";
    twtest::Child server;
    ASSERT_TRUE(server.start({twtest::binDir() + "/recording_server", "--instance", "watched",
                              "--at-callback", "--client-callback", file},
                             mEnv));
    auto count = [&](const std::string& line) {
        std::string text = twtest::readFile(file);
        size_t n = 0;
        for (size_t at = text.find(line + "\n"); at != std::string::npos;
             at = text.find(line + "\n", at + 1)) {
            n++;
        }
        return n;
    };
    ASSERT_TRUE(twtest::waitFor([&] { return count("registered") == 1; }, 10000))
            << twtest::readFile(file);
    // Several counts pass while nobody holds it: nothing is said.
    std::this_thread::sleep_for(std::chrono::milliseconds(1000));
    EXPECT_EQ("absent refused\nother server refused\nregistered\n", twtest::readFile(file));

    sp<ITwinelAtCallback> cb = ITwinelAtCallback::getService("watched");
    ASSERT_NE(nullptr, cb.get());
    EXPECT_TRUE(twtest::waitFor([&] { return count("onClients true") == 1; }, 10000))
            << twtest::readFile(file);
    cb.clear();
    EXPECT_TRUE(twtest::waitFor([&] { return count("onClients false") == 1; }, 15000))
            << twtest::readFile(file);

    twtest::Child holder;
    ASSERT_TRUE(holder.start({twtest::binDir() + "/recording_server", "--instance", "holder",
                              "--at-callback", "--hold", "watched"},
                             mEnv));
    EXPECT_TRUE(twtest::waitFor([&] { return count("onClients true") == 2; }, 10000))
            << twtest::readFile(file);
    holder.kill(SIGKILL, true);
    EXPECT_TRUE(twtest::waitFor([&] { return count("onClients false") == 2; }, 15000))
            << twtest::readFile(file);
    EXPECT_EQ(
            "absent refused\nother server refused\nregistered\n"
            "onClients true\nonClients false\nonClients true\nonClients false\n",
            twtest::readFile(file));
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
