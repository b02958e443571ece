/*
 * Host HIDL runtime: a small map guarded by a mutex.
 */
#pragma once

#include <utils/RefBase.h>
#include <utils/StrongPointer.h>

#include <map>
#include <memory>
#include <mutex>

namespace android {
namespace hardware {

class BHwBinder;

namespace details {

template <typename K, typename V>
class ConcurrentMap {
    using size_type = typename std::map<K, V>::size_type;
    using iterator = typename std::map<K, V>::iterator;
    using const_iterator = typename std::map<K, V>::const_iterator;

public:
    void set(K&& k, V&& v) {
        std::unique_lock<std::mutex> _lock(mMutex);
        mMap[std::forward<K>(k)] = std::forward<V>(v);
    }
    void set(const K& k, const V& v) {
        std::unique_lock<std::mutex> _lock(mMutex);
        mMap[k] = v;
    }

    // Returns the value for k, or defaultValue.
    const V& get(const K& k, const V& defaultValue) const {
        std::unique_lock<std::mutex> _lock(mMutex);
        auto iter = mMap.find(k);
        return iter == mMap.end() ? defaultValue : iter->second;
    }

    size_type erase(const K& k) {
        std::unique_lock<std::mutex> _lock(mMutex);
        return mMap.erase(k);
    }

    size_type eraseIfEqual(const K& k, const V& v) {
        std::unique_lock<std::mutex> _lock(mMutex);
        const_iterator iter = mMap.find(k);
        if (iter == mMap.end()) return 0;
        if (iter->second == v) {
            mMap.erase(iter);
            return 1;
        }
        return 0;
    }

    std::unique_lock<std::mutex> lock() { return std::unique_lock<std::mutex>(mMutex); }
    void setLocked(K&& k, V&& v) { mMap[std::forward<K>(k)] = std::forward<V>(v); }
    void setLocked(const K& k, const V& v) { mMap[k] = v; }
    const V& getLocked(const K& k, const V& defaultValue) const {
        auto iter = mMap.find(k);
        return iter == mMap.end() ? defaultValue : iter->second;
    }
    size_type eraseLocked(const K& k) { return mMap.erase(k); }

private:
    mutable std::mutex mMutex;
    std::map<K, V> mMap;
};

struct SchedPrio;

template <typename V>
class DoubleKeyedConcurrentMap {
public:
    V get(const wp<RefBase>& k, const V& defaultValue) const {
        std::unique_lock<std::mutex> _lock(mMutex);
        auto iter = mMap.find(k.unsafe_get());
        return iter == mMap.end() ? defaultValue : iter->second;
    }
    template <typename K>
    V get(const sp<K>& k, const V& defaultValue) const {
        std::unique_lock<std::mutex> _lock(mMutex);
        auto iter = mMap.find(static_cast<const void*>(k.get()));
        return iter == mMap.end() ? defaultValue : iter->second;
    }
    template <typename K>
    void set(const sp<K>& k, const V& v) {
        std::unique_lock<std::mutex> _lock(mMutex);
        mMap[static_cast<const void*>(k.get())] = v;
    }

private:
    mutable std::mutex mMutex;
    std::map<const void*, V> mMap;
};

}  // namespace details
}  // namespace hardware
}  // namespace android
