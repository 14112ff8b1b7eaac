// HTTP client: request sending with redirects, response reading with the body
// left on the connection, the default TCP connector and the proxy selectors.
#include "NptHttp.h"

#include "NptLogging.h"
#include "NptNetwork.h"
#include "NptSockets.h"

NPT_SET_LOCAL_LOGGER("npt.http")

/*----------------------------------------------------------------------
|   NPT_HttpStaticProxySelector
+---------------------------------------------------------------------*/
NPT_Result NPT_HttpStaticProxySelector::GetProxyForUrl(const NPT_HttpUrl&, NPT_HttpProxyAddress& proxy) {
  proxy = m_Proxy;
  return NPT_SUCCESS;
}

/*----------------------------------------------------------------------
|   NPT_HttpTcpConnector
+---------------------------------------------------------------------*/
NPT_HttpTcpConnector::NPT_HttpTcpConnector(bool keep_socket) : m_KeepSocket(keep_socket) {}

NPT_HttpTcpConnector::~NPT_HttpTcpConnector() {}

NPT_Result NPT_HttpTcpConnector::Connect(const char* hostname, NPT_UInt16 port, bool /*secure*/,
                                         NPT_Timeout connection_timeout, NPT_Timeout io_timeout,
                                         NPT_Timeout name_resolver_timeout, NPT_InputStreamReference& input_stream,
                                         NPT_OutputStreamReference& output_stream) {
  input_stream.Release();
  output_stream.Release();
  {
    NPT_AutoLock lock(m_Lock);
    m_Socket.Release();
  }

  NPT_IpAddress address;
  NPT_CHECK_FINE(address.ResolveName(hostname, name_resolver_timeout));

  NPT_LOG_FINE("will connect to %s:%d", hostname, (int)port);
  NPT_Reference<NPT_Socket> connection(new (std::nothrow) NPT_TcpClientSocket(NPT_SOCKET_FLAG_CANCELLABLE));
  if (connection.IsNull()) return NPT_ERROR_OUT_OF_MEMORY;
  connection->SetReadTimeout(io_timeout);
  connection->SetWriteTimeout(io_timeout);

  // Remembered before connecting so that Abort also ends a connect in progress.
  if (m_KeepSocket) {
    NPT_AutoLock lock(m_Lock);
    m_Socket = connection;
  }

  NPT_Result result = connection->Connect(NPT_SocketAddress(address, port), connection_timeout);
  if (NPT_SUCCEEDED(result)) result = connection->GetInputStream(input_stream);
  if (NPT_SUCCEEDED(result)) result = connection->GetOutputStream(output_stream);
  if (NPT_FAILED(result)) {
    input_stream.Release();
    output_stream.Release();
    NPT_AutoLock lock(m_Lock);
    if (m_Socket == connection) m_Socket.Release();
    return result;
  }
  return NPT_SUCCESS;
}

NPT_Result NPT_HttpTcpConnector::Abort() {
  NPT_AutoLock lock(m_Lock);
  if (!m_Socket.IsNull()) {
    m_Socket->Cancel(true);
    m_Socket.Release();
  }
  return NPT_SUCCESS;
}

/*----------------------------------------------------------------------
|   NPT_HttpClient
+---------------------------------------------------------------------*/
NPT_HttpClient::NPT_HttpClient(Connector* connector)
    : m_ProxySelector(nullptr), m_ProxySelectorIsOwned(false), m_Connector(connector) {
  if (m_Connector == nullptr) m_Connector = new (std::nothrow) NPT_HttpTcpConnector(false);
}

NPT_HttpClient::~NPT_HttpClient() {
  if (m_ProxySelectorIsOwned) delete m_ProxySelector;
  delete m_Connector;
}

NPT_Result NPT_HttpClient::SetConfig(const Config& config) {
  m_Config = config;
  return NPT_SUCCESS;
}

NPT_Result NPT_HttpClient::SetTimeouts(NPT_Timeout connection_timeout, NPT_Timeout io_timeout,
                                       NPT_Timeout name_resolver_timeout) {
  m_Config.m_ConnectionTimeout = connection_timeout;
  m_Config.m_IoTimeout = io_timeout;
  m_Config.m_NameResolverTimeout = name_resolver_timeout;
  return NPT_SUCCESS;
}

NPT_Result NPT_HttpClient::SetConnector(Connector* connector) {
  if (connector != m_Connector) {
    delete m_Connector;
    m_Connector = connector;
  }
  return NPT_SUCCESS;
}

NPT_Result NPT_HttpClient::SetProxySelector(NPT_HttpProxySelector* selector) {
  if (m_ProxySelectorIsOwned && m_ProxySelector != selector) delete m_ProxySelector;
  m_ProxySelector = selector;
  m_ProxySelectorIsOwned = false;
  return NPT_SUCCESS;
}

