/*
 * Host HIDL runtime: calls and the thread pool.
 *
 * Owns the calling side of a transaction (this thread's connection to each
 * peer, the frame out and its reply back) and the serving side: the RPC
 * threads, the tasks posted to them, and the dispatch of an incoming
 * transaction to its object with the reply written back.
 */
#define LOG_TAG "hidl_host_transport"
#define ATRACE_TAG ATRACE_TAG_HAL

#include <cutils/trace.h>
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

#include "Transport.h"
#include "TransportFrame.h"

namespace android {
namespace hardware {

namespace {

// This thread's transaction connections, one per peer. The transport keeps
// weak references too, so that a peer's death closes them from another thread.
struct ClientConns {
    std::map<std::string, std::shared_ptr<Transport::ClientConn>> conns;
    uint64_t deathsSeen = 0;
    ~ClientConns() {
        // One-way calls still queued are written after the thread is gone.
        for (auto& entry : conns) {
            std::lock_guard<std::mutex> lock(entry.second->writeLock);
            entry.second->orphaned = true;
        }
    }
};

thread_local ClientConns tClientConns;

}  // namespace

void Transport::closeClientConnsTo(const std::string& address) {
    std::vector<std::shared_ptr<ClientConn>> conns;
    {
        std::lock_guard<std::mutex> lock(mClientLock);
        auto range = mClientConns.equal_range(address);
        for (auto it = range.first; it != range.second; ++it) {
            std::shared_ptr<ClientConn> cc = it->second.lock();
            if (cc != nullptr) conns.push_back(std::move(cc));
        }
        mClientConns.erase(range.first, range.second);
    }
    for (const auto& cc : conns) {
        cc->dead = true;
        if (cc->useLock.try_lock()) {
            {
                std::lock_guard<std::mutex> lock(cc->writeLock);
                dropQueued(cc.get());
                closeClientConn(cc.get());
            }
            cc->useLock.unlock();
        } else {
            // Its thread is in a call on it: wake it; it closes the connection.
            std::lock_guard<std::mutex> lock(cc->fdLock);
            if (cc->fd >= 0) shutdown(cc->fd, SHUT_RDWR);
        }
    }
    mPeerDeaths++;
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

    // A one-way call may wait in a queue: it is encoded into bytes of its
    // own. A synchronous call's large buffers go from where the caller
    // holds them straight to the socket.
    std::string payload;
    Parcel::WireForm wire;
    std::vector<int> fds;
    size_t localBinders = 0;
    status_t err = oneway ? data.serialize(&payload, &fds, &localBinders)
                          : data.serialize(&wire, &fds, &localBinders);
    if (err != OK) return err;
    const size_t payloadSize = oneway ? payload.size() : wire.size();
    if (payloadSize > kMaxFramePayload) {
        ALOGE("transaction of %zu bytes on the wire exceeds the limit", payloadSize);
        return FAILED_TRANSACTION;
    }
    // Connections of peers that died since this thread last looked are closed
    // already; forget them.
    if (tClientConns.deathsSeen != mPeerDeaths) {
        tClientConns.deathsSeen = mPeerDeaths;
        for (auto it = tClientConns.conns.begin(); it != tClientConns.conns.end();) {
            it = it->second->dead ? tClientConns.conns.erase(it) : std::next(it);
        }
    }
    auto& slot = tClientConns.conns[proxy->address()];
    if (slot == nullptr) {
        slot = std::make_shared<ClientConn>();
        slot->address = proxy->address();
    }
    std::shared_ptr<ClientConn> keep = slot;
    ClientConn* cc = keep.get();
    std::unique_lock<std::mutex> use(cc->useLock);
    auto dropConn = [&]() {
        {
            std::lock_guard<std::mutex> lock(cc->writeLock);
            dropQueued(cc);
            closeClientConn(cc);
        }
        cc->dead = true;
        tClientConns.conns.erase(proxy->address());
    };

    if (cc->dead) {
        dropConn();
        return DEAD_OBJECT;
    }
    if (cc->fd < 0) {
        int fd = connectTo(proxy->address(), CONN_TXN);
        {
            std::lock_guard<std::mutex> lock(cc->fdLock);
            cc->fd = fd;
        }
        if (cc->fd < 0) {
            dropConn();
            return DEAD_OBJECT;
        }
        std::lock_guard<std::mutex> lock(mClientLock);
        for (auto it = mClientConns.begin(); it != mClientConns.end();) {
            it = it->second.expired() ? mClientConns.erase(it) : std::next(it);
        }
        mClientConns.emplace(proxy->address(), keep);
    }

    if (oneway) {
        err = sendOneway(keep, proxy, code, data, payload, fds);
        if (err == DEAD_OBJECT) dropConn();
        return err;
    }

    uint64_t txnId = cc->nextTxn++;
    FrameHeader h = {
            kMagic, FRAME_TXN, code, 0, txnId, proxy->id(), static_cast<uint32_t>(payloadSize), 0};
    const std::vector<struct iovec> pieces = wire.iovecs();
    {
        // One-way calls this thread queued go first, as they were sent first.
        std::unique_lock<std::mutex> write(cc->writeLock);
        bool written = true;
        while (written && !cc->queue.empty()) {
            written = flushQueued(cc);
            struct pollfd pfd = {cc->fd, POLLOUT, 0};
            if (written && !cc->queue.empty() && poll(&pfd, 1, -1) < 0 && errno != EINTR) {
                written = false;
            }
        }
        written = written && writeFrame(cc->fd, h, pieces.data(), pieces.size(), fds);
        write.unlock();
        if (!written) {
            dropConn();
            return DEAD_OBJECT;
        }
    }

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
        err = reply->deserialize(std::move(rp), &rfds);
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
        BusyScope busy(&mBusyThreads);
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
        if (conn != nullptr) {
            std::lock_guard<std::mutex> serve(conn->serveLock);
            handleTxnConn(conn.get());
        }
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
        // The incoming call as a slice; the stub's own slice names the method.
        const bool traced = ATRACE_ENABLED();
        if (traced) {
            ATRACE_BEGIN(("HwBinder transaction " + std::to_string(h.code) + " from pid " +
                          std::to_string(conn->pid))
                                 .c_str());
        }
        err = target->transact(h.code, data, &reply, oneway ? IBinder::FLAG_ONEWAY : 0, sendReply);
        if (traced) {
            ATRACE_BEGIN(("code=" + std::to_string(h.code) + " oneway=" +
                          std::to_string(oneway ? 1 : 0) + " status=" + std::to_string(err))
                                 .c_str());
            ATRACE_END();
            ATRACE_END();
        }
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