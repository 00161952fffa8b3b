// Fuzz target: arbitrary bytes as the stream a broker sends.
//
// Input: one mode byte, then the stream. The stream is written into a Unix
// socket pair (as much as the socket takes) and readPacket frames packets
// from the non-blocking end until it fails. Mode bit 0 closes the writing
// end first, so the stream ends in "peer disconnected" rather than EAGAIN.
// Every framed packet goes through every accessor, and the invariants the
// incoming-message code relies on are checked; a broken one traps.
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "mqtt/builders.h"
#include "mqtt/reader.h"
#include "mqtt/received.h"

namespace {

void require(bool condition) {
  if (!condition) __builtin_trap();
}

void checkFraming(const mqtt::MqttPacket& packet) {
  require(packet.remainingLength <= mqtt::MAX_RECEIVED_BODY);
  require(packet.bytes.size() ==
          1 + mqtt::remainingLengthSize(packet.remainingLength) + packet.remainingLength);
  require(packet.bytes[0] == ((packet.type << 4) | packet.flags));
}

// A PUBLISH is accepted exactly when its body holds the topic length, the
// topic and, with a QoS bit set, the identifier; a plain one (QoS 0 to 2,
// no DUP) rebuilds to the same bytes.
void checkPublish(const mqtt::MqttPacket& packet) {
  const uint16_t topicLength = mqtt::topicLength(packet);
  const uint16_t packetId = mqtt::packetIdOf(packet);
  const bool hasId = (packet.flags & 0x06) != 0;
  const size_t needed = 2 + size_t{topicLength} + (hasId ? 2 : 0);
  const auto fields = mqtt::parsePublish(packet);
  require(fields.has_value() == (packet.remainingLength >= needed));
  if (!fields) return;
  require(fields->topic.size() == topicLength && fields->packetId == packetId);
  require(fields->data.size() == packet.remainingLength - needed);
  if ((packet.flags & 0x08) != 0 || fields->qos > 2) return;
  const mqtt::BuildResult rebuilt = mqtt::makePublish(
      fields->topic, fields->qos, (packet.flags & 0x01) != 0, fields->packetId, fields->data);
  require(rebuilt.ok() && rebuilt.packet().bytes == packet.bytes);
}

void checkPacket(const mqtt::MqttPacket& packet) {
  checkFraming(packet);
  if (packet.type == mqtt::Publish) {
    checkPublish(packet);
  } else {
    require(mqtt::topicLength(packet) == 0);
    (void)mqtt::packetIdOf(packet);
    require(!mqtt::parsePublish(packet));
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const bool closePeer = (data[0] & 1) != 0;
  int fds[2];
  require(socketpair(AF_UNIX, SOCK_STREAM, 0, fds) == 0);
  require(fcntl(fds[0], F_SETFL, O_NONBLOCK) == 0 && fcntl(fds[1], F_SETFL, O_NONBLOCK) == 0);
  const ssize_t written = write(fds[1], data + 1, size - 1);
  require(written >= 0 || size == 1);
  if (closePeer) close(fds[1]);

  size_t lines = 0;
  mqtt::ReadLog log;
  log.warning = [&lines](const std::string& line) { require(!line.empty()); ++lines; };
  log.info = [&lines](const std::string& line) { require(!line.empty()); ++lines; };
  size_t packets = 0;
  while (const auto packet = mqtt::readPacket(fds[0], log)) {
    checkPacket(*packet);
    require(++packets <= size);  // every packet consumes at least two bytes
  }
  require(lines == packets + 1);  // one info line per packet, one warning at the end
  close(fds[0]);
  if (!closePeer) close(fds[1]);
  return 0;
}
