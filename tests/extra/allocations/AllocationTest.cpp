// Steady streaming allocates nothing: once the frame store has grown to the
// largest frame, reading and delivering a frame makes no heap allocation on
// the thread that reads the stream. Every global operator new and malloc-free
// path of C++ goes through the shared allocation counter, which counts per
// thread.

#include <gtest/gtest.h>

#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

#include "AllocationCounter.h"
#include "AppSimulator.h"
#include "FramePattern.h"
#include "KvxDevice.h"
#include "ScriptedInputStream.h"

namespace {

// Notes the calling thread's allocation count at every frame.
class Counter : public KVX_DeviceDelegate {
 public:
  // Room for every count up front: the counter itself must not allocate.
  Counter() { counts.reserve(256); }
  void OnNewImage(const NPT_Byte* data, NPT_UInt64 size, const char*) override {
    bool valid = kvx_sim::VerifyFrame(data, static_cast<size_t>(size), nullptr);
    unsigned long count = kvx_test::ThreadAllocations();
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
    kvx_test::ScriptedInputStream* source = new kvx_test::ScriptedInputStream(input, {(NPT_Size)chunk});
    source->m_RecordRequests = false;  // its own bookkeeping must not allocate
    NPT_InputStreamReference stream(source);
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
  unsigned long before = kvx_test::ThreadAllocations();
  NPT_MemoryStream store(16);
  store.SetDataSize(1 << 20);
  EXPECT_GT(kvx_test::ThreadAllocations(), before);
}

}  // namespace
