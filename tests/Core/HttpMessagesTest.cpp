// HTTP message model on memory streams: exact wire bytes of requests and
// responses, status-line and header parsing (with their bounds), request
// parsing, and the chunked coding in both directions.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "NptHttp.h"
#include "ScriptedInputStream.h"

namespace {

using kvx_test::ScriptedInputStream;

NPT_BufferedInputStreamReference Buffered(const std::string& data, std::vector<NPT_Size> splits = {}) {
  NPT_InputStreamReference source(new ScriptedInputStream(data, std::move(splits)));
  return NPT_BufferedInputStreamReference(new NPT_BufferedInputStream(source));
}

std::string Contents(const NPT_MemoryStream& stream) {
  const NPT_DataBuffer& buffer = stream.GetBuffer();
  return std::string(reinterpret_cast<const char*>(buffer.GetData()), buffer.GetDataSize());
}

// Reads the stream to its end; the result that ended it goes to `end`.
std::string Drain(NPT_InputStream& stream, NPT_Result& end, NPT_Size block = 7) {
  std::string out;
  std::vector<char> buffer(block);
  for (;;) {
    NPT_Size count = 0;
    end = stream.Read(buffer.data(), block, &count);
    if (NPT_FAILED(end)) return out;
    out.append(buffer.data(), count);
  }
}

struct ResponseOwner {
  NPT_HttpResponse* response = nullptr;
  ~ResponseOwner() { delete response; }
};

}  // namespace

/*----------------------------------------------------------------------
|   status line
+---------------------------------------------------------------------*/
TEST(HttpResponseParse, StatusLines) {
  struct Case {
    std::string input;
    NPT_Result result;
    const char* protocol;
    NPT_Int32 code;
    const char* reason;
  };
  const Case cases[] = {
      {"HTTP/1.1 200 OK\r\n\r\n", NPT_SUCCESS, "HTTP/1.1", 200, "OK"},
      {"HTTP/1.0 404 Not Found\r\n\r\n", NPT_SUCCESS, "HTTP/1.0", 404, "Not Found"},
      {"HTTP/1.1 200 \r\n\r\n", NPT_SUCCESS, "HTTP/1.1", 200, ""},
      {"HTTP/1.1 abc Odd\r\n\r\n", NPT_SUCCESS, "HTTP/1.1", 0, "Odd"},
      {"HTTP/1.1 200 OK\n\n", NPT_SUCCESS, "HTTP/1.1", 200, "OK"},
      {"HTTP/1.1 200\r\n\r\n", NPT_ERROR_HTTP_INVALID_RESPONSE_LINE, nullptr, 0, nullptr},
      {"HTTP/1.1 20 OK\r\n\r\n", NPT_ERROR_HTTP_INVALID_RESPONSE_LINE, nullptr, 0, nullptr},
      {"HTTP/1.1  200 OK\r\n\r\n", NPT_ERROR_HTTP_INVALID_RESPONSE_LINE, nullptr, 0, nullptr},
      {"HTTP/1.1 2000 OK\r\n\r\n", NPT_ERROR_HTTP_INVALID_RESPONSE_LINE, nullptr, 0, nullptr},
      {"garbage\r\n\r\n", NPT_ERROR_HTTP_INVALID_RESPONSE_LINE, nullptr, 0, nullptr},
      {"", NPT_ERROR_EOS, nullptr, 0, nullptr},
      {"HTTP/1.1 200 OK" + std::string(8200, 'x') + "\r\n\r\n", NPT_ERROR_NOT_ENOUGH_SPACE, nullptr, 0, nullptr},
      // A head the end of the stream cuts short is no response at all.
      {"HTTP/1.0 200 O", NPT_ERROR_EOS, nullptr, 0, nullptr},
      {"HTTP/1.0 200 OK\r\n", NPT_ERROR_EOS, nullptr, 0, nullptr},
      {"HTTP/1.0 200 OK\r\nX-DEVICENAME: Dev", NPT_ERROR_EOS, nullptr, 0, nullptr},
      {"HTTP/1.0 200 OK\r\nX-DEVICENAME: Device\r\n", NPT_ERROR_EOS, nullptr, 0, nullptr},
      {"HTTP/1.0 200 OK\r\nX-DEVICENAME: Device\r\n\r", NPT_ERROR_EOS, nullptr, 0, nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.input.substr(0, 40));
    NPT_BufferedInputStreamReference stream = Buffered(c.input);
    ResponseOwner owner;
    NPT_Result result = NPT_HttpResponse::Parse(*stream, owner.response);
    EXPECT_EQ(c.result, result);
    if (c.result != NPT_SUCCESS) {
      EXPECT_EQ(nullptr, owner.response);
      continue;
    }
    ASSERT_NE(nullptr, owner.response);
    EXPECT_STREQ(c.protocol, owner.response->GetProtocol().GetChars());
    EXPECT_EQ(c.code, owner.response->GetStatusCode());
    EXPECT_STREQ(c.reason, owner.response->GetReasonPhrase().GetChars());
    EXPECT_EQ(nullptr, owner.response->GetEntity());
  }
}

