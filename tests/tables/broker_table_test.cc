#include "tables/broker_table.h"

#include <gtest/gtest.h>

#include "support/table_fixture.h"

namespace {

constexpr uint32_t BROKERS = 2;
const char* const STORE = "/korv/store/test/brokers";

kv::message broker(const std::string& name, const std::string& address) {
  kv::message m;
  m.set(kv::NAME_FIELD, name);
  m.set(kv::string_id(1), address);
  return m;
}

// ---- Message form -----------------------------------------------------------

TEST(BrokerEntryForm, DefaultRowWritesItsDefaultsInOrderAndNoOptionalFields) {
  BrokerEntry row;
  EXPECT_EQ(Object::NO_ID, row.id);
  kv::message expected;
  expected.set(kv::NAME_FIELD, "");
  expected.set(kv::string_id(1), "");
  expected.set(kv::u32_id(2), 1883);
  expected.set(kv::bool_id(3), false);
  expected.set(kv::bool_id(9), false);
  expected.set(kv::bool_id(8), false);
  expected.set(kv::u32_id(10), 60);
  expected.set(kv::u32_id(15), 0);
  kv::message written;
  row.writeTo(written);
  EXPECT_EQ(expected, written);  // same fields, same order

  row.clientId = "c";
  row.user = "u";
  row.password = "p";
  row.certificate = 0;
  expected.set(kv::string_id(4), "c");
  expected.set(kv::string_id(5), "u");
  expected.set(kv::string_id(6), "p");
  expected.set(kv::u32_id(7), 0);
  written.clear();
  row.writeTo(written);
  EXPECT_EQ(expected, written);
}

TEST(BrokerEntryForm, AbsentFieldsKeepTheirValuesAndConnectedIsNeverRead) {
  BrokerEntry row;
  row.name = "b1";
  row.address = "10.0.0.1";
  row.port = 8883;
  row.useSsl = true;
  row.clientId = "id";
  row.password = "secret";
  row.certificate = 4;
  row.keepAlive = 120;
  row.scriptLimit = 3;
  row.connected = true;
  const BrokerEntry before = row;

  kv::message onlyAuto;
  onlyAuto.set(kv::bool_id(9), true);
  onlyAuto.set(kv::bool_id(8), false);
  row.readFrom(onlyAuto);
  EXPECT_TRUE(row.autoConnect);
  EXPECT_TRUE(row.connected);
  kv::message rest, restBefore;
  row.writeTo(rest);
  rest.erase(kv::bool_id(9));
  before.writeTo(restBefore);
  restBefore.erase(kv::bool_id(9));
  EXPECT_EQ(restBefore, rest);
}

TEST(BrokerEntryForm, PortAndKeepAliveKeepTheirLow16BitsThenKeepAliveIsBounded) {
  struct Case {
    uint32_t sent, keepAlive;
  };
  for (Case c : {Case{0, 30}, Case{29, 30}, Case{30, 30}, Case{31, 31}, Case{64800, 64800},
                 Case{64801, 64800}, Case{65535, 64800}, Case{65536, 30}, Case{65536 + 60, 60},
                 Case{0xFFFFFFFF, 64800}}) {
    BrokerEntry row;
    kv::message m;
    m.set(kv::u32_id(10), c.sent);
    row.readFrom(m);
    EXPECT_EQ(c.keepAlive, row.keepAlive) << "keepAlive " << c.sent;
  }
  for (uint32_t sent : {0u, 1u, 65535u, 65536u, 65536u + 1883u, 0xFFFFFFFFu}) {
    BrokerEntry row;
    kv::message m;
    m.set(kv::u32_id(2), sent);
    row.readFrom(m);
    EXPECT_EQ(sent & 0xFFFF, row.port) << "port " << sent;
  }
  // A message without keepAlive re-applies the bounds to the value held.
  BrokerEntry row;
  row.keepAlive = 5;
  row.readFrom(kv::message());
  EXPECT_EQ(30, row.keepAlive);
}

TEST(BrokerEntryForm, LogLinesCarryTheRowName) {
  BrokerEntry row;
  row.name = "b1";
  testing::internal::CaptureStdout();
  logBrokerInfo(row, "connected to 10.0.0.1");
  logBrokerWarning(row, "peer disconnected");
  EXPECT_EQ("mqtt: b1: connected to 10.0.0.1\nmqtt: *** b1: peer disconnected\n",
            testing::internal::GetCapturedStdout());
}

// ---- The table on the bus ---------------------------------------------------

class BrokerTableTest : public TableFixture {
 protected:
  void SetUp() override {
    TableFixture::SetUp();
    table_ = std::make_unique<BrokerTable>(STORE, 1, -2);
    ASSERT_TRUE(table_->init().isOk());
    ASSERT_TRUE(loop_->addHandler(BROKERS, table_.get()));
  }
  void TearDown() override {
    table_.reset();
    TableFixture::TearDown();
  }
  std::unique_ptr<BrokerTable> table_;
};

TEST_F(BrokerTableTest, AddChecksNameThenAddressThenUniqueness) {
  EXPECT_EQ(kv::failedMsg("Broker name required"), addRow(BROKERS, broker("", "")));
  EXPECT_EQ(kv::failedMsg("Broker name required"), addRow(BROKERS, broker("", "10.0.0.1")));
  EXPECT_EQ(kv::failedMsg("Broker address required"), addRow(BROKERS, broker("b1", "")));
  const uint32_t b1 = addedId(addRow(BROKERS, broker("b1", "10.0.0.1")));
  EXPECT_EQ(kv::failedMsg("Broker name already in use"), addRow(BROKERS, broker("b1", "10.0.0.2")));
  // Letter case counts, and so does every byte.
  const uint32_t upper = addedId(addRow(BROKERS, broker("B1", "10.0.0.2")));
  addedId(addRow(BROKERS, broker("b1 ", "10.0.0.3")));
  EXPECT_NE(b1, upper);
  EXPECT_EQ(3u, table_->size());
  EXPECT_EQ("10.0.0.1", table_->findRow(b1)->address);
}

TEST_F(BrokerTableTest, SetValidatesTheEditedRowAndARowNeverConflictsWithItself) {
  const uint32_t b1 = addedId(addRow(BROKERS, broker("b1", "10.0.0.1")));
  const uint32_t b2 = addedId(addRow(BROKERS, broker("b2", "10.0.0.2")));
  BrokerEntry* stored = table_->findRow(b2);

  EXPECT_TRUE(setRow(BROKERS, b2, broker("b2", "10.0.0.9")).empty());  // same name
  kv::message autoOnly;
  autoOnly.set(kv::bool_id(9), true);
  EXPECT_TRUE(setRow(BROKERS, b2, autoOnly).empty());
  EXPECT_EQ(kv::failedMsg("Broker name already in use"), setRow(BROKERS, b2, broker("b1", "x")));
  kv::message noAddress;
  noAddress.set(kv::string_id(1), "");
  EXPECT_EQ(kv::failedMsg("Broker address required"), setRow(BROKERS, b1, noAddress));

  ASSERT_EQ(stored, table_->findRow(b2));  // edited in place
  EXPECT_EQ("b2", stored->name);
  EXPECT_EQ("10.0.0.9", stored->address);
  EXPECT_TRUE(stored->autoConnect);
  EXPECT_EQ("10.0.0.1", table_->findRow(b1)->address);
}

TEST_F(BrokerTableTest, ConnectedIsTheClientsAlone) {
  kv::message claim = broker("b1", "10.0.0.1");
  claim.set(kv::bool_id(8), true);
  const uint32_t b1 = addedId(addRow(BROKERS, claim));
  EXPECT_FALSE(table_->findRow(b1)->connected);
  table_->findRow(b1)->connected = true;
  kv::message clear;
  clear.set(kv::bool_id(8), false);
  EXPECT_TRUE(setRow(BROKERS, b1, clear).empty());
  EXPECT_TRUE(table_->findRow(b1)->connected);
  EXPECT_TRUE(getRow(BROKERS, b1).get(kv::bool_id(8)));
}

TEST_F(BrokerTableTest, RemovalRunsTheHookWhileTheRowIsStillThereAndIsNeverRefused) {
  const uint32_t b1 = addedId(addRow(BROKERS, broker("b1", "10.0.0.1")));
  const uint32_t b2 = addedId(addRow(BROKERS, broker("b2", "10.0.0.2")));
  EXPECT_TRUE(removeRow(BROKERS, b1).empty());  // no hook installed
  std::vector<std::string> seen;
  table_->onRemove = [&](BrokerEntry& row) {
    seen.push_back(row.name);
    EXPECT_EQ(&row, table_->findRow(row.id));
  };
  EXPECT_TRUE(removeRow(BROKERS, b2).empty());
  EXPECT_EQ(std::vector<std::string>{"b2"}, seen);
  EXPECT_EQ(0u, table_->size());
}

TEST_F(BrokerTableTest, RowsSurviveARestartWithTheirIdsAndConnectedFalse) {
  kv::message full = broker("b1", "broker.local");
  full.set(kv::u32_id(2), 8883);
  full.set(kv::bool_id(3), true);
  full.set(kv::string_id(6), "pw");
  full.set(kv::u32_id(10), 10);
  addedId(addRow(BROKERS, broker("gone", "10.0.0.1")));
  const uint32_t b1 = addedId(addRow(BROKERS, full));
  EXPECT_TRUE(removeRow(BROKERS, 1).empty());
  table_->findRow(b1)->connected = true;
  const kv::message before = getRow(BROKERS, b1);
  table_.reset();  // writes the pending save

  BrokerTable reloaded(STORE, 1, -2);
  ASSERT_TRUE(reloaded.init().isOk());
  ASSERT_EQ(1u, reloaded.size());
  BrokerEntry* row = reloaded.findRow(b1);
  ASSERT_NE(nullptr, row);
  EXPECT_FALSE(row->connected);
  row->connected = true;
  kv::message after;
  after.set(kv::OBJECT_ID_FIELD, row->id);
  row->writeTo(after);
  EXPECT_EQ(before, after);
  EXPECT_EQ(30, row->keepAlive);
}

}  // namespace
