#include "KvxCApiShared.h"

#include <cstddef>
#include <cstring>

#include "NptResults.h"

namespace kvx_capi {

int32_t CopyText(const NPT_String& text, char* buffer, int32_t size) {
  const int32_t length = static_cast<int32_t>(text.GetLength());
  if (buffer != nullptr && size > 0) {
    const int32_t copied = length < size ? length : size - 1;
    std::memcpy(buffer, text.GetChars(), static_cast<size_t>(copied));
    buffer[copied] = '\0';
  }
  return length;
}

bool DeliveryMode(int32_t mode, KVX_DeliveryMode& delivery) {
  switch (mode) {
    case KVX_DELIVER_EVERY_FRAME:
      delivery = KVX_DEVICE_EVERY_FRAME;
      return true;
    case KVX_DELIVER_LATEST_FRAME:
      delivery = KVX_DEVICE_LATEST_FRAME;
      return true;
    default:
      return false;
  }
}

int32_t FillStats(const KVX_DeviceStats& now, kvx_device_stats* stats) {
  if (stats == nullptr) return NPT_ERROR_INVALID_PARAMETERS;
  // struct_size is read once: the caller's struct may be shorter than ours.
  const uint32_t size = stats->struct_size;
  if (size < offsetof(kvx_device_stats, frames_received) + sizeof(stats->frames_received)) {
    return NPT_ERROR_INVALID_PARAMETERS;
  }
  const struct {
    size_t offset;
    uint64_t value;
  } fields[] = {
      {offsetof(kvx_device_stats, frames_received), now.frames_received},
      {offsetof(kvx_device_stats, frames_delivered), now.frames_delivered},
      {offsetof(kvx_device_stats, frames_dropped), now.frames_dropped},
      {offsetof(kvx_device_stats, bytes_received), now.bytes_received},
  };
  for (const auto& field : fields) {
    if (field.offset + sizeof(uint64_t) > size) break;
    std::memcpy(reinterpret_cast<unsigned char*>(stats) + field.offset, &field.value, sizeof(uint64_t));
  }
  return NPT_SUCCESS;
}

}  // namespace kvx_capi
