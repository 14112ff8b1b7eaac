#include "NptUtils.h"

#include <cmath>
#include <cstring>
#include <limits>

#include "NptDataBuffer.h"

// ---- hexadecimal -----------------------------------------------------------

char NPT_NibbleToHex(unsigned int nibble, bool uppercase) {
  nibble &= 0x0F;
  if (nibble < 10) return static_cast<char>('0' + nibble);
  return static_cast<char>((uppercase ? 'A' : 'a') + (nibble - 10));
}

int NPT_HexToNibble(char hex) {
  if (hex >= '0' && hex <= '9') return hex - '0';
  if (hex >= 'a' && hex <= 'f') return hex - 'a' + 10;
  if (hex >= 'A' && hex <= 'F') return hex - 'A' + 10;
  return -1;
}

void NPT_ByteToHex(NPT_Byte b, char* buffer, bool uppercase) {
  buffer[0] = NPT_NibbleToHex(b >> 4, uppercase);
  buffer[1] = NPT_NibbleToHex(b & 0x0F, uppercase);
}

NPT_Result NPT_HexToByte(const char* buffer, NPT_Byte& b) {
  b = 0;
  int high = NPT_HexToNibble(buffer[0]);
  if (high < 0) return NPT_ERROR_INVALID_SYNTAX;
  int low = NPT_HexToNibble(buffer[1]);
  if (low < 0) return NPT_ERROR_INVALID_SYNTAX;
  b = static_cast<NPT_Byte>((high << 4) | low);
  return NPT_SUCCESS;
}

NPT_Result NPT_HexToBytes(const char* hex, NPT_DataBuffer& bytes) {
  if (hex == nullptr) return NPT_ERROR_INVALID_PARAMETERS;
  NPT_Size length = static_cast<NPT_Size>(std::strlen(hex));
  if (length % 2) return NPT_ERROR_INVALID_PARAMETERS;
  NPT_Size count = length / 2;
  NPT_Result result = bytes.SetDataSize(count);
  if (NPT_FAILED(result)) return result;
  NPT_Byte* out = bytes.UseData();
  for (NPT_Size i = 0; i < count; ++i) {
    result = NPT_HexToByte(hex + 2 * i, out[i]);
    if (NPT_FAILED(result)) {
      // No half-decoded data for the caller to mistake for the real thing.
      bytes.SetDataSize(0);
      return result;
    }
  }
  return NPT_SUCCESS;
}

NPT_String NPT_HexString(const unsigned char* data, NPT_Size data_size, const char* separator, bool uppercase) {
  NPT_String result;
  if (data == nullptr || data_size == 0) return result;
  if (separator == nullptr) separator = "";
  NPT_Size separator_length = static_cast<NPT_Size>(std::strlen(separator));
  result.Reserve(2 * data_size + separator_length * (data_size - 1));
  for (NPT_Size i = 0; i < data_size; ++i) {
    if (i && separator_length) result.Append(separator, separator_length);
    char pair[2];
    NPT_ByteToHex(data[i], pair, uppercase);
    result.Append(pair, 2);
  }
  return result;
}

// ---- big-endian byte access ------------------------------------------------

NPT_UInt64 NPT_BytesToInt64Be(const unsigned char* buffer) {
  return (static_cast<NPT_UInt64>(NPT_BytesToInt32Be(buffer)) << 32) | NPT_BytesToInt32Be(buffer + 4);
}

NPT_UInt32 NPT_BytesToInt32Be(const unsigned char* buffer) {
  return (static_cast<NPT_UInt32>(buffer[0]) << 24) | (static_cast<NPT_UInt32>(buffer[1]) << 16) |
         (static_cast<NPT_UInt32>(buffer[2]) << 8) | static_cast<NPT_UInt32>(buffer[3]);
}

NPT_UInt32 NPT_BytesToInt24Be(const unsigned char* buffer) {
  return (static_cast<NPT_UInt32>(buffer[0]) << 16) | (static_cast<NPT_UInt32>(buffer[1]) << 8) |
         static_cast<NPT_UInt32>(buffer[2]);
}

NPT_UInt16 NPT_BytesToInt16Be(const unsigned char* buffer) {
  return static_cast<NPT_UInt16>((buffer[0] << 8) | buffer[1]);
}

