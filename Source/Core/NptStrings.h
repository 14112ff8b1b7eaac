#pragma once
// NPT_String: an owned byte string (ASCII case rules, no character-set
// knowledge). The object is one pointer to the characters; a buffer header of
// length and capacity (two 32-bit unsigned values) sits just before them, and a
// NUL always follows the last character. A null pointer is the empty string and
// costs no allocation. Copies are deep: a string owns its buffer alone.

#include "NptList.h"
#include "NptResults.h"
#include "NptTypes.h"
#include "kvx/kvx_export.h"

class KVX_API NPT_String {
 public:
  // A single static NUL, returned by GetChars for the empty string.
  static const char EmptyString;

  static NPT_String FromInteger(NPT_Int64 value);
  static NPT_String FromIntegerU(NPT_UInt64 value);
  // printf-style formatting: starts at 256 characters and doubles up to
  // 524288; output that does not fit even then gives the empty string.
  static NPT_String Format(const char* format, ...)
#if defined(__GNUC__)
      __attribute__((format(printf, 1, 2)))
#endif
      ;

  NPT_String() : m_Chars(nullptr) {}
  NPT_String(const char* s);
  NPT_String(const char* s, NPT_Size length);
  NPT_String(const NPT_String& other);
  NPT_String(NPT_String&& other) noexcept : m_Chars(other.m_Chars) { other.m_Chars = nullptr; }
  NPT_String(char c, NPT_Cardinal repeat = 1);
  ~NPT_String();

  NPT_String& operator=(const char* s);
  NPT_String& operator=(const NPT_String& other);
  NPT_String& operator=(NPT_String&& other) noexcept;
  NPT_String& operator=(char c);

  // Size and buffer.
  NPT_Size GetLength() const { return m_Chars ? GetBuffer()->m_Length : 0; }
  NPT_Size GetCapacity() const { return m_Chars ? GetBuffer()->m_Allocated : 0; }
  bool IsEmpty() const { return GetLength() == 0; }
  const char* GetChars() const { return m_Chars ? m_Chars : &EmptyString; }
  char* UseChars() { return m_Chars; }
  // Capacity for n characters plus the terminator; content and length are kept.
  NPT_Result Reserve(NPT_Size n);
  // 0 frees the buffer. Pad fills the new tail with spaces. Always succeeds.
  NPT_Result SetLength(NPT_Size length, bool pad = false);
  void Assign(const char* s, NPT_Size length);
  operator const char*() const { return GetChars(); }
  char operator[](int index) const { return GetChars()[index]; }
  char& operator[](int index) { return m_Chars[index]; }
  char GetLast() const { return IsEmpty() ? '\0' : m_Chars[GetLength() - 1]; }

  // Appending.
  void Append(const char* s);
  void Append(const char* s, NPT_Size count);
  void Append(const NPT_String& s) { Append(s.GetChars(), s.GetLength()); }
  NPT_String& operator+=(const char* s) { Append(s); return *this; }
  NPT_String& operator+=(const NPT_String& s) { Append(s); return *this; }
  NPT_String& operator+=(char c) { Append(&c, 1); return *this; }

  // Comparison. Compare returns the difference of the first differing pair (as
  // signed 8-bit characters), 0 when equal.
  int Compare(const char* s, bool ignore_case = false) const;
  int CompareN(const char* s, NPT_Size count, bool ignore_case = false) const;
  static int Compare(const char* s1, const char* s2, bool ignore_case = false);
  static int CompareN(const char* s1, const char* s2, NPT_Size count, bool ignore_case = false);
  bool StartsWith(const char* s, bool ignore_case = false) const;
  bool EndsWith(const char* s, bool ignore_case = false) const;

  // Searching; -1 when not found or when start is at or past the end.
  int Find(const char* s, NPT_Ordinal start = 0, bool ignore_case = false) const;
  int Find(char c, NPT_Ordinal start = 0, bool ignore_case = false) const;
  int ReverseFind(const char* s, NPT_Ordinal start = 0, bool ignore_case = false) const;
  int ReverseFind(char c, NPT_Ordinal start = 0, bool ignore_case = false) const;

