#pragma once
// The moving test pattern that simulated devices serve, and the check that
// lets a receiver prove a frame is the pattern it claims to be (JPEG coding is
// in KvxImage.h).
//
// A pattern frame shows colour bars that scroll with the frame number, a box
// that bounces across the picture, and along the top edge a bar code of the
// frame number: kPatternCodeBits cells of equal width, most significant bit
// first, white for 1 and black for 0, kPatternCodeHeight rows high. The cells
// are wide and flat so that the code survives JPEG coding at ordinary quality.
//
// Pixels are 8-bit RGB (3 channels) or RGBA (4 channels, alpha 255), rows
// top to bottom, no padding. Nothing here throws or keeps state.

#include <cstdint>

#include "KvxImage.h"

namespace kvx_sim {

constexpr int kPatternCodeBits = 24;
constexpr int kPatternCodeHeight = 16;
// Smallest and largest picture the pattern is drawn in (the code needs at
// least 2 pixels per cell and some rows under it).
constexpr int kPatternMinWidth = 2 * kPatternCodeBits;
constexpr int kPatternMinHeight = 2 * kPatternCodeHeight;
constexpr int kPatternMaxSide = kvx_image::kMaxSide;

// True when width x height lies within the limits above.
bool IsValidPatternSize(int width, int height);

// Draws frame `seq` into `pixels` (width * height * channels bytes). False,
// nothing drawn, for an invalid size or channel count other than 3 or 4.
bool RenderTestPattern(uint64_t seq, int width, int height, int channels, uint8_t* pixels);

// Reads the frame number (modulo 2^kPatternCodeBits) from the bar code of a
// picture. False when the picture is too small or a cell is neither clearly
// dark nor clearly light (not a pattern frame, or damaged).
bool ReadPatternSequence(const uint8_t* pixels, int width, int height, int channels, uint32_t* seq);

}  // namespace kvx_sim
