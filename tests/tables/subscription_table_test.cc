#include "tables/subscription_table.h"

#include <gtest/gtest.h>

#include "support/table_fixture.h"

namespace {

constexpr uint32_t SUBSCRIPTIONS = 3;

kv::message subscription(uint32_t brokerId, const std::string& topic, uint32_t qos = 0) {
  kv::message m;
  m.set(kv::u32_id(11), brokerId);
  m.set(kv::string_id(12), topic);
  m.set(kv::u32_id(13), qos);
  return m;
}

TEST(SubscriptionEntryForm, DefaultRowAndFieldsOfTheSameNumberButAnotherType) {
  SubscriptionEntry row;
  EXPECT_EQ(parseTopic(""), row.path);
  kv::message expected = subscription(0, "");
  expected.set(kv::string_id(11), "");
  EXPECT_EQ(expected, formOf(row));

  kv::message in;
  in.set(kv::string_id(11), "log(msgTopic)");
  in.set(kv::string_id(12), "a/+");
  in.set(kv::u32_id(13), 2);
  row.readFrom(in);
  EXPECT_EQ(0u, row.brokerId);  // u32 11 absent: the script's string 11 is not it
  EXPECT_EQ("log(msgTopic)", row.script);
  EXPECT_EQ(2u, row.qos);
  EXPECT_EQ(parseTopic("a/+"), row.path);
  kv::message brokerOnly;
  brokerOnly.set(kv::u32_id(11), 7);
  row.readFrom(brokerOnly);
  EXPECT_EQ(7u, row.brokerId);
  EXPECT_EQ("a/+", row.topic);
  EXPECT_EQ(parseTopic("a/+"), row.path);
}

class SubscriptionTableTest : public TableFixture {
 protected:
  void SetUp() override {
    TableFixture::SetUp();
    table_ = &serve<SubscriptionTable>("/korv/store/test/subscriptions", SUBSCRIPTIONS);
  }
  kv::message add(const kv::message& fields) { return addRow(SUBSCRIPTIONS, fields); }
  SubscriptionTable* table_ = nullptr;
};

TEST_F(SubscriptionTableTest, AddChecksInOrderAndTopicsAreComparedByteForBytePerBroker) {
  EXPECT_EQ(kv::failedMsg("Topic required"), add(subscription(Object::NO_ID, "", 5)));
  EXPECT_EQ(kv::failedMsg("Broker required"), add(subscription(Object::NO_ID, "a/+/+", 5)));
  EXPECT_EQ(kv::failedMsg("Qos must be 0, 1 or 2"), add(subscription(1, "a/+/+", 3)));
  EXPECT_EQ(kv::failedMsg("Invalid topic"), add(subscription(1, "a/+/+", 1)));
  const uint32_t mine = addedId(add(subscription(1, "a/b", 2)));
  EXPECT_EQ(kv::failedMsg("Topic already subscribed"), add(subscription(1, "a/b", 1)));
  // The broker id is not looked up; the same filter on another broker is
  // another subscription.
  const uint32_t other = addedId(add(subscription(2, "a/b")));
  addedId(add(subscription(1, "A/b")));
  addedId(add(subscription(1, "a/b/")));
  EXPECT_EQ(4u, table_->size());
  EXPECT_EQ(table_->findRow(mine), table_->findSubscription(1, "a/b"));
  EXPECT_EQ(table_->findRow(other), table_->findSubscription(2, "a/b"));
  EXPECT_EQ(nullptr, table_->findSubscription(1, "a/b", mine));
}

TEST_F(SubscriptionTableTest, SetValidatesTheEditAndSkipsTheRowItEdits) {
  const uint32_t first = addedId(add(subscription(1, "a/b")));
  const uint32_t second = addedId(add(subscription(1, "c/#", 1)));
  SubscriptionEntry* stored = table_->findRow(second);

  EXPECT_EQ(kv::failedMsg("Topic already subscribed"),
            setRow(SUBSCRIPTIONS, second, subscription(1, "a/b")));
  EXPECT_EQ(kv::failedMsg("Invalid topic"),
            setRow(SUBSCRIPTIONS, second, subscription(1, "c/#/d")));
  EXPECT_EQ("c/#", stored->topic);
  EXPECT_EQ(parseTopic("c/#"), stored->path);

  // A changed topic is parsed again; moving to another broker is checked there.
  EXPECT_TRUE(setRow(SUBSCRIPTIONS, second, subscription(2, "a/+")).empty());
  EXPECT_EQ(stored, table_->findRow(second));
  EXPECT_EQ(parseTopic("a/+"), stored->path);
  EXPECT_EQ(kv::failedMsg("Topic already subscribed"),
            setRow(SUBSCRIPTIONS, first, subscription(2, "a/+")));
}

TEST_F(SubscriptionTableTest, RemovalByCommandAndById) {
  const uint32_t a = addedId(add(subscription(1, "a")));
  const uint32_t b = addedId(add(subscription(1, "b")));
  const uint32_t c = addedId(add(subscription(2, "b")));
  EXPECT_TRUE(removeRow(SUBSCRIPTIONS, a).empty());
  table_->removeSubscriptionById(b);
  table_->removeSubscriptionById(b);  // gone meanwhile: nothing happens
  ASSERT_EQ(1u, table_->size());
  EXPECT_EQ(c, table_->begin()->id);
}

}  // namespace
