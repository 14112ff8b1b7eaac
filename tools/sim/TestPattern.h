#pragma once
// The moving test pattern that simulated devices serve, its JPEG coding, and
// the check that lets a receiver prove a frame is the pattern it claims to be.
//
// A pattern frame shows colour bars that scroll with the frame number, a box
// that bounces across the picture, and along the top edge a bar code of the
// frame number: kPatternCodeBits cells of equal width, most significant bit
// first, white for 1 and black for 0, kPatternCodeHeight rows high. The cells
// are wide and flat so that the code survives JPEG coding at ordinary quality.
//
// Pixels are 8-bit RGB (3 channels) or RGBA (4 channels, alpha 255), rows
// top to bottom, no padding. Nothing here throws or keeps state.

#include <cstddef>
#include <cstdint>
#include <vector>

namespace kvx_sim {

constexpr int kPatternCodeBits = 24;
constexpr int kPatternCodeHeight = 16;
// Smallest and largest picture the pattern is drawn in (the code needs at
// least 2 pixels per cell and some rows under it).
constexpr int kPatternMinWidth = 2 * kPatternCodeBits;
constexpr int kPatternMinHeight = 2 * kPatternCodeHeight;
constexpr int kPatternMaxSide = 8192;

// True when width x height lies within the limits above.
bool IsValidPatternSize(int width, int height);

// Draws frame `seq` into `pixels` (width * height * channels bytes). False,
// nothing drawn, for an invalid size or channel count other than 3 or 4.
bool RenderTestPattern(uint64_t seq, int width, int height, int channels, uint8_t* pixels);

// Reads the frame number (modulo 2^kPatternCodeBits) from the bar code of a
// picture. False when the picture is too small or a cell is neither clearly
// dark nor clearly light (not a pattern frame, or damaged).
bool ReadPatternSequence(const uint8_t* pixels, int width, int height, int channels, uint32_t* seq);

// Encodes pixels as a baseline JPEG (4:2:0 subsampling). False on any error.
bool EncodeJpeg(const uint8_t* pixels, int width, int height, int channels, int quality,
                std::vector<uint8_t>* jpeg);

// Decodes a JPEG to RGB pixels. False, outputs emptied, when the data is not a
// JPEG this decoder accepts or is larger than kPatternMaxSide on a side.
bool DecodeJpeg(const uint8_t* data, size_t size, std::vector<uint8_t>* rgb, int* width, int* height);

// Parses "WxH" (decimal, each side 1..kPatternMaxSide). False otherwise.
bool ParseSize(const char* text, int* width, int* height);

}  // namespace kvx_sim
