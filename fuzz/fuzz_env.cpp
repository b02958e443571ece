/*
 * Copyright (C) 2026 The Twinel HAL Authors
 *
 * Licensed under the Apache License, Version 2.0 (the "License");
 * you may not use this file except in compliance with the License.
 */

#include "fuzz_env.h"

#include <android/log.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>

#include <memory>

#include "sub_display.h"
#include "test_util.h"

using ::vendor::zyr::hardware::twinel::V1_0::Status;
using ::vendor::zyr::hardware::twinel::V1_0::SubScreenState;
namespace impl = ::vendor::zyr::hardware::twinel::V1_1::implementation;

namespace twfuzz {
namespace {

struct State {
    std::unique_ptr<twtest::TempDir> root;
    std::unique_ptr<twsim::Simulator> sim;
    ::android::sp<HalImpl> hal;
    Env env;
    int recoveries = 0;
    uint64_t inputs = 0;
};

State* gState = nullptr;

SubScreenState subDisplayState(HalImpl* hal) {
    SubScreenState out = static_cast<SubScreenState>(-1);
    hal->getSubDisplayPowerState([&](Status, SubScreenState s) { out = s; });
    return out;
}

// Plugs the accessory and waits until both its functions are up.
bool plugAndWait(State* s) {
    size_t ready = s->sim->nodeRecords(twsim::kHalReadyNode).size();
    if (!s->sim->plug()) return false;
    if (!s->sim->waitForNodeRecords(twsim::kHalReadyNode, ready + 1, 10000)) return false;
    return twtest::waitFor(
            [&] {
                return subDisplayState(s->hal.get()) == SubScreenState::ON &&
                       !impl::power_state_in_progress.load();
            },
            10000);
}

// As the service's SIGUSR1 teardown: stop the monitor, join it, drop the
// callbacks, then the simulator and the tree.
void teardown() {
    State* s = gState;
    if (s == nullptr) return;
    gState = nullptr;
    s->sim->unplugAll();
    twtest::waitFor([&] { return subDisplayState(s->hal.get()) == SubScreenState::NONE; }, 5000);
    impl::destroyThread = true;
    s->hal->usbThreadJoin();
    s->hal->setLpwgCallback(nullptr);
    s->hal->setSubDisplayCallback(nullptr);
    s->hal.clear();
    s->sim.reset();
    delete s;
}

}  // namespace

Env& env() {
    if (gState != nullptr) return gState->env;
    signal(SIGPIPE, SIG_IGN);
    // The HAL logs every exchange; at fuzzing rates that is all the time
    // there is. TWINEL_FUZZ_LOG=1 keeps the lines.
    const char* keep = getenv("TWINEL_FUZZ_LOG");
    if (keep == nullptr || keep[0] != '1') __android_log_set_minimum_priority(ANDROID_LOG_FATAL);

    State* s = new State;
    s->root = std::make_unique<twtest::TempDir>("twfuzz");
    setenv("TWINEL_DEVICE_ROOT", s->root->path().c_str(), 1);
    s->sim = std::make_unique<twsim::Simulator>(s->root->path());
    if (!s->sim->ok()) {
        fprintf(stderr, "twinel_fuzz: the simulator did not start under %s\n",
                s->root->path().c_str());
        abort();
    }
    s->hal = new HalImpl();
    gState = s;
    if (!plugAndWait(s)) {
        fprintf(stderr, "twinel_fuzz: the accessory did not attach\n");
        abort();
    }
    s->env = {s->sim.get(), s->hal.get()};
    atexit(teardown);
    return s->env;
}

void settle() {
    State* s = gState;
    if (++s->inputs % 256 == 0) {
        s->sim->clearAtCommands();
        s->sim->clearNodeRecords();
        s->sim->clearHidRecords();
        s->sim->clearHidConfigReports();
    }
    int recoveries = s->sim->recoveryCount();
    if (recoveries == s->recoveries && s->hal->mSerialAttached) return;
    s->recoveries = recoveries;
    // The recovery re-enumerates the accessory; it attaches again by itself.
    if (twtest::waitFor([&] { return s->hal->mSerialAttached.load(); }, 10000)) return;
    s->sim->unplugAll();
    twtest::waitFor([&] { return subDisplayState(s->hal.get()) == SubScreenState::NONE; }, 5000);
    if (!plugAndWait(s)) {
        fprintf(stderr, "twinel_fuzz: the accessory did not attach again\n");
        abort();
    }
}

std::string Input::until(char stop) {
    std::string out;
    while (mPos < mSize && mData[mPos] != static_cast<uint8_t>(stop)) {
        out.push_back(static_cast<char>(mData[mPos++]));
    }
    if (mPos < mSize) mPos++;
    return out;
}

std::string Input::rest() {
    std::string out(reinterpret_cast<const char*>(mData + mPos), mSize - mPos);
    mPos = mSize;
    return out;
}

}  // namespace twfuzz
