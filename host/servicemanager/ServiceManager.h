/*
 * hwservicemanager for the host transport.
 */
#pragma once

#include <android/hidl/manager/1.0/IServiceManager.h>
#include <hidl/Status.h>

#include <map>
#include <mutex>
#include <string>
#include <vector>

namespace android {
namespace hidl {
namespace manager {
namespace implementation {

using ::android::sp;
using ::android::hardware::hidl_string;
using ::android::hardware::hidl_vec;
using ::android::hardware::Return;
using ::android::hidl::base::V1_0::IBase;
using ::android::hidl::manager::V1_0::IServiceManager;
using ::android::hidl::manager::V1_0::IServiceNotification;

class ServiceManager : public IServiceManager, public ::android::hardware::hidl_death_recipient {
public:
    ServiceManager();

    // IServiceManager
    Return<sp<IBase>> get(const hidl_string& fqName, const hidl_string& name) override;
    Return<bool> add(const hidl_string& name, const sp<IBase>& service) override;
    Return<bool> addWithChain(const hidl_string& name, const sp<IBase>& service,
                              const hidl_vec<hidl_string>& chain) override;
    Return<Transport> getTransport(const hidl_string& fqName, const hidl_string& name) override;
    Return<void> list(list_cb _hidl_cb) override;
    Return<void> listByInterface(const hidl_string& fqName,
                                 listByInterface_cb _hidl_cb) override;
    Return<bool> registerForNotifications(const hidl_string& fqName, const hidl_string& name,
                                          const sp<IServiceNotification>& callback) override;
    Return<void> debugDump(debugDump_cb _hidl_cb) override;
    Return<void> registerPassthroughClient(const hidl_string& fqName,
                                           const hidl_string& name) override;

    // hidl_death_recipient: a registered service's process died.
    void serviceDied(uint64_t cookie, const wp<IBase>& who) override;

    // Registers this manager itself under its own descriptor.
    void addSelf();

private:
    struct Entry {
        sp<IBase> service;
        pid_t pid = 0;
        uint64_t cookie = 0;  // one per registration
    };
    struct Listener {
        std::string fqName;
        std::string name;
        sp<IServiceNotification> callback;
    };

    bool registerLocked(const std::string& name, const sp<IBase>& service,
                        const std::vector<std::string>& chain, pid_t pid,
                        std::vector<std::pair<std::string, sp<IServiceNotification>>>* notify);
    static bool validName(const std::string& s);

    std::mutex mLock;
    // fqName -> instance -> entry
    std::map<std::string, std::map<std::string, Entry>> mServices;
    std::vector<Listener> mListeners;
    uint64_t mNextCookie = 1;
};

}  // namespace implementation
}  // namespace manager
}  // namespace hidl
}  // namespace android
