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

// What the parser `kind` makes of `text`, written plainly (a be32 as the
// host-order hex of its network-order value), or "refused".
std::string parsed(const std::string& kind, const std::string& text) {
  uint32_t u = 0;
  uint64_t w = 0;
  std::vector<uint32_t> path;
  std::string bytes;
  kv::Status st;
  if (kind == "u32") st = parseU32(text, u);
  if (kind == "u64") st = parseU64(text, w);
  if (kind == "path") st = parsePath(text, path);
  if (kind == "ipv4") st = parseIpv4(text, u);
  if (kind == "be32") st = parseBe32(text, u);
  if (kind == "seconds") st = parseSeconds(text, u);
  if (kind == "escaped") st = unescapeBytes(text, bytes);
  if (!st.isOk()) return "refused";
  char hex[16];
  snprintf(hex, sizeof hex, "%08x", ntohl(u));
  if (kind == "u64") return std::to_string(w);
  if (kind == "path") return "[" + pathText(path) + "]";
  if (kind == "ipv4" || kind == "be32") return hex;
  if (kind == "escaped") return bytes;
  return std::to_string(u);
}

TEST(Values, EachParserTakesWellFormedTextWithinItsLimitsAndNothingElse) {
  std::string longest = "1";
  for (size_t i = 1; i < MAX_PATH_ELEMENTS; ++i) longest += ".1";
  const struct { const char* kind; std::string text, value; } cases[] = {
      {"u32", "0XFFFFFFFF", "4294967295"}, {"u32", "007", "7"},  // decimal, never octal
      {"u64", "18446744073709551615", "18446744073709551615"},
      {"u64", "18446744073709551616", "refused"},
      {"path", "24,0x11", "[24.17]"}, {"path", "", "[]"}, {"path", longest, "[" + longest + "]"},
      {"path", longest + ".1", "refused"},
      {"ipv4", "192.168.1.2", "c0a80102"}, {"be32", "0xc0a80102", "c0a80102"},
      {"be32", "10.0.0.1", "0a000001"},
      {"seconds", "0.5", "500"}, {"seconds", "86400", "86400000"},
      {"escaped", "a\\0b\\n\\t\\r\\\\\\\"\\x00\\xfF", std::string("a\0b\n\t\r\\\"\0\xff", 10)},
  };
  for (const auto& c : cases) EXPECT_EQ(parsed(c.kind, c.text), c.value) << c.kind << " " << c.text;
  const std::pair<const char*, std::vector<const char*>> refused[] = {
      {"u32", {"", "0x", "-1", "+1", " 1", "1 ", "12a", "0x1g", "4294967296", "0x100000000", "1.5"}},
      {"path", {".", "24.", ".24", "24..17", "a", "24.-1"}},
      {"be32", {"1.2.3", "1.2.3.4.5", "256.1.1.1", "1.2.3.04", "1..2.3", "a.b.c.d", "1.2.3.4 ", ""}},
      {"seconds", {"0", "0.0", "", ".5", "5.", "1.2345", "-1", "1e3", "0x10", "86400.5"}},
      {"escaped", {"abc\\", "\\q", "\\x", "\\x1", "\\xg0", "\\u0041"}},
  };
  for (const auto& [kind, texts] : refused) {
    for (const char* text : texts) EXPECT_EQ(parsed(kind, text), "refused") << kind << " " << text;
  }
  uint32_t v = 0;
  EXPECT_NE(parseU32("12a", v).message().find("\"12a\""), std::string::npos);
  EXPECT_EQ(ipv4Text(htonl(0xc0a80102)), "192.168.1.2");
}

TEST(Escapes, EveryByteCanBeWrittenAndReadBackAndDisplayKeepsUtf8Text) {
  std::string all;
  for (int c = 0; c < 256; ++c) all.push_back(static_cast<char>(c));
  std::string back;
  ASSERT_TRUE(unescapeBytes(escapeBytes(all), back).isOk());
  EXPECT_EQ(back, all);
  for (char c : escapeBytes(all)) EXPECT_TRUE(c >= 0x20 && c < 0x7f) << int(c);
  EXPECT_EQ(escapeBytes("caf\xc3\xa9"), "caf\xc3\xa9");
  // Not UTF-8 as a whole: every high byte is escaped.
  EXPECT_EQ(escapeBytes("caf\xc3\xa9\xff"), "caf\\xc3\\xa9\\xff");
  // U+009B (a terminal control introducer) stays escaped.
  EXPECT_EQ(escapeBytes("\xc2\x9b"), "\\xc2\\x9b");
  EXPECT_EQ(escapeBytes("\x1b[2J"), "\\x1b[2J");
  EXPECT_EQ(quoteArg(std::string(100, 'a')), "\"" + std::string(48, 'a') + "\"...");
}

TEST(TimeOuts, MillisecondsBecomeTicksRoundedUpAndClamped) {
  EXPECT_EQ(millisToTicks(10000, 100), 1000u);
  EXPECT_EQ(millisToTicks(15, 100), 2u);  // rounded up, never zero
  EXPECT_EQ(millisToTicks(1, 100), 1u);
  EXPECT_EQ(millisToTicks(86400000, 1000000), UINT32_MAX);  // clamped
}

}  // namespace
}  // namespace mqttctl
