// Fuzzes the resolution of a probe's "Location" value against the URL probed,
// and checks what must hold for any input:
// - a refused value leaves the URL exactly as it was;
// - an accepted one gives a valid http URL whose text parses back to itself;
// - a relative one keeps the host and port probed and leaves no "." or ".."
//   segment in the path.

#include <cstdint>
#include <string>

#include "KvxUSBController.h"
#include "NptUri.h"

#define FUZZ_CHECK(condition) \
  do {                        \
    if (!(condition)) {       \
      __builtin_trap();       \
    }                         \
  } while (0)

namespace {

bool HasDotSegment(const std::string& path) {
  for (const char* dots : {"/./", "/../"}) {
    if (path.find(dots) != std::string::npos) return true;
  }
  const auto ends_with = [&](const std::string& end) {
    return path.size() >= end.size() && path.compare(path.size() - end.size(), end.size(), end) == 0;
  };
  return ends_with("/.") || ends_with("/..");
}

void Check(const NPT_HttpUrl& base, const std::string& location) {
  const NPT_String before("http://kept:1/kept?kept#kept");
  NPT_HttpUrl url(before);
  if (!KVX_USBController::ResolveLocation(base, location.c_str(), url)) {
    FUZZ_CHECK(url.ToString(true) == before);
    return;
  }
  FUZZ_CHECK(url.IsValid());
  FUZZ_CHECK(url.GetSchemeId() == NPT_Uri::SCHEME_ID_HTTP);
  FUZZ_CHECK(url.GetPath().GetChars()[0] == '/');
  NPT_HttpUrl again(url.ToString(true));
  FUZZ_CHECK(again.IsValid() && again.ToString(true) == url.ToString(true));

  NPT_Uri scheme;
  const bool relative = location.compare(0, 2, "//") != 0 && NPT_FAILED(scheme.SetSchemeFromUri(location.c_str()));
  if (relative) {
    FUZZ_CHECK(url.GetHost() == base.GetHost() && url.GetPort() == base.GetPort());
    FUZZ_CHECK(!HasDotSegment(url.GetPath().GetChars()));
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 4096) return 0;
  // The value arrives as a C string: stop at the first NUL.
  std::string location(reinterpret_cast<const char*>(data), size);
  location = location.c_str();
  Check(NPT_HttpUrl("http://device:8099/"), location);
  Check(NPT_HttpUrl("http://device:8100/app/probe?q=1"), location);
  return 0;
}
