/*
 * What the transport benchmarks share (see hidl_bench_env.h).
 */
#define LOG_TAG "twinel_hidl_bench"

#include "hidl_bench_env.h"

#include <errno.h>
#include <fcntl.h>
#include <log/log.h>
#include <sched.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/wait.h>

#include <algorithm>

namespace V1_1 = ::vendor::zyr::hardware::twinel::V1_1;

namespace twbench {

namespace {

constexpr int kStartTimeoutMs = 10000;
constexpr int kWrappedStartTimeoutMs = 60000;

struct PingHeader {
    uint32_t requestLen;
    uint32_t replyLen;
};
constexpr size_t kMaxPing = kBulkBytes + 4096;

int echoLoop(int fd) {
    std::vector<char> buf(kMaxPing);
    for (;;) {
        PingHeader h;
        if (!readFully(fd, &h, sizeof(h))) return 0;  // the benchmark closed its end
        if (h.requestLen < sizeof(h) || h.requestLen > kMaxPing || h.replyLen > kMaxPing) {
            return 1;
        }
        if (!readFully(fd, buf.data(), h.requestLen - sizeof(h))) return 1;
        if (!writeFully(fd, buf.data(), h.replyLen)) return 1;
    }
}

}  // namespace

bool Process::exec(const std::vector<std::string>& argv, const std::vector<std::string>& env,
                   const std::string& logPath) {
    // Everything the child needs is prepared before fork.
    std::vector<char*> args;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    std::vector<std::string> envCopy = env;
    return fork([&]() {
        for (auto& e : envCopy) putenv(&e[0]);
        int fd = open(logPath.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
        if (fd >= 0) {
            dup2(fd, STDOUT_FILENO);
            dup2(fd, STDERR_FILENO);
        }
        execv(args[0], args.data());
        return 127;
    });
}

bool Process::running() {
    if (mPid <= 0) return false;
    int status;
    if (waitpid(mPid, &status, WNOHANG) == mPid) {
        mPid = -1;
        return false;
    }
    return true;
}

void Process::stop() {
    if (mPid <= 0) return;
    kill(mPid, SIGTERM);
    if (!twtest::waitFor([this] { return !running(); }, mGraceMs)) {
        kill(mPid, SIGKILL);
        while (waitpid(mPid, nullptr, 0) < 0 && errno == EINTR) {
        }
    }
    mPid = -1;
}

bool writeFully(int fd, const void* buf, size_t len) {
    const char* p = static_cast<const char*>(buf);
    while (len > 0) {
        ssize_t w = send(fd, p, len, MSG_NOSIGNAL);
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) return false;
        p += w;
        len -= static_cast<size_t>(w);
    }
    return true;
}

bool readFully(int fd, void* buf, size_t len) {
    char* p = static_cast<char*>(buf);
    while (len > 0) {
        ssize_t r = recv(fd, p, len, 0);
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) return false;
        p += r;
        len -= static_cast<size_t>(r);
    }
    return true;
}

int startEcho(Process* echo, int cpu) {
    int sv[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv) != 0) {
        ALOGE("socketpair: %s", strerror(errno));
        return -1;
    }
    if (!echo->fork([&] {
            close(sv[0]);
            if (cpu >= 0) {
                cpu_set_t set;
                CPU_ZERO(&set);
                CPU_SET(cpu, &set);
                if (sched_setaffinity(0, sizeof(set), &set) != 0) {
                    ALOGE("sched_setaffinity(%d): %s", cpu, strerror(errno));
                    return 1;
                }
            }
            return echoLoop(sv[1]);
        })) {
        ALOGE("fork: %s", strerror(errno));
        close(sv[0]);
        close(sv[1]);
        return -1;
    }
    close(sv[1]);
    return sv[0];
}

bool checkStatus(benchmark::State& state,
                 const android::hardware::Return<vendor::zyr::hardware::twinel::V1_0::Status>& r,
                 const char* what) {
    using vendor::zyr::hardware::twinel::V1_0::Status;
    if (r.isOk() && static_cast<Status>(r) == Status::SUCCESS) return true;
    std::string error = std::string(what) + ": " + (r.isOk() ? "FAILURE" : r.description());
    state.SkipWithError(error.c_str());
    return false;
}

void hidlTrivialCalls(benchmark::State& state, V1_1::ITwinel* tw) {
    for (auto _ : state) {
        if (!checkStatus(state, tw->setSubDisplayBrightness(1), "setSubDisplayBrightness")) break;
    }
}

