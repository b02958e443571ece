/*
 * twinelctl against the service, hwservicemanager and the simulator program
 * as separate processes: what the tool prints and how it exits, checked
 * against what the accessory and the kernel nodes saw.
 */
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include "tools_test_util.h"

namespace {

using twtools::contains;
using twtools::RunResult;

constexpr const char* kTw2Pd = "/sys/class/twinel/tw2/tw2_pd";
constexpr const char* kPowerControl = "/sys/devices/platform/soc/usb1/1-1/power/control";
constexpr const char* kFirmwareNode =
        "/sys/devices/platform/soc/soc:gpio_keys/virtual_mcu_firmware_write";

class Client : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_TRUE(mSys.ok()) << "the system did not start"; }

    // Runs the client and expects exit code `code`.
    RunResult ok(const std::vector<std::string>& args, int code = 0) {
        RunResult r = mSys.client(args);
        EXPECT_EQ(code, r.exitCode) << "out:\n" << r.out << "err:\n" << r.err;
        return r;
    }

    bool waitForState(int state) {
        return twtest::waitFor(
                [&] {
                    return mSys.client({"getSubDisplayPowerState"})
                                   .out.find("state: " + std::to_string(state)) !=
                           std::string::npos;
                },
                5000);
    }

    // Waits for the sub display's next frame and returns it as the simulator
    // pictures it.
    bool nextFrame(uint64_t* count, twtools::Grey* picture) {
        if (!mSys.simOk("wait-frame " + std::to_string(*count + 1) + " 5000")) return false;
        (*count)++;
        std::string png = mSys.root() + "/frame.png";
        unlink(png.c_str());
        return mSys.simOk("frame-png " + png) && twtools::readPng(png, picture);
    }

    uint64_t frames() {
        std::vector<std::string> out = mSys.sim("frames");
        if (out.empty() || out.back().rfind("ok ", 0) != 0) return 0;
        return std::stoull(out.back().substr(3));
    }

    std::string logOf(const std::string& path) { return twtest::readFile(path); }

    twtools::System mSys;
};

TEST_F(Client, FirmwareVersionIsWhatTheAccessoryAnswers) {
    ASSERT_TRUE(mSys.simOk("at-version ZZ9-V4.56_20250101"));
    RunResult r = ok({"getFirmwareVersion"});
    EXPECT_EQ("version: ZZ9-V4.56_20250101\nstatus: 0 (success)\n", r.out);
    EXPECT_EQ("", r.err);
    EXPECT_TRUE(contains(mSys.atCommands(), "AT%SWV"));

    ASSERT_TRUE(mSys.simOk("at-script AT%SWV error broken"));
    r = ok({"getFirmwareVersion"}, 1);
    EXPECT_NE(std::string::npos, r.out.find("status: 1 (failure)")) << r.out;
}

TEST_F(Client, PowerOnAndOffWriteTheNodeAndShowInTheStatus) {
    RunResult r = ok({"setPowerStatus", "true", "on"});
    EXPECT_EQ("status: 0 (success)\n", r.out);
    ASSERT_TRUE(mSys.simOk(std::string("wait-record ") + kTw2Pd + " 1 3000"));
    std::vector<std::string> commands = mSys.atCommands();
    EXPECT_TRUE(contains(commands, "AT%TW=1"));
    EXPECT_TRUE(contains(commands, "AT%HPD"));
    EXPECT_EQ(std::vector<std::string>{"1\\x201"}, mSys.nodeWrites(kTw2Pd));

    ok({"setBrightness", "77"});
    ASSERT_TRUE(mSys.simOk("wait-command AT%DB=77 3000"));
    ASSERT_TRUE(mSys.simOk("accessory connected"));
    r = ok({"getTW2Status"});
    EXPECT_EQ(
            "connected: true\nbrightnessOffset: 0\nreserved: false\n"
            "brightnessOffsetBypass: false\nbrightness: 77\nstatus: 0 (success)\n",
            r.out);

    ok({"setTWBrightnessOffset", "-5"});
    ok({"setPowerStatus", "0", "false"});
    ASSERT_TRUE(mSys.simOk(std::string("wait-record ") + kTw2Pd + " 2 3000"));
    EXPECT_EQ((std::vector<std::string>{"1\\x201", "0\\x200"}), mSys.nodeWrites(kTw2Pd));
    EXPECT_TRUE(contains(mSys.atCommands(), "AT%TW=0"));
    r = ok({"getTW2Status"});
    EXPECT_NE(std::string::npos, r.out.find("brightnessOffset: -5\n")) << r.out;
    EXPECT_NE(std::string::npos, r.out.find("brightness: 0\n")) << r.out;
}

