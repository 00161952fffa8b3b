// The console's commands against a hub loop in the same process: the
// client loop and the hub loop are turned alternately, in virtual time.
#include "tools/bus_client.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <memory>
#include <string>
#include <vector>

#include "platform/looper.h"
#include "platform/system.h"
#include "tools/cli.h"
#include "tools/run_command.h"

namespace mqttctl {
namespace {

constexpr uint32_t CMD_ECHO = 0x100;    // replies with the request's own fields
constexpr uint32_t CMD_IGNORE = 0x101;  // never replies

class FakeHandler : public kv::Handler {
 public:
  void handleCmd(kv::message& request, uint32_t command) override {
    origins.push_back(request.get(kv::ORIGIN_FIELD));
    if (command == CMD_ECHO) return replyMessage(request, withoutRouting(request));
    if (command == CMD_IGNORE) return;
    kv::Handler::handleCmd(request, command);
  }
  static kv::message withoutRouting(kv::message m) {
    m.erase(kv::PATH_FIELD);
    m.erase(kv::COMMAND_FIELD);
    m.erase(kv::ORIGIN_FIELD);
    m.erase(kv::REQUEST_ID_FIELD);
    m.erase(kv::RIGHTS_FIELD);
    return m;
  }
  std::vector<uint32_t> origins;
};

class BusClientTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/mqttctl-bus-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir = tmpl;
    hub = makeLoop(kv::LooperOptions::Mode::Hub);
    ASSERT_TRUE(hub->status().isOk()) << hub->status().toString();
    ASSERT_TRUE(hub->addHandler(std::vector<uint32_t>{24, 17}, &handler));
    client = makeLoop(kv::LooperOptions::Mode::Peer);
    ASSERT_TRUE(client->status().isOk()) << client->status().toString();
  }
  void TearDown() override {
    client.reset();
    hub.reset();
    rmdir(dir.c_str());
  }
  std::unique_ptr<kv::Looper> makeLoop(kv::LooperOptions::Mode mode) {
    kv::LooperOptions options;
    options.mode = mode;
    options.clock = &clock;
    options.busPath = dir + "/kvbus";
    options.log = [this](int, const std::string& text) { logLines.push_back(text); };
    return std::make_unique<kv::Looper>(options);
  }
  // One turn of each loop; virtual time moves one tick per turn, so a
  // request that gets no answer times out after `timeoutTicks` turns.
  void turnBoth() {
    if (hub) hub->turn(0);
    client->turn(0);
    clock.advance(1);
    if (++turns == 100000) {
      ADD_FAILURE() << "the client is still waiting; forcing its time-out";
      clock.advance(1u << 30);
    }
  }
  Ran exec(const std::vector<std::string>& args, uint32_t timeoutTicks = 1000) {
    BusClient bus(*client, timeoutTicks, [this] { turnBoth(); });
    return runCommand(args, bus);
  }

  kv::ManualClock clock{100};
  std::string dir;
  FakeHandler handler;
  std::unique_ptr<kv::Looper> hub;
  std::unique_ptr<kv::Looper> client;
  std::vector<std::string> logLines;
  int turns = 0;
};

TEST_F(BusClientTest, FieldsCrossTheBusAndComeBackIntact) {
  Ran r = exec({"--json", "send", "24.17", "0x100", "string:1=a\\0b\\xff", "be32:2=10.1.2.3",
                "msga:3=[[{\"type\":\"u64\",\"num\":1,\"value\":18446744073709551615}]]"});
  EXPECT_EQ(r.status, EXIT_SUCCESS_REPLY) << r.err;
  EXPECT_EQ(r.out,
            "[{\"type\":\"string\",\"num\":1,\"hex\":\"610062ff\"},"
            "{\"type\":\"be32\",\"num\":2,\"value\":\"10.1.2.3\"},"
            "{\"type\":\"msga\",\"num\":3,\"value\":[[{\"type\":\"u64\",\"num\":1,"
            "\"value\":18446744073709551615}]]}]\n");
  // The request came from a bus connection, not from inside the hub.
  ASSERT_EQ(handler.origins.size(), 1u);
  EXPECT_NE(handler.origins[0], 0u);
}

TEST_F(BusClientTest, NoAnswerTimesOutInVirtualTime) {
  kv::Ticks start = clock.now();
  uint32_t ticks = millisToTicks(2500, clock.ticksPerSecond());
  Ran r = exec({"send", "24.17", "0x101"}, ticks);
  EXPECT_EQ(r.status, EXIT_UNREACHABLE);
  EXPECT_PRED_FORMAT2(testing::IsSubstring, "time-out", r.err);
  EXPECT_GE(clock.now() - start, kv::Ticks{250});
  EXPECT_LT(clock.now() - start, kv::Ticks{260});
}

TEST_F(BusClientTest, TheHubGoingAwayEndsTheWait) {
  BusClient bus(*client, 100000, [this] {
    turnBoth();
    if (turns == 5) hub.reset();
  });
  kv::message request;
  request.set(kv::PATH_FIELD, std::vector<uint32_t>{24, 17});
  request.set(kv::COMMAND_FIELD, CMD_IGNORE);
  CallResult result = bus.call(request);
  EXPECT_EQ(exitStatusFor(result), EXIT_UNREACHABLE);
  EXPECT_LT(turns, 1000);  // ended by the disconnection, not the time-out
}

}  // namespace
}  // namespace mqttctl