TEST(HttpResponseParse, OutResponseIsResetBeforeParsing) {
  NPT_BufferedInputStreamReference stream = Buffered("bad\r\n");
  NPT_HttpResponse stale(200, "OK");
  NPT_HttpResponse* response = &stale;
  EXPECT_EQ(NPT_ERROR_HTTP_INVALID_RESPONSE_LINE, NPT_HttpResponse::Parse(*stream, response));
  EXPECT_EQ(nullptr, response);
}

/*----------------------------------------------------------------------
|   header blocks
+---------------------------------------------------------------------*/
TEST(HttpHeaders, ParseRules) {
  NPT_BufferedInputStreamReference stream = Buffered(
      "Content-Type:text/plain\r\n"   // no space after the colon
      "X-Spaced : v1\r\n"             // space before the colon stays in the name
      "X-Folded: first\r\n"
      "\tsecond  \r\n"                // folded without separator, then trimmed
      "  third\r\n"
      "no colon here\r\n"
      ": starts with colon\r\n"
      "x-dup: 1\r\n"
      "X-DUP: 2\r\n"
      "X-Empty:\r\n"
      "\r\n"
      "BODY");
  NPT_HttpHeaders headers;
  ASSERT_EQ(NPT_SUCCESS, headers.Parse(*stream));
  EXPECT_EQ(6u, headers.GetHeaders().GetItemCount());
  ASSERT_NE(nullptr, headers.GetHeaderValue("content-type"));
  EXPECT_STREQ("text/plain", headers.GetHeaderValue("CONTENT-TYPE")->GetChars());
  EXPECT_EQ(nullptr, headers.GetHeader("X-Spaced"));
  ASSERT_NE(nullptr, headers.GetHeader("X-Spaced "));
  EXPECT_STREQ("v1", headers.GetHeaderValue("x-spaced ")->GetChars());
  EXPECT_STREQ("firstsecond   third", headers.GetHeaderValue("X-Folded")->GetChars());
  EXPECT_STREQ("1", headers.GetHeaderValue("X-Dup")->GetChars());
  EXPECT_STREQ("x-dup", headers.GetHeader("X-Dup")->GetName().GetChars());  // case kept
  EXPECT_STREQ("", headers.GetHeaderValue("X-Empty")->GetChars());
  EXPECT_EQ(nullptr, headers.GetHeader(nullptr));
  // The block ends at the empty line: the body is untouched.
  char body[5] = {};
  EXPECT_EQ(NPT_SUCCESS, stream->ReadFully(body, 4));
  EXPECT_STREQ("BODY", body);
}

TEST(HttpHeaders, BlockEndsOnlyAtItsEmptyLine) {
  for (const char* block : {"A: 1\r\nB: 2", "A: 1\r\nB: 2\r\n", ""}) {
    NPT_BufferedInputStreamReference stream = Buffered(block);
    NPT_HttpHeaders headers;
    EXPECT_EQ(NPT_ERROR_EOS, headers.Parse(*stream)) << block;
  }
  // A read failure ends the block with that failure.
  NPT_InputStreamReference source(new ScriptedInputStream("A: 1\r\n", {}, NPT_ERROR_TIMEOUT));
  NPT_BufferedInputStream stream(source);
  NPT_HttpHeaders headers;
  EXPECT_EQ(NPT_ERROR_TIMEOUT, headers.Parse(stream));
}

