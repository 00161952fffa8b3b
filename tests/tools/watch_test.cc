// received watch against a scripted received-message table that grows
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
  // Records a message (ids 1, 2, ... in order).
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

  // Get-all on [4] in pages of two; [2] holds brokers 1 "home" and 2 "lab".
  CallResult answer(const kv::message& request) {
    if (failing) return CallResult{true, kv::errorMsg(kv::ERR_PEER_GONE, "peer disconnected"), ""};
    kv::message reply;
    std::vector<kv::message> page;
    if (request.get(kv::PATH_FIELD) == std::vector<uint32_t>{2}) {
      for (uint32_t id : {1, 2}) {
        page.emplace_back();
        page.back().set(kv::OBJECT_ID_FIELD, id);
        page.back().set(kv::NAME_FIELD, id == 1 ? "home" : "lab");
      }
    }
    const uint32_t after = request.get(kv::AFTER_ID_FIELD);
    for (const kv::message& row : request.get(kv::PATH_FIELD) == std::vector<uint32_t>{4}
                                      ? rows_ : std::vector<kv::message>()) {
      if (row.get(kv::OBJECT_ID_FIELD) <= after) continue;
      if (page.size() == 2) {
        reply.set(kv::MORE_FIELD, true);
        break;
      }
      page.push_back(row);
    }
    reply.set(kv::ROWS_FIELD, page);
    return CallResult{true, reply, ""};
  }
  bool failing = false;

 private:
  std::vector<kv::message> rows_;
  uint32_t lastId_ = 0;
};

// Runs `args` while `table` changes at each pause: step(n) for the n-th
// pause (from 0); the watch is interrupted after `steps` pauses.
Ran watch(const std::vector<std::string>& args, FakeReceivedTable& table, int steps,
          std::function<void(int)> step) {
  ScriptedRequester fake;
  fake.answer = [&table](const kv::message& r) { return table.answer(r); };
  int paused = 0;
  fake.onPause = [&] { step(paused++); };
  fake.pauses = steps;
  return runCommand(args, fake);
}

TEST(Watch, PrintsExactlyWhatIsRecordedWhileItRuns) {
  FakeReceivedTable table;
  for (int i = 0; i < 3; ++i) table.record(1, "before", "x");
  Ran r = watch({"received", "watch"}, table, 4, [&table](int n) {
    if (n == 0) {
      table.record(1, "a/b", "one");
      table.record(2, "a/c", "two\nlines");  // control characters are escaped
      table.record(1, "a/b", "three");       // a second page
    }
    if (n == 2) table.record(2, "x", "{\"v\":4}");
  });
  EXPECT_EQ(r.status, EXIT_SUCCESS_REPLY) << r.err;
  EXPECT_EQ(r.out, "a/b one\na/c two\\nlines\na/b three\nx {\"v\":4}\n");
  EXPECT_EQ(r.err, "");
}

TEST(Watch, FiltersByBrokerAndTopicAndWritesJsonLines) {
  FakeReceivedTable table;
  auto step = [&table](int n) {
    if (n != 0) return;
    table.record(1, "a/b", "1");
    table.record(2, "a/b", "2");
    table.record(1, "c", "3");
    table.record(1, "a", "4");
  };
  EXPECT_EQ(watch({"received", "watch", "home"}, table, 1, step).out, "a/b 1\nc 3\na 4\n");
  EXPECT_EQ(watch({"received", "watch", "--topic", "a/#"}, table, 1, step).out,
            "a/b 1\na/b 2\na 4\n");
  EXPECT_EQ(watch({"--json", "received", "watch", "lab"}, table, 1, step).out,
            "{\"id\":10,\"time\":1010,\"broker\":\"lab\",\"broker-id\":2,\"topic\":\"a/b\","
            "\"data\":\"2\"}\n");
}

TEST(Watch, RowsThatWentByUnseenAreCountedAndALostDaemonEndsIt) {
  FakeReceivedTable table;
  table.record(1, "before", "x");
  Ran r = watch({"received", "watch"}, table, 3, [&table](int n) {
    if (n != 1) return;
    for (int i = 0; i < 4; ++i) table.record(1, "t", std::to_string(i));
    table.dropNewest(2);
    table.record(1, "t", "after the gap");
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
