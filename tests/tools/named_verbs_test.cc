// The named verbs against a scripted daemon: which requests each command
// line makes, names resolved to object ids, and what is printed.
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
  m.set(kv::string_id(1), "10.0.0." + std::to_string(id));
  m.set(kv::u32_id(2), 1883);
  m.set(kv::bool_id(3), false);
  m.set(kv::bool_id(9), false);
  m.set(kv::bool_id(8), id == 7);
  return m;
}

kv::message subscription(uint32_t id, uint32_t brokerId, const std::string& filter) {
  kv::message m;
  m.set(kv::OBJECT_ID_FIELD, id);
  m.set(kv::u32_id(11), brokerId);
  m.set(kv::string_id(12), filter);
  m.set(kv::u32_id(13), 1);
  m.set(kv::string_id(11), "");
  return m;
}

// Brokers 7 "home" and 9 "9" (a name that is also a number), broker 2
// "lab"; subscriptions of home and lab. Get-all answers with every row;
// anything else succeeds (add with object id 12).
ScriptedRequester fakeDaemon() {
  ScriptedRequester fake;
  fake.answer = [](const kv::message& request) {
    const std::vector<uint32_t> path = request.get(kv::PATH_FIELD);
    kv::message reply;
    if (request.get(kv::COMMAND_FIELD) == kv::CMD_GET_ALL) {
      std::vector<kv::message> rows;
      if (path == std::vector<uint32_t>{2}) rows = {broker(2, "lab"), broker(7, "home"), broker(9, "7")};
      if (path == std::vector<uint32_t>{3}) rows = {subscription(4, 2, "a/#"), subscription(5, 7, "a/#")};
      reply.set(kv::ROWS_FIELD, rows);
    } else if (request.get(kv::COMMAND_FIELD) == kv::CMD_ADD_OBJ) {
      reply.set(kv::OBJECT_ID_FIELD, 12);
    }
    return CallResult{true, reply, ""};
  };
  return fake;
}

