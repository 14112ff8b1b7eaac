#pragma once
// A minimal HTTP/1.0 server: one listening TCP socket, one client at a time,
// one request and one response per connection, handlers found by path.
//
// Threads: the server is driven by one thread (Loop, or WaitForNewClient and
// RespondToClient). Abort is the exception: any thread may call it to end a
// running Loop promptly, also while it waits for a client or serves one.
//
// Clients are not trusted: a request line must be shorter than
// NPT_HTTP_PROTOCOL_MAX_LINE_LENGTH (a longer one gets no response and the
// connection is closed), the header block is bounded like the client's
// (NPT_HttpHeaders::Parse), every read and write waits at most the
// input/output timeout, and in Loop the whole request head must arrive within
// the head timeout; a client that misses one is dropped and the loop goes on.

#include <atomic>

#include "NptBufferedStreams.h"
#include "NptHttp.h"
#include "NptList.h"
#include "NptNetwork.h"
#include "NptReferences.h"
#include "NptResults.h"
#include "NptSockets.h"
#include "NptStreams.h"
#include "NptStrings.h"
#include "NptThreads.h"
#include "NptTypes.h"

class NPT_HttpHeadDeadlineStream;

// The "Server" header value of every response that does not set its own.
#define NPT_HTTP_SERVER_PRODUCT "NPT/1.0.2"

const NPT_Timeout NPT_HTTP_SERVER_DEFAULT_CONNECTION_TIMEOUT = NPT_TIMEOUT_INFINITE;
const NPT_Timeout NPT_HTTP_SERVER_DEFAULT_IO_TIMEOUT = 60000;
// Longest time a client may take to send a whole request head, however
// steadily its bytes come (each read alone is bounded by the I/O timeout).
const NPT_Timeout NPT_HTTP_SERVER_DEFAULT_HEAD_TIMEOUT = 30000;
// Size of the buffered reader a responder puts over the client's input.
const NPT_Size NPT_HTTP_SERVER_INPUT_BUFFER_SIZE = 4096;

// What the server learns about a client when it connects.
class NPT_HttpRequestContext {
 public:
  NPT_HttpRequestContext() {}
  NPT_HttpRequestContext(const NPT_SocketAddress* local_address, const NPT_SocketAddress* remote_address) {
    if (local_address) m_LocalAddress = *local_address;
    if (remote_address) m_RemoteAddress = *remote_address;
  }

  const NPT_SocketAddress& GetLocalAddress() const { return m_LocalAddress; }
  const NPT_SocketAddress& GetRemoteAddress() const { return m_RemoteAddress; }
  void SetLocalAddress(const NPT_SocketAddress& address) { m_LocalAddress = address; }
  void SetRemoteAddress(const NPT_SocketAddress& address) { m_RemoteAddress = address; }

 private:
  NPT_SocketAddress m_LocalAddress;
  NPT_SocketAddress m_RemoteAddress;
};

// Serves the requests of the paths it is registered for. Called on the
// server's thread.
class NPT_HttpRequestHandler {
 public:
  virtual ~NPT_HttpRequestHandler() {}

  // Fills `response` (status 200 "OK", protocol "HTTP/1.0" and an empty entity
  // on entry). Results the server acts on: NPT_ERROR_NO_SUCH_ITEM answers 404
  // as if no handler matched; NPT_ERROR_PERMISSION_DENIED answers 403;
  // NPT_ERROR_TERMINATED sends the response normally and then ends the
  // server's Loop; any other failure answers 500.
  virtual NPT_Result SetupResponse(NPT_HttpRequest& request, const NPT_HttpRequestContext& context,
                                   NPT_HttpResponse& response) = 0;

  // Writes the body after the headers have been sent (not for "HEAD"). The
  // default copies the entity's body stream, if any, for its content length
  // (0: to the end), through a chunked encoder when the entity's transfer
  // encoding is "chunked"; the copy's failure is returned.
  virtual NPT_Result SendResponseBody(const NPT_HttpRequestContext& context, NPT_HttpResponse& response,
                                      NPT_OutputStream& output);
};

// One connection's two ends: a buffered reader over the client's input and
// the client's output.
class NPT_HttpResponder {
 public:
  NPT_HttpResponder(const NPT_InputStreamReference& input, const NPT_OutputStreamReference& output);
  virtual ~NPT_HttpResponder() {}

  // Reads one request (NPT_HttpRequest::Parse) with a 4096-byte buffer, then
  // switches the reader to unbuffered mode so nothing past the header block
  // is taken from the connection. Methods other than "GET" and "HEAD" get an
  // entity built from their headers whose body stream reads the connection
  // (decoding it when the transfer encoding is "chunked"). On success the
  // caller owns `request`; on failure it is null.
  NPT_Result ParseRequest(NPT_HttpRequest*& request, const NPT_SocketAddress* local_address = nullptr);

  // Completes and writes the status line and headers with one WriteFully:
  // "Server" when absent, "Connection: close" for "HTTP/1.0" when absent, and
  // the entity's "Content-Length" (replacing; "0" without an entity),
  // "Content-Type", "Content-Encoding" and "Transfer-Encoding" when set.
  NPT_Result SendResponseHeaders(NPT_HttpResponse& response);

 protected:
  NPT_BufferedInputStreamReference m_Input;
  NPT_OutputStreamReference m_Output;
};

