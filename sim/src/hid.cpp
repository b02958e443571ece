/*
 * The accessory's HID function: a SOCK_SEQPACKET socket at dev/hidrawN that
 * answers the messages of <twdevice/hidraw_seam.h>.
 *
 * Feature report 2 describes the sub display (a chosen panel), feature
 * report 3 holds its configuration (every one set is recorded), output
 * report 2 carries frame data: uint16 length and uint32 offset after the
 * report number, then the data, which land at their offset in the frame
 * being assembled (a report whose header does not fit is taken and
 * dropped); a report of length 0 completes that frame. Every request
 * is recorded. Writes and feature requests can be made to fail, and every
 * answer can be delayed. The last complete frame can be rendered as a 4-bit
 * grey PNG of the panel.
 */
#define LOG_TAG "twinel-sim"
#define ATRACE_TAG ATRACE_TAG_HAL

#include <cutils/trace.h>
#include <errno.h>
#include <fcntl.h>
#include <log/log.h>
#include <png.h>
#include <poll.h>
#include <stdio.h>
#include <string.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <twdevice/hidraw_seam.h>
#include <unistd.h>

#include <algorithm>

#include "internal.h"

namespace twsim {

namespace {

constexpr size_t kMaxHidRecords = 4096;
constexpr size_t kMaxConfigReports = 4096;
constexpr uint8_t kInfoReport = 2;
constexpr uint8_t kConfigReport = 3;
constexpr uint8_t kFrameReport = 2;
constexpr size_t kInfoSize = 7;
constexpr size_t kConfigSize = 3;
constexpr size_t kFrameHeader = 7;
// Largest panel rendered as a picture.
constexpr uint64_t kMaxPngPixels = 1u << 24;

std::vector<uint8_t> reply(int32_t result, const uint8_t* data = nullptr, size_t len = 0) {
    std::vector<uint8_t> out(twdevice::hidseam::kReplyHeader + len);
    memcpy(out.data(), &result, sizeof(result));
    if (len > 0) memcpy(out.data() + twdevice::hidseam::kReplyHeader, data, len);
    return out;
}

const char* requestName(uint8_t op, uint8_t report) {
    using namespace twdevice::hidseam;
    switch (op) {
        case kGetFeature:
            return report == kInfoReport ? "HID get info report" : "HID get feature report";
        case kSetFeature:
            return report == kConfigReport ? "HID set config report" : "HID set feature report";
        case kOutputReport:
            return "HID frame report";
        default:
            return "HID request";
    }
}

// Ends a request's slice with its size and the answer's result.
void traceAnswer(size_t bytes, const std::vector<uint8_t>& answer) {
    int32_t result = 0;
    if (answer.size() >= sizeof(result)) memcpy(&result, answer.data(), sizeof(result));
    std::string args = "bytes=" + std::to_string(bytes) + " result=" + std::to_string(result);
    ATRACE_BEGIN(args.c_str());
    ATRACE_END();
    ATRACE_END();
}

// Pixel i of a frame packed for a panel of `pixels` pixels: pair i / 2 is in
// byte pixels / 2 - 1 - i / 2, the even pixel in the high nibble.
uint8_t framePixel(const std::vector<uint8_t>& data, size_t pixels, size_t i) {
    size_t half = pixels / 2;
    size_t pair = i / 2;
    if (pair >= half) return 0;  // an odd panel's last pixel has no pair
    size_t byte = half - 1 - pair;
    if (byte >= data.size()) return 0;
    return (i % 2 == 0) ? static_cast<uint8_t>(data[byte] >> 4)
                        : static_cast<uint8_t>(data[byte] & 0x0f);
}

// Waits `ms` milliseconds unless `wakeFd` wakes first or `stop` is set;
// false when asked to stop.
bool pauseUnlessStopped(int wakeFd, const std::atomic<bool>& stop, int ms) {
    if (ms <= 0) return !stop.load();
    auto end = Clock::now() + std::chrono::milliseconds(ms);
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now());
        if (left.count() <= 0) return !stop.load();
        struct pollfd pfd = {wakeFd, POLLIN, 0};
        int ret = poll(&pfd, 1, static_cast<int>(left.count()));
        if (ret < 0 && errno != EINTR) return !stop.load();
        if (ret > 0 || stop.load()) return false;
    }
}

}  // namespace

