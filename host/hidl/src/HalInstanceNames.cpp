/*
 * Host HIDL runtime: the instance names of an interface.
 */
#define LOG_TAG "hidl_host_service_management"

#include <android/hidl/manager/1.2/IServiceManager.h>
#include <hidl/ServiceManagement.h>
#include <log/log.h>

namespace android {
namespace hardware {

using ::android::hidl::manager::V1_2::IServiceManager;

std::vector<std::string> getAllHalInstanceNames(const std::string& descriptor) {
    std::vector<std::string> names;
    sp<IServiceManager> sm = defaultServiceManager1_2();
    if (sm == nullptr) {
        ALOGE("getAllHalInstanceNames(%s): no hwservicemanager", descriptor.c_str());
        return names;
    }
    // What the device manifest declares, as on a phone: a declared service
    // that is not running yet is still one to test.
    Return<void> ret =
            sm->listManifestByInterface(descriptor, [&](const hidl_vec<hidl_string>& list) {
                names.reserve(list.size());
                for (const auto& name : list) names.push_back(name);
            });
    if (!ret.isOk()) {
        ALOGE("getAllHalInstanceNames(%s): %s", descriptor.c_str(), ret.description().c_str());
        names.clear();
    }
    return names;
}

}  // namespace hardware
}  // namespace android
