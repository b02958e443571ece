/*
 * Host HIDL runtime: Parcel.
 */
#define LOG_TAG "hidl_host_parcel"

#include <hwbinder/Binder.h>
#include <hwbinder/Parcel.h>
#include <log/log.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>
#include <set>
#include <utility>

#include "Transport.h"

namespace android {
namespace hardware {

namespace {

constexpr size_t kAlign = 8;
// The data section's first allocation.
constexpr size_t kInitialDataCapacity = 256;
// Upper bounds for what one message may declare.
constexpr size_t kMaxBuffers = 1u << 16;
constexpr size_t kMaxObjects = 1u << 12;
constexpr size_t kMaxHandleInts = 1024;
constexpr size_t kMaxAddressLen = 108;

size_t padded(size_t n) {
    return (n + kAlign - 1) & ~(kAlign - 1);
}

// Sizes of the driver's flat objects, as a 64-bit kernel lays them out.
constexpr size_t kOffsetEntry = 8;        // binder_size_t in the offsets array
constexpr size_t kFlatBinderObject = 24;  // struct flat_binder_object
constexpr size_t kBufferObject = 40;      // struct binder_buffer_object
constexpr size_t kFdArrayObject = 32;     // struct binder_fd_array_object

size_t bufferCost(size_t length) {
    return kBufferObject + kOffsetEntry + padded(length);
}

size_t binderCost() {
    return kFlatBinderObject + kOffsetEntry;
}

// A native handle travels as a buffer holding native_handle_t and a
// descriptor array object pointing into it.
size_t handleCost(size_t numFds, size_t numInts) {
    return bufferCost(sizeof(native_handle_t) + sizeof(int) * (numFds + numInts)) + kFdArrayObject +
           kOffsetEntry;
}

// 8-byte aligned storage for n bytes; the padding after them is zero.
std::unique_ptr<uint64_t[]> allocBuffer(size_t n) {
    size_t words = padded(n) / kAlign + 1;
    std::unique_ptr<uint64_t[]> p(new uint64_t[words]);
    p[words - 1] = 0;
    if (words >= 2) p[words - 2] = 0;
    return p;
}

// Encodes into one contiguous string.
class StringSink {
  public:
    explicit StringSink(std::string* out) : mOut(out) {}
    void reserve(size_t fields, size_t bulk) { mOut->reserve(mOut->size() + fields + bulk); }
    void append(const void* data, size_t len) { mOut->append(static_cast<const char*>(data), len); }
    void appendZeros(size_t len) { mOut->append(len, '\0'); }
    void reference(const void* data, size_t len) { append(data, len); }

  private:
    std::string* mOut;
};

// Encodes into pieces for a gathered write.
class GatherSink {
  public:
    explicit GatherSink(Parcel::WireForm* out) : mOut(out) {}
    void reserve(size_t fields, size_t /* bulk: referenced, not copied */) {
        mOut->reserveOwn(fields);
    }
    void append(const void* data, size_t len) { mOut->append(data, len); }
    void appendZeros(size_t len) { mOut->appendZeros(len); }
    void reference(const void* data, size_t len) { mOut->reference(data, len); }

  private:
    Parcel::WireForm* mOut;
};

template <typename Sink>
void putU32(Sink* out, uint32_t v) {
    out->append(&v, sizeof(v));
}
template <typename Sink>
void putU64(Sink* out, uint64_t v) {
    out->append(&v, sizeof(v));
}
template <typename Sink>
void putBytes(Sink* out, const void* data, size_t len) {
    if (len > 0) out->append(data, len);
    out->appendZeros(padded(len) - len);
}
// A buffer's contents: the one part of a message that may be large.
template <typename Sink>
void putBuffer(Sink* out, const void* data, size_t len) {
    if (len > 0) out->reference(data, len);
    out->appendZeros(padded(len) - len);
}

// Bounds-checked reader over a received message.
class Reader {
  public:
    Reader(const uint8_t* data, size_t len) : mData(data), mLen(len) {}
    bool u32(uint32_t* v) { return raw(v, sizeof(*v)); }
    bool u64(uint64_t* v) { return raw(v, sizeof(*v)); }
    bool raw(void* out, size_t n) {
        if (n > mLen - mPos) return false;
        memcpy(out, mData + mPos, n);
        mPos += n;
        return true;
    }
    // Returns a pointer to n bytes and skips their padding.
    const uint8_t* bytes(size_t n) {
        size_t p = padded(n);
        if (p < n || p > mLen - mPos) return nullptr;
        const uint8_t* at = mData + mPos;
        mPos += p;
        return at;
    }
    bool atEnd() const { return mPos == mLen; }

