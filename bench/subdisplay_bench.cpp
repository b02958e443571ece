/*
 * The sub display's frame path against the physical limits measured in the
 * same run:
 *
 *   BM_Memcpy64K            memcpy of the 64 KiB input of a frame
 *   BM_Pack16384            the packing of 16384 pixels alone (the drawer's work)
 *   BM_DrawOverTransport    drawSubDisplay(16384 pixels) through the proxy
 *   BM_RawFrameWrites       the four reports of a frame (4089, 4089, 14 data
 *                           bytes, then the empty one) written straight to the
 *                           simulator's hidraw socket on one connection:
 *                           frames per second
 *   BM_RawFrameWritesReopening  the same on a fresh connection for the frame
 *                           data and another for the empty report (the node
 *                           opened and closed for good each time; the service
 *                           hands its connection back to the device module,
 *                           which keeps it for the next exchange)
 *   BM_RawFrameWritesOtherProcess  the same as BM_RawFrameWrites from a child
 *                           process (the service is one), in batches of 32
 *   BM_EndToEndFrames       frames per second from the client's draws to the
 *                           frames the simulator assembled, the client drawing
 *                           as fast as its calls return (the newest frame wins)
 *   BM_EndToEndFramesPaced  the same with the client paced by the panel: it
 *                           draws the next frame while the previous one is
 *                           on the wire, never further ahead
 *   BM_EndToEndFrameLatency one frame at a time: drawn, then waited for
 *
 * At start the program builds a temporary device root with the simulator
 * (accessory plugged, HID function only), starts hwservicemanager and the
 * service under it and waits for the sub display to be on; everything is
 * stopped at exit. After the run it prints the two comparisons. The exit
 * status reflects only whether every benchmark ran. TWINEL_BENCH_SERVICE_LOG,
 * when set, names a file that receives a copy of the service's log.
 */
#define LOG_TAG "twinel_subdisplay_bench"

#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <hidl/HidlTransportSupport.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <twdevice/device.h>
#include <twsim/simulator.h>
#include <unistd.h>
#include <vendor/zyr/hardware/twinel/1.1/ITwinel.h>

#include <algorithm>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "sub_display.h"
#include "test_util.h"

using ::android::sp;
using ::android::hardware::hidl_vec;
using ::android::hardware::Return;
using ::vendor::zyr::hardware::twinel::V1_0::Status;
using ::vendor::zyr::hardware::twinel::V1_0::SubScreenState;
namespace V1_1 = ::vendor::zyr::hardware::twinel::V1_1;
namespace impl = ::vendor::zyr::hardware::twinel::V1_1::implementation;

