/*
 * Host HIDL runtime: the frame codec (see TransportFrame.h).
 */
#define LOG_TAG "hidl_host_transport"

#include "TransportFrame.h"

#include <errno.h>
#include <limits.h>
#include <log/log.h>
#include <poll.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>

namespace android {
namespace hardware {

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

void attachFds(struct msghdr* msg, FdControl* control, const std::vector<int>& fds) {
    if (fds.empty()) return;
    memset(control, 0, sizeof(*control));
    msg->msg_control = control->buf;
    msg->msg_controllen = CMSG_SPACE(sizeof(int) * fds.size());
    struct cmsghdr* cmsg = CMSG_FIRSTHDR(msg);
    cmsg->cmsg_level = SOL_SOCKET;
    cmsg->cmsg_type = SCM_RIGHTS;
    cmsg->cmsg_len = CMSG_LEN(sizeof(int) * fds.size());
    memcpy(CMSG_DATA(cmsg), fds.data(), sizeof(int) * fds.size());
}

void takeFds(struct msghdr* msg, std::vector<int>* fds) {
    for (struct cmsghdr* c = CMSG_FIRSTHDR(msg); c != nullptr; c = CMSG_NXTHDR(msg, c)) {
        if (c->cmsg_level != SOL_SOCKET || c->cmsg_type != SCM_RIGHTS) continue;
        size_t n = (c->cmsg_len - CMSG_LEN(0)) / sizeof(int);
        const unsigned char* in = CMSG_DATA(c);
        for (size_t i = 0; i < n; i++) {
            int passed;
            memcpy(&passed, in + i * sizeof(int), sizeof(int));
            fds->push_back(passed);
        }
    }
}

namespace {

// The header and a call's pieces: a parcel's own bytes and references, and
// the chain of waiting threads.
constexpr size_t kMaxFramePieces = Parcel::WireForm::kMaxPieces + 2;

// Waits until fd is ready for events (POLLIN, POLLOUT) or the deadline
// (monotonic ms; -1: none) passed; errno is ETIMEDOUT then.
bool waitReady(int fd, short events, int64_t deadline) {
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
        struct pollfd pfd = {fd, events, 0};
        int n = poll(&pfd, 1, timeout);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            if (n == 0) errno = ETIMEDOUT;
            return false;
        }
        return true;
    }
}

}  // namespace

// Writes a whole frame in one gathered write where the socket takes it;
// the file descriptors travel with its first byte.
bool writeFrame(int fd, const FrameHeader& header, const struct iovec* payload, size_t count,
                const std::vector<int>& fds) {
    // Every writer's pieces are bounded by the wire form's: they fit on the stack.
    if (count + 1 > kMaxFramePieces) {
        ALOGE("frame in %zu pieces exceeds the %zu a frame may have", count, kMaxFramePieces - 1);
        return false;
    }
    struct iovec iov[kMaxFramePieces];
    size_t pieces = 0;
    iov[pieces++] = {const_cast<FrameHeader*>(&header), sizeof(header)};
    for (size_t i = 0; i < count; i++) {
        if (payload[i].iov_len > 0) iov[pieces++] = payload[i];
    }
    size_t next = 0;  // the first piece not wholly written
    FdControl control;
    bool first = true;
    while (next < pieces) {
        struct msghdr msg = {};
        msg.msg_iov = &iov[next];
        msg.msg_iovlen = std::min<size_t>(pieces - next, IOV_MAX);
        if (first && !fds.empty()) {
            attachFds(&msg, &control, fds);
        }
        ssize_t w = sendmsg(fd, &msg, MSG_NOSIGNAL);
        if (w < 0) {
            if (errno == EINTR) continue;
            if (errno != EAGAIN && errno != EWOULDBLOCK) return false;
            // A non-blocking socket (the serving side): wait for room, as
            // long as a blocking one would with its send time-out.
            if (!waitReady(fd, POLLOUT, monoMs() + kFrameTimeoutMs)) return false;
            continue;
        }
        first = false;
        size_t done = static_cast<size_t>(w);
        while (next < pieces && done >= iov[next].iov_len) {
            done -= iov[next].iov_len;
            next++;
        }
        if (done > 0) {
            iov[next].iov_base = static_cast<char*>(iov[next].iov_base) + done;
            iov[next].iov_len -= done;
        }
    }
    return true;
}

