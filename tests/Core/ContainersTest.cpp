// Lists, arrays, maps and counted references: ordering, growth, ownership.

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "NptArray.h"
#include "NptList.h"
#include "NptMap.h"
#include "NptReferences.h"
#include "NptStrings.h"

namespace {

// Counts live instances so that leaks and double destruction show.
struct Counted {
  static int live;
  explicit Counted(int v = 0) : value(v) { ++live; }
  Counted(const Counted& other) : value(other.value) { ++live; }
  Counted& operator=(const Counted& other) = default;
  ~Counted() { --live; }
  bool operator==(const Counted& other) const { return value == other.value; }
  int value;
};
int Counted::live = 0;

struct Base {
  explicit Base(int* deletions) : m_Deletions(deletions) {}
  virtual ~Base() { ++*m_Deletions; }
  int* m_Deletions;
};
struct Derived : Base {
  using Base::Base;
  int extra = 7;
};

template <typename T>
std::vector<T> Contents(const NPT_List<T>& list) {
  std::vector<T> out;
  for (typename NPT_List<T>::Iterator it = list.GetFirstItem(); it; ++it) out.push_back(*it);
  return out;
}

std::vector<int> Backwards(const NPT_List<int>& list) {
  std::vector<int> out;
  for (NPT_List<int>::Iterator it = list.GetLastItem(); it; --it) out.push_back(*it);
  return out;
}

// ---- list ------------------------------------------------------------------

TEST(ListTest, AddPopHeadKeepsFifoOrderAndLinks) {
  NPT_List<int> list;
  EXPECT_FALSE(list.GetFirstItem());
  for (int i = 1; i <= 3; ++i) EXPECT_EQ(NPT_SUCCESS, list.Add(i));
  EXPECT_EQ(3u, list.GetItemCount());
  EXPECT_EQ((std::vector<int>{1, 2, 3}), Contents(list));
  EXPECT_EQ((std::vector<int>{3, 2, 1}), Backwards(list));

  int value = 0;
  EXPECT_EQ(NPT_SUCCESS, list.PopHead(value));
  EXPECT_EQ(1, value);
  EXPECT_EQ((std::vector<int>{3, 2}), Backwards(list));
  EXPECT_EQ(NPT_SUCCESS, list.PopHead(value));
  EXPECT_EQ(NPT_SUCCESS, list.PopHead(value));
  EXPECT_EQ(3, value);
  EXPECT_EQ(0u, list.GetItemCount());
  EXPECT_FALSE(list.GetFirstItem());
  EXPECT_FALSE(list.GetLastItem());

  // Empty list: the output is left untouched.
  value = 42;
  EXPECT_EQ(NPT_ERROR_LIST_EMPTY, list.PopHead(value));
  EXPECT_EQ(42, value);
  // Tail was cleared: a new element is both head and tail.
  list.Add(9);
  EXPECT_EQ((std::vector<int>{9}), Backwards(list));
}

TEST(ListTest, GetByIndex) {
  NPT_List<int> list;
  list.Add(10);
  list.Add(20);
  int value = -1;
  EXPECT_EQ(NPT_SUCCESS, list.Get(1, value));
  EXPECT_EQ(20, value);
  int* pointer = nullptr;
  EXPECT_EQ(NPT_SUCCESS, list.Get(0, pointer));
  ASSERT_NE(nullptr, pointer);
  *pointer = 11;  // modifies in place
  EXPECT_EQ((std::vector<int>{11, 20}), Contents(list));
  EXPECT_EQ(NPT_ERROR_NO_SUCH_ITEM, list.Get(2, pointer));
  EXPECT_EQ(nullptr, pointer);
  EXPECT_EQ(NPT_ERROR_NO_SUCH_ITEM, list.Get(2, value));
}

TEST(ListTest, EraseRemoveInsertAndDetach) {
  NPT_List<int> list;
  for (int i = 1; i <= 5; ++i) list.Add(i);
  // Middle, head and tail erasure keep both directions consistent.
  NPT_List<int>::Iterator it = list.GetFirstItem();
  ++it;
  ++it;
  EXPECT_EQ(NPT_SUCCESS, list.Erase(it));
  EXPECT_EQ(NPT_SUCCESS, list.Erase(list.GetFirstItem()));
  EXPECT_EQ(NPT_SUCCESS, list.Erase(list.GetLastItem()));
  EXPECT_EQ((std::vector<int>{2, 4}), Contents(list));
  EXPECT_EQ((std::vector<int>{4, 2}), Backwards(list));
  EXPECT_EQ(NPT_ERROR_NO_SUCH_ITEM, list.Erase(NPT_List<int>::Iterator()));

  EXPECT_EQ(NPT_SUCCESS, list.Insert(list.GetFirstItem(), 1));
  EXPECT_EQ(NPT_SUCCESS, list.Insert(list.GetLastItem(), 3));
  EXPECT_EQ(NPT_SUCCESS, list.Insert(NPT_List<int>::Iterator(), 5));
  EXPECT_EQ((std::vector<int>{1, 2, 3, 4, 5}), Contents(list));
  EXPECT_EQ((std::vector<int>{5, 4, 3, 2, 1}), Backwards(list));
  EXPECT_EQ(5u, list.GetItemCount());

  list.Add(3);
  EXPECT_EQ(NPT_SUCCESS, list.Remove(3));  // first equal element only
  EXPECT_EQ((std::vector<int>{1, 2, 4, 5, 3}), Contents(list));
  EXPECT_EQ(NPT_ERROR_NO_SUCH_ITEM, list.Remove(42));
  EXPECT_TRUE(list.Contains(5));
  EXPECT_FALSE(list.Contains(42));

  NPT_List<int>::Iterator found = list.Find([](int v) { return v > 3; });
  ASSERT_TRUE(found);
  EXPECT_EQ(4, *found);
  EXPECT_FALSE(list.Find([](int v) { return v > 100; }));

  NPT_List<int>::Item* head = list.GetFirstItem().GetItem();
  EXPECT_EQ(NPT_SUCCESS, list.Detach(*head));
  EXPECT_EQ(4u, list.GetItemCount());
  EXPECT_EQ((std::vector<int>{2, 4, 5, 3}), Contents(list));
  EXPECT_EQ(NPT_SUCCESS, list.Add(*head));  // re-append the detached item
  EXPECT_EQ((std::vector<int>{2, 4, 5, 3, 1}), Contents(list));
  EXPECT_EQ((std::vector<int>{1, 3, 5, 4, 2}), Backwards(list));
}

TEST(ListTest, CopiesAreDeepAndSelfAssignmentIsHarmless) {
  Counted::live = 0;
  {
    NPT_List<Counted> list;
    list.Add(Counted(1));
    list.Add(Counted(2));
    EXPECT_EQ(2, Counted::live);
    NPT_List<Counted> copy(list);
    EXPECT_EQ(4, Counted::live);
    Counted* first = nullptr;
    copy.Get(0, first);
    first->value = 100;
    EXPECT_EQ(1, Contents(list)[0].value);

    NPT_List<Counted>& alias = list;
    list = alias;
    EXPECT_EQ(2u, list.GetItemCount());
    EXPECT_EQ(2, Contents(list)[1].value);

    copy = list;
    EXPECT_EQ(1, Contents(copy)[0].value);
    EXPECT_EQ(4, Counted::live);
    copy.Clear();
    EXPECT_EQ(2, Counted::live);
    EXPECT_FALSE(copy.GetFirstItem());
  }
  EXPECT_EQ(0, Counted::live);
}

TEST(ListTest, ApplyVisitsHeadToTailAndObjectDeleterFreesPointees) {
  NPT_List<int> list;
  for (int i = 1; i <= 4; ++i) list.Add(i);
  std::vector<int> seen;
  EXPECT_EQ(NPT_SUCCESS, list.Apply([&seen](int v) { seen.push_back(v); }));
  EXPECT_EQ((std::vector<int>{1, 2, 3, 4}), seen);

  Counted::live = 0;
  NPT_List<Counted*> owned;
  owned.Add(new Counted(1));
  owned.Add(new Counted(2));
  EXPECT_EQ(2, Counted::live);
  owned.Apply(NPT_ObjectDeleter());
  EXPECT_EQ(0, Counted::live);
}

// ---- array -----------------------------------------------------------------

TEST(ArrayTest, GrowsByDoublingFromOne) {
  NPT_Array<int> array;
  EXPECT_EQ(0u, array.GetCapacity());
  std::vector<NPT_Cardinal> capacities;
  for (int i = 0; i < 8; ++i) {
    EXPECT_EQ(NPT_SUCCESS, array.Add(i));
    capacities.push_back(array.GetCapacity());
  }
  EXPECT_EQ((std::vector<NPT_Cardinal>{1, 2, 4, 4, 8, 8, 8, 8}), capacities);
  for (int i = 0; i < 8; ++i) EXPECT_EQ(i, array[i]);
}

TEST(ArrayTest, ReserveJumpsToRequestWhenDoublingIsNotEnough) {
  NPT_Array<int> array;
  array.Add(1);
  array.Add(2);
  ASSERT_EQ(2u, array.GetCapacity());
  EXPECT_EQ(NPT_SUCCESS, array.Reserve(5));
  EXPECT_EQ(5u, array.GetCapacity());
  EXPECT_EQ(2u, array.GetItemCount());
  EXPECT_EQ(NPT_SUCCESS, array.Reserve(3));  // below capacity: nothing changes
  EXPECT_EQ(5u, array.GetCapacity());
  EXPECT_EQ(NPT_SUCCESS, array.Reserve(6));  // twice 5 wins over 6
  EXPECT_EQ(10u, array.GetCapacity());
  EXPECT_EQ(1, array[0]);
  EXPECT_EQ(2, array[1]);
}

TEST(ArrayTest, ClearKeepsStorageAndElementsAreDestroyedExactlyOnce) {
  Counted::live = 0;
  {
    NPT_Array<Counted> array;
    for (int i = 0; i < 5; ++i) array.Add(Counted(i));
    EXPECT_EQ(5, Counted::live);  // moves during growth left no strays
    NPT_Array<Counted> copy(array);
    EXPECT_EQ(10, Counted::live);
    EXPECT_EQ(5u, copy.GetCapacity());
    copy[0].value = 99;
    EXPECT_EQ(0, array[0].value);

    EXPECT_EQ(NPT_SUCCESS, array.Erase(1));
    EXPECT_EQ(9, Counted::live);
    EXPECT_EQ(2, array[1].value);
    EXPECT_EQ(NPT_ERROR_NO_SUCH_ITEM, array.Erase(4));

    NPT_Cardinal capacity = array.GetCapacity();
    array.Clear();
    EXPECT_EQ(0u, array.GetItemCount());
    EXPECT_EQ(capacity, array.GetCapacity());
    EXPECT_EQ(5, Counted::live);

    NPT_Array<Counted>& alias = copy;
    copy = alias;
    EXPECT_EQ(5u, copy.GetItemCount());
    EXPECT_EQ(99, copy[0].value);
    array = copy;
    EXPECT_EQ(10, Counted::live);
    EXPECT_TRUE(array.Contains(Counted(99)));
  }
  EXPECT_EQ(0, Counted::live);
}

TEST(ArrayTest, AddingOwnElementWhileGrowingCopiesItFirst) {
  NPT_Array<NPT_String> array;
  array.Add("first element long enough to live on the heap");
  array.Add("second");
  ASSERT_EQ(array.GetItemCount(), array.GetCapacity());
  EXPECT_EQ(NPT_SUCCESS, array.Add(array[0]));  // storage moves during this call
  EXPECT_EQ("first element long enough to live on the heap", array[2]);
}

// ---- map -------------------------------------------------------------------

std::vector<std::string> Keys(const NPT_Map<NPT_String, int>& map) {
  std::vector<std::string> keys;
  for (NPT_List<NPT_Map<NPT_String, int>::Entry*>::Iterator it = map.GetEntries().GetFirstItem(); it; ++it) {
    keys.push_back((*it)->GetKey().GetChars());
  }
  return keys;
}

TEST(MapTest, PutUpdatesInPlaceAndKeepsInsertionOrder) {
  NPT_Map<NPT_String, int> map;
  EXPECT_EQ(NPT_SUCCESS, map.Put("b", 1));
  EXPECT_EQ(NPT_SUCCESS, map.Put("a", 2));
  EXPECT_EQ(NPT_SUCCESS, map.Put("b", 3));
  EXPECT_EQ(2u, map.GetEntryCount());
  EXPECT_EQ((std::vector<std::string>{"b", "a"}), Keys(map));
  int* value = nullptr;
  EXPECT_EQ(NPT_SUCCESS, map.Get("b", value));
  ASSERT_NE(nullptr, value);
  EXPECT_EQ(3, *value);
  *value = 4;  // in-place modification through the pointer
  EXPECT_EQ(4, map.GetEntry("b")->GetValue());

  // Keys are case-sensitive.
  EXPECT_EQ(NPT_SUCCESS, map.Put("B", 5));
  EXPECT_EQ((std::vector<std::string>{"b", "a", "B"}), Keys(map));
  EXPECT_TRUE(map.HasKey("B"));
  EXPECT_FALSE(map.HasKey("A"));
  EXPECT_EQ(nullptr, map.GetEntry("A"));

  map.GetEntry("a")->SetValue(20);
  EXPECT_EQ(NPT_SUCCESS, map.Get("a", value));
  EXPECT_EQ(20, *value);
}

TEST(MapTest, EraseAndMissingKeys) {
  NPT_Map<NPT_String, int> map;
  map.Put("x", 1);
  map.Put("y", 2);
  map.Put("z", 3);
  int dummy = 0;
  int* value = &dummy;
  EXPECT_EQ(NPT_ERROR_NO_SUCH_ITEM, map.Get("w", value));
  EXPECT_EQ(nullptr, value);
  EXPECT_EQ(NPT_ERROR_NO_SUCH_ITEM, map.Erase("w"));
  EXPECT_EQ(NPT_SUCCESS, map.Erase("y"));
  EXPECT_EQ((std::vector<std::string>{"x", "z"}), Keys(map));
  EXPECT_EQ(NPT_ERROR_NO_SUCH_ITEM, map.Erase("y"));
  map.Put("y", 4);  // re-added at the end
  EXPECT_EQ((std::vector<std::string>{"x", "z", "y"}), Keys(map));
  map.Clear();
  EXPECT_EQ(0u, map.GetEntryCount());
  EXPECT_FALSE(map.HasKey("x"));
}

TEST(MapTest, OwnsEntriesAndCopiesDeeply) {
  Counted::live = 0;
  {
    NPT_Map<int, Counted> map;
    map.Put(1, Counted(10));
    map.Put(2, Counted(20));
    map.Put(1, Counted(11));
    EXPECT_EQ(2, Counted::live);
    NPT_Map<int, Counted> copy(map);
    EXPECT_EQ(4, Counted::live);
    copy.GetEntry(1)->SetValue(Counted(99));
    EXPECT_EQ(11, map.GetEntry(1)->GetValue().value);
    map.Erase(2);
    EXPECT_EQ(3, Counted::live);
    copy = map;
    EXPECT_EQ(2, Counted::live);
    EXPECT_EQ(11, copy.GetEntry(1)->GetValue().value);
  }
  EXPECT_EQ(0, Counted::live);
}

// ---- references ------------------------------------------------------------

TEST(ReferenceTest, SharedObjectIsDeletedOnceByTheLastReference) {
  int deletions = 0;
  {
    NPT_Reference<Base> first(new Base(&deletions));
    {
      NPT_Reference<Base> second(first);
      EXPECT_EQ(first.AsPointer(), second.AsPointer());
      NPT_Reference<Base> third;
      third = second;
      EXPECT_EQ(first.AsPointer(), third.AsPointer());
    }
    EXPECT_EQ(0, deletions);
    EXPECT_FALSE(first.IsNull());
    EXPECT_EQ(&deletions, first->m_Deletions);
  }
  EXPECT_EQ(1, deletions);
}

TEST(ReferenceTest, AssignmentAndReleaseSemantics) {
  int old_deletions = 0;
  int new_deletions = 0;
  NPT_Reference<Base> reference(new Base(&old_deletions));
  // The old object goes before the new one is taken.
  reference = new Base(&new_deletions);
  EXPECT_EQ(1, old_deletions);
  EXPECT_EQ(0, new_deletions);
  EXPECT_EQ(&new_deletions, (*reference).m_Deletions);

  NPT_Reference<Base>& alias = reference;
  reference = alias;  // self-assignment keeps the object alive
  EXPECT_EQ(0, new_deletions);
  ASSERT_FALSE(reference.IsNull());

  NPT_Reference<Base> other(reference);
  reference.Release();
  EXPECT_TRUE(reference.IsNull());
  EXPECT_EQ(nullptr, reference.AsPointer());
  EXPECT_EQ(0, new_deletions);
  reference.Release();  // releasing an empty reference is harmless
  other = static_cast<Base*>(nullptr);
  EXPECT_TRUE(other.IsNull());
  EXPECT_EQ(1, new_deletions);

  NPT_Reference<Base> empty(static_cast<Base*>(nullptr));
  EXPECT_TRUE(empty.IsNull());
}

TEST(ReferenceTest, DerivedReferenceConvertsAndSharesTheCounter) {
  int deletions = 0;
  NPT_Reference<Derived> derived(new Derived(&deletions));
  {
    NPT_Reference<Base> base(derived);
    EXPECT_EQ(static_cast<Base*>(derived.AsPointer()), base.AsPointer());
    derived.Release();
    EXPECT_EQ(0, deletions);  // the base reference keeps it alive
    NPT_Reference<Base> again;
    again = base;
  }
  EXPECT_EQ(1, deletions);
}

TEST(ReferenceTest, CopiesAndReleasesFromTwoThreadsDeleteOnce) {
  int deletions = 0;
  for (int round = 0; round < 50; ++round) {
    NPT_Reference<Base> original(new Base(&deletions));
    NPT_Reference<Base> for_worker(original);
    std::thread worker([reference = for_worker]() mutable {
      for (int i = 0; i < 200; ++i) {
        NPT_Reference<Base> copy(reference);
        copy.Release();
      }
    });
    for_worker.Release();
    for (int i = 0; i < 200; ++i) {
      NPT_Reference<Base> copy(original);
    }
    original.Release();
    worker.join();
  }
  EXPECT_EQ(50, deletions);
}

}  // namespace
