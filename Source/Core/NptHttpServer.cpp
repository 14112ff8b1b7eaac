// The HTTP/1.0 server: binding, accepting, request dispatch by path, the
// canned 403/404/500 answers and the response writer.

#include "NptHttpServer.h"

#include <chrono>

#include "NptLogging.h"
#include "NptSystem.h"
#include "NptUri.h"

NPT_SET_LOCAL_LOGGER("npt.http")

static const char kForbiddenBody[] =
    "<html><head><title>403 Forbidden</title></head><body><h1>Forbidden</h1><p>Access to this URL is "
    "forbidden.</p></html>";
static const char kNotFoundBody[] =
    "<html><head><title>404 Not Found</title></head><body><h1>Not Found</h1><p>The requested URL was not found "
    "on this server.</p></html>";
static const char kInternalErrorBody[] =
    "<html><head><title>500 Internal Error</title></head><body><h1>Internal Error</h1><p>The server encountered "
    "an unexpected condition which prevented it from fulfilling the request.</p></html>";

// A canned answer: a fresh response, so nothing a failed handler set (its
// headers, encodings or its own entity) can reach it. Null when out of memory.
static NPT_HttpResponse* NewCannedResponse(NPT_Int32 status_code, const char* reason_phrase, const char* page) {
  NPT_HttpResponse* response = new (std::nothrow) NPT_HttpResponse(status_code, reason_phrase, NPT_HTTP_PROTOCOL_1_0);
  NPT_HttpEntity* entity = new (std::nothrow) NPT_HttpEntity();
  if (response == nullptr || entity == nullptr || NPT_FAILED(entity->SetInputStream(page))) {
    delete response;
    delete entity;
    return nullptr;
  }
  entity->SetContentType("text/html");
  response->SetEntity(entity);
  return response;
}

/*----------------------------------------------------------------------
|   NPT_HttpHeadDeadlineStream
+---------------------------------------------------------------------*/
// The client's input while the server reads a request head: each read waits
// at most what is left of the head deadline (and never longer than the I/O
// timeout), so a client that sends a byte now and then cannot hold the
// server. End() gives the reads their I/O timeout back for the body.
// Used on the server's thread only.
class NPT_HttpHeadDeadlineStream : public NPT_InputStream {
 public:
  NPT_HttpHeadDeadlineStream(const NPT_Reference<NPT_Socket>& socket, const NPT_InputStreamReference& source,
                             NPT_Timeout head_timeout, NPT_Timeout io_timeout)
      : m_Socket(socket),
        m_Source(source),
        m_IoTimeout(io_timeout),
        m_Bounded(head_timeout >= 0),
        m_Deadline(Clock::now() + std::chrono::milliseconds(head_timeout > 0 ? head_timeout : 0)) {}

  void End() {
    if (!m_Bounded) return;
    m_Bounded = false;
    m_Socket->SetReadTimeout(m_IoTimeout);
  }

  NPT_Result Read(void* buffer, NPT_Size bytes_to_read, NPT_Size* bytes_read) override {
    if (bytes_read) *bytes_read = 0;
    if (m_Bounded) {
      auto left = std::chrono::ceil<std::chrono::milliseconds>(m_Deadline - Clock::now()).count();
      if (left <= 0) {
        NPT_LOG_FINE("request head not complete within its deadline");
        return NPT_ERROR_TIMEOUT;
      }
      NPT_Timeout wait = (NPT_Timeout)left;
      if (m_IoTimeout >= 0 && m_IoTimeout < wait) wait = m_IoTimeout;
      m_Socket->SetReadTimeout(wait);
    }
    return m_Source->Read(buffer, bytes_to_read, bytes_read);
  }
  NPT_Result Seek(NPT_Position offset) override { return m_Source->Seek(offset); }
  NPT_Result Tell(NPT_Position& offset) override { return m_Source->Tell(offset); }
  NPT_Result GetSize(NPT_LargeSize& size) override { return m_Source->GetSize(size); }
  NPT_Result GetAvailable(NPT_LargeSize& available) override { return m_Source->GetAvailable(available); }

