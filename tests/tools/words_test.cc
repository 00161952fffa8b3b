// The word-to-field layer: each key of each table to its field, each kind
// of value with its bounds, and how row values are shown.
#include "tools/words.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/system.h"
#include "tools/topic_filter.h"

namespace mqttctl {
namespace {

// The fields that parseAssignments makes of `args`, or the failure text.
struct Parsed {
  kv::message fields;
  std::string error;
};

Parsed parse(const TableWords& table, const std::vector<std::string>& args) {
  Parsed p;
  kv::Status st = parseAssignments(table, args, p.fields);
  if (!st.isOk()) p.error = st.message();
  return p;
}

kv::message one(kv::string_id id, const std::string& v) {
  kv::message m;
  m.set(id, v);
  return m;
}
kv::message one(kv::u32_id id, uint32_t v) {
  kv::message m;
  m.set(id, v);
  return m;
}
kv::message one(kv::bool_id id, bool v) {
  kv::message m;
  m.set(id, v);
  return m;
}

TEST(Words, EachKeyMapsToItsFieldAndEachKindHasItsValues) {
  const TableWords& b = brokerWords();
  const TableWords& s = subscriptionWords();
  const struct { const TableWords& table; const char* arg; kv::message expected; } cases[] = {
      {b, "name=b2", one(kv::NAME_FIELD, "b2")},
      {b, "address=10.0.0.1", one(kv::string_id(1), "10.0.0.1")},
      {b, "address=a=b c\\n", one(kv::string_id(1), "a=b c\\n")},  // as written
      {b, "port=8883", one(kv::u32_id(2), 8883)},
      {b, "port=1", one(kv::u32_id(2), 1)},
      {b, "port=65535", one(kv::u32_id(2), 65535)},
      {b, "ssl=yes", one(kv::bool_id(3), true)},
      {b, "ssl=OFF", one(kv::bool_id(3), false)},
      {b, "client-id=router-1", one(kv::string_id(4), "router-1")},
      {b, "user=", one(kv::string_id(5), "")},  // clears it
      {b, "password=p@ss word", one(kv::string_id(6), "p@ss word")},
      {b, "certificate=4", one(kv::u32_id(7), 4)},
      {b, "certificate=none", one(kv::u32_id(7), 0xFFFFFFFF)},
      {b, "auto-connect=true", one(kv::bool_id(9), true)},
      {b, "keep-alive=30", one(kv::u32_id(10), 30)},
      {b, "keep-alive=64800", one(kv::u32_id(10), 64800)},
      {b, "script-limit=0x10", one(kv::u32_id(15), 16)},
      {s, "qos=2", one(kv::u32_id(13), 2)},
      {s, "script=log(msgTopic)", one(kv::string_id(11), "log(msgTopic)")},
  };
  for (const auto& c : cases) {
    Parsed p = parse(c.table, {c.arg});
    EXPECT_EQ(p.error, "") << c.arg;
    EXPECT_EQ(p.fields, c.expected) << c.arg;
  }
}

TEST(Words, AWrongKeyOrValueIsNamed) {
  const TableWords& b = brokerWords();
  const TableWords& s = subscriptionWords();
  const struct {
    const TableWords& table;
    std::vector<std::string> args;
    const char* error;
  } cases[] = {
      {b, {"colour=red"}, "unknown key \"colour\" (keys: name, address, port, ssl, auto-connect,"},
      {b, {"connected=yes"}, "unknown key \"connected\""},  // the daemon's to keep
      {b, {"id=3"}, "unknown key \"id\""},
      {b, {"address"}, "\"address\" is not KEY=VALUE"},
      {b, {"port=1", "port=2"}, "port is given twice"},
      {b, {"port=0"}, "port=0: expected a port from 1 to 65535"},
      {b, {"port=65536"}, "expected a port from 1 to 65535"},
      {b, {"port=-1"}, "expected a port"},
      {b, {"keep-alive=29"}, "keep-alive=29: expected seconds from 30 to 64800"},
      {b, {"keep-alive=64801"}, "expected seconds from 30 to 64800"},
      {b, {"ssl=maybe"}, "ssl=maybe: expected yes or no"},
      {b, {"certificate=0xffffffff"}, "expected a certificate id, or none"},
      {b, {"script-limit=4294967296"}, "expected a number from 0 to 4294967295"},
      {b, {"address=ok", "user\x1b=x"}, "unknown key \"user\\x1b\""},
      {s, {"qos=3"}, "qos=3: expected 0, 1 or 2"},
      {s, {"filter=a/b"}, "unknown key \"filter\" (keys: qos, script)"},
      {s, {"broker=b1"}, "unknown key \"broker\""},
  };
  for (const auto& c : cases) {
    EXPECT_PRED_FORMAT2(testing::IsSubstring, c.error, parse(c.table, c.args).error);
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
    std::string json;
    writeJsonValue(json, word, row);
    EXPECT_EQ(json, c.json) << c.word;
  }
}

TEST(TopicFilter, MatchesAsABrokerDoes) {
  const struct { const char* filter; const char* topic; bool matches; } cases[] = {
      {"a/b", "a/b", true},      {"a/b", "a/B", false},    {"a/+", "a/b", true},
      {"a/+", "a", false},       {"a/+", "a/b/c", false},  {"a/+/c", "a//c", true},
      {"a/#", "a", true},        {"a/#", "a/b/c", true},   {"a/#", "ab", false},
      {"#", "x/y", true},        {"#", "$SYS/x", false},   {"+/x", "$SYS/x", false},
      {"$SYS/#", "$SYS/x", true}, {"+/+", "/x", true},
  };
  for (const auto& c : cases) {
    ASSERT_TRUE(checkTopicFilter(c.filter).isOk()) << c.filter;
    EXPECT_EQ(topicFilterMatches(c.filter, c.topic), c.matches) << c.filter << " " << c.topic;
  }
  for (const char* bad : {"", "a/#/b", "a#", "a/b+", "#/"}) {
    EXPECT_FALSE(checkTopicFilter(bad).isOk()) << bad;
  }
}

}  // namespace
}  // namespace mqttctl
