/*
 * The trace writer in a process of its own (trace_writer): the file it
 * leaves, whatever happens to the process.
 */
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include "test_util.h"
#include "trace_test_util.h"

namespace {

class TraceWriter : public ::testing::Test {
  protected:
    std::string run(const std::string& mode, const std::vector<std::string>& env, int* status) {
        std::string out = mDir.path() + "/writer.out." + std::to_string(mRuns++);
        twtest::Child c;
        EXPECT_TRUE(c.start({twtest::binDir() + "/trace_writer", mode}, env, out));
        *status = c.wait(30000);
        // Its printed line is the last; log lines (stderr) come before it.
        std::string text = twtest::readFile(out);
        size_t from = text.rfind('\n', text.size() > 1 ? text.size() - 2 : 0);
        return from == std::string::npos ? text : text.substr(from + 1);
    }

    twtest::TempDir mDir{"twtrace"};
    std::string mFile = mDir.path() + "/trace.json";
    int mRuns = 0;
};

TEST_F(TraceWriter, ManyThreadsAndAKilledProcessLeaveAWellFormedTrace) {
    int status = 0;
    run("threads", {"TWINEL_TRACE=" + mFile}, &status);
    ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << status;

    twtest::TraceSummary s = twtest::summarizeTrace(mFile, mDir.path());
    ASSERT_EQ(0, s.status) << s.text;
    EXPECT_TRUE(s.has("process ")) << s.text;
    for (int i = 0; i < 4; i++) {
        std::string thread = "writer-" + std::to_string(i);
        EXPECT_TRUE(s.has(" " + thread + "\n")) << s.text;
        EXPECT_EQ(200u, s.count("slice " + thread + " work ")) << thread;
        EXPECT_EQ(200u, s.count("slice " + thread + " step {}")) << thread;
        // The key=value slice ends up on its parent's end, numbers as numbers.
        EXPECT_TRUE(s.has("slice " + thread + " work 7 {\"n\": 7, \"ok\": \"yes\"}")) << thread;
    }
    EXPECT_EQ(0u, s.count("slice writer-0 n=")) << s.text;
    EXPECT_EQ(800u, s.count("counter count "));
    EXPECT_TRUE(s.has("slice trace_writer say \"hi\" \\ \x01 \xc3\xa9 {}")) << s.text;
    EXPECT_TRUE(s.has("open trace_writer left open")) << s.text;
}

TEST_F(TraceWriter, OffWithoutTheVariable) {
    int status = 0;
    std::string out = run("state", {}, &status);
    EXPECT_EQ("enabled 0 file \n", out);
    out = run("state", {"TWINEL_TRACE=" + mFile}, &status);
    EXPECT_EQ("enabled 1 file " + mFile + "\n", out);
}

TEST_F(TraceWriter, ASecondProcessLeavesTheFileToTheFirst) {
    twtest::Child holder;
    ASSERT_TRUE(holder.startPiped({twtest::binDir() + "/trace_writer", "hold"},
                                  {"TWINEL_TRACE=" + mFile}));
    std::string line;
    ASSERT_TRUE(holder.readLine(&line, 10000));
    ASSERT_EQ("holding", line);

    int status = 0;
    EXPECT_EQ("enabled 0 file \n", run("state", {"TWINEL_TRACE=" + mFile}, &status));
    ASSERT_TRUE(holder.writeLine("done"));
    EXPECT_EQ(0, holder.wait(10000));

    twtest::TraceSummary s = twtest::summarizeTrace(mFile, mDir.path());
    ASSERT_EQ(0, s.status) << s.text;
    EXPECT_TRUE(s.has("slice trace_writer held {}")) << s.text;
}

}  // namespace