namespace {

constexpr size_t kPixels = 16384;
constexpr size_t kFrameBytes = 8192;
constexpr size_t kReportData = 4089;
constexpr int kStartTimeoutMs = 10000;

struct Env {
    std::unique_ptr<twsim::Simulator> sim;
    sp<V1_1::ITwinel> service;
};
Env gEnv;

std::vector<uint32_t> testPixels() {
    std::vector<uint32_t> pixels(kPixels);
    for (size_t i = 0; i < kPixels; i++) pixels[i] = static_cast<uint32_t>(i * 2654435761u);
    return pixels;
}

// One drawSubDisplay call through the proxy; a failure ends the benchmark.
bool draw(benchmark::State& state, const hidl_vec<uint32_t>& pixels) {
    Return<Status> ret = gEnv.service->drawSubDisplay(pixels);
    if (!ret.isOk() || static_cast<Status>(ret) != Status::SUCCESS) {
        state.SkipWithError("drawSubDisplay failed");
        return false;
    }
    return true;
}

void BM_Memcpy64K(benchmark::State& state) {
    std::vector<uint32_t> in = testPixels();
    std::vector<uint32_t> out(kPixels);
    for (auto _ : state) {
        memcpy(out.data(), in.data(), kPixels * sizeof(uint32_t));
        benchmark::DoNotOptimize(out.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * kPixels * 4);
}
BENCHMARK(BM_Memcpy64K);

void BM_Pack16384(benchmark::State& state) {
    std::vector<uint32_t> in = testPixels();
    std::vector<uint8_t> out(kFrameBytes);
    for (auto _ : state) {
        impl::sub_display_pack(in.data(), kPixels, out.data());
        benchmark::DoNotOptimize(out.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * kPixels * 4);
}
BENCHMARK(BM_Pack16384);

void BM_DrawOverTransport(benchmark::State& state) {
    hidl_vec<uint32_t> pixels(testPixels());
    for (auto _ : state) {
        if (!draw(state, pixels)) break;
    }
    // Let the frame thread finish before the next benchmark measures.
    uint64_t frames = gEnv.sim->frameCount();
    gEnv.sim->waitForFrames(frames + 1, 500);
}
BENCHMARK(BM_DrawOverTransport)->UseRealTime();

std::vector<uint8_t> report(size_t len, uint32_t offset, const uint8_t* data) {
    std::vector<uint8_t> r(7 + len);
    r[0] = 2;
    r[1] = len & 0xff;
    r[2] = (len >> 8) & 0xff;
    for (int i = 0; i < 4; i++) r[3 + i] = (offset >> (8 * i)) & 0xff;
    if (len > 0) memcpy(&r[7], data, len);
    return r;
}

// The four reports of one frame as the service writes them.
std::vector<std::vector<uint8_t>> frameReports() {
    std::vector<uint8_t> frame(kFrameBytes);
    for (size_t i = 0; i < kFrameBytes; i++) frame[i] = static_cast<uint8_t>(i * 7);
    std::vector<std::vector<uint8_t>> reports;
    for (size_t offset = 0; offset < kFrameBytes;) {
        size_t len = std::min(kReportData, kFrameBytes - offset);
        reports.push_back(report(len, static_cast<uint32_t>(offset), frame.data() + offset));
        offset += len;
    }
    reports.push_back(report(0, 0, nullptr));
    return reports;
}

void BM_RawFrameWrites(benchmark::State& state) {
    std::vector<std::vector<uint8_t>> reports = frameReports();
    if (reports.size() != 4) {
        state.SkipWithError("bad report list");
        return;
    }
    int fd = twdevice::open("/dev/hidraw0", O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        state.SkipWithError("cannot open /dev/hidraw0");
        return;
    }
    uint64_t before = gEnv.sim->frameCount();
    for (auto _ : state) {
        for (const auto& r : reports) {
            if (twdevice::write(fd, r.data(), r.size()) != static_cast<ssize_t>(r.size())) {
                state.SkipWithError("write failed");
                break;
            }
        }
    }
    close(fd);
    state.counters["frames_per_s"] = benchmark::Counter(
            static_cast<double>(gEnv.sim->frameCount() - before), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_RawFrameWrites)->UseRealTime();

// The same reports on a new connection for each series of writes (frame
// data, then the empty report): what an exchange costs when the connection
// is not kept.
void BM_RawFrameWritesReopening(benchmark::State& state) {
    std::vector<std::vector<uint8_t>> reports = frameReports();
    uint64_t before = gEnv.sim->frameCount();
    for (auto _ : state) {
        for (size_t first : {size_t(0), size_t(3)}) {
            int fd = twdevice::open("/dev/hidraw0", O_WRONLY | O_NONBLOCK | O_CLOEXEC);
            if (fd < 0) {
                state.SkipWithError("cannot open /dev/hidraw0");
                return;
            }
            for (size_t i = first; i < (first == 0 ? 3 : 4); i++) {
                const auto& r = reports[i];
                if (twdevice::write(fd, r.data(), r.size()) != static_cast<ssize_t>(r.size())) {
                    state.SkipWithError("write failed");
                }
            }
            close(fd);
        }
    }
    state.counters["frames_per_s"] = benchmark::Counter(
            static_cast<double>(gEnv.sim->frameCount() - before), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_RawFrameWritesReopening)->UseRealTime();

// The same reports on one connection, written by another process (as the
// service is one): each iteration is a batch of frames the child writes.
constexpr uint64_t kChildBatch = 32;
void BM_RawFrameWritesOtherProcess(benchmark::State& state) {
    std::vector<std::vector<uint8_t>> reports = frameReports();
    int go[2], done[2];
    if (pipe(go) < 0 || pipe(done) < 0) {
        state.SkipWithError("pipe");
        return;
    }
    pid_t pid = fork();
    if (pid == 0) {
        int fd = twdevice::open("/dev/hidraw0", O_WRONLY | O_NONBLOCK | O_CLOEXEC);
        uint64_t frames;
        // Each request: a frame count to write; answered when written.
        while (read(go[0], &frames, sizeof(frames)) == sizeof(frames) && frames > 0) {
            for (uint64_t f = 0; f < frames; f++) {
                for (const auto& r : reports) {
                    if (twdevice::write(fd, r.data(), r.size()) != static_cast<ssize_t>(r.size())) {
                        _exit(1);
                    }
                }
            }
            if (write(done[1], &frames, sizeof(frames)) != sizeof(frames)) _exit(1);
        }
        _exit(0);
    }
    uint64_t before = gEnv.sim->frameCount();
    for (auto _ : state) {
        uint64_t batch = kChildBatch, echo = 0;
        if (write(go[1], &batch, sizeof(batch)) != sizeof(batch) ||
            read(done[0], &echo, sizeof(echo)) != sizeof(echo)) {
            state.SkipWithError("child");
            break;
        }
    }
    uint64_t zero = 0;
    if (write(go[1], &zero, sizeof(zero)) < 0) state.SkipWithError("child");
    waitpid(pid, nullptr, 0);
    for (int fd : {go[0], go[1], done[0], done[1]}) close(fd);
    state.counters["frames_per_s"] = benchmark::Counter(
            static_cast<double>(gEnv.sim->frameCount() - before), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_RawFrameWritesOtherProcess)->UseRealTime();

// The client draws as fast as its calls return; the frame thread sends the
// newest frame each time it is free (older waiting ones are replaced). The
// rate is that of frames the simulator completed.
void BM_EndToEndFrames(benchmark::State& state) {
    hidl_vec<uint32_t> pixels(testPixels());
    uint64_t before = gEnv.sim->frameCount();
    for (auto _ : state) {
        if (!draw(state, pixels)) break;
    }
    state.counters["frames_per_s"] = benchmark::Counter(
            static_cast<double>(gEnv.sim->frameCount() - before), benchmark::Counter::kIsRate);
    // Done before the next benchmark measures.
    gEnv.sim->waitForFrames(gEnv.sim->frameCount() + 1, 200);
}
BENCHMARK(BM_EndToEndFrames)->UseRealTime();

// The client paced by the panel, as a framework drawing on the display's
// frame completions does: it draws the next frame while the previous one is
// on the wire (the two buffers' purpose), and waits only when a frame it drew
// earlier is still unassembled. A draw that lands before the frame thread
// has taken the previous frame replaces it; "lost" counts those.
void BM_EndToEndFramesPaced(benchmark::State& state) {
    hidl_vec<uint32_t> pixels(testPixels());
    uint64_t before = gEnv.sim->frameCount();
    uint64_t drawn = 0;
    for (auto _ : state) {
        // At most one earlier frame still unassembled: it is on the wire.
        if (drawn > 0 && !gEnv.sim->waitForFrames(before + drawn - 1, 1000)) {
            state.SkipWithError("frame not delivered");
            break;
        }
        if (!draw(state, pixels)) break;
        drawn++;
    }
    state.counters["frames_per_s"] = benchmark::Counter(
            static_cast<double>(gEnv.sim->frameCount() - before), benchmark::Counter::kIsRate);
    // Every frame drawn arrives (the last one after the clock stopped).
    gEnv.sim->waitForFrames(before + drawn, 500);
    state.counters["lost"] =
            static_cast<double>(drawn) - static_cast<double>(gEnv.sim->frameCount() - before);
}
BENCHMARK(BM_EndToEndFramesPaced)->UseRealTime();

// One frame at a time: drawn, then waited for until the simulator has it.
void BM_EndToEndFrameLatency(benchmark::State& state) {
    hidl_vec<uint32_t> pixels(testPixels());
    uint64_t frames = gEnv.sim->frameCount();
    for (auto _ : state) {
        if (!draw(state, pixels)) break;
        if (!gEnv.sim->waitForFrames(++frames, 1000)) {
            state.SkipWithError("frame not delivered");
            break;
        }
    }
    state.counters["frames_per_s"] = benchmark::Counter(static_cast<double>(state.iterations()),
                                                        benchmark::Counter::kIsRate);
}
BENCHMARK(BM_EndToEndFrameLatency)->UseRealTime();

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
            const std::string& name = run.run_name.function_name;
            mNs[name] = run.GetAdjustedRealTime() /
                        benchmark::GetTimeUnitMultiplier(run.time_unit) * 1e9;
            auto fps = run.counters.find("frames_per_s");
            if (fps != run.counters.end()) mFps[name] = fps->second.value;
        }
        ConsoleReporter::ReportRuns(runs);
    }

    int errors() const { return mErrors; }

    void printComparison() const {
        printf("\n");
        auto pack = mNs.find("BM_Pack16384");
        auto copy = mNs.find("BM_Memcpy64K");
        if (pack != mNs.end() && copy != mNs.end() && copy->second > 0) {
            printf("packing 16384 pixels against memcpy of their 64 KiB:\n"
                   "  %.0f ns vs %.0f ns = %.2fx  (target <= 3x)\n",
                   pack->second, copy->second, pack->second / copy->second);
        }
        auto draw = mNs.find("BM_DrawOverTransport");
        if (draw != mNs.end()) {
            printf("drawSubDisplay(16384 pixels) through the transport: %.0f us per call\n",
                   draw->second / 1000.0);
        }
        auto e2e = mFps.find("BM_EndToEndFrames");
        auto raw = mFps.find("BM_RawFrameWrites");
        auto reopening = mFps.find("BM_RawFrameWritesReopening");
        auto serial = mFps.find("BM_EndToEndFrameLatency");
        if (e2e != mFps.end() && raw != mFps.end() && raw->second > 0) {
            printf("frames per second, client to assembled frame, against raw writes of the "
                   "same reports:\n  %.0f vs %.0f = %.2fx  (target >= 0.8x)\n",
                   e2e->second, raw->second, e2e->second / raw->second);
            if (reopening != mFps.end() && reopening->second > 0) {
                printf("  raw writes on a fresh connection per exchange: %.0f "
                       "(%.2fx of raw); end to end against them: %.2fx\n",
                       reopening->second, reopening->second / raw->second,
                       e2e->second / reopening->second);
            }
            auto paced = mFps.find("BM_EndToEndFramesPaced");
            if (paced != mFps.end()) {
                printf("  the client paced by the panel (draws while the previous frame is on "
                       "the wire): %.0f (%.2fx of raw)\n",
                       paced->second, paced->second / raw->second);
            }
            auto other = mFps.find("BM_RawFrameWritesOtherProcess");
            if (other != mFps.end()) {
                printf("  raw writes from another process: %.0f (%.2fx of raw); end to end "
                       "against them: %.2fx\n",
                       other->second, other->second / raw->second, e2e->second / other->second);
            }
            if (serial != mFps.end()) {
                printf("  one frame at a time (draw, wait until assembled): %.0f (%.2fx of "
                       "raw)\n",
                       serial->second, serial->second / raw->second);
            }
        }
    }

  private:
    std::map<std::string, double> mNs;
    std::map<std::string, double> mFps;
    int mErrors = 0;
};

bool start(const twtest::TempDir& root, twtest::Child* manager, twtest::Child* service) {
    setenv("TWINEL_DEVICE_ROOT", root.path().c_str(), 1);
    std::vector<std::string> env = {"TWINEL_DEVICE_ROOT=" + root.path()};
    gEnv.sim = std::make_unique<twsim::Simulator>(root.path());
    if (!gEnv.sim->ok()) {
        fprintf(stderr, "cannot build the device tree\n");
        return false;
    }
    twsim::UsbIdentity id = twsim::accessoryIdentity();
    id.serialFunction = false;
    if (!gEnv.sim->plug(id)) {
        fprintf(stderr, "cannot plug the accessory\n");
        return false;
    }
    // The service's log goes to a file, as it goes to logd on the phone.
    if (!manager->start({twtest::binDir() + "/hwservicemanager"}, env,
                        root.path() + "/manager.log") ||
        !twtest::waitFor(
                [&] {
                    return access((root.path() + "/dev/socket/hwbinder/hwservicemanager").c_str(),
                                  F_OK) == 0;
                },
                kStartTimeoutMs)) {
        fprintf(stderr, "hwservicemanager did not start\n");
        return false;
    }
    if (!twtest::installServiceManifest(root.path()) ||
        !service->start(twtest::serviceCommand(), env, root.path() + "/service.log") ||
        !twtest::waitFor(
                [&] {
                    gEnv.service = V1_1::ITwinel::getService();
                    return gEnv.service != nullptr;
                },
                kStartTimeoutMs)) {
        fprintf(stderr, "the service did not start\n");
        return false;
    }
    bool on = twtest::waitFor(
            [&] {
                SubScreenState s = SubScreenState::NONE;
                Return<void> r = gEnv.service->getSubDisplayPowerState(
                        [&](Status, SubScreenState st) { s = st; });
                return r.isOk() && s == SubScreenState::ON;
            },
            kStartTimeoutMs);
    if (!on) fprintf(stderr, "the sub display did not come on\n");
    return on;
}

}  // namespace

int main(int argc, char** argv) {
    signal(SIGPIPE, SIG_IGN);
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;

    twtest::TempDir root("twsubbench");
    twtest::Child manager;
    twtest::Child service;
    if (root.path().empty() || !start(root, &manager, &service)) return 1;

    RecordingReporter reporter(isatty(STDOUT_FILENO) ? benchmark::ConsoleReporter::OO_Defaults
                                                     : benchmark::ConsoleReporter::OO_Tabular);
    benchmark::RunSpecifiedBenchmarks(&reporter);
    reporter.printComparison();

    // TWINEL_BENCH_SERVICE_LOG=FILE keeps a copy of the service's log.
    const char* keep = getenv("TWINEL_BENCH_SERVICE_LOG");
    if (keep != nullptr && *keep != '\0') {
        FILE* out = fopen(keep, "w");
        if (out != nullptr) {
            std::string log = twtest::readFile(root.path() + "/service.log");
            fwrite(log.data(), 1, log.size(), out);
            fclose(out);
        }
    }

    gEnv.service = nullptr;
    gEnv.sim->unplugAll();
    service.kill();
    manager.kill();
    gEnv.sim.reset();
    return reporter.errors() == 0 ? 0 : 1;
}