  private:
    const uint8_t* mData;
    size_t mLen;
    size_t mPos = 0;
};

}  // namespace

void Parcel::WireForm::reserveOwn(size_t len) {
    if (len <= mOwnCapacity) return;
    std::unique_ptr<char[]> grown(new char[len]);
    if (mOwnSize > 0) memcpy(grown.get(), own(), mOwnSize);
    mHeap = std::move(grown);
    mOwnCapacity = len;
}

char* Parcel::WireForm::extendOwn(size_t len) {
    if (len > mOwnCapacity - mOwnSize) reserveOwn(std::max(mOwnSize + len, 2 * mOwnCapacity));
    // Own bytes continue the last piece unless a reference ends it.
    if (mPieceCount == 0 || mPieces[mPieceCount - 1].external != nullptr) {
        mPieces[mPieceCount++] = {nullptr, mOwnSize, 0};
    }
    char* at = own() + mOwnSize;
    mOwnSize += len;
    mPieces[mPieceCount - 1].length += len;
    mSize += len;
    return at;
}

void Parcel::WireForm::append(const void* data, size_t len) {
    if (len > 0) memcpy(extendOwn(len), data, len);
}

void Parcel::WireForm::appendZeros(size_t len) {
    if (len > 0) memset(extendOwn(len), 0, len);
}

void Parcel::WireForm::reference(const void* data, size_t len) {
    // Small buffers are cheaper copied than written as pieces of their own,
    // and a write takes a bounded number of pieces.
    if (len < kMinReference || mReferences >= kMaxReferences) {
        append(data, len);
        return;
    }
    mPieces[mPieceCount++] = {static_cast<const uint8_t*>(data), 0, len};
    mReferences++;
    mSize += len;
}

size_t Parcel::WireForm::iovecs(struct iovec* out) const {
    for (size_t i = 0; i < mPieceCount; i++) {
        const Piece& p = mPieces[i];
        const char* base = p.external != nullptr ? reinterpret_cast<const char*>(p.external)
                                                 : own() + p.offset;
        out[i] = {const_cast<char*>(base), p.length};
    }
    return mPieceCount;
}

Parcel::Parcel() = default;

Parcel::~Parcel() {
    freeData();
}

void Parcel::freeData() {
    for (auto& obj : mObjects) {
        if (obj.kind == OBJ_HANDLE && obj.ownsHandle && obj.handle != nullptr) {
            native_handle_close(obj.handle);
            native_handle_delete(obj.handle);
        }
    }
    mObjects.clear();
    mBuffers.clear();
    mData.clear();
    mReceivedData = nullptr;
    mReceivedSize = 0;
    mMessage = WireBytes();
    mDataPos = 0;
    mNextBuffer = 0;
    mNextHandleObject = 0;
}

status_t Parcel::growData(size_t len) {
    if (len > (1u << 30)) return NO_MEMORY;
    return OK;
}

status_t Parcel::write(const void* data, size_t len) {
    status_t err = growData(len);
    if (err != OK) return err;
    if (mReceivedData != nullptr) {
        // Written to after all: the data section moves out of the message.
        mData.assign(mReceivedData, mReceivedData + mReceivedSize);
        mReceivedData = nullptr;
        mReceivedSize = 0;
    }
    // A call's data section (interface token, arguments) mostly fits the
    // first allocation.
    if (mData.capacity() == 0) mData.reserve(kInitialDataCapacity);
    const uint8_t* p = static_cast<const uint8_t*>(data);
    mData.insert(mData.end(), p, p + len);
    mData.insert(mData.end(), padded(len) - len, 0);
    return OK;
}

const uint8_t* Parcel::readInplace(size_t len) const {
    size_t p = padded(len);
    const size_t size = dataSize();
    if (p < len || mDataPos > size || p > size - mDataPos) return nullptr;
    const uint8_t* at = dataBytes() + mDataPos;
    mDataPos += p;
    return at;
}

status_t Parcel::read(void* outData, size_t len) const {
    const uint8_t* at = readInplace(len);
    if (at == nullptr) return NOT_ENOUGH_DATA;
    memcpy(outData, at, len);
    return OK;
}

#define PARCEL_SCALAR(Name, Type)                   \
    status_t Parcel::write##Name(Type val) {        \
        return write(&val, sizeof(val));            \
    }                                               \
    status_t Parcel::read##Name(Type* pArg) const { \
        return read(pArg, sizeof(*pArg));           \
    }

