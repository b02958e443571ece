/*
 * Copyright (C) 2026 The Twinel HAL Authors
 *
 * Licensed under the Apache License, Version 2.0 (the "License");
 * you may not use this file except in compliance with the License.
 */

#pragma once

// Every device node and file the HAL uses, by its path on the phone, one
// constant each. They are all reached through the device module
// (twdevice::), which maps them under the device root on a host. Formats
// take the node's name ("ttyACM0", "hidraw0") as their one "%s".

namespace vendor {
namespace zyr {
namespace hardware {
namespace twinel {
namespace V1_1 {
namespace implementation {

// ---- /dev: where the accessory's serial port and hidraw node appear ----
constexpr char kDevDir[] = "/dev";
constexpr char kDevNodeFormat[] = "/dev/%s";
// Looked for at start-up, before any attach event.
constexpr char kHidraw0Path[] = "/dev/hidraw0";
constexpr char kTtyAcm0Path[] = "/dev/ttyACM0";

// ---- USB ids and power of the device behind a node ----
constexpr char kTtyVidFormat[] = "/sys/class/tty/%s/device/../idVendor";
constexpr char kTtyPidFormat[] = "/sys/class/tty/%s/device/../idProduct";
constexpr char kHidrawVidFormat[] = "/sys/class/hidraw/%s/device/../../idVendor";
constexpr char kHidrawPidFormat[] = "/sys/class/hidraw/%s/device/../../idProduct";
constexpr char kAutosuspendFormat[] = "/sys/class/tty/%s/device/../power/control";

// ---- the accessory driver ----
// Cover screen power and its uevent flag ("<on> <uevent>").
constexpr char kTw2PdPath[] = "/sys/class/twinel/tw2/tw2_pd";
constexpr char kHalReadyPath[] = "/sys/class/twinel/tw2/tw2_hal_ready";
constexpr char kRecoveryPath[] = "/sys/class/twinel/tw2/tw2_recovery";

// ---- other drivers of the phone ----
// The GPIO-keys driver takes firmware upgrade requests here.
constexpr char kFirmwareWritePath[] =
        "/sys/devices/platform/soc/soc:gpio_keys/virtual_mcu_firmware_write";
constexpr char kAesModePath[] = "/sys/module/usbhid/parameters/aes_mode";
constexpr char kTwUpdateStatePath[] = "/sys/devices/virtual/input/zyr_touch/tw_update_state";
constexpr char kWakeLockPath[] = "/sys/power/wake_lock";

// ---- files ----
// The accessory firmware images shipped with the phone.
constexpr char kDfuDir[] = "/system_ext/etc/dfu";
// The touch self-test report, appended to.
constexpr char kSelfTestFile[] = "/data/vendor/touch/touch_module_self_test.txt";

}  // namespace implementation
}  // namespace V1_1
}  // namespace twinel
}  // namespace hardware
}  // namespace zyr
}  // namespace vendor
