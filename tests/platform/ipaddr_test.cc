#include "platform/ipaddr.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

TEST(IPAddrTest, ParsesDottedQuadsIntoNetworkOrder) {
  for (const char* text : {"0.0.0.0", "1.2.3.4", "10.0.0.1", "192.168.100.254", "255.255.255.255",
                           "9.99.199.200"}) {
    IPAddr ip;
    ASSERT_NE(0, ip.fromStr(text, strlen(text))) << text;
    in_addr expected{};
    ASSERT_EQ(1, inet_pton(AF_INET, text, &expected));
    EXPECT_EQ(expected.s_addr, ip.addr) << text;
    EXPECT_EQ(text, ip.toStr());
  }
  IPAddr ip;
  ASSERT_NE(0, ip.fromStr("10.20.30.40", 11));
  uint8_t bytes[4];
  ip.toBytes(bytes);
  EXPECT_EQ(10, bytes[0]);
  EXPECT_EQ(40, bytes[3]);
}

TEST(IPAddrTest, RefusesAnythingButFourDecimalNumbers) {
  const std::string invalid[] = {
      "", "1", "1.2.3", "1.2.3.4.", ".1.2.3.4", "1..2.3", "1.2.3.4.5", "256.1.1.1", "1.2.3.256",
      "1000.1.1.1", "01.2.3.4", "1.2.3.00", "1.2.3.-4", "+1.2.3.4", " 1.2.3.4", "1.2.3.4 ",
      "1.2.3.4a", "a.b.c.d", "0x1.2.3.4", "router.local", "1,2,3,4", "::1",
      std::string("1.2\0.3.4", 8), std::string("1.2.3.4\0", 8)};
  for (const std::string& text : invalid) {
    IPAddr ip;
    ip.addr = 0x12345678;
    EXPECT_EQ(0, ip.fromStr(text.data(), text.size())) << '"' << text << '"';
    EXPECT_EQ(0x12345678u, ip.addr) << "changed by a refused text";
  }
  IPAddr ip;
  EXPECT_EQ(0, ip.fromStr(nullptr, 0));
}

TEST(IPAddrTest, ReadsOnlyTheGivenLength) {
  // No terminating NUL anywhere: the parser must stop at the length.
  const char quad[7] = {'1', '.', '2', '.', '3', '.', '4'};
  IPAddr ip;
  ASSERT_NE(0, ip.fromStr(quad, sizeof quad));
  EXPECT_EQ("1.2.3.4", ip.toStr());

  // The length cuts a longer text: what lies beyond it does not count.
  const char* longer = "1.2.3.45x";
  ASSERT_NE(0, ip.fromStr(longer, 7));
  EXPECT_EQ("1.2.3.4", ip.toStr());
  ASSERT_NE(0, ip.fromStr(longer, 8));
  EXPECT_EQ("1.2.3.45", ip.toStr());
  EXPECT_EQ(0, ip.fromStr(longer, 9));
  EXPECT_EQ(0, ip.fromStr(longer, 6));  // "1.2.3."
  EXPECT_EQ(0, ip.fromStr(quad, 5));    // "1.2.3"
}

}  // namespace
