/*
 * Copyright (C) 2026 The Twinel HAL Authors
 *
 * Licensed under the Apache License, Version 2.0 (the "License");
 * you may not use this file except in compliance with the License.
 */

#define LOG_TAG "vendor.zyr.hardware.twinel@1.1-service"

#include "Twinel.h"

#include <errno.h>
#include <fcntl.h>
#include <log/log.h>
#include <signal.h>
#include <stdarg.h>
#include <string.h>
#include <sys/eventfd.h>
#include <time.h>
#include <twdevice/device.h>
#include <unistd.h>

#include <chrono>
#include <mutex>

#include "at_history.h"
#include "device_fd.h"
#include "dump.h"
#include "mutex_lock.h"

namespace vendor {
namespace zyr {
namespace hardware {
namespace twinel {
namespace V1_1 {
namespace implementation {

Twinel* instance = nullptr;
pthread_mutex_t instanceMutex = PTHREAD_MUTEX_INITIALIZER;
std::atomic<bool> destroyThread{false};

namespace {

// SIGUSR1 only pokes this eventfd; the teardown itself (joining threads,
// logging) runs on an ordinary thread, where it is safe. Both are set once,
// by the first constructor (under sSignalOnce), and fixed from then on; the
// thread is joined at exit.
unique_fd sSignalFd;
pthread_t sSignalThread;
std::once_flag sSignalOnce;

constexpr uint64_t kSignalTeardown = 1;
constexpr uint64_t kSignalStop = 1ull << 32;

void* signalThread(void* arg) {
    pthread_setname_np(pthread_self(), "tw-signal");
    const int fd = static_cast<int>(reinterpret_cast<intptr_t>(arg));
    for (;;) {
        uint64_t value = 0;
        ssize_t n = read(fd, &value, sizeof(value));
        if (n < 0 && errno == EINTR) continue;
        if (n != sizeof(value)) {
            ALOGE("signal thread: failed to read: %s", strerror(errno));
            return nullptr;
        }
        if (value >= kSignalStop) return nullptr;
        Twinel* hal = instance;
        destroyThread = true;
        if (hal != nullptr) hal->usbThreadJoin();
        ALOGD("destroy set");
    }
}

void stopSignalThread() {
    uint64_t stop = kSignalStop;
    if (sSignalFd >= 0 && write(sSignalFd, &stop, sizeof(stop)) == sizeof(stop)) {
        pthread_join(sSignalThread, nullptr);
    }
}

void startSignalThread() {
    unique_fd fd(eventfd(0, EFD_CLOEXEC));
    if (!fd.ok()) {
        ALOGE("failed to create signal eventfd: %s", strerror(errno));
        return;
    }
    int ret = pthread_create(&sSignalThread, nullptr, signalThread,
                             reinterpret_cast<void*>(static_cast<intptr_t>(fd.get())));
    if (ret != 0) {
        ALOGE("Failed to create signal pthread: %s", strerror(ret));
        return;
    }
    sSignalFd = std::move(fd);
    atexit(stopSignalThread);
}

}  // namespace

Twinel::Twinel()
    : mLpwgCallback(nullptr),
      mSubDisplayCallback(nullptr),
      mDfuFilePath(),
      mLpwgThread(),
      mLpwgMutex(PTHREAD_MUTEX_INITIALIZER),
      mUsbThread(),
      mUsbNotifyThread(),
      mUsbAttached(false),
      mUsbAutoSuspendDisableVote(0),
      mUsbHost(nullptr),
      mInotifyFd(-1),
      mSerialLogThread(),
      mSerialPath(),
      mSerialAttached(false),
      mSerialLogEnabled(false),
      mLogToLogcat(true),
      mLogToKmsg(true),
      mHidDisplayPath(),
      mHidDisplayAttached(false),
      mSubDisplayUpdateThread(),
      mSubDisplayMutex(PTHREAD_MUTEX_INITIALIZER),
      mUsbNotifyWakeFd(),
      mUsbThreadStarted(false),
      mUsbNotifyThreadStarted(false),
      mSerialLogThreadStarted(false) {
    ALOGD("================================================");
    ALOGD("========== Twinel HAL Constructor ==========");
    ALOGD("================================================");

    {
        MutexLock lock(&instanceMutex, "Twinel");
        instance = this;
    }

    destroyThread = false;

    std::call_once(sSignalOnce, startSignalThread);
    struct sigaction sa = {};
    sa.sa_handler = Twinel::sighandler;
    sa.sa_flags = SA_RESTART;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGUSR1, &sa, nullptr);

