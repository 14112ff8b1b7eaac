// Windows build: no JPEG codec is available to the cross build, so the pattern
// cannot be coded. Callers report it: `kvx stream --verify` and the contact
// sheet say so, frames are still saved byte for byte.
#include "TestPattern.h"

namespace kvx_sim {

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

}  // namespace kvx_sim