PARCEL_SCALAR(Int8, int8_t)
PARCEL_SCALAR(Uint8, uint8_t)
PARCEL_SCALAR(Int16, int16_t)
PARCEL_SCALAR(Uint16, uint16_t)
PARCEL_SCALAR(Int32, int32_t)
PARCEL_SCALAR(Uint32, uint32_t)
PARCEL_SCALAR(Int64, int64_t)
PARCEL_SCALAR(Uint64, uint64_t)
PARCEL_SCALAR(Float, float)
PARCEL_SCALAR(Double, double)
#undef PARCEL_SCALAR

status_t Parcel::writeBool(bool val) {
    return writeInt8(val ? 1 : 0);
}

status_t Parcel::readBool(bool* pArg) const {
    int8_t v;
    status_t err = readInt8(&v);
    if (err == OK) *pArg = v != 0;
    return err;
}

status_t Parcel::writeCString(const char* str) {
    uint32_t len = static_cast<uint32_t>(strlen(str));
    status_t err = writeUint32(len);
    if (err != OK) return err;
    return write(str, len + 1);
}

const char* Parcel::readCString() const {
    uint32_t len;
    if (readUint32(&len) != OK) return nullptr;
    if (len == UINT32_MAX) return nullptr;
    const uint8_t* at = readInplace(static_cast<size_t>(len) + 1);
    if (at == nullptr || at[len] != '\0') return nullptr;
    return reinterpret_cast<const char*>(at);
}

status_t Parcel::writeInterfaceToken(const char* interface) {
    return writeCString(interface);
}

bool Parcel::enforceInterface(const char* interface) const {
    const char* str = readCString();
    if (str == nullptr) {
        ALOGE("transaction without an interface token (expected %s)", interface);
        return false;
    }
    if (strcmp(str, interface) != 0) {
        ALOGE("expected interface %s, transaction names %s", interface, str);
        return false;
    }
    return true;
}

status_t Parcel::writeBuffer(const void* buffer, size_t length, size_t* handle) {
    return writeEmbeddedBuffer(buffer, length, handle, kNoParent, 0);
}

status_t Parcel::writeEmbeddedBuffer(const void* buffer, size_t length, size_t* handle,
                                     size_t parent_buffer_handle, size_t parent_offset) {
    if (mBuffers.size() >= kMaxBuffers) return NO_MEMORY;
    if (parent_buffer_handle != kNoParent) {
        if (parent_buffer_handle >= mBuffers.size() ||
            parent_offset + sizeof(uint64_t) > mBuffers[parent_buffer_handle].length) {
            return BAD_VALUE;
        }
    }
    Buffer b;
    b.length = length;
    b.parent = parent_buffer_handle == kNoParent ? kNoParent
                                                 : static_cast<uint32_t>(parent_buffer_handle);
    b.parentOffset = parent_offset;
    b.isNull = buffer == nullptr;
    if (b.isNull && length != 0) return BAD_VALUE;
    b.data = const_cast<uint8_t*>(static_cast<const uint8_t*>(buffer));
    if (handle != nullptr) *handle = mBuffers.size();
    mBuffers.push_back(std::move(b));
    return OK;
}

