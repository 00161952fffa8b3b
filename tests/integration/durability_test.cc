// The daemon killed with SIGKILL while many adds are in flight on the bus,
// then restarted: every add that was answered with success is there with
// all its fields, no add that was refused ever is, an add that was not
// answered is there whole or not at all, and no temporary or set-aside
// file is left in the store.
#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "harness.h"
#include "platform/looper.h"
#include "platform/system.h"

namespace {

constexpr uint32_t BROKERS = 2, SUBSCRIPTIONS = 3;
constexpr int ROUNDS = 20;
constexpr uint32_t WINDOW = 32;          // adds in flight
constexpr uint32_t MOST_ACKS_PER_ROUND = 200;

struct Add {
  uint32_t table;
  kv::message fields;
  enum State { InFlight, Stored, Refused } state = InFlight;
  uint32_t id = 0;  // Stored: the id the reply gave
};

// A broker row, or every fifth add a subscription row; every seventh add
// repeats an earlier name or topic and must be refused.
Add makeAdd(size_t n) {
  Add add;
  const bool repeat = n % 7 == 6;
  const size_t key = repeat ? n - 5 : n;
  add.table = key % 5 == 4 ? SUBSCRIPTIONS : BROKERS;
  const std::string text = std::to_string(key);
  if (add.table == BROKERS) {
    add.fields.set(kv::NAME_FIELD, "broker-" + text);
    add.fields.set(kv::string_id(1), (repeat ? "refused-" : "host-") + std::to_string(n));
    add.fields.set(kv::u32_id(2), static_cast<uint32_t>(1000 + n));
    add.fields.set(kv::bool_id(3), n % 2 == 0);
    add.fields.set(kv::u32_id(10), static_cast<uint32_t>(30 + n));
    add.fields.set(kv::string_id(5), "user" + text);
    add.fields.set(kv::string_id(6), "password" + std::to_string(n * 7919));
  } else {
    add.fields.set(kv::u32_id(11), 1u);
    add.fields.set(kv::string_id(12), "topic/" + text + "/+");
    add.fields.set(kv::u32_id(13), static_cast<uint32_t>(n % 3));
    add.fields.set(kv::string_id(11), (repeat ? "refused-" : "script-") + std::to_string(n));
  }
  return add;
}

// Every field `sent` has is in `row` with the same value.
bool holdsAll(const kv::message& row, const kv::message& sent) {
  for (const auto& field : sent.fields()) {
    const auto& have = row.fields();
    if (std::find(have.begin(), have.end(), field) == have.end()) return false;
  }
  return true;
}

class KillTest : public ::testing::Test {
 protected:
  void TearDown() override {
    peer_.reset();
    daemon_.stop();
  }

  void start() {
    ASSERT_TRUE(daemon_.start()) << daemon_.errors();
    kv::LooperOptions options;
    options.mode = kv::LooperOptions::Mode::Peer;
    options.busPath = root_.path() + "/ram/kvbus";
    peer_ = std::make_unique<kv::Looper>(options);
    ASSERT_TRUE(peer_->status().isOk()) << peer_->status().toString();
  }

  // Sends adds, WINDOW in flight, until `acks` of them are answered; then
  // kills the daemon with SIGKILL and drops the peer.
  void addUntilKilled(uint32_t acks) {
    uint32_t answered = 0, inFlight = 0, turns = 0;
    while (answered < acks) {
      while (inFlight < WINDOW) {
        const size_t n = adds_.size();
        adds_.push_back(makeAdd(n));
        kv::message request = adds_[n].fields;
        request.set(kv::PATH_FIELD, std::vector<uint32_t>{adds_[n].table});
        request.set(kv::COMMAND_FIELD, kv::CMD_ADD_OBJ);
        ++inFlight;
        peer_->postMessage(request, [this, n, &answered, &inFlight](const kv::message& reply) {
          --inFlight;
          Add& add = adds_[n];
          if (kv::getErrorCode(reply) == kv::ERR_PEER_GONE || kv::getErrorCode(reply) == kv::ERR_TIMEOUT) return;
          ++answered;
          add.state = kv::isError(reply) ? Add::Refused : Add::Stored;
          add.id = reply.get(kv::OBJECT_ID_FIELD, 0);
        }, 6000);
      }
      peer_->turn(100);
      if (++turns > 10000) {
        ADD_FAILURE() << "the daemon stopped answering";
        break;
      }
    }
    daemon_.stop(SIGKILL);
    peer_.reset();
  }

