#pragma once
// Threads and synchronisation: the thread object with its start, wait and
// deletion protocol, a re-entrant mutex with a scoped lock, a shared variable
// (a condition on an integer value) and an atomic counter.
//
// Every portable class owns one platform object, created by its constructor in
// the platform layer, and forwards each operation to it.
//
// Timeouts are milliseconds; NPT_TIMEOUT_INFINITE (-1) waits without limit and
// 0 does not wait.

#include "NptResults.h"
#include "NptTypes.h"
#include "kvx/kvx_export.h"

// Something that can be run on a thread.
class NPT_Runnable {
 public:
  virtual ~NPT_Runnable() {}
  virtual void Run() = 0;
};

// Something whose blocking work can be asked to stop.
class NPT_Interruptible {
 public:
  virtual ~NPT_Interruptible() {}
  virtual NPT_Result Interrupt() = 0;
};

class NPT_ThreadInterface : public NPT_Runnable, public NPT_Interruptible {
 public:
  ~NPT_ThreadInterface() override {}
  // Starts the OS thread. NPT_ERROR_INVALID_STATE when already started,
  // NPT_RESULT_FAILURE when the OS refuses to create it.
  virtual NPT_Result Start() = 0;
  // Blocks until the OS thread has ended. NPT_RESULT_FAILURE on timeout (not
  // NPT_ERROR_TIMEOUT), on an OS error, for a thread never started, for a
  // detached thread, and when called from the thread itself.
  virtual NPT_Result Wait(NPT_Timeout timeout = NPT_TIMEOUT_INFINITE) = 0;
};

// A thread of execution. Either subclass it and override Run, or give it a
// target whose Run is executed.
//
// A joinable thread (detached == false) must be destroyed by its owner; the
// destructor waits without limit for Run to return. A subclass whose Run uses
// its own members must make Run end and Wait for it in its own destructor,
// since the base part is destroyed after those members.
//
// A detached thread deletes its own NPT_Thread object (through the virtual
// destructor) after Run returns: it must be allocated with new, and nobody
// else may delete it or wait for it once started.
class KVX_API NPT_Thread : public NPT_ThreadInterface {
 public:
  typedef unsigned long ThreadId;

  // The calling thread's OS thread id (as used in log records).
  static ThreadId GetCurrentThreadId();

  // The thread object is its own target.
  explicit NPT_Thread(bool detached = false);
  // The target's Run is executed; the target is not owned and must outlive Run.
  explicit NPT_Thread(NPT_Runnable& target, bool detached = false);
  ~NPT_Thread() override;

  NPT_Thread(const NPT_Thread&) = delete;
  NPT_Thread& operator=(const NPT_Thread&) = delete;

  // Default does nothing; subclasses override it.
  void Run() override {}
  NPT_Result Start() override;
  NPT_Result Wait(NPT_Timeout timeout = NPT_TIMEOUT_INFINITE) override;
  // Not supported on this platform: always NPT_ERROR_NOT_IMPLEMENTED.
  NPT_Result Interrupt() override;

 private:
  NPT_ThreadInterface* m_Delegate;
};

class NPT_MutexInterface {
 public:
  virtual ~NPT_MutexInterface() {}
  // Waits without limit; success when obtained, NPT_RESULT_FAILURE otherwise.
  virtual NPT_Result Lock() = 0;
  // Always success.
  virtual NPT_Result Unlock() = 0;
};

// Re-entrant: the owner may lock it again and must unlock it as many times.
class NPT_Mutex : public NPT_MutexInterface {
 public:
  NPT_Mutex();
  ~NPT_Mutex() override;

  NPT_Mutex(const NPT_Mutex&) = delete;
  NPT_Mutex& operator=(const NPT_Mutex&) = delete;

  NPT_Result Lock() override;
  NPT_Result Unlock() override;

 private:
  NPT_MutexInterface* m_Delegate;
};

// Locks the mutex for the lifetime of the scope.
class NPT_AutoLock {
 public:
  explicit NPT_AutoLock(NPT_Mutex& mutex) : m_Mutex(mutex) { m_Mutex.Lock(); }
  ~NPT_AutoLock() { m_Mutex.Unlock(); }

  NPT_AutoLock(const NPT_AutoLock&) = delete;
  NPT_AutoLock& operator=(const NPT_AutoLock&) = delete;

 private:
  NPT_Mutex& m_Mutex;
};

class NPT_SharedVariableInterface {
 public:
  virtual ~NPT_SharedVariableInterface() {}
  // Stores the value and wakes the waiters when it differs from the current
  // one; setting the current value again wakes nobody.
  virtual void SetValue(int value) = 0;
  // The current value, read without taking the variable's lock.
  virtual int GetValue() = 0;
  // Success once the value equals `value`. The timeout applies to each wait
  // for a change, not to the whole call: NPT_ERROR_TIMEOUT when one wait runs
  // out, NPT_RESULT_FAILURE on an OS error.
  virtual NPT_Result WaitUntilEquals(int value, NPT_Timeout timeout = NPT_TIMEOUT_INFINITE) = 0;
  // Success once the value differs from `value`; timeouts as above.
  virtual NPT_Result WaitWhileEquals(int value, NPT_Timeout timeout = NPT_TIMEOUT_INFINITE) = 0;
};

// A condition on an integer value. Waiters test the value and block
// atomically, so no change is lost between a test and a wait; every change
// wakes every waiter, which re-tests its own condition. Any number of threads
// may wait on one variable, for different conditions.
class NPT_SharedVariable : public NPT_SharedVariableInterface {
 public:
  explicit NPT_SharedVariable(int value = 0);
  ~NPT_SharedVariable() override;

  NPT_SharedVariable(const NPT_SharedVariable&) = delete;
  NPT_SharedVariable& operator=(const NPT_SharedVariable&) = delete;

  void SetValue(int value) override;
  int GetValue() override;
  NPT_Result WaitUntilEquals(int value, NPT_Timeout timeout = NPT_TIMEOUT_INFINITE) override;
  NPT_Result WaitWhileEquals(int value, NPT_Timeout timeout = NPT_TIMEOUT_INFINITE) override;

 private:
  NPT_SharedVariableInterface* m_Delegate;
};

class NPT_AtomicVariableInterface {
 public:
  virtual ~NPT_AtomicVariableInterface() {}
  // Atomic; return the new value.
  virtual int Increment() = 0;
  virtual int Decrement() = 0;
  virtual int GetValue() = 0;
  virtual void SetValue(int value) = 0;
};

class NPT_AtomicVariable : public NPT_AtomicVariableInterface {
 public:
  explicit NPT_AtomicVariable(int value = 0);
  ~NPT_AtomicVariable() override;

  NPT_AtomicVariable(const NPT_AtomicVariable&) = delete;
  NPT_AtomicVariable& operator=(const NPT_AtomicVariable&) = delete;

  int Increment() override;
  int Decrement() override;
  int GetValue() override;
  void SetValue(int value) override;

 private:
  NPT_AtomicVariableInterface* m_Delegate;
};
