/*
 * Copyright (C) 2026 The Twinel HAL Authors
 *
 * Licensed under the Apache License, Version 2.0 (the "License");
 * you may not use this file except in compliance with the License.
 */

/*
 * VTS module of vendor.zyr.hardware.twinel@1.1::ITwinel: what every instance
 * must do on any phone, with or without the cover-screen accessory attached.
 * Checks that need the accessory skip while it is absent, and the refusals
 * that need it absent skip while it is attached. The module leaves the
 * service as it found it: no callback of ours stays registered and the sub
 * display is powered as before.
 */
#define LOG_TAG "VtsHalTwinelV1_1TargetTest"

#include <gtest/gtest.h>
#include <hidl/GtestPrinter.h>
#include <hidl/HidlTransportSupport.h>
#include <hidl/ServiceManagement.h>
#include <log/log.h>
#include <vendor/zyr/hardware/twinel/1.0/ITwinel.h>
#include <vendor/zyr/hardware/twinel/1.0/ITwinelLpwgCallback.h>
#include <vendor/zyr/hardware/twinel/1.0/ITwinelSubDisplayCallback.h>
#include <vendor/zyr/hardware/twinel/1.1/ITwinel.h>
#include <vendor/zyr/hardware/twinel/1.1/ITwinelLpwgCallback.h>

#include <chrono>
#include <climits>
#include <condition_variable>
#include <cstdio>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "TwinelReleasedHashes.h"

using ::android::sp;
using ::android::hardware::hidl_array;
using ::android::hardware::hidl_string;
using ::android::hardware::hidl_vec;
using ::android::hardware::Return;
using ::android::hardware::Void;
using ::android::hidl::base::V1_0::IBase;

namespace V1_0 = ::vendor::zyr::hardware::twinel::V1_0;
namespace V1_1 = ::vendor::zyr::hardware::twinel::V1_1;

using V1_0::LpwgStatus;
using V1_0::Status;
using V1_0::SubScreenInfo;
using V1_0::SubScreenState;
using V1_0::TwinelStatus;

namespace {

using namespace std::chrono_literals;

// Generous bounds: a sub display power change settles in about 500 ms and an
// AT exchange times out after 5 s on a healthy service.
constexpr auto kStateChangeTimeout = 10s;
constexpr auto kBringUpTimeout = 15s;
// A frame thread that was woken by a draw has taken the frame well within this.
constexpr auto kFrameTakeTime = 500ms;
// Registering and clearing callbacks this often must leave the service answering.
constexpr int kRegistrationCycles = 25;

bool isStatus(Status s) {
    return s == Status::SUCCESS || s == Status::FAILURE;
}

std::string toHex(const hidl_array<uint8_t, 32>& hash) {
    std::string hex;
    char byte[3];
    for (size_t i = 0; i < 32; i++) {
        snprintf(byte, sizeof(byte), "%02x", hash[i]);
        hex += byte;
    }
    return hex;
}

// Polls cond until it holds or timeout passes.
bool pollUntil(const std::function<bool()>& cond, std::chrono::milliseconds timeout) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        if (cond()) return true;
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(50ms);
    }
}

// Records every state the service tells; tests wait for the ones they expect.
class SubDisplayCallback : public V1_0::ITwinelSubDisplayCallback {
  public:
    Return<void> notifyStateChanged(SubScreenState state) override {
        std::lock_guard<std::mutex> lock(mLock);
        mStates.push_back(state);
        mCond.notify_all();
        return Void();
    }

    // Waits for the next state after those already taken; false on time-out.
    bool waitNext(SubScreenState* state, std::chrono::milliseconds timeout) {
        std::unique_lock<std::mutex> lock(mLock);
        if (!mCond.wait_for(lock, timeout, [&] { return mStates.size() > mTaken; })) return false;
        *state = mStates[mTaken++];
        return true;
    }

    size_t count() {
        std::lock_guard<std::mutex> lock(mLock);
        return mStates.size();
    }

  private:
    // guards mStates, mTaken; mCond is signalled with each new state.
    std::mutex mLock;
    std::condition_variable mCond;
    std::vector<SubScreenState> mStates;
    size_t mTaken = 0;
};

