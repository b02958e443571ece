/*
 * The stand-in accessory and phone kernel.
 *
 * A Simulator builds a device tree under a directory that stands for "/"
 * (the service finds it through TWINEL_DEVICE_ROOT) and plays everything
 * outside the service:
 *  - the USB device: a usbfs node with the device descriptor under
 *    dev/bus/usb/001, its sysfs directory (idVendor, idProduct, serial,
 *    product, busnum, devnum, power/control), and per function the class
 *    links sys/class/tty/ttyACMn and sys/class/hidraw/hidrawN, laid out so
 *    that "device/../idVendor" and "device/../../idVendor" resolve as on the
 *    phone;
 *  - the accessory firmware: dev/ttyACMn is a symbolic link to the slave of
 *    a pseudo-terminal whose master this object serves (AT commands with echo,
 *    default replies, per-command scripts, log lines); dev/hidrawN is a
 *    SOCK_SEQPACKET socket answering the HID reports;
 *  - the kernel drivers: the accessory driver's nodes, the GPIO-keys firmware
 *    node, the USB HID driver's aes_mode, the touch driver's update state,
 *    the wake-lock list, the property store and the kernel log file. Writes
 *    to the driver nodes are recorded in order; "Y" in tw2_recovery
 *    re-enumerates the accessory.
 *
 * All methods may be called from any thread.
 */
#pragma once

#include <errno.h>
#include <stdint.h>

#include <chrono>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace twsim {

using Clock = std::chrono::steady_clock;

// Logical paths (as the service sees them) of the nodes the simulator keeps.
constexpr const char* kTw2PdNode = "/sys/class/twinel/tw2/tw2_pd";
constexpr const char* kHalReadyNode = "/sys/class/twinel/tw2/tw2_hal_ready";
constexpr const char* kRecoveryNode = "/sys/class/twinel/tw2/tw2_recovery";
// Where the device module reports the modem lines set on each pty.
constexpr const char* kPtyModemDir = "/dev/socket/pty-modem";
constexpr const char* kFirmwareWriteNode =
        "/sys/devices/platform/soc/soc:gpio_keys/virtual_mcu_firmware_write";
constexpr const char* kAesModeNode = "/sys/module/usbhid/parameters/aes_mode";
constexpr const char* kTouchUpdateStateNode =
        "/sys/devices/virtual/input/zyr_touch/tw_update_state";
constexpr const char* kWakeLockNode = "/sys/power/wake_lock";
constexpr const char* kDisplayWakeLock = "PowerManagerService.Display";
constexpr const char* kKmsgNode = "/dev/kmsg";
constexpr const char* kPropertyStore = "/dev/__properties__/properties";
constexpr const char* kDfuDir = "/system_ext/etc/dfu";
constexpr const char* kTouchDataDir = "/data/vendor/touch";

constexpr uint16_t kAccessoryVendorId = 0x3a7e;
constexpr uint16_t kAccessoryProductId = 0x5b21;
constexpr uint16_t kDloadVendorId = 0x0483;
constexpr uint16_t kDloadProductId = 0xdf11;

// Reply of "AT%SWV" until setFirmwareVersion() changes it.
constexpr const char* kDefaultFirmwareVersion = "QPA330X-V1.00_20240301";
// Sub display described by feature report 2.
constexpr uint16_t kSubDisplayWidth = 128;
constexpr uint16_t kSubDisplayHeight = 128;
constexpr uint8_t kSubDisplayFormat = 4;  // 4 bits per pixel

// Logical path of the power/control node of the USB device on `port`.
std::string usbPowerControlNode(int port = 1);

// What a plugged USB device shows.
struct UsbIdentity {
    uint16_t vendorId = kAccessoryVendorId;
    uint16_t productId = kAccessoryProductId;
    std::string manufacturer = "ZYR";
    std::string product = "Twinel Cover";
    std::string serial = "TW2C00000001";  // empty: the device has no serial string
    // false: the strings are announced in the descriptor but never answered
    // (no sysfs attributes), as a device that stalls its string requests.
    bool answersStrings = true;
    bool serialFunction = true;  // a CDC-ACM function: ttyACM<ttyIndex>
    bool hidFunction = true;     // a HID function: hidraw<hidrawIndex>
    int ttyIndex = 0;
    int hidrawIndex = 0;
};

// The accessory in normal operation.
UsbIdentity accessoryIdentity();
// The accessory's microcontroller in its download mode (no functions).
UsbIdentity downloadModeIdentity(const std::string& serial, const std::string& product);

