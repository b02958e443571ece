/*
 * The kernel drivers' side of the simulator: writes to the driver nodes are
 * recorded in order.
 *
 * Each recorded node is a named pipe held open by the watcher (read and
 * write, so writers never block and reads never see an end). A write of the
 * service arrives whole (well under PIPE_BUF); writes that arrive together
 * are split by the values the node takes, as sysfs would have seen them one
 * by one.
 */
#define LOG_TAG "twinel-sim"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <log/log.h>
#include <poll.h>
#include <string.h>
#include <sys/eventfd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

#include "internal.h"

namespace twsim {

namespace {

// The values the service writes to each node, by file name.
std::vector<std::string> knownValues(const std::string& name) {
    if (name == "tw2_pd") return {"1 0", "1 1", "0 0", "0 1"};
    if (name == "tw2_hal_ready" || name == "tw2_recovery") return {"Y"};
    if (name == "virtual_mcu_firmware_write") return {"0", "1", "6"};
    if (name == "aes_mode") return {"0", "2"};
    if (name == "control") return {"auto", "on"};
    return {};
}

// Puts an empty plain file where the named pipe `real` is, in one step.
void leavePlainFile(const std::string& real) {
    std::string tmp = real + ".plain";
    if (fs::writeFile(tmp, "") && rename(tmp.c_str(), real.c_str()) < 0) unlink(tmp.c_str());
}

}  // namespace

NodeWatcher::~NodeWatcher() {
    stop();
}

bool NodeWatcher::start(Handler handler) {
    mHandler = std::move(handler);
    mWakeFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (mWakeFd < 0) {
        ALOGE("node watcher: %s", strerror(errno));
        return false;
    }
    mThread = std::thread(&NodeWatcher::run, this);
    return true;
}

void NodeWatcher::stop() {
    mStop.store(true);
    if (mWakeFd >= 0) {
        uint64_t one = 1;
        if (write(mWakeFd, &one, sizeof(one)) < 0) ALOGE("node watcher: wake: %s", strerror(errno));
    }
    if (mThread.joinable()) mThread.join();
    // Leave plain files behind: a writer must never block on a pipe nobody
    // reads once the simulator is gone.
    std::lock_guard<std::mutex> l(mLock);
    for (auto& entry : mNodes) {
        leavePlainFile(entry.second.real);
        close(entry.first);
    }
    mNodes.clear();
    if (mWakeFd >= 0) {
        close(mWakeFd);
        mWakeFd = -1;
    }
}

bool NodeWatcher::watch(const std::string& realDir, const std::string& logicalDir) {
    DIR* dir = opendir(realDir.c_str());
    if (dir == nullptr) {
        ALOGE("node watcher: open %s: %s", realDir.c_str(), strerror(errno));
        return false;
    }
    std::vector<std::string> names;
    while (struct dirent* e = readdir(dir)) {
        if (e->d_name[0] == '.') continue;
        struct stat st;
        std::string real = realDir + "/" + e->d_name;
        if (lstat(real.c_str(), &st) == 0 && (S_ISREG(st.st_mode) || S_ISFIFO(st.st_mode))) {
            names.push_back(e->d_name);
        }
    }
    closedir(dir);

    bool ok = true;
    for (const auto& name : names) {
        std::string real = realDir + "/" + name;
        unlink(real.c_str());
        if (mkfifo(real.c_str(), 0666) < 0) {
            ALOGE("node watcher: mkfifo %s: %s", real.c_str(), strerror(errno));
            ok = false;
            continue;
        }
        chmod(real.c_str(), 0666);
        int fd = open(real.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0) {
            ALOGE("node watcher: open %s: %s", real.c_str(), strerror(errno));
            ok = false;
            continue;
        }
        Node node{real, logicalDir + "/" + name, knownValues(name)};
        std::sort(node.values.begin(), node.values.end(),
                  [](const std::string& a, const std::string& b) { return a.size() > b.size(); });
        std::lock_guard<std::mutex> l(mLock);
        mNodes[fd] = std::move(node);
    }
    mRebuild = true;
    uint64_t one = 1;
    if (mWakeFd >= 0 && write(mWakeFd, &one, sizeof(one)) < 0) {
        ALOGE("node watcher: wake: %s", strerror(errno));
    }
    return ok;
}

void NodeWatcher::unwatch(const std::string& realDir) {
    std::vector<int> closing;
    {
        std::lock_guard<std::mutex> l(mLock);
        for (auto it = mNodes.begin(); it != mNodes.end();) {
            if (it->second.real.compare(0, realDir.size() + 1, realDir + "/") == 0) {
                // A plain file in place before the read end goes: a writer
                // that opened the pipe after it would wait for a reader
                // forever, even once the directory is gone.
                leavePlainFile(it->second.real);
                closing.push_back(it->first);
                it = mNodes.erase(it);
            } else {
                ++it;
            }
        }
    }
    if (closing.empty()) return;
    mRebuild = true;
    uint64_t one = 1;
    if (mWakeFd >= 0 && write(mWakeFd, &one, sizeof(one)) < 0) {
        ALOGE("node watcher: wake: %s", strerror(errno));
    }
    // The thread may still poll them: close once it has rebuilt its set.
    for (int i = 0; i < 200 && mRebuild.load(); i++) usleep(1000);
    for (int fd : closing) close(fd);
}

void NodeWatcher::rebuildPollSet() {
    std::lock_guard<std::mutex> l(mLock);
    mPollFds.clear();
    for (const auto& entry : mNodes) mPollFds.push_back(entry.first);
}

void NodeWatcher::drain(int fd) {
    char buf[4096];
    ssize_t n = read(fd, buf, sizeof(buf));
    if (n <= 0) return;
    Node node;
    {
        std::lock_guard<std::mutex> l(mLock);
        auto it = mNodes.find(fd);
        if (it == mNodes.end()) return;
        node = it->second;
    }
    std::string data(buf, static_cast<size_t>(n));
    auto now = Clock::now();
    size_t pos = 0;
    while (pos < data.size()) {
        size_t take = data.size() - pos;
        for (const auto& v : node.values) {
            if (data.compare(pos, v.size(), v) == 0) {
                take = v.size();
                break;
            }
        }
        mHandler(NodeRecord{node.logical, data.substr(pos, take), now, true});
        pos += take;
    }
}

void NodeWatcher::run() {
    rebuildPollSet();
    while (!mStop.load()) {
        if (mRebuild.exchange(false)) rebuildPollSet();
        std::vector<struct pollfd> pfds;
        pfds.push_back({mWakeFd, POLLIN, 0});
        for (int fd : mPollFds) pfds.push_back({fd, POLLIN, 0});
        int ret = poll(pfds.data(), pfds.size(), -1);
        if (ret < 0) {
            if (errno == EINTR) continue;
            ALOGE("node watcher: poll: %s", strerror(errno));
            break;
        }
        if (pfds[0].revents) {
            uint64_t v;
            while (read(mWakeFd, &v, sizeof(v)) > 0) {
            }
            continue;
        }
        for (size_t i = 1; i < pfds.size(); i++) {
            if (pfds[i].revents & POLLIN) drain(pfds[i].fd);
        }
    }
}

}  // namespace twsim
