// Win32 threads and synchronisation: _beginthreadex threads created
// suspended, OS mutexes and events, a critical section with a condition
// variable under the shared variable, interlocked counters.

#include "NptWin32Threads.h"

#include <process.h>

#include <cstdlib>

#include "NptLogging.h"
#include "NptSystem.h"

NPT_SET_LOCAL_LOGGER("npt.threads.win32")

namespace {

DWORD ToMilliseconds(NPT_Timeout timeout) { return timeout < 0 ? INFINITE : (DWORD)timeout; }

}  // namespace

/*----------------------------------------------------------------------
|   NPT_Win32Event
+---------------------------------------------------------------------*/
NPT_Win32Event::NPT_Win32Event(bool manual_reset, bool initially_signalled)
    : m_Event(CreateEventW(nullptr, manual_reset ? TRUE : FALSE, initially_signalled ? TRUE : FALSE, nullptr)) {}

NPT_Win32Event::~NPT_Win32Event() {
  if (m_Event) CloseHandle(m_Event);
}

NPT_Result NPT_Win32Event::Wait(NPT_Timeout timeout) {
  if (m_Event == nullptr) return NPT_SUCCESS;
  switch (WaitForSingleObject(m_Event, ToMilliseconds(timeout))) {
    case WAIT_OBJECT_0:
    case WAIT_ABANDONED:
      return NPT_SUCCESS;
    case WAIT_TIMEOUT:
      return NPT_ERROR_TIMEOUT;
    default:
      return NPT_RESULT_FAILURE;
  }
}

NPT_Result NPT_Win32Event::Signal() {
  if (m_Event) SetEvent(m_Event);
  return NPT_SUCCESS;
}

NPT_Result NPT_Win32Event::Reset() {
  if (m_Event) ResetEvent(m_Event);
  return NPT_SUCCESS;
}

/*----------------------------------------------------------------------
|   NPT_Win32Mutex
+---------------------------------------------------------------------*/
NPT_Win32Mutex::NPT_Win32Mutex() : m_Handle(CreateMutexW(nullptr, FALSE, nullptr)) {}

NPT_Win32Mutex::~NPT_Win32Mutex() {
  if (m_Handle) CloseHandle(m_Handle);
}

NPT_Result NPT_Win32Mutex::Lock() {
  if (m_Handle == nullptr) return NPT_RESULT_FAILURE;
  return WaitForSingleObject(m_Handle, INFINITE) == WAIT_OBJECT_0 ? NPT_SUCCESS : NPT_RESULT_FAILURE;
}

NPT_Result NPT_Win32Mutex::Unlock() {
  if (m_Handle) ReleaseMutex(m_Handle);
  return NPT_SUCCESS;
}

NPT_Mutex::NPT_Mutex() : m_Delegate(new NPT_Win32Mutex()) {}

/*----------------------------------------------------------------------
|   NPT_Win32SharedVariable
+---------------------------------------------------------------------*/
NPT_Win32SharedVariable::NPT_Win32SharedVariable(int value) : m_Value(value), m_Changes(0) {
  InitializeCriticalSection(&m_Lock);
  InitializeConditionVariable(&m_Changed);
}

NPT_Win32SharedVariable::~NPT_Win32SharedVariable() { DeleteCriticalSection(&m_Lock); }

void NPT_Win32SharedVariable::SetValue(int value) {
  EnterCriticalSection(&m_Lock);
  if ((int)m_Value != value) {
    InterlockedExchange(&m_Value, (LONG)value);
    ++m_Changes;
    WakeAllConditionVariable(&m_Changed);
  }
  LeaveCriticalSection(&m_Lock);
}

int NPT_Win32SharedVariable::GetValue() { return (int)InterlockedCompareExchange(&m_Value, 0, 0); }

NPT_Result NPT_Win32SharedVariable::WaitUntilEquals(int value, NPT_Timeout timeout) {
  return WaitForCondition(true, value, timeout);
}

NPT_Result NPT_Win32SharedVariable::WaitWhileEquals(int value, NPT_Timeout timeout) {
  return WaitForCondition(false, value, timeout);
}

// The lock is released while blocked, and every timeout applies to one wait
// for a change: a waiter woken by a change that does not meet its condition
// starts a fresh wait. Spurious wake-ups only shorten what is left.
NPT_Result NPT_Win32SharedVariable::WaitForCondition(bool until_equals, int value, NPT_Timeout timeout) {
  EnterCriticalSection(&m_Lock);
  NPT_Result result = NPT_SUCCESS;
  while (((int)m_Value == value) != until_equals) {
    if (timeout == 0) {
      result = NPT_ERROR_TIMEOUT;
      break;
    }
    const unsigned long seen = m_Changes;
    const ULONGLONG deadline = GetTickCount64() + (ULONGLONG)(timeout > 0 ? timeout : 0);
    while (m_Changes == seen && result == NPT_SUCCESS) {
      DWORD wait = INFINITE;
      if (timeout > 0) {
        const ULONGLONG now = GetTickCount64();
        wait = now >= deadline ? 0 : (DWORD)(deadline - now);
      }
      if (!SleepConditionVariableCS(&m_Changed, &m_Lock, wait) && m_Changes == seen) {
        if (GetLastError() != ERROR_TIMEOUT) {
          result = NPT_RESULT_FAILURE;
        } else if (timeout > 0 && GetTickCount64() >= deadline) {
          result = NPT_ERROR_TIMEOUT;
        }
      }
    }
    if (result != NPT_SUCCESS) break;
  }
  LeaveCriticalSection(&m_Lock);
  return result;
}

