/*
 * uevent_open_socket() and the uevent receive calls of libcutils.
 *
 * Without a device root: the kernel's NETLINK_KOBJECT_UEVENT socket, bound to
 * every multicast group, and a receive that keeps only messages the kernel
 * sent (sender credentials uid 0, sender port 0, multicast when asked).
 *
 * Under a device root (see <twcutils/uevent_socket.h>): a SOCK_DGRAM Unix
 * socket bound at a name of its own under "<root>/dev/socket/uevent", to
 * which the stand-in kernel sends each uevent as one datagram. The receive
 * keeps the same message semantics: one datagram per call, cut at `length`,
 * credentials required; a sender is accepted when it runs as uid 0 or as the
 * listening process's own user.
 *
 * A dropped message leaves the caller's buffer zeroed and yields -1 with
 * errno EIO, as on the phone.
 */
#define LOG_TAG "twcutils"

#include <cutils/uevent.h>
#include <errno.h>
#include <linux/netlink.h>
#include <log/log.h>
#include <stdio.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <twcutils/uevent_socket.h>
#include <twdevice/device.h>
#include <unistd.h>

#include <atomic>
#include <string>

namespace {

// Descriptors a sender may try to pass along; they are closed at once.
constexpr size_t kMaxPassedFds = 16;

std::atomic<unsigned> gListenerSerial{0};

void setReceiveBuffer(int s, int size) {
    // The forced size needs CAP_NET_ADMIN; the plain one is capped by
    // net.core.rmem_max. Either is fine for a listener.
    if (setsockopt(s, SOL_SOCKET, SO_RCVBUFFORCE, &size, sizeof(size)) < 0 &&
        setsockopt(s, SOL_SOCKET, SO_RCVBUF, &size, sizeof(size)) < 0) {
        ALOGW("uevent: cannot set a receive buffer of %d bytes: %s", size, strerror(errno));
    }
}

bool setPassCred(int s, bool passcred) {
    int on = passcred ? 1 : 0;
    if (setsockopt(s, SOL_SOCKET, SO_PASSCRED, &on, sizeof(on)) < 0) {
        ALOGE("uevent: SO_PASSCRED: %s", strerror(errno));
        return false;
    }
    return true;
}

int openKernelSocket(int buf_sz, bool passcred) {
    int s = socket(PF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_KOBJECT_UEVENT);
    if (s < 0) return -1;
    setReceiveBuffer(s, buf_sz);
    if (!setPassCred(s, passcred)) {
        close(s);
        return -1;
    }
    struct sockaddr_nl addr;
    memset(&addr, 0, sizeof(addr));
    addr.nl_family = AF_NETLINK;
    addr.nl_pid = 0;  // the kernel picks the port
    addr.nl_groups = 0xffffffff;
    if (bind(s, reinterpret_cast<struct sockaddr*>(&addr), sizeof(addr)) < 0) {
        int err = errno;
        close(s);
        errno = err;
        return -1;
    }
    return s;
}

int openHostSocket(int buf_sz, bool passcred) {
    if (twdevice::mkdirs(twcutils::kUeventSocketDir, 0755) < 0) {
        int err = errno;
        ALOGE("uevent: cannot create %s: %s", twdevice::path(twcutils::kUeventSocketDir).c_str(),
              strerror(err));
        errno = err;
        return -1;
    }
    std::string name = twdevice::path(twcutils::kUeventSocketDir) + "/" + std::to_string(getpid()) +
                       "." + std::to_string(gListenerSerial++);
    struct sockaddr_un addr;
    memset(&addr, 0, sizeof(addr));
    addr.sun_family = AF_UNIX;
    if (name.size() >= sizeof(addr.sun_path)) {
        ALOGE("uevent: socket path %s is too long", name.c_str());
        errno = ENAMETOOLONG;
        return -1;
    }
    memcpy(addr.sun_path, name.c_str(), name.size() + 1);

    int s = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (s < 0) return -1;
    setReceiveBuffer(s, buf_sz);
    if (!setPassCred(s, passcred)) {
        close(s);
        return -1;
    }
    // A name left by an earlier process with the same pid is stale.
    unlink(name.c_str());
    if (bind(s, reinterpret_cast<struct sockaddr*>(&addr), sizeof(addr)) < 0) {
        int err = errno;
        ALOGE("uevent: bind %s: %s", name.c_str(), strerror(err));
        close(s);
        errno = err;
        return -1;
    }
    return s;
}

// Closes whatever descriptors arrived with a message.
void closePassedFds(struct msghdr* hdr) {
    for (struct cmsghdr* c = CMSG_FIRSTHDR(hdr); c != nullptr; c = CMSG_NXTHDR(hdr, c)) {
        if (c->cmsg_level != SOL_SOCKET || c->cmsg_type != SCM_RIGHTS) continue;
        size_t count = (c->cmsg_len - CMSG_LEN(0)) / sizeof(int);
        const unsigned char* data = CMSG_DATA(c);
        for (size_t i = 0; i < count; i++) {
            int fd;
            memcpy(&fd, data + i * sizeof(int), sizeof(int));
            close(fd);
        }
    }
}

const struct ucred* findCredentials(struct msghdr* hdr) {
    for (struct cmsghdr* c = CMSG_FIRSTHDR(hdr); c != nullptr; c = CMSG_NXTHDR(hdr, c)) {
        if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_CREDENTIALS &&
            c->cmsg_len >= CMSG_LEN(sizeof(struct ucred))) {
            return reinterpret_cast<const struct ucred*>(CMSG_DATA(c));
        }
    }
    return nullptr;
}

}  // namespace

