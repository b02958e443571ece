/*
 * Host HIDL runtime: service lookup and registration.
 */
#define LOG_TAG "hidl_host_service_management"

#include <android/hidl/manager/1.2/BnHwServiceManager.h>
#include <android/hidl/manager/1.2/BpHwServiceManager.h>
#include <android/hidl/manager/1.2/IServiceManager.h>
#include <ctype.h>
#include <dlfcn.h>
#include <hidl/HidlTransportSupport.h>
#include <hidl/ServiceManagement.h>
#include <hwbinder/BpHwBinder.h>
#include <hwbinder/IPCThreadState.h>
#include <log/log.h>
#include <sys/stat.h>
#include <twdevice/device.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "Transport.h"

namespace android {
namespace hardware {

using ::android::hidl::base::V1_0::IBase;
using ::android::hidl::manager::V1_0::IServiceNotification;
using IServiceManager1_0 = ::android::hidl::manager::V1_0::IServiceManager;
using IServiceManager1_1 = ::android::hidl::manager::V1_1::IServiceManager;
using IServiceManager1_2 = ::android::hidl::manager::V1_2::IServiceManager;

sp<IServiceManager1_2> defaultServiceManager1_2() {
    static std::mutex sLock;
    static sp<IServiceManager1_2>* sManager = new sp<IServiceManager1_2>();
    std::lock_guard<std::mutex> lock(sLock);
    if (*sManager != nullptr) {
        sp<IBinder> binder = getOrCreateCachedBinder(sManager->get());
        BpHwBinder* proxy = binder == nullptr ? nullptr : binder->remoteBinder();
        if (!(*sManager)->isRemote() || (proxy != nullptr && proxy->isAlive())) return *sManager;
        sManager->clear();
    }
    sp<IBinder> binder =
            Transport::self().unflattenBinder(Transport::kServiceManagerAddress, 0);
    if (binder == nullptr) {
        const char* socket = "/dev/socket/hwbinder/hwservicemanager";
        struct stat st;
        bool denied = twdevice::stat(socket, &st) == 0
                              ? twdevice::access(socket, W_OK) != 0 && errno == EACCES
                              : errno == EACCES;
        if (denied) {
            ALOGE("cannot reach hwservicemanager (%s): %s", socket, strerror(EACCES));
        } else {
            ALOGE("hwservicemanager is not running (no %s)", socket);
        }
        return nullptr;
    }
    *sManager = fromBinder<IServiceManager1_2, ::android::hidl::manager::V1_2::BpHwServiceManager,
                           ::android::hidl::manager::V1_2::BnHwServiceManager>(binder);
    return *sManager;
}

sp<IServiceManager1_0> defaultServiceManager() {
    return defaultServiceManager1_2();
}

sp<IServiceManager1_1> defaultServiceManager1_1() {
    return defaultServiceManager1_2();
}

namespace {

// Loads "<package>@<version>-impl.so" and calls its HIDL_FETCH_<Interface>.
struct PassthroughServiceManager : IServiceManager1_1 {
    static bool isIdentifier(const std::string& s) {
        if (s.empty() || !(isalpha(static_cast<unsigned char>(s[0])) || s[0] == '_')) return false;
        for (char c : s) {
            if (!(isalnum(static_cast<unsigned char>(c)) || c == '_')) return false;
        }
        return true;
    }

    // "a.b.c@1.0::IFoo" -> package "a.b.c@1.0", interface "IFoo".
    static bool splitFqName(const std::string& fqName, std::string* package,
                            std::string* iface) {
        size_t colons = fqName.find("::");
        size_t at = fqName.find('@');
        if (colons == std::string::npos || at == std::string::npos || at > colons) return false;
        std::string name = fqName.substr(0, at);
        std::string version = fqName.substr(at + 1, colons - at - 1);
        *iface = fqName.substr(colons + 2);
        if (!isIdentifier(*iface)) return false;
        size_t start = 0;
        for (;;) {
            size_t dot = name.find('.', start);
            if (!isIdentifier(name.substr(start, dot == std::string::npos ? std::string::npos
                                                                          : dot - start))) {
                return false;
            }
            if (dot == std::string::npos) break;
            start = dot + 1;
        }
        size_t vdot = version.find('.');
        if (vdot == std::string::npos || vdot == 0 || vdot + 1 == version.size()) return false;
        for (size_t i = 0; i < version.size(); i++) {
            if (i != vdot && !isdigit(static_cast<unsigned char>(version[i]))) return false;
        }
        *package = fqName.substr(0, colons);
        return true;
    }

