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

void atHistoryRecord(const char* cmd, int32_t result, int err, int64_t durationUs);
std::string atHistoryDump();

}  // namespace implementation
}  // namespace V1_1
}  // namespace twinel
}  // namespace hardware
}  // namespace zyr
}  // namespace vendor
