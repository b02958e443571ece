/*
 * Host HIDL runtime: transport status and the Return<> wrapper.
 *
 * As on the platform, a Return<> that carries a transport error and is never
 * checked aborts the process when it is destroyed, so an unchecked transport
 * failure is caught in host tests the same way it is on a device.
 */
#pragma once

#include <hidl/HidlInternal.h>
#include <utils/Errors.h>
#include <utils/StrongPointer.h>

#include <cstdint>
#include <sstream>
#include <string>

namespace android {
namespace hardware {

class Status final {
public:
    enum Exception {
        EX_NONE = 0,
        EX_SECURITY = -1,
        EX_BAD_PARCELABLE = -2,
        EX_ILLEGAL_ARGUMENT = -3,
        EX_NULL_POINTER = -4,
        EX_ILLEGAL_STATE = -5,
        EX_NETWORK_MAIN_THREAD = -6,
        EX_UNSUPPORTED_OPERATION = -7,
        EX_HAS_REPLY_HEADER = -128,
        EX_TRANSACTION_FAILED = -129,
    };

    static Status ok();
    static Status fromExceptionCode(int32_t exceptionCode);
    static Status fromExceptionCode(int32_t exceptionCode, const char* message);
    static Status fromStatusT(status_t status);

    Status() = default;
    ~Status() = default;
    Status(const Status& status) = default;
    Status(Status&& status) = default;
    Status& operator=(const Status& status) = default;

    void setException(int32_t ex, const char* message);
    void setFromStatusT(status_t status);

    int32_t exceptionCode() const { return mException; }
    const char* exceptionMessage() const { return mMessage.c_str(); }
    status_t transactionError() const { return mException == EX_TRANSACTION_FAILED ? mErrorCode : OK; }

    bool isOk() const { return mException == EX_NONE; }

    std::string description() const;

private:
    Status(int32_t exceptionCode, int32_t errorCode);
    Status(int32_t exceptionCode, int32_t errorCode, const char* message);

    int32_t mException = EX_NONE;
    int32_t mErrorCode = 0;
    std::string mMessage;
};

std::ostream& operator<<(std::ostream& stream, const Status& s);

template <typename T>
class Return;

namespace details {

class return_status {
private:
    Status mStatus{};
    mutable bool mCheckedStatus = false;

    template <typename T, typename U>
    friend Return<U> StatusOf(const Return<T>& other);

protected:
    void onValueRetrieval() const;

public:
    void assertOk() const;
    return_status() {}
    return_status(const Status& s) : mStatus(s) {}  // NOLINT

    return_status(const return_status&) = delete;
    return_status& operator=(const return_status&) = delete;

    return_status(return_status&& other) noexcept { *this = std::move(other); }
    return_status& operator=(return_status&& other) noexcept;

    ~return_status();

    bool isOkUnchecked() const { return mStatus.isOk(); }

    bool isOk() const {
        mCheckedStatus = true;
        return mStatus.isOk();
    }

    bool isDeadObject() const { return mStatus.transactionError() == DEAD_OBJECT; }

    std::string description() const { return mStatus.description(); }
};

}  // namespace details

template <typename T>
class Return : public details::return_status {
private:
    T mVal{};

public:
    Return(T v) : details::return_status(), mVal{v} {}  // NOLINT
    Return(Status s) : details::return_status(s) {}    // NOLINT

    Return(Return&& other) noexcept = default;
    Return& operator=(Return&&) noexcept = default;

    ~Return() = default;

    operator T() const {  // NOLINT
        onValueRetrieval();
        return mVal;
    }

    T withDefault(T t) { return isOk() ? mVal : t; }
};

template <typename T>
class Return<sp<T>> : public details::return_status {
private:
    sp<T> mVal{};

public:
    Return(sp<T> v) : details::return_status(), mVal{v} {}  // NOLINT
    Return(T* v) : details::return_status(), mVal{v} {}     // NOLINT
    template <typename U>
    Return(sp<U> v) : details::return_status(), mVal{v} {}  // NOLINT
    template <typename U>
    Return(U* v) : details::return_status(), mVal{v} {}  // NOLINT
    Return(Status s) : details::return_status(s) {}      // NOLINT

    Return(Return&& other) noexcept = default;
    Return& operator=(Return&&) noexcept = default;

    ~Return() = default;

    operator sp<T>() const {  // NOLINT
        onValueRetrieval();
        return mVal;
    }

    sp<T> withDefault(sp<T> t) { return isOk() ? mVal : t; }
};

template <>
class Return<void> : public details::return_status {
public:
    Return() : details::return_status() {}
    Return(const Status& s) : details::return_status(s) {}  // NOLINT

    Return(Return&&) noexcept = default;
    Return& operator=(Return&&) noexcept = default;

    ~Return() = default;
};

static inline Return<void> Void() {
    return Return<void>();
}

namespace details {
template <typename T, typename U>
Return<U> StatusOf(const Return<T>& other) {
    return Return<U>(other.mStatus);
}
}  // namespace details

}  // namespace hardware
}  // namespace android