bool writeFrame(int fd, const FrameHeader& header, const std::string& payload,
                const std::vector<int>& fds) {
    struct iovec iov = {const_cast<char*>(payload.data()), payload.size()};
    return writeFrame(fd, header, &iov, 1, fds);
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

namespace {

// Reads len bytes. The data usually follow what was just read (one frame is
// one send): each read is tried first and waited for only when nothing is
// there yet.
bool readFully(int fd, void* buf, size_t len, int64_t deadline) {
    size_t got = 0;
    while (got < len) {
        ssize_t r = recv(fd, static_cast<char*>(buf) + got, len - got, MSG_DONTWAIT);
        if (r < 0 && errno == EINTR) continue;
        if (r < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            if (!waitReady(fd, POLLIN, deadline)) return false;
            continue;
        }
        if (r <= 0) return false;
        got += static_cast<size_t>(r);
    }
    return true;
}

}  // namespace

void closeAll(std::vector<int>* fds) {
    for (int fd : *fds) close(fd);
    fds->clear();
}

// Reads one frame. The header is checked before any payload is read, so a
// hostile length never allocates. Once the first byte has arrived, the
// whole frame must follow within kFrameTimeoutMs; firstByteDeadline bounds
// the wait for that first byte (-1: none).
bool readFrame(int fd, FrameHeader* header, std::string* payload, std::vector<int>* fds,
               int64_t firstByteDeadline) {
    FdControl control;
    size_t got = 0;
    bool first = true;
    int64_t deadline = firstByteDeadline;
    bool tryNow = false;
    while (got < sizeof(*header)) {
        if (!tryNow && !waitReady(fd, POLLIN, deadline)) {
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
            takeFds(&msg, fds);
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
    if (!validHeader(*header)) {
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

bool validHeader(const FrameHeader& header) {
    if (header.magic != Transport::kMagic) {
        ALOGE("frame with bad magic 0x%08x", header.magic);
        return false;
    }
    if (header.payloadLen > Transport::kMaxFramePayload) {
        ALOGE("frame of %u bytes exceeds the limit", header.payloadLen);
        return false;
    }
    return true;
}

FrameReader::~FrameReader() {
    closeAll(&fds);
    for (auto& set : mPending) closeAll(&set.fds);
}

bool FrameReader::frameBuffered() const {
    if (mGot != 0 || buffered() < sizeof(FrameHeader)) return false;
    FrameHeader next;
    memcpy(&next, &mBuf[mBufStart], sizeof(next));
    return next.payloadLen <= buffered() - sizeof(next);
}

void FrameReader::takeFrame(FrameHeader* h, WireBytes* p, std::vector<int>* f) {
    *h = header;
    *p = std::move(payload);
    *f = std::move(fds);
    fds.clear();
    reset();
}

void FrameReader::reset() {
    mGot = 0;
    mStartedAt = 0;
    payload.clear();
    closeAll(&fds);
    if (mBufEnd > mBufStart) mStartedAt = monoMs();  // the next frame has begun
}

FrameReader::Result FrameReader::takeBuffered() {
    while (mBufEnd > mBufStart) {
        if (mGot == 0) {
            mFrameStart = mReceived - (mBufEnd - mBufStart);
            if (mStartedAt == 0) mStartedAt = monoMs();
            if (!mPending.empty() && mFrameStart >= mPending.front().end) {
                ALOGE("peer sent descriptors in the middle of a frame");
                return kFailed;
            }
        }
        if (mGot < sizeof(header)) {
            size_t n = std::min(sizeof(header) - mGot, mBufEnd - mBufStart);
            memcpy(reinterpret_cast<char*>(&header) + mGot, &mBuf[mBufStart], n);
            mBufStart += n;
            mGot += n;
            if (mGot < sizeof(header)) break;
            if (!validHeader(header)) return kFailed;
            payload.clear();
        }
        // The payload grows by what the buffer held: at most its size.
        size_t n = std::min<size_t>(header.payloadLen - payload.size(), mBufEnd - mBufStart);
        payload.append(&mBuf[mBufStart], n);
        mBufStart += n;
        mGot += n;
        if (payload.size() == header.payloadLen) break;
    }
    if (mBufStart == mBufEnd) mBufStart = mBufEnd = 0;
    if (mGot < sizeof(header) || payload.size() < header.payloadLen) return kIncomplete;
    const uint64_t frameEnd = mFrameStart + sizeof(header) + header.payloadLen;
    if (!mPending.empty() && mFrameStart < mPending.front().end &&
        frameEnd >= mPending.front().end) {
        fds = std::move(mPending.front().fds);
        mPending.erase(mPending.begin());
    }
    return kComplete;
}

FrameReader::Result FrameReader::readAvailable(int fd) {
    if (mBuf == nullptr) mBuf.reset(new char[kBufferSize]);
    for (;;) {
        Result taken = takeBuffered();
        if (taken != kIncomplete) return taken;
        // The buffer is empty unless it holds the start of a header.
        if (mBufStart > 0) {
            memmove(&mBuf[0], &mBuf[mBufStart], mBufEnd - mBufStart);
            mBufEnd -= mBufStart;
            mBufStart = 0;
        }
        struct iovec iov[2];
        size_t count = 0;
        size_t direct = 0;  // bytes asked for straight into the payload
        if (mGot >= sizeof(header)) {
            // Memory follows the bytes that arrive: the payload grows in
            // steps bounded by what came so far.
            const size_t have = payload.size();
            direct = std::min<size_t>(header.payloadLen - have, std::max(kReadStep, have));
            payload.resize(have + direct);
            iov[count++] = {&payload[have], direct};
        }
        iov[count++] = {&mBuf[mBufEnd], kBufferSize - mBufEnd};
        FdControl control;
        struct msghdr msg = {};
        msg.msg_iov = iov;
        msg.msg_iovlen = count;
        msg.msg_control = control.buf;
        msg.msg_controllen = sizeof(control.buf);
        ssize_t r = recvmsg(fd, &msg, MSG_CMSG_CLOEXEC | MSG_DONTWAIT);
        const int err = errno;
        if (direct > 0) {
            const size_t into = r > 0 ? std::min(static_cast<size_t>(r), direct) : 0;
            payload.resize(payload.size() - direct + into);
            mGot += into;
            if (r > 0) mBufEnd += static_cast<size_t>(r) - into;
        } else if (r > 0) {
            mBufEnd += static_cast<size_t>(r);
        }
        if (r < 0 && err == EINTR) continue;
        if (r < 0 && (err == EAGAIN || err == EWOULDBLOCK)) return kIncomplete;
        if (r <= 0) {
            if (started()) {
                ALOGE("truncated frame: %s", r < 0 ? strerror(err) : "end of connection");
            }
            return kFailed;
        }
        mReceived += static_cast<uint64_t>(r);
        if (mStartedAt == 0) mStartedAt = monoMs();
        if (msg.msg_controllen > 0) {
            std::vector<int> passed;
            takeFds(&msg, &passed);
            if ((msg.msg_flags & MSG_CTRUNC) || mPending.size() >= kMaxPendingFdSets) {
                ALOGE("peer sent more file descriptors than a frame may carry");
                closeAll(&passed);
                return kFailed;
            }
            if (!passed.empty()) mPending.push_back(PendingFds{std::move(passed), mReceived});
        } else if (msg.msg_flags & MSG_CTRUNC) {
            ALOGE("peer sent more file descriptors than a frame may carry");
            return kFailed;
        }
    }
}

}  // namespace hardware
}  // namespace android
