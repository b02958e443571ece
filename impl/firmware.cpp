/*
 * Copyright (C) 2026 The Twinel HAL Authors
 *
 * Licensed under the Apache License, Version 2.0 (the "License");
 * you may not use this file except in compliance with the License.
 */

#define LOG_TAG "vendor.zyr.hardware.twinel@1.1-service"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <log/log.h>
#include <string.h>
#include <sys/stat.h>
#include <twdevice/device.h>

#include "Twinel.h"
#include "device_fd.h"
#include "nodes.h"

namespace vendor {
namespace zyr {
namespace hardware {
namespace twinel {
namespace V1_1 {
namespace implementation {

#define FW_RESP_SIZE 1024
#define DFU_EXTENSION ".dfu"
#define DFU_NAME_SIZE 1024

enum FirmwareRequest : int32_t {
    FIRMWARE_CANCEL = 0,
    FIRMWARE_UPGRADE = 1,
    FIRMWARE_RECOVERY = 6,
};

// ---------------------------------------------------------------------------
// Upgrade and download-mode triggers

Return<Status> Twinel::doFirmwareUpgrade() {
    return writeInt32(kFirmwareWritePath, FIRMWARE_UPGRADE) == 0 ? Status::SUCCESS
                                                                 : Status::FAILURE;
}

Status Twinel::doRecoveryUpgrade() {
    return writeInt32(kFirmwareWritePath, FIRMWARE_RECOVERY) == 0 ? Status::SUCCESS
                                                                  : Status::FAILURE;
}

Return<Status> Twinel::cancelFirmwareUpgrade() {
    return writeInt32(kFirmwareWritePath, FIRMWARE_CANCEL) == 0 ? Status::SUCCESS : Status::FAILURE;
}

static Status downloadMode(Twinel* hal, const char* cmd, const char* func) {
    // The cover display is switched off before the accessory leaves its
    // normal identity.
    hal->writeString(kTw2PdPath, "0 0");
    char resp[FW_RESP_SIZE];
    memset(resp, 0, sizeof(resp));
    int32_t ret = hal->serialAtCmd(cmd, resp, sizeof(resp), nullptr);
    if (ret == -1) return Status::FAILURE;
    ALOGD("%s: %s", func, resp);
    return Status::SUCCESS;
}

Return<Status> Twinel::goDload() {
    return downloadMode(this, "AT%GODLOAD\r", __func__);
}

Return<Status> Twinel::goSTMDload() {
    return downloadMode(this, "AT%GOSTMDLOAD\r", __func__);
}

// ---------------------------------------------------------------------------
// Firmware version check and image selection
//
// Version texts and image names share one rule: the text before the first
// "-" is the model, the text before the first "_" the version key. Keys are
// ordered byte by byte, so "V10" sorts before "V9".

// Copies the text of `name` before the first `stop` (all of it when there is
// none) into `out`, which holds DFU_NAME_SIZE bytes.
static void namePart(const char* name, char stop, char* out) {
    const char stops[2] = {stop, '\0'};
    size_t len = strcspn(name, stops);
    if (len >= DFU_NAME_SIZE) len = DFU_NAME_SIZE - 1;
    memcpy(out, name, len);
    out[len] = '\0';
}

// Copies `src` into `dst` of `size` bytes, cut short and always terminated.
static void copyName(char* dst, size_t size, const char* src) {
    size_t len = strlen(src);
    if (len > size - 1) len = size - 1;
    memcpy(dst, src, len);
    dst[len] = '\0';
}

static bool isImageName(const char* name) {
    const char* dot = strrchr(name, '.');
    return dot != nullptr && strcmp(dot, DFU_EXTENSION) == 0;
}

// Only a regular file (directly or through a link) can be handed to the
// updater: a directory or a link to nothing under an image's name is not an
// image.
static bool isRegularFile(DIR* dir, const char* name) {
    struct stat st;
    if (fstatat(dirfd(dir), name, &st, 0) != 0) {
        ALOGD("%s: %s skipped: %s", "getDFUFile", name, strerror(errno));
        return false;
    }
    if (!S_ISREG(st.st_mode)) {
        ALOGD("%s: %s skipped: not a regular file", "getDFUFile", name);
        return false;
    }
    return true;
}

// Picks the newest image of the accessory's model in `path`. `selected`
// (DFU_NAME_SIZE bytes, zeroed) receives its name; empty when the directory
// holds no image. When only other models' images are there, the last of them
// goes to mDfuFilePath and the result is a failure.
static Status getDFUFile(Twinel* hal, const std::string& path, const char* version,
                         char* selected) {
    char model[DFU_NAME_SIZE] = {};
    char entryModel[DFU_NAME_SIZE] = {};
    char entryKey[DFU_NAME_SIZE] = {};
    char selectedKey[DFU_NAME_SIZE] = {};
    char mismatch[DFU_NAME_SIZE] = {};
    bool mismatched = false;

    namePart(version, '-', model);

    UniqueDir dir(twdevice::opendir(path.c_str()));
    if (dir == nullptr) {
        ALOGD("DIR open fail");
        return Status::FAILURE;
    }

    struct dirent* entry;
    while ((entry = readdir(dir.get())) != nullptr) {
        const char* name = entry->d_name;
        if (!isImageName(name)) continue;
        if (strlen(name) >= DFU_NAME_SIZE) return Status::FAILURE;
        if (!isRegularFile(dir.get(), name)) continue;
        namePart(name, '-', entryModel);
        if (strcmp(entryModel, model) != 0) {
            ALOGE("%s: TW: %s LOCAL: %s, firmware mismatch", __func__, version, name);
            copyName(mismatch, sizeof(mismatch), name);
            mismatched = true;
            continue;
        }
        namePart(name, '_', entryKey);
        if (selected[0] == '\0') {
            copyName(selected, DFU_NAME_SIZE, name);
            copyName(selectedKey, sizeof(selectedKey), entryKey);
            ALOGD("%s: %s selected", __func__, name);
        } else if (strncmp(entryKey, selectedKey, strlen(entryKey)) > 0) {
            memset(selected, 0, DFU_NAME_SIZE);
            copyName(selected, DFU_NAME_SIZE, name);
            copyName(selectedKey, sizeof(selectedKey), entryKey);
            ALOGD("%s: %s change selected", __func__, name);
        }
    }
    dir.reset();

    if (selected[0] == '\0' && mismatched) {
        ALOGE("%s: There is no matching firmware", __func__);
        copyName(hal->mDfuFilePath, sizeof(hal->mDfuFilePath), mismatch);
        return Status::FAILURE;
    }
    return Status::SUCCESS;
}

Return<void> Twinel::getFirmwareVersion(getFirmwareVersion_cb _hidl_cb) {
    // One guard byte past the reply keeps it terminated.
    char resp[FW_RESP_SIZE + 1];
    memset(resp, 0, sizeof(resp));
    int32_t ret = serialAtCmd("AT%SWV\r", resp, FW_RESP_SIZE, nullptr);
    if (ret != -1) ALOGD("%s: %s", __func__, resp);
    _hidl_cb(ret == -1 ? Status::FAILURE : Status::SUCCESS, hidl_string(ret == -1 ? "" : resp));
    return Void();
}

Return<Status> Twinel::checkFirmwareVersion() {
    char version[FW_RESP_SIZE + 1];
    memset(version, 0, sizeof(version));
    if (serialAtCmd("AT%SWV\r", version, FW_RESP_SIZE, nullptr) == -1) {
        ALOGD("%s: AT command failed", __func__);
        return Status::FAILURE;
    }
    ALOGD("%s: %s", __func__, version);
    if (strlen(version) >= DFU_NAME_SIZE) return Status::FAILURE;

    char selected[DFU_NAME_SIZE];
    memset(selected, 0, sizeof(selected));
    Status status = getDFUFile(this, kDfuDir, version, selected);
    if (status != Status::SUCCESS) return status;
    copyName(mDfuFilePath, sizeof(mDfuFilePath), selected);

    char selectedKey[DFU_NAME_SIZE];
    char versionKey[DFU_NAME_SIZE];
    namePart(selected, '_', selectedKey);
    namePart(version, '_', versionKey);
    if (strncmp(selectedKey, versionKey, strlen(versionKey)) <= 0) {
        ALOGD("%s: dfu_prebuilt = %s", __func__, selectedKey);
        ALOGD("%s: doFirmwareUpgrade not called", __func__);
        return Status::SUCCESS;
    }

    ALOGD("%s: dfu_prebuilt = %s", __func__, mDfuFilePath);
    ALOGD("%s: doFirmwareUpgrade called", __func__);
    Return<Status> upgrade = doFirmwareUpgrade();
    upgrade.isOk();
    return Status::FAILURE;
}

Return<void> Twinel::getFirmwareFile(getFirmwareFile_cb _hidl_cb) {
    ALOGD("%s: mDfuFilePath = %s", __func__, mDfuFilePath);
    _hidl_cb(Status::SUCCESS, hidl_string(mDfuFilePath));
    return Void();
}

}  // namespace implementation
}  // namespace V1_1
}  // namespace twinel
}  // namespace hardware
}  // namespace zyr
}  // namespace vendor
