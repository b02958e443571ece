/*
 * Host HIDL runtime: the value types of the HIDL C++ API (hidl_string,
 * hidl_vec, hidl_array, hidl_handle, hidl_memory) with the memory layout the
 * generated code and the wire format rely on.
 */
#pragma once

#include <cutils/native_handle.h>
#include <hidl/HidlInternal.h>
#include <hidl/Status.h>
#include <stddef.h>
#include <stdint.h>
#include <string.h>
#include <utils/Errors.h>
#include <utils/RefBase.h>
#include <utils/StrongPointer.h>

#include <algorithm>
#include <array>
#include <initializer_list>
#include <iterator>
#include <sstream>
#include <string>
#include <tuple>
#include <type_traits>
#include <vector>

namespace android {

namespace hidl {
namespace base {
namespace V1_0 {
struct IBase;
}  // namespace V1_0
}  // namespace base
}  // namespace hidl

namespace hardware {

// Called when a remote object a client linked to has died.
struct hidl_death_recipient : public virtual RefBase {
    virtual void serviceDied(uint64_t cookie,
                             const ::android::wp<::android::hidl::base::V1_0::IBase>& who) = 0;
};

// hidl_handle: a native handle, optionally owned. 16 bytes.
struct hidl_handle {
    hidl_handle();
    ~hidl_handle();

    hidl_handle(const native_handle_t* handle);  // NOLINT: implicit like the platform's
    hidl_handle(const hidl_handle& other);
    hidl_handle(hidl_handle&& other) noexcept;

    hidl_handle& operator=(const hidl_handle& other);
    hidl_handle& operator=(const native_handle_t* native_handle);
    hidl_handle& operator=(hidl_handle&& other) noexcept;

    // Takes ownership of a copy when shouldOwn.
    void setTo(native_handle_t* handle, bool shouldOwn = false);

    const native_handle_t* operator->() const;
    operator const native_handle_t*() const;  // NOLINT
    const native_handle_t* getNativeHandle() const;

    static const size_t kOffsetOfNativeHandle;

private:
    void freeHandle();

    details::hidl_pointer<const native_handle_t> mHandle;
    bool mOwnsHandle;
    uint8_t mPad[7];
};

// hidl_string: a length-prefixed, NUL-terminated string. 16 bytes.
struct hidl_string {
    hidl_string();
    ~hidl_string();

    hidl_string(const hidl_string&);
    hidl_string(const char*);  // NOLINT
    hidl_string(const char*, size_t length);
    hidl_string(const std::string&);  // NOLINT
    hidl_string(hidl_string&&) noexcept;

    const char* c_str() const;
    size_t size() const;
    bool empty() const;

    hidl_string& operator=(const hidl_string&);
    hidl_string& operator=(const char* s);
    hidl_string& operator=(const std::string&);
    hidl_string& operator=(hidl_string&&) noexcept;

    operator std::string() const;  // NOLINT

    void clear();

    // Refers to the given data without copying it (the caller keeps it alive).
    void setToExternal(const char* data, size_t size);

    static const size_t kOffsetOfBuffer;

private:
    details::hidl_pointer<const char> mBuffer;
    uint32_t mSize;
    bool mOwnsBuffer;
    uint8_t mPad[3];

