// Decimal prefixes and dotted IPv4 addresses, as every reader of the tree has
// always taken them: the tables are the behaviour the wire lengths, the script
// interface's ports and markers, the typed client, the session command and
// no_proxy rely on.
#include "protocol/numbers.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

namespace corvane {
namespace {

TEST(DecimalPrefix, Table) {
  struct Case {
    std::string text;
    int64_t value64;
    int32_t value32;
  };
  const Case cases[] = {
      {"", 0, 0},
      {"0", 0, 0},
      {"42", 42, 42},
      {"12abc", 12, 12},
      {"1 2", 1, 1},
      {"0x10", 0, 0},
      {"abc", 0, 0},
      // Blanks: space and \t \n \v \f \r before the sign or digits, nothing else.
      {"  42", 42, 42},
      {"\t\n\v\f\r7", 7, 7},
      {" ", 0, 0},
      {"\xa0"
       "5",
       0, 0},
      {"\x1c"
       "5",
       0, 0},
      // One sign, directly before the digits.
      {"+5", 5, 5},
      {"-5", -5, -5},
      {" -5", -5, -5},
      {"- 5", 0, 0},
      {"+-5", 0, 0},
      {"--5", 0, 0},
      {"-", 0, 0},
      {"+", 0, 0},
      {"-99", -99, -99},
      {"-99abc", -99, -99},
      // The int32 limits, and past them: the 32-bit value saturates.
      {"2147483647", 2147483647, 2147483647},
      {"2147483648", 2147483648, 2147483647},
      {"-2147483648", -2147483648, INT32_MIN},
      {"-2147483649", -2147483649, INT32_MIN},
      {"99999999999", 99999999999, 2147483647},
      {"-99999999999", -99999999999, INT32_MIN},
      {"00000000000000000000001", 1, 1},
      // Digits stop adding once the value reaches 10^17.
      {"99999999999999999", 99999999999999999, 2147483647},
      {"999999999999999999", 999999999999999999, 2147483647},
      {"99999999999999999999", 999999999999999999, 2147483647},
      {"-99999999999999999999", -999999999999999999, INT32_MIN},
      {"100000000000000000000", 100000000000000000, 2147483647},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(DecimalPrefix64(c.text), c.value64) << '"' << c.text << '"';
    EXPECT_EQ(DecimalPrefix32(c.text), c.value32) << '"' << c.text << '"';
  }
}

// The text's length is the limit: a frame's five digits are read without what
// follows them.
TEST(DecimalPrefix, StopsAtTheViewsEnd) {
  const std::string frame =
      "\x05"
      "0001234567";
  EXPECT_EQ(DecimalPrefix64(std::string_view(frame).substr(1, 5)), 12);
  EXPECT_EQ(DecimalPrefix32(std::string_view("123", 2)), 12);
}

TEST(DottedIPv4, Forms) {
  struct Case {
    std::string text;
    bool digits;     // kDottedDigits
    bool session;    // kDottedSession
    bool network;    // kDottedNetwork
    uint32_t value;  // kDottedNetwork's value when it accepts
  };
  const Case cases[] = {
      {"1.2.3.4", true, true, true, 0x01020304},
      {"127.0.0.1", true, true, true, 0x7f000001},
      {"0.0.0.0", true, true, true, 0},
      {"255.255.255.255", true, true, true, 0xffffffff},
      {"256.1.1.1", true, false, false, 0},
      {"999.1.1.1", true, false, false, 0},
      {"1.2.3", false, false, false, 0},
      {"1.2.3.4.5", false, false, false, 0},
      {"01.2.3.4", true, true, true, 0x01020304},
      {"0001.2.3.4", true, false, true, 0x01020304},
      {"0255.0.0.1", true, false, true, 0xff000001},
      {"1234.1.1.1", true, false, false, 0},
      {"12345.1.1.1", true, false, false, 0},
      {" 1.2.3.4", false, false, false, 0},
      {"1.2.3.4 ", false, false, false, 0},
      {"1.2.3.4x", false, false, false, 0},
      {"1.2.3.4.", false, false, false, 0},
      {"", false, false, false, 0},
      {"...", true, false, false, 0},
      {"1..3.4", true, false, false, 0},
      {"a.b.c.d", false, false, false, 0},
      {"-1.2.3.4", false, true, false, 0},
      {"1.2.3.-4", false, true, false, 0},
      {"-12.1.1.1", false, true, false, 0},
      {"-123.1.1.1", false, false, false, 0},
      {"-.1.1.1", false, false, false, 0},
      {"+1.2.3.4", false, false, false, 0},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(ParseDottedIPv4(c.text, kDottedDigits), c.digits) << '"' << c.text << '"';
    EXPECT_EQ(ParseDottedIPv4(c.text, kDottedSession), c.session) << '"' << c.text << '"';
    uint32_t value = 0xdeadbeef;
    EXPECT_EQ(ParseDottedIPv4(c.text, kDottedNetwork, &value), c.network) << '"' << c.text << '"';
    if (c.network) {
      EXPECT_EQ(value, c.value) << '"' << c.text << '"';
    }
  }
}

TEST(DottedIPv4, Format) {
  const unsigned char loopback[] = {127, 0, 0, 1};
  const unsigned char edges[] = {0, 255, 10, 100};
  EXPECT_EQ(FormatDottedIPv4(loopback), "127.0.0.1");
  EXPECT_EQ(FormatDottedIPv4(edges), "0.255.10.100");
}

}  // namespace
}  // namespace corvane
