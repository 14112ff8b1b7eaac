#pragma once
// NPT_Reference: a counted shared owner. All references to one object share
// one heap counter; the object is deleted (through its virtual destructor) and
// the counter freed when the last reference lets go.
//
// The counter is atomic because streams and sockets are shared between a
// worker thread and a thread that aborts it: two *different* reference objects
// sharing one object may be copied and released concurrently. One reference
// object must still not be assigned on one thread while another reads it.

#include <atomic>
#include <new>

#include "NptTypes.h"

template <typename T>
class NPT_Reference {
 public:
  typedef std::atomic<NPT_Cardinal> Counter;

  NPT_Reference() : m_Object(nullptr), m_Counter(nullptr) {}
  // Takes ownership of the object (a null pointer gives an empty reference).
  explicit NPT_Reference(T* object) : m_Object(nullptr), m_Counter(nullptr) { Adopt(object); }
  NPT_Reference(const NPT_Reference& other) : m_Object(other.m_Object), m_Counter(other.m_Counter) { Retain(); }
  // A reference to a derived object shares its counter with the source.
  template <typename U>
  NPT_Reference(const NPT_Reference<U>& other) : m_Object(other.m_Object), m_Counter(other.m_Counter) {
    Retain();
  }
  ~NPT_Reference() { Release(); }

  NPT_Reference& operator=(T* object) {
    Release();
    Adopt(object);
    return *this;
  }

  NPT_Reference& operator=(const NPT_Reference& other) {
    if (this == &other) return *this;
    // Retain before releasing so that sharing the same object never drops it.
    T* object = other.m_Object;
    Counter* counter = other.m_Counter;
    if (counter) counter->fetch_add(1, std::memory_order_relaxed);
    Release();
    m_Object = object;
    m_Counter = counter;
    return *this;
  }

  template <typename U>
  NPT_Reference& operator=(const NPT_Reference<U>& other) {
    return *this = NPT_Reference(other);
  }

  // Drops this share; the last share deletes the object. Empty afterwards.
  void Release() {
    Counter* counter = m_Counter;
    T* object = m_Object;
    m_Object = nullptr;
    m_Counter = nullptr;
    if (counter && counter->fetch_sub(1, std::memory_order_acq_rel) == 1) {
      delete counter;
      delete object;
    }
  }

  T* AsPointer() const { return m_Object; }
  T* operator->() const { return m_Object; }
  T& operator*() const { return *m_Object; }
  bool IsNull() const { return m_Object == nullptr; }

  bool operator==(const NPT_Reference& other) const { return m_Object == other.m_Object; }
  bool operator!=(const NPT_Reference& other) const { return m_Object != other.m_Object; }

 private:
  template <typename U>
  friend class NPT_Reference;

  void Adopt(T* object) {
    if (object == nullptr) return;
    Counter* counter = new (std::nothrow) Counter(1);
    if (counter == nullptr) {
      // Without a counter the object could never be freed or shared safely.
      delete object;
      return;
    }
    m_Object = object;
    m_Counter = counter;
  }
  void Retain() {
    if (m_Counter) m_Counter->fetch_add(1, std::memory_order_relaxed);
  }

  T* m_Object;
  Counter* m_Counter;
};
