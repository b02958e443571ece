/*
 * The sub display's state and power sequence: what is sent to the panel,
 * what the state callback is told and when, and which requests are refused
 * or dropped.
 */
#include <atomic>
#include <thread>

#include "sub_display_fixture.h"

namespace subtest {
namespace {

using twdevice::hidseam::kSetFeature;

using Bytes = std::vector<uint8_t>;

class PowerState : public SubDisplayTest {
  protected:
    void SetUp() override {
        SubDisplayTest::SetUp();
        mRecorder = new StateRecorder();
        mHal->setSubDisplayCallback(mRecorder);
    }

    size_t threadsStarted() {
        return LogCapture::countPrefix("Sub DISPLAY UPDATE Thread is running");
    }
    size_t threadsEnded() { return LogCapture::count("Sub DISPLAY UPDATE Thread is over"); }

    sp<StateRecorder> mRecorder;
};

TEST_F(PowerState, AttachNotifiesInitialisedThenOnAfterTheSettleTime) {
    ASSERT_TRUE(plug());
    ASSERT_TRUE(mRecorder->waitCount(2, 3000));
    std::vector<StateRecorder::Event> events = mRecorder->events();
    ASSERT_EQ(2u, events.size());
    EXPECT_EQ(1, events[0].state);
    EXPECT_EQ(3, events[1].state);
    long settle = msBetween(events[0].time, events[1].time);
    EXPECT_GE(settle, 480);
    EXPECT_LT(settle, 1200);
    EXPECT_EQ((std::vector<Bytes>{{0x03, 0x02, 0x5A}}), configs());
    EXPECT_EQ(1u, threadsStarted());

    auto i = info();
    EXPECT_EQ(Status::SUCCESS, i.first);
    EXPECT_EQ(128, i.second.x);
    EXPECT_EQ(128, i.second.y);
    EXPECT_EQ(4, i.second.format);
}

TEST_F(PowerState, PowerOffStopsTheThreadFreesTheBuffersAndNotifiesOff) {
    plugAndPowerOn();
    mSim->clearHidConfigReports();
    // A frame left waiting is dropped with the power-off.
    impl::setBufferState(1, impl::BUFFER_FILLED);

    auto start = Clock::now();
    EXPECT_EQ(Status::SUCCESS, power(false));
    auto end = Clock::now();
    EXPECT_GE(msBetween(start, end), 490);
    EXPECT_EQ((std::vector<Bytes>{{0x03, 0x00, 0x00}}), configs());
    EXPECT_EQ(1u, threadsEnded());
    EXPECT_EQ(impl::BUFFER_FREE, impl::getBufferState(0));
    EXPECT_EQ(impl::BUFFER_FREE, impl::getBufferState(1));
    EXPECT_EQ(SubScreenState::OFF, state());
    std::vector<StateRecorder::Event> events = mRecorder->events();
    ASSERT_EQ(3u, events.size());
    EXPECT_EQ(2, events[2].state);
    EXPECT_GE(msBetween(start, events[2].time), 490);

    // Off again: refused, nothing sent.
    EXPECT_EQ(Status::FAILURE, power(false));
    EXPECT_EQ(1u,
              LogCapture::count("Same status is requested, cur_state : 2, isON : 0, enable : 0"));
    EXPECT_EQ(1u, configs().size());
    EXPECT_EQ(3u, mRecorder->events().size());

    // On again: the panel is lit at 90 and a new thread runs.
    EXPECT_EQ(Status::SUCCESS, power(true));
    EXPECT_EQ((std::vector<Bytes>{{0x03, 0x00, 0x00}, {0x03, 0x02, 0x5A}}), configs());
    EXPECT_EQ(2u, threadsStarted());
    EXPECT_EQ((std::vector<int>{1, 3, 2, 3}), mRecorder->states());
}

TEST_F(PowerState, SameStateRequestsAreRefused) {
    plugAndPowerOn();
    mSim->clearHidConfigReports();
    EXPECT_EQ(Status::FAILURE, power(true));
    EXPECT_EQ(1u,
              LogCapture::count("Same status is requested, cur_state : 3, isON : 1, enable : 1"));
    EXPECT_TRUE(configs().empty());
    EXPECT_EQ(2u, mRecorder->events().size());
}

TEST_F(PowerState, PowerOffBeforeAnyPowerOnIsRefused) {
    // The automatic power-on fails: the state stays 1.
    mSim->failHidRequests(kSetFeature, 1);
    ASSERT_TRUE(plug());
    ASSERT_TRUE(LogCapture::waitFor("setSubDisplayPowerState --", 3000));
    ASSERT_TRUE(powerSequenceOver());
    EXPECT_EQ(SubScreenState::INITIALIZED, state());
    EXPECT_EQ((std::vector<int>{1}), mRecorder->states());
    EXPECT_EQ(0u, threadsStarted());

    EXPECT_EQ(Status::FAILURE, power(false));
    EXPECT_EQ(1u,
              LogCapture::count("Same status is requested, cur_state : 1, isON : 0, enable : 0"));
    EXPECT_TRUE(configs().empty());

    EXPECT_EQ(Status::SUCCESS, power(true));
    EXPECT_EQ(SubScreenState::ON, state());
    EXPECT_EQ((std::vector<Bytes>{{0x03, 0x02, 0x5A}}), configs());
}

TEST_F(PowerState, RequestsBeforeTheSubDisplayExistsFail) {
    EXPECT_EQ(Status::FAILURE, power(true));
    EXPECT_EQ(Status::FAILURE, power(false));
    EXPECT_EQ(Status::FAILURE, brightness(10));
    auto i = info();
    EXPECT_EQ(Status::FAILURE, i.first);
    EXPECT_EQ(0, i.second.x);
    EXPECT_EQ(0, i.second.y);
    EXPECT_EQ(0, i.second.format);
    EXPECT_EQ(4u, LogCapture::count("Sub Display is not initialized yet"));
    EXPECT_EQ(SubScreenState::NONE, state());
    EXPECT_TRUE(mRecorder->events().empty());
    // A refused request leaves no power sequence behind.
    EXPECT_EQ(false, impl::power_state_in_progress.load());
}

TEST_F(PowerState, AConcurrentPowerRequestIsRefused) {
    plugAndPowerOn();
    mSim->clearHidConfigReports();
    std::atomic<int> offResult{-1};
    std::thread off([&] { offResult = static_cast<int>(static_cast<Status>(power(false))); });
    ASSERT_TRUE(twtest::waitFor([&] { return configs().size() == 1; }, 2000));

    auto start = Clock::now();
    EXPECT_EQ(Status::FAILURE, power(true));  // nothing of it is done
    EXPECT_LT(msBetween(start, Clock::now()), 200);
    EXPECT_EQ(1u, LogCapture::count("Sub Display Power state is in progress..."));
    off.join();
    EXPECT_EQ(0, offResult.load());
    EXPECT_EQ(SubScreenState::OFF, state());
    EXPECT_EQ((std::vector<Bytes>{{0x03, 0x00, 0x00}}), configs());
    EXPECT_EQ((std::vector<int>{1, 3, 2}), mRecorder->states());

    // Once the sequence is over, requests run again.
    EXPECT_EQ(Status::SUCCESS, power(true));
    EXPECT_EQ(SubScreenState::ON, state());
}

// Answers the "on" notification at once with a power-off, from its own
// thread, as a framework reacting to the state would.
struct EagerClient : StateRecorder {
    Return<void> notifyStateChanged(SubScreenState state) override {
        StateRecorder::notifyStateChanged(state);
        if (state == SubScreenState::ON && !mAsked.exchange(true)) {
            mThread = std::thread([this] {
                Return<Status> ret = mHal->setSubDisplayPowerState(false);
                mResult = ret.isOk() ? static_cast<int>(static_cast<Status>(ret)) : -2;
            });
        }
        return Void();
    }
    Twinel* mHal = nullptr;
    std::thread mThread;
    std::atomic<bool> mAsked{false};
    std::atomic<int> mResult{-1};
};

TEST_F(PowerState, ARequestAnsweringTheNotificationIsServed) {
    sp<EagerClient> client = new EagerClient();
    client->mHal = mHal.get();
    mHal->setSubDisplayCallback(client);
    ASSERT_TRUE(plug());
    ASSERT_TRUE(client->waitCount(3, 3000));
    client->mThread.join();
    // The power-on was over once it told its state: the power-off ran.
    EXPECT_EQ(0, client->mResult.load());
    EXPECT_EQ((std::vector<int>{1, 3, 2}), client->states());
    EXPECT_EQ(0u, LogCapture::count("Sub Display Power state is in progress..."));
    EXPECT_EQ((std::vector<Bytes>{{0x03, 0x02, 0x5A}, {0x03, 0x00, 0x00}}), configs());
    mHal->setSubDisplayCallback(nullptr);
}

TEST_F(PowerState, SimultaneousPowerRequestsRunOnce) {
    plugAndPowerOn();
    mSim->clearHidConfigReports();
    constexpr int kThreads = 8;
    std::atomic<int> ready{0};
    std::atomic<bool> go{false};
    std::vector<std::thread> threads;
    std::vector<int> results(kThreads, -1);
    for (int t = 0; t < kThreads; t++) {
        threads.emplace_back([&, t] {
            ready++;
            while (!go) {
            }
            results[t] = static_cast<int>(static_cast<Status>(power(false)));
        });
    }
    while (ready < kThreads) std::this_thread::yield();
    go = true;
    for (auto& t : threads) t.join();

    // One sequence ran; every other request was refused (1), as overlapping
    // or, after it ended, as the same state.
    EXPECT_EQ((std::vector<Bytes>{{0x03, 0x00, 0x00}}), configs());
    EXPECT_EQ((std::vector<int>{1, 3, 2}), mRecorder->states());
    size_t dropped = LogCapture::count("Sub Display Power state is in progress...");
    size_t same =
            LogCapture::count("Same status is requested, cur_state : 2, isON : 0, enable : 0");
    EXPECT_EQ(static_cast<size_t>(kThreads - 1), dropped + same);
    EXPECT_EQ(1, std::count(results.begin(), results.end(), 0));
    EXPECT_EQ(1u, threadsEnded());
}

TEST_F(PowerState, BrightnessKeepsThePanelsPower) {
    plugAndPowerOn();
    EXPECT_EQ(Status::SUCCESS, power(false));
    mSim->clearHidConfigReports();

    EXPECT_EQ(Status::SUCCESS, brightness(200));
    EXPECT_EQ((std::vector<Bytes>{{0x03, 0x00, 0xC8}}), configs());
    EXPECT_EQ(SubScreenState::OFF, state());

    EXPECT_EQ(Status::FAILURE, brightness(256));
    EXPECT_EQ(1u, LogCapture::count("invalid brightness value:256"));
    EXPECT_EQ(Status::FAILURE, brightness(-1));
    EXPECT_EQ(1u, LogCapture::count("invalid brightness value:-1"));
    EXPECT_EQ(1u, configs().size());

    EXPECT_EQ(Status::SUCCESS, power(true));
    mSim->clearHidConfigReports();
    EXPECT_EQ(Status::SUCCESS, brightness(200));
    EXPECT_EQ(Status::SUCCESS, brightness(0));
    EXPECT_EQ(Status::SUCCESS, brightness(255));
    EXPECT_EQ((std::vector<Bytes>{{0x03, 0x02, 0xC8}, {0x03, 0x02, 0x00}, {0x03, 0x02, 0xFF}}),
              configs());
    EXPECT_EQ(SubScreenState::ON, state());
    EXPECT_EQ((std::vector<int>{1, 3, 2, 3}), mRecorder->states());

    mSim->failHidRequests(kSetFeature, 1);
    EXPECT_EQ(Status::FAILURE, brightness(10));
}

TEST_F(PowerState, AFailedConfigurationLeavesStateAndThread) {
    plugAndPowerOn();
    mSim->failHidRequests(kSetFeature, 1);
    EXPECT_EQ(Status::FAILURE, power(false));
    EXPECT_EQ(SubScreenState::ON, state());
    EXPECT_EQ(0u, threadsEnded());
    // The thread still sends.
    EXPECT_EQ(Status::SUCCESS, draw(std::vector<uint32_t>(16384, 0x70)));
    EXPECT_TRUE(mSim->waitForFrames(1, 2000));

    EXPECT_EQ(Status::SUCCESS, power(false));
    mSim->failHidRequests(kSetFeature, 1);
    EXPECT_EQ(Status::FAILURE, power(true));
    EXPECT_EQ(SubScreenState::OFF, state());
    EXPECT_EQ(1u, threadsStarted());
    EXPECT_EQ((std::vector<int>{1, 3, 2}), mRecorder->states());
}

TEST_F(PowerState, DetachWhileOnNotifiesAbsentAndJoinsTheThread) {
    plugAndPowerOn();
    ASSERT_TRUE(mSim->unplug());
    ASSERT_TRUE(mRecorder->waitCount(3, 3000));
    ASSERT_TRUE(LogCapture::waitFor("deinitSubDisplay -- ", 2000));
    EXPECT_EQ((std::vector<int>{1, 3, 0}), mRecorder->states());
    EXPECT_EQ(1u, threadsEnded());
    EXPECT_TRUE(impl::sub_display_destroyThread.load());

    // A second detach does nothing.
    mHal->hidDisplayDeviceRemoved();
    EXPECT_EQ(0, mHal->deinitSubDisplay());
    EXPECT_EQ(1u, LogCapture::count("deinitSubDisplay ++ "));
    EXPECT_EQ(3u, mRecorder->events().size());

    // The last panel stays described, with a failure status.
    auto i = info();
    EXPECT_EQ(Status::FAILURE, i.first);
    EXPECT_EQ(128, i.second.x);
    EXPECT_EQ(128, i.second.y);
    EXPECT_EQ(4, i.second.format);
}

TEST_F(PowerState, DetachWhileOffNotifiesAbsent) {
    plugAndPowerOn();
    EXPECT_EQ(Status::SUCCESS, power(false));
    ASSERT_TRUE(mSim->unplug());
    ASSERT_TRUE(mRecorder->waitCount(4, 3000));
    EXPECT_EQ((std::vector<int>{1, 3, 2, 0}), mRecorder->states());
    EXPECT_EQ(threadsStarted(), threadsEnded());
}

TEST_F(PowerState, DetachDuringAPowerSequenceWins) {
    plugAndPowerOn();
    mSim->clearHidConfigReports();
    std::atomic<int> offResult{-1};
    std::thread off([&] { offResult = static_cast<int>(static_cast<Status>(power(false))); });
    ASSERT_TRUE(twtest::waitFor([&] { return configs().size() == 1; }, 2000));
    ASSERT_TRUE(mSim->unplug());
    ASSERT_TRUE(waitState(SubScreenState::NONE, 2000));
    off.join();
    // The power-off does not bring back a state for a panel that is gone.
    EXPECT_EQ(1, offResult.load());
    EXPECT_EQ(SubScreenState::NONE, state());
    EXPECT_EQ((std::vector<int>{1, 3, 0}), mRecorder->states());
    EXPECT_EQ(threadsStarted(), threadsEnded());

    // Plugged again, it comes up as usual.
    ASSERT_TRUE(plug());
    ASSERT_TRUE(mRecorder->waitCount(5, 3000));
    EXPECT_EQ((std::vector<int>{1, 3, 0, 1, 3}), mRecorder->states());
}

// A link recovery during the framework's power-on: the panel goes and comes
// back while the sequence settles. The sequence gives up on the panel it
// started on, and the new panel gets its own power-on.
TEST_F(PowerState, ReplugDuringAPowerOnBringsTheNewPanelUp) {
    plugAndPowerOn();
    ASSERT_EQ(Status::SUCCESS, power(false));
    mSim->clearHidConfigReports();
    std::atomic<int> onResult{-1};
    std::thread on([&] { onResult = static_cast<int>(static_cast<Status>(power(true))); });
    ASSERT_TRUE(twtest::waitFor([&] { return configs().size() == 1; }, 2000));
    ASSERT_TRUE(mSim->unplug());
    ASSERT_TRUE(waitState(SubScreenState::NONE, 2000));
    auto replug = Clock::now();
    ASSERT_TRUE(plug());
    ASSERT_TRUE(mRecorder->waitCount(6, 3000));
    long recovered = msBetween(replug, mRecorder->events().back().time);
    on.join();

    EXPECT_EQ(1, onResult.load());
    EXPECT_EQ((std::vector<int>{1, 3, 2, 0, 1, 3}), mRecorder->states());
    // The old panel's power-on, then the new panel's own.
    EXPECT_EQ((std::vector<Bytes>{{0x03, 0x02, 0x5A}, {0x03, 0x02, 0x5A}}), configs());
    EXPECT_EQ(threadsStarted(), threadsEnded() + 1);
    EXPECT_EQ(0u, LogCapture::count("Sub Display Power state is in progress..."));
    // Frames reach the new panel.
    ASSERT_EQ(Status::SUCCESS, draw(std::vector<uint32_t>(128 * 128, 0xF0)));
    EXPECT_TRUE(mSim->waitForFrames(1, 3000));
    // The settle time of the new panel's power-on and some margin.
    EXPECT_LT(recovered, 2000);
    printf("re-plug to sub display on: %ld ms\n", recovered);
}

TEST_F(PowerState, ANewCallbackIsToldOnlyLaterChanges) {
    plugAndPowerOn();
    sp<StateRecorder> second = new StateRecorder();
    mHal->setSubDisplayCallback(second);
    EXPECT_TRUE(second->events().empty());
    EXPECT_EQ(Status::SUCCESS, power(false));
    EXPECT_EQ((std::vector<int>{2}), second->states());
    EXPECT_EQ((std::vector<int>{1, 3}), mRecorder->states());

    mHal->setSubDisplayCallback(nullptr);
    EXPECT_EQ(Status::SUCCESS, power(true));
    EXPECT_EQ((std::vector<int>{2}), second->states());
    EXPECT_EQ(SubScreenState::ON, state());
    EXPECT_EQ(3u, LogCapture::count("registering callback"));
}

}  // namespace
}  // namespace subtest
