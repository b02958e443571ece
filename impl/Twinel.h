/*
 * Copyright (C) 2026 The Twinel HAL Authors
 *
 * Licensed under the Apache License, Version 2.0 (the "License");
 * you may not use this file except in compliance with the License.
 */

#pragma once

#include <hidl/MQDescriptor.h>
#include <hidl/Status.h>
#include <pthread.h>
#include <stdint.h>
#include <usbhost/usbhost.h>
#include <vendor/zyr/hardware/twinel/1.0/ITwinelAtCallback.h>
#include <vendor/zyr/hardware/twinel/1.0/ITwinelLpwgCallback.h>
#include <vendor/zyr/hardware/twinel/1.0/ITwinelSubDisplayCallback.h>
#include <vendor/zyr/hardware/twinel/1.1/ITwinel.h>
#include <vendor/zyr/hardware/twinel/1.1/ITwinelLpwgCallback.h>

#include <atomic>
#include <string>
#include <vector>

#include "device_fd.h"

namespace vendor {
namespace zyr {
namespace hardware {
namespace twinel {
namespace V1_1 {
namespace implementation {

using ::android::sp;
using ::android::hardware::hidl_array;
using ::android::hardware::hidl_handle;
using ::android::hardware::hidl_memory;
using ::android::hardware::hidl_string;
using ::android::hardware::hidl_vec;
using ::android::hardware::Return;
using ::android::hardware::Void;
using ::vendor::zyr::hardware::twinel::V1_0::ITwinelAtCallback;
using ::vendor::zyr::hardware::twinel::V1_0::ITwinelLpwgCallback;
using ::vendor::zyr::hardware::twinel::V1_0::ITwinelSubDisplayCallback;
using ::vendor::zyr::hardware::twinel::V1_0::LpwgStatus;
using ::vendor::zyr::hardware::twinel::V1_0::ScreenMode;
using ::vendor::zyr::hardware::twinel::V1_0::Status;
using ::vendor::zyr::hardware::twinel::V1_0::SubScreenInfo;
using ::vendor::zyr::hardware::twinel::V1_0::SubScreenState;
using ::vendor::zyr::hardware::twinel::V1_0::TwinelStatus;

// Line callback of serialAtCmd: one reply line (with its newline) and its
// byte count.
typedef void (*serial_line_cb)(const char* line, int len);

// Sub display info report (feature report 2), as the accessory sends it.
struct hid_display_report_info {
    uint8_t id;
    uint16_t x;
    uint16_t y;
    uint8_t format;
    uint8_t ready;
} __attribute__((packed));

// Sub display configuration (feature report 3).
struct hid_display_report_config {
    uint8_t id;
    uint8_t flags;
    uint8_t brightness;
} __attribute__((packed));

// One uevent worker (kernel.cpp).
struct LpwgWorker;

struct Twinel : public V1_1::ITwinel {
    Twinel();
    ~Twinel();

