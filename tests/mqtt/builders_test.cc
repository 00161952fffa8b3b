#include "mqtt/builders.h"

#include <gtest/gtest.h>

#include <string>

#include "hex.h"

namespace mqtt {
namespace {

std::string hexOfBuilt(const BuildResult& built) {
  return built.ok() ? hexOf(built.packet().bytes) : "refused: " + built.error();
}

TEST(Builders, ConnectFlagsAndPayload) {
  struct Case { const char *id, *user, *pass; uint16_t keepAlive; const char* hex; };
  const Case cases[] = {
      {"abc", "", "", 60, "10 0F 00 04 4D 51 54 54 04 02 00 3C 00 03 61 62 63"},
      {"", "", "", 0, "10 0C 00 04 4D 51 54 54 04 02 00 00 00 00"},
      {"c", "", "pw", 10, "10 11 00 04 4D 51 54 54 04 42 00 0A 00 01 63 00 02 70 77"},
      {"c", "u", "", 300, "10 10 00 04 4D 51 54 54 04 82 01 2C 00 01 63 00 01 75"},
      {"c", "u", "p", 65535, "10 13 00 04 4D 51 54 54 04 C2 FF FF 00 01 63 00 01 75 00 01 70"},
  };
  for (const Case& c : cases) {
    BuildResult built = makeConnect(c.id, c.user, c.pass, c.keepAlive);
    EXPECT_EQ(hexOfBuilt(built), c.hex) << "client id '" << c.id << "'";
  }
  const MqttPacket packet = makeConnect("abc", "", "", 60).packet();
  EXPECT_EQ(packet.type, 1);
  EXPECT_EQ(packet.flags, 0);
  EXPECT_EQ(packet.remainingLength, 15u);
}

TEST(Builders, PublishLayoutPerQos) {
  const std::string zeroAndX("\0x", 2);
  EXPECT_EQ(hexOfBuilt(makePublish("a", 1, false, 2, "")), "32 05 00 01 61 00 02");
  EXPECT_EQ(hexOfBuilt(makePublish("a/b", 0, false, 7, "hi")), "30 07 00 03 61 2F 62 68 69");
  EXPECT_EQ(hexOfBuilt(makePublish("t", 0, false, 7, "")), "30 03 00 01 74");
  EXPECT_EQ(hexOfBuilt(makePublish("t", 1, true, 1, "")), "33 05 00 01 74 00 01");
  EXPECT_EQ(hexOfBuilt(makePublish("t", 2, true, 0x1234, zeroAndX)),
            "35 07 00 01 74 12 34 00 78");
  const MqttPacket packet = makePublish("t", 2, true, 9, "").packet();
  EXPECT_EQ(packet.type, 3);
  EXPECT_EQ(packet.flags, 5);
  EXPECT_EQ(packet.remainingLength, 5u);
}

TEST(Builders, FixedPackets) {
  EXPECT_EQ(hexOf(makeAck(4, 0, 1).bytes), "40 02 00 01");
  EXPECT_EQ(hexOf(makeAck(5, 0, 0xABCD).bytes), "50 02 AB CD");
  EXPECT_EQ(hexOf(makeAck(6, 2, 0x0102).bytes), "62 02 01 02");
  EXPECT_EQ(hexOf(makeAck(7, 0, 65535).bytes), "70 02 FF FF");
  EXPECT_EQ(hexOf(makePingreq().bytes), "C0 00");
  EXPECT_EQ(hexOf(makeDisconnect().bytes), "E0 00");
  EXPECT_EQ(makeAck(6, 2, 1).flags, 2);
}

TEST(Builders, SubscribeClampsQosAndUnsubscribe) {
  EXPECT_EQ(hexOfBuilt(makeSubscribe(10, "a/#", 1)), "82 08 00 0A 00 03 61 2F 23 01");
  EXPECT_EQ(hexOfBuilt(makeSubscribe(10, "a/#", 0)), "82 08 00 0A 00 03 61 2F 23 00");
  EXPECT_EQ(hexOfBuilt(makeSubscribe(10, "a/#", 3)), "82 08 00 0A 00 03 61 2F 23 02");
  EXPECT_EQ(hexOfBuilt(makeSubscribe(10, "a/#", 255)), "82 08 00 0A 00 03 61 2F 23 02");
  EXPECT_EQ(hexOfBuilt(makeUnsubscribe(0x0102, "a/#")), "A2 07 01 02 00 03 61 2F 23");
}

TEST(RemainingLength, EncodingAtEveryBoundary) {
  struct Case { uint32_t value; const char* hex; };
  const Case cases[] = {
      {0, "00"},           {127, "7F"},          {128, "80 01"},
      {321, "C1 02"},      {16383, "FF 7F"},     {16384, "80 80 01"},
      {2097151, "FF FF 7F"}, {2097152, "80 80 80 01"}, {268435455, "FF FF FF 7F"},
  };
  for (const Case& c : cases) {
    Bytes bytes;
    appendRemainingLength(bytes, c.value);
    EXPECT_EQ(hexOf(bytes), c.hex) << c.value;
    EXPECT_EQ(remainingLengthSize(c.value), bytes.size()) << c.value;
    if (c.value > 2097152) continue;  // a packet that size is only cheap up to here
    const MqttPacket packet =
        encodePacket(9, 0x0F, Bytes(), Bytes(c.value, 0xAA)).takePacket();
    EXPECT_EQ(packet.remainingLength, c.value);
    ASSERT_EQ(packet.bytes.size(), 1 + bytes.size() + c.value);
    EXPECT_EQ(Bytes(packet.bytes.begin(), packet.bytes.begin() + 1 + bytes.size()),
              hexBytes("9F " + std::string(c.hex)));
  }
}

TEST(Limits, StringOfMoreThan65535BytesIsRefused) {
  Bytes bytes = hexBytes("AA");
  EXPECT_FALSE(appendString(bytes, std::string(65536, 'x')));
  EXPECT_EQ(hexOf(bytes), "AA");
  ASSERT_TRUE(appendString(bytes, std::string(65535, 'x')));
  EXPECT_EQ(bytes.size(), 3u + 65535);
  EXPECT_EQ(hexOf(Bytes(bytes.begin(), bytes.begin() + 4)), "AA FF FF 78");

  const std::string tooLong(65536, 'x');
  EXPECT_EQ(makeConnect(tooLong, "", "", 1).error(), "Client identifier too long");
  EXPECT_EQ(makeConnect("c", tooLong, "", 1).error(), "User name too long");
  EXPECT_EQ(makeConnect("c", "", tooLong, 1).error(), "Password too long");
  EXPECT_EQ(makePublish(tooLong, 0, false, 1, "").error(), "Topic too long");
  EXPECT_EQ(makeSubscribe(1, tooLong, 0).error(), "Topic filter too long");
  EXPECT_EQ(makeUnsubscribe(1, tooLong).error(), "Topic filter too long");
  EXPECT_FALSE(makeConnect(tooLong, "", "", 1).ok());

  BuildResult longest = makePublish(std::string(65535, 't'), 1, false, 1, "");
  ASSERT_TRUE(longest.ok());
  EXPECT_TRUE(longest.error().empty());
  EXPECT_EQ(longest.packet().remainingLength, 65539u);
}

TEST(Limits, PublishRefusesQos3AndBodyBeyondFourLengthBytes) {
  EXPECT_EQ(makePublish("t", 3, false, 1, "").error(), "Invalid QoS");
  // Topic "t" takes 3 body bytes; one data byte more than fits.
  const std::string data(MAX_REMAINING_LENGTH - 3 + 1, 'd');
  EXPECT_EQ(makePublish("t", 0, false, 1, data).error(), "Packet too large");
}

}  // namespace
}  // namespace mqtt