    static void* openLibrary(const std::string& lib) {
        std::vector<std::string> dirs;
        if (const char* env = getenv("HIDL_PASSTHROUGH_PATH")) {
            std::string all = env;
            size_t start = 0;
            while (start <= all.size()) {
                size_t end = all.find(':', start);
                if (end == std::string::npos) end = all.size();
                if (end > start) dirs.push_back(all.substr(start, end - start) + "/");
                start = end + 1;
            }
        }
        for (const char* dir : {HAL_LIBRARY_PATH_ODM_64BIT, HAL_LIBRARY_PATH_VENDOR_64BIT,
                                HAL_LIBRARY_PATH_SYSTEM_64BIT}) {
            dirs.push_back(twdevice::path(dir));
        }
        for (const auto& dir : dirs) {
            std::string full = dir + lib;
            if (access(full.c_str(), R_OK) != 0) continue;
            void* handle = dlopen(full.c_str(), RTLD_LAZY | RTLD_LOCAL);
            if (handle != nullptr) return handle;
            ALOGE("dlopen %s: %s", full.c_str(), dlerror());
        }
        // Finally the dynamic linker's own search path.
        void* handle = dlopen(lib.c_str(), RTLD_LAZY | RTLD_LOCAL);
        if (handle == nullptr) ALOGE("cannot load %s: %s", lib.c_str(), dlerror());
        return handle;
    }

    Return<sp<IBase>> get(const hidl_string& fqName, const hidl_string& name) override {
        std::string package, iface;
        if (!splitFqName(fqName, &package, &iface)) {
            ALOGE("bad interface name %s", fqName.c_str());
            return nullptr;
        }
        void* handle = openLibrary(package + "-impl.so");
        if (handle == nullptr) return nullptr;
        std::string sym = "HIDL_FETCH_" + iface;
        using Fetch = IBase* (*)(const char*);
        Fetch fetch = reinterpret_cast<Fetch>(dlsym(handle, sym.c_str()));
        if (fetch == nullptr) {
            ALOGE("%s-impl.so has no %s", package.c_str(), sym.c_str());
            return nullptr;
        }
        sp<IBase> service = fetch(name.c_str());
        if (service == nullptr) {
            ALOGE("%s returned no object for %s", sym.c_str(), name.c_str());
            return nullptr;
        }
        if (!details::canCastInterface(service.get(), fqName.c_str()).withDefault(false)) {
            ALOGE("the object from %s does not implement %s", sym.c_str(), fqName.c_str());
            return nullptr;
        }
        return service;
    }

    // What a process loads itself cannot be registered, listed or watched.
    Return<bool> add(const hidl_string&, const sp<IBase>&) override { return false; }
    Return<Transport> getTransport(const hidl_string&, const hidl_string&) override {
        return Transport::PASSTHROUGH;
    }
    Return<void> list(list_cb cb) override {
        cb({});
        return Void();
    }
    Return<void> listByInterface(const hidl_string&, listByInterface_cb cb) override {
        cb({});
        return Void();
    }
    Return<bool> registerForNotifications(const hidl_string&, const hidl_string&,
                                          const sp<IServiceNotification>&) override {
        return false;
    }
    Return<void> debugDump(debugDump_cb cb) override {
        cb({});
        return Void();
    }
    Return<void> registerPassthroughClient(const hidl_string&, const hidl_string&) override {
        return Void();
    }
    Return<bool> unregisterForNotifications(const hidl_string&, const hidl_string&,
                                            const sp<IServiceNotification>&) override {
        return false;
    }
};

}  // namespace

sp<IServiceManager1_1> getPassthroughServiceManager1_1() {
    static sp<IServiceManager1_1>* sManager =
            new sp<IServiceManager1_1>(new PassthroughServiceManager());
    return *sManager;
}

sp<IServiceManager1_0> getPassthroughServiceManager() {
    return getPassthroughServiceManager1_1();
}

namespace details {

// Told by hwservicemanager when interface/instance registers. wait() wakes
// on that or after one second, so a missed notification (a listener that
// could not register, a process whose only binder thread is the waiting one)
// costs at most a second per look-up.
class Waiter : public IServiceNotification {
  public:
    Waiter(const std::string& interface, const std::string& instance,
           const sp<IServiceManager1_1>& sm)
        : mInterface(interface), mInstance(instance), mSm(sm) {}

