/*
 * libusbhost stand-in against the simulator's USB devices.
 */
#include <gtest/gtest.h>
#include <stdlib.h>
#include <twsim/simulator.h>
#include <usbhost/usbhost.h>

#include <condition_variable>
#include <fstream>
#include <mutex>
#include <thread>

#include "test_util.h"

namespace {

using twtest::TempRoot;

struct Events {
    std::mutex lock;
    std::condition_variable changed;
    std::vector<std::string> log;  // "+name" / "-name" / "done"
    int stopAfterDone = 0;

    void add(const std::string& what) {
        std::lock_guard<std::mutex> l(lock);
        log.push_back(what);
        changed.notify_all();
    }
    bool waitFor(const std::string& what, int timeoutMs) {
        std::unique_lock<std::mutex> l(lock);
        return changed.wait_for(l, std::chrono::milliseconds(timeoutMs), [&] {
            return std::find(log.begin(), log.end(), what) != log.end();
        });
    }
    std::vector<std::string> snapshot() {
        std::lock_guard<std::mutex> l(lock);
        return log;
    }
};

int onAdded(const char* name, void* client) {
    static_cast<Events*>(client)->add(std::string("+") + name);
    return 0;
}

int onRemoved(const char* name, void* client) {
    static_cast<Events*>(client)->add(std::string("-") + name);
    return 0;
}

int onDone(void* client) {
    auto* events = static_cast<Events*>(client);
    events->add("done");
    return events->stopAfterDone;
}

class UsbHostTest : public ::testing::Test {
  protected:
    void SetUp() override {
        mSim = std::make_unique<twsim::Simulator>(mRoot.dir());
        ASSERT_TRUE(mSim->ok());
    }
    void TearDown() override { mSim.reset(); }

