/*
 * Hostile peers of the host HIDL transport. Raw Unix sockets talk to a
 * recording ITwinel server and to hwservicemanager: broken handshakes,
 * malformed frames, transactions whose payloads lie about their buffers,
 * objects and file descriptors, abuse of control connections, stalled and
 * trickling senders, and a seeded random stream. Every case checks that the
 * hostile connection is refused (closed, or answered with an error) and that
 * the process goes on serving ordinary clients.
 */
#define LOG_TAG "hidl_wire_test"

#include <android/hidl/manager/1.0/IServiceManager.h>
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <hidl/HidlTransportSupport.h>
#include <hidl/ServiceManagement.h>
#include <hwbinder/BpHwBinder.h>
#include <poll.h>
#include <signal.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vendor/zyr/hardware/twinel/1.0/ITwinel.h>
#include <vendor/zyr/hardware/twinel/1.1/ITwinel.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <functional>
#include <future>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "test_util.h"

using namespace ::android;
using ::android::hardware::BpHwBinder;
using ::android::hardware::defaultServiceManager;
using ::android::hardware::getOrCreateCachedBinder;
using ::android::hardware::hidl_handle;
using ::android::hardware::hidl_string;
using ::android::hardware::hidl_vec;
using ::android::hardware::IBinder;
using ::android::hardware::Return;
using ::android::hidl::base::V1_0::IBase;
using ::android::hidl::manager::V1_0::IServiceManager;
using ::vendor::zyr::hardware::twinel::V1_0::Status;
namespace V1_0 = ::vendor::zyr::hardware::twinel::V1_0;
namespace V1_1 = ::vendor::zyr::hardware::twinel::V1_1;

namespace {

// ---------------------------------------------------------------------------
// The wire format, written out independently of the runtime's own headers.

struct WireHeader {
    uint32_t magic;
    uint32_t type;
    uint32_t code;
    uint32_t flags;
    uint64_t txnId;
    uint64_t target;
    uint32_t payloadLen;
    int32_t status;
};
static_assert(sizeof(WireHeader) == 40, "frame header layout");

constexpr uint32_t kMagic = 0x31425748;  // "HWB1"
enum : uint32_t {
    kHello = 1,
    kTxn = 2,
    kReply = 3,
    kAck = 4,
    kAcquire = 5,
    kRelease = 6,
    kAcquireReply = 7,
    kTxnDone = 8,
};
enum : uint32_t { kConnTxn = 1, kConnControl = 2 };
constexpr uint32_t kFlagOneway = 1;
constexpr uint32_t kFlagWantAck = 2;
constexpr uint32_t kNoParent = 0xffffffffu;
enum : uint32_t { kObjNullBinder = 0, kObjBinder = 1, kObjHandle = 2 };

constexpr uint32_t kCodeGetFirmwareVersion = 1;
constexpr uint32_t kCodeGoDload = 5;
constexpr uint32_t kCodeGoStmDload = 6;
constexpr uint32_t kCodeSetBrightness = 19;
constexpr uint32_t kCodeDrawSubDisplay = 30;
constexpr uint32_t kCodeSendAtCommand = 34;
constexpr uint32_t kCodeManagerGet = 1;
constexpr uint32_t kCodeManagerList = 4;

size_t padded(size_t n) {
    return (n + 7) & ~size_t(7);
}

void put32(std::string* out, uint32_t v) {
    out->append(reinterpret_cast<const char*>(&v), sizeof(v));
}

void put64(std::string* out, uint64_t v) {
    out->append(reinterpret_cast<const char*>(&v), sizeof(v));
}

void putPadded(std::string* out, const std::string& bytes) {
    out->append(bytes);
    out->append(padded(bytes.size()) - bytes.size(), '\0');
}

// Scalars of the data section each take a multiple of eight bytes.
void dataU32(std::string* out, uint32_t v) {
    put32(out, v);
    put32(out, 0);
}

void dataToken(std::string* out, const char* descriptor) {
    dataU32(out, static_cast<uint32_t>(strlen(descriptor)));
    putPadded(out, std::string(descriptor) + '\0');
}

// hidl_string and hidl_vec: pointer (fixed up on receipt), uint32 size, bool owns.
std::string sizedStruct(uint32_t size, bool owns = false) {
    std::string s;
    put64(&s, 0);
    put32(&s, size);
    s.push_back(owns ? 1 : 0);
    s.append(3, '\0');
    return s;
}

struct WireBuffer {
    uint64_t length;
    uint32_t parent = kNoParent;
    uint32_t flags = 0;  // 1: null
    uint64_t offset = 0;
    std::string bytes;  // sent padded; normally `length` bytes
};

struct WireObject {
    uint32_t kind;
    uint32_t parent = kNoParent;
    uint64_t offset = 0;
    std::string extra;  // kind-specific fields
};

WireBuffer buffer(const std::string& bytes, uint32_t parent = kNoParent, uint64_t offset = 0) {
    WireBuffer b;
    b.length = bytes.size();
    b.parent = parent;
    b.offset = offset;
    b.bytes = bytes;
    return b;
}

WireObject binderObject(const std::string& address, uint64_t id) {
    WireObject o;
    o.kind = kObjBinder;
    put32(&o.extra, static_cast<uint32_t>(address.size()));
    put32(&o.extra, 0);
    put64(&o.extra, id);
    putPadded(&o.extra, address);
    return o;
}

// A transaction payload: counts, data section, buffers, objects. The counts
// can be overridden to lie about what follows.
struct WireMessage {
    std::string data;
    std::vector<WireBuffer> buffers;
    std::vector<WireObject> objects;
    int64_t dataLen = -1;
    int64_t bufCount = -1;
    int64_t objCount = -1;
    uint32_t fdCount = 0;
    std::string trailing;

    std::string encode() const {
        std::string out;
        put32(&out,
              dataLen >= 0 ? static_cast<uint32_t>(dataLen) : static_cast<uint32_t>(data.size()));
        put32(&out, bufCount >= 0 ? static_cast<uint32_t>(bufCount)
                                  : static_cast<uint32_t>(buffers.size()));
        put32(&out, objCount >= 0 ? static_cast<uint32_t>(objCount)
                                  : static_cast<uint32_t>(objects.size()));
        put32(&out, fdCount);
        putPadded(&out, data);
        for (const auto& b : buffers) {
            put64(&out, b.length);
            put32(&out, b.parent);
            put32(&out, b.flags);
            put64(&out, b.offset);
            putPadded(&out, b.bytes);
        }
        for (const auto& o : objects) {
            put32(&out, o.kind);
            put32(&out, o.parent);
            put64(&out, o.offset);
            out.append(o.extra);
        }
        out.append(trailing);
        return out;
    }
};

WireMessage setBrightnessCall(int32_t level) {
    WireMessage m;
    dataToken(&m.data, V1_0::ITwinel::descriptor);
    dataU32(&m.data, static_cast<uint32_t>(level));
    return m;
}

// sendAtCommand(string command, ITwinelAtCallback callback = null)
WireMessage sendAtCall(const std::string& command) {
    WireMessage m;
    dataToken(&m.data, V1_0::ITwinel::descriptor);
    dataU32(&m.data, 0);  // index of the callback object
    m.buffers.push_back(buffer(sizedStruct(static_cast<uint32_t>(command.size()))));
    m.buffers.push_back(buffer(command + '\0', 0, 0));
    WireObject null;
    null.kind = kObjNullBinder;
    m.objects.push_back(null);
    return m;
}

// drawSubDisplay(vec<uint32_t> pixels)
WireMessage drawCall(const std::vector<uint32_t>& pixels) {
    WireMessage m;
    dataToken(&m.data, V1_0::ITwinel::descriptor);
    m.buffers.push_back(buffer(sizedStruct(static_cast<uint32_t>(pixels.size()))));
    m.buffers.push_back(buffer(
            std::string(reinterpret_cast<const char*>(pixels.data()), pixels.size() * 4), 0, 0));
    return m;
}

// IServiceManager::get(fqName, name)
WireMessage managerGetCall(const std::string& fqName, const std::string& name) {
    WireMessage m;
    dataToken(&m.data, IServiceManager::descriptor);
    m.buffers.push_back(buffer(sizedStruct(static_cast<uint32_t>(fqName.size()))));
    m.buffers.push_back(buffer(fqName + '\0', 0, 0));
    m.buffers.push_back(buffer(sizedStruct(static_cast<uint32_t>(name.size()))));
    m.buffers.push_back(buffer(name + '\0', 2, 0));
    return m;
}

WireMessage tokenOnlyCall(const char* descriptor) {
    WireMessage m;
    dataToken(&m.data, descriptor);
    return m;
}

std::string header(uint32_t type, uint32_t code, uint32_t flags, uint64_t txnId, uint64_t target,
                   uint32_t payloadLen, int32_t status = 0, uint32_t magic = kMagic) {
    WireHeader h = {magic, type, code, flags, txnId, target, payloadLen, status};
    return std::string(reinterpret_cast<const char*>(&h), sizeof(h));
}

std::string frame(uint32_t type, uint32_t code, uint64_t txnId, uint64_t target,
                  const std::string& payload, uint32_t flags = 0) {
    return header(type, code, flags, txnId, target, static_cast<uint32_t>(payload.size())) +
           payload;
}

// A synchronous call naming the threads that wait on it: the chain's
// cookies end the payload, their number is in the status field (count, when
// given, says otherwise).
std::string chainedFrame(uint32_t code, uint64_t txnId, uint64_t target, const std::string& payload,
                         const std::vector<uint64_t>& chain, uint32_t flags = 0,
                         int32_t count = INT32_MIN) {
    std::string bytes(reinterpret_cast<const char*>(chain.data()), chain.size() * sizeof(uint64_t));
    return header(kTxn, code, flags, txnId, target,
                  static_cast<uint32_t>(payload.size() + bytes.size()),
                  count != INT32_MIN ? count : static_cast<int32_t>(chain.size())) +
           payload + bytes;
}

// What came back on a raw connection.
struct Answer {
    enum Kind { kClosed, kFrame, kSilent } kind = kSilent;
    WireHeader h = {};
    std::string payload;
    int error = 0;  // errno of the read that ended the connection, if any
};

std::string describe(const Answer& a) {
    switch (a.kind) {
        case Answer::kClosed:
            return a.error == 0 ? "closed (end of file)"
                                : std::string("closed (") + strerror(a.error) + ")";
        case Answer::kSilent:
            return "no answer";
        case Answer::kFrame:
            return "frame type " + std::to_string(a.h.type) + " txn " + std::to_string(a.h.txnId) +
                   " target " + std::to_string(a.h.target) + " status " +
                   std::to_string(a.h.status) + " payload " + std::to_string(a.payload.size()) +
                   " bytes";
    }
    return "?";
}

// A peer that speaks (or abuses) the protocol byte by byte.
class RawConn {
  public:
    explicit RawConn(const std::string& path) {
        mFd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (mFd < 0) return;
        sockaddr_un addr = {};
        addr.sun_family = AF_UNIX;
        if (path.size() >= sizeof(addr.sun_path)) {
            closeNow();
            return;
        }
        memcpy(addr.sun_path, path.c_str(), path.size() + 1);
        if (connect(mFd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) < 0) {
            mError = errno;
            closeNow();
        }
    }
    ~RawConn() { closeNow(); }
    RawConn(const RawConn&) = delete;
    RawConn& operator=(const RawConn&) = delete;

