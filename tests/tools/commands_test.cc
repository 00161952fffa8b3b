// The commands: what they send, how they page, what they print, and the
// exit status that follows, against a scripted requester.
#include "tools/commands.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "platform/system.h"
#include "tools/cli.h"
#include "tools/message_json.h"
#include "tools/run_command.h"

namespace mqttctl {
namespace {

// Answers each call with the next scripted outcome and keeps the requests.
class ScriptedRequester : public Requester {
 public:
  CallResult call(const kv::message& request) override {
    requests.push_back(request);
    if (next >= script.size()) {
      ADD_FAILURE() << "unexpected request " << requests.size();
      return CallResult{};
    }
    return script[next++];
  }
  void answer(const kv::message& reply) { script.push_back(CallResult{true, reply, ""}); }

  std::vector<CallResult> script;
  std::vector<kv::message> requests;
  size_t next = 0;
};

// The request that the command line `args` prepares.
kv::message planned(const std::vector<std::string>& args) {
  ScriptedRequester fake;
  fake.answer(kv::message());
  runCommand(args, fake);
  return fake.requests.empty() ? kv::message() : fake.requests[0];
}

std::vector<uint32_t> pathOf(const kv::message& m) { return m.get(kv::PATH_FIELD); }

TEST(Commands, EachCommandSendsItsPlatformCommand) {
  kv::message m = planned({"list", "24.17"});
  EXPECT_EQ(pathOf(m), (std::vector<uint32_t>{24, 17}));
  EXPECT_EQ(m.get(kv::COMMAND_FIELD), kv::CMD_GET_ALL);
  EXPECT_EQ(planned({"count", "24"}).get(kv::COMMAND_FIELD), kv::CMD_GET_COUNT);
  EXPECT_EQ(planned({"get", "9"}).get(kv::COMMAND_FIELD), kv::CMD_GET);
  m = planned({"remove", "24", "0x10"});
  EXPECT_EQ(m.get(kv::COMMAND_FIELD), kv::CMD_REMOVE_OBJ);
  EXPECT_EQ(m.get(kv::OBJECT_ID_FIELD), 16u);
  m = planned({"add", "24", "string:name=b1", "u32:2=1883"});
  EXPECT_EQ(m.get(kv::COMMAND_FIELD), kv::CMD_ADD_OBJ);
  EXPECT_EQ(m.get(kv::NAME_FIELD), "b1");
  EXPECT_EQ(m.get(kv::u32_id(2)), 1883u);
  // An object id is told from a field by its shape.
  m = planned({"set", "24", "5", "u32:2=1"});
  EXPECT_EQ(m.get(kv::COMMAND_FIELD), kv::CMD_SET_OBJ);
  EXPECT_EQ(m.get(kv::OBJECT_ID_FIELD), 5u);
  m = planned({"set", "9", "u32:2=1"});
  EXPECT_EQ(m.get(kv::COMMAND_FIELD), kv::CMD_SET);
  EXPECT_FALSE(m.has(kv::OBJECT_ID_FIELD));
  m = planned({"send", "2", "0x1234", "bool:8=true"});
  EXPECT_EQ(m.get(kv::COMMAND_FIELD), 0x1234u);
  EXPECT_TRUE(m.get(kv::bool_id(8)));
  EXPECT_EQ(planned({"send", "2", "policies"}).get(kv::COMMAND_FIELD), kv::CMD_GET_POLICIES);
  EXPECT_EQ(planned({"send", "", "serve"}).get(kv::PATH_FIELD), std::vector<uint32_t>{});
}

kv::Status prepareError(const std::vector<std::string>& args) {
  Options options;
  const Command* command = nullptr;
  Plan plan;
  kv::Status st = parseOptions(args, options);
  return st.isOk() ? prepareInvocation(options, command, plan) : st;
}

TEST(Commands, UsageErrorsAreFoundBeforeAnythingIsSent) {
  struct Case {
    std::vector<std::string> args;
    const char* expected;
  } cases[] = {
      {{}, "no command"},
      {{"frobnicate"}, "unknown command \"frobnicate\""},
      {{"list"}, "list: too few arguments"},
      {{"list", "1", "2"}, "list: too many arguments"},
      {{"remove", "24"}, "too few"},
      {{"get", "24", "x"}, "object id"},
      {{"send", "2", "nosuch"}, "neither a number nor a platform command"},
      {{"send", "2.x", "1"}, "path \"2.x\""},
      {{"add", "24", "u32:1=1", "u32:1=2"}, "u32 1 is given twice"},
      {{"add", "24", "u32:1"}, "TYPE:NUMBER=VALUE"},
      {{"--bogus", "list", "1"}, "unknown option \"--bogus\""},
      {{"list", "1", "--timeout"}, "--timeout needs a value"},
      {{"--timeout=0", "list", "1"}, "time-out"},
      {{"--json=1", "list", "1"}, "takes no value"},
      {{"--json-in", "/nonexistent/x.json", "send", "1", "1"}, "--json-in: "},
  };
  for (const Case& c : cases) {
    kv::Status st = prepareError(c.args);
    EXPECT_NE(st.message().find(c.expected), std::string::npos)
        << (c.args.empty() ? "" : c.args[0]) << " -> " << st.message();
  }
}

TEST(Commands, OptionsGoAnywhereUntilTheEndMarker) {
  Options options;
  ASSERT_TRUE(
      parseOptions({"list", "--json", "24", "--timeout=2.5", "--root", "/r/"}, options).isOk());
  EXPECT_TRUE(options.json);
  EXPECT_EQ(options.timeoutMillis, 2500u);
  EXPECT_EQ(options.words, (std::vector<std::string>{"list", "24"}));
  EXPECT_EQ(busPathFor(options), "/r/ram/kvbus");
  Options ended;
  ASSERT_TRUE(parseOptions({"send", "--", "--json", "x"}, ended).isOk());
  EXPECT_FALSE(ended.json);
  EXPECT_EQ(ended.words, (std::vector<std::string>{"send", "--json", "x"}));
  EXPECT_EQ(Options().timeoutMillis, 10000u);
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

// ---- Outcomes and exit statuses ---------------------------------------------------------

Ran report(const CallResult& result, bool json = false) {
  std::ostringstream out, err;
  Ran r;
  r.status = reportOutcome(result, Output{out, err, json});
  r.out = out.str();
  r.err = err.str();
  return r;
}

CallResult replied(const kv::message& reply) { return CallResult{true, reply, ""}; }

TEST(Outcomes, SuccessFailureErrorAndNoAnswer) {
  kv::message ok;
  ok.set(kv::COUNT_FIELD, 3);
  Ran r = report(replied(ok));
  EXPECT_EQ(r.status, EXIT_SUCCESS_REPLY);
  EXPECT_EQ(r.out, "u32 0xfe0013 (count) = 3\n");
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(report(replied(kv::message())).out, "ok\n");
  EXPECT_EQ(report(replied(ok), true).out, "[{\"type\":\"u32\",\"num\":16646163,\"value\":3}]\n");

  r = report(replied(kv::failedMsg("name is taken")));
  EXPECT_EQ(r.status, EXIT_ERROR_REPLY);
  EXPECT_EQ(r.err, "mqttctl: failed: name is taken\n");
  EXPECT_EQ(r.out, "");

  r = report(replied(kv::errorMsg(kv::ERR_NO_SUCH_OBJECT, "no row 7")), true);
  EXPECT_EQ(r.status, EXIT_ERROR_REPLY);
  EXPECT_EQ(r.err, "mqttctl: error 0xfe0002 (no-such-object): no row 7\n");
  EXPECT_NE(r.out.find("16646146"), std::string::npos);  // the reply, for scripts

  EXPECT_EQ(report(replied(kv::errorMsg(0x42, ""))).err, "mqttctl: error 0x42\n");
  EXPECT_EQ(report(replied(kv::errorMsg(kv::ERR_NOT_ALLOWED, "x"))).status, EXIT_ERROR_REPLY);
  EXPECT_EQ(report(replied(kv::errorMsg(kv::ERR_NO_ROUTE, "x"))).status, EXIT_ERROR_REPLY);
  EXPECT_EQ(report(replied(kv::errorMsg(kv::ERR_TIMEOUT, "x"))).status, EXIT_UNREACHABLE);
  EXPECT_EQ(report(replied(kv::errorMsg(kv::ERR_PEER_GONE, "x"))).status, EXIT_UNREACHABLE);

  r = report(CallResult{false, kv::message(), "cannot reach the bus"});
  EXPECT_EQ(r.status, EXIT_UNREACHABLE);
  EXPECT_EQ(r.err, "mqttctl: cannot reach the bus\n");
}

TEST(Outcomes, FailureTextFromTheBusCannotDriveTheTerminal) {
  Ran r = report(replied(kv::failedMsg("bad\x1b[2J\nline")));
  EXPECT_EQ(r.err, "mqttctl: failed: bad\\x1b[2J\\nline\n");
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
  ScriptedRequester fake;
  fake.answer(page({1, 4}, true));
  fake.answer(page({9}, true));
  fake.answer(page({}, false));
  Ran r = runCommand({"list", "24"}, fake);
  EXPECT_EQ(r.status, EXIT_SUCCESS_REPLY) << r.err;
  ASSERT_EQ(fake.requests.size(), 3u);
  EXPECT_FALSE(fake.requests[0].has(kv::AFTER_ID_FIELD));
  EXPECT_EQ(fake.requests[1].get(kv::AFTER_ID_FIELD), 4u);
  EXPECT_EQ(fake.requests[2].get(kv::AFTER_ID_FIELD), 9u);
  EXPECT_EQ(fake.requests[2].get(kv::COMMAND_FIELD), kv::CMD_GET_ALL);
  EXPECT_NE(r.out.find("row 3:\n  u32 0xfe0011 (object-id) = 9\n"), std::string::npos) << r.out;
}

TEST(List, JsonIsOneMessageWithAllRows) {
  ScriptedRequester fake;
  fake.answer(page({1}, true));
  fake.answer(page({2}, false));
  Ran r = runCommand({"--json", "list", "24"}, fake);
  EXPECT_EQ(r.status, EXIT_SUCCESS_REPLY);
  kv::message all;
  all.set(kv::ROWS_FIELD, std::vector<kv::message>{row(1), row(2)});
  EXPECT_EQ(r.out, messageToJson(all) + "\n");
}

TEST(List, AWalkThatCannotEndIsRefused) {
  kv::message noId = page({}, true);
  noId.set(kv::ROWS_FIELD, std::vector<kv::message>{kv::message()});
  struct Case {
    std::vector<kv::message> pages;
    const char* expected;
  } cases[] = {
      {{page({}, true)}, "page is empty"},
      {{page({5}, true), page({5}, true)}, "do not increase"},
      {{page({5}, true), page({3}, true)}, "do not increase"},
      {{noId}, "no object id"},
  };
  for (const Case& c : cases) {
    ScriptedRequester fake;
    for (const kv::message& p : c.pages) fake.answer(p);
    Ran r = runCommand({"list", "24"}, fake);
    EXPECT_EQ(r.status, EXIT_ERROR_REPLY);
    EXPECT_NE(r.err.find(c.expected), std::string::npos) << r.err;
    EXPECT_EQ(r.out, "");
  }
}

TEST(List, AnErrorOnALaterPageEndsTheWalk) {
  ScriptedRequester fake;
  fake.answer(page({1}, true));
  fake.answer(kv::errorMsg(kv::ERR_TIMEOUT, "no reply"));
  Ran r = runCommand({"list", "24"}, fake);
  EXPECT_EQ(r.status, EXIT_UNREACHABLE);
  EXPECT_EQ(r.out, "");
  EXPECT_NE(r.err.find("(timeout)"), std::string::npos);
}

// ---- runMain: usage and an absent bus ------------------------------------------------------

Ran runMainWith(std::vector<std::string> args) {
  std::vector<char*> argv;
  std::string program = "mqttctl";
  argv.push_back(&program[0]);
  for (std::string& a : args) argv.push_back(&a[0]);
  std::ostringstream out, err;
  Ran r;
  r.status = runMain(static_cast<int>(argv.size()), argv.data(), out, err);
  r.out = out.str();
  r.err = err.str();
  return r;
}

TEST(Main, UsageErrorsHelpAndAnAbsentBus) {
  Ran r = runMainWith({"list"});
  EXPECT_EQ(r.status, EXIT_USAGE);
  EXPECT_EQ(r.err, "mqttctl: list: too few arguments\nusage: mqttctl [OPTIONS] list PATH\n");
  r = runMainWith({"nosuch"});
  EXPECT_EQ(r.status, EXIT_USAGE);
  EXPECT_NE(r.err.find("usage: mqttctl [OPTIONS] COMMAND"), std::string::npos);
  r = runMainWith({"--help"});
  EXPECT_EQ(r.status, 0);
  for (const Command& c : commandTable()) EXPECT_NE(r.out.find(c.name), std::string::npos);

  char dir[] = "/tmp/mqttctl-nobus-XXXXXX";
  ASSERT_NE(mkdtemp(dir), nullptr);
  r = runMainWith({"--root", dir, "count", "24"});
  rmdir(dir);
  EXPECT_EQ(r.status, EXIT_UNREACHABLE);
  EXPECT_NE(r.err.find("cannot reach the bus at " + std::string(dir) + "/ram/kvbus"),
            std::string::npos)
      << r.err;
}

}  // namespace
}  // namespace mqttctl
