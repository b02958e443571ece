/*
 * Shared pieces of the cover display tests.
 */
#include "display_test_util.h"

#include <android/hidl/manager/1.0/IServiceManager.h>
#include <android/log.h>
#include <hidl/ServiceManagement.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <mutex>

namespace twdisplay {

namespace {

constexpr const char* kIsolatedEnv = "TWDISPLAY_ISOLATED";

std::mutex gLogLock;
std::vector<LogLine> gLog;

void captureLogger(const struct __android_logger_data* data, const char* message) {
    if (data->tag != nullptr && strcmp(data->tag, kServiceTag) == 0) {
        std::lock_guard<std::mutex> lock(gLogLock);
        gLog.push_back({data->priority, message});
    }
    if (getenv("TWDISPLAY_LOG") != nullptr) __android_log_stderr_logger(data, message);
}

}  // namespace

void LogCapture::install() {
    __android_log_set_minimum_priority(ANDROID_LOG_VERBOSE);
    __android_log_set_logger(captureLogger);
}

void LogCapture::clear() {
    std::lock_guard<std::mutex> lock(gLogLock);
    gLog.clear();
}

std::vector<LogLine> LogCapture::lines() {
    std::lock_guard<std::mutex> lock(gLogLock);
    return gLog;
}

int LogCapture::count(const std::string& message, int priority) {
    std::lock_guard<std::mutex> lock(gLogLock);
    int n = 0;
    for (const LogLine& l : gLog) {
        if (l.message == message && (priority < 0 || l.priority == priority)) n++;
    }
    return n;
}

std::vector<std::string> LogCapture::withPrefix(const std::string& prefix) {
    std::lock_guard<std::mutex> lock(gLogLock);
    std::vector<std::string> out;
    for (const LogLine& l : gLog) {
        if (l.message.compare(0, prefix.size(), prefix) == 0) out.push_back(l.message);
    }
    return out;
}

bool LogCapture::waitFor(const std::string& message, int timeoutMs) {
    return twtest::waitFor([&] { return contains(message); }, timeoutMs);
}

int LogCapture::indexOf(const std::string& message, size_t from) {
    std::lock_guard<std::mutex> lock(gLogLock);
    for (size_t i = from; i < gLog.size(); i++) {
        if (gLog[i].message == message) return static_cast<int>(i);
    }
    return -1;
}

using namespace ::vendor::zyr::hardware::twinel::V1_1::implementation;

TwinelStatus liveStatus() {
    pthread_mutex_lock(&tw2_display_mutex);
    TwinelStatus copy = tw2_status;
    pthread_mutex_unlock(&tw2_display_mutex);
    return copy;
}

std::deque<int32_t> queuedLevels() {
    pthread_mutex_lock(&tw2_display_mutex);
    std::deque<int32_t> copy = br_arr;
    pthread_mutex_unlock(&tw2_display_mutex);
    return copy;
}

twsim::AtScript atScript(const std::string& match, twsim::AtScript::Action action,
                         const std::string& text, int delayMs, int times) {
    twsim::AtScript script;
    script.match = match;
    script.action = action;
    script.text = text;
    script.delayMs = delayMs;
    script.times = times;
    return script;
}

long msBetween(twsim::Clock::time_point from, twsim::Clock::time_point to) {
    return static_cast<long>(
            std::chrono::duration_cast<std::chrono::milliseconds>(to - from).count());
}

void DisplayTest::SetUp() {
    LogCapture::install();
    ASSERT_FALSE(mRoot.path().empty());
    // The service finds its device tree here; set before anything opens a path.
    setenv("TWINEL_DEVICE_ROOT", mRoot.path().c_str(), 1);
    mSim = std::make_unique<twsim::Simulator>(mRoot.path());
    ASSERT_TRUE(mSim->ok());
    mHal = new Twinel();
}

void DisplayTest::TearDown() {
    if (mSim != nullptr && mSim->isPlugged()) detach();
    if (mHal != nullptr) {
        // Stops the hotplug threads as SIGUSR1 does.
        ::vendor::zyr::hardware::twinel::V1_1::implementation::destroyThread = true;
        mHal->usbThreadJoin();
    }
    tw2_display_shutdown();
    mHal.clear();
    mSim.reset();
}

void DisplayTest::attach() {
    twsim::UsbIdentity id = twsim::accessoryIdentity();
    id.hidFunction = false;
    size_t commandsBefore = mSim->atCommands().size();
    size_t readyBefore = mSim->nodeRecords(twsim::kHalReadyNode).size();
    size_t statusBefore = LogCapture::withPrefix("status = ").size();
    int doneBefore = LogCapture::count("tw2_display_init --, tw2_initialized:1");
    ASSERT_TRUE(mSim->plug(id));
    ASSERT_TRUE(mSim->waitForNodeRecords(twsim::kHalReadyNode, readyBefore + 1, 5000));
    EXPECT_EQ(mSim->nodeRecords(twsim::kHalReadyNode).back().value, "Y");
    EXPECT_EQ(LogCapture::count("tw2_display_init --, tw2_initialized:1"), doneBefore + 1);
    // The bring-up ends with the touch update state and its status line.
    ASSERT_TRUE(twtest::waitFor(
            [&] { return LogCapture::withPrefix("status = ").size() > statusBefore; }, 5000));
    ASSERT_TRUE(twtest::waitFor([&] { return tw2_initialized.load(); }, 2000));
    // Let the last exchange of the bring-up finish before forgetting it.
    ASSERT_TRUE(twtest::waitFor(
            [&] {
                size_t commands = mSim->atCommands().size();
                size_t writes = mSim->nodeRecords().size();
                usleep(30 * 1000);
                return mSim->atCommands().size() == commands &&
                       mSim->nodeRecords().size() == writes;
            },
            3000));
    std::vector<std::string> all = commands();
    mBringUpCommands.assign(all.begin() + std::min(commandsBefore, all.size()), all.end());
    mSim->clearAtCommands();
    mSim->clearNodeRecords();
}

void DisplayTest::detach() {
    int before = LogCapture::count("tw2_display_deinit --, tw2_initialized:0");
    bool wasInitialized = tw2_initialized;
    mSim->unplugAll();
    if (wasInitialized) {
        EXPECT_TRUE(twtest::waitFor(
                [&] {
                    return LogCapture::count("tw2_display_deinit --, tw2_initialized:0") > before;
                },
                5000));
    }
    EXPECT_TRUE(twtest::waitFor([&] { return !mHal->mSerialAttached; }, 5000));
}

void DisplayTest::startServiceManager() {
    ASSERT_TRUE(twtest::installServiceManifest(mRoot.path()));
    ASSERT_TRUE(mServiceManager.start({twtest::binDir() + "/hwservicemanager"},
                                      {"TWINEL_DEVICE_ROOT=" + mRoot.path()}));
    // Answering, not only bound.
    ASSERT_TRUE(twtest::waitFor(
            [&] { return ::android::hardware::defaultServiceManager() != nullptr; }, 5000));
}

std::vector<twsim::AtRecord> DisplayTest::commandRecords(const std::string& prefix) const {
    std::vector<twsim::AtRecord> out;
    for (const twsim::AtRecord& r : mSim->atCommands()) {
        if (r.command.compare(0, prefix.size(), prefix) == 0) out.push_back(r);
    }
    return out;
}

std::vector<std::string> DisplayTest::commands(const std::string& prefix) const {
    std::vector<std::string> out;
    for (const twsim::AtRecord& r : commandRecords(prefix)) out.push_back(r.command);
    return out;
}

bool DisplayTest::waitForCommands(const std::string& prefix, size_t count, int timeoutMs) const {
    return twtest::waitFor([&] { return commandRecords(prefix).size() >= count; }, timeoutMs);
}

std::vector<int> DisplayTest::brightnessLevels() const {
    std::vector<int> out;
    for (const std::string& c : commands("AT%DB=")) out.push_back(atoi(c.c_str() + 6));
    return out;
}

std::vector<std::string> DisplayTest::nodeValues(const std::string& node) const {
    std::vector<std::string> out;
    for (const twsim::NodeRecord& r : mSim->nodeRecords(node)) out.push_back(r.value);
    return out;
}

Status DisplayTest::powerOn(bool uevent) {
    return mHal->setPowerStatus(true, uevent);
}

Status DisplayTest::powerOff(bool uevent) {
    return mHal->setPowerStatus(false, uevent);
}

TwinelStatus DisplayTest::status() {
    TwinelStatus out = {};
    int calls = 0;
    mHal->getTW2Status([&](Status s, const TwinelStatus& st) {
        EXPECT_EQ(s, Status::SUCCESS);
        out = st;
        calls++;
    });
    EXPECT_EQ(calls, 1);
    return out;
}

}  // namespace twdisplay

