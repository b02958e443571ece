/*
 * What a phone's init and ueventd do for the service, done on a host under
 * the device root: read the service's .rc, and give the device root's nodes
 * the owners and modes the ueventd and init rules set.
 *
 * The rules are read from the real files (the service's ueventd fragment and
 * vendor init .rc), on top of the few platform rules the service depends on
 * (Android 11's /ueventd.rc and /init.rc). Paths in rules and queries are
 * logical ("/dev/ttyACM0"); only apply() and coldboot() touch the device
 * root.
 */
#pragma once

#include <sys/types.h>

#include <string>
#include <utility>
#include <vector>

namespace twinit {

// Android's numeric id of a user or group name ("system" -> 1000), as
// android_filesystem_config.h defines it; -1 when the name is unknown.
long androidId(const std::string& name);

// A service as its .rc declares it.
struct Service {
    std::string name;
    std::string path;  // the executable, as the phone installs it
    std::string user = "root";
    std::vector<std::string> groups;  // the first one is the primary group
    std::vector<std::string> classes;
    std::vector<std::pair<std::string, std::string>> interfaces;
    bool oneshot = false;
    bool disabled = false;
    // What init does when the service restarts: one command per line, its
    // words ("class_restart", "hal").
    std::vector<std::vector<std::string>> onrestart;
};

// Reads the one service of a .rc file. Options this launcher does not act
// on are logged and ignored; false with `error` set ("file:line: why") when
// the file cannot be read, holds no or two services, or names an unknown
// user or group.
bool parseServiceRc(const std::string& file, Service* out, std::string* error);

// Owner and mode that a rule gives a node.
struct Owner {
    uid_t uid = 0;
    gid_t gid = 0;
    mode_t mode = 0;
};

class NodeRules {
  public:
    // Starts with the platform's own rules the service relies on.
    NodeRules();

    // Adds the rules of a ueventd .rc ("/dev/node mode user group" and
    // "/sys/path attribute mode user group"); later rules win, as in
    // ueventd. False with `error` set on a line it cannot read.
    bool addUeventd(const std::string& file, std::string* error);
    bool addUeventdText(const std::string& text, const std::string& where, std::string* error);
    // Adds the chown, chmod and mkdir commands of an init .rc's actions
    // (other commands are logged and ignored). They run in run().
    bool addInitRc(const std::string& file, std::string* error);
    bool addInitRcText(const std::string& text, const std::string& where, std::string* error);

    // What ueventd gives the device node or sysfs file at `logical`: true
    // with `out` set when a rule (or ueventd's default for /dev nodes,
    // 0600 root root) applies, false when nothing does.
    bool lookup(const std::string& logical, Owner* out) const;

    // Gives the node `real` (the file behind `logical`; symbolic links are
    // followed) what lookup() says; sysfs files no rule names keep their
    // mode without group or other write, owned by root, as the kernel makes
    // them. True when nothing was to do or it was done.
    bool apply(const std::string& logical, const std::string& real) const;
    // Applies the rules to every node under /dev and /sys of the device
    // root, as ueventd's cold boot does (the sockets and property files
    // under /dev/socket and /dev/__properties__ are init's, not ueventd's).
    bool coldboot(const std::string& root) const;
    // Same for the files below `logicalDir` only.
    bool applyTree(const std::string& root, const std::string& logicalDir) const;
    // Runs the init commands (platform first, then each file in the order
    // added) under the device root.
    bool runInit(const std::string& root) const;

  private:
    struct DevRule {
        std::string pattern;
        Owner owner;
    };
    struct SysfsRule {
        std::string pattern;  // the device directory
        std::string attribute;
        Owner owner;
    };
    struct InitCommand {
        std::string where;  // file:line, for the log
        std::vector<std::string> args;
    };
    bool applyTreeReal(const std::string& root, const std::string& logical) const;

    std::vector<DevRule> mDevRules;
    std::vector<SysfsRule> mSysfsRules;
    std::vector<InitCommand> mInitCommands;
};

// Where init reads the vendor's ueventd fragment and init .rc files under a
// device root; the launcher installs them there, and the simulator reads the
// ueventd rules from there for the nodes it creates on plug.
constexpr const char* kInstalledUeventd = "/vendor/ueventd.rc";
constexpr const char* kInstalledInitDir = "/vendor/etc/init";

// Loads the ueventd rules installed under `root`. False when none are
// installed (the system was not started from its .rc) or they are unreadable.
bool loadInstalledUeventd(const std::string& root, NodeRules* rules);

}  // namespace twinit