TEST(HttpHeaders, BlockIsBounded) {
  auto lines = [](int count, size_t value_size) {
    std::string block;
    for (int i = 0; i < count; ++i) block += "X-" + std::to_string(i) + ": " + std::string(value_size, 'v') + "\r\n";
    return block + "\r\n";
  };
  struct Case {
    std::string block;
    NPT_Result result;
  };
  const Case cases[] = {
      {lines(100, 10), NPT_SUCCESS},
      {lines(101, 10), NPT_ERROR_OUT_OF_RANGE},
      {lines(9, 8000), NPT_ERROR_OUT_OF_RANGE},  // under 100 lines but over 64 KiB
      {"A: " + std::string(8200, 'a') + "\r\n\r\n", NPT_ERROR_NOT_ENOUGH_SPACE},
  };
  // Folding cannot grow one value past the block bound either.
  std::string folded = "A: a\r\n";
  for (int i = 0; i < 9; ++i) folded += " " + std::string(8000, 'f') + "\r\n";
  folded += "\r\n";
  for (const Case& c : cases) {
    NPT_BufferedInputStreamReference stream = Buffered("HTTP/1.1 200 OK\r\n" + c.block);
    ResponseOwner owner;
    EXPECT_EQ(c.result, NPT_HttpResponse::Parse(*stream, owner.response));
    EXPECT_EQ(c.result == NPT_SUCCESS, owner.response != nullptr);
  }
  NPT_BufferedInputStreamReference stream = Buffered("HTTP/1.1 200 OK\r\n" + folded);
  ResponseOwner owner;
  EXPECT_EQ(NPT_ERROR_OUT_OF_RANGE, NPT_HttpResponse::Parse(*stream, owner.response));
}

TEST(HttpHeaders, SetAddAndEmit) {
  NPT_HttpHeaders headers;
  headers.AddHeader("A", "1");
  headers.AddHeader("B", nullptr);
  headers.AddHeader("a", "2");
  EXPECT_EQ(NPT_SUCCESS, headers.SetHeader("A", "kept", false));
  EXPECT_EQ(NPT_SUCCESS, headers.SetHeader("C", "new", false));
  EXPECT_EQ(NPT_SUCCESS, headers.SetHeader("b", "replaced"));
  NPT_MemoryStream out;
  ASSERT_EQ(NPT_SUCCESS, headers.Emit(out));
  EXPECT_EQ("A: 1\r\nB: replaced\r\na: 2\r\nC: new\r\n", Contents(out));
  EXPECT_EQ(NPT_SUCCESS, headers.RemoveHeader("A"));
  EXPECT_EQ(NPT_ERROR_NO_SUCH_ITEM, headers.RemoveHeader("A"));
  EXPECT_EQ(2u, headers.GetHeaders().GetItemCount());
}

TEST(HttpResponseParse, SameResultAtEverySplit) {
  const std::string message =
      "HTTP/1.1 206 Partial Content\r\nContent-Type: image/jpeg\r\nX-Folded: a\r\n b\r\nContent-Length: 4\r\n\r\nDATA";
  for (NPT_Size split = 1; split <= message.size(); ++split) {
    SCOPED_TRACE(split);
    NPT_BufferedInputStreamReference stream = Buffered(message, {split, 1, 3});
    ResponseOwner owner;
    ASSERT_EQ(NPT_SUCCESS, NPT_HttpResponse::Parse(*stream, owner.response));
    EXPECT_EQ(206, owner.response->GetStatusCode());
    EXPECT_STREQ("Partial Content", owner.response->GetReasonPhrase().GetChars());
    EXPECT_STREQ("image/jpeg", owner.response->GetHeaders().GetHeaderValue("content-type")->GetChars());
    EXPECT_STREQ("ab", owner.response->GetHeaders().GetHeaderValue("x-folded")->GetChars());
    char body[5] = {};
    EXPECT_EQ(NPT_SUCCESS, stream->ReadFully(body, 4));
    EXPECT_STREQ("DATA", body);
  }
}

