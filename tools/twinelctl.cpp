/*
 * Copyright (C) 2026 The Twinel HAL Authors
 *
 * Licensed under the Apache License, Version 2.0 (the "License");
 * you may not use this file except in compliance with the License.
 */

/*
 * twinelctl: a command-line client of the Twinel HAL.
 *
 *   twinelctl [--passthrough] [--instance NAME] [--call-timeout S] <operation> [args...]
 *
 * Every ITwinel operation is a subcommand with the HAL's own name. Extras:
 * `at` streams a command's reply lines as the service hands them on, `watch`
 * prints LPWG and sub display events as they arrive, `draw` puts a PNG file
 * or a test pattern on the sub display.
 */
#define LOG_TAG "twinelctl"

#include "twinelctl.h"

#include <android/log.h>
#include <dlfcn.h>
#include <errno.h>
#include <hidl/HidlTransportSupport.h>
#include <limits.h>
#include <link.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>
#include <vendor/zyr/hardware/twinel/1.0/ITwinelAtCallback.h>
#include <vendor/zyr/hardware/twinel/1.0/ITwinelLpwgCallback.h>
#include <vendor/zyr/hardware/twinel/1.0/ITwinelSubDisplayCallback.h>
#include <vendor/zyr/hardware/twinel/1.1/ITwinel.h>
#include <vendor/zyr/hardware/twinel/1.1/ITwinelLpwgCallback.h>

#include <CLI/CLI.hpp>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <functional>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "picture.h"
#include "print.h"

using ::android::sp;
using ::android::wp;
using ::android::hardware::hidl_array;
using ::android::hardware::hidl_death_recipient;
using ::android::hardware::hidl_string;
using ::android::hardware::hidl_vec;
using ::android::hardware::Return;
using ::android::hardware::Void;
using ::android::hidl::base::V1_0::DebugInfo;
using ::android::hidl::base::V1_0::IBase;
using ::vendor::zyr::hardware::twinel::V1_0::ITwinelAtCallback;
using ::vendor::zyr::hardware::twinel::V1_0::ITwinelSubDisplayCallback;
using ::vendor::zyr::hardware::twinel::V1_0::LpwgStatus;
using ::vendor::zyr::hardware::twinel::V1_0::Result;
using ::vendor::zyr::hardware::twinel::V1_0::ScreenMode;
using ::vendor::zyr::hardware::twinel::V1_0::Status;
using ::vendor::zyr::hardware::twinel::V1_0::SubScreenInfo;
using ::vendor::zyr::hardware::twinel::V1_0::SubScreenState;
using ::vendor::zyr::hardware::twinel::V1_0::TwinelStatus;
// Every 1.0 operation goes through the 1.0 interface, so that --v10 can
// hold a 1.0 reference; the 1.1 operations use the 1.1 reference beside it.
using ::vendor::zyr::hardware::twinel::V1_0::ITwinel;
namespace V1_0 = ::vendor::zyr::hardware::twinel::V1_0;
namespace V1_1 = ::vendor::zyr::hardware::twinel::V1_1;

namespace twinelctl {
namespace {

// Largest frame drawSubDisplay is given (the panel holds far fewer).
constexpr int64_t kMaxPixels = 1 << 20;

// ---------------------------------------------------------------------------
// Argument conversion. CLI11 takes every number as text; these turn it into
// the operation's type with one clear message when it does not fit.

// Decimal or 0x-prefixed hexadecimal, optionally negative; no blanks, no
// octal reading of leading zeros.
bool parseInteger(const std::string& text, int64_t min, int64_t max, int64_t* out) {
    size_t i = 0;
    bool negative = false;
    if (i < text.size() && (text[i] == '-' || text[i] == '+')) {
        negative = text[i] == '-';
        i++;
    }
    int base = 10;
    if (text.size() > i + 1 && text[i] == '0' && (text[i + 1] == 'x' || text[i + 1] == 'X')) {
        base = 16;
        i += 2;
    }
    if (i >= text.size()) return false;
    unsigned __int128 value = 0;
    for (; i < text.size(); i++) {
        char c = text[i];
        int digit;
        if (c >= '0' && c <= '9') {
            digit = c - '0';
        } else if (base == 16 && c >= 'a' && c <= 'f') {
            digit = c - 'a' + 10;
        } else if (base == 16 && c >= 'A' && c <= 'F') {
            digit = c - 'A' + 10;
        } else {
            return false;
        }
        if (digit >= base) return false;
        value = value * base + digit;
        if (value > (static_cast<unsigned __int128>(1) << 64)) return false;
    }
    __int128 signedValue = negative ? -static_cast<__int128>(value) : static_cast<__int128>(value);
    if (signedValue < min || signedValue > max) return false;
    *out = static_cast<int64_t>(signedValue);
    return true;
}

std::string rangeText(int64_t min, int64_t max) {
    return "an integer from " + std::to_string(min) + " to " + std::to_string(max);
}

int64_t toInteger(const std::string& op, const std::string& name, const std::string& text,
                  int64_t min, int64_t max) {
    int64_t value = 0;
    if (!parseInteger(text, min, max, &value)) {
        throw UsageError(op + ": " + name + " must be " + rangeText(min, max) + ", not \"" + text +
                         "\"");
    }
    return value;
}

int32_t toInt32(const std::string& op, const std::string& name, const std::string& text) {
    return static_cast<int32_t>(toInteger(op, name, text, INT32_MIN, INT32_MAX));
}

uint32_t toUint32(const std::string& op, const std::string& name, const std::string& text) {
    return static_cast<uint32_t>(toInteger(op, name, text, 0, UINT32_MAX));
}

bool toBool(const std::string& op, const std::string& name, const std::string& text) {
    std::string t;
    for (char c : text) t += static_cast<char>(tolower(static_cast<unsigned char>(c)));
    if (t == "1" || t == "true" || t == "on" || t == "yes") return true;
    if (t == "0" || t == "false" || t == "off" || t == "no") return false;
    throw UsageError(op + ": " + name + " must be true or false (1/0, on/off), not \"" + text +
                     "\"");
}

// ---------------------------------------------------------------------------
// A bound on every call: when the service does not answer within the time,
// the tool says so and ends instead of waiting forever.

class Watchdog {
  public:
    ~Watchdog() {
        {
            std::lock_guard<std::mutex> lock(mLock);
            mStop = true;
        }
        mCond.notify_all();
        if (mThread.joinable()) mThread.join();
    }

    void arm(double seconds, const std::string& what) {
        std::lock_guard<std::mutex> lock(mLock);
        mWhat = what;
        mSeconds = seconds;
        mDeadline = std::chrono::steady_clock::now() +
                    std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                            std::chrono::duration<double>(seconds));
        mArmed = true;
        if (!mThread.joinable()) mThread = std::thread([this] { loop(); });
        mCond.notify_all();
    }

    void disarm() {
        std::lock_guard<std::mutex> lock(mLock);
        mArmed = false;
        mCond.notify_all();
    }

