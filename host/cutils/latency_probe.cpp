/*
 * Copyright (C) 2026 The Twinel HAL Authors
 *
 * Licensed under the Apache License, Version 2.0 (the "License");
 * you may not use this file except in compliance with the License.
 */

// The latency probes' slots (see <twcutils/latency_probe.h>). Part of the
// shared twtrace library, so a process has one set however many of its
// libraries pass probes.

#define LOG_TAG "twprobe"

#include <errno.h>
#include <fcntl.h>
#include <log/log.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <time.h>
#include <twcutils/latency_probe.h>
#include <unistd.h>

#include <map>
#include <mutex>
#include <string>

namespace twcutils {

namespace {

constexpr size_t kSlots = 2 * kLatencyPointCount;
constexpr size_t kFileSize = 4096;
static_assert(kSlots * sizeof(int64_t) <= kFileSize, "the slots fit the file");

int64_t sPrivate[kSlots];

// Maps DIR/<pid>; creates it when `create`. Null on failure.
int64_t* mapSlots(pid_t pid, bool create) {
    const char* dir = getenv(kLatencyProbeEnv);
    if (dir == nullptr || dir[0] == '\0') return nullptr;
    std::string path = std::string(dir) + "/" + std::to_string(pid);
    int fd = open(path.c_str(), (create ? O_RDWR | O_CREAT : O_RDONLY) | O_CLOEXEC, 0644);
    if (fd < 0) return nullptr;
    if (create && ftruncate(fd, kFileSize) < 0) {
        ALOGE("latency probes: %s: %s", path.c_str(), strerror(errno));
        close(fd);
        return nullptr;
    }
    void* p = mmap(nullptr, kFileSize, create ? PROT_READ | PROT_WRITE : PROT_READ, MAP_SHARED, fd,
                   0);
    close(fd);
    return p == MAP_FAILED ? nullptr : static_cast<int64_t*>(p);
}

int64_t* ownSlots() {
    // Looked up once; a forked child keeps its parent's slots, which is
    // fine for the processes measured (none forks and goes on).
    static int64_t* slots = [] {
        int64_t* shared = mapSlots(getpid(), true);
        return shared != nullptr ? shared : sPrivate;
    }();
    return slots;
}

}  // namespace

void latencyProbe(int point) {
    if (point < 0 || point >= kLatencyPointCount) return;
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    int64_t* slots = ownSlots();
    __atomic_store_n(&slots[point], static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec,
                     __ATOMIC_RELEASE);
    __atomic_fetch_add(&slots[kLatencyPointCount + point], 1, __ATOMIC_RELAXED);
}

const volatile int64_t* latencyProbes(pid_t pid) {
    if (pid == getpid()) return ownSlots();
    static std::mutex lock;
    static std::map<pid_t, int64_t*> mapped;
    std::lock_guard<std::mutex> l(lock);
    auto it = mapped.find(pid);
    if (it != mapped.end()) return it->second;
    int64_t* slots = mapSlots(pid, false);
    if (slots != nullptr) mapped[pid] = slots;
    return slots;
}

}  // namespace twcutils
