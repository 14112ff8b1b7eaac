#pragma once
// Basic types of the runtime. Counts of bytes in one call are 32-bit; positions,
// stream sizes and amounts available are 64-bit.

#include <cstddef>
#include <cstdint>

typedef int32_t NPT_Result;
typedef uint32_t NPT_Cardinal;
typedef uint32_t NPT_Ordinal;
typedef uint32_t NPT_Size;
typedef uint64_t NPT_LargeSize;
typedef int32_t NPT_Offset;
typedef uint64_t NPT_Position;
typedef int32_t NPT_Timeout;  // milliseconds; NPT_TIMEOUT_INFINITE waits without limit, 0 does not wait
typedef uint32_t NPT_Flags;
typedef uint32_t NPT_Mask;

typedef uint8_t NPT_Byte;
typedef uint8_t NPT_UInt8;
typedef int8_t NPT_Int8;
typedef uint16_t NPT_UInt16;
typedef int16_t NPT_Int16;
typedef uint32_t NPT_UInt32;
typedef int32_t NPT_Int32;
typedef uint64_t NPT_UInt64;
typedef int64_t NPT_Int64;
typedef float NPT_Float;

typedef uint16_t NPT_IpPort;

const NPT_Timeout NPT_TIMEOUT_INFINITE = -1;

#define NPT_ARRAY_SIZE(_a) (sizeof(_a) / sizeof((_a)[0]))
