/*
 * Device root mapping and the host seams for serial modem lines and hidraw.
 */
#define LOG_TAG "twdevice"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <linux/hidraw.h>
#include <log/log.h>
#include <poll.h>
#include <stdlib.h>
#include <string.h>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/sysmacros.h>
#include <sys/un.h>
#include <termios.h>
#include <twdevice/device.h>
#include <twdevice/hidraw_seam.h>
#include <unistd.h>
#include <utils/SystemClock.h>

#include <map>
#include <mutex>
#include <set>
#include <vector>

namespace twdevice {

using ::android::uptimeMillis;

namespace {

#ifndef __ANDROID__
std::mutex gRootLock;
std::string gRawRoot;         // value of the environment variable last seen
std::string gRoot;            // its normalised form
bool gRootCanonical = false;  // gRoot went through realpath()
bool gRootCached = false;

std::string normaliseRoot(const std::string& raw, bool* canonical) {
    *canonical = false;
    std::string r = raw;
    while (r.size() > 1 && r.back() == '/') r.pop_back();
    if (r.empty() || r == "/") return "";
    char* resolved = ::realpath(r.c_str(), nullptr);
    if (resolved != nullptr) {
        std::string out = resolved;
        free(resolved);
        *canonical = true;
        return out == "/" ? "" : out;
    }
    if (r[0] != '/') {
        char cwd[PATH_MAX];
        if (getcwd(cwd, sizeof(cwd)) != nullptr) r = std::string(cwd) + "/" + r;
    }
    return r;
}

// Waits for `events` on `fd` until `deadlineMs`; 1 ready, 0 timed out, -1 error.
int waitFd(int fd, short events, int64_t deadlineMs) {
    for (;;) {
        int64_t left = deadlineMs - uptimeMillis();
        if (left < 0) left = 0;
        struct pollfd pfd = {fd, events, 0};
        int ret = poll(&pfd, 1, static_cast<int>(left));
        if (ret < 0 && errno == EINTR) continue;
        if (ret <= 0) return ret;
        if (pfd.revents & (events | POLLHUP | POLLERR)) return 1;
    }
}

// Seam connections are kept across open()/close(): a hidraw exchange opens
// the node, does one request and closes it again, and a fresh connection per
// exchange costs the peer an accept and a hang-up on top of the request. A
// connection handed back through close() is parked, one per node, and given
// to the next open() of the same node when it is still sound.
struct SeamConnection {
    std::string real;  // the node's real path
    dev_t nodeDev;     // the socket file connected to: a node that is
    ino_t nodeIno;     //   replaced is a new device
    ino_t selfIno;     // this end's own inode, to know the descriptor again
    bool cloexec;
};

struct SeamCache {
    std::mutex lock;
    std::map<int, SeamConnection> conns;  // every connection we made, by descriptor
    std::map<std::string, int> idle;      // the parked one of each node
};

// Never destroyed: a thread still closing a node at exit must find it.
SeamCache& seamCache() {
    static SeamCache* cache = new SeamCache();
    return *cache;
}

// A parked connection is sound when nothing has happened on it since its
// last exchange: no hang-up, no shutdown after a failed exchange and no late
// reply waiting to be taken for the answer to a new request.
bool seamIdleSound(int fd) {
    struct pollfd pfd = {fd, POLLIN | POLLRDHUP, 0};
    int ret;
    do {
        ret = poll(&pfd, 1, 0);
    } while (ret < 0 && errno == EINTR);
    return ret == 0;
}

ino_t selfInode(int fd) {
    struct stat st;
    return ::fstat(fd, &st) == 0 ? st.st_ino : 0;
}

int connectSeam(const std::string& real, int flags) {
    struct sockaddr_un addr;
    memset(&addr, 0, sizeof(addr));
    addr.sun_family = AF_UNIX;
    if (real.size() >= sizeof(addr.sun_path)) {
        errno = ENAMETOOLONG;
        return -1;
    }
    memcpy(addr.sun_path, real.c_str(), real.size());
    int type = SOCK_SEQPACKET | ((flags & O_CLOEXEC) ? SOCK_CLOEXEC : 0);
    int fd = socket(AF_UNIX, type, 0);
    if (fd < 0) return -1;
    if (connect(fd, reinterpret_cast<struct sockaddr*>(&addr), sizeof(addr)) < 0) {
        int err = errno;
        close(fd);
        // A socket file with nobody behind it is a device that went away.
        errno = (err == ECONNREFUSED) ? ENODEV : err;
        return -1;
    }
    return fd;
}

int openSeam(const std::string& real, const struct stat& node, int flags) {
    bool cloexec = (flags & O_CLOEXEC) != 0;
    SeamCache& cache = seamCache();
    int stale = -1;
    {
        std::lock_guard<std::mutex> l(cache.lock);
        auto it = cache.idle.find(real);
        if (it != cache.idle.end()) {
            int fd = it->second;
            cache.idle.erase(it);
            const SeamConnection& conn = cache.conns[fd];
            if (conn.nodeDev == node.st_dev && conn.nodeIno == node.st_ino &&
                conn.cloexec == cloexec && seamIdleSound(fd)) {
                return fd;
            }
            cache.conns.erase(fd);
            stale = fd;
        }
    }
    if (stale >= 0) ::close(stale);

    int fd = connectSeam(real, flags);
    if (fd < 0) return -1;
    std::lock_guard<std::mutex> l(cache.lock);
    cache.conns[fd] = SeamConnection{real, node.st_dev, node.st_ino, selfInode(fd), cloexec};
    return fd;
}

// One request/reply on a seam connection. Returns the reply's result (>= 0),
// or -1 with errno set. For kGetFeature the reply's bytes land in `out`.
int seamExchange(int fd, uint8_t op, const void* data, size_t len, void* out, size_t outCap) {
    if (len > hidseam::kMaxReport) {
        errno = EINVAL;
        return -1;
    }
    std::vector<uint8_t> request(hidseam::kRequestHeader + len);
    request[0] = op;
    if (len > 0) memcpy(request.data() + hidseam::kRequestHeader, data, len);

    int64_t deadline = uptimeMillis() + hidseam::kReplyTimeoutMs;
    for (;;) {
        ssize_t n = send(fd, request.data(), request.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n == static_cast<ssize_t>(request.size())) break;
        if (n >= 0) {
            errno = EPROTO;
            return -1;
        }
        if (errno == EINTR) continue;
        if (errno == EPIPE || errno == ECONNRESET || errno == ENOTCONN) {
            errno = ENODEV;
            return -1;
        }
        if (errno != EAGAIN && errno != EWOULDBLOCK) return -1;
        int ready = waitFd(fd, POLLOUT, deadline);
        if (ready == 0) {
            shutdown(fd, SHUT_RDWR);
            errno = ETIMEDOUT;
            return -1;
        }
        if (ready < 0) return -1;
    }

    std::vector<uint8_t> reply(hidseam::kReplyHeader + hidseam::kMaxReport + 1);
    ssize_t got;
    for (;;) {
        int ready = waitFd(fd, POLLIN, deadline);
        if (ready == 0) {
            // A late reply must never be taken for the answer to a later
            // request: this connection is finished.
            shutdown(fd, SHUT_RDWR);
            errno = ETIMEDOUT;
            return -1;
        }
        if (ready < 0) return -1;
        got = recv(fd, reply.data(), reply.size(), MSG_DONTWAIT);
        if (got < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)) continue;
        break;
    }
    if (got < 0) {
        if (errno == ECONNRESET) errno = ENODEV;
        return -1;
    }
    if (got == 0) {
        errno = ENODEV;
        return -1;
    }
    if (static_cast<size_t>(got) < hidseam::kReplyHeader ||
        static_cast<size_t>(got) > hidseam::kReplyHeader + hidseam::kMaxReport) {
        ALOGE("hidraw seam: malformed reply of %zd bytes", got);
        shutdown(fd, SHUT_RDWR);
        errno = EPROTO;
        return -1;
    }
    int32_t result;
    memcpy(&result, reply.data(), sizeof(result));
    size_t payload = static_cast<size_t>(got) - hidseam::kReplyHeader;
    if (result < 0) {
        if (result < -4095) {
            errno = EPROTO;
            return -1;
        }
        errno = -result;
        return -1;
    }
    if (op == hidseam::kGetFeature) {
        if (static_cast<size_t>(result) > payload || static_cast<size_t>(result) > outCap) {
            ALOGE("hidraw seam: reply claims %d bytes, carries %zu, room for %zu", result, payload,
                  outCap);
            errno = EPROTO;
            return -1;
        }
        memcpy(out, reply.data() + hidseam::kReplyHeader, static_cast<size_t>(result));
    }
    return result;
}

int seamIoctl(int fd, unsigned long request, void* arg) {
    size_t size = _IOC_SIZE(request);
    if (request == static_cast<unsigned long>(HIDIOCGFEATURE(size))) {
        if (arg == nullptr) {
            errno = EFAULT;
            return -1;
        }
        if (size == 0) {
            errno = EINVAL;
            return -1;
        }
        return seamExchange(fd, hidseam::kGetFeature, arg, size, arg, size);
    }
    if (request == static_cast<unsigned long>(HIDIOCSFEATURE(size))) {
        if (arg == nullptr) {
            errno = EFAULT;
            return -1;
        }
        if (size == 0) {
            errno = EINVAL;
            return -1;
        }
        return seamExchange(fd, hidseam::kSetFeature, arg, size, nullptr, 0);
    }
    errno = ENOTTY;
    return -1;
}

int mkdirsReal(const std::string& real, mode_t mode) {
    if (real.empty()) {
        errno = ENOENT;
        return -1;
    }
    std::string partial;
    size_t pos = 0;
    while (pos != std::string::npos) {
        size_t next = real.find('/', pos + 1);
        partial = real.substr(0, next);
        pos = next;
        if (partial.empty() || partial == "/") continue;
        if (::mkdir(partial.c_str(), mode) < 0 && errno != EEXIST) return -1;
    }
    struct stat st;
    if (::stat(real.c_str(), &st) < 0) return -1;
    if (!S_ISDIR(st.st_mode)) {
        errno = ENOTDIR;
        return -1;
    }
    return 0;
}
#endif  // !__ANDROID__

}  // namespace

