/*
 * Copyright (C) 2026 The Twinel HAL Authors
 *
 * Licensed under the Apache License, Version 2.0 (the "License");
 * you may not use this file except in compliance with the License.
 */

// The touch driver's uevents as the service's uevent worker takes them: the
// input is one netlink message, sent by the simulator to the worker's
// socket, with a 1.1 LPWG callback registered. Each input is followed by a
// known wake gesture whose arrival at the callback marks the input as
// handled, so inputs do not pile up in the socket.

#include <twsim/uevent.h>
#include <vendor/zyr/hardware/twinel/1.1/ITwinelLpwgCallback.h>

#include <chrono>
#include <condition_variable>
#include <mutex>

#include "fuzz_env.h"

using ::android::hardware::Return;
using ::android::hardware::Void;
namespace V1_0 = ::vendor::zyr::hardware::twinel::V1_0;
namespace V1_1 = ::vendor::zyr::hardware::twinel::V1_1;

namespace {

// The gesture that follows each input; counted apart from the others.
constexpr V1_1::LpwgEventStatus kMarkStatus = static_cast<V1_1::LpwgEventStatus>(3);
const char* const kMarkValue = "TW_PEN_DETECTION";

struct MarkCounter : V1_1::ITwinelLpwgCallback {
    Return<void> notifyEventChange(V1_0::LpwgEventStatus, V1_0::Result) override { return Void(); }
    Return<void> notifyEventChange_1_1(V1_1::LpwgEventStatus s, V1_0::Result) override {
        if (s == kMarkStatus) {
            std::lock_guard<std::mutex> l(mLock);
            mMarks++;
            mCond.notify_all();
        }
        return Void();
    }
    // Waits until at least `n` marks arrived. An input that itself carries
    // the mark's value counts as one, which only lets a later wait return
    // earlier; the socket's order keeps the worker at most that far behind.
    bool waitMarks(uint64_t n, int timeoutMs) {
        std::unique_lock<std::mutex> l(mLock);
        return mCond.wait_for(l, std::chrono::milliseconds(timeoutMs), [&] { return mMarks >= n; });
    }
    std::mutex mLock;
    std::condition_variable mCond;
    uint64_t mMarks = 0;
};

MarkCounter* gCallback = nullptr;
uint64_t gMarksSent = 0;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    twfuzz::Env& env = twfuzz::env();
    if (gCallback == nullptr) {
        gCallback = new MarkCounter;
        gCallback->incStrong(nullptr);  // kept for the life of the process
        env.hal->setLpwgCallback(gCallback);
        if (!twsim::waitForUeventListeners(*env.sim, 1, 5000)) abort();
    }
    if (size > twsim::kMaxUeventMessage) return 0;
    twsim::sendUevent(*env.sim, std::string(reinterpret_cast<const char*>(data), size));
    if (twsim::sendUevent(*env.sim, twsim::touchUevent(kMarkValue)) > 0) gMarksSent++;
    // The worker answers every message; one that never reaches its mark is
    // a stuck worker, which is a finding.
    if (!gCallback->waitMarks(gMarksSent, 10000)) {
        fprintf(stderr, "uevent worker stopped answering\n");
        abort();
    }
    twfuzz::settle();
    return 0;
}
