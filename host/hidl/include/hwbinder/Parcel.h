/*
 * Host HIDL runtime: a transaction's contents.
 *
 * A Parcel holds a flat data section (scalars, interface tokens, indices of
 * objects), a list of buffers (each optionally embedded in a parent buffer at
 * an offset, whose pointer field is fixed up on receipt, as the kernel does
 * for hwbinder) and a list of objects (interface references and native
 * handles). Every read checks bounds, sizes and parent/offset links.
 */
#pragma once

#include <cutils/native_handle.h>
#include <sys/uio.h>
#include <utils/Errors.h>
#include <utils/RefBase.h>
#include <utils/StrongPointer.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace android {
namespace hardware {

class IBinder;

// The bytes of a message as they came off the wire. Making room for a read
// leaves the new bytes as they are, where a std::string would first zero
// them (a 64 KiB transaction would be written twice). The data start where
// operator new[] puts them: aligned for any scalar.
class WireBytes {
  public:
    WireBytes() = default;
    WireBytes(const char* data, size_t len);
    WireBytes(WireBytes&& other) noexcept;
    WireBytes& operator=(WireBytes&& other) noexcept;
    WireBytes(const WireBytes&) = delete;
    WireBytes& operator=(const WireBytes&) = delete;

    size_t size() const { return mSize; }
    bool empty() const { return mSize == 0; }
    char* data() { return mData.get(); }
    const char* data() const { return mData.get(); }
    char& operator[](size_t i) { return mData[i]; }
    // Grows (keeping what it holds; the new bytes are unset) or shrinks.
    void resize(size_t size);
    void append(const char* data, size_t len);
    void clear() { mSize = 0; }

  private:
    std::unique_ptr<char[]> mData;
    size_t mSize = 0;
    size_t mCapacity = 0;
};

class Parcel {
  public:
    Parcel();
    ~Parcel();
    Parcel(const Parcel&) = delete;
    Parcel& operator=(const Parcel&) = delete;

    size_t dataSize() const { return mReceivedData != nullptr ? mReceivedSize : mData.size(); }
    size_t dataPosition() const { return mDataPos; }
    void setDataPosition(size_t pos) const { mDataPos = pos; }
    void freeData();

    status_t writeInterfaceToken(const char* interface);
    bool enforceInterface(const char* interface) const;

    status_t writeInt8(int8_t val);
    status_t writeUint8(uint8_t val);
    status_t writeInt16(int16_t val);
    status_t writeUint16(uint16_t val);
    status_t writeInt32(int32_t val);
    status_t writeUint32(uint32_t val);
    status_t writeInt64(int64_t val);
    status_t writeUint64(uint64_t val);
    status_t writeFloat(float val);
    status_t writeDouble(double val);
    status_t writeBool(bool val);
    status_t writeCString(const char* str);
    status_t write(const void* data, size_t len);

    status_t readInt8(int8_t* pArg) const;
    status_t readUint8(uint8_t* pArg) const;
    status_t readInt16(int16_t* pArg) const;
    status_t readUint16(uint16_t* pArg) const;
    status_t readInt32(int32_t* pArg) const;
    status_t readUint32(uint32_t* pArg) const;
    status_t readInt64(int64_t* pArg) const;
    status_t readUint64(uint64_t* pArg) const;
    status_t readFloat(float* pArg) const;
    status_t readDouble(double* pArg) const;
    status_t readBool(bool* pArg) const;
    const char* readCString() const;
    status_t read(void* outData, size_t len) const;

    // Top-level and embedded buffers. As in hwbinder, the data are referenced
    // where they are, not copied: they must stay valid and unchanged until
    // the parcel has been sent (the generated proxies and stubs send it
    // while their arguments and results are in scope).
    status_t writeBuffer(const void* buffer, size_t length, size_t* handle);
    status_t writeEmbeddedBuffer(const void* buffer, size_t length, size_t* handle,
                                 size_t parent_buffer_handle, size_t parent_offset);
    status_t readBuffer(size_t buffer_size, size_t* buffer_handle, const void** buffer_out) const;
    status_t readNullableBuffer(size_t buffer_size, size_t* buffer_handle,
                                const void** buffer_out) const;
    status_t readEmbeddedBuffer(size_t buffer_size, size_t* buffer_handle,
                                size_t parent_buffer_handle, size_t parent_offset,
                                const void** buffer_out) const;
    status_t readNullableEmbeddedBuffer(size_t buffer_size, size_t* buffer_handle,
                                        size_t parent_buffer_handle, size_t parent_offset,
                                        const void** buffer_out) const;

    // Interface references.
    status_t writeStrongBinder(const sp<IBinder>& val);
    status_t readStrongBinder(sp<IBinder>* val) const;
    status_t readNullableStrongBinder(sp<IBinder>* val) const;
    sp<IBinder> readStrongBinder() const;

    // Native handles: file descriptors travel with the message.
    status_t writeNativeHandleNoDup(const native_handle_t* handle);
    status_t writeEmbeddedNativeHandle(const native_handle_t* handle, size_t parent_buffer_handle,
                                       size_t parent_offset);
    status_t readNullableNativeHandleNoDup(const native_handle_t** handle) const;
    status_t readNativeHandleNoDup(const native_handle_t** handle) const;
    status_t readNullableEmbeddedNativeHandle(size_t parent_buffer_handle, size_t parent_offset,
                                              const native_handle_t** handle) const;
    status_t readEmbeddedNativeHandle(size_t parent_buffer_handle, size_t parent_offset,
                                      const native_handle_t** handle) const;

