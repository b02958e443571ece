/*
 * twinel-init: starts a service from its .rc under the device root the way a
 * phone's init does.
 *
 *   twinel-init [--ueventd FILE]... [--init FILE]... [--manager MANAGER_RC] SERVICE_RC
 *
 * It installs the .rc files where init and ueventd read them under the
 * device root (TWINEL_DEVICE_ROOT, required), gives the root's /dev and /sys
 * nodes the owners and modes the ueventd rules set, runs the init files'
 * chown, chmod and mkdir commands, and then, when it runs as root, drops to
 * the .rc's user and groups and executes the service in its own place (the
 * service keeps this process's id). The executable is the .rc's path under
 * the device root when present there, else the program of that name beside
 * this one. Not run as root, the service runs as the current user.
 *
 * With --manager, twinel-init stays as the init of hwservicemanager (started
 * from MANAGER_RC) and of the service: it starts hwservicemanager, then the
 * service once hwservicemanager takes connections, starts again whichever
 * ends, and, when hwservicemanager restarts, restarts the classes its
 * `onrestart class_restart` lines name (the service's class hal among them),
 * as a phone's init does. SIGTERM stops both.
 */
#define LOG_TAG "twinel-init"

#include <errno.h>
#include <fcntl.h>
#include <grp.h>
#include <limits.h>
#include <log/log.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <twcutils/stderr_logger.h>
#include <twdevice/device.h>
#include <twinit/init.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "supervisor.h"

