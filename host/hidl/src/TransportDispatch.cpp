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

// A call this thread is serving: where it came from (see Transport::Route)
// and the chain of threads that wait on it.
struct ServedCall {
    Transport::Route route;
    Transport::Chain chain;
};
// Innermost last.
thread_local std::vector<ServedCall> tServing;

// This thread as a waiter; its eventfd is made on its first call.
thread_local Transport::Waiter tWaiter;
// Calls this thread waits on (nested in one another).
thread_local size_t tWaitDepth = 0;

// How long a waiting thread leaves the pool's events alone after it met a
// posted task there (tasks are the pool's).
constexpr int kTaskBackoffMs = 10;

inline uint64_t rotl(uint64_t x, int b) {
    return (x << b) | (x >> (64 - b));
}

// SipHash-2-4 of one 64-bit word under the 128-bit key k: a keyed function
// whose outputs tell nothing of the key or of other inputs' outputs.
uint64_t sipHash(const uint64_t k[2], uint64_t m) {
    uint64_t v0 = 0x736f6d6570736575ull ^ k[0];
    uint64_t v1 = 0x646f72616e646f6dull ^ k[1];
    uint64_t v2 = 0x6c7967656e657261ull ^ k[0];
    uint64_t v3 = 0x7465646279746573ull ^ k[1];
    auto round = [&] {
        v0 += v1;
        v1 = rotl(v1, 13);
        v1 ^= v0;
        v0 = rotl(v0, 32);
        v2 += v3;
        v3 = rotl(v3, 16);
        v3 ^= v2;
        v0 += v3;
        v3 = rotl(v3, 21);
        v3 ^= v0;
        v2 += v1;
        v1 = rotl(v1, 17);
        v1 ^= v2;
        v2 = rotl(v2, 32);
    };
    const uint64_t last = 8ull << 56;  // the message length, 8 bytes
    v3 ^= m;
    round();
    round();
    v0 ^= m;
    v3 ^= last;
    round();
    round();
    v0 ^= last;
    v2 ^= 0xff;
    round();
    round();
    round();
    round();
    return v0 ^ v1 ^ v2 ^ v3;
}

// A cookie for one waiting call: unguessable from the cookies a peer has
// seen, without a system call each (the thread's key is drawn once).
uint64_t newCookie() {
    thread_local uint64_t key[2] = {0, 0};
    thread_local uint64_t counter = 0;
    if (key[0] == 0 && key[1] == 0) {
        while (key[0] == 0) arc4random_buf(key, sizeof(key));
    }
    uint64_t cookie = 0;
    while (cookie == 0) cookie = sipHash(key, ++counter);
    return cookie;
}

// Marks a thread's connection as carrying its call for the call's length.
class BusyMark {
  public:
    explicit BusyMark(Transport::ClientConn* cc) : mCc(cc) { mCc->busy = true; }
    ~BusyMark() { mCc->busy = false; }
    BusyMark(const BusyMark&) = delete;
    BusyMark& operator=(const BusyMark&) = delete;

  private:
    Transport::ClientConn* mCc;
};

}  // namespace

struct Transport::Handoff {
    std::shared_ptr<TxnServerConn> conn;
    FrameHeader h;
    WireBytes payload;
    std::vector<int> fds;
    Chain chain;
    ~Handoff() { closeAll(&fds); }
};

Transport::Waiter::~Waiter() {
    if (event >= 0) close(event);
}

namespace {

// The oldest call handed to this thread, or null.
std::shared_ptr<Transport::Handoff> takeHandoff() {
    std::lock_guard<std::mutex> lock(tWaiter.lock);
    if (tWaiter.items.empty()) return nullptr;
    std::shared_ptr<Transport::Handoff> item = std::move(tWaiter.items.front());
    tWaiter.items.pop_front();
    return item;
}

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

