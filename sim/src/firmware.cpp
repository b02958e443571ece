/*
 * The accessory firmware's AT side, served on the master of a pty pair.
 *
 * Replies use the modem's verbose framing: "\r\n", the reply lines each
 * ending in "\r\n", then "OK\r\n" or "ERROR\r\n". With the echo on the
 * received command (and its "\r") is written back first. On the phone's side
 * of the line (IGNCR, canonical mode) this reads as the echo line or a blank
 * line, the reply lines and the final line.
 *
 * The firmware's own log goes out only while the phone holds DTR up, as on
 * the real accessory; a pty has no modem lines, so the device module reports
 * the phone's TIOCMBIS/TIOCMBIC/TIOCMSET as datagrams on a socket of ours.
 */
#define LOG_TAG "twinel-sim"
#define ATRACE_TAG ATRACE_TAG_HAL

#include <ctype.h>
#include <cutils/trace.h>
#include <errno.h>
#include <fcntl.h>
#include <log/log.h>
#include <poll.h>
#include <stdlib.h>
#include <string.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <termios.h>
#include <unistd.h>
#include <utils/Trace.h>

#include "internal.h"

namespace twsim {

namespace {

constexpr size_t kMaxCommand = 4096;
constexpr int kOutputWaitMs = 200;
// Before a hang-up that follows a partial answer: time for the answer to
// reach the phone's line discipline, then the longest wait for the phone to
// read it.
constexpr int kArrivalMs = 50;
constexpr int kReadWaitMs = 2000;

constexpr const char* kCutout = "M -48,0 H 48 V 96 H -48 Z";
constexpr const char* kTouchFirmware = "TOUCH FW:0x0102 CONFIG:0x21";
constexpr const char* kGpioPins = "INT:1 RST:1";
constexpr const char* kSelfTestResult = "SELF TEST: PASS\nOPEN: PASS\nSHORT: PASS\nRAW RANGE: PASS";

std::string touchMatrix(int base, int step) {
    std::string text;
    for (int row = 0; row < 4; row++) {
        for (int col = 0; col < 8; col++) {
            if (col > 0) text += " ";
            text += std::to_string(base + ((row * 8 + col) * step) % 37);
        }
        if (row < 3) text += "\n";
    }
    return text;
}

std::string upper(const std::string& text) {
    std::string out = text;
    for (char& c : out) c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
    return out;
}

}  // namespace

void AtState::record(int port, const std::string& command) {
    std::lock_guard<std::mutex> l(lock);
    records.push_back({port, command, Clock::now()});
    changed.notify_all();
}

bool AtState::takeScript(const std::string& command, AtScript* out) {
    std::lock_guard<std::mutex> l(lock);
    for (auto it = scripts.rbegin(); it != scripts.rend(); ++it) {
        if (!startsWithNoCase(command, it->match)) continue;
        *out = *it;
        if (it->times > 0 && --it->times == 0) scripts.erase(std::next(it).base());
        return true;
    }
    return false;
}

Firmware::Firmware(AtState& state, int port) : mState(state), mPort(port) {}

Firmware::~Firmware() {
    stop();
}

bool Firmware::start(const std::string& modemDir, HangUpHandler onHangUp) {
    mOnHangUp = std::move(onHangUp);
    mWakeFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (mWakeFd < 0) {
        ALOGE("firmware: eventfd: %s", strerror(errno));
        return false;
    }
    mMaster = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (mMaster < 0) {
        ALOGE("firmware: posix_openpt: %s", strerror(errno));
        return false;
    }
    char name[128];
    if (grantpt(mMaster) < 0 || unlockpt(mMaster) < 0 || ptsname_r(mMaster, name, sizeof(name))) {
        ALOGE("firmware: pty set-up: %s", strerror(errno));
        closeMaster();
        return false;
    }
    mSlavePath = name;
    const std::string pts = "/dev/pts/";
    if (mSlavePath.compare(0, pts.size(), pts) == 0 && fs::makeDirs(modemDir)) {
        mModemPath = modemDir + "/" + mSlavePath.substr(pts.size());
        struct sockaddr_un addr = {};
        addr.sun_family = AF_UNIX;
        if (mModemPath.size() < sizeof(addr.sun_path)) {
            memcpy(addr.sun_path, mModemPath.c_str(), mModemPath.size() + 1);
            unlink(mModemPath.c_str());  // left by an earlier run
            mModem = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
            if (mModem >= 0 &&
                bind(mModem, reinterpret_cast<struct sockaddr*>(&addr), sizeof(addr)) < 0) {
                ALOGE("firmware: bind %s: %s", mModemPath.c_str(), strerror(errno));
                close(mModem);
                mModem = -1;
            } else if (mModem >= 0 && chmod(mModemPath.c_str(), 0666) < 0) {
                // The reports come from the service, whatever its user.
                ALOGE("firmware: chmod %s: %s", mModemPath.c_str(), strerror(errno));
            }
        }
    }
    if (mModem < 0) {
        // DTR can then never rise: the log stays in the buffer.
        ALOGE("firmware: port %d: no modem-line socket for %s", mPort, name);
    }
    mSlave = open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (mSlave < 0) {
        ALOGE("firmware: open %s: %s", name, strerror(errno));
        closeMaster();
        return false;
    }
    // The line as the phone sets it, so that nothing is echoed back to the
    // firmware before the phone has opened the port.
    struct termios tio;
    memset(&tio, 0, sizeof(tio));
    tio.c_iflag = IGNPAR | IGNCR;
    tio.c_cflag = B115200 | CS8 | CREAD | CLOCAL | CRTSCTS;
    tio.c_lflag = ICANON;
    if (tcsetattr(mSlave, TCSANOW, &tio) < 0) {
        ALOGE("firmware: tcsetattr: %s", strerror(errno));
    }
    int flags = fcntl(mMaster, F_GETFL);
    fcntl(mMaster, F_SETFL, flags | O_NONBLOCK);
    mThread = std::thread(&Firmware::run, this);
    return true;
}

void Firmware::stop() {
    mStop.store(true);
    if (mWakeFd >= 0) {
        uint64_t one = 1;
        if (write(mWakeFd, &one, sizeof(one)) < 0) ALOGE("firmware: wake: %s", strerror(errno));
    }
    if (mThread.joinable()) mThread.join();
    closeMaster();
    if (mWakeFd >= 0) {
        close(mWakeFd);
        mWakeFd = -1;
    }
    if (mModem >= 0) {
        close(mModem);
        mModem = -1;
        unlink(mModemPath.c_str());
    }
}

void Firmware::closeMaster() {
    std::lock_guard<std::mutex> l(mIoLock);
    if (mMaster >= 0) {
        close(mMaster);
        mMaster = -1;
    }
    if (mSlave >= 0) {
        close(mSlave);
        mSlave = -1;
    }
}

bool Firmware::sendLog(const std::string& line) {
    std::lock_guard<std::mutex> l(mIoLock);
    if (mMaster < 0) return false;
    if (!mDtr.load()) {
        if (mLogBuffer.size() >= kLogBufferLines) mLogBuffer.pop_front();
        mLogBuffer.push_back(line);
        return true;
    }
    return outputLocked(line + "\r\n");
}

void Firmware::handleModemReport() {
    char msg[64];
    ssize_t n;
    while ((n = recv(mModem, msg, sizeof(msg) - 1, 0)) > 0) {
        msg[n] = '\0';
        char op[16] = "";
        int bits = 0;
        if (sscanf(msg, "%15s %d", op, &bits) != 2) {
            ALOGE("firmware: port %d: bad modem-line report \"%s\"", mPort, msg);
            continue;
        }
        std::lock_guard<std::mutex> l(mIoLock);
        bool dtr = mDtr.load();
        if (strcmp(op, "set") == 0) {
            dtr = dtr || (bits & TIOCM_DTR) != 0;
        } else if (strcmp(op, "clear") == 0) {
            dtr = dtr && (bits & TIOCM_DTR) == 0;
        } else {
            dtr = (bits & TIOCM_DTR) != 0;
        }
        if (dtr != mDtr.load()) ALOGI("firmware: port %d: DTR %s", mPort, dtr ? "up" : "down");
        mDtr.store(dtr);
        while (dtr && mMaster >= 0 && !mLogBuffer.empty()) {
            if (!outputLocked(mLogBuffer.front() + "\r\n")) break;
            mLogBuffer.pop_front();
        }
    }
}

bool Firmware::output(const std::string& bytes) {
    std::lock_guard<std::mutex> l(mIoLock);
    return outputLocked(bytes);
}

bool Firmware::outputLocked(const std::string& bytes) {
    if (mMaster < 0) return false;
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = write(mMaster, bytes.data() + done, bytes.size() - done);
        if (n > 0) {
            done += static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            struct pollfd pfd = {mMaster, POLLOUT, 0};
            if (poll(&pfd, 1, kOutputWaitMs) > 0) continue;
            ALOGE("firmware: port %d: line full, %zu bytes dropped", mPort, bytes.size() - done);
            return false;
        }
        ALOGE("firmware: port %d: write: %s", mPort, strerror(errno));
        return false;
    }
    return true;
}

