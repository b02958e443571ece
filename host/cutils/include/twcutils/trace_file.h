/*
 * Copyright (C) 2026 The Twinel HAL Authors
 *
 * Licensed under the Apache License, Version 2.0 (the "License");
 * you may not use this file except in compliance with the License.
 */

// Where the workstation's ATRACE_* events go.
//
// With TWINEL_TRACE=FILE in its environment a process writes its events to
// FILE as a Chrome/Perfetto JSON trace (ui.perfetto.dev, chrome://tracing):
// "X" slices (complete: begin and duration), "C" counters, "b"/"e" async
// events, and "M" records that name the process and each thread. The file is
// valid JSON after every event, so a process killed at any point leaves a
// trace that opens; the slices it had not ended are "B" records there, begun
// and never ended. A second process given the same FILE while the first
// still writes it does not trace (it says so on its log).
//
// A slice whose name is only key=value words (e.g. "result=0 rx=12") and
// that ends with nothing traced inside it is not drawn as a slice of its
// own: its words become the arguments of the enclosing slice. On a phone
// the same lines show as a short child slice with that name.

#ifndef TWCUTILS_TRACE_FILE_H
#define TWCUTILS_TRACE_FILE_H

// Appends suffix to the TWINEL_TRACE file name of this process (the
// simulator's program writes FILE.sim beside the service's FILE). Takes
// effect only when called before the first trace point is reached.
void atrace_host_set_file_suffix(const char* suffix);

// The file this process traces into, or "" when it does not trace.
const char* atrace_host_file();

// Closes the trace (the file stays valid JSON); later events are dropped.
void atrace_host_close();

#endif  // TWCUTILS_TRACE_FILE_H
