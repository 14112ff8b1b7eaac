#pragma once
// HTTP/1.x: the message model (headers, entity, request, response), its wire
// format (parsing and emission), the chunked transfer coding in both
// directions, and the client with its pluggable connectors and proxy selectors.
//
// Everything is byte text: header names are matched without regard to letter
// case and values are kept as received. Nothing here locks; a message, a
// stream or a client is used by one thread at a time (the exceptions are the
// Abort operations, which another thread may call).
//
// Data from a peer is not trusted: a header block is bounded in line length,
// line count and total size, and chunk sizes that do not fit the chunk counter
// are refused, so a hostile server can neither grow memory without limit nor
// make a size wrap.
#include "NptBufferedStreams.h"
#include "NptList.h"
#include "NptReferences.h"
#include "NptResults.h"
#include "NptSockets.h"
#include "NptStreams.h"
#include "NptStrings.h"
#include "NptThreads.h"
#include "NptTypes.h"
#include "NptUri.h"

// Limit passed to ReadLine for a status, request or header line: a line must
// be shorter than this many characters.
const NPT_Size NPT_HTTP_PROTOCOL_MAX_LINE_LENGTH = 8192;
// Limit passed to ReadLine for a chunk-size or trailer line.
const NPT_Size NPT_HTTP_CHUNK_LINE_MAX_LENGTH = 4096;
// Bounds on one header block (lines after the start line up to the empty
// line): past either of them the parse fails with NPT_ERROR_OUT_OF_RANGE.
const NPT_Cardinal NPT_HTTP_PROTOCOL_MAX_HEADER_LINES = 100;
const NPT_Size NPT_HTTP_PROTOCOL_MAX_HEADER_BLOCK_SIZE = 65536;
// Redirects SendRequest follows before giving up (with success and no response).
const NPT_Cardinal NPT_HTTP_MAX_REDIRECTS = 20;
const NPT_UInt16 NPT_HTTP_DEFAULT_PORT = 80;

#define NPT_HTTP_PROTOCOL_1_0 "HTTP/1.0"
#define NPT_HTTP_PROTOCOL_1_1 "HTTP/1.1"

#define NPT_HTTP_METHOD_GET "GET"
#define NPT_HTTP_METHOD_HEAD "HEAD"
#define NPT_HTTP_METHOD_POST "POST"

#define NPT_HTTP_HEADER_HOST "Host"
#define NPT_HTTP_HEADER_CONNECTION "Connection"
#define NPT_HTTP_HEADER_CONTENT_LENGTH "Content-Length"
#define NPT_HTTP_HEADER_CONTENT_TYPE "Content-Type"
#define NPT_HTTP_HEADER_CONTENT_ENCODING "Content-Encoding"
#define NPT_HTTP_HEADER_TRANSFER_ENCODING "Transfer-Encoding"
#define NPT_HTTP_HEADER_LOCATION "Location"
#define NPT_HTTP_HEADER_SERVER "Server"

#define NPT_HTTP_TRANSFER_ENCODING_CHUNKED "chunked"

/*----------------------------------------------------------------------
|   headers
+---------------------------------------------------------------------*/
class NPT_HttpHeader {
 public:
  NPT_HttpHeader(const char* name, const char* value) : m_Name(name), m_Value(value) {}
  ~NPT_HttpHeader() {}

  // Writes "name: value" and CR LF. The first write failure is returned.
  NPT_Result Emit(NPT_OutputStream& stream) const;

  const NPT_String& GetName() const { return m_Name; }
  const NPT_String& GetValue() const { return m_Value; }
  NPT_Result SetName(const char* name) {
    m_Name = name;
    return NPT_SUCCESS;
  }
  NPT_Result SetValue(const char* value) {
    m_Value = value;
    return NPT_SUCCESS;
  }

 private:
  NPT_String m_Name;
  NPT_String m_Value;
};

// An ordered list of owned headers: insertion order is emission order, the
// same name may occur more than once.
class NPT_HttpHeaders {
 public:
  NPT_HttpHeaders() {}
  ~NPT_HttpHeaders();
  NPT_HttpHeaders(const NPT_HttpHeaders&) = delete;
  NPT_HttpHeaders& operator=(const NPT_HttpHeaders&) = delete;

