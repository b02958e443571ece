/*
 * Where the host HIDL runtime stands: its calls, its one-way calls to an
 * idle and to a busy receiver, and the IPC a user might pick instead, each
 * against the raw Unix-socket round trip measured in the same run:
 *
 *   BM_RawSocketPingPong        request/reply the size of a trivial call's frames
 *   BM_RawSocketPingPong64K     64 KiB request, small reply
 *   BM_RawSocketPingPongAcrossCpus  the trivial raw round trip with this thread on
 *                               the first CPU and the echo child on the second: what
 *                               waking a thread on another CPU costs on this machine
 *   BM_HidlTrivialCall          setSubDisplayBrightness(1)
 *   BM_HidlVec64K               drawSubDisplay(vec<uint32_t> of 16384 elements)
 *   BM_HidlOnewayIdle/N         N one-way calls closed by a sync call: delivered throughput
 *   BM_HidlOnewayBusy/N         N one-way calls sent while the receiver's only binder
 *                               thread sleeps in a slow call (time to send them)
 *   BM_GrpcTrivial, BM_Grpc64K  unary gRPC call over a Unix socket (int; int + 64 KiB bytes)
 *   BM_SdbusTrivial, BM_Sdbus64K D-Bus method call on a direct sd-bus connection
 *                               (i -> i; ay of 64 KiB -> i)
 *
 * The gRPC and D-Bus rows are there when the program was built with their
 * development files. With --benchmark_repetitions the summary uses medians.
 */
#define LOG_TAG "twinel_ipc_bench"

#include <errno.h>
#include <log/log.h>
#include <sched.h>
#include <signal.h>
#include <string.h>
#include <sys/socket.h>

#include <chrono>
#include <string>
#include <thread>

#include "hidl_bench_env.h"
#include "ipc_peers.h"

using ::android::sp;
using ::android::hardware::Return;
using ::vendor::zyr::hardware::twinel::V1_0::Status;
namespace V1_1 = ::vendor::zyr::hardware::twinel::V1_1;
using namespace twbench;