void HidState::resetAssembly() {
    std::fill(assembly.begin(), assembly.end(), 0);
    assembled = 0;
}

std::vector<uint8_t> HidState::handle(const uint8_t* message, size_t length) {
    using namespace twdevice::hidseam;
    if (length < kRequestHeader + 1) return reply(-EINVAL);
    uint8_t op = message[0];
    const uint8_t* report = message + kRequestHeader;
    size_t n = length - kRequestHeader;

    std::lock_guard<std::mutex> l(lock);
    if (records.size() >= kMaxHidRecords) {
        // The oldest quarter goes at once: no move of the whole list per
        // request when frames stream.
        size_t drop = kMaxHidRecords / 4;
        records.erase(records.begin(), records.begin() + static_cast<ptrdiff_t>(drop));
        droppedRecords += drop;
    }
    records.push_back({op, std::vector<uint8_t>(report, report + n), Clock::now()});

    if (op != kGetFeature && op != kSetFeature && op != kOutputReport) return reply(-EINVAL);
    if (failCount[op] > 0) {
        failCount[op]--;
        ALOGI("hid: request %u (report %u) refused (%s) as asked", op, report[0],
              strerror(failError[op]));
        return reply(-failError[op]);
    }

    switch (op) {
        case kGetFeature:
            if (report[0] == kInfoReport) {
                const uint8_t info[kInfoSize] = {kInfoReport,
                                                 static_cast<uint8_t>(panel.width & 0xff),
                                                 static_cast<uint8_t>(panel.width >> 8),
                                                 static_cast<uint8_t>(panel.height & 0xff),
                                                 static_cast<uint8_t>(panel.height >> 8),
                                                 panel.format,
                                                 static_cast<uint8_t>(panel.ready ? 1 : 0)};
                size_t len = std::min({n, kInfoSize, std::max<size_t>(panel.infoLength, 1)});
                return reply(static_cast<int32_t>(len), info, len);
            }
            if (report[0] == kConfigReport) {
                size_t len = std::min(n, sizeof(config));
                return reply(static_cast<int32_t>(len), config, len);
            }
            return reply(-EPIPE);
        case kSetFeature:
            if (report[0] == kConfigReport && n >= kConfigSize) {
                memcpy(config, report, sizeof(config));
                if (configReports.size() >= kMaxConfigReports) {
                    configReports.erase(configReports.begin());
                }
                configReports.emplace_back(report, report + kConfigSize);
                return reply(static_cast<int32_t>(n));
            }
            return reply(-EPIPE);
        case kOutputReport: {
            if (report[0] != kFrameReport) return reply(-EPIPE);
            // The device takes any report of its number, as the USB transfer
            // succeeds; the firmware drops one whose header does not fit.
            if (n < kFrameHeader) {
                ALOGE("hid: output report of %zu bytes has no header; dropped", n);
                malformedReports++;
                return reply(static_cast<int32_t>(n));
            }
            size_t len = report[1] | (report[2] << 8);
            size_t offset = static_cast<size_t>(report[3]) | (static_cast<size_t>(report[4]) << 8) |
                            (static_cast<size_t>(report[5]) << 16) |
                            (static_cast<size_t>(report[6]) << 24);
            if (len > n - kFrameHeader) {
                ALOGE("hid: output report claims %zu data bytes, carries %zu; dropped", len,
                      n - kFrameHeader);
                malformedReports++;
                return reply(static_cast<int32_t>(n));
            }
            if (offset > kMaxFrameBytes || len > kMaxFrameBytes - offset) {
                ALOGE("hid: output report at offset %zu + %zu beyond the frame; dropped", offset,
                      len);
                malformedReports++;
                return reply(static_cast<int32_t>(n));
            }
            if (len == 0) {
                if (assembled == 0) {
                    emptyReports++;
                } else {
                    lastFrame.sequence++;
                    lastFrame.data.assign(assembly.begin(),
                                          assembly.begin() + static_cast<ptrdiff_t>(assembled));
                    lastFrame.width = panel.width;
                    lastFrame.height = panel.height;
                    lastFrame.time = Clock::now();
                    ATRACE_INT64("frames received", static_cast<int64_t>(lastFrame.sequence));
                    resetAssembly();
                    changed.notify_all();
                }
                return reply(static_cast<int32_t>(n));
            }
            if (assembly.size() < offset + len) assembly.resize(offset + len, 0);
            memcpy(assembly.data() + offset, report + kFrameHeader, len);
            assembled = std::max(assembled, offset + len);
            return reply(static_cast<int32_t>(n));
        }
        default:
            return reply(-EINVAL);
    }
}

