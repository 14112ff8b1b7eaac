#pragma once
// Test helpers for discovery: a delegate that records its calls, a recorder of
// raw usbmux events, and a bounded wait. Plain standard C++.

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "KvxUSBController.h"
#include "TestSupport.h"

namespace kvx_discovery_test {

using kvx_test::WaitUntil;

struct Report {
  bool found;  // OnDeviceFound, else OnDeviceRemoved
  std::string name;
  int handle;
  std::string url;
  bool operator==(const Report& other) const {
    return found == other.found && name == other.name && handle == other.handle && url == other.url;
  }
};

inline Report Found(const std::string& name, int handle, const std::string& url) { return {true, name, handle, url}; }
inline Report Removed(const std::string& url) { return {false, std::string(), 0, url}; }

inline std::ostream& operator<<(std::ostream& out, const Report& r) {
  return out << (r.found ? "Found(" + r.name + ", " + std::to_string(r.handle) + ", " : std::string("Removed("))
             << r.url << ")";
}

class RecordingDelegate : public KVX_USBControllerDelegate {
 public:
  void OnDeviceFound(const char* name, NPT_Int32 handle, const char* url) override {
    Add({true, name ? name : "", handle, url ? url : ""});
  }
  void OnDeviceRemoved(const char* url) override { Add({false, std::string(), 0, url ? url : ""}); }

  std::vector<Report> Reports() const {
    std::lock_guard<std::mutex> lock(m_Mutex);
    return m_Reports;
  }
  size_t Count() const { return Reports().size(); }
  bool WaitForCount(size_t count, int timeout_ms) const {
    return WaitUntil([&] { return Count() >= count; }, timeout_ms);
  }

 private:
  void Add(const Report& report) {
    std::lock_guard<std::mutex> lock(m_Mutex);
    m_Reports.push_back(report);
  }
  mutable std::mutex m_Mutex;
  std::vector<Report> m_Reports;
};

inline usbmuxd_event_t MakeEvent(int kind, uint32_t handle, uint32_t pid, const char* udid) {
  usbmuxd_event_t event;
  memset(&event, 0, sizeof(event));
  event.event = kind;
  event.device.handle = handle;
  event.device.product_id = pid;
  strncpy(event.device.udid, udid, sizeof(event.device.udid) - 1);
  return event;
}

}  // namespace kvx_discovery_test
