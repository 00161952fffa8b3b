// The received-message table: record() holds at most 1025 rows, dropping
// the first in id order; requesters may read and remove rows but not add
// or change them; rows are never stored nor loaded.
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

class ReceivedTableTest : public TableFixture {};

// The message form of a received row, every field in this order.
kv::message receivedForm(uint32_t brokerId, const std::string& topic, const std::string& data,
                         uint32_t time) {
  kv::message form;
  form.set(kv::u32_id(11), brokerId);
  form.set(kv::string_id(12), topic);
  form.set(kv::string_id(11), data);
  form.set(kv::u32_id(12), time);
  return form;
}

// (That the table keeps the newest 1025 of a stream of arrivals, the
// service's tests of arriving messages see.)
TEST_F(ReceivedTableTest, RecordKeepsWhatArrivedAndDropsTheFirstInIdOrderWhenFull) {
  WatchedReceivedTable table;
  ReceivedEntry& row = *table.record(7, "t", std::string("x\0y", 3), 42);
  const kv::message form = receivedForm(7, "t", std::string("x\0y", 3), 42);
  EXPECT_EQ(form, formOf(row));
  row.readFrom(receivedForm(7, "forged", "", 0));  // reads nothing: what arrived stays
  EXPECT_EQ(form, formOf(row));
  for (uint32_t i = 0; i < maxReceivedRows; ++i) table.record(1, "t", "", i);  // 1025 held
  // Full: the oldest row is reused, with nothing left of it.
  EXPECT_EQ(receivedForm(2, "u", "", 0), formOf(*table.record(2, "u", "", 0)));
  EXPECT_EQ(2u, table.begin()->id);
  EXPECT_EQ(nullptr, table.record(2, "", "data", 0));  // no topic: nothing recorded, nothing dropped
  table.remove(table.find(500));  // the first in id order is dropped, not the gap
  table.record(2, "u", "", 0);
  table.record(2, "u", "", 0);
  EXPECT_EQ(1025u, table.size());
  EXPECT_EQ(3u, table.begin()->id);
  EXPECT_EQ(1028, table.added);
  table.clear();
  EXPECT_EQ(1029u, table.record(1, "t", "", 0)->id);  // ids go on after a clear
}

TEST_F(ReceivedTableTest, RequestersMayReadAndRemoveButNotAddOrChange) {
  WatchedReceivedTable table;
  ASSERT_TRUE(loop_->addHandler(RECEIVED, &table));
  const uint32_t first = table.record(1, "a", "1", 10)->id;
  const uint32_t second = table.record(1, "b", "2", 11)->id;
  kv::message fields;
  fields.set(kv::string_id(12), "forged");
  EXPECT_EQ(kv::errorMsg(kv::ERR_NOT_SUPPORTED, ""), addRow(RECEIVED, fields));
  EXPECT_EQ(kv::errorMsg(kv::ERR_NOT_SUPPORTED, ""), setRow(RECEIVED, first, fields));
  EXPECT_EQ("a", table.findRow(first)->topic);
  EXPECT_EQ("b", getRow(RECEIVED, second).get(kv::string_id(12)));
  EXPECT_TRUE(removeRow(RECEIVED, first).empty());
  ASSERT_EQ(1u, table.size());
  EXPECT_EQ(second, table.begin()->id);

  // Refusal is the default of every table: one that does not override
  // removal refuses it too.
  TypedTable<ReceivedEntry> bare(STORE, 0, -2);
  ASSERT_TRUE(loop_->addHandler(RECEIVED + 1, &bare));
  const uint32_t kept = bare.add(std::make_unique<ReceivedEntry>(), false);
  EXPECT_EQ(kv::errorMsg(kv::ERR_NOT_SUPPORTED, ""), removeRow(RECEIVED + 1, kept));
  EXPECT_EQ(1u, bare.size());
}

TEST_F(ReceivedTableTest, RowsAreNeverStoredNorLoaded) {
  {
    // A file left at the path by a table that stores its rows.
    BrokerTable storing(STORE, 1, -2);
    storing.add(std::make_unique<BrokerEntry>(), false);
    ASSERT_TRUE(storing.flush().isOk());
  }
  const std::string file = storeFile(STORE);
  const auto sizeBefore = std::filesystem::file_size(file);
  {
    WatchedReceivedTable table;
    ASSERT_TRUE(table.init().isOk());
    EXPECT_EQ(0u, table.size());
    table.record(1, "t", "d", 0);
    table.remove(table.begin());
    clock_.advance(10 * clock_.ticksPerSecond());  // past any save the changes scheduled
    loop_->turn();
    EXPECT_TRUE(table.flush().isOk());
    EXPECT_EQ(0u, table.saveCount());
  }  // nor at destruction
  EXPECT_EQ(sizeBefore, std::filesystem::file_size(file));
}

}  // namespace
