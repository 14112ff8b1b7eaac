// Google Benchmark suite of the stream's hot pieces in isolation: multipart
// part parsing, line reading, the authentication token and string work.
#include <benchmark/benchmark.h>

#include <string>
#include <vector>

#include "KvxDevice.h"
#include "NptBufferedStreams.h"
#include "NptHttp.h"
#include "NptStreams.h"
#include "NptStrings.h"

namespace {

// `parts` parts of `body` bytes each, then the closing delimiter.
std::string MultipartBody(int parts, size_t body) {
  std::string text;
  std::string payload(body, 'x');
  for (int i = 0; i < parts; ++i) {
    text += "--frame\r\nContent-Type: image/jpeg\r\nContent-Length: " + std::to_string(body) + "\r\n\r\n";
    text += payload;
    text += "\r\n";
  }
  text += "--frame--\r\n";
  return text;
}

// ReadBody over a buffered memory stream: with tiny bodies this is the part
// header parser; with 50 KB bodies, the per-frame cost of a JPEG stream.
void BM_ReadBody(benchmark::State& state) {
  const int parts = 100;
  const size_t body = static_cast<size_t>(state.range(0));
  std::string text = MultipartBody(parts, body);
  NPT_List<NPT_HttpUrl> urls;
  KVX_Device device(urls, 0);
  NPT_String boundary("frame");
  for (auto _ : state) {
    NPT_InputStreamReference source(new NPT_MemoryStream(text.data(), static_cast<NPT_Size>(text.size())));
    NPT_InputStreamReference buffered(new NPT_BufferedInputStream(source));
    NPT_Result result = device.ReadBody(buffered, boundary);
    benchmark::DoNotOptimize(result);
    if (result != NPT_ERROR_EOS) state.SkipWithError("ReadBody did not reach the closing delimiter");
  }
  state.SetItemsProcessed(state.iterations() * parts);
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(text.size()));
}
BENCHMARK(BM_ReadBody)->Arg(16)->Arg(51200);

void BM_ReadLine(benchmark::State& state) {
  std::string text;
  const int lines = 1000;
  for (int i = 0; i < lines; ++i) text += "Content-Length: " + std::to_string(i * 997) + "\r\n";
  for (auto _ : state) {
    NPT_InputStreamReference source(new NPT_MemoryStream(text.data(), static_cast<NPT_Size>(text.size())));
    NPT_BufferedInputStream buffered(source);
    char line[256];
    int count = 0;
    while (buffered.ReadLine(line, sizeof(line)) == NPT_SUCCESS) ++count;
    if (count != lines) state.SkipWithError("wrong line count");
    benchmark::DoNotOptimize(line);
  }
  state.SetItemsProcessed(state.iterations() * lines);
}
BENCHMARK(BM_ReadLine);

void BM_ExtractBoundary(benchmark::State& state) {
  NPT_HttpEntity entity;
  entity.SetContentType("multipart/x-mixed-replace; boundary=--frame");
  for (auto _ : state) {
    NPT_String boundary;
    NPT_Result result = KVX_Device::ExtractBoundary(entity, boundary);
    benchmark::DoNotOptimize(result);
    if (!(boundary == NPT_String("frame"))) state.SkipWithError("wrong boundary");
  }
}
BENCHMARK(BM_ExtractBoundary);

void BM_ExtractParts(benchmark::State& state) {
  NPT_String line("Content-Length: 6220800");
  for (auto _ : state) {
    NPT_String name, value;
    NPT_Result result = KVX_Device::ExtractParts(line, ":", name, value);
    benchmark::DoNotOptimize(result);
    if (!(name == NPT_String("Content-Length"))) state.SkipWithError("wrong name");
  }
}
BENCHMARK(BM_ExtractParts);

void BM_CreateAuthentication(benchmark::State& state) {
  NPT_String token;
  for (auto _ : state) {
    KVX_Device::CreateAuthentication(token);
    benchmark::DoNotOptimize(token.GetChars());
  }
  if (token.GetLength() != 73) state.SkipWithError("token is not 73 characters");
}
BENCHMARK(BM_CreateAuthentication);

void BM_StringTrimCompare(benchmark::State& state) {
  for (auto _ : state) {
    NPT_String value("   image/jpeg  ");
    value.Trim();
    bool same = value.Compare("IMAGE/JPEG", true) == 0;
    benchmark::DoNotOptimize(same);
  }
}
BENCHMARK(BM_StringTrimCompare);

void BM_StringAppendFind(benchmark::State& state) {
  for (auto _ : state) {
    NPT_String text;
    for (int i = 0; i < 16; ++i) text.Append("Content-Type: image/rgb\r\n");
    int at = text.Find("\r\n\r\n");
    benchmark::DoNotOptimize(at);
  }
}
BENCHMARK(BM_StringAppendFind);

void BM_StringToInteger(benchmark::State& state) {
  NPT_String text("33177600");
  for (auto _ : state) {
    unsigned long value = 0;
    text.ToInteger(value, false);
    benchmark::DoNotOptimize(value);
  }
}
BENCHMARK(BM_StringToInteger);

}  // namespace

BENCHMARK_MAIN();
