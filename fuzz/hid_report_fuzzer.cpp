/*
 * Copyright (C) 2026 The Twinel HAL Authors
 *
 * Licensed under the Apache License, Version 2.0 (the "License");
 * you may not use this file except in compliance with the License.
 */

// The sub display's HID info and config reports: the input describes the
// panel the info report announces (width, height, format, ready bit, and
// how many of its 7 bytes come back), which HID requests fail and with
// what, and the brightness asked for. The HID function is then taken down
// and brought up again as the USB monitor does on hotplug, and the config
// report read and written.

#include <errno.h>
#include <twdevice/hidraw_seam.h>

#include "fuzz_env.h"
#include "sub_display.h"
#include "test_util.h"

using ::vendor::zyr::hardware::twinel::V1_0::Status;
using ::vendor::zyr::hardware::twinel::V1_0::SubScreenInfo;
namespace impl = ::vendor::zyr::hardware::twinel::V1_1::implementation;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    twfuzz::Env& env = twfuzz::env();
    twfuzz::Input in(data, size);

    twsim::HidPanel panel;
    panel.width = in.u16();
    panel.height = in.u16();
    panel.format = in.u8();
    uint8_t flags = in.u8();
    panel.ready = flags & 1;
    panel.infoLength = 1 + (flags >> 1) % 7;
    uint8_t failOp = in.u8();
    uint8_t failCount = in.u8();
    int32_t brightness = static_cast<int32_t>(in.u16()) - 0x100;
    bool flag0 = in.u8() & 1;

    env.hal->hidDisplayDeviceRemoved();
    env.sim->setHidPanel(panel);
    static const int kErrors[] = {EIO, EPIPE, ETIMEDOUT, ENODEV};
    if (failOp >= twdevice::hidseam::kGetFeature && failOp <= twdevice::hidseam::kOutputReport) {
        env.sim->failHidRequests(failOp, failCount % 4, kErrors[(failCount >> 2) % 4]);
    }
    env.hal->hidDisplayDeviceAdded();
    // A panel that was taken powers itself on in the background.
    twtest::waitFor([] { return !impl::power_state_in_progress.load(); }, 5000);

    env.hal->getSubDisplayInfo([](Status, const SubScreenInfo&) {});
    ::vendor::zyr::hardware::twinel::V1_1::implementation::hid_display_report_config config = {};
    env.hal->hidDisplayGetConfig(&config);
    env.hal->setSubDisplayBrightness(brightness);
    env.hal->hidDisplaySetConfig(flag0, (flags & 0x80) != 0, static_cast<uint8_t>(brightness));

    env.sim->failHidRequests(twdevice::hidseam::kGetFeature, 0);
    env.sim->failHidRequests(twdevice::hidseam::kSetFeature, 0);
    env.sim->failHidRequests(twdevice::hidseam::kOutputReport, 0);
    twfuzz::settle();
    return 0;
}
