/*
 * Copyright (C) 2026 The Twinel HAL Authors
 *
 * Licensed under the Apache License, Version 2.0 (the "License");
 * you may not use this file except in compliance with the License.
 */

#pragma once

#include <stdint.h>

#include <string>

namespace vendor {
namespace zyr {
namespace hardware {
namespace twinel {
namespace V1_1 {
namespace implementation {

// The last AT exchanges, kept for bug reports (debug dump).
constexpr size_t kAtHistorySize = 32;

// How long an AT exchange waits for the accessory. A reply line has 5 s; the
// accessory's own log lines before the echo do not give it more. The
// commands of AtCmdTimeoutException (the touch self tests, the self-test
// report, the touch firmware upgrade) have no time-out of their own: a touch
// self test runs for seconds, the touch firmware upgrade, the slowest of
// them, for some tens of seconds. Past the exchange limit the accessory is
// taken as stuck, for these and for every other exchange, and the link is
// recovered as after any time-out.
constexpr int kAtLineTimeoutMs = 5000;
constexpr int kAtExchangeLimitMs = 120 * 1000;

void atHistoryRecord(const char* cmd, int32_t result, int err, int64_t durationUs);
std::string atHistoryDump();

}  // namespace implementation
}  // namespace V1_1
}  // namespace twinel
}  // namespace hardware
}  // namespace zyr
}  // namespace vendor
