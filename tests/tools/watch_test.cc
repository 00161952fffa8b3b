// received watch against a fake daemon whose received-message table grows
// between polls and answers get-all in pages of two rows.
#include "tools/watch.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "platform/system.h"
#include "tools/run_command.h"

namespace mqttctl {
namespace {

class FakeReceivedTable {
 public:
  // Records a message (ids 1, 2, ... in order; time 1000 + id).
  void record(uint32_t brokerId, const std::string& topic, const std::string& data) {
    kv::message row;
    row.set(kv::OBJECT_ID_FIELD, ++lastId_);
    row.set(kv::u32_id(11), brokerId);
    row.set(kv::string_id(12), topic);
    row.set(kv::string_id(11), data);
    row.set(kv::u32_id(12), 1000 + lastId_);
    rows_.push_back(row);
  }
  // Drops the `n` newest rows, as if they had gone before anyone saw them.
  void dropNewest(size_t n) { rows_.resize(rows_.size() - n); }

  // Get-all on [4], the rows after AFTER_ID_FIELD in pages of two.
  kv::message page(const kv::message& request) const {
    if (failing) return kv::errorMsg(kv::ERR_PEER_GONE, "peer disconnected");
    kv::message reply;
    std::vector<kv::message> page;
    for (const kv::message& row : rows_) {
      if (row.get(kv::OBJECT_ID_FIELD) <= request.get(kv::AFTER_ID_FIELD)) continue;
      if (page.size() == 2) {
        reply.set(kv::MORE_FIELD, true);
        break;
      }
      page.push_back(row);
    }
    reply.set(kv::ROWS_FIELD, page);
    return reply;
  }
  bool failing = false;

 private:
  std::vector<kv::message> rows_;
  uint32_t lastId_ = 0;
};

// Runs `args` while `table` changes at each pause: step(n) at the n-th
// pause (from 0); the watch is interrupted after `steps` pauses. The time
// its pauses took, in `elapsedMillis` when given.
Ran watch(const std::vector<std::string>& args, FakeReceivedTable& table, int steps,
          std::function<void(int)> step, uint64_t* elapsedMillis = nullptr) {
  ScriptedRequester fake = fakeDaemon([&table](const kv::message& r) { return table.page(r); });
  int paused = 0;
  fake.onPause = [&] { step(paused++); };
  fake.pauses = steps;
  const Ran r = runCommand(args, fake);
  if (elapsedMillis) *elapsedMillis = fake.clockMillis;
  return r;
}

// Brokers 7 "home" and 2 "lab"; one message before the watch starts, three
// (two pages) at the first pause and one at the second; the watch is
// interrupted after `pauses`, each moving its clock by the time it asks.
Ran watchTwoSteps(const std::vector<std::string>& args, int pauses = 2,
                  uint64_t* elapsedMillis = nullptr) {
  FakeReceivedTable table;
  table.record(7, "before", "x");
  return watch(args, table, pauses, [&table](int n) {
    if (n == 0) {
      table.record(7, "a/b", "1");
      table.record(2, "a/b", "2");
      table.record(7, "c", "3\n");  // control characters are escaped
    }
    if (n == 1) table.record(7, "a", "4");
  }, elapsedMillis);
}

TEST(Watch, PrintsWhatIsRecordedWhileItRunsFilteredByBrokerOrTopics) {
  const struct { std::vector<std::string> args; const char* out; } cases[] = {
      {{"received", "watch"}, "a/b 1\na/b 2\nc 3\\n\na 4\n"},
      {{"received", "watch", "home"}, "a/b 1\nc 3\\n\na 4\n"},
      {{"received", "watch", "--topic", "a/#"}, "a/b 1\na/b 2\na 4\n"},
      {{"received", "watch", "--topic", "a", "--topic=c"}, "c 3\\n\na 4\n"},
      {{"received", "watch", "--payload-only", "home"}, "1\n3\\n\n4\n"},
      {{"--json", "received", "watch", "lab"},
       "{\"id\":3,\"time\":1003,\"broker\":\"lab\",\"broker-id\":2,\"topic\":\"a/b\","
       "\"data\":\"2\"}\n"},
      {{"--json", "received", "watch", "--payload-only", "--topic", "c"}, "\"3\\n\"\n"},
  };
  for (const auto& c : cases) {
    const Ran r = watchTwoSteps(c.args);
    EXPECT_EQ(r.status, EXIT_SUCCESS_REPLY) << r.err;
    EXPECT_EQ(r.out, c.out) << testing::PrintToString(c.args);
    EXPECT_EQ(r.err, "");
  }
}

// -C ends the watch at its count, -W at its time limit (0.25 s pauses, the
// last one shortened to meet it). (Both together, and a limit that comes
// before the count, the black-box watch test sees.)
TEST(Watch, StopsAtItsCountOrItsTimeLimit) {
  const struct { std::vector<std::string> args; uint64_t elapsedMillis; const char* out; } cases[] = {
      {{"received", "watch", "-C", "2"}, 250, "a/b 1\na/b 2\n"},
      {{"received", "watch", "-W", "0.3"}, 300, "a/b 1\na/b 2\nc 3\\n\na 4\n"},
      {{"received", "watch", "-W", "0.25"}, 250, "a/b 1\na/b 2\nc 3\\n\n"},
  };
  for (const auto& c : cases) {
    uint64_t elapsed = 0;
    const Ran r = watchTwoSteps(c.args, 100, &elapsed);
    EXPECT_EQ(elapsed, c.elapsedMillis) << testing::PrintToString(c.args);
    EXPECT_EQ(r.status, EXIT_SUCCESS_REPLY) << r.err;
    EXPECT_EQ(r.out, c.out) << testing::PrintToString(c.args);
  }
}

TEST(Watch, RowsThatWentByUnseenAreCountedAndALostDaemonEndsIt) {
  FakeReceivedTable table;
  table.record(7, "before", "x");
  Ran r = watch({"received", "watch"}, table, 3, [&table](int n) {
    if (n != 1) return;
    for (int i = 0; i < 4; ++i) table.record(7, "t", std::to_string(i));
    table.dropNewest(2);
    table.record(7, "t", "after the gap");
  });
  EXPECT_EQ(r.out, "t 0\nt 1\nt after the gap\n");
  EXPECT_EQ(r.err, "mqttctl: 2 message(s) went by unseen: dropped from the table or removed "
                   "before this watch read them\n");

  r = watch({"received", "watch"}, table, 3, [&table](int n) { table.failing = n == 1; });
  EXPECT_EQ(r.status, EXIT_UNREACHABLE);
  EXPECT_PRED_FORMAT2(testing::IsSubstring, "connection closed", r.err);
}

}  // namespace
}  // namespace mqttctl