/*----------------------------------------------------------------------
|   emission
+---------------------------------------------------------------------*/
TEST(HttpEmit, ResponseBytes) {
  NPT_HttpResponse response(404, "Not Found", "HTTP/1.1");
  response.GetHeaders().AddHeader("Server", "NPT/1.0.2");
  NPT_MemoryStream out;
  ASSERT_EQ(NPT_SUCCESS, response.Emit(out));
  EXPECT_EQ("HTTP/1.1 404 Not Found\r\nServer: NPT/1.0.2\r\n\r\n", Contents(out));
  response.SetStatus(200, "OK");
  EXPECT_STREQ("HTTP/1.1", response.GetProtocol().GetChars());
  response.SetStatus(200, "OK", "HTTP/1.0");
  EXPECT_STREQ("HTTP/1.0", response.GetProtocol().GetChars());
}

TEST(HttpEmit, RequestTargets) {
  NPT_HttpRequest request("http://h:8080/p?q=1#frag", "GET");
  NPT_MemoryStream direct;
  ASSERT_EQ(NPT_SUCCESS, request.Emit(direct));
  EXPECT_EQ("GET /p?q=1 HTTP/1.0\r\n\r\n", Contents(direct));
  NPT_MemoryStream proxied;
  ASSERT_EQ(NPT_SUCCESS, request.Emit(proxied, true));
  EXPECT_EQ("GET http://h:8080/p?q=1 HTTP/1.0\r\n\r\n", Contents(proxied));
  NPT_HttpRequest bare("http://h", "HEAD", "HTTP/1.1");
  NPT_MemoryStream out;
  ASSERT_EQ(NPT_SUCCESS, bare.Emit(out, true));
  EXPECT_EQ("HEAD http://h/ HTTP/1.1\r\n\r\n", Contents(out));
}