HidFunction::HidFunction(HidState& state) : mState(state) {}

HidFunction::~HidFunction() {
    stop();
}

bool HidFunction::start(const std::string& node,
                        const std::function<bool(const std::string&)>& prepare) {
    struct sockaddr_un addr;
    memset(&addr, 0, sizeof(addr));
    addr.sun_family = AF_UNIX;
    size_t slash = node.rfind('/');
    std::string tmp = node.substr(0, slash + 1) + "." + node.substr(slash + 1);
    if (tmp.size() >= sizeof(addr.sun_path)) {
        ALOGE("hid: socket path too long: %s", node.c_str());
        return false;
    }
    mWakeFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    mListen = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (mWakeFd < 0 || mListen < 0) {
        ALOGE("hid: socket: %s", strerror(errno));
        return false;
    }
    memcpy(addr.sun_path, tmp.c_str(), tmp.size());
    unlink(tmp.c_str());
    if (bind(mListen, reinterpret_cast<struct sockaddr*>(&addr), sizeof(addr)) < 0 ||
        listen(mListen, 16) < 0) {
        ALOGE("hid: bind %s: %s", tmp.c_str(), strerror(errno));
        unlink(tmp.c_str());
        return false;
    }
    {
        // A new device starts with no half-assembled frame.
        std::lock_guard<std::mutex> l(mState.lock);
        mState.resetAssembly();
    }
    if (prepare && !prepare(tmp)) {
        unlink(tmp.c_str());
        return false;
    }
    // Linked into place only once it listens: whoever sees the node appear
    // can connect at once.
    bool linked = link(tmp.c_str(), node.c_str()) == 0;
    if (!linked) ALOGE("hid: link %s: %s", node.c_str(), strerror(errno));
    unlink(tmp.c_str());
    if (!linked) return false;
    mNode = node;
    mThread = std::thread(&HidFunction::run, this);
    return true;
}

void HidFunction::stop() {
    mStop.store(true);
    if (mWakeFd >= 0) {
        uint64_t one = 1;
        if (write(mWakeFd, &one, sizeof(one)) < 0) ALOGE("hid: wake: %s", strerror(errno));
    }
    if (mThread.joinable()) mThread.join();
    for (int fd : mConnections) close(fd);
    mConnections.clear();
    if (mListen >= 0) {
        close(mListen);
        mListen = -1;
    }
    if (!mNode.empty()) {
        unlink(mNode.c_str());
        mNode.clear();
    }
    if (mWakeFd >= 0) {
        close(mWakeFd);
        mWakeFd = -1;
    }
}

