/*
 * Power sequence of the cover screen: command order as the accessory sees
 * it, the hot-plug-detect poll, the power node and the autosuspend votes.
 */
#include <android/log.h>
#include <unistd.h>

#include "display_test_util.h"

namespace twdisplay {
namespace {

using namespace ::vendor::zyr::hardware::twinel::V1_1::implementation;
using Action = twsim::AtScript::Action;

class Power : public DisplayTest {
  protected:
    std::string controlNode() const { return twsim::usbPowerControlNode(1); }

    // Waits until the writes to `node` stop coming.
    std::vector<std::string> settledValues(const std::string& node) {
        std::vector<std::string> values;
        twtest::waitFor(
                [&] {
                    size_t before = nodeValues(node).size();
                    usleep(60 * 1000);
                    values = nodeValues(node);
                    return values.size() == before;
                },
                2000);
        return values;
    }
};

TEST_F(Power, RefusedBeforeTheChannelIsUp) {
    EXPECT_EQ(powerOn(), Status::FAILURE);
    EXPECT_TRUE(LogCapture::contains("setPowerStatus: tw2 not initialized, enable:1, uevent:0",
                                     ANDROID_LOG_ERROR));
    EXPECT_EQ(mHal->setPowerStatus(false, true), Status::FAILURE);
    EXPECT_TRUE(LogCapture::contains("setPowerStatus: tw2 not initialized, enable:0, uevent:1",
                                     ANDROID_LOG_ERROR));
    usleep(50 * 1000);
    EXPECT_TRUE(mSim->atCommands().empty());
    EXPECT_TRUE(nodeValues(twsim::kTw2PdNode).empty());
}

TEST_F(Power, PowerOnSendsColourLogModePowerThenPollsAndWritesTheNode) {
    attach();
    int64_t start = twtest::nowMs();
    ASSERT_EQ(powerOn(false), Status::SUCCESS);
    EXPECT_GE(twtest::nowMs() - start, 50);

    // First power-on after start: RGB and screen tune, not the screen mode.
    EXPECT_EQ(commands(), (std::vector<std::string>{"AT%PRGB=2,0,0,0", "AT%SHS=2,2,2",
                                                    "AT%LOGSAVE=0", "AT%TW=1", "AT%HPD"}));
    auto tw = commandRecords("AT%TW=1");
    auto hpd = commandRecords("AT%HPD");
    ASSERT_EQ(tw.size(), 1u);
    ASSERT_EQ(hpd.size(), 1u);
    EXPECT_GE(msBetween(tw[0].time, hpd[0].time), 50);

    ASSERT_TRUE(mSim->waitForNodeRecords(twsim::kTw2PdNode, 1, 2000));
    auto pd = mSim->nodeRecords(twsim::kTw2PdNode);
    ASSERT_EQ(pd.size(), 1u);
    EXPECT_EQ(pd[0].value, "1 0");
    EXPECT_GE(msBetween(hpd[0].time, pd[0].time), 0);

    EXPECT_TRUE(LogCapture::contains("setPowerStatus: Twinel : , ret:0", ANDROID_LOG_INFO));
    EXPECT_TRUE(LogCapture::contains("setPowerStatus:HPD status changed :On, ret:3, trial:0",
                                     ANDROID_LOG_INFO));
    EXPECT_FALSE(LogCapture::withPrefix("setPowerStatus: HPD Status failed").size() > 0);
    EXPECT_TRUE(tw2_enabled);
}

TEST_F(Power, UeventFlagIsTheSecondDigit) {
    attach();
    ASSERT_EQ(powerOn(true), Status::SUCCESS);
    ASSERT_TRUE(mSim->waitForNodeRecords(twsim::kTw2PdNode, 1, 2000));
    EXPECT_EQ(nodeValues(twsim::kTw2PdNode), (std::vector<std::string>{"1 1"}));
}

TEST_F(Power, PollRetriesEvery50msUntilOn) {
    attach();
    mSim->setAtScript(atScript("AT%HPD", Action::Reply, "Off", 0, 3));
    ASSERT_EQ(powerOn(), Status::SUCCESS);
    auto hpd = commandRecords("AT%HPD");
    ASSERT_EQ(hpd.size(), 4u);
    auto tw = commandRecords("AT%TW=1");
    ASSERT_EQ(tw.size(), 1u);
    EXPECT_GE(msBetween(tw[0].time, hpd[0].time), 50);
    for (size_t i = 1; i < hpd.size(); i++) {
        EXPECT_GE(msBetween(hpd[i - 1].time, hpd[i].time), 50) << i;
    }
    EXPECT_TRUE(LogCapture::contains("setPowerStatus:HPD status changed :On, ret:3, trial:3"));
    ASSERT_TRUE(mSim->waitForNodeRecords(twsim::kTw2PdNode, 1, 2000));
    auto pd = mSim->nodeRecords(twsim::kTw2PdNode);
    EXPECT_EQ(pd[0].value, "1 0");
    EXPECT_GE(msBetween(hpd[3].time, pd[0].time), 0);
}

TEST_F(Power, TenFailedTrialsLeaveTheScreenOff) {
    attach();
    mSim->setAtScript(atScript("AT%HPD", Action::Reply, "Off"));
    int64_t start = twtest::nowMs();
    EXPECT_EQ(powerOn(), Status::FAILURE);
    EXPECT_GE(twtest::nowMs() - start, 500);
    EXPECT_EQ(commands("AT%HPD").size(), 10u);
    EXPECT_TRUE(LogCapture::contains("setPowerStatus: HPD Status failed Status:Off, trial:10",
                                     ANDROID_LOG_ERROR));
    usleep(50 * 1000);
    EXPECT_TRUE(nodeValues(twsim::kTw2PdNode).empty());
    EXPECT_FALSE(tw2_enabled);
    EXPECT_EQ(mHal->mUsbAutoSuspendDisableVote, 0);
    // No keep-awake vote stays behind.
    auto control = settledValues(controlNode());
    ASSERT_FALSE(control.empty());
    EXPECT_EQ(control.back(), "auto");
}

TEST_F(Power, LowerCaseOnIsNotOn) {
    attach();
    mSim->setAtScript(atScript("AT%HPD", Action::Reply, "on"));
    EXPECT_EQ(powerOn(), Status::FAILURE);
    EXPECT_EQ(commands("AT%HPD").size(), 10u);
    EXPECT_TRUE(LogCapture::contains("setPowerStatus: HPD Status failed Status:on, trial:10"));
    EXPECT_FALSE(tw2_enabled);
}

TEST_F(Power, FailedPollExchangeCountsAsAFailedTrial) {
    attach();
    mSim->setAtScript(atScript("AT%HPD", Action::Error, "", 0, 2));
    ASSERT_EQ(powerOn(), Status::SUCCESS);
    EXPECT_EQ(LogCapture::count("setPowerStatus: failed to serial AtCmd: , ret: -1",
                                ANDROID_LOG_ERROR),
              2);
    EXPECT_TRUE(LogCapture::contains("setPowerStatus:HPD status changed :On, ret:3, trial:2"));
}

TEST_F(Power, OnCutOffByAHangUpIsNotPoweredOn) {
    attach();
    mSim->setAtScript(atScript("AT%HPD", Action::HangUp, "\r\nOn\r\n", 0, 1));
    EXPECT_EQ(powerOn(), Status::FAILURE);
    EXPECT_FALSE(tw2_enabled);
    usleep(50 * 1000);
    EXPECT_TRUE(nodeValues(twsim::kTw2PdNode).empty());
    EXPECT_EQ(mHal->mUsbAutoSuspendDisableVote, 0);
}

TEST_F(Power, FailedPowerOnCommandEndsBeforeThePoll) {
    attach();
    mSim->setAtScript(atScript("AT%TW=1", Action::Error, "NO PANEL"));
    EXPECT_EQ(powerOn(), Status::FAILURE);
    EXPECT_TRUE(LogCapture::contains("setPowerStatus: Twinel : NO PANEL\n, ret:-1"));
    EXPECT_TRUE(LogCapture::contains("setPowerStatus: enable:1, buf:NO PANEL\n, ret: -1",
                                     ANDROID_LOG_ERROR));
    EXPECT_TRUE(commands("AT%HPD").empty());
    EXPECT_FALSE(tw2_enabled);
    usleep(50 * 1000);
    EXPECT_TRUE(nodeValues(twsim::kTw2PdNode).empty());
}

TEST_F(Power, FailedLogModeCommandIsLoggedAndIgnored) {
    attach();
    mSim->setAtScript(atScript("AT%LOGSAVE", Action::Error));
    ASSERT_EQ(powerOn(), Status::SUCCESS);
    EXPECT_TRUE(LogCapture::contains(
            "setPowerStatus: failed to enable log: " + std::string(strerror(EPROTONOSUPPORT)),
            ANDROID_LOG_ERROR));
    EXPECT_TRUE(tw2_enabled);
}

TEST_F(Power, LogModeFollowsTheProperties) {
    attach();
    ASSERT_TRUE(mSim->setProperty("persist.vendor.zyr.service.kernel.enable", "0"));
    ASSERT_EQ(powerOn(), Status::SUCCESS);
    EXPECT_EQ(commands("AT%LOGSAVE"), (std::vector<std::string>{"AT%LOGSAVE=3"}));
}

TEST_F(Power, PowerOffSleepsThenWritesTheNode) {
    attach();
    ASSERT_EQ(powerOn(), Status::SUCCESS);
    ASSERT_EQ(mHal->setBrightness(80), Status::SUCCESS);
    ASSERT_TRUE(waitForCommands("AT%DB=", 1));
    EXPECT_EQ(mHal->setTWBrightnessOffset(-3), Status::SUCCESS);
    ASSERT_TRUE(waitForCommands("AT%DB=", 2));
    ASSERT_TRUE(mSim->waitForNodeRecords(twsim::kTw2PdNode, 1, 2000));
    mSim->clearAtCommands();
    mSim->clearNodeRecords();

    ASSERT_EQ(powerOff(true), Status::SUCCESS);
    EXPECT_EQ(commands(), (std::vector<std::string>{"AT%TW=0"}));
    EXPECT_TRUE(LogCapture::contains("setPowerStatus: Twinel:", ANDROID_LOG_INFO));
    ASSERT_TRUE(mSim->waitForNodeRecords(twsim::kTw2PdNode, 1, 2000));
    auto pd = mSim->nodeRecords(twsim::kTw2PdNode);
    ASSERT_EQ(pd.size(), 1u);
    EXPECT_EQ(pd[0].value, "0 1");
    EXPECT_GE(msBetween(commandRecords("AT%TW=0")[0].time, pd[0].time), 10);
    EXPECT_FALSE(tw2_enabled);

    TwinelStatus st = status();
    EXPECT_EQ(st.brightness, 0);
    EXPECT_EQ(st.brightnessOffset, -3);

    // Off again: the command is sent again.
    ASSERT_EQ(powerOff(false), Status::SUCCESS);
    EXPECT_EQ(commands("AT%TW=0").size(), 2u);
    ASSERT_TRUE(mSim->waitForNodeRecords(twsim::kTw2PdNode, 2, 2000));
    EXPECT_EQ(nodeValues(twsim::kTw2PdNode).back(), "0 0");
}

TEST_F(Power, FailedPowerOffKeepsTheStateButStillWritesTheNode) {
    attach();
    ASSERT_EQ(powerOn(), Status::SUCCESS);
    ASSERT_EQ(mHal->setBrightness(80), Status::SUCCESS);
    ASSERT_TRUE(waitForCommands("AT%DB=", 1));
    ASSERT_TRUE(mSim->waitForNodeRecords(twsim::kTw2PdNode, 1, 2000));
    settledValues(controlNode());
    mSim->clearAtCommands();
    mSim->clearNodeRecords();

    mSim->setAtScript(atScript("AT%TW=0", Action::Error, "BUSY"));
    EXPECT_EQ(powerOff(false), Status::FAILURE);
    EXPECT_TRUE(
            LogCapture::contains("setPowerStatus: HPD status: BUSY\n: ret:-1", ANDROID_LOG_ERROR));
    ASSERT_TRUE(mSim->waitForNodeRecords(twsim::kTw2PdNode, 1, 2000));
    auto pd = mSim->nodeRecords(twsim::kTw2PdNode);
    EXPECT_EQ(pd[0].value, "0 0");
    EXPECT_GE(msBetween(commandRecords("AT%TW=0")[0].time, pd[0].time), 10);
    EXPECT_TRUE(tw2_enabled);
    EXPECT_EQ(liveStatus().brightness, 80);
    EXPECT_EQ(mHal->mUsbAutoSuspendDisableVote, 1);
    usleep(50 * 1000);
    EXPECT_TRUE(nodeValues(controlNode()).empty());
}

TEST_F(Power, OnHoldsOneKeepAwakeVoteUntilOff) {
    attach();
    ASSERT_EQ(powerOn(), Status::SUCCESS);
    EXPECT_EQ(mHal->mUsbAutoSuspendDisableVote, 1);
    std::vector<std::string> control = settledValues(controlNode());
    ASSERT_FALSE(control.empty());
    // Every exchange of the sequence takes and drops its own vote; the last
    // write is the screen's vote.
    EXPECT_EQ(control.back(), "on");
    size_t afterOn = control.size();

    // While on, exchanges do not touch the node.
    ASSERT_EQ(mHal->setBrightness(60), Status::SUCCESS);
    ASSERT_TRUE(waitForCommands("AT%DB=", 1));
    EXPECT_EQ(mHal->set_touch_perf(true), Status::SUCCESS);
    EXPECT_EQ(settledValues(controlNode()).size(), afterOn);

    ASSERT_EQ(powerOff(), Status::SUCCESS);
    EXPECT_EQ(mHal->mUsbAutoSuspendDisableVote, 0);
    control = settledValues(controlNode());
    ASSERT_EQ(control.size(), afterOn + 1);
    EXPECT_EQ(control.back(), "auto");

    // Off: each exchange wakes the link for itself again.
    EXPECT_EQ(mHal->set_touch_perf(false), Status::SUCCESS);
    control = settledValues(controlNode());
    ASSERT_EQ(control.size(), afterOn + 3);
    EXPECT_EQ(control[afterOn + 1], "on");
    EXPECT_EQ(control[afterOn + 2], "auto");
}

TEST_F(Power, OnlyTheChangeOfStateVotes) {
    attach();
    ASSERT_EQ(powerOn(), Status::SUCCESS);
    ASSERT_EQ(powerOn(), Status::SUCCESS);
    EXPECT_EQ(mHal->mUsbAutoSuspendDisableVote, 1);
    ASSERT_EQ(powerOff(), Status::SUCCESS);
    EXPECT_EQ(mHal->mUsbAutoSuspendDisableVote, 0);
    std::vector<std::string> control = settledValues(controlNode());
    ASSERT_FALSE(control.empty());
    EXPECT_EQ(control.back(), "auto");

    // Off again while someone else holds a vote: it stays.
    mHal->usbAutoSuspend(false, true);
    settledValues(controlNode());
    mSim->clearNodeRecords();
    ASSERT_EQ(powerOff(), Status::SUCCESS);
    EXPECT_EQ(mHal->mUsbAutoSuspendDisableVote, 1);
    EXPECT_TRUE(settledValues(controlNode()).empty());
}

TEST_F(Power, DetachEndsTheOnStateWithoutTraffic) {
    attach();
    ASSERT_EQ(powerOn(), Status::SUCCESS);
    ASSERT_EQ(mHal->setBrightness(90), Status::SUCCESS);
    ASSERT_TRUE(waitForCommands("AT%DB=", 1));
    mSim->clearAtCommands();
    detach();
    EXPECT_FALSE(tw2_enabled);
    EXPECT_FALSE(tw2_initialized);
    EXPECT_EQ(liveStatus().brightness, 0);
    EXPECT_TRUE(mSim->atCommands().empty());
    EXPECT_EQ(powerOn(), Status::FAILURE);
    EXPECT_TRUE(LogCapture::contains("setPowerStatus: tw2 not initialized, enable:1, uevent:0"));
}

TEST_F(Power, OddPollRepliesNeverBreakThePoll) {
    attach();
    std::string odd;
    for (int c = 1; c < 256; c++) {
        if (c != '\n' && c != '\r') odd += static_cast<char>(c);
    }
    // The newest script answers first: "O", bytes of every kind, a reply
    // longer than the buffer, then the firmware's own "On".
    mSim->setAtScript(atScript("AT%HPD", Action::Reply, std::string(3000, 'x'), 0, 1));
    mSim->setAtScript(atScript("AT%HP", Action::Raw, odd + "\r\nOK\r\n", 0, 1));
    mSim->setAtScript(atScript("AT%H", Action::Reply, "O", 0, 1));
    ASSERT_EQ(powerOn(), Status::SUCCESS);
    EXPECT_EQ(commands("AT%HPD").size(), 4u);
    EXPECT_TRUE(LogCapture::contains("setPowerStatus:HPD status changed :On, ret:3, trial:3"));

    // A long reply that begins with "On" is cut to the buffer and still counts.
    ASSERT_EQ(powerOff(), Status::SUCCESS);
    mSim->setAtScript(atScript("AT%HPD", Action::Reply, "On" + std::string(2000, 'n'), 0, 1));
    ASSERT_EQ(powerOn(), Status::SUCCESS);
    std::vector<std::string> changed =
            LogCapture::withPrefix("setPowerStatus:HPD status changed :On");
    ASSERT_EQ(changed.size(), 2u);
    // The reply is cut to 1023 characters; the platform log keeps the first
    // 1023 characters of the line.
    std::string line = "setPowerStatus:HPD status changed :On" + std::string(1021, 'n') +
                       ", ret:1024, trial:0";
    EXPECT_EQ(changed[1], line.substr(0, 1023));
}

}  // namespace
}  // namespace twdisplay
