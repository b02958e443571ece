/*
 * klog_write() to the kernel log: "<root>/dev/kmsg" under a device root (a
 * regular file the simulator keeps), the real /dev/kmsg otherwise.
 */
#define LOG_TAG "twcutils"

#include <cutils/klog.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdarg.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <twdevice/device.h>
#include <unistd.h>

#include <atomic>
#include <vector>

namespace {

constexpr size_t kLogBufMax = 512;
std::atomic<int> gKlogLevel{KLOG_INFO_LEVEL};

}  // namespace

extern "C" void klog_set_level(int level) {
    gKlogLevel.store(level);
}

extern "C" void klog_writev(int level, const struct iovec* iov, int iov_count) {
    if (level > gKlogLevel.load()) return;
    if (iov == nullptr || iov_count <= 0 || iov_count >= IOV_MAX) return;
    // Opened per record: the device root's log file may be replaced at any
    // time, and the real /dev/kmsg takes one record per write either way.
    int fd = TEMP_FAILURE_RETRY(twdevice::open("/dev/kmsg", O_WRONLY | O_APPEND | O_CLOEXEC));
    if (fd < 0) return;
    std::vector<struct iovec> parts(iov, iov + iov_count);
    struct stat st;
    if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) {
        // In a plain file one record is one line, as dmesg shows them.
        char last = '\0';
        for (const auto& part : parts) {
            if (part.iov_len > 0 && part.iov_base != nullptr) {
                last = static_cast<const char*>(part.iov_base)[part.iov_len - 1];
            }
        }
        if (last != '\n') {
            static char newline[] = "\n";
            parts.push_back({newline, 1});
        }
    }
    TEMP_FAILURE_RETRY(writev(fd, parts.data(), static_cast<int>(parts.size())));
    twdevice::close(fd);
}

extern "C" void klog_write(int level, const char* fmt, ...) {
    if (level > gKlogLevel.load() || fmt == nullptr) return;
    char buf[kLogBufMax];
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(buf, sizeof(buf), fmt, ap);
    va_end(ap);
    buf[kLogBufMax - 1] = '\0';
    struct iovec iov[1];
    iov[0].iov_base = buf;
    iov[0].iov_len = strlen(buf);
    klog_writev(level, iov, 1);
}
