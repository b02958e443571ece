/*
 * libusbhost over usbfs under the device root: inotify on /dev/bus/usb for
 * hotplug, device descriptors read from the nodes, strings by control
 * transfer or from sysfs.
 */
#define LOG_TAG "usbhost"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <linux/usbdevice_fs.h>
#include <log/log.h>
#include <poll.h>
#include <stdlib.h>
#include <string.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <time.h>
#include <twdevice/device.h>
#include <unistd.h>
#include <usbhost/usbhost.h>

#include <algorithm>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr const char* kDevDir = "/dev";
constexpr const char* kBusDir = "/dev/bus";
constexpr const char* kUsbDir = "/dev/bus/usb";
constexpr const char* kSysfsDevices = "/sys/bus/usb/devices";
constexpr uint32_t kWatchMask = IN_CREATE | IN_DELETE | IN_MOVED_TO | IN_MOVED_FROM;
constexpr size_t kMaxDescriptors = 4096;
constexpr int kSysfsRetryMs = 10;

int64_t nowMs() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

bool allDigits(const std::string& name) {
    return !name.empty() &&
           std::all_of(name.begin(), name.end(), [](char c) { return c >= '0' && c <= '9'; });
}

std::vector<std::string> listDir(const std::string& logicalDir, bool wantDirs) {
    std::vector<std::string> names;
    DIR* dir = twdevice::opendir(logicalDir.c_str());
    if (dir == nullptr) return names;
    while (struct dirent* de = readdir(dir)) {
        std::string name = de->d_name;
        if (!allDigits(name)) continue;
        struct stat st;
        if (twdevice::stat((logicalDir + "/" + name).c_str(), &st) < 0) continue;
        if (S_ISDIR(st.st_mode) != wantDirs) continue;
        names.push_back(name);
    }
    closedir(dir);
    std::sort(names.begin(), names.end());
    return names;
}

struct HostState {
    int inotifyFd = -1;
    int wakeFd = -1;

    std::mutex lock;
    std::condition_variable idle;
    bool running = false;
    bool stopRequested = false;
    std::thread::id runner;

    usb_device_added_cb added = nullptr;
    usb_device_removed_cb removed = nullptr;
    usb_discovery_done_cb discoveryDone = nullptr;
    void* client = nullptr;

    std::map<int, std::string> watches;  // watch descriptor -> logical directory
    std::set<std::string> known;         // devices reported present

    ~HostState() {
        if (inotifyFd >= 0) close(inotifyFd);
        if (wakeFd >= 0) close(wakeFd);
    }

    bool stopping() {
        std::lock_guard<std::mutex> l(lock);
        return stopRequested;
    }

    void watch(const std::string& dir) {
        int wd = twdevice::inotifyAddWatch(inotifyFd, dir.c_str(), kWatchMask);
        if (wd >= 0) watches[wd] = dir;
    }

    // Returns true when the callback asked to stop.
    bool reportAdded(const std::string& name) {
        if (!known.insert(name).second) return false;
        return added != nullptr && added(name.c_str(), client) != 0;
    }

    bool reportRemoved(const std::string& name) {
        if (known.erase(name) == 0) return false;
        return removed != nullptr && removed(name.c_str(), client) != 0;
    }

    // Brings the watches up to date with the tree and reports every device
    // that appeared or vanished since the last look.
    bool sync() {
        watch(kDevDir);
        std::set<std::string> present;
        struct stat st;
        if (twdevice::stat(kBusDir, &st) == 0 && S_ISDIR(st.st_mode)) {
            watch(kBusDir);
            if (twdevice::stat(kUsbDir, &st) == 0 && S_ISDIR(st.st_mode)) {
                watch(kUsbDir);
                for (const std::string& bus : listDir(kUsbDir, true)) {
                    std::string busDir = std::string(kUsbDir) + "/" + bus;
                    watch(busDir);
                    for (const std::string& dev : listDir(busDir, false)) {
                        present.insert(busDir + "/" + dev);
                    }
                }
            }
        }
        std::vector<std::string> gone;
        for (const std::string& name : known) {
            if (present.count(name) == 0) gone.push_back(name);
        }
        for (const std::string& name : gone) {
            if (reportRemoved(name)) return true;
        }
        for (const std::string& name : present) {
            if (reportAdded(name)) return true;
        }
        return false;
    }