std::string root() {
#ifdef __ANDROID__
    return "";
#else
    const char* env = getenv(kRootEnv);
    std::string raw = env != nullptr ? env : "";
    std::lock_guard<std::mutex> lock(gRootLock);
    if (!gRootCached || raw != gRawRoot || !gRootCanonical) {
        bool canonical = false;
        gRoot = normaliseRoot(raw, &canonical);
        gRootCanonical = canonical || gRoot.empty();
        gRawRoot = raw;
        gRootCached = true;
    }
    return gRoot;
#endif
}

namespace {

#ifndef __ANDROID__
// Access record: when TWINEL_ACCESS_RECORD names a file, every device path
// this process opens, lists, watches, probes or sends an ioctl to is appended
// to it once, as "op kind logical resolved" (resolved: the logical path with
// every symbolic link under the root followed), so that the accesses can be
// checked against the phone's SELinux policy and node owners.
struct AccessRecord {
    std::mutex lock;
    std::string file;                    // guarded by lock: the file fd is open on
    int fd = -1;                         // guarded by lock; -1 when not recording
    std::set<std::string> seen;          // guarded by lock: lines written to file
    std::map<int, std::string> fdPaths;  // guarded by lock: descriptor -> logical path
};

AccessRecord& accessRecord() {
    static AccessRecord* rec = new AccessRecord();
    return *rec;
}

// Follows the variable as it stands, so that a test can turn the record on
// and off. Caller holds rec.lock.
bool recordingLocked(AccessRecord& rec) {
    const char* env = getenv(kAccessRecordEnv);
    std::string file = env != nullptr ? env : "";
    if (file != rec.file) {
        if (rec.fd >= 0) ::close(rec.fd);
        rec.fd = -1;
        rec.file = file;
        rec.seen.clear();
        rec.fdPaths.clear();
        if (!file.empty()) {
            rec.fd = ::open(file.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
            if (rec.fd < 0) ALOGE("cannot open %s: %s", file.c_str(), strerror(errno));
        }
    }
    return rec.fd >= 0;
}

const char* kindOf(const std::string& real) {
    struct stat st;
    if (::stat(real.c_str(), &st) < 0) return "missing";
    if (S_ISDIR(st.st_mode)) return "dir";
    if (S_ISCHR(st.st_mode)) return "chr";
    if (S_ISSOCK(st.st_mode)) return "sock";
    return "file";
}

// Appends `line` unless this process wrote it before. Caller holds rec.lock
// and has checked recordingLocked().
void writeRecordLocked(AccessRecord& rec, std::string line) {
    if (!rec.seen.insert(line).second) return;
    line += "\n";
    if (::write(rec.fd, line.data(), line.size()) != static_cast<ssize_t>(line.size())) {
        ALOGE("cannot write the access record: %s", strerror(errno));
    }
}

void recordAccess(const char* op, const std::string& logicalPath) {
    AccessRecord& rec = accessRecord();
    std::lock_guard<std::mutex> l(rec.lock);
    if (!recordingLocked(rec) || logicalPath.empty() || logicalPath[0] != '/') return;
    std::string real = path(logicalPath);
    std::string resolved = logicalPath;
    char* canon = ::realpath(real.c_str(), nullptr);
    if (canon != nullptr) {
        resolved = logical(canon);
        free(canon);
    }
    writeRecordLocked(rec,
                      std::string(op) + " " + kindOf(real) + " " + logicalPath + " " + resolved);
}

// Records an attempt unless the path is simply not there.
void recordResult(const char* op, const char* p, bool ok) {
    if (ok || errno != ENOENT) {
        int saved = errno;
        recordAccess(op, p);
        errno = saved;
    }
}

const char* openOp(int flags, bool created) {
    if (created) return "create";
    if (flags & O_APPEND) return "append";
    switch (flags & O_ACCMODE) {
        case O_WRONLY:
            return "write";
        case O_RDWR:
            return "rdwr";
        default:
            return "read";
    }
}

void rememberFd(int fd, const char* p) {
    AccessRecord& rec = accessRecord();
    std::lock_guard<std::mutex> l(rec.lock);
    if (recordingLocked(rec)) rec.fdPaths[fd] = p;
}

void forgetFd(int fd) {
    AccessRecord& rec = accessRecord();
    std::lock_guard<std::mutex> l(rec.lock);
    rec.fdPaths.erase(fd);
}

void recordIoctl(int fd) {
    std::string p;
    {
        AccessRecord& rec = accessRecord();
        std::lock_guard<std::mutex> l(rec.lock);
        if (!recordingLocked(rec)) return;
        auto it = rec.fdPaths.find(fd);
        if (it == rec.fdPaths.end()) return;
        p = it->second;
    }
    recordAccess("ioctl", p);
}
#else
void recordResult(const char*, const char*, bool) {}
void recordIoctl(int) {}
#endif

}  // namespace

std::string path(const std::string& logicalPath) {
    if (logicalPath.empty() || logicalPath[0] != '/') return logicalPath;
    std::string r = root();
    if (r.empty()) return logicalPath;
    return r + logicalPath;
}

std::string logical(const std::string& real) {
    std::string r = root();
    if (r.empty()) return real;
    if (real == r) return "/";
    if (real.size() > r.size() && real.compare(0, r.size(), r) == 0 && real[r.size()] == '/') {
        return real.substr(r.size());
    }
    return real;
}

int open(const char* p, int flags, mode_t mode) {
    if (p == nullptr) {
        errno = EFAULT;
        return -1;
    }
    std::string real = path(p);
#ifndef __ANDROID__
    bool existed = (flags & O_CREAT) == 0 || ::access(real.c_str(), F_OK) == 0;
#endif
    int fd = ::open(real.c_str(), flags, mode);
#ifndef __ANDROID__
    recordResult(openOp(flags, !existed && fd >= 0), p, fd >= 0);
    // A socket cannot be opened (ENXIO): a hidraw seam is connected to
    // instead. Asked only then, so that other nodes cost a single call.
    if (fd < 0 && errno == ENXIO) {
        struct stat st;
        if (::stat(real.c_str(), &st) == 0 && S_ISSOCK(st.st_mode)) {
            fd = openSeam(real, st, flags);
            recordResult(openOp(flags, false), p, fd >= 0);
            if (fd >= 0) rememberFd(fd, p);
            return fd;
        }
        errno = ENXIO;
    }
    if (fd >= 0) rememberFd(fd, p);
#endif
    return fd;
}

int close(int fd) {
#ifndef __ANDROID__
    forgetFd(fd);
    SeamCache& cache = seamCache();
    std::unique_lock<std::mutex> l(cache.lock);
    auto it = cache.conns.find(fd);
    if (it != cache.conns.end()) {
        // The same descriptor number may since have been closed behind our
        // back and reused for something else: only our own socket is parked.
        if (it->second.selfIno != 0 && selfInode(fd) == it->second.selfIno &&
            cache.idle.emplace(it->second.real, fd).second) {
            return 0;
        }
        cache.conns.erase(it);
    }
    l.unlock();
#endif
    return ::close(fd);
}

int access(const char* p, int mode) {
    if (p == nullptr) {
        errno = EFAULT;
        return -1;
    }
    int ret = ::access(path(p).c_str(), mode);
    recordResult((mode & R_OK) ? "probe-read" : "access", p, ret == 0);
    return ret;
}

int stat(const char* p, struct stat* st) {
    if (p == nullptr) {
        errno = EFAULT;
        return -1;
    }
    return ::stat(path(p).c_str(), st);
}

int lstat(const char* p, struct stat* st) {
    if (p == nullptr) {
        errno = EFAULT;
        return -1;
    }
    return ::lstat(path(p).c_str(), st);
}

DIR* opendir(const char* p) {
    if (p == nullptr) {
        errno = EFAULT;
        return nullptr;
    }
    DIR* dir = ::opendir(path(p).c_str());
    recordResult("list", p, dir != nullptr);
    return dir;
}

FILE* fopen(const char* p, const char* mode) {
    if (p == nullptr || mode == nullptr) {
        errno = EFAULT;
        return nullptr;
    }
    FILE* f = ::fopen(path(p).c_str(), mode);
    recordResult(mode[0] == 'r' && mode[1] != '+' ? "read" : "rdwr", p, f != nullptr);
    return f;
}

ssize_t readlink(const char* p, char* buf, size_t size) {
    if (p == nullptr) {
        errno = EFAULT;
        return -1;
    }
    return ::readlink(path(p).c_str(), buf, size);
}

std::string realpath(const char* p) {
    if (p == nullptr) {
        errno = EFAULT;
        return "";
    }
    char* resolved = ::realpath(path(p).c_str(), nullptr);
    if (resolved == nullptr) return "";
    std::string out = logical(resolved);
    free(resolved);
    return out;
}

int inotifyAddWatch(int fd, const char* p, uint32_t mask) {
    if (p == nullptr) {
        errno = EFAULT;
        return -1;
    }
    int wd = inotify_add_watch(fd, path(p).c_str(), mask);
    recordResult("watch", p, wd >= 0);
    return wd;
}

int mkdirs(const char* p, mode_t mode) {
    if (p == nullptr) {
        errno = EFAULT;
        return -1;
    }
#ifdef __ANDROID__
    // Device directories on the phone are made by init, never by the HAL.
    struct stat st;
    if (::stat(p, &st) < 0) return -1;
    if (!S_ISDIR(st.st_mode)) {
        errno = ENOTDIR;
        return -1;
    }
    (void)mode;
    return 0;
#else
    return mkdirsReal(path(p), mode);
#endif
}

bool isPty(int fd) {
    struct stat st;
    if (fstat(fd, &st) < 0 || !S_ISCHR(st.st_mode)) return false;
    unsigned int maj = major(st.st_rdev);
    unsigned int min = minor(st.st_rdev);
    if (maj >= 136 && maj <= 143) return true;  // Unix98 pty slaves
    if (maj >= 128 && maj <= 135) return true;  // Unix98 pty masters
    if (maj == 5 && min == 2) return true;      // /dev/ptmx
    if (maj == 2 || maj == 3) return true;      // legacy BSD ptys
    return false;
}

bool isHidrawSeam(int fd) {
#ifdef __ANDROID__
    (void)fd;
    return false;
#else
    // Asked on every write and ioctl: two calls, the first of which fails
    // (ENOTSOCK) for anything but a socket. errno is left as it was; the
    // caller's own call sets it.
    int saved = errno;
    int type = 0;
    socklen_t len = sizeof(type);
    bool seam = getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &len) == 0 && type == SOCK_SEQPACKET;
    if (seam) {
        int domain = 0;
        len = sizeof(domain);
        seam = getsockopt(fd, SOL_SOCKET, SO_DOMAIN, &domain, &len) == 0 && domain == AF_UNIX;
    }
    errno = saved;
    return seam;
#endif
}