    // Large buffers go from where the caller holds them straight to the
    // socket; a one-way call that has to wait in a queue is copied there.
    Parcel::WireForm wire;
    std::vector<int> fds;
    size_t localBinders = 0;
    status_t err = data.serialize(&wire, &fds, &localBinders);
    if (err != OK) return err;
    if (wire.size() > kMaxFramePayload) {
        ALOGE("transaction of %zu bytes on the wire exceeds the limit", wire.size());
        return FAILED_TRANSACTION;
    }
    // A nested call: this thread serves a call from the target's process.
    // The call goes over that call's connection, to the thread that waits
    // on the other end, as hwbinder delivers it. Any other nesting reaches
    // the waiting thread through the chain the call carries.
    if (!oneway && !tServing.empty()) {
        pid_t pid = peerPidOf(proxy->address());
        for (auto it = tServing.rbegin(); pid > 0 && it != tServing.rend(); ++it) {
            if (it->route.pid == pid) {
                Route route = it->route;
                bool broken = false;
                // A broken connection fails the outer call too; its owner
                // cleans up.
                return callOn(route, mNextReqId++, proxy, code, wire, fds, reply, localBinders,
                              &broken);
            }
        }
    }
    // Connections of peers that died since this thread last looked are closed
    // already; forget them.
    if (tClientConns.deathsSeen != mPeerDeaths) {
        tClientConns.deathsSeen = mPeerDeaths;
        for (auto it = tClientConns.conns.begin(); it != tClientConns.conns.end();) {
            it = it->second->dead ? tClientConns.conns.erase(it) : std::next(it);
        }
    }
    // A synchronous call while this thread waits on another to the same
    // process (from a call it serves meanwhile) takes a connection of its
    // own; a one-way call goes out in order behind the waiting one.
    std::string key = proxy->address();
    if (!oneway) {
        for (auto it = tClientConns.conns.find(key);
             it != tClientConns.conns.end() && it->second->busy;
             it = tClientConns.conns.find(key)) {
            key += '+';
        }
    }
    auto& slot = tClientConns.conns[key];
    if (slot == nullptr) {
        slot = std::make_shared<ClientConn>();
        slot->address = proxy->address();
        slot->reader = std::make_unique<FrameReader>();
    }
    std::shared_ptr<ClientConn> keep = slot;
    ClientConn* cc = keep.get();
    // A one-way call made while this thread's call on the connection waits
    // (from a nested call it serves) goes out on it too, in order.
    std::unique_lock<std::mutex> use(cc->useLock, std::defer_lock);
    if (!cc->busy) use.lock();
    auto dropConn = [&]() {
        {
            std::lock_guard<std::mutex> lock(cc->writeLock);
            dropQueued(cc);
            closeClientConn(cc);
        }
        cc->dead = true;
        tClientConns.conns.erase(key);
    };

    if (cc->dead) {
        dropConn();
        return DEAD_OBJECT;
    }
    if (cc->fd < 0) {
        struct ucred peer = {};
        int fd = connectTo(proxy->address(), CONN_TXN, &peer);
        {
            std::lock_guard<std::mutex> lock(cc->fdLock);
            cc->fd = fd;
        }
        cc->peerPid = peer.pid;
        cc->peerUid = peer.uid;
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
        err = sendOneway(keep, proxy, code, data, wire, fds);
        if (err == DEAD_OBJECT) dropConn();
        return err;
    }

    uint64_t txnId = cc->nextTxn++;
    Route route = {cc->peerPid, cc->peerUid, cc->fd, cc, 0, &cc->held, cc->reader.get()};
    BusyMark mark(cc);
    bool broken = false;
    err = callOn(route, txnId, proxy, code, wire, fds, reply, localBinders, &broken);
    if (broken) dropConn();
    return err;
}

