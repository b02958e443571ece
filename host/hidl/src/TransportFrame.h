/*
 * Host HIDL runtime: the frame codec of the Unix-socket transport.
 *
 * Owns the wire form of a frame (a FrameHeader, its payload and the file
 * descriptors that travel with its first byte), writing whole frames and
 * reading them with the limits a peer cannot talk its way past.
 */
#pragma once

#include <stdint.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <sys/un.h>

#include <memory>
#include <string>
#include <vector>

#include "Transport.h"

namespace android {
namespace hardware {

// How long a peer may take to finish a frame it started, or to confirm it
// decoded interface references we sent.
constexpr int kFrameTimeoutMs = 5000;
// How long a connection attempt may wait for a peer that does not accept.
constexpr int kConnectTimeoutMs = 1000;

// The first step of a frame's payload read (and allocated) at once; each
// later step is at most what has arrived so far, so memory stays within
// twice the bytes received (or this much).
constexpr size_t kReadStep = 128 * 1024;

void setTimeout(int fd, int ms);
bool fillAddr(const std::string& path, sockaddr_un* addr);
int64_t monoMs();
void closeAll(std::vector<int>* fds);

// Room for the descriptors one frame may carry beside its first byte.
union FdControl {
    struct cmsghdr align;
    char buf[CMSG_SPACE(sizeof(int) * Transport::kMaxFds)];
};

// Puts fds (at most Transport::kMaxFds) beside the data of msg as
// SCM_RIGHTS, in control; nothing when fds is empty.
void attachFds(struct msghdr* msg, FdControl* control, const std::vector<int>& fds);
// Appends the descriptors a received msg carries (SCM_RIGHTS) to fds; the
// caller owns them from then on.
void takeFds(struct msghdr* msg, std::vector<int>* fds);

// Writes a whole frame; the file descriptors travel with its first byte.
bool writeFrame(int fd, const FrameHeader& header, const std::string& payload,
                const std::vector<int>& fds);
// The same with the payload in pieces (a Parcel::WireForm's), written
// without first joining them.
bool writeFrame(int fd, const FrameHeader& header, const struct iovec* payload, size_t count,
                const std::vector<int>& fds);
bool writeSimpleFrame(int fd, uint32_t type, uint32_t code, uint64_t txnId, uint64_t target,
                      int32_t status);

// Reads one frame. The header is checked before any payload is read, so a
// hostile length never allocates. Once the first byte has arrived, the
// whole frame must follow within kFrameTimeoutMs; firstByteDeadline bounds
// the wait for that first byte (-1: none).
bool readFrame(int fd, FrameHeader* header, std::string* payload, std::vector<int>* fds,
               int64_t firstByteDeadline = -1);

// Checks a complete header against the limits of the wire (logged when not).
bool validHeader(const FrameHeader& header);

// Frames read as their bytes arrive, never waiting: a reader takes what
// the socket holds in one recvmsg (the end of the frame in progress, and
// whatever follows it into a small buffer of the connection's), and says
// whether a frame is whole. A small frame costs one read; what follows it
// stays for the next. The payload grows with the bytes received, never with
// the length the peer announced; the buffer has a fixed size.
//
// Descriptors travel with the first byte of their frame, and a read that
// receives them ends with the message that carried them, so they belong to
// the frame that the read ended in (or at the end of).
class FrameReader {
  public:
    enum Result { kIncomplete, kComplete, kFailed };
    // Bytes read beyond the frame in progress at once.
    static constexpr size_t kBufferSize = 4096;

    FrameReader() = default;
    FrameReader(const FrameReader&) = delete;
    FrameReader& operator=(const FrameReader&) = delete;
    ~FrameReader();

    // kComplete: header, payload and fds hold the next frame (from what was
    // buffered, without a read, when it was all there). kFailed: the peer
    // ended the connection or sent what no frame may hold.
    Result readAvailable(int fd);
    // Whether part of a frame has arrived, and since when (monotonic ms).
    bool started() const { return mGot > 0 || mBufEnd > mBufStart; }
    int64_t startedAt() const { return mStartedAt; }
    // Bytes read and not yet part of a frame taken.
    size_t buffered() const { return mBufEnd - mBufStart; }
    // Whether the buffer holds a whole frame, so that no read is needed.
    bool frameBuffered() const;
    // Moves the complete frame out and gets ready for the next one.
    void takeFrame(FrameHeader* header, WireBytes* payload, std::vector<int>* fds);
    // Ready for the next frame; the caller has taken payload and fds.
    void reset();

    FrameHeader header = {};
    WireBytes payload;
    std::vector<int> fds;

  private:
    // Moves what the buffer holds into the frame in progress; kComplete
    // once it is whole.
    Result takeBuffered();

    size_t mGot = 0;  // header and payload bytes of the frame in progress
    int64_t mStartedAt = 0;
    uint64_t mFrameStart = 0;  // stream offset of the frame in progress
    uint64_t mReceived = 0;    // bytes taken from the socket so far
    std::unique_ptr<char[]> mBuf;
    size_t mBufStart = 0;
    size_t mBufEnd = 0;
    // Descriptors received and not yet given to a frame, with the stream
    // offset where the read that carried each set ended; oldest first.
    struct PendingFds {
        std::vector<int> fds;
        uint64_t end;
    };
    static constexpr size_t kMaxPendingFdSets = 4;
    std::vector<PendingFds> mPending;
};

}  // namespace hardware
}  // namespace android
