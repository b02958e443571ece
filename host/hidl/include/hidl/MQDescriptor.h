/*
 * Host HIDL runtime: the fast message queue descriptor type. The host
 * transport does not carry message queues; the type keeps its layout so the
 * generated code compiles.
 */
#pragma once

#include <hidl/HidlSupport.h>

namespace android {
namespace hardware {

struct GrantorDescriptor {
    uint32_t flags;
    uint32_t fdIndex;
    uint32_t offset;
    uint64_t extent;
};

enum MQFlavor : uint32_t {
    kSynchronizedReadWrite = 0x01,
    kUnsynchronizedWrite = 0x02,
};

template <typename T, MQFlavor flavor>
struct MQDescriptor {
    MQDescriptor() : mHandle(nullptr), mQuantum(0), mFlags(flavor) {}
    size_t getSize() const { return 0; }
    size_t getQuantum() const { return mQuantum; }
    int32_t getFlags() const { return mFlags; }
    bool isHandleValid() const { return mHandle != nullptr; }
    const native_handle_t* handle() const { return mHandle; }

    static const size_t kOffsetOfGrantors;
    static const size_t kOffsetOfHandle;

private:
    ::android::hardware::hidl_vec<GrantorDescriptor> mGrantors;
    ::android::hardware::details::hidl_pointer<native_handle_t> mHandle;
    uint32_t mQuantum;
    uint32_t mFlags;
};

template <typename T, MQFlavor flavor>
const size_t MQDescriptor<T, flavor>::kOffsetOfGrantors = offsetof(MQDescriptor, mGrantors);
template <typename T, MQFlavor flavor>
const size_t MQDescriptor<T, flavor>::kOffsetOfHandle = offsetof(MQDescriptor, mHandle);

template <typename T, MQFlavor flavor>
std::string toString(const MQDescriptor<T, flavor>& q) {
    std::string os;
    if (flavor & kSynchronizedReadWrite) os += "fmq_sync";
    if (flavor & kUnsynchronizedWrite) os += "fmq_unsync";
    os += " {quantum = " + std::to_string(q.getQuantum()) + "}";
    return os;
}

}  // namespace hardware
}  // namespace android
