/*
 * Host HIDL runtime: the Unix-socket transport.
 */
#define LOG_TAG "hidl_host_transport"

#include "Transport.h"

#include <errno.h>
#include <fcntl.h>
#include <hwbinder/IPCThreadState.h>
#include <log/log.h>
#include <poll.h>
#include <pthread.h>
#include <stdio.h>
#include <string.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <time.h>
#include <twdevice/device.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <random>

namespace android {
namespace hardware {

namespace {

// How long a peer may take to finish a frame it started, or to confirm it
// decoded interface references we sent.
constexpr int kFrameTimeoutMs = 5000;
// How long a connection attempt may wait for a peer that does not accept.
constexpr int kConnectTimeoutMs = 1000;

// The first step of a frame's payload read (and allocated) at once; each
// later step is at most what has arrived so far, so memory stays within
// twice the bytes received (or this much).
constexpr size_t kReadStep = 128 * 1024;

// Placeholder of an ACQUIRE whose reply has not come yet.
constexpr int32_t kReplyPending = INT32_MIN;

constexpr uint64_t kIoListen = 1ull << 62;
constexpr uint64_t kIoHello = 2ull << 62;
constexpr uint64_t kIoControl = 3ull << 62;
constexpr uint64_t kIoMask = 3ull << 62;

void setTimeout(int fd, int ms) {
    struct timeval tv = {ms / 1000, (ms % 1000) * 1000};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv));
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof(tv));
}

bool fillAddr(const std::string& path, sockaddr_un* addr) {
    memset(addr, 0, sizeof(*addr));
    addr->sun_family = AF_UNIX;
    if (path.size() >= sizeof(addr->sun_path)) {
        ALOGE("socket path too long (%zu bytes): %s", path.size(), path.c_str());
        return false;
    }
    memcpy(addr->sun_path, path.c_str(), path.size() + 1);
    return true;
}

// Writes a whole frame; the file descriptors travel with its first byte.
bool writeFrame(int fd, const FrameHeader& header, const std::string& payload,
                const std::vector<int>& fds) {
    struct iovec iov[2];
    iov[0].iov_base = const_cast<FrameHeader*>(&header);
    iov[0].iov_len = sizeof(header);
    iov[1].iov_base = const_cast<char*>(payload.data());
    iov[1].iov_len = payload.size();
    size_t total = sizeof(header) + payload.size();
    size_t sent = 0;

    union {
        struct cmsghdr align;
        char buf[CMSG_SPACE(sizeof(int) * Transport::kMaxFds)];
    } control;
    bool first = true;
    while (sent < total) {
        struct iovec cur[2];
        int n = 0;
        if (sent < sizeof(header)) {
            cur[n].iov_base = reinterpret_cast<char*>(iov[0].iov_base) + sent;
            cur[n].iov_len = sizeof(header) - sent;
            n++;
            if (!payload.empty()) cur[n++] = iov[1];
        } else {
            size_t off = sent - sizeof(header);
            cur[n].iov_base = const_cast<char*>(payload.data()) + off;
            cur[n].iov_len = payload.size() - off;
            n++;
        }
        struct msghdr msg = {};
        msg.msg_iov = cur;
        msg.msg_iovlen = n;
        if (first && !fds.empty()) {
            memset(&control, 0, sizeof(control));
            msg.msg_control = control.buf;
            msg.msg_controllen = CMSG_SPACE(sizeof(int) * fds.size());
            struct cmsghdr* cmsg = CMSG_FIRSTHDR(&msg);
            cmsg->cmsg_level = SOL_SOCKET;
            cmsg->cmsg_type = SCM_RIGHTS;
            cmsg->cmsg_len = CMSG_LEN(sizeof(int) * fds.size());
            memcpy(CMSG_DATA(cmsg), fds.data(), sizeof(int) * fds.size());
        }
        ssize_t w = sendmsg(fd, &msg, MSG_NOSIGNAL);
        if (w < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        first = false;
        sent += static_cast<size_t>(w);
    }
    return true;
}

bool writeSimpleFrame(int fd, uint32_t type, uint32_t code, uint64_t txnId, uint64_t target,
                      int32_t status) {
    FrameHeader h = {Transport::kMagic, type, code, 0, txnId, target, 0, status};
    return writeFrame(fd, h, std::string(), {});
}

int64_t monoMs() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

// Waits until fd is readable or the deadline (monotonic ms; -1: none) passed.
bool waitReadable(int fd, int64_t deadline) {
    for (;;) {
        int timeout = -1;
        if (deadline >= 0) {
            int64_t left = deadline - monoMs();
            if (left <= 0) {
                errno = ETIMEDOUT;
                return false;
            }
            timeout = static_cast<int>(left);
        }
        struct pollfd pfd = {fd, POLLIN, 0};
        int n = poll(&pfd, 1, timeout);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            if (n == 0) errno = ETIMEDOUT;
            return false;
        }
        return true;
    }
}

// Reads len bytes. The data usually follow what was just read (one frame is
// one send): each read is tried first and waited for only when nothing is
// there yet.
bool readFully(int fd, void* buf, size_t len, int64_t deadline) {
    size_t got = 0;
    while (got < len) {
        ssize_t r = recv(fd, static_cast<char*>(buf) + got, len - got, MSG_DONTWAIT);
        if (r < 0 && errno == EINTR) continue;
        if (r < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            if (!waitReadable(fd, deadline)) return false;
            continue;
        }
        if (r <= 0) return false;
        got += static_cast<size_t>(r);
    }
    return true;
}