    void copyFrom(const char* data, size_t size);
    void moveFrom(hidl_string&&);
};

#define HIDL_STRING_OPERATOR(OP)                                                                 \
    inline bool operator OP(const hidl_string& hs1, const hidl_string& hs2) {                   \
        return strcmp(hs1.c_str(), hs2.c_str()) OP 0;                                            \
    }                                                                                            \
    inline bool operator OP(const hidl_string& hs, const char* s) {                              \
        return strcmp(hs.c_str(), s) OP 0;                                                       \
    }                                                                                            \
    inline bool operator OP(const char* s, const hidl_string& hs) {                              \
        return strcmp(s, hs.c_str()) OP 0;                                                       \
    }

HIDL_STRING_OPERATOR(==)
HIDL_STRING_OPERATOR(!=)
HIDL_STRING_OPERATOR(<)
HIDL_STRING_OPERATOR(<=)
HIDL_STRING_OPERATOR(>)
HIDL_STRING_OPERATOR(>=)

#undef HIDL_STRING_OPERATOR

inline bool operator==(const hidl_string& hs, const std::string& s) {
    return hs.size() == s.size() && memcmp(hs.c_str(), s.data(), s.size()) == 0;
}
inline bool operator==(const std::string& s, const hidl_string& hs) { return hs == s; }
inline bool operator!=(const hidl_string& hs, const std::string& s) { return !(hs == s); }
inline bool operator!=(const std::string& s, const hidl_string& hs) { return !(hs == s); }

std::ostream& operator<<(std::ostream& os, const hidl_string& str);

// hidl_memory: a handle to shared memory with a size and a name. 40 bytes.
struct hidl_memory {
    hidl_memory() : mHandle(nullptr), mSize(0), mName("") {}
    hidl_memory(const hidl_string& name, native_handle_t* handle, size_t size)
        : mHandle(handle), mSize(size), mName(name) {}
    hidl_memory(const hidl_string& name, hidl_handle&& handle, size_t size)
        : mHandle(std::move(handle)), mSize(size), mName(name) {}

    hidl_memory(const hidl_memory& other) = default;
    hidl_memory& operator=(const hidl_memory& other) = default;
    hidl_memory(hidl_memory&& other) noexcept = default;
    hidl_memory& operator=(hidl_memory&& other) noexcept = default;

    const native_handle_t* handle() const { return mHandle; }
    const hidl_string& name() const { return mName; }
    uint64_t size() const { return mSize; }

    static const size_t kOffsetOfHandle;
    static const size_t kOffsetOfName;

private:
    hidl_handle mHandle;
    uint64_t mSize;
    hidl_string mName;
};

// hidl_vec: a counted array. 16 bytes.
template <typename T>
struct hidl_vec {
    using value_type = T;

    hidl_vec() : mBuffer(nullptr), mSize(0), mOwnsBuffer(true) {}

    explicit hidl_vec(size_t size) : hidl_vec() { resize(size); }

    hidl_vec(const hidl_vec<T>& other) : hidl_vec() { *this = other; }
    hidl_vec(hidl_vec<T>&& other) noexcept : hidl_vec() { *this = std::move(other); }

    hidl_vec(const std::initializer_list<T> list) : hidl_vec() {
        resize(list.size());
        size_t idx = 0;
        for (auto it = list.begin(); it != list.end(); ++it) {
            mBuffer[idx++] = *it;
        }
    }

    hidl_vec(const std::vector<T>& other) : hidl_vec() { *this = other; }  // NOLINT

    template <typename InputIterator,
              typename = typename std::enable_if<std::is_convertible<
                      typename std::iterator_traits<InputIterator>::iterator_category,
                      std::input_iterator_tag>::value>::type>
    hidl_vec(InputIterator first, InputIterator last) : hidl_vec() {
        auto size = std::distance(first, last);
        resize(static_cast<size_t>(size));
        size_t idx = 0;
        for (; first != last; ++first) mBuffer[idx++] = static_cast<T>(*first);
    }

    ~hidl_vec() {
        if (mOwnsBuffer) delete[] mBuffer;
        mBuffer = nullptr;
    }

    // Refers to data without copying it; the caller keeps it alive.
    void setToExternal(T* data, size_t size, bool shouldOwn = false) {
        if (mOwnsBuffer) delete[] mBuffer;
        mBuffer = data;
        mSize = static_cast<uint32_t>(size);
        mOwnsBuffer = shouldOwn;
    }

    T* data() { return mBuffer; }
    const T* data() const { return mBuffer; }

    T* releaseData() {
        if (!mOwnsBuffer && mBuffer != nullptr) resize(mSize);
        mOwnsBuffer = false;
        return mBuffer;
    }

