// Broker removal through the service's own tables, wired as start-up wires
// them: removing a broker row takes its subscription rows and its client
// with it, and leaves everything else.
#include <gtest/gtest.h>

#include "support/table_fixture.h"
#include "tables/service_tables.h"

namespace {

constexpr uint32_t BROKERS = 2, SUBSCRIPTIONS = 3, RECEIVED = 4;

class BrokerRemovalTest : public TableFixture {
 protected:
  void SetUp() override {
    TableFixture::SetUp();
    ASSERT_TRUE(loop_->addHandler(BROKERS, &brokerTable));
    ASSERT_TRUE(loop_->addHandler(SUBSCRIPTIONS, &subscriptionTables.subscriptions));
    ASSERT_TRUE(loop_->addHandler(RECEIVED, &subscriptionTables.received));
    brokerTable.onRemove = brokerRemoved;
  }
  // The tables are static objects: leave them empty and saved, so nothing
  // is written at exit, when the temporary root is gone.
  void TearDown() override {
    brokerTable.onRemove = nullptr;
    clientMap.clear();
    for (AMap* table : std::initializer_list<AMap*>{&brokerTable, &subscriptionTables.subscriptions,
                                                     &subscriptionTables.received}) {
      while (table->size() > 0) table->remove(table->begin());
      EXPECT_TRUE(table->flush().isOk());
    }
    TableFixture::TearDown();
  }
  uint32_t addBroker(const std::string& name) {
    kv::message m;
    m.set(kv::NAME_FIELD, name);
    m.set(kv::string_id(1), "10.0.0.1");
    return addedId(addRow(BROKERS, m));
  }
  void addSubscription(uint32_t brokerId, const std::string& topic) {
    kv::message m;
    m.set(kv::u32_id(11), brokerId);
    m.set(kv::string_id(12), topic);
    addedId(addRow(SUBSCRIPTIONS, m));
  }
  // Removes broker `id` by command; returns what it logged.
  std::string remove(uint32_t id) {
    testing::internal::CaptureStdout();
    EXPECT_TRUE(removeRow(BROKERS, id).empty());
    return testing::internal::GetCapturedStdout();
  }
};

TEST_F(BrokerRemovalTest, TakesTheBrokersSubscriptionsAndClientAndNothingElse) {
  const uint32_t b1 = addBroker("b1");
  const uint32_t b2 = addBroker("b2");
  const uint32_t lonely = addBroker("lonely");
  addSubscription(b1, "x/1");
  addSubscription(b2, "y");
  addSubscription(b1, "x/#");
  addSubscription(0, "z");
  addSubscription(b1, "x/+/b");
  subscriptionTables.received.record(b1, "x/1", "m1", 1);
  subscriptionTables.received.record(b2, "y", "m2", 2);
  clientMap[b1] = nullptr;
  clientMap[b2] = nullptr;

  // Neither client nor subscriptions: one line, nothing else changes.
  EXPECT_EQ("mqtt: *** removing broker lonely\n", remove(lonely));
  EXPECT_EQ(5u, subscriptionTables.subscriptions.size());
  EXPECT_EQ(2u, clientMap.size());

  EXPECT_EQ(
      "mqtt: *** removing broker b1\n"
      "mqtt: *** removing subscription: x/1\n"
      "mqtt: *** removing subscription: x/#\n"
      "mqtt: *** removing subscription: x/+/b\n",
      remove(b1));
  EXPECT_EQ(nullptr, brokerTable.findRow(b1));
  EXPECT_EQ(1u, brokerTable.size());
  std::vector<std::string> topics;
  for (SubscriptionEntry& row : subscriptionTables.subscriptions) topics.push_back(row.topic);
  EXPECT_EQ((std::vector<std::string>{"y", "z"}), topics);
  ASSERT_EQ(1u, clientMap.size());
  EXPECT_EQ(b2, clientMap.begin()->first);
  // Received rows stay, still naming the removed broker.
  ASSERT_EQ(2u, subscriptionTables.received.size());
  EXPECT_EQ(b1, subscriptionTables.received.begin()->brokerId);
}

}  // namespace
