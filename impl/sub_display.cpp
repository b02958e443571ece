/*
 * Copyright (C) 2026 The Twinel HAL Authors
 *
 * Licensed under the Apache License, Version 2.0 (the "License");
 * you may not use this file except in compliance with the License.
 */

// The sub display: its double-buffered frame pipeline (drawSubDisplay packs a
// frame into a free buffer and returns; subDisplayUpdateThread sends filled
// buffers as HID reports), its power sequence and state, and the state
// callback.

#define LOG_TAG "vendor.zyr.hardware.twinel@1.1-service"
#define ATRACE_TAG ATRACE_TAG_HAL

#include "sub_display.h"

#include <errno.h>
#include <inttypes.h>
#include <limits.h>
#include <log/log.h>
#include <string.h>
#include <time.h>
#include <utils/Trace.h>

#if defined(__SSE2__) && defined(__x86_64__)
#include <emmintrin.h>
#endif

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>

#include "Twinel.h"
#include "dump.h"
#include "hid_display.h"
#include "mutex_lock.h"

namespace vendor {
namespace zyr {
namespace hardware {
namespace twinel {
namespace V1_1 {
namespace implementation {

// Failed frame transfers retried in the life of one frame thread.
#define SUB_DISPLAY_MAX_RETRY 6
// Brightness the panel gets with a power-on.
#define SUB_DISPLAY_DEFAULT_BRIGHTNESS 90
// Time the panel is given to settle after a power change.
#define SUB_DISPLAY_SETTLE_MS 500
// Longest wait of a new panel's automatic power-on for a power sequence
// that is still ending: the settle time plus a HID exchange and a frame
// thread's join, with room to spare.
#define SUB_DISPLAY_SEQUENCE_WAIT_MS 3000

PaletteBuffer palette_buffer[2] = {
        {0, PTHREAD_MUTEX_INITIALIZER, BUFFER_FREE, new uint8_t[SUB_DISPLAY_FRAME_SIZE](),
         SUB_DISPLAY_FRAME_SIZE},
        {1, PTHREAD_MUTEX_INITIALIZER, BUFFER_FREE, new uint8_t[SUB_DISPLAY_FRAME_SIZE](),
         SUB_DISPLAY_FRAME_SIZE},
};
uint8_t cur_buffer_index = 0;
pthread_mutex_t mSubDisplayUpdateThreadMutex = PTHREAD_MUTEX_INITIALIZER;
pthread_cond_t mSubDisplayUpdateThreadCond = PTHREAD_COND_INITIALIZER;
std::atomic<bool> sub_display_destroyThread{false};
SubScreenInfo sub_screen_info = {};
int32_t subScreen_status = static_cast<int32_t>(SubScreenState::NONE);
std::atomic<Twinel*> local_tw{nullptr};
std::atomic<bool> power_state_in_progress{false};
bool updateThreadCreated = false;

// Serialises starting and stopping the frame thread (a power sequence on the
// binder thread against a detach on the notification thread), so that the
// thread is never joined twice nor its stop request undone while it is
// being stopped. Taken before mSubDisplayUpdateThreadMutex; never held by
// the frame thread.
static pthread_mutex_t sub_display_thread_mutex = PTHREAD_MUTEX_INITIALIZER;

// Attach generation: changed together with the state (under
// mSubDisplayMutex) by every init and deinit, so a power sequence can tell
// that the panel it started on went away even when another one has come up
// since. Atomic because the settle wait reads it under its own lock.
static std::atomic<uint32_t> sub_display_generation{0};
// Leaf lock of the condition below; nothing else is taken while it is held.
static std::mutex power_sequence_lock;
// Signalled when the generation changes (a settle wait ends early) and when
// a power sequence ends (a new panel's power-on may go ahead).
static std::condition_variable power_sequence_cond;

// What the debug dump tells about the frames: counted where each frame's fate
// is decided, read without a lock.
static std::atomic<uint64_t> sFramesSent{0};
static std::atomic<uint64_t> sFramesReplaced{0};  // a waiting frame overwritten by a newer one
static std::atomic<uint64_t> sFramesDropped{0};   // given up after the failed retries
static std::atomic<uint64_t> sDrawsRefused{0};    // drawSubDisplay answered 1
// Retries left to the frame thread that runs (or ran last).
static std::atomic<int> sRetriesLeft{SUB_DISPLAY_MAX_RETRY};

static void wakePowerSequenceWaiters() {
    { std::lock_guard<std::mutex> lock(power_sequence_lock); }
    power_sequence_cond.notify_all();
}

static double monotonicRawNs() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC_RAW, &ts);
    return static_cast<double>(ts.tv_sec) * 1e9 + static_cast<double>(ts.tv_nsec);
}

// ---------------------------------------------------------------------------
// Frame buffers

void setBufferState(uint8_t index, BufferState state) {
    if (index > 1) {
        ALOGE("Buffer index is out of bounce!");
        ALOGE("There is no buffer indicated idx %d!", index);
        return;
    }
    PaletteBuffer& buffer = palette_buffer[index];
    MutexLock lock(&buffer.lock, __func__);
    buffer.state = state;
}

BufferState getBufferState(uint8_t index) {
    if (index > 1) {
        ALOGE("Buffer index is out of bounce!");
        ALOGE("There is no buffer indicated idx %d!", index);
        return static_cast<BufferState>(0);  // never a valid state
    }
    PaletteBuffer& buffer = palette_buffer[index];
    MutexLock lock(&buffer.lock, __func__);
    return buffer.state;
}

#if defined(__SSE2__) && defined(__x86_64__)
// Sixteen pixels to their eight packed bytes, in pair order, in the low
// 8 bits of each 16-bit lane: bits 4-7 of every pixel are kept and narrowed
// to one byte each (nibble << 4); in each lane the second pixel's byte then
// gives its nibble to the first's.
static inline __m128i packPairs16(const uint32_t* p) {
    const __m128i keep = _mm_set1_epi32(0xF0);
    __m128i a = _mm_and_si128(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)), keep);
    __m128i b = _mm_and_si128(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 4)), keep);
    __m128i c = _mm_and_si128(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 8)), keep);
    __m128i d = _mm_and_si128(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 12)), keep);
    __m128i nibbles = _mm_packus_epi16(_mm_packs_epi32(a, b), _mm_packs_epi32(c, d));
    return _mm_and_si128(_mm_or_si128(nibbles, _mm_srli_epi16(nibbles, 12)), _mm_set1_epi16(0xFF));
}
#endif

