/*
 * property_get() and friends over the host's property store file.
 */
#define LOG_TAG "twcutils"

#include <cutils/properties.h>
#include <errno.h>
#include <fcntl.h>
#include <inttypes.h>
#include <log/log.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <twcutils/property_store.h>
#include <twdevice/device.h>
#include <unistd.h>

namespace twcutils {

namespace {

constexpr size_t kMaxStoreBytes = 1 << 20;

bool validKey(const std::string& key) {
    if (key.empty()) return false;
    for (unsigned char c : key) {
        if (c <= ' ' || c == '=' || c == 0x7f) return false;
    }
    return true;
}

bool validValue(const std::string& value) {
    return value.find_first_of(std::string("\n\r\0", 3)) == std::string::npos;
}

bool readWhole(const std::string& file, std::string* out) {
    int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    char buf[4096];
    for (;;) {
        ssize_t n = read(fd, buf, sizeof(buf));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        out->append(buf, static_cast<size_t>(n));
        if (out->size() > kMaxStoreBytes) {
            ALOGE("property store %s is larger than %zu bytes; rest ignored", file.c_str(),
                  kMaxStoreBytes);
            break;
        }
    }
    close(fd);
    return true;
}

void parseStore(const std::string& text, std::map<std::string, std::string>* props) {
    size_t pos = 0;
    while (pos < text.size()) {
        size_t end = text.find('\n', pos);
        if (end == std::string::npos) end = text.size();
        std::string line = text.substr(pos, end - pos);
        pos = end + 1;
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.empty() || line[0] == '#') continue;
        size_t eq = line.find('=');
        if (eq == std::string::npos || eq == 0) continue;
        (*props)[line.substr(0, eq)] = line.substr(eq + 1);
    }
}

int makeParent(const std::string& file) {
    size_t slash = file.rfind('/');
    if (slash == std::string::npos || slash == 0) return 0;
    std::string dir = file.substr(0, slash);
    std::string partial;
    size_t pos = 0;
    while (pos != std::string::npos) {
        size_t next = dir.find('/', pos + 1);
        partial = dir.substr(0, next);
        pos = next;
        if (partial.empty()) continue;
        if (mkdir(partial.c_str(), 0755) < 0 && errno != EEXIST) return -1;
    }
    return 0;
}

// Rewrites the store under its lock, applying `edit` to the loaded map.
template <typename Edit>
bool rewriteStore(const std::string& file, Edit edit) {
    if (makeParent(file) < 0) return false;
    std::string lockPath = file + ".lock";
    int lockFd = ::open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (lockFd < 0) return false;
    while (flock(lockFd, LOCK_EX) < 0) {
        if (errno != EINTR) {
            int err = errno;
            close(lockFd);
            errno = err;
            return false;
        }
    }
    std::map<std::string, std::string> props = propertyStoreLoad(file);
    edit(&props);
    std::string text;
    for (const auto& kv : props) text += kv.first + "=" + kv.second + "\n";

    char suffix[64];
    snprintf(suffix, sizeof(suffix), ".tmp.%d.%ld", getpid(),
             static_cast<long>(syscall(SYS_gettid)));
    std::string tmp = file + suffix;
    bool ok = false;
    int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd >= 0) {
        size_t done = 0;
        while (done < text.size()) {
            ssize_t n = ::write(fd, text.data() + done, text.size() - done);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) break;
            done += static_cast<size_t>(n);
        }
        ok = (done == text.size()) && close(fd) == 0;
        if (!ok) {
            int err = errno;
            if (done != text.size()) close(fd);
            errno = err;
        }
        if (ok && rename(tmp.c_str(), file.c_str()) < 0) ok = false;
        if (!ok) {
            int err = errno;
            unlink(tmp.c_str());
            errno = err;
        }
    }
    int err = errno;
    flock(lockFd, LOCK_UN);
    close(lockFd);
    errno = err;
    return ok;
}

}  // namespace

std::string propertyStorePath() {
    return twdevice::path("/dev/__properties__/properties");
}

std::map<std::string, std::string> propertyStoreLoad(const std::string& file) {
    std::map<std::string, std::string> props;
    std::string text;
    if (readWhole(file, &text)) parseStore(text, &props);
    return props;
}

