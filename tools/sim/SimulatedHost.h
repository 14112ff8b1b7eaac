#pragma once
// A simulated host: the multiplexing daemon simulator with one companion-app
// double per virtual device, each serving the moving test pattern. The real
// client library reaches it through USBMUXD_SOCKET_ADDRESS = SocketAddress().
//
// Each device's app listens on a loopback port and is routed from device port
// kAppPort; the second app port the library watches is left unrouted, so the
// daemon refuses it as a device with no app there would.
//
// Threads: every member may be called from any thread; Stop wakes stalled
// streams and joins every thread of the daemon and the apps. Nothing throws.

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace kvx_sim {

class UsbmuxdSimulator;

enum class PatternFormat { kJpeg, kRgb, kRgba };

// "jpeg", "rgb", "rgba" -> format; false otherwise.
bool ParsePatternFormat(const std::string& text, PatternFormat* format);
// The content type a device of that format serves ("image/jpeg", ...).
const char* PatternContentType(PatternFormat format);

struct SimDeviceSpec {
  std::string identifier;             // 1..43 characters, unique
  std::string name;                   // answered as the app's device name
  uint32_t product_id = 0x1290;       // the library accepts 0x1290..0x129A
  PatternFormat format = PatternFormat::kJpeg;
  int width = 640;
  int height = 480;
  double fps = 30;                    // 0: as fast as the client reads
  uint64_t frame_count = 0;           // per stream; 0: endless
  int jpeg_quality = 85;
  // The app answers 403 to requests without a valid "X-LUMOX-AUTH" token, as
  // the real app does; off only for readers that cannot sign requests.
  bool require_auth = true;
};

class SimulatedHost {
 public:
  static constexpr uint16_t kAppPort = 8099;

  SimulatedHost();
  ~SimulatedHost();  // Stop
  SimulatedHost(const SimulatedHost&) = delete;
  SimulatedHost& operator=(const SimulatedHost&) = delete;

  // Starts the daemon on `address` (see UsbmuxdSimulator::Start). False, with
  // *error, on failure.
  bool Start(const std::string& address, std::string* error);
  // Wakes stalled streams, stops every app and the daemon. Idempotent.
  void Stop();
  std::string SocketAddress() const;

  // Creates the device's app, routes kAppPort to it and attaches the device.
  // False, with *error, for an invalid or duplicate setup or when the app
  // cannot start.
  bool AddDevice(const SimDeviceSpec& setup, std::string* error);
  // Attaches a known, detached device again (its handle is new). False when
  // the identifier is unknown or already attached.
  bool Attach(const std::string& identifier, std::string* error);
  // Detaches a device: its tunnels close, listeners hear of it. The app stays.
  bool Detach(const std::string& identifier, std::string* error);
  // Stall: streams of the device stop sending (their connections stay open)
  // until Resume. False for an unknown identifier.
  bool Stall(const std::string& identifier, std::string* error);
  bool Resume(const std::string& identifier, std::string* error);

  // The handle of an attached device, or 0; the app's loopback port, or -1.
  uint32_t HandleOf(const std::string& identifier) const;
  int AppPort(const std::string& identifier) const;
  // Frames every app has sent so far.
  uint64_t FramesSent() const;
  std::vector<std::string> Identifiers() const;

 private:
  struct Device;
  Device* Find(const std::string& identifier) const;

  mutable std::mutex m_Lock;
  std::unique_ptr<UsbmuxdSimulator> m_Daemon;
  std::map<std::string, std::unique_ptr<Device>> m_Devices;
};

}  // namespace kvx_sim
