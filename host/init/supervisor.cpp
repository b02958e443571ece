/*
 * twinel-init's supervisor: starts hwservicemanager and the services as
 * children, reaps them and starts them again as a phone's init does.
 *
 * One thread: every signal it acts on is blocked and taken with
 * sigtimedwait(), so reaping, restarting and stopping never race a handler.
 */
#define LOG_TAG "twinel-init"

#include "supervisor.h"

#include <errno.h>
#include <log/log.h>
#include <signal.h>
#include <string.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>
#include <utils/SystemClock.h>

#include <algorithm>

namespace twinit {

using ::android::uptimeMillis;

namespace {

// init's restart_period: a service is not started again sooner than this
// after its last start.
constexpr int64_t kRestartPeriodMs = 5000;
// How long the services wait for hwservicemanager to take connections
// before they start anyway (they then fail to register and are restarted).
constexpr int64_t kManagerStartMs = 5000;
// How long stopping everything waits for SIGTERM before SIGKILL.
constexpr int64_t kStopMs = 3000;

struct Running {
    Supervised what;
    pid_t pid = 0;
    int64_t startedMs = -kRestartPeriodMs;
    int64_t startAtMs = 0;  // when to start it next; -1: not to be started
};

// The inode of the socket file at path, 0 when there is none. The runtime
// puts a process's socket file in place once it listens, replacing the file
// a killed process left: a new inode is a manager that takes connections.
// (A connection to find out would show in its log as a peer that never
// introduced itself.)
ino_t socketInode(const std::string& path) {
    struct stat st;
    if (stat(path.c_str(), &st) != 0 || !S_ISSOCK(st.st_mode)) return 0;
    return st.st_ino;
}

std::string describe(int status) {
    if (WIFEXITED(status)) return "exited with status " + std::to_string(WEXITSTATUS(status));
    if (WIFSIGNALED(status)) return "killed by signal " + std::to_string(WTERMSIG(status));
    return "ended (status " + std::to_string(status) + ")";
}

class Supervisor {
  public:
    Supervisor(std::vector<Supervised> services, std::string managerSocket,
               std::function<bool(const Service&)> prepare)
        : mSocket(std::move(managerSocket)), mPrepare(std::move(prepare)) {
        for (auto& s : services) mAll.push_back({std::move(s)});
        sigemptyset(&mSignals);
        for (int sig : {SIGCHLD, SIGTERM, SIGINT, SIGHUP}) sigaddset(&mSignals, sig);
    }

    int run() {
        sigset_t old;
        if (sigprocmask(SIG_BLOCK, &mSignals, &old) < 0) {
            ALOGE("sigprocmask: %s", strerror(errno));
            return 1;
        }
        mChildMask = old;
        for (;;) {
            startDue();
            siginfo_t info;
            struct timespec wait = {0, 200 * 1000 * 1000};
            int sig = sigtimedwait(&mSignals, &info, &wait);
            if (sig == SIGTERM || sig == SIGINT || sig == SIGHUP) {
                ALOGI("stopping the services (signal %d)", sig);
                stopAll();
                return 0;
            }
            if (sig < 0 && errno != EAGAIN && errno != EINTR) {
                ALOGE("sigtimedwait: %s", strerror(errno));
                stopAll();
                return 1;
            }
            reap();
        }
    }

  private:
    void start(Running* r) {
        pid_t pid = fork();
        if (pid < 0) {
            ALOGE("cannot start service '%s': fork: %s", r->what.svc.name.c_str(), strerror(errno));
            r->startAtMs = uptimeMillis() + kRestartPeriodMs;
            return;
        }
        if (pid == 0) {
            sigprocmask(SIG_SETMASK, &mChildMask, nullptr);
            if (!mPrepare(r->what.svc)) _exit(1);
            // Gone with twinel-init, however it ends (set after the change of
            // user, which clears it).
            if (prctl(PR_SET_PDEATHSIG, SIGKILL) < 0 || getppid() != mSelf) _exit(1);
            const char* exe = r->what.exe.c_str();
            execv(exe, std::vector<char*>{const_cast<char*>(exe), nullptr}.data());
            ALOGE("cannot execute %s: %s", exe, strerror(errno));
            _exit(1);
        }
        r->pid = pid;
        r->startedMs = uptimeMillis();
        r->startAtMs = -1;
        ALOGI("started service '%s' (%s), pid %d", r->what.svc.name.c_str(), r->what.exe.c_str(),
              pid);
    }

