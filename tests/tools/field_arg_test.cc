// Typed fields written on the command line: TYPE:NUMBER=VALUE.
#include "tools/field_arg.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/system.h"

namespace mqttctl {
namespace {

// Builds a message from field arguments; fails the test on a parse error.
kv::message fields(const std::vector<std::string>& args) {
  kv::message m;
  for (const std::string& arg : args) {
    kv::detail::Field f{kv::FieldType::Bool, 0, kv::detail::Value()};
    kv::Status st = parseFieldArg(arg, f);
    EXPECT_TRUE(st.isOk()) << arg << ": " << st.message();
    if (st.isOk()) putField(m, std::move(f));
  }
  return m;
}

std::string errorOf(const std::string& arg) {
  kv::detail::Field f{kv::FieldType::Bool, 0, kv::detail::Value()};
  kv::Status st = parseFieldArg(arg, f);
  return st.isOk() ? "(accepted)" : st.message();
}

TEST(FieldArgs, EveryTypeSetsTheFieldItNames) {
  kv::message m = fields({"bool:1=true", "bool:2=0", "u32:3=0x75b", "be32:4=10.0.0.1",
                          "u64:5=18446744073709551615", "string:6=k=v:w,x", "u32a:7=1,2,0x10",
                          "stringa:8=[\"a\",{\"hex\":\"ff00\"}]",
                          "msg:9=[{\"type\":\"u32\",\"num\":1,\"value\":2}]",
                          "msga:10=[[],[{\"type\":\"bool\",\"num\":1,\"value\":true}]]",
                          "u32a:11=", "string:name=b1", "u32:object-id=3"});
  EXPECT_TRUE(m.get(kv::bool_id(1)));
  EXPECT_TRUE(m.has(kv::bool_id(2)));
  EXPECT_FALSE(m.get(kv::bool_id(2), true));
  EXPECT_EQ(m.get(kv::u32_id(3)), 1883u);
  EXPECT_EQ(m.get(kv::be32_id(4)), htonl(0x0a000001));
  EXPECT_EQ(m.get(kv::u64_id(5)), UINT64_MAX);
  EXPECT_EQ(m.get(kv::string_id(6)), "k=v:w,x");  // separators in a value
  EXPECT_EQ(m.get(kv::u32_array_id(7)), (std::vector<uint32_t>{1, 2, 16}));
  EXPECT_EQ(m.get(kv::string_array_id(8)),
            (std::vector<std::string>{"a", std::string("\xff\0", 2)}));
  EXPECT_EQ(m.get(kv::message_id(9)).get(kv::u32_id(1)), 2u);
  std::vector<kv::message> many = m.get(kv::message_array_id(10));
  ASSERT_EQ(many.size(), 2u);
  EXPECT_TRUE(many[0].empty());
  EXPECT_TRUE(many[1].get(kv::bool_id(1)));
  EXPECT_TRUE(m.has(kv::u32_array_id(11)));
  EXPECT_TRUE(m.get(kv::u32_array_id(11)).empty());
  EXPECT_EQ(m.get(kv::NAME_FIELD), "b1");  // system fields by name
  EXPECT_EQ(m.get(kv::OBJECT_ID_FIELD), 3u);
  EXPECT_EQ(m.size(), 13u);
}

TEST(FieldArgs, MalformedArgumentsSayWhatIsWrong) {
  struct Case {
    const char* arg;
    const char* expected;
  } cases[] = {
      {"u32", "TYPE:NUMBER=VALUE"},
      {"u32=1:2", "TYPE:NUMBER=VALUE"},
      {"int:1=2", "unknown field type \"int\""},
      {"u32:=2", "neither a field number"},
      {"u32:1=", "empty"},
      {"u32:1=4294967296", "larger than 4294967295"},
      {"bool:1=yes", "not a bool"},
      {"be32:1=1.2.3", "not a dotted IPv4"},
      {"string:1=\\q", "unknown escape"},
      {"u32a:1=1,,2", "element 1"},
      {"u32a:1=1,2,", "ends with ','"},
      {"stringa:1=[1]", "element 0"},
      {"msg:1={}", "expected a message"},
      {"msga:1=[{}]", "element 0"},
      {"u32:name=1", "neither a field number nor the name"},  // "name" is a string field
  };
  for (const Case& c : cases) {
    std::string error = errorOf(c.arg);
    EXPECT_NE(error.find(c.expected), std::string::npos) << c.arg << " -> " << error;
  }
}

}  // namespace
}  // namespace mqttctl
