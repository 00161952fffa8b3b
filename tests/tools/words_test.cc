// The word-to-field layer in tables: each kind of value at its bounds and
// just past them, wrong keys named, and row values shown for people and for
// scripts. (That every key lands on its field, the black-box console tests
// see against the real daemon.)
#include "tools/words.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <sstream>
#include <string>
#include <vector>

#include "platform/system.h"
#include "tools/readable.h"

namespace mqttctl {
namespace {

// The fields parseAssignments makes of `args`, in their readable form, or
// its failure text.
std::string parsed(const TableWords& table, const std::vector<std::string>& args) {
  kv::message fields;
  kv::Status st = parseAssignments(table, args, fields);
  if (!st.isOk()) return st.message();
  std::ostringstream out;
  writeReadable(out, fields);
  return out.str();
}

TEST(Words, ValuesAtTheirBoundsAndWrongKeysOrValuesNamed) {
  const TableWords& b = brokerWords();
  const TableWords& s = subscriptionWords();
  const struct {
    const TableWords& table;
    std::vector<std::string> args;
    const char* expected;  // the fields, or a part of the failure text
  } cases[] = {
      {b, {"port=1"}, "u32 2 = 1\n"},
      {b, {"port=65535"}, "u32 2 = 65535\n"},
      {b, {"port=0"}, "port=0: expected a port from 1 to 65535"},
      {b, {"port=65536"}, "expected a port from 1 to 65535"},
      {b, {"port=-1"}, "expected a port"},
      {b, {"keep-alive=30", "ssl=OFF"}, "u32 10 = 30\nbool 3 = false\n"},
      {b, {"keep-alive=64800"}, "u32 10 = 64800\n"},
      {b, {"keep-alive=29"}, "keep-alive=29: expected seconds from 30 to 64800"},
      {b, {"keep-alive=64801"}, "expected seconds from 30 to 64800"},
      {b, {"script-limit=0x10"}, "u32 15 = 16\n"},
      {b, {"script-limit=4294967296"}, "expected a number from 0 to 4294967295"},
      {b, {"ssl=maybe"}, "ssl=maybe: expected yes or no"},
      {b, {"certificate=4294967295"}, "expected a certificate name or id, or none"},
      {b, {"certificate="}, "expected a certificate name or id, or none"},
      {b, {"certificate=0x10"}, "string 7 = \"0x10\"\n"},  // a name, for the verb to resolve
      {b, {"certificate=none"}, "u32 7 = 4294967295"},
      {b, {"address=a=b c\\n"}, "string 1 = \"a=b c\\\\n\"\n"},  // taken as written
      {b, {"address"}, "\"address\" is not KEY=VALUE"},
      {b, {"port=1", "port=2"}, "port is given twice"},
      {b, {"connected=yes"}, "unknown key \"connected\""},  // the daemon's to keep
      {b, {"address=ok", "user\x1b=x"}, "unknown key \"user\\x1b\""},
      {s, {"qos=2"}, "u32 13 = 2\n"},
      {s, {"qos=3"}, "qos=3: expected 0, 1 or 2"},
      {s, {"filter=a/b"}, "unknown key \"filter\" (keys: qos, script)"},
  };
  for (const auto& c : cases) {
    EXPECT_PRED_FORMAT2(testing::IsSubstring, c.expected, parsed(c.table, c.args)) << c.args[0];
  }
}

TEST(Words, ValuesAreShownForPeopleAndForScripts) {
  kv::message row;
  row.set(kv::NAME_FIELD, std::string("b\x1b[2J\"1\"", 8));
  row.set(kv::string_id(6), "secret");
  row.set(kv::u32_id(12), 86400 + 3661);
  row.set(kv::string_id(11), std::string("\xff\x00", 2));
  const TableWords& b = brokerWords();
  const TableWords& r = receivedWords();
  const struct {
    const TableWords& table;
    const char* word;
    const char* shown;
    const char* json;  // null: the row lacks the field
  } cases[] = {
      {b, "name", "b\\x1b[2J\"1\"", "\"b\\u001b[2J\\\"1\\\"\""},
      {b, "password", "(set)", "\"secret\""},
      {b, "certificate", "none", nullptr},  // absent: no certificate
      {r, "time", "1970-01-02 01:01:01", "90061"},
      {r, "data", "\\xff\\0", "{\"hex\":\"ff00\"}"},
  };
  for (const auto& c : cases) {
    const Word& word = *findWord(c.table, c.word);
    EXPECT_EQ(showValue(word, row), c.shown) << c.word;
    EXPECT_EQ(rowHas(word, row), c.json != nullptr) << c.word;
    if (!c.json) continue;
    EXPECT_EQ(json::dump(jsonValue(word, row)), c.json) << c.word;
  }
}

}  // namespace
}  // namespace mqttctl