    bool removeUnder(const std::string& busDir) {
        std::vector<std::string> gone;
        for (const std::string& name : known) {
            if (name.compare(0, busDir.size() + 1, busDir + "/") == 0) gone.push_back(name);
        }
        for (const std::string& name : gone) {
            if (reportRemoved(name)) return true;
        }
        return false;
    }

    // 1 when a callback asked to stop, 0 to go on, -1 on a read error.
    int readEvents() {
        alignas(struct inotify_event) char buf[4096];
        ssize_t len = read(inotifyFd, buf, sizeof(buf));
        if (len < 0) {
            if (errno == EAGAIN || errno == EINTR) return 0;
            ALOGE("inotify read: %s", strerror(errno));
            return -1;
        }
        bool needSync = false;
        for (ssize_t off = 0; off + static_cast<ssize_t>(sizeof(struct inotify_event)) <= len;) {
            const auto* ev = reinterpret_cast<const struct inotify_event*>(buf + off);
            off += sizeof(struct inotify_event) + ev->len;
            if (ev->mask & IN_Q_OVERFLOW) {
                needSync = true;
                continue;
            }
            if (ev->mask & IN_IGNORED) {
                watches.erase(ev->wd);
                continue;
            }
            auto it = watches.find(ev->wd);
            if (it == watches.end() || ev->len == 0) continue;
            const std::string& dir = it->second;
            std::string name = ev->name;
            bool appeared = ev->mask & (IN_CREATE | IN_MOVED_TO);
            bool vanished = ev->mask & (IN_DELETE | IN_MOVED_FROM);
            bool isDir = ev->mask & IN_ISDIR;
            if ((dir == kDevDir && name == "bus") || (dir == kBusDir && name == "usb")) {
                if (appeared) needSync = true;
            } else if (dir == kUsbDir) {
                if (!allDigits(name) || !isDir) continue;
                if (appeared) needSync = true;
                if (vanished && removeUnder(dir + "/" + name)) return 1;
            } else if (dir.compare(0, strlen(kUsbDir) + 1, std::string(kUsbDir) + "/") == 0) {
                if (!allDigits(name) || isDir) continue;
                std::string dev = dir + "/" + name;
                if (appeared && reportAdded(dev)) return 1;
                if (vanished && reportRemoved(dev)) return 1;
            }
        }
        if (needSync && sync()) return 1;
        return 0;
    }
};

}  // namespace

struct usb_host_context {
    std::shared_ptr<HostState> state;
};

struct usb_device {
    std::string name;
    int fd = -1;
    bool writable = false;
    std::vector<uint8_t> desc;
};

