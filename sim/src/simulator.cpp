/*
 * The simulator object: the device tree, the records and the kernel-side
 * reactions (link recovery, wake locks, properties).
 */
#define LOG_TAG "twinel-sim"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <log/log.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <twcutils/property_store.h>
#include <twcutils/uevent_socket.h>
#include <unistd.h>

#include "internal.h"

namespace twsim {

namespace {

// Properties of a freshly built tree.
const std::pair<const char*, const char*> kDefaultProperties[] = {
        {"ro.product.device", "zyr_phone"},
        {"ro.vendor.zyr.chip.vendor", "qcom"},
        {"persist.vendor.zyr.service.kernel.enable", "1"},
        {"persist.vendor.zyr.dd.uart.enable", "0"},
};

std::string absolute(const std::string& dir) {
    std::string out = dir;
    if (!out.empty() && out[0] != '/') {
        char cwd[PATH_MAX];
        if (getcwd(cwd, sizeof(cwd)) != nullptr) out = std::string(cwd) + "/" + out;
    }
    while (out.size() > 1 && out.back() == '/') out.pop_back();
    return out;
}

// A device manifest fragment declaring package@version::iface/default.
std::string declaration(const char* package, const char* version, const char* iface) {
    return std::string(
                   "<manifest version=\"1.0\" type=\"device\">\n"
                   "    <hal format=\"hidl\">\n"
                   "        <name>") +
           package +
           "</name>\n"
           "        <transport>hwbinder</transport>\n"
           "        <version>" +
           version +
           "</version>\n"
           "        <interface>\n"
           "            <name>" +
           iface +
           "</name>\n"
           "            <instance>default</instance>\n"
           "        </interface>\n"
           "    </hal>\n"
           "</manifest>\n";
}

}  // namespace

Simulator::Simulator(const std::string& root)
    : mAt(std::make_unique<AtState>()),
      mHid(std::make_unique<HidState>()),
      mWatcher(std::make_unique<NodeWatcher>()) {
    mRoot = absolute(root);
    if (mRoot.empty() || mRoot == "/") {
        ALOGE("simulator: refusing root \"%s\"", root.c_str());
        return;
    }
    if (!fs::makeDirs(mRoot)) return;
    // Canonical, so that paths handed out match what realpath() gives.
    char* resolved = realpath(mRoot.c_str(), nullptr);
    if (resolved != nullptr) {
        mRoot = resolved;
        free(resolved);
    }
    if (!mWatcher->start([this](const NodeRecord& r) { onNodeWrite(r); })) return;
    if (!buildTree()) return;
    mWorker = std::thread(&Simulator::workerLoop, this);
    mOk = true;
}

Simulator::~Simulator() {
    {
        std::lock_guard<std::mutex> l(mLock);
        mStopping = true;
    }
    mChanged.notify_all();
    mWorkerWake.notify_all();
    if (mWorker.joinable()) mWorker.join();
    unplugAll();
    mWatcher->stop();
}

std::string Simulator::path(const std::string& logical) const {
    if (logical.empty() || logical[0] != '/') return mRoot + "/" + logical;
    return mRoot + logical;
}

bool Simulator::buildTree() {
    // Leftovers of an earlier run: the generated trees go, the images and
    // data files the caller may have put in place stay.
    fs::removeTree(path("/sys"));
    fs::removeTree(path("/dev/bus"));
    fs::removeTree(path("/dev/__properties__"));
    fs::removeTree(path("/dev/kmsg"));
    for (int i = 0; i < 64; i++) {
        fs::removeTree(path("/dev/ttyACM" + std::to_string(i)));
        fs::removeTree(path("/dev/hidraw" + std::to_string(i)));
    }

    bool ok = fs::makeDirs(path("/dev/bus/usb/001")) && fs::makeDirs(path("/dev/socket")) &&
              fs::makeDirs(path("/dev/__properties__")) && fs::writeFile(path(kKmsgNode), "");
    // The uevent listeners' sockets stand for netlink sockets, which any
    // process may open: every user can add its own, none can remove
    // another's.
    const std::string uevents = path(twcutils::kUeventSocketDir);
    ok = ok && fs::makeDirs(uevents);
    if (ok && chmod(uevents.c_str(), 01777) < 0) {
        ALOGE("chmod %s: %s", uevents.c_str(), strerror(errno));
        ok = false;
    }

    // Root hub of bus 1.
    UsbIdentity hub;
    hub.vendorId = 0x1d6b;
    hub.productId = 0x0002;
    hub.manufacturer = "Linux xhci-hcd";
    hub.product = "xHCI Host Controller";
    hub.serial = "xhci-hcd.0.auto";
    hub.serialFunction = false;
    hub.hidFunction = false;
    std::string hubDesc = deviceDescriptor(hub);
    hubDesc[4] = 0x09;  // hub class
    const std::string usb1 = path("/sys/devices/platform/soc/usb1");
    ok = ok && fs::publishFile(path("/dev/bus/usb/001/001"), hubDesc, 0664) &&
         fs::makeDirs(usb1 + "/power") && fs::writeFile(usb1 + "/idVendor", "1d6b\n") &&
         fs::writeFile(usb1 + "/idProduct", "0002\n") && fs::writeFile(usb1 + "/busnum", "1\n") &&
         fs::writeFile(usb1 + "/devnum", "1\n") &&
         fs::writeFile(usb1 + "/manufacturer", hub.manufacturer + "\n") &&
         fs::writeFile(usb1 + "/product", hub.product + "\n") &&
         fs::writeFile(usb1 + "/serial", hub.serial + "\n") &&
         fs::writeFile(usb1 + "/power/control", "auto\n") &&
         fs::makeDirs(path("/sys/bus/usb/devices")) &&
         fs::relativeSymlink(usb1, path("/sys/bus/usb/devices/usb1")) &&
         fs::makeDirs(path("/sys/class/tty")) && fs::makeDirs(path("/sys/class/hidraw"));

    // The accessory's driver.
    const std::string tw2 = path("/sys/devices/virtual/twinel/tw2");
    ok = ok && fs::makeDirs(tw2) && fs::writeFile(tw2 + "/tw2_pd", "") &&
         fs::writeFile(tw2 + "/tw2_hal_ready", "") && fs::writeFile(tw2 + "/tw2_recovery", "") &&
         fs::makeDirs(path("/sys/class/twinel")) &&
         fs::relativeSymlink(tw2, path("/sys/class/twinel/tw2"));

    // GPIO keys, USB HID parameter, touch driver, wake locks.
    const std::string gpio = path("/sys/devices/platform/soc/soc:gpio_keys");
    const std::string usbhid = path("/sys/module/usbhid/parameters");
    ok = ok && fs::makeDirs(gpio) && fs::writeFile(path(kFirmwareWriteNode), "") &&
         fs::makeDirs(usbhid) && fs::writeFile(path(kAesModeNode), "0\n") &&
         fs::makeDirs(path("/sys/devices/virtual/input/zyr_touch")) &&
         fs::writeFile(path(kTouchUpdateStateNode), "0 0 0\n") &&
         fs::makeDirs(path("/sys/power")) && fs::writeFile(path(kWakeLockNode), "") &&
         writeWakeLocks();

    // Files of the phone's partitions.
    ok = ok && fs::makeDirs(path(kDfuDir)) && fs::makeDirs(path(kTouchDataDir), 0771);

    // The phone's own HALs that the simulator stands in for are declared in
    // the device manifest, as on the phone: a client's getService waits for
    // them until they register, whether or not the simulator serves them.
    const std::string vintf = path("/vendor/etc/vintf/manifest");
    ok = ok && fs::makeDirs(vintf) &&
         fs::writeFile(vintf + "/vendor.zyr.hardware.accessory@1.1-service.xml",
                       declaration("vendor.zyr.hardware.accessory", "1.1", "IAccessory")) &&
         fs::writeFile(vintf + "/vendor.zyr.hardware.lpwg@1.3-service.xml",
                       declaration("vendor.zyr.hardware.lpwg", "1.3", "ILpwg"));

    const std::string store = path(kPropertyStore);
    for (const auto& prop : kDefaultProperties) {
        ok = ok && twcutils::propertyStoreSet(store, prop.first, prop.second);
    }

    ok = ok && mWatcher->watch(tw2, "/sys/class/twinel/tw2") &&
         mWatcher->watch(gpio, "/sys/devices/platform/soc/soc:gpio_keys") &&
         mWatcher->watch(usbhid, "/sys/module/usbhid/parameters");
    if (!ok) ALOGE("simulator: building the tree under %s failed", mRoot.c_str());
    return ok;
}

// ---- records ----

void Simulator::onNodeWrite(const NodeRecord& record) {
    bool recover = false;
    {
        std::lock_guard<std::mutex> l(mLock);
        mNodeRecords.push_back(record);
        if (record.node == kRecoveryNode && !record.value.empty() &&
            (record.value[0] == 'Y' || record.value[0] == 'y' || record.value[0] == '1')) {
            mPendingRecoveries++;
            recover = true;
        }
    }
    ALOGD("write %s: \"%s\"%s", record.node.c_str(), record.value.c_str(),
          record.exact ? "" : " (inexact)");
    mChanged.notify_all();
    if (recover) {
        mWorkerWake.notify_all();
        ALOGI("link recovery requested");
    }
}

std::vector<NodeRecord> Simulator::nodeRecords() const {
    std::lock_guard<std::mutex> l(mLock);
    return mNodeRecords;
}

std::vector<NodeRecord> Simulator::nodeRecords(const std::string& node) const {
    std::lock_guard<std::mutex> l(mLock);
    std::vector<NodeRecord> out;
    for (const NodeRecord& r : mNodeRecords) {
        if (r.node == node) out.push_back(r);
    }
    return out;
}

void Simulator::clearNodeRecords() {
    std::lock_guard<std::mutex> l(mLock);
    mNodeRecords.clear();
}

bool Simulator::waitForNodeRecords(const std::string& node, size_t count, int timeoutMs) const {
    std::unique_lock<std::mutex> l(mLock);
    return mChanged.wait_for(l, std::chrono::milliseconds(timeoutMs), [&] {
        size_t n = 0;
        for (const NodeRecord& r : mNodeRecords) n += r.node == node ? 1 : 0;
        return n >= count;
    });
}

void Simulator::setAtScript(const AtScript& script) {
    std::lock_guard<std::mutex> l(mAt->lock);
    auto& scripts = mAt->scripts;
    for (auto it = scripts.begin(); it != scripts.end(); ++it) {
        if (strcasecmp(it->match.c_str(), script.match.c_str()) == 0) {
            scripts.erase(it);
            break;
        }
    }
    scripts.push_back(script);
}

void Simulator::clearAtScripts() {
    std::lock_guard<std::mutex> l(mAt->lock);
    mAt->scripts.clear();
}

void Simulator::setFirmwareVersion(const std::string& version) {
    std::lock_guard<std::mutex> l(mAt->lock);
    mAt->firmwareVersion = version;
}

std::vector<AtRecord> Simulator::atCommands() const {
    std::lock_guard<std::mutex> l(mAt->lock);
    return mAt->records;
}

void Simulator::clearAtCommands() {
    std::lock_guard<std::mutex> l(mAt->lock);
    mAt->records.clear();
}

int Simulator::waitForAtCommand(const std::string& prefix, int timeoutMs, size_t from) const {
    std::unique_lock<std::mutex> l(mAt->lock);
    int found = -1;
    mAt->changed.wait_for(l, std::chrono::milliseconds(timeoutMs), [&] {
        for (size_t i = from; i < mAt->records.size(); i++) {
            if (startsWithNoCase(mAt->records[i].command, prefix)) {
                found = static_cast<int>(i);
                return true;
            }
        }
        return false;
    });
    return found;
}

std::vector<HidRecord> Simulator::hidRecords() const {
    std::lock_guard<std::mutex> l(mHid->lock);
    return mHid->records;
}

void Simulator::clearHidRecords() {
    std::lock_guard<std::mutex> l(mHid->lock);
    mHid->records.clear();
}

// ---- kernel state ----

bool Simulator::setProperty(const std::string& key, const std::string& value) {
    return twcutils::propertyStoreSet(path(kPropertyStore), key, value);
}

bool Simulator::removeProperty(const std::string& key) {
    return twcutils::propertyStoreRemove(path(kPropertyStore), key);
}

std::string Simulator::property(const std::string& key) const {
    auto props = twcutils::propertyStoreLoad(path(kPropertyStore));
    auto it = props.find(key);
    return it == props.end() ? "" : it->second;
}

bool Simulator::setDisplayOn(bool on) {
    std::lock_guard<std::mutex> l(mLock);
    mDisplayOn = on;
    return writeWakeLocks();
}

bool Simulator::displayOn() const {
    std::lock_guard<std::mutex> l(mLock);
    return mDisplayOn;
}

bool Simulator::writeWakeLocks() {
    // Rewritten in place: the phone watches this inode for IN_MODIFY.
    std::string text = mDisplayOn ? std::string("KeyEvents ") + kDisplayWakeLock + "\n"
                                  : std::string("KeyEvents\n");
    int fd = open(path(kWakeLockNode).c_str(), O_WRONLY | O_CLOEXEC);
    if (fd < 0) {
        ALOGE("wake_lock: %s", strerror(errno));
        return false;
    }
    bool ok = pwrite(fd, text.data(), text.size(), 0) == static_cast<ssize_t>(text.size()) &&
              ftruncate(fd, static_cast<off_t>(text.size())) == 0;
    if (!ok) ALOGE("wake_lock: %s", strerror(errno));
    close(fd);
    return ok;
}

bool Simulator::setTouchUpdateState(const std::string& text) {
    return fs::writeFile(path(kTouchUpdateStateNode), text);
}

std::string Simulator::kernelLog() const {
    std::string text;
    fs::readFile(path(kKmsgNode), &text);
    return text;
}

// ---- link recovery ----

void Simulator::setRecoveryDelayMs(int ms) {
    std::lock_guard<std::mutex> l(mLock);
    mRecoveryDelayMs = ms < 0 ? 0 : ms;
}

int Simulator::recoveryCount() const {
    std::lock_guard<std::mutex> l(mLock);
    return mRecoveries;
}

bool Simulator::waitForRecoveries(int count, int timeoutMs) const {
    std::unique_lock<std::mutex> l(mLock);
    return mChanged.wait_for(l, std::chrono::milliseconds(timeoutMs),
                             [&] { return mRecoveries >= count; });
}

void Simulator::failNextRecoveries(int count) {
    std::lock_guard<std::mutex> l(mLock);
    mRecoveryFailuresToCome = count < 0 ? 0 : count;
}

int Simulator::pendingRecoveryFailures() const {
    std::lock_guard<std::mutex> l(mLock);
    return mRecoveryFailuresToCome;
}

int Simulator::failedRecoveryCount() const {
    std::lock_guard<std::mutex> l(mLock);
    return mFailedRecoveries;
}

void Simulator::scheduleHangUpUnplug(int port, Firmware* firmware) {
    {
        std::lock_guard<std::mutex> l(mLock);
        mHangUps.push_back({port, firmware});
    }
    mWorkerWake.notify_all();
}

void Simulator::workerLoop() {
    std::unique_lock<std::mutex> l(mLock);
    for (;;) {
        mWorkerWake.wait(l,
                         [&] { return mStopping || mPendingRecoveries > 0 || !mHangUps.empty(); });
        if (mStopping) return;
        if (!mHangUps.empty()) {
            std::vector<std::pair<int, Firmware*>> hangUps;
            hangUps.swap(mHangUps);
            l.unlock();
            {
                std::lock_guard<std::mutex> plug(mPlugLock);
                for (const auto& h : hangUps) {
                    auto it = mDevices.find(h.first);
                    if (it == mDevices.end() || it->second->firmware.get() != h.second) continue;
                    ALOGI("port %d hung up: the device leaves the bus", h.first);
                    unplugLocked(h.first);
                }
            }
            l.lock();
            continue;
        }
        // Requests that arrive while one recovery runs are served by it.
        mPendingRecoveries = 0;
        l.unlock();
        reenumerate();
        l.lock();
    }
}

void Simulator::reenumerate() {
    std::vector<std::pair<int, UsbIdentity>> devices;
    {
        std::lock_guard<std::mutex> l(mPlugLock);
        for (const auto& entry : mDevices) devices.push_back({entry.first, entry.second->identity});
        for (const auto& d : devices) unplugLocked(d.first);
    }
    ALOGI("link recovery: %zu device(s) off the bus", devices.size());
    {
        std::unique_lock<std::mutex> l(mLock);
        mWorkerWake.wait_for(l, std::chrono::milliseconds(mRecoveryDelayMs),
                             [&] { return mStopping; });
        if (mStopping) return;
        if (mRecoveryFailuresToCome > 0) {
            mRecoveryFailuresToCome--;
            mFailedRecoveries++;
            l.unlock();
            mChanged.notify_all();
            ALOGI("link recovery: failed, the devices stay off the bus");
            return;
        }
    }
    {
        std::lock_guard<std::mutex> l(mPlugLock);
        for (const auto& d : devices) plugLocked(d.second, d.first);
    }
    {
        std::lock_guard<std::mutex> l(mLock);
        mRecoveries++;
    }
    mChanged.notify_all();
    ALOGI("link recovery: devices back");
}

}  // namespace twsim
