/*
 * The uevent stand-in of libcutils (uevent_open_socket and the receive
 * calls) and the simulator's uevent multicast.
 */
#include <cutils/uevent.h>
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/netlink.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <twcutils/uevent_socket.h>
#include <twsim/simulator.h>
#include <twsim/uevent.h>
#include <unistd.h>

#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "test_util.h"

namespace {

int countFds() {
    int n = 0;
    DIR* d = opendir("/proc/self/fd");
    if (d == nullptr) return -1;
    while (struct dirent* e = readdir(d)) n += e->d_name[0] != '.';
    closedir(d);
    return n;
}

class UeventSocket : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_FALSE(mRoot.path().empty());
        setenv("TWINEL_DEVICE_ROOT", mRoot.path().c_str(), 1);
        mSim = std::make_unique<twsim::Simulator>(mRoot.path());
        ASSERT_TRUE(mSim->ok());
    }

    void TearDown() override {
        for (int fd : mFds) close(fd);
    }

    int open(bool passcred = true, bool nonblock = true) {
        int fd = uevent_open_socket(64 * 1024, passcred);
        EXPECT_GE(fd, 0) << strerror(errno);
        if (fd >= 0) {
            mFds.push_back(fd);
            if (nonblock) fcntl(fd, F_SETFL, O_NONBLOCK);
        }
        return fd;
    }

    std::string dir() { return mRoot.path() + twcutils::kUeventSocketDir; }

    twtest::TempDir mRoot{"twuev"};
    std::unique_ptr<twsim::Simulator> mSim;
    std::vector<int> mFds;
};

TEST_F(UeventSocket, OneMessagePerReceiveCutAtTheLength) {
    int fd = open();
    ASSERT_GE(fd, 0);
    // Its own socket in the listener directory, close-on-exec.
    EXPECT_EQ(FD_CLOEXEC, fcntl(fd, F_GETFD) & FD_CLOEXEC);
    EXPECT_EQ(1, twsim::ueventListeners(*mSim));

    std::string first = std::string("add@/x\0ACTION=add\0", 18);
    std::string second = "second";
    std::string big(5000, 'b');
    big[4999] = 'e';
    ASSERT_EQ(1, twsim::sendUevent(*mSim, first));
    ASSERT_EQ(1, twsim::sendUevent(*mSim, second));
    ASSERT_EQ(1, twsim::sendUevent(*mSim, big));
    ASSERT_EQ(1, twsim::sendUevent(*mSim, ""));
    ASSERT_EQ(1, twsim::sendUevent(*mSim, "after"));

    char buf[4096];
    EXPECT_EQ(18, uevent_kernel_multicast_recv(fd, buf, sizeof(buf)));
    EXPECT_EQ(first, std::string(buf, 18));
    EXPECT_EQ(6, uevent_kernel_multicast_recv(fd, buf, sizeof(buf)));
    EXPECT_EQ(second, std::string(buf, 6));
    // Longer than the buffer: the start of it, and the rest is gone.
    EXPECT_EQ(2048, uevent_kernel_multicast_recv(fd, buf, 2048));
    EXPECT_EQ(std::string(2048, 'b'), std::string(buf, 2048));
    EXPECT_EQ(0, uevent_kernel_multicast_recv(fd, buf, sizeof(buf)));
    EXPECT_EQ(5, uevent_kernel_multicast_recv(fd, buf, sizeof(buf)));
    EXPECT_EQ("after", std::string(buf, 5));
    errno = 0;
    EXPECT_EQ(-1, uevent_kernel_multicast_recv(fd, buf, sizeof(buf)));
    EXPECT_EQ(EAGAIN, errno);

    uid_t uid = 12345;
    ASSERT_EQ(1, twsim::sendUevent(*mSim, "uid"));
    EXPECT_EQ(3, uevent_kernel_multicast_uid_recv(fd, buf, sizeof(buf), &uid));
    EXPECT_EQ(getuid(), uid);
}