TEST_F(Client, StatusOneFromTheHalIsExitOne) {
    ASSERT_TRUE(mSys.simOk("at-script AT%TW= error"));
    RunResult r = ok({"setPowerStatus", "1", "0"}, 1);
    EXPECT_EQ("status: 1 (failure)\n", r.out);
    EXPECT_TRUE(mSys.nodeWrites(kTw2Pd).empty());
    // Refused by the HAL before anything is sent: the sub display is on,
    // so the same request again is reported as failure.
    ASSERT_TRUE(waitForState(3));
    r = ok({"setSubDisplayPowerState", "on"}, 1);
    EXPECT_EQ("status: 1 (failure)\n", r.out);
}

TEST_F(Client, ArgumentsReachTheAccessoryAsTyped) {
    ok({"setPowerStatus", "1", "0"});
    ok({"setStatus", "-1", "0x7"});
    ok({"set_touch_perf", "on"});
    ok({"setScreenMode", "1000"});
    ok({"setRgbTune", "1", "2", "3", "4294967295"});
    ok({"setScreenTune", "7", "8", "9", "10"});
    ok({"setBrightness", "256"});  // ignored by the HAL, still status 0
    ok({"setBrightness", "0"});
    ASSERT_TRUE(mSys.simOk("wait-command AT%DB=0 3000"));
    std::vector<std::string> commands = mSys.atCommands();
    EXPECT_TRUE(contains(commands, "AT%TCHNOTIFY=LPWG_NOTIFY,-1,7"));
    EXPECT_TRUE(contains(commands, "AT%TCPERF=1"));
    EXPECT_TRUE(contains(commands, "AT%SMODE=1000"));
    EXPECT_TRUE(contains(commands, "AT%PRGB=1,2,3,-1"));
    EXPECT_TRUE(contains(commands, "AT%SHS=7,8,9"));
    EXPECT_FALSE(contains(commands, "AT%DB=256"));
}

TEST_F(Client, TextResultsArePrintedWholeAndAtStreamsLines) {
    ASSERT_TRUE(mSys.simOk("at-script AT%TCHDEBUG=GPIO_PIN reply INT:0\\nRST:1\\nEXT:\\x01"));
    RunResult r = ok({"getGpiopin"});
    EXPECT_EQ("text:\n  INT:0\n  RST:1\n  EXT:\\x01\nstatus: 0 (success)\n", r.out);

    r = ok({"getCoverDisplayCutout"});
    EXPECT_EQ("cutout: M -48,0 H 48 V 96 H -48 Z\nstatus: 0 (success)\n", r.out);

    ASSERT_TRUE(mSys.simOk("at-script AT%TWO reply one\\ntwo"));
    r = ok({"at", "AT%TWO"});
    EXPECT_EQ("< one\n< two\nstatus: 0 (success)\n", r.out);
    r = ok({"sendAtCommand", "AT%TWO"});
    EXPECT_EQ("reply:\n  one\n  two\nstatus: 0 (success)\n", r.out);
}

TEST_F(Client, SubDisplayInfoAndStateFieldByField) {
    ASSERT_TRUE(waitForState(3));
    RunResult r = ok({"getSubDisplayInfo"});
    EXPECT_EQ("x: 128\ny: 128\nformat: 4\nstatus: 0 (success)\n", r.out);
    r = ok({"getSubDisplayPowerState"});
    EXPECT_EQ("state: 3 (on)\nstatus: 0 (success)\n", r.out);
    ok({"setSubDisplayPowerState", "false"});
    r = ok({"getSubDisplayPowerState"});
    EXPECT_EQ("state: 2 (off)\nstatus: 0 (success)\n", r.out);
    ok({"setSubDisplayBrightness", "200"});
    std::vector<std::string> config = mSys.sim("hid-config");
    EXPECT_TRUE(contains(config, "config 0300c8")) << ::testing::PrintToString(config);
}

