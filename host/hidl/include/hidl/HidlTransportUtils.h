/*
 * Host HIDL runtime: interface-chain helpers.
 */
#pragma once

#include <android/hidl/base/1.0/IBase.h>

#include <string>

namespace android {
namespace hardware {
namespace details {

// True when the object's interface chain holds the descriptor. A transport
// failure is returned as such.
Return<bool> canCastInterface(::android::hidl::base::V1_0::IBase* interface,
                              const char* castTo, bool emitError = false);

std::string getDescriptor(::android::hidl::base::V1_0::IBase* interface);

}  // namespace details
}  // namespace hardware
}  // namespace android
