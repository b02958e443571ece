/*
 * The kernel's uevent multicast, played over the listeners' datagram sockets
 * under the device root.
 */
#define LOG_TAG "twinel-sim"

#include <dirent.h>
#include <errno.h>
#include <log/log.h>
#include <poll.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <twcutils/uevent_socket.h>
#include <twsim/simulator.h>
#include <twsim/uevent.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

namespace twsim {

namespace {

constexpr const char* kTouchDevPath = "/devices/virtual/input/zyr_touch";
constexpr int kSendBuffer = 256 * 1024;
constexpr int kFullWaitMs = 1000;

std::atomic<unsigned long> gSeqnum{1000};

// Real paths of the sockets in the listener directory.
std::vector<std::string> listenerPaths(const Simulator& sim) {
    std::vector<std::string> out;
    std::string dir = sim.path(twcutils::kUeventSocketDir);
    DIR* d = opendir(dir.c_str());
    if (d == nullptr) return out;
    while (struct dirent* e = readdir(d)) {
        if (e->d_name[0] == '.') continue;
        std::string p = dir + "/" + e->d_name;
        struct stat st;
        if (lstat(p.c_str(), &st) == 0 && S_ISSOCK(st.st_mode)) out.push_back(p);
    }
    closedir(d);
    return out;
}

bool toAddress(const std::string& p, struct sockaddr_un* addr) {
    memset(addr, 0, sizeof(*addr));
    addr->sun_family = AF_UNIX;
    if (p.size() >= sizeof(addr->sun_path)) return false;
    memcpy(addr->sun_path, p.c_str(), p.size() + 1);
    return true;
}

// Sends one datagram to the listener at `addr`. A full queue is waited on
// for a while (the kernel's netlink queue is bounded by bytes and holds far
// more small messages than a Unix socket's default of ten datagrams).
ssize_t sendTo(const struct sockaddr_un& addr, const std::string& message) {
    int s = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (s < 0) return -1;
    int size = kSendBuffer;
    // Capped by net.core.wmem_max; a longer message is refused.
    setsockopt(s, SOL_SOCKET, SO_SNDBUF, &size, sizeof(size));
    ssize_t n = -1;
    if (connect(s, reinterpret_cast<const struct sockaddr*>(&addr), sizeof(addr)) == 0) {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kFullWaitMs);
        for (;;) {
            n = send(s, message.data(), message.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
            if (n >= 0 || (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) break;
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                    deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0) break;
            struct pollfd pfd = {s, POLLOUT, 0};
            poll(&pfd, 1, static_cast<int>(left.count()));
        }
    }
    int err = errno;
    close(s);
    errno = err;
    return n;
}

}  // namespace

std::string ueventMessage(const std::initializer_list<std::string>& lines) {
    std::string out;
    for (const std::string& line : lines) {
        out += line;
        out += '\0';
    }
    return out;
}

std::string touchUevent(const std::string& value) {
    std::string devpath = kTouchDevPath;
    return ueventMessage({"change@" + devpath, "ACTION=change", "DEVPATH=" + devpath,
                          "SUBSYSTEM=ZYR_TW2", "TOUCH_GESTURE_WAKEUP=" + value,
                          "SEQNUM=" + std::to_string(gSeqnum++)});
}

int sendUevent(const Simulator& sim, const std::string& message) {
    if (message.size() > kMaxUeventMessage) {
        errno = EMSGSIZE;
        return -1;
    }
    int reached = 0;
    int failure = 0;
    for (const std::string& p : listenerPaths(sim)) {
        struct sockaddr_un addr;
        if (!toAddress(p, &addr)) continue;
        ssize_t n = sendTo(addr, message);
        if (n == static_cast<ssize_t>(message.size())) {
            reached++;
        } else if (n < 0 && errno == ECONNREFUSED) {
            unlink(p.c_str());  // the listener has closed its socket
        } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            ALOGW("uevent: %s stays full, message dropped", p.c_str());
        } else if (n < 0) {
            failure = errno;
            ALOGE("uevent: send to %s: %s", p.c_str(), strerror(errno));
        }
    }
    if (reached == 0 && failure != 0) {
        errno = failure;
        return -1;
    }
    return reached;
}

UeventSockets::UeventSockets(const Simulator& sim) {
    for (const std::string& p : listenerPaths(sim)) {
        struct sockaddr_un addr;
        if (!toAddress(p, &addr)) continue;
        int s = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        if (s < 0) continue;
        int size = kSendBuffer;
        setsockopt(s, SOL_SOCKET, SO_SNDBUF, &size, sizeof(size));
        if (connect(s, reinterpret_cast<const struct sockaddr*>(&addr), sizeof(addr)) == 0) {
            mFds.push_back(s);
        } else {
            close(s);
        }
    }
}

UeventSockets::~UeventSockets() {
    for (int fd : mFds) close(fd);
}

int UeventSockets::send(const std::string& message) {
    int reached = 0;
    for (int fd : mFds) {
        ssize_t n = ::send(fd, message.data(), message.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
        if (n == static_cast<ssize_t>(message.size())) reached++;
    }
    return reached;
}

int ueventListeners(const Simulator& sim) {
    int live = 0;
    for (const std::string& p : listenerPaths(sim)) {
        struct sockaddr_un addr;
        if (!toAddress(p, &addr)) continue;
        int s = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        if (s < 0) continue;
        if (connect(s, reinterpret_cast<struct sockaddr*>(&addr), sizeof(addr)) == 0) {
            live++;
        } else if (errno == ECONNREFUSED) {
            unlink(p.c_str());
        }
        close(s);
    }
    return live;
}

bool waitForUeventListeners(const Simulator& sim, int count, int timeoutMs) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        if (ueventListeners(sim) >= count) return true;
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
}

}  // namespace twsim
