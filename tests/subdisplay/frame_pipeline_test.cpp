/*
 * The frame pipeline: drawSubDisplay packs a frame into one of two buffers
 * and returns; the frame thread sends filled buffers. Checked on the frame
 * the simulator assembled from the reports it received.
 */
#include "sub_display_fixture.h"

namespace subtest {
namespace {

using twdevice::hidseam::kOutputReport;
using twdevice::hidseam::kSetFeature;

class FramePipeline : public SubDisplayTest {
  protected:
    // Plugs the accessory with its power-on refused: the state stays 1 and
    // no frame thread runs, so drawn frames wait in their buffers.
    void plugInitialisedOnly(const twsim::HidPanel& panel = twsim::HidPanel()) {
        size_t done = LogCapture::count("setSubDisplayPowerState --");
        mSim->failHidRequests(kSetFeature, 1);
        ASSERT_TRUE(plug(panel));
        ASSERT_TRUE(LogCapture::waitFor("setSubDisplayPowerState --", 3000, done + 1));
        ASSERT_TRUE(powerSequenceOver());
        ASSERT_EQ(SubScreenState::INITIALIZED, state());
        ASSERT_EQ(0u, LogCapture::countPrefix("Sub DISPLAY UPDATE Thread is running"));
    }

    bool buffersFree(int timeoutMs = 2000) {
        return twtest::waitFor(
                [] {
                    return impl::getBufferState(0) == impl::BUFFER_FREE &&
                           impl::getBufferState(1) == impl::BUFFER_FREE;
                },
                timeoutMs);
    }

