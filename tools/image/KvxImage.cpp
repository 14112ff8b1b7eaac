#include "KvxImage.h"

#include <turbojpeg.h>

#include <cstring>

namespace kvx_image {

bool EncodeJpeg(const uint8_t* pixels, int width, int height, int channels, int quality,
                std::vector<uint8_t>* jpeg) {
  if (!jpeg) return false;
  jpeg->clear();
  if (!pixels || width <= 0 || height <= 0 || (channels != 3 && channels != 4)) return false;
  tjhandle handle = tjInitCompress();
  if (!handle) return false;
  unsigned char* out = nullptr;
  unsigned long out_size = 0;
  int rc = tjCompress2(handle, pixels, width, 0, height, channels == 4 ? TJPF_RGBA : TJPF_RGB, &out, &out_size,
                       TJSAMP_420, quality, TJFLAG_FASTDCT);
  if (rc == 0 && out) jpeg->assign(out, out + out_size);
  if (out) tjFree(out);
  tjDestroy(handle);
  return rc == 0 && !jpeg->empty();
}

bool DecodeJpeg(const uint8_t* data, size_t size, std::vector<uint8_t>* rgb, int* width, int* height) {
  if (rgb) rgb->clear();
  if (width) *width = 0;
  if (height) *height = 0;
  if (!data || size == 0 || !rgb || !width || !height || size > 0xFFFFFFFFul) return false;
  tjhandle handle = tjInitDecompress();
  if (!handle) return false;
  int w = 0, h = 0, subsamp = 0, colorspace = 0;
  bool ok = tjDecompressHeader3(handle, data, static_cast<unsigned long>(size), &w, &h, &subsamp, &colorspace) == 0 &&
            w > 0 && h > 0 && w <= kMaxSide && h <= kMaxSide;
  if (ok) {
    rgb->resize(static_cast<size_t>(w) * h * 3);
    ok = tjDecompress2(handle, data, static_cast<unsigned long>(size), rgb->data(), w, 0, h, TJPF_RGB, 0) == 0;
  }
  tjDestroy(handle);
  if (!ok) {
    rgb->clear();
    return false;
  }
  *width = w;
  *height = h;
  return true;
}

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

bool JpegSize(const uint8_t* data, size_t size, int* width, int* height) {
  *width = 0;
  *height = 0;
  if (!data || size == 0 || size > 0xFFFFFFFFul) return false;
  tjhandle handle = tjInitDecompress();
  if (!handle) return false;
  int w = 0, h = 0, subsamp = 0, colorspace = 0;
  const bool ok =
      tjDecompressHeader3(handle, data, static_cast<unsigned long>(size), &w, &h, &subsamp, &colorspace) == 0;
  tjDestroy(handle);
  if (!ok) return false;
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
