/*
 * hwservicemanager for the host transport.
 */
#pragma once

#include <android/hidl/manager/1.2/IClientCallback.h>
#include <android/hidl/manager/1.2/IServiceManager.h>
#include <hidl/Status.h>
#include <sys/types.h>

#include <condition_variable>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace android {
namespace hidl {
namespace manager {
namespace implementation {

using ::android::sp;
using ::android::wp;
using ::android::hardware::hidl_death_recipient;
using ::android::hardware::hidl_string;
using ::android::hardware::hidl_vec;
using ::android::hardware::Return;
using ::android::hidl::base::V1_0::IBase;
using ::android::hidl::manager::V1_0::IServiceNotification;
using ::android::hidl::manager::V1_2::IClientCallback;
using ::android::hidl::manager::V1_2::IServiceManager;

class ServiceManager : public IServiceManager, public hidl_death_recipient {
  public:
    ServiceManager();
    ~ServiceManager() override;

    // @1.0::IServiceManager
    Return<sp<IBase>> get(const hidl_string& fqName, const hidl_string& name) override;
    Return<bool> add(const hidl_string& name, const sp<IBase>& service) override;
    Return<Transport> getTransport(const hidl_string& fqName, const hidl_string& name) override;
    Return<void> list(list_cb _hidl_cb) override;
    Return<void> listByInterface(const hidl_string& fqName, listByInterface_cb _hidl_cb) override;
    Return<bool> registerForNotifications(const hidl_string& fqName, const hidl_string& name,
                                          const sp<IServiceNotification>& callback) override;
    Return<void> debugDump(debugDump_cb _hidl_cb) override;
    Return<void> registerPassthroughClient(const hidl_string& fqName,
                                           const hidl_string& name) override;
    // @1.1::IServiceManager
    Return<bool> unregisterForNotifications(const hidl_string& fqName, const hidl_string& name,
                                            const sp<IServiceNotification>& callback) override;
    // @1.2::IServiceManager
    Return<bool> registerClientCallback(const hidl_string& fqName, const hidl_string& name,
                                        const sp<IBase>& server,
                                        const sp<IClientCallback>& cb) override;
    Return<bool> unregisterClientCallback(const sp<IBase>& server,
                                          const sp<IClientCallback>& cb) override;
    Return<bool> addWithChain(const hidl_string& name, const sp<IBase>& service,
                              const hidl_vec<hidl_string>& chain) override;
    Return<void> listManifestByInterface(const hidl_string& fqName,
                                         listManifestByInterface_cb _hidl_cb) override;
    Return<bool> tryUnregister(const hidl_string& fqName, const hidl_string& name,
                               const sp<IBase>& service) override;

    // IBase: what is registered and who listens, one line each ("lshal debug
    // android.hidl.manager@1.2::IServiceManager").
    Return<void> debug(const ::android::hardware::hidl_handle& fd,
                       const hidl_vec<hidl_string>& options) override;

    // hidl_death_recipient: the process of a registered service or of a
    // notification listener died (the cookie says which registration).
    void serviceDied(uint64_t cookie, const wp<IBase>& who) override;

    // Registers this manager itself under its own descriptors and starts the
    // client-callback thread.
    void addSelf();

    // How often the clients of services with client callbacks are counted:
    // 5 s as on a phone, or TWINEL_CLIENT_POLL_MS (tests shorten it).
    static int clientPollMs();

  private:
    struct Entry {
        sp<IBase> service;
        pid_t pid = 0;
        uid_t uid = 0;
        uint64_t cookie = 0;  // one per registration
    };
    struct Listener {
        std::string fqName;
        std::string name;  // empty: every instance
        sp<IServiceNotification> callback;
        pid_t pid = 0;
        uint64_t cookie = 0;  // one per listener
    };
    using Notifications = std::vector<std::pair<std::string, sp<IServiceNotification>>>;
    struct ClientCallback {
        sp<IClientCallback> callback;
        pid_t pid = 0;
        uint64_t cookie = 0;  // one per callback, for its death notification
    };
    // The client callbacks of one registration (its cookie keys it) and what
    // they were last told.
    struct ClientWatch {
        std::string fqName;
        std::string name;
        sp<IBase> service;
        std::vector<ClientCallback> callbacks;
        bool hasClients = false;       // what the callbacks were last told
        bool guaranteeClient = false;  // get() handed the service out since the last check
        int noClientsCount = 0;        // periodic checks in a row that found no client
    };
    struct ClientNotification {
        sp<IBase> service;
        std::vector<ClientCallback> callbacks;
        bool hasClients = false;
        std::string what;  // fqName/name, for the log
    };

    void registerLocked(const std::string& name, const sp<IBase>& service,
                        const std::vector<std::string>& chain, pid_t pid, uid_t uid,
                        Notifications* notify);
    void notifyListeners(const Notifications& notify, const std::string& name);
    void dropListener(uint64_t cookie, const char* why);
    static bool validName(const std::string& s);
    bool registrationExistsLocked(uint64_t cookie) const;
    void clientCallbackLoop();
    // Counts the clients of every watched registration and tells the
    // callbacks when the count crossed zero. onInterval: a periodic check
    // (only those count towards "no clients any more").
    void handleClientCallbacks(bool onInterval);
    void checkClientsSoon();
    void dropClientCallback(uint64_t cookie, const char* why);

    // Guards mServices, mListeners, mPassthroughClients, mClientWatches and
    // mNextCookie. Never held while calling another process, nor together
    // with mPollLock.
    std::mutex mLock;
    // fqName -> instance -> entry
    std::map<std::string, std::map<std::string, Entry>> mServices;
    std::vector<Listener> mListeners;
    // fqName -> instance -> pids of processes that loaded it in passthrough mode
    std::map<std::string, std::map<std::string, std::vector<pid_t>>> mPassthroughClients;
    uint64_t mNextCookie = 1;
    // registration cookie -> its client callbacks
    std::map<uint64_t, ClientWatch> mClientWatches;

    // The client-callback thread: counts clients every clientPollMs(), and at
    // once when asked (a callback was registered). Only this thread asks
    // serving processes, so a slow or dead server never holds a binder thread.
    std::mutex mPollLock;  // guards mStopPoll and mCheckNow
    std::condition_variable mPollCv;
    bool mStopPoll = false;
    bool mCheckNow = false;
    std::thread mPollThread;
};

}  // namespace implementation
}  // namespace manager
}  // namespace hidl
}  // namespace android
