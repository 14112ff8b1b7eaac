// POSIX threads and synchronisation: pthreads, condition variables timed on
// CLOCK_MONOTONIC, the Linux thread id for logs and seeding.

#include "NptPosixThreads.h"

#include <errno.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <cstdlib>

#include "NptLogging.h"

NPT_SET_LOCAL_LOGGER("npt.threads.posix")

namespace {

// Absolute CLOCK_MONOTONIC deadline `timeout` milliseconds from now, so that
// changes of the wall clock do not stretch or cut a wait.
struct timespec MonotonicDeadline(NPT_Timeout timeout) {
  struct timespec deadline;
  clock_gettime(CLOCK_MONOTONIC, &deadline);
  deadline.tv_sec += timeout / 1000;
  deadline.tv_nsec += (long)(timeout % 1000) * 1000000L;
  if (deadline.tv_nsec >= 1000000000L) {
    deadline.tv_sec += 1;
    deadline.tv_nsec -= 1000000000L;
  }
  return deadline;
}

// Wall-clock time in nanoseconds, at the millisecond resolution of the
// runtime's time stamps.
NPT_UInt64 CurrentTimeStampNs() {
  struct timespec now;
  clock_gettime(CLOCK_REALTIME, &now);
  NPT_UInt64 ms = (NPT_UInt64)now.tv_sec * 1000u + (NPT_UInt64)(now.tv_nsec / 1000000L);
  return ms * 1000000u;
}

}  // namespace

/*----------------------------------------------------------------------
|   NPT_PosixEvent
+---------------------------------------------------------------------*/
NPT_PosixEvent::NPT_PosixEvent(bool manual_reset, bool initially_signalled)
    : m_Valid(false), m_ManualReset(manual_reset), m_Signalled(initially_signalled), m_Waiters(0), m_Releases(0) {
  pthread_condattr_t attributes;
  if (pthread_condattr_init(&attributes) != 0) return;
  bool condition_ok = pthread_condattr_setclock(&attributes, CLOCK_MONOTONIC) == 0 &&
                      pthread_cond_init(&m_Condition, &attributes) == 0;
  pthread_condattr_destroy(&attributes);
  if (!condition_ok) return;
  if (pthread_mutex_init(&m_Mutex, nullptr) != 0) {
    pthread_cond_destroy(&m_Condition);
    return;
  }
  m_Valid = true;
}

NPT_PosixEvent::~NPT_PosixEvent() {
  if (!m_Valid) return;
  pthread_cond_destroy(&m_Condition);
  pthread_mutex_destroy(&m_Mutex);
}

NPT_Result NPT_PosixEvent::Wait(NPT_Timeout timeout) {
  if (!m_Valid) return NPT_SUCCESS;
  const bool unlimited = timeout < 0;
  struct timespec deadline = {0, 0};
  if (timeout > 0) deadline = MonotonicDeadline(timeout);

  if (pthread_mutex_lock(&m_Mutex) != 0) return NPT_RESULT_FAILURE;
  NPT_Result result = NPT_SUCCESS;
  if (m_ManualReset) {
    while (!m_Signalled) {
      if (timeout == 0) {
        result = NPT_ERROR_TIMEOUT;
        break;
      }
      int rc = unlimited ? pthread_cond_wait(&m_Condition, &m_Mutex)
                         : pthread_cond_timedwait(&m_Condition, &m_Mutex, &deadline);
      if (rc == 0 || m_Signalled) continue;
      result = rc == ETIMEDOUT ? NPT_ERROR_TIMEOUT : NPT_RESULT_FAILURE;
      break;
    }
  } else if (m_Signalled) {
    // A signal given while nobody waited: this waiter takes it.
    m_Signalled = false;
  } else if (timeout == 0) {
    result = NPT_ERROR_TIMEOUT;
  } else {
    ++m_Waiters;
    for (;;) {
      if (m_Releases > 0) {
        --m_Releases;
        break;
      }
      int rc = unlimited ? pthread_cond_wait(&m_Condition, &m_Mutex)
                         : pthread_cond_timedwait(&m_Condition, &m_Mutex, &deadline);
      if (rc == 0) continue;
      if (m_Releases > 0) {
        // A release granted while the wait ran out still counts.
        --m_Releases;
        break;
      }
      result = rc == ETIMEDOUT ? NPT_ERROR_TIMEOUT : NPT_RESULT_FAILURE;
      break;
    }
    --m_Waiters;
  }
  pthread_mutex_unlock(&m_Mutex);
  return result;
}

