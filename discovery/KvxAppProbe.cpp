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

}  // namespace

NPT_Result KVX_USBController::PingApp(NPT_Int32 handle, DeviceAppInfo& info) {
  if (info.socket.IsNull()) {
    int fd = m_Mux.Connect(handle, info.url.GetPort());
    if (fd <= 0) return NPT_RESULT_FAILURE;
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
  NPT_HttpClient client(new KVX_HttpTcpConnector(handle, m_Mux));
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
  if (const NPT_String* location = headers.GetHeaderValue("Location")) info.url = NPT_HttpUrl(*location);
  delete response;
  return NPT_SUCCESS;
}
