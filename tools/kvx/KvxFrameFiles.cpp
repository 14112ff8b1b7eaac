#include "KvxFrameFiles.h"

#include "KvxImage.h"

#include <algorithm>
#include <cctype>
#include <cstdio>

namespace kvx_cli {
namespace {

std::string Lower(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

bool Matches(size_t size, int width, int height, int channels) {
  return width > 0 && height > 0 && size == static_cast<size_t>(width) * static_cast<size_t>(height) * channels;
}

}  // namespace

std::string FrameExtension(const std::string& content_type, size_t size, int width, int height) {
  const std::string type = Lower(content_type);
  if (type == "image/jpeg") return "jpg";
  if (type == "image/rgb" && Matches(size, width, height, 3)) return "ppm";
  if (type == "image/rgba" && Matches(size, width, height, 4)) return "pam";
  return "raw";
}

bool WriteFile(const std::string& path, const uint8_t* data, size_t size) {
  FILE* file = std::fopen(path.c_str(), "wb");
  if (!file) return false;
  bool ok = size == 0 || std::fwrite(data, 1, size, file) == size;
  ok = std::fclose(file) == 0 && ok;
  return ok;
}

bool ReadFile(const std::string& path, std::vector<uint8_t>* data) {
  data->clear();
  FILE* file = std::fopen(path.c_str(), "rb");
  if (!file) return false;
  uint8_t buffer[65536];
  size_t n;
  while ((n = std::fread(buffer, 1, sizeof(buffer), file)) > 0) data->insert(data->end(), buffer, buffer + n);
  bool ok = !std::ferror(file);
  std::fclose(file);
  return ok;
}

std::string SaveFrame(const std::string& dir, uint64_t index, const std::string& content_type, const uint8_t* data,
                      size_t size, int width, int height) {
  const std::string ext = FrameExtension(content_type, size, width, height);
  char name[64];
  std::snprintf(name, sizeof(name), "frame-%06llu.%s", static_cast<unsigned long long>(index), ext.c_str());
  const std::string path = dir + "/" + name;
  std::string header;
  if (ext == "ppm") {
    header = "P6\n" + std::to_string(width) + " " + std::to_string(height) + "\n255\n";
  } else if (ext == "pam") {
    header = "P7\nWIDTH " + std::to_string(width) + "\nHEIGHT " + std::to_string(height) +
             "\nDEPTH 4\nMAXVAL 255\nTUPLTYPE RGB_ALPHA\nENDHDR\n";
  }
  FILE* file = std::fopen(path.c_str(), "wb");
  if (!file) return "";
  bool ok = header.empty() || std::fwrite(header.data(), 1, header.size(), file) == header.size();
  ok = ok && (size == 0 || std::fwrite(data, 1, size, file) == size);
  ok = std::fclose(file) == 0 && ok;
  return ok ? path : "";
}

bool WriteContactSheet(const std::vector<RgbImage>& images, int columns, int cell_width, const std::string& path,
                       std::string* error) {
  if (images.empty() || columns <= 0 || cell_width <= 0) {
    *error = "no frames for the contact sheet";
    return false;
  }
  const int gap = 8;
  int cell_height = 1;
  for (const RgbImage& image : images) {
    if (image.width <= 0 || image.height <= 0 ||
        image.pixels.size() != static_cast<size_t>(image.width) * image.height * 3) {
      *error = "a frame of the contact sheet is not a decoded picture";
      return false;
    }
    cell_height = std::max(cell_height, static_cast<int>(static_cast<long>(image.height) * cell_width / image.width));
  }
  const int count = static_cast<int>(images.size());
  const int cols = std::min(columns, count);
  const int rows = (count + cols - 1) / cols;
  const int width = gap + cols * (cell_width + gap);
  const int height = gap + rows * (cell_height + gap);
  std::vector<uint8_t> sheet(static_cast<size_t>(width) * height * 3, 32);
  for (int n = 0; n < count; ++n) {
    const RgbImage& image = images[n];
    const int ox = gap + (n % cols) * (cell_width + gap);
    const int oy = gap + (n / cols) * (cell_height + gap);
    const int h = std::max(1, static_cast<int>(static_cast<long>(image.height) * cell_width / image.width));
    for (int y = 0; y < h && y < cell_height; ++y) {
      // Nearest source pixel: good enough for thumbnails, and exact on flat areas.
      const int sy = static_cast<int>(static_cast<long>(y) * image.height / h);
      for (int x = 0; x < cell_width; ++x) {
        const int sx = static_cast<int>(static_cast<long>(x) * image.width / cell_width);
        const uint8_t* s = &image.pixels[(static_cast<size_t>(sy) * image.width + sx) * 3];
        uint8_t* d = &sheet[(static_cast<size_t>(oy + y) * width + ox + x) * 3];
        d[0] = s[0];
        d[1] = s[1];
        d[2] = s[2];
      }
    }
  }
  std::vector<uint8_t> jpeg;
  if (!kvx_image::EncodeJpeg(sheet.data(), width, height, 3, 90, &jpeg)) {
    *error = "cannot encode the contact sheet";
    return false;
  }
  if (!WriteFile(path, jpeg.data(), jpeg.size())) {
    *error = "cannot write " + path;
    return false;
  }
  return true;
}

}  // namespace kvx_cli
