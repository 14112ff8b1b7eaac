#pragma once
// KVX_EventQueue: a thread-safe first-in first-out queue of small event
// records, with two admission limits and a consumer that can wait, with a
// timeout, until an event arrives.
//
// Each device stream owns one (limits 1000 and 100) and pushes onto it through
// KVX_Device::AddEvent. Any number of threads may push and pop; the list lock
// is never held while a consumer waits.

#include "NptList.h"
#include "NptResults.h"
#include "NptThreads.h"
#include "NptTypes.h"

// Event kinds. Only KVX_EVENT_TYPE_DROPPABLE (1) means something to the
// queue: it is refused once the queue holds `max_before_drop` events. Other
// values pass through untouched.
enum KVX_EventType : NPT_Int32 {
  KVX_EVENT_TYPE_NONE = 0,
  KVX_EVENT_TYPE_DROPPABLE = 1
};

// A plain 12-byte record copied bit for bit into and out of the queue. The
// payload is opaque to the queue: nothing it may point at is owned or freed by
// the queue, neither on Pop nor when the queue is destroyed with events inside.
struct KVX_Event {
  KVX_EventType kind;
  NPT_UInt8 payload[8];
};
static_assert(sizeof(KVX_Event) == 12, "KVX_Event is a 12-byte record");

class KVX_EventQueue {
 public:
  // `max`: hard limit on queued events; `max_before_drop`: limit past which
  // droppable (kind 1) events are refused. 0 disables a limit.
  KVX_EventQueue(NPT_UInt32 max, NPT_UInt32 max_before_drop);
  // Events still queued are discarded (no per-event clean-up).
  ~KVX_EventQueue();
  KVX_EventQueue(const KVX_EventQueue&) = delete;
  KVX_EventQueue& operator=(const KVX_EventQueue&) = delete;

  // Appends a copy of `event`. NPT_RESULT_FAILURE when the queue holds `max`
  // events, or when `event` is droppable and the queue holds
  // `max_before_drop` events; the queue is then unchanged. `count` (may be
  // null) receives the number of queued events after a successful push.
  NPT_Result Push(const KVX_Event& event, NPT_Cardinal* count = nullptr);

  // Takes the oldest event into `event`. `timeout` in milliseconds: 0 does not
  // wait (NPT_ERROR_LIST_EMPTY on an empty queue), NPT_TIMEOUT_INFINITE waits
  // without limit, otherwise NPT_ERROR_TIMEOUT when a wait for an event runs
  // out. `count` (may be null) is set to 0 at once and, on success, to the
  // number of events left.
  NPT_Result Pop(KVX_Event& event, NPT_Timeout timeout, NPT_Cardinal* count = nullptr);

 private:
  NPT_UInt32 m_Max;
  NPT_UInt32 m_MaxBeforeDrop;
  NPT_Mutex m_Lock;
  NPT_List<KVX_Event> m_Events;
  // 1 once the list went from empty to non-empty (or still holds events after
  // a waiter took one); a waiting consumer resets it to 0. It only ever means
  // "something may have arrived": waiters re-check the list under m_Lock.
  NPT_SharedVariable m_Signal;
};
