/*
 * Copyright (C) 2026 The Twinel HAL Authors
 *
 * Licensed under the Apache License, Version 2.0 (the "License");
 * you may not use this file except in compliance with the License.
 */

#define LOG_TAG "vendor.zyr.hardware.twinel@1.1-service"
#define ATRACE_TAG ATRACE_TAG_HAL

#include <cutils/klog.h>
#include <cutils/properties.h>
#include <cutils/trace.h>
#include <errno.h>
#include <fcntl.h>
#include <log/log.h>
#include <poll.h>
#include <string.h>
#include <strings.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <time.h>
#include <twdevice/device.h>
#include <unistd.h>

#include <atomic>
#include <mutex>
#include <string>

#include "Twinel.h"
#include "at_history.h"
#include "device_fd.h"
#include "display.h"
#include "dump.h"
#include "mutex_lock.h"
#include "nodes.h"

namespace vendor {
namespace zyr {
namespace hardware {
namespace twinel {
namespace V1_1 {
namespace implementation {

#define SERIAL_BUF_SIZE 1024
#define AT_RESP_SIZE 1024
// Lines already waiting on the port that an exchange reads away before it
// writes its command, at most.
#define MAX_STALE_LINES 256
#define DISPLAY_WAKE_LOCK "PowerManagerService.Display"
#define PROP_PRODUCT_DEVICE "ro.product.device"
#define PROP_CHIP_VENDOR "ro.vendor.zyr.chip.vendor"
#define PROP_KERNEL_LOG "persist.vendor.zyr.service.kernel.enable"
#define PROP_UART_LOG "persist.vendor.zyr.dd.uart.enable"
#define LOGSAVE_OFF "AT%LOGSAVE=3\r"
#define LOGSAVE_KERNEL "AT%LOGSAVE=0\r"
#define LOGSAVE_UART "AT%LOGSAVE=2\r"

// One AT exchange at a time; guards mSerialAttached and mSerialLogEnabled.
static pthread_mutex_t serialMutex = PTHREAD_MUTEX_INITIALIZER;
// Held by sendAtCommand around the exchange that relays to sAtCallback.
static pthread_mutex_t atCallbackMutex = PTHREAD_MUTEX_INITIALIZER;
// Under atCallbackMutex: written by sendAtCommand, read by atLineRelay within
// the exchange that sendAtCommand holds the lock for.
static sp<ITwinelAtCallback> sAtCallback = nullptr;

// Commands whose reply may take any time.
static const char* AtCmdTimeoutException[] = {
        "AT%TCHNOTIFY=SD",
        "AT%TCHNOTIFY=LPWG_SD",
        "AT%TCHNOTIFY=PULL_SD_RESULT",
        "AT%TCHNOTIFY=FW_UPGRADE",
        nullptr,
};

// Poll entries of the log capture thread: the wake-lock watch, then the
// capture descriptor on the serial port. Used by the capture thread only (one
// at a time); the descriptors are owned by the thread.
static struct pollfd fds[2] = {{-1, POLLIN, 0}, {-1, 0, 0}};
static int32_t nfds = 0;
// Wakes the capture thread when capture is switched off. Created by the first
// serialLogEnable (under serialLogWakeOnce), fixed from then on.
static unique_fd serialLogWakeFd;
static std::once_flag serialLogWakeOnce;

// What the debug dump tells about log capture. The capture thread writes its
// own state, whether its port is open and DTR; the AT exchange writes the
// last log mode command under serialMutex. Plain values, read without a lock.
enum LogCaptureState : int { kCaptureNotStarted, kCaptureRunning, kCaptureEnded };
static std::atomic<int> sCaptureState{kCaptureNotStarted};
static std::atomic<bool> sCapturePortOpen{false};
static std::atomic<bool> sCaptureDtrUp{false};
// The mode digit of the last "AT%LOGSAVE=" written (0 while none) and the
// exchange's result and errno.
static std::atomic<char> sLastLogSave{0};
static std::atomic<int32_t> sLastLogSaveResult{0};
static std::atomic<int> sLastLogSaveErrno{0};

static int64_t nowUs() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000000 + ts.tv_nsec / 1000;
}

namespace {

// One exchange on the AT channel: holds serialMutex from its start to its end
// and, whichever way it ends, records it in the history before the unlock.
class AtExchange {
  public:
    explicit AtExchange(const char* cmd)
        : mCmd(cmd), mStartUs(nowUs()), mLock(&serialMutex, "serialAtCmd") {}

