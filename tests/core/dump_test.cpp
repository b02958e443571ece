/*
 * The debug dump (lshal debug) against the simulator, in process: the lines
 * that answer what an engineer asks first, each after a known sequence of
 * events, and the dump's options. Each test runs in a fresh process, so every
 * counter starts at zero.
 */
#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <twsim/simulator.h>
#include <twsim/uevent.h>
#include <unistd.h>

#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "Twinel.h"
#include "at_history.h"
#include "hal_fixture.h"
#include "log_capture.h"
#include "sub_display.h"
#include "test_util.h"

using ::android::sp;
using ::android::hardware::hidl_handle;
using ::android::hardware::hidl_string;
using ::android::hardware::hidl_vec;
using ::android::hardware::Return;
using ::android::hardware::Void;
using twsim::AtScript;
using twtest::LogCapture;
using ::vendor::zyr::hardware::twinel::V1_0::Result;
using ::vendor::zyr::hardware::twinel::V1_0::Status;
using ::vendor::zyr::hardware::twinel::V1_0::SubScreenState;
namespace V1_0 = ::vendor::zyr::hardware::twinel::V1_0;
namespace V1_1 = ::vendor::zyr::hardware::twinel::V1_1;
namespace impl = ::vendor::zyr::hardware::twinel::V1_1::implementation;

namespace {

struct Callback11 : V1_1::ITwinelLpwgCallback {
    Return<void> notifyEventChange(V1_0::LpwgEventStatus, Result) override { return Void(); }
    Return<void> notifyEventChange_1_1(V1_1::LpwgEventStatus, Result) override { return Void(); }
};

class Dump : public twtest::HalFixture {
  protected:
    Dump() : HalFixture("twdump") {}

    void SetUp() override {
        HalFixture::SetUp();
        if (!HasFatalFailure()) startHal();
    }

    void TearDown() override {
        if (mHal != nullptr) mHal->setLpwgCallback(nullptr);
        HalFixture::TearDown();
    }

    // What debug() writes with `options`.
    std::string dump(const std::vector<std::string>& options = {}) {
        std::string file = mRoot.path() + "/dump.txt";
        int fd = open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        if (fd < 0) return "";
        native_handle_t* nh = native_handle_create(1, 0);
        nh->data[0] = fd;
        hidl_handle handle;
        handle.setTo(nh, true);
        hidl_vec<hidl_string> args;
        args.resize(options.size());
        for (size_t i = 0; i < options.size(); i++) args[i] = options[i];
        EXPECT_TRUE(mHal->debug(handle, args).isOk());
        handle.setTo(nullptr);
        return twtest::readFile(file);
    }

    // The value of the dump line "  KEY: VALUE"; "(missing)" when there is none.
    static std::string value(const std::string& text, const std::string& key) {
        std::string head = "\n  " + key + ": ";
        size_t at = ("\n" + text).find(head);
        if (at == std::string::npos) return "(missing)";
        size_t start = at + head.size() - 1;  // in `text`
        return text.substr(start, text.find('\n', start) - start);
    }

    std::string value(const std::string& key) { return value(dump(), key); }

    // Plugs the accessory and waits until the AT channel is up.
    void plugReady() {
        ASSERT_TRUE(mSim->plug());
        ASSERT_TRUE(mSim->waitForNodeRecords(twsim::kHalReadyNode, 1, 5000));
        ASSERT_TRUE(twtest::waitFor([&] { return LogCapture::contains("status = "); }, 5000));
    }

    // Plugs the HID function alone and waits for the sub display's power-on.
    void plugSubDisplayOn() {
        twsim::UsbIdentity id = twsim::accessoryIdentity();
        id.serialFunction = false;
        ASSERT_TRUE(mSim->plug(id));
        ASSERT_TRUE(twtest::waitFor(
                [&] {
                    return mHal->getSubDisplayState() == SubScreenState::ON &&
                           !impl::power_state_in_progress;
                },
                5000));
    }

    Status draw(uint8_t grey, size_t count = 128 * 128) {
        hidl_vec<uint32_t> pixels;
        pixels.resize(count);
        for (auto& p : pixels) p = static_cast<uint32_t>(grey) << 4;
        Return<Status> ret = mHal->drawSubDisplay(pixels);
        return ret.isOk() ? static_cast<Status>(ret) : Status::FAILURE;
    }

