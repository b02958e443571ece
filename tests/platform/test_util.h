/*
 * Helpers shared by the platform tests: a temporary device root and line
 * exchanges on the simulated serial port.
 */
#pragma once

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <twdevice/device.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

namespace twtest {

// A fresh directory standing for "/", named in TWINEL_DEVICE_ROOT while the
// object lives.
class TempRoot {
  public:
    TempRoot() {
        char tmpl[] = "/tmp/twplat-XXXXXX";
        char* dir = mkdtemp(tmpl);
        if (dir != nullptr) mDir = dir;
        setenv(twdevice::kRootEnv, mDir.c_str(), 1);
    }
    ~TempRoot() {
        unsetenv(twdevice::kRootEnv);
        std::error_code ec;
        if (!mDir.empty()) std::filesystem::remove_all(mDir, ec);
    }
    const std::string& dir() const { return mDir; }
    std::string real(const std::string& logical) const { return mDir + logical; }

  private:
    std::string mDir;
};

inline long elapsedMs(std::chrono::steady_clock::time_point since) {
    return static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                     std::chrono::steady_clock::now() - since)
                                     .count());
}

// Reads one line (canonical mode: one read is one line); "" on time-out,
// "<HUP>" on hang-up.
inline std::string readLine(int fd, int timeoutMs) {
    struct pollfd pfd = {fd, POLLIN, 0};
    int ret = poll(&pfd, 1, timeoutMs);
    if (ret <= 0) return "";
    if ((pfd.revents & POLLHUP) && !(pfd.revents & POLLIN)) return "<HUP>";
    char buf[1024];
    ssize_t n = read(fd, buf, sizeof(buf) - 1);
    if (n <= 0) return "<HUP>";
    return std::string(buf, static_cast<size_t>(n));
}

// Sends `command` and collects lines up to the final one (or a time-out).
inline std::vector<std::string> transact(int fd, const std::string& command, int timeoutMs = 1000) {
    std::vector<std::string> lines;
    if (write(fd, command.data(), command.size()) != static_cast<ssize_t>(command.size())) {
        return lines;
    }
    for (;;) {
        std::string line = readLine(fd, timeoutMs);
        if (line.empty()) break;
        lines.push_back(line);
        if (line == "OK\n" || line == "ERROR\n" || line == "<HUP>") break;
    }
    return lines;
}

}  // namespace twtest