    ~AtExchange() {
        int saved = errno;
        atHistoryRecord(mCmd, mResult, mResult < 0 ? mErr : 0, nowUs() - mStartUs);
        errno = saved;
    }

    // The exchange's result; a failure leaves `err` in errno.
    int32_t finish(int32_t result, int err) {
        mResult = result;
        mErr = err;
        if (result < 0) errno = err;
        return result;
    }

  private:
    const char* const mCmd;
    const int64_t mStartUs;
    int32_t mResult = -1;
    int mErr = 0;
    MutexLock mLock;  // last: released after the record
};

}  // namespace

static bool isFinalLine(const char* line) {
    return strcasecmp(line, "OK\n") == 0 || strcasecmp(line, "ERROR\n") == 0;
}

static bool isTimeoutException(const char* cmd) {
    for (int i = 0; AtCmdTimeoutException[i] != nullptr; i++) {
        if (strncasecmp(cmd, AtCmdTimeoutException[i], strlen(AtCmdTimeoutException[i])) == 0) {
            return true;
        }
    }
    return false;
}

// Reads away the lines already waiting on the port: the answer to an earlier
// exchange that gave up on it (a time-out whose link recovery did not reset
// the link) or the accessory's own log. Read after the command, they would
// pass for its reply. They go to the logs as the accessory's output, as the
// lines before an echo do.
static void discardStaleLines(Twinel* hal, int fd) {
    char line[SERIAL_BUF_SIZE];
    for (int i = 0; i < MAX_STALE_LINES; i++) {
        struct pollfd pfd = {fd, POLLIN, 0};
        if (poll(&pfd, 1, 0) <= 0 || pfd.revents != POLLIN) return;
        // Canonical mode: a whole line is there, the read does not block.
        ssize_t r = read(fd, line, sizeof(line) - 1);
        if (r <= 0) return;
        line[r] = '\0';
        if (line[0] != '\n') hal->serialPrintLog(line);
    }
}

// One AT exchange as a trace slice named after the command; its end carries
// the bytes written and read, the result and the errno (as a key=value child
// slice, which trace viewers show under the exchange).
class AtTraceSlice {
  public:
    AtTraceSlice(const char* cmd, int shown) : mOn(ATRACE_ENABLED()) {
        if (!mOn) return;
        std::string name = "AT ";
        name.append(cmd, static_cast<size_t>(shown));
        ATRACE_BEGIN(name.c_str());
    }
    ~AtTraceSlice() {
        if (mOn) ATRACE_END();
    }
    void done(int32_t result, int err) {
        if (!mOn) return;
        std::string args = "tx=" + std::to_string(mTx) + " rx=" + std::to_string(mRx) +
                           " result=" + std::to_string(result) + " errno=" + std::to_string(err);
        ATRACE_BEGIN(args.c_str());
        ATRACE_END();
    }
    ssize_t mTx = 0;
    ssize_t mRx = 0;

  private:
    const bool mOn;
};

int32_t Twinel::serialAtCmd(const char* cmd, char* resp, size_t respCount, serial_line_cb cb,
                            bool* hungUp) {
    if (hungUp != nullptr) *hungUp = false;
    size_t cmdLen = strlen(cmd);
    int shown = static_cast<int>(cmdLen > 0 && cmd[cmdLen - 1] == '\r' ? cmdLen - 1 : cmdLen);
    ALOGD("%s: resp:%p respCount:%zu cb:%p cmd:[%.*s]", __func__, resp, respCount, cb, shown, cmd);
    AtTraceSlice trace(cmd, shown);

    AtExchange exchange(cmd);

    if (!mSerialAttached) {
        ALOGE("%s: %s", __func__, strerror(ENODEV));
        trace.done(-1, ENODEV);
        return exchange.finish(-1, ENODEV);
    }
    // One command, ended by its only carriage return: a line end inside it
    // would make the accessory answer twice, and every later exchange would
    // read the answer meant for the one before.
    if (cmdLen < 2 || strncasecmp(cmd, "AT", 2) != 0 || cmd[cmdLen - 1] != '\r' ||
        strcspn(cmd, "\r\n") != cmdLen - 1) {
        ALOGE("%s: %s", __func__, strerror(EINVAL));
        trace.done(-1, EINVAL);
        return exchange.finish(-1, EINVAL);
    }

    std::string path = serialPath();
    DeviceFd fd(twdevice::open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC));
    if (!fd.ok()) {
        int err = errno;
        ALOGE("%s: failed to open \"%s\": %s", __func__, path.c_str(), strerror(err));
        trace.done(-1, err);
        return exchange.finish(-1, err);
    }

