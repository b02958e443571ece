/*
 * Host HIDL runtime: the Unix-socket transport behind the binder classes.
 *
 * Connections:
 *  - transaction connections: one per (calling thread, peer); the caller
 *    writes a TXN frame and reads its REPLY on the same socket. The peer's
 *    RPC threads take turns reading its transaction connections (epoll with
 *    EPOLLONESHOT), so each connection's calls run in order.
 *  - control connections: one per (process, peer), served by the process's
 *    I/O thread: reference counts of exported objects (ACQUIRE / RELEASE)
 *    and, by their end of file, the peer's death.
 *
 * Frames are read as their bytes arrive: a thread woken for a connection
 * takes what the socket holds into the connection's buffer and goes back to
 * waiting while the frame is incomplete, so a slow or stalled peer holds no
 * thread. A frame started and not finished within kFrameTimeoutMs ends its
 * connection.
 *
 * Nested calls: a synchronous call carries the chain of the threads that
 * wait on it (each named by a random cookie, good for one call), the chain
 * of the call it is made from followed by the caller's own. A process that
 * receives a call naming one of its waiting threads hands it to that thread,
 * which serves it and goes back to waiting, as the driver follows the
 * transaction stack. One-way calls carry no chain.
 *
 * Lock order: a transaction connection's lock; then mWaitLock, then a
 * waiter's lock; then mProxyLock or mConnLock; then a control connection's
 * acquire lock, then its write lock.
 *
 * This header owns the Transport class and the connection records; the
 * implementation is split by concern: TransportFrame (frame codec),
 * TransportConnection (connections and peer registry), TransportDispatch
 * (calls, dispatch and thread pool), TransportOneway (one-way calls).
 */
#pragma once

#include <hwbinder/Binder.h>
#include <hwbinder/BpHwBinder.h>
#include <hwbinder/Parcel.h>
#include <sys/socket.h>
#include <sys/types.h>

#include <atomic>
#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace android {
namespace hardware {

class FrameReader;

struct FrameHeader {
    uint32_t magic;
    uint32_t type;
    uint32_t code;
    uint32_t flags;
    uint64_t txnId;
    uint64_t target;
    uint32_t payloadLen;
    // A reply's status; in a synchronous call, the number of chain entries
    // (uint64_t cookies of waiting threads, outermost first) that end its
    // payload.
    int32_t status;
};
static_assert(sizeof(FrameHeader) == 40, "frame header layout");

class Transport {
  public:
    static constexpr uint32_t kMagic = 0x31425748;  // "HWB1"
    static constexpr size_t kMaxFds = 16;
    // Longest chain of waiting threads a call carries; a deeper nesting
    // keeps the innermost ones.
    static constexpr size_t kMaxChain = 64;
    // hwbinder's transaction buffer: a transaction (or reply) whose data,
    // flat objects and embedded buffers (Parcel::transactionSize) exceed it
    // fails with FAILED_TRANSACTION, as it does on a phone.
    static constexpr size_t kMaxTransaction = 1u << 20;
    // Largest frame payload a peer may announce. The wire form spells out
    // what the driver counts as flat objects (an interface reference carries
    // its peer's address, up to 112 bytes more than a flat_binder_object, for
    // at most 4096 objects), so it may exceed the transaction by that much.
    static constexpr size_t kMaxFramePayload = kMaxTransaction + kMaxTransaction / 2;
    // hwbinder's async space: one-way calls sent to a process and not yet
    // served there may hold half of its transaction buffer; a one-way call
    // past it fails with FAILED_TRANSACTION.
    static constexpr size_t kMaxAsyncBytes = kMaxTransaction / 2;
    // A receiver reports the one-way calls it served in bulk, so that a call
    // does not wake its sender again: once the served calls of a sender reach
    // kDoneBatchCalls or kDoneBatchBytes, and otherwise kDoneDelayMs after
    // the first of them was served. The sender's async space is taken back
    // with the report, so it stays counted that much longer at most.
    static constexpr size_t kDoneBatchCalls = 64;
    static constexpr size_t kDoneBatchBytes = kMaxAsyncBytes / 8;
    static constexpr int kDoneDelayMs = 10;
    // Longest run of pins one FRAME_TXN_DONE may report.
    static constexpr uint32_t kMaxDoneRun = 4096;
    static constexpr const char* kServiceManagerAddress = "hwservicemanager";
    // Connections one process (by pid) may hold to this one, introduced or
    // not; a process holds one per thread that calls here, and one control
    // connection. Past it, new connections are closed.
    static constexpr size_t kMaxConnsPerPeer = 128;
    // References a peer may leave unconfirmed; one that never answers them
    // loses its control connection (and with it every proxy of it).
    static constexpr size_t kMaxPendingAcquires = 4096;
    // Replies carrying objects a caller may leave unacknowledged on one
    // connection; one that goes past it loses the connection (and with it
    // the references kept for it). A caller that follows the protocol has
    // at most one per call in progress.
    static constexpr size_t kMaxHeldReplies = 16;
    // Control frames a peer may leave unread in our send buffer before we
    // count it as stuck and close its control connection.
    static constexpr size_t kMaxControlBacklog = 1u << 20;

