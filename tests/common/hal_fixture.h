/*
 * The fixture of the tests that drive the HAL object in their own process:
 * the simulator under a fresh device root, every log line captured, and the
 * object started when the test says so and stopped after it.
 */
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>
#include <twsim/simulator.h>

#include <memory>

#include "Twinel.h"
#include "log_capture.h"
#include "test_util.h"

namespace twtest {

class HalFixture : public ::testing::Test {
  protected:
    using Twinel = ::vendor::zyr::hardware::twinel::V1_1::implementation::Twinel;

    explicit HalFixture(const char* rootPrefix) : mRoot(rootPrefix) {}

    void SetUp() override {
        LogCapture::install();
        ASSERT_FALSE(mRoot.path().empty());
        setenv("TWINEL_DEVICE_ROOT", mRoot.path().c_str(), 1);
        mSim = std::make_unique<twsim::Simulator>(mRoot.path());
        ASSERT_TRUE(mSim->ok());
    }

    // Unplugs the accessory, waits until the object saw it go and stops its
    // USB threads.
    void TearDown() override {
        if (mHal != nullptr) {
            mSim->unplugAll();
            waitFor([&] { return !mHal->mSerialAttached && !mHal->mHidDisplayAttached; }, 3000);
            ::vendor::zyr::hardware::twinel::V1_1::implementation::destroyThread = true;
            mHal->usbThreadJoin();
        }
        mSim.reset();
    }

    void startHal() { mHal = new Twinel(); }

    TempDir mRoot;
    std::unique_ptr<twsim::Simulator> mSim;
    ::android::sp<Twinel> mHal;
};

}  // namespace twtest
