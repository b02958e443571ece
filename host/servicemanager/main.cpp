/*
 * hwservicemanager: serves the device root's service manager.
 */
#define LOG_TAG "hwservicemanager"

#include <hidl/HidlTransportSupport.h>
#include <log/log.h>
#include <signal.h>

#include "ServiceManager.h"

using ::android::sp;
using ::android::hidl::manager::implementation::ServiceManager;

int main() {
    signal(SIGPIPE, SIG_IGN);
    ::android::hardware::configureRpcThreadpool(1, true /* callerWillJoin */);
    sp<ServiceManager> manager = new ServiceManager();
    ::android::status_t err = ::android::hardware::details::serveAsServiceManager(manager);
    if (err != ::android::OK) {
        ALOGE("cannot serve as the service manager (%d)", err);
        fprintf(stderr, "hwservicemanager: cannot serve (is another one running?)\n");
        return 1;
    }
    manager->addSelf();
    ALOGI("hwservicemanager ready");
    ::android::hardware::joinRpcThreadpool();
    return 1;
}
