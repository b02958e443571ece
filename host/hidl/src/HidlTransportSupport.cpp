/*
 * Host HIDL runtime: marshalling helpers, casts, thread pool entry points and
 * the process-wide tables of the generated code.
 */
#define LOG_TAG "hidl_host_transport_support"

#include <hidl/HidlTransportSupport.h>
#include <hidl/LegacySupport.h>
#include <hidl/Static.h>
#include <hwbinder/BpHwBinder.h>
#include <hwbinder/IPCThreadState.h>
#include <hwbinder/ProcessState.h>
#include <log/log.h>
#include <stdlib.h>
#include <unistd.h>

namespace android {
namespace hardware {

using ::android::hidl::base::V1_0::IBase;

// --- tables of the generated code ---

namespace details {

BnConstructorMap& getBnConstructorMap() {
    static BnConstructorMap* sMap = new BnConstructorMap();
    return *sMap;
}

BsConstructorMap& getBsConstructorMap() {
    static BsConstructorMap* sMap = new BsConstructorMap();
    return *sMap;
}

DoubleKeyedMapPointer gServicePrioMap = new DoubleKeyedConcurrentMap<SchedPrio>();
DoubleKeyedBoolMapPointer gServiceSidMap = new DoubleKeyedConcurrentMap<bool>();
BnMapPointer gBnMap = new ConcurrentMap<const IBase*, wp<BHwBinder>>();

int32_t getPidIfSharable() {
    return getpid();
}

bool debuggable() {
    return true;
}

std::string getDescriptor(IBase* interface) {
    if (interface == nullptr) return "";
    std::string myDescriptor;
    auto ret = interface->interfaceDescriptor(
            [&](const hidl_string& types) { myDescriptor = types.c_str(); });
    ret.isOk();  // a failure leaves the descriptor empty
    return myDescriptor;
}

Return<bool> canCastInterface(IBase* interface, const char* castTo, bool emitError) {
    if (interface == nullptr) {
        return false;
    }
    if (strcmp(castTo, IBase::descriptor) == 0) {
        return true;
    }
    bool canCast = false;
    auto chainRet = interface->interfaceChain([&](const hidl_vec<hidl_string>& types) {
        for (size_t i = 0; i < types.size(); i++) {
            if (types[i] == castTo) {
                canCast = true;
                break;
            }
        }
    });
    if (!chainRet.isOk()) {
        if (emitError) {
            ALOGE("canCastInterface: interfaceChain returns %s", chainRet.description().c_str());
        }
        return StatusOf<void, bool>(chainRet);
    }
    return canCast;
}

sp<IBase> wrapPassthroughInternal(sp<IBase> iface) {
    if (iface == nullptr || iface->isRemote()) {
        return iface;
    }
    std::string myDescriptor = getDescriptor(iface.get());
    if (myDescriptor.empty()) {
        return nullptr;
    }
    auto func = getBsConstructorMap().get(myDescriptor, nullptr);
    if (!func) {
        ALOGE("no passthrough wrapper for %s", myDescriptor.c_str());
        return nullptr;
    }
    return func(static_cast<void*>(iface.get()));
}

}  // namespace details

// --- interface references ---

sp<IBinder> getOrCreateCachedBinder(IBase* ifacePtr) {
    if (ifacePtr == nullptr) {
        return nullptr;
    }
    if (ifacePtr->isRemote()) {
        BpHwRefBase* proxy = dynamic_cast<BpHwRefBase*>(ifacePtr);
        return proxy == nullptr ? nullptr : sp<IBinder>(proxy->remote());
    }

    std::string descriptor = details::getDescriptor(ifacePtr);
    if (descriptor.empty()) {
        return nullptr;
    }
    auto func = details::getBnConstructorMap().get(descriptor, nullptr);
    if (!func) {
        ALOGE("no stub for %s: is its interface library linked?", descriptor.c_str());
        return nullptr;
    }

    // One object keeps one stub while the stub lives.
    sp<IBinder> stub;
    {
        auto lock = details::gBnMap->lock();
        sp<BHwBinder> existing = details::gBnMap->getLocked(ifacePtr, nullptr).promote();
        if (existing != nullptr) return existing;
        stub = func(static_cast<void*>(ifacePtr));
        details::gBnMap->setLocked(ifacePtr, static_cast<BHwBinder*>(stub.get()));
    }
    return stub;
}

bool interfacesEqual(const sp<IBase>& left, const sp<IBase>& right) {
    if (left == nullptr || right == nullptr || !left->isRemote() || !right->isRemote()) {
        return left == right;
    }
    sp<IBinder> l = getOrCreateCachedBinder(left.get());
    sp<IBinder> r = getOrCreateCachedBinder(right.get());
    if (l == nullptr || r == nullptr) return l == r;
    BpHwBinder* lp = l->remoteBinder();
    BpHwBinder* rp = r->remoteBinder();
    if (lp == nullptr || rp == nullptr) return l == r;
    return lp->address() == rp->address() && lp->id() == rp->id();
}

// --- death notifications ---

hidl_binder_death_recipient::hidl_binder_death_recipient(const sp<hidl_death_recipient>& recipient,
                                                         uint64_t cookie, const sp<IBase>& base)
    : mRecipient(recipient), mCookie(cookie), mBase(base) {}

void hidl_binder_death_recipient::binderDied(const wp<IBinder>& /*who*/) {
    sp<hidl_death_recipient> recipient = mRecipient.promote();
    if (recipient != nullptr && mBase != nullptr) {
        recipient->serviceDied(mCookie, mBase);
    }
}

wp<hidl_death_recipient> hidl_binder_death_recipient::getRecipient() {
    return mRecipient;
}

// --- value types ---

status_t readEmbeddedFromParcel(const hidl_handle& /*handle*/, const Parcel& parcel,
                                size_t parentHandle, size_t parentOffset) {
    const native_handle_t* handle;
    return parcel.readNullableEmbeddedNativeHandle(
            parentHandle, parentOffset + hidl_handle::kOffsetOfNativeHandle, &handle);
}

status_t writeEmbeddedToParcel(const hidl_handle& handle, Parcel* parcel, size_t parentHandle,
                               size_t parentOffset) {
    return parcel->writeEmbeddedNativeHandle(handle.getNativeHandle(), parentHandle,
                                             parentOffset + hidl_handle::kOffsetOfNativeHandle);
}

status_t readEmbeddedFromParcel(const hidl_memory& memory, const Parcel& parcel,
                                size_t parentHandle, size_t parentOffset) {
    const native_handle_t* handle;
    status_t err = parcel.readNullableEmbeddedNativeHandle(
            parentHandle, parentOffset + hidl_memory::kOffsetOfHandle, &handle);
    if (err != OK) return err;
    return readEmbeddedFromParcel(memory.name(), parcel, parentHandle,
                                  parentOffset + hidl_memory::kOffsetOfName);
}

status_t writeEmbeddedToParcel(const hidl_memory& memory, Parcel* parcel, size_t parentHandle,
                               size_t parentOffset) {
    status_t err = parcel->writeEmbeddedNativeHandle(
            memory.handle(), parentHandle, parentOffset + hidl_memory::kOffsetOfHandle);
    if (err != OK) return err;
    return writeEmbeddedToParcel(memory.name(), parcel, parentHandle,
                                 parentOffset + hidl_memory::kOffsetOfName);
}

status_t readEmbeddedFromParcel(const hidl_string& string, const Parcel& parcel,
                                size_t parentHandle, size_t parentOffset) {
    const void* out;
    status_t err = parcel.readEmbeddedBuffer(string.size() + 1, nullptr, parentHandle,
                                             parentOffset + hidl_string::kOffsetOfBuffer, &out);
    if (err != OK) return err;
    // The string's users rely on its terminator.
    if (static_cast<const char*>(out)[string.size()] != '\0') {
        ALOGE("received a string without its terminator");
        return BAD_VALUE;
    }
    return OK;
}

status_t writeEmbeddedToParcel(const hidl_string& string, Parcel* parcel, size_t parentHandle,
                               size_t parentOffset) {
    return parcel->writeEmbeddedBuffer(string.c_str(), string.size() + 1, nullptr, parentHandle,
                                       parentOffset + hidl_string::kOffsetOfBuffer);
}

status_t writeToParcel(const Status& s, Parcel* parcel) {
    status_t err = parcel->writeInt32(s.exceptionCode());
    if (err != OK || s.exceptionCode() == Status::EX_NONE) return err;
    err = parcel->writeInt32(s.transactionError());
    if (err != OK) return err;
    return parcel->writeCString(s.exceptionMessage());
}

status_t readFromParcel(Status* s, const Parcel& parcel) {
    // A reply too short to hold a status fails the call: the caller's
    // Return says so even where the caller does not look at the result.
    int32_t exception;
    status_t err = parcel.readInt32(&exception);
    if (err != OK) {
        s->setFromStatusT(err);
        return err;
    }
    if (exception == Status::EX_NONE) {
        *s = Status::ok();
        return OK;
    }
    int32_t errorCode;
    err = parcel.readInt32(&errorCode);
    if (err != OK) {
        s->setFromStatusT(err);
        return err;
    }
    const char* message = parcel.readCString();
    if (message == nullptr) {
        s->setFromStatusT(BAD_VALUE);
        return BAD_VALUE;
    }
    if (exception == Status::EX_TRANSACTION_FAILED) {
        *s = Status::fromStatusT(errorCode == OK ? FAILED_TRANSACTION : errorCode);
    } else {
        *s = Status::fromExceptionCode(exception, message);
    }
    return OK;
}

// --- thread pool ---

void configureBinderRpcThreadpool(size_t maxThreads, bool callerWillJoin) {
    ProcessState::self()->setThreadPoolConfiguration(maxThreads, callerWillJoin);
}

void joinBinderRpcThreadpool() {
    IPCThreadState::self()->joinThreadPool();
}

void configureRpcThreadpool(size_t maxThreads, bool callerWillJoin) {
    configureBinderRpcThreadpool(maxThreads, callerWillJoin);
}

void joinRpcThreadpool() {
    joinBinderRpcThreadpool();
}

int setupTransportPolling() {
    return -1;
}

status_t handleTransportPoll(int /*fd*/) {
    return INVALID_OPERATION;
}

bool setMinSchedulerPolicy(const sp<IBase>& service, int policy, int priority) {
    details::gServicePrioMap->set(service, {policy, priority});
    return true;
}

bool setRequestingSid(const sp<IBase>& service, bool requesting) {
    details::gServiceSidMap->set(service, requesting);
    return true;
}

// --- legacy passthrough services ---

status_t registerPassthroughServiceImplementation(const std::string& interfaceName,
                                                  const std::string& expectInterfaceName,
                                                  RegisterServiceCb registerServiceCb,
                                                  const std::string& serviceName) {
    sp<IBase> service = details::getRawServiceInternal(interfaceName, serviceName, true /* retry */,
                                                       true /* getStub */);
    if (service == nullptr) {
        ALOGE("Could not get passthrough implementation for %s/%s.", interfaceName.c_str(),
              serviceName.c_str());
        return EXIT_FAILURE;
    }
    if (service->isRemote()) {
        ALOGE("Implementation of %s/%s is remote!", interfaceName.c_str(), serviceName.c_str());
        return EXIT_FAILURE;
    }
    std::string actualName;
    Return<void> ret = service->interfaceDescriptor(
            [&actualName](const hidl_string& descriptor) { actualName = descriptor; });
    if (!ret.isOk()) {
        ALOGE("Error retrieving interface name from %s/%s: %s", interfaceName.c_str(),
              serviceName.c_str(), ret.description().c_str());
        return EXIT_FAILURE;
    }
    if (actualName != expectInterfaceName) {
        ALOGE("Implementation of %s/%s is actually %s, not a %s!", interfaceName.c_str(),
              serviceName.c_str(), actualName.c_str(), expectInterfaceName.c_str());
        return EXIT_FAILURE;
    }
    status_t status = registerServiceCb(service, serviceName);
    if (status == OK) {
        ALOGI("Registration complete for %s/%s.", interfaceName.c_str(), serviceName.c_str());
    } else {
        ALOGE("Could not register service %s/%s (%d).", interfaceName.c_str(), serviceName.c_str(),
              status);
    }
    return status;
}

status_t registerPassthroughServiceImplementation(const std::string& interfaceName,
                                                  const std::string& expectInterfaceName,
                                                  const std::string& serviceName) {
    return registerPassthroughServiceImplementation(
            interfaceName, expectInterfaceName,
            [](const sp<IBase>& service, const std::string& name) {
                return details::registerAsServiceInternal(service, name);
            },
            serviceName);
}

}  // namespace hardware
}  // namespace android
