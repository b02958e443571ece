/*
 * What the transport benchmarks share: child processes, the raw socket
 * round trip they are measured against, starting hwservicemanager and
 * bench_server under a temporary device root, and a reporter that keeps
 * each benchmark's time per iteration for the comparison printed at the end.
 */
#pragma once

#include <benchmark/benchmark.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/types.h>
#include <unistd.h>
#include <vendor/zyr/hardware/twinel/1.1/ITwinel.h>

#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "test_util.h"

namespace twbench {

// Bytes on the wire for setSubDisplayBrightness(1): a 40-byte frame header,
// the 16-byte message header, the interface token (length word and the
// 40-byte NUL-terminated descriptor) and the 8-byte padded argument; its
// reply carries the status and the result.
constexpr size_t kTrivialRequestBytes = 40 + 16 + 8 + 40 + 8;
constexpr size_t kTrivialReplyBytes = 40 + 16 + 8 + 8;
constexpr size_t kBulkBytes = 64 * 1024;

// A child process killed (SIGTERM, then SIGKILL) and reaped when this object
// goes; the kernel kills it too should this program die first.
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
        if (pid < 0) return false;
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
              const std::string& logPath);
    bool running();
    // SIGTERM first (a profiler around the program writes its data then),
    // SIGKILL after graceMs.
    void stop();
    void setGraceMs(int ms) { mGraceMs = ms; }

  private:
    pid_t mPid = -1;
    int mGraceMs = 1000;
};

bool writeFully(int fd, const void* buf, size_t len);
bool readFully(int fd, void* buf, size_t len);

// The raw round trip: an echo child on a socket pair answers each request
// ({uint32 total length, uint32 reply length} and the rest) with a reply of
// the asked length. Returns the benchmark's end, -1 on failure. With cpu
// >= 0 the child runs on that CPU only.
int startEcho(Process* echo, int cpu = -1);
// BM_RawSocketPingPong: args {request bytes, reply bytes}; echoFd as above.
void rawPingPong(benchmark::State& state, int echoFd);
// One raw round trip at a time on echoFd: requestLen bytes out (the echo's
// header included), replyLen back.
class RawPing {
  public:
    RawPing(int echoFd, size_t requestLen, size_t replyLen);
    bool once();

  private:
    int mFd;
    std::vector<char> mRequest;
    std::vector<char> mReply;
};

// Skips the benchmark, naming `what` and the failure, unless the call
// returned SUCCESS.
bool checkStatus(benchmark::State& state,
                 const android::hardware::Return<vendor::zyr::hardware::twinel::V1_0::Status>& r,
                 const char* what);
// The calls every transport table starts with, one per iteration:
// setSubDisplayBrightness(1) (the trivial call) and drawSubDisplay of
// kBulkBytes of pixels (the 64 KiB call).
void hidlTrivialCalls(benchmark::State& state, vendor::zyr::hardware::twinel::V1_1::ITwinel* tw);
void hidlBulkCalls(benchmark::State& state, vendor::zyr::hardware::twinel::V1_1::ITwinel* tw);
// The 64 KiB call's argument: kBulkBytes of pixels.
android::hardware::hidl_vec<uint32_t> bulkPixels();

// Starts hwservicemanager and bench_server under root and returns the
// server's ITwinel ("bench"), or null after printing why not.
// TWINEL_BENCH_SERVER_WRAPPER, when set, is a command (words separated by
// spaces) the server is started under.
android::sp<vendor::zyr::hardware::twinel::V1_1::ITwinel> startServices(const twtest::TempDir& root,
                                                                        Process* manager,
                                                                        Process* server);

// Forwards to the normal display and keeps each benchmark's real time per
// iteration: the median when repeated, else the mean, else the last run.
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
            int rank = 0;  // a single run
            if (run.run_type == benchmark::BenchmarkReporter::Run::RT_Aggregate) {
                if (run.aggregate_name == "median") {
                    rank = 2;
                } else if (run.aggregate_name == "mean") {
                    rank = 1;
                } else {
                    continue;
                }
            }
            const std::string name = run.run_name.function_name;
            const double ns = run.GetAdjustedRealTime() /
                              benchmark::GetTimeUnitMultiplier(run.time_unit) * 1e9;
            auto it = mRank.find(name);
            if (it == mRank.end() || rank >= it->second) {
                mTimes[name] = ns;
                mRank[name] = rank;
            }
        }
        Base::ReportRuns(runs);
    }

    int errors() const { return mErrors; }
    // Nanoseconds per iteration of a benchmark, or a negative value.
    double ns(const std::string& name) const {
        auto it = mTimes.find(name);
        return it == mTimes.end() ? -1 : it->second;
    }
    // "label  X ns vs raw Y ns = Z x (target)" for two benchmarks of this run.
    void compare(FILE* out, const char* name, const char* raw, const char* label,
                 double target = 0) const {
        double n = ns(name);
        double r = ns(raw);
        if (n < 0 || r <= 0) {
            fprintf(out, "  %-26s not measured in this run\n", label);
            return;
        }
        fprintf(out, "  %-26s %10.0f ns vs raw %9.0f ns = %5.2fx", label, n, r, n / r);
        if (target > 0) fprintf(out, "  (target <= %.1fx)", target);
        fprintf(out, "\n");
    }

  private:
    std::map<std::string, double> mTimes;
    std::map<std::string, int> mRank;
    int mErrors = 0;
};

// Runs the registered benchmarks with a console reporter, or a JSON one
// under --benchmark_format=json (the summary then goes to stderr), and
// calls summary(reporter, out) after them. Returns the exit status.
template <typename Summary>
int runAll(const std::string& format, const char* program, Summary summary) {
    auto run = [&](auto* reporter, FILE* out) {
        size_t ran = benchmark::RunSpecifiedBenchmarks(reporter);
        summary(*reporter, out);
        fflush(out);
        if (ran == 0) {
            fprintf(stderr, "%s: no benchmark matched the filter\n", program);
            return 1;
        }
        if (reporter->errors() > 0) {
            fprintf(stderr, "%s: %d benchmark(s) failed\n", program, reporter->errors());
            return 1;
        }
        return 0;
    };
    if (format == "json") {
        RecordingReporter<benchmark::JSONReporter> reporter;
        return run(&reporter, stderr);
    }
    RecordingReporter<benchmark::ConsoleReporter> reporter(
            isatty(STDOUT_FILENO) ? benchmark::ConsoleReporter::OO_ColorTabular
                                  : benchmark::ConsoleReporter::OO_Tabular);
    return run(&reporter, stdout);
}

// The value of --benchmark_format (before benchmark::Initialize consumes it).
std::string formatFlag(int argc, char** argv);

}  // namespace twbench
