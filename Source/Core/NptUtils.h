#pragma once
// Small helpers of the runtime: hexadecimal conversions, big-endian byte
// access and the decimal number parsers behind NPT_String::ToInteger*.

#include "NptResults.h"
#include "NptStrings.h"
#include "NptTypes.h"

class NPT_DataBuffer;

// ---- hexadecimal -----------------------------------------------------------

// 0..9 give '0'..'9', 10..15 give 'A'..'F' (uppercase) or 'a'..'f'. Only the
// low four bits of `nibble` are used.
char NPT_NibbleToHex(unsigned int nibble, bool uppercase = true);
// '0'..'9', 'a'..'f', 'A'..'F' give 0..15; anything else gives -1.
int NPT_HexToNibble(char hex);
// Writes two characters (high nibble first) to `buffer`; no terminator.
void NPT_ByteToHex(NPT_Byte b, char* buffer, bool uppercase = false);
// Reads two characters; NPT_ERROR_INVALID_SYNTAX when either is not hex
// (the byte is then 0).
NPT_Result NPT_HexToByte(const char* buffer, NPT_Byte& b);
// Decodes hex text into `bytes` (data size = half the text length). Odd length
// or a null text gives NPT_ERROR_INVALID_PARAMETERS, a non-hex character
// NPT_ERROR_INVALID_SYNTAX (the data size is then 0).
NPT_Result NPT_HexToBytes(const char* hex, NPT_DataBuffer& bytes);
// Two characters per byte with `separator` between bytes (not after the
// last); no bytes give the empty string.
NPT_String NPT_HexString(const unsigned char* data, NPT_Size data_size, const char* separator = "",
                         bool uppercase = false);

// ---- big-endian byte access (most significant byte first) ------------------

NPT_UInt64 NPT_BytesToInt64Be(const unsigned char* buffer);
NPT_UInt32 NPT_BytesToInt32Be(const unsigned char* buffer);
NPT_UInt32 NPT_BytesToInt24Be(const unsigned char* buffer);
NPT_UInt16 NPT_BytesToInt16Be(const unsigned char* buffer);
void NPT_BytesFromInt64Be(unsigned char* buffer, NPT_UInt64 value);
void NPT_BytesFromInt32Be(unsigned char* buffer, NPT_UInt32 value);
// Writes the low 24 bits.
void NPT_BytesFromInt24Be(unsigned char* buffer, NPT_UInt32 value);
void NPT_BytesFromInt16Be(unsigned char* buffer, NPT_UInt16 value);

// ---- decimal number parsing ------------------------------------------------
//
// Every parser sets its output to 0 first and leaves it 0 on failure.
// Strict: the whole text must be the number. Relaxed: leading spaces and tabs
// are skipped, and text after at least one digit is ignored.
// Results: NPT_ERROR_INVALID_PARAMETERS for a null or empty text, a missing
// digit, a sign where none is accepted or (strict) trailing text;
// NPT_ERROR_OVERFLOW when the value does not fit the output type.

// Unsigned: no sign accepted; up to 2^64 - 1.
NPT_Result NPT_ParseInteger64(const char* str, NPT_UInt64& result, bool relaxed = true);
// Signed: optional "+" or "-" (after skipped blanks, with digits after it);
// from -2^63 to 2^63 - 1.
NPT_Result NPT_ParseInteger64(const char* str, NPT_Int64& result, bool relaxed = true);
NPT_Result NPT_ParseInteger32(const char* str, NPT_UInt32& result, bool relaxed = true);
NPT_Result NPT_ParseInteger32(const char* str, NPT_Int32& result, bool relaxed = true);
NPT_Result NPT_ParseInteger(const char* str, unsigned long& result, bool relaxed = true);
NPT_Result NPT_ParseInteger(const char* str, long& result, bool relaxed = true);
NPT_Result NPT_ParseInteger(const char* str, unsigned int& result, bool relaxed = true);
NPT_Result NPT_ParseInteger(const char* str, int& result, bool relaxed = true);
// Optional sign, digits with at most one "." that must be followed by a digit,
// optional exponent ("e"/"E", optional sign, digits, within the signed 32-bit
// range) applied as a power of ten. A text without digits is invalid.
NPT_Result NPT_ParseFloat(const char* str, float& result, bool relaxed = true);
