// Latest-frame delivery allocates nothing per frame either: once the two
// buffers of its hand-over have grown to the largest frame, neither the
// reader's side (Put) nor the delivering side (Take) allocates, whatever the
// frame sizes and content types that follow.

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "AllocationCounter.h"
#include "FramePattern.h"
#include "KvxFrameHandOver.h"

namespace {

TEST(AllocationTest, LatestFrameHandOverAllocatesNothingOnceGrown) {
  const size_t sizes[] = {300000, 10, 299999, 4096, 300000, 1, 250000};
  const char* types[] = {"image/rgb", "IMAGE/RGBA", "image/jpeg"};
  std::vector<std::vector<uint8_t>> frames;
  for (size_t i = 0; i < 200; ++i) frames.push_back(kvx_sim::MakeFrame(i, sizes[i % 7]));
  KVX_FrameHandOver hand_over;
  // Warm-up: both buffers reach the largest size (one is taken, one pending).
  for (uint64_t i = 0; i < 2; ++i) {
    hand_over.Put(frames[0].data(), frames[0].size(), types[0], i);
    KVX_FrameHandOver::Frame frame;
    ASSERT_TRUE(hand_over.Take(frame));
  }
  std::atomic<unsigned long> taker_allocations{0};
  std::atomic<bool> all_valid{true};
  std::thread taker([&] {
    unsigned long before = kvx_test::ThreadAllocations();
    KVX_FrameHandOver::Frame frame;
    uint64_t last = 0;
    while (hand_over.Take(frame)) {
      uint64_t seq = 0;
      if (!kvx_sim::VerifyFrame(frame.data, static_cast<size_t>(frame.size), &seq) || seq != frame.number ||
          seq <= last) {
        all_valid = false;
      }
      last = seq;
    }
    taker_allocations = kvx_test::ThreadAllocations() - before;
  });
  unsigned long before = kvx_test::ThreadAllocations();
  for (uint64_t i = 2; i < frames.size(); ++i) {
    hand_over.Put(frames[i].data(), frames[i].size(), types[i % 3], i);
  }
  hand_over.Close();
  const unsigned long reader_allocations = kvx_test::ThreadAllocations() - before;
  taker.join();
  EXPECT_EQ(reader_allocations, 0u);
  EXPECT_EQ(taker_allocations.load(), 0u);
  EXPECT_TRUE(all_valid.load());
}

}  // namespace
