/*
 * The one-command demo (scripts/run) as a new user runs it, and the README
 * walkthrough: every shell block of README.md fenced as "sh" runs, in
 * order, in one shell.
 */
#include <dirent.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

#include "tools_test_util.h"

namespace {

const std::string kSource = TWINEL_SOURCE_DIR;

std::string buildDir() {
    return twtest::binDir() + "/..";
}

bool exists(const std::string& path) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

// Processes whose command line mentions `text`; they are killed.
std::vector<std::string> killLeftovers(const std::string& text) {
    std::vector<std::string> found;
    DIR* proc = opendir("/proc");
    if (proc == nullptr) return found;
    while (struct dirent* e = readdir(proc)) {
        pid_t pid = static_cast<pid_t>(atoi(e->d_name));
        if (pid <= 0 || pid == getpid()) continue;
        std::string cmdline = twtest::readFile("/proc/" + std::string(e->d_name) + "/cmdline");
        for (char& c : cmdline) {
            if (c == '\0') c = ' ';
        }
        if (cmdline.find(text) == std::string::npos) continue;
        found.push_back(std::to_string(pid) + ": " + cmdline);
        kill(pid, SIGKILL);
    }
    closedir(proc);
    return found;
}

// The environment of a new user's shell: no device root chosen, the build
// tree of this test.
std::vector<std::string> userEnv() {
    return {"TWINEL_DEVICE_ROOT", "HIDL_PASSTHROUGH_PATH", "TWINEL_BUILD_DIR=" + buildDir()};
}

// What follows `prefix` on the last line that has it, up to the next blank.
std::string lastAfter(const std::string& text, const std::string& prefix) {
    std::string found;
    for (const auto& line : twtools::lines(text)) {
        size_t at = line.find(prefix);
        if (at == std::string::npos) continue;
        std::string rest = line.substr(at + prefix.size());
        found = rest.substr(0, rest.find(' '));
    }
    return found;
}

// `text` with every `from` replaced by `to`.
std::string replaceAll(std::string text, const std::string& from, const std::string& to) {
    for (size_t at = text.find(from); at != std::string::npos;
         at = text.find(from, at + to.size())) {
        text.replace(at, from.size(), to);
    }
    return text;
}

TEST(Run, NewUserRunsTheDemo) {
    twtest::TempDir home("twruncwd");
    twtools::RunResult r = twtools::run({kSource + "/scripts/run"}, userEnv(), 90000, home.path());
    ASSERT_FALSE(r.timedOut) << "out:\n" << r.out << "\nerr:\n" << r.err;
    EXPECT_EQ(0, r.exitCode) << r.out << r.err;
    EXPECT_EQ("", r.err);

    // Every step announced and passed.
    for (const char* step :
         {"start the simulator", "start hwservicemanager", "start the service",
          "plug the accessory", "firmware version", "cover screen power-on", "brightness sweep",
          "test pattern on the sub display", "wake gesture", "firmware check", "unplug"}) {
        EXPECT_NE(std::string::npos, r.out.find(std::string("] ") + step + "\n")) << step;
    }
    EXPECT_NE(std::string::npos, r.out.find("version: QPA330X-V1.00_20240301"));
    EXPECT_NE(std::string::npos, r.out.find("AT%DB=20 AT%DB=80 AT%DB=140 AT%DB=200 AT%DB=255"));
    EXPECT_NE(std::string::npos,
              r.out.find("notifyEventChange_1_1: event 0 (WAKEUP), result 0 (recognised)"));
    EXPECT_NE(std::string::npos, r.out.find("file: QPA330X-V1.02_20240501.dfu"));

    std::string png = lastAfter(r.out, "sub display picture: ");
    ASSERT_EQ(0u, png.find('/')) << r.out;
    std::string runDir = png.substr(0, png.rfind('/'));
    twtools::Grey pic;
    ASSERT_TRUE(twtools::readPng(png, &pic)) << png;
    EXPECT_EQ(128u, pic.width);
    EXPECT_EQ(128u, pic.height);
    if (pic.width == 128 && pic.height == 128) {
        // The border pattern: frame, corner square, black inside.
        EXPECT_EQ(255, pic.at(0, 0));
        EXPECT_EQ(255, pic.at(127, 64));
        EXPECT_EQ(255, pic.at(64, 127));
        EXPECT_EQ(255, pic.at(8, 8));
        EXPECT_EQ(0, pic.at(64, 64));
        EXPECT_EQ(0, pic.at(1, 64));
    }
    // Everything it started has ended and its device tree is gone.
    EXPECT_EQ(std::vector<std::string>{}, killLeftovers(runDir));
    EXPECT_FALSE(exists(runDir + "/root"));
    EXPECT_TRUE(exists(runDir + "/logs/service.log"));
    twtools::run({"/bin/rm", "-rf", runDir}, {}, 10000);
}

TEST(Run, AFailedStepIsNamedAndEverythingStops) {
    // A build tree whose client fails one brightness level.
    twtest::TempDir fake("twrunfake");
    std::string bin = fake.path() + "/bin";
    ASSERT_EQ(0, mkdir(bin.c_str(), 0755));
    for (const char* prog : {"vendor.zyr.hardware.twinel@1.1-service", "twinel-sim",
                             "hwservicemanager", "lshal", "twinel-init"}) {
        ASSERT_EQ(0, symlink((twtest::binDir() + "/" + prog).c_str(), (bin + "/" + prog).c_str()));
    }
    std::string wrapper = bin + "/twinelctl";
    std::ofstream(wrapper) << "#!/bin/sh\n"
                           << "if [ \"$1 $2\" = \"setBrightness 140\" ]; then\n"
                           << "  echo 'status: 1 (failure)'; exit 1\n"
                           << "fi\n"
                           << "exec " << twtest::binDir() << "/twinelctl \"$@\"\n";
    ASSERT_EQ(0, chmod(wrapper.c_str(), 0755));

    twtools::RunResult r = twtools::run({kSource + "/scripts/run"},
                                        {"TWINEL_DEVICE_ROOT", "TWINEL_BUILD_DIR=" + fake.path()},
                                        90000, fake.path());
    ASSERT_FALSE(r.timedOut) << "out:\n" << r.out << "\nerr:\n" << r.err;
    EXPECT_EQ(1, r.exitCode) << r.out << r.err;
    EXPECT_NE(std::string::npos, r.err.find("FAILED at step [9] brightness sweep")) << r.err;
    EXPECT_NE(std::string::npos, r.err.find("twinelctl exited with 1, expected 0")) << r.err;
    EXPECT_EQ(std::string::npos, r.out.find("All steps passed"));
    std::string logs = lastAfter(r.err, "logs: ");
    ASSERT_EQ(0u, logs.find('/')) << r.err;
    std::string runDir = logs.substr(0, logs.rfind("/logs"));
    EXPECT_EQ(std::vector<std::string>{}, killLeftovers(runDir));
    EXPECT_FALSE(exists(runDir + "/root"));
    twtools::run({"/bin/rm", "-rf", runDir}, {}, 10000);
}

TEST(Run, UnknownArgumentIsRefused) {
    twtools::RunResult r = twtools::run({kSource + "/scripts/run", "--kep"}, userEnv(), 10000);
    EXPECT_EQ(2, r.exitCode);
    EXPECT_EQ("scripts/run: unknown argument \"--kep\" (try --help)\n", r.err);
    r = twtools::run({kSource + "/scripts/run", "--help"}, userEnv(), 10000);
    EXPECT_EQ(0, r.exitCode);
    EXPECT_NE(std::string::npos, r.out.find("--keep")) << r.out;
}

// The shell blocks of README.md fenced as "sh", joined in order.
std::string readmeScript() {
    std::ifstream in(kSource + "/README.md");
    std::string line, script;
    bool inBlock = false;
    while (std::getline(in, line)) {
        if (!inBlock && line == "```sh") {
            inBlock = true;
        } else if (inBlock && line == "```") {
            inBlock = false;
        } else if (inBlock) {
            script += line + "\n";
        }
    }
    return script;
}

TEST(Readme, WalkthroughRuns) {
    std::string script = readmeScript();
    ASSERT_NE(std::string::npos, script.find("scripts/run --keep")) << script;
    twtest::TempDir dir("twreadme");
    // The service runs as its .rc's user, which must reach the device root.
    ASSERT_EQ(0, chmod(dir.path().c_str(), 0755));
    std::string demo = dir.path() + "/demo";
    // The README's only fixed path, moved under this test's directory.
    for (size_t at = script.find("/tmp/"); at != std::string::npos;
         at = script.find("/tmp/", at + 1)) {
        ASSERT_EQ(at, script.find("/tmp/twinel-demo", at)) << script.substr(at, 40);
    }
    script = replaceAll(script, "/tmp/twinel-demo", demo);
#ifndef TWINEL_WITH_BENCH
    // The sanitizer builds have no benchmarks: their block is left out.
    const std::string benchBlock = "ctest --test-dir build -L bench\nbuild/bin/serial_bench\n";
    ASSERT_NE(std::string::npos, script.find(benchBlock)) << script;
    script = replaceAll(script, benchBlock, "");
#endif
    // The build tree of this test in place of build/.
    script = replaceAll(script, "--test-dir build ", "--test-dir " + buildDir() + " ");
    ASSERT_EQ(std::string::npos, script.find("--test-dir build")) << script;
    script = replaceAll(script, "\nbuild/bin/", "\n" + twtest::binDir() + "/");
    std::string file = dir.path() + "/walkthrough.sh";
    // Each command is echoed (set -x), so the output of a run that overstays
    // names the step it was in.
    std::ofstream(file) << "set -euxo pipefail\ncd " << kSource << "\n" << script;

    // Within ctest's limit for these tests, so that a run that overstays is
    // reported with its output instead of being killed silently.
    twtools::RunResult r = twtools::run({"/bin/bash", file}, userEnv(), 120000, dir.path());
    // Stop what the walkthrough started even when it failed on the way.
    if (exists(demo + "/stop")) twtools::run({demo + "/stop"}, {}, 10000);
    std::vector<std::string> left = killLeftovers(demo);
    ASSERT_FALSE(r.timedOut) << "out:\n" << r.out << "\nerr:\n" << r.err;
    EXPECT_EQ(0, r.exitCode) << "script:\n" << script << "\nout:\n" << r.out << "\nerr:\n" << r.err;
    EXPECT_EQ(std::vector<std::string>{}, left);
}

}  // namespace
