// Test double of the usbmux client library. See UsbmuxdDouble.h. Portable
// C++; the one OS call, the tunnel's connection, is in <Linux|Windows>/.

#define KVX_DOUBLE_IMPLEMENTATION
#include "UsbmuxdDouble.h"
#include "UsbmuxdDoubleConnect.h"

#include <errno.h>

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

namespace {

// Lock order: g_Listener before g_State.mutex. g_Listener is held around every
// callback, as the real library holds its listener lock.
std::mutex g_Listener;

struct State {
  std::mutex mutex;
  std::condition_variable wake;  // to the event thread
  std::condition_variable idle;  // to kvx_double_wait_idle

  std::vector<usbmuxd_device_info_t> devices;
  std::map<std::pair<uint32_t, uint16_t>, uint16_t> ports;
  std::deque<usbmuxd_event_t> pending;
  usbmuxd_event_cb_t callback = nullptr;
  void* user_data = nullptr;

  std::thread thread;
  std::thread::id thread_id;
  bool stopping = false;
  bool delivering = false;

  int connect_result = 0;
  int connect_count = 0;
  uint32_t last_handle = 0;
  unsigned short last_port = 0;
  int subscribe_count = 0;
  int unsubscribe_count = 0;
  int delivered_count = 0;

  ~State() { Stop(); }

  void Stop() {
    std::thread worker;
    {
      std::lock_guard<std::mutex> lock(mutex);
      if (!thread.joinable()) return;
      stopping = true;
      worker = std::move(thread);
    }
    wake.notify_all();
    worker.join();
    std::lock_guard<std::mutex> lock(mutex);
    stopping = false;
    thread_id = std::thread::id();
  }
};

State g_State;

usbmuxd_event_t MakeEvent(int kind, const usbmuxd_device_info_t& device) {
  usbmuxd_event_t event;
  memset(&event, 0, sizeof(event));
  event.event = kind;
  event.device = device;
  return event;
}

void EventLoop() {
  std::unique_lock<std::mutex> lock(g_State.mutex);
  for (;;) {
    g_State.wake.wait(lock, [] { return g_State.stopping || !g_State.pending.empty(); });
    if (g_State.stopping) break;
    usbmuxd_event_t event = g_State.pending.front();
    g_State.pending.pop_front();
    g_State.delivering = true;
    lock.unlock();
    {
      // The callback is read under the listener lock, so once unsubscribe or
      // reset holds that lock no event reaches the callback they removed.
      std::lock_guard<std::mutex> listener(g_Listener);
      usbmuxd_event_cb_t callback;
      void* user_data;
      {
        std::lock_guard<std::mutex> state(g_State.mutex);
        callback = g_State.callback;
        user_data = g_State.user_data;
      }
      if (callback) callback(&event, user_data);
    }
    lock.lock();
    g_State.delivering = false;
    ++g_State.delivered_count;
    g_State.idle.notify_all();
  }
}

// With g_Listener held: tells the current subscriber that every known device
// is gone, on the calling thread, and drops the subscription.
void DropSubscription() {
  usbmuxd_event_cb_t callback;
  void* user_data;
  std::vector<usbmuxd_device_info_t> devices;
  {
    std::lock_guard<std::mutex> lock(g_State.mutex);
    callback = g_State.callback;
    user_data = g_State.user_data;
    devices = g_State.devices;
    g_State.callback = nullptr;
    g_State.user_data = nullptr;
    g_State.pending.clear();
    g_State.idle.notify_all();
  }
  if (!callback) return;
  for (const usbmuxd_device_info_t& device : devices) {
    usbmuxd_event_t event = MakeEvent(KVX_USBMUX_EVENT_DEVICE_REMOVE, device);
    callback(&event, user_data);
  }
}

}  // namespace

