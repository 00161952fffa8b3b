// Scalar values of the command line: numbers, paths, addresses, escapes,
// time-outs.
#include "tools/values.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tools/bus_client.h"

namespace mqttctl {
namespace {

TEST(Numbers, DecimalOrHexWithinTheLimitAndNothingElse) {
  uint32_t v = 0;
  ASSERT_TRUE(parseU32("0XFFFFFFFF", v).isOk());
  EXPECT_EQ(v, 0xffffffffu);
  ASSERT_TRUE(parseU32("007", v).isOk());  // decimal, never octal
  EXPECT_EQ(v, 7u);
  uint64_t w = 0;
  ASSERT_TRUE(parseU64("18446744073709551615", w).isOk());
  EXPECT_EQ(w, UINT64_MAX);
  EXPECT_FALSE(parseU64("18446744073709551616", w).isOk());
  for (const char* bad :
       {"", "0x", "-1", "+1", " 1", "1 ", "12a", "0x1g", "4294967296", "0x100000000", "1.5"}) {
    EXPECT_FALSE(parseU32(bad, v).isOk()) << bad;
  }
  EXPECT_NE(parseU32("12a", v).message().find("\"12a\""), std::string::npos);
}

TEST(Paths, DotsOrCommasAndTheEmptyPath) {
  std::vector<uint32_t> path;
  ASSERT_TRUE(parsePath("24,0x11", path).isOk());
  EXPECT_EQ(path, (std::vector<uint32_t>{24, 17}));
  EXPECT_EQ(pathText(path), "24.17");
  ASSERT_TRUE(parsePath("", path).isOk());
  EXPECT_TRUE(path.empty());
  for (const char* bad : {".", "24.", ".24", "24..17", "a", "24.-1"}) {
    EXPECT_FALSE(parsePath(bad, path).isOk()) << bad;
  }
  std::string longest = "1";
  for (size_t i = 1; i < MAX_PATH_ELEMENTS; ++i) longest += ".1";
  EXPECT_TRUE(parsePath(longest, path).isOk());
  EXPECT_FALSE(parsePath(longest + ".1", path).isOk());
}

TEST(Addresses, DottedAndNumericBe32InNetworkOrder) {
  uint32_t raw = 0;
  ASSERT_TRUE(parseIpv4("192.168.1.2", raw).isOk());
  EXPECT_EQ(raw, htonl(0xc0a80102));
  EXPECT_EQ(ipv4Text(raw), "192.168.1.2");
  ASSERT_TRUE(parseBe32("0xc0a80102", raw).isOk());
  EXPECT_EQ(raw, htonl(0xc0a80102));
  for (const char* bad :
       {"1.2.3", "1.2.3.4.5", "256.1.1.1", "1.2.3.04", "1..2.3", "a.b.c.d", "1.2.3.4 ", ""}) {
    EXPECT_FALSE(parseBe32(bad, raw).isOk()) << bad;
  }
}

TEST(Escapes, EveryByteCanBeWrittenAndReadBack) {
  std::string bytes;
  ASSERT_TRUE(unescapeBytes("a\\0b\\n\\t\\r\\\\\\\"\\x00\\xfF", bytes).isOk());
  EXPECT_EQ(bytes, std::string("a\0b\n\t\r\\\"\0\xff", 10));
  std::string all;
  for (int c = 0; c < 256; ++c) all.push_back(static_cast<char>(c));
  std::string back;
  ASSERT_TRUE(unescapeBytes(escapeBytes(all), back).isOk());
  EXPECT_EQ(back, all);
  for (char c : escapeBytes(all)) EXPECT_TRUE(c >= 0x20 && c < 0x7f) << int(c);
  for (const char* bad : {"abc\\", "\\q", "\\x", "\\x1", "\\xg0", "\\u0041"}) {
    EXPECT_FALSE(unescapeBytes(bad, bytes).isOk()) << bad;
  }
}

TEST(Escapes, DisplayKeepsUtf8TextButNotControls) {
  EXPECT_EQ(escapeBytes("caf\xc3\xa9"), "caf\xc3\xa9");
  // Not UTF-8 as a whole: every high byte is escaped.
  EXPECT_EQ(escapeBytes("caf\xc3\xa9\xff"), "caf\\xc3\\xa9\\xff");
  // U+009B (a terminal control introducer) stays escaped.
  EXPECT_EQ(escapeBytes("\xc2\x9b"), "\\xc2\\x9b");
  EXPECT_EQ(escapeBytes("\x1b[2J"), "\\x1b[2J");
  EXPECT_EQ(quoteArg(std::string(100, 'a')), "\"" + std::string(48, 'a') + "\"...");
}

TEST(TimeOuts, SecondsWithDecimalsBecomeTicks) {
  uint32_t ms = 0;
  ASSERT_TRUE(parseSeconds("0.5", ms).isOk());
  EXPECT_EQ(ms, 500u);
  ASSERT_TRUE(parseSeconds("86400", ms).isOk());
  EXPECT_EQ(ms, 86400000u);
  for (const char* bad : {"0", "0.0", "", ".5", "5.", "1.2345", "-1", "1e3", "0x10", "86400.5"}) {
    EXPECT_FALSE(parseSeconds(bad, ms).isOk()) << bad;
  }
  EXPECT_EQ(millisToTicks(10000, 100), 1000u);
  EXPECT_EQ(millisToTicks(15, 100), 2u);  // rounded up, never zero
  EXPECT_EQ(millisToTicks(1, 100), 1u);
  EXPECT_EQ(millisToTicks(86400000, 1000000), UINT32_MAX);  // clamped
}

}  // namespace
}  // namespace mqttctl
