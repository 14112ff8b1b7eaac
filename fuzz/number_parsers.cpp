// Feeds arbitrary text to every decimal parser (strict and relaxed) and to the
// hex decoder, and checks properties that must hold for any input:
// - a failure leaves the output 0 and is one of the documented codes;
// - a success round-trips through the decimal text of the value;
// - the unsigned parser agrees with an independent model built on strtoull;
// - narrower parsers agree with the 64-bit ones and their ranges;
// - a strict success implies the same relaxed success.

#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <string>

#include "NptDataBuffer.h"
#include "NptStrings.h"
#include "NptUtils.h"

#define FUZZ_CHECK(_condition)                                                          \
  do {                                                                                  \
    if (!(_condition)) {                                                                \
      std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #_condition); \
      std::abort();                                                                     \
    }                                                                                   \
  } while (0)

namespace {

bool IsParserFailure(NPT_Result result) {
  return result == NPT_ERROR_INVALID_PARAMETERS || result == NPT_ERROR_OVERFLOW;
}

template <typename Narrow, typename Wide>
void CheckNarrow(NPT_Result narrow_result, Narrow narrow, NPT_Result wide_result, Wide wide) {
  if (NPT_FAILED(narrow_result)) {
    FUZZ_CHECK(narrow == 0);
    FUZZ_CHECK(IsParserFailure(narrow_result));
  }
  if (NPT_FAILED(wide_result)) {
    FUZZ_CHECK(narrow_result == wide_result);
    return;
  }
  bool fits = wide >= static_cast<Wide>(std::numeric_limits<Narrow>::min()) &&
              wide <= static_cast<Wide>(std::numeric_limits<Narrow>::max());
  if (fits) {
    FUZZ_CHECK(narrow_result == NPT_SUCCESS);
    FUZZ_CHECK(static_cast<Wide>(narrow) == wide);
  } else {
    FUZZ_CHECK(narrow_result == NPT_ERROR_OVERFLOW);
  }
}

void CheckIntegers(const char* text, bool relaxed, NPT_Result* strict_u64_result, NPT_UInt64* strict_u64) {
  NPT_UInt64 u64 = 1;
  NPT_Result u64_result = NPT_ParseInteger64(text, u64, relaxed);
  if (NPT_FAILED(u64_result)) {
    FUZZ_CHECK(u64 == 0);
    FUZZ_CHECK(IsParserFailure(u64_result));
  } else {
    NPT_String decimal = NPT_String::FromIntegerU(u64);
    NPT_UInt64 again = 1;
    FUZZ_CHECK(NPT_ParseInteger64(decimal.GetChars(), again, false) == NPT_SUCCESS);
    FUZZ_CHECK(again == u64);
  }

  NPT_Int64 i64 = 1;
  NPT_Result i64_result = NPT_ParseInteger64(text, i64, relaxed);
  if (NPT_FAILED(i64_result)) {
    FUZZ_CHECK(i64 == 0);
    FUZZ_CHECK(IsParserFailure(i64_result));
  } else {
    NPT_String decimal = NPT_String::FromInteger(i64);
    NPT_Int64 again = 1;
    FUZZ_CHECK(NPT_ParseInteger64(decimal.GetChars(), again, false) == NPT_SUCCESS);
    FUZZ_CHECK(again == i64);
  }
  // Without a sign the signed parser sees the same digits as the unsigned one.
  if (NPT_SUCCEEDED(u64_result) && u64 <= static_cast<NPT_UInt64>(INT64_MAX)) {
    FUZZ_CHECK(i64_result == NPT_SUCCESS);
    FUZZ_CHECK(static_cast<NPT_UInt64>(i64) == u64);
  }

  // Parse first: the output must be read after the call, not as a sibling argument.
  NPT_UInt32 u32 = 1;
  NPT_Result u32_result = NPT_ParseInteger32(text, u32, relaxed);
  CheckNarrow(u32_result, u32, u64_result, u64);
  NPT_Int32 i32 = 1;
  NPT_Result i32_result = NPT_ParseInteger32(text, i32, relaxed);
  CheckNarrow(i32_result, i32, i64_result, i64);
  unsigned int ui = 1;
  NPT_Result ui_result = NPT_ParseInteger(text, ui, relaxed);
  CheckNarrow(ui_result, ui, u64_result, u64);
  int si = 1;
  NPT_Result si_result = NPT_ParseInteger(text, si, relaxed);
  CheckNarrow(si_result, si, i64_result, i64);
  unsigned long ul = 1;
  NPT_Result ul_result = NPT_ParseInteger(text, ul, relaxed);
  CheckNarrow(ul_result, ul, u64_result, u64);
  long sl = 1;
  NPT_Result sl_result = NPT_ParseInteger(text, sl, relaxed);
  CheckNarrow(sl_result, sl, i64_result, i64);

  // The string methods are the same parsers.
  NPT_String string(text);
  NPT_UInt64 via_string = 1;
  FUZZ_CHECK(string.ToInteger64(via_string, relaxed) == u64_result);
  FUZZ_CHECK(via_string == u64);
  NPT_Int32 via_string32 = 1;
  FUZZ_CHECK(string.ToInteger32(via_string32, relaxed) == i32_result);
  FUZZ_CHECK(via_string32 == i32);

  // Independent model of the unsigned parser: optional blanks (relaxed), a
  // run of digits checked against the C library, then the end of the text
  // (strict) or anything (relaxed). Overflow inside the run wins over what follows.
  const char* digits = text;
  if (relaxed) {
    while (*digits == ' ' || *digits == '\t') ++digits;
  }
  size_t run = 0;
  while (digits[run] >= '0' && digits[run] <= '9') ++run;
  if (run == 0) {
    FUZZ_CHECK(u64_result == NPT_ERROR_INVALID_PARAMETERS);
  } else {
    std::string prefix(digits, run);
    errno = 0;
    unsigned long long reference = std::strtoull(prefix.c_str(), nullptr, 10);
    if (errno == ERANGE) {
      FUZZ_CHECK(u64_result == NPT_ERROR_OVERFLOW);
    } else if (!relaxed && digits[run] != '\0') {
      FUZZ_CHECK(u64_result == NPT_ERROR_INVALID_PARAMETERS);
    } else {
      FUZZ_CHECK(u64_result == NPT_SUCCESS);
      FUZZ_CHECK(u64 == reference);
    }
  }

  if (!relaxed) {
    *strict_u64_result = u64_result;
    *strict_u64 = u64;
  } else if (NPT_SUCCEEDED(*strict_u64_result)) {
    FUZZ_CHECK(u64_result == NPT_SUCCESS);
    FUZZ_CHECK(u64 == *strict_u64);
  }
}

void CheckFloat(const char* text) {
  float strict = 1.0f;
  NPT_Result strict_result = NPT_ParseFloat(text, strict, false);
  float relaxed = 1.0f;
  NPT_Result relaxed_result = NPT_ParseFloat(text, relaxed, true);
  if (NPT_FAILED(strict_result)) {
    FUZZ_CHECK(strict == 0.0f);
    FUZZ_CHECK(IsParserFailure(strict_result));
  } else {
    FUZZ_CHECK(!std::isnan(strict));
    FUZZ_CHECK(relaxed_result == NPT_SUCCESS);
    FUZZ_CHECK(relaxed == strict);
  }
  if (NPT_FAILED(relaxed_result)) {
    FUZZ_CHECK(relaxed == 0.0f);
    FUZZ_CHECK(IsParserFailure(relaxed_result));
  } else {
    FUZZ_CHECK(!std::isnan(relaxed));
  }
}

void CheckHex(const char* text) {
  NPT_DataBuffer bytes;
  NPT_Result result = NPT_HexToBytes(text, bytes);
  size_t length = std::strlen(text);
  if (NPT_FAILED(result)) {
    FUZZ_CHECK(result == NPT_ERROR_INVALID_PARAMETERS || result == NPT_ERROR_INVALID_SYNTAX);
    FUZZ_CHECK(result != NPT_ERROR_INVALID_PARAMETERS || length % 2 == 1);
    return;
  }
  FUZZ_CHECK(length % 2 == 0);
  FUZZ_CHECK(bytes.GetDataSize() == length / 2);
  NPT_String lower(text);
  lower.MakeLowercase();
  FUZZ_CHECK(NPT_HexString(bytes.GetData(), bytes.GetDataSize()) == lower);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 4096) return 0;  // numbers are short; long inputs only slow the search
  std::string text(reinterpret_cast<const char*>(data), size);  // NUL-terminated copy
  NPT_Result strict_result = NPT_ERROR_INVALID_PARAMETERS;
  NPT_UInt64 strict_value = 0;
  CheckIntegers(text.c_str(), false, &strict_result, &strict_value);
  CheckIntegers(text.c_str(), true, &strict_result, &strict_value);
  CheckFloat(text.c_str());
  CheckHex(text.c_str());
  return 0;
}
