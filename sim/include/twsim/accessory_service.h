/*
 * Stand-in for the phone's accessory HAL: IAccessory 1.1, which the cover
 * display service asks whether the cover screen is connected.
 *
 * The object answers getCoverDisplayConnection (and the rest of the
 * interface) with what the test chose. It is registered with the service
 * manager of the device root in TWINEL_DEVICE_ROOT; a test that wants the
 * service absent simply does not register it. Once registered the service
 * stays until the process ends (the service manager has no unregister), so
 * the answer is changed with setCoverDisplayConnection().
 *
 * All methods may be called from any thread.
 */
#pragma once

#include <stdint.h>
#include <utils/StrongPointer.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <string>

namespace twsim {

// Second value of getCoverDisplayConnection for a connected cover screen.
constexpr uint32_t kCoverDisplayConnected = 3;
constexpr uint32_t kCoverDisplayDisconnected = 0;

class AccessoryStandIn;
struct AccessoryAnswers;

class AccessoryService {
  public:
    AccessoryService();
    ~AccessoryService();

    AccessoryService(const AccessoryService&) = delete;
    AccessoryService& operator=(const AccessoryService&) = delete;

    // Registers the object as IAccessory 1.1 `instance`; false when no
    // service manager answers or it refuses. Registering twice is a no-op.
    bool registerService(const std::string& instance = "default");
    bool registered() const;

    // What getCoverDisplayConnection answers: a result code and the state.
    void setCoverDisplayConnection(uint32_t ret, uint32_t state);
    void setConnected(bool connected);
    // Pause before every answer (default 0).
    void setDelayMs(int ms);
    // Calls of getCoverDisplayConnection served so far.
    int connectionQueries() const;
    // Calls of getCoverDisplayConnection that have arrived (answered or not).
    int connectionQueriesStarted() const;

  private:
    std::shared_ptr<AccessoryAnswers> mAnswers;
    android::sp<AccessoryStandIn> mService;
    std::mutex mRegisterLock;
    std::atomic<bool> mRegistered{false};
};

}  // namespace twsim
