// NPT_String: representation and growth, and the operations other parts of the
// runtime lean on (splitting header lists, trimming, case-blind prefixes).

#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <string>
#include <vector>

#include "NptStrings.h"

namespace {

std::vector<std::string> Pieces(const NPT_List<NPT_String>& list) {
  std::vector<std::string> out;
  for (NPT_List<NPT_String>::Iterator it = list.GetFirstItem(); it; ++it) out.push_back(it->GetChars());
  return out;
}

// ---- representation and growth ---------------------------------------------

TEST(StringTest, EmptyStringHasNoBuffer) {
  NPT_String empty;
  EXPECT_EQ(nullptr, empty.UseChars());
  EXPECT_EQ(&NPT_String::EmptyString, empty.GetChars());
  EXPECT_EQ(0u, empty.GetLength());
  EXPECT_TRUE(empty.IsEmpty());
  for (const NPT_String& s : {NPT_String(nullptr), NPT_String(""), NPT_String("abc", 0), NPT_String(nullptr, 3),
                              NPT_String('x', 0), NPT_String(empty), NPT_String() + "", NPT_String() + NPT_String()}) {
    EXPECT_EQ(nullptr, const_cast<NPT_String&>(s).UseChars());
    EXPECT_STREQ("", s.GetChars());
  }
}

TEST(StringTest, ConstructionSizesBufferExactly) {
  NPT_String s("hello");
  EXPECT_EQ(5u, s.GetLength());
  EXPECT_EQ(5u, s.GetCapacity());
  NPT_String counted("hello world", 5);
  EXPECT_STREQ("hello", counted.GetChars());
  EXPECT_EQ(5u, counted.GetCapacity());
  s.Reserve(50);
  NPT_String copy(s);  // capacity follows the length, not the source's capacity
  EXPECT_EQ(5u, copy.GetCapacity());
  EXPECT_NE(s.GetChars(), copy.GetChars());
  NPT_String fill('z', 4);
  EXPECT_STREQ("zzzz", fill.GetChars());
}

TEST(StringTest, AppendGrowsGeometrically) {
  NPT_String s;
  std::vector<NPT_Size> capacities;
  for (int i = 0; i < 9; ++i) {
    s += 'a';
    capacities.push_back(s.GetCapacity());
  }
  EXPECT_EQ((std::vector<NPT_Size>{1, 2, 4, 4, 8, 8, 8, 8, 16}), capacities);
  EXPECT_STREQ("aaaaaaaaa", s.GetChars());
  s.Append("0123456789012345678901234567890123456789");  // more than double: exactly the need
  EXPECT_EQ(49u, s.GetLength());
  EXPECT_EQ(49u, s.GetCapacity());
  s.Append(nullptr);
  s.Append("xyz", 0);
  EXPECT_EQ(49u, s.GetLength());
}

TEST(StringTest, AssignmentPreparesBufferWithoutKeepingContent) {
  NPT_String s("abcd");
  const char* before = s.GetChars();
  s = "xy";  // fits: same buffer
  EXPECT_EQ(before, s.GetChars());
  EXPECT_STREQ("xy", s.GetChars());
  EXPECT_EQ(2u, s.GetLength());
  EXPECT_EQ(4u, s.GetCapacity());
  s = "0123456";  // 7 > 4: max(7, 8)
  EXPECT_EQ(8u, s.GetCapacity());
  s = "0123456789012345678";  // 19 > 2 * 8
  EXPECT_EQ(19u, s.GetCapacity());
  EXPECT_STREQ("0123456789012345678", s.GetChars());

  s = "";  // frees the buffer
  EXPECT_EQ(nullptr, s.UseChars());
  EXPECT_EQ(0u, s.GetLength());
  EXPECT_STREQ("", s.GetChars());
  s = "abc";
  s = static_cast<const char*>(nullptr);
  EXPECT_EQ(nullptr, s.UseChars());
  s = "abc";
  s = NPT_String();
  EXPECT_EQ(nullptr, s.UseChars());

  NPT_String t("self");
  NPT_String& alias = t;
  t = alias;
  EXPECT_STREQ("self", t.GetChars());
  t = 'c';
  EXPECT_STREQ("c", t.GetChars());
}

TEST(StringTest, AssigningOrAppendingPartOfItselfIsSafe) {
  NPT_String s("abcdef");
  s = s.GetChars() + 2;
  EXPECT_STREQ("cdef", s.GetChars());
  NPT_String grow("xy");
  grow += grow;  // the buffer is reallocated while the source lives in it
  EXPECT_STREQ("xyxy", grow.GetChars());
  grow.Append(grow.GetChars() + 1, 2);
  EXPECT_STREQ("xyxyyx", grow.GetChars());
}

TEST(StringTest, ReserveUseCharsSetLength) {
  NPT_String s;
  EXPECT_EQ(NPT_SUCCESS, s.Reserve(40));
  ASSERT_NE(nullptr, s.UseChars());
  EXPECT_EQ(0u, s.GetLength());
  EXPECT_EQ(40u, s.GetCapacity());
  EXPECT_STREQ("", s.GetChars());
  const char* text = "0123456789abcdefghijABCDEFGHIJ!@#$%^&*()";
  ASSERT_EQ(40u, std::strlen(text));
  std::memcpy(s.UseChars(), text, 40);
  EXPECT_EQ(NPT_SUCCESS, s.SetLength(40));
  EXPECT_EQ(40u, s.GetLength());
  EXPECT_STREQ(text, s.GetChars());

  // Reserve keeps content and grows to at least twice the old capacity.
  EXPECT_EQ(NPT_SUCCESS, s.Reserve(41));
  EXPECT_EQ(80u, s.GetCapacity());
  EXPECT_STREQ(text, s.GetChars());
  EXPECT_EQ(NPT_SUCCESS, s.Reserve(10));
  EXPECT_EQ(80u, s.GetCapacity());
}

TEST(StringTest, SetLengthPadsTruncatesAndEmpties) {
  NPT_String s("ab");
  EXPECT_EQ(NPT_SUCCESS, s.SetLength(5, true));
  EXPECT_STREQ("ab   ", s.GetChars());
  EXPECT_EQ(5u, s.GetLength());
  EXPECT_EQ(NPT_SUCCESS, s.SetLength(1));
  EXPECT_STREQ("a", s.GetChars());
  EXPECT_EQ(NPT_SUCCESS, s.SetLength(0));
  EXPECT_EQ(nullptr, s.UseChars());
  EXPECT_EQ(NPT_SUCCESS, s.SetLength(3, true));
  EXPECT_STREQ("   ", s.GetChars());
}

// ---- comparison ------------------------------------------------------------

TEST(StringTest, CompareReturnsSignedDifference) {
  struct {
    const char* a;
    const char* b;
    bool ignore_case;
    int expected;
  } const cases[] = {
      {"abc", "abc", false, 0},    {"abc", "abd", false, -1},   {"abd", "abc", false, 1},
      {"ab", "abc", false, -'c'},  {"abc", "ab", false, 'c'},   {"ABC", "abc", false, 'A' - 'a'},
      {"ABC", "abc", true, 0},     {"a[", "A{", true, '[' - '{'}, {"", "", false, 0},
      {"\x80", "a", false, -128 - 'a'},  // characters compare as signed 8-bit values
  };
  for (const auto& c : cases) {
    EXPECT_EQ(c.expected, NPT_String(c.a).Compare(c.b, c.ignore_case)) << c.a << " vs " << c.b;
  }
  EXPECT_EQ(0, NPT_String().Compare(nullptr));
  EXPECT_TRUE(NPT_String("x") == "x");
  EXPECT_TRUE(NPT_String("x") != NPT_String("X"));
  EXPECT_TRUE(NPT_String("a") < NPT_String("b"));
}

TEST(StringTest, CompareNStopsAtCountOrCommonEnd) {
  NPT_String header("boundary=frame-42");
  EXPECT_EQ(0, header.CompareN("BOUNDARY=", 9, true));
  EXPECT_NE(0, header.CompareN("BOUNDARY=", 9, false));
  EXPECT_EQ(0, NPT_String("abc").CompareN("abc", 10));  // both end together before the count
  EXPECT_GT(0, NPT_String("ab").CompareN("abc", 10));
  EXPECT_EQ(0, NPT_String("abX").CompareN("abY", 2));
  EXPECT_EQ(0, NPT_String("x").CompareN("y", 0));
}

TEST(StringTest, StartsWithAndEndsWith) {
  NPT_String s("multipart/x-mixed-replace");
  EXPECT_TRUE(s.StartsWith("multipart/"));
  EXPECT_TRUE(s.StartsWith("MULTIPART/", true));
  EXPECT_FALSE(s.StartsWith("MULTIPART/"));
  EXPECT_TRUE(s.StartsWith(""));
  EXPECT_FALSE(s.StartsWith(nullptr));
  EXPECT_FALSE(NPT_String("multi").StartsWith("multipart"));
  EXPECT_TRUE(s.EndsWith("-replace"));
  EXPECT_TRUE(s.EndsWith("-REPLACE", true));
  EXPECT_FALSE(s.EndsWith("-REPLACE"));
  EXPECT_TRUE(s.EndsWith(""));
  EXPECT_FALSE(s.EndsWith(nullptr));
  EXPECT_FALSE(NPT_String("ace").EndsWith("replace"));
  EXPECT_TRUE(NPT_String().StartsWith(""));
}

// ---- searching and pieces --------------------------------------------------

TEST(StringTest, FindAndReverseFind) {
  NPT_String s("abcabcABC");
  EXPECT_EQ(1, s.Find("bc"));
  EXPECT_EQ(4, s.Find("bc", 2));
  EXPECT_EQ(7, s.Find("bc", 5, true));
  EXPECT_EQ(-1, s.Find("bc", 5));
  EXPECT_EQ(-1, s.Find("bc", 9));  // start at the end
  EXPECT_EQ(-1, s.Find("bc", 100));
  EXPECT_EQ(-1, s.Find("abcabcABCD"));
  EXPECT_EQ(-1, s.Find(static_cast<const char*>(nullptr)));
  EXPECT_EQ(2, s.Find('c'));
  EXPECT_EQ(6, s.Find('A', 1));
  EXPECT_EQ(3, s.Find('A', 1, true));
  EXPECT_EQ(-1, s.Find('z'));
  EXPECT_EQ(-1, NPT_String().Find('a'));

  EXPECT_EQ(4, s.ReverseFind("bc"));
  EXPECT_EQ(7, s.ReverseFind("bc", 0, true));
  EXPECT_EQ(1, s.ReverseFind("bc", 4));  // skips the last four characters
  EXPECT_EQ(-1, s.ReverseFind("bc", 8));
  EXPECT_EQ(5, s.ReverseFind('c'));
  EXPECT_EQ(8, s.ReverseFind('c', 0, true));
  EXPECT_EQ(2, s.ReverseFind('c', 4));
  EXPECT_EQ(-1, s.ReverseFind('c', 9));
}

TEST(StringTest, SubStringClampsToTheEnd) {
  NPT_String s("abcdef");
  EXPECT_STREQ("cd", s.SubString(2, 2).GetChars());
  EXPECT_STREQ("def", s.SubString(3, 100).GetChars());
  EXPECT_STREQ("def", s.SubString(3).GetChars());
  EXPECT_STREQ("f", s.SubString(5, UINT_MAX).GetChars());
  EXPECT_TRUE(s.SubString(6).IsEmpty());
  EXPECT_TRUE(s.SubString(10, 2).IsEmpty());
  NPT_String none = s.SubString(2, 0);
  EXPECT_EQ(nullptr, none.UseChars());
  EXPECT_STREQ("ab", s.Left(2).GetChars());
  EXPECT_STREQ("ef", s.Right(2).GetChars());
  EXPECT_STREQ("abcdef", s.Right(10).GetChars());
}

TEST(StringTest, Split) {
  struct {
    const char* text;
    const char* separator;
    std::vector<std::string> expected;
  } const cases[] = {
      {"a;b;", ";", {"a", "b", ""}},
      {"", ";", {""}},
      {"abc", "", {"abc"}},
      {"abc", nullptr, {"abc"}},
      {";;", ";", {"", "", ""}},
      {"a, b, c", ", ", {"a", "b", "c"}},
      {"abc", ";", {"abc"}},
      {"--x--", "--", {"", "x", ""}},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(c.expected, Pieces(NPT_String(c.text).Split(c.separator))) << "'" << c.text << "'";
  }
}

TEST(StringTest, Join) {
  NPT_List<NPT_String> pieces;
  EXPECT_TRUE(NPT_String::Join(pieces, ", ").IsEmpty());
  pieces.Add("a");
  EXPECT_STREQ("a", NPT_String::Join(pieces, ", ").GetChars());
  pieces.Add("");
  pieces.Add("c");
  EXPECT_STREQ("a, , c", NPT_String::Join(pieces, ", ").GetChars());
}

// ---- editing ---------------------------------------------------------------

TEST(StringTest, TrimVariants) {
  NPT_String s(" \t\r\nx \n");
  const char* buffer = s.GetChars();
  s.Trim();
  EXPECT_STREQ("x", s.GetChars());
  EXPECT_EQ(1u, s.GetLength());
  EXPECT_EQ(buffer, s.GetChars());  // trimmed in place

  NPT_String spaces("   ");
  spaces.Trim();
  EXPECT_STREQ("", spaces.GetChars());
  EXPECT_EQ(0u, spaces.GetLength());
  EXPECT_TRUE(spaces.IsEmpty());

  struct {
    const char* text;
    int op;  // 0 left, 1 right, 2 both
    const char* set;
    const char* expected;
  } const cases[] = {
      {"  a b  ", 0, nullptr, "a b  "}, {"  a b  ", 1, nullptr, "  a b"}, {"xxaxx", 2, "x", "a"},
      {"xyaxy", 0, "yx", "axy"},        {"xyaxy", 1, "yx", "xya"},        {"abc", 2, "", "abc"},
  };
  for (const auto& c : cases) {
    NPT_String t(c.text);
    if (c.set == nullptr) {
      c.op == 0 ? t.TrimLeft() : c.op == 1 ? t.TrimRight() : t.Trim();
    } else {
      c.op == 0 ? t.TrimLeft(c.set) : c.op == 1 ? t.TrimRight(c.set) : t.Trim(c.set);
    }
    EXPECT_STREQ(c.expected, t.GetChars()) << c.text;
    EXPECT_EQ(std::strlen(c.expected), t.GetLength());
  }
  NPT_String quoted("\"value\"");
  quoted.Trim('"');
  EXPECT_STREQ("value", quoted.GetChars());
  NPT_String slashes("//a//");
  slashes.TrimLeft('/');
  EXPECT_STREQ("a//", slashes.GetChars());
  slashes.TrimRight('/');
  EXPECT_STREQ("a", slashes.GetChars());
  NPT_String empty;
  empty.Trim();
  EXPECT_TRUE(empty.IsEmpty());
}

TEST(StringTest, ReplaceInsertErase) {
  NPT_String s("a-b-c");
  s.Replace('-', '+');
  EXPECT_STREQ("a+b+c", s.GetChars());
  s.Replace('+', "::");
  EXPECT_STREQ("a::b::c", s.GetChars());
  s.Replace("::", "");
  EXPECT_STREQ("abc", s.GetChars());
  EXPECT_EQ(3u, s.GetLength());
  s.Replace("b", "bbb");
  EXPECT_STREQ("abbbc", s.GetChars());
  s.Replace("bb", "x");  // non-overlapping, left to right
  EXPECT_STREQ("axbc", s.GetChars());
  s.Replace('x', '\0');  // would hide the rest of the text: ignored
  EXPECT_EQ(4u, s.GetLength());

  NPT_String t("world");
  t.Insert("hello ");
  EXPECT_STREQ("hello world", t.GetChars());
  t.Insert("!", t.GetLength());
  EXPECT_STREQ("hello world!", t.GetChars());
  t.Insert("?", 100);  // past the end: ignored
  EXPECT_STREQ("hello world!", t.GetChars());
  t.Erase(5, 6);
  EXPECT_STREQ("hello!", t.GetChars());
  t.Erase(4, 100);
  EXPECT_STREQ("hell", t.GetChars());
  t.Erase(0);
  EXPECT_STREQ("ell", t.GetChars());
  t.Erase(10);
  EXPECT_STREQ("ell", t.GetChars());
}

TEST(StringTest, CaseConversionIsAsciiOnly) {
  NPT_String s("Mixed Case 123 \xC9");
  EXPECT_STREQ("mixed case 123 \xC9", s.ToLowercase().GetChars());
  EXPECT_STREQ("MIXED CASE 123 \xC9", s.ToUppercase().GetChars());
  EXPECT_STREQ("Mixed Case 123 \xC9", s.GetChars());
  s.MakeUppercase();
  EXPECT_STREQ("MIXED CASE 123 \xC9", s.GetChars());
  s.MakeLowercase();
  EXPECT_STREQ("mixed case 123 \xC9", s.GetChars());
}

TEST(StringTest, Concatenation) {
  NPT_String a("ab");
  EXPECT_STREQ("abcd", (a + "cd").GetChars());
  EXPECT_STREQ("cdab", ("cd" + a).GetChars());
  EXPECT_STREQ("abab", (a + a).GetChars());
  EXPECT_STREQ("abz", (a + 'z').GetChars());
  EXPECT_STREQ("ab", (a + static_cast<const char*>(nullptr)).GetChars());
  EXPECT_STREQ("ab", (static_cast<const char*>(nullptr) + a).GetChars());
}

// ---- numbers and formatting ------------------------------------------------

TEST(StringTest, FromInteger) {
  EXPECT_STREQ("0", NPT_String::FromInteger(0).GetChars());
  EXPECT_STREQ("-42", NPT_String::FromInteger(-42).GetChars());
  EXPECT_STREQ("9223372036854775807", NPT_String::FromInteger(INT64_MAX).GetChars());
  EXPECT_STREQ("-9223372036854775808", NPT_String::FromInteger(INT64_MIN).GetChars());
  EXPECT_STREQ("18446744073709551615", NPT_String::FromIntegerU(UINT64_MAX).GetChars());
}

TEST(StringTest, ToIntegerConversions) {
  NPT_UInt64 u64 = 1;
  EXPECT_EQ(NPT_SUCCESS, NPT_String(" 42").ToInteger64(u64, true));
  EXPECT_EQ(42u, u64);
  EXPECT_EQ(NPT_ERROR_INVALID_PARAMETERS, NPT_String(" 42").ToInteger64(u64, false));
  EXPECT_EQ(0u, u64);
  EXPECT_EQ(NPT_SUCCESS, NPT_String("42abc").ToInteger64(u64, true));
  EXPECT_EQ(42u, u64);
  EXPECT_EQ(NPT_ERROR_OVERFLOW, NPT_String("18446744073709551616").ToInteger64(u64));
  EXPECT_EQ(NPT_ERROR_INVALID_PARAMETERS, NPT_String("-1").ToInteger64(u64));
  EXPECT_EQ(NPT_ERROR_INVALID_PARAMETERS, NPT_String().ToInteger64(u64));

  NPT_Int64 i64 = 0;
  EXPECT_EQ(NPT_SUCCESS, NPT_String("-9223372036854775808").ToInteger64(i64, false));
  EXPECT_EQ(INT64_MIN, i64);
  NPT_Int32 i32 = 5;
  EXPECT_EQ(NPT_ERROR_OVERFLOW, NPT_String("2147483648").ToInteger32(i32));
  EXPECT_EQ(0, i32);
  NPT_UInt32 u32 = 0;
  EXPECT_EQ(NPT_SUCCESS, NPT_String("4294967295").ToInteger32(u32));
  EXPECT_EQ(4294967295u, u32);
  int i = 0;
  EXPECT_EQ(NPT_SUCCESS, NPT_String("-7").ToInteger(i));
  EXPECT_EQ(-7, i);
  unsigned int ui = 0;
  EXPECT_EQ(NPT_SUCCESS, NPT_String("7").ToInteger(ui));
  EXPECT_EQ(7u, ui);
  // long is 64-bit on Linux and 32-bit on Windows: its own limits either way.
  long l = 0;
  EXPECT_EQ(NPT_SUCCESS, NPT_String(std::to_string(LONG_MIN).c_str()).ToInteger(l));
  EXPECT_EQ(LONG_MIN, l);
  unsigned long ul = 0;
  EXPECT_EQ(NPT_SUCCESS, NPT_String(std::to_string(ULONG_MAX).c_str()).ToInteger(ul));
  EXPECT_EQ(ULONG_MAX, ul);
  float f = 0;
  EXPECT_EQ(NPT_SUCCESS, NPT_String("1.5").ToFloat(f));
  EXPECT_FLOAT_EQ(1.5f, f);
}

TEST(StringTest, FormatGrowsPastTheFirstBuffer) {
  EXPECT_STREQ("x=42 y=ab", NPT_String::Format("x=%d y=%s", 42, "ab").GetChars());
  NPT_String empty = NPT_String::Format("%s", "");
  EXPECT_EQ(nullptr, empty.UseChars());

  std::string big(1000, 'q');
  NPT_String formatted = NPT_String::Format("[%s]", big.c_str());
  EXPECT_EQ(1002u, formatted.GetLength());
  EXPECT_EQ("[" + big + "]", std::string(formatted.GetChars()));

  // The largest buffer tried holds 524287 characters and the terminator.
  std::string largest(524287, 'w');
  EXPECT_EQ(524287u, NPT_String::Format("%s", largest.c_str()).GetLength());
  std::string too_big(524288, 'w');
  NPT_String dropped = NPT_String::Format("%s", too_big.c_str());
  EXPECT_TRUE(dropped.IsEmpty());
  EXPECT_EQ(nullptr, dropped.UseChars());
}

}  // namespace