status_t Transport::callOn(const Route& route, uint64_t txnId, BpHwBinder* proxy, uint32_t code,
                           const Parcel::WireForm& wire, const std::vector<int>& fds, Parcel* reply,
                           size_t localBinders, bool* broken) {
    if (tWaiter.event < 0) {
        tWaiter.event = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
        if (tWaiter.event < 0) {
            ALOGE("eventfd: %s", strerror(errno));
            return NO_MEMORY;
        }
    }
    // The threads that wait on this call: those of the call this thread
    // serves, and this one.
    // A chain at its longest keeps its innermost waiters.
    Chain chain;
    if (!tServing.empty()) {
        const Chain& outer = tServing.back().chain;
        chain.count = std::min(outer.count, kMaxChain - 1);
        memcpy(chain.ids, outer.ids + outer.count - chain.count, chain.count * sizeof(uint64_t));
    }
    const uint64_t cookie = newCookie();
    chain.ids[chain.count++] = cookie;
    {
        std::lock_guard<std::mutex> lock(mWaitLock);
        mWaiters.emplace_back(cookie, &tWaiter);
    }
    tWaitDepth++;
    const size_t chainBytes = chain.count * sizeof(uint64_t);
    FrameHeader h = {kMagic,
                     FRAME_TXN,
                     code,
                     0,
                     txnId,
                     proxy->id(),
                     static_cast<uint32_t>(wire.size() + chainBytes),
                     static_cast<int32_t>(chain.count)};
    struct iovec pieces[Parcel::WireForm::kMaxPieces + 1];
    size_t count = wire.iovecs(pieces);
    pieces[count++] = {chain.ids, chainBytes};
    status_t err = DEAD_OBJECT;
    if (writeOn(route, h, pieces, count, fds)) {
        err = awaitReply(route, txnId, reply, localBinders, broken);
    } else {
        *broken = true;
    }
    {
        std::lock_guard<std::mutex> lock(mWaitLock);
        auto it = std::find_if(mWaiters.begin(), mWaiters.end(),
                               [cookie](const auto& entry) { return entry.first == cookie; });
        if (it != mWaiters.end()) {
            *it = mWaiters.back();
            mWaiters.pop_back();
        }
    }
    if (--tWaitDepth == 0) {
        // Calls handed over before the wait ended are this thread's to serve.
        while (std::shared_ptr<Handoff> item = takeHandoff()) serveHandoff(item.get());
    }
    return err;
}

bool Transport::takeChain(FrameHeader* h, WireBytes* payload, Chain* chain) {
    if (h->type != FRAME_TXN || h->status == 0) return true;
    const size_t n = static_cast<uint32_t>(h->status);
    const size_t bytes = n * sizeof(uint64_t);
    if ((h->flags & FLAG_ONEWAY) != 0 || h->status < 0 || n > kMaxChain ||
        payload->size() < bytes) {
        ALOGE("transaction %u with a malformed chain of %d", h->code, h->status);
        return false;
    }
    chain->count = n;
    memcpy(chain->ids, payload->data() + payload->size() - bytes, bytes);
    payload->resize(payload->size() - bytes);
    h->payloadLen -= static_cast<uint32_t>(bytes);
    h->status = 0;
    return true;
}

pid_t Transport::peerPidOf(const std::string& address) {
    std::lock_guard<std::mutex> lock(mProxyLock);
    auto it = mControlOut.find(address);
    return it == mControlOut.end() ? 0 : it->second->pid;
}

bool Transport::writeOn(const Route& route, const FrameHeader& h, const std::string& payload,
                        const std::vector<int>& fds) {
    struct iovec piece = {const_cast<char*>(payload.data()), payload.size()};
    return writeOn(route, h, &piece, payload.empty() ? 0 : 1, fds);
}

