/*
 * Copyright (C) 2026 The Twinel HAL Authors
 *
 * Licensed under the Apache License, Version 2.0 (the "License");
 * you may not use this file except in compliance with the License.
 */

// The sub display's HID reports: the info and configuration feature reports
// and the frame data output reports on the accessory's hidraw node. Every
// exchange opens the node, does its work and closes it again.

#define LOG_TAG "vendor.zyr.hardware.twinel@1.1-service"
#define ATRACE_TAG ATRACE_TAG_HAL

#include "hid_display.h"

#include <cutils/trace.h>
#include <errno.h>
#include <fcntl.h>
#include <sys/ioctl.h>
// After <sys/ioctl.h>, which defines the request encoding it uses.
#include <linux/hidraw.h>
#include <log/log.h>
#include <string.h>
#include <time.h>
#include <twdevice/device.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <string>

#include "Twinel.h"
#include "dump.h"
#include "mutex_lock.h"
#include "sub_display.h"

namespace vendor {
namespace zyr {
namespace hardware {
namespace twinel {
namespace V1_1 {
namespace implementation {

pthread_mutex_t hid_display_mutex = PTHREAD_MUTEX_INITIALIZER;

#define HID_REPORT_ID_INFO 2
#define HID_REPORT_ID_CONFIG 3
#define HID_REPORT_ID_PALETTE 2

#define HID_CONFIG_FLAG0 0x01
#define HID_CONFIG_DISPLAY_ON 0x02

// Output report 2: report number, uint16 length, uint32 offset, data.
#define HID_PALETTE_REPORT_SIZE 4096
#define HID_PALETTE_HEADER_SIZE 7
#define HID_PALETTE_MAX_DATA (HID_PALETTE_REPORT_SIZE - HID_PALETTE_HEADER_SIZE)

static_assert(sizeof(hid_display_report_info) == 7, "info report is 7 bytes");
static_assert(sizeof(hid_display_report_config) == 3, "config report is 3 bytes");

// What the debug dump tells about the HID exchanges, written under
// hid_display_mutex where they happen and read without it. The last error:
// the operation that failed (an index into kHidOps, -1 while none), its
// errno and when (CLOCK_MONOTONIC).
static const char* const kHidOps[] = {"open", "get info", "set config", "get config",
                                      "write palette"};
enum HidOp : int { kHidOpen, kHidGetInfo, kHidSetConfig, kHidGetConfig, kHidPalette };
static std::atomic<int> sLastHidErrorOp{-1};
static std::atomic<int> sLastHidErrno{0};
static std::atomic<int64_t> sLastHidErrorUs{0};
// The last configuration report sent: bit 31 set once one went out, bit 30
// set when it failed, then the flags and the brightness bytes.
static std::atomic<uint32_t> sLastConfig{0};

static int64_t monotonicUs() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000000 + ts.tv_nsec / 1000;
}

static void recordHidError(HidOp op, int err) {
    sLastHidErrno = err;
    sLastHidErrorUs = monotonicUs();
    sLastHidErrorOp = op;
}

// Opens the hidraw node; logs a failure. Called with hid_display_mutex held
// (mHidDisplayPath is written under it).
static DeviceFd hidOpen(const char* path, int flags, const char* func) {
    DeviceFd fd(twdevice::open(path, flags | O_NONBLOCK | O_CLOEXEC));
    if (!fd.ok()) {
        recordHidError(kHidOpen, errno);
        ALOGE("%s: failed to open \"%s\": %s", func, path, strerror(errno));
    }
    return fd;
}

std::string Twinel::hidDisplayPath() {
    MutexLock lock(&hid_display_mutex, __func__);
    return mHidDisplayPath;
}

int32_t Twinel::hidDisplayGetInfo(hid_display_report_info* info) {
    MutexLock lock(&hid_display_mutex, __func__);
    DeviceFd fd = hidOpen(mHidDisplayPath, O_RDONLY, __func__);
    if (!fd.ok()) return -1;
    info->id = HID_REPORT_ID_INFO;
    int ret = twdevice::ioctl(fd, HIDIOCGFEATURE(sizeof(*info)), info);
    if (ret < 0) {
        recordHidError(kHidGetInfo, errno);
        ALOGE("%s: failed to get info: %s", __func__, strerror(errno));
    }
    return ret;
}

int32_t Twinel::hidDisplaySetConfig(bool flag0, bool displayOn, uint8_t brightness) {
    hid_display_report_config config;
    config.id = HID_REPORT_ID_CONFIG;
    config.flags = static_cast<uint8_t>((displayOn ? HID_CONFIG_DISPLAY_ON : 0) |
                                        (flag0 ? HID_CONFIG_FLAG0 : 0));
    config.brightness = brightness;

    MutexLock lock(&hid_display_mutex, __func__);
    DeviceFd fd = hidOpen(mHidDisplayPath, O_WRONLY, __func__);
    if (!fd.ok()) return -1;
    int ret = twdevice::ioctl(fd, HIDIOCSFEATURE(sizeof(config)), &config);
    if (ret < 0) {
        recordHidError(kHidSetConfig, errno);
        ALOGE("%s: failed to set config: %s", __func__, strerror(errno));
    }
    sLastConfig = (1u << 31) | (ret < 0 ? 1u << 30 : 0) | (uint32_t{config.flags} << 8) |
                  config.brightness;
    return ret;
}

int32_t Twinel::hidDisplayGetConfig(hid_display_report_config* config) {
    MutexLock lock(&hid_display_mutex, __func__);
    DeviceFd fd = hidOpen(mHidDisplayPath, O_RDONLY, __func__);
    if (!fd.ok()) return -1;
    config->id = HID_REPORT_ID_CONFIG;
    int ret = twdevice::ioctl(fd, HIDIOCGFEATURE(sizeof(*config)), config);
    if (ret < 0) {
        recordHidError(kHidGetConfig, errno);
        ALOGE("%s: failed to get config: %s", __func__, strerror(errno));
    }
    return ret;
}

// Ends a frame write's trace slice with what went out and the result.
static void tracePaletteEnd(size_t bytes, uint32_t offset, int reports, int32_t result) {
    if (!ATRACE_ENABLED()) return;
    std::string args = "bytes=" + std::to_string(bytes) + " offset=" + std::to_string(offset) +
                       " reports=" + std::to_string(reports) + " result=" + std::to_string(result);
    ATRACE_BEGIN(args.c_str());
    ATRACE_END();
    ATRACE_END();
}

int32_t Twinel::hidDisplayPalette(uint16_t length, uint16_t offset, const uint8_t* data) {
    if (length > 0 && data == nullptr) {
        ALOGE("%s: no data for %u bytes", __func__, length);
        return -EINVAL;
    }
    uint8_t report[HID_PALETTE_REPORT_SIZE] = {};
    ATRACE_BEGIN(length > 0 ? "HID frame data" : "HID frame end");
    int reports = 0;

    MutexLock lock(&hid_display_mutex, __func__);
    DeviceFd fd = hidOpen(mHidDisplayPath, O_WRONLY, __func__);
    if (!fd.ok()) {
        tracePaletteEnd(length, offset, reports, -1);
        return -1;
    }

    report[0] = HID_REPORT_ID_PALETTE;
    uint32_t reportOffset = offset;
    size_t remaining = length;
    int32_t result = length;
    do {
        size_t chunk = std::min<size_t>(remaining, HID_PALETTE_MAX_DATA);
        report[1] = static_cast<uint8_t>(chunk & 0xff);
        report[2] = static_cast<uint8_t>(chunk >> 8);
        report[3] = static_cast<uint8_t>(reportOffset & 0xff);
        report[4] = static_cast<uint8_t>((reportOffset >> 8) & 0xff);
        report[5] = static_cast<uint8_t>((reportOffset >> 16) & 0xff);
        report[6] = static_cast<uint8_t>(reportOffset >> 24);
        if (chunk > 0) memcpy(report + HID_PALETTE_HEADER_SIZE, data, chunk);

        ssize_t written = twdevice::write(fd, report, chunk + HID_PALETTE_HEADER_SIZE);
        if (written >= 0) reports++;
        if (written < 0) {
            recordHidError(kHidPalette, errno);
            ALOGE("%s: failed to write palette: %s", __func__, strerror(errno));
            result = static_cast<int32_t>(written);
            break;
        }
        if (chunk == 0) break;  // the empty report: nothing more to send

        // The data bytes the report carried; hidraw takes whole reports, so
        // a write without data progress would loop for ever: give up on it.
        ssize_t taken = written - HID_PALETTE_HEADER_SIZE;
        if (taken <= 0) {
            recordHidError(kHidPalette, EIO);
            ALOGE("%s: failed to write palette: short write of %zd bytes", __func__, written);
            result = -EIO;
            break;
        }
        size_t n = std::min<size_t>(static_cast<size_t>(taken), chunk);
        remaining -= n;
        reportOffset += static_cast<uint32_t>(n);
        data += n;
    } while (remaining > 0);

    tracePaletteEnd(length, offset, reports, result);
    return result;
}

void Twinel::hidDisplayDeviceAdded() {
    ALOGD("%s: attached:%d", __func__, mHidDisplayAttached.load());

    {
        MutexLock lock(&hid_display_mutex, __func__);
        if (mHidDisplayAttached) return;
        mHidDisplayAttached = true;
    }

    hid_display_report_info info = {};
    int32_t ret = hidDisplayGetInfo(&info);
    if (ret < 0) return;
    if (static_cast<size_t>(ret) < sizeof(info)) {
        // A report cut short describes no panel; the sub display stays
        // uninitialised as after a failed read.
        ALOGE("%s: short info report: %d of %zu bytes", __func__, ret, sizeof(info));
        return;
    }

    ALOGD("HID-DISPLAY: x:%d y:%d format:%d ready:%d", info.x, info.y, info.format,
          info.ready & 0x1);

    initSubDisplay(this, info);
}

void Twinel::hidDisplayDeviceRemoved() {
    ALOGD("%s: attached:%d", __func__, mHidDisplayAttached.load());

    {
        MutexLock lock(&hid_display_mutex, __func__);
        if (!mHidDisplayAttached) return;
        mHidDisplayAttached = false;
    }

    deinitSubDisplay();
}

// ---------------------------------------------------------------------------
// Debug dump

std::string hidDisplayDump() {
    std::string s;
    int op = sLastHidErrorOp;
    if (op < 0) {
        s += "  last HID error: none\n";
    } else {
        int err = sLastHidErrno;
        s += dumpPrintf("  last HID error: %s: %s (errno %d) -%.3fs\n", kHidOps[op], strerror(err),
                        err, (monotonicUs() - sLastHidErrorUs) / 1e6);
    }
    uint32_t config = sLastConfig;
    if ((config >> 31) == 0) {
        s += "  last config report: none\n";
    } else {
        s += dumpPrintf("  last config report: %02x %02x %02x (%s)\n", HID_REPORT_ID_CONFIG,
                        (config >> 8) & 0xff, config & 0xff, (config >> 30) & 1 ? "failed" : "ok");
    }
    return s;
}

}  // namespace implementation
}  // namespace V1_1
}  // namespace twinel
}  // namespace hardware
}  // namespace zyr
}  // namespace vendor
