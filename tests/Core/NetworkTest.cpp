// IPv4 address parsing, text forms and name resolution. Lookups stay on the
// local hosts file ("localhost"); nothing here reaches a name server.

#include <gtest/gtest.h>

#include "NptNetwork.h"
#include "NptSockets.h"

namespace {

struct ParseCase {
  const char* text;
  NPT_Result expected;
  NPT_UInt32 value;  // checked on success
};

TEST(IpAddressParse, DottedLiteralRules) {
  const ParseCase cases[] = {
      {"0.0.0.0", NPT_SUCCESS, 0x00000000},
      {"127.0.0.1", NPT_SUCCESS, 0x7F000001},
      {"192.168.1.10", NPT_SUCCESS, 0xC0A8010A},
      {"255.255.255.255", NPT_SUCCESS, 0xFFFFFFFF},
      {"001.002.003.004", NPT_SUCCESS, 0x01020304},
      {"256.1.1.1", NPT_ERROR_INVALID_SYNTAX, 0},
      {"1.2.3.256", NPT_ERROR_INVALID_SYNTAX, 0},
      {"99999999999999999999.1.1.1", NPT_ERROR_INVALID_SYNTAX, 0},
      {"1.2.3", NPT_ERROR_INVALID_SYNTAX, 0},
      {"1.2.3.4.5", NPT_ERROR_INVALID_SYNTAX, 0},
      {"1.2.3.4.", NPT_ERROR_INVALID_SYNTAX, 0},
      {".1.2.3", NPT_ERROR_INVALID_SYNTAX, 0},
      {"1..2.3", NPT_ERROR_INVALID_SYNTAX, 0},
      {"", NPT_ERROR_INVALID_SYNTAX, 0},
      {"1.2.3.4 ", NPT_ERROR_INVALID_SYNTAX, 0},
      {" 1.2.3.4", NPT_ERROR_INVALID_SYNTAX, 0},
      {"1.2.3.4x", NPT_ERROR_INVALID_SYNTAX, 0},
      {"1.-2.3.4", NPT_ERROR_INVALID_SYNTAX, 0},
      {"0x7f.0.0.1", NPT_ERROR_INVALID_SYNTAX, 0},
      {"localhost", NPT_ERROR_INVALID_SYNTAX, 0},
  };
  for (const ParseCase& c : cases) {
    NPT_IpAddress address(9, 9, 9, 9);
    EXPECT_EQ(c.expected, address.Parse(c.text)) << "'" << c.text << "'";
    if (c.expected == NPT_SUCCESS) {
      EXPECT_EQ(c.value, address.AsLong()) << c.text;
    } else {
      EXPECT_EQ(NPT_IpAddress(9, 9, 9, 9), address) << "failed parse changed the address: " << c.text;
    }
  }
}

TEST(IpAddressParse, NullTextIsInvalidParameters) {
  NPT_IpAddress address;
  EXPECT_EQ(NPT_ERROR_INVALID_PARAMETERS, address.Parse(nullptr));
}

TEST(IpAddress, ValueBytesAndText) {
  NPT_IpAddress address(0xC0A8010Au);
  EXPECT_EQ(192, address.AsBytes()[0]);
  EXPECT_EQ(10, address.AsBytes()[3]);
  EXPECT_STREQ("192.168.1.10", address.ToString().GetChars());
  EXPECT_STREQ("0.0.0.0", NPT_IpAddress::Any.ToString().GetChars());
  EXPECT_EQ(0x7F000001u, NPT_IpAddress::Loopback.AsLong());
  NPT_SocketAddress socket_address(NPT_IpAddress::Loopback, 8099);
  EXPECT_STREQ("127.0.0.1:8099", socket_address.ToString().GetChars());
}

TEST(IpAddressResolve, LiteralIsTakenWithoutLookup) {
  NPT_IpAddress address(1, 2, 3, 4);
  EXPECT_EQ(NPT_SUCCESS, address.ResolveName("192.168.1.10", 0));
  EXPECT_EQ(NPT_IpAddress(192, 168, 1, 10), address);
}

TEST(IpAddressResolve, NullOrEmptyNameIsHostUnknown) {
  NPT_IpAddress address(1, 2, 3, 4);
  EXPECT_EQ(NPT_ERROR_HOST_UNKNOWN, address.ResolveName(nullptr));
  EXPECT_EQ(NPT_ERROR_HOST_UNKNOWN, address.ResolveName(""));
}

TEST(IpAddressResolve, LocalhostResolvesToLoopbackNet) {
  NPT_IpAddress address(1, 2, 3, 4);
  ASSERT_EQ(NPT_SUCCESS, address.ResolveName("localhost"));
  EXPECT_EQ(127, address.AsBytes()[0]);
}

}  // namespace
