/*
 * Host HIDL runtime: local binder objects (the stub side).
 */
#pragma once

#include <hwbinder/IBinder.h>
#include <sched.h>

#include <atomic>

#ifndef SCHED_NORMAL
#define SCHED_NORMAL 0  // as in the kernel's uapi
#endif

namespace android {
namespace hardware {

class BHwBinder : public IBinder {
public:
    BHwBinder();

    status_t transact(uint32_t code, const Parcel& data, Parcel* reply, uint32_t flags = 0,
                      TransactCallback callback = nullptr) final;

    status_t linkToDeath(const sp<DeathRecipient>& recipient, void* cookie = nullptr,
                         uint32_t flags = 0) override;
    status_t unlinkToDeath(const wp<DeathRecipient>& recipient, void* cookie = nullptr,
                           uint32_t flags = 0, wp<DeathRecipient>* outRecipient = nullptr) override;

    BHwBinder* localBinder() override;

    int getMinSchedulingPolicy() const { return mSchedPolicy; }
    int getMinSchedulingPriority() const { return mSchedPriority; }
    bool isRequestingSid() const { return mRequestingSid; }
    void setRequestingSid(bool requestingSid) { mRequestingSid = requestingSid; }

protected:
    ~BHwBinder() override;
    virtual status_t onTransact(uint32_t code, const Parcel& data, Parcel* reply, uint32_t flags = 0,
                                TransactCallback callback = nullptr);

    int mSchedPolicy = SCHED_NORMAL;
    int mSchedPriority = 0;

private:
    bool mRequestingSid = false;
};

class BpHwRefBase : public virtual RefBase {
protected:
    explicit BpHwRefBase(const sp<IBinder>& o);
    ~BpHwRefBase() override;

public:
    inline IBinder* remote() const { return mRemote.get(); }

private:
    sp<IBinder> mRemote;
};

}  // namespace hardware
}  // namespace android