// A scripted answer of the firmware to the commands that begin with `match`
// (compared without regard to case, without the final carriage return).
struct AtScript {
    enum class Action {
        Reply,   // `text` lines, then "OK"
        Error,   // `text` lines, then "ERROR"
        Silent,  // nothing at all, not even the echo
        HangUp,  // echo, then `text` exactly as given (once the phone has read
                 // it), then the port hangs up (the pty master is closed)
        Raw,     // echo, then `text` exactly as given (no framing added)
    };
    std::string match;
    Action action = Action::Reply;
    std::string text;  // Reply/Error: lines separated by '\n'; Raw, HangUp: bytes
    int delayMs = 0;   // wait between the echo and the answer
    int times = 0;     // answers given before the script goes away; 0: forever
};

struct AtRecord {
    int port;
    std::string command;  // as received, without the carriage return
    Clock::time_point time;
};

struct NodeRecord {
    std::string node;   // logical path of the written node
    std::string value;  // bytes written
    Clock::time_point time;
    // false when the content could not be told apart from a write that
    // followed it before the simulator looked (value then empty or that of
    // the later write). Waiting for each record before the next write keeps
    // every record exact.
    bool exact;
};

struct HidRecord {
    uint8_t op;  // twdevice::hidseam::Op
    std::vector<uint8_t> report;
    Clock::time_point time;
};

// The sub display as the HID function describes it in feature report 2.
struct HidPanel {
    uint16_t width = kSubDisplayWidth;
    uint16_t height = kSubDisplayHeight;
    uint8_t format = kSubDisplayFormat;
    bool ready = true;  // bit 0 of the report's last byte
    // Bytes of the report answered (1 to 7); fewer than 7 make a short one.
    size_t infoLength = 7;
};

// Bytes of a frame the HID function assembles at most (an output report
// with offset + length beyond it is dropped).
constexpr size_t kMaxFrameBytes = 65536;

// A frame assembled from output reports 2 (each placed at its offset) and
// completed by an empty report.
struct SubDisplayFrame {
    uint64_t sequence = 0;      // 1 for the first frame completed; 0: none
    std::vector<uint8_t> data;  // bytes 0 to the highest offset + length written
    uint16_t width = 0;         // the panel described when it was completed
    uint16_t height = 0;
    Clock::time_point time;
};

class Firmware;
class HidFunction;
class NodeWatcher;
struct AtState;
struct HidState;
struct PluggedDevice;

class Simulator {
  public:
    // Builds the tree under `root` (created when missing). Nodes of an
    // earlier run under the same root are replaced; system_ext and data are
    // kept. `root` must not be "/".
    explicit Simulator(const std::string& root);
    ~Simulator();

    Simulator(const Simulator&) = delete;
    Simulator& operator=(const Simulator&) = delete;

    // True when the tree and the threads are up.
    bool ok() const { return mOk; }
    const std::string& root() const { return mRoot; }
    // Real path of a logical one.
    std::string path(const std::string& logical) const;

    // ---- USB ----
    bool plug(const UsbIdentity& identity = accessoryIdentity(), int port = 1);
    bool unplug(int port = 1);
    void unplugAll();
    bool isPlugged(int port = 1) const;
    // Unplugs `port` and plugs the download-mode identity there.
    bool plugDownloadMode(const std::string& serial, const std::string& product, int port = 1);
    // "/dev/bus/usb/001/DDD" of the device on `port`; empty when none.
    std::string usbDeviceName(int port = 1) const;
    // Pause between unplug and plug when the link is recovered (default 50).
    void setRecoveryDelayMs(int ms);
    // Completed re-enumerations triggered through tw2_recovery.
    int recoveryCount() const;
    bool waitForRecoveries(int count, int timeoutMs) const;
    // The next `count` link recoveries take the devices off the bus and do
    // not bring them back (a re-enumeration that fails; `plug` brings the
    // accessory back). Counted apart from the completed ones.
    void failNextRecoveries(int count);
    int pendingRecoveryFailures() const;
    int failedRecoveryCount() const;

    // ---- firmware, AT side ----
    void setAtScript(const AtScript& script);  // replaces one with the same match
    void clearAtScripts();
    void setFirmwareVersion(const std::string& version);
    // Writes one log line (the firmware adds "\r\n"); false when the port is
    // not there. Only while the phone holds DTR up: until then the line
    // waits in the firmware's log buffer, which keeps the newest 64.
    bool sendLog(const std::string& line, int port = 1);
    // DTR as the phone last set it on the port (the device module reports
    // TIOCMBIS, TIOCMBIC and TIOCMSET); down when plugged.
    bool dtr(int port = 1) const;
    bool waitForDtr(bool up, int timeoutMs, int port = 1) const;
    bool echoEnabled(int port = 1) const;
    std::vector<AtRecord> atCommands() const;
    void clearAtCommands();
    // Waits until a command beginning with `prefix` (any case) is recorded at
    // index `from` or later; its index in atCommands() or -1 on time-out.
    int waitForAtCommand(const std::string& prefix, int timeoutMs, size_t from = 0) const;

