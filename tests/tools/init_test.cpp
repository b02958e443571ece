/*
 * The service started as a phone's init starts it: from its .rc, as its user
 * and groups, against nodes owned as the ueventd and init files say.
 */
#include <dirent.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <string.h>
#include <sys/stat.h>
#include <twinit/init.h>
#include <unistd.h>

#include <fstream>
#include <map>
#include <sstream>

#include "tools_test_util.h"

namespace {

using twtools::System;

struct Case {
    const char* path;
    uid_t uid;
    gid_t gid;
    mode_t mode;
};

// The owner and mode the rules give each node the service uses; ids as
// android_filesystem_config.h has them (system 1000, radio 1001, usb 1018,
// wakelock 3010).
const Case kNodes[] = {
        {"/dev/ttyACM0", 1000, 1000, 0660},
        {"/dev/hidraw3", 1000, 1000, 0660},
        {"/dev/bus/usb/001/002", 0, 1018, 0660},
        {"/dev/kmsg", 0, 1000, 0620},
        {"/dev/video0", 0, 0, 0600},  // no rule: ueventd's default
        {"/sys/devices/platform/soc/usb1/1-1/power/control", 1000, 1000, 0664},
        {"/sys/devices/platform/soc/usb1/1-4/1-4:1.0/power/control", 1000, 1000, 0664},
};

TEST(InitRules, TheUeventdFilesGiveEachNodeItsOwnerAndMode) {
    twinit::NodeRules rules;
    std::string error;
    ASSERT_TRUE(rules.addUeventd(twtest::vendorUeventdRc(), &error)) << error;
    for (const Case& c : kNodes) {
        twinit::Owner o;
        ASSERT_TRUE(rules.lookup(c.path, &o)) << c.path;
        EXPECT_EQ(c.uid, o.uid) << c.path;
        EXPECT_EQ(c.gid, o.gid) << c.path;
        EXPECT_EQ(c.mode, o.mode) << std::oct << c.path;
    }
    twinit::Owner o;
    EXPECT_FALSE(rules.lookup("/sys/devices/platform/soc/usb1/1-1/idVendor", &o));
}

TEST(InitRules, TheServiceRcGivesUserGroupsAndClass) {
    twinit::Service svc;
    std::string error;
    ASSERT_TRUE(twinit::parseServiceRc(twtest::serviceRc(), &svc, &error)) << error;
    EXPECT_EQ("/vendor/bin/hw/vendor.zyr.hardware.twinel@1.1-service", svc.path);
    EXPECT_EQ("system", svc.user);
    EXPECT_EQ((std::vector<std::string>{"system", "usb", "wakelock"}), svc.groups);
    EXPECT_EQ(std::vector<std::string>{"hal"}, svc.classes);
    EXPECT_EQ(1000, twinit::androidId(svc.user));

    // Options init knows and this host does not apply are passed over; an
    // id Android does not have is refused.
    twtest::TempDir dir("twinitrc");
    std::string rc = dir.path() + "/x.rc";
    std::ofstream(rc) << "service x /vendor/bin/x\n    user system\n    task_profiles A\n"
                      << "    oneshot\n    group system\n";
    ASSERT_TRUE(twinit::parseServiceRc(rc, &svc, &error)) << error;
    EXPECT_TRUE(svc.oneshot);
    EXPECT_FALSE(svc.disabled);
    std::ofstream(rc) << "service x /vendor/bin/x\n    user system\n    group system pen\n";
    EXPECT_FALSE(twinit::parseServiceRc(rc, &svc, &error));
    EXPECT_NE(std::string::npos, error.find("x.rc:3: unknown Android id 'pen'")) << error;
}

std::string statusField(pid_t pid, const std::string& field) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind(field + ":", 0) == 0) {
            std::string value = line.substr(field.size() + 1);
            size_t first = value.find_first_not_of(" \t");
            size_t last = value.find_last_not_of(" \t");
            return first == std::string::npos ? "" : value.substr(first, last - first + 1);
        }
    }
    return "";
}

std::string usbfsNode(const std::string& root) {
    DIR* d = opendir((root + "/dev/bus/usb/001").c_str());
    std::string found;
    while (d != nullptr) {
        struct dirent* e = readdir(d);
        if (e == nullptr) break;
        if (e->d_name[0] != '.' && strcmp(e->d_name, "001") != 0) found = e->d_name;
    }
    if (d != nullptr) closedir(d);
    return found.empty() ? "" : "/dev/bus/usb/001/" + found;
}

class InitSystem : public ::testing::Test {
  protected:
    void SetUp() override {
        if (geteuid() != 0) GTEST_SKIP() << "needs root to drop to the .rc's user";
    }
};