status_t Parcel::readBufferImpl(size_t size, size_t* handle, uint32_t parent, uint64_t offset,
                                bool nullable, const void** out) const {
    if (mNextBuffer >= mBuffers.size()) {
        ALOGE("read of buffer %zu: the transaction holds only %zu", mNextBuffer, mBuffers.size());
        return BAD_VALUE;
    }
    const Buffer& b = mBuffers[mNextBuffer];
    if (b.parent != parent || b.parentOffset != offset) {
        ALOGE("buffer %zu is not at the expected parent/offset", mNextBuffer);
        return BAD_VALUE;
    }
    if (b.isNull) {
        if (!nullable || size != 0) {
            ALOGE("buffer %zu is null where data are expected", mNextBuffer);
            return UNEXPECTED_NULL;
        }
        if (handle != nullptr) *handle = mNextBuffer;
        mNextBuffer++;
        *out = nullptr;
        return OK;
    }
    if (b.length != size) {
        ALOGE("buffer %zu has %zu bytes, expected %zu", mNextBuffer, b.length, size);
        return BAD_VALUE;
    }
    if (handle != nullptr) *handle = mNextBuffer;
    mNextBuffer++;
    *out = b.bytes();
    return OK;
}

status_t Parcel::readBuffer(size_t buffer_size, size_t* buffer_handle,
                            const void** buffer_out) const {
    return readBufferImpl(buffer_size, buffer_handle, kNoParent, 0, false, buffer_out);
}

status_t Parcel::readNullableBuffer(size_t buffer_size, size_t* buffer_handle,
                                    const void** buffer_out) const {
    return readBufferImpl(buffer_size, buffer_handle, kNoParent, 0, true, buffer_out);
}

status_t Parcel::readEmbeddedBuffer(size_t buffer_size, size_t* buffer_handle,
                                    size_t parent_buffer_handle, size_t parent_offset,
                                    const void** buffer_out) const {
    if (parent_buffer_handle >= kNoParent) return BAD_VALUE;
    return readBufferImpl(buffer_size, buffer_handle, static_cast<uint32_t>(parent_buffer_handle),
                          parent_offset, false, buffer_out);
}

status_t Parcel::readNullableEmbeddedBuffer(size_t buffer_size, size_t* buffer_handle,
                                            size_t parent_buffer_handle, size_t parent_offset,
                                            const void** buffer_out) const {
    if (parent_buffer_handle >= kNoParent) return BAD_VALUE;
    return readBufferImpl(buffer_size, buffer_handle, static_cast<uint32_t>(parent_buffer_handle),
                          parent_offset, true, buffer_out);
}

status_t Parcel::writeObject(Object&& obj, bool inData) {
    if (mObjects.size() >= kMaxObjects) return NO_MEMORY;
    if (inData) {
        status_t err = writeUint32(static_cast<uint32_t>(mObjects.size()));
        if (err != OK) return err;
    }
    mObjects.push_back(std::move(obj));
    return OK;
}

status_t Parcel::readObjectIndex(uint32_t* index) const {
    status_t err = readUint32(index);
    if (err != OK) return err;
    if (*index >= mObjects.size()) {
        ALOGE("object index %u out of range (%zu objects)", *index, mObjects.size());
        return BAD_VALUE;
    }
    return OK;
}

status_t Parcel::writeStrongBinder(const sp<IBinder>& val) {
    Object obj;
    obj.kind = val == nullptr ? OBJ_NULL_BINDER : OBJ_BINDER;
    obj.binder = val;
    return writeObject(std::move(obj), true);
}

status_t Parcel::readNullableStrongBinder(sp<IBinder>* val) const {
    uint32_t index;
    status_t err = readObjectIndex(&index);
    if (err != OK) return err;
    const Object& obj = mObjects[index];
    if (obj.kind == OBJ_NULL_BINDER) {
        *val = nullptr;
        return OK;
    }
    if (obj.kind != OBJ_BINDER || obj.parent != kNoParent) {
        ALOGE("object %u is not an interface reference", index);
        return BAD_TYPE;
    }
    *val = obj.binder;
    return OK;
}

status_t Parcel::readStrongBinder(sp<IBinder>* val) const {
    status_t err = readNullableStrongBinder(val);
    if (err == OK && *val == nullptr) return UNEXPECTED_NULL;
    return err;
}

sp<IBinder> Parcel::readStrongBinder() const {
    sp<IBinder> val;
    readNullableStrongBinder(&val);
    return val;
}