    hidl_vec& operator=(hidl_vec&& other) noexcept {
        if (this == &other) return *this;
        if (mOwnsBuffer) delete[] mBuffer;
        mBuffer = other.mBuffer;
        mSize = other.mSize;
        mOwnsBuffer = other.mOwnsBuffer;
        other.mBuffer = nullptr;
        other.mSize = 0;
        other.mOwnsBuffer = true;
        return *this;
    }

    hidl_vec& operator=(const hidl_vec& other) {
        if (this != &other) copyFrom(other, other.mSize);
        return *this;
    }

    hidl_vec& operator=(const std::vector<T>& other) {
        copyFrom(other, other.size());
        return *this;
    }

    hidl_vec& operator=(const std::initializer_list<T> list) {
        copyFrom(list.begin(), list.size());
        return *this;
    }

    // Members, so that the other side may be anything that converts to a
    // hidl_vec (a std::vector, a braced list).
    bool operator==(const hidl_vec& other) const {
        if (mSize != other.mSize) return false;
        for (size_t i = 0; i < mSize; ++i) {
            if (!(mBuffer[i] == other.mBuffer[i])) return false;
        }
        return true;
    }
    bool operator!=(const hidl_vec& other) const { return !(*this == other); }

    operator std::vector<T>() const {  // NOLINT
        std::vector<T> v(mSize);
        for (size_t i = 0; i < mSize; ++i) v[i] = mBuffer[i];
        return v;
    }

    size_t size() const { return mSize; }

    T& operator[](size_t index) { return mBuffer[index]; }
    const T& operator[](size_t index) const { return mBuffer[index]; }

    void resize(size_t size) {
        if (size > UINT32_MAX) abort();
        T* newBuffer = new T[size]();
        for (size_t i = 0; i < std::min(static_cast<uint32_t>(size), mSize); ++i) {
            newBuffer[i] = std::move(mBuffer[i]);
        }
        if (mOwnsBuffer) delete[] mBuffer;
        mBuffer = newBuffer;
        mSize = static_cast<uint32_t>(size);
        mOwnsBuffer = true;
    }

    bool contains(const T& v) const { return std::find(begin(), end(), v) != end(); }

    static constexpr size_t kOffsetOfBuffer = 0;

    T* begin() { return mBuffer; }
    T* end() { return mBuffer + mSize; }
    const T* begin() const { return mBuffer; }
    const T* end() const { return mBuffer + mSize; }

private:
    details::hidl_pointer<T> mBuffer;
    uint32_t mSize;
    bool mOwnsBuffer;
    uint8_t mPad[3];

