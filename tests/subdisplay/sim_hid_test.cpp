/*
 * The simulator's HID function on its own, driven through the device module
 * as the service drives it: info and configuration reports, frame assembly,
 * refused reports, injected failures and delays, and the PNG picture.
 */
#include <fcntl.h>
#include <linux/hidraw.h>
#include <sys/ioctl.h>
#include <twdevice/device.h>
#include <unistd.h>

#include "png_reader.h"
#include "sub_display_fixture.h"

namespace subtest {
namespace {

class SimHid : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_FALSE(mRoot.path().empty());
        setenv("TWINEL_DEVICE_ROOT", mRoot.path().c_str(), 1);
        mSim = std::make_unique<twsim::Simulator>(mRoot.path());
        ASSERT_TRUE(mSim->ok());
    }

    void plug() {
        twsim::UsbIdentity id = twsim::accessoryIdentity();
        id.serialFunction = false;
        ASSERT_TRUE(mSim->plug(id));
    }

    int open() {
        int fd = twdevice::open("/dev/hidraw0", O_RDWR | O_CLOEXEC);
        EXPECT_GE(fd, 0) << strerror(errno);
        return fd;
    }

    // Writes one output report 2; the write's result.
    static ssize_t writeReport(int fd, unsigned length, unsigned offset, const uint8_t* data,
                               size_t carried) {
        std::vector<uint8_t> r(7 + carried);
        r[0] = 2;
        r[1] = length & 0xff;
        r[2] = (length >> 8) & 0xff;
        for (int i = 0; i < 4; i++) r[3 + i] = (offset >> (8 * i)) & 0xff;
        if (carried > 0) memcpy(r.data() + 7, data, carried);
        return twdevice::write(fd, r.data(), r.size());
    }

    static ssize_t writeData(int fd, unsigned offset, const std::vector<uint8_t>& data) {
        return writeReport(fd, static_cast<unsigned>(data.size()), offset, data.data(),
                           data.size());
    }

    twtest::TempDir mRoot{"twsimhid"};
    std::unique_ptr<twsim::Simulator> mSim;
};

TEST_F(SimHid, InfoReportDescribesTheChosenPanel) {
    twsim::HidPanel panel;
    panel.width = 0x1234;
    panel.height = 0x0102;
    panel.format = 9;
    panel.ready = false;
    mSim->setHidPanel(panel);
    plug();
    int fd = open();
    uint8_t info[7] = {2};
    ASSERT_EQ(7, twdevice::ioctl(fd, HIDIOCGFEATURE(7), info));
    EXPECT_EQ((std::vector<uint8_t>{2, 0x34, 0x12, 0x02, 0x01, 9, 0}),
              std::vector<uint8_t>(info, info + 7));

    panel.infoLength = 4;
    mSim->setHidPanel(panel);
    uint8_t shortInfo[7] = {2};
    EXPECT_EQ(4, twdevice::ioctl(fd, HIDIOCGFEATURE(7), shortInfo));
    close(fd);
}

TEST_F(SimHid, ConfigurationReportsAreRecordedInOrder) {
    plug();
    int fd = open();
    uint8_t a[3] = {3, 2, 90};
    uint8_t b[3] = {3, 0, 0};
    ASSERT_EQ(3, twdevice::ioctl(fd, HIDIOCSFEATURE(3), a));
    ASSERT_EQ(3, twdevice::ioctl(fd, HIDIOCSFEATURE(3), b));
    uint8_t wrong[3] = {4, 1, 1};
    EXPECT_EQ(-1, twdevice::ioctl(fd, HIDIOCSFEATURE(3), wrong));
    EXPECT_EQ(EPIPE, errno);
    EXPECT_EQ((std::vector<std::vector<uint8_t>>{{3, 2, 90}, {3, 0, 0}}), mSim->hidConfigReports());
    uint8_t back[3] = {3};
    EXPECT_EQ(3, twdevice::ioctl(fd, HIDIOCGFEATURE(3), back));
    EXPECT_EQ((std::vector<uint8_t>{3, 0, 0}), std::vector<uint8_t>(back, back + 3));
    close(fd);
}