TEST_F(Client, DrawPatternArrivesAsDrawn) {
    ASSERT_TRUE(waitForState(3));
    uint64_t count = frames();
    twtools::Grey pic;
    for (const char* name : {"checker", "gradient", "border"}) {
        SCOPED_TRACE(name);
        RunResult r = ok({"draw", "--pattern", name});
        EXPECT_NE(std::string::npos,
                  r.out.find(std::string("picture: pattern ") + name + ", 128x128"));
        ASSERT_TRUE(nextFrame(&count, &pic));
        ASSERT_EQ(128u, pic.width);
        ASSERT_EQ(128u, pic.height);
        for (uint32_t y = 0; y < 128; y++) {
            for (uint32_t x = 0; x < 128; x++) {
                uint8_t want = 0;
                if (std::string(name) == "checker") {
                    want = ((x / 16) + (y / 16)) % 2 ? 0 : 255;
                } else if (std::string(name) == "gradient") {
                    want = static_cast<uint8_t>(x / 8 * 17);
                } else {
                    bool edge = x == 0 || y == 0 || x == 127 || y == 127;
                    bool corner = x >= 4 && x < 16 && y >= 4 && y < 16;
                    want = edge || corner ? 255 : 0;
                }
                ASSERT_EQ(want, pic.at(x, y)) << "at " << x << "," << y;
            }
        }
    }
}

TEST_F(Client, DrawPngIsScaledToThePanel) {
    ASSERT_TRUE(waitForState(3));
    // 4 x 2: top row the levels 0, 5, 10, 15; bottom row 15, 10, 5, 0 (as
    // grey 8-bit values with noise in the low bits the panel drops).
    twtools::Grey src;
    src.width = 4;
    src.height = 2;
    src.pixels = {0x03, 0x5c, 0xa7, 0xff, 0xf0, 0xaf, 0x51, 0x0e};
    std::string file = mSys.root() + "/small.png";
    ASSERT_TRUE(twtools::writePng(file, src));
    uint64_t count = frames();
    RunResult r = ok({"draw", file});
    EXPECT_NE(std::string::npos, r.out.find("scaled from 4x2 to 128x128")) << r.out;
    twtools::Grey pic;
    ASSERT_TRUE(nextFrame(&count, &pic));
    for (uint32_t y = 0; y < 128; y++) {
        for (uint32_t x = 0; x < 128; x++) {
            uint8_t level = src.at(x / 32, y / 64) >> 4;
            ASSERT_EQ(level * 17, pic.at(x, y)) << "at " << x << "," << y;
        }
    }

    // The exact size needs no scaling; --no-scale refuses another size.
    twtools::Grey exact;
    exact.width = exact.height = 128;
    exact.pixels.resize(128 * 128);
    for (size_t i = 0; i < exact.pixels.size(); i++) exact.pixels[i] = (i * 7) & 0xff;
    std::string exactFile = mSys.root() + "/exact.png";
    ASSERT_TRUE(twtools::writePng(exactFile, exact));
    r = ok({"draw", "--no-scale", exactFile});
    EXPECT_NE(std::string::npos, r.out.find("picture: " + exactFile + ", 128x128")) << r.out;
    ASSERT_TRUE(nextFrame(&count, &pic));
    for (size_t i = 0; i < exact.pixels.size(); i++) {
        ASSERT_EQ((exact.pixels[i] >> 4) * 17, pic.pixels[i]) << "pixel " << i;
    }
    r = ok({"draw", "--no-scale", file}, 65);
    EXPECT_NE(std::string::npos, r.err.find("is 4x2 but the sub display is 128x128")) << r.err;
    EXPECT_EQ(count, frames());
}

TEST_F(Client, DrawSubDisplayRawPixels) {
    ASSERT_TRUE(waitForState(3));
    uint64_t count = frames();
    RunResult r = ok({"drawSubDisplay", "--value", "0x7f"});
    EXPECT_NE(std::string::npos, r.out.find("pixels: 16384 of 0x0000007f")) << r.out;
    twtools::Grey pic;
    ASSERT_TRUE(nextFrame(&count, &pic));
    for (uint8_t p : pic.pixels) ASSERT_EQ(7 * 17, p);
    // A wrong pixel count is the HAL's to refuse.
    r = ok({"drawSubDisplay", "--count", "16383"}, 1);
    EXPECT_NE(std::string::npos, r.out.find("status: 1 (failure)"));
    ok({"setSubDisplayPowerState", "off"});
    r = ok({"draw", "--pattern", "white"}, 1);
    EXPECT_EQ(count, frames());
}