namespace {

std::mutex gContextsLock;
std::set<usb_host_context*> gContexts;

std::shared_ptr<HostState> lookup(usb_host_context* context) {
    std::lock_guard<std::mutex> l(gContextsLock);
    if (context == nullptr || gContexts.count(context) == 0) return nullptr;
    return context->state;
}

int load(HostState* state, usb_device_added_cb added_cb, usb_device_removed_cb removed_cb,
         usb_discovery_done_cb discovery_done_cb, void* client_data) {
    state->added = added_cb;
    state->removed = removed_cb;
    state->discoveryDone = discovery_done_cb;
    state->client = client_data;
    bool done = state->sync();
    if (!done && discovery_done_cb != nullptr) done = discovery_done_cb(client_data) != 0;
    return done ? 1 : 0;
}

bool readSmallFile(const std::string& logicalPath, std::string* out) {
    int fd = twdevice::open(logicalPath.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    char buf[256];
    ssize_t n = TEMP_FAILURE_RETRY(read(fd, buf, sizeof(buf) - 1));
    close(fd);
    if (n < 0) return false;
    out->assign(buf, static_cast<size_t>(n));
    while (!out->empty() && (out->back() == '\n' || out->back() == '\r')) out->pop_back();
    return true;
}

bool parseName(const std::string& name, int* bus, int* dev) {
    size_t last = name.rfind('/');
    if (last == std::string::npos || last == 0) return false;
    size_t prev = name.rfind('/', last - 1);
    if (prev == std::string::npos) return false;
    std::string b = name.substr(prev + 1, last - prev - 1);
    std::string d = name.substr(last + 1);
    if (!allDigits(b) || !allDigits(d) || b.size() > 6 || d.size() > 6) return false;
    *bus = atoi(b.c_str());
    *dev = atoi(d.c_str());
    return true;
}

// Finds the sysfs device directory whose busnum/devnum match.
std::string findSysfsDevice(int bus, int dev) {
    DIR* dir = twdevice::opendir(kSysfsDevices);
    if (dir == nullptr) return "";
    std::string found;
    while (struct dirent* de = readdir(dir)) {
        std::string entry = de->d_name;
        if (entry.empty() || entry[0] == '.' || entry.find(':') != std::string::npos) continue;
        std::string base = std::string(kSysfsDevices) + "/" + entry;
        std::string busnum, devnum;
        if (!readSmallFile(base + "/busnum", &busnum) ||
            !readSmallFile(base + "/devnum", &devnum)) {
            continue;
        }
        if (allDigits(busnum) && allDigits(devnum) && atoi(busnum.c_str()) == bus &&
            atoi(devnum.c_str()) == dev) {
            found = base;
            break;
        }
    }
    closedir(dir);
    return found;
}

char* sysfsString(usb_device* device, int id, int64_t deadline) {
    const auto* d = reinterpret_cast<const usb_device_descriptor*>(device->desc.data());
    const char* attr = nullptr;
    if (id == d->iSerialNumber) {
        attr = "serial";
    } else if (id == d->iProduct) {
        attr = "product";
    } else if (id == d->iManufacturer) {
        attr = "manufacturer";
    }
    int bus = 0, dev = 0;
    if (attr == nullptr || !parseName(device->name, &bus, &dev)) {
        errno = EINVAL;
        return nullptr;
    }
    for (;;) {
        std::string base = findSysfsDevice(bus, dev);
        std::string value;
        if (!base.empty() && readSmallFile(base + "/" + attr, &value)) return strdup(value.c_str());
        int64_t left = deadline - nowMs();
        if (left <= 0) {
            errno = ETIMEDOUT;
            return nullptr;
        }
        usleep(static_cast<useconds_t>(std::min<int64_t>(left, kSysfsRetryMs) * 1000));
    }
}

// UTF-16LE string descriptor body to UTF-8.
char* decodeString(const uint8_t* body, size_t bytes) {
    std::string out;
    for (size_t i = 0; i + 1 < bytes; i += 2) {
        unsigned int c = body[i] | (body[i + 1] << 8);
        if (c == 0) break;
        if (c < 0x80) {
            out += static_cast<char>(c);
        } else if (c < 0x800) {
            out += static_cast<char>(0xc0 | (c >> 6));
            out += static_cast<char>(0x80 | (c & 0x3f));
        } else {
            out += static_cast<char>(0xe0 | (c >> 12));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3f));
            out += static_cast<char>(0x80 | (c & 0x3f));
        }
    }
    return strdup(out.c_str());
}

}  // namespace