void NPT_BytesFromInt64Be(unsigned char* buffer, NPT_UInt64 value) {
  NPT_BytesFromInt32Be(buffer, static_cast<NPT_UInt32>(value >> 32));
  NPT_BytesFromInt32Be(buffer + 4, static_cast<NPT_UInt32>(value));
}

void NPT_BytesFromInt32Be(unsigned char* buffer, NPT_UInt32 value) {
  buffer[0] = static_cast<unsigned char>(value >> 24);
  buffer[1] = static_cast<unsigned char>(value >> 16);
  buffer[2] = static_cast<unsigned char>(value >> 8);
  buffer[3] = static_cast<unsigned char>(value);
}

void NPT_BytesFromInt24Be(unsigned char* buffer, NPT_UInt32 value) {
  buffer[0] = static_cast<unsigned char>(value >> 16);
  buffer[1] = static_cast<unsigned char>(value >> 8);
  buffer[2] = static_cast<unsigned char>(value);
}

void NPT_BytesFromInt16Be(unsigned char* buffer, NPT_UInt16 value) {
  buffer[0] = static_cast<unsigned char>(value >> 8);
  buffer[1] = static_cast<unsigned char>(value);
}

// ---- decimal number parsing ------------------------------------------------

namespace {

const char* SkipBlanks(const char* str) {
  while (*str == ' ' || *str == '\t') ++str;
  return str;
}

// Accumulates decimal digits from `str` (blanks already handled). Succeeds at
// the end of the text after a digit, or (relaxed) at the first non-digit after
// a digit.
NPT_Result ParseDigits(const char* str, NPT_UInt64& result, bool relaxed) {
  result = 0;
  if (*str == '\0') return NPT_ERROR_INVALID_PARAMETERS;
  const NPT_UInt64 limit = 1844674407370955161ULL;  // 2^64 / 10, rounded down
  NPT_UInt64 value = 0;
  bool empty = true;
  for (; *str; ++str) {
    char c = *str;
    if (c < '0' || c > '9') {
      if (relaxed && !empty) break;
      return NPT_ERROR_INVALID_PARAMETERS;
    }
    if (value > limit) return NPT_ERROR_OVERFLOW;
    NPT_UInt64 times_ten = value * 10;
    NPT_UInt64 next = times_ten + static_cast<NPT_UInt64>(c - '0');
    if (next < times_ten) return NPT_ERROR_OVERFLOW;
    value = next;
    empty = false;
  }
  result = value;
  return NPT_SUCCESS;
}

template <typename T>
NPT_Result ParseUnsignedInto(const char* str, T& result, bool relaxed) {
  result = 0;
  NPT_UInt64 value;
  NPT_Result status = NPT_ParseInteger64(str, value, relaxed);
  if (NPT_FAILED(status)) return status;
  if (value > static_cast<NPT_UInt64>(std::numeric_limits<T>::max())) return NPT_ERROR_OVERFLOW;
  result = static_cast<T>(value);
  return NPT_SUCCESS;
}

template <typename T>
NPT_Result ParseSignedInto(const char* str, T& result, bool relaxed) {
  result = 0;
  NPT_Int64 value;
  NPT_Result status = NPT_ParseInteger64(str, value, relaxed);
  if (NPT_FAILED(status)) return status;
  if (value > static_cast<NPT_Int64>(std::numeric_limits<T>::max()) ||
      value < static_cast<NPT_Int64>(std::numeric_limits<T>::min())) {
    return NPT_ERROR_OVERFLOW;
  }
  result = static_cast<T>(value);
  return NPT_SUCCESS;
}

}  // namespace

NPT_Result NPT_ParseInteger64(const char* str, NPT_UInt64& result, bool relaxed) {
  result = 0;
  if (str == nullptr) return NPT_ERROR_INVALID_PARAMETERS;
  if (relaxed) str = SkipBlanks(str);
  return ParseDigits(str, result, relaxed);
}

