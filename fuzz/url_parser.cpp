// Fuzzes URL parsing, the text forms and percent-encoding, and checks what
// must hold for any input:
// - a URL that parses and is valid writes a text that parses again to the
//   same fields (both as NPT_Url and as NPT_HttpUrl);
// - a failed parse leaves the URL reset and invalid;
// - SetPathPlus followed by ToRequestString(true) gives the text back
//   ("/" in front when the path part was empty);
// - PercentEncode writes only printable ASCII and PercentDecode undoes it.

#include <cstdint>
#include <cstdlib>
#include <string>

#include "NptUri.h"

#define FUZZ_CHECK(condition)                                 \
  do {                                                        \
    if (!(condition)) {                                       \
      __builtin_trap();                                       \
    }                                                         \
  } while (0)

namespace {

bool SameFields(const NPT_Url& a, const NPT_Url& b) {
  return a.GetScheme() == b.GetScheme() && a.GetSchemeId() == b.GetSchemeId() && a.GetHost() == b.GetHost() &&
         a.GetPort() == b.GetPort() && a.GetPath() == b.GetPath() && a.HasQuery() == b.HasQuery() &&
         a.GetQuery() == b.GetQuery() && a.HasFragment() == b.HasFragment() && a.GetFragment() == b.GetFragment();
}

bool IsReset(const NPT_Url& url) {
  return url.GetHost().IsEmpty() && url.GetPort() == 0 && url.GetPath().IsEmpty() && !url.HasQuery() &&
         url.GetQuery().IsEmpty() && !url.HasFragment() && url.GetFragment().IsEmpty() && !url.IsValid();
}

void CheckUrl(const char* text) {
  NPT_Url url;
  NPT_Result result = url.Parse(text, 80);
  if (NPT_FAILED(result)) {
    FUZZ_CHECK(result == NPT_ERROR_INVALID_SYNTAX || result == NPT_ERROR_INVALID_PARAMETERS);
    FUZZ_CHECK(IsReset(url));
    return;
  }
  if (!url.IsValid()) return;

  NPT_Url again;
  FUZZ_CHECK(NPT_SUCCEEDED(again.Parse(url.ToString(true), 80)));
  FUZZ_CHECK(SameFields(url, again));
  FUZZ_CHECK(url.ToString(true) == again.ToString(true));

  NPT_HttpUrl http(text, true);
  FUZZ_CHECK(SameFields(url, http));
  NPT_HttpUrl http_again(http.ToString(true), true);
  FUZZ_CHECK(SameFields(http, http_again));

  // Without the fragment the text still parses to the other fields.
  NPT_Url no_fragment(url.ToString(false), 80);
  FUZZ_CHECK(no_fragment.IsValid());
  FUZZ_CHECK(no_fragment.GetHost() == url.GetHost() && no_fragment.GetPort() == url.GetPort());
  FUZZ_CHECK(no_fragment.GetPath() == url.GetPath() && no_fragment.GetQuery() == url.GetQuery());
  FUZZ_CHECK(!no_fragment.HasFragment());
}

void CheckPathPlus(const char* text) {
  NPT_Url url("http://h/");
  FUZZ_CHECK(NPT_SUCCEEDED(url.SetPathPlus(text)));
  std::string expected = text;
  if (expected.empty() || expected[0] == '?' || expected[0] == '#') expected = "/" + expected;
  FUZZ_CHECK(expected == url.ToRequestString(true).GetChars());
}

void CheckPercentCoding(const char* text, size_t length) {
  const char* sets[] = {NPT_Uri::UnsafeCharsToEncode, NPT_Uri::PathCharsToEncode, NPT_Uri::QueryCharsToEncode,
                        NPT_Uri::FragmentCharsToEncode};
  for (const char* set : sets) {
    NPT_String encoded = NPT_Uri::PercentEncode(text, set, true);
    for (const char* p = encoded.GetChars(); *p; ++p) {
      FUZZ_CHECK(*p >= 0x20 && *p <= 0x7E);
      if (*p != '%') {
        for (const char* s = set; *s; ++s) FUZZ_CHECK(*p != *s);
      }
    }
    NPT_String decoded = NPT_Uri::PercentDecode(encoded);
    FUZZ_CHECK(decoded.GetLength() == length && std::string(decoded.GetChars(), decoded.GetLength()) == text);
  }
  // Decoding arbitrary text never grows it.
  FUZZ_CHECK(NPT_Uri::PercentDecode(text).GetLength() <= length);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 4096) return 0;
  // The URL functions take C strings: stop at the first NUL.
  std::string text(reinterpret_cast<const char*>(data), size);
  text = text.c_str();

  CheckUrl(text.c_str());
  CheckPathPlus(text.c_str());
  CheckPercentCoding(text.c_str(), text.size());

  // SetHost never fails and never sets an out-of-range port.
  NPT_Url url("http://h:1/");
  FUZZ_CHECK(NPT_SUCCEEDED(url.SetHost(text.c_str())));
  return 0;
}
