// MqttPacket, the byte-vector writers and the fixed-header encoder.
//
// An MqttPacket is one MQTT 3.1.1 control packet as a value: the complete
// wire bytes plus the three fixed-header fields decoded for convenience.
//
//   bytes:  +------------+---------------------+------------------------------+
//           | first byte | remaining length    | variable header, payload     |
//           | type:4|fl:4| 1 to 4 bytes, 7 bits| remainingLength bytes        |
//           |            | per byte, low first |                              |
//           +------------+---------------------+------------------------------+
//
// Every 16-bit integer is written big-endian, byte by byte, so the output is
// the same on every host. A string is a 16-bit byte count followed by the
// raw bytes (no terminator, no character-set conversion).
//
// Limits. A string can carry at most MAX_STRING_LENGTH bytes and a packet
// body at most MAX_REMAINING_LENGTH bytes; nothing in this folder ever writes
// a packet beyond them. appendString refuses an over-long string, and every
// builder that takes caller-sized input returns a BuildResult: callers test
// it and answer their request with error() when it is refused, e.g.
//
//   BuildResult built = makePublish(topic, qos, retain, id, data);
//   if (!built.ok()) return fail(built.error());   // "Topic too long"
//   queue(built.takePacket());
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace mqtt {

using Bytes = std::vector<uint8_t>;

// Largest byte count a 16-bit length prefix can express.
constexpr size_t MAX_STRING_LENGTH = 65535;
// Largest body that four remaining-length bytes can express.
constexpr uint32_t MAX_REMAINING_LENGTH = 268435455;

// Control packet types (high nibble of the first byte).
enum PacketType : uint8_t {
  Connect = 1,
  Connack = 2,
  Publish = 3,
  Puback = 4,
  Pubrec = 5,
  Pubrel = 6,
  Pubcomp = 7,
  Subscribe = 8,
  Suback = 9,
  Unsubscribe = 10,
  Unsuback = 11,
  Pingreq = 12,
  Pingresp = 13,
  Disconnect = 14,
};

struct MqttPacket {
  uint8_t type = 0;              // control packet type, 0 to 15
  uint8_t flags = 0;             // low nibble of the first byte
  uint32_t remainingLength = 0;  // bytes after the fixed header
  Bytes bytes;                   // the whole packet as it goes on the wire
};

// Outcome of building a packet from caller-sized input: either a packet or
// a fixed English refusal text such as "Topic too long".
class BuildResult {
 public:
  static BuildResult built(MqttPacket packet);
  static BuildResult refused(std::string reason);

  bool ok() const { return packet_.has_value(); }
  // REQUIRES: ok().
  const MqttPacket& packet() const { return *packet_; }
  // REQUIRES: ok(). Moves the packet out; call once.
  MqttPacket takePacket() { return std::move(*packet_); }
  // Empty when ok().
  const std::string& error() const { return error_; }

 private:
  std::optional<MqttPacket> packet_;
  std::string error_;
};

void appendByte(Bytes& bytes, uint8_t value);
// High byte first.
void appendUint16(Bytes& bytes, uint16_t value);
// Appends the 16-bit byte count and the bytes of `text`. A text longer than
// MAX_STRING_LENGTH is refused: nothing is appended and false is returned.
[[nodiscard]] bool appendString(Bytes& bytes, const std::string& text);
// Appends `value` in the remaining-length encoding: 7 bits per byte, least
// significant group first, bit 7 set on every byte but the last.
// REQUIRES: value <= MAX_REMAINING_LENGTH (at most four bytes).
void appendRemainingLength(Bytes& bytes, uint32_t value);

// Number of bytes the remaining-length encoding of `value` takes: 1 up to
// 127, 2 up to 16,383, 3 up to 2,097,151, otherwise 4.
size_t remainingLengthSize(uint32_t value);

// A packet holding its fixed header, with room reserved for the
// `remainingLength` bytes its builder appends next.
// REQUIRES: type <= 15, remainingLength <= MAX_REMAINING_LENGTH.
MqttPacket startPacket(uint8_t type, uint8_t flags, uint32_t remainingLength);

// Builds a packet: first byte (type << 4) | (flags & 0x0F), the remaining
// length (header size + payload size), the variable header, the payload.
// The packet's type and flags fields hold the values passed in.
// Refused with "Packet too large" when the body would exceed
// MAX_REMAINING_LENGTH. REQUIRES: type <= 15.
BuildResult encodePacket(uint8_t type, uint8_t flags, const Bytes& variableHeader,
                         const Bytes& payload);
// The same, with the payload given as a byte string (message data), so that
// the data is copied only once, straight into the packet.
BuildResult encodePacket(uint8_t type, uint8_t flags, const Bytes& variableHeader,
                         const std::string& payload);

}  // namespace mqtt