void Firmware::waitUntilRead() {
    if (!pause(kArrivalMs)) return;
    for (int waited = 0; waited < kReadWaitMs; waited += 2) {
        int queued = 0;
        {
            std::lock_guard<std::mutex> l(mIoLock);
            // Complete lines the phone has not read yet (canonical mode).
            if (mSlave < 0 || ioctl(mSlave, TIOCINQ, &queued) < 0) return;
        }
        if (queued == 0 || !pause(2)) return;
    }
}

bool Firmware::pause(int ms) {
    struct pollfd pfd = {mWakeFd, POLLIN, 0};
    int ret;
    do {
        ret = poll(&pfd, 1, ms);
    } while (ret < 0 && errno == EINTR);
    return ret == 0 && !mStop.load();
}

void Firmware::run() {
    std::string pending;
    char buf[1024];
    while (!mStop.load()) {
        int master;
        {
            std::lock_guard<std::mutex> l(mIoLock);
            master = mMaster;
        }
        if (master < 0) break;  // hung up
        struct pollfd fds[3] = {{master, POLLIN, 0}, {mWakeFd, POLLIN, 0}, {mModem, POLLIN, 0}};
        int ret = poll(fds, mModem >= 0 ? 3 : 2, -1);
        if (ret < 0) {
            if (errno == EINTR) continue;
            ALOGE("firmware: poll: %s", strerror(errno));
            break;
        }
        if (fds[1].revents) break;
        if (mModem >= 0 && (fds[2].revents & POLLIN)) {
            handleModemReport();
            if (!(fds[0].revents & POLLIN)) continue;
        }
        if (!(fds[0].revents & POLLIN)) {
            // Nobody has the slave open (cannot happen while mSlave is held);
            // do not spin.
            if (!pause(10)) break;
            continue;
        }
        ssize_t n = read(master, buf, sizeof(buf));
        if (n < 0) {
            if (errno == EAGAIN || errno == EINTR) continue;
            ALOGE("firmware: read: %s", strerror(errno));
            if (!pause(10)) break;
            continue;
        }
        pending.append(buf, static_cast<size_t>(n));
        size_t cr;
        while ((cr = pending.find('\r')) != std::string::npos) {
            std::string command = pending.substr(0, cr);
            pending.erase(0, cr + 1);
            handleCommand(command);
            if (mStop.load()) return;
        }
        if (pending.size() > kMaxCommand) {
            ALOGE("firmware: port %d: %zu bytes without a carriage return dropped", mPort,
                  pending.size());
            pending.clear();
        }
    }
}