TEST_F(SimHid, FramesAreAssembledByOffsetAndCompletedByTheEmptyReport) {
    plug();
    int fd = open();
    std::vector<uint8_t> tail(100, 0xBB), head(50, 0xAA);
    // Out of order, on separate connections: the offsets decide.
    ASSERT_EQ(107, writeData(fd, 200, tail));
    close(fd);
    fd = open();
    ASSERT_EQ(57, writeData(fd, 0, head));
    EXPECT_EQ(0u, mSim->frameCount());
    ASSERT_EQ(7, writeReport(fd, 0, 0, nullptr, 0));
    ASSERT_EQ(1u, mSim->frameCount());
    twsim::SubDisplayFrame frame = mSim->lastFrame();
    EXPECT_EQ(1u, frame.sequence);
    ASSERT_EQ(300u, frame.data.size());
    EXPECT_EQ(0xAA, frame.data[0]);
    EXPECT_EQ(0xAA, frame.data[49]);
    EXPECT_EQ(0x00, frame.data[50]);
    EXPECT_EQ(0x00, frame.data[199]);
    EXPECT_EQ(0xBB, frame.data[200]);
    EXPECT_EQ(0xBB, frame.data[299]);

    // An empty report with nothing before it completes no frame; the next
    // frame starts from nothing.
    ASSERT_EQ(7, writeReport(fd, 0, 0, nullptr, 0));
    EXPECT_EQ(1u, mSim->frameCount());
    EXPECT_EQ(1u, mSim->emptyHidReports());
    ASSERT_EQ(17, writeData(fd, 0, std::vector<uint8_t>(10, 0x11)));
    ASSERT_EQ(7, writeReport(fd, 0, 0, nullptr, 0));
    EXPECT_EQ(2u, mSim->frameCount());
    EXPECT_EQ(std::vector<uint8_t>(10, 0x11), mSim->lastFrame().data);
    close(fd);
}

TEST_F(SimHid, MalformedOutputReportsAreDropped) {
    plug();
    int fd = open();
    ASSERT_EQ(17, writeData(fd, 0, std::vector<uint8_t>(10, 0x33)));
    // Taken as the USB transfer would take them, but not frame data.
    uint8_t tooShort[5] = {2, 0, 0, 0, 0};
    EXPECT_EQ(5, twdevice::write(fd, tooShort, sizeof(tooShort)));
    uint8_t data[10] = {0x44, 0x44, 0x44, 0x44, 0x44, 0x44, 0x44, 0x44, 0x44, 0x44};
    // Claims more data than it carries.
    EXPECT_EQ(17, writeReport(fd, 11, 0, data, 10));
    // Reaches past the largest frame.
    EXPECT_EQ(17, writeReport(fd, 10, static_cast<unsigned>(twsim::kMaxFrameBytes) - 5, data, 10));
    EXPECT_EQ(7, writeReport(fd, 0, 0xFFFFFFFFu, data, 0));
    EXPECT_EQ(4u, mSim->malformedHidReports());
    // Another report number is not the device's.
    uint8_t other[8] = {5, 1, 0, 0, 0, 0, 0, 1};
    EXPECT_EQ(-1, twdevice::write(fd, other, sizeof(other)));
    EXPECT_EQ(EPIPE, errno);
    // Only the good report became frame data.
    EXPECT_EQ(0u, mSim->frameCount());
    ASSERT_EQ(7, writeReport(fd, 0, 0, nullptr, 0));
    EXPECT_EQ(1u, mSim->frameCount());
    EXPECT_EQ(std::vector<uint8_t>(10, 0x33), mSim->lastFrame().data);
    close(fd);
}

TEST_F(SimHid, InjectedFailuresAndDelays) {
    plug();
    int fd = open();
    mSim->failHidWrites(2, ENODEV);
    std::vector<uint8_t> data(16, 0x42);
    EXPECT_EQ(-1, writeData(fd, 0, data));
    EXPECT_EQ(ENODEV, errno);
    EXPECT_EQ(-1, writeData(fd, 0, data));
    EXPECT_EQ(23, writeData(fd, 0, data));

    mSim->failHidRequests(twdevice::hidseam::kGetFeature, 1);
    uint8_t info[7] = {2};
    EXPECT_EQ(-1, twdevice::ioctl(fd, HIDIOCGFEATURE(7), info));
    EXPECT_EQ(EIO, errno);
    EXPECT_EQ(7, twdevice::ioctl(fd, HIDIOCGFEATURE(7), info));

    mSim->setHidDelayMs(150);
    int64_t start = twtest::nowMs();
    EXPECT_EQ(7, writeReport(fd, 0, 0, nullptr, 0));
    EXPECT_GE(twtest::nowMs() - start, 140);
    EXPECT_EQ(1u, mSim->frameCount());
    EXPECT_EQ(data, mSim->lastFrame().data);
    close(fd);
}