    template <typename Array>
    void copyFrom(const Array& data, size_t size) {
        if (size > UINT32_MAX) abort();
        if (mOwnsBuffer) delete[] mBuffer;
        mBuffer = nullptr;
        mSize = static_cast<uint32_t>(size);
        mOwnsBuffer = true;
        if (mSize > 0) {
            mBuffer = new T[size]();
            for (size_t i = 0; i < size; ++i) mBuffer[i] = data[i];
        }
    }
};

namespace details {

template <size_t SIZE1, size_t... SIZES>
struct product {
    static constexpr size_t value = SIZE1 * product<SIZES...>::value;
};
template <size_t SIZE1>
struct product<SIZE1> {
    static constexpr size_t value = SIZE1;
};

template <typename T, size_t SIZE1, size_t... SIZES>
struct std_array {
    using type = std::array<typename std_array<T, SIZES...>::type, SIZE1>;
};
template <typename T, size_t SIZE1>
struct std_array<T, SIZE1> {
    using type = std::array<T, SIZE1>;
};

template <typename T, size_t SIZE1, size_t... SIZES>
struct accessor {
    using std_array_type = typename std_array<T, SIZE1, SIZES...>::type;
    explicit accessor(T* base) : mBase(base) {}
    accessor<T, SIZES...> operator[](size_t index) {
        return accessor<T, SIZES...>(&mBase[index * product<SIZES...>::value]);
    }
    accessor& operator=(const std_array_type& other) {
        for (size_t i = 0; i < SIZE1; ++i) (*this)[i] = other[i];
        return *this;
    }

private:
    T* mBase;
};
template <typename T, size_t SIZE1>
struct accessor<T, SIZE1> {
    using std_array_type = typename std_array<T, SIZE1>::type;
    explicit accessor(T* base) : mBase(base) {}
    T& operator[](size_t index) { return mBase[index]; }
    accessor& operator=(const std_array_type& other) {
        for (size_t i = 0; i < SIZE1; ++i) mBase[i] = other[i];
        return *this;
    }

private:
    T* mBase;
};

template <typename T, size_t SIZE1, size_t... SIZES>
struct const_accessor {
    using std_array_type = typename std_array<T, SIZE1, SIZES...>::type;
    explicit const_accessor(const T* base) : mBase(base) {}
    const_accessor<T, SIZES...> operator[](size_t index) const {
        return const_accessor<T, SIZES...>(&mBase[index * product<SIZES...>::value]);
    }
    operator std_array_type() {  // NOLINT
        std_array_type array;
        for (size_t i = 0; i < SIZE1; ++i) array[i] = (*this)[i];
        return array;
    }

private:
    const T* mBase;
};
template <typename T, size_t SIZE1>
struct const_accessor<T, SIZE1> {
    using std_array_type = typename std_array<T, SIZE1>::type;
    explicit const_accessor(const T* base) : mBase(base) {}
    const T& operator[](size_t index) const { return mBase[index]; }
    operator std_array_type() {  // NOLINT
        std_array_type array;
        for (size_t i = 0; i < SIZE1; ++i) array[i] = mBase[i];
        return array;
    }

private:
    const T* mBase;
};

}  // namespace details

// hidl_array: a fixed-size, possibly multi-dimensional array stored inline.
template <typename T, size_t SIZE1, size_t... SIZES>
struct hidl_array {
    using std_array_type = typename details::std_array<T, SIZE1, SIZES...>::type;

    hidl_array() = default;
    hidl_array(const hidl_array&) noexcept = default;
    hidl_array(hidl_array&&) noexcept = default;
    hidl_array& operator=(const hidl_array&) noexcept = default;
    hidl_array& operator=(hidl_array&&) noexcept = default;

    hidl_array(const std_array_type& array) {  // NOLINT
        details::accessor<T, SIZE1, SIZES...> modifier(mBuffer);
        modifier = array;
    }

    T* data() { return mBuffer; }
    const T* data() const { return mBuffer; }

    details::accessor<T, SIZES...> operator[](size_t index) {
        return details::accessor<T, SIZES...>(&mBuffer[index * details::product<SIZES...>::value]);
    }
    details::const_accessor<T, SIZES...> operator[](size_t index) const {
        return details::const_accessor<T, SIZES...>(
                &mBuffer[index * details::product<SIZES...>::value]);
    }

    bool operator==(const hidl_array& other) const {
        for (size_t i = 0; i < elementCount(); ++i) {
            if (!(mBuffer[i] == other.mBuffer[i])) return false;
        }
        return true;
    }
    bool operator!=(const hidl_array& other) const { return !(*this == other); }

    using size_tuple_type = std::tuple<decltype(SIZE1), decltype(SIZES)...>;
    static constexpr size_tuple_type size() { return std::make_tuple(SIZE1, SIZES...); }
    static constexpr size_t elementCount() { return details::product<SIZE1, SIZES...>::value; }

    operator std_array_type() const {  // NOLINT
        return details::const_accessor<T, SIZE1, SIZES...>(mBuffer);
    }

private:
    T mBuffer[elementCount()];
};

template <typename T, size_t SIZE1>
struct hidl_array<T, SIZE1> {
    using value_type = T;
    using std_array_type = typename details::std_array<T, SIZE1>::type;

