#pragma once
// KVX_USBMuxEvents: one usbmux event subscription per binding, shared by any
// number of subscribers (USB controllers).
//
// The usbmux client library keeps a single legacy subscription per process:
// subscribing again silently drops the previous callback, and unsubscribing
// synthesises detach events on the caller's thread with a use-after-free
// window. So the binding's library is subscribed once, at the first
// AddSubscriber, and never unsubscribed while the process runs; events are
// fanned out here to every subscriber. A late subscriber first receives an
// attach for every device currently attached (as the library itself does for
// a new subscription), then the live events, in order.
//
// Threads: subscriber callbacks run on the library's event thread, except the
// replay of current devices to a new subscriber (and a live event that arrived
// during it), which runs on the thread calling AddSubscriber; the library's
// thread waits for such a replay to finish before it delivers to that
// subscriber. Each subscriber receives its events one at a time, in order.
// No lock of this class is held while a subscriber callback runs, so a
// callback may take its own locks (and the threads holding those may call
// AddSubscriber or RemoveSubscriber) without deadlock.

#include <atomic>
#include <condition_variable>
#include <deque>
#include <list>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "KvxUSBMuxTypes.h"
#include "NptTypes.h"

class KVX_USBMux;

class KVX_USBMuxEvents {
 public:
  // The fan-out over KVX_USBMux::GetDefault(); never destroyed, so the
  // library's callback never reaches a destroyed object.
  static KVX_USBMuxEvents& GetDefault();

  // FOR TESTS: a fan-out over `mux`, which must outlive it. Its destructor
  // unsubscribes from the library when it had subscribed (the library must
  // then deliver no further event, as the test double guarantees).
  explicit KVX_USBMuxEvents(KVX_USBMux& mux);
  ~KVX_USBMuxEvents();
  KVX_USBMuxEvents(const KVX_USBMuxEvents&) = delete;
  KVX_USBMuxEvents& operator=(const KVX_USBMuxEvents&) = delete;

  // The binding tunnels are opened with.
  KVX_USBMux& GetMux() { return m_Mux; }

  // Registers callback(event, user_data) and replays an attach for every
  // device currently attached, on the calling thread, before returning.
  // Subscribes to the library first if that has not succeeded yet; the
  // result is the library's subscribe result (-1 without library or entry),
  // NPT_SUCCESS when the subscription already existed. The subscriber is
  // registered whatever the result, so a controller without the library still
  // runs (and hears nothing). Registering the same pair twice delivers twice.
  NPT_Result AddSubscriber(usbmuxd_event_cb_t callback, void* user_data);

  // Unregisters the pair. When it returns, the callback is not running and
  // will not be called again for it, with one exception: called from inside
  // that very callback, it returns at once and the call in progress simply
  // finishes. NPT_ERROR_NO_SUCH_ITEM when the pair is not registered.
  NPT_Result RemoveSubscriber(usbmuxd_event_cb_t callback, void* user_data);

  // Number of subscribers and of devices currently attached (tests).
  NPT_Cardinal GetSubscriberCount();
  NPT_Cardinal GetDeviceCount();

 private:
  struct Subscriber {
    usbmuxd_event_cb_t callback;
    void* user_data;
    std::deque<usbmuxd_event_t> queue;  // events not yet delivered
    bool busy = false;                  // a thread is delivering its queue
    std::thread::id owner;              // that thread
    bool removed = false;               // RemoveSubscriber was called
  };
  typedef std::shared_ptr<Subscriber> SubscriberRef;

  static void OnLibraryEvent(const usbmuxd_event_t* event, void* user_data);
  void Dispatch(const usbmuxd_event_t& event);
  // With m_Lock held through `lock` and `subscriber->busy` just set by this
  // thread: delivers the queue (unlocking around each call), then clears busy
  // and drops the subscriber if it was removed meanwhile.
  void Drain(const SubscriberRef& subscriber, std::unique_lock<std::mutex>& lock);

  KVX_USBMux& m_Mux;
  // Serialises the library subscribe call; never taken by event delivery.
  std::mutex m_SubscribeLock;
  std::atomic<bool> m_Subscribed;
  // Guards everything below; never held while a callback runs.
  std::mutex m_Lock;
  std::condition_variable m_Idle;  // a subscriber stopped being busy
  std::list<SubscriberRef> m_Subscribers;
  std::vector<usbmuxd_device_info_t> m_Devices;  // attached, in attach order
};