 private:
  typedef std::chrono::steady_clock Clock;
  NPT_Reference<NPT_Socket> m_Socket;
  NPT_InputStreamReference m_Source;
  NPT_Timeout m_IoTimeout;
  bool m_Bounded;
  Clock::time_point m_Deadline;
};

/*----------------------------------------------------------------------
|   NPT_HttpRequestHandler
+---------------------------------------------------------------------*/
NPT_Result NPT_HttpRequestHandler::SendResponseBody(const NPT_HttpRequestContext& /*context*/,
                                                    NPT_HttpResponse& response, NPT_OutputStream& output) {
  NPT_HttpEntity* entity = response.GetEntity();
  if (entity == nullptr) return NPT_SUCCESS;
  NPT_InputStreamReference body;
  entity->GetInputStream(body);
  if (body.IsNull()) return NPT_SUCCESS;

  NPT_HttpChunkedOutputStream* chunked = nullptr;
  NPT_OutputStream* destination = &output;
  if (entity->GetTransferEncoding() == NPT_HTTP_TRANSFER_ENCODING_CHUNKED) {
    chunked = new (std::nothrow) NPT_HttpChunkedOutputStream(output);
    if (chunked == nullptr) return NPT_ERROR_OUT_OF_MEMORY;
    destination = chunked;
  }

  NPT_LOG_FINE("sending body stream, %lld bytes", (long long)entity->GetContentLength());
  NPT_LargeSize bytes_written = 0;
  NPT_Result result = NPT_StreamToStreamCopy(*body, *destination, 0, entity->GetContentLength(), &bytes_written);
  if (NPT_FAILED(result)) {
    NPT_LOG_FINE("body stream only partially sent, %lld bytes (%d:%s)", (long long)bytes_written, result,
                 NPT_ResultName(result));
  }
  destination->Flush();
  // Destroying the encoder writes the last-chunk marker.
  delete chunked;
  return result;
}

/*----------------------------------------------------------------------
|   NPT_HttpResponder
+---------------------------------------------------------------------*/
NPT_HttpResponder::NPT_HttpResponder(const NPT_InputStreamReference& input, const NPT_OutputStreamReference& output)
    : m_Input(new NPT_BufferedInputStream(input)), m_Output(output) {}

NPT_Result NPT_HttpResponder::ParseRequest(NPT_HttpRequest*& request, const NPT_SocketAddress* local_address) {
  request = nullptr;
  m_Input->SetBufferSize(NPT_HTTP_SERVER_INPUT_BUFFER_SIZE);
  NPT_CHECK_FINE((NPT_HttpRequest::Parse(*m_Input, local_address, request)));

  // The body, if any, is read by the handler straight from the connection.
  m_Input->SetBufferSize(0);

  if (request->GetMethod() != NPT_HTTP_METHOD_GET && request->GetMethod() != NPT_HTTP_METHOD_HEAD) {
    NPT_HttpEntity* entity = new (std::nothrow) NPT_HttpEntity(request->GetHeaders());
    if (entity == nullptr) {
      delete request;
      request = nullptr;
      return NPT_ERROR_OUT_OF_MEMORY;
    }
    if (entity->GetTransferEncoding() == NPT_HTTP_TRANSFER_ENCODING_CHUNKED) {
      entity->SetInputStream(NPT_InputStreamReference(new NPT_HttpChunkedInputStream(m_Input)));
    } else {
      entity->SetInputStream(NPT_InputStreamReference(m_Input));
    }
    request->SetEntity(entity);
  }
  return NPT_SUCCESS;
}

