/*
 * Host HIDL runtime: value types.
 */
#define LOG_TAG "hidl_host_support"

#include <hidl/HidlSupport.h>
#include <log/log.h>

#include <ostream>

namespace android {
namespace hardware {

namespace details {

void logAlwaysFatal(const char* message) {
    LOG_ALWAYS_FATAL("%s", message);
}

HidlInstrumentor::HidlInstrumentor(const std::string& package, const std::string& insterface)
    : mInstrumentationLibPackage(package), mInterfaceName(insterface) {}

HidlInstrumentor::~HidlInstrumentor() {}

void HidlInstrumentor::configureInstrumentation(bool /*log*/) {
    // No instrumentation libraries on the host.
    mEnableInstrumentation = false;
    mInstrumentationCallbacks.clear();
}

}  // namespace details

// --- hidl_handle ---

const size_t hidl_handle::kOffsetOfNativeHandle = 0;

hidl_handle::hidl_handle() : mHandle(nullptr), mOwnsHandle(false), mPad() {}

hidl_handle::~hidl_handle() {
    freeHandle();
}

hidl_handle::hidl_handle(const native_handle_t* handle) : hidl_handle() {
    mHandle = handle;
    mOwnsHandle = false;
}

hidl_handle::hidl_handle(const hidl_handle& other) : hidl_handle() {
    *this = other;
}

hidl_handle::hidl_handle(hidl_handle&& other) noexcept : hidl_handle() {
    *this = std::move(other);
}

hidl_handle& hidl_handle::operator=(const hidl_handle& other) {
    if (this == &other) return *this;
    freeHandle();
    if (other.mHandle != nullptr) {
        mHandle = native_handle_clone(other.mHandle);
        if (mHandle == nullptr) {
            details::logAlwaysFatal("Failed to clone native_handle in hidl_handle");
        }
        mOwnsHandle = true;
    } else {
        mHandle = nullptr;
        mOwnsHandle = false;
    }
    return *this;
}

hidl_handle& hidl_handle::operator=(const native_handle_t* native_handle) {
    freeHandle();
    mHandle = native_handle;
    mOwnsHandle = false;
    return *this;
}

hidl_handle& hidl_handle::operator=(hidl_handle&& other) noexcept {
    if (this != &other) {
        freeHandle();
        mHandle = other.mHandle;
        mOwnsHandle = other.mOwnsHandle;
        other.mHandle = nullptr;
        other.mOwnsHandle = false;
    }
    return *this;
}

void hidl_handle::setTo(native_handle_t* handle, bool shouldOwn) {
    freeHandle();
    mHandle = handle;
    mOwnsHandle = shouldOwn;
}

const native_handle_t* hidl_handle::operator->() const {
    return mHandle;
}

hidl_handle::operator const native_handle_t*() const {
    return mHandle;
}

const native_handle_t* hidl_handle::getNativeHandle() const {
    return mHandle;
}

void hidl_handle::freeHandle() {
    if (mOwnsHandle && mHandle != nullptr) {
        native_handle_t* handle = const_cast<native_handle_t*>(
                static_cast<const native_handle_t*>(mHandle));
        native_handle_close(handle);
        native_handle_delete(handle);
        mHandle = nullptr;
    }
}

// --- hidl_string ---

static const char* const kEmptyString = "";

const size_t hidl_string::kOffsetOfBuffer = 0;

hidl_string::hidl_string() : mBuffer(kEmptyString), mSize(0), mOwnsBuffer(false), mPad() {}

hidl_string::~hidl_string() {
    clear();
}

hidl_string::hidl_string(const char* s) : hidl_string() {
    if (s == nullptr) return;
    copyFrom(s, strlen(s));
}

hidl_string::hidl_string(const char* s, size_t length) : hidl_string() {
    copyFrom(s, length);
}

hidl_string::hidl_string(const hidl_string& other) : hidl_string() {
    copyFrom(other.c_str(), other.size());
}

hidl_string::hidl_string(const std::string& s) : hidl_string() {
    copyFrom(s.c_str(), s.size());
}

hidl_string::hidl_string(hidl_string&& other) noexcept : hidl_string() {
    moveFrom(std::move(other));
}

hidl_string& hidl_string::operator=(hidl_string&& other) noexcept {
    if (this != &other) {
        clear();
        moveFrom(std::move(other));
    }
    return *this;
}

hidl_string& hidl_string::operator=(const hidl_string& other) {
    if (this != &other) {
        clear();
        copyFrom(other.c_str(), other.size());
    }
    return *this;
}

hidl_string& hidl_string::operator=(const char* s) {
    clear();
    if (s == nullptr) return *this;
    copyFrom(s, strlen(s));
    return *this;
}

hidl_string& hidl_string::operator=(const std::string& s) {
    clear();
    copyFrom(s.c_str(), s.size());
    return *this;
}

hidl_string::operator std::string() const {
    return std::string(mBuffer, mSize);
}

std::ostream& operator<<(std::ostream& os, const hidl_string& str) {
    os << str.c_str();
    return os;
}

void hidl_string::copyFrom(const char* data, size_t size) {
    if (size >= UINT32_MAX) {
        details::logAlwaysFatal("string size can't exceed 2^32 bytes");
    }
    char* buf = new char[size + 1];
    if (size > 0) memcpy(buf, data, size);
    buf[size] = '\0';
    mBuffer = buf;
    mSize = static_cast<uint32_t>(size);
    mOwnsBuffer = true;
}

void hidl_string::moveFrom(hidl_string&& other) {
    mBuffer = std::move(other.mBuffer);
    mSize = other.mSize;
    mOwnsBuffer = other.mOwnsBuffer;
    other.mOwnsBuffer = false;
    other.clear();
}

void hidl_string::clear() {
    if (mOwnsBuffer && (mBuffer != kEmptyString)) {
        delete[] const_cast<char*>(static_cast<const char*>(mBuffer));
    }
    mBuffer = kEmptyString;
    mSize = 0;
    mOwnsBuffer = false;
}

void hidl_string::setToExternal(const char* data, size_t size) {
    if (size >= UINT32_MAX) {
        details::logAlwaysFatal("string size can't exceed 2^32 bytes");
    }
    clear();
    mBuffer = data;
    mSize = static_cast<uint32_t>(size);
    mOwnsBuffer = false;
}

const char* hidl_string::c_str() const {
    return mBuffer;
}

size_t hidl_string::size() const {
    return mSize;
}

bool hidl_string::empty() const {
    return mSize == 0;
}

// --- hidl_memory ---

const size_t hidl_memory::kOffsetOfHandle = 0;
const size_t hidl_memory::kOffsetOfName = 24;

std::string toString(const hidl_handle& hs) {
    return toString(hs.getNativeHandle());
}

std::string toString(const hidl_memory& mem) {
    return "memory {.name = " + toString(mem.name()) + ", .size = " + toString(mem.size()) +
           ", .handle = " + toString(mem.handle()) + "}";
}

static_assert(sizeof(hidl_string) == 16, "hidl_string layout");
static_assert(sizeof(hidl_vec<char>) == 16, "hidl_vec layout");
static_assert(sizeof(hidl_handle) == 16, "hidl_handle layout");
static_assert(sizeof(hidl_memory) == 40, "hidl_memory layout");

}  // namespace hardware
}  // namespace android