NPT_Result NPT_HttpClient::SetProxy(const char* hostname, NPT_UInt16 port) {
  if (m_ProxySelectorIsOwned) delete m_ProxySelector;
  m_ProxySelector = nullptr;
  m_ProxySelectorIsOwned = false;
  if (hostname && hostname[0] && port) {
    m_ProxySelector = new (std::nothrow) NPT_HttpStaticProxySelector(hostname, port);
    if (m_ProxySelector == nullptr) return NPT_ERROR_OUT_OF_MEMORY;
    m_ProxySelectorIsOwned = true;
  }
  return NPT_SUCCESS;
}

NPT_Result NPT_HttpClient::Abort() {
  if (m_Connector) m_Connector->Abort();
  return NPT_SUCCESS;
}

NPT_Result NPT_HttpClient::SendRequest(NPT_HttpRequest& request, NPT_HttpResponse*& response) {
  response = nullptr;
  if (request.GetEntity() && request.GetMethod() == NPT_HTTP_METHOD_GET) return NPT_ERROR_HTTP_INVALID_REQUEST;

  NPT_Cardinal redirects_left = NPT_HTTP_MAX_REDIRECTS;
  for (;;) {
    NPT_Result result = SendRequestOnce(request, response);
    if (NPT_FAILED(result) || response == nullptr || !m_Config.m_FollowRedirect) return result;
    if (request.GetMethod() != NPT_HTTP_METHOD_GET && request.GetMethod() != NPT_HTTP_METHOD_HEAD) return result;

    NPT_Int32 status = response->GetStatusCode();
    if (status != 301 && status != 302 && status != 303 && status != 307) return result;
    const NPT_String* location = response->GetHeaders().GetHeaderValue(NPT_HTTP_HEADER_LOCATION);
    if (location == nullptr || location->IsEmpty()) return result;

    // Copied: the value belongs to the response destroyed below.
    NPT_String target = *location;
    request.SetUrl(target.GetChars());
    NPT_LOG_FINE("redirecting to %s", target.GetChars());
    delete response;
    response = nullptr;
    if (redirects_left == 0) return NPT_SUCCESS;
    --redirects_left;
  }
}

NPT_Result NPT_HttpClient::SendRequestOnce(NPT_HttpRequest& request, NPT_HttpResponse*& response) {
  response = nullptr;
  NPT_LOG_FINE("requesting URL %s", request.GetUrl().ToString().GetChars());

  NPT_String server_hostname = request.GetUrl().GetHost();
  NPT_UInt16 server_port = request.GetUrl().GetPort();
  bool use_proxy = false;
  if (m_ProxySelector) {
    NPT_HttpProxyAddress proxy;
    NPT_Result result = m_ProxySelector->GetProxyForUrl(request.GetUrl(), proxy);
    if (NPT_FAILED(result) && result != NPT_ERROR_HTTP_NO_PROXY) {
      NPT_LOG_WARNING("proxy selector failure (%d)", (int)result);
      return result;
    }
    server_hostname = proxy.GetHostName();
    server_port = proxy.GetPort();
    use_proxy = true;
  }

  if (m_Connector == nullptr) {
    NPT_LOG_WARNING("@@@ NULL pointer parameter");
    return NPT_ERROR_INVALID_PARAMETERS;
  }

  NPT_LOG_FINER("connecting to %s:%d", server_hostname.GetChars(), (int)server_port);
  NPT_InputStreamReference input_stream;
  NPT_OutputStreamReference output_stream;
  NPT_CHECK_WARNING((m_Connector->Connect(server_hostname, server_port, !request.GetUrl().GetScheme().Compare("HTTPS", true), m_Config.m_ConnectionTimeout, m_Config.m_IoTimeout, m_Config.m_NameResolverTimeout, input_stream, output_stream)));
  if (input_stream.IsNull() || output_stream.IsNull()) return NPT_ERROR_INTERNAL;

  NPT_CHECK_WARNING((WriteRequest(*output_stream.AsPointer(), request, use_proxy)));
  output_stream.Release();

  bool expect_body = request.GetMethod() == NPT_HTTP_METHOD_GET || request.GetMethod() == NPT_HTTP_METHOD_POST;
  return ReadResponse(input_stream, expect_body, response);
}

namespace {

NPT_Result CopyBody(NPT_InputStream& body, NPT_OutputStream& output, NPT_LargeSize length) {
  NPT_LargeSize bytes_written = 0;
  NPT_Result result = NPT_StreamToStreamCopy(body, output, 0, length, &bytes_written);
  if (NPT_FAILED(result)) {
    NPT_LOG_FINE("body stream only partially sent, %lld bytes (%d:%s)", (long long)bytes_written, (int)result,
                 NPT_ResultName(result));
  }
  return result;
}

}  // namespace