void sub_display_pack(const uint32_t* pixels, size_t count, uint8_t* out) {
    // Pixel pair k (pixels 2k and 2k + 1) goes to byte half - 1 - k.
    uint8_t* dst = out + count / 2;
    const uint32_t* p = pixels;
#if defined(__SSE2__) && defined(__x86_64__)
    // Thirty-two pixels a round, stored byte-reversed below the previous
    // sixteen bytes: GCC does not vectorise the plain loop below (clang
    // does), and the drawer's whole work is this pass.
    for (const uint32_t* end = pixels + (count & ~static_cast<size_t>(31)); p != end; p += 32) {
        __m128i bytes = _mm_packus_epi16(packPairs16(p), packPairs16(p + 16));
        uint64_t first = __builtin_bswap64(static_cast<uint64_t>(_mm_cvtsi128_si64(bytes)));
        uint64_t second = __builtin_bswap64(
                static_cast<uint64_t>(_mm_cvtsi128_si64(_mm_unpackhi_epi64(bytes, bytes))));
        dst -= 2 * sizeof(uint64_t);
        memcpy(dst, &second, sizeof(second));
        memcpy(dst + sizeof(second), &first, sizeof(first));
    }
#endif
    const uint32_t* end = pixels + (count & ~static_cast<size_t>(1));
    for (; p != end; p += 2) {
        *--dst = static_cast<uint8_t>((p[0] & 0xF0) | ((p[1] >> 4) & 0x0F));
    }
}

// ---------------------------------------------------------------------------
// State and callback

// Tells the registered callback `state` (a one-way call). Under
// mSubDisplayMutex, which guards the callback.
static void notifyStateLocked(Twinel* hal, SubScreenState state) {
    ATRACE_INT("sub display state", static_cast<int32_t>(state));
    if (hal->mSubDisplayCallback == nullptr) return;
    Return<void> ret = hal->mSubDisplayCallback->notifyStateChanged(state);
    if (!ret.isOk()) {
        ALOGE("%s: failed to notify state %d: %s", "setSubDisplayState",
              static_cast<int32_t>(state), ret.description().c_str());
    }
}