  // Reads a header block up to and including its empty line. Continuation
  // lines (leading space or tab) extend the pending value; values are trimmed;
  // lines without a colon, or starting with one, are ignored. Only the empty
  // line ends a block: the end of the stream before it (even within a line)
  // is NPT_ERROR_EOS, and a read error is returned. Other failures:
  // NPT_ERROR_NOT_ENOUGH_SPACE for a line of NPT_HTTP_PROTOCOL_MAX_LINE_LENGTH
  // characters or more, NPT_ERROR_OUT_OF_RANGE past
  // NPT_HTTP_PROTOCOL_MAX_HEADER_LINES lines or
  // NPT_HTTP_PROTOCOL_MAX_HEADER_BLOCK_SIZE bytes. The headers read before a
  // failure stay in the list.
  NPT_Result Parse(NPT_BufferedInputStream& stream);
  // Every header in list order; the first failure is returned.
  NPT_Result Emit(NPT_OutputStream& stream) const;

  const NPT_List<NPT_HttpHeader*>& GetHeaders() const { return m_Headers; }
  // The first header whose name equals `name` ignoring case; null when none
  // or when `name` is null.
  NPT_HttpHeader* GetHeader(const char* name) const;
  // That header's value, or null.
  const NPT_String* GetHeaderValue(const char* name) const;
  // Appends; a null value gives an empty value.
  NPT_Result AddHeader(const char* name, const char* value);
  // Replaces the value of the first match (when `replace`), else appends.
  NPT_Result SetHeader(const char* name, const char* value, bool replace = true);
  // Removes every header of that name (any case); NPT_ERROR_NO_SUCH_ITEM when none.
  NPT_Result RemoveHeader(const char* name);
  // Removes every header.
  NPT_Result Clear();

 private:
  NPT_List<NPT_HttpHeader*> m_Headers;
};

/*----------------------------------------------------------------------
|   entity: description of a message body
+---------------------------------------------------------------------*/
class NPT_HttpEntity {
 public:
  NPT_HttpEntity();
  // Content-Length (first occurrence, relaxed 64-bit number; 0 when it does not
  // read, still marked known), Content-Type, Content-Encoding and
  // Transfer-Encoding (first occurrence each).
  explicit NPT_HttpEntity(const NPT_HttpHeaders& headers);
  virtual ~NPT_HttpEntity();
  NPT_HttpEntity(const NPT_HttpEntity&) = delete;
  NPT_HttpEntity& operator=(const NPT_HttpEntity&) = delete;

  // Same rules as the constructor, applied to this entity.
  NPT_Result SetFromHeaders(const NPT_HttpHeaders& headers);

  // Clears `stream`; NPT_RESULT_FAILURE without a body stream, otherwise a new
  // holder of it and success.
  NPT_Result GetInputStream(NPT_InputStreamReference& stream) const;
  // Installs the stream; with update_content_length and a stream whose GetSize
  // succeeds, the content length becomes that size and is marked known.
  NPT_Result SetInputStream(const NPT_InputStreamReference& stream, bool update_content_length = false);
  // Each installs a memory stream holding a copy and sets the content length
  // from it (known). A null text is NPT_ERROR_INVALID_PARAMETERS.
  NPT_Result SetInputStream(const void* data, NPT_Size size);
  NPT_Result SetInputStream(const char* string);
  NPT_Result SetInputStream(const NPT_String& string);

  NPT_LargeSize GetContentLength() const { return m_ContentLength; }
  bool ContentLengthIsKnown() const { return m_ContentLengthIsKnown; }
  const NPT_String& GetContentType() const { return m_ContentType; }
  const NPT_String& GetContentEncoding() const { return m_ContentEncoding; }
  const NPT_String& GetTransferEncoding() const { return m_TransferEncoding; }
  // Marks the length known.
  NPT_Result SetContentLength(NPT_LargeSize length);
  NPT_Result SetContentType(const char* type);
  NPT_Result SetContentEncoding(const char* encoding);
  NPT_Result SetTransferEncoding(const char* encoding);

 private:
  NPT_InputStreamReference m_InputStream;
  NPT_LargeSize m_ContentLength;
  NPT_String m_ContentType;
  NPT_String m_ContentEncoding;
  NPT_String m_TransferEncoding;
  bool m_ContentLengthIsKnown;
};

/*----------------------------------------------------------------------
|   messages
+---------------------------------------------------------------------*/
class NPT_HttpMessage {
 public:
  // Destroys the entity and the headers.
  virtual ~NPT_HttpMessage();
  NPT_HttpMessage(const NPT_HttpMessage&) = delete;
  NPT_HttpMessage& operator=(const NPT_HttpMessage&) = delete;

  // Reads a header block into this message's headers (NPT_HttpHeaders::Parse).
  virtual NPT_Result ParseHeaders(NPT_BufferedInputStream& stream);

