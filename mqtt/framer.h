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
// holds more than one bounded packet (or the head of a skipped PUBLISH, at
// most MAX_PUBLISH_HEAD bytes) plus one read.
//
// A PUBLISH above the bound is skipped rather than ending the stream: a
// broker may hold a retained message larger than the service takes, and it
// would come back at every connection. Once its variable header (topic
// length, topic and, with a QoS bit set, the identifier) is buffered, next()
// yields that head as Result::Oversized and the rest of the body is dropped
// as it arrives, never buffered:
//
//   stream:  [ fixed header | topic length | topic | id | data .......... ]
//   yielded:  fixed header   topic length   topic   id   (packet.bytes)
//   dropped:                                              data, as it comes
//
// Any other packet above the bound, or a PUBLISH whose body cannot hold its
// own head, is TooLarge: the stream cannot be trusted past it.
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
// The longest PUBLISH variable header: topic length, topic, identifier.
constexpr uint32_t MAX_PUBLISH_HEAD = 2 + 65535 + 2;

class PacketFramer {
 public:
  enum class Result {
    Packet,    // a complete packet was taken out
    NeedMore,  // the buffered bytes end inside a packet (or there are none)
    Oversized,  // a PUBLISH above the bound: `packet` holds its fixed
                // header and variable header only (remainingLength is the
                // announced body; parsePublishHead reads it); the rest of
                // its body is dropped as it arrives
    TooLarge,   // another packet announces a body above the bound; the
                // stream is unusable from here on
  };
  // Where the unframed bytes end: names the read that a failure interrupts.
  enum class Stage { ControlByte, LengthByte, Body };

  explicit PacketFramer(uint32_t maxBody = MAX_PACKET_BODY) : maxBody_(maxBody) {}

  // Appends bytes read from the stream.
  void append(const uint8_t* data, size_t size);
  // Takes the next complete packet out into `packet`, rebuilt in canonical
  // form: type and flags from the control byte, remainingLength = body size,
  // bytes = control byte, the shortest encoding of the length, the body.
  // After Oversized, framing goes on after the skipped packet.
  Result next(MqttPacket& packet);

  Stage stage() const;
  // Bytes held that belong to no complete packet yet.
  size_t buffered() const { return buffer_.size() - start_; }
  // The body length the refused or skipped packet announced (after
  // TooLarge or Oversized).
  uint32_t announced() const { return announced_; }
  // Drops everything held (a new connection starts clean).
  void reset();

 private:
  // Decodes the fixed header at start_: false while it is incomplete.
  bool header(uint32_t& bodyLength, size_t& headerSize) const;
  // Yields the head of the oversized PUBLISH at start_ and starts dropping
  // the rest of its body; NeedMore until the head is buffered, TooLarge
  // when the packet is not a PUBLISH or its body cannot hold its head.
  Result skipOversized(MqttPacket& packet, uint32_t bodyLength, size_t headerSize);
  // Takes `size` bytes at start_ out into `packet`, announcing `bodyLength`.
  void take(MqttPacket& packet, size_t headerSize, size_t size, uint32_t bodyLength);
  void compact();

  uint32_t maxBody_;
  std::string buffer_;
  size_t start_ = 0;
  uint32_t announced_ = 0;
  uint32_t skipLeft_ = 0;  // body bytes of a skipped PUBLISH still to drop
};

}  // namespace mqtt