  private:
    void loop() {
        std::unique_lock<std::mutex> lock(mLock);
        while (!mStop) {
            if (!mArmed) {
                mCond.wait(lock);
                continue;
            }
            if (mCond.wait_until(lock, mDeadline) == std::cv_status::timeout && mArmed && !mStop &&
                std::chrono::steady_clock::now() >= mDeadline) {
                fprintf(stderr, "twinelctl: %s: no answer within %g s\n", mWhat.c_str(), mSeconds);
                fflush(stdout);
                _exit(kExitTransport);
            }
        }
    }

    std::mutex mLock;
    std::condition_variable mCond;
    std::thread mThread;
    bool mStop = false;
    bool mArmed = false;
    std::string mWhat;
    double mSeconds = 0;
    std::chrono::steady_clock::time_point mDeadline;
};

// ---------------------------------------------------------------------------
// Callbacks.

// Counts and prints events with a time stamp.
class EventLog {
  public:
    void print(const std::string& line) {
        std::lock_guard<std::mutex> lock(mLock);
        printf("[%s] %s\n", timeStamp().c_str(), line.c_str());
        fflush(stdout);
        mCount++;
    }
    size_t count() {
        std::lock_guard<std::mutex> lock(mLock);
        return mCount;
    }

  private:
    std::mutex mLock;
    size_t mCount = 0;
};

std::string lpwgEventText(const char* method, int32_t event, int32_t result) {
    char buf[160];
    snprintf(buf, sizeof(buf), "lpwg %s: event %d (%s), result %d (%s)", method, event,
             lpwgEventWord(event), result, resultWord(result));
    return buf;
}

// An LPWG callback of version 1.1 (it is also a 1.0 callback).
struct LpwgCallback11 : V1_1::ITwinelLpwgCallback {
    explicit LpwgCallback11(EventLog* log) : mLog(log) {}
    Return<void> notifyEventChange(V1_0::LpwgEventStatus event, Result result) override {
        mLog->print(lpwgEventText("notifyEventChange", static_cast<int32_t>(event),
                                  static_cast<int32_t>(result)));
        return Void();
    }
    Return<void> notifyEventChange_1_1(V1_1::LpwgEventStatus event, Result result) override {
        mLog->print(lpwgEventText("notifyEventChange_1_1", static_cast<int32_t>(event),
                                  static_cast<int32_t>(result)));
        return Void();
    }
    EventLog* mLog;
};

// An LPWG callback of version 1.0 only.
struct LpwgCallback10 : V1_0::ITwinelLpwgCallback {
    explicit LpwgCallback10(EventLog* log) : mLog(log) {}
    Return<void> notifyEventChange(V1_0::LpwgEventStatus event, Result result) override {
        mLog->print(lpwgEventText("notifyEventChange", static_cast<int32_t>(event),
                                  static_cast<int32_t>(result)));
        return Void();
    }
    EventLog* mLog;
};

struct SubDisplayCallback : ITwinelSubDisplayCallback {
    explicit SubDisplayCallback(EventLog* log) : mLog(log) {}
    Return<void> notifyStateChanged(SubScreenState state) override {
        int32_t s = static_cast<int32_t>(state);
        mLog->print("subdisplay notifyStateChanged: state " + std::to_string(s) + " (" +
                    subScreenStateWord(s) + ")");
        return Void();
    }
    EventLog* mLog;
};

// Prints each line the service hands on while a command runs.
struct LinePrinter : ITwinelAtCallback {
    Return<void> responseAtCommand(const hidl_string& response) override {
        std::lock_guard<std::mutex> lock(mLock);
        std::string line = response;
        while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
        printf("< %s\n", printable(line).c_str());
        fflush(stdout);
        mCount++;
        mCond.notify_all();
        return Void();
    }
    // One-way callbacks may still be on their way when the reply arrives.
    void waitFor(size_t n) {
        std::unique_lock<std::mutex> lock(mLock);
        mCond.wait_for(lock, std::chrono::seconds(2), [&] { return mCount >= n; });
    }
    std::mutex mLock;
    std::condition_variable mCond;
    size_t mCount = 0;
};

size_t countLines(const std::string& reply) {
    std::string r = reply;
    while (!r.empty() && (r.back() == '\n' || r.back() == '\r')) r.pop_back();
    if (r.empty()) return 0;
    size_t n = 1;
    for (char c : r) n += c == '\n';
    return n;
}

// ---------------------------------------------------------------------------
// The operations.

struct Options {
    bool passthrough = false;
    bool verbose = false;
    bool pureV10 = false;  // act as a client that knows only version 1.0
    double wait = 0;       // seconds to wait for a service that is not there yet
    std::string instance = "default";
    double callTimeout = 60;
    double settle = 2;

    // Positional arguments of the operation, as given.
    std::vector<std::string> args = std::vector<std::string>(4);
    // watch and the callback registrations
    bool v10 = false;
    bool clear = false;
    bool noLpwg = false;
    bool noSubDisplay = false;
    int64_t count = 0;
    double timeout = 0;
    // draw and drawSubDisplay
    std::string pattern;
    bool noScale = false;
    std::string value = "0";
    std::string pixelCount;
};

using StatusCall = std::function<Return<Status>(ITwinel*)>;
using TextCb = std::function<void(Status, const hidl_string&)>;

int runStatus(const char* op, Return<Status> ret) {
    if (!transportOk(ret, op)) return kExitTransport;
    return printStatus(ret);
}

// An operation delivering a Status and a text through its result callback.
template <typename F>
int runText(const char* op, const char* field, F call) {
    Status status = Status::FAILURE;
    std::string text;
    bool called = false;
    Return<void> ret = call([&](Status s, const hidl_string& t) {
        status = s;
        text = t;
        called = true;
    });
    if (!transportOk(ret, op)) return kExitTransport;
    if (!called) {
        fprintf(stderr, "twinelctl: %s: the service gave no result\n", op);
        return kExitTransport;
    }
    printField(field, text);
    return printStatus(status);
}

bool subDisplayInfo(ITwinel* hal, Status* status, SubScreenInfo* info) {
    bool called = false;
    Return<void> ret = hal->getSubDisplayInfo([&](Status s, const SubScreenInfo& i) {
        *status = s;
        *info = i;
        called = true;
    });
    if (!transportOk(ret, "getSubDisplayInfo")) return false;
    if (!called) {
        fprintf(stderr, "twinelctl: getSubDisplayInfo: the service gave no result\n");
        return false;
    }
    return true;
}

// A synchronous call queued behind one-way calls made before it: when it
// returns, the service has taken them.
bool syncWithService(ITwinel* hal) {
    Return<void> ret = hal->getSubDisplayPowerState([](Status, SubScreenState) {});
    return transportOk(ret, "getSubDisplayPowerState");
}

sigset_t stopSignals() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGHUP);
    return set;
}

// Told by the runtime when the service's process ends; the waiting loop
// looks at the flag between its waits.
struct ServiceDeath : hidl_death_recipient {
    void serviceDied(uint64_t /*cookie*/, const wp<IBase>& /*who*/) override { mDied = true; }
    std::atomic<bool> mDied{false};
};

// The service keeps one callback of each kind: registering ours replaces the
// framework's, and clearing ours on the way out leaves none (the framework
// is not told and does not register again until it restarts).
std::string replacedText(bool lpwg, bool subDisplay) {
    if (lpwg && subDisplay) {
        return "these replace the framework's callbacks, which stay cleared after exit";
    }
    return "this replaces the framework's callback, which stays cleared after exit";
}

