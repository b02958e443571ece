/*
 * Messages between the device module and a hidraw node that is a
 * SOCK_SEQPACKET Unix socket (the host stand-in of a HID device).
 *
 * Every request gets exactly one reply, in order, on the same connection.
 *
 * Request:  uint8 op, then the report bytes (byte 0 is the report number).
 *   kGetFeature:    the caller's buffer as handed to HIDIOCGFEATURE(len):
 *                   len bytes, byte 0 the report number.
 *   kSetFeature:    the len bytes of HIDIOCSFEATURE(len).
 *   kOutputReport:  the bytes of one write(2).
 * Reply:    int32 result in host byte order: bytes transferred (>= 0), or a
 *           negative errno value; for kGetFeature followed by the report
 *           bytes (at most len of them, byte 0 the report number).
 */
#pragma once

#include <stddef.h>
#include <stdint.h>

namespace twdevice {
namespace hidseam {

enum Op : uint8_t {
    kGetFeature = 1,
    kSetFeature = 2,
    kOutputReport = 3,
};

// Largest report carried (the hidraw ioctl size field is 14 bits).
constexpr size_t kMaxReport = 16383;
// Bytes before the report in a request and in a reply.
constexpr size_t kRequestHeader = 1;
constexpr size_t kReplyHeader = sizeof(int32_t);
// How long a request waits for its reply (the kernel's USB control timeout).
constexpr int kReplyTimeoutMs = 5000;

}  // namespace hidseam
}  // namespace twdevice