void HidFunction::run() {
    std::vector<uint8_t> buf(twdevice::hidseam::kRequestHeader + twdevice::hidseam::kMaxReport + 1);
    while (!mStop.load()) {
        std::vector<struct pollfd> fds;
        fds.push_back({mWakeFd, POLLIN, 0});
        fds.push_back({mListen, POLLIN, 0});
        for (int fd : mConnections) fds.push_back({fd, POLLIN, 0});
        int ret = poll(fds.data(), fds.size(), -1);
        if (ret < 0) {
            if (errno == EINTR) continue;
            ALOGE("hid: poll: %s", strerror(errno));
            break;
        }
        if (fds[0].revents) break;
        if (fds[1].revents & POLLIN) {
            for (;;) {
                int fd = accept4(mListen, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
                if (fd < 0) break;
                mConnections.push_back(fd);
                // A new connection usually carries its first request already:
                // looked at in this round (a read finding nothing is skipped).
                fds.push_back({fd, POLLIN, POLLIN});
            }
        }
        std::vector<int> closed;
        bool stopping = false;
        for (size_t i = 2; i < fds.size() && !stopping; i++) {
            int fd = fds[i].fd;
            if (fds[i].revents & POLLIN) {
                ssize_t n = recv(fd, buf.data(), buf.size(), MSG_DONTWAIT);
                if (n < 0 && (errno == EAGAIN || errno == EINTR)) continue;
                if (n <= 0) {
                    closed.push_back(fd);
                    continue;
                }
                int delay;
                {
                    std::lock_guard<std::mutex> l(mState.lock);
                    delay = mState.delayMs;
                }
                // A slow device: the request is answered late (or never, when
                // the device goes away meanwhile).
                if (!pauseUnlessStopped(mWakeFd, mStop, delay)) {
                    stopping = true;
                    break;
                }
                std::vector<uint8_t> answer;
                // Each request as a slice: what it was, its bytes and the answer.
                const bool traced = ATRACE_ENABLED();
                if (traced)
                    ATRACE_BEGIN(requestName(buf[0], buf[twdevice::hidseam::kRequestHeader]));
                if (static_cast<size_t>(n) >= buf.size()) {
                    ALOGE("hid: request larger than any report refused");
                    answer = reply(-EINVAL);
                } else {
                    answer = mState.handle(buf.data(), static_cast<size_t>(n));
                }
                if (traced) traceAnswer(static_cast<size_t>(n), answer);
                if (send(fd, answer.data(), answer.size(), MSG_NOSIGNAL | MSG_DONTWAIT) < 0) {
                    closed.push_back(fd);
                }
            } else if (fds[i].revents) {
                closed.push_back(fd);
            }
        }
        if (stopping) break;
        for (int fd : closed) {
            close(fd);
            mConnections.erase(std::find(mConnections.begin(), mConnections.end(), fd));
        }
    }
}

// ---- Simulator: HID side ----

void Simulator::setHidPanel(const HidPanel& panel) {
    std::lock_guard<std::mutex> l(mHid->lock);
    mHid->panel = panel;
}

HidPanel Simulator::hidPanel() const {
    std::lock_guard<std::mutex> l(mHid->lock);
    return mHid->panel;
}

std::vector<std::vector<uint8_t>> Simulator::hidConfigReports() const {
    std::lock_guard<std::mutex> l(mHid->lock);
    return mHid->configReports;
}

void Simulator::clearHidConfigReports() {
    std::lock_guard<std::mutex> l(mHid->lock);
    mHid->configReports.clear();
}

std::vector<uint8_t> Simulator::hidConfig() const {
    std::lock_guard<std::mutex> l(mHid->lock);
    return std::vector<uint8_t>(mHid->config, mHid->config + sizeof(mHid->config));
}

void Simulator::failHidRequests(uint8_t op, int count, int error) {
    using namespace twdevice::hidseam;
    if (op != kGetFeature && op != kSetFeature && op != kOutputReport) {
        ALOGE("hid: no request kind %u to fail", op);
        return;
    }
    std::lock_guard<std::mutex> l(mHid->lock);
    mHid->failCount[op] = std::max(count, 0);
    mHid->failError[op] = error > 0 ? error : EIO;
}

void Simulator::failHidWrites(int count, int error) {
    failHidRequests(twdevice::hidseam::kOutputReport, count, error);
}

void Simulator::setHidDelayMs(int ms) {
    std::lock_guard<std::mutex> l(mHid->lock);
    mHid->delayMs = std::max(ms, 0);
}

uint64_t Simulator::frameCount() const {
    std::lock_guard<std::mutex> l(mHid->lock);
    return mHid->lastFrame.sequence;
}

SubDisplayFrame Simulator::lastFrame() const {
    std::lock_guard<std::mutex> l(mHid->lock);
    return mHid->lastFrame;
}

bool Simulator::waitForFrames(uint64_t count, int timeoutMs) const {
    std::unique_lock<std::mutex> l(mHid->lock);
    return mHid->changed.wait_for(l, std::chrono::milliseconds(timeoutMs),
                                  [&] { return mHid->lastFrame.sequence >= count; });
}

size_t Simulator::malformedHidReports() const {
    std::lock_guard<std::mutex> l(mHid->lock);
    return mHid->malformedReports;
}

size_t Simulator::emptyHidReports() const {
    std::lock_guard<std::mutex> l(mHid->lock);
    return mHid->emptyReports;
}

std::vector<uint8_t> Simulator::subDisplayPixels() const {
    SubDisplayFrame frame = lastFrame();
    std::vector<uint8_t> pixels;
    if (frame.sequence == 0) return pixels;
    size_t count = static_cast<size_t>(frame.width) * frame.height;
    if (count > kMaxPngPixels) return pixels;
    pixels.resize(count);
    for (size_t i = 0; i < count; i++) pixels[i] = framePixel(frame.data, count, i);
    return pixels;
}

bool Simulator::writeSubDisplayPng(const std::string& file) const {
    SubDisplayFrame frame = lastFrame();
    if (frame.sequence == 0) {
        ALOGE("png: no frame completed yet");
        return false;
    }
    const size_t width = frame.width;
    const size_t height = frame.height;
    const size_t count = width * height;
    if (count == 0 || count > kMaxPngPixels) {
        ALOGE("png: panel %zux%zu cannot be rendered", width, height);
        return false;
    }

    // Rows of 4-bit grey, two pixels a byte, the left one in the high nibble.
    const size_t rowBytes = (width + 1) / 2;
    std::vector<uint8_t> image(rowBytes * height, 0);
    for (size_t i = 0; i < count; i++) {
        uint8_t v = framePixel(frame.data, count, i);
        size_t x = i % width;
        uint8_t& b = image[(i / width) * rowBytes + x / 2];
        b = static_cast<uint8_t>(x % 2 == 0 ? (b & 0x0f) | (v << 4) : (b & 0xf0) | v);
    }
    std::vector<png_bytep> rows(height);
    for (size_t y = 0; y < height; y++) rows[y] = image.data() + y * rowBytes;

    FILE* out = fopen(file.c_str(), "wb");
    if (out == nullptr) {
        ALOGE("png: cannot open %s: %s", file.c_str(), strerror(errno));
        return false;
    }
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png == nullptr ? nullptr : png_create_info_struct(png);
    if (png == nullptr || info == nullptr) {
        ALOGE("png: out of memory");
        png_destroy_write_struct(&png, &info);
        fclose(out);
        return false;
    }
    if (setjmp(png_jmpbuf(png))) {
        ALOGE("png: writing %s failed", file.c_str());
        png_destroy_write_struct(&png, &info);
        fclose(out);
        unlink(file.c_str());
        return false;
    }
    png_init_io(png, out);
    png_set_IHDR(png, info, static_cast<png_uint_32>(width), static_cast<png_uint_32>(height), 4,
                 PNG_COLOR_TYPE_GRAY, PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT,
                 PNG_FILTER_TYPE_DEFAULT);
    png_write_info(png, info);
    png_write_image(png, rows.data());
    png_write_end(png, nullptr);
    png_destroy_write_struct(&png, &info);
    if (fclose(out) != 0) {
        ALOGE("png: closing %s: %s", file.c_str(), strerror(errno));
        return false;
    }
    return true;
}

}  // namespace twsim