android::hardware::hidl_vec<uint32_t> bulkPixels() {
    constexpr size_t kPixels = kBulkBytes / sizeof(uint32_t);
    android::hardware::hidl_vec<uint32_t> pixels;
    pixels.resize(kPixels);
    for (size_t i = 0; i < kPixels; i++) pixels[i] = static_cast<uint32_t>(i * 2654435761u);
    return pixels;
}

void hidlBulkCalls(benchmark::State& state, V1_1::ITwinel* tw) {
    const android::hardware::hidl_vec<uint32_t> pixels = bulkPixels();
    for (auto _ : state) {
        if (!checkStatus(state, tw->drawSubDisplay(pixels), "drawSubDisplay")) break;
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                            static_cast<int64_t>(kBulkBytes));
}

RawPing::RawPing(int echoFd, size_t requestLen, size_t replyLen)
    : mFd(echoFd), mRequest(std::max(requestLen, sizeof(PingHeader)), 'r'), mReply(replyLen) {
    PingHeader h = {static_cast<uint32_t>(mRequest.size()), static_cast<uint32_t>(replyLen)};
    memcpy(mRequest.data(), &h, sizeof(h));
}

bool RawPing::once() {
    return writeFully(mFd, mRequest.data(), mRequest.size()) &&
           readFully(mFd, mReply.data(), mReply.size());
}

void rawPingPong(benchmark::State& state, int echoFd) {
    const size_t requestLen = static_cast<size_t>(state.range(0));
    RawPing ping(echoFd, requestLen, static_cast<size_t>(state.range(1)));
    for (auto _ : state) {
        if (!ping.once()) {
            state.SkipWithError("echo child is gone");
            break;
        }
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                            static_cast<int64_t>(requestLen));
}

android::sp<V1_1::ITwinel> startServices(const twtest::TempDir& root, Process* manager,
                                         Process* server) {
    const std::string bin = twtest::binDir();
    const std::vector<std::string> env = {"TWINEL_DEVICE_ROOT=" + root.path()};
    const std::string log = root.path() + "/services.log";
    if (setenv("TWINEL_DEVICE_ROOT", root.path().c_str(), 1) != 0) {
        ALOGE("setenv: %s", strerror(errno));
        return nullptr;
    }
    const std::string managerSocket = root.path() + "/dev/socket/hwbinder/hwservicemanager";
    if (!manager->exec({bin + "/hwservicemanager"}, env, log)) return nullptr;
    if (!twtest::waitFor(
                [&] { return !manager->running() || access(managerSocket.c_str(), F_OK) == 0; },
                kStartTimeoutMs) ||
        !manager->running()) {
        fprintf(stderr, "hwservicemanager did not come up; its output:\n%s\n",
                twtest::readFile(log).c_str());
        return nullptr;
    }
    std::vector<std::string> serverArgv;
    int serverTimeoutMs = kStartTimeoutMs;
    const char* wrapper = getenv("TWINEL_BENCH_SERVER_WRAPPER");
    if (wrapper != nullptr && wrapper[0] != '\0') {
        std::string word;
        for (const char* c = wrapper;; c++) {
            if (*c == ' ' || *c == '\0') {
                if (!word.empty()) serverArgv.push_back(word);
                word.clear();
                if (*c == '\0') break;
            } else {
                word += *c;
            }
        }
        // execv wants a path: resolve the wrapper's program through PATH here.
        if (!serverArgv.empty() && serverArgv[0].find('/') == std::string::npos) {
            serverArgv.insert(serverArgv.begin(), "/usr/bin/env");
        }
        serverTimeoutMs = kWrappedStartTimeoutMs;
        server->setGraceMs(kWrappedStartTimeoutMs);
    }
    serverArgv.push_back(bin + "/bench_server");
    if (!server->exec(serverArgv, env, log)) return nullptr;
    bool exited = false;
    android::sp<V1_1::ITwinel> service;
    bool registered = twtest::waitFor(
            [&] {
                if (!server->running()) {
                    exited = true;
                    return true;
                }
                service = V1_1::ITwinel::getService("bench");
                return service != nullptr;
            },
            serverTimeoutMs);
    if (!registered || exited) {
        fprintf(stderr, "bench_server did not register; service output:\n%s\n",
                twtest::readFile(log).c_str());
        return nullptr;
    }
    return service;
}

std::string formatFlag(int argc, char** argv) {
    const std::string prefix = "--benchmark_format=";
    std::string format = "console";  // "json" is the other one honoured
    for (int i = 1; i < argc; i++) {
        std::string a = argv[i];
        if (a.compare(0, prefix.size(), prefix) == 0) format = a.substr(prefix.size());
    }
    return format;
}

}  // namespace twbench
