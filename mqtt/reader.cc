#include "mqtt/reader.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace mqtt {
namespace {

std::string readFailure(const char* what, ssize_t result, int err) {
  return std::string(what) + " (" + std::to_string(result) + ") [" + std::strerror(err) + "]";
}

// One read(2). errno is cleared first: a short read leaves errno alone, and
// the log line must not carry an error left over from an unrelated call.
ssize_t readOnce(int fd, void* buffer, size_t size, int& err) {
  errno = 0;
  const ssize_t result = ::read(fd, buffer, size);
  err = errno;
  return result;
}

bool readControlByte(int fd, const ReadLog& log, uint8_t& control) {
  int err = 0;
  const ssize_t result = readOnce(fd, &control, 1, err);
  if (result == 1) return true;
  if (result == 0) {
    log.warning("peer disconnected");
  } else {
    log.warning(readFailure("couldn't read control header", result, err));
  }
  return false;
}

// At most four bytes of 7 bits each, least significant group first, so the
// value never exceeds MAX_REMAINING_LENGTH.
bool readRemainingLength(int fd, const ReadLog& log, uint32_t& value) {
  value = 0;
  uint32_t multiplier = 1;
  for (int i = 0; i < 4; ++i) {
    uint8_t digit = 0;
    int err = 0;
    const ssize_t result = readOnce(fd, &digit, 1, err);
    if (result != 1) {
      log.warning(readFailure("couldn't read length byte", result, err));
      return false;
    }
    value += (digit & 0x7Fu) * multiplier;
    multiplier *= 128;
    if ((digit & 0x80) == 0) break;
  }
  return true;
}

bool readBody(int fd, const ReadLog& log, uint8_t* body, uint32_t size) {
  int err = 0;
  const ssize_t result = readOnce(fd, body, size, err);
  if (result >= 0 && static_cast<size_t>(result) == size) return true;
  log.warning(readFailure("couldn't read packet to buffer", result, err));
  return false;
}

}  // namespace

std::optional<MqttPacket> readPacket(int fd, const ReadLog& log) {
  uint8_t control = 0;
  uint32_t length = 0;
  if (!readControlByte(fd, log, control) || !readRemainingLength(fd, log, length)) {
    return std::nullopt;
  }
  if (length > MAX_RECEIVED_BODY) {
    log.warning("packet too large (" + std::to_string(length) + " bytes)");
    return std::nullopt;
  }
  MqttPacket packet;
  packet.type = static_cast<uint8_t>(control >> 4);
  packet.flags = static_cast<uint8_t>(control & 0x0F);
  packet.remainingLength = length;
  // One allocation: the header is written in front and the body is read
  // straight into the zero-filled tail, the same bytes encodePacket makes.
  packet.bytes.reserve(1 + remainingLengthSize(length) + length);
  appendByte(packet.bytes, control);
  appendRemainingLength(packet.bytes, length);
  const size_t bodyStart = packet.bytes.size();
  packet.bytes.resize(bodyStart + length);
  if (!readBody(fd, log, packet.bytes.data() + bodyStart, length)) return std::nullopt;
  log.info("packet received (" + std::to_string(packet.type) + ")");
  return packet;
}

}  // namespace mqtt
