// The typed message and its binary encoding.
#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "platform/message.h"
#include "platform/message_codec.h"
#include "platform/system.h"

namespace kv {
namespace {

std::string unhex(const std::string& text) {
  std::string out;
  for (size_t i = 0; i + 1 < text.size(); i += 2) {
    out.push_back(static_cast<char>(std::stoi(text.substr(i, 2), nullptr, 16)));
  }
  return out;
}

// Fields are keyed by type and number together; setting one again keeps its
// place; an absent one reads as the default given.
TEST(Message, FieldsAreKeyedByTypeAndNumberInInsertionOrder) {
  message m;
  m.set(string_id(11), "b1");
  m.set(u32_id(11), 7);
  m.set(bool_id(3), false);
  m.set(string_id(11), "b2");
  ASSERT_EQ(m.fields().size(), 3u);
  EXPECT_EQ(m.fields()[0].num, 11u);
  EXPECT_EQ(m.get(string_id(11)), "b2");
  EXPECT_EQ(m.get(u32_id(11)), 7u);
  EXPECT_TRUE(m.erase(u32_id(11)));
  EXPECT_FALSE(m.has(u32_id(11)));
  EXPECT_EQ(m.get(string_id(11)), "b2");
  EXPECT_EQ(m.get(u32_id(9), 60), 60u);
  EXPECT_TRUE(m.get(bool_id(9), true));
  EXPECT_EQ(m.get(string_id(9), "dflt"), "dflt");
  EXPECT_TRUE(m.get(u32_array_id(9)).empty());
  EXPECT_EQ(getErrorCode(failedMsg("Broker required")), 0u);
  EXPECT_EQ(getErrorCode(errorMsg(ERR_NOT_SUPPORTED, "")), 0xfe0003u);
  EXPECT_TRUE(isError(errorMsg(ERR_NOT_SUPPORTED, "")));
}

// The encoding is fixed byte for byte: this test runs on the big-endian
// target too, where it proves that both hosts write the same bytes. Every
// prefix of an encoding is refused.
TEST(MessageCodec, BytesAreTheSameOnEveryHostAndDecodeBack) {
  message inner, m;
  inner.set(string_id(1), "msgTopic");
  inner.set(u32_id(2), 1);
  m.set(bool_id(3), true);
  m.set(u32_id(2), 1883);
  m.set(be32_id(4), htonl(0x7f000001));
  m.set(u64_id(5), 0x0102030405060708ull);
  m.set(string_id(11), std::string("a\0b", 3));
  m.set(u32_array_id(0xff0001), {24, 17});
  m.set(string_array_id(6), {"x", ""});
  m.set(message_id(7), inner);
  m.set(message_array_id(1104), {inner, message()});
  const std::string expected = unhex(
      "00000009"
      "0100000003" "01"
      "0200000002" "0000075b"
      "0300000004" "7f000001"
      "0400000005" "0102030405060708"
      "050000000b" "00000003" "610062"
      "0600ff0001" "00000002" "00000018" "00000011"
      "0700000006" "00000002" "00000001" "78" "00000000"
      "0800000007" "00000002" "0500000001" "00000008" "6d7367546f706963"
                   "0200000002" "00000001"
      "0900000450" "00000002"
          "00000002" "0500000001" "00000008" "6d7367546f706963" "0200000002" "00000001"
          "00000000");
  EXPECT_EQ(encodeMessage(m), expected);
  EXPECT_EQ(encodedSize(m), expected.size());
  message back;
  ASSERT_TRUE(decodeMessage(expected, back).isOk());
  EXPECT_EQ(back, m);
  for (size_t n = 0; n < expected.size(); ++n) {
    message out;
    EXPECT_FALSE(decodeMessage(expected.data(), n, out).isOk()) << "prefix of " << n << " bytes";
    EXPECT_TRUE(out.empty());
  }
}

TEST(MessageCodec, MalformedInputIsRefusedWithAReason) {
  message deep;
  for (int i = 0; i <= MAX_MESSAGE_DEPTH; ++i) {
    message outer;
    outer.set(message_id(1), deep);
    deep = outer;
  }
  const struct {
    std::string bytes;
    const char* why;
  } cases[] = {
      {unhex("0000000101000000000000"), "trailing bytes"},
      {unhex("000000010a0000000100"), "unknown field type"},
      {unhex("000000010100000001" "02"), "bool value"},
      {unhex("00000001" "0500000001" "ffffffff"), "string length exceeds the input"},
      {unhex("00000001" "0600000001" "40000000"), "u32 array exceeds the input"},
      {unhex("00000001" "0900000001" "7fffffff"), "message array exceeds the input"},
      {unhex("7fffffff"), "field count"},
      {encodeMessage(deep), "nested too deep"},
  };
  for (const auto& c : cases) {
    message out;
    Status st = decodeMessage(c.bytes, out);
    EXPECT_EQ(st.kind(), Status::Kind::Malformed) << c.why;
    EXPECT_NE(st.message().find(c.why), std::string::npos) << c.why << ": " << st.message();
  }
  message out;
  EXPECT_EQ(decodeMessage(std::string(MAX_ENCODED_MESSAGE + 1, '\0'), out).kind(),
            Status::Kind::TooLarge);
}

// The same number under two types is two fields; the same type and number
// twice is refused, whatever the number and however many fields there are.
TEST(MessageCodec, AFieldThatAppearsTwiceIsRefused) {
  using Fields = std::vector<std::pair<FieldType, uint32_t>>;
  auto many = [](uint32_t last) {  // u32 fields 100..119, then u32 `last`
    Fields f;
    for (uint32_t n = 100; n < 120; ++n) f.push_back({FieldType::U32, n});
    f.push_back({FieldType::U32, last});
    return f;
  };
  const FieldType U32 = FieldType::U32, BOOL = FieldType::Bool, U64 = FieldType::U64;
  const struct {
    Fields fields;
    bool repeated;
  } cases[] = {
      {{{U32, 1}, {BOOL, 1}, {U64, 1}}, false},
      {{{U32, 0}, {U32, 63}, {U32, 0}}, true},
      {{{BOOL, 63}, {BOOL, 62}, {BOOL, 63}}, true},
      {{{U32, 63}, {U32, 64}, {U32, 127}}, false},  // 63, 127 share one
      {{{U32, 64}, {U32, 1}, {U32, 64}}, true},
      {{{U32, 0xffffffff}, {U64, 0xffffffff}}, false},
      {{{U32, 0xffffffff}, {U32, 5}, {U32, 0xffffffff}}, true},
      {many(99), false},
      {many(164), false},  // 164 and 100 share a bit
      {many(119), true},
      {many(100), true},
  };
  for (const auto& c : cases) {
    std::string bytes(4, '\0');
    bytes[3] = static_cast<char>(c.fields.size());
    for (const auto& f : c.fields) {
      const uint32_t num = htonl(f.second);
      bytes += static_cast<char>(f.first);
      bytes.append(reinterpret_cast<const char*>(&num), 4);
      bytes.append(f.first == BOOL ? 1 : f.first == U64 ? 8 : 4, '\0');
    }
    message out;
    const Status st = decodeMessage(bytes, out);
    EXPECT_EQ(!st.isOk(), c.repeated) << c.fields.size() << " fields, last " << c.fields.back().second;
    EXPECT_EQ(st.message().find("appears twice") != std::string::npos, c.repeated);
    EXPECT_EQ(out.size(), c.repeated ? 0u : c.fields.size());
  }
}

}  // namespace
}  // namespace kv
