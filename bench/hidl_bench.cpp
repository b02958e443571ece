/*
 * Cost of a call through the host HIDL transport against the raw Unix
 * socket round trip it is built on, measured in one run:
 *
 *   BM_RawSocketPingPong      request/reply the size of a trivial call's frames
 *   BM_HidlTrivialCall        setSubDisplayBrightness(1), synchronous
 *   BM_RawSocketPingPong64K   64 KiB request, small reply
 *   BM_HidlVec64K             drawSubDisplay(vec<uint32_t> of 16384 elements)
 *   BM_HidlOneway/N           N one-way setLpwgCallback(nullptr), then one sync call
 *   BM_HidlTrivialCallRoguesN the trivial call while N raw peers (0, 1, 4) each
 *                             sit on half a frame sent to the server
 *
 * At start the program makes a temporary device root, starts hwservicemanager
 * and bench_server (from its own directory) under it and forks an echo child
 * for the raw round trips; all of them are killed at exit. After the run it
 * prints how the transport compares with the raw socket. The ratios are
 * information, not a verdict: the exit status only reflects whether every
 * benchmark ran without error.
 *
 * TWINEL_BENCH_SERVER_WRAPPER, when set, is a command (words separated by
 * spaces) the server is started under, e.g.
 *   TWINEL_BENCH_SERVER_WRAPPER="valgrind --tool=callgrind --callgrind-out-file=/tmp/cg.server"
 */
#define LOG_TAG "twinel_hidl_bench"

#include <benchmark/benchmark.h>
#include <errno.h>
#include <fcntl.h>
#include <hidl/HidlBinderSupport.h>
#include <hidl/HidlTransportSupport.h>
#include <hwbinder/BpHwBinder.h>
#include <log/log.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vendor/zyr/hardware/twinel/1.1/ITwinel.h>

#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "test_util.h"

using ::android::sp;
using ::android::hardware::hidl_vec;
using ::android::hardware::Return;
using ::vendor::zyr::hardware::twinel::V1_0::Status;
namespace V1_1 = ::vendor::zyr::hardware::twinel::V1_1;

namespace {

// Bytes on the wire for setSubDisplayBrightness(1): a 40-byte frame header,
// the 16-byte message header, the interface token (length word and the
// 40-byte NUL-terminated descriptor) and the 8-byte padded argument; its
// reply carries the status and the result.
constexpr size_t kTrivialRequestBytes = 40 + 16 + 8 + 40 + 8;
constexpr size_t kTrivialReplyBytes = 40 + 16 + 8 + 8;
constexpr size_t kBulkBytes = 64 * 1024;
constexpr size_t kPixels = kBulkBytes / sizeof(uint32_t);
constexpr int kOnewayBatch = 64;
constexpr int kStartTimeoutMs = 10000;
constexpr int kWrappedStartTimeoutMs = 60000;

// ---------------------------------------------------------------------------
// Processes

// A child process killed (SIGKILL) and reaped when this object goes; the
// kernel kills it too should this program die first.
class Process {
  public:
    Process() = default;
    ~Process() { stop(); }
    Process(const Process&) = delete;
    Process& operator=(const Process&) = delete;

    // Runs body() in a forked child; body's return value is its exit status.
    template <typename Body>
    bool fork(Body body) {
        pid_t parent = getpid();
        pid_t pid = ::fork();
        if (pid < 0) {
            ALOGE("fork: %s", strerror(errno));
            return false;
        }
        if (pid == 0) {
            prctl(PR_SET_PDEATHSIG, SIGKILL);
            if (getppid() != parent) _exit(1);
            _exit(body());
        }
        mPid = pid;
        return true;
    }

