#include "mqtt/received.h"

#include <gtest/gtest.h>

#include <string>

#include "hex.h"
#include "mqtt/builders.h"

namespace mqtt {
namespace {

// A packet as the reader frames it: the given body behind a fixed header.
MqttPacket framed(uint8_t firstByte, const Bytes& body) {
  return encodePacket(firstByte >> 4, firstByte & 0x0F, body, Bytes()).takePacket();
}

TEST(PacketIdOf, AcknowledgementsBySizeAndType) {
  struct Case { uint8_t firstByte; const char* body; uint16_t id; };
  const Case cases[] = {
      {0x40, "12 34", 0x1234},   {0x50, "00 07", 7},     {0x62, "FF FE", 0xFFFE},
      {0x70, "00 09", 9},        {0x40, "12 34 00", 0},  {0x62, "12 34 00", 0},
      {0x40, "12", 0},           {0x70, "", 0},          {0x90, "00 07 80", 7},
      {0x90, "00 07", 7},        {0x90, "00", 0},        {0xB0, "00 09", 9},
      {0x20, "00 01", 0},        {0xD0, "", 0},          {0x10, "00 05", 0},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(packetIdOf(framed(c.firstByte, hexBytes(c.body))), c.id)
        << std::hex << int(c.firstByte) << " " << c.body;
  }
}

TEST(PublishAccessors, ShortPacketsGiveZero) {
  EXPECT_EQ(topicLength(framed(0x32, hexBytes(""))), 0);
  EXPECT_EQ(topicLength(framed(0x32, hexBytes("00"))), 0);
  EXPECT_EQ(topicLength(framed(0x32, hexBytes("00 05"))), 5);
  EXPECT_EQ(packetIdOf(framed(0x32, hexBytes("00 05 61"))), 0);
  EXPECT_EQ(packetIdOf(framed(0x32, hexBytes("00 01 61 12"))), 0);
  EXPECT_EQ(packetIdOf(framed(0x32, hexBytes("00 01 61 12 34"))), 0x1234);
  EXPECT_EQ(packetIdOf(framed(0x30, hexBytes("00 01 61 12 34"))), 0);
  EXPECT_EQ(topicLength(framed(0x40, hexBytes("00 05"))), 0);
  // Fields that disagree with the bytes must not lead past them.
  const MqttPacket empty{Publish, 2, 300, Bytes()};
  const MqttPacket liar{Publish, 2, 0xFFFFFFFF, hexBytes("32 05 00 01 61 00")};
  for (const MqttPacket& packet : {empty, liar}) {
    EXPECT_EQ(topicLength(packet), 0);
    EXPECT_EQ(packetIdOf(packet), 0);
    EXPECT_FALSE(parsePublish(packet));
  }
  const MqttPacket understated{Publish, 0, 3, hexBytes("30 05 00 01 61 62 63")};
  EXPECT_FALSE(parsePublish(understated));
}

TEST(PublishAccessors, ThreeLengthBytesMoveTheTopic) {
  const std::string topic(300, 't');
  const std::string data(20000 - 2 - 300 - 2, 'd');
  const MqttPacket packet = makePublish(topic, 1, false, 0xBEEF, data).takePacket();
  ASSERT_EQ(packet.remainingLength, 20000u);
  EXPECT_EQ(hexOf(Bytes(packet.bytes.begin(), packet.bytes.begin() + 6)), "32 A0 9C 01 01 2C");
  EXPECT_EQ(topicLength(packet), 300);
  EXPECT_EQ(packetIdOf(packet), 0xBEEF);
  const std::optional<PublishFields> fields = parsePublish(packet);
  ASSERT_TRUE(fields);
  EXPECT_EQ(fields->topic, topic);
  EXPECT_EQ(fields->data, data);
}

TEST(ParsePublish, FieldsPerQos) {
  const std::string data("\0\xFFz", 3);
  struct Case { uint8_t qos; uint16_t id; };
  for (const Case c : {Case{0, 0}, Case{1, 1}, Case{2, 0xFFFF}}) {
    const std::optional<PublishFields> fields =
        parsePublish(makePublish("a/b", c.qos, true, c.id, data).takePacket());
    ASSERT_TRUE(fields) << int(c.qos);
    EXPECT_EQ(fields->qos, c.qos);
    EXPECT_EQ(fields->packetId, c.id);
    EXPECT_EQ(fields->topic, "a/b");
    EXPECT_EQ(fields->data, data);
  }
  // QoS 3 carries an identifier like QoS 1 and 2; the caller decides.
  const std::optional<PublishFields> qos3 = parsePublish(framed(0x36, hexBytes("00 00 00 05 64")));
  ASSERT_TRUE(qos3);
  EXPECT_EQ(qos3->qos, 3);
  EXPECT_EQ(qos3->packetId, 5);
  EXPECT_EQ(qos3->topic, "");
  EXPECT_EQ(qos3->data, "d");
  EXPECT_FALSE(parsePublish(framed(0x40, hexBytes("00 00"))));
}

TEST(ParsePublish, EveryTruncatedBodyIsRefused) {
  for (uint8_t qos : {0, 1, 2}) {
    const MqttPacket whole = makePublish("a/b", qos, false, 0x0102, "xyz").takePacket();
    const Bytes body(whole.bytes.begin() + 2, whole.bytes.end());
    const size_t needed = qos == 0 ? 5 : 7;  // topic length, topic, identifier
    for (size_t n = 0; n <= body.size(); ++n) {
      const MqttPacket cut = framed(whole.bytes[0], Bytes(body.begin(), body.begin() + n));
      const std::optional<PublishFields> fields = parsePublish(cut);
      if (n < needed) {
        EXPECT_FALSE(fields) << "qos " << int(qos) << " body " << n;
        if (qos > 0) {
          EXPECT_EQ(packetIdOf(cut), 0) << n;
        }
      } else {
        ASSERT_TRUE(fields) << "qos " << int(qos) << " body " << n;
        EXPECT_EQ(fields->data, std::string("xyz").substr(0, n - needed));
      }
    }
  }
}

}  // namespace
}  // namespace mqtt
