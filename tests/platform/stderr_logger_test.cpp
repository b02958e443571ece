/*
 * The workstation logger: liblog's line layout, the right ids from any
 * thread and after fork, nothing cut or interleaved.
 */
#include <android/log.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdio.h>
#include <sys/wait.h>
#include <twcutils/stderr_logger.h>
#include <unistd.h>

#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "test_util.h"

namespace {

using twtest::TempRoot;

// Sends stderr to a file for the life of the object.
class StderrToFile {
  public:
    explicit StderrToFile(const std::string& file) {
        fflush(stderr);
        mSaved = dup(STDERR_FILENO);
        int fd = open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        EXPECT_GE(fd, 0);
        dup2(fd, STDERR_FILENO);
        close(fd);
    }
    ~StderrToFile() {
        dup2(mSaved, STDERR_FILENO);
        close(mSaved);
    }

  private:
    int mSaved = -1;
};

std::vector<std::string> lines(const std::string& file) {
    std::vector<std::string> out;
    std::ifstream in(file);
    std::string line;
    while (std::getline(in, line)) out.push_back(line);
    return out;
}

void log(int priority, const char* tag, const char* text, const char* file = nullptr,
         unsigned line = 0) {
    struct __android_logger_data d = {sizeof(d), LOG_ID_MAIN, priority, tag, file, line};
    twcutils::stderrLogger(&d, text);
}

class StderrLogger : public ::testing::Test {
  protected:
    std::string logFile() { return mRoot.dir() + "/log"; }
    TempRoot mRoot;
};

TEST_F(StderrLogger, LinesHaveLiblogsLayoutAndTheWritersIds) {
    pid_t other = 0;
    {
        StderrToFile redirect(logFile());
        log(ANDROID_LOG_INFO, "tw", "FB0 is being consumed.");
        log(ANDROID_LOG_ERROR, nullptr, "no tag");
        log(ANDROID_LOG_DEBUG, "tw", "from a file", "serial.cpp", 42);
        std::thread t([&] {
            other = gettid();
            log(ANDROID_LOG_WARN, "tw", "another thread");
        });
        t.join();
    }
    std::vector<std::string> got = lines(logFile());
    ASSERT_EQ(4u, got.size());
    const std::string ids = " +" + std::to_string(getpid()) + " +";
    const std::string stamp = "\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d";
    EXPECT_TRUE(
            std::regex_match(got[0], std::regex("tw I " + stamp + ids + std::to_string(gettid()) +
                                                " FB0 is being consumed\\.")))
            << got[0];
    EXPECT_TRUE(std::regex_match(got[1], std::regex("nullptr E " + stamp + ids + "\\d+ no tag")))
            << got[1];
    EXPECT_TRUE(std::regex_match(
            got[2], std::regex("tw D " + stamp + ids + "\\d+ serial\\.cpp:42\\] from a file")))
            << got[2];
    EXPECT_TRUE(std::regex_match(
            got[3], std::regex("tw W " + stamp + ids + std::to_string(other) + " another thread")))
            << got[3];
}

TEST_F(StderrLogger, LongLinesAreWholeAndThreadsDoNotInterleave) {
    const std::string big(200000, 'x');
    const int kThreads = 4, kLines = 200;
    {
        StderrToFile redirect(logFile());
        log(ANDROID_LOG_INFO, "tw", big.c_str());
        std::vector<std::thread> threads;
        for (int k = 0; k < kThreads; k++) {
            threads.emplace_back([k] {
                std::string text = "thread " + std::to_string(k) + " " + std::string(300, 'a' + k);
                for (int i = 0; i < kLines; i++) log(ANDROID_LOG_INFO, "tw", text.c_str());
            });
        }
        for (auto& t : threads) t.join();
    }
    std::vector<std::string> got = lines(logFile());
    ASSERT_EQ(1u + kThreads * kLines, got.size());
    ASSERT_GE(got[0].size(), big.size());
    EXPECT_EQ(big, got[0].substr(got[0].size() - big.size()));
    for (size_t i = 1; i < got.size(); i++) {
        std::smatch m;
        ASSERT_TRUE(std::regex_search(got[i], m, std::regex(" thread (\\d) ([a-d]+)$"))) << got[i];
        int k = std::stoi(m[1]);
        EXPECT_EQ(std::string(300, 'a' + k), m[2].str());
    }
}

TEST_F(StderrLogger, AForkedChildNamesItsOwnIds) {
    twcutils::useStderrLogger();
    {
        StderrToFile redirect(logFile());
        log(ANDROID_LOG_INFO, "tw", "parent");  // the ids are cached now
        pid_t pid = fork();
        if (pid == 0) {
            log(ANDROID_LOG_INFO, "tw", "child");
            _exit(0);
        }
        ASSERT_GT(pid, 0);
        int status = 0;
        ASSERT_EQ(pid, waitpid(pid, &status, 0));
        log(ANDROID_LOG_INFO, "tw", ("forked " + std::to_string(pid)).c_str());
    }
    std::vector<std::string> got = lines(logFile());
    ASSERT_EQ(3u, got.size());
    std::string child = got[1];
    std::string forked = got[2].substr(got[2].rfind(' ') + 1);
    // The child is its own process and its own (only) thread.
    EXPECT_TRUE(std::regex_search(child, std::regex(" " + forked + " +" + forked + " child$")))
            << child;
    EXPECT_NE(std::string::npos, got[0].find(" " + std::to_string(getpid()) + " "));
}

}  // namespace