// WriteRequest's additions after the caller's headers, as exact bytes.
TEST(HttpClientWriteRequest, HeaderBlocks) {
  struct Case {
    const char* url;
    const char* protocol;
    std::vector<std::pair<const char*, const char*>> caller_headers;
    std::string expected;
  };
  const Case cases[] = {
      {"http://h:8080/p?q=1", "HTTP/1.0", {{"A", "a"}, {"B", "b"}},
       "GET /p?q=1 HTTP/1.0\r\nA: a\r\nB: b\r\nConnection: close\r\nHost: h:8080\r\nContent-Length: 0\r\n\r\n"},
      {"http://h/p", "HTTP/1.0", {}, "GET /p HTTP/1.0\r\nConnection: close\r\nHost: h\r\nContent-Length: 0\r\n\r\n"},
      {"http://h:80/", "HTTP/1.1", {}, "GET / HTTP/1.1\r\nHost: h\r\nContent-Length: 0\r\n\r\n"},
      {"http://h/", "HTTP/1.0", {{"connection", "keep-alive"}, {"Content-Length", "99"}, {"host", "other"}},
       "GET / HTTP/1.0\r\nconnection: keep-alive\r\nContent-Length: 0\r\nhost: other\r\n\r\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.url);
    NPT_HttpRequest request(c.url, "GET", c.protocol);
    for (const auto& header : c.caller_headers) request.GetHeaders().AddHeader(header.first, header.second);
    NPT_HttpClient client;
    NPT_MemoryStream out;
    ASSERT_EQ(NPT_SUCCESS, client.WriteRequest(out, request));
    EXPECT_EQ(c.expected, Contents(out));
  }
}

TEST(HttpClientWriteRequest, EntityBodies) {
  NPT_HttpRequest request("http://h:81/up", "POST");
  NPT_HttpEntity* entity = new NPT_HttpEntity();
  entity->SetInputStream("hello");
  entity->SetContentType("text/plain");
  request.SetEntity(entity);
  NPT_HttpClient client;
  NPT_MemoryStream out;
  ASSERT_EQ(NPT_SUCCESS, client.WriteRequest(out, request));
  EXPECT_EQ(
      "POST /up HTTP/1.0\r\nConnection: close\r\nHost: h:81\r\nContent-Length: 5\r\nContent-Type: text/plain\r\n\r\n"
      "hello",
      Contents(out));

  NPT_HttpRequest chunked("http://h/up", "POST", "HTTP/1.1");
  entity = new NPT_HttpEntity();
  NPT_InputStreamReference body(new NPT_MemoryStream("abcdef", 6));
  entity->SetInputStream(body);  // length unknown
  entity->SetTransferEncoding("chunked");
  chunked.SetEntity(entity);
  NPT_MemoryStream chunked_out;
  ASSERT_EQ(NPT_SUCCESS, client.WriteRequest(chunked_out, chunked));
  EXPECT_EQ("POST /up HTTP/1.1\r\nHost: h\r\nTransfer-Encoding: chunked\r\n\r\n6\r\nabcdef\r\n0\r\n\r\n",
            Contents(chunked_out));
}

/*----------------------------------------------------------------------
|   entity
+---------------------------------------------------------------------*/
TEST(HttpEntity, FromHeadersAndStreams) {
  struct Case {
    const char* content_length;
    NPT_LargeSize expected;
  };
  const Case cases[] = {{"123", 123}, {" 42 trailing", 42}, {"abc", 0}, {"18446744073709551615", 18446744073709551615ull}};
  for (const Case& c : cases) {
    NPT_HttpHeaders headers;
    headers.AddHeader("content-length", c.content_length);
    headers.AddHeader("Content-Length", "7");
    headers.AddHeader("TRANSFER-ENCODING", "chunked");
    NPT_HttpEntity entity(headers);
    EXPECT_TRUE(entity.ContentLengthIsKnown());
    EXPECT_EQ(c.expected, entity.GetContentLength()) << c.content_length;
    EXPECT_STREQ("chunked", entity.GetTransferEncoding().GetChars());
  }
  NPT_HttpHeaders none;
  NPT_HttpEntity empty(none);
  EXPECT_FALSE(empty.ContentLengthIsKnown());
  NPT_InputStreamReference stream(new NPT_MemoryStream("x", 1));
  EXPECT_EQ(NPT_RESULT_FAILURE, empty.GetInputStream(stream));
  EXPECT_TRUE(stream.IsNull());
  EXPECT_EQ(NPT_ERROR_INVALID_PARAMETERS, empty.SetInputStream(static_cast<const char*>(nullptr)));
  ASSERT_EQ(NPT_SUCCESS, empty.SetInputStream(NPT_String("four")));
  EXPECT_EQ(4u, empty.GetContentLength());
  ASSERT_EQ(NPT_SUCCESS, empty.GetInputStream(stream));
  NPT_Result end;
  EXPECT_EQ("four", Drain(*stream, end));
}

/*----------------------------------------------------------------------
|   request parsing
+---------------------------------------------------------------------*/
TEST(HttpRequestParse, Targets) {
  NPT_SocketAddress local(NPT_IpAddress(10, 0, 0, 1), 8000);
  struct Case {
    std::string input;
    const NPT_SocketAddress* local;
    NPT_Result result;
    const char* method;
    const char* host;
    NPT_UInt16 port;
    const char* request_text;
  };
  const Case cases[] = {
      {"GET /a?b=1 HTTP/1.0\r\nHost: example:81\r\n\r\n", &local, NPT_SUCCESS, "GET", "example", 81, "/a?b=1"},
      {"HEAD /x HTTP/1.1\r\nhost: example\r\n\r\n", nullptr, NPT_SUCCESS, "HEAD", "example", 80, "/x"},
      {"GET /x HTTP/1.0\r\n\r\n", &local, NPT_SUCCESS, "GET", "10.0.0.1", 8000, "/x"},
      {"GET /x HTTP/1.0\r\n\r\n", nullptr, NPT_SUCCESS, "GET", "localhost", 80, "/x"},
      {"POST HTTP://abs:99/y HTTP/1.0\r\n\r\n", nullptr, NPT_SUCCESS, "POST", "abs", 99, "/y"},
      {"GET /\r\n\r\n", nullptr, NPT_ERROR_HTTP_INVALID_REQUEST_LINE, nullptr, nullptr, 0, nullptr},
      {"GET\r\n\r\n", nullptr, NPT_ERROR_HTTP_INVALID_REQUEST_LINE, nullptr, nullptr, 0, nullptr},
      {"", nullptr, NPT_ERROR_EOS, nullptr, nullptr, 0, nullptr},
      {"GET / HTTP/1.0", nullptr, NPT_ERROR_EOS, nullptr, nullptr, 0, nullptr},
      {"GET / HTTP/1.0\r\nHost: a", nullptr, NPT_ERROR_EOS, nullptr, nullptr, 0, nullptr},
      {"GET / HTTP/1.0\r\nHost: a\r\n", nullptr, NPT_ERROR_EOS, nullptr, nullptr, 0, nullptr},
      {"GET / HTTP/1.0\r\nA: " + std::string(9000, 'a') + "\r\n\r\n", nullptr, NPT_ERROR_NOT_ENOUGH_SPACE, nullptr,
       nullptr, 0, nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.input.substr(0, 40));
    NPT_BufferedInputStreamReference stream = Buffered(c.input);
    NPT_HttpRequest* request = nullptr;
    EXPECT_EQ(c.result, NPT_HttpRequest::Parse(*stream, c.local, request));
    if (c.result != NPT_SUCCESS) {
      EXPECT_EQ(nullptr, request);
      continue;
    }
    ASSERT_NE(nullptr, request);
    EXPECT_STREQ(c.method, request->GetMethod().GetChars());
    EXPECT_STREQ(c.host, request->GetUrl().GetHost().GetChars());
    EXPECT_EQ(c.port, request->GetUrl().GetPort());
    EXPECT_STREQ(c.request_text, request->GetUrl().ToRequestString().GetChars());
    delete request;
  }
}

TEST(HttpRequestParse, EmittedRequestParsesBack) {
  NPT_HttpRequest request("http://dev:8099/info?x=%20y", "HEAD", "HTTP/1.1");
  request.GetHeaders().AddHeader("X-LUMOX-CLIENT", "viewer");
  NPT_HttpClient client;
  NPT_MemoryStream wire;
  ASSERT_EQ(NPT_SUCCESS, client.WriteRequest(wire, request));
  NPT_BufferedInputStreamReference stream = Buffered(Contents(wire));
  NPT_HttpRequest* parsed = nullptr;
  ASSERT_EQ(NPT_SUCCESS, NPT_HttpRequest::Parse(*stream, nullptr, parsed));
  EXPECT_STREQ("http://dev:8099/info?x=%20y", parsed->GetUrl().ToString().GetChars());
  EXPECT_STREQ("viewer", parsed->GetHeaders().GetHeaderValue("x-lumox-client")->GetChars());
  EXPECT_STREQ("HTTP/1.1", parsed->GetProtocol().GetChars());
  delete parsed;
}

/*----------------------------------------------------------------------
|   chunked coding
+---------------------------------------------------------------------*/
TEST(HttpChunkedInput, Decoding) {
  struct Case {
    std::string encoded;
    std::string decoded;
    NPT_Result end;
  };
  const std::string twenty_six(26, 'z');
  const Case cases[] = {
      {"5\r\nhello\r\n6\r\n world\r\n0\r\n\r\n", "hello world", NPT_ERROR_EOS},
      {"1a;name=value\r\n" + twenty_six + "\r\n0\r\n\r\n", twenty_six, NPT_ERROR_EOS},
      {"A\r\n0123456789\r\n0\r\nX-Trailer: 1\r\nY: 2\r\n\r\n", "0123456789", NPT_ERROR_EOS},
      {"a \r\n0123456789\r\n0\n\n", "0123456789", NPT_ERROR_EOS},
      {" 5\r\nhello\r\n", "", NPT_ERROR_EOS},  // a leading space reads as size 0
      {"", "", NPT_ERROR_EOS},
      // The read that ends a chunk also takes its CR LF; when that fails the
      // read fails as a whole.
      {"3\r\nabc", "", NPT_ERROR_EOS},
      {"3\r\nab", "ab", NPT_ERROR_EOS},
      {"\r\n", "", NPT_ERROR_INVALID_FORMAT},      // empty size line
      {"zz\r\n", "", NPT_ERROR_INVALID_FORMAT},
      {"-1\r\n", "", NPT_ERROR_INVALID_FORMAT},
      {"3\r\nabcXY", "", NPT_ERROR_INVALID_FORMAT},  // data not followed by CR LF
      {"100000000\r\n", "", NPT_ERROR_INVALID_FORMAT},  // does not fit 32 bits
      {"123456789abcdef\r\n", "", NPT_ERROR_INVALID_FORMAT},
      {"00000000003\r\nabc\r\n0\r\n\r\n", "abc", NPT_ERROR_EOS},  // leading zeros are fine
      {std::string(5000, '1') + "\r\n", "", NPT_ERROR_NOT_ENOUGH_SPACE},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.encoded.substr(0, 40));
    NPT_HttpChunkedInputStream stream(Buffered(c.encoded));
    NPT_Result end;
    EXPECT_EQ(c.decoded, Drain(stream, end));
    EXPECT_EQ(c.end, end);
  }
}

