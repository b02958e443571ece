/*
 * The sub display end to end: hwservicemanager and the service run as
 * separate processes under a temporary device root, the simulator plays the
 * accessory in this process, and this process is the framework's client
 * through the generated proxy.
 */
#include <android/hidl/manager/1.0/IServiceManager.h>
#include <gtest/gtest.h>
#include <hidl/ServiceManagement.h>
#include <signal.h>
#include <stdlib.h>
#include <twsim/simulator.h>
#include <unistd.h>
#include <vendor/zyr/hardware/twinel/1.0/ITwinelSubDisplayCallback.h>
#include <vendor/zyr/hardware/twinel/1.1/ITwinel.h>

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <random>

#include "png_reader.h"
#include "test_util.h"

namespace subtest {
namespace {

using ::android::sp;
using ::android::hardware::hidl_vec;
using ::android::hardware::Return;
using ::android::hardware::Void;
using ::vendor::zyr::hardware::twinel::V1_0::ITwinelSubDisplayCallback;
using ::vendor::zyr::hardware::twinel::V1_0::Status;
using ::vendor::zyr::hardware::twinel::V1_0::SubScreenInfo;
using ::vendor::zyr::hardware::twinel::V1_0::SubScreenState;
using ::vendor::zyr::hardware::twinel::V1_1::ITwinel;
using Clock = std::chrono::steady_clock;
using Bytes = std::vector<uint8_t>;

long msBetween(Clock::time_point a, Clock::time_point b) {
    return static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(b - a).count());
}

struct Recorder : ITwinelSubDisplayCallback {
    Return<void> notifyStateChanged(SubScreenState state) override {
        {
            std::lock_guard<std::mutex> l(mLock);
            mStates.push_back(static_cast<int>(state));
            mTimes.push_back(Clock::now());
        }
        mCond.notify_all();
        return Void();
    }
    bool waitCount(size_t n, int timeoutMs) {
        std::unique_lock<std::mutex> l(mLock);
        return mCond.wait_for(l, std::chrono::milliseconds(timeoutMs),
                              [&] { return mStates.size() >= n; });
    }
    std::vector<int> states() {
        std::lock_guard<std::mutex> l(mLock);
        return mStates;
    }
    Clock::time_point time(size_t i) {
        std::lock_guard<std::mutex> l(mLock);
        return mTimes.at(i);
    }
    std::mutex mLock;
    std::condition_variable mCond;
    std::vector<int> mStates;
    std::vector<Clock::time_point> mTimes;
};

class SubDisplaySystem : public ::testing::Test {
  protected:
    void SetUp() override {
        signal(SIGPIPE, SIG_IGN);
        ASSERT_FALSE(mRoot.path().empty());
        setenv("TWINEL_DEVICE_ROOT", mRoot.path().c_str(), 1);
        mEnv = {"TWINEL_DEVICE_ROOT=" + mRoot.path()};
        mSim = std::make_unique<twsim::Simulator>(mRoot.path());
        ASSERT_TRUE(mSim->ok());

        ASSERT_TRUE(twtest::installServiceManifest(mRoot.path()));
        ASSERT_TRUE(mManager.start({twtest::binDir() + "/hwservicemanager"}, mEnv,
                                   mRoot.path() + "/manager.log"));
        ASSERT_TRUE(twtest::waitFor(
                [&] {
                    return access((mRoot.path() + "/dev/socket/hwbinder/hwservicemanager").c_str(),
                                  F_OK) == 0;
                },
                5000));
        ASSERT_TRUE(mService.start(twtest::serviceCommand(), mEnv, serviceLog()));
        ASSERT_TRUE(twtest::waitFor(
                [&] {
                    mTw = ITwinel::getService();
                    return mTw != nullptr;
                },
                5000));
    }

    void TearDown() override {
        if (mSim) mSim->unplugAll();
        if (HasFailure()) {
            fprintf(stderr, "---- service log ----\n%s---- end ----\n",
                    twtest::readFile(serviceLog()).c_str());
        }
        mTw = nullptr;
        mClient.kill();
        mService.kill();
        mManager.kill();
        mSim.reset();
    }

    std::string serviceLog() { return mRoot.path() + "/service.log"; }

    bool plug() {
        twsim::UsbIdentity id = twsim::accessoryIdentity();
        id.serialFunction = false;
        return mSim->plug(id);
    }

    SubScreenState state() {
        SubScreenState out = static_cast<SubScreenState>(-1);
        Return<void> ret = mTw->getSubDisplayPowerState([&](Status, SubScreenState s) { out = s; });
        EXPECT_TRUE(ret.isOk()) << ret.description();
        return out;
    }

