// The commands to the daemon: what the black-box tests cannot see, the
// flags of publish and subscribe on their fields, and a name that looks
// like an id. (-o, the black-box test of the outbox sees.)
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/system.h"
#include "tools/message_json.h"
#include "tools/run_command.h"

namespace mqttctl {
namespace {

// A request to the daemon's command handler [1], field by field.
struct Req {
  explicit Req(uint32_t command) {
    m.set(kv::PATH_FIELD, std::vector<uint32_t>{1});
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
    same = same && std::find(got.fields().begin(), got.fields().end(), field) != got.fields().end();
  }
  if (same) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << "got " << messageToJson(got) << "\nwant "
                                       << messageToJson(want);
}

TEST(NamedVerbs, FlagsMapToFieldsAndANameComesBeforeAnId) {
  const Req publish = Req(1).u32(5, 0).yes(6, false).yes(7, false).yes(14);
  const struct { std::vector<std::string> args; Req expected; } cases[] = {
      {{"disconnect", "2"}, Req(3).u32(1, 2)},  // by id
      {{"disconnect", "7"}, Req(3).u32(1, 9)},  // broker 9 is named "7"
      {{"received", "clear"}, Req(5)},
      {{"publish", "home", "a/b", "hi"}, Req(publish).u32(1, 7).str(2, "a/b").str(3, "hi")},
      {{"publish", "-q", "2", "-r", "--no-connect", "--disconnect-after", "lab", "t"},
       Req(publish).u32(1, 2).str(2, "t").str(3, "").u32(5, 2).yes(6).yes(7).yes(14, false)},
      {{"subscribe", "--no-connect", "home", "x/+", "-q1"},
       Req(4).u32(11, 7).str(12, "x/+").u32(13, 1).yes(14, false)},
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
