/*
 * Latency of an LPWG wake event: from the moment the stand-in kernel sends a
 * "WAKEUP" uevent to the moment the framework's 1.1 callback runs, with the
 * service in a process of its own, measured against the raw cost of the
 * hops it is made of, in one run:
 *
 *   BM_RawDatagramRoundTrip   a small datagram to a forked echo process and
 *                             back: two process hops, the physical floor of
 *                             "kernel -> service -> framework"
 *   BM_UeventToCallback       uevent sent -> notifyEventChange_1_1 running in
 *                             this process (service worker: receive, parse,
 *                             castFrom round trip to this process, one-way
 *                             notify)
 *
 * Each benchmark times every event and reports the median and the 99th
 * percentile (counters median_us and p99_us). At start the program makes a
 * temporary device root, plays the accessory and the kernel (the simulator)
 * in process, and starts hwservicemanager and the service program (from its
 * own directory) under it; they are killed at exit. The exit status only
 * reflects whether every benchmark ran.
 */
#define LOG_TAG "twinel_kernel_bench"

#include <benchmark/benchmark.h>
#include <errno.h>
#include <hidl/HidlTransportSupport.h>
#include <log/log.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <time.h>
#include <twsim/simulator.h>
#include <twsim/uevent.h>
#include <unistd.h>
#include <vendor/zyr/hardware/twinel/1.1/ITwinel.h>
#include <vendor/zyr/hardware/twinel/1.1/ITwinelLpwgCallback.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "test_util.h"

using ::android::sp;
using ::android::hardware::Return;
using ::android::hardware::Void;
using ::vendor::zyr::hardware::twinel::V1_0::Result;
namespace V1_0 = ::vendor::zyr::hardware::twinel::V1_0;
namespace V1_1 = ::vendor::zyr::hardware::twinel::V1_1;

namespace {

constexpr int kStartTimeoutMs = 10000;
constexpr int kEventTimeoutMs = 2000;

int64_t nowNs() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

struct Percentiles {
    double medianUs = 0;
    double p99Us = 0;
};

Percentiles percentiles(std::vector<int64_t> ns) {
    Percentiles p;
    if (ns.empty()) return p;
    std::sort(ns.begin(), ns.end());
    p.medianUs = ns[ns.size() / 2] / 1000.0;
    size_t i99 = std::min(ns.size() - 1, (ns.size() * 99 + 99) / 100 - 1);
    p.p99Us = ns[i99] / 1000.0;
    return p;
}

// What the last run of each benchmark measured, for the closing comparison.
Percentiles gRaw;
Percentiles gEvent;

// The framework's callback: notes when each event ran.
struct Callback : V1_1::ITwinelLpwgCallback {
    Return<void> notifyEventChange(V1_0::LpwgEventStatus, Result) override {
        wrongMethod++;
        return Void();
    }
    Return<void> notifyEventChange_1_1(V1_1::LpwgEventStatus status, Result) override {
        int64_t now = nowNs();
        if (static_cast<int>(status) != 0) {
            wrongMethod++;
            return Void();
        }
        {
            std::lock_guard<std::mutex> l(lock);
            lastNs = now;
            count++;
        }
        cond.notify_one();
        return Void();
    }

    // Waits (without taking the CPU from the service) until more than
    // `seen` events ran; the time the last one ran, or -1.
    int64_t waitPast(uint64_t seen, int timeoutMs) {
        std::unique_lock<std::mutex> l(lock);
        if (!cond.wait_for(l, std::chrono::milliseconds(timeoutMs), [&] { return count > seen; })) {
            return -1;
        }
        return lastNs;
    }

    uint64_t events() {
        std::lock_guard<std::mutex> l(lock);
        return count;
    }

    std::mutex lock;
    std::condition_variable cond;
    int64_t lastNs = 0;
    uint64_t count = 0;
    std::atomic<uint64_t> wrongMethod{0};
};

// Everything outside this process, and the simulator inside it.
class Setup {
  public:
    bool start() {
        signal(SIGPIPE, SIG_IGN);
        if (mRoot.path().empty()) return fail("no temporary directory");
        setenv("TWINEL_DEVICE_ROOT", mRoot.path().c_str(), 1);
        std::vector<std::string> env = {"TWINEL_DEVICE_ROOT=" + mRoot.path()};
        mSim = std::make_unique<twsim::Simulator>(mRoot.path());
        if (!mSim->ok() || !mSim->plug()) return fail("simulator");
        std::string bin = twtest::binDir();
        if (!twtest::installServiceManifest(mRoot.path())) return fail("manifest");
        if (!mManager.start({bin + "/hwservicemanager"}, env, mRoot.path() + "/sm.log")) {
            return fail("hwservicemanager");
        }
        if (!twtest::waitFor(
                    [&] {
                        return access((mRoot.path() + "/dev/socket/hwbinder/hwservicemanager")
                                              .c_str(),
                                      F_OK) == 0;
                    },
                    kStartTimeoutMs)) {
            return fail("hwservicemanager did not come up");
        }
        if (!mService.start(twtest::serviceCommand(), env, mRoot.path() + "/service.log")) {
            return fail("service program");
        }
        if (!mSim->waitForNodeRecords(twsim::kHalReadyNode, 1, kStartTimeoutMs)) {
            return fail("the service did not bring the accessory up");
        }
        if (!twtest::waitFor([&] { return (mTwinel = V1_1::ITwinel::getService()) != nullptr; },
                             kStartTimeoutMs)) {
            return fail("the service did not register");
        }
        mCallback = new Callback();
        Return<void> ret = mTwinel->setLpwgCallback(mCallback);
        if (!ret.isOk()) return fail("setLpwgCallback: " + ret.description());
        if (!twsim::waitForUeventListeners(*mSim, 1, kStartTimeoutMs)) {
            return fail("the uevent worker did not start");
        }
        return true;
    }