  const NPT_String& GetProtocol() const { return m_Protocol; }
  NPT_Result SetProtocol(const char* protocol) {
    m_Protocol = protocol;
    return NPT_SUCCESS;
  }
  NPT_HttpHeaders& GetHeaders() { return m_Headers; }
  const NPT_HttpHeaders& GetHeaders() const { return m_Headers; }
  // The message owns its entity (may be null).
  NPT_HttpEntity* GetEntity() const { return m_Entity; }
  // Takes ownership; the previous entity is destroyed when it differs.
  NPT_Result SetEntity(NPT_HttpEntity* entity);

 protected:
  explicit NPT_HttpMessage(const char* protocol);

  NPT_String m_Protocol;
  NPT_HttpHeaders m_Headers;
  NPT_HttpEntity* m_Entity;
};

class NPT_HttpRequest : public NPT_HttpMessage {
 public:
  // Parses a request: request line "METHOD target PROTOCOL", then the header
  // block. A target starting with "http://" (any case) is an absolute URL;
  // otherwise the URL is built from scheme "http", the target, and the host
  // of the "Host" header, else the local address (may be null), else
  // "localhost". On success `request` is a new request owned by the caller;
  // on failure it is null. Failures: the line read's result (NPT_ERROR_EOS
  // also for a line the end of the stream cuts short),
  // NPT_ERROR_HTTP_INVALID_REQUEST_LINE for a line without two spaces, and
  // the header block's (NPT_HttpHeaders::Parse).
  static NPT_Result Parse(NPT_BufferedInputStream& stream, const NPT_SocketAddress* local_address,
                          NPT_HttpRequest*& request);

  NPT_HttpRequest(const NPT_HttpUrl& url, const char* method, const char* protocol = NPT_HTTP_PROTOCOL_1_0);
  // The text is parsed as an http URL with default port 80 (invalid if it is not one).
  NPT_HttpRequest(const char* url, const char* method, const char* protocol = NPT_HTTP_PROTOCOL_1_0);
  ~NPT_HttpRequest() override;

  // Request line, headers, empty line. The target is the URL's full text
  // without fragment with use_proxy, else its request text without fragment.
  virtual NPT_Result Emit(NPT_OutputStream& stream, bool use_proxy = false) const;

  const NPT_HttpUrl& GetUrl() const { return m_Url; }
  NPT_HttpUrl& GetUrl() { return m_Url; }
  // A text is parsed as an http URL with default port 80; the request's URL
  // becomes that value, valid or not.
  NPT_Result SetUrl(const char* url);
  NPT_Result SetUrl(const NPT_Url& url);
  const NPT_String& GetMethod() const { return m_Method; }

 protected:
  NPT_HttpUrl m_Url;
  NPT_String m_Method;
};

class NPT_HttpResponse : public NPT_HttpMessage {
 public:
  // Reads a status line and its header block. Unless `reuse` is set,
  // `response` is first set to null and a new response (owned by the caller)
  // is created; with `reuse` the existing response gets the new status and
  // its headers are replaced by the new block's (so an interim 1xx response
  // leaves nothing behind). Failures: the line read's result (e.g.
  // NPT_ERROR_EOS for a connection closed before the end of the status
  // line),
  // NPT_ERROR_HTTP_INVALID_RESPONSE_LINE when the code is not three characters
  // between single spaces, and the header block's result, after which the
  // response is destroyed and `response` is null.
  static NPT_Result Parse(NPT_BufferedInputStream& stream, NPT_HttpResponse*& response, bool reuse = false);

  NPT_HttpResponse(NPT_Int32 status_code, const char* reason_phrase, const char* protocol = NPT_HTTP_PROTOCOL_1_0);
  ~NPT_HttpResponse() override;

  // Status line "PROTOCOL CODE REASON", headers, empty line.
  virtual NPT_Result Emit(NPT_OutputStream& stream) const;

  NPT_Int32 GetStatusCode() const { return m_StatusCode; }
  const NPT_String& GetReasonPhrase() const { return m_ReasonPhrase; }
  // The protocol is replaced only when given.
  NPT_Result SetStatus(NPT_Int32 status_code, const char* reason_phrase, const char* protocol = nullptr);

 protected:
  NPT_Int32 m_StatusCode;
  NPT_String m_ReasonPhrase;
};

