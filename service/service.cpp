/*
 * Copyright (C) 2026 The Twinel HAL Authors
 *
 * Licensed under the Apache License, Version 2.0 (the "License");
 * you may not use this file except in compliance with the License.
 */

#define LOG_TAG "vendor.zyr.hardware.twinel@1.1-service"

#include <errno.h>
#include <hidl/HidlTransportSupport.h>
#include <log/log.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>

#include "Twinel.h"

#ifndef __ANDROID__
#include <twcutils/stderr_logger.h>
#endif

using ::android::OK;
using ::android::sp;
using ::android::status_t;
using ::android::hardware::configureRpcThreadpool;
using ::android::hardware::joinRpcThreadpool;
using ::vendor::zyr::hardware::twinel::V1_1::ITwinel;
using ::vendor::zyr::hardware::twinel::V1_1::implementation::Twinel;

#ifndef __ANDROID__
// On a workstation the log goes to stderr, one write per line as a line
// costs on the phone, INFO and above unless
// TWINEL_LOG_LEVEL names another minimum (v, d, i, w, e).
static void setHostLogLevel() {
    twcutils::useStderrLogger();
    const char* level = getenv("TWINEL_LOG_LEVEL");
    if (level == nullptr || level[0] == '\0') return;
    switch (level[0]) {
        case 'v':
            __android_log_set_minimum_priority(ANDROID_LOG_VERBOSE);
            break;
        case 'd':
            __android_log_set_minimum_priority(ANDROID_LOG_DEBUG);
            break;
        case 'i':
            __android_log_set_minimum_priority(ANDROID_LOG_INFO);
            break;
        case 'w':
            __android_log_set_minimum_priority(ANDROID_LOG_WARN);
            break;
        case 'e':
            __android_log_set_minimum_priority(ANDROID_LOG_ERROR);
            break;
    }
}
#endif

int main() {
#ifndef __ANDROID__
    setHostLogLevel();
#endif
    // A debug() reader that goes away mid-dump (a cancelled bug report) must
    // end only the dump: the write fails with EPIPE instead.
    if (signal(SIGPIPE, SIG_IGN) == SIG_ERR) {
        ALOGE("Cannot ignore SIGPIPE: %s", strerror(errno));
    }

    sp<ITwinel> service = new Twinel();

    configureRpcThreadpool(1, true /* callerWillJoin */);

    status_t status = service->registerAsService("default");
    if (status == OK) {
        ALOGI("Twinel HAL Ready.");
        joinRpcThreadpool();
    }

    ALOGE("Cannot register Tiwnel HAL service");
    service = nullptr;
    return 1;
}
