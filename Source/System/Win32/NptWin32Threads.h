#pragma once
// Win32 platform layer for threads and synchronisation: threads started with
// _beginthreadex (so the C runtime's per-thread state is set up), OS mutexes
// and events, a critical section and condition variable under the shared
// variable, interlocked operations. Assumes Windows Vista or later.

#include <windows.h>

#include "NptThreads.h"

// An OS event: signalled or not, with waits that time out. Auto-reset
// (manual_reset == false): a Signal releases exactly one waiter and leaves the
// event unsignalled; a Signal given while nobody waits stays pending for the
// next waiter. Manual reset: every wait succeeds until Reset.
class NPT_Win32Event {
 public:
  NPT_Win32Event(bool manual_reset = false, bool initially_signalled = false);
  virtual ~NPT_Win32Event();

  NPT_Win32Event(const NPT_Win32Event&) = delete;
  NPT_Win32Event& operator=(const NPT_Win32Event&) = delete;

  // Success when signalled within the timeout (or when the wait reports
  // abandonment), NPT_ERROR_TIMEOUT when it runs out, NPT_RESULT_FAILURE on
  // any other outcome. Success at once when the OS event could not be created.
  virtual NPT_Result Wait(NPT_Timeout timeout = NPT_TIMEOUT_INFINITE);
  virtual NPT_Result Signal();
  virtual NPT_Result Reset();

 private:
  HANDLE m_Event;  // null when creation failed
};

// An unnamed OS mutex, re-entrant for its owner. Lock fails when the previous
// owner ended without unlocking (abandoned).
class NPT_Win32Mutex : public NPT_MutexInterface {
 public:
  NPT_Win32Mutex();
  ~NPT_Win32Mutex() override;

  NPT_Result Lock() override;
  NPT_Result Unlock() override;

 private:
  HANDLE m_Handle;
};

// Waiters test the value and start waiting atomically (a condition variable
// under the variable's own critical section), so a change can never slip
// between a waiter's test and its wait, and every change wakes every waiter,
// which re-tests its own condition. A waiter whose condition still does not
// hold waits again with a fresh timeout. A value set again unchanged wakes
// nobody.
class NPT_Win32SharedVariable : public NPT_SharedVariableInterface {
 public:
  explicit NPT_Win32SharedVariable(int value);
  ~NPT_Win32SharedVariable() override;

  void SetValue(int value) override;
  int GetValue() override;
  NPT_Result WaitUntilEquals(int value, NPT_Timeout timeout) override;
  NPT_Result WaitWhileEquals(int value, NPT_Timeout timeout) override;

 private:
  NPT_Result WaitForCondition(bool until_equals, int value, NPT_Timeout timeout);

  // Written under m_Lock; GetValue reads it without the lock (an aligned
  // 32-bit interlocked read).
  volatile LONG m_Value;
  unsigned long m_Changes;  // number of changes so far, under m_Lock
  CRITICAL_SECTION m_Lock;
  CONDITION_VARIABLE m_Changed;
};

class NPT_Win32AtomicVariable : public NPT_AtomicVariableInterface {
 public:
  explicit NPT_Win32AtomicVariable(int value) : m_Value(value) {}

  int Increment() override { return (int)InterlockedIncrement(&m_Value); }
  int Decrement() override { return (int)InterlockedDecrement(&m_Value); }
  int GetValue() override { return (int)InterlockedCompareExchange(&m_Value, 0, 0); }
  void SetValue(int value) override { InterlockedExchange(&m_Value, (LONG)value); }

 private:
  volatile LONG m_Value;
};

class NPT_Win32Thread : public NPT_ThreadInterface {
 public:
  // `delegator` is the NPT_Thread deleted when a detached thread ends;
  // `target` is the object whose Run is executed.
  NPT_Win32Thread(NPT_Thread* delegator, NPT_Runnable& target, bool detached);
  // For a started joinable thread: waits without limit for it, then closes
  // its handle (when deleted from its own Run, only closes the handle).
  ~NPT_Win32Thread() override;

  void Run() override { m_Target.Run(); }
  NPT_Result Start() override;
  NPT_Result Wait(NPT_Timeout timeout = NPT_TIMEOUT_INFINITE) override;
  NPT_Result Interrupt() override { return NPT_ERROR_NOT_IMPLEMENTED; }

 private:
  static unsigned int __stdcall EntryPoint(void* argument);

  NPT_Thread* m_Delegator;
  NPT_Runnable& m_Target;
  const bool m_Detached;
  // Both set before the thread is resumed (it is created suspended), so the
  // new thread and its owner see them without a lock. The handle stays null
  // for a detached thread, whose handle is closed at once.
  HANDLE m_ThreadHandle;
  DWORD m_ThreadId;
  bool m_Started;
};
