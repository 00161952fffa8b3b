// On-message scripts through the bus: what reaches the script, how its
// end maps to the reply, the time limit in virtual time, the cap on
// scripts running at once, and the bounded log of their output.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <memory>

#include "platformd/scripts.h"
#include "loop_fixture.h"

namespace platformd {
namespace {

kv::message variable(const std::string& name, const std::string& value) {
  kv::message v;
  v.set(contract::scripts::VARIABLE_NAME_FIELD, name);
  v.set(contract::scripts::VARIABLE_KIND_FIELD, contract::scripts::TEXT_VARIABLE);
  v.set(contract::scripts::VARIABLE_VALUE_FIELD, value);
  return v;
}

kv::message scriptRequest(const std::string& script, uint32_t limitTicks = 3000,
                          std::vector<kv::message> variables = {}) {
  kv::message m = request(contract::scripts::PATH, contract::scripts::RUN_COMMAND);
  m.set(contract::scripts::VARIABLES_FIELD, std::move(variables));
  m.set(contract::scripts::SCRIPT_FIELD, script);
  m.set(contract::scripts::TIME_LIMIT_FIELD, limitTicks);
  return m;
}

class ScriptsTest : public ::testing::Test, public LoopFixture {
 protected:
  ScriptsTest() : LoopFixture(true) {}
  void start(const ScriptOptions& options = ScriptOptions()) {
    service = std::make_unique<ScriptService>(loop->runner(), options, logFn());
    loop->addHandler(contract::scripts::PATH, service.get());
  }
  // Runs `script` in the root directory.
  kv::message inRoot(const std::string& script, uint32_t limitTicks = 3000,
                     std::vector<kv::message> variables = {}) {
    return scriptRequest("cd " + root + "; " + script, limitTicks, std::move(variables));
  }
  bool exists(const std::string& name) {
    struct stat st;
    return stat((root + "/" + name).c_str(), &st) == 0;
  }
  std::unique_ptr<ScriptService> service;
};

TEST_F(ScriptsTest, HowAScriptEndsIsTheReply) {
  start();
  // The environment holds each variable up to its first NUL; standard input
  // gets msgData whole.
  const std::string data("x\0y\xff\n", 5);
  const std::string inputsArrive =
      "[ \"$msgTopic\" = a/b ] && [ \"$msgData\" = x ] && "
      "[ \"$(od -An -tx1 | tr -d ' \\n')\" = 780079ff0a ] || exit 4";
  const struct {
    kv::message request;
    uint32_t code;
    const char* text;
  } cases[] = {
      {scriptRequest(inputsArrive, 3000, {variable("msgTopic", "a/b"), variable("msgData", data)}),
       0, ""},
      {scriptRequest("exit 3"), 0, "script exited with status 3"},
      {scriptRequest("kill -9 $$"), 0, "script killed by signal 9"},
      {scriptRequest(""), kv::ERR_BAD_REQUEST, "the script must be 1 to 65536 bytes without NUL"},
      {scriptRequest("true", 100, {variable("1st", "x")}), kv::ERR_BAD_REQUEST, "bad script variable name"},
  };
  for (const auto& c : cases) {
    kv::message reply = ask(c.request);
    EXPECT_EQ(kv::getError(reply), c.text);
    EXPECT_EQ(kv::getErrorCode(reply), c.code) << c.text;
  }
}

// Past the limit the script gets SIGTERM; one that ignores it lives on
// until SIGKILL, two seconds later.
TEST_F(ScriptsTest, TheTimeLimitEndsAScriptThatSleeps) {
  start();
  for (kv::Ticks untilKill : {0, 200}) {
    remove((root + "/started").c_str());
    replies.clear();
    post(inRoot(std::string(untilKill ? "trap '' TERM; " : "") + "touch started; sleep 1000", 100));
    ASSERT_TRUE(turnUntil([this]() { return exists("started"); })) << untilKill;
    clock.advance(100);
    if (untilKill) {
      settle(100);
      EXPECT_TRUE(replies.empty()) << "SIGTERM was ignored; only SIGKILL ends it";
    }
    clock.advance(untilKill);
    ASSERT_TRUE(awaitReplies(1)) << untilKill;
    EXPECT_EQ(kv::getError(replies[0]), "script timed out");
  }
}

TEST_F(ScriptsTest, AtMostMaxRunningRunAndAFullQueueIsRefused) {
  start(ScriptOptions{2, 1});
  for (int i = 1; i <= 4; ++i) post(inRoot("touch " + std::to_string(i) + "; exec sleep 1000", 100));
  ASSERT_TRUE(turnUntil([this]() { return exists("1") && exists("2") && !replies.empty(); }));
  EXPECT_EQ(kv::getError(replies[0]), "too many scripts waiting");
  EXPECT_FALSE(exists("3"));
  EXPECT_EQ(service->running(), 2u);
  clock.advance(100);
  ASSERT_TRUE(turnUntil([this]() { return exists("3") && replies.size() == 3; }));
  EXPECT_EQ(kv::getError(replies[1]), "script timed out");
  EXPECT_EQ(service->running(), 1u);
  EXPECT_EQ(service->queued(), 0u);
}

// Lines are cut at 512 bytes and each stream logs 32 lines at most.
TEST_F(ScriptsTest, OutputReachesTheLogBounded) {
  start();
  ask(scriptRequest("echo out; echo err >&2; printf '%0600d\\n' 0; "
                    "i=0; while [ $i -lt 40 ]; do echo $i; i=$((i+1)); done"));
  auto logged = [this](const std::string& line) {
    return std::find(logLines.begin(), logLines.end(), line) != logLines.end();
  };
  for (const std::string& line : std::vector<std::string>{
           "out", std::string(512, '0'), std::string(88, '0'), "28", "(11 more lines dropped)"}) {
    EXPECT_TRUE(logged("script output: " + line)) << line;
  }
  EXPECT_TRUE(logged("script error output: err"));
  EXPECT_FALSE(logged("script output: 29"));
}

}  // namespace
}  // namespace platformd