bool Transport::writeOn(const Route& route, const FrameHeader& h, const struct iovec* pieces,
                        size_t count, const std::vector<int>& fds) {
    if (route.cc == nullptr) return writeFrame(route.fd, h, pieces, count, fds);
    ClientConn* cc = route.cc;
    // One-way calls this thread queued go first, as they were sent first.
    std::lock_guard<std::mutex> write(cc->writeLock);
    bool written = true;
    while (written && !cc->queue.empty()) {
        written = flushQueued(cc);
        struct pollfd pfd = {cc->fd, POLLOUT, 0};
        if (written && !cc->queue.empty() && poll(&pfd, 1, -1) < 0 && errno != EINTR) {
            written = false;
        }
    }
    return written && writeFrame(cc->fd, h, pieces, count, fds);
}

bool Transport::releaseHeld(HeldReplies* held, const FrameHeader& h, const std::vector<int>& fds) {
    if (h.type != FRAME_ACK || h.payloadLen != 0 || !fds.empty()) return false;
    // The oldest reply of that id: ACKs come in the order of the replies.
    auto it = held->byTxn.lower_bound(h.txnId);
    if (it == held->byTxn.end() || it->first != h.txnId) return false;
    std::vector<sp<IBinder>> refs = std::move(it->second);
    held->byTxn.erase(it);
    // The caller asked for its references before it sent the ACK; they are
    // read before our objects may go.
    controlBarrier();
    return true;
}

// Waits for the reply to txnId on the route's connection, serving the nested
// calls the peer sends over it meanwhile.
status_t Transport::awaitReply(const Route& route, uint64_t txnId, Parcel* reply,
                               size_t localBinders, bool* broken) {
    int64_t poolAfter = 0;  // leave the pool's events alone until then
    for (;;) {
        // Calls handed to this thread come first: they were read before.
        if (std::shared_ptr<Handoff> item = takeHandoff()) {
            serveHandoff(item.get());
            continue;
        }
        // With no pool thread free, this thread reads the pool's connections
        // too, so that a call coming back to it through other processes is
        // read at all.
        bool watchPool = mIdlePool.load() == 0;
        if (watchPool && poolAfter != 0) {
            watchPool = monoMs() >= poolAfter;
            if (watchPool) poolAfter = 0;
        }
        // A frame read with the last one needs no wait.
        FrameReader& reader = *route.reader;
        if (!reader.frameBuffered()) {
            struct pollfd pfd[3] = {
                    {route.fd, POLLIN, 0}, {tWaiter.event, POLLIN, 0}, {mEpollPool, POLLIN, 0}};
            // A frame begun must be finished in time.
            int timeout = -1;
            if (reader.started()) {
                int64_t left = reader.startedAt() + kFrameTimeoutMs - monoMs();
                if (left <= 0) {
                    ALOGE("pid %d left a frame unfinished; dropping the connection", route.pid);
                    *broken = true;
                    return DEAD_OBJECT;
                }
                timeout = static_cast<int>(left);
            }
            if (poolAfter != 0 && (timeout < 0 || timeout > kTaskBackoffMs)) {
                timeout = kTaskBackoffMs;
            }
            int n = poll(pfd, watchPool ? 3 : 2, timeout);
            if (n < 0 && errno != EINTR) {
                ALOGE("poll: %s", strerror(errno));
                *broken = true;
                return DEAD_OBJECT;
            }
            if (n <= 0) continue;
            if (pfd[1].revents != 0) {
                uint64_t count;
                if (read(tWaiter.event, &count, sizeof(count)) < 0 && errno != EAGAIN) {
                    ALOGE("eventfd: %s", strerror(errno));
                }
            }
            if (pfd[0].revents == 0) {
                if (watchPool && pfd[2].revents != 0) {
                    struct epoll_event ev;
                    if (epoll_wait(mEpollPool, &ev, 1, 0) == 1) {
                        if (ev.data.u64 == static_cast<uint64_t>(mTaskEvent)) {
                            poolAfter = monoMs() + kTaskBackoffMs;
                        } else if (auto conn = txnConnById(ev.data.u64)) {
                            handleTxnConn(conn);
                        }
                    }
                }
                continue;
            }
        }
        FrameReader::Result got = reader.readAvailable(route.fd);
        if (got == FrameReader::kFailed) {
            *broken = true;
            return DEAD_OBJECT;
        }
        if (got == FrameReader::kIncomplete) continue;
        FrameHeader rh;
        WireBytes rp;
        std::vector<int> rfds;
        reader.takeFrame(&rh, &rp, &rfds);
        if (rh.type == FRAME_TXN) {
            Chain chain;
            if (!takeChain(&rh, &rp, &chain) || !dispatchTxn(route, rh, &rp, &rfds, &chain)) {
                closeAll(&rfds);
                *broken = true;
                return DEAD_OBJECT;
            }
            continue;
        }
        if (releaseHeld(route.held, rh, rfds)) {
            continue;
        }
        if (rh.type != FRAME_REPLY || rh.txnId != txnId) {
            ALOGE("unexpected frame type %u in reply to call %llu", rh.type,
                  static_cast<unsigned long long>(txnId));
            closeAll(&rfds);
            *broken = true;
            return FAILED_TRANSACTION;
        }
        if (rh.status != OK) {
            closeAll(&rfds);
            return rh.status;
        }
        // The peer asked for references to the objects we sent before it
        // replied; they stay alive until those requests are read.
        if (localBinders > 0) controlBarrier();
        if (reply == nullptr) {
            closeAll(&rfds);
            return OK;
        }
        status_t err = reply->deserialize(std::move(rp), &rfds);
        if (err != OK) {
            *broken = true;
            return err;
        }
        if (rh.flags & FLAG_WANT_ACK) {
            FrameHeader ack = {kMagic, FRAME_ACK, 0, 0, txnId, 0, 0, 0};
            writeOn(route, ack, std::string(), {});
        }
        return OK;
    }
}

