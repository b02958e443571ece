/*
 * Copyright (C) 2026 The Twinel HAL Authors
 *
 * Licensed under the Apache License, Version 2.0 (the "License");
 * you may not use this file except in compliance with the License.
 */

// The workstation's trace writer behind <cutils/trace.h>: a Chrome/Perfetto
// JSON trace file per process, written with one positioned write per event
// so that the file ends in "]}" after every event.
//
// A slice is written once it ends, as one complete ("X") event. Until then it
// is a begin ("B") record kept behind the events written so far and written
// again, with the other slices still open, before the tail at every event:
// a process stopped at any point leaves its open slices begun and not ended,
// and no viewer has to pair begins and ends (Chrome DevTools pairs them
// through one stack for all threads, which mixes up concurrent threads).

#define LOG_TAG "twtrace"

#include <cutils/trace.h>
#include <errno.h>
#include <fcntl.h>
#include <log/log.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <time.h>
#include <twcutils/trace_file.h>
#include <unistd.h>

#include <map>
#include <mutex>
#include <string>
#include <vector>

atomic_bool atrace_is_ready(false);
uint64_t atrace_enabled_tags = 0;
int atrace_marker_fd = -1;

namespace {

constexpr char kHead[] = "{\"displayTimeUnit\":\"ms\",\"traceEvents\":[\n";
constexpr char kTail[] = "\n]}\n";

std::once_flag sSetupOnce;
// Set before setup (the program's first lines), read once by it.
std::string sSuffix;
// Fixed once setup has run.
std::string sPath;
pid_t sPid = 0;

// protects sFd, sEnd, sFirst, sOpen, sNextOpenId, sAfter.
std::mutex sLock;
int sFd = -1;
off_t sEnd = 0;      // where the events written for good end
bool sFirst = true;  // no event written for good yet
// The "B" records of the slices not ended yet, in the order they began.
std::map<uint64_t, std::string> sOpen;
uint64_t sNextOpenId = 1;
size_t sAfter = 0;  // bytes from sEnd to the file's end (open slices, blanks, kTail)

int64_t nowNs() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

void appendTs(std::string* out, int64_t ns) {
    char buf[40];
    snprintf(buf, sizeof(buf), "%lld.%03lld", static_cast<long long>(ns / 1000),
             static_cast<long long>(ns % 1000));
    *out += buf;
}

// A JSON string; bytes outside ASCII are kept as the code points of the same
// value, so that any name gives valid UTF-8.
void appendString(std::string* out, const char* s, size_t len) {
    *out += '"';
    for (size_t i = 0; i < len; i++) {
        unsigned char c = static_cast<unsigned char>(s[i]);
        if (c == '"' || c == '\\') {
            *out += '\\';
            *out += static_cast<char>(c);
        } else if (c < 0x20 || c >= 0x7f) {
            char buf[8];
            snprintf(buf, sizeof(buf), "\\u%04x", c);
            *out += buf;
        } else {
            *out += static_cast<char>(c);
        }
    }
    *out += '"';
}

void appendString(std::string* out, const char* s) {
    appendString(out, s, strlen(s));
}

bool writeAll(int fd, const char* data, size_t len, off_t at) {
    while (len > 0) {
        ssize_t n = pwrite(fd, data, len, at);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        data += n;
        len -= static_cast<size_t>(n);
        at += n;
    }
    return true;
}

// Writes event (a JSON object; none when empty) after the events written so
// far, forgets the open slice endId (0: none) and adds begin (a "B" record;
// none when empty) as an open slice whose id goes to *beginId. Then the open
// slices and the tail follow.
void write(const std::string& event, uint64_t endId, const std::string& begin, uint64_t* beginId) {
    std::lock_guard<std::mutex> lock(sLock);
    if (sFd < 0) return;
    if (endId != 0) sOpen.erase(endId);
    if (!begin.empty()) {
        *beginId = sNextOpenId++;
        sOpen.emplace(*beginId, begin);
    }
    std::string buf;
    bool first = sFirst;
    if (!event.empty()) {
        if (!first) buf += ",\n";
        buf += event;
        first = false;
    }
    size_t body = buf.size();
    for (const auto& open : sOpen) {
        if (!first) buf += ",\n";
        buf += open.second;
        first = false;
    }
    // Blanks before the tail cover what is left of longer open slices, so
    // that the file still ends in kTail.
    size_t length = buf.size() + strlen(kTail);
    if (length < body + sAfter) buf.append(body + sAfter - length, ' ');
    buf += kTail;
    if (!writeAll(sFd, buf.data(), buf.size(), sEnd)) {
        ALOGE("failed to write trace \"%s\": %s; tracing stops", sPath.c_str(), strerror(errno));
        close(sFd);
        sFd = -1;
        atrace_marker_fd = -1;
        return;
    }
    sEnd += static_cast<off_t>(body);
    sAfter = buf.size() - body;
    if (body > 0) sFirst = false;
}

void emit(const std::string& event) {
    write(event, 0, {}, nullptr);
}

std::string metadata(const char* what, pid_t tid, const char* name) {
    std::string e = "{\"ph\":\"M\",\"name\":\"";
    e += what;
    e += "\",\"pid\":" + std::to_string(sPid) + ",\"tid\":" + std::to_string(tid);
    e += ",\"args\":{\"name\":";
    appendString(&e, name);
    e += "}}";
    return e;
}

// A slice of the calling thread not yet ended.
struct Open {
    bool argsOnly;        // a key=value slice not written yet (see trace_file.h)
    int64_t beginNs;      // when it began
    std::string name;     // its name, for its complete event
    std::string endArgs;  // arguments for its complete event, as JSON members
    uint64_t openId;      // its "B" record among the open slices; 0 before
};

struct ThreadState {
    pid_t tid = 0;
    char name[17] = {};  // the name last announced
    std::vector<Open> open;
};

thread_local ThreadState tState;

// The thread's id, and its name announced first and whenever it changed.
ThreadState& self() {
    ThreadState& t = tState;
    if (t.tid == 0) t.tid = static_cast<pid_t>(syscall(SYS_gettid));
    char name[17] = {};
    if (prctl(PR_GET_NAME, name) == 0 && strcmp(name, t.name) != 0) {
        memcpy(t.name, name, sizeof(name));
        emit(metadata("thread_name", t.tid, name));
    }
    return t;
}

// Every event carries a category: DevTools cannot show the details of a
// slice without one.
std::string header(const char* ph, int64_t ns, const ThreadState& t) {
    std::string e = "{\"ph\":\"";
    e += ph;
    e += "\",\"cat\":\"atrace\",\"ts\":";
    appendTs(&e, ns);
    e += ",\"pid\":" + std::to_string(sPid) + ",\"tid\":" + std::to_string(t.tid);
    return e;
}

bool isKeyChar(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
}

// "k=v k2=v2" as JSON members ("k":v,"k2":"v2"); false for any other name.
bool parseArgs(const char* name, std::string* members) {
    std::string out;
    const char* p = name;
    bool any = false;
    while (*p != '\0') {
        while (*p == ' ') p++;
        if (*p == '\0') break;
        const char* key = p;
        while (isKeyChar(*p)) p++;
        if (p == key || *p != '=') return false;
        size_t keyLen = static_cast<size_t>(p - key);
        const char* value = ++p;
        while (*p != '\0' && *p != ' ') p++;
        size_t valueLen = static_cast<size_t>(p - value);
        if (!out.empty()) out += ',';
        appendString(&out, key, keyLen);
        out += ':';
        std::string v(value, valueLen);
        char* end = nullptr;
        errno = 0;
        long long number = valueLen > 0 ? strtoll(v.c_str(), &end, 10) : 0;
        if (valueLen > 0 && errno == 0 && end != nullptr && *end == '\0') {
            out += std::to_string(number);
        } else {
            appendString(&out, value, valueLen);
        }
        any = true;
    }
    if (!any) return false;
    *members = out;
    return true;
}

// A slice begun: its "B" record joins the open slices.
void beginSlice(ThreadState& t, Open* o) {
    std::string e = header("B", o->beginNs, t);
    e += ",\"name\":";
    appendString(&e, o->name.c_str());
    e += '}';
    write({}, 0, e, &o->openId);
}

// Anything traced inside a key=value slice makes it a slice of its own.
void materialize(ThreadState& t) {
    if (t.open.empty() || !t.open.back().argsOnly) return;
    Open& o = t.open.back();
    o.argsOnly = false;
    beginSlice(t, &o);
}

void setup() {
    const char* env = getenv("TWINEL_TRACE");
    if (env == nullptr || env[0] == '\0') return;
    std::string path = std::string(env) + sSuffix;
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) {
        ALOGE("failed to open trace \"%s\": %s", path.c_str(), strerror(errno));
        return;
    }
    // One writer per file: a second process given the same file leaves it
    // to the first.
    if (flock(fd, LOCK_EX | LOCK_NB) < 0) {
        ALOGW("trace \"%s\" is written by another process: %s; not tracing", path.c_str(),
              strerror(errno));
        close(fd);
        return;
    }
    if (ftruncate(fd, 0) < 0 || !writeAll(fd, kHead, strlen(kHead), 0) ||
        !writeAll(fd, kTail, strlen(kTail), static_cast<off_t>(strlen(kHead)))) {
        ALOGE("failed to write trace \"%s\": %s", path.c_str(), strerror(errno));
        close(fd);
        return;
    }
    sPid = getpid();
    sPath = path;
    {
        std::lock_guard<std::mutex> lock(sLock);
        sFd = fd;
        sEnd = static_cast<off_t>(strlen(kHead));
        sFirst = true;
        sAfter = strlen(kTail);
    }
    atrace_marker_fd = fd;
    emit(metadata("process_name", sPid, program_invocation_short_name));
    atrace_enabled_tags = ATRACE_TAG_VALID_MASK;
    ALOGI("tracing to \"%s\"", path.c_str());
}

}  // namespace

