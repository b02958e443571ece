/*
 * Host HIDL runtime: marshalling of the HIDL value types and interface
 * references, as used by the generated proxies and stubs.
 */
#pragma once

#include <android/hidl/base/1.0/BnHwBase.h>
#include <android/hidl/base/1.0/IBase.h>
#include <hidl/HidlSupport.h>
#include <hidl/MQDescriptor.h>
#include <hidl/Static.h>
#include <hwbinder/IBinder.h>
#include <hwbinder/IInterface.h>
#include <hwbinder/Parcel.h>
// Vendor code reaches ALOG* through this header, as on the platform.
#include <log/log.h>

namespace android {
namespace hardware {

// Adapts a hidl_death_recipient to a binder death notification.
struct hidl_binder_death_recipient : IBinder::DeathRecipient {
    hidl_binder_death_recipient(const sp<hidl_death_recipient>& recipient, uint64_t cookie,
                                const sp<::android::hidl::base::V1_0::IBase>& base);
    void binderDied(const wp<IBinder>& who) override;
    wp<hidl_death_recipient> getRecipient();

private:
    wp<hidl_death_recipient> mRecipient;
    uint64_t mCookie;
    wp<::android::hidl::base::V1_0::IBase> mBase;
};

// hidl_handle
status_t readEmbeddedFromParcel(const hidl_handle& handle, const Parcel& parcel,
                                size_t parentHandle, size_t parentOffset);
status_t writeEmbeddedToParcel(const hidl_handle& handle, Parcel* parcel, size_t parentHandle,
                               size_t parentOffset);

// hidl_memory
status_t readEmbeddedFromParcel(const hidl_memory& memory, const Parcel& parcel,
                                size_t parentHandle, size_t parentOffset);
status_t writeEmbeddedToParcel(const hidl_memory& memory, Parcel* parcel, size_t parentHandle,
                               size_t parentOffset);

// hidl_string
status_t readEmbeddedFromParcel(const hidl_string& string, const Parcel& parcel,
                                size_t parentHandle, size_t parentOffset);
status_t writeEmbeddedToParcel(const hidl_string& string, Parcel* parcel, size_t parentHandle,
                               size_t parentOffset);

// Status
status_t readFromParcel(Status* status, const Parcel& parcel);
status_t writeToParcel(const Status& status, Parcel* parcel);

// hidl_vec<T>: the elements' buffer; embedded fields of the elements are
// handled by the generated code.
template <typename T>
status_t readEmbeddedFromParcel(const hidl_vec<T>& vec, const Parcel& parcel,
                                size_t parentHandle, size_t parentOffset, size_t* handle) {
    const void* out;
    return parcel.readNullableEmbeddedBuffer(vec.size() * sizeof(T), handle, parentHandle,
                                             parentOffset + hidl_vec<T>::kOffsetOfBuffer, &out);
}

template <typename T>
status_t writeEmbeddedToParcel(const hidl_vec<T>& vec, Parcel* parcel, size_t parentHandle,
                               size_t parentOffset, size_t* handle) {
    return parcel->writeEmbeddedBuffer(vec.data(), sizeof(T) * vec.size(), handle, parentHandle,
                                       parentOffset + hidl_vec<T>::kOffsetOfBuffer);
}

template <typename T>
status_t findInParcel(const hidl_vec<T>& vec, const Parcel& parcel, size_t* handle) = delete;

// MQDescriptor: the grantors as a child buffer and the queue's native handle,
// both fixed up into the descriptor the receiver reads.
template <typename T, MQFlavor flavor>
status_t readEmbeddedFromParcel(MQDescriptor<T, flavor>& obj, const Parcel& parcel,
                                size_t parentHandle, size_t parentOffset) {
    size_t grantorsHandle;
    status_t err = readEmbeddedFromParcel(obj.grantors(), parcel, parentHandle,
                                          parentOffset + MQDescriptor<T, flavor>::kOffsetOfGrantors,
                                          &grantorsHandle);
    if (err != OK) return err;
    const native_handle_t* handle;
    return parcel.readNullableEmbeddedNativeHandle(
            parentHandle, parentOffset + MQDescriptor<T, flavor>::kOffsetOfHandle, &handle);
}

template <typename T, MQFlavor flavor>
status_t writeEmbeddedToParcel(const MQDescriptor<T, flavor>& obj, Parcel* parcel,
                               size_t parentHandle, size_t parentOffset) {
    size_t grantorsHandle;
    status_t err = writeEmbeddedToParcel(obj.grantors(), parcel, parentHandle,
                                         parentOffset + MQDescriptor<T, flavor>::kOffsetOfGrantors,
                                         &grantorsHandle);
    if (err != OK) return err;
    return parcel->writeEmbeddedNativeHandle(
            obj.handle(), parentHandle, parentOffset + MQDescriptor<T, flavor>::kOffsetOfHandle);
}

// Binder object of an interface: the proxy's remote, or the cached stub of a
// local object (created from its descriptor's stub constructor).
sp<IBinder> getOrCreateCachedBinder(::android::hidl::base::V1_0::IBase* ifacePtr);

// Interface of a binder: a new proxy for a remote binder, the implementation
// for a local one (or null when it does not implement IType).
template <typename IType, typename ProxyType, typename StubType>
sp<IType> fromBinder(const sp<IBinder>& binderIface) {
    using ::android::hidl::base::V1_0::IBase;
    using ::android::hidl::base::V1_0::BnHwBase;

    if (binderIface.get() == nullptr) {
        return nullptr;
    }
    if (binderIface->localBinder() == nullptr) {
        return new ProxyType(binderIface);
    }
    sp<IBase> base = static_cast<BnHwBase*>(binderIface.get())->getImpl();
    if (details::canCastInterface(base.get(), IType::descriptor)) {
        StubType* stub = static_cast<StubType*>(binderIface.get());
        return stub->getImpl();
    }
    return nullptr;
}

// The binder object behind an interface, as getOrCreateCachedBinder.
template <typename IType>
sp<IBinder> toBinder(sp<IType> iface) {
    return getOrCreateCachedBinder(iface.get());
}

void configureBinderRpcThreadpool(size_t maxThreads, bool callerWillJoin);
void joinBinderRpcThreadpool();

}  // namespace hardware
}  // namespace android
