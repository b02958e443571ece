/*
 * Host HIDL runtime: binder objects.
 */
#define LOG_TAG "hidl_host_binder"

#include <hwbinder/Binder.h>
#include <hwbinder/BpHwBinder.h>
#include <hwbinder/IInterface.h>
#include <hwbinder/Parcel.h>
#include <log/log.h>

#include <algorithm>

#include "Transport.h"

namespace android {
namespace hardware {

IBinder::IBinder() : RefBase() {}
IBinder::~IBinder() {}

bool IBinder::checkSubclass(const void* /*subclassID*/) const {
    return false;
}

BHwBinder* IBinder::localBinder() {
    return nullptr;
}

BpHwBinder* IBinder::remoteBinder() {
    return nullptr;
}

// --- BHwBinder ---

BHwBinder::BHwBinder() {}

BHwBinder::~BHwBinder() {
    Transport::self().localBinderDestroyed(this);
}

status_t BHwBinder::transact(uint32_t code, const Parcel& data, Parcel* reply, uint32_t flags,
                             TransactCallback callback) {
    data.setDataPosition(0);
    // A caller without a callback still gets the reply in *reply: the
    // generated stubs of two-way methods call the callback unconditionally.
    return onTransact(code, data, reply, flags, [&](Parcel& replyParcel) {
        replyParcel.setDataPosition(0);
        if (callback) callback(replyParcel);
    });
}

status_t BHwBinder::onTransact(uint32_t /*code*/, const Parcel& /*data*/, Parcel* /*reply*/,
                               uint32_t /*flags*/, TransactCallback /*callback*/) {
    return UNKNOWN_TRANSACTION;
}

status_t BHwBinder::linkToDeath(const sp<DeathRecipient>& /*recipient*/, void* /*cookie*/,
                                uint32_t /*flags*/) {
    // A local object never dies while it is referenced.
    return INVALID_OPERATION;
}

status_t BHwBinder::unlinkToDeath(const wp<DeathRecipient>& /*recipient*/, void* /*cookie*/,
                                  uint32_t /*flags*/, wp<DeathRecipient>* /*outRecipient*/) {
    return INVALID_OPERATION;
}

BHwBinder* BHwBinder::localBinder() {
    return this;
}

// --- BpHwRefBase / IInterface ---

BpHwRefBase::BpHwRefBase(const sp<IBinder>& o) : mRemote(o) {}
BpHwRefBase::~BpHwRefBase() {}

IInterface::IInterface() : RefBase() {}
IInterface::~IInterface() {}

sp<IBinder> IInterface::asBinder(const IInterface* iface) {
    if (iface == nullptr) return nullptr;
    return const_cast<IInterface*>(iface)->onAsBinder();
}

sp<IBinder> IInterface::asBinder(const sp<IInterface>& iface) {
    if (iface == nullptr) return nullptr;
    return iface->onAsBinder();
}

// --- BpHwBinder ---

BpHwBinder::BpHwBinder(const std::string& address, uint64_t id) : mAddress(address), mId(id) {}

BpHwBinder::~BpHwBinder() {
    Transport::self().proxyDestroyed(this);
}

status_t BpHwBinder::transact(uint32_t code, const Parcel& data, Parcel* reply, uint32_t flags,
                              TransactCallback callback) {
    status_t err = Transport::self().transact(this, code, data, reply, flags);
    if (err == OK && callback != nullptr && reply != nullptr) callback(*reply);
    return err;
}

status_t BpHwBinder::linkToDeath(const sp<DeathRecipient>& recipient, void* cookie,
                                 uint32_t /*flags*/) {
    if (recipient == nullptr) return BAD_VALUE;
    {
        std::lock_guard<std::mutex> lock(mLock);
        if (mObitsSent) return DEAD_OBJECT;
        mObituaries.push_back({recipient, cookie});
    }
    status_t err = Transport::self().linkToDeath(this);
    if (err != OK) {
        std::lock_guard<std::mutex> lock(mLock);
        mObituaries.pop_back();
    }
    return err;
}

status_t BpHwBinder::unlinkToDeath(const wp<DeathRecipient>& recipient, void* cookie,
                                   uint32_t /*flags*/, wp<DeathRecipient>* outRecipient) {
    std::lock_guard<std::mutex> lock(mLock);
    if (mObitsSent) return DEAD_OBJECT;
    for (auto it = mObituaries.begin(); it != mObituaries.end(); ++it) {
        if (it->recipient == recipient && (cookie == nullptr || it->cookie == cookie)) {
            if (outRecipient != nullptr) *outRecipient = it->recipient;
            mObituaries.erase(it);
            return OK;
        }
    }
    return NAME_NOT_FOUND;
}

BpHwBinder* BpHwBinder::remoteBinder() {
    return this;
}

void BpHwBinder::sendObituary() {
    std::vector<Obituary> obits;
    {
        std::lock_guard<std::mutex> lock(mLock);
        mAlive = false;
        if (mObitsSent) return;
        mObitsSent = true;
        obits.swap(mObituaries);
    }
    wp<IBinder> who = this;
    for (const auto& o : obits) o.recipient->binderDied(who);
}

}  // namespace hardware
}  // namespace android
