/*
 * Copyright (C) 2026 The Twinel HAL Authors
 *
 * Licensed under the Apache License, Version 2.0 (the "License");
 * you may not use this file except in compliance with the License.
 */

// Firmware image selection and version comparison: the input's first line
// is the version the accessory reports to "AT%SWV", each further line the
// name of an image in the phone's firmware directory (names a file system
// cannot hold are skipped). checkFirmwareVersion() then picks an image and
// compares; the image it names must be one of those in the directory.

#include <stdio.h>
#include <stdlib.h>
#include <twsim/dfu_images.h>

#include <algorithm>
#include <set>

#include "fuzz_env.h"

using ::android::hardware::hidl_string;
using ::vendor::zyr::hardware::twinel::V1_0::Status;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    twfuzz::Env& env = twfuzz::env();
    twfuzz::Input in(data, size);

    std::string version = in.until('\n');
    // A carriage return would end the reply's line early: not a version the
    // accessory can report.
    version.erase(std::remove(version.begin(), version.end(), '\r'), version.end());

    if (!twsim::clearDfuImages(*env.sim)) abort();
    std::set<std::string> names;
    while (in.remaining() > 0 && names.size() < 64) {
        std::string name = in.until('\n');
        if (name.empty() || name.size() > 255 || name == "." || name == ".." ||
            name.find('/') != std::string::npos || name.find('\0') != std::string::npos) {
            continue;
        }
        if (twsim::addDfuImage(*env.sim, name)) names.insert(name);
    }
    env.sim->setFirmwareVersion(version);

    // Each input starts from no choice, so the one read back is this input's.
    env.hal->mDfuFilePath[0] = '\0';
    env.hal->checkFirmwareVersion();
    std::string file;
    env.hal->getFirmwareFile([&](Status, const hidl_string& f) { file = f; });
    if (!file.empty() && names.count(file) == 0) {
        fprintf(stderr, "checkFirmwareVersion chose [%s], not in the directory\n", file.c_str());
        abort();
    }
    twfuzz::settle();
    return 0;
}
