// JPEG coding with libjpeg-turbo. See KvxImage.h.
#include <turbojpeg.h>

#include "KvxImage.h"

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

}  // namespace kvx_image
