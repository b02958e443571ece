/*
 * twinel-sim: the simulator as a program, driven by line commands on stdin.
 * See README.md for the commands.
 */
#define LOG_TAG "twinel-sim"

#include <errno.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/signalfd.h>
#include <twcutils/trace_file.h>
#include <twdevice/device.h>
#include <twsim/lpwg_service.h>
#include <twsim/simulator.h>
#include <twsim/touch.h>
#include <twsim/uevent.h>
#include <unistd.h>

#include <sstream>
#include <string>
#include <vector>

#include "cover_commands.h"
#include "subdisplay_commands.h"

namespace {

const twsim::Clock::time_point gStart = twsim::Clock::now();

long msSinceStart(twsim::Clock::time_point t) {
    return static_cast<long>(
            std::chrono::duration_cast<std::chrono::milliseconds>(t - gStart).count());
}

std::string unescape(const std::string& in) {
    std::string out;
    for (size_t i = 0; i < in.size(); i++) {
        if (in[i] != '\\' || i + 1 == in.size()) {
            out += in[i];
            continue;
        }
        char c = in[++i];
        switch (c) {
            case 'n':
                out += '\n';
                break;
            case 'r':
                out += '\r';
                break;
            case 't':
                out += '\t';
                break;
            case '0':
                out += '\0';
                break;
            case 'x':
                if (i + 2 < in.size() && isxdigit(static_cast<unsigned char>(in[i + 1])) &&
                    isxdigit(static_cast<unsigned char>(in[i + 2]))) {
                    out += static_cast<char>(strtol(in.substr(i + 1, 2).c_str(), nullptr, 16));
                    i += 2;
                } else {
                    out += "\\x";
                }
                break;
            default:
                out += c;
                break;
        }
    }
    return out;
}

std::string escape(const std::string& in) {
    std::string out;
    char buf[8];
    for (unsigned char c : in) {
        if (c == '\\') {
            out += "\\\\";
        } else if (c == '\n') {
            out += "\\n";
        } else if (c == '\r') {
            out += "\\r";
        } else if (c < 0x20 || c >= 0x7f || c == ' ') {
            snprintf(buf, sizeof(buf), "\\x%02x", c);
            out += buf;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

// Splits off the first word of `rest`.
std::string nextWord(std::string& rest) {
    size_t start = rest.find_first_not_of(" \t");
    if (start == std::string::npos) {
        rest.clear();
        return "";
    }
    size_t end = rest.find_first_of(" \t", start);
    std::string word =
            rest.substr(start, end == std::string::npos ? std::string::npos : end - start);
    rest = end == std::string::npos ? "" : rest.substr(end + 1);
    return word;
}

bool parseInt(const std::string& text, int base, long* out) {
    if (text.empty()) return false;
    char* end = nullptr;
    errno = 0;
    long v = strtol(text.c_str(), &end, base);
    if (errno != 0 || *end != '\0') return false;
    *out = v;
    return true;
}

void reply(const std::string& text) {
    fputs(text.c_str(), stdout);
    fputc('\n', stdout);
    fflush(stdout);
}

const char* kHelp =
        "plug [vid=HEX] [pid=HEX] [serial=S] [product=P] [port=N] [tty=N] [hidraw=N]"
        " [functions=acm,hid|acm|hid|none] [strings=0|1]\n"
        "unplug [port=N]\n"
        "dload SERIAL PRODUCT\n"
        "at-script MATCH reply|error|silent|hangup|raw [delay=MS] [times=N] [TEXT]\n"
        "at-clear\n"
        "at-version TEXT\n"
        "log TEXT\n"
        "wakelock on|off\n"
        "prop set KEY VALUE | prop get KEY | prop del KEY\n"
        "update-state TEXT\n"
        "commands | records | hid | clear\n"
        "wait-command PREFIX MS\n"
        "wait-record NODE COUNT MS\n"
        "recovery-delay MS | recovery-fail [COUNT]\n"
        "wait-dtr up|down MS\n"
        "uevent TEXT | uevent-touch VALUE | uevent-listeners [COUNT MS]\n"
        "lpwg register [INSTANCE] | lpwg error N | lpwg die-in-call | lpwg calls | lpwg clear\n"
        "touch-report BYTES [delay=MS]\n"
        "status | help | quit";

// Runs one command line; false when the program is to end.
bool execute(twsim::Simulator& sim, const std::string& line) {
    std::string rest = line;
    std::string cmd = nextWord(rest);
    if (cmd.empty() || cmd[0] == '#') return true;

    if (cmd == "quit" || cmd == "exit") {
        reply("ok");
        return false;
    }
    if (cmd == "help") {
        reply(kHelp);
        reply(kCoverCommandsHelp);
        reply(kSubDisplayCommandsHelp);
        reply("ok");
        return true;
    }
    if (cmd == "plug") {
        twsim::UsbIdentity id = twsim::accessoryIdentity();
        long port = 1;
        for (std::string w = nextWord(rest); !w.empty(); w = nextWord(rest)) {
            size_t eq = w.find('=');
            std::string key = w.substr(0, eq);
            std::string value = eq == std::string::npos ? "" : unescape(w.substr(eq + 1));
            long n = 0;
            if (key == "vid" && parseInt(value, 16, &n) && n >= 0 && n <= 0xffff) {
                id.vendorId = static_cast<uint16_t>(n);
            } else if (key == "pid" && parseInt(value, 16, &n) && n >= 0 && n <= 0xffff) {
                id.productId = static_cast<uint16_t>(n);
            } else if (key == "serial") {
                id.serial = value;
            } else if (key == "product") {
                id.product = value;
            } else if (key == "port" && parseInt(value, 10, &n)) {
                port = n;
            } else if (key == "tty" && parseInt(value, 10, &n)) {
                id.ttyIndex = static_cast<int>(n);
            } else if (key == "hidraw" && parseInt(value, 10, &n)) {
                id.hidrawIndex = static_cast<int>(n);
            } else if (key == "functions") {
                id.serialFunction = value.find("acm") != std::string::npos;
                id.hidFunction = value.find("hid") != std::string::npos;
            } else if (key == "strings" && (value == "0" || value == "1")) {
                id.answersStrings = value == "1";
            } else {
                reply("error bad option " + w);
                return true;
            }
        }
        reply(sim.plug(id, static_cast<int>(port)) ? "ok" : "error plug failed");
        return true;
    }
    if (cmd == "unplug") {
        long port = 1;
        std::string w = nextWord(rest);
        if (!w.empty() && !(w.compare(0, 5, "port=") == 0 && parseInt(w.substr(5), 10, &port))) {
            reply("error bad option " + w);
            return true;
        }
        reply(sim.unplug(static_cast<int>(port)) ? "ok" : "error nothing plugged there");
        return true;
    }
    if (cmd == "dload") {
        std::string serial = nextWord(rest);
        std::string product = nextWord(rest);
        if (serial.empty() || product.empty()) {
            reply("error usage: dload SERIAL PRODUCT");
            return true;
        }
        if (serial == "-") serial.clear();
        if (product == "-") product.clear();
        reply(sim.plugDownloadMode(unescape(serial), unescape(product)) ? "ok"
                                                                        : "error plug failed");
        return true;
    }
    if (cmd == "at-script") {
        twsim::AtScript script;
        script.match = unescape(nextWord(rest));
        std::string action = nextWord(rest);
        if (action == "reply") {
            script.action = twsim::AtScript::Action::Reply;
        } else if (action == "error") {
            script.action = twsim::AtScript::Action::Error;
        } else if (action == "silent") {
            script.action = twsim::AtScript::Action::Silent;
        } else if (action == "hangup") {
            script.action = twsim::AtScript::Action::HangUp;
        } else if (action == "raw") {
            script.action = twsim::AtScript::Action::Raw;
        } else {
            reply("error unknown action \"" + action + "\"");
            return true;
        }
        for (;;) {
            std::string save = rest;
            std::string w = nextWord(rest);
            long n = 0;
            if (w.compare(0, 6, "delay=") == 0 && parseInt(w.substr(6), 10, &n) && n >= 0) {
                script.delayMs = static_cast<int>(n);
            } else if (w.compare(0, 6, "times=") == 0 && parseInt(w.substr(6), 10, &n) && n >= 0) {
                script.times = static_cast<int>(n);
            } else {
                rest = save;
                break;
            }
        }
        size_t start = rest.find_first_not_of(" \t");
        script.text = start == std::string::npos ? "" : unescape(rest.substr(start));
        sim.setAtScript(script);
        reply("ok");
        return true;
    }
    if (cmd == "at-clear") {
        sim.clearAtScripts();
        reply("ok");
        return true;
    }
    if (cmd == "at-version") {
        size_t start = rest.find_first_not_of(" \t");
        sim.setFirmwareVersion(start == std::string::npos ? "" : unescape(rest.substr(start)));
        reply("ok");
        return true;
    }
    if (cmd == "log") {
        size_t start = rest.find_first_not_of(" \t");
        std::string text = start == std::string::npos ? "" : unescape(rest.substr(start));
        reply(sim.sendLog(text) ? "ok" : "error no serial port");
        return true;
    }
    if (cmd == "wakelock") {
        std::string w = nextWord(rest);
        if (w != "on" && w != "off") {
            reply("error usage: wakelock on|off");
            return true;
        }
        reply(sim.setDisplayOn(w == "on") ? "ok" : "error cannot write wake_lock");
        return true;
    }
    if (cmd == "prop") {
        std::string op = nextWord(rest);
        std::string key = nextWord(rest);
        if (op == "set" && !key.empty()) {
            size_t start = rest.find_first_not_of(" \t");
            std::string value = start == std::string::npos ? "" : unescape(rest.substr(start));
            reply(sim.setProperty(key, value) ? "ok" : "error cannot set " + key);
        } else if (op == "get" && !key.empty()) {
            reply("prop " + key + " " + escape(sim.property(key)));
            reply("ok");
        } else if (op == "del" && !key.empty()) {
            reply(sim.removeProperty(key) ? "ok" : "error cannot remove " + key);
        } else {
            reply("error usage: prop set KEY VALUE | prop get KEY | prop del KEY");
        }
        return true;
    }
    if (cmd == "update-state") {
        size_t start = rest.find_first_not_of(" \t");
        std::string text = start == std::string::npos ? "" : unescape(rest.substr(start));
        reply(sim.setTouchUpdateState(text) ? "ok" : "error cannot write");
        return true;
    }
    if (cmd == "commands") {
        for (const auto& r : sim.atCommands()) {
            reply("command " + std::to_string(msSinceStart(r.time)) + " " + std::to_string(r.port) +
                  " " + escape(r.command));
        }
        reply("ok");
        return true;
    }
    if (cmd == "records") {
        for (const auto& r : sim.nodeRecords()) {
            reply("record " + std::to_string(msSinceStart(r.time)) + " " + r.node + " " +
                  escape(r.value) + (r.exact ? " exact" : " inexact"));
        }
        reply("ok");
        return true;
    }
    if (cmd == "hid") {
        for (const auto& r : sim.hidRecords()) {
            std::string hex;
            char b[4];
            for (size_t i = 0; i < r.report.size() && i < 16; i++) {
                snprintf(b, sizeof(b), "%02x", r.report[i]);
                hex += b;
            }
            reply("hid " + std::to_string(msSinceStart(r.time)) + " " + std::to_string(r.op) + " " +
                  std::to_string(r.report.size()) + " " + hex);
        }
        reply("ok");
        return true;
    }
    if (cmd == "clear") {
        sim.clearAtCommands();
        sim.clearNodeRecords();
        sim.clearHidRecords();
        reply("ok");
        return true;
    }
    if (cmd == "wait-command") {
        std::string prefix = unescape(nextWord(rest));
        long ms = 0;
        if (!parseInt(nextWord(rest), 10, &ms) || ms < 0) {
            reply("error usage: wait-command PREFIX MS");
            return true;
        }
        int index = sim.waitForAtCommand(prefix, static_cast<int>(ms));
        reply(index >= 0 ? "ok " + std::to_string(index) : "error timeout");
        return true;
    }
    if (cmd == "wait-record") {
        std::string node = nextWord(rest);
        long count = 0, ms = 0;
        if (node.empty() || !parseInt(nextWord(rest), 10, &count) || count < 0 ||
            !parseInt(nextWord(rest), 10, &ms) || ms < 0) {
            reply("error usage: wait-record NODE COUNT MS");
            return true;
        }
        reply(sim.waitForNodeRecords(node, static_cast<size_t>(count), static_cast<int>(ms))
                      ? "ok"
                      : "error timeout");
        return true;
    }
    if (cmd == "recovery-fail") {
        long count = 1;
        std::string w = nextWord(rest);
        if (!w.empty() && !(parseInt(w, 10, &count) && count >= 0 && count <= 1000)) {
            reply("error usage: recovery-fail [COUNT]");
            return true;
        }
        sim.failNextRecoveries(static_cast<int>(count));
        reply("ok");
        return true;
    }
    if (cmd == "wait-dtr") {
        std::string state = nextWord(rest);
        long ms = 0;
        if ((state != "up" && state != "down") || !parseInt(nextWord(rest), 10, &ms) || ms < 0) {
            reply("error usage: wait-dtr up|down MS");
            return true;
        }
        reply(sim.waitForDtr(state == "up", static_cast<int>(ms)) ? "ok" : "error timeout");
        return true;
    }
    if (cmd == "recovery-delay") {
        long ms = 0;
        if (!parseInt(nextWord(rest), 10, &ms) || ms < 0) {
            reply("error usage: recovery-delay MS");
            return true;
        }
        sim.setRecoveryDelayMs(static_cast<int>(ms));
        reply("ok");
        return true;
    }
    if (cmd == "uevent" || cmd == "uevent-touch") {
        size_t start = rest.find_first_not_of(" \t");
        std::string text = start == std::string::npos ? "" : unescape(rest.substr(start));
        if (cmd == "uevent-touch") text = twsim::touchUevent(text);
        int n = twsim::sendUevent(sim, text);
        reply(n >= 0 ? "ok " + std::to_string(n) : std::string("error ") + strerror(errno));
        return true;
    }
    if (cmd == "uevent-listeners") {
        std::string w = nextWord(rest);
        long count = 0, ms = 0;
        if (w.empty()) {
            reply("ok " + std::to_string(twsim::ueventListeners(sim)));
        } else if (parseInt(w, 10, &count) && parseInt(nextWord(rest), 10, &ms) && ms >= 0) {
            reply(twsim::waitForUeventListeners(sim, static_cast<int>(count), static_cast<int>(ms))
                          ? "ok " + std::to_string(twsim::ueventListeners(sim))
                          : "error timeout");
        } else {
            reply("error usage: uevent-listeners [COUNT MS]");
        }
        return true;
    }
    if (cmd == "lpwg") {
        // Created on first use; lives as long as the program.
        static twsim::LpwgService* lpwg = new twsim::LpwgService();
        std::string op = nextWord(rest);
        long n = 0;
        if (op == "register") {
            std::string instance = nextWord(rest);
            // The HIDL transport finds hwservicemanager through the
            // environment's device root.
            if (twdevice::root() != sim.root()) {
                reply("error TWINEL_DEVICE_ROOT must name " + sim.root());
            } else {
                reply(lpwg->registerService(instance.empty() ? "default" : instance)
                              ? "ok"
                              : "error registration refused");
            }
        } else if (op == "error" && parseInt(nextWord(rest), 10, &n) && n >= INT32_MIN &&
                   n <= INT32_MAX) {
            lpwg->setNodeError(static_cast<int32_t>(n));
            reply("ok");
        } else if (op == "die-in-call") {
            lpwg->setDieInSetAesMode(true);
            reply("ok");
        } else if (op == "calls") {
            for (uint32_t mode : lpwg->aesModes()) reply("aes " + std::to_string(mode));
            reply("ok");
        } else if (op == "clear") {
            lpwg->clear();
            reply("ok");
        } else {
            reply("error usage: lpwg register [INSTANCE] | lpwg error N | lpwg die-in-call | "
                  "lpwg calls | lpwg clear");
        }
        return true;
    }
    if (cmd == "touch-report") {
        long bytes = 0, delay = 0;
        if (!parseInt(nextWord(rest), 10, &bytes) || bytes < 0 || bytes > (1 << 20)) {
            reply("error usage: touch-report BYTES [delay=MS] (at most 1048576 bytes)");
            return true;
        }
        std::string w = nextWord(rest);
        if (!w.empty() &&
            !(w.compare(0, 6, "delay=") == 0 && parseInt(w.substr(6), 10, &delay) && delay >= 0)) {
            reply("error bad option " + w);
            return true;
        }
        sim.setAtScript(
                twsim::selfTestResultScript(static_cast<size_t>(bytes), static_cast<int>(delay)));
        reply("ok");
        return true;
    }
    if (cmd == "status") {
        for (int port = 1; port <= 15; port++) {
            if (!sim.isPlugged(port)) continue;
            reply("plugged port=" + std::to_string(port) + " device=" + sim.usbDeviceName(port) +
                  " echo=" + (sim.echoEnabled(port) ? "on" : "off") +
                  " dtr=" + (sim.dtr(port) ? "up" : "down"));
        }
        reply(std::string("display ") + (sim.displayOn() ? "on" : "off"));
        reply("recoveries " + std::to_string(sim.recoveryCount()) + " failed " +
              std::to_string(sim.failedRecoveryCount()) + " to-fail " +
              std::to_string(sim.pendingRecoveryFailures()));
        reply("ok");
        return true;
    }
    std::vector<std::string> coverLines;
    if (executeCoverCommand(sim, cmd, rest, &coverLines)) {
        for (const std::string& l : coverLines) reply(l);
        return true;
    }
    std::vector<std::string> hidLines;
    if (executeSubDisplayCommand(sim, cmd, rest, &hidLines)) {
        for (const std::string& l : hidLines) reply(l);
        return true;
    }
    reply("error unknown command \"" + cmd + "\" (try help)");
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    // With TWINEL_TRACE=FILE the service traces into FILE; the simulator's
    // side of the same exchanges goes beside it.
    atrace_host_set_file_suffix(".sim");
    std::string root;
    bool plugAtStart = false;
    for (int i = 1; i < argc; i++) {
        std::string arg = argv[i];
        if (arg == "--root" && i + 1 < argc) {
            root = argv[++i];
        } else if (arg == "--plug") {
            plugAtStart = true;
        } else {
            fprintf(stderr, "usage: %s --root DIR [--plug]\n", argv[0]);
            return 2;
        }
    }
    if (root.empty()) {
        fprintf(stderr, "usage: %s --root DIR [--plug]\n", argv[0]);
        return 2;
    }

    signal(SIGPIPE, SIG_IGN);
    sigset_t mask;
    sigemptyset(&mask);
    sigaddset(&mask, SIGINT);
    sigaddset(&mask, SIGTERM);
    sigaddset(&mask, SIGHUP);
    // Blocked before any thread starts, so that every thread inherits it.
    pthread_sigmask(SIG_BLOCK, &mask, nullptr);
    int sigFd = signalfd(-1, &mask, SFD_CLOEXEC);
    if (sigFd < 0) {
        fprintf(stderr, "signalfd: %s\n", strerror(errno));
        return 1;
    }

    int status = 0;
    {
        twsim::Simulator sim(root);
        if (!sim.ok()) {
            fprintf(stderr, "cannot build the device tree under %s\n", root.c_str());
            close(sigFd);
            return 1;
        }
        if (plugAtStart && !sim.plug()) status = 1;
        reply("ready " + sim.root());

        std::string pending;
        bool running = status == 0;
        while (running) {
            struct pollfd fds[2] = {{STDIN_FILENO, POLLIN, 0}, {sigFd, POLLIN, 0}};
            if (poll(fds, 2, -1) < 0) {
                if (errno == EINTR) continue;
                fprintf(stderr, "poll: %s\n", strerror(errno));
                status = 1;
                break;
            }
            if (fds[1].revents) break;
            if (!fds[0].revents) continue;
            char buf[4096];
            ssize_t n = read(STDIN_FILENO, buf, sizeof(buf));
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) break;  // end of input
            pending.append(buf, static_cast<size_t>(n));
            size_t nl;
            while (running && (nl = pending.find('\n')) != std::string::npos) {
                std::string line = pending.substr(0, nl);
                pending.erase(0, nl + 1);
                if (!line.empty() && line.back() == '\r') line.pop_back();
                running = execute(sim, line);
            }
            if (pending.size() > 65536) {
                reply("error line too long");
                pending.clear();
            }
        }
    }
    close(sigFd);
    return status;
}
