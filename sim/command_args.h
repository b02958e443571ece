/*
 * Argument parsing shared by the program commands of twinel-sim.
 */
#pragma once

#include <errno.h>
#include <stdlib.h>

#include <string>

// An unsigned number (decimal, 0x hex or 0 octal) of at most `max`; no sign,
// nothing after it.
inline bool parseNumber(const std::string& text, unsigned long max, unsigned long* out) {
    if (text.empty() || text[0] == '-') return false;
    char* end = nullptr;
    errno = 0;
    unsigned long v = strtoul(text.c_str(), &end, 0);
    if (errno != 0 || *end != '\0' || v > max) return false;
    *out = v;
    return true;
}
