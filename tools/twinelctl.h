/*
 * Copyright (C) 2026 The Twinel HAL Authors
 *
 * Licensed under the Apache License, Version 2.0 (the "License");
 * you may not use this file except in compliance with the License.
 */

/*
 * What the parts of twinelctl share: exit codes and the two kinds of error
 * that end the tool with one line on stderr.
 */
#pragma once

#include <stdexcept>

namespace twinelctl {

// Exit codes.
constexpr int kExitOk = 0;
constexpr int kExitFailure = 1;     // the HAL answered Status 1
constexpr int kExitTransport = 2;   // no service, transport error, no answer in time
constexpr int kExitIncomplete = 3;  // watch: --timeout came before --count events
constexpr int kExitUsage = 64;      // bad command line
constexpr int kExitData = 65;       // unreadable or unusable input file

// A bad argument, reported as one line with kExitUsage.
struct UsageError : std::runtime_error {
    using std::runtime_error::runtime_error;
};
// A file that cannot be used, reported as one line with kExitData.
struct DataError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

}  // namespace twinelctl
