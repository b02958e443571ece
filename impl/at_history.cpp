/*
 * Copyright (C) 2026 The Twinel HAL Authors
 *
 * Licensed under the Apache License, Version 2.0 (the "License");
 * you may not use this file except in compliance with the License.
 */

// The last AT exchanges with their outcome, kept for the debug dump.

#define LOG_TAG "vendor.zyr.hardware.twinel@1.1-service"

#include "at_history.h"

#include <stdio.h>
#include <string.h>
#include <time.h>

#include <mutex>

namespace vendor {
namespace zyr {
namespace hardware {
namespace twinel {
namespace V1_1 {
namespace implementation {

namespace {

int64_t nowUs() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000000 + ts.tv_nsec / 1000;
}

struct AtHistoryEntry {
    char cmd[64];
    int32_t result;
    int err;
    int64_t durationUs;
    int64_t whenUs;
};
// The ring and its counters; under sAtHistoryLock.
std::mutex sAtHistoryLock;
AtHistoryEntry sAtHistory[kAtHistorySize];
size_t sAtHistoryNext = 0;
size_t sAtHistoryCount = 0;
}  // namespace

void atHistoryRecord(const char* cmd, int32_t result, int err, int64_t durationUs) {
    std::lock_guard<std::mutex> lock(sAtHistoryLock);
    AtHistoryEntry& e = sAtHistory[sAtHistoryNext];
    size_t n = strcspn(cmd, "\r");
    if (n >= sizeof(e.cmd)) n = sizeof(e.cmd) - 1;
    memcpy(e.cmd, cmd, n);
    e.cmd[n] = '\0';
    e.result = result;
    e.err = err;
    e.durationUs = durationUs;
    e.whenUs = nowUs();
    sAtHistoryNext = (sAtHistoryNext + 1) % kAtHistorySize;
    if (sAtHistoryCount < kAtHistorySize) sAtHistoryCount++;
}

std::string atHistoryDump() {
    std::lock_guard<std::mutex> lock(sAtHistoryLock);
    std::string out = "AT exchanges (last " + std::to_string(sAtHistoryCount) + "):\n";
    int64_t now = nowUs();
    size_t first = (sAtHistoryNext + kAtHistorySize - sAtHistoryCount) % kAtHistorySize;
    for (size_t i = 0; i < sAtHistoryCount; i++) {
        const AtHistoryEntry& e = sAtHistory[(first + i) % kAtHistorySize];
        char line[256];
        snprintf(line, sizeof(line), "  -%7.3fs  %-32s result=%d errno=%d (%s) %.3fms\n",
                 (now - e.whenUs) / 1e6, e.cmd, e.result, e.err, e.err ? strerror(e.err) : "-",
                 e.durationUs / 1000.0);
        out += line;
    }
    return out;
}

}  // namespace implementation
}  // namespace V1_1
}  // namespace twinel
}  // namespace hardware
}  // namespace zyr
}  // namespace vendor
