/*
 * The device module: root mapping, the pty modem-line seam and the hidraw
 * socket seam.
 */
#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/hidraw.h>
#include <poll.h>
#include <string.h>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <termios.h>
#include <twdevice/device.h>
#include <twdevice/hidraw_seam.h>
#include <twsim/simulator.h>

#include <fstream>
#include <thread>
#include <vector>

#include "test_util.h"

namespace {

using twtest::TempRoot;

void writeText(const std::string& file, const std::string& text) {
    std::ofstream out(file);
    out << text;
}

TEST(DevicePath, PassThroughWithoutRoot) {
    unsetenv(twdevice::kRootEnv);
    EXPECT_EQ(twdevice::root(), "");
    EXPECT_EQ(twdevice::path("/dev/ttyACM0"), "/dev/ttyACM0");
    EXPECT_EQ(twdevice::logical("/dev/ttyACM0"), "/dev/ttyACM0");
    EXPECT_EQ(twdevice::access("/proc/self", F_OK), 0);
}

TEST(DevicePath, MapsLogicalPathsUnderTheRoot) {
    TempRoot root;
    EXPECT_EQ(twdevice::root(), root.dir());
    EXPECT_EQ(twdevice::path("/dev/ttyACM0"), root.dir() + "/dev/ttyACM0");
    // Relative paths are not device paths.
    EXPECT_EQ(twdevice::path("dev/ttyACM0"), "dev/ttyACM0");
    EXPECT_EQ(twdevice::logical(root.dir() + "/sys/power/wake_lock"), "/sys/power/wake_lock");
    EXPECT_EQ(twdevice::logical(root.dir()), "/");
    // A sibling directory that merely shares the prefix is outside the root.
    EXPECT_EQ(twdevice::logical(root.dir() + "x/a"), root.dir() + "x/a");
    EXPECT_EQ(twdevice::logical("/dev/pts/3"), "/dev/pts/3");
}

TEST(DevicePath, TrailingSlashAndSymlinkedRootAreNormalised) {
    TempRoot root;
    std::string link = root.dir() + "-link";
    ASSERT_EQ(symlink(root.dir().c_str(), link.c_str()), 0);
    setenv(twdevice::kRootEnv, (link + "/").c_str(), 1);
    EXPECT_EQ(twdevice::root(), root.dir());
    unlink(link.c_str());
}

TEST(DevicePath, FileCallsUseTheMappedPath) {
    TempRoot root;
    ASSERT_EQ(twdevice::mkdirs("/sys/class/tty/ttyACM0", 0755), 0);
    writeText(root.real("/sys/class/tty/ttyACM0/idVendor"), "3a7e\n");
    ASSERT_EQ(symlink("ttyACM0", root.real("/sys/class/tty/link").c_str()), 0);

    EXPECT_EQ(twdevice::access("/sys/class/tty/ttyACM0/idVendor", R_OK), 0);
    EXPECT_EQ(twdevice::access("/sys/class/tty/ttyACM0/idProduct", F_OK), -1);
    EXPECT_EQ(errno, ENOENT);

    int fd = twdevice::open("/sys/class/tty/ttyACM0/idVendor", O_RDONLY);
    ASSERT_GE(fd, 0);
    char buf[16] = {};
    EXPECT_EQ(read(fd, buf, sizeof(buf)), 5);
    EXPECT_STREQ(buf, "3a7e\n");
    close(fd);

    struct stat st;
    EXPECT_EQ(twdevice::stat("/sys/class/tty/link", &st), 0);
    EXPECT_TRUE(S_ISDIR(st.st_mode));
    EXPECT_EQ(twdevice::lstat("/sys/class/tty/link", &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode));
    char target[64] = {};
    EXPECT_EQ(twdevice::readlink("/sys/class/tty/link", target, sizeof(target)), 7);
    EXPECT_STREQ(target, "ttyACM0");
    EXPECT_EQ(twdevice::realpath("/sys/class/tty/link/../link/idVendor"),
              "/sys/class/tty/ttyACM0/idVendor");
    EXPECT_EQ(twdevice::realpath("/sys/nothing"), "");

    DIR* dir = twdevice::opendir("/sys/class/tty");
    ASSERT_NE(dir, nullptr);
    int entries = 0;
    while (readdir(dir) != nullptr) entries++;
    closedir(dir);
    EXPECT_EQ(entries, 4);  // ., .., ttyACM0, link

    // A node that refuses the open keeps its errno; only a socket is a seam.
    ASSERT_EQ(mkfifo(root.real("/sys/class/tty/ttyACM0/fifo").c_str(), 0644), 0);
    errno = 0;
    EXPECT_EQ(twdevice::open("/sys/class/tty/ttyACM0/fifo", O_WRONLY | O_NONBLOCK), -1);
    EXPECT_EQ(errno, ENXIO);
    errno = 0;
    EXPECT_EQ(twdevice::open("/sys/class/tty/ttyACM0/none", O_RDONLY), -1);
    EXPECT_EQ(errno, ENOENT);

    FILE* f = twdevice::fopen("/sys/class/tty/ttyACM0/idVendor", "r");
    ASSERT_NE(f, nullptr);
    fclose(f);

    int in = inotify_init1(IN_CLOEXEC);
    ASSERT_GE(in, 0);
    EXPECT_GE(twdevice::inotifyAddWatch(in, "/sys/class/tty", IN_CREATE), 0);
    EXPECT_LT(twdevice::inotifyAddWatch(in, "/sys/none", IN_CREATE), 0);
    close(in);
}

TEST(DeviceAccessRecord, EachAccessIsRecordedOnceWithItsResolvedPath) {
    TempRoot root;
    ASSERT_EQ(twdevice::mkdirs("/sys/devices/virtual/twinel/tw2", 0755), 0);
    ASSERT_EQ(twdevice::mkdirs("/sys/class/twinel", 0755), 0);
    ASSERT_EQ(
            symlink("../../devices/virtual/twinel/tw2", root.real("/sys/class/twinel/tw2").c_str()),
            0);
    writeText(root.real("/sys/devices/virtual/twinel/tw2/tw2_pd"), "0\n");
    std::string record = root.dir() + "-record.txt";
    setenv(twdevice::kAccessRecordEnv, record.c_str(), 1);

    for (int i = 0; i < 2; i++) {
        int fd = twdevice::open("/sys/class/twinel/tw2/tw2_pd", O_WRONLY);
        ASSERT_GE(fd, 0);
        int pending = 0;
        EXPECT_EQ(twdevice::ioctl(fd, FIONREAD, &pending), 0);
        twdevice::close(fd);
    }
    int fd = twdevice::open("/sys/devices/virtual/twinel/tw2/new", O_WRONLY | O_CREAT, 0644);
    ASSERT_GE(fd, 0);
    twdevice::close(fd);
    DIR* dir = twdevice::opendir("/sys/class/twinel");
    ASSERT_NE(dir, nullptr);
    closedir(dir);
    int in = inotify_init1(IN_CLOEXEC);
    ASSERT_GE(in, 0);
    EXPECT_GE(twdevice::inotifyAddWatch(in, "/sys/class/twinel/tw2", IN_MODIFY), 0);
    close(in);
    EXPECT_EQ(twdevice::access("/sys/class/twinel/tw2/tw2_pd", R_OK), 0);
    // A path that is not there is no access to record.
    EXPECT_EQ(twdevice::access("/dev/hidraw0", F_OK), -1);
    unsetenv(twdevice::kAccessRecordEnv);
    // Nothing more once the variable is gone.
    fd = twdevice::open("/sys/class/twinel/tw2/tw2_pd", O_RDONLY);
    ASSERT_GE(fd, 0);
    twdevice::close(fd);

    std::ifstream in2(record);
    std::vector<std::string> lines;
    for (std::string line; std::getline(in2, line);) lines.push_back(line);
    unlink(record.c_str());
    const std::string pd = "/sys/class/twinel/tw2/tw2_pd /sys/devices/virtual/twinel/tw2/tw2_pd";
    EXPECT_EQ(lines, (std::vector<std::string>{
                             "write file " + pd,
                             "ioctl file " + pd,
                             "create file /sys/devices/virtual/twinel/tw2/new "
                             "/sys/devices/virtual/twinel/tw2/new",
                             "list dir /sys/class/twinel /sys/class/twinel",
                             "watch dir /sys/class/twinel/tw2 /sys/devices/virtual/twinel/tw2",
                             "probe-read file " + pd,
                     }));
}

TEST(DevicePath, NullPathsFailCleanly) {
    TempRoot root;
    EXPECT_EQ(twdevice::open(nullptr, O_RDONLY), -1);
    EXPECT_EQ(errno, EFAULT);
    EXPECT_EQ(twdevice::access(nullptr, F_OK), -1);
    EXPECT_EQ(twdevice::opendir(nullptr), nullptr);
    EXPECT_EQ(twdevice::realpath(nullptr), "");
}

TEST(DevicePath, HwbinderSocketDirIsCreatedSticky01777) {
    TempRoot root;
    std::string dir = twdevice::hwbinderSocketDir();
    EXPECT_EQ(dir, root.dir() + "/dev/socket/hwbinder");
    struct stat st;
    ASSERT_EQ(stat(dir.c_str(), &st), 0);
    EXPECT_TRUE(S_ISDIR(st.st_mode));
    EXPECT_EQ(st.st_mode & 07777, 01777u);
    // A second call finds it.
    EXPECT_EQ(twdevice::hwbinderSocketDir(), dir);
}

TEST(DevicePtySeam, DtrOnAPtyIsAcceptedElsewhereTheRealIoctlRuns) {
    int master = posix_openpt(O_RDWR | O_NOCTTY);
    ASSERT_GE(master, 0);
    ASSERT_EQ(grantpt(master), 0);
    ASSERT_EQ(unlockpt(master), 0);
    int slave = open(ptsname(master), O_RDWR | O_NOCTTY);
    ASSERT_GE(slave, 0);
    EXPECT_TRUE(twdevice::isPty(slave));
    EXPECT_TRUE(twdevice::isPty(master));

    int bits = TIOCM_DTR;
    // The kernel refuses modem lines on a pty ...
    EXPECT_EQ(::ioctl(slave, TIOCMBIS, &bits), -1);
    // ... the seam takes them as done.
    EXPECT_EQ(twdevice::ioctl(slave, TIOCMBIS, &bits), 0);
    EXPECT_EQ(twdevice::ioctl(slave, TIOCMBIC, &bits), 0);
    // Other requests are the kernel's.
    struct termios tio;
    EXPECT_EQ(twdevice::ioctl(slave, TCGETS, &tio), 0);
    close(slave);
    close(master);

    // Not a pty: the real error comes back.
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    EXPECT_FALSE(twdevice::isPty(fds[0]));
    EXPECT_EQ(twdevice::ioctl(fds[0], TIOCMBIS, &bits), -1);
    EXPECT_EQ(errno, ENOTTY);
    close(fds[0]);
    close(fds[1]);
}

TEST(DeviceHidrawSeam, FeatureReportsAndOutputReportsReachTheSimulator) {
    TempRoot root;
    twsim::Simulator sim(root.dir());
    ASSERT_TRUE(sim.ok());
    ASSERT_TRUE(sim.plug());

    int fd = twdevice::open("/dev/hidraw0", O_RDONLY | O_NONBLOCK);
    ASSERT_GE(fd, 0) << strerror(errno);
    EXPECT_TRUE(twdevice::isHidrawSeam(fd));

    uint8_t info[7] = {2};
    ASSERT_EQ(twdevice::ioctl(fd, HIDIOCGFEATURE(sizeof(info)), info), 7);
    EXPECT_EQ(info[0], 2);
    EXPECT_EQ(info[1] | (info[2] << 8), twsim::kSubDisplayWidth);
    EXPECT_EQ(info[3] | (info[4] << 8), twsim::kSubDisplayHeight);
    EXPECT_EQ(info[5], twsim::kSubDisplayFormat);
    EXPECT_EQ(info[6] & 1, 1);

    uint8_t config[3] = {3, 0x02, 0x5a};
    EXPECT_EQ(twdevice::ioctl(fd, HIDIOCSFEATURE(sizeof(config)), config), 3);
    uint8_t back[3] = {3};
    EXPECT_EQ(twdevice::ioctl(fd, HIDIOCGFEATURE(sizeof(back)), back), 3);
    EXPECT_EQ(back[1], 0x02);
    EXPECT_EQ(back[2], 0x5a);

    std::vector<uint8_t> frame(4096, 0x11);
    frame[0] = 2;
    EXPECT_EQ(twdevice::write(fd, frame.data(), frame.size()), 4096);

    // A report the device does not have stalls.
    uint8_t unknown[4] = {9};
    EXPECT_EQ(twdevice::ioctl(fd, HIDIOCGFEATURE(sizeof(unknown)), unknown), -1);
    EXPECT_EQ(errno, EPIPE);
    // Requests that are not hidraw's are refused on the seam.
    int value = 0;
    EXPECT_EQ(twdevice::ioctl(fd, TIOCMBIS, &value), -1);
    close(fd);

    std::vector<twsim::HidRecord> records = sim.hidRecords();
    ASSERT_EQ(records.size(), 5u);
    EXPECT_EQ(records[1].op, twdevice::hidseam::kSetFeature);
    EXPECT_EQ(records[1].report, std::vector<uint8_t>({3, 0x02, 0x5a}));
    EXPECT_EQ(records[3].op, twdevice::hidseam::kOutputReport);
    EXPECT_EQ(records[3].report.size(), 4096u);

    // After the unplug the node is gone.
    sim.unplug();
    EXPECT_EQ(twdevice::open("/dev/hidraw0", O_RDONLY), -1);
}

TEST(DeviceHidrawSeam, ConnectionLostMidwayIsNoDevice) {
    TempRoot root;
    twsim::Simulator sim(root.dir());
    ASSERT_TRUE(sim.plug());
    int fd = twdevice::open("/dev/hidraw0", O_WRONLY | O_NONBLOCK);
    ASSERT_GE(fd, 0);
    sim.unplug();
    uint8_t config[3] = {3, 0, 0};
    EXPECT_EQ(twdevice::ioctl(fd, HIDIOCSFEATURE(sizeof(config)), config), -1);
    EXPECT_EQ(errno, ENODEV);
    close(fd);
}

// A SOCK_SEQPACKET socket bound at `path` (not yet listening); -1 on failure.
int boundSeamSocket(const std::string& path) {
    int fd = socket(AF_UNIX, SOCK_SEQPACKET, 0);
    if (fd < 0) return -1;
    struct sockaddr_un addr = {};
    addr.sun_family = AF_UNIX;
    strncpy(addr.sun_path, path.c_str(), sizeof(addr.sun_path) - 1);
    if (bind(fd, reinterpret_cast<struct sockaddr*>(&addr), sizeof(addr)) < 0) {
        close(fd);
        return -1;
    }
    return fd;
}

// A seam peer that answers each request with the next canned reply.
class CannedPeer {
  public:
    CannedPeer(const std::string& path, std::vector<std::vector<uint8_t>> replies)
        : mReplies(std::move(replies)) {
        mListen = boundSeamSocket(path);
        listen(mListen, 1);
        mThread = std::thread([this] {
            int fd = accept(mListen, nullptr, nullptr);
            if (fd < 0) return;
            uint8_t buf[20000];
            for (const auto& reply : mReplies) {
                if (recv(fd, buf, sizeof(buf), 0) <= 0) break;
                send(fd, reply.data(), reply.size(), MSG_NOSIGNAL);
            }
            // Wait for the client to go before closing.
            recv(fd, buf, sizeof(buf), 0);
            close(fd);
        });
    }
    ~CannedPeer() {
        shutdown(mListen, SHUT_RDWR);
        mThread.join();
        close(mListen);
    }