TEST_F(SimHid, UnplugDuringADelayedReplyEndsTheRequest) {
    plug();
    int fd = open();
    mSim->setHidDelayMs(3000);
    std::thread unplugger([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        mSim->unplug();
    });
    int64_t start = twtest::nowMs();
    EXPECT_EQ(-1, writeData(fd, 0, std::vector<uint8_t>(8, 1)));
    EXPECT_EQ(ENODEV, errno);
    EXPECT_LT(twtest::nowMs() - start, 1500);
    unplugger.join();
    close(fd);
    EXPECT_LT(twdevice::open("/dev/hidraw0", O_RDWR), 0);
}

TEST_F(SimHid, PictureOfTheLastFrame) {
    twsim::HidPanel panel;
    panel.width = 10;
    panel.height = 4;
    mSim->setHidPanel(panel);
    plug();
    std::string file = mRoot.path() + "/frame.png";
    EXPECT_FALSE(mSim->writeSubDisplayPng(file));  // no frame yet

    // Pixel i has the value i % 16; packed as the service packs it.
    std::vector<uint8_t> nibbles(40);
    for (size_t i = 0; i < nibbles.size(); i++) nibbles[i] = static_cast<uint8_t>(i % 16);
    std::vector<uint8_t> frame(20);
    for (size_t k = 0; k < 20; k++) {
        frame[19 - k] = static_cast<uint8_t>((nibbles[2 * k] << 4) | nibbles[2 * k + 1]);
    }
    int fd = open();
    ASSERT_EQ(27, writeData(fd, 0, frame));
    ASSERT_EQ(7, writeReport(fd, 0, 0, nullptr, 0));
    close(fd);

    EXPECT_EQ(nibbles, mSim->subDisplayPixels());
    ASSERT_TRUE(mSim->writeSubDisplayPng(file));
    GreyImage image = readGreyPng(file);
    ASSERT_TRUE(image.ok);
    EXPECT_EQ(10u, image.width);
    EXPECT_EQ(4u, image.height);
    EXPECT_EQ(4, image.bitDepth);
    EXPECT_EQ(nibbles, image.pixels);
}

TEST_F(SimHid, PictureOfAnOddWidthPanel) {
    twsim::HidPanel panel;
    panel.width = 5;
    panel.height = 2;
    mSim->setHidPanel(panel);
    plug();
    std::vector<uint8_t> nibbles = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10};
    std::vector<uint8_t> frame(5);
    for (size_t k = 0; k < 5; k++) {
        frame[4 - k] = static_cast<uint8_t>((nibbles[2 * k] << 4) | nibbles[2 * k + 1]);
    }
    int fd = open();
    ASSERT_EQ(12, writeData(fd, 0, frame));
    ASSERT_EQ(7, writeReport(fd, 0, 0, nullptr, 0));
    close(fd);
    std::string file = mRoot.path() + "/odd.png";
    ASSERT_TRUE(mSim->writeSubDisplayPng(file));
    GreyImage image = readGreyPng(file);
    ASSERT_TRUE(image.ok);
    EXPECT_EQ(5u, image.width);
    EXPECT_EQ(nibbles, image.pixels);
}

TEST_F(SimHid, NoPictureOfAnEmptyOrHugePanel) {
    twsim::HidPanel panel;
    panel.width = 0;
    panel.height = 0;
    mSim->setHidPanel(panel);
    plug();
    int fd = open();
    ASSERT_EQ(11, writeData(fd, 0, std::vector<uint8_t>(4, 0xFF)));
    ASSERT_EQ(7, writeReport(fd, 0, 0, nullptr, 0));
    EXPECT_FALSE(mSim->writeSubDisplayPng(mRoot.path() + "/empty.png"));
    EXPECT_TRUE(mSim->subDisplayPixels().empty());

    panel.width = 65535;
    panel.height = 65535;
    mSim->setHidPanel(panel);
    ASSERT_EQ(11, writeData(fd, 0, std::vector<uint8_t>(4, 0xFF)));
    ASSERT_EQ(7, writeReport(fd, 0, 0, nullptr, 0));
    EXPECT_FALSE(mSim->writeSubDisplayPng(mRoot.path() + "/huge.png"));
    close(fd);
    EXPECT_NE(0, access((mRoot.path() + "/huge.png").c_str(), F_OK));
}

}  // namespace
}  // namespace subtest
