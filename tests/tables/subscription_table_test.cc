#include "tables/subscription_table.h"

#include <gtest/gtest.h>

#include "support/table_fixture.h"

namespace {

constexpr uint32_t SUBSCRIPTIONS = 3;
const char* const STORE = "/korv/store/test/subscriptions";

kv::message subscription(uint32_t brokerId, const std::string& topic, uint32_t qos = 0) {
  kv::message m;
  m.set(kv::u32_id(11), brokerId);
  m.set(kv::string_id(12), topic);
  m.set(kv::u32_id(13), qos);
  return m;
}

TEST(SubscriptionEntryForm, DefaultRowAndFieldsOfTheSameNumberButAnotherType) {
  SubscriptionEntry row;
  EXPECT_EQ(Object::NO_ID, row.id);
  EXPECT_EQ(parseTopic(""), row.path);
  kv::message expected;
  expected.set(kv::u32_id(11), 0);
  expected.set(kv::string_id(12), "");
  expected.set(kv::u32_id(13), 0);
  expected.set(kv::string_id(11), "");
  kv::message written;
  row.writeTo(written);
  EXPECT_EQ(expected, written);

  kv::message in;
  in.set(kv::string_id(11), "log(msgTopic)");
  in.set(kv::string_id(12), "a/+");
  row.readFrom(in);
  EXPECT_EQ(0u, row.brokerId);  // u32 11 absent: the script's string 11 is not it
  EXPECT_EQ("log(msgTopic)", row.script);
  EXPECT_EQ(TopicKind::SingleWildcard, row.path.kind);
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
    table_ = std::make_unique<SubscriptionTable>(STORE, 1, -2);
    ASSERT_TRUE(table_->init().isOk());
    ASSERT_TRUE(loop_->addHandler(SUBSCRIPTIONS, table_.get()));
  }
  void TearDown() override {
    table_.reset();
    TableFixture::TearDown();
  }
  kv::message add(const kv::message& fields) { return addRow(SUBSCRIPTIONS, fields); }
  std::unique_ptr<SubscriptionTable> table_;
};

TEST_F(SubscriptionTableTest, AddChecksInOrder) {
  EXPECT_EQ(kv::failedMsg("Topic required"), add(subscription(Object::NO_ID, "", 5)));
  EXPECT_EQ(kv::failedMsg("Broker required"), add(subscription(Object::NO_ID, "a/+/+", 5)));
  EXPECT_EQ(kv::failedMsg("Qos must be 0, 1 or 2"), add(subscription(1, "a/+/+", 3)));
  EXPECT_EQ(kv::failedMsg("Invalid topic"), add(subscription(1, "a/+/+", 1)));
  addedId(add(subscription(1, "a/b", 2)));
  EXPECT_EQ(kv::failedMsg("Topic already subscribed"), add(subscription(1, "a/b", 1)));
  EXPECT_EQ(1u, table_->size());
}

TEST_F(SubscriptionTableTest, BrokerIdIsNotLookedUpAndTopicsAreComparedByteForByte) {
  kv::message noBroker;
  noBroker.set(kv::string_id(12), "a/b");
  const uint32_t zero = addedId(add(noBroker));
  EXPECT_EQ(0u, table_->findRow(zero)->brokerId);
  addedId(add(subscription(2, "a/b")));  // same filter, other broker
  addedId(add(subscription(1, "a/b")));
  addedId(add(subscription(1, "A/b")));
  addedId(add(subscription(1, "a/b/")));
  EXPECT_EQ(kv::failedMsg("Topic already subscribed"), add(subscription(2, "a/b")));
  EXPECT_EQ(5u, table_->size());
}

TEST_F(SubscriptionTableTest, SetValidatesTheEditAndSkipsTheRowItEdits) {
  const uint32_t first = addedId(add(subscription(1, "a/b")));
  const uint32_t second = addedId(add(subscription(1, "c/#", 1)));
  SubscriptionEntry* stored = table_->findRow(second);

  kv::message script;
  script.set(kv::string_id(11), "run()");
  EXPECT_TRUE(setRow(SUBSCRIPTIONS, second, script).empty());
  EXPECT_EQ("run()", stored->script);
  EXPECT_EQ(TopicKind::MultiWildcard, stored->path.kind);

  EXPECT_EQ(kv::failedMsg("Topic already subscribed"),
            setRow(SUBSCRIPTIONS, second, subscription(1, "a/b")));
  EXPECT_EQ(kv::failedMsg("Invalid topic"), setRow(SUBSCRIPTIONS, second, subscription(1, "c/#/d")));
  EXPECT_EQ(kv::failedMsg("Qos must be 0, 1 or 2"),
            setRow(SUBSCRIPTIONS, first, subscription(1, "a/b", 4)));
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
  table_->removeSubscriptionById(Object::NO_ID);
  ASSERT_EQ(1u, table_->size());
  EXPECT_EQ(c, table_->begin()->id);
}

TEST_F(SubscriptionTableTest, FindSubscriptionTakesTheFirstRowOfTheBroker) {
  const uint32_t other = addedId(add(subscription(2, "x/y")));
  const uint32_t mine = addedId(add(subscription(1, "x/y")));
  EXPECT_EQ(table_->findRow(mine), table_->findSubscription(1, "x/y"));
  EXPECT_EQ(table_->findRow(other), table_->findSubscription(2, "x/y"));
  EXPECT_EQ(nullptr, table_->findSubscription(1, "x/y", mine));
  EXPECT_EQ(nullptr, table_->findSubscription(1, "x/Y"));
}

TEST_F(SubscriptionTableTest, RowsSurviveARestartWithTheirParsedTopics) {
  kv::message withScript = subscription(4, "home/+/temp", 1);
  withScript.set(kv::string_id(11), std::string("a\0b", 3));
  const uint32_t id = addedId(add(withScript));
  const kv::message before = getRow(SUBSCRIPTIONS, id);
  table_.reset();

  SubscriptionTable reloaded(STORE, 1, -2);
  ASSERT_TRUE(reloaded.init().isOk());
  SubscriptionEntry* row = reloaded.findRow(id);
  ASSERT_NE(nullptr, row);
  EXPECT_EQ(parseTopic("home/+/temp"), row->path);
  kv::message after;
  after.set(kv::OBJECT_ID_FIELD, id);
  row->writeTo(after);
  EXPECT_EQ(before, after);
}

}  // namespace
