/*
 * Host HIDL runtime: thread pool, interface casts and service lookup as the
 * generated code and HAL programs use them.
 */
#pragma once

#include <android/hidl/base/1.0/IBase.h>
#include <hidl/HidlBinderSupport.h>
#include <hidl/HidlPassthroughSupport.h>
#include <hidl/HidlSupport.h>
#include <hidl/HidlTransportUtils.h>
#include <hidl/ServiceManagement.h>

namespace android {
namespace hardware {

// Sets the size of the RPC thread pool; with callerWillJoin the calling
// thread will be one of the maxThreads threads (through joinRpcThreadpool).
void configureRpcThreadpool(size_t maxThreads, bool callerWillJoin);

// Serves incoming calls on the calling thread; does not return.
void joinRpcThreadpool();

// Not used by the host transport (no binder driver to poll).
int setupTransportPolling();
status_t handleTransportPoll(int fd);

bool setMinSchedulerPolicy(const sp<::android::hidl::base::V1_0::IBase>& service, int policy,
                           int priority);
bool setRequestingSid(const sp<::android::hidl::base::V1_0::IBase>& service, bool requesting);

// Same object, also across processes.
bool interfacesEqual(const sp<::android::hidl::base::V1_0::IBase>& left,
                     const sp<::android::hidl::base::V1_0::IBase>& right);

namespace details {

int32_t getPidIfSharable();
bool debuggable();

// Casts an interface to a child interface after checking the object's
// interface chain; a remote object gets a new proxy of the child type.
template <typename IChild, typename IParent, typename BpChild>
Return<sp<IChild>> castInterface(sp<IParent> parent, const char* childIndicator,
                                 bool emitError) {
    if (parent.get() == nullptr) {
        return sp<IChild>(nullptr);
    }
    Return<bool> canCastRet = details::canCastInterface(parent.get(), childIndicator, emitError);
    if (!canCastRet.isOk()) {
        if (emitError) {
            return Status::fromExceptionCode(Status::EX_TRANSACTION_FAILED,
                                             canCastRet.description().c_str());
        }
        return sp<IChild>(nullptr);
    }
    if (!canCastRet) {
        return sp<IChild>(nullptr);
    }
    if (parent->isRemote()) {
        return sp<IChild>(new BpChild(getOrCreateCachedBinder(parent.get())));
    }
    return sp<IChild>(static_cast<IChild*>(parent.get()));
}

template <typename BpType, typename IType = typename BpType::Pure,
          typename = std::enable_if_t<std::is_same<i_tag, typename IType::_hidl_tag>::value>,
          typename = std::enable_if_t<std::is_same<bphw_tag, typename BpType::_hidl_tag>::value>>
sp<IType> getServiceInternal(const std::string& instance, bool retry, bool getStub) {
    using ::android::hidl::base::V1_0::IBase;

    sp<IBase> base = getRawServiceInternal(IType::descriptor, instance, retry, getStub);

    if (base == nullptr) {
        return nullptr;
    }

    if (base->isRemote()) {
        return sp<IType>(new BpType(getOrCreateCachedBinder(base.get())));
    }

    return IType::castFrom(base);
}

}  // namespace details
}  // namespace hardware
}  // namespace android