/*----------------------------------------------------------------------
|   chunked transfer coding
+---------------------------------------------------------------------*/
// Decodes a chunked body read from `source`. A Read never crosses a chunk
// boundary. Chunk data is read with the source unbuffered (so the source's
// reads go straight to the caller's buffer); size lines with a 4096-byte
// buffer. After the last chunk and its trailers every Read gives
// NPT_ERROR_EOS. Malformed framing (empty or non-hex size line, a size that
// does not fit 32 bits, chunk data not followed by CR LF) gives
// NPT_ERROR_INVALID_FORMAT, after which the stream is not usable.
class NPT_HttpChunkedInputStream : public NPT_InputStream {
 public:
  explicit NPT_HttpChunkedInputStream(const NPT_BufferedInputStreamReference& source);
  ~NPT_HttpChunkedInputStream() override;

  NPT_Result Read(void* buffer, NPT_Size bytes_to_read, NPT_Size* bytes_read = nullptr) override;
  NPT_Result Seek(NPT_Position offset) override;      // NPT_ERROR_NOT_SUPPORTED
  NPT_Result Tell(NPT_Position& offset) override;     // 0 and NPT_ERROR_NOT_SUPPORTED
  NPT_Result GetSize(NPT_LargeSize& size) override;   // the source's
  NPT_Result GetAvailable(NPT_LargeSize& available) override;  // the source's

 protected:
  NPT_BufferedInputStreamReference m_Source;
  NPT_UInt32 m_CurrentChunkSize;
  bool m_Eos;
};

// Encodes every non-empty Write as one chunk on the wrapped stream (not owned,
// must outlive this object). Destruction writes the last-chunk marker
// "0\r\n\r\n", ignoring the result.
class NPT_HttpChunkedOutputStream : public NPT_OutputStream {
 public:
  explicit NPT_HttpChunkedOutputStream(NPT_OutputStream& stream);
  ~NPT_HttpChunkedOutputStream() override;

  NPT_Result Write(const void* buffer, NPT_Size bytes_to_write, NPT_Size* bytes_written = nullptr) override;
  NPT_Result Seek(NPT_Position offset) override;  // NPT_ERROR_NOT_SUPPORTED
  NPT_Result Tell(NPT_Position& offset) override;
  NPT_Result Flush() override;

 protected:
  NPT_OutputStream& m_Stream;
};

/*----------------------------------------------------------------------
|   proxies
+---------------------------------------------------------------------*/
class NPT_HttpProxyAddress {
 public:
  NPT_HttpProxyAddress() : m_Port(0) {}
  NPT_HttpProxyAddress(const char* hostname, NPT_UInt16 port) : m_HostName(hostname), m_Port(port) {}
  const NPT_String& GetHostName() const { return m_HostName; }
  void SetHostName(const char* hostname) { m_HostName = hostname; }
  NPT_UInt16 GetPort() const { return m_Port; }
  void SetPort(NPT_UInt16 port) { m_Port = port; }

 private:
  NPT_String m_HostName;
  NPT_UInt16 m_Port;
};

class NPT_HttpProxySelector {
 public:
  virtual ~NPT_HttpProxySelector() {}
  // Success (or NPT_ERROR_HTTP_NO_PROXY) with the proxy to use for `url`;
  // any other result fails the request.
  virtual NPT_Result GetProxyForUrl(const NPT_HttpUrl& url, NPT_HttpProxyAddress& proxy) = 0;
};

// The same proxy for every URL.
class NPT_HttpStaticProxySelector : public NPT_HttpProxySelector {
 public:
  NPT_HttpStaticProxySelector(const char* hostname, NPT_UInt16 port) : m_Proxy(hostname, port) {}
  NPT_Result GetProxyForUrl(const NPT_HttpUrl& url, NPT_HttpProxyAddress& proxy) override;

 private:
  NPT_HttpProxyAddress m_Proxy;
};

/*----------------------------------------------------------------------
|   client
+---------------------------------------------------------------------*/
class NPT_HttpClient {
 public:
  struct Config {
    Config() : m_ConnectionTimeout(30000), m_IoTimeout(30000), m_NameResolverTimeout(60000), m_FollowRedirect(true) {}
    NPT_Timeout m_ConnectionTimeout;
    NPT_Timeout m_IoTimeout;
    NPT_Timeout m_NameResolverTimeout;
    bool m_FollowRedirect;
  };