TEST_F(Client, DrawBeforeTheSubDisplayIsThere) {
    ASSERT_TRUE(mSys.simOk("unplug"));
    ASSERT_TRUE(waitForState(0));
    RunResult r = ok({"draw", "--pattern", "checker"}, 1);
    EXPECT_NE(std::string::npos, r.err.find("the sub display is not initialised")) << r.err;
    EXPECT_EQ(1u, twtools::lines(r.err).size()) << r.err;
}

TEST_F(Client, WatchPrintsEventsAndUnregisters) {
    std::string log = mSys.root() + "/watch.log";
    twtest::Child watch;
    ASSERT_TRUE(mSys.startClient(&watch, {"watch", "--count", "3", "--timeout", "20"}, log));
    ASSERT_TRUE(twtest::waitFor([&] { return logOf(log).find("watching") != std::string::npos; },
                                5000));
    ASSERT_TRUE(mSys.simOk("uevent-listeners 1 5000"));
    ASSERT_TRUE(mSys.simOk("uevent-touch WAKEUP"));
    ASSERT_TRUE(mSys.simOk("uevent-touch wakeup"));
    ok({"setSubDisplayPowerState", "0"});
    int status = watch.wait(10000);
    ASSERT_TRUE(WIFEXITED(status)) << logOf(log);
    EXPECT_EQ(0, WEXITSTATUS(status)) << logOf(log);
    std::vector<std::string> out = twtools::lines(logOf(log));
    ASSERT_EQ(5u, out.size()) << logOf(log);
    EXPECT_EQ(
            "watching: LPWG callback 1.1, sub display callback (Ctrl-C to stop); these replace "
            "the framework's callbacks, which stay cleared after exit",
            out[0]);
    // "[hh:mm:ss.mmm] " before each event.
    for (int i = 1; i <= 3; i++) {
        EXPECT_EQ('[', out[i][0]);
        EXPECT_EQ("] ", out[i].substr(13, 2)) << out[i];
    }
    EXPECT_EQ("lpwg notifyEventChange_1_1: event 0 (WAKEUP), result 0 (recognised)",
              out[1].substr(15));
    EXPECT_EQ("lpwg notifyEventChange_1_1: event -1 (unrecognised), result -1 (not recognised)",
              out[2].substr(15));
    EXPECT_EQ("subdisplay notifyStateChanged: state 2 (off)", out[3].substr(15));
    EXPECT_EQ("unregistered: 3 events", out[4]);
    // The null registration stopped the service's uevent monitor.
    std::vector<std::string> listeners = mSys.sim("uevent-listeners");
    EXPECT_EQ("ok 0", listeners.back());
    ok({"setSubDisplayPowerState", "1"});
    RunResult dump = mSys.client({"getTW2Connect"});
    EXPECT_EQ(0, dump.exitCode);
}

TEST_F(Client, WatchVersion10CallbackAndStopBySignal) {
    std::string log = mSys.root() + "/watch.log";
    twtest::Child watch;
    ASSERT_TRUE(mSys.startClient(&watch, {"watch", "--v10", "--no-subdisplay"}, log));
    ASSERT_TRUE(twtest::waitFor([&] { return logOf(log).find("watching") != std::string::npos; },
                                5000));
    EXPECT_NE(std::string::npos, logOf(log).find("watching: LPWG callback 1.0 (Ctrl-C"));
    ASSERT_TRUE(mSys.simOk("uevent-listeners 1 5000"));
    ASSERT_TRUE(mSys.simOk("uevent-touch TW_PEN_DETECTION"));
    ASSERT_TRUE(twtest::waitFor(
            [&] { return logOf(log).find("TW_PEN_DETECTION") != std::string::npos; }, 5000));
    ok({"setSubDisplayPowerState", "0"});  // not watched: no line
    EXPECT_EQ(0, kill(watch.pid(), SIGINT));
    int status = watch.wait(10000);
    ASSERT_TRUE(WIFEXITED(status)) << logOf(log);
    EXPECT_EQ(0, WEXITSTATUS(status));
    std::vector<std::string> out = twtools::lines(logOf(log));
    ASSERT_EQ(4u, out.size()) << logOf(log);
    EXPECT_EQ("lpwg notifyEventChange: event 3 (TW_PEN_DETECTION), result 0 (recognised)",
              out[1].substr(15));
    EXPECT_EQ("stopped by Interrupt", out[2]);
    EXPECT_EQ("unregistered: 1 event", out[3]);
    EXPECT_EQ("ok 0", mSys.sim("uevent-listeners").back());
}

