#pragma once
// The app simulator's loopback sockets, one small file per platform
// (<Linux|Windows>/AppSimSockets.cpp). A descriptor is an int on every
// platform (a Windows socket handle fits); -1 means none. Every socket made
// here is non-blocking.

#include <cstddef>
#include <cstdint>

namespace kvx_sim {
namespace net {

// Send and Recv: nothing can move now (or a signal came): wait and retry.
constexpr long kRetry = -2;

// A listener on 127.0.0.1:port (0: the system's choice) that may bind over
// connections lingering on the port; the port bound in *bound. -1 on failure.
int ListenOnLoopback(uint16_t port, uint16_t* bound);
// The next pending connection, without send delay, or -1.
int Accept(int listener);
// A wake-up pair: once Wake(pair[1]) has run, pair[0] is readable for good.
bool MakeWakePair(int pair[2]);
void Wake(int write_end);

enum class PollResult { kReady, kTimeout, kWoken, kError };
// Waits up to timeout_ms (-1: no limit) until `fd` is readable or writable as
// asked (or has an error or hang-up), or `wake` is readable. fd -1 waits for
// the wake-up alone.
PollResult Poll(int fd, bool readable, bool writable, int wake, int timeout_ms);

// Bytes moved (Recv: 0 at the peer's end), kRetry, or -1 on failure. Sending
// to a vanished peer fails; it never raises a signal.
long Send(int fd, const void* data, size_t size);
long Recv(int fd, void* buffer, size_t size);
void ShutdownWrite(int fd);
void ShutdownBoth(int fd);
void Close(int fd);

}  // namespace net
}  // namespace kvx_sim
