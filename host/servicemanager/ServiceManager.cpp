/*
 * hwservicemanager for the host transport: keeps the registered services by
 * every descriptor of their interface chain and drops those whose process
 * died. Lookups of absent services answer null at once.
 */
#define LOG_TAG "hwservicemanager"

#include "ServiceManager.h"

#include <hidl/HidlTransportSupport.h>
#include <hwbinder/IPCThreadState.h>
#include <log/log.h>

namespace android {
namespace hidl {
namespace manager {
namespace implementation {

using ::android::hardware::IPCThreadState;
using ::android::hardware::Void;
using ::android::hidl::base::V1_0::DebugInfo;

ServiceManager::ServiceManager() {}

bool ServiceManager::validName(const std::string& s) {
    if (s.empty() || s.size() > 256) return false;
    for (char c : s) {
        if (c < 0x21 || c > 0x7e || c == '/') return false;
    }
    return true;
}

Return<sp<IBase>> ServiceManager::get(const hidl_string& fqName, const hidl_string& name) {
    std::lock_guard<std::mutex> lock(mLock);
    auto iface = mServices.find(fqName);
    if (iface == mServices.end()) return nullptr;
    auto inst = iface->second.find(name);
    if (inst == iface->second.end()) return nullptr;
    return inst->second.service;
}

Return<bool> ServiceManager::add(const hidl_string& name, const sp<IBase>& service) {
    if (service == nullptr) return false;
    // Asks the object for its chain: the registering process must serve calls.
    std::vector<std::string> chain;
    Return<void> ret = service->interfaceChain([&](const hidl_vec<hidl_string>& c) {
        for (const auto& d : c) chain.push_back(d);
    });
    if (!ret.isOk()) {
        ALOGE("add %s: cannot read the interface chain: %s", name.c_str(),
              ret.description().c_str());
        return false;
    }
    hidl_vec<hidl_string> hchain;
    hchain.resize(chain.size());
    for (size_t i = 0; i < chain.size(); i++) hchain[i] = chain[i];
    return addWithChain(name, service, hchain);
}

bool ServiceManager::registerLocked(
        const std::string& name, const sp<IBase>& service, const std::vector<std::string>& chain,
        pid_t pid, std::vector<std::pair<std::string, sp<IServiceNotification>>>* notify) {
    uint64_t cookie = mNextCookie++;
    for (const auto& fqName : chain) {
        Entry& e = mServices[fqName][name];
        e.service = service;
        e.pid = pid;
        e.cookie = cookie;
        for (const auto& l : mListeners) {
            if (l.fqName == fqName && (l.name.empty() || l.name == name)) {
                notify->push_back({fqName, l.callback});
            }
        }
    }
    if (service->isRemote()) {
        Return<bool> linked = service->linkToDeath(this, cookie);
        if (!linked.isOk() || !linked) {
            ALOGW("cannot watch the process of %s/%s", chain[0].c_str(), name.c_str());
        }
    }
    return true;
}

Return<bool> ServiceManager::addWithChain(const hidl_string& name, const sp<IBase>& service,
                                          const hidl_vec<hidl_string>& chain) {
    if (service == nullptr || chain.size() == 0 || !validName(name)) {
        ALOGE("refusing a registration without object, chain or valid name");
        return false;
    }
    std::vector<std::string> descriptors;
    for (const auto& d : chain) {
        if (!validName(d) || d.c_str()[0] == '\0') {
            ALOGE("refusing a registration with a malformed descriptor");
            return false;
        }
        descriptors.push_back(d);
    }
    pid_t pid = IPCThreadState::self()->getCallingPid();
    std::vector<std::pair<std::string, sp<IServiceNotification>>> notify;
    {
        std::lock_guard<std::mutex> lock(mLock);
        registerLocked(name, service, descriptors, pid, &notify);
    }
    ALOGI("registered %s/%s (pid %d)", descriptors[0].c_str(), name.c_str(), pid);
    for (const auto& n : notify) {
        Return<void> r = n.second->onRegistration(n.first, name, false);
        if (!r.isOk()) ALOGW("notification listener is gone: %s", r.description().c_str());
    }
    return true;
}

Return<IServiceManager::Transport> ServiceManager::getTransport(const hidl_string& fqName,
                                                               const hidl_string& name) {
    std::lock_guard<std::mutex> lock(mLock);
    auto iface = mServices.find(fqName);
    if (iface != mServices.end() && iface->second.count(name) != 0) return Transport::HWBINDER;
    return Transport::EMPTY;
}

Return<void> ServiceManager::list(list_cb _hidl_cb) {
    std::vector<hidl_string> all;
    {
        std::lock_guard<std::mutex> lock(mLock);
        for (const auto& iface : mServices) {
            for (const auto& inst : iface.second) all.push_back(iface.first + "/" + inst.first);
        }
    }
    _hidl_cb(all);
    return Void();
}

Return<void> ServiceManager::listByInterface(const hidl_string& fqName,
                                             listByInterface_cb _hidl_cb) {
    std::vector<hidl_string> names;
    {
        std::lock_guard<std::mutex> lock(mLock);
        auto iface = mServices.find(fqName);
        if (iface != mServices.end()) {
            for (const auto& inst : iface->second) names.push_back(inst.first);
        }
    }
    _hidl_cb(names);
    return Void();
}

Return<bool> ServiceManager::registerForNotifications(const hidl_string& fqName,
                                                      const hidl_string& name,
                                                      const sp<IServiceNotification>& callback) {
    if (callback == nullptr || !validName(fqName)) return false;
    std::vector<std::string> present;
    {
        std::lock_guard<std::mutex> lock(mLock);
        mListeners.push_back({fqName, name, callback});
        auto iface = mServices.find(fqName);
        if (iface != mServices.end()) {
            for (const auto& inst : iface->second) {
                if (name.empty() || inst.first == std::string(name)) present.push_back(inst.first);
            }
        }
    }
    for (const auto& inst : present) {
        Return<void> r = callback->onRegistration(fqName, inst, true);
        if (!r.isOk()) return false;
    }
    return true;
}

Return<void> ServiceManager::debugDump(debugDump_cb _hidl_cb) {
    std::vector<InstanceDebugInfo> infos;
    {
        std::lock_guard<std::mutex> lock(mLock);
        for (const auto& iface : mServices) {
            for (const auto& inst : iface.second) {
                InstanceDebugInfo info;
                info.interfaceName = iface.first;
                info.instanceName = inst.first;
                info.pid = inst.second.pid;
                info.arch = DebugInfo::Architecture::IS_64BIT;
                infos.push_back(info);
            }
        }
    }
    _hidl_cb(infos);
    return Void();
}

Return<void> ServiceManager::registerPassthroughClient(const hidl_string& /*fqName*/,
                                                       const hidl_string& /*name*/) {
    return Void();
}

void ServiceManager::serviceDied(uint64_t cookie, const wp<IBase>& /*who*/) {
    std::vector<sp<IBase>> drop;  // released outside the lock
    std::unique_lock<std::mutex> lock(mLock);
    for (auto iface = mServices.begin(); iface != mServices.end();) {
        for (auto inst = iface->second.begin(); inst != iface->second.end();) {
            if (inst->second.cookie == cookie) {
                ALOGI("%s/%s died (pid %d)", iface->first.c_str(), inst->first.c_str(),
                      inst->second.pid);
                drop.push_back(inst->second.service);
                inst = iface->second.erase(inst);
            } else {
                ++inst;
            }
        }
        iface = iface->second.empty() ? mServices.erase(iface) : std::next(iface);
    }
    lock.unlock();
    drop.clear();
}

void ServiceManager::addSelf() {
    std::vector<std::pair<std::string, sp<IServiceNotification>>> notify;
    std::lock_guard<std::mutex> lock(mLock);
    registerLocked("default", this, {IServiceManager::descriptor, IBase::descriptor}, getpid(),
                   &notify);
}

}  // namespace implementation
}  // namespace manager
}  // namespace hidl
}  // namespace android
