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
    // Guards every read and write of mLpwgCallback and mLpwgCallback11.
    pthread_mutex_t mLpwgCallbackLock = PTHREAD_MUTEX_INITIALIZER;
    sp<V1_1::ITwinelLpwgCallback> mLpwgCallback11;
    // A uevent worker was started and has not been stopped yet (changed
    // under mLpwgMutex).
    std::atomic<bool> mLpwgThreadStarted{false};
    // The running worker (null when none), and workers asked to stop that
    // were still inside a call to a peer: each is joined once it has ended.
    // Both under mLpwgMutex.
    LpwgWorker* mLpwgWorker = nullptr;
    std::vector<LpwgWorker*> mLpwgStoppedWorkers;

    // --- Sub display (sub_display.cpp) ---
    int32_t initSubDisplay(Twinel* hal, hid_display_report_info info);
    int32_t deinitSubDisplay();
    void setSubDisplayState(SubScreenState state);
    SubScreenState getSubDisplayState();
    static void* subDisplayUpdateThread(void* hal);

    // Members, in the order the HAL has always kept them.
    sp<ITwinelLpwgCallback> mLpwgCallback;
    sp<ITwinelSubDisplayCallback> mSubDisplayCallback;
    char mDfuFilePath[1024];
    pthread_t mLpwgThread;
    pthread_mutex_t mLpwgMutex;
    pthread_t mUsbThread;
    pthread_t mUsbNotifyThread;
    std::atomic<bool> mUsbAttached;
    int32_t mUsbAutoSuspendDisableVote;
    std::atomic<struct usb_host_context*> mUsbHost;
    std::atomic<int> mInotifyFd;
    pthread_t mSerialLogThread;
    char mSerialPath[1024];
    std::atomic<bool> mSerialAttached;
    std::atomic<bool> mSerialLogEnabled;
    bool mLogToLogcat;
    bool mLogToKmsg;
    char mHidDisplayPath[1024];
    std::atomic<bool> mHidDisplayAttached;
    pthread_t mSubDisplayUpdateThread;
    pthread_mutex_t mSubDisplayMutex;

    // Host-side additions after the original members: an eventfd that wakes
    // the notify thread when it is asked to stop, and which threads of this
    // object were started (so a stop joins exactly those).
    unique_fd mUsbNotifyWakeFd;
    std::atomic<bool> mUsbThreadStarted;
    std::atomic<bool> mUsbNotifyThreadStarted;
    std::atomic<bool> mSerialLogThreadStarted;
};

// The object last constructed; read by the SIGUSR1 teardown.
extern Twinel* instance;
extern pthread_mutex_t instanceMutex;
// Asks the device-node watch thread to end.
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
