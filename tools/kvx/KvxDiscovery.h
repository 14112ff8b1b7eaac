#pragma once
// Waiting for companion apps through the discovery controller.

#include "KvxUSBController.h"

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

namespace kvx_cli {

struct FoundApp {
  std::string name;
  int32_t handle = 0;
  std::string url;
};

// Remembers the apps a controller reports. Its callbacks run on the
// controller's threads with the controller's lock held: they only record and
// signal, never wait.
class AppWatcher : public KVX_USBControllerDelegate {
 public:
  void OnDeviceFound(const char* name, NPT_Int32 handle, const char* url) override;
  void OnDeviceRemoved(const char* url) override;

  // Waits until an app named `name` (letter case ignored; empty: any app)
  // is present, at most `seconds`, or until an interrupt. True with *app
  // filled when found.
  bool WaitFor(const std::string& name, double seconds, FoundApp* app);
  // The apps present now, in the order they were found.
  std::vector<FoundApp> Present();
  // Waits up to `seconds` until the app at `url` is reported removed (or
  // was already since it was found). True when it was.
  bool WaitForRemoval(const std::string& url, double seconds);

 private:
  std::mutex m_Lock;
  std::condition_variable m_Changed;
  std::vector<FoundApp> m_Present;
  std::vector<std::string> m_Removed;  // URLs removed and not found again
};

}  // namespace kvx_cli