// ---------------------------------------------------------------------------
// Thread pool

void Transport::configurePool(size_t maxThreads, bool callerJoins) {
    std::lock_guard<std::mutex> lock(mLock);
    const size_t want = maxThreads == 0 ? 1 : maxThreads;
    if (mPoolStarted) {
        // A started pool grows to the new size, as the driver's does when
        // its limit is raised; it never shrinks, and whether the caller
        // joins was settled when it started.
        if (want <= mMaxThreads) {
            if (want < mMaxThreads) {
                ALOGW("thread pool already started with %zu threads; not shrunk to %zu",
                      mMaxThreads, want);
            }
            return;
        }
        const size_t more = want - mMaxThreads;
        mMaxThreads = want;
        for (size_t i = 0; i < more; i++) spawnPoolThreadLocked();
        return;
    }
    mMaxThreads = want;
    mCallerJoins = callerJoins;
}

void Transport::spawnPoolThreadLocked() {
    // Named as on a phone, "HwBinder:<pid>_<n>" cut to the 15 bytes a thread
    // name holds; a thread that joins the pool keeps its own name.
    mThreads.emplace_back([this, n = ++mPoolSpawned] {
        char name[16];
        snprintf(name, sizeof(name), "HwBinder:%d_%zX", static_cast<int>(getpid()), n);
        pthread_setname_np(pthread_self(), name);
        poolLoop();
    });
    mThreads.back().detach();
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
    for (size_t i = 0; i < spawn; i++) spawnPoolThreadLocked();
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
        mIdlePool++;
        int n = epoll_wait(mEpollPool, &ev, 1, -1);
        mIdlePool--;
        if (n <= 0) continue;
        TW_LATENCY_PROBE(kProbeReceiverWoken);
        BusyScope busy(&mBusyThreads);
        if (ev.data.u64 == static_cast<uint64_t>(mTaskEvent)) {
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
        std::shared_ptr<TxnServerConn> conn = txnConnById(ev.data.u64);
        if (conn != nullptr) handleTxnConn(conn);
    }
}

