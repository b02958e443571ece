/*
 * Stand-in of the phone's own LPWG touch HAL: vendor.zyr.hardware.lpwg@1.3
 * ILpwg, registered with hwservicemanager like the phone's service.
 *
 * Only setAesMode does anything: it records the mode and answers the node
 * error chosen with setNodeError() (0 unless changed). The other operations
 * answer 0 (or an empty result) and record nothing.
 *
 * setDieInSetAesMode(true) ends the process inside the next setAesMode,
 * before it answers: the caller sees the service die between its lookup and
 * the call's reply. Use it only in a process of its own (the simulator
 * program).
 *
 * Registration needs hwservicemanager running under the same device root
 * (TWINEL_DEVICE_ROOT) as the process. A registered stand-in stays known to
 * the manager until the process ends; the object outlives this handle.
 */
#pragma once

#include <stdint.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

namespace twsim {

class LpwgService {
  public:
    LpwgService();
    ~LpwgService();

    LpwgService(const LpwgService&) = delete;
    LpwgService& operator=(const LpwgService&) = delete;

    // Registers under `instance`; false when the manager refuses or is absent.
    bool registerService(const std::string& instance = "default");

    void setNodeError(int32_t error);
    void setDieInSetAesMode(bool die);

    // Modes received by setAesMode, in order.
    std::vector<uint32_t> aesModes() const;
    // When each of them arrived (steady clock, as the simulator's records).
    std::vector<std::chrono::steady_clock::time_point> aesModeTimes() const;
    bool waitForAesModes(size_t count, int timeoutMs) const;
    void clear();

    struct State;

  private:
    std::shared_ptr<State> mState;
    struct Holder;
    std::unique_ptr<Holder> mHolder;
};

}  // namespace twsim