TEST(HttpChunkedInput, ReadsNeverCrossChunksAndEndStaysEnded) {
  NPT_HttpChunkedInputStream stream(Buffered("3\r\nabc\r\n4\r\ndefg\r\n0\r\n\r\nNEXT"));
  char buffer[16];
  NPT_Size count = 99;
  EXPECT_EQ(NPT_SUCCESS, stream.Read(buffer, 0, &count));
  EXPECT_EQ(0u, count);
  EXPECT_EQ(NPT_SUCCESS, stream.Read(buffer, sizeof(buffer), &count));
  EXPECT_EQ("abc", std::string(buffer, count));
  EXPECT_EQ(NPT_SUCCESS, stream.Read(buffer, sizeof(buffer), &count));
  EXPECT_EQ("defg", std::string(buffer, count));
  EXPECT_EQ(NPT_ERROR_EOS, stream.Read(buffer, sizeof(buffer), &count));
  EXPECT_EQ(0u, count);
  EXPECT_EQ(NPT_ERROR_EOS, stream.Read(buffer, sizeof(buffer), &count));
  NPT_Position position = 7;
  EXPECT_EQ(NPT_ERROR_NOT_SUPPORTED, stream.Tell(position));
  EXPECT_EQ(0u, position);
  EXPECT_EQ(NPT_ERROR_NOT_SUPPORTED, stream.Seek(0));
}