    bool ok() const { return mFd >= 0; }
    int fd() const { return mFd; }
    int error() const { return mError; }

    bool send(const std::string& bytes, const std::vector<int>& fds = {}) {
        if (mFd < 0) return false;
        size_t sent = 0;
        bool first = true;
        while (sent < bytes.size() || (first && !fds.empty())) {
            struct iovec iov = {const_cast<char*>(bytes.data()) + sent, bytes.size() - sent};
            struct msghdr msg = {};
            msg.msg_iov = &iov;
            msg.msg_iovlen = 1;
            std::vector<char> control;
            if (first && !fds.empty()) {
                control.assign(CMSG_SPACE(sizeof(int) * fds.size()), 0);
                msg.msg_control = control.data();
                msg.msg_controllen = control.size();
                struct cmsghdr* c = CMSG_FIRSTHDR(&msg);
                c->cmsg_level = SOL_SOCKET;
                c->cmsg_type = SCM_RIGHTS;
                c->cmsg_len = CMSG_LEN(sizeof(int) * fds.size());
                memcpy(CMSG_DATA(c), fds.data(), sizeof(int) * fds.size());
            }
            ssize_t w = sendmsg(mFd, &msg, MSG_NOSIGNAL);
            if (w < 0) {
                if (errno == EINTR) continue;
                mError = errno;
                return false;
            }
            first = false;
            sent += static_cast<size_t>(w);
        }
        return true;
    }

    bool hello(uint32_t kind, uint64_t token) { return send(header(kHello, kind, 0, token, 0, 0)); }

    // Waits up to timeoutMs for a frame or the end of the connection.
    Answer read(int timeoutMs) {
        Answer a;
        if (mFd < 0) {
            a.kind = Answer::kClosed;
            return a;
        }
        int64_t end = twtest::nowMs() + timeoutMs;
        auto fill = [&](char* buf, size_t len) -> int {  // 1 done, 0 closed, -1 time-out
            size_t got = 0;
            while (got < len) {
                int left = static_cast<int>(std::max<int64_t>(0, end - twtest::nowMs()));
                struct pollfd pfd = {mFd, POLLIN, 0};
                int p = poll(&pfd, 1, left);
                if (p < 0 && errno == EINTR) continue;
                if (p <= 0) return -1;
                ssize_t r = recv(mFd, buf + got, len - got, 0);
                if (r < 0 && errno == EINTR) continue;
                if (r < 0) {
                    a.error = errno;
                    return 0;
                }
                if (r == 0) return 0;
                got += static_cast<size_t>(r);
            }
            return 1;
        };
        int r = fill(reinterpret_cast<char*>(&a.h), sizeof(a.h));
        if (r <= 0) {
            a.kind = r == 0 ? Answer::kClosed : Answer::kSilent;
            return a;
        }
        if (a.h.payloadLen > (1u << 20)) {
            ADD_FAILURE() << "answer announces " << a.h.payloadLen << " bytes";
            a.kind = Answer::kClosed;
            return a;
        }
        a.payload.resize(a.h.payloadLen);
        r = a.h.payloadLen == 0 ? 1 : fill(&a.payload[0], a.payload.size());
        a.kind = r == 1 ? Answer::kFrame : r == 0 ? Answer::kClosed : Answer::kSilent;
        return a;
    }

    // Ends our side: the peer reads end of file after what was sent.
    void shutdownWrite() {
        if (mFd >= 0) shutdown(mFd, SHUT_WR);
    }

    void closeNow() {
        if (mFd >= 0) close(mFd);
        mFd = -1;
    }

