/*
 * The ITwinel 1.1 service the transport benchmarks call: every method
 * returns at once, so a client measures the runtime and nothing else,
 * except setBrightness(ms), which sleeps that long (a busy receiver).
 * Registered as "bench"; one RPC thread (the main thread joins the pool).
 *
 *   bench_server [--instance NAME]
 */
#define LOG_TAG "twinel_bench_server"

#include <hidl/HidlTransportSupport.h>
#include <log/log.h>
#include <signal.h>
#include <string.h>
#include <unistd.h>
#include <vendor/zyr/hardware/twinel/1.1/ITwinel.h>

#include <algorithm>
#include <cstdio>
#include <string>

using ::android::OK;
using ::android::sp;
using ::android::status_t;
using ::android::hardware::configureRpcThreadpool;
using ::android::hardware::hidl_handle;
using ::android::hardware::hidl_string;
using ::android::hardware::hidl_vec;
using ::android::hardware::joinRpcThreadpool;
using ::android::hardware::Return;
using ::android::hardware::Void;
using ::vendor::zyr::hardware::twinel::V1_0::ITwinelAtCallback;
using ::vendor::zyr::hardware::twinel::V1_0::ITwinelLpwgCallback;
using ::vendor::zyr::hardware::twinel::V1_0::ITwinelSubDisplayCallback;
using ::vendor::zyr::hardware::twinel::V1_0::LpwgStatus;
using ::vendor::zyr::hardware::twinel::V1_0::ScreenMode;
using ::vendor::zyr::hardware::twinel::V1_0::Status;
using ::vendor::zyr::hardware::twinel::V1_0::SubScreenInfo;
using ::vendor::zyr::hardware::twinel::V1_0::SubScreenState;
using ::vendor::zyr::hardware::twinel::V1_0::TwinelStatus;
namespace V1_1 = ::vendor::zyr::hardware::twinel::V1_1;

namespace {

class BenchTwinel : public V1_1::ITwinel {
  public:
    // 1.0
    Return<void> getFirmwareVersion(getFirmwareVersion_cb cb) override {
        cb(Status::SUCCESS, "bench");
        return Void();
    }
    Return<Status> checkFirmwareVersion() override { return Status::SUCCESS; }
    Return<void> getFirmwareFile(getFirmwareFile_cb cb) override {
        cb(Status::SUCCESS, "");
        return Void();
    }
    Return<Status> doFirmwareUpgrade() override { return Status::SUCCESS; }
    Return<Status> goDload() override { return Status::SUCCESS; }
    Return<Status> goSTMDload() override { return Status::SUCCESS; }
    Return<Status> cancelFirmwareUpgrade() override { return Status::SUCCESS; }
    Return<void> getTouchFirmwareVersion(getTouchFirmwareVersion_cb cb) override {
        cb(Status::SUCCESS, "");
        return Void();
    }
    Return<Status> DoRawdata() override { return Status::SUCCESS; }
    Return<Status> DoDelta() override { return Status::SUCCESS; }
    Return<Status> DoTouchReset() override { return Status::SUCCESS; }
    Return<void> getGpiopin(getGpiopin_cb cb) override {
        cb(Status::SUCCESS, "");
        return Void();
    }
    Return<Status> setStatus(const LpwgStatus&) override { return Status::SUCCESS; }
    Return<Status> DoTouchFirmwareUpgrade() override { return Status::SUCCESS; }
    Return<void> getSelfTest(getSelfTest_cb cb) override {
        cb(Status::SUCCESS, "");
        return Void();
    }
    Return<void> getLPWGSelfTest(getLPWGSelfTest_cb cb) override {
        cb(Status::SUCCESS, "");
        return Void();
    }
    Return<Status> getTestResults() override { return Status::SUCCESS; }
    // One-way: the throughput benchmark sends it with a null callback.
    Return<void> setLpwgCallback(const sp<ITwinelLpwgCallback>&) override { return Void(); }
    // The slow call: keeps the binder thread that serves it for level ms
    // (at most a second), so that a benchmark sees a busy receiver.
    Return<Status> setBrightness(int32_t level) override {
        if (level > 0) usleep(static_cast<useconds_t>(std::min(level, 1000)) * 1000);
        return Status::SUCCESS;
    }
    Return<Status> setPowerStatus(bool, bool) override { return Status::SUCCESS; }
    Return<void> getCoverDisplayCutout(getCoverDisplayCutout_cb cb) override {
        cb(Status::SUCCESS, "");
        return Void();
    }
    Return<Status> setRgbTune(uint32_t, uint32_t, uint32_t, uint32_t) override {
        return Status::SUCCESS;
    }
    Return<Status> setScreenMode(ScreenMode) override { return Status::SUCCESS; }
    Return<Status> setScreenTune(uint32_t, uint32_t, uint32_t, uint32_t) override {
        return Status::SUCCESS;
    }
    Return<Status> setTWBrightnessOffset(int32_t) override { return Status::SUCCESS; }
    Return<void> getTW2Status(getTW2Status_cb cb) override {
        cb(Status::SUCCESS, TwinelStatus{});
        return Void();
    }
    // The trivial synchronous call.
    Return<Status> setSubDisplayBrightness(int32_t) override { return Status::SUCCESS; }
    Return<Status> setSubDisplayPowerState(bool) override { return Status::SUCCESS; }
    Return<void> getSubDisplayInfo(getSubDisplayInfo_cb cb) override {
        cb(Status::SUCCESS, SubScreenInfo{});
        return Void();
    }
    // The bulk call: the frame is received and decoded, the pixels untouched.
    Return<Status> drawSubDisplay(const hidl_vec<uint32_t>&) override { return Status::SUCCESS; }
    Return<void> getSubDisplayPowerState(getSubDisplayPowerState_cb cb) override {
        cb(Status::SUCCESS, SubScreenState::OFF);
        return Void();
    }
    Return<void> setSubDisplayCallback(const sp<ITwinelSubDisplayCallback>&) override {
        return Void();
    }
    Return<bool> getTW2Connect() override { return true; }
    Return<void> sendAtCommand(const hidl_string&, const sp<ITwinelAtCallback>&,
                               sendAtCommand_cb cb) override {
        cb(Status::SUCCESS, "");
        return Void();
    }
    // 1.1
    Return<Status> setAesMode(uint32_t) override { return Status::SUCCESS; }
    Return<Status> manageAesMode(uint32_t) override { return Status::SUCCESS; }
    Return<Status> tw_update_state() override { return Status::SUCCESS; }
    Return<Status> set_touch_perf(bool) override { return Status::SUCCESS; }
    // IBase
    Return<void> debug(const hidl_handle&, const hidl_vec<hidl_string>&) override { return Void(); }
};

}  // namespace

int main(int argc, char** argv) {
    signal(SIGPIPE, SIG_IGN);
    std::string instance = "bench";
    for (int i = 1; i < argc; i++) {
        if (!strcmp(argv[i], "--instance") && i + 1 < argc) {
            instance = argv[++i];
        } else {
            fprintf(stderr, "usage: %s [--instance NAME]\n", argv[0]);
            return 2;
        }
    }
    configureRpcThreadpool(1, true /* callerWillJoin */);
    sp<V1_1::ITwinel> service = new BenchTwinel();
    status_t err = service->registerAsService(instance);
    if (err != OK) {
        ALOGE("cannot register ITwinel/%s: %s", instance.c_str(), strerror(-err));
        fprintf(stderr, "bench_server: cannot register ITwinel/%s (%d)\n", instance.c_str(), err);
        return 1;
    }
    joinRpcThreadpool();
    return 1;  // not reached
}
