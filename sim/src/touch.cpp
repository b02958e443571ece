/*
 * Touch controller answers for the touch diagnostics.
 */
#include <twsim/touch.h>

namespace twsim {

std::string touchMatrix(int rows, int cols, int base) {
    std::string text;
    for (int row = 0; row < rows; row++) {
        if (row > 0) text += "\n";
        for (int col = 0; col < cols; col++) {
            if (col > 0) text += " ";
            text += std::to_string(base + (row * 31 + col * 17) % 997);
        }
    }
    return text;
}

std::string selfTestReport(size_t bytes) {
    std::string text;
    for (int line = 0; text.size() < bytes; line++) {
        if (!text.empty()) text += "\n";
        text += "CH" + std::to_string(line) + " RAW " + std::to_string(1400 + line % 211) +
                " DELTA " + std::to_string(line % 13) + (line % 7 == 3 ? " WARN" : " PASS");
    }
    text.resize(bytes);
    // A cut that leaves a line feed at the very end would read back without
    // it; end on a visible character instead.
    if (!text.empty() && text.back() == '\n') text.back() = '.';
    return text;
}

AtScript touchReplyScript(const std::string& command, const std::string& text, int delayMs) {
    AtScript script;
    script.match = command;
    script.action = AtScript::Action::Reply;
    script.text = text;
    script.delayMs = delayMs;
    return script;
}

AtScript selfTestResultScript(size_t bytes, int delayMs) {
    return touchReplyScript("AT%TCHNOTIFY=PULL_SD_RESULT", selfTestReport(bytes), delayMs);
}

}  // namespace twsim
