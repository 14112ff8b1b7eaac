#pragma once
// What the device and session parts of the C interface do alike: copying a
// text out, choosing a delivery mode and filling a caller's stats struct.
// Internal to libkvx (nothing here is exported).

#include <cstdint>

#include "KvxDevice.h"
#include "NptStrings.h"
#include "kvx/kvx.h"

namespace kvx_capi {

// Copies `text` into `buffer` (truncated, always terminated when `size` > 0;
// nothing when `buffer` is null) and returns the text's whole length, so a
// caller can size its buffer from a first call.
int32_t CopyText(const NPT_String& text, char* buffer, int32_t size);

// The stream's mode for a KVX_DELIVER_... value; false for any other value.
bool DeliveryMode(int32_t mode, KVX_DeliveryMode& delivery);

// Writes `now` into the fields of `stats` that its struct_size covers (an
// older caller's struct may be shorter than ours). NPT_ERROR_INVALID_PARAMETERS
// when `stats` is null or too short for even the first counter.
int32_t FillStats(const KVX_DeviceStats& now, kvx_device_stats* stats);

}  // namespace kvx_capi
