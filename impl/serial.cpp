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

#include <mutex>

#include "Twinel.h"
#include "at_history.h"
#include "display.h"

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
#define WAKE_LOCK_PATH "/sys/power/wake_lock"
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
// capture descriptor on the serial port.
static struct pollfd fds[2] = {{-1, POLLIN, 0}, {-1, 0, 0}};
static int32_t nfds = 0;
// Wakes the capture thread when capture is switched off.
static int serialLogWakeFd = -1;
static std::once_flag serialLogWakeOnce;

static void lockMutex(pthread_mutex_t* mutex, const char* func) {
    int ret = pthread_mutex_lock(mutex);
    if (ret != 0) ALOGE("Error at pthread_mutex_lock() : %s\n", func);
}

static void unlockMutex(pthread_mutex_t* mutex, const char* func) {
    int ret = pthread_mutex_unlock(mutex);
    if (ret != 0) ALOGE("Error at pthread_mutex_unlock() : %s\n", func);
}

static int64_t nowUs() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000000 + ts.tv_nsec / 1000;
}

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

    int64_t start = nowUs();
    lockMutex(&serialMutex, __func__);

    if (!mSerialAttached) {
        errno = ENODEV;
        ALOGE("%s: %s", __func__, strerror(errno));
        trace.done(-1, errno);
        atHistoryRecord(cmd, -1, errno, nowUs() - start);
        unlockMutex(&serialMutex, __func__);
        return -1;
    }
    // One command, ended by its only carriage return: a line end inside it
    // would make the accessory answer twice, and every later exchange would
    // read the answer meant for the one before.
    if (cmdLen < 2 || strncasecmp(cmd, "AT", 2) != 0 || cmd[cmdLen - 1] != '\r' ||
        strcspn(cmd, "\r\n") != cmdLen - 1) {
        errno = EINVAL;
        ALOGE("%s: %s", __func__, strerror(errno));
        trace.done(-1, errno);
        atHistoryRecord(cmd, -1, errno, nowUs() - start);
        unlockMutex(&serialMutex, __func__);
        return -1;
    }

    std::string path = serialPath();
    int fd = twdevice::open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        int err = errno;
        ALOGE("%s: failed to open \"%s\": %s", __func__, path.c_str(), strerror(err));
        trace.done(-1, err);
        atHistoryRecord(cmd, -1, err, nowUs() - start);
        unlockMutex(&serialMutex, __func__);
        errno = err;
        return -1;
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

    discardStaleLines(this, fd);
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
    close(fd);
    // The vote goes back whatever happens next: a recovery that fails
    // leaves the link as it is, and nothing else would ever release it.
    usbAutoSuspend(true, true);
    if (timedOut) usbRecovery();
    trace.done(result, result < 0 ? err : 0);
    atHistoryRecord(cmd, result, result < 0 ? err : 0, nowUs() - start);
    unlockMutex(&serialMutex, __func__);
    if (result < 0) errno = err;
    return result;
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
        lockMutex(&atCallbackMutex, __func__);
        sAtCallback = callback;
        ret = serialAtCmd(cmd.c_str(), resp, sizeof(resp), atLineRelay, &hungUp);
        unlockMutex(&atCallbackMutex, __func__);
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
    lockMutex(&serialMutex, __func__);
    if (mSerialAttached) {
        unlockMutex(&serialMutex, __func__);
        return;
    }
    std::string path = serialPath();
    int fd = twdevice::open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        ALOGE("%s: failed to open \"%s\": %s", __func__, path.c_str(), strerror(errno));
        unlockMutex(&serialMutex, __func__);
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
    close(fd);
    mSerialAttached = true;
    unlockMutex(&serialMutex, __func__);

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
    lockMutex(&serialMutex, __func__);
    if (!mSerialAttached) {
        unlockMutex(&serialMutex, __func__);
        return;
    }
    mSerialAttached = false;
    unlockMutex(&serialMutex, __func__);

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
        serialLogWakeFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
        if (serialLogWakeFd < 0) ALOGE("serialLogEnable: eventfd: %s", strerror(errno));
    });

    if (enable) {
        // A capture thread left running by a failed disable was told to stop
        // then; it ends before a new one takes the poll entries.
        if (mSerialLogThreadStarted.exchange(false)) pthread_join(mSerialLogThread, nullptr);

        lockMutex(&serialMutex, __func__);
        mSerialLogEnabled = true;
        unlockMutex(&serialMutex, __func__);

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

    lockMutex(&serialMutex, __func__);
    mSerialLogEnabled = false;
    unlockMutex(&serialMutex, __func__);
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
    char value[PROPERTY_VALUE_MAX];
    char buf[SERIAL_BUF_SIZE];
    int timeout = -1;

    ALOGD("%s: creating", __func__);
    property_get(PROP_CHIP_VENDOR, value, "0");
    if (strcmp(value, "mtk") == 0) {
        ALOGD("%s MTK model", __func__);
        timeout = 1000;
    }

    lockMutex(&serialMutex, __func__);
    if (!hal->mSerialAttached || !hal->mSerialLogEnabled) {
        unlockMutex(&serialMutex, __func__);
        return nullptr;
    }
    unlockMutex(&serialMutex, __func__);

    // Wake-ups meant for an earlier thread are not ours.
    uint64_t stale;
    while (serialLogWakeFd >= 0 && read(serialLogWakeFd, &stale, sizeof(stale)) > 0) {
    }

    fds[0].fd = inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
    if (fds[0].fd < 0) {
        ALOGE("%s: failed to init inotify: %s", __func__, strerror(errno));
        return nullptr;
    }
    fds[0].events = POLLIN;
    nfds = 1;
    if (twdevice::inotifyAddWatch(fds[0].fd, WAKE_LOCK_PATH, IN_MODIFY) < 0) {
        ALOGE("%s: failed to add watch: %s", __func__, strerror(errno));
        goto exit;
    }

    for (;;) {
        // Follow the display state.
        {
            int wl = twdevice::open(WAKE_LOCK_PATH, O_RDONLY | O_CLOEXEC);
            if (wl < 0) {
                ALOGE("%s: failed to open wake_lock: %s", __func__, strerror(errno));
                goto exit;
            }
            ssize_t n = read(wl, buf, SERIAL_BUF_SIZE - 1);
            int readErr = errno;
            close(wl);
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
            close(fds[1].fd);
            fds[1].fd = -1;
            fds[1].events = 0;
            nfds--;
        } else if (displayOn && fds[1].fd < 0) {
            property_get(PROP_KERNEL_LOG, value, "0");
            if (strcmp(value, "0") != 0) {
                ALOGI("%s: resume", __func__);
                std::string path = hal->serialPath();
                fds[1].fd =
                        twdevice::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
                if (fds[1].fd < 0) {
                    ALOGE("%s: failed to open \"%s\": %s", __func__, path.c_str(), strerror(errno));
                    goto exit;
                }
                nfds++;
                fds[1].events = POLLIN | POLLHUP;
                int bits = TIOCM_DTR;
                if (twdevice::ioctl(fds[1].fd, TIOCMBIS, &bits) < 0) {
                    ALOGE("%s: failed to set DTR: %s", __func__, strerror(errno));
                    goto exit;
                }
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
                if (pthread_mutex_trylock(&serialMutex) != 0) {
                    // An exchange owns the port and reads this line; give it
                    // time instead of spinning on the ready descriptor.
                    usleep(10000);
                    continue;
                }
                ssize_t r = read(fds[1].fd, buf, SERIAL_BUF_SIZE);
                int readErr = errno;
                unlockMutex(&serialMutex, __func__);
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
        if (fds[nfds - 1].fd >= 0) close(fds[nfds - 1].fd);
        fds[nfds - 1].fd = -1;
        nfds--;
    }
    // The capture descriptor may be open while the watch entry is not.
    if (fds[1].fd >= 0) {
        close(fds[1].fd);
        fds[1].fd = -1;
    }
    fds[1].events = 0;
    ALOGD("%s: exiting", __func__);
    return nullptr;
}

// ---------------------------------------------------------------------------
// AT exchange history, for the debug dump

namespace {
struct AtHistoryEntry {
    char cmd[64];
    int32_t result;
    int err;
    int64_t durationUs;
    int64_t whenUs;
};
std::mutex sAtHistoryLock;
AtHistoryEntry sAtHistory[kAtHistorySize];
size_t sAtHistoryNext = 0;
size_t sAtHistoryCount = 0;
}  // namespace

void atHistoryRecord(const char* cmd, int32_t result, int err, int64_t durationUs) {
    std::lock_guard<std::mutex> lock(sAtHistoryLock);
    AtHistoryEntry& e = sAtHistory[sAtHistoryNext];
    size_t n = strcspn(cmd, "\r");
    if (n >= sizeof(e.cmd)) n = sizeof(e.cmd) - 1;
    memcpy(e.cmd, cmd, n);
    e.cmd[n] = '\0';
    e.result = result;
    e.err = err;
    e.durationUs = durationUs;
    e.whenUs = nowUs();
    sAtHistoryNext = (sAtHistoryNext + 1) % kAtHistorySize;
    if (sAtHistoryCount < kAtHistorySize) sAtHistoryCount++;
}

std::string atHistoryDump() {
    std::lock_guard<std::mutex> lock(sAtHistoryLock);
    std::string out = "AT exchanges (last " + std::to_string(sAtHistoryCount) + "):\n";
    int64_t now = nowUs();
    size_t first = (sAtHistoryNext + kAtHistorySize - sAtHistoryCount) % kAtHistorySize;
    for (size_t i = 0; i < sAtHistoryCount; i++) {
        const AtHistoryEntry& e = sAtHistory[(first + i) % kAtHistorySize];
        char line[256];
        snprintf(line, sizeof(line), "  -%7.3fs  %-32s result=%d errno=%d (%s) %.3fms\n",
                 (now - e.whenUs) / 1e6, e.cmd, e.result, e.err, e.err ? strerror(e.err) : "-",
                 e.durationUs / 1000.0);
        out += line;
    }
    return out;
}

}  // namespace implementation
}  // namespace V1_1
}  // namespace twinel
}  // namespace hardware
}  // namespace zyr
}  // namespace vendor