TEST(HttpChunkedOutput, Encoding) {
  std::string payload(300, 'p');
  NPT_MemoryStream out;
  {
    NPT_HttpChunkedOutputStream chunked(out);
    NPT_Size written = 5;
    EXPECT_EQ(NPT_SUCCESS, chunked.Write(payload.data(), 0, &written));
    EXPECT_EQ(0u, written);
    EXPECT_EQ("", Contents(out));  // an empty chunk would end the body
    EXPECT_EQ(NPT_SUCCESS, chunked.Write(payload.data(), 300, &written));
    EXPECT_EQ(300u, written);
    EXPECT_EQ("12C\r\n" + payload + "\r\n", Contents(out));
    EXPECT_EQ(NPT_SUCCESS, chunked.Write("x", 1, &written));
    EXPECT_EQ(NPT_ERROR_NOT_SUPPORTED, chunked.Seek(0));
  }
  EXPECT_EQ("12C\r\n" + payload + "\r\n1\r\nx\r\n0\r\n\r\n", Contents(out));
}

TEST(HttpChunked, RoundTripAtEverySplit) {
  std::string payload;
  for (int i = 0; i < 700; ++i) payload += (char)('a' + i % 26);
  NPT_MemoryStream wire;
  {
    NPT_HttpChunkedOutputStream chunked(wire);
    size_t offset = 0;
    for (size_t size : {1u, 15u, 16u, 255u, 256u, 157u}) {
      ASSERT_EQ(NPT_SUCCESS, chunked.WriteFully(payload.data() + offset, (NPT_Size)size));
      offset += size;
    }
    ASSERT_EQ(payload.size(), offset);
  }
  const std::string encoded = Contents(wire) + "TAIL";
  for (NPT_Size split = 1; split < encoded.size(); split += 3) {
    SCOPED_TRACE(split);
    NPT_BufferedInputStreamReference source = Buffered(encoded, {split, 2, 5});
    NPT_HttpChunkedInputStream stream(source);
    NPT_Result end;
    ASSERT_EQ(payload, Drain(stream, end, 1 + split % 64));
    ASSERT_EQ(NPT_ERROR_EOS, end);
    // Not a byte past the last chunk's trailers is lost for the next reader.
    char tail[5] = {};
    ASSERT_EQ(NPT_SUCCESS, source->ReadFully(tail, 4));
    ASSERT_STREQ("TAIL", tail);
  }
}

