/*
 * Copyright (C) 2026 The Twinel HAL Authors
 *
 * Licensed under the Apache License, Version 2.0 (the "License");
 * you may not use this file except in compliance with the License.
 */

/*
 * How twinelctl prints results: "name: value" fields, a Status as a number
 * and a word, the words of the interface's enumerations, time stamps of
 * events, and transport errors as one line on stderr.
 */
#pragma once

#include <stdint.h>
#include <stdio.h>
#include <vendor/zyr/hardware/twinel/1.0/types.h>

#include <string>

namespace twinelctl {

const char* statusWord(::vendor::zyr::hardware::twinel::V1_0::Status s);

// Prints "status: N (word)" and returns the exit code it stands for.
int printStatus(::vendor::zyr::hardware::twinel::V1_0::Status s);

const char* boolWord(bool b);

// Control characters other than line ends and tabs are shown escaped.
std::string printable(const std::string& text);

// "name: value"; a value of several lines goes below its name, indented.
void printField(const char* name, const std::string& value);

const char* subScreenStateWord(int32_t state);

// The uevent keyword each LPWG event number stands for.
const char* lpwgEventWord(int32_t event);

const char* resultWord(int32_t result);

// Local time of day, "hh:mm:ss.mmm".
std::string timeStamp();

// True when the call reached the service; otherwise one line on stderr.
template <typename R>
bool transportOk(const R& ret, const char* op) {
    if (ret.isOk()) return true;
    fprintf(stderr, "twinelctl: %s: transport error: %s\n", op, ret.description().c_str());
    return false;
}

}  // namespace twinelctl
