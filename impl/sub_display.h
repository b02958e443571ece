/*
 * Copyright (C) 2026 The Twinel HAL Authors
 *
 * Licensed under the Apache License, Version 2.0 (the "License");
 * you may not use this file except in compliance with the License.
 */

#pragma once

// Sub display module: the two frame buffers and their state machine, the
// frame thread's synchronisation, and the sub display's process-wide state.

#include <pthread.h>
#include <stddef.h>
#include <stdint.h>
#include <vendor/zyr/hardware/twinel/1.0/types.h>

#include <atomic>

namespace vendor {
namespace zyr {
namespace hardware {
namespace twinel {
namespace V1_1 {
namespace implementation {

struct Twinel;

// Bytes sent per frame: 4 bits per pixel of a panel of up to 16384 pixels.
#define SUB_DISPLAY_FRAME_SIZE 8192
#define SUB_DISPLAY_MAX_PIXELS (SUB_DISPLAY_FRAME_SIZE * 2)

enum BufferState : int32_t {
    BUFFER_FREE = 1,       // may be written; nothing pending
    BUFFER_WRITING = 2,    // drawSubDisplay is filling it
    BUFFER_FILLED = 3,     // holds a frame not yet sent
    BUFFER_CONSUMING = 4,  // subDisplayUpdateThread is sending it
};

struct PaletteBuffer {
    uint8_t index;
    pthread_mutex_t lock;
    BufferState state;  // read and written only under `lock`
    uint8_t* data;      // SUB_DISPLAY_FRAME_SIZE bytes, owned, never freed
    uint16_t size;      // bytes sent per frame
};

// A buffer's data belongs to whoever moved it into BUFFER_WRITING (the
// drawer) or BUFFER_CONSUMING (the frame thread), until it moves it on.
extern PaletteBuffer palette_buffer[2];
// The buffer drawSubDisplay filled last; under mSubDisplayUpdateThreadMutex.
extern uint8_t cur_buffer_index;
// Held by the frame thread while it looks for a filled buffer, and by the
// drawer while it chooses and claims one; taken before a buffer's own lock.
extern pthread_mutex_t mSubDisplayUpdateThreadMutex;
extern pthread_cond_t mSubDisplayUpdateThreadCond;
// Stop request for the frame thread; set by whoever stops it, cleared under
// sub_display_thread_mutex before it starts.
extern std::atomic<bool> sub_display_destroyThread;
// Panel description from the info report; under the HAL's mSubDisplayMutex.
extern ::vendor::zyr::hardware::twinel::V1_0::SubScreenInfo sub_screen_info;
// Sub display state (SubScreenState); under the HAL's mSubDisplayMutex.
extern int32_t subScreen_status;
// The HAL object the frame thread runs on; written by initSubDisplay
// (notify thread), read by the power sequence and the detach.
extern std::atomic<Twinel*> local_tw;
// A power sequence is under way; tested and set in one step by the
// sequence that runs, cleared by it when it ends.
extern std::atomic<bool> power_state_in_progress;
// The frame thread is running; under mSubDisplayUpdateThreadMutex.
extern bool updateThreadCreated;

void setBufferState(uint8_t index, BufferState state);
BufferState getBufferState(uint8_t index);

// Packs `count` pixels (count even, at most SUB_DISPLAY_MAX_PIXELS) into the
// panel's 4-bit layout: bits 4 to 7 of each pixel, two pixels per byte with
// the first of the pair in the high nibble, byte order reversed so that the
// first pair lands in byte count / 2 - 1 and the last in byte 0.
void sub_display_pack(const uint32_t* pixels, size_t count, uint8_t* out);

}  // namespace implementation
}  // namespace V1_1
}  // namespace twinel
}  // namespace hardware
}  // namespace zyr
}  // namespace vendor