    enum FrameType : uint32_t {
        FRAME_HELLO = 1,
        FRAME_TXN = 2,
        FRAME_REPLY = 3,
        FRAME_ACK = 4,
        FRAME_ACQUIRE = 5,
        FRAME_RELEASE = 6,
        FRAME_ACQUIRE_REPLY = 7,
        // One-way calls were served (on the control connection): the pins
        // txnId .. txnId + code - 1 (code 0 counts as 1).
        FRAME_TXN_DONE = 8,
    };
    // CONN_DEBUG: one question about this process's binder state (TransportDebug.cpp),
    // numbered apart from the kinds that carry calls.
    enum ConnKind : uint32_t { CONN_TXN = 1, CONN_CONTROL = 2, CONN_DEBUG = 0x100 };
    enum FrameFlags : uint32_t { FLAG_ONEWAY = 1, FLAG_WANT_ACK = 2, FLAG_WANT_DONE = 4 };

    static Transport& self();
    static bool validAddress(const std::string& address);
    static std::string socketDir();

    // Parcel hooks.
    status_t flattenBinder(const sp<IBinder>& binder, std::string* address, uint64_t* id,
                           bool* isLocal);
    sp<IBinder> unflattenBinder(const std::string& address, uint64_t id);

    // Proxy side.
    status_t transact(BpHwBinder* proxy, uint32_t code, const Parcel& data, Parcel* reply,
                      uint32_t flags);
    status_t linkToDeath(BpHwBinder* proxy);
    void proxyDestroyed(BpHwBinder* proxy);

    // Local objects.
    void localBinderDestroyed(BHwBinder* binder);
    status_t setContextObject(const sp<BHwBinder>& binder);

    // Thread pool.
    void configurePool(size_t maxThreads, bool callerJoins);
    void startPool();
    [[noreturn]] void joinPool();
    size_t maxThreads();
    void postTask(std::function<void()> task);

    std::string address();

    // A calling thread's connection to a peer.
    struct ClientConn;

    // Replies that carried objects of this process, by call, waiting for the
    // caller's ACK: the objects stay referenced with the connection (not with
    // the thread that replied) until the caller holds references of its own,
    // or the connection goes. Only the thread that reads or serves the
    // connection touches it.
    struct HeldReplies {
        std::multimap<uint64_t, std::vector<sp<IBinder>>> byTxn;
    };

    // A connection a thread waits on while a call it made, or serves, is in
    // progress: nested calls to (and from) the process at its other end
    // travel over it. cc is the caller's side; without it the connection is
    // an incoming one, whose writes belong to the serving thread.
    struct Route {
        pid_t pid;
        uid_t uid;
        int fd;
        ClientConn* cc;
        uint64_t token;       // the calling process's, on the serving side
        HeldReplies* held;    // the connection's replies waiting for an ACK
        FrameReader* reader;  // what has been read of the connection
    };

    // A thread that waits on a call it made: calls handed to it (they name
    // it in their chain) and an eventfd that wakes it for them.
    struct Handoff;
    // The threads that wait on a synchronous call, innermost last. Every
    // call carries one: it is kept inline.
    struct Chain {
        uint64_t ids[kMaxChain];
        size_t count = 0;
    };
    struct Waiter {
        int event = -1;
        std::mutex lock;
        std::deque<std::shared_ptr<Handoff>> items;  // under lock
        ~Waiter();
    };

  private:
    Transport();

    struct ControlConn;
    struct TxnServerConn;
    struct Node {
        wp<BHwBinder> weak;
        sp<BHwBinder> strong;  // held while remote holders exist
        std::map<ControlConn*, uint32_t> holders;
        bool permanent = false;
    };