void atrace_setup() {
    std::call_once(sSetupOnce, [] {
        setup();
        atrace_is_ready.store(true, std::memory_order_release);
    });
}

void atrace_update_tags() {}

void atrace_set_debuggable(bool /* debuggable */) {}

void atrace_set_tracing_enabled(bool enabled) {
    if (!enabled) atrace_host_close();
}

void atrace_begin_body(const char* name) {
    ThreadState& t = self();
    materialize(t);
    int64_t ns = nowNs();
    std::string args;
    if (parseArgs(name, &args)) {
        t.open.push_back({true, ns, name, {}, 0});
        return;
    }
    t.open.push_back({false, ns, name, {}, 0});
    beginSlice(t, &t.open.back());
}

void atrace_end_body() {
    ThreadState& t = self();
    int64_t ns = nowNs();
    if (t.open.empty()) {
        // An end with nothing begun on this thread: no slice to complete.
        ALOGW("trace: end without a begin on thread %d", t.tid);
        return;
    }
    Open o = std::move(t.open.back());
    t.open.pop_back();
    if (o.argsOnly) {
        std::string args;
        parseArgs(o.name.c_str(), &args);
        if (!t.open.empty()) {
            std::string& to = t.open.back().endArgs;
            if (!to.empty()) to += ',';
            to += args;
            return;
        }
        // Nothing encloses it: an instant on the thread.
        std::string e = header("i", o.beginNs, t);
        e += ",\"s\":\"t\",\"name\":";
        appendString(&e, o.name.c_str());
        e += ",\"args\":{" + args + "}}";
        emit(e);
        return;
    }
    std::string e = header("X", o.beginNs, t);
    e += ",\"dur\":";
    appendTs(&e, ns - o.beginNs);
    e += ",\"name\":";
    appendString(&e, o.name.c_str());
    if (!o.endArgs.empty()) e += ",\"args\":{" + o.endArgs + "}";
    e += '}';
    write(e, o.openId, {}, nullptr);
}