    // --- transport side (not used by generated code) ---
    struct Buffer {
        // The writer's memory for a parcel being sent; for a received one,
        // 8-byte aligned memory the parcel owns (the message, or storage).
        uint8_t* data = nullptr;
        std::unique_ptr<uint64_t[]> storage;  // a received buffer's own copy, if any
        size_t length = 0;
        uint32_t parent = kNoParent;
        uint64_t parentOffset = 0;
        bool isNull = false;
        uint8_t* bytes() const { return data; }
    };
    enum ObjectKind : uint32_t { OBJ_NULL_BINDER = 0, OBJ_BINDER = 1, OBJ_HANDLE = 2 };
    struct Object {
        ObjectKind kind = OBJ_NULL_BINDER;
        sp<IBinder> binder;                 // OBJ_BINDER
        native_handle_t* handle = nullptr;  // OBJ_HANDLE (owned when received)
        bool ownsHandle = false;
        uint32_t parent = kNoParent;
        uint64_t parentOffset = 0;
    };
    static constexpr uint32_t kNoParent = 0xffffffffu;

    // The wire form of a parcel in pieces, for one gathered write: the small
    // fields are encoded into the form's own bytes, large buffers are
    // referenced where they are (valid while the parcel and their writer's
    // memory are). A small parcel's form lives inside the object: a call
    // encodes one without touching the heap.
    class WireForm {
      public:
        WireForm() = default;
        WireForm(const WireForm&) = delete;
        WireForm& operator=(const WireForm&) = delete;

        size_t size() const { return mSize; }
        // Buffers at least this long are referenced, up to kMaxReferences of
        // them; the others are copied.
        static constexpr size_t kMinReference = 4096;
        static constexpr size_t kMaxReferences = 32;
        // Own bytes alternate with references.
        static constexpr size_t kMaxPieces = 2 * kMaxReferences + 1;
        // Fills out (room for kMaxPieces) with the pieces in order, valid
        // until the form changes; their count.
        size_t iovecs(struct iovec* out) const;

        // Encoder interface.
        void reserveOwn(size_t len);
        void append(const void* data, size_t len);
        void appendZeros(size_t len);
        void reference(const void* data, size_t len);

      private:
        static constexpr size_t kInlineBytes = 256;
        struct Piece {
            const uint8_t* external;  // null: own bytes [offset, offset + length)
            size_t offset;
            size_t length;
        };
        // Room for len more own bytes; where they go.
        char* extendOwn(size_t len);
        char* own() { return mHeap != nullptr ? mHeap.get() : mInline; }
        const char* own() const { return mHeap != nullptr ? mHeap.get() : mInline; }

        char mInline[kInlineBytes];
        std::unique_ptr<char[]> mHeap;  // once the own bytes outgrow mInline
        size_t mOwnSize = 0;
        size_t mOwnCapacity = kInlineBytes;
        Piece mPieces[kMaxPieces];
        size_t mPieceCount = 0;
        size_t mSize = 0;
        size_t mReferences = 0;
    };

    // Encodes the parcel for the wire; fds are appended to *fds (not owned).
    // localBinders counts references to objects of this process.
    status_t serialize(std::string* out, std::vector<int>* fds, size_t* localBinders) const;
    status_t serialize(WireForm* out, std::vector<int>* fds, size_t* localBinders) const;
    // Decodes a message; takes ownership of fds (closes unused ones).
    status_t deserialize(const uint8_t* data, size_t len, std::vector<int>* fds);
    // Decodes a message it takes over: the buffers stay in it, uncopied.
    status_t deserialize(WireBytes&& message, std::vector<int>* fds);
    bool hasLocalBinders() const;
    // Bytes the kernel driver would copy into the receiver's buffer for this
    // parcel: the data with the flat objects it would hold inline, their
    // offsets, and every embedded buffer (a native handle counted as its
    // buffer plus its descriptor array object), each 8-byte aligned.
    size_t transactionSize() const;
    void collectLocalBinders(std::vector<sp<IBinder>>* out) const;

  private:
    status_t growData(size_t len);
    const uint8_t* readInplace(size_t len) const;
    status_t writeObject(Object&& obj, bool inData);
    status_t readObjectIndex(uint32_t* index) const;
    status_t writeHandleObject(const native_handle_t* handle, uint32_t parent, uint64_t offset,
                               bool inData);
    status_t readHandleObject(uint32_t parent, uint64_t offset, bool nullable,
                              const native_handle_t** handle) const;
    status_t readBufferImpl(size_t size, size_t* handle, uint32_t parent, uint64_t offset,
                            bool nullable, const void** out) const;
    template <typename Sink>
    status_t encode(Sink* out, std::vector<int>* fds, size_t* localBinders) const;
    status_t decodeMessage(std::vector<int>* fds);

    // The data section: written here, or, in a received parcel not written
    // to since, read where it arrived in mMessage.
    const uint8_t* dataBytes() const {
        return mReceivedData != nullptr ? mReceivedData : mData.data();
    }
    std::vector<uint8_t> mData;
    const uint8_t* mReceivedData = nullptr;
    size_t mReceivedSize = 0;
    mutable size_t mDataPos = 0;
    // A received message; the buffers point into it.
    WireBytes mMessage;
    std::vector<Buffer> mBuffers;
    mutable size_t mNextBuffer = 0;
    std::vector<Object> mObjects;
    mutable size_t mNextHandleObject = 0;
};

}  // namespace hardware
}  // namespace android