TEST_F(Client, WatchTimeoutAndCallbackOperations) {
    RunResult r = ok({"watch", "--count", "1", "--timeout", "0.5"}, 3);
    EXPECT_NE(std::string::npos, r.err.find("watch: 0 of 1 events within 0.5 s")) << r.err;
    EXPECT_NE(std::string::npos, r.out.find("unregistered: 0 events")) << r.out;
    r = ok({"watch", "--timeout", "0.3"});

    // setLpwgCallback alone: the LPWG callback, then null.
    std::string log = mSys.root() + "/lpwg.log";
    twtest::Child cb;
    ASSERT_TRUE(mSys.startClient(&cb, {"setLpwgCallback", "--count", "1", "--timeout", "20"}, log));
    ASSERT_TRUE(mSys.simOk("uevent-listeners 1 5000"));
    ASSERT_TRUE(mSys.simOk("uevent-touch TW_PEN_WAKEUP_BTN"));
    int status = cb.wait(10000);
    ASSERT_TRUE(WIFEXITED(status)) << logOf(log);
    EXPECT_EQ(0, WEXITSTATUS(status));
    EXPECT_NE(std::string::npos,
              logOf(log).find("notifyEventChange_1_1: event 2 (TW_PEN_WAKEUP_BTN)"));
    EXPECT_EQ("ok 0", mSys.sim("uevent-listeners").back());

    r = ok({"setLpwgCallback", "--clear"});
    EXPECT_EQ("setLpwgCallback: callback cleared\n", r.out);
    r = ok({"setSubDisplayCallback", "--clear"});
    EXPECT_EQ("setSubDisplayCallback: callback cleared\n", r.out);
    r = ok({"setSubDisplayCallback", "--timeout", "0.2"});
    EXPECT_NE(std::string::npos, r.out.find("watching: sub display callback")) << r.out;
}

// The service keeps one callback of each kind: the tool says that it takes
// the framework's place, before and while it does.
TEST(ClientHelp, WatchSaysItReplacesTheFrameworkCallbacks) {
    for (const char* op : {"watch", "setLpwgCallback", "setSubDisplayCallback"}) {
        RunResult r = twtools::run({twtest::binDir() + "/twinelctl", op, "--help"}, {}, 10000);
        EXPECT_EQ(0, r.exitCode) << op;
        std::string help;
        for (const auto& l : twtools::lines(r.out)) help += l + " ";
        EXPECT_NE(std::string::npos, help.find("framework's")) << op << "\n" << r.out;
    }
}

TEST_F(Client, WatchEndsWhenTheServiceDies) {
    std::string log = mSys.root() + "/watch.log";
    twtest::Child watch;
    ASSERT_TRUE(mSys.startClient(&watch, {"watch", "--no-subdisplay"}, log));
    ASSERT_TRUE(twtest::waitFor([&] { return logOf(log).find("watching") != std::string::npos; },
                                5000));
    EXPECT_NE(std::string::npos,
              logOf(log).find("watching: LPWG callback 1.1 (Ctrl-C to stop); this replaces the "
                              "framework's callback, which stays cleared after exit"))
            << logOf(log);
    mSys.service().kill(SIGKILL, true);
    int status = watch.wait(10000);
    ASSERT_NE(-1, status) << "still watching a dead service:\n" << logOf(log);
    ASSERT_TRUE(WIFEXITED(status)) << logOf(log);
    EXPECT_EQ(2, WEXITSTATUS(status)) << logOf(log);
    EXPECT_NE(std::string::npos,
              logOf(log).find("twinelctl: watch: the service died after 0 events"))
            << logOf(log);
}