class LpwgCallback10 : public V1_0::ITwinelLpwgCallback {
  public:
    Return<void> notifyEventChange(V1_0::LpwgEventStatus, V1_0::Result) override { return Void(); }
};

class LpwgCallback11 : public V1_1::ITwinelLpwgCallback {
  public:
    Return<void> notifyEventChange(V1_0::LpwgEventStatus, V1_0::Result) override { return Void(); }
    Return<void> notifyEventChange_1_1(V1_1::LpwgEventStatus, V1_0::Result) override {
        return Void();
    }
};

class TwinelHidlTest : public testing::TestWithParam<std::string> {
  public:
    void SetUp() override {
        mTwinel = V1_1::ITwinel::getService(GetParam());
        ASSERT_NE(nullptr, mTwinel.get()) << "no ITwinel 1.1 instance " << GetParam();
    }

    void TearDown() override {
        // Whatever a test did, none of our callbacks stays with the service.
        if (mTwinel == nullptr) return;
        if (mSubDisplayCallbackSet) {
            EXPECT_TRUE(mTwinel->setSubDisplayCallback(nullptr).isOk());
        }
        if (mLpwgCallbackSet) {
            EXPECT_TRUE(mTwinel->setLpwgCallback(nullptr).isOk());
        }
        // A test that stopped half way through a power change still
        // leaves the sub display powered as it found it.
        if (mRestoreSubDisplay) {
            SubScreenState state = subDisplayState();
            bool on = state == SubScreenState::ON;
            if (state != SubScreenState::NONE && on != mSubDisplayWasOn) {
                // Best effort: a transport failure has been reported by the test.
                (void)mTwinel->setSubDisplayPowerState(mSubDisplayWasOn).isOk();
            }
        }
    }

  protected:
    bool attached() {
        Return<bool> ret = mTwinel->getTW2Connect();
        return ret.isOk() && static_cast<bool>(ret);
    }

    // The sub display state; NONE when the call fails in transport.
    SubScreenState subDisplayState() {
        SubScreenState state = SubScreenState::NONE;
        Return<void> ret =
                mTwinel->getSubDisplayPowerState([&](Status, SubScreenState s) { state = s; });
        return ret.isOk() ? state : SubScreenState::NONE;
    }

    TwinelStatus tw2Status() {
        TwinelStatus out = {};
        EXPECT_TRUE(mTwinel->getTW2Status([&](Status, const TwinelStatus& s) { out = s; }).isOk());
        return out;
    }

    SubScreenInfo subDisplayInfo(Status* status) {
        SubScreenInfo out = {};
        EXPECT_TRUE(mTwinel->getSubDisplayInfo([&](Status st, const SubScreenInfo& info) {
                               *status = st;
                               out = info;
                           })
                            .isOk());
        return out;
    }

    Status powerSubDisplay(bool on) {
        Return<Status> ret = mTwinel->setSubDisplayPowerState(on);
        EXPECT_TRUE(ret.isOk()) << ret.description();
        return ret.isOk() ? static_cast<Status>(ret) : Status::FAILURE;
    }

    // With the accessory attached, waits until its sub display has been
    // brought up (the service does so shortly after the attach).
    bool waitSubDisplayUp() {
        return pollUntil([&] { return subDisplayState() != SubScreenState::NONE; },
                         kBringUpTimeout);
    }

    // Notes the sub display's power before a test changes it; TearDown
    // restores it.
    void rememberSubDisplayPower() {
        mRestoreSubDisplay = true;
        mSubDisplayWasOn = subDisplayState() == SubScreenState::ON;
    }

    void registerSubDisplayCallback(const sp<V1_0::ITwinelSubDisplayCallback>& cb) {
        mSubDisplayCallbackSet = true;
        ASSERT_TRUE(mTwinel->setSubDisplayCallback(cb).isOk());
    }

    sp<V1_1::ITwinel> mTwinel;
    bool mSubDisplayCallbackSet = false;
    bool mLpwgCallbackSet = false;
    bool mRestoreSubDisplay = false;
    bool mSubDisplayWasOn = false;
};

#define SKIP_UNLESS_ATTACHED()                                                        \
    do {                                                                              \
        if (!attached()) GTEST_SKIP() << "needs the cover-screen accessory attached"; \
    } while (0)

