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
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <time.h>
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

// Placeholder of an ACQUIRE whose reply has not come yet.
constexpr int32_t kReplyPending = INT32_MIN;

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
    releasePins(address, 0, true);
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
    // The service manager starts before the processes it serves: what their
    // predecessors left behind in the socket directory goes now.
    removeStaleSockets();
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
                    conn->pid = peerPid(fd);
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
                    answerDebugQuery(fd);
                } else {
                    ALOGE("dropping a connection of unknown kind %u", h.code);
                    close(fd);
                }
            } else if (tag == kIoOneway) {
                handleOnewayEvent(fd, events[i].events);
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
