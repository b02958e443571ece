/*
 * Host HIDL runtime: per-thread transport state.
 */
#pragma once

#include <hwbinder/ProcessState.h>
#include <sys/types.h>

namespace android {
namespace hardware {

class IPCThreadState {
public:
    static IPCThreadState* self();

    // Credentials of the process whose call the current thread is serving,
    // or of this process when it serves none.
    pid_t getCallingPid() const;
    uid_t getCallingUid() const;
    bool isServingCall() const;
    // A thread of a pool of one serving a call: nothing else in this process
    // can take an incoming call while it waits.
    bool isOnlyBinderThread() const {
        return mServing && ProcessState::self()->getMaxThreads() <= 1;
    }

    // Serves incoming calls on this thread; does not return.
    void joinThreadPool(bool isMain = true);
    void flushCommands() {}

    // Set by the transport while a call is served.
    void setCallingIdentity(pid_t pid, uid_t uid, bool serving);

private:
    IPCThreadState() = default;
    pid_t mCallingPid = 0;
    uid_t mCallingUid = 0;
    bool mServing = false;
};

}  // namespace hardware
}  // namespace android
