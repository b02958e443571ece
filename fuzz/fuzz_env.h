/*
 * Copyright (C) 2026 The Twinel HAL Authors
 *
 * Licensed under the Apache License, Version 2.0 (the "License");
 * you may not use this file except in compliance with the License.
 */

#pragma once

// The process-wide set-up the fuzz targets share: a Twinel object running
// against the simulator under a temporary device root, with the accessory
// plugged and attached (AT channel up, sub display powered on). Built on the
// first input and torn down at exit, so each input costs only the exchange
// it drives.

#include <stddef.h>
#include <stdint.h>
#include <twsim/simulator.h>

#include <string>

#include "Twinel.h"

namespace twfuzz {

using HalImpl = ::vendor::zyr::hardware::twinel::V1_1::implementation::Twinel;

struct Env {
    twsim::Simulator* sim;
    HalImpl* hal;
};

// The shared set-up; aborts when the accessory does not attach, since no
// input could then reach the code under test.
Env& env();

// Called after each input: waits for the accessory to come back when the
// input made the service recover it, and now and then drops what the
// simulator recorded so that long runs keep a flat memory.
void settle();

// Reads the fuzz input as a small stream of fields.
class Input {
  public:
    Input(const uint8_t* data, size_t size) : mData(data), mSize(size) {}
    size_t remaining() const { return mSize - mPos; }
    uint8_t u8() { return mPos < mSize ? mData[mPos++] : 0; }
    uint16_t u16() { return static_cast<uint16_t>(u8() | (u8() << 8)); }
    // Bytes up to (not including) `stop`, or to the end.
    std::string until(char stop);
    // Everything left.
    std::string rest();

  private:
    const uint8_t* mData;
    size_t mSize;
    size_t mPos = 0;
};

}  // namespace twfuzz
