/*
 * The kernel's uevents, as the simulator sends them.
 *
 * Every process that opens a uevent socket under the device root (through
 * uevent_open_socket) gets a datagram socket of its own in
 * "<root>/dev/socket/uevent"; a uevent goes to each of them as one
 * datagram, as the kernel multicasts it. The bytes are sent exactly as
 * given: any content, any length up to the socket's send limit (a little
 * under 200 KiB), so listeners can be fed malformed messages too.
 */
#pragma once

#include <initializer_list>
#include <string>
#include <vector>

namespace twsim {

class Simulator;

// Longest message sendUevent() takes.
constexpr size_t kMaxUeventMessage = 200 * 1024;

// A uevent of the touch driver with the wake-gesture value `value`:
// "change@<devpath>", "ACTION=change", "DEVPATH=<devpath>",
// "SUBSYSTEM=ZYR_TW2", "TOUCH_GESTURE_WAKEUP=<value>", "SEQNUM=<n>", each
// ending in a zero byte, as the kernel formats it.
std::string touchUevent(const std::string& value);

// Joins `lines` into one uevent message, each line ending in a zero byte.
std::string ueventMessage(const std::initializer_list<std::string>& lines);

// Sends `message` to every listener under the simulator's root. Returns how
// many listeners took it (0 when nobody listens), or -1 with errno set when
// the message cannot be sent at all (too long). Names of closed listeners
// are removed on the way. A listener's queue holds only a few datagrams, so
// a full one is waited on for up to a second (standing in for the kernel's
// deeper netlink queue); one that stays full misses the message.
int sendUevent(const Simulator& sim, const std::string& message);

// Sockets connected once to the listeners open when it is made, for a
// caller that sends many uevents and times them (a benchmark): each uevent
// then costs one send per listener, as the kernel's multicast costs one
// queueing per listener, without the look-up of the listener directory and
// the new socket sendUevent() makes every time.
class UeventSockets {
  public:
    explicit UeventSockets(const Simulator& sim);
    ~UeventSockets();
    UeventSockets(const UeventSockets&) = delete;
    UeventSockets& operator=(const UeventSockets&) = delete;

    // Listeners connected to.
    int size() const { return static_cast<int>(mFds.size()); }
    // Sends `message` to each of them without waiting; returns how many took
    // it whole.
    int send(const std::string& message);

  private:
    std::vector<int> mFds;
};

// Listeners open under the simulator's root right now.
int ueventListeners(const Simulator& sim);

// Waits until at least `count` listeners are open.
bool waitForUeventListeners(const Simulator& sim, int count, int timeoutMs);

}  // namespace twsim