extern "C" {

int usbmuxd_subscribe(usbmuxd_event_cb_t callback, void* user_data) {
  if (!callback) return -EINVAL;
  std::lock_guard<std::mutex> listener(g_Listener);
  DropSubscription();
  std::lock_guard<std::mutex> lock(g_State.mutex);
  ++g_State.subscribe_count;
  g_State.callback = callback;
  g_State.user_data = user_data;
  for (const usbmuxd_device_info_t& device : g_State.devices) {
    g_State.pending.push_back(MakeEvent(KVX_USBMUX_EVENT_DEVICE_ADD, device));
  }
  if (!g_State.thread.joinable()) {
    g_State.thread = std::thread(EventLoop);
    g_State.thread_id = g_State.thread.get_id();
  }
  g_State.wake.notify_all();
  return 0;
}

#ifndef KVX_DOUBLE_WITHOUT_UNSUBSCRIBE
int usbmuxd_unsubscribe(void) {
  std::lock_guard<std::mutex> listener(g_Listener);
  {
    std::lock_guard<std::mutex> lock(g_State.mutex);
    ++g_State.unsubscribe_count;
    if (!g_State.callback) return -EINVAL;
  }
  DropSubscription();
  return 0;
}
#endif

int usbmuxd_connect(uint32_t handle, unsigned short tcp_port) {
  uint16_t loopback_port = 0;
  {
    std::lock_guard<std::mutex> lock(g_State.mutex);
    ++g_State.connect_count;
    g_State.last_handle = handle;
    g_State.last_port = tcp_port;
    if (g_State.connect_result != 0) return g_State.connect_result;
    bool known = false;
    for (const usbmuxd_device_info_t& device : g_State.devices) known = known || device.handle == handle;
    if (!known) return -ENODEV;
    auto mapped = g_State.ports.find(std::make_pair(handle, (uint16_t)tcp_port));
    if (mapped == g_State.ports.end()) return -ECONNREFUSED;
    loopback_port = mapped->second;
  }

  return kvx_double_connect_loopback(loopback_port);
}

void kvx_double_reset(void) {
  g_State.Stop();
  std::lock_guard<std::mutex> listener(g_Listener);
  std::lock_guard<std::mutex> lock(g_State.mutex);
  g_State.devices.clear();
  g_State.ports.clear();
  g_State.pending.clear();
  g_State.callback = nullptr;
  g_State.user_data = nullptr;
  g_State.delivering = false;
  g_State.connect_result = 0;
  g_State.connect_count = 0;
  g_State.last_handle = 0;
  g_State.last_port = 0;
  g_State.subscribe_count = 0;
  g_State.unsubscribe_count = 0;
  g_State.delivered_count = 0;
  g_State.idle.notify_all();
}

int kvx_double_attach(uint32_t handle, uint32_t product_id, const char* udid) {
  usbmuxd_device_info_t device;
  memset(&device, 0, sizeof(device));
  device.handle = handle;
  device.product_id = product_id;
  if (udid) strncpy(device.udid, udid, sizeof(device.udid) - 1);
  device.conn_type = CONNECTION_TYPE_USB;

  std::lock_guard<std::mutex> lock(g_State.mutex);
  g_State.devices.push_back(device);
  if (g_State.callback) {
    g_State.pending.push_back(MakeEvent(KVX_USBMUX_EVENT_DEVICE_ADD, device));
    g_State.wake.notify_all();
  }
  return 0;
}

int kvx_double_detach(uint32_t handle) {
  std::lock_guard<std::mutex> lock(g_State.mutex);
  for (auto it = g_State.devices.begin(); it != g_State.devices.end(); ++it) {
    if (it->handle != handle) continue;
    usbmuxd_device_info_t device = *it;
    g_State.devices.erase(it);
    if (g_State.callback) {
      g_State.pending.push_back(MakeEvent(KVX_USBMUX_EVENT_DEVICE_REMOVE, device));
      g_State.wake.notify_all();
    }
    return 0;
  }
  return -ENODEV;
}

int kvx_double_map_port(uint32_t handle, uint16_t device_port, uint16_t loopback_port) {
  std::lock_guard<std::mutex> lock(g_State.mutex);
  if (loopback_port == 0) {
    g_State.ports.erase(std::make_pair(handle, device_port));
  } else {
    g_State.ports[std::make_pair(handle, device_port)] = loopback_port;
  }
  return 0;
}

void kvx_double_set_connect_result(int result) {
  std::lock_guard<std::mutex> lock(g_State.mutex);
  g_State.connect_result = result;
}

int kvx_double_wait_idle(int timeout_ms) {
  std::unique_lock<std::mutex> lock(g_State.mutex);
  bool idle = g_State.idle.wait_for(lock, std::chrono::milliseconds(timeout_ms),
                                    [] { return g_State.pending.empty() && !g_State.delivering; });
  return idle ? 0 : -ETIMEDOUT;
}

int kvx_double_is_event_thread(void) {
  std::lock_guard<std::mutex> lock(g_State.mutex);
  return g_State.thread_id == std::this_thread::get_id() ? 1 : 0;
}

int kvx_double_connect_count(void) {
  std::lock_guard<std::mutex> lock(g_State.mutex);
  return g_State.connect_count;
}

uint32_t kvx_double_last_connect_handle(void) {
  std::lock_guard<std::mutex> lock(g_State.mutex);
  return g_State.last_handle;
}

unsigned short kvx_double_last_connect_port(void) {
  std::lock_guard<std::mutex> lock(g_State.mutex);
  return g_State.last_port;
}

int kvx_double_subscribe_count(void) {
  std::lock_guard<std::mutex> lock(g_State.mutex);
  return g_State.subscribe_count;
}

int kvx_double_unsubscribe_count(void) {
  std::lock_guard<std::mutex> lock(g_State.mutex);
  return g_State.unsubscribe_count;
}

int kvx_double_delivered_count(void) {
  std::lock_guard<std::mutex> lock(g_State.mutex);
  return g_State.delivered_count;
}

}  // extern "C"