status_t Parcel::writeHandleObject(const native_handle_t* handle, uint32_t parent, uint64_t offset,
                                   bool inData) {
    Object obj;
    obj.kind = OBJ_HANDLE;
    obj.handle = const_cast<native_handle_t*>(handle);
    obj.ownsHandle = false;
    obj.parent = parent;
    obj.parentOffset = offset;
    if (handle != nullptr && (handle->numFds < 0 || handle->numInts < 0 ||
                              static_cast<size_t>(handle->numFds) > Transport::kMaxFds ||
                              static_cast<size_t>(handle->numInts) > kMaxHandleInts)) {
        return BAD_VALUE;
    }
    return writeObject(std::move(obj), inData);
}

status_t Parcel::writeNativeHandleNoDup(const native_handle_t* handle) {
    return writeHandleObject(handle, kNoParent, 0, true);
}

status_t Parcel::writeEmbeddedNativeHandle(const native_handle_t* handle,
                                           size_t parent_buffer_handle, size_t parent_offset) {
    if (parent_buffer_handle >= mBuffers.size() ||
        parent_offset + sizeof(uint64_t) > mBuffers[parent_buffer_handle].length) {
        return BAD_VALUE;
    }
    return writeHandleObject(handle, static_cast<uint32_t>(parent_buffer_handle), parent_offset,
                             false);
}

status_t Parcel::readHandleObject(uint32_t parent, uint64_t offset, bool nullable,
                                  const native_handle_t** handle) const {
    const Object* obj = nullptr;
    if (parent == kNoParent) {
        uint32_t index;
        status_t err = readObjectIndex(&index);
        if (err != OK) return err;
        obj = &mObjects[index];
        if (obj->parent != kNoParent) return BAD_TYPE;
    } else {
        // Embedded handles are found by their parent and offset.
        for (const auto& o : mObjects) {
            if (o.kind == OBJ_HANDLE && o.parent == parent && o.parentOffset == offset) {
                obj = &o;
                break;
            }
        }
        if (obj == nullptr) {
            ALOGE("no native handle at buffer %u offset %llu", parent,
                  static_cast<unsigned long long>(offset));
            return BAD_VALUE;
        }
    }
    if (obj->kind != OBJ_HANDLE) return BAD_TYPE;
    if (obj->handle == nullptr && !nullable) return UNEXPECTED_NULL;
    *handle = obj->handle;
    return OK;
}

status_t Parcel::readNullableNativeHandleNoDup(const native_handle_t** handle) const {
    return readHandleObject(kNoParent, 0, true, handle);
}

status_t Parcel::readNativeHandleNoDup(const native_handle_t** handle) const {
    return readHandleObject(kNoParent, 0, false, handle);
}

status_t Parcel::readNullableEmbeddedNativeHandle(size_t parent_buffer_handle, size_t parent_offset,
                                                  const native_handle_t** handle) const {
    if (parent_buffer_handle >= kNoParent) return BAD_VALUE;
    return readHandleObject(static_cast<uint32_t>(parent_buffer_handle), parent_offset, true,
                            handle);
}

status_t Parcel::readEmbeddedNativeHandle(size_t parent_buffer_handle, size_t parent_offset,
                                          const native_handle_t** handle) const {
    if (parent_buffer_handle >= kNoParent) return BAD_VALUE;
    return readHandleObject(static_cast<uint32_t>(parent_buffer_handle), parent_offset, false,
                            handle);
}

bool Parcel::hasLocalBinders() const {
    for (const auto& obj : mObjects) {
        if (obj.kind == OBJ_BINDER && obj.binder->localBinder() != nullptr) return true;
    }
    return false;
}

void Parcel::collectLocalBinders(std::vector<sp<IBinder>>* out) const {
    for (const auto& obj : mObjects) {
        if (obj.kind == OBJ_BINDER && obj.binder->localBinder() != nullptr) {
            out->push_back(obj.binder);
        }
    }
}

size_t Parcel::transactionSize() const {
    size_t total = padded(dataSize());
    for (const auto& b : mBuffers) total += bufferCost(b.length);
    for (const auto& obj : mObjects) {
        if (obj.kind == OBJ_HANDLE) {
            total += obj.handle == nullptr ? kFdArrayObject + kOffsetEntry
                                           : handleCost(static_cast<size_t>(obj.handle->numFds),
                                                        static_cast<size_t>(obj.handle->numInts));
        } else {
            total += binderCost();
        }
    }
    return total;
}

