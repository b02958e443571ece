/*
 * Copyright (C) 2026 The Twinel HAL Authors
 *
 * Licensed under the Apache License, Version 2.0 (the "License");
 * you may not use this file except in compliance with the License.
 */

#define LOG_TAG "twinelctl"

#include "picture.h"

#include <errno.h>
#include <png.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>

#include "twinelctl.h"

using ::android::hardware::hidl_vec;

namespace twinelctl {

namespace {

// Largest PNG decoded, in pixels.
constexpr uint64_t kMaxPngPixels = 16u << 20;

}  // namespace

Picture loadPng(const std::string& file) {
    // A FIFO or a device would block or never end: only regular files.
    struct stat st;
    if (stat(file.c_str(), &st) != 0) throw DataError(file + ": " + strerror(errno));
    if (!S_ISREG(st.st_mode)) throw DataError(file + ": not a regular file");
    FILE* f = fopen(file.c_str(), "rb");
    if (f == nullptr) throw DataError(file + ": " + strerror(errno));
    unsigned char sig[8] = {};
    size_t got = fread(sig, 1, sizeof(sig), f);
    if (got != sizeof(sig) || png_sig_cmp(sig, 0, sizeof(sig)) != 0) {
        fclose(f);
        throw DataError(file + ": not a PNG file");
    }
    rewind(f);
    png_image image;
    memset(&image, 0, sizeof(image));
    image.version = PNG_IMAGE_VERSION;
    if (!png_image_begin_read_from_stdio(&image, f)) {
        std::string msg = image.message;
        png_image_free(&image);
        fclose(f);
        throw DataError(file + ": unreadable PNG: " + msg);
    }
    if (image.width == 0 || image.height == 0 ||
        static_cast<uint64_t>(image.width) * image.height > kMaxPngPixels) {
        uint32_t w = image.width, h = image.height;
        png_image_free(&image);
        fclose(f);
        throw DataError(file + ": picture of " + std::to_string(w) + "x" + std::to_string(h) +
                        " pixels is empty or too large");
    }
    image.format = PNG_FORMAT_GRAY;
    Picture pic;
    pic.width = image.width;
    pic.height = image.height;
    pic.grey.resize(PNG_IMAGE_SIZE(image));
    png_color black = {0, 0, 0};
    int ok = png_image_finish_read(&image, &black, pic.grey.data(), 0, nullptr);
    std::string msg = image.message;
    png_image_free(&image);
    fclose(f);
    if (!ok) throw DataError(file + ": unreadable PNG: " + msg);
    return pic;
}

Picture scaleNearest(const Picture& in, uint32_t width, uint32_t height) {
    Picture out;
    out.width = width;
    out.height = height;
    out.grey.resize(static_cast<size_t>(width) * height);
    for (uint32_t y = 0; y < height; y++) {
        uint32_t sy = static_cast<uint32_t>(static_cast<uint64_t>(y) * in.height / height);
        for (uint32_t x = 0; x < width; x++) {
            uint32_t sx = static_cast<uint32_t>(static_cast<uint64_t>(x) * in.width / width);
            out.grey[static_cast<size_t>(y) * width + x] =
                    in.grey[static_cast<size_t>(sy) * in.width + sx];
        }
    }
    return out;
}

const std::vector<std::string> kPatterns = {"gradient", "checker", "bars",
                                            "border",   "white",   "black"};

// Grey of one of the 16 levels the panel shows.
static uint8_t level(uint32_t l) {
    return static_cast<uint8_t>((l > 15 ? 15 : l) * 17);
}

Picture makePattern(const std::string& name, uint32_t width, uint32_t height) {
    Picture p;
    p.width = width;
    p.height = height;
    p.grey.resize(static_cast<size_t>(width) * height);
    for (uint32_t y = 0; y < height; y++) {
        for (uint32_t x = 0; x < width; x++) {
            uint8_t g = 0;
            if (name == "gradient") {
                // The 16 levels from black on the left to white on the right.
                g = level(x * 16 / width);
            } else if (name == "checker") {
                g = ((x / 16) + (y / 16)) % 2 ? 0 : 255;
            } else if (name == "bars") {
                g = (x / 8) % 2 ? 0 : 255;
            } else if (name == "border") {
                // A frame with a filled square in the top-left corner, which
                // shows whether the panel is upside down.
                bool edge = x == 0 || y == 0 || x == width - 1 || y == height - 1;
                bool corner = x >= 4 && x < 16 && y >= 4 && y < 16;
                g = edge || corner ? 255 : 0;
            } else if (name == "white") {
                g = 255;
            }
            p.grey[static_cast<size_t>(y) * width + x] = g;
        }
    }
    return p;
}

// The HAL takes bits 4 to 7 of each pixel's low byte as its grey level.
hidl_vec<uint32_t> toPixels(const Picture& p) {
    hidl_vec<uint32_t> pixels;
    pixels.resize(p.grey.size());
    for (size_t i = 0; i < p.grey.size(); i++) pixels[i] = p.grey[i];
    return pixels;
}

}  // namespace twinelctl