void Twinel::setSubDisplayState(SubScreenState state) {
    MutexLock lock(&mSubDisplayMutex, "setSubDisplayState");
    subScreen_status = static_cast<int32_t>(state);
    notifyStateLocked(this, state);
}

SubScreenState Twinel::getSubDisplayState() {
    MutexLock lock(&mSubDisplayMutex, "getSubDisplayState");
    return static_cast<SubScreenState>(subScreen_status);
}

// The state together with the panel description it belongs to.
static SubScreenState readSubDisplay(Twinel* hal, SubScreenInfo* info) {
    MutexLock lock(&hal->mSubDisplayMutex, "getSubDisplayState");
    *info = sub_screen_info;
    return static_cast<SubScreenState>(subScreen_status);
}

// The state and the attach generation it belongs to.
static SubScreenState readSubDisplayGeneration(Twinel* hal, uint32_t* generation) {
    MutexLock lock(&hal->mSubDisplayMutex, "getSubDisplayState");
    *generation = sub_display_generation;
    return static_cast<SubScreenState>(subScreen_status);
}

// An attach or a detach: stores `state`, starts a new generation and tells
// the callback, all under mSubDisplayMutex; then wakes a power sequence
// that waits on the panel which was there before.
static void setAttachState(Twinel* hal, SubScreenState state) {
    {
        MutexLock lock(&hal->mSubDisplayMutex, "setSubDisplayState");
        subScreen_status = static_cast<int32_t>(state);
        sub_display_generation++;
        notifyStateLocked(hal, state);
    }
    wakePowerSequenceWaiters();
}

// Completes a power sequence: sets `state` unless the panel the sequence
// started on (attach `generation`) went away meanwhile, in which case
// nothing changes and false is returned. The sequence counts as over once
// the new state is stored: a client that reacts to the notification with a
// power request of its own is served, not dropped (it reads the state under
// the same lock, after it).
static bool setSubDisplayStateIfPresent(Twinel* hal, SubScreenState state, uint32_t generation) {
    bool present;
    {
        MutexLock lock(&hal->mSubDisplayMutex, "setSubDisplayState");
        present = sub_display_generation == generation &&
                  subScreen_status != static_cast<int32_t>(SubScreenState::NONE);
        if (present) {
            subScreen_status = static_cast<int32_t>(state);
            power_state_in_progress = false;
            notifyStateLocked(hal, state);
        }
    }
    if (present) wakePowerSequenceWaiters();
    return present;
}

// The settle time after a power change; ends early when the panel of attach
// `generation` goes away. True when the panel is still there.
static bool settle(uint32_t generation) {
    std::unique_lock<std::mutex> lock(power_sequence_lock);
    return !power_sequence_cond.wait_for(lock, std::chrono::milliseconds(SUB_DISPLAY_SETTLE_MS),
                                         [&] { return sub_display_generation != generation; });
}

Return<void> Twinel::setSubDisplayCallback(const sp<ITwinelSubDisplayCallback>& callback) {
    MutexLock lock(&mSubDisplayMutex, __func__);
    ALOGI("registering callback");
    mSubDisplayCallback = callback;
    return Void();
}

// ---------------------------------------------------------------------------
// Frame thread

// Starts the frame thread on `hal` unless it runs already.
static void startUpdateThread(Twinel* hal, const char* func) {
    MutexLock lifecycle(&sub_display_thread_mutex, func);
    bool running;
    {
        MutexLock lock(&mSubDisplayUpdateThreadMutex, func);
        running = updateThreadCreated;
    }
    if (!running) {
        sub_display_destroyThread = false;
        int ret = pthread_create(&hal->mSubDisplayUpdateThread, nullptr,
                                 Twinel::subDisplayUpdateThread, hal);
        {
            MutexLock lock(&mSubDisplayUpdateThreadMutex, func);
            updateThreadCreated = ret == 0;
        }
        if (ret != 0) ALOGE("Failed to create sub display pthread: %s", strerror(ret));
    }
}

