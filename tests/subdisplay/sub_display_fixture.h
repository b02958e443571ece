/*
 * In-process fixture of the sub display tests: a Twinel object running
 * against the simulator under a temporary device root, a capture of the
 * service's log lines and a recorder of sub display state notifications.
 */
#pragma once

#include <android/log.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <twdevice/hidraw_seam.h>
#include <twsim/simulator.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <vector>

#include "Twinel.h"
#include "sub_display.h"
#include "test_util.h"

namespace subtest {

using ::android::sp;
using ::android::hardware::hidl_vec;
using ::android::hardware::Return;
using ::android::hardware::Void;
using ::vendor::zyr::hardware::twinel::V1_0::ITwinelSubDisplayCallback;
using ::vendor::zyr::hardware::twinel::V1_0::Status;
using ::vendor::zyr::hardware::twinel::V1_0::SubScreenInfo;
using ::vendor::zyr::hardware::twinel::V1_0::SubScreenState;
using ::vendor::zyr::hardware::twinel::V1_1::implementation::Twinel;
namespace impl = ::vendor::zyr::hardware::twinel::V1_1::implementation;
using Clock = std::chrono::steady_clock;

constexpr const char* kServiceTag = "vendor.zyr.hardware.twinel@1.1-service";

// Every log line of the process, kept for the assertions.
class LogCapture {
  public:
    static void install() {
        __android_log_set_minimum_priority(ANDROID_LOG_VERBOSE);
        __android_log_set_logger(&LogCapture::logger);
    }

    static std::vector<std::string> messages(const char* tag = kServiceTag) {
        std::lock_guard<std::mutex> l(lock());
        std::vector<std::string> out;
        for (const auto& line : lines()) {
            if (line.first == tag) out.push_back(line.second);
        }
        return out;
    }

    static size_t count(const std::string& message) {
        std::lock_guard<std::mutex> l(lock());
        return static_cast<size_t>(std::count_if(
                lines().begin(), lines().end(),
                [&](const auto& x) { return x.first == kServiceTag && x.second == message; }));
    }

    static size_t countPrefix(const std::string& prefix) {
        std::lock_guard<std::mutex> l(lock());
        return static_cast<size_t>(
                std::count_if(lines().begin(), lines().end(), [&](const auto& x) {
                    return x.first == kServiceTag &&
                           x.second.compare(0, prefix.size(), prefix) == 0;
                }));
    }

    // Waits until `message` was logged at least `times` times.
    static bool waitFor(const std::string& message, int timeoutMs, size_t times = 1) {
        std::unique_lock<std::mutex> l(lock());
        return cond().wait_for(l, std::chrono::milliseconds(timeoutMs), [&] {
            size_t n = 0;
            for (const auto& line : lines()) {
                if (line.first == kServiceTag && line.second == message) n++;
            }
            return n >= times;
        });
    }

    static void clear() {
        std::lock_guard<std::mutex> l(lock());
        lines().clear();
    }

  private:
    static std::mutex& lock() {
        static std::mutex m;
        return m;
    }
    static std::condition_variable& cond() {
        static std::condition_variable c;
        return c;
    }
    static std::vector<std::pair<std::string, std::string>>& lines() {
        static std::vector<std::pair<std::string, std::string>> v;
        return v;
    }
    static void logger(const struct __android_logger_data* data, const char* message) {
        {
            std::lock_guard<std::mutex> l(lock());
            lines().emplace_back(data->tag != nullptr ? data->tag : "", message);
        }
        cond().notify_all();
        __android_log_stderr_logger(data, message);
    }
};

// Records every state the service tells, with its arrival time.
struct StateRecorder : ITwinelSubDisplayCallback {
    struct Event {
        int state;
        Clock::time_point time;
    };

    Return<void> notifyStateChanged(SubScreenState state) override {
        {
            std::lock_guard<std::mutex> l(mLock);
            mEvents.push_back({static_cast<int>(state), Clock::now()});
        }
        mCond.notify_all();
        return Void();
    }

    bool waitCount(size_t n, int timeoutMs) {
        std::unique_lock<std::mutex> l(mLock);
        return mCond.wait_for(l, std::chrono::milliseconds(timeoutMs),
                              [&] { return mEvents.size() >= n; });
    }

    std::vector<Event> events() {
        std::lock_guard<std::mutex> l(mLock);
        return mEvents;
    }

    std::vector<int> states() {
        std::vector<int> out;
        for (const Event& e : events()) out.push_back(e.state);
        return out;
    }

    std::mutex mLock;
    std::condition_variable mCond;
    std::vector<Event> mEvents;
};

inline long msBetween(Clock::time_point a, Clock::time_point b) {
    return static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(b - a).count());
}

// A frame of `count` pixels with 4-bit values `nibbles[i]` in bits 4 to 7 of
// each pixel and noise in every other bit, which the packing must ignore.
inline std::vector<uint32_t> noisyFrame(const std::vector<uint8_t>& nibbles, uint32_t seed = 1) {
    std::mt19937 rng(seed);
    std::vector<uint32_t> pixels(nibbles.size());
    for (size_t i = 0; i < nibbles.size(); i++) {
        pixels[i] = (rng() & ~0xF0u) | (static_cast<uint32_t>(nibbles[i] & 0xF) << 4);
    }
    return pixels;
}

