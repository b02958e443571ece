/*
 * Copyright (C) 2026 The Twinel HAL Authors
 *
 * Licensed under the Apache License, Version 2.0 (the "License");
 * you may not use this file except in compliance with the License.
 */

// libcutils' trace API for the workstation build: the same tags, macros and
// functions a vendor module of Android 11 uses, so the same ATRACE_* lines
// build in both trees. On a phone the events go to the kernel's trace
// buffer; here they go, when TWINEL_TRACE names a file, to a Chrome/Perfetto
// JSON trace (see twcutils/trace_file.h). Tracing is decided once per
// process: after the first check, a disabled trace point costs one atomic
// load and a test of a word that never changes again.

#ifndef _LIBS_CUTILS_TRACE_H
#define _LIBS_CUTILS_TRACE_H

#include <cutils/compiler.h>
#include <inttypes.h>
#include <stdbool.h>
#include <stdint.h>
#include <sys/cdefs.h>
#include <sys/types.h>

#ifdef __cplusplus
#include <atomic>
using std::atomic_bool;
using std::atomic_load_explicit;
using std::memory_order_acquire;
#else
#include <stdatomic.h>
#endif

__BEGIN_DECLS

// The tags: a module defines ATRACE_TAG to one of them before it includes
// this header.
#define ATRACE_TAG_NEVER 0
#define ATRACE_TAG_ALWAYS (1 << 0)
#define ATRACE_TAG_GRAPHICS (1 << 1)
#define ATRACE_TAG_INPUT (1 << 2)
#define ATRACE_TAG_VIEW (1 << 3)
#define ATRACE_TAG_WEBVIEW (1 << 4)
#define ATRACE_TAG_WINDOW_MANAGER (1 << 5)
#define ATRACE_TAG_ACTIVITY_MANAGER (1 << 6)
#define ATRACE_TAG_SYNC_MANAGER (1 << 7)
#define ATRACE_TAG_AUDIO (1 << 8)
#define ATRACE_TAG_VIDEO (1 << 9)
#define ATRACE_TAG_CAMERA (1 << 10)
#define ATRACE_TAG_HAL (1 << 11)
#define ATRACE_TAG_APP (1 << 12)
#define ATRACE_TAG_RESOURCES (1 << 13)
#define ATRACE_TAG_DALVIK (1 << 14)
#define ATRACE_TAG_RS (1 << 15)
#define ATRACE_TAG_BIONIC (1 << 16)
#define ATRACE_TAG_POWER (1 << 17)
#define ATRACE_TAG_PACKAGE_MANAGER (1 << 18)
#define ATRACE_TAG_SYSTEM_SERVER (1 << 19)
#define ATRACE_TAG_DATABASE (1 << 20)
#define ATRACE_TAG_NETWORK (1 << 21)
#define ATRACE_TAG_ADB (1 << 22)
#define ATRACE_TAG_VIBRATOR (1 << 23)
#define ATRACE_TAG_AIDL (1 << 24)
#define ATRACE_TAG_NNAPI (1 << 25)
#define ATRACE_TAG_RRO (1 << 26)
#define ATRACE_TAG_LAST ATRACE_TAG_RRO

#define ATRACE_TAG_NOT_READY (1ULL << 63)
#define ATRACE_TAG_VALID_MASK ((ATRACE_TAG_LAST - 1) | ATRACE_TAG_LAST)

#ifndef ATRACE_TAG
#define ATRACE_TAG ATRACE_TAG_NEVER
#elif ATRACE_TAG > ATRACE_TAG_VALID_MASK
#error ATRACE_TAG must be one of the tags defined in cutils/trace.h
#endif

// Decides whether this process traces and opens its trace file; the first
// trace check calls it.
void atrace_setup();
// Tags are fixed for the life of the process here: nothing to update.
void atrace_update_tags();
// Accepted for the API; every process may trace here.
void atrace_set_debuggable(bool debuggable);
// false stops this process's tracing for good.
void atrace_set_tracing_enabled(bool enabled);

// Set once atrace_setup() has decided; atrace_enabled_tags is final then.
extern atomic_bool atrace_is_ready;
// The tags traced: zero when this process does not trace.
extern uint64_t atrace_enabled_tags;
// The trace file's descriptor while one is open, otherwise -1.
extern int atrace_marker_fd;

#define ATRACE_INIT() atrace_init()
#define ATRACE_GET_ENABLED_TAGS() atrace_get_enabled_tags()

static inline void atrace_init() {
    if (CC_UNLIKELY(!atomic_load_explicit(&atrace_is_ready, memory_order_acquire))) {
        atrace_setup();
    }
}

static inline uint64_t atrace_get_enabled_tags() {
    atrace_init();
    return atrace_enabled_tags;
}

#define ATRACE_ENABLED() atrace_is_tag_enabled(ATRACE_TAG)
static inline uint64_t atrace_is_tag_enabled(uint64_t tag) {
#ifdef TWINEL_NO_TRACE_POINTS
    // Built without trace points: every ATRACE_* line is dead code.
    (void)tag;
    return 0;
#else
    return atrace_get_enabled_tags() & tag;
#endif
}

void atrace_begin_body(const char* name);
void atrace_end_body();
void atrace_async_begin_body(const char* name, int32_t cookie);
void atrace_async_end_body(const char* name, int32_t cookie);
void atrace_int_body(const char* name, int32_t value);
void atrace_int64_body(const char* name, int64_t value);

// A slice on the calling thread; slices nest and end in reverse order.
#define ATRACE_BEGIN(name) atrace_begin(ATRACE_TAG, name)
static inline void atrace_begin(uint64_t tag, const char* name) {
    if (CC_UNLIKELY(atrace_is_tag_enabled(tag))) atrace_begin_body(name);
}

#define ATRACE_END() atrace_end(ATRACE_TAG)
static inline void atrace_end(uint64_t tag) {
    if (CC_UNLIKELY(atrace_is_tag_enabled(tag))) atrace_end_body();
}

// An event that may end on another thread; name and cookie pair the ends.
#define ATRACE_ASYNC_BEGIN(name, cookie) atrace_async_begin(ATRACE_TAG, name, cookie)
static inline void atrace_async_begin(uint64_t tag, const char* name, int32_t cookie) {
    if (CC_UNLIKELY(atrace_is_tag_enabled(tag))) atrace_async_begin_body(name, cookie);
}

#define ATRACE_ASYNC_END(name, cookie) atrace_async_end(ATRACE_TAG, name, cookie)
static inline void atrace_async_end(uint64_t tag, const char* name, int32_t cookie) {
    if (CC_UNLIKELY(atrace_is_tag_enabled(tag))) atrace_async_end_body(name, cookie);
}

// A counter's new value.
#define ATRACE_INT(name, value) atrace_int(ATRACE_TAG, name, value)
static inline void atrace_int(uint64_t tag, const char* name, int32_t value) {
    if (CC_UNLIKELY(atrace_is_tag_enabled(tag))) atrace_int_body(name, value);
}

#define ATRACE_INT64(name, value) atrace_int64(ATRACE_TAG, name, value)
static inline void atrace_int64(uint64_t tag, const char* name, int64_t value) {
    if (CC_UNLIKELY(atrace_is_tag_enabled(tag))) atrace_int64_body(name, value);
}

__END_DECLS

#endif  // _LIBS_CUTILS_TRACE_H
