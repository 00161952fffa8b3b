// Fuzz target: arbitrary bytes as what a bus peer sends.
//
// The first byte picks the size of the chunks in which the rest reaches
// the frame reader, as a socket would hand them over. Every frame that
// decodes must encode back to its own bytes and its message must re-decode
// to an equal one; decoding the whole input as one message must hold no
// more heap than kv::DECODED_BYTES_PER_BYTE times its size (counted
// through the sanitizer's allocation hooks). A broken invariant traps.
#include <sanitizer/allocator_interface.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/bus_frame.h"
#include "platform/message_codec.h"

namespace {

void require(bool condition) {
  if (!condition) __builtin_trap();
}

int64_t heapLive = 0, heapPeak = 0;  // bytes requested and not yet freed

void onMalloc(const volatile void*, size_t size) {
  heapLive += static_cast<int64_t>(size);
  if (heapLive > heapPeak) heapPeak = heapLive;
}

void onFree(const volatile void* ptr) {
  heapLive -= static_cast<int64_t>(__sanitizer_get_allocated_size(const_cast<const void*>(ptr)));
}

void decodeWithinBound(const uint8_t* data, size_t size) {
  kv::message whole;
  heapLive = heapPeak = 0;
  const bool ok = kv::decodeMessage(data, size, whole).isOk();
  require(heapPeak <= static_cast<int64_t>(kv::DECODED_BYTES_PER_BYTE * size + 1024));
  require(!ok || kv::encodeMessage(whole) == std::string(reinterpret_cast<const char*>(data), size));
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  __sanitizer_install_malloc_and_free_hooks(onMalloc, onFree);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const size_t chunk = 1 + data[0] % 64;
  const char* bytes = reinterpret_cast<const char*>(data + 1);
  --size;
  decodeWithinBound(data + 1, size);

  kv::FrameReader reader(64 * 1024);
  size_t offset = 0, consumed = 0;
  while (offset < size) {
    const size_t n = size - offset < chunk ? size - offset : chunk;
    reader.append(bytes + offset, n);
    offset += n;
    kv::Frame frame;
    kv::Status error;
    kv::FrameReader::Result r;
    while ((r = reader.next(frame, error)) == kv::FrameReader::Result::Ok) {
      const size_t length = kv::FRAME_LENGTH_BYTES + kv::FRAME_HEAD_BYTES + kv::encodedSize(frame.msg);
      require(consumed + length <= offset);
      std::string again;
      kv::encodeFrame(frame.kind, frame.requestId, frame.msg, again);
      require(again == std::string(bytes + consumed, length));
      kv::message back;
      require(kv::decodeMessage(kv::encodeMessage(frame.msg), back).isOk() && back == frame.msg);
      consumed += length;
    }
    if (r == kv::FrameReader::Result::Error) return 0;
  }
  return 0;
}
