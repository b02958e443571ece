/*
 * Host HIDL runtime: per-process transport state.
 *
 * Each process that exports objects listens on a Unix-domain socket in the
 * transport's socket directory under the device root. Calls are carried on
 * per-thread connections; a control connection per peer carries reference
 * counts and tells of a peer's death. Incoming calls run on the RPC thread
 * pool.
 */
#pragma once

#include <hwbinder/IBinder.h>
#include <sys/types.h>

#include <string>

namespace android {
namespace hardware {

class ProcessState : public virtual RefBase {
public:
    static sp<ProcessState> self();

    // Starts the RPC threads not yet running (maxThreads, less the caller
    // when it will join). Called implicitly when a process hands out an
    // interface reference or links to a death notification.
    void startThreadPool();
    void setThreadPoolConfiguration(size_t maxThreads, bool callerJoinsPool);
    size_t getMaxThreads();
    void giveThreadPoolName() {}

    // Address of this process's listening socket (created on first use).
    std::string address();

private:
    ProcessState();
    ~ProcessState() override;
    friend class sp<ProcessState>;
};

}  // namespace hardware
}  // namespace android