#define SKIP_IF_ATTACHED()                                                           \
    do {                                                                             \
        if (attached()) GTEST_SKIP() << "needs the cover-screen accessory detached"; \
    } while (0)

// --- the interface as a client sees it ---

TEST_P(TwinelHidlTest, InterfaceChain) {
    std::vector<std::string> chain;
    ASSERT_TRUE(mTwinel->interfaceChain([&](const hidl_vec<hidl_string>& names) {
                           for (const auto& n : names) chain.push_back(n);
                       })
                        .isOk());
    std::vector<std::string> expected = {V1_1::ITwinel::descriptor, V1_0::ITwinel::descriptor,
                                         IBase::descriptor};
    EXPECT_EQ(expected, chain);

    std::string descriptor;
    ASSERT_TRUE(mTwinel->interfaceDescriptor([&](const hidl_string& d) { descriptor = d; }).isOk());
    EXPECT_EQ(V1_1::ITwinel::descriptor, descriptor);
}

// The hashes the service reports are the released ones: the interfaces were
// not changed after they were frozen.
TEST_P(TwinelHidlTest, HashChainMatchesReleasedHashes) {
    std::vector<std::string> chain;
    ASSERT_TRUE(mTwinel->interfaceChain([&](const hidl_vec<hidl_string>& names) {
                           for (const auto& n : names) chain.push_back(n);
                       })
                        .isOk());
    std::vector<std::string> hashes;
    ASSERT_TRUE(mTwinel->getHashChain([&](const hidl_vec<hidl_array<uint8_t, 32>>& list) {
                           for (const auto& h : list) hashes.push_back(toHex(h));
                       })
                        .isOk());
    ASSERT_EQ(chain.size(), hashes.size());
    ASSERT_EQ(3u, chain.size());

    for (size_t i = 0; i + 1 < chain.size(); i++) {
        auto released = kReleasedHashes.find(chain[i]);
        ASSERT_NE(kReleasedHashes.end(), released) << chain[i] << " has no released hash";
        EXPECT_EQ(released->second, hashes[i]) << chain[i];
    }
    // The base interface's hash belongs to the platform: it must be the one
    // this client's runtime knows.
    sp<SubDisplayCallback> local = new SubDisplayCallback();
    std::string localBase;
    ASSERT_TRUE(local->getHashChain([&](const hidl_vec<hidl_array<uint8_t, 32>>& list) {
                         ASSERT_FALSE(list.size() == 0);
                         localBase = toHex(list[list.size() - 1]);
                     }).isOk());
    EXPECT_EQ(localBase, hashes.back()) << IBase::descriptor;
}

TEST_P(TwinelHidlTest, VersionOneClientReachesTheService) {
    sp<V1_0::ITwinel> v10 = V1_0::ITwinel::getService(GetParam());
    ASSERT_NE(nullptr, v10.get());
    EXPECT_TRUE(v10->ping().isOk());
    std::string descriptor;
    ASSERT_TRUE(v10->interfaceDescriptor([&](const hidl_string& d) { descriptor = d; }).isOk());
    EXPECT_EQ(V1_1::ITwinel::descriptor, descriptor);

    Return<sp<V1_1::ITwinel>> cast = V1_1::ITwinel::castFrom(v10);
    ASSERT_TRUE(cast.isOk());
    sp<V1_1::ITwinel> v11 = cast;
    ASSERT_NE(nullptr, v11.get());
    // Both references reach the same object, and it answers the 1.0 client.
    EXPECT_TRUE(::android::hardware::interfacesEqual(v10, v11));
    EXPECT_TRUE(v10->getTW2Connect().isOk());
}

// --- answers that hold with or without the accessory ---

// getTW2Connect says whether the accessory's USB device is attached;
// getTW2Status says whether the cover screen behind it is connected. A
// connected cover screen is an attached accessory. Both are read again when
// they disagree, since an attach or a detach may fall between the two calls.
TEST_P(TwinelHidlTest, ConnectAndStatusAgree) {
    int statusCalls = 0;
    Status status = Status::FAILURE;
    TwinelStatus tw = {};
    bool agree = pollUntil(
            [&] {
                statusCalls = 0;
                if (!mTwinel->getTW2Status([&](Status s, const TwinelStatus& t) {
                                statusCalls++;
                                status = s;
                                tw = t;
                            })
                             .isOk()) {
                    return false;
                }
                return !tw.connected || attached();
            },
            kStateChangeTimeout);
    EXPECT_TRUE(agree) << "cover screen connected while the accessory is not attached";
    EXPECT_EQ(1, statusCalls);
    EXPECT_EQ(Status::SUCCESS, status);
    EXPECT_FALSE(tw.reserved);
    EXPECT_GE(tw.brightness, 0);
    EXPECT_LE(tw.brightness, 255);
}

