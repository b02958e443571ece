/*
 * Firmware version query, image selection in /system_ext/etc/dfu and the
 * upgrade trigger.
 */
#include <android/log.h>
#include <twdevice/device.h>
#include <twsim/dfu_images.h>
#include <unistd.h>

#include "display_test_util.h"

namespace twdisplay {
namespace {

using namespace ::vendor::zyr::hardware::twinel::V1_1::implementation;
using Action = twsim::AtScript::Action;

class FirmwareCheck : public DisplayTest {
  protected:
    void SetUp() override {
        DisplayTest::SetUp();
        ASSERT_TRUE(twsim::clearDfuImages(*mSim));
    }

    void images(const std::vector<std::string>& names) {
        for (const std::string& n : names) ASSERT_TRUE(twsim::addDfuImage(*mSim, n)) << n;
    }

    std::string firmwareFile() {
        std::string out = "<none>";
        mHal->getFirmwareFile([&](Status s, const hidl_string& name) {
            EXPECT_EQ(s, Status::SUCCESS);
            out = name;
        });
        return out;
    }

    // Upgrade requests written to the GPIO-keys node after a short wait.
    std::vector<std::string> upgradeWrites() {
        usleep(50 * 1000);
        return nodeValues(twsim::kFirmwareWriteNode);
    }

