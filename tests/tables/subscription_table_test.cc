// The subscription table: its checks in order, filters compared byte for
// byte per broker, and edits checked (against every row but the edited
// one) before they take effect. (The rows an arriving topic matches, the
// service's tests of arriving messages see.)
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
  // Each row fails every check after the one it names.
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
  EXPECT_EQ(mqtt::parseTopic("c/#"), stored->path);

  // A changed topic is parsed again; moving to another broker is checked there.
  EXPECT_TRUE(setRow(SUBSCRIPTIONS, second, subscription(2, "a/+")).empty());
  EXPECT_EQ(stored, table_->findRow(second));
  EXPECT_EQ(mqtt::parseTopic("a/+"), stored->path);
  EXPECT_EQ(kv::failedMsg("Topic already subscribed"),
            setRow(SUBSCRIPTIONS, first, subscription(2, "a/+")));
  // Absent fields keep their values: the script's string 11 is not the
  // broker's u32 11, and the path stays the parse of the kept topic.
  kv::message scriptOnly;
  scriptOnly.set(kv::string_id(11), "run");
  EXPECT_TRUE(setRow(SUBSCRIPTIONS, second, scriptOnly).empty());
  EXPECT_EQ(2u, stored->brokerId);
  EXPECT_EQ("run", stored->script);
  EXPECT_EQ(mqtt::parseTopic("a/+"), stored->path);

  table_->removeSubscriptionById(first);
  table_->removeSubscriptionById(first);  // gone meanwhile: nothing happens
  ASSERT_EQ(1u, table_->size());
  EXPECT_EQ(second, table_->begin()->id);
}

}  // namespace
