// Frames on the bus socket.
//
//   +-----------+---------+----------------+---------------------------+
//   | length:u32| kind:u8 | requestId:u32  | message (encoded kv::msg) |
//   +-----------+---------+----------------+---------------------------+
//   length counts everything after itself: 5 + the message bytes.
//
// kind 1 is a request, kind 2 the reply to the request with the same id on
// the same connection. All integers are big-endian.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/message.h"
#include "platform/status.h"

namespace kv {

enum class FrameKind : uint8_t { Request = 1, Reply = 2 };

constexpr size_t FRAME_LENGTH_BYTES = 4;
constexpr size_t FRAME_HEAD_BYTES = 5;  // kind and request id

struct Frame {
  FrameKind kind = FrameKind::Request;
  uint32_t requestId = 0;
  message msg;
  size_t msgBytes = 0;  // the encoded size of msg, as it was read
};

// Appends one frame to `out`.
void encodeFrame(FrameKind kind, uint32_t requestId, const message& msg, std::string& out);

// Collects bytes from a stream and cuts them into frames.
//
//   buffer_: [consumed | unparsed bytes ...]
//            0         start_              buffer_.size()
class FrameReader {
 public:
  explicit FrameReader(size_t maxFrameBytes) : maxFrame_(maxFrameBytes) {}

  void append(const char* data, size_t n) { buffer_.append(data, n); }

  enum class Result { NeedMore, Ok, Error };
  // Takes the next complete frame out of the buffer. Error: the stream is
  // malformed (`error` says why) and cannot be read further.
  Result next(Frame& frame, Status& error);
  size_t buffered() const { return buffer_.size() - start_; }

 private:
  static constexpr size_t RELEASE_ABOVE_BYTES = 64 * 1024;
  size_t maxFrame_;
  std::string buffer_;
  size_t start_ = 0;
};

}  // namespace kv
