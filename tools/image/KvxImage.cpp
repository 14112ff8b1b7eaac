#include "KvxImage.h"

#include <cstring>

namespace kvx_image {

bool ParseSize(const char* text, int* width, int* height) {
  if (!text || !width || !height) return false;
  const char* x = std::strchr(text, 'x');
  if (!x) return false;
  auto side = [](const char* begin, const char* end, int* out) {
    if (begin == end || end - begin > 5) return false;
    long v = 0;
    for (const char* p = begin; p < end; ++p) {
      if (*p < '0' || *p > '9') return false;
      v = v * 10 + (*p - '0');
    }
    if (v < 1 || v > kMaxSide) return false;
    *out = static_cast<int>(v);
    return true;
  };
  int w = 0, h = 0;
  if (!side(text, x, &w) || !side(x + 1, x + std::strlen(x), &h)) return false;
  *width = w;
  *height = h;
  return true;
}

std::vector<PictureSize> UsualSizesFor(uint64_t length, int channels) {
  // Video, camera and screen sizes, smallest first.
  static const PictureSize kUsual[] = {
      {64, 48},     {128, 96},    {160, 120},   {176, 144},   {320, 180},   {320, 240},   {352, 288},
      {480, 270},   {640, 360},   {640, 480},   {720, 480},   {720, 576},   {800, 480},   {800, 600},
      {960, 540},   {1024, 576},  {1024, 768},  {1280, 720},  {1280, 800},  {1280, 960},  {1280, 1024},
      {1366, 768},  {1440, 900},  {1600, 900},  {1600, 1200}, {1920, 1080}, {1920, 1200}, {2048, 1536},
      {2560, 1440}, {2560, 1600}, {3840, 2160}, {4096, 2160}};
  std::vector<PictureSize> sizes;
  if (channels <= 0) return sizes;
  for (const PictureSize& size : kUsual) {
    if (static_cast<uint64_t>(size.width) * static_cast<uint64_t>(size.height) * channels == length) {
      sizes.push_back(size);
    }
  }
  return sizes;
}

}  // namespace kvx_image
