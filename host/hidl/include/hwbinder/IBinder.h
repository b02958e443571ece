/*
 * Host HIDL runtime: the binder object interface.
 */
#pragma once

#include <utils/Errors.h>
#include <utils/RefBase.h>
#include <utils/StrongPointer.h>

#include <functional>

namespace android {
namespace hardware {

class BHwBinder;
class BpHwBinder;
class Parcel;

class IBinder : public virtual RefBase {
public:
    using TransactCallback = std::function<void(Parcel&)>;

    enum {
        FIRST_CALL_TRANSACTION = 0x00000001,
        LAST_CALL_TRANSACTION = 0x0effffff,
        FLAG_ONEWAY = 0x00000001,
    };

    IBinder();

    virtual status_t transact(uint32_t code, const Parcel& data, Parcel* reply, uint32_t flags = 0,
                              TransactCallback callback = nullptr) = 0;

    class DeathRecipient : public virtual RefBase {
    public:
        virtual void binderDied(const wp<IBinder>& who) = 0;
    };

    virtual status_t linkToDeath(const sp<DeathRecipient>& recipient, void* cookie = nullptr,
                                 uint32_t flags = 0) = 0;
    virtual status_t unlinkToDeath(const wp<DeathRecipient>& recipient, void* cookie = nullptr,
                                   uint32_t flags = 0, wp<DeathRecipient>* outRecipient = nullptr) = 0;

    virtual bool checkSubclass(const void* subclassID) const;

    virtual BHwBinder* localBinder();
    virtual BpHwBinder* remoteBinder();

protected:
    virtual ~IBinder();
};

}  // namespace hardware
}  // namespace android

// The generated stubs derive from BHwBinder and include only this header.
#include <hwbinder/Binder.h>