// Ends an exchange's slice with the answer: its kind, bytes and whether
// they went out.
static void traceAnswer(const char* kind, size_t bytes, bool sent) {
    if (!ATRACE_ENABLED()) return;
    std::string args = std::string("answer=") + kind + " bytes=" + std::to_string(bytes) +
                       " sent=" + (sent ? "1" : "0");
    ATRACE_BEGIN(args.c_str());
    ATRACE_END();
}

void Firmware::handleCommand(const std::string& received) {
    // Line feeds between commands are not part of them.
    size_t start = received.find_first_not_of('\n');
    if (start == std::string::npos) return;
    std::string command = received.substr(start);
    mState.record(mPort, command);
    // The command and its answer as one slice of the port's thread.
    std::string traceName = ATRACE_ENABLED() ? "AT " + command : std::string();
    ATRACE_NAME(traceName.c_str());

    AtScript answer;
    if (!mState.takeScript(command, &answer)) answer = defaultAnswer(command);
    if (answer.action == AtScript::Action::Silent) return;
    if (mEcho.load()) output(command + "\r");
    if (answer.delayMs > 0 && !pause(answer.delayMs)) return;

    // An accepted echo change holds from the moment its "OK" is on the line.
    if (answer.action == AtScript::Action::Reply) {
        std::string cmd = upper(command);
        if (cmd == "ATE0" || cmd == "ATE") mEcho.store(false);
        if (cmd == "ATE1") mEcho.store(true);
    }

    switch (answer.action) {
        case AtScript::Action::Reply:
        case AtScript::Action::Error: {
            std::string out = "\r\n";
            size_t pos = 0;
            while (pos < answer.text.size()) {
                size_t nl = answer.text.find('\n', pos);
                if (nl == std::string::npos) nl = answer.text.size();
                out += answer.text.substr(pos, nl - pos) + "\r\n";
                pos = nl + 1;
            }
            out += answer.action == AtScript::Action::Reply ? "OK\r\n" : "ERROR\r\n";
            bool sent = output(out);
            traceAnswer(answer.action == AtScript::Action::Reply ? "ok" : "error", out.size(),
                        sent);
            break;
        }
        case AtScript::Action::Raw:
            traceAnswer("raw", answer.text.size(), output(answer.text));
            break;
        case AtScript::Action::HangUp:
            // A partial answer first, when there is one: the phone reads it,
            // then the line drops.
            if (!answer.text.empty() && output(answer.text)) waitUntilRead();
            ALOGI("firmware: port %d hangs up after \"%s\"", mPort, command.c_str());
            traceAnswer("hangup", answer.text.size(), true);
            closeMaster();
            // A device whose port is dead has left the bus.
            if (mOnHangUp) mOnHangUp(this);
            break;
        case AtScript::Action::Silent:
            break;
    }
}