    // Methods from ::vendor::zyr::hardware::twinel::V1_0::ITwinel follow.
    Return<void> getFirmwareVersion(getFirmwareVersion_cb _hidl_cb) override;
    Return<Status> checkFirmwareVersion() override;
    Return<void> getFirmwareFile(getFirmwareFile_cb _hidl_cb) override;
    Return<Status> doFirmwareUpgrade() override;
    Return<Status> goDload() override;
    Return<Status> goSTMDload() override;
    Return<Status> cancelFirmwareUpgrade() override;
    Return<void> getTouchFirmwareVersion(getTouchFirmwareVersion_cb _hidl_cb) override;
    Return<Status> DoRawdata() override;
    Return<Status> DoDelta() override;
    Return<Status> DoTouchReset() override;
    Return<void> getGpiopin(getGpiopin_cb _hidl_cb) override;
    Return<Status> setStatus(const LpwgStatus& status) override;
    Return<Status> DoTouchFirmwareUpgrade() override;
    Return<void> getSelfTest(getSelfTest_cb _hidl_cb) override;
    Return<void> getLPWGSelfTest(getLPWGSelfTest_cb _hidl_cb) override;
    Return<Status> getTestResults() override;
    Return<void> setLpwgCallback(const sp<ITwinelLpwgCallback>& callback) override;
    Return<Status> setBrightness(int32_t level) override;
    Return<Status> setPowerStatus(bool enable, bool uevent) override;
    Return<void> getCoverDisplayCutout(getCoverDisplayCutout_cb _hidl_cb) override;
    Return<Status> setRgbTune(uint32_t v0, uint32_t v1, uint32_t v2, uint32_t v3) override;
    Return<Status> setScreenMode(ScreenMode mode) override;
    Return<Status> setScreenTune(uint32_t v0, uint32_t v1, uint32_t v2, uint32_t v3) override;
    Return<Status> setTWBrightnessOffset(int32_t offset) override;
    Return<void> getTW2Status(getTW2Status_cb _hidl_cb) override;
    Return<Status> setSubDisplayBrightness(int32_t level) override;
    Return<Status> setSubDisplayPowerState(bool on) override;
    Return<void> getSubDisplayInfo(getSubDisplayInfo_cb _hidl_cb) override;
    Return<Status> drawSubDisplay(const hidl_vec<uint32_t>& pixels) override;
    Return<void> getSubDisplayPowerState(getSubDisplayPowerState_cb _hidl_cb) override;
    Return<void> setSubDisplayCallback(const sp<ITwinelSubDisplayCallback>& callback) override;
    Return<bool> getTW2Connect() override;
    Return<void> sendAtCommand(const hidl_string& command, const sp<ITwinelAtCallback>& callback,
                               sendAtCommand_cb _hidl_cb) override;

    // Methods from ::vendor::zyr::hardware::twinel::V1_1::ITwinel follow.
    Return<Status> setAesMode(uint32_t mode) override;
    Return<Status> manageAesMode(uint32_t mode) override;
    Return<Status> tw_update_state() override;
    Return<Status> set_touch_perf(bool enable) override;

    // Methods from ::android::hidl::base::V1_0::IBase follow.
    Return<void> debug(const hidl_handle& fd, const hidl_vec<hidl_string>& options) override;

    // --- Service core (Twinel.cpp) ---
    static void sighandler(int signal);
    bool isExist(const std::string& path);
    bool isReadable(const std::string& path);
    int32_t writeInt32(const std::string& path, int32_t value);
    bool writeString(const std::string& path, std::string text);
    int32_t readString(const std::string& path, std::string& text);

    // --- USB hotplug monitor (usb.cpp) ---
    int32_t usbAutoSuspend(bool suspend, bool vote);
    // mSerialPath as it is now, copied under the lock its writer holds.
    std::string serialPath();
    // mUsbAutoSuspendDisableVote as it is now, read under its lock.
    int32_t usbAutoSuspendDisableVote();
    int32_t usbReady();
    int32_t usbRecovery();
    static int usbDeviceAdded(const char* devname, void* client_data);
    static int usbDeviceRemoved(const char* devname, void* client_data);
    static void* usbThread(void* arg);
    static void* usbNotifyThread(void* arg);
    void usbThreadJoin();

    // --- Serial AT channel and log capture (serial.cpp) ---
    // Result 1 is also the length of a one-byte reply; `hungUp`, when given,
    // tells whether it was the port hanging up during the exchange.
    int32_t serialAtCmd(const char* cmd, char* resp, size_t respCount, serial_line_cb cb,
                        bool* hungUp = nullptr);
    void serialDeviceAdded();
    void serialDeviceRemoved();
    void serialPrintLog(const char* line);
    const char* getLogSaveAtCmd();
    int32_t serialLogEnable(bool enable);
    static void* serialLogThread(void* arg);

    // --- Accessory firmware (firmware.cpp) ---
    Status doRecoveryUpgrade();