    unique_fd wake(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    if (!wake.ok()) ALOGE("failed to create wake eventfd: %s", strerror(errno));
    mUsbNotifyWakeFd = std::move(wake);

    int ret = pthread_create(&mUsbNotifyThread, nullptr, usbNotifyThread, this);
    if (ret != 0) {
        ALOGE("Failed to create usb notify pthread: %s", strerror(ret));
    } else {
        mUsbNotifyThreadStarted = true;
        ret = pthread_create(&mUsbThread, nullptr, usbThread, this);
        if (ret != 0) {
            ALOGE("Failed to create usb pthread: %s", strerror(ret));
        } else {
            mUsbThreadStarted = true;
        }
    }
    if (ret != 0) {
        destroyThread = true;
        usbThreadJoin();
        ALOGE("Exiting Twinel");
        exit(1);
    }
}

Twinel::~Twinel() {
    mSubDisplayCallback = nullptr;
    mLpwgCallback = nullptr;
}

void Twinel::sighandler(int signal) {
    if (signal != SIGUSR1 || sSignalFd < 0) return;
    // Only async-signal-safe work here: hand the teardown to signalThread.
    int saved = errno;
    uint64_t one = kSignalTeardown;
    ssize_t n = write(sSignalFd, &one, sizeof(one));
    (void)n;
    errno = saved;
}

// ---------------------------------------------------------------------------
// Node helpers

bool Twinel::isExist(const std::string& path) {
    return twdevice::access(path.c_str(), F_OK) == 0;
}

bool Twinel::isReadable(const std::string& path) {
    return twdevice::access(path.c_str(), R_OK) == 0;
}

// Opens `path` for output as fopen(path, "w") does.
static DeviceFd openForWrite(const std::string& path) {
    return DeviceFd(twdevice::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666));
}

static void writeAll(int fd, const std::string& text) {
    size_t done = 0;
    while (done < text.size()) {
        ssize_t n = write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;  // partial writes are not reported
        done += static_cast<size_t>(n);
    }
}

// What both node accessors check first: 0, or -1 for a missing node and -4
// for one that cannot be read (their callers tell the two apart).
static int32_t checkNode(Twinel* hal, const std::string& path) {
    if (!hal->isExist(path)) {
        ALOGE("File is not exist : %s", path.c_str());
        return -1;
    }
    if (!hal->isReadable(path)) {
        ALOGE("Cannot Read file : %s", path.c_str());
        return -4;
    }
    return 0;
}

int32_t Twinel::writeInt32(const std::string& path, int32_t value) {
    if (int32_t err = checkNode(this, path); err != 0) return err;
    ALOGD("Writing %d to %s", value, path.c_str());
    DeviceFd fd = openForWrite(path);
    if (!fd.ok()) {
        ALOGE("Cannot open path: %s", path.c_str());
        return -3;
    }
    writeAll(fd, std::to_string(value));
    return 0;
}

static bool writeText(const std::string& path, const std::string& text) {
    DeviceFd fd = openForWrite(path);
    if (!fd.ok()) {
        ALOGE("Cannot open path: %s", path.c_str());
        return false;
    }
    writeAll(fd, text);
    return true;
}

bool Twinel::writeString(const std::string& path, std::string text) {
    ALOGD("Writing %s to %s", text.c_str(), path.c_str());
    return writeText(path, text);
}

bool writeNode(const std::string& path, std::string text) {
    ALOGE("Writing %s to %s", text.c_str(), path.c_str());
    return writeText(path, text);
}

int32_t Twinel::readString(const std::string& path, std::string& text) {
    if (int32_t err = checkNode(this, path); err != 0) return err;
    DeviceFd fd(twdevice::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd.ok()) {
        ALOGE("Cannot open path : %s", path.c_str());
        return -3;
    }
    char c;
    for (;;) {
        ssize_t n = read(fd, &c, 1);
        if (n < 0 && errno == EINTR) continue;
        if (n != 1) break;  // end of file or error
        text.push_back(c);
    }
    ALOGD("readString : %s", text.c_str());
    return 0;
}

// ---------------------------------------------------------------------------
// Debug dump (lshal debug)

std::string dumpPrintf(const char* format, ...) {
    char buf[512];
    va_list args;
    va_start(args, format);
    vsnprintf(buf, sizeof(buf), format, args);
    va_end(args);
    return buf;
}

// The options of the dump (lshal debug NAME [OPTION]).
static const char kDebugHelp[] =
        "options:\n"
        "  (none)            the whole state\n"
        "  --at              the last AT exchanges only\n"
        "  --reset-counters  zero the counters (link recoveries, uevents, frames)\n"
        "  --help            this list\n";

Return<void> Twinel::debug(const hidl_handle& fd, const hidl_vec<hidl_string>& options) {
    if (fd.getNativeHandle() == nullptr || fd->numFds < 1) return Void();
    int out = fd->data[0];
    std::string s;
    std::string option = options.size() > 0 ? std::string(options[0]) : "";
    if (options.size() > 1) {
        s = "one option at a time\n" + std::string(kDebugHelp);
    } else if (option == "--help" || option == "-h") {
        s = kDebugHelp;
    } else if (option == "--at") {
        s = atHistoryDump();
    } else if (option == "--reset-counters") {
        usbResetCounters();
        subDisplayResetCounters();
        lpwgResetCounters();
        s = "counters reset\n";
    } else if (!option.empty()) {
        s = "unknown option: " + option + "\n" + kDebugHelp;
    } else {
        s += "Twinel HAL\n";
        s += usbDump(this);
        s += serialDump(this);
        s += "  mDfuFilePath: \"" + std::string(mDfuFilePath) + "\"\n";
        s += "  destroyThread: " + std::to_string(destroyThread.load()) + "\n";
        s += displayDump();
        s += subDisplayDump(this);
        s += lpwgDump(this);
        s += atHistoryDump();
    }
    writeAll(out, s);
    return Void();
}

}  // namespace implementation
}  // namespace V1_1
}  // namespace twinel
}  // namespace hardware
}  // namespace zyr
}  // namespace vendor
