/*
 * Copyright (C) 2026 The Twinel HAL Authors
 *
 * Licensed under the Apache License, Version 2.0 (the "License");
 * you may not use this file except in compliance with the License.
 */

#pragma once

// The debug dump (lshal debug): each area prints its own state, beside the
// state it reads; Twinel::debug() puts the parts together.

#include <chrono>
#include <string>

namespace vendor {
namespace zyr {
namespace hardware {
namespace twinel {
namespace V1_1 {
namespace implementation {

struct Twinel;

// How long the dump waits for a lock (MutexLock's timed form): a bug report
// must not hang on a stuck lock. What the lock guards is then left out.
constexpr std::chrono::milliseconds kDumpLockWait{200};

// printf into a string (one dump line, at most 511 bytes).
std::string dumpPrintf(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Attach flags, node paths and the autosuspend votes (usb.cpp).
std::string usbDump(Twinel* hal);
// Log capture and the AT channel's waits (serial.cpp).
std::string serialDump(Twinel* hal);
// The cover display module (display.cpp).
std::string displayDump();
// The sub display, its frame buffers and frames (sub_display.cpp).
std::string subDisplayDump(Twinel* hal);
// The last HID error and configuration report (hid_display.cpp).
std::string hidDisplayDump();
// The LPWG callback, its uevent worker and the events, the last AES mode and
// touch update state sent (kernel.cpp).
std::string lpwgDump(Twinel* hal);

// What the next link recovery is for, as the dump shows it (usb.cpp).
void noteLinkRecoveryReason(const std::string& reason);

// Zero the event counters (debug option --reset-counters); the last values
// stay.
void usbResetCounters();
void subDisplayResetCounters();
void lpwgResetCounters();

}  // namespace implementation
}  // namespace V1_1
}  // namespace twinel
}  // namespace hardware
}  // namespace zyr
}  // namespace vendor
