/*
 * Colour and screen tuning: what goes to the accessory and when.
 */
#include <android/log.h>
#include <unistd.h>

#include "display_test_util.h"

namespace twdisplay {
namespace {

using namespace ::vendor::zyr::hardware::twinel::V1_1::implementation;
using Action = twsim::AtScript::Action;

class Colour : public DisplayTest {
  protected:
    // Colour commands received, in order.
    std::vector<std::string> colourCommands() const {
        std::vector<std::string> out;
        for (const std::string& c : commands()) {
            if (c.compare(0, 8, "AT%PRGB=") == 0 || c.compare(0, 7, "AT%SHS=") == 0 ||
                c.compare(0, 9, "AT%SMODE=") == 0) {
                out.push_back(c);
            }
        }
        return out;
    }
};

TEST_F(Colour, StartValuesChangeNothing) {
    attach();
    EXPECT_EQ(mHal->setRgbTune(2, 0, 0, 0), Status::SUCCESS);
    EXPECT_EQ(mHal->setScreenTune(2, 2, 2, 7), Status::SUCCESS);  // the fourth plays no part
    EXPECT_EQ(mHal->setScreenMode(ScreenMode::DEFAULT), Status::SUCCESS);
    EXPECT_FALSE(prgb.dirty);
    EXPECT_FALSE(screentune.dirty);
    EXPECT_FALSE(smode.dirty);
    ASSERT_EQ(powerOn(), Status::SUCCESS);
    // Only what differs from the all-zero snapshot of the first power-on.
    EXPECT_EQ(colourCommands(), (std::vector<std::string>{"AT%PRGB=2,0,0,0", "AT%SHS=2,2,2"}));
    EXPECT_TRUE(LogCapture::contains("tw2_display_color_mode_send: at cmd path:AT%PRGB=2,0,0,0\r",
                                     ANDROID_LOG_INFO));
    EXPECT_TRUE(LogCapture::contains("tw2_display_color_mode_send: ", ANDROID_LOG_INFO));
}

TEST_F(Colour, ChangeWhileOnIsSentAtOnceAndOnlyOnce) {
    attach();
    ASSERT_EQ(powerOn(), Status::SUCCESS);
    mSim->clearAtCommands();
    EXPECT_EQ(mHal->setScreenMode(static_cast<ScreenMode>(5)), Status::SUCCESS);
    EXPECT_EQ(commands(), (std::vector<std::string>{"AT%SMODE=5"}));
    EXPECT_EQ(mHal->setScreenMode(static_cast<ScreenMode>(5)), Status::SUCCESS);
    EXPECT_EQ(mHal->setRgbTune(7, 8, 9, 10), Status::SUCCESS);
    EXPECT_EQ(mHal->setScreenTune(3, 4, 5, 6), Status::SUCCESS);
    EXPECT_EQ(commands(),
              (std::vector<std::string>{"AT%SMODE=5", "AT%PRGB=7,8,9,10", "AT%SHS=3,4,5"}));
    EXPECT_FALSE(prgb.dirty);
    EXPECT_FALSE(screentune.dirty);
    EXPECT_FALSE(smode.dirty);
}

TEST_F(Colour, ChangeWhileOffWaitsForPowerOnAndGoesFirst) {
    attach();
    EXPECT_EQ(mHal->setRgbTune(1, 2, 3, 4), Status::SUCCESS);
    usleep(50 * 1000);
    EXPECT_TRUE(mSim->atCommands().empty());
    EXPECT_TRUE(prgb.dirty);
    ASSERT_EQ(powerOn(), Status::SUCCESS);
    EXPECT_EQ(commands(), (std::vector<std::string>{"AT%PRGB=1,2,3,4", "AT%SHS=2,2,2",
                                                    "AT%LOGSAVE=0", "AT%TW=1", "AT%HPD"}));
}

TEST_F(Colour, PowerOffSnapshotSuppressesResendingUnchangedSettings) {
    attach();
    ASSERT_EQ(powerOn(), Status::SUCCESS);
    ASSERT_EQ(powerOff(), Status::SUCCESS);
    EXPECT_EQ(old_prgb.value[0], 2u);
    EXPECT_EQ(old_screentune.value[2], 2u);
    mSim->clearAtCommands();
    ASSERT_EQ(powerOn(), Status::SUCCESS);
    EXPECT_TRUE(colourCommands().empty());
}

TEST_F(Colour, FourthRgbValueAloneDoesNotTriggerTheSend) {
    attach();
    ASSERT_EQ(powerOn(), Status::SUCCESS);
    ASSERT_EQ(powerOff(), Status::SUCCESS);
    EXPECT_EQ(mHal->setRgbTune(2, 0, 0, 9), Status::SUCCESS);
    mSim->clearAtCommands();
    ASSERT_EQ(powerOn(), Status::SUCCESS);
    EXPECT_TRUE(colourCommands().empty());
    EXPECT_TRUE(prgb.dirty);
    // The next change made while on takes it along.
    EXPECT_EQ(mHal->setScreenMode(ScreenMode::MODE_1), Status::SUCCESS);
    EXPECT_EQ(colourCommands(), (std::vector<std::string>{"AT%PRGB=2,0,0,9", "AT%SMODE=1"}));
}

TEST_F(Colour, ReattachAtStartValuesSendsNothingButChangedSettingsFollow) {
    attach();
    ASSERT_EQ(powerOn(), Status::SUCCESS);
    detach();
    attach();
    ASSERT_EQ(powerOn(), Status::SUCCESS);
    EXPECT_TRUE(colourCommands().empty());

    // A setting changed before the detach differs from the reset snapshot.
    EXPECT_EQ(mHal->setScreenMode(ScreenMode::MODE_2), Status::SUCCESS);
    EXPECT_EQ(colourCommands(), (std::vector<std::string>{"AT%SMODE=2"}));
    detach();
    EXPECT_EQ(old_smode.mode, 0);
    EXPECT_EQ(old_prgb.value[0], 2u);
    attach();
    ASSERT_EQ(powerOn(), Status::SUCCESS);
    EXPECT_EQ(colourCommands(), (std::vector<std::string>{"AT%SMODE=2"}));
}

TEST_F(Colour, ValuesAreForwardedAsSignedDecimal) {
    attach();
    ASSERT_EQ(powerOn(), Status::SUCCESS);
    mSim->clearAtCommands();
    EXPECT_EQ(mHal->setRgbTune(4294967295u, 0, 2147483648u, 2147483647u), Status::SUCCESS);
    EXPECT_EQ(mHal->setScreenTune(4294967295u, 4294967294u, 0, 0), Status::SUCCESS);
    EXPECT_EQ(mHal->setScreenMode(static_cast<ScreenMode>(-1)), Status::SUCCESS);
    EXPECT_EQ(commands(), (std::vector<std::string>{"AT%PRGB=-1,0,-2147483648,2147483647",
                                                    "AT%SHS=-1,-2,0", "AT%SMODE=-1"}));
}

TEST_F(Colour, FailedSendIsLoggedAndNotRepeated) {
    attach();
    ASSERT_EQ(powerOn(), Status::SUCCESS);
    mSim->clearAtCommands();
    mSim->setAtScript(atScript("AT%SMODE=", Action::Error, "", 0, 1));
    EXPECT_EQ(mHal->setScreenMode(ScreenMode::MODE_3), Status::SUCCESS);
    EXPECT_TRUE(LogCapture::contains("tw2_display_color_mode_send: , ret: -1", ANDROID_LOG_ERROR));
    EXPECT_FALSE(smode.dirty);
    EXPECT_EQ(mHal->setRgbTune(5, 5, 5, 5), Status::SUCCESS);
    EXPECT_EQ(commands(), (std::vector<std::string>{"AT%SMODE=3", "AT%PRGB=5,5,5,5"}));
}

TEST_F(Colour, SendWithoutTheHalObjectFails) {
    EXPECT_EQ(tw2_display_color_mode_send("AT%SMODE=1\r"), -1);
    EXPECT_TRUE(LogCapture::contains("tw2_display_color_mode_send: tw2 null", ANDROID_LOG_ERROR));
    // Not initialised: stored, nothing sent.
    EXPECT_EQ(mHal->setScreenMode(ScreenMode::MODE_1), Status::SUCCESS);
    EXPECT_TRUE(smode.dirty);
    EXPECT_FALSE(LogCapture::contains("tw2_display_color_mode_send: at cmd path:AT%SMODE=1\r"));
}

TEST_F(Colour, ChangedCheckMarksOnlyWhatDiffers) {
    attach();
    // All-zero snapshot against the start values: RGB and screen tune.
    EXPECT_TRUE(color_mode_changed());
    EXPECT_TRUE(prgb.dirty);
    EXPECT_TRUE(screentune.dirty);
    EXPECT_FALSE(smode.dirty);
    prgb.dirty = screentune.dirty = false;
    pthread_mutex_lock(&tw2_display_mutex);
    screenmode_reset(old_smode, old_prgb, old_screentune);
    pthread_mutex_unlock(&tw2_display_mutex);
    EXPECT_FALSE(color_mode_changed());
    EXPECT_FALSE(prgb.dirty || screentune.dirty || smode.dirty);
}

}  // namespace
}  // namespace twdisplay