    // ---- kernel drivers ----
    std::vector<NodeRecord> nodeRecords() const;
    std::vector<NodeRecord> nodeRecords(const std::string& node) const;
    void clearNodeRecords();
    // Waits until `node` has at least `count` records.
    bool waitForNodeRecords(const std::string& node, size_t count, int timeoutMs) const;

    bool setProperty(const std::string& key, const std::string& value);
    bool removeProperty(const std::string& key);
    std::string property(const std::string& key) const;

    bool setDisplayOn(bool on);
    bool displayOn() const;
    bool setTouchUpdateState(const std::string& text);
    // Contents of the kernel log file.
    std::string kernelLog() const;

    // ---- HID function ----
    std::vector<HidRecord> hidRecords() const;
    void clearHidRecords();
    // The panel described from the next info request on (default 128 x 128,
    // format 4, ready).
    void setHidPanel(const HidPanel& panel);
    HidPanel hidPanel() const;
    // Every feature report 3 set, in order (3 bytes each as sent), and the
    // configuration the function holds now.
    std::vector<std::vector<uint8_t>> hidConfigReports() const;
    void clearHidConfigReports();
    std::vector<uint8_t> hidConfig() const;
    // The next `count` requests of kind `op` (twdevice::hidseam::Op:
    // get-feature, set-feature or output report) fail with `error`; they are
    // recorded but have no effect.
    void failHidRequests(uint8_t op, int count, int error = EIO);
    // The next `count` output reports (frame writes) fail with `error`.
    void failHidWrites(int count, int error = EIO);
    // Each HID request is answered `ms` later (a slow device).
    void setHidDelayMs(int ms);
    // Frames completed so far, the last of them, and waiting for them.
    uint64_t frameCount() const;
    SubDisplayFrame lastFrame() const;
    bool waitForFrames(uint64_t count, int timeoutMs) const;
    // Empty reports that arrived with no frame data before them.
    size_t emptyHidReports() const;
    // Output reports 2 taken but dropped because their header did not fit:
    // shorter than 7 bytes, a length beyond the data carried, or data past
    // kMaxFrameBytes.
    size_t malformedHidReports() const;
    // The pixels of the last frame as the framework drew them (4-bit values,
    // row by row over the panel), the frame's byte order undone. Empty when
    // no frame was completed.
    std::vector<uint8_t> subDisplayPixels() const;
    // Renders the last frame as a 4-bit grey PNG of the panel at `file`
    // (real path); false (and a log line) when there is no frame, the panel
    // is empty or too large, or the file cannot be written.
    bool writeSubDisplayPng(const std::string& file) const;

  private:
    bool buildTree();
    bool plugLocked(const UsbIdentity& identity, int port);
    bool unplugLocked(int port);
    void onNodeWrite(const NodeRecord& record);
    // A script hung the port of `firmware` up: the worker unplugs its
    // device, unless it has been replaced meanwhile.
    void scheduleHangUpUnplug(int port, Firmware* firmware);
    void workerLoop();
    void reenumerate();
    bool writeWakeLocks();

    std::string mRoot;
    bool mOk = false;

    std::unique_ptr<AtState> mAt;
    std::unique_ptr<HidState> mHid;
    std::unique_ptr<NodeWatcher> mWatcher;

    mutable std::mutex mPlugLock;
    std::map<int, std::unique_ptr<PluggedDevice>> mDevices;
    int mNextDevnum = 2;
    int mNextHidId = 1;

    mutable std::mutex mLock;  // records, display state, worker
    mutable std::condition_variable mChanged;
    // The worker's own wake-up: it is not woken by every node write.
    std::condition_variable mWorkerWake;
    std::vector<NodeRecord> mNodeRecords;
    bool mDisplayOn = true;
    int mRecoveryDelayMs = 50;
    int mPendingRecoveries = 0;
    int mRecoveries = 0;
    int mRecoveryFailuresToCome = 0;
    int mFailedRecoveries = 0;
    std::vector<std::pair<int, Firmware*>> mHangUps;  // for the worker to unplug
    bool mStopping = false;
    std::thread mWorker;
};

}  // namespace twsim