    void stop() {
        if (mTwinel != nullptr) {
            Return<void> ret = mTwinel->setLpwgCallback(nullptr);
            if (!ret.isOk()) ALOGE("setLpwgCallback(null): %s", ret.description().c_str());
        }
        mTwinel = nullptr;
        if (mSim != nullptr) mSim->unplugAll();
        mService.kill(SIGKILL);
        mManager.kill(SIGKILL);
        mSim.reset();
    }

    twsim::Simulator& sim() { return *mSim; }
    Callback& callback() { return *mCallback; }
    const std::string& error() const { return mError; }

  private:
    bool fail(const std::string& what) {
        mError = what;
        fprintf(stderr, "kernel_bench: %s\n", what.c_str());
        return false;
    }

    twtest::TempDir mRoot{"twkbench"};
    std::unique_ptr<twsim::Simulator> mSim;
    twtest::Child mManager;
    twtest::Child mService;
    sp<V1_1::ITwinel> mTwinel;
    sp<Callback> mCallback;
    std::string mError;
};

Setup* gSetup = nullptr;
bool gSetupOk = false;

void BM_UeventToCallback(benchmark::State& state) {
    if (!gSetupOk) {
        state.SkipWithError(gSetup->error().c_str());
        return;
    }
    Callback& cb = gSetup->callback();
    std::string message = twsim::touchUevent("WAKEUP");
    std::vector<int64_t> samples;
    for (auto _ : state) {
        uint64_t before = cb.events();
        int64_t start = nowNs();
        if (twsim::sendUevent(gSetup->sim(), message) != 1) {
            state.SkipWithError("the uevent reached no listener");
            break;
        }
        int64_t ran = cb.waitPast(before, kEventTimeoutMs);
        if (ran < 0) {
            state.SkipWithError("the callback did not run");
            break;
        }
        int64_t took = ran - start;
        samples.push_back(took);
        state.SetIterationTime(took / 1e9);
    }
    if (cb.wrongMethod.load() != 0) state.SkipWithError("an event came through the wrong method");
    gEvent = percentiles(samples);
    state.counters["median_us"] = gEvent.medianUs;
    state.counters["p99_us"] = gEvent.p99Us;
}
BENCHMARK(BM_UeventToCallback)->UseManualTime()->Unit(benchmark::kMicrosecond);

void BM_RawDatagramRoundTrip(benchmark::State& state) {
    int sv[2];
    if (socketpair(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0, sv) < 0) {
        state.SkipWithError(strerror(errno));
        return;
    }
    pid_t parent = getpid();
    pid_t pid = fork();
    if (pid < 0) {
        state.SkipWithError(strerror(errno));
        close(sv[0]);
        close(sv[1]);
        return;
    }
    if (pid == 0) {
        // Echo until the other end goes; die with the parent.
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (getppid() != parent) _exit(0);
        close(sv[0]);
        char buf[2048];
        for (;;) {
            ssize_t n = recv(sv[1], buf, sizeof(buf), 0);
            if (n <= 0 || send(sv[1], buf, static_cast<size_t>(n), 0) != n) _exit(0);
        }
    }
    close(sv[1]);
    std::string message = twsim::touchUevent("WAKEUP");
    char buf[2048];
    std::vector<int64_t> samples;
    for (auto _ : state) {
        int64_t start = nowNs();
        if (send(sv[0], message.data(), message.size(), 0) !=
                    static_cast<ssize_t>(message.size()) ||
            recv(sv[0], buf, sizeof(buf), 0) != static_cast<ssize_t>(message.size())) {
            state.SkipWithError(strerror(errno));
            break;
        }
        int64_t took = nowNs() - start;
        samples.push_back(took);
        state.SetIterationTime(took / 1e9);
    }
    close(sv[0]);
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
    gRaw = percentiles(samples);
    state.counters["median_us"] = gRaw.medianUs;
    state.counters["p99_us"] = gRaw.p99Us;
}
BENCHMARK(BM_RawDatagramRoundTrip)->UseManualTime()->Unit(benchmark::kMicrosecond);

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    Setup setup;
    gSetup = &setup;
    gSetupOk = setup.start();
    size_t ran = benchmark::RunSpecifiedBenchmarks();
    setup.stop();
    if (gSetupOk && gRaw.medianUs > 0 && gEvent.medianUs > 0) {
        printf("\nuevent -> 1.1 callback in another process: median %.1f us, p99 %.1f us\n",
               gEvent.medianUs, gEvent.p99Us);
        printf("raw datagram round trip between two processes: median %.1f us, p99 %.1f us\n",
               gRaw.medianUs, gRaw.p99Us);
        printf("ratio to the raw round trip: median %.1fx, p99 %.1fx\n",
               gEvent.medianUs / gRaw.medianUs, gEvent.p99Us / gRaw.p99Us);
    }
    benchmark::Shutdown();
    return gSetupOk && ran > 0 ? 0 : 1;
}
