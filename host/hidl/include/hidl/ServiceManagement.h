/*
 * Host HIDL runtime: the service manager and service registration.
 */
#pragma once

#include <android/hidl/base/1.0/IBase.h>
#include <utils/StrongPointer.h>

#include <string>
#include <vector>

namespace android {

namespace hidl {
namespace manager {
namespace V1_0 {
struct IServiceManager;
}  // namespace V1_0
namespace V1_1 {
struct IServiceManager;
}  // namespace V1_1
namespace V1_2 {
struct IServiceManager;
}  // namespace V1_2
}  // namespace manager
}  // namespace hidl

namespace hardware {

// The hwservicemanager of this device root, or null when it is not running.
sp<::android::hidl::manager::V1_0::IServiceManager> defaultServiceManager();
sp<::android::hidl::manager::V1_1::IServiceManager> defaultServiceManager1_1();
sp<::android::hidl::manager::V1_2::IServiceManager> defaultServiceManager1_2();

// The in-process manager that loads "<package>@<version>-impl.so" libraries.
sp<::android::hidl::manager::V1_0::IServiceManager> getPassthroughServiceManager();
sp<::android::hidl::manager::V1_1::IServiceManager> getPassthroughServiceManager1_1();

// Instance names of descriptor that the device manifest declares, for tests
// that run once per instance. Empty when the manager is not running.
std::vector<std::string> getAllHalInstanceNames(const std::string& descriptor);

namespace details {

// Waits until interface/instance is registered, without a bound.
void waitForHwService(const std::string& interface, const std::string& instance);

sp<::android::hidl::base::V1_0::IBase> getRawServiceInternal(const std::string& descriptor,
                                                             const std::string& instance,
                                                             bool retry, bool getStub);

status_t registerAsServiceInternal(const sp<::android::hidl::base::V1_0::IBase>& service,
                                   const std::string& name);

// Used by the hwservicemanager program: serves sm as the context object.
status_t serveAsServiceManager(const sp<::android::hidl::manager::V1_0::IServiceManager>& sm);

}  // namespace details
}  // namespace hardware
}  // namespace android