Transport::TxnServerConn::TxnServerConn() : reader(std::make_unique<FrameReader>()) {}

Transport::TxnServerConn::~TxnServerConn() = default;

std::shared_ptr<Transport::TxnServerConn> Transport::txnConnById(uint64_t id) {
    std::lock_guard<std::mutex> lock(mConnLock);
    auto it = mTxnById.find(id);
    return it == mTxnById.end() ? nullptr : it->second;
}

void Transport::closeTxnConn(TxnServerConn* conn) {
    if (conn->closed) return;
    conn->closed = true;
    epoll_ctl(mEpollPool, EPOLL_CTL_DEL, conn->fd, nullptr);
    conn->reader->reset();
    conn->held.byTxn.clear();  // the caller is gone: its references with it
    close(conn->fd);
    std::shared_ptr<TxnServerConn> keep;  // released after the lock
    std::lock_guard<std::mutex> lock(mConnLock);
    auto it = mTxnById.find(conn->id);
    if (it != mTxnById.end()) {
        keep = std::move(it->second);
        mTxnById.erase(it);
    }
    releasePeerSlot(conn->pid);
}

// Connections whose frame started and did not finish in time. One being read
// or served is skipped: its thread holds the lock and checks on its own.
void Transport::dropStalledTxnConns() {
    std::vector<std::shared_ptr<TxnServerConn>> conns;
    {
        std::lock_guard<std::mutex> lock(mConnLock);
        for (const auto& entry : mTxnById) conns.push_back(entry.second);
    }
    const int64_t now = monoMs();
    for (const auto& conn : conns) {
        std::unique_lock<std::mutex> lock(conn->lock, std::try_to_lock);
        if (!lock.owns_lock() || conn->closed || !conn->reader->started() ||
            now - conn->reader->startedAt() <= kFrameTimeoutMs) {
            continue;
        }
        // The rest has come and waits for a busy pool: not the peer's fault.
        struct pollfd pfd = {conn->fd, POLLIN, 0};
        if (conn->reader->frameBuffered() || poll(&pfd, 1, 0) > 0) continue;
        ALOGE("pid %d left a frame unfinished for %lld ms; closing its connection", conn->pid,
              static_cast<long long>(now - conn->reader->startedAt()));
        closeTxnConn(conn.get());
    }
}

void Transport::rearmTxnConn(TxnServerConn* conn) {
    struct epoll_event ev = {};
    ev.events = EPOLLIN | EPOLLRDHUP | EPOLLONESHOT;
    // The next frame came with the last one: a socket that can be written
    // to reports at once, so a pool thread takes it without a read first.
    if (conn->reader->frameBuffered()) ev.events |= EPOLLOUT;
    ev.data.u64 = conn->id;
    if (epoll_ctl(mEpollPool, EPOLL_CTL_MOD, conn->fd, &ev) < 0) closeTxnConn(conn);
}

void Transport::handleTxnConn(const std::shared_ptr<TxnServerConn>& conn) {
    std::lock_guard<std::mutex> connLock(conn->lock);
    if (conn->closed) return;
    // The pool's epoll reported the connection readable: take what is there
    // and wait again while the frame is incomplete.
    FrameReader& reader = *conn->reader;
    switch (reader.readAvailable(conn->fd)) {
        case FrameReader::kFailed:
            closeTxnConn(conn.get());
            return;
        case FrameReader::kIncomplete:
            rearmTxnConn(conn.get());
            return;
        case FrameReader::kComplete:
            TW_LATENCY_PROBE(kProbeFrameRead);
            break;
    }
    FrameHeader h;
    WireBytes payload;
    std::vector<int> fds;
    reader.takeFrame(&h, &payload, &fds);
    if (releaseHeld(&conn->held, h, fds)) {
        rearmTxnConn(conn.get());
        return;
    }
    if (h.type != FRAME_TXN) {
        ALOGE("unexpected frame type %u from pid %d; dropping the connection", h.type, conn->pid);
        closeAll(&fds);
        closeTxnConn(conn.get());
        return;
    }
    routeFrame(conn, h, std::move(payload), std::move(fds));
}

