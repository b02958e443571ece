/*
 * Copyright (C) 2026 The Twinel HAL Authors
 *
 * Licensed under the Apache License, Version 2.0 (the "License");
 * you may not use this file except in compliance with the License.
 */

// Writes the fuzz targets' seed corpora from real traffic:
// `fuzz_seed_corpus DIR` fills DIR/<target>/ (the checked-in corpora under
// fuzz/corpus were made with it). The AT replies are read from the
// simulated accessory's pseudo-terminal as it answers each command; the
// uevents are the touch driver's messages as the simulator formats them;
// the other seeds are the inputs the test suites use, in each target's
// input layout.

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <termios.h>
#include <twsim/simulator.h>
#include <twsim/uevent.h>
#include <unistd.h>

#include <fstream>
#include <string>
#include <vector>

#include "test_util.h"

namespace {

std::string gOut;

bool put(const std::string& target, const std::string& name, const std::string& bytes) {
    std::string dir = gOut + "/" + target;
    mkdir(gOut.c_str(), 0755);
    mkdir(dir.c_str(), 0755);
    std::ofstream f(dir + "/" + name, std::ios::binary);
    f << bytes;
    return f.good();
}

// Sends `command` on the accessory's port and returns every byte up to and
// including its final "OK" or "ERROR" line.
std::string exchange(int fd, const std::string& command) {
    std::string cmd = command + "\r";
    if (write(fd, cmd.data(), cmd.size()) != static_cast<ssize_t>(cmd.size())) return "";
    std::string reply;
    for (;;) {
        struct pollfd pfd = {fd, POLLIN, 0};
        if (poll(&pfd, 1, 3000) <= 0) break;
        char buf[4096];
        ssize_t n = read(fd, buf, sizeof(buf));
        if (n <= 0) break;
        reply.append(buf, static_cast<size_t>(n));
        if (reply.size() >= 6 && (reply.compare(reply.size() - 4, 4, "OK\r\n") == 0 ||
                                  reply.compare(reply.size() - 7, 7, "ERROR\r\n") == 0)) {
            break;
        }
    }
    return reply;
}

bool atReplies(twsim::Simulator& sim) {
    if (!sim.plug()) return false;
    int fd = open(sim.path("/dev/ttyACM0").c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        fprintf(stderr, "ttyACM0: %s\n", strerror(errno));
        return false;
    }
    struct termios tio;
    tcgetattr(fd, &tio);
    cfmakeraw(&tio);
    tcsetattr(fd, TCSANOW, &tio);
    exchange(fd, "ATE0");  // the service's first command: no echo from here on
    static const char* const kCommands[] = {
            "AT%SWV",
            "AT%HPD",
            "AT%GETTWCUTOUT",
            "AT%TCHDEBUG=FWVER",
            "AT%TCHDEBUG=GPIO_PIN",
            "AT%TCHDEBUG=DELTA",
            "AT%DB=200",
            "AT%NOPE",
    };
    bool ok = true;
    int i = 0;
    for (const char* c : kCommands) {
        std::string reply = exchange(fd, c);
        ok = ok && !reply.empty();
        std::string name = std::to_string(i++) + "-" + c;
        for (char& ch : name) {
            if (ch == '%' || ch == '=') ch = '_';
        }
        ok = put("at_reply_fuzzer", name, reply) && ok;
    }
    // Log lines the firmware prints between replies, framed as it sends them.
    sim.sendLog("[MCU] usb resume");
    struct pollfd pfd = {fd, POLLIN, 0};
    if (poll(&pfd, 1, 3000) > 0) {
        char buf[512];
        ssize_t n = read(fd, buf, sizeof(buf));
        if (n > 0)
            ok = put("at_reply_fuzzer", "log-line", std::string(buf, n) + "\r\nOK\r\n") && ok;
    }
    close(fd);
    sim.unplugAll();
    return ok;
}

bool uevents() {
    static const char* const kValues[] = {
            "WAKEUP",           "TW_PEN_WAKEUP",   "TW_PEN_WAKEUP_BTN",
            "TW_PEN_DETECTION", "SWITCH_AES_BOTH", "SWITCH_AES_TO_1",
            "SWITCH_AES_TO_2",  "TW_UPDATE_STATE", "UNKNOWN"};
    bool ok = true;
    for (const char* v : kValues) ok = put("uevent_fuzzer", v, twsim::touchUevent(v)) && ok;
    ok = put("uevent_fuzzer", "usb-add",
             twsim::ueventMessage({"add@/devices/platform/usb/1-1", "ACTION=add",
                                   "DEVPATH=/devices/platform/usb/1-1", "SUBSYSTEM=usb",
                                   "DEVTYPE=usb_device", "SEQNUM=812"})) &&
         ok;
    ok = put("uevent_fuzzer", "no-gesture",
             twsim::ueventMessage({"change@/devices/virtual/input/zyr_touch", "ACTION=change",
                                   "SUBSYSTEM=ZYR_TW2", "SEQNUM=813"})) &&
         ok;
    return ok;
}

bool updateStates() {
    static const std::vector<std::string> kTexts = {"1 0 3\n",
                                                    "5 6\n",
                                                    "2 2",
                                                    "4 5 x 6",
                                                    "-7 +8 -2147483648 2147483647",
                                                    "2147483648 1",
                                                    "007 0x10",
                                                    std::string("9\0 5", 4),
                                                    ""};
    bool ok = true;
    int i = 0;
    for (const std::string& t : kTexts)
        ok = put("update_state_fuzzer", std::to_string(i++), t) && ok;
    return ok;
}

// Layout: width, height (little-endian), format, flags (bit 0 ready, bits 1
// to 3 the info report's length - 1), failing request, failure count and
// errno, brightness + 0x100 (little-endian), config flag 0.
std::string hidInput(uint16_t w, uint16_t h, uint8_t format, bool ready, uint8_t infoLength,
                     uint8_t failOp, uint8_t fail, uint16_t brightness) {
    uint8_t flags = static_cast<uint8_t>((ready ? 1 : 0) | ((infoLength - 1) << 1) | 0x80);
    std::string s;
    s += static_cast<char>(w & 0xff);
    s += static_cast<char>(w >> 8);
    s += static_cast<char>(h & 0xff);
    s += static_cast<char>(h >> 8);
    s += static_cast<char>(format);
    s += static_cast<char>(flags);
    s += static_cast<char>(failOp);
    s += static_cast<char>(fail);
    s += static_cast<char>((brightness + 0x100) & 0xff);
    s += static_cast<char>((brightness + 0x100) >> 8);
    s += '\1';
    return s;
}

bool hidReports() {
    return put("hid_report_fuzzer", "panel", hidInput(128, 128, 4, true, 7, 0, 0, 10)) &&
           put("hid_report_fuzzer", "not-ready", hidInput(128, 128, 4, false, 7, 0, 0, 10)) &&
           put("hid_report_fuzzer", "short-info", hidInput(128, 128, 4, true, 3, 0, 0, 10)) &&
           put("hid_report_fuzzer", "wide", hidInput(256, 64, 4, true, 7, 0, 0, 15)) &&
           put("hid_report_fuzzer", "info-fails", hidInput(128, 128, 4, true, 7, 1, 1, 5)) &&
           put("hid_report_fuzzer", "config-fails", hidInput(128, 128, 4, true, 7, 2, 2, 5)) &&
           put("hid_report_fuzzer", "frame-fails", hidInput(128, 128, 4, true, 7, 3, 1, 5));
}

// Layout: mode (bit 0: a 16-bit pixel count follows; bit 1: drawn while
// the display is off), then pixel bytes repeated to fill the frame.
bool frames() {
    std::string gradient;
    for (int i = 0; i < 16; i++) {
        uint32_t p = static_cast<uint32_t>(i << 4) * 0x010101u;
        gradient.append(reinterpret_cast<const char*>(&p), 4);
    }
    std::string checker;
    for (int i = 0; i < 256; i++) {
        uint32_t p = ((i / 8 + (i / 128)) % 2) != 0 ? 0xffffffu : 0;
        checker.append(reinterpret_cast<const char*>(&p), 4);
    }
    return put("frame_fuzzer", "gradient", std::string(1, '\0') + gradient) &&
           put("frame_fuzzer", "checker", std::string(1, '\0') + checker) &&
           put("frame_fuzzer", "while-off", std::string(1, '\2') + gradient) &&
           put("frame_fuzzer", "odd-count", std::string("\1\x11\0", 3) + gradient) &&
           put("frame_fuzzer", "empty", std::string("\1\0\0", 3));
}

// Layout: the version "AT%SWV" answers, then one image name per line.
bool firmware() {
    return put("firmware_fuzzer", "upgrade",
               "QPA330X-V1.00_20240301\nQPA330X-V0.90_20231101.dfu\nQPA330X-V1.02_20240501.dfu\n"
               "OTHER-V9.00_20240101.dfu\n") &&
           put("firmware_fuzzer", "current",
               "QPA330X-V1.02_20240501\nQPA330X-V1.02_20240501.dfu\n") &&
           put("firmware_fuzzer", "other-model", "ABC-V1_a\nXYZ-V9_a.dfu\nXYZ-V8_b.dfu\n") &&
           put("firmware_fuzzer", "byte-order",
               "ABC-V9_x\nABC-V10_a.dfu\nABC-V9_b.dfu\nreadme.txt\n") &&
           put("firmware_fuzzer", "empty-dir", "QPA330X-V1.00_20240301\n");
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        fprintf(stderr, "usage: %s DIR\n", argv[0]);
        return 64;
    }
    gOut = argv[1];
    twtest::TempDir root("twseed");
    twsim::Simulator sim(root.path());
    if (!sim.ok()) return 1;
    bool ok =
            atReplies(sim) && uevents() && updateStates() && hidReports() && frames() && firmware();
    return ok ? 0 : 1;
}