  private:
    std::vector<std::vector<uint8_t>> mReplies;
    int mListen = -1;
    std::thread mThread;
};

std::vector<uint8_t> replyOf(int32_t result, std::vector<uint8_t> bytes = {}) {
    std::vector<uint8_t> out(4 + bytes.size());
    memcpy(out.data(), &result, 4);
    if (!bytes.empty()) memcpy(out.data() + 4, bytes.data(), bytes.size());
    return out;
}

TEST(DeviceHidrawSeam, MalformedRepliesAreRefused) {
    TempRoot root;
    ASSERT_EQ(twdevice::mkdirs("/dev", 0755), 0);
    CannedPeer peer(root.real("/dev/hidraw5"), {
                                                       {0x01, 0x02},        // shorter than a result
                                                       replyOf(7, {2, 1}),  // claims 7, carries 2
                                                       replyOf(-EIO),
                                                       replyOf(3, {2, 9, 9}),
                                               });
    int fd = twdevice::open("/dev/hidraw5", O_RDWR);
    ASSERT_GE(fd, 0) << strerror(errno);
    uint8_t buf[7] = {2};
    EXPECT_EQ(twdevice::ioctl(fd, HIDIOCGFEATURE(sizeof(buf)), buf), -1);
    EXPECT_EQ(errno, EPROTO);
    // The connection was shut after a malformed reply.
    EXPECT_EQ(twdevice::ioctl(fd, HIDIOCGFEATURE(sizeof(buf)), buf), -1);
    close(fd);

    CannedPeer peer2(root.real("/dev/hidraw6"), {
                                                        replyOf(7, {2, 1}),
                                                        replyOf(-EIO),
                                                        replyOf(3, {2, 9, 9}),
                                                });
    fd = twdevice::open("/dev/hidraw6", O_RDWR);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(twdevice::ioctl(fd, HIDIOCGFEATURE(sizeof(buf)), buf), -1);
    EXPECT_EQ(errno, EPROTO);
    EXPECT_EQ(twdevice::ioctl(fd, HIDIOCGFEATURE(sizeof(buf)), buf), -1);
    EXPECT_EQ(errno, EIO);
    memset(buf, 0, sizeof(buf));
    buf[0] = 2;
    EXPECT_EQ(twdevice::ioctl(fd, HIDIOCGFEATURE(sizeof(buf)), buf), 3);
    EXPECT_EQ(buf[1], 9);
    EXPECT_EQ(buf[3], 0);  // nothing beyond the reply's bytes is touched
    close(fd);
}

ino_t inodeOf(int fd) {
    struct stat st;
    return fstat(fd, &st) == 0 ? st.st_ino : 0;
}

bool infoWorks(int fd) {
    uint8_t info[7] = {2};
    return twdevice::ioctl(fd, HIDIOCGFEATURE(sizeof(info)), info) == 7 &&
           (info[1] | (info[2] << 8)) == twsim::kSubDisplayWidth;
}

TEST(DeviceHidrawSeam, ClosedConnectionIsKeptOnlyForTheSameSoundNode) {
    TempRoot root;
    twsim::Simulator sim(root.dir());
    ASSERT_TRUE(sim.plug());

    int fd = twdevice::open("/dev/hidraw0", O_RDWR | O_CLOEXEC);
    ASSERT_GE(fd, 0) << strerror(errno);
    ASSERT_TRUE(infoWorks(fd));
    ino_t first = inodeOf(fd);
    EXPECT_EQ(twdevice::close(fd), 0);
    // The next open of the node carries on on the same connection.
    fd = twdevice::open("/dev/hidraw0", O_RDWR | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(inodeOf(fd), first);
    EXPECT_TRUE(infoWorks(fd));
    // Two at once: the second is a connection of its own.
    int other = twdevice::open("/dev/hidraw0", O_RDWR | O_CLOEXEC);
    ASSERT_GE(other, 0);
    EXPECT_NE(inodeOf(other), first);
    EXPECT_TRUE(infoWorks(other));
    EXPECT_EQ(twdevice::close(other), 0);
    EXPECT_EQ(twdevice::close(fd), 0);

    // A device plugged again is a new node: a fresh connection that works.
    ASSERT_TRUE(sim.unplug());
    ASSERT_TRUE(sim.plug());
    fd = twdevice::open("/dev/hidraw0", O_RDWR | O_CLOEXEC);
    ASSERT_GE(fd, 0) << strerror(errno);
    EXPECT_TRUE(infoWorks(fd));
    EXPECT_NE(inodeOf(fd), first);
    EXPECT_EQ(twdevice::close(fd), 0);

    // A parked connection does not make a vanished node openable.
    ASSERT_TRUE(sim.unplug());
    errno = 0;
    EXPECT_EQ(twdevice::open("/dev/hidraw0", O_RDWR | O_CLOEXEC), -1);
    EXPECT_EQ(errno, ENOENT);
}

TEST(DeviceHidrawSeam, ALateReplyIsNeverTakenOnAReusedConnection) {
    TempRoot root;
    ASSERT_EQ(twdevice::mkdirs("/dev", 0755), 0);
    int listener = boundSeamSocket(root.real("/dev/hidraw4"));
    ASSERT_GE(listener, 0) << strerror(errno);
    ASSERT_EQ(listen(listener, 2), 0);
    // The first connection's answer is followed by a stray second one; the
    // second connection answers with other bytes.
    std::thread peer([&] {
        std::vector<int> conns;
        uint8_t buf[64];
        for (uint8_t value : {1, 2}) {
            int c = accept(listener, nullptr, nullptr);
            if (c < 0) break;
            conns.push_back(c);
            if (recv(c, buf, sizeof(buf), 0) <= 0) break;
            std::vector<uint8_t> answer = replyOf(3, {2, value, value});
            send(c, answer.data(), answer.size(), MSG_NOSIGNAL);
            if (value == 1) {
                std::vector<uint8_t> stray = replyOf(3, {2, 7, 7});
                send(c, stray.data(), stray.size(), MSG_NOSIGNAL);
            }
        }
        for (int c : conns) close(c);
    });

    uint8_t buf[3] = {2};
    int fd = twdevice::open("/dev/hidraw4", O_RDWR);
    ASSERT_GE(fd, 0) << strerror(errno);
    EXPECT_EQ(twdevice::ioctl(fd, HIDIOCGFEATURE(sizeof(buf)), buf), 3);
    EXPECT_EQ(buf[1], 1);
    // Let the stray answer arrive before the connection is handed back.
    struct pollfd pfd = {fd, POLLIN, 0};
    EXPECT_EQ(poll(&pfd, 1, 2000), 1);
    EXPECT_EQ(twdevice::close(fd), 0);

    fd = twdevice::open("/dev/hidraw4", O_RDWR);
    ASSERT_GE(fd, 0) << strerror(errno);
    buf[0] = 2;
    EXPECT_EQ(twdevice::ioctl(fd, HIDIOCGFEATURE(sizeof(buf)), buf), 3);
    EXPECT_EQ(buf[1], 2) << "the stray answer of the old connection was taken";
    twdevice::close(fd);
    peer.join();
    close(listener);
}

TEST(DeviceHidrawSeam, ADescriptorClosedBehindTheModulesBackIsNotParked) {
    TempRoot root;
    twsim::Simulator sim(root.dir());
    ASSERT_TRUE(sim.plug());
    int fd = twdevice::open("/dev/hidraw0", O_RDWR);
    ASSERT_GE(fd, 0);
    // The connection is closed without the module and its number now stands
    // for the read end of a pipe, which close() must really close.
    int pipeFds[2];
    ASSERT_EQ(pipe(pipeFds), 0);
    ASSERT_EQ(dup2(pipeFds[0], fd), fd);
    close(pipeFds[0]);
    EXPECT_EQ(twdevice::close(fd), 0);
    struct pollfd pfd = {pipeFds[1], POLLOUT, 0};
    ASSERT_EQ(poll(&pfd, 1, 0), 1);
    EXPECT_TRUE(pfd.revents & POLLERR) << "the pipe still has a reader";
    close(pipeFds[1]);
    fd = twdevice::open("/dev/hidraw0", O_RDWR);
    ASSERT_GE(fd, 0);
    EXPECT_TRUE(infoWorks(fd));
    twdevice::close(fd);
}

TEST(DeviceHidrawSeam, SocketWithNobodyBehindIsNoDevice) {
    TempRoot root;
    ASSERT_EQ(twdevice::mkdirs("/dev", 0755), 0);
    int s = boundSeamSocket(root.real("/dev/hidraw7"));
    ASSERT_GE(s, 0) << strerror(errno);
    close(s);  // the file stays, nobody listens
    EXPECT_EQ(twdevice::open("/dev/hidraw7", O_RDWR), -1);
    EXPECT_EQ(errno, ENODEV);
}

TEST(DeviceHidrawSeam, BadArgumentsAreRefusedBeforeSending) {
    TempRoot root;
    twsim::Simulator sim(root.dir());
    ASSERT_TRUE(sim.plug());
    int fd = twdevice::open("/dev/hidraw0", O_RDWR);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(twdevice::ioctl(fd, HIDIOCGFEATURE(7), nullptr), -1);
    EXPECT_EQ(errno, EFAULT);
    EXPECT_EQ(twdevice::write(fd, "x", 0), -1);
    EXPECT_EQ(errno, EINVAL);
    std::vector<uint8_t> huge(twdevice::hidseam::kMaxReport + 1, 2);
    EXPECT_EQ(twdevice::write(fd, huge.data(), huge.size()), -1);
    EXPECT_EQ(errno, EINVAL);
    close(fd);
    EXPECT_TRUE(sim.hidRecords().empty());
}

}  // namespace