void Transport::routeFrame(const std::shared_ptr<TxnServerConn>& conn, FrameHeader h,
                           WireBytes payload, std::vector<int> fds) {
    Chain chain;
    if (!takeChain(&h, &payload, &chain)) {
        closeAll(&fds);
        closeTxnConn(conn.get());
        return;
    }
    // Only a call served by another thread is packed up for it.
    auto handoff = [&] {
        auto item = std::make_shared<Handoff>();
        item->conn = conn;
        item->h = h;
        item->payload = std::move(payload);
        item->fds = std::move(fds);
        item->chain = chain;
        return item;
    };
    // The innermost thread of this process that waits on the call serves
    // it. A name nobody here answers to is served as any other call: a
    // cookie is good for one call, and a peer learns it only from a call
    // that waits on it.
    Waiter* waiter = nullptr;
    {
        std::lock_guard<std::mutex> lock(mWaitLock);
        for (size_t i = chain.count; waiter == nullptr && i > 0; i--) {
            for (const auto& entry : mWaiters) {
                if (entry.first == chain.ids[i - 1]) {
                    waiter = entry.second;
                    break;
                }
            }
        }
        if (waiter != nullptr && waiter != &tWaiter) {
            {
                std::lock_guard<std::mutex> wl(waiter->lock);
                waiter->items.push_back(handoff());
            }
            uint64_t one = 1;
            if (write(waiter->event, &one, sizeof(one)) != sizeof(one)) {
                ALOGE("cannot wake a waiting thread: %s", strerror(errno));
            }
            return;
        }
    }
    if (waiter == nullptr && tWaitDepth > 0) {
        // Read by a thread that waits on a call of its own, and not made
        // for it: the pool serves it, the connection stays quiet until then.
        std::shared_ptr<Handoff> item = handoff();
        postTask([this, item]() { serveHandoff(item.get()); });
        return;
    }
    serveFrame(conn.get(), h, &payload, &fds, &chain);
}

void Transport::serveHandoff(Handoff* item) {
    std::lock_guard<std::mutex> lock(item->conn->lock);
    if (item->conn->closed) return;
    serveFrame(item->conn.get(), item->h, &item->payload, &item->fds, &item->chain);
}

void Transport::serveFrame(TxnServerConn* conn, const FrameHeader& h, WireBytes* payload,
                           std::vector<int>* fds, Chain* chain) {
    Route route = {conn->pid,   conn->uid,   conn->fd,          nullptr,
                   conn->token, &conn->held, conn->reader.get()};
    if (!dispatchTxn(route, h, payload, fds, chain)) {
        closeTxnConn(conn);
        return;
    }
    rearmTxnConn(conn);
}