void closeAll(std::vector<int>* fds) {
    for (int fd : *fds) close(fd);
    fds->clear();
}

// Reads one frame. The header is checked before any payload is read, so a
// hostile length never allocates. Once the first byte has arrived, the
// whole frame must follow within kFrameTimeoutMs; firstByteDeadline bounds
// the wait for that first byte (-1: none). With readable, the caller knows
// data are waiting (a poll said so) and the first read is not preceded by a
// wait.
bool readFrame(int fd, FrameHeader* header, std::string* payload, std::vector<int>* fds,
               int64_t firstByteDeadline = -1, bool readable = false) {
    union {
        struct cmsghdr align;
        char buf[CMSG_SPACE(sizeof(int) * Transport::kMaxFds)];
    } control;
    size_t got = 0;
    bool first = true;
    int64_t deadline = firstByteDeadline;
    bool tryNow = readable;
    while (got < sizeof(*header)) {
        if (!tryNow && !waitReadable(fd, deadline)) {
            closeAll(fds);
            return false;
        }
        struct iovec iov = {reinterpret_cast<char*>(header) + got, sizeof(*header) - got};
        struct msghdr msg = {};
        msg.msg_iov = &iov;
        msg.msg_iovlen = 1;
        if (first) {
            msg.msg_control = control.buf;
            msg.msg_controllen = sizeof(control.buf);
        }
        ssize_t r = recvmsg(fd, &msg, MSG_CMSG_CLOEXEC | MSG_DONTWAIT);
        if (r < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            tryNow = false;
            continue;
        }
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) {
            closeAll(fds);
            return false;
        }
        if (first) {
            deadline = monoMs() + kFrameTimeoutMs;
            for (struct cmsghdr* c = CMSG_FIRSTHDR(&msg); c != nullptr; c = CMSG_NXTHDR(&msg, c)) {
                if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_RIGHTS) {
                    size_t n = (c->cmsg_len - CMSG_LEN(0)) / sizeof(int);
                    const int* in = reinterpret_cast<const int*>(CMSG_DATA(c));
                    for (size_t i = 0; i < n; i++) {
                        int passed;
                        memcpy(&passed, in + i, sizeof(int));
                        fds->push_back(passed);
                    }
                }
            }
            if (msg.msg_flags & MSG_CTRUNC) {
                ALOGE("peer sent more file descriptors than a frame may carry");
                closeAll(fds);
                return false;
            }
            first = false;
        }
        got += static_cast<size_t>(r);
        tryNow = true;  // the rest of a header follows its start
    }
    if (header->magic != Transport::kMagic) {
        ALOGE("frame with bad magic 0x%08x", header->magic);
        closeAll(fds);
        return false;
    }
    if (header->payloadLen > Transport::kMaxFramePayload) {
        ALOGE("frame of %u bytes exceeds the limit", header->payloadLen);
        closeAll(fds);
        return false;
    }
    // Memory follows the bytes that arrive, not the length the peer
    // announced: the payload grows in steps bounded by what came so far.
    payload->clear();
    size_t have = 0;
    while (have < header->payloadLen) {
        size_t step = std::min<size_t>(header->payloadLen - have, std::max(kReadStep, have));
        payload->resize(have + step);
        if (!readFully(fd, &(*payload)[have], step, deadline)) {
            ALOGE("truncated frame: %s", strerror(errno));
            payload->clear();
            closeAll(fds);
            return false;
        }
        have += step;
    }
    return true;
}

// This thread's transaction connections, one per peer.
struct ClientConn {
    int fd = -1;
    uint64_t nextTxn = 1;
    ~ClientConn() {
        if (fd >= 0) close(fd);
    }
};

struct ClientConns {
    std::map<std::string, std::unique_ptr<ClientConn>> conns;
};

thread_local ClientConns tClientConns;

}  // namespace

struct Transport::ControlConn {
    int fd = -1;
    uint64_t token = 0;  // the peer's, for incoming connections
    bool outgoing = false;
    std::string address;  // peer, for outgoing connections
    std::mutex writeLock;
    std::mutex waitLock;
    std::condition_variable waitCond;
    std::map<uint64_t, int32_t> replies;  // ACQUIRE replies by request id
    bool dead = false;
};

struct Transport::TxnServerConn {
    int fd = -1;
    uint64_t token = 0;
    pid_t pid = 0;
    uid_t uid = 0;
};

Transport& Transport::self() {
    // Never destroyed: its threads run until the process exits.
    static Transport* sTransport = new Transport();
    return *sTransport;
}

Transport::Transport() {
    mEpollIo = epoll_create1(EPOLL_CLOEXEC);
    mEpollPool = epoll_create1(EPOLL_CLOEXEC);
    mTaskEvent = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK | EFD_SEMAPHORE);
    if (mEpollIo < 0 || mEpollPool < 0 || mTaskEvent < 0) {
        LOG_ALWAYS_FATAL("cannot set up the transport: %s", strerror(errno));
    }
    struct epoll_event ev = {};
    ev.events = EPOLLIN;
    ev.data.u64 = static_cast<uint64_t>(mTaskEvent);
    epoll_ctl(mEpollPool, EPOLL_CTL_ADD, mTaskEvent, &ev);
    std::random_device rd;
    mToken = (static_cast<uint64_t>(rd()) << 32) ^ rd() ^ static_cast<uint64_t>(getpid());
}