TEST_F(UeventSocket, WithoutCredentialsNothingIsAccepted) {
    int fd = open(false);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(1, twsim::sendUevent(*mSim, "SUBSYSTEM=ZYR_TW2"));
    char buf[64];
    memset(buf, 0xaa, sizeof(buf));
    errno = 0;
    EXPECT_EQ(-1, uevent_kernel_multicast_recv(fd, buf, sizeof(buf)));
    EXPECT_EQ(EIO, errno);
    // Nothing of the refused message is left in the buffer.
    EXPECT_EQ(std::string(sizeof(buf), '\0'), std::string(buf, sizeof(buf)));
}

TEST_F(UeventSocket, AnotherUsersMessageIsRefused) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to send as another user";
    int fd = open();
    ASSERT_GE(fd, 0);
    // Let the other user reach the listener's socket.
    ASSERT_EQ(0, chmod(mRoot.path().c_str(), 0755));
    DIR* d = opendir(dir().c_str());
    ASSERT_NE(nullptr, d);
    std::string name;
    while (struct dirent* e = readdir(d)) {
        if (e->d_name[0] != '.') name = dir() + "/" + e->d_name;
    }
    closedir(d);
    ASSERT_EQ(0, chmod(name.c_str(), 0777));

    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        if (setuid(65534) != 0) _exit(2);
        int s = socket(AF_UNIX, SOCK_DGRAM, 0);
        struct sockaddr_un addr = {};
        addr.sun_family = AF_UNIX;
        strncpy(addr.sun_path, name.c_str(), sizeof(addr.sun_path) - 1);
        const char msg[] = "SUBSYSTEM=ZYR_TW2";
        _exit(sendto(s, msg, sizeof(msg), 0, reinterpret_cast<struct sockaddr*>(&addr),
                     sizeof(addr)) == sizeof(msg)
                      ? 0
                      : 3);
    }
    int status = 0;
    ASSERT_EQ(pid, waitpid(pid, &status, 0));
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;

    char buf[64];
    memset(buf, 0xaa, sizeof(buf));
    uid_t uid = 0;
    errno = 0;
    EXPECT_EQ(-1, uevent_kernel_multicast_uid_recv(fd, buf, sizeof(buf), &uid));
    EXPECT_EQ(EIO, errno);
    EXPECT_EQ(65534u, uid);
    EXPECT_EQ(std::string(sizeof(buf), '\0'), std::string(buf, sizeof(buf)));
    // Root's own messages still pass.
    ASSERT_EQ(1, twsim::sendUevent(*mSim, "ok"));
    EXPECT_EQ(2, uevent_kernel_multicast_recv(fd, buf, sizeof(buf)));
}

TEST_F(UeventSocket, DescriptorsSentAlongAreClosed) {
    int fd = open();
    ASSERT_GE(fd, 0);
    std::string name;
    DIR* d = opendir(dir().c_str());
    ASSERT_NE(nullptr, d);
    while (struct dirent* e = readdir(d)) {
        if (e->d_name[0] != '.') name = dir() + "/" + e->d_name;
    }
    closedir(d);

    int s = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(s, 0);
    int passed[3];
    for (int& p : passed) p = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    struct sockaddr_un addr = {};
    addr.sun_family = AF_UNIX;
    strncpy(addr.sun_path, name.c_str(), sizeof(addr.sun_path) - 1);
    char msg[] = "with descriptors";
    struct iovec iov = {msg, sizeof(msg)};
    alignas(struct cmsghdr) char control[CMSG_SPACE(sizeof(passed))];
    struct msghdr hdr = {};
    hdr.msg_name = &addr;
    hdr.msg_namelen = sizeof(addr);
    hdr.msg_iov = &iov;
    hdr.msg_iovlen = 1;
    hdr.msg_control = control;
    hdr.msg_controllen = sizeof(control);
    struct cmsghdr* c = CMSG_FIRSTHDR(&hdr);
    c->cmsg_level = SOL_SOCKET;
    c->cmsg_type = SCM_RIGHTS;
    c->cmsg_len = CMSG_LEN(sizeof(passed));
    memcpy(CMSG_DATA(c), passed, sizeof(passed));
    ASSERT_EQ(static_cast<ssize_t>(sizeof(msg)), sendmsg(s, &hdr, 0));
    for (int p : passed) close(p);
    close(s);

    int before = countFds();
    char buf[64];
    EXPECT_EQ(static_cast<ssize_t>(sizeof(msg)),
              uevent_kernel_multicast_recv(fd, buf, sizeof(buf)));
    EXPECT_EQ(before, countFds());
}

