/*
 * The .rc reader and the node rule engine of the host launcher.
 */
#define LOG_TAG "twinel-init"

#include <dirent.h>
#include <errno.h>
#include <fnmatch.h>
#include <log/log.h>
#include <string.h>
#include <sys/stat.h>
#include <twinit/init.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <map>
#include <sstream>

namespace twinit {

namespace {

// android_filesystem_config.h (Android 11): the ids a vendor .rc or ueventd
// rule may name.
const std::map<std::string, long> kAndroidIds = {
        {"root", 0},
        {"daemon", 1},
        {"bin", 2},
        {"system", 1000},
        {"radio", 1001},
        {"bluetooth", 1002},
        {"graphics", 1003},
        {"input", 1004},
        {"audio", 1005},
        {"camera", 1006},
        {"log", 1007},
        {"compass", 1008},
        {"mount", 1009},
        {"wifi", 1010},
        {"adb", 1011},
        {"install", 1012},
        {"media", 1013},
        {"dhcp", 1014},
        {"sdcard_rw", 1015},
        {"vpn", 1016},
        {"keystore", 1017},
        {"usb", 1018},
        {"drm", 1019},
        {"mdnsr", 1020},
        {"gps", 1021},
        {"media_rw", 1023},
        {"mtp", 1024},
        {"drmrpc", 1026},
        {"nfc", 1027},
        {"sdcard_r", 1028},
        {"clat", 1029},
        {"loop_radio", 1030},
        {"media_drm", 1031},
        {"package_info", 1032},
        {"sdcard_pics", 1033},
        {"sdcard_av", 1034},
        {"sdcard_all", 1035},
        {"logd", 1036},
        {"shared_relro", 1037},
        {"dbus", 1038},
        {"tlsdate", 1039},
        {"media_ex", 1040},
        {"audioserver", 1041},
        {"metrics_coll", 1042},
        {"metricsd", 1043},
        {"webserv", 1044},
        {"debuggerd", 1045},
        {"media_codec", 1046},
        {"cameraserver", 1047},
        {"firewall", 1048},
        {"trunks", 1049},
        {"nvram", 1050},
        {"dns", 1051},
        {"dns_tether", 1052},
        {"webview_zygote", 1053},
        {"vehicle_network", 1054},
        {"media_audio", 1055},
        {"media_video", 1056},
        {"media_image", 1057},
        {"tombstoned", 1058},
        {"media_obb", 1059},
        {"ese", 1060},
        {"ota_update", 1061},
        {"automotive_evs", 1062},
        {"lowpan", 1063},
        {"hsm", 1064},
        {"reserved_disk", 1065},
        {"statsd", 1066},
        {"incidentd", 1067},
        {"secure_element", 1068},
        {"lmkd", 1069},
        {"llkd", 1070},
        {"iorapd", 1071},
        {"gpu_service", 1072},
        {"network_stack", 1073},
        {"gsid", 1074},
        {"fsverity_cert", 1075},
        {"credstore", 1076},
        {"external_storage", 1077},
        {"ext_data_rw", 1078},
        {"ext_obb_rw", 1079},
        {"context_hub", 1080},
        {"shell", 2000},
        {"cache", 2001},
        {"diag", 2002},
        {"net_bt_admin", 3001},
        {"net_bt", 3002},
        {"inet", 3003},
        {"net_raw", 3004},
        {"net_admin", 3005},
        {"net_bw_stats", 3006},
        {"net_bw_acct", 3007},
        {"readproc", 3009},
        {"wakelock", 3010},
        {"uhid", 3011},
        {"everybody", 9997},
        {"misc", 9998},
        {"nobody", 9999},
};

// The platform's rules for the nodes the service shares with the rest of
// the phone: usbfs nodes (/ueventd.rc) and the wake-lock file (/init.rc).
constexpr const char* kPlatformUeventd = "/dev/bus/usb/*  0660  root  usb\n";
constexpr const char* kPlatformInit =
        "on init\n"
        "    chown radio wakelock /sys/power/wake_lock\n"
        "    chmod 0660 /sys/power/wake_lock\n"
        "on post-fs-data\n"
        "    mkdir /data/vendor 0771 root root\n";

// The init stages whose actions run at start, in the order init runs them.
const std::vector<std::string> kBootTriggers = {
        "early-init", "init",    "late-init",    "early-fs",   "fs",
        "post-fs",    "late-fs", "post-fs-data", "early-boot", "boot"};

bool readText(const std::string& file, std::string* out, std::string* error) {
    std::ifstream in(file);
    if (!in) {
        *error = file + ": " + strerror(errno);
        return false;
    }
    std::stringstream ss;
    ss << in.rdbuf();
    *out = ss.str();
    return true;
}

// Lines of an .rc as words, with their numbers; comments and blank lines
// dropped.
std::vector<std::pair<int, std::vector<std::string>>> rcLines(const std::string& text) {
    std::vector<std::pair<int, std::vector<std::string>>> out;
    std::istringstream in(text);
    std::string line;
    int n = 0;
    while (std::getline(in, line)) {
        n++;
        std::istringstream words(line);
        std::vector<std::string> w;
        std::string word;
        while (words >> word) {
            if (word[0] == '#') break;
            w.push_back(word);
        }
        if (!w.empty()) out.emplace_back(n, std::move(w));
    }
    return out;
}

bool parseMode(const std::string& text, mode_t* mode) {
    if (text.size() < 3 || text.size() > 5 || text[0] != '0') return false;
    mode_t m = 0;
    for (char c : text) {
        if (c < '0' || c > '7') return false;
        m = m * 8 + static_cast<mode_t>(c - '0');
    }
    *mode = m;
    return true;
}

bool parseOwner(const std::string& mode, const std::string& user, const std::string& group,
                Owner* out) {
    long uid = androidId(user);
    long gid = androidId(group);
    if (uid < 0 || gid < 0 || !parseMode(mode, &out->mode)) return false;
    out->uid = static_cast<uid_t>(uid);
    out->gid = static_cast<gid_t>(gid);
    return true;
}

// ueventd's matching: a name without '*' matches itself, one ending in its
// only '*' is a prefix, any other is an fnmatch() pattern over path parts.
bool matches(const std::string& pattern, const std::string& path) {
    size_t star = pattern.find('*');
    if (star == std::string::npos) return pattern == path;
    if (star == pattern.size() - 1) return path.compare(0, star, pattern, 0, star) == 0;
    return fnmatch(pattern.c_str(), path.c_str(), FNM_PATHNAME) == 0;
}

bool startsWith(const std::string& s, const char* prefix) {
    return s.compare(0, strlen(prefix), prefix) == 0;
}

bool setOwner(const std::string& real, const Owner& o) {
    if (chown(real.c_str(), o.uid, o.gid) < 0 || chmod(real.c_str(), o.mode) < 0) {
        ALOGE("cannot set owner and mode of %s: %s", real.c_str(), strerror(errno));
        return false;
    }
    return true;
}

}  // namespace

long androidId(const std::string& name) {
    auto it = kAndroidIds.find(name);
    return it == kAndroidIds.end() ? -1 : it->second;
}

bool parseServiceRc(const std::string& file, Service* out, std::string* error) {
    std::string text;
    if (!readText(file, &text, error)) return false;
    Service svc;
    bool seen = false;
    for (const auto& [n, w] : rcLines(text)) {
        std::string where = file + ":" + std::to_string(n);
        if (w[0] == "service") {
            if (seen || w.size() < 3) {
                *error = where + ": expected one 'service NAME PATH'";
                return false;
            }
            seen = true;
            svc.name = w[1];
            svc.path = w[2];
            continue;
        }
        if (!seen) {
            *error = where + ": '" + w[0] + "' outside a service";
            return false;
        }
        if (w[0] == "user" && w.size() == 2) {
            svc.user = w[1];
        } else if (w[0] == "group" && w.size() >= 2) {
            svc.groups.assign(w.begin() + 1, w.end());
        } else if (w[0] == "class" && w.size() >= 2) {
            svc.classes.assign(w.begin() + 1, w.end());
        } else if (w[0] == "interface" && w.size() == 3) {
            svc.interfaces.emplace_back(w[1], w[2]);
        } else if (w[0] == "oneshot" && w.size() == 1) {
            svc.oneshot = true;
        } else if (w[0] == "disabled" && w.size() == 1) {
            svc.disabled = true;
        } else if (w[0] == "onrestart" && w.size() >= 2) {
            svc.onrestart.emplace_back(w.begin() + 1, w.end());
        } else {
            ALOGI("%s: ignoring '%s' (not applied on this host)", where.c_str(), w[0].c_str());
            continue;
        }
        if (w[0] == "user" || w[0] == "group") {
            for (size_t i = 1; i < w.size(); i++) {
                if (androidId(w[i]) < 0) {
                    *error = where + ": unknown Android id '" + w[i] + "'";
                    return false;
                }
            }
        }
    }
    if (!seen) {
        *error = file + ": no service";
        return false;
    }
    *out = std::move(svc);
    return true;
}

NodeRules::NodeRules() {
    std::string error;
    if (!addUeventdText(kPlatformUeventd, "platform ueventd.rc", &error) ||
        !addInitRcText(kPlatformInit, "platform init.rc", &error)) {
        ALOGE("%s", error.c_str());
    }
}

bool NodeRules::addUeventd(const std::string& file, std::string* error) {
    std::string text;
    return readText(file, &text, error) && addUeventdText(text, file, error);
}

bool NodeRules::addUeventdText(const std::string& text, const std::string& where,
                               std::string* error) {
    for (const auto& [n, w] : rcLines(text)) {
        std::string at = where + ":" + std::to_string(n);
        Owner o;
        if (startsWith(w[0], "/dev/") && w.size() == 4 && parseOwner(w[1], w[2], w[3], &o)) {
            mDevRules.push_back({w[0], o});
        } else if (startsWith(w[0], "/sys/") && w.size() == 5 && parseOwner(w[2], w[3], w[4], &o)) {
            mSysfsRules.push_back({w[0], w[1], o});
        } else if (startsWith(w[0], "/")) {
            *error = at +
                     ": expected '/dev/node MODE USER GROUP' or "
                     "'/sys/path ATTRIBUTE MODE USER GROUP' with a known user and group";
            return false;
        } else {
            ALOGI("%s: ignoring '%s' (not applied on this host)", at.c_str(), w[0].c_str());
        }
    }
    return true;
}

bool NodeRules::addInitRc(const std::string& file, std::string* error) {
    std::string text;
    return readText(file, &text, error) && addInitRcText(text, file, error);
}

bool NodeRules::addInitRcText(const std::string& text, const std::string& where,
                              std::string* error) {
    // Commands are collected per trigger and then queued in boot order.
    std::map<std::string, std::vector<InitCommand>> byTrigger;
    std::string trigger;
    bool inService = false;
    for (const auto& [n, w] : rcLines(text)) {
        std::string at = where + ":" + std::to_string(n);
        if (w[0] == "on") {
            inService = false;
            trigger = w.size() == 2 ? w[1] : "";
            if (trigger.empty() || std::find(kBootTriggers.begin(), kBootTriggers.end(), trigger) ==
                                           kBootTriggers.end()) {
                ALOGI("%s: ignoring the action's trigger (only boot stages run here)", at.c_str());
                trigger.clear();
            }
            continue;
        }
        if (w[0] == "service" || w[0] == "import") {
            inService = w[0] == "service";
            trigger.clear();
            continue;
        }
        if (inService) continue;
        if (trigger.empty()) continue;
        mode_t mode;
        bool known =
                (w[0] == "chown" && w.size() == 4 && androidId(w[1]) >= 0 &&
                 androidId(w[2]) >= 0) ||
                (w[0] == "chmod" && w.size() == 3 && parseMode(w[1], &mode)) ||
                (w[0] == "mkdir" && w.size() >= 2 && w.size() <= 5 &&
                 (w.size() < 3 || parseMode(w[2], &mode)) &&
                 (w.size() < 4 || androidId(w[3]) >= 0) && (w.size() < 5 || androidId(w[4]) >= 0));
        if (known) {
            byTrigger[trigger].push_back({at, w});
        } else if (w[0] == "chown" || w[0] == "chmod" || w[0] == "mkdir") {
            *error = at + ": bad '" + w[0] + "' (arguments, mode or Android id)";
            return false;
        } else {
            ALOGI("%s: ignoring '%s' (not applied on this host)", at.c_str(), w[0].c_str());
        }
    }
    for (const auto& t : kBootTriggers) {
        auto it = byTrigger.find(t);
        if (it != byTrigger.end()) {
            mInitCommands.insert(mInitCommands.end(), it->second.begin(), it->second.end());
        }
    }
    return true;
}

bool NodeRules::lookup(const std::string& logical, Owner* out) const {
    if (startsWith(logical, "/dev/")) {
        for (auto it = mDevRules.rbegin(); it != mDevRules.rend(); ++it) {
            if (matches(it->pattern, logical)) {
                *out = it->owner;
                return true;
            }
        }
        *out = Owner{0, 0, 0600};
        return true;
    }
    if (startsWith(logical, "/sys/")) {
        for (auto it = mSysfsRules.rbegin(); it != mSysfsRules.rend(); ++it) {
            const std::string tail = "/" + it->attribute;
            if (logical.size() > tail.size() &&
                logical.compare(logical.size() - tail.size(), tail.size(), tail) == 0 &&
                matches(it->pattern, logical.substr(0, logical.size() - tail.size()))) {
                *out = it->owner;
                return true;
            }
        }
    }
    return false;
}

bool NodeRules::apply(const std::string& logical, const std::string& real) const {
    struct stat st;
    if (stat(real.c_str(), &st) < 0) {
        ALOGE("cannot set owner and mode of %s: %s", real.c_str(), strerror(errno));
        return false;
    }
    if (S_ISDIR(st.st_mode)) return true;
    Owner o;
    if (lookup(logical, &o)) return setOwner(real, o);
    if (startsWith(logical, "/sys/")) {
        return setOwner(real, Owner{0, 0, static_cast<mode_t>(st.st_mode & 07755)});
    }
    return true;
}

bool NodeRules::applyTree(const std::string& root, const std::string& logicalDir) const {
    return applyTreeReal(root, logicalDir);
}

bool NodeRules::applyTreeReal(const std::string& root, const std::string& logical) const {
    const std::string real = root + logical;
    struct stat st;
    if (lstat(real.c_str(), &st) < 0) return errno == ENOENT;
    if (S_ISLNK(st.st_mode)) {
        // A /dev node may be a link to the file that stands for it (a pty);
        // links in /sys lead to directories handled where they are.
        struct stat target;
        if (startsWith(logical, "/dev/") && stat(real.c_str(), &target) == 0 &&
            !S_ISDIR(target.st_mode)) {
            return apply(logical, real);
        }
        return true;
    }
    if (!S_ISDIR(st.st_mode)) return apply(logical, real);
    if (logical == "/dev/socket" || logical == "/dev/__properties__") return true;
    DIR* dir = opendir(real.c_str());
    if (dir == nullptr) {
        ALOGE("cannot list %s: %s", real.c_str(), strerror(errno));
        return false;
    }
    std::vector<std::string> names;
    while (struct dirent* e = readdir(dir)) {
        if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0) {
            names.push_back(e->d_name);
        }
    }
    closedir(dir);
    bool ok = true;
    for (const auto& name : names) ok = applyTreeReal(root, logical + "/" + name) && ok;
    return ok;
}