    // The one-way registration has reached the service (its `count`th).
    bool waitRegistered(size_t count) {
        return twtest::waitFor(
                [&] {
                    std::string log = twtest::readFile(serviceLog());
                    size_t n = 0;
                    for (size_t at = log.find("registering callback"); at != std::string::npos;
                         at = log.find("registering callback", at + 1)) {
                        n++;
                    }
                    return n >= count;
                },
                3000);
    }

    bool waitState(SubScreenState s, int timeoutMs) {
        return twtest::waitFor([&] { return state() == s; }, timeoutMs);
    }

    twtest::TempDir mRoot{"twsubsys"};
    std::vector<std::string> mEnv;
    std::unique_ptr<twsim::Simulator> mSim;
    twtest::Child mManager;
    twtest::Child mService;
    twtest::Child mClient;
    sp<ITwinel> mTw;
};

TEST_F(SubDisplaySystem, TheClientIsToldEveryStateInOrder) {
    sp<Recorder> recorder = new Recorder();
    ASSERT_TRUE(mTw->setSubDisplayCallback(recorder).isOk());
    ASSERT_TRUE(waitRegistered(1));
    EXPECT_EQ(SubScreenState::NONE, state());

    auto plugged = Clock::now();
    ASSERT_TRUE(plug());
    ASSERT_TRUE(recorder->waitCount(2, 3000));
    EXPECT_EQ((std::vector<int>{1, 3}), recorder->states());
    // On after the settle time from the moment it was initialised (which is
    // after the plug); the one-way notifications may arrive a little late.
    EXPECT_GE(msBetween(plugged, recorder->time(1)), 495);
    long settle = msBetween(recorder->time(0), recorder->time(1));
    EXPECT_GE(settle, 400);
    EXPECT_LT(settle, 1500);
    EXPECT_EQ((std::vector<Bytes>{{0x03, 0x02, 0x5A}}), mSim->hidConfigReports());

    auto start = Clock::now();
    Return<Status> off = mTw->setSubDisplayPowerState(false);
    ASSERT_TRUE(off.isOk());
    EXPECT_EQ(Status::SUCCESS, static_cast<Status>(off));
    ASSERT_TRUE(recorder->waitCount(3, 2000));
    EXPECT_EQ(2, recorder->states()[2]);
    EXPECT_GE(msBetween(start, recorder->time(2)), 490);
    EXPECT_EQ((std::vector<Bytes>{{0x03, 0x02, 0x5A}, {0x03, 0x00, 0x00}}),
              mSim->hidConfigReports());

    Return<Status> brightness = mTw->setSubDisplayBrightness(200);
    ASSERT_TRUE(brightness.isOk());
    EXPECT_EQ(Status::SUCCESS, static_cast<Status>(brightness));
    EXPECT_EQ((Bytes{0x03, 0x00, 0xC8}), mSim->hidConfigReports().back());

    ASSERT_TRUE(mSim->unplug());
    ASSERT_TRUE(recorder->waitCount(4, 3000));
    EXPECT_EQ((std::vector<int>{1, 3, 2, 0}), recorder->states());

    Status status = Status::SUCCESS;
    SubScreenInfo info = {};
    ASSERT_TRUE(mTw->getSubDisplayInfo([&](Status s, const SubScreenInfo& i) {
                       status = s;
                       info = i;
                   }).isOk());
    EXPECT_EQ(Status::FAILURE, status);
    EXPECT_EQ(128, info.x);
    EXPECT_EQ(128, info.y);
}

TEST_F(SubDisplaySystem, AFrameDrawnByTheClientShowsInThePicture) {
    ASSERT_TRUE(plug());
    ASSERT_TRUE(waitState(SubScreenState::ON, 3000));

    // A picture without symmetry, in ARGB words with noise outside bits 4-7.
    std::mt19937 rng(5);
    std::vector<uint8_t> expected(128 * 128);
    hidl_vec<uint32_t> pixels;
    pixels.resize(128 * 128);
    for (size_t y = 0; y < 128; y++) {
        for (size_t x = 0; x < 128; x++) {
            uint8_t v = static_cast<uint8_t>((x / 8 + (y * y) / 64 + (x > y ? 5 : 0)) % 16);
            expected[y * 128 + x] = v;
            pixels[y * 128 + x] =
                    0xFF000000u | (rng() & 0x00FFFF0Fu) | (static_cast<uint32_t>(v) << 4);
        }
    }
    Return<Status> ret = mTw->drawSubDisplay(pixels);
    ASSERT_TRUE(ret.isOk());
    EXPECT_EQ(Status::SUCCESS, static_cast<Status>(ret));
    ASSERT_TRUE(mSim->waitForFrames(1, 3000));

    std::string file = mRoot.path() + "/sub_display.png";
    ASSERT_TRUE(mSim->writeSubDisplayPng(file));
    GreyImage image = readGreyPng(file);
    ASSERT_TRUE(image.ok);
    EXPECT_EQ(128u, image.width);
    EXPECT_EQ(128u, image.height);
    EXPECT_EQ(4, image.bitDepth);
    ASSERT_EQ(expected.size(), image.pixels.size());
    size_t differing = 0;
    for (size_t i = 0; i < expected.size(); i++) differing += expected[i] != image.pixels[i];
    EXPECT_EQ(0u, differing);
}

TEST_F(SubDisplaySystem, BadFramesOverTheTransportAreRefusedCleanly) {
    ASSERT_TRUE(plug());
    ASSERT_TRUE(waitState(SubScreenState::ON, 3000));
    hidl_vec<uint32_t> big;
    big.resize(100000);
    Return<Status> ret = mTw->drawSubDisplay(big);
    ASSERT_TRUE(ret.isOk());
    EXPECT_EQ(Status::FAILURE, static_cast<Status>(ret));
    ret = mTw->drawSubDisplay(hidl_vec<uint32_t>());
    ASSERT_TRUE(ret.isOk());
    EXPECT_EQ(Status::FAILURE, static_cast<Status>(ret));
    ret = mTw->setSubDisplayBrightness(-5);
    ASSERT_TRUE(ret.isOk());
    EXPECT_EQ(Status::FAILURE, static_cast<Status>(ret));

    hidl_vec<uint32_t> good;
    good.resize(128 * 128);
    for (auto& p : good) p = 0xA0;
    ret = mTw->drawSubDisplay(good);
    ASSERT_TRUE(ret.isOk());
    EXPECT_EQ(Status::SUCCESS, static_cast<Status>(ret));
    ASSERT_TRUE(mSim->waitForFrames(1, 3000));
    EXPECT_EQ(Bytes(8192, 0xAA), mSim->lastFrame().data);
    EXPECT_TRUE(mService.running());
}

TEST_F(SubDisplaySystem, ACallbackWhoseClientDiedDoesNotHarmTheService) {
    std::string out = mRoot.path() + "/client.log";
    ASSERT_TRUE(mClient.start({twtest::binDir() + "/subdisplay_callback_client"}, mEnv, out));
    ASSERT_TRUE(twtest::waitFor(
            [&] { return twtest::readFile(out).find("registered\n") != std::string::npos; }, 5000))
            << twtest::readFile(out);
    ASSERT_TRUE(waitRegistered(1));
    mClient.kill();

    // The service tells the dead client every change; it must carry on.
    ASSERT_TRUE(plug());
    ASSERT_TRUE(waitState(SubScreenState::ON, 3000));
    ASSERT_TRUE(mSim->unplug());
    ASSERT_TRUE(waitState(SubScreenState::NONE, 3000));
    EXPECT_TRUE(mService.running());
    EXPECT_NE(std::string::npos,
              twtest::readFile(serviceLog()).find("setSubDisplayState: failed to notify state 1"));

    // A live client registered later is told again.
    sp<Recorder> recorder = new Recorder();
    ASSERT_TRUE(mTw->setSubDisplayCallback(recorder).isOk());
    ASSERT_TRUE(waitRegistered(2));
    ASSERT_TRUE(plug());
    ASSERT_TRUE(recorder->waitCount(2, 3000));
    EXPECT_EQ((std::vector<int>{1, 3}), recorder->states());
}

TEST_F(SubDisplaySystem, TheLiveClientIsToldWhileItRuns) {
    std::string out = mRoot.path() + "/client.log";
    ASSERT_TRUE(mClient.start({twtest::binDir() + "/subdisplay_callback_client"}, mEnv, out));
    ASSERT_TRUE(twtest::waitFor(
            [&] { return twtest::readFile(out).find("registered\n") != std::string::npos; }, 5000));
    ASSERT_TRUE(waitRegistered(1));
    ASSERT_TRUE(plug());
    ASSERT_TRUE(twtest::waitFor(
            [&] { return twtest::readFile(out) == "registered\nstate 1\nstate 3\n"; }, 3000))
            << twtest::readFile(out);
}

}  // namespace
}  // namespace subtest
