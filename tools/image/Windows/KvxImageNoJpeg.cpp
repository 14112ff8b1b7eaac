// Windows build: no JPEG codec is available to the cross build. Callers
// report it: `kvx stream` verifies no pattern, the contact sheet says so, and
// frames are still saved byte for byte.
#include "KvxImage.h"

namespace kvx_image {

bool EncodeJpeg(const uint8_t*, int, int, int, int, std::vector<uint8_t>* jpeg) {
  if (jpeg) jpeg->clear();
  return false;
}

bool DecodeJpeg(const uint8_t*, size_t, std::vector<uint8_t>* rgb, int* width, int* height) {
  if (rgb) rgb->clear();
  if (width) *width = 0;
  if (height) *height = 0;
  return false;
}

bool JpegSize(const uint8_t*, size_t, int* width, int* height) {
  *width = 0;
  *height = 0;
  return false;
}

}  // namespace kvx_image