    // Starts what is due: hwservicemanager first, the others once it takes
    // connections (or it had its time).
    void startDue() {
        int64_t now = uptimeMillis();
        Running& manager = mAll[0];
        if (manager.pid == 0 && manager.startAtMs >= 0 && manager.startAtMs <= now) {
            mStaleSocket = socketInode(mSocket);
            start(&manager);
            mManagerWaitUntil = uptimeMillis() + kManagerStartMs;
        }
        if (manager.pid == 0) return;
        if (mManagerWaitUntil != 0) {
            ino_t socket = socketInode(mSocket);
            if ((socket == 0 || socket == mStaleSocket) && uptimeMillis() < mManagerWaitUntil)
                return;
            mManagerWaitUntil = 0;
        }
        for (size_t i = 1; i < mAll.size(); i++) {
            Running& r = mAll[i];
            if (r.pid == 0 && r.startAtMs >= 0 && r.startAtMs <= now) start(&r);
        }
    }

    void reap() {
        for (;;) {
            int status = 0;
            pid_t pid = waitpid(-1, &status, WNOHANG);
            if (pid <= 0) return;
            for (size_t i = 0; i < mAll.size(); i++) {
                Running& r = mAll[i];
                if (r.pid != pid) continue;
                r.pid = 0;
                ALOGI("service '%s' (pid %d) %s", r.what.svc.name.c_str(), pid,
                      describe(status).c_str());
                if (r.startAtMs >= 0) break;  // stopped to be restarted
                if (r.what.svc.oneshot) break;
                r.startAtMs = std::max(uptimeMillis(), r.startedMs + kRestartPeriodMs);
                ALOGI("service '%s' restarts in %lld ms", r.what.svc.name.c_str(),
                      static_cast<long long>(r.startAtMs - uptimeMillis()));
                onRestart(r);
                break;
            }
        }
    }

    // The restarting service's onrestart lines; class_restart is the one
    // this host applies.
    void onRestart(const Running& restarting) {
        for (const auto& cmd : restarting.what.svc.onrestart) {
            if (cmd.size() != 2 || cmd[0] != "class_restart") {
                ALOGI("service '%s': onrestart '%s' is not applied on this host",
                      restarting.what.svc.name.c_str(), cmd[0].c_str());
                continue;
            }
            for (Running& r : mAll) {
                if (&r == &restarting) continue;
                const auto& classes = r.what.svc.classes;
                if (std::find(classes.begin(), classes.end(), cmd[1]) == classes.end()) continue;
                if (r.pid == 0) continue;  // restarts on its own schedule
                ALOGI("class_restart %s: stopping service '%s' (pid %d)", cmd[1].c_str(),
                      r.what.svc.name.c_str(), r.pid);
                // As init: killed now, started again once reaped.
                kill(r.pid, SIGKILL);
                r.startAtMs = 0;
            }
        }
    }

    void stopAll() {
        for (Running& r : mAll) {
            r.startAtMs = -1;
            if (r.pid > 0) kill(r.pid, SIGTERM);
        }
        int64_t deadline = uptimeMillis() + kStopMs;
        for (;;) {
            bool alive = false;
            for (Running& r : mAll) {
                if (r.pid <= 0) continue;
                if (waitpid(r.pid, nullptr, WNOHANG) == r.pid) {
                    r.pid = 0;
                } else {
                    alive = true;
                }
            }
            if (!alive) return;
            if (uptimeMillis() >= deadline) break;
            usleep(20 * 1000);
        }
        for (Running& r : mAll) {
            if (r.pid <= 0) continue;
            ALOGW("service '%s' (pid %d) did not stop: SIGKILL", r.what.svc.name.c_str(), r.pid);
            kill(r.pid, SIGKILL);
            waitpid(r.pid, nullptr, 0);
            r.pid = 0;
        }
    }

    std::vector<Running> mAll;  // [0]: hwservicemanager
    const std::string mSocket;
    const std::function<bool(const Service&)> mPrepare;
    sigset_t mSignals;
    sigset_t mChildMask;
    const pid_t mSelf = getpid();
    int64_t mManagerWaitUntil = 0;  // services wait for the manager until then
    ino_t mStaleSocket = 0;         // the manager's socket file when it was started
};

}  // namespace

int supervise(std::vector<Supervised> services, const std::string& managerSocket,
              const std::function<bool(const Service&)>& prepare) {
    if (services.empty()) return 1;
    return Supervisor(std::move(services), managerSocket, prepare).run();
}

}  // namespace twinit