    hidl_array() = default;
    hidl_array(const hidl_array&) noexcept = default;
    hidl_array(hidl_array&&) noexcept = default;
    hidl_array& operator=(const hidl_array&) noexcept = default;
    hidl_array& operator=(hidl_array&&) noexcept = default;

    hidl_array(const T (&source)[SIZE1]) {  // NOLINT: also binds temporaries
        std::copy(source, source + SIZE1, mBuffer);
    }
    template <typename U, typename = std::enable_if_t<std::is_same<U, T>::value>>
    hidl_array(const U* source) {  // NOLINT
        std::copy(source, source + SIZE1, mBuffer);
    }
    hidl_array(const std_array_type& array) {  // NOLINT
        std::copy(array.data(), array.data() + SIZE1, mBuffer);
    }

    T* data() { return mBuffer; }
    const T* data() const { return mBuffer; }

    T& operator[](size_t index) { return mBuffer[index]; }
    const T& operator[](size_t index) const { return mBuffer[index]; }

    bool operator==(const hidl_array& other) const {
        return std::equal(mBuffer, mBuffer + SIZE1, other.mBuffer);
    }
    bool operator!=(const hidl_array& other) const { return !(*this == other); }

    static constexpr size_t size() { return SIZE1; }
    static constexpr size_t elementCount() { return SIZE1; }

