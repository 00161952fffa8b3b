#include "mqtt/received.h"

#include <cstddef>

#include "platform/bytes.h"

namespace mqtt {
namespace {

size_t bodyOffset(const MqttPacket& packet) {
  return 1 + remainingLengthSize(packet.remainingLength);
}

// The big-endian 16-bit value at `pos`, or 0 when the bytes end before it.
uint16_t uint16At(const Bytes& bytes, size_t pos) {
  if (pos >= bytes.size() || bytes.size() - pos < 2) return 0;
  return static_cast<uint16_t>((bytes[pos] << 8) | bytes[pos + 1]);
}

// Counterpart of appendUint16 over a bounded cursor.
bool readUint16(kv::ByteReader& reader, uint16_t& value) {
  uint8_t high = 0;
  uint8_t low = 0;
  if (!reader.readU8(high) || !reader.readU8(low)) return false;
  value = static_cast<uint16_t>((high << 8) | low);
  return true;
}

bool hasQosBits(const MqttPacket& packet) { return (packet.flags & 0x06) != 0; }

// Reads the topic and, with a QoS bit set, the identifier from `body`.
bool readPublishHead(const MqttPacket& packet, kv::ByteReader& body, PublishFields& fields) {
  fields.qos = static_cast<uint8_t>((packet.flags >> 1) & 0x03);
  uint16_t length = 0;
  if (!readUint16(body, length) || !body.readBytes(length, fields.topic)) return false;
  return !hasQosBits(packet) || readUint16(body, fields.packetId);
}

}  // namespace

uint16_t topicLength(const MqttPacket& packet) {
  if (packet.type != Publish) return 0;
  return uint16At(packet.bytes, bodyOffset(packet));
}

uint16_t packetIdOf(const MqttPacket& packet) {
  switch (packet.type) {
    case Suback:
    case Unsuback:
      return uint16At(packet.bytes, 2);
    case Puback:
    case Pubrec:
    case Pubrel:
    case Pubcomp:
      return packet.bytes.size() == 4 ? uint16At(packet.bytes, 2) : 0;
    case Publish:
      if (!hasQosBits(packet)) return 0;
      return uint16At(packet.bytes, bodyOffset(packet) + 2 + topicLength(packet));
    default:
      return 0;
  }
}

std::optional<PublishFields> parsePublish(const MqttPacket& packet) {
  const size_t offset = bodyOffset(packet);
  if (packet.type != Publish || packet.bytes.size() < offset ||
      packet.bytes.size() - offset != packet.remainingLength) {
    return std::nullopt;
  }
  kv::ByteReader body(packet.bytes.data() + offset, packet.remainingLength);
  PublishFields fields;
  if (!readPublishHead(packet, body, fields)) return std::nullopt;
  body.readBytes(body.remaining(), fields.data);
  return fields;
}

std::optional<PublishFields> parsePublishHead(const MqttPacket& packet) {
  const size_t offset = bodyOffset(packet);
  if (packet.type != Publish || packet.bytes.size() < offset) return std::nullopt;
  kv::ByteReader body(packet.bytes.data() + offset, packet.bytes.size() - offset);
  PublishFields fields;
  if (!readPublishHead(packet, body, fields)) return std::nullopt;
  return fields;
}

std::optional<ConnackFields> parseConnack(const MqttPacket& packet) {
  if (packet.type != Connack || packet.remainingLength != 2 || packet.bytes.size() != 4) {
    return std::nullopt;
  }
  return ConnackFields{(packet.bytes[2] & 0x01) != 0, packet.bytes[3]};
}

uint8_t subackReturnCode(const MqttPacket& packet) {
  const size_t code = bodyOffset(packet) + 2;
  if (packet.type != Suback || packet.remainingLength < 3 || packet.bytes.size() <= code) {
    return SUBACK_FAILURE;
  }
  return packet.bytes[code];
}

std::string connackRefusal(uint8_t returnCode) {
  switch (returnCode) {
    case 1: return "unacceptable protocol version";
    case 2: return "identifier rejected";
    case 3: return "server unavailable";
    case 4: return "bad user name or password";
    case 5: return "not authorised";
    default: return "refusal code " + std::to_string(returnCode);
  }
}

}  // namespace mqtt