namespace {

constexpr int kOnewayBatch = 64;
// How long bench_server's setBrightness(ms) keeps its only binder thread.
constexpr int kBusyMs = 5;
constexpr int kBusyIterations = 40;
constexpr int kPeerTimeoutMs = 10000;

// The two CPUs of the round trip across CPUs.
constexpr int kNearCpu = 0;
constexpr int kFarCpu = 1;

struct Env {
    int echoFd = -1;
    int farEchoFd = -1;  // the echo child on kFarCpu; -1 with fewer CPUs
    sp<V1_1::ITwinel> service;
    std::unique_ptr<PeerClient> grpc;
    std::unique_ptr<PeerClient> sdbus;
};
Env gEnv;

void BM_RawSocketPingPong(benchmark::State& state) {
    rawPingPong(state, gEnv.echoFd);
}

// The calling thread runs on kNearCpu for the benchmark's time only.
void BM_RawSocketPingPongAcrossCpus(benchmark::State& state) {
    cpu_set_t before;
    if (sched_getaffinity(0, sizeof(before), &before) != 0) {
        state.SkipWithError(strerror(errno));
        return;
    }
    cpu_set_t near;
    CPU_ZERO(&near);
    CPU_SET(kNearCpu, &near);
    if (sched_setaffinity(0, sizeof(near), &near) != 0) {
        state.SkipWithError(strerror(errno));
        return;
    }
    rawPingPong(state, gEnv.farEchoFd);
    if (sched_setaffinity(0, sizeof(before), &before) != 0) {
        ALOGE("sched_setaffinity: %s", strerror(errno));
    }
}

void BM_HidlTrivialCall(benchmark::State& state) {
    hidlTrivialCalls(state, gEnv.service.get());
}

void BM_HidlVec64K(benchmark::State& state) {
    hidlBulkCalls(state, gEnv.service.get());
}

bool sendOneways(benchmark::State& state, int64_t count) {
    for (int64_t i = 0; i < count; i++) {
        Return<void> r = gEnv.service->setLpwgCallback(nullptr);
        if (!r.isOk()) {
            state.SkipWithError(("setLpwgCallback: " + r.description()).c_str());
            return false;
        }
    }
    return true;
}

// One iteration is a batch of one-way calls closed by a synchronous call on
// the same connection: its reply means the server has run the whole batch.
void BM_HidlOnewayIdle(benchmark::State& state) {
    const int64_t batch = state.range(0);
    for (auto _ : state) {
        if (!sendOneways(state, batch) ||
            !checkStatus(state, gEnv.service->setSubDisplayBrightness(1),
                         "setSubDisplayBrightness after the batch")) {
            break;
        }
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * batch);
}

// One iteration: another thread puts the server's only binder thread to
// sleep in setBrightness(kBusyMs); the batch is sent meanwhile (the timed
// part: a one-way call must not wait for its receiver); then the slow call
// returns and a synchronous call confirms the batch was served.
void BM_HidlOnewayBusy(benchmark::State& state) {
    const int64_t batch = state.range(0);
    for (auto _ : state) {
        bool slowOk = false;
        std::thread slow([&] {
            Return<Status> r = gEnv.service->setBrightness(kBusyMs);
            slowOk = r.isOk() && static_cast<Status>(r) == Status::SUCCESS;
        });
        // Time for the slow call to reach the server's thread.
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
        auto start = std::chrono::steady_clock::now();
        bool sent = sendOneways(state, batch);
        auto end = std::chrono::steady_clock::now();
        slow.join();
        if (!sent) break;
        if (!slowOk) {
            state.SkipWithError("setBrightness (the slow call) failed");
            break;
        }
        if (!checkStatus(state, gEnv.service->setSubDisplayBrightness(1),
                         "setSubDisplayBrightness after the batch")) {
            break;
        }
        state.SetIterationTime(std::chrono::duration<double>(end - start).count());
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * batch);
}

void peerTrivial(benchmark::State& state, PeerClient* peer, const char* what) {
    for (auto _ : state) {
        if (!peer->trivial()) {
            state.SkipWithError((std::string(what) + " call failed").c_str());
            break;
        }
    }
}

void peerBulk(benchmark::State& state, PeerClient* peer, const char* what) {
    const std::string payload(kBulkBytes, 'p');
    for (auto _ : state) {
        if (!peer->bulk(payload)) {
            state.SkipWithError((std::string(what) + " call failed").c_str());
            break;
        }
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                            static_cast<int64_t>(kBulkBytes));
}

void registerBenchmarks() {
    benchmark::RegisterBenchmark("BM_RawSocketPingPong", BM_RawSocketPingPong)
            ->Args({static_cast<int64_t>(kTrivialRequestBytes),
                    static_cast<int64_t>(kTrivialReplyBytes)})
            ->UseRealTime();
    benchmark::RegisterBenchmark("BM_RawSocketPingPong64K", BM_RawSocketPingPong)
            ->Args({static_cast<int64_t>(kBulkBytes), static_cast<int64_t>(kTrivialReplyBytes)})
            ->UseRealTime();
    if (gEnv.farEchoFd >= 0) {
        benchmark::RegisterBenchmark("BM_RawSocketPingPongAcrossCpus",
                                     BM_RawSocketPingPongAcrossCpus)
                ->Args({static_cast<int64_t>(kTrivialRequestBytes),
                        static_cast<int64_t>(kTrivialReplyBytes)})
                ->UseRealTime();
    }
    benchmark::RegisterBenchmark("BM_HidlTrivialCall", BM_HidlTrivialCall)->UseRealTime();
    benchmark::RegisterBenchmark("BM_HidlVec64K", BM_HidlVec64K)->UseRealTime();
    benchmark::RegisterBenchmark("BM_HidlOnewayIdle", BM_HidlOnewayIdle)
            ->Arg(kOnewayBatch)
            ->UseRealTime();
    // Each iteration waits out the slow call: a fixed count keeps it short.
    benchmark::RegisterBenchmark("BM_HidlOnewayBusy", BM_HidlOnewayBusy)
            ->Arg(kOnewayBatch)
            ->Iterations(kBusyIterations)
            ->UseManualTime();
    if (gEnv.grpc != nullptr) {
        benchmark::RegisterBenchmark("BM_GrpcTrivial", peerTrivial, gEnv.grpc.get(), "gRPC")
                ->UseRealTime();
        benchmark::RegisterBenchmark("BM_Grpc64K", peerBulk, gEnv.grpc.get(), "gRPC")
                ->UseRealTime();
    }
    if (gEnv.sdbus != nullptr) {
        benchmark::RegisterBenchmark("BM_SdbusTrivial", peerTrivial, gEnv.sdbus.get(), "sd-bus")
                ->UseRealTime();
        benchmark::RegisterBenchmark("BM_Sdbus64K", peerBulk, gEnv.sdbus.get(), "sd-bus")
                ->UseRealTime();
    }
}

template <typename Reporter>
void printSummary(const Reporter& r, FILE* out) {
    fprintf(out, "\nAgainst the raw socket round trip of the same size (real time per call):\n");
    r.compare(out, "BM_HidlTrivialCall", "BM_RawSocketPingPong", "HIDL trivial call", 1.5);
    r.compare(out, "BM_HidlVec64K", "BM_RawSocketPingPong64K", "HIDL 64 KiB call", 1.3);
    r.compare(out, "BM_GrpcTrivial", "BM_RawSocketPingPong", "gRPC trivial call");
    r.compare(out, "BM_Grpc64K", "BM_RawSocketPingPong64K", "gRPC 64 KiB call");
    r.compare(out, "BM_SdbusTrivial", "BM_RawSocketPingPong", "D-Bus trivial call");
    r.compare(out, "BM_Sdbus64K", "BM_RawSocketPingPong64K", "D-Bus 64 KiB call");
    const double raw = r.ns("BM_RawSocketPingPong");
    const double across = r.ns("BM_RawSocketPingPongAcrossCpus");
    if (across > 0 && raw > 0) {
        // Each side wakes the other once per round trip.
        fprintf(out,
                "  %-26s %10.0f ns = %5.2fx the raw round trip (a wake-up on another CPU: "
                "about %.0f ns)\n",
                "raw, one side per CPU", across, across / raw, across / 2);
    }
    for (const char* name : {"BM_HidlOnewayIdle", "BM_HidlOnewayBusy"}) {
        double ns = r.ns(name);
        if (ns < 0 || raw <= 0) continue;
        const bool busy = strcmp(name, "BM_HidlOnewayBusy") == 0;
        fprintf(out, "  %-26s %10.0f ns per call = %5.2fx the trivial raw round trip\n",
                busy ? "one-way, receiver busy" : "one-way, receiver idle", ns / kOnewayBatch,
                ns / kOnewayBatch / raw);
    }
}

}  // namespace

