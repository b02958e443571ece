/*
 * Host HIDL runtime: connections and the peer registry.
 *
 * Owns the listening socket and the I/O thread (accepting connections and
 * serving control connections), the exported objects and the remote holders
 * of each, the proxies of remote objects and the control connection to each
 * peer, and what happens when a peer goes.
 */
#define LOG_TAG "hidl_host_transport"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <hwbinder/IPCThreadState.h>
#include <log/log.h>
#include <poll.h>
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/timerfd.h>
#include <sys/un.h>
#include <time.h>
#include <twcutils/latency_probe.h>
#include <twdevice/device.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <random>

#include "Transport.h"
#include "TransportFrame.h"

namespace android {
namespace hardware {

namespace {

// Bytes of control frames read at once: a peer sending a flood of them is
// served in turns with every other descriptor of the I/O thread.
constexpr size_t kControlReadChunk = 64 * sizeof(FrameHeader);

// How often the I/O thread looks for connections that stalled.
constexpr int64_t kSweepIntervalMs = 500;

thread_local bool tIoThread = false;

}  // namespace

Transport& Transport::self() {
    // Never destroyed: its threads run until the process exits.
    static Transport* sTransport = new Transport();
    return *sTransport;
}

Transport::Transport() {
    mEpollIo = epoll_create1(EPOLL_CLOEXEC);
    mEpollPool = epoll_create1(EPOLL_CLOEXEC);
    mTaskEvent = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK | EFD_SEMAPHORE);
    mBarrierEvent = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    mDoneTimer = timerfd_create(CLOCK_MONOTONIC, TFD_CLOEXEC | TFD_NONBLOCK);
    if (mEpollIo < 0 || mEpollPool < 0 || mTaskEvent < 0 || mBarrierEvent < 0 || mDoneTimer < 0) {
        LOG_ALWAYS_FATAL("cannot set up the transport: %s", strerror(errno));
    }
    struct epoll_event ev = {};
    ev.events = EPOLLIN;
    ev.data.u64 = static_cast<uint64_t>(mTaskEvent);
    epoll_ctl(mEpollPool, EPOLL_CTL_ADD, mTaskEvent, &ev);
    ev.data.u64 = kIoBarrier | static_cast<uint64_t>(mBarrierEvent);
    epoll_ctl(mEpollIo, EPOLL_CTL_ADD, mBarrierEvent, &ev);
    ev.data.u64 = kIoDoneTimer | static_cast<uint64_t>(mDoneTimer);
    epoll_ctl(mEpollIo, EPOLL_CTL_ADD, mDoneTimer, &ev);
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

    // Non-blocking: the I/O thread takes every pending connection in turn.
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
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
    mSocketPath = path;
    mSocketOwner = getpid();
    static bool sAtExit = false;
    if (!sAtExit) {
        sAtExit = true;
        atexit([] { Transport::self().removeSocketAtExit(); });
    }
    struct epoll_event ev = {};
    ev.events = EPOLLIN;
    ev.data.u64 = kIoListen | static_cast<uint64_t>(fd);
    epoll_ctl(mEpollIo, EPOLL_CTL_ADD, fd, &ev);
    ensureIoThread();
    return OK;
}

void Transport::removeSocketAtExit() {
    std::lock_guard<std::mutex> lock(mLock);
    // A forked child inherits the handler, not the socket.
    if (mListenFd < 0 || mSocketOwner != getpid()) return;
    unlink(mSocketPath.c_str());
}

void Transport::removeStaleSockets() {
    std::string dir = socketDir();
    DIR* d = opendir(dir.c_str());
    if (d == nullptr) {
        ALOGE("cannot read %s: %s", dir.c_str(), strerror(errno));
        return;
    }
    size_t removed = 0;
    while (struct dirent* e = readdir(d)) {
        // Names starting with a dot are sockets being set up.
        if (e->d_name[0] == '.' || e->d_type != DT_SOCK) continue;
        std::string path = dir + "/" + e->d_name;
        sockaddr_un addr;
        if (!fillAddr(path, &addr)) continue;
        int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        if (fd < 0) break;
        // Nobody listens on the socket of a process that is gone.
        if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) < 0 &&
            errno == ECONNREFUSED && unlink(path.c_str()) == 0) {
            removed++;
        }
        close(fd);
    }
    closedir(d);
    if (removed > 0) ALOGI("removed %zu sockets of processes that are gone", removed);
}

