#include "test_util.h"

#include <errno.h>
#include <fcntl.h>
#include <ftw.h>
#include <limits.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <thread>

namespace twtest {

TempDir::TempDir(const char* prefix) {
    std::string tmpl = std::string("/tmp/") + prefix + "XXXXXX";
    std::vector<char> buf(tmpl.begin(), tmpl.end());
    buf.push_back('\0');
    if (mkdtemp(buf.data()) != nullptr) mPath = buf.data();
}

TempDir::~TempDir() {
    if (mPath.empty()) return;
    nftw(
            mPath.c_str(),
            [](const char* p, const struct stat*, int, struct FTW*) { return remove(p); }, 16,
            FTW_DEPTH | FTW_PHYS);
}

Child::~Child() {
    if (mPid > 0) kill(SIGKILL, true);
}

Child::Child(Child&& other) noexcept : mPid(other.mPid) {
    other.mPid = -1;
}

Child& Child::operator=(Child&& other) noexcept {
    if (this != &other) {
        if (mPid > 0) kill(SIGKILL, true);
        mPid = other.mPid;
        other.mPid = -1;
    }
    return *this;
}

bool Child::start(const std::vector<std::string>& argv, const std::vector<std::string>& env,
                  const std::string& logPath) {
    pid_t pid = fork();
    if (pid < 0) return false;
    if (pid == 0) {
        for (const auto& e : env) putenv(strdup(e.c_str()));
        if (!logPath.empty()) {
            int fd = open(logPath.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
            if (fd >= 0) {
                dup2(fd, 1);
                dup2(fd, 2);
                close(fd);
            }
        }
        std::vector<char*> args;
        for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        execv(args[0], args.data());
        _exit(127);
    }
    mPid = pid;
    return true;
}

bool Child::running() {
    if (mPid <= 0) return false;
    int status;
    pid_t r = waitpid(mPid, &status, WNOHANG);
    if (r == mPid) {
        mPid = -1;
        return false;
    }
    return true;
}

int Child::kill(int sig, bool wait) {
    if (mPid <= 0) return -1;
    ::kill(mPid, sig);
    if (!wait) return 0;
    int status = 0;
    while (waitpid(mPid, &status, 0) < 0 && errno == EINTR) {
    }
    mPid = -1;
    return status;
}

int Child::wait(int timeoutMs) {
    if (mPid <= 0) return -1;
    int64_t end = nowMs() + timeoutMs;
    do {
        int status;
        pid_t r = waitpid(mPid, &status, WNOHANG);
        if (r == mPid) {
            mPid = -1;
            return status;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    } while (nowMs() < end);
    return -1;
}

bool waitFor(const std::function<bool()>& cond, int timeoutMs) {
    int64_t end = nowMs() + timeoutMs;
    for (;;) {
        if (cond()) return true;
        if (nowMs() >= end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

int64_t nowMs() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

std::string binDir() {
    char buf[PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", buf, sizeof(buf) - 1);
    if (n <= 0) return ".";
    buf[n] = '\0';
    std::string p(buf);
    return p.substr(0, p.rfind('/'));
}

}  // namespace twtest