  // Every row of a table, by object id.
  std::map<uint32_t, kv::message> rowsOf(uint32_t table) {
    std::map<uint32_t, kv::message> rows;
    kv::message request;
    request.set(kv::PATH_FIELD, std::vector<uint32_t>{table});
    for (bool more = true; more;) {
      kv::message reply = peer_->exchangeCmd(request, kv::CMD_GET_ALL, 6000);
      EXPECT_FALSE(kv::isError(reply)) << kv::getError(reply);
      std::vector<kv::message> page = reply.get(kv::ROWS_FIELD);
      for (const kv::message& row : page) rows[row.get(kv::OBJECT_ID_FIELD)] = row;
      more = reply.get(kv::MORE_FIELD) && !page.empty();
      if (more) request.set(kv::AFTER_ID_FIELD, page.back().get(kv::OBJECT_ID_FIELD));
    }
    return rows;
  }

  // Checks the restarted daemon's tables against every add sent so far.
  void checkTables() {
    std::map<uint32_t, std::map<uint32_t, kv::message>> rows{{BROKERS, rowsOf(BROKERS)},
                                                              {SUBSCRIPTIONS, rowsOf(SUBSCRIPTIONS)}};
    size_t present = 0;
    for (Add& add : adds_) {
      auto& table = rows[add.table];
      if (add.state == Add::Stored) {
        ASSERT_TRUE(table.count(add.id)) << "stored add lost: id " << add.id;
        EXPECT_TRUE(holdsAll(table[add.id], add.fields)) << "row " << add.id << " lost fields";
        table.erase(add.id);
        continue;
      }
      for (auto row = table.begin(); row != table.end(); ++row) {
        if (!holdsAll(row->second, add.fields)) continue;
        EXPECT_NE(Add::Refused, add.state) << "refused add is present as row " << row->first;
        add.state = Add::Stored;  // not answered, but stored whole: it stays from now on
        add.id = row->first;
        table.erase(row);
        ++present;
        break;
      }
    }
    unansweredPresent_ += present;
    for (const auto& table : rows) EXPECT_TRUE(table.second.empty()) << table.second.size() << " rows nobody added";
  }

  std::vector<std::string> strayFiles() {
    std::vector<std::string> stray;
    const std::string store = root_.path() + "/korv/store";
    for (const auto& entry : std::filesystem::recursive_directory_iterator(store)) {
      const std::string name = entry.path().filename().string();
      if (entry.is_regular_file() && name != "rows" && name != "journal") stray.push_back(name);
    }
    return stray;
  }

  harness::TempRoot root_;
  harness::Daemon daemon_{root_.path()};
  std::unique_ptr<kv::Looper> peer_;
  std::vector<Add> adds_;
  size_t unansweredPresent_ = 0;
  const uint32_t seed_ = std::random_device{}();
  std::mt19937 rng_{seed_};
};

TEST_F(KillTest, EveryAnsweredAddSurvivesSigkillAndNoRefusedOneAppears) {
  SCOPED_TRACE("seed " + std::to_string(seed_));
  for (int round = 0; round < ROUNDS; ++round) {
    ASSERT_NO_FATAL_FAILURE(start());
    if (round > 0) {
      ASSERT_NO_FATAL_FAILURE(checkTables());
    }
    addUntilKilled(std::uniform_int_distribution<uint32_t>(0, MOST_ACKS_PER_ROUND)(rng_));
  }
  ASSERT_NO_FATAL_FAILURE(start());
  ASSERT_NO_FATAL_FAILURE(checkTables());
  EXPECT_EQ(std::vector<std::string>{}, strayFiles());
  size_t stored = 0, refused = 0;
  for (const Add& add : adds_) {
    stored += add.state == Add::Stored;
    refused += add.state == Add::Refused;
  }
  printf("kill test: %d kills, %zu adds sent, %zu stored (%zu of them unanswered when killed), "
         "%zu refused, %zu unanswered and absent\n",
         ROUNDS, adds_.size(), stored, unansweredPresent_, refused, adds_.size() - stored - refused);
}

}  // namespace
