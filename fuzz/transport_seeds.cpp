/*
 * Copyright (C) 2026 The Twinel HAL Authors
 *
 * Licensed under the Apache License, Version 2.0 (the "License");
 * you may not use this file except in compliance with the License.
 */

// Writes the transport fuzz target's seeds: `fuzz_transport_seeds DIR` calls
// the generated ITwinel and IServiceManager proxies over a binder that keeps
// each transaction as the runtime would send it (the message body, in the
// target's input layout: see transport_fuzzer.cpp) instead of sending it.
// The checked-in corpus under fuzz/corpus/transport_fuzzer was made with it.

#include <android/hidl/manager/1.0/BpHwServiceManager.h>
#include <android/hidl/manager/1.0/IServiceManager.h>
#include <errno.h>
#include <fcntl.h>
#include <hwbinder/Binder.h>
#include <hwbinder/Parcel.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vendor/zyr/hardware/twinel/1.1/BpHwTwinel.h>
#include <vendor/zyr/hardware/twinel/1.1/ITwinel.h>

#include <fstream>
#include <string>
#include <vector>

#include "Transport.h"

using ::android::sp;
using ::android::status_t;
using ::android::hardware::hidl_handle;
using ::android::hardware::hidl_string;
using ::android::hardware::hidl_vec;
using ::android::hardware::Parcel;
using ::android::hidl::manager::V1_0::IServiceManager;
using ::vendor::zyr::hardware::twinel::V1_0::LpwgStatus;
using ::vendor::zyr::hardware::twinel::V1_0::ScreenMode;
using ::vendor::zyr::hardware::twinel::V1_0::Status;
using ::vendor::zyr::hardware::twinel::V1_1::ITwinel;

namespace {

class Recorder : public ::android::hardware::BHwBinder {
  public:
    Recorder(std::string dir, uint8_t stub) : mDir(std::move(dir)), mStub(stub) {}

    // Names the next transaction's file.
    void name(const std::string& n) { mName = n; }
    int failures() const { return mFailures; }

  protected:
    status_t onTransact(uint32_t code, const Parcel& data, Parcel* /*reply*/, uint32_t flags,
                        TransactCallback /*callback*/) override {
        std::string body;
        std::vector<int> fds;
        size_t localBinders = 0;
        if (data.serialize(&body, &fds, &localBinders) != ::android::OK || fds.size() > 3 ||
            localBinders != 0) {
            fprintf(stderr, "%s: cannot be kept as a seed\n", mName.c_str());
            mFailures++;
            return ::android::UNKNOWN_ERROR;
        }
        std::string bytes;
        bytes.push_back(static_cast<char>(mStub | ((flags & 1) ? 2 : 0) | (fds.size() << 2)));
        for (int i = 0; i < 4; i++) bytes.push_back(static_cast<char>((code >> (8 * i)) & 0xff));
        write(mName, bytes + body);
        // The same call as a frame on a connection, header first.
        using ::android::hardware::Transport;
        ::android::hardware::FrameHeader h = {Transport::kMagic,
                                              Transport::FRAME_TXN,
                                              code,
                                              (flags & 1) ? uint32_t{Transport::FLAG_ONEWAY} : 0u,
                                              1,
                                              1,
                                              static_cast<uint32_t>(body.size()),
                                              0};
        bytes[0] = static_cast<char>(bytes[0] | 16);
        write("framed-" + mName,
              bytes + std::string(reinterpret_cast<const char*>(&h), sizeof(h)) + body);
        // Not answered: the proxies' callers only look at whether the call
        // went through.
        return ::android::UNKNOWN_TRANSACTION;
    }

  private:
    void write(const std::string& name, const std::string& bytes) {
        std::ofstream f(mDir + "/" + name, std::ios::binary);
        f << bytes;
        if (!f.good()) {
            fprintf(stderr, "%s/%s: cannot write\n", mDir.c_str(), name.c_str());
            mFailures++;
        }
    }