NPT_Result NPT_PosixEvent::Signal() {
  if (!m_Valid) return NPT_SUCCESS;
  if (pthread_mutex_lock(&m_Mutex) != 0) return NPT_RESULT_FAILURE;
  if (m_ManualReset) {
    m_Signalled = true;
    pthread_cond_broadcast(&m_Condition);
  } else if (m_Waiters > m_Releases) {
    // Release exactly one of the current waiters; the event stays unsignalled.
    ++m_Releases;
    pthread_cond_signal(&m_Condition);
  } else {
    m_Signalled = true;
  }
  pthread_mutex_unlock(&m_Mutex);
  return NPT_SUCCESS;
}

NPT_Result NPT_PosixEvent::Reset() {
  if (!m_Valid) return NPT_SUCCESS;
  if (pthread_mutex_lock(&m_Mutex) != 0) return NPT_RESULT_FAILURE;
  m_Signalled = false;
  pthread_mutex_unlock(&m_Mutex);
  return NPT_SUCCESS;
}

/*----------------------------------------------------------------------
|   NPT_PosixMutex
+---------------------------------------------------------------------*/
NPT_PosixMutex::NPT_PosixMutex() : m_Valid(false) {
  pthread_mutexattr_t attributes;
  if (pthread_mutexattr_init(&attributes) != 0) return;
  m_Valid = pthread_mutexattr_settype(&attributes, PTHREAD_MUTEX_RECURSIVE) == 0 &&
            pthread_mutex_init(&m_Mutex, &attributes) == 0;
  pthread_mutexattr_destroy(&attributes);
}

NPT_PosixMutex::~NPT_PosixMutex() {
  if (m_Valid) pthread_mutex_destroy(&m_Mutex);
}

NPT_Result NPT_PosixMutex::Lock() {
  if (!m_Valid) return NPT_RESULT_FAILURE;
  return pthread_mutex_lock(&m_Mutex) == 0 ? NPT_SUCCESS : NPT_RESULT_FAILURE;
}

NPT_Result NPT_PosixMutex::Unlock() {
  if (m_Valid) pthread_mutex_unlock(&m_Mutex);
  return NPT_SUCCESS;
}

NPT_Mutex::NPT_Mutex() : m_Delegate(new NPT_PosixMutex()) {}

/*----------------------------------------------------------------------
|   NPT_PosixSharedVariable
+---------------------------------------------------------------------*/
NPT_PosixSharedVariable::NPT_PosixSharedVariable(int value) : m_Valid(false), m_Value(value), m_Changes(0) {
  pthread_condattr_t attributes;
  if (pthread_condattr_init(&attributes) != 0) return;
  bool condition_ok = pthread_condattr_setclock(&attributes, CLOCK_MONOTONIC) == 0 &&
                      pthread_cond_init(&m_Changed, &attributes) == 0;
  pthread_condattr_destroy(&attributes);
  if (!condition_ok) return;
  if (pthread_mutex_init(&m_Mutex, nullptr) != 0) {
    pthread_cond_destroy(&m_Changed);
    return;
  }
  m_Valid = true;
}

NPT_PosixSharedVariable::~NPT_PosixSharedVariable() {
  if (!m_Valid) return;
  pthread_cond_destroy(&m_Changed);
  pthread_mutex_destroy(&m_Mutex);
}

