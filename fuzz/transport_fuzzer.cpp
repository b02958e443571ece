/*
 * Copyright (C) 2026 The Twinel HAL Authors
 *
 * Licensed under the Apache License, Version 2.0 (the "License");
 * you may not use this file except in compliance with the License.
 */

// A transaction as a server receives it: the message body is decoded into a
// Parcel as the runtime decodes what arrives on a connection, then handed to
// the generated stub of ITwinel (over an implementation that answers every
// call at once from its arguments) or of IServiceManager (over the
// hwservicemanager's own), which reads the arguments and writes the reply.
// A reply the stub wrote must encode, and decode again as the caller would.
//
// Input: byte 0 chooses the stub (bit 0: ITwinel or IServiceManager), the
// one-way flag (bit 1) and how many descriptors came with the message
// (bits 2-3); bytes 1-4 are the transaction code (little endian); the rest
// is the message body. With bit 4 set, the rest is instead a whole frame as
// a peer sends it (header, then body), read from a socket by the runtime's
// frame codec; the descriptors travel with its first byte, and the frame's
// own code and one-way flag apply. The seeds are the generated proxies' own
// transactions (transport_seeds.cpp writes them), bare and framed.

#include <android/hidl/manager/1.0/BnHwServiceManager.h>
#include <android/log.h>
#include <errno.h>
#include <fcntl.h>
#include <hwbinder/Parcel.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>
#include <vendor/zyr/hardware/twinel/1.1/BnHwTwinel.h>
#include <vendor/zyr/hardware/twinel/1.1/ITwinel.h>

#include <memory>
#include <string>
#include <vector>

#include "ServiceManager.h"
#include "Transport.h"
#include "TransportFrame.h"
#include "test_util.h"

using ::android::sp;
using ::android::hardware::hidl_string;
using ::android::hardware::hidl_vec;
using ::android::hardware::Parcel;
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
using ::vendor::zyr::hardware::twinel::V1_1::ITwinel;

namespace {

// Answers every call at once. Results are taken from the arguments where
// there are any, so that what the stub decoded also goes into the reply.
struct EchoTwinel : ITwinel {
    static Status of(bool ok) { return ok ? Status::SUCCESS : Status::FAILURE; }