    std::string mDir;
    uint8_t mStub;
    std::string mName;
    int mFailures = 0;
};

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        fprintf(stderr, "usage: %s DIR\n", argv[0]);
        return 64;
    }
    std::string dir = std::string(argv[1]) + "/transport_fuzzer";
    mkdir(argv[1], 0755);
    if (mkdir(dir.c_str(), 0755) != 0 && errno != EEXIST) {
        fprintf(stderr, "%s: %s\n", dir.c_str(), strerror(errno));
        return 1;
    }

    sp<Recorder> tw = new Recorder(dir, 0);
    sp<ITwinel> twinel = new ::vendor::zyr::hardware::twinel::V1_1::BpHwTwinel(tw);
    auto strCb = [](Status, const hidl_string&) {};
    tw->name("tw-getFirmwareVersion");
    (void)twinel->getFirmwareVersion(strCb).isOk();
    tw->name("tw-getTW2Connect");
    (void)twinel->getTW2Connect().isOk();
    tw->name("tw-setBrightness");
    (void)twinel->setBrightness(200).isOk();
    tw->name("tw-setPowerStatus");
    (void)twinel->setPowerStatus(true, false).isOk();
    tw->name("tw-setRgbTune");
    (void)twinel->setRgbTune(255, 250, 245, 0).isOk();
    tw->name("tw-setScreenMode");
    (void)twinel->setScreenMode(static_cast<ScreenMode>(1)).isOk();
    tw->name("tw-setStatus");
    (void)twinel->setStatus(LpwgStatus{1, 1}).isOk();
    tw->name("tw-drawSubDisplay");
    hidl_vec<uint32_t> pixels(64);
    for (size_t i = 0; i < pixels.size(); i++) pixels[i] = (i % 2) ? 0xffffffffu : 0xff000000u;
    (void)twinel->drawSubDisplay(pixels).isOk();
    tw->name("tw-drawSubDisplay-empty");
    (void)twinel->drawSubDisplay(hidl_vec<uint32_t>()).isOk();
    tw->name("tw-sendAtCommand");
    (void)twinel->sendAtCommand("AT%SWV", nullptr, strCb).isOk();
    tw->name("tw-setLpwgCallback-null");
    (void)twinel->setLpwgCallback(nullptr).isOk();
    tw->name("tw-setSubDisplayCallback-null");
    (void)twinel->setSubDisplayCallback(nullptr).isOk();
    tw->name("tw-manageAesMode");
    (void)twinel->manageAesMode(1).isOk();
    tw->name("tw-interfaceChain");
    (void)twinel->interfaceChain([](const hidl_vec<hidl_string>&) {}).isOk();
    tw->name("tw-getHashChain");
    (void)twinel->getHashChain([](const auto&) {}).isOk();
    tw->name("tw-debug");
    int fd = open("/dev/null", O_WRONLY | O_CLOEXEC);
    native_handle_t* nh = native_handle_create(1, 0);
    nh->data[0] = fd;
    hidl_handle handle(nh);
    (void)twinel->debug(handle, hidl_vec<hidl_string>{"--help"}).isOk();
    handle = hidl_handle();
    native_handle_close(nh);
    native_handle_delete(nh);

    sp<Recorder> sm = new Recorder(dir, 1);
    sp<IServiceManager> manager = new ::android::hidl::manager::V1_0::BpHwServiceManager(sm);
    const hidl_string fq = "vendor.zyr.hardware.twinel@1.1::ITwinel";
    sm->name("sm-get");
    (void)manager->get(fq, "default").isOk();
    sm->name("sm-getTransport");
    (void)manager->getTransport(fq, "default").isOk();
    sm->name("sm-list");
    (void)manager->list([](const hidl_vec<hidl_string>&) {}).isOk();
    sm->name("sm-listByInterface");
    (void)manager->listByInterface(fq, [](const hidl_vec<hidl_string>&) {}).isOk();
    sm->name("sm-add-null");
    (void)manager->add("default", nullptr).isOk();
    sm->name("sm-registerForNotifications-null");
    (void)manager->registerForNotifications(fq, "default", nullptr).isOk();
    sm->name("sm-debugDump");
    (void)manager->debugDump([](const auto&) {}).isOk();
    sm->name("sm-registerPassthroughClient");
    (void)manager->registerPassthroughClient(fq, "default").isOk();

    return tw->failures() + sm->failures() == 0 ? 0 : 1;
}