    // The entry of `names` the file system lists first.
    std::string firstListed(const std::vector<std::string>& names) {
        for (const std::string& entry : twsim::dfuDirectoryOrder(*mSim)) {
            for (const std::string& n : names) {
                if (entry == n) return n;
            }
        }
        return "";
    }
};

TEST_F(FirmwareCheck, VersionQueryReturnsTheAccessoryText) {
    attach();
    mSim->setFirmwareVersion("ABC-V2_x");
    int calls = 0;
    mHal->getFirmwareVersion([&](Status s, const hidl_string& v) {
        EXPECT_EQ(s, Status::SUCCESS);
        EXPECT_EQ(std::string(v), "ABC-V2_x");
        calls++;
    });
    EXPECT_EQ(calls, 1);
    EXPECT_TRUE(LogCapture::contains("getFirmwareVersion: ABC-V2_x", ANDROID_LOG_DEBUG));
    EXPECT_EQ(commands(), (std::vector<std::string>{"AT%SWV"}));

    mSim->setAtScript(atScript("AT%SWV", Action::Error, "PARTIAL", 0, 1));
    mHal->getFirmwareVersion([&](Status s, const hidl_string& v) {
        EXPECT_EQ(s, Status::FAILURE);
        EXPECT_EQ(std::string(v), "");
        calls++;
    });
    EXPECT_EQ(calls, 2);
}

TEST_F(FirmwareCheck, VersionQueryWithoutTheAccessoryFails) {
    mHal->getFirmwareVersion([&](Status s, const hidl_string& v) {
        EXPECT_EQ(s, Status::FAILURE);
        EXPECT_EQ(std::string(v), "");
    });
}

TEST_F(FirmwareCheck, NewerImageIsSelectedAndTheUpgradeRequested) {
    images({"ABC-V1_a.dfu", "ABC-V3_b.dfu"});
    attach();
    mSim->setFirmwareVersion("ABC-V2_x");
    EXPECT_EQ(mHal->checkFirmwareVersion(), Status::FAILURE);
    EXPECT_EQ(firmwareFile(), "ABC-V3_b.dfu");
    EXPECT_EQ(upgradeWrites(), (std::vector<std::string>{"1"}));
    EXPECT_TRUE(LogCapture::contains("checkFirmwareVersion: ABC-V2_x", ANDROID_LOG_DEBUG));
    EXPECT_TRUE(LogCapture::contains("checkFirmwareVersion: dfu_prebuilt = ABC-V3_b.dfu",
                                     ANDROID_LOG_DEBUG));
    EXPECT_TRUE(LogCapture::contains("checkFirmwareVersion: doFirmwareUpgrade called",
                                     ANDROID_LOG_DEBUG));
    EXPECT_TRUE(LogCapture::contains("getFirmwareFile: mDfuFilePath = ABC-V3_b.dfu",
                                     ANDROID_LOG_DEBUG));
    if (firstListed({"ABC-V1_a.dfu", "ABC-V3_b.dfu"}) == "ABC-V1_a.dfu") {
        EXPECT_TRUE(LogCapture::contains("getDFUFile: ABC-V1_a.dfu selected"));
        EXPECT_TRUE(LogCapture::contains("getDFUFile: ABC-V3_b.dfu change selected"));
    } else {
        EXPECT_TRUE(LogCapture::contains("getDFUFile: ABC-V3_b.dfu selected"));
        EXPECT_FALSE(LogCapture::contains("getDFUFile: ABC-V1_a.dfu change selected"));
    }
}

TEST_F(FirmwareCheck, CurrentFirmwareNeedsNoUpgrade) {
    images({"ABC-V1_a.dfu", "ABC-V3_b.dfu"});
    attach();
    mSim->setFirmwareVersion("ABC-V3_y");
    EXPECT_EQ(mHal->checkFirmwareVersion(), Status::SUCCESS);
    EXPECT_EQ(firmwareFile(), "ABC-V3_b.dfu");
    EXPECT_TRUE(upgradeWrites().empty());
    EXPECT_TRUE(LogCapture::contains("checkFirmwareVersion: dfu_prebuilt = ABC-V3"));
    EXPECT_TRUE(LogCapture::contains("checkFirmwareVersion: doFirmwareUpgrade not called"));
    // Newer firmware on the accessory than on the phone: no downgrade.
    mSim->setFirmwareVersion("ABC-V4_z");
    EXPECT_EQ(mHal->checkFirmwareVersion(), Status::SUCCESS);
    EXPECT_TRUE(upgradeWrites().empty());
}

TEST_F(FirmwareCheck, OnlyOtherModelsMeansNoMatchingFirmware) {
    images({"XYZ-V9_a.dfu", "XYZ-V8_b.dfu"});
    attach();
    mSim->setFirmwareVersion("ABC-V2_x");
    EXPECT_EQ(mHal->checkFirmwareVersion(), Status::FAILURE);
    EXPECT_TRUE(LogCapture::contains(
            "getDFUFile: TW: ABC-V2_x LOCAL: XYZ-V9_a.dfu, firmware mismatch", ANDROID_LOG_ERROR));
    EXPECT_TRUE(LogCapture::contains(
            "getDFUFile: TW: ABC-V2_x LOCAL: XYZ-V8_b.dfu, firmware mismatch", ANDROID_LOG_ERROR));
    EXPECT_TRUE(
            LogCapture::contains("getDFUFile: There is no matching firmware", ANDROID_LOG_ERROR));
    // The last one listed.
    std::string last = firstListed({"XYZ-V9_a.dfu", "XYZ-V8_b.dfu"}) == "XYZ-V9_a.dfu"
                               ? "XYZ-V8_b.dfu"
                               : "XYZ-V9_a.dfu";
    EXPECT_EQ(firmwareFile(), last);
    EXPECT_TRUE(upgradeWrites().empty());
}

TEST_F(FirmwareCheck, MismatchesBesideAMatchStillSelectTheMatch) {
    images({"XYZ-V9_a.dfu", "ABC-V3_b.dfu", "ABCD-V9_c.dfu", "AB-V9_d.dfu"});
    attach();
    mSim->setFirmwareVersion("ABC-V3_b");
    EXPECT_EQ(mHal->checkFirmwareVersion(), Status::SUCCESS);
    EXPECT_EQ(firmwareFile(), "ABC-V3_b.dfu");
    EXPECT_EQ(LogCapture::withPrefix("getDFUFile: TW: ABC-V3_b LOCAL: ").size(), 3u);
    EXPECT_FALSE(LogCapture::contains("getDFUFile: There is no matching firmware"));
}

TEST_F(FirmwareCheck, EmptyDirectoryMeansNothingToDo) {
    attach();
    mSim->setFirmwareVersion("ABC-V2_x");
    EXPECT_EQ(mHal->checkFirmwareVersion(), Status::SUCCESS);
    EXPECT_EQ(firmwareFile(), "");
    EXPECT_TRUE(upgradeWrites().empty());
    EXPECT_TRUE(LogCapture::contains("checkFirmwareVersion: dfu_prebuilt = "));
    EXPECT_TRUE(LogCapture::contains("checkFirmwareVersion: doFirmwareUpgrade not called"));
}

TEST_F(FirmwareCheck, OnlyNamesEndingInDfuAreImages) {
    images({"ABC-V9_a.dfu.bak", "ABC-V9_b", "ABC-V9_c.DFU", "ABC-V9_d.dfux", "ABC-V2_e.dfu"});
    // A 250-character name, and a directory whose name ends in ".dfu".
    images({"ABC-V1_" + std::string(239, 'l') + ".dfu"});
    ASSERT_TRUE(twsim::addDfuDirectory(*mSim, "ABC-V0_dir.dfu"));
    attach();
    mSim->setFirmwareVersion("ABC-V1_x");
    EXPECT_EQ(mHal->checkFirmwareVersion(), Status::FAILURE);
    EXPECT_EQ(firmwareFile(), "ABC-V2_e.dfu");
    EXPECT_EQ(upgradeWrites(), (std::vector<std::string>{"1"}));
    for (const char* ignored : {"ABC-V9_a.dfu.bak", "ABC-V9_b", "ABC-V9_c.DFU", "ABC-V9_d.dfux"}) {
        EXPECT_FALSE(LogCapture::contains(std::string("getDFUFile: ") + ignored + " selected"));
        EXPECT_FALSE(
                LogCapture::contains(std::string("getDFUFile: ") + ignored + " change selected"));
    }
}

// Newer names that are no files: a directory, a link to nothing, a link to
// a directory. Only the regular file is an image.
TEST_F(FirmwareCheck, OnlyRegularFilesAreImages) {
    images({"ABC-V2_e.dfu"});
    ASSERT_TRUE(twsim::addDfuDirectory(*mSim, "ABC-V9_dir.dfu"));
    std::string dir = twdevice::path("/system_ext/etc/dfu");
    ASSERT_EQ(0, symlink("nowhere", (dir + "/ABC-V8_gone.dfu").c_str()));
    ASSERT_EQ(0, symlink("ABC-V9_dir.dfu", (dir + "/ABC-V7_todir.dfu").c_str()));
    attach();
    mSim->setFirmwareVersion("ABC-V1_x");
    EXPECT_EQ(mHal->checkFirmwareVersion(), Status::FAILURE);
    EXPECT_EQ(firmwareFile(), "ABC-V2_e.dfu");
    EXPECT_EQ(upgradeWrites(), (std::vector<std::string>{"1"}));

    // With no regular file at all there is nothing to upgrade to.
    ASSERT_EQ(0, unlink((dir + "/ABC-V2_e.dfu").c_str()));
    EXPECT_EQ(mHal->checkFirmwareVersion(), Status::SUCCESS);
    EXPECT_EQ(firmwareFile(), "");
    EXPECT_EQ(upgradeWrites(), (std::vector<std::string>{"1"}));
}

TEST_F(FirmwareCheck, EqualKeysKeepTheFirstListed) {
    images({"ABC-V3_a.dfu", "ABC-V3_b.dfu"});
    attach();
    mSim->setFirmwareVersion("ABC-V2_x");
    EXPECT_EQ(mHal->checkFirmwareVersion(), Status::FAILURE);
    std::string first = firstListed({"ABC-V3_a.dfu", "ABC-V3_b.dfu"});
    EXPECT_EQ(firmwareFile(), first);
    EXPECT_TRUE(LogCapture::withPrefix("getDFUFile: ABC-V3_").size() == 1u);
}

TEST_F(FirmwareCheck, KeysCompareByteByByteSoV10SortsBeforeV9) {
    images({"ABC-V10_a.dfu", "ABC-V9_b.dfu"});
    attach();
    mSim->setFirmwareVersion("ABC-V9_x");
    EXPECT_EQ(mHal->checkFirmwareVersion(), Status::SUCCESS);
    EXPECT_EQ(firmwareFile(), "ABC-V9_b.dfu");
    EXPECT_TRUE(upgradeWrites().empty());
    // The accessory's V10 is older than the phone's V9 by that order.
    mSim->setFirmwareVersion("ABC-V10_x");
    EXPECT_EQ(mHal->checkFirmwareVersion(), Status::FAILURE);
    EXPECT_EQ(upgradeWrites(), (std::vector<std::string>{"1"}));
}

TEST_F(FirmwareCheck, WithoutTheAccessoryTheCheckFailsAndKeepsTheLastChoice) {
    images({"ABC-V3_b.dfu"});
    attach();
    mSim->setFirmwareVersion("ABC-V3_b");
    EXPECT_EQ(mHal->checkFirmwareVersion(), Status::SUCCESS);
    detach();
    LogCapture::clear();
    EXPECT_EQ(mHal->checkFirmwareVersion(), Status::FAILURE);
    EXPECT_TRUE(LogCapture::contains("checkFirmwareVersion: AT command failed", ANDROID_LOG_DEBUG));
    EXPECT_EQ(firmwareFile(), "ABC-V3_b.dfu");
}

TEST_F(FirmwareCheck, MissingDirectoryFails) {
    ASSERT_TRUE(twsim::removeDfuDirectory(*mSim));
    attach();
    EXPECT_EQ(mHal->checkFirmwareVersion(), Status::FAILURE);
    EXPECT_TRUE(LogCapture::contains("DIR open fail", ANDROID_LOG_DEBUG));
    EXPECT_EQ(firmwareFile(), "");
}

TEST_F(FirmwareCheck, AMissingDirectoryKeepsTheLastChoice) {
    images({"ABC-V3_b.dfu"});
    attach();
    mSim->setFirmwareVersion("ABC-V3_b");
    EXPECT_EQ(mHal->checkFirmwareVersion(), Status::SUCCESS);
    ASSERT_TRUE(twsim::removeDfuDirectory(*mSim));
    EXPECT_EQ(mHal->checkFirmwareVersion(), Status::FAILURE);
    EXPECT_TRUE(LogCapture::contains("DIR open fail", ANDROID_LOG_DEBUG));
    EXPECT_EQ(firmwareFile(), "ABC-V3_b.dfu");
}

TEST_F(FirmwareCheck, OddVersionTexts) {
    images({"ABC-V3_b.dfu"});
    attach();
    // No "-" and no "_": the whole text is both model and key, and the key
    // is compared over its own length only.
    mSim->setFirmwareVersion("ABC");
    EXPECT_EQ(mHal->checkFirmwareVersion(), Status::SUCCESS);
    EXPECT_TRUE(LogCapture::contains("checkFirmwareVersion: doFirmwareUpgrade not called"));
    // Empty version: no model matches.
    mSim->setFirmwareVersion("");
    EXPECT_EQ(mHal->checkFirmwareVersion(), Status::FAILURE);
    EXPECT_TRUE(LogCapture::contains("getDFUFile: There is no matching firmware"));
    // A reply longer than the buffer is cut, never overrun.
    mSim->setAtScript(atScript("AT%SWV", Action::Reply, "ABC-V1_" + std::string(3000, 'v'), 0, 1));
    EXPECT_EQ(mHal->checkFirmwareVersion(), Status::FAILURE);
    EXPECT_EQ(firmwareFile(), "ABC-V3_b.dfu");
    EXPECT_EQ(upgradeWrites(), (std::vector<std::string>{"1"}));
}

}  // namespace
}  // namespace twdisplay
