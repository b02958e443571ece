/*
 * Copyright (C) 2026 The Twinel HAL Authors
 *
 * Licensed under the Apache License, Version 2.0 (the "License");
 * you may not use this file except in compliance with the License.
 */

// Latency probes of the measurement build (-DTWINEL_LATENCY_PROBES=ON):
// where a wake event spends its time between the uevent and the callback.
//
// A probe stores the CLOCK_MONOTONIC time at which it was last passed into
// a slot of its own. With TWINEL_LATENCY_PROBES=DIR in its environment a
// process keeps its slots in the shared file DIR/<pid>, so another process
// (the benchmark) reads them while it runs and after it was killed; without
// it, in a private array. Events are measured one at a time, so the last
// time of each probe belongs to the last event. Outside the measurement
// build TW_LATENCY_PROBE() compiles to nothing.

#ifndef TWCUTILS_LATENCY_PROBE_H
#define TWCUTILS_LATENCY_PROBE_H

#include <stdint.h>
#include <sys/types.h>

namespace twcutils {

// The probes, in the order an event passes them.
enum LatencyPoint : int {
    kProbeWorkerWoken = 0,  // the uevent worker's wait returned
    kProbeUeventReceived,   // the message is in the worker's buffer
    kProbeCallbackCall,     // parsed and logged; the callback call starts
    kProbeOnewaySend,       // the one-way frame is encoded and counted; sendmsg next
    kProbeOnewaySent,       // sendmsg returned
    kProbeWorkerDone,       // the worker is done with the event
    kProbeReceiverWoken,    // a binder thread of the receiver woke for a connection
    kProbeFrameRead,        // the whole frame is read
    kProbeDispatch,         // the parcel is decoded; the object's transact starts
    kProbeCallbackEntry,    // the callback's method runs
    kProbeDoneSent,         // the receiver acknowledged served one-way calls
    kProbeDoneRead,         // the sender's I/O thread read an acknowledgement
    kLatencyPointCount,
};

// Name of the environment variable naming the directory of the shared files.
constexpr const char* kLatencyProbeEnv = "TWINEL_LATENCY_PROBES";

// Stores the time now in the slot of `point`, and counts the pass.
void latencyProbe(int point);

// The slots of process `pid` (its shared file, mapped on the first call for
// that pid): times in ns at [point], pass counts at [kLatencyPointCount +
// point]. Null when the file cannot be mapped.
const volatile int64_t* latencyProbes(pid_t pid);

}  // namespace twcutils

#ifdef TWINEL_LATENCY_PROBES
#define TW_LATENCY_PROBE(point) ::twcutils::latencyProbe(::twcutils::point)
#else
#define TW_LATENCY_PROBE(point) ((void)0)
#endif

#endif  // TWCUTILS_LATENCY_PROBE_H
