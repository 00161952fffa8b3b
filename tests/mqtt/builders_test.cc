// Known answers for the packets the client builds. (Acknowledgements,
// PINGREQ, DISCONNECT, SUBSCRIBE, UNSUBSCRIBE and the common CONNECT and
// PUBLISH forms, the client's tests against a scripted broker see byte
// for byte.)
#include "mqtt/builders.h"

#include <gtest/gtest.h>

#include <string>

#include "hex.h"

namespace mqtt {
namespace {

std::string hexOfBuilt(const BuildResult& built) {
  return built.ok() ? hexOf(built.packet().bytes) : "refused: " + built.error();
}

std::string hexOfDuplicate(BuildResult built) {
  MqttPacket packet = built.takePacket();
  markDuplicate(packet);
  return hexOf(packet.bytes);
}

TEST(Builders, KnownAnswerForEveryPacket) {
  const struct { const char* what; std::string got, want; } cases[] = {
      {"connect, empty client id", hexOfBuilt(makeConnect("", "", "", 0)),
       "10 0C 00 04 4D 51 54 54 04 02 00 00 00 00"},
      {"connect, password only", hexOfBuilt(makeConnect("c", "", "pw", 10)),
       "10 11 00 04 4D 51 54 54 04 42 00 0A 00 01 63 00 02 70 77"},
      {"connect, user only", hexOfBuilt(makeConnect("c", "u", "", 300)),
       "10 10 00 04 4D 51 54 54 04 82 01 2C 00 01 63 00 01 75"},
      {"connect, will qos 0", hexOfBuilt(makeConnect("c", "", "", 60, Will{"t", "m", 0, false})),
       "10 13 00 04 4D 51 54 54 04 06 00 3C 00 01 63 00 01 74 00 01 6D"},
      {"connect, retained will qos 2, empty message, credentials",
       hexOfBuilt(makeConnect("c", "u", "p", 60, Will{"t", "", 2, true})),
       "10 18 00 04 4D 51 54 54 04 F6 00 3C 00 01 63 00 01 74 00 00 00 01 75 00 01 70"},
      {"connect, no will topic: no will bits",
       hexOfBuilt(makeConnect("c", "", "", 10, Will{"", "m", 3, true})),
       "10 0D 00 04 4D 51 54 54 04 02 00 0A 00 01 63"},
      {"publish qos 1", hexOfBuilt(makePublish("a", 1, false, 2, "")), "32 05 00 01 61 00 02"},
      {"publish qos 2 retained", hexOfBuilt(makePublish("t", 2, true, 0x1234, {"\0x", 2})),
       "35 07 00 01 74 12 34 00 78"},
      {"publish qos 0 sent again: no DUP", hexOfDuplicate(makePublish("a", 0, false, 2, "")),
       "30 03 00 01 61"},
      {"subscribe qos 3", hexOfBuilt(makeSubscribe(10, "a/#", 3)), "82 08 00 0A 00 03 61 2F 23 02"},
  };
  for (const auto& c : cases) EXPECT_EQ(c.got, c.want) << c.what;
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
  }
}

TEST(Limits, StringsOfMoreThan65535BytesAndOverlargeBodiesAreRefused) {
  Bytes bytes = hexBytes("AA");
  EXPECT_FALSE(appendString(bytes, std::string(65536, 'x')));
  EXPECT_EQ(hexOf(bytes), "AA");  // nothing appended
  const std::string tooLong(65536, 'x');
  EXPECT_EQ(makeConnect(tooLong, "", "", 1).error(), "Client identifier too long");
  EXPECT_EQ(makeConnect("c", tooLong, "", 1).error(), "User name too long");
  EXPECT_EQ(makeConnect("c", "", tooLong, 1).error(), "Password too long");
  EXPECT_EQ(makeConnect("c", "", "", 1, Will{tooLong, "", 0, false}).error(),
            "Will topic too long");
  EXPECT_EQ(makeConnect("c", "", "", 1, Will{"t", tooLong, 0, false}).error(),
            "Will message too long");
  EXPECT_EQ(makeConnect("c", "", "", 1, Will{"t", "", 3, false}).error(), "Invalid will QoS");
  EXPECT_EQ(makePublish(tooLong, 0, false, 1, "").error(), "Topic too long");
  EXPECT_EQ(makeSubscribe(1, tooLong, 0).error(), "Topic filter too long");
  EXPECT_EQ(makeUnsubscribe(1, tooLong).error(), "Topic filter too long");
  const BuildResult longest = makePublish(std::string(65535, 't'), 1, false, 1, "");
  ASSERT_TRUE(longest.ok()) << longest.error();
  EXPECT_EQ(hexOf(Bytes(longest.packet().bytes.begin(), longest.packet().bytes.begin() + 6)),
            "32 83 80 04 FF FF");  // 65,539 body bytes, topic length 65,535

  EXPECT_EQ(makePublish("t", 3, false, 1, "").error(), "Invalid QoS");
  // Topic "t" takes 3 body bytes; one data byte more than fits.
  const std::string data(MAX_REMAINING_LENGTH - 3 + 1, 'd');
  EXPECT_EQ(makePublish("t", 0, false, 1, data).error(), "Packet too large");
}

}  // namespace
}  // namespace mqtt
