/*
 * Latency of an LPWG wake event: from the moment the stand-in kernel sends a
 * "WAKEUP" uevent to the moment the framework's 1.1 callback runs, with the
 * service in a process of its own, against the raw cost of the hops it is
 * made of. One benchmark per load condition:
 *
 *   BM_UeventVsRoundTrip/busy:0   the machine as it is
 *   BM_UeventVsRoundTrip/busy:1   every CPU kept busy by a `nice 19` spinner
 *
 * Each iteration takes one sample of each, back to back, so both see the
 * same conditions:
 *
 *   raw     a small datagram to a forked echo process and back: two
 *           process hops, the physical floor of "kernel -> service ->
 *           framework"
 *   event   uevent sent -> notifyEventChange_1_1 running in this process
 *           (service worker: receive, parse, log, one-way notify; this
 *           process: read, dispatch)
 *
 * Why both conditions: on an idle virtual machine a thread that blocks
 * lets its CPU go idle, and waking it costs tens of microseconds, far more
 * than the work on either path, so the ratio reads about 1 and tells
 * nothing. With every CPU busy (spinners at the lowest priority, which a
 * woken thread preempts at once) a wake-up is a plain context switch and
 * the ratio shows the path's own cost. Both are reported.
 *
 * The uevent goes out on sockets connected to the listeners beforehand (one
 * send, as the kernel's multicast), so the simulator's look-up of its
 * listeners is not timed. Medians and 99th percentiles are over all the
 * samples of a condition (all repetitions); counters also give the context
 * switches per event in the service and in this process. At start the
 * program makes a temporary device root, plays the accessory and the kernel
 * (the simulator) in process, and starts hwservicemanager and the service
 * program (from its own directory) under it; they are killed at exit. The
 * exit status only reflects whether every benchmark ran.
 *
 * The measurement build (-DTWINEL_LATENCY_PROBES=ON) also says where an
 * event's time goes: the service and this process store the time they pass
 * each stage (<twcutils/latency_probe.h>), and the program prints the median
 * of each stage per condition, with how often per event the served one-way
 * calls were acknowledged.
 */
#define LOG_TAG "twinel_kernel_bench"

#include <benchmark/benchmark.h>
#include <dirent.h>
#include <errno.h>
#include <hidl/HidlTransportSupport.h>
#include <inttypes.h>
#include <log/log.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <twcutils/latency_probe.h>
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
#include <fstream>
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

// Context switches (voluntary and not) of every thread of a process so
// far; -1 when it cannot be read.
int64_t contextSwitches(pid_t pid) {
    std::string dir = "/proc/" + std::to_string(pid) + "/task";
    DIR* d = opendir(dir.c_str());
    if (d == nullptr) return -1;
    int64_t total = 0;
    while (struct dirent* e = readdir(d)) {
        if (e->d_name[0] == '.') continue;
        std::ifstream status(dir + "/" + e->d_name + "/status");
        std::string line;
        while (std::getline(status, line)) {
            if (line.compare(0, 24, "voluntary_ctxt_switches:") == 0) {
                total += atoll(line.c_str() + 24);
            } else if (line.compare(0, 27, "nonvoluntary_ctxt_switches:") == 0) {
                total += atoll(line.c_str() + 27);
            }
        }
    }
    closedir(d);
    return total;
}

// Every sample of one load condition, over all repetitions, for the
// closing comparison.
// The stages of an event: from the probe before to the probe that ends it.
struct Stage {
    const char* name;
    int from;  // -1: the uevent's send
    int to;    // -1: the callback's entry
};
const Stage kStages[] = {
        {"uevent sent -> worker woken", -1, twcutils::kProbeWorkerWoken},
        {"worker: receive", twcutils::kProbeWorkerWoken, twcutils::kProbeUeventReceived},
        {"worker: parse, log, callback look-up", twcutils::kProbeUeventReceived,
         twcutils::kProbeCallbackCall},
        {"proxy: encode, count async space", twcutils::kProbeCallbackCall,
         twcutils::kProbeOnewaySend},
        // One stage: a receiver woken on the sender's CPU may run before
        // sendmsg returns.
        {"one-way sendmsg -> receiver's thread woken", twcutils::kProbeOnewaySend,
         twcutils::kProbeReceiverWoken},
        {"receiver: read the frame", twcutils::kProbeReceiverWoken, twcutils::kProbeFrameRead},
        {"receiver: decode, find the object", twcutils::kProbeFrameRead, twcutils::kProbeDispatch},
        {"receiver: stub -> callback entry", twcutils::kProbeDispatch, -1},
};
constexpr size_t kStageCount = sizeof(kStages) / sizeof(kStages[0]);

struct Condition {
    std::vector<int64_t> raw;
    std::vector<int64_t> event;
    std::vector<int64_t> stages[kStageCount];
    std::vector<int64_t> workerTail;  // one-way sent -> worker done, off the path
    uint64_t events = 0;              // with every probe passed in order
    int64_t doneSent = 0;             // acknowledgements sent by this process
    int64_t doneRead = 0;             // and read by the service
};
Condition gConditions[2];