/*----------------------------------------------------------------------
|   reading a response the way the client does
+---------------------------------------------------------------------*/
TEST(HttpClientReadResponse, InterimAndBodies) {
  NPT_HttpClient client;
  {
    NPT_InputStreamReference input(new ScriptedInputStream(
        "HTTP/1.1 100 Continue\r\nX-Interim: 1\r\n\r\nHTTP/1.1 102 Processing\r\n\r\n"
        "HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nhiEXTRA",
        {}));
    ResponseOwner owner;
    ASSERT_EQ(NPT_SUCCESS, client.ReadResponse(input, true, owner.response));
    EXPECT_EQ(200, owner.response->GetStatusCode());
    EXPECT_EQ(nullptr, owner.response->GetHeaders().GetHeader("X-Interim"));
    NPT_HttpEntity* entity = owner.response->GetEntity();
    ASSERT_NE(nullptr, entity);
    EXPECT_EQ(2u, entity->GetContentLength());
    NPT_InputStreamReference body;
    ASSERT_EQ(NPT_SUCCESS, entity->GetInputStream(body));
    // The body is the buffered stream itself, not limited to Content-Length.
    EXPECT_NE(nullptr, dynamic_cast<NPT_BufferedInputStream*>(body.AsPointer()));
    NPT_Result end;
    EXPECT_EQ("hiEXTRA", Drain(*body, end));
    EXPECT_EQ(NPT_ERROR_EOS, end);
  }
  {
    NPT_InputStreamReference input(new ScriptedInputStream(
        "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n2\r\nhi\r\n0\r\n\r\n", {}));
    ResponseOwner owner;
    ASSERT_EQ(NPT_SUCCESS, client.ReadResponse(input, true, owner.response));
    NPT_HttpEntity* entity = owner.response->GetEntity();
    ASSERT_NE(nullptr, entity);
    EXPECT_TRUE(entity->GetTransferEncoding().IsEmpty());
    NPT_InputStreamReference body;
    ASSERT_EQ(NPT_SUCCESS, entity->GetInputStream(body));
    NPT_Result end;
    EXPECT_EQ("hi", Drain(*body, end));
    EXPECT_EQ(NPT_ERROR_EOS, end);
  }
  {
    NPT_InputStreamReference input(new ScriptedInputStream("HTTP/1.1 200 OK\r\nContent-Length: 9\r\n\r\n", {}));
    ResponseOwner owner;
    ASSERT_EQ(NPT_SUCCESS, client.ReadResponse(input, false, owner.response));
    EXPECT_EQ(nullptr, owner.response->GetEntity());
  }
  {
    // Interim response then a closed connection: the caller gets the interim
    // response to destroy, and the read's result.
    NPT_InputStreamReference input(new ScriptedInputStream("HTTP/1.1 100 Continue\r\n\r\n", {}));
    ResponseOwner owner;
    EXPECT_EQ(NPT_ERROR_EOS, client.ReadResponse(input, true, owner.response));
    ASSERT_NE(nullptr, owner.response);
    EXPECT_EQ(100, owner.response->GetStatusCode());
  }
}
