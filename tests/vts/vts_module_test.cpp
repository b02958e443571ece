/*
 * The VTS module run against the running system (service manager,
 * simulator and service as processes), once with the accessory detached and
 * once attached. Besides the module's own verdict, checks what the
 * simulator saw of it and that the module left the service as it found it.
 */
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <map>
#include <set>
#include <string>
#include <vector>

#include "test_util.h"
#include "tools_test_util.h"

namespace {

constexpr int kModuleTimeoutMs = 240 * 1000;
const char* const kInstance = "vendor.zyr.hardware.twinel@1.1::ITwinel/default";

// The module's checks that need the accessory attached, and those that need it absent.
const std::set<std::string> kNeedAttached = {
        "FirmwareVersionIsText", "CoverDisplayCutoutIsText", "SubDisplayInfoDescribesThePanel",
        "FrameOfThePanelSizeIsDrawn", "SubDisplayPowerCycleTellsTheCallback"};
const std::set<std::string> kNeedDetached = {"OperationsNeedingTheAccessoryFailWithoutIt"};

struct ModuleRun {
    int exitCode = -1;
    int64_t ms = 0;
    // Test name without the instance ("InterfaceChain") -> "COMPLETED" or "SKIPPED".
    std::map<std::string, std::string> results;
    std::string log;

    int count(const std::string& result) const {
        int n = 0;
        for (const auto& r : results) n += r.second == result;
        return n;
    }
};

// The value of the next "key": "value" pair at or after pos in gtest's JSON report.
bool nextValue(const std::string& json, const std::string& key, size_t* pos, std::string* value) {
    std::string pattern = "\"" + key + "\": \"";
    size_t start = json.find(pattern, *pos);
    if (start == std::string::npos) return false;
    start += pattern.size();
    size_t end = json.find('"', start);
    if (end == std::string::npos) return false;
    *value = json.substr(start, end - start);
    *pos = end;
    return true;
}

// Each test of the report with its result; a test's "name" comes before its "result".
std::map<std::string, std::string> parseResults(const std::string& json) {
    std::map<std::string, std::string> results;
    size_t pos = 0;
    std::string result;
    while (nextValue(json, "result", &pos, &result)) {
        size_t nameAt = json.rfind("\"name\": \"", pos);
        std::string name;
        if (nameAt == std::string::npos || !nextValue(json, "name", &nameAt, &name)) break;
        // The JSON writer escapes the '/' before the instance as "\/".
        results[name.substr(0, name.find_first_of("\\/"))] = result;
    }
    return results;
}

class VtsModule : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_TRUE(mSys.ok()); }

    std::vector<std::string> sim(const std::string& command, int timeoutMs = 8000) {
        return mSys.sim(command, timeoutMs);
    }
    bool simOk(const std::string& command, int timeoutMs = 8000) {
        return mSys.simOk(command, timeoutMs);
    }

    // Runs a program of the build with the system's environment; its output.
    std::string run(const std::vector<std::string>& argv, int timeoutMs, int* exitCode,
                    int64_t* ms = nullptr) {
        std::string out = mSys.root() + "/run." + std::to_string(mRuns++);
        twtest::Child c;
        int64_t start = twtest::nowMs();
        if (!c.start(argv, mSys.env(), out)) return "";
        int status = c.wait(timeoutMs);
        if (ms != nullptr) *ms = twtest::nowMs() - start;
        *exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        return twtest::readFile(out);
    }

    // The service's state dump as lshal prints it.
    std::string dump() {
        int code = -1;
        std::string out = run({twtest::binDir() + "/lshal", "debug", kInstance}, 15000, &code);
        return code == 0 ? out : "";
    }

    ModuleRun runModule() {
        ModuleRun r;
        std::string json = mSys.root() + "/vts.json";
        r.log = run(
                {twtest::binDir() + "/VtsHalTwinelV1_1TargetTest", "--gtest_output=json:" + json},
                kModuleTimeoutMs, &r.exitCode, &r.ms);
        r.results = parseResults(twtest::readFile(json));
        // ctest reports a test whose output holds gtest's skip marker as
        // skipped, failed or not: the module's own markers must not pass
        // through when its log is printed.
        for (size_t at; (at = r.log.find("[  SKIPPED ]")) != std::string::npos;) {
            r.log.replace(at, 12, "[  skipped ]");
        }
        return r;
    }

    // Every test ran; those that need the other attach state were skipped.
    void expectVerdicts(const ModuleRun& r, const std::set<std::string>& skipped,
                        const char* mode) {
        EXPECT_EQ(0, r.exitCode) << r.log;
        for (const auto& name : kNeedAttached) EXPECT_EQ(1u, r.results.count(name)) << name;
        for (const auto& name : kNeedDetached) EXPECT_EQ(1u, r.results.count(name)) << name;
        for (const auto& [name, result] : r.results) {
            EXPECT_EQ(skipped.count(name) != 0 ? "SKIPPED" : "COMPLETED", result) << name;
        }
        printf("VTS module, accessory %s: %d tests run, %d skipped, %lld ms\n", mode,
               r.count("COMPLETED"), r.count("SKIPPED"), static_cast<long long>(r.ms));
        RecordProperty("tests_run", r.count("COMPLETED"));
        RecordProperty("tests_skipped", r.count("SKIPPED"));
        RecordProperty("module_ms", static_cast<int>(r.ms));
    }

    // No registration of the module stays with the service.
    void expectCallbacksCleared(const std::string& state) {
        EXPECT_NE(std::string::npos, state.find("mLpwgCallback: none")) << state;
        EXPECT_NE(std::string::npos, state.find("callback: none")) << state;
        EXPECT_EQ(std::string::npos, state.find("registered")) << state;
    }

    static bool contains(const std::vector<std::string>& lines, const std::string& text) {
        for (const auto& l : lines) {
            if (l.find(text) != std::string::npos) return true;
        }
        return false;
    }

    // The simulator, hwservicemanager and the service; the accessory is
    // plugged by the test that needs it.
    twtools::System mSys{true, false};
    int mRuns = 0;
};

