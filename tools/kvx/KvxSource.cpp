#include "KvxSource.h"

#include "KvxDiagnosis.h"
#include "NptUri.h"

#include <cstdio>

namespace kvx_cli {

const std::vector<OptionSpec>& StreamSource::Options() {
  static const std::vector<OptionSpec> options = {
      {"--url", true, true}, {"--handle", true, false}, {"--device", true, false}, {"--follow", false, false}};
  return options;
}

bool StreamSource::Parse(const ParsedArgs& parsed, std::string* error) {
  if (parsed.Has("--url") == parsed.Has("--device")) {
    *error = "give either --url URL... or --device NAME";
    return false;
  }
  if (parsed.Has("--follow") && !parsed.Has("--device")) {
    *error = "--follow goes with --device";
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
  m_Follow = parsed.Has("--follow");
  return true;
}

int StreamSource::Resolve(const char* command) {
  if (!ByDevice() || m_Follow) return kExitOk;
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

bool FollowedDevice::Start(const std::string& device, const std::string& client, KVX_DeviceDelegate* frames,
                           ProgressLine* progress) {
  m_Device = device;
  m_Frames = frames;
  m_Progress = progress;
  m_Session.reset(new KVX_Session(device.c_str(), client.c_str()));
  m_Session->SetDelegate(frames);
  m_Session->SetListener(this);
  return NPT_SUCCEEDED(m_Session->Start());
}

void FollowedDevice::Stop() {
  // The destructor joins the session's threads: nothing is called afterwards.
  m_Session.reset();
}

KVX_SessionStatus FollowedDevice::Status() const {
  KVX_SessionStatus status;
  if (m_Session) m_Session->GetStatus(status);
  return status;
}

std::string FollowedDevice::Describe(const KVX_SessionStatus& status, const std::string& device) {
  std::string why;
  switch (status.reason) {
    case KVX_SESSION_REASON_DETACHED: why = "device detached"; break;
    case KVX_SESSION_REASON_REMOVED: why = "app removed"; break;
    case KVX_SESSION_REASON_STREAM_ENDED: why = "stream ended"; break;
    case KVX_SESSION_REASON_DAEMON_LOST: why = "USB daemon lost"; break;
    case KVX_SESSION_REASON_REFUSED: why = "refused: " + DescribeStatus(status.http_status); break;
    case KVX_SESSION_REASON_ABORTED: why = "aborted"; break;
    default: break;
  }
  const std::string reason = why.empty() ? std::string() : " (" + why + ")";
  switch (status.state) {
    case KVX_SESSION_STATE_SEARCHING:
      return (device.empty() ? std::string("searching for an app") : "searching for \"" + device + "\"") + reason;
    case KVX_SESSION_STATE_STREAMING:
      return std::string("streaming from ") + status.url.GetChars() + " (handle " + std::to_string(status.handle) +
             ")";
    case KVX_SESSION_STATE_RECONNECTING:
      return "reconnecting" + reason;
    case KVX_SESSION_STATE_ENDED:
      return "ended" + reason;
    default:
      return "idle";
  }
}

void FollowedDevice::OnSessionState(const KVX_SessionStatus& status) {
  // A viewer shows the stream as connected from its first frame on.
  if (status.state == KVX_SESSION_STATE_STREAMING && m_Frames) m_Frames->OnConnection();
  const std::string line = Describe(status, m_Device);
  if (m_Progress) {
    m_Progress->Print(stdout, line);
  } else {
    std::printf("%s\n", line.c_str());
    std::fflush(stdout);
  }
}

}  // namespace kvx_cli