status_t Parcel::serialize(std::string* out, std::vector<int>* fds, size_t* localBinders) const {
    StringSink sink(out);
    return encode(&sink, fds, localBinders);
}

status_t Parcel::serialize(WireForm* out, std::vector<int>* fds, size_t* localBinders) const {
    GatherSink sink(out);
    return encode(&sink, fds, localBinders);
}

template <typename Sink>
status_t Parcel::encode(Sink* out, std::vector<int>* fds, size_t* localBinders) const {
    size_t local = 0;
    size_t fdCount = 0;
    for (const auto& obj : mObjects) {
        if (obj.kind == OBJ_HANDLE && obj.handle != nullptr) fdCount += obj.handle->numFds;
    }
    if (fdCount > Transport::kMaxFds) {
        ALOGE("transaction carries %zu file descriptors, at most %zu allowed", fdCount,
              Transport::kMaxFds);
        return BAD_VALUE;
    }
    size_t fields = 16 + padded(dataSize()) + mObjects.size() * 64 + mBuffers.size() * 24;
    size_t bulk = 0;
    for (const auto& b : mBuffers) {
        if (b.length < WireForm::kMinReference) {
            fields += padded(b.length);
        } else {
            bulk += padded(b.length);
        }
    }
    out->reserve(fields, bulk);
    putU32(out, static_cast<uint32_t>(dataSize()));
    putU32(out, static_cast<uint32_t>(mBuffers.size()));
    putU32(out, static_cast<uint32_t>(mObjects.size()));
    putU32(out, static_cast<uint32_t>(fdCount));
    putBytes(out, dataBytes(), dataSize());
    for (const auto& b : mBuffers) {
        putU64(out, b.length);
        putU32(out, b.parent);
        putU32(out, b.isNull ? 1 : 0);
        putU64(out, b.parentOffset);
        putBuffer(out, b.bytes(), b.length);
    }
    for (const auto& obj : mObjects) {
        putU32(out, obj.kind);
        putU32(out, obj.parent);
        putU64(out, obj.parentOffset);
        if (obj.kind == OBJ_BINDER) {
            std::string address;
            uint64_t id = 0;
            bool isLocal = false;
            status_t err = Transport::self().flattenBinder(obj.binder, &address, &id, &isLocal);
            if (err != OK) return err;
            if (isLocal) local++;
            putU32(out, static_cast<uint32_t>(address.size()));
            putU32(out, 0);
            putU64(out, id);
            putBytes(out, address.data(), address.size());
        } else if (obj.kind == OBJ_HANDLE) {
            if (obj.handle == nullptr) {
                putU32(out, UINT32_MAX);
                putU32(out, 0);
            } else {
                putU32(out, static_cast<uint32_t>(obj.handle->numFds));
                putU32(out, static_cast<uint32_t>(obj.handle->numInts));
                for (int i = 0; i < obj.handle->numFds; i++) fds->push_back(obj.handle->data[i]);
                putBytes(out, &obj.handle->data[obj.handle->numFds],
                         sizeof(int) * obj.handle->numInts);
            }
        }
    }
    if (localBinders != nullptr) *localBinders = local;
    return OK;
}

WireBytes::WireBytes(const char* data, size_t len) {
    resize(len);
    if (len > 0) memcpy(mData.get(), data, len);
}

WireBytes::WireBytes(WireBytes&& other) noexcept
    : mData(std::move(other.mData)), mSize(other.mSize), mCapacity(other.mCapacity) {
    other.mSize = other.mCapacity = 0;
}

WireBytes& WireBytes::operator=(WireBytes&& other) noexcept {
    if (this != &other) {
        mData = std::move(other.mData);
        mSize = other.mSize;
        mCapacity = other.mCapacity;
        other.mSize = other.mCapacity = 0;
    }
    return *this;
}

