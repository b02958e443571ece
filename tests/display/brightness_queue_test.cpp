/*
 * The brightness queue and its worker against the simulated accessory.
 */
#include <android/log.h>
#include <limits.h>
#include <unistd.h>

#include <thread>

#include "display_test_util.h"

namespace twdisplay {
namespace {

using namespace ::vendor::zyr::hardware::twinel::V1_1::implementation;
using Action = twsim::AtScript::Action;

class BrightnessQueue : public DisplayTest {
  protected:
    // Makes the next "AT%DB=" take `ms` before its answer, sends `level` and
    // waits until the accessory has it: the worker is then stalled.
    void stallWorker(int32_t level, int ms) {
        mSim->setAtScript(atScript("AT%DB=", Action::Reply, "", ms, 1));
        size_t before = commands("AT%DB=").size();
        ASSERT_EQ(mHal->setBrightness(level), Status::SUCCESS);
        ASSERT_TRUE(waitForCommands("AT%DB=", before + 1));
    }

    // Waits until the worker has emptied the queue and gone back to sleep.
    void waitIdle() {
        ASSERT_TRUE(twtest::waitFor([] { return queuedLevels().empty(); }, 3000));
        usleep(100 * 1000);
    }
};

TEST_F(BrightnessQueue, StalledWorkerLeavesTheLast20LevelsInOrder) {
    attach();
    stallWorker(1, 500);

    int64_t start = twtest::nowMs();
    for (int32_t level = 11; level <= 31; level++) {
        ASSERT_EQ(mHal->setBrightness(level), Status::SUCCESS);
    }
    // The caller never waits for the accessory.
    EXPECT_LT(twtest::nowMs() - start, 200);

    std::deque<int32_t> queued = queuedLevels();
    ASSERT_EQ(queued.size(), 20u);
    for (size_t i = 0; i < queued.size(); i++) EXPECT_EQ(queued[i], 12 + static_cast<int>(i));
    EXPECT_EQ(liveStatus().brightness, 31);

    ASSERT_TRUE(waitForCommands("AT%DB=", 21, 3000));
    waitIdle();
    std::vector<int> expected = {1};
    for (int level = 12; level <= 31; level++) expected.push_back(level);
    // With offset 0 the levels go out unchanged, oldest first; 11 was dropped.
    EXPECT_EQ(brightnessLevels(), expected);
}

TEST_F(BrightnessQueue, WithAnOffsetEveryQueuedLevelCarriesTheLatestLevelMapped) {
    attach();
    // Screen off: stored, answered with failure.
    EXPECT_EQ(mHal->setTWBrightnessOffset(-5), Status::FAILURE);
    EXPECT_TRUE(LogCapture::contains("request br_offset is -5", ANDROID_LOG_INFO));
    EXPECT_EQ(liveStatus().brightnessOffset, -5);

    stallWorker(40, 300);
    ASSERT_EQ(mHal->setBrightness(50), Status::SUCCESS);
    ASSERT_EQ(mHal->setBrightness(60), Status::SUCCESS);
    ASSERT_EQ(mHal->setBrightness(100), Status::SUCCESS);
    ASSERT_TRUE(waitForCommands("AT%DB=", 4, 3000));
    waitIdle();
    // 40 is past the knee of -5 (30): 40 - 10. The three queued ones all send
    // the mapping of 100.
    EXPECT_EQ(brightnessLevels(), (std::vector<int>{30, 90, 90, 90}));
    EXPECT_EQ(LogCapture::count("[dd] 100 -> 90\n"), 3);
}

TEST_F(BrightnessQueue, OffsetRequestWhileOnResendsTheCurrentLevelMapped) {
    attach();
    ASSERT_EQ(powerOn(), Status::SUCCESS);
    ASSERT_EQ(mHal->setBrightness(100), Status::SUCCESS);
    ASSERT_TRUE(waitForCommands("AT%DB=", 1));
    waitIdle();

    EXPECT_EQ(mHal->setTWBrightnessOffset(-5), Status::SUCCESS);
    ASSERT_TRUE(waitForCommands("AT%DB=", 2));
    waitIdle();
    EXPECT_EQ(brightnessLevels(), (std::vector<int>{100, 90}));
    EXPECT_TRUE(LogCapture::contains("request br_offset is -5", ANDROID_LOG_INFO));
    EXPECT_TRUE(LogCapture::contains("br_to_offset_br: br_offset_count: 1", ANDROID_LOG_INFO));
    EXPECT_TRUE(LogCapture::contains("[dd] 100 -> 90\n"));
    // Idle again: the pending count went back to 0.
    EXPECT_TRUE(LogCapture::contains(
            "BrightnessThread: br_arr empty. wait signal, set br_offset_count 0",
            ANDROID_LOG_INFO));
    TwinelStatus st = status();
    EXPECT_EQ(st.brightnessOffset, -5);
    EXPECT_EQ(st.brightness, 100);
}

TEST_F(BrightnessQueue, BypassAppliesTheStoredOffsetOnce) {
    attach();
    ASSERT_EQ(powerOn(), Status::SUCCESS);
    ASSERT_EQ(mHal->setBrightness(100), Status::SUCCESS);
    ASSERT_TRUE(waitForCommands("AT%DB=", 1));
    waitIdle();
    ASSERT_EQ(mHal->setTWBrightnessOffset(5), Status::SUCCESS);
    ASSERT_TRUE(waitForCommands("AT%DB=", 2));
    waitIdle();

    EXPECT_EQ(mHal->setTWBrightnessOffset(100), Status::SUCCESS);
    EXPECT_TRUE(LogCapture::contains("enalble br offset bypass", ANDROID_LOG_INFO));
    TwinelStatus st = liveStatus();
    EXPECT_TRUE(st.brightnessOffsetBypass);
    EXPECT_EQ(st.brightnessOffset, 5);  // not stored
    usleep(150 * 1000);
    EXPECT_EQ(commands("AT%DB=").size(), 2u);  // nothing queued

    ASSERT_EQ(mHal->setBrightness(100), Status::SUCCESS);
    ASSERT_TRUE(waitForCommands("AT%DB=", 3));
    waitIdle();
    EXPECT_FALSE(liveStatus().brightnessOffsetBypass);
    EXPECT_EQ(LogCapture::count("br_to_offset_br: br_offset_bypass true"), 1);
    ASSERT_EQ(mHal->setBrightness(100), Status::SUCCESS);
    ASSERT_TRUE(waitForCommands("AT%DB=", 4));
    waitIdle();
    EXPECT_EQ(brightnessLevels(), (std::vector<int>{100, 110, 110, 100}));
}

TEST_F(BrightnessQueue, AnotherOffsetWhileOnClearsAPendingBypass) {
    attach();
    ASSERT_EQ(powerOn(), Status::SUCCESS);
    ASSERT_EQ(mHal->setBrightness(60), Status::SUCCESS);
    ASSERT_TRUE(waitForCommands("AT%DB=", 1));
    waitIdle();
    EXPECT_EQ(mHal->setTWBrightnessOffset(100), Status::SUCCESS);
    EXPECT_EQ(mHal->setTWBrightnessOffset(-10), Status::SUCCESS);
    EXPECT_FALSE(liveStatus().brightnessOffsetBypass);
    ASSERT_TRUE(waitForCommands("AT%DB=", 2));
    waitIdle();
    EXPECT_EQ(brightnessLevels(), (std::vector<int>{60, 40}));
    EXPECT_FALSE(LogCapture::contains("br_to_offset_br: br_offset_bypass true"));
}

TEST_F(BrightnessQueue, LevelsOutside0To255AreRefusedAndNothingIsSent) {
    attach();
    ASSERT_EQ(mHal->setBrightness(77), Status::SUCCESS);
    ASSERT_TRUE(waitForCommands("AT%DB=", 1));
    waitIdle();

    for (int32_t level : {256, -1, INT32_MIN, INT32_MAX, 1000}) {
        EXPECT_EQ(mHal->setBrightness(level), Status::SUCCESS);
        EXPECT_TRUE(LogCapture::contains(
                "invalid brightness value:" + std::to_string(level) + ", old_value:77",
                ANDROID_LOG_ERROR));
    }
    EXPECT_TRUE(queuedLevels().empty());
    usleep(150 * 1000);
    EXPECT_EQ(brightnessLevels(), (std::vector<int>{77}));
    EXPECT_EQ(liveStatus().brightness, 77);

    // The ends of the range are accepted.
    ASSERT_EQ(mHal->setBrightness(0), Status::SUCCESS);
    ASSERT_EQ(mHal->setBrightness(255), Status::SUCCESS);
    ASSERT_TRUE(waitForCommands("AT%DB=", 3));
    waitIdle();
    EXPECT_EQ(brightnessLevels(), (std::vector<int>{77, 0, 255}));
}

TEST_F(BrightnessQueue, LowLevelsWithAnOffsetGiveTen) {
    attach();
    EXPECT_EQ(mHal->setTWBrightnessOffset(-5), Status::FAILURE);
    ASSERT_EQ(mHal->setBrightness(5), Status::SUCCESS);
    ASSERT_TRUE(waitForCommands("AT%DB=", 1));
    waitIdle();
    // Without an offset the level goes out as it is.
    EXPECT_EQ(mHal->setTWBrightnessOffset(0), Status::FAILURE);
    ASSERT_EQ(mHal->setBrightness(5), Status::SUCCESS);
    ASSERT_TRUE(waitForCommands("AT%DB=", 2));
    waitIdle();
    EXPECT_EQ(brightnessLevels(), (std::vector<int>{10, 5}));
    EXPECT_TRUE(LogCapture::contains("[dd] 5 -> 10\n"));
}

TEST_F(BrightnessQueue, ExtremeOffsetsNeverSendALevelOutOf10To255) {
    attach();
    ASSERT_EQ(powerOn(), Status::SUCCESS);
    ASSERT_EQ(mHal->setBrightness(200), Status::SUCCESS);
    ASSERT_TRUE(waitForCommands("AT%DB=", 1));
    waitIdle();

    EXPECT_EQ(mHal->setTWBrightnessOffset(INT32_MAX), Status::SUCCESS);  // 200 + 2^32 - 2
    ASSERT_TRUE(waitForCommands("AT%DB=", 2));
    waitIdle();
    EXPECT_EQ(mHal->setTWBrightnessOffset(INT32_MIN), Status::SUCCESS);  // 200 - 2^32
    ASSERT_TRUE(waitForCommands("AT%DB=", 3));
    waitIdle();
    ASSERT_EQ(mHal->setBrightness(255), Status::SUCCESS);  // no pending request: halved
    ASSERT_TRUE(waitForCommands("AT%DB=", 4));
    waitIdle();
    EXPECT_EQ(mHal->setTWBrightnessOffset(100), Status::SUCCESS);
    ASSERT_EQ(mHal->setBrightness(50), Status::SUCCESS);  // bypass: 50 - 2^32
    ASSERT_TRUE(waitForCommands("AT%DB=", 5));
    waitIdle();

    EXPECT_EQ(brightnessLevels(), (std::vector<int>{200, 255, 10, 132, 10}));
    EXPECT_EQ(status().brightnessOffset, INT32_MIN);
}

TEST_F(BrightnessQueue, OffsetBeforeInitialisationIsStoredAndSucceeds) {
    EXPECT_EQ(mHal->setTWBrightnessOffset(7), Status::SUCCESS);
    EXPECT_TRUE(LogCapture::contains("setTWBrightnessOffset: tw2 not initialized, value:7",
                                     ANDROID_LOG_ERROR));
    EXPECT_EQ(liveStatus().brightnessOffset, 7);
    // Also 100 is stored: the bypass exists only while the screen is on.
    EXPECT_EQ(mHal->setTWBrightnessOffset(100), Status::SUCCESS);
    EXPECT_EQ(liveStatus().brightnessOffset, 100);
    EXPECT_FALSE(liveStatus().brightnessOffsetBypass);
}

TEST_F(BrightnessQueue, LevelsQueuedBeforeTheFirstAttachAreDropped) {
    ASSERT_EQ(mHal->setBrightness(120), Status::SUCCESS);
    EXPECT_EQ(queuedLevels().size(), 1u);
    attach();
    EXPECT_TRUE(queuedLevels().empty());
    usleep(100 * 1000);
    EXPECT_TRUE(commands("AT%DB=").empty());
}

TEST_F(BrightnessQueue, PowerOffEmptiesTheQueueAndZeroesTheLevel) {
    attach();
    ASSERT_EQ(powerOn(), Status::SUCCESS);
    // The power-off command holds the AT channel for a while; every level
    // takes long to send.
    mSim->setAtScript(atScript("AT%TW=0", Action::Reply, "", 300, 1));
    mSim->setAtScript(atScript("AT%DB=", Action::Reply, "", 200));
    Status offResult = Status::FAILURE;
    std::thread off([&] { offResult = powerOff(); });
    ASSERT_TRUE(waitForCommands("AT%TW=0", 1));

    // The worker takes 2 and waits for the channel; 3 to 5 stay queued.
    for (int32_t level = 2; level <= 5; level++) {
        ASSERT_EQ(mHal->setBrightness(level), Status::SUCCESS);
    }
    ASSERT_TRUE(twtest::waitFor([] { return queuedLevels().size() == 3; }, 1000));
    off.join();
    EXPECT_EQ(offResult, Status::SUCCESS);
    EXPECT_TRUE(queuedLevels().empty());
    EXPECT_EQ(liveStatus().brightness, 0);
    ASSERT_TRUE(waitForCommands("AT%DB=", 1));
    usleep(500 * 1000);
    EXPECT_EQ(brightnessLevels(), (std::vector<int>{2}));
}

TEST_F(BrightnessQueue, FailedLevelIsLoggedAndNotRetried) {
    attach();
    mSim->setAtScript(atScript("AT%DB=", Action::Error, "BUSY", 0, 1));
    ASSERT_EQ(mHal->setBrightness(33), Status::SUCCESS);
    ASSERT_TRUE(waitForCommands("AT%DB=", 1));
    ASSERT_TRUE(
            LogCapture::waitFor("BrightnessThread: failed to serial AtCmd: BUSY\n, ret: -1", 2000));
    ASSERT_EQ(mHal->setBrightness(34), Status::SUCCESS);
    ASSERT_TRUE(waitForCommands("AT%DB=", 2));
    waitIdle();
    EXPECT_EQ(brightnessLevels(), (std::vector<int>{33, 34}));
}

TEST_F(BrightnessQueue, ShutdownStopsAndJoinsTheWorker) {
    attach();
    stallWorker(1, 300);
    ASSERT_EQ(mHal->setBrightness(2), Status::SUCCESS);
    int64_t start = twtest::nowMs();
    tw2_display_shutdown();
    // The exchange under way ends first; the queued level is not sent.
    EXPECT_LT(twtest::nowMs() - start, 2000);
    EXPECT_TRUE(LogCapture::contains("BrightnessThread: exit", ANDROID_LOG_INFO));
    EXPECT_EQ(brightnessLevels(), (std::vector<int>{1}));
    // Later levels are still accepted, and a second stop is harmless.
    EXPECT_EQ(mHal->setBrightness(3), Status::SUCCESS);
    tw2_display_shutdown();
    // A new attach does not start another worker.
    detach();
    attach();
    EXPECT_EQ(LogCapture::count("BrightnessThread: start"), 1);
}

}  // namespace
}  // namespace twdisplay