void Transport::peerGone(const std::string& address) {
    // What this process held for the peer goes with it.
    closeClientConnsTo(address);
    releasePins(address, 0, 0, true);
}

void Transport::ensureIoThread() {
    if (mIoStarted) return;
    mIoStarted = true;
    mThreads.emplace_back([this] { ioLoop(); });
    mThreads.back().detach();
}

int Transport::connectTo(const std::string& address, ConnKind kind, struct ucred* peer) {
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
    if (peer != nullptr) {
        // The process that listens on the address.
        socklen_t len = sizeof(*peer);
        if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, peer, &len) != 0) *peer = {};
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
    }
    // Object 0 exists before the socket does: a client may connect and ask
    // for it as soon as the socket file appears.
    {
        std::lock_guard<std::mutex> lock(mNodeLock);
        Node node;
        node.weak = binder;
        node.strong = binder;
        node.permanent = true;
        mNodes[0] = std::move(node);
        mNodeIds[binder.get()] = 0;
    }
    {
        std::lock_guard<std::mutex> lock(mLock);
        mAddress = kServiceManagerAddress;
        status_t err = ensureListening();
        if (err != OK) return err;
    }
    // The service manager starts before the processes it serves: what their
    // predecessors left behind in the socket directory goes now.
    removeStaleSockets();
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
    // The reference is asked for and not waited for, so a peer that never
    // answers holds no thread. The sender keeps the object alive until it
    // has read what we sent before our reply (see controlBarrier()); if the
    // owner answers that the object is gone, the proxy dies then.
    sp<BpHwBinder> proxy = new BpHwBinder(address, id);
    uint64_t reqId = mNextReqId++;
    {
        std::lock_guard<std::mutex> pending(conn->acquireLock);
        if (conn->pendingAcquires.size() >= kMaxPendingAcquires) {
            ALOGE("peer %s leaves %zu references unconfirmed; closing its connection",
                  address.c_str(), conn->pendingAcquires.size());
            std::lock_guard<std::mutex> write(conn->writeLock);
            if (!conn->dead) shutdown(conn->fd, SHUT_RDWR);
            return nullptr;
        }
        conn->pendingAcquires[reqId] = proxy;
    }
    mProxies[key] = proxy;
    sendControl(conn.get(), FRAME_ACQUIRE, id, reqId, 0);
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
    auto unreachable = mUnreachable.find(address);
    if (unreachable != mUnreachable.end()) {
        if (monoMs() - unreachable->second < kConnectTimeoutMs) return nullptr;
        mUnreachable.erase(unreachable);
    }
    {
        std::lock_guard<std::mutex> lock(mLock);
        ensureIoThread();
    }
    struct ucred peer = {};
    int fd = connectTo(address, CONN_CONTROL, &peer);
    if (fd < 0) {
        if (mUnreachable.size() >= 1024) mUnreachable.clear();
        mUnreachable[address] = monoMs();
        return nullptr;
    }
    auto conn = std::make_shared<ControlConn>();
    conn->fd = fd;
    conn->outgoing = true;
    conn->pid = peer.pid;
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

