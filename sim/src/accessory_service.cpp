/*
 * The phone's accessory HAL (IAccessory 1.1) as a stand-in object.
 */
#define LOG_TAG "twinel-sim"

#include <log/log.h>
#include <twsim/accessory_service.h>
#include <vendor/zyr/hardware/accessory/1.1/IAccessory.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>

namespace twsim {

using ::android::sp;
using ::android::hardware::Return;
using ::android::hardware::Void;
namespace V1_0 = ::vendor::zyr::hardware::accessory::V1_0;
namespace V1_1 = ::vendor::zyr::hardware::accessory::V1_1;

struct AccessoryAnswers {
    std::mutex lock;
    uint32_t ret = 0;
    uint32_t state = kCoverDisplayDisconnected;
    int delayMs = 0;
    std::atomic<int> queries{0};
    std::atomic<int> started{0};

    void pause() {
        int ms;
        {
            std::lock_guard<std::mutex> l(lock);
            ms = delayMs;
        }
        if (ms > 0) std::this_thread::sleep_for(std::chrono::milliseconds(ms));
    }
    void connection(uint32_t* r, uint32_t* s) {
        std::lock_guard<std::mutex> l(lock);
        *r = ret;
        *s = state;
    }
};

// The HIDL object. Queries other than the cover display's connection answer
// "not supported" (result 0, false or 0).
class AccessoryStandIn : public V1_1::IAccessory {
  public:
    explicit AccessoryStandIn(std::shared_ptr<AccessoryAnswers> answers)
        : mAnswers(std::move(answers)) {}

    // ---- 1.1 ----
    Return<void> getCoverDisplayConnection(getCoverDisplayConnection_cb cb) override {
        mAnswers->started++;
        mAnswers->pause();
        uint32_t ret, state;
        mAnswers->connection(&ret, &state);
        mAnswers->queries++;
        cb(ret, state);
        return Void();
    }

    // ---- 1.0 ----
    Return<void> getSmartCover(getSmartCover_cb cb) override { return zero(cb); }
    Return<void> getPenStatus(getPenStatus_cb cb) override { return zero(cb); }
    Return<void> getKickStand(getKickStand_cb cb) override { return zero(cb); }
    Return<void> getFolderStatus(getFolderStatus_cb cb) override { return zero(cb); }
    Return<void> getNFCCover(getNFCCover_cb cb) override { return zero(cb); }
    Return<void> getCoverDisplay(getCoverDisplay_cb cb) override {
        mAnswers->pause();
        uint32_t ret, state;
        mAnswers->connection(&ret, &state);
        cb(ret, state);
        return Void();
    }
    Return<void> getCoverDisplayLTStatus(getCoverDisplayLTStatus_cb cb) override {
        mAnswers->pause();
        cb(0, V1_0::LTState::UNKNOWN);
        return Void();
    }
    Return<void> getCoverDisplayButtonStatus(getCoverDisplayButtonStatus_cb cb) override {
        return zero(cb);
    }
    Return<int32_t> DoCoverFirmwareUpgrade(bool /* force */) override { return 0; }
    Return<int32_t> setCoverDisplayButtonStatus(bool /* enable */, bool /* notify */) override {
        return 0;
    }
    Return<int32_t> setCoverDisplayLEDStatus(bool /* on */) override { return 0; }
    Return<void> getCoverDisplayCableStatus(getCoverDisplayCableStatus_cb cb) override {
        mAnswers->pause();
        cb(0, V1_0::CableStatus::UNKNOWN);
        return Void();
    }
    Return<void> isSmartCoverSupport(isSmartCoverSupport_cb cb) override { return no(cb); }
    Return<void> isPenStatusSupport(isPenStatusSupport_cb cb) override { return no(cb); }
    Return<void> isKickStandSupport(isKickStandSupport_cb cb) override { return no(cb); }
    Return<void> isFolderStatusSupport(isFolderStatusSupport_cb cb) override { return no(cb); }
    Return<void> isNFCCoverSupport(isNFCCoverSupport_cb cb) override { return no(cb); }
    Return<void> isCoverDisplaySupport(isCoverDisplaySupport_cb cb) override {
        mAnswers->pause();
        cb(0, true);
        return Void();
    }
    Return<void> isCoverDisplayLTStatusSupport(isCoverDisplayLTStatusSupport_cb cb) override {
        return no(cb);
    }
    Return<void> isCoverDisplayButtonStatusSupport(
            isCoverDisplayButtonStatusSupport_cb cb) override {
        return no(cb);
    }
    Return<void> isCoverDisplayLEDStatusSupport(isCoverDisplayLEDStatusSupport_cb cb) override {
        return no(cb);
    }
    Return<void> isCoverDisplayCableSupport(isCoverDisplayCableSupport_cb cb) override {
        return no(cb);
    }

  private:
    template <typename Cb>
    Return<void> zero(const Cb& cb) {
        mAnswers->pause();
        cb(0, 0);
        return Void();
    }
    template <typename Cb>
    Return<void> no(const Cb& cb) {
        mAnswers->pause();
        cb(0, false);
        return Void();
    }

    std::shared_ptr<AccessoryAnswers> mAnswers;
};

AccessoryService::AccessoryService()
    : mAnswers(std::make_shared<AccessoryAnswers>()), mService(new AccessoryStandIn(mAnswers)) {}

AccessoryService::~AccessoryService() = default;

bool AccessoryService::registerService(const std::string& instance) {
    std::lock_guard<std::mutex> l(mRegisterLock);
    if (mRegistered) return true;
    android::status_t err = mService->registerAsService(instance);
    if (err != android::OK) {
        ALOGE("accessory stand-in: cannot register \"%s\": %d", instance.c_str(), err);
        return false;
    }
    mRegistered = true;
    return true;
}

bool AccessoryService::registered() const {
    return mRegistered.load();
}

void AccessoryService::setCoverDisplayConnection(uint32_t ret, uint32_t state) {
    std::lock_guard<std::mutex> l(mAnswers->lock);
    mAnswers->ret = ret;
    mAnswers->state = state;
}

void AccessoryService::setConnected(bool connected) {
    setCoverDisplayConnection(0, connected ? kCoverDisplayConnected : kCoverDisplayDisconnected);
}

void AccessoryService::setDelayMs(int ms) {
    std::lock_guard<std::mutex> l(mAnswers->lock);
    mAnswers->delayMs = ms < 0 ? 0 : ms;
}

int AccessoryService::connectionQueries() const {
    return mAnswers->queries.load();
}

int AccessoryService::connectionQueriesStarted() const {
    return mAnswers->started.load();
}

}  // namespace twsim
