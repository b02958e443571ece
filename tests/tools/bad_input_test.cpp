/*
 * twinelctl with bad input: every case ends in time with one line on stderr
 * naming the problem, nothing on stdout and the documented exit code. No
 * service runs (an empty device root), so the arguments are judged before
 * any service is looked up.
 */
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <fstream>

#include "tools_test_util.h"

namespace {

constexpr int kUsage = 64;
constexpr int kData = 65;
constexpr int kTransport = 2;

// The ITwinel operations, in slot order.
const std::vector<std::string> kOperations = {
        "getFirmwareVersion",
        "checkFirmwareVersion",
        "getFirmwareFile",
        "doFirmwareUpgrade",
        "goDload",
        "goSTMDload",
        "cancelFirmwareUpgrade",
        "getTouchFirmwareVersion",
        "DoRawdata",
        "DoDelta",
        "DoTouchReset",
        "getGpiopin",
        "setStatus",
        "DoTouchFirmwareUpgrade",
        "getSelfTest",
        "getLPWGSelfTest",
        "getTestResults",
        "setLpwgCallback",
        "setBrightness",
        "setPowerStatus",
        "getCoverDisplayCutout",
        "setRgbTune",
        "setScreenMode",
        "setScreenTune",
        "setTWBrightnessOffset",
        "getTW2Status",
        "setSubDisplayBrightness",
        "setSubDisplayPowerState",
        "getSubDisplayInfo",
        "drawSubDisplay",
        "getSubDisplayPowerState",
        "setSubDisplayCallback",
        "getTW2Connect",
        "sendAtCommand",
        "setAesMode",
        "manageAesMode",
        "tw_update_state",
        "set_touch_perf",
};

class BadInput : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_FALSE(mRoot.path().empty());
        mDir = mRoot.path();
        mEnv = {"TWINEL_DEVICE_ROOT=" + mDir + "/root", "HIDL_PASSTHROUGH_PATH"};
    }

    twtools::RunResult client(const std::vector<std::string>& args) {
        std::vector<std::string> argv = {twtest::binDir() + "/twinelctl"};
        argv.insert(argv.end(), args.begin(), args.end());
        return twtools::run(argv, mEnv, 10000);
    }

    // One line on stderr containing `text`, nothing on stdout, exit `code`.
    void expectRefused(const std::vector<std::string>& args, int code, const std::string& text) {
        std::string shown;
        for (const auto& a : args) shown += " [" + a + "]";
        SCOPED_TRACE("twinelctl" + shown);
        twtools::RunResult r = client(args);
        EXPECT_FALSE(r.timedOut);
        EXPECT_EQ(code, r.exitCode) << r.err;
        EXPECT_EQ("", r.out);
        std::vector<std::string> errLines = twtools::lines(r.err);
        ASSERT_EQ(1u, errLines.size()) << r.err;
        EXPECT_EQ(0u, errLines[0].find("twinelctl: ")) << r.err;
        EXPECT_NE(std::string::npos, errLines[0].find(text)) << r.err;
    }

    std::string writeFile(const std::string& name, const std::string& bytes) {
        std::string path = mDir + "/" + name;
        std::ofstream(path, std::ios::binary) << bytes;
        return path;
    }

    // A PNG with a valid header chunk and no picture data; with `idat`, an
    // empty data chunk follows (the header can then be read whole).
    std::string headerOnlyPng(uint32_t width, uint32_t height, bool idat = false) {
        std::string png("\x89PNG\r\n\x1a\n", 8);
        std::string chunk = "IHDR";
        uint32_t w = htonl(width), h = htonl(height);
        chunk.append(reinterpret_cast<const char*>(&w), 4);
        chunk.append(reinterpret_cast<const char*>(&h), 4);
        chunk += std::string("\x08\x00\x00\x00\x00", 5);  // 8-bit grey
        uint32_t len = htonl(13);
        png.append(reinterpret_cast<const char*>(&len), 4);
        png += chunk;
        uint32_t crc = htonl(static_cast<uint32_t>(
                crc32(0, reinterpret_cast<const Bytef*>(chunk.data()), chunk.size())));
        png.append(reinterpret_cast<const char*>(&crc), 4);
        if (idat) {
            uint32_t zero = 0;
            png.append(reinterpret_cast<const char*>(&zero), 4);
            png += "IDAT";
            uint32_t idatCrc = htonl(
                    static_cast<uint32_t>(crc32(0, reinterpret_cast<const Bytef*>("IDAT"), 4)));
            png.append(reinterpret_cast<const char*>(&idatCrc), 4);
        }
        return png;
    }

    twtest::TempDir mRoot{"twbad"};
    std::string mDir;
    std::vector<std::string> mEnv;
};

