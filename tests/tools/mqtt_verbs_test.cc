// The commands to the daemon against a scripted one: the request each
// command line makes once the broker's name is resolved.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/system.h"
#include "tools/message_json.h"
#include "tools/run_command.h"

namespace mqttctl {
namespace {

kv::message broker(uint32_t id, const std::string& name) {
  kv::message m;
  m.set(kv::OBJECT_ID_FIELD, id);
  m.set(kv::NAME_FIELD, name);
  return m;
}

// Brokers 2 "lab", 7 "home" and 9 "7" (a name that is also an id).
// Get-all answers with every row; anything else succeeds.
ScriptedRequester fakeDaemon() {
  ScriptedRequester fake;
  fake.answer = [](const kv::message& request) {
    const std::vector<uint32_t> path = request.get(kv::PATH_FIELD);
    kv::message reply;
    if (request.get(kv::COMMAND_FIELD) == kv::CMD_GET_ALL && path == std::vector<uint32_t>{2}) {
      reply.set(kv::ROWS_FIELD, std::vector<kv::message>{broker(2, "lab"), broker(7, "home"),
                                                         broker(9, "7")});
    }
    return CallResult{true, reply, ""};
  };
  return fake;
}

// A request, field by field.
struct Req {
  Req(std::vector<uint32_t> path, uint32_t command) {
    m.set(kv::PATH_FIELD, std::move(path));
    m.set(kv::COMMAND_FIELD, command);
  }
  Req& u32(uint32_t num, uint32_t v) { return m.set(kv::u32_id(num), v), *this; }
  Req& str(uint32_t num, const std::string& v) { return m.set(kv::string_id(num), v), *this; }
  Req& yes(uint32_t num, bool v = true) { return m.set(kv::bool_id(num), v), *this; }
  kv::message m;
};

// The same fields with the same values, in any order.
::testing::AssertionResult sameFields(const kv::message& got, const kv::message& want) {
  bool same = got.size() == want.size();
  for (const auto& field : want.fields()) {
    bool found = false;
    for (const auto& g : got.fields()) found = found || g == field;
    same = same && found;
  }
  if (same) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << "got " << messageToJson(got) << "\nwant "
                                       << messageToJson(want);
}

// The black-box tests see the tables' verbs land on the right fields; here,
// what they cannot see: every flag of publish and subscribe on its field,
// and a name that looks like an id.
TEST(NamedVerbs, FlagsMapToFieldsAndANameComesBeforeAnId) {
  const Req publish = Req({1}, 1).u32(5, 0).yes(6, false).yes(7, false).yes(14);
  const struct { std::vector<std::string> args; Req expected; } cases[] = {
      {{"disconnect", "2"}, Req({1}, 3).u32(1, 2)},  // by id
      {{"disconnect", "7"}, Req({1}, 3).u32(1, 9)},  // broker 9 is named "7"
      {{"received", "clear"}, Req({1}, 5)},
      {{"publish", "home", "a/b", "hi"}, Req(publish).u32(1, 7).str(2, "a/b").str(3, "hi")},
      {{"publish", "-q", "2", "-r", "--no-connect", "--disconnect-after", "lab", "t"},
       Req(publish).u32(1, 2).str(2, "t").str(3, "").u32(5, 2).yes(6).yes(7).yes(14, false)},
      {{"subscribe", "--no-connect", "home", "x/+", "-q1"},
       Req({1}, 4).u32(11, 7).str(12, "x/+").u32(13, 1).yes(14, false)},
  };
  for (const auto& c : cases) {
    ScriptedRequester fake = fakeDaemon();
    Ran r = runCommand(c.args, fake);
    EXPECT_EQ(r.status, EXIT_SUCCESS_REPLY) << r.err;
    EXPECT_EQ(r.out, "");  // a change that worked prints nothing
    EXPECT_TRUE(sameFields(fake.requests.back(), c.expected.m)) << c.args[0] << " " << c.args[1];
  }
}

}  // namespace
}  // namespace mqttctl
