#include "platform/ipaddr.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

TEST(IPAddrTest, DottedQuadsInNetworkOrderWithinTheLengthGivenAndNothingElse) {
  for (std::string text : {"0.0.0.0", "1.2.3.4", "192.168.100.254", "255.255.255.255"}) {
    IPAddr ip;
    in_addr expected{};
    ASSERT_EQ(1, inet_pton(AF_INET, text.c_str(), &expected));
    ASSERT_NE(0, ip.fromStr(text.data(), text.size())) << text;
    EXPECT_EQ(expected.s_addr, ip.addr) << text;
    EXPECT_EQ(text, ip.toStr());
  }
  for (const std::string& text : std::vector<std::string>{
           "", "1.2.3", "1.2.3.4.", ".1.2.3.4", "1..2.3", "256.1.1.1", "1.2.3.1000", "01.2.3.4",
           "+1.2.3.4", " 1.2.3.4", "1.2.3.4 ", "1.2.3.4a", "0x1.2.3.4", "router.local", "::1",
           std::string("1.2.3.4\0", 8)}) {
    IPAddr ip;
    ip.addr = 0x12345678;
    EXPECT_EQ(0, ip.fromStr(text.data(), text.size())) << '"' << text << '"';
    EXPECT_EQ(0x12345678u, ip.addr) << text;
  }
  IPAddr ip;
  EXPECT_EQ(0, ip.fromStr(nullptr, 0));
  const char quad[7] = {'1', '.', '2', '.', '3', '.', '4'};  // no NUL anywhere
  ASSERT_NE(0, ip.fromStr(quad, sizeof quad));
  EXPECT_EQ("1.2.3.4", ip.toStr());
  EXPECT_EQ(0, ip.fromStr(quad, 5));
  ASSERT_NE(0, ip.fromStr("1.2.3.45x", 8));
  EXPECT_EQ("1.2.3.45", ip.toStr());
}

}  // namespace
