/*
 * The accessory's HID function: a SOCK_SEQPACKET socket at dev/hidrawN that
 * answers the messages of <twdevice/hidraw_seam.h>.
 *
 * Feature report 2 describes the sub display, feature report 3 holds its
 * configuration, output report 2 carries frame data; every request is
 * recorded.
 */
#define LOG_TAG "twinel-sim"

#include <errno.h>
#include <fcntl.h>
#include <log/log.h>
#include <poll.h>
#include <string.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <twdevice/hidraw_seam.h>
#include <unistd.h>

#include <algorithm>

#include "internal.h"

namespace twsim {

namespace {

constexpr size_t kMaxHidRecords = 4096;
constexpr uint8_t kInfoReport = 2;
constexpr uint8_t kConfigReport = 3;
constexpr uint8_t kFrameReport = 2;

std::vector<uint8_t> reply(int32_t result, const uint8_t* data = nullptr, size_t len = 0) {
    std::vector<uint8_t> out(twdevice::hidseam::kReplyHeader + len);
    memcpy(out.data(), &result, sizeof(result));
    if (len > 0) memcpy(out.data() + twdevice::hidseam::kReplyHeader, data, len);
    return out;
}

}  // namespace

std::vector<uint8_t> HidState::handle(const uint8_t* message, size_t length) {
    using namespace twdevice::hidseam;
    if (length < kRequestHeader + 1) return reply(-EINVAL);
    uint8_t op = message[0];
    const uint8_t* report = message + kRequestHeader;
    size_t n = length - kRequestHeader;

    std::lock_guard<std::mutex> l(lock);
    if (records.size() >= kMaxHidRecords) {
        records.erase(records.begin());
        droppedRecords++;
    }
    records.push_back({op, std::vector<uint8_t>(report, report + n), Clock::now()});

    switch (op) {
        case kGetFeature:
            if (report[0] == kInfoReport) {
                const uint8_t info[7] = {kInfoReport,
                                         static_cast<uint8_t>(kSubDisplayWidth & 0xff),
                                         static_cast<uint8_t>(kSubDisplayWidth >> 8),
                                         static_cast<uint8_t>(kSubDisplayHeight & 0xff),
                                         static_cast<uint8_t>(kSubDisplayHeight >> 8),
                                         kSubDisplayFormat,
                                         1};
                size_t len = std::min(n, sizeof(info));
                return reply(static_cast<int32_t>(len), info, len);
            }
            if (report[0] == kConfigReport) {
                size_t len = std::min(n, sizeof(config));
                return reply(static_cast<int32_t>(len), config, len);
            }
            return reply(-EPIPE);
        case kSetFeature:
            if (report[0] == kConfigReport && n >= sizeof(config)) {
                memcpy(config, report, sizeof(config));
                return reply(static_cast<int32_t>(n));
            }
            return reply(-EPIPE);
        case kOutputReport:
            if (report[0] == kFrameReport) return reply(static_cast<int32_t>(n));
            return reply(-EPIPE);
        default:
            return reply(-EINVAL);
    }
}

HidFunction::HidFunction(HidState& state) : mState(state) {}

HidFunction::~HidFunction() {
    stop();
}

bool HidFunction::start(const std::string& node) {
    struct sockaddr_un addr;
    memset(&addr, 0, sizeof(addr));
    addr.sun_family = AF_UNIX;
    size_t slash = node.rfind('/');
    std::string tmp = node.substr(0, slash + 1) + "." + node.substr(slash + 1);
    if (tmp.size() >= sizeof(addr.sun_path)) {
        ALOGE("hid: socket path too long: %s", node.c_str());
        return false;
    }
    mWakeFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    mListen = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (mWakeFd < 0 || mListen < 0) {
        ALOGE("hid: socket: %s", strerror(errno));
        return false;
    }
    memcpy(addr.sun_path, tmp.c_str(), tmp.size());
    unlink(tmp.c_str());
    if (bind(mListen, reinterpret_cast<struct sockaddr*>(&addr), sizeof(addr)) < 0 ||
        listen(mListen, 16) < 0) {
        ALOGE("hid: bind %s: %s", tmp.c_str(), strerror(errno));
        unlink(tmp.c_str());
        return false;
    }
    // Linked into place only once it listens: whoever sees the node appear
    // can connect at once.
    bool linked = link(tmp.c_str(), node.c_str()) == 0;
    if (!linked) ALOGE("hid: link %s: %s", node.c_str(), strerror(errno));
    unlink(tmp.c_str());
    if (!linked) return false;
    mNode = node;
    mThread = std::thread(&HidFunction::run, this);
    return true;
}

void HidFunction::stop() {
    mStop.store(true);
    if (mWakeFd >= 0) {
        uint64_t one = 1;
        if (write(mWakeFd, &one, sizeof(one)) < 0) ALOGE("hid: wake: %s", strerror(errno));
    }
    if (mThread.joinable()) mThread.join();
    for (int fd : mConnections) close(fd);
    mConnections.clear();
    if (mListen >= 0) {
        close(mListen);
        mListen = -1;
    }
    if (!mNode.empty()) {
        unlink(mNode.c_str());
        mNode.clear();
    }
    if (mWakeFd >= 0) {
        close(mWakeFd);
        mWakeFd = -1;
    }
}

void HidFunction::run() {
    std::vector<uint8_t> buf(twdevice::hidseam::kRequestHeader + twdevice::hidseam::kMaxReport + 1);
    while (!mStop.load()) {
        std::vector<struct pollfd> fds;
        fds.push_back({mWakeFd, POLLIN, 0});
        fds.push_back({mListen, POLLIN, 0});
        for (int fd : mConnections) fds.push_back({fd, POLLIN, 0});
        int ret = poll(fds.data(), fds.size(), -1);
        if (ret < 0) {
            if (errno == EINTR) continue;
            ALOGE("hid: poll: %s", strerror(errno));
            break;
        }
        if (fds[0].revents) break;
        if (fds[1].revents & POLLIN) {
            for (;;) {
                int fd = accept4(mListen, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
                if (fd < 0) break;
                mConnections.push_back(fd);
            }
        }
        std::vector<int> closed;
        for (size_t i = 2; i < fds.size(); i++) {
            int fd = fds[i].fd;
            if (fds[i].revents & POLLIN) {
                ssize_t n = recv(fd, buf.data(), buf.size(), MSG_DONTWAIT);
                if (n < 0 && (errno == EAGAIN || errno == EINTR)) continue;
                if (n <= 0) {
                    closed.push_back(fd);
                    continue;
                }
                std::vector<uint8_t> answer;
                if (static_cast<size_t>(n) >= buf.size()) {
                    ALOGE("hid: request larger than any report refused");
                    answer = reply(-EINVAL);
                } else {
                    answer = mState.handle(buf.data(), static_cast<size_t>(n));
                }
                if (send(fd, answer.data(), answer.size(), MSG_NOSIGNAL | MSG_DONTWAIT) < 0) {
                    closed.push_back(fd);
                }
            } else if (fds[i].revents) {
                closed.push_back(fd);
            }
        }
        for (int fd : closed) {
            close(fd);
            mConnections.erase(std::find(mConnections.begin(), mConnections.end(), fd));
        }
    }
}

}  // namespace twsim
