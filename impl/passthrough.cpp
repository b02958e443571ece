/*
 * Copyright (C) 2026 The Twinel HAL Authors
 *
 * Licensed under the Apache License, Version 2.0 (the "License");
 * you may not use this file except in compliance with the License.
 */

#define LOG_TAG "vendor.zyr.hardware.twinel@1.1-service"

#include "Twinel.h"
#include "display.h"

namespace vendor {
namespace zyr {
namespace hardware {
namespace twinel {
namespace V1_1 {
namespace implementation {

// Passthrough entry: each open builds a new object with its own USB threads.
extern "C" ITwinel* HIDL_FETCH_ITwinel(const char* /* name */) {
    return new Twinel();
}

// For a client that loaded this library and is about to exit: setBrightness
// only queues the level for a worker thread, which the exit would cut off.
// Waits at most timeoutMs for the worker to have sent every queued level;
// 0 when it has, -ETIMEDOUT, or -ENODEV when no worker runs (no accessory).
extern "C" int32_t twinel_passthrough_wait_brightness_sent(int32_t timeoutMs) {
    return tw2_display_wait_brightness_sent(timeoutMs);
}

}  // namespace implementation
}  // namespace V1_1
}  // namespace twinel
}  // namespace hardware
}  // namespace zyr
}  // namespace vendor
