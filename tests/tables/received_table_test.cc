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

TEST_F(ReceivedTableTest, RecordKeepsTheWholePayloadAndHoldsAtMost1025RowsDroppingTheFirst) {
  WatchedReceivedTable table;
  ReceivedEntry& row = *table.record(7, "t", std::string("x\0y", 3), 42);
  EXPECT_EQ(&row, table.findRow(row.id));
  kv::message form;  // every field, in this order
  form.set(kv::u32_id(11), 7);
  form.set(kv::string_id(12), "t");
  form.set(kv::string_id(11), std::string("x\0y", 3));
  form.set(kv::u32_id(12), 42);
  EXPECT_EQ(form, formOf(row));
  kv::message forged = form;
  forged.set(kv::string_id(12), "forged");
  row.readFrom(forged);  // reads nothing: what arrived stays
  EXPECT_EQ(form, formOf(row));
  for (uint32_t i = 1; i < maxReceivedRows; ++i) table.record(1, "t", "", i);
  table.record(1, "t", "", 0);  // 1024 held: nothing dropped
  EXPECT_EQ(1025u, table.size());
  EXPECT_EQ(1u, table.begin()->id);
  const ReceivedEntry& latest = *table.record(2, "u", "", 0);  // 1025 held: the first goes
  EXPECT_EQ(1026u, latest.id);
  kv::message latestForm;  // nothing of the row that went
  latestForm.set(kv::u32_id(11), 2);
  latestForm.set(kv::string_id(12), "u");
  latestForm.set(kv::string_id(11), "");
  latestForm.set(kv::u32_id(12), 0);
  EXPECT_EQ(latestForm, formOf(latest));
  EXPECT_EQ(1025u, table.size());
  EXPECT_EQ(2u, table.begin()->id);
  EXPECT_EQ(nullptr, table.record(2, "", "data", 0));  // no topic: nothing recorded, nothing dropped
  EXPECT_EQ(1025u, table.size());
  EXPECT_EQ(2u, table.begin()->id);
  table.remove(table.find(500));  // the first in id order is dropped, not the gap
  table.record(2, "u", "", 0);
  table.record(2, "u", "", 0);
  EXPECT_EQ(1025u, table.size());
  EXPECT_EQ(3u, table.begin()->id);
  EXPECT_EQ(1028, table.added);

  table.clear();
  EXPECT_EQ(0u, table.size());
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