inline std::vector<uint8_t> randomNibbles(size_t count, uint32_t seed) {
    std::mt19937 rng(seed);
    std::vector<uint8_t> out(count);
    for (auto& v : out) v = static_cast<uint8_t>(rng() & 0xF);
    return out;
}

// Length and offset fields of an output report 2.
struct FrameReport {
    size_t size;
    unsigned length;
    unsigned offset;
};

inline std::vector<FrameReport> frameReports(const std::vector<twsim::HidRecord>& records) {
    std::vector<FrameReport> out;
    for (const auto& r : records) {
        if (r.op != twdevice::hidseam::kOutputReport || r.report.size() < 7) continue;
        out.push_back(
                {r.report.size(), static_cast<unsigned>(r.report[1] | (r.report[2] << 8)),
                 static_cast<unsigned>(r.report[3] | (r.report[4] << 8) | (r.report[5] << 16) |
                                       (static_cast<unsigned>(r.report[6]) << 24))});
    }
    return out;
}

inline size_t countOps(const std::vector<twsim::HidRecord>& records, uint8_t op) {
    return static_cast<size_t>(std::count_if(
            records.begin(), records.end(), [&](const twsim::HidRecord& r) { return r.op == op; }));
}

class SubDisplayTest : public ::testing::Test {
  protected:
    void SetUp() override {
        signal(SIGPIPE, SIG_IGN);
        LogCapture::install();
        LogCapture::clear();
        ASSERT_FALSE(mRoot.path().empty());
        setenv("TWINEL_DEVICE_ROOT", mRoot.path().c_str(), 1);
        mSim = std::make_unique<twsim::Simulator>(mRoot.path());
        ASSERT_TRUE(mSim->ok());
        mHal = new Twinel();
    }

    void TearDown() override {
        if (mSim) mSim->unplugAll();
        if (mHal != nullptr) {
            EXPECT_TRUE(waitState(SubScreenState::NONE, 3000));
            // As the SIGUSR1 teardown does: the stop request, then the join.
            impl::destroyThread = true;
            mHal->usbThreadJoin();
            mHal->setSubDisplayCallback(nullptr);
            mHal.clear();
        }
        mSim.reset();
    }

    // The accessory with its HID function only: the sub display is all
    // that comes up.
    static twsim::UsbIdentity hidOnly() {
        twsim::UsbIdentity id = twsim::accessoryIdentity();
        id.serialFunction = false;
        return id;
    }

    bool plug(const twsim::HidPanel& panel = twsim::HidPanel()) {
        mSim->setHidPanel(panel);
        return mSim->plug(hidOnly());
    }

    // Plugs the accessory and waits for the automatic power-on.
    void plugAndPowerOn(const twsim::HidPanel& panel = twsim::HidPanel()) {
        size_t done = LogCapture::count("setSubDisplayPowerState --");
        ASSERT_TRUE(plug(panel));
        ASSERT_TRUE(waitState(SubScreenState::ON, 3000));
        // The power sequence ends just after the state is stored.
        ASSERT_TRUE(LogCapture::waitFor("setSubDisplayPowerState --", 1000, done + 1));
        ASSERT_TRUE(powerSequenceOver());
    }

    // The automatic power sequence has ended (its flag is cleared just after
    // its last log line).
    static bool powerSequenceOver() {
        return twtest::waitFor([] { return !impl::power_state_in_progress.load(); }, 1000);
    }

    SubScreenState state() {
        SubScreenState out = static_cast<SubScreenState>(-1);
        Status status = Status::FAILURE;
        Return<void> ret = mHal->getSubDisplayPowerState([&](Status s, SubScreenState st) {
            status = s;
            out = st;
        });
        EXPECT_TRUE(ret.isOk());
        EXPECT_EQ(Status::SUCCESS, status);
        return out;
    }

    bool waitState(SubScreenState s, int timeoutMs) {
        return twtest::waitFor([&] { return state() == s; }, timeoutMs);
    }

    std::pair<Status, SubScreenInfo> info() {
        std::pair<Status, SubScreenInfo> out{Status::FAILURE, {}};
        Return<void> ret = mHal->getSubDisplayInfo([&](Status s, const SubScreenInfo& i) {
            out = {s, i};
        });
        EXPECT_TRUE(ret.isOk());
        return out;
    }

    Status draw(const std::vector<uint32_t>& pixels) {
        hidl_vec<uint32_t> v(pixels);
        Return<Status> ret = mHal->drawSubDisplay(v);
        EXPECT_TRUE(ret.isOk());
        return ret;
    }

    Status power(bool on) {
        Return<Status> ret = mHal->setSubDisplayPowerState(on);
        EXPECT_TRUE(ret.isOk());
        return ret;
    }

    Status brightness(int32_t value) {
        Return<Status> ret = mHal->setSubDisplayBrightness(value);
        EXPECT_TRUE(ret.isOk());
        return ret;
    }

    std::vector<std::vector<uint8_t>> configs() { return mSim->hidConfigReports(); }

    twtest::TempDir mRoot{"twsub"};
    std::unique_ptr<twsim::Simulator> mSim;
    sp<Twinel> mHal;
};

}  // namespace subtest
