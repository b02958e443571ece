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
 * Lock order: mProxyLock, then a control connection's write lock.
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

struct FrameHeader {
    uint32_t magic;
    uint32_t type;
    uint32_t code;
    uint32_t flags;
    uint64_t txnId;
    uint64_t target;
    uint32_t payloadLen;
    int32_t status;
};
static_assert(sizeof(FrameHeader) == 40, "frame header layout");

class Transport {
  public:
    static constexpr uint32_t kMagic = 0x31425748;  // "HWB1"
    static constexpr size_t kMaxFds = 16;
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
    static constexpr const char* kServiceManagerAddress = "hwservicemanager";

    enum FrameType : uint32_t {
        FRAME_HELLO = 1,
        FRAME_TXN = 2,
        FRAME_REPLY = 3,
        FRAME_ACK = 4,
        FRAME_ACQUIRE = 5,
        FRAME_RELEASE = 6,
        FRAME_ACQUIRE_REPLY = 7,
        FRAME_TXN_DONE = 8,  // a one-way call was served (on the control connection)
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
    void handleAccept();
    void dropSilentConnections();
    void handleControlReadable(ControlConn* conn);
    void dropControlConn(ControlConn* conn);
    void handleTxnConn(TxnServerConn* conn);
    void closeTxnConn(TxnServerConn* conn);
    std::shared_ptr<ControlConn> controlConnFor(const std::string& address);
    status_t acquireRemote(const std::shared_ptr<ControlConn>& conn, uint64_t id);
    void sendControl(ControlConn* conn, uint32_t type, uint64_t id, uint64_t reqId, int32_t status);
    int connectTo(const std::string& address, ConnKind kind);
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
                        const Parcel& data, const std::string& payload,
                        const std::vector<int>& fds);
    bool flushQueued(ClientConn* cc);
    void handleOnewayEvent(int fd, uint32_t events);
    void dropQueued(ClientConn* cc);
    void closeClientConn(ClientConn* cc);

    std::mutex mLock;  // listening socket, I/O thread, pool
    int mEpollIo = -1;
    int mEpollPool = -1;
    int mTaskEvent = -1;
    int mListenFd = -1;
    std::string mAddress;
    std::string mSocketPath;  // removed at exit by the process that bound it
    pid_t mSocketOwner = 0;
    bool mIoStarted = false;
    std::vector<std::thread> mThreads;  // runtime threads live as long as the process

    size_t mMaxThreads = 1;
    bool mCallerJoins = false;
    bool mPoolStarted = false;
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
    std::map<int, std::shared_ptr<TxnServerConn>> mTxnByFd;
    std::map<int, int64_t> mPendingHello;  // accepted, no HELLO yet: fd -> when

    std::atomic<uint64_t> mNextReqId{1};

    // Identifies this process in the HELLO of its connections, so a peer can
    // tell which control connection belongs to a transaction connection.
    uint64_t mToken = 0;
    std::map<uint64_t, ControlConn*> mControlByToken;  // incoming, under mConnLock

    // One-way calls in flight: the target and the objects they carry stay
    // referenced until the peer has served the call (FRAME_TXN_DONE).
    struct OnewayPin {
        std::string address;
        std::vector<sp<IBinder>> refs;
        size_t bytes = 0;  // counted against the peer's async space
    };
    std::mutex mPinLock;
    std::map<uint64_t, OnewayPin> mOnewayPins;
    std::map<std::string, size_t> mOnewayBytes;  // per peer, under mPinLock
    std::atomic<uint64_t> mNextPin{1};
    void releasePins(const std::string& address, uint64_t pinId, bool all);

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
    pid_t pid = 0;       // the peer's, for incoming connections
    bool outgoing = false;
    std::string address;  // peer, for outgoing connections
    std::mutex writeLock;
    std::mutex waitLock;
    std::condition_variable waitCond;
    std::map<uint64_t, int32_t> replies;  // ACQUIRE replies by request id
    // Set under writeLock when the connection is dropped; read by writers
    // under writeLock and by ACQUIRE waiters under waitLock.
    std::atomic<bool> dead{false};
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
    bool orphaned = false;  // its thread is gone; closed once the queue is written
    std::deque<std::unique_ptr<PendingFrame>> queue;
    ~ClientConn();
};

// I/O epoll tags: the kind of descriptor in the top bits, the fd below.
constexpr uint64_t kIoListen = 1ull << 61;
constexpr uint64_t kIoHello = 2ull << 61;
constexpr uint64_t kIoControl = 3ull << 61;
constexpr uint64_t kIoOneway = 4ull << 61;
constexpr uint64_t kIoMask = 7ull << 61;

struct Transport::TxnServerConn {
    // Held by the pool thread that serves the connection, from the epoll
    // wake-up until the connection is re-armed or closed. EPOLLONESHOT
    // already gives the connection to one thread at a time; the lock makes
    // that hand-over visible to the tools that check for races (an epoll
    // re-arm is not a release for them) and costs nothing uncontended.
    std::mutex serveLock;
    int fd = -1;
    uint64_t token = 0;
    pid_t pid = 0;
    uid_t uid = 0;
};

}  // namespace hardware
}  // namespace android
