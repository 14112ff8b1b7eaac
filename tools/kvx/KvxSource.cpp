#include "KvxSource.h"

#include "KvxDiagnosis.h"
#include "NptUri.h"

#include <cstdio>

namespace kvx_cli {

const std::vector<OptionSpec>& StreamSource::Options() {
  static const std::vector<OptionSpec> options = {
      {"--url", true, true}, {"--handle", true, false}, {"--device", true, false}};
  return options;
}

bool StreamSource::Parse(const ParsedArgs& parsed, std::string* error) {
  if (parsed.Has("--url") == parsed.Has("--device")) {
    *error = "give either --url URL... or --device NAME";
    return false;
  }
  if (parsed.Has("--handle") && !parsed.Has("--url")) {
    *error = "--handle goes with --url";
    return false;
  }
  if (parsed.Has("--handle")) {
    uint64_t number = 0;
    if (!ParseUnsigned(parsed.Get("--handle"), 0, 0x7FFFFFFF, &number)) {
      *error = "--handle needs a whole number from 0 to 2147483647";
      return false;
    }
    m_Handle = static_cast<int32_t>(number);
  }
  for (const std::string& text : parsed.All("--url")) {
    if (!NPT_HttpUrl(text.c_str()).IsValid()) {
      *error = "bad URL '" + text + "' (expected http://HOST[:PORT]/PATH)";
      return false;
    }
  }
  m_Urls = parsed.All("--url");
  m_Device = parsed.Get("--device");
  return true;
}

int StreamSource::Resolve(const char* command) {
  if (!ByDevice()) return kExitOk;
  m_Controller.reset(new KVX_USBController());
  m_Controller->SetDelegate(&m_Watcher);
  const std::string problem = DaemonProblem(*m_Controller);
  if (!problem.empty()) {
    StopDiscovery();
    return Fail(command, kExitFailure, "error: " + problem);
  }
  if (!m_Watcher.WaitFor(m_Device, kDiscoverySeconds, &m_App)) {
    const std::vector<FoundApp> present = m_Watcher.Present();
    StopDiscovery();
    if (g_Interrupted.load()) return Fail(command, kExitFailure, "interrupted");
    std::string found;
    for (const FoundApp& app : present) found += (found.empty() ? "" : ", ") + ("\"" + app.name + "\" at " + app.url);
    return Fail(command, kExitFailure,
                "error: no device named \"" + m_Device + "\" found within " +
                    std::to_string(static_cast<int>(kDiscoverySeconds)) + " s (" +
                    (found.empty() ? std::string("no app was found") : "found: " + found) + ")");
  }
  std::printf("found \"%s\" at %s (handle %d)\n", m_App.name.c_str(), m_App.url.c_str(), m_App.handle);
  std::fflush(stdout);
  m_Urls.assign(1, m_App.url);
  m_Handle = m_App.handle;
  return kExitOk;
}

bool StreamSource::AppRemoved(double seconds) {
  return m_Controller && !m_App.url.empty() && m_Watcher.WaitForRemoval(m_App.url, seconds);
}

}  // namespace kvx_cli
