// Fuzz target: arbitrary bytes as what a bus peer sends.
//
// The bytes go through the frame reader in chunks of varying size (the
// first byte picks the chunk size), as a socket would hand them over. Every
// frame that decodes must encode back to the same bytes; a message that
// decodes must re-decode to an equal message. A broken invariant traps.
#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/bus_frame.h"
#include "platform/message_codec.h"

namespace {

void require(bool condition) {
  if (!condition) __builtin_trap();
}

void checkFrame(const kv::Frame& frame, const std::string& raw) {
  std::string again;
  kv::encodeFrame(frame.kind, frame.requestId, frame.msg, again);
  require(again == raw);
  kv::message back;
  require(kv::decodeMessage(kv::encodeMessage(frame.msg), back).isOk());
  require(back == frame.msg);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const size_t chunk = 1 + data[0] % 64;
  ++data;
  --size;

  // The whole input as one message, outside any frame.
  kv::message whole;
  if (kv::decodeMessage(data, size, whole).isOk()) {
    require(kv::encodeMessage(whole) == std::string(reinterpret_cast<const char*>(data), size));
  }

  kv::FrameReader reader(64 * 1024);
  size_t offset = 0, consumed = 0;
  while (offset < size) {
    size_t n = size - offset < chunk ? size - offset : chunk;
    reader.append(reinterpret_cast<const char*>(data) + offset, n);
    offset += n;
    kv::Frame frame;
    kv::Status error;
    for (;;) {
      kv::FrameReader::Result r = reader.next(frame, error);
      if (r == kv::FrameReader::Result::NeedMore) break;
      if (r == kv::FrameReader::Result::Error) return 0;
      size_t length = kv::FRAME_LENGTH_BYTES + kv::encodedSize(frame.msg) + kv::FRAME_HEAD_BYTES;
      require(consumed + length <= offset);
      checkFrame(frame, std::string(reinterpret_cast<const char*>(data) + consumed, length));
      consumed += length;
    }
  }
  return 0;
}
