#pragma once
// Frames on disk: one file per saved frame, and the contact sheet that puts
// a few decoded frames side by side in one JPEG.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace kvx_cli {

struct RgbImage {
  int width = 0;
  int height = 0;
  std::vector<uint8_t> pixels;  // RGB, rows top to bottom
};

// The file extension for a frame: "jpg" for image/jpeg; with known
// dimensions (width, height > 0) and a size that matches them, "ppm" for
// image/rgb and "pam" for image/rgba; "raw" otherwise. Types compare without
// letter case.
std::string FrameExtension(const std::string& content_type, size_t size, int width, int height);

// Writes frame number `index` to DIR/frame-NNNNNN.EXT (portable pixmap headers
// for ppm and pam). The path, or "" when the file could not be written.
std::string SaveFrame(const std::string& dir, uint64_t index, const std::string& content_type, const uint8_t* data,
                      size_t size, int width, int height);

// Whole-file helpers; false on any error.
bool WriteFile(const std::string& path, const uint8_t* data, size_t size);
bool ReadFile(const std::string& path, std::vector<uint8_t>* data);

// Lays the images out in a grid (up to `columns` per row, each scaled to
// `cell_width` pixels wide, aspect kept), on a dark background, and writes it
// as a JPEG. False, with *error, when there is no image or writing fails.
bool WriteContactSheet(const std::vector<RgbImage>& images, int columns, int cell_width, const std::string& path,
                       std::string* error);

}  // namespace kvx_cli
