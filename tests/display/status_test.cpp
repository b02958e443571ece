/*
 * Connection queries, the touch-performance switch and the cutout cache.
 */
#include <android/hidl/manager/1.0/IServiceManager.h>
#include <android/log.h>
#include <hidl/ServiceManagement.h>
#include <twsim/accessory_service.h>
#include <unistd.h>

#include <algorithm>
#include <thread>

#include "display_test_util.h"

namespace twdisplay {
namespace {

using namespace ::vendor::zyr::hardware::twinel::V1_1::implementation;
using Action = twsim::AtScript::Action;

class Connection : public DisplayTest {};

TEST_F(Connection, NoAccessoryServiceMeansNotConnected) {
    startServiceManager();
    int64_t start = twtest::nowMs();
    TwinelStatus st = status();
    EXPECT_FALSE(st.connected);
    EXPECT_LT(twtest::nowMs() - start, 1000);
    EXPECT_FALSE(tw2connected());
}

TEST_F(Connection, NoServiceManagerMeansNotConnected) {
    EXPECT_FALSE(status().connected);
}

TEST_F(Connection, ConnectedExactlyWhenTheSecondValueIs3) {
    startServiceManager();
    twsim::AccessoryService accessory;
    accessory.setConnected(true);
    ASSERT_TRUE(accessory.registerService("default"));

    EXPECT_TRUE(status().connected);
    EXPECT_EQ(accessory.connectionQueries(), 1);
    // Only the second value counts.
    accessory.setCoverDisplayConnection(1, twsim::kCoverDisplayConnected);
    EXPECT_TRUE(status().connected);
    accessory.setCoverDisplayConnection(3, 2);
    EXPECT_FALSE(status().connected);
    accessory.setCoverDisplayConnection(0, 4);
    EXPECT_FALSE(status().connected);
    accessory.setConnected(false);
    EXPECT_FALSE(status().connected);
    accessory.setConnected(true);
    EXPECT_TRUE(status().connected);
    // Asked anew on every call.
    EXPECT_EQ(accessory.connectionQueries(), 6);
}

TEST_F(Connection, StatusCarriesTheLiveBrightnessState) {
    startServiceManager();
    twsim::AccessoryService accessory;
    accessory.setConnected(true);
    ASSERT_TRUE(accessory.registerService("default"));
    attach();
    EXPECT_EQ(mHal->setTWBrightnessOffset(-4), Status::FAILURE);
    ASSERT_EQ(mHal->setBrightness(42), Status::SUCCESS);
    TwinelStatus st = status();
    EXPECT_TRUE(st.connected);
    EXPECT_EQ(st.brightnessOffset, -4);
    EXPECT_EQ(st.brightness, 42);
    EXPECT_FALSE(st.reserved);
    EXPECT_FALSE(st.brightnessOffsetBypass);
    EXPECT_TRUE(liveStatus().connected);  // the live state was refreshed
}

// A slow accessory service holds up only the status query that asks it, not
// the unplug tear-down of the display module.
TEST_F(Connection, ASlowAccessoryServiceDoesNotDelayTheTearDown) {
    startServiceManager();
    twsim::AccessoryService accessory;
    accessory.setConnected(true);
    accessory.setDelayMs(3000);
    ASSERT_TRUE(accessory.registerService("default"));
    attach();

    std::thread query([&] { EXPECT_TRUE(status().connected); });
    ASSERT_TRUE(twtest::waitFor([&] { return accessory.connectionQueriesStarted() == 1; }, 3000));
    int64_t start = twtest::nowMs();
    detach();
    int64_t tornDown = twtest::nowMs() - start;
    query.join();
    printf("tear-down during a slow accessory query: %lld ms\n", static_cast<long long>(tornDown));
    EXPECT_LT(tornDown, 1500);
    EXPECT_EQ(accessory.connectionQueries(), 1);
}

// The accessory service lives in the simulator program; when that process
// dies the call fails in the transport.
TEST(ConnectionTransport, DeadAccessoryServiceMeansNotConnected) {
    LogCapture::install();
    twtest::TempDir root("twdispx");
    ASSERT_FALSE(root.path().empty());
    setenv("TWINEL_DEVICE_ROOT", root.path().c_str(), 1);
    std::vector<std::string> env = {"TWINEL_DEVICE_ROOT=" + root.path()};

    twtest::Child sim;
    ASSERT_TRUE(sim.startPiped({twtest::binDir() + "/twinel-sim", "--root", root.path()}, env));
    std::string line;
    ASSERT_TRUE(sim.readLine(&line, 5000));
    ASSERT_EQ(line.compare(0, 5, "ready"), 0) << line;

    twtest::Child manager;
    ASSERT_TRUE(manager.start({twtest::binDir() + "/hwservicemanager"}, env));
    ASSERT_TRUE(twtest::waitFor(
            [&] { return ::android::hardware::defaultServiceManager() != nullptr; }, 5000));
    ASSERT_TRUE(sim.writeLine("accessory connected"));
    ASSERT_TRUE(sim.readLine(&line, 5000));
    ASSERT_EQ(line, "ok queries=0");

    sp<Twinel> hal = new Twinel();
    auto query = [&](bool* connected) {
        int calls = 0;
        hal->getTW2Status([&](Status s, const TwinelStatus& st) {
            EXPECT_EQ(s, Status::SUCCESS);
            *connected = st.connected;
            calls++;
        });
        EXPECT_EQ(calls, 1);
    };
    bool connected = false;
    query(&connected);
    EXPECT_TRUE(connected);
    ASSERT_TRUE(sim.writeLine("accessory state=2"));
    ASSERT_TRUE(sim.readLine(&line, 5000));
    EXPECT_EQ(line, "ok queries=1");
    query(&connected);
    EXPECT_FALSE(connected);
    ASSERT_TRUE(sim.writeLine("accessory connected"));
    ASSERT_TRUE(sim.readLine(&line, 5000));

    sim.kill(9, true);
    int64_t start = twtest::nowMs();
    connected = true;
    query(&connected);
    EXPECT_FALSE(connected);
    EXPECT_LT(twtest::nowMs() - start, 2000);

    destroyThread = true;
    hal->usbThreadJoin();
    tw2_display_shutdown();
}

TEST_F(Connection, UsbAttachFlagFollowsTheDevice) {
    EXPECT_FALSE(mHal->getTW2Connect());
    attach();
    EXPECT_TRUE(mHal->getTW2Connect());
    detach();
    EXPECT_TRUE(twtest::waitFor([&] { return !mHal->getTW2Connect(); }, 2000));
}

class TouchPerf : public DisplayTest {};

TEST_F(TouchPerf, RefusedBeforeTheChannelIsUp) {
    EXPECT_EQ(mHal->set_touch_perf(true), Status::FAILURE);
    EXPECT_TRUE(LogCapture::contains("set_touch_perf: tw2 not initialized, enable:1",
                                     ANDROID_LOG_ERROR));
}

TEST_F(TouchPerf, SendsTheSwitchWhateverThePowerState) {
    attach();
    EXPECT_EQ(mHal->set_touch_perf(true), Status::SUCCESS);
    EXPECT_EQ(mHal->set_touch_perf(false), Status::SUCCESS);
    EXPECT_EQ(commands(), (std::vector<std::string>{"AT%TCPERF=1", "AT%TCPERF=0"}));
    EXPECT_EQ(LogCapture::count("set_touch_perf: Twinel send TCPERF: , ret:0", ANDROID_LOG_INFO),
              2);

    mSim->setAtScript(atScript("AT%TCPERF=", Action::Error, "NOPE"));
    EXPECT_EQ(mHal->set_touch_perf(true), Status::FAILURE);
    EXPECT_TRUE(LogCapture::contains("set_touch_perf: Twinel send TCPERF: NOPE\n, ret:-1"));
    EXPECT_TRUE(LogCapture::contains("set_touch_perf: enable:1, buf:NOPE\n, ret: -1",
                                     ANDROID_LOG_ERROR));
}

class Cutout : public DisplayTest {
  protected:
    std::pair<Status, std::string> cutoutNow() {
        std::pair<Status, std::string> out{Status::FAILURE, "<none>"};
        int calls = 0;
        mHal->getCoverDisplayCutout([&](Status s, const hidl_string& text) {
            out = {s, text};
            calls++;
        });
        EXPECT_EQ(calls, 1);
        return out;
    }
};

constexpr const char* kSimCutout = "M -48,0 H 48 V 96 H -48 Z";

TEST_F(Cutout, ReadAtTheFirstAttachAndServedFromTheCacheEvenAfterReattach) {
    attach();
    EXPECT_EQ(std::count(mBringUpCommands.begin(), mBringUpCommands.end(), "AT%GETTWCUTOUT"), 1);
    EXPECT_TRUE(LogCapture::contains(std::string("tw2_display_init: ") + kSimCutout,
                                     ANDROID_LOG_DEBUG));
    auto c = cutoutNow();
    EXPECT_EQ(c.first, Status::SUCCESS);
    EXPECT_EQ(c.second, kSimCutout);
    EXPECT_TRUE(mSim->atCommands().empty());

    // The accessory would now describe another cutout; it is not asked.
    mSim->setAtScript(atScript("AT%GETTWCUTOUT", Action::Reply, "OTHER"));
    detach();
    attach();
    EXPECT_EQ(std::count(mBringUpCommands.begin(), mBringUpCommands.end(), "AT%GETTWCUTOUT"), 0);
    detach();
    c = cutoutNow();
    EXPECT_EQ(c.first, Status::SUCCESS);
    EXPECT_EQ(c.second, kSimCutout);
    EXPECT_TRUE(mSim->atCommands().empty());
}

TEST_F(Cutout, FailedReadAtAttachIsRetriedOnRequest) {
    mSim->setAtScript(atScript("AT%GETTWCUTOUT", Action::Error, "", 0, 1));
    attach();
    EXPECT_TRUE(LogCapture::contains("tw2_display_init: CUTOUT info: : ret:-1", ANDROID_LOG_ERROR));
    auto c = cutoutNow();
    EXPECT_EQ(c.first, Status::SUCCESS);
    EXPECT_EQ(c.second, kSimCutout);
    EXPECT_EQ(commands("AT%GETTWCUTOUT").size(), 1u);
    EXPECT_TRUE(LogCapture::contains(std::string("getCoverDisplayCutout: ") + kSimCutout));
    c = cutoutNow();
    EXPECT_EQ(commands("AT%GETTWCUTOUT").size(), 1u);
    // A later attach does not read it again.
    detach();
    attach();
    EXPECT_EQ(std::count(mBringUpCommands.begin(), mBringUpCommands.end(), "AT%GETTWCUTOUT"), 0);
}

TEST_F(Cutout, CutOffByAHangUpAtAttachIsNotKept) {
    mSim->setAtScript(atScript("AT%GETTWCUTOUT", Action::HangUp, "\r\nM -48,0\r\n", 0, 1));
    twsim::UsbIdentity id = twsim::accessoryIdentity();
    id.hidFunction = false;
    // The port dies during the read, and the accessory leaves the bus with it.
    ASSERT_TRUE(mSim->plug(id));
    ASSERT_TRUE(twtest::waitFor([&] { return !mSim->isPlugged(); }, 5000));
    ASSERT_TRUE(twtest::waitFor([&] { return mHal->serialPath().empty(); }, 5000));
    EXPECT_FALSE(tw2_initialized.load());
    // The next accessory is asked again, and its answer kept.
    attach();
    EXPECT_EQ(std::count(mBringUpCommands.begin(), mBringUpCommands.end(), "AT%GETTWCUTOUT"), 1);
    auto c = cutoutNow();
    EXPECT_EQ(c.first, Status::SUCCESS);
    EXPECT_EQ(c.second, kSimCutout);
}

TEST_F(Cutout, CutOffByAHangUpOnRequestIsAFailure) {
    mSim->setAtScript(atScript("AT%GETTWCUTOUT", Action::Error, "", 0, 1));
    attach();
    mSim->setAtScript(atScript("AT%GETTWCUTOUT", Action::HangUp, "\r\nM -48,0\r\n", 0, 1));
    EXPECT_EQ(cutoutNow().first, Status::FAILURE);
    // The hang-up takes the accessory off the bus by itself: wait for that
    // rather than unplugging, or the late unplug would hit the next one.
    ASSERT_TRUE(twtest::waitFor([&] { return !mSim->isPlugged(); }, 5000));
    ASSERT_TRUE(twtest::waitFor([&] { return !mHal->mSerialAttached && !tw2_initialized; }, 5000));
    attach();
    EXPECT_EQ(std::count(mBringUpCommands.begin(), mBringUpCommands.end(), "AT%GETTWCUTOUT"), 1);
    auto c = cutoutNow();
    EXPECT_EQ(c.first, Status::SUCCESS);
    EXPECT_EQ(c.second, kSimCutout);
}

TEST_F(Cutout, WithoutTheChannelTheRequestFails) {
    auto c = cutoutNow();
    EXPECT_EQ(c.first, Status::FAILURE);
    EXPECT_EQ(c.second, "");
    EXPECT_TRUE(LogCapture::contains("getCoverDisplayCutout: CUTOUT info: : ret:-1",
                                     ANDROID_LOG_ERROR));
}

TEST_F(Cutout, FailedRequestKeepsWhatTheAccessorySentAndTriesAgain) {
    mSim->setAtScript(atScript("AT%GETTWCUTOUT", Action::Error, "", 0, 1));
    attach();
    mSim->setAtScript(atScript("AT%GETTWCUTOUT", Action::Error, "HALF", 0, 1));
    auto c = cutoutNow();
    EXPECT_EQ(c.first, Status::FAILURE);
    EXPECT_EQ(c.second, "HALF\n");
    c = cutoutNow();
    EXPECT_EQ(c.first, Status::SUCCESS);
    EXPECT_EQ(c.second, kSimCutout);
}

TEST_F(Cutout, LongDescriptionIsCutToTheBuffer) {
    std::string text(1500, 'c');
    mSim->setAtScript(atScript("AT%GETTWCUTOUT", Action::Reply, text));
    attach();
    auto c = cutoutNow();
    EXPECT_EQ(c.first, Status::SUCCESS);
    EXPECT_EQ(c.second, std::string(1023, 'c'));
}

}  // namespace
}  // namespace twdisplay
