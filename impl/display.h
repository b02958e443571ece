/*
 * Copyright (C) 2026 The Twinel HAL Authors
 *
 * Licensed under the Apache License, Version 2.0 (the "License");
 * you may not use this file except in compliance with the License.
 */

#pragma once

// Cover display module: process-wide state of the cover screen (connection,
// power, brightness, colour). Started and stopped with the AT channel.

#include <pthread.h>
#include <stdint.h>
#include <vendor/zyr/hardware/twinel/1.0/types.h>

#include <atomic>
#include <deque>

namespace vendor {
namespace zyr {
namespace hardware {
namespace twinel {
namespace V1_1 {
namespace implementation {

struct Twinel;

// Size of every reply buffer of the module (the cutout included).
#define TW2_RESP_SIZE 1024
// Brightness levels waiting for the worker, at most.
#define BR_ARR_MAX 20

// Colour settings, each with the flag telling that the accessory has not
// been sent its current value yet.
struct sPrgb {
    uint32_t value[4];
    bool dirty;
};

struct sScreentune {
    uint32_t value[3];
    bool dirty;
};

struct sScreenmode {
    int32_t mode;  // ScreenMode
    bool dirty;
};

// ---- module state ----
// The HAL object the module works for; written by tw2_display_init/deinit
// (notify thread), read by the colour commands.
extern std::atomic<Twinel*> tw2_hal;
// Written by tw2_display_init/deinit (notify thread); read anywhere.
extern std::atomic<bool> tw2_initialized;
// Changed under tw2_display_mutex by setPowerStatus and
// tw2_display_deinit; read anywhere.
extern std::atomic<bool> tw2_enabled;
// Live brightness state; guarded by tw2_display_mutex.
extern ::vendor::zyr::hardware::twinel::V1_0::TwinelStatus tw2_status;
// Guards tw2_status, the brightness queue and the colour snapshot. Never
// held across an AT exchange.
extern pthread_mutex_t tw2_display_mutex;
// The cutout description as the accessory gave it (one guard byte keeps it
// terminated whatever the accessory sends). Written under the module's
// cutout lock (tw2_display_init, getCoverDisplayCutout) until store_cutout
// is set; fixed from then on, and read without a lock only then.
extern char cutout[TW2_RESP_SIZE + 1];
extern std::atomic<bool> store_cutout;

// Brightness queue and worker; guarded by tw2_display_mutex.
extern std::deque<int32_t> br_arr;
extern int32_t br_offset_count;
extern pthread_cond_t brightness_cond;
// The worker: created once by tw2_display_init, joined once by
// tw2_display_shutdown (both under the module's thread lock);
// b_created_brightnessThread is read anywhere.
extern pthread_t mBrightnessThread;
extern std::atomic<bool> b_created_brightnessThread;

// Colour settings, written and read by the binder thread only (the colour
// setters, setPowerStatus, debug()); the snapshot taken at power-off
// (old_*) under tw2_display_mutex, which the binder thread also holds when
// it compares or copies the current settings.
extern sPrgb prgb;
extern sPrgb old_prgb;
extern sScreentune screentune;
extern sScreentune old_screentune;
extern sScreenmode smode;
extern sScreenmode old_smode;

// ---- module functions ----
void tw2_display_init(void* hal);
void tw2_display_deinit(void* hal);
bool tw2connected();

// Stops BrightnessThread and waits for it; the worker otherwise lives as
// long as the process. Levels still queued are dropped; an AT exchange in
// progress is finished first. Run at process exit (registered when the worker
// starts) and by tests; once stopped the worker is not started again.
void tw2_display_shutdown();

// Waits, polling, at most timeoutMs until the brightness worker has sent
// every queued level (or the queue was emptied). 0 when it has, -ETIMEDOUT,
// or -ENODEV when levels are queued and no worker runs to send them. For an in-process client
// about to exit; never called by the service.
int32_t tw2_display_wait_brightness_sent(int32_t timeoutMs);

// Maps `level` through the brightness offset of tw2_status; `max` 0 means
// 255. Call with tw2_display_mutex held. The result is never below 10 and
// never above the larger of the maximum and 10.
int32_t br_to_offset_br(int32_t level, int32_t max);
void* BrightnessThread(void* hal);

bool color_mode_changed();
void tw2_display_color_control();
int32_t tw2_display_color_mode_send(const char* cmd);
void screenmode_reset(sScreenmode& mode, sPrgb& rgb, sScreentune& tune);

}  // namespace implementation
}  // namespace V1_1
}  // namespace twinel
}  // namespace hardware
}  // namespace zyr
}  // namespace vendor