// Registers the chosen callbacks, prints events until --count, --timeout or
// a stop signal, then removes the registrations again. Ends with
// kExitTransport when the service dies meanwhile.
int runWatch(ITwinel* hal, const Options& o, bool lpwg, bool subDisplay, Watchdog* dog) {
    // Lives as long as the process: a call already on its way may still
    // reach a callback after the registrations are removed.
    static EventLog& log = *new EventLog();
    bool v10 = o.v10 || o.pureV10;
    sp<V1_0::ITwinelLpwgCallback> lpwgCb;
    if (lpwg && v10) lpwgCb = new LpwgCallback10(&log);
    if (lpwg && !v10) lpwgCb = new LpwgCallback11(&log);
    sp<ITwinelSubDisplayCallback> subCb = subDisplay ? new SubDisplayCallback(&log) : nullptr;

    dog->arm(o.callTimeout, "registering the callbacks");
    // Linked before registering, so that a death at any later moment is
    // seen. An in-process HAL cannot die apart from the tool.
    sp<ServiceDeath> death = new ServiceDeath();
    if (!o.passthrough) {
        Return<bool> linked = hal->linkToDeath(death, 0);
        if (!transportOk(linked, "linkToDeath")) return kExitTransport;
        if (!linked) {
            fprintf(stderr, "twinelctl: watch: the service has died\n");
            return kExitTransport;
        }
    }
    // The sub display callback first: once the LPWG worker listens for
    // uevents, both registrations have been taken.
    if (subDisplay && !transportOk(hal->setSubDisplayCallback(subCb), "setSubDisplayCallback")) {
        return kExitTransport;
    }
    if (lpwg && !transportOk(hal->setLpwgCallback(lpwgCb), "setLpwgCallback")) {
        return kExitTransport;
    }
    if (!syncWithService(hal)) return kExitTransport;
    dog->disarm();

    std::string what;
    if (lpwg) what += std::string("LPWG callback ") + (v10 ? "1.0" : "1.1");
    if (subDisplay) what += std::string(what.empty() ? "" : ", ") + "sub display callback";
    printf("watching: %s (Ctrl-C to stop); %s\n", what.c_str(),
           replacedText(lpwg, subDisplay).c_str());
    fflush(stdout);

    int rc = kExitOk;
    sigset_t set = stopSignals();
    auto start = std::chrono::steady_clock::now();
    for (;;) {
        if (death->mDied) {
            // Its registrations went with it: nothing to remove.
            fprintf(stderr, "twinelctl: watch: the service died after %zu event%s\n", log.count(),
                    log.count() == 1 ? "" : "s");
            return kExitTransport;
        }
        if (o.count > 0 && log.count() >= static_cast<size_t>(o.count)) break;
        double elapsed =
                std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        if (o.timeout > 0 && elapsed >= o.timeout) {
            if (o.count > 0) {
                fprintf(stderr, "twinelctl: watch: %zu of %lld events within %g s\n", log.count(),
                        static_cast<long long>(o.count), o.timeout);
                rc = kExitIncomplete;
            }
            break;
        }
        struct timespec wait = {0, 100 * 1000 * 1000};
        int sig = sigtimedwait(&set, nullptr, &wait);
        if (sig > 0) {
            printf("stopped by %s\n", strsignal(sig));
            break;
        }
    }

    dog->arm(o.callTimeout, "removing the callbacks");
    bool ok = true;
    if (lpwg) ok = transportOk(hal->setLpwgCallback(nullptr), "setLpwgCallback") && ok;
    if (subDisplay) {
        ok = transportOk(hal->setSubDisplayCallback(nullptr), "setSubDisplayCallback") && ok;
    }
    ok = ok && syncWithService(hal);
    dog->disarm();
    if (!o.passthrough) hal->unlinkToDeath(death).isOk();
    printf("%s: %zu event%s\n", ok ? "unregistered" : "could not unregister", log.count(),
           log.count() == 1 ? "" : "s");
    fflush(stdout);
    if (!ok && rc == kExitOk) rc = kExitTransport;
    return rc;
}

int runClearCallback(ITwinel* hal, bool lpwg) {
    const char* op = lpwg ? "setLpwgCallback" : "setSubDisplayCallback";
    bool ok = lpwg ? transportOk(hal->setLpwgCallback(nullptr), op)
                   : transportOk(hal->setSubDisplayCallback(nullptr), op);
    if (!ok || !syncWithService(hal)) return kExitTransport;
    printf("%s: callback cleared\n", op);
    return kExitOk;
}

int runAt(ITwinel* hal, const std::string& command, bool stream) {
    sp<LinePrinter> printer = stream ? new LinePrinter() : nullptr;
    Status status = Status::FAILURE;
    std::string reply;
    bool called = false;
    Return<void> ret = hal->sendAtCommand(command, printer, [&](Status s, const hidl_string& r) {
        status = s;
        reply = r;
        called = true;
    });
    if (!transportOk(ret, "sendAtCommand")) return kExitTransport;
    if (!called) {
        fprintf(stderr, "twinelctl: sendAtCommand: the service gave no result\n");
        return kExitTransport;
    }
    if (printer != nullptr) {
        printer->waitFor(countLines(reply));
    } else {
        printField("reply", reply);
    }
    return printStatus(status);
}

int runTw2Status(ITwinel* hal) {
    Status status = Status::FAILURE;
    TwinelStatus st = {};
    bool called = false;
    Return<void> ret = hal->getTW2Status([&](Status s, const TwinelStatus& t) {
        status = s;
        st = t;
        called = true;
    });
    if (!transportOk(ret, "getTW2Status")) return kExitTransport;
    if (!called) {
        fprintf(stderr, "twinelctl: getTW2Status: the service gave no result\n");
        return kExitTransport;
    }
    printf("connected: %s\n", boolWord(st.connected));
    printf("brightnessOffset: %d\n", st.brightnessOffset);
    printf("reserved: %s\n", boolWord(st.reserved));
    printf("brightnessOffsetBypass: %s\n", boolWord(st.brightnessOffsetBypass));
    printf("brightness: %d\n", st.brightness);
    return printStatus(status);
}

int runSubDisplayInfo(ITwinel* hal) {
    Status status = Status::FAILURE;
    SubScreenInfo info = {};
    if (!subDisplayInfo(hal, &status, &info)) return kExitTransport;
    printf("x: %u\n", info.x);
    printf("y: %u\n", info.y);
    printf("format: %u\n", info.format);
    return printStatus(status);
}

int runSubDisplayPowerState(ITwinel* hal) {
    Status status = Status::FAILURE;
    int32_t state = 0;
    bool called = false;
    Return<void> ret = hal->getSubDisplayPowerState([&](Status s, SubScreenState st) {
        status = s;
        state = static_cast<int32_t>(st);
        called = true;
    });
    if (!transportOk(ret, "getSubDisplayPowerState")) return kExitTransport;
    if (!called) {
        fprintf(stderr, "twinelctl: getSubDisplayPowerState: the service gave no result\n");
        return kExitTransport;
    }
    printf("state: %d (%s)\n", state, subScreenStateWord(state));
    return printStatus(status);
}