namespace {

// Sends what the socket takes now of data[0, len), counting it in *sent.
// A broken connection is shut down (the I/O thread then cleans it up) and
// false returned.
bool sendWithoutWaiting(int fd, const char* data, size_t len, size_t* sent) {
    while (*sent < len) {
        ssize_t w = send(fd, data + *sent, len - *sent, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (w < 0 && errno == EINTR) continue;
        if (w < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) break;
        if (w < 0) {
            shutdown(fd, SHUT_RDWR);
            return false;
        }
        *sent += static_cast<size_t>(w);
    }
    return true;
}

}  // namespace

// Control frames never wait for their peer: what its socket does not take
// waits in the connection's buffer, written by the I/O thread as the peer
// reads. A peer that lets the buffer fill up is stuck and loses the
// connection.
void Transport::sendControl(ControlConn* conn, uint32_t type, uint64_t id, uint64_t reqId,
                            int32_t status) {
    std::lock_guard<std::mutex> lock(conn->writeLock);
    FrameHeader h = {kMagic, type, 0, 0, reqId, id, 0, status};
    sendControlLocked(conn, reinterpret_cast<const char*>(&h), sizeof(h));
}

void Transport::sendControlLocked(ControlConn* conn, const char* bytes, size_t len) {
    if (conn->dead) return;
    size_t sent = 0;
    if (conn->outbuf.empty()) {
        // On failure the I/O thread sees the end of the connection and cleans up.
        if (!sendWithoutWaiting(conn->fd, bytes, len, &sent)) return;
        if (sent == len) return;
    }
    if (conn->outbuf.size() + len - sent > kMaxControlBacklog) {
        ALOGE("peer %s (pid %d) does not read its control connection; closing it",
              conn->address.c_str(), conn->pid);
        shutdown(conn->fd, SHUT_RDWR);
        return;
    }
    bool wasEmpty = conn->outbuf.empty();
    conn->outbuf.append(bytes + sent, len - sent);
    if (wasEmpty) {
        struct epoll_event ev = {};
        ev.events = EPOLLIN | EPOLLRDHUP | EPOLLOUT;
        ev.data.u64 = kIoControl | static_cast<uint64_t>(conn->fd);
        epoll_ctl(mEpollIo, EPOLL_CTL_MOD, conn->fd, &ev);
    }
}

void Transport::flushControl(ControlConn* conn) {
    std::lock_guard<std::mutex> lock(conn->writeLock);
    if (conn->dead) return;
    size_t sent = 0;
    if (!sendWithoutWaiting(conn->fd, conn->outbuf.data(), conn->outbuf.size(), &sent)) return;
    conn->outbuf.erase(0, sent);
    if (conn->outbuf.empty()) {
        struct epoll_event ev = {};
        ev.events = EPOLLIN | EPOLLRDHUP;
        ev.data.u64 = kIoControl | static_cast<uint64_t>(conn->fd);
        epoll_ctl(mEpollIo, EPOLL_CTL_MOD, conn->fd, &ev);
    }
}

// ---------------------------------------------------------------------------
// I/O thread: accepts connections and serves control connections.

void Transport::ioLoop() {
    pthread_setname_np(pthread_self(), "hwbinder-io");
    tIoThread = true;
    int64_t lastSweep = 0;
    for (;;) {
        struct epoll_event events[16];
        int n = epoll_wait(mEpollIo, events, 16, 1000);
        if (n < 0) {
            if (errno == EINTR) continue;
            ALOGE("epoll_wait: %s", strerror(errno));
            return;
        }
        if (monoMs() - lastSweep >= kSweepIntervalMs) {
            lastSweep = monoMs();
            dropSilentConnections();
        }
        for (int i = 0; i < n; i++) {
            uint64_t tag = events[i].data.u64 & kIoMask;
            int fd = static_cast<int>(events[i].data.u64 & ~kIoMask);
            if (tag == kIoListen) {
                // A few at a time, then the other descriptors get their turn.
                for (int k = 0; k < 16 && handleAcceptOne(); k++) {
                }
            } else if (tag == kIoHello) {
                handleHello(fd);
            } else if (tag == kIoOneway) {
                handleOnewayEvent(fd, events[i].events);
            } else if (tag == kIoDoneTimer) {
                flushAllDone();
            } else if (tag == kIoBarrier) {
                uint64_t v;
                if (read(mBarrierEvent, &v, sizeof(v)) != sizeof(v)) continue;
                uint64_t asked;
                {
                    std::lock_guard<std::mutex> lock(mBarrierLock);
                    asked = mBarrierAsked;
                }
                drainControl();
                {
                    std::lock_guard<std::mutex> lock(mBarrierLock);
                    mBarrierDone = asked;
                }
                mBarrierCond.notify_all();
            } else if (tag == kIoControl) {
                std::shared_ptr<ControlConn> conn;
                {
                    std::lock_guard<std::mutex> lock(mConnLock);
                    auto it = mControlByFd.find(fd);
                    if (it != mControlByFd.end()) conn = it->second;
                }
                if (conn == nullptr) continue;
                if (events[i].events & EPOLLOUT) flushControl(conn.get());
                if (events[i].events & (EPOLLIN | EPOLLRDHUP | EPOLLHUP | EPOLLERR)) {
                    handleControlReadable(conn.get(), false);
                }
            }
        }
        if (!mDeferredDrops.empty() || !mDeferredPins.empty()) {
            drainControl();
            std::vector<DonePins> pins;
            pins.swap(mDeferredPins);
            for (const auto& run : pins) releasePins(run.address, run.first, run.count, false);
            mDeferredDrops.clear();  // may destroy objects
        }
    }
}

void Transport::controlBarrier() {
    // The I/O thread reads everything before it drops anything anyway.
    if (tIoThread) return;
    {
        std::lock_guard<std::mutex> lock(mLock);
        if (!mIoStarted) return;
    }
    std::unique_lock<std::mutex> lock(mBarrierLock);
    const uint64_t want = ++mBarrierAsked;
    uint64_t one = 1;
    if (write(mBarrierEvent, &one, sizeof(one)) != sizeof(one)) {
        ALOGE("cannot reach the I/O thread: %s", strerror(errno));
        return;
    }
    // The I/O thread never waits on a peer, so this is short; bounded all the
    // same.
    mBarrierCond.wait_for(lock, std::chrono::milliseconds(kFrameTimeoutMs),
                          [&] { return mBarrierDone >= want; });
}

void Transport::drainControl() {
    // What waits in the backlog (at most the listen backlog, plus what a
    // flood adds meanwhile).
    for (int k = 0; k < 256 && handleAcceptOne(); k++) {
    }
    std::vector<int> hellos;
    std::vector<std::shared_ptr<ControlConn>> conns;
    {
        std::lock_guard<std::mutex> lock(mConnLock);
        for (const auto& entry : mPendingHello) hellos.push_back(entry.first);
    }
    for (int fd : hellos) handleHello(fd);
    {
        std::lock_guard<std::mutex> lock(mConnLock);
        for (const auto& entry : mControlByFd) conns.push_back(entry.second);
    }
    for (const auto& conn : conns) handleControlReadable(conn.get(), true);
}

bool Transport::handleAcceptOne() {
    // A process that only calls out never listens.
    const int listenFd = mListenFd.load();
    if (listenFd < 0) return false;
    int fd = accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC);
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
        } else if (errno != EINTR && errno != EAGAIN && errno != EWOULDBLOCK) {
            ALOGE("accept: %s", strerror(errno));
        }
        return false;
    }
    setTimeout(fd, kFrameTimeoutMs);
    struct ucred cred = {};
    socklen_t len = sizeof(cred);
    if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &len) != 0) cred.pid = 0;
    bool over = false;
    size_t held = 0;
    {
        std::lock_guard<std::mutex> lock(mConnLock);
        held = mConnsPerPid[cred.pid];
        if (held >= kMaxConnsPerPeer) {
            over = true;
            mLimitClosed++;
        } else {
            mConnsPerPid[cred.pid]++;
            mPendingHello[fd] = PendingHello{monoMs(), cred.pid};
        }
    }
    if (over) {
        close(fd);
        // Once a second at most: a flood must not flood the log too.
        int64_t now = monoMs();
        if (now - mLastLimitLog >= 1000) {
            mLastLimitLog = now;
            ALOGE("pid %d (uid %d) holds %zu connections; closed %zu more", cred.pid, cred.uid,
                  held, mLimitClosed);
            mLimitClosed = 0;
        }
        return true;
    }
    struct epoll_event ev = {};
    ev.events = EPOLLIN | EPOLLRDHUP;
    ev.data.u64 = kIoHello | static_cast<uint64_t>(fd);
    epoll_ctl(mEpollIo, EPOLL_CTL_ADD, fd, &ev);
    return true;
}

