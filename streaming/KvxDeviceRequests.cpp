// KVX_Device's request operations: every HTTP exchange with the companion
// app, the device stream's GET and discovery's probing HEAD alike, goes
// through them. They hold no device stream state; every argument is explicit.

#include <new>

#include "KvxDevice.h"
#include "KvxHttpTcpConnector.h"

namespace {

const char kAuthenticationHeader[] = "X-LUMOX-AUTH";
const char kAcceptHeader[] = "Accept";
const char kClientHeader[] = "X-LUMOX-CLIENT";

// Time-outs of a stream request, in milliseconds.
const NPT_Timeout kConnectionTimeout = 1000;
const NPT_Timeout kIoTimeout = 30000;
const NPT_Timeout kNameResolverTimeout = 30000;

bool IsAborted(const std::atomic<bool>* aborted) {
  return aborted != nullptr && aborted->load(std::memory_order_acquire);
}

// Records one URL's attempt as KVX_DeviceOutcome describes it.
void RecordAttempt(KVX_DeviceOutcome& outcome, NPT_Result sent, const NPT_HttpResponse* response,
                   const NPT_HttpClient& client) {
  if (response != nullptr) {
    const NPT_HttpEntity* entity = response->GetEntity();
    outcome.http_status = response->GetStatusCode();
    outcome.content_type = entity ? entity->GetContentType() : NPT_String();
    outcome.result = outcome.http_status == 200 && entity ? NPT_SUCCESS : NPT_RESULT_FAILURE;
    return;
  }
  // "Could not connect" comes as one code from every connector; ours keeps
  // the reason.
  const KVX_HttpTcpConnector* connector = dynamic_cast<const KVX_HttpTcpConnector*>(client.GetConnector());
  outcome.result = sent;
  if (sent == NPT_ERROR_INVALID_PARAMETERS && connector && NPT_FAILED(connector->GetConnectFailure())) {
    outcome.result = connector->GetConnectFailure();
  }
  if (NPT_SUCCEEDED(outcome.result)) outcome.result = NPT_RESULT_FAILURE;  // sent, but nothing came back
}

}  // namespace

const char* const KVX_Device::AcceptedTypes = "image/jpeg;image/rgba;image/rgb";

void KVX_Device::InstallConnector(NPT_HttpClient& client, NPT_Int32 device_handle, NPT_Mutex* lock,
                                  const std::atomic<bool>* aborted) {
  KVX_HttpTcpConnector* connector = new (std::nothrow) KVX_HttpTcpConnector(device_handle, aborted);
  // Without memory the client keeps its connector; the send then fails or
  // reuses it.
  if (connector == nullptr) return;
  if (lock) {
    NPT_AutoLock guard(*lock);
    client.SetConnector(connector);
  } else {
    client.SetConnector(connector);
  }
}

NPT_Result KVX_Device::SendRequestLocked(NPT_HttpRequest& request, NPT_HttpClient& client,
                                         NPT_HttpResponse** response, const std::atomic<bool>* aborted,
                                         NPT_Int32 device_handle, const char* client_name, NPT_Mutex* lock) {
  if (response == nullptr) return NPT_ERROR_INVALID_PARAMETERS;

  NPT_String token;
  NPT_Result result = CreateAuthentication(token);
  if (NPT_FAILED(result)) return result;
  NPT_HttpHeaders& headers = request.GetHeaders();
  headers.SetHeader(kAuthenticationHeader, token);
  headers.SetHeader(kAcceptHeader, AcceptedTypes);
  if (client_name) headers.SetHeader(kClientHeader, client_name);

  result = client.SendRequest(request, *response);
  // No connection could be opened (or the client had no connector): one more
  // attempt, at once, through a fresh connector.
  if (result == NPT_ERROR_INVALID_PARAMETERS && !IsAborted(aborted)) {
    delete *response;
    *response = nullptr;
    InstallConnector(client, device_handle, lock, aborted);
    result = client.SendRequest(request, *response);
  }
  return result;
}

NPT_Result KVX_Device::SendUrlLocked(const NPT_HttpUrl& url, NPT_HttpClient& client, NPT_HttpResponse** response,
                                     const std::atomic<bool>* aborted, NPT_Int32 device_handle,
                                     const char* client_name, NPT_Mutex* lock) {
  if (response == nullptr) return NPT_ERROR_INVALID_PARAMETERS;
  *response = nullptr;
  NPT_HttpRequest request(url, NPT_HTTP_METHOD_GET, NPT_HTTP_PROTOCOL_1_0);
  client.SetTimeouts(kConnectionTimeout, kIoTimeout, kNameResolverTimeout);
  return SendRequestLocked(request, client, response, aborted, device_handle, client_name, lock);
}

NPT_Result KVX_Device::SendListLocked(const NPT_List<NPT_HttpUrl>& urls, NPT_HttpClient& client,
                                      NPT_HttpResponse** response, const std::atomic<bool>* aborted,
                                      NPT_Int32 device_handle, const char* client_name, NPT_Mutex* lock,
                                      KVX_DeviceOutcome* outcome) {
  if (response == nullptr) return NPT_ERROR_INVALID_PARAMETERS;
  *response = nullptr;
  for (NPT_List<NPT_HttpUrl>::Iterator url = urls.GetFirstItem(); url; ++url) {
    // An Abort ends the walk: the URLs left would only be tried on
    // connectors that fail at once.
    if (IsAborted(aborted)) break;
    InstallConnector(client, device_handle, lock, aborted);
    // Only the response decides; the send's result is not consulted.
    NPT_Result sent = SendUrlLocked(*url, client, response, aborted, device_handle, client_name, lock);
    if (outcome) RecordAttempt(*outcome, sent, *response, client);
    if (*response && (*response)->GetStatusCode() == 200 && (*response)->GetEntity()) return NPT_SUCCESS;
    delete *response;
    *response = nullptr;
  }
  return NPT_RESULT_FAILURE;
}

NPT_Result KVX_Device::SendRequest(NPT_HttpRequest& request, NPT_HttpClient& client, NPT_HttpResponse** response,
                                   const std::atomic<bool>* aborted, NPT_Int32 device_handle,
                                   const char* client_name) {
  return SendRequestLocked(request, client, response, aborted, device_handle, client_name, nullptr);
}

NPT_Result KVX_Device::SendRequest(NPT_HttpUrl url, NPT_HttpClient& client, NPT_HttpResponse** response,
                                   const std::atomic<bool>* aborted, NPT_Int32 device_handle,
                                   const char* client_name) {
  return SendUrlLocked(url, client, response, aborted, device_handle, client_name, nullptr);
}

NPT_Result KVX_Device::SendRequest(const NPT_List<NPT_HttpUrl>& urls, NPT_HttpClient& client,
                                   NPT_HttpResponse** response, const std::atomic<bool>* aborted,
                                   NPT_Int32 device_handle, const char* client_name) {
  return SendListLocked(urls, client, response, aborted, device_handle, client_name, nullptr);
}