#ifndef __ANDROID__
// Tells the simulated accessory behind a pty which modem lines the caller
// raised or dropped, since the pty itself cannot carry them: one datagram
// "set|clear|assign BITS" to the socket "dev/socket/pty-modem/N" of the
// device root for the slave /dev/pts/N. Nothing waits for it, and without a
// listener (no simulator, another kind of terminal) nothing happens.
static void reportModemLines(int fd, unsigned long request, const void* arg) {
    if (arg == nullptr) return;
    std::string dir = root();
    if (dir.empty()) return;
    int saved = errno;
    char tty[PATH_MAX];
    constexpr const char* kPts = "/dev/pts/";
    if (ttyname_r(fd, tty, sizeof(tty)) == 0 && strncmp(tty, kPts, strlen(kPts)) == 0) {
        std::string sock = dir + "/dev/socket/pty-modem/" + (tty + strlen(kPts));
        struct sockaddr_un addr = {};
        addr.sun_family = AF_UNIX;
        int s = sock.size() < sizeof(addr.sun_path)
                        ? ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0)
                        : -1;
        if (s >= 0) {
            memcpy(addr.sun_path, sock.c_str(), sock.size() + 1);
            const char* op = request == TIOCMBIS ? "set" : request == TIOCMBIC ? "clear" : "assign";
            char msg[32];
            int n = snprintf(msg, sizeof(msg), "%s %d", op, *static_cast<const int*>(arg));
            ::sendto(s, msg, static_cast<size_t>(n), MSG_DONTWAIT,
                     reinterpret_cast<struct sockaddr*>(&addr), sizeof(addr));
            ::close(s);
        }
    }
    errno = saved;
}
#endif