bool NodeRules::coldboot(const std::string& root) const {
    bool ok = applyTreeReal(root, "/dev");
    return applyTreeReal(root, "/sys") && ok;
}

bool NodeRules::runInit(const std::string& root) const {
    bool ok = true;
    for (const auto& c : mInitCommands) {
        const auto& w = c.args;
        if (w[0] == "chown") {
            std::string real = root + w[3];
            if (chown(real.c_str(), static_cast<uid_t>(androidId(w[1])),
                      static_cast<gid_t>(androidId(w[2]))) < 0) {
                ALOGE("%s: chown %s: %s", c.where.c_str(), w[3].c_str(), strerror(errno));
                ok = false;
            }
        } else if (w[0] == "chmod") {
            mode_t mode = 0;
            parseMode(w[1], &mode);
            std::string real = root + w[2];
            if (chmod(real.c_str(), mode) < 0) {
                ALOGE("%s: chmod %s: %s", c.where.c_str(), w[2].c_str(), strerror(errno));
                ok = false;
            }
        } else {
            // mkdir PATH [MODE [USER [GROUP]]]; an existing directory gets
            // the mode and owner too.
            mode_t mode = 0755;
            if (w.size() >= 3) parseMode(w[2], &mode);
            uid_t uid = w.size() >= 4 ? static_cast<uid_t>(androidId(w[3])) : 0;
            gid_t gid = w.size() >= 5 ? static_cast<gid_t>(androidId(w[4])) : 0;
            std::string real = root + w[1];
            if ((mkdir(real.c_str(), mode) < 0 && errno != EEXIST) ||
                chown(real.c_str(), uid, gid) < 0 || chmod(real.c_str(), mode) < 0) {
                ALOGE("%s: mkdir %s: %s", c.where.c_str(), w[1].c_str(), strerror(errno));
                ok = false;
            }
        }
    }
    return ok;
}

bool loadInstalledUeventd(const std::string& root, NodeRules* rules) {
    std::string file = root + kInstalledUeventd;
    if (access(file.c_str(), F_OK) < 0) return false;
    std::string error;
    if (!rules->addUeventd(file, &error)) {
        ALOGE("%s", error.c_str());
        return false;
    }
    return true;
}

}  // namespace twinit
