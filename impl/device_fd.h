/*
 * Copyright (C) 2026 The Twinel HAL Authors
 *
 * Licensed under the Apache License, Version 2.0 (the "License");
 * you may not use this file except in compliance with the License.
 */

#pragma once

// Owners of the HAL's descriptors. Whatever the HAL opens is held by one of
// these from the open on and closed when its owner goes, on every path.

#include <android-base/unique_fd.h>
#include <dirent.h>
#include <twdevice/device.h>

#include <memory>

namespace vendor {
namespace zyr {
namespace hardware {
namespace twinel {
namespace V1_1 {
namespace implementation {

using ::android::base::unique_fd;

// A node opened through the device module goes back through it: it keeps a
// HID connection for the next open of the same node.
struct DeviceFdCloser {
    static void Close(int fd) { twdevice::close(fd); }
};
using DeviceFd = ::android::base::unique_fd_impl<DeviceFdCloser>;

struct DirCloser {
    void operator()(DIR* dir) const { closedir(dir); }
};
using UniqueDir = std::unique_ptr<DIR, DirCloser>;

}  // namespace implementation
}  // namespace V1_1
}  // namespace twinel
}  // namespace hardware
}  // namespace zyr
}  // namespace vendor
