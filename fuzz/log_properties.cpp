// Feeds arbitrary bytes to the log configuration's properties parser and
// checks it against an independent model of the rules:
// - lines end at CR, LF, ";" or NUL; a line starting with "#" is a comment;
// - key and value are split at the first "=" and trimmed of spaces and tabs;
//   lines without "=" are ignored;
// - a later line with the same key replaces the value in place.
// The same bytes also go through the level parser and the function-name
// reducer, which must never read or write out of bounds.

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "NptLogging.h"

#define FUZZ_CHECK(_condition)                                                            \
  do {                                                                                    \
    if (!(_condition)) {                                                                  \
      std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #_condition); \
      std::abort();                                                                       \
    }                                                                                     \
  } while (0)

namespace {

std::string Trim(const std::string& text) {
  size_t first = text.find_first_not_of(" \t");
  if (first == std::string::npos) return std::string();
  size_t last = text.find_last_not_of(" \t");
  return text.substr(first, last - first + 1);
}

std::vector<std::pair<std::string, std::string>> Model(const uint8_t* data, size_t size) {
  std::vector<std::pair<std::string, std::string>> entries;
  std::string line;
  for (size_t i = 0; i <= size; ++i) {
    char c = i < size ? (char)data[i] : '\0';
    if (i < size && c != '\r' && c != '\n' && c != ';' && c != '\0') {
      line += c;
      continue;
    }
    if (!line.empty() && line[0] != '#') {
      size_t equal = line.find('=');
      if (equal != std::string::npos) {
        std::string key = Trim(line.substr(0, equal));
        std::string value = Trim(line.substr(equal + 1));
        bool replaced = false;
        for (auto& entry : entries) {
          if (entry.first == key) {
            entry.second = value;
            replaced = true;
            break;
          }
        }
        if (!replaced) entries.emplace_back(key, value);
      }
    }
    line.clear();
  }
  return entries;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 1 << 16) return 0;
  NPT_LogManager manager;
  FUZZ_CHECK(manager.ParseConfig(reinterpret_cast<const char*>(data), (NPT_Size)size) == NPT_SUCCESS);

  std::vector<std::pair<std::string, std::string>> expected = Model(data, size);
  const NPT_List<NPT_LogConfigEntry>& config = manager.GetConfig();
  FUZZ_CHECK(config.GetItemCount() == expected.size());
  size_t index = 0;
  for (NPT_List<NPT_LogConfigEntry>::Iterator i = config.GetFirstItem(); i; ++i, ++index) {
    FUZZ_CHECK(expected[index].first == i->m_Key.GetChars());
    FUZZ_CHECK(expected[index].second == i->m_Value.GetChars());
    const NPT_String* found = manager.GetConfigValue(i->m_Key, "");
    FUZZ_CHECK(found == &i->m_Value);
    int level = NPT_Log::ParseLevelValue(i->m_Value);
    FUZZ_CHECK(level >= -1);
  }

  std::string text(reinterpret_cast<const char*>(data), size);
  char name[64];
  NPT_Log::GetFunctionName(text.c_str(), name, sizeof(name));
  FUZZ_CHECK(std::strlen(name) < sizeof(name));
  FUZZ_CHECK(std::strstr(text.c_str(), name) != nullptr);
  return 0;
}