void WireBytes::resize(size_t size) {
    if (size > mCapacity) {
        // Geometric growth: a message read in steps is copied O(1) times.
        const size_t capacity = std::max(size, 2 * mCapacity);
        std::unique_ptr<char[]> grown(new char[capacity]);
        if (mSize > 0) memcpy(grown.get(), mData.get(), mSize);
        mData = std::move(grown);
        mCapacity = capacity;
    }
    mSize = size;
}

void WireBytes::append(const char* data, size_t len) {
    const size_t at = mSize;
    resize(mSize + len);
    if (len > 0) memcpy(mData.get() + at, data, len);
}

status_t Parcel::deserialize(const uint8_t* data, size_t len, std::vector<int>* fds) {
    freeData();
    mMessage = WireBytes(reinterpret_cast<const char*>(data), len);
    return decodeMessage(fds);
}

status_t Parcel::deserialize(WireBytes&& message, std::vector<int>* fds) {
    freeData();
    mMessage = std::move(message);
    return decodeMessage(fds);
}

// Decodes mMessage. The buffers stay where they are in it: their offsets in
// a message are multiples of 8, as is the start of its allocation.
status_t Parcel::decodeMessage(std::vector<int>* fds) {
    const uint8_t* data = reinterpret_cast<const uint8_t*>(mMessage.data());
    const size_t len = mMessage.size();
    size_t nextFd = 0;
    auto fail = [&](const char* why) {
        ALOGE("refusing malformed transaction: %s", why);
        freeData();
        for (size_t i = nextFd; i < fds->size(); i++) close((*fds)[i]);
        fds->clear();
        return BAD_VALUE;
    };

    Reader r(data, len);
    uint32_t dataLen, bufCount, objCount, fdCount;
    if (!r.u32(&dataLen) || !r.u32(&bufCount) || !r.u32(&objCount) || !r.u32(&fdCount)) {
        return fail("truncated header");
    }
    if (bufCount > kMaxBuffers || objCount > kMaxObjects) return fail("too many entries");
    if (fdCount != fds->size()) return fail("file descriptor count mismatch");

    // What the message would cost in the receiver's transaction buffer; a
    // sender keeps within the limit, so a message past it is hostile.
    size_t cost = padded(dataLen);
    auto overLimit = [&](size_t more) {
        cost += more;
        return cost > Transport::kMaxTransaction;
    };
    if (cost > Transport::kMaxTransaction) return fail("larger than a transaction may be");
    const uint8_t* section = r.bytes(dataLen);
    if (section == nullptr) return fail("data section truncated");
    // Read where it arrived; the message stays with the parcel.
    mReceivedData = section;
    mReceivedSize = dataLen;

    std::set<std::pair<uint32_t, uint64_t>> fixups;
    mBuffers.reserve(bufCount);
    for (uint32_t i = 0; i < bufCount; i++) {
        uint64_t length, offset;
        uint32_t parent, flags;
        if (!r.u64(&length) || !r.u32(&parent) || !r.u32(&flags) || !r.u64(&offset)) {
            return fail("buffer header truncated");
        }
        if (length > len) return fail("buffer longer than the message");
        if (overLimit(bufferCost(static_cast<size_t>(length)))) {
            return fail("larger than a transaction may be");
        }
        const uint8_t* bytes = r.bytes(static_cast<size_t>(length));
        if (bytes == nullptr) return fail("buffer truncated");
        Buffer b;
        b.length = static_cast<size_t>(length);
        b.parent = parent;
        b.parentOffset = offset;
        b.isNull = (flags & 1) != 0;
        if (b.isNull && length != 0) return fail("null buffer with data");
        if (parent != kNoParent) {
            if (parent >= i) return fail("buffer parent is not an earlier buffer");
            const Buffer& p = mBuffers[parent];
            if (offset % kAlign != 0 || offset > p.length || p.length - offset < sizeof(uint64_t)) {
                return fail("buffer fix-up outside its parent");
            }
            if (!fixups.insert({parent, offset}).second) return fail("duplicate buffer fix-up");
        }
        if (b.isNull) {
            b.data = nullptr;
        } else if (reinterpret_cast<uintptr_t>(bytes) % kAlign == 0) {
            b.data = const_cast<uint8_t*>(bytes);
        } else {
            b.storage = allocBuffer(b.length);
            if (b.length > 0) memcpy(b.storage.get(), bytes, b.length);
            b.data = reinterpret_cast<uint8_t*>(b.storage.get());
        }
        // Point the parent's pointer field at this buffer, as the binder
        // driver does when it copies a transaction.
        if (parent != kNoParent) {
            uint64_t ptr = b.isNull ? 0 : reinterpret_cast<uint64_t>(b.bytes());
            memcpy(mBuffers[parent].bytes() + offset, &ptr, sizeof(ptr));
        }
        mBuffers.push_back(std::move(b));
    }

    mObjects.reserve(objCount);
    for (uint32_t i = 0; i < objCount; i++) {
        uint32_t kind, parent;
        uint64_t offset;
        if (!r.u32(&kind) || !r.u32(&parent) || !r.u64(&offset)) return fail("object truncated");
        if (kind != OBJ_HANDLE && overLimit(binderCost())) {
            return fail("larger than a transaction may be");
        }
        Object obj;
        obj.parent = parent;
        obj.parentOffset = offset;
        if (kind == OBJ_NULL_BINDER) {
            obj.kind = OBJ_NULL_BINDER;
        } else if (kind == OBJ_BINDER) {
            uint32_t addrLen, pad;
            uint64_t id;
            if (!r.u32(&addrLen) || !r.u32(&pad) || !r.u64(&id)) return fail("object truncated");
            if (addrLen == 0 || addrLen > kMaxAddressLen) return fail("bad object address");
            const uint8_t* addr = r.bytes(addrLen);
            if (addr == nullptr) return fail("object address truncated");
            std::string address(reinterpret_cast<const char*>(addr), addrLen);
            if (!Transport::validAddress(address)) return fail("bad object address");
            obj.kind = OBJ_BINDER;
            obj.binder = Transport::self().unflattenBinder(address, id);
            if (obj.binder == nullptr) {
                // The object is gone already; callers see a null reference.
                obj.kind = OBJ_NULL_BINDER;
            }
        } else if (kind == OBJ_HANDLE) {
            obj.kind = OBJ_HANDLE;
            uint32_t numFds, numInts;
            if (!r.u32(&numFds) || !r.u32(&numInts)) return fail("handle truncated");
            const bool isNull = numFds == UINT32_MAX;
            if (!isNull && (numFds > fds->size() - nextFd || numInts > kMaxHandleInts)) {
                return fail("bad native handle");
            }
            if (overLimit(isNull ? kFdArrayObject + kOffsetEntry : handleCost(numFds, numInts))) {
                return fail("larger than a transaction may be");
            }
            if (parent != kNoParent) {
                if (parent >= mBuffers.size()) return fail("handle parent out of range");
                const Buffer& p = mBuffers[parent];
                if (offset % kAlign != 0 || offset > p.length ||
                    p.length - offset < sizeof(uint64_t)) {
                    return fail("handle fix-up outside its parent");
                }
                if (!fixups.insert({parent, offset}).second) return fail("duplicate fix-up");
            }
            if (isNull) {
                obj.handle = nullptr;
            } else {
                const uint8_t* ints = r.bytes(sizeof(int) * numInts);
                if (ints == nullptr) return fail("handle truncated");
                native_handle_t* h = native_handle_create(numFds, numInts);
                if (h == nullptr) return fail("cannot create native handle");
                for (uint32_t f = 0; f < numFds; f++) h->data[f] = (*fds)[nextFd++];
                memcpy(&h->data[numFds], ints, sizeof(int) * numInts);
                obj.handle = h;
                obj.ownsHandle = true;
            }
            if (parent != kNoParent) {
                uint64_t ptr = reinterpret_cast<uint64_t>(obj.handle);
                memcpy(mBuffers[parent].bytes() + offset, &ptr, sizeof(ptr));
            }
        } else {
            return fail("unknown object kind");
        }
        mObjects.push_back(std::move(obj));
    }
    if (nextFd != fds->size()) return fail("unclaimed file descriptors");
    if (!r.atEnd()) return fail("trailing bytes");
    fds->clear();
    mDataPos = 0;
    mNextBuffer = 0;
    return OK;
}

}  // namespace hardware
}  // namespace android
