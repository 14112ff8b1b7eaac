#pragma once
// KVX_USBClientSocket: the TCP client socket built around a connected usbmux
// tunnel descriptor, so the runtime's socket streams, timeouts, waits and
// Cancel work on a tunnel unchanged.
//
// The descriptor is closed by the runtime when the last holder of it lets go:
// this socket or one of the streams it handed out (or on Cancel). Destroying
// the socket while a stream is still held leaves the tunnel open.

#include "NptSockets.h"
#include "NptTypes.h"

class KVX_USBClientSocket : public NPT_TcpClientSocket {
 public:
  // Adopts `usb_fd` (switched to non-blocking, no read or write timeout);
  // bit 0 of `flags` marks it cancellable. The caller must not close `usb_fd`.
  KVX_USBClientSocket(int usb_fd, NPT_Flags flags);
  ~KVX_USBClientSocket() override;

 private:
  int m_UsbFd;
};