NPT_Result NPT_HttpResponder::SendResponseHeaders(NPT_HttpResponse& response) {
  NPT_HttpHeaders& headers = response.GetHeaders();
  if (headers.GetHeader(NPT_HTTP_HEADER_SERVER) == nullptr) {
    headers.SetHeader(NPT_HTTP_HEADER_SERVER, NPT_HTTP_SERVER_PRODUCT);
  }
  if (response.GetProtocol() == NPT_HTTP_PROTOCOL_1_0 && headers.GetHeader(NPT_HTTP_HEADER_CONNECTION) == nullptr) {
    headers.SetHeader(NPT_HTTP_HEADER_CONNECTION, "close");
  }

  NPT_HttpEntity* entity = response.GetEntity();
  if (entity) {
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

  NPT_MemoryStream buffer;
  NPT_CHECK_WARNING((response.Emit(buffer)));
  NPT_CHECK_WARNING((m_Output->WriteFully(buffer.GetBuffer().GetData(), buffer.GetBuffer().GetDataSize())));
  return NPT_SUCCESS;
}

/*----------------------------------------------------------------------
|   NPT_HttpServer
+---------------------------------------------------------------------*/
NPT_HttpServer::NPT_HttpServer(NPT_UInt16 listen_port, bool reuse_address)
    : NPT_HttpServer(NPT_IpAddress::Any, listen_port, reuse_address) {}

NPT_HttpServer::NPT_HttpServer(const NPT_IpAddress& listen_address, NPT_UInt16 listen_port, bool reuse_address)
    : m_Socket(NPT_SOCKET_FLAG_CANCELLABLE),
      m_BoundPort(0),
      m_Aborted(false),
      m_AbortSignal(0),
      m_HeadDeadline(nullptr) {
  m_Config.m_ListenAddress = listen_address;
  m_Config.m_ListenPort = listen_port;
  m_Config.m_ReuseAddress = reuse_address;
}

NPT_HttpServer::~NPT_HttpServer() { m_RequestHandlers.Apply(NPT_ObjectDeleter()); }

NPT_Result NPT_HttpServer::Bind() {
  if (m_BoundPort != 0) return NPT_SUCCESS;
  NPT_SocketAddress address(m_Config.m_ListenAddress, m_Config.m_ListenPort);
  NPT_Result result = m_Socket.Bind(address, m_Config.m_ReuseAddress);
  if (NPT_FAILED(result)) return result;
  NPT_SocketInfo info;
  result = m_Socket.GetInfo(info);
  if (NPT_FAILED(result)) return result;
  // Listening at once lets clients connect as soon as the port is known,
  // not only once the loop reaches its first accept.
  result = m_Socket.Listen(NPT_TCP_SERVER_SOCKET_DEFAULT_LISTEN_COUNT);
  if (NPT_FAILED(result)) return result;
  m_BoundPort = info.local_address.GetPort();
  return NPT_SUCCESS;
}

NPT_Result NPT_HttpServer::SetConfig(const Config& config) {
  m_Config = config;
  return Bind();
}

NPT_Result NPT_HttpServer::SetListenPort(NPT_UInt16 port, bool reuse_address) {
  m_Config.m_ListenPort = port;
  m_Config.m_ReuseAddress = reuse_address;
  return Bind();
}

NPT_Result NPT_HttpServer::SetTimeouts(NPT_Timeout connection_timeout, NPT_Timeout io_timeout) {
  m_Config.m_ConnectionTimeout = connection_timeout;
  m_Config.m_IoTimeout = io_timeout;
  return Bind();
}

NPT_Result NPT_HttpServer::AddRequestHandler(NPT_HttpRequestHandler* handler, const char* path,
                                             bool include_children) {
  HandlerConfig* entry = new (std::nothrow) HandlerConfig(handler, path, include_children);
  if (entry == nullptr) return NPT_ERROR_OUT_OF_MEMORY;
  NPT_Result result = m_RequestHandlers.Add(entry);
  if (NPT_FAILED(result)) delete entry;
  return result;
}

NPT_HttpRequestHandler* NPT_HttpServer::FindRequestHandler(NPT_HttpRequest& request) {
  NPT_String path = NPT_Uri::PercentDecode(request.GetUrl().GetPath());
  for (NPT_List<HandlerConfig*>::Iterator it = m_RequestHandlers.GetFirstItem(); it; ++it) {
    HandlerConfig* entry = *it;
    if (entry->m_IncludeChildren) {
      if (path.StartsWith(entry->m_Path)) return entry->m_Handler;
    } else if (path == entry->m_Path) {
      return entry->m_Handler;
    }
  }
  return nullptr;
}

NPT_Result NPT_HttpServer::WaitForNewClient(NPT_InputStreamReference& input, NPT_OutputStreamReference& output,
                                            NPT_HttpRequestContext* context) {
  NPT_Reference<NPT_Socket> client;
  NPT_Result result = WaitForClient(input, output, context, client);
  // Only the streams keep the connection.
  client.Release();
  return result;
}

NPT_Result NPT_HttpServer::WaitForClient(NPT_InputStreamReference& input, NPT_OutputStreamReference& output,
                                         NPT_HttpRequestContext* context, NPT_Reference<NPT_Socket>& client) {
  input.Release();
  output.Release();
  client.Release();
  if (m_Aborted.load(std::memory_order_acquire)) return NPT_ERROR_TERMINATED;

  NPT_Result result = Bind();
  if (NPT_FAILED(result)) return result;

  NPT_LOG_FINE("waiting for new connection on %s:%d...", m_Config.m_ListenAddress.ToString().GetChars(),
               (int)m_BoundPort);
  NPT_Socket* socket = nullptr;
  result = m_Socket.WaitForNewClient(socket, m_Config.m_ConnectionTimeout, NPT_SOCKET_FLAG_CANCELLABLE);
  if (m_Aborted.load(std::memory_order_acquire)) {
    delete socket;
    return NPT_ERROR_TERMINATED;
  }
  if (NPT_FAILED(result)) {
    NPT_LOG_WARNING("NPT_CHECK failed, result=%d (%s) [%s]", result, NPT_ResultName(result),
                    "(m_Socket.WaitForNewClient(client, m_Config.m_ConnectionTimeout))");
    delete socket;
    return result;
  }
  if (socket == nullptr) return NPT_ERROR_INTERNAL;
  client = socket;

  if (context) {
    NPT_SocketInfo info;
    client->GetInfo(info);
    context->SetLocalAddress(info.local_address);
    context->SetRemoteAddress(info.remote_address);
    NPT_LOG_FINE("client connected (%s <- %s)", info.local_address.ToString().GetChars(),
                 info.remote_address.ToString().GetChars());
  }
  client->SetReadTimeout(m_Config.m_IoTimeout);
  client->SetWriteTimeout(m_Config.m_IoTimeout);
  result = client->GetInputStream(input);
  if (NPT_SUCCEEDED(result)) result = client->GetOutputStream(output);
  if (NPT_FAILED(result)) {
    input.Release();
    output.Release();
    client.Release();
  }
  return result;
}

NPT_Result NPT_HttpServer::Loop() {
  for (;;) {
    NPT_InputStreamReference input;
    NPT_OutputStreamReference output;
    NPT_HttpRequestContext context;
    NPT_Reference<NPT_Socket> client;
    NPT_Result result = WaitForClient(input, output, &context, client);
    NPT_LOG_FINE("WaitForNewClient returned %d (%s)", result, NPT_ResultName(result));
    if (NPT_FAILED(result)) {
      if (result == NPT_ERROR_TERMINATED) break;
      NPT_LOG_FINE("sleeping before restarting the loop");
      // A pause so a persistent accept failure does not spin; Abort cuts it short.
      m_AbortSignal.WaitUntilEquals(1, 1000);
      continue;
    }

    {
      // Published for Abort; an Abort that came before this point has missed
      // it, so it is honoured here.
      NPT_AutoLock lock(m_ClientLock);
      m_Client = client;
      if (m_Aborted.load(std::memory_order_acquire)) client->Cancel();
    }
    NPT_HttpHeadDeadlineStream* head_deadline =
        new NPT_HttpHeadDeadlineStream(client, input, m_Config.m_HeadTimeout, m_Config.m_IoTimeout);
    input = head_deadline;
    m_HeadDeadline = head_deadline;
    result = RespondToClient(input, output, context);
    m_HeadDeadline = nullptr;
    NPT_LOG_FINE("ResponToClient returned %d (%s)", result, NPT_ResultName(result));
    {
      NPT_AutoLock lock(m_ClientLock);
      m_Client.Release();
    }
    // Closes the connection.
    input.Release();
    output.Release();
    client.Release();
    if (result == NPT_ERROR_TERMINATED || m_Aborted.load(std::memory_order_acquire)) break;
  }
  return NPT_ERROR_TERMINATED;
}

NPT_Result NPT_HttpServer::Abort() {
  m_Aborted.store(true, std::memory_order_release);
  m_AbortSignal.SetValue(1);
  m_Socket.Cancel();
  NPT_AutoLock lock(m_ClientLock);
  if (!m_Client.IsNull()) m_Client->Cancel();
  return NPT_SUCCESS;
}

NPT_Result NPT_HttpServer::RespondToClient(const NPT_InputStreamReference& input,
                                           const NPT_OutputStreamReference& output,
                                           const NPT_HttpRequestContext& context) {
  NPT_HttpResponder responder(input, output);
  NPT_HttpRequest* request = nullptr;
  NPT_CHECK_WARNING((responder.ParseRequest(request, &context.GetLocalAddress())));
  // The head is in: a body, if any, is read under the I/O timeout alone.
  if (m_HeadDeadline) m_HeadDeadline->End();

  NPT_LOG_FINE("request, path=%s", request->GetUrl().ToRequestString(true).GetChars());

  NPT_HttpResponse* response = nullptr;
  NPT_HttpRequestHandler* handler = FindRequestHandler(*request);
  NPT_Result result = NPT_SUCCESS;
  bool terminate = false;

  if (handler) {
    response = new (std::nothrow) NPT_HttpResponse(200, "OK", NPT_HTTP_PROTOCOL_1_0);
    NPT_HttpEntity* body = new (std::nothrow) NPT_HttpEntity();
    if (response == nullptr || body == nullptr) {
      delete response;
      delete body;
      delete request;
      return NPT_ERROR_OUT_OF_MEMORY;
    }
    response->SetEntity(body);
    NPT_Result setup = handler->SetupResponse(*request, context, *response);
    if (setup == NPT_ERROR_TERMINATED) {
      terminate = true;
    } else if (NPT_FAILED(setup)) {
      // The handler may have replaced the entity or set headers and
      // encodings: what it built is dropped, and the answer starts afresh.
      delete response;
      response = nullptr;
      handler = nullptr;
      if (setup == NPT_ERROR_PERMISSION_DENIED) {
        response = NewCannedResponse(403, "Forbidden", kForbiddenBody);
      } else if (setup != NPT_ERROR_NO_SUCH_ITEM) {
        response = NewCannedResponse(500, "Internal Error", kInternalErrorBody);
      }
      if (response == nullptr && setup != NPT_ERROR_NO_SUCH_ITEM) {
        delete request;
        return NPT_ERROR_OUT_OF_MEMORY;
      }
    }
  }
  if (response == nullptr) {
    // No handler, or one that declined.
    response = NewCannedResponse(404, "Not Found", kNotFoundBody);
    if (response == nullptr) {
      delete request;
      return NPT_ERROR_OUT_OF_MEMORY;
    }
  }

  bool flush = true;
  result = responder.SendResponseHeaders(*response);
  if (NPT_FAILED(result)) {
    NPT_LOG_WARNING("SendResponseHeaders failed (%d:%s)", result, NPT_ResultName(result));
  } else if (request->GetMethod() != NPT_HTTP_METHOD_HEAD) {
    if (handler) {
      result = handler->SendResponseBody(context, *response, *output);
    } else {
      NPT_HttpEntity* entity = response->GetEntity();
      NPT_InputStreamReference body_stream;
      if (entity) entity->GetInputStream(body_stream);
      if (!body_stream.IsNull()) {
        result = NPT_StreamToStreamCopy(*body_stream, *output, 0, entity->GetContentLength());
        if (NPT_FAILED(result)) {
          NPT_LOG_INFO("NPT_StreamToStreamCopy returned %d (%s)", result, NPT_ResultName(result));
          flush = false;
        }
      }
    }
  }
  if (flush) output->Flush();

  delete response;
  delete request;
  if (terminate && NPT_SUCCEEDED(result)) result = NPT_ERROR_TERMINATED;
  return result;
}
