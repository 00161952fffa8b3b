// The decoder's memory under hostile input, measured by counting every
// heap allocation: a decoded message holds at most DECODED_BYTES_PER_BYTE
// times the input's bytes (docs/message-encoding.md), whatever its
// elements and however deep they lie, and refused input costs next to
// nothing, however much its counts claim.
#define COUNTING_ALLOCATOR_DEFINE
#include "support/counting_allocator.h"

#include <gtest/gtest.h>

#include <string>

#include "platform/message_codec.h"
#include "support/hostile_messages.h"

namespace kv {
namespace {

constexpr size_t INPUT_BYTES = 256 * 1024;
constexpr size_t SLACK_BYTES = 1024;

size_t peakOfDecoding(const std::string& bytes, Status& result) {
  message out;
  counting::PeakScope scope;
  result = decodeMessage(bytes, out);
  return scope.peakAbove();
}

// The deepest level at which a bulk of `e` still decodes: its elements,
// and what they nest, must stay within MAX_MESSAGE_DEPTH.
int deepestBulk(hostile::Element e) {
  const bool nestsMessages =
      e == hostile::Element::EmptyMessage || e == hostile::Element::MessageOfOneBool;
  return nestsMessages ? MAX_MESSAGE_DEPTH - 1 : MAX_MESSAGE_DEPTH;
}

TEST(DecodeMemory, ADecodedMessageIsAFixedMultipleOfItsInput) {
  for (hostile::Element e : hostile::ALL_ELEMENTS) {
    for (int depth : {0, 1, deepestBulk(e)}) {
      const std::string bytes = hostile::worstMessage(e, depth, INPUT_BYTES);
      Status st;
      const size_t peak = peakOfDecoding(bytes, st);
      SCOPED_TRACE(std::string(hostile::elementName(e)) + " at depth " + std::to_string(depth));
      ASSERT_TRUE(st.isOk()) << st.message();
      EXPECT_LE(peak, DECODED_BYTES_PER_BYTE * bytes.size() + SLACK_BYTES);
      // The bulk really was built: the measure is not of an early refusal.
      EXPECT_GE(peak, bytes.size());
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
  // Well formed but for one repeated field at the very end: refused.
  std::string bytes = hostile::bulkMessage(hostile::Element::BoolField, 1000);
  bytes[4 + 999 * 6 + 3] = 0;  // the last field's number, 999, becomes 0,
  bytes[4 + 999 * 6 + 4] = 0;  // the first field's
  message out;
  Status st = decodeMessage(bytes, out);
  EXPECT_NE(st.message().find("appears twice"), std::string::npos) << st.message();
  EXPECT_TRUE(out.empty());
}

}  // namespace
}  // namespace kv
