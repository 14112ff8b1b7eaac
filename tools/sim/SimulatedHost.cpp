#include "SimulatedHost.h"

#include "AppSimulator.h"
#include "TestPattern.h"
#include "UsbmuxdSimulator.h"

#include <atomic>
#include <condition_variable>

namespace kvx_sim {

// One virtual device. The stall state lives here, shared with the app's frame
// source by pointer: the device outlives its app (the app is stopped first).
struct SimulatedHost::Device {
  SimDeviceSpec setup;
  AppSimulator app;
  std::mutex lock;
  std::condition_variable wake;
  bool stalled = false;
  bool stopping = false;

  // Produces frame `seq`; blocks while the device is stalled. False ends the
  // stream (the host is stopping).
  bool Produce(uint64_t seq, std::vector<uint8_t>& frame) {
    {
      std::unique_lock<std::mutex> guard(lock);
      wake.wait(guard, [this] { return !stalled || stopping; });
      if (stopping) return false;
    }
    const int channels = setup.format == PatternFormat::kRgba ? 4 : 3;
    std::vector<uint8_t> pixels(static_cast<size_t>(setup.width) * setup.height * channels);
    if (!RenderTestPattern(seq, setup.width, setup.height, channels, pixels.data())) return false;
    if (setup.format == PatternFormat::kJpeg) {
      return kvx_image::EncodeJpeg(pixels.data(), setup.width, setup.height, channels, setup.jpeg_quality, &frame);
    }
    frame.swap(pixels);
    return true;
  }

  void SetStalled(bool value) {
    std::lock_guard<std::mutex> guard(lock);
    stalled = value;
    wake.notify_all();
  }

  void Shutdown() {
    {
      std::lock_guard<std::mutex> guard(lock);
      stopping = true;
      wake.notify_all();
    }
    app.Stop();
  }
};

bool ParsePatternFormat(const std::string& text, PatternFormat* format) {
  if (text == "jpeg") {
    *format = PatternFormat::kJpeg;
  } else if (text == "rgb") {
    *format = PatternFormat::kRgb;
  } else if (text == "rgba") {
    *format = PatternFormat::kRgba;
  } else {
    return false;
  }
  return true;
}

const char* PatternContentType(PatternFormat format) {
  switch (format) {
    case PatternFormat::kRgb:
      return "image/rgb";
    case PatternFormat::kRgba:
      return "image/rgba";
    case PatternFormat::kJpeg:
      break;
  }
  return "image/jpeg";
}

SimulatedHost::SimulatedHost() : m_Daemon(new UsbmuxdSimulator()) {}

SimulatedHost::~SimulatedHost() { Stop(); }

bool SimulatedHost::Start(const std::string& address, std::string* error) {
  return m_Daemon->Start(address, error);
}

void SimulatedHost::Stop() {
  std::lock_guard<std::mutex> guard(m_Lock);
  for (auto& entry : m_Devices) entry.second->Shutdown();
  m_Daemon->Stop();
}

std::string SimulatedHost::SocketAddress() const { return m_Daemon->SocketAddress(); }

SimulatedHost::Device* SimulatedHost::Find(const std::string& identifier) const {
  auto it = m_Devices.find(identifier);
  return it == m_Devices.end() ? nullptr : it->second.get();
}

static bool Fail(std::string* error, const std::string& text) {
  if (error) *error = text;
  return false;
}

bool SimulatedHost::AddDevice(const SimDeviceSpec& setup, std::string* error) {
  std::lock_guard<std::mutex> guard(m_Lock);
  if (setup.identifier.empty() || setup.identifier.size() > 43) return Fail(error, "invalid device identifier");
  if (Find(setup.identifier)) return Fail(error, "device " + setup.identifier + " exists already");
  if (!IsValidPatternSize(setup.width, setup.height)) return Fail(error, "unsupported picture size");
  if (setup.fps < 0 || setup.fps > 1000) return Fail(error, "unsupported frame rate");

  std::unique_ptr<Device> device(new Device());
  device->setup = setup;
  Device* raw = device.get();
  AppSimConfig config;
  config.device_name = setup.name;
  config.require_auth = setup.require_auth;
  config.frame_content_type = PatternContentType(setup.format);
  config.frame_count = setup.frame_count;
  config.frames_per_second = setup.fps;
  config.frame_source = [raw](uint64_t seq, std::vector<uint8_t>& frame, std::string&) {
    return raw->Produce(seq, frame);
  };
  device->app.SetConfig(config);
  int port = device->app.Start(0);
  if (port <= 0) return Fail(error, "cannot start the app of " + setup.identifier);
  if (!m_Daemon->MapPort(setup.identifier, kAppPort, static_cast<uint16_t>(port))) {
    device->Shutdown();
    return Fail(error, "cannot route the app of " + setup.identifier);
  }
  if (m_Daemon->AddDevice(setup.identifier, setup.product_id) == 0) {
    device->Shutdown();
    m_Daemon->UnmapPort(setup.identifier, kAppPort);
    return Fail(error, "cannot attach " + setup.identifier);
  }
  m_Devices[setup.identifier] = std::move(device);
  return true;
}

bool SimulatedHost::Attach(const std::string& identifier, std::string* error) {
  std::lock_guard<std::mutex> guard(m_Lock);
  Device* device = Find(identifier);
  if (!device) return Fail(error, "no device " + identifier);
  if (m_Daemon->HandleOf(identifier) != 0) return Fail(error, "device " + identifier + " is attached already");
  if (m_Daemon->AddDevice(identifier, device->setup.product_id) == 0) return Fail(error, "cannot attach " + identifier);
  return true;
}

bool SimulatedHost::Detach(const std::string& identifier, std::string* error) {
  std::lock_guard<std::mutex> guard(m_Lock);
  if (!Find(identifier)) return Fail(error, "no device " + identifier);
  if (!m_Daemon->Detach(identifier)) return Fail(error, "device " + identifier + " is not attached");
  return true;
}

bool SimulatedHost::Stall(const std::string& identifier, std::string* error) {
  std::lock_guard<std::mutex> guard(m_Lock);
  Device* device = Find(identifier);
  if (!device) return Fail(error, "no device " + identifier);
  device->SetStalled(true);
  return true;
}

bool SimulatedHost::Resume(const std::string& identifier, std::string* error) {
  std::lock_guard<std::mutex> guard(m_Lock);
  Device* device = Find(identifier);
  if (!device) return Fail(error, "no device " + identifier);
  device->SetStalled(false);
  return true;
}

uint32_t SimulatedHost::HandleOf(const std::string& identifier) const { return m_Daemon->HandleOf(identifier); }

int SimulatedHost::AppPort(const std::string& identifier) const {
  std::lock_guard<std::mutex> guard(m_Lock);
  Device* device = Find(identifier);
  return device ? device->app.Port() : -1;
}

uint64_t SimulatedHost::FramesSent() const {
  std::lock_guard<std::mutex> guard(m_Lock);
  uint64_t total = 0;
  for (auto& entry : m_Devices) total += entry.second->app.FramesSent();
  return total;
}

std::vector<std::string> SimulatedHost::Identifiers() const {
  std::lock_guard<std::mutex> guard(m_Lock);
  std::vector<std::string> ids;
  for (auto& entry : m_Devices) ids.push_back(entry.first);
  return ids;
}

}  // namespace kvx_sim