    status_t ensureListening();
    void ensureIoThread();
    void ioLoop();
    void poolLoop();
    void spawnPoolThreadLocked();  // with mLock held
    void dropSilentConnections();
    void handleControlReadable(ControlConn* conn, bool all);
    void dropControlConn(ControlConn* conn);
    void handleTxnConn(const std::shared_ptr<TxnServerConn>& conn);
    void closeTxnConn(TxnServerConn* conn);  // with conn->lock held
    std::shared_ptr<ControlConn> controlConnFor(const std::string& address);
    void sendControl(ControlConn* conn, uint32_t type, uint64_t id, uint64_t reqId, int32_t status);
    // Whole frames, with the connection's write lock held.
    void sendControlLocked(ControlConn* conn, const char* bytes, size_t len);
    void flushControl(ControlConn* conn);
    bool handleControlFrame(ControlConn* conn, const FrameHeader& h);
    bool handleAcceptOne();
    void handleHello(int fd);
    void releasePeerSlot(pid_t pid);
    void drainControl();
    void controlBarrier();
    std::shared_ptr<TxnServerConn> txnConnById(uint64_t id);
    void dropStalledTxnConns();
    // With peer, the credentials of the process listening on the address.
    int connectTo(const std::string& address, ConnKind kind, struct ucred* peer = nullptr);
    // Nested calls and the replies of calls (TransportDispatch.cpp).
    // Writes a synchronous call on route with the chain of this thread,
    // and waits for its reply.
    status_t callOn(const Route& route, uint64_t txnId, BpHwBinder* proxy, uint32_t code,
                    const Parcel::WireForm& wire, const std::vector<int>& fds, Parcel* reply,
                    size_t localBinders, bool* broken);
    status_t awaitReply(const Route& route, uint64_t txnId, Parcel* reply, size_t localBinders,
                        bool* broken);
    bool dispatchTxn(const Route& route, const FrameHeader& h, WireBytes* payload,
                     std::vector<int>* fds, Chain* chain);
    // Splits the chain off a synchronous call's payload; false when the
    // frame does not hold the chain it announces.
    static bool takeChain(FrameHeader* h, WireBytes* payload, Chain* chain);
    // A complete frame read from an incoming connection (its lock held):
    // served here, handed to the waiting thread its chain names, or, read
    // by a waiting thread and naming none of them, left to the pool.
    void routeFrame(const std::shared_ptr<TxnServerConn>& conn, FrameHeader h, WireBytes payload,
                    std::vector<int> fds);
    // Serves a call read from an incoming connection (its lock held) and
    // makes the connection readable again.
    void serveFrame(TxnServerConn* conn, const FrameHeader& h, WireBytes* payload,
                    std::vector<int>* fds, Chain* chain);
    void rearmTxnConn(TxnServerConn* conn);  // with conn->lock held
    void serveHandoff(Handoff* item);
    // Waiting threads, by the cookie of the call each waits on: one entry
    // per call in progress, looked up by the calls that come back.
    std::mutex mWaitLock;
    std::vector<std::pair<uint64_t, Waiter*>> mWaiters;
    std::atomic<uint32_t> mIdlePool{0};  // pool threads waiting for work
    bool writeOn(const Route& route, const FrameHeader& h, const std::string& payload,
                 const std::vector<int>& fds);
    bool writeOn(const Route& route, const FrameHeader& h, const struct iovec* pieces, size_t count,
                 const std::vector<int>& fds);
    // h is the caller's ACK of a reply: the objects that reply carried may
    // go. False when h is no ACK, or no reply of its id waits for one.
    bool releaseHeld(HeldReplies* held, const FrameHeader& h, const std::vector<int>& fds);
    pid_t peerPidOf(const std::string& address);
    sp<BHwBinder> lookupLocal(uint64_t id);
    void removeSocketAtExit();
    void removeStaleSockets();
    void peerGone(const std::string& address);

    // Debugging tools (TransportDebug.cpp).
    static pid_t peerPid(int fd);
    void answerDebugQuery(int fd);
    std::atomic<uint32_t> mBusyThreads{0};  // pool threads serving a call or task
    struct BusyScope {
        explicit BusyScope(std::atomic<uint32_t>* n) : count(n) { ++*count; }
        ~BusyScope() { --*count; }
        std::atomic<uint32_t>* count;
    };

    // One-way calls (TransportOneway.cpp).
    status_t sendOneway(const std::shared_ptr<ClientConn>& cc, BpHwBinder* proxy, uint32_t code,
                        const Parcel& data, const Parcel::WireForm& payload,
                        const std::vector<int>& fds);
    bool flushQueued(ClientConn* cc);
    void handleOnewayEvent(int fd, uint32_t events);
    void dropQueued(ClientConn* cc);
    void closeClientConn(ClientConn* cc);

