#include "tables/broker_table.h"

#include <gtest/gtest.h>

#include "support/table_fixture.h"

namespace {

constexpr uint32_t BROKERS = 2;

kv::message broker(const std::string& name, const std::string& address) {
  kv::message m;
  m.set(kv::NAME_FIELD, name);
  m.set(kv::string_id(1), address);
  return m;
}

// ---- Message form -----------------------------------------------------------

TEST(BrokerEntryForm, FieldsInOrderOptionalOnesOnlyWhenSetAbsentOnesKept) {
  BrokerEntry row;
  kv::message expected = broker("", "");
  expected.set(kv::u32_id(2), 1883);
  expected.set(kv::bool_id(3), false);
  expected.set(kv::bool_id(9), false);
  expected.set(kv::bool_id(8), false);
  expected.set(kv::u32_id(10), 60);
  expected.set(kv::u32_id(15), 0);
  EXPECT_EQ(expected, formOf(row));  // same fields, same order

  // Every field set, in writeTo order: each is read back from its number,
  // and the optional ones follow the others.
  kv::message full = broker("b1", "10.0.0.1");
  full.set(kv::u32_id(2), 8883);
  full.set(kv::bool_id(3), true);
  full.set(kv::bool_id(9), true);
  full.set(kv::bool_id(8), true);
  full.set(kv::u32_id(10), 120);
  full.set(kv::u32_id(15), 3);
  full.set(kv::string_id(4), "c");
  full.set(kv::string_id(5), "u");
  full.set(kv::string_id(6), "p");
  full.set(kv::u32_id(7), 0);
  row.readFrom(full);
  EXPECT_FALSE(row.connected);  // the client's alone: written, never read
  row.connected = true;
  EXPECT_EQ(full, formOf(row));

  // A field the message lacks keeps its value.
  kv::message onlyAuto;
  onlyAuto.set(kv::bool_id(9), false);
  row.readFrom(onlyAuto);
  full.set(kv::bool_id(9), false);
  EXPECT_EQ(full, formOf(row));
}

TEST(BrokerEntryForm, PortAndKeepAliveKeepTheirLow16BitsThenKeepAliveIsBounded) {
  const struct { uint32_t sent; uint16_t keepAlive; } cases[] = {
      {29, 30},          {30, 30},         {64800, 64800},     {64801, 64800},
      {65536, 30},       {65536 + 60, 60}, {0xFFFFFFFF, 64800},
  };
  for (const auto& c : cases) {
    BrokerEntry row;
    kv::message m;
    m.set(kv::u32_id(10), c.sent);
    m.set(kv::u32_id(2), c.sent);
    row.readFrom(m);
    EXPECT_EQ(c.keepAlive, row.keepAlive) << "keepAlive " << c.sent;
    EXPECT_EQ(c.sent & 0xFFFF, row.port) << "port " << c.sent;
  }
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
    table_ = &serve<BrokerTable>("/korv/store/test/brokers", BROKERS);
  }
  uint32_t add(const std::string& name, const std::string& address) {
    return addedId(addRow(BROKERS, broker(name, address)));
  }
  BrokerTable* table_ = nullptr;
};

TEST_F(BrokerTableTest, AddChecksNameThenAddressThenUniqueness) {
  EXPECT_EQ(kv::failedMsg("Broker name required"), addRow(BROKERS, broker("", "")));
  EXPECT_EQ(kv::failedMsg("Broker address required"), addRow(BROKERS, broker("b1", "")));
  const uint32_t b1 = add("b1", "10.0.0.1");
  EXPECT_EQ(kv::failedMsg("Broker name already in use"), addRow(BROKERS, broker("b1", "10.0.0.2")));
  // Letter case counts, and so does every byte.
  add("B1", "10.0.0.2");
  add("b1 ", "10.0.0.3");
  EXPECT_EQ(3u, table_->size());
  EXPECT_EQ("10.0.0.1", table_->findRow(b1)->address);
}

TEST_F(BrokerTableTest, SetValidatesTheEditedRowAndARowNeverConflictsWithItself) {
  const uint32_t b1 = add("b1", "10.0.0.1");
  const uint32_t b2 = add("b2", "10.0.0.2");
  BrokerEntry* stored = table_->findRow(b2);

  EXPECT_TRUE(setRow(BROKERS, b2, broker("b2", "10.0.0.9")).empty());  // same name
  EXPECT_EQ(kv::failedMsg("Broker name already in use"), setRow(BROKERS, b2, broker("b1", "x")));
  kv::message noAddress;
  noAddress.set(kv::string_id(1), "");
  EXPECT_EQ(kv::failedMsg("Broker address required"), setRow(BROKERS, b1, noAddress));

  ASSERT_EQ(stored, table_->findRow(b2));  // edited in place
  EXPECT_EQ("b2", stored->name);
  EXPECT_EQ("10.0.0.9", stored->address);
  EXPECT_EQ("10.0.0.1", table_->findRow(b1)->address);
}

TEST_F(BrokerTableTest, ARequesterWithoutWritePermissionNeverReceivesThePassword) {
  kv::message withPassword = broker("b1", "10.0.0.1");
  withPassword.set(kv::string_id(6), "secret");
  kv::message byId;
  byId.set(kv::OBJECT_ID_FIELD, addedId(addRow(BROKERS, withPassword)));
  for (uint32_t rights : {kv::RIGHT_READ, kv::RIGHTS_ALL}) {
    const kv::message one = call(BROKERS, kv::CMD_GET_OBJ, byId, rights);
    const kv::message all = call(BROKERS, kv::CMD_GET_ALL, kv::message(), rights);
    ASSERT_EQ(1u, all.get(kv::ROWS_FIELD).size());
    const bool shown = rights & kv::RIGHT_WRITE;
    EXPECT_EQ(shown, one.has(kv::string_id(6))) << rights;
    EXPECT_EQ(shown, all.get(kv::ROWS_FIELD)[0].has(kv::string_id(6))) << rights;
    EXPECT_EQ("10.0.0.1", one.get(kv::string_id(1)));
  }
  EXPECT_EQ("secret", table_->begin()->password);
}

TEST_F(BrokerTableTest, RemovalRunsTheHookWhileTheRowIsStillThereAndIsNeverRefused) {
  const uint32_t b1 = add("b1", "10.0.0.1");
  const uint32_t b2 = add("b2", "10.0.0.2");
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

}  // namespace
