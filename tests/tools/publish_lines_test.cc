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
    unlink(path);
    EXPECT_EQ(write(fd_, text.data(), text.size()), static_cast<ssize_t>(text.size()));
    lseek(fd_, 0, SEEK_SET);
  }
  ~Input() { close(fd_); }
  int fd() const { return fd_; }

 private:
  int fd_ = -1;
};

// What a publish -l run did.
struct Published {
  Ran ran;
  std::vector<kv::message> requests;
  std::vector<std::string> payloads;  // of the publish requests, in order
  size_t maxInFlight = 0;
};

// Runs `args` with `text` on standard input against a daemon that answers
// each publish with answer(payload), by default a success.
Published publishLines(const std::vector<std::string>& args, const std::string& text,
                       std::function<kv::message(const std::string&)> answer = nullptr) {
  ScriptedRequester fake = fakeDaemon([answer](const kv::message& request) {
    return answer ? answer(request.get(kv::string_id(3))) : kv::message();
  });
  Input input(text);
  Published p;
  p.ran = runCommand(args, fake, input.fd());
  p.requests = fake.requests;
  for (const kv::message& request : fake.requests) {
    if (request.get(kv::COMMAND_FIELD) == contract::mqtt_service::PUBLISH_COMMAND) {
      p.payloads.push_back(request.get(kv::string_id(3)));
    }
  }
  p.maxInFlight = fake.maxInFlight;
  return p;
}

TEST(PublishLines, EveryLineInOrderWithinTheWindow) {
  std::string text;
  std::vector<std::string> expected;
  for (int i = 1; i <= 2000; ++i) {  // 200 KiB: the reader's buffer moves on several times
    expected.push_back(i % 100 ? "line " + std::to_string(i) + std::string(100, '.') : "");
    text += expected.back() + "\n";  // empty lines are messages
  }
  text += "last, without a newline";
  expected.push_back("last, without a newline");
  const Published p =
      publishLines({"publish", "-l", "-q", "1", "home", "t/x", "--disconnect-after"}, text);
  EXPECT_EQ(p.ran.status, EXIT_SUCCESS_REPLY) << p.ran.err;
  EXPECT_EQ(p.ran.out + p.ran.err, "");
  EXPECT_EQ(p.payloads, expected);
  EXPECT_EQ(p.maxInFlight, PUBLISH_WINDOW);
  const kv::message& publish = p.requests[1];
  EXPECT_EQ(publish.get(kv::u32_id(1)), 7u);
  EXPECT_EQ(publish.get(kv::string_id(2)), "t/x");
  EXPECT_EQ(publish.get(kv::u32_id(5)), 1u);
  EXPECT_FALSE(publish.get(kv::bool_id(7)));  // each message stays; one disconnect at the end
  EXPECT_EQ(p.requests.back().get(kv::COMMAND_FIELD), contract::mqtt_service::DISCONNECT_COMMAND);
  EXPECT_EQ(p.requests.back().get(kv::u32_id(1)), 7u);
}

// A refusal or a time-out at line 70: the lines already in flight were
// sent, none after them, and no disconnect. A line too long is not sent.
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
    const Published p = publishLines({"publish", "home", "t", "-l", "--disconnect-after"}, text,
                                     [&c](const std::string& line) {
                                       return line == "70" ? c.refusal : kv::message();
                                     });
    EXPECT_EQ(p.ran.status, c.status);
    EXPECT_EQ(p.ran.err, c.err);
    EXPECT_EQ(p.payloads.back(), std::to_string(70 + PUBLISH_WINDOW - 1));
    EXPECT_EQ(p.requests.back().get(kv::COMMAND_FIELD), contract::mqtt_service::PUBLISH_COMMAND);
  }
  const Published p = publishLines(
      {"publish", "home", "t", "-l"}, "a\nb\n" + std::string(MAX_PAYLOAD_BYTES + 1, 'x') + "\nc\n");
  EXPECT_EQ(p.ran.status, EXIT_ERROR_REPLY);
  EXPECT_EQ(p.ran.err, "mqttctl: line 3: longer than 2097152 bytes; not sent\n");
  EXPECT_EQ(p.payloads, (std::vector<std::string>{"a", "b"}));
}

}  // namespace
}  // namespace mqttctl
