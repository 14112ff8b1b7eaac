// Steady streaming allocates nothing: once the frame store has grown to the
// largest frame, reading and delivering a frame makes no heap allocation on
// the thread that reads the stream. Every global operator new and malloc-free
// path of C++ goes through the replacement below, which counts per thread.

#include <gtest/gtest.h>

#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <string>
#include <vector>

#include "AppSimulator.h"
#include "FramePattern.h"
#include "KvxDevice.h"

// The replacements pair malloc with free by design; the compiler cannot see
// that operator new and operator delete here belong together.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
#endif

namespace {
thread_local unsigned long t_Allocations = 0;
}

void* operator new(std::size_t size) {
  ++t_Allocations;
  if (void* block = std::malloc(size ? size : 1)) return block;
  throw std::bad_alloc();
}
void* operator new[](std::size_t size) { return operator new(size); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
  ++t_Allocations;
  return std::malloc(size ? size : 1);
}
void* operator new[](std::size_t size, const std::nothrow_t& tag) noexcept { return operator new(size, tag); }
void operator delete(void* block) noexcept { std::free(block); }
void operator delete[](void* block) noexcept { std::free(block); }
void operator delete(void* block, std::size_t) noexcept { std::free(block); }
void operator delete[](void* block, std::size_t) noexcept { std::free(block); }
void operator delete(void* block, const std::nothrow_t&) noexcept { std::free(block); }
void operator delete[](void* block, const std::nothrow_t&) noexcept { std::free(block); }

namespace {

// Notes the calling thread's allocation count at every frame.
class Counter : public KVX_DeviceDelegate {
 public:
  // Room for every count up front: the counter itself must not allocate.
  Counter() { counts.reserve(256); }
  void OnNewImage(const NPT_Byte* data, NPT_UInt64 size, const char*) override {
    bool valid = kvx_sim::VerifyFrame(data, static_cast<size_t>(size), nullptr);
    unsigned long count = t_Allocations;
    std::lock_guard<std::mutex> lock(m_Mutex);
    counts.push_back(count);
    all_valid = all_valid && valid;
  }
  void OnDisconnection() override {
    std::lock_guard<std::mutex> lock(m_Mutex);
    ended = true;
    m_Changed.notify_all();
  }
  bool WaitForEnd() {
    std::unique_lock<std::mutex> lock(m_Mutex);
    return m_Changed.wait_for(lock, std::chrono::seconds(60), [&] { return ended; });
  }

  std::vector<unsigned long> counts;
  bool all_valid = true;
  bool ended = false;

 private:
  std::mutex m_Mutex;
  std::condition_variable m_Changed;
};

// Memory source of a whole multipart body, handing out at most `chunk`
// bytes per read.
class Source : public NPT_InputStream {
 public:
  Source(std::string data, size_t chunk) : m_Data(std::move(data)), m_Chunk(chunk) {}
  NPT_Result Read(void* buffer, NPT_Size bytes_to_read, NPT_Size* bytes_read) override {
    if (bytes_read) *bytes_read = 0;
    if (bytes_to_read == 0) return NPT_SUCCESS;
    if (m_Position == m_Data.size()) return NPT_ERROR_EOS;
    size_t count = std::min<size_t>({bytes_to_read, m_Chunk, m_Data.size() - m_Position});
    std::memcpy(buffer, m_Data.data() + m_Position, count);
    m_Position += count;
    if (bytes_read) *bytes_read = static_cast<NPT_Size>(count);
    return NPT_SUCCESS;
  }
  NPT_Result Seek(NPT_Position) override { return NPT_ERROR_NOT_SUPPORTED; }
  NPT_Result Tell(NPT_Position& offset) override {
    offset = m_Position;
    return NPT_SUCCESS;
  }
  NPT_Result GetSize(NPT_LargeSize& size) override {
    size = m_Data.size();
    return NPT_SUCCESS;
  }
  NPT_Result GetAvailable(NPT_LargeSize& available) override {
    available = m_Data.size() - m_Position;
    return NPT_SUCCESS;
  }

 private:
  std::string m_Data;
  size_t m_Chunk;
  size_t m_Position = 0;
};

// Frames after the first `warm_up` ones made no allocation between them.
void ExpectNoAllocationAfter(const std::vector<unsigned long>& counts, size_t warm_up) {
  for (size_t i = warm_up + 1; i < counts.size(); ++i) {
    EXPECT_EQ(counts[i], counts[i - 1]) << "allocations between frames " << i - 1 << " and " << i;
  }
}

TEST(AllocationTest, ReaderAllocatesNothingPerFrameOnceTheStoreHasGrown) {
  // The largest frame comes first; smaller and equal ones follow, of all
  // three types (of several text lengths), with varying separator lines.
  const size_t sizes[] = {200000, 10, 200000, 70000, 1, 4096, 199999, 200000, 33, 150000};
  const char* types[] = {"image/jpeg", "image/rgb", "IMAGE/RGBA", "image/rgb"};
  std::string input = "preamble\r\n";
  for (size_t i = 0; i < sizeof(sizes) / sizeof(sizes[0]); ++i) {
    std::vector<uint8_t> frame = kvx_sim::MakeFrame(i, sizes[i]);
    input += "--frame\r\nContent-Type: " + std::string(types[i % 4]) +
             "\r\nContent-Length: " + std::to_string(sizes[i]) + "\r\n\r\n";
    input.append(reinterpret_cast<const char*>(frame.data()), frame.size());
    input += std::string(i % 3 + 1, '\n');
  }
  input += "--frame--\r\n";
  for (size_t chunk : {size_t(1000), size_t(65536), size_t(1) << 24}) {
    KVX_Device device(NPT_List<NPT_HttpUrl>(), 0);
    Counter counter;
    device.SetDelegate(&counter);
    NPT_InputStreamReference stream(new Source(input, chunk));
    EXPECT_EQ(device.ReadBody(stream, "frame"), NPT_ERROR_EOS);
    ASSERT_EQ(counter.counts.size(), 10u);
    EXPECT_TRUE(counter.all_valid);
    ExpectNoAllocationAfter(counter.counts, 0);
  }
}

TEST(AllocationTest, DeviceStreamAllocatesNothingPerFrameOverTcp) {
  kvx_sim::AppSimConfig config;
  config.frame_size = 300000;
  config.frame_count = 30;
  config.frame_content_type = "image/rgba";
  kvx_sim::AppSimulator app(config);
  ASSERT_GT(app.Start(), 0);
  Counter counter;
  {
    NPT_List<NPT_HttpUrl> urls;
    urls.Add(NPT_HttpUrl("127.0.0.1", static_cast<NPT_UInt16>(app.Port()), "/stream"));
    KVX_Device device(urls, 0);
    device.SetDelegate(&counter);
    ASSERT_EQ(device.Start("counter"), NPT_SUCCESS);
    ASSERT_TRUE(counter.WaitForEnd());
  }
  ASSERT_EQ(counter.counts.size(), 30u);
  EXPECT_TRUE(counter.all_valid);
  ExpectNoAllocationAfter(counter.counts, 0);
}

// The counter works: a frame store that must grow is seen allocating.
TEST(AllocationTest, CounterSeesTheStoreGrow) {
  unsigned long before = t_Allocations;
  NPT_MemoryStream store(16);
  store.SetDataSize(1 << 20);
  EXPECT_GT(t_Allocations, before);
}

}  // namespace