  private:
    int mFd = -1;
    int mError = 0;
};

::testing::AssertionResult isDropped(RawConn& conn, int timeoutMs = 3000) {
    Answer a = conn.read(timeoutMs);
    if (a.kind == Answer::kClosed) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "connection not dropped: " << describe(a);
}

// The call status (exception code) at the start of a reply's data; 0 when
// the reply holds none.
int32_t replyException(const Answer& a) {
    uint32_t dataLen;
    int32_t exception;
    if (a.payload.size() < 16 + 8) return 0;
    memcpy(&dataLen, a.payload.data(), 4);
    memcpy(&exception, a.payload.data() + 16, 4);
    return dataLen >= 4 ? exception : 0;
}

// A transaction refused: the connection dropped, or a reply carrying an
// error (a transport status, or an exception such as EX_NULL_POINTER).
::testing::AssertionResult isRefused(RawConn& conn, uint64_t txnId, int timeoutMs = 3000) {
    Answer a = conn.read(timeoutMs);
    if (a.kind == Answer::kClosed) return ::testing::AssertionSuccess();
    if (a.kind == Answer::kFrame && a.h.type == kReply && a.h.txnId == txnId &&
        (a.h.status != 0 || replyException(a) != 0)) {
        return ::testing::AssertionSuccess() << describe(a);
    }
    return ::testing::AssertionFailure() << "transaction not refused: " << describe(a);
}

// A reply with status OK whose results start with an OK call status and the
// given uint32 (all our methods' first result).
::testing::AssertionResult isOkReply(const Answer& a, uint64_t txnId, uint32_t first) {
    if (a.kind != Answer::kFrame || a.h.type != kReply || a.h.txnId != txnId || a.h.status != 0) {
        return ::testing::AssertionFailure()
               << "expected an OK reply to " << txnId << ", got " << describe(a);
    }
    uint32_t dataLen, exception, value;
    if (a.payload.size() < 16 + 16) return ::testing::AssertionFailure() << "short reply";
    memcpy(&dataLen, a.payload.data(), 4);
    memcpy(&exception, a.payload.data() + 16, 4);
    memcpy(&value, a.payload.data() + 24, 4);
    if (dataLen < 16 || exception != 0 || value != first) {
        return ::testing::AssertionFailure() << "reply data: length " << dataLen << " exception "
                                             << exception << " value " << value;
    }
    return ::testing::AssertionSuccess();
}

// Both ends of a pipe; the write end is what we pass to the peer. The read
// end sees end of file once every copy of the write end is closed, which
// shows the peer did not keep a descriptor it refused.
struct PipeProbe {
    int rd = -1;
    int wr = -1;
    PipeProbe() {
        int fds[2];
        if (pipe2(fds, O_CLOEXEC) == 0) {
            rd = fds[0];
            wr = fds[1];
        }
    }
    ~PipeProbe() {
        if (rd >= 0) close(rd);
        if (wr >= 0) close(wr);
    }
    void dropOurWriteEnd() {
        if (wr >= 0) close(wr);
        wr = -1;
    }
    bool writersGone(int timeoutMs) {
        struct pollfd pfd = {rd, POLLIN, 0};
        if (poll(&pfd, 1, timeoutMs) <= 0) return false;
        char c;
        return ::read(rd, &c, 1) == 0;
    }
};

// User plus system time the process has used so far.
double cpuSeconds(pid_t pid) {
    std::string stat = twtest::readFile("/proc/" + std::to_string(pid) + "/stat");
    size_t at = stat.rfind(')');
    if (at == std::string::npos) return -1;
    // Fields after the command: state is the 3rd, utime the 14th, stime the 15th.
    std::vector<std::string> fields;
    size_t i = at + 2;
    while (i < stat.size()) {
        size_t end = stat.find(' ', i);
        if (end == std::string::npos) end = stat.size();
        fields.push_back(stat.substr(i, end - i));
        i = end + 1;
    }
    if (fields.size() < 13) return -1;
    long ticks = atol(fields[11].c_str()) + atol(fields[12].c_str());
    return static_cast<double>(ticks) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

long vmPeakKb(pid_t pid) {
    std::string status = twtest::readFile("/proc/" + std::to_string(pid) + "/status");
    size_t at = status.find("VmPeak:");
    if (at == std::string::npos) return -1;
    return strtol(status.c_str() + at + 7, nullptr, 10);
}

// ---------------------------------------------------------------------------

class Wire : public ::testing::Test {
  protected:
    void SetUp() override {
        signal(SIGPIPE, SIG_IGN);
        ASSERT_FALSE(mRoot.path().empty());
        setenv("TWINEL_DEVICE_ROOT", mRoot.path().c_str(), 1);
        mEnv = {"TWINEL_DEVICE_ROOT=" + mRoot.path()};
        ASSERT_TRUE(mManager.start({twtest::binDir() + "/hwservicemanager"}, mEnv,
                                   mRoot.path() + "/manager.log"));
        ASSERT_TRUE(
                twtest::waitFor([&] { return access(managerPath().c_str(), F_OK) == 0; }, 5000));
        startServer(&mServer, "default");
        mServerPath = serverPathOf(mServer.pid());
        ASSERT_FALSE(mServerPath.empty());

        // The object id the client's proxy uses; the raw calls check it.
        sp<V1_1::ITwinel> tw = V1_1::ITwinel::getService();
        ASSERT_NE(nullptr, tw.get());
        sp<IBinder> binder = getOrCreateCachedBinder(tw.get());
        ASSERT_NE(nullptr, binder.get());
        BpHwBinder* proxy = binder->remoteBinder();
        ASSERT_NE(nullptr, proxy);
        EXPECT_EQ(socketDir() + "/" + proxy->address(), mServerPath);
        mTwinelId = proxy->id();
    }

    // The peers' own logs tell why they refused what they refused.
    void TearDown() override {
        if (!HasFailure() && getenv("TWINEL_WIRE_SHOW_LOGS") == nullptr) return;
        DIR* dir = opendir(mRoot.path().c_str());
        if (dir == nullptr) return;
        while (struct dirent* e = readdir(dir)) {
            std::string name = e->d_name;
            if (name.size() < 4 || name.compare(name.size() - 4, 4, ".log") != 0) continue;
            std::string text = twtest::readFile(mRoot.path() + "/" + name);
            size_t from = text.size() > 6000 ? text.find('\n', text.size() - 6000) : 0;
            std::cout << "----- " << name << " -----\n"
                      << text.substr(from == std::string::npos ? 0 : from) << std::endl;
        }
        closedir(dir);
    }

    std::string socketDir() { return mRoot.path() + "/dev/socket/hwbinder"; }
    std::string managerPath() { return socketDir() + "/hwservicemanager"; }

    // The listening socket of a server process: "p<pid>-<hex>".
    std::string serverPathOf(pid_t pid) {
        std::string prefix = "p" + std::to_string(pid) + "-";
        std::string found;
        DIR* dir = opendir(socketDir().c_str());
        if (dir == nullptr) return found;
        while (struct dirent* e = readdir(dir)) {
            if (strncmp(e->d_name, prefix.c_str(), prefix.size()) == 0) {
                found = socketDir() + "/" + e->d_name;
            }
        }
        closedir(dir);
        return found;
    }

    void startServer(twtest::Child* child, const std::string& instance) {
        ASSERT_TRUE(child->start({twtest::binDir() + "/recording_server", "--instance", instance},
                                 mEnv, mRoot.path() + "/server-" + instance + ".log"));
        ASSERT_TRUE(twtest::waitFor(
                [&] {
                    sp<IServiceManager> sm = defaultServiceManager();
                    if (sm == nullptr) return false;
                    Return<sp<IBase>> r = sm->get(V1_1::ITwinel::descriptor, instance);
                    return r.isOk() && static_cast<sp<IBase>>(r) != nullptr;
                },
                5000));
    }

    // Runs `call` (which answers "" on success, else what went wrong) on a
    // fresh thread, so on fresh connections. When it has no answer within
    // timeoutMs the hung processes are killed so that it returns.
    static ::testing::AssertionResult answers(const std::string& what,
                                              std::function<std::string()> call, int timeoutMs,
                                              const std::vector<twtest::Child*>& hung) {
        auto result = std::make_shared<std::promise<std::string>>();
        std::future<std::string> done = result->get_future();
        std::thread caller([result, call] { result->set_value(call()); });
        int64_t start = twtest::nowMs();
        bool answered =
                done.wait_for(std::chrono::milliseconds(timeoutMs)) == std::future_status::ready;
        if (!answered) {
            for (twtest::Child* c : hung) c->kill(SIGKILL);
        }
        caller.join();
        if (!answered) {
            return ::testing::AssertionFailure()
                   << "no answer from " << what << " within " << timeoutMs << " ms";
        }
        std::string err = done.get();
        if (!err.empty()) return ::testing::AssertionFailure() << what << ": " << err;
        return ::testing::AssertionSuccess()
               << what << " answered in " << (twtest::nowMs() - start) << " ms";
    }

    static std::string setBrightnessOn(const sp<V1_1::ITwinel>& tw) {
        if (tw == nullptr) return "no service";
        Return<Status> r = tw->setBrightness(5);
        if (!r.isOk()) return "call failed: " + r.description();
        if (static_cast<Status>(r) != Status::SUCCESS) return "call answered FAILURE";
        return "";
    }

    // An ordinary client: a lookup through the manager, then a call.
    ::testing::AssertionResult serves(int timeoutMs, const std::string& instance = "default",
                                      std::vector<twtest::Child*> hung = {}) {
        if (hung.empty()) hung = {&mServer, &mManager};
        return answers(
                instance,
                [instance] { return setBrightnessOn(V1_1::ITwinel::getService(instance)); },
                timeoutMs, hung);
    }

    ::testing::AssertionResult bothAlive() {
        if (!mServer.running()) return ::testing::AssertionFailure() << "the server died";
        if (!mManager.running()) return ::testing::AssertionFailure() << "the manager died";
        return ::testing::AssertionSuccess();
    }

    // The server's record of calls, through debug().
    std::vector<std::string> serverLog() {
        sp<V1_1::ITwinel> tw = V1_1::ITwinel::getService();
        std::vector<std::string> lines;
        if (tw == nullptr) return lines;
        int fds[2];
        if (pipe2(fds, O_CLOEXEC) != 0) return lines;
        native_handle_t* nh = native_handle_create(1, 0);
        nh->data[0] = fds[1];
        hidl_handle handle;
        handle.setTo(nh, true);
        std::string out;
        std::thread reader([&] {
            char buf[4096];
            ssize_t n;
            while ((n = ::read(fds[0], buf, sizeof(buf))) > 0) out.append(buf, n);
        });
        Return<void> ret = tw->debug(handle, {});
        EXPECT_TRUE(ret.isOk()) << ret.description();
        handle.setTo(nullptr);
        reader.join();
        close(fds[0]);
        size_t start = 0;
        while (start < out.size()) {
            size_t end = out.find('\n', start);
            if (end == std::string::npos) end = out.size();
            lines.push_back(out.substr(start, end - start));
            start = end + 1;
        }
        return lines;
    }

    size_t countLog(const std::string& prefix) {
        std::vector<std::string> log = serverLog();
        return std::count_if(log.begin(), log.end(), [&](const std::string& l) {
            return l.compare(0, prefix.size(), prefix) == 0;
        });
    }

    // A transaction connection to the server, introduced.
    std::unique_ptr<RawConn> txnConn(const std::string& path) {
        auto c = std::make_unique<RawConn>(path);
        EXPECT_TRUE(c->ok()) << path << ": " << strerror(c->error());
        EXPECT_TRUE(c->hello(kConnTxn, mNextToken++));
        return c;
    }

    twtest::TempDir mRoot{"twwire"};
    std::vector<std::string> mEnv;
    twtest::Child mManager;
    twtest::Child mServer;
    std::string mServerPath;
    uint64_t mTwinelId = 0;
    uint64_t mNextToken = 0x5157000000000001ull;
};

}  // namespace

// ---------------------------------------------------------------------------
// Handshakes

TEST_F(Wire, ConnectionsThatDoNotIntroduceThemselvesAreDropped) {
    for (const std::string& path : {mServerPath, managerPath()}) {
        SCOPED_TRACE(path);
        struct Case {
            const char* what;
            std::string bytes;
        };
        std::string garbage(64, '\xa5');
        std::string http = "GET / HTTP/1.1\r\nHost: hwbinder\r\nAccept: */*\r\n\r\n";
        std::vector<Case> cases = {
                {"garbage bytes", garbage},
                {"text", http},
                {"short hello", header(kHello, kConnTxn, 0, 1, 0, 0).substr(0, 20)},
                {"hello of kind 0", header(kHello, 0, 0, 1, 0, 0)},
                {"hello of kind 3", header(kHello, 3, 0, 1, 0, 0)},
                {"hello of kind 0xffffffff", header(kHello, 0xffffffffu, 0, 1, 0, 0)},
                {"hello with bad magic", header(kHello, kConnTxn, 0, 1, 0, 0, 0, 0x31425749)},
                {"hello with a payload", header(kHello, kConnTxn, 0, 1, 0, 8) + "abcdefgh"},
                {"transaction before hello",
                 frame(kTxn, kCodeSetBrightness, 1, mTwinelId, setBrightnessCall(1).encode())},
                {"acquire before hello", header(kAcquire, 0, 0, 1, mTwinelId, 0)},
        };
        for (const auto& c : cases) {
            SCOPED_TRACE(c.what);
            RawConn conn(path);
            ASSERT_TRUE(conn.ok()) << strerror(conn.error());
            ASSERT_TRUE(conn.send(c.bytes));
            EXPECT_TRUE(isDropped(conn));
        }

        // File descriptors riding on a hello are not kept.
        PipeProbe probe;
        {
            RawConn conn(path);
            ASSERT_TRUE(conn.ok());
            ASSERT_TRUE(conn.send(header(kHello, kConnTxn, 0, 7, 0, 0), {probe.wr, probe.wr}));
            probe.dropOurWriteEnd();
            std::string call = setBrightnessCall(3).encode();
            conn.send(frame(kTxn, kCodeSetBrightness, 1, 0x7fff, call));
            conn.read(1000);
        }
        EXPECT_TRUE(probe.writersGone(3000)) << "descriptors sent with a hello were kept";
    }
    EXPECT_TRUE(serves(3000));
    EXPECT_TRUE(bothAlive());
    EXPECT_EQ(0u, countLog("setBrightness(1)"));
}

TEST_F(Wire, SilentConnectionsDoNotHoldTheServer) {
    // Opened and never introduced; introduced and then idle, of both kinds.
    RawConn mute(mServerPath);
    RawConn muteManager(managerPath());
    ASSERT_TRUE(mute.ok());
    ASSERT_TRUE(muteManager.ok());
    auto idleTxn = txnConn(mServerPath);
    RawConn idleControl(mServerPath);
    ASSERT_TRUE(idleControl.hello(kConnControl, 99));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));

    for (int i = 0; i < 3; i++) EXPECT_TRUE(serves(2000)) << i;

    // Still open (not a reason to drop them), and a late valid call on the
    // idle transaction connection is served.
    EXPECT_EQ(Answer::kSilent, mute.read(0).kind);
    EXPECT_EQ(Answer::kSilent, idleControl.read(0).kind);
    ASSERT_TRUE(idleTxn->send(
            frame(kTxn, kCodeSetBrightness, 41, mTwinelId, setBrightnessCall(4141).encode())));
    EXPECT_TRUE(isOkReply(idleTxn->read(3000), 41, 0));
    EXPECT_EQ(1u, countLog("setBrightness(4141)"));
    EXPECT_TRUE(bothAlive());
}

