#include "KvxCli.h"

#include <signal.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <system_error>

namespace kvx_cli {

std::atomic<bool> g_Interrupted{false};

namespace {

const OptionSpec* FindSpec(const std::vector<OptionSpec>& setups, const std::string& name) {
  for (const OptionSpec& setup : setups) {
    if (name == setup.name) return &setup;
  }
  return nullptr;
}

bool IsOptionWord(const std::string& word) { return word.size() > 2 && word.compare(0, 2, "--") == 0; }

void OnInterrupt(int) { g_Interrupted.store(true, std::memory_order_release); }

}  // namespace

std::string ParsedArgs::Get(const std::string& name, const std::string& fallback) const {
  auto it = values.find(name);
  if (it == values.end() || it->second.empty()) return fallback;
  return it->second.back();
}

const std::vector<std::string>& ParsedArgs::All(const std::string& name) const {
  static const std::vector<std::string> empty;
  auto it = values.find(name);
  return it == values.end() ? empty : it->second;
}

bool ParseArgs(const std::vector<std::string>& args, const std::vector<OptionSpec>& setups, ParsedArgs* out,
               std::string* error) {
  *out = ParsedArgs();
  for (size_t i = 0; i < args.size(); ++i) {
    std::string word = args[i];
    if (word == "-h" || word == "--help") {
      out->help = true;
      continue;
    }
    if (!IsOptionWord(word)) {
      *error = word.empty() || word[0] != '-' ? "unexpected argument '" + word + "'" : "unknown option " + word;
      return false;
    }
    std::string inline_value;
    bool has_inline = false;
    size_t eq = word.find('=');
    if (eq != std::string::npos) {
      inline_value = word.substr(eq + 1);
      has_inline = true;
      word = word.substr(0, eq);
    }
    const OptionSpec* setup = FindSpec(setups, word);
    if (!setup) {
      *error = "unknown option " + word;
      return false;
    }
    std::vector<std::string>& values = out->values[word];
    if (!setup->takes_value) {
      if (has_inline) {
        *error = word + " takes no value";
        return false;
      }
      values.push_back("");
      continue;
    }
    if (!setup->many && !values.empty()) {
      *error = word + " given twice";
      return false;
    }
    size_t before = values.size();
    if (has_inline) {
      values.push_back(inline_value);
    } else {
      while (i + 1 < args.size() && !IsOptionWord(args[i + 1]) && args[i + 1] != "-h") {
        values.push_back(args[++i]);
        if (!setup->many) break;
      }
    }
    if (values.size() == before) {
      *error = word + " needs a value";
      return false;
    }
    for (size_t v = before; v < values.size(); ++v) {
      if (values[v].empty()) {
        *error = word + " needs a non-empty value";
        return false;
      }
    }
  }
  return true;
}

bool ParseUnsigned(const std::string& text, uint64_t min, uint64_t max, uint64_t* value) {
  if (text.empty() || text.size() > 19) return false;
  uint64_t v = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    v = v * 10 + static_cast<uint64_t>(c - '0');
  }
  if (v < min || v > max) return false;
  *value = v;
  return true;
}

bool ParseSeconds(const std::string& text, double max, double* value) {
  if (text.empty() || text.size() > 32) return false;
  errno = 0;
  char* end = nullptr;
  double v = std::strtod(text.c_str(), &end);
  if (errno != 0 || *end != '\0' || !std::isfinite(v) || v <= 0 || v > max) return false;
  for (char c : text) {
    if (!((c >= '0' && c <= '9') || c == '.')) return false;  // no signs, exponents, hex
  }
  *value = v;
  return true;
}

int Fail(const char* command, int status, const std::string& text) {
  std::fprintf(stderr, "kvx %s: %s\n", command, text.c_str());
  std::fflush(stderr);
  return status;
}

void InstallInterruptHandler() {
#if defined(_WIN32)
  // The C runtime turns Ctrl-C (SIGINT) into a call on a thread of its own.
  signal(SIGINT, OnInterrupt);
  signal(SIGTERM, OnInterrupt);
#else
  struct sigaction action;
  std::memset(&action, 0, sizeof(action));
  action.sa_handler = OnInterrupt;
  sigemptyset(&action.sa_mask);
  // No SA_RESTART: a blocking poll or read ends with EINTR at once.
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
#endif
}

bool MakeDirectories(const std::string& path) {
  if (path.empty()) return false;
  std::error_code error;
  std::filesystem::create_directories(path, error);
  return std::filesystem::is_directory(path, error);
}

std::string FormatMegabytes(uint64_t bytes) {
  char text[64];
  std::snprintf(text, sizeof(text), "%.2f MB", static_cast<double>(bytes) / 1e6);
  return text;
}

std::string JsonEscape(const std::string& text) {
  std::string out;
  for (unsigned char c : text) {
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      default:
        if (c < 0x20) {
          char escape[8];
          std::snprintf(escape, sizeof(escape), "\\u%04x", c);
          out += escape;
        } else {
          out += static_cast<char>(c);
        }
    }
  }
  return out;
}

}  // namespace kvx_cli
