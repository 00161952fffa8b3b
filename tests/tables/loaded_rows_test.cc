// Rows loaded from the store are checked like rows that arrive on the bus:
// crafted store files load to valid tables, each repair or omission with
// its warning, and the corrected table is saved back.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/store.h"
#include "base/log.h"
#include "support/table_fixture.h"
#include "tables/broker_table.h"
#include "tables/subscription_table.h"

namespace {

const char* const SUBSCRIPTIONS = "/korv/store/test/subscriptions";
const char* const BROKERS = "/korv/store/test/brokers";

kv::message subscriptionRow(uint32_t id, uint32_t brokerId, const std::string& topic,
                            uint32_t qos) {
  kv::message m;
  m.set(kv::OBJECT_ID_FIELD, id);
  m.set(kv::u32_id(11), brokerId);
  m.set(kv::string_id(12), topic);
  m.set(kv::u32_id(13), qos);
  return m;
}

kv::message brokerRow(uint32_t id, const std::string& name, const std::string& address,
                      const std::string& willTopic = "", uint32_t willQos = 0) {
  kv::message m;
  m.set(kv::OBJECT_ID_FIELD, id);
  m.set(kv::NAME_FIELD, name);
  m.set(kv::string_id(1), address);
  if (!willTopic.empty()) m.set(kv::string_id(16), willTopic);
  if (willQos != 0) m.set(kv::u32_id(18), willQos);
  return m;
}

class LoadedRowsTest : public TableFixture {
 protected:
  // Writes `rows` as the stored file at `path`, then serves a T loaded
  // from it; returns what the load wrote to the console.
  template <class T>
  std::string load(const char* path, const std::vector<kv::message>& rows, T*& table) {
    EXPECT_TRUE(kv::TableStore(path).save(rows).isOk());
    testing::internal::CaptureStdout();
    table = &serve<T>(path, 3);
    flushConsole();
    return testing::internal::GetCapturedStdout();
  }
  // What a fresh table finds in the store after the loop has saved.
  template <class T>
  std::vector<uint32_t> storedIds(const char* path) {
    loop_->turn();
    T again(path, 1, -2);
    testing::internal::CaptureStdout();
    EXPECT_TRUE(again.init().isOk());
    flushConsole();
    EXPECT_EQ("", testing::internal::GetCapturedStdout());  // nothing left to correct
    std::vector<uint32_t> ids;
    for (Object& row : again) ids.push_back(row.id);
    return ids;
  }
};

TEST_F(LoadedRowsTest, SubscriptionQosIsClampedAndRowsTheChecksRefuseAreLeftOut) {
  SubscriptionTable* table = nullptr;
  const std::string log = load(SUBSCRIPTIONS,
                               {subscriptionRow(1, 1, "a/b", 256),  // not 0: 2
                                subscriptionRow(2, 1, "", 0),
                                subscriptionRow(3, 1, "a/b", 1),
                                subscriptionRow(4, Object::NO_ID, "c", 0),
                                subscriptionRow(5, 1, "a/+/+", 0),
                                subscriptionRow(6, 2, "a/b", 0xFFFFFFFF)},
                               table);
  EXPECT_EQ(
      "mqtt: *** subscription row 1: stored QoS 256 clamped to 2\n"
      "mqtt: *** subscription row 2 left out at load: Topic required\n"
      "mqtt: *** subscription row 3 left out at load: Topic already subscribed\n"
      "mqtt: *** subscription row 4 left out at load: Broker required\n"
      "mqtt: *** subscription row 5 left out at load: Invalid topic\n"
      "mqtt: *** subscription row 6: stored QoS 4294967295 clamped to 2\n",
      log);
  std::vector<uint32_t> ids;
  for (SubscriptionEntry& row : *table) {
    ids.push_back(row.id);
    EXPECT_EQ(2u, row.qos);
    EXPECT_TRUE(table->validateSubscription(row, &row).empty()) << row.id;
  }
  EXPECT_EQ((std::vector<uint32_t>{1, 6}), ids);
  EXPECT_EQ(ids, storedIds<SubscriptionTable>(SUBSCRIPTIONS));
}

TEST_F(LoadedRowsTest, StoredBrokersAreRepairedOrLeftOutWithAWarningEach) {
  BrokerTable* table = nullptr;
  const std::string log = load(BROKERS,
                               {brokerRow(1, "b1", "192.0.2.1", "up/b1", 2),
                                brokerRow(2, "b1-4", "192.0.2.2"),
                                brokerRow(3, "", "192.0.2.3", "up/#"),
                                brokerRow(4, "b1", "192.0.2.4"),
                                brokerRow(5, "b5", ""),
                                brokerRow(6, "b6", "192.0.2.6", "up/b6", 3)},
                               table);
  EXPECT_EQ(
      "mqtt: *** broker row 3: stored will left out: Invalid will topic\n"
      "mqtt: *** broker row 3: stored name \"\" is empty; renamed \"broker-3\"\n"
      "mqtt: *** broker row 4: stored name \"b1\" is already in use; renamed \"b1-4-4\"\n"
      "mqtt: *** broker row 5 left out at load: Broker address required\n"
      "mqtt: *** broker row 6: stored will left out: Will QoS must be 0, 1 or 2\n",
      log);
  std::vector<std::string> names, willTopics;
  for (BrokerEntry& row : *table) {
    names.push_back(row.name);
    willTopics.push_back(row.willTopic + "/" + std::to_string(row.willQos));
    EXPECT_TRUE(table->validateBroker(row).empty()) << row.id;
  }
  EXPECT_EQ((std::vector<std::string>{"b1", "b1-4", "broker-3", "b1-4-4", "b6"}), names);
  EXPECT_EQ((std::vector<std::string>{"up/b1/2", "/0", "/0", "/0", "/0"}), willTopics);
  EXPECT_EQ((std::vector<uint32_t>{1, 2, 3, 4, 6}), storedIds<BrokerTable>(BROKERS));
}

}  // namespace
