/*
 * twinel-sim commands "hid-panel", "hid-fail", "hid-delay", "hid-config",
 * "frames", "wait-frame" and "frame-png"; see README.md.
 */
#include "subdisplay_commands.h"

#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <twdevice/hidraw_seam.h>

#include <sstream>

#include "command_args.h"

const char* kSubDisplayCommandsHelp =
        "hid-panel W H [format=N] [ready=0|1] [info=BYTES]\n"
        "hid-fail write|get|set COUNT [errno=N]\n"
        "hid-delay MS\n"
        "hid-config | frames | wait-frame COUNT MS | frame-png FILE";

namespace {

void panelCommand(twsim::Simulator& sim, std::istringstream& words, std::vector<std::string>* out) {
    std::string w, h;
    unsigned long width = 0, height = 0;
    if (!(words >> w >> h) || !parseNumber(w, 0xffff, &width) || !parseNumber(h, 0xffff, &height)) {
        out->push_back("error usage: hid-panel W H [format=N] [ready=0|1] [info=BYTES]");
        return;
    }
    twsim::HidPanel panel;
    panel.width = static_cast<uint16_t>(width);
    panel.height = static_cast<uint16_t>(height);
    std::string opt;
    while (words >> opt) {
        size_t eq = opt.find('=');
        std::string key = opt.substr(0, eq);
        unsigned long v = 0;
        bool ok = eq != std::string::npos;
        if (ok && key == "format" && parseNumber(opt.substr(eq + 1), 0xff, &v)) {
            panel.format = static_cast<uint8_t>(v);
        } else if (ok && key == "ready" && parseNumber(opt.substr(eq + 1), 1, &v)) {
            panel.ready = v == 1;
        } else if (ok && key == "info" && parseNumber(opt.substr(eq + 1), 7, &v) && v >= 1) {
            panel.infoLength = v;
        } else {
            out->push_back("error bad option " + opt);
            return;
        }
    }
    sim.setHidPanel(panel);
    out->push_back("ok");
}

void failCommand(twsim::Simulator& sim, std::istringstream& words, std::vector<std::string>* out) {
    std::string kind, count, opt;
    unsigned long n = 0, err = EIO;
    uint8_t op = 0;
    if (words >> kind) {
        if (kind == "write") op = twdevice::hidseam::kOutputReport;
        if (kind == "get") op = twdevice::hidseam::kGetFeature;
        if (kind == "set") op = twdevice::hidseam::kSetFeature;
    }
    if (op == 0 || !(words >> count) || !parseNumber(count, 1000000, &n)) {
        out->push_back("error usage: hid-fail write|get|set COUNT [errno=N]");
        return;
    }
    if (words >> opt) {
        if (opt.compare(0, 6, "errno=") != 0 || !parseNumber(opt.substr(6), 4095, &err) ||
            err == 0) {
            out->push_back("error bad option " + opt);
            return;
        }
    }
    sim.failHidRequests(op, static_cast<int>(n), static_cast<int>(err));
    out->push_back("ok");
}

}  // namespace

bool executeSubDisplayCommand(twsim::Simulator& sim, const std::string& cmd,
                              const std::string& rest, std::vector<std::string>* out) {
    std::istringstream words(rest);
    if (cmd == "hid-panel") {
        panelCommand(sim, words, out);
        return true;
    }
    if (cmd == "hid-fail") {
        failCommand(sim, words, out);
        return true;
    }
    if (cmd == "hid-delay") {
        std::string w;
        unsigned long ms = 0;
        if (!(words >> w) || !parseNumber(w, 600000, &ms)) {
            out->push_back("error usage: hid-delay MS");
            return true;
        }
        sim.setHidDelayMs(static_cast<int>(ms));
        out->push_back("ok");
        return true;
    }
    if (cmd == "hid-config") {
        for (const auto& report : sim.hidConfigReports()) {
            std::string hex;
            char b[4];
            for (uint8_t byte : report) {
                snprintf(b, sizeof(b), "%02x", byte);
                hex += b;
            }
            out->push_back("config " + hex);
        }
        out->push_back("ok");
        return true;
    }
    if (cmd == "frames") {
        out->push_back("ok " + std::to_string(sim.frameCount()));
        return true;
    }
    if (cmd == "wait-frame") {
        std::string c, m;
        unsigned long count = 0, ms = 0;
        if (!(words >> c >> m) || !parseNumber(c, ~0ul, &count) || !parseNumber(m, 600000, &ms)) {
            out->push_back("error usage: wait-frame COUNT MS");
            return true;
        }
        out->push_back(sim.waitForFrames(count, static_cast<int>(ms)) ? "ok" : "error timeout");
        return true;
    }
    if (cmd == "frame-png") {
        std::string file;
        if (!(words >> file)) {
            out->push_back("error usage: frame-png FILE");
            return true;
        }
        out->push_back(sim.writeSubDisplayPng(file) ? "ok" : "error no picture (see the log)");
        return true;
    }
    return false;
}
