// Reading received packets: identifiers, CONNACK and PUBLISH fields, and
// nothing read from fields that disagree with the bytes. (A PUBLISH with
// three length bytes, the client's tests against a scripted broker see.)
#include "mqtt/received.h"

#include <gtest/gtest.h>

#include <string>
#include <tuple>

#include "hex.h"
#include "mqtt/builders.h"
#include "mqtt/framer.h"

namespace mqtt {
namespace {

// A packet as the reader frames it: the given body behind a fixed header.
MqttPacket framed(uint8_t firstByte, const Bytes& body) {
  return encodePacket(firstByte >> 4, firstByte & 0x0F, body, Bytes()).takePacket();
}

TEST(PacketIdOf, AcknowledgementsBySizeAndType) {
  struct Case { uint8_t firstByte; const char* body; uint16_t id; };
  const Case cases[] = {
      {0x40, "12 34", 0x1234}, {0x50, "00 07", 7},  {0x62, "FF FE", 0xFFFE}, {0x70, "00 09", 9},
      {0x40, "12 34 00", 0},   {0x62, "12 34 00", 0}, {0x40, "12", 0},   {0x70, "", 0},
      {0x90, "00 07 80", 7},   {0x90, "00 07", 7},  {0x90, "00", 0},   {0xB0, "00 09", 9},
      {0x20, "00 01", 0},      {0xD0, "", 0},       {0x10, "00 05", 0},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(packetIdOf(framed(c.firstByte, hexBytes(c.body))), c.id)
        << std::hex << int(c.firstByte) << " " << c.body;
  }
}

TEST(ParseConnack, TwoBodyBytesOrNothing) {
  struct Case { uint8_t firstByte; const char* body; bool ok; bool sessionPresent; uint8_t code; };
  const Case cases[] = {
      {0x20, "00 00", true, false, 0}, {0x20, "01 05", true, true, 5}, {0x20, "00 80", true, false, 0x80},
      {0x20, "00", false, false, 0},   {0x20, "00 00 00", false, false, 0}, {0x90, "00 00", false, false, 0},
  };
  for (const Case& c : cases) {
    const std::optional<ConnackFields> connack = parseConnack(framed(c.firstByte, hexBytes(c.body)));
    ASSERT_EQ(connack.has_value(), c.ok) << c.body;
    if (!c.ok) continue;
    EXPECT_EQ(connack->sessionPresent, c.sessionPresent) << c.body;
    EXPECT_EQ(connack->returnCode, c.code) << c.body;
  }
}

TEST(PublishAccessors, FieldsThatDisagreeWithTheBytesLeadNowhere) {
  EXPECT_EQ(topicLength(framed(0x40, hexBytes("00 05"))), 0);
  const MqttPacket liar{Publish, 2, 0xFFFFFFFF, hexBytes("32 05 00 01 61 00")};
  for (const MqttPacket& packet : {MqttPacket{Publish, 2, 300, Bytes()}, liar}) {
    EXPECT_EQ(topicLength(packet), 0);
    EXPECT_EQ(packetIdOf(packet), 0);
    EXPECT_FALSE(parsePublish(packet));
  }
  const MqttPacket understated{Publish, 0, 3, hexBytes("30 05 00 01 61 62 63")};
  EXPECT_FALSE(parsePublish(understated));
  EXPECT_FALSE(parsePublish(framed(0x40, hexBytes("00 00"))));
}

// Every prefix of the body that ends before the identifier is refused; the
// longer ones carry part of the data.
// The framer's form of a PUBLISH above the bound: its fixed header, as
// announced, and the first bytes of its body.
MqttPacket skippedHead(uint8_t firstByte, const Bytes& bodyStart) {
  MqttPacket head;
  head.type = firstByte >> 4;
  head.flags = firstByte & 0x0F;
  head.remainingLength = MAX_PACKET_BODY + 1;
  head.bytes = {firstByte};
  appendRemainingLength(head.bytes, head.remainingLength);
  head.bytes.insert(head.bytes.end(), bodyStart.begin(), bodyStart.end());
  return head;
}

// parsePublishHead reads the same topic and identifier from a skipped
// message's head; parsePublish never takes such a head for a message.
TEST(ParsePublish, FieldsPerQosAndEveryTruncatedBodyIsRefused) {
  const std::string data("x\0\xFF", 3);
  for (uint8_t qos : {0, 1, 2}) {
    const MqttPacket whole = makePublish("a/b", qos, true, 0x0102, data).takePacket();
    const uint16_t id = qos == 0 ? 0 : 0x0102;
    const Bytes body(whole.bytes.begin() + 2, whole.bytes.end());
    const size_t needed = qos == 0 ? 5 : 7;  // topic length, topic, identifier
    for (size_t n = 0; n <= body.size(); ++n) {
      const MqttPacket cut = framed(whole.bytes[0], Bytes(body.begin(), body.begin() + n));
      const std::optional<PublishFields> fields = parsePublish(cut);
      EXPECT_EQ(topicLength(cut), n < 2 ? 0 : 3) << "qos " << int(qos) << " body " << n;
      EXPECT_EQ(packetIdOf(cut), n < needed ? 0 : id) << "qos " << int(qos) << " body " << n;
      const MqttPacket head = skippedHead(whole.bytes[0], Bytes(body.begin(), body.begin() + n));
      const std::optional<PublishFields> headFields = parsePublishHead(head);
      EXPECT_FALSE(parsePublish(head));
      EXPECT_EQ(headFields.has_value(), n >= needed) << "qos " << int(qos) << " head " << n;
      if (headFields) {
        EXPECT_EQ(std::tie(headFields->qos, headFields->packetId, headFields->topic, headFields->data),
                  std::make_tuple(qos, id, "a/b", ""));
      }
      if (n < needed) {
        EXPECT_FALSE(fields) << "qos " << int(qos) << " body " << n;
        continue;
      }
      ASSERT_TRUE(fields) << "qos " << int(qos) << " body " << n;
      EXPECT_EQ(std::tie(fields->qos, fields->packetId, fields->topic, fields->data),
                std::make_tuple(qos, id, "a/b", data.substr(0, n - needed)));
    }
  }
  // QoS 3 carries an identifier like QoS 1 and 2; the caller decides.
  const std::optional<PublishFields> qos3 = parsePublish(framed(0x36, hexBytes("00 00 00 05 64")));
  ASSERT_TRUE(qos3);
  EXPECT_EQ(std::tie(qos3->qos, qos3->packetId, qos3->topic, qos3->data),
            std::make_tuple(3, 5, "", "d"));
}

}  // namespace
}  // namespace mqtt
