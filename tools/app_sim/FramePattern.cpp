#include "FramePattern.h"

#include <cstring>

namespace kvx_sim {

namespace {

// The inverse of 31 modulo 256: 31 * 223 = 6913 = 27 * 256 + 1.
constexpr unsigned kInverseOf31 = 223;

inline uint8_t PatternByte(uint64_t key, size_t i) {
  return static_cast<uint8_t>((key * 31u + i) & 0xffu);
}

// What the filler of a frame with room for its number depends on: every byte
// of the number.
inline uint64_t FillerKey(uint64_t seq) {
  uint64_t key = 0;
  for (int i = 0; i < 8; ++i) key ^= (seq >> (8 * i)) & 0xffu;
  return key;
}

}  // namespace

void FillFrame(uint64_t seq, uint8_t* data, size_t size) {
  if (size == 0) return;
  size_t start = 0;
  uint64_t key = seq;
  if (size >= kFrameSequenceBytes) {
    for (size_t i = 0; i < kFrameSequenceBytes; ++i) {
      data[i] = static_cast<uint8_t>(seq >> (8 * i));
    }
    start = kFrameSequenceBytes;
    key = FillerKey(seq);
  }
  // One period of the filler, then doubling copies: byte i + k*256 equals byte i.
  size_t first = size - start < 256 ? size - start : 256;
  for (size_t i = 0; i < first; ++i) data[start + i] = PatternByte(key, start + i);
  size_t filled = first;
  while (start + filled < size) {
    size_t n = size - start - filled < filled ? size - start - filled : filled;
    std::memcpy(data + start + filled, data + start, n);
    filled += n;
  }
}

std::vector<uint8_t> MakeFrame(uint64_t seq, size_t size) {
  std::vector<uint8_t> frame(size);
  FillFrame(seq, frame.data(), size);
  return frame;
}

bool VerifyFrame(const uint8_t* data, size_t size, uint64_t* seq) {
  if (seq) *seq = 0;
  if (data == nullptr || size == 0) return false;
  uint64_t found = 0;
  uint64_t key = 0;
  size_t start = 0;
  if (size >= kFrameSequenceBytes) {
    for (size_t i = 0; i < kFrameSequenceBytes; ++i) {
      found |= static_cast<uint64_t>(data[i]) << (8 * i);
    }
    start = kFrameSequenceBytes;
    key = FillerKey(found);
  } else {
    found = (static_cast<unsigned>(data[0]) * kInverseOf31) & 0xffu;
    key = found;
  }
  uint8_t period[256];
  for (size_t i = 0; i < sizeof(period); ++i) period[i] = PatternByte(key, start + i);
  for (size_t offset = start; offset < size; offset += sizeof(period)) {
    size_t n = size - offset < sizeof(period) ? size - offset : sizeof(period);
    if (std::memcmp(data + offset, period, n) != 0) return false;
  }
  if (seq) *seq = found;
  return true;
}

}  // namespace kvx_sim