    TempRoot mRoot;
    std::unique_ptr<twsim::Simulator> mSim;
};

TEST_F(UsbHostTest, ReportsPresentDevicesThenPlugAndUnplug) {
    ASSERT_TRUE(mSim->plug());
    std::string first = mSim->usbDeviceName();
    ASSERT_EQ(first, "/dev/bus/usb/001/002");

    usb_host_context* ctx = usb_host_init();
    ASSERT_NE(ctx, nullptr);
    Events events;
    std::thread runner([&] { usb_host_run(ctx, onAdded, onRemoved, onDone, &events); });

    ASSERT_TRUE(events.waitFor("done", 1000));
    std::vector<std::string> start = events.snapshot();
    ASSERT_EQ(start.size(), 3u);
    EXPECT_EQ(start[0], "+/dev/bus/usb/001/001");  // the root hub
    EXPECT_EQ(start[1], "+" + first);
    EXPECT_EQ(start[2], "done");

    mSim->unplug();
    EXPECT_TRUE(events.waitFor("-" + first, 1000));
    ASSERT_TRUE(mSim->plug());
    std::string second = mSim->usbDeviceName();
    EXPECT_NE(second, first);  // a new enumeration, a new address
    EXPECT_TRUE(events.waitFor("+" + second, 1000));

    // Cleanup from another thread ends the loop.
    auto t0 = std::chrono::steady_clock::now();
    usb_host_cleanup(ctx);
    runner.join();
    EXPECT_LT(twtest::elapsedMs(t0), 500);
    // A device appearing afterwards is not reported.
    mSim->unplug();
    EXPECT_EQ(events.snapshot().back(), "+" + second);
}

TEST_F(UsbHostTest, BusDirectoryAppearingLaterIsWatched) {
    // Without /dev/bus at all, devices appear once the tree is there.
    std::filesystem::rename(mRoot.real("/dev/bus"), mRoot.real("/dev.bus.away"));
    usb_host_context* ctx = usb_host_init();
    Events events;
    std::thread runner([&] { usb_host_run(ctx, onAdded, onRemoved, onDone, &events); });
    ASSERT_TRUE(events.waitFor("done", 1000));
    EXPECT_EQ(events.snapshot().size(), 1u);
    std::filesystem::rename(mRoot.real("/dev.bus.away"), mRoot.real("/dev/bus"));
    EXPECT_TRUE(events.waitFor("+/dev/bus/usb/001/001", 1000));
    ASSERT_TRUE(mSim->plug());
    EXPECT_TRUE(events.waitFor("+" + mSim->usbDeviceName(), 1000));
    usb_host_cleanup(ctx);
    runner.join();
}

TEST_F(UsbHostTest, DiscoveryDoneReturningTrueEndsTheLoop) {
    usb_host_context* ctx = usb_host_init();
    Events events;
    events.stopAfterDone = 1;
    usb_host_run(ctx, onAdded, onRemoved, onDone, &events);  // returns by itself
    EXPECT_EQ(events.snapshot().back(), "done");
    usb_host_cleanup(ctx);
}

TEST_F(UsbHostTest, CleanupBeforeRunMakesRunReturn) {
    usb_host_context* ctx = usb_host_init();
    usb_host_cleanup(ctx);
    Events events;
    // The context is gone: run must neither block nor touch it.
    usb_host_run(ctx, onAdded, onRemoved, onDone, &events);
    EXPECT_TRUE(events.snapshot().empty());
}

TEST_F(UsbHostTest, IdsSerialAndProductOfTheAccessory) {
    ASSERT_TRUE(mSim->plug());
    usb_device* dev = usb_device_open(mSim->usbDeviceName().c_str());
    ASSERT_NE(dev, nullptr);
    EXPECT_STREQ(usb_device_get_name(dev), "/dev/bus/usb/001/002");
    EXPECT_EQ(usb_device_get_vendor_id(dev), twsim::kAccessoryVendorId);
    EXPECT_EQ(usb_device_get_product_id(dev), twsim::kAccessoryProductId);
    EXPECT_EQ(usb_device_get_unique_id(dev), 1002);

    auto t0 = std::chrono::steady_clock::now();
    char* serial = usb_device_get_serial(dev, 200);
    char* product = usb_device_get_product_name(dev, 200);
    char* maker = usb_device_get_manufacturer_name(dev, 200);
    EXPECT_LT(twtest::elapsedMs(t0), 100);
    ASSERT_NE(serial, nullptr);
    ASSERT_NE(product, nullptr);
    ASSERT_NE(maker, nullptr);
    EXPECT_STREQ(serial, twsim::accessoryIdentity().serial.c_str());
    EXPECT_STREQ(product, "Twinel Cover");
    EXPECT_STREQ(maker, "ZYR");
    free(serial);
    free(product);
    free(maker);
    // String index 0 is "no string".
    EXPECT_EQ(usb_device_get_string(dev, 0, 200), nullptr);
    usb_device_close(dev);
}

TEST_F(UsbHostTest, DownloadModeIdentity) {
    ASSERT_TRUE(mSim->plug());
    ASSERT_TRUE(mSim->plugDownloadMode("00000000001B", "QPA320X"));
    EXPECT_FALSE(std::filesystem::exists(mRoot.real("/dev/ttyACM0")));
    EXPECT_FALSE(std::filesystem::exists(mRoot.real("/dev/hidraw0")));
    usb_device* dev = usb_device_open(mSim->usbDeviceName().c_str());
    ASSERT_NE(dev, nullptr);
    EXPECT_EQ(usb_device_get_vendor_id(dev), 0x0483);
    EXPECT_EQ(usb_device_get_product_id(dev), 0xdf11);
    char* serial = usb_device_get_serial(dev, 200);
    char* product = usb_device_get_product_name(dev, 200);
    ASSERT_NE(serial, nullptr);
    ASSERT_NE(product, nullptr);
    EXPECT_STREQ(serial, "00000000001B");
    EXPECT_STREQ(product, "QPA320X");
    free(serial);
    free(product);
    usb_device_close(dev);
}

TEST_F(UsbHostTest, MissingStringsHonourTheTimeout) {
    // No serial at all: known at once from the descriptor.
    ASSERT_TRUE(mSim->plugDownloadMode("", "QPA310X"));
    usb_device* dev = usb_device_open(mSim->usbDeviceName().c_str());
    ASSERT_NE(dev, nullptr);
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(usb_device_get_serial(dev, 200), nullptr);
    EXPECT_LT(twtest::elapsedMs(t0), 50);
    usb_device_close(dev);

    // Strings announced but never answered: NULL once the time is up.
    twsim::UsbIdentity mute = twsim::downloadModeIdentity("00000000001A", "QPA310X");
    mute.answersStrings = false;
    ASSERT_TRUE(mSim->unplug());
    ASSERT_TRUE(mSim->plug(mute));
    dev = usb_device_open(mSim->usbDeviceName().c_str());
    ASSERT_NE(dev, nullptr);
    t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(usb_device_get_product_name(dev, 150), nullptr);
    long took = twtest::elapsedMs(t0);
    EXPECT_GE(took, 140);
    EXPECT_LT(took, 600);
    usb_device_close(dev);
}

TEST_F(UsbHostTest, NodesWithoutADeviceDescriptorAreRefused) {
    std::ofstream(mRoot.real("/dev/bus/usb/001/050")) << "garbage";
    EXPECT_EQ(usb_device_open("/dev/bus/usb/001/050"), nullptr);
    EXPECT_EQ(usb_device_open("/dev/bus/usb/001/099"), nullptr);
    EXPECT_EQ(usb_device_open(nullptr), nullptr);
    EXPECT_EQ(usb_device_get_vendor_id(nullptr), 0);
    EXPECT_EQ(usb_device_get_serial(nullptr, 10), nullptr);
}

}  // namespace