    usbAutoSuspend(false, true);

    int32_t result = -1;
    int err = 0;
    bool timedOut = false;
    char line[SERIAL_BUF_SIZE] = {};
    char* pos = resp;
    size_t freeBytes = resp != nullptr ? respCount : 0;
    bool echoed = false;
    bool exempt = isTimeoutException(cmd);
    int64_t lineDeadline = 0;
    int64_t exchangeDeadline = 0;

    discardStaleLines(this, fd.get());
    ssize_t written = write(fd, cmd, cmdLen);
    trace.mTx = written;
    if (written < 0) {
        err = errno;
        ALOGE("%s: failed to write [%.*s]", __func__, shown, cmd);
        result = -1;
        goto cleanup;
    }
    ALOGD("%s: wr: [%.*s]", __func__, shown, cmd);

    // The wait for the echo (or the first line) and each reply line after
    // it has kAtLineTimeoutMs; the accessory's log lines before the echo use
    // up that wait instead of starting it again. The exempt commands have no
    // line wait, and no exchange lasts beyond kAtExchangeLimitMs.
    exchangeDeadline = nowUs() + static_cast<int64_t>(kAtExchangeLimitMs) * 1000;
    lineDeadline = exempt ? exchangeDeadline : nowUs() + kAtLineTimeoutMs * 1000;
    for (;;) {
        int64_t leftUs = std::min(lineDeadline, exchangeDeadline) - nowUs();
        int n = 0;
        struct pollfd pfd = {fd, POLLIN | POLLHUP, 0};
        if (leftUs > 0) n = poll(&pfd, 1, static_cast<int>((leftUs + 999) / 1000));
        if (n < 0) {
            if (errno == EINTR) continue;
            err = errno;
            ALOGE("%s: failed to poll: %s", __func__, strerror(err));
            ALOGE("%s: last read buffer value: [%s]", __func__, line);
            result = -1;
            goto cleanup;
        }
        if (n == 0) {
            // No answer: the link is reset once the port is closed.
            err = ETIME;
            ALOGE("%s: %s", __func__, strerror(err));
            timedOut = true;
            result = -1;
            goto cleanup;
        }
        if (pfd.revents & POLLHUP) {
            ALOGD("%s: POLLHUP", __func__);
            if (hungUp != nullptr) *hungUp = true;
            result = 1;
            goto cleanup;
        }
        ssize_t r = read(fd, line, SERIAL_BUF_SIZE - 1);
        if (r < 0) {
            if (errno == EINTR || errno == EAGAIN) continue;
            err = errno;
            ALOGE("%s: failed to read: %s", __func__, strerror(err));
            result = -1;
            goto cleanup;
        }
        line[r] = '\0';
        int len = static_cast<int>(r);
        trace.mRx += r;

        if (!echoed) {
            if (line[0] == '\n' ||
                (static_cast<size_t>(r) == cmdLen && strncasecmp(line, cmd, cmdLen - 1) == 0)) {
                ALOGD("%s: eh: [%.*s]", __func__, len > 0 ? len - 1 : 0, line);
                // What came before the echo was the accessory's own output.
                pos = resp;
                freeBytes = resp != nullptr ? respCount : 0;
                echoed = true;
                if (!exempt) lineDeadline = nowUs() + kAtLineTimeoutMs * 1000;
                continue;
            }
            serialPrintLog(line);
            if (isFinalLine(line)) {
                ALOGD("%s: rd: [%.*s]", __func__, len - 1, line);
                break;
            }
        } else {
            ALOGD("%s: rd: [%.*s]", __func__, len > 0 ? len - 1 : 0, line);
            if (isFinalLine(line)) break;
            if (cb != nullptr) cb(line, len);
            if (!exempt) lineDeadline = nowUs() + kAtLineTimeoutMs * 1000;
        }
        if (freeBytes > 0) {
            size_t n2 = std::min(freeBytes, static_cast<size_t>(r));
            memcpy(pos, line, n2);
            pos += n2;
            freeBytes -= n2;
        }
    }

