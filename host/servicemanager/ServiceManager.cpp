/*
 * hwservicemanager for the host transport: keeps the registered services by
 * every descriptor of their interface chain and drops those whose process
 * died. Lookups of absent services answer null at once; whether a client
 * waits for one is the client runtime's decision, from getTransport(), which
 * answers what the device manifest declares.
 *
 * Client callbacks: a server may ask to be told when its registration gains
 * its first client and loses its last one. A thread of its own counts the
 * clients (from the serving process's runtime: the processes holding the
 * object, this one left out) every clientPollMs() and right after a callback
 * is registered; only that thread ever waits on a serving process, each
 * query bounded by kClientQueryMs.
 */
#define LOG_TAG "hwservicemanager"

#include "ServiceManager.h"

#include <errno.h>
#include <hidl/HidlTransportSupport.h>
#include <hwbinder/BinderDebug.h>
#include <hwbinder/BpHwBinder.h>
#include <hwbinder/IPCThreadState.h>
#include <log/log.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <set>

#include "Vintf.h"

namespace android {
namespace hidl {
namespace manager {
namespace implementation {

using ::android::hardware::BinderProcessInfo;
using ::android::hardware::getBinderProcessInfo;
using ::android::hardware::getOrCreateCachedBinder;
using ::android::hardware::interfacesEqual;
using ::android::hardware::IPCThreadState;
using ::android::hardware::Void;
using ::android::hidl::base::V1_0::DebugInfo;

namespace {

// How long the client-callback thread waits for a serving process to say who
// holds its objects.
constexpr int kClientQueryMs = 1000;
// Periodic checks in a row without a client before the callbacks hear so,
// as on a phone: a client that lets go and gets the service again at once
// is not reported.
constexpr int kNoClientRepeatLimit = 2;

// The descriptors this manager serves itself; the framework's manifest
// declares them on a phone.
bool isOwnDescriptor(const std::string& fqName) {
    return fqName == ::android::hidl::manager::V1_0::IServiceManager::descriptor ||
           fqName == ::android::hidl::manager::V1_1::IServiceManager::descriptor ||
           fqName == ::android::hidl::manager::V1_2::IServiceManager::descriptor;
}

// False once the process behind a proxy is known to be gone.
bool isAlive(const sp<IBase>& service) {
    if (service == nullptr) return false;
    if (!service->isRemote()) return true;
    sp<::android::hardware::IBinder> binder = getOrCreateCachedBinder(service.get());
    ::android::hardware::BpHwBinder* proxy = binder == nullptr ? nullptr : binder->remoteBinder();
    return proxy != nullptr && proxy->isAlive();
}

}  // namespace

ServiceManager::ServiceManager() {}

ServiceManager::~ServiceManager() {
    {
        std::lock_guard<std::mutex> lock(mPollLock);
        mStopPoll = true;
    }
    mPollCv.notify_all();
    if (mPollThread.joinable()) mPollThread.join();
}

int ServiceManager::clientPollMs() {
    const char* env = getenv("TWINEL_CLIENT_POLL_MS");
    if (env != nullptr && *env != '\0') {
        char* end = nullptr;
        long ms = strtol(env, &end, 10);
        if (*end == '\0' && ms >= 50 && ms <= 60000) return static_cast<int>(ms);
        ALOGW("TWINEL_CLIENT_POLL_MS=%s is not 50..60000: using 5000", env);
    }
    return 5000;
}

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
    // The caller is a client now, even if it lets go before the next count.
    auto watch = mClientWatches.find(inst->second.cookie);
    if (watch != mClientWatches.end()) watch->second.guaranteeClient = true;
    return inst->second.service;
}

Return<bool> ServiceManager::add(const hidl_string& name, const sp<IBase>& service) {
    if (service == nullptr) return false;
    // Asks the object for its chain: the registering process must serve calls.
    hidl_vec<hidl_string> chain;
    Return<void> ret = service->interfaceChain([&](const hidl_vec<hidl_string>& c) { chain = c; });
    if (!ret.isOk()) {
        ALOGE("add %s: cannot read the interface chain: %s", name.c_str(),
              ret.description().c_str());
        return false;
    }
    return addWithChain(name, service, chain);
}

void ServiceManager::registerLocked(const std::string& name, const sp<IBase>& service,
                                    const std::vector<std::string>& chain, pid_t pid, uid_t uid,
                                    Notifications* notify) {
    uint64_t cookie = mNextCookie++;
    for (const auto& fqName : chain) {
        Entry& e = mServices[fqName][name];
        e.service = service;
        e.pid = pid;
        e.uid = uid;
        e.cookie = cookie;
        for (const auto& l : mListeners) {
            if (l.fqName == fqName && (l.name.empty() || l.name == name)) {
                notify->push_back({fqName, l.callback});
            }
        }
    }
    if (service->isRemote()) {
        // Only marks the proxy: no call to the registering process.
        Return<bool> linked = service->linkToDeath(this, cookie);
        if (!linked.isOk() || !linked) {
            ALOGW("cannot watch the process of %s/%s", chain[0].c_str(), name.c_str());
        }
    }
}

void ServiceManager::notifyListeners(const Notifications& notify, const std::string& name) {
    for (const auto& n : notify) {
        Return<void> r = n.second->onRegistration(n.first, name, false);
        if (r.isOk()) continue;
        ALOGW("notification listener for %s is gone: %s", n.first.c_str(), r.description().c_str());
        if (!r.isDeadObject()) continue;
        uint64_t cookie = 0;
        {
            std::lock_guard<std::mutex> lock(mLock);
            for (const auto& l : mListeners) {
                if (l.callback == n.second) cookie = l.cookie;
            }
        }
        if (cookie != 0) dropListener(cookie, "its process is gone");
    }
}

Return<bool> ServiceManager::addWithChain(const hidl_string& name, const sp<IBase>& service,
                                          const hidl_vec<hidl_string>& chain) {
    if (service == nullptr || chain.size() == 0 || !validName(name)) {
        ALOGE("refusing a registration without object, chain or valid name");
        return false;
    }
    std::vector<std::string> descriptors;
    for (const auto& d : chain) {
        if (!validName(d)) {
            ALOGE("refusing a registration with a malformed descriptor");
            return false;
        }
        descriptors.push_back(d);
    }
    pid_t pid = IPCThreadState::self()->getCallingPid();
    uid_t uid = IPCThreadState::self()->getCallingUid();

    // A live registration belongs to its user: another uid may take the name
    // over only once the holder's process is gone. Whether it is gone is asked
    // outside the lock (the holder may be slow to answer). Only the interface
    // being registered is owned: the base interfaces of its chain (IBase/default
    // above all) are shared by every service of that instance name.
    const std::string& fqName = descriptors[0];
    std::map<uint64_t, sp<IBase>> others;
    {
        std::lock_guard<std::mutex> lock(mLock);
        auto iface = mServices.find(fqName);
        if (iface != mServices.end()) {
            auto inst = iface->second.find(name);
            if (inst != iface->second.end() && inst->second.uid != uid) {
                others[inst->second.cookie] = inst->second.service;
            }
        }
    }
    std::set<uint64_t> gone;
    for (const auto& o : others) {
        if (!isAlive(o.second) || !o.second->ping().isOk()) gone.insert(o.first);
    }
    others.clear();

    Notifications notify;
    {
        std::lock_guard<std::mutex> lock(mLock);
        auto iface = mServices.find(fqName);
        if (iface != mServices.end()) {
            auto inst = iface->second.find(name);
            if (inst != iface->second.end() && inst->second.uid != uid &&
                gone.count(inst->second.cookie) == 0) {
                ALOGE("refusing %s/%s from pid %d uid %d: registered by pid %d uid %d",
                      fqName.c_str(), name.c_str(), pid, uid, inst->second.pid, inst->second.uid);
                return false;
            }
        }
        registerLocked(name, service, descriptors, pid, uid, &notify);
    }
    ALOGI("registered %s/%s (pid %d)", descriptors[0].c_str(), name.c_str(), pid);
    notifyListeners(notify, name);
    return true;
}

Return<IServiceManager::Transport> ServiceManager::getTransport(const hidl_string& fqName,
                                                                const hidl_string& name) {
    if (isOwnDescriptor(fqName) && name == "default") return Transport::HWBINDER;
    switch (declaredTransport(readManifests(), fqName, name)) {
        case DeclaredTransport::HWBINDER:
            return Transport::HWBINDER;
        case DeclaredTransport::PASSTHROUGH:
            return Transport::PASSTHROUGH;
        case DeclaredTransport::NONE:
            break;
    }
    ALOGW("getTransport: Cannot find entry %s/%s in either framework or device VINTF manifest.",
          fqName.c_str(), name.c_str());
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

Return<void> ServiceManager::listManifestByInterface(const hidl_string& fqName,
                                                     listManifestByInterface_cb _hidl_cb) {
    std::vector<std::string> names = declaredInstances(readManifests(), fqName);
    if (isOwnDescriptor(fqName)) names = {"default"};
    std::vector<hidl_string> out(names.begin(), names.end());
    _hidl_cb(out);
    return Void();
}

Return<bool> ServiceManager::registerForNotifications(const hidl_string& fqName,
                                                      const hidl_string& name,
                                                      const sp<IServiceNotification>& callback) {
    if (callback == nullptr || !validName(fqName) || (!name.empty() && !validName(name))) {
        return false;
    }
    pid_t pid = IPCThreadState::self()->getCallingPid();
    uint64_t cookie;
    std::vector<std::string> present;
    {
        std::lock_guard<std::mutex> lock(mLock);
        cookie = mNextCookie++;
        mListeners.push_back({fqName, name, callback, pid, cookie});
        auto iface = mServices.find(fqName);
        if (iface != mServices.end()) {
            for (const auto& inst : iface->second) {
                if (name.empty() || inst.first == std::string(name)) present.push_back(inst.first);
            }
        }
    }
    // A listener whose process dies is dropped (serviceDied with its cookie).
    if (callback->isRemote()) {
        Return<bool> linked = callback->linkToDeath(this, cookie);
        if (!linked.isOk() || !linked) {
            dropListener(cookie, "its process cannot be watched");
            return false;
        }
    }
    for (const auto& inst : present) {
        Return<void> r = callback->onRegistration(fqName, inst, true);
        if (!r.isOk()) {
            dropListener(cookie, "it cannot be called");
            return false;
        }
    }
    return true;
}

Return<bool> ServiceManager::unregisterForNotifications(const hidl_string& fqName,
                                                        const hidl_string& name,
                                                        const sp<IServiceNotification>& callback) {
    if (callback == nullptr) return false;
    std::vector<Listener> removed;  // released and unlinked outside the lock
    {
        std::lock_guard<std::mutex> lock(mLock);
        for (auto it = mListeners.begin(); it != mListeners.end();) {
            // An empty fqName removes the callback from every interface.
            bool match = (fqName.empty() ||
                          (it->fqName == std::string(fqName) && it->name == std::string(name))) &&
                         interfacesEqual(it->callback, callback);
            if (match) {
                removed.push_back(*it);
                it = mListeners.erase(it);
            } else {
                ++it;
            }
        }
    }
    for (const auto& l : removed) {
        if (!l.callback->isRemote()) continue;
        // Fails only when the listener's process is gone: nothing to undo then.
        Return<bool> unlinked = l.callback->unlinkToDeath(this);
        if (!unlinked.isOk()) ALOGD("unlinkToDeath: %s", unlinked.description().c_str());
    }
    return !removed.empty();
}

void ServiceManager::dropListener(uint64_t cookie, const char* why) {
    std::vector<Listener> removed;  // released outside the lock
    {
        std::lock_guard<std::mutex> lock(mLock);
        for (auto it = mListeners.begin(); it != mListeners.end();) {
            if (it->cookie == cookie) {
                ALOGI("dropping the listener of pid %d for %s/%s: %s", it->pid, it->fqName.c_str(),
                      it->name.empty() ? "*" : it->name.c_str(), why);
                removed.push_back(*it);
                it = mListeners.erase(it);
            } else {
                ++it;
            }
        }
    }
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
        // Passthrough clients: no server process, the loading processes as clients.
        for (const auto& iface : mPassthroughClients) {
            for (const auto& inst : iface.second) {
                InstanceDebugInfo info;
                info.interfaceName = iface.first;
                info.instanceName = inst.first;
                info.pid = static_cast<int32_t>(PidConstant::NO_PID);
                info.clientPids = inst.second;
                info.arch = DebugInfo::Architecture::IS_64BIT;
                infos.push_back(info);
            }
        }
    }
    _hidl_cb(infos);
    return Void();
}

Return<void> ServiceManager::registerPassthroughClient(const hidl_string& fqName,
                                                       const hidl_string& name) {
    if (!validName(fqName) || !validName(name)) return Void();
    pid_t pid = IPCThreadState::self()->getCallingPid();
    std::lock_guard<std::mutex> lock(mLock);
    std::vector<pid_t>& pids = mPassthroughClients[fqName][name];
    if (std::find(pids.begin(), pids.end(), pid) == pids.end() && pids.size() < 64) {
        pids.push_back(pid);
    }
    return Void();
}

Return<bool> ServiceManager::registerClientCallback(const hidl_string& fqName,
                                                    const hidl_string& name,
                                                    const sp<IBase>& server,
                                                    const sp<IClientCallback>& cb) {
    if (server == nullptr || cb == nullptr) return false;
    pid_t pid = IPCThreadState::self()->getCallingPid();
    uint64_t cookie = 0;
    {
        std::lock_guard<std::mutex> lock(mLock);
        const Entry* entry = nullptr;
        auto iface = mServices.find(fqName);
        if (iface != mServices.end()) {
            auto inst = iface->second.find(name);
            if (inst != iface->second.end()) entry = &inst->second;
        }
        if (entry == nullptr) {
            ALOGW("registerClientCallback %s/%s: not registered", fqName.c_str(), name.c_str());
            return false;
        }
        // Only the server of a registration may watch its clients.
        if (entry->pid != pid || !interfacesEqual(entry->service, server)) {
            ALOGW("registerClientCallback %s/%s from pid %d: only the server (pid %d) may",
                  fqName.c_str(), name.c_str(), pid, entry->pid);
            return false;
        }
        cookie = mNextCookie++;
        ClientWatch& w = mClientWatches[entry->cookie];
        if (w.service == nullptr) {
            w.fqName = fqName;
            w.name = name;
            w.service = entry->service;
        }
        w.callbacks.push_back({cb, pid, cookie});
    }
    // A callback whose process dies is dropped (serviceDied with its cookie).
    if (cb->isRemote()) {
        Return<bool> linked = cb->linkToDeath(this, cookie);
        if (!linked.isOk() || !linked) {
            dropClientCallback(cookie, "its process cannot be watched");
            return false;
        }
    }
    // A service that has clients already is told so without waiting for the
    // next periodic count.
    checkClientsSoon();
    return true;
}

Return<bool> ServiceManager::unregisterClientCallback(const sp<IBase>& server,
                                                      const sp<IClientCallback>& cb) {
    if (cb == nullptr) return false;
    std::vector<ClientCallback> removed;  // released and unlinked outside the lock
    bool stillUsed = false;
    {
        std::lock_guard<std::mutex> lock(mLock);
        for (auto& watch : mClientWatches) {
            // A null server removes the callback from every registration.
            bool match = server == nullptr || interfacesEqual(watch.second.service, server);
            auto& cbs = watch.second.callbacks;
            for (auto it = cbs.begin(); it != cbs.end();) {
                if (!interfacesEqual(it->callback, cb)) {
                    ++it;
                } else if (match) {
                    removed.push_back(*it);
                    it = cbs.erase(it);
                } else {
                    stillUsed = true;
                    ++it;
                }
            }
        }
    }
    if (!removed.empty() && !stillUsed && cb->isRemote()) {
        // Fails only when the callback's process is gone: nothing to undo then.
        Return<bool> unlinked = cb->unlinkToDeath(this);
        if (!unlinked.isOk()) ALOGD("unlinkToDeath: %s", unlinked.description().c_str());
    }
    return !removed.empty();
}

void ServiceManager::dropClientCallback(uint64_t cookie, const char* why) {
    std::vector<ClientCallback> removed;  // released outside the lock
    std::lock_guard<std::mutex> lock(mLock);
    for (auto& watch : mClientWatches) {
        auto& cbs = watch.second.callbacks;
        for (auto it = cbs.begin(); it != cbs.end();) {
            if (it->cookie == cookie) {
                ALOGI("dropping the client callback of pid %d for %s/%s: %s", it->pid,
                      watch.second.fqName.c_str(), watch.second.name.c_str(), why);
                removed.push_back(*it);
                it = cbs.erase(it);
            } else {
                ++it;
            }
        }
    }
}

bool ServiceManager::registrationExistsLocked(uint64_t cookie) const {
    auto watch = mClientWatches.find(cookie);
    if (watch == mClientWatches.end()) return false;
    auto iface = mServices.find(watch->second.fqName);
    if (iface == mServices.end()) return false;
    auto inst = iface->second.find(watch->second.name);
    return inst != iface->second.end() && inst->second.cookie == cookie;
}

void ServiceManager::checkClientsSoon() {
    {
        std::lock_guard<std::mutex> lock(mPollLock);
        mCheckNow = true;
    }
    mPollCv.notify_all();
}

void ServiceManager::clientCallbackLoop() {
    const auto interval = std::chrono::milliseconds(clientPollMs());
    auto next = std::chrono::steady_clock::now() + interval;
    for (;;) {
        {
            std::unique_lock<std::mutex> lock(mPollLock);
            mPollCv.wait_until(lock, next, [&] { return mStopPoll || mCheckNow; });
            if (mStopPoll) return;
            mCheckNow = false;
        }
        bool onInterval = std::chrono::steady_clock::now() >= next;
        if (onInterval) next = std::chrono::steady_clock::now() + interval;
        handleClientCallbacks(onInterval);
    }
}

void ServiceManager::handleClientCallbacks(bool onInterval) {
    std::vector<std::pair<uint64_t, sp<IBase>>> watched;
    std::vector<ClientWatch> stale;  // released outside the lock
    {
        std::lock_guard<std::mutex> lock(mLock);
        for (auto it = mClientWatches.begin(); it != mClientWatches.end();) {
            // A registration replaced or unregistered takes its callbacks
            // along; one whose callbacks all went is no longer watched.
            if (!registrationExistsLocked(it->first) || it->second.callbacks.empty()) {
                stale.push_back(std::move(it->second));
                it = mClientWatches.erase(it);
                continue;
            }
            watched.emplace_back(it->first, it->second.service);
            ++it;
        }
    }
    stale.clear();

    // Each serving process is asked once per round; one that does not answer
    // leaves its registrations as they were until the next round.
    std::map<std::string, std::pair<status_t, BinderProcessInfo>> byProcess;
    std::map<uint64_t, size_t> clients;
    for (const auto& w : watched) {
        sp<::android::hardware::IBinder> binder = getOrCreateCachedBinder(w.second.get());
        ::android::hardware::BpHwBinder* proxy =
                binder == nullptr ? nullptr : binder->remoteBinder();
        if (proxy == nullptr) continue;  // served here: not a server's registration
        auto it = byProcess.find(proxy->address());
        if (it == byProcess.end()) {
            BinderProcessInfo info;
            status_t err = getBinderProcessInfo(binder, &info, kClientQueryMs);
            if (err != OK) {
                ALOGW("cannot count the clients of %s: %d", proxy->address().c_str(), err);
            }
            it = byProcess.emplace(proxy->address(), std::make_pair(err, info)).first;
        }
        if (it->second.first != OK) continue;
        const auto& holders = it->second.second.holders;
        auto h = holders.find(::android::hardware::remoteObjectId(binder));
        size_t n = h == holders.end() ? 0 : h->second.size() - h->second.count(getpid());
        clients[w.first] = n;
    }
    watched.clear();

    std::vector<ClientNotification> notify;
    {
        std::lock_guard<std::mutex> lock(mLock);
        for (const auto& c : clients) {
            auto it = mClientWatches.find(c.first);
            if (it == mClientWatches.end() || !registrationExistsLocked(c.first)) continue;
            ClientWatch& w = it->second;
            bool has = c.second > 0;
            bool send = false;
            bool value = false;
            if (w.guaranteeClient) {
                // Handed out since the last count: a client, even one that
                // let go in between.
                if (!w.hasClients && !has) {
                    send = true;
                    value = true;
                }
                w.guaranteeClient = false;
            }
            if (has) w.noClientsCount = 0;
            if (has && !w.hasClients) {
                send = true;
                value = true;
            } else if (!has && w.hasClients && !send && onInterval &&
                       ++w.noClientsCount >= kNoClientRepeatLimit) {
                send = true;
                value = false;
            }
            if (!send) continue;
            w.hasClients = value;
            w.noClientsCount = 0;
            notify.push_back({w.service, w.callbacks, value, w.fqName + "/" + w.name});
        }
    }
    for (const auto& n : notify) {
        ALOGI("Notifying %s they have clients: %s", n.what.c_str(),
              n.hasClients ? "true" : "false");
        for (const auto& cb : n.callbacks) {
            Return<void> r = cb.callback->onClients(n.service, n.hasClients);
            if (r.isOk()) continue;
            ALOGW("onClients callback failed for %s: %s", n.what.c_str(), r.description().c_str());
            if (r.isDeadObject()) dropClientCallback(cb.cookie, "its process is gone");
        }
    }
}

Return<bool> ServiceManager::tryUnregister(const hidl_string& fqName, const hidl_string& name,
                                           const sp<IBase>& service) {
    if (service == nullptr) return false;
    pid_t pid = IPCThreadState::self()->getCallingPid();
    std::vector<sp<IBase>> drop;  // released outside the lock
    {
        std::lock_guard<std::mutex> lock(mLock);
        auto iface = mServices.find(fqName);
        if (iface == mServices.end()) return false;
        auto inst = iface->second.find(name);
        if (inst == iface->second.end()) return false;
        if (inst->second.pid != pid || !interfacesEqual(inst->second.service, service)) {
            ALOGE("tryUnregister %s/%s from pid %d: registered by pid %d", fqName.c_str(),
                  name.c_str(), pid, inst->second.pid);
            return false;
        }
        // Every descriptor the registration went under goes with it.
        uint64_t cookie = inst->second.cookie;
        for (auto it = mServices.begin(); it != mServices.end();) {
            auto e = it->second.find(name);
            if (e != it->second.end() && e->second.cookie == cookie) {
                drop.push_back(e->second.service);
                it->second.erase(e);
            }
            it = it->second.empty() ? mServices.erase(it) : std::next(it);
        }
    }
    ALOGI("unregistered %s/%s (pid %d)", fqName.c_str(), name.c_str(), pid);
    return true;
}

Return<void> ServiceManager::debug(const ::android::hardware::hidl_handle& fd,
                                   const hidl_vec<hidl_string>& /*options*/) {
    if (fd == nullptr || fd->numFds < 1) return Void();
    std::string out = "services:\n";
    {
        std::lock_guard<std::mutex> lock(mLock);
        for (const auto& iface : mServices) {
            for (const auto& inst : iface.second) {
                out += "  " + iface.first + "/" + inst.first +
                       " pid=" + std::to_string(inst.second.pid) +
                       " uid=" + std::to_string(inst.second.uid) + "\n";
            }
        }
        out += "listeners:\n";
        for (const auto& l : mListeners) {
            out += "  " + l.fqName + "/" + (l.name.empty() ? "*" : l.name) +
                   " pid=" + std::to_string(l.pid) + "\n";
        }
        out += "client callbacks:\n";
        for (const auto& w : mClientWatches) {
            for (const auto& c : w.second.callbacks) {
                out += "  " + w.second.fqName + "/" + w.second.name +
                       " pid=" + std::to_string(c.pid) +
                       " clients=" + (w.second.hasClients ? "yes" : "no") + "\n";
            }
        }
    }
    // The reader may go away: a short or failed write ends the dump.
    const char* p = out.data();
    size_t left = out.size();
    while (left > 0) {
        ssize_t n = write(fd->data[0], p, left);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            ALOGW("debug: write: %s", n < 0 ? strerror(errno) : "nothing written");
            break;
        }
        p += n;
        left -= static_cast<size_t>(n);
    }
    return Void();
}

void ServiceManager::serviceDied(uint64_t cookie, const wp<IBase>& /*who*/) {
    std::vector<sp<IBase>> drop;  // released outside the lock
    std::vector<ClientWatch> watches;
    bool listener = false;
    bool clientCallback = false;
    {
        std::lock_guard<std::mutex> lock(mLock);
        auto watch = mClientWatches.find(cookie);
        if (watch != mClientWatches.end()) {
            watches.push_back(std::move(watch->second));
            mClientWatches.erase(watch);
        }
        for (const auto& w : mClientWatches) {
            for (const auto& c : w.second.callbacks) {
                clientCallback = clientCallback || c.cookie == cookie;
            }
        }
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
        for (const auto& l : mListeners) listener = listener || l.cookie == cookie;
    }
    if (listener) dropListener(cookie, "its process died");
    if (clientCallback) dropClientCallback(cookie, "its process died");
}

void ServiceManager::addSelf() {
    Notifications notify;
    std::lock_guard<std::mutex> lock(mLock);
    registerLocked("default", this,
                   {::android::hidl::manager::V1_2::IServiceManager::descriptor,
                    ::android::hidl::manager::V1_1::IServiceManager::descriptor,
                    ::android::hidl::manager::V1_0::IServiceManager::descriptor, IBase::descriptor},
                   getpid(), getuid(), &notify);
    if (!mPollThread.joinable()) mPollThread = std::thread([this] { clientCallbackLoop(); });
}

}  // namespace implementation
}  // namespace manager
}  // namespace hidl
}  // namespace android
