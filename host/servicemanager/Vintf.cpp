/*
 * hwservicemanager: the HIDL instances the device's VINTF manifests declare.
 *
 * Only what lookups need is read: each <hal format="hidl"> with its package
 * name, transport, versions and instances, written either as <interface>
 * blocks or as <fqname> lines ("@1.1::IFoo/default").
 */
#define LOG_TAG "hwservicemanager"

#include "Vintf.h"

#include <dirent.h>
#include <errno.h>
#include <log/log.h>
#include <string.h>
#include <twdevice/device.h>

#include <algorithm>
#include <cstdio>
#include <set>

namespace android {
namespace hidl {
namespace manager {
namespace implementation {

namespace {

std::string trim(const std::string& s) {
    size_t b = s.find_first_not_of(" \t\r\n");
    if (b == std::string::npos) return std::string();
    size_t e = s.find_last_not_of(" \t\r\n");
    return s.substr(b, e - b + 1);
}

// The start tag of <tag ...> or <tag> at or after pos; npos when none.
size_t findStartTag(const std::string& xml, const std::string& tag, size_t pos, size_t end) {
    while (pos < end) {
        size_t at = xml.find("<" + tag, pos);
        if (at == std::string::npos || at >= end) return std::string::npos;
        char next = at + 1 + tag.size() < xml.size() ? xml[at + 1 + tag.size()] : '\0';
        if (next == '>' || next == ' ' || next == '\t' || next == '\n' || next == '\r') return at;
        pos = at + 1;
    }
    return std::string::npos;
}

// Every element <tag>...</tag> directly findable in [begin, end): its start
// tag and its inner text range.
struct Element {
    std::string startTag;
    size_t innerBegin;
    size_t innerEnd;
};

std::vector<Element> elements(const std::string& xml, const std::string& tag, size_t begin,
                              size_t end) {
    std::vector<Element> out;
    size_t pos = begin;
    for (;;) {
        size_t at = findStartTag(xml, tag, pos, end);
        if (at == std::string::npos) break;
        size_t close = xml.find('>', at);
        if (close == std::string::npos || close >= end) break;
        size_t endTag = xml.find("</" + tag + ">", close);
        if (endTag == std::string::npos || endTag > end) break;
        out.push_back({xml.substr(at, close - at + 1), close + 1, endTag});
        pos = endTag + tag.size() + 3;
    }
    return out;
}

std::string attribute(const std::string& startTag, const std::string& name) {
    size_t at = startTag.find(" " + name + "=\"");
    if (at == std::string::npos) return std::string();
    size_t begin = at + name.size() + 3;
    size_t end = startTag.find('"', begin);
    return end == std::string::npos ? std::string() : startTag.substr(begin, end - begin);
}

bool parseVersion(const std::string& text, size_t* major, size_t* minor) {
    // "1.1", or a range "1.0-2" whose first version is what is served.
    unsigned ma = 0, mi = 0;
    char rest = '\0';
    int n = sscanf(text.c_str(), "%u.%u%c", &ma, &mi, &rest);
    if (n < 2 || (n == 3 && rest != '-')) return false;
    *major = ma;
    *minor = mi;
    return true;
}

std::string stripComments(const std::string& xml) {
    std::string out;
    size_t pos = 0;
    for (;;) {
        size_t at = xml.find("<!--", pos);
        if (at == std::string::npos) break;
        out.append(xml, pos, at - pos);
        size_t end = xml.find("-->", at + 4);
        if (end == std::string::npos) return out;
        pos = end + 3;
    }
    out.append(xml, pos, std::string::npos);
    return out;
}

// The manifests are platform configuration that hwservicemanager reads, not
// device nodes of a HAL: their paths are mapped under the device root, and
// read without entering the record of the HAL's device accesses.
bool readFile(const std::string& logical, std::string* text) {
    FILE* f = ::fopen(twdevice::path(logical).c_str(), "re");
    if (f == nullptr) {
        if (errno != ENOENT) ALOGW("cannot read %s: %s", logical.c_str(), strerror(errno));
        return false;
    }
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof(buf), f)) > 0) text->append(buf, n);
    fclose(f);
    return true;
}

// "pkg@M.m::IFoo" -> package, major, minor, interface.
bool splitFqName(const std::string& fqName, std::string* package, size_t* major, size_t* minor,
                 std::string* iface) {
    size_t at = fqName.find('@');
    size_t colons = fqName.find("::");
    if (at == std::string::npos || colons == std::string::npos || colons < at) return false;
    *package = fqName.substr(0, at);
    *iface = fqName.substr(colons + 2);
    return parseVersion(fqName.substr(at + 1, colons - at - 1), major, minor) && !iface->empty();
}

}  // namespace

std::vector<DeclaredInstance> parseManifest(const std::string& text) {
    std::vector<DeclaredInstance> out;
    const std::string xml = stripComments(text);
    for (const Element& hal : elements(xml, "hal", 0, xml.size())) {
        std::string format = attribute(hal.startTag, "format");
        if (!format.empty() && format != "hidl") continue;
        auto field = [&](const std::string& tag) {
            std::vector<Element> e = elements(xml, tag, hal.innerBegin, hal.innerEnd);
            return e.empty() ? std::string()
                             : trim(xml.substr(e[0].innerBegin, e[0].innerEnd - e[0].innerBegin));
        };
        // <interface> blocks carry their own <name>: the package's name is
        // the first <name> before any of them.
        size_t firstIface = findStartTag(xml, "interface", hal.innerBegin, hal.innerEnd);
        std::vector<Element> names =
                elements(xml, "name", hal.innerBegin,
                         firstIface == std::string::npos ? hal.innerEnd : firstIface);
        if (names.empty()) continue;
        std::string package =
                trim(xml.substr(names[0].innerBegin, names[0].innerEnd - names[0].innerBegin));
        std::string transportText = field("transport");
        DeclaredTransport transport = transportText == "hwbinder" ? DeclaredTransport::HWBINDER
                                      : transportText == "passthrough"
                                              ? DeclaredTransport::PASSTHROUGH
                                              : DeclaredTransport::NONE;
        if (package.empty() || transport == DeclaredTransport::NONE) continue;

        std::vector<std::pair<size_t, size_t>> versions;
        for (const Element& v : elements(xml, "version", hal.innerBegin, hal.innerEnd)) {
            size_t ma, mi;
            if (parseVersion(trim(xml.substr(v.innerBegin, v.innerEnd - v.innerBegin)), &ma, &mi)) {
                versions.push_back({ma, mi});
            }
        }
        for (const Element& i : elements(xml, "interface", hal.innerBegin, hal.innerEnd)) {
            std::vector<Element> n = elements(xml, "name", i.innerBegin, i.innerEnd);
            if (n.empty()) continue;
            std::string iface = trim(xml.substr(n[0].innerBegin, n[0].innerEnd - n[0].innerBegin));
            for (const Element& inst : elements(xml, "instance", i.innerBegin, i.innerEnd)) {
                std::string name =
                        trim(xml.substr(inst.innerBegin, inst.innerEnd - inst.innerBegin));
                for (const auto& v : versions) {
                    out.push_back({package, v.first, v.second, iface, name, transport});
                }
            }
        }
        for (const Element& fq : elements(xml, "fqname", hal.innerBegin, hal.innerEnd)) {
            // "@1.1::IFoo/default"
            std::string text = trim(xml.substr(fq.innerBegin, fq.innerEnd - fq.innerBegin));
            size_t slash = text.find('/');
            size_t colons = text.find("::");
            size_t ma, mi;
            if (text.empty() || text[0] != '@' || slash == std::string::npos ||
                colons == std::string::npos || colons > slash ||
                !parseVersion(text.substr(1, colons - 1), &ma, &mi)) {
                continue;
            }
            out.push_back({package, ma, mi, text.substr(colons + 2, slash - colons - 2),
                           text.substr(slash + 1), transport});
        }
    }
    return out;
}

std::vector<DeclaredInstance> readManifests() {
    std::vector<DeclaredInstance> all;
    for (const char* root : {"/vendor/etc/vintf", "/system/etc/vintf"}) {
        std::vector<std::string> files = {std::string(root) + "/manifest.xml"};
        std::string dir = std::string(root) + "/manifest";
        if (DIR* d = ::opendir(twdevice::path(dir).c_str())) {
            std::vector<std::string> fragments;
            while (struct dirent* e = readdir(d)) {
                std::string name = e->d_name;
                if (name.size() > 4 && name.compare(name.size() - 4, 4, ".xml") == 0) {
                    fragments.push_back(dir + "/" + name);
                }
            }
            closedir(d);
            std::sort(fragments.begin(), fragments.end());
            files.insert(files.end(), fragments.begin(), fragments.end());
        }
        for (const auto& file : files) {
            std::string text;
            if (!readFile(file, &text)) continue;
            std::vector<DeclaredInstance> found = parseManifest(text);
            all.insert(all.end(), found.begin(), found.end());
        }
    }
    return all;
}

DeclaredTransport declaredTransport(const std::vector<DeclaredInstance>& all,
                                    const std::string& fqName, const std::string& instance) {
    std::string package, iface;
    size_t major, minor;
    if (!splitFqName(fqName, &package, &major, &minor, &iface)) return DeclaredTransport::NONE;
    for (const auto& d : all) {
        // A declared minor version serves every older minor version too.
        if (d.package == package && d.major == major && d.minor >= minor && d.interface == iface &&
            d.instance == instance) {
            return d.transport;
        }
    }
    return DeclaredTransport::NONE;
}

std::vector<std::string> declaredInstances(const std::vector<DeclaredInstance>& all,
                                           const std::string& fqName) {
    std::string package, iface;
    size_t major, minor;
    std::set<std::string> names;
    if (splitFqName(fqName, &package, &major, &minor, &iface)) {
        for (const auto& d : all) {
            if (d.package == package && d.major == major && d.minor >= minor &&
                d.interface == iface) {
                names.insert(d.instance);
            }
        }
    }
    return std::vector<std::string>(names.begin(), names.end());
}

}  // namespace implementation
}  // namespace manager
}  // namespace hidl
}  // namespace android
