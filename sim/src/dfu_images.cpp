/*
 * Firmware images in the phone's /system_ext/etc/dfu.
 */
#include <dirent.h>
#include <string.h>
#include <twsim/dfu_images.h>

#include "internal.h"

namespace twsim {

namespace {

// A DfuSe file with one target and one element of `payload`: prefix,
// target prefix, element, suffix (the CRC is not computed; nothing here
// flashes it).
std::string dfuSeImage(const std::string& name) {
    std::string payload = "TWINEL FW " + name;
    auto le32 = [](uint32_t v) {
        std::string out(4, '\0');
        for (int i = 0; i < 4; i++) out[i] = static_cast<char>((v >> (8 * i)) & 0xff);
        return out;
    };
    std::string element = le32(0x08000000) + le32(static_cast<uint32_t>(payload.size())) + payload;
    std::string target = "Target" + std::string(1, '\0') + le32(0) + std::string(255, '\0') +
                         le32(static_cast<uint32_t>(element.size())) + le32(1) + element;
    std::string body = target;
    uint32_t total = static_cast<uint32_t>(11 + body.size());
    std::string prefix = "DfuSe" + std::string(1, '\x01') + le32(total) + std::string(1, '\x01');
    std::string suffix = std::string("\xff\xff\x11\xdf\x83\x04\x1a\x01UFD\x10", 12) + le32(0);
    return prefix + body + suffix;
}

}  // namespace

bool addDfuImage(const Simulator& sim, const std::string& name) {
    if (name.empty() || name.find('/') != std::string::npos) return false;
    return fs::makeDirs(sim.path(kDfuDir)) &&
           fs::writeFile(sim.path(kDfuDir) + "/" + name, dfuSeImage(name));
}

bool addDfuDirectory(const Simulator& sim, const std::string& name) {
    if (name.empty() || name.find('/') != std::string::npos) return false;
    return fs::makeDirs(sim.path(kDfuDir) + "/" + name);
}

bool clearDfuImages(const Simulator& sim) {
    bool ok = true;
    for (const std::string& name : dfuDirectoryOrder(sim)) {
        ok = fs::removeTree(sim.path(kDfuDir) + "/" + name) && ok;
    }
    return ok && fs::makeDirs(sim.path(kDfuDir));
}

bool removeDfuDirectory(const Simulator& sim) {
    return fs::removeTree(sim.path(kDfuDir));
}

std::vector<std::string> dfuDirectoryOrder(const Simulator& sim) {
    std::vector<std::string> names;
    DIR* dir = opendir(sim.path(kDfuDir).c_str());
    if (dir == nullptr) return names;
    while (struct dirent* entry = readdir(dir)) {
        if (strcmp(entry->d_name, ".") == 0 || strcmp(entry->d_name, "..") == 0) continue;
        names.push_back(entry->d_name);
    }
    closedir(dir);
    return names;
}

}  // namespace twsim