    // --- HID display (hid_display.cpp) ---
    int32_t hidDisplayGetInfo(hid_display_report_info* info);
    int32_t hidDisplaySetConfig(bool flag0, bool displayOn, uint8_t brightness);
    int32_t hidDisplayGetConfig(hid_display_report_config* config);
    int32_t hidDisplayPalette(uint16_t length, uint16_t offset, const uint8_t* data);
    void hidDisplayDeviceAdded();
    // mHidDisplayPath as it is now, copied under hid_display_mutex.
    std::string hidDisplayPath();
    void hidDisplayDeviceRemoved();

    // --- Cover display (display.cpp) ---

    // --- Touch, LPWG and kernel events (kernel.cpp) ---
    // A reference to the registered LPWG callback (null when none) and, when
    // it offers version 1.1, the same object as a 1.1 callback (learnt once,
    // at registration). The uevent worker takes them per event; it never
    // takes mLpwgMutex, which setLpwgCallback holds while it stops a worker.
    sp<ITwinelLpwgCallback> lpwgCallback(sp<V1_1::ITwinelLpwgCallback>* callback11 = nullptr);
    // Stores `callback` (and its 1.1 view) and hands the previous one back,
    // so that the caller drops it outside the lock.
    sp<ITwinelLpwgCallback> exchangeLpwgCallback(const sp<ITwinelLpwgCallback>& callback,
                                                 const sp<V1_1::ITwinelLpwgCallback>& callback11);
    // Joins the stopped workers that have ended since (under mLpwgMutex).
    void reapLpwgWorkers();
    // Guards every read and write of mLpwgCallback and mLpwgCallback11; a
    // leaf lock, held for the copy only (never across a call to a peer).
    pthread_mutex_t mLpwgCallbackLock = PTHREAD_MUTEX_INITIALIZER;
    // Under mLpwgCallbackLock; written by setLpwgCallback, read by the uevent
    // worker through lpwgCallback().
    sp<V1_1::ITwinelLpwgCallback> mLpwgCallback11;
    // A uevent worker was started and has not been stopped yet. Written by
    // setLpwgCallback under mLpwgMutex; read anywhere without a lock.
    std::atomic<bool> mLpwgThreadStarted{false};
    // The running worker (null when none), and workers asked to stop that
    // were still inside a call to a peer: each is joined once it has ended.
    // Both under mLpwgMutex, written by setLpwgCallback only.
    LpwgWorker* mLpwgWorker = nullptr;
    std::vector<LpwgWorker*> mLpwgStoppedWorkers;

    // --- Sub display (sub_display.cpp) ---
    int32_t initSubDisplay(Twinel* hal, hid_display_report_info info);
    int32_t deinitSubDisplay();
    void setSubDisplayState(SubScreenState state);
    SubScreenState getSubDisplayState();
    static void* subDisplayUpdateThread(void* hal);

    // Members, in the order the HAL has always kept them. The threads named
    // below: the binder thread (interface methods and debug(); the service's
    // pool has one), the USB thread (usbDeviceAdded/Removed), the notify
    // thread (device-node watch: attach and detach of the serial port and of
    // the hidraw node), and the capture, brightness, frame and uevent
    // workers. Locks that are not members are file-scope mutexes:
    // usbAutoSuspendMutex (usb.cpp), serialMutex (serial.cpp),
    // hid_display_mutex (hid_display.h), sub_display_thread_mutex
    // (sub_display.cpp).

