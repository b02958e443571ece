/*
 * Copyright (C) 2026 The Twinel HAL Authors
 *
 * Licensed under the Apache License, Version 2.0 (the "License");
 * you may not use this file except in compliance with the License.
 */

/*
 * Touch, LPWG and kernel events: the uevent worker that relays the touch
 * driver's wake and pen events to the LPWG callback, the touch diagnostics
 * and self tests, the LPWG status relay, and the AES (pen) mode and touch
 * update-state switches.
 */

#define LOG_TAG "vendor.zyr.hardware.twinel@1.1-service"
#define ATRACE_TAG ATRACE_TAG_HAL

#include <cutils/uevent.h>
#include <errno.h>
#include <fcntl.h>
#include <inttypes.h>
#include <log/log.h>
#include <pthread.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/epoll.h>
#include <sys/stat.h>
#include <time.h>
#include <twdevice/device.h>
#include <unistd.h>
#include <utils/Errors.h>
#include <utils/Trace.h>
#include <vendor/zyr/hardware/lpwg/1.3/ILpwg.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <sstream>
#include <string>

#include "Twinel.h"
#include "dump.h"
#ifdef TWINEL_LATENCY_PROBES
#include <twcutils/latency_probe.h>
#else
#define TW_LATENCY_PROBE(point) ((void)0)
#endif
#include "mutex_lock.h"
#include "nodes.h"