// Serves one incoming transaction read from the route's connection and
// writes its reply there. False when the connection is to be dropped.
bool Transport::dispatchTxn(const Route& route, const FrameHeader& h, WireBytes* payload,
                            std::vector<int>* fds, Chain* chain) {
    const bool oneway = (h.flags & FLAG_ONEWAY) != 0;
    Parcel data;
    // The parcel takes the bytes over: large buffers are read where they arrived.
    status_t err = data.deserialize(std::move(*payload), fds);
    if (err != OK) {
        ALOGE("malformed transaction %u from pid %d; dropping the connection", h.code, route.pid);
        return false;
    }

    bool broken = false;
    sp<BHwBinder> target = lookupLocal(h.target);
    if (target == nullptr) {
        ALOGE("transaction %u for unknown object %llu", h.code,
              static_cast<unsigned long long>(h.target));
        FrameHeader rh = {kMagic, FRAME_REPLY, 0, 0, h.txnId, 0, 0, DEAD_OBJECT};
        if (!oneway && !writeOn(route, rh, std::string(), {})) broken = true;
    } else {
        IPCThreadState* ipc = IPCThreadState::self();
        // The identity of a call this thread serves already (asked only
        // then: outside a call it costs two system calls).
        const bool outerServing = ipc->isServingCall();
        const pid_t outerPid = outerServing ? ipc->getCallingPid() : 0;
        const uid_t outerUid = outerServing ? ipc->getCallingUid() : 0;
        ipc->setCallingIdentity(route.pid, route.uid, true);
        bool replied = false;
        Parcel reply;
        auto sendReply = [&](Parcel& r) {
            if (replied || oneway) return;
            replied = true;
            // The reply's large buffers go from where the server put them
            // straight to the socket.
            Parcel::WireForm rp;
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
            struct iovec pieces[Parcel::WireForm::kMaxPieces];
            size_t count = 0;
            if (serr == OK) {
                count = rp.iovecs(pieces);
            } else {
                rfds.clear();
                rh.payloadLen = 0;
            }
            if (local > 0 && serr == OK) {
                // Our objects stay alive until the caller holds its own
                // references (its ACK). They are kept with the connection,
                // so this thread goes back to the pool at once, and a caller
                // that never answers holds memory it is bounded in, not a
                // thread.
                if (route.held->byTxn.size() >= kMaxHeldReplies) {
                    ALOGE("pid %d left %zu replies unacknowledged; dropping the connection",
                          route.pid, route.held->byTxn.size());
                    broken = true;
                    return;
                }
                rh.flags |= FLAG_WANT_ACK;
                std::vector<sp<IBinder>> refs;
                r.collectLocalBinders(&refs);
                route.held->byTxn.emplace(h.txnId, std::move(refs));
            }
            if (!writeOn(route, rh, pieces, count, rfds)) broken = true;
        };
        // The incoming call as a slice; the stub's own slice names the method.
        const bool traced = ATRACE_ENABLED();
        if (traced) {
            ATRACE_BEGIN(("HwBinder transaction " + std::to_string(h.code) + " from pid " +
                          std::to_string(route.pid))
                                 .c_str());
        }
        // Calls this one makes to the caller's process come back to the
        // caller's waiting thread, over this connection.
        if (!oneway) tServing.push_back(ServedCall{route, *chain});
        TW_LATENCY_PROBE(kProbeDispatch);
        // Passed by reference, the callback needs no allocation of its own.
        err = target->transact(h.code, data, &reply, oneway ? IBinder::FLAG_ONEWAY : 0,
                               [&sendReply](Parcel& r) { sendReply(r); });
        if (!oneway) tServing.pop_back();
        if (traced) {
            ATRACE_BEGIN(("code=" + std::to_string(h.code) + " oneway=" +
                          std::to_string(oneway ? 1 : 0) + " status=" + std::to_string(err))
                                 .c_str());
            ATRACE_END();
            ATRACE_END();
        }
        if (outerServing) {
            ipc->setCallingIdentity(outerPid, outerUid, true);
        } else {
            ipc->setCallingIdentity(0, 0, false);
        }
        if (!oneway && !replied && !broken) {
            if (err == OK) {
                // Operations without results fill the reply and return.
                sendReply(reply);
            } else {
                if (err == UNKNOWN_TRANSACTION) {
                    ALOGE("unknown transaction code %u from pid %d", h.code, route.pid);
                }
                FrameHeader rh = {kMagic, FRAME_REPLY, 0, 0, h.txnId, 0, 0, err};
                if (!writeOn(route, rh, std::string(), {})) broken = true;
            }
        }
    }
    target.clear();
    if (oneway && (h.flags & FLAG_WANT_DONE) && route.token != 0) {
        onewayServed(route.token, h.txnId, h.payloadLen);
    }
    return !broken;
}

}  // namespace hardware
}  // namespace android