TEST_F(VtsModule, PassesWithTheAccessoryDetached) {
    ASSERT_TRUE(simOk("accessory disconnected"));
    ModuleRun r = runModule();
    ASSERT_FALSE(r.results.empty()) << r.log;
    expectVerdicts(r, kNeedAttached, "detached");

    // Without an AT channel nothing reached the accessory side.
    std::vector<std::string> commands = sim("commands");
    EXPECT_FALSE(contains(commands, "command ")) << commands.front();
    expectCallbacksCleared(dump());
    EXPECT_TRUE(mSys.service().running());
}

TEST_F(VtsModule, PassesWithTheAccessoryAttached) {
    ASSERT_TRUE(simOk("accessory connected"));
    ASSERT_TRUE(simOk("plug"));
    ASSERT_TRUE(simOk("wait-record /sys/class/twinel/tw2/tw2_hal_ready 1 20000", 25000));
    ASSERT_TRUE(twtest::waitFor(
            [&] { return dump().find("subScreen_status: 3") != std::string::npos; }, 20000));
    ASSERT_TRUE(simOk("clear"));
    std::vector<std::string> frames = sim("frames");
    ASSERT_EQ(0u, frames.back().rfind("ok ", 0));
    int framesBefore = std::stoi(frames.back().substr(3));
    size_t configsBefore = sim("hid-config").size() - 1;

    ModuleRun r = runModule();
    ASSERT_FALSE(r.results.empty()) << r.log;
    expectVerdicts(r, kNeedDetached, "attached");

    // The firmware version was asked; refused input never reached the accessory.
    std::vector<std::string> commands = sim("commands");
    EXPECT_TRUE(contains(commands, " AT%SWV"));
    EXPECT_FALSE(contains(commands, "VTSMALFORMED"));
    EXPECT_FALSE(contains(commands, "AT%DB=")) << "an out-of-range brightness was sent";
    // The sub display was switched off (03 00 00) and on again (03 02 5a),
    // ending on, and drew a frame.
    std::vector<std::string> configs = sim("hid-config");
    configs.pop_back();
    ASSERT_GT(configs.size(), configsBefore);
    std::vector<std::string> sent(configs.begin() + configsBefore, configs.end());
    EXPECT_TRUE(contains(sent, "config 030000"));
    EXPECT_EQ("config 03025a", sent.back());
    EXPECT_TRUE(simOk("wait-frame " + std::to_string(framesBefore + 1) + " 10000", 15000));

    // Left as found: powered on, no callback of the module registered.
    std::string state = dump();
    EXPECT_NE(std::string::npos, state.find("subScreen_status: 3")) << state;
    expectCallbacksCleared(state);
    EXPECT_TRUE(mSys.service().running());
}

}  // namespace