NPT_Result NPT_ParseInteger64(const char* str, NPT_Int64& result, bool relaxed) {
  result = 0;
  if (str == nullptr) return NPT_ERROR_INVALID_PARAMETERS;
  if (relaxed) str = SkipBlanks(str);
  bool negative = false;
  if (*str == '-' || *str == '+') {
    negative = *str == '-';
    ++str;
  }
  NPT_UInt64 magnitude;
  NPT_Result status = ParseDigits(str, magnitude, relaxed);
  if (NPT_FAILED(status)) return status;
  const NPT_UInt64 max_positive = static_cast<NPT_UInt64>(std::numeric_limits<NPT_Int64>::max());
  if (negative) {
    if (magnitude > max_positive + 1) return NPT_ERROR_OVERFLOW;
    // Negate in unsigned arithmetic so that -2^63 does not overflow.
    result = static_cast<NPT_Int64>(0 - magnitude);
  } else {
    if (magnitude > max_positive) return NPT_ERROR_OVERFLOW;
    result = static_cast<NPT_Int64>(magnitude);
  }
  return NPT_SUCCESS;
}

NPT_Result NPT_ParseInteger32(const char* str, NPT_UInt32& result, bool relaxed) {
  return ParseUnsignedInto(str, result, relaxed);
}

NPT_Result NPT_ParseInteger32(const char* str, NPT_Int32& result, bool relaxed) {
  return ParseSignedInto(str, result, relaxed);
}

NPT_Result NPT_ParseInteger(const char* str, unsigned long& result, bool relaxed) {
  return ParseUnsignedInto(str, result, relaxed);
}

NPT_Result NPT_ParseInteger(const char* str, long& result, bool relaxed) {
  return ParseSignedInto(str, result, relaxed);
}

NPT_Result NPT_ParseInteger(const char* str, unsigned int& result, bool relaxed) {
  return ParseUnsignedInto(str, result, relaxed);
}

NPT_Result NPT_ParseInteger(const char* str, int& result, bool relaxed) {
  return ParseSignedInto(str, result, relaxed);
}

NPT_Result NPT_ParseFloat(const char* str, float& result, bool relaxed) {
  result = 0.0f;
  if (str == nullptr || *str == '\0') return NPT_ERROR_INVALID_PARAMETERS;
  if (relaxed) str = SkipBlanks(str);
  bool negative = false;
  if (*str == '-' || *str == '+') {
    negative = *str == '-';
    ++str;
  }

  double value = 0.0;
  bool has_digits = false;
  // Integer digits past what a double can hold only scale the value: kept as
  // a power of ten, so that the mantissa never becomes infinite (infinity
  // times a large negative power of ten would be NaN).
  NPT_Int64 extra_power = 0;
  while (*str >= '0' && *str <= '9') {
    if (value < 1e300) {
      value = value * 10.0 + (*str - '0');
    } else {
      ++extra_power;
    }
    has_digits = true;
    ++str;
  }
  if (*str == '.') {
    ++str;
    if (*str < '0' || *str > '9') return NPT_ERROR_INVALID_PARAMETERS;
    double scale = 0.1;
    while (*str >= '0' && *str <= '9') {
      value += (*str - '0') * scale;
      scale /= 10.0;
      has_digits = true;
      ++str;
    }
  }
  if (!has_digits) return NPT_ERROR_INVALID_PARAMETERS;

  if (*str == 'e' || *str == 'E') {
    const char* exponent_text = str + 1;
    bool exponent_negative = false;
    if (*exponent_text == '-' || *exponent_text == '+') {
      exponent_negative = *exponent_text == '-';
      ++exponent_text;
    }
    if (*exponent_text >= '0' && *exponent_text <= '9') {
      // The exponent must fit a signed 32-bit integer.
      const NPT_Int64 limit = exponent_negative ? 2147483648LL : 2147483647LL;
      NPT_Int64 exponent = 0;
      while (*exponent_text >= '0' && *exponent_text <= '9') {
        exponent = exponent * 10 + (*exponent_text - '0');
        if (exponent > limit) return NPT_ERROR_OVERFLOW;
        ++exponent_text;
      }
      extra_power += exponent_negative ? -exponent : exponent;
      str = exponent_text;
    } else if (!relaxed) {
      return NPT_ERROR_INVALID_PARAMETERS;
    }
  }
  if (*str != '\0' && !relaxed) return NPT_ERROR_INVALID_PARAMETERS;

  // Zero stays zero whatever the exponent (0 * inf would be NaN); the finite
  // mantissa makes every other product a number, possibly 0 or infinite.
  if (value != 0.0 && extra_power != 0) value *= std::pow(10.0, static_cast<double>(extra_power));
  result = static_cast<float>(negative ? -value : value);
  return NPT_SUCCESS;
}