// Every query that changes nothing answers 0 or 1, through its result
// callback, exactly once.
TEST_P(TwinelHidlTest, QueriesAnswerOnceWithZeroOrOne) {
    struct Query {
        const char* name;
        std::function<Return<void>(int* calls, Status* status)> call;
    };
    const std::vector<Query> queries = {
            {"getFirmwareVersion",
             [&](int* n, Status* st) {
                 return mTwinel->getFirmwareVersion([=](Status s, const hidl_string&) {
                     ++*n;
                     *st = s;
                 });
             }},
            {"getFirmwareFile",
             [&](int* n, Status* st) {
                 return mTwinel->getFirmwareFile([=](Status s, const hidl_string&) {
                     ++*n;
                     *st = s;
                 });
             }},
            {"getTouchFirmwareVersion",
             [&](int* n, Status* st) {
                 return mTwinel->getTouchFirmwareVersion([=](Status s, const hidl_string&) {
                     ++*n;
                     *st = s;
                 });
             }},
            {"getGpiopin",
             [&](int* n, Status* st) {
                 return mTwinel->getGpiopin([=](Status s, const hidl_string&) {
                     ++*n;
                     *st = s;
                 });
             }},
            {"getCoverDisplayCutout",
             [&](int* n, Status* st) {
                 return mTwinel->getCoverDisplayCutout([=](Status s, const hidl_string&) {
                     ++*n;
                     *st = s;
                 });
             }},
            {"getTW2Status",
             [&](int* n, Status* st) {
                 return mTwinel->getTW2Status([=](Status s, const TwinelStatus&) {
                     ++*n;
                     *st = s;
                 });
             }},
            {"getSubDisplayInfo",
             [&](int* n, Status* st) {
                 return mTwinel->getSubDisplayInfo([=](Status s, const SubScreenInfo&) {
                     ++*n;
                     *st = s;
                 });
             }},
            {"getSubDisplayPowerState",
             [&](int* n, Status* st) {
                 return mTwinel->getSubDisplayPowerState([=](Status s, SubScreenState) {
                     ++*n;
                     *st = s;
                 });
             }},
            {"sendAtCommand",
             [&](int* n, Status* st) {
                 return mTwinel->sendAtCommand("AT", nullptr, [=](Status s, const hidl_string&) {
                     ++*n;
                     *st = s;
                 });
             }},
    };
    for (const auto& q : queries) {
        SCOPED_TRACE(q.name);
        int calls = 0;
        Status status = static_cast<Status>(0xffffffffu);
        Return<void> ret = q.call(&calls, &status);
        ASSERT_TRUE(ret.isOk()) << ret.description();
        EXPECT_EQ(1, calls);
        EXPECT_TRUE(isStatus(status)) << static_cast<uint32_t>(status);
    }
}

// A level outside 0..255 is ignored with success: the stored level stays.
TEST_P(TwinelHidlTest, OutOfRangeBrightnessChangesNothing) {
    const int32_t levels[] = {256, 257, 1000, -1, -255, INT32_MAX, INT32_MIN};
    int32_t before = tw2Status().brightness;
    for (int32_t level : levels) {
        SCOPED_TRACE(level);
        Return<Status> ret = mTwinel->setBrightness(level);
        ASSERT_TRUE(ret.isOk()) << ret.description();
        EXPECT_EQ(Status::SUCCESS, static_cast<Status>(ret));
        EXPECT_EQ(before, tw2Status().brightness);
    }
}

TEST_P(TwinelHidlTest, SubDisplayBrightnessOutOfRangeIsRefused) {
    const int32_t levels[] = {256, 1000, -1, INT32_MAX, INT32_MIN};
    for (int32_t level : levels) {
        SCOPED_TRACE(level);
        Return<Status> ret = mTwinel->setSubDisplayBrightness(level);
        ASSERT_TRUE(ret.isOk()) << ret.description();
        EXPECT_EQ(Status::FAILURE, static_cast<Status>(ret));
    }
}