class NPT_HttpServer {
 public:
  struct Config {
    Config()
        : m_ConnectionTimeout(NPT_HTTP_SERVER_DEFAULT_CONNECTION_TIMEOUT),
          m_IoTimeout(NPT_HTTP_SERVER_DEFAULT_IO_TIMEOUT),
          m_HeadTimeout(NPT_HTTP_SERVER_DEFAULT_HEAD_TIMEOUT),
          m_ListenAddress(NPT_IpAddress::Any),
          m_ListenPort(NPT_HTTP_DEFAULT_PORT),
          m_ReuseAddress(true) {}
    NPT_Timeout m_ConnectionTimeout;  // wait for a client (NPT_TIMEOUT_INFINITE: no limit)
    NPT_Timeout m_IoTimeout;          // each read and write on a client
    NPT_Timeout m_HeadTimeout;        // a whole request head (NPT_TIMEOUT_INFINITE: no limit)
    NPT_IpAddress m_ListenAddress;
    NPT_UInt16 m_ListenPort;  // 0: any free port (see GetPort)
    bool m_ReuseAddress;
  };

  explicit NPT_HttpServer(NPT_UInt16 listen_port = NPT_HTTP_DEFAULT_PORT, bool reuse_address = true);
  NPT_HttpServer(const NPT_IpAddress& listen_address, NPT_UInt16 listen_port, bool reuse_address = true);
  // Frees the handler entries, not the handlers. A Loop still running on
  // another thread must have ended (Abort, then join that thread) first.
  virtual ~NPT_HttpServer();
  NPT_HttpServer(const NPT_HttpServer&) = delete;
  NPT_HttpServer& operator=(const NPT_HttpServer&) = delete;

  // The setters store the configuration and bind at once (which does nothing
  // once bound); the bind's failure is returned.
  NPT_Result SetConfig(const Config& config);
  const Config& GetConfig() const { return m_Config; }
  NPT_Result SetListenPort(NPT_UInt16 port, bool reuse_address = true);
  NPT_Result SetTimeouts(NPT_Timeout connection_timeout, NPT_Timeout io_timeout);
  // Binds the listening socket to the configured address and port and starts
  // listening, unless done already, and records the port the OS chose.
  NPT_Result Bind();
  // The bound port; 0 while not bound.
  NPT_UInt16 GetPort() const { return m_BoundPort; }

  // The handler is not owned and must outlive the server.
  virtual NPT_Result AddRequestHandler(NPT_HttpRequestHandler* handler, const char* path,
                                       bool include_children = false);
  // The first entry, in registration order, whose path equals the request's
  // percent-decoded path, or (with include_children) is a prefix of it.
  virtual NPT_HttpRequestHandler* FindRequestHandler(NPT_HttpRequest& request);
  // Reads one request from the client, answers it and flushes. Failures to
  // parse get no response. NPT_ERROR_TERMINATED when the handler asked to stop.
  // A 403, 404 or 500 answer is a fresh response: nothing a handler that
  // failed or declined had set reaches it. (Called by Loop, the head timeout
  // applies; called directly, only the streams' own timeouts do.)
  virtual NPT_Result RespondToClient(const NPT_InputStreamReference& input, const NPT_OutputStreamReference& output,
                                     const NPT_HttpRequestContext& context);

  // Binds, waits for a client (connection timeout) and hands out its streams
  // with the input/output timeout set. Resets the outputs first.
  // NPT_ERROR_TERMINATED once aborted.
  NPT_Result WaitForNewClient(NPT_InputStreamReference& input, NPT_OutputStreamReference& output,
                              NPT_HttpRequestContext* context);
  // Serves clients one after another until a handler answers
  // NPT_ERROR_TERMINATED or the server is aborted; other failures pause one
  // second (cut short by Abort) and go on. Returns NPT_ERROR_TERMINATED.
  NPT_Result Loop();
  // Any thread: ends a running (or later) Loop or WaitForNewClient promptly,
  // cancelling the accept and the connection being served. Final: the
  // listening socket cannot be used again.
  NPT_Result Abort();

 protected:
  struct HandlerConfig {
    HandlerConfig(NPT_HttpRequestHandler* handler, const char* path, bool include_children)
        : m_Handler(handler), m_Path(path), m_IncludeChildren(include_children) {}
    NPT_HttpRequestHandler* m_Handler;
    NPT_String m_Path;
    bool m_IncludeChildren;
  };

  NPT_TcpServerSocket m_Socket;
  NPT_UInt16 m_BoundPort;
  Config m_Config;
  NPT_List<HandlerConfig*> m_RequestHandlers;

 private:
  // WaitForNewClient that also hands out the client socket (for Abort).
  NPT_Result WaitForClient(NPT_InputStreamReference& input, NPT_OutputStreamReference& output,
                           NPT_HttpRequestContext* context, NPT_Reference<NPT_Socket>& client);

  std::atomic<bool> m_Aborted;
  NPT_SharedVariable m_AbortSignal;  // 1 once aborted; cuts the loop's pause short
  NPT_Mutex m_ClientLock;            // guards m_Client between the loop and Abort
  NPT_Reference<NPT_Socket> m_Client;  // the connection being served, for Abort
  // The deadline over the request head of the connection Loop serves (null
  // outside Loop); RespondToClient ends it once the head is parsed.
  NPT_HttpHeadDeadlineStream* m_HeadDeadline;
};
