/*
 * The simulator's core: device tree, firmware AT side, node write records,
 * link recovery, properties and wake locks.
 */
#include <cutils/klog.h>
#include <cutils/properties.h>
#include <gtest/gtest.h>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <twsim/simulator.h>

#include <fstream>
#include <functional>
#include <sstream>
#include <thread>

#include "internal.h"
#include "test_util.h"

namespace {

using twtest::readLine;
using twtest::TempRoot;
using twtest::transact;
using Lines = std::vector<std::string>;

std::string readAll(const std::string& file) {
    std::ifstream in(file);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

// Writes like a sysfs user: open write-only (optionally truncating), one
// write, close.
bool writeNode(const std::string& logical, const std::string& text, bool truncate) {
    int fd = twdevice::open(logical.c_str(), O_WRONLY | (truncate ? O_TRUNC : 0));
    if (fd < 0) return false;
    bool ok = write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    close(fd);
    return ok;
}

bool waitUntil(const std::function<bool()>& cond, int timeoutMs) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!cond()) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

// DTR as the phone sets it; the device module reports it to the simulator.
bool setDtr(int fd, unsigned long request) {
    int bits = TIOCM_DTR;
    return twdevice::ioctl(fd, request, &bits) == 0;
}

class SimTest : public ::testing::Test {
  protected:
    void SetUp() override {
        mSim = std::make_unique<twsim::Simulator>(mRoot.dir());
        ASSERT_TRUE(mSim->ok());
    }
    void TearDown() override {
        if (mFd >= 0) close(mFd);
        mSim.reset();
    }
    void plugAndOpen() {
        ASSERT_TRUE(mSim->plug());
        mFd = twdevice::open("/dev/ttyACM0", O_RDWR | O_NOCTTY);
        ASSERT_GE(mFd, 0) << strerror(errno);
    }
    void echoOff() { ASSERT_EQ(transact(mFd, "ATE0\r"), Lines({"ATE0\n", "OK\n"})); }