// Stops the frame thread of `hal` (if it runs) and waits for it; a frame on
// the wire is finished first.
static void stopUpdateThread(Twinel* hal, const char* func) {
    MutexLock lifecycle(&sub_display_thread_mutex, func);
    // Set again under the lifecycle lock: no power-on can undo it from here.
    sub_display_destroyThread = true;
    MutexLock lock(&mSubDisplayUpdateThreadMutex, func);
    if (updateThreadCreated) {
        pthread_cond_signal(&mSubDisplayUpdateThreadCond);
        lock.unlock();
        int ret = pthread_join(hal->mSubDisplayUpdateThread, nullptr);
        if (ret != 0) ALOGE("%s: failed to join the sub display thread: %s", func, strerror(ret));
        lock.lock();
        updateThreadCreated = false;
    }
}

void* Twinel::subDisplayUpdateThread(void* arg) {
    pthread_setname_np(pthread_self(), "subdisplay");
    Twinel* hal = static_cast<Twinel*>(arg);
    ALOGI("Sub DISPLAY UPDATE Thread is running, sub_display_destroyThread : %d",
          sub_display_destroyThread.load());

    // One budget for the whole life of the thread, not one per frame.
    int retry = 0;
    sRetriesLeft = SUB_DISPLAY_MAX_RETRY;
    while (!sub_display_destroyThread) {
        MutexLock lock(&mSubDisplayUpdateThreadMutex, __func__);
        // Tested under the mutex: a stop request signalled before this
        // thread waits is not lost.
        if (sub_display_destroyThread) break;
        int index;
        if (getBufferState(0) == BUFFER_FILLED) {
            index = 0;
        } else if (getBufferState(1) == BUFFER_FILLED) {
            index = 1;
        } else {
            ALOGI("There is no buffer to be consumed.");
            int ret =
                    pthread_cond_wait(&mSubDisplayUpdateThreadCond, &mSubDisplayUpdateThreadMutex);
            if (ret == EINVAL) {
                ALOGE("The value specified by abstime, cond or mutex is invalid.\n");
            } else if (ret == EPERM) {
                ALOGE("The mutex was not owned by the current thread at the time of the call.\n");
            }
            continue;
        }
        // Claimed before the mutex is released: the drawer chooses its buffer
        // under the same mutex and never takes this one now.
        setBufferState(index, BUFFER_CONSUMING);
        lock.unlock();

        ALOGI("FB%d is being consumed.", index);
        PaletteBuffer& buffer = palette_buffer[index];
        double start = monotonicRawNs();
        for (;;) {
            int32_t ret = hal->hidDisplayPalette(buffer.size, 0, buffer.data);
            if (ret >= 0) {
                hal->hidDisplayPalette(0, 0, nullptr);
                double end = monotonicRawNs();
                ALOGI("HID-DISPLAY: write Palette done %.3fms", (end - start) / 1e6);
                sFramesSent.fetch_add(1, std::memory_order_relaxed);
                break;
            }
            if (retry >= SUB_DISPLAY_MAX_RETRY) {
                ALOGE("Could not send palette data.");
                sFramesDropped.fetch_add(1, std::memory_order_relaxed);
                break;
            }
            retry++;
            sRetriesLeft = SUB_DISPLAY_MAX_RETRY - retry;
            start = monotonicRawNs();
        }
        setBufferState(index, BUFFER_FREE);
    }

    ALOGI("Sub DISPLAY UPDATE Thread is over");
    return nullptr;
}

// ---------------------------------------------------------------------------
// Drawing

