/*
 * Host HIDL runtime: serving a passthrough implementation library as a
 * binderized service (the "-service" programs of legacy HALs).
 */
#pragma once

#include <hidl/HidlTransportSupport.h>
#include <utils/Errors.h>

#include <functional>
#include <string>

namespace android {
namespace hardware {

using RegisterServiceCb =
        std::function<status_t(const sp<::android::hidl::base::V1_0::IBase>&, const std::string&)>;

// Loads the implementation of interfaceName/serviceName from its "-impl.so"
// library, checks that it is an expectInterfaceName, and registers it with
// registerServiceCb. OK, or why not.
__attribute__((warn_unused_result)) status_t registerPassthroughServiceImplementation(
        const std::string& interfaceName, const std::string& expectInterfaceName,
        RegisterServiceCb registerServiceCb, const std::string& serviceName = "default");

// The same, registering with hwservicemanager.
__attribute__((warn_unused_result)) status_t registerPassthroughServiceImplementation(
        const std::string& interfaceName, const std::string& expectInterfaceName,
        const std::string& serviceName = "default");

template <class Interface, class ExpectInterface = Interface>
__attribute__((warn_unused_result)) status_t registerPassthroughServiceImplementation(
        const std::string& name = "default") {
    return registerPassthroughServiceImplementation(Interface::descriptor,
                                                    ExpectInterface::descriptor, name);
}

// A whole service program: the thread pool, the registration, and serving
// calls on the calling thread. Returns only when registration failed.
template <class Interface, class ExpectInterface = Interface>
__attribute__((warn_unused_result)) status_t defaultPassthroughServiceImplementation(
        const std::string& name, size_t maxThreads = 1) {
    configureRpcThreadpool(maxThreads, true);
    status_t result = registerPassthroughServiceImplementation<Interface, ExpectInterface>(name);
    if (result != OK) return result;
    joinRpcThreadpool();
    return UNKNOWN_ERROR;
}

template <class Interface, class ExpectInterface = Interface>
__attribute__((warn_unused_result)) status_t defaultPassthroughServiceImplementation(
        size_t maxThreads = 1) {
    return defaultPassthroughServiceImplementation<Interface, ExpectInterface>("default",
                                                                               maxThreads);
}

}  // namespace hardware
}  // namespace android
