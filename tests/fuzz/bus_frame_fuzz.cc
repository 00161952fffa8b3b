// Fuzz target: arbitrary bytes as what a bus peer sends.
//
// The bytes go through the frame reader in chunks of varying size (the
// first byte picks the chunk size), as a socket would hand them over. Every
// frame that decodes must encode back to the same bytes; a message that
// decodes must re-decode to an equal message, and decoding must hold no
// more heap than the documented multiple of its input
// (kv::DECODED_BYTES_PER_BYTE, counted through the sanitizer's allocation
// hooks). A broken invariant traps.
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

// Heap bytes requested and not yet freed, and their peak, since reset().
struct HeapCount {
  int64_t live = 0;
  int64_t peak = 0;
  void reset() { live = peak = 0; }
};
HeapCount heap;

void onMalloc(const volatile void*, size_t size) {
  heap.live += static_cast<int64_t>(size);
  if (heap.live > heap.peak) heap.peak = heap.live;
}

void onFree(const volatile void* ptr) {
  heap.live -= static_cast<int64_t>(__sanitizer_get_allocated_size(const_cast<const void*>(ptr)));
}

void decodeWithinBound(const uint8_t* data, size_t size) {
  kv::message whole;
  heap.reset();
  const bool ok = kv::decodeMessage(data, size, whole).isOk();
  const int64_t bound = static_cast<int64_t>(kv::DECODED_BYTES_PER_BYTE * size + 1024);
  require(heap.peak <= bound);
  if (ok) {
    require(kv::encodeMessage(whole) == std::string(reinterpret_cast<const char*>(data), size));
  }
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

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  __sanitizer_install_malloc_and_free_hooks(onMalloc, onFree);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const size_t chunk = 1 + data[0] % 64;
  ++data;
  --size;

  // The whole input as one message, outside any frame.
  decodeWithinBound(data, size);

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