void Transport::releasePeerSlot(pid_t pid) {
    // Called with mConnLock held.
    auto it = mConnsPerPid.find(pid);
    if (it != mConnsPerPid.end() && --it->second == 0) mConnsPerPid.erase(it);
}

void Transport::handleHello(int fd) {
    // Pending connections are the I/O thread's alone.
    FrameHeader h;
    pid_t pid = 0;
    {
        std::lock_guard<std::mutex> lock(mConnLock);
        auto pending = mPendingHello.find(fd);
        if (pending == mPendingHello.end()) return;  // timed out already
        pid = pending->second.pid;
    }
    // A hello is one small write, whole when any of it is there.
    ssize_t r = recv(fd, &h, sizeof(h), MSG_DONTWAIT);
    if (r < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) return;
    {
        std::lock_guard<std::mutex> lock(mConnLock);
        mPendingHello.erase(fd);
    }
    epoll_ctl(mEpollIo, EPOLL_CTL_DEL, fd, nullptr);
    auto refuse = [&](const char* why) {
        ALOGE("%s", why);
        close(fd);
        std::lock_guard<std::mutex> lock(mConnLock);
        releasePeerSlot(pid);
    };
    if (r != static_cast<ssize_t>(sizeof(h)) || h.magic != kMagic || h.type != FRAME_HELLO ||
        h.payloadLen != 0) {
        refuse("dropping a connection that did not introduce itself");
        return;
    }
    if (h.code == CONN_TXN) {
        int flags = fcntl(fd, F_GETFL);
        if (flags < 0 || fcntl(fd, F_SETFL, flags | O_NONBLOCK) < 0) {
            refuse("cannot set up a transaction connection");
            return;
        }
        auto conn = std::make_shared<TxnServerConn>();
        conn->fd = fd;
        conn->token = h.txnId;
        conn->pid = pid;
        struct ucred cred = {};
        socklen_t len = sizeof(cred);
        if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &len) == 0) conn->uid = cred.uid;
        {
            std::lock_guard<std::mutex> lock(mConnLock);
            conn->id = mNextTxnConnId++;
            mTxnById[conn->id] = conn;
        }
        struct epoll_event ev = {};
        ev.events = EPOLLIN | EPOLLRDHUP | EPOLLONESHOT;
        ev.data.u64 = conn->id;
        epoll_ctl(mEpollPool, EPOLL_CTL_ADD, fd, &ev);
    } else if (h.code == CONN_CONTROL) {
        auto conn = std::make_shared<ControlConn>();
        conn->fd = fd;
        conn->token = h.txnId;
        conn->pid = pid;
        conn->counted = true;
        {
            std::lock_guard<std::mutex> lock(mConnLock);
            mControlByFd[fd] = conn;
            mControlByToken[conn->token] = conn.get();
        }
        struct epoll_event ev = {};
        ev.events = EPOLLIN | EPOLLRDHUP;
        ev.data.u64 = kIoControl | static_cast<uint64_t>(fd);
        epoll_ctl(mEpollIo, EPOLL_CTL_ADD, fd, &ev);
    } else if (h.code == CONN_DEBUG) {
        answerDebugQuery(fd);  // answers and closes
        std::lock_guard<std::mutex> lock(mConnLock);
        releasePeerSlot(pid);
    } else {
        ALOGE("dropping a connection of unknown kind %u", h.code);
        refuse("connection refused");
    }
}

