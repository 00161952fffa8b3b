#include "mqtt/framer.h"

namespace mqtt {

void PacketFramer::append(const uint8_t* data, size_t size) {
  // The body of a skipped PUBLISH is dropped before it is buffered.
  const size_t dropped = size < skipLeft_ ? size : skipLeft_;
  skipLeft_ -= static_cast<uint32_t>(dropped);
  data += dropped;
  size -= dropped;
  compact();
  buffer_.append(reinterpret_cast<const char*>(data), size);
}

void PacketFramer::reset() {
  buffer_.clear();
  buffer_.shrink_to_fit();
  start_ = 0;
  announced_ = 0;
  skipLeft_ = 0;
}

// Framed bytes are dropped lazily, once they are half the buffer, so that
// many small packets in one read cost one move, not one per packet.
void PacketFramer::compact() {
  if (start_ == 0) return;
  if (start_ == buffer_.size()) {
    buffer_.clear();
    start_ = 0;
  } else if (start_ >= buffer_.size() / 2) {
    buffer_.erase(0, start_);
    start_ = 0;
  }
}

bool PacketFramer::header(uint32_t& bodyLength, size_t& headerSize) const {
  const size_t available = buffered();
  if (available < 2) return false;
  uint32_t value = 0;
  uint32_t multiplier = 1;
  for (size_t i = 0; i < 4; ++i) {
    if (1 + i >= available) return false;
    const uint8_t digit = static_cast<uint8_t>(buffer_[start_ + 1 + i]);
    value += (digit & 0x7Fu) * multiplier;
    multiplier *= 128;
    if ((digit & 0x80) == 0 || i == 3) {
      bodyLength = value;
      headerSize = 2 + i;
      return true;
    }
  }
  return false;
}

PacketFramer::Stage PacketFramer::stage() const {
  if (skipLeft_ > 0) return Stage::Body;
  if (buffered() == 0) return Stage::ControlByte;
  uint32_t length = 0;
  size_t headerSize = 0;
  return header(length, headerSize) ? Stage::Body : Stage::LengthByte;
}

PacketFramer::Result PacketFramer::next(MqttPacket& packet) {
  uint32_t length = 0;
  size_t headerSize = 0;
  if (!header(length, headerSize)) return Result::NeedMore;
  if (length > maxBody_) return skipOversized(packet, length, headerSize);
  if (buffered() - headerSize < length) {
    // Reserve once for the whole packet instead of growing read by read.
    buffer_.reserve(start_ + headerSize + length);
    return Result::NeedMore;
  }
  take(packet, headerSize, length, length);
  return Result::Packet;
}

PacketFramer::Result PacketFramer::skipOversized(MqttPacket& packet, uint32_t bodyLength,
                                                 size_t headerSize) {
  announced_ = bodyLength;
  const uint8_t control = static_cast<uint8_t>(buffer_[start_]);
  if ((control >> 4) != Publish) return Result::TooLarge;
  const size_t available = buffered() - headerSize;
  if (available < 2) return Result::NeedMore;
  const uint8_t* body = reinterpret_cast<const uint8_t*>(buffer_.data()) + start_ + headerSize;
  const size_t head = 2 + ((size_t{body[0]} << 8) | body[1]) + ((control & 0x06) != 0 ? 2 : 0);
  if (head > bodyLength) return Result::TooLarge;  // malformed: the topic does not fit
  if (available < head) return Result::NeedMore;
  take(packet, headerSize, head, bodyLength);
  const size_t rest = bodyLength - head;
  const size_t held = buffered() < rest ? buffered() : rest;
  start_ += held;
  skipLeft_ = static_cast<uint32_t>(rest - held);
  if (start_ == buffer_.size()) {
    buffer_.clear();
    start_ = 0;
  }
  return Result::Oversized;
}

void PacketFramer::take(MqttPacket& packet, size_t headerSize, size_t size, uint32_t bodyLength) {
  const uint8_t control = static_cast<uint8_t>(buffer_[start_]);
  const uint8_t* body = reinterpret_cast<const uint8_t*>(buffer_.data()) + start_ + headerSize;
  packet.type = static_cast<uint8_t>(control >> 4);
  packet.flags = static_cast<uint8_t>(control & 0x0F);
  packet.remainingLength = bodyLength;
  packet.bytes.clear();
  packet.bytes.reserve(1 + remainingLengthSize(bodyLength) + size);
  appendByte(packet.bytes, control);
  appendRemainingLength(packet.bytes, bodyLength);
  packet.bytes.insert(packet.bytes.end(), body, body + size);
  start_ += headerSize + size;
  if (start_ == buffer_.size()) {
    buffer_.clear();
    start_ = 0;
  }
}

}  // namespace mqtt
