/*
 * Copyright (C) 2026 The Twinel HAL Authors
 *
 * Licensed under the Apache License, Version 2.0 (the "License");
 * you may not use this file except in compliance with the License.
 */

/*
 * Pictures for the sub display: PNG files read as 8-bit grey, scaled to the
 * panel, the test patterns, and the pixel vector drawSubDisplay takes.
 */
#pragma once

#include <hidl/HidlSupport.h>
#include <stdint.h>

#include <string>
#include <vector>

namespace twinelctl {

// An 8-bit grey picture, row by row.
struct Picture {
    uint32_t width = 0;
    uint32_t height = 0;
    std::vector<uint8_t> grey;
};

// Reads a PNG file of any colour type as grey; throws DataError when the
// file is missing, not a regular file, not a PNG, or empty or too large.
Picture loadPng(const std::string& file);

// Scales to width x height, nearest pixel.
Picture scaleNearest(const Picture& in, uint32_t width, uint32_t height);

// Names of the test patterns makePattern draws.
extern const std::vector<std::string> kPatterns;

// One of kPatterns at the given size.
Picture makePattern(const std::string& name, uint32_t width, uint32_t height);

// The picture as drawSubDisplay takes it: one pixel per grey byte.
::android::hardware::hidl_vec<uint32_t> toPixels(const Picture& p);

}  // namespace twinelctl