TEST_F(BadInput, UnknownOrMissingOperation) {
    expectRefused({}, kUsage, "subcommand is required");
    expectRefused({"foo"}, kUsage, "unknown operation \"foo\"");
    expectRefused({"getfirmwareversion"}, kUsage, "unknown operation \"getfirmwareversion\"");
    expectRefused({"--instance", "x", "setbrightness", "1"}, kUsage,
                  "unknown operation \"setbrightness\"");
    expectRefused({"--bogus", "getTW2Connect"}, kUsage, "--bogus");
    expectRefused({"getTW2Status", "extra"}, kUsage, "extra");
}

TEST_F(BadInput, MissingArguments) {
    expectRefused({"setBrightness"}, kUsage, "setBrightness: expects LEVEL (1 argument), got 0");
    expectRefused({"setStatus", "1"}, kUsage, "setStatus: expects TYPE VALUE (2 arguments), got 1");
    expectRefused({"setRgbTune", "1", "2", "3"}, kUsage, "setRgbTune: expects V0 V1 V2 V3");
    expectRefused({"setPowerStatus", "true"}, kUsage, "expects ENABLE UEVENT");
    expectRefused({"sendAtCommand"}, kUsage, "sendAtCommand: expects COMMAND");
    expectRefused({"at"}, kUsage, "at: expects COMMAND");
    expectRefused({"setBrightness", "1", "2"}, kUsage, "not expected: 2");
}

TEST_F(BadInput, MalformedAndOutOfRangeNumbers) {
    expectRefused({"setBrightness", "abc"}, kUsage,
                  "setBrightness: LEVEL must be an integer from -2147483648 to 2147483647, not "
                  "\"abc\"");
    expectRefused({"setBrightness", "2147483648"}, kUsage, "not \"2147483648\"");
    expectRefused({"setBrightness", "-2147483649"}, kUsage, "LEVEL must be an integer");
    expectRefused({"setBrightness", "1.5"}, kUsage, "LEVEL must be an integer");
    expectRefused({"setBrightness", "12abc"}, kUsage, "LEVEL must be an integer");
    expectRefused({"setBrightness", ""}, kUsage, "LEVEL must be an integer");
    expectRefused({"setBrightness", "99999999999999999999999"}, kUsage, "LEVEL must be");
    expectRefused({"setTWBrightnessOffset", "0x"}, kUsage, "OFFSET must be an integer");
    expectRefused({"setStatus", "1", " 2"}, kUsage, "VALUE must be an integer");
    expectRefused({"setRgbTune", "1", "2", "3", "-1"}, kUsage,
                  "setRgbTune: V3 must be an integer from 0 to 4294967295, not \"-1\"");
    expectRefused({"setScreenTune", "4294967296", "0", "0", "0"}, kUsage, "V0 must be");
    expectRefused({"setAesMode", "0x100000000"}, kUsage, "MODE must be an integer from 0");
    expectRefused({"manageAesMode", "-4294967295"}, kUsage, "MODE must be an integer from 0");
    expectRefused({"setScreenMode", "mode1"}, kUsage, "MODE must be an integer");
    expectRefused({"setSubDisplayBrightness", "--1"}, kUsage, "");
    expectRefused({"drawSubDisplay", "--count", "-1"}, kUsage, "--count must be an integer from 0");
    expectRefused({"drawSubDisplay", "--count", "1048577"}, kUsage, "to 1048576");
    expectRefused({"drawSubDisplay", "--value", "red"}, kUsage, "--value must be an integer");
    expectRefused({"watch", "--count", "0"}, kUsage, "--count");
    expectRefused({"watch", "--timeout", "-1"}, kUsage, "--timeout");
    expectRefused({"watch", "--timeout", "soon"}, kUsage, "--timeout");
    expectRefused({"--call-timeout", "x", "getTW2Connect"}, kUsage, "--call-timeout");
    expectRefused({"--call-timeout", "0", "getTW2Connect"}, kUsage, "--call-timeout");
}