    static bool buffersFree() {
        return twtest::waitFor(
                [] {
                    return impl::getBufferState(0) == impl::BUFFER_FREE &&
                           impl::getBufferState(1) == impl::BUFFER_FREE;
                },
                3000);
    }
};

TEST_F(Dump, FramesSentReplacedAndRefused) {
    plugSubDisplayOn();
    EXPECT_EQ("03 02 5a (ok)", value("last config report"));
    EXPECT_EQ("sent 0  replaced 0  dropped 0  refused 0", value("frames"));

    // Each report takes 60 ms: while the first frame is on the wire, the
    // second waits and the third replaces it.
    mSim->setHidDelayMs(60);
    EXPECT_EQ(Status::SUCCESS, draw(1));
    ASSERT_TRUE(twtest::waitFor([] { return impl::getBufferState(0) == impl::BUFFER_CONSUMING; },
                                2000));
    EXPECT_EQ(Status::SUCCESS, draw(2));
    EXPECT_EQ(Status::SUCCESS, draw(3));
    EXPECT_EQ(Status::FAILURE, draw(4, 100));  // wrong size
    ASSERT_TRUE(mSim->waitForFrames(2, 3000));
    ASSERT_TRUE(buffersFree());
    EXPECT_EQ(2u, mSim->frameCount());
    EXPECT_EQ("sent 2  replaced 1  dropped 0  refused 1", value("frames"));
    EXPECT_EQ("6 of 6", value("retry budget left"));
    EXPECT_EQ("none", value("last HID error"));
}

TEST_F(Dump, RetriesAndTheLastHidError) {
    plugSubDisplayOn();
    // Three failed writes: the frame goes through on the fourth attempt.
    mSim->failHidWrites(3);
    EXPECT_EQ(Status::SUCCESS, draw(5));
    ASSERT_TRUE(mSim->waitForFrames(1, 3000));
    ASSERT_TRUE(buffersFree());
    EXPECT_EQ("3 of 6", value("retry budget left"));
    EXPECT_EQ(0u, value("last HID error").find("write palette: " + std::string(strerror(EIO))))
            << value("last HID error");

    // Four more: the budget runs out and the frame is given up.
    mSim->failHidWrites(4);
    EXPECT_EQ(Status::SUCCESS, draw(6));
    ASSERT_TRUE(LogCapture::waitFor("Could not send palette data.", 3000));
    ASSERT_TRUE(buffersFree());
    EXPECT_EQ("sent 1  replaced 0  dropped 1  refused 0", value("frames"));
    EXPECT_EQ("0 of 6", value("retry budget left"));
}

TEST_F(Dump, WorkerStateIsTruthfulAfterASocketFailure) {
    // The uevent socket cannot be created where its directory should be.
    std::string dir = mSim->path("/dev/socket/uevent");
    ASSERT_EQ(0, system(("rm -rf '" + dir + "'").c_str()));
    { std::ofstream(dir) << "not a directory"; }

    mHal->setLpwgCallback(new Callback11());
    ASSERT_TRUE(LogCapture::waitFor("uevent_init: uevent_open_socket failed", 3000));
    std::string text;
    ASSERT_TRUE(twtest::waitFor(
            [&] {
                text = dump();
                return value(text, "mLpwgCallback").find("running") == std::string::npos;
            },
            3000))
            << text;
    EXPECT_EQ("registered  uevent worker: ended (uevent_open_socket failed)",
              value(text, "mLpwgCallback"));
    EXPECT_EQ("1.1", value(text, "callback version"));
}

TEST_F(Dump, UeventsCountedAndTheLastOne) {
    EXPECT_EQ("none  uevent worker: not running", value("mLpwgCallback"));
    mHal->setLpwgCallback(new Callback11());
    ASSERT_TRUE(twsim::waitForUeventListeners(*mSim, 1, 3000));
    EXPECT_EQ("registered  uevent worker: running", value("mLpwgCallback"));
    ASSERT_EQ(1, twsim::sendUevent(*mSim, twsim::touchUevent("WAKEUP")));
    ASSERT_EQ(1, twsim::sendUevent(*mSim, twsim::touchUevent("TW_PEN_DETECTION")));
    ASSERT_EQ(1, twsim::sendUevent(*mSim, twsim::ueventMessage({"SUBSYSTEM=ZYR_TW2"})));
    ASSERT_TRUE(twtest::waitFor(
            [&] { return value("uevents").find("dropped 1") != std::string::npos; }, 3000));
    std::string text = dump();
    EXPECT_EQ("received 3  delivered 2  failed 0  handled 0  dropped 1", value(text, "uevents"));
    EXPECT_EQ(0u, value(text, "last uevent").find("TW_PEN_DETECTION (3) -"))
            << value(text, "last uevent");

    // Zeroed on request; the last values stay.
    EXPECT_EQ("counters reset\n", dump({"--reset-counters"}));
    text = dump();
    EXPECT_EQ("received 0  delivered 0  failed 0  handled 0  dropped 0", value(text, "uevents"));
    EXPECT_EQ(0u, value(text, "last uevent").find("TW_PEN_DETECTION (3) -"));
}

TEST_F(Dump, BringUpLines) {
    ASSERT_TRUE(mSim->setProperty("persist.vendor.zyr.service.kernel.enable", "1"));
    ASSERT_TRUE(mSim->setProperty("persist.vendor.zyr.dd.uart.enable", "1"));
    ASSERT_TRUE(mSim->setTouchUpdateState("1 2"));
    EXPECT_EQ("none", value("last LOGSAVE"));
    plugReady();
    ASSERT_TRUE(mSim->waitForDtr(true, 3000));
    EXPECT_EQ(Status::SUCCESS, static_cast<Status>(mHal->setAesMode(2)));
    std::string text = dump();
    const std::vector<std::pair<std::string, std::string>> kLines = {
            {"log capture", "running"},
            {"log port", "open"},
            {"DTR", "up"},
            {"last LOGSAVE", "AT%LOGSAVE=2 (ok)"},
            {"last AES mode", "2 (ok)"},
            {"last touch update state", "AT%TCHUPDATE=UPDATE_STATE,1,2 (ok)"},
            {"link recoveries", "0"},
            {"last recovery", "none"},
            {"last DFU device", "none"},
    };
    for (const auto& [key, expected] : kLines) EXPECT_EQ(expected, value(text, key)) << key;

    // The display goes off: DTR is dropped and the port closed.
    ASSERT_TRUE(mSim->setDisplayOn(false));
    ASSERT_TRUE(mSim->waitForDtr(false, 3000));
    ASSERT_TRUE(twtest::waitFor([&] { return value("log port") == "closed"; }, 3000));
    EXPECT_EQ("down", value("DTR"));
    EXPECT_EQ("running", value("log capture"));
}

TEST_F(Dump, LinkRecoveryAndTheLastDfuDevice) {
    plugReady();
    mSim->setAtScript({"AT%MUTE", AtScript::Action::Silent, "", 0, 1});
    EXPECT_EQ(-1, mHal->serialAtCmd("AT%MUTE\r", nullptr, 0, nullptr));
    ASSERT_TRUE(mSim->waitForNodeRecords(twsim::kRecoveryNode, 1, 3000));
    std::string text = dump();
    EXPECT_EQ("1", value(text, "link recoveries"));
    std::string last = value(text, "last recovery");
    EXPECT_EQ(0u, last.find("-")) << last;
    EXPECT_NE(std::string::npos, last.find("s, no reply to AT%MUTE, \"Y\" written")) << last;

    mSim->unplugAll();
    ASSERT_TRUE(mSim->plugDownloadMode("00000000001A", "QPA330X"));
    ASSERT_TRUE(LogCapture::waitFor("usbDeviceAdded : normal dload mode", 3000));
    EXPECT_EQ("serial \"00000000001A\" product \"QPA330X\"", value("last DFU device"));
}

TEST_F(Dump, AtOptionPrintsOnlyTheHistory) {
    EXPECT_EQ(-1, mHal->serialAtCmd("AT%NOBODY\r", nullptr, 0, nullptr));
    std::string at = dump({"--at"});
    EXPECT_EQ(0u, at.find("AT exchanges (last 1):\n")) << at;
    EXPECT_NE(std::string::npos, at.find("AT%NOBODY")) << at;
    EXPECT_EQ(impl::atHistoryDump().substr(0, 23), at.substr(0, 23));
    EXPECT_EQ(std::string::npos, at.find("Twinel HAL")) << at;
    std::string all = dump();
    EXPECT_EQ(0u, all.find("Twinel HAL\n")) << all;
    EXPECT_NE(std::string::npos, all.find("AT exchanges (last 1):\n")) << all;
}

TEST_F(Dump, HelpAndBadOptions) {
    struct Case {
        std::vector<std::string> options;
        std::string first;  // the first line
    };
    const Case kCases[] = {
            {{"--help"}, "options:"},
            {{"-h"}, "options:"},
            {{"--bogus"}, "unknown option: --bogus"},
            {{"--at", "--help"}, "one option at a time"},
    };
    for (const Case& c : kCases) {
        std::string text = dump(c.options);
        EXPECT_EQ(c.first, text.substr(0, text.find('\n'))) << text;
        for (const char* option : {"--at", "--reset-counters", "--help"}) {
            EXPECT_NE(std::string::npos, text.find(std::string("  ") + option + " ")) << text;
        }
        EXPECT_EQ(std::string::npos, text.find("Twinel HAL")) << text;
    }
}

}  // namespace
