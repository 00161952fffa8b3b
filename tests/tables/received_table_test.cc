#include "tables/received_table.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "support/table_fixture.h"
#include "tables/broker_table.h"

namespace {

constexpr uint32_t RECEIVED = 4;
const char* const STORE = "/korv/store/test/recv";

// Counts the notifications that record() asks for.
struct WatchedReceivedTable : ReceivedTable {
  WatchedReceivedTable() : ReceivedTable(STORE, 1, -2) {}
  void rowAdded(Object&) override { ++added; }
  int added = 0;
};

std::vector<uint32_t> ids(ReceivedTable& table) {
  std::vector<uint32_t> out;
  for (ReceivedEntry& row : table) out.push_back(row.id);
  return out;
}

TEST(ReceivedEntryForm, WritesEveryFieldInOrderAndReadsNothing) {
  ReceivedEntry row;
  row.brokerId = 3;
  row.topic = "a/b";
  row.data = std::string("\0\xff", 2);
  row.time = 1700000000;
  kv::message expected;
  expected.set(kv::u32_id(11), 3);
  expected.set(kv::string_id(12), "a/b");
  expected.set(kv::string_id(11), std::string("\0\xff", 2));
  expected.set(kv::u32_id(12), 1700000000);
  kv::message written;
  row.writeTo(written);
  EXPECT_EQ(expected, written);

  ReceivedEntry blank;
  blank.readFrom(written);
  kv::message stillBlank;
  blank.writeTo(stillBlank);
  EXPECT_EQ("", stillBlank.get(kv::string_id(12)));
  EXPECT_EQ(0u, stillBlank.get(kv::u32_id(12), 9));
}

class ReceivedTableTest : public TableFixture {};

TEST_F(ReceivedTableTest, RecordKeepsTheWholePayloadAndNotifies) {
  WatchedReceivedTable table;
  ReceivedEntry& row = table.record(7, "t", std::string("x\0y", 3), 42);
  EXPECT_EQ(&row, table.findRow(row.id));
  EXPECT_EQ(7u, row.brokerId);
  EXPECT_EQ("t", row.topic);
  EXPECT_EQ(std::string("x\0y", 3), row.data);
  EXPECT_EQ(42u, row.time);
  EXPECT_EQ("", table.record(7, "t", "", 43).data);
  EXPECT_EQ(2, table.added);
}

TEST_F(ReceivedTableTest, HoldsAtMost1025RowsDroppingTheFirst) {
  WatchedReceivedTable table;
  for (uint32_t i = 0; i < maxReceivedRows; ++i) table.record(1, "t", "", i);
  EXPECT_EQ(1024u, table.size());
  table.record(1, "t", "", 0);  // 1024 held: nothing dropped
  EXPECT_EQ(1025u, table.size());
  EXPECT_EQ(1u, table.begin()->id);
  const uint32_t newest = table.record(2, "u", "", 0).id;  // 1025 held: the first goes
  EXPECT_EQ(1025u, table.size());
  EXPECT_EQ(1026u, newest);
  EXPECT_EQ(2u, table.begin()->id);
  table.remove(table.find(500));  // the first in id order is dropped, not the gap
  table.record(2, "u", "", 0);
  EXPECT_EQ(1025u, table.size());
  table.record(2, "u", "", 0);
  EXPECT_EQ(1025u, table.size());
  EXPECT_EQ(3u, table.begin()->id);
}

TEST_F(ReceivedTableTest, RequestersMayReadAndRemoveButNotAddOrChange) {
  WatchedReceivedTable table;
  ASSERT_TRUE(loop_->addHandler(RECEIVED, &table));
  const uint32_t first = table.record(1, "a", "1", 10).id;
  const uint32_t second = table.record(1, "b", "2", 11).id;
  kv::message fields;
  fields.set(kv::string_id(12), "forged");
  fields.set(kv::string_id(11), "data");
  EXPECT_EQ(kv::errorMsg(kv::ERR_NOT_SUPPORTED, ""), addRow(RECEIVED, fields));
  EXPECT_EQ(kv::errorMsg(kv::ERR_NOT_SUPPORTED, ""), setRow(RECEIVED, first, fields));
  EXPECT_EQ(2u, table.size());
  EXPECT_EQ("a", table.findRow(first)->topic);

  kv::message got = getRow(RECEIVED, second);
  EXPECT_EQ("b", got.get(kv::string_id(12)));
  EXPECT_EQ("2", got.get(kv::string_id(11)));
  EXPECT_TRUE(removeRow(RECEIVED, first).empty());
  EXPECT_EQ(std::vector<uint32_t>{second}, ids(table));
}

TEST_F(ReceivedTableTest, ClearEmptiesTheTable) {
  WatchedReceivedTable table;
  table.clear();
  EXPECT_EQ(0u, table.size());
  for (int i = 0; i < 5; ++i) table.record(1, "t", "", 0);
  table.clear();
  EXPECT_EQ(0u, table.size());
  EXPECT_EQ(6u, table.record(1, "t", "", 0).id);  // ids go on: ids are never reused early
}

TEST_F(ReceivedTableTest, RowsAreNeverStoredNorLoaded) {
  {
    // A file left at the path by a table that stores its rows.
    BrokerTable storing(STORE, 1, -2);
    BrokerEntry b;
    b.name = "b";
    storing.add(std::make_unique<BrokerEntry>(b), false);
    ASSERT_TRUE(storing.flush().isOk());
  }
  const std::string file = storeFile(STORE);
  const auto sizeBefore = std::filesystem::file_size(file);
  {
    WatchedReceivedTable table;
    ASSERT_TRUE(table.init().isOk());
    EXPECT_EQ(0u, table.size());
    for (int i = 0; i < 50; ++i) table.record(1, "t", "d", 0);
    table.remove(table.begin());
    table.markChanged();
    for (int turn = 0; turn < 5; ++turn) {
      clock_.advance(10 * clock_.ticksPerSecond());
      loop_->turn();
    }
    EXPECT_FALSE(table.dirty());
    EXPECT_TRUE(table.flush().isOk());
    EXPECT_EQ(0u, table.saveCount());
  }
  EXPECT_EQ(sizeBefore, std::filesystem::file_size(file));
  WatchedReceivedTable restarted;
  ASSERT_TRUE(restarted.init().isOk());
  EXPECT_EQ(0u, restarted.size());
}

}  // namespace