AtScript Firmware::defaultAnswer(const std::string& command) {
    AtScript answer;
    answer.action = AtScript::Action::Reply;
    std::string cmd = upper(command);

    static const char* const kPlain[] = {
            "AT", "ATE", "ATE0", "ATE1", "AT%GODLOAD", "AT%GOSTMDLOAD", "AT%TCHDEBUG=RESET"};
    for (const char* plain : kPlain) {
        if (cmd == plain) return answer;
    }
    if (cmd == "AT%SWV") {
        std::lock_guard<std::mutex> l(mState.lock);
        answer.text = mState.firmwareVersion;
        return answer;
    }
    if (cmd == "AT%HPD") {
        answer.text = "On";
        return answer;
    }
    if (cmd == "AT%GETTWCUTOUT") {
        answer.text = kCutout;
        return answer;
    }
    if (cmd == "AT%TCHDEBUG=FWVER") {
        answer.text = kTouchFirmware;
        return answer;
    }
    if (cmd == "AT%TCHDEBUG=GPIO_PIN") {
        answer.text = kGpioPins;
        return answer;
    }
    if (cmd == "AT%TCHDEBUG=RAWDATA") {
        answer.text = touchMatrix(1480, 7);
        return answer;
    }
    if (cmd == "AT%TCHDEBUG=DELTA") {
        answer.text = touchMatrix(0, 3);
        return answer;
    }
    if (cmd == "AT%TCHNOTIFY=PULL_SD_RESULT") {
        answer.text = kSelfTestResult;
        return answer;
    }
    static const char* const kWithArguments[] = {
            "AT%MODEL=", "AT%LOGSAVE=", "AT%TW=",  "AT%TCPERF=",    "AT%DB=",
            "AT%SMODE=", "AT%PRGB=",    "AT%SHS=", "AT%TCHNOTIFY=", "AT%TCHUPDATE="};
    for (const char* prefix : kWithArguments) {
        if (cmd.compare(0, strlen(prefix), prefix) == 0) return answer;
    }
    answer.action = AtScript::Action::Error;
    return answer;
}

}  // namespace twsim
