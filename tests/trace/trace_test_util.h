/*
 * Reading the trace files the tests produce.
 */
#pragma once

#include <string>

namespace twtest {

// What check_trace.py prints for a trace file (one item a line); status is
// its exit status (0: the file is a well-formed trace).
struct TraceSummary {
    int status = -1;
    std::string text;
    bool has(const std::string& line) const;
    // Lines that begin with prefix.
    size_t count(const std::string& prefix) const;
};

TraceSummary summarizeTrace(const std::string& file, const std::string& scratchDir);

}  // namespace twtest