    if (strncasecmp(line, "E", 1) == 0) {
        ALOGE("%s: Command not supported", __func__);
        err = EPROTONOSUPPORT;
        result = -1;
    } else {
        if (resp != nullptr && respCount != 0) {
            if (pos > resp) {
                pos[-1] = '\0';
            } else {
                resp[0] = '\0';
            }
        }
        result = resp != nullptr ? static_cast<int32_t>(pos - resp) : 0;
    }

cleanup:
    fd.reset();
    if (strncasecmp(cmd, "AT%LOGSAVE=", 11) == 0) {
        char mode = cmd[11];
        sLastLogSave = mode > ' ' && mode < 0x7f ? mode : '?';
        sLastLogSaveResult = result;
        sLastLogSaveErrno = result < 0 ? err : 0;
    }
    // The vote goes back whatever happens next: a recovery that fails
    // leaves the link as it is, and nothing else would ever release it.
    usbAutoSuspend(true, true);
    if (timedOut) {
        noteLinkRecoveryReason("no reply to " + std::string(cmd, std::min(shown, 64)));
        usbRecovery();
    }
    trace.done(result, result < 0 ? err : 0);
    return exchange.finish(result, err);
}

static void atLineRelay(const char* line, int /* len */) {
    if (sAtCallback == nullptr) return;
    Return<void> ret = sAtCallback->responseAtCommand(hidl_string(line));
    if (!ret.isOk()) ALOGD("%s: callback: %s", __func__, ret.description().c_str());
}

Return<void> Twinel::sendAtCommand(const hidl_string& command,
                                   const sp<ITwinelAtCallback>& callback,
                                   sendAtCommand_cb _hidl_cb) {
    // All of it: a command cut at a NUL inside it is not the one asked for,
    // and the AT channel refuses it once it sees no carriage return at its end.
    std::string cmd(command.c_str(), command.size());
    ALOGD("%s: %s", __func__, cmd.c_str());
    cmd += "\r";
    char resp[AT_RESP_SIZE];
    memset(resp, 0, sizeof(resp));

    int32_t ret;
    bool hungUp = false;
    if (callback != nullptr) {
        MutexLock lock(&atCallbackMutex, __func__);
        sAtCallback = callback;
        ret = serialAtCmd(cmd.c_str(), resp, sizeof(resp), atLineRelay, &hungUp);
    } else {
        ret = serialAtCmd(cmd.c_str(), resp, sizeof(resp), nullptr, &hungUp);
    }
    resp[sizeof(resp) - 1] = '\0';
    // A reply cut off by a hang-up is no answer.
    if (hungUp) ALOGE("%s: the port hung up during the reply", __func__);
    _hidl_cb(ret < 0 || hungUp ? Status::FAILURE : Status::SUCCESS, hidl_string(resp));
    return Void();
}

void Twinel::serialPrintLog(const char* line) {
    if (mLogToLogcat) ALOGI("%s", line);
    if (mLogToKmsg) klog_write(6, "<6>Twinel: %s", line);
}

void Twinel::serialDeviceAdded() {
    ALOGD("%s: attached:%d", __func__, mSerialAttached.load());
    {
        MutexLock lock(&serialMutex, __func__);
        if (mSerialAttached) return;
        std::string path = serialPath();
        DeviceFd fd(twdevice::open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC));
        if (!fd.ok()) {
            ALOGE("%s: failed to open \"%s\": %s", __func__, path.c_str(), strerror(errno));
            return;
        }
        struct termios tio;
        memset(&tio, 0, sizeof(tio));
        tio.c_iflag = IGNPAR | IGNCR;
        tio.c_oflag = 0;
        tio.c_cflag = B115200 | CS8 | CREAD | CLOCAL | CRTSCTS;
        tio.c_lflag = ICANON;
        tio.c_line = 0;
        tcsetattr(fd, TCSANOW, &tio);
        fd.reset();
        mSerialAttached = true;
    }