    void onFirstRef() override {
        // The notification arrives on a binder thread: with none free it
        // would only come once the waiting thread gave up.
        if (IPCThreadState::self()->isOnlyBinderThread()) {
            ALOGW("Can't efficiently wait for %s/%s, because we are called from the only binder "
                  "thread in this process.",
                  mInterface.c_str(), mInstance.c_str());
            return;
        }
        Return<bool> ret = mSm->registerForNotifications(mInterface, mInstance, this);
        if (!ret.isOk()) {
            ALOGE("Transport error, %s, during notification registration for %s/%s.",
                  ret.description().c_str(), mInterface.c_str(), mInstance.c_str());
            return;
        }
        if (!ret) {
            ALOGE("Could not register for notifications for %s/%s.", mInterface.c_str(),
                  mInstance.c_str());
            return;
        }
        mRegisteredForNotifications = true;
    }

    Return<void> onRegistration(const hidl_string&, const hidl_string&, bool) override {
        {
            std::lock_guard<std::mutex> lock(mLock);
            mRegistered = true;
        }
        mCondition.notify_all();
        return Void();
    }

    // Forgets an earlier notification; the caller then looks the service up
    // before it waits, so a registration between the two is not lost.
    void reset() {
        std::lock_guard<std::mutex> lock(mLock);
        mRegistered = false;
    }

    // One second, or until notified; without timeout, until notified.
    void wait(bool timeout) {
        if (!mRegisteredForNotifications) {
            ALOGW("Waiting one second for %s/%s", mInterface.c_str(), mInstance.c_str());
            std::this_thread::sleep_for(std::chrono::seconds(1));
            return;
        }
        std::unique_lock<std::mutex> lock(mLock);
        do {
            if (mCondition.wait_for(lock, std::chrono::seconds(1),
                                    [this] { return mRegistered; })) {
                break;
            }
            ALOGW("Waited one second for %s/%s", mInterface.c_str(), mInstance.c_str());
        } while (!timeout);
    }

    // Removes the listener from hwservicemanager; called once, before the
    // last reference goes.
    void done() {
        if (!mRegisteredForNotifications) return;
        if (!mSm->unregisterForNotifications(mInterface, mInstance, this).withDefault(false)) {
            ALOGE("Could not unregister service notification for %s/%s.", mInterface.c_str(),
                  mInstance.c_str());
        }
        mRegisteredForNotifications = false;
    }

