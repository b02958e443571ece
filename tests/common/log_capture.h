/*
 * Captures every platform log line of this process (all priorities) for
 * tests, while still printing them to stderr.
 */
#pragma once

#include <string>
#include <vector>

namespace twtest {

struct LogLine {
    int priority;  // android_LogPriority
    std::string tag;
    std::string message;
};

class LogCapture {
public:
    // Installs the capturing logger (once per process) and forgets earlier lines.
    static void install();
    static void clear();
    static std::vector<LogLine> lines();
    // Number of captured lines whose message contains `text` (at `priority`
    // when it is not 0).
    static int count(const std::string& text, int priority = 0);
    static bool contains(const std::string& text, int priority = 0) {
        return count(text, priority) > 0;
    }
    // Waits until a line containing `text` was captured.
    static bool waitFor(const std::string& text, int timeoutMs, int priority = 0);
    // Index of the first line containing `text` at or after `from`, or -1.
    static int indexOf(const std::string& text, size_t from = 0);
};

}  // namespace twtest