bool Transport::validAddress(const std::string& address) {
    if (address.empty() || address.size() > 64) return false;
    for (char c : address) {
        if (!(isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '_' || c == '.')) {
            return false;
        }
    }
    return address != "." && address != "..";
}

std::string Transport::socketDir() {
    return twdevice::hwbinderSocketDir();
}

std::string Transport::address() {
    std::lock_guard<std::mutex> lock(mLock);
    if (ensureListening() != OK) return std::string();
    return mAddress;
}

status_t Transport::ensureListening() {
    if (mListenFd >= 0) return OK;
    std::string dir = socketDir();
    if (dir.empty()) return UNKNOWN_ERROR;
    if (mAddress.empty()) {
        std::random_device rd;
        char name[64];
        snprintf(name, sizeof(name), "p%d-%08x", getpid(), static_cast<unsigned>(rd()));
        mAddress = name;
    }
    std::string path = dir + "/" + mAddress;
    // Bound and listening under a temporary name first, then renamed into
    // place: a client that sees the socket file can always connect.
    std::string tmpPath = dir + "/." + mAddress + ".tmp";
    sockaddr_un addr, tmpAddr;
    if (!fillAddr(path, &addr) || !fillAddr(tmpPath, &tmpAddr)) return BAD_VALUE;

    // A live owner of the name keeps it.
    int probe = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    bool live = probe >= 0 && connect(probe, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) == 0;
    if (probe >= 0) close(probe);
    if (live) {
        ALOGE("%s is served by another process", path.c_str());
        return ALREADY_EXISTS;
    }

    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        ALOGE("socket: %s", strerror(errno));
        return UNKNOWN_ERROR;
    }
    unlink(tmpPath.c_str());
    if (bind(fd, reinterpret_cast<sockaddr*>(&tmpAddr), sizeof(tmpAddr)) < 0) {
        ALOGE("bind %s: %s", tmpPath.c_str(), strerror(errno));
        close(fd);
        return UNKNOWN_ERROR;
    }
    // Reachable by every user, as hwbinder is; on a phone SELinux decides.
    chmod(tmpPath.c_str(), 0666);
    if (listen(fd, 64) < 0) {
        ALOGE("listen %s: %s", tmpPath.c_str(), strerror(errno));
        unlink(tmpPath.c_str());
        close(fd);
        return UNKNOWN_ERROR;
    }
    if (rename(tmpPath.c_str(), path.c_str()) < 0) {
        ALOGE("rename %s: %s", path.c_str(), strerror(errno));
        unlink(tmpPath.c_str());
        close(fd);
        return UNKNOWN_ERROR;
    }
    mListenFd = fd;
    struct epoll_event ev = {};
    ev.events = EPOLLIN;
    ev.data.u64 = kIoListen | static_cast<uint64_t>(fd);
    epoll_ctl(mEpollIo, EPOLL_CTL_ADD, fd, &ev);
    ensureIoThread();
    return OK;
}

void Transport::ensureIoThread() {
    if (mIoStarted) return;
    mIoStarted = true;
    mThreads.emplace_back([this] { ioLoop(); });
    mThreads.back().detach();
}

int Transport::connectTo(const std::string& address, ConnKind kind) {
    sockaddr_un addr;
    if (!validAddress(address) || !fillAddr(socketDir() + "/" + address, &addr)) return -1;
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) return -1;
    // A peer that does not accept (its backlog full) must not hold us: retry
    // briefly, then give up.
    int64_t deadline = monoMs() + kConnectTimeoutMs;
    for (;;) {
        if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) == 0) break;
        if ((errno == EAGAIN || errno == EINTR) && monoMs() < deadline) {
            usleep(2000);
            continue;
        }
        close(fd);
        return -1;
    }
    int flags = fcntl(fd, F_GETFL);
    if (flags < 0 || fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) < 0) {
        close(fd);
        return -1;
    }
    // A control peer's I/O thread always reads: a write that blocks this long
    // means the peer is stuck. Calls may legitimately wait on a busy server.
    if (kind == CONN_CONTROL) setTimeout(fd, kFrameTimeoutMs);
    if (!writeSimpleFrame(fd, FRAME_HELLO, kind, mToken, 0, 0)) {
        close(fd);
        return -1;
    }
    return fd;
}

// ---------------------------------------------------------------------------
// Objects

status_t Transport::flattenBinder(const sp<IBinder>& binder, std::string* address, uint64_t* id,
                                  bool* isLocal) {
    BHwBinder* local = binder->localBinder();
    if (local == nullptr) {
        BpHwBinder* proxy = binder->remoteBinder();
        if (proxy == nullptr) return BAD_TYPE;
        *address = proxy->address();
        *id = proxy->id();
        *isLocal = false;
        return OK;
    }
    {
        std::lock_guard<std::mutex> lock(mLock);
        status_t err = ensureListening();
        if (err != OK) return err;
        *address = mAddress;
    }
    startPool();
    std::lock_guard<std::mutex> lock(mNodeLock);
    auto it = mNodeIds.find(local);
    if (it != mNodeIds.end()) {
        *id = it->second;
    } else {
        *id = mNextId++;
        Node node;
        node.weak = local;
        mNodes[*id] = std::move(node);
        mNodeIds[local] = *id;
    }
    *isLocal = true;
    return OK;
}

