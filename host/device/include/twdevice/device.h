/*
 * The one door to device paths and device-only requests.
 *
 * On the phone every function here is a plain pass-through. On a host the
 * environment variable TWINEL_DEVICE_ROOT names a directory that stands for
 * "/": every logical path ("/dev/ttyACM0", "/sys/class/...") is looked up
 * under it. Callers keep and log the logical paths; only this module knows
 * where they really live.
 *
 * Two seams make the host tree behave like the phone's nodes:
 *  - serial: a pseudo-terminal has no modem lines, so raising or dropping
 *    DTR/RTS (TIOCMBIS, TIOCMBIC, TIOCMSET) on a pty is accepted as done and
 *    reported to the simulated accessory (a datagram "set|clear|assign BITS"
 *    on the socket dev/socket/pty-modem/N of the device root for the slave
 *    /dev/pts/N), which sends its log only while DTR is up; on any other
 *    descriptor the real ioctl runs.
 *  - hidraw: when a hidraw node is a SOCK_SEQPACKET Unix socket, open()
 *    connects to it and the feature requests (HIDIOCGFEATURE,
 *    HIDIOCSFEATURE) and output-report writes become messages on it
 *    (see <twdevice/hidraw_seam.h>). On a real hidraw node the real
 *    ioctls and writes run.
 */
#pragma once

#include <dirent.h>
#include <stdint.h>
#include <stdio.h>
#include <sys/stat.h>
#include <sys/types.h>

#include <string>

namespace twdevice {

// Name of the environment variable naming the device root.
constexpr const char* kRootEnv = "TWINEL_DEVICE_ROOT";

// Name of the environment variable naming the access record (host only):
// every device path the process opens, lists, watches, probes or sends an
// ioctl to is appended to that file once, as "op kind logical resolved".
constexpr const char* kAccessRecordEnv = "TWINEL_ACCESS_RECORD";

// The directory standing for "/", without a trailing slash; empty when real
// paths are used.
std::string root();

// Maps a logical absolute path to the path to use on this machine. Relative
// paths and every path when no root is set come back unchanged.
std::string path(const std::string& logical);

// The reverse of path(): a real path under the root back to its logical form.
// Paths outside the root (for example a pty slave "/dev/pts/3") are returned
// unchanged.
std::string logical(const std::string& real);

// File-system calls on logical paths; results and errno as the system calls.
int open(const char* path, int flags, mode_t mode = 0);
// close(2) for descriptors from open(). A hidraw seam connection is not torn
// down but kept for the next open() of the same node, which gets it back when
// it is still sound (same socket file, nothing pending, not hung up);
// otherwise that open() connects afresh. Any other descriptor is closed.
int close(int fd);
int access(const char* path, int mode);
int stat(const char* path, struct stat* st);
int lstat(const char* path, struct stat* st);
DIR* opendir(const char* path);
FILE* fopen(const char* path, const char* mode);
ssize_t readlink(const char* path, char* buf, size_t size);
// Canonical logical path of `path` (symbolic links resolved); empty with errno
// set on failure.
std::string realpath(const char* path);
// inotify_add_watch() on a logical path.
int inotifyAddWatch(int fd, const char* path, uint32_t mask);
// Creates `path` and its missing parents with `mode`; 0 or -1 with errno.
int mkdirs(const char* path, mode_t mode);

// Device requests. `arg` is the ioctl's third argument.
int ioctl(int fd, unsigned long request, void* arg);
// write(2), turned into an output-report message on a hidraw seam socket.
ssize_t write(int fd, const void* buf, size_t count);

// True when `fd` is either end of a pseudo-terminal.
bool isPty(int fd);
// True when `fd` is a connection to a hidraw seam socket.
bool isHidrawSeam(int fd);

// Notes in the access record (host only) that this process opened the
// kernel's uevent netlink socket, which has no path to record.
void recordUeventSocket();

// Directory holding the HIDL transport's sockets ("<root>/dev/socket/hwbinder"
// on a host), created with mode 01777 when missing. Returns the real path;
// empty with errno set when it cannot be created.
std::string hwbinderSocketDir();

}  // namespace twdevice
