/*
 * Copyright (C) 2026 The Twinel HAL Authors
 *
 * Licensed under the Apache License, Version 2.0 (the "License");
 * you may not use this file except in compliance with the License.
 */

#define LOG_TAG "twinelctl"

#include "print.h"

#include <sys/time.h>
#include <time.h>

#include "twinelctl.h"

using ::vendor::zyr::hardware::twinel::V1_0::Status;

namespace twinelctl {

const char* statusWord(Status s) {
    switch (s) {
        case Status::SUCCESS:
            return "success";
        case Status::FAILURE:
            return "failure";
    }
    return "unknown";
}

int printStatus(Status s) {
    printf("status: %u (%s)\n", static_cast<uint32_t>(s), statusWord(s));
    return s == Status::SUCCESS ? kExitOk : kExitFailure;
}

const char* boolWord(bool b) {
    return b ? "true" : "false";
}

// Control characters other than line ends and tabs are shown escaped.
std::string printable(const std::string& text) {
    std::string out;
    for (unsigned char c : text) {
        if (c == '\n' || c == '\t' || (c >= 0x20 && c != 0x7f)) {
            out += static_cast<char>(c);
        } else {
            char hex[8];
            snprintf(hex, sizeof(hex), "\\x%02x", c);
            out += hex;
        }
    }
    return out;
}

// "name: value"; a value of several lines goes below its name, indented.
void printField(const char* name, const std::string& value) {
    std::string v = value;
    while (!v.empty() && (v.back() == '\n' || v.back() == '\r')) v.pop_back();
    std::string text;
    for (char c : v) {
        if (c != '\r') text += c;
    }
    text = printable(text);
    if (text.find('\n') == std::string::npos) {
        printf("%s: %s\n", name, text.c_str());
        return;
    }
    printf("%s:\n", name);
    size_t start = 0;
    while (start <= text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        printf("  %s\n", text.substr(start, end - start).c_str());
        start = end + 1;
    }
}

const char* subScreenStateWord(int32_t state) {
    switch (state) {
        case 0:
            return "not present";
        case 1:
            return "initialised";
        case 2:
            return "off";
        case 3:
            return "on";
    }
    return "unknown";
}

// The uevent keyword each event number stands for.
const char* lpwgEventWord(int32_t event) {
    switch (event) {
        case 0:
            return "WAKEUP";
        case 1:
            return "TW_PEN_WAKEUP";
        case 2:
            return "TW_PEN_WAKEUP_BTN";
        case 3:
            return "TW_PEN_DETECTION";
        case 4:
            return "SWITCH_AES_BOTH";
        case 5:
            return "SWITCH_AES_TO_1";
        case 6:
            return "SWITCH_AES_TO_2";
        case 7:
            return "TW_UPDATE_STATE";
        case -1:
            return "unrecognised";
    }
    return "unknown";
}

const char* resultWord(int32_t result) {
    switch (result) {
        case 0:
            return "recognised";
        case -1:
            return "not recognised";
    }
    return "unknown";
}

std::string timeStamp() {
    struct timeval tv;
    gettimeofday(&tv, nullptr);
    struct tm tm;
    localtime_r(&tv.tv_sec, &tm);
    char buf[32];
    snprintf(buf, sizeof(buf), "%02d:%02d:%02d.%03ld", tm.tm_hour, tm.tm_min, tm.tm_sec,
             static_cast<long>(tv.tv_usec / 1000));
    return buf;
}

}  // namespace twinelctl