sp<BHwBinder> Transport::lookupLocal(uint64_t id) {
    std::lock_guard<std::mutex> lock(mNodeLock);
    auto it = mNodes.find(id);
    if (it == mNodes.end()) return nullptr;
    return it->second.weak.promote();
}

void Transport::localBinderDestroyed(BHwBinder* binder) {
    std::lock_guard<std::mutex> lock(mNodeLock);
    auto it = mNodeIds.find(binder);
    if (it == mNodeIds.end()) return;
    mNodes.erase(it->second);
    mNodeIds.erase(it);
}

status_t Transport::setContextObject(const sp<BHwBinder>& binder) {
    {
        std::lock_guard<std::mutex> lock(mLock);
        if (mListenFd >= 0) {
            ALOGE("the context object must be set before anything is exported");
            return INVALID_OPERATION;
        }
        mAddress = kServiceManagerAddress;
        status_t err = ensureListening();
        if (err != OK) return err;
    }
    std::lock_guard<std::mutex> lock(mNodeLock);
    Node node;
    node.weak = binder;
    node.strong = binder;
    node.permanent = true;
    mNodes[0] = std::move(node);
    mNodeIds[binder.get()] = 0;
    return OK;
}

sp<IBinder> Transport::unflattenBinder(const std::string& address, uint64_t id) {
    {
        std::lock_guard<std::mutex> lock(mLock);
        if (!mAddress.empty() && address == mAddress && mListenFd >= 0) {
            return lookupLocal(id);
        }
    }
    std::unique_lock<std::mutex> lock(mProxyLock);
    auto key = std::make_pair(address, id);
    auto it = mProxies.find(key);
    if (it != mProxies.end()) {
        sp<BpHwBinder> existing = it->second.promote();
        if (existing != nullptr) return existing;
    }
    std::shared_ptr<ControlConn> conn = controlConnFor(address);
    if (conn == nullptr) return nullptr;
    sp<BpHwBinder> proxy = new BpHwBinder(address, id);
    mProxies[key] = proxy;
    uint64_t reqId = mNextReqId++;
    {
        std::lock_guard<std::mutex> wait(conn->waitLock);
        conn->replies[reqId] = kReplyPending;
    }
    sendControl(conn.get(), FRAME_ACQUIRE, id, reqId, 0);
    lock.unlock();

    std::unique_lock<std::mutex> wait(conn->waitLock);
    bool answered = conn->waitCond.wait_for(wait, std::chrono::milliseconds(kFrameTimeoutMs), [&] {
        return conn->dead || conn->replies[reqId] != kReplyPending;
    });
    int32_t status = conn->replies[reqId];
    conn->replies.erase(reqId);
    if (!answered || conn->dead || status == kReplyPending) {
        ALOGE("no reference from %s for object %llu", address.c_str(),
              static_cast<unsigned long long>(id));
        return nullptr;
    }
    if (status != OK) {
        ALOGE("object %llu of %s is gone", static_cast<unsigned long long>(id), address.c_str());
        return nullptr;
    }
    return proxy;
}

void Transport::proxyDestroyed(BpHwBinder* proxy) {
    std::lock_guard<std::mutex> lock(mProxyLock);
    auto key = std::make_pair(proxy->address(), proxy->id());
    auto it = mProxies.find(key);
    if (it != mProxies.end() && it->second.unsafe_get() == proxy) mProxies.erase(it);
    auto conn = mControlOut.find(proxy->address());
    if (conn != mControlOut.end() && proxy->isAlive()) {
        sendControl(conn->second.get(), FRAME_RELEASE, proxy->id(), 0, 0);
    }
}

status_t Transport::linkToDeath(BpHwBinder* proxy) {
    std::lock_guard<std::mutex> lock(mProxyLock);
    if (!proxy->isAlive() || mControlOut.count(proxy->address()) == 0) return DEAD_OBJECT;
    return OK;
}

std::shared_ptr<Transport::ControlConn> Transport::controlConnFor(const std::string& address) {
    // Called with mProxyLock held.
    auto it = mControlOut.find(address);
    if (it != mControlOut.end()) return it->second;
    {
        std::lock_guard<std::mutex> lock(mLock);
        ensureIoThread();
    }
    int fd = connectTo(address, CONN_CONTROL);
    if (fd < 0) return nullptr;
    auto conn = std::make_shared<ControlConn>();
    conn->fd = fd;
    conn->outgoing = true;
    conn->address = address;
    mControlOut[address] = conn;
    {
        std::lock_guard<std::mutex> lock(mConnLock);
        mControlByFd[fd] = conn;
    }
    struct epoll_event ev = {};
    ev.events = EPOLLIN | EPOLLRDHUP;
    ev.data.u64 = kIoControl | static_cast<uint64_t>(fd);
    epoll_ctl(mEpollIo, EPOLL_CTL_ADD, fd, &ev);
    return conn;
}

void Transport::sendControl(ControlConn* conn, uint32_t type, uint64_t id, uint64_t reqId,
                            int32_t status) {
    std::lock_guard<std::mutex> lock(conn->writeLock);
    if (conn->dead) return;
    if (!writeSimpleFrame(conn->fd, type, 0, reqId, id, status)) {
        // The I/O thread sees the end of the connection and cleans up.
        shutdown(conn->fd, SHUT_RDWR);
    }
}

