#include "KvxDiscovery.h"

#include "KvxCli.h"

#include <cctype>
#include <chrono>

namespace kvx_cli {
namespace {

// ASCII letters only: device names are compared as people type them.
bool EqualsIgnoringCase(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i]))) return false;
  }
  return true;
}

}  // namespace

void AppWatcher::OnDeviceFound(const char* name, NPT_Int32 handle, const char* url) {
  std::lock_guard<std::mutex> guard(m_Lock);
  FoundApp app;
  app.name = name ? name : "";
  app.handle = handle;
  app.url = url ? url : "";
  m_Present.push_back(app);
  for (auto it = m_Removed.begin(); it != m_Removed.end();) it = *it == app.url ? m_Removed.erase(it) : it + 1;
  m_Changed.notify_all();
}

void AppWatcher::OnDeviceRemoved(const char* url) {
  std::lock_guard<std::mutex> guard(m_Lock);
  const std::string text = url ? url : "";
  for (auto it = m_Present.begin(); it != m_Present.end();) {
    it = it->url == text ? m_Present.erase(it) : it + 1;
  }
  m_Removed.push_back(text);
  m_Changed.notify_all();
}

bool AppWatcher::WaitFor(const std::string& name, double seconds, FoundApp* app) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(static_cast<long>(seconds * 1000));
  std::unique_lock<std::mutex> guard(m_Lock);
  for (;;) {
    for (const FoundApp& present : m_Present) {
      if (name.empty() || EqualsIgnoringCase(present.name, name)) {
        *app = present;
        return true;
      }
    }
    if (g_Interrupted.load(std::memory_order_acquire) || std::chrono::steady_clock::now() >= deadline) return false;
    // Short waits so that an interrupt is seen promptly.
    m_Changed.wait_for(guard, std::chrono::milliseconds(100));
  }
}

std::vector<FoundApp> AppWatcher::Present() {
  std::lock_guard<std::mutex> guard(m_Lock);
  return m_Present;
}

bool AppWatcher::WaitForRemoval(const std::string& url, double seconds) {
  std::unique_lock<std::mutex> guard(m_Lock);
  return m_Changed.wait_for(guard, std::chrono::milliseconds(static_cast<long>(seconds * 1000)), [&] {
    for (const std::string& removed : m_Removed) {
      if (removed == url) return true;
    }
    return false;
  });
}

}  // namespace kvx_cli
