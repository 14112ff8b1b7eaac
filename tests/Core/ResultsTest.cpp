// Result codes: numeric values of every family and the exact name texts.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "NptResults.h"

namespace {

struct Family {
  NPT_Result base;
  std::vector<const char*> names;  // in order: base - 0, base - 1, ...
};

const std::vector<Family>& Families() {
  static const std::vector<Family> families = {
      {-20000,
       {"NPT_ERROR_INVALID_PARAMETERS", "NPT_ERROR_PERMISSION_DENIED", "NPT_ERROR_OUT_OF_MEMORY",
        "NPT_ERROR_NO_SUCH_NAME", "NPT_ERROR_NO_SUCH_PROPERTY", "NPT_ERROR_NO_SUCH_ITEM", "NPT_ERROR_NO_SUCH_CLASS",
        "NPT_ERROR_OVERFLOW", "NPT_ERROR_INTERNAL", "NPT_ERROR_INVALID_STATE", "NPT_ERROR_INVALID_FORMAT",
        "NPT_ERROR_INVALID_SYNTAX", "NPT_ERROR_NOT_IMPLEMENTED", "NPT_ERROR_NOT_SUPPORTED", "NPT_ERROR_TIMEOUT",
        "NPT_ERROR_WOULD_BLOCK", "NPT_ERROR_TERMINATED", "NPT_ERROR_OUT_OF_RANGE", "NPT_ERROR_OUT_OF_RESOURCES",
        "NPT_ERROR_NOT_ENOUGH_SPACE", "NPT_ERROR_INTERRUPTED", "NPT_ERROR_CANCELLED"}},
      {-20100, {"NPT_ERROR_LIST_EMPTY", "NPT_ERROR_LIST_OPERATION_ABORTED", "NPT_ERROR_LIST_OPERATION_CONTINUE"}},
      {-20200,
       {"NPT_ERROR_NO_SUCH_FILE", "NPT_ERROR_FILE_NOT_OPEN", "NPT_ERROR_FILE_BUSY", "NPT_ERROR_FILE_ALREADY_OPEN",
        "NPT_ERROR_FILE_NOT_READABLE", "NPT_ERROR_FILE_NOT_WRITABLE", "NPT_ERROR_FILE_NOT_DIRECTORY",
        "NPT_ERROR_FILE_ALREADY_EXISTS", "NPT_ERROR_FILE_NOT_ENOUGH_SPACE", "NPT_ERROR_DIRECTORY_NOT_EMPTY"}},
      {-20300, {"NPT_ERROR_READ_FAILED", "NPT_ERROR_WRITE_FAILED", "NPT_ERROR_EOS"}},
      {-20400,
       {"NPT_ERROR_CONNECTION_RESET", "NPT_ERROR_CONNECTION_ABORTED", "NPT_ERROR_CONNECTION_REFUSED",
        "NPT_ERROR_CONNECTION_FAILED", "NPT_ERROR_HOST_UNKNOWN", "NPT_ERROR_SOCKET_FAILED",
        "NPT_ERROR_GETSOCKOPT_FAILED", "NPT_ERROR_SETSOCKOPT_FAILED", "NPT_ERROR_SOCKET_CONTROL_FAILED",
        "NPT_ERROR_BIND_FAILED", "NPT_ERROR_LISTEN_FAILED", "NPT_ERROR_ACCEPT_FAILED", "NPT_ERROR_ADDRESS_IN_USE",
        "NPT_ERROR_NETWORK_DOWN", "NPT_ERROR_NETWORK_UNREACHABLE"}},
      {-20500, {"NPT_ERROR_NO_SUCH_INTERFACE"}},
      {-20600, {"NPT_ERROR_XML_INVALID_NESTING", "NPT_ERROR_XML_TAG_MISMATCH"}},
      {-20800,
       {"NPT_ERROR_HTTP_INVALID_RESPONSE_LINE", "NPT_ERROR_HTTP_INVALID_REQUEST_LINE", "NPT_ERROR_HTTP_NO_PROXY",
        "NPT_ERROR_HTTP_INVALID_REQUEST"}},
      {-20900, {"NPT_ERROR_CALLBACK_HANDLER_SHUTDOWN", "NPT_ERROR_CALLBACK_NOTHING_PENDING"}},
      {-21000,
       {"NPT_ERROR_NO_SUCH_SERIAL_PORT", "NPT_ERROR_SERIAL_PORT_NOT_OPEN", "NPT_ERROR_SERIAL_PORT_ALREADY_OPEN",
        "NPT_ERROR_SERIAL_PORT_BUSY"}},
  };
  return families;
}

TEST(ResultsTest, EveryListedCodeHasItsExactName) {
  int checked = 0;
  for (const Family& family : Families()) {
    for (size_t i = 0; i < family.names.size(); ++i) {
      NPT_Result code = family.base - static_cast<NPT_Result>(i);
      EXPECT_STREQ(family.names[i], NPT_ResultName(code)) << "code " << code;
      ++checked;
    }
    // The code just past the last one of a family is not named.
    NPT_Result past = family.base - static_cast<NPT_Result>(family.names.size());
    EXPECT_STREQ("UNKNOWN", NPT_ResultName(past)) << "code " << past;
  }
  EXPECT_EQ(66, checked);
}

TEST(ResultsTest, SuccessFailureAndUnknownCodes) {
  EXPECT_STREQ("SUCCESS", NPT_ResultName(0));
  EXPECT_STREQ("FAILURE", NPT_ResultName(-1));
  for (NPT_Result code : {1, 2, 20000, 0x7FFFFFFF, -2, -19999, -20022, -20099, -20804, -21004, -22000,
                          static_cast<NPT_Result>(0x80000000u)}) {
    EXPECT_STREQ("UNKNOWN", NPT_ResultName(code)) << "code " << code;
  }
}

TEST(ResultsTest, MacrosHaveTheirNumericValues) {
  struct {
    NPT_Result macro;
    NPT_Result value;
  } const cases[] = {
      {NPT_SUCCESS, 0},
      {NPT_FAILURE, -1},
      {NPT_ERROR_INVALID_PARAMETERS, -20000},
      {NPT_ERROR_OUT_OF_MEMORY, -20002},
      {NPT_ERROR_NO_SUCH_ITEM, -20005},
      {NPT_ERROR_OVERFLOW, -20007},
      {NPT_ERROR_INVALID_SYNTAX, -20011},
      {NPT_ERROR_TIMEOUT, -20014},
      {NPT_ERROR_INTERRUPTED, -20020},
      {NPT_ERROR_CANCELLED, -20021},
      {NPT_ERROR_LIST_EMPTY, -20100},
      {NPT_ERROR_DIRECTORY_NOT_EMPTY, -20209},
      {NPT_ERROR_EOS, -20302},
      {NPT_ERROR_CONNECTION_RESET, -20400},
      {NPT_ERROR_HOST_UNKNOWN, -20404},
      {NPT_ERROR_NETWORK_UNREACHABLE, -20414},
      {NPT_ERROR_NO_SUCH_INTERFACE, -20500},
      {NPT_ERROR_XML_TAG_MISMATCH, -20601},
      {NPT_ERROR_HTTP_INVALID_REQUEST, -20803},
      {NPT_ERROR_CALLBACK_NOTHING_PENDING, -20901},
      {NPT_ERROR_SERIAL_PORT_BUSY, -21003},
  };
  for (const auto& c : cases) EXPECT_EQ(c.value, c.macro);
  EXPECT_TRUE(NPT_SUCCEEDED(NPT_SUCCESS));
  EXPECT_TRUE(NPT_FAILED(NPT_ERROR_EOS));
  EXPECT_TRUE(NPT_FAILED(1));  // any non-zero result is a failure
}

}  // namespace