namespace vendor {
namespace zyr {
namespace hardware {
namespace twinel {
namespace V1_1 {
namespace implementation {

using ::vendor::zyr::hardware::lpwg::V1_3::ILpwg;
using ::vendor::zyr::hardware::twinel::V1_0::Result;
using LpwgCallback_1_1 = ::vendor::zyr::hardware::twinel::V1_1::ITwinelLpwgCallback;
using LpwgEventStatus_1_0 = ::vendor::zyr::hardware::twinel::V1_0::LpwgEventStatus;
using LpwgEventStatus_1_1 = ::vendor::zyr::hardware::twinel::V1_1::LpwgEventStatus;

#define SUBSYSTEM_KEY "SUBSYSTEM=ZYR_TW2"
#define GESTURE_KEY "TOUCH_GESTURE_WAKEUP="

// Reply and command buffers of the AT exchanges. Every reply buffer has one
// more byte than serialAtCmd is allowed to fill, so that it always stays
// terminated (a reply cut at the buffer's end, or one that failed half way,
// is not terminated by the AT channel).
#define AT_BUF_SIZE 1024
#define DUMP_BUF_SIZE 4096
#define DUMP_LINE_SIZE 1024
// Longest message __android_log_print keeps (it formats into 1024 bytes).
#define LOG_MESSAGE_MAX 1023
#define SELF_TEST_BUF_SIZE 40960

#define UEVENT_SOCKET_RCVBUF (64 * 1024)
#define UEVENT_MSG_LEN 2048
#define UEVENT_EPOLL_EVENTS 64

// ---------------------------------------------------------------------------
// Uevent worker

// The worker's stop flag: cleared right before a worker starts, set by
// sighandler on SIGUSR1, read by the worker before every wait and after
// every wake-up.
std::atomic<bool> uevent_destroyThread{false};
static_assert(std::atomic<bool>::is_always_lock_free, "the stop flag is set in a signal handler");

// How long setLpwgCallback waits for a worker it stops. An idle worker ends
// at once; one inside a call to a peer (a frozen LPWG service, a callback
// client that does not read) is left to end by itself and joined later, so
// that the only binder thread never waits on a peer.
#define LPWG_WORKER_STOP_WAIT_MS 1000

// One uevent worker. Each has its own stop request besides the process-wide
// flag, so that a worker left behind in a call to a peer still ends once the
// call returns, even after a new worker has cleared the flag.
struct LpwgWorker {
    Twinel* owner = nullptr;
    pthread_t thread;
    std::atomic<bool> stop{false};
    // Set by the worker as its last step; guarded by `lock`.
    std::mutex lock;
    std::condition_variable cond;
    bool ended = false;
    // Why the worker ended (null while it runs); set before `ended`.
    std::atomic<const char*> endReason{nullptr};
};

// What the debug dump tells about the uevent path. Counted where the event
// happens, by the worker and by the operations it calls; read without a lock.
static std::atomic<uint64_t> sUeventsReceived{0};   // ZYR_TW2 uevents taken
static std::atomic<uint64_t> sUeventsDelivered{0};  // callback call that went out
static std::atomic<uint64_t> sUeventsFailed{0};     // callback call failed in transport
static std::atomic<uint64_t> sUeventsHandled{0};    // acted on by the service itself
static std::atomic<uint64_t> sUeventsDropped{0};    // no callback, no value line
// The last event value (LpwgEventStatus, -1 unknown) and when it came.
constexpr int32_t kNoUevent = INT32_MIN;
static std::atomic<int32_t> sLastUevent{kNoUevent};
static std::atomic<int64_t> sLastUeventUs{0};
// The last AES mode sent to the accessory: bit 63 set once one went out,
// bit 32 set when its exchange failed, the mode in the low 32 bits.
static std::atomic<uint64_t> sLastAesMode{0};
// The last touch update state command and its outcome; written after the
// exchange, which is not a hot path, under a lock of its own.
static std::mutex sLastUpdateStateLock;
static std::string sLastUpdateState;

static int64_t monotonicUs() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000000 + ts.tv_nsec / 1000;
}

// Handed to the epoll handler by the worker.
struct uevent_data {
    int32_t fd;     // the uevent socket
    Twinel* owner;  // the worker's start argument
};

// What an epoll registration of the worker carries as its user data.
typedef void (*uevent_handler_t)(uint32_t events, uevent_data* d);

// The result of one of this object's own operations; a local call always
// succeeds in transport, but the result is checked all the same.
static Status statusOf(Return<Status>&& ret) {
    if (!ret.isOk()) {
        ALOGE("%s: %s", __func__, ret.description().c_str());
        return Status::FAILURE;
    }
    return ret;
}

// The worker's SIGUSR1 handler. Only async-signal-safe work here: the flag
// is lock-free and the worker logs "destroy set" itself once it sees it.
static void sighandler(int sig);

// Async-signal-safe (sighandler calls it); the caller logs a failure.
static int installSighandler() {
    struct sigaction sa;
    memset(&sa, 0, sizeof(sa));
    sa.sa_handler = sighandler;
    // epoll waits are never restarted, so the worker still sees EINTR; other
    // threads that happen to take the signal carry on with their calls.
    sa.sa_flags = SA_RESTART;
    sigemptyset(&sa.sa_mask);
    return sigaction(SIGUSR1, &sa, nullptr);
}

static void sighandler(int sig) {
    if (sig == SIGUSR1) {
        uevent_destroyThread = true;
        return;
    }
    installSighandler();
}

int32_t getLpwgStatusHelper_1_1(LpwgEventStatus_1_1& status, std::string& text) {
    static const struct {
        const char* name;
        LpwgEventStatus_1_1 status;
    } kValues[] = {
            {"WAKEUP", static_cast<LpwgEventStatus_1_1>(0)},
            {"TW_PEN_WAKEUP", static_cast<LpwgEventStatus_1_1>(1)},
            {"TW_PEN_WAKEUP_BTN", static_cast<LpwgEventStatus_1_1>(2)},
            {"TW_PEN_DETECTION", static_cast<LpwgEventStatus_1_1>(3)},
            {"SWITCH_AES_BOTH", LpwgEventStatus_1_1::SWITCH_AES_BOTH},
            {"SWITCH_AES_TO_1", LpwgEventStatus_1_1::SWITCH_AES_TO_1},
            {"SWITCH_AES_TO_2", LpwgEventStatus_1_1::SWITCH_AES_TO_2},
            {"TW_UPDATE_STATE", LpwgEventStatus_1_1::TW_UPDATE_STATE},
    };
    for (const auto& v : kValues) {
        if (text == v.name) {
            status = v.status;
            return 0;
        }
    }
    status = static_cast<LpwgEventStatus_1_1>(-1);
    return -1;
}

// One readiness of the uevent socket: at most one message, at most one event.
static void uevent_event(uint32_t /*events*/, uevent_data* d) {
    ATRACE_NAME("uevent");
    char msg[UEVENT_MSG_LEN + 2];
    memset(msg, 0, sizeof(msg));
    ssize_t n = uevent_kernel_multicast_recv(d->fd, msg, UEVENT_MSG_LEN);
    TW_LATENCY_PROBE(kProbeUeventReceived);
    // Nothing, an error, or a message that filled the whole buffer (and may
    // have been cut): dropped.
    if (n <= 0 || n >= UEVENT_MSG_LEN) return;
    msg[n] = '\0';
    msg[n + 1] = '\0';

    // Zero-terminated lines up to an empty one; msg[n] and msg[n + 1] end
    // the last line and stand for an empty one after it.
    const char* end = msg + n;
    const char* line = msg;
    while (line < end && *line != '\0') {
        size_t len = strlen(line);
        if (strstr(line, SUBSYSTEM_KEY) == nullptr) {
            line += len + 1;
            continue;
        }
        ALOGE("uevent received %s", line);
        sUeventsReceived.fetch_add(1, std::memory_order_relaxed);

        // The version was learnt at registration: the worker makes no
        // synchronous call to the callback's process, only one-way ones.
        sp<LpwgCallback_1_1> callback11;
        sp<ITwinelLpwgCallback> callback = d->owner->lpwgCallback(&callback11);
        if (callback == nullptr) {
            sUeventsDropped.fetch_add(1, std::memory_order_relaxed);
            return;
        }

        const char* next = line + len + 1;  // at most msg + n + 1, a zero byte
        if (*next == '\0') {
            sUeventsDropped.fetch_add(1, std::memory_order_relaxed);
            return;
        }
        ALOGE("cp1 = %s", next);
        const char* key = strstr(next, GESTURE_KEY);
        if (key == nullptr) {
            sUeventsDropped.fetch_add(1, std::memory_order_relaxed);
            return;
        }
        std::string value(key + strlen(GESTURE_KEY));
        ALOGE("Uevent_msg = %s", value.c_str());
        // The gesture's handling, its delivery to the callback included.
        std::string traceName = ATRACE_ENABLED() ? "LPWG " + value : std::string();
        ATRACE_NAME(traceName.c_str());

        LpwgEventStatus_1_1 status = static_cast<LpwgEventStatus_1_1>(-1);
        int32_t result = getLpwgStatusHelper_1_1(status, value);
        sLastUevent = static_cast<int32_t>(status);
        sLastUeventUs = monotonicUs();
        bool byService = status == LpwgEventStatus_1_1::SWITCH_AES_BOTH ||
                         status == LpwgEventStatus_1_1::SWITCH_AES_TO_1 ||
                         status == LpwgEventStatus_1_1::SWITCH_AES_TO_2 ||
                         status == LpwgEventStatus_1_1::TW_UPDATE_STATE;
        if (byService) sUeventsHandled.fetch_add(1, std::memory_order_relaxed);

        switch (status) {
            case LpwgEventStatus_1_1::SWITCH_AES_BOTH: {
                Status st = statusOf(d->owner->manageAesMode(2));
                ALOGE("status = %d", static_cast<int>(st));
                break;
            }
            case LpwgEventStatus_1_1::SWITCH_AES_TO_1:
            case LpwgEventStatus_1_1::SWITCH_AES_TO_2: {
                bool toFirst = status == LpwgEventStatus_1_1::SWITCH_AES_TO_1;
                Status st = statusOf(d->owner->setAesMode(toFirst ? 1 : 2));
                ALOGE("status = %d", static_cast<int>(st));
                // The USB HID driver counts its modes differently: 0 is the
                // cover screen alone.
                if (st == Status::SUCCESS) writeNode(kAesModePath, toFirst ? "0" : "2");
                break;
            }
            case LpwgEventStatus_1_1::TW_UPDATE_STATE: {
                Status st = statusOf(d->owner->tw_update_state());
                ALOGE("status = %d", static_cast<int>(st));
                break;
            }
            default: {
                TW_LATENCY_PROBE(kProbeCallbackCall);
                Return<void> ret = callback11 != nullptr
                                           ? callback11->notifyEventChange_1_1(
                                                     status, static_cast<Result>(result))
                                           : callback->notifyEventChange(
                                                     static_cast<LpwgEventStatus_1_0>(status),
                                                     static_cast<Result>(result));
                if (!ret.isOk()) {
                    ALOGE("error %s", ret.description().c_str());
                    sUeventsFailed.fetch_add(1, std::memory_order_relaxed);
                } else {
                    sUeventsDelivered.fetch_add(1, std::memory_order_relaxed);
                }
                break;
            }
        }
        return;
    }
}

// Returns why it ended.
static const char* runWorker(LpwgWorker* self);

// Thread body: the worker loop, then the end reported to whoever stops it.
static void* work(void* arg) {
    pthread_setname_np(pthread_self(), "lpwg-uevent");
    LpwgWorker* self = static_cast<LpwgWorker*>(arg);
    const char* reason = runWorker(self);
    self->endReason = reason;
    {
        std::lock_guard<std::mutex> lock(self->lock);
        self->ended = true;
    }
    self->cond.notify_all();
    return nullptr;
}

static bool stopRequested(LpwgWorker* self) {
    return uevent_destroyThread || self->stop;
}

static const char* runWorker(LpwgWorker* self) {
    ALOGE("creating thread");

    // SIGUSR1 reaches this thread only inside its wait (epoll_pwait), so a
    // stop request cannot slip in between the flag test and the wait.
    sigset_t usr1, waitMask;
    sigemptyset(&usr1);
    sigaddset(&usr1, SIGUSR1);
    pthread_sigmask(SIG_BLOCK, &usr1, &waitMask);
    sigdelset(&waitMask, SIGUSR1);

    unique_fd uevents(uevent_open_socket(UEVENT_SOCKET_RCVBUF, true));
    if (!uevents.ok()) {
        ALOGE("uevent_init: uevent_open_socket failed\n");
        return "uevent_open_socket failed";
    }

    if (fcntl(uevents, F_SETFL, O_NONBLOCK) < 0) {
        ALOGE("fcntl failed\n");
        return "fcntl failed";
    }

    unique_fd epfd(epoll_create(UEVENT_EPOLL_EVENTS));
    if (!epfd.ok()) {
        ALOGE("epoll_create failed; errno=%d", errno);
        return "epoll_create failed";
    }

    struct epoll_event ev;
    memset(&ev, 0, sizeof(ev));
    ev.events = EPOLLIN;
    ev.data.ptr = reinterpret_cast<void*>(uevent_event);
    if (epoll_ctl(epfd, EPOLL_CTL_ADD, uevents, &ev) < 0) {
        ALOGE("epoll_ctl failed; errno=%d", errno);
        return "epoll_ctl failed";
    }

    uevent_data data;
    data.fd = uevents.get();
    data.owner = self->owner;

    const char* reason = "stopped";
    struct epoll_event events[UEVENT_EPOLL_EVENTS];
    for (;;) {
        if (stopRequested(self)) {
            ALOGI("destroy set");
            break;
        }
        memset(events, 0, sizeof(events));
        int nevents = epoll_pwait(epfd, events, UEVENT_EPOLL_EVENTS, -1, &waitMask);
        TW_LATENCY_PROBE(kProbeWorkerWoken);
        if (nevents < 0) {
            if (errno == EINTR) continue;
            ALOGE("lpwg epoll_wait failed; errno=%d", errno);
            reason = "epoll_wait failed";
            break;
        }
        for (int i = 0; i < nevents && !stopRequested(self); i++) {
            uevent_handler_t handler = reinterpret_cast<uevent_handler_t>(events[i].data.ptr);
            if (handler != nullptr) handler(events[i].events, &data);
            TW_LATENCY_PROBE(kProbeWorkerDone);
        }
    }

    ALOGI("exiting worker thread");
    return reason;
}

sp<ITwinelLpwgCallback> Twinel::lpwgCallback(sp<LpwgCallback_1_1>* callback11) {
    MutexLock lock(&mLpwgCallbackLock, __func__);
    if (callback11 != nullptr) *callback11 = mLpwgCallback11;
    return mLpwgCallback;
}

sp<ITwinelLpwgCallback> Twinel::exchangeLpwgCallback(const sp<ITwinelLpwgCallback>& callback,
                                                     const sp<LpwgCallback_1_1>& callback11) {
    MutexLock lock(&mLpwgCallbackLock, __func__);
    sp<ITwinelLpwgCallback> old = mLpwgCallback;
    mLpwgCallback = callback;
    mLpwgCallback11 = callback11;
    return old;
}

static void joinWorker(LpwgWorker* worker) {
    pthread_join(worker->thread, nullptr);
    delete worker;
    ALOGI("pthread destroyed");
}

void Twinel::reapLpwgWorkers() {
    auto ended = [](LpwgWorker* w) {
        std::lock_guard<std::mutex> lock(w->lock);
        return w->ended;
    };
    for (auto it = mLpwgStoppedWorkers.begin(); it != mLpwgStoppedWorkers.end();) {
        if (ended(*it)) {
            joinWorker(*it);
            it = mLpwgStoppedWorkers.erase(it);
        } else {
            ++it;
        }
    }
}

Return<void> Twinel::setLpwgCallback(const sp<ITwinelLpwgCallback>& callback) {
    // Asked once, here, where the caller has just called us: the worker then
    // never has to make a synchronous call to the callback's process.
    sp<LpwgCallback_1_1> callback11;
    if (callback != nullptr) {
        Return<sp<LpwgCallback_1_1>> cast = LpwgCallback_1_1::castFrom(callback, false);
        if (cast.isOk()) {
            callback11 = cast;
        } else {
            ALOGE("%s: cannot ask the callback for its version: %s", __func__,
                  cast.description().c_str());
        }
        ALOGD("%s",
              callback11 != nullptr ? "Registering 1.1 callback" : "Registering 1.0 callback");
    }

    // The previous callback is released only after the unlock.
    sp<ITwinelLpwgCallback> old;
    MutexLock lock(&mLpwgMutex, "setLpwgCallback");
    reapLpwgWorkers();
    old = exchangeLpwgCallback(callback, callback11);
    if ((old == nullptr) != (callback == nullptr)) {
        ALOGI("registering callback");
        if (callback != nullptr) {
            uevent_destroyThread = false;
            if (installSighandler() < 0) {
                ALOGE("%s: sigaction: %s", __func__, strerror(errno));
            }
            LpwgWorker* worker = new LpwgWorker();
            worker->owner = this;
            int ret = pthread_create(&worker->thread, nullptr, work, worker);
            if (ret != 0) {
                ALOGE("pthread creation failed %d", ret);
                delete worker;
                exchangeLpwgCallback(nullptr, nullptr);
            } else {
                mLpwgThread = worker->thread;
                mLpwgWorker = worker;
                mLpwgThreadStarted = true;
            }
        } else if (mLpwgWorker != nullptr) {
            LpwgWorker* worker = mLpwgWorker;
            worker->stop = true;
            // Whoever took SIGUSR1 over since the start (a newer HAL object's
            // constructor) would swallow the stop request.
            if (installSighandler() < 0) {
                ALOGE("%s: sigaction: %s", __func__, strerror(errno));
            }
            int ret = pthread_kill(worker->thread, SIGUSR1);
            // ESRCH: the worker ended by itself (a failed set-up); it still
            // has to be joined.
            if (ret != 0 && ret != ESRCH) {
                ALOGE("%s: pthread_kill: %s", __func__, strerror(ret));
            }
            bool ended;
            {
                std::unique_lock<std::mutex> lock(worker->lock);
                ended = worker->cond.wait_for(lock,
                                              std::chrono::milliseconds(LPWG_WORKER_STOP_WAIT_MS),
                                              [worker] { return worker->ended; });
            }
            mLpwgWorker = nullptr;
            mLpwgThreadStarted = false;
            if (ended) {
                joinWorker(worker);
            } else {
                // Inside a call to a peer that does not answer. Its stop
                // request stands: it ends when the call returns, handles no
                // further event, and a later registration joins it.
                ALOGE("%s: uevent worker still busy after %d ms; joined once it ends", __func__,
                      LPWG_WORKER_STOP_WAIT_MS);
                mLpwgStoppedWorkers.push_back(worker);
            }
        }
    }
    return Void();
}

// ---------------------------------------------------------------------------
// Touch diagnostics and self tests

// Sends `cmd` and hands the reply text to `cb` with the outcome.
template <typename Callback>
static void touchQuery(Twinel* hal, const char* name, const char* cmd, Callback& cb) {
    char resp[AT_BUF_SIZE + 1];
    memset(resp, 0, sizeof(resp));
    bool hungUp = false;
    int32_t ret = hal->serialAtCmd(cmd, resp, AT_BUF_SIZE, nullptr, &hungUp);
    // A reply cut off by a hang-up is no answer.
    bool failed = ret == -1 || hungUp;
    if (hungUp) ALOGE("%s: the port hung up during the reply", name);
    if (!failed) ALOGD("%s: %s", name, resp);
    if (!cb) {
        // Only an in-process caller can leave it out.
        ALOGE("%s: no result callback", name);
        return;
    }
    cb(failed ? Status::FAILURE : Status::SUCCESS, hidl_string(resp));
}

static Status touchAction(Twinel* hal, const char* name, const char* cmd) {
    char resp[AT_BUF_SIZE + 1];
    memset(resp, 0, sizeof(resp));
    if (hal->serialAtCmd(cmd, resp, AT_BUF_SIZE, nullptr) == -1) return Status::FAILURE;
    ALOGD("%s: %s", name, resp);
    return Status::SUCCESS;
}

// Logs a multi-line reply one line at a time, each with its line feed. The
// platform log formats a message into 1024 bytes, so a line that would not
// fit there together with "<name>: " goes out in consecutive pieces that do;
// nothing of it is cut away.
static void logDump(const char* name, const char* reply) {
    const size_t maxPiece =
            std::min<size_t>(DUMP_LINE_SIZE - 1, LOG_MESSAGE_MAX - strlen(name) - 2);
    size_t len = strlen(reply);
    size_t pos = 0;
    while (pos < len) {
        const char* nl = static_cast<const char*>(memchr(reply + pos, '\n', len - pos));
        size_t end = nl != nullptr ? static_cast<size_t>(nl - reply) + 1 : len;
        while (pos < end) {
            char line[DUMP_LINE_SIZE];
            memset(line, 0, sizeof(line));
            size_t count = std::min(end - pos, maxPiece);
            memcpy(line, reply + pos, count);
            ALOGD("%s: %s", name, line);
            pos += count;
        }
    }
}

static Status touchDump(Twinel* hal, const char* name, const char* cmd) {
    char resp[DUMP_BUF_SIZE + 1];
    memset(resp, 0, sizeof(resp));
    if (hal->serialAtCmd(cmd, resp, DUMP_BUF_SIZE, nullptr) == -1) return Status::FAILURE;
    logDump(name, resp);
    return Status::SUCCESS;
}

Return<void> Twinel::getTouchFirmwareVersion(getTouchFirmwareVersion_cb _hidl_cb) {
    touchQuery(this, "getTouchFirmwareVersion", "AT%TCHDEBUG=FWVER\r", _hidl_cb);
    return Void();
}

Return<void> Twinel::getGpiopin(getGpiopin_cb _hidl_cb) {
    touchQuery(this, "getGpiopin", "AT%TCHDEBUG=GPIO_PIN\r", _hidl_cb);
    return Void();
}

Return<void> Twinel::getSelfTest(getSelfTest_cb _hidl_cb) {
    touchQuery(this, "getSelfTest", "AT%TCHNOTIFY=SD\r", _hidl_cb);
    return Void();
}

Return<void> Twinel::getLPWGSelfTest(getLPWGSelfTest_cb _hidl_cb) {
    touchQuery(this, "getLPWGSelfTest", "AT%TCHNOTIFY=LPWG_SD\r", _hidl_cb);
    return Void();
}

Return<Status> Twinel::DoTouchReset() {
    return touchAction(this, "DoTouchReset", "AT%TCHDEBUG=RESET\r");
}

Return<Status> Twinel::DoTouchFirmwareUpgrade() {
    return touchAction(this, "DoTouchFirmwareUpgrade", "AT%TCHNOTIFY=FW_UPGRADE\r");
}

Return<Status> Twinel::DoRawdata() {
    return touchDump(this, "DoRawdata", "AT%TCHDEBUG=RAWDATA\r");
}

Return<Status> Twinel::DoDelta() {
    return touchDump(this, "DoDelta", "AT%TCHDEBUG=DELTA\r");
}

static void appendAll(int fd, const char* text, size_t len) {
    size_t done = 0;
    while (done < len) {
        ssize_t n = write(fd, text + done, len - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;  // a failed append is not reported
        done += static_cast<size_t>(n);
    }
}

Return<Status> Twinel::getTestResults() {
    // Cleared as well: after a hang-up the AT channel leaves the reply
    // unterminated, and nothing but the answer may reach the report.
    char* resp = static_cast<char*>(calloc(SELF_TEST_BUF_SIZE + 1, 1));
    if (resp == nullptr) {
        ALOGE("%s: %s", __func__, strerror(errno));
        return Status::FAILURE;
    }
    if (serialAtCmd("AT%TCHNOTIFY=PULL_SD_RESULT\r", resp, SELF_TEST_BUF_SIZE, nullptr) == -1) {
        free(resp);
        return Status::FAILURE;
    }
    ALOGD("%s: %s", "getTestResults", resp);

    Status result;
    // O_NONBLOCK: a FIFO put in the report's place must not hang the call.
    // O_NOFOLLOW: a link put there must not lead the append, and the mode
    // below, to another file.
    DeviceFd fd(twdevice::open(kSelfTestFile,
                               O_WRONLY | O_APPEND | O_CREAT | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC,
                               0644));
    if (!fd.ok()) {
        int err = errno;
        ALOGE("Cannot open path: %s", kSelfTestFile);
        ALOGE("%s: %s", __func__, strerror(err));
        result = Status::FAILURE;
    } else {
        ALOGI("can open path: %s", kSelfTestFile);
        appendAll(fd, resp, strlen(resp));
        // On the descriptor: the file written is the file whose mode is set.
        if (fchmod(fd, 0644) < 0) {
            int err = errno;
            ALOGE("chmod failed\n");
            ALOGE("%s: %s", __func__, strerror(err));
            result = Status::FAILURE;
        } else {
            result = Status::SUCCESS;
        }
    }
    free(resp);
    return result;
}

// ---------------------------------------------------------------------------
// LPWG status relay

Return<Status> Twinel::setStatus(const LpwgStatus& status) {
    std::string text = "AT%TCHNOTIFY=LPWG_NOTIFY";
    text += ",";
    text += std::to_string(status.type);
    text += ",";
    text += std::to_string(status.value);
    text += "\r";

    char cmd[AT_BUF_SIZE];
    memset(cmd, 0, sizeof(cmd));
    snprintf(cmd, sizeof(cmd), "%s", text.c_str());
    char resp[AT_BUF_SIZE + 1];
    memset(resp, 0, sizeof(resp));
    if (serialAtCmd(cmd, resp, AT_BUF_SIZE, nullptr) == -1) return Status::FAILURE;
    ALOGD("%s: %s %s", "setStatus", cmd, resp);
    return Status::SUCCESS;
}

// ---------------------------------------------------------------------------
// AES mode and touch update state

Return<Status> Twinel::setAesMode(uint32_t mode) {
    std::string text = "AT%TCHNOTIFY=SWTICH_AES";
    text += ",";
    text += std::to_string(mode);
    text += "\r";

    char cmd[AT_BUF_SIZE];
    memset(cmd, 0, sizeof(cmd));
    snprintf(cmd, sizeof(cmd), "%s", text.c_str());
    char resp[AT_BUF_SIZE + 1];
    memset(resp, 0, sizeof(resp));
    bool failed = serialAtCmd(cmd, resp, AT_BUF_SIZE, nullptr) == -1;
    sLastAesMode = (1ull << 63) | (failed ? 1ull << 32 : 0) | mode;
    if (failed) return Status::FAILURE;
    ALOGD("%s: %s %s", "setAesMode", cmd, resp);
    return Status::SUCCESS;
}

// Asks the phone's LPWG service for `mode`; its answer is the node error.
// A call that fails in transport (the service died after the lookup) counts
// as the transport's error code.
static int32_t lpwgSetAesMode(const sp<ILpwg>& lpwg, uint32_t mode) {
    Return<int32_t> ret = lpwg->setAesMode(mode);
    if (!ret.isOk()) {
        ALOGE("%s: ILpwg setAesMode(%u): %s", "manageAesMode", mode, ret.description().c_str());
        return ret.isDeadObject() ? ::android::DEAD_OBJECT : ::android::FAILED_TRANSACTION;
    }
    return ret;
}

Return<Status> Twinel::manageAesMode(uint32_t mode) {
    Status atStatus;
    int32_t nodeError = 0;
    sp<ILpwg> lpwg;
    if (mode == 1) {
        // Pen on the cover screen: the accessory first, then the phone.
        atStatus = statusOf(setAesMode(1));
        writeInt32(kAesModePath, 0);
        lpwg = ILpwg::tryGetService("default", false);
        if (lpwg != nullptr) nodeError = lpwgSetAesMode(lpwg, 2);
    } else {
        // Pen on both screens: the phone first, then the accessory.
        lpwg = ILpwg::tryGetService("default", false);
        if (lpwg != nullptr) nodeError = lpwgSetAesMode(lpwg, 0);
        atStatus = statusOf(setAesMode(2));
        writeInt32(kAesModePath, 2);
    }
    ALOGD("%s : ATCMD_Status : %d, sysNodeError : %d\n", "manageAesMode",
          static_cast<int>(atStatus), nodeError);
    lpwg = nullptr;
    return atStatus;
}

Return<Status> Twinel::tw_update_state() {
    Status atStatus = Status::FAILURE;
    std::string text;
    int32_t nodeError = readString(kTwUpdateStatePath, text);
    if (nodeError == 0) {
        size_t words = 0;
        {
            std::istringstream in(text);
            std::string word;
            while (in >> word) words++;
        }
        // Decimal integers from the start, until one does not read as a
        // 32-bit number or every word has been taken.
        std::string command = "AT%TCHUPDATE=UPDATE_STATE";
        std::istringstream in(text);
        for (size_t k = 0; k < words; k++) {
            int32_t value;
            if (!(in >> value)) break;
            command += ",";
            command += std::to_string(value);
        }
        command += "\r";

        char cmd[AT_BUF_SIZE];
        memset(cmd, 0, sizeof(cmd));
        snprintf(cmd, sizeof(cmd), "%s", command.c_str());
        if (command.size() >= sizeof(cmd)) {
            // Cut without its carriage return, the AT channel refuses it.
            ALOGE("%s: %zu values make a command of %zu bytes, cut at %zu", "tw_update_state",
                  words, command.size(), sizeof(cmd) - 1);
        }
        char resp[AT_BUF_SIZE + 1];
        memset(resp, 0, sizeof(resp));
        if (serialAtCmd(cmd, resp, AT_BUF_SIZE, nullptr) != -1) {
            ALOGD("%s: %s %s", "tw_update_state", cmd, resp);
            atStatus = Status::SUCCESS;
        }
        std::string sent(cmd, strcspn(cmd, "\r"));
        std::lock_guard<std::mutex> lock(sLastUpdateStateLock);
        sLastUpdateState = sent + (atStatus == Status::SUCCESS ? " (ok)" : " (failed)");
    } else {
        std::lock_guard<std::mutex> lock(sLastUpdateStateLock);
        sLastUpdateState = "not sent: the node read failed (" + std::to_string(nodeError) + ")";
    }
    ALOGD("%s : ATCMD_Status : %d, sysNodeError : %d\n", "tw_update_state",
          static_cast<int>(atStatus), nodeError);
    return atStatus;
}

// ---------------------------------------------------------------------------
// Debug dump

static const char* ueventName(int32_t status) {
    static const char* const kNames[] = {
            "WAKEUP",          "TW_PEN_WAKEUP",   "TW_PEN_WAKEUP_BTN", "TW_PEN_DETECTION",
            "SWITCH_AES_BOTH", "SWITCH_AES_TO_1", "SWITCH_AES_TO_2",   "TW_UPDATE_STATE",
    };
    if (status >= 0 && status < static_cast<int32_t>(sizeof(kNames) / sizeof(kNames[0]))) {
        return kNames[status];
    }
    return "unknown";
}

std::string lpwgDump(Twinel* hal) {
    std::string s = "LPWG\n";
    sp<LpwgCallback_1_1> callback11;
    bool registered = hal->lpwgCallback(&callback11) != nullptr;
    // The worker's own word, not only that one was started: a worker that
    // ended on a failure stays registered until the callback is cleared.
    std::string worker;
    size_t stopped = 0;
    if (MutexLock lock(&hal->mLpwgMutex, "debug", kDumpLockWait); lock.owns()) {
        LpwgWorker* w = hal->mLpwgWorker;
        if (w == nullptr) {
            worker = "not running";
        } else {
            std::lock_guard<std::mutex> workerLock(w->lock);
            const char* reason = w->endReason;
            worker = w->ended ? std::string("ended (") + (reason != nullptr ? reason : "?") + ")"
                              : "running";
        }
        stopped = hal->mLpwgStoppedWorkers.size();
    } else {
        worker = "unknown (mLpwgMutex busy)";
    }
    s += dumpPrintf("  mLpwgCallback: %s  uevent worker: %s\n", registered ? "registered" : "none",
                    worker.c_str());
    s += dumpPrintf("  callback version: %s\n", !registered             ? "none"
                                                : callback11 != nullptr ? "1.1"
                                                                        : "1.0");
    callback11 = nullptr;
    if (stopped != 0) {
        s += dumpPrintf("  stopped uevent workers still in a call to a peer: %zu\n", stopped);
    }
    s += dumpPrintf("  uevents: received %" PRIu64 "  delivered %" PRIu64 "  failed %" PRIu64
                    "  handled %" PRIu64 "  dropped %" PRIu64 "\n",
                    sUeventsReceived.load(), sUeventsDelivered.load(), sUeventsFailed.load(),
                    sUeventsHandled.load(), sUeventsDropped.load());
    int32_t last = sLastUevent;
    if (last == kNoUevent) {
        s += "  last uevent: none\n";
    } else {
        s += dumpPrintf("  last uevent: %s (%d) -%.3fs\n", ueventName(last), last,
                        (monotonicUs() - sLastUeventUs) / 1e6);
    }
    uint64_t aes = sLastAesMode;
    if ((aes >> 63) == 0) {
        s += "  last AES mode: none\n";
    } else {
        s += dumpPrintf("  last AES mode: %u (%s)\n", static_cast<uint32_t>(aes),
                        (aes >> 32) & 1 ? "failed" : "ok");
    }
    std::lock_guard<std::mutex> lock(sLastUpdateStateLock);
    s += "  last touch update state: " + (sLastUpdateState.empty() ? "none" : sLastUpdateState) +
         "\n";
    return s;
}

void lpwgResetCounters() {
    sUeventsReceived = 0;
    sUeventsDelivered = 0;
    sUeventsFailed = 0;
    sUeventsHandled = 0;
    sUeventsDropped = 0;
}

}  // namespace implementation
}  // namespace V1_1
}  // namespace twinel
}  // namespace hardware
}  // namespace zyr
}  // namespace vendor
