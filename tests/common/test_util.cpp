#include "test_util.h"

#include <errno.h>
#include <fcntl.h>
#include <ftw.h>
#include <limits.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
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
    if (mIn >= 0) close(mIn);
    if (mOut >= 0) close(mOut);
}

Child::Child(Child&& other) noexcept
    : mPid(other.mPid), mIn(other.mIn), mOut(other.mOut), mPending(std::move(other.mPending)) {
    other.mPid = -1;
    other.mIn = -1;
    other.mOut = -1;
}

Child& Child::operator=(Child&& other) noexcept {
    if (this != &other) {
        if (mPid > 0) kill(SIGKILL, true);
        if (mIn >= 0) close(mIn);
        if (mOut >= 0) close(mOut);
        mPid = other.mPid;
        mIn = other.mIn;
        mOut = other.mOut;
        mPending = std::move(other.mPending);
        other.mPid = -1;
        other.mIn = -1;
        other.mOut = -1;
    }
    return *this;
}

namespace {

// A child started from the main thread dies with the test process: a test
// that crashes (or that a sanitizer halts) must not leave servers behind
// holding ctest's output pipe, which turns the crash into a timeout. Not for
// children of other threads: the signal follows the thread that forked.
void dieWithParent(bool fromMainThread, pid_t parent) {
    if (!fromMainThread) return;
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (getppid() != parent) _exit(127);
}

}  // namespace

bool Child::startPiped(const std::vector<std::string>& argv, const std::vector<std::string>& env,
                       const std::string& logPath) {
    int in[2], out[2];
    if (pipe2(in, O_CLOEXEC) != 0) return false;
    if (pipe2(out, O_CLOEXEC) != 0) {
        close(in[0]);
        close(in[1]);
        return false;
    }
    const bool fromMain = gettid() == getpid();
    const pid_t parent = getpid();
    pid_t pid = fork();
    if (pid < 0) return false;
    if (pid == 0) {
        dieWithParent(fromMain, parent);
        dup2(in[0], 0);
        dup2(out[1], 1);
        for (const auto& e : env) putenv(strdup(e.c_str()));
        if (!logPath.empty()) {
            int fd = open(logPath.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
            if (fd >= 0) {
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
    close(in[0]);
    close(out[1]);
    mIn = in[1];
    mOut = out[0];
    mPid = pid;
    return true;
}

bool Child::writeLine(const std::string& line) {
    if (mIn < 0) return false;
    std::string l = line + "\n";
    return write(mIn, l.data(), l.size()) == static_cast<ssize_t>(l.size());
}

bool Child::readLine(std::string* line, int timeoutMs) {
    int64_t end = nowMs() + timeoutMs;
    for (;;) {
        size_t nl = mPending.find('\n');
        if (nl != std::string::npos) {
            *line = mPending.substr(0, nl);
            mPending.erase(0, nl + 1);
            return true;
        }
        int64_t left = end - nowMs();
        if (mOut < 0 || left <= 0) return false;
        struct pollfd pfd = {mOut, POLLIN, 0};
        if (poll(&pfd, 1, static_cast<int>(left)) <= 0) return false;
        char buf[4096];
        ssize_t n = read(mOut, buf, sizeof(buf));
        if (n <= 0) return false;
        mPending.append(buf, static_cast<size_t>(n));
    }
}

bool Child::start(const std::vector<std::string>& argv, const std::vector<std::string>& env,
                  const std::string& logPath) {
    const bool fromMain = gettid() == getpid();
    const pid_t parent = getpid();
    pid_t pid = fork();
    if (pid < 0) return false;
    if (pid == 0) {
        dieWithParent(fromMain, parent);
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

int64_t nowNs() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
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

std::string serviceRc() {
    return std::string(TWINEL_SOURCE_DIR) + "/service/vendor.zyr.hardware.twinel@1.1-service.rc";
}

std::string vendorInitRc() {
    return std::string(TWINEL_SOURCE_DIR) + "/service/init.twinel.rc";
}

std::string vendorUeventdRc() {
    return std::string(TWINEL_SOURCE_DIR) + "/service/ueventd.twinel.rc";
}

std::vector<std::string> serviceCommand(const std::string& rc) {
    return {binDir() + "/twinel-init",    "--ueventd", vendorUeventdRc(), "--init", vendorInitRc(),
            rc.empty() ? serviceRc() : rc};
}

bool asOrdinaryUser(const std::function<void()>& fn) {
    if (geteuid() != 0) {
        fn();
        return true;
    }
    const long kNobody = 65534;
    // Group first, while still privileged; the saved ids stay 0 so the way
    // back is open.
    if (syscall(SYS_setresgid, kNobody, kNobody, 0) != 0) return false;
    if (syscall(SYS_setresuid, kNobody, kNobody, 0) != 0) {
        syscall(SYS_setresgid, 0, 0, 0);
        return false;
    }
    fn();
    bool back = syscall(SYS_setresuid, 0, 0, 0) == 0;
    back = syscall(SYS_setresgid, 0, 0, 0) == 0 && back;
    return back;
}

}  // namespace twtest

namespace twtest {

bool startSimulator(Child* sim, const std::string& root, const std::vector<std::string>& env,
                    int timeoutMs) {
    if (!sim->startPiped({binDir() + "/twinel-sim", "--root", root}, env, root + "/sim.log")) {
        return false;
    }
    std::string line;
    return sim->readLine(&line, timeoutMs) && line.rfind("ready", 0) == 0;
}

bool startServiceManager(Child* manager, const std::string& root,
                         const std::vector<std::string>& env, int timeoutMs) {
    if (!manager->start({binDir() + "/hwservicemanager"}, env, root + "/servicemanager.log")) {
        return false;
    }
    std::string sock = root + "/dev/socket/hwbinder/hwservicemanager";
    return waitFor([&] { return access(sock.c_str(), F_OK) == 0; }, timeoutMs);
}

std::vector<std::string> simCommand(Child* sim, const std::string& command, int timeoutMs) {
    std::vector<std::string> out;
    if (!sim->writeLine(command)) return out;
    std::string line;
    while (sim->readLine(&line, timeoutMs)) {
        out.push_back(line);
        if (line.rfind("ok", 0) == 0 || line.rfind("error", 0) == 0) break;
    }
    return out;
}

bool simOk(Child* sim, const std::string& command, int timeoutMs) {
    std::vector<std::string> out = simCommand(sim, command, timeoutMs);
    return !out.empty() && out.back().rfind("ok", 0) == 0;
}

bool installServiceManifest(const std::string& root) {
    const std::string name = "vendor.zyr.hardware.twinel@1.1-service.xml";
    std::string text = readFile(std::string(TWINEL_SERVICE_DIR) + "/" + name);
    if (text.empty()) return false;
    std::string dir = root;
    for (const char* part : {"vendor", "etc", "vintf", "manifest"}) {
        dir = dir + "/" + part;
        if (mkdir(dir.c_str(), 0755) != 0 && errno != EEXIST) return false;
    }
    std::ofstream out(dir + "/" + name, std::ios::binary | std::ios::trunc);
    out << text;
    out.close();
    return static_cast<bool>(out);
}

}  // namespace twtest