void Transport::dropSilentConnections() {
    std::vector<int> stale;
    std::vector<std::shared_ptr<ControlConn>> stalled;
    int64_t now = monoMs();
    {
        std::lock_guard<std::mutex> lock(mConnLock);
        for (auto it = mPendingHello.begin(); it != mPendingHello.end();) {
            if (now - it->second.since > kFrameTimeoutMs) {
                stale.push_back(it->first);
                releasePeerSlot(it->second.pid);
                it = mPendingHello.erase(it);
            } else {
                ++it;
            }
        }
        for (const auto& entry : mControlByFd) {
            if (entry.second->partialSince > 0 &&
                now - entry.second->partialSince > kFrameTimeoutMs) {
                stalled.push_back(entry.second);
            }
        }
    }
    for (int fd : stale) {
        ALOGE("dropping a connection that did not introduce itself in time");
        epoll_ctl(mEpollIo, EPOLL_CTL_DEL, fd, nullptr);
        close(fd);
    }
    for (const auto& conn : stalled) {
        ALOGE("pid %d left a control frame unfinished; closing its connection", conn->pid);
        dropControlConn(conn.get());
    }
    dropStalledTxnConns();
}

// Reads what a control connection holds (a chunk, or with all everything
// it held when called) and serves the complete frames.
void Transport::handleControlReadable(ControlConn* conn, bool all) {
    int held = 0;
    if (all && ioctl(conn->fd, FIONREAD, &held) < 0) held = 0;
    for (;;) {
        char buf[kControlReadChunk];
        FdControl control;
        struct iovec iov = {buf, sizeof(buf)};
        struct msghdr msg = {};
        msg.msg_iov = &iov;
        msg.msg_iovlen = 1;
        msg.msg_control = control.buf;
        msg.msg_controllen = sizeof(control.buf);
        ssize_t r = recvmsg(conn->fd, &msg, MSG_CMSG_CLOEXEC | MSG_DONTWAIT);
        if (r < 0 && errno == EINTR) continue;
        if (r < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;
        if (r <= 0) {
            dropControlConn(conn);
            return;
        }
        if (msg.msg_controllen > 0) {
            // Control frames never carry descriptors.
            std::vector<int> passed;
            takeFds(&msg, &passed);
            closeAll(&passed);
            ALOGE("pid %d sent descriptors on a control connection", conn->pid);
            dropControlConn(conn);
            return;
        }
        conn->inbuf.append(buf, static_cast<size_t>(r));
        size_t used = 0;
        while (conn->inbuf.size() - used >= sizeof(FrameHeader)) {
            FrameHeader h;
            memcpy(&h, conn->inbuf.data() + used, sizeof(h));
            used += sizeof(h);
            if (!validHeader(h) || h.payloadLen != 0 || !handleControlFrame(conn, h)) {
                dropControlConn(conn);
                return;
            }
        }
        conn->inbuf.erase(0, used);
        if (conn->inbuf.empty()) {
            conn->partialSince = 0;
        } else if (conn->partialSince == 0) {
            conn->partialSince = monoMs();
        }
        held -= static_cast<int>(r);
        if (!all || held <= 0) return;
    }
}

bool Transport::handleControlFrame(ControlConn* conn, const FrameHeader& h) {
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
            return true;
        }
        case FRAME_RELEASE: {
            std::lock_guard<std::mutex> lock(mNodeLock);
            auto it = mNodes.find(h.target);
            if (it != mNodes.end()) {
                auto holder = it->second.holders.find(conn);
                if (holder != it->second.holders.end() && --holder->second == 0) {
                    it->second.holders.erase(holder);
                }
                if (it->second.holders.empty() && !it->second.permanent &&
                    it->second.strong != nullptr) {
                    // Dropped once the I/O thread has read what others sent
                    // before this frame (and outside the lock).
                    mDeferredDrops.push_back(std::move(it->second.strong));
                }
            }
            return true;
        }
        case FRAME_TXN_DONE:
            TW_LATENCY_PROBE(kProbeDoneRead);
            // The objects the call carried go once the ACQUIREs the peer
            // wrote before this frame, on its own control connection, are read.
            if (h.code > kMaxDoneRun) return false;
            if (conn->outgoing) {
                mDeferredPins.push_back(DonePins{conn->address, h.txnId, std::max(h.code, 1u)});
            }
            return true;
        case FRAME_ACQUIRE_REPLY: {
            if (!conn->outgoing) return true;
            wp<BpHwBinder> weak;
            {
                std::lock_guard<std::mutex> lock(conn->acquireLock);
                auto it = conn->pendingAcquires.find(h.txnId);
                if (it == conn->pendingAcquires.end()) return true;
                weak = it->second;
                conn->pendingAcquires.erase(it);
            }
            if (h.status == OK) return true;
            ALOGE("object %llu of %s is gone", static_cast<unsigned long long>(h.target),
                  conn->address.c_str());
            sp<BpHwBinder> proxy = weak.promote();
            if (proxy == nullptr) return true;
            {
                std::lock_guard<std::mutex> lock(mProxyLock);
                auto it = mProxies.find(std::make_pair(conn->address, h.target));
                if (it != mProxies.end() && it->second.unsafe_get() == proxy.get()) {
                    mProxies.erase(it);
                }
            }
            postTask([proxy]() { proxy->sendObituary(); });
            return true;
        }
        default:
            ALOGE("unexpected frame type %u on a control connection", h.type);
            return false;
    }
}

