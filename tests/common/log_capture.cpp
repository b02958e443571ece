#include "log_capture.h"

#include <android/log.h>
#include <stdio.h>

#include <chrono>
#include <condition_variable>
#include <mutex>

namespace twtest {

namespace {
// Never destroyed: the runtime's threads live until the process ends and
// may log while static destructors run at exit.
std::mutex gLock;
std::condition_variable& gCond = *new std::condition_variable();
std::vector<LogLine>* gLines = new std::vector<LogLine>();
bool gQuiet = getenv("TWTEST_QUIET_LOG") != nullptr;

void logger(const struct __android_logger_data* data, const char* msg) {
    {
        std::lock_guard<std::mutex> lock(gLock);
        gLines->push_back({data->priority, data->tag ? data->tag : "", msg ? msg : ""});
    }
    gCond.notify_all();
    if (!gQuiet) __android_log_stderr_logger(data, msg);
}
}  // namespace

void LogCapture::install() {
    static std::once_flag once;
    std::call_once(once, [] {
        __android_log_set_logger(logger);
        __android_log_set_minimum_priority(ANDROID_LOG_VERBOSE);
    });
    clear();
}

void LogCapture::clear() {
    std::lock_guard<std::mutex> lock(gLock);
    gLines->clear();
}

std::vector<LogLine> LogCapture::lines() {
    std::lock_guard<std::mutex> lock(gLock);
    return *gLines;
}

int LogCapture::count(const std::string& text, int priority) {
    std::lock_guard<std::mutex> lock(gLock);
    int n = 0;
    for (const auto& l : *gLines) {
        if ((priority == 0 || l.priority == priority) &&
            l.message.find(text) != std::string::npos) {
            n++;
        }
    }
    return n;
}

bool LogCapture::waitFor(const std::string& text, int timeoutMs, int priority) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    std::unique_lock<std::mutex> lock(gLock);
    for (;;) {
        for (const auto& l : *gLines) {
            if ((priority == 0 || l.priority == priority) &&
                l.message.find(text) != std::string::npos) {
                return true;
            }
        }
        if (gCond.wait_until(lock, deadline) == std::cv_status::timeout) return false;
    }
}

int LogCapture::indexOf(const std::string& text, size_t from) {
    std::lock_guard<std::mutex> lock(gLock);
    for (size_t i = from; i < gLines->size(); i++) {
        if ((*gLines)[i].message.find(text) != std::string::npos) return static_cast<int>(i);
    }
    return -1;
}

}  // namespace twtest
