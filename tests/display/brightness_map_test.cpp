/*
 * The brightness offset mapping on its own: every worked value, every log
 * text, and offsets at the ends of the int32 range.
 */
#include <android/log.h>
#include <limits.h>

#include "display_test_util.h"

namespace twdisplay {
namespace {

using namespace ::vendor::zyr::hardware::twinel::V1_1::implementation;

class BrightnessMap : public ::testing::Test {
  protected:
    void SetUp() override {
        LogCapture::install();
        LogCapture::clear();
    }

    // One mapping with the given state, as the worker does it (lock held).
    int32_t map(int32_t level, int32_t offset, int32_t pending, bool bypass = false,
                int32_t max = 0) {
        pthread_mutex_lock(&tw2_display_mutex);
        tw2_status.brightnessOffset = offset;
        tw2_status.brightnessOffsetBypass = bypass;
        br_offset_count = pending;
        int32_t r = br_to_offset_br(level, max);
        mCountAfter = br_offset_count;
        mBypassAfter = tw2_status.brightnessOffsetBypass;
        pthread_mutex_unlock(&tw2_display_mutex);
        return r;
    }

    int32_t mCountAfter = 0;
    bool mBypassAfter = false;
};

TEST_F(BrightnessMap, NegativeOffsetWithoutPendingRequestCompressesBelowTheKnee) {
    EXPECT_EQ(map(20, -5, 0), 15);
    EXPECT_TRUE(LogCapture::contains("[dd] 20 -> 15\n", ANDROID_LOG_INFO));
    EXPECT_EQ(map(30, -5, 0), 20);  // the knee, 4k + 10
    EXPECT_EQ(map(100, -5, 0), 90);
    EXPECT_TRUE(LogCapture::contains("[dd] 100 -> 90\n", ANDROID_LOG_INFO));
    // Just past the knee both pieces meet.
    EXPECT_EQ(map(31, -5, 0), 21);
    EXPECT_EQ(map(10, -5, 0), 10);
    // Integer division truncates: 10 + (14 * 11) / 28 = 15.
    EXPECT_EQ(map(21, -7, 0), 15);
    EXPECT_EQ(mCountAfter, 0);
}

TEST_F(BrightnessMap, PendingRequestShiftsByTwiceTheOffsetOnce) {
    EXPECT_EQ(map(100, 5, 1), 110);
    EXPECT_EQ(mCountAfter, 0);
    EXPECT_TRUE(LogCapture::contains("br_to_offset_br: br_offset_count: 1", ANDROID_LOG_INFO));
    EXPECT_TRUE(LogCapture::contains("[dd] 100 -> 110\n", ANDROID_LOG_INFO));

    // Without a pending request a positive offset changes nothing.
    LogCapture::clear();
    EXPECT_EQ(map(100, 5, 0), 100);
    EXPECT_TRUE(LogCapture::withPrefix("br_to_offset_br: br_offset_count").empty());
    EXPECT_TRUE(LogCapture::contains("[dd] 100 -> 100\n"));

    // Several pending requests are used up one by one.
    EXPECT_EQ(map(100, -5, 3), 90);
    EXPECT_EQ(mCountAfter, 2);
    EXPECT_TRUE(LogCapture::contains("br_to_offset_br: br_offset_count: 3"));
}

TEST_F(BrightnessMap, ResultAboveMaximumIsClampedWithItsLog) {
    EXPECT_EQ(map(250, 5, 1), 255);
    EXPECT_TRUE(LogCapture::contains("bigger than max. br : set 255 to 255", ANDROID_LOG_INFO));
    EXPECT_TRUE(LogCapture::contains("[dd] 250 -> 255\n", ANDROID_LOG_INFO));
    // An explicit maximum replaces 255.
    LogCapture::clear();
    EXPECT_EQ(map(90, 10, 1, false, 100), 100);
    EXPECT_TRUE(LogCapture::contains("bigger than max. br : set 100 to 100"));
}

TEST_F(BrightnessMap, ResultBelowMinimumIsClampedWithItsLog) {
    EXPECT_EQ(map(30, -20, 1), 10);
    EXPECT_EQ(mCountAfter, 0);
    EXPECT_TRUE(LogCapture::contains("lower than min. br : set 10 to 10", ANDROID_LOG_INFO));
    EXPECT_TRUE(LogCapture::contains("[dd] 30 -> 10\n", ANDROID_LOG_INFO));
    EXPECT_FALSE(LogCapture::contains("min br level"));
}

TEST_F(BrightnessMap, LevelBelowTenGivesTenWhateverTheState) {
    for (int32_t offset : {0, 5, -5, INT32_MAX, INT32_MIN}) {
        LogCapture::clear();
        EXPECT_EQ(map(5, offset, 1, true), 10) << offset;
        // Nothing was used up.
        EXPECT_EQ(mCountAfter, 1);
        EXPECT_TRUE(mBypassAfter);
        EXPECT_TRUE(LogCapture::contains("min br level", ANDROID_LOG_ERROR));
        EXPECT_TRUE(LogCapture::contains("lower than min. br : set 10 to 10", ANDROID_LOG_INFO));
        EXPECT_TRUE(LogCapture::contains("[dd] 5 -> 10\n", ANDROID_LOG_INFO));
    }
    EXPECT_EQ(map(INT32_MIN, 0, 0), 10);
    EXPECT_EQ(map(-1, 0, 0), 10);
    EXPECT_EQ(map(9, 0, 0), 10);
}

TEST_F(BrightnessMap, LevelAboveMaximumGivesTheMaximum) {
    EXPECT_EQ(map(300, -5, 1), 255);
    EXPECT_TRUE(LogCapture::contains("max br level", ANDROID_LOG_ERROR));
    EXPECT_TRUE(LogCapture::contains("[dd] 300 -> 255\n"));
    EXPECT_EQ(mCountAfter, 1);  // not used up
    EXPECT_EQ(map(INT32_MAX, INT32_MIN, 0), 255);
}

TEST_F(BrightnessMap, BypassAppliesTheShiftOnceAndClearsItself) {
    EXPECT_EQ(map(100, 5, 0, true), 110);
    EXPECT_FALSE(mBypassAfter);
    EXPECT_TRUE(LogCapture::contains("br_to_offset_br: br_offset_bypass true", ANDROID_LOG_INFO));
    // The bypass comes before a pending count, which stays.
    EXPECT_EQ(map(100, -5, 2, true), 90);
    EXPECT_EQ(mCountAfter, 2);
    EXPECT_FALSE(mBypassAfter);
}

TEST_F(BrightnessMap, ExtremeOffsetsStayWithinRange) {
    // Shifts that overflow 32 bits: level + 2 x offset.
    EXPECT_EQ(map(10, INT32_MAX, 1), 255);
    EXPECT_TRUE(LogCapture::contains("bigger than max. br : set 255 to 255"));
    EXPECT_EQ(map(255, INT32_MIN, 1), 10);
    EXPECT_EQ(map(255, INT32_MIN, 0, true), 10);
    EXPECT_EQ(map(10, INT32_MAX, 0, true), 255);
    // k = -INT32_MIN: the knee 4k + 10 is beyond every level, so the whole
    // range is compressed by half: 10 + (2k x 245) / 4k = 132.
    EXPECT_EQ(map(255, INT32_MIN, 0), 132);
    EXPECT_EQ(map(11, INT32_MIN, 0), 10);
    EXPECT_EQ(map(100, INT32_MIN + 1, 0), 55);
    // Without a pending request a positive offset changes nothing.
    EXPECT_EQ(map(200, INT32_MAX, 0), 200);

    for (int32_t offset :
         {INT32_MIN, INT32_MIN + 1, -1000000000, -128, 127, 1000000000, INT32_MAX - 1, INT32_MAX}) {
        for (int32_t pending : {0, 1}) {
            for (bool bypass : {false, true}) {
                for (int32_t level = 0; level <= 255; level++) {
                    int32_t r = map(level, offset, pending, bypass);
                    ASSERT_GE(r, 10) << "level " << level << " offset " << offset;
                    ASSERT_LE(r, 255) << "level " << level << " offset " << offset;
                }
            }
        }
    }
}

TEST_F(BrightnessMap, ExtremeMaximumAndLevelDoNotOverflow) {
    EXPECT_EQ(map(INT32_MAX, INT32_MAX, 1, false, INT32_MAX), INT32_MAX);
    EXPECT_TRUE(LogCapture::contains("bigger than max. br : set 2147483647 to 2147483647"));
    EXPECT_EQ(map(INT32_MAX, INT32_MIN, 1, false, INT32_MAX), 10);
    // 2k x (level - 10) needs 63 bits here.
    EXPECT_EQ(map(INT32_MAX, INT32_MIN, 0, false, INT32_MAX),
              static_cast<int32_t>(10 + (static_cast<int64_t>(INT32_MAX) - 10) / 2));
    // A maximum below the minimum level still gives the minimum.
    EXPECT_EQ(map(50, 0, 0, false, -7), 10);
    EXPECT_EQ(map(50, 0, 0, false, INT32_MIN), 10);
}

}  // namespace
}  // namespace twdisplay
