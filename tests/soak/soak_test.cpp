/*
 * The plug soak: the simulator program, hwservicemanager and the service as
 * processes, the accessory plugged and unplugged again and again with
 * traffic on every plug (an AT command, a brightness level, a frame, a wake
 * gesture to a client watching in its own process). Every call must answer,
 * and the service's and hwservicemanager's descriptors, threads and memory
 * must end where they were once the system had warmed up.
 */
#include <dirent.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <unistd.h>
#include <vendor/zyr/hardware/twinel/1.1/ITwinel.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "tools_test_util.h"

using ::android::sp;
using ::android::hardware::hidl_string;
using ::android::hardware::hidl_vec;
using ::android::hardware::Return;
using ::vendor::zyr::hardware::twinel::V1_0::Status;
using ::vendor::zyr::hardware::twinel::V1_0::SubScreenInfo;
using ::vendor::zyr::hardware::twinel::V1_1::ITwinel;

namespace {

#if defined(__SANITIZE_ADDRESS__)
constexpr bool kAsan = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr bool kAsan = true;
#else
constexpr bool kAsan = false;
#endif
#else
constexpr bool kAsan = false;
#endif
#if defined(__SANITIZE_THREAD__)
constexpr bool kTsan = true;
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
constexpr bool kTsan = true;
#else
constexpr bool kTsan = false;
#endif
#else
constexpr bool kTsan = false;
#endif

// Under ASan every process runs several times slower; fewer cycles keep the
// test well inside its time limit and still show a leak of one descriptor
// or thread per cycle.
constexpr int kCycles = kAsan ? 40 : 100;
// Cycles before the baseline: the first plugs allocate what the service keeps
// for good (thread stacks cached by the C library, the allocator's arenas,
// the transport's connection to each peer).
constexpr int kWarmUp = 3;
// Growth of the resident set allowed over the soak. The allocator keeps
// freed pages of its arenas and ASan keeps freed blocks in quarantine (up to
// 256 MiB by default, hence its larger bound); a leak of one frame buffer
// (8 KiB) per cycle, or of a thread stack, shows over 100 cycles as more
// than that. ThreadSanitizer keeps the history of every thread that ever ran
// (the service starts a few per plug), about 50 KiB a cycle here.
constexpr long kRssToleranceKb = kAsan ? 24 * 1024 : kTsan ? 16 * 1024 : 1024;

struct Usage {
    int fds = -1;
    int threads = -1;
    long rssKb = -1;
};

std::ostream& operator<<(std::ostream& os, const Usage& u) {
    return os << u.fds << " fds, " << u.threads << " threads, " << u.rssKb << " kB";
}

Usage usageOf(pid_t pid) {
    Usage u;
    std::string dir = "/proc/" + std::to_string(pid);
    if (DIR* d = opendir((dir + "/fd").c_str())) {
        u.fds = 0;
        while (struct dirent* e = readdir(d)) {
            if (e->d_name[0] != '.') u.fds++;
        }
        closedir(d);
    }
    std::ifstream status(dir + "/status");
    std::string line;
    while (std::getline(status, line)) {
        std::istringstream in(line);
        std::string key;
        in >> key;
        if (key == "Threads:") in >> u.threads;
        if (key == "VmRSS:") in >> u.rssKb;
    }
    return u;
}

// The child of this process running `program` (by its command name).
pid_t childNamed(const std::string& program) {
    pid_t found = -1;
    DIR* d = opendir("/proc");
    if (d == nullptr) return -1;
    while (struct dirent* e = readdir(d)) {
        pid_t pid = static_cast<pid_t>(atoi(e->d_name));
        if (pid <= 0) continue;
        std::ifstream stat("/proc/" + std::string(e->d_name) + "/stat");
        std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
        size_t open = text.find('('), close = text.rfind(')');
        if (open == std::string::npos || close == std::string::npos) continue;
        std::string comm = text.substr(open + 1, close - open - 1);
        std::istringstream rest(text.substr(close + 2));
        char state;
        pid_t ppid = -1;
        rest >> state >> ppid;
        // The kernel keeps 15 bytes of the name.
        if (ppid == getpid() && comm == program.substr(0, 15)) found = pid;
    }
    closedir(d);
    return found;
}

int countOf(const std::string& text, const std::string& what) {
    int n = 0;
    for (size_t p = text.find(what); p != std::string::npos; p = text.find(what, p + 1)) n++;
    return n;
}

TEST(Soak, PlugCyclesWithTrafficKeepEverythingFlat) {
    twtools::System sys(true, false);
    ASSERT_TRUE(sys.ok());
    setenv("TWINEL_DEVICE_ROOT", sys.root().c_str(), 1);
    pid_t service = sys.service().pid();
    pid_t manager = childNamed("hwservicemanager");
    ASSERT_GT(manager, 0);

    sp<ITwinel> hal = ITwinel::getService();
    ASSERT_NE(nullptr, hal.get());

    // The watching client stays registered through the whole soak.
    std::string watchLog = sys.root() + "/watch.log";
    twtest::Child watcher;
    ASSERT_TRUE(sys.startClient(&watcher, {"watch", "--count", "1000000", "--timeout", "600"},
                                watchLog));
    ASSERT_TRUE(sys.simOk("uevent-listeners 1 10000"));
    const std::string kWake = "notifyEventChange_1_1: event 1 (TW_PEN_WAKEUP)";

    int calls = 0;
    int answered = 0;
    auto answeredOk = [&](bool isOk, bool success) {
        calls++;
        if (isOk) answered++;
        return isOk && success;
    };

    Usage base[2];
    int64_t start = twtest::nowMs();
    int64_t measuredStart = 0;
    for (int cycle = 1; cycle <= kCycles; cycle++) {
        SCOPED_TRACE("cycle " + std::to_string(cycle));
        ASSERT_TRUE(sys.simOk("clear"));
        ASSERT_TRUE(sys.simOk("plug"));
        ASSERT_TRUE(sys.simOk("wait-record /sys/class/twinel/tw2/tw2_hal_ready 1 10000"));

        Status st = Status::FAILURE;
        hidl_string reply;
        Return<void> at =
                hal->sendAtCommand("AT%SWV", nullptr, [&](Status s, const hidl_string& r) {
                    st = s;
                    reply = r;
                });
        EXPECT_TRUE(answeredOk(at.isOk(), st == Status::SUCCESS));
        EXPECT_EQ("QPA330X-V1.00_20240301", std::string(reply));

        int level = 10 + cycle % 240;
        Return<Status> bright = hal->setBrightness(level);
        EXPECT_TRUE(answeredOk(bright.isOk(), bright.isOk() && bright == Status::SUCCESS));
        EXPECT_TRUE(sys.simOk("wait-command AT%DB=" + std::to_string(level) + " 10000"));

        // The sub display is found a moment after the AT channel, and powers
        // itself on shortly after that: its size is known only then.
        bool drawn = twtest::waitFor(
                [&] {
                    SubScreenInfo info = {};
                    Return<void> got = hal->getSubDisplayInfo(
                            [&](Status, const SubScreenInfo& i) { info = i; });
                    if (!answeredOk(got.isOk(), true) || info.x == 0 || info.y == 0) return false;
                    hidl_vec<uint32_t> frame(static_cast<size_t>(info.x) * info.y);
                    for (size_t i = 0; i < frame.size(); i++) frame[i] = ((i + cycle) % 16) << 4;
                    Return<Status> r = hal->drawSubDisplay(frame);
                    return answeredOk(r.isOk(), r.isOk() && r == Status::SUCCESS);
                },
                10000);
        EXPECT_TRUE(drawn);
        EXPECT_TRUE(sys.simOk("wait-frame " + std::to_string(cycle) + " 10000"));

        ASSERT_TRUE(sys.simOk("uevent-touch TW_PEN_WAKEUP"));
        EXPECT_TRUE(twtest::waitFor(
                [&] { return countOf(twtest::readFile(watchLog), kWake) >= cycle; }, 10000))
                << twtest::readFile(watchLog) << twtest::readFile(sys.root() + "/service.log");

        ASSERT_TRUE(sys.simOk("unplug"));
        EXPECT_TRUE(twtest::waitFor(
                [&] {
                    Return<bool> c = hal->getTW2Connect();
                    return answeredOk(c.isOk(), c.isOk() && !c);
                },
                10000));
        if (::testing::Test::HasFailure()) break;

        if (cycle == kWarmUp) {
            // Threads of the unplugged accessory end a moment after it goes.
            usleep(300 * 1000);
            base[0] = usageOf(service);
            base[1] = usageOf(manager);
            measuredStart = twtest::nowMs();
        }
    }
    int64_t elapsed = twtest::nowMs() - start;
    EXPECT_EQ(calls, answered) << "calls without an answer";

    pid_t pids[2] = {service, manager};
    const char* names[2] = {"service", "hwservicemanager"};
    for (int k = 0; k < 2; k++) {
        Usage now;
        // Settled as at the baseline: the last unplug's threads end.
        twtest::waitFor(
                [&] {
                    now = usageOf(pids[k]);
                    return now.fds == base[k].fds && now.threads == base[k].threads;
                },
                5000);
        printf("%s: after warm-up %s; after %d more cycles %s\n", names[k],
               (std::ostringstream() << base[k]).str().c_str(), kCycles - kWarmUp,
               (std::ostringstream() << now).str().c_str());
        EXPECT_EQ(base[k].fds, now.fds) << names[k];
        EXPECT_EQ(base[k].threads, now.threads) << names[k];
        EXPECT_LE(now.rssKb - base[k].rssKb, kRssToleranceKb) << names[k];
    }
    // Ctrl-C: the watcher removes its registrations and ends normally.
    watcher.kill(SIGINT, false);
    EXPECT_EQ(0, watcher.wait(20000)) << twtest::readFile(watchLog);
    printf("%d cycles in %lld ms (%lld ms per cycle after warm-up), %d calls answered\n", kCycles,
           static_cast<long long>(elapsed),
           static_cast<long long>((twtest::nowMs() - measuredStart) / (kCycles - kWarmUp)),
           answered);
}

}  // namespace
