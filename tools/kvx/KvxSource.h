#pragma once
// Where `kvx stream` and `kvx view` take their frames from: the URLs given
// with --url (tried in order, over the tunnel of --handle H or plain TCP), or
// the app that discovery finds under the device name given with --device,
// once, or for good with --follow (a session that resumes by itself).
//
// Threads: the owner's thread only. With --device the source owns the
// discovery controller from Resolve until StopDiscovery or its destruction, so
// that a command can keep watching the device while it streams.

#include "KvxCli.h"
#include "KvxDiscovery.h"
#include "KvxProgress.h"
#include "KvxSession.h"
#include "KvxUSBController.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace kvx_cli {

// How long --device waits for discovery to find the app.
constexpr double kDiscoverySeconds = 10;

class StreamSource {
 public:
  StreamSource() = default;
  ~StreamSource() { StopDiscovery(); }
  StreamSource(const StreamSource&) = delete;
  StreamSource& operator=(const StreamSource&) = delete;

  // The options of the source selection, for a command's option table.
  static const std::vector<OptionSpec>& Options();

  // Takes --url, --handle, --device and --follow from `parsed`. False, with a
  // one-line *error for a usage error, unless they select exactly one source:
  // valid http URLs (with an optional handle), or a device name (optionally
  // followed).
  bool Parse(const ParsedArgs& parsed, std::string* error);

  // With --device (not followed): starts discovery, fails at once when the USB daemon
  // cannot be reached, and waits up to kDiscoverySeconds (or until an
  // interrupt) for an app of that name (letter case ignored), then prints
  // `found "NAME" at URL (handle H)` on standard output and takes its URL and
  // handle. With --url it does nothing. kExitOk, or the exit status after the
  // error line for `command` was printed (naming the apps found instead, if
  // any).
  // With --url or --follow it does nothing.
  int Resolve(const char* command);

  // The app --device found (empty before Resolve and with --url).
  const FoundApp& App() const { return m_App; }
  // With --device, whether discovery reports the app removed within
  // `seconds` (at once when it already did): a stream that ended by itself
  // ended because the device went away. False with --url.
  bool AppRemoved(double seconds);

  const std::vector<std::string>& Urls() const { return m_Urls; }
  int32_t Handle() const { return m_Handle; }
  bool ByDevice() const { return !m_Device.empty(); }
  bool Follow() const { return m_Follow; }
  const std::string& DeviceName() const { return m_Device; }

  // Ends discovery, if it runs (joins the controller's worker). Idempotent.
  void StopDiscovery() { m_Controller.reset(); }

 private:
  std::vector<std::string> m_Urls;
  int32_t m_Handle = 0;
  std::string m_Device;
  bool m_Follow = false;
  FoundApp m_App;
  // The watcher outlives the controller that calls it (members go in reverse).
  AppWatcher m_Watcher;
  std::unique_ptr<KVX_USBController> m_Controller;
};

// `--device NAME --follow`: a session that streams from the device's app
// whenever it is there. Frames go to the delegate's OnNewImage on the
// session's threads (OnConnection is called at each start of streaming);
// every state change is printed as one line on standard output ("searching
// for "NAME"", "streaming from URL (handle H)", "reconnecting (device
// detached)", ...), through `progress` when given.
class FollowedDevice : public KVX_SessionListener {
 public:
  FollowedDevice() = default;
  ~FollowedDevice() { Stop(); }
  FollowedDevice(const FollowedDevice&) = delete;
  FollowedDevice& operator=(const FollowedDevice&) = delete;

  // False when the session cannot start.
  bool Start(const std::string& device, const std::string& client, KVX_DeviceDelegate* frames,
             ProgressLine* progress);
  // Aborts and destroys the session (its last line, "ended (aborted)", is
  // printed). Idempotent.
  void Stop();
  KVX_SessionStatus Status() const;

  void OnSessionState(const KVX_SessionStatus& status) override;

  // The line printed for `status`.
  static std::string Describe(const KVX_SessionStatus& status, const std::string& device);

 private:
  std::string m_Device;
  KVX_DeviceDelegate* m_Frames = nullptr;
  ProgressLine* m_Progress = nullptr;
  std::unique_ptr<KVX_Session> m_Session;
};

}  // namespace kvx_cli
