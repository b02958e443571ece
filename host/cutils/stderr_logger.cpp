#include "twcutils/stderr_logger.h"

#include <errno.h>
#include <pthread.h>
#include <stdio.h>
#include <string.h>
#include <sys/uio.h>
#include <time.h>
#include <unistd.h>

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

}  // namespace

void stderrLogger(const struct __android_logger_data* data, const char* message) {
    if (data == nullptr) return;
    const char* stamp = localTimestamp();
    const char* tag = data->tag != nullptr ? data->tag : "nullptr";
    char prefix[512];
    int n;
    if (data->file != nullptr) {
        n = snprintf(prefix, sizeof(prefix), "%s %c %s %5d %5d %s:%u] ", tag,
                     priorityChar(data->priority), stamp, processId(), threadId(), data->file,
                     data->line);
    } else {
        n = snprintf(prefix, sizeof(prefix), "%s %c %s %5d %5d ", tag, priorityChar(data->priority),
                     stamp, processId(), threadId());
    }
    if (n < 0) return;
    size_t prefixLen =
            static_cast<size_t>(n) < sizeof(prefix) ? static_cast<size_t>(n) : sizeof(prefix) - 1;
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
