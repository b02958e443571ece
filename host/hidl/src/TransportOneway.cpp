/*
 * Host HIDL runtime: one-way calls.
 *
 * Owns the sending side of one-way calls: the queue of what a connection's
 * socket has not taken yet (written by the I/O thread as the peer reads),
 * the async space each receiver grants, and what a one-way call keeps
 * referenced (its target and the objects it carries) until the peer reports
 * it served. A one-way call never waits for its receiver.
 */
#define LOG_TAG "hidl_host_transport"

#include <errno.h>
#include <fcntl.h>
#include <hwbinder/BinderDebug.h>
#include <log/log.h>
#include <string.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <sys/timerfd.h>
#include <twcutils/latency_probe.h>
#include <unistd.h>

#include <deque>
#include <mutex>
#include <vector>

#include "Transport.h"
#include "TransportFrame.h"

namespace android {
namespace hardware {

namespace {

// Writes what the socket takes without waiting. Returns false on a broken
// connection; *sent grows by what was written.
bool writeSome(int fd, const std::string& bytes, size_t* sent, const std::vector<int>& fds) {
    FdControl control;
    while (*sent < bytes.size()) {
        struct iovec iov = {const_cast<char*>(bytes.data()) + *sent, bytes.size() - *sent};
        struct msghdr msg = {};
        msg.msg_iov = &iov;
        msg.msg_iovlen = 1;
        if (*sent == 0 && !fds.empty()) {
            attachFds(&msg, &control, fds);
        }
        ssize_t w = sendmsg(fd, &msg, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (w < 0) {
            if (errno == EINTR) continue;
            return errno == EAGAIN || errno == EWOULDBLOCK;
        }
        *sent += static_cast<size_t>(w);
    }
    return true;
}

// One attempt at a whole frame, header and payload gathered by the socket.
// Returns false on a broken connection; *sent is what was written (0 when
// the socket is full).
bool writeNow(int fd, const FrameHeader& h, const Parcel::WireForm& payload, size_t* sent,
              const std::vector<int>& fds) {
    FdControl control;
    struct iovec iov[Parcel::WireForm::kMaxPieces + 1];
    iov[0] = {const_cast<FrameHeader*>(&h), sizeof(h)};
    struct msghdr msg = {};
    msg.msg_iov = iov;
    msg.msg_iovlen = 1 + payload.iovecs(iov + 1);
    attachFds(&msg, &control, fds);
    for (;;) {
        ssize_t w = sendmsg(fd, &msg, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (w >= 0) {
            *sent = static_cast<size_t>(w);
            return true;
        }
        if (errno == EINTR) continue;
        *sent = 0;
        return errno == EAGAIN || errno == EWOULDBLOCK;
    }
}

}  // namespace

PendingFrame::~PendingFrame() {
    closeAll(&fds);
}

Transport::ClientConn::~ClientConn() {
    if (fd >= 0) close(fd);
}

void Transport::closeClientConn(ClientConn* cc) {
    std::lock_guard<std::mutex> lock(cc->fdLock);
    if (cc->fd >= 0) close(cc->fd);
    cc->fd = -1;
}

status_t Transport::sendOneway(const std::shared_ptr<ClientConn>& cc, BpHwBinder* proxy,
                               uint32_t code, const Parcel& data, const Parcel::WireForm& payload,
                               const std::vector<int>& fds) {
    const std::string& address = proxy->address();
    // Counted against the receiver's async space until it reports the call
    // served; the target and our objects stay referenced as long.
    const size_t size = data.transactionSize();
    FrameHeader h = {kMagic,
                     FRAME_TXN,
                     code,
                     FLAG_ONEWAY | FLAG_WANT_DONE,
                     0,
                     proxy->id(),
                     static_cast<uint32_t>(payload.size()),
                     0};
    {
        OnewayPin pin;
        pin.address = address;
        pin.bytes = size;
        pin.target = proxy;
        data.collectLocalBinders(&pin.refs);
        std::lock_guard<std::mutex> lock(mPinLock);
        size_t& used = mOnewayBytes[address];
        if (used + size > kMaxAsyncBytes) {
            ALOGE("one-way call %u to %s refused: %zu bytes not yet served there, limit %zu", code,
                  address.c_str(), used, kMaxAsyncBytes);
            if (used == 0) mOnewayBytes.erase(address);
            return FAILED_TRANSACTION;
        }
        used += size;
        h.txnId = mNextPin++;
        mOnewayPins[h.txnId] = std::move(pin);
    }

    std::lock_guard<std::mutex> lock(cc->writeLock);
    size_t sent = 0;
    if (cc->queue.empty()) {
        // Straight from the header and the caller's parcel.
        TW_LATENCY_PROBE(kProbeOnewaySend);
        bool written = writeNow(cc->fd, h, payload, &sent, fds);
        TW_LATENCY_PROBE(kProbeOnewaySent);
        if (!written) {
            releasePins(address, h.txnId, 1, false);
            return DEAD_OBJECT;
        }
        if (sent == sizeof(h) + payload.size()) return OK;
    }
    // The frame is copied only when part of it has to wait.
    struct iovec pieces[Parcel::WireForm::kMaxPieces];
    const size_t count = payload.iovecs(pieces);
    std::string bytes;
    bytes.reserve(sizeof(h) + payload.size());
    bytes.append(reinterpret_cast<const char*>(&h), sizeof(h));
    for (size_t i = 0; i < count; i++) {
        bytes.append(static_cast<const char*>(pieces[i].iov_base), pieces[i].iov_len);
    }

    // The rest waits for the peer to read. The descriptors belong to the
    // caller's parcel: keep copies until they are sent.
    auto pending = std::make_unique<PendingFrame>();
    pending->sent = sent;
    pending->pin = h.txnId;
    if (sent == 0) {
        for (int fd : fds) {
            int copy = fcntl(fd, F_DUPFD_CLOEXEC, 0);
            if (copy < 0) {
                ALOGE("cannot keep a descriptor of a queued one-way call: %s", strerror(errno));
                pending.reset();
                releasePins(address, h.txnId, 1, false);
                return FAILED_TRANSACTION;
            }
            pending->fds.push_back(copy);
        }
    }
    pending->bytes = std::move(bytes);
    const bool first = cc->queue.empty();
    cc->queue.push_back(std::move(pending));
    if (first) {
        {
            std::lock_guard<std::mutex> byFd(mOnewayLock);
            mQueuedByFd[cc->fd] = cc;
        }
        {
            std::lock_guard<std::mutex> io(mLock);
            ensureIoThread();
        }
        struct epoll_event ev = {};
        ev.events = EPOLLOUT | EPOLLRDHUP;
        ev.data.u64 = kIoOneway | static_cast<uint64_t>(cc->fd);
        if (epoll_ctl(mEpollIo, EPOLL_CTL_ADD, cc->fd, &ev) < 0) {
            ALOGE("cannot watch a one-way queue: %s", strerror(errno));
        }
    }
    return OK;
}

bool Transport::flushQueued(ClientConn* cc) {
    // Called with cc->writeLock held.
    while (!cc->queue.empty()) {
        PendingFrame& f = *cc->queue.front();
        if (!writeSome(cc->fd, f.bytes, &f.sent, f.fds)) return false;
        if (f.sent < f.bytes.size()) return true;
        closeAll(&f.fds);
        cc->queue.pop_front();
    }
    epoll_ctl(mEpollIo, EPOLL_CTL_DEL, cc->fd, nullptr);
    std::shared_ptr<ClientConn> keep;  // released after the lock
    {
        std::lock_guard<std::mutex> lock(mOnewayLock);
        auto it = mQueuedByFd.find(cc->fd);
        if (it != mQueuedByFd.end() && it->second.get() == cc) {
            keep = std::move(it->second);
            mQueuedByFd.erase(it);
        }
    }
    if (cc->orphaned) {
        cc->dead = true;
        closeClientConn(cc);
    }
    return true;
}

void Transport::dropQueued(ClientConn* cc) {
    // Called with cc->writeLock held.
    if (cc->queue.empty()) return;
    std::vector<uint64_t> pins;
    for (const auto& f : cc->queue) pins.push_back(f->pin);
    cc->queue.clear();
    if (cc->fd >= 0) epoll_ctl(mEpollIo, EPOLL_CTL_DEL, cc->fd, nullptr);
    std::shared_ptr<ClientConn> keep;
    {
        std::lock_guard<std::mutex> lock(mOnewayLock);
        auto it = mQueuedByFd.find(cc->fd);
        if (it != mQueuedByFd.end() && it->second.get() == cc) {
            keep = std::move(it->second);
            mQueuedByFd.erase(it);
        }
    }
    // Calls that never left this process are not coming back as served.
    for (uint64_t pin : pins) releasePins(cc->address, pin, 1, false);
    cc->dead = true;
    if (cc->orphaned) closeClientConn(cc);
}

void Transport::handleOnewayEvent(int fd, uint32_t events) {
    std::shared_ptr<ClientConn> cc;
    {
        std::lock_guard<std::mutex> lock(mOnewayLock);
        auto it = mQueuedByFd.find(fd);
        if (it == mQueuedByFd.end()) return;
        cc = it->second;
    }
    // Its thread may be writing the queue itself, before its next call.
    std::unique_lock<std::mutex> lock(cc->writeLock, std::try_to_lock);
    if (!lock.owns_lock() || cc->fd != fd) return;
    bool broken = (events & (EPOLLERR | EPOLLHUP | EPOLLRDHUP)) != 0;
    if (!broken && (events & EPOLLOUT)) broken = !flushQueued(cc.get());
    if (broken) {
        ALOGE("connection to %s broke with %zu one-way calls queued", cc->address.c_str(),
              cc->queue.size());
        dropQueued(cc.get());
        std::lock_guard<std::mutex> fdLock(cc->fdLock);
        if (cc->fd >= 0) shutdown(cc->fd, SHUT_RDWR);
    }
}

void Transport::releasePins(const std::string& address, uint64_t first, uint32_t count, bool all) {
    std::vector<OnewayPin> drop;  // released outside the lock
    std::unique_lock<std::mutex> lock(mPinLock);
    auto take = [&](std::map<uint64_t, OnewayPin>::iterator it) {
        auto used = mOnewayBytes.find(address);
        if (used != mOnewayBytes.end()) {
            used->second -= std::min(used->second, it->second.bytes);
            if (used->second == 0) mOnewayBytes.erase(used);
        }
        drop.push_back(std::move(it->second));
        return mOnewayPins.erase(it);
    };
    if (!all) {
        // A run of pins of one peer: consecutive ids, mostly all of them its own.
        uint64_t served = 0;
        for (uint64_t pin = first; pin - first < count; pin++) {
            auto it = mOnewayPins.find(pin);
            if (it != mOnewayPins.end() && it->second.address == address) {
                take(it);
                served++;
            }
        }
        DoneCount& done = mDoneCounts[address];
        done.reports++;
        done.calls += served;
    } else {
        for (auto it = mOnewayPins.begin(); it != mOnewayPins.end();) {
            it = it->second.address == address ? take(it) : std::next(it);
        }
        mDoneCounts.erase(address);
    }
    lock.unlock();
    drop.clear();
}

void Transport::onewayAccount(const std::string& address, size_t* bytes, uint64_t* reports,
                              uint64_t* calls) {
    std::lock_guard<std::mutex> lock(mPinLock);
    auto used = mOnewayBytes.find(address);
    *bytes = used == mOnewayBytes.end() ? 0 : used->second;
    auto done = mDoneCounts.find(address);
    *reports = done == mDoneCounts.end() ? 0 : done->second.reports;
    *calls = done == mDoneCounts.end() ? 0 : done->second.calls;
}

// ---------------------------------------------------------------------------
// The receiver's reports of served one-way calls. Reporting each call on its
// own would wake the sender's I/O thread once per call, for nothing but to
// give back space the sender rarely needs at once; they go in bulk instead,
// and at the latest kDoneDelayMs after the first of them was served.

void Transport::onewayServed(uint64_t token, uint64_t pin, size_t bytes) {
    std::lock_guard<std::mutex> lock(mConnLock);
    auto it = mControlByToken.find(token);
    if (it == mControlByToken.end()) return;
    ControlConn* conn = it->second;
    {
        std::lock_guard<std::mutex> write(conn->writeLock);
        if (conn->dead) return;
        auto& runs = conn->doneRuns;
        if (!runs.empty() && runs.back().first + runs.back().second == pin &&
            runs.back().second < kMaxDoneRun) {
            runs.back().second++;
        } else {
            runs.emplace_back(pin, 1);
        }
        conn->doneCalls++;
        conn->doneBytes += bytes;
        if (conn->doneCalls >= kDoneBatchCalls || conn->doneBytes >= kDoneBatchBytes) {
            flushDoneLocked(conn);
            return;
        }
    }
    // The I/O thread writes what is left once the timer fires; armed once
    // for every report waiting (the flag is cleared before the reports are
    // taken, so a call served meanwhile arms it again).
    if (!mDoneTimerArmed.exchange(true)) {
        struct itimerspec when = {};
        when.it_value.tv_nsec = kDoneDelayMs * 1000000L;
        if (timerfd_settime(mDoneTimer, 0, &when, nullptr) < 0) {
            ALOGE("cannot arm the served-call timer: %s", strerror(errno));
            mDoneTimerArmed = false;
        }
    }
}

void Transport::flushDoneLocked(ControlConn* conn) {
    // Called with conn->writeLock held.
    if (conn->doneRuns.empty()) return;
    std::vector<FrameHeader> frames;
    frames.reserve(conn->doneRuns.size());
    for (const auto& run : conn->doneRuns) {
        frames.push_back(FrameHeader{kMagic, FRAME_TXN_DONE, run.second, 0, run.first, 0, 0, 0});
    }
    conn->doneRuns.clear();
    conn->doneCalls = 0;
    conn->doneBytes = 0;
    sendControlLocked(conn, reinterpret_cast<const char*>(frames.data()),
                      frames.size() * sizeof(FrameHeader));
    TW_LATENCY_PROBE(kProbeDoneSent);
}

void Transport::flushAllDone() {
    uint64_t expirations;
    if (read(mDoneTimer, &expirations, sizeof(expirations)) != sizeof(expirations)) return;
    mDoneTimerArmed = false;
    std::vector<std::shared_ptr<ControlConn>> conns;
    {
        std::lock_guard<std::mutex> lock(mConnLock);
        for (const auto& entry : mControlByFd) {
            if (!entry.second->outgoing) conns.push_back(entry.second);
        }
    }
    for (const auto& conn : conns) {
        std::lock_guard<std::mutex> write(conn->writeLock);
        flushDoneLocked(conn.get());
    }
}

status_t getOnewayAccount(const sp<IBinder>& remote, OnewayAccount* account) {
    BpHwBinder* proxy = remote == nullptr ? nullptr : remote->remoteBinder();
    if (proxy == nullptr) return BAD_TYPE;
    *account = OnewayAccount();
    Transport::self().onewayAccount(proxy->address(), &account->bytesInFlight, &account->reports,
                                    &account->callsReported);
    return OK;
}

}  // namespace hardware
}  // namespace android
