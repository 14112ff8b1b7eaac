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
  SimDeviceSpec spec;
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
    const int channels = spec.format == PatternFormat::kRgba ? 4 : 3;
    std::vector<uint8_t> pixels(static_cast<size_t>(spec.width) * spec.height * channels);
    if (!RenderTestPattern(seq, spec.width, spec.height, channels, pixels.data())) return false;
    if (spec.format == PatternFormat::kJpeg) {
      return EncodeJpeg(pixels.data(), spec.width, spec.height, channels, spec.jpeg_quality, &frame);
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

bool SimulatedHost::AddDevice(const SimDeviceSpec& spec, std::string* error) {
  std::lock_guard<std::mutex> guard(m_Lock);
  if (spec.identifier.empty() || spec.identifier.size() > 43) return Fail(error, "invalid device identifier");
  if (Find(spec.identifier)) return Fail(error, "device " + spec.identifier + " exists already");
  if (!IsValidPatternSize(spec.width, spec.height)) return Fail(error, "unsupported picture size");
  if (spec.fps < 0 || spec.fps > 1000) return Fail(error, "unsupported frame rate");

  std::unique_ptr<Device> device(new Device());
  device->spec = spec;
  Device* raw = device.get();
  AppSimConfig config;
  config.device_name = spec.name;
  config.require_auth = spec.require_auth;
  config.frame_content_type = PatternContentType(spec.format);
  config.frame_count = spec.frame_count;
  config.frames_per_second = spec.fps;
  config.frame_source = [raw](uint64_t seq, std::vector<uint8_t>& frame, std::string&) {
    return raw->Produce(seq, frame);
  };
  device->app.SetConfig(config);
  int port = device->app.Start(0);
  if (port <= 0) return Fail(error, "cannot start the app of " + spec.identifier);
  if (!m_Daemon->MapPort(spec.identifier, kAppPort, static_cast<uint16_t>(port))) {
    device->Shutdown();
    return Fail(error, "cannot route the app of " + spec.identifier);
  }
  if (m_Daemon->AddDevice(spec.identifier, spec.product_id) == 0) {
    device->Shutdown();
    m_Daemon->UnmapPort(spec.identifier, kAppPort);
    return Fail(error, "cannot attach " + spec.identifier);
  }
  m_Devices[spec.identifier] = std::move(device);
  return true;
}

bool SimulatedHost::Attach(const std::string& identifier, std::string* error) {
  std::lock_guard<std::mutex> guard(m_Lock);
  Device* device = Find(identifier);
  if (!device) return Fail(error, "no device " + identifier);
  if (m_Daemon->HandleOf(identifier) != 0) return Fail(error, "device " + identifier + " is attached already");
  if (m_Daemon->AddDevice(identifier, device->spec.product_id) == 0) return Fail(error, "cannot attach " + identifier);
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
