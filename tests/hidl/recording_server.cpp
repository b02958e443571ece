/*
 * A test ITwinel 1.1 server that records every call it receives (transaction
 * code, operation, arguments) and answers with values derived from them, so
 * a client in another process can check codes and argument/result shapes.
 * debug() writes the record.
 *
 * With --at-callback it serves an ITwinelAtCallback instead, which records
 * the start of every response; "hold:MS" keeps its thread busy that long and
 * "exit" ends the process normally. Asked for debug() with the option
 * "relay:NAME", it asks the ITwinelAtCallback NAME for debug() in turn;
 * sendAtCommand("relay:NAME", cb) asks the callback for debug() with that
 * option before it answers (synchronous calls through three processes). With --client-callback
 * FILE it also asks hwservicemanager to tell it when that callback gains or loses clients,
 * appending each change and how its requests were answered to FILE; with
 * --hold NAME it is a client of the ITwinelAtCallback NAME for its lifetime.
 *
 *   recording_server [--instance NAME] [--v10] [--threads N] [--at-callback]
 *                    [--listen FQNAME] [--client-callback FILE] [--hold NAME]
 */
#include <android/hidl/manager/1.0/IServiceManager.h>
#include <android/hidl/manager/1.2/IServiceManager.h>
#include <fcntl.h>
#include <hidl/HidlTransportSupport.h>
#include <hwbinder/IPCThreadState.h>
#include <signal.h>
#include <stdlib.h>
#include <unistd.h>
#include <vendor/zyr/hardware/twinel/1.0/IHwTwinel.h>
#include <vendor/zyr/hardware/twinel/1.1/BnHwTwinel.h>
#include <vendor/zyr/hardware/twinel/1.1/ITwinel.h>
#include <vendor/zyr/hardware/twinel/1.1/ITwinelLpwgCallback.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

using namespace ::android;
using ::android::hardware::configureRpcThreadpool;
using ::android::hardware::defaultServiceManager;
using ::android::hardware::getOrCreateCachedBinder;
using ::android::hardware::hidl_death_recipient;
using ::android::hardware::hidl_handle;
using ::android::hardware::hidl_string;
using ::android::hardware::hidl_vec;
using ::android::hardware::IBinder;
using ::android::hardware::IPCThreadState;
using ::android::hardware::joinRpcThreadpool;
using ::android::hardware::Parcel;
using ::android::hardware::Return;
using ::android::hardware::Void;
namespace details = ::android::hardware::details;
using ::vendor::zyr::hardware::twinel::V1_0::ITwinelAtCallback;
using ::vendor::zyr::hardware::twinel::V1_0::ITwinelSubDisplayCallback;
using ::vendor::zyr::hardware::twinel::V1_0::LpwgStatus;
using ::vendor::zyr::hardware::twinel::V1_0::Result;
using ::vendor::zyr::hardware::twinel::V1_0::ScreenMode;
using ::vendor::zyr::hardware::twinel::V1_0::Status;
using ::vendor::zyr::hardware::twinel::V1_0::SubScreenInfo;
using ::vendor::zyr::hardware::twinel::V1_0::SubScreenState;
using ::vendor::zyr::hardware::twinel::V1_0::TwinelStatus;
namespace V1_0 = ::vendor::zyr::hardware::twinel::V1_0;
namespace V1_1 = ::vendor::zyr::hardware::twinel::V1_1;

