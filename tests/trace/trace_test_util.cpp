/*
 * Reading the trace files the tests produce.
 */
#include "trace_test_util.h"

#include <sys/wait.h>

#include <sstream>

#include "test_util.h"

namespace twtest {

bool TraceSummary::has(const std::string& line) const {
    return text.find(line) != std::string::npos;
}

size_t TraceSummary::count(const std::string& prefix) const {
    std::istringstream in(text);
    std::string line;
    size_t n = 0;
    while (std::getline(in, line)) {
        if (line.compare(0, prefix.size(), prefix) == 0) n++;
    }
    return n;
}

TraceSummary summarizeTrace(const std::string& file, const std::string& scratchDir) {
    TraceSummary summary;
    std::string out = scratchDir + "/trace-summary.txt";
    Child checker;
    if (!checker.start({TRACE_PYTHON, TRACE_CHECK, file}, {}, out)) return summary;
    int status = checker.wait(60000);
    summary.text = readFile(out);
    summary.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return summary;
}

}  // namespace twtest