Return<Status> Twinel::drawSubDisplay(const hidl_vec<uint32_t>& pixels) {
    ALOGI("Draw Sub DISPLAY ++");
    // Every answer but the last one below refuses the frame.
    struct RefusedCount {
        bool refused = true;
        ~RefusedCount() {
            if (refused) sDrawsRefused.fetch_add(1, std::memory_order_relaxed);
        }
    } refusal;

    SubScreenInfo info;
    SubScreenState state = readSubDisplay(this, &info);
    if (state != SubScreenState::INITIALIZED && state != SubScreenState::ON) {
        ALOGE("Sub Panel is not ready state(%d). Could not request to draw.",
              static_cast<int32_t>(state));
        return Status::FAILURE;
    }

    // The frame is checked before a buffer is claimed, so a refused frame
    // never discards one that is still waiting to be sent.
    uint32_t panel = static_cast<uint32_t>(info.x) * info.y;
    if (panel > SUB_DISPLAY_MAX_PIXELS || (panel & 1) != 0) {
        ALOGE("Sub panel of %ux%u pixels does not fit the %d-byte frame buffer. "
              "Could not request to draw.",
              info.x, info.y, SUB_DISPLAY_FRAME_SIZE);
        ALOGI("Draw Sub DISPLAY --");
        return Status::FAILURE;
    }
    int screen = static_cast<int>(panel % 65536);
    size_t count = pixels.size();
    int input = static_cast<int>(std::min<size_t>(count, INT_MAX));
    if (static_cast<size_t>(screen) < count) {
        ALOGE("Input buffer size is overflow! screen buffer size = %d, input size = %d", screen,
              input);
        ALOGI("Draw Sub DISPLAY --");
        return Status::FAILURE;
    }
    if (static_cast<size_t>(screen) > count) {
        ALOGE("Input buffer size is underflow! screen buffer size = %d, input size = %d", screen,
              input);
        ALOGI("Draw Sub DISPLAY --");
        return Status::FAILURE;
    }

    // Choose a buffer and claim it in one step against the frame thread.
    MutexLock lock(&mSubDisplayUpdateThreadMutex, __func__);
    if (cur_buffer_index > 1) {
        ALOGE("Buffer index is out of bounce!");
        ALOGE("Buffer index is out of bounce!");
        ALOGE("There is no Palette Buffer. Try again later.");
        return Status::FAILURE;
    }
    int chosen = -1;
    BufferState current = getBufferState(cur_buffer_index);
    if (current != BUFFER_WRITING && current != BUFFER_CONSUMING) {
        // A frame still waiting here is replaced by the newer one.
        chosen = cur_buffer_index;
    } else {
        for (uint8_t i = 0; i < 2; i++) {
            BufferState s = getBufferState(i);
            if (s == BUFFER_FREE || s == BUFFER_FILLED) {
                chosen = i;
                current = s;
                break;
            }
        }
    }
    if (chosen >= 0 && current == BUFFER_FILLED) {
        sFramesReplaced.fetch_add(1, std::memory_order_relaxed);
    }
    if (chosen < 0) {
        ALOGE("There is no Writable Buffer. Try again later.");
        return Status::FAILURE;
    }
    uint8_t index = static_cast<uint8_t>(chosen);
    cur_buffer_index = index;
    setBufferState(index, BUFFER_WRITING);
    lock.unlock();

    if (count != 0) sub_display_pack(pixels.data(), count, palette_buffer[index].data);

    lock.lock();
    setBufferState(index, BUFFER_FILLED);
    cur_buffer_index = index;
    pthread_cond_signal(&mSubDisplayUpdateThreadCond);
    lock.unlock();

    refusal.refused = false;
    ALOGI("Draw Sub DISPLAY --");
    return Status::SUCCESS;
}

// ---------------------------------------------------------------------------
// Power and life cycle

int32_t Twinel::initSubDisplay(Twinel* hal, hid_display_report_info info) {
    ALOGI("initSubDisplay ++ ");

    local_tw = hal;
    {
        MutexLock lock(&mSubDisplayMutex, __func__);
        sub_screen_info.x = info.x;
        sub_screen_info.y = info.y;
        sub_screen_info.format = info.format;
    }

    sub_display_destroyThread = false;
    ALOGI("initSubDisplay : sub_display_destroyThread = %d", sub_display_destroyThread.load());

    setBufferState(0, BUFFER_FREE);
    setBufferState(1, BUFFER_FREE);

    setAttachState(this, SubScreenState::INITIALIZED);

    ALOGI("initSubDisplay -- ");

    // A power sequence started on the panel that was here before ends as soon
    // as it sees that panel gone; the new panel's power-on waits for it
    // rather than being refused as overlapping.
    {
        std::unique_lock<std::mutex> lock(power_sequence_lock);
        if (!power_sequence_cond.wait_for(lock,
                                          std::chrono::milliseconds(SUB_DISPLAY_SEQUENCE_WAIT_MS),
                                          [] { return !power_state_in_progress.load(); })) {
            ALOGE("%s: a power sequence is still under way after %d ms", __func__,
                  SUB_DISPLAY_SEQUENCE_WAIT_MS);
        }
    }

    // Through the interface, as any client would ask for it.
    Return<Status> ret = static_cast<V1_1::ITwinel*>(hal)->setSubDisplayPowerState(true);
    if (!ret.isOk()) ALOGE("%s: power-on failed: %s", __func__, ret.description().c_str());
    return 0;
}