    operator std_array_type() const {  // NOLINT
        std_array_type array;
        std::copy(mBuffer, mBuffer + SIZE1, array.data());
        return array;
    }

private:
    T mBuffer[SIZE1];
};

// Interface versions.
struct hidl_version {
    constexpr hidl_version(uint16_t major, uint16_t minor) : mMajor(major), mMinor(minor) {}
    bool operator==(const hidl_version& other) const {
        return mMajor == other.mMajor && mMinor == other.mMinor;
    }
    bool operator!=(const hidl_version& other) const { return !(*this == other); }
    // By major version, then minor.
    bool operator<(const hidl_version& other) const {
        return mMajor < other.mMajor || (mMajor == other.mMajor && mMinor < other.mMinor);
    }
    bool operator>(const hidl_version& other) const { return other < *this; }
    bool operator<=(const hidl_version& other) const { return !(other < *this); }
    bool operator>=(const hidl_version& other) const { return !(*this < other); }
    constexpr uint16_t get_major() const { return mMajor; }
    constexpr uint16_t get_minor() const { return mMinor; }

private:
    uint16_t mMajor;
    uint16_t mMinor;
};

inline android::hardware::hidl_version make_hidl_version(uint16_t major, uint16_t minor) {
    return hidl_version(major, minor);
}

// Bit fields of enums are carried as the underlying type.
template <typename Enum>
using hidl_bitfield = typename std::underlying_type<Enum>::type;

namespace details {

template <typename T>
constexpr std::array<T, 0> hidl_enum_values = {};

template <typename T>
std::string toHexString(T t, bool prefix = true) {
    std::ostringstream os;
    if (prefix) os << std::showbase;
    os << std::hex << static_cast<uint64_t>(static_cast<typename std::make_unsigned<
                              typename std::conditional<std::is_enum<T>::value,
                                                        std::underlying_type<T>,
                                                        std::common_type<T>>::type::type>::type>(t));
    return os.str();
}
template <>
inline std::string toHexString(uint8_t t, bool prefix) {
    return toHexString(static_cast<int32_t>(t), prefix);
}
template <>
inline std::string toHexString(int8_t t, bool prefix) {
    return toHexString(static_cast<int32_t>(t), prefix);
}

template <typename Array>
std::string arrayToString(const Array& a, size_t size);

}  // namespace details

// Range over the values of a generated enum.
template <typename T>
struct hidl_enum_range {
    constexpr auto begin() const { return std::begin(details::hidl_enum_values<T>); }
    constexpr auto cbegin() const { return begin(); }
    constexpr auto rbegin() const { return std::rbegin(details::hidl_enum_values<T>); }
    constexpr auto crbegin() const { return rbegin(); }
    constexpr auto end() const { return std::end(details::hidl_enum_values<T>); }
    constexpr auto cend() const { return end(); }
    constexpr auto rend() const { return std::rend(details::hidl_enum_values<T>); }
    constexpr auto crend() const { return rend(); }
};

// toString for the types of this header and for scalars.
inline std::string toString(const std::string& s) { return s; }

#define HIDL_TO_STRING_SCALAR(T)                                     \
    inline std::string toString(T t) { return std::to_string(t); }
HIDL_TO_STRING_SCALAR(int8_t)
HIDL_TO_STRING_SCALAR(uint8_t)
HIDL_TO_STRING_SCALAR(int16_t)
HIDL_TO_STRING_SCALAR(uint16_t)
HIDL_TO_STRING_SCALAR(int32_t)
HIDL_TO_STRING_SCALAR(uint32_t)
HIDL_TO_STRING_SCALAR(int64_t)
HIDL_TO_STRING_SCALAR(uint64_t)
HIDL_TO_STRING_SCALAR(float)
HIDL_TO_STRING_SCALAR(double)
#undef HIDL_TO_STRING_SCALAR

inline std::string toString(bool b) { return b ? "true" : "false"; }

namespace details {
template <size_t SIZE1>
std::string arraySizeToString() {
    return std::string{"["} + std::to_string(SIZE1) + "]";
}
template <size_t SIZE1, size_t SIZE2, size_t... SIZES>
std::string arraySizeToString() {
    return std::string{"["} + std::to_string(SIZE1) + "]" + arraySizeToString<SIZE2, SIZES...>();
}
}  // namespace details
inline std::string toString(char c) { return std::string(1, c); }

inline std::string toString(const hidl_string& hs) {
    return std::string{"\""} + hs.c_str() + "\"";
}

std::string toString(const hidl_handle& hs);
std::string toString(const hidl_memory& mem);

inline std::string toString(const void* t) { return details::toHexString(reinterpret_cast<uintptr_t>(t)); }

inline std::string toString(const sp<hidl_death_recipient>& dr) {
    return std::string{"hidl_death_recipient@"} + toString(static_cast<const void*>(dr.get()));
}

template <typename T>
std::string toString(const hidl_vec<T>& a) {
    std::string os;
    os += "[" + toString(a.size()) + "]";
    os += details::arrayToString(a, a.size());
    return os;
}

template <typename T, size_t SIZE1>
std::string toString(const details::const_accessor<T, SIZE1>& a) {
    return details::arrayToString(a, SIZE1);
}

template <typename T, size_t SIZE1, size_t SIZE2, size_t... SIZES>
std::string toString(const details::const_accessor<T, SIZE1, SIZE2, SIZES...>& a) {
    return details::arrayToString(a, SIZE1);
}

template <typename T, size_t SIZE1>
std::string toString(const hidl_array<T, SIZE1>& a) {
    return details::arraySizeToString<SIZE1>() +
           details::arrayToString(details::const_accessor<T, SIZE1>(a.data()), SIZE1);
}

template <typename T, size_t SIZE1, size_t SIZE2, size_t... SIZES>
std::string toString(const hidl_array<T, SIZE1, SIZE2, SIZES...>& a) {
    return details::arraySizeToString<SIZE1, SIZE2, SIZES...>() +
           details::arrayToString(details::const_accessor<T, SIZE1, SIZE2, SIZES...>(a.data()),
                                  SIZE1);
}

namespace details {
using ::android::hardware::toString;

template <typename Array>
std::string arrayToString(const Array& a, size_t size) {
    using android::hardware::toString;
    std::string os;
    os += "{";
    for (size_t i = 0; i < size; ++i) {
        if (i > 0) os += ", ";
        os += toString(a[i]);
    }
    os += "}";
    return os;
}
}  // namespace details

}  // namespace hardware
}  // namespace android