// Connections that use up the server's descriptors: while it cannot accept
// more it must wait, not spin on its listening socket, and it serves again
// once they are gone.
TEST_F(Wire, DescriptorExhaustionDoesNotSpin) {
    struct rlimit lim = {64, 64};
    ASSERT_EQ(0, prlimit(mServer.pid(), RLIMIT_NOFILE, &lim, nullptr)) << strerror(errno);
    std::vector<std::unique_ptr<RawConn>> flood;
    for (int i = 0; i < 96; i++) {
        flood.push_back(std::make_unique<RawConn>(mServerPath));
        ASSERT_TRUE(flood.back()->ok());
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    std::string logPath = mRoot.path() + "/server-default.log";
    size_t logBefore = twtest::readFile(logPath).size();
    double cpuBefore = cpuSeconds(mServer.pid());
    int64_t t0 = twtest::nowMs();
    std::this_thread::sleep_for(std::chrono::milliseconds(1000));
    double cpu = cpuSeconds(mServer.pid()) - cpuBefore;
    double wall = (twtest::nowMs() - t0) / 1000.0;
    size_t logged = twtest::readFile(logPath).size() - logBefore;

    flood.clear();
    EXPECT_TRUE(serves(5000));
    EXPECT_TRUE(bothAlive());
    EXPECT_LT(cpu, 0.2 * wall) << "the server burned " << cpu << " s of CPU in " << wall
                               << " s while out of descriptors";
    EXPECT_LT(logged, 64u * 1024) << "the server logged " << logged << " bytes in " << wall
                                  << " s while out of descriptors";
}

// ---------------------------------------------------------------------------
// Frames

TEST_F(Wire, BrokenFramesDropTheConnection) {
    for (const std::string& path : {mServerPath, managerPath()}) {
        SCOPED_TRACE(path);
        bool isManager = path == managerPath();
        uint64_t target = isManager ? 0 : mTwinelId;
        std::string call =
                (isManager ? tokenOnlyCall(IServiceManager::descriptor) : setBrightnessCall(2))
                        .encode();
        uint32_t code = isManager ? kCodeManagerList : kCodeSetBrightness;
        long peakBefore = vmPeakKb(isManager ? mManager.pid() : mServer.pid());

        struct Case {
            const char* what;
            std::string bytes;
        };
        std::vector<Case> cases = {
                {"bad magic", header(kTxn, code, 0, 1, target, static_cast<uint32_t>(call.size()),
                                     0, 0x32425748) +
                                      call},
                {"huge payload length", header(kTxn, code, 0, 1, target, 0xfffffff0u) + call},
                {"payload just over the limit",
                 header(kTxn, code, 0, 1, target, (64u << 20) + 1) + call},
                {"reply on a transaction connection", frame(kReply, 0, 1, 0, "")},
                {"ack", frame(kAck, 0, 1, 0, "")},
                {"second hello", header(kHello, kConnTxn, 0, 1, 0, 0)},
                {"acquire on a transaction connection", frame(kAcquire, 0, 1, target, "")},
                {"unknown frame type", frame(0x77, code, 1, target, call)},
                {"chain longer than the payload", chainedFrame(code, 1, target, "", {1, 2}, 0, 3)},
                {"chain over the limit",
                 chainedFrame(code, 1, target, call, std::vector<uint64_t>(65, 7))},
                {"negative chain", chainedFrame(code, 1, target, call + "12345678", {}, 0, -2)},
                {"chain on a one-way call", chainedFrame(code, 1, target, call, {9}, kFlagOneway)},
        };
        for (const auto& c : cases) {
            SCOPED_TRACE(c.what);
            auto conn = txnConn(path);
            ASSERT_TRUE(conn->send(c.bytes));
            EXPECT_TRUE(isDropped(*conn));
        }
        long peakAfter = vmPeakKb(isManager ? mManager.pid() : mServer.pid());
        EXPECT_LT(peakAfter - peakBefore, 512 * 1024)
                << "a refused length was allocated (VmPeak " << peakBefore << " -> " << peakAfter
                << " kB)";

        // Payloads cut short by the end of the connection.
        for (size_t keep : {size_t(0), size_t(1), call.size() / 2, call.size() - 1}) {
            auto conn = txnConn(path);
            ASSERT_TRUE(conn->send(
                    header(kTxn, code, 0, 1, target, static_cast<uint32_t>(call.size())) +
                    call.substr(0, keep)));
        }
        // A header cut short by the end of the connection.
        {
            auto conn = txnConn(path);
            ASSERT_TRUE(conn->send(header(kTxn, code, 0, 1, target, 0).substr(0, 17)));
        }
    }
    EXPECT_TRUE(serves(3000));
    EXPECT_TRUE(bothAlive());
    EXPECT_EQ(0u, countLog("setBrightness(2)"));
}

// A sender that starts a frame and stops holds no thread, and its connection
// is cut off once the frame time-out passed. The server has a pool of one
// thread, so a sender that held it would stop every other call.
TEST_F(Wire, HalfFramesAreCutOff) {
    std::string full = frame(kTxn, kCodeSetBrightness, 1, mTwinelId, setBrightnessCall(6).encode());
    // On a transaction connection (the pool thread) and on a control
    // connection (the I/O thread, which also takes new connections).
    auto halfTxn = txnConn(mServerPath);
    ASSERT_TRUE(halfTxn->send(full.substr(0, 20)));
    RawConn halfControl(mServerPath);
    ASSERT_TRUE(halfControl.hello(kConnControl, 1234));
    ASSERT_TRUE(halfControl.send(header(kAcquire, 0, 0, 1, mTwinelId, 0).substr(0, 20)));
    // A header whose payload stops short.
    auto halfPayload = txnConn(managerPath());
    std::string call = tokenOnlyCall(IServiceManager::descriptor).encode();
    ASSERT_TRUE(halfPayload->send(
            frame(kTxn, kCodeManagerList, 1, 0, call).substr(0, sizeof(WireHeader) + 8)));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));

    EXPECT_TRUE(serves(8000));
    // Calls no longer wait for the cut-off: give it the frame time-out.
    Answer txnEnd = halfTxn->read(8000);
    Answer controlEnd = halfControl.read(8000);
    Answer payloadEnd = halfPayload->read(8000);
    EXPECT_EQ(Answer::kClosed, txnEnd.kind) << "transaction connection: " << describe(txnEnd);
    EXPECT_EQ(Answer::kClosed, controlEnd.kind) << "control connection: " << describe(controlEnd);
    EXPECT_EQ(Answer::kClosed, payloadEnd.kind) << "short payload: " << describe(payloadEnd);
    EXPECT_TRUE(serves(2000));
    EXPECT_TRUE(bothAlive());
    EXPECT_EQ(0u, countLog("setBrightness(6)"));
}

// Peers slower than the frame time-out by other means, each against a
// process of its own, in parallel:
//  - a frame sent one byte at a time, each byte within the time-out;
//  - an interface reference naming a peer whose listening socket never
//    accepts (its backlog is full, so a blocking connect waits), sent to a
//    server and to the manager.
TEST_F(Wire, SlowPeersDoNotHoldThePool) {
    twtest::Child trickled, wedged;
    startServer(&trickled, "trickled");
    startServer(&wedged, "wedged");
    std::string trickledPath = serverPathOf(trickled.pid());
    std::string wedgedPath = serverPathOf(wedged.pid());
    ASSERT_FALSE(trickledPath.empty());
    ASSERT_FALSE(wedgedPath.empty());
    // The checks call through these, so they do not depend on the manager.
    sp<V1_1::ITwinel> trickledTw = V1_1::ITwinel::getService("trickled");
    sp<V1_1::ITwinel> wedgedTw = V1_1::ITwinel::getService("wedged");
    ASSERT_NE(nullptr, trickledTw.get());
    ASSERT_NE(nullptr, wedgedTw.get());
    sp<IServiceManager> sm = defaultServiceManager();
    ASSERT_NE(nullptr, sm.get());
    const int64_t start = twtest::nowMs();

    std::string full = frame(kTxn, kCodeSetBrightness, 1, mTwinelId, setBrightnessCall(6).encode());
    auto crawl = txnConn(trickledPath);
    std::atomic<bool> crawlStop{false};
    std::atomic<int64_t> crawlCut{-1};
    std::thread crawler([&] {
        for (size_t i = 0; i < full.size() && !crawlStop; i++) {
            if (!crawl->send(full.substr(i, 1))) break;
            for (int t = 0; t < 8 && !crawlStop; t++) {
                std::this_thread::sleep_for(std::chrono::milliseconds(50));
            }
        }
        Answer a = crawl->read(crawlStop ? 0 : 1000);
        if (a.kind == Answer::kClosed) crawlCut = twtest::nowMs() - start;
    });

    std::string wedgePath = socketDir() + "/wedge";
    int wedge = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(wedge, 0);
    sockaddr_un addr = {};
    addr.sun_family = AF_UNIX;
    memcpy(addr.sun_path, wedgePath.c_str(), wedgePath.size() + 1);
    ASSERT_EQ(0, bind(wedge, reinterpret_cast<sockaddr*>(&addr), sizeof(addr))) << strerror(errno);
    ASSERT_EQ(0, listen(wedge, 0));
    std::vector<int> filler;
    for (int i = 0; i < 8; i++) {
        int f = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        if (connect(f, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) < 0) {
            close(f);
            break;
        }
        filler.push_back(f);
    }
    ASSERT_FALSE(filler.empty());
    WireMessage withPeer = sendAtCall("AT+WEDGE");
    withPeer.objects[0] = binderObject("wedge", 1);
    auto toWedged = txnConn(wedgedPath);
    ASSERT_TRUE(toWedged->send(frame(kTxn, kCodeSendAtCommand, 9, mTwinelId, withPeer.encode())));
    // Any call decodes its objects first; the manager's list() will do.
    WireMessage listWithPeer = tokenOnlyCall(IServiceManager::descriptor);
    listWithPeer.objects.push_back(binderObject("wedge", 1));
    auto toManager = txnConn(managerPath());
    ASSERT_TRUE(toManager->send(frame(kTxn, kCodeManagerList, 9, 0, listWithPeer.encode())));

    std::this_thread::sleep_for(std::chrono::milliseconds(200));

    // Ordinary calls to the three, in parallel.
    ::testing::AssertionResult trickledServes = ::testing::AssertionSuccess();
    ::testing::AssertionResult managerServes = ::testing::AssertionSuccess();
    std::thread t1([&] {
        trickledServes =
                answers("trickled", [&] { return setBrightnessOn(trickledTw); }, 7500, {&trickled});
    });
    std::thread t2([&] {
        managerServes = answers("manager",
                                [&] {
                                    Return<void> r = sm->list([](const hidl_vec<hidl_string>&) {});
                                    return r.isOk() ? std::string() : r.description();
                                },
                                7500, {&mManager});
    });
    ::testing::AssertionResult wedgedServes =
            answers("wedged", [&] { return setBrightnessOn(wedgedTw); }, 7500, {&wedged});
    t1.join();
    t2.join();
    Answer wedgedAnswer = toWedged->read(500);
    Answer managerAnswer = toManager->read(500);
    // The others answer at once now; the crawl is cut at the frame time-out.
    twtest::waitFor([&] { return crawlCut >= 0; }, 7500);
    crawlStop = true;
    crawler.join();
    for (int f : filler) close(f);
    close(wedge);

    EXPECT_TRUE(trickledServes) << "while a frame arrived a byte at a time";
    EXPECT_GE(crawlCut.load(), 0) << "a frame sent a byte at a time was never cut off";
    EXPECT_LT(crawlCut.load(), 7500) << "a frame sent a byte at a time held the server";
    EXPECT_TRUE(wedgedServes) << "after a transaction naming a peer that never accepts";
    EXPECT_NE(Answer::kSilent, wedgedAnswer.kind)
            << "a transaction naming a peer that never accepts got no answer";
    EXPECT_TRUE(managerServes) << "after a transaction naming a peer that never accepts";
    EXPECT_NE(Answer::kSilent, managerAnswer.kind)
            << "the manager left a transaction naming a peer that never accepts unanswered";
    EXPECT_TRUE(trickled.running());
    EXPECT_TRUE(wedged.running());
    EXPECT_TRUE(bothAlive());
}

