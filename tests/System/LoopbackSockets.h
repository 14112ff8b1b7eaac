#pragma once
// Connected pairs of runtime sockets on 127.0.0.1 for the sockets tests of
// every platform.

#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "NptSockets.h"

namespace kvx_sockets_test {

// A server socket listening on 127.0.0.1 at a free port.
struct Listener {
  NPT_TcpServerSocket server;
  NPT_SocketAddress address;

  explicit Listener(unsigned int backlog = 8) {
    EXPECT_EQ(NPT_SUCCESS, server.Bind(NPT_SocketAddress(NPT_IpAddress::Loopback, 0)));
    EXPECT_EQ(NPT_SUCCESS, server.Listen(backlog));
    NPT_SocketInfo info;
    EXPECT_EQ(NPT_SUCCESS, server.GetInfo(info));
    address = NPT_SocketAddress(NPT_IpAddress::Loopback, info.local_address.GetPort());
  }
};

// A connected client and the server side of the same connection.
struct Connection {
  std::unique_ptr<NPT_TcpClientSocket> client;
  std::unique_ptr<NPT_Socket> peer;
};

inline Connection Connect(Listener& listener) {
  Connection connection;
  connection.client.reset(new NPT_TcpClientSocket(NPT_SOCKET_FLAG_CANCELLABLE));
  EXPECT_EQ(NPT_SUCCESS, connection.client->Connect(listener.address, 2000));
  NPT_Socket* accepted = nullptr;
  EXPECT_EQ(NPT_SUCCESS, listener.server.WaitForNewClient(accepted, 2000));
  connection.peer.reset(accepted);
  return connection;
}

// A listener whose accept queue is full, so that further connection attempts
// stay pending (the kernel drops their SYNs) until they time out.
struct StalledListener {
  Listener listener{0};
  std::vector<std::unique_ptr<NPT_TcpClientSocket>> fillers;

  bool Stall() {
    for (int i = 0; i < 16; i++) {
      fillers.emplace_back(new NPT_TcpClientSocket());
      if (fillers.back()->Connect(listener.address, 300) == NPT_ERROR_TIMEOUT) return true;
    }
    return false;
  }
};

}  // namespace kvx_sockets_test