int main(int argc, char** argv) {
    signal(SIGPIPE, SIG_IGN);
    const std::string format = formatFlag(argc, argv);
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 2;

    twtest::TempDir root("twipcbench");
    if (root.path().empty()) {
        ALOGE("cannot make a temporary device root: %s", strerror(errno));
        fprintf(stderr, "ipc_bench: cannot make a temporary device root\n");
        return 1;
    }
    // Declared after root: destroyed (killed) before it is removed. The
    // peers' servers are forked first, while this process has one thread.
    Process echo;
    Process farEcho;
    Process grpcServer;
    Process sdbusServer;
    Process manager;
    Process server;
    gEnv.echoFd = startEcho(&echo);
    if (gEnv.echoFd < 0) return 1;
    cpu_set_t cpus;
    if (sched_getaffinity(0, sizeof(cpus), &cpus) == 0 && CPU_ISSET(kNearCpu, &cpus) &&
        CPU_ISSET(kFarCpu, &cpus)) {
        gEnv.farEchoFd = startEcho(&farEcho, kFarCpu);
        if (gEnv.farEchoFd < 0) return 1;
    }
#ifdef TWINEL_BENCH_GRPC
    const std::string grpcPath = root.path() + "/grpc.sock";
    if (!grpcServer.fork([&] { return runGrpcServer(grpcPath); })) return 1;
#endif
#ifdef TWINEL_BENCH_SDBUS
    int sdbusPair[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sdbusPair) != 0) {
        ALOGE("socketpair: %s", strerror(errno));
        return 1;
    }
    if (!sdbusServer.fork([&] {
            close(sdbusPair[0]);
            return runSdbusServer(sdbusPair[1]);
        })) {
        return 1;
    }
    close(sdbusPair[1]);
#endif
    gEnv.service = startServices(root, &manager, &server);
    if (gEnv.service == nullptr) return 1;
#ifdef TWINEL_BENCH_GRPC
    gEnv.grpc = connectGrpc(grpcPath, kPeerTimeoutMs);
    if (gEnv.grpc == nullptr) {
        fprintf(stderr, "ipc_bench: the gRPC peer did not answer\n");
        return 1;
    }
#endif
#ifdef TWINEL_BENCH_SDBUS
    gEnv.sdbus = connectSdbus(sdbusPair[0]);
    if (gEnv.sdbus == nullptr) {
        fprintf(stderr, "ipc_bench: the sd-bus peer did not answer\n");
        return 1;
    }
#endif

    registerBenchmarks();
    int rc = runAll(format, "ipc_bench",
                    [](const auto& reporter, FILE* out) { printSummary(reporter, out); });
    benchmark::Shutdown();

    gEnv.grpc.reset();
    gEnv.sdbus.reset();
    gEnv.service.clear();
    close(gEnv.echoFd);
    if (gEnv.farEchoFd >= 0) close(gEnv.farEchoFd);
    return rc;
}
