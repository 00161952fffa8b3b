// The strict JSON reader and the JSON form of messages.
#include "tools/json.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <string>
#include <vector>

#include "platform/message_codec.h"
#include "platform/system.h"
#include "tools/message_json.h"

namespace mqttctl {
namespace {

// ---- The reader --------------------------------------------------------------------

TEST(JsonReader, AcceptsStandardJsonWithNulInStrings) {
  json::Json v;
  ASSERT_TRUE(
      json::parse(" {\"a\": [1, -2.5e3, true, false, null, \"x\\u00e9\\ud83d\\ude00\"]}\n", v)
          .isOk());
  ASSERT_TRUE(v.is_object() && v.contains("a"));
  const json::Json& a = v["a"];
  ASSERT_EQ(a.size(), 6u);
  EXPECT_EQ(a[1].get<double>(), -2500.0);
  EXPECT_EQ(a[5].get<std::string>(), "x\xc3\xa9\xf0\x9f\x98\x80");
  ASSERT_TRUE(json::parse("\"a\\u0000b\\\"\\\\\\/\\b\\f\\n\\r\\t\"", v).isOk());
  EXPECT_EQ(v.get<std::string>(), std::string("a\0b\"\\/\b\f\n\r\t", 11));
}

TEST(JsonReader, RefusesAnythingNotStrictlyJsonAndSaysWhere) {
  // The library's grammar is its own to test; these are what the reader
  // sets up: strict to the end, no comments, unique keys, checked text.
  const char* bad[] = {"", "[1] [2]", "[1]x", "/*c*/1", "{\"a\":1,\"a\":2}", "\"\\ud800\"",
                       "\"\xff\""};
  json::Json v;
  for (const char* text : bad) EXPECT_FALSE(json::parse(text, v).isOk()) << text;
  struct {
    const char* text;
    const char* message;
  } where[] = {
      {"[1, 2,]",
       "JSON at byte 6: syntax error while parsing value - unexpected ']'; expected '[', '{', "
       "or a literal"},
      {"{\"a\":1,\"a\":2}", "JSON at byte 9: the key \"a\" appears twice"},
      // The input the library would quote is left out: it may be any bytes.
      {"[\"ab\xff\"]", "JSON at byte 4: syntax error while parsing value - invalid string: "
                        "ill-formed UTF-8 byte"},
  };
  for (const auto& w : where) EXPECT_EQ(json::parse(w.text, v).message(), w.message);
}

TEST(JsonReader, InputSizeDepthAndValueCountAreBounded) {
  json::Json v;
  std::string deep(json::MAX_DEPTH, '[');
  deep += std::string(json::MAX_DEPTH, ']');
  EXPECT_TRUE(json::parse(deep, v).isOk());
  std::string tooDeep = "[" + deep + "]";
  EXPECT_NE(json::parse(tooDeep, v).message().find("nested deeper"), std::string::npos);
  // Far deeper than any stack could recurse: refused at the limit.
  EXPECT_FALSE(json::parse(std::string(100000, '['), v).isOk());
  std::string big = "\"" + std::string(json::MAX_INPUT_BYTES, 'a') + "\"";
  EXPECT_EQ(json::parse(big, v).kind(), kv::Status::Kind::TooLarge);
  std::string many = "[0";
  for (size_t i = 0; i + 2 < json::MAX_VALUES; ++i) many += ",0";
  EXPECT_TRUE(json::parse(many + "]", v).isOk());  // the array and its elements: the limit
  EXPECT_NE(json::parse(many + ",0]", v).message().find("values"), std::string::npos);
}

// ---- Messages ----------------------------------------------------------------------

kv::message everyType() {
  kv::message inner;
  inner.set(kv::string_id(1), "topic");
  kv::message deeper;
  deeper.set(kv::message_id(2), inner);
  kv::message m;
  m.set(kv::u32_id(2), 1883);
  m.set(kv::bool_id(3), true);
  m.set(kv::be32_id(4), htonl(0xc0a80101));
  m.set(kv::u64_id(5), UINT64_MAX);
  m.set(kv::NAME_FIELD, "broker1");
  m.set(kv::string_id(6), std::string("nul\0and \xff\xfe", 10));
  m.set(kv::string_id(7), std::string("ctl\0\x01\b\f\n\x1f\x7f\"\\", 12));
  m.set(kv::u32_array_id(8), {1, 0xffffffff});
  m.set(kv::string_array_id(9), {"", "caf\xc3\xa9", std::string("\x80", 1)});
  m.set(kv::message_id(10), deeper);
  m.set(kv::message_array_id(11), {inner, kv::message(), deeper});
  m.set(kv::u32_array_id(12), {});
  return m;
}

TEST(MessageJson, DocumentedShapeOfEachValueAndEveryTypeRoundTripsInOrder) {
  const kv::message m = everyType();
  const std::string text = messageToJson(m);
  for (const char* part :
       {"{\"type\":\"bool\",\"num\":3,\"value\":true}",
        "{\"type\":\"be32\",\"num\":4,\"value\":\"192.168.1.1\"}",
        "{\"type\":\"u64\",\"num\":5,\"value\":18446744073709551615}",
        "{\"type\":\"string\",\"num\":6,\"hex\":\"6e756c00616e6420fffe\"}",
        "{\"type\":\"string\",\"num\":7,"
        "\"value\":\"ctl\\u0000\\u0001\\u0008\\u000c\\n\\u001f\\u007f\\\"\\\\\"}",
        "{\"type\":\"u32a\",\"num\":8,\"value\":[1,4294967295]}",
        "{\"type\":\"stringa\",\"num\":9,\"value\":[\"\",\"caf\xc3\xa9\",{\"hex\":\"80\"}]}",
        "{\"type\":\"msg\",\"num\":10,\"value\":[{\"type\":\"msg\",\"num\":2,\"value\":"
        "[{\"type\":\"string\",\"num\":1,\"value\":\"topic\"}]}]}",
        "{\"type\":\"msga\",\"num\":11,\"value\":[[{\"type\":\"string\",\"num\":1,",
        "{\"type\":\"u32a\",\"num\":12,\"value\":[]}]"}) {
    EXPECT_NE(text.find(part), std::string::npos) << part << "\nin " << text;
  }
  EXPECT_EQ(messageToJson(kv::message()), "[]");
  kv::message back;
  kv::Status st = messageFromJson(text, back);
  ASSERT_TRUE(st.isOk()) << st.message() << "\n" << text;
  EXPECT_EQ(back, m);  // equality includes field order
}

TEST(MessageJson, MalformedMessagesNameTheFieldAndVariantsAreAccepted) {
  struct Case {
    const char* json;
    const char* expected;
  } cases[] = {
      {"{}", "expected a message"},
      {"[1]", "field 0: expected a field object"},
      {"[{\"type\":\"u32\",\"num\":1}]", "exactly one of"},
      {"[{\"type\":\"u32\",\"num\":1,\"value\":1,\"name\":\"x\"}]", "unknown key \"name\""},
      {"[{\"type\":\"u16\",\"num\":1,\"value\":1}]", "unknown field type \"u16\""},
      {"[{\"type\":\"u32\",\"num\":4294967296,\"value\":1}]", "\"num\""},
      {"[{\"type\":\"u32\",\"num\":1,\"value\":4294967296}]",
       "field 0: u32 1: expected an integer"},
      {"[{\"type\":\"u32\",\"num\":1,\"value\":\"1\"}]", "got a string"},
      {"[{\"type\":\"bool\",\"num\":1,\"value\":1}]", "true or false"},
      {"[{\"type\":\"be32\",\"num\":1,\"value\":3232235777}]", "dotted IPv4"},
      {"[{\"type\":\"u32\",\"num\":1,\"hex\":\"00\"}]", "for string fields only"},
      {"[{\"type\":\"string\",\"num\":1,\"hex\":\"0\"}]", "odd number"},
      {"[{\"type\":\"stringa\",\"num\":1,\"value\":[\"a\",{\"hex\":\"00\",\"x\":1}]}]",
       "element 1"},
      {"[{\"type\":\"u32\",\"num\":1,\"value\":1},{\"type\":\"u32\",\"num\":1,\"value\":2}]",
       "field 1: u32 1 appears twice"},
      {"[{\"type\":\"msg\",\"num\":9,\"value\":[{\"type\":\"u32\",\"num\":1,\"value\":true}]}]",
       "field 0: msg 9: field 0: u32 1:"},
  };
  for (const Case& c : cases) {
    kv::message m;
    kv::Status st = messageFromJson(c.json, m);
    EXPECT_NE(st.message().find(c.expected), std::string::npos) << c.json << " -> " << st.message();
  }
  // Keys come in any order, bytes may be given as hex, and the same number
  // with another type is another field.
  kv::message m;
  ASSERT_TRUE(messageFromJson("[{\"value\":5,\"num\":1,\"type\":\"u32\"},"
                              "{\"type\":\"string\",\"num\":1,\"hex\":\"00FF\"}]",
                              m)
                  .isOk());
  EXPECT_EQ(m.get(kv::u32_id(1)), 5u);
  EXPECT_EQ(m.get(kv::string_id(1)), std::string("\0\xff", 2));
}

// [{"type":"msg","num":1,"value":[ ... ]}] nested `levels` deep.
std::string nested(int levels) {
  std::string text = "[]";
  for (int i = 0; i < levels; ++i) text = "[{\"type\":\"msg\",\"num\":1,\"value\":" + text + "}]";
  return text;
}

TEST(MessageJson, NestingStopsWhereTheBinaryDecoderStops) {
  kv::message m;
  ASSERT_TRUE(messageFromJson(nested(kv::MAX_MESSAGE_DEPTH), m).isOk());
  kv::message decoded;
  EXPECT_TRUE(kv::decodeMessage(kv::encodeMessage(m), decoded).isOk());
  kv::Status st = messageFromJson(nested(kv::MAX_MESSAGE_DEPTH + 1), m);
  EXPECT_NE(st.message().find("nested deeper"), std::string::npos) << st.message();
}

}  // namespace
}  // namespace mqttctl
