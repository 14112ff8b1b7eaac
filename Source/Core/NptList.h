#pragma once
// NPT_List: a doubly linked list that owns its elements by value. Items are
// allocated one by one; an iterator is a thin wrapper over an item pointer and
// stays valid until its item is removed. The list does not lock: a list shared
// between threads is guarded by its owner.

#include <new>

#include "NptResults.h"
#include "NptTypes.h"

// Deletes the pointee of every pointer it is applied to (for lists of owned
// pointers, e.g. a map's entries or a logger's handlers).
class NPT_ObjectDeleter {
 public:
  template <typename T>
  void operator()(T* object) const {
    delete object;
  }
};

template <typename T>
class NPT_List {
 public:
  class Item {
   public:
    explicit Item(const T& data) : m_Next(nullptr), m_Prev(nullptr), m_Data(data) {}
    Item* m_Next;
    Item* m_Prev;
    T m_Data;
  };

  class Iterator {
   public:
    Iterator() : m_Item(nullptr) {}
    explicit Iterator(Item* item) : m_Item(item) {}
    T& operator*() const { return m_Item->m_Data; }
    T* operator->() const { return &m_Item->m_Data; }
    Iterator& operator++() {
      m_Item = m_Item->m_Next;
      return *this;
    }
    Iterator operator++(int) {
      Iterator saved(*this);
      m_Item = m_Item->m_Next;
      return saved;
    }
    Iterator& operator--() {
      m_Item = m_Item->m_Prev;
      return *this;
    }
    explicit operator bool() const { return m_Item != nullptr; }
    bool operator==(const Iterator& other) const { return m_Item == other.m_Item; }
    bool operator!=(const Iterator& other) const { return m_Item != other.m_Item; }
    Item* GetItem() const { return m_Item; }

   private:
    Item* m_Item;
  };

  NPT_List() : m_ItemCount(0), m_Head(nullptr), m_Tail(nullptr) {}
  NPT_List(const NPT_List& other) : m_ItemCount(0), m_Head(nullptr), m_Tail(nullptr) { AppendAll(other); }
  ~NPT_List() { Clear(); }

  NPT_List& operator=(const NPT_List& other) {
    if (this == &other) return *this;
    Clear();
    AppendAll(other);
    return *this;
  }

  // Appends a copy of the element at the tail.
  NPT_Result Add(const T& data) {
    Item* item = new (std::nothrow) Item(data);
    if (item == nullptr) return NPT_ERROR_OUT_OF_MEMORY;
    return Add(*item);
  }

  // Appends an existing (detached) item at the tail; the list takes it over.
  NPT_Result Add(Item& item) {
    item.m_Prev = m_Tail;
    item.m_Next = nullptr;
    if (m_Tail) {
      m_Tail->m_Next = &item;
    } else {
      m_Head = &item;
    }
    m_Tail = &item;
    ++m_ItemCount;
    return NPT_SUCCESS;
  }

  // Inserts a copy of the element before `where`; a null iterator appends.
  NPT_Result Insert(Iterator where, const T& data) {
    Item* before = where.GetItem();
    if (before == nullptr) return Add(data);
    Item* item = new (std::nothrow) Item(data);
    if (item == nullptr) return NPT_ERROR_OUT_OF_MEMORY;
    item->m_Next = before;
    item->m_Prev = before->m_Prev;
    if (before->m_Prev) {
      before->m_Prev->m_Next = item;
    } else {
      m_Head = item;
    }
    before->m_Prev = item;
    ++m_ItemCount;
    return NPT_SUCCESS;
  }

  // NPT_ERROR_LIST_EMPTY leaves `data` untouched.
  NPT_Result PopHead(T& data) {
    if (m_Head == nullptr) return NPT_ERROR_LIST_EMPTY;
    data = m_Head->m_Data;
    Item* head = m_Head;
    m_Head = head->m_Next;
    if (m_Head) {
      m_Head->m_Prev = nullptr;
    } else {
      m_Tail = nullptr;
    }
    delete head;
    --m_ItemCount;
    return NPT_SUCCESS;
  }

  NPT_Result Get(NPT_Ordinal index, T& data) const {
    T* found = nullptr;
    NPT_Result result = Get(index, found);
    if (NPT_FAILED(result)) return result;
    data = *found;
    return NPT_SUCCESS;
  }

  // The pointer is null on failure; the element stays owned by the list.
  NPT_Result Get(NPT_Ordinal index, T*& data) const {
    data = nullptr;
    if (index >= m_ItemCount) return NPT_ERROR_NO_SUCH_ITEM;
    Item* item = m_Head;
    for (NPT_Ordinal i = 0; i < index; ++i) item = item->m_Next;
    data = &item->m_Data;
    return NPT_SUCCESS;
  }

  NPT_Cardinal GetItemCount() const { return m_ItemCount; }
  Iterator GetFirstItem() const { return Iterator(m_Head); }
  Iterator GetLastItem() const { return Iterator(m_Tail); }

  // Frees the item and its element; the iterator is invalid afterwards.
  NPT_Result Erase(Iterator which) {
    Item* item = which.GetItem();
    if (item == nullptr) return NPT_ERROR_NO_SUCH_ITEM;
    Detach(*item);
    delete item;
    return NPT_SUCCESS;
  }

  // Unlinks the item without freeing it; the caller owns it afterwards.
  NPT_Result Detach(Item& item) {
    if (item.m_Prev) {
      item.m_Prev->m_Next = item.m_Next;
    } else {
      m_Head = item.m_Next;
    }
    if (item.m_Next) {
      item.m_Next->m_Prev = item.m_Prev;
    } else {
      m_Tail = item.m_Prev;
    }
    item.m_Next = nullptr;
    item.m_Prev = nullptr;
    --m_ItemCount;
    return NPT_SUCCESS;
  }

  // Removes the first element equal to `data`.
  NPT_Result Remove(const T& data) {
    for (Item* item = m_Head; item; item = item->m_Next) {
      if (item->m_Data == data) return Erase(Iterator(item));
    }
    return NPT_ERROR_NO_SUCH_ITEM;
  }

  bool Contains(const T& data) const {
    for (Item* item = m_Head; item; item = item->m_Next) {
      if (item->m_Data == data) return true;
    }
    return false;
  }

  // The first element for which the predicate holds, or a null iterator.
  template <typename Predicate>
  Iterator Find(const Predicate& predicate) const {
    for (Item* item = m_Head; item; item = item->m_Next) {
      if (predicate(item->m_Data)) return Iterator(item);
    }
    return Iterator();
  }

  NPT_Result Clear() {
    Item* item = m_Head;
    while (item) {
      Item* next = item->m_Next;
      delete item;
      item = next;
    }
    m_ItemCount = 0;
    m_Head = nullptr;
    m_Tail = nullptr;
    return NPT_SUCCESS;
  }

  // Calls the function object on every element from head to tail.
  template <typename Function>
  NPT_Result Apply(const Function& function) const {
    for (Item* item = m_Head; item; item = item->m_Next) function(item->m_Data);
    return NPT_SUCCESS;
  }

 private:
  void AppendAll(const NPT_List& other) {
    for (Item* item = other.m_Head; item; item = item->m_Next) Add(item->m_Data);
  }

  NPT_Cardinal m_ItemCount;
  Item* m_Head;
  Item* m_Tail;
};
