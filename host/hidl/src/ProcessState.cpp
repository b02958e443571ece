/*
 * Host HIDL runtime: process and thread state.
 */
#define LOG_TAG "hidl_host_process"

#include <hwbinder/IPCThreadState.h>
#include <hwbinder/ProcessState.h>
#include <unistd.h>

#include <mutex>

#include "Transport.h"

namespace android {
namespace hardware {

sp<ProcessState> ProcessState::self() {
    static std::mutex sLock;
    static sp<ProcessState>* sSelf = nullptr;
    std::lock_guard<std::mutex> lock(sLock);
    if (sSelf == nullptr) sSelf = new sp<ProcessState>(new ProcessState());
    return *sSelf;
}

ProcessState::ProcessState() {}
ProcessState::~ProcessState() {}

void ProcessState::startThreadPool() {
    Transport::self().startPool();
}

void ProcessState::setThreadPoolConfiguration(size_t maxThreads, bool callerJoinsPool) {
    Transport::self().configurePool(maxThreads, callerJoinsPool);
}

size_t ProcessState::getMaxThreads() {
    return Transport::self().maxThreads();
}

std::string ProcessState::address() {
    return Transport::self().address();
}

IPCThreadState* IPCThreadState::self() {
    static thread_local IPCThreadState sState;
    return &sState;
}

pid_t IPCThreadState::getCallingPid() const {
    return mServing ? mCallingPid : getpid();
}

uid_t IPCThreadState::getCallingUid() const {
    return mServing ? mCallingUid : getuid();
}

bool IPCThreadState::isServingCall() const {
    return mServing;
}

void IPCThreadState::joinThreadPool(bool /*isMain*/) {
    Transport::self().joinPool();
}

void IPCThreadState::setCallingIdentity(pid_t pid, uid_t uid, bool serving) {
    mCallingPid = pid;
    mCallingUid = uid;
    mServing = serving;
}

}  // namespace hardware
}  // namespace android