namespace {

std::mutex gLogLock;
std::vector<std::string> gLog;
std::atomic<int> gInFlight{0};

void record(const std::string& line) {
    std::lock_guard<std::mutex> lock(gLogLock);
    gLog.push_back(line);
}

// Marks a call in progress; a second call inside it is an overlap.
struct Busy {
    explicit Busy(int ms) {
        if (++gInFlight > 1) record("OVERLAP");
        std::this_thread::sleep_for(std::chrono::milliseconds(ms));
    }
    ~Busy() { --gInFlight; }
};

void writeLog(int fd) {
    std::lock_guard<std::mutex> lock(gLogLock);
    for (const auto& l : gLog) {
        std::string line = l + "\n";
        if (write(fd, line.data(), line.size()) < 0) break;
    }
}

class Recording : public V1_1::ITwinel {
  public:
    Return<void> getFirmwareVersion(getFirmwareVersion_cb cb) override {
        record("getFirmwareVersion()");
        cb(Status::SUCCESS, "fw-1.2.3_TEST");
        return Void();
    }
    Return<Status> checkFirmwareVersion() override { return simple("checkFirmwareVersion()"); }
    Return<void> getFirmwareFile(getFirmwareFile_cb cb) override {
        record("getFirmwareFile()");
        cb(Status::FAILURE, "");
        return Void();
    }
    Return<Status> doFirmwareUpgrade() override { return simple("doFirmwareUpgrade()"); }
    Return<Status> goDload() override {
        Busy busy(300);
        return simple("goDload()");
    }
    Return<Status> goSTMDload() override {
        Busy busy(300);
        return simple("goSTMDload()");
    }
    Return<Status> cancelFirmwareUpgrade() override { return simple("cancelFirmwareUpgrade()"); }
    Return<void> getTouchFirmwareVersion(getTouchFirmwareVersion_cb cb) override {
        record("getTouchFirmwareVersion()");
        cb(Status::SUCCESS, std::string(5000, 't'));
        return Void();
    }
    Return<Status> DoRawdata() override { return simple("DoRawdata()"); }
    Return<Status> DoDelta() override { return simple("DoDelta()"); }
    Return<Status> DoTouchReset() override { return simple("DoTouchReset()"); }
    Return<void> getGpiopin(getGpiopin_cb cb) override {
        IPCThreadState* ipc = IPCThreadState::self();
        std::string who = "pid=" + std::to_string(ipc->getCallingPid()) +
                          " uid=" + std::to_string(ipc->getCallingUid());
        record("getGpiopin()");
        cb(Status::SUCCESS, who);
        return Void();
    }
    Return<Status> setStatus(const LpwgStatus& s) override {
        return simple("setStatus(" + std::to_string(s.type) + "," + std::to_string(s.value) + ")");
    }
    Return<Status> DoTouchFirmwareUpgrade() override { return simple("DoTouchFirmwareUpgrade()"); }
    Return<void> getSelfTest(getSelfTest_cb cb) override {
        record("getSelfTest()");
        cb(Status::FAILURE, "partial");
        return Void();
    }
    Return<void> getLPWGSelfTest(getLPWGSelfTest_cb cb) override {
        record("getLPWGSelfTest()");
        cb(Status::SUCCESS, "lpwg ok");
        return Void();
    }
    Return<Status> getTestResults() override { return simple("getTestResults()"); }
    Return<void> setLpwgCallback(const sp<V1_0::ITwinelLpwgCallback>& cb) override {
        if (cb == nullptr) {
            record("setLpwgCallback(null)");
            return Void();
        }
        Return<sp<V1_1::ITwinelLpwgCallback>> cast = V1_1::ITwinelLpwgCallback::castFrom(cb);
        sp<V1_1::ITwinelLpwgCallback> cb11 =
                cast.isOk() ? static_cast<sp<V1_1::ITwinelLpwgCallback>>(cast) : nullptr;
        if (cb11 != nullptr) {
            record("setLpwgCallback(1.1)");
            Return<void> r =
                    cb11->notifyEventChange_1_1(static_cast<V1_1::LpwgEventStatus>(2), Result::OK);
            if (!r.isOk()) record("callback failed");
        } else {
            record("setLpwgCallback(1.0)");
            Return<void> r = cb->notifyEventChange(static_cast<V1_0::LpwgEventStatus>(-1),
                                                   Result::NOT_RECOGNIZED);
            if (!r.isOk()) record("callback failed");
        }
        return Void();
    }
    Return<Status> setBrightness(int32_t level) override {
        return simple("setBrightness(" + std::to_string(level) + ")");
    }
    Return<Status> setPowerStatus(bool enable, bool uevent) override {
        return simple("setPowerStatus(" + std::to_string(enable) + "," + std::to_string(uevent) +
                      ")");
    }
    Return<void> getCoverDisplayCutout(getCoverDisplayCutout_cb cb) override {
        record("getCoverDisplayCutout()");
        cb(Status::SUCCESS, "cutout:0,0,10,10");
        return Void();
    }
    Return<Status> setRgbTune(uint32_t a, uint32_t b, uint32_t c, uint32_t d) override {
        return simple("setRgbTune(" + std::to_string(a) + "," + std::to_string(b) + "," +
                      std::to_string(c) + "," + std::to_string(d) + ")");
    }
    Return<Status> setScreenMode(ScreenMode mode) override {
        return simple("setScreenMode(" + std::to_string(static_cast<int32_t>(mode)) + ")");
    }
    Return<Status> setScreenTune(uint32_t a, uint32_t b, uint32_t c, uint32_t d) override {
        return simple("setScreenTune(" + std::to_string(a) + "," + std::to_string(b) + "," +
                      std::to_string(c) + "," + std::to_string(d) + ")");
    }
    Return<Status> setTWBrightnessOffset(int32_t offset) override {
        return simple("setTWBrightnessOffset(" + std::to_string(offset) + ")");
    }
    Return<void> getTW2Status(getTW2Status_cb cb) override {
        record("getTW2Status()");
        TwinelStatus s = {};
        s.connected = true;
        s.brightnessOffset = -7;
        s.reserved = false;
        s.brightnessOffsetBypass = true;
        s.brightness = 200;
        cb(Status::SUCCESS, s);
        return Void();
    }
    Return<Status> setSubDisplayBrightness(int32_t level) override {
        return simple("setSubDisplayBrightness(" + std::to_string(level) + ")");
    }
    Return<Status> setSubDisplayPowerState(bool on) override {
        return simple("setSubDisplayPowerState(" + std::to_string(on) + ")");
    }
    Return<void> getSubDisplayInfo(getSubDisplayInfo_cb cb) override {
        record("getSubDisplayInfo()");
        SubScreenInfo info = {};
        info.x = 128;
        info.y = 64;
        info.format = 4;
        cb(Status::SUCCESS, info);
        return Void();
    }
    Return<Status> drawSubDisplay(const hidl_vec<uint32_t>& pixels) override {
        uint64_t sum = 0;
        for (uint32_t p : pixels) sum = sum * 31 + p;
        record("drawSubDisplay(" + std::to_string(pixels.size()) + "," + std::to_string(sum) + ")");
        return pixels.size() == 0 ? Status::FAILURE : Status::SUCCESS;
    }
    Return<void> getSubDisplayPowerState(getSubDisplayPowerState_cb cb) override {
        record("getSubDisplayPowerState()");
        cb(Status::SUCCESS, SubScreenState::OFF);
        return Void();
    }
    Return<void> setSubDisplayCallback(const sp<ITwinelSubDisplayCallback>& cb) override {
        record(cb == nullptr ? "setSubDisplayCallback(null)" : "setSubDisplayCallback(cb)");
        if (cb != nullptr) {
            Return<void> r = cb->notifyStateChanged(SubScreenState::ON);
            if (!r.isOk()) record("callback failed");
        }
        return Void();
    }
    Return<bool> getTW2Connect() override {
        record("getTW2Connect()");
        return true;
    }
    Return<void> sendAtCommand(const hidl_string& command, const sp<ITwinelAtCallback>& cb,
                               sendAtCommand_cb _hidl_cb) override {
        record(std::string("sendAtCommand(") + command.c_str() + "," +
               (cb == nullptr ? "null" : "cb") + ")");
        if (cb != nullptr && std::string(command).rfind("relay:", 0) == 0) {
            if (!cb->debug(hidl_handle(), {command}).isOk()) record("callback failed");
        } else if (cb != nullptr) {
            for (int i = 1; i <= 3; i++) {
                Return<void> r = cb->responseAtCommand("line" + std::to_string(i) + ":" +
                                                       std::string(command));
                if (!r.isOk()) record("callback failed");
            }
        }
        _hidl_cb(Status::SUCCESS, "OK:" + std::string(command));
        return Void();
    }
    Return<Status> setAesMode(uint32_t mode) override {
        return simple("setAesMode(" + std::to_string(mode) + ")");
    }
    Return<Status> manageAesMode(uint32_t mode) override {
        return simple("manageAesMode(" + std::to_string(mode) + ")");
    }
    Return<Status> tw_update_state() override { return simple("tw_update_state()"); }
    Return<Status> set_touch_perf(bool enable) override {
        return simple("set_touch_perf(" + std::to_string(enable) + ")");
    }

