/*
 * Touch, LPWG and kernel events against the simulator, in process: the
 * uevent worker and its parsing, callback registration, the AES and update
 * state switches, the touch diagnostics and the LPWG status relay. Each test
 * runs in a fresh process.
 */
#include <android/log.h>
#include <dirent.h>
#include <errno.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <twsim/lpwg_service.h>
#include <twsim/simulator.h>
#include <twsim/touch.h>
#include <twsim/uevent.h>
#include <unistd.h>
#include <vendor/zyr/hardware/twinel/1.0/ITwinelLpwgCallback.h>
#include <vendor/zyr/hardware/twinel/1.1/ITwinelLpwgCallback.h>

#include <atomic>
#include <condition_variable>
#include <fstream>
#include <mutex>
#include <random>
#include <thread>

#include "Twinel.h"
#include "hal_fixture.h"
#include "log_capture.h"
#include "test_util.h"

using ::android::sp;
using ::android::hardware::hidl_string;
using ::android::hardware::Return;
using ::android::hardware::Void;
using twsim::AtScript;
using twtest::LogCapture;
using ::vendor::zyr::hardware::twinel::V1_0::LpwgStatus;
using ::vendor::zyr::hardware::twinel::V1_0::Result;
using ::vendor::zyr::hardware::twinel::V1_0::Status;
using ::vendor::zyr::hardware::twinel::V1_1::implementation::destroyThread;
using ::vendor::zyr::hardware::twinel::V1_1::implementation::Twinel;
namespace V1_0 = ::vendor::zyr::hardware::twinel::V1_0;
namespace V1_1 = ::vendor::zyr::hardware::twinel::V1_1;

namespace {

const char* kSelfTestFile = "/data/vendor/touch/touch_module_self_test.txt";

struct Event {
    int version;  // 10 or 11: the method that was called
    int status;
    int result;
    bool operator==(const Event& o) const {
        return version == o.version && status == o.status && result == o.result;
    }
};

std::ostream& operator<<(std::ostream& os, const Event& e) {
    return os << "{" << e.version << ": " << e.status << ", " << e.result << "}";
}

// What the callbacks of one test received, in order.
struct EventLog {
    std::mutex lock;
    std::condition_variable cond;
    std::vector<Event> events;

    void add(Event e) {
        {
            std::lock_guard<std::mutex> l(lock);
            events.push_back(e);
        }
        cond.notify_all();
    }
    bool waitCount(size_t n, int timeoutMs = 3000) {
        std::unique_lock<std::mutex> l(lock);
        return cond.wait_for(l, std::chrono::milliseconds(timeoutMs),
                             [&] { return events.size() >= n; });
    }
    std::vector<Event> all() {
        std::lock_guard<std::mutex> l(lock);
        return events;
    }
    size_t size() {
        std::lock_guard<std::mutex> l(lock);
        return events.size();
    }
};

std::atomic<int> gCallbacksAlive{0};

struct Callback11 : V1_1::ITwinelLpwgCallback {
    explicit Callback11(EventLog* log) : mLog(log) { gCallbacksAlive++; }
    ~Callback11() override { gCallbacksAlive--; }
    Return<void> notifyEventChange(V1_0::LpwgEventStatus s, Result r) override {
        mLog->add({10, static_cast<int>(s), static_cast<int>(r)});
        return Void();
    }
    Return<void> notifyEventChange_1_1(V1_1::LpwgEventStatus s, Result r) override {
        mLog->add({11, static_cast<int>(s), static_cast<int>(r)});
        return Void();
    }
    EventLog* mLog;
};

struct Callback10 : V1_0::ITwinelLpwgCallback {
    explicit Callback10(EventLog* log) : mLog(log) { gCallbacksAlive++; }
    ~Callback10() override { gCallbacksAlive--; }
    Return<void> notifyEventChange(V1_0::LpwgEventStatus s, Result r) override {
        mLog->add({10, static_cast<int>(s), static_cast<int>(r)});
        return Void();
    }
    EventLog* mLog;
};

// A message of exactly `total` bytes holding a qualifying pen event, padded
// with a line of its own.
std::string sizedMessage(size_t total, const std::string& value = "TW_PEN_WAKEUP") {
    std::string head = twsim::ueventMessage({"SUBSYSTEM=ZYR_TW2", "TOUCH_GESTURE_WAKEUP=" + value});
    size_t pad = total - head.size() - strlen("PAD=") - 1;
    std::string m = head + "PAD=" + std::string(pad, 'x') + '\0';
    return m;
}

// The bytes of a string literal, zero bytes included (not the final one).
template <size_t N>
std::string bytes(const char (&text)[N]) {
    return std::string(text, N - 1);
}

int countEntries(const std::string& dir) {
    int n = 0;
    DIR* d = opendir(dir.c_str());
    if (d == nullptr) return -1;
    while (struct dirent* e = readdir(d)) n += e->d_name[0] != '.';
    closedir(d);
    return n;
}

class Kernel : public twtest::HalFixture {
  protected:
    Kernel() : HalFixture("twkern") {}

    void SetUp() override {
        signal(SIGPIPE, SIG_IGN);
        HalFixture::SetUp();
    }

    void TearDown() override {
        if (mHal != nullptr) {
            Return<void> r = mHal->setLpwgCallback(nullptr);
            EXPECT_TRUE(r.isOk());
        }
        HalFixture::TearDown();
    }

    // Starts the HAL with the accessory plugged and its AT channel up.
    void startReady() {
        mHal = new Twinel();
        ASSERT_TRUE(mSim->plug());
        ASSERT_TRUE(mSim->waitForNodeRecords(twsim::kHalReadyNode, 1, 5000));
        // The bring-up ends with the touch update state and its status line.
        ASSERT_TRUE(LogCapture::waitFor("status = ", 5000, ANDROID_LOG_ERROR));
        mSim->clearAtCommands();
        mSim->clearNodeRecords();
        LogCapture::clear();
    }

    // Unplugs the accessory and waits until the AT channel is down.
    void unplug() {
        ASSERT_TRUE(mSim->unplug());
        ASSERT_TRUE(twtest::waitFor([&] { return !mHal->mSerialAttached; }, 3000));
        mSim->clearAtCommands();
        LogCapture::clear();
    }

    void registerCallback(const sp<V1_0::ITwinelLpwgCallback>& cb, int listeners = 1) {
        ASSERT_TRUE(mHal->setLpwgCallback(cb).isOk());
        ASSERT_TRUE(twsim::waitForUeventListeners(*mSim, listeners, 3000));
    }

    void send(const std::string& message) { ASSERT_EQ(1, twsim::sendUevent(*mSim, message)); }

    // Sends a qualifying message without the gesture key and waits for its
    // "cp1 = " line: the worker handles messages one after another, so every
    // message sent before it has been handled (callbacks included) by then.
    // It adds one "uevent received" and one "cp1 = " line, and no event.
    void sync() {
        std::string tag = "SYNC=" + std::to_string(++mSyncs) + ";";
        send(twsim::ueventMessage({"SUBSYSTEM=ZYR_TW2", tag}));
        ASSERT_TRUE(LogCapture::waitFor("cp1 = " + tag, 3000));
    }

    std::vector<std::string> commands() {
        std::vector<std::string> out;
        for (const auto& r : mSim->atCommands()) out.push_back(r.command);
        return out;
    }

    std::vector<std::string> values(const std::string& node) {
        std::vector<std::string> v;
        for (const auto& r : mSim->nodeRecords(node)) v.push_back(r.value);
        return v;
    }

