// The broker table: port and keep-alive cut to 16 bits and keep-alive
// bounded, and edits checked before they take effect. (The validation
// texts, the message form of rows and the password kept from a read-only
// requester, the black-box console tests see.)
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

TEST(BrokerEntryForm, PortAndKeepAliveKeepTheirLow16BitsThenKeepAliveIsBounded) {
  const struct { uint32_t sent; uint16_t keepAlive; } cases[] = {
      {0, 30},          {29, 30},           {30, 30},     {64800, 64800},     {64801, 64800},
      {65535, 64800},   {65536, 30},        {65536 + 60, 60}, {0xFFFFFFFF, 64800},
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

class BrokerTableTest : public TableFixture {
 protected:
  void SetUp() override {
    TableFixture::SetUp();
    table_ = &serve<BrokerTable>("/korv/store/test/brokers", BROKERS);
  }
  uint32_t add(const kv::message& fields) { return addedId(addRow(BROKERS, fields)); }
  BrokerTable* table_ = nullptr;
};

TEST_F(BrokerTableTest, ARefusedEditChangesNothingAndAnAcceptedOneEditsInPlace) {
  const uint32_t b1 = add(broker("b1", "10.0.0.1"));
  const uint32_t b2 = add(broker("b2", "10.0.0.2"));
  add(broker("b1 ", "10.0.0.3"));  // every byte of a name counts
  BrokerEntry* stored = table_->findRow(b2);
  EXPECT_EQ(kv::failedMsg("Broker name already in use"), setRow(BROKERS, b2, broker("b1", "x")));
  EXPECT_EQ("b2", stored->name);
  EXPECT_EQ("10.0.0.2", stored->address);
  EXPECT_TRUE(setRow(BROKERS, b2, broker("b2", "10.0.0.9")).empty());  // its own name
  ASSERT_EQ(stored, table_->findRow(b2));
  EXPECT_EQ("10.0.0.9", stored->address);
  EXPECT_EQ("10.0.0.1", table_->findRow(b1)->address);
}

}  // namespace