    Return<void> debug(const hidl_handle& fd, const hidl_vec<hidl_string>& options) override {
        if (fd == nullptr || fd->numFds < 1) return Void();
        std::string opts = "debug";
        for (const auto& o : options) opts += " " + std::string(o);
        std::string line = opts + "\n";
        if (write(fd->data[0], line.data(), line.size()) < 0) return Void();
        writeLog(fd->data[0]);
        return Void();
    }

  private:
    Status simple(const std::string& line) {
        record(line);
        return Status::SUCCESS;
    }
};

// Only the 1.0 interface: castFrom to 1.1 must fail on it.
class Recording10 : public V1_0::ITwinel {
#define SIMPLE(name)                 \
    Return<Status> name() override { \
        return Status::SUCCESS;      \
    }

  public:
    Return<void> getFirmwareVersion(getFirmwareVersion_cb cb) override {
        cb(Status::SUCCESS, "fw-1.0-only");
        return Void();
    }
    SIMPLE(checkFirmwareVersion)
    Return<void> getFirmwareFile(getFirmwareFile_cb cb) override {
        cb(Status::SUCCESS, "");
        return Void();
    }
    SIMPLE(doFirmwareUpgrade)
    SIMPLE(goDload)
    SIMPLE(goSTMDload)
    SIMPLE(cancelFirmwareUpgrade)
    Return<void> getTouchFirmwareVersion(getTouchFirmwareVersion_cb cb) override {
        cb(Status::SUCCESS, "");
        return Void();
    }
    SIMPLE(DoRawdata)
    SIMPLE(DoDelta)
    SIMPLE(DoTouchReset)
    Return<void> getGpiopin(getGpiopin_cb cb) override {
        cb(Status::SUCCESS, "");
        return Void();
    }
    Return<Status> setStatus(const LpwgStatus&) override {
        return Status::SUCCESS;
    }
    SIMPLE(DoTouchFirmwareUpgrade)
    Return<void> getSelfTest(getSelfTest_cb cb) override {
        cb(Status::SUCCESS, "");
        return Void();
    }
    Return<void> getLPWGSelfTest(getLPWGSelfTest_cb cb) override {
        cb(Status::SUCCESS, "");
        return Void();
    }
    SIMPLE(getTestResults)
    Return<void> setLpwgCallback(const sp<V1_0::ITwinelLpwgCallback>&) override {
        return Void();
    }
    Return<Status> setBrightness(int32_t) override {
        return Status::SUCCESS;
    }
    Return<Status> setPowerStatus(bool, bool) override {
        return Status::SUCCESS;
    }
    Return<void> getCoverDisplayCutout(getCoverDisplayCutout_cb cb) override {
        cb(Status::SUCCESS, "");
        return Void();
    }
    Return<Status> setRgbTune(uint32_t, uint32_t, uint32_t, uint32_t) override {
        return Status::SUCCESS;
    }
    Return<Status> setScreenMode(ScreenMode) override {
        return Status::SUCCESS;
    }
    Return<Status> setScreenTune(uint32_t, uint32_t, uint32_t, uint32_t) override {
        return Status::SUCCESS;
    }
    Return<Status> setTWBrightnessOffset(int32_t) override {
        return Status::SUCCESS;
    }
    Return<void> getTW2Status(getTW2Status_cb cb) override {
        cb(Status::SUCCESS, TwinelStatus{});
        return Void();
    }
    Return<Status> setSubDisplayBrightness(int32_t) override {
        return Status::SUCCESS;
    }
    Return<Status> setSubDisplayPowerState(bool) override {
        return Status::SUCCESS;
    }
    Return<void> getSubDisplayInfo(getSubDisplayInfo_cb cb) override {
        cb(Status::SUCCESS, SubScreenInfo{});
        return Void();
    }
    Return<Status> drawSubDisplay(const hidl_vec<uint32_t>&) override {
        return Status::SUCCESS;
    }
    Return<void> getSubDisplayPowerState(getSubDisplayPowerState_cb cb) override {
        cb(Status::SUCCESS, SubScreenState::NONE);
        return Void();
    }
    Return<void> setSubDisplayCallback(const sp<ITwinelSubDisplayCallback>&) override {
        return Void();
    }
    Return<bool> getTW2Connect() override {
        return false;
    }
    Return<void> sendAtCommand(const hidl_string&, const sp<ITwinelAtCallback>&,
                               sendAtCommand_cb cb) override {
        cb(Status::SUCCESS, "");
        return Void();
    }
#undef SIMPLE
};

// The 1.1 stub with the transaction code of every call put on record.
class RecordingStub : public V1_1::BnHwTwinel {
  public:
    explicit RecordingStub(const sp<V1_1::ITwinel>& impl) : V1_1::BnHwTwinel(impl) {}
    status_t onTransact(uint32_t code, const Parcel& data, Parcel* reply, uint32_t flags,
                        TransactCallback cb) override {
        if (code < 0x0f000000) record("txn " + std::to_string(code));
        return V1_1::BnHwTwinel::onTransact(code, data, reply, flags, cb);
    }
};

// A callback client: records what arrives, can be kept busy or told to exit.
class AtRecorder : public ITwinelAtCallback {
  public:
    Return<void> responseAtCommand(const hidl_string& response) override {
        std::string s = response;
        if (s.rfind("hold:", 0) == 0) {
            std::this_thread::sleep_for(std::chrono::milliseconds(atoi(s.c_str() + 5)));
        } else if (s == "exit") {
            exit(0);
        }
        record(s.substr(0, s.find(':')) + " (" + std::to_string(s.size()) + ")");
        return Void();
    }
    Return<void> debug(const hidl_handle& fd, const hidl_vec<hidl_string>& options) override {
        if (fd != nullptr && fd->numFds >= 1) writeLog(fd->data[0]);
        if (options.size() == 1 && std::string(options[0]).rfind("relay:", 0) == 0) {
            sp<ITwinelAtCallback> next = ITwinelAtCallback::getService(options[0].c_str() + 6);
            if (next == nullptr || !next->debug(hidl_handle(), {"relayed"}).isOk()) {
                record("relay failed");
            }
        }
        return Void();
    }
};

// Listens for registrations of an interface, as a client waiting for a
// service does; the process's death must end the listening.
struct Listener : ::android::hidl::manager::V1_0::IServiceNotification {
    Return<void> onRegistration(const hidl_string&, const hidl_string&, bool) override {
        return Void();
    }
};

void appendLine(const std::string& path, const std::string& line) {
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd < 0) return;
    std::string text = line + "\n";
    if (write(fd, text.data(), text.size()) != static_cast<ssize_t>(text.size())) {
        fprintf(stderr, "recording_server: short write to %s\n", path.c_str());
    }
    close(fd);
}