TEST_F(UeventSocket, EveryListenerGetsEveryMessageAndClosedOnesAreForgotten) {
    int a = open();
    int b = open();
    ASSERT_GE(a, 0);
    ASSERT_GE(b, 0);
    EXPECT_EQ(2, twsim::ueventListeners(*mSim));
    ASSERT_EQ(2, twsim::sendUevent(*mSim, "both"));
    char buf[16];
    EXPECT_EQ(4, uevent_kernel_multicast_recv(a, buf, sizeof(buf)));
    EXPECT_EQ(4, uevent_kernel_multicast_recv(b, buf, sizeof(buf)));

    close(b);
    mFds.pop_back();
    EXPECT_EQ(1, twsim::sendUevent(*mSim, "one"));
    int entries = 0;
    DIR* d = opendir(dir().c_str());
    ASSERT_NE(nullptr, d);
    while (struct dirent* e = readdir(d)) entries += e->d_name[0] != '.';
    closedir(d);
    EXPECT_EQ(1, entries);

    // A message above the sender's limit is refused as a whole.
    errno = 0;
    EXPECT_EQ(-1, twsim::sendUevent(*mSim, std::string(twsim::kMaxUeventMessage + 1, 'x')));
    EXPECT_EQ(EMSGSIZE, errno);
    EXPECT_EQ(1, twsim::sendUevent(*mSim, std::string(70000, 'x')));
}

TEST_F(UeventSocket, ConnectedSocketsSendEachMessageOnceToEachListener) {
    int a = open();
    int b = open();
    ASSERT_GE(a, 0);
    ASSERT_GE(b, 0);
    twsim::UeventSockets sockets(*mSim);
    ASSERT_EQ(2, sockets.size());
    const char kMsg[] = "SUBSYSTEM=ZYR_TW2\0TOUCH_GESTURE_WAKEUP=WAKEUP";
    const std::string msg(kMsg, sizeof(kMsg));
    EXPECT_EQ(2, sockets.send(msg));
    for (int fd : {a, b}) {
        char buf[64];
        ASSERT_EQ(static_cast<ssize_t>(msg.size()),
                  uevent_kernel_multicast_recv(fd, buf, sizeof(buf)));
        EXPECT_EQ(msg, std::string(buf, msg.size()));
        EXPECT_EQ(-1, uevent_kernel_multicast_recv(fd, buf, sizeof(buf)));  // only once
        EXPECT_EQ(EAGAIN, errno);
    }
    // A listener that went away no longer takes them.
    close(b);
    mFds.pop_back();
    EXPECT_EQ(1, sockets.send(msg));
}

TEST_F(UeventSocket, AFullQueueIsWaitedOn) {
    int fd = open();
    ASSERT_GE(fd, 0);
    // Far more than a Unix socket queues by default; the reader starts late.
    std::vector<std::string> got;
    std::thread reader([&] {
        usleep(200 * 1000);
        char buf[64];
        int64_t deadline = twtest::nowMs() + 5000;
        while (got.size() < 40 && twtest::nowMs() < deadline) {
            ssize_t n = uevent_kernel_multicast_recv(fd, buf, sizeof(buf));
            if (n > 0) {
                got.emplace_back(buf, n);
            } else {
                usleep(1000);
            }
        }
    });
    int64_t start = twtest::nowMs();
    for (int i = 0; i < 40; i++) {
        EXPECT_EQ(1, twsim::sendUevent(*mSim, "m" + std::to_string(i))) << i;
    }
    EXPECT_GE(twtest::nowMs() - start, 150);
    reader.join();
    ASSERT_EQ(40u, got.size());
    for (int i = 0; i < 40; i++) EXPECT_EQ("m" + std::to_string(i), got[i]);
}

