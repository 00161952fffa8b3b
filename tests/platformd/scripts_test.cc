// On-message scripts through the bus: what reaches the script, how its
// end maps to the reply, the time limit in virtual time, the cap on
// scripts running at once, and the bounded log of their output.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <algorithm>
#include <memory>

#include "platformd/files.h"
#include "platformd/scripts.h"
#include "loop_fixture.h"

namespace platformd {
namespace {

kv::message variable(const std::string& name, const std::string& value) {
  kv::message v;
  v.set(VARIABLE_NAME_FIELD, name);
  v.set(kv::u32_id(2), 1u);
  v.set(VARIABLE_VALUE_FIELD, value);
  return v;
}

kv::message scriptRequest(const std::string& script, uint32_t limitTicks = 3000,
                          std::vector<kv::message> variables = {}) {
  kv::message m = request(SCRIPT_PATH, RUN_SCRIPT_COMMAND);
  m.set(SCRIPT_VARIABLES_FIELD, std::move(variables));
  m.set(SCRIPT_TEXT_FIELD, script);
  m.set(SCRIPT_LIMIT_FIELD, limitTicks);
  return m;
}

class ScriptsTest : public ::testing::Test, public LoopFixture {
 protected:
  ScriptsTest() : LoopFixture(&clock) {
    char tmpl[] = "/tmp/scripts-XXXXXX";
    dir = mkdtemp(tmpl);
  }
  ~ScriptsTest() override {
    service.reset();
    if (system(("rm -rf '" + dir + "'").c_str()) != 0) {
    }
  }
  void start(const ScriptOptions& options = ScriptOptions()) {
    service = std::make_unique<ScriptService>(loop->runner(), options, logFn());
    loop->addHandler(SCRIPT_PATH, service.get());
  }
  std::string file(const std::string& name) {
    std::string bytes;
    readFile(dir + "/" + name, 1 << 20, bytes);
    return bytes;
  }
  bool exists(const std::string& name) {
    struct stat st;
    return stat((dir + "/" + name).c_str(), &st) == 0;
  }
  kv::ManualClock clock{100};
  std::string dir;
  std::unique_ptr<ScriptService> service;
};

// The environment holds each variable up to its first NUL; standard input
// gets msgData whole.
TEST_F(ScriptsTest, VariablesAndBinaryDataReachTheScript) {
  start();
  const std::string data("x\0y\xff\n", 5);
  post(scriptRequest("printf %s \"$msgTopic\" > " + dir + "/topic; printf %s \"$msgData\" > " +
                         dir + "/env; cat > " + dir + "/stdin",
                     3000, {variable("msgTopic", "a/b"), variable("msgData", data)}));
  ASSERT_TRUE(awaitReplies(1));
  EXPECT_FALSE(kv::isError(replies[0])) << kv::getError(replies[0]);
  EXPECT_EQ(file("topic"), "a/b");
  EXPECT_EQ(file("env"), "x");
  EXPECT_EQ(file("stdin"), data);
}

TEST_F(ScriptsTest, HowAScriptEndsIsTheReply) {
  start();
  const struct {
    kv::message request;
    uint32_t code;
    const char* text;
  } cases[] = {
      {scriptRequest("exit 0"), 0, ""},
      {scriptRequest("exit 3"), 0, "script exited with status 3"},
      {scriptRequest("kill -9 $$"), 0, "script killed by signal 9"},
      {scriptRequest(""), kv::ERR_BAD_REQUEST, "the script must be 1 to 65536 bytes without NUL"},
      {scriptRequest("true", 100, {variable("1st", "x")}), kv::ERR_BAD_REQUEST, "bad script variable name"},
  };
  for (const auto& c : cases) {
    replies.clear();
    post(c.request);
    ASSERT_TRUE(awaitReplies(1)) << c.text;
    EXPECT_EQ(kv::getError(replies[0]), c.text);
    EXPECT_EQ(kv::getErrorCode(replies[0]), c.code) << c.text;
  }
}

// Past the limit the script gets SIGTERM; one that ignores it lives on
// until SIGKILL, two seconds later.
TEST_F(ScriptsTest, TheTimeLimitEndsAScriptThatSleeps) {
  start();
  const struct {
    const char* script;
    kv::Ticks untilKill;
  } cases[] = {
      {"touch started; sleep 1000", 0},
      {"trap '' TERM; touch started; sleep 1000", 200},
  };
  for (const auto& c : cases) {
    remove((dir + "/started").c_str());
    replies.clear();
    post(scriptRequest("cd " + dir + "; " + c.script, 100));
    ASSERT_TRUE(turnUntil([this]() { return exists("started"); })) << c.script;
    clock.advance(100);
    if (c.untilKill) {
      settle(100);
      EXPECT_TRUE(replies.empty()) << "SIGTERM was ignored; only SIGKILL ends it";
    }
    clock.advance(c.untilKill);
    ASSERT_TRUE(awaitReplies(1)) << c.script;
    EXPECT_EQ(kv::getError(replies[0]), "script timed out");
  }
}

TEST_F(ScriptsTest, AtMostMaxRunningRunAndAFullQueueIsRefused) {
  start(ScriptOptions{2, 1});
  for (int i = 1; i <= 4; ++i) {
    post(scriptRequest("touch " + dir + "/" + std::to_string(i) + "; exec sleep 1000", 100));
  }
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
  post(scriptRequest("echo out; echo err >&2; printf '%0600d\\n' 0; "
                     "i=0; while [ $i -lt 40 ]; do echo $i; i=$((i+1)); done"));
  ASSERT_TRUE(awaitReplies(1));
  auto logged = [this](const std::string& line) {
    return std::find(logLines.begin(), logLines.end(), line) != logLines.end();
  };
  EXPECT_TRUE(logged("script output: out"));
  EXPECT_TRUE(logged("script error output: err"));
  EXPECT_TRUE(logged("script output: " + std::string(512, '0')));
  EXPECT_TRUE(logged("script output: " + std::string(88, '0')));
  EXPECT_TRUE(logged("script output: 28"));
  EXPECT_FALSE(logged("script output: 29"));
  EXPECT_TRUE(logged("script output: (11 more lines dropped)"));
}

}  // namespace
}  // namespace platformd