int ioctl(int fd, unsigned long request, void* arg) {
    recordIoctl(fd);
#ifndef __ANDROID__
    if (_IOC_TYPE(request) == 'H' && isHidrawSeam(fd)) return seamIoctl(fd, request, arg);
#endif
    int ret = ::ioctl(fd, request, arg);
#ifndef __ANDROID__
    if (ret < 0 && (request == TIOCMBIS || request == TIOCMBIC || request == TIOCMSET)) {
        int err = errno;
        // A pseudo-terminal has no modem lines; the request is taken as done
        // and told to the simulated accessory.
        if ((err == ENOTTY || err == EINVAL) && isPty(fd)) {
            reportModemLines(fd, request, arg);
            return 0;
        }
        errno = err;
    }
#endif
    return ret;
}

ssize_t write(int fd, const void* buf, size_t count) {
#ifndef __ANDROID__
    if (isHidrawSeam(fd)) {
        if (buf == nullptr) {
            errno = EFAULT;
            return -1;
        }
        if (count == 0 || count > hidseam::kMaxReport) {
            errno = EINVAL;
            return -1;
        }
        return seamExchange(fd, hidseam::kOutputReport, buf, count, nullptr, 0);
    }
#endif
    return ::write(fd, buf, count);
}

void recordUeventSocket() {
#ifndef __ANDROID__
    AccessRecord& rec = accessRecord();
    std::lock_guard<std::mutex> l(rec.lock);
    if (!recordingLocked(rec)) return;
    // A netlink socket has no path: the line names its class and stands for
    // the process's own socket.
    writeRecordLocked(rec, "socket netlink_kobject_uevent_socket self self");
#endif
}

std::string hwbinderSocketDir() {
    std::string dir = path("/dev/socket/hwbinder");
#ifndef __ANDROID__
    struct stat st;
    if (::stat(dir.c_str(), &st) == 0) {
        if (!S_ISDIR(st.st_mode)) {
            errno = ENOTDIR;
            return "";
        }
        return dir;
    }
    std::string parent = dir.substr(0, dir.rfind('/'));
    if (mkdirsReal(parent, 0755) < 0) {
        ALOGE("cannot create %s: %s", parent.c_str(), strerror(errno));
        return "";
    }
    if (::mkdir(dir.c_str(), 01777) < 0 && errno != EEXIST) {
        ALOGE("cannot create %s: %s", dir.c_str(), strerror(errno));
        return "";
    }
    // mkdir() is subject to the umask; the mode is meant exactly. Every
    // user (the services run as their .rc's users) adds its own socket; the
    // sticky bit keeps each from removing another's.
    if (chmod(dir.c_str(), 01777) < 0 && errno != EPERM) {
        ALOGE("cannot set mode of %s: %s", dir.c_str(), strerror(errno));
    }
#endif
    return dir;
}

}  // namespace twdevice
