/*
 * The service core against the simulator, in process: node helpers, the USB
 * hotplug monitor, the AT channel, log capture, download mode, the firmware
 * triggers and the SIGUSR1 stop. Each test runs in a fresh process.
 */
#include <android/log.h>
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <twsim/simulator.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <fstream>
#include <functional>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

#include "Twinel.h"
#include "at_history.h"
#include "hal_fixture.h"
#include "log_capture.h"
#include "test_util.h"

using ::android::sp;
using ::android::hardware::hidl_string;
using ::android::hardware::Return;
using ::android::hardware::Void;
using twsim::AtScript;
using twtest::LogCapture;
using ::vendor::zyr::hardware::twinel::V1_0::ITwinelAtCallback;
using ::vendor::zyr::hardware::twinel::V1_0::Status;
using ::vendor::zyr::hardware::twinel::V1_1::implementation::destroyThread;
using ::vendor::zyr::hardware::twinel::V1_1::implementation::kAtExchangeLimitMs;
using ::vendor::zyr::hardware::twinel::V1_1::implementation::kAtLineTimeoutMs;
using ::vendor::zyr::hardware::twinel::V1_1::implementation::Twinel;
using ::vendor::zyr::hardware::twinel::V1_1::implementation::writeNode;

namespace {

const char* kPowerControl = "/sys/devices/platform/soc/usb1/1-1/power/control";

class Core : public twtest::HalFixture {
  protected:
    Core() : HalFixture("twcore") {}

    // Plugs the accessory and waits until the AT channel is up.
    void plugReady(size_t readyCount = 1) {
        ASSERT_TRUE(mSim->plug());
        ASSERT_TRUE(mSim->waitForNodeRecords(twsim::kHalReadyNode, readyCount, 5000));
        // The bring-up ends with the log mode and the touch update state.
        ASSERT_TRUE(twtest::waitFor([&] { return LogCapture::contains("status = "); }, 5000));
    }

    std::vector<std::string> values(const std::string& node) {
        std::vector<std::string> v;
        for (const auto& r : mSim->nodeRecords(node)) v.push_back(r.value);
        return v;
    }

    std::string real(const std::string& logical) { return mSim->path(logical); }

    // Without its recovery node the driver cannot reset the link: the
    // accessory stays as it is after a time-out.
    void removeRecoveryNode() { ASSERT_EQ(0, unlink(real(twsim::kRecoveryNode).c_str())); }