  private:
    const std::string mInterface;
    const std::string mInstance;
    const sp<IServiceManager1_1> mSm;
    bool mRegisteredForNotifications = false;  // set once, by the constructing thread
    std::mutex mLock;                          // guards mRegistered
    std::condition_variable mCondition;
    bool mRegistered = false;
};

void waitForHwService(const std::string& interface, const std::string& instance) {
    sp<IServiceManager1_1> sm = defaultServiceManager1_1();
    if (sm == nullptr) {
        ALOGE("waitForHwService %s/%s: no hwservicemanager", interface.c_str(), instance.c_str());
        return;
    }
    sp<Waiter> waiter = new Waiter(interface, instance, sm);
    waiter->wait(false /* timeout */);
    waiter->done();
}

sp<IBase> getRawServiceInternal(const std::string& descriptor, const std::string& instance,
                                bool retry, bool getStub) {
    using Transport = IServiceManager1_0::Transport;
    if (getStub) {
        // The implementation object itself, as the library's entry made it.
        return getPassthroughServiceManager()->get(descriptor, instance).withDefault(nullptr);
    }
    sp<IServiceManager1_1> sm = defaultServiceManager1_1();
    if (sm == nullptr) {
        ALOGE("getService: defaultServiceManager() is null");
        return nullptr;
    }
    Return<Transport> transportRet = sm->getTransport(descriptor, instance);
    if (!transportRet.isOk()) {
        ALOGE("getService: defaultServiceManager()->getTransport returns %s",
              transportRet.description().c_str());
        return nullptr;
    }
    Transport transport = transportRet;
    if (transport == Transport::PASSTHROUGH) {
        sp<IBase> base =
                getPassthroughServiceManager()->get(descriptor, instance).withDefault(nullptr);
        return wrapPassthrough(base);
    }

    // Declared in the device manifest: looked up until it is there (unless
    // the caller asked for a single try). Not declared: one look-up, no wait.
    const bool declared = transport == Transport::HWBINDER;
    sp<Waiter> waiter;
    sp<IBase> found;
    for (int tries = 0;; tries++) {
        if (waiter == nullptr && tries > 0) waiter = new Waiter(descriptor, instance, sm);
        if (waiter != nullptr) waiter->reset();
        Return<sp<IBase>> ret = sm->get(descriptor, instance);
        if (!ret.isOk()) {
            ALOGE("getService: defaultServiceManager()->get returns %s for %s/%s.",
                  ret.description().c_str(), descriptor.c_str(), instance.c_str());
            break;
        }
        sp<IBase> base = ret;
        if (base != nullptr) {
            Return<bool> canCast = canCastInterface(base.get(), descriptor.c_str(), true);
            if (canCast.isOk() && canCast) {
                found = base;
                break;
            }
            if (canCast.isOk()) {
                ALOGE("getService: received incompatible service (bug in hwservicemanager?) for "
                      "%s/%s.",
                      descriptor.c_str(), instance.c_str());
                break;
            }
            if (!canCast.isDeadObject()) {
                ALOGW("getService: unable to call into hwbinder service for %s/%s.",
                      descriptor.c_str(), instance.c_str());
                break;
            }
            // Died after registering: its restart registers it again.
            ALOGW("getService: found dead hwbinder service for %s/%s.", descriptor.c_str(),
                  instance.c_str());
        }
        if (!declared || !retry) break;
        if (waiter != nullptr) {
            ALOGI("getService: Trying again for %s/%s...", descriptor.c_str(), instance.c_str());
            waiter->wait(true /* timeout */);
        }
    }
    if (waiter != nullptr) waiter->done();
    return found;
}

status_t registerAsServiceInternal(const sp<IBase>& service, const std::string& name) {
    if (service == nullptr) {
        return UNEXPECTED_NULL;
    }
    sp<IServiceManager1_2> sm = defaultServiceManager1_2();
    if (sm == nullptr) {
        return INVALID_OPERATION;
    }
    hidl_vec<hidl_string> chain;
    Return<void> chainRet =
            service->interfaceChain([&](const hidl_vec<hidl_string>& c) { chain = c; });
    if (!chainRet.isOk() || chain.size() == 0) {
        ALOGE("cannot read the interface chain of the object to register");
        return UNKNOWN_ERROR;
    }
    Return<bool> ok = sm->addWithChain(name, service, chain);
    if (!ok.isOk()) {
        ALOGE("registering %s/%s: %s", chain[0].c_str(), name.c_str(),
              ok.description().c_str());
        return FAILED_TRANSACTION;
    }
    return ok ? OK : UNKNOWN_ERROR;
}

status_t serveAsServiceManager(const sp<IServiceManager1_0>& sm) {
    sp<IBinder> binder = getOrCreateCachedBinder(sm.get());
    if (binder == nullptr || binder->localBinder() == nullptr) return BAD_VALUE;
    return Transport::self().setContextObject(binder->localBinder());
}

}  // namespace details
}  // namespace hardware
}  // namespace android