  // Pieces.
  NPT_String SubString(NPT_Ordinal first, NPT_Size length) const;
  NPT_String SubString(NPT_Ordinal first) const;
  NPT_String Left(NPT_Size length) const { return SubString(0, length); }
  NPT_String Right(NPT_Size length) const;
  NPT_List<NPT_String> Split(const char* separator) const;
  static NPT_String Join(NPT_List<NPT_String>& pieces, const char* separator);

  // Editing in place.
  NPT_String& Trim();
  NPT_String& Trim(char c);
  NPT_String& Trim(const char* chars);
  NPT_String& TrimLeft();
  NPT_String& TrimLeft(char c);
  NPT_String& TrimLeft(const char* chars);
  NPT_String& TrimRight();
  NPT_String& TrimRight(char c);
  NPT_String& TrimRight(const char* chars);
  NPT_String& Replace(char a, char b);
  NPT_String& Replace(char a, const char* b);
  NPT_String& Replace(const char* before, const char* after);
  NPT_String& Insert(const char* s, NPT_Ordinal where = 0);
  NPT_String& Erase(NPT_Ordinal start, NPT_Cardinal count = 1);

  // Case (ASCII letters only).
  void MakeLowercase();
  void MakeUppercase();
  NPT_String ToLowercase() const;
  NPT_String ToUppercase() const;

  // Numbers. Relaxed parsing skips leading blanks and ignores trailing text
  // after at least one digit. On failure the output is 0.
  NPT_Result ToInteger(int& value, bool relaxed = true) const;
  NPT_Result ToInteger(unsigned int& value, bool relaxed = true) const;
  NPT_Result ToInteger(long& value, bool relaxed = true) const;
  NPT_Result ToInteger(unsigned long& value, bool relaxed = true) const;
  NPT_Result ToInteger32(NPT_Int32& value, bool relaxed = true) const;
  NPT_Result ToInteger32(NPT_UInt32& value, bool relaxed = true) const;
  NPT_Result ToInteger64(NPT_Int64& value, bool relaxed = true) const;
  NPT_Result ToInteger64(NPT_UInt64& value, bool relaxed = true) const;
  NPT_Result ToFloat(float& value, bool relaxed = true) const;

 private:
  struct Buffer {
    NPT_UInt32 m_Length;
    NPT_UInt32 m_Allocated;
  };
  Buffer* GetBuffer() const { return reinterpret_cast<Buffer*>(m_Chars) - 1; }
  static char* Allocate(NPT_Size capacity, NPT_Size length);
  void Reset();
  // Frees or reallocates so that `length` characters fit; content not kept.
  char* PrepareToWrite(NPT_Size length);

  char* m_Chars;
};

inline bool operator==(const NPT_String& s1, const NPT_String& s2) { return s1.Compare(s2.GetChars()) == 0; }
inline bool operator==(const NPT_String& s1, const char* s2) { return s1.Compare(s2) == 0; }
inline bool operator==(const char* s1, const NPT_String& s2) { return s2.Compare(s1) == 0; }
inline bool operator!=(const NPT_String& s1, const NPT_String& s2) { return s1.Compare(s2.GetChars()) != 0; }
inline bool operator!=(const NPT_String& s1, const char* s2) { return s1.Compare(s2) != 0; }
inline bool operator!=(const char* s1, const NPT_String& s2) { return s2.Compare(s1) != 0; }
inline bool operator<(const NPT_String& s1, const NPT_String& s2) { return s1.Compare(s2.GetChars()) < 0; }

KVX_API NPT_String operator+(const NPT_String& s1, const NPT_String& s2);
KVX_API NPT_String operator+(const NPT_String& s1, const char* s2);
KVX_API NPT_String operator+(const char* s1, const NPT_String& s2);
KVX_API NPT_String operator+(const NPT_String& s, char c);