void Transport::dropControlConn(ControlConn* conn) {
    std::shared_ptr<ControlConn> keep;
    {
        std::lock_guard<std::mutex> lock(mConnLock);
        auto it = mControlByFd.find(conn->fd);
        if (it == mControlByFd.end() || it->second.get() != conn) return;
        keep = it->second;
        mControlByFd.erase(it);
        if (conn->counted) releasePeerSlot(conn->pid);
        auto byToken = mControlByToken.find(conn->token);
        if (!conn->outgoing && byToken != mControlByToken.end() && byToken->second == conn) {
            mControlByToken.erase(byToken);
        }
    }
    epoll_ctl(mEpollIo, EPOLL_CTL_DEL, conn->fd, nullptr);
    {
        std::lock_guard<std::mutex> lock(conn->writeLock);
        conn->dead = true;
        conn->outbuf.clear();
        close(conn->fd);
    }
    {
        std::lock_guard<std::mutex> lock(conn->acquireLock);
        conn->pendingAcquires.clear();
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
    peerGone(conn->address);
    ALOGI("peer %s is gone (%zu references)", conn->address.c_str(), dead.size());
    if (!dead.empty()) {
        postTask([dead]() {
            for (const auto& p : dead) p->sendObituary();
        });
    }
}

}  // namespace hardware
}  // namespace android
