#pragma once
// Catalogue of hostile answers from a companion app: malformed HTTP heads,
// content types, multipart layouts, part headers, lengths, chunked codings and
// bytes a text parser does not expect. Each entry is the whole answer as it
// goes on the wire and what a device stream must make of it: whether it
// reports a connection, and the frames (bytes and type) delivered before the
// fault. A frame counts only when its body arrived complete.

#include <string>
#include <vector>

namespace kvx_hostile {

struct ExpectedFrame {
  std::string body;
  std::string type;
};

struct HostileCase {
  std::string name;
  std::string answer;
  bool connected;  // OnConnection expected (status 200 with a body)
  std::vector<ExpectedFrame> frames;
};

// A frame body that names its index, so a frame out of place shows.
inline std::string Body(int index, size_t size) {
  std::string body(size, '\0');
  for (size_t i = 0; i < size; ++i) body[i] = static_cast<char>((index * 31 + i * 7) & 0xFF);
  if (size >= 2) {
    body[0] = 'F';
    body[1] = static_cast<char>('0' + index % 10);
  }
  return body;
}

inline std::string Head(const std::string& content_type = "multipart/x-mixed-replace; boundary=--frame",
                        const std::string& extra = "") {
  return "HTTP/1.0 200 OK\r\nContent-Type: " + content_type + "\r\n" + extra + "\r\n";
}

inline std::string Part(const std::string& body, const std::string& type = "image/jpeg") {
  return "--frame\r\nContent-Type: " + type + "\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" +
         body + "\r\n";
}

inline std::string Closing() { return "--frame--\r\n"; }

// The HTTP chunked coding of `data` in pieces of `piece` bytes, with the end.
inline std::string Chunked(const std::string& data, size_t piece) {
  static const char kHex[] = "0123456789abcdef";
  std::string out;
  for (size_t at = 0; at < data.size(); at += piece) {
    size_t size = data.size() - at < piece ? data.size() - at : piece;
    std::string hex;
    for (size_t v = size; v; v >>= 4) hex.insert(hex.begin(), kHex[v & 15]);
    out += hex + "\r\n" + data.substr(at, size) + "\r\n";
  }
  return out + "0\r\n\r\n";
}

inline std::vector<HostileCase> Catalogue() {
  const std::string b0 = Body(0, 40), b1 = Body(1, 300), b2 = Body(2, 5000);
  const ExpectedFrame f0{b0, "image/jpeg"}, f1{b1, "image/jpeg"};
  const std::string head = Head();
  const std::string good = Part(b0) + Part(b1);
  std::vector<HostileCase> c;
  auto add = [&](const std::string& name, const std::string& answer, bool connected,
                 std::vector<ExpectedFrame> frames) { c.push_back({name, answer, connected, std::move(frames)}); };

  // --- the HTTP head: no connection is reported ---
  add("empty answer", "", false, {});
  add("status line of 9000 characters", "HTTP/1.0 200 " + std::string(9000, 'O') + "\r\n\r\n" + good, false, {});
  add("header line of 9000 characters",
      "HTTP/1.0 200 OK\r\nX-Long: " + std::string(9000, 'x') + "\r\n" + head.substr(17) + good, false, {});
  {
    std::string many = "HTTP/1.0 200 OK\r\n";
    for (int i = 0; i < 150; ++i) many += "X-H" + std::to_string(i) + ": v\r\n";
    add("150 header lines", many + head.substr(17) + good, false, {});
    std::string big = "HTTP/1.0 200 OK\r\n";
    for (int i = 0; i < 90; ++i) big += "X-B" + std::to_string(i) + ": " + std::string(800, 'b') + "\r\n";
    add("header block over 64 KiB", big + head.substr(17) + good, false, {});
  }
  add("endless head without line end", "HTTP/1.0 200 OK\r\nX-A: " + std::string(200000, 'a'), false, {});
  add("status 404 with a valid body", "HTTP/1.0 404 Not Found\r\nContent-Type: multipart/x-mixed-replace; "
      "boundary=frame\r\n\r\n" + good, false, {});
  add("status 500", "HTTP/1.0 500 Oops\r\n\r\n", false, {});
  add("status not a number", "HTTP/1.0 2OO OK\r\n\r\n" + good, false, {});
  add("not HTTP at all", "garbage\r\n\r\n" + good, false, {});
  // A head that the connection's end cuts short is no answer at all.
  add("status line cut after the code", "HTTP/1.0 200 O", false, {});
  add("status line cut inside the code", "HTTP/1.0 20", false, {});
  add("head cut before the empty line", "HTTP/1.0 200 OK\r\nContent-Type: multipart/x-mixed-replace; boundary=frame\r\n",
      false, {});
  add("NUL bytes in the status line", std::string("HTTP/1.0 2\0\0 OK\r\n", 17) + head.substr(17) + good, false, {});
  add("redirect to itself forever", "HTTP/1.0 302 Found\r\nLocation: /stream\r\n\r\n", false, {});

  // --- the content type: connection, then nothing read ---
  add("no content type", "HTTP/1.0 200 OK\r\n\r\n" + good, true, {});
  add("text/plain", Head("text/plain") + good, true, {});
  add("multipart/mixed", Head("multipart/mixed; boundary=frame") + good, true, {});
  add("boundary not the first parameter", Head("multipart/x-mixed-replace; charset=x; boundary=frame") + good, true,
      {});
  add("empty boundary", Head("multipart/x-mixed-replace; boundary=") + good, true, {});
  add("boundary of dashes only", Head("multipart/x-mixed-replace; boundary=-----") + good, true, {});
  add("non-ASCII media type", Head("multip\xC3\xA4rt/x-mixed-replace; boundary=frame") + good, true, {});
  add("quoted boundary never matches", Head("multipart/x-mixed-replace; boundary=\"frame\"") + good, true, {});
  add("upper-case media type and parameter", Head("MULTIPART/X-MIXED-REPLACE; Boundary=frame") + good, true,
      {f0, f1});

  // --- preamble and delimiters ---
  {
    std::string preamble;
    for (int i = 0; i < 20000; ++i) preamble += "preamble line " + std::to_string(i) + "\r\n";
    add("endless preamble then close", head + preamble, true, {});
    add("long preamble then frames", head + preamble + good, true, {f0, f1});
  }
  add("preamble line of 5000 characters", head + std::string(5000, 'p') + "\r\n" + good, true, {});
  add("preamble without any line end", head + std::string(100000, 'p'), true, {});
  add("no delimiter at all", head + "Content-Type: image/jpeg\r\nContent-Length: 3\r\n\r\nabc\r\n", true, {});
  add("delimiter in other letter case", head + "--FRAME\r\nContent-Type: image/jpeg\r\nContent-Length: 3\r\n\r\nabc\r\n",
      true, {});
  add("delimiter with extra dashes is preamble", head + "----frame\r\n" + good, true, {f0, f1});
  add("repeated delimiter", head + "--frame\r\n" + good, true, {});
  add("delimiter with trailing blank after a frame",
      head + Part(b0) + "--frame \r\nContent-Type: image/jpeg\r\nContent-Length: 3\r\n\r\nabc\r\n", true, {f0});
  add("text where a delimiter is due", head + Part(b0) + "hello\r\n" + Part(b1), true, {f0});
  add("closing delimiter first", head + Closing() + good, true, {});
  add("data after the closing delimiter", head + Part(b0) + Closing() + Part(b1), true, {f0});
  add("no closing delimiter", head + good, true, {f0, f1});
  add("a thousand empty lines between parts", head + Part(b0) + std::string(2000, '\n') + Part(b1), true, {f0, f1});
  add("bare LF line ends", "HTTP/1.0 200 OK\nContent-Type: multipart/x-mixed-replace;boundary=frame\n\n--frame\n"
      "Content-Length: 40\nContent-Type: image/rgb\n\n" + b0 + "\n--frame--\n", true, {{b0, "image/rgb"}});
  add("stray CRs everywhere", head + "\r--fr\rame\r\r\nContent-Type: image/jpeg\r\r\nContent-Length: 40\r\n\r\r\n" + b0 +
      "\r\r\n" + Closing(), true, {f0});

  // --- part headers ---
  add("third header line", head + Part(b0) + "--frame\r\nContent-Type: image/jpeg\r\nContent-Length: 3\r\nX-Ts: 1\r\n\r\nabc",
      true, {f0});
  add("single header line", head + Part(b0) + "--frame\r\nContent-Length: 3\r\n\r\nabc\r\n", true, {f0});
  add("unknown header name", head + "--frame\r\nX-Type: image/jpeg\r\nContent-Length: 3\r\n\r\nabc\r\n", true, {});
  add("image/png", head + Part(b0) + Part(b1, "image/png"), true, {f0});
  add("content type with a parameter", head + Part(b0, "image/jpeg; q=1"), true, {});
  add("text after a second colon is dropped", head + "--frame\r\nContent-Type:image/rgba:junk\r\nContent-Length: 40\r\n\r\n" +
      b0 + "\r\n", true, {{b0, "image/rgba"}});
  add("two content types in the first part", head + "--frame\r\nContent-Type: image/jpeg\r\nContent-Type: image/rgb\r\n\r\n"
      "abc\r\n", true, {});
  add("header line of 5000 characters", head + Part(b0) + "--frame\r\nContent-Type: " + std::string(5000, 'j') + "\r\n", true,
      {f0});
  add("NUL inside the header name", head + std::string("--frame\r\nContent-\0Type: image/jpeg\r\n", 37) +
      "Content-Length: 3\r\n\r\nabc\r\n", true, {});
  add("NUL inside the content type", head + Part(b0) + Part(b1, std::string("image/jp\0eg", 11)), true, {f0});
  add("non-ASCII header name", head + "--frame\r\nC\xC3\xB6ntent-Type: image/jpeg\r\nContent-Length: 3\r\n\r\nabc\r\n",
      true, {});
  add("non-ASCII content type", head + Part(b0, "image/jp\xFF\xFE"), true, {});
  add("text instead of the empty line", head + "--frame\r\nContent-Type: image/jpeg\r\nContent-Length: 3\r\nabc\r\n",
      true, {});
  add("CR-only line ends fold the headers", head + "--frame\rContent-Type: image/jpeg\rContent-Length: 40\r\r" + b0, true,
      {});
  add("types change from part to part", head + Part(b0, "image/rgba") + Part(b1, "IMAGE/RGB"), true,
      {{b0, "image/rgba"}, {b1, "IMAGE/RGB"}});

  // --- lengths ---
  auto part_with_length = [](const std::string& length, const std::string& body) {
    return "--frame\r\nContent-Type: image/jpeg\r\nContent-Length: " + length + "\r\n\r\n" + body + "\r\n";
  };
  add("length not a number", head + Part(b0) + part_with_length("abc", b1), true, {f0});
  add("negative length", head + part_with_length("-5", "abcde"), true, {});
  add("length past 64 bits", head + Part(b0) + part_with_length("99999999999999999999999", b1), true, {f0});
  add("largest 64-bit length", head + part_with_length("18446744073709551615", b1), true, {});
  add("length past the frame limit", head + Part(b0) + part_with_length("2147483648", b1), true, {f0});
  add("length at the frame limit, body cut short", head + Part(b0) + part_with_length("2147483647", b1), true, {f0});
  add("length bigger than the body", head + Part(b0) + part_with_length("400", b1), true, {f0});
  add("length smaller than the body", head + part_with_length("10", b0) + Part(b1), true, {{b0.substr(0, 10), "image/jpeg"}});
  add("length with blanks, tab and a tail", head + part_with_length(" \t40abc", b0) + Closing(), true, {f0});
  add("length 0 runs to the end of the stream", head + Part(b0) + part_with_length("0", b1), true,
      {f0, {b1 + "\r\n", "image/jpeg"}});
  add("two lengths in the first part", head + "--frame\r\nContent-Length: 3\r\nContent-Length: 40\r\n\r\n" + b0 + "\r\n",
      true, {{b0, ""}});
  add("body cut in the middle", head + Part(b0) + Part(b2).substr(0, 2000), true, {f0});

  // --- chunked transfer coding ---
  const std::string chunked_head = Head("multipart/x-mixed-replace; boundary=frame", "Transfer-Encoding: chunked\r\n");
  add("chunked, valid", chunked_head + Chunked(good + Closing(), 97), true, {f0, f1});
  add("chunked, bad chunk size",
      chunked_head + Chunked(Part(b0), 1000).substr(0, Chunked(Part(b0), 1000).size() - 5) + "zz\r\nabc\r\n", true,
      {f0});
  add("chunked, chunk size past 32 bits", chunked_head + "FFFFFFFFFF\r\n" + good, true, {});
  add("chunked, empty size line", chunked_head + "\r\n" + good, true, {});
  add("chunked, chunk without its CR LF", chunked_head + "5\r\n--fraXX" + good, true, {});
  add("chunked, huge chunk then close", chunked_head + "fffffff\r\n" + Part(b0) + Part(b2).substr(0, 100), true, {f0});
  add("chunked, end of chunks mid-frame", chunked_head + Chunked(Part(b0) + Part(b1).substr(0, 150), 64), true, {f0});
  add("chunked, size line of 5000 characters", chunked_head + std::string(5000, '1') + "\r\n", true, {});
  return c;
}

// A valid answer of three frames and where each frame's body ends in it:
// cutting the answer at or after `ends[i]` must deliver frames 0..i.
struct ValidStream {
  std::string answer;
  // Shortest cut that still reads as a 200 answer: the whole head.
  size_t head_length;
  std::vector<ExpectedFrame> frames;
  std::vector<size_t> ends;
};

inline ValidStream MakeValidStream() {
  ValidStream stream;
  stream.answer = Head();
  stream.head_length = stream.answer.size();
  const char* types[] = {"image/jpeg", "image/rgba", "image/rgb"};
  const size_t sizes[] = {1, 30, 70};
  for (int i = 0; i < 3; ++i) {
    std::string body = Body(i, sizes[i]);
    std::string part = Part(body, types[i]);
    stream.ends.push_back(stream.answer.size() + part.size() - 2);  // before the CR LF after the body
    stream.answer += part;
    stream.frames.push_back({body, types[i]});
  }
  stream.answer += Closing();
  return stream;
}

}  // namespace kvx_hostile