TEST_F(Client, BaseInterfaceOperations) {
    RunResult r = ok({"ping"});
    EXPECT_EQ("ping: answered\n", r.out);

    r = ok({"interfaceChain"});
    const std::vector<std::string> chain = {"vendor.zyr.hardware.twinel@1.1::ITwinel",
                                            "vendor.zyr.hardware.twinel@1.0::ITwinel",
                                            "android.hidl.base@1.0::IBase"};
    EXPECT_EQ(chain, twtools::lines(r.out));

    // Every line of getHashChain for our packages is the line of
    // interfaces/current.txt; the base interface's comes from the runtime.
    r = ok({"getHashChain"});
    std::vector<std::string> hashes = twtools::lines(r.out);
    ASSERT_EQ(chain.size(), hashes.size()) << r.out;
    std::vector<std::string> current = twtools::lines(
            twtest::readFile(std::string(TWINEL_SOURCE_DIR) + "/interfaces/current.txt"));
    for (size_t i = 0; i < chain.size(); i++) {
        ASSERT_EQ(64u, hashes[i].find(' ')) << hashes[i];
        EXPECT_EQ(chain[i], hashes[i].substr(65));
        if (i < 2) {
            EXPECT_TRUE(contains(current, hashes[i])) << hashes[i];
        }
    }

    r = ok({"getDebugInfo"});
    std::vector<std::string> info = twtools::lines(r.out);
    ASSERT_EQ(3u, info.size()) << r.out;
    EXPECT_EQ("pid: " + std::to_string(mSys.service().pid()), info[0]);
    EXPECT_EQ(0u, info[1].find("ptr: 0x")) << info[1];
    EXPECT_EQ(0u, info[2].find("arch: ")) << info[2];

    mSys.service().kill(SIGKILL, true);
    for (const char* op : {"ping", "interfaceChain", "getHashChain", "getDebugInfo"}) {
        r = ok({op}, 2);
        EXPECT_EQ("", r.out) << op;
    }
}

// --v10: a client built against the 1.0 package only.
TEST_F(Client, Version10Client) {
    ASSERT_TRUE(mSys.simOk("clear"));
    RunResult r = ok({"--v10", "setAesMode", "1"}, 64);
    EXPECT_EQ("twinelctl: setAesMode is a 1.1 operation; with --v10 the tool is a 1.0 client\n",
              r.err);
    ok({"--v10", "tw_update_state"}, 64);
    EXPECT_EQ(std::vector<std::string>{}, mSys.atCommands());

    r = ok({"--v10", "setBrightness", "77"});
    EXPECT_TRUE(mSys.simOk("wait-command AT%DB=77 3000"));
    r = ok({"--v10", "watch", "--no-subdisplay", "--timeout", "0.2"});
    EXPECT_NE(std::string::npos, r.out.find("watching: LPWG callback 1.0 (Ctrl-C")) << r.out;
    // Without --v10 the same operation goes out.
    ok({"setAesMode", "1"});
}

// --wait: the tool finds a service that registers after it started.
TEST_F(Client, WaitForAServiceThatStartsLate) {
    mSys.service().kill(SIGKILL, true);
    RunResult r = ok({"--wait", "0.3", "getTW2Connect"}, 2);
    EXPECT_NE(std::string::npos, r.err.find("within 0.3 s")) << r.err;
    EXPECT_GE(r.ms, 300);

    std::string log = mSys.root() + "/late.log";
    twtest::Child late;
    ASSERT_TRUE(mSys.startClient(&late, {"--wait", "30", "getTW2Connect"}, log));
    usleep(300 * 1000);
    EXPECT_TRUE(late.running()) << logOf(log);
    ASSERT_TRUE(mSys.service().start(twtest::serviceCommand(), mSys.env(),
                                     mSys.root() + "/service2.log"));
    int status = late.wait(20000);
    ASSERT_TRUE(WIFEXITED(status)) << logOf(log);
    EXPECT_EQ(0, WEXITSTATUS(status)) << logOf(log);
    EXPECT_NE(std::string::npos, logOf(log).find("connected: ")) << logOf(log);
}

