#include "platform/bus_frame.h"

#include "platform/bytes.h"
#include "platform/message_codec.h"

namespace kv {

void encodeFrame(FrameKind kind, uint32_t requestId, const message& msg, std::string& out) {
  size_t body = encodedSize(msg);
  out.reserve(out.size() + FRAME_LENGTH_BYTES + FRAME_HEAD_BYTES + body);
  // The length and the head in one append: most frames (answers) are little
  // more than these 9 bytes.
  uint8_t head[FRAME_LENGTH_BYTES + FRAME_HEAD_BYTES];
  storeU32(head, static_cast<uint32_t>(FRAME_HEAD_BYTES + body));
  head[4] = static_cast<uint8_t>(kind);
  storeU32(head + 5, requestId);
  out.append(reinterpret_cast<const char*>(head), sizeof head);
  encodeMessage(msg, out);
}

FrameReader::Result FrameReader::next(Frame& frame, Status& error) {
  const size_t avail = buffer_.size() - start_;
  if (avail < FRAME_LENGTH_BYTES) return Result::NeedMore;
  const auto* p = reinterpret_cast<const uint8_t*>(buffer_.data()) + start_;
  const uint32_t length = loadU32(p);
  if (length < FRAME_HEAD_BYTES || length > maxFrame_) {
    error = Status::malformed("frame length " + std::to_string(length));
    return Result::Error;
  }
  if (avail - FRAME_LENGTH_BYTES < length) return Result::NeedMore;
  const uint8_t kind = p[4];
  if (kind != static_cast<uint8_t>(FrameKind::Request) &&
      kind != static_cast<uint8_t>(FrameKind::Reply)) {
    error = Status::malformed("frame kind " + std::to_string(kind));
    return Result::Error;
  }
  frame.kind = static_cast<FrameKind>(kind);
  frame.requestId = loadU32(p + 5);
  Status st = decodeMessage(p + FRAME_LENGTH_BYTES + FRAME_HEAD_BYTES,
                            length - FRAME_HEAD_BYTES, frame.msg);
  if (!st.isOk()) {
    error = st;
    return Result::Error;
  }
  frame.msgBytes = length - FRAME_HEAD_BYTES;
  start_ += FRAME_LENGTH_BYTES + length;
  // Drop consumed bytes once they are the larger part of the buffer, so the
  // buffer neither grows without bound nor is moved on every frame.
  if (start_ == buffer_.size()) {
    // Memory follows what is held: a large frame's room is given back.
    if (buffer_.capacity() > RELEASE_ABOVE_BYTES) std::string().swap(buffer_);
    buffer_.clear();
    start_ = 0;
  } else if (start_ > buffer_.size() / 2) {
    buffer_.erase(0, start_);
    start_ = 0;
  }
  return Result::Ok;
}

}  // namespace kv
