/*
 * Host HIDL runtime: the binder state a process shows to debugging tools.
 *
 * Owns the answer to a debug connection (a HELLO of kind CONN_DEBUG): the
 * holders of each exported object and the thread pool's use and size, the
 * host's stand-in for what lshal reads from the binder driver on a phone.
 * The I/O thread answers and closes the connection at once; the answer is
 * small enough for the socket's buffer, so a peer that never reads cannot
 * hold the I/O thread.
 */
#define LOG_TAG "hidl_host_transport"

#include <errno.h>
#include <fcntl.h>
#include <hwbinder/BinderDebug.h>
#include <hwbinder/BpHwBinder.h>
#include <log/log.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <sstream>

#include "Transport.h"
#include "TransportFrame.h"

namespace android {
namespace hardware {

namespace {

// Keeps an answer within what a fresh socket buffers, whatever the number
// of objects and holders.
constexpr size_t kMaxAnswer = 64 * 1024;

}  // namespace

pid_t Transport::peerPid(int fd) {
    struct ucred cred = {};
    socklen_t len = sizeof(cred);
    if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &len) != 0) {
        ALOGW("SO_PEERCRED: %s", strerror(errno));
        return 0;
    }
    return cred.pid;
}

void Transport::answerDebugQuery(int fd) {
    std::string answer;
    answer += "pid " + std::to_string(getpid()) + "\n";
    answer += "threads " + std::to_string(mBusyThreads.load()) + " " +
              std::to_string(maxThreads()) + "\n";
    {
        std::lock_guard<std::mutex> lock(mNodeLock);
        for (const auto& entry : mNodes) {
            if (entry.second.holders.empty()) continue;
            std::set<pid_t> pids;
            for (const auto& h : entry.second.holders) pids.insert(h.first->pid);
            std::string line = "node " + std::to_string(entry.first);
            for (pid_t p : pids) line += " " + std::to_string(p);
            line += "\n";
            if (answer.size() + line.size() > kMaxAnswer) break;
            answer += line;
        }
    }
    FrameHeader h = {kMagic, FRAME_REPLY, 0, 0, 0, 0, static_cast<uint32_t>(answer.size()), OK};
    // Never blocks long: the answer fits the buffer of a socket nobody wrote to.
    setTimeout(fd, 100);
    if (!writeFrame(fd, h, answer, {})) ALOGW("debug query: the asker went away");
    close(fd);
}

status_t getBinderProcessInfo(const sp<IBinder>& remote, BinderProcessInfo* info, int timeoutMs) {
    BpHwBinder* proxy = remote == nullptr ? nullptr : remote->remoteBinder();
    if (proxy == nullptr) return BAD_TYPE;
    sockaddr_un addr;
    if (!Transport::validAddress(proxy->address()) ||
        !fillAddr(Transport::socketDir() + "/" + proxy->address(), &addr)) {
        return BAD_VALUE;
    }
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        ALOGE("debug query: socket: %s", strerror(errno));
        return UNKNOWN_ERROR;
    }
    setTimeout(fd, timeoutMs);
    if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0) {
        ALOGW("debug query: cannot reach %s: %s", proxy->address().c_str(), strerror(errno));
        close(fd);
        return DEAD_OBJECT;
    }
    FrameHeader h;
    std::string payload;
    std::vector<int> fds;
    bool ok = writeSimpleFrame(fd, Transport::FRAME_HELLO, Transport::CONN_DEBUG, 0, 0, 0) &&
              readFrame(fd, &h, &payload, &fds, monoMs() + timeoutMs);
    int err = errno;
    close(fd);
    closeAll(&fds);
    if (!ok) return err == EAGAIN || err == ETIMEDOUT ? TIMED_OUT : DEAD_OBJECT;
    if (h.type != Transport::FRAME_REPLY || h.status != OK) return BAD_VALUE;

    *info = BinderProcessInfo();
    std::istringstream in(payload);
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream words(line);
        std::string key;
        words >> key;
        if (key == "pid") {
            words >> info->pid;
        } else if (key == "threads") {
            words >> info->threadsInUse >> info->maxThreads;
        } else if (key == "node") {
            uint64_t id = 0;
            words >> id;
            std::set<pid_t>& pids = info->holders[id];
            pid_t p;
            while (words >> p) pids.insert(p);
        }
    }
    return OK;
}

uint64_t remoteObjectId(const sp<IBinder>& remote) {
    BpHwBinder* proxy = remote == nullptr ? nullptr : remote->remoteBinder();
    return proxy == nullptr ? 0 : proxy->id();
}

}  // namespace hardware
}  // namespace android