    // Under mLpwgCallbackLock; written by setLpwgCallback (cleared by the
    // destructor), read by the uevent worker through lpwgCallback().
    sp<ITwinelLpwgCallback> mLpwgCallback;
    // Under mSubDisplayMutex; written by setSubDisplayCallback, told every
    // state change under the same lock.
    sp<ITwinelSubDisplayCallback> mSubDisplayCallback;
    // Binder thread only, no lock: written by checkFirmwareVersion, read by
    // getFirmwareFile and debug().
    char mDfuFilePath[1024];
    // Under mLpwgMutex: the thread of the worker last started, written by
    // setLpwgCallback. Workers are joined through their LpwgWorker.
    pthread_t mLpwgThread;
    // Serialises setLpwgCallback (start, stop and reaping of the uevent
    // workers); guards mLpwgThread, mLpwgWorker and mLpwgStoppedWorkers.
    // Taken before mLpwgCallbackLock; never taken by a worker.
    pthread_mutex_t mLpwgMutex;
    // Fixed once the constructor has started them; each joined once, by
    // usbThreadJoin, as mUsbThreadStarted and mUsbNotifyThreadStarted tell.
    pthread_t mUsbThread;
    pthread_t mUsbNotifyThread;
    // Written by the USB thread (accessory attached or gone); read anywhere.
    std::atomic<bool> mUsbAttached;
    // Under usbAutoSuspendMutex: counted by usbAutoSuspend (any thread),
    // reset by the notify thread when the serial port comes. Read elsewhere
    // through usbAutoSuspendDisableVote().
    int32_t mUsbAutoSuspendDisableVote;
    // Published by the USB thread once its context exists; taken (and
    // cleaned up) once, by usbThreadJoin.
    std::atomic<struct usb_host_context*> mUsbHost;
    // Written by the notify thread only: the number of the inotify
    // descriptor it owns while it runs, -1 otherwise. Not an owner.
    std::atomic<int> mInotifyFd;
    // Written by serialLogEnable (notify thread) before it sets
    // mSerialLogThreadStarted; joined once, by whoever clears that flag.
    pthread_t mSerialLogThread;
    // Under usbAutoSuspendMutex; written by the notify thread only (attach
    // and detach), which also reads it without the lock. Every other thread
    // reads it through serialPath().
    char mSerialPath[1024];
    // Changed under serialMutex by serialDeviceAdded/Removed (notify
    // thread); read anywhere, and under serialMutex by every AT exchange.
    std::atomic<bool> mSerialAttached;
    // Changed under serialMutex by serialLogEnable (notify thread); read by
    // the capture thread without the lock.
    std::atomic<bool> mSerialLogEnabled;
    // Fixed at construction (both true).
    bool mLogToLogcat;
    bool mLogToKmsg;
    // Under hid_display_mutex; written by the notify thread only (attach and
    // detach), which also reads it without the lock. The HID reports read it
    // under the lock, every other thread through hidDisplayPath().
    char mHidDisplayPath[1024];
    // Changed under hid_display_mutex by hidDisplayDeviceAdded/Removed
    // (notify thread); read anywhere.
    std::atomic<bool> mHidDisplayAttached;
    // The frame thread: created and joined under sub_display_thread_mutex,
    // by the sub display power sequence and the detach.
    pthread_t mSubDisplayUpdateThread;
    // Guards mSubDisplayCallback and the sub display's state and panel
    // description (subScreen_status, sub_screen_info); held while the
    // callback is told a state (a one-way call).
    pthread_mutex_t mSubDisplayMutex;

    // Host-side additions after the original members.
    // Fixed after construction: wakes the notify thread when it is asked to
    // stop. Closed with the object, which is destroyed after usbThreadJoin.
    unique_fd mUsbNotifyWakeFd;
    // Which threads of this object were started, so that a stop joins
    // exactly those, once: set by the constructor (by serialLogEnable for
    // the capture thread) after the thread was created, cleared with
    // exchange() by whoever joins it.
    std::atomic<bool> mUsbThreadStarted;
    std::atomic<bool> mUsbNotifyThreadStarted;
    std::atomic<bool> mSerialLogThreadStarted;
};

// The object last constructed, under instanceMutex: written by the
// constructor, read by the SIGUSR1 teardown.
extern Twinel* instance;
extern pthread_mutex_t instanceMutex;
// Asks the device-node watch and USB threads to end: set by usbThreadJoin
// and the SIGUSR1 teardown, cleared by the constructor; read by both threads.
extern std::atomic<bool> destroyThread;

// Node helper shared with other files (logs its first line at error level).
bool writeNode(const std::string& path, std::string text);

extern "C" ITwinel* HIDL_FETCH_ITwinel(const char* name);

}  // namespace implementation
}  // namespace V1_1
}  // namespace twinel
}  // namespace hardware
}  // namespace zyr
}  // namespace vendor