    // The packed layout the accessory expects, written out pair by pair.
    static std::vector<uint8_t> expectedFrame(const std::vector<uint8_t>& nibbles) {
        std::vector<uint8_t> out(8192, 0);
        size_t half = nibbles.size() / 2;
        for (size_t k = 0; k < half; k++) {
            out[half - 1 - k] = static_cast<uint8_t>((nibbles[2 * k] << 4) | nibbles[2 * k + 1]);
        }
        return out;
    }
};

TEST_F(FramePipeline, PackingOnTheAssembledFrame) {
    plugAndPowerOn();
    std::vector<uint8_t> nibbles = randomNibbles(16384, 7);
    std::vector<uint32_t> pixels = noisyFrame(nibbles, 11);
    // Anchors: the first pair (bits 0-3 and above 7 set) and the last pair.
    pixels[0] = 0x123456F7;      // nibble F
    pixels[1] = 0xFFFFFF3A;      // nibble 3
    pixels[16382] = 0x0000000F;  // nibble 0
    pixels[16383] = 0xFFFFFFAF;  // nibble A
    nibbles[0] = 0xF;
    nibbles[1] = 0x3;
    nibbles[16382] = 0x0;
    nibbles[16383] = 0xA;

    EXPECT_EQ(Status::SUCCESS, draw(pixels));
    ASSERT_TRUE(mSim->waitForFrames(1, 2000));
    twsim::SubDisplayFrame frame = mSim->lastFrame();
    ASSERT_EQ(8192u, frame.data.size());
    EXPECT_EQ(0xF3, frame.data[8191]);
    EXPECT_EQ(0x0A, frame.data[0]);
    EXPECT_EQ(expectedFrame(nibbles), frame.data);
    // What the framework drew, read back in drawing order.
    EXPECT_EQ(nibbles, mSim->subDisplayPixels());
    EXPECT_TRUE(buffersFree());
}

TEST_F(FramePipeline, AFrameGoesOutAsThreeReportsAndTheEmptyOne) {
    plugAndPowerOn();
    mSim->clearHidRecords();
    EXPECT_EQ(Status::SUCCESS, draw(noisyFrame(randomNibbles(16384, 3))));
    ASSERT_TRUE(mSim->waitForFrames(1, 2000));
    ASSERT_TRUE(LogCapture::waitFor("FB0 is being consumed.", 1000));

    std::vector<FrameReport> reports = frameReports(mSim->hidRecords());
    ASSERT_EQ(4u, reports.size());
    EXPECT_EQ(4089u, reports[0].length);
    EXPECT_EQ(4089u, reports[1].length);
    EXPECT_EQ(14u, reports[2].length);
    EXPECT_EQ(0u, reports[3].length);
    EXPECT_EQ(0u, reports[0].offset);
    EXPECT_EQ(4089u, reports[1].offset);
    EXPECT_EQ(8178u, reports[2].offset);
    EXPECT_EQ(0u, reports[3].offset);
    EXPECT_EQ(7u, reports[3].size);
    EXPECT_EQ(0u, mSim->malformedHidReports());
    ASSERT_TRUE(twtest::waitFor(
            [] { return LogCapture::countPrefix("HID-DISPLAY: write Palette done ") == 1; }, 1000));
    // The timing line carries milliseconds with three decimals.
    for (const std::string& m : LogCapture::messages()) {
        if (m.compare(0, 32, "HID-DISPLAY: write Palette done ") != 0) continue;
        double ms = -1;
        char unit[8] = {};
        ASSERT_EQ(2, sscanf(m.c_str() + 32, "%lf%7s", &ms, unit)) << m;
        EXPECT_STREQ("ms", unit);
        EXPECT_GE(ms, 0.0);
        EXPECT_LT(ms, 2000.0);
        EXPECT_EQ(3u, m.size() - m.find('.') - 1 - 2) << m;
    }
}

TEST_F(FramePipeline, WrongPixelCountsAreRefused) {
    plugAndPowerOn();
    EXPECT_EQ(Status::FAILURE, draw(std::vector<uint32_t>(16385, 0xF0)));
    EXPECT_EQ(1u, LogCapture::count("Input buffer size is overflow! screen buffer size = 16384, "
                                    "input size = 16385"));
    EXPECT_EQ(Status::FAILURE, draw(std::vector<uint32_t>(16383, 0xF0)));
    EXPECT_EQ(1u, LogCapture::count("Input buffer size is underflow! screen buffer size = 16384, "
                                    "input size = 16383"));
    EXPECT_EQ(Status::FAILURE, draw({}));
    EXPECT_EQ(
            1u,
            LogCapture::count(
                    "Input buffer size is underflow! screen buffer size = 16384, input size = 0"));
    EXPECT_EQ(Status::FAILURE, draw(std::vector<uint32_t>(1 << 20, 0xF0)));
    EXPECT_EQ(1u, LogCapture::count("Input buffer size is overflow! screen buffer size = 16384, "
                                    "input size = 1048576"));
    EXPECT_EQ(4u, LogCapture::count("Draw Sub DISPLAY --"));

    EXPECT_EQ(impl::BUFFER_FREE, impl::getBufferState(0));
    EXPECT_EQ(impl::BUFFER_FREE, impl::getBufferState(1));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(0u, mSim->frameCount());
    EXPECT_TRUE(frameReports(mSim->hidRecords()).empty());

    // The pipeline is not harmed: a right frame still goes out.
    EXPECT_EQ(Status::SUCCESS, draw(std::vector<uint32_t>(16384, 0x50)));
    EXPECT_TRUE(mSim->waitForFrames(1, 2000));
}

TEST_F(FramePipeline, ARefusedFrameDoesNotDiscardOneWaiting) {
    plugInitialisedOnly();
    std::vector<uint8_t> nibbles = randomNibbles(16384, 21);
    EXPECT_EQ(Status::SUCCESS, draw(noisyFrame(nibbles)));
    EXPECT_EQ(impl::BUFFER_FILLED, impl::getBufferState(0));

    EXPECT_EQ(Status::FAILURE, draw(std::vector<uint32_t>(100, 0)));
    EXPECT_EQ(impl::BUFFER_FILLED, impl::getBufferState(0));

    // Frames drawn before the thread runs are sent when it starts.
    EXPECT_EQ(Status::SUCCESS, power(true));
    ASSERT_TRUE(mSim->waitForFrames(1, 2000));
    EXPECT_EQ(expectedFrame(nibbles), mSim->lastFrame().data);
}

TEST_F(FramePipeline, TwoQuickDrawsSendOneFrame) {
    plugInitialisedOnly();
    std::vector<uint8_t> first = randomNibbles(16384, 1);
    std::vector<uint8_t> second = randomNibbles(16384, 2);
    EXPECT_EQ(Status::SUCCESS, draw(noisyFrame(first)));
    EXPECT_EQ(Status::SUCCESS, draw(noisyFrame(second)));
    // The second replaced the first in the same buffer.
    EXPECT_EQ(impl::BUFFER_FILLED, impl::getBufferState(0));
    EXPECT_EQ(impl::BUFFER_FREE, impl::getBufferState(1));

    mSim->clearHidRecords();
    EXPECT_EQ(Status::SUCCESS, power(true));
    ASSERT_TRUE(mSim->waitForFrames(1, 2000));
    EXPECT_TRUE(buffersFree());
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(1u, mSim->frameCount());
    EXPECT_EQ(4u, frameReports(mSim->hidRecords()).size());
    EXPECT_EQ(expectedFrame(second), mSim->lastFrame().data);
}

TEST_F(FramePipeline, TheNewestFrameWinsOverABacklog) {
    plugAndPowerOn();
    // Every report takes 60 ms: a frame is on the wire for about 240 ms.
    mSim->setHidDelayMs(60);
    std::vector<uint8_t> a = randomNibbles(16384, 10);
    std::vector<uint8_t> b = randomNibbles(16384, 11);
    std::vector<uint8_t> c = randomNibbles(16384, 12);
    mSim->clearHidRecords();
    EXPECT_EQ(Status::SUCCESS, draw(noisyFrame(a)));
    ASSERT_TRUE(twtest::waitFor([&] { return !frameReports(mSim->hidRecords()).empty(); }, 1000));
    // While A is sent, B waits in the other buffer and C replaces it.
    EXPECT_EQ(Status::SUCCESS, draw(noisyFrame(b)));
    EXPECT_EQ(impl::BUFFER_FILLED, impl::getBufferState(1));
    EXPECT_EQ(Status::SUCCESS, draw(noisyFrame(c)));
    EXPECT_EQ(impl::BUFFER_FILLED, impl::getBufferState(1));

    ASSERT_TRUE(mSim->waitForFrames(1, 2000));
    EXPECT_EQ(expectedFrame(a), mSim->lastFrame().data);
    ASSERT_TRUE(mSim->waitForFrames(2, 2000));
    EXPECT_EQ(expectedFrame(c), mSim->lastFrame().data);
    EXPECT_TRUE(buffersFree());
    EXPECT_EQ(2u, mSim->frameCount());
}

TEST_F(FramePipeline, TheRetryBudgetServesTheThreadsWholeLife) {
    plugAndPowerOn();

    // Three failures: retried, the frame arrives; three of six retries spent.
    mSim->clearHidRecords();
    mSim->failHidWrites(3);
    std::vector<uint8_t> first = randomNibbles(16384, 31);
    EXPECT_EQ(Status::SUCCESS, draw(noisyFrame(first)));
    ASSERT_TRUE(mSim->waitForFrames(1, 2000));
    EXPECT_EQ(expectedFrame(first), mSim->lastFrame().data);
    EXPECT_EQ(3u + 4u, frameReports(mSim->hidRecords()).size());
    EXPECT_EQ(0u, LogCapture::count("Could not send palette data."));
    ASSERT_TRUE(buffersFree());

    // Five failures: the three retries left are used up, then it gives up.
    mSim->clearHidRecords();
    mSim->failHidWrites(5);
    EXPECT_EQ(Status::SUCCESS, draw(noisyFrame(randomNibbles(16384, 32))));
    ASSERT_TRUE(LogCapture::waitFor("Could not send palette data.", 2000));
    ASSERT_TRUE(buffersFree());
    EXPECT_EQ(4u, frameReports(mSim->hidRecords()).size());

    // The budget is spent: the one failure left ends the next frame after a
    // single attempt.
    mSim->clearHidRecords();
    EXPECT_EQ(Status::SUCCESS, draw(noisyFrame(randomNibbles(16384, 33))));
    ASSERT_TRUE(LogCapture::waitFor("Could not send palette data.", 2000, 2));
    ASSERT_TRUE(buffersFree());
    EXPECT_EQ(1u, frameReports(mSim->hidRecords()).size());
    EXPECT_EQ(1u, mSim->frameCount());

    // A healthy link still gets frames through.
    std::vector<uint8_t> last = randomNibbles(16384, 34);
    EXPECT_EQ(Status::SUCCESS, draw(noisyFrame(last)));
    ASSERT_TRUE(mSim->waitForFrames(2, 2000));
    EXPECT_EQ(expectedFrame(last), mSim->lastFrame().data);
}

TEST_F(FramePipeline, ANewThreadHasANewRetryBudget) {
    plugAndPowerOn();
    mSim->failHidWrites(7);
    EXPECT_EQ(Status::SUCCESS, draw(noisyFrame(randomNibbles(16384, 41))));
    ASSERT_TRUE(LogCapture::waitFor("Could not send palette data.", 2000));
    ASSERT_TRUE(buffersFree());
    EXPECT_EQ(0u, mSim->frameCount());

    EXPECT_EQ(Status::SUCCESS, power(false));
    EXPECT_EQ(Status::SUCCESS, power(true));
    mSim->failHidWrites(1);
    std::vector<uint8_t> frame = randomNibbles(16384, 42);
    EXPECT_EQ(Status::SUCCESS, draw(noisyFrame(frame)));
    ASSERT_TRUE(mSim->waitForFrames(1, 2000));
    EXPECT_EQ(expectedFrame(frame), mSim->lastFrame().data);
    EXPECT_EQ(1u, LogCapture::count("Could not send palette data."));
}

TEST_F(FramePipeline, DrawingIsRefusedWhileOffOrAbsent) {
    EXPECT_EQ(Status::FAILURE, draw(std::vector<uint32_t>(16384, 0)));
    EXPECT_EQ(1u, LogCapture::count("Sub Panel is not ready state(0). Could not request to draw."));

    plugAndPowerOn();
    EXPECT_EQ(Status::SUCCESS, power(false));
    EXPECT_EQ(Status::FAILURE, draw(std::vector<uint32_t>(16384, 0)));
    EXPECT_EQ(1u, LogCapture::count("Sub Panel is not ready state(2). Could not request to draw."));
    EXPECT_EQ(impl::BUFFER_FREE, impl::getBufferState(0));
    EXPECT_EQ(impl::BUFFER_FREE, impl::getBufferState(1));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(0u, mSim->frameCount());
}

TEST_F(FramePipeline, DetachWhileAFrameIsOnTheWire) {
    plugAndPowerOn();
    mSim->setHidDelayMs(100);
    mSim->clearHidRecords();
    EXPECT_EQ(Status::SUCCESS, draw(noisyFrame(randomNibbles(16384, 51))));
    // The first report has been answered; the second is on its way.
    ASSERT_TRUE(twtest::waitFor([&] { return !frameReports(mSim->hidRecords()).empty(); }, 2000));
    int64_t start = twtest::nowMs();
    ASSERT_TRUE(mSim->unplug());
    ASSERT_TRUE(waitState(SubScreenState::NONE, 3000));
    ASSERT_TRUE(LogCapture::waitFor("deinitSubDisplay -- ", 3000));
    EXPECT_LT(twtest::nowMs() - start, 2500);
    EXPECT_EQ(1u, LogCapture::count("Sub DISPLAY UPDATE Thread is over"));
    EXPECT_EQ(1u, LogCapture::count("Could not send palette data."));
    EXPECT_EQ(impl::BUFFER_FREE, impl::getBufferState(0));
    EXPECT_EQ(impl::BUFFER_FREE, impl::getBufferState(1));
    EXPECT_EQ(0u, mSim->frameCount());

    // Plugged again, the pipeline works as before.
    mSim->setHidDelayMs(0);
    plugAndPowerOn();
    std::vector<uint8_t> frame = randomNibbles(16384, 52);
    EXPECT_EQ(Status::SUCCESS, draw(noisyFrame(frame)));
    ASSERT_TRUE(mSim->waitForFrames(1, 2000));
    EXPECT_EQ(expectedFrame(frame), mSim->lastFrame().data);
}

TEST_F(FramePipeline, ASmallPanelFillsTheStartOfTheFrame) {
    twsim::HidPanel panel;
    panel.width = 20;
    panel.height = 10;
    plugAndPowerOn(panel);
    std::vector<uint8_t> nibbles = randomNibbles(200, 61);
    EXPECT_EQ(Status::SUCCESS, draw(noisyFrame(nibbles)));
    ASSERT_TRUE(mSim->waitForFrames(1, 2000));
    twsim::SubDisplayFrame frame = mSim->lastFrame();
    // The full buffer is sent; the panel's 100 bytes lead it, reversed.
    ASSERT_EQ(8192u, frame.data.size());
    EXPECT_EQ(static_cast<uint8_t>((nibbles[0] << 4) | nibbles[1]), frame.data[99]);
    EXPECT_EQ(static_cast<uint8_t>((nibbles[198] << 4) | nibbles[199]), frame.data[0]);
    EXPECT_EQ(nibbles, mSim->subDisplayPixels());
    EXPECT_EQ(Status::FAILURE, draw(std::vector<uint32_t>(16384, 0)));
    EXPECT_EQ(
            1u,
            LogCapture::count(
                    "Input buffer size is overflow! screen buffer size = 200, input size = 16384"));
}

TEST_F(FramePipeline, APanelLargerThanTheBufferIsRefused) {
    twsim::HidPanel panel;
    panel.width = 256;
    panel.height = 128;
    plugAndPowerOn(panel);
    EXPECT_EQ(Status::FAILURE, draw(std::vector<uint32_t>(32768, 0xF0)));
    EXPECT_EQ(Status::FAILURE, draw(std::vector<uint32_t>(16384, 0xF0)));
    EXPECT_EQ(2u, LogCapture::count("Sub panel of 256x128 pixels does not fit the 8192-byte frame "
                                    "buffer. Could not request to draw."));
    EXPECT_EQ(impl::BUFFER_FREE, impl::getBufferState(0));
    EXPECT_EQ(impl::BUFFER_FREE, impl::getBufferState(1));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(0u, mSim->frameCount());
}

TEST_F(FramePipeline, APanelOfOddPixelCountIsRefused) {
    twsim::HidPanel panel;
    panel.width = 3;
    panel.height = 5;
    plugAndPowerOn(panel);
    EXPECT_EQ(Status::FAILURE, draw(std::vector<uint32_t>(15, 0xF0)));
    EXPECT_EQ(1u, LogCapture::count("Sub panel of 3x5 pixels does not fit the 8192-byte frame "
                                    "buffer. Could not request to draw."));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(0u, mSim->frameCount());
}

TEST_F(FramePipeline, AHugePanelIsRefusedWhateverItsSizeModulo65536) {
    twsim::HidPanel panel;
    panel.width = 65535;
    panel.height = 65535;  // 65535 * 65535 = 1 modulo 65536
    plugAndPowerOn(panel);
    auto i = info();
    EXPECT_EQ(Status::SUCCESS, i.first);
    EXPECT_EQ(65535, i.second.x);
    EXPECT_EQ(65535, i.second.y);
    EXPECT_EQ(Status::FAILURE, draw(std::vector<uint32_t>(1, 0xF0)));
    EXPECT_EQ(Status::FAILURE, draw({}));
    EXPECT_EQ(2u, LogCapture::countPrefix("Sub panel of 65535x65535 pixels does not fit"));

    // 256 x 256 is 0 modulo 65536: an empty frame must not pass either.
    ASSERT_TRUE(mSim->unplug());
    ASSERT_TRUE(waitState(SubScreenState::NONE, 3000));
    panel.width = 256;
    panel.height = 256;
    plugAndPowerOn(panel);
    EXPECT_EQ(Status::FAILURE, draw({}));
    EXPECT_EQ(1u, LogCapture::countPrefix("Sub panel of 256x256 pixels does not fit"));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(0u, mSim->frameCount());
}

TEST_F(FramePipeline, AnEmptyPanelTakesOnlyTheEmptyFrame) {
    twsim::HidPanel panel;
    panel.width = 0;
    panel.height = 0;
    plugAndPowerOn(panel);
    EXPECT_EQ(Status::FAILURE, draw(std::vector<uint32_t>(1, 0xF0)));
    EXPECT_EQ(1u, LogCapture::count(
                          "Input buffer size is overflow! screen buffer size = 0, input size = 1"));
    // An empty frame on an empty panel is a frame: the buffer is sent.
    EXPECT_EQ(Status::SUCCESS, draw({}));
    ASSERT_TRUE(mSim->waitForFrames(1, 2000));
    EXPECT_EQ(8192u, mSim->lastFrame().data.size());
    EXPECT_TRUE(mSim->subDisplayPixels().empty());
}

TEST_F(FramePipeline, BufferIndexOutOfRangeChangesNothing) {
    impl::setBufferState(2, impl::BUFFER_FILLED);
    EXPECT_EQ(1u, LogCapture::count("Buffer index is out of bounce!"));
    EXPECT_EQ(1u, LogCapture::count("There is no buffer indicated idx 2!"));
    EXPECT_EQ(impl::BUFFER_FREE, impl::getBufferState(0));
    EXPECT_EQ(impl::BUFFER_FREE, impl::getBufferState(1));
    impl::setBufferState(1, impl::BUFFER_FILLED);
    EXPECT_EQ(impl::BUFFER_FILLED, impl::getBufferState(1));
    impl::setBufferState(1, impl::BUFFER_FREE);
}

TEST(SubDisplayPack, PairsAreReversedHighNibbleFirst) {
    const uint32_t pixels[6] = {0xF0, 0x30, 0xFFFFFF1F, 0x00000020, 0x12345678, 0x9ABCDE0F};
    uint8_t out[4] = {0xEE, 0xEE, 0xEE, 0xEE};
    impl::sub_display_pack(pixels, 6, out);
    EXPECT_EQ(0x70, out[0]);  // last pair
    EXPECT_EQ(0x12, out[1]);
    EXPECT_EQ(0xF3, out[2]);  // first pair
    EXPECT_EQ(0xEE, out[3]);  // beyond the half: untouched
}

TEST(SubDisplayPack, EveryLengthFollowsThePairRule) {
    // Lengths around the sizes packed in one step, and a whole panel.
    std::vector<size_t> counts;
    for (size_t n = 0; n <= 100; n += 2) counts.push_back(n);
    counts.push_back(16384);
    for (size_t count : counts) {
        std::vector<uint8_t> nibbles = randomNibbles(count, static_cast<uint32_t>(count) + 100);
        std::vector<uint32_t> pixels = noisyFrame(nibbles, static_cast<uint32_t>(count) + 200);
        std::vector<uint8_t> out(count / 2 + 4, 0xEE);
        impl::sub_display_pack(pixels.data(), count, out.data());
        for (size_t k = 0; k < count / 2; k++) {
            ASSERT_EQ((nibbles[2 * k] << 4) | nibbles[2 * k + 1], out[count / 2 - 1 - k])
                    << "count " << count << " pair " << k;
        }
        for (size_t i = count / 2; i < out.size(); i++) ASSERT_EQ(0xEE, out[i]) << count;
    }
}

}  // namespace
}  // namespace subtest