int drawPixels(ITwinel* hal, const hidl_vec<uint32_t>& pixels) {
    return runStatus("drawSubDisplay", hal->drawSubDisplay(pixels));
}

int runDrawSubDisplay(ITwinel* hal, const Options& o) {
    uint32_t value = toUint32("drawSubDisplay", "--value", o.value);
    int64_t count = -1;
    if (!o.pixelCount.empty()) {
        count = toInteger("drawSubDisplay", "--count", o.pixelCount, 0, kMaxPixels);
    }
    if (hal == nullptr) return kExitOk;
    if (count < 0) {
        Status status = Status::FAILURE;
        SubScreenInfo info = {};
        if (!subDisplayInfo(hal, &status, &info)) return kExitTransport;
        count = static_cast<int64_t>(info.x) * info.y;
    }
    hidl_vec<uint32_t> pixels;
    pixels.resize(static_cast<size_t>(count));
    for (auto& p : pixels) p = value;
    printf("pixels: %lld of 0x%08x\n", static_cast<long long>(count), value);
    return drawPixels(hal, pixels);
}

// Checks what can be checked before the service is asked.
void checkDrawArguments(const Options& o, const std::string& file) {
    if (file.empty() == o.pattern.empty()) {
        throw UsageError("draw: give either a PNG file or --pattern NAME");
    }
    if (!o.pattern.empty()) {
        for (const auto& p : kPatterns) {
            if (p == o.pattern) return;
        }
        std::string names;
        for (const auto& p : kPatterns) names += (names.empty() ? "" : ", ") + p;
        throw UsageError("draw: unknown pattern \"" + o.pattern + "\" (one of " + names + ")");
    }
}

int runDraw(ITwinel* hal, const Options& o, const std::string& file, const Picture& loaded) {
    Status status = Status::FAILURE;
    SubScreenInfo info = {};
    if (!subDisplayInfo(hal, &status, &info)) return kExitTransport;
    if (status != Status::SUCCESS || info.x == 0 || info.y == 0) {
        fprintf(stderr,
                "twinelctl: draw: the sub display is not initialised (getSubDisplayInfo: status "
                "%u, %ux%u)\n",
                static_cast<uint32_t>(status), info.x, info.y);
        return kExitFailure;
    }
    Picture pic;
    if (!o.pattern.empty()) {
        pic = makePattern(o.pattern, info.x, info.y);
        printf("picture: pattern %s, %ux%u\n", o.pattern.c_str(), info.x, info.y);
    } else if (loaded.width == info.x && loaded.height == info.y) {
        pic = loaded;
        printf("picture: %s, %ux%u\n", file.c_str(), info.x, info.y);
    } else if (o.noScale) {
        fprintf(stderr, "twinelctl: draw: %s is %ux%u but the sub display is %ux%u\n", file.c_str(),
                loaded.width, loaded.height, info.x, info.y);
        return kExitData;
    } else {
        pic = scaleNearest(loaded, info.x, info.y);
        printf("picture: %s, scaled from %ux%u to %ux%u\n", file.c_str(), loaded.width,
               loaded.height, info.x, info.y);
    }
    return drawPixels(hal, toPixels(pic));
}

// ---------------------------------------------------------------------------
// The base interface's operations, which every HIDL object answers.

int runPing(ITwinel* hal) {
    if (!transportOk(hal->ping(), "ping")) return kExitTransport;
    printf("ping: answered\n");
    return kExitOk;
}

int runInterfaceChain(ITwinel* hal) {
    Return<void> ret = hal->interfaceChain([](const hidl_vec<hidl_string>& chain) {
        for (const auto& d : chain) printf("%s\n", d.c_str());
    });
    return transportOk(ret, "interfaceChain") ? kExitOk : kExitTransport;
}

// One line per interface of the chain, as interfaces/current.txt has them:
// the hash in lower-case hexadecimal, a blank, the descriptor. An all-zero
// hash is what an interface built without a hash reports.
int runHashChain(ITwinel* hal) {
    hidl_vec<hidl_string> chain;
    Return<void> ret = hal->interfaceChain([&](const hidl_vec<hidl_string>& c) { chain = c; });
    if (!transportOk(ret, "interfaceChain")) return kExitTransport;
    hidl_vec<hidl_array<uint8_t, 32>> hashes;
    ret = hal->getHashChain([&](const hidl_vec<hidl_array<uint8_t, 32>>& h) { hashes = h; });
    if (!transportOk(ret, "getHashChain")) return kExitTransport;
    if (hashes.size() != chain.size()) {
        fprintf(stderr, "twinelctl: getHashChain: %zu hashes for %zu interfaces\n", hashes.size(),
                chain.size());
        return kExitTransport;
    }
    for (size_t i = 0; i < chain.size(); i++) {
        std::string hex;
        for (size_t b = 0; b < 32; b++) {
            char byte[3];
            snprintf(byte, sizeof(byte), "%02x", hashes[i][b]);
            hex += byte;
        }
        printf("%s %s\n", hex.c_str(), chain[i].c_str());
    }
    return kExitOk;
}

const char* archWord(DebugInfo::Architecture arch) {
    switch (arch) {
        case DebugInfo::Architecture::IS_64BIT:
            return "64-bit";
        case DebugInfo::Architecture::IS_32BIT:
            return "32-bit";
        case DebugInfo::Architecture::UNKNOWN:
            break;
    }
    return "unknown";
}

int runDebugInfo(ITwinel* hal) {
    DebugInfo info = {};
    Return<void> ret = hal->getDebugInfo([&](const DebugInfo& i) { info = i; });
    if (!transportOk(ret, "getDebugInfo")) return kExitTransport;
    printf("pid: %d\n", info.pid);
    printf("ptr: 0x%016llx\n", static_cast<unsigned long long>(info.ptr));
    printf("arch: %d (%s)\n", static_cast<int32_t>(info.arch), archWord(info.arch));
    return kExitOk;
}

