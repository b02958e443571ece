/*
 * A passthrough implementation library for the runtime's passthrough test:
 * "vendor.zyr.hardware.coverdisplay@1.0-impl.so" with HIDL_FETCH_ICoverDisplay.
 */
#include <unistd.h>
#include <vendor/zyr/hardware/coverdisplay/1.0/ICoverDisplay.h>

#include <string>

using ::android::hardware::hidl_string;
using ::android::hardware::Return;
using ::android::hardware::Void;
using ::vendor::zyr::hardware::coverdisplay::V1_0::ICoverDisplay;
using ::vendor::zyr::hardware::coverdisplay::V1_0::SysNodeError;

namespace {

class CoverDisplay : public ICoverDisplay {
public:
    explicit CoverDisplay(const std::string& name) : mName(name) {}
    Return<void> getFirmwareVersion(getFirmwareVersion_cb cb) override {
        cb(static_cast<SysNodeError>(0), "passthrough:" + mName + ":" + std::to_string(getpid()));
        return Void();
    }
    Return<int32_t> doFirmwareUpgrade() override { return 42; }
    Return<int32_t> stopPolling() override { return 7; }

private:
    std::string mName;
};

}  // namespace

extern "C" ICoverDisplay* HIDL_FETCH_ICoverDisplay(const char* name) {
    return new CoverDisplay(name);
}