NPT_Result NPT_HttpClient::WriteRequest(NPT_OutputStream& output_stream, NPT_HttpRequest& request, bool use_proxy) {
  NPT_HttpHeaders& headers = request.GetHeaders();

  if (request.GetProtocol() == NPT_HTTP_PROTOCOL_1_0 && headers.GetHeader(NPT_HTTP_HEADER_CONNECTION) == nullptr) {
    headers.AddHeader(NPT_HTTP_HEADER_CONNECTION, "close");
  }

  NPT_String host = request.GetUrl().GetHost();
  if (request.GetUrl().GetPort() != NPT_HTTP_DEFAULT_PORT) {
    host += ":";
    host += NPT_String::FromInteger(request.GetUrl().GetPort());
  }
  if (headers.GetHeader(NPT_HTTP_HEADER_HOST) == nullptr) headers.AddHeader(NPT_HTTP_HEADER_HOST, host);

  NPT_HttpEntity* entity = request.GetEntity();
  NPT_InputStreamReference body_stream;
  if (entity && NPT_SUCCEEDED(entity->GetInputStream(body_stream))) {
    if (entity->ContentLengthIsKnown()) {
      headers.SetHeader(NPT_HTTP_HEADER_CONTENT_LENGTH, NPT_String::FromIntegerU(entity->GetContentLength()));
    }
    if (!entity->GetContentType().IsEmpty()) {
      headers.SetHeader(NPT_HTTP_HEADER_CONTENT_TYPE, entity->GetContentType());
    }
    if (!entity->GetContentEncoding().IsEmpty()) {
      headers.SetHeader(NPT_HTTP_HEADER_CONTENT_ENCODING, entity->GetContentEncoding());
    }
    if (!entity->GetTransferEncoding().IsEmpty()) {
      headers.SetHeader(NPT_HTTP_HEADER_TRANSFER_ENCODING, entity->GetTransferEncoding());
    }
  } else {
    headers.SetHeader(NPT_HTTP_HEADER_CONTENT_LENGTH, "0");
  }

  // The whole header block goes out in one write.
  NPT_MemoryStream header_block;
  NPT_CHECK_WARNING(request.Emit(header_block, use_proxy));
  const NPT_DataBuffer& header_stream = header_block.GetBuffer();
  NPT_CHECK_WARNING((output_stream.WriteFully(header_stream.GetData(), header_stream.GetDataSize())));

  NPT_Result result = NPT_SUCCESS;
  if (!body_stream.IsNull()) {
    NPT_LOG_FINE("sending body stream, %lld bytes", (long long)entity->GetContentLength());
    if (entity->GetTransferEncoding() == NPT_HTTP_TRANSFER_ENCODING_CHUNKED) {
      // The wrapper writes the last-chunk marker when it goes out of scope.
      NPT_HttpChunkedOutputStream chunked(output_stream);
      result = CopyBody(*body_stream, chunked, entity->GetContentLength());
    } else {
      result = CopyBody(*body_stream, output_stream, entity->GetContentLength());
    }
  }

  NPT_Result flushed = output_stream.Flush();
  return NPT_FAILED(result) ? result : flushed;
}

NPT_Result NPT_HttpClient::ReadResponse(const NPT_InputStreamReference& input_stream, bool expect_body,
                                        NPT_HttpResponse*& response) {
  response = nullptr;
  NPT_BufferedInputStreamReference buffered_input_stream(
      new (std::nothrow) NPT_BufferedInputStream(input_stream, NPT_BUFFERED_BYTE_STREAM_DEFAULT_SIZE));
  if (buffered_input_stream.IsNull()) return NPT_ERROR_OUT_OF_MEMORY;

  bool reuse_response = false;
  NPT_CHECK_FINE((NPT_HttpResponse::Parse(*buffered_input_stream, response, reuse_response)));
  NPT_LOG_FINER("got response, code=%d, msg=%s", (int)response->GetStatusCode(),
                response->GetReasonPhrase().GetChars());
  while (response->GetStatusCode() / 100 == 1) {
    NPT_LOG_FINE("NPT_HttpClient::SendRequest - received 100 continue\n");
    reuse_response = true;
    NPT_CHECK_FINE((NPT_HttpResponse::Parse(*buffered_input_stream, response, reuse_response)));
  }

  // From here on the body comes straight from the connection once the bytes
  // already buffered are consumed.
  buffered_input_stream->SetBufferSize(0);

  if (expect_body) {
    NPT_HttpEntity* entity = new (std::nothrow) NPT_HttpEntity(response->GetHeaders());
    if (entity == nullptr) return NPT_ERROR_OUT_OF_MEMORY;
    if (entity->GetTransferEncoding() == NPT_HTTP_TRANSFER_ENCODING_CHUNKED) {
      NPT_HttpChunkedInputStream* chunked = new (std::nothrow) NPT_HttpChunkedInputStream(buffered_input_stream);
      if (chunked == nullptr) {
        delete entity;
        return NPT_ERROR_OUT_OF_MEMORY;
      }
      entity->SetInputStream(NPT_InputStreamReference(chunked));
      entity->SetTransferEncoding("");
    } else {
      entity->SetInputStream(buffered_input_stream);
    }
    response->SetEntity(entity);
  }
  return NPT_SUCCESS;
}
