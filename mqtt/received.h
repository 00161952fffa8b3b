// Accessors for a packet framed by readPacket.
//
// Positions are positions in packet.bytes; the body starts at
// 1 + remainingLengthSize(remainingLength). Every accessor checks each
// position against bytes.size() before reading it, so none reads past the
// bytes whatever the packet holds, and each answers 0 when the packet is too
// short for what it asks.
//
// PUBLISH body, offsets from the start of the body:
//   0                 topic length, 16 bits big-endian
//   2                 topic, topicLength bytes
//   2 + topicLength   packet identifier, 16 bits, only when a QoS bit is set
//   then              message data, raw, to the end of the body
//
// A PUBLISH whose body is shorter than its topic and identifier is
// malformed: parsePublish refuses it, and the incoming-message code takes
// the topic, identifier and data only from parsePublish.
//
// CONNACK body: byte 0 the acknowledge flags (bit 0: session present),
// byte 1 the return code (0 accepted, 1 to 5 the refusals MQTT names).
//
// SUBACK body: the packet identifier, then one return code per filter of
// the SUBSCRIBE (0, 1, 2: the QoS granted; 0x80: refused).
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "mqtt/packet.h"

namespace mqtt {

// For a PUBLISH, the topic length at the start of the body; 0 for any other
// type and when the bytes end before the two length bytes.
uint16_t topicLength(const MqttPacket& packet);

// The packet identifier a received packet carries, or 0:
//   SUBACK, UNSUBACK: bytes 2 and 3 when there are more than 3 bytes;
//   PUBACK, PUBREC, PUBREL, PUBCOMP: bytes 2 and 3 when there are exactly 4;
//   PUBLISH: 0 when both QoS bits are clear, otherwise the two bytes right
//     after the topic (0 when the bytes end before them);
//   any other type: 0.
uint16_t packetIdOf(const MqttPacket& packet);

// The fields of a well-formed PUBLISH. Owns copies of topic and data (byte
// strings, any byte value allowed), so it outlives the packet.
struct PublishFields {
  uint8_t qos = 0;        // flag bits 1 and 2; 3 is reported as it came
  uint16_t packetId = 0;  // 0 when qos is 0
  std::string topic;      // may be empty
  std::string data;       // may be empty
};

// Validates a received PUBLISH and extracts its fields. Refuses (nullopt) a
// packet that is not a PUBLISH, whose bytes do not hold exactly the header
// and remainingLength body bytes, or whose body is too short for the topic
// length, the topic and, when a QoS bit is set (QoS 3 included), the
// identifier. Never reads past the bytes.
std::optional<PublishFields> parsePublish(const MqttPacket& packet);

// The topic, QoS and identifier of a PUBLISH whose body was too large to
// keep (PacketFramer::Result::Oversized): `packet` holds its fixed header
// and no more of its body than the head. `data` stays empty. Refuses
// (nullopt) a packet that is not a PUBLISH or whose bytes end before the
// topic and identifier. Never reads past the bytes.
std::optional<PublishFields> parsePublishHead(const MqttPacket& packet);

struct ConnackFields {
  bool sessionPresent = false;
  uint8_t returnCode = 0;
};

// Refuses (nullopt) a packet that is not a CONNACK with a body of exactly
// two bytes.
std::optional<ConnackFields> parseConnack(const MqttPacket& packet);

// A SUBACK return code that refuses the subscription.
constexpr uint8_t SUBACK_FAILURE = 0x80;

// The first return code of a SUBACK, which answers a SUBSCRIBE of one
// filter; SUBACK_FAILURE when the packet is no SUBACK or carries no code,
// since nothing was granted then.
uint8_t subackReturnCode(const MqttPacket& packet);

// Why a broker refused, for a CONNACK return code other than 0:
// "unacceptable protocol version", "identifier rejected", "server
// unavailable", "bad user name or password", "not authorised", or
// "refusal code N" for a code MQTT does not name.
std::string connackRefusal(uint8_t returnCode);

}  // namespace mqtt
