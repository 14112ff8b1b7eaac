// kvx-managed-test-host: the devices the .NET tests stream from and discover.
// It runs the simulated usbmux daemon and any number of companion-app doubles
// on loopback, driven line by line on standard input, and stops everything
// at "quit" or end of input (so a test run that dies takes it down too).
//
//   kvx-managed-test-host ADDRESS     ADDRESS: UNIX:/path or 127.0.0.1:PORT
//
// First output line: the daemon's address. Then one answer line per command,
// "ok ..." or "error ...":
//   app FRAMES SIZE FPS NAME...   start an app (FRAMES 0: endless; FPS 0: as
//                                 fast as read); "ok index=K port=P"
//   frames K | requests K | open K   frames sent / requests / open connections
//   client K                      "ok VALUE" of the last request's X-LUMOX-CLIENT
//   attach ID PID | detach ID | map ID PORT LOCALPORT   the daemon's devices
//   listener stop | listener start   the daemon's socket goes away / comes back
//   quit
// Frame seq of an app holds byte (seq*31 + i*7 + 1) & 0xFF at offset i, type
// "image/rgb", so a test can check every byte it received.

#include <cstdint>
#include <cstdio>
#include <iostream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "AppSimulator.h"
#include "UsbmuxdSimulator.h"

namespace {

kvx_sim::AppSimConfig AppConfig(uint64_t frames, size_t size, double fps, const std::string& name) {
  kvx_sim::AppSimConfig config;
  config.device_name = name;
  config.frame_count = frames;
  config.frame_size = size;
  config.frames_per_second = fps;
  config.frame_content_type = "image/rgb";
  config.frame_source = [size](uint64_t seq, std::vector<uint8_t>& frame, std::string&) {
    frame.resize(size);
    for (size_t i = 0; i < size; ++i) frame[i] = (uint8_t)((seq * 31 + i * 7 + 1) & 0xFF);
    return true;
  };
  return config;
}

class Host {
 public:
  std::string Execute(const std::string& line, bool* quit) {
    std::istringstream in(line);
    std::string command;
    in >> command;
    if (command == "quit") {
      *quit = true;
      return "ok";
    }
    if (command == "app") {
      uint64_t frames = 0;
      size_t size = 0;
      double fps = 0;
      if (!(in >> frames >> size >> fps) || size == 0 || size > (64u << 20)) return "error usage: app FRAMES SIZE FPS NAME";
      std::string name;
      std::getline(in >> std::ws, name);
      std::unique_ptr<kvx_sim::AppSimulator> app(new kvx_sim::AppSimulator(AppConfig(frames, size, fps, name)));
      int port = app->Start();
      if (port <= 0) return "error cannot start app";
      m_Apps.push_back(std::move(app));
      return "ok index=" + std::to_string(m_Apps.size() - 1) + " port=" + std::to_string(port);
    }
    if (command == "frames" || command == "requests" || command == "open" || command == "client") {
      size_t index = 0;
      if (!(in >> index) || index >= m_Apps.size()) return "error no such app";
      kvx_sim::AppSimulator& app = *m_Apps[index];
      if (command == "frames") return "ok " + std::to_string(app.FramesSent());
      if (command == "requests") return "ok " + std::to_string(app.RequestCount());
      if (command == "open") return "ok " + std::to_string(app.ConnectionsOpen());
      std::vector<kvx_sim::RequestRecord> requests = app.Requests();
      if (requests.empty()) return "error no request";
      for (const auto& header : requests.back().headers) {
        if (header.first == "X-LUMOX-CLIENT") return "ok " + header.second;
      }
      return "error no client header";
    }
    std::string id, a, b;
    in >> id >> a >> b;
    if (command == "attach" && !id.empty()) {
      uint32_t handle = m_Daemon.AddDevice(id, (uint32_t)std::stoul(a.empty() ? "0" : a, nullptr, 0));
      return handle ? "ok handle=" + std::to_string(handle) : "error cannot attach";
    }
    if (command == "detach" && !id.empty()) return m_Daemon.Detach(id) ? "ok" : "error no device";
    if (command == "listener" && id == "stop") {
      m_Daemon.StopListener();
      return "ok";
    }
    if (command == "listener" && id == "start") return m_Daemon.RestartListener() ? "ok" : "error cannot listen";
    if (command == "map" && !id.empty() && !b.empty()) {
      return m_Daemon.MapPort(id, (uint16_t)std::stoul(a), (uint16_t)std::stoul(b)) ? "ok" : "error bad port";
    }
    return "error unknown command";
  }

  bool Start(const std::string& address, std::string* error) { return m_Daemon.Start(address, error); }
  std::string Address() const { return m_Daemon.SocketAddress(); }
  void Stop() {
    for (auto& app : m_Apps) app->Stop();
    m_Daemon.Stop();
  }

 private:
  kvx_sim::UsbmuxdSimulator m_Daemon;
  std::vector<std::unique_ptr<kvx_sim::AppSimulator>> m_Apps;
};

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s UNIX:/path | 127.0.0.1:PORT\n", argv[0]);
    return 2;
  }
  Host host;
  std::string error;
  if (!host.Start(argv[1], &error)) {
    std::fprintf(stderr, "cannot start the daemon: %s\n", error.c_str());
    return 1;
  }
  std::cout << host.Address() << std::endl;
  std::string line;
  bool quit = false;
  while (!quit && std::getline(std::cin, line)) {
    if (line.find_first_not_of(" \t\r") == std::string::npos) continue;
    std::string answer;
    try {
      answer = host.Execute(line, &quit);
    } catch (const std::exception&) {  // std::stoul on a malformed number
      answer = "error malformed command";
    }
    std::cout << answer << std::endl;
  }
  host.Stop();
  return 0;
}
