/*
 * File helpers of the simulator (real paths).
 */
#define LOG_TAG "twinel-sim"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <log/log.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "internal.h"

namespace twsim {

bool startsWithNoCase(const std::string& text, const std::string& prefix) {
    if (text.size() < prefix.size()) return false;
    return strncasecmp(text.c_str(), prefix.c_str(), prefix.size()) == 0;
}

namespace fs {

namespace {

std::vector<std::string> components(const std::string& path) {
    std::vector<std::string> parts;
    size_t pos = 0;
    while (pos < path.size()) {
        size_t next = path.find('/', pos);
        if (next == std::string::npos) next = path.size();
        if (next > pos) parts.push_back(path.substr(pos, next - pos));
        pos = next + 1;
    }
    return parts;
}

}  // namespace

bool makeDirs(const std::string& dir, mode_t mode) {
    std::string partial;
    for (const std::string& part : components(dir)) {
        partial += "/" + part;
        if (mkdir(partial.c_str(), mode) < 0 && errno != EEXIST) {
            ALOGE("mkdir %s: %s", partial.c_str(), strerror(errno));
            return false;
        }
    }
    struct stat st;
    return stat(dir.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool writeFile(const std::string& file, const std::string& content, mode_t mode) {
    int fd = open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode);
    if (fd < 0) {
        ALOGE("open %s: %s", file.c_str(), strerror(errno));
        return false;
    }
    size_t done = 0;
    while (done < content.size()) {
        ssize_t n = write(fd, content.data() + done, content.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            ALOGE("write %s: %s", file.c_str(), strerror(errno));
            close(fd);
            return false;
        }
        done += static_cast<size_t>(n);
    }
    // The mode asked for, not the one the umask left.
    fchmod(fd, mode);
    return close(fd) == 0;
}

bool readFile(const std::string& file, std::string* out) {
    int fd = open(file.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    out->clear();
    char buf[4096];
    for (;;) {
        ssize_t n = read(fd, buf, sizeof(buf));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            close(fd);
            return false;
        }
        if (n == 0) break;
        out->append(buf, static_cast<size_t>(n));
    }
    close(fd);
    return true;
}

bool removeTree(const std::string& path) {
    struct stat st;
    if (lstat(path.c_str(), &st) < 0) return errno == ENOENT;
    if (!S_ISDIR(st.st_mode)) return unlink(path.c_str()) == 0 || errno == ENOENT;
    DIR* dir = opendir(path.c_str());
    if (dir != nullptr) {
        std::vector<std::string> names;
        while (struct dirent* de = readdir(dir)) {
            if (strcmp(de->d_name, ".") != 0 && strcmp(de->d_name, "..") != 0) {
                names.push_back(de->d_name);
            }
        }
        closedir(dir);
        for (const std::string& name : names) removeTree(path + "/" + name);
    }
    if (rmdir(path.c_str()) < 0 && errno != ENOENT) {
        ALOGE("rmdir %s: %s", path.c_str(), strerror(errno));
        return false;
    }
    return true;
}

bool relativeSymlink(const std::string& target, const std::string& link) {
    std::vector<std::string> to = components(target);
    std::vector<std::string> from = components(link);
    if (from.empty()) return false;
    from.pop_back();  // the link's own name: relative to its directory
    size_t common = 0;
    while (common < to.size() && common < from.size() && to[common] == from[common]) common++;
    std::string rel;
    for (size_t i = common; i < from.size(); i++) rel += "../";
    for (size_t i = common; i < to.size(); i++) {
        rel += to[i];
        if (i + 1 < to.size()) rel += "/";
    }
    if (rel.empty()) rel = ".";
    unlink(link.c_str());
    if (symlink(rel.c_str(), link.c_str()) < 0) {
        ALOGE("symlink %s -> %s: %s", link.c_str(), rel.c_str(), strerror(errno));
        return false;
    }
    return true;
}

bool publishFile(const std::string& file, const std::string& content, mode_t mode,
                 const std::function<bool(const std::string&)>& prepare) {
    size_t slash = file.rfind('/');
    std::string tmp = file.substr(0, slash + 1) + "." + file.substr(slash + 1) + ".tmp." +
                      std::to_string(getpid());
    if (!writeFile(tmp, content, mode)) return false;
    if (prepare && !prepare(tmp)) {
        unlink(tmp.c_str());
        return false;
    }
    bool ok = link(tmp.c_str(), file.c_str()) == 0;
    if (!ok) ALOGE("link %s: %s", file.c_str(), strerror(errno));
    unlink(tmp.c_str());
    return ok;
}

}  // namespace fs
}  // namespace twsim
