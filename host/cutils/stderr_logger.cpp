#include "twcutils/stderr_logger.h"

#include <errno.h>
#include <pthread.h>
#include <stdio.h>
#include <string.h>
#include <sys/uio.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>

namespace twcutils {

namespace {

std::atomic<pid_t> gPid{0};
thread_local pid_t tTid = 0;

// The ids are cached; a child of fork() has new ones. The thread that
// forked is the child's only thread, so its cached id is the one to forget.
void forgetIds() {
    gPid.store(0, std::memory_order_relaxed);
    tTid = 0;
}

pid_t processId() {
    pid_t pid = gPid.load(std::memory_order_relaxed);
    if (pid == 0) {
        pid = getpid();
        gPid.store(pid, std::memory_order_relaxed);
    }
    return pid;
}

pid_t threadId() {
    if (tTid == 0) tTid = gettid();
    return tTid;
}

char priorityChar(int priority) {
    static const char kChars[] = "XXVDIWEF";
    if (priority < 0 || priority >= static_cast<int>(sizeof(kChars) - 1)) return '?';
    return kChars[priority];
}

// The line's local time, "MM-DD hh:mm:ss". Kept per thread for the second
// it stands for: a thread that logs several lines in a row (the uevent
// worker prints three per event) converts the time once, not per line.
const char* localTimestamp() {
    thread_local time_t tSecond = -1;
    thread_local char tText[32] = "";
    time_t t = time(nullptr);
    if (t != tSecond) {
        struct tm now;
        if (localtime_r(&t, &now) == nullptr ||
            strftime(tText, sizeof(tText), "%m-%d %H:%M:%S", &now) == 0) {
            tText[0] = '\0';
        }
        tSecond = t;
    }
    return tText;
}

// " pid   tid " as every line of this thread spells them, made once per
// thread (a child of fork() has a new thread id, and makes its own).
const char* idsText(size_t* len) {
    thread_local char tText[32];
    thread_local size_t tLen = 0;
    thread_local pid_t tFor = 0;
    const pid_t tid = threadId();
    if (tid != tFor) {
        int n = snprintf(tText, sizeof(tText), " %5d %5d ", processId(), tid);
        tLen = n > 0 ? std::min(static_cast<size_t>(n), sizeof(tText) - 1) : 0;
        tFor = tid;
    }
    *len = tLen;
    return tText;
}

}  // namespace

// The prefix is put together from parts kept per thread (the time of day
// of the current second, the ids): the uevent worker prints three lines per
// event, and formatting each prefix anew cost more than writing the line.
void stderrLogger(const struct __android_logger_data* data, const char* message) {
    if (data == nullptr) return;
    const char* tag = data->tag != nullptr ? data->tag : "nullptr";
    char prefix[512];
    size_t prefixLen = 0;
    auto put = [&](const char* part, size_t len) {
        len = std::min(len, sizeof(prefix) - 1 - prefixLen);
        memcpy(prefix + prefixLen, part, len);
        prefixLen += len;
    };
    put(tag, strlen(tag));
    const char priority[3] = {' ', priorityChar(data->priority), ' '};
    put(priority, sizeof(priority));
    const char* stamp = localTimestamp();
    put(stamp, strlen(stamp));
    size_t idsLen;
    const char* ids = idsText(&idsLen);
    put(ids, idsLen);
    if (data->file != nullptr) {
        char where[sizeof(prefix)];
        int n = snprintf(where, sizeof(where), "%s:%u] ", data->file, data->line);
        if (n > 0) put(where, std::min(static_cast<size_t>(n), sizeof(where) - 1));
    }
    const char* text = message != nullptr ? message : "";
    struct iovec iov[3] = {
            {prefix, prefixLen},
            {const_cast<char*>(text), strlen(text)},
            {const_cast<char*>("\n"), 1},
    };
    // One write per line keeps lines of concurrent threads whole; a short
    // write (a full pipe, a signal) is finished rather than lost.
    struct iovec* cur = iov;
    int count = 3;
    while (count > 0) {
        ssize_t w = writev(STDERR_FILENO, cur, count);
        if (w < 0) {
            if (errno == EINTR) continue;
            return;
        }
        size_t done = static_cast<size_t>(w);
        while (count > 0 && done >= cur->iov_len) {
            done -= cur->iov_len;
            cur++;
            count--;
        }
        if (count > 0) {
            cur->iov_base = static_cast<char*>(cur->iov_base) + done;
            cur->iov_len -= done;
        }
    }
}

void useStderrLogger() {
    static pthread_once_t once = PTHREAD_ONCE_INIT;
    pthread_once(&once, [] { pthread_atfork(nullptr, nullptr, forgetIds); });
    __android_log_set_logger(stderrLogger);
}

}  // namespace twcutils