// Runs every selected test in a process of its own: the cover display's
// state belongs to the process.
int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    if (getenv(twdisplay::kIsolatedEnv) != nullptr || ::testing::GTEST_FLAG(list_tests)) {
        return RUN_ALL_TESTS();
    }

    std::string filter = ::testing::GTEST_FLAG(filter);
    // One test named exactly (as ctest runs them): nothing to split.
    if (filter.find_first_of("*?:-") == std::string::npos) return RUN_ALL_TESTS();
    std::string listCmd =
            "'" + std::string(argv[0]) + "' --gtest_list_tests '--gtest_filter=" + filter + "'";
    FILE* list = popen(listCmd.c_str(), "r");
    if (list == nullptr) return RUN_ALL_TESTS();
    std::vector<std::string> names;
    std::string suite;
    char line[1024];
    while (fgets(line, sizeof(line), list) != nullptr) {
        std::string l(line);
        while (!l.empty() && (l.back() == '\n' || l.back() == '\r')) l.pop_back();
        size_t hash = l.find("  #");
        if (hash != std::string::npos) l.erase(hash);
        if (l.empty()) continue;
        if (l[0] != ' ') {
            suite = l;
        } else {
            names.push_back(suite + l.substr(l.find_first_not_of(' ')));
        }
    }
    pclose(list);
    if (names.size() <= 1) return RUN_ALL_TESTS();

    setenv(twdisplay::kIsolatedEnv, "1", 1);
    std::vector<std::string> failed;
    for (const std::string& name : names) {
        pid_t pid = fork();
        if (pid == 0) {
            std::string arg = "--gtest_filter=" + name;
            execl(argv[0], argv[0], arg.c_str(), static_cast<char*>(nullptr));
            _exit(127);
        }
        int status = 0;
        if (pid < 0 || waitpid(pid, &status, 0) < 0 || !WIFEXITED(status) ||
            WEXITSTATUS(status) != 0) {
            failed.push_back(name);
        }
    }
    printf("\n%zu tests in separate processes, %zu failed\n", names.size(), failed.size());
    for (const std::string& name : failed) printf("  FAILED %s\n", name.c_str());
    return failed.empty() ? 0 : 1;
}