extern "C" {

struct usb_host_context* usb_host_init(void) {
    auto state = std::make_shared<HostState>();
    state->inotifyFd = inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
    if (state->inotifyFd < 0) {
        ALOGE("inotify_init failed: %s", strerror(errno));
        return nullptr;
    }
    state->wakeFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (state->wakeFd < 0) {
        ALOGE("eventfd failed: %s", strerror(errno));
        return nullptr;
    }
    auto* context = new usb_host_context{state};
    std::lock_guard<std::mutex> l(gContextsLock);
    gContexts.insert(context);
    return context;
}

void usb_host_cleanup(struct usb_host_context* context) {
    {
        std::lock_guard<std::mutex> l(gContextsLock);
        if (context == nullptr || gContexts.erase(context) == 0) return;
    }
    std::shared_ptr<HostState> state = context->state;
    delete context;
    std::unique_lock<std::mutex> l(state->lock);
    state->stopRequested = true;
    if (state->running && state->runner != std::this_thread::get_id()) {
        uint64_t one = 1;
        if (write(state->wakeFd, &one, sizeof(one)) < 0) {
            ALOGE("cannot wake the USB host loop: %s", strerror(errno));
        }
        state->idle.wait(l, [&] { return !state->running; });
    }
}

int usb_host_get_fd(struct usb_host_context* context) {
    std::shared_ptr<HostState> state = lookup(context);
    return state ? state->inotifyFd : -1;
}

int usb_host_load(struct usb_host_context* context, usb_device_added_cb added_cb,
                  usb_device_removed_cb removed_cb, usb_discovery_done_cb discovery_done_cb,
                  void* client_data) {
    std::shared_ptr<HostState> state = lookup(context);
    if (!state) {
        errno = EINVAL;
        return -1;
    }
    return load(state.get(), added_cb, removed_cb, discovery_done_cb, client_data);
}

int usb_host_read_event(struct usb_host_context* context) {
    std::shared_ptr<HostState> state = lookup(context);
    if (!state || state->stopping()) return 1;
    return state->readEvents();
}

void usb_host_run(struct usb_host_context* context, usb_device_added_cb added_cb,
                  usb_device_removed_cb removed_cb, usb_discovery_done_cb discovery_done_cb,
                  void* client_data) {
    std::shared_ptr<HostState> state = lookup(context);
    if (!state) return;
    {
        std::lock_guard<std::mutex> l(state->lock);
        if (state->stopRequested || state->running) return;
        state->running = true;
        state->runner = std::this_thread::get_id();
    }
    bool done = load(state.get(), added_cb, removed_cb, discovery_done_cb, client_data) != 0;
    while (!done && !state->stopping()) {
        struct pollfd fds[2] = {{state->inotifyFd, POLLIN, 0}, {state->wakeFd, POLLIN, 0}};
        int ret = poll(fds, 2, -1);
        if (ret < 0) {
            if (errno == EINTR) continue;
            ALOGE("poll failed: %s", strerror(errno));
            break;
        }
        if (fds[1].revents) break;
        if (fds[0].revents & POLLIN) {
            int result = state->readEvents();
            if (result != 0) break;
        } else if (fds[0].revents) {
            ALOGE("inotify descriptor failed (revents 0x%x)", fds[0].revents);
            break;
        }
    }
    {
        std::lock_guard<std::mutex> l(state->lock);
        state->running = false;
    }
    state->idle.notify_all();
}

struct usb_device* usb_device_open(const char* dev_name) {
    if (dev_name == nullptr) {
        errno = EINVAL;
        return nullptr;
    }
    int fd = twdevice::open(dev_name, O_RDWR | O_CLOEXEC);
    bool writable = true;
    if (fd < 0) {
        fd = twdevice::open(dev_name, O_RDONLY | O_CLOEXEC);
        writable = false;
    }
    if (fd < 0) return nullptr;
    usb_device* device = usb_device_new(dev_name, fd);
    if (device != nullptr) device->writable = writable;
    return device;
}

struct usb_device* usb_device_new(const char* dev_name, int fd) {
    if (dev_name == nullptr || fd < 0) {
        errno = EINVAL;
        return nullptr;
    }
    auto* device = new usb_device;
    device->name = dev_name;
    device->fd = fd;
    device->desc.resize(kMaxDescriptors);
    size_t have = 0;
    lseek(fd, 0, SEEK_SET);
    while (have < kMaxDescriptors) {
        ssize_t n = read(fd, device->desc.data() + have, kMaxDescriptors - have);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        have += static_cast<size_t>(n);
    }
    device->desc.resize(have);
    if (have < sizeof(usb_device_descriptor) || device->desc[0] < USB_DT_DEVICE_SIZE ||
        device->desc[1] != USB_DT_DEVICE) {
        ALOGE("%s: no device descriptor (%zu bytes)", dev_name, have);
        close(fd);
        delete device;
        errno = EINVAL;
        return nullptr;
    }
    return device;
}

void usb_device_close(struct usb_device* device) {
    if (device == nullptr) return;
    close(device->fd);
    delete device;
}

const char* usb_device_get_name(struct usb_device* device) {
    return device != nullptr ? device->name.c_str() : nullptr;
}

int usb_device_get_fd(struct usb_device* device) {
    return device != nullptr ? device->fd : -1;
}

int usb_device_get_unique_id(struct usb_device* device) {
    int bus = 0, dev = 0;
    if (device == nullptr || !parseName(device->name, &bus, &dev)) return -1;
    return bus * 1000 + dev;
}

const struct usb_device_descriptor* usb_device_get_device_descriptor(struct usb_device* device) {
    if (device == nullptr) return nullptr;
    return reinterpret_cast<const usb_device_descriptor*>(device->desc.data());
}

uint16_t usb_device_get_vendor_id(struct usb_device* device) {
    if (device == nullptr) return 0;
    return static_cast<uint16_t>(device->desc[8] | (device->desc[9] << 8));
}

uint16_t usb_device_get_product_id(struct usb_device* device) {
    if (device == nullptr) return 0;
    return static_cast<uint16_t>(device->desc[10] | (device->desc[11] << 8));
}

int usb_device_control_transfer(struct usb_device* device, int requestType, int request, int value,
                                int index, void* buffer, int length, unsigned int timeout) {
    if (device == nullptr || length < 0 || length > 0xffff || (length > 0 && buffer == nullptr)) {
        errno = EINVAL;
        return -1;
    }
    struct usbdevfs_ctrltransfer ctrl;
    memset(&ctrl, 0, sizeof(ctrl));
    ctrl.bRequestType = static_cast<uint8_t>(requestType);
    ctrl.bRequest = static_cast<uint8_t>(request);
    ctrl.wValue = static_cast<uint16_t>(value);
    ctrl.wIndex = static_cast<uint16_t>(index);
    ctrl.wLength = static_cast<uint16_t>(length);
    ctrl.timeout = timeout;
    ctrl.data = buffer;
    return twdevice::ioctl(device->fd, USBDEVFS_CONTROL, &ctrl);
}

char* usb_device_get_string(struct usb_device* device, int id, int timeout_ms) {
    if (device == nullptr || id <= 0 || id > 255) return nullptr;
    int64_t deadline = nowMs() + (timeout_ms > 0 ? timeout_ms : 0);
    uint8_t languages[256];
    memset(languages, 0, sizeof(languages));
    int result = usb_device_control_transfer(
            device, USB_DIR_IN | USB_TYPE_STANDARD | USB_RECIP_DEVICE, USB_REQ_GET_DESCRIPTOR,
            (USB_DT_STRING << 8) | 0, 0, languages, sizeof(languages),
            static_cast<unsigned int>(timeout_ms > 0 ? timeout_ms : 0));
    if (result < 0 && errno == ENOTTY) return sysfsString(device, id, deadline);
    if (result < 4) return nullptr;
    int count = (result - 2) / 2;
    for (int i = 1; i <= count; i++) {
        int64_t left = deadline - nowMs();
        if (timeout_ms > 0 && left <= 0) break;
        int language = languages[2 * i] | (languages[2 * i + 1] << 8);
        uint8_t buffer[256];
        memset(buffer, 0, sizeof(buffer));
        result = usb_device_control_transfer(
                device, USB_DIR_IN | USB_TYPE_STANDARD | USB_RECIP_DEVICE, USB_REQ_GET_DESCRIPTOR,
                (USB_DT_STRING << 8) | id, language, buffer, sizeof(buffer),
                static_cast<unsigned int>(timeout_ms > 0 ? left : 0));
        if (result > 2) return decodeString(buffer + 2, static_cast<size_t>(result - 2));
    }
    return nullptr;
}

char* usb_device_get_manufacturer_name(struct usb_device* device, int timeout_ms) {
    const usb_device_descriptor* d = usb_device_get_device_descriptor(device);
    return d != nullptr ? usb_device_get_string(device, d->iManufacturer, timeout_ms) : nullptr;
}

char* usb_device_get_product_name(struct usb_device* device, int timeout_ms) {
    const usb_device_descriptor* d = usb_device_get_device_descriptor(device);
    return d != nullptr ? usb_device_get_string(device, d->iProduct, timeout_ms) : nullptr;
}

char* usb_device_get_serial(struct usb_device* device, int timeout_ms) {
    const usb_device_descriptor* d = usb_device_get_device_descriptor(device);
    return d != nullptr ? usb_device_get_string(device, d->iSerialNumber, timeout_ms) : nullptr;
}

}  // extern "C"