// Told when the registration gains its first client and loses its last one.
struct ClientRecorder : ::android::hidl::manager::V1_2::IClientCallback {
    explicit ClientRecorder(const std::string& path) : mPath(path) {}
    Return<void> onClients(const sp<::android::hidl::base::V1_0::IBase>&, bool clients) override {
        appendLine(mPath, clients ? "onClients true" : "onClients false");
        return Void();
    }
    const std::string mPath;
};

}  // namespace

int main(int argc, char** argv) {
    signal(SIGPIPE, SIG_IGN);
    std::string instance = "default";
    bool only10 = false;
    bool atCallback = false;
    size_t threads = 1;
    std::string listen;
    std::string clientFile;
    std::string hold;
    for (int i = 1; i < argc; i++) {
        if (!strcmp(argv[i], "--instance") && i + 1 < argc)
            instance = argv[++i];
        else if (!strcmp(argv[i], "--v10"))
            only10 = true;
        else if (!strcmp(argv[i], "--threads") && i + 1 < argc)
            threads = atoi(argv[++i]);
        else if (!strcmp(argv[i], "--at-callback"))
            atCallback = true;
        else if (!strcmp(argv[i], "--listen") && i + 1 < argc)
            listen = argv[++i];
        else if (!strcmp(argv[i], "--client-callback") && i + 1 < argc)
            clientFile = argv[++i];
        else if (!strcmp(argv[i], "--hold") && i + 1 < argc)
            hold = argv[++i];
    }
    configureRpcThreadpool(threads, true);
    sp<Listener> listener;
    if (!listen.empty()) {
        listener = new Listener();
        sp<::android::hidl::manager::V1_0::IServiceManager> sm =
                ::android::hardware::defaultServiceManager();
        if (sm == nullptr ||
            !sm->registerForNotifications(listen, "", listener).withDefault(false)) {
            fprintf(stderr, "recording_server: cannot listen for %s\n", listen.c_str());
            return 1;
        }
    }
    status_t err;
    sp<V1_1::ITwinel> keep11;
    sp<V1_0::ITwinel> keep10;
    sp<ITwinelAtCallback> keepCb;
    if (atCallback) {
        keepCb = new AtRecorder();
        err = keepCb->registerAsService(instance);
    } else if (only10) {
        keep10 = new Recording10();
        err = keep10->registerAsService(instance);
    } else {
        keep11 = new Recording();
        sp<RecordingStub> stub = new RecordingStub(keep11);
        details::gBnMap->set(static_cast<const ::android::hidl::base::V1_0::IBase*>(keep11.get()),
                             stub.get());
        err = keep11->registerAsService(instance);
        if (err == OK) {
            // The service manager holds the stub now.
            stub.clear();
        }
    }
    if (err != OK) {
        fprintf(stderr, "recording_server: cannot register (%d)\n", err);
        return 1;
    }
    sp<ClientRecorder> clientCb;
    if (atCallback && !clientFile.empty()) {
        clientCb = new ClientRecorder(clientFile);
        sp<::android::hidl::manager::V1_2::IServiceManager> sm =
                ::android::hardware::defaultServiceManager1_2();
        if (sm == nullptr) return 1;
        // Refused: an instance nobody registered, and an object that is not
        // the registered one.
        bool absent = sm->registerClientCallback(ITwinelAtCallback::descriptor,
                                                 instance + "-absent", keepCb, clientCb)
                              .withDefault(true);
        appendLine(clientFile, absent ? "absent accepted" : "absent refused");
        sp<ITwinelAtCallback> other = new AtRecorder();
        bool wrong =
                sm->registerClientCallback(ITwinelAtCallback::descriptor, instance, other, clientCb)
                        .withDefault(true);
        appendLine(clientFile, wrong ? "other server accepted" : "other server refused");
        bool own = sm->registerClientCallback(ITwinelAtCallback::descriptor, instance, keepCb,
                                              clientCb)
                           .withDefault(false);
        appendLine(clientFile, own ? "registered" : "refused");
    }
    sp<ITwinelAtCallback> held;
    if (!hold.empty() && (held = ITwinelAtCallback::getService(hold)) == nullptr) {
        fprintf(stderr, "recording_server: cannot get %s\n", hold.c_str());
        return 1;
    }
    joinRpcThreadpool();
    return 1;
}