  // Opens the connection a request is sent over.
  class Connector {
   public:
    virtual ~Connector() {}
    // Connects to host:port and hands out the connection's two streams. The
    // timeouts are in milliseconds (NPT_TIMEOUT_INFINITE: no limit). On
    // failure both references are empty.
    virtual NPT_Result Connect(const char* hostname, NPT_UInt16 port, bool secure, NPT_Timeout connection_timeout,
                               NPT_Timeout io_timeout, NPT_Timeout name_resolver_timeout,
                               NPT_InputStreamReference& input_stream, NPT_OutputStreamReference& output_stream) = 0;
    // Any thread: makes a blocked (or later) Connect, read or write of the
    // current request end promptly. The default does nothing.
    virtual NPT_Result Abort() { return NPT_SUCCESS; }
  };

  // The client owns the connector; null installs a new NPT_HttpTcpConnector
  // that does not keep its socket (so Abort has no effect with it).
  explicit NPT_HttpClient(Connector* connector = nullptr);
  virtual ~NPT_HttpClient();
  NPT_HttpClient(const NPT_HttpClient&) = delete;
  NPT_HttpClient& operator=(const NPT_HttpClient&) = delete;

  NPT_Result SetConfig(const Config& config);
  const Config& GetConfig() const { return m_Config; }
  NPT_Result SetTimeouts(NPT_Timeout connection_timeout, NPT_Timeout io_timeout, NPT_Timeout name_resolver_timeout);
  // Takes ownership; the previous connector is destroyed when it differs.
  NPT_Result SetConnector(Connector* connector);
  // The connector in place (owned by the client; valid until it is replaced).
  Connector* GetConnector() const { return m_Connector; }
  // Not owned by the client; an owned selector in place is destroyed.
  NPT_Result SetProxySelector(NPT_HttpProxySelector* selector);
  // Clears the selector; with a host name and a port other than 0, installs an
  // owned static selector for that proxy.
  NPT_Result SetProxy(const char* hostname, NPT_UInt16 port);
  // Any thread: forwards to the connector's Abort.
  NPT_Result Abort();

  // Sends the request and reads the response's status line and headers. On
  // success `response` is the response (owned by the caller; its entity's body
  // stream reads the connection) or null when more than
  // NPT_HTTP_MAX_REDIRECTS redirects were met. GET and HEAD follow 301, 302,
  // 303 and 307 with a Location when m_FollowRedirect is set. A GET with an
  // entity is NPT_ERROR_HTTP_INVALID_REQUEST. The caller owns and destroys
  // whatever `response` holds, also on failure.
  NPT_Result SendRequest(NPT_HttpRequest& request, NPT_HttpResponse*& response);

  // The steps of SendRequest, public so that a caller holding a connection can
  // drive one exchange. SendRequestOnce: one connection, one request, no
  // redirect handling.
  NPT_Result SendRequestOnce(NPT_HttpRequest& request, NPT_HttpResponse*& response);
  // Adds Connection (HTTP/1.0, when absent), Host (when absent) and the
  // entity headers after the caller's, writes the header block with one
  // WriteFully, then the body (chunked when the entity says so), and flushes.
  NPT_Result WriteRequest(NPT_OutputStream& output_stream, NPT_HttpRequest& request, bool use_proxy = false);
  // Reads the response (skipping 1xx interim responses) through a new
  // 4096-byte buffered stream, then switches that stream to unbuffered mode.
  // With expect_body the response gets an entity whose body stream is that
  // buffered stream, or a chunked decoder over it.
  NPT_Result ReadResponse(const NPT_InputStreamReference& input_stream, bool expect_body,
                          NPT_HttpResponse*& response);

 protected:
  Config m_Config;
  NPT_HttpProxySelector* m_ProxySelector;
  bool m_ProxySelectorIsOwned;
  Connector* m_Connector;
};

// The default connector: resolves the host name and opens a TCP connection.
// With keep_socket the connector remembers the connection's socket so that
// Abort (from any thread) can cancel it: blocked and later operations on it
// then give NPT_ERROR_CANCELLED.
class NPT_HttpTcpConnector : public NPT_HttpClient::Connector {
 public:
  explicit NPT_HttpTcpConnector(bool keep_socket = false);
  ~NPT_HttpTcpConnector() override;

  NPT_Result Connect(const char* hostname, NPT_UInt16 port, bool secure, NPT_Timeout connection_timeout,
                     NPT_Timeout io_timeout, NPT_Timeout name_resolver_timeout,
                     NPT_InputStreamReference& input_stream, NPT_OutputStreamReference& output_stream) override;
  NPT_Result Abort() override;

 private:
  // Guards m_Socket: Abort runs on another thread than Connect.
  NPT_Mutex m_Lock;
  NPT_Reference<NPT_Socket> m_Socket;
  bool m_KeepSocket;
};
