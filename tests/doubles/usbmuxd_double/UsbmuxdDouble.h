#pragma once
// Test double of the usbmux client library: what it exports and how tests
// drive it.
//
// It exports the library's three entry points (the "nounsub" variant lacks
// usbmuxd_unsubscribe) and test controls prefixed kvx_double_. It behaves like
// the real library where kvx can tell:
// - usbmuxd_subscribe replaces any earlier subscription (the earlier callback
//   first gets REMOVE for every known device, on the caller's thread), then
//   replays ADD for every attached device; all events of a subscription are
//   delivered on a thread the double owns, one at a time, with a listener lock
//   held (a callback must not call subscribe or unsubscribe).
// - usbmuxd_unsubscribe calls the callback with REMOVE for every known device
//   on the calling thread, then drops the subscription; -22 when there is none.
// - usbmuxd_connect(handle, port) connects to the loopback TCP port mapped to
//   (handle, port) and returns the descriptor, non-blocking; -19 for an unknown
//   handle, -111 when the port is not mapped or the connection is refused.
//
// Tests load the double by path (one copy per file, state per copy;
// kvx_test::UsbmuxdDoublePath) and reach the controls through KvxUsbmuxdDouble
// below, without linking it.

#include <stdint.h>

#include "KvxUSBMuxTypes.h"

// What the double exports is marked so (its CMake file says how per platform).
#ifndef KVX_DOUBLE_EXPORT
#define KVX_DOUBLE_EXPORT
#endif

extern "C" {
// The library's entry points.
KVX_DOUBLE_EXPORT int usbmuxd_connect(uint32_t handle, unsigned short tcp_port);
KVX_DOUBLE_EXPORT int usbmuxd_subscribe(usbmuxd_event_cb_t callback, void* user_data);
#ifndef KVX_DOUBLE_WITHOUT_UNSUBSCRIBE
KVX_DOUBLE_EXPORT int usbmuxd_unsubscribe(void);
#endif

// Stops the event thread (waiting for a callback in progress), drops the
// subscription without events, and forgets devices, port maps and counters.
KVX_DOUBLE_EXPORT void kvx_double_reset(void);
// A device appears: ADD to the subscriber (if any) from the event thread.
// `udid` is copied as the event carries it (up to 43 characters).
KVX_DOUBLE_EXPORT int kvx_double_attach(uint32_t handle, uint32_t product_id, const char* udid);
// The device goes away: REMOVE with the record saved at attach. -19 if unknown.
KVX_DOUBLE_EXPORT int kvx_double_detach(uint32_t handle);
// Tunnels to (handle, device_port) go to 127.0.0.1:loopback_port; 0 unmaps.
KVX_DOUBLE_EXPORT int kvx_double_map_port(uint32_t handle, uint16_t device_port, uint16_t loopback_port);
// Makes every usbmuxd_connect return `result` (a negative errno) without
// connecting; 0 restores normal behaviour.
KVX_DOUBLE_EXPORT void kvx_double_set_connect_result(int result);
// Waits until every queued event has been delivered: 0, or -110 on time-out.
KVX_DOUBLE_EXPORT int kvx_double_wait_idle(int timeout_ms);
// 1 when called on the double's event thread.
KVX_DOUBLE_EXPORT int kvx_double_is_event_thread(void);
// Counters since the last reset.
KVX_DOUBLE_EXPORT int kvx_double_connect_count(void);
KVX_DOUBLE_EXPORT uint32_t kvx_double_last_connect_handle(void);
KVX_DOUBLE_EXPORT unsigned short kvx_double_last_connect_port(void);
KVX_DOUBLE_EXPORT int kvx_double_subscribe_count(void);
KVX_DOUBLE_EXPORT int kvx_double_unsubscribe_count(void);
KVX_DOUBLE_EXPORT int kvx_double_delivered_count(void);
}

#ifndef KVX_DOUBLE_IMPLEMENTATION
#include <string>

#include "TestSupport.h"

// The controls of one loaded copy of the double, looked up by name. Loading
// the same path as the binding gives the same copy (the loader shares it).
// Holds a reference on the copy for its lifetime.
class KvxUsbmuxdDouble {
 public:
  explicit KvxUsbmuxdDouble(const std::string& path) : m_Handle(kvx_test::OpenLibrary(path)) {
    if (!m_Handle) return;
    reset = Find<decltype(reset)>("kvx_double_reset");
    attach = Find<decltype(attach)>("kvx_double_attach");
    detach = Find<decltype(detach)>("kvx_double_detach");
    map_port = Find<decltype(map_port)>("kvx_double_map_port");
    set_connect_result = Find<decltype(set_connect_result)>("kvx_double_set_connect_result");
    wait_idle = Find<decltype(wait_idle)>("kvx_double_wait_idle");
    is_event_thread = Find<decltype(is_event_thread)>("kvx_double_is_event_thread");
    connect_count = Find<decltype(connect_count)>("kvx_double_connect_count");
    last_connect_handle = Find<decltype(last_connect_handle)>("kvx_double_last_connect_handle");
    last_connect_port = Find<decltype(last_connect_port)>("kvx_double_last_connect_port");
    subscribe_count = Find<decltype(subscribe_count)>("kvx_double_subscribe_count");
    unsubscribe_count = Find<decltype(unsubscribe_count)>("kvx_double_unsubscribe_count");
    delivered_count = Find<decltype(delivered_count)>("kvx_double_delivered_count");
  }
  ~KvxUsbmuxdDouble() {
    if (m_Handle) kvx_test::CloseLibrary(m_Handle);
  }
  KvxUsbmuxdDouble(const KvxUsbmuxdDouble&) = delete;
  KvxUsbmuxdDouble& operator=(const KvxUsbmuxdDouble&) = delete;

  // True when the copy loaded and every control was found.
  bool IsLoaded() const {
    return m_Handle && reset && attach && detach && map_port && set_connect_result && wait_idle && is_event_thread &&
           connect_count && last_connect_handle && last_connect_port && subscribe_count && unsubscribe_count &&
           delivered_count;
  }

  void (*reset)(void) = nullptr;
  int (*attach)(uint32_t, uint32_t, const char*) = nullptr;
  int (*detach)(uint32_t) = nullptr;
  int (*map_port)(uint32_t, uint16_t, uint16_t) = nullptr;
  void (*set_connect_result)(int) = nullptr;
  int (*wait_idle)(int) = nullptr;
  int (*is_event_thread)(void) = nullptr;
  int (*connect_count)(void) = nullptr;
  uint32_t (*last_connect_handle)(void) = nullptr;
  unsigned short (*last_connect_port)(void) = nullptr;
  int (*subscribe_count)(void) = nullptr;
  int (*unsubscribe_count)(void) = nullptr;
  int (*delivered_count)(void) = nullptr;

 private:
  template <typename F>
  F Find(const char* name) {
    return reinterpret_cast<F>(kvx_test::FindLibrarySymbol(m_Handle, name));
  }
  void* m_Handle;
};
#endif
