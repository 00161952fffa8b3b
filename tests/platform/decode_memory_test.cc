// The decoder's memory under hostile input, measured by counting every
// heap allocation of this test binary: a decoded message holds at most
// DECODED_BYTES_PER_BYTE times the input's bytes (docs/message-encoding.md),
// whatever its elements and however deep they lie, and refused input costs
// next to nothing, however much its counts claim.
#include <gtest/gtest.h>
#include <malloc.h>

#include <atomic>
#include <cstdlib>
#include <new>
#include <string>

#include "platform/message_codec.h"
#include "support/hostile_messages.h"

namespace {

// Heap bytes held, by the allocator's usable size (its rounding included),
// and their peak since the last reset.
std::atomic<size_t> liveBytes{0}, peakBytes{0};

void* countedAlloc(size_t n) {
  void* p = std::malloc(n == 0 ? 1 : n);
  if (!p) throw std::bad_alloc();
  const size_t now = liveBytes += malloc_usable_size(p);
  size_t peak = peakBytes.load();
  while (now > peak && !peakBytes.compare_exchange_weak(peak, now)) {
  }
  return p;
}

void countedFree(void* p) {
  if (p) liveBytes -= malloc_usable_size(p);
  std::free(p);
}

}  // namespace

void* operator new(size_t n) { return countedAlloc(n); }
void* operator new[](size_t n) { return countedAlloc(n); }
void operator delete(void* p) noexcept { countedFree(p); }
void operator delete[](void* p) noexcept { countedFree(p); }
void operator delete(void* p, size_t) noexcept { countedFree(p); }
void operator delete[](void* p, size_t) noexcept { countedFree(p); }

namespace kv {
namespace {

constexpr size_t INPUT_BYTES = 256 * 1024;
constexpr size_t SLACK_BYTES = 1024;

// The peak of heap bytes held while decoding `bytes`, above what was held
// before.
size_t peakOfDecoding(const std::string& bytes, Status& result) {
  message out;
  const size_t base = liveBytes.load();
  peakBytes = base;
  result = decodeMessage(bytes, out);
  return peakBytes.load() - base;
}

TEST(DecodeMemory, ADecodedMessageIsAFixedMultipleOfItsInput) {
  for (hostile::Element e : hostile::ALL_ELEMENTS) {
    // The deepest level at which a bulk still decodes: its elements, and
    // what they nest, stay within MAX_MESSAGE_DEPTH.
    const bool nestsMessages =
        e == hostile::Element::EmptyMessage || e == hostile::Element::MessageOfOneBool;
    for (int depth : {0, 1, nestsMessages ? MAX_MESSAGE_DEPTH - 1 : MAX_MESSAGE_DEPTH}) {
      const std::string bytes = hostile::worstMessage(e, depth, INPUT_BYTES);
      Status st;
      const size_t peak = peakOfDecoding(bytes, st);
      SCOPED_TRACE(std::string(hostile::elementName(e)) + " at depth " + std::to_string(depth));
      ASSERT_TRUE(st.isOk()) << st.message();
      EXPECT_LE(peak, DECODED_BYTES_PER_BYTE * bytes.size() + SLACK_BYTES);
      EXPECT_GE(peak, bytes.size());  // the bulk really was built
    }
  }
}

TEST(DecodeMemory, RefusedInputCostsNextToNothing) {
  for (int levels : {1, MAX_MESSAGE_DEPTH, MAX_MESSAGE_DEPTH + 1}) {
    Status st;
    const size_t peak = peakOfDecoding(hostile::claimingMessage(levels, INPUT_BYTES), st);
    EXPECT_FALSE(st.isOk()) << levels;
    EXPECT_LE(peak, SLACK_BYTES) << levels << " levels: " << st.message();
  }
}

}  // namespace
}  // namespace kv
