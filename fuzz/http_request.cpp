// Fuzz target for request parsing as the server does it: request line, header
// block, the request entity of methods other than GET and HEAD (plain or
// chunked), handler lookup, and the answer written by RespondToClient.
//
// Input layout: byte 0 selects the read size of the client's stream (1 + byte
// % 64, so every split of the request is reachable); the rest is what the
// client sent.
//
// Checked on every input:
// - a request that does not parse gets no byte of response;
// - a parsed one gets one status line with protocol "HTTP/1.0", a "Server"
//   header and a header block that ends;
// - a "HEAD" request gets no body, the 404 page is exactly the advertised
//   length;
// - a handler never reads more request body than the client sent.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "NptHttpServer.h"
#include "support/ChoppedStream.h"

namespace {

// Reads the request body (if any) and answers with a fixed result.
class BodyReader : public NPT_HttpRequestHandler {
 public:
  BodyReader(NPT_Result result, size_t limit) : m_Result(result), m_Limit(limit) {}
  NPT_Result SetupResponse(NPT_HttpRequest& request, const NPT_HttpRequestContext&,
                           NPT_HttpResponse& response) override {
    NPT_HttpEntity* entity = request.GetEntity();
    if (entity) {
      NPT_InputStreamReference body;
      entity->GetInputStream(body);
      if (!body.IsNull()) {
        char buffer[256];
        size_t total = 0;
        for (;;) {
          NPT_Size count = 0;
          if (NPT_FAILED(body->Read(buffer, sizeof(buffer), &count))) break;
          if (count == 0 || count > sizeof(buffer)) abort();
          total += count;
          if (total > m_Limit) abort();
        }
      }
    }
    response.GetEntity()->SetInputStream("ok");
    return m_Result;
  }

  NPT_Result m_Result;
  size_t m_Limit = 0;
};

const char kNotFound[] =
    "<html><head><title>404 Not Found</title></head><body><h1>Not Found</h1><p>The requested URL was not found "
    "on this server.</p></html>";

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1 || size > 256 * 1024) return 0;
  NPT_Size step = 1 + data[0] % 64;
  const uint8_t* message = data + 1;
  size_t message_size = size - 1;

  // Never bound: RespondToClient needs no socket.
  NPT_HttpServer server(NPT_IpAddress::Loopback, 0);
  BodyReader root(NPT_SUCCESS, message_size);
  BodyReader deny(NPT_ERROR_PERMISSION_DENIED, message_size);
  BodyReader fail(NPT_RESULT_FAILURE, message_size);
  BodyReader decline(NPT_ERROR_NO_SUCH_ITEM, message_size);
  server.AddRequestHandler(&root, "/");
  server.AddRequestHandler(&deny, "/deny", true);
  server.AddRequestHandler(&fail, "/fail", true);
  server.AddRequestHandler(&decline, "/decline", true);
  server.AddRequestHandler(&root, "/a b", true);

  NPT_InputStreamReference input(new ChoppedStream(message, message_size, step));
  NPT_MemoryStream* sink = new NPT_MemoryStream();
  NPT_OutputStreamReference output(static_cast<NPT_OutputStream*>(sink));
  NPT_HttpRequestContext context;
  NPT_Result result = server.RespondToClient(input, output, context);

  std::string wire(reinterpret_cast<const char*>(sink->GetBuffer().GetData()), sink->GetBuffer().GetDataSize());
  if (wire.empty()) {
    // Only a request that did not parse goes unanswered.
    if (NPT_SUCCEEDED(result)) abort();
    return 0;
  }
  if (NPT_FAILED(result)) abort();
  if (wire.compare(0, 9, "HTTP/1.0 ") != 0) abort();
  size_t head_end = wire.find("\r\n\r\n");
  if (head_end == std::string::npos) abort();
  std::string head = wire.substr(0, head_end + 2);
  std::string body = wire.substr(head_end + 4);
  if (head.find("\r\nServer: NPT/1.0.2\r\n") == std::string::npos) abort();

  // The request line's method decides whether a body may follow.
  std::string request(reinterpret_cast<const char*>(message), message_size);
  if (request.compare(0, 5, "HEAD ") == 0 && !body.empty()) abort();
  if (head.compare(0, 13, "HTTP/1.0 404 ") == 0) {
    if (head.find("Content-Length: " + std::to_string(sizeof(kNotFound) - 1) + "\r\n") == std::string::npos) abort();
    if (!body.empty() && body != kNotFound) abort();
  }
  return 0;
}
