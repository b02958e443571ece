/*
 * Host HIDL runtime: internal helpers shared by the generated code.
 */
#pragma once

#include <stdint.h>

#include <functional>
#include <string>
#include <vector>

namespace android {
namespace hardware {
namespace details {

// Tags that tell the kind of a generated class.
struct bnhw_tag {};
struct bphw_tag {};
struct bs_tag {};
struct i_tag {};

// Aborts with a message (as the platform's runtime does on API misuse).
[[noreturn]] void logAlwaysFatal(const char* message);

// Runs the destructor of an element built with placement new.
template <typename T>
void destructElement(T* element) {
    if (element != nullptr) element->~T();
}

// A pointer that always takes 64 bits, so structures have one layout.
template <typename T>
struct hidl_pointer {
    hidl_pointer() : _pad(0) {}
    hidl_pointer(T* ptr) : hidl_pointer() { mPointer = ptr; }  // NOLINT
    hidl_pointer(const hidl_pointer<T>& other) : hidl_pointer() { mPointer = other.mPointer; }
    hidl_pointer(hidl_pointer<T>&& other) noexcept : hidl_pointer() { *this = std::move(other); }

    hidl_pointer& operator=(const hidl_pointer<T>& other) {
        mPointer = other.mPointer;
        return *this;
    }
    hidl_pointer& operator=(hidl_pointer<T>&& other) noexcept {
        mPointer = other.mPointer;
        other.mPointer = nullptr;
        return *this;
    }
    hidl_pointer& operator=(T* ptr) {
        mPointer = ptr;
        return *this;
    }

    operator T*() const { return mPointer; }  // NOLINT
    explicit operator void*() const { return mPointer; }
    T& operator*() const { return *mPointer; }
    T* operator->() const { return mPointer; }
    T& operator[](size_t index) { return mPointer[index]; }
    const T& operator[](size_t index) const { return mPointer[index]; }

private:
    union {
        T* mPointer;
        uint64_t _pad;
    };
};

#define HAL_LIBRARY_PATH_SYSTEM_64BIT "/system/lib64/hw/"
#define HAL_LIBRARY_PATH_VENDOR_64BIT "/vendor/lib64/hw/"
#define HAL_LIBRARY_PATH_ODM_64BIT "/odm/lib64/hw/"

// Instrumentation hooks of the generated code. The host runtime keeps the
// interface so generated code compiles; no instrumentation library is loaded.
class HidlInstrumentor {
public:
    using InstrumentationCallback =
            std::function<void(const int /*InstrumentationEvent*/ event, const char* package,
                               const char* version, const char* interface,
                               const char* method, std::vector<void*>* args)>;

    explicit HidlInstrumentor(const std::string& package, const std::string& insterface);
    virtual ~HidlInstrumentor();

    void configureInstrumentation(bool log = true);
    bool isInstrumentationEnabled() const { return mEnableInstrumentation; }
    const std::vector<InstrumentationCallback>& getInstrumentationCallbacks() const {
        return mInstrumentationCallbacks;
    }

protected:
    bool mEnableInstrumentation = false;
    std::vector<InstrumentationCallback> mInstrumentationCallbacks;
    std::string mInstrumentationLibPackage;
    std::string mInterfaceName;
};

}  // namespace details
}  // namespace hardware
}  // namespace android
