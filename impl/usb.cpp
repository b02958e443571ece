/*
 * Copyright (C) 2026 The Twinel HAL Authors
 *
 * Licensed under the Apache License, Version 2.0 (the "License");
 * you may not use this file except in compliance with the License.
 */

#define LOG_TAG "vendor.zyr.hardware.twinel@1.1-service"

#include <errno.h>
#include <fcntl.h>
#include <log/log.h>
#include <poll.h>
#include <stdlib.h>
#include <string.h>
#include <sys/inotify.h>
#include <time.h>
#include <twdevice/device.h>
#include <unistd.h>

#include <mutex>
#include <string>

#include "Twinel.h"
#include "dump.h"
#include "hid_display.h"
#include "mutex_lock.h"
#include "nodes.h"

namespace vendor {
namespace zyr {
namespace hardware {
namespace twinel {
namespace V1_1 {
namespace implementation {

#define TWINEL_VID 0x3A7E
#define TWINEL_PID 0x5B21
#define DFU_VID 0x0483
#define DFU_PID 0xDF11
#define DLOAD_NORMAL_SERIAL "00000000001A"
#define DLOAD_ERROR_SERIAL "00000000001B"
#define USB_STRING_TIMEOUT_MS 200

#define SERIAL_NODE_PREFIX "ttyACM"
#define HID_NODE_PREFIX "hidraw"
#define INOTIFY_BUF_SIZE 1024

// USB device name of the attached accessory, as the USB host library gave it.
// Written and read by the USB thread only.
static char* usbDeviceName = nullptr;
// Guards mUsbAutoSuspendDisableVote, the control node write and mSerialPath.
static pthread_mutex_t usbAutoSuspendMutex = PTHREAD_MUTEX_INITIALIZER;

static const char* const kDloadProducts[] = {"QPA330X", "QPA310X", "QPA320X"};

// Link recoveries and the last download-mode device, for the debug dump.
// Both are rare, so they share one small lock of their own.
static std::mutex sLinkRecordLock;
struct LinkRecord {
    uint64_t recoveries = 0;
    int64_t lastRecoveryUs = 0;  // CLOCK_MONOTONIC
    std::string lastReason;
    int32_t lastResult = 0;
    std::string pendingReason;  // what the next recovery is for
    bool dfuSeen = false;
    std::string dfuSerial;
    std::string dfuProduct;
};
static LinkRecord sLinkRecord;

static int64_t monotonicUs() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000000 + ts.tv_nsec / 1000;
}

void noteLinkRecoveryReason(const std::string& reason) {
    std::lock_guard<std::mutex> lock(sLinkRecordLock);
    sLinkRecord.pendingReason = reason;
}

static const char* lastComponent(const char* path) {
    const char* slash = strrchr(path, '/');
    return slash == nullptr ? path : slash + 1;
}

std::string Twinel::serialPath() {
    MutexLock lock(&usbAutoSuspendMutex, __func__);
    return mSerialPath;
}

int32_t Twinel::usbAutoSuspendDisableVote() {
    MutexLock lock(&usbAutoSuspendMutex, __func__);
    return mUsbAutoSuspendDisableVote;
}

int32_t Twinel::usbAutoSuspend(bool suspend, bool vote) {
    MutexLock lock(&usbAutoSuspendMutex, __func__);
    // Logged under the lock: the count is shared with other threads.
    ALOGD("%s: suspend:%d vote:%d disableVote:%d", __func__, suspend, vote,
          mUsbAutoSuspendDisableVote);

    int32_t result = 0;
    bool doWrite = true;
    if (vote) {
        int32_t old = mUsbAutoSuspendDisableVote;
        if (!suspend) {
            mUsbAutoSuspendDisableVote++;
            if (old > 0) doWrite = false;
        } else {
            mUsbAutoSuspendDisableVote--;
            if (mUsbAutoSuspendDisableVote > 0) {
                doWrite = false;
            } else if (old < 1) {
                ALOGE("%s: mUsbAutoSuspendDisableVote is negative", __func__);
                mUsbAutoSuspendDisableVote = 0;
            }
        }
    }

    if (doWrite) {
        char path[4096];
        snprintf(path, sizeof(path), kAutosuspendFormat, lastComponent(mSerialPath));
        DeviceFd fd(twdevice::open(path, O_WRONLY | O_CLOEXEC));
        if (!fd.ok()) {
            ALOGE("%s: failed to open control: %s", __func__, strerror(errno));
            result = fd.get();
        } else {
            const char* word = suspend ? "auto" : "on";
            ssize_t n = write(fd, word, strlen(word));
            if (n < 0) {
                ALOGE("%s: failed to write autosuspend: %s", __func__, strerror(errno));
            } else {
                ALOGD("%s: %s", __func__, word);
            }
            result = static_cast<int32_t>(n);
        }
    }
    return result;
}

// Writes "Y" to a node of the accessory driver.
static int32_t writeYes(const char* path, const char* func) {
    DeviceFd fd(twdevice::open(path, O_WRONLY | O_CLOEXEC));
    if (!fd.ok()) {
        ALOGE("%s: failed to open mode: %s", func, strerror(errno));
        return fd.get();
    }
    ssize_t n = write(fd, "Y", 1);
    if (n < 0) ALOGE("%s: failed to write mode: %s", func, strerror(errno));
    return static_cast<int32_t>(n);
}

int32_t Twinel::usbReady() {
    return writeYes(kHalReadyPath, __func__);
}

int32_t Twinel::usbRecovery() {
    ALOGE("!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!");
    ALOGE("!!!!!!!!!! Twinel Recovery !!!!!!!!!!");
    ALOGE("!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!");
    int32_t result = writeYes(kRecoveryPath, __func__);
    std::lock_guard<std::mutex> lock(sLinkRecordLock);
    sLinkRecord.recoveries++;
    sLinkRecord.lastRecoveryUs = monotonicUs();
    sLinkRecord.lastReason =
            sLinkRecord.pendingReason.empty() ? "not given" : sLinkRecord.pendingReason;
    sLinkRecord.pendingReason.clear();
    sLinkRecord.lastResult = result;
    return result;
}

int Twinel::usbDeviceAdded(const char* devname, void* client_data) {
    Twinel* hal = static_cast<Twinel*>(client_data);
    struct usb_device* device = usb_device_open(devname);
    if (device == nullptr) {
        ALOGE("usb_device_open failed");
        return 0;
    }
    uint16_t vid = usb_device_get_vendor_id(device);
    uint16_t pid = usb_device_get_product_id(device);
    char* serial = nullptr;
    char* product = nullptr;

    if (vid == TWINEL_VID && pid == TWINEL_PID) {
        ALOGI("========== Twinel Attached");
        ALOGD("%s: %s idVendor:%04x idProduct:%04x", __func__, devname, vid, pid);
        free(usbDeviceName);
        usbDeviceName = strdup(devname);
        hal->mUsbAttached = true;
    } else if (vid == DFU_VID && pid == DFU_PID) {
        serial = usb_device_get_serial(device, USB_STRING_TIMEOUT_MS);
        if (serial == nullptr) {
            ALOGE("%s : serial is null in dload mode ", __func__);
        } else {
            ALOGI("%s : serial is %s", __func__, serial);
            product = usb_device_get_product_name(device, USB_STRING_TIMEOUT_MS);
            {
                std::lock_guard<std::mutex> lock(sLinkRecordLock);
                sLinkRecord.dfuSeen = true;
                // As the device gave them, at most 64 bytes each.
                sLinkRecord.dfuSerial.assign(serial, strnlen(serial, 64));
                sLinkRecord.dfuProduct.assign(product != nullptr ? product : "",
                                              product != nullptr ? strnlen(product, 64) : 0);
            }
            if (product == nullptr) {
                ALOGE("%s : product_name is null in dload mode ", __func__);
            } else {
                ALOGI("%s : product_name is %s", __func__, product);
                bool supported = false;
                for (const char* name : kDloadProducts) {
                    if (strcmp(product, name) == 0) {
                        supported = true;
                        break;
                    }
                }
                if (!supported) {
                    ALOGI("%s : %s recovery not supported", __func__, product);
                } else if (strcmp(serial, DLOAD_NORMAL_SERIAL) == 0) {
                    ALOGI("%s : normal dload mode", __func__);
                } else if (strcmp(serial, DLOAD_ERROR_SERIAL) == 0) {
                    ALOGI("%s : error dload mode", __func__);
                    hal->doRecoveryUpgrade();
                    ALOGD("%s: doRecoveryUpgrade called", __func__);
                }
            }
        }
    }

    free(serial);
    free(product);
    usb_device_close(device);
    return 0;
}

int Twinel::usbDeviceRemoved(const char* devname, void* client_data) {
    Twinel* hal = static_cast<Twinel*>(client_data);
    if (usbDeviceName != nullptr && strcmp(usbDeviceName, devname) == 0) {
        ALOGI("========== Twinel Unattached");
        hal->mUsbAttached = false;
        free(usbDeviceName);
        usbDeviceName = nullptr;
    }
    return 0;
}

void* Twinel::usbThread(void* arg) {
    pthread_setname_np(pthread_self(), "usb");
    Twinel* hal = static_cast<Twinel*>(arg);
    ALOGD("%s: creating", __func__);
    struct usb_host_context* context = usb_host_init();
    if (context == nullptr) {
        ALOGE("%s: usb_host_init failed: %s", __func__, strerror(errno));
        ALOGD("%s: exiting", __func__);
        return nullptr;
    }
    hal->mUsbHost = context;
    // A stop requested before the context was published ends the loop here.
    if (destroyThread) {
        usb_host_cleanup(context);
    } else {
        usb_host_run(context, usbDeviceAdded, usbDeviceRemoved, nullptr, hal);
    }
    ALOGD("%s: exiting", __func__);
    return nullptr;
}

// Reads the USB id in a sysfs file; false when it cannot be read.
static bool readId(const char* path, unsigned long* id) {
    DeviceFd fd(twdevice::open(path, O_RDONLY | O_CLOEXEC));
    if (!fd.ok()) {
        ALOGE("%s: failed to open \"%s\": %s", "usbNotifyThread", path, strerror(errno));
        return false;
    }
    char buf[1024];
    ssize_t n = read(fd, buf, sizeof(buf) - 1);
    int readErr = errno;
    fd.reset();
    errno = readErr;
    if (n < 0) {
        ALOGE("%s: failed to read \"%s\": %s", "usbNotifyThread", path, strerror(errno));
        return false;
    }
    buf[n] = '\0';
    ALOGD("%s: \"%s\": %s", "usbNotifyThread", path, buf);
    *id = strtoul(buf, nullptr, 16);
    return true;
}

static bool isAccessoryNode(const char* vidFormat, const char* pidFormat, const char* name) {
    char path[4096];
    unsigned long vid = 0, pid = 0;
    snprintf(path, sizeof(path), vidFormat, name);
    if (!readId(path, &vid)) return false;
    snprintf(path, sizeof(path), pidFormat, name);
    if (!readId(path, &pid)) return false;
    return vid == TWINEL_VID && pid == TWINEL_PID;
}

// Appends an inotify record for a node found at start-up.
static size_t addProbeRecord(char* buf, size_t off, size_t cap, const char* name) {
    size_t nameLen = strlen(name) + 1;
    size_t size = sizeof(struct inotify_event) + nameLen;
    if (off + size > cap) return off;
    struct inotify_event ev = {};
    ev.wd = 0;
    ev.mask = IN_CREATE;
    ev.cookie = 0;
    ev.len = static_cast<uint32_t>(nameLen);
    memcpy(buf + off, &ev, sizeof(ev));
    memcpy(buf + off + sizeof(ev), name, nameLen);
    return off + size;
}

void* Twinel::usbNotifyThread(void* arg) {
    pthread_setname_np(pthread_self(), "usb-notify");
    Twinel* hal = static_cast<Twinel*>(arg);
    // Aligned for the records of inotify(7).
    alignas(struct inotify_event) char buf[INOTIFY_BUF_SIZE];

    ALOGD("%s: creating", __func__);
    unique_fd fd(inotify_init1(IN_CLOEXEC));
    if (!fd.ok()) {
        ALOGE("%s: failed to init inotify: %s", __func__, strerror(errno));
        ALOGD("%s: exiting", __func__);
        return nullptr;
    }
    if (twdevice::inotifyAddWatch(fd, kDevDir, IN_CREATE | IN_DELETE) < 0) {
        ALOGE("%s: failed to add watch: %s", __func__, strerror(errno));
        ALOGD("%s: exiting", __func__);
        return nullptr;
    }
    hal->mInotifyFd = fd.get();

    // Nodes that are already there when the service starts.
    ssize_t len = 0;
    memset(buf, 0, sizeof(buf));
    if (twdevice::access(kHidraw0Path, F_OK) == 0) {
        len = addProbeRecord(buf, len, sizeof(buf), "hidraw0");
        ALOGD("%s: access \"%s\" OK", __func__, "hidraw0");
    }
    if (twdevice::access(kTtyAcm0Path, F_OK) == 0) {
        len = addProbeRecord(buf, len, sizeof(buf), "ttyACM0");
        ALOGD("%s: access \"%s\" OK", __func__, "ttyACM0");
    }

    for (;;) {
        for (ssize_t off = 0;
             len >= 1 && off + static_cast<ssize_t>(sizeof(struct inotify_event)) <= len;) {
            struct inotify_event* ev = reinterpret_cast<struct inotify_event*>(buf + off);
            ssize_t next = off + static_cast<ssize_t>(sizeof(*ev)) + ev->len;
            if (next > len) break;  // a record cut short is not trusted
            char name[NAME_MAX + 1] = {};
            if (ev->len > 0) memcpy(name, ev->name, std::min<size_t>(ev->len, NAME_MAX));
            off = next;
            ALOGD("%s: read:%zd mask:0x%08x name:%s", __func__, len, ev->mask, name);

            if (strncmp(name, SERIAL_NODE_PREFIX, 6) == 0) {
                ALOGD("%s: mSerialAttached:%d", __func__, hal->mSerialAttached.load());
                if ((ev->mask & IN_CREATE) && !hal->mSerialAttached) {
                    if (isAccessoryNode(kTtyVidFormat, kTtyPidFormat, name)) {
                        ALOGD("========== %s create", name);
                        {
                            MutexLock lock(&usbAutoSuspendMutex, __func__);
                            snprintf(hal->mSerialPath, sizeof(hal->mSerialPath), kDevNodeFormat,
                                     name);
                            hal->mUsbAutoSuspendDisableVote = 0;
                        }
                        hal->usbAutoSuspend(true, false);
                        hal->serialDeviceAdded();
                    }
                } else if ((ev->mask & IN_DELETE) && hal->mSerialAttached &&
                           strcmp(name, lastComponent(hal->mSerialPath)) == 0) {
                    ALOGD("========== %s delete", name);
                    hal->serialDeviceRemoved();
                    MutexLock lock(&usbAutoSuspendMutex, __func__);
                    hal->mSerialPath[0] = '\0';
                }
            } else if (strncmp(name, HID_NODE_PREFIX, 6) == 0) {
                ALOGD("%s: mHidDisplayAttached:%d", __func__, hal->mHidDisplayAttached.load());
                if ((ev->mask & IN_CREATE) && !hal->mHidDisplayAttached) {
                    if (isAccessoryNode(kHidrawVidFormat, kHidrawPidFormat, name)) {
                        ALOGD("========== %s create", name);
                        {
                            MutexLock lock(&hid_display_mutex, __func__);
                            snprintf(hal->mHidDisplayPath, sizeof(hal->mHidDisplayPath),
                                     kDevNodeFormat, name);
                        }
                        hal->hidDisplayDeviceAdded();
                    }
                } else if ((ev->mask & IN_DELETE) && hal->mHidDisplayAttached &&
                           strcmp(name, lastComponent(hal->mHidDisplayPath)) == 0) {
                    ALOGD("========== %s delete", name);
                    hal->hidDisplayDeviceRemoved();
                    MutexLock lock(&hid_display_mutex, __func__);
                    hal->mHidDisplayPath[0] = '\0';
                }
            }
        }

        // Wait for the next batch, or for a stop request.
        bool stop = destroyThread;
        while (!stop) {
            struct pollfd pfds[2] = {{fd, POLLIN, 0}, {hal->mUsbNotifyWakeFd.get(), POLLIN, 0}};
            int n = poll(pfds, hal->mUsbNotifyWakeFd >= 0 ? 2 : 1, -1);
            if (n < 0 && errno == EINTR) continue;
            if (n < 0) {
                ALOGE("%s: failed to read notify: %s", __func__, strerror(errno));
                stop = true;
                break;
            }
            if (destroyThread) {
                stop = true;
                break;
            }
            if (pfds[1].revents != 0) {
                uint64_t v;
                while (read(hal->mUsbNotifyWakeFd, &v, sizeof(v)) > 0) {
                }
            }
            if (pfds[0].revents != 0) break;
        }
        if (stop) break;

        memset(buf, 0, sizeof(buf));
        len = read(fd, buf, sizeof(buf));
        if (len < 0) {
            if (errno == EINTR) {
                len = 0;
                continue;
            }
            ALOGE("%s: failed to read notify: %s", __func__, strerror(errno));
            break;
        }
    }

    hal->mInotifyFd = -1;
    fd.reset();
    ALOGD("%s: exiting", __func__);
    return nullptr;
}

void Twinel::usbThreadJoin() {
    // Both threads end only once asked to.
    destroyThread = true;
    if (mUsbThreadStarted.exchange(false)) {
        struct usb_host_context* context = mUsbHost.exchange(nullptr);
        if (context != nullptr) usb_host_cleanup(context);
        pthread_join(mUsbThread, nullptr);
    }
    if (mUsbNotifyThreadStarted.exchange(false)) {
        uint64_t one = 1;
        if (mUsbNotifyWakeFd >= 0 && write(mUsbNotifyWakeFd, &one, sizeof(one)) < 0) {
            ALOGE("%s: failed to wake the notify thread: %s", __func__, strerror(errno));
        }
        pthread_join(mUsbNotifyThread, nullptr);
    }
}

// ---------------------------------------------------------------------------
// Debug dump

std::string usbDump(Twinel* hal) {
    std::string s;
    s += "  mUsbAttached: " + std::to_string(hal->mUsbAttached.load()) + "\n";
    s += "  mSerialAttached: " + std::to_string(hal->mSerialAttached.load()) + "  mSerialPath: \"" +
         hal->serialPath() + "\"\n";
    s += "  mHidDisplayAttached: " + std::to_string(hal->mHidDisplayAttached.load()) +
         "  mHidDisplayPath: \"" + hal->hidDisplayPath() + "\"\n";
    s += "  mUsbAutoSuspendDisableVote: " + std::to_string(hal->usbAutoSuspendDisableVote()) + "\n";
    std::lock_guard<std::mutex> lock(sLinkRecordLock);
    const LinkRecord& r = sLinkRecord;
    s += "  link recoveries: " + std::to_string(r.recoveries) + "\n";
    if (r.lastRecoveryUs == 0) {
        s += "  last recovery: none\n";
    } else {
        s += dumpPrintf("  last recovery: -%.3fs, %s, \"Y\" %s\n",
                        (monotonicUs() - r.lastRecoveryUs) / 1e6, r.lastReason.c_str(),
                        r.lastResult > 0 ? "written" : "not written");
    }
    if (!r.dfuSeen) {
        s += "  last DFU device: none\n";
    } else {
        s += "  last DFU device: serial \"" + r.dfuSerial + "\" product \"" + r.dfuProduct + "\"\n";
    }
    return s;
}

void usbResetCounters() {
    std::lock_guard<std::mutex> lock(sLinkRecordLock);
    sLinkRecord.recoveries = 0;
}

}  // namespace implementation
}  // namespace V1_1
}  // namespace twinel
}  // namespace hardware
}  // namespace zyr
}  // namespace vendor
