/*
 * Host HIDL runtime: service lookup and registration.
 */
#define LOG_TAG "hidl_host_service_management"

#include <android/hidl/manager/1.0/BnHwServiceManager.h>
#include <android/hidl/manager/1.0/BpHwServiceManager.h>
#include <android/hidl/manager/1.0/IServiceManager.h>
#include <ctype.h>
#include <dlfcn.h>
#include <hidl/HidlTransportSupport.h>
#include <hidl/ServiceManagement.h>
#include <hwbinder/BpHwBinder.h>
#include <log/log.h>
#include <twdevice/device.h>

#include <chrono>
#include <mutex>
#include <thread>

#include "Transport.h"

namespace android {
namespace hardware {

using ::android::hidl::base::V1_0::IBase;
using ::android::hidl::manager::V1_0::BnHwServiceManager;
using ::android::hidl::manager::V1_0::BpHwServiceManager;
using ::android::hidl::manager::V1_0::IServiceManager;
using ::android::hidl::manager::V1_0::IServiceNotification;

sp<IServiceManager> defaultServiceManager() {
    static std::mutex sLock;
    static sp<IServiceManager>* sManager = new sp<IServiceManager>();
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
        ALOGE("hwservicemanager is not running (no %s/%s)", Transport::socketDir().c_str(),
              Transport::kServiceManagerAddress);
        return nullptr;
    }
    *sManager = fromBinder<IServiceManager, BpHwServiceManager, BnHwServiceManager>(binder);
    return *sManager;
}

namespace {

// Loads "<package>@<version>-impl.so" and calls its HIDL_FETCH_<Interface>.
struct PassthroughServiceManager : IServiceManager {
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

    Return<bool> add(const hidl_string&, const sp<IBase>&) override { return false; }
    Return<bool> addWithChain(const hidl_string&, const sp<IBase>&,
                              const hidl_vec<hidl_string>&) override {
        return false;
    }
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
};

}  // namespace

sp<IServiceManager> getPassthroughServiceManager() {
    static sp<IServiceManager>* sManager = new sp<IServiceManager>(new PassthroughServiceManager());
    return *sManager;
}

namespace details {

void waitForHwService(const std::string& interface, const std::string& instance) {
    for (int i = 0; i < 50; i++) {
        sp<IServiceManager> sm = defaultServiceManager();
        if (sm != nullptr) {
            Return<sp<IBase>> ret = sm->get(interface, instance);
            if (ret.isOk() && static_cast<sp<IBase>>(ret) != nullptr) return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    ALOGW("waited 5 s for %s/%s", interface.c_str(), instance.c_str());
}

sp<IBase> getRawServiceInternal(const std::string& descriptor, const std::string& instance,
                                bool /*retry*/, bool getStub) {
    if (getStub) {
        Return<sp<IBase>> ret = getPassthroughServiceManager()->get(descriptor, instance);
        if (!ret.isOk()) return nullptr;
        return ret;
    }
    // An absent service is answered at once: the caller decides whether to wait.
    sp<IServiceManager> sm = defaultServiceManager();
    if (sm == nullptr) return nullptr;
    Return<sp<IBase>> ret = sm->get(descriptor, instance);
    if (!ret.isOk()) {
        ALOGE("getService %s/%s: %s", descriptor.c_str(), instance.c_str(),
              ret.description().c_str());
        return nullptr;
    }
    return ret;
}

status_t registerAsServiceInternal(const sp<IBase>& service, const std::string& name) {
    if (service == nullptr) {
        return UNEXPECTED_NULL;
    }
    sp<IServiceManager> sm = defaultServiceManager();
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

status_t serveAsServiceManager(const sp<IServiceManager>& sm) {
    sp<IBinder> binder = getOrCreateCachedBinder(sm.get());
    if (binder == nullptr || binder->localBinder() == nullptr) return BAD_VALUE;
    return Transport::self().setContextObject(binder->localBinder());
}

}  // namespace details
}  // namespace hardware
}  // namespace android