// Looks the service up as a 1.0 or a 1.1 interface; with `waitSeconds`, asks
// again every 100 ms until it is there or the time is up. A single try each
// time: getService would wait without end for the declared instance.
sp<ITwinel> lookUp(const Options& o, bool passthrough, double waitSeconds,
                   sp<V1_1::ITwinel>* hal11) {
    auto deadline = std::chrono::steady_clock::now() +
                    std::chrono::milliseconds(static_cast<int64_t>(waitSeconds * 1000));
    for (;;) {
        sp<ITwinel> hal;
        if (o.pureV10) {
            hal = ITwinel::tryGetService(o.instance, passthrough);
        } else {
            *hal11 = V1_1::ITwinel::tryGetService(o.instance, passthrough);
            hal = *hal11;
        }
        if (hal != nullptr || std::chrono::steady_clock::now() >= deadline) return hal;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
}

// Lets the passthrough mode find the implementation library next to the
// tool's build tree when nothing else says where it is.
void setPassthroughPath() {
    if (getenv("HIDL_PASSTHROUGH_PATH") != nullptr) return;
    char exe[PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", exe, sizeof(exe) - 1);
    if (n <= 0) return;
    exe[n] = '\0';
    std::string dir = exe;
    size_t slash = dir.rfind('/');
    if (slash == std::string::npos) return;
    dir.resize(slash);
    std::string lib = dir + "/../lib";
    setenv("HIDL_PASSTHROUGH_PATH", lib.c_str(), 0);
}

// The in-process HAL sends brightness levels from a worker thread of its
// own; setBrightness only queues them, and the tool's exit would cut the
// worker off. The implementation library tells when the worker has sent
// every queued level. 0 when it has (or when no library of ours is loaded:
// there is nothing to wait for), else a line on stderr and kExitTransport.
constexpr const char* kImplLibrary = "vendor.zyr.hardware.twinel@1.1-impl.so";
constexpr int32_t kBrightnessSentLimitMs = 15000;  // a few AT exchanges, with a recovery

int waitBrightnessSent(const char* op) {
    std::string path;
    dl_iterate_phdr(
            [](struct dl_phdr_info* info, size_t, void* data) {
                std::string name = info->dlpi_name != nullptr ? info->dlpi_name : "";
                size_t n = strlen(kImplLibrary);
                if (name.size() < n || name.compare(name.size() - n, n, kImplLibrary) != 0) {
                    return 0;
                }
                *static_cast<std::string*>(data) = name;
                return 1;
            },
            &path);
    if (path.empty()) return kExitOk;
    void* lib = dlopen(path.c_str(), RTLD_LAZY | RTLD_NOLOAD);
    if (lib == nullptr) return kExitOk;
    using WaitFn = int32_t (*)(int32_t);
    auto wait = reinterpret_cast<WaitFn>(dlsym(lib, "twinel_passthrough_wait_brightness_sent"));
    int32_t ret = wait != nullptr ? wait(kBrightnessSentLimitMs) : 0;
    dlclose(lib);
    if (ret == 0) return kExitOk;
    if (ret == -ENODEV) {
        fprintf(stderr, "twinelctl: %s: not sent: the in-process HAL has no accessory\n", op);
    } else {
        fprintf(stderr, "twinelctl: %s: the in-process HAL did not send the level within %d s\n",
                op, kBrightnessSentLimitMs / 1000);
    }
    return kExitTransport;
}

// A passthrough object starts with no accessory: its USB monitor finds one
// that is plugged in within a moment and brings up its two functions one
// after the other, the sub display with a half-second power-on. Waits until
// the accessory is attached and its sub display on, then a little for the
// AT channel, at most `seconds` in all (an accessory without a sub display
// takes the whole time).
void settlePassthrough(ITwinel* hal, double seconds) {
    auto now = std::chrono::steady_clock::now;
    auto deadline = now() + std::chrono::milliseconds(static_cast<int64_t>(seconds * 1000));
    while (now() < deadline) {
        Return<bool> attached = hal->getTW2Connect();
        int32_t state = 0;
        Return<void> ret = hal->getSubDisplayPowerState(
                [&](Status, SubScreenState s) { state = static_cast<int32_t>(s); });
        if (attached.isOk() && attached && ret.isOk() && state == 3) {
            std::this_thread::sleep_until(
                    std::min(deadline, now() + std::chrono::milliseconds(200)));
            return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

// ---------------------------------------------------------------------------
// Command line.

struct Command {
    CLI::App* app;
    std::function<int(ITwinel*)> run;
    bool watches = false;  // waits for events until a stop signal
    // Called once with a null HAL before the service is looked up, so that
    // bad arguments are reported whether or not a service runs.
    bool checksArgs = false;
    // A 1.1 operation: refused with --v10.
    bool needs11 = false;
};

// The first word of the command line that is neither an option nor an
// option's value, when it names no operation.
std::string unknownOperation(int argc, char** argv, const std::vector<Command>& commands) {
    for (int i = 1; i < argc; i++) {
        std::string a = argv[i];
        if (a == "--instance" || a == "--call-timeout" || a == "--settle" || a == "--wait") {
            i++;
            continue;
        }
        if (a.empty() || a[0] == '-') continue;
        for (const auto& c : commands) {
            if (c.app->get_name() == a) return "";
        }
        return a;
    }
    return "";
}

// --count and --timeout of the subcommands that print events until stopped.
template <typename Options>
void addWatchLimits(CLI::App* sub, Options& o) {
    sub->add_option("--count", o.count, "End after this many events")
            ->check(CLI::Range(int64_t(1), int64_t(1000000)));
    sub->add_option("--timeout", o.timeout, "End after this many seconds")
            ->check(CLI::Range(0.001, 86400.0));
}

int toolMain(int argc, char** argv) {
    signal(SIGPIPE, SIG_IGN);
    setvbuf(stdout, nullptr, _IOLBF, 0);

    Options o;
    CLI::App app{
            "Client of the Twinel cover-screen HAL (vendor.zyr.hardware.twinel@1.1::ITwinel).\n"
            "Every ITwinel operation is a subcommand with the HAL's own name.",
            "twinelctl"};
    app.require_subcommand(1, 1);
    app.fallthrough();
    app.footer(
            "Exit status:\n"
            "  0   success (getTW2Connect: attached or not)\n"
            "  1   the HAL answered Status 1\n"
            "  2   no service (within --wait), a transport error, no answer within "
            "--call-timeout, or the service died while watching\n"
            "  3   watch ended by --timeout before --count events\n"
            "  64  bad command line; --passthrough while the service runs; a 1.1 operation "
            "with --v10\n"
            "  65  unusable input file\n"
            "Run 'twinelctl OPERATION --help' for an operation's arguments.");
    app.add_flag("--passthrough", o.passthrough,
                 "Load the implementation library in this process instead of using the service");
    app.add_option("--instance", o.instance, "Service instance name")->capture_default_str();
    app.add_flag("-v,--verbose", o.verbose,
                 "Show the log of the HIDL runtime (and, with --passthrough, of the HAL)");
    app.add_option("--settle", o.settle,
                   "With --passthrough: seconds to wait for the in-process HAL to find the "
                   "accessory before the operation")
            ->capture_default_str()
            ->check(CLI::Range(0.0, 60.0));
    app.add_flag("--v10", o.pureV10,
                 "Act as a client that knows only version 1.0: look the service up as "
                 "twinel@1.0::ITwinel, refuse the 1.1 operations, register 1.0 LPWG callbacks");
    app.add_option("--wait", o.wait,
                   "Seconds to wait for a service that is not registered yet (default: ask once)")
            ->check(CLI::Range(0.0, 86400.0));
    app.add_option("--call-timeout", o.callTimeout,
                   "Seconds to wait for the service's answer to one call")
            ->capture_default_str()
            ->check(CLI::Range(0.1, 86400.0));

    Watchdog dog;
    // Set by the lookup unless --v10; the 1.1 operations use it.
    sp<V1_1::ITwinel> hal11;
    std::vector<Command> commands;
    std::string fileArg;
    auto& args = o.args;

    // Operations without arguments that return a Status.
    auto statusOp = [&](const char* name, const char* help, StatusCall call) {
        CLI::App* sub = app.add_subcommand(name, help);
        std::string op = name;
        commands.push_back(
                {sub, [call, op](ITwinel* hal) { return runStatus(op.c_str(), call(hal)); }});
    };
    // Operations without arguments that deliver a Status and a text.
    auto textOp = [&](const char* name, const char* help, const char* field,
                      std::function<Return<void>(ITwinel*, TextCb)> call) {
        CLI::App* sub = app.add_subcommand(name, help);
        std::string op = name;
        commands.push_back({sub, [call, op, field](ITwinel* hal) {
                                return runText(op.c_str(), field,
                                               [&](TextCb cb) { return call(hal, cb); });
                            }});
    };
    // Operations with positional arguments. CLI11 takes them as text; `run`
    // converts them first and returns at once when given no HAL (the check
    // made before the service is looked up).
    auto argOp = [&](const char* name, const char* help,
                     std::vector<std::pair<const char*, const char*>> params,
                     std::function<int(ITwinel*, const std::vector<std::string>&)> run) {
        CLI::App* sub = app.add_subcommand(name, help);
        std::vector<CLI::Option*> opts;
        std::string usage;
        for (size_t i = 0; i < params.size(); i++) {
            // Counted here rather than by CLI11, to name a missing argument.
            opts.push_back(sub->add_option(params[i].first, args[i], params[i].second));
            usage += std::string(i ? " " : "") + params[i].first;
        }
        std::string op = name;
        commands.push_back({sub,
                            [run, op, opts, usage, &args](ITwinel* hal) {
                                size_t given = 0;
                                for (auto* opt : opts) given += opt->count() > 0;
                                if (given != opts.size()) {
                                    throw UsageError(op + ": expects " + usage + " (" +
                                                     std::to_string(opts.size()) + " argument" +
                                                     (opts.size() == 1 ? "" : "s") + "), got " +
                                                     std::to_string(given));
                                }
                                return run(hal, args);
                            },
                            false, true});
    };

    // --- 1.0 operations, in slot order ---
    textOp("getFirmwareVersion", "Ask the accessory for its firmware version", "version",
           [](ITwinel* hal, TextCb cb) { return hal->getFirmwareVersion(cb); });
    statusOp("checkFirmwareVersion",
             "Compare the accessory firmware with the images in /system_ext/etc/dfu (starts "
             "the upgrade and answers 1 when a newer image is there)",
             [](ITwinel* hal) { return hal->checkFirmwareVersion(); });
    textOp("getFirmwareFile", "File name of the image chosen by the last check", "file",
           [](ITwinel* hal, TextCb cb) { return hal->getFirmwareFile(cb); });
    statusOp("doFirmwareUpgrade", "Start the accessory firmware upgrade",
             [](ITwinel* hal) { return hal->doFirmwareUpgrade(); });
    statusOp("goDload", "Put the accessory into its download mode",
             [](ITwinel* hal) { return hal->goDload(); });
    statusOp("goSTMDload", "Put the accessory into its second download mode",
             [](ITwinel* hal) { return hal->goSTMDload(); });
    statusOp("cancelFirmwareUpgrade", "Cancel a firmware upgrade",
             [](ITwinel* hal) { return hal->cancelFirmwareUpgrade(); });
    textOp("getTouchFirmwareVersion", "Touch controller firmware version", "version",
           [](ITwinel* hal, TextCb cb) { return hal->getTouchFirmwareVersion(cb); });
    statusOp("DoRawdata", "Trigger a touch raw-data dump",
             [](ITwinel* hal) { return hal->DoRawdata(); });
    statusOp("DoDelta", "Trigger a touch delta dump", [](ITwinel* hal) { return hal->DoDelta(); });
    statusOp("DoTouchReset", "Reset the touch controller",
             [](ITwinel* hal) { return hal->DoTouchReset(); });
    textOp("getGpiopin", "Touch controller GPIO pin report", "text",
           [](ITwinel* hal, TextCb cb) { return hal->getGpiopin(cb); });
    argOp("setStatus", "Relay an LPWG setting (type, value) to the accessory",
          {{"TYPE", "int32, forwarded as it is"}, {"VALUE", "int32, forwarded as it is"}},
          [](ITwinel* hal, const std::vector<std::string>& a) {
              LpwgStatus st;
              st.type = toInt32("setStatus", "TYPE", a[0]);
              st.value = toInt32("setStatus", "VALUE", a[1]);
              if (hal == nullptr) return kExitOk;
              return runStatus("setStatus", hal->setStatus(st));
          });
    statusOp("DoTouchFirmwareUpgrade", "Start a touch firmware upgrade",
             [](ITwinel* hal) { return hal->DoTouchFirmwareUpgrade(); });
    textOp("getSelfTest", "Touch self-test result", "text",
           [](ITwinel* hal, TextCb cb) { return hal->getSelfTest(cb); });
    textOp("getLPWGSelfTest", "LPWG self-test result", "text",
           [](ITwinel* hal, TextCb cb) { return hal->getLPWGSelfTest(cb); });
    statusOp("getTestResults", "Fetch the touch self-test results",
             [](ITwinel* hal) { return hal->getTestResults(); });
    {
        CLI::App* sub = app.add_subcommand(
                "setLpwgCallback",
                "Register an LPWG callback that prints each event until stopped (Ctrl-C, --count "
                "or --timeout), then remove it; --clear only removes the registered one. Either "
                "way the framework's callback is replaced and stays cleared");
        sub->add_flag("--clear", o.clear, "Pass null: remove the registered callback");
        sub->add_flag("--v10", o.v10, "Register a version 1.0 callback");
        addWatchLimits(sub, o);
        commands.push_back({sub,
                            [&o, &dog](ITwinel* hal) {
                                if (o.clear) return runClearCallback(hal, true);
                                return runWatch(hal, o, true, false, &dog);
                            },
                            true});
    }
    argOp("setBrightness", "Set the cover screen brightness",
          {{"LEVEL", "int32; the HAL takes 0 to 255 and ignores other levels"}},
          [&o](ITwinel* hal, const std::vector<std::string>& a) {
              int32_t level = toInt32("setBrightness", "LEVEL", a[0]);
              if (hal == nullptr) return kExitOk;
              Return<Status> ret = hal->setBrightness(level);
              if (ret.isOk() && o.passthrough) {
                  int rc = waitBrightnessSent("setBrightness");
                  if (rc != kExitOk) return rc;
              }
              return runStatus("setBrightness", std::move(ret));
          });
    argOp("setPowerStatus", "Power the cover screen on or off",
          {{"ENABLE", "true or false (1/0, on/off)"},
           {"UEVENT", "true or false: the second digit written to tw2_pd"}},
          [](ITwinel* hal, const std::vector<std::string>& a) {
              bool enable = toBool("setPowerStatus", "ENABLE", a[0]);
              bool uevent = toBool("setPowerStatus", "UEVENT", a[1]);
              if (hal == nullptr) return kExitOk;
              return runStatus("setPowerStatus", hal->setPowerStatus(enable, uevent));
          });
    textOp("getCoverDisplayCutout", "The cover screen's cutout description", "cutout",
           [](ITwinel* hal, TextCb cb) { return hal->getCoverDisplayCutout(cb); });
    argOp("setRgbTune", "RGB tuning, four values",
          {{"V0", "uint32"}, {"V1", "uint32"}, {"V2", "uint32"}, {"V3", "uint32"}},
          [](ITwinel* hal, const std::vector<std::string>& a) {
              uint32_t v[4];
              for (int i = 0; i < 4; i++)
                  v[i] = toUint32("setRgbTune", "V" + std::to_string(i), a[i]);
              if (hal == nullptr) return kExitOk;
              return runStatus("setRgbTune", hal->setRgbTune(v[0], v[1], v[2], v[3]));
          });
    argOp("setScreenMode", "Colour mode of the cover screen",
          {{"MODE", "int32, forwarded as it is"}},
          [](ITwinel* hal, const std::vector<std::string>& a) {
              auto mode = static_cast<ScreenMode>(toInt32("setScreenMode", "MODE", a[0]));
              if (hal == nullptr) return kExitOk;
              return runStatus("setScreenMode", hal->setScreenMode(mode));
          });
    argOp("setScreenTune", "Screen tuning, four values",
          {{"V0", "uint32"}, {"V1", "uint32"}, {"V2", "uint32"}, {"V3", "uint32"}},
          [](ITwinel* hal, const std::vector<std::string>& a) {
              uint32_t v[4];
              for (int i = 0; i < 4; i++) {
                  v[i] = toUint32("setScreenTune", "V" + std::to_string(i), a[i]);
              }
              if (hal == nullptr) return kExitOk;
              return runStatus("setScreenTune", hal->setScreenTune(v[0], v[1], v[2], v[3]));
          });
    argOp("setTWBrightnessOffset", "Brightness offset",
          {{"OFFSET", "int32; 100 while the screen is on sets the one-shot bypass"}},
          [&o](ITwinel* hal, const std::vector<std::string>& a) {
              int32_t offset = toInt32("setTWBrightnessOffset", "OFFSET", a[0]);
              if (hal == nullptr) return kExitOk;
              // An offset while the screen is on queues the level again.
              Return<Status> ret = hal->setTWBrightnessOffset(offset);
              if (ret.isOk() && o.passthrough) {
                  int rc = waitBrightnessSent("setTWBrightnessOffset");
                  if (rc != kExitOk) return rc;
              }
              return runStatus("setTWBrightnessOffset", std::move(ret));
          });
    commands.push_back(
            {app.add_subcommand("getTW2Status", "Connection and brightness state (TwinelStatus)"),
             [](ITwinel* hal) { return runTw2Status(hal); }});
    argOp("setSubDisplayBrightness", "Sub display brightness",
          {{"LEVEL", "int32; the HAL takes 0 to 255"}},
          [](ITwinel* hal, const std::vector<std::string>& a) {
              int32_t level = toInt32("setSubDisplayBrightness", "LEVEL", a[0]);
              if (hal == nullptr) return kExitOk;
              return runStatus("setSubDisplayBrightness", hal->setSubDisplayBrightness(level));
          });
    argOp("setSubDisplayPowerState", "Power the sub display on or off",
          {{"ON", "true or false (1/0, on/off)"}},
          [](ITwinel* hal, const std::vector<std::string>& a) {
              bool on = toBool("setSubDisplayPowerState", "ON", a[0]);
              if (hal == nullptr) return kExitOk;
              return runStatus("setSubDisplayPowerState", hal->setSubDisplayPowerState(on));
          });
    commands.push_back({app.add_subcommand("getSubDisplayInfo",
                                           "Sub display geometry and format (SubScreenInfo)"),
                        [](ITwinel* hal) { return runSubDisplayInfo(hal); }});
    {
        CLI::App* sub = app.add_subcommand(
                "drawSubDisplay",
                "Queue one frame of identical pixels (see 'draw' for pictures and patterns)");
        sub->add_option("--value", o.value,
                        "uint32 value of every pixel; bits 4 to 7 are the grey level")
                ->capture_default_str();
        sub->add_option("--count", o.pixelCount,
                        "Number of pixels, 0 to 1048576 (default: the panel's, from "
                        "getSubDisplayInfo)");
        commands.push_back(
                {sub, [&o](ITwinel* hal) { return runDrawSubDisplay(hal, o); }, false, true});
    }
    commands.push_back(
            {app.add_subcommand("getSubDisplayPowerState", "Sub display state (SubScreenState)"),
             [](ITwinel* hal) { return runSubDisplayPowerState(hal); }});
    {
        CLI::App* sub = app.add_subcommand(
                "setSubDisplayCallback",
                "Register a sub display callback that prints each state change until stopped, "
                "then remove it; --clear only removes the registered one. Either way the "
                "framework's callback is replaced and stays cleared");
        sub->add_flag("--clear", o.clear, "Pass null: remove the registered callback");
        addWatchLimits(sub, o);
        commands.push_back({sub,
                            [&o, &dog](ITwinel* hal) {
                                if (o.clear) return runClearCallback(hal, false);
                                return runWatch(hal, o, false, true, &dog);
                            },
                            true});
    }
    commands.push_back(
            {app.add_subcommand("getTW2Connect",
                                "Whether the accessory's USB device is attached (exit 0 either "
                                "way)"),
             [](ITwinel* hal) {
                 Return<bool> ret = hal->getTW2Connect();
                 if (!transportOk(ret, "getTW2Connect")) return kExitTransport;
                 bool attached = ret;
                 printf("connected: %s\n", boolWord(attached));
                 return kExitOk;
             }});
    argOp("sendAtCommand", "Send one AT command, print its reply",
          {{"COMMAND", "without the carriage return, e.g. AT%SWV"}},
          [](ITwinel* hal, const std::vector<std::string>& a) {
              if (hal == nullptr) return kExitOk;
              return runAt(hal, a[0], false);
          });

    // --- 1.1 operations, through the 1.1 reference ---
    argOp("setAesMode", "Set the pen (AES) mode (1.1)", {{"MODE", "uint32"}},
          [&hal11](ITwinel* hal, const std::vector<std::string>& a) {
              uint32_t mode = toUint32("setAesMode", "MODE", a[0]);
              if (hal == nullptr) return kExitOk;
              return runStatus("setAesMode", hal11->setAesMode(mode));
          });
    commands.back().needs11 = true;
    argOp("manageAesMode", "Switch the pen (AES) mode together with the phone's LPWG service (1.1)",
          {{"MODE", "uint32"}}, [&hal11](ITwinel* hal, const std::vector<std::string>& a) {
              uint32_t mode = toUint32("manageAesMode", "MODE", a[0]);
              if (hal == nullptr) return kExitOk;
              return runStatus("manageAesMode", hal11->manageAesMode(mode));
          });
    commands.back().needs11 = true;
    statusOp("tw_update_state", "Relay the touch controller's update state (1.1)",
             [&hal11](ITwinel*) { return hal11->tw_update_state(); });
    commands.back().needs11 = true;
    argOp("set_touch_perf", "Touch performance mode of the accessory (1.1)",
          {{"ENABLE", "true or false (1/0, on/off)"}},
          [&hal11](ITwinel* hal, const std::vector<std::string>& a) {
              bool enable = toBool("set_touch_perf", "ENABLE", a[0]);
              if (hal == nullptr) return kExitOk;
              return runStatus("set_touch_perf", hal11->set_touch_perf(enable));
          });
    commands.back().needs11 = true;

    // --- the base interface ---
    commands.push_back({app.add_subcommand("ping", "Ask the service to answer (IBase::ping)"),
                        [](ITwinel* hal) { return runPing(hal); }});
    commands.push_back(
            {app.add_subcommand("interfaceChain",
                                "The descriptors the service's object implements, most derived "
                                "first (IBase::interfaceChain)"),
             [](ITwinel* hal) { return runInterfaceChain(hal); }});
    commands.push_back(
            {app.add_subcommand("getHashChain",
                                "The hash of each interface of the chain, printed as "
                                "interfaces/current.txt lists them (IBase::getHashChain)"),
             [](ITwinel* hal) { return runHashChain(hal); }});
    commands.push_back(
            {app.add_subcommand("getDebugInfo",
                                "The serving process's pid, the object's address and the "
                                "architecture (IBase::getDebugInfo)"),
             [](ITwinel* hal) { return runDebugInfo(hal); }});

    // --- extras ---
    argOp("at", "Send one AT command, streaming its reply lines as the service hands them on",
          {{"COMMAND", "without the carriage return, e.g. AT%SWV"}},
          [](ITwinel* hal, const std::vector<std::string>& a) {
              if (hal == nullptr) return kExitOk;
              return runAt(hal, a[0], true);
          });
    {
        CLI::App* sub = app.add_subcommand(
                "watch",
                "Register the LPWG and sub display callbacks and print each event with a time "
                "stamp until Ctrl-C (or --count / --timeout). The service keeps one callback of "
                "each kind: these replace the framework's, and on exit they are cleared, which "
                "leaves the framework without wake gestures and sub display states until it "
                "registers again. Exits 2 when the service dies.");
        sub->add_flag("--v10", o.v10, "Register a version 1.0 LPWG callback");
        sub->add_flag("--no-lpwg", o.noLpwg, "Do not register the LPWG callback");
        sub->add_flag("--no-subdisplay", o.noSubDisplay,
                      "Do not register the sub display callback");
        sub->add_option("--count", o.count, "End after this many events")
                ->check(CLI::Range(int64_t(1), int64_t(1000000)));
        sub->add_option("--timeout", o.timeout,
                        "End after this many seconds (exit 3 if --count events did not come)")
                ->check(CLI::Range(0.001, 86400.0));
        commands.push_back({sub,
                            [&o, &dog](ITwinel* hal) {
                                return runWatch(hal, o, !o.noLpwg, !o.noSubDisplay, &dog);
                            },
                            true});
    }
    CLI::App* drawApp = app.add_subcommand(
            "draw",
            "Draw a PNG file or a test pattern on the sub display, scaled (nearest pixel) to "
            "the size getSubDisplayInfo reports");
    drawApp->add_option("file", fileArg, "PNG file (any colour type; drawn in 16 greys)");
    drawApp->add_option("--pattern", o.pattern,
                        "Test pattern: gradient, checker, bars, border, white or black");
    drawApp->add_flag("--no-scale", o.noScale,
                      "Refuse a picture whose size differs from the panel's");
    Picture loaded;
    commands.push_back({drawApp, [&](ITwinel* hal) { return runDraw(hal, o, fileArg, loaded); }});

    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp& e) {
        return app.exit(e);
    } catch (const CLI::CallForAllHelp& e) {
        return app.exit(e);
    } catch (const CLI::ParseError& e) {
        std::string unknown = unknownOperation(argc, argv, commands);
        if (!unknown.empty()) {
            fprintf(stderr, "twinelctl: unknown operation \"%s\" (see twinelctl --help)\n",
                    unknown.c_str());
            return kExitUsage;
        }
        std::string msg = e.what();
        if (msg.empty()) msg = e.get_name();
        fprintf(stderr, "twinelctl: %s (see twinelctl --help)\n", msg.c_str());
        return kExitUsage;
    }

    const Command* chosen = nullptr;
    for (const auto& c : commands) {
        if (c.app->parsed()) chosen = &c;
    }
    if (chosen == nullptr) {
        fprintf(stderr, "twinelctl: no operation given (see twinelctl --help)\n");
        return kExitUsage;
    }

    // The runtime logs to stderr; errors of its own are told by this tool
    // in one line each.
    if (!o.verbose) __android_log_set_minimum_priority(ANDROID_LOG_SILENT);

    // What can be checked without the service is checked first.
    if (o.pureV10 && chosen->needs11) {
        fprintf(stderr, "twinelctl: %s is a 1.1 operation; with --v10 the tool is a 1.0 client\n",
                chosen->app->get_name().c_str());
        return kExitUsage;
    }
    try {
        if (chosen->app == drawApp) {
            checkDrawArguments(o, fileArg);
            if (!fileArg.empty()) loaded = loadPng(fileArg);
        }
        if (chosen->checksArgs) chosen->run(nullptr);
    } catch (const UsageError& e) {
        fprintf(stderr, "twinelctl: %s\n", e.what());
        return kExitUsage;
    } catch (const DataError& e) {
        fprintf(stderr, "twinelctl: draw: %s\n", e.what());
        return kExitData;
    }

    // Stop signals are taken by sigtimedwait in the waiting loop; they are
    // blocked before any thread exists so that every thread inherits it.
    if (chosen->watches && !o.clear) {
        sigset_t set = stopSignals();
        pthread_sigmask(SIG_BLOCK, &set, nullptr);
        // Callbacks are served on a pool of their own.
        ::android::hardware::configureRpcThreadpool(1, false);
    }

    if (o.passthrough) {
        // Two HALs on one accessory fight over its serial port (the
        // service's log capture takes the replies the other one waits for).
        dog.arm(o.callTimeout, "looking up the service");
        if (ITwinel::tryGetService(o.instance, false) != nullptr) {
            fprintf(stderr,
                    "twinelctl: --passthrough: the service \"%s\" is running and drives the "
                    "accessory; stop it first or leave out --passthrough\n",
                    o.instance.c_str());
            return kExitUsage;
        }
        setPassthroughPath();
    }
    double wait = o.passthrough ? 0 : o.wait;
    dog.arm(wait + o.callTimeout, "looking up the service");
    sp<ITwinel> hal = lookUp(o, o.passthrough, wait, &hal11);
    if (hal == nullptr) {
        char within[48] = "";
        if (wait > 0) snprintf(within, sizeof(within), " within %g s", wait);
        fprintf(stderr, "twinelctl: no ITwinel %s service \"%s\"%s%s\n", o.pureV10 ? "1.0" : "1.1",
                o.instance.c_str(), within,
                o.passthrough ? " (passthrough library not found)" : " (is the service running?)");
        return kExitTransport;
    }

    if (o.passthrough && o.settle > 0) settlePassthrough(hal.get(), o.settle);

    int rc;
    try {
        if (chosen->watches) {
            dog.disarm();
        } else {
            dog.arm(o.callTimeout, chosen->app->get_name());
        }
        rc = chosen->run(hal.get());
        dog.disarm();
    } catch (const UsageError& e) {
        fprintf(stderr, "twinelctl: %s\n", e.what());
        rc = kExitUsage;
    }
    fflush(stdout);
    if (o.passthrough) {
        // The in-process implementation keeps threads that live as long as
        // the process; leave without tearing it down under them.
        fflush(stderr);
        _exit(rc);
    }
    return rc;
}

}  // namespace
}  // namespace twinelctl

int main(int argc, char** argv) {
    return twinelctl::toolMain(argc, argv);
}