    std::mutex mLock;  // listening socket, I/O thread, pool
    int mEpollIo = -1;
    int mEpollPool = -1;
    int mTaskEvent = -1;
    // Set once, under mLock; the I/O thread reads it without the lock.
    std::atomic<int> mListenFd{-1};
    std::string mAddress;
    std::string mSocketPath;  // removed at exit by the process that bound it
    pid_t mSocketOwner = 0;
    bool mIoStarted = false;
    std::vector<std::thread> mThreads;  // runtime threads live as long as the process

    size_t mMaxThreads = 1;
    bool mCallerJoins = false;
    bool mPoolStarted = false;
    size_t mPoolSpawned = 0;
    std::mutex mTaskLock;
    std::deque<std::function<void()>> mTasks;

    std::mutex mNodeLock;
    uint64_t mNextId = 1;
    std::map<uint64_t, Node> mNodes;
    std::map<const BHwBinder*, uint64_t> mNodeIds;

    std::mutex mProxyLock;
    std::map<std::pair<std::string, uint64_t>, wp<BpHwBinder>> mProxies;
    std::map<std::string, std::shared_ptr<ControlConn>> mControlOut;

    std::mutex mConnLock;  // connections known to the I/O thread and the pool
    std::map<int, std::shared_ptr<ControlConn>> mControlByFd;
    std::map<uint64_t, std::shared_ptr<TxnServerConn>> mTxnById;  // the pool's epoll tag
    uint64_t mNextTxnConnId = 1ull << 32;  // above every fd (the task event's tag)
    struct PendingHello {
        int64_t since;
        pid_t pid;
    };
    std::map<int, PendingHello> mPendingHello;  // accepted, no HELLO yet
    std::map<pid_t, size_t> mConnsPerPid;       // accepted connections by peer
    int64_t mLastLimitLog = 0;
    size_t mLimitClosed = 0;

    // Objects dropped by a RELEASE wait until the I/O thread has read what
    // other peers sent before it: an ACQUIRE of the same object written
    // earlier (by a peer the releasing one passed it to) comes first.
    std::vector<sp<BHwBinder>> mDeferredDrops;  // I/O thread only
    // Likewise one-way calls reported served: runs of pins, I/O thread only.
    struct DonePins {
        std::string address;
        uint64_t first;
        uint32_t count;
    };
    std::vector<DonePins> mDeferredPins;

    // A barrier: the I/O thread reads every control connection (and takes
    // pending connections) and then reports, so that whatever a peer sent
    // before a frame this thread has seen is processed.
    int mBarrierEvent = -1;
    std::mutex mBarrierLock;
    std::condition_variable mBarrierCond;
    uint64_t mBarrierAsked = 0;
    uint64_t mBarrierDone = 0;

    // Peers a connection just failed to reach, by address (under
    // mProxyLock): references to them fail at once for a while instead of
    // each waiting for the connect time-out.
    std::map<std::string, int64_t> mUnreachable;

    std::atomic<uint64_t> mNextReqId{1};

    // Identifies this process in the HELLO of its connections, so a peer can
    // tell which control connection belongs to a transaction connection.
    uint64_t mToken = 0;
    std::map<uint64_t, ControlConn*> mControlByToken;  // incoming, under mConnLock

    // One-way calls in flight: the target and the objects they carry stay
    // referenced until the peer has served the call (FRAME_TXN_DONE).
    struct OnewayPin {
        std::string address;
        sp<IBinder> target;
        std::vector<sp<IBinder>> refs;  // our objects the call carries
        size_t bytes = 0;               // counted against the peer's async space
    };
    std::mutex mPinLock;
    std::map<uint64_t, OnewayPin> mOnewayPins;
    std::map<std::string, size_t> mOnewayBytes;  // per peer, under mPinLock
    std::atomic<uint64_t> mNextPin{1};
    // Releases the pins first .. first + count - 1 of calls to address, or
    // with all every pin of calls to it.
    void releasePins(const std::string& address, uint64_t first, uint32_t count, bool all);
    // Served reports read from each peer, and the calls they covered; under
    // mPinLock (see getOnewayAccount()).
    struct DoneCount {
        uint64_t reports = 0;
        uint64_t calls = 0;
    };
    std::map<std::string, DoneCount> mDoneCounts;

  public:
    // The sender's side of the one-way calls to the process at address.
    void onewayAccount(const std::string& address, size_t* bytes, uint64_t* reports,
                       uint64_t* calls);