    if (serialAtCmd("ATE0\r", nullptr, 0, nullptr) < 0) {
        ALOGE("%s: failed to write ATE0: %s", __func__, strerror(errno));
        return;
    }

    char model[PROPERTY_VALUE_MAX];
    property_get(PROP_PRODUCT_DEVICE, model, "0");
    if (strncmp(model, "K-38C", 5) == 0) {
        ALOGI("%s: Set MODEL=DCM", __func__);
        serialAtCmd("AT%MODEL=DCM\r", nullptr, 0, nullptr);
    }

    tw2_display_init(this);
    usbReady();
    serialLogEnable(true);

    Return<Status> status = tw_update_state();
    ALOGE("status = %d", status.isOk() ? static_cast<int>(static_cast<Status>(status)) : -1);
}

void Twinel::serialDeviceRemoved() {
    ALOGD("%s: attached:%d", __func__, mSerialAttached.load());
    {
        MutexLock lock(&serialMutex, __func__);
        if (!mSerialAttached) return;
        mSerialAttached = false;
    }

    Return<Status> cancel = cancelFirmwareUpgrade();
    cancel.isOk();
    tw2_display_deinit(this);
    serialLogEnable(false);
}

// ---------------------------------------------------------------------------
// Accessory log capture

const char* Twinel::getLogSaveAtCmd() {
    char value[PROPERTY_VALUE_MAX];
    property_get(PROP_KERNEL_LOG, value, "0");
    if (value[0] == '\0') return LOGSAVE_OFF;
    ALOGD("%s: %s :%s", __func__, PROP_KERNEL_LOG, value);
    if (static_cast<unsigned char>(value[0]) < '1') return LOGSAVE_OFF;

    property_get(PROP_UART_LOG, value, "0");
    if (value[0] == '\0') return LOGSAVE_KERNEL;
    ALOGD("%s: %s :%s", __func__, PROP_UART_LOG, value);
    if (value[0] == '1') return LOGSAVE_UART;
    return LOGSAVE_KERNEL;
}

static void wakeSerialLogThread() {
    uint64_t one = 1;
    if (serialLogWakeFd >= 0 && write(serialLogWakeFd, &one, sizeof(one)) < 0) {
        ALOGE("%s: %s", __func__, strerror(errno));
    }
}

int32_t Twinel::serialLogEnable(bool enable) {
    ALOGD("%s: %d", __func__, enable);
    if (mSerialLogEnabled == enable) return 0;

    std::call_once(serialLogWakeOnce, [] {
        unique_fd fd(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
        if (!fd.ok()) ALOGE("serialLogEnable: eventfd: %s", strerror(errno));
        serialLogWakeFd = std::move(fd);
    });

    if (enable) {
        // A capture thread left running by a failed disable was told to stop
        // then; it ends before a new one takes the poll entries.
        if (mSerialLogThreadStarted.exchange(false)) pthread_join(mSerialLogThread, nullptr);

        {
            MutexLock lock(&serialMutex, __func__);
            mSerialLogEnabled = true;
        }

        int ret = pthread_create(&mSerialLogThread, nullptr, serialLogThread, this);
        if (ret != 0) {
            ALOGE("Failed to create serial_log pthread: %s", strerror(ret));
            errno = ret;
            return -1;
        }
        mSerialLogThreadStarted = true;
        int32_t result = serialAtCmd(getLogSaveAtCmd(), nullptr, 0, nullptr);
        if (result < 0) ALOGE("%s: failed to enable log: %s", __func__, strerror(errno));
        return result;
    }

    {
        MutexLock lock(&serialMutex, __func__);
        mSerialLogEnabled = false;
    }
    // Without a wake-up the thread would sleep until the accessory or the
    // display next changes, and the join below would hang the hotplug thread.
    wakeSerialLogThread();

    int32_t result = 0;
    if (mSerialAttached) {
        result = serialAtCmd(LOGSAVE_OFF, nullptr, 0, nullptr);
        if (result < 0 && mUsbAttached) {
            ALOGE("%s: failed to disable log: %s", __func__, strerror(errno));
            return result;
        }
    }
    if (mSerialLogThreadStarted.exchange(false)) pthread_join(mSerialLogThread, nullptr);
    return result;
}

void* Twinel::serialLogThread(void* arg) {
    pthread_setname_np(pthread_self(), "serial-log");
    Twinel* hal = static_cast<Twinel*>(arg);
    // The dump's view of this thread, whichever way it ends.
    struct CaptureRecord {
        CaptureRecord() { sCaptureState = kCaptureRunning; }
        ~CaptureRecord() {
            sCapturePortOpen = false;
            sCaptureDtrUp = false;
            sCaptureState = kCaptureEnded;
        }
    } record;
    char value[PROPERTY_VALUE_MAX];
    char buf[SERIAL_BUF_SIZE];
    int timeout = -1;

    ALOGD("%s: creating", __func__);
    property_get(PROP_CHIP_VENDOR, value, "0");
    if (strcmp(value, "mtk") == 0) {
        ALOGD("%s MTK model", __func__);
        timeout = 1000;
    }

    {
        MutexLock lock(&serialMutex, __func__);
        if (!hal->mSerialAttached || !hal->mSerialLogEnabled) return nullptr;
    }

    // Wake-ups meant for an earlier thread are not ours.
    uint64_t stale;
    while (serialLogWakeFd >= 0 && read(serialLogWakeFd, &stale, sizeof(stale)) > 0) {
    }

    // The descriptors behind the poll entries, which only name them.
    unique_fd watch(inotify_init1(IN_CLOEXEC | IN_NONBLOCK));
    DeviceFd capture;
    if (!watch.ok()) {
        ALOGE("%s: failed to init inotify: %s", __func__, strerror(errno));
        return nullptr;
    }
    fds[0].fd = watch.get();
    fds[0].events = POLLIN;
    nfds = 1;
    if (twdevice::inotifyAddWatch(fds[0].fd, kWakeLockPath, IN_MODIFY) < 0) {
        ALOGE("%s: failed to add watch: %s", __func__, strerror(errno));
        goto exit;
    }

    for (;;) {
        // Follow the display state.
        {
            DeviceFd wl(twdevice::open(kWakeLockPath, O_RDONLY | O_CLOEXEC));
            if (!wl.ok()) {
                ALOGE("%s: failed to open wake_lock: %s", __func__, strerror(errno));
                goto exit;
            }
            ssize_t n = read(wl, buf, SERIAL_BUF_SIZE - 1);
            int readErr = errno;
            wl.reset();
            if (n < 0) {
                ALOGE("%s: failed to read wake_lock: %s", __func__, strerror(readErr));
                goto exit;
            }
            buf[n] = '\0';
        }
        bool displayOn = strstr(buf, DISPLAY_WAKE_LOCK) != nullptr;
        if (!displayOn && fds[1].fd >= 0) {
            ALOGI("%s: suspend", __func__);
            int bits = TIOCM_DTR;
            if (twdevice::ioctl(fds[1].fd, TIOCMBIC, &bits) < 0) {
                ALOGE("%s: failed to clear DTR: %s", __func__, strerror(errno));
                goto exit;
            }
            sCaptureDtrUp = false;
            capture.reset();
            sCapturePortOpen = false;
            fds[1].fd = -1;
            fds[1].events = 0;
            nfds--;
        } else if (displayOn && fds[1].fd < 0) {
            property_get(PROP_KERNEL_LOG, value, "0");
            if (strcmp(value, "0") != 0) {
                ALOGI("%s: resume", __func__);
                std::string path = hal->serialPath();
                capture.reset(
                        twdevice::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
                fds[1].fd = capture.get();
                if (!capture.ok()) {
                    ALOGE("%s: failed to open \"%s\": %s", __func__, path.c_str(), strerror(errno));
                    goto exit;
                }
                sCapturePortOpen = true;
                nfds++;
                fds[1].events = POLLIN | POLLHUP;
                int bits = TIOCM_DTR;
                if (twdevice::ioctl(fds[1].fd, TIOCMBIS, &bits) < 0) {
                    ALOGE("%s: failed to set DTR: %s", __func__, strerror(errno));
                    goto exit;
                }
                sCaptureDtrUp = true;
            }
        }

        // Capture until the wake-lock list changes.
        bool listChanged = false;
        while (!listChanged) {
            if (!hal->mSerialAttached) goto exit;
            if (!hal->mSerialLogEnabled) goto exit;

            struct pollfd pfds[3];
            for (int i = 0; i < nfds; i++) pfds[i] = fds[i];
            int count = nfds;
            if (serialLogWakeFd >= 0) pfds[count++] = {serialLogWakeFd, POLLIN, 0};
            int n = poll(pfds, count, timeout);
            if (n < 0) {
                if (errno == EINTR) continue;
                ALOGE("%s: failed to poll: %s", __func__, strerror(errno));
                goto exit;
            }
            if (serialLogWakeFd >= 0 && (pfds[count - 1].revents & POLLIN)) {
                uint64_t v;
                while (read(serialLogWakeFd, &v, sizeof(v)) > 0) {
                }
            }
            if (nfds > 1 && (pfds[1].revents & POLLHUP)) {
                ALOGD("%s: POLLHUP", __func__);
                goto exit;
            }
            if (nfds > 1 && (pfds[1].revents & POLLIN)) {
                ssize_t r;
                int readErr;
                {
                    MutexLock lock(&serialMutex, __func__, std::try_to_lock);
                    if (!lock.owns()) {
                        // An exchange owns the port and reads this line; give
                        // it time instead of spinning on the ready descriptor.
                        usleep(10000);
                        continue;
                    }
                    r = read(fds[1].fd, buf, SERIAL_BUF_SIZE);
                    readErr = errno;
                }
                if (r < 0) {
                    if (readErr == EAGAIN) continue;
                    ALOGE("%s: failed to read serial: %s", __func__, strerror(readErr));
                    goto exit;
                }
                if (r >= 1) {
                    buf[r - 1] = '\0';
                    hal->serialPrintLog(buf);
                }
            }
            if (pfds[0].revents & POLLIN) {
                ssize_t r = read(fds[0].fd, buf, SERIAL_BUF_SIZE);
                if (r < 0 && errno != EAGAIN) {
                    ALOGE("%s: inotify read: %s", __func__, strerror(errno));
                    goto exit;
                }
                listChanged = true;
            }
        }
    }

exit:
    while (nfds >= 1) {
        fds[nfds - 1].fd = -1;
        nfds--;
    }
    fds[1].fd = -1;
    fds[1].events = 0;
    // The owners close both descriptors when the thread returns.
    ALOGD("%s: exiting", __func__);
    return nullptr;
}

// ---------------------------------------------------------------------------
// Debug dump

std::string serialDump(Twinel* hal) {
    static const char* const kCaptureStates[] = {"not started", "running", "ended"};
    std::string s;
    s += "  mSerialLogEnabled: " + std::to_string(hal->mSerialLogEnabled.load()) + "\n";
    s += std::string("  log capture: ") + kCaptureStates[sCaptureState.load()] + "\n";
    s += std::string("  log port: ") + (sCapturePortOpen ? "open" : "closed") + "\n";
    s += std::string("  DTR: ") + (sCaptureDtrUp ? "up" : "down") + "\n";
    char mode = sLastLogSave;
    if (mode == 0) {
        s += "  last LOGSAVE: none\n";
    } else if (sLastLogSaveResult < 0) {
        int err = sLastLogSaveErrno;
        s += dumpPrintf("  last LOGSAVE: AT%%LOGSAVE=%c (failed: %s)\n", mode,
                        err != 0 ? strerror(err) : "-");
    } else {
        s += dumpPrintf("  last LOGSAVE: AT%%LOGSAVE=%c (ok)\n", mode);
    }
    s += dumpPrintf(
            "  AT line wait: %d ms  kAtExchangeLimitMs: %d ms (AtCmdTimeoutException, any)\n",
            kAtLineTimeoutMs, kAtExchangeLimitMs);
    return s;
}

}  // namespace implementation
}  // namespace V1_1
}  // namespace twinel
}  // namespace hardware
}  // namespace zyr
}  // namespace vendor