int32_t Twinel::deinitSubDisplay() {
    if (getSubDisplayState() == SubScreenState::NONE) return 0;

    ALOGI("deinitSubDisplay ++ ");
    setAttachState(this, SubScreenState::NONE);

    sub_display_destroyThread = true;
    ALOGI("deinitSubDisplay : sub_display_destroyThread = %d", sub_display_destroyThread.load());
    Twinel* hal = local_tw.load();
    stopUpdateThread(hal != nullptr ? hal : this, __func__);

    setBufferState(0, BUFFER_FREE);
    setBufferState(1, BUFFER_FREE);

    ALOGI("deinitSubDisplay -- ");
    return 0;
}

Return<Status> Twinel::setSubDisplayPowerState(bool enable) {
    ALOGI("setSubDisplayPowerState ++, enable : %d", enable);
    ATRACE_NAME(enable ? "sub display power on" : "sub display power off");

    // Test and set in one step: of two overlapping power sequences the
    // second is refused: nothing of it is done.
    if (power_state_in_progress.exchange(true)) {
        ALOGE("Sub Display Power state is in progress...");
        return Status::FAILURE;
    }
    struct InProgress {
        bool held = true;
        ~InProgress() {
            if (!held) return;
            power_state_in_progress = false;
            wakePowerSequenceWaiters();
        }
    } inProgress;

    uint32_t generation;
    SubScreenState state = readSubDisplayGeneration(this, &generation);
    if (state == SubScreenState::NONE) {
        ALOGE("Sub Display is not initialized yet");
        return Status::FAILURE;
    }
    bool isOn = state == SubScreenState::ON;
    if (isOn == enable) {
        ALOGI("Same status is requested, cur_state : %d, isON : %d, enable : %d",
              static_cast<int32_t>(state), isOn ? 1 : 0, enable);
        return Status::FAILURE;
    }

    if (hidDisplaySetConfig(false, enable, enable ? SUB_DISPLAY_DEFAULT_BRIGHTNESS : 0) < 0) {
        ALOGI("setSubDisplayPowerState --");
        return Status::FAILURE;
    }

    Twinel* hal = local_tw.load();
    if (hal == nullptr) hal = this;
    if (enable) {
        startUpdateThread(hal, __func__);
    } else {
        sub_display_destroyThread = true;
        ALOGI("deinitSubDisplay : sub_display_destroyThread = %d",
              sub_display_destroyThread.load());
        stopUpdateThread(hal, __func__);
        setBufferState(0, BUFFER_FREE);
        setBufferState(1, BUFFER_FREE);
    }

    settle(generation);

    bool present = setSubDisplayStateIfPresent(
            this, enable ? SubScreenState::ON : SubScreenState::OFF, generation);
    // Released together with the state change when it was made.
    inProgress.held = !present;
    if (!present) {
        // The panel went away during the sequence (another may be attached
        // by now, waiting for this sequence to end); the tear-down has run,
        // so a thread started above for the old panel must not outlive it.
        ALOGE("Sub Display is not initialized yet");
        if (enable) stopUpdateThread(hal, __func__);
        ALOGI("setSubDisplayPowerState --");
        return Status::FAILURE;
    }

    ALOGI("setSubDisplayPowerState --");
    return Status::SUCCESS;
}

Return<Status> Twinel::setSubDisplayBrightness(int32_t value) {
    ALOGI("setSubDisplayBrightness ++, value : %d", value);
    SubScreenState state = getSubDisplayState();
    if (state == SubScreenState::NONE) {
        ALOGE("Sub Display is not initialized yet");
        return Status::FAILURE;
    }
    if (static_cast<uint32_t>(value) >= 256) {
        ALOGE("invalid brightness value:%d", value);
        return Status::FAILURE;
    }
    // A powered-off panel keeps its display-on bit clear.
    int32_t ret =
            hidDisplaySetConfig(false, state != SubScreenState::OFF, static_cast<uint8_t>(value));
    ALOGI("setSubDisplayBrightness --");
    return ret < 0 ? Status::FAILURE : Status::SUCCESS;
}