NPT_SharedVariable::NPT_SharedVariable(int value) : m_Delegate(new NPT_Win32SharedVariable(value)) {}

/*----------------------------------------------------------------------
|   NPT_AtomicVariable
+---------------------------------------------------------------------*/
NPT_AtomicVariable::NPT_AtomicVariable(int value) : m_Delegate(new NPT_Win32AtomicVariable(value)) {}

/*----------------------------------------------------------------------
|   NPT_Win32Thread
+---------------------------------------------------------------------*/
NPT_Win32Thread::NPT_Win32Thread(NPT_Thread* delegator, NPT_Runnable& target, bool detached)
    : m_Delegator(delegator),
      m_Target(target),
      m_Detached(detached),
      m_ThreadHandle(nullptr),
      m_ThreadId(0),
      m_Started(false) {}

NPT_Win32Thread::~NPT_Win32Thread() {
  if (m_Detached || m_ThreadHandle == nullptr) return;
  // Deleted from its own Run, nobody can wait for it: it ends by itself.
  if (m_ThreadId != GetCurrentThreadId()) WaitForSingleObject(m_ThreadHandle, INFINITE);
  CloseHandle(m_ThreadHandle);
}

NPT_Result NPT_Win32Thread::Start() {
  if (m_Started) {
    NPT_LOG_WARNING("thread already started !");
    return NPT_ERROR_INVALID_STATE;
  }
  NPT_LOG_FINER("creating thread");

  // Read before the thread runs: a detached thread may finish and delete this
  // object as soon as it is resumed.
  const bool detached = m_Detached;

  // Created suspended so that the handle and id are stored before the thread
  // can use or delete this object.
  unsigned int thread_id = 0;
  uintptr_t created = _beginthreadex(nullptr, 0, EntryPoint, this, CREATE_SUSPENDED, &thread_id);
  if (created == 0) return NPT_RESULT_FAILURE;
  HANDLE handle = (HANDLE)created;
  m_Started = true;
  m_ThreadId = (DWORD)thread_id;
  if (!detached) m_ThreadHandle = handle;
  ResumeThread(handle);
  if (detached) CloseHandle(handle);
  return NPT_SUCCESS;
}

unsigned int __stdcall NPT_Win32Thread::EntryPoint(void* argument) {
  NPT_Win32Thread* self = static_cast<NPT_Win32Thread*>(argument);

  NPT_LOG_FINER("thread in =======================");

  // The C runtime keeps one generator per thread: seed this one so that
  // threads started in the same instant draw differently.
  NPT_TimeStamp now;
  NPT_System::GetCurrentTimeStamp(now);
  NPT_System::SetRandomSeed((NPT_UInt32)((NPT_UInt64)now.ToNanos() & 0xFFFFFFFFu) +
                            (NPT_UInt32)GetCurrentThreadId());

  const bool detached = self->m_Detached;
  NPT_Thread* delegator = self->m_Delegator;

  self->Run();

  if (detached) {
    // Deletes the platform object too.
    if (delegator) {
      delete delegator;
    } else {
      delete self;
    }
  }
  return 0;
}

NPT_Result NPT_Win32Thread::Wait(NPT_Timeout timeout) {
  if (m_Detached || m_ThreadHandle == nullptr) return NPT_RESULT_FAILURE;
  // A thread cannot outlive its own wait.
  if (m_ThreadId == GetCurrentThreadId()) return NPT_RESULT_FAILURE;
  // Any outcome other than "ended in time" is a failure, a timeout included.
  return WaitForSingleObject(m_ThreadHandle, ToMilliseconds(timeout)) == WAIT_OBJECT_0 ? NPT_SUCCESS
                                                                                        : NPT_RESULT_FAILURE;
}

/*----------------------------------------------------------------------
|   NPT_Thread (platform parts)
+---------------------------------------------------------------------*/
NPT_Thread::NPT_Thread(bool detached) : m_Delegate(new NPT_Win32Thread(this, *this, detached)) {}

NPT_Thread::NPT_Thread(NPT_Runnable& target, bool detached)
    : m_Delegate(new NPT_Win32Thread(this, target, detached)) {}

NPT_Thread::ThreadId NPT_Thread::GetCurrentThreadId() { return (ThreadId)::GetCurrentThreadId(); }