    TempRoot mRoot;
    std::unique_ptr<twsim::Simulator> mSim;
    int mFd = -1;
};

TEST_F(SimTest, TreeLayoutResolvesLikeAPhone) {
    ASSERT_TRUE(mSim->plug());
    EXPECT_EQ(readAll(mRoot.real("/sys/class/tty/ttyACM0/device/../idVendor")), "3a7e\n");
    EXPECT_EQ(readAll(mRoot.real("/sys/class/tty/ttyACM0/device/../idProduct")), "5b21\n");
    EXPECT_EQ(readAll(mRoot.real("/sys/class/hidraw/hidraw0/device/../../idVendor")), "3a7e\n");
    EXPECT_EQ(readAll(mRoot.real("/sys/class/hidraw/hidraw0/device/../../idProduct")), "5b21\n");
    EXPECT_EQ(twdevice::realpath("/sys/class/tty/ttyACM0/device/../power/control"),
              twsim::usbPowerControlNode());
    EXPECT_EQ(readAll(mRoot.real("/sys/bus/usb/devices/1-1/serial")),
              twsim::accessoryIdentity().serial + "\n");
    // The serial node is a link to a pty slave outside the root.
    char target[64] = {};
    ASSERT_GT(twdevice::readlink("/dev/ttyACM0", target, sizeof(target) - 1), 0);
    EXPECT_EQ(std::string(target).compare(0, 9, "/dev/pts/"), 0);
    struct stat st;
    ASSERT_EQ(twdevice::stat("/dev/hidraw0", &st), 0);
    EXPECT_TRUE(S_ISSOCK(st.st_mode));
    // The driver nodes and the phone's files.
    for (const char* node :
         {twsim::kTw2PdNode, twsim::kHalReadyNode, twsim::kRecoveryNode, twsim::kFirmwareWriteNode,
          twsim::kAesModeNode, twsim::kTouchUpdateStateNode, twsim::kWakeLockNode, twsim::kKmsgNode,
          twsim::kDfuDir, twsim::kTouchDataDir}) {
        EXPECT_EQ(twdevice::access(node, R_OK), 0) << node;
    }
}

TEST_F(SimTest, LeftoversOfAnEarlierRunAreReplaced) {
    mSim.reset();
    std::ofstream(mRoot.real("/dev/ttyACM0")) << "stale";
    std::ofstream(mRoot.real("/system_ext/etc/dfu/QPA330X-V2_a.dfu")) << "image";
    mSim = std::make_unique<twsim::Simulator>(mRoot.dir());
    ASSERT_TRUE(mSim->ok());
    EXPECT_NE(twdevice::access("/dev/ttyACM0", F_OK), 0);
    EXPECT_EQ(twdevice::access("/system_ext/etc/dfu/QPA330X-V2_a.dfu", F_OK), 0);
}

TEST_F(SimTest, RootSlashIsRefused) {
    twsim::Simulator bad("/");
    EXPECT_FALSE(bad.ok());
    EXPECT_FALSE(bad.plug());
}

TEST_F(SimTest, EchoUntilAte0) {
    plugAndOpen();
    EXPECT_TRUE(mSim->echoEnabled());
    EXPECT_EQ(transact(mFd, "AT%HPD\r"), Lines({"AT%HPD\n", "On\n", "OK\n"}));
    echoOff();
    EXPECT_FALSE(mSim->echoEnabled());
    // Without echo the reply starts with a blank line.
    EXPECT_EQ(transact(mFd, "AT%HPD\r"), Lines({"\n", "On\n", "OK\n"}));
    EXPECT_EQ(transact(mFd, "ATE1\r"), Lines({"\n", "OK\n"}));
    EXPECT_EQ(transact(mFd, "AT\r"), Lines({"AT\n", "OK\n"}));
}

TEST_F(SimTest, DefaultRepliesCoverTheCommandTable) {
    plugAndOpen();
    echoOff();
    const char* const okCommands[] = {"AT%MODEL=DCM",
                                      "AT%LOGSAVE=0",
                                      "AT%LOGSAVE=2",
                                      "AT%LOGSAVE=3",
                                      "AT%GODLOAD",
                                      "AT%GOSTMDLOAD",
                                      "AT%TW=1",
                                      "AT%TW=0",
                                      "AT%TCPERF=1",
                                      "AT%DB=120",
                                      "AT%SMODE=2",
                                      "AT%PRGB=1,2,3,4",
                                      "AT%SHS=1,2,3",
                                      "AT%TCHDEBUG=RESET",
                                      "AT%TCHNOTIFY=FW_UPGRADE",
                                      "AT%TCHNOTIFY=SD",
                                      "AT%TCHNOTIFY=LPWG_SD",
                                      "AT%TCHNOTIFY=LPWG_NOTIFY,1,0",
                                      "AT%TCHNOTIFY=SWTICH_AES,2",
                                      "AT%TCHUPDATE=UPDATE_STATE,1,0,3"};
    for (const char* cmd : okCommands) {
        Lines reply = transact(mFd, std::string(cmd) + "\r");
        ASSERT_FALSE(reply.empty()) << cmd;
        EXPECT_EQ(reply.back(), "OK\n") << cmd;
    }
    EXPECT_EQ(transact(mFd, "AT%SWV\r"),
              Lines({"\n", std::string(twsim::kDefaultFirmwareVersion) + "\n", "OK\n"}));
    // Case does not matter to the firmware.
    EXPECT_EQ(transact(mFd, "at%swv\r").size(), 3u);
    Lines cutout = transact(mFd, "AT%GETTWCUTOUT\r");
    ASSERT_EQ(cutout.size(), 3u);
    EXPECT_GT(cutout[1].size(), 1u);
    for (const char* query :
         {"AT%TCHDEBUG=FWVER\r", "AT%TCHDEBUG=GPIO_PIN\r", "AT%TCHDEBUG=RAWDATA\r",
          "AT%TCHDEBUG=DELTA\r", "AT%TCHNOTIFY=PULL_SD_RESULT\r"}) {
        Lines reply = transact(mFd, query);
        ASSERT_GE(reply.size(), 3u) << query;
        EXPECT_EQ(reply.back(), "OK\n") << query;
    }
    EXPECT_EQ(transact(mFd, "AT%TCHDEBUG=RAWDATA\r").size(), 6u);  // blank, 4 rows, OK
    // Not in the table: refused.
    EXPECT_EQ(transact(mFd, "AT%NOSUCH\r"), Lines({"\n", "ERROR\n"}));
    mSim->setFirmwareVersion("QPA310X-V3_b");
    EXPECT_EQ(transact(mFd, "AT%SWV\r"), Lines({"\n", "QPA310X-V3_b\n", "OK\n"}));
}

TEST_F(SimTest, ScriptedErrorReplyAndCount) {
    plugAndOpen();
    echoOff();
    twsim::AtScript err;
    err.match = "AT%DB";
    err.action = twsim::AtScript::Action::Error;
    err.text = "bad level";
    err.times = 1;
    mSim->setAtScript(err);
    EXPECT_EQ(transact(mFd, "AT%DB=300\r"), Lines({"\n", "bad level\n", "ERROR\n"}));
    // Used up: the default answer is back.
    EXPECT_EQ(transact(mFd, "AT%DB=300\r"), Lines({"\n", "OK\n"}));

    twsim::AtScript reply;
    reply.match = "at%hpd";  // any case
    reply.text = "off\nsecond line";
    mSim->setAtScript(reply);
    EXPECT_EQ(transact(mFd, "AT%HPD\r"), Lines({"\n", "off\n", "second line\n", "OK\n"}));
    EXPECT_EQ(transact(mFd, "AT%HPD\r"), Lines({"\n", "off\n", "second line\n", "OK\n"}));
    mSim->clearAtScripts();
    EXPECT_EQ(transact(mFd, "AT%HPD\r"), Lines({"\n", "On\n", "OK\n"}));
}

TEST_F(SimTest, ScriptedRawSilenceAndDelay) {
    plugAndOpen();
    echoOff();
    twsim::AtScript raw;
    raw.match = "AT%SWV";
    raw.action = twsim::AtScript::Action::Raw;
    raw.text = "log text\r\nOK\r\n";  // no blank line: reads as a log line and the end
    mSim->setAtScript(raw);
    EXPECT_EQ(transact(mFd, "AT%SWV\r"), Lines({"log text\n", "OK\n"}));

    twsim::AtScript silent;
    silent.match = "AT%TW";
    silent.action = twsim::AtScript::Action::Silent;
    mSim->setAtScript(silent);
    EXPECT_TRUE(transact(mFd, "AT%TW=1\r", 300).empty());
    EXPECT_GE(mSim->waitForAtCommand("AT%TW=1", 100), 0);  // heard, not answered

    twsim::AtScript slow;
    slow.match = "AT%HPD";
    slow.delayMs = 150;
    slow.text = "On";
    mSim->setAtScript(slow);
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(transact(mFd, "AT%HPD\r"), Lines({"\n", "On\n", "OK\n"}));
    long took = twtest::elapsedMs(t0);
    EXPECT_GE(took, 145);
    EXPECT_LT(took, 1000);
}

TEST_F(SimTest, ScriptedHangUp) {
    plugAndOpen();
    twsim::AtScript hup;
    hup.match = "AT%TCHNOTIFY=SD";
    hup.action = twsim::AtScript::Action::HangUp;
    mSim->setAtScript(hup);
    // The echo comes, then the line drops.
    EXPECT_EQ(transact(mFd, "AT%TCHNOTIFY=SD\r"), Lines({"<HUP>"}));
    EXPECT_GE(mSim->waitForAtCommand("AT%TCHNOTIFY=SD", 100), 0);
    EXPECT_FALSE(mSim->sendLog("after the hang-up"));
    // The device leaves the bus; the port cannot be opened again until the
    // accessory comes back.
    ASSERT_TRUE(waitUntil([&] { return !mSim->isPlugged(); }, 3000));
    EXPECT_EQ(twdevice::open("/dev/ttyACM0", O_RDWR | O_NOCTTY), -1);
    close(mFd);
    plugAndOpen();
    EXPECT_EQ(transact(mFd, "AT\r"), Lines({"AT\n", "OK\n"}));

    // With a text: the part of an answer the phone reads before the line drops.
    hup.text = "\r\nOn\r\n";
    mSim->setAtScript(hup);
    EXPECT_EQ(transact(mFd, "AT%TCHNOTIFY=SD\r"), Lines({"AT%TCHNOTIFY=SD\n", "On\n", "<HUP>"}));
}

TEST_F(SimTest, CommandRecordsKeepOrderAndTime) {
    plugAndOpen();
    auto before = twsim::Clock::now();
    echoOff();
    transact(mFd, "AT%DB=10\r");
    // Several commands in one write are taken one by one.
    const std::string both = "AT%DB=20\rAT%DB=30\r";
    ASSERT_EQ(write(mFd, both.data(), both.size()), static_cast<ssize_t>(both.size()));
    ASSERT_GE(mSim->waitForAtCommand("AT%DB=30", 1000), 0);
    std::vector<twsim::AtRecord> records = mSim->atCommands();
    ASSERT_EQ(records.size(), 4u);
    EXPECT_EQ(records[0].command, "ATE0");
    EXPECT_EQ(records[1].command, "AT%DB=10");
    EXPECT_EQ(records[2].command, "AT%DB=20");
    EXPECT_EQ(records[3].command, "AT%DB=30");
    EXPECT_GE(records[0].time, before);
    for (size_t i = 1; i < records.size(); i++) EXPECT_GE(records[i].time, records[i - 1].time);
    EXPECT_EQ(records[2].port, 1);
    EXPECT_EQ(mSim->waitForAtCommand("at%db", 0, 2), 2);
    EXPECT_EQ(mSim->waitForAtCommand("AT%SWV", 50), -1);
    mSim->clearAtCommands();
    EXPECT_TRUE(mSim->atCommands().empty());
}

TEST_F(SimTest, LogLinesAtAnyTime) {
    plugAndOpen();
    echoOff();
    ASSERT_TRUE(setDtr(mFd, TIOCMBIS));
    ASSERT_TRUE(mSim->waitForDtr(true, 2000));
    ASSERT_TRUE(mSim->sendLog("[fw] boot done"));
    EXPECT_EQ(readLine(mFd, 500), "[fw] boot done\n");
    // A log line queued before a command is read before its reply.
    ASSERT_TRUE(mSim->sendLog("[fw] touch ready"));
    EXPECT_EQ(transact(mFd, "AT%HPD\r"), Lines({"[fw] touch ready\n", "\n", "On\n", "OK\n"}));
    EXPECT_FALSE(mSim->sendLog("no such port", 2));
}

// The firmware sends its log only while DTR is up: a reader that never
// raises it gets no lines; the lines wait in the firmware's buffer (the
// newest 64) and come when DTR rises. AT replies do not depend on DTR.
TEST_F(SimTest, LogLinesOnlyWhileDtrIsUp) {
    plugAndOpen();
    echoOff();
    EXPECT_FALSE(mSim->dtr());
    for (int i = 0; i < 70; i++) ASSERT_TRUE(mSim->sendLog("held " + std::to_string(i)));
    EXPECT_EQ(readLine(mFd, 300), "");
    EXPECT_EQ(transact(mFd, "AT%HPD\r"), Lines({"\n", "On\n", "OK\n"}));

    ASSERT_TRUE(setDtr(mFd, TIOCMBIS));
    ASSERT_TRUE(mSim->waitForDtr(true, 2000));
    for (int i = 6; i < 70; i++) {
        ASSERT_EQ(readLine(mFd, 1000), "held " + std::to_string(i) + "\n");
    }
    ASSERT_TRUE(mSim->sendLog("live"));
    EXPECT_EQ(readLine(mFd, 1000), "live\n");

    ASSERT_TRUE(setDtr(mFd, TIOCMBIC));
    ASSERT_TRUE(mSim->waitForDtr(false, 2000));
    ASSERT_TRUE(mSim->sendLog("dark"));
    EXPECT_EQ(readLine(mFd, 300), "");
    int bits = TIOCM_DTR | TIOCM_RTS;
    ASSERT_EQ(twdevice::ioctl(mFd, TIOCMSET, &bits), 0);
    ASSERT_TRUE(mSim->waitForDtr(true, 2000));
    EXPECT_EQ(readLine(mFd, 1000), "dark\n");

    // A new plug starts with DTR down.
    close(mFd);
    mFd = -1;
    ASSERT_TRUE(mSim->unplug());
    plugAndOpen();
    EXPECT_FALSE(mSim->dtr());
}

// A device whose port hangs up leaves the bus; a failed link recovery
// leaves it off the bus.
TEST_F(SimTest, HangUpUnplugsAndARecoveryCanFail) {
    plugAndOpen();
    std::string usb = mSim->usbDeviceName();
    mSim->setAtScript({"AT%BYE", twsim::AtScript::Action::HangUp, ""});
    EXPECT_EQ(transact(mFd, "AT%BYE\r"), Lines({"<HUP>"}));
    EXPECT_TRUE(waitUntil([&] { return !mSim->isPlugged(); }, 3000));
    EXPECT_EQ(twdevice::access(usb.c_str(), F_OK), -1);
    close(mFd);
    mFd = -1;

    ASSERT_TRUE(mSim->plug());
    mSim->setRecoveryDelayMs(0);
    mSim->failNextRecoveries(1);
    EXPECT_EQ(1, mSim->pendingRecoveryFailures());
    ASSERT_TRUE(writeNode(twsim::kRecoveryNode, "Y", false));
    EXPECT_TRUE(waitUntil([&] { return mSim->failedRecoveryCount() == 1; }, 3000));
    EXPECT_FALSE(mSim->isPlugged());
    EXPECT_EQ(0, mSim->recoveryCount());
    EXPECT_EQ(0, mSim->pendingRecoveryFailures());
    // The next one succeeds again.
    ASSERT_TRUE(mSim->plug());
    ASSERT_TRUE(writeNode(twsim::kRecoveryNode, "Y", false));
    EXPECT_TRUE(mSim->waitForRecoveries(1, 3000));
    EXPECT_TRUE(mSim->isPlugged());
}

TEST_F(SimTest, UnplugHangsUpAndRemovesTheNodes) {
    plugAndOpen();
    std::string usb = mSim->usbDeviceName();
    ASSERT_EQ(twdevice::access(usb.c_str(), F_OK), 0);
    ASSERT_TRUE(mSim->unplug());
    EXPECT_EQ(readLine(mFd, 500), "<HUP>");
    for (const std::string& gone :
         {std::string("/dev/ttyACM0"), std::string("/dev/hidraw0"), usb,
          std::string("/sys/class/tty/ttyACM0"), std::string("/sys/class/hidraw/hidraw0"),
          std::string("/sys/bus/usb/devices/1-1"), twsim::usbPowerControlNode()}) {
        EXPECT_NE(twdevice::access(gone.c_str(), F_OK), 0) << gone;
    }
    EXPECT_FALSE(mSim->unplug());
    EXPECT_FALSE(mSim->isPlugged());
}

TEST_F(SimTest, PortsAndNodeIndexesDoNotCollide) {
    ASSERT_TRUE(mSim->plug());
    EXPECT_FALSE(mSim->plug());  // port 1 taken
    twsim::UsbIdentity other;
    other.vendorId = 0x1234;
    other.productId = 0x5678;
    EXPECT_FALSE(mSim->plug(other, 2));  // ttyACM0 / hidraw0 taken
    other.ttyIndex = 1;
    other.hidrawIndex = 1;
    ASSERT_TRUE(mSim->plug(other, 2));
    EXPECT_EQ(readAll(mRoot.real("/sys/class/tty/ttyACM1/device/../idVendor")), "1234\n");
    EXPECT_EQ(readAll(mRoot.real("/sys/class/hidraw/hidraw1/device/../../idProduct")), "5678\n");
    EXPECT_NE(mSim->usbDeviceName(1), mSim->usbDeviceName(2));
    EXPECT_FALSE(mSim->plug(other, 0));
    EXPECT_FALSE(mSim->plug(other, 16));
}

TEST_F(SimTest, NodeWritesAreRecordedInOrder) {
    ASSERT_TRUE(mSim->plug());
    const std::string control = twsim::usbPowerControlNode();
    ASSERT_TRUE(writeNode(twsim::kTw2PdNode, "1 0", true));
    ASSERT_TRUE(mSim->waitForNodeRecords(twsim::kTw2PdNode, 1, 1000));
    ASSERT_TRUE(writeNode(twsim::kHalReadyNode, "Y", false));
    ASSERT_TRUE(mSim->waitForNodeRecords(twsim::kHalReadyNode, 1, 1000));
    // Written through the tty's link, without truncation, as the votes do.
    const std::string viaTty = "/sys/class/tty/ttyACM0/device/../power/control";
    ASSERT_TRUE(writeNode(viaTty, "auto", false));
    ASSERT_TRUE(mSim->waitForNodeRecords(control, 1, 1000));
    ASSERT_TRUE(writeNode(viaTty, "on", false));
    ASSERT_TRUE(mSim->waitForNodeRecords(control, 2, 1000));
    ASSERT_TRUE(writeNode(viaTty, "auto", false));
    ASSERT_TRUE(mSim->waitForNodeRecords(control, 3, 1000));
    ASSERT_TRUE(writeNode(twsim::kFirmwareWriteNode, "1", true));
    ASSERT_TRUE(mSim->waitForNodeRecords(twsim::kFirmwareWriteNode, 1, 1000));
    ASSERT_TRUE(writeNode(twsim::kTw2PdNode, "0 0", true));
    ASSERT_TRUE(mSim->waitForNodeRecords(twsim::kTw2PdNode, 2, 1000));

    std::vector<twsim::NodeRecord> records = mSim->nodeRecords();
    std::vector<std::pair<std::string, std::string>> seen;
    for (const auto& r : records) {
        EXPECT_TRUE(r.exact) << r.node;
        seen.push_back({r.node, r.value});
    }
    std::vector<std::pair<std::string, std::string>> expected = {
            {twsim::kTw2PdNode, "1 0"}, {twsim::kHalReadyNode, "Y"},
            {control, "auto"},          {control, "on"},
            {control, "auto"},          {twsim::kFirmwareWriteNode, "1"},
            {twsim::kTw2PdNode, "0 0"}};
    EXPECT_EQ(seen, expected);
    for (size_t i = 1; i < records.size(); i++) EXPECT_GE(records[i].time, records[i - 1].time);
    EXPECT_EQ(mSim->nodeRecords(control).size(), 3u);

    // Opening a node to read it is not a write (the nodes are pipes: the
    // read must not wait).
    int rfd = open(mRoot.real(twsim::kTw2PdNode).c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(rfd, 0);
    close(rfd);
    EXPECT_FALSE(mSim->waitForNodeRecords(twsim::kTw2PdNode, 3, 100));
    mSim->clearNodeRecords();
    EXPECT_TRUE(mSim->nodeRecords().empty());
}

// A node whose device is leaving is no longer watched; a write that comes
// after must find a plain file: a pipe nobody reads would hold the writer's
// open for ever (and with it whatever lock the writer holds).
TEST(NodeWatcher, UnwatchedNodesTakeLateWritesWithoutAReader) {
    TempRoot root;
    const std::string dir = root.real("/power");
    ASSERT_TRUE(twsim::fs::makeDirs(dir));
    ASSERT_TRUE(twsim::fs::writeFile(dir + "/control", "on\n"));
    twsim::NodeWatcher watcher;
    ASSERT_TRUE(watcher.start([](const twsim::NodeRecord&) {}));
    ASSERT_TRUE(watcher.watch(dir, "/power"));
    watcher.unwatch(dir);
    int fd = open((dir + "/control").c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    EXPECT_GE(fd, 0) << strerror(errno);
    if (fd >= 0) close(fd);
}

TEST_F(SimTest, BackToBackWritesAreCountedEvenWhenMerged) {
    ASSERT_TRUE(mSim->plug());
    for (int i = 0; i < 20; i++)
        ASSERT_TRUE(writeNode(twsim::kAesModeNode, i % 2 ? "2" : "0", true));
    ASSERT_TRUE(mSim->waitForNodeRecords(twsim::kAesModeNode, 20, 2000));
    std::vector<twsim::NodeRecord> records = mSim->nodeRecords(twsim::kAesModeNode);
    EXPECT_EQ(records.size(), 20u);
    // Every exact record holds what one of the writes wrote.
    for (const auto& r : records) {
        if (r.exact) {
            EXPECT_TRUE(r.value == "0" || r.value == "2") << r.value;
        }
    }
}

TEST_F(SimTest, RecoveryReenumeratesTheAccessory) {
    plugAndOpen();
    echoOff();
    mSim->setRecoveryDelayMs(20);
    std::string before = mSim->usbDeviceName();
    ASSERT_TRUE(writeNode(twsim::kRecoveryNode, "Y", false));
    // The link drops: the open port hangs up ...
    EXPECT_EQ(readLine(mFd, 1000), "<HUP>");
    close(mFd);
    mFd = -1;
    // ... and the accessory comes back with a new address.
    ASSERT_TRUE(mSim->waitForRecoveries(1, 2000));
    EXPECT_EQ(mSim->recoveryCount(), 1);
    EXPECT_TRUE(mSim->isPlugged());
    EXPECT_NE(mSim->usbDeviceName(), before);
    mFd = twdevice::open("/dev/ttyACM0", O_RDWR | O_NOCTTY);
    ASSERT_GE(mFd, 0);
    // A fresh firmware: the echo is on again.
    EXPECT_EQ(transact(mFd, "AT\r"), Lines({"AT\n", "OK\n"}));
    std::vector<twsim::NodeRecord> writes = mSim->nodeRecords(twsim::kRecoveryNode);
    ASSERT_EQ(writes.size(), 1u);
    EXPECT_EQ(writes[0].value, "Y");

    // Anything else in the node does not recover.
    ASSERT_TRUE(writeNode(twsim::kRecoveryNode, "N", false));
    ASSERT_TRUE(mSim->waitForNodeRecords(twsim::kRecoveryNode, 2, 1000));
    EXPECT_FALSE(mSim->waitForRecoveries(2, 200));
}

TEST_F(SimTest, PropertiesReachPropertyGet) {
    char value[PROPERTY_VALUE_MAX];
    property_get("ro.product.device", value, "0");
    EXPECT_STREQ(value, "zyr_phone");
    ASSERT_TRUE(mSim->setProperty("ro.product.device", "K-38C"));
    property_get("ro.product.device", value, "0");
    EXPECT_STREQ(value, "K-38C");
    EXPECT_EQ(mSim->property("ro.product.device"), "K-38C");
    ASSERT_TRUE(mSim->removeProperty("persist.vendor.zyr.service.kernel.enable"));
    property_get("persist.vendor.zyr.service.kernel.enable", value, "0");
    EXPECT_STREQ(value, "0");
}

TEST_F(SimTest, WakeLockToggleIsSeenAsAModification) {
    EXPECT_TRUE(mSim->displayOn());
    std::string locks = readAll(mRoot.real(twsim::kWakeLockNode));
    EXPECT_NE(locks.find(twsim::kDisplayWakeLock), std::string::npos);

    int in = inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
    ASSERT_GE(in, 0);
    ASSERT_GE(twdevice::inotifyAddWatch(in, twsim::kWakeLockNode, IN_MODIFY), 0);
    ASSERT_TRUE(mSim->setDisplayOn(false));
    struct pollfd pfd = {in, POLLIN, 0};
    EXPECT_EQ(poll(&pfd, 1, 500), 1);
    close(in);
    locks = readAll(mRoot.real(twsim::kWakeLockNode));
    EXPECT_EQ(locks.find(twsim::kDisplayWakeLock), std::string::npos);
    EXPECT_FALSE(mSim->displayOn());
    ASSERT_TRUE(mSim->setDisplayOn(true));
    EXPECT_NE(readAll(mRoot.real(twsim::kWakeLockNode)).find(twsim::kDisplayWakeLock),
              std::string::npos);
}

TEST_F(SimTest, TouchUpdateStateAndKernelLog) {
    ASSERT_TRUE(mSim->setTouchUpdateState("1 0 3\n"));
    EXPECT_EQ(readAll(mRoot.real(twsim::kTouchUpdateStateNode)), "1 0 3\n");
    klog_write(6, "<6>Twinel: %s", "from the test");
    EXPECT_EQ(mSim->kernelLog(), "<6>Twinel: from the test\n");
}

}  // namespace
