#pragma once
// Pictures as the tools handle them: 8-bit RGB (3 channels) or RGBA (4
// channels), rows top to bottom, no padding; JPEG coding of such pixels; and
// the "WxH" size texts users give. Nothing here throws or keeps state; every
// function may be called from any thread.

#include <cstddef>
#include <cstdint>
#include <vector>

namespace kvx_image {

// Largest side of a picture the tools code, decode or accept as a size.
constexpr int kMaxSide = 8192;

// Encodes pixels as a baseline JPEG (4:2:0 subsampling). False, `jpeg`
// emptied, on any error.
bool EncodeJpeg(const uint8_t* pixels, int width, int height, int channels, int quality, std::vector<uint8_t>* jpeg);

// Decodes a JPEG to RGB pixels. False, outputs emptied, when the data is not a
// JPEG this decoder accepts or is larger than kMaxSide on a side.
bool DecodeJpeg(const uint8_t* data, size_t size, std::vector<uint8_t>* rgb, int* width, int* height);

// Parses "WxH" (decimal, each side 1..kMaxSide). False, outputs untouched,
// otherwise.
bool ParseSize(const char* text, int* width, int* height);

// The dimensions in a JPEG's header. False, outputs 0, when it reads none.
bool JpegSize(const uint8_t* data, size_t size, int* width, int* height);

struct PictureSize {
  int width;
  int height;
};
// The usual picture sizes (landscape, as sizes are usually written: 640x480,
// 1280x720, ...) whose pixels at `channels` bytes each fill exactly `length`
// bytes, smallest first. How raw frames without stated dimensions may be
// read.
std::vector<PictureSize> UsualSizesFor(uint64_t length, int channels);

}  // namespace kvx_image
