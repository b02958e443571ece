/*
 * Host HIDL runtime: a reference to an object in another process.
 */
#pragma once

#include <hwbinder/IBinder.h>

#include <atomic>
#include <mutex>
#include <string>
#include <vector>

namespace android {
namespace hardware {

class BpHwBinder : public IBinder {
public:
    BpHwBinder(const std::string& address, uint64_t id);

    status_t transact(uint32_t code, const Parcel& data, Parcel* reply, uint32_t flags = 0,
                      TransactCallback callback = nullptr) final;

    status_t linkToDeath(const sp<DeathRecipient>& recipient, void* cookie = nullptr,
                         uint32_t flags = 0) override;
    status_t unlinkToDeath(const wp<DeathRecipient>& recipient, void* cookie = nullptr,
                           uint32_t flags = 0, wp<DeathRecipient>* outRecipient = nullptr) override;

    BpHwBinder* remoteBinder() override;

    const std::string& address() const { return mAddress; }
    uint64_t id() const { return mId; }
    bool isAlive() const { return mAlive; }

    // Called by the transport when the owning process is gone.
    void sendObituary();

protected:
    ~BpHwBinder() override;

private:
    struct Obituary {
        sp<DeathRecipient> recipient;
        void* cookie;
    };

    const std::string mAddress;
    const uint64_t mId;
    std::atomic<bool> mAlive{true};
    std::mutex mLock;
    std::vector<Obituary> mObituaries;
    bool mObitsSent = false;
};

}  // namespace hardware
}  // namespace android
