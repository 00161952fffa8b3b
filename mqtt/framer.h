// PacketFramer: cuts the byte stream a broker sends into MQTT packets.
//
// The stream arrives in pieces of any size (a packet may span many reads,
// one read may hold many packets). The caller appends what each read(2)
// returned and takes the complete packets out; the framer keeps the bytes
// of the packet in progress. It does no I/O and keeps no clock.
//
//   buffer_:  [ framed, dropped | unframed bytes ...................... ]
//             0                 start_                                 size
//
// Framing follows the fixed header: a control byte, then the remaining
// length in at most four bytes of 7 bits (least significant group first);
// the fourth byte ends the length whatever its bit 7 says. A packet whose
// announced body exceeds the framer's bound is refused as soon as its
// length is known, before anything is allocated for it, so the buffer never
// holds more than one bounded packet plus one read.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "mqtt/packet.h"

namespace mqtt {

// The largest message data the service sends or accepts: 2 MiB.
constexpr uint32_t MAX_MESSAGE_DATA = 2 * 1024 * 1024;
// The largest packet body accepted from a broker: a PUBLISH carrying the
// longest topic (2 + 65,535 bytes), an identifier and MAX_MESSAGE_DATA, so
// that whatever the service can publish it can also receive.
constexpr uint32_t MAX_PACKET_BODY = MAX_MESSAGE_DATA + 2 + 65535 + 2;

class PacketFramer {
 public:
  enum class Result {
    Packet,    // a complete packet was taken out
    NeedMore,  // the buffered bytes end inside a packet (or there are none)
    TooLarge,  // the packet announces a body above the bound; the stream is
               // unusable from here on
  };
  // Where the unframed bytes end: names the read that a failure interrupts.
  enum class Stage { ControlByte, LengthByte, Body };

  explicit PacketFramer(uint32_t maxBody = MAX_PACKET_BODY) : maxBody_(maxBody) {}

  // Appends bytes read from the stream.
  void append(const uint8_t* data, size_t size);
  // Takes the next complete packet out into `packet`, rebuilt in canonical
  // form: type and flags from the control byte, remainingLength = body size,
  // bytes = control byte, the shortest encoding of the length, the body.
  Result next(MqttPacket& packet);

  Stage stage() const;
  // Bytes held that belong to no complete packet yet.
  size_t buffered() const { return buffer_.size() - start_; }
  // The body length the refused packet announced (after TooLarge).
  uint32_t announced() const { return announced_; }
  // Drops everything held (a new connection starts clean).
  void reset();

 private:
  // Decodes the fixed header at start_: false while it is incomplete.
  bool header(uint32_t& bodyLength, size_t& headerSize) const;
  void compact();

  uint32_t maxBody_;
  std::string buffer_;
  size_t start_ = 0;
  uint32_t announced_ = 0;
};

}  // namespace mqtt