bool propertyStoreSet(const std::string& file, const std::string& key, const std::string& value) {
    if (!validKey(key) || !validValue(value)) {
        ALOGE("property store: refusing key \"%s\"", key.c_str());
        errno = EINVAL;
        return false;
    }
    return rewriteStore(file,
                        [&](std::map<std::string, std::string>* props) { (*props)[key] = value; });
}

bool propertyStoreRemove(const std::string& file, const std::string& key) {
    return rewriteStore(file,
                        [&](std::map<std::string, std::string>* props) { props->erase(key); });
}

}  // namespace twcutils

extern "C" int __system_property_get(const char* name, char* value) {
    if (value == nullptr) return 0;
    value[0] = '\0';
    if (name == nullptr) return 0;
    std::map<std::string, std::string> props =
            twcutils::propertyStoreLoad(twcutils::propertyStorePath());
    auto it = props.find(name);
    if (it == props.end()) return 0;
    size_t len = it->second.size();
    if (len > PROP_VALUE_MAX - 1) len = PROP_VALUE_MAX - 1;
    memcpy(value, it->second.data(), len);
    value[len] = '\0';
    return static_cast<int>(len);
}

extern "C" int property_get(const char* key, char* value, const char* default_value) {
    if (value == nullptr) return -1;
    int len = __system_property_get(key, value);
    if (len < 1 && default_value != nullptr) {
        snprintf(value, PROPERTY_VALUE_MAX, "%s", default_value);
        return static_cast<int>(strlen(value));
    }
    return len;
}

extern "C" int8_t property_get_bool(const char* key, int8_t default_value) {
    if (key == nullptr) return default_value;
    char buf[PROPERTY_VALUE_MAX] = {'\0'};
    if (property_get(key, buf, "") < 1) return default_value;
    static const char* const kTrue[] = {"1", "true", "y", "yes", "on"};
    static const char* const kFalse[] = {"0", "false", "n", "no", "off"};
    for (const char* t : kTrue) {
        if (strcmp(buf, t) == 0) return 1;
    }
    for (const char* f : kFalse) {
        if (strcmp(buf, f) == 0) return 0;
    }
    return default_value;
}

static intmax_t propertyGetImax(const char* key, intmax_t lower, intmax_t upper,
                                intmax_t default_value) {
    if (key == nullptr) return default_value;
    char buf[PROPERTY_VALUE_MAX] = {'\0'};
    if (property_get(key, buf, "") < 1) return default_value;
    int saved = errno;
    errno = 0;
    char* end = nullptr;
    intmax_t result = strtoimax(buf, &end, 0);
    if ((result == INTMAX_MIN || result == INTMAX_MAX) && errno == ERANGE) {
        result = default_value;
    } else if (result < lower || result > upper || end == buf) {
        result = default_value;
    }
    errno = saved;
    return result;
}

extern "C" int64_t property_get_int64(const char* key, int64_t default_value) {
    return static_cast<int64_t>(propertyGetImax(key, INT64_MIN, INT64_MAX, default_value));
}

extern "C" int32_t property_get_int32(const char* key, int32_t default_value) {
    return static_cast<int32_t>(propertyGetImax(key, INT32_MIN, INT32_MAX, default_value));
}

extern "C" int property_set(const char* key, const char* value) {
    if (key == nullptr) return -1;
    if (value == nullptr) value = "";
    if (strlen(value) >= PROPERTY_VALUE_MAX) return -1;
    std::string file = twcutils::propertyStorePath();
    // Read-only properties keep their first value, as on the phone.
    if (strncmp(key, "ro.", 3) == 0) {
        auto props = twcutils::propertyStoreLoad(file);
        if (props.count(key) != 0) return -1;
    }
    return twcutils::propertyStoreSet(file, key, value) ? 0 : -1;
}

extern "C" int property_list(void (*propfn)(const char* key, const char* value, void* cookie),
                             void* cookie) {
    if (propfn == nullptr) return -1;
    for (const auto& kv : twcutils::propertyStoreLoad(twcutils::propertyStorePath())) {
        propfn(kv.first.c_str(), kv.second.c_str(), cookie);
    }
    return 0;
}
