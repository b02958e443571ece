/*
 * Reads a grey PNG back into one value per pixel, for the checks of the
 * simulator's picture of the sub display.
 */
#pragma once

#include <png.h>
#include <stdio.h>

#include <string>
#include <vector>

namespace subtest {

struct GreyImage {
    bool ok = false;
    unsigned width = 0;
    unsigned height = 0;
    int bitDepth = 0;
    int colorType = -1;
    std::vector<uint8_t> pixels;  // row by row, one value per pixel
};

inline GreyImage readGreyPng(const std::string& file) {
    GreyImage image;
    FILE* in = fopen(file.c_str(), "rb");
    if (in == nullptr) return image;
    png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png == nullptr ? nullptr : png_create_info_struct(png);
    if (png == nullptr || info == nullptr) {
        png_destroy_read_struct(&png, &info, nullptr);
        fclose(in);
        return image;
    }
    std::vector<uint8_t> raw;
    std::vector<png_bytep> rows;
    if (setjmp(png_jmpbuf(png))) {
        png_destroy_read_struct(&png, &info, nullptr);
        fclose(in);
        return GreyImage();
    }
    png_init_io(png, in);
    png_read_info(png, info);
    image.width = png_get_image_width(png, info);
    image.height = png_get_image_height(png, info);
    image.bitDepth = png_get_bit_depth(png, info);
    image.colorType = png_get_color_type(png, info);
    size_t rowBytes = png_get_rowbytes(png, info);
    raw.resize(rowBytes * image.height);
    rows.resize(image.height);
    for (unsigned y = 0; y < image.height; y++) rows[y] = raw.data() + y * rowBytes;
    png_read_image(png, rows.data());
    png_read_end(png, nullptr);
    png_destroy_read_struct(&png, &info, nullptr);
    fclose(in);

    // Unpacked by hand, so the file's own bit depth is what is checked.
    if (image.colorType == PNG_COLOR_TYPE_GRAY && image.bitDepth == 4) {
        image.pixels.resize(static_cast<size_t>(image.width) * image.height);
        for (unsigned y = 0; y < image.height; y++) {
            for (unsigned x = 0; x < image.width; x++) {
                uint8_t b = raw[y * rowBytes + x / 2];
                image.pixels[static_cast<size_t>(y) * image.width + x] =
                        (x % 2 == 0) ? static_cast<uint8_t>(b >> 4) : static_cast<uint8_t>(b & 0xF);
            }
        }
        image.ok = true;
    }
    return image;
}

}  // namespace subtest
