// App probing: the controller's liveness check on an idle tunnel and the
// authenticated identity request made whenever a new tunnel is opened.

#include <atomic>

#include "KvxDevice.h"
#include "KvxHttpTcpConnector.h"
#include "KvxUSBClientSocket.h"
#include "KvxUSBController.h"
#include "KvxUSBMux.h"
#include "NptHttp.h"
#include "NptStreams.h"

namespace {

const NPT_Timeout kProbeTimeoutMs = 1000;
// How long an idle tunnel is watched for a close or stray data per probe.
const NPT_Timeout kIdleCheckMs = 10;

// `path` (absolute) without its "." and ".." segments; ".." never climbs
// above the root, and a path that ended in one of them ends in "/".
NPT_String RemoveDotSegments(const char* path) {
  NPT_List<NPT_String> kept;
  bool trailing_slash = false;
  const char* segment = path + 1;  // past the leading "/"
  for (;;) {
    const char* end = segment;
    while (*end != '\0' && *end != '/') ++end;
    NPT_String piece(segment, (NPT_Size)(end - segment));
    trailing_slash = piece == "." || piece == "..";
    if (piece == "..") {
      if (kept.GetItemCount() > 0) kept.Erase(kept.GetLastItem());
    } else if (!trailing_slash) {
      kept.Add(piece);
    }
    if (*end == '\0') break;
    segment = end + 1;
  }
  NPT_String result;
  for (NPT_List<NPT_String>::Iterator it = kept.GetFirstItem(); it; ++it) {
    result += "/";
    result += *it;
  }
  if (trailing_slash || result.IsEmpty()) result += "/";
  return result;
}

}  // namespace

bool KVX_USBController::ResolveLocation(const NPT_HttpUrl& base, const char* location, NPT_HttpUrl& url) {
  if (location == nullptr || *location == '\0') return false;
  // A URL on the wire is encoded: blanks, controls and raw 8-bit bytes mean
  // the value is not one.
  for (const char* c = location; *c != '\0'; ++c) {
    if ((unsigned char)*c <= 0x20 || (unsigned char)*c >= 0x7F) return false;
  }

  NPT_HttpUrl resolved;
  NPT_Uri scheme;
  if (location[0] == '/' && location[1] == '/') {
    resolved = NPT_HttpUrl(NPT_String("http:") + location);  // a host of its own, same scheme
  } else if (NPT_SUCCEEDED(scheme.SetSchemeFromUri(location))) {
    resolved = NPT_HttpUrl(location);  // absolute: reset (invalid) unless "http"
  } else {
    // Relative to the URL probed: same host and port, the path merged.
    const char* rest = location;
    while (*rest != '\0' && *rest != '?' && *rest != '#') ++rest;
    NPT_String path(location, (NPT_Size)(rest - location));
    NPT_String query, fragment;
    bool has_query = false, has_fragment = false;
    if (*rest == '?') {
      const char* end = rest + 1;
      while (*end != '\0' && *end != '#') ++end;
      query.Assign(rest + 1, (NPT_Size)(end - rest - 1));
      has_query = true;
      rest = end;
    }
    if (*rest == '#') {
      fragment = rest + 1;
      has_fragment = true;
    }
    if (path.IsEmpty()) {
      path = base.GetPath();
      if (!has_query && base.HasQuery()) {
        query = base.GetQuery();
        has_query = true;
      }
    } else if (path[0] != '/') {
      NPT_String directory = base.GetPath();
      int slash = -1;
      for (int i = 0; i < (int)directory.GetLength(); ++i) {
        if (directory[i] == '/') slash = i;
      }
      path = (slash < 0 ? NPT_String("/") : directory.Left((NPT_Size)slash + 1)) + path;
    }
    if (path.IsEmpty() || path[0] != '/') path.Insert("/");
    resolved = NPT_HttpUrl(base.GetHost(), base.GetPort(), RemoveDotSegments(path), has_query ? query.GetChars() : nullptr,
                           has_fragment ? fragment.GetChars() : nullptr);
  }
  if (!resolved.IsValid() || resolved.GetSchemeId() != NPT_Uri::SCHEME_ID_HTTP) return false;
  url = resolved;
  return true;
}

NPT_Result KVX_USBController::PingApp(NPT_Int32 handle, DeviceAppInfo& info) {
  if (info.socket.IsNull()) {
    int fd = m_Mux.Connect(handle, info.url.GetPort());
    // Only negative results are failures: a host whose standard input is
    // closed can get its tunnel on descriptor 0.
    if (fd < 0) return NPT_RESULT_FAILURE;
    // Wrapped at once so that every path closes the descriptor exactly once:
    // through the socket, when its last reference goes.
    NPT_Reference<KVX_USBClientSocket> tunnel(new KVX_USBClientSocket(fd, 0));
    NPT_Result result = FetchDeviceName(handle, info);
    if (NPT_FAILED(result)) {
      m_Mux.Disconnect(fd);  // does not close; the socket below does
      tunnel.Release();
      return result;
    }
    tunnel->SetReadTimeout(kIdleCheckMs);
    info.socket = tunnel;
  }

  NPT_InputStreamReference input;
  NPT_Result result = info.socket->GetInputStream(input);
  if (NPT_SUCCEEDED(result)) {
    // A 0-byte read waits up to the read timeout for the tunnel to become
    // readable: a time-out means nothing arrived and it is still open.
    unsigned char scratch[1];
    result = input->Read(scratch, 0, nullptr);
    if (result == NPT_ERROR_TIMEOUT) return NPT_SUCCESS;
    if (result == NPT_SUCCESS) result = NPT_RESULT_FAILURE;  // data arrived: not idle any more
  }
  // Closed by the device, stray data, or a socket error: drop the tunnel (it
  // closes with its last reference); the next probe opens a new one and asks
  // again.
  input = NPT_InputStreamReference();
  info.socket = NPT_Reference<KVX_USBClientSocket>();
  return result;
}

NPT_Result KVX_USBController::FetchDeviceName(NPT_Int32 handle, DeviceAppInfo& info) {
  NPT_HttpClient client(new KVX_HttpTcpConnector(handle, m_Mux, &m_Aborted));
  NPT_HttpRequest request(info.url, "HEAD", NPT_HTTP_PROTOCOL_1_0);

  NPT_HttpClient::Config config;
  config.m_ConnectionTimeout = kProbeTimeoutMs;
  config.m_IoTimeout = kProbeTimeoutMs;
  config.m_NameResolverTimeout = kProbeTimeoutMs;
  config.m_FollowRedirect = false;
  client.SetConfig(config);

  NPT_HttpResponse* response = nullptr;
  NPT_Result result = KVX_Device::SendRequest(request, client, &response, &m_Aborted, handle, nullptr);
  if (NPT_FAILED(result)) {
    delete response;  // the caller owns whatever it received, also on failure
    return result;
  }
  if (response == nullptr) return NPT_RESULT_FAILURE;

  NPT_Int32 status = response->GetStatusCode();
  if (status != 200 && status != 302) {
    delete response;
    return NPT_RESULT_FAILURE;
  }
  const NPT_HttpHeaders& headers = response->GetHeaders();
  if (const NPT_String* name = headers.GetHeaderValue("X-DEVICENAME")) info.name = *name;
  if (const NPT_String* server = headers.GetHeaderValue("X-SERVER")) info.server = *server;
  // A value that is no http URL, even relative to this one, leaves the URL
  // as it was: the app stays reachable, and named as it was reported.
  if (const NPT_String* location = headers.GetHeaderValue("Location")) ResolveLocation(info.url, *location, info.url);
  delete response;
  return NPT_SUCCESS;
}