static void asyncEvent(const char* ph, const char* name, int32_t cookie) {
    ThreadState& t = self();
    materialize(t);
    std::string e = header(ph, nowNs(), t);
    e += ",\"id\":" + std::to_string(cookie) + ",\"name\":";
    appendString(&e, name);
    e += '}';
    emit(e);
}

void atrace_async_begin_body(const char* name, int32_t cookie) {
    asyncEvent("b", name, cookie);
}

void atrace_async_end_body(const char* name, int32_t cookie) {
    asyncEvent("e", name, cookie);
}

void atrace_int64_body(const char* name, int64_t value) {
    ThreadState& t = self();
    materialize(t);
    std::string e = header("C", nowNs(), t);
    e += ",\"name\":";
    appendString(&e, name);
    e += ",\"args\":{\"value\":" + std::to_string(value) + "}}";
    emit(e);
}

void atrace_int_body(const char* name, int32_t value) {
    atrace_int64_body(name, value);
}

void atrace_host_set_file_suffix(const char* suffix) {
    sSuffix = suffix != nullptr ? suffix : "";
}

const char* atrace_host_file() {
    atrace_init();
    return sPath.c_str();
}

void atrace_host_close() {
    atrace_init();
    // The tags stay as they are (other threads read them without a lock):
    // with the file closed, events are dropped where they would be written.
    std::lock_guard<std::mutex> lock(sLock);
    if (sFd >= 0) close(sFd);
    sFd = -1;
    atrace_marker_fd = -1;
}
