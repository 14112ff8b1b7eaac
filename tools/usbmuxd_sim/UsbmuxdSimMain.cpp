// kvx-usbmuxd-sim: runs the simulated daemon until "quit" or end of input.
//
//   kvx-usbmuxd-sim [ADDRESS]      ADDRESS: UNIX:/path or 127.0.0.1:PORT
//                                  (default 127.0.0.1:0, a free port)
//
// The first output line is the value to give USBMUXD_SOCKET_ADDRESS. Then one
// command per input line; each is answered with one line starting "ok" or
// "error":
//   attach ID PID            attach a device (PID decimal or 0x hex); prints its handle
//   detach ID
//   map ID PORT LOCALPORT    route device PORT to 127.0.0.1:LOCALPORT
//   unmap ID PORT
//   drop-listeners | drop-all | stop-listener | restart-listener
//   status                   counts
//   quit

#include "UsbmuxdSimulator.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <sstream>
#include <string>

namespace {

bool ParseNumber(const std::string& text, unsigned long max, unsigned long* value) {
    if (text.empty() || text[0] == '-') return false;
    errno = 0;
    char* end = nullptr;
    unsigned long v = std::strtoul(text.c_str(), &end, 0);
    if (errno != 0 || *end != '\0' || v > max) return false;
    *value = v;
    return true;
}

std::string Execute(kvx_sim::UsbmuxdSimulator& sim, const std::string& line, bool* quit) {
    std::istringstream in(line);
    std::string cmd, id, a, b, extra;
    in >> cmd >> id >> a >> b >> extra;
    unsigned long n1 = 0, n2 = 0;
    if (cmd == "quit" || cmd == "exit") {
        *quit = true;
        return "ok";
    }
    if (cmd == "attach" && !id.empty() && ParseNumber(a, 0xFFFFFFFFUL, &n1) && b.empty()) {
        uint32_t handle = sim.AddDevice(id, static_cast<uint32_t>(n1));
        return handle ? "ok handle=" + std::to_string(handle) : "error cannot attach " + id;
    }
    if (cmd == "detach" && !id.empty() && a.empty()) {
        return sim.Detach(id) ? "ok" : "error no device " + id;
    }
    if (cmd == "map" && !id.empty() && ParseNumber(a, 65535, &n1) && ParseNumber(b, 65535, &n2) && extra.empty()) {
        return sim.MapPort(id, static_cast<uint16_t>(n1), static_cast<uint16_t>(n2)) ? "ok" : "error bad port";
    }
    if (cmd == "unmap" && !id.empty() && ParseNumber(a, 65535, &n1) && b.empty()) {
        return sim.UnmapPort(id, static_cast<uint16_t>(n1)) ? "ok" : "error not mapped";
    }
    if (cmd == "drop-listeners" && id.empty()) {
        sim.DropListenConnections();
        return "ok";
    }
    if (cmd == "drop-all" && id.empty()) {
        sim.DropAllConnections();
        return "ok";
    }
    if (cmd == "stop-listener" && id.empty()) {
        sim.StopListener();
        return "ok";
    }
    if (cmd == "restart-listener" && id.empty()) {
        std::string error;
        return sim.RestartListener(&error) ? "ok" : "error " + error;
    }
    if (cmd == "status" && id.empty()) {
        return "ok devices=" + std::to_string(sim.DeviceCount()) +
               " listeners=" + std::to_string(sim.ActiveListeners()) +
               " tunnels=" + std::to_string(sim.ActiveTunnels()) +
               " connections=" + std::to_string(sim.TotalConnections());
    }
    return "error unknown or malformed command";
}

}  // namespace

int main(int argc, char** argv) {
    if (argc > 2) {
        std::fprintf(stderr, "usage: %s [UNIX:/path | 127.0.0.1:PORT]\n", argv[0]);
        return 2;
    }
    kvx_sim::UsbmuxdSimulator sim;
    std::string error;
    if (!sim.Start(argc == 2 ? argv[1] : "127.0.0.1:0", &error)) {
        std::fprintf(stderr, "cannot start: %s\n", error.c_str());
        return 1;
    }
    std::cout << sim.SocketAddress() << std::endl;
    std::string line;
    bool quit = false;
    while (!quit && std::getline(std::cin, line)) {
        if (line.find_first_not_of(" \t\r") == std::string::npos) continue;
        std::cout << Execute(sim, line, &quit) << std::endl;
    }
    sim.Stop();
    return 0;
}
