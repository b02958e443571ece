/*
 * The sub display's HID reports as they reach the accessory: the info and
 * configuration feature reports, the chunking of frame data into output
 * reports, and the reaction to the hidraw node's arrival and removal.
 */
#include <string.h>

#include "sub_display_fixture.h"

namespace subtest {
namespace {

using twdevice::hidseam::kGetFeature;
using twdevice::hidseam::kOutputReport;
using twdevice::hidseam::kSetFeature;

using HidDisplay = SubDisplayTest;

TEST_F(HidDisplay, SetConfigSendsReportBytes) {
    plugAndPowerOn();
    mSim->clearHidConfigReports();

    EXPECT_EQ(3, mHal->hidDisplaySetConfig(false, true, 90));
    EXPECT_EQ(3, mHal->hidDisplaySetConfig(false, false, 0));
    EXPECT_EQ(3, mHal->hidDisplaySetConfig(true, false, 200));
    EXPECT_EQ(3, mHal->hidDisplaySetConfig(true, true, 255));
    EXPECT_EQ((std::vector<std::vector<uint8_t>>{{0x03, 0x02, 0x5A},
                                                 {0x03, 0x00, 0x00},
                                                 {0x03, 0x01, 0xC8},
                                                 {0x03, 0x03, 0xFF}}),
              configs());
    EXPECT_EQ((std::vector<uint8_t>{0x03, 0x03, 0xFF}), mSim->hidConfig());
}

TEST_F(HidDisplay, GetConfigReadsBackWhatWasSet) {
    plugAndPowerOn();
    ASSERT_EQ(3, mHal->hidDisplaySetConfig(false, true, 0x42));
    impl::hid_display_report_config config = {0, 0, 0};
    EXPECT_EQ(3, mHal->hidDisplayGetConfig(&config));
    EXPECT_EQ(3, config.id);
    EXPECT_EQ(0x02, config.flags);
    EXPECT_EQ(0x42, config.brightness);
}

TEST_F(HidDisplay, GetInfoDescribesThePanel) {
    twsim::HidPanel panel;
    panel.width = 96;
    panel.height = 40;
    panel.format = 7;
    panel.ready = false;
    plugAndPowerOn(panel);

    impl::hid_display_report_info report = {};
    EXPECT_EQ(7, mHal->hidDisplayGetInfo(&report));
    EXPECT_EQ(2, report.id);
    EXPECT_EQ(96, report.x);
    EXPECT_EQ(40, report.y);
    EXPECT_EQ(7, report.format);
    EXPECT_EQ(0, report.ready & 1);
    EXPECT_EQ(1u, LogCapture::count("HID-DISPLAY: x:96 y:40 format:7 ready:0"));

    auto i = info();
    EXPECT_EQ(Status::SUCCESS, i.first);
    EXPECT_EQ(96, i.second.x);
    EXPECT_EQ(40, i.second.y);
    EXPECT_EQ(7, i.second.format);
}

TEST_F(HidDisplay, PaletteIsChunkedIntoReportsOf4089Bytes) {
    plugAndPowerOn();
    mSim->clearHidRecords();

    std::vector<uint8_t> data(8192);
    for (size_t i = 0; i < data.size(); i++) data[i] = static_cast<uint8_t>(i * 31 + 7);
    EXPECT_EQ(8192, mHal->hidDisplayPalette(8192, 0, data.data()));

    std::vector<twsim::HidRecord> records = mSim->hidRecords();
    std::vector<FrameReport> reports = frameReports(records);
    ASSERT_EQ(3u, reports.size());
    EXPECT_EQ(4096u, reports[0].size);
    EXPECT_EQ(4096u, reports[1].size);
    EXPECT_EQ(21u, reports[2].size);
    EXPECT_EQ(4089u, reports[0].length);
    EXPECT_EQ(4089u, reports[1].length);
    EXPECT_EQ(14u, reports[2].length);
    EXPECT_EQ(0u, reports[0].offset);
    EXPECT_EQ(4089u, reports[1].offset);
    EXPECT_EQ(8178u, reports[2].offset);
    // Every report is a frame report and carries the next slice of data.
    std::vector<uint8_t> joined;
    for (const auto& r : records) {
        if (r.op != kOutputReport) continue;
        EXPECT_EQ(2, r.report[0]);
        joined.insert(joined.end(), r.report.begin() + 7, r.report.end());
    }
    EXPECT_EQ(data, joined);

    // The closing empty report is exactly the 7 bytes of its header.
    mSim->clearHidRecords();
    EXPECT_EQ(0, mHal->hidDisplayPalette(0, 0, nullptr));
    records = mSim->hidRecords();
    ASSERT_EQ(1u, records.size());
    EXPECT_EQ(kOutputReport, records[0].op);
    EXPECT_EQ((std::vector<uint8_t>{0x02, 0, 0, 0, 0, 0, 0}), records[0].report);

    // ... and completes the frame the simulator assembled from the offsets.
    ASSERT_TRUE(mSim->waitForFrames(1, 1000));
    EXPECT_EQ(data, mSim->lastFrame().data);
}

TEST_F(HidDisplay, PaletteKeepsTheGivenOffset) {
    plugAndPowerOn();
    mSim->clearHidRecords();
    std::vector<uint8_t> data(5000, 0xAB);
    EXPECT_EQ(5000, mHal->hidDisplayPalette(5000, 300, data.data()));
    std::vector<FrameReport> reports = frameReports(mSim->hidRecords());
    ASSERT_EQ(2u, reports.size());
    EXPECT_EQ(4089u, reports[0].length);
    EXPECT_EQ(300u, reports[0].offset);
    EXPECT_EQ(911u, reports[1].length);
    EXPECT_EQ(4389u, reports[1].offset);

    mSim->clearHidRecords();
    EXPECT_EQ(0, mHal->hidDisplayPalette(0, 77, nullptr));
    reports = frameReports(mSim->hidRecords());
    ASSERT_EQ(1u, reports.size());
    EXPECT_EQ(0u, reports[0].length);
    EXPECT_EQ(77u, reports[0].offset);
}

TEST_F(HidDisplay, FailedWriteEndsThePaletteWithItsError) {
    plugAndPowerOn();
    mSim->clearHidRecords();
    std::vector<uint8_t> data(8192, 0x11);
    mSim->failHidWrites(1, EPIPE);
    EXPECT_EQ(-1, mHal->hidDisplayPalette(8192, 0, data.data()));
    // No further report after the refused one.
    EXPECT_EQ(1u, frameReports(mSim->hidRecords()).size());
    EXPECT_EQ(1u, LogCapture::count("hidDisplayPalette: failed to write palette: Broken pipe"));
    EXPECT_EQ(0u, mSim->frameCount());
}

TEST_F(HidDisplay, PaletteWithoutDataIsRefused) {
    plugAndPowerOn();
    mSim->clearHidRecords();
    EXPECT_EQ(-EINVAL, mHal->hidDisplayPalette(10, 0, nullptr));
    EXPECT_EQ(1u, LogCapture::count("hidDisplayPalette: no data for 10 bytes"));
    EXPECT_TRUE(mSim->hidRecords().empty());
}

TEST_F(HidDisplay, EveryOperationFailsWithoutANode) {
    // Nothing plugged: mHidDisplayPath is empty.
    impl::hid_display_report_info report = {};
    impl::hid_display_report_config config = {};
    uint8_t data[16] = {};
    EXPECT_EQ(-1, mHal->hidDisplayGetInfo(&report));
    EXPECT_EQ(-1, mHal->hidDisplaySetConfig(false, true, 90));
    EXPECT_EQ(-1, mHal->hidDisplayGetConfig(&config));
    EXPECT_EQ(-1, mHal->hidDisplayPalette(sizeof(data), 0, data));
    EXPECT_EQ(-1, mHal->hidDisplayPalette(0, 0, nullptr));
    EXPECT_EQ(1u, LogCapture::countPrefix("hidDisplayGetInfo: failed to open \"\": "));
    EXPECT_EQ(1u, LogCapture::countPrefix("hidDisplaySetConfig: failed to open \"\": "));
    EXPECT_EQ(1u, LogCapture::countPrefix("hidDisplayGetConfig: failed to open \"\": "));
    EXPECT_EQ(2u, LogCapture::countPrefix("hidDisplayPalette: failed to open \"\": "));
}

TEST_F(HidDisplay, FeatureErrorsAreReturnedNegative) {
    plugAndPowerOn();
    mSim->failHidRequests(kSetFeature, 1);
    EXPECT_LT(mHal->hidDisplaySetConfig(false, true, 1), 0);
    EXPECT_EQ(1u, LogCapture::countPrefix("hidDisplaySetConfig: failed to set config: "));
    mSim->failHidRequests(kGetFeature, 2);
    impl::hid_display_report_info report = {};
    impl::hid_display_report_config config = {};
    EXPECT_LT(mHal->hidDisplayGetInfo(&report), 0);
    EXPECT_LT(mHal->hidDisplayGetConfig(&config), 0);
    EXPECT_EQ(1u, LogCapture::countPrefix("hidDisplayGetInfo: failed to get info: "));
    EXPECT_EQ(1u, LogCapture::countPrefix("hidDisplayGetConfig: failed to get config: "));
}

TEST_F(HidDisplay, SecondCreateWhileAttachedDoesNothing) {
    plugAndPowerOn();
    auto before = mSim->hidRecords();
    mHal->hidDisplayDeviceAdded();
    auto after = mSim->hidRecords();
    EXPECT_EQ(countOps(before, kGetFeature), countOps(after, kGetFeature));
    EXPECT_EQ(before.size(), after.size());
    EXPECT_EQ(SubScreenState::ON, state());
    EXPECT_EQ(1u, LogCapture::count("initSubDisplay ++ "));
}

TEST_F(HidDisplay, DeleteWhileNotAttachedDoesNothing) {
    sp<StateRecorder> recorder = new StateRecorder();
    mHal->setSubDisplayCallback(recorder);
    mHal->hidDisplayDeviceRemoved();
    EXPECT_EQ(SubScreenState::NONE, state());
    EXPECT_TRUE(recorder->states().empty());
    EXPECT_EQ(0u, LogCapture::count("deinitSubDisplay ++ "));
}

TEST_F(HidDisplay, FailedInfoReadLeavesTheDisplayUninitialised) {
    mSim->failHidRequests(kGetFeature, 1);
    ASSERT_TRUE(plug());
    ASSERT_TRUE(LogCapture::waitFor("hidDisplayDeviceAdded: attached:0", 3000));
    ASSERT_TRUE(twtest::waitFor(
            [&] { return LogCapture::countPrefix("hidDisplayGetInfo: failed to get info: ") == 1; },
            3000));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(SubScreenState::NONE, state());
    EXPECT_TRUE(mHal->mHidDisplayAttached);
    EXPECT_EQ(0u, LogCapture::count("initSubDisplay ++ "));
    EXPECT_TRUE(configs().empty());

    // A new node brings it up.
    ASSERT_TRUE(mSim->unplug());
    ASSERT_TRUE(twtest::waitFor([&] { return !mHal->mHidDisplayAttached; }, 3000));
    ASSERT_TRUE(plug());
    EXPECT_TRUE(waitState(SubScreenState::ON, 3000));
}

TEST_F(HidDisplay, ShortInfoReportIsNotTakenForAPanel) {
    twsim::HidPanel panel;
    panel.infoLength = 3;
    ASSERT_TRUE(plug(panel));
    ASSERT_TRUE(twtest::waitFor(
            [&] {
                return LogCapture::count(
                               "hidDisplayDeviceAdded: short info report: 3 of 7 bytes") == 1;
            },
            3000));
    EXPECT_EQ(SubScreenState::NONE, state());
    EXPECT_EQ(0u, LogCapture::count("initSubDisplay ++ "));
}

TEST_F(HidDisplay, NodeOfAnotherDeviceIsNotTaken) {
    twsim::UsbIdentity other = hidOnly();
    other.productId = 0x1234;
    ASSERT_TRUE(mSim->plug(other));
    ASSERT_TRUE(LogCapture::waitFor("usbNotifyThread: mHidDisplayAttached:0", 3000));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_FALSE(mHal->mHidDisplayAttached);
    EXPECT_TRUE(mSim->hidRecords().empty());
}

}  // namespace
}  // namespace subtest
