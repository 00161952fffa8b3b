// The console's commands against a hub loop in the same process: the
// client loop and the hub loop are turned alternately, in virtual time.
#include "tools/bus_client.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <map>
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
constexpr uint32_t CMD_REFUSE = 0x102;  // replies with a failure
constexpr size_t PAGE_ROWS = 2;

// A small table: rows by id, get-all in pages of PAGE_ROWS.
class FakeTable : public kv::Handler {
 public:
  void handleCmd(kv::message& request, uint32_t command) override {
    origins.push_back(request.get(kv::ORIGIN_FIELD));
    if (command == CMD_ECHO) return replyMessage(request, withoutRouting(request));
    if (command == CMD_IGNORE) return;
    if (command == CMD_REFUSE) return replyMessage(request, kv::failedMsg("refused"));
    kv::Handler::handleCmd(request, command);
  }
  void cmdAddObj(kv::message& request) override {
    kv::message row = withoutRouting(request);
    row.set(kv::OBJECT_ID_FIELD, nextId);
    rows[nextId] = row;
    kv::message reply;
    reply.set(kv::OBJECT_ID_FIELD, nextId);
    nextId += 3;  // ids with gaps, as after removals
    replyMessage(request, reply);
  }
  void cmdGetAll(kv::message& request) override {
    auto it = request.has(kv::AFTER_ID_FIELD) ? rows.upper_bound(request.get(kv::AFTER_ID_FIELD))
                                              : rows.begin();
    std::vector<kv::message> page;
    for (; it != rows.end() && page.size() < PAGE_ROWS; ++it) page.push_back(it->second);
    kv::message reply;
    reply.set(kv::ROWS_FIELD, page);
    if (it != rows.end()) reply.set(kv::MORE_FIELD, true);
    ++getAllCalls;
    replyMessage(request, reply);
  }
  static kv::message withoutRouting(kv::message m) {
    m.erase(kv::PATH_FIELD);
    m.erase(kv::COMMAND_FIELD);
    m.erase(kv::ORIGIN_FIELD);
    m.erase(kv::REQUEST_ID_FIELD);
    m.erase(kv::RIGHTS_FIELD);
    return m;
  }

  std::map<uint32_t, kv::message> rows;
  uint32_t nextId = 1;
  int getAllCalls = 0;
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
    ASSERT_TRUE(hub->addHandler(std::vector<uint32_t>{24, 17}, &table));
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
  FakeTable table;
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
  ASSERT_EQ(table.origins.size(), 1u);
  EXPECT_NE(table.origins[0], 0u);
}

TEST_F(BusClientTest, TableCommandsEndToEnd) {
  for (const char* name : {"b1", "b2", "b3", "b4", "b5"}) {
    Ran r = exec({"add", "24.17", std::string("string:name=") + name});
    ASSERT_EQ(r.status, EXIT_SUCCESS_REPLY) << r.err;
  }
  Ran r = exec({"list", "24,17"});
  EXPECT_EQ(r.status, EXIT_SUCCESS_REPLY) << r.err;
  EXPECT_EQ(table.getAllCalls, 3);  // five rows in pages of two
  EXPECT_NE(
      r.out.find("row 5:\n  string 0xfe0010 (name) = \"b5\"\n  u32 0xfe0011 (object-id) = 13\n"),
      std::string::npos)
      << r.out;
}

TEST_F(BusClientTest, FailuresAndUnknownPathsAreErrorReplies) {
  Ran r = exec({"send", "24.17", "0x102"});
  EXPECT_EQ(r.status, EXIT_ERROR_REPLY);
  EXPECT_EQ(r.err, "mqttctl: failed: refused\n");
  r = exec({"send", "24.17", "0x7777"});
  EXPECT_EQ(r.status, EXIT_ERROR_REPLY);
  EXPECT_NE(r.err.find("(unknown-command)"), std::string::npos) << r.err;
  r = exec({"count", "99"});
  EXPECT_EQ(r.status, EXIT_ERROR_REPLY);
  EXPECT_NE(r.err.find("(no-route)"), std::string::npos) << r.err;
}

TEST_F(BusClientTest, NoAnswerTimesOutInVirtualTime) {
  kv::Ticks start = clock.now();
  uint32_t ticks = millisToTicks(2500, clock.ticksPerSecond());
  Ran r = exec({"send", "24.17", "0x101"}, ticks);
  EXPECT_EQ(r.status, EXIT_UNREACHABLE);
  EXPECT_NE(r.err.find("(timeout)"), std::string::npos) << r.err;
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