// A frame whose pixel count is not the panel's is refused, whatever state
// the sub display is in.
TEST_P(TwinelHidlTest, WrongSizeFrameIsRefused) {
    Status infoStatus = Status::FAILURE;
    SubScreenInfo info = subDisplayInfo(&infoStatus);
    size_t screen = static_cast<size_t>(info.x) * info.y;
    std::vector<size_t> sizes = {screen + 1, screen + 2, screen + 4096, 100000};
    if (screen > 0) {
        sizes.push_back(screen - 1);
        sizes.push_back(0);
    }
    for (size_t n : sizes) {
        SCOPED_TRACE(n);
        hidl_vec<uint32_t> frame;
        frame.resize(n);
        for (size_t i = 0; i < n; i++) frame[i] = (i % 16) << 4;
        Return<Status> ret = mTwinel->drawSubDisplay(frame);
        ASSERT_TRUE(ret.isOk()) << ret.description();
        EXPECT_EQ(Status::FAILURE, static_cast<Status>(ret));
    }
}

// A command must begin with "AT"; anything else never reaches the accessory.
TEST_P(TwinelHidlTest, MalformedAtCommandIsRefused) {
    const char* commands[] = {
            "", "A", "T", "XT%VTSMALFORMED", "%VTSMALFORMED", " AT%VTSMALFORMED", "\r", "\n"};
    for (const char* command : commands) {
        SCOPED_TRACE(std::string("[") + command + "]");
        int calls = 0;
        Status status = Status::SUCCESS;
        Return<void> ret =
                mTwinel->sendAtCommand(command, nullptr, [&](Status s, const hidl_string&) {
                    calls++;
                    status = s;
                });
        ASSERT_TRUE(ret.isOk()) << ret.description();
        EXPECT_EQ(1, calls);
        EXPECT_EQ(Status::FAILURE, status);
    }
}

// Registering and clearing callbacks, of both LPWG versions, many times
// leaves the service answering; the last registration is a clearing one.
TEST_P(TwinelHidlTest, CallbackRegistrationCyclesLeaveTheServiceAnswering) {
    sp<LpwgCallback10> lpwg10 = new LpwgCallback10();
    sp<LpwgCallback11> lpwg11 = new LpwgCallback11();
    sp<SubDisplayCallback> sub = new SubDisplayCallback();
    mLpwgCallbackSet = true;
    mSubDisplayCallbackSet = true;
    for (int i = 0; i < kRegistrationCycles; i++) {
        SCOPED_TRACE(i);
        sp<V1_0::ITwinelLpwgCallback> lpwg = (i % 2 == 0) ? sp<V1_0::ITwinelLpwgCallback>(lpwg11)
                                                          : sp<V1_0::ITwinelLpwgCallback>(lpwg10);
        ASSERT_TRUE(mTwinel->setLpwgCallback(lpwg).isOk());
        ASSERT_TRUE(mTwinel->setSubDisplayCallback(sub).isOk());
        ASSERT_TRUE(mTwinel->setLpwgCallback(nullptr).isOk());
        ASSERT_TRUE(mTwinel->setSubDisplayCallback(nullptr).isOk());
    }
    EXPECT_TRUE(mTwinel->ping().isOk());
    EXPECT_TRUE(mTwinel->getTW2Connect().isOk());
    int calls = 0;
    EXPECT_TRUE(mTwinel->getSubDisplayPowerState([&](Status, SubScreenState) { calls++; }).isOk());
    EXPECT_EQ(1, calls);
}

// --- refusals that need the accessory absent ---

