// Builders for every packet the client writes to a broker.
//
//   packet       first byte  variable header            payload
//   CONNECT      10          "MQTT" 04 flags keepAlive  clientId [will topic, will
//                                                       message] [user] [password]
//   PUBLISH      30 to 35    topic [id if QoS > 0]      data, raw
//   PUBACK       40          id                         -
//   PUBREC       50          id                         -
//   PUBREL       62          id                         -
//   PUBCOMP      70          id                         -
//   SUBSCRIBE    82          id                         filter, QoS byte
//   UNSUBSCRIBE  A2          id                         filter
//   PINGREQ      C0          -                          -
//   DISCONNECT   E0          -                          -
//
// Strings are a 16-bit big-endian byte count and the bytes; ids and the
// keep-alive are 16-bit big-endian. One filter per SUBSCRIBE and
// UNSUBSCRIBE. The builders keep no state; a PUBLISH sent again gets its
// DUP flag from markDuplicate.
//
// Builders that take caller-sized strings or data return a BuildResult and
// refuse input that MQTT cannot carry with one of these texts:
//   "Client identifier too long", "User name too long", "Password too long",
//   "Will topic too long", "Will message too long",
//   "Topic too long", "Topic filter too long"  (more than 65,535 bytes)
//   "Packet too large"   (body above 268,435,455 bytes)
//   "Invalid QoS"        (PUBLISH with QoS above 2)
//   "Invalid will QoS"   (a will with QoS above 2)
// Packet identifiers are placed as given; the caller allocates them.
#pragma once

#include <cstdint>
#include <string>

#include "mqtt/packet.h"

namespace mqtt {

// The Last Will: the message the broker publishes for the client when the
// connection ends without a DISCONNECT. An empty topic means no will.
// The topic's syntax is the caller's to check.
struct Will {
  std::string topic;
  std::string message;  // may be empty
  uint8_t qos = 0;
  bool retain = false;
};

// Connect flags: clean session always; 0x80 when userName is non-empty,
// 0x40 when password is non-empty (decided independently); with a will,
// 0x04 (will), its QoS in bits 3 and 4, 0x20 when it is retained. The
// client identifier is always written, also when empty.
BuildResult makeConnect(const std::string& clientId, const std::string& userName,
                        const std::string& password, uint16_t keepAliveSeconds,
                        const Will& will = Will());

// Why MQTT cannot carry a PUBLISH of this topic, QoS and data size (one
// of the texts above), or nullptr when it can: makePublish's own checks,
// for a message to be sent later.
const char* publishRefusal(size_t topicSize, uint8_t qos, size_t dataSize);

// Flags (qos << 1) | retain. The identifier is written only when qos > 0.
BuildResult makePublish(const std::string& topic, uint8_t qos, bool retain,
                        uint16_t packetId, const std::string& data);

// Sets the DUP flag (0x08 of the first byte) of a PUBLISH with QoS 1 or 2
// that goes out again; any other packet is left as it is.
void markDuplicate(MqttPacket& publish);

// PUBACK (4, 0), PUBREC (5, 0), PUBREL (6, 2), PUBCOMP (7, 0): two-byte body.
// REQUIRES: type <= 15.
MqttPacket makeAck(uint8_t type, uint8_t flags, uint16_t packetId);

// The requested QoS is clamped to 2.
BuildResult makeSubscribe(uint16_t packetId, const std::string& topicFilter, uint8_t qos);
BuildResult makeUnsubscribe(uint16_t packetId, const std::string& topicFilter);

MqttPacket makePingreq();
MqttPacket makeDisconnect();

}  // namespace mqtt
