#pragma once
// Shared pieces of the `kvx` command: argument parsing, error lines, exit
// statuses, the interrupt flag, and the entry point of every subcommand.
//
// Conventions: usage errors print one line "kvx <cmd>: <what>" on standard
// error and exit with kExitUsage; run-time failures (no device, connection
// refused, port in use) print one line "kvx <cmd>: error: <what>" and exit
// with kExitFailure. Progress lines go to standard error, results (found
// apps, summaries, addresses) to standard output.

#include <atomic>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace kvx_cli {

constexpr int kExitOk = 0;
constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;

// One option a subcommand accepts. `takes_value`: "--name VALUE" or
// "--name=VALUE". `many`: values follow until the next "--" word, and the
// option may repeat ("--url A B --url C").
struct OptionSpec {
  const char* name;  // with the dashes, e.g. "--frames"
  bool takes_value;
  bool many;
};

struct ParsedArgs {
  bool help = false;                                       // -h or --help seen
  std::map<std::string, std::vector<std::string>> values;  // option -> values ("" for flags)

  bool Has(const std::string& name) const { return values.count(name) != 0; }
  // The last value given for `name`, or `fallback`.
  std::string Get(const std::string& name, const std::string& fallback = "") const;
  const std::vector<std::string>& All(const std::string& name) const;
};

// Parses `args` (the words after the subcommand). False, with a one-line
// *error, for unknown options, missing or empty values, positional words and
// a single-value option given twice.
bool ParseArgs(const std::vector<std::string>& args, const std::vector<OptionSpec>& setups, ParsedArgs* out,
               std::string* error);

// Whole decimal numbers within [min, max]; false otherwise.
bool ParseUnsigned(const std::string& text, uint64_t min, uint64_t max, uint64_t* value);
// A decimal number of seconds (fractions allowed) within (0, max].
bool ParseSeconds(const std::string& text, double max, double* value);

// Prints "kvx <command>: <text>" to standard error; returns `status`.
int Fail(const char* command, int status, const std::string& text);

// Set by SIGINT and SIGTERM once InstallInterruptHandler ran.
extern std::atomic<bool> g_Interrupted;
void InstallInterruptHandler();

// Creates a directory and its parents (mode 0755); true when it exists after.
bool MakeDirectories(const std::string& path);

// "1.5 MB"-style quantities for progress lines and summaries.
std::string FormatMegabytes(uint64_t bytes);

// Escapes a text for a JSON string literal (quotes not included).
std::string JsonEscape(const std::string& text);

// The subcommands; `args` excludes the command and subcommand words.
int RunDemo(const std::vector<std::string>& args);
int RunList(const std::vector<std::string>& args);
int RunStream(const std::vector<std::string>& args);
int RunSimulate(const std::vector<std::string>& args);
int RunView(const std::vector<std::string>& args);
// The whole command: argv[1] is the subcommand.
int Main(int argc, char** argv);

}  // namespace kvx_cli
