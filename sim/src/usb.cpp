/*
 * Plugging and unplugging USB devices: the usbfs node, the sysfs device with
 * its interfaces, the class links, and the functions behind the nodes.
 *
 * Layout for a device on port P with devnum D (logical paths):
 *   /dev/bus/usb/001/00D                              device descriptor
 *   /sys/devices/platform/soc/usb1/1-P/               idVendor, idProduct, ...
 *   /sys/devices/platform/soc/usb1/1-P/power/control
 *   /sys/bus/usb/devices/1-P -> the device directory
 *   .../1-P/1-P:1.0/tty/ttyACMn/device -> ../../../1-P:1.0
 *   /sys/class/tty/ttyACMn -> .../1-P/1-P:1.0/tty/ttyACMn
 *   .../1-P/1-P:1.2/0003:VVVV:PPPP.NNNN/hidraw/hidrawN/device
 *                                      -> ../../../0003:VVVV:PPPP.NNNN
 *   /sys/class/hidraw/hidrawN -> .../hidraw/hidrawN
 *   /dev/ttyACMn -> /dev/pts/M (the firmware's pty)
 *   /dev/hidrawN                                      socket
 */
#define LOG_TAG "twinel-sim"

#include <errno.h>
#include <log/log.h>
#include <stdio.h>
#include <string.h>
#include <twinit/init.h>
#include <unistd.h>

#include "internal.h"

