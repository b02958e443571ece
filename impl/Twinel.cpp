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
#include "display.h"
#include "mutex_lock.h"
#include "sub_display.h"

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

int32_t Twinel::writeInt32(const std::string& path, int32_t value) {
    if (!isExist(path)) {
        ALOGE("File is not exist : %s", path.c_str());
        return -1;
    }
    if (!isReadable(path)) {
        ALOGE("Cannot Read file : %s", path.c_str());
        return -4;
    }
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
    if (!isExist(path)) {
        ALOGE("File is not exist : %s", path.c_str());
        return -1;
    }
    if (!isReadable(path)) {
        ALOGE("Cannot Read file : %s", path.c_str());
        return -4;
    }
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

namespace {

// How long the dump waits for a lock: a bug report must not hang on a stuck
// lock. What the lock guards is then left out.
constexpr std::chrono::milliseconds kDumpLockWait{200};

std::string fmt(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string fmt(const char* format, ...) {
    char buf[512];
    va_list args;
    va_start(args, format);
    vsnprintf(buf, sizeof(buf), format, args);
    va_end(args);
    return buf;
}

std::string values(const uint32_t* v, size_t n) {
    std::string s = "{";
    for (size_t i = 0; i < n; i++) s += (i ? "," : "") + std::to_string(v[i]);
    return s + "}";
}

std::string colourDump(const sPrgb& rgb, const sScreentune& tune, const sScreenmode& mode) {
    return fmt("prgb %s dirty=%d, screentune %s dirty=%d, smode %d dirty=%d",
               values(rgb.value, 4).c_str(), rgb.dirty, values(tune.value, 3).c_str(), tune.dirty,
               mode.mode, mode.dirty);
}

std::string displayDump() {
    std::string s = "Cover display\n";
    s += fmt("  tw2_initialized: %d  tw2_enabled: %d  BrightnessThread: %s\n",
             tw2_initialized.load(), tw2_enabled.load(),
             b_created_brightnessThread ? "started" : "not started");
    // The accessory's text, control characters shown as \xHH. Read only once
    // stored: until then a request may be filling it.
    std::string text;
    for (const char* c = store_cutout ? cutout : ""; *c != '\0'; c++) {
        unsigned char u = static_cast<unsigned char>(*c);
        text += u >= 0x20 && u != 0x7f ? std::string(1, *c) : fmt("\\x%02x", u);
    }
    s += std::string("  cutout: ") + (store_cutout ? "stored" : "not stored") + " \"" + text +
         "\"\n";
    MutexLock lock(&tw2_display_mutex, "debug", kDumpLockWait);
    if (!lock.owns()) {
        return s + "  (tw2_display_mutex busy: status, queue and colour left out)\n";
    }
    TwinelStatus st = tw2_status;
    std::deque<int32_t> queue = br_arr;
    int32_t offsetCount = br_offset_count;
    std::string now = colourDump(prgb, screentune, smode);
    std::string old = colourDump(old_prgb, old_screentune, old_smode);
    lock.unlock();
    s +=
            fmt("  tw2_status: connected=%d brightnessOffset=%d reserved=%d "
                "brightnessOffsetBypass=%d brightness=%d\n",
                st.connected, st.brightnessOffset, st.reserved, st.brightnessOffsetBypass,
                st.brightness);
    std::string levels;
    for (int32_t level : queue) levels += (levels.empty() ? "" : " ") + std::to_string(level);
    s += fmt("  br_arr: %zu of %d [%s]  br_offset_count: %d\n", queue.size(), BR_ARR_MAX,
             levels.c_str(), offsetCount);
    s += "  colour:   " + now + "\n";
    s += "  snapshot: " + old + "\n";
    return s;
}

const char* bufferStateName(BufferState state) {
    switch (state) {
        case BUFFER_FREE:
            return "BUFFER_FREE";
        case BUFFER_WRITING:
            return "BUFFER_WRITING";
        case BUFFER_FILLED:
            return "BUFFER_FILLED";
        case BUFFER_CONSUMING:
            return "BUFFER_CONSUMING";
    }
    return "?";
}

const char* subScreenStateName(int32_t state) {
    switch (state) {
        case 0:
            return "not present";
        case 1:
            return "initialised";
        case 2:
            return "off";
        case 3:
            return "on";
    }
    return "?";
}

std::string subDisplayDump(Twinel* hal) {
    std::string s = "Sub display\n";
    if (MutexLock lock(&hal->mSubDisplayMutex, "debug", kDumpLockWait); lock.owns()) {
        int32_t state = subScreen_status;
        SubScreenInfo info = sub_screen_info;
        bool callback = hal->mSubDisplayCallback != nullptr;
        lock.unlock();
        s += fmt("  subScreen_status: %d (%s)  sub_screen_info: %ux%u format %u  callback: %s\n",
                 state, subScreenStateName(state), info.x, info.y, info.format,
                 callback ? "registered" : "none");
    } else {
        s += "  (mSubDisplayMutex busy: state, info and callback left out)\n";
    }
    s += fmt("  power_state_in_progress: %d  sub_display_destroyThread: %d\n",
             power_state_in_progress.load(), sub_display_destroyThread.load());
    if (MutexLock lock(&mSubDisplayUpdateThreadMutex, "debug", kDumpLockWait); lock.owns()) {
        bool running = updateThreadCreated;
        uint8_t current = cur_buffer_index;
        lock.unlock();
        s += fmt("  subDisplayUpdateThread: %s  cur_buffer_index: %u\n",
                 running ? "running" : "not running", current);
    } else {
        s += "  (mSubDisplayUpdateThreadMutex busy: frame thread left out)\n";
    }
    for (uint8_t i = 0; i < 2; i++) {
        BufferState state = getBufferState(i);
        s += fmt("  FB%u: %s (%d), %u bytes per frame\n", i, bufferStateName(state), state,
                 palette_buffer[i].size);
    }
    return s;
}

std::string lpwgDump(Twinel* hal) {
    std::string s = "LPWG\n";
    s += fmt("  mLpwgCallback: %s  uevent worker: %s\n",
             hal->lpwgCallback() != nullptr ? "registered" : "none",
             hal->mLpwgThreadStarted ? "running" : "not running");
    if (MutexLock lock(&hal->mLpwgMutex, "debug", kDumpLockWait); lock.owns()) {
        size_t stopped = hal->mLpwgStoppedWorkers.size();
        lock.unlock();
        if (stopped != 0) {
            s += fmt("  stopped uevent workers still in a call to a peer: %zu\n", stopped);
        }
    } else {
        s += "  (mLpwgMutex busy: stopped workers left out)\n";
    }
    return s;
}

}  // namespace

Return<void> Twinel::debug(const hidl_handle& fd, const hidl_vec<hidl_string>& /*options*/) {
    if (fd.getNativeHandle() == nullptr || fd->numFds < 1) return Void();
    int out = fd->data[0];
    std::string s;
    s += "Twinel HAL\n";
    s += "  mUsbAttached: " + std::to_string(mUsbAttached.load()) + "\n";
    s += "  mSerialAttached: " + std::to_string(mSerialAttached.load()) + "  mSerialPath: \"" +
         serialPath() + "\"\n";
    s += "  mHidDisplayAttached: " + std::to_string(mHidDisplayAttached.load()) +
         "  mHidDisplayPath: \"" + hidDisplayPath() + "\"\n";
    s += "  mUsbAutoSuspendDisableVote: " + std::to_string(usbAutoSuspendDisableVote()) + "\n";
    s += "  mSerialLogEnabled: " + std::to_string(mSerialLogEnabled.load()) + "\n";
    s += fmt("  AT line wait: %d ms  kAtExchangeLimitMs: %d ms (AtCmdTimeoutException, any)\n",
             kAtLineTimeoutMs, kAtExchangeLimitMs);
    s += "  mDfuFilePath: \"" + std::string(mDfuFilePath) + "\"\n";
    s += "  destroyThread: " + std::to_string(destroyThread.load()) + "\n";
    s += displayDump();
    s += subDisplayDump(this);
    s += lpwgDump(this);
    s += atHistoryDump();
    writeAll(out, s);
    return Void();
}

}  // namespace implementation
}  // namespace V1_1
}  // namespace twinel
}  // namespace hardware
}  // namespace zyr
}  // namespace vendor
