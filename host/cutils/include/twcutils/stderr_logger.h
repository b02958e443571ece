/*
 * A liblog logger for workstation runs: the same line layout as liblog's
 * own stderr logger ("TAG P MM-DD hh:mm:ss  PID   TID message"), written
 * with one system call per line. liblog's logger asks the kernel for the
 * process and thread ids on every line; on the phone a line costs one
 * socket write to logd, and a service that logs per frame should cost the
 * same here.
 */
#pragma once

#include <android/log.h>

namespace twcutils {

// The logger itself (for __android_log_set_logger); writes to stderr.
void stderrLogger(const struct __android_logger_data* data, const char* message);

// Makes stderrLogger the process's logger.
void useStderrLogger();

}  // namespace twcutils
