/*
 * The kernel drivers' side of the simulator: writes to the driver nodes are
 * taken from inotify (IN_CLOSE_WRITE) and recorded in order.
 *
 * A node is emptied once its content has been taken, so that a later write
 * that does not truncate (open write-only, write "on") is read alone. Every
 * opening of a watched node is also watched: it keeps two writes of one node
 * from being merged into a single inotify event.
 */
#define LOG_TAG "twinel-sim"

#include <errno.h>
#include <log/log.h>
#include <poll.h>
#include <string.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <unistd.h>

#include "internal.h"

namespace twsim {

NodeWatcher::~NodeWatcher() {
    stop();
}

bool NodeWatcher::start(Handler handler) {
    mHandler = std::move(handler);
    mInotifyFd = inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
    mWakeFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (mInotifyFd < 0 || mWakeFd < 0) {
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
    if (mInotifyFd >= 0) {
        close(mInotifyFd);
        mInotifyFd = -1;
    }
    if (mWakeFd >= 0) {
        close(mWakeFd);
        mWakeFd = -1;
    }
}

bool NodeWatcher::watch(const std::string& realDir, const std::string& logicalDir) {
    int wd = inotify_add_watch(mInotifyFd, realDir.c_str(), IN_OPEN | IN_CLOSE_WRITE | IN_ONLYDIR);
    if (wd < 0) {
        ALOGE("node watcher: watch %s: %s", realDir.c_str(), strerror(errno));
        return false;
    }
    std::lock_guard<std::mutex> l(mLock);
    mDirs[wd] = {realDir, logicalDir};
    return true;
}

void NodeWatcher::run() {
    alignas(struct inotify_event) char buf[16384];
    while (!mStop.load()) {
        struct pollfd fds[2] = {{mInotifyFd, POLLIN, 0}, {mWakeFd, POLLIN, 0}};
        int ret = poll(fds, 2, -1);
        if (ret < 0) {
            if (errno == EINTR) continue;
            ALOGE("node watcher: poll: %s", strerror(errno));
            break;
        }
        if (fds[1].revents) break;
        ssize_t n = read(mInotifyFd, buf, sizeof(buf));
        if (n < 0) {
            if (errno == EAGAIN || errno == EINTR) continue;
            ALOGE("node watcher: read: %s", strerror(errno));
            break;
        }
        processBatch(buf, static_cast<size_t>(n));
    }
}

void NodeWatcher::processBatch(const char* buf, size_t len) {
    struct Event {
        int wd;
        uint32_t mask;
        std::string name;
    };
    std::vector<Event> events;
    for (size_t off = 0; off + sizeof(struct inotify_event) <= len;) {
        const auto* ev = reinterpret_cast<const struct inotify_event*>(buf + off);
        off += sizeof(struct inotify_event) + ev->len;
        if (ev->mask & IN_Q_OVERFLOW) {
            ALOGE("node watcher: event queue overflow, writes lost");
            continue;
        }
        events.push_back({ev->wd, ev->mask, ev->len > 0 ? ev->name : ""});
    }
    for (size_t i = 0; i < events.size(); i++) {
        const Event& ev = events[i];
        std::pair<std::string, std::string> dir;
        {
            std::lock_guard<std::mutex> l(mLock);
            auto it = mDirs.find(ev.wd);
            if (it == mDirs.end()) continue;
            if (ev.mask & IN_IGNORED) {
                mDirs.erase(it);
                continue;
            }
            dir = it->second;
        }
        if (!(ev.mask & IN_CLOSE_WRITE) || ev.name.empty() || ev.name[0] == '.') continue;
        bool overtaken = false;
        for (size_t j = i + 1; j < events.size() && !overtaken; j++) {
            overtaken = events[j].wd == ev.wd && (events[j].mask & IN_CLOSE_WRITE) &&
                        events[j].name == ev.name;
        }
        NodeRecord record{dir.second + "/" + ev.name, "", Clock::now(), false};
        if (!overtaken) {
            std::string real = dir.first + "/" + ev.name;
            std::string content;
            if (fs::readFile(real, &content)) {
                if (truncate(real.c_str(), 0) < 0) {
                    ALOGE("node watcher: truncate %s: %s", real.c_str(), strerror(errno));
                }
                record.value = content;
                record.exact = !content.empty();
            }
        }
        mHandler(record);
    }
}

}  // namespace twsim