// ---------------------------------------------------------------------------
// I/O thread: accepts connections and serves control connections.

void Transport::ioLoop() {
    pthread_setname_np(pthread_self(), "hwbinder-io");
    for (;;) {
        struct epoll_event events[16];
        int n = epoll_wait(mEpollIo, events, 16, 1000);
        if (n < 0) {
            if (errno == EINTR) continue;
            ALOGE("epoll_wait: %s", strerror(errno));
            return;
        }
        dropSilentConnections();
        for (int i = 0; i < n; i++) {
            uint64_t tag = events[i].data.u64 & kIoMask;
            int fd = static_cast<int>(events[i].data.u64 & ~kIoMask);
            if (tag == kIoListen) {
                handleAccept();
            } else if (tag == kIoHello) {
                FrameHeader h;
                {
                    std::lock_guard<std::mutex> lock(mConnLock);
                    if (mPendingHello.erase(fd) == 0) continue;  // timed out already
                }
                ssize_t r = recv(fd, &h, sizeof(h), MSG_DONTWAIT);
                epoll_ctl(mEpollIo, EPOLL_CTL_DEL, fd, nullptr);
                if (r != static_cast<ssize_t>(sizeof(h)) || h.magic != kMagic ||
                    h.type != FRAME_HELLO || h.payloadLen != 0) {
                    ALOGE("dropping a connection that did not introduce itself");
                    close(fd);
                    continue;
                }
                if (h.code == CONN_TXN) {
                    auto conn = std::make_shared<TxnServerConn>();
                    conn->fd = fd;
                    conn->token = h.txnId;
                    struct ucred cred = {};
                    socklen_t len = sizeof(cred);
                    if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &len) == 0) {
                        conn->pid = cred.pid;
                        conn->uid = cred.uid;
                    }
                    {
                        std::lock_guard<std::mutex> lock(mConnLock);
                        mTxnByFd[fd] = conn;
                    }
                    struct epoll_event ev = {};
                    ev.events = EPOLLIN | EPOLLRDHUP | EPOLLONESHOT;
                    ev.data.u64 = static_cast<uint64_t>(fd);
                    epoll_ctl(mEpollPool, EPOLL_CTL_ADD, fd, &ev);
                } else if (h.code == CONN_CONTROL) {
                    auto conn = std::make_shared<ControlConn>();
                    conn->fd = fd;
                    conn->token = h.txnId;
                    {
                        std::lock_guard<std::mutex> lock(mConnLock);
                        mControlByFd[fd] = conn;
                        mControlByToken[conn->token] = conn.get();
                    }
                    struct epoll_event ev = {};
                    ev.events = EPOLLIN | EPOLLRDHUP;
                    ev.data.u64 = kIoControl | static_cast<uint64_t>(fd);
                    epoll_ctl(mEpollIo, EPOLL_CTL_ADD, fd, &ev);
                } else {
                    ALOGE("dropping a connection of unknown kind %u", h.code);
                    close(fd);
                }
            } else if (tag == kIoControl) {
                std::shared_ptr<ControlConn> conn;
                {
                    std::lock_guard<std::mutex> lock(mConnLock);
                    auto it = mControlByFd.find(fd);
                    if (it != mControlByFd.end()) conn = it->second;
                }
                if (conn != nullptr) handleControlReadable(conn.get());
            }
        }
    }
}

void Transport::handleAccept() {
    int fd = accept4(mListenFd, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) {
        if (errno == EMFILE || errno == ENFILE) {
            // The connection stays queued; try again later instead of
            // spinning on a listening socket that stays readable.
            static int64_t sLastLog = 0;
            if (monoMs() - sLastLog > 5000) {
                ALOGE("accept: %s", strerror(errno));
                sLastLog = monoMs();
            }
            usleep(100 * 1000);
        } else if (errno != EINTR && errno != EAGAIN) {
            ALOGE("accept: %s", strerror(errno));
        }
        return;
    }
    setTimeout(fd, kFrameTimeoutMs);
    {
        std::lock_guard<std::mutex> lock(mConnLock);
        mPendingHello[fd] = monoMs();
    }
    struct epoll_event ev = {};
    ev.events = EPOLLIN | EPOLLRDHUP;
    ev.data.u64 = kIoHello | static_cast<uint64_t>(fd);
    epoll_ctl(mEpollIo, EPOLL_CTL_ADD, fd, &ev);
}

void Transport::dropSilentConnections() {
    std::vector<int> stale;
    {
        std::lock_guard<std::mutex> lock(mConnLock);
        int64_t now = monoMs();
        for (auto it = mPendingHello.begin(); it != mPendingHello.end();) {
            if (now - it->second > kFrameTimeoutMs) {
                stale.push_back(it->first);
                it = mPendingHello.erase(it);
            } else {
                ++it;
            }
        }
    }
    for (int fd : stale) {
        ALOGE("dropping a connection that did not introduce itself in time");
        epoll_ctl(mEpollIo, EPOLL_CTL_DEL, fd, nullptr);
        close(fd);
    }
}