extern "C" int uevent_open_socket(int buf_sz, bool passcred) {
    int s = twdevice::root().empty() ? openKernelSocket(buf_sz, passcred)
                                     : openHostSocket(buf_sz, passcred);
    if (s >= 0) twdevice::recordUeventSocket();
    return s;
}

extern "C" ssize_t uevent_kernel_recv(int socket, void* buffer, size_t length, bool require_group,
                                      uid_t* uid) {
    *uid = static_cast<uid_t>(-1);
    union {
        struct sockaddr_nl nl;
        struct sockaddr_un un;
    } addr;
    memset(&addr, 0, sizeof(addr));
    alignas(struct cmsghdr) char
            control[CMSG_SPACE(sizeof(struct ucred)) + CMSG_SPACE(kMaxPassedFds * sizeof(int))];
    struct iovec iov = {buffer, length};
    struct msghdr hdr;
    memset(&hdr, 0, sizeof(hdr));
    hdr.msg_name = &addr;
    hdr.msg_namelen = sizeof(addr);
    hdr.msg_iov = &iov;
    hdr.msg_iovlen = 1;
    hdr.msg_control = control;
    hdr.msg_controllen = sizeof(control);

    ssize_t n = recvmsg(socket, &hdr, MSG_CMSG_CLOEXEC);
    if (n <= 0) return n;
    closePassedFds(&hdr);

    // The socket's kind, told by the sender's address the kernel filled in:
    // a netlink socket always names its sender (AF_NETLINK), a Unix one never
    // with that family. This keeps the receive at one system call.
    const bool netlink =
            hdr.msg_namelen >= sizeof(struct sockaddr_nl) && addr.nl.nl_family == AF_NETLINK;
    const struct ucred* cred = findCredentials(&hdr);
    bool accepted = false;
    if (cred != nullptr) {
        *uid = cred->uid;
        if (netlink) {
            // The kernel itself: root credentials, port 0, and (when asked)
            // a multicast group.
            accepted = cred->uid == 0 && addr.nl.nl_pid == 0 &&
                       (!require_group || addr.nl.nl_groups != 0);
        } else {
            accepted = cred->uid == 0 || cred->uid == getuid() || cred->uid == geteuid();
        }
    }
    if (!accepted) {
        // Nothing of a refused message stays behind.
        memset(buffer, 0, length);
        errno = EIO;
        return -1;
    }
    return n;
}

extern "C" ssize_t uevent_kernel_multicast_uid_recv(int socket, void* buffer, size_t length,
                                                    uid_t* uid) {
    return uevent_kernel_recv(socket, buffer, length, true, uid);
}

extern "C" ssize_t uevent_kernel_multicast_recv(int socket, void* buffer, size_t length) {
    uid_t uid = static_cast<uid_t>(-1);
    return uevent_kernel_multicast_uid_recv(socket, buffer, length, &uid);
}
