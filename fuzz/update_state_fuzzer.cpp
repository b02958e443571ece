/*
 * Copyright (C) 2026 The Twinel HAL Authors
 *
 * Licensed under the Apache License, Version 2.0 (the "License");
 * you may not use this file except in compliance with the License.
 */

// The touch driver's update state node as tw_update_state() reads it: the
// input is the node's content. Whatever it holds, a call that reports
// success sent the accessory "AT%TCHUPDATE=UPDATE_STATE" followed only by
// comma-separated decimal numbers.

#include <stdio.h>
#include <stdlib.h>

#include "fuzz_env.h"

using ::vendor::zyr::hardware::twinel::V1_0::Status;

namespace {

bool wellFormed(const std::string& command) {
    static const std::string kHead = "AT%TCHUPDATE=UPDATE_STATE";
    if (command.compare(0, kHead.size(), kHead) != 0) return false;
    size_t i = kHead.size();
    while (i < command.size()) {
        if (command[i++] != ',') return false;
        if (i < command.size() && command[i] == '-') i++;
        size_t digits = 0;
        while (i < command.size() && command[i] >= '0' && command[i] <= '9') i++, digits++;
        if (digits == 0) return false;
    }
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    twfuzz::Env& env = twfuzz::env();
    if (!env.sim->setTouchUpdateState(std::string(reinterpret_cast<const char*>(data), size))) {
        return 0;
    }
    env.sim->clearAtCommands();
    Status status = env.hal->tw_update_state();
    if (status == Status::SUCCESS) {
        std::vector<twsim::AtRecord> commands = env.sim->atCommands();
        if (commands.empty() || !wellFormed(commands.back().command)) {
            fprintf(stderr, "tw_update_state succeeded with [%s]\n",
                    commands.empty() ? "" : commands.back().command.c_str());
            abort();
        }
    }
    twfuzz::settle();
    return 0;
}
