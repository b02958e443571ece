/*
 * Host stand-in of the platform's libusbhost: the same C API over usbfs
 * under the device root ("/dev/bus/usb/BBB/DDD", mapped by the device
 * module).
 *
 * Differences from the platform library, all host-only:
 *  - usb_host_cleanup() may be called from another thread while
 *    usb_host_run() is blocked; it wakes the loop, waits until it has
 *    returned, then frees the context. Called from inside a callback it ends
 *    the loop once that callback returns.
 *  - usb_host_run() on a context that was already cleaned up returns at once.
 *  - A node that is not a usbfs device (a plain file holding the device's
 *    descriptors) cannot do control transfers; the string getters then read
 *    the matching sysfs device's attributes ("serial", "product",
 *    "manufacturer"), waiting up to the given time for them to appear.
 */
#ifndef __USB_HOST_H
#define __USB_HOST_H

#include <linux/usb/ch9.h>
#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

struct usb_host_context;
struct usb_device;

/* Called when a device is added; return non-zero to end usb_host_run(). */
typedef int (*usb_device_added_cb)(const char* dev_name, void* client_data);
/* Called when a device is removed; return non-zero to end usb_host_run(). */
typedef int (*usb_device_removed_cb)(const char* dev_name, void* client_data);
/* Called once the devices present at start have been reported; return
 * non-zero to end usb_host_run(). */
typedef int (*usb_discovery_done_cb)(void* client_data);

struct usb_host_context* usb_host_init(void);
void usb_host_cleanup(struct usb_host_context* context);

/* The descriptor to poll when driving the context with usb_host_load() and
 * usb_host_read_event() instead of usb_host_run(). */
int usb_host_get_fd(struct usb_host_context* context);

/* Installs the callbacks, reports the devices already present and calls the
 * discovery-done callback. Returns non-zero when a callback asked to stop. */
int usb_host_load(struct usb_host_context* context, usb_device_added_cb added_cb,
                  usb_device_removed_cb removed_cb, usb_discovery_done_cb discovery_done_cb,
                  void* client_data);

/* Handles the pending events. Returns non-zero when a callback asked to stop
 * (or the context is being cleaned up), -1 on a read error. */
int usb_host_read_event(struct usb_host_context* context);

/* Reports present devices, then added and removed ones, until a callback
 * returns non-zero or the context is cleaned up. */
void usb_host_run(struct usb_host_context* context, usb_device_added_cb added_cb,
                  usb_device_removed_cb removed_cb, usb_discovery_done_cb discovery_done_cb,
                  void* client_data);

/* Opens a device by its name ("/dev/bus/usb/001/002"); NULL with errno set. */
struct usb_device* usb_device_open(const char* dev_name);
/* Wraps an open descriptor; the device takes it over. */
struct usb_device* usb_device_new(const char* dev_name, int fd);
void usb_device_close(struct usb_device* device);

const char* usb_device_get_name(struct usb_device* device);
int usb_device_get_fd(struct usb_device* device);
int usb_device_get_unique_id(struct usb_device* device);
uint16_t usb_device_get_vendor_id(struct usb_device* device);
uint16_t usb_device_get_product_id(struct usb_device* device);
const struct usb_device_descriptor* usb_device_get_device_descriptor(struct usb_device* device);

/* Strings of the device, NULL when it has none or does not answer within
 * timeout_ms. The caller frees them with free(). */
char* usb_device_get_string(struct usb_device* device, int id, int timeout_ms);
char* usb_device_get_manufacturer_name(struct usb_device* device, int timeout_ms);
char* usb_device_get_product_name(struct usb_device* device, int timeout_ms);
char* usb_device_get_serial(struct usb_device* device, int timeout_ms);

/* A control transfer on endpoint 0 (USBDEVFS_CONTROL); bytes transferred or
 * -1 with errno set (ENOTTY when the node is not a usbfs device). */
int usb_device_control_transfer(struct usb_device* device, int requestType, int request, int value,
                                int index, void* buffer, int length, unsigned int timeout);

#ifdef __cplusplus
}
#endif

#endif /* __USB_HOST_H */
