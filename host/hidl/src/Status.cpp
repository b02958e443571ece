/*
 * Host HIDL runtime: Status and Return.
 */
#define LOG_TAG "hidl_host_status"

#include <hidl/Status.h>
#include <log/log.h>
#include <string.h>

#include <unordered_map>

namespace android {
namespace hardware {

static std::string exceptionToString(int32_t ex) {
    switch (ex) {
        case Status::EX_NONE: return "EX_NONE";
        case Status::EX_SECURITY: return "EX_SECURITY";
        case Status::EX_BAD_PARCELABLE: return "EX_BAD_PARCELABLE";
        case Status::EX_ILLEGAL_ARGUMENT: return "EX_ILLEGAL_ARGUMENT";
        case Status::EX_NULL_POINTER: return "EX_NULL_POINTER";
        case Status::EX_ILLEGAL_STATE: return "EX_ILLEGAL_STATE";
        case Status::EX_NETWORK_MAIN_THREAD: return "EX_NETWORK_MAIN_THREAD";
        case Status::EX_UNSUPPORTED_OPERATION: return "EX_UNSUPPORTED_OPERATION";
        case Status::EX_HAS_REPLY_HEADER: return "EX_HAS_REPLY_HEADER";
        case Status::EX_TRANSACTION_FAILED: return "EX_TRANSACTION_FAILED";
    }
    return std::to_string(ex);
}

static std::string statusToString(status_t s) {
    switch (s) {
        case OK: return "OK";
        case UNKNOWN_ERROR: return "UNKNOWN_ERROR";
        case NO_MEMORY: return "NO_MEMORY";
        case INVALID_OPERATION: return "INVALID_OPERATION";
        case BAD_VALUE: return "BAD_VALUE";
        case BAD_TYPE: return "BAD_TYPE";
        case NAME_NOT_FOUND: return "NAME_NOT_FOUND";
        case PERMISSION_DENIED: return "PERMISSION_DENIED";
        case NO_INIT: return "NO_INIT";
        case ALREADY_EXISTS: return "ALREADY_EXISTS";
        case DEAD_OBJECT: return "DEAD_OBJECT";
        case FAILED_TRANSACTION: return "FAILED_TRANSACTION";
        case BAD_INDEX: return "BAD_INDEX";
        case NOT_ENOUGH_DATA: return "NOT_ENOUGH_DATA";
        case WOULD_BLOCK: return "WOULD_BLOCK";
        case TIMED_OUT: return "TIMED_OUT";
        case UNKNOWN_TRANSACTION: return "UNKNOWN_TRANSACTION";
        case FDS_NOT_ALLOWED: return "FDS_NOT_ALLOWED";
        case UNEXPECTED_NULL: return "UNEXPECTED_NULL";
    }
    return std::to_string(s) + " (" + strerror(-s) + ")";
}

Status Status::ok() {
    return Status();
}

Status Status::fromExceptionCode(int32_t exceptionCode) {
    if (exceptionCode == EX_TRANSACTION_FAILED) return Status(exceptionCode, FAILED_TRANSACTION);
    return Status(exceptionCode, OK);
}

Status Status::fromExceptionCode(int32_t exceptionCode, const char* message) {
    if (exceptionCode == EX_TRANSACTION_FAILED) {
        return Status(exceptionCode, FAILED_TRANSACTION, message);
    }
    return Status(exceptionCode, OK, message);
}

Status Status::fromStatusT(status_t status) {
    Status ret;
    ret.setFromStatusT(status);
    return ret;
}

Status::Status(int32_t exceptionCode, int32_t errorCode)
    : mException(exceptionCode), mErrorCode(errorCode) {}

Status::Status(int32_t exceptionCode, int32_t errorCode, const char* message)
    : mException(exceptionCode), mErrorCode(errorCode), mMessage(message ? message : "") {}

void Status::setException(int32_t ex, const char* message) {
    mException = ex;
    mErrorCode = ex == EX_TRANSACTION_FAILED ? FAILED_TRANSACTION : NO_ERROR;
    mMessage = message ? message : "";
}

void Status::setFromStatusT(status_t status) {
    mException = (status == NO_ERROR) ? EX_NONE : EX_TRANSACTION_FAILED;
    mErrorCode = status;
    mMessage.clear();
}

std::string Status::description() const {
    std::ostringstream oss;
    oss << (*this);
    return oss.str();
}

std::ostream& operator<<(std::ostream& stream, const Status& s) {
    if (s.exceptionCode() == Status::EX_NONE) {
        stream << "No error";
    } else {
        stream << "Status(" << exceptionToString(s.exceptionCode()) << "): '";
        if (s.exceptionCode() == Status::EX_TRANSACTION_FAILED) {
            stream << statusToString(s.transactionError()) << ": ";
        }
        stream << s.exceptionMessage() << "'";
    }
    return stream;
}

namespace details {

void return_status::onValueRetrieval() const {
    if (!isOk()) {
        LOG_ALWAYS_FATAL("Attempted to retrieve value from failed HIDL call: %s",
                         description().c_str());
    }
}

void return_status::assertOk() const {
    if (!isOk()) {
        LOG_ALWAYS_FATAL("Failed HIDL return status not checked. Usually this happens because "
                         "of a transport error (error parceling, binder driver, or from "
                         "unparceling). If you see this in code calling into \"Bn\" classes in "
                         "for a HAL server process, then it is likely that the code there is "
                         "returning transport errors there (as opposed to errors defined within "
                         "its protocol). Error is: %s",
                         description().c_str());
    }
}

return_status::~return_status() {
    // Destroying a failed status that was never looked at is a bug.
    if (!mCheckedStatus && !isOkUnchecked()) {
        LOG_ALWAYS_FATAL("Failed HIDL return status not checked: %s", description().c_str());
    }
}

return_status& return_status::operator=(return_status&& other) noexcept {
    if (!mCheckedStatus && !isOkUnchecked()) {
        LOG_ALWAYS_FATAL("Failed HIDL return status not checked: %s", description().c_str());
    }
    std::swap(mStatus, other.mStatus);
    std::swap(mCheckedStatus, other.mCheckedStatus);
    return *this;
}

}  // namespace details

}  // namespace hardware
}  // namespace android
