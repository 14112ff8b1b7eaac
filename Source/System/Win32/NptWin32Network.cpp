// Windows platform: host-name resolution with getaddrinfo, IPv4 only.

#include <ws2tcpip.h>

#include <cstring>

#include "NptNetwork.h"
#include "NptBsdSocketFd.h"

NPT_Result NPT_IpAddress::ResolveName(const char* name, NPT_Timeout /*timeout*/) {
  if (name == nullptr || name[0] == '\0') return NPT_ERROR_HOST_UNKNOWN;

  Set((NPT_UInt32)0);
  if (Parse(name) == NPT_SUCCESS) return NPT_SUCCESS;
  if (!NPT_Win32StartSockets()) return NPT_ERROR_HOST_UNKNOWN;

  struct addrinfo hints;
  std::memset(&hints, 0, sizeof(hints));
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  struct addrinfo* found = nullptr;
  if (getaddrinfo(name, nullptr, &hints, &found) != 0 || found == nullptr) return NPT_ERROR_HOST_UNKNOWN;

  NPT_Result result = NPT_ERROR_HOST_UNKNOWN;
  for (struct addrinfo* entry = found; entry; entry = entry->ai_next) {
    if (entry->ai_family == AF_INET && entry->ai_addr && entry->ai_addrlen >= sizeof(struct sockaddr_in)) {
      const struct sockaddr_in* inet = (const struct sockaddr_in*)entry->ai_addr;
      Set((NPT_UInt32)ntohl(inet->sin_addr.s_addr));
      result = NPT_SUCCESS;
      break;
    }
  }
  freeaddrinfo(found);
  return result;
}
