// The broker status as the console words it: the state column, the last
// failure in a few words, and when a command's failure takes the broker's
// last failure as its reason (only one that happened while it ran). (The
// reason of each way a connection fails, also as JSON, the black-box
// status tests see.)
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "tools/run_command.h"
#include "tools/status.h"

namespace mqttctl {
namespace {

namespace view = contract::broker_status;

constexpr uint32_t NOW = 1000000;

// A status read at NOW: in `state` since `since`, the last failure at
// `failedAt` (0: none), the next automatic attempt at `next` (0: none).
BrokerStatus statusAt(view::State state, uint32_t since, uint32_t failedAt, uint32_t next,
                      const std::string& text = "peer disconnected") {
  BrokerStatus s;
  s.brokerId = 7;
  s.name = "home";
  s.state = static_cast<uint32_t>(state);
  s.since = since;
  s.readAt = NOW;
  s.nextAttempt = next;
  if (failedAt) {
    s.failureKind = static_cast<uint32_t>(kv::Status::Kind::Tls);
    s.failureKindName = "tls";
    s.failureText = text;
    s.failureTime = failedAt;
  }
  return s;
}

TEST(BrokerStatusWords, TheStateColumnAndTheLastFailureInAFewWords) {
  using State = view::State;
  const std::string mismatch = "ssl failure [certificate verification failed: hostname mismatch]";
  const struct {
    BrokerStatus status;
    std::string state, failure;
  } cases[] = {
      {statusAt(State::Idle, 0, 0, 0), "idle", ""},
      {statusAt(State::Idle, NOW - 10, 0, NOW + 8), "connecting in 8 s", ""},
      {statusAt(State::Idle, NOW - 37, NOW - 37, NOW + 37, mismatch), "retrying in 37 s",
       "hostname mismatch, 37 s ago"},
      {statusAt(State::Idle, NOW - 100, NOW - 7200, NOW + 10), "connecting in 10 s",
       "peer disconnected, 2 h ago"},
      {statusAt(State::AwaitingConnack, NOW - 1, 0, 0), "connecting", ""},
      {statusAt(State::Resolving, NOW - 1, 0, 0), "connecting", ""},
      {statusAt(State::Connected, NOW - 10, NOW - 1560, 0,
                "not connected within 5 s; closing the connection"),
       "connected", "not connected within 5 s, 26 min ago"},
      {statusAt(State::Disconnecting, NOW - 1, 0, 0), "disconnecting", ""},
      {statusAt(State::Idle, NOW - 9000, NOW - 9000, 0,
                "internal error [connect: Connection refused]"),
       "idle", "Connection refused, 2 h ago"},
      {statusAt(State::Idle, 0, NOW - 3 * 86400, 0, std::string(60, 'x') + "\x1b"), "idle",
       std::string(37, 'x') + "..., 3 d ago"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(stateCell(c.status), c.state) << c.state;
    EXPECT_EQ(failureCell(c.status), c.failure) << c.state;
  }
}

// A scripted daemon: broker "home" (7, at cloud.example.net) whose command
// is refused with `refusal`, and whose status says `status`.
ScriptedRequester refusingDaemon(const std::string& refusal, const BrokerStatus& status) {
  ScriptedRequester fake;
  fake.answer = [refusal, status](const kv::message& request) {
    const std::vector<uint32_t> path = request.get(kv::PATH_FIELD);
    kv::message reply;
    if (path == std::vector<uint32_t>{view::HANDLER}) reply = view::encode(status);
    if (path == std::vector<uint32_t>{1}) reply = kv::failedMsg(refusal);
    if (path == std::vector<uint32_t>{2}) {
      kv::message row;
      row.set(kv::OBJECT_ID_FIELD, 7u);
      row.set(kv::NAME_FIELD, "home");
      row.set(kv::string_id(1), "cloud.example.net");
      reply.set(kv::ROWS_FIELD, std::vector<kv::message>{row});
    }
    return CallResult{true, reply, ""};
  };
  return fake;
}

TEST(BrokerStatusWords, ACommandsFailureTakesTheLastFailureOnlyWhenItIsNew) {
  using State = view::State;
  const std::string mismatch = "ssl failure [certificate verification failed: hostname mismatch]";
  const struct {
    std::vector<std::string> args;
    std::string refusal;
    uint32_t failedAt;
    std::string err;
  } cases[] = {
      // A failure from before the command is not its reason (one during it
      // is: the black-box status tests see that, and publish -l below).
      {{"subscribe", "home", "a/#"}, "Connection failed", NOW - 1000,
       "mqttctl: subscribe home: Connection failed\n"},
      // Other refusals say why themselves.
      {{"publish", "home", "a", "--no-connect"}, "Broker not connected", NOW,
       "mqttctl: publish home: Broker not connected\n"},
  };
  for (const auto& c : cases) {
    ScriptedRequester fake =
        refusingDaemon(c.refusal, statusAt(State::Idle, c.failedAt, c.failedAt, 0, mismatch));
    const Ran r = runCommand(c.args, fake);
    EXPECT_EQ(r.status, EXIT_ERROR_REPLY);
    EXPECT_EQ(r.err, c.err);
    EXPECT_EQ(r.out, "");
  }
  // publish -l: the reason follows the lines' failures.
  int lines[2];
  ASSERT_EQ(pipe(lines), 0);
  ASSERT_EQ(write(lines[1], "x\n", 2), 2);
  close(lines[1]);
  ScriptedRequester piped =
      refusingDaemon("Timeout occured", statusAt(State::Idle, NOW, NOW, 0, mismatch));
  const Ran l = runCommand({"publish", "-l", "home", "a"}, piped, lines[0]);
  close(lines[0]);
  EXPECT_EQ(l.err, "mqttctl: line 1: failed: Timeout occured\nmqttctl: publish home: Timeout "
                   "occured: certificate verification failed: hostname mismatch "
                   "(cloud.example.net)\n");
}

}  // namespace
}  // namespace mqttctl
