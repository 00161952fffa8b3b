// Messages that arrive from the broker: acknowledged, recorded and handed
// to the best-matching subscription's script within the broker's limit.
#include "base/service_globals.h"
#include "support/service_fixture.h"

namespace {

class IncomingTest : public ServiceFixture {
 protected:
  void SetUp() override {
    ServiceFixture::SetUp();
    b_ = addBroker();
    connectBroker(b_);
    broker_.drain();
  }
  void arrive(const std::string& topic, const std::string& data = "x", uint8_t qos = 0) {
    broker_.sendBytes(publishBytes(topic, qos, 9, data));
    turns();
  }
  // The script each script request asked for, in order.
  std::vector<std::string> scriptsRun() const {
    std::vector<std::string> scripts;
    for (const kv::message& request : scripts_.requests) scripts.push_back(request.get(kv::string_id(101)));
    return scripts;
  }
  uint32_t b_ = 0;
};

TEST_F(IncomingTest, EveryPublishIsAcknowledgedAsItsQosRequires) {
  struct Case {
    const char* publish;  // hex
    const char* answer;
  } cases[] = {
      {"30 03 00 01 61", ""},
      {"32 05 00 01 61 01 02", "40 02 01 02"},
      {"34 05 00 01 61 01 02", "50 02 01 02"},
      {"36 05 00 01 61 01 02", ""},              // QoS 3 is not acknowledged
      {"32 04 00 00 01 03", "40 02 01 03"},      // an empty topic is acknowledged, not recorded
      {"62 02 01 02", "70 02 01 02"},            // the broker's PUBREL: PUBCOMP
      {"62 03 01 02 03", "70 02 00 00"},         // one of the wrong length: identifier 0
  };
  for (const Case& c : cases) {
    broker_.send(c.publish);
    EXPECT_EQ(c.answer, broker_.drain()) << c.publish;
  }
  EXPECT_EQ(subscriptionTables.received.size(), 4u);
}

TEST_F(IncomingTest, TopicAndDataAreRecordedAndHandedOnByteForByte) {
  scripts_.autoReply = [](const kv::message&) { return kv::message(); };
  addSubscription(b_, "bin/#", "handle");
  const std::string topic("bin/\x01\xff", 6);
  const std::string data("a\0b\xfe\n", 5);
  arrive(topic, data, 1);
  ASSERT_EQ(subscriptionTables.received.size(), 1u);
  const ReceivedEntry& recorded = *subscriptionTables.received.begin();
  EXPECT_EQ(recorded.brokerId, b_);
  EXPECT_EQ(recorded.topic, topic);
  EXPECT_EQ(recorded.data, data);

  ASSERT_EQ(scripts_.requests.size(), 1u);
  const kv::message& run = scripts_.requests[0];
  EXPECT_EQ(run.get(kv::COMMAND_FIELD), 1u);
  EXPECT_EQ(run.get(kv::string_id(101)), "handle");
  EXPECT_EQ(run.get(kv::u32_id(117)), 30u * ticksPerSecond);
  const std::vector<kv::message> variables = run.get(kv::message_array_id(1104));
  ASSERT_EQ(variables.size(), 2u);
  EXPECT_EQ(variables[0].get(kv::string_id(1)), "msgTopic");
  EXPECT_EQ(variables[0].get(kv::string_id(4)), topic);
  EXPECT_EQ(variables[1].get(kv::string_id(1)), "msgData");
  EXPECT_EQ(variables[1].get(kv::u32_id(2)), 1u);
  EXPECT_EQ(variables[1].get(kv::string_id(4)), data);
}

TEST_F(IncomingTest, TheMostSpecificMatchWithAScriptRuns) {
  scripts_.autoReply = [](const kv::message&) { return kv::message(); };
  const uint32_t other = addBroker("other");
  addSubscription(b_, "a/b");           // exact, no script
  addSubscription(b_, "a/+");           // no script
  addSubscription(other, "#", "any");   // another broker's row counts too
  arrive("a/b");
  addSubscription(b_, "+/b", "plus");   // same key as a/+, which comes first
  arrive("a/b");
  addSubscription(other, "a/#", "deep");
  arrive("a/b");
  arrive("z");
  EXPECT_EQ(scriptsRun(), (std::vector<std::string>{"any", "any", "deep", "any"}));
  addSubscription(b_, "a/b/c", "exact");
  arrive("a/b/c");
  EXPECT_EQ(scriptsRun().back(), "exact");
}

TEST_F(IncomingTest, TheScriptLimitHoldsUntilRunsAnswer) {
  setRow(BROKERS, b_, fieldsWith(kv::u32_id(15), 2u));
  addSubscription(b_, "a/#", "run");
  arrive("a/b");
  arrive("a/b");
  arrive("a/b");
  EXPECT_EQ(scripts_.requests.size(), 2u);
  EXPECT_TRUE(logged("mqtt: *** b: Ignoring script execution on topic 'a/b'. Too many broker "
                     "scripts already running (2/2)\n"))
      << console();
  EXPECT_EQ(subscriptionTables.received.size(), 3u);  // recorded all the same
  scripts_.answer(0, kv::failedMsg("exit status 3"));
  turns();
  EXPECT_TRUE(logged("mqtt: *** Running on-message script failed for topic a/b (exit status 3) "
                     "(broker b)\n"));
  arrive("a/b");
  EXPECT_EQ(scripts_.requests.size(), 3u);
}

TEST_F(IncomingTest, ScriptsThatCannotBePostedAreLogged) {
  loop_->removeHandler(&scripts_);
  addSubscription(b_, "a", "run");
  arrive("a");  // no route: the bus answers with an error on the next turn
  turns();
  EXPECT_TRUE(logged("mqtt: *** Running on-message script failed for topic a (")) << console();
  EXPECT_EQ(client(b_)->runningScripts, 0u);
}

// Broker removal as start-up wires it: the broker's own subscription rows
// go (adjacent ones included) and its client with it; messages it brought
// stay, and nothing of another broker is touched.
TEST_F(IncomingTest, RemovingTheBrokerKeepsItsMessagesAndOtherBrokersRows) {
  const uint32_t other = addBroker("other");
  addSubscription(b_, "x/1");
  addSubscription(b_, "x/#");
  addSubscription(other, "y");
  addSubscription(b_, "x/+/b");
  clients().create(row(other));
  arrive("x/1");
  clearConsole();
  EXPECT_TRUE(removeRow(BROKERS, b_).empty());
  EXPECT_TRUE(logged("mqtt: *** removing broker b\nmqtt: *** removing subscription: x/1\n"
                     "mqtt: *** removing subscription: x/#\nmqtt: *** removing subscription: x/+/b\n"))
      << console();
  EXPECT_EQ(client(b_), nullptr);
  EXPECT_NE(client(other), nullptr);
  ASSERT_EQ(subscriptionTables.subscriptions.size(), 1u);
  EXPECT_EQ(subscriptionTables.subscriptions.begin()->topic, "y");
  ASSERT_EQ(subscriptionTables.received.size(), 1u);
  EXPECT_EQ(subscriptionTables.received.begin()->brokerId, b_);
}

}  // namespace
