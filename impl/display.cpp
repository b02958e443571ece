/*
 * Copyright (C) 2026 The Twinel HAL Authors
 *
 * Licensed under the Apache License, Version 2.0 (the "License");
 * you may not use this file except in compliance with the License.
 */

#define LOG_TAG "vendor.zyr.hardware.twinel@1.1-service"
#define ATRACE_TAG ATRACE_TAG_HAL

#include "display.h"

#include <errno.h>
#include <log/log.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>
#include <utils/Trace.h>
#include <vendor/zyr/hardware/accessory/1.1/IAccessory.h>

#include <chrono>
#include <mutex>
#include <string>
#include <thread>

#include "Twinel.h"
#include "dump.h"
#include "mutex_lock.h"
#include "nodes.h"

namespace vendor {
namespace zyr {
namespace hardware {
namespace twinel {
namespace V1_1 {
namespace implementation {

using ::vendor::zyr::hardware::accessory::V1_1::IAccessory;

#define BR_MIN 10
#define BR_MAX 255
#define BR_OFFSET_BYPASS 100

#define HPD_TRIALS 10
#define HPD_INTERVAL_US (50 * 1000)
#define POWER_OFF_SETTLE_US (10 * 1000)
// Second value of getCoverDisplayConnection when the cover screen is there.
#define COVER_DISPLAY_CONNECTED 3

// ---------------------------------------------------------------------------
// Module state

std::atomic<Twinel*> tw2_hal{nullptr};
std::atomic<bool> tw2_initialized{false};
std::atomic<bool> tw2_enabled{false};
TwinelStatus tw2_status = {};
pthread_mutex_t tw2_display_mutex = PTHREAD_MUTEX_INITIALIZER;
char cutout[TW2_RESP_SIZE + 1] = {};
std::atomic<bool> store_cutout{false};

std::deque<int32_t> br_arr;
int32_t br_offset_count = 0;
pthread_cond_t brightness_cond = PTHREAD_COND_INITIALIZER;
pthread_t mBrightnessThread;
std::atomic<bool> b_created_brightnessThread{false};

sPrgb prgb = {{2, 0, 0, 0}, false};
sPrgb old_prgb = {{0, 0, 0, 0}, false};
sScreentune screentune = {{2, 2, 2}, false};
sScreentune old_screentune = {{0, 0, 0}, false};
sScreenmode smode = {0, false};
sScreenmode old_smode = {0, false};

// Serialises the reads of the cutout: the attach path and the binder thread
// may both fill the buffer. Taken before any AT command, never inside one.
static std::mutex cutout_mutex;

// Starting and stopping of the brightness worker.
static std::mutex br_thread_mutex;
static std::atomic<bool> br_thread_stop{false};
static bool br_thread_joinable = false;  // guarded by br_thread_mutex
// The worker has taken a level and not yet finished its AT exchange. Set
// under tw2_display_mutex together with the dequeue, so that "queue empty
// and not sending" read under that lock means every level went out.
static std::atomic<bool> br_sending{false};

// The power state and the uevent flag, as the tw2_pd node takes them.
static std::string powerText(bool on, bool uevent) {
    std::string text = on ? "1" : "0";
    text += " ";
    text += uevent ? "1" : "0";
    return text;
}

// ---------------------------------------------------------------------------
// Start and stop with the AT channel

void tw2_display_init(void* hal) {
    Twinel* twinel = static_cast<Twinel*>(hal);
    tw2_hal = twinel;
    ALOGI("tw2_display_init ++, tw2_initialized:%d", tw2_initialized.load());

    if (!store_cutout && twinel != nullptr) {
        std::unique_lock<std::mutex> lock(cutout_mutex);
        // A request on the binder thread may have read it meanwhile.
        if (!store_cutout) {
            memset(cutout, 0, sizeof(cutout));
            bool hungUp = false;
            int32_t ret = twinel->serialAtCmd("AT%GETTWCUTOUT\r", cutout, TW2_RESP_SIZE, nullptr,
                                              &hungUp);
            // A description cut off by a hang-up would be kept for good.
            if (ret == -1 || hungUp) {
                ALOGE("%s: CUTOUT info: %s: ret:%d", __func__, cutout, ret);
                memset(cutout, 0, sizeof(cutout));
            } else {
                ALOGD("%s: %s", __func__, cutout);
                store_cutout = true;
            }
        }
        lock.unlock();
        MutexLock displayLock(&tw2_display_mutex, __func__);
        br_arr.clear();
    }

    if (!b_created_brightnessThread && twinel != nullptr) {
        std::lock_guard<std::mutex> lock(br_thread_mutex);
        if (!b_created_brightnessThread && !br_thread_stop) {
            int ret = pthread_create(&mBrightnessThread, nullptr, BrightnessThread, twinel);
            if (ret != 0) {
                ALOGE("Failed to create brightness pthread: %s", strerror(ret));
            } else {
                br_thread_joinable = true;
                b_created_brightnessThread = true;
                // The worker holds the HAL object: it ends before the
                // process tears down what it uses.
                atexit(tw2_display_shutdown);
            }
        }
    }

    tw2_initialized = true;
    ALOGI("tw2_display_init --, tw2_initialized:%d", tw2_initialized.load());
}

void tw2_display_deinit(void* hal) {
    tw2_hal = static_cast<Twinel*>(hal);
    ALOGI("tw2_display_deinit ++, tw2_initialized:%d", tw2_initialized.load());

    if (tw2_initialized) {
        {
            MutexLock lock(&tw2_display_mutex, __func__);
            br_arr.clear();
            tw2_enabled = false;
            tw2_status.brightness = 0;
            screenmode_reset(old_smode, old_prgb, old_screentune);
        }
        tw2_initialized = false;
    }

    ALOGI("tw2_display_deinit --, tw2_initialized:%d", tw2_initialized.load());
}

void tw2_display_shutdown() {
    std::lock_guard<std::mutex> lock(br_thread_mutex);
    {
        MutexLock displayLock(&tw2_display_mutex, __func__);
        br_thread_stop = true;
        pthread_cond_broadcast(&brightness_cond);
    }
    if (br_thread_joinable) {
        pthread_join(mBrightnessThread, nullptr);
        br_thread_joinable = false;
    }
}

int32_t tw2_display_wait_brightness_sent(int32_t timeoutMs) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        bool idle;
        {
            MutexLock lock(&tw2_display_mutex, __func__);
            idle = br_arr.empty() && !br_sending;
        }
        if (idle) return 0;
        if (!b_created_brightnessThread || br_thread_stop) return -ENODEV;
        if (std::chrono::steady_clock::now() >= deadline) return -ETIMEDOUT;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

bool tw2connected() {
    // A service that is not there is not waited for.
    sp<IAccessory> accessory = IAccessory::tryGetService("default", false);
    if (accessory == nullptr) {
        ALOGD("%s: no accessory service", __func__);
        return false;
    }
    uint32_t state = 0;
    Return<void> ret = accessory->getCoverDisplayConnection(
            [&state](uint32_t /* ret */, uint32_t value) { state = value; });
    if (!ret.isOk()) {
        ALOGE("%s: %s", __func__, ret.description().c_str());
        return false;
    }
    return state == COVER_DISPLAY_CONNECTED;
}

// ---------------------------------------------------------------------------
// Power and connection

Return<Status> Twinel::setPowerStatus(bool enable, bool uevent) {
    if (!tw2_initialized) {
        ALOGE("%s: tw2 not initialized, enable:%d, uevent:%d", __func__, enable, uevent);
        return Status::FAILURE;
    }
    ATRACE_NAME(enable ? "power sequence on" : "power sequence off");

    // One guard byte past the reply keeps it terminated.
    char buf[TW2_RESP_SIZE + 1];
    memset(buf, 0, sizeof(buf));
    int32_t ret;
    Status result = Status::FAILURE;

    if (enable) {
        if (color_mode_changed()) tw2_display_color_control();

        if (serialAtCmd(getLogSaveAtCmd(), nullptr, 0, nullptr) < 0) {
            ALOGE("%s: failed to enable log: %s", __func__, strerror(errno));
        }

        ret = serialAtCmd("AT%TW=1\r", buf, TW2_RESP_SIZE, nullptr);
        ALOGI("%s: Twinel : %s, ret:%d", __func__, buf, ret);
        if (ret < 0) {
            ALOGE("%s: enable:%d, buf:%s, ret: %d", __func__, 1, buf, ret);
            return Status::FAILURE;
        }

        int trial;
        for (trial = 0; trial < HPD_TRIALS; trial++) {
            memset(buf, 0, sizeof(buf));
            usleep(HPD_INTERVAL_US);
            bool hungUp = false;
            ret = serialAtCmd("AT%HPD\r", buf, TW2_RESP_SIZE, nullptr, &hungUp);
            // "On" followed by a hang-up is not a panel that came up.
            if (ret < 0 || hungUp) {
                ALOGE("%s: failed to serial AtCmd: %s, ret: %d", __func__, buf, ret);
                continue;
            }
            if (strncmp(buf, "On", 2) == 0) break;
        }

        if (trial < HPD_TRIALS) {
            ALOGI("%s:HPD status changed :%s, ret:%d, trial:%d", __func__, buf, ret, trial);
            writeString(kTw2PdPath, powerText(true, uevent));
            bool wasOn;
            {
                MutexLock lock(&tw2_display_mutex, __func__);
                wasOn = tw2_enabled.exchange(true);
            }
            ATRACE_INT("cover display on", 1);
            // The screen holds one vote while it is on: a power-on of a
            // screen that is on already takes none, or power-off would leave
            // one behind.
            if (!wasOn) usbAutoSuspend(false, true);
            result = Status::SUCCESS;
        }

        if (!tw2_enabled) {
            ALOGE("%s: HPD Status failed Status:%s, trial:%d", __func__, buf, trial);
        }
        return result;
    }

    ret = serialAtCmd("AT%TW=0\r", buf, TW2_RESP_SIZE, nullptr);
    if (ret < 0) {
        ALOGE("%s: HPD status: %s: ret:%d", __func__, buf, ret);
    } else {
        ALOGI("%s: Twinel:%s", __func__, buf);
        bool wasOn;
        {
            MutexLock lock(&tw2_display_mutex, __func__);
            br_arr.clear();
            old_smode = smode;
            old_prgb = prgb;
            old_screentune = screentune;
            wasOn = tw2_enabled.exchange(false);
            tw2_status.brightness = 0;
        }
        ATRACE_INT("cover display on", 0);
        // Only the screen's own vote goes; a power-off of a screen that is
        // off already would take away the vote of a running exchange.
        if (wasOn) usbAutoSuspend(true, true);
        result = Status::SUCCESS;
    }

    usleep(POWER_OFF_SETTLE_US);
    writeString(kTw2PdPath, powerText(false, uevent));
    return result;
}

Return<void> Twinel::getTW2Status(getTW2Status_cb _hidl_cb) {
    // Asked before the lock is taken: power, brightness and the unplug
    // tear-down must not wait for another HAL.
    bool connected = tw2connected();
    TwinelStatus status;
    {
        MutexLock lock(&tw2_display_mutex, __func__);
        tw2_status.connected = connected;
        status = tw2_status;
    }
    _hidl_cb(Status::SUCCESS, status);
    return Void();
}

Return<bool> Twinel::getTW2Connect() {
    return mUsbAttached.load();
}

Return<Status> Twinel::set_touch_perf(bool enable) {
    if (!tw2_initialized) {
        ALOGE("%s: tw2 not initialized, enable:%d", __func__, enable);
        return Status::FAILURE;
    }
    char buf[TW2_RESP_SIZE + 1];
    memset(buf, 0, sizeof(buf));
    int32_t ret =
            serialAtCmd(enable ? "AT%TCPERF=1\r" : "AT%TCPERF=0\r", buf, TW2_RESP_SIZE, nullptr);
    ALOGI("%s: Twinel send TCPERF: %s, ret:%d", __func__, buf, ret);
    if (ret < 0) {
        ALOGE("%s: enable:%d, buf:%s, ret: %d", __func__, enable, buf, ret);
        return Status::FAILURE;
    }
    return Status::SUCCESS;
}

Return<void> Twinel::getCoverDisplayCutout(getCoverDisplayCutout_cb _hidl_cb) {
    std::unique_lock<std::mutex> lock(cutout_mutex);
    if (store_cutout) {
        hidl_string text(cutout);
        lock.unlock();
        _hidl_cb(Status::SUCCESS, text);
        return Void();
    }

    memset(cutout, 0, sizeof(cutout));
    bool hungUp = false;
    int32_t ret = serialAtCmd("AT%GETTWCUTOUT\r", cutout, TW2_RESP_SIZE, nullptr, &hungUp);
    Status status = Status::SUCCESS;
    if (ret == -1 || hungUp) {
        ALOGE("%s: CUTOUT info: %s: ret:%d", __func__, cutout, ret);
        status = Status::FAILURE;
    } else {
        ALOGD("%s: %s", __func__, cutout);
        store_cutout = true;
    }
    hidl_string text(cutout);
    lock.unlock();
    _hidl_cb(status, text);
    return Void();
}

// ---------------------------------------------------------------------------
// Brightness

Return<Status> Twinel::setBrightness(int32_t level) {
    MutexLock lock(&tw2_display_mutex, __func__);
    if (static_cast<uint32_t>(level) <= BR_MAX) {
        tw2_status.brightness = level;
        if (br_arr.size() >= BR_ARR_MAX) br_arr.pop_front();
        br_arr.push_back(level);
        pthread_cond_signal(&brightness_cond);
    } else {
        ALOGE("invalid brightness value:%d, old_value:%d", level, tw2_status.brightness);
    }
    return Status::SUCCESS;
}

void* BrightnessThread(void* hal) {
    pthread_setname_np(pthread_self(), "brightness");
    Twinel* twinel = static_cast<Twinel*>(hal);
    ALOGI("%s: start", __func__);

    for (;;) {
        MutexLock lock(&tw2_display_mutex, __func__);
        while (br_arr.empty() && !br_thread_stop) {
            ALOGI("%s: br_arr empty. wait signal, set br_offset_count 0", __func__);
            br_offset_count = 0;
            pthread_cond_wait(&brightness_cond, &tw2_display_mutex);
        }
        if (br_thread_stop) break;
        int32_t level = br_arr.front();
        br_arr.pop_front();
        br_sending = true;
        // While an offset is in force the latest requested level is sent,
        // mapped; the dequeued one only paces the worker.
        if (tw2_status.brightnessOffset != 0 && tw2_status.brightness != 0) {
            level = br_to_offset_br(tw2_status.brightness, 0);
        }
        lock.unlock();

        char cmd[TW2_RESP_SIZE];
        snprintf(cmd, sizeof(cmd), "AT%%DB=%d\r", level);
        char buf[TW2_RESP_SIZE + 1];
        memset(buf, 0, sizeof(buf));
        int32_t ret = twinel->serialAtCmd(cmd, buf, TW2_RESP_SIZE, nullptr);
        if (ret < 0) ALOGE("%s: failed to serial AtCmd: %s, ret: %d", __func__, buf, ret);
        br_sending = false;
    }

    ALOGI("%s: exit", __func__);
    return nullptr;
}

static int32_t minLevel(int32_t level) {
    ALOGI("lower than min. br : set %d to %d", BR_MIN, BR_MIN);
    ALOGI("[%s] %d -> %d\n", "dd", level, BR_MIN);
    return BR_MIN;
}

int32_t br_to_offset_br(int32_t level, int32_t max) {
    // The interface takes any int32 offset: the arithmetic is done on 64 bits
    // (|2 x offset| and 4k + 10 need 33 bits, 2k x (level - 10) needs 63) and
    // the clamps below bring the result back into range.
    const int64_t m = max == 0 ? BR_MAX : max;
    const int64_t offset = tw2_status.brightnessOffset;
    int64_t r;
    bool minCheck = true;

    if (level < BR_MIN) {
        ALOGE("min br level");
        return minLevel(level);
    }

    if (m < level) {
        ALOGE("max br level");
        r = m;
    } else if (tw2_status.brightnessOffsetBypass) {
        ALOGI("%s: br_offset_bypass true", __func__);
        tw2_status.brightnessOffsetBypass = false;
        r = level + 2 * offset;
    } else if (br_offset_count >= 1) {
        ALOGI("%s: br_offset_count: %d", __func__, br_offset_count);
        br_offset_count--;
        r = level + 2 * offset;
    } else if (offset >= 0) {
        // No pending request: a positive offset leaves the level alone.
        r = level;
        minCheck = false;
    } else {
        // Compress 10..4k+10 onto 10..2k+10, shift the rest down by 2k.
        const int64_t k = -offset;
        if (level <= 4 * k + BR_MIN) {
            r = BR_MIN + (2 * k * (level - BR_MIN)) / (4 * k);
        } else {
            r = level - 2 * k;
        }
    }

    if (minCheck && r < BR_MIN) return minLevel(level);

    if (r > m) {
        ALOGI("bigger than max. br : set %d to %d", static_cast<int32_t>(m),
              static_cast<int32_t>(m));
        r = m;
    }
    ALOGI("[%s] %d -> %d\n", "dd", level, static_cast<int32_t>(r));
    return static_cast<int32_t>(r);
}

Return<Status> Twinel::setTWBrightnessOffset(int32_t offset) {
    if (!tw2_initialized) {
        ALOGE("%s: tw2 not initialized, value:%d", __func__, offset);
        MutexLock lock(&tw2_display_mutex, __func__);
        tw2_status.brightnessOffset = offset;
        return Status::SUCCESS;
    }

    MutexLock lock(&tw2_display_mutex, __func__);
    if (tw2_enabled) {
        if (offset == BR_OFFSET_BYPASS) {
            tw2_status.brightnessOffsetBypass = true;
            ALOGI("enalble br offset bypass");
            return Status::SUCCESS;
        }
        tw2_status.brightnessOffset = offset;
        ALOGI("request br_offset is %d", offset);
        tw2_status.brightnessOffsetBypass = false;
        if (br_offset_count < INT32_MAX) br_offset_count++;
        int32_t level = tw2_status.brightness;
        lock.unlock();
        return setBrightness(level);
    }

    tw2_status.brightnessOffset = offset;
    ALOGI("request br_offset is %d", offset);
    return Status::FAILURE;
}

// ---------------------------------------------------------------------------
// Colour and screen tuning

void screenmode_reset(sScreenmode& mode, sPrgb& rgb, sScreentune& tune) {
    rgb = {{2, 0, 0, 0}, false};
    tune = {{2, 2, 2}, false};
    mode = {0, false};
}

bool color_mode_changed() {
    bool changed = false;
    MutexLock lock(&tw2_display_mutex, __func__);
    if (smode.mode != old_smode.mode) {
        smode.dirty = true;
        changed = true;
    }
    // The fourth RGB value takes no part in the comparison.
    for (int i = 0; i < 3; i++) {
        if (prgb.value[i] != old_prgb.value[i]) {
            prgb.dirty = true;
            changed = true;
            break;
        }
    }
    for (int i = 0; i < 3; i++) {
        if (screentune.value[i] != old_screentune.value[i]) {
            screentune.dirty = true;
            changed = true;
            break;
        }
    }
    return changed;
}

int32_t tw2_display_color_mode_send(const char* cmd) {
    Twinel* hal = tw2_hal;
    if (hal == nullptr) {
        ALOGE("%s: tw2 null", __func__);
        return -1;
    }
    ALOGI("%s: at cmd path:%s", __func__, cmd);
    char buf[TW2_RESP_SIZE + 1];
    memset(buf, 0, sizeof(buf));
    int32_t ret = hal->serialAtCmd(cmd, buf, TW2_RESP_SIZE, nullptr);
    if (ret == -1) {
        ALOGE("%s: %s, ret: %d", __func__, buf, ret);
    } else {
        ALOGI("%s: %s", __func__, buf);
    }
    return ret;
}

void tw2_display_color_control() {
    // The values are opaque numbers, forwarded as "%d" prints them.
    char cmd[TW2_RESP_SIZE];
    if (prgb.dirty) {
        memset(cmd, 0, sizeof(cmd));
        snprintf(cmd, sizeof(cmd), "%s%d,%d,%d,%d\r",
                 "AT%PRGB=", static_cast<int32_t>(prgb.value[0]),
                 static_cast<int32_t>(prgb.value[1]), static_cast<int32_t>(prgb.value[2]),
                 static_cast<int32_t>(prgb.value[3]));
        tw2_display_color_mode_send(cmd);
        prgb.dirty = false;
    }
    if (screentune.dirty) {
        memset(cmd, 0, sizeof(cmd));
        snprintf(cmd, sizeof(cmd), "%s%d,%d,%d\r",
                 "AT%SHS=", static_cast<int32_t>(screentune.value[0]),
                 static_cast<int32_t>(screentune.value[1]),
                 static_cast<int32_t>(screentune.value[2]));
        tw2_display_color_mode_send(cmd);
        screentune.dirty = false;
    }
    if (smode.dirty) {
        memset(cmd, 0, sizeof(cmd));
        snprintf(cmd, sizeof(cmd), "%s%d\r", "AT%SMODE=", smode.mode);
        tw2_display_color_mode_send(cmd);
        smode.dirty = false;
    }
}

Return<Status> Twinel::setRgbTune(uint32_t v0, uint32_t v1, uint32_t v2, uint32_t v3) {
    if (prgb.value[0] == v0 && prgb.value[1] == v1 && prgb.value[2] == v2 && prgb.value[3] == v3) {
        return Status::SUCCESS;
    }
    prgb.value[0] = v0;
    prgb.value[1] = v1;
    prgb.value[2] = v2;
    prgb.value[3] = v3;
    prgb.dirty = true;
    if (tw2_initialized && tw2_enabled) tw2_display_color_control();
    return Status::SUCCESS;
}

Return<Status> Twinel::setScreenTune(uint32_t v0, uint32_t v1, uint32_t v2, uint32_t /* v3 */) {
    if (screentune.value[0] == v0 && screentune.value[1] == v1 && screentune.value[2] == v2) {
        return Status::SUCCESS;
    }
    screentune.value[0] = v0;
    screentune.value[1] = v1;
    screentune.value[2] = v2;
    screentune.dirty = true;
    if (tw2_initialized && tw2_enabled) tw2_display_color_control();
    return Status::SUCCESS;
}

Return<Status> Twinel::setScreenMode(ScreenMode mode) {
    int32_t value = static_cast<int32_t>(mode);
    if (smode.mode == value) return Status::SUCCESS;
    smode.mode = value;
    smode.dirty = true;
    if (tw2_initialized && tw2_enabled) tw2_display_color_control();
    return Status::SUCCESS;
}

// ---------------------------------------------------------------------------
// Debug dump

static std::string values(const uint32_t* v, size_t n) {
    std::string s = "{";
    for (size_t i = 0; i < n; i++) s += (i ? "," : "") + std::to_string(v[i]);
    return s + "}";
}

static std::string colourDump(const sPrgb& rgb, const sScreentune& tune, const sScreenmode& mode) {
    return dumpPrintf("prgb %s dirty=%d, screentune %s dirty=%d, smode %d dirty=%d",
                      values(rgb.value, 4).c_str(), rgb.dirty, values(tune.value, 3).c_str(),
                      tune.dirty, mode.mode, mode.dirty);
}

std::string displayDump() {
    std::string s = "Cover display\n";
    s += dumpPrintf("  tw2_initialized: %d  tw2_enabled: %d  BrightnessThread: %s\n",
                    tw2_initialized.load(), tw2_enabled.load(),
                    b_created_brightnessThread ? "started" : "not started");
    // The accessory's text, control characters shown as \xHH. Read only once
    // stored: until then a request may be filling it.
    std::string text;
    for (const char* c = store_cutout ? cutout : ""; *c != '\0'; c++) {
        unsigned char u = static_cast<unsigned char>(*c);
        text += u >= 0x20 && u != 0x7f ? std::string(1, *c) : dumpPrintf("\\x%02x", u);
    }
    s += std::string("  cutout: ") + (store_cutout ? "stored" : "not stored") + " \"" + text +
         "\"\n";
    MutexLock lock(&tw2_display_mutex, "debug", kDumpLockWait);
    if (!lock.owns()) {
        return s + "  (tw2_display_mutex busy: status, queue and colour left out)\n";
    }
    TwinelStatus st = tw2_status;
    std::deque<int32_t> queue = br_arr;
    int32_t offsetCount = br_offset_count;
    std::string now = colourDump(prgb, screentune, smode);
    std::string old = colourDump(old_prgb, old_screentune, old_smode);
    lock.unlock();
    s += dumpPrintf(
            "  tw2_status: connected=%d brightnessOffset=%d reserved=%d "
            "brightnessOffsetBypass=%d brightness=%d\n",
            st.connected, st.brightnessOffset, st.reserved, st.brightnessOffsetBypass,
            st.brightness);
    std::string levels;
    for (int32_t level : queue) levels += (levels.empty() ? "" : " ") + std::to_string(level);
    s += dumpPrintf("  br_arr: %zu of %d [%s]  br_offset_count: %d\n", queue.size(), BR_ARR_MAX,
                    levels.c_str(), offsetCount);
    s += "  colour:   " + now + "\n";
    s += "  snapshot: " + old + "\n";
    return s;
}

}  // namespace implementation
}  // namespace V1_1
}  // namespace twinel
}  // namespace hardware
}  // namespace zyr
}  // namespace vendor