    Return<void> getFirmwareVersion(getFirmwareVersion_cb cb) override {
        cb(Status::SUCCESS, "QPA330X-V1.02_20240501");
        return Void();
    }
    Return<Status> checkFirmwareVersion() override { return Status::SUCCESS; }
    Return<void> getFirmwareFile(getFirmwareFile_cb cb) override {
        cb(Status::FAILURE, "");
        return Void();
    }
    Return<Status> doFirmwareUpgrade() override { return Status::FAILURE; }
    Return<Status> goDload() override { return Status::FAILURE; }
    Return<Status> goSTMDload() override { return Status::FAILURE; }
    Return<Status> cancelFirmwareUpgrade() override { return Status::SUCCESS; }
    Return<void> getTouchFirmwareVersion(getTouchFirmwareVersion_cb cb) override {
        cb(Status::SUCCESS, "1.0");
        return Void();
    }
    Return<Status> DoRawdata() override { return Status::SUCCESS; }
    Return<Status> DoDelta() override { return Status::SUCCESS; }
    Return<Status> DoTouchReset() override { return Status::SUCCESS; }
    Return<void> getGpiopin(getGpiopin_cb cb) override {
        cb(Status::SUCCESS, "0");
        return Void();
    }
    Return<Status> setStatus(const LpwgStatus& status) override {
        return of(status.type >= 0 && status.value >= 0);
    }
    Return<Status> DoTouchFirmwareUpgrade() override { return Status::FAILURE; }
    Return<void> getSelfTest(getSelfTest_cb cb) override {
        cb(Status::SUCCESS, "PASS");
        return Void();
    }
    Return<void> getLPWGSelfTest(getLPWGSelfTest_cb cb) override {
        cb(Status::SUCCESS, "PASS");
        return Void();
    }
    Return<Status> getTestResults() override { return Status::SUCCESS; }
    Return<void> setLpwgCallback(const sp<ITwinelLpwgCallback>& callback) override {
        mLpwg = callback;
        return Void();
    }
    Return<Status> setBrightness(int32_t level) override { return of(level >= 0); }
    Return<Status> setPowerStatus(bool enable, bool uevent) override {
        return of(enable || uevent);
    }
    Return<void> getCoverDisplayCutout(getCoverDisplayCutout_cb cb) override {
        cb(Status::SUCCESS, "M 0,0 L 10,0 L 10,10 Z");
        return Void();
    }
    Return<Status> setRgbTune(uint32_t v0, uint32_t v1, uint32_t v2, uint32_t v3) override {
        return of((v0 | v1 | v2 | v3) < 256);
    }
    Return<Status> setScreenMode(ScreenMode mode) override {
        return of(static_cast<uint32_t>(mode) < 8);
    }
    Return<Status> setScreenTune(uint32_t v0, uint32_t v1, uint32_t v2, uint32_t v3) override {
        return of((v0 | v1 | v2 | v3) < 256);
    }
    Return<Status> setTWBrightnessOffset(int32_t offset) override { return of(offset >= 0); }
    Return<void> getTW2Status(getTW2Status_cb cb) override {
        TwinelStatus s = {};
        s.connected = true;
        s.brightness = 255;
        cb(Status::SUCCESS, s);
        return Void();
    }
    Return<Status> setSubDisplayBrightness(int32_t level) override { return of(level >= 0); }
    Return<Status> setSubDisplayPowerState(bool on) override { return of(on); }
    Return<void> getSubDisplayInfo(getSubDisplayInfo_cb cb) override {
        SubScreenInfo info = {};
        info.x = 64;
        info.y = 32;
        cb(Status::SUCCESS, info);
        return Void();
    }
    Return<Status> drawSubDisplay(const hidl_vec<uint32_t>& pixels) override {
        uint32_t sum = 0;
        for (uint32_t p : pixels) sum += p;
        return of(pixels.size() > 0 && sum != 1);
    }
    Return<void> getSubDisplayPowerState(getSubDisplayPowerState_cb cb) override {
        cb(Status::SUCCESS, SubScreenState::ON);
        return Void();
    }
    Return<void> setSubDisplayCallback(const sp<ITwinelSubDisplayCallback>& callback) override {
        mSubDisplay = callback;
        return Void();
    }
    Return<bool> getTW2Connect() override { return true; }
    Return<void> sendAtCommand(const hidl_string& command, const sp<ITwinelAtCallback>& callback,
                               sendAtCommand_cb cb) override {
        // The reply carries the command back, as the accessory's echo does.
        cb(of(callback == nullptr), command);
        return Void();
    }
    Return<Status> setAesMode(uint32_t mode) override { return of(mode <= 2); }
    Return<Status> manageAesMode(uint32_t mode) override { return of(mode <= 2); }
    Return<Status> tw_update_state() override { return Status::SUCCESS; }
    Return<Status> set_touch_perf(bool enable) override { return of(enable); }