    // Starts a program with extra environment, its output appended to logPath.
    bool exec(const std::vector<std::string>& argv, const std::vector<std::string>& env,
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

    bool running() {
        if (mPid <= 0) return false;
        int status;
        if (waitpid(mPid, &status, WNOHANG) == mPid) {
            mPid = -1;
            return false;
        }
        return true;
    }

    // SIGTERM first (a profiler around the program writes its data then),
    // SIGKILL after graceMs.
    void stop() {
        if (mPid <= 0) return;
        kill(mPid, SIGTERM);
        if (!twtest::waitFor([this] { return !running(); }, mGraceMs)) {
            kill(mPid, SIGKILL);
            while (waitpid(mPid, nullptr, 0) < 0 && errno == EINTR) {
            }
        }
        mPid = -1;
    }

    void setGraceMs(int ms) { mGraceMs = ms; }

  private:
    pid_t mPid = -1;
    int mGraceMs = 1000;
};

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

// Raw round trips: each request starts with {uint32 total length, uint32
// reply length}; the echo child reads the prefix, then the rest of the
// request, and answers with a reply of the asked length.
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

// ---------------------------------------------------------------------------
// Environment shared by the benchmarks

struct Env {
    int echoFd = -1;
    sp<V1_1::ITwinel> service;
};
Env gEnv;

void BM_RawSocketPingPong(benchmark::State& state) {
    const size_t requestLen = static_cast<size_t>(state.range(0));
    const size_t replyLen = static_cast<size_t>(state.range(1));
    std::vector<char> request(requestLen, 'r');
    std::vector<char> reply(replyLen);
    PingHeader h = {static_cast<uint32_t>(requestLen), static_cast<uint32_t>(replyLen)};
    memcpy(request.data(), &h, sizeof(h));
    for (auto _ : state) {
        if (!writeFully(gEnv.echoFd, request.data(), requestLen) ||
            !readFully(gEnv.echoFd, reply.data(), replyLen)) {
            state.SkipWithError("echo child is gone");
            break;
        }
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                            static_cast<int64_t>(requestLen));
}

bool checkStatus(benchmark::State& state, const Return<Status>& r, const char* what) {
    if (r.isOk() && static_cast<Status>(r) == Status::SUCCESS) return true;
    std::string error = std::string(what) + ": " + (r.isOk() ? "FAILURE" : r.description());
    state.SkipWithError(error.c_str());
    return false;
}

void BM_HidlTrivialCall(benchmark::State& state) {
    for (auto _ : state) {
        if (!checkStatus(state, gEnv.service->setSubDisplayBrightness(1),
                         "setSubDisplayBrightness")) {
            break;
        }
    }
}

void BM_HidlVec64K(benchmark::State& state) {
    hidl_vec<uint32_t> pixels;
    pixels.resize(kPixels);
    for (size_t i = 0; i < kPixels; i++) pixels[i] = static_cast<uint32_t>(i * 2654435761u);
    for (auto _ : state) {
        if (!checkStatus(state, gEnv.service->drawSubDisplay(pixels), "drawSubDisplay")) break;
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                            static_cast<int64_t>(kBulkBytes));
}

// One iteration is a batch of one-way calls closed by a synchronous call on
// the same connection: its reply means the server has run the whole batch.
void BM_HidlOneway(benchmark::State& state) {
    const int64_t batch = state.range(0);
    for (auto _ : state) {
        bool ok = true;
        for (int64_t i = 0; i < batch && ok; i++) {
            Return<void> r = gEnv.service->setLpwgCallback(nullptr);
            if (!r.isOk()) {
                state.SkipWithError(("setLpwgCallback: " + r.description()).c_str());
                ok = false;
            }
        }
        if (!ok || !checkStatus(state, gEnv.service->setSubDisplayBrightness(1),
                                "setSubDisplayBrightness after the batch")) {
            break;
        }
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * batch);
}

void printRogueComparison(FILE* out, const std::map<std::string, double>& means);

// ---------------------------------------------------------------------------
// Reporting

// Forwards to the normal display and keeps each benchmark's real time per
// iteration (the mean when repeated) for the comparison at the end.
template <typename Base>
class RecordingReporter : public Base {
  public:
    using Base::Base;

    void ReportRuns(const std::vector<benchmark::BenchmarkReporter::Run>& runs) override {
        for (const auto& run : runs) {
            if (run.error_occurred) {
                mErrors++;
                continue;
            }
            const bool isMean = run.run_type == benchmark::BenchmarkReporter::Run::RT_Aggregate &&
                                run.aggregate_name == "mean";
            if (run.run_type != benchmark::BenchmarkReporter::Run::RT_Iteration && !isMean) {
                continue;
            }
            std::string name = run.run_name.function_name;
            double ns = run.GetAdjustedRealTime() /
                        benchmark::GetTimeUnitMultiplier(run.time_unit) * 1e9;
            // A mean overrides single repetitions; otherwise the last run stands.
            if (isMean || mMeans.count(name) == 0 || !mHasMean[name]) {
                mMeans[name] = ns;
                mHasMean[name] = isMean;
            }
        }
        Base::ReportRuns(runs);
    }

    int errors() const { return mErrors; }

    void printComparison(FILE* out) const {
        fprintf(out, "\nTransport against the raw socket round trip (real time per call):\n");
        compare(out, "BM_HidlTrivialCall", "BM_RawSocketPingPong", "trivial call", 1.5);
        compare(out, "BM_HidlVec64K", "BM_RawSocketPingPong64K", "64 KiB call ", 1.3);
        auto oneway = mMeans.find("BM_HidlOneway");
        if (oneway != mMeans.end()) {
            fprintf(out,
                    "  one-way call   %9.0f ns per call (batches of %d closed by a sync call)\n",
                    oneway->second / kOnewayBatch, kOnewayBatch);
        }
        printRogueComparison(out, mMeans);
        fflush(out);
    }

