// publish -l: one message per line, in order, within the window; the first
// failure stops the reading.
#include "tools/publish_lines.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "platform/system.h"
#include "tools/mqtt_verbs.h"
#include "tools/run_command.h"

namespace mqttctl {
namespace {

// A file holding `text`, open for reading at its start; removed at once.
class Input {
 public:
  explicit Input(const std::string& text) {
    char path[] = "/tmp/mqttctl-lines-XXXXXX";
    fd_ = mkstemp(path);
    EXPECT_GE(fd_, 0);
    unlink(path);
    EXPECT_EQ(write(fd_, text.data(), text.size()), static_cast<ssize_t>(text.size()));
    lseek(fd_, 0, SEEK_SET);
  }
  ~Input() { close(fd_); }
  int fd() const { return fd_; }

 private:
  int fd_ = -1;
};

// A daemon with broker 3 "home" that answers publish with `answer(payload)`.
ScriptedRequester daemonAnswering(std::function<kv::message(const std::string&)> answer) {
  ScriptedRequester fake;
  fake.answer = [answer](const kv::message& request) {
    kv::message reply;
    if (request.get(kv::COMMAND_FIELD) == kv::CMD_GET_ALL) {
      kv::message home;
      home.set(kv::OBJECT_ID_FIELD, 3);
      home.set(kv::NAME_FIELD, "home");
      reply.set(kv::ROWS_FIELD, std::vector<kv::message>{home});
    } else if (request.get(kv::COMMAND_FIELD) == CMD_PUBLISH) {
      reply = answer(request.get(kv::string_id(3)));
    }
    return CallResult{true, reply, ""};
  };
  return fake;
}

std::vector<std::string> payloads(const ScriptedRequester& fake) {
  std::vector<std::string> sent;
  for (const kv::message& r : fake.requests) {
    if (r.get(kv::COMMAND_FIELD) == CMD_PUBLISH) sent.push_back(r.get(kv::string_id(3)));
  }
  return sent;
}

TEST(PublishLines, EveryLineInOrderWithinTheWindow) {
  std::string text;
  std::vector<std::string> expected;
  for (int i = 1; i <= 500; ++i) {
    expected.push_back(i % 100 ? "line " + std::to_string(i) : "");  // empty lines are messages
    text += expected.back() + "\n";
  }
  text += "last, without a newline";
  expected.push_back("last, without a newline");
  Input input(text);
  ScriptedRequester fake = daemonAnswering([](const std::string&) { return kv::message(); });
  Ran r = runCommand({"publish", "-l", "-q", "1", "home", "t/x", "--disconnect-after"}, fake,
                     input.fd());
  EXPECT_EQ(r.status, EXIT_SUCCESS_REPLY) << r.err;
  EXPECT_EQ(r.out + r.err, "");
  EXPECT_EQ(payloads(fake), expected);
  EXPECT_EQ(fake.maxInFlight, PUBLISH_WINDOW);
  const kv::message& publish = fake.requests[1];
  EXPECT_EQ(publish.get(kv::u32_id(1)), 3u);
  EXPECT_EQ(publish.get(kv::string_id(2)), "t/x");
  EXPECT_EQ(publish.get(kv::u32_id(5)), 1u);
  EXPECT_FALSE(publish.get(kv::bool_id(7)));  // each message stays; one disconnect at the end
  EXPECT_EQ(fake.requests.back().get(kv::COMMAND_FIELD), CMD_DISCONNECT);
  EXPECT_EQ(fake.requests.back().get(kv::u32_id(1)), 3u);
}

TEST(PublishLines, TheFirstFailureStopsTheReading) {
  std::string text;
  for (int i = 1; i <= 500; ++i) text += std::to_string(i) + "\n";
  const struct { kv::message refusal; int status; const char* err; } cases[] = {
      {kv::failedMsg("Broker not connected"), EXIT_ERROR_REPLY,
       "mqttctl: line 70: failed: Broker not connected\n"},
      {kv::errorMsg(kv::ERR_TIMEOUT, "timeout"), EXIT_UNREACHABLE,
       "mqttctl: line 70: time-out: no answer within 10 s (see --timeout)\n"},
  };
  for (const auto& c : cases) {
    Input input(text);
    ScriptedRequester fake = daemonAnswering([&c](const std::string& line) {
      return line == "70" ? c.refusal : kv::message();
    });
    Ran r = runCommand({"publish", "home", "t", "-l", "--disconnect-after"}, fake, input.fd());
    EXPECT_EQ(r.status, c.status);
    EXPECT_EQ(r.err, c.err);
    const std::vector<std::string> sent = payloads(fake);
    // Lines already in flight were sent; no line after them, and no disconnect.
    EXPECT_EQ(sent.back(), std::to_string(70 + PUBLISH_WINDOW - 1));
    EXPECT_EQ(fake.requests.back().get(kv::COMMAND_FIELD), CMD_PUBLISH);
  }
}

TEST(PublishLines, ALineTooLongIsNotSent) {
  Input input("a\nb\n" + std::string(MAX_PAYLOAD_BYTES + 1, 'x') + "\nc\n");
  ScriptedRequester fake = daemonAnswering([](const std::string&) { return kv::message(); });
  Ran r = runCommand({"publish", "home", "t", "-l"}, fake, input.fd());
  EXPECT_EQ(r.status, EXIT_ERROR_REPLY);
  EXPECT_EQ(r.err, "mqttctl: line 3: longer than 2097152 bytes; not sent\n");
  EXPECT_EQ(payloads(fake), (std::vector<std::string>{"a", "b"}));
}

}  // namespace
}  // namespace mqttctl
