/*
 * Answers of the accessory's touch controller for the touch diagnostics,
 * as AT scripts for Simulator::setAtScript().
 *
 * The firmware frames each line of a reply with "\r\n"; on the phone's side
 * of the line a reply text of lines joined by "\n" reads back exactly as
 * given (the AT channel drops the last line's line feed).
 */
#pragma once

#include <stddef.h>
#include <twsim/simulator.h>

#include <string>

namespace twsim {

// A matrix of `rows` lines of `cols` numbers separated by blanks, the lines
// joined by "\n" (no line feed after the last). Values start at `base`.
std::string touchMatrix(int rows, int cols, int base);

// A self-test report of exactly `bytes` bytes: lines of text joined by "\n",
// none longer than 80 bytes, no line feed at the end, no carriage return.
std::string selfTestReport(size_t bytes);

// "AT%TCHDEBUG=RAWDATA" or "AT%TCHDEBUG=DELTA" (any command) answered with
// `text`.
AtScript touchReplyScript(const std::string& command, const std::string& text, int delayMs = 0);

// "AT%TCHNOTIFY=PULL_SD_RESULT" answered with a report of `bytes` bytes after
// `delayMs`.
AtScript selfTestResultScript(size_t bytes, int delayMs = 0);

}  // namespace twsim