    // Waits until the writes to the autosuspend node stop coming.
    std::vector<std::string> settledControl() {
        std::vector<std::string> seen;
        twtest::waitFor(
                [&] {
                    size_t before = values(kPowerControl).size();
                    std::this_thread::sleep_for(std::chrono::milliseconds(100));
                    seen = values(kPowerControl);
                    return seen.size() == before;
                },
                3000);
        return seen;
    }
};

// What this process's open descriptors point at, one entry each.
std::vector<std::string> openDescriptors() {
    std::vector<std::string> targets;
    DIR* dir = opendir("/proc/self/fd");
    if (dir == nullptr) return targets;
    while (struct dirent* e = readdir(dir)) {
        if (e->d_name[0] == '.' || atoi(e->d_name) == dirfd(dir)) continue;
        char target[256] = {};
        std::string link = std::string("/proc/self/fd/") + e->d_name;
        if (readlink(link.c_str(), target, sizeof(target) - 1) > 0) targets.push_back(target);
    }
    closedir(dir);
    return targets;
}

// --- node helpers ---

TEST_F(Core, NodeHelpersReturnCodesAndBytes) {
    startHal();
    std::string dir = mRoot.path() + "/nodes";
    ASSERT_EQ(0, mkdir(dir.c_str(), 0755));
    // Logical paths are under the device root.
    std::string node = "/nodes/value";
    { std::ofstream(real(node)) << "old content"; }

    EXPECT_EQ(0, mHal->writeInt32(node, -5));
    EXPECT_EQ("-5", twtest::readFile(real(node)));
    EXPECT_TRUE(LogCapture::contains("Writing -5 to /nodes/value", ANDROID_LOG_DEBUG));

    EXPECT_EQ(-1, mHal->writeInt32("/nodes/missing", 1));
    EXPECT_TRUE(LogCapture::contains("File is not exist : /nodes/missing", ANDROID_LOG_ERROR));

    // Exists and readable, but cannot be opened for writing.
    EXPECT_EQ(-3, mHal->writeInt32("/nodes", 1));
    EXPECT_TRUE(LogCapture::contains("Cannot open path: /nodes", ANDROID_LOG_ERROR));

    // Writers create files under an existing directory, not under a missing one.
    EXPECT_TRUE(mHal->writeString("/nodes/new", "1 0"));
    EXPECT_EQ("1 0", twtest::readFile(real("/nodes/new")));
    EXPECT_FALSE(mHal->writeString("/nodes/nodir/x", "1"));
    LogCapture::clear();
    EXPECT_TRUE(writeNode("/nodes/node", "2"));
    EXPECT_EQ("2", twtest::readFile(real("/nodes/node")));
    EXPECT_TRUE(LogCapture::contains("Writing 2 to /nodes/node", ANDROID_LOG_ERROR));
    EXPECT_FALSE(writeNode("/nodes/nodir/x", "2"));

    // readString appends, newline included; an empty file changes nothing.
    { std::ofstream(real("/nodes/text")) << "4 5 6\n"; }
    std::string text = "prefix:";
    EXPECT_EQ(0, mHal->readString("/nodes/text", text));
    EXPECT_EQ("prefix:4 5 6\n", text);
    { std::ofstream(real("/nodes/empty")); }
    std::string same = "keep";
    EXPECT_EQ(0, mHal->readString("/nodes/empty", same));
    EXPECT_EQ("keep", same);
    EXPECT_EQ(-1, mHal->readString("/nodes/missing", same));
    EXPECT_EQ("keep", same);
}

TEST_F(Core, NodeHelpersCheckReadPermissionBeforeWriting) {
    startHal();
    std::string dir = mRoot.path() + "/perm";
    ASSERT_EQ(0, chmod(mRoot.path().c_str(), 0755));
    ASSERT_EQ(0, mkdir(dir.c_str(), 0777));
    std::string writeOnly = dir + "/write_only";
    { std::ofstream(writeOnly) << "x"; }
    ASSERT_EQ(0, chmod(writeOnly.c_str(), 0222));
    // Root passes every permission check: look as an ordinary user.
    int32_t ret = 0;
    ASSERT_TRUE(twtest::asOrdinaryUser([&] { ret = mHal->writeInt32("/perm/write_only", 7); }));
    EXPECT_EQ(-4, ret);
    std::string readOnly = dir + "/read_only";
    { std::ofstream(readOnly) << "x"; }
    ASSERT_EQ(0, chmod(readOnly.c_str(), 0444));
    ASSERT_TRUE(twtest::asOrdinaryUser([&] { ret = mHal->writeInt32("/perm/read_only", 7); }));
    EXPECT_EQ(-3, ret);
    EXPECT_EQ("x", twtest::readFile(writeOnly));
}

// --- USB hotplug monitor ---

TEST_F(Core, AccessoryPresentAtStartIsTakenWithoutEvents) {
    ASSERT_TRUE(mSim->plug());
    ASSERT_TRUE(
            twtest::waitFor([&] { return access(real("/dev/ttyACM0").c_str(), F_OK) == 0; }, 3000));
    startHal();
    ASSERT_TRUE(mSim->waitForNodeRecords(twsim::kHalReadyNode, 1, 5000));
    EXPECT_EQ(std::vector<std::string>{"Y"}, values(twsim::kHalReadyNode));
    EXPECT_TRUE(LogCapture::contains("usbNotifyThread: access \"hidraw0\" OK"));
    EXPECT_TRUE(LogCapture::contains("usbNotifyThread: access \"ttyACM0\" OK"));
    EXPECT_GE(mSim->waitForAtCommand("ATE0", 1000), 0);
    EXPECT_TRUE(twtest::waitFor([&] { return static_cast<bool>(mHal->getTW2Connect()); }, 3000));
}

TEST_F(Core, AttachDetachAndAttachAgain) {
    startHal();
    EXPECT_FALSE(static_cast<bool>(mHal->getTW2Connect()));
    plugReady();
    EXPECT_TRUE(LogCapture::contains("========== Twinel Attached", ANDROID_LOG_INFO));
    EXPECT_TRUE(LogCapture::contains("========== ttyACM0 create"));
    EXPECT_TRUE(twtest::waitFor([&] { return static_cast<bool>(mHal->getTW2Connect()); }, 3000));
    EXPECT_EQ("/dev/ttyACM0", mHal->serialPath());

    mSim->clearNodeRecords();
    ASSERT_TRUE(mSim->unplug());
    // The tear-down always cancels a firmware upgrade.
    ASSERT_TRUE(mSim->waitForNodeRecords(twsim::kFirmwareWriteNode, 1, 3000));
    EXPECT_EQ(std::vector<std::string>{"0"}, values(twsim::kFirmwareWriteNode));
    EXPECT_TRUE(LogCapture::waitFor("========== Twinel Unattached", 3000));
    // The notify thread forgets the port only once the tear-down is through.
    EXPECT_TRUE(twtest::waitFor([&] { return mHal->serialPath().empty(); }, 3000));
    EXPECT_FALSE(mHal->mSerialAttached);
    EXPECT_FALSE(static_cast<bool>(mHal->getTW2Connect()));

    plugReady(1);
    EXPECT_EQ(std::vector<std::string>{"Y"}, values(twsim::kHalReadyNode));
}

TEST_F(Core, StartAndStopLeaveNoDescriptorBehind) {
    auto startAndStop = [&] {
        startHal();
        destroyThread = true;
        mHal->usbThreadJoin();
        mHal = nullptr;
    };
    // The first object also starts what the process keeps (the signal thread).
    startAndStop();
    std::vector<std::string> before = openDescriptors();
    for (int i = 0; i < 4; i++) startAndStop();
    std::vector<std::string> after = openDescriptors();
    std::sort(before.begin(), before.end());
    std::sort(after.begin(), after.end());
    EXPECT_EQ(before, after);
}

TEST_F(Core, NodesOfAnotherDeviceAreIgnored) {
    startHal();
    twsim::UsbIdentity other = twsim::accessoryIdentity();
    other.vendorId = 0x1234;
    other.productId = 0x5b21;
    ASSERT_TRUE(mSim->plug(other));
    std::this_thread::sleep_for(std::chrono::milliseconds(800));
    EXPECT_TRUE(mSim->atCommands().empty());
    EXPECT_TRUE(mSim->nodeRecords(twsim::kHalReadyNode).empty());
    EXPECT_FALSE(LogCapture::contains("========== ttyACM0 create"));
    EXPECT_FALSE(LogCapture::contains("========== Twinel Attached"));
    EXPECT_FALSE(mHal->mSerialAttached);
    EXPECT_FALSE(static_cast<bool>(mHal->getTW2Connect()));
}

TEST_F(Core, AutosuspendVotesAsTheNodeSeesThem) {
    startHal();
    plugReady();
    // Creation writes "auto", then each exchange takes and releases a vote.
    // The simulator reads the node's writes on its own thread: all of them
    // are in before anything is looked at or cleared.
    ASSERT_TRUE(mSim->waitForNodeRecords(kPowerControl, 1 + 2 * mSim->atCommands().size(), 3000));
    std::vector<std::string> seen = values(kPowerControl);
    ASSERT_GE(seen.size(), 3u);
    EXPECT_EQ("auto", seen[0]);
    for (size_t i = 1; i < seen.size(); i++) {
        EXPECT_EQ(i % 2 ? "on" : "auto", seen[i]) << i;
    }
    EXPECT_EQ(0, mHal->mUsbAutoSuspendDisableVote);

    auto step = [&](bool suspend, size_t expectRecords) {
        mHal->usbAutoSuspend(suspend, true);
        if (expectRecords > 0) {
            EXPECT_TRUE(mSim->waitForNodeRecords(kPowerControl, expectRecords, 2000));
        } else {
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
    };
    mSim->clearNodeRecords();
    step(false, 1);  // 0 -> 1: "on"
    step(false, 0);  // 1 -> 2: nothing
    step(true, 0);   // 2 -> 1: nothing
    step(true, 2);   // 1 -> 0: "auto"
    EXPECT_EQ((std::vector<std::string>{"on", "auto"}), values(kPowerControl));
    LogCapture::clear();
    step(true, 3);  // at 0: logged, stays 0, "auto"
    EXPECT_TRUE(LogCapture::contains("usbAutoSuspend: mUsbAutoSuspendDisableVote is negative",
                                     ANDROID_LOG_ERROR));
    EXPECT_EQ(0, mHal->mUsbAutoSuspendDisableVote);
    EXPECT_EQ((std::vector<std::string>{"on", "auto", "auto"}), values(kPowerControl));

    // Without a serial node a due write fails; the count still moves.
    mSim->unplugAll();
    ASSERT_TRUE(twtest::waitFor([&] { return mHal->serialPath().empty(); }, 3000));
    LogCapture::clear();
    EXPECT_LT(mHal->usbAutoSuspend(false, true), 0);
    EXPECT_EQ(1, mHal->mUsbAutoSuspendDisableVote);
    EXPECT_TRUE(LogCapture::contains("usbAutoSuspend: failed to open control"));
}

TEST_F(Core, VotesStartAgainWhenTheSerialNodeIsCreated) {
    startHal();
    plugReady();
    // Votes the accessory took with it (a powered screen, an exchange cut
    // short) when it went away.
    mHal->usbAutoSuspend(false, true);
    mHal->usbAutoSuspend(false, true);
    mSim->unplugAll();
    ASSERT_TRUE(twtest::waitFor([&] { return mHal->serialPath().empty(); }, 3000));
    mSim->clearNodeRecords();
    mSim->clearAtCommands();
    plugReady();
    // "auto" at creation, then every exchange of the bring-up wakes the link
    // for itself and lets it sleep again.
    std::vector<std::string> seen = settledControl();
    ASSERT_EQ(1 + 2 * mSim->atCommands().size(), seen.size());
    EXPECT_EQ("auto", seen[0]);
    for (size_t i = 1; i < seen.size(); i++) EXPECT_EQ(i % 2 ? "on" : "auto", seen[i]) << i;
    EXPECT_EQ(0, mHal->mUsbAutoSuspendDisableVote);
}

// --- AT channel ---

TEST_F(Core, AtReplyFramings) {
    startHal();
    plugReady();
    char buf[1024];

    // Echo off: the blank line stands for the echo.
    memset(buf, 0, sizeof(buf));
    int32_t ret = mHal->serialAtCmd("AT%SWV\r", buf, sizeof(buf), nullptr);
    EXPECT_EQ(static_cast<int32_t>(strlen(twsim::kDefaultFirmwareVersion)) + 1, ret);
    EXPECT_STREQ(twsim::kDefaultFirmwareVersion, buf);

    mSim->setAtScript({"AT%TEST2", AtScript::Action::Reply, "ab"});
    memset(buf, 0, sizeof(buf));
    EXPECT_EQ(3, mHal->serialAtCmd("AT%TEST2\r", buf, sizeof(buf), nullptr));
    EXPECT_STREQ("ab", buf);

    // With the echo on, the echo line is what starts the reply.
    ASSERT_EQ(0, mHal->serialAtCmd("ATE1\r", nullptr, 0, nullptr));
    memset(buf, 0, sizeof(buf));
    EXPECT_EQ(3, mHal->serialAtCmd("at%test2\r", buf, sizeof(buf), nullptr));
    EXPECT_STREQ("ab", buf);
    EXPECT_TRUE(LogCapture::contains("serialAtCmd: eh: [at%test2]"));
    ASSERT_EQ(0, mHal->serialAtCmd("ATE0\r", nullptr, 0, nullptr));

    // Accessory output before the echo goes to both logs and is dropped.
    mSim->setAtScript({"AT%RAW1", AtScript::Action::Raw, "fw says hi\r\n\r\nab\r\nOK\r\n"});
    memset(buf, 0, sizeof(buf));
    EXPECT_EQ(3, mHal->serialAtCmd("AT%RAW1\r", buf, sizeof(buf), nullptr));
    EXPECT_STREQ("ab", buf);
    EXPECT_NE(std::string::npos, mSim->kernelLog().find("<6>Twinel: fw says hi"));
    EXPECT_TRUE(LogCapture::contains("fw says hi", ANDROID_LOG_INFO));

    // No echo and no blank line: the log line is the reply; no callback.
    static std::atomic<int> calls;
    calls = 0;
    mSim->setAtScript({"AT%RAW2", AtScript::Action::Raw, "only log\r\nOK\r\n"});
    memset(buf, 0, sizeof(buf));
    EXPECT_EQ(9,
              mHal->serialAtCmd("AT%RAW2\r", buf, sizeof(buf), [](const char*, int) { calls++; }));
    EXPECT_STREQ("only log", buf);
    EXPECT_EQ(0, calls.load());
}

TEST_F(Core, AtFailuresAndTheirErrno) {
    startHal();
    char buf[16];
    // Channel down.
    errno = 0;
    EXPECT_EQ(-1, mHal->serialAtCmd("AT%SWV\r", buf, sizeof(buf), nullptr));
    EXPECT_EQ(ENODEV, errno);

    plugReady();
    size_t sent = mSim->atCommands().size();
    errno = 0;
    EXPECT_EQ(-1, mHal->serialAtCmd("AT%SWV", buf, sizeof(buf), nullptr));
    EXPECT_EQ(EINVAL, errno);
    EXPECT_EQ(-1, mHal->serialAtCmd("XT%SWV\r", buf, sizeof(buf), nullptr));
    EXPECT_EQ(EINVAL, errno);
    EXPECT_EQ(sent, mSim->atCommands().size()) << "a malformed command reached the port";

    // ERROR in any case.
    mSim->setAtScript({"AT%BAD", AtScript::Action::Error, "partial"});
    memset(buf, 0, sizeof(buf));
    errno = 0;
    EXPECT_EQ(-1, mHal->serialAtCmd("AT%BAD\r", buf, sizeof(buf), nullptr));
    EXPECT_EQ(EPROTONOSUPPORT, errno);
    EXPECT_TRUE(LogCapture::contains("serialAtCmd: Command not supported", ANDROID_LOG_ERROR));
    mSim->setAtScript({"AT%LOW", AtScript::Action::Raw, "\r\nerror\r\n"});
    errno = 0;
    EXPECT_EQ(-1, mHal->serialAtCmd("AT%LOW\r", nullptr, 0, nullptr));
    EXPECT_EQ(EPROTONOSUPPORT, errno);

    // Longer than the buffer: the first 16 bytes, the last one the terminator;
    // the callback still sees every line.
    static std::vector<std::string> lines;
    lines.clear();
    mSim->setAtScript(
            {"AT%LONG", AtScript::Action::Reply, "0123456789abcdef\nsecond line here\nthird"});
    memset(buf, 0x55, sizeof(buf));
    int32_t ret = mHal->serialAtCmd("AT%LONG\r", buf, sizeof(buf),
                                    [](const char* l, int n) { lines.emplace_back(l, n); });
    EXPECT_EQ(16, ret);
    EXPECT_EQ(std::string("0123456789abcde"), std::string(buf));
    EXPECT_EQ((std::vector<std::string>{"0123456789abcdef\n", "second line here\n", "third\n"}),
              lines);

    // The port hangs up during the exchange.
    mSim->setAtScript({"AT%TW", AtScript::Action::HangUp, ""});
    EXPECT_EQ(1, mHal->serialAtCmd("AT%TW=1\r", nullptr, 0, nullptr));
    EXPECT_TRUE(LogCapture::contains("serialAtCmd: POLLHUP"));
    EXPECT_EQ(0, mHal->mUsbAutoSuspendDisableVote);
}

TEST_F(Core, NoAnswerTriggersLinkRecovery) {
    startHal();
    plugReady();
    mSim->setAtScript({"AT%DB", AtScript::Action::Silent, "", 0, 1});
    mSim->clearNodeRecords();
    int64_t start = twtest::nowMs();
    errno = 0;
    EXPECT_EQ(-1, mHal->serialAtCmd("AT%DB=100\r", nullptr, 0, nullptr));
    EXPECT_EQ(ETIME, errno);
    int64_t took = twtest::nowMs() - start;
    EXPECT_GE(took, 4900);
    EXPECT_LT(took, 7000);
    EXPECT_TRUE(LogCapture::contains("!!!!!!!!!! Twinel Recovery !!!!!!!!!!", ANDROID_LOG_ERROR));
    ASSERT_TRUE(mSim->waitForNodeRecords(twsim::kRecoveryNode, 1, 2000));
    EXPECT_EQ(std::vector<std::string>{"Y"}, values(twsim::kRecoveryNode));
    // The driver re-enumerates the link and the channel comes back.
    ASSERT_TRUE(mSim->waitForRecoveries(1, 3000));
    ASSERT_TRUE(mSim->waitForNodeRecords(twsim::kHalReadyNode, 1, 5000));
    ASSERT_TRUE(twtest::waitFor([&] { return mHal->mSerialAttached.load(); }, 3000));
    char buf[64] = {};
    EXPECT_GT(mHal->serialAtCmd("AT%SWV\r", buf, sizeof(buf), nullptr), 0);
}

TEST_F(Core, UnplugDuringAnExchange) {
    startHal();
    plugReady();
    mSim->setAtScript({"AT%SLOW", AtScript::Action::Reply, "late", 2000});
    size_t from = mSim->atCommands().size();
    std::atomic<int32_t> ret{-100};
    std::thread t([&] { ret = mHal->serialAtCmd("AT%SLOW\r", nullptr, 0, nullptr); });
    ASSERT_GE(mSim->waitForAtCommand("AT%SLOW", 2000, from), 0);
    int64_t start = twtest::nowMs();
    ASSERT_TRUE(mSim->unplug());
    t.join();
    EXPECT_EQ(1, ret.load());
    EXPECT_LT(twtest::nowMs() - start, 1500);
    EXPECT_TRUE(twtest::waitFor([&] { return !mHal->mSerialAttached; }, 3000));
}

struct LineCollector : ITwinelAtCallback {
    Return<void> responseAtCommand(const hidl_string& response) override {
        std::lock_guard<std::mutex> lock(mLock);
        mLines.push_back(response);
        return Void();
    }
    std::vector<std::string> lines() {
        std::lock_guard<std::mutex> lock(mLock);
        return mLines;
    }
    std::mutex mLock;
    std::vector<std::string> mLines;
};

TEST_F(Core, ConcurrentPassThroughCallersKeepTheirOwnLines) {
    startHal();
    plugReady();
    mSim->setAtScript({"AT%AAA", AtScript::Action::Reply, "a1\na2", 300});
    mSim->setAtScript({"AT%BBB", AtScript::Action::Reply, "b1\nb2", 300});
    sp<LineCollector> a = new LineCollector();
    sp<LineCollector> b = new LineCollector();
    std::string ra, rb;
    Status sa = Status::FAILURE, sb = Status::FAILURE;
    std::thread ta([&] {
        mHal->sendAtCommand("AT%AAA", a, [&](Status s, const hidl_string& r) {
            sa = s;
            ra = r;
        });
    });
    std::thread tb([&] {
        mHal->sendAtCommand("AT%BBB", b, [&](Status s, const hidl_string& r) {
            sb = s;
            rb = r;
        });
    });
    ta.join();
    tb.join();
    EXPECT_EQ(Status::SUCCESS, sa);
    EXPECT_EQ(Status::SUCCESS, sb);
    EXPECT_EQ("a1\na2", ra);
    EXPECT_EQ("b1\nb2", rb);
    EXPECT_EQ((std::vector<std::string>{"a1\n", "a2\n"}), a->lines());
    EXPECT_EQ((std::vector<std::string>{"b1\n", "b2\n"}), b->lines());

    // Without a callback the reply still comes back; an error is Status 1.
    std::string reply;
    Status st = Status::SUCCESS;
    mSim->setAtScript({"AT%ERR", AtScript::Action::Error, "why"});
    mHal->sendAtCommand("AT%ERR", nullptr, [&](Status s, const hidl_string& r) {
        st = s;
        reply = r;
    });
    EXPECT_EQ(Status::FAILURE, st);
    EXPECT_EQ("why\n", reply);  // stored as it came; only a success terminates it
}

TEST_F(Core, CommandWithALineEndInsideIsRefused) {
    startHal();
    plugReady();
    size_t sent = mSim->atCommands().size();
    for (const char* cmd : {"AT%SWV\rAT%HPD\r", "AT%SWV\nAT%HPD\r", "AT%SWV\r\r", "AT\n\r"}) {
        errno = 0;
        EXPECT_EQ(-1, mHal->serialAtCmd(cmd, nullptr, 0, nullptr)) << cmd;
        EXPECT_EQ(EINVAL, errno) << cmd;
    }
    // From the framework: the line ends, and a NUL that would cut it short.
    for (std::string cmd : {std::string("AT%SWV\rAT%HPD"), std::string("AT%SWV\nAT%HPD"),
                            std::string("AT%SWV\0AT%HPD", 14)}) {
        Status st = Status::SUCCESS;
        mHal->sendAtCommand(cmd, nullptr, [&](Status s, const hidl_string&) { st = s; });
        EXPECT_EQ(Status::FAILURE, st);
    }
    EXPECT_EQ(sent, mSim->atCommands().size()) << "a refused command reached the port";
    // The channel answers the next command with its own reply.
    char buf[64] = {};
    EXPECT_GT(mHal->serialAtCmd("AT%SWV\r", buf, sizeof(buf), nullptr), 0);
    EXPECT_STREQ(twsim::kDefaultFirmwareVersion, buf);
}

TEST_F(Core, LateReplyIsNotTakenForTheNextCommand) {
    // No capture reading the port in between: the late reply stays there.
    ASSERT_TRUE(mSim->setProperty("persist.vendor.zyr.service.kernel.enable", "0"));
    startHal();
    plugReady();
    removeRecoveryNode();
    mSim->setAtScript({"AT%SLOW", AtScript::Action::Reply, "late", kAtLineTimeoutMs + 600, 1});
    errno = 0;
    EXPECT_EQ(-1, mHal->serialAtCmd("AT%SLOW\r", nullptr, 0, nullptr));
    EXPECT_EQ(ETIME, errno);
    std::this_thread::sleep_for(std::chrono::milliseconds(1600));  // the reply comes
    char buf[64] = {};
    EXPECT_GT(mHal->serialAtCmd("AT%SWV\r", buf, sizeof(buf), nullptr), 0);
    EXPECT_STREQ(twsim::kDefaultFirmwareVersion, buf);
    // The late line went to the logs as the accessory's output.
    EXPECT_NE(std::string::npos, mSim->kernelLog().find("<6>Twinel: late"));
    EXPECT_EQ(0, mSim->recoveryCount());
}

TEST_F(Core, LogLinesBeforeTheEchoDoNotStretchTheWait) {
    startHal();
    plugReady();
    mSim->setAtScript({"AT%MUTE", AtScript::Action::Silent, "", 0, 1});
    std::atomic<bool> done{false};
    // The accessory logs every 700 ms and never answers.
    std::thread chatter([&] {
        for (int i = 0; i < 25 && !done; i++) {
            mSim->sendLog("tick " + std::to_string(i));
            std::this_thread::sleep_for(std::chrono::milliseconds(700));
        }
    });
    int64_t start = twtest::nowMs();
    errno = 0;
    int32_t ret = mHal->serialAtCmd("AT%MUTE\r", nullptr, 0, nullptr);
    int64_t took = twtest::nowMs() - start;
    done = true;
    chatter.join();
    EXPECT_EQ(-1, ret);
    EXPECT_EQ(ETIME, errno);
    EXPECT_GE(took, kAtLineTimeoutMs - 100);
    EXPECT_LT(took, kAtLineTimeoutMs + 3000);
    EXPECT_TRUE(mSim->waitForNodeRecords(twsim::kRecoveryNode, 1, 2000));
}

TEST_F(Core, DebugDumpNamesTheAtWaits) {
    startHal();
    std::string file = mRoot.path() + "/dump.txt";
    int fd = open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    ASSERT_GE(fd, 0);
    native_handle_t* nh = native_handle_create(1, 0);
    nh->data[0] = fd;
    ::android::hardware::hidl_handle handle;
    handle.setTo(nh, true);
    ASSERT_TRUE(mHal->debug(handle, {}).isOk());
    handle.setTo(nullptr);
    std::string dump = twtest::readFile(file);
    EXPECT_NE(std::string::npos,
              dump.find("AT line wait: " + std::to_string(kAtLineTimeoutMs) +
                        " ms  kAtExchangeLimitMs: " + std::to_string(kAtExchangeLimitMs) +
                        " ms (AtCmdTimeoutException, any)\n"))
            << dump;
}

TEST_F(Core, TimeOutWithAFailedRecoveryReleasesItsVote) {
    startHal();
    plugReady();
    removeRecoveryNode();
    mSim->setAtScript({"AT%MUTE", AtScript::Action::Silent, "", 0, 1});
    settledControl();
    mSim->clearNodeRecords();
    errno = 0;
    EXPECT_EQ(-1, mHal->serialAtCmd("AT%MUTE\r", nullptr, 0, nullptr));
    EXPECT_EQ(ETIME, errno);
    EXPECT_TRUE(LogCapture::contains("usbRecovery: failed to open mode"));
    EXPECT_EQ(0, mHal->mUsbAutoSuspendDisableVote);
    EXPECT_EQ((std::vector<std::string>{"on", "auto"}), settledControl());
}

// Commands without a reply time-out: their table entry starts them, in any
// case and with anything after it.
struct ExemptCase {
    const char* entry;
    const char* sent;
};

void PrintTo(const ExemptCase& c, std::ostream* os) {
    *os << c.sent;
}

class ExemptCommand : public Core, public ::testing::WithParamInterface<ExemptCase> {};

TEST_P(ExemptCommand, WaitsLongerThanALine) {
    startHal();
    plugReady();
    mSim->setAtScript({GetParam().entry, AtScript::Action::Reply, "slow", kAtLineTimeoutMs + 600});
    char buf[64] = {};
    int64_t start = twtest::nowMs();
    std::string cmd = std::string(GetParam().sent) + "\r";
    EXPECT_EQ(5, mHal->serialAtCmd(cmd.c_str(), buf, sizeof(buf), nullptr));
    EXPECT_GE(twtest::nowMs() - start, kAtLineTimeoutMs + 500);
    EXPECT_STREQ("slow", buf);
    EXPECT_TRUE(mSim->nodeRecords(twsim::kRecoveryNode).empty());
}

INSTANTIATE_TEST_SUITE_P(
        AllFour, ExemptCommand,
        ::testing::Values(ExemptCase{"AT%TCHNOTIFY=SD", "at%tchnotify=sd,1"},
                          ExemptCase{"AT%TCHNOTIFY=LPWG_SD", "At%TchNotify=Lpwg_Sd?"},
                          ExemptCase{"AT%TCHNOTIFY=PULL_SD_RESULT",
                                     "AT%tchnotify=PULL_SD_RESULT_2"},
                          ExemptCase{"AT%TCHNOTIFY=FW_UPGRADE", "aT%TCHNOTIFY=fw_upgrade=now"}),
        [](const ::testing::TestParamInfo<ExemptCase>& info) {
            std::string name = std::string(info.param.entry).substr(strlen("AT%TCHNOTIFY="));
            name.erase(std::remove(name.begin(), name.end(), '_'), name.end());
            return name;
        });

// A hang-up in the middle of a reply: no answer, except for the commands
// after which the accessory is expected to leave.
struct HangUpCase {
    const char* name;
    const char* command;
    std::function<Status(Twinel*)> call;
    Status expected;
};

void PrintTo(const HangUpCase& c, std::ostream* os) {
    *os << c.name;
}

class HangUp : public Core, public ::testing::WithParamInterface<HangUpCase> {};

TEST_P(HangUp, MidReply) {
    startHal();
    plugReady();
    const HangUpCase& c = GetParam();
    mSim->setAtScript({c.command, AtScript::Action::HangUp, "\r\npart of it\r\n"});
    size_t from = mSim->atCommands().size();
    EXPECT_EQ(c.expected, c.call(mHal.get()));
    EXPECT_GE(mSim->waitForAtCommand(c.command, 1000, from), 0);
}

INSTANTIATE_TEST_SUITE_P(
        Calls, HangUp,
        ::testing::Values(
                HangUpCase{"sendAtCommand", "AT%HELLO",
                           [](Twinel* hal) {
                               Status st = Status::SUCCESS;
                               hal->sendAtCommand("AT%HELLO", nullptr,
                                                  [&](Status s, const hidl_string&) { st = s; });
                               return st;
                           },
                           Status::FAILURE},
                HangUpCase{"getSelfTest", "AT%TCHNOTIFY=SD",
                           [](Twinel* hal) {
                               Status st = Status::SUCCESS;
                               hal->getSelfTest([&](Status s, const hidl_string&) { st = s; });
                               return st;
                           },
                           Status::FAILURE},
                HangUpCase{"getLPWGSelfTest", "AT%TCHNOTIFY=LPWG_SD",
                           [](Twinel* hal) {
                               Status st = Status::SUCCESS;
                               hal->getLPWGSelfTest([&](Status s, const hidl_string&) { st = s; });
                               return st;
                           },
                           Status::FAILURE},
                HangUpCase{"goDload", "AT%GODLOAD",
                           [](Twinel* hal) { return static_cast<Status>(hal->goDload()); },
                           Status::SUCCESS},
                HangUpCase{"goSTMDload", "AT%GOSTMDLOAD",
                           [](Twinel* hal) { return static_cast<Status>(hal->goSTMDload()); },
                           Status::SUCCESS}),
        [](const ::testing::TestParamInfo<HangUpCase>& info) { return info.param.name; });

// --- log capture ---

TEST_F(Core, CaptureFollowsTheDisplay) {
    startHal();
    plugReady();
    EXPECT_GE(mSim->waitForAtCommand("AT%LOGSAVE=0", 1000), 0);
    ASSERT_TRUE(LogCapture::waitFor("serialLogThread: resume", 3000));

    ASSERT_TRUE(mSim->sendLog("first line"));
    ASSERT_TRUE(twtest::waitFor(
            [&] { return mSim->kernelLog().find("<6>Twinel: first line") != std::string::npos; },
            3000));
    EXPECT_TRUE(LogCapture::contains("first line", ANDROID_LOG_INFO));

    ASSERT_TRUE(mSim->setDisplayOn(false));
    ASSERT_TRUE(LogCapture::waitFor("serialLogThread: suspend", 3000));
    ASSERT_TRUE(mSim->sendLog("while dark"));
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_EQ(std::string::npos, mSim->kernelLog().find("while dark"));

    LogCapture::clear();
    ASSERT_TRUE(mSim->setDisplayOn(true));
    ASSERT_TRUE(LogCapture::waitFor("serialLogThread: resume", 3000));
    ASSERT_TRUE(mSim->sendLog("light again"));
    EXPECT_TRUE(twtest::waitFor(
            [&] { return mSim->kernelLog().find("<6>Twinel: light again") != std::string::npos; },
            3000));
}

// Descriptors of this process open on the accessory's port (the simulated
// firmware holds one of its own).
size_t openOnPort(const std::string& slave) {
    std::vector<std::string> open = openDescriptors();
    return static_cast<size_t>(std::count(open.begin(), open.end(), slave));
}

// Names of this process's threads, as top -H and a stack dump show them.
std::multiset<std::string> threadNames() {
    std::multiset<std::string> names;
    DIR* dir = opendir("/proc/self/task");
    if (dir == nullptr) return names;
    while (struct dirent* e = readdir(dir)) {
        if (e->d_name[0] == '.') continue;
        std::string name = twtest::readFile(std::string("/proc/self/task/") + e->d_name + "/comm");
        if (!name.empty() && name.back() == '\n') name.pop_back();
        names.insert(name);
    }
    closedir(dir);
    return names;
}

TEST_F(Core, ThreadsAreNamedAfterTheirWork) {
    startHal();
    plugReady();
    for (const char* name :
         {"tw-signal", "usb", "usb-notify", "serial-log", "brightness", "subdisplay"}) {
        EXPECT_TRUE(twtest::waitFor([&] { return threadNames().count(name) == 1; }, 3000)) << name;
    }
}

TEST_F(Core, CaptureClosesThePortWhenTheDisplayGoesOff) {
    startHal();
    plugReady();
    ASSERT_TRUE(LogCapture::waitFor("serialLogThread: resume", 3000));
    char slave[256] = {};
    ASSERT_GT(readlink(real("/dev/ttyACM0").c_str(), slave, sizeof(slave) - 1), 0);
    // The line comes just before the capture thread opens the port.
    EXPECT_TRUE(twtest::waitFor([&] { return openOnPort(slave) == 2; }, 3000));
    ASSERT_TRUE(mSim->setDisplayOn(false));
    ASSERT_TRUE(LogCapture::waitFor("serialLogThread: suspend", 3000));
    EXPECT_TRUE(twtest::waitFor([&] { return openOnPort(slave) == 1; }, 3000));
}

TEST_F(Core, LogModeFollowsTheProperties) {
    ASSERT_TRUE(mSim->setProperty("persist.vendor.zyr.service.kernel.enable", "0"));
    startHal();
    plugReady();
    EXPECT_GE(mSim->waitForAtCommand("AT%LOGSAVE=3", 1000), 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_FALSE(LogCapture::contains("serialLogThread: resume"));
    EXPECT_EQ("AT%LOGSAVE=3\r", std::string(mHal->getLogSaveAtCmd()));

    ASSERT_TRUE(mSim->setProperty("persist.vendor.zyr.service.kernel.enable", "1"));
    ASSERT_TRUE(mSim->setProperty("persist.vendor.zyr.dd.uart.enable", "1"));
    EXPECT_EQ("AT%LOGSAVE=2\r", std::string(mHal->getLogSaveAtCmd()));
    ASSERT_TRUE(mSim->setProperty("persist.vendor.zyr.dd.uart.enable", "0"));
    EXPECT_EQ("AT%LOGSAVE=0\r", std::string(mHal->getLogSaveAtCmd()));

    // Enabling twice starts nothing new.
    EXPECT_EQ(0, mHal->serialLogEnable(true));
}

TEST_F(Core, UnplugWithTheDisplayOffDoesNotHang) {
    startHal();
    plugReady();
    // The capture thread starts after the bring-up: it must have the port
    // open before the display goes off, or it has nothing to suspend.
    ASSERT_TRUE(LogCapture::waitFor("serialLogThread: resume", 3000));
    ASSERT_TRUE(mSim->setDisplayOn(false));
    ASSERT_TRUE(LogCapture::waitFor("serialLogThread: suspend", 3000));
    // The capture thread now sleeps without time limit on the wake-lock list.
    mSim->clearNodeRecords();
    ASSERT_TRUE(mSim->unplug());
    ASSERT_TRUE(LogCapture::waitFor("serialLogThread: exiting", 3000));
    ASSERT_TRUE(twtest::waitFor([&] { return !mHal->mSerialAttached; }, 3000));
    // The hotplug thread is free: the accessory is found again.
    plugReady();
}

// --- download mode ---

TEST_F(Core, DownloadModeIdentities) {
    startHal();
    ASSERT_TRUE(mSim->plugDownloadMode("00000000001B", "QPA330X"));
    ASSERT_TRUE(mSim->waitForNodeRecords(twsim::kFirmwareWriteNode, 1, 3000));
    EXPECT_EQ(std::vector<std::string>{"6"}, values(twsim::kFirmwareWriteNode));
    EXPECT_TRUE(LogCapture::contains("usbDeviceAdded : serial is 00000000001B"));
    EXPECT_TRUE(LogCapture::contains("usbDeviceAdded : product_name is QPA330X"));
    EXPECT_TRUE(LogCapture::contains("usbDeviceAdded : error dload mode"));
    EXPECT_TRUE(LogCapture::waitFor("usbDeviceAdded: doRecoveryUpgrade called", 2000));

    mSim->clearNodeRecords();
    LogCapture::clear();
    ASSERT_TRUE(mSim->plugDownloadMode("00000000001A", "QPA310X"));
    ASSERT_TRUE(LogCapture::waitFor("usbDeviceAdded : normal dload mode", 3000));
    LogCapture::clear();
    ASSERT_TRUE(mSim->plugDownloadMode("00000000001B", "QPA999X"));
    ASSERT_TRUE(LogCapture::waitFor("usbDeviceAdded : QPA999X recovery not supported", 3000));
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_TRUE(mSim->nodeRecords(twsim::kFirmwareWriteNode).empty());
    EXPECT_FALSE(static_cast<bool>(mHal->getTW2Connect()));
}

// --- firmware triggers ---

TEST_F(Core, FirmwareTriggers) {
    startHal();
    EXPECT_EQ(Status::SUCCESS, static_cast<Status>(mHal->doFirmwareUpgrade()));
    EXPECT_EQ(Status::SUCCESS, mHal->doRecoveryUpgrade());
    EXPECT_EQ(Status::SUCCESS, static_cast<Status>(mHal->cancelFirmwareUpgrade()));
    ASSERT_TRUE(mSim->waitForNodeRecords(twsim::kFirmwareWriteNode, 3, 2000));
    EXPECT_EQ((std::vector<std::string>{"1", "6", "0"}), values(twsim::kFirmwareWriteNode));

    // Download mode without the accessory: the power node is written anyway.
    EXPECT_EQ(Status::FAILURE, static_cast<Status>(mHal->goDload()));
    ASSERT_TRUE(mSim->waitForNodeRecords(twsim::kTw2PdNode, 1, 2000));
    EXPECT_EQ(std::vector<std::string>{"0 0"}, values(twsim::kTw2PdNode));

    plugReady();
    mSim->clearNodeRecords();
    size_t from = mSim->atCommands().size();
    EXPECT_EQ(Status::SUCCESS, static_cast<Status>(mHal->goSTMDload()));
    EXPECT_GE(mSim->waitForAtCommand("AT%GOSTMDLOAD", 1000, from), 0);
    ASSERT_TRUE(mSim->waitForNodeRecords(twsim::kTw2PdNode, 1, 2000));
    EXPECT_EQ(std::vector<std::string>{"0 0"}, values(twsim::kTw2PdNode));

    // The request node gone: Status 1 and the helper's message.
    ASSERT_EQ(0, unlink(real(twsim::kFirmwareWriteNode).c_str()));
    LogCapture::clear();
    EXPECT_EQ(Status::FAILURE, static_cast<Status>(mHal->doFirmwareUpgrade()));
    EXPECT_TRUE(LogCapture::contains(
            std::string("File is not exist : ") + twsim::kFirmwareWriteNode, ANDROID_LOG_ERROR));
}

// --- SIGUSR1 ---

TEST_F(Core, Sigusr1StopsTheUsbMonitoring) {
    startHal();
    ASSERT_EQ(0, raise(SIGUSR1));
    ASSERT_TRUE(LogCapture::waitFor("destroy set", 3000));
    EXPECT_TRUE(destroyThread.load());
    EXPECT_TRUE(LogCapture::waitFor("usbThread: exiting", 1000));
    EXPECT_TRUE(LogCapture::waitFor("usbNotifyThread: exiting", 1000));
    EXPECT_FALSE(mHal->mUsbThreadStarted);
    EXPECT_FALSE(mHal->mUsbNotifyThreadStarted);

    // Nothing notices the accessory any more; the object still answers.
    ASSERT_TRUE(mSim->plug());
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    EXPECT_TRUE(mSim->atCommands().empty());
    EXPECT_FALSE(static_cast<bool>(mHal->getTW2Connect()));
    mHal = nullptr;  // nothing left to stop in TearDown
}

}  // namespace
