#pragma once
// NPT_Array: a contiguous array owning its elements by value. The storage is
// raw memory for `capacity` elements of which the first `count` are
// constructed. Growth doubles the capacity (1 from empty), or jumps straight to
// the requested size when doubling is not enough; Clear keeps the storage.
// No locking: an array shared between threads is guarded by its owner.

#include <new>

#include "NptResults.h"
#include "NptTypes.h"

template <typename T>
class NPT_Array {
 public:
  NPT_Array() : m_Capacity(0), m_ItemCount(0), m_Items(nullptr) {}
  NPT_Array(const NPT_Array& other) : m_Capacity(0), m_ItemCount(0), m_Items(nullptr) { *this = other; }
  ~NPT_Array() {
    Clear();
    ::operator delete(static_cast<void*>(m_Items));
  }

  NPT_Array& operator=(const NPT_Array& other) {
    if (this == &other) return *this;
    Clear();
    if (NPT_FAILED(Reserve(other.m_ItemCount))) return *this;
    for (NPT_Cardinal i = 0; i < other.m_ItemCount; ++i) new (&m_Items[i]) T(other.m_Items[i]);
    m_ItemCount = other.m_ItemCount;
    return *this;
  }

  // NPT_ERROR_OUT_OF_MEMORY leaves the array unchanged.
  NPT_Result Reserve(NPT_Cardinal count) {
    if (count <= m_Capacity) return NPT_SUCCESS;
    // Doubling stops short of wrapping the 32-bit capacity.
    NPT_Cardinal capacity = m_Capacity == 0 ? 1 : (m_Capacity > 0x7FFFFFFFu ? count : 2 * m_Capacity);
    if (capacity < count) capacity = count;
    T* items = static_cast<T*>(::operator new(sizeof(T) * static_cast<size_t>(capacity), std::nothrow));
    if (items == nullptr) return NPT_ERROR_OUT_OF_MEMORY;
    for (NPT_Cardinal i = 0; i < m_ItemCount; ++i) {
      new (&items[i]) T(m_Items[i]);
      m_Items[i].~T();
    }
    ::operator delete(static_cast<void*>(m_Items));
    m_Items = items;
    m_Capacity = capacity;
    return NPT_SUCCESS;
  }

  NPT_Result Add(const T& item) {
    // The element may live in this array; copy it before the storage moves.
    if (m_ItemCount == m_Capacity && &item >= m_Items && &item < m_Items + m_ItemCount) {
      T copy(item);
      return Add(copy);
    }
    NPT_Result result = Reserve(m_ItemCount + 1);
    if (NPT_FAILED(result)) return result;
    new (&m_Items[m_ItemCount]) T(item);
    ++m_ItemCount;
    return NPT_SUCCESS;
  }

  // The index must be below GetItemCount().
  T& operator[](NPT_Ordinal index) { return m_Items[index]; }
  const T& operator[](NPT_Ordinal index) const { return m_Items[index]; }

  NPT_Cardinal GetItemCount() const { return m_ItemCount; }
  NPT_Cardinal GetCapacity() const { return m_Capacity; }

  // Removes the element at the index, moving the following ones down.
  NPT_Result Erase(NPT_Ordinal index) {
    if (index >= m_ItemCount) return NPT_ERROR_NO_SUCH_ITEM;
    for (NPT_Ordinal i = index; i + 1 < m_ItemCount; ++i) m_Items[i] = m_Items[i + 1];
    m_Items[m_ItemCount - 1].~T();
    --m_ItemCount;
    return NPT_SUCCESS;
  }

  bool Contains(const T& item) const {
    for (NPT_Cardinal i = 0; i < m_ItemCount; ++i) {
      if (m_Items[i] == item) return true;
    }
    return false;
  }

  // Destroys every element in order; capacity and storage remain for reuse.
  NPT_Result Clear() {
    for (NPT_Cardinal i = 0; i < m_ItemCount; ++i) m_Items[i].~T();
    m_ItemCount = 0;
    return NPT_SUCCESS;
  }

 private:
  NPT_Cardinal m_Capacity;
  NPT_Cardinal m_ItemCount;
  T* m_Items;
};
