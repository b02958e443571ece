/*
 * Host HIDL runtime: names of parameterised test instances.
 */
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <string>

namespace android {
namespace hardware {

// GoogleTest accepts only letters, digits and underscores in the name of a
// parameter; every other character of an instance name becomes '_'.
static inline std::string PrintInstanceNameToString(
        const testing::TestParamInfo<std::string>& info) {
    std::string name = info.param;
    std::replace_if(
            name.begin(), name.end(), [](unsigned char c) { return !std::isalnum(c) && c != '_'; },
            '_');
    return name;
}

}  // namespace hardware
}  // namespace android