void Transport::handleControlReadable(ControlConn* conn) {
    FrameHeader h;
    std::string payload;
    std::vector<int> fds;
    if (!readFrame(conn->fd, &h, &payload, &fds, monoMs() + kFrameTimeoutMs, true) ||
        !fds.empty() || !payload.empty()) {
        closeAll(&fds);
        dropControlConn(conn);
        return;
    }
    switch (h.type) {
        case FRAME_ACQUIRE: {
            int32_t status = OK;
            {
                std::lock_guard<std::mutex> lock(mNodeLock);
                auto it = mNodes.find(h.target);
                sp<BHwBinder> strong = it == mNodes.end() ? nullptr : it->second.weak.promote();
                if (strong == nullptr) {
                    status = DEAD_OBJECT;
                } else {
                    it->second.holders[conn]++;
                    it->second.strong = strong;
                }
            }
            sendControl(conn, FRAME_ACQUIRE_REPLY, h.target, h.txnId, status);
            break;
        }
        case FRAME_RELEASE: {
            sp<BHwBinder> drop;
            {
                std::lock_guard<std::mutex> lock(mNodeLock);
                auto it = mNodes.find(h.target);
                if (it != mNodes.end()) {
                    auto holder = it->second.holders.find(conn);
                    if (holder != it->second.holders.end() && --holder->second == 0) {
                        it->second.holders.erase(holder);
                    }
                    if (it->second.holders.empty() && !it->second.permanent) {
                        drop = std::move(it->second.strong);
                    }
                }
            }
            drop.clear();  // may destroy the object: outside the lock
            break;
        }
        case FRAME_TXN_DONE:
            if (conn->outgoing) releasePins(conn->address, h.txnId, false);
            break;
        case FRAME_ACQUIRE_REPLY: {
            std::lock_guard<std::mutex> lock(conn->waitLock);
            auto it = conn->replies.find(h.txnId);
            if (conn->outgoing && it != conn->replies.end() && it->second == kReplyPending) {
                it->second = h.status;
                conn->waitCond.notify_all();
            }
            break;
        }
        default:
            ALOGE("unexpected frame type %u on a control connection", h.type);
            dropControlConn(conn);
            break;
    }
}

void Transport::dropControlConn(ControlConn* conn) {
    std::shared_ptr<ControlConn> keep;
    {
        std::lock_guard<std::mutex> lock(mConnLock);
        auto it = mControlByFd.find(conn->fd);
        if (it == mControlByFd.end()) return;
        keep = it->second;
        mControlByFd.erase(it);
        auto byToken = mControlByToken.find(conn->token);
        if (!conn->outgoing && byToken != mControlByToken.end() && byToken->second == conn) {
            mControlByToken.erase(byToken);
        }
    }
    epoll_ctl(mEpollIo, EPOLL_CTL_DEL, conn->fd, nullptr);
    {
        std::lock_guard<std::mutex> lock(conn->writeLock);
        conn->dead = true;
        close(conn->fd);
    }
    {
        std::lock_guard<std::mutex> lock(conn->waitLock);
        conn->waitCond.notify_all();
    }

    if (!conn->outgoing) {
        // The peer's references to our objects are gone with it.
        std::vector<sp<BHwBinder>> drop;
        {
            std::lock_guard<std::mutex> lock(mNodeLock);
            for (auto& entry : mNodes) {
                Node& node = entry.second;
                if (node.holders.erase(conn) > 0 && node.holders.empty() && !node.permanent) {
                    drop.push_back(std::move(node.strong));
                }
            }
        }
        drop.clear();  // may destroy objects: outside the lock
        return;
    }

    // The peer process is gone: every proxy of it is dead.
    std::vector<sp<BpHwBinder>> dead;
    {
        std::lock_guard<std::mutex> lock(mProxyLock);
        auto out = mControlOut.find(conn->address);
        if (out != mControlOut.end() && out->second.get() == conn) mControlOut.erase(out);
        for (auto it = mProxies.begin(); it != mProxies.end();) {
            if (it->first.first == conn->address) {
                sp<BpHwBinder> p = it->second.promote();
                if (p != nullptr) dead.push_back(p);
                it = mProxies.erase(it);
            } else {
                ++it;
            }
        }
    }
    releasePins(conn->address, 0, true);
    ALOGI("peer %s is gone (%zu references)", conn->address.c_str(), dead.size());
    if (!dead.empty()) {
        postTask([dead]() {
            for (const auto& p : dead) p->sendObituary();
        });
    }
}

void Transport::releasePins(const std::string& address, uint64_t pinId, bool all) {
    std::vector<OnewayPin> drop;  // released outside the lock
    std::unique_lock<std::mutex> lock(mPinLock);
    if (!all) {
        auto it = mOnewayPins.find(pinId);
        if (it != mOnewayPins.end() && it->second.address == address) {
            drop.push_back(std::move(it->second));
            mOnewayPins.erase(it);
        }
    } else {
        for (auto it = mOnewayPins.begin(); it != mOnewayPins.end();) {
            if (it->second.address == address) {
                drop.push_back(std::move(it->second));
                it = mOnewayPins.erase(it);
            } else {
                ++it;
            }
        }
    }
    lock.unlock();
    drop.clear();
}

// ---------------------------------------------------------------------------
// Calls