    sp<ITwinelLpwgCallback> mLpwg;
    sp<ITwinelSubDisplayCallback> mSubDisplay;
};

struct Stubs {
    std::unique_ptr<twtest::TempDir> root;
    sp<::android::hardware::BHwBinder> twinel;
    sp<::android::hardware::BHwBinder> manager;
};

Stubs& stubs() {
    static Stubs* s = [] {
        // The runtime's log lines for every refused message cost more than
        // decoding it; TWINEL_FUZZ_LOG=1 keeps them.
        const char* keep = getenv("TWINEL_FUZZ_LOG");
        if (keep == nullptr || keep[0] != '1') {
            __android_log_set_minimum_priority(ANDROID_LOG_FATAL);
        }
        auto* st = new Stubs;
        // Binder references in a message name a socket under the device
        // root: an empty one, so that no reference reaches a live process.
        st->root = std::make_unique<twtest::TempDir>("twfuzz-transport");
        setenv("TWINEL_DEVICE_ROOT", st->root->path().c_str(), 1);
        st->twinel = new ::vendor::zyr::hardware::twinel::V1_1::BnHwTwinel(new EchoTwinel);
        st->manager = new ::android::hidl::manager::V1_0::BnHwServiceManager(
                new ::android::hidl::manager::implementation::ServiceManager);
        return st;
    }();
    return *s;
}

std::vector<int> openDescriptors(size_t n) {
    std::vector<int> fds;
    for (size_t i = 0; i < n; i++) {
        int fd = open("/dev/null", O_RDONLY | O_CLOEXEC);
        if (fd < 0) {
            fprintf(stderr, "/dev/null: %s\n", strerror(errno));
            abort();
        }
        fds.push_back(fd);
    }
    return fds;
}

// Sends `bytes` (with `fds` beside the first byte) down a socket and reads
// them back as the runtime reads a frame from a peer. What the socket does
// not take is cut off, as from a peer that went away mid-frame.
bool readFramed(const uint8_t* bytes, size_t size, std::vector<int>* fds,
                ::android::hardware::FrameHeader* header, std::string* payload) {
    int sv[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv) < 0) {
        fprintf(stderr, "socketpair: %s\n", strerror(errno));
        abort();
    }
    struct iovec iov = {const_cast<uint8_t*>(bytes), size};
    struct msghdr msg = {};
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    ::android::hardware::FdControl control;
    ::android::hardware::attachFds(&msg, &control, *fds);
    if (size > 0) sendmsg(sv[0], &msg, MSG_DONTWAIT | MSG_NOSIGNAL);
    for (int fd : *fds) close(fd);
    fds->clear();
    shutdown(sv[0], SHUT_WR);
    bool ok = ::android::hardware::readFrame(sv[1], header, payload, fds,
                                             ::android::hardware::monoMs() + 1000);
    close(sv[0]);
    close(sv[1]);
    return ok;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 5) return 0;
    Stubs& s = stubs();
    const uint8_t mode = data[0];
    uint32_t code = static_cast<uint32_t>(data[1]) | static_cast<uint32_t>(data[2]) << 8 |
                    static_cast<uint32_t>(data[3]) << 16 | static_cast<uint32_t>(data[4]) << 24;
    uint32_t flags = (mode & 2) ? 1u /* oneway */ : 0u;

    Parcel request;
    std::vector<int> fds = openDescriptors((mode >> 2) & 3);
    if (mode & 16) {
        using ::android::hardware::Transport;
        ::android::hardware::FrameHeader header;
        std::string body;
        if (!readFramed(data + 5, size - 5, &fds, &header, &body)) return 0;
        if (header.type != Transport::FRAME_TXN) {
            ::android::hardware::closeAll(&fds);
            return 0;
        }
        code = header.code;
        flags = (header.flags & Transport::FLAG_ONEWAY) ? 1u : 0u;
        if (request.deserialize(reinterpret_cast<const uint8_t*>(body.data()), body.size(), &fds) !=
            ::android::OK) {
            return 0;
        }
    } else if (request.deserialize(data + 5, size - 5, &fds) != ::android::OK) {
        return 0;
    }

    const sp<::android::hardware::BHwBinder>& stub = (mode & 1) ? s.manager : s.twinel;
    // What the stub wrote goes back to the caller over the wire, encoded
    // while the stub's results are in scope, as the runtime sends a reply
    // from within the stub's callback (the parcel references them).
    auto roundTrip = [code](Parcel& reply) {
        std::string wire;
        std::vector<int> replyFds;
        size_t localBinders = 0;
        if (reply.serialize(&wire, &replyFds, &localBinders) != ::android::OK) return;
        std::vector<int> received;
        for (int fd : replyFds) received.push_back(fcntl(fd, F_DUPFD_CLOEXEC, 0));
        Parcel back;
        if (back.deserialize(reinterpret_cast<const uint8_t*>(wire.data()), wire.size(),
                             &received) != ::android::OK) {
            fprintf(stderr, "the reply to transaction %u does not decode (%zu bytes)\n", code,
                    wire.size());
            abort();
        }
    };
    Parcel reply;
    int replies = 0;
    ::android::status_t err = stub->transact(code, request, &reply, flags, [&](Parcel& r) {
        replies++;
        roundTrip(r);
    });
    if (replies > 1) {
        fprintf(stderr, "transaction %u answered %d times\n", code, replies);
        abort();
    }
    // A stub that returned without answering: the runtime sends what it wrote.
    if (replies == 0 && err == ::android::OK) roundTrip(reply);
    return 0;
}