// The last request of the command line (the one that does the work).
kv::message lastRequest(const std::vector<std::string>& args, Ran* ran = nullptr) {
  ScriptedRequester fake = fakeDaemon();
  Ran r = runCommand(args, fake);
  if (ran) *ran = r;
  EXPECT_EQ(r.status, EXIT_SUCCESS_REPLY) << r.err;
  return fake.requests.empty() ? kv::message() : fake.requests.back();
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
  Req& row(uint32_t id) { return m.set(kv::OBJECT_ID_FIELD, id), *this; }
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

TEST(NamedVerbs, EachCommandLineMakesItsRequest) {
  const Req publish = Req({1}, 1).u32(5, 0).yes(6, false).yes(7, false).yes(14);
  const struct { std::vector<std::string> args; Req expected; } cases[] = {
      {{"connect", "home"}, Req({1}, 2).u32(1, 7)},
      {{"disconnect", "2"}, Req({1}, 3).u32(1, 2)},  // by id
      {{"disconnect", "7"}, Req({1}, 3).u32(1, 9)},  // a name comes first
      {{"clear"}, Req({1}, 5)},
      {{"received", "clear"}, Req({1}, 5)},
      {{"publish", "home", "a/b", "hi"}, Req(publish).u32(1, 7).str(2, "a/b").str(3, "hi")},
      {{"publish", "-q", "2", "-r", "--no-connect", "--disconnect-after", "lab", "t"},
       Req(publish).u32(1, 2).str(2, "t").str(3, "").u32(5, 2).yes(6).yes(7).yes(14, false)},
      {{"subscribe", "home", "x/+", "-q", "1"},
       Req({1}, 4).u32(11, 7).str(12, "x/+").u32(13, 1).yes(14)},
      {{"subscribe", "--no-connect", "home", "x"},
       Req({1}, 4).u32(11, 7).str(12, "x").u32(13, 0).yes(14, false)},
      {{"unsubscribe", "home", "a/#"}, Req({1}, 6).u32(11, 7).u32(13, 5)},  // home's row
      {{"broker", "set", "home", "port=1884", "ssl=yes"},
       Req({2}, kv::CMD_SET_OBJ).row(7).u32(2, 1884).yes(3)},
      {{"broker", "remove", "lab"}, Req({2}, kv::CMD_REMOVE_OBJ).row(2)},
      {{"broker", "add", "b3", "address=h", "keep-alive=90"},
       Req({2}, kv::CMD_ADD_OBJ).str(kv::NAME_FIELD.num, "b3").str(1, "h").u32(10, 90)},
      {{"subscription", "add", "lab", "s/#", "qos=2", "script=run()"},
       Req({3}, kv::CMD_ADD_OBJ).u32(11, 2).str(12, "s/#").u32(13, 2).str(11, "run()")},
      {{"subscription", "remove", "lab", "a/#"}, Req({3}, kv::CMD_REMOVE_OBJ).row(4)},
      {{"subscription", "remove", "5"}, Req({3}, kv::CMD_REMOVE_OBJ).row(5)},
  };
  for (const auto& c : cases) {
    EXPECT_TRUE(sameFields(lastRequest(c.args), c.expected.m)) << c.args[0] << " " << c.args[1];
  }
}

TEST(NamedVerbs, UnknownNamesAreRefusedBeforeAnyCommand) {
  const struct { std::vector<std::string> args; const char* err; } cases[] = {
      {{"connect", "nosuch"}, "mqttctl: no broker named \"nosuch\"\n"},
      {{"broker", "set", "3", "port=1"}, "mqttctl: no broker named \"3\"\n"},
      {{"unsubscribe", "home", "b/#"}, "mqttctl: the broker has no subscription to \"b/#\"\n"},
      {{"subscription", "remove", "home", "x"}, "mqttctl: the broker has no subscription to \"x\"\n"},
  };
  for (const auto& c : cases) {
    ScriptedRequester fake = fakeDaemon();
    Ran r = runCommand(c.args, fake);
    EXPECT_EQ(r.status, EXIT_ERROR_REPLY);
    EXPECT_EQ(r.err, c.err);
    for (const kv::message& request : fake.requests) {
      EXPECT_EQ(request.get(kv::COMMAND_FIELD), kv::CMD_GET_ALL) << c.args[0];
    }
  }
}

TEST(NamedVerbs, RowsAreShownInColumnsBlocksAndJson) {
  Ran r;
  lastRequest({"broker", "list"}, &r);
  EXPECT_EQ(r.out,
            "id  name  address   port  ssl  auto-connect  connected\n"
            "2   lab   10.0.0.2  1883  no   no            no\n"
            "7   home  10.0.0.7  1883  no   no            yes\n"
            "9   7     10.0.0.9  1883  no   no            no\n");
  lastRequest({"broker", "list", "--names"}, &r);
  EXPECT_EQ(r.out, "lab\nhome\n7\n");
  lastRequest({"broker", "show", "home"}, &r);
  EXPECT_EQ(r.out,
            "id            7\nname          home\naddress       10.0.0.7\nport          1883\n"
            "ssl           no\nauto-connect  no\nconnected     yes\ncertificate   none\n");
  lastRequest({"subscription", "list", "home"}, &r);
  EXPECT_EQ(r.out, "id  broker  filter  qos  script\n5   home    a/#     1\n");
  lastRequest({"--json", "subscription", "list"}, &r);
  EXPECT_EQ(r.out,
            "[{\"id\":4,\"broker\":\"lab\",\"broker-id\":2,\"filter\":\"a/#\",\"qos\":1,"
            "\"script\":\"\"},{\"id\":5,\"broker\":\"home\",\"broker-id\":7,\"filter\":\"a/#\","
            "\"qos\":1,\"script\":\"\"}]\n");
  lastRequest({"broker", "add", "b3", "address=h"}, &r);
  EXPECT_EQ(r.out, "12\n");
  lastRequest({"--json", "subscription", "add", "home", "q"}, &r);
  EXPECT_EQ(r.out, "{\"id\":12}\n");
  lastRequest({"connect", "home"}, &r);
  EXPECT_EQ(r.out, "");  // a change that worked prints nothing
}

}  // namespace
}  // namespace mqttctl
