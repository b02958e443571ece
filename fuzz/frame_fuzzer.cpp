/*
 * Copyright (C) 2026 The Twinel HAL Authors
 *
 * Licensed under the Apache License, Version 2.0 (the "License");
 * you may not use this file except in compliance with the License.
 */

// The frame path: drawSubDisplay, the double buffer and the frame thread's
// output reports. The input's first byte chooses the pixel count (the
// panel's own, or a 16-bit count from the input) and whether the sub
// display is switched off around the draw; the rest are the pixels' bytes,
// repeated to fill the frame. A frame that was accepted while the display
// is on must reach the panel.

#include <stdio.h>
#include <stdlib.h>

#include <vector>

#include "fuzz_env.h"

using ::android::hardware::hidl_vec;
using ::vendor::zyr::hardware::twinel::V1_0::Status;
using ::vendor::zyr::hardware::twinel::V1_0::SubScreenInfo;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    twfuzz::Env& env = twfuzz::env();
    twfuzz::Input in(data, size);
    uint8_t mode = in.u8();

    size_t count = 0;
    if (mode & 1) {
        count = in.u16();
    } else {
        env.hal->getSubDisplayInfo([&](Status s, const SubScreenInfo& info) {
            if (s == Status::SUCCESS) count = static_cast<size_t>(info.x) * info.y;
        });
    }
    std::string bytes = in.rest();
    hidl_vec<uint32_t> pixels(count);
    for (size_t i = 0; i < count && !bytes.empty(); i++) {
        uint32_t v = 0;
        for (size_t k = 0; k < 4; k++) {
            v |= static_cast<uint32_t>(static_cast<uint8_t>(bytes[(i * 4 + k) % bytes.size()]))
                 << (8 * k);
        }
        pixels[i] = v;
    }

    bool off = (mode & 2) != 0;
    if (off) env.hal->setSubDisplayPowerState(false);
    uint64_t frames = env.sim->frameCount();
    Status status = env.hal->drawSubDisplay(pixels);
    if (status == Status::SUCCESS && !off && !env.sim->waitForFrames(frames + 1, 10000)) {
        fprintf(stderr, "an accepted frame of %zu pixels never reached the panel\n", count);
        abort();
    }
    if (off) env.hal->setSubDisplayPowerState(true);
    twfuzz::settle();
    return 0;
}