// The service's log capture raises DTR while the display is on and drops it
// when the display goes off; the simulator shows it, and a recovery set to
// fail, in its status.
TEST_F(Client, SimulatorStatusShowsDtrAndRecoveryFailures) {
    ASSERT_TRUE(mSys.simOk("wait-dtr up 5000"));
    std::vector<std::string> status = mSys.sim("status");
    EXPECT_TRUE(contains(status, "plugged port=1 device=/dev/bus/usb/001/002 echo=off dtr=up"))
            << status[0];
    ASSERT_TRUE(mSys.simOk("wakelock off"));
    ASSERT_TRUE(mSys.simOk("wait-dtr down 5000"));
    ASSERT_TRUE(mSys.simOk("recovery-fail"));
    status = mSys.sim("status");
    EXPECT_TRUE(contains(status, "recoveries 0 failed 0 to-fail 1")) << status.back();
}

TEST_F(Client, FirmwareCheckAgainstImages) {
    ASSERT_TRUE(mSys.simOk("dfu clear"));
    ASSERT_TRUE(mSys.simOk("dfu add QPA330X-V1.05_20240601.dfu"));
    ASSERT_TRUE(mSys.simOk("dfu add QPA330X-V0.50_20230101.dfu"));
    ASSERT_TRUE(mSys.simOk("clear"));
    RunResult r = ok({"checkFirmwareVersion"}, 1);
    EXPECT_EQ("status: 1 (failure)\n", r.out);
    ASSERT_TRUE(mSys.simOk(std::string("wait-record ") + kFirmwareNode + " 1 3000"));
    EXPECT_EQ(std::vector<std::string>{"1"}, mSys.nodeWrites(kFirmwareNode));
    r = ok({"getFirmwareFile"});
    EXPECT_EQ("file: QPA330X-V1.05_20240601.dfu\nstatus: 0 (success)\n", r.out);
    ASSERT_TRUE(mSys.simOk("at-version QPA330X-V1.05_20240601"));
    ok({"checkFirmwareVersion"}, 0);
    ok({"cancelFirmwareUpgrade"});
    ASSERT_TRUE(mSys.simOk(std::string("wait-record ") + kFirmwareNode + " 2 3000"));
    EXPECT_EQ((std::vector<std::string>{"1", "0"}), mSys.nodeWrites(kFirmwareNode));
}

TEST_F(Client, DebugDumpShowsTheLiveState) {
    ok({"setPowerStatus", "1", "0"});
    ok({"setBrightness", "120"});
    ASSERT_TRUE(mSys.simOk("wait-command AT%DB=120 3000"));
    ok({"setRgbTune", "5", "6", "7", "8"});
    ASSERT_TRUE(waitForState(3));
    RunResult r = twtools::run({twtest::binDir() + "/lshal", "debug",
                                "vendor.zyr.hardware.twinel@1.1::ITwinel/default"},
                               mSys.env(), 10000);
    ASSERT_EQ(0, r.exitCode) << r.err;
    const std::string& d = r.out;
    for (const char* text : {
                 "mUsbAttached: 1",
                 "mSerialAttached: 1  mSerialPath: \"/dev/ttyACM0\"",
                 "mHidDisplayAttached: 1  mHidDisplayPath: \"/dev/hidraw0\"",
                 "mUsbAutoSuspendDisableVote: 1",
                 "tw2_initialized: 1  tw2_enabled: 1  BrightnessThread: started",
                 "cutout: stored \"M -48,0 H 48 V 96 H -48 Z\"",
                 "brightness=120",
                 "br_arr: 0 of 20 []",
                 "colour:   prgb {5,6,7,8} dirty=0",
                 "subScreen_status: 3 (on)  sub_screen_info: 128x128 format 4  callback: none",
                 "subDisplayUpdateThread: running",
                 "FB0: BUFFER_FREE (1), 8192 bytes per frame",
                 "FB1: BUFFER_FREE (1)",
                 "mLpwgCallback: none  uevent worker: not running",
                 "AT%DB=120",
                 "AT%PRGB=5,6,7,8",
         }) {
        EXPECT_NE(std::string::npos, d.find(text)) << text << "\n" << d;
    }

    // With a watcher registered the callbacks and the worker show.
    std::string log = mSys.root() + "/watch.log";
    twtest::Child watch;
    ASSERT_TRUE(mSys.startClient(&watch, {"watch", "--timeout", "20"}, log));
    ASSERT_TRUE(mSys.simOk("uevent-listeners 1 5000"));
    r = twtools::run({twtest::binDir() + "/lshal", "debug",
                      "vendor.zyr.hardware.twinel@1.1::ITwinel/default"},
                     mSys.env(), 10000);
    EXPECT_NE(std::string::npos, r.out.find("mLpwgCallback: registered  uevent worker: running"))
            << r.out;
    EXPECT_NE(std::string::npos, r.out.find("callback: registered")) << r.out;
    kill(watch.pid(), SIGTERM);
    EXPECT_NE(-1, watch.wait(10000));
}