// Without the accessory nothing that needs it can succeed: the AT channel is
// down and the sub display is not there.
TEST_P(TwinelHidlTest, OperationsNeedingTheAccessoryFailWithoutIt) {
    SKIP_IF_ATTACHED();
    struct Case {
        const char* name;
        std::function<Return<Status>()> call;
        // Undoes an unexpected success, so a failing check leaves the
        // service as it was.
        std::function<void()> undo;
    };
    const std::vector<Case> cases = {
            {"setPowerStatus(true, false)", [&] { return mTwinel->setPowerStatus(true, false); },
             [&] { (void)mTwinel->setPowerStatus(false, false).isOk(); }},
            {"set_touch_perf(false)", [&] { return mTwinel->set_touch_perf(false); }, [] {}},
            {"setStatus({1, 0})",
             [&] {
                 return mTwinel->setStatus(LpwgStatus{1, 0});
             },
             [] {}},
            {"checkFirmwareVersion", [&] { return mTwinel->checkFirmwareVersion(); }, [] {}},
            {"setSubDisplayPowerState(true)",
             [&] { return mTwinel->setSubDisplayPowerState(true); },
             [&] { (void)mTwinel->setSubDisplayPowerState(false).isOk(); }},
            {"setSubDisplayBrightness(100)", [&] { return mTwinel->setSubDisplayBrightness(100); },
             [] {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Return<Status> ret = c.call();
        ASSERT_TRUE(ret.isOk()) << ret.description();
        EXPECT_EQ(Status::FAILURE, static_cast<Status>(ret));
        if (ret.isOk() && static_cast<Status>(ret) == Status::SUCCESS) c.undo();
    }

    Status status = Status::SUCCESS;
    std::string version = "unset";
    ASSERT_TRUE(mTwinel->getFirmwareVersion([&](Status s, const hidl_string& v) {
                           status = s;
                           version = v;
                       })
                        .isOk());
    EXPECT_EQ(Status::FAILURE, status);
    EXPECT_EQ("", version);

    if (subDisplayState() == SubScreenState::NONE) {
        subDisplayInfo(&status);
        EXPECT_EQ(Status::FAILURE, status);
    }
}

// --- with the accessory attached ---

TEST_P(TwinelHidlTest, FirmwareVersionIsText) {
    SKIP_UNLESS_ATTACHED();
    Status status = Status::FAILURE;
    std::string version;
    // The AT channel comes up shortly after the attach.
    ASSERT_TRUE(pollUntil(
            [&] {
                return mTwinel->getFirmwareVersion([&](Status s, const hidl_string& v) {
                                  status = s;
                                  version = v;
                              })
                               .isOk() &&
                       status == Status::SUCCESS;
            },
            kBringUpTimeout))
            << "firmware version never answered";
    EXPECT_FALSE(version.empty());
    EXPECT_LT(version.size(), 1024u);
    for (char c : version) {
        EXPECT_TRUE(c >= 0x20 && c < 0x7f) << "byte " << static_cast<int>(c) << " in " << version;
    }
}

TEST_P(TwinelHidlTest, CoverDisplayCutoutIsText) {
    SKIP_UNLESS_ATTACHED();
    Status status = Status::FAILURE;
    std::string cutout;
    ASSERT_TRUE(pollUntil(
            [&] {
                return mTwinel->getCoverDisplayCutout([&](Status s, const hidl_string& c) {
                                  status = s;
                                  cutout = c;
                              })
                               .isOk() &&
                       status == Status::SUCCESS;
            },
            kBringUpTimeout))
            << "cutout never answered";
    EXPECT_FALSE(cutout.empty());
    EXPECT_LT(cutout.size(), 1024u);
}

TEST_P(TwinelHidlTest, SubDisplayInfoDescribesThePanel) {
    SKIP_UNLESS_ATTACHED();
    ASSERT_TRUE(waitSubDisplayUp()) << "the sub display was never brought up";
    Status status = Status::FAILURE;
    SubScreenInfo info = subDisplayInfo(&status);
    EXPECT_EQ(Status::SUCCESS, status);
    EXPECT_GT(info.x, 0);
    EXPECT_GT(info.y, 0);
}

// A frame of the panel's size is accepted while the sub display is on.
TEST_P(TwinelHidlTest, FrameOfThePanelSizeIsDrawn) {
    SKIP_UNLESS_ATTACHED();
    ASSERT_TRUE(waitSubDisplayUp()) << "the sub display was never brought up";
    rememberSubDisplayPower();
    SubScreenState before = subDisplayState();
    if (before != SubScreenState::ON) {
        ASSERT_EQ(Status::SUCCESS, powerSubDisplay(true));
    }

    Status status = Status::FAILURE;
    SubScreenInfo info = subDisplayInfo(&status);
    ASSERT_EQ(Status::SUCCESS, status);
    size_t n = static_cast<size_t>(info.x) * info.y;
    hidl_vec<uint32_t> frame;
    frame.resize(n);
    // A horizontal grey ramp.
    for (size_t i = 0; i < n; i++)
        frame[i] = static_cast<uint32_t>((i % info.x) * 16 / info.x) << 4;
    Return<Status> ret = mTwinel->drawSubDisplay(frame);
    ASSERT_TRUE(ret.isOk()) << ret.description();
    EXPECT_EQ(Status::SUCCESS, static_cast<Status>(ret));
    // The frame is sent by the HAL's frame thread after the call returns,
    // and switching the panel off discards a frame not yet taken: give the
    // thread time to take it before this or a later test switches it off.
    std::this_thread::sleep_for(kFrameTakeTime);

    if (before != SubScreenState::ON) {
        EXPECT_EQ(Status::SUCCESS, powerSubDisplay(false));
    }
}

// Power off and on again with a callback registered: the callback is told
// each state, a repeated request is refused, drawing while off is refused,
// and once the callback is cleared it is told nothing more. The sub display
// ends powered as it was found (a panel found never powered ends off).
TEST_P(TwinelHidlTest, SubDisplayPowerCycleTellsTheCallback) {
    SKIP_UNLESS_ATTACHED();
    ASSERT_TRUE(waitSubDisplayUp()) << "the sub display was never brought up";
    rememberSubDisplayPower();
    bool wasOn = mSubDisplayWasOn;

    sp<SubDisplayCallback> cb = new SubDisplayCallback();
    registerSubDisplayCallback(cb);
    if (HasFatalFailure()) return;

    // The two transitions in the order that ends where we began.
    const bool steps[] = {!wasOn, wasOn};
    for (bool on : steps) {
        SCOPED_TRACE(on ? "on" : "off");
        ASSERT_EQ(Status::SUCCESS, powerSubDisplay(on));
        SubScreenState told;
        ASSERT_TRUE(cb->waitNext(&told, kStateChangeTimeout)) << "callback not told";
        SubScreenState expected = on ? SubScreenState::ON : SubScreenState::OFF;
        EXPECT_EQ(expected, told);
        EXPECT_EQ(expected, subDisplayState());
        // The same request again is refused and changes nothing.
        EXPECT_EQ(Status::FAILURE, powerSubDisplay(on));
        EXPECT_EQ(expected, subDisplayState());
        if (!on) {
            Status status = Status::FAILURE;
            SubScreenInfo info = subDisplayInfo(&status);
            hidl_vec<uint32_t> frame;
            frame.resize(static_cast<size_t>(info.x) * info.y);
            Return<Status> ret = mTwinel->drawSubDisplay(frame);
            ASSERT_TRUE(ret.isOk());
            EXPECT_EQ(Status::FAILURE, static_cast<Status>(ret)) << "drawn while off";
        }
    }

    // Cleared: a further cycle is not told. The cycle restores the state again.
    ASSERT_TRUE(mTwinel->setSubDisplayCallback(nullptr).isOk());
    mSubDisplayCallbackSet = false;
    size_t toldSoFar = cb->count();
    for (bool on : steps) {
        ASSERT_EQ(Status::SUCCESS, powerSubDisplay(on));
        SubScreenState expected = on ? SubScreenState::ON : SubScreenState::OFF;
        EXPECT_TRUE(pollUntil([&] { return subDisplayState() == expected; }, kStateChangeTimeout));
    }
    // One-way notifications could still be on their way: give them time.
    std::this_thread::sleep_for(500ms);
    EXPECT_EQ(toldSoFar, cb->count()) << "a cleared callback was told";
    EXPECT_EQ(wasOn ? SubScreenState::ON : SubScreenState::OFF, subDisplayState());
}

GTEST_ALLOW_UNINSTANTIATED_PARAMETERIZED_TEST(TwinelHidlTest);
INSTANTIATE_TEST_SUITE_P(
        PerInstance, TwinelHidlTest,
        testing::ValuesIn(android::hardware::getAllHalInstanceNames(V1_1::ITwinel::descriptor)),
        android::hardware::PrintInstanceNameToString);

}  // namespace
