#pragma once
// POSIX platform layer for threads and synchronisation (pthreads, a monotonic
// clock for timed waits, C++ atomics). Assumes pthread_condattr_setclock.

#include <pthread.h>

#include <atomic>
#include <memory>

#include "NptThreads.h"

// An event in the OS sense: signalled or not, with waits that time out.
// Auto-reset (manual_reset == false): a Signal releases exactly one waiter and
// the event is left unsignalled; a Signal given while nobody waits stays
// pending and releases the next waiter. Manual reset: once signalled, every
// wait succeeds until Reset.
class NPT_PosixEvent {
 public:
  explicit NPT_PosixEvent(bool manual_reset = false, bool initially_signalled = false);
  virtual ~NPT_PosixEvent();

  NPT_PosixEvent(const NPT_PosixEvent&) = delete;
  NPT_PosixEvent& operator=(const NPT_PosixEvent&) = delete;

  // Success when signalled within the timeout (measured on a monotonic clock),
  // NPT_ERROR_TIMEOUT when it runs out, NPT_RESULT_FAILURE on an OS error.
  // Success at once when the OS objects could not be created.
  virtual NPT_Result Wait(NPT_Timeout timeout = NPT_TIMEOUT_INFINITE);
  virtual NPT_Result Signal();
  virtual NPT_Result Reset();

 private:
  bool m_Valid;
  bool m_ManualReset;
  bool m_Signalled;
  // Auto-reset bookkeeping: threads blocked in Wait, and releases granted to
  // them by Signal but not yet taken (never more than m_Waiters).
  unsigned int m_Waiters;
  unsigned int m_Releases;
  pthread_mutex_t m_Mutex;
  pthread_cond_t m_Condition;
};

class NPT_PosixMutex : public NPT_MutexInterface {
 public:
  NPT_PosixMutex();
  ~NPT_PosixMutex() override;

  NPT_Result Lock() override;
  NPT_Result Unlock() override;

 private:
  bool m_Valid;
  pthread_mutex_t m_Mutex;
};

// Waiters test the value and start waiting atomically (a condition variable
// under the variable's own mutex), so a change can never slip between a
// waiter's test and its wait. Every change wakes every waiter, each re-tests;
// a waiter whose condition still does not hold waits again with a fresh
// timeout. A value set again unchanged wakes nobody.
class NPT_PosixSharedVariable : public NPT_SharedVariableInterface {
 public:
  explicit NPT_PosixSharedVariable(int value);
  ~NPT_PosixSharedVariable() override;

  void SetValue(int value) override;
  int GetValue() override;
  NPT_Result WaitUntilEquals(int value, NPT_Timeout timeout) override;
  NPT_Result WaitWhileEquals(int value, NPT_Timeout timeout) override;

 private:
  NPT_Result WaitForCondition(bool until_equals, int value, NPT_Timeout timeout);

  bool m_Valid;
  // Written under m_Mutex; GetValue reads it without the lock, hence atomic.
  std::atomic<int> m_Value;
  // Number of changes so far: a waiter's timeout restarts after each change.
  unsigned long m_Changes;
  pthread_mutex_t m_Mutex;
  pthread_cond_t m_Changed;  // timed on CLOCK_MONOTONIC
};

class NPT_PosixAtomicVariable : public NPT_AtomicVariableInterface {
 public:
  explicit NPT_PosixAtomicVariable(int value) : m_Value(value) {}

  int Increment() override { return m_Value.fetch_add(1) + 1; }
  int Decrement() override { return m_Value.fetch_sub(1) - 1; }
  int GetValue() override { return m_Value.load(); }
  void SetValue(int value) override { m_Value.store(value); }

 private:
  std::atomic<int> m_Value;
};

class NPT_PosixThread : public NPT_ThreadInterface {
 public:
  // `delegator` is the NPT_Thread deleted when a detached thread ends;
  // `target` is the object whose Run is executed.
  NPT_PosixThread(NPT_Thread* delegator, NPT_Runnable& target, bool detached);
  // For a started joinable thread: waits without limit for it and joins it.
  ~NPT_PosixThread() override;

  void Run() override { m_Target.Run(); }
  NPT_Result Start() override;
  NPT_Result Wait(NPT_Timeout timeout = NPT_TIMEOUT_INFINITE) override;
  NPT_Result Interrupt() override { return NPT_ERROR_NOT_IMPLEMENTED; }

  // The seed a runtime thread gives srand when it starts: the low 32 bits of
  // the current time stamp in nanoseconds plus the OS thread id.
  static unsigned int RandomSeed(NPT_UInt64 now_ns, NPT_Thread::ThreadId thread_id);

 private:
  static void* EntryPoint(void* argument);

  NPT_Thread* m_Delegator;
  NPT_Runnable& m_Target;
  const bool m_Detached;
  // Guards m_Started, m_Joined and m_Thread. Start holds it until the new
  // thread's id is stored; the entry point takes it once before running, so a
  // detached thread cannot delete this object while Start still uses it.
  pthread_mutex_t m_Lock;
  bool m_Started;
  bool m_Joined;
  pthread_t m_Thread;
  // Manual-reset event signalled by the entry point when Run has returned.
  // Shared with the entry point so that it stays valid even if Run deleted
  // this object.
  std::shared_ptr<NPT_PosixEvent> m_Ended;
};
