/*
 * Copyright (C) 2026 The Twinel HAL Authors
 *
 * Licensed under the Apache License, Version 2.0 (the "License");
 * you may not use this file except in compliance with the License.
 */

#pragma once

// The one way the HAL holds its pthread mutexes: for a scope, released on
// every way out of it. A failed lock or unlock is logged with the name of the
// operation that asked for it, and the operation carries on, as it always has.
// Included by the HAL's own sources, after their LOG_TAG.

#include <errno.h>
#include <log/log.h>
#include <pthread.h>
#include <string.h>
#include <time.h>

#include <chrono>
#include <mutex>

namespace vendor {
namespace zyr {
namespace hardware {
namespace twinel {
namespace V1_1 {
namespace implementation {

class MutexLock {
  public:
    // Waits for the lock.
    MutexLock(pthread_mutex_t* mutex, const char* name) : mMutex(mutex), mName(name) { lock(); }

    // Takes the lock only when it is free; owns() tells.
    MutexLock(pthread_mutex_t* mutex, const char* name, std::try_to_lock_t)
        : mMutex(mutex), mName(name), mOwned(pthread_mutex_trylock(mutex) == 0) {}

    // Waits at most `wait` (a bug report must not hang on a stuck lock); a
    // lock not taken is logged as "<name>: lock not taken: <error>", and
    // owns() tells.
    MutexLock(pthread_mutex_t* mutex, const char* name, std::chrono::milliseconds wait)
        : mMutex(mutex), mName(name) {
        struct timespec deadline;
        clock_gettime(CLOCK_REALTIME, &deadline);
        long long ns = deadline.tv_nsec + static_cast<long long>(wait.count()) * 1000000;
        deadline.tv_sec += static_cast<time_t>(ns / 1000000000);
        deadline.tv_nsec = static_cast<long>(ns % 1000000000);
        int ret = pthread_mutex_timedlock(mMutex, &deadline);
        if (ret != 0) ALOGE("%s: lock not taken: %s", mName, strerror(ret));
        mOwned = ret == 0;
    }

    ~MutexLock() {
        if (mOwned) unlock();
    }

    MutexLock(const MutexLock&) = delete;
    MutexLock& operator=(const MutexLock&) = delete;

    void lock() {
        int ret = pthread_mutex_lock(mMutex);
        if (ret != 0) ALOGE("Error at pthread_mutex_lock() : %s\n", mName);
        mOwned = ret == 0;
    }

    void unlock() {
        mOwned = false;
        // errno is the caller's: a failure reported after the unlock keeps it.
        int saved = errno;
        int ret = pthread_mutex_unlock(mMutex);
        if (ret != 0) ALOGE("Error at pthread_mutex_unlock() : %s\n", mName);
        errno = saved;
    }

    bool owns() const { return mOwned; }

  private:
    pthread_mutex_t* const mMutex;
    const char* const mName;
    bool mOwned = false;
};

}  // namespace implementation
}  // namespace V1_1
}  // namespace twinel
}  // namespace hardware
}  // namespace zyr
}  // namespace vendor
