#pragma once
// NPT_Map: an association list from keys to values, kept in insertion order.
// Lookup is a linear scan with the key type's equality (case-sensitive for
// NPT_String keys); it is meant for registries of a few entries (attached
// devices, headers). The map owns its entries. No locking.

#include <new>

#include "NptList.h"
#include "NptResults.h"
#include "NptTypes.h"

template <typename K, typename V>
class NPT_Map {
 public:
  class Entry {
   public:
    Entry(const K& key, const V& value) : m_Key(key), m_Value(value) {}
    const K& GetKey() const { return m_Key; }
    const V& GetValue() const { return m_Value; }
    V& GetValue() { return m_Value; }
    void SetValue(const V& value) { m_Value = value; }

   private:
    K m_Key;
    V m_Value;
  };

  NPT_Map() {}
  NPT_Map(const NPT_Map& other) { CopyEntries(other); }
  ~NPT_Map() { Clear(); }

  NPT_Map& operator=(const NPT_Map& other) {
    if (this == &other) return *this;
    Clear();
    CopyEntries(other);
    return *this;
  }

  // Updates the value of an existing key in place (position unchanged), or
  // appends a new entry at the end.
  NPT_Result Put(const K& key, const V& value) {
    Entry* entry = GetEntry(key);
    if (entry) {
      entry->SetValue(value);
      return NPT_SUCCESS;
    }
    entry = new (std::nothrow) Entry(key, value);
    if (entry == nullptr) return NPT_ERROR_OUT_OF_MEMORY;
    NPT_Result result = m_Entries.Add(entry);
    if (NPT_FAILED(result)) delete entry;
    return result;
  }

  // The value by pointer (modifiable in place); null and
  // NPT_ERROR_NO_SUCH_ITEM when the key is absent.
  NPT_Result Get(const K& key, V*& value) const {
    Entry* entry = GetEntry(key);
    if (entry == nullptr) {
      value = nullptr;
      return NPT_ERROR_NO_SUCH_ITEM;
    }
    value = &entry->GetValue();
    return NPT_SUCCESS;
  }

  bool HasKey(const K& key) const { return GetEntry(key) != nullptr; }

  Entry* GetEntry(const K& key) const {
    for (typename NPT_List<Entry*>::Iterator it = m_Entries.GetFirstItem(); it; ++it) {
      if ((*it)->GetKey() == key) return *it;
    }
    return nullptr;
  }

  NPT_Result Erase(const K& key) {
    for (typename NPT_List<Entry*>::Iterator it = m_Entries.GetFirstItem(); it; ++it) {
      if ((*it)->GetKey() == key) {
        delete *it;
        return m_Entries.Erase(it);
      }
    }
    return NPT_ERROR_NO_SUCH_ITEM;
  }

  NPT_Result Clear() {
    m_Entries.Apply(NPT_ObjectDeleter());
    return m_Entries.Clear();
  }

  // The entries in insertion order; the map still owns them.
  const NPT_List<Entry*>& GetEntries() const { return m_Entries; }
  NPT_Cardinal GetEntryCount() const { return m_Entries.GetItemCount(); }

 private:
  void CopyEntries(const NPT_Map& other) {
    for (typename NPT_List<Entry*>::Iterator it = other.m_Entries.GetFirstItem(); it; ++it) {
      Put((*it)->GetKey(), (*it)->GetValue());
    }
  }

  NPT_List<Entry*> m_Entries;
};