namespace {

int usage() {
    fprintf(stderr,
            "usage: twinel-init [--ueventd FILE]... [--init FILE]... [--manager MANAGER_RC] "
            "SERVICE_RC\n");
    return 64;
}

std::string baseName(const std::string& p) {
    size_t slash = p.rfind('/');
    return slash == std::string::npos ? p : p.substr(slash + 1);
}

bool copyFile(const std::string& from, const std::string& to) {
    std::ifstream in(from, std::ios::binary);
    std::ofstream out(to, std::ios::binary | std::ios::trunc);
    if (!in || !out) {
        ALOGE("cannot copy %s to %s: %s", from.c_str(), to.c_str(), strerror(errno));
        return false;
    }
    out << in.rdbuf();
    out.close();
    return static_cast<bool>(out) && chmod(to.c_str(), 0644) == 0;
}

// Puts the files where init and ueventd find them under the root.
bool install(const std::string& root, const std::vector<std::string>& ueventd,
             const std::vector<std::string>& init, const std::string& serviceRc) {
    if (twdevice::mkdirs(twinit::kInstalledInitDir, 0755) < 0) {
        ALOGE("cannot create %s: %s", twdevice::path(twinit::kInstalledInitDir).c_str(),
              strerror(errno));
        return false;
    }
    bool ok = true;
    for (const auto& f : init) {
        ok = copyFile(f, root + twinit::kInstalledInitDir + "/" + baseName(f)) && ok;
    }
    ok = copyFile(serviceRc, root + twinit::kInstalledInitDir + "/" + baseName(serviceRc)) && ok;
    // The vendor's ueventd.rc is one file: the fragments one after another.
    std::string all;
    for (const auto& f : ueventd) {
        std::ifstream in(f);
        std::stringstream ss;
        ss << in.rdbuf();
        all += "# " + baseName(f) + "\n" + ss.str() + "\n";
    }
    std::string target = root + twinit::kInstalledUeventd;
    std::ofstream out(target, std::ios::trunc);
    out << all;
    out.close();
    if (!out) {
        ALOGE("cannot write %s: %s", target.c_str(), strerror(errno));
        return false;
    }
    return ok;
}

std::string selfDir() {
    char buf[PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", buf, sizeof(buf) - 1);
    if (n <= 0) return ".";
    buf[n] = '\0';
    std::string p(buf);
    return p.substr(0, p.rfind('/'));
}

// The program of a service: its .rc's path under the device root when
// present there, else the program of that name beside this one.
std::string executable(const std::string& root, const twinit::Service& svc) {
    std::string exe = root + svc.path;
    if (access(exe.c_str(), X_OK) < 0) exe = selfDir() + "/" + baseName(svc.path);
    return exe;
}

// Drops to the service's user and groups, for good (real, effective and
// saved ids; no capabilities are kept).
bool dropTo(const twinit::Service& svc) {
    std::vector<gid_t> gids;
    for (const auto& g : svc.groups) gids.push_back(static_cast<gid_t>(twinit::androidId(g)));
    gid_t gid = gids.empty() ? static_cast<gid_t>(twinit::androidId(svc.user)) : gids[0];
    uid_t uid = static_cast<uid_t>(twinit::androidId(svc.user));
    // Android's init gives the supplementary groups the primary one too.
    if (setgroups(gids.size(), gids.data()) < 0 || setresgid(gid, gid, gid) < 0 ||
        setresuid(uid, uid, uid) < 0) {
        ALOGE("cannot become %s: %s", svc.user.c_str(), strerror(errno));
        return false;
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    twcutils::useStderrLogger();
    std::vector<std::string> ueventd, init;
    std::string serviceRc, managerRc;
    for (int i = 1; i < argc; i++) {
        std::string a = argv[i];
        if ((a == "--ueventd" || a == "--init") && i + 1 < argc) {
            (a == "--ueventd" ? ueventd : init).push_back(argv[++i]);
        } else if (a == "--manager" && i + 1 < argc && managerRc.empty()) {
            managerRc = argv[++i];
        } else if (a.empty() || a[0] == '-' || !serviceRc.empty()) {
            return usage();
        } else {
            serviceRc = a;
        }
    }
    if (serviceRc.empty()) return usage();
    const std::string root = twdevice::root();
    if (root.empty()) {
        ALOGE("%s must name the device root (the real / is never touched)", twdevice::kRootEnv);
        return 1;
    }

    twinit::Service svc;
    twinit::NodeRules rules;
    std::string error;
    if (!twinit::parseServiceRc(serviceRc, &svc, &error)) {
        ALOGE("%s", error.c_str());
        return 1;
    }
    twinit::Service manager;
    if (!managerRc.empty() && !twinit::parseServiceRc(managerRc, &manager, &error)) {
        ALOGE("%s", error.c_str());
        return 1;
    }
    for (const auto& f : ueventd) {
        if (!rules.addUeventd(f, &error)) {
            ALOGE("%s", error.c_str());
            return 1;
        }
    }
    for (const auto& f : init) {
        if (!rules.addInitRc(f, &error)) {
            ALOGE("%s", error.c_str());
            return 1;
        }
    }
    if (!install(root, ueventd, init, serviceRc)) return 1;

    const bool asRoot = geteuid() == 0;
    if (asRoot) {
        // "/" of a phone; a fresh temporary root is often 0700.
        if (chmod(root.c_str(), 0755) < 0) {
            ALOGE("cannot set the mode of %s: %s", root.c_str(), strerror(errno));
        }
        // ueventd's cold boot, then init's commands (init's win where both
        // name a node). A node that cannot be set is logged, as init does.
        rules.coldboot(root);
        rules.runInit(root);
        // The host's access record is written by the service itself.
        const char* record = getenv(twdevice::kAccessRecordEnv);
        if (record != nullptr && record[0] != '\0') {
            int fd = open(record, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
            if (fd < 0 || fchown(fd, static_cast<uid_t>(twinit::androidId(svc.user)),
                                 static_cast<gid_t>(-1)) < 0) {
                ALOGE("cannot prepare the access record %s: %s", record, strerror(errno));
            }
            if (fd >= 0) close(fd);
        }
    } else {
        ALOGW("not root: %s runs as the current user (uid %d), not as %s with groups of its .rc",
              svc.name.c_str(), static_cast<int>(getuid()), svc.user.c_str());
    }

    std::string exe = executable(root, svc);
    if (!managerRc.empty()) {
        ALOGI("supervising '%s' and '%s'", manager.name.c_str(), svc.name.c_str());
        return twinit::supervise({{manager, executable(root, manager)}, {svc, exe}},
                                 twdevice::hwbinderSocketDir() + "/hwservicemanager",
                                 [asRoot, &manager](const twinit::Service& s) {
                                     // A run's trace file is the service's.
                                     if (s.name == manager.name) unsetenv("TWINEL_TRACE");
                                     return !asRoot || dropTo(s);
                                 });
    }
    if (asRoot && !dropTo(svc)) return 1;
    std::string groups;
    for (const auto& g : svc.groups) groups += " " + g;
    ALOGI("starting service '%s' (%s) as %s, groups%s", svc.name.c_str(), exe.c_str(),
          asRoot ? svc.user.c_str() : "the current user", groups.c_str());
    execv(exe.c_str(), std::vector<char*>{const_cast<char*>(exe.c_str()), nullptr}.data());
    ALOGE("cannot execute %s: %s", exe.c_str(), strerror(errno));
    return 1;
}
