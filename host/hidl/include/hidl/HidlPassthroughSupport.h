/*
 * Host HIDL runtime: passthrough wrapping.
 */
#pragma once

#include <android/hidl/base/1.0/IBase.h>

namespace android {
namespace hardware {
namespace details {

// Wraps a local implementation in its Bs class, or returns a remote
// interface as it is.
sp<::android::hidl::base::V1_0::IBase> wrapPassthroughInternal(
        sp<::android::hidl::base::V1_0::IBase> iface);

template <typename IType,
          typename = std::enable_if_t<std::is_same<i_tag, typename IType::_hidl_tag>::value>>
sp<IType> wrapPassthrough(sp<IType> iface) {
    return static_cast<IType*>(wrapPassthroughInternal(iface).get());
}

}  // namespace details
}  // namespace hardware
}  // namespace android