// Rogue peers all at once, against a server whose pool has one thread and
// against the manager: senders stopped partway through a frame, a transaction
// whose references name a peer that accepts and never answers, a process
// flooding the server with connections and a flood of control frames. None
// of them may hold a thread: ordinary calls are answered well within the
// frame time-out each stalled sender would once have cost.
TEST_F(Wire, RoguePeersCostOthersNothing) {
    std::string full = frame(kTxn, kCodeSetBrightness, 1, mTwinelId, setBrightnessCall(6).encode());
    std::vector<std::unique_ptr<RawConn>> stalled;
    for (const std::string& path : {mServerPath, managerPath()}) {
        for (size_t cut : {size_t(1), size_t(20), sizeof(WireHeader) + 8, full.size() - 1}) {
            stalled.push_back(txnConn(path));
            ASSERT_TRUE(stalled.back()->send(full.substr(0, cut)));
        }
        stalled.push_back(std::make_unique<RawConn>(path));
        ASSERT_TRUE(stalled.back()->hello(kConnControl, mNextToken++));
        ASSERT_TRUE(stalled.back()->send(header(kAcquire, 0, 0, 1, mTwinelId, 0).substr(0, 20)));
    }

    // A peer that takes connections into its backlog and never reads them.
    std::string silentPath = socketDir() + "/silent";
    int silent = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(silent, 0);
    sockaddr_un addr = {};
    addr.sun_family = AF_UNIX;
    memcpy(addr.sun_path, silentPath.c_str(), silentPath.size() + 1);
    ASSERT_EQ(0, bind(silent, reinterpret_cast<sockaddr*>(&addr), sizeof(addr))) << strerror(errno);
    ASSERT_EQ(0, listen(silent, 64));
    WireMessage lying = setBrightnessCall(7);
    for (uint64_t id = 1; id <= 200; id++) lying.objects.push_back(binderObject("silent", id));
    auto liar = txnConn(mServerPath);
    ASSERT_TRUE(liar->send(frame(kTxn, kCodeSetBrightness, 9, mTwinelId, lying.encode())));

    // Another process opens far more connections than one peer may hold and
    // reports how many the server closed.
    constexpr int kFlood = 400;
    int report[2];
    ASSERT_EQ(0, pipe2(report, O_CLOEXEC));
    sockaddr_un serverAddr = {};
    serverAddr.sun_family = AF_UNIX;
    memcpy(serverAddr.sun_path, mServerPath.c_str(), mServerPath.size() + 1);
    pid_t flooder = fork();
    ASSERT_GE(flooder, 0);
    if (flooder == 0) {
        // Only async-signal-safe calls from here: this process has threads.
        static int fds[kFlood];
        int opened = 0;
        for (; opened < kFlood; opened++) {
            fds[opened] = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
            if (fds[opened] < 0 || connect(fds[opened], reinterpret_cast<sockaddr*>(&serverAddr),
                                           sizeof(serverAddr)) != 0) {
                break;
            }
        }
        struct timespec wait = {2, 0};
        nanosleep(&wait, nullptr);
        int closed = 0;
        for (int i = 0; i < opened; i++) {
            char c;
            if (recv(fds[i], &c, 1, MSG_DONTWAIT | MSG_PEEK) == 0) closed++;
        }
        int result[2] = {opened, closed};
        if (write(report[1], result, sizeof(result)) != sizeof(result)) _exit(1);
        pause();
        _exit(0);
    }
    close(report[1]);

    // Control frames as fast as the server takes them.
    RawConn flood(mServerPath);
    ASSERT_TRUE(flood.hello(kConnControl, mNextToken++));
    std::atomic<bool> stop{false};
    std::atomic<size_t> floodFrames{0};
    std::thread flooding([&] {
        std::string batch;
        for (int i = 0; i < 100; i++) batch += header(kRelease, 0, 0, 0, 0x7777 + i, 0);
        while (!stop) {
            ssize_t w = ::send(flood.fd(), batch.data(), batch.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
            if (w < 0 && errno != EAGAIN && errno != EINTR) break;
            if (w == static_cast<ssize_t>(batch.size())) {
                floodFrames += 100;
            } else {
                // A partial write would cut a frame: finish it before going on.
                if (w > 0 && !flood.send(batch.substr(static_cast<size_t>(w)))) break;
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            }
        }
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(200));

    for (int i = 0; i < 3; i++) EXPECT_TRUE(serves(2500)) << i;
    EXPECT_TRUE(isOkReply(liar->read(2500), 9, 0)) << "references to a peer that never answers";

    int result[2] = {0, 0};
    bool reported = ::read(report[0], result, sizeof(result)) == sizeof(result);
    kill(flooder, SIGKILL);
    waitpid(flooder, nullptr, 0);
    close(report[0]);
    EXPECT_TRUE(serves(2500)) << "while flooded";
    stop = true;
    flooding.join();
    close(silent);
    unlink(silentPath.c_str());

    ASSERT_TRUE(reported);
    EXPECT_EQ(kFlood, result[0]) << "the flood could not connect";
    EXPECT_GE(result[1], kFlood - 200) << "connections past the per-peer limit were kept";
    EXPECT_GT(floodFrames.load(), 1000u) << "the control flood did not run";
    EXPECT_TRUE(bothAlive());
    EXPECT_EQ(0u, countLog("setBrightness(6)"));
}

// ---------------------------------------------------------------------------
// Transactions

// A caller that takes a reply carrying an object of the serving process and
// never acknowledges it holds no thread: the object waits with its
// connection. The manager serves with a pool of one thread and answers get()
// of itself with its own object; a late ACK is still taken.
TEST_F(Wire, UnacknowledgedRepliesDoNotHoldThePool) {
    sp<IServiceManager> sm = defaultServiceManager();
    ASSERT_NE(nullptr, sm.get());
    auto silent = txnConn(managerPath());
    ASSERT_TRUE(
            silent->send(frame(kTxn, kCodeManagerGet, 1, 0,
                               managerGetCall(IServiceManager::descriptor, "default").encode())));
    Answer got = silent->read(3000);
    ASSERT_EQ(Answer::kFrame, got.kind) << describe(got);
    ASSERT_EQ(kReply, got.h.type) << describe(got);
    ASSERT_NE(0u, got.h.flags & kFlagWantAck) << "the reply carried no object of the manager";

    const int64_t start = twtest::nowMs();
    EXPECT_TRUE(answers("manager",
                        [&] {
                            Return<void> r = sm->list([](const hidl_vec<hidl_string>&) {});
                            return r.isOk() ? std::string() : r.description();
                        },
                        7500, {&mManager}));
    EXPECT_LT(twtest::nowMs() - start, 2000) << "the unacknowledged reply held the manager";

    ASSERT_TRUE(silent->send(frame(kAck, 0, 1, 0, "")));
    ASSERT_TRUE(silent->send(frame(kTxn, kCodeManagerList, 2, 0,
                                   tokenOnlyCall(IServiceManager::descriptor).encode())));
    Answer listed = silent->read(3000);
    EXPECT_EQ(Answer::kFrame, listed.kind) << describe(listed);
    EXPECT_EQ(kReply, listed.h.type);
    EXPECT_EQ(2u, listed.h.txnId);
    EXPECT_TRUE(bothAlive());
}

// A call naming waiting threads nobody here knows (a guess, or a cookie
// whose call is over) is served as any other call: no waiting thread of the
// server is made to serve it, and its chain is no part of its arguments.
TEST_F(Wire, ChainsNamingNoWaitingThreadAreServedByThePool) {
    auto conn = txnConn(mServerPath);
    for (uint64_t txn = 1; txn <= 3; txn++) {
        std::vector<uint64_t> chain(txn, 0x1234567890abcdefull * txn);
        ASSERT_TRUE(conn->send(chainedFrame(kCodeSetBrightness, txn, mTwinelId,
                                            setBrightnessCall(800 + txn).encode(), chain)));
        ASSERT_TRUE(isOkReply(conn->read(3000), txn, static_cast<uint32_t>(Status::SUCCESS)));
    }
    EXPECT_EQ(1u, countLog("setBrightness(801)"));
    EXPECT_EQ(1u, countLog("setBrightness(803)"));
}

// Frames that arrive together are read together: each is served, in order,
// including one whose end comes later.
TEST_F(Wire, FramesSentTogetherAreEachServed) {
    auto conn = txnConn(mServerPath);
    std::string third =
            frame(kTxn, kCodeSetBrightness, 3, mTwinelId, setBrightnessCall(903).encode());
    ASSERT_TRUE(conn->send(
            frame(kTxn, kCodeSetBrightness, 1, mTwinelId, setBrightnessCall(901).encode()) +
            frame(kTxn, kCodeSetBrightness, 2, mTwinelId, setBrightnessCall(902).encode()) +
            third.substr(0, 20)));
    for (uint64_t txn : {1, 2}) {
        ASSERT_TRUE(isOkReply(conn->read(3000), txn, static_cast<uint32_t>(Status::SUCCESS)));
    }
    ASSERT_TRUE(conn->send(third.substr(20)));
    ASSERT_TRUE(isOkReply(conn->read(3000), 3, static_cast<uint32_t>(Status::SUCCESS)));
    std::vector<std::string> log = serverLog();
    auto at = [&](const std::string& prefix) {
        return std::find_if(log.begin(), log.end(),
                            [&](const std::string& l) { return l.rfind(prefix, 0) == 0; }) -
               log.begin();
    };
    EXPECT_LT(at("setBrightness(901)"), at("setBrightness(902)"));
    EXPECT_LT(at("setBrightness(902)"), at("setBrightness(903)"));
    EXPECT_LT(at("setBrightness(903)"), static_cast<long>(log.size()));
}

TEST_F(Wire, TransactionsForUnknownTargetsAndCodesGetErrors) {
    auto conn = txnConn(mServerPath);
    uint64_t txn = 100;

    // The frames built here are right: a valid call is served.
    ASSERT_TRUE(conn->send(
            frame(kTxn, kCodeSetBrightness, ++txn, mTwinelId, setBrightnessCall(777).encode())));
    ASSERT_TRUE(isOkReply(conn->read(3000), txn, static_cast<uint32_t>(Status::SUCCESS)));

    for (uint64_t target : {uint64_t(0), mTwinelId + 1000, uint64_t(0x7fffffff), ~uint64_t(0)}) {
        SCOPED_TRACE("target " + std::to_string(target));
        ASSERT_TRUE(conn->send(
                frame(kTxn, kCodeSetBrightness, ++txn, target, setBrightnessCall(778).encode())));
        Answer a = conn->read(3000);
        ASSERT_EQ(Answer::kFrame, a.kind) << describe(a);
        EXPECT_EQ(kReply, a.h.type);
        EXPECT_EQ(txn, a.h.txnId);
        EXPECT_EQ(DEAD_OBJECT, a.h.status);
    }
    for (uint32_t code : {0u, 39u, 9999u, 0x0effffffu, 0xffffffffu}) {
        SCOPED_TRACE("code " + std::to_string(code));
        ASSERT_TRUE(
                conn->send(frame(kTxn, code, ++txn, mTwinelId, setBrightnessCall(779).encode())));
        Answer a = conn->read(3000);
        ASSERT_EQ(Answer::kFrame, a.kind) << describe(a);
        EXPECT_EQ(txn, a.h.txnId);
        EXPECT_EQ(UNKNOWN_TRANSACTION, a.h.status);
    }
    {
        SCOPED_TRACE("wrong interface token");
        WireMessage m;
        dataToken(&m.data, "vendor.zyr.hardware.other@1.0::IOther");
        dataU32(&m.data, 780);
        auto fresh = txnConn(mServerPath);
        ASSERT_TRUE(fresh->send(frame(kTxn, kCodeSetBrightness, 1, mTwinelId, m.encode())));
        EXPECT_TRUE(isRefused(*fresh, 1));
    }
    {
        SCOPED_TRACE("arguments missing");
        auto fresh = txnConn(mServerPath);
        ASSERT_TRUE(fresh->send(frame(kTxn, kCodeSetBrightness, 1, mTwinelId,
                                      tokenOnlyCall(V1_0::ITwinel::descriptor).encode())));
        EXPECT_TRUE(isRefused(*fresh, 1));
    }

    // One-way calls to nothing get no answer; the connection stays usable.
    auto second = txnConn(mServerPath);
    ASSERT_TRUE(second->send(frame(kTxn, kCodeSetBrightness, 1, 0x7777,
                                   setBrightnessCall(781).encode(), kFlagOneway)));
    ASSERT_TRUE(second->send(
            frame(kTxn, kCodeSetBrightness, 2, mTwinelId, setBrightnessCall(782).encode())));
    EXPECT_TRUE(isOkReply(second->read(3000), 2, 0));

    EXPECT_TRUE(serves(3000));
    EXPECT_TRUE(bothAlive());
    std::vector<std::string> log = serverLog();
    for (const char* never :
         {"setBrightness(778)", "setBrightness(779)", "setBrightness(780)", "setBrightness(781)"}) {
        EXPECT_EQ(log.end(), std::find(log.begin(), log.end(), never)) << never;
    }
    EXPECT_NE(log.end(), std::find(log.begin(), log.end(), "setBrightness(777)"));
    EXPECT_NE(log.end(), std::find(log.begin(), log.end(), "setBrightness(782)"));
}

// hwbinder's transaction buffer is 1 MiB. What the driver counts of
// drawSubDisplay(vec<uint32_t> of n): the 48-byte data section (interface
// token), two buffer objects with their offsets (2 x 48 bytes), the 16-byte
// vec header and the padded elements.
TEST_F(Wire, TransactionsPastTheBufferLimitFail) {
    auto cost = [](size_t n) { return 48 + 2 * 48 + 16 + padded(4 * n); };
    const size_t fit = ((1u << 20) - 160) / 4;
    ASSERT_EQ(size_t(1) << 20, cost(fit));
    const std::string fitLog = "drawSubDisplay(" + std::to_string(fit) + ",";
    const std::string overLog = "drawSubDisplay(" + std::to_string(fit + 2) + ",";

    // A client is refused before anything is sent; the call that fits goes through.
    sp<V1_1::ITwinel> tw = V1_1::ITwinel::getService();
    ASSERT_NE(nullptr, tw.get());
    Return<Status> over = tw->drawSubDisplay(hidl_vec<uint32_t>(fit + 2));
    ASSERT_FALSE(over.isOk());
    EXPECT_NE(std::string::npos, over.description().find("FAILED_TRANSACTION"))
            << over.description();
    Return<Status> at = tw->drawSubDisplay(hidl_vec<uint32_t>(fit));
    ASSERT_TRUE(at.isOk()) << at.description();
    EXPECT_EQ(Status::SUCCESS, static_cast<Status>(at));

    // A peer that sends one anyway loses its connection; a raw call that
    // fits is served.
    {
        auto conn = txnConn(mServerPath);
        ASSERT_TRUE(conn->send(frame(kTxn, kCodeDrawSubDisplay, 1, mTwinelId,
                                     drawCall(std::vector<uint32_t>(fit + 2, 7)).encode())));
        EXPECT_TRUE(isDropped(*conn, 5000));
    }
    {
        auto conn = txnConn(mServerPath);
        ASSERT_TRUE(conn->send(frame(kTxn, kCodeDrawSubDisplay, 2, mTwinelId,
                                     drawCall(std::vector<uint32_t>(fit, 7)).encode())));
        EXPECT_TRUE(isOkReply(conn->read(5000), 2, static_cast<uint32_t>(Status::SUCCESS)));
    }

    // A header announcing 64 MiB, followed by a little of its payload, is
    // refused at once and allocates nothing near that size.
    for (const std::string& path : {mServerPath, managerPath()}) {
        SCOPED_TRACE(path);
        pid_t pid = path == managerPath() ? mManager.pid() : mServer.pid();
        long peakBefore = vmPeakKb(pid);
        auto conn = txnConn(path);
        ASSERT_TRUE(conn->send(header(kTxn, kCodeSetBrightness, 0, 3, 0, 64u << 20) +
                               std::string(4096, '\x11')));
        EXPECT_TRUE(isDropped(*conn, 3000));
        long peakAfter = vmPeakKb(pid);
        EXPECT_LT(peakAfter - peakBefore, 32 * 1024)
                << "VmPeak " << peakBefore << " -> " << peakAfter << " kB";
    }

    EXPECT_EQ(2u, countLog(fitLog));
    EXPECT_EQ(0u, countLog(overLog));
    EXPECT_TRUE(serves(3000));
    EXPECT_TRUE(bothAlive());
}

TEST_F(Wire, MalformedPayloadsAreRefused) {
    struct Case {
        std::string what;
        uint32_t code;
        WireMessage msg;
        int fdsToSend = 0;
    };
    std::vector<Case> cases;
    auto at = [&](const std::string& what, const std::function<void(WireMessage*)>& mutate) {
        WireMessage m = sendAtCall("AT+HOSTILE");
        mutate(&m);
        cases.push_back({what, kCodeSendAtCommand, m});
    };

    // Counts.
    at("too many buffers", [](WireMessage* m) { m->bufCount = (1 << 16) + 1; });
    at("too many objects", [](WireMessage* m) { m->objCount = (1 << 12) + 1; });
    at("more buffers declared than sent", [](WireMessage* m) { m->bufCount = 3; });
    at("more objects declared than sent", [](WireMessage* m) { m->objCount = 2; });
    at("data section longer than the message", [](WireMessage* m) { m->dataLen = 4096; });
    at("data section of 4 GiB", [](WireMessage* m) { m->dataLen = 0xffffffff; });
    at("trailing bytes", [](WireMessage* m) { m->trailing = std::string(8, '\0'); });
    // Buffers and their fix-ups.
    at("parent is the buffer itself", [](WireMessage* m) { m->buffers[1].parent = 1; });
    at("parent is a later buffer", [](WireMessage* m) {
        m->buffers.push_back(buffer(std::string(16, 'x')));
        m->buffers[1].parent = 2;
    });
    at("parent offset past the parent", [](WireMessage* m) { m->buffers[1].offset = 16; });
    at("parent offset not aligned", [](WireMessage* m) { m->buffers[1].offset = 4; });
    at("parent offset wrapping around",
       [](WireMessage* m) { m->buffers[1].offset = 0xfffffffffffffff8ull; });
    at("fix-up of the size field", [](WireMessage* m) { m->buffers[1].offset = 8; });
    at("two fix-ups of one pointer",
       [](WireMessage* m) { m->buffers.push_back(buffer(std::string("AT+TWICE") + '\0', 0, 0)); });
    at("buffer longer than the message",
       [](WireMessage* m) { m->buffers[1].length = 0xffffffffffffffffull; });
    at("buffer length beyond its bytes", [](WireMessage* m) { m->buffers[1].length = 4096; });
    at("null buffer with data", [](WireMessage* m) { m->buffers[1].flags = 1; });
    at("null string buffer", [](WireMessage* m) {
        m->buffers[1].flags = 1;
        m->buffers[1].length = 0;
        m->buffers[1].bytes.clear();
    });
    at("null top-level buffer", [](WireMessage* m) {
        m->buffers[0] = WireBuffer{0, kNoParent, 1, 0, ""};
        m->buffers.pop_back();
    });
    at("string without its child buffer", [](WireMessage* m) { m->buffers.pop_back(); });
    at("string child at top level", [](WireMessage* m) { m->buffers[1].parent = kNoParent; });
    // Strings: hidl_string {pointer, uint32 size, bool owns}.
    at("string size below its buffer",
       [](WireMessage* m) { m->buffers[0].bytes = sizedStruct(4); });
    at("string size above its buffer",
       [](WireMessage* m) { m->buffers[0].bytes = sizedStruct(11); });
    at("string size 0xffffffff",
       [](WireMessage* m) { m->buffers[0].bytes = sizedStruct(0xffffffffu); });
    at("string without its terminator", [](WireMessage* m) { m->buffers[1].bytes.back() = 'X'; });
    at("string struct too short", [](WireMessage* m) {
        m->buffers[0].bytes.resize(8);
        m->buffers[0].length = 8;
    });
    // Objects.
    at("object index out of range", [](WireMessage* m) {
        m->data.resize(m->data.size() - 8);
        dataU32(&m->data, 5);
    });
    at("object index missing", [](WireMessage* m) { m->data.resize(m->data.size() - 8); });
    at("object of unknown kind", [](WireMessage* m) { m->objects[0].kind = 7; });
    at("native handle where a reference is expected", [](WireMessage* m) {
        WireObject h;
        h.kind = kObjHandle;
        put32(&h.extra, 0xffffffffu);  // null handle
        put32(&h.extra, 0);
        m->objects[0] = h;
    });
    at("reference with a parent", [](WireMessage* m) {
        m->objects[0] = binderObject("hwservicemanager", 0);
        m->objects[0].parent = 0;
    });
    at("reference with an empty address",
       [](WireMessage* m) { m->objects[0] = binderObject("", 1); });
    at("reference with a path address",
       [](WireMessage* m) { m->objects[0] = binderObject("../../../tmp/x", 1); });
    at("reference with an overlong address",
       [](WireMessage* m) { m->objects[0] = binderObject(std::string(200, 'a'), 1); });
    at("reference truncated", [](WireMessage* m) {
        m->objects[0] = binderObject("hwservicemanager", 0);
        m->objects[0].extra.resize(12);
    });
    at("handle with too many ints", [](WireMessage* m) {
        WireObject h;
        h.kind = kObjHandle;
        put32(&h.extra, 0);
        put32(&h.extra, 0xffffffffu);
        m->objects.push_back(h);
    });
    at("handle with more descriptors than sent", [](WireMessage* m) {
        WireObject h;
        h.kind = kObjHandle;
        put32(&h.extra, 3);
        put32(&h.extra, 0);
        m->objects.push_back(h);
    });
    at("handle fixing up a pointer a buffer fixed up", [](WireMessage* m) {
        WireObject h;
        h.kind = kObjHandle;
        h.parent = 0;
        h.offset = 0;
        put32(&h.extra, 0xffffffffu);
        put32(&h.extra, 0);
        m->objects.push_back(h);
    });
    at("handle fixing up outside its parent", [](WireMessage* m) {
        WireObject h;
        h.kind = kObjHandle;
        h.parent = 0;
        h.offset = 16;
        put32(&h.extra, 0xffffffffu);
        put32(&h.extra, 0);
        m->objects.push_back(h);
    });
    at("handle with a parent out of range", [](WireMessage* m) {
        WireObject h;
        h.kind = kObjHandle;
        h.parent = 9;
        put32(&h.extra, 0xffffffffu);
        put32(&h.extra, 0);
        m->objects.push_back(h);
    });
    // Descriptors passed with SCM_RIGHTS against the count declared.
    {
        WireMessage m = sendAtCall("AT+HOSTILE");
        m.fdCount = 1;
        cases.push_back({"two descriptors sent, one declared", kCodeSendAtCommand, m, 2});
        m.fdCount = 2;
        cases.push_back(
                {"two descriptors sent and declared, none claimed", kCodeSendAtCommand, m, 2});
        m.fdCount = 1;
        cases.push_back({"one descriptor declared, none sent", kCodeSendAtCommand, m, 0});
        m.fdCount = 0;
        cases.push_back({"descriptor sent, none declared", kCodeSendAtCommand, m, 1});
        m.fdCount = 17;
        cases.push_back({"more descriptors than a frame may carry", kCodeSendAtCommand, m, 17});
    }
    // vec<uint32_t>: {pointer, uint32 size, bool owns} and its elements.
    auto draw = [&](const std::string& what, const std::function<void(WireMessage*)>& mutate) {
        WireMessage m = drawCall({0xdead0001, 0xdead0002, 0xdead0003, 0xdead0004});
        mutate(&m);
        cases.push_back({what, kCodeDrawSubDisplay, m});
    };
    draw("vector size above its buffer",
         [](WireMessage* m) { m->buffers[0].bytes = sizedStruct(5); });
    draw("vector size below its buffer",
         [](WireMessage* m) { m->buffers[0].bytes = sizedStruct(3); });
    draw("empty vector with elements",
         [](WireMessage* m) { m->buffers[0].bytes = sizedStruct(0); });
    draw("vector size overflowing its byte count",
         [](WireMessage* m) { m->buffers[0].bytes = sizedStruct(0x40000001u); });
    draw("vector of 4 with a null buffer", [](WireMessage* m) {
        m->buffers[1] = WireBuffer{0, 0, 1, 0, ""};
    });
    draw("vector without its elements", [](WireMessage* m) { m->buffers.pop_back(); });
    draw("vector elements not 4-byte sized", [](WireMessage* m) {
        m->buffers[1].bytes.resize(15);
        m->buffers[1].length = 15;
    });

    // The unmutated calls are served, so the refusals below are the
    // mutations' doing.
    {
        auto conn = txnConn(mServerPath);
        ASSERT_TRUE(conn->send(
                frame(kTxn, kCodeSendAtCommand, 1, mTwinelId, sendAtCall("AT+BASELINE").encode())));
        ASSERT_TRUE(isOkReply(conn->read(3000), 1, 0));
        ASSERT_TRUE(conn->send(
                frame(kTxn, kCodeDrawSubDisplay, 2, mTwinelId, drawCall({1, 2, 3, 4}).encode())));
        ASSERT_TRUE(isOkReply(conn->read(3000), 2, 0));
        WireMessage twoFds = sendAtCall("AT+FDS");  // descriptors claimed by a handle
        WireObject h;
        h.kind = kObjHandle;
        put32(&h.extra, 2);
        put32(&h.extra, 0);
        twoFds.objects.push_back(h);
        twoFds.fdCount = 2;
        PipeProbe probe;
        ASSERT_TRUE(conn->send(frame(kTxn, kCodeSendAtCommand, 3, mTwinelId, twoFds.encode()),
                               {probe.wr, probe.wr}));
        probe.dropOurWriteEnd();
        ASSERT_TRUE(isOkReply(conn->read(3000), 3, 0));
        EXPECT_TRUE(probe.writersGone(3000)) << "descriptors of a served call were kept";
    }

    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        PipeProbe probe;
        std::vector<int> fds(c.fdsToSend, probe.wr);
        auto conn = txnConn(mServerPath);
        ASSERT_TRUE(conn->send(frame(kTxn, c.code, 50, mTwinelId, c.msg.encode()), fds));
        probe.dropOurWriteEnd();
        EXPECT_TRUE(isRefused(*conn, 50));
        if (c.fdsToSend > 0) {
            EXPECT_TRUE(probe.writersGone(3000)) << "descriptors of a refused call were kept";
        }
        ASSERT_TRUE(mServer.running());
    }

    EXPECT_TRUE(serves(3000));
    EXPECT_TRUE(bothAlive());
    std::vector<std::string> log = serverLog();
    EXPECT_EQ(1, std::count(log.begin(), log.end(), "sendAtCommand(AT+BASELINE,null)"));
    EXPECT_EQ(1, std::count(log.begin(), log.end(), "sendAtCommand(AT+FDS,null)"));
    for (const auto& line : log) {
        EXPECT_EQ(std::string::npos, line.find("HOSTILE")) << line;
        EXPECT_EQ(std::string::npos, line.find("TWICE")) << line;
        if (line.compare(0, 15, "drawSubDisplay(") == 0) {
            EXPECT_EQ(
                    "drawSubDisplay(4," + std::to_string(((1ull * 31 + 2) * 31 + 3) * 31 + 4) + ")",
                    line);
        }
    }
}

// ---------------------------------------------------------------------------
// Control connections

TEST_F(Wire, ControlConnectionAbuseIsContained) {
    for (const std::string& path : {mServerPath, managerPath()}) {
        SCOPED_TRACE(path);
        bool isManager = path == managerPath();
        uint64_t real = isManager ? 0 : mTwinelId;

        RawConn control(path);
        ASSERT_TRUE(control.hello(kConnControl, 0x600d));
        // References to objects that do not exist are refused.
        uint64_t req = 10;
        for (uint64_t id : {uint64_t(0x7777), real + 500, ~uint64_t(0),
                            isManager ? uint64_t(0x7778) : uint64_t(0)}) {
            SCOPED_TRACE("acquire " + std::to_string(id));
            ASSERT_TRUE(control.send(header(kAcquire, 0, 0, ++req, id, 0)));
            Answer a = control.read(3000);
            ASSERT_EQ(Answer::kFrame, a.kind) << describe(a);
            EXPECT_EQ(kAcquireReply, a.h.type);
            EXPECT_EQ(req, a.h.txnId);
            EXPECT_EQ(id, a.h.target);
            EXPECT_NE(0, a.h.status);
        }
        // Releases of references never taken, the real object included,
        // must not take the other holders' references away.
        for (int i = 0; i < 50; i++) {
            ASSERT_TRUE(control.send(header(kRelease, 0, 0, 0, real, 0)));
            ASSERT_TRUE(control.send(header(kRelease, 0, 0, 0, 0x7777 + i, 0)));
        }
        // Stray bookkeeping frames are ignored.
        ASSERT_TRUE(control.send(header(kTxnDone, 0, 0, 12345, 0, 0)));
        ASSERT_TRUE(control.send(header(kAcquireReply, 0, 0, 999, real, 0)));
        // The connection still answers: a real reference, then its release.
        ASSERT_TRUE(control.send(header(kAcquire, 0, 0, ++req, real, 0)));
        Answer a = control.read(3000);
        ASSERT_EQ(Answer::kFrame, a.kind) << describe(a);
        EXPECT_EQ(kAcquireReply, a.h.type);
        EXPECT_EQ(req, a.h.txnId);
        EXPECT_EQ(0, a.h.status);
        ASSERT_TRUE(control.send(header(kRelease, 0, 0, 0, real, 0)));
        ASSERT_TRUE(control.send(header(kRelease, 0, 0, 0, real, 0)));

        // Frames a control connection never carries end it.
        struct Case {
            const char* what;
            std::string bytes;
            int fds;
        };
        std::vector<Case> cases = {
                {"transaction", frame(kTxn, 1, 1, real, setBrightnessCall(8).encode()), 0},
                {"reply", frame(kReply, 0, 1, 0, ""), 0},
                {"unknown type", frame(0x99, 0, 1, real, ""), 0},
                {"hello", header(kHello, kConnControl, 0, 1, 0, 0), 0},
                {"acquire with a payload", frame(kAcquire, 0, 1, real, std::string(8, 'p')), 0},
                {"acquire with descriptors", header(kAcquire, 0, 0, 1, real, 0), 2},
                {"bad magic", header(kAcquire, 0, 0, 1, real, 0, 0, 0), 0},
                {"huge payload", header(kRelease, 0, 0, 1, real, 0xfffffff0u), 0},
        };
        for (const auto& c : cases) {
            SCOPED_TRACE(c.what);
            PipeProbe probe;
            RawConn conn(path);
            ASSERT_TRUE(conn.hello(kConnControl, 0x0bad));
            ASSERT_TRUE(conn.send(c.bytes, std::vector<int>(c.fds, probe.wr)));
            probe.dropOurWriteEnd();
            EXPECT_TRUE(isDropped(conn));
            if (c.fds > 0) {
                EXPECT_TRUE(probe.writersGone(3000));
            }
        }

        // References held by a connection that ends are given back; the
        // object lives on for its other holders.
        {
            RawConn holder(path);
            ASSERT_TRUE(holder.hello(kConnControl, 0x401d));
            for (int i = 0; i < 20; i++) {
                ASSERT_TRUE(holder.send(header(kAcquire, 0, 0, 100 + i, real, 0)));
            }
            for (int i = 0; i < 20; i++) {
                Answer r = holder.read(3000);
                ASSERT_EQ(Answer::kFrame, r.kind) << describe(r);
                EXPECT_EQ(0, r.h.status);
            }
        }
        EXPECT_TRUE(serves(3000));
    }

    // The proxy taken before the abuse still works, and so does a fresh one.
    sp<V1_1::ITwinel> tw = V1_1::ITwinel::getService();
    ASSERT_NE(nullptr, tw.get());
    Return<Status> r = tw->setBrightness(9);
    ASSERT_TRUE(r.isOk()) << r.description();
    EXPECT_TRUE(serves(3000));
    EXPECT_TRUE(bothAlive());
    EXPECT_EQ(0u, countLog("setBrightness(8)"));
}

// ---------------------------------------------------------------------------
// Random input

namespace {

// Byte-level damage to an encoded message.
std::string mutate(std::string bytes, std::mt19937& rng) {
    // Mostly one small in-place change, so that many messages still decode
    // and reach the stubs; sometimes several, or a change of length.
    uint32_t roll = rng() % 20;
    int edits = roll < 12 ? 1 : roll < 17 ? 2 : 3 + rng() % 2;
    for (int e = 0; e < edits; e++) {
        static const uint32_t kOps[] = {0, 0, 0, 1, 1, 1, 2, 2, 2, 3, 4, 5, 6};
        uint32_t op = kOps[rng() % (sizeof(kOps) / sizeof(kOps[0]))];
        size_t at = bytes.empty() ? 0 : rng() % bytes.size();
        switch (op) {
            case 0:  // flip a bit
                if (!bytes.empty()) bytes[at] ^= static_cast<char>(1u << (rng() % 8));
                break;
            case 1:  // random byte
                if (!bytes.empty()) bytes[at] = static_cast<char>(rng());
                break;
            case 2: {  // interesting 32-bit value, aligned
                static const uint32_t kValues[] = {
                        0, 1, 2, 7, 8, 15, 16, 0x7fffffff, 0x80000000u, 0xfffffff0u, 0xffffffffu};
                uint32_t v = kValues[rng() % (sizeof(kValues) / sizeof(kValues[0]))];
                size_t p = at & ~size_t(3);
                if (p + 4 <= bytes.size()) memcpy(&bytes[p], &v, 4);
                break;
            }
            case 3:  // truncate
                bytes.resize(at);
                break;
            case 4:  // insert
                bytes.insert(at, std::string(1 + rng() % 16, static_cast<char>(rng())));
                break;
            case 5:  // erase
                bytes.erase(at, 1 + rng() % 16);
                break;
            case 6:  // duplicate a chunk
                if (!bytes.empty()) bytes.insert(at, bytes.substr(rng() % bytes.size(), 8));
                break;
        }
    }
    return bytes;
}

std::string randomBytes(size_t n, std::mt19937& rng) {
    std::string s(n, '\0');
    for (auto& c : s) c = static_cast<char>(rng());
    return s;
}

}  // namespace

TEST_F(Wire, RandomFramesLeaveServerAndManagerServing) {
    uint32_t seed = 0x7713;
    if (const char* env = getenv("TWINEL_WIRE_SEED")) seed = static_cast<uint32_t>(atol(env));
    SCOPED_TRACE("TWINEL_WIRE_SEED=" + std::to_string(seed));
    std::mt19937 rng(seed);

    struct Base {
        bool manager;
        uint32_t code;
        std::string payload;
        size_t fds;
    };
    // A call carrying a native handle of two descriptors nobody reads.
    WireMessage withHandle = sendAtCall("AT+FUZZFD");
    WireObject handle;
    handle.kind = kObjHandle;
    put32(&handle.extra, 2);
    put32(&handle.extra, 1);
    putPadded(&handle.extra, std::string(4, '\x11'));
    withHandle.objects.push_back(handle);
    withHandle.fdCount = 2;
    std::vector<Base> bases = {
            {false, kCodeSetBrightness, setBrightnessCall(12).encode(), 0},
            {false, kCodeSendAtCommand, sendAtCall("AT+FUZZ").encode(), 0},
            {false, kCodeSendAtCommand, withHandle.encode(), 2},
            {false, kCodeDrawSubDisplay, drawCall({7, 8, 9}).encode(), 0},
            {false, kCodeGetFirmwareVersion, tokenOnlyCall(V1_0::ITwinel::descriptor).encode(), 0},
            {true, kCodeManagerGet, managerGetCall(V1_1::ITwinel::descriptor, "default").encode(),
             0},
            {true, kCodeManagerList, tokenOnlyCall(IServiceManager::descriptor).encode(), 0},
    };
    // Every descriptor passed is a copy of this pipe's write end: once all
    // connections are over, none may be left open in either process.
    PipeProbe probe;

    const int64_t start = twtest::nowMs();
    int iterations = 0, connectFailures = 0, lingering = 0;
    int okReplies = 0, errorReplies = 0, controlReplies = 0, unexpected = 0;
    for (; iterations < 2000 && twtest::nowMs() - start < 4000; iterations++) {
        const Base& base = bases[rng() % bases.size()];
        RawConn conn(base.manager ? managerPath() : mServerPath);
        if (!conn.ok()) {
            connectFailures++;
            continue;
        }
        uint64_t target = base.manager ? 0 : mTwinelId;
        uint32_t mode = rng() % 10;
        if (mode == 0) {
            conn.send(randomBytes(1 + rng() % 96, rng));
        } else if (mode == 1) {
            conn.send(header(kHello, rng() % 4, rng() % 3, rng(), rng(), 0));
            conn.send(randomBytes(rng() % 96, rng));
        } else if (mode <= 3) {
            conn.hello(kConnControl, rng());
            int frames = 1 + rng() % 4;
            for (int f = 0; f < frames; f++) {
                static const uint32_t kTypes[] = {kAcquire, kRelease, kTxnDone, kAcquireReply,
                                                  kAcquire, kRelease, kTxn,     0x55};
                uint32_t type = kTypes[rng() % 8];
                uint64_t id = (rng() % 2) ? target : rng() % 8;
                std::string payload = (rng() % 8 == 0) ? randomBytes(rng() % 24, rng) : "";
                conn.send(header(type, 0, 0, rng(), id, static_cast<uint32_t>(payload.size())) +
                          payload);
            }
        } else {
            conn.hello(kConnTxn, rng());
            int frames = 1 + rng() % 3;
            for (int f = 0; f < frames; f++) {
                std::string payload;
                uint32_t kind = rng() % 6;
                if (kind == 0) {
                    payload = randomBytes(rng() % 200, rng);
                } else if (kind == 1) {
                    WireMessage m;  // plausible counts, random content
                    dataToken(&m.data, base.manager ? IServiceManager::descriptor
                                                    : V1_0::ITwinel::descriptor);
                    m.data += randomBytes(8 * (rng() % 4), rng);
                    m.bufCount = rng() % 4;
                    m.objCount = rng() % 3;
                    m.trailing = randomBytes(rng() % 120, rng);
                    payload = m.encode();
                } else {
                    payload = mutate(base.payload, rng);
                }
                uint32_t code = base.code;
                if (rng() % 5 == 0) code = rng() % 40;
                if (rng() % 20 == 0) code = 0x0f000000u + rng() % 0x00ffffffu;
                // goDload and goSTMDload take 300 ms each; they add nothing here.
                if (!base.manager && (code == kCodeGoDload || code == kCodeGoStmDload)) {
                    code = base.code;
                }
                uint32_t flags = (rng() % 8 == 0) ? kFlagOneway : 0;
                uint64_t to = (rng() % 10 == 0) ? rng() % 6 : target;
                uint32_t len = static_cast<uint32_t>(payload.size());
                uint32_t magic = kMagic;
                uint32_t r = rng() % 40;
                if (r == 0) len += 1 + rng() % 64;  // longer than sent: ends at close
                if (r == 1 && len > 0) len -= 1 + rng() % len;
                if (r == 2) magic ^= 1u << (rng() % 32);
                std::vector<int> fds(base.fds, probe.wr);
                if (rng() % 16 == 0) fds.assign(rng() % 4, probe.wr);
                conn.send(header(kTxn, code, flags, f + 1, to, len, 0, magic) + payload, fds);
            }
        }
        // Every connection ends once the server has read what we sent.
        conn.shutdownWrite();
        for (;;) {
            Answer a = conn.read(2000);
            if (a.kind == Answer::kClosed) break;
            if (a.kind == Answer::kSilent) {
                lingering++;
                ADD_FAILURE() << "connection " << iterations << " still open 2 s after its end";
                break;
            }
            if (a.h.type == kReply) {
                (a.h.status == 0 && replyException(a) == 0) ? okReplies++ : errorReplies++;
            } else if (a.h.type == kAcquireReply) {
                controlReplies++;
            } else {
                unexpected++;
            }
        }
        if (lingering > 3 || !mServer.running() || !mManager.running()) break;
    }
    int64_t took = twtest::nowMs() - start;
    std::cout << "[   INFO   ] " << iterations << " random connections in " << took << " ms (seed "
              << seed << "): " << okReplies << " served, " << errorReplies << " error replies, "
              << controlReplies << " control replies" << std::endl;
    EXPECT_EQ(0, connectFailures);
    EXPECT_EQ(0, lingering);
    EXPECT_EQ(0, unexpected) << "frames of a type a server never sends";
    EXPECT_GT(okReplies + errorReplies, 0) << "nothing reached a stub";

    EXPECT_TRUE(serves(8000));
    ASSERT_TRUE(bothAlive());
    sp<IServiceManager> sm = defaultServiceManager();
    ASSERT_NE(nullptr, sm.get());
    std::vector<std::string> names;
    Return<void> listed = sm->list([&](const hidl_vec<hidl_string>& l) {
        for (const auto& n : l) names.push_back(n);
    });
    ASSERT_TRUE(listed.isOk()) << listed.description();
    EXPECT_NE(names.end(), std::find(names.begin(), names.end(),
                                     std::string(V1_1::ITwinel::descriptor) + "/default"));
    EXPECT_FALSE(serverLog().empty());
    probe.dropOurWriteEnd();
    EXPECT_TRUE(probe.writersGone(3000)) << "a descriptor passed in a random frame was kept";
}
