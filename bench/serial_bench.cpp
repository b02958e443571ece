/*
 * The AT channel against the physical limit of its pty: one serialAtCmd
 * exchange beside a bare exchange on the same pty (open, write, read to
 * "OK", close), with a simulator that answers at once. Also reports the
 * time from plug to "Y" in tw2_hal_ready and the AT exchanges it took.
 */
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <string.h>
#include <twsim/simulator.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <memory>

#include "Twinel.h"
#include "test_util.h"

using ::android::sp;
using ::vendor::zyr::hardware::twinel::V1_1::implementation::Twinel;

namespace {

twtest::TempDir* gRoot;
twsim::Simulator* gSim;
sp<Twinel>* gHal;

// The bring-up goes on after "Y" in tw2_hal_ready: the log mode and the
// touch update state are the last exchanges it makes. A measurement that
// starts before them shares the port with them (each side can read the
// other's reply, and the service's exchange then times out and resets the
// link); an unplug in the middle of them is not what is measured either.
bool waitForBringUp(size_t fromCommand) {
    if (gSim->waitForAtCommand("AT%TCHUPDATE", 5000, fromCommand) < 0) return false;
    // Taken after the update state's exchange, which holds the port until its reply.
    return (*gHal)->serialAtCmd("AT\r", nullptr, 0, nullptr) >= 0;
}

bool setUp() {
    gRoot = new twtest::TempDir("twbench");
    setenv("TWINEL_DEVICE_ROOT", gRoot->path().c_str(), 1);
    gSim = new twsim::Simulator(gRoot->path());
    if (!gSim->ok()) return false;
    // No log capture: nothing else reads the port during the bare exchange.
    gSim->setProperty("persist.vendor.zyr.service.kernel.enable", "0");
    gHal = new sp<Twinel>(new Twinel());
    if (!gSim->plug()) return false;
    return gSim->waitForNodeRecords(twsim::kHalReadyNode, 1, 5000) && waitForBringUp(0);
}

void BM_SerialAtCmd(benchmark::State& state) {
    char buf[1024];
    for (auto _ : state) {
        memset(buf, 0, sizeof(buf));
        if ((*gHal)->serialAtCmd("AT%SWV\r", buf, sizeof(buf), nullptr) <= 0) {
            state.SkipWithError("serialAtCmd failed");
            break;
        }
    }
}

// The same exchange with nothing but the system calls it needs.
void BM_BarePtyExchange(benchmark::State& state) {
    std::string tty = gSim->path("/dev/ttyACM0");
    char line[1024];
    for (auto _ : state) {
        int fd = open(tty.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (fd < 0 || write(fd, "AT%SWV\r", 7) != 7) {
            state.SkipWithError("pty exchange failed");
            if (fd >= 0) close(fd);
            break;
        }
        for (;;) {
            struct pollfd pfd = {fd, POLLIN, 0};
            if (poll(&pfd, 1, 5000) <= 0) break;
            ssize_t n = read(fd, line, sizeof(line) - 1);
            if (n <= 0) break;
            line[n] = '\0';
            if (strcmp(line, "OK\n") == 0) break;
        }
        close(fd);
    }
}

// The keep-awake vote every exchange takes and releases.
void BM_VotePair(benchmark::State& state) {
    for (auto _ : state) {
        (*gHal)->usbAutoSuspend(false, true);
        (*gHal)->usbAutoSuspend(true, true);
    }
}

BENCHMARK(BM_BarePtyExchange)->UseRealTime();
BENCHMARK(BM_VotePair)->UseRealTime();
BENCHMARK(BM_SerialAtCmd)->UseRealTime();

// Plug to "Y" in tw2_hal_ready, over a few plugs.
void reportPlugToReady() {
    const int kPlugs = 5;
    double totalMs = 0;
    size_t exchanges = 0;
    for (int i = 0; i < kPlugs; i++) {
        gSim->unplugAll();
        twtest::waitFor([&] { return !(*gHal)->mSerialAttached; }, 3000);
        usleep(100 * 1000);
        gSim->clearNodeRecords();
        gSim->clearAtCommands();
        auto start = std::chrono::steady_clock::now();
        gSim->plug();
        if (!gSim->waitForNodeRecords(twsim::kHalReadyNode, 1, 5000)) {
            printf("plug %d: no \"Y\" in tw2_hal_ready\n", i);
            return;
        }
        auto ready = gSim->nodeRecords(twsim::kHalReadyNode).front().time;
        totalMs += std::chrono::duration<double, std::milli>(ready - start).count();
        // Commands the accessory had seen when the HAL said ready.
        for (const auto& c : gSim->atCommands()) exchanges += c.time <= ready;
        if (!waitForBringUp(0)) {
            printf("plug %d: the bring-up did not end\n", i);
            return;
        }
    }
    printf("\nplug to \"Y\" in tw2_hal_ready: %.1f ms on average over %d plugs, "
           "%.1f AT exchanges before it\n",
           totalMs / kPlugs, kPlugs, static_cast<double>(exchanges) / kPlugs);
}

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (!setUp()) {
        fprintf(stderr, "serial_bench: could not bring the accessory up\n");
        return 1;
    }
    std::vector<benchmark::BenchmarkReporter::Run> runs;
    struct Collector : benchmark::ConsoleReporter {
        std::vector<Run>* out;
        void ReportRuns(const std::vector<Run>& r) override {
            ConsoleReporter::ReportRuns(r);
            out->insert(out->end(), r.begin(), r.end());
        }
    } reporter;
    reporter.out = &runs;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    double bare = 0, hal = 0, votes = 0;
    for (const auto& r : runs) {
        if (r.run_type != benchmark::BenchmarkReporter::Run::RT_Iteration) continue;
        double t = r.GetAdjustedRealTime();
        if (r.benchmark_name().find("BM_BarePtyExchange") == 0) bare = t;
        if (r.benchmark_name().find("BM_SerialAtCmd") == 0) hal = t;
        if (r.benchmark_name().find("BM_VotePair") == 0) votes = t;
    }
    if (bare > 0 && hal > 0) {
        printf("\nserialAtCmd %.1f us vs bare pty exchange %.1f us = %.2fx (target <= 1.5x)\n",
               hal / 1000, bare / 1000, hal / bare);
        // The bare exchange does not write power/control; the service must.
        if (votes > 0 && hal > votes) {
            printf("  of which the keep-awake vote pair (two power/control writes): %.1f us; "
                   "the rest %.2fx the bare exchange\n",
                   votes / 1000, (hal - votes) / bare);
        }
    }
    reportPlugToReady();
    gSim->unplugAll();
    fflush(stdout);
    _exit(0);  // the HAL's threads run for the life of the process
}
