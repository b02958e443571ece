/*
 * Host HIDL runtime: the fast message queue descriptor. It names the shared
 * memory of a queue (a native handle) and where in it the read and write
 * counters, the data and the optional event flag word lie (the grantors). The
 * descriptor travels in a transaction with its handle; the queue library
 * itself is not part of the host runtime.
 */
#pragma once

#include <cutils/native_handle.h>
#include <hidl/HidlInternal.h>
#include <hidl/HidlSupport.h>
#include <string.h>
#include <unistd.h>

#include <atomic>
#include <vector>

namespace android {
namespace hardware {

struct GrantorDescriptor {
    uint32_t flags __attribute__((aligned(4)));
    uint32_t fdIndex __attribute__((aligned(4)));
    uint32_t offset __attribute__((aligned(4)));
    uint64_t extent __attribute__((aligned(8)));
};
static_assert(sizeof(GrantorDescriptor) == 24, "GrantorDescriptor layout");

enum MQFlavor : uint32_t {
    kSynchronizedReadWrite = 0x01,
    kUnsynchronizedWrite = 0x02,
};

template <typename T, MQFlavor flavor>
struct MQDescriptor {
    // The positions of the grantors in grantors().
    enum GrantorType : int { READPTRPOS = 0, WRITEPTRPOS, DATAPTRPOS, EVFLAGWORDPOS };
    // Read counter, write counter and data; the event flag word is optional.
    static constexpr int32_t kMinGrantorCount = DATAPTRPOS + 1;
    static constexpr int32_t kMinGrantorCountForEvFlagSupport = EVFLAGWORDPOS + 1;

    // Takes ownership of nHandle. Every grantor offset must be 8-byte aligned.
    MQDescriptor(const std::vector<GrantorDescriptor>& grantors, native_handle_t* nHandle,
                 size_t size)
        : mHandle(nHandle), mQuantum(static_cast<uint32_t>(size)), mFlags(flavor) {
        mGrantors.resize(grantors.size());
        for (size_t i = 0; i < grantors.size(); ++i) {
            if (!isAlignedToWordBoundary(grantors[i].offset)) {
                details::logAlwaysFatal("Grantor offsets need to be aligned");
            }
            mGrantors[i] = grantors[i];
        }
    }

    // Takes ownership of nHandle. Lays the counters, a data buffer of
    // bufferSize bytes and (with configureEventFlag) the event flag word out
    // one after another, each at an 8-byte boundary.
    MQDescriptor(size_t bufferSize, native_handle_t* nHandle, size_t messageSize,
                 bool configureEventFlag = false)
        : mHandle(nHandle), mQuantum(static_cast<uint32_t>(messageSize)), mFlags(flavor) {
        mGrantors.resize(configureEventFlag ? kMinGrantorCountForEvFlagSupport : kMinGrantorCount);
        const size_t extents[] = {sizeof(uint64_t), sizeof(uint64_t), bufferSize,
                                  sizeof(std::atomic<uint32_t>)};
        size_t offset = 0;
        for (size_t i = 0; i < mGrantors.size(); ++i) {
            offset = alignToWordBoundary(offset);
            mGrantors[i] = {0 /* flags */, 0 /* fdIndex */, static_cast<uint32_t>(offset),
                            extents[i]};
            offset += extents[i];
        }
    }

    MQDescriptor() : mHandle(nullptr), mQuantum(0), mFlags(flavor) {}

    ~MQDescriptor() { closeHandle(); }

    // A copy owns duplicates of the descriptors.
    explicit MQDescriptor(const MQDescriptor& other) : MQDescriptor() { *this = other; }
    MQDescriptor& operator=(const MQDescriptor& other) {
        if (this == &other) return *this;
        mGrantors = other.mGrantors;
        closeHandle();
        mQuantum = other.mQuantum;
        mFlags = other.mFlags;
        const native_handle_t* from = other.mHandle;
        if (from != nullptr) {
            native_handle_t* copy = native_handle_create(from->numFds, from->numInts);
            if (copy == nullptr) details::logAlwaysFatal("out of memory copying a queue handle");
            for (int i = 0; i < from->numFds; ++i) copy->data[i] = dup(from->data[i]);
            memcpy(&copy->data[from->numFds], &from->data[from->numFds],
                   static_cast<size_t>(from->numInts) * sizeof(int));
            mHandle = copy;
        }
        return *this;
    }

    // Bytes of the data buffer (0 without one).
    size_t getSize() const {
        return mGrantors.size() > DATAPTRPOS ? mGrantors[DATAPTRPOS].extent : 0;
    }
    size_t getQuantum() const { return mQuantum; }
    int32_t getFlags() const { return static_cast<int32_t>(mFlags); }
    bool isHandleValid() const { return mHandle != nullptr; }
    size_t countGrantors() const { return mGrantors.size(); }

    const hidl_vec<GrantorDescriptor>& grantors() const { return mGrantors; }
    hidl_vec<GrantorDescriptor>& grantors() { return mGrantors; }
    const native_handle_t* handle() const { return mHandle; }
    native_handle_t* handle() { return mHandle; }

    static const size_t kOffsetOfGrantors;
    static const size_t kOffsetOfHandle;

    static size_t alignToWordBoundary(size_t length) {
        if (length > SIZE_MAX - 7) details::logAlwaysFatal("Queue size too large");
        return (length + 7) & ~static_cast<size_t>(7);
    }
    static bool isAlignedToWordBoundary(size_t offset) { return (offset & 7) == 0; }

  private:
    void closeHandle() {
        native_handle_t* h = mHandle;
        if (h == nullptr) return;
        native_handle_close(h);
        native_handle_delete(h);
        mHandle = nullptr;
    }

    hidl_vec<GrantorDescriptor> mGrantors;
    details::hidl_pointer<native_handle_t> mHandle;
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
    os += " {" + std::to_string(q.grantors().size()) +
          " grantor(s), size = " + std::to_string(q.getSize()) +
          ", .handle = " + toString(static_cast<const void*>(q.handle())) +
          ", .quantum = " + std::to_string(q.getQuantum()) + "}";
    return os;
}

}  // namespace hardware
}  // namespace android
