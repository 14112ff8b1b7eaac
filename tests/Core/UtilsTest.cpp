// Hex and big-endian helpers and the decimal parsers, with their exact
// boundaries: 2^64 and 2^63 for the 64-bit parsers, the 32-bit ranges.

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <string>

#include "NptDataBuffer.h"
#include "NptUtils.h"

namespace {

// ---- hexadecimal -----------------------------------------------------------

TEST(HexTest, NibblesBothWays) {
  const char* upper = "0123456789ABCDEF";
  const char* lower = "0123456789abcdef";
  for (unsigned int n = 0; n < 16; ++n) {
    EXPECT_EQ(upper[n], NPT_NibbleToHex(n, true));
    EXPECT_EQ(lower[n], NPT_NibbleToHex(n, false));
    EXPECT_EQ(static_cast<int>(n), NPT_HexToNibble(upper[n]));
    EXPECT_EQ(static_cast<int>(n), NPT_HexToNibble(lower[n]));
  }
  for (char c : {'g', 'G', '/', ':', '@', '`', ' ', '\0', '\xFF'}) EXPECT_EQ(-1, NPT_HexToNibble(c)) << int(c);
}

TEST(HexTest, ByteConversions) {
  char pair[2];
  NPT_ByteToHex(0xA5, pair, true);
  EXPECT_EQ('A', pair[0]);
  EXPECT_EQ('5', pair[1]);
  NPT_ByteToHex(0x0f, pair, false);
  EXPECT_EQ('0', pair[0]);
  EXPECT_EQ('f', pair[1]);

  NPT_Byte b = 0;
  EXPECT_EQ(NPT_SUCCESS, NPT_HexToByte("fF", b));
  EXPECT_EQ(0xFF, b);
  EXPECT_EQ(NPT_SUCCESS, NPT_HexToByte("07", b));
  EXPECT_EQ(0x07, b);
  EXPECT_EQ(NPT_ERROR_INVALID_SYNTAX, NPT_HexToByte("g0", b));
  EXPECT_EQ(NPT_ERROR_INVALID_SYNTAX, NPT_HexToByte("0x", b));
}

TEST(HexTest, HexToBytes) {
  NPT_DataBuffer buffer;
  EXPECT_EQ(NPT_SUCCESS, NPT_HexToBytes("00ff10Ab", buffer));
  ASSERT_EQ(4u, buffer.GetDataSize());
  const NPT_Byte expected[] = {0x00, 0xFF, 0x10, 0xAB};
  EXPECT_EQ(0, std::memcmp(expected, buffer.GetData(), 4));

  EXPECT_EQ(NPT_SUCCESS, NPT_HexToBytes("", buffer));
  EXPECT_EQ(0u, buffer.GetDataSize());

  struct {
    const char* hex;
    NPT_Result expected;
  } const failures[] = {
      {"abc", NPT_ERROR_INVALID_PARAMETERS},
      {"a", NPT_ERROR_INVALID_PARAMETERS},
      {nullptr, NPT_ERROR_INVALID_PARAMETERS},
      {"zz", NPT_ERROR_INVALID_SYNTAX},
      {"00g1", NPT_ERROR_INVALID_SYNTAX},
      {"0011 2", NPT_ERROR_INVALID_SYNTAX},
  };
  for (const auto& f : failures) {
    NPT_DataBuffer out;
    EXPECT_EQ(f.expected, NPT_HexToBytes(f.hex, out)) << (f.hex ? f.hex : "(null)");
    EXPECT_EQ(0u, out.GetDataSize());
  }
}

TEST(HexTest, HexString) {
  const unsigned char bytes[] = {0xDE, 0xAD, 0x00, 0x7f};
  EXPECT_STREQ("dead007f", NPT_HexString(bytes, 4).GetChars());
  EXPECT_STREQ("DE:AD:00:7F", NPT_HexString(bytes, 4, ":", true).GetChars());
  EXPECT_STREQ("de, ad", NPT_HexString(bytes, 2, ", ").GetChars());
  EXPECT_STREQ("de", NPT_HexString(bytes, 1, ":").GetChars());
  EXPECT_TRUE(NPT_HexString(bytes, 0, ":").IsEmpty());
  EXPECT_STREQ("dead", NPT_HexString(bytes, 2, nullptr).GetChars());
}

// ---- big-endian ------------------------------------------------------------

TEST(BigEndianTest, ReadsAndWritesMostSignificantFirst) {
  const unsigned char in[] = {0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF};
  EXPECT_EQ(0x0123u, NPT_BytesToInt16Be(in));
  EXPECT_EQ(0x012345u, NPT_BytesToInt24Be(in));
  EXPECT_EQ(0x01234567u, NPT_BytesToInt32Be(in));
  EXPECT_EQ(0x0123456789ABCDEFull, NPT_BytesToInt64Be(in));
  EXPECT_EQ(0x89ABCDEFu, NPT_BytesToInt32Be(in + 4));  // high bit set stays unsigned

  unsigned char out[9];
  std::memset(out, 0x55, sizeof(out));
  NPT_BytesFromInt64Be(out, 0x0123456789ABCDEFull);
  EXPECT_EQ(0, std::memcmp(in, out, 8));
  EXPECT_EQ(0x55, out[8]);

  std::memset(out, 0x55, sizeof(out));
  NPT_BytesFromInt32Be(out, 0x89ABCDEFu);
  EXPECT_EQ(0, std::memcmp(in + 4, out, 4));
  EXPECT_EQ(0x55, out[4]);

  std::memset(out, 0x55, sizeof(out));
  NPT_BytesFromInt24Be(out, 0xFF012345u);  // only the low 24 bits are written
  EXPECT_EQ(0, std::memcmp(in, out, 3));
  EXPECT_EQ(0x55, out[3]);

  std::memset(out, 0x55, sizeof(out));
  NPT_BytesFromInt16Be(out, 0xCDEF);
  EXPECT_EQ(0xCD, out[0]);
  EXPECT_EQ(0xEF, out[1]);
  EXPECT_EQ(0x55, out[2]);
}

// ---- integer parsing -------------------------------------------------------

struct UnsignedCase {
  const char* text;
  bool relaxed;
  NPT_Result result;
  NPT_UInt64 value;
};

TEST(ParseTest, Unsigned64) {
  const UnsignedCase cases[] = {
      {"0", false, NPT_SUCCESS, 0},
      {"42", false, NPT_SUCCESS, 42},
      {"007", false, NPT_SUCCESS, 7},
      {" 42", true, NPT_SUCCESS, 42},
      {" \t 42", true, NPT_SUCCESS, 42},
      {" 42", false, NPT_ERROR_INVALID_PARAMETERS, 0},
      {"42abc", true, NPT_SUCCESS, 42},
      {"42abc", false, NPT_ERROR_INVALID_PARAMETERS, 0},
      {"42 ", false, NPT_ERROR_INVALID_PARAMETERS, 0},
      {"", true, NPT_ERROR_INVALID_PARAMETERS, 0},
      {"   ", true, NPT_ERROR_INVALID_PARAMETERS, 0},
      {"abc", true, NPT_ERROR_INVALID_PARAMETERS, 0},
      {"-1", true, NPT_ERROR_INVALID_PARAMETERS, 0},
      {"+1", true, NPT_ERROR_INVALID_PARAMETERS, 0},
      {"\n1", true, NPT_ERROR_INVALID_PARAMETERS, 0},  // only spaces and tabs are skipped
      {"18446744073709551615", false, NPT_SUCCESS, 18446744073709551615ull},
      {"18446744073709551616", false, NPT_ERROR_OVERFLOW, 0},  // 2^64: the last step wraps
      {"18446744073709551619", true, NPT_ERROR_OVERFLOW, 0},
      {"18446744073709551620", false, NPT_ERROR_OVERFLOW, 0},  // above 2^64/10 before the last digit
      {"99999999999999999999", false, NPT_ERROR_OVERFLOW, 0},
      {"000000000000000000000018446744073709551615", false, NPT_SUCCESS, 18446744073709551615ull},
      {"184467440737095516150", true, NPT_ERROR_OVERFLOW, 0},
      {"18446744073709551615x", true, NPT_SUCCESS, 18446744073709551615ull},
  };
  for (const auto& c : cases) {
    NPT_UInt64 value = 12345;
    EXPECT_EQ(c.result, NPT_ParseInteger64(c.text, value, c.relaxed)) << "'" << c.text << "' relaxed=" << c.relaxed;
    EXPECT_EQ(c.value, value) << "'" << c.text << "'";
  }
  NPT_UInt64 value = 9;
  EXPECT_EQ(NPT_ERROR_INVALID_PARAMETERS, NPT_ParseInteger64(nullptr, value));
  EXPECT_EQ(0u, value);
}

struct SignedCase {
  const char* text;
  bool relaxed;
  NPT_Result result;
  NPT_Int64 value;
};

TEST(ParseTest, Signed64) {
  const SignedCase cases[] = {
      {"-42", false, NPT_SUCCESS, -42},
      {"+42", false, NPT_SUCCESS, 42},
      {" -42", true, NPT_SUCCESS, -42},
      {" -42", false, NPT_ERROR_INVALID_PARAMETERS, 0},
      {"-", true, NPT_ERROR_INVALID_PARAMETERS, 0},
      {"+", false, NPT_ERROR_INVALID_PARAMETERS, 0},
      {"- 4", true, NPT_ERROR_INVALID_PARAMETERS, 0},
      {"--4", true, NPT_ERROR_INVALID_PARAMETERS, 0},
      {"-4x", true, NPT_SUCCESS, -4},
      {"-4x", false, NPT_ERROR_INVALID_PARAMETERS, 0},
      {"-0", false, NPT_SUCCESS, 0},
      {"9223372036854775807", false, NPT_SUCCESS, INT64_MAX},
      {"9223372036854775808", false, NPT_ERROR_OVERFLOW, 0},
      {"-9223372036854775808", false, NPT_SUCCESS, INT64_MIN},
      {"-9223372036854775809", false, NPT_ERROR_OVERFLOW, 0},
      {"-18446744073709551616", false, NPT_ERROR_OVERFLOW, 0},
  };
  for (const auto& c : cases) {
    NPT_Int64 value = 12345;
    EXPECT_EQ(c.result, NPT_ParseInteger64(c.text, value, c.relaxed)) << "'" << c.text << "' relaxed=" << c.relaxed;
    EXPECT_EQ(c.value, value) << "'" << c.text << "'";
  }
}

TEST(ParseTest, ThirtyTwoBitRanges) {
  struct {
    const char* text;
    NPT_Result result;
    NPT_Int32 value;
  } const signed_cases[] = {
      {"2147483647", NPT_SUCCESS, 2147483647},
      {"2147483648", NPT_ERROR_OVERFLOW, 0},
      {"-2147483648", NPT_SUCCESS, INT32_MIN},
      {"-2147483649", NPT_ERROR_OVERFLOW, 0},
      {"x", NPT_ERROR_INVALID_PARAMETERS, 0},
  };
  for (const auto& c : signed_cases) {
    NPT_Int32 value = 77;
    EXPECT_EQ(c.result, NPT_ParseInteger32(c.text, value, false)) << c.text;
    EXPECT_EQ(c.value, value) << c.text;
    int plain = 77;
    EXPECT_EQ(c.result, NPT_ParseInteger(c.text, plain, false)) << c.text;
    EXPECT_EQ(c.value, plain) << c.text;
  }
  struct {
    const char* text;
    NPT_Result result;
    NPT_UInt32 value;
  } const unsigned_cases[] = {
      {"4294967295", NPT_SUCCESS, 4294967295u},
      {"4294967296", NPT_ERROR_OVERFLOW, 0},
      {"-1", NPT_ERROR_INVALID_PARAMETERS, 0},
  };
  for (const auto& c : unsigned_cases) {
    NPT_UInt32 value = 77;
    EXPECT_EQ(c.result, NPT_ParseInteger32(c.text, value, false)) << c.text;
    EXPECT_EQ(c.value, value) << c.text;
    unsigned int plain = 77;
    EXPECT_EQ(c.result, NPT_ParseInteger(c.text, plain, false)) << c.text;
    EXPECT_EQ(c.value, plain) << c.text;
  }
  long l = 1;
  EXPECT_EQ(NPT_ERROR_OVERFLOW, NPT_ParseInteger("9223372036854775808", l));
  EXPECT_EQ(0, l);
  unsigned long ul = 1;
  EXPECT_EQ(NPT_ERROR_OVERFLOW, NPT_ParseInteger("18446744073709551616", ul));
  EXPECT_EQ(0u, ul);
}

// ---- float parsing ---------------------------------------------------------

TEST(ParseTest, Float) {
  struct {
    const char* text;
    bool relaxed;
    NPT_Result result;
    float value;
  } const cases[] = {
      {"1.5", false, NPT_SUCCESS, 1.5f},
      {"-0.25", false, NPT_SUCCESS, -0.25f},
      {"+3", false, NPT_SUCCESS, 3.0f},
      {".5", false, NPT_SUCCESS, 0.5f},
      {"2e3", false, NPT_SUCCESS, 2000.0f},
      {"2.5E-2", false, NPT_SUCCESS, 0.025f},
      {"1e+2", false, NPT_SUCCESS, 100.0f},
      {"0e999", false, NPT_SUCCESS, 0.0f},
      {" 1.5", true, NPT_SUCCESS, 1.5f},
      {" 1.5", false, NPT_ERROR_INVALID_PARAMETERS, 0.0f},
      {"1.5abc", true, NPT_SUCCESS, 1.5f},
      {"1.5abc", false, NPT_ERROR_INVALID_PARAMETERS, 0.0f},
      {"1e", true, NPT_SUCCESS, 1.0f},
      {"1e", false, NPT_ERROR_INVALID_PARAMETERS, 0.0f},
      {"1.", false, NPT_ERROR_INVALID_PARAMETERS, 0.0f},
      {"1.2.3", false, NPT_ERROR_INVALID_PARAMETERS, 0.0f},
      {".", true, NPT_ERROR_INVALID_PARAMETERS, 0.0f},
      {"-", true, NPT_ERROR_INVALID_PARAMETERS, 0.0f},
      {"e5", true, NPT_ERROR_INVALID_PARAMETERS, 0.0f},
      {"", true, NPT_ERROR_INVALID_PARAMETERS, 0.0f},
      {"1e2147483648", false, NPT_ERROR_OVERFLOW, 0.0f},
  };
  for (const auto& c : cases) {
    float value = 99.0f;
    EXPECT_EQ(c.result, NPT_ParseFloat(c.text, value, c.relaxed)) << "'" << c.text << "' relaxed=" << c.relaxed;
    EXPECT_FLOAT_EQ(c.value, value) << "'" << c.text << "'";
  }
  float value = 3.0f;
  EXPECT_EQ(NPT_ERROR_INVALID_PARAMETERS, NPT_ParseFloat(nullptr, value));
  EXPECT_EQ(0.0f, value);
}

// Found by fuzzing: a mantissa of more digits than a double can hold used to
// become infinite, and a negative exponent then made the result NaN.
TEST(ParseTest, FloatWithAMantissaBeyondADoubleIsNeverNaN) {
  const std::string digits(330, '6');
  struct {
    std::string text;
    float expected;  // checked as equal, or for infinity by sign
  } const cases[] = {
      {digits + "e-664", 0.0f},                  // 6.7e-335: below the smallest float
      {digits + "e-320", 6.6666666e9f},          // back into range
      {"-" + digits + "e-325", -6.6666666e4f},
      {"1" + std::string(400, '0') + ".5e-400", 1.0f},
      {digits, std::numeric_limits<float>::infinity()},
      {digits + "e-1", std::numeric_limits<float>::infinity()},
  };
  for (const auto& c : cases) {
    float value = 99.0f;
    ASSERT_EQ(NPT_SUCCESS, NPT_ParseFloat(c.text.c_str(), value)) << c.text.substr(330);
    EXPECT_FALSE(std::isnan(value)) << c.text.substr(330);
    EXPECT_FLOAT_EQ(c.expected, value) << c.text.substr(330);
  }
}

}  // namespace
