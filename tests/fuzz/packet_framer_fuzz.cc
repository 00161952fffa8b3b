// Fuzz target: arbitrary bytes as the stream a broker sends.
//
// The first byte sets the size of the pieces the rest arrives in. The
// framer takes the stream once whole and once piece by piece: both must
// give the same packets (the heads of skipped oversized messages among
// them) and stop at the same place (out of bytes, or a packet above the
// bound that cannot be skipped), holding no more than the bound allows.
// Every packet goes through every accessor, and the invariants the
// incoming-message code relies on are checked; a broken one traps.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "mqtt/builders.h"
#include "mqtt/framer.h"
#include "mqtt/received.h"

namespace {

void require(bool condition) {
  if (!condition) __builtin_trap();
}

// A PUBLISH is accepted exactly when its body holds the topic length, the
// topic and, with a QoS bit set, the identifier; a plain one (QoS 0 to 2,
// no DUP) rebuilds to the same bytes. Other packets have no topic.
void checkPacket(const mqtt::MqttPacket& packet) {
  require(packet.remainingLength <= mqtt::MAX_PACKET_BODY);
  require(packet.bytes.size() ==
          1 + mqtt::remainingLengthSize(packet.remainingLength) + packet.remainingLength);
  require(packet.bytes[0] == ((packet.type << 4) | packet.flags));
  const uint16_t topicLength = mqtt::topicLength(packet);
  const uint16_t packetId = mqtt::packetIdOf(packet);
  const auto fields = mqtt::parsePublish(packet);
  if (packet.type != mqtt::Publish) {
    require(topicLength == 0 && !fields);
    return;
  }
  const size_t needed = 2 + size_t{topicLength} + ((packet.flags & 0x06) != 0 ? 2 : 0);
  require(fields.has_value() == (packet.remainingLength >= needed));
  if (!fields) return;
  require(fields->topic.size() == topicLength && fields->packetId == packetId);
  require(fields->data.size() == packet.remainingLength - needed);
  if ((packet.flags & 0x08) != 0 || fields->qos > 2) return;
  const mqtt::BuildResult rebuilt = mqtt::makePublish(
      fields->topic, fields->qos, (packet.flags & 0x01) != 0, fields->packetId, fields->data);
  require(rebuilt.ok() && rebuilt.packet().bytes == packet.bytes);
}

// The head of a PUBLISH above the bound: the fixed header as announced,
// then exactly the topic length, the topic and, with a QoS bit set, the
// identifier, which parsePublishHead reads and parsePublish refuses.
void checkSkippedHead(const mqtt::MqttPacket& head) {
  require(head.type == mqtt::Publish && head.remainingLength > mqtt::MAX_PACKET_BODY);
  const auto fields = mqtt::parsePublishHead(head);
  require(fields.has_value() && !mqtt::parsePublish(head));
  const size_t needed = 2 + fields->topic.size() + ((head.flags & 0x06) != 0 ? 2 : 0);
  require(head.bytes.size() == 1 + mqtt::remainingLengthSize(head.remainingLength) + needed);
  require(fields->topic.size() == mqtt::topicLength(head) && fields->packetId == mqtt::packetIdOf(head));
}

// Frames `stream` arriving in pieces of `piece` bytes; returns the packets
// and how the framing ended.
std::vector<mqtt::MqttPacket> frame(const uint8_t* stream, size_t size, size_t piece,
                                    mqtt::PacketFramer::Result& end) {
  mqtt::PacketFramer framer;
  std::vector<mqtt::MqttPacket> packets;
  end = mqtt::PacketFramer::Result::NeedMore;
  for (size_t at = 0; at < size && end != mqtt::PacketFramer::Result::TooLarge;) {
    const size_t n = piece < size - at ? piece : size - at;
    framer.append(stream + at, n);
    at += n;
    mqtt::MqttPacket packet;
    for (;;) {
      end = framer.next(packet);
      if (end == mqtt::PacketFramer::Result::Packet) {
        checkPacket(packet);
      } else if (end == mqtt::PacketFramer::Result::Oversized) {
        checkSkippedHead(packet);
      } else {
        break;
      }
      packets.push_back(std::move(packet));
    }
    require(framer.buffered() <= mqtt::MAX_PACKET_BODY + 5 + piece);
  }
  return packets;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  mqtt::PacketFramer::Result wholeEnd, piecesEnd;
  const auto whole = frame(data + 1, size - 1, size, wholeEnd);
  const auto pieces = frame(data + 1, size - 1, 1 + data[0] % 16, piecesEnd);
  require(wholeEnd == piecesEnd && whole.size() == pieces.size());
  for (size_t i = 0; i < whole.size(); ++i) require(whole[i].bytes == pieces[i].bytes);
  require(whole.size() <= size / 2);  // every packet takes at least two bytes
  return 0;
}
