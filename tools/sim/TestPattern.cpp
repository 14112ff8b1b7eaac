#include "TestPattern.h"

namespace kvx_sim {
namespace {

// Eight bars: white, yellow, cyan, green, magenta, red, blue, black.
const uint8_t kBars[8][3] = {{235, 235, 235}, {235, 235, 16}, {16, 235, 235}, {16, 235, 16},
                             {235, 16, 235},  {235, 16, 16},  {16, 16, 235},  {16, 16, 16}};

// A cell value counts as light above this and as dark below kDarkBelow; in
// between the code is unreadable.
constexpr int kLightAbove = 160;
constexpr int kDarkBelow = 96;

void Put(uint8_t* p, int channels, uint8_t r, uint8_t g, uint8_t b) {
  p[0] = r;
  p[1] = g;
  p[2] = b;
  if (channels == 4) p[3] = 255;
}

// Position along [0, span] of a point bouncing at `speed` pixels per frame.
int Bounce(uint64_t seq, int speed, int span) {
  if (span <= 0) return 0;
  uint64_t period = 2 * static_cast<uint64_t>(span);
  uint64_t t = (seq * static_cast<uint64_t>(speed)) % period;
  return static_cast<int>(t <= static_cast<uint64_t>(span) ? t : period - t);
}

}  // namespace

bool IsValidPatternSize(int width, int height) {
  return width >= kPatternMinWidth && height >= kPatternMinHeight && width <= kPatternMaxSide &&
         height <= kPatternMaxSide;
}

bool RenderTestPattern(uint64_t seq, int width, int height, int channels, uint8_t* pixels) {
  if (!pixels || !IsValidPatternSize(width, height) || (channels != 3 && channels != 4)) return false;
  const size_t stride = static_cast<size_t>(width) * channels;
  const int shift = static_cast<int>((seq * 4) % static_cast<uint64_t>(width));
  // Scrolling bars below the code.
  for (int y = kPatternCodeHeight; y < height; ++y) {
    uint8_t* row = pixels + static_cast<size_t>(y) * stride;
    for (int x = 0; x < width; ++x) {
      int bar = static_cast<int>(((static_cast<long>(x) + shift) % width) * 8 / width);
      Put(row + static_cast<size_t>(x) * channels, channels, kBars[bar][0], kBars[bar][1], kBars[bar][2]);
    }
  }
  // A grey ramp band across the lower quarter, so the picture is not all bars.
  for (int y = height - height / 4; y < height; ++y) {
    uint8_t* row = pixels + static_cast<size_t>(y) * stride;
    for (int x = 0; x < width; ++x) {
      uint8_t v = static_cast<uint8_t>(x * 255 / (width > 1 ? width - 1 : 1));
      Put(row + static_cast<size_t>(x) * channels, channels, v, v, v);
    }
  }
  // The bouncing box.
  const int box = (width < height ? width : height) / 5;
  if (box > 0) {
    int bx = Bounce(seq, 5, width - box);
    int by = kPatternCodeHeight + Bounce(seq, 3, height - kPatternCodeHeight - box);
    for (int y = by; y < by + box; ++y) {
      uint8_t* row = pixels + static_cast<size_t>(y) * stride;
      for (int x = bx; x < bx + box; ++x) Put(row + static_cast<size_t>(x) * channels, channels, 255, 128, 0);
    }
  }
  // The bar code of the frame number.
  const uint32_t code = static_cast<uint32_t>(seq & ((1u << kPatternCodeBits) - 1));
  for (int y = 0; y < kPatternCodeHeight; ++y) {
    uint8_t* row = pixels + static_cast<size_t>(y) * stride;
    for (int x = 0; x < width; ++x) {
      int cell = x * kPatternCodeBits / width;
      bool one = (code >> (kPatternCodeBits - 1 - cell)) & 1u;
      uint8_t v = one ? 255 : 0;
      Put(row + static_cast<size_t>(x) * channels, channels, v, v, v);
    }
  }
  return true;
}

bool ReadPatternSequence(const uint8_t* pixels, int width, int height, int channels, uint32_t* seq) {
  if (seq) *seq = 0;
  if (!pixels || !seq || !IsValidPatternSize(width, height) || (channels != 3 && channels != 4)) return false;
  const size_t stride = static_cast<size_t>(width) * channels;
  const int y = kPatternCodeHeight / 2;
  uint32_t code = 0;
  for (int cell = 0; cell < kPatternCodeBits; ++cell) {
    // The middle of the cell, away from the edges that coding blurs.
    int x = static_cast<int>((static_cast<long>(2 * cell + 1) * width) / (2 * kPatternCodeBits));
    const uint8_t* p = pixels + static_cast<size_t>(y) * stride + static_cast<size_t>(x) * channels;
    int luma = (p[0] * 77 + p[1] * 150 + p[2] * 29) >> 8;
    code <<= 1;
    if (luma > kLightAbove) {
      code |= 1u;
    } else if (luma >= kDarkBelow) {
      return false;
    }
  }
  *seq = code;
  return true;
}

}  // namespace kvx_sim