namespace twsim {

namespace {

constexpr const char* kUsbRoot = "/sys/devices/platform/soc/usb1";

std::string hex4(uint16_t value) {
    char buf[8];
    snprintf(buf, sizeof(buf), "%04x", value);
    return buf;
}

std::string deviceDir(int port) {
    return std::string(kUsbRoot) + "/1-" + std::to_string(port);
}

}  // namespace

std::string usbPowerControlNode(int port) {
    return deviceDir(port) + "/power/control";
}

UsbIdentity accessoryIdentity() {
    return UsbIdentity();
}

UsbIdentity downloadModeIdentity(const std::string& serial, const std::string& product) {
    UsbIdentity id;
    id.vendorId = kDloadVendorId;
    id.productId = kDloadProductId;
    id.manufacturer = "STMicroelectronics";
    id.product = product;
    id.serial = serial;
    id.serialFunction = false;
    id.hidFunction = false;
    return id;
}

std::string deviceDescriptor(const UsbIdentity& id) {
    bool composite = id.serialFunction || id.hidFunction;
    const uint8_t d[18] = {
            18,  // bLength
            1,   // bDescriptorType: device
            0x00,
            0x02,                                           // bcdUSB 2.00
            static_cast<uint8_t>(composite ? 0xef : 0x00),  // class: misc (IAD)
            static_cast<uint8_t>(composite ? 0x02 : 0x00),
            static_cast<uint8_t>(composite ? 0x01 : 0x00),
            64,  // bMaxPacketSize0
            static_cast<uint8_t>(id.vendorId & 0xff),
            static_cast<uint8_t>(id.vendorId >> 8),
            static_cast<uint8_t>(id.productId & 0xff),
            static_cast<uint8_t>(id.productId >> 8),
            0x00,
            0x01,  // bcdDevice 1.00
            static_cast<uint8_t>(id.manufacturer.empty() ? 0 : 1),
            static_cast<uint8_t>(id.product.empty() ? 0 : 2),
            static_cast<uint8_t>(id.serial.empty() ? 0 : 3),
            1,  // bNumConfigurations
    };
    return std::string(reinterpret_cast<const char*>(d), sizeof(d));
}

bool Simulator::plug(const UsbIdentity& identity, int port) {
    std::lock_guard<std::mutex> l(mPlugLock);
    return plugLocked(identity, port);
}

bool Simulator::unplug(int port) {
    std::lock_guard<std::mutex> l(mPlugLock);
    return unplugLocked(port);
}

void Simulator::unplugAll() {
    std::lock_guard<std::mutex> l(mPlugLock);
    while (!mDevices.empty()) unplugLocked(mDevices.begin()->first);
}

bool Simulator::isPlugged(int port) const {
    std::lock_guard<std::mutex> l(mPlugLock);
    return mDevices.count(port) != 0;
}

bool Simulator::plugDownloadMode(const std::string& serial, const std::string& product, int port) {
    std::lock_guard<std::mutex> l(mPlugLock);
    unplugLocked(port);
    return plugLocked(downloadModeIdentity(serial, product), port);
}

std::string Simulator::usbDeviceName(int port) const {
    std::lock_guard<std::mutex> l(mPlugLock);
    auto it = mDevices.find(port);
    if (it == mDevices.end()) return "";
    char name[64];
    snprintf(name, sizeof(name), "/dev/bus/usb/001/%03d", it->second->devnum);
    return name;
}

bool Simulator::sendLog(const std::string& line, int port) {
    std::lock_guard<std::mutex> l(mPlugLock);
    auto it = mDevices.find(port);
    if (it == mDevices.end() || !it->second->firmware) return false;
    return it->second->firmware->sendLog(line);
}

bool Simulator::dtr(int port) const {
    std::lock_guard<std::mutex> l(mPlugLock);
    auto it = mDevices.find(port);
    return it != mDevices.end() && it->second->firmware && it->second->firmware->dtr();
}

bool Simulator::waitForDtr(bool up, int timeoutMs, int port) const {
    auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        if (dtr(port) == up) return true;
        if (Clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

bool Simulator::echoEnabled(int port) const {
    std::lock_guard<std::mutex> l(mPlugLock);
    auto it = mDevices.find(port);
    return it != mDevices.end() && it->second->firmware && it->second->firmware->echo();
}

bool Simulator::plugLocked(const UsbIdentity& id, int port) {
    if (!mOk) return false;
    if (port < 1 || port > 15) {
        ALOGE("plug: no port %d", port);
        return false;
    }
    if (mDevices.count(port) != 0) {
        ALOGE("plug: port %d is taken", port);
        return false;
    }
    if ((id.serialFunction && (id.ttyIndex < 0 || id.ttyIndex > 63)) ||
        (id.hidFunction && (id.hidrawIndex < 0 || id.hidrawIndex > 63))) {
        ALOGE("plug: node index out of range");
        return false;
    }
    for (const auto& entry : mDevices) {
        const UsbIdentity& other = entry.second->identity;
        if ((id.serialFunction && other.serialFunction && other.ttyIndex == id.ttyIndex) ||
            (id.hidFunction && other.hidFunction && other.hidrawIndex == id.hidrawIndex)) {
            ALOGE("plug: node index already used by the device on port %d", entry.first);
            return false;
        }
    }

    auto owned = std::make_unique<PluggedDevice>();
    PluggedDevice* dev = owned.get();
    dev->port = port;
    dev->identity = id;
    dev->devnum = mNextDevnum;
    mNextDevnum = mNextDevnum >= 127 ? 2 : mNextDevnum + 1;
    mDevices[port] = std::move(owned);

    const std::string p = std::to_string(port);
    const std::string base = deviceDir(port);
    bool ok = true;

    // When the system was started from its .rc, each node gets the owner and
    // mode ueventd gives it before it appears where the phone looks for it:
    // the sysfs files before the /dev nodes, and each /dev node before its
    // name exists.
    twinit::NodeRules rules;
    const bool ownNodes = twinit::loadInstalledUeventd(mRoot, &rules);
    auto ownSysfs = [&] { return !ownNodes || rules.applyTree(mRoot, base); };
    auto ownNode = [&](const std::string& logical, const std::string& real) {
        return !ownNodes || rules.apply(logical, real);
    };

    // The USB device itself.
    dev->sysfsDir = path(base);
    ok = ok && fs::makeDirs(dev->sysfsDir + "/power");
    ok = ok && fs::writeFile(dev->sysfsDir + "/idVendor", hex4(id.vendorId) + "\n");
    ok = ok && fs::writeFile(dev->sysfsDir + "/idProduct", hex4(id.productId) + "\n");
    ok = ok && fs::writeFile(dev->sysfsDir + "/bcdDevice", "0100\n");
    ok = ok && fs::writeFile(dev->sysfsDir + "/busnum", "1\n");
    ok = ok && fs::writeFile(dev->sysfsDir + "/devnum", std::to_string(dev->devnum) + "\n");
    ok = ok && fs::writeFile(dev->sysfsDir + "/speed", "480\n");
    if (id.answersStrings) {
        if (!id.manufacturer.empty()) {
            ok = ok && fs::writeFile(dev->sysfsDir + "/manufacturer", id.manufacturer + "\n");
        }
        if (!id.product.empty()) {
            ok = ok && fs::writeFile(dev->sysfsDir + "/product", id.product + "\n");
        }
        if (!id.serial.empty()) {
            ok = ok && fs::writeFile(dev->sysfsDir + "/serial", id.serial + "\n");
        }
    }
    ok = ok && fs::writeFile(dev->sysfsDir + "/power/control", "on\n");
    ok = ok && fs::writeFile(dev->sysfsDir + "/power/autosuspend_delay_ms", "2000\n");
    if (ok) {
        dev->busLink = path("/sys/bus/usb/devices/1-" + p);
        ok = fs::relativeSymlink(dev->sysfsDir, dev->busLink);
    }
    // Watched only now: the files written above are not the phone's writes.
    ok = ok && mWatcher->watch(dev->sysfsDir + "/power", base + "/power") && ownSysfs();
    if (ok) {
        char node[64];
        snprintf(node, sizeof(node), "/dev/bus/usb/001/%03d", dev->devnum);
        ok = fs::publishFile(path(node), deviceDescriptor(id), 0664,
                             [&](const std::string& tmp) { return ownNode(node, tmp); });
        if (ok) dev->usbfsNode = path(node);
    }

    // CDC-ACM function: communication interface 0, data interface 1.
    if (ok && id.serialFunction) {
        const std::string tty = "ttyACM" + std::to_string(id.ttyIndex);
        const std::string iface = base + "/1-" + p + ":1.0";
        const std::string ttyDir = iface + "/tty/" + tty;
        ok = fs::makeDirs(path(ttyDir)) && fs::makeDirs(path(base + "/1-" + p + ":1.1")) &&
             fs::writeFile(path(iface + "/bInterfaceClass"), "02\n") &&
             fs::writeFile(path(base + "/1-" + p + ":1.1/bInterfaceClass"), "0a\n") &&
             fs::writeFile(path(ttyDir + "/dev"), "166:" + std::to_string(id.ttyIndex) + "\n") &&
             fs::relativeSymlink(path(iface), path(ttyDir + "/device"));
        if (ok) {
            dev->ttyClassLink = path("/sys/class/tty/" + tty);
            ok = fs::relativeSymlink(path(ttyDir), dev->ttyClassLink);
        }
        if (ok) {
            dev->firmware = std::make_unique<Firmware>(*mAt, port);
            ok = dev->firmware->start(path(kPtyModemDir), [this, port](Firmware* firmware) {
                scheduleHangUpUnplug(port, firmware);
            });
        }
        ok = ok && ownSysfs() && ownNode("/dev/" + tty, dev->firmware->slavePath());
        if (ok) {
            std::string node = path("/dev/" + tty);
            unlink(node.c_str());
            ok = symlink(dev->firmware->slavePath().c_str(), node.c_str()) == 0;
            if (ok) {
                dev->ttyNode = node;
            } else {
                ALOGE("plug: symlink %s: %s", node.c_str(), strerror(errno));
            }
        }
    }

    // HID function: interface 2.
    if (ok && id.hidFunction) {
        char hidName[32];
        snprintf(hidName, sizeof(hidName), "0003:%04X:%04X.%04X", id.vendorId, id.productId,
                 mNextHidId & 0xffff);
        mNextHidId++;
        const std::string raw = "hidraw" + std::to_string(id.hidrawIndex);
        const std::string iface = base + "/1-" + p + ":1.2";
        const std::string hidDir = iface + "/" + hidName;
        const std::string rawDir = hidDir + "/hidraw/" + raw;
        ok = fs::makeDirs(path(rawDir)) &&
             fs::writeFile(path(iface + "/bInterfaceClass"), "03\n") &&
             fs::writeFile(path(rawDir + "/dev"), "244:" + std::to_string(id.hidrawIndex) + "\n") &&
             fs::relativeSymlink(path(hidDir), path(rawDir + "/device"));
        if (ok) {
            dev->hidClassLink = path("/sys/class/hidraw/" + raw);
            ok = fs::relativeSymlink(path(rawDir), dev->hidClassLink);
        }
        ok = ok && ownSysfs();
        if (ok) {
            dev->hid = std::make_unique<HidFunction>(*mHid);
            std::string node = path("/dev/" + raw);
            unlink(node.c_str());
            ok = dev->hid->start(
                    node, [&](const std::string& tmp) { return ownNode("/dev/" + raw, tmp); });
            if (ok) dev->hidNode = node;
        }
    }

    if (!ok) {
        ALOGE("plug: port %d failed; undoing", port);
        unplugLocked(port);
        return false;
    }
    ALOGI("plugged %04x:%04x on port %d as devnum %d", id.vendorId, id.productId, port,
          dev->devnum);
    return true;
}

bool Simulator::unplugLocked(int port) {
    auto it = mDevices.find(port);
    if (it == mDevices.end()) return false;
    std::unique_ptr<PluggedDevice> dev = std::move(it->second);
    mDevices.erase(it);

    // The tty hangs up first, then the nodes go, then the device.
    if (dev->firmware) dev->firmware->stop();
    if (!dev->ttyNode.empty()) unlink(dev->ttyNode.c_str());
    if (dev->hid) dev->hid->stop();
    if (!dev->ttyClassLink.empty()) unlink(dev->ttyClassLink.c_str());
    if (!dev->hidClassLink.empty()) unlink(dev->hidClassLink.c_str());
    if (!dev->usbfsNode.empty()) unlink(dev->usbfsNode.c_str());
    if (!dev->busLink.empty()) unlink(dev->busLink.c_str());
    if (!dev->sysfsDir.empty()) {
        mWatcher->unwatch(dev->sysfsDir + "/power");
        fs::removeTree(dev->sysfsDir);
    }
    ALOGI("unplugged port %d", port);
    return true;
}

}  // namespace twsim
