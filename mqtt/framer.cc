#include "mqtt/framer.h"

namespace mqtt {

void PacketFramer::append(const uint8_t* data, size_t size) {
  compact();
  buffer_.append(reinterpret_cast<const char*>(data), size);
}

void PacketFramer::reset() {
  buffer_.clear();
  buffer_.shrink_to_fit();
  start_ = 0;
  announced_ = 0;
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
  if (buffered() == 0) return Stage::ControlByte;
  uint32_t length = 0;
  size_t headerSize = 0;
  return header(length, headerSize) ? Stage::Body : Stage::LengthByte;
}

PacketFramer::Result PacketFramer::next(MqttPacket& packet) {
  uint32_t length = 0;
  size_t headerSize = 0;
  if (!header(length, headerSize)) return Result::NeedMore;
  if (length > maxBody_) {
    announced_ = length;
    return Result::TooLarge;
  }
  if (buffered() - headerSize < length) {
    // Reserve once for the whole packet instead of growing read by read.
    buffer_.reserve(start_ + headerSize + length);
    return Result::NeedMore;
  }
  const uint8_t control = static_cast<uint8_t>(buffer_[start_]);
  const uint8_t* body = reinterpret_cast<const uint8_t*>(buffer_.data()) + start_ + headerSize;
  packet.type = static_cast<uint8_t>(control >> 4);
  packet.flags = static_cast<uint8_t>(control & 0x0F);
  packet.remainingLength = length;
  packet.bytes.clear();
  packet.bytes.reserve(1 + remainingLengthSize(length) + length);
  appendByte(packet.bytes, control);
  appendRemainingLength(packet.bytes, length);
  packet.bytes.insert(packet.bytes.end(), body, body + length);
  start_ += headerSize + length;
  if (start_ == buffer_.size()) {
    buffer_.clear();
    start_ = 0;
  }
  return Result::Packet;
}

}  // namespace mqtt