Return<void> Twinel::getSubDisplayInfo(getSubDisplayInfo_cb _hidl_cb) {
    SubScreenInfo info;
    SubScreenState state = readSubDisplay(this, &info);
    if (state == SubScreenState::NONE) {
        ALOGE("Sub Display is not initialized yet");
        _hidl_cb(Status::FAILURE, info);
    } else {
        _hidl_cb(Status::SUCCESS, info);
    }
    return Void();
}

Return<void> Twinel::getSubDisplayPowerState(getSubDisplayPowerState_cb _hidl_cb) {
    _hidl_cb(Status::SUCCESS, getSubDisplayState());
    return Void();
}

// ---------------------------------------------------------------------------
// Debug dump

static const char* bufferStateName(BufferState state) {
    switch (state) {
        case BUFFER_FREE:
            return "BUFFER_FREE";
        case BUFFER_WRITING:
            return "BUFFER_WRITING";
        case BUFFER_FILLED:
            return "BUFFER_FILLED";
        case BUFFER_CONSUMING:
            return "BUFFER_CONSUMING";
    }
    return "?";
}

static const char* subScreenStateName(int32_t state) {
    switch (state) {
        case 0:
            return "not present";
        case 1:
            return "initialised";
        case 2:
            return "off";
        case 3:
            return "on";
    }
    return "?";
}

std::string subDisplayDump(Twinel* hal) {
    std::string s = "Sub display\n";
    if (MutexLock lock(&hal->mSubDisplayMutex, "debug", kDumpLockWait); lock.owns()) {
        int32_t state = subScreen_status;
        SubScreenInfo info = sub_screen_info;
        bool callback = hal->mSubDisplayCallback != nullptr;
        lock.unlock();
        s += dumpPrintf(
                "  subScreen_status: %d (%s)  sub_screen_info: %ux%u format %u  callback: %s\n",
                state, subScreenStateName(state), info.x, info.y, info.format,
                callback ? "registered" : "none");
    } else {
        s += "  (mSubDisplayMutex busy: state, info and callback left out)\n";
    }
    s += dumpPrintf("  power_state_in_progress: %d  sub_display_destroyThread: %d\n",
                    power_state_in_progress.load(), sub_display_destroyThread.load());
    if (MutexLock lock(&mSubDisplayUpdateThreadMutex, "debug", kDumpLockWait); lock.owns()) {
        bool running = updateThreadCreated;
        uint8_t current = cur_buffer_index;
        lock.unlock();
        s += dumpPrintf("  subDisplayUpdateThread: %s  cur_buffer_index: %u\n",
                        running ? "running" : "not running", current);
    } else {
        s += "  (mSubDisplayUpdateThreadMutex busy: frame thread left out)\n";
    }
    for (uint8_t i = 0; i < 2; i++) {
        BufferState state = getBufferState(i);
        s += dumpPrintf("  FB%u: %s (%d), %u bytes per frame\n", i, bufferStateName(state), state,
                        palette_buffer[i].size);
    }
    s += dumpPrintf("  frames: sent %" PRIu64 "  replaced %" PRIu64 "  dropped %" PRIu64
                    "  refused %" PRIu64 "\n",
                    sFramesSent.load(), sFramesReplaced.load(), sFramesDropped.load(),
                    sDrawsRefused.load());
    s += dumpPrintf("  retry budget left: %d of %d\n", sRetriesLeft.load(), SUB_DISPLAY_MAX_RETRY);
    s += hidDisplayDump();
    return s;
}

void subDisplayResetCounters() {
    sFramesSent = 0;
    sFramesReplaced = 0;
    sFramesDropped = 0;
    sDrawsRefused = 0;
}

}  // namespace implementation
}  // namespace V1_1
}  // namespace twinel
}  // namespace hardware
}  // namespace zyr
}  // namespace vendor
