/*
 * Host HIDL runtime: one-way calls in flight.
 *
 * Owns what a one-way call keeps referenced (its target and the objects it
 * carries) until the peer reports it served.
 */
#define LOG_TAG "hidl_host_transport"

#include <mutex>
#include <vector>

#include "Transport.h"

namespace android {
namespace hardware {

void Transport::releasePins(const std::string& address, uint64_t pinId, bool all) {
    std::vector<OnewayPin> drop;  // released outside the lock
    std::unique_lock<std::mutex> lock(mPinLock);
    if (!all) {
        auto it = mOnewayPins.find(pinId);
        if (it != mOnewayPins.end() && it->second.address == address) {
            drop.push_back(std::move(it->second));
            mOnewayPins.erase(it);
        }
    } else {
        for (auto it = mOnewayPins.begin(); it != mOnewayPins.end();) {
            if (it->second.address == address) {
                drop.push_back(std::move(it->second));
                it = mOnewayPins.erase(it);
            } else {
                ++it;
            }
        }
    }
    lock.unlock();
    drop.clear();
}
}  // namespace hardware
}  // namespace android
