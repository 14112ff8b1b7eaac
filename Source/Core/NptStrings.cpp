#include "NptStrings.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <new>

#include "NptUtils.h"

const char NPT_String::EmptyString = '\0';

namespace {

// Largest character count a buffer may hold: the header fields are 32-bit and
// the terminator needs one more character.
const NPT_UInt64 kMaxCapacity = 0xFFFFFFFEu;

char Uppercase(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; }
char Lowercase(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

NPT_Size TextLength(const char* s) { return s ? static_cast<NPT_Size>(std::strlen(s)) : 0; }

// The difference of two characters taken as signed 8-bit values.
int Difference(char c1, char c2) { return static_cast<int>(static_cast<NPT_Int8>(c1)) - static_cast<NPT_Int8>(c2); }

}  // namespace

// ---- buffer management -----------------------------------------------------

char* NPT_String::Allocate(NPT_Size capacity, NPT_Size length) {
  void* block = ::operator new(sizeof(Buffer) + static_cast<size_t>(capacity) + 1, std::nothrow);
  if (block == nullptr) return nullptr;
  Buffer* buffer = static_cast<Buffer*>(block);
  buffer->m_Length = length;
  buffer->m_Allocated = capacity;
  char* chars = reinterpret_cast<char*>(buffer + 1);
  chars[length] = '\0';
  return chars;
}

void NPT_String::Reset() {
  if (m_Chars) {
    ::operator delete(static_cast<void*>(GetBuffer()));
    m_Chars = nullptr;
  }
}

char* NPT_String::PrepareToWrite(NPT_Size length) {
  if (m_Chars == nullptr || GetBuffer()->m_Allocated < length) {
    NPT_UInt64 capacity = length;
    if (m_Chars) {
      NPT_UInt64 doubled = 2 * static_cast<NPT_UInt64>(GetBuffer()->m_Allocated);
      if (doubled > capacity) capacity = doubled > kMaxCapacity ? kMaxCapacity : doubled;
    }
    Reset();
    m_Chars = Allocate(static_cast<NPT_Size>(capacity), length);
    return m_Chars;
  }
  GetBuffer()->m_Length = length;
  m_Chars[length] = '\0';
  return m_Chars;
}

NPT_Result NPT_String::Reserve(NPT_Size n) {
  if (m_Chars && GetBuffer()->m_Allocated >= n) return NPT_SUCCESS;
  if (n > kMaxCapacity) return NPT_ERROR_OUT_OF_MEMORY;
  NPT_UInt64 capacity = n;
  if (m_Chars) {
    NPT_UInt64 doubled = 2 * static_cast<NPT_UInt64>(GetBuffer()->m_Allocated);
    if (doubled > capacity) capacity = doubled > kMaxCapacity ? kMaxCapacity : doubled;
  }
  NPT_Size length = GetLength();
  char* chars = Allocate(static_cast<NPT_Size>(capacity), length);
  if (chars == nullptr) return NPT_ERROR_OUT_OF_MEMORY;
  if (m_Chars) std::memcpy(chars, m_Chars, static_cast<size_t>(length) + 1);
  Reset();
  m_Chars = chars;
  return NPT_SUCCESS;
}

void NPT_String::Assign(const char* s, NPT_Size length) {
  if (s == nullptr || length == 0) {
    Reset();
    return;
  }
  // The source may lie in our own buffer, which preparing may free.
  if (m_Chars && s >= m_Chars && s <= m_Chars + GetBuffer()->m_Allocated) {
    NPT_String copy(s, length);
    *this = static_cast<NPT_String&&>(copy);
    return;
  }
  char* chars = PrepareToWrite(length);
  if (chars == nullptr) return;
  std::memcpy(chars, s, length);
  chars[length] = '\0';
}

NPT_Result NPT_String::SetLength(NPT_Size length, bool pad) {
  if (length == 0) {
    Reset();
    return NPT_SUCCESS;
  }
  NPT_Size old_length = GetLength();
  // Writing past a buffer that could not grow would corrupt memory; report it.
  NPT_Result result = Reserve(length);
  if (NPT_FAILED(result)) return result;
  if (pad && old_length < length) std::memset(m_Chars + old_length, ' ', length - old_length);
  GetBuffer()->m_Length = length;
  m_Chars[length] = '\0';
  return NPT_SUCCESS;
}

// ---- construction and assignment -------------------------------------------

NPT_String::NPT_String(const char* s) : m_Chars(nullptr) { Assign(s, TextLength(s)); }

NPT_String::NPT_String(const char* s, NPT_Size length) : m_Chars(nullptr) { Assign(s, length); }

NPT_String::NPT_String(const NPT_String& other) : m_Chars(nullptr) { Assign(other.m_Chars, other.GetLength()); }

NPT_String::NPT_String(char c, NPT_Cardinal repeat) : m_Chars(nullptr) {
  if (repeat == 0) return;
  m_Chars = Allocate(repeat, repeat);
  if (m_Chars) std::memset(m_Chars, c, repeat);
}

NPT_String::~NPT_String() { Reset(); }

NPT_String& NPT_String::operator=(const char* s) {
  Assign(s, TextLength(s));
  return *this;
}

NPT_String& NPT_String::operator=(const NPT_String& other) {
  if (this == &other) return *this;
  Assign(other.m_Chars, other.GetLength());
  return *this;
}

NPT_String& NPT_String::operator=(NPT_String&& other) noexcept {
  if (this == &other) return *this;
  Reset();
  m_Chars = other.m_Chars;
  other.m_Chars = nullptr;
  return *this;
}

NPT_String& NPT_String::operator=(char c) {
  Assign(&c, 1);
  return *this;
}

// ---- appending -------------------------------------------------------------

void NPT_String::Append(const char* s) { Append(s, TextLength(s)); }

void NPT_String::Append(const char* s, NPT_Size count) {
  if (s == nullptr || count == 0) return;
  NPT_Size old_length = GetLength();
  if (static_cast<NPT_UInt64>(old_length) + count > kMaxCapacity) return;
  // Appending (part of) ourselves: the source moves when the buffer grows.
  bool own = m_Chars && s >= m_Chars && s <= m_Chars + GetBuffer()->m_Allocated;
  size_t offset = own ? static_cast<size_t>(s - m_Chars) : 0;
  if (NPT_FAILED(Reserve(old_length + count))) return;
  if (own) s = m_Chars + offset;
  std::memmove(m_Chars + old_length, s, count);
  GetBuffer()->m_Length = old_length + count;
  m_Chars[old_length + count] = '\0';
}

// ---- comparison ------------------------------------------------------------

int NPT_String::Compare(const char* s1, const char* s2, bool ignore_case) {
  if (s1 == nullptr) s1 = &EmptyString;
  if (s2 == nullptr) s2 = &EmptyString;
  for (;; ++s1, ++s2) {
    char c1 = ignore_case ? Uppercase(*s1) : *s1;
    char c2 = ignore_case ? Uppercase(*s2) : *s2;
    if (c1 != c2) return Difference(c1, c2);
    if (c1 == '\0') return 0;
  }
}

int NPT_String::CompareN(const char* s1, const char* s2, NPT_Size count, bool ignore_case) {
  if (s1 == nullptr) s1 = &EmptyString;
  if (s2 == nullptr) s2 = &EmptyString;
  for (NPT_Size i = 0; i < count; ++i) {
    char c1 = ignore_case ? Uppercase(s1[i]) : s1[i];
    char c2 = ignore_case ? Uppercase(s2[i]) : s2[i];
    if (c1 != c2) return Difference(c1, c2);
    if (c1 == '\0') return 0;
  }
  return 0;
}

int NPT_String::Compare(const char* s, bool ignore_case) const { return Compare(GetChars(), s, ignore_case); }

int NPT_String::CompareN(const char* s, NPT_Size count, bool ignore_case) const {
  return CompareN(GetChars(), s, count, ignore_case);
}

bool NPT_String::StartsWith(const char* s, bool ignore_case) const {
  if (s == nullptr) return false;
  return CompareN(GetChars(), s, TextLength(s), ignore_case) == 0;
}

bool NPT_String::EndsWith(const char* s, bool ignore_case) const {
  if (s == nullptr) return false;
  NPT_Size length = TextLength(s);
  if (length > GetLength()) return false;
  return CompareN(GetChars() + GetLength() - length, s, length, ignore_case) == 0;
}

// ---- searching -------------------------------------------------------------

int NPT_String::Find(const char* s, NPT_Ordinal start, bool ignore_case) const {
  if (s == nullptr || start >= GetLength()) return -1;
  NPT_Size length = TextLength(s);
  NPT_Size my_length = GetLength();
  if (length > my_length - start) return -1;
  for (NPT_Size i = start; i + length <= my_length; ++i) {
    if (CompareN(m_Chars + i, s, length, ignore_case) == 0) return static_cast<int>(i);
  }
  return -1;
}

int NPT_String::Find(char c, NPT_Ordinal start, bool ignore_case) const {
  if (start >= GetLength()) return -1;
  if (ignore_case) c = Uppercase(c);
  for (NPT_Size i = start; i < GetLength(); ++i) {
    char mine = ignore_case ? Uppercase(m_Chars[i]) : m_Chars[i];
    if (mine == c) return static_cast<int>(i);
  }
  return -1;
}

// `start` counts the characters skipped at the end before searching backwards.
int NPT_String::ReverseFind(const char* s, NPT_Ordinal start, bool ignore_case) const {
  if (s == nullptr || *s == '\0') return -1;
  NPT_Size length = TextLength(s);
  NPT_Size my_length = GetLength();
  if (static_cast<NPT_UInt64>(start) + length > my_length) return -1;
  for (NPT_Int64 i = static_cast<NPT_Int64>(my_length) - start - length; i >= 0; --i) {
    if (CompareN(m_Chars + i, s, length, ignore_case) == 0) return static_cast<int>(i);
  }
  return -1;
}

int NPT_String::ReverseFind(char c, NPT_Ordinal start, bool ignore_case) const {
  if (start >= GetLength()) return -1;
  if (ignore_case) c = Uppercase(c);
  for (NPT_Int64 i = static_cast<NPT_Int64>(GetLength()) - 1 - start; i >= 0; --i) {
    char mine = ignore_case ? Uppercase(m_Chars[i]) : m_Chars[i];
    if (mine == c) return static_cast<int>(i);
  }
  return -1;
}

// ---- pieces ----------------------------------------------------------------

NPT_String NPT_String::SubString(NPT_Ordinal first, NPT_Size length) const {
  NPT_Size my_length = GetLength();
  if (first >= my_length) return NPT_String();
  if (length > my_length - first) length = my_length - first;
  return NPT_String(m_Chars + first, length);
}

NPT_String NPT_String::SubString(NPT_Ordinal first) const { return SubString(first, GetLength()); }

NPT_String NPT_String::Right(NPT_Size length) const {
  NPT_Size my_length = GetLength();
  if (length >= my_length) return *this;
  return SubString(my_length - length, length);
}

NPT_List<NPT_String> NPT_String::Split(const char* separator) const {
  NPT_List<NPT_String> pieces;
  NPT_Size separator_length = TextLength(separator);
  if (separator_length == 0) {
    pieces.Add(*this);
    return pieces;
  }
  NPT_Ordinal start = 0;
  int found;
  while ((found = Find(separator, start)) >= 0) {
    pieces.Add(SubString(start, static_cast<NPT_Size>(found) - start));
    start = static_cast<NPT_Ordinal>(found) + separator_length;
  }
  pieces.Add(SubString(start));
  return pieces;
}

NPT_String NPT_String::Join(NPT_List<NPT_String>& pieces, const char* separator) {
  NPT_String result;
  bool first = true;
  for (NPT_List<NPT_String>::Iterator it = pieces.GetFirstItem(); it; ++it) {
    if (!first) result.Append(separator);
    result.Append(*it);
    first = false;
  }
  return result;
}

// ---- editing ---------------------------------------------------------------

namespace {
const char* const kWhitespace = "\r\n\t ";
}

NPT_String& NPT_String::Trim() { return Trim(kWhitespace); }
NPT_String& NPT_String::TrimLeft() { return TrimLeft(kWhitespace); }
NPT_String& NPT_String::TrimRight() { return TrimRight(kWhitespace); }

NPT_String& NPT_String::Trim(char c) {
  char set[2] = {c, '\0'};
  return Trim(set);
}

NPT_String& NPT_String::TrimLeft(char c) {
  char set[2] = {c, '\0'};
  return TrimLeft(set);
}

NPT_String& NPT_String::TrimRight(char c) {
  char set[2] = {c, '\0'};
  return TrimRight(set);
}

NPT_String& NPT_String::Trim(const char* chars) {
  TrimLeft(chars);
  return TrimRight(chars);
}

NPT_String& NPT_String::TrimLeft(const char* chars) {
  if (chars == nullptr || *chars == '\0' || m_Chars == nullptr) return *this;
  NPT_Size length = GetLength();
  NPT_Size skip = 0;
  while (skip < length && std::strchr(chars, m_Chars[skip]) != nullptr) ++skip;
  if (skip == 0) return *this;
  std::memmove(m_Chars, m_Chars + skip, length - skip);
  GetBuffer()->m_Length = length - skip;
  m_Chars[length - skip] = '\0';
  return *this;
}

NPT_String& NPT_String::TrimRight(const char* chars) {
  if (chars == nullptr || *chars == '\0' || m_Chars == nullptr) return *this;
  NPT_Size length = GetLength();
  while (length > 0 && std::strchr(chars, m_Chars[length - 1]) != nullptr) --length;
  GetBuffer()->m_Length = length;
  m_Chars[length] = '\0';
  return *this;
}

NPT_String& NPT_String::Replace(char a, char b) {
  // A NUL would cut the text short of its recorded length.
  if (a == '\0' || b == '\0') return *this;
  for (NPT_Size i = 0; i < GetLength(); ++i) {
    if (m_Chars[i] == a) m_Chars[i] = b;
  }
  return *this;
}

NPT_String& NPT_String::Replace(char a, const char* b) {
  if (a == '\0' || b == nullptr || Find(a) < 0) return *this;
  NPT_String result;
  for (NPT_Size i = 0; i < GetLength(); ++i) {
    if (m_Chars[i] == a) {
      result.Append(b);
    } else {
      result.Append(m_Chars + i, 1);
    }
  }
  *this = static_cast<NPT_String&&>(result);
  return *this;
}

NPT_String& NPT_String::Replace(const char* before, const char* after) {
  NPT_Size before_length = TextLength(before);
  if (before_length == 0) return *this;
  int found = Find(before);
  if (found < 0) return *this;
  NPT_String result;
  NPT_Ordinal start = 0;
  while (found >= 0) {
    result.Append(m_Chars + start, static_cast<NPT_Size>(found) - start);
    result.Append(after);
    start = static_cast<NPT_Ordinal>(found) + before_length;
    found = Find(before, start);
  }
  result.Append(m_Chars + start, GetLength() - start);
  *this = static_cast<NPT_String&&>(result);
  return *this;
}

NPT_String& NPT_String::Insert(const char* s, NPT_Ordinal where) {
  NPT_Size length = TextLength(s);
  if (length == 0 || where > GetLength()) return *this;
  NPT_String result;
  result.Reserve(GetLength() + length);
  result.Append(GetChars(), where);
  result.Append(s, length);
  result.Append(GetChars() + where, GetLength() - where);
  *this = static_cast<NPT_String&&>(result);
  return *this;
}

NPT_String& NPT_String::Erase(NPT_Ordinal start, NPT_Cardinal count) {
  NPT_Size length = GetLength();
  if (start >= length || count == 0) return *this;
  if (count > length - start) count = length - start;
  std::memmove(m_Chars + start, m_Chars + start + count, length - start - count);
  GetBuffer()->m_Length = length - count;
  m_Chars[length - count] = '\0';
  return *this;
}

// ---- case ------------------------------------------------------------------

void NPT_String::MakeLowercase() {
  for (NPT_Size i = 0; i < GetLength(); ++i) m_Chars[i] = Lowercase(m_Chars[i]);
}

void NPT_String::MakeUppercase() {
  for (NPT_Size i = 0; i < GetLength(); ++i) m_Chars[i] = Uppercase(m_Chars[i]);
}

NPT_String NPT_String::ToLowercase() const {
  NPT_String result(*this);
  result.MakeLowercase();
  return result;
}

NPT_String NPT_String::ToUppercase() const {
  NPT_String result(*this);
  result.MakeUppercase();
  return result;
}

// ---- numbers ---------------------------------------------------------------

NPT_Result NPT_String::ToInteger(int& value, bool relaxed) const { return NPT_ParseInteger(GetChars(), value, relaxed); }
NPT_Result NPT_String::ToInteger(unsigned int& value, bool relaxed) const {
  return NPT_ParseInteger(GetChars(), value, relaxed);
}
NPT_Result NPT_String::ToInteger(long& value, bool relaxed) const { return NPT_ParseInteger(GetChars(), value, relaxed); }
NPT_Result NPT_String::ToInteger(unsigned long& value, bool relaxed) const {
  return NPT_ParseInteger(GetChars(), value, relaxed);
}
NPT_Result NPT_String::ToInteger32(NPT_Int32& value, bool relaxed) const {
  return NPT_ParseInteger32(GetChars(), value, relaxed);
}
NPT_Result NPT_String::ToInteger32(NPT_UInt32& value, bool relaxed) const {
  return NPT_ParseInteger32(GetChars(), value, relaxed);
}
NPT_Result NPT_String::ToInteger64(NPT_Int64& value, bool relaxed) const {
  return NPT_ParseInteger64(GetChars(), value, relaxed);
}
NPT_Result NPT_String::ToInteger64(NPT_UInt64& value, bool relaxed) const {
  return NPT_ParseInteger64(GetChars(), value, relaxed);
}
NPT_Result NPT_String::ToFloat(float& value, bool relaxed) const { return NPT_ParseFloat(GetChars(), value, relaxed); }

NPT_String NPT_String::FromIntegerU(NPT_UInt64 value) {
  char digits[21];
  char* end = digits + sizeof(digits);
  char* p = end;
  do {
    *--p = static_cast<char>('0' + value % 10);
    value /= 10;
  } while (value);
  return NPT_String(p, static_cast<NPT_Size>(end - p));
}

NPT_String NPT_String::FromInteger(NPT_Int64 value) {
  if (value >= 0) return FromIntegerU(static_cast<NPT_UInt64>(value));
  // Unsigned negation keeps -2^63 representable.
  NPT_String result("-");
  result += FromIntegerU(0 - static_cast<NPT_UInt64>(value));
  return result;
}

NPT_String NPT_String::Format(const char* format, ...) {
  NPT_String result;
  if (format == nullptr) return result;
  const NPT_Size kMaxSize = 0x80000;  // 524288
  for (NPT_Size size = 256; size <= kMaxSize; size *= 2) {
    if (NPT_FAILED(result.Reserve(size))) return NPT_String();
    va_list args;
    va_start(args, format);
    int written = std::vsnprintf(result.m_Chars, static_cast<size_t>(size), format, args);
    va_end(args);
    if (written >= 0 && static_cast<NPT_UInt64>(written) < size) {
      if (written == 0) return NPT_String();
      result.SetLength(static_cast<NPT_Size>(written));
      return result;
    }
  }
  return NPT_String();
}

// ---- concatenation ---------------------------------------------------------

namespace {
// Two empty operands must still give an empty string without a buffer.
NPT_String Concatenate(const char* s1, NPT_Size length1, const char* s2, NPT_Size length2) {
  NPT_String result;
  if (length1 + length2 == 0) return result;
  result.Reserve(length1 + length2);
  result.Append(s1, length1);
  result.Append(s2, length2);
  return result;
}
}  // namespace

NPT_String operator+(const NPT_String& s1, const NPT_String& s2) {
  return Concatenate(s1.GetChars(), s1.GetLength(), s2.GetChars(), s2.GetLength());
}

NPT_String operator+(const NPT_String& s1, const char* s2) {
  return Concatenate(s1.GetChars(), s1.GetLength(), s2, TextLength(s2));
}

NPT_String operator+(const char* s1, const NPT_String& s2) {
  return Concatenate(s1, TextLength(s1), s2.GetChars(), s2.GetLength());
}

NPT_String operator+(const NPT_String& s, char c) { return Concatenate(s.GetChars(), s.GetLength(), &c, 1); }