  private:
    void compare(FILE* out, const char* hidl, const char* raw, const char* label,
                 double target) const {
        auto h = mMeans.find(hidl);
        auto r = mMeans.find(raw);
        if (h == mMeans.end() || r == mMeans.end() || r->second <= 0) {
            fprintf(out, "  %s: not measured in this run\n", label);
            return;
        }
        fprintf(out, "  %s %9.0f ns vs raw %9.0f ns  = %.2fx  (target <= %.1fx)\n", label,
                h->second, r->second, h->second / r->second, target);
    }

    std::map<std::string, double> mMeans;
    std::map<std::string, bool> mHasMean;
    int mErrors = 0;
};

using ConsoleRecorder = RecordingReporter<benchmark::ConsoleReporter>;
using JsonRecorder = RecordingReporter<benchmark::JSONReporter>;

// ---------------------------------------------------------------------------
// Start-up

bool startServices(const twtest::TempDir& root, Process* manager, Process* server) {
    const std::string bin = twtest::binDir();
    const std::vector<std::string> env = {"TWINEL_DEVICE_ROOT=" + root.path()};
    const std::string log = root.path() + "/services.log";
    if (setenv("TWINEL_DEVICE_ROOT", root.path().c_str(), 1) != 0) {
        ALOGE("setenv: %s", strerror(errno));
        return false;
    }
    const std::string managerSocket = root.path() + "/dev/socket/hwbinder/hwservicemanager";
    if (!manager->exec({bin + "/hwservicemanager"}, env, log)) return false;
    if (!twtest::waitFor(
                [&] { return !manager->running() || access(managerSocket.c_str(), F_OK) == 0; },
                kStartTimeoutMs) ||
        !manager->running()) {
        fprintf(stderr, "hidl_bench: hwservicemanager did not come up; its output:\n%s\n",
                twtest::readFile(log).c_str());
        return false;
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
    if (!server->exec(serverArgv, env, log)) return false;
    bool exited = false;
    bool registered = twtest::waitFor(
            [&] {
                if (!server->running()) {
                    exited = true;
                    return true;
                }
                gEnv.service = V1_1::ITwinel::getService("bench");
                return gEnv.service != nullptr;
            },
            serverTimeoutMs);
    if (!registered || exited) {
        fprintf(stderr, "hidl_bench: bench_server did not register; service output:\n%s\n",
                twtest::readFile(log).c_str());
        return false;
    }
    return true;
}

bool startEcho(Process* echo) {
    int sv[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv) != 0) {
        ALOGE("socketpair: %s", strerror(errno));
        return false;
    }
    if (!echo->fork([&] {
            close(sv[0]);
            return echoLoop(sv[1]);
        })) {
        close(sv[0]);
        close(sv[1]);
        return false;
    }
    close(sv[1]);
    gEnv.echoFd = sv[0];
    return true;
}

void registerBenchmarks() {
    benchmark::RegisterBenchmark("BM_RawSocketPingPong", BM_RawSocketPingPong)
            ->Args({static_cast<int64_t>(kTrivialRequestBytes),
                    static_cast<int64_t>(kTrivialReplyBytes)})
            ->UseRealTime();
    benchmark::RegisterBenchmark("BM_HidlTrivialCall", BM_HidlTrivialCall)->UseRealTime();
    benchmark::RegisterBenchmark("BM_RawSocketPingPong64K", BM_RawSocketPingPong)
            ->Args({static_cast<int64_t>(kBulkBytes), static_cast<int64_t>(kTrivialReplyBytes)})
            ->UseRealTime();
    benchmark::RegisterBenchmark("BM_HidlVec64K", BM_HidlVec64K)->UseRealTime();
    benchmark::RegisterBenchmark("BM_HidlOneway", BM_HidlOneway)->Arg(kOnewayBatch)->UseRealTime();
}

// ---------------------------------------------------------------------------
// Rogue peers: raw connections to the server, each introduced as a
// transaction connection and then silent halfway through a frame header.

std::string serverSocketPath() {
    sp<::android::hardware::IBinder> binder =
            ::android::hardware::getOrCreateCachedBinder(gEnv.service.get());
    const char* root = getenv("TWINEL_DEVICE_ROOT");
    if (binder == nullptr || binder->remoteBinder() == nullptr || root == nullptr) return "";
    return std::string(root) + "/dev/socket/hwbinder/" + binder->remoteBinder()->address();
}

int stallingPeer(const std::string& path, uint64_t token) {
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    sockaddr_un addr = {};
    addr.sun_family = AF_UNIX;
    if (path.size() >= sizeof(addr.sun_path)) {
        close(fd);
        return -1;
    }
    memcpy(addr.sun_path, path.c_str(), path.size() + 1);
    // {magic, type, code, flags, txnId, target, payloadLen, status}, as the
    // wire spells it: a hello of a transaction connection, then the first
    // 20 bytes of a transaction's header.
    struct {
        uint32_t magic, type, code, flags;
        uint64_t txnId, target;
        uint32_t payloadLen;
        int32_t status;
    } hello = {0x31425748, 1, 1, 0, token, 0, 0, 0}, txn = {0x31425748, 2, 1, 0, 1, 1, 64, 0};
    if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0 ||
        !writeFully(fd, &hello, sizeof(hello)) || !writeFully(fd, &txn, 20)) {
        close(fd);
        return -1;
    }
    return fd;
}

void BM_HidlTrivialCallRogues(benchmark::State& state, int rogues) {
    const std::string path = serverSocketPath();
    std::vector<int> fds;
    for (int i = 0; i < rogues; i++) {
        int fd = stallingPeer(path, 0x726f677565000000ull + static_cast<uint64_t>(i));
        if (fd < 0) {
            state.SkipWithError("cannot connect a rogue peer");
            break;
        }
        fds.push_back(fd);
    }
    for (auto _ : state) {
        if (static_cast<int>(fds.size()) != rogues ||
            !checkStatus(state, gEnv.service->setSubDisplayBrightness(1),
                         "setSubDisplayBrightness")) {
            break;
        }
    }
    for (int fd : fds) close(fd);
}

void registerRogueBenchmarks() {
    for (int rogues : {0, 1, 4}) {
        benchmark::RegisterBenchmark(
                ("BM_HidlTrivialCallRogues" + std::to_string(rogues)).c_str(),
                [rogues](benchmark::State& state) { BM_HidlTrivialCallRogues(state, rogues); })
                ->UseRealTime();
    }
}

void printRogueComparison(FILE* out, const std::map<std::string, double>& means) {
    auto none = means.find("BM_HidlTrivialCallRogues0");
    if (none == means.end() || none->second <= 0) return;
    for (const char* n : {"1", "4"}) {
        auto with = means.find(std::string("BM_HidlTrivialCallRogues") + n);
        if (with == means.end()) continue;
        fprintf(out, "  trivial call with %s stalling peer(s) %9.0f ns vs none %9.0f ns  = %.2fx\n",
                n, with->second, none->second, with->second / none->second);
    }
}

std::string formatFlag(int argc, char** argv) {
    const std::string prefix = "--benchmark_format=";
    std::string format = "console";  // "json" is the other one we honour
    for (int i = 1; i < argc; i++) {
        std::string a = argv[i];
        if (a.compare(0, prefix.size(), prefix) == 0) format = a.substr(prefix.size());
    }
    return format;
}

// The comparison goes to stderr when stdout carries JSON.
template <typename Reporter>
int runAll(Reporter* reporter, FILE* summary) {
    size_t ran = benchmark::RunSpecifiedBenchmarks(reporter);
    reporter->printComparison(summary);
    if (ran == 0) {
        fprintf(stderr, "hidl_bench: no benchmark matched the filter\n");
        return 1;
    }
    if (reporter->errors() > 0) {
        fprintf(stderr, "hidl_bench: %d benchmark(s) failed\n", reporter->errors());
        return 1;
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    signal(SIGPIPE, SIG_IGN);
    const std::string format = formatFlag(argc, argv);
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 2;

    twtest::TempDir root("twbench");
    if (root.path().empty()) {
        ALOGE("cannot make a temporary device root: %s", strerror(errno));
        fprintf(stderr, "hidl_bench: cannot make a temporary device root\n");
        return 1;
    }
    // Declared after root: destroyed (killed) before it is removed.
    Process echo;
    Process manager;
    Process server;
    if (!startEcho(&echo) || !startServices(root, &manager, &server)) return 1;

    registerBenchmarks();
    registerRogueBenchmarks();
    int rc;
    const benchmark::ConsoleReporter::OutputOptions options =
            isatty(STDOUT_FILENO) ? benchmark::ConsoleReporter::OO_ColorTabular
                                  : benchmark::ConsoleReporter::OO_Tabular;
    if (format == "json") {
        JsonRecorder reporter;
        rc = runAll(&reporter, stderr);
    } else {
        ConsoleRecorder reporter(options);
        rc = runAll(&reporter, stdout);
    }
    benchmark::Shutdown();

    gEnv.service.clear();
    close(gEnv.echoFd);
    return rc;
}
