#pragma once
// A simulated USB multiplexing daemon for tests and tools. It speaks the
// daemon's wire protocol (16-byte header in host byte order, XML property
// lists, protocol version 1) on a UNIX socket or a loopback TCP address, so
// that the unmodified client library can be pointed at it through
// USBMUXD_SOCKET_ADDRESS (set by whoever runs the client, never by this code).
//
// Virtual devices are added and removed at run time; each request to connect
// to a device port is relayed byte for byte to a loopback TCP port chosen with
// MapPort, where a test runs the companion app double or any other server.
//
// Threads: one accept thread plus one thread per client connection (which
// becomes the relay thread of a tunnel). Every public member may be called
// from any thread, except that Stop must not run concurrently with Start.
// Nothing throws; failures are reported as false or 0.

#include <cstdint>
#include <memory>
#include <string>

namespace kvx_sim {

// Result numbers of the protocol.
enum UsbmuxResult : uint32_t {
    kUsbmuxResultOk = 0,
    kUsbmuxResultBadCommand = 1,
    kUsbmuxResultBadDevice = 2,
    kUsbmuxResultConnectionRefused = 3,
    kUsbmuxResultBadVersion = 6,
};

// The frame header: four 32-bit fields in host byte order. Header and payload
// always go out in one send, since the client reads the header with a single
// receive call.
struct UsbmuxHeader {
    uint32_t length;   // whole message, header included; 16..16+kUsbmuxMaxPayload
    uint32_t version;  // 1 = property-list protocol
    uint32_t message;  // 8 = property list (1 = binary result, protocol 0 only)
    uint32_t tag;      // request tag, echoed in replies; 0 in events
};
static_assert(sizeof(UsbmuxHeader) == 16, "the wire header is 16 bytes");

constexpr uint32_t kUsbmuxProtocolVersion = 1;
constexpr uint32_t kUsbmuxMessagePlist = 8;
// Largest payload accepted from a client; larger lengths close the connection
// before anything is allocated. Real requests are a few kilobytes at most.
constexpr uint32_t kUsbmuxMaxPayload = 1024 * 1024;

// A complete message (header + XML payload) ready to send.
class PlistValue;
std::string EncodeUsbmuxMessage(uint32_t tag, const PlistValue& payload);

class UsbmuxdSimulator {
public:
    UsbmuxdSimulator();
    ~UsbmuxdSimulator();  // Stop()
    UsbmuxdSimulator(const UsbmuxdSimulator&) = delete;
    UsbmuxdSimulator& operator=(const UsbmuxdSimulator&) = delete;

    // Listens on address: "UNIX:/path" or a path containing '/' for a UNIX
    // socket (a stale socket file there is replaced; any other file is an
    // error), or "127.0.0.1:PORT" / "[::1]:PORT" for loopback TCP, where PORT
    // 0 picks a free port. False (with *error) when already running or when
    // the socket cannot be set up.
    bool Start(const std::string& address, std::string* error = nullptr);

    // Closes the listener (removing a UNIX socket file) and every connection,
    // and joins all threads; returns promptly, whatever the clients do.
    // Devices and port maps are kept, so a later Start serves them again.
    void Stop();
    bool IsRunning() const;

    // The value for USBMUXD_SOCKET_ADDRESS: "UNIX:/path" or "127.0.0.1:PORT"
    // with the actual port. Empty before the first successful Start.
    std::string SocketAddress() const;

    // Attaches a device and announces it to every listening client. Returns
    // its handle (1, 2, ... never reused while the simulator lives), or 0 when
    // the identifier is empty, longer than 43 characters, or already attached.
    uint32_t AddDevice(const std::string& identifier, uint32_t product_id);
    uint32_t Attach(const std::string& identifier, uint32_t product_id) { return AddDevice(identifier, product_id); }

    // Detaches a device: its tunnels are closed first, then listeners get
    // Detached. False when no such device is attached.
    bool Detach(const std::string& identifier);

    // The handle of an attached device, or 0.
    uint32_t HandleOf(const std::string& identifier) const;

    // Routes device_port of the device named identifier to 127.0.0.1:loopback_port.
    // Maps belong to the identifier and survive detach and re-attach; they may
    // be set before the device is attached. A Connect to an unmapped port (or
    // to a mapped port where nothing listens) is refused with result 3, as a
    // device that resets the connection. False when a port is 0.
    bool MapPort(const std::string& identifier, uint16_t device_port, uint16_t loopback_port);
    bool UnmapPort(const std::string& identifier, uint16_t device_port);

    // Faults. DropListenConnections closes every client connection that is
    // listening for events (clients see a lost daemon and reconnect);
    // DropAllConnections closes every client connection, tunnels included.
    void DropListenConnections();
    void DropAllConnections();
    // Closes the listening socket (and removes the UNIX socket file) while
    // existing connections stay; RestartListener opens it again on the same
    // address (same TCP port). Together with DropAllConnections this is a
    // daemon that went away and came back.
    void StopListener();
    bool RestartListener(std::string* error = nullptr);

    // Counts for tests.
    int TotalConnections() const;   // accepted since construction
    int OpenConnections() const;    // currently open client connections
    int ActiveListeners() const;    // connections that sent Listen and are open
    int ActiveTunnels() const;      // connections relaying to a loopback port
    int DeviceCount() const;        // attached devices

private:
    struct Impl;
    std::unique_ptr<Impl> m_Impl;
};

}  // namespace kvx_sim