    // Captured messages of the service's own tag containing `text`, in order.
    std::vector<std::string> messages(const std::string& text, int priority = 0) {
        std::vector<std::string> out;
        for (const auto& l : LogCapture::lines()) {
            if (l.tag != "vendor.zyr.hardware.twinel@1.1-service") continue;
            if (priority != 0 && l.priority != priority) continue;
            if (l.message.find(text) != std::string::npos) out.push_back(l.message);
        }
        return out;
    }

    std::string real(const std::string& logical) { return mSim->path(logical); }

    EventLog mEvents;
    int mSyncs = 0;
};

// --- uevent worker and parsing ---

TEST_F(Kernel, WakeupReachesThe11CallbackWithItsLogLines) {
    startReady();
    sp<Callback11> cb = new Callback11(&mEvents);
    registerCallback(cb);
    EXPECT_EQ(1, LogCapture::count("Registering 1.1 callback", ANDROID_LOG_DEBUG));
    EXPECT_EQ(1, LogCapture::count("registering callback", ANDROID_LOG_INFO));
    EXPECT_LT(LogCapture::indexOf("Registering 1.1 callback"),
              LogCapture::indexOf("registering callback"));
    EXPECT_EQ(1, LogCapture::count("creating thread", ANDROID_LOG_ERROR));

    send(twsim::touchUevent("WAKEUP"));
    ASSERT_TRUE(mEvents.waitCount(1));
    EXPECT_EQ(std::vector<Event>{(Event{11, 0, 0})}, mEvents.all());
    EXPECT_EQ(std::vector<std::string>{"uevent received SUBSYSTEM=ZYR_TW2"},
              messages("uevent received", ANDROID_LOG_ERROR));
    EXPECT_EQ(std::vector<std::string>{"cp1 = TOUCH_GESTURE_WAKEUP=WAKEUP"},
              messages("cp1 = ", ANDROID_LOG_ERROR));
    EXPECT_EQ(std::vector<std::string>{"Uevent_msg = WAKEUP"},
              messages("Uevent_msg = ", ANDROID_LOG_ERROR));
    // Nothing went to the accessory for a callback event.
    EXPECT_TRUE(commands().empty());
}

TEST_F(Kernel, ValueTableIsExactAndCaseSensitive) {
    startReady();
    sp<Callback11> cb = new Callback11(&mEvents);
    registerCallback(cb);
    const std::vector<std::pair<std::string, Event>> cases = {
            {"WAKEUP", {11, 0, 0}},
            {"TW_PEN_WAKEUP", {11, 1, 0}},
            {"TW_PEN_WAKEUP_BTN", {11, 2, 0}},
            {"TW_PEN_DETECTION", {11, 3, 0}},
            {"wakeup", {11, -1, -1}},
            {"WAKEUP ", {11, -1, -1}},
            {" WAKEUP", {11, -1, -1}},
            {"WAKEUPX", {11, -1, -1}},
            {"TW_PEN", {11, -1, -1}},
            {"", {11, -1, -1}},
            {"\x01\xff", {11, -1, -1}},
    };
    std::vector<Event> expected;
    for (const auto& c : cases) {
        send(twsim::touchUevent(c.first));
        expected.push_back(c.second);
    }
    ASSERT_TRUE(mEvents.waitCount(expected.size()));
    EXPECT_EQ(expected, mEvents.all());
}

TEST_F(Kernel, A10OnlyCallbackGetsTheSameNumbersThroughNotifyEventChange) {
    startReady();
    sp<Callback10> cb = new Callback10(&mEvents);
    registerCallback(cb);
    EXPECT_EQ(1, LogCapture::count("Registering 1.0 callback", ANDROID_LOG_DEBUG));
    EXPECT_EQ(0, LogCapture::count("Registering 1.1 callback"));
    for (const char* v :
         {"WAKEUP", "TW_PEN_WAKEUP", "TW_PEN_WAKEUP_BTN", "TW_PEN_DETECTION", "SOMETHING"}) {
        send(twsim::touchUevent(v));
    }
    ASSERT_TRUE(mEvents.waitCount(5));
    EXPECT_EQ((std::vector<Event>{{10, 0, 0}, {10, 1, 0}, {10, 2, 0}, {10, 3, 0}, {10, -1, -1}}),
              mEvents.all());
}

TEST_F(Kernel, MessagesOf2048BytesOrMoreAreIgnoredAnd2047IsProcessed) {
    startReady();
    sp<Callback11> cb = new Callback11(&mEvents);
    registerCallback(cb);
    std::string m2047 = sizedMessage(2047);
    std::string m2048 = sizedMessage(2048, "WAKEUP");
    ASSERT_EQ(2047u, m2047.size());
    ASSERT_EQ(2048u, m2048.size());
    send(m2048);
    send(sizedMessage(2049, "WAKEUP"));
    send(sizedMessage(65536, "WAKEUP"));
    send(m2047);
    ASSERT_TRUE(mEvents.waitCount(1));
    sync();
    EXPECT_EQ(std::vector<Event>{(Event{11, 1, 0})}, mEvents.all());
    // The ignored ones left no trace at all.
    EXPECT_EQ(2, LogCapture::count("uevent received"));  // the 2047 one and the sync
}

TEST_F(Kernel, OnlyTheFirstSubsystemLineAndTheLineAfterItCount) {
    startReady();
    sp<Callback11> cb = new Callback11(&mEvents);
    registerCallback(cb);
    send(twsim::ueventMessage({"change@/devices/x", "SUBSYSTEM=ZYR_TW2",
                               "TOUCH_GESTURE_WAKEUP=TW_PEN_WAKEUP_BTN", "SUBSYSTEM=ZYR_TW2",
                               "TOUCH_GESTURE_WAKEUP=WAKEUP"}));
    // The key must be on the line right after the subsystem line.
    send(twsim::ueventMessage(
            {"SUBSYSTEM=ZYR_TW2", "ACTION=change", "TOUCH_GESTURE_WAKEUP=WAKEUP"}));
    // The subsystem text anywhere in a line qualifies it.
    send(twsim::ueventMessage({"X_SUBSYSTEM=ZYR_TW2_Y", "A TOUCH_GESTURE_WAKEUP=TW_PEN_WAKEUP"}));
    sync();
    EXPECT_EQ((std::vector<Event>{{11, 2, 0}, {11, 1, 0}}), mEvents.all());
    EXPECT_EQ(std::vector<std::string>{"cp1 = ACTION=change"}, messages("cp1 = ACTION"));
}

TEST_F(Kernel, AnotherSubsystemLogsNothing) {
    startReady();
    sp<Callback11> cb = new Callback11(&mEvents);
    registerCallback(cb);
    LogCapture::clear();
    send(twsim::ueventMessage({"change@/devices/virtual/input/input3", "ACTION=change",
                               "SUBSYSTEM=input", "TOUCH_GESTURE_WAKEUP=WAKEUP"}));
    send(twsim::ueventMessage({"SUBSYSTEM=ZYR_TW", "TOUCH_GESTURE_WAKEUP=WAKEUP"}));
    // An empty first line ends the message before the subsystem line.
    send(bytes("\0SUBSYSTEM=ZYR_TW2\0TOUCH_GESTURE_WAKEUP=WAKEUP\0"));
    sync();
    EXPECT_TRUE(mEvents.all().empty());
    // Only the sync event's own lines were logged.
    EXPECT_EQ(1, LogCapture::count("uevent received"));
    EXPECT_EQ(1, LogCapture::count("cp1 = "));
    EXPECT_EQ(0, LogCapture::count("Uevent_msg = "));
}

TEST_F(Kernel, MissingKeyOrMissingNextLineDropsTheEventAfterItsLogLines) {
    startReady();
    sp<Callback11> cb = new Callback11(&mEvents);
    registerCallback(cb);
    // No key on the next line.
    send(twsim::ueventMessage({"SUBSYSTEM=ZYR_TW2", "SEQNUM=77"}));
    // No next line: the subsystem line ends the message, with and without
    // its terminator, or is followed by an empty line.
    send(twsim::ueventMessage({"ACTION=change", "SUBSYSTEM=ZYR_TW2"}));
    send(std::string("SUBSYSTEM=ZYR_TW2"));
    send(bytes("SUBSYSTEM=ZYR_TW2\0\0TOUCH_GESTURE_WAKEUP=WAKEUP\0"));
    // A key with no value: an unknown (empty) value.
    send(twsim::ueventMessage({"SUBSYSTEM=ZYR_TW2", "TOUCH_GESTURE_WAKEUP="}));
    // A next line without a terminator at the message's end.
    send(bytes("SUBSYSTEM=ZYR_TW2\0TOUCH_GESTURE_WAKEUP=TW_PEN_WAKEUP"));
    sync();
    EXPECT_EQ((std::vector<Event>{{11, -1, -1}, {11, 1, 0}}), mEvents.all());
    EXPECT_EQ(7, LogCapture::count("uevent received SUBSYSTEM=ZYR_TW2"));
    EXPECT_EQ(1, LogCapture::count("cp1 = SEQNUM=77"));
    EXPECT_EQ(4, LogCapture::count("cp1 = "));  // SEQNUM, empty value, unterminated, sync
    EXPECT_EQ(2, LogCapture::count("Uevent_msg = "));
}

// The rules of the handler, written down independently: the event a message
// gives, if any.
bool expectedEvent(const std::string& m, Event* out) {
    if (m.empty() || m.size() >= 2048) return false;
    std::string buf = m + std::string(2, '\0');
    size_t pos = 0;
    while (pos < m.size()) {
        std::string line(buf.c_str() + pos);
        if (line.empty()) return false;
        if (line.find("SUBSYSTEM=ZYR_TW2") != std::string::npos) {
            std::string next(buf.c_str() + pos + line.size() + 1);
            if (next.empty()) return false;
            size_t k = next.find("TOUCH_GESTURE_WAKEUP=");
            if (k == std::string::npos) return false;
            std::string value = next.substr(k + strlen("TOUCH_GESTURE_WAKEUP="));
            static const char* kNames[] = {"WAKEUP", "TW_PEN_WAKEUP", "TW_PEN_WAKEUP_BTN",
                                           "TW_PEN_DETECTION"};
            *out = {11, -1, -1};
            for (int i = 0; i < 4; i++) {
                if (value == kNames[i]) *out = {11, i, 0};
            }
            return true;
        }
        pos += line.size() + 1;
    }
    return false;
}

TEST_F(Kernel, RandomMessagesGiveExactlyTheSpecifiedEvents) {
    startReady();
    sp<Callback11> cb = new Callback11(&mEvents);
    registerCallback(cb);
    std::mt19937 rng(20260301);
    auto pick = [&](size_t n) { return static_cast<size_t>(rng() % n); };
    const std::vector<std::string> pieces = {"SUBSYSTEM=ZYR_TW2",
                                             "TOUCH_GESTURE_WAKEUP=",
                                             "WAKEUP",
                                             "TW_PEN_WAKEUP",
                                             "TW_PEN_DETECTION",
                                             std::string(1, '\0'),
                                             "ACTION=change",
                                             "\n",
                                             "="};
    std::vector<Event> expected;
    for (int i = 0; i < 400; i++) {
        std::string m;
        size_t len = pick(10) == 0 ? 1500 + pick(3000) : pick(200);
        while (m.size() < len) {
            if (pick(4) == 0) {
                m += pieces[pick(pieces.size())];
            } else {
                m += static_cast<char>(rng() & 0xff);
            }
        }
        if (pick(20) == 0) m = std::string(pick(3) == 0 ? 0 : 70000, 'A');
        // A value that would switch the pen or update the touch state would
        // send AT commands; random bytes practically never spell one.
        if (m.find("SWITCH_AES") != std::string::npos || m.find("TW_UPDATE") != std::string::npos) {
            continue;
        }
        ASSERT_EQ(1, twsim::sendUevent(*mSim, m)) << i;
        Event e;
        if (expectedEvent(m, &e)) expected.push_back(e);
        // Keep the listener's queue short.
        if (i % 16 == 15) sync();
    }
    sync();
    EXPECT_EQ(expected, mEvents.all());
    EXPECT_GT(expected.size(), 10u);
}

// --- registration, replacement and removal ---

TEST_F(Kernel, ReplacingTheCallbackKeepsTheWorker) {
    startReady();
    EventLog first;
    sp<Callback11> cb1 = new Callback11(&first);
    registerCallback(cb1);
    sp<Callback10> cb2 = new Callback10(&mEvents);
    ASSERT_TRUE(mHal->setLpwgCallback(cb2).isOk());
    EXPECT_EQ(1, LogCapture::count("registering callback"));
    EXPECT_EQ(1, LogCapture::count("creating thread"));
    EXPECT_EQ(1, twsim::ueventListeners(*mSim));
    send(twsim::touchUevent("WAKEUP"));
    ASSERT_TRUE(mEvents.waitCount(1));
    EXPECT_EQ(std::vector<Event>{(Event{10, 0, 0})}, mEvents.all());
    EXPECT_TRUE(first.all().empty());
    // The replaced callback is no longer referenced.
    cb1 = nullptr;
    EXPECT_TRUE(twtest::waitFor([&] { return gCallbacksAlive == 1; }, 1000));
}

TEST_F(Kernel, RemovingTheCallbackJoinsTheWorkerAndALaterOneStartsAFreshWorker) {
    startReady();
    sp<Callback11> cb = new Callback11(&mEvents);
    registerCallback(cb);
    ASSERT_TRUE(mHal->setLpwgCallback(nullptr).isOk());
    // setLpwgCallback returns after the join.
    EXPECT_EQ(1, LogCapture::count("destroy set", ANDROID_LOG_INFO));
    EXPECT_EQ(1, LogCapture::count("exiting worker thread", ANDROID_LOG_INFO));
    EXPECT_EQ(1, LogCapture::count("pthread destroyed", ANDROID_LOG_INFO));
    EXPECT_LT(LogCapture::indexOf("exiting worker thread"),
              LogCapture::indexOf("pthread destroyed"));
    EXPECT_EQ(2, LogCapture::count("registering callback"));
    EXPECT_EQ(0, twsim::ueventListeners(*mSim));
    EXPECT_EQ(0, twsim::sendUevent(*mSim, twsim::touchUevent("WAKEUP")));

    // Null again: only the store.
    ASSERT_TRUE(mHal->setLpwgCallback(nullptr).isOk());
    EXPECT_EQ(2, LogCapture::count("registering callback"));

    sp<Callback10> again = new Callback10(&mEvents);
    registerCallback(again);
    EXPECT_EQ(2, LogCapture::count("creating thread"));
    send(twsim::touchUevent("TW_PEN_WAKEUP"));
    ASSERT_TRUE(mEvents.waitCount(1));
    EXPECT_EQ(std::vector<Event>{(Event{10, 1, 0})}, mEvents.all());
}

int countFds() {
    return countEntries("/proc/self/fd");
}

int countThreads() {
    return countEntries("/proc/self/task");
}

TEST_F(Kernel, RegisterAndUnregisterInATightLoopWhileUeventsFlow) {
    startReady();
    // The service's log capture settles in after the bring-up; then the
    // baseline.
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    int fds = countFds();
    int threads = countThreads();
    std::atomic<bool> stop{false};
    std::atomic<int> sent{0};
    std::thread sender([&] {
        while (!stop) {
            if (twsim::sendUevent(*mSim, twsim::touchUevent("WAKEUP")) > 0) sent++;
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
    });
    int64_t start = twtest::nowMs();
    for (int i = 0; i < 150; i++) {
        sp<V1_0::ITwinelLpwgCallback> cb;
        if (i % 2) {
            cb = new Callback11(&mEvents);
        } else {
            cb = new Callback10(&mEvents);
        }
        ASSERT_TRUE(mHal->setLpwgCallback(cb).isOk());
        if (i % 10 == 0) {
            // Now and then long enough for events to get through.
            ASSERT_TRUE(twsim::waitForUeventListeners(*mSim, 1, 3000));
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        ASSERT_TRUE(mHal->setLpwgCallback(nullptr).isOk());
    }
    int64_t took = twtest::nowMs() - start;
    stop = true;
    sender.join();
    EXPECT_LT(took, 3000);
    EXPECT_GT(sent.load(), 0);
    EXPECT_GT(mEvents.size(), 0u);
    EXPECT_EQ(150, LogCapture::count("pthread destroyed"));
    EXPECT_EQ(150, LogCapture::count("exiting worker thread"));
    EXPECT_EQ(fds, countFds());
    EXPECT_EQ(threads, countThreads());
    EXPECT_TRUE(twtest::waitFor([&] { return gCallbacksAlive == 0; }, 1000));

    // Still serving afterwards.
    {
        std::lock_guard<std::mutex> l(mEvents.lock);
        mEvents.events.clear();
    }
    sp<Callback11> cb = new Callback11(&mEvents);
    registerCallback(cb);
    send(twsim::touchUevent("TW_PEN_WAKEUP_BTN"));
    ASSERT_TRUE(mEvents.waitCount(1));
    EXPECT_EQ((Event{11, 2, 0}), mEvents.all().back());
}

TEST_F(Kernel, ReplacingCallbacksWhileTheWorkerUsesThemIsSafe) {
    startReady();
    sp<Callback11> first = new Callback11(&mEvents);
    registerCallback(first);
    first = nullptr;
    std::atomic<bool> stop{false};
    std::atomic<int> sent{0};
    std::thread sender([&] {
        while (!stop) {
            twsim::sendUevent(*mSim, twsim::touchUevent("WAKEUP"));
            sent++;
            std::this_thread::sleep_for(std::chrono::microseconds(100));
        }
    });
    // Each replacement drops the last reference to the previous callback;
    // the worker must still hold its own while it calls it. The sender may
    // be scheduled late on a loaded machine: replacing goes on until it has
    // sent a few events meanwhile.
    for (int i = 0; i < 2000 || (sent < 20 && i < 200000); i++) {
        sp<V1_0::ITwinelLpwgCallback> cb;
        if (i % 2) {
            cb = new Callback11(&mEvents);
        } else {
            cb = new Callback10(&mEvents);
        }
        ASSERT_TRUE(mHal->setLpwgCallback(cb).isOk());
    }
    stop = true;
    sender.join();
    sync();
    EXPECT_GT(mEvents.size(), 0u);
    EXPECT_EQ(1, LogCapture::count("creating thread"));
    for (const Event& e : mEvents.all()) EXPECT_EQ(0, e.status);
    ASSERT_TRUE(mHal->setLpwgCallback(nullptr).isOk());
    EXPECT_TRUE(twtest::waitFor([&] { return gCallbacksAlive == 0; }, 1000));
}

TEST_F(Kernel, AForeignSigusr1HandlerDoesNotKeepTheWorkerAlive) {
    startReady();
    sp<Callback11> cb = new Callback11(&mEvents);
    registerCallback(cb);
    // A second HAL object (passthrough open) installs its own SIGUSR1
    // handler; the stop must still reach the worker.
    struct sigaction sa = {};
    sa.sa_handler = [](int) {};
    sigemptyset(&sa.sa_mask);
    ASSERT_EQ(0, sigaction(SIGUSR1, &sa, nullptr));
    ASSERT_TRUE(mHal->setLpwgCallback(nullptr).isOk());
    EXPECT_EQ(1, LogCapture::count("pthread destroyed"));
    EXPECT_EQ(0, twsim::ueventListeners(*mSim));
}

TEST_F(Kernel, AnOutsideSigusr1StopsTheWorkerAtItsNextWakeUp) {
    startReady();
    sp<Callback11> cb = new Callback11(&mEvents);
    registerCallback(cb);
    // Delivered to this (non-worker) thread: the flag is set, nothing is
    // logged from the handler itself.
    ASSERT_EQ(0, raise(SIGUSR1));
    EXPECT_EQ(0, LogCapture::count("destroy set"));
    send(twsim::touchUevent("WAKEUP"));
    ASSERT_TRUE(LogCapture::waitFor("exiting worker thread", 3000));
    EXPECT_EQ(1, LogCapture::count("destroy set", ANDROID_LOG_INFO));
    // The registration stays; removing it still joins the ended worker.
    ASSERT_TRUE(mHal->setLpwgCallback(nullptr).isOk());
    EXPECT_EQ(1, LogCapture::count("pthread destroyed"));
}

// --- AES switches and the update state from uevents ---

TEST_F(Kernel, PenSwitchEventsDriveTheAccessoryAndTheAesNode) {
    startReady();
    sp<Callback11> cb = new Callback11(&mEvents);
    registerCallback(cb);

    send(twsim::touchUevent("SWITCH_AES_TO_2"));
    ASSERT_TRUE(mSim->waitForNodeRecords(twsim::kAesModeNode, 1, 3000));
    send(twsim::touchUevent("SWITCH_AES_TO_1"));
    ASSERT_TRUE(mSim->waitForNodeRecords(twsim::kAesModeNode, 2, 3000));
    send(twsim::touchUevent("SWITCH_AES_BOTH"));
    ASSERT_TRUE(mSim->waitForNodeRecords(twsim::kAesModeNode, 3, 3000));
    ASSERT_TRUE(mSim->setTouchUpdateState("5 6\n"));
    send(twsim::touchUevent("TW_UPDATE_STATE"));
    sync();

    EXPECT_EQ((std::vector<std::string>{"AT%TCHNOTIFY=SWTICH_AES,2", "AT%TCHNOTIFY=SWTICH_AES,1",
                                        "AT%TCHNOTIFY=SWTICH_AES,2",
                                        "AT%TCHUPDATE=UPDATE_STATE,5,6"}),
              commands());
    // To 1 writes "0", not "1".
    EXPECT_EQ((std::vector<std::string>{"2", "0", "2"}), values(twsim::kAesModeNode));
    EXPECT_EQ(4, LogCapture::count("status = 0", ANDROID_LOG_ERROR));
    EXPECT_EQ(1, LogCapture::count("manageAesMode : ATCMD_Status : 0, sysNodeError : 0"));
    // None of them reached the callback.
    EXPECT_TRUE(mEvents.all().empty());
}

TEST_F(Kernel, AFailedPenSwitchLeavesTheAesNodeAlone) {
    startReady();
    sp<Callback11> cb = new Callback11(&mEvents);
    registerCallback(cb);
    AtScript refuse;
    refuse.match = "AT%TCHNOTIFY=SWTICH_AES";
    refuse.action = AtScript::Action::Error;
    mSim->setAtScript(refuse);
    send(twsim::touchUevent("SWITCH_AES_TO_2"));
    send(twsim::touchUevent("SWITCH_AES_TO_1"));
    sync();
    EXPECT_EQ(2, LogCapture::count("status = 1", ANDROID_LOG_ERROR));
    EXPECT_TRUE(values(twsim::kAesModeNode).empty());
    EXPECT_TRUE(mEvents.all().empty());
}

// --- setAesMode, manageAesMode, tw_update_state ---

Status statusOf(Return<Status> r) {
    EXPECT_TRUE(r.isOk());
    return r.isOk() ? static_cast<Status>(r) : Status::FAILURE;
}

TEST_F(Kernel, SetAesModeForwardsAnyNumber) {
    startReady();
    EXPECT_EQ(Status::SUCCESS, statusOf(mHal->setAesMode(7)));
    EXPECT_EQ(Status::SUCCESS, statusOf(mHal->setAesMode(4294967295u)));
    EXPECT_EQ((std::vector<std::string>{"AT%TCHNOTIFY=SWTICH_AES,7",
                                        "AT%TCHNOTIFY=SWTICH_AES,4294967295"}),
              commands());
    EXPECT_EQ(1, LogCapture::count("setAesMode: AT%TCHNOTIFY=SWTICH_AES,7\r "));
    AtScript refuse;
    refuse.match = "AT%TCHNOTIFY=SWTICH_AES";
    refuse.action = AtScript::Action::Error;
    mSim->setAtScript(refuse);
    EXPECT_EQ(Status::FAILURE, statusOf(mHal->setAesMode(1)));
}

TEST_F(Kernel, ManageAesModeWithoutThePhoneService) {
    startReady();
    const std::vector<std::pair<uint32_t, std::string>> cases = {
            {1, "0"}, {2, "2"}, {0, "2"}, {3, "2"}, {4294967295u, "2"}};
    size_t n = 0;
    for (const auto& c : cases) {
        EXPECT_EQ(Status::SUCCESS, statusOf(mHal->manageAesMode(c.first)));
        ASSERT_TRUE(mSim->waitForNodeRecords(twsim::kAesModeNode, ++n, 3000));
        EXPECT_EQ(c.second, values(twsim::kAesModeNode).back()) << c.first;
        EXPECT_EQ(std::string("AT%TCHNOTIFY=SWTICH_AES,") + (c.first == 1 ? "1" : "2"),
                  commands().back());
    }
    EXPECT_EQ(5, LogCapture::count("manageAesMode : ATCMD_Status : 0, sysNodeError : 0\n",
                                   ANDROID_LOG_DEBUG));
}

TEST_F(Kernel, ManageAesModeWithTheAccessoryAbsentStillSwitchesThePhoneSide) {
    startReady();
    unplug();
    EXPECT_EQ(Status::FAILURE, statusOf(mHal->manageAesMode(1)));
    ASSERT_TRUE(mSim->waitForNodeRecords(twsim::kAesModeNode, 1, 3000));
    EXPECT_EQ("0", values(twsim::kAesModeNode).back());
    EXPECT_EQ(1, LogCapture::count("manageAesMode : ATCMD_Status : 1, sysNodeError : 0"));
    EXPECT_TRUE(commands().empty());
}

class KernelWithManager : public Kernel {
  protected:
    void SetUp() override {
        Kernel::SetUp();
        mEnv = {"TWINEL_DEVICE_ROOT=" + mRoot.path()};
        ASSERT_TRUE(mManager.start({twtest::binDir() + "/hwservicemanager"}, mEnv,
                                   mRoot.path() + "/servicemanager.log"));
        ASSERT_TRUE(twtest::waitFor(
                [&] {
                    return access((mRoot.path() + "/dev/socket/hwbinder/hwservicemanager").c_str(),
                                  F_OK) == 0;
                },
                5000));
    }
    std::vector<std::string> mEnv;
    twtest::Child mManager;
};

TEST_F(KernelWithManager, ManageAesModeSetsAllThreePartiesInTheirOrder) {
    twsim::LpwgService lpwg;
    lpwg.setNodeError(-3);
    // The manager's socket may be there a moment before it serves.
    ASSERT_TRUE(twtest::waitFor([&] { return lpwg.registerService("default"); }, 5000));
    startReady();

    EXPECT_EQ(Status::SUCCESS, statusOf(mHal->manageAesMode(1)));
    EXPECT_EQ(std::vector<uint32_t>{2}, lpwg.aesModes());
    ASSERT_TRUE(mSim->waitForNodeRecords(twsim::kAesModeNode, 1, 3000));
    EXPECT_EQ(1, LogCapture::count("manageAesMode : ATCMD_Status : 0, sysNodeError : -3"));

    LogCapture::clear();
    EXPECT_EQ(Status::SUCCESS, statusOf(mHal->manageAesMode(2)));
    EXPECT_EQ((std::vector<uint32_t>{2, 0}), lpwg.aesModes());
    ASSERT_TRUE(mSim->waitForNodeRecords(twsim::kAesModeNode, 2, 3000));
    // Mode 1: the accessory first, then the phone; mode 2 the other way round.
    std::vector<twsim::AtRecord> at = mSim->atCommands();
    std::vector<twsim::Clock::time_point> phone = lpwg.aesModeTimes();
    ASSERT_EQ(2u, at.size());
    ASSERT_EQ(2u, phone.size());
    EXPECT_LT(at[0].time, phone[0]);
    EXPECT_LT(phone[1], at[1].time);
    EXPECT_EQ((std::vector<std::string>{"0", "2"}), values(twsim::kAesModeNode));
    EXPECT_EQ((std::vector<std::string>{"AT%TCHNOTIFY=SWTICH_AES,1", "AT%TCHNOTIFY=SWTICH_AES,2"}),
              commands());

    // Accessory absent: the phone is still asked, the result is the
    // accessory's.
    unplug();
    EXPECT_EQ(Status::FAILURE, statusOf(mHal->manageAesMode(1)));
    EXPECT_EQ((std::vector<uint32_t>{2, 0, 2}), lpwg.aesModes());
    EXPECT_EQ(1, LogCapture::count("manageAesMode : ATCMD_Status : 1, sysNodeError : -3"));
}

TEST_F(KernelWithManager, ThePhoneServiceDyingInTheCallDoesNotStopTheSwitch) {
    twtest::Child server;
    ASSERT_TRUE(server.startPiped({twtest::binDir() + "/lpwg_server", "--die-in-call"}, mEnv,
                                  mRoot.path() + "/lpwg_server.log"));
    std::string line;
    ASSERT_TRUE(server.readLine(&line, 5000));
    ASSERT_EQ("ready", line);
    startReady();

    EXPECT_EQ(Status::SUCCESS, statusOf(mHal->manageAesMode(2)));
    ASSERT_TRUE(mSim->waitForNodeRecords(twsim::kAesModeNode, 1, 3000));
    EXPECT_EQ("2", values(twsim::kAesModeNode).back());
    EXPECT_EQ(std::vector<std::string>{"AT%TCHNOTIFY=SWTICH_AES,2"}, commands());
    EXPECT_EQ(1, LogCapture::count("manageAesMode: ILpwg setAesMode(0):", ANDROID_LOG_ERROR));
    EXPECT_EQ(1, LogCapture::count("manageAesMode : ATCMD_Status : 0, sysNodeError : -32"));
    EXPECT_TRUE(twtest::waitFor([&] { return !server.running(); }, 3000));

    // Gone for good now: looked up as absent, or failing in transport.
    EXPECT_EQ(Status::SUCCESS, statusOf(mHal->manageAesMode(1)));
    ASSERT_TRUE(mSim->waitForNodeRecords(twsim::kAesModeNode, 2, 3000));
    EXPECT_EQ("0", values(twsim::kAesModeNode).back());
}

TEST_F(Kernel, UpdateStateNodeTexts) {
    startReady();
    const std::vector<std::pair<std::string, std::string>> cases = {
            {"1 0 3\n", "AT%TCHUPDATE=UPDATE_STATE,1,0,3"},
            {"", "AT%TCHUPDATE=UPDATE_STATE"},
            {"\n", "AT%TCHUPDATE=UPDATE_STATE"},
            {"   \t 12\t\n  13   ", "AT%TCHUPDATE=UPDATE_STATE,12,13"},
            {"4 5 x 6", "AT%TCHUPDATE=UPDATE_STATE,4,5"},
            {"x 1 2", "AT%TCHUPDATE=UPDATE_STATE"},
            {"-7 +8 -2147483648 2147483647",
             "AT%TCHUPDATE=UPDATE_STATE,-7,8,-2147483648,2147483647"},
            {"2147483648 1", "AT%TCHUPDATE=UPDATE_STATE"},
            {"1 -2147483649", "AT%TCHUPDATE=UPDATE_STATE,1"},
            {"007 0x10", "AT%TCHUPDATE=UPDATE_STATE,7,0"},
            {std::string("\0\x01\xff 5", 5), "AT%TCHUPDATE=UPDATE_STATE"},
            {std::string("9\0 5", 4), "AT%TCHUPDATE=UPDATE_STATE,9"},
    };
    for (const auto& c : cases) {
        ASSERT_TRUE(mSim->setTouchUpdateState(c.first));
        mSim->clearAtCommands();
        EXPECT_EQ(Status::SUCCESS, statusOf(mHal->tw_update_state())) << c.first;
        EXPECT_EQ(std::vector<std::string>{c.second}, commands()) << c.first;
    }
    EXPECT_EQ(static_cast<int>(cases.size()),
              LogCapture::count("tw_update_state : ATCMD_Status : 0, sysNodeError : 0\n"));
    EXPECT_EQ(1, LogCapture::count("tw_update_state: AT%TCHUPDATE=UPDATE_STATE,1,0,3\r "));
}

TEST_F(Kernel, UpdateStateNodeMissingHugeOrAccessoryAbsent) {
    startReady();
    // Too many numbers for one command: nothing reaches the accessory.
    std::string huge;
    for (int i = 0; i < 20000; i++) huge += std::to_string(i % 10) + " ";
    ASSERT_TRUE(mSim->setTouchUpdateState(huge));
    EXPECT_EQ(Status::FAILURE, statusOf(mHal->tw_update_state()));
    EXPECT_TRUE(commands().empty());
    EXPECT_EQ(1, LogCapture::count("cut at 1023", ANDROID_LOG_ERROR));

    ASSERT_EQ(0, unlink(real(twsim::kTouchUpdateStateNode).c_str()));
    EXPECT_EQ(Status::FAILURE, statusOf(mHal->tw_update_state()));
    EXPECT_EQ(1, LogCapture::count("tw_update_state : ATCMD_Status : 1, sysNodeError : -1\n"));
    EXPECT_TRUE(commands().empty());

    ASSERT_TRUE(mSim->setTouchUpdateState("2 2"));
    unplug();
    EXPECT_EQ(Status::FAILURE, statusOf(mHal->tw_update_state()));
    EXPECT_EQ(1, LogCapture::count("tw_update_state : ATCMD_Status : 1, sysNodeError : 0\n"));
}

TEST_F(Kernel, UnreadableUpdateStateNodeIsNotSent) {
    startReady();
    ASSERT_TRUE(mSim->setTouchUpdateState("1 1"));
    ASSERT_EQ(0, chmod(real(twsim::kTouchUpdateStateNode).c_str(), 0200));
    // The temporary root is private to its owner; the other user has to
    // reach the node.
    ASSERT_EQ(0, chmod(mRoot.path().c_str(), 0755));
    // Root reads everything: look as an ordinary user.
    Status status = Status::SUCCESS;
    bool callOk = false;
    LogCapture::clear();
    ASSERT_TRUE(twtest::asOrdinaryUser([&] {
        Return<Status> r = mHal->tw_update_state();
        callOk = r.isOk();
        if (callOk) status = r;
    }));
    EXPECT_TRUE(callOk);
    EXPECT_EQ(Status::FAILURE, status);
    EXPECT_TRUE(LogCapture::contains("tw_update_state : ATCMD_Status : 1, sysNodeError : -4"));
    EXPECT_TRUE(commands().empty());
}

// --- touch diagnostics ---

TEST_F(Kernel, TextQueriesHandTheReplyToTheCallback) {
    startReady();
    mSim->setAtScript(twsim::touchReplyScript("AT%TCHNOTIFY=SD", "SD: PASS"));
    mSim->setAtScript(twsim::touchReplyScript("AT%TCHNOTIFY=LPWG_SD", "LPWG SD: FAIL 3"));
    struct Got {
        int calls = 0;
        Status status = Status::FAILURE;
        std::string text;
    };
    auto query = [&](auto method) {
        Got g;
        Return<void> r = ((*mHal).*method)([&](Status s, const hidl_string& t) {
            g.calls++;
            g.status = s;
            g.text = t;
        });
        EXPECT_TRUE(r.isOk());
        return g;
    };
    Got fw = query(&Twinel::getTouchFirmwareVersion);
    EXPECT_EQ(1, fw.calls);
    EXPECT_EQ(Status::SUCCESS, fw.status);
    EXPECT_EQ("TOUCH FW:0x0102 CONFIG:0x21", fw.text);
    Got gpio = query(&Twinel::getGpiopin);
    EXPECT_EQ("INT:1 RST:1", gpio.text);
    Got sd = query(&Twinel::getSelfTest);
    EXPECT_EQ("SD: PASS", sd.text);
    Got lpwg = query(&Twinel::getLPWGSelfTest);
    EXPECT_EQ(Status::SUCCESS, lpwg.status);
    EXPECT_EQ("LPWG SD: FAIL 3", lpwg.text);
    EXPECT_EQ((std::vector<std::string>{"AT%TCHDEBUG=FWVER", "AT%TCHDEBUG=GPIO_PIN",
                                        "AT%TCHNOTIFY=SD", "AT%TCHNOTIFY=LPWG_SD"}),
              commands());
    EXPECT_EQ(1, LogCapture::count("getTouchFirmwareVersion: TOUCH FW:0x0102 CONFIG:0x21",
                                   ANDROID_LOG_DEBUG));
    EXPECT_EQ(1, LogCapture::count("getLPWGSelfTest: LPWG SD: FAIL 3", ANDROID_LOG_DEBUG));

    // A reply longer than the buffer is cut at 1023 characters; an ERROR
    // answer reports failure with what was stored.
    std::string longText(1500, 'v');
    mSim->setAtScript(twsim::touchReplyScript("AT%TCHDEBUG=FWVER", longText));
    fw = query(&Twinel::getTouchFirmwareVersion);
    EXPECT_EQ(Status::SUCCESS, fw.status);
    EXPECT_EQ(std::string(1023, 'v'), fw.text);
    AtScript refuse;
    refuse.match = "AT%TCHDEBUG=GPIO_PIN";
    refuse.action = AtScript::Action::Error;
    refuse.text = std::string(2000, 'e');
    mSim->setAtScript(refuse);
    gpio = query(&Twinel::getGpiopin);
    EXPECT_EQ(1, gpio.calls);
    EXPECT_EQ(Status::FAILURE, gpio.status);
    EXPECT_EQ(std::string(1024, 'e'), gpio.text);
}

TEST_F(Kernel, EverythingFailsCleanlyWithTheAccessoryAbsent) {
    startReady();
    unplug();
    int calls = 0;
    std::string text = "unset";
    Status st = Status::SUCCESS;
    auto cb = [&](Status s, const hidl_string& t) {
        calls++;
        st = s;
        text = t;
    };
    ASSERT_TRUE(mHal->getTouchFirmwareVersion(cb).isOk());
    EXPECT_EQ(1, calls);
    EXPECT_EQ(Status::FAILURE, st);
    EXPECT_EQ("", text);
    ASSERT_TRUE(mHal->getGpiopin(cb).isOk());
    ASSERT_TRUE(mHal->getSelfTest(cb).isOk());
    ASSERT_TRUE(mHal->getLPWGSelfTest(cb).isOk());
    EXPECT_EQ(4, calls);
    EXPECT_EQ(Status::FAILURE, st);
    EXPECT_EQ(Status::FAILURE, statusOf(mHal->DoTouchReset()));
    EXPECT_EQ(Status::FAILURE, statusOf(mHal->DoTouchFirmwareUpgrade()));
    EXPECT_EQ(Status::FAILURE, statusOf(mHal->DoRawdata()));
    EXPECT_EQ(Status::FAILURE, statusOf(mHal->DoDelta()));
    EXPECT_EQ(Status::FAILURE, statusOf(mHal->getTestResults()));
    EXPECT_EQ(Status::FAILURE, statusOf(mHal->setStatus({1, 0})));
    EXPECT_EQ(Status::FAILURE, statusOf(mHal->setAesMode(1)));
    EXPECT_EQ(Status::FAILURE, statusOf(mHal->tw_update_state()));
    EXPECT_TRUE(commands().empty());
    EXPECT_EQ(0, access(real("/data/vendor/touch").c_str(), F_OK));
    EXPECT_NE(0, access(real(kSelfTestFile).c_str(), F_OK));
    EXPECT_EQ(0, LogCapture::count("DoRawdata: "));
}

TEST_F(Kernel, ActionsReportStatus) {
    startReady();
    EXPECT_EQ(Status::SUCCESS, statusOf(mHal->DoTouchReset()));
    EXPECT_EQ(Status::SUCCESS, statusOf(mHal->DoTouchFirmwareUpgrade()));
    EXPECT_EQ((std::vector<std::string>{"AT%TCHDEBUG=RESET", "AT%TCHNOTIFY=FW_UPGRADE"}),
              commands());
    EXPECT_EQ(1, LogCapture::count("DoTouchReset: ", ANDROID_LOG_DEBUG));
    EXPECT_EQ(1, LogCapture::count("DoTouchFirmwareUpgrade: ", ANDROID_LOG_DEBUG));
    AtScript refuse;
    refuse.match = "AT%TCHDEBUG=RESET";
    refuse.action = AtScript::Action::Error;
    mSim->setAtScript(refuse);
    EXPECT_EQ(Status::FAILURE, statusOf(mHal->DoTouchReset()));
}

TEST_F(Kernel, DumpsAreLoggedLineByLine) {
    startReady();
    mSim->setAtScript(twsim::touchReplyScript("AT%TCHDEBUG=RAWDATA", "10 11\n12 13\n14 15"));
    EXPECT_EQ(Status::SUCCESS, statusOf(mHal->DoRawdata()));
    EXPECT_EQ((std::vector<std::string>{"DoRawdata: 10 11\n", "DoRawdata: 12 13\n",
                                        "DoRawdata: 14 15"}),
              messages("DoRawdata: ", ANDROID_LOG_DEBUG));

    // A reply ending in a line feed gives no extra empty line.
    // (The firmware frames a last empty line, which the AT channel then
    // drops, leaving the line feed before it.)
    mSim->setAtScript(twsim::touchReplyScript("AT%TCHDEBUG=DELTA", "1 2\n3 4\n\n"));
    EXPECT_EQ(Status::SUCCESS, statusOf(mHal->DoDelta()));
    EXPECT_EQ((std::vector<std::string>{"DoDelta: 1 2\n", "DoDelta: 3 4\n"}),
              messages("DoDelta: ", ANDROID_LOG_DEBUG));

    // An empty reply logs nothing.
    LogCapture::clear();
    mSim->setAtScript(twsim::touchReplyScript("AT%TCHDEBUG=DELTA", ""));
    EXPECT_EQ(Status::SUCCESS, statusOf(mHal->DoDelta()));
    EXPECT_TRUE(messages("DoDelta: ").empty());

    // The default answer of the touch controller: a 4-row matrix.
    mSim->clearAtScripts();
    LogCapture::clear();
    EXPECT_EQ(Status::SUCCESS, statusOf(mHal->DoDelta()));
    EXPECT_EQ(4u, messages("DoDelta: ").size());
}

TEST_F(Kernel, LongDumpLinesAreLoggedInPiecesWithNothingLost) {
    startReady();
    std::string longLine;
    for (int i = 0; longLine.size() < 2500; i++) longLine += std::to_string(i) + " ";
    longLine.resize(2500);
    std::string reply = "head\n" + longLine + "\ntail";
    mSim->setAtScript(twsim::touchReplyScript("AT%TCHDEBUG=RAWDATA", reply));
    EXPECT_EQ(Status::SUCCESS, statusOf(mHal->DoRawdata()));
    std::vector<std::string> lines = messages("DoRawdata: ", ANDROID_LOG_DEBUG);
    std::string joined;
    for (const auto& l : lines) {
        ASSERT_EQ(0u, l.find("DoRawdata: "));
        // Each whole message fits the platform log's 1023 characters.
        EXPECT_LE(l.size(), 1023u);
        joined += l.substr(strlen("DoRawdata: "));
    }
    EXPECT_EQ(reply, joined);
    // head, three pieces of the long line (1012, 1012 and 477 bytes with its
    // line feed), tail.
    ASSERT_EQ(5u, lines.size());
    EXPECT_EQ("DoRawdata: head\n", lines[0]);
    EXPECT_EQ("DoRawdata: " + longLine.substr(2024) + "\n", lines[3]);
    EXPECT_EQ("DoRawdata: tail", lines[4]);

    // A line that fits (with its line feed) is not split.
    std::string fits(1011, 'f');
    mSim->setAtScript(twsim::touchReplyScript("AT%TCHDEBUG=RAWDATA", fits + "\nz"));
    LogCapture::clear();
    EXPECT_EQ(Status::SUCCESS, statusOf(mHal->DoRawdata()));
    EXPECT_EQ((std::vector<std::string>{"DoRawdata: " + fits + "\n", "DoRawdata: z"}),
              messages("DoRawdata: "));

    // A reply longer than the 4096-byte buffer: the first 4095 bytes.
    std::string big = twsim::touchMatrix(200, 8, 1000);
    ASSERT_GT(big.size(), 4096u);
    mSim->setAtScript(twsim::touchReplyScript("AT%TCHDEBUG=DELTA", big));
    EXPECT_EQ(Status::SUCCESS, statusOf(mHal->DoDelta()));
    joined.clear();
    for (const auto& l : messages("DoDelta: ")) joined += l.substr(strlen("DoDelta: "));
    EXPECT_EQ(big.substr(0, 4095), joined);
}

TEST_F(Kernel, SelfTestReportIsAppendedAndLeft0644) {
    startReady();
    std::string file = real(kSelfTestFile);
    // An existing report with other bits keeps its content.
    { std::ofstream(file) << "earlier|"; }
    ASSERT_EQ(0, chmod(file.c_str(), 0600));
    std::string first = twsim::selfTestReport(40959);
    mSim->setAtScript(twsim::touchReplyScript("AT%TCHNOTIFY=PULL_SD_RESULT", first));
    EXPECT_EQ(Status::SUCCESS, statusOf(mHal->getTestResults()));
    struct stat st;
    ASSERT_EQ(0, stat(file.c_str(), &st));
    EXPECT_EQ(0644u, st.st_mode & 07777);
    EXPECT_EQ("earlier|" + first, twtest::readFile(file));
    EXPECT_EQ(1,
              LogCapture::count("can open path: " + std::string(kSelfTestFile), ANDROID_LOG_INFO));

    ASSERT_EQ(0, chmod(file.c_str(), 0666));
    std::string second = "SECOND REPORT\nDONE";
    mSim->setAtScript(twsim::touchReplyScript("AT%TCHNOTIFY=PULL_SD_RESULT", second));
    EXPECT_EQ(Status::SUCCESS, statusOf(mHal->getTestResults()));
    EXPECT_EQ("earlier|" + first + second, twtest::readFile(file));
    ASSERT_EQ(0, stat(file.c_str(), &st));
    EXPECT_EQ(0644u, st.st_mode & 07777);

    // A report longer than the buffer: what fits.
    ASSERT_EQ(0, unlink(file.c_str()));
    std::string big = twsim::selfTestReport(50000);
    mSim->setAtScript(twsim::touchReplyScript("AT%TCHNOTIFY=PULL_SD_RESULT", big));
    EXPECT_EQ(Status::SUCCESS, statusOf(mHal->getTestResults()));
    EXPECT_EQ(big.substr(0, 40959), twtest::readFile(file));

    // A failed exchange appends nothing.
    AtScript refuse;
    refuse.match = "AT%TCHNOTIFY=PULL_SD_RESULT";
    refuse.action = AtScript::Action::Error;
    refuse.text = "partial";
    mSim->setAtScript(refuse);
    EXPECT_EQ(Status::FAILURE, statusOf(mHal->getTestResults()));
    EXPECT_EQ(big.substr(0, 40959), twtest::readFile(file));
}

TEST_F(Kernel, SelfTestReportWithoutItsDirectory) {
    startReady();
    ASSERT_EQ(0, rmdir(real("/data/vendor/touch").c_str()));
    EXPECT_EQ(Status::FAILURE, statusOf(mHal->getTestResults()));
    EXPECT_EQ(1, LogCapture::count("Cannot open path: " + std::string(kSelfTestFile),
                                   ANDROID_LOG_ERROR));
    EXPECT_EQ(0, LogCapture::count("chmod failed"));
    EXPECT_NE(0, access(real("/data/vendor/touch").c_str(), F_OK));
    EXPECT_EQ(std::vector<std::string>{"AT%TCHNOTIFY=PULL_SD_RESULT"}, commands());
}

// A link in the report's place, to a file or to nowhere: nothing is written
// through it, and the mode of its target stays as it was.
TEST_F(Kernel, SelfTestReportIsNotFollowedThroughALink) {
    startReady();
    std::string target = mRoot.path() + "/secret";
    { std::ofstream(target) << "secret|"; }
    ASSERT_EQ(0, chmod(target.c_str(), 0600));
    mSim->setAtScript(twsim::touchReplyScript("AT%TCHNOTIFY=PULL_SD_RESULT", "REPORT"));
    for (const std::string& to : {target, mRoot.path() + "/nowhere"}) {
        SCOPED_TRACE(to);
        unlink(real(kSelfTestFile).c_str());
        ASSERT_EQ(0, symlink(to.c_str(), real(kSelfTestFile).c_str()));
        EXPECT_EQ(Status::FAILURE, statusOf(mHal->getTestResults()));
    }
    EXPECT_EQ("secret|", twtest::readFile(target));
    struct stat st;
    ASSERT_EQ(0, stat(target.c_str(), &st));
    EXPECT_EQ(0600u, st.st_mode & 07777);
    EXPECT_NE(0, access((mRoot.path() + "/nowhere").c_str(), F_OK));
    EXPECT_EQ(2, LogCapture::count("Cannot open path: " + std::string(kSelfTestFile),
                                   ANDROID_LOG_ERROR));
}

TEST_F(Kernel, SelfTestReportInPlaceOfAFifoDoesNotHang) {
    startReady();
    ASSERT_EQ(0, mkfifo(real(kSelfTestFile).c_str(), 0644));
    int64_t start = twtest::nowMs();
    EXPECT_EQ(Status::FAILURE, statusOf(mHal->getTestResults()));
    EXPECT_LT(twtest::nowMs() - start, 2000);
    EXPECT_EQ(1, LogCapture::count("Cannot open path: "));
}

TEST_F(Kernel, NoTimeLimitCommandIsHeldLongerThanFiveSeconds) {
    startReady();
    mSim->setAtScript(twsim::touchReplyScript("AT%TCHNOTIFY=SD", "SD: PASS (slow)", 5600));
    int64_t start = twtest::nowMs();
    Status st = Status::FAILURE;
    std::string text;
    ASSERT_TRUE(mHal->getSelfTest([&](Status s, const hidl_string& t) {
                        st = s;
                        text = t;
                    }).isOk());
    EXPECT_GE(twtest::nowMs() - start, 5500);
    EXPECT_EQ(Status::SUCCESS, st);
    EXPECT_EQ("SD: PASS (slow)", text);
    EXPECT_EQ(0, mSim->recoveryCount());
    EXPECT_EQ(0, LogCapture::count("Timer expired"));
}

// --- LPWG status relay ---

TEST_F(Kernel, SetStatusSendsBothFieldsSigned) {
    startReady();
    EXPECT_EQ(Status::SUCCESS, statusOf(mHal->setStatus({1, 0})));
    EXPECT_EQ(Status::SUCCESS, statusOf(mHal->setStatus({-3, -2147483647 - 1})));
    EXPECT_EQ(Status::SUCCESS, statusOf(mHal->setStatus({2147483647, -1})));
    EXPECT_EQ((std::vector<std::string>{"AT%TCHNOTIFY=LPWG_NOTIFY,1,0",
                                        "AT%TCHNOTIFY=LPWG_NOTIFY,-3,-2147483648",
                                        "AT%TCHNOTIFY=LPWG_NOTIFY,2147483647,-1"}),
              commands());
    EXPECT_EQ(1,
              LogCapture::count("setStatus: AT%TCHNOTIFY=LPWG_NOTIFY,1,0\r ", ANDROID_LOG_DEBUG));

    // The reply is not looked at; only the channel's failure counts.
    mSim->setAtScript(twsim::touchReplyScript("AT%TCHNOTIFY=LPWG_NOTIFY", "ERROR? no"));
    EXPECT_EQ(Status::SUCCESS, statusOf(mHal->setStatus({5, 5})));
    AtScript refuse;
    refuse.match = "AT%TCHNOTIFY=LPWG_NOTIFY";
    refuse.action = AtScript::Action::Error;
    mSim->setAtScript(refuse);
    EXPECT_EQ(Status::FAILURE, statusOf(mHal->setStatus({5, 5})));
}

}  // namespace