TEST_F(Client, LshalHandsDebugOptionsToTheService) {
    const std::string name = "vendor.zyr.hardware.twinel@1.1::ITwinel/default";
    RunResult r =
            twtools::run({twtest::binDir() + "/lshal", "debug", name, "--help"}, mSys.env(), 10000);
    ASSERT_EQ(0, r.exitCode) << r.err;
    EXPECT_EQ(0u, r.out.find("options:\n")) << r.out;
    EXPECT_NE(std::string::npos, r.out.find("  --reset-counters  ")) << r.out;
    r = twtools::run({twtest::binDir() + "/lshal", "debug", name, "--at"}, mSys.env(), 10000);
    ASSERT_EQ(0, r.exitCode) << r.err;
    EXPECT_EQ(0u, r.out.find("AT exchanges (last ")) << r.out;
}

TEST_F(Client, NoAnswerInTimeAndServiceGone) {
    ASSERT_TRUE(mSys.simOk("at-script AT%SLOW silent"));
    RunResult r = ok({"--call-timeout", "0.5", "sendAtCommand", "AT%SLOW"}, 2);
    EXPECT_EQ("twinelctl: sendAtCommand: no answer within 0.5 s\n", r.err);
    EXPECT_LT(r.ms, 4000);

    mSys.service().kill(SIGKILL, true);
    r = ok({"setBrightness", "10"}, 2);
    EXPECT_EQ(1u, twtools::lines(r.err).size()) << r.err;
    EXPECT_EQ("", r.out);
}

TEST_F(Client, PassthroughRefusedBesideTheService) {
    RunResult r = ok({"--passthrough", "getTW2Connect"}, 64);
    EXPECT_NE(std::string::npos, r.err.find("the service \"default\" is running")) << r.err;
}

// The implementation library in the tool's own process, no service.
TEST(ClientPassthrough, RunsTheHalInProcess) {
    twtools::System sys(/*service=*/false);
    ASSERT_TRUE(sys.ok());
    ASSERT_TRUE(sys.simOk("at-version PT1-V1.00_x"));
    RunResult r = sys.client({"--passthrough", "getFirmwareVersion"});
    EXPECT_EQ(0, r.exitCode) << r.out << r.err;
    EXPECT_EQ("version: PT1-V1.00_x\nstatus: 0 (success)\n", r.out);
    std::vector<std::string> commands = sys.atCommands();
    EXPECT_TRUE(contains(commands, "ATE0"));  // its own bring-up
    EXPECT_TRUE(contains(commands, "AT%SWV"));
}

// The in-process HAL's worker sends the level after setBrightness has
// returned; the tool waits for that before it exits. A slow answer makes the
// exchange outlast the call: only a finished exchange gives back its
// autosuspend vote ("auto" after "on").
TEST(ClientPassthrough, BrightnessIsSentBeforeTheToolExits) {
    twtools::System sys(/*service=*/false);
    ASSERT_TRUE(sys.ok());
    ASSERT_TRUE(sys.simOk("at-script AT%DB=77 reply delay=400"));
    ASSERT_TRUE(sys.simOk("clear"));
    RunResult r = sys.client({"--passthrough", "setBrightness", "77"});
    EXPECT_EQ(0, r.exitCode) << r.out << r.err;
    EXPECT_EQ("status: 0 (success)\n", r.out);
    EXPECT_GE(r.ms, 400);
    std::vector<std::string> commands = sys.atCommands();
    ASSERT_TRUE(contains(commands, "AT%DB=77")) << r.err;
    std::vector<std::string> votes = sys.nodeWrites(kPowerControl);
    ASSERT_FALSE(votes.empty());
    EXPECT_EQ("auto", votes.back());
}

}  // namespace