#ifdef TWINEL_LATENCY_PROBES
// The probe times of the last event, in order, or false when one is
// missing or out of order (that event is left out of the stages).
bool takeStages(pid_t service, int64_t sentNs, int64_t ranNs, Condition* c) {
    const volatile int64_t* svc = twcutils::latencyProbes(service);
    const volatile int64_t* own = twcutils::latencyProbes(getpid());
    if (svc == nullptr || own == nullptr) return false;
    auto at = [&](int point) -> int64_t {
        if (point < 0) return -1;
        return point < twcutils::kProbeReceiverWoken || point > twcutils::kProbeCallbackEntry
                       ? svc[point]
                       : own[point];
    };
    int64_t times[kStageCount + 1];
    times[0] = sentNs;
    for (size_t i = 0; i < kStageCount; i++) {
        times[i + 1] = kStages[i].to < 0 ? ranNs : at(kStages[i].to);
        if (times[i + 1] < times[i]) return false;
    }
    for (size_t i = 0; i < kStageCount; i++) c->stages[i].push_back(times[i + 1] - times[i]);
    int64_t tail = at(twcutils::kProbeWorkerDone) - at(twcutils::kProbeOnewaySent);
    if (tail >= 0) c->workerTail.push_back(tail);
    c->events++;
    return true;
}

int64_t probeCount(pid_t pid, int point) {
    const volatile int64_t* slots = twcutils::latencyProbes(pid);
    return slots == nullptr ? 0 : slots[twcutils::kLatencyPointCount + point];
}
#endif

// Children that keep every CPU busy at the lowest priority, for as long as
// the object lives.
class Spinners {
  public:
    bool start() {
        long cpus = sysconf(_SC_NPROCESSORS_ONLN);
        pid_t parent = getpid();
        for (long i = 0; i < std::max(1L, cpus); i++) {
            pid_t pid = fork();
            if (pid < 0) return false;
            if (pid == 0) {
                prctl(PR_SET_PDEATHSIG, SIGKILL);
                if (getppid() != parent) _exit(0);
                setpriority(PRIO_PROCESS, 0, 19);
                for (volatile uint64_t n = 0;; n = n + 1) {
                }
            }
            mPids.push_back(pid);
        }
        return true;
    }
    ~Spinners() {
        for (pid_t pid : mPids) kill(pid, SIGKILL);
        for (pid_t pid : mPids) waitpid(pid, nullptr, 0);
    }

  private:
    std::vector<pid_t> mPids;
};

