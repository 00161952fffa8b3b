#include "mqtt/packet.h"

#include <utility>

namespace mqtt {

BuildResult BuildResult::built(MqttPacket packet) {
  BuildResult result;
  result.packet_ = std::move(packet);
  return result;
}

BuildResult BuildResult::refused(std::string reason) {
  BuildResult result;
  result.error_ = std::move(reason);
  return result;
}

void appendByte(Bytes& bytes, uint8_t value) { bytes.push_back(value); }

void appendUint16(Bytes& bytes, uint16_t value) {
  bytes.push_back(static_cast<uint8_t>(value >> 8));
  bytes.push_back(static_cast<uint8_t>(value & 0xFF));
}

bool appendString(Bytes& bytes, const std::string& text) {
  if (text.size() > MAX_STRING_LENGTH) return false;
  appendUint16(bytes, static_cast<uint16_t>(text.size()));
  bytes.insert(bytes.end(), text.begin(), text.end());
  return true;
}

void appendRemainingLength(Bytes& bytes, uint32_t value) {
  do {
    uint8_t digit = static_cast<uint8_t>(value % 128);
    value /= 128;
    if (value > 0) digit |= 0x80;
    bytes.push_back(digit);
  } while (value > 0);
}

size_t remainingLengthSize(uint32_t value) {
  if (value <= 127) return 1;
  if (value <= 16383) return 2;
  if (value <= 2097151) return 3;
  return 4;
}

MqttPacket startPacket(uint8_t type, uint8_t flags, uint32_t remainingLength) {
  MqttPacket packet;
  packet.type = type;
  packet.flags = flags;
  packet.remainingLength = remainingLength;
  packet.bytes.reserve(1 + remainingLengthSize(remainingLength) + remainingLength);
  appendByte(packet.bytes, static_cast<uint8_t>((type << 4) | (flags & 0x0F)));
  appendRemainingLength(packet.bytes, remainingLength);
  return packet;
}

namespace {

// Payload is any contiguous container of bytes (Bytes or std::string).
template <typename Payload>
BuildResult encodeAny(uint8_t type, uint8_t flags, const Bytes& variableHeader,
                      const Payload& payload) {
  // Compared one part at a time so that the sum cannot wrap a 32-bit size_t.
  if (variableHeader.size() > MAX_REMAINING_LENGTH ||
      payload.size() > MAX_REMAINING_LENGTH - variableHeader.size()) {
    return BuildResult::refused("Packet too large");
  }
  MqttPacket packet =
      startPacket(type, flags, static_cast<uint32_t>(variableHeader.size() + payload.size()));
  packet.bytes.insert(packet.bytes.end(), variableHeader.begin(), variableHeader.end());
  packet.bytes.insert(packet.bytes.end(), payload.begin(), payload.end());
  return BuildResult::built(std::move(packet));
}

}  // namespace

BuildResult encodePacket(uint8_t type, uint8_t flags, const Bytes& variableHeader,
                         const Bytes& payload) {
  return encodeAny(type, flags, variableHeader, payload);
}

BuildResult encodePacket(uint8_t type, uint8_t flags, const Bytes& variableHeader,
                         const std::string& payload) {
  return encodeAny(type, flags, variableHeader, payload);
}

}  // namespace mqtt