  private:
    // The receiver's side: a one-way call of the process behind token was
    // served here; reported to it in bulk (see kDoneBatchCalls).
    void onewayServed(uint64_t token, uint64_t pin, size_t bytes);
    // Writes the reports a control connection holds; with its write lock.
    void flushDoneLocked(ControlConn* conn);
    // The I/O thread, when the report timer fires: every report held.
    void flushAllDone();
    int mDoneTimer = -1;  // timerfd, armed while a report waits
    std::atomic<bool> mDoneTimerArmed{false};

    // One-way calls travel on the calling thread's connection, in order with
    // its other calls, written without ever blocking: what the socket does not
    // take waits in the connection's queue, and the I/O thread writes it as
    // the peer reads (or the thread itself, before its next call there).
    // Connections with a queue, by fd; they outlive their thread until it is
    // written.
    std::mutex mOnewayLock;  // after a connection's write lock
    std::map<int, std::shared_ptr<ClientConn>> mQueuedByFd;

    // Thread-local transaction connections, known here so that a peer's death
    // closes them (TransportDispatch.cpp).
    std::mutex mClientLock;
    std::multimap<std::string, std::weak_ptr<ClientConn>> mClientConns;
    std::atomic<uint64_t> mPeerDeaths{0};
    void closeClientConnsTo(const std::string& address);
};

struct Transport::ControlConn {
    int fd = -1;
    uint64_t token = 0;  // the peer's, for incoming connections
    bool outgoing = false;
    pid_t pid = 0;         // the peer process (connecting or listening)
    bool counted = false;  // holds one of the peer's connection slots
    std::string address;   // peer, for outgoing connections
    std::mutex writeLock;
    std::string outbuf;  // what the socket has not taken yet, under writeLock
    bool dead = false;   // under writeLock
    // Incoming connections: the peer's one-way calls served here and not
    // reported yet, as runs of pins (first, count), under writeLock.
    std::vector<std::pair<uint64_t, uint32_t>> doneRuns;
    size_t doneCalls = 0;  // under writeLock
    size_t doneBytes = 0;  // under writeLock
    // References asked for and not confirmed yet, by request id.
    std::mutex acquireLock;
    std::map<uint64_t, wp<BpHwBinder>> pendingAcquires;
    // I/O thread only: bytes of a frame not complete yet, and since when.
    std::string inbuf;
    int64_t partialSince = 0;
};

// A frame the socket has not taken (all of) yet.
struct PendingFrame {
    std::string bytes;     // header and payload
    size_t sent = 0;       // bytes already written
    std::vector<int> fds;  // our own copies, sent with the first byte
    uint64_t pin = 0;      // the one-way call's pin
    PendingFrame() = default;
    PendingFrame(const PendingFrame&) = delete;
    PendingFrame& operator=(const PendingFrame&) = delete;
    ~PendingFrame();
};

struct Transport::ClientConn {
    std::string address;
    std::mutex useLock;    // held by the owning thread for the length of a call
    std::mutex writeLock;  // writes and the queue: the owner and the I/O thread
    std::mutex fdLock;     // closing fd, against a shutdown from another thread
    int fd = -1;
    uint64_t nextTxn = 1;
    std::atomic<bool> dead{false};
    pid_t peerPid = 0;  // the process listening at address
    uid_t peerUid = 0;
    bool busy = false;      // its thread waits for a reply on it (that thread only)
    bool orphaned = false;  // its thread is gone; closed once the queue is written
    HeldReplies held;       // replies to the peer's nested calls, its owning thread only
    // What has been read of the connection, by the thread waiting on it.
    std::unique_ptr<FrameReader> reader;
    std::deque<std::unique_ptr<PendingFrame>> queue;
    ~ClientConn();
};

// I/O epoll tags: the kind of descriptor in the top bits, the fd below.
constexpr uint64_t kIoListen = 1ull << 61;
constexpr uint64_t kIoHello = 2ull << 61;
constexpr uint64_t kIoControl = 3ull << 61;
constexpr uint64_t kIoOneway = 4ull << 61;
constexpr uint64_t kIoBarrier = 5ull << 61;
constexpr uint64_t kIoDoneTimer = 6ull << 61;
constexpr uint64_t kIoMask = 7ull << 61;

// An incoming transaction connection. Its lock is held by the thread that
// reads or serves it (and by the sweep of stalled frames), so its fd is
// never closed under a reader.
struct Transport::TxnServerConn {
    uint64_t id = 0;
    int fd = -1;
    uint64_t token = 0;
    pid_t pid = 0;
    uid_t uid = 0;
    std::mutex lock;
    bool closed = false;                  // under lock
    std::unique_ptr<FrameReader> reader;  // under lock
    HeldReplies held;                     // under lock
    TxnServerConn();
    ~TxnServerConn();
};

}  // namespace hardware
}  // namespace android