// A forked process that sends back every datagram it gets, for as long as
// the object lives.
class Echo {
  public:
    bool start() {
        int sv[2];
        if (socketpair(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0, sv) < 0) return false;
        pid_t parent = getpid();
        mPid = fork();
        if (mPid < 0) {
            close(sv[0]);
            close(sv[1]);
            return false;
        }
        if (mPid == 0) {
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
        mFd = sv[0];
        return true;
    }
    ~Echo() {
        if (mFd >= 0) close(mFd);
        if (mPid > 0) {
            kill(mPid, SIGKILL);
            waitpid(mPid, nullptr, 0);
        }
    }
    // One round trip of `message`; its time in ns, or -1.
    int64_t roundTrip(const std::string& message) {
        char buf[2048];
        int64_t start = twtest::nowNs();
        if (send(mFd, message.data(), message.size(), 0) != static_cast<ssize_t>(message.size()) ||
            recv(mFd, buf, sizeof(buf), 0) != static_cast<ssize_t>(message.size())) {
            return -1;
        }
        return twtest::nowNs() - start;
    }

  private:
    int mFd = -1;
    pid_t mPid = -1;
};

// The framework's callback: notes when each event ran.
struct Callback : V1_1::ITwinelLpwgCallback {
    Return<void> notifyEventChange(V1_0::LpwgEventStatus, Result) override {
        wrongMethod++;
        return Void();
    }
    Return<void> notifyEventChange_1_1(V1_1::LpwgEventStatus status, Result) override {
        int64_t now = twtest::nowNs();
        TW_LATENCY_PROBE(kProbeCallbackEntry);
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
#ifdef TWINEL_LATENCY_PROBES
        std::string probes = mRoot.path() + "/probes";
        // The service runs as its own user.
        if (mkdir(probes.c_str(), 0755) < 0 || chmod(probes.c_str(), 0777) < 0) {
            return fail("probe directory");
        }
        setenv(twcutils::kLatencyProbeEnv, probes.c_str(), 1);
        env.push_back(std::string(twcutils::kLatencyProbeEnv) + "=" + probes);
#endif
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

    twsim::Simulator& sim() {
        return *mSim;
    }
    pid_t servicePid() const {
        return mService.pid();
    }
    Callback& callback() {
        return *mCallback;
    }
    const std::string& error() const {
        return mError;
    }

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

void BM_UeventVsRoundTrip(benchmark::State& state) {
    if (!gSetupOk) {
        state.SkipWithError(gSetup->error().c_str());
        return;
    }
    Condition& condition = gConditions[state.range(0) != 0 ? 1 : 0];
    Callback& cb = gSetup->callback();
    std::string message = twsim::touchUevent("WAKEUP");
    twsim::UeventSockets uevents(gSetup->sim());
    Echo echo;
    if (uevents.size() != 1 || !echo.start()) {
        state.SkipWithError("no uevent listener or no echo process");
        return;
    }
    Spinners spinners;
    if (state.range(0) != 0 && !spinners.start()) {
        state.SkipWithError("cannot start the spinners");
        return;
    }
    std::vector<int64_t> raw;
    std::vector<int64_t> event;
    const pid_t service = gSetup->servicePid();
    const int64_t serviceSwitches = contextSwitches(service);
    const int64_t ownSwitches = contextSwitches(getpid());
#ifdef TWINEL_LATENCY_PROBES
    const int64_t doneSent = probeCount(getpid(), twcutils::kProbeDoneSent);
    const int64_t doneRead = probeCount(service, twcutils::kProbeDoneRead);
#endif
    for (auto _ : state) {
        int64_t rawNs = echo.roundTrip(message);
        if (rawNs < 0) {
            state.SkipWithError(strerror(errno));
            break;
        }
        uint64_t before = cb.events();
        int64_t start = twtest::nowNs();
        if (uevents.send(message) != 1) {
            state.SkipWithError("the uevent reached no listener");
            break;
        }
        int64_t ran = cb.waitPast(before, kEventTimeoutMs);
        if (ran < 0) {
            state.SkipWithError("the callback did not run");
            break;
        }
        raw.push_back(rawNs);
        event.push_back(ran - start);
#ifdef TWINEL_LATENCY_PROBES
        takeStages(service, start, ran, &condition);
#endif
        state.SetIterationTime((ran - start) / 1e9);
    }
    if (cb.wrongMethod.load() != 0) state.SkipWithError("an event came through the wrong method");
    if (event.empty()) return;
    // Both include the raw round trips of the echo, which switch neither.
    const double n = static_cast<double>(event.size());
    state.counters["service_ctxsw_per_event"] = (contextSwitches(service) - serviceSwitches) / n;
    state.counters["own_ctxsw_per_event"] = (contextSwitches(getpid()) - ownSwitches) / n;
#ifdef TWINEL_LATENCY_PROBES
    // Read once the last acknowledgement had time to arrive.
    usleep(20 * 1000);
    condition.doneSent += probeCount(getpid(), twcutils::kProbeDoneSent) - doneSent;
    condition.doneRead += probeCount(service, twcutils::kProbeDoneRead) - doneRead;
#endif
    Percentiles r = percentiles(raw);
    Percentiles e = percentiles(event);
    state.counters["raw_median_us"] = r.medianUs;
    state.counters["event_median_us"] = e.medianUs;
    state.counters["event_p99_us"] = e.p99Us;
    state.counters["ratio"] = r.medianUs > 0 ? e.medianUs / r.medianUs : 0;
    condition.raw.insert(condition.raw.end(), raw.begin(), raw.end());
    condition.event.insert(condition.event.end(), event.begin(), event.end());
}
BENCHMARK(BM_UeventVsRoundTrip)
        ->ArgName("busy")
        ->Arg(0)
        ->Arg(1)
        ->UseManualTime()
        ->Unit(benchmark::kMicrosecond);

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    Setup setup;
    gSetup = &setup;
    gSetupOk = setup.start();
    size_t ran = benchmark::RunSpecifiedBenchmarks();
    setup.stop();
    const char* names[] = {"idle", "busy"};
    for (int i = 0; i < 2 && gSetupOk; i++) {
        const Condition& c = gConditions[i];
        if (c.raw.empty() || c.event.empty()) continue;
        Percentiles r = percentiles(c.raw);
        Percentiles e = percentiles(c.event);
        printf("\n%s (%zu samples each):\n", names[i], c.event.size());
        printf("  uevent -> 1.1 callback in another process: median %.1f us, p99 %.1f us\n",
               e.medianUs, e.p99Us);
        printf("  raw datagram round trip between two processes: median %.1f us, p99 %.1f us\n",
               r.medianUs, r.p99Us);
        printf("  ratio to the raw round trip: median %.2fx, p99 %.2fx\n", e.medianUs / r.medianUs,
               e.p99Us / r.p99Us);
        if (c.events == 0) continue;
        printf("  stages (median us over %" PRIu64 " events with every probe in order):\n",
               c.events);
        double sum = 0;
        for (size_t k = 0; k < kStageCount; k++) {
            double us = percentiles(c.stages[k]).medianUs;
            sum += us;
            printf("    %-40s %7.2f\n", kStages[k].name, us);
        }
        printf("    %-40s %7.2f\n", "sum of the medians", sum);
        printf("    %-40s %7.2f\n", "(off the path) worker after the send",
               percentiles(c.workerTail).medianUs);
        printf("  acknowledgements per event: sent %.3f, read by the service %.3f\n",
               static_cast<double>(c.doneSent) / c.event.size(),
               static_cast<double>(c.doneRead) / c.event.size());
    }
    benchmark::Shutdown();
    return gSetupOk && ran > 0 ? 0 : 1;
}
