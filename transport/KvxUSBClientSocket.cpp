// KVX_USBClientSocket: a tunnel descriptor adopted by the runtime's TCP client
// socket.

#include "KvxUSBClientSocket.h"

#include "KvxUSBMux.h"

KVX_USBClientSocket::KVX_USBClientSocket(int usb_fd, NPT_Flags flags)
    : NPT_TcpClientSocket(usb_fd, flags), m_UsbFd(usb_fd) {}

KVX_USBClientSocket::~KVX_USBClientSocket() {
  // Closes nothing: the base socket and the streams it handed out share the
  // descriptor, and the last of them to go closes it.
  KVX_USBMux::GetDefault().Disconnect(m_UsbFd);
}
