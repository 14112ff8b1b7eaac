// KVX_EventQueue: list under a mutex, consumers woken through a shared
// variable that is never waited on with the list lock held.

#include "KvxEventQueue.h"

KVX_EventQueue::KVX_EventQueue(NPT_UInt32 max, NPT_UInt32 max_before_drop)
    : m_Max(max), m_MaxBeforeDrop(max_before_drop), m_Signal(0) {
  m_Signal.SetValue(0);
}

KVX_EventQueue::~KVX_EventQueue() {}

NPT_Result KVX_EventQueue::Push(const KVX_Event& event, NPT_Cardinal* count) {
  NPT_AutoLock lock(m_Lock);
  NPT_Cardinal queued = m_Events.GetItemCount();
  if (m_Max != 0 && queued >= m_Max) return NPT_RESULT_FAILURE;
  if (m_MaxBeforeDrop != 0 && queued >= m_MaxBeforeDrop && event.kind == KVX_EVENT_TYPE_DROPPABLE) {
    return NPT_RESULT_FAILURE;
  }
  NPT_Result result = m_Events.Add(event);
  if (NPT_FAILED(result)) return result;
  if (m_Events.GetItemCount() == 1) m_Signal.SetValue(1);
  if (count) *count = m_Events.GetItemCount();
  return NPT_RESULT_SUCCESS;
}

NPT_Result KVX_EventQueue::Pop(KVX_Event& event, NPT_Timeout timeout, NPT_Cardinal* count) {
  NPT_Result result = m_Lock.Lock();
  if (NPT_FAILED(result)) return result;
  if (count) *count = 0;

  if (timeout == 0) {
    result = m_Events.PopHead(event);
  } else {
    while (m_Events.GetItemCount() == 0) {
      m_Lock.Unlock();
      result = m_Signal.WaitUntilEquals(1, timeout);
      if (NPT_FAILED(result)) return result;
      result = m_Lock.Lock();
      if (NPT_FAILED(result)) return result;
      m_Signal.SetValue(0);
    }
    result = m_Events.PopHead(event);
    // Other consumers may have been woken by the same signal and gone back to
    // waiting after this one reset it; while events remain, keep the signal
    // raised so none of them sleeps beside a non-empty queue.
    if (m_Events.GetItemCount() != 0) m_Signal.SetValue(1);
  }

  if (NPT_SUCCEEDED(result) && count) *count = m_Events.GetItemCount();
  m_Lock.Unlock();
  return result;
}
