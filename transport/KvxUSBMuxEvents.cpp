// The usbmux event fan-out. See KvxUSBMuxEvents.h for the contract.

#include "KvxUSBMuxEvents.h"

#include <cstring>

#include "KvxUSBMux.h"

KVX_USBMuxEvents& KVX_USBMuxEvents::GetDefault() {
  // Never destroyed: the library's event thread outlives static destruction
  // and keeps this object as its callback's user data.
  static KVX_USBMuxEvents* instance = new KVX_USBMuxEvents(KVX_USBMux::GetDefault());
  return *instance;
}

KVX_USBMuxEvents::KVX_USBMuxEvents(KVX_USBMux& mux) : m_Mux(mux), m_Subscribed(false) {}

KVX_USBMuxEvents::~KVX_USBMuxEvents() {
  if (m_Subscribed.load(std::memory_order_acquire)) m_Mux.Unsubscribe();
}

NPT_Result KVX_USBMuxEvents::AddSubscriber(usbmuxd_event_cb_t callback, void* user_data) {
  if (callback == nullptr) return NPT_ERROR_INVALID_PARAMETERS;

  NPT_Result result = NPT_SUCCESS;
  if (!m_Subscribed.load(std::memory_order_acquire)) {
    std::lock_guard<std::mutex> guard(m_SubscribeLock);
    if (!m_Subscribed.load(std::memory_order_acquire)) {
      // Not under m_Lock: the library may call back on this thread (a test
      // double replays synchronously), and OnLibraryEvent takes m_Lock.
      int subscribed = m_Mux.Subscribe(&KVX_USBMuxEvents::OnLibraryEvent, this);
      if (subscribed == 0) {
        m_Subscribed.store(true, std::memory_order_release);
      } else {
        result = subscribed < 0 ? subscribed : NPT_RESULT_FAILURE;
      }
    }
  }

  std::unique_lock<std::mutex> lock(m_Lock);
  SubscriberRef subscriber = std::make_shared<Subscriber>();
  subscriber->callback = callback;
  subscriber->user_data = user_data;
  for (const usbmuxd_device_info_t& device : m_Devices) {
    usbmuxd_event_t event;
    memset(&event, 0, sizeof(event));
    event.event = KVX_USBMUX_EVENT_DEVICE_ADD;
    event.device = device;
    subscriber->queue.push_back(event);
  }
  // Busy from the start: a live event arriving during the replay is queued
  // behind it, and the library's thread waits for this replay to finish, so
  // the order holds and the replay ends.
  subscriber->busy = true;
  subscriber->owner = std::this_thread::get_id();
  m_Subscribers.push_back(subscriber);
  Drain(subscriber, lock);
  return result;
}

NPT_Result KVX_USBMuxEvents::RemoveSubscriber(usbmuxd_event_cb_t callback, void* user_data) {
  std::unique_lock<std::mutex> lock(m_Lock);
  SubscriberRef subscriber;
  for (const SubscriberRef& candidate : m_Subscribers) {
    if (!candidate->removed && candidate->callback == callback && candidate->user_data == user_data) {
      subscriber = candidate;
      break;
    }
  }
  if (!subscriber) return NPT_ERROR_NO_SUCH_ITEM;
  subscriber->removed = true;
  subscriber->queue.clear();
  if (subscriber->busy) {
    // Removing from inside its own callback: the delivering frame below us
    // drops the entry once the callback returns.
    if (subscriber->owner == std::this_thread::get_id()) return NPT_SUCCESS;
    // Waiting releases m_Lock, so the delivering thread can finish and other
    // subscribers keep receiving events. Drain drops the entry when done.
    m_Idle.wait(lock, [&subscriber] { return !subscriber->busy; });
    return NPT_SUCCESS;
  }
  m_Subscribers.remove(subscriber);
  return NPT_SUCCESS;
}

NPT_Cardinal KVX_USBMuxEvents::GetSubscriberCount() {
  std::lock_guard<std::mutex> lock(m_Lock);
  NPT_Cardinal count = 0;
  for (const SubscriberRef& s : m_Subscribers) count += s->removed ? 0 : 1;
  return count;
}

NPT_Cardinal KVX_USBMuxEvents::GetDeviceCount() {
  std::lock_guard<std::mutex> lock(m_Lock);
  return (NPT_Cardinal)m_Devices.size();
}

void KVX_USBMuxEvents::OnLibraryEvent(const usbmuxd_event_t* event, void* user_data) {
  if (event == nullptr || user_data == nullptr) return;
  static_cast<KVX_USBMuxEvents*>(user_data)->Dispatch(*event);
}

void KVX_USBMuxEvents::Dispatch(const usbmuxd_event_t& event) {
  std::unique_lock<std::mutex> lock(m_Lock);

  // Track the attached devices for the replay to late subscribers. A handle
  // names one device for the daemon's lifetime; an attach for a known handle
  // refreshes its record.
  if (event.event == KVX_USBMUX_EVENT_DEVICE_ADD || event.event == KVX_USBMUX_EVENT_DEVICE_REMOVE) {
    std::vector<usbmuxd_device_info_t>::iterator known = m_Devices.begin();
    while (known != m_Devices.end() && known->handle != event.device.handle) ++known;
    if (event.event == KVX_USBMUX_EVENT_DEVICE_ADD) {
      if (known == m_Devices.end()) {
        m_Devices.push_back(event.device);
      } else {
        *known = event.device;
      }
    } else if (known != m_Devices.end()) {
      m_Devices.erase(known);
    }
  }

  // The subscribers present now get the event; the shared references keep
  // them alive while m_Lock is released below.
  std::vector<SubscriberRef> targets;
  for (const SubscriberRef& subscriber : m_Subscribers) {
    if (subscriber->removed) continue;
    subscriber->queue.push_back(event);
    targets.push_back(subscriber);
  }
  const std::thread::id self = std::this_thread::get_id();
  for (const SubscriberRef& subscriber : targets) {
    // A replay in progress on another thread delivers this event too; wait
    // for it (and thereby bound it) rather than deliver out of order.
    m_Idle.wait(lock, [&] { return !subscriber->busy || subscriber->owner == self || subscriber->removed; });
    if (subscriber->busy || subscriber->removed || subscriber->queue.empty()) continue;
    subscriber->busy = true;
    subscriber->owner = self;
    Drain(subscriber, lock);
  }
}

void KVX_USBMuxEvents::Drain(const SubscriberRef& subscriber, std::unique_lock<std::mutex>& lock) {
  while (!subscriber->removed && !subscriber->queue.empty()) {
    usbmuxd_event_t event = subscriber->queue.front();
    subscriber->queue.pop_front();
    lock.unlock();
    subscriber->callback(&event, subscriber->user_data);
    lock.lock();
  }
  subscriber->busy = false;
  subscriber->owner = std::thread::id();
  if (subscriber->removed) m_Subscribers.remove(subscriber);
  m_Idle.notify_all();
}
