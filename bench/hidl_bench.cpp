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
 *   BM_PairedWithRaw/0 and /1 each iteration one raw round trip and then the
 *                             trivial (0) or the 64 KiB (1) call, timed apart
 *
 * The separate benchmarks run one after the other, and on a virtual machine
 * the cost of a wake-up can change between them (where the scheduler put
 * the processes, how busy the host is). The paired ones meet the same
 * conditions within each iteration; the summary gives the ratio of their
 * medians over every iteration run, beside the ratio of the separate ones.
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
 * With --benchmark_repetitions the comparison uses the medians.
 */
#define LOG_TAG "twinel_hidl_bench"

#include <errno.h>
#include <hidl/HidlBinderSupport.h>
#include <hwbinder/BpHwBinder.h>
#include <log/log.h>
#include <signal.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "hidl_bench_env.h"

using ::android::sp;
using ::android::hardware::Return;
using ::vendor::zyr::hardware::twinel::V1_0::Status;
namespace V1_1 = ::vendor::zyr::hardware::twinel::V1_1;
using namespace twbench;

namespace {

constexpr int kOnewayBatch = 64;

struct Env {
    int echoFd = -1;
    sp<V1_1::ITwinel> service;
};
Env gEnv;

void BM_RawSocketPingPong(benchmark::State& state) {
    rawPingPong(state, gEnv.echoFd);
}

void BM_HidlTrivialCall(benchmark::State& state) {
    hidlTrivialCalls(state, gEnv.service.get());
}

void BM_HidlVec64K(benchmark::State& state) {
    hidlBulkCalls(state, gEnv.service.get());
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

// Every iteration of a paired benchmark, over all its runs.
struct PairedSamples {
    std::vector<int64_t> raw;
    std::vector<int64_t> hidl;
};
PairedSamples gPaired[2];

double medianNs(std::vector<int64_t> ns) {
    if (ns.empty()) return -1;
    std::nth_element(ns.begin(), ns.begin() + ns.size() / 2, ns.end());
    return static_cast<double>(ns[ns.size() / 2]);
}

void BM_PairedWithRaw(benchmark::State& state) {
    const bool bulk = state.range(0) != 0;
    RawPing raw(gEnv.echoFd, bulk ? kBulkBytes : kTrivialRequestBytes, kTrivialReplyBytes);
    const ::android::hardware::hidl_vec<uint32_t> pixels =
            bulk ? bulkPixels() : ::android::hardware::hidl_vec<uint32_t>();
    PairedSamples& samples = gPaired[bulk ? 1 : 0];
    for (auto _ : state) {
        const int64_t start = twtest::nowNs();
        if (!raw.once()) {
            state.SkipWithError("echo child is gone");
            break;
        }
        const int64_t between = twtest::nowNs();
        Return<Status> r = bulk ? gEnv.service->drawSubDisplay(pixels)
                                : gEnv.service->setSubDisplayBrightness(1);
        const int64_t end = twtest::nowNs();
        if (!checkStatus(state, r, bulk ? "drawSubDisplay" : "setSubDisplayBrightness")) break;
        samples.raw.push_back(between - start);
        samples.hidl.push_back(end - between);
        state.SetIterationTime(static_cast<double>(end - between) / 1e9);
    }
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
    benchmark::RegisterBenchmark("BM_PairedWithRaw", BM_PairedWithRaw)
            ->Arg(0)
            ->Arg(1)
            ->UseManualTime();
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
    gEnv.echoFd = startEcho(&echo);
    if (gEnv.echoFd < 0) return 1;
    gEnv.service = startServices(root, &manager, &server);
    if (gEnv.service == nullptr) return 1;

    registerBenchmarks();
    registerRogueBenchmarks();
    int rc = runAll(format, "hidl_bench", [](const auto& reporter, FILE* out) {
        fprintf(out, "\nTransport against the raw socket round trip (real time per call):\n");
        reporter.compare(out, "BM_HidlTrivialCall", "BM_RawSocketPingPong", "trivial call", 1.5);
        reporter.compare(out, "BM_HidlVec64K", "BM_RawSocketPingPong64K", "64 KiB call", 1.3);
        double oneway = reporter.ns("BM_HidlOneway");
        if (oneway >= 0) {
            fprintf(out, "  %-26s %10.0f ns per call (batches of %d closed by a sync call)\n",
                    "one-way call", oneway / kOnewayBatch, kOnewayBatch);
        }
        const struct {
            const char* label;
            double target;
        } kPairs[] = {{"trivial call, paired", 1.5}, {"64 KiB call, paired", 1.3}};
        for (int i = 0; i < 2; i++) {
            const double hidl = medianNs(gPaired[i].hidl);
            const double raw = medianNs(gPaired[i].raw);
            if (hidl < 0 || raw <= 0) continue;
            fprintf(out, "  %-26s %10.0f ns vs raw %9.0f ns = %5.2fx  (target <= %.1fx)\n",
                    kPairs[i].label, hidl, raw, hidl / raw, kPairs[i].target);
        }
        for (const char* n : {"1", "4"}) {
            const std::string label = std::string("with ") + n + " stalling peer(s)";
            reporter.compare(out, (std::string("BM_HidlTrivialCallRogues") + n).c_str(),
                             "BM_HidlTrivialCallRogues0", label.c_str());
        }
    });
    benchmark::Shutdown();

    gEnv.service.clear();
    close(gEnv.echoFd);
    return rc;
}