TEST_F(UeventSocket, TouchUeventHasTheKernelsLayout) {
    std::string m = twsim::touchUevent("WAKEUP");
    std::vector<std::string> lines;
    size_t pos = 0;
    while (pos < m.size()) {
        size_t end = m.find('\0', pos);
        ASSERT_NE(std::string::npos, end);
        lines.push_back(m.substr(pos, end - pos));
        pos = end + 1;
    }
    ASSERT_EQ(6u, lines.size());
    EXPECT_EQ("change@/devices/virtual/input/zyr_touch", lines[0]);
    EXPECT_EQ("ACTION=change", lines[1]);
    EXPECT_EQ("DEVPATH=/devices/virtual/input/zyr_touch", lines[2]);
    EXPECT_EQ("SUBSYSTEM=ZYR_TW2", lines[3]);
    EXPECT_EQ("TOUCH_GESTURE_WAKEUP=WAKEUP", lines[4]);
    EXPECT_EQ(0u, lines[5].find("SEQNUM="));
    EXPECT_NE(m, twsim::touchUevent("WAKEUP"));  // a new sequence number
}

TEST(UeventKernelSocket, WithoutADeviceRootTheKernelsSocketIsUsed) {
    unsetenv("TWINEL_DEVICE_ROOT");
    int fd = uevent_open_socket(64 * 1024, true);
    if (fd < 0 &&
        (errno == EPERM || errno == EACCES || errno == EAFNOSUPPORT || errno == EPROTONOSUPPORT)) {
        GTEST_SKIP() << "no kernel uevent socket here: " << strerror(errno);
    }
    ASSERT_GE(fd, 0) << strerror(errno);
    int domain = 0;
    socklen_t len = sizeof(domain);
    ASSERT_EQ(0, getsockopt(fd, SOL_SOCKET, SO_DOMAIN, &domain, &len));
    EXPECT_EQ(AF_NETLINK, domain);
    struct sockaddr_nl self = {};
    len = sizeof(self);
    ASSERT_EQ(0, getsockname(fd, reinterpret_cast<struct sockaddr*>(&self), &len));
    EXPECT_NE(0u, self.nl_groups);

    // A process (not the kernel) sending straight to this socket is refused.
    int s = socket(PF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_KOBJECT_UEVENT);
    ASSERT_GE(s, 0);
    struct sockaddr_nl to = {};
    to.nl_family = AF_NETLINK;
    to.nl_pid = self.nl_pid;
    const char msg[] = "add@/fake\0SUBSYSTEM=ZYR_TW2";
    ssize_t sent =
            sendto(s, msg, sizeof(msg), 0, reinterpret_cast<struct sockaddr*>(&to), sizeof(to));
    close(s);
    if (sent < 0) {
        close(fd);
        GTEST_SKIP() << "cannot send to a netlink socket here: " << strerror(errno);
    }
    fcntl(fd, F_SETFL, O_NONBLOCK);
    char buf[256];
    memset(buf, 0xaa, sizeof(buf));
    // Kernel uevents of other devices may arrive too; look for ours.
    bool refused = false;
    for (int i = 0; i < 100 && !refused; i++) {
        errno = 0;
        ssize_t n = uevent_kernel_multicast_recv(fd, buf, sizeof(buf));
        if (n < 0 && errno == EIO) {
            refused = true;
            EXPECT_EQ(std::string(sizeof(buf), '\0'), std::string(buf, sizeof(buf)));
        } else if (n < 0 && errno == EAGAIN) {
            usleep(10000);
        } else {
            EXPECT_NE(std::string(msg, sizeof(msg)), std::string(buf, n > 0 ? n : 0));
        }
    }
    EXPECT_TRUE(refused);
    close(fd);
}

}  // namespace
