/*
 * The workstation logger: liblog's line layout, the right ids from any
 * thread and after fork, nothing cut or interleaved.
 */
#include <android/log.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdio.h>
#include <sys/wait.h>
#include <time.h>
#include <twcutils/stderr_logger.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
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

// One line taken apart: "TAG P MM-DD hh:mm:ss  PID   TID message".
struct Parsed {
    bool ok = false;
    std::string tag;
    char priority = 0;
    std::string date, time;
    long pid = 0, tid = 0;
    std::string message;
};

bool digitsAt(const std::string& s, std::initializer_list<size_t> at) {
    for (size_t i : at) {
        if (i >= s.size() || s[i] < '0' || s[i] > '9') return false;
    }
    return true;
}

Parsed parse(const std::string& line) {
    Parsed p;
    std::istringstream in(line);
    std::string prio;
    if (!(in >> p.tag >> prio >> p.date >> p.time >> p.pid >> p.tid)) return p;
    std::getline(in, p.message);
    if (prio.size() != 1 || p.message.empty() || p.message[0] != ' ') return p;
    p.message.erase(0, 1);
    p.priority = prio[0];
    p.ok = p.date.size() == 5 && p.date[2] == '-' && digitsAt(p.date, {0, 1, 3, 4}) &&
           p.time.size() == 8 && p.time[2] == ':' && p.time[5] == ':' &&
           digitsAt(p.time, {0, 1, 3, 4, 6, 7});
    return p;
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
    struct Want {
        const char* tag;
        char priority;
        long tid;  // 0: any
        const char* message;
    } want[] = {
            {"tw", 'I', static_cast<long>(gettid()), "FB0 is being consumed."},
            {"nullptr", 'E', 0, "no tag"},
            {"tw", 'D', 0, "serial.cpp:42] from a file"},
            {"tw", 'W', static_cast<long>(other), "another thread"},
    };
    for (size_t i = 0; i < got.size(); i++) {
        Parsed p = parse(got[i]);
        ASSERT_TRUE(p.ok) << got[i];
        EXPECT_EQ(want[i].tag, p.tag) << got[i];
        EXPECT_EQ(want[i].priority, p.priority) << got[i];
        EXPECT_EQ(getpid(), p.pid) << got[i];
        if (want[i].tid != 0) {
            EXPECT_EQ(want[i].tid, p.tid) << got[i];
        }
        EXPECT_EQ(want[i].message, p.message) << got[i];
    }
}

// The time of day is converted once per second and thread: a line written
// in a later second than the one before still carries its own time.
TEST_F(StderrLogger, EachLineCarriesTheSecondItWasWrittenIn) {
    auto text = [](time_t t) {
        struct tm tm;
        char buf[32] = "";
        if (localtime_r(&t, &tm) != nullptr) strftime(buf, sizeof(buf), "%m-%d %H:%M:%S", &tm);
        return std::string(buf);
    };
    std::vector<std::string> want[2];
    {
        StderrToFile redirect(logFile());
        for (int i = 0; i < 2; i++) {
            time_t before = time(nullptr);
            log(ANDROID_LOG_INFO, "tw", "a line");
            want[i] = {text(before), text(time(nullptr))};
            // The next line in a later second.
            for (int ms = 0; i == 0 && time(nullptr) == before && ms < 3000; ms++) usleep(1000);
        }
    }
    std::vector<std::string> got = lines(logFile());
    ASSERT_EQ(2u, got.size());
    for (size_t i = 0; i < got.size(); i++) {
        Parsed p = parse(got[i]);
        ASSERT_TRUE(p.ok) << got[i];
        EXPECT_NE(want[i].end(), std::find(want[i].begin(), want[i].end(), p.date + " " + p.time))
                << got[i];
    }
    EXPECT_NE(parse(got[0]).time, parse(got[1]).time);
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
        Parsed p = parse(got[i]);
        ASSERT_TRUE(p.ok) << got[i];
        ASSERT_EQ(std::string("thread "), p.message.substr(0, 7)) << got[i];
        int k = p.message[7] - '0';
        ASSERT_TRUE(k >= 0 && k < kThreads) << got[i];
        EXPECT_EQ("thread " + std::to_string(k) + " " + std::string(300, 'a' + k), p.message);
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
    Parsed parent = parse(got[0]), child = parse(got[1]);
    ASSERT_TRUE(parent.ok && child.ok) << got[0] << "\n" << got[1];
    long forked = std::stol(got[2].substr(got[2].rfind(' ') + 1));
    EXPECT_EQ(getpid(), parent.pid);
    // The child is its own process and its own (only) thread.
    EXPECT_EQ("child", child.message);
    EXPECT_EQ(forked, child.pid);
    EXPECT_EQ(forked, child.tid);
}

}  // namespace
