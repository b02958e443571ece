/*
 * Host HIDL runtime: what a process's runtime knows about its own binder
 * state, asked from another process.
 *
 * On a phone lshal reads these from the binder driver (the holders of each
 * node, the thread pool's size and use). Here the runtime of the serving
 * process is the only one that knows, so lshal (and hwservicemanager, for
 * client callbacks) asks it on a connection of its own, answered by the
 * serving process's I/O thread: a server whose binder threads are all busy
 * still answers.
 */
#pragma once

#include <hwbinder/IBinder.h>
#include <sys/types.h>

#include <map>
#include <set>

namespace android {
namespace hardware {

struct BinderProcessInfo {
    pid_t pid = 0;              // the serving process
    uint32_t threadsInUse = 0;  // binder threads serving a call or a task now
    uint32_t maxThreads = 0;    // the pool's configured size
    // Exported object (the id its proxies carry) -> pids of the processes
    // holding a reference to it. Objects nobody holds are left out.
    std::map<uint64_t, std::set<pid_t>> holders;
};

// Asks the process serving `remote` (a proxy) for its binder state. Fails
// with BAD_TYPE for a local object, DEAD_OBJECT when the process cannot be
// reached and TIMED_OUT when it does not answer within timeoutMs.
status_t getBinderProcessInfo(const sp<IBinder>& remote, BinderProcessInfo* info,
                              int timeoutMs = 2000);

// This process's one-way calls to the process serving `remote` (a proxy),
// as this process counts them: the bytes counted against that process's
// async space (sent and not yet reported served; a call that would take
// them past half of the 1 MiB transaction buffer fails), and the reports of served calls that
// came from it and how many calls they covered, since this process first
// reached it. Fails with BAD_TYPE for a local object.
struct OnewayAccount {
    size_t bytesInFlight = 0;
    uint64_t reports = 0;
    uint64_t callsReported = 0;
};
status_t getOnewayAccount(const sp<IBinder>& remote, OnewayAccount* account);

// The id of the exported object `remote` refers to, as holders lists it;
// 0 for a local object.
uint64_t remoteObjectId(const sp<IBinder>& remote);

}  // namespace hardware
}  // namespace android
