#pragma once
/* The event record and callback type of the usbmux client library, with its
 * published binary layout (checked below). Plain C so that test doubles of the
 * library can share it. Only the first four members are read by kvx. */

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Event kinds. Any other value is ignored. */
enum {
  KVX_USBMUX_EVENT_DEVICE_ADD = 1,
  KVX_USBMUX_EVENT_DEVICE_REMOVE = 2,
  KVX_USBMUX_EVENT_DEVICE_PAIRED = 3
};

/* How the device is attached. */
enum usbmux_connection_type { CONNECTION_TYPE_USB = 1, CONNECTION_TYPE_NETWORK = 2 };

typedef struct {
  uint32_t handle;                        /* the daemon's handle, given back to usbmuxd_connect */
  uint32_t product_id;                    /* USB product id */
  char udid[44];                          /* identifier, NUL-terminated */
  enum usbmux_connection_type conn_type;  /* USB or network */
  char conn_data[200];                    /* network address data; unused for USB */
} usbmuxd_device_info_t;

typedef struct {
  int event;                     /* KVX_USBMUX_EVENT_DEVICE_ADD, _REMOVE, ... */
  usbmuxd_device_info_t device;  /* the device the event is about */
} usbmuxd_event_t;

/* Called by the library on a thread of its own for every event of a
 * subscription; `event` is valid only during the call. */
typedef void (*usbmuxd_event_cb_t)(const usbmuxd_event_t* event, void* user_data);

/* The entry points as the library exports them. */
typedef int (*usbmuxd_connect_fn)(uint32_t handle, unsigned short tcp_port);
typedef int (*usbmuxd_subscribe_fn)(usbmuxd_event_cb_t callback, void* user_data);
typedef int (*usbmuxd_unsubscribe_fn)(void);
/* A fresh list of the attached devices (the count, or a negative error
 * number), released with the second. */
typedef int (*usbmuxd_get_device_list_fn)(usbmuxd_device_info_t** device_list);
typedef int (*usbmuxd_device_list_free_fn)(usbmuxd_device_info_t** device_list);

#ifdef __cplusplus
}
#endif

#ifdef __cplusplus
#include <cstddef>
static_assert(sizeof(usbmuxd_device_info_t) == 256, "device record layout");
static_assert(offsetof(usbmuxd_device_info_t, udid) == 8, "device record layout");
static_assert(offsetof(usbmuxd_device_info_t, conn_type) == 52, "device record layout");
static_assert(offsetof(usbmuxd_device_info_t, conn_data) == 56, "device record layout");
static_assert(sizeof(usbmuxd_event_t) == 260, "event record layout");
static_assert(offsetof(usbmuxd_event_t, device) == 4, "event record layout");
#endif