void NPT_PosixSharedVariable::SetValue(int value) {
  if (!m_Valid || pthread_mutex_lock(&m_Mutex) != 0) return;
  if (m_Value.load(std::memory_order_relaxed) != value) {
    m_Value.store(value, std::memory_order_release);
    ++m_Changes;
    pthread_cond_broadcast(&m_Changed);
  }
  pthread_mutex_unlock(&m_Mutex);
}

int NPT_PosixSharedVariable::GetValue() { return m_Value.load(std::memory_order_acquire); }

NPT_Result NPT_PosixSharedVariable::WaitUntilEquals(int value, NPT_Timeout timeout) {
  return WaitForCondition(true, value, timeout);
}

NPT_Result NPT_PosixSharedVariable::WaitWhileEquals(int value, NPT_Timeout timeout) {
  return WaitForCondition(false, value, timeout);
}

// The mutex is released while blocked, and every timeout applies to one wait
// for a change: a waiter woken by a change that does not meet its condition
// starts a fresh wait. Spurious wake-ups do not restart the timeout.
NPT_Result NPT_PosixSharedVariable::WaitForCondition(bool until_equals, int value, NPT_Timeout timeout) {
  if (!m_Valid || pthread_mutex_lock(&m_Mutex) != 0) return NPT_RESULT_FAILURE;
  NPT_Result result = NPT_SUCCESS;
  while ((m_Value.load(std::memory_order_relaxed) == value) != until_equals) {
    if (timeout == 0) {
      result = NPT_ERROR_TIMEOUT;
      break;
    }
    const unsigned long seen = m_Changes;
    struct timespec deadline = {0, 0};
    if (timeout > 0) deadline = MonotonicDeadline(timeout);
    while (m_Changes == seen && result == NPT_SUCCESS) {
      int rc = timeout < 0 ? pthread_cond_wait(&m_Changed, &m_Mutex)
                           : pthread_cond_timedwait(&m_Changed, &m_Mutex, &deadline);
      if (rc != 0 && m_Changes == seen) result = rc == ETIMEDOUT ? NPT_ERROR_TIMEOUT : NPT_RESULT_FAILURE;
    }
    if (result != NPT_SUCCESS) break;
  }
  pthread_mutex_unlock(&m_Mutex);
  return result;
}

NPT_SharedVariable::NPT_SharedVariable(int value) : m_Delegate(new NPT_PosixSharedVariable(value)) {}

/*----------------------------------------------------------------------
|   NPT_AtomicVariable
+---------------------------------------------------------------------*/
NPT_AtomicVariable::NPT_AtomicVariable(int value) : m_Delegate(new NPT_PosixAtomicVariable(value)) {}

/*----------------------------------------------------------------------
|   NPT_PosixThread
+---------------------------------------------------------------------*/
NPT_PosixThread::NPT_PosixThread(NPT_Thread* delegator, NPT_Runnable& target, bool detached)
    : m_Delegator(delegator), m_Target(target), m_Detached(detached), m_Started(false), m_Joined(false), m_Thread() {
  pthread_mutex_init(&m_Lock, nullptr);
  // A detached thread keeps no trace of its end: nobody may wait for it.
  if (!m_Detached) m_Ended = std::make_shared<NPT_PosixEvent>(true, false);
}

NPT_PosixThread::~NPT_PosixThread() {
  if (!m_Detached) {
    pthread_mutex_lock(&m_Lock);
    const bool started = m_Started;
    const bool on_own_thread = started && pthread_equal(m_Thread, pthread_self());
    if (on_own_thread && !m_Joined) {
      // Deleted from its own Run: nobody can join it, let it clean up alone.
      pthread_detach(m_Thread);
      m_Joined = true;
    }
    pthread_mutex_unlock(&m_Lock);
    if (started && !on_own_thread) Wait(NPT_TIMEOUT_INFINITE);
  }
  pthread_mutex_destroy(&m_Lock);
}

unsigned int NPT_PosixThread::RandomSeed(NPT_UInt64 now_ns, NPT_Thread::ThreadId thread_id) {
  return (unsigned int)(now_ns & 0xFFFFFFFFu) + (unsigned int)thread_id;
}

