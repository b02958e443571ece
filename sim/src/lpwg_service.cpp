/*
 * The phone's LPWG touch HAL (lpwg@1.3 ILpwg) as the simulator plays it.
 */
#define LOG_TAG "twinel-sim"

#include <log/log.h>
#include <twsim/lpwg_service.h>
#include <unistd.h>
#include <vendor/zyr/hardware/lpwg/1.3/ILpwg.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>

namespace twsim {

using ::android::sp;
using ::android::hardware::hidl_string;
using ::android::hardware::hidl_vec;
using ::android::hardware::Return;
using ::android::hardware::Void;
namespace lpwg10 = ::vendor::zyr::hardware::lpwg::V1_0;
namespace lpwg13 = ::vendor::zyr::hardware::lpwg::V1_3;

struct LpwgService::State {
    mutable std::mutex lock;
    mutable std::condition_variable changed;
    std::vector<uint32_t> modes;
    std::vector<std::chrono::steady_clock::time_point> times;  // one per mode
    std::atomic<int32_t> nodeError{0};
    std::atomic<bool> dieInSetAesMode{false};
};

namespace {

class LpwgStandIn : public lpwg13::ILpwg {
  public:
    explicit LpwgStandIn(std::shared_ptr<LpwgService::State> state) : mState(std::move(state)) {}

    Return<int32_t> setAesMode(uint32_t mode) override {
        if (mState->dieInSetAesMode.load()) {
            ALOGI("lpwg: setAesMode(%u): ending the process before answering", mode);
            _exit(0);
        }
        {
            std::lock_guard<std::mutex> l(mState->lock);
            mState->modes.push_back(mode);
            mState->times.push_back(std::chrono::steady_clock::now());
        }
        mState->changed.notify_all();
        int32_t error = mState->nodeError.load();
        ALOGD("lpwg: setAesMode(%u) -> %d", mode, error);
        return error;
    }

    // Nothing else of the touch HAL matters here.
    Return<int32_t> setStatus(const lpwg10::LpwgStatus&) override { return 0; }
    Return<void> getCoordinate(getCoordinate_cb cb) override {
        cb(lpwg10::SysNodeError::NONE, hidl_vec<lpwg10::Point>());
        return Void();
    }
    Return<int32_t> setReply(bool) override { return 0; }
    Return<int32_t> setSwipeUpMode(bool) override { return 0; }
    Return<int32_t> setPayMode(lpwg10::PayType) override { return 0; }
    Return<int32_t> setAodSwipeArea(const lpwg10::AodArea&) override { return 0; }
    Return<int32_t> setAodAbsArea(const lpwg10::AodArea&) override { return 0; }
    Return<int32_t> setAodAIButton(const lpwg10::AodArea&) override { return 0; }
    Return<int32_t> setAodAIPick(const lpwg10::AodArea&) override { return 0; }
    Return<void> doSelfDiagnosis(doSelfDiagnosis_cb cb) override {
        cb(lpwg10::SysNodeError::NONE, hidl_string());
        return Void();
    }
    Return<void> setCallback(const sp<lpwg10::ILpwgCallback>&) override { return Void(); }
    Return<int32_t> setLongPressMode(const lpwg10::AodArea&) override { return 0; }
    Return<int32_t> setOneTapMode(const lpwg10::AodArea&) override { return 0; }

  private:
    std::shared_ptr<LpwgService::State> mState;
};

}  // namespace

struct LpwgService::Holder {
    sp<LpwgStandIn> service;
};

LpwgService::LpwgService()
    : mState(std::make_shared<State>()), mHolder(std::make_unique<Holder>()) {
    mHolder->service = new LpwgStandIn(mState);
}

LpwgService::~LpwgService() = default;

bool LpwgService::registerService(const std::string& instance) {
    ::android::status_t status = mHolder->service->registerAsService(instance);
    if (status != ::android::OK) {
        ALOGE("lpwg: cannot register %s/%s: %d", lpwg13::ILpwg::descriptor, instance.c_str(),
              status);
        return false;
    }
    return true;
}

void LpwgService::setNodeError(int32_t error) {
    mState->nodeError.store(error);
}

void LpwgService::setDieInSetAesMode(bool die) {
    mState->dieInSetAesMode.store(die);
}

std::vector<uint32_t> LpwgService::aesModes() const {
    std::lock_guard<std::mutex> l(mState->lock);
    return mState->modes;
}

std::vector<std::chrono::steady_clock::time_point> LpwgService::aesModeTimes() const {
    std::lock_guard<std::mutex> l(mState->lock);
    return mState->times;
}

bool LpwgService::waitForAesModes(size_t count, int timeoutMs) const {
    std::unique_lock<std::mutex> l(mState->lock);
    return mState->changed.wait_for(l, std::chrono::milliseconds(timeoutMs),
                                    [&] { return mState->modes.size() >= count; });
}

void LpwgService::clear() {
    std::lock_guard<std::mutex> l(mState->lock);
    mState->modes.clear();
    mState->times.clear();
}

}  // namespace twsim
