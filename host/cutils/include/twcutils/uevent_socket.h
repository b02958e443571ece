/*
 * Where the host's uevent stand-in listens.
 *
 * Without a device root uevent_open_socket() opens the kernel's
 * NETLINK_KOBJECT_UEVENT socket. Under a device root every opened socket is a
 * SOCK_DGRAM Unix socket bound at its own name in the directory below (the
 * kernel multicasts; several listeners each get every message). Whoever
 * stands in for the kernel (the simulator) sends each uevent as one datagram
 * to every socket found there; a name that refuses the datagram belongs to a
 * closed listener and may be removed.
 *
 * The receive side keeps the kernel socket's rules: one message per receive,
 * cut at the caller's length, and only messages whose sender credentials
 * name uid 0 or the listening process's own user are accepted.
 */
#pragma once

namespace twcutils {

// Logical path of the directory holding the listeners' sockets.
constexpr const char* kUeventSocketDir = "/dev/socket/uevent";

}  // namespace twcutils