status_t Transport::transact(BpHwBinder* proxy, uint32_t code, const Parcel& data, Parcel* reply,
                             uint32_t flags) {
    if (!proxy->isAlive()) return DEAD_OBJECT;
    const bool oneway = (flags & IBinder::FLAG_ONEWAY) != 0;
    // Refused before anything reaches the peer, as the driver refuses a
    // transaction that does not fit the receiver's buffer.
    const size_t size = data.transactionSize();
    if (size > kMaxTransaction) {
        ALOGE("transaction %u of %zu bytes exceeds the %zu-byte limit", code, size,
              kMaxTransaction);
        return FAILED_TRANSACTION;
    }

    auto& slot = tClientConns.conns[proxy->address()];
    if (slot == nullptr) slot = std::make_unique<ClientConn>();
    ClientConn* cc = slot.get();
    auto dropConn = [&]() { tClientConns.conns.erase(proxy->address()); };

    if (cc->fd < 0) {
        cc->fd = connectTo(proxy->address(), CONN_TXN);
        if (cc->fd < 0) {
            dropConn();
            return DEAD_OBJECT;
        }
    }

    std::string payload;
    std::vector<int> fds;
    size_t localBinders = 0;
    status_t err = data.serialize(&payload, &fds, &localBinders);
    if (err != OK) return err;
    if (payload.size() > kMaxFramePayload) {
        ALOGE("transaction of %zu bytes on the wire exceeds the limit", payload.size());
        return FAILED_TRANSACTION;
    }

    uint64_t txnId = cc->nextTxn++;
    FrameHeader h = {
            kMagic, FRAME_TXN, code, 0, txnId, proxy->id(), static_cast<uint32_t>(payload.size()),
            0};
    if (oneway) {
        // Keep the target and our objects referenced until the call is served.
        h.flags |= FLAG_ONEWAY | FLAG_WANT_DONE;
        h.txnId = mNextPin++;
        OnewayPin pin;
        pin.address = proxy->address();
        pin.refs.push_back(proxy);
        data.collectLocalBinders(&pin.refs);
        std::lock_guard<std::mutex> lock(mPinLock);
        mOnewayPins[h.txnId] = std::move(pin);
    }
    if (!writeFrame(cc->fd, h, payload, fds)) {
        if (oneway) releasePins(proxy->address(), h.txnId, false);
        dropConn();
        return DEAD_OBJECT;
    }
    if (oneway) return OK;

    for (;;) {
        FrameHeader rh;
        std::string rp;
        std::vector<int> rfds;
        if (!readFrame(cc->fd, &rh, &rp, &rfds)) {
            dropConn();
            return DEAD_OBJECT;
        }
        if (rh.type != FRAME_REPLY || rh.txnId != txnId) {
            ALOGE("unexpected frame type %u in reply to call %llu", rh.type,
                  static_cast<unsigned long long>(txnId));
            closeAll(&rfds);
            dropConn();
            return FAILED_TRANSACTION;
        }
        if (rh.status != OK) {
            closeAll(&rfds);
            return rh.status;
        }
        if (reply == nullptr) {
            closeAll(&rfds);
            return OK;
        }
        err = reply->deserialize(reinterpret_cast<const uint8_t*>(rp.data()), rp.size(), &rfds);
        if (err != OK) {
            dropConn();
            return err;
        }
        if (rh.flags & FLAG_WANT_ACK) {
            writeSimpleFrame(cc->fd, FRAME_ACK, 0, txnId, 0, 0);
        }
        return OK;
    }
}

// ---------------------------------------------------------------------------
// Thread pool

void Transport::configurePool(size_t maxThreads, bool callerJoins) {
    std::lock_guard<std::mutex> lock(mLock);
    if (mPoolStarted) {
        ALOGW("thread pool already started; configuration ignored");
        return;
    }
    mMaxThreads = maxThreads == 0 ? 1 : maxThreads;
    mCallerJoins = callerJoins;
}

size_t Transport::maxThreads() {
    std::lock_guard<std::mutex> lock(mLock);
    return mMaxThreads;
}

void Transport::startPool() {
    std::lock_guard<std::mutex> lock(mLock);
    if (mPoolStarted) return;
    mPoolStarted = true;
    size_t spawn = mMaxThreads - (mCallerJoins ? 1 : 0);
    for (size_t i = 0; i < spawn; i++) {
        // Named as on a phone, "HwBinder:<pid>_<n>" cut to the 15 bytes a
        // thread name holds; a thread that joins the pool keeps its own name.
        mThreads.emplace_back([this, n = i + 1] {
            char name[16];
            snprintf(name, sizeof(name), "HwBinder:%d_%zX", static_cast<int>(getpid()), n);
            pthread_setname_np(pthread_self(), name);
            poolLoop();
        });
        mThreads.back().detach();
    }
}

void Transport::joinPool() {
    startPool();
    poolLoop();
    abort();  // not reached
}

void Transport::postTask(std::function<void()> task) {
    {
        std::lock_guard<std::mutex> lock(mTaskLock);
        mTasks.push_back(std::move(task));
    }
    uint64_t one = 1;
    if (write(mTaskEvent, &one, sizeof(one)) != sizeof(one)) {
        ALOGE("cannot post a task: %s", strerror(errno));
    }
}