TEST_F(BadInput, MalformedBooleans) {
    expectRefused({"setPowerStatus", "yes-please", "0"}, kUsage,
                  "setPowerStatus: ENABLE must be true or false (1/0, on/off), not \"yes-please\"");
    expectRefused({"setPowerStatus", "1", "2"}, kUsage, "UEVENT must be true or false");
    expectRefused({"set_touch_perf", ""}, kUsage, "ENABLE must be true or false");
    expectRefused({"setSubDisplayPowerState", "onn"}, kUsage, "ON must be true or false");
}

TEST_F(BadInput, DrawArguments) {
    expectRefused({"draw"}, kUsage, "draw: give either a PNG file or --pattern NAME");
    expectRefused({"draw", "x.png", "--pattern", "checker"}, kUsage, "give either");
    expectRefused({"draw", "--pattern", "plaid"}, kUsage, "unknown pattern \"plaid\"");
}

TEST_F(BadInput, UnusableFiles) {
    expectRefused({"draw", mDir + "/missing.png"}, kData, "missing.png: No such file or directory");
    expectRefused({"draw", writeFile("text.png", "just some text\n")}, kData, "not a PNG file");
    expectRefused({"draw", writeFile("empty.png", "")}, kData, "not a PNG file");
    expectRefused({"draw", mDir}, kData, "not a regular file");
    std::string fifo = mDir + "/fifo.png";
    ASSERT_EQ(0, mkfifo(fifo.c_str(), 0600));
    expectRefused({"draw", fifo}, kData, "not a regular file");

    std::string header = headerOnlyPng(64, 32);
    expectRefused({"draw", writeFile("truncated.png", header)}, kData, "unreadable PNG");
    std::string garbage = header + std::string(100, '\x55');
    expectRefused({"draw", writeFile("garbage.png", garbage)}, kData, "unreadable PNG");
    expectRefused({"draw", writeFile("huge.png", headerOnlyPng(20000, 20000, true))}, kData,
                  "20000x20000 pixels is empty or too large");
    std::string badCrc = header;
    badCrc[badCrc.size() - 1] ^= 0x01;
    expectRefused({"draw", writeFile("crc.png", badCrc)}, kData, "unreadable PNG");
}

TEST_F(BadInput, NoServiceRunning) {
    const std::string text = "no ITwinel 1.1 service \"default\" (is the service running?)";
    expectRefused({"getTW2Connect"}, kTransport, text);
    expectRefused({"setBrightness", "100"}, kTransport, text);
    expectRefused({"getTW2Status"}, kTransport, text);
    expectRefused({"draw", "--pattern", "checker"}, kTransport, text);
    expectRefused({"watch", "--count", "1"}, kTransport, text);
    expectRefused({"setLpwgCallback", "--clear"}, kTransport, text);
    expectRefused({"--instance", "other", "getTW2Connect"}, kTransport,
                  "no ITwinel 1.1 service \"other\"");
}

TEST_F(BadInput, EveryOperationHasItsSubcommandAndHelp) {
    twtools::RunResult all = client({"--help"});
    EXPECT_EQ(0, all.exitCode);
    for (const auto& op : kOperations) {
        SCOPED_TRACE(op);
        EXPECT_NE(std::string::npos, all.out.find("\n  " + op + " ")) << all.out;
        twtools::RunResult r = client({op, "--help"});
        EXPECT_EQ(0, r.exitCode) << r.err;
        EXPECT_NE(std::string::npos, r.out.find("Usage: twinelctl " + op)) << r.out;
    }
    for (const char* extra : {"at", "watch", "draw"}) {
        EXPECT_NE(std::string::npos, all.out.find(std::string("\n  ") + extra + " "));
    }
    twtools::RunResult r = client({"setPowerStatus", "--help"});
    EXPECT_NE(std::string::npos, r.out.find("ENABLE")) << r.out;
    EXPECT_NE(std::string::npos, r.out.find("UEVENT")) << r.out;
}

}  // namespace