TEST_F(InitSystem, TheServiceRunsAsItsRcSaysOnNodesOwnedAsUeventdSays) {
    System sys;
    ASSERT_TRUE(sys.ok());
    pid_t pid = sys.service().pid();
    EXPECT_EQ("1000\t1000\t1000\t1000", statusField(pid, "Uid"));
    EXPECT_EQ("1000\t1000\t1000\t1000", statusField(pid, "Gid"));
    EXPECT_EQ("1000 1018 3010", statusField(pid, "Groups"));
    EXPECT_EQ("0000000000000000", statusField(pid, "CapEff"));

    // The nodes that came with the plug, as the service finds them.
    std::string usb = usbfsNode(sys.root());
    ASSERT_FALSE(usb.empty());
    const Case plugged[] = {
            {"/dev/ttyACM0", 1000, 1000, 0660},
            {"/dev/hidraw0", 1000, 1000, 0660},
            {usb.c_str(), 0, 1018, 0660},
            {"/sys/devices/platform/soc/usb1/1-1/power/control", 1000, 1000, 0664},
            {"/sys/class/twinel/tw2/tw2_pd", 1000, 1000, 0660},
            {"/sys/power/wake_lock", 1001, 3010, 0660},
            {"/data/vendor/touch", 1000, 1000, 0770},
    };
    for (const Case& c : plugged) {
        struct stat st;
        ASSERT_EQ(0, stat((sys.root() + c.path).c_str(), &st)) << c.path;
        EXPECT_EQ(c.uid, st.st_uid) << c.path;
        EXPECT_EQ(c.gid, st.st_gid) << c.path;
        EXPECT_EQ(c.mode, st.st_mode & 07777) << std::oct << c.path;
    }
    EXPECT_NE(std::string::npos, sys.client({"getTW2Connect"}).out.find("connected: true"));
}

// Without the usb group the service cannot open the accessory's usbfs node
// (0660 root usb), so it never learns the accessory is there, while the
// AT channel and the sub display, whose nodes its user owns, come up.
TEST_F(InitSystem, AMissingGroupIsAPermissionErrorOnTheNode) {
    twtest::TempDir dir("twinitrc");
    std::string rc = dir.path() + "/vendor.zyr.hardware.twinel@1.1-service.rc";
    std::string text = twtest::readFile(twtest::serviceRc());
    size_t at = text.find("group system usb wakelock");
    ASSERT_NE(std::string::npos, at);
    text.replace(at, 25, "group system wakelock");
    std::ofstream(rc) << text;

    System sys(true, true, rc);
    ASSERT_TRUE(sys.ok());
    EXPECT_EQ("1000 3010", statusField(sys.service().pid(), "Groups"));
    EXPECT_NE(std::string::npos, sys.client({"getTW2Connect"}).out.find("connected: false"));
    EXPECT_NE(std::string::npos,
              twtest::readFile(sys.root() + "/service.log").find("usb_device_open failed"));
}

// The children of a process, by their command names.
std::map<std::string, pid_t> childrenByName(pid_t parent) {
    std::map<std::string, pid_t> out;
    std::string p = std::to_string(parent);
    std::ifstream in("/proc/" + p + "/task/" + p + "/children");
    pid_t child;
    while (in >> child) {
        std::string comm = twtest::readFile("/proc/" + std::to_string(child) + "/comm");
        if (!comm.empty() && comm.back() == '\n') comm.pop_back();
        out[comm] = child;
    }
    return out;
}

// hwservicemanager dying under twinel-init takes the hal class with it, as
// its onrestart lines say: both start again, the service registers with the
// new manager and answers; SIGTERM to twinel-init stops them all.
TEST(InitSupervisor, HwservicemanagerRestartRestartsTheHalClass) {
    System sys(false, false);  // the simulator alone
    ASSERT_TRUE(sys.ok());
    ASSERT_TRUE(twtest::installServiceManifest(sys.root()));
    std::vector<std::string> argv = twtest::serviceCommand();
    argv.insert(argv.end() - 1, {"--manager", std::string(TWINEL_SOURCE_DIR) +
                                                      "/host/servicemanager/hwservicemanager.rc"});
    twtest::Child init;
    ASSERT_TRUE(init.start(argv, sys.env(), sys.root() + "/init.log"));
    const std::string kManager = "hwservicemanage";  // comm holds 15 bytes
    const std::string kService = "vendor.zyr.hard";
    auto answers = [&] { return sys.client({"getTW2Connect"}, 5000).exitCode == 0; };
    ASSERT_TRUE(twtest::waitFor(answers, 15000)) << twtest::readFile(sys.root() + "/init.log");
    std::map<std::string, pid_t> before = childrenByName(init.pid());
    ASSERT_EQ(1u, before.count(kManager)) << twtest::readFile(sys.root() + "/init.log");
    ASSERT_EQ(1u, before.count(kService)) << twtest::readFile(sys.root() + "/init.log");

    ASSERT_EQ(0, kill(before[kManager], SIGKILL));
    // The manager comes back within init's 5 s restart period, the service
    // after it.
    std::map<std::string, pid_t> after;
    EXPECT_TRUE(twtest::waitFor(
            [&] {
                after = childrenByName(init.pid());
                return after.count(kManager) == 1 && after[kManager] != before[kManager] &&
                       after.count(kService) == 1 && after[kService] != before[kService] &&
                       answers();
            },
            20000))
            << twtest::readFile(sys.root() + "/init.log");
    EXPECT_NE(0, kill(before[kService], 0)) << "the old service still runs";

    init.kill(SIGTERM, false);
    int status = init.wait(10000);
    ASSERT_TRUE(WIFEXITED(status)) << status;
    EXPECT_EQ(0, WEXITSTATUS(status));
    for (const auto& c : after) EXPECT_NE(0, kill(c.second, 0)) << c.first << " still runs";
    // Waiting for hwservicemanager to take connections does not poll it with
    // connections that say nothing (each is an error on its log): a poll every
    // 200 ms over these seconds would leave dozens.
    std::string log = twtest::readFile(sys.root() + "/init.log");
    size_t silent = 0;
    for (size_t at = log.find("did not introduce"); at != std::string::npos;
         at = log.find("did not introduce", at + 1)) {
        silent++;
    }
    EXPECT_LT(silent, 5u) << log;
}

}  // namespace
