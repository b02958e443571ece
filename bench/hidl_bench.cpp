/*
 * Cost of a call through the host HIDL transport against the raw Unix
 * socket round trip it is built on, measured in one run:
 *
 *   BM_RawSocketPingPong      request/reply the size of a trivial call's frames
 *   BM_HidlTrivialCall        setSubDisplayBrightness(1), synchronous
 *   BM_RawSocketPingPong64K   64 KiB request, small reply
 *   BM_HidlVec64K             drawSubDisplay(vec<uint32_t> of 16384 elements)
 *   BM_HidlOneway/N           N one-way setLpwgCallback(nullptr), then one sync call
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
#include <log/log.h>
#include <signal.h>
#include <string.h>

#include <string>

#include "hidl_bench_env.h"

using ::android::sp;
using ::android::hardware::hidl_vec;
using ::android::hardware::Return;
using ::vendor::zyr::hardware::twinel::V1_0::Status;
namespace V1_1 = ::vendor::zyr::hardware::twinel::V1_1;
using namespace twbench;

namespace {

constexpr size_t kPixels = kBulkBytes / sizeof(uint32_t);
constexpr int kOnewayBatch = 64;

struct Env {
    int echoFd = -1;
    sp<V1_1::ITwinel> service;
};
Env gEnv;

void BM_RawSocketPingPong(benchmark::State& state) {
    rawPingPong(state, gEnv.echoFd);
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
    int rc = runAll(format, "hidl_bench", [](const auto& reporter, FILE* out) {
        fprintf(out, "\nTransport against the raw socket round trip (real time per call):\n");
        reporter.compare(out, "BM_HidlTrivialCall", "BM_RawSocketPingPong", "trivial call", 1.5);
        reporter.compare(out, "BM_HidlVec64K", "BM_RawSocketPingPong64K", "64 KiB call", 1.3);
        double oneway = reporter.ns("BM_HidlOneway");
        if (oneway >= 0) {
            fprintf(out, "  %-26s %10.0f ns per call (batches of %d closed by a sync call)\n",
                    "one-way call", oneway / kOnewayBatch, kOnewayBatch);
        }
    });
    benchmark::Shutdown();

    gEnv.service.clear();
    close(gEnv.echoFd);
    return rc;
}
