// The bus-level verbs against a scripted requester: what each command line
// sends, how list follows the pages, and what an outcome prints where, with
// which exit status.
#include "tools/verbs.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <fstream>
#include <string>
#include <vector>

#include "platform/system.h"
#include "tools/message_json.h"
#include "tools/run_command.h"

namespace mqttctl {
namespace {

// The request that the command line `args` prepares.
kv::message planned(const std::vector<std::string>& args) {
  ScriptedRequester fake;
  runCommand(args, fake);
  return fake.requests.empty() ? kv::message() : fake.requests[0];
}

// (list, count, get, add, set and remove of a row the black-box table
// tests send to the real daemon.)
TEST(Commands, EachCommandSendsItsPlatformCommand) {
  const struct { std::vector<std::string> args; uint32_t command; int64_t objectId; } cases[] = {
      {{"get", "9"}, kv::CMD_GET, -1},
      {{"remove", "24", "0x10"}, kv::CMD_REMOVE_OBJ, 16},
      // An object id is told from a field by its shape.
      {{"set", "24", "5", "u32:2=1"}, kv::CMD_SET_OBJ, 5},
      {{"set", "9", "u32:2=1"}, kv::CMD_SET, -1},
      {{"send", "2", "0x1234"}, 0x1234, -1},
      {{"send", "2", "policies"}, kv::CMD_GET_POLICIES, -1},
  };
  for (const auto& c : cases) {
    const kv::message m = planned(c.args);
    EXPECT_EQ(m.get(kv::COMMAND_FIELD), c.command) << c.args[0] << " " << c.args.size();
    const int64_t id = m.has(kv::OBJECT_ID_FIELD) ? int64_t{m.get(kv::OBJECT_ID_FIELD)} : -1;
    EXPECT_EQ(id, c.objectId) << c.args[0] << " " << c.args.size();
  }
  const kv::message m = planned({"send", "24.17", "1", "string:name=b1", "bool:8=true"});
  EXPECT_EQ(m.get(kv::PATH_FIELD), (std::vector<uint32_t>{24, 17}));
  EXPECT_EQ(m.get(kv::NAME_FIELD), "b1");
  EXPECT_TRUE(m.get(kv::bool_id(8)));
  EXPECT_EQ(planned({"send", "", "serve"}).get(kv::PATH_FIELD), std::vector<uint32_t>{});
}

TEST(Commands, JsonInStartsTheRequestAndFieldsOverrideIt) {
  char path[] = "/tmp/mqttctl-json-XXXXXX";
  int fd = mkstemp(path);
  ASSERT_GE(fd, 0);
  close(fd);
  std::ofstream(path) << "[{\"type\":\"u32\",\"num\":1,\"value\":1},"
                         "{\"type\":\"string\",\"num\":2,\"value\":\"a\\u0000b\"}]";
  kv::message m = planned({"--json-in", path, "send", "3", "9", "u32:1=7"});
  unlink(path);
  ASSERT_GE(m.size(), 2u);
  EXPECT_EQ(m.fields()[0].num, 1u);  // replaced in place
  EXPECT_EQ(m.get(kv::u32_id(1)), 7u);
  EXPECT_EQ(m.get(kv::string_id(2)), std::string("a\0b", 3));
  EXPECT_EQ(m.get(kv::COMMAND_FIELD), 9u);
}

CallResult replied(const kv::message& reply) { return CallResult{true, reply, ""}; }

// What the black-box tests cannot provoke: a reply that tries to drive the
// terminal, an error without text, and the ways a connection ends. Nothing
// answered is status 3 with nothing on standard output, even with --json.
TEST(Outcomes, WhatIsPrintedWhereAndTheExitStatus) {
  const kv::message missing = kv::errorMsg(kv::ERR_NO_SUCH_OBJECT, "no row 7");
  const kv::message gone = kv::errorMsg(kv::ERR_PEER_GONE, "peer disconnected");
  const struct {
    CallResult result;
    bool json;
    int status;
    std::string out, err;
  } cases[] = {
      {replied(kv::failedMsg("bad\x1b[2J\nline")), false, EXIT_ERROR_REPLY, "",
       "mqttctl: failed: bad\\x1b[2J\\nline\n"},
      {replied(missing), true, EXIT_ERROR_REPLY,
       "{\"error\":\"no row 7\",\"code\":16646146,\"code-name\":\"no-such-object\"}\n",
       "mqttctl: error 0xfe0002 (no-such-object): no row 7\n"},
      {replied(kv::errorMsg(0x42, "")), false, EXIT_ERROR_REPLY, "", "mqttctl: error 0x42\n"},
      {replied(kv::errorMsg(kv::ERR_NO_ROUTE, "x")), false, EXIT_ERROR_REPLY, "",
       "mqttctl: error 0xfe0006 (no-route): x\n"},
      {CallResult{false, kv::message(), "cannot reach the bus"}, true, EXIT_UNREACHABLE, "",
       "mqttctl: cannot reach the bus\n"},
      {replied(gone), true, EXIT_UNREACHABLE, "",
       "mqttctl: the connection closed before an answer came (the daemon may have stopped)\n"},
      {replied(kv::errorMsg(kv::ERR_PEER_GONE, "peer disconnected: closed: idle")), false,
       EXIT_UNREACHABLE, "", "mqttctl: the daemon closed the connection: closed: idle\n"},
  };
  for (const auto& c : cases) {
    Ran r = capture([&](std::ostream& out, std::ostream& err) {
      return reportOutcome(c.result, Output{out, err, c.json, 2500});
    });
    EXPECT_EQ(r.status, c.status) << c.err;
    EXPECT_EQ(r.out, c.out) << c.err;
    EXPECT_EQ(r.err, c.err);
  }
}

// ---- list: the get-all walk -------------------------------------------------------------

kv::message row(uint32_t id) {
  kv::message m;
  m.set(kv::OBJECT_ID_FIELD, id);
  m.set(kv::NAME_FIELD, "r" + std::to_string(id));
  return m;
}

kv::message page(std::vector<uint32_t> ids, bool more) {
  std::vector<kv::message> rows;
  for (uint32_t id : ids) rows.push_back(row(id));
  kv::message m;
  m.set(kv::ROWS_FIELD, rows);
  if (more) m.set(kv::MORE_FIELD, true);
  return m;
}

TEST(List, FollowsThePagesAndPrintsAllRows) {
  ScriptedRequester fake({page({1, 4}, true), page({9}, true), page({}, false)});
  Ran r = runCommand({"list", "24"}, fake);
  EXPECT_EQ(r.status, EXIT_SUCCESS_REPLY) << r.err;
  ASSERT_EQ(fake.requests.size(), 3u);
  EXPECT_FALSE(fake.requests[0].has(kv::AFTER_ID_FIELD));
  EXPECT_EQ(fake.requests[1].get(kv::AFTER_ID_FIELD), 4u);
  EXPECT_EQ(fake.requests[2].get(kv::AFTER_ID_FIELD), 9u);
  EXPECT_EQ(fake.requests[2].get(kv::COMMAND_FIELD), kv::CMD_GET_ALL);
  EXPECT_PRED_FORMAT2(testing::IsSubstring, "row 3:\n  u32 0xfe0011 (object-id) = 9\n", r.out);

  ScriptedRequester json({page({1}, true), page({2}, false)});
  r = runCommand({"--json", "list", "24"}, json);
  kv::message all;
  all.set(kv::ROWS_FIELD, std::vector<kv::message>{row(1), row(2)});
  EXPECT_EQ(r.out, messageToJson(all) + "\n");  // one message with all rows
}

TEST(List, AWalkThatCannotEndOrAFailingPageEndsIt) {
  kv::message noId = page({}, true);
  noId.set(kv::ROWS_FIELD, std::vector<kv::message>{kv::message()});
  const struct { std::vector<kv::message> pages; int status; const char* err; } cases[] = {
      {{page({}, true)}, EXIT_ERROR_REPLY, "page is empty"},
      {{page({5}, true), page({5}, true)}, EXIT_ERROR_REPLY, "do not increase"},
      {{page({5}, true), page({3}, true)}, EXIT_ERROR_REPLY, "do not increase"},
      {{noId}, EXIT_ERROR_REPLY, "no object id"},
      {{page({1}, true), kv::errorMsg(kv::ERR_TIMEOUT, "no reply")}, EXIT_UNREACHABLE,
       "time-out"},
  };
  for (const auto& c : cases) {
    ScriptedRequester fake(c.pages);
    Ran r = runCommand({"list", "24"}, fake);
    EXPECT_EQ(r.status, c.status) << c.err;
    EXPECT_PRED_FORMAT2(testing::IsSubstring, c.err, r.err);
    EXPECT_EQ(r.out, "");
  }
}

}  // namespace
}  // namespace mqttctl
