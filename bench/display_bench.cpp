/*
 * Brightness requests against a slow accessory, measured over the transport:
 *
 *   BM_GetTW2Connect   getTW2Connect(): a call that touches no accessory
 *   BM_SetBrightness   setBrightness(level) while the accessory takes 2 s to
 *                      answer every "AT%DB=" command
 *
 * At start the program makes a temporary device root with the simulator
 * (in this process) and the accessory plugged (serial function), starts
 * hwservicemanager and the Twinel service program under it and waits for the
 * service's bring-up. The worker that sends the levels is stalled behind the
 * slow accessory for the whole run, so setBrightness costs what the queue
 * costs: its latency should match a call that does nothing (target <= 1.2x).
 * The ratio is printed at the end; the exit status only tells whether every
 * benchmark ran.
 */
#define LOG_TAG "twinel_display_bench"

#include <benchmark/benchmark.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <twsim/simulator.h>
#include <unistd.h>
#include <vendor/zyr/hardware/twinel/1.1/ITwinel.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "test_util.h"

using ::android::sp;
using ::android::hardware::Return;
using ::vendor::zyr::hardware::twinel::V1_0::Status;
namespace V1_1 = ::vendor::zyr::hardware::twinel::V1_1;

namespace {

constexpr int kStartTimeoutMs = 10000;
constexpr int kSlowAnswerMs = 2000;

struct Env {
    std::unique_ptr<twsim::Simulator> sim;
    sp<V1_1::ITwinel> service;
    int64_t slowSinceMs = 0;
};
Env gEnv;

void BM_GetTW2Connect(benchmark::State& state) {
    for (auto _ : state) {
        Return<bool> ret = gEnv.service->getTW2Connect();
        if (!ret.isOk() || !static_cast<bool>(ret)) {
            state.SkipWithError("getTW2Connect failed or not attached");
            break;
        }
    }
}
BENCHMARK(BM_GetTW2Connect)->UseRealTime();

void BM_SetBrightness(benchmark::State& state) {
    int32_t level = 0;
    for (auto _ : state) {
        Return<Status> ret = gEnv.service->setBrightness(level);
        if (!ret.isOk() || static_cast<Status>(ret) != Status::SUCCESS) {
            state.SkipWithError("setBrightness failed");
            break;
        }
        level = (level + 1) % 256;
    }
}
BENCHMARK(BM_SetBrightness)->UseRealTime();

// Keeps each benchmark's real time per iteration for the comparison.
class RecordingReporter : public benchmark::ConsoleReporter {
  public:
    explicit RecordingReporter(OutputOptions options) : ConsoleReporter(options) {}

    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& run : runs) {
            if (run.error_occurred) {
                mErrors++;
                continue;
            }
            if (run.run_type != Run::RT_Iteration &&
                !(run.run_type == Run::RT_Aggregate && run.aggregate_name == "mean")) {
                continue;
            }
            mNs[run.run_name.function_name] = run.GetAdjustedRealTime() /
                                              benchmark::GetTimeUnitMultiplier(run.time_unit) * 1e9;
        }
        ConsoleReporter::ReportRuns(runs);
    }

    int errors() const { return mErrors; }

    void printComparison() const {
        auto set = mNs.find("BM_SetBrightness");
        auto get = mNs.find("BM_GetTW2Connect");
        if (set == mNs.end() || get == mNs.end() || get->second <= 0) {
            printf("\nsetBrightness against getTW2Connect: not measured in this run\n");
            return;
        }
        printf("\nsetBrightness with the accessory taking %d ms per level, against getTW2Connect"
               " (real time per call):\n  %.0f ns vs %.0f ns = %.2fx  (target <= 1.2x)\n",
               kSlowAnswerMs, set->second, get->second, set->second / get->second);
    }

  private:
    std::map<std::string, double> mNs;
    int mErrors = 0;
};

bool start(const twtest::TempDir& root, twtest::Child* manager, twtest::Child* service) {
    const std::string bin = twtest::binDir();
    const std::vector<std::string> env = {"TWINEL_DEVICE_ROOT=" + root.path()};
    const std::string log = root.path() + "/services.log";
    setenv("TWINEL_DEVICE_ROOT", root.path().c_str(), 1);

    gEnv.sim = std::make_unique<twsim::Simulator>(root.path());
    if (!gEnv.sim->ok()) {
        fprintf(stderr, "display_bench: the simulator could not build its tree\n");
        return false;
    }
    if (!manager->start({bin + "/hwservicemanager"}, env, log)) return false;
    if (!twtest::waitFor(
                [&] {
                    return access((root.path() + "/dev/socket/hwbinder/hwservicemanager").c_str(),
                                  F_OK) == 0;
                },
                kStartTimeoutMs)) {
        fprintf(stderr, "display_bench: hwservicemanager did not come up:\n%s\n",
                twtest::readFile(log).c_str());
        return false;
    }
    if (!twtest::installServiceManifest(root.path()) ||
        !service->start(twtest::serviceCommand(), env, log)) {
        return false;
    }
    if (!twtest::waitFor(
                [&] {
                    gEnv.service = V1_1::ITwinel::getService("default");
                    return gEnv.service != nullptr || !service->running();
                },
                kStartTimeoutMs) ||
        gEnv.service == nullptr) {
        fprintf(stderr, "display_bench: the service did not register:\n%s\n",
                twtest::readFile(log).c_str());
        return false;
    }

    twsim::UsbIdentity id = twsim::accessoryIdentity();
    id.hidFunction = false;
    if (!gEnv.sim->plug(id) ||
        !gEnv.sim->waitForNodeRecords(twsim::kHalReadyNode, 1, kStartTimeoutMs)) {
        fprintf(stderr, "display_bench: the accessory was not brought up:\n%s\n",
                twtest::readFile(log).c_str());
        return false;
    }
    // The rest of the bring-up (log mode, touch state) ends before the first
    // level is sent; then every level takes long.
    gEnv.sim->waitForAtCommand("AT%TCHUPDATE", 2000);
    usleep(100 * 1000);
    twsim::AtScript slow;
    slow.match = "AT%DB=";
    slow.delayMs = kSlowAnswerMs;
    gEnv.sim->setAtScript(slow);
    gEnv.sim->clearAtCommands();
    gEnv.slowSinceMs = twtest::nowMs();
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    signal(SIGPIPE, SIG_IGN);
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;

    twtest::TempDir root("twdispbench");
    twtest::Child manager;
    twtest::Child service;
    if (root.path().empty() || !start(root, &manager, &service)) return 1;

    // Colour only on a terminal.
    RecordingReporter reporter(isatty(STDOUT_FILENO) ? benchmark::ConsoleReporter::OO_Defaults
                                                     : benchmark::ConsoleReporter::OO_Tabular);
    benchmark::RunSpecifiedBenchmarks(&reporter);
    reporter.printComparison();

    // How many levels reached the accessory while the calls ran: the worker
    // was held up, not the callers.
    size_t sent = 0;
    for (const twsim::AtRecord& r : gEnv.sim->atCommands()) {
        if (r.command.compare(0, 6, "AT%DB=") == 0) sent++;
    }
    double seconds = (twtest::nowMs() - gEnv.slowSinceMs) / 1000.0;
    printf("  levels the accessory received in %.1f s: %zu (one per %d ms at most)\n", seconds,
           sent, kSlowAnswerMs);

    gEnv.service = nullptr;
    gEnv.sim->unplugAll();
    service.kill();
    manager.kill();
    gEnv.sim.reset();
    return reporter.errors() == 0 ? 0 : 1;
}