NPT_Result NPT_PosixThread::Start() {
  pthread_mutex_lock(&m_Lock);
  if (m_Started) {
    pthread_mutex_unlock(&m_Lock);
    NPT_LOG_WARNING("thread already started !");
    return NPT_ERROR_INVALID_STATE;
  }
  NPT_LOG_FINER("creating thread");

  // Read before creating: once the lock is released, a detached thread may
  // finish and delete this object.
  const bool detached = m_Detached;

  pthread_attr_t attributes;
  if (pthread_attr_init(&attributes) != 0) {
    pthread_mutex_unlock(&m_Lock);
    return NPT_RESULT_FAILURE;
  }
  if (detached) pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
  pthread_t thread;
  int rc = pthread_create(&thread, &attributes, EntryPoint, this);
  pthread_attr_destroy(&attributes);
  if (rc != 0) {
    pthread_mutex_unlock(&m_Lock);
    return NPT_RESULT_FAILURE;
  }
  // A detached thread is marked started too, so that a second Start while it
  // runs cannot launch a second Run (and a second self-deletion).
  m_Started = true;
  if (!detached) m_Thread = thread;
  pthread_mutex_unlock(&m_Lock);
  return NPT_SUCCESS;
}

void* NPT_PosixThread::EntryPoint(void* argument) {
  NPT_PosixThread* self = static_cast<NPT_PosixThread*>(argument);
  // Wait until Start has finished with the object.
  pthread_mutex_lock(&self->m_Lock);
  pthread_mutex_unlock(&self->m_Lock);

  NPT_LOG_FINER("thread in =======================");

  // The generator is shared by the whole process; reseeding on every thread
  // start keeps threads started in the same millisecond apart.
  srand(RandomSeed(CurrentTimeStampNs(), NPT_Thread::GetCurrentThreadId()));

  const bool detached = self->m_Detached;
  NPT_Thread* delegator = self->m_Delegator;
  std::shared_ptr<NPT_PosixEvent> ended = self->m_Ended;

  self->Run();

  if (detached) {
    // Deletes the platform object too.
    if (delegator) {
      delete delegator;
    } else {
      delete self;
    }
  } else {
    ended->Signal();
  }
  return nullptr;
}

NPT_Result NPT_PosixThread::Wait(NPT_Timeout timeout) {
  if (m_Detached) return NPT_RESULT_FAILURE;

  pthread_mutex_lock(&m_Lock);
  const bool usable = m_Started && !pthread_equal(m_Thread, pthread_self());
  const bool joined = m_Joined;
  pthread_mutex_unlock(&m_Lock);
  if (!usable) return NPT_RESULT_FAILURE;
  if (joined) return NPT_SUCCESS;

  // Any outcome other than "ended in time" is a failure, a timeout included.
  if (m_Ended->Wait(timeout) != NPT_SUCCESS) return NPT_RESULT_FAILURE;

  // The thread has left Run and is about to return; reap it once.
  NPT_Result result = NPT_SUCCESS;
  pthread_mutex_lock(&m_Lock);
  if (!m_Joined) {
    if (pthread_join(m_Thread, nullptr) == 0) {
      m_Joined = true;
    } else {
      result = NPT_RESULT_FAILURE;
    }
  }
  pthread_mutex_unlock(&m_Lock);
  return result;
}

/*----------------------------------------------------------------------
|   NPT_Thread (platform parts)
+---------------------------------------------------------------------*/
NPT_Thread::NPT_Thread(bool detached) : m_Delegate(new NPT_PosixThread(this, *this, detached)) {}

NPT_Thread::NPT_Thread(NPT_Runnable& target, bool detached)
    : m_Delegate(new NPT_PosixThread(this, target, detached)) {}

NPT_Thread::ThreadId NPT_Thread::GetCurrentThreadId() { return (ThreadId)syscall(SYS_gettid); }
