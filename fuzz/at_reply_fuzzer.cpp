/*
 * Copyright (C) 2026 The Twinel HAL Authors
 *
 * Licensed under the Apache License, Version 2.0 (the "License");
 * you may not use this file except in compliance with the License.
 */

// The AT channel's reply handling: the input is what the accessory's
// firmware writes back to one command, byte for byte, on the pseudo-
// terminal the service has set up with the phone's line settings. The
// command goes through sendAtCommand with a callback, so the streamed
// lines are relayed too. "\r\nERROR\r\n" follows every input so that an
// unterminated reply ends at once instead of after the exchange's time-out
// (whose recovery path re-enumerates the accessory).

#include <vendor/zyr/hardware/twinel/1.0/ITwinelAtCallback.h>

#include "fuzz_env.h"

using ::android::hardware::hidl_string;
using ::android::hardware::Return;
using ::android::hardware::Void;
using ::vendor::zyr::hardware::twinel::V1_0::ITwinelAtCallback;
using ::vendor::zyr::hardware::twinel::V1_0::Status;

namespace {

struct LineSink : ITwinelAtCallback {
    Return<void> responseAtCommand(const hidl_string& line) override {
        mBytes += line.size();
        return Void();
    }
    size_t mBytes = 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    twfuzz::Env& env = twfuzz::env();
    static ::android::sp<LineSink> sink = new LineSink;

    twsim::AtScript script;
    script.match = "AT%FUZZ";
    script.action = twsim::AtScript::Action::Raw;
    script.text.assign(reinterpret_cast<const char*>(data), size);
    script.text += "\r\nERROR\r\n";
    env.sim->setAtScript(script);

    env.hal->sendAtCommand("AT%FUZZ", sink, [](Status, const hidl_string&) {});
    twfuzz::settle();
    return 0;
}