void Transport::poolLoop() {
    for (;;) {
        struct epoll_event ev;
        int n = epoll_wait(mEpollPool, &ev, 1, -1);
        if (n <= 0) continue;
        int fd = static_cast<int>(ev.data.u64);
        if (fd == mTaskEvent) {
            uint64_t v;
            if (read(mTaskEvent, &v, sizeof(v)) != sizeof(v)) continue;
            std::function<void()> task;
            {
                std::lock_guard<std::mutex> lock(mTaskLock);
                if (mTasks.empty()) continue;
                task = std::move(mTasks.front());
                mTasks.pop_front();
            }
            task();
            continue;
        }
        std::shared_ptr<TxnServerConn> conn;
        {
            std::lock_guard<std::mutex> lock(mConnLock);
            auto it = mTxnByFd.find(fd);
            if (it != mTxnByFd.end()) conn = it->second;
        }
        if (conn != nullptr) handleTxnConn(conn.get());
    }
}

void Transport::closeTxnConn(TxnServerConn* conn) {
    epoll_ctl(mEpollPool, EPOLL_CTL_DEL, conn->fd, nullptr);
    std::shared_ptr<TxnServerConn> keep;
    std::lock_guard<std::mutex> lock(mConnLock);
    auto it = mTxnByFd.find(conn->fd);
    if (it != mTxnByFd.end()) {
        keep = it->second;
        mTxnByFd.erase(it);
    }
    close(conn->fd);
}

void Transport::handleTxnConn(TxnServerConn* conn) {
    FrameHeader h;
    std::string payload;
    std::vector<int> fds;
    // The pool's epoll reported the connection readable.
    if (!readFrame(conn->fd, &h, &payload, &fds, monoMs() + kFrameTimeoutMs, true)) {
        closeTxnConn(conn);
        return;
    }
    if (h.type != FRAME_TXN) {
        ALOGE("unexpected frame type %u from pid %d; dropping the connection", h.type, conn->pid);
        closeAll(&fds);
        closeTxnConn(conn);
        return;
    }
    const bool oneway = (h.flags & FLAG_ONEWAY) != 0;
    Parcel data;
    status_t err = data.deserialize(reinterpret_cast<const uint8_t*>(payload.data()),
                                    payload.size(), &fds);
    if (err != OK) {
        ALOGE("malformed transaction %u from pid %d; dropping the connection", h.code, conn->pid);
        closeTxnConn(conn);
        return;
    }

    bool broken = false;
    sp<BHwBinder> target = lookupLocal(h.target);
    if (target == nullptr) {
        ALOGE("transaction %u for unknown object %llu", h.code,
              static_cast<unsigned long long>(h.target));
        if (!oneway && !writeSimpleFrame(conn->fd, FRAME_REPLY, 0, h.txnId, 0, DEAD_OBJECT)) {
            broken = true;
        }
    } else {
        IPCThreadState* ipc = IPCThreadState::self();
        ipc->setCallingIdentity(conn->pid, conn->uid, true);
        bool replied = false;
        Parcel reply;
        auto sendReply = [&](Parcel& r) {
            if (replied || oneway) return;
            replied = true;
            std::string rp;
            std::vector<int> rfds;
            size_t local = 0;
            status_t serr = FAILED_TRANSACTION;
            const size_t size = r.transactionSize();
            if (size > kMaxTransaction) {
                ALOGE("reply to transaction %u of %zu bytes exceeds the %zu-byte limit", h.code,
                      size, kMaxTransaction);
            } else {
                serr = r.serialize(&rp, &rfds, &local);
            }
            FrameHeader rh = {
                    kMagic, FRAME_REPLY, 0, 0, h.txnId, 0, static_cast<uint32_t>(rp.size()), serr};
            if (serr != OK) rp.clear(), rfds.clear(), rh.payloadLen = 0;
            if (local > 0) rh.flags |= FLAG_WANT_ACK;
            if (!writeFrame(conn->fd, rh, rp, rfds)) {
                broken = true;
                return;
            }
            if (local > 0) {
                // Keep our objects alive until the caller holds its own references.
                FrameHeader ah;
                std::string ap;
                std::vector<int> afds;
                if (!readFrame(conn->fd, &ah, &ap, &afds, monoMs() + kFrameTimeoutMs) ||
                    ah.type != FRAME_ACK) {
                    closeAll(&afds);
                    broken = true;
                }
            }
        };
        err = target->transact(h.code, data, &reply, oneway ? IBinder::FLAG_ONEWAY : 0, sendReply);
        ipc->setCallingIdentity(0, 0, false);
        if (!oneway && !replied && !broken) {
            if (err == OK) {
                // Operations without results fill the reply and return.
                sendReply(reply);
            } else {
                if (err == UNKNOWN_TRANSACTION) {
                    ALOGE("unknown transaction code %u from pid %d", h.code, conn->pid);
                }
                if (!writeSimpleFrame(conn->fd, FRAME_REPLY, 0, h.txnId, 0, err)) broken = true;
            }
        }
    }
    target.clear();
    if (oneway && (h.flags & FLAG_WANT_DONE)) {
        std::lock_guard<std::mutex> lock(mConnLock);
        auto it = mControlByToken.find(conn->token);
        if (it != mControlByToken.end()) sendControl(it->second, FRAME_TXN_DONE, 0, h.txnId, 0);
    }
    if (broken) {
        closeTxnConn(conn);
        return;
    }
    struct epoll_event ev = {};
    ev.events = EPOLLIN | EPOLLRDHUP | EPOLLONESHOT;
    ev.data.u64 = static_cast<uint64_t>(conn->fd);
    if (epoll_ctl(mEpollPool, EPOLL_CTL_MOD, conn->fd, &ev) < 0) closeTxnConn(conn);
}

}  // namespace hardware
}  // namespace android
