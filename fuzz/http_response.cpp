// Fuzz target for response parsing as the client does it: status line, 1xx
// interim responses, header block, then the body stream bound by ReadResponse
// (plain or chunked), read to its end.
//
// Input layout: byte 0 selects the read size of the source (1 + byte % 64, so
// every split of the message is reachable) and bit 7 of byte 1 whether a body
// is expected; the rest is what the server sent.
//
// Checked on every input:
// - a failed parse leaves no response unless it failed after an interim one;
// - a parsed response had a whole head: the input holds the empty line that
//   ends one (the line reader drops CRs, so a line of CRs is empty too);
// - a response has at most the header bounds' worth of headers and its
//   status line has a three-character code;
// - the body stream ends (EOS or an error) within the input's size, never
//   delivering more bytes than were sent.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "NptHttp.h"
#include "support/ChoppedStream.h"

namespace {

// An LF, any number of CRs, then an LF.
bool HoldsEmptyLine(const std::string& text) {
  for (size_t at = text.find('\n'); at != std::string::npos; at = text.find('\n', at + 1)) {
    size_t next = at + 1;
    while (next < text.size() && text[next] == '\r') ++next;
    if (next < text.size() && text[next] == '\n') return true;
  }
  return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2 || size > 256 * 1024) return 0;
  NPT_Size step = 1 + data[0] % 64;
  bool expect_body = (data[1] & 0x80) != 0;
  const uint8_t* message = data + 2;
  size_t message_size = size - 2;

  NPT_InputStreamReference source(new ChoppedStream(message, message_size, step));
  NPT_HttpClient client;
  NPT_HttpResponse* response = nullptr;
  NPT_Result result = client.ReadResponse(source, expect_body, response);
  if (response == nullptr) {
    if (NPT_SUCCEEDED(result)) abort();
    return 0;
  }
  if (NPT_FAILED(result)) {
    // Only an interim response may be left behind by a failure.
    if (response->GetStatusCode() / 100 != 1) abort();
    delete response;
    return 0;
  }
  const std::string sent(reinterpret_cast<const char*>(message), message_size);
  if (!HoldsEmptyLine(sent)) abort();
  if (response->GetHeaders().GetHeaders().GetItemCount() > NPT_HTTP_PROTOCOL_MAX_HEADER_LINES) abort();
  if (response->GetStatusCode() / 100 == 1) abort();  // interim responses are skipped

  NPT_HttpEntity* entity = response->GetEntity();
  if (expect_body != (entity != nullptr)) abort();
  if (entity) {
    NPT_InputStreamReference body;
    if (NPT_FAILED(entity->GetInputStream(body))) abort();
    char buffer[512];
    size_t total = 0;
    for (;;) {
      NPT_Size count = 0;
      if (NPT_FAILED(body->Read(buffer, sizeof(buffer), &count))) break;
      if (count == 0 || count > sizeof(buffer)) abort();
      total += count;
      if (total > message_size) abort();
    }
  }
  delete response;
  return 0;
}
