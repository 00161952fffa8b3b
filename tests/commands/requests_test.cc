// Publish, subscribe and unsubscribe through the command handler, in
// virtual time, against the scripted broker: the packets, their
// identifiers, and the moment and text of every answer; what a broker
// grants and refuses (SUBACK return codes for subscribe commands and for
// the re-subscriptions of each connection, a PUBACK that answers a QoS 2
// PUBLISH).
#include <functional>

#include "support/service_fixture.h"

namespace {

std::string publishHex(const std::string& topic, uint8_t qos, uint16_t id, const std::string& data) {
  return hexText(publishBytes(topic, qos, id, data));
}

class RequestsTest : public ServiceFixture {
 protected:
  void SetUp() override {
    ServiceFixture::SetUp();
    b_ = addBroker();
  }
  uint32_t b_ = 0;
};

TEST_F(RequestsTest, PublishIsAnsweredWhenItsQosIsDone) {
  connectBroker(b_);
  OutcomePtr qos0 = publishCmd(b_, "a", "hi", 0);
  EXPECT_TRUE(qos0->ok());  // at once, before the broker has read it
  EXPECT_EQ("30 05 00 01 61 68 69", broker_.drain());

  kv::message retained;
  retained.set(kv::bool_id(6), true);
  OutcomePtr qos1 = publishCmd(b_, "a", "", 1, retained);
  EXPECT_EQ("33 05 00 01 61 00 03", broker_.drain());  // id 2 went to the QoS 0 publish
  EXPECT_FALSE(qos1->done);
  broker_.send("40 02 00 03");
  EXPECT_TRUE(qos1->ok());

  OutcomePtr qos2 = publishCmd(b_, "a", "", 2);
  EXPECT_EQ("34 05 00 01 61 00 04", broker_.drain());
  broker_.send("50 02 00 04");  // PUBREC: answered with PUBREL, the command still waits
  EXPECT_EQ("62 02 00 04", broker_.drain());
  EXPECT_FALSE(qos2->done);
  broker_.send("70 02 00 04");
  EXPECT_TRUE(qos2->ok());
}

TEST_F(RequestsTest, RequestsTimeOutAfterThreeSecondsAndLateAcknowledgementsChangeNothing) {
  connectBroker(b_);
  OutcomePtr publish = publishCmd(b_, "a", "x", 1);
  OutcomePtr subscribe = subscribeCmd(b_, "f/#", 1);
  broker_.drain();
  advance(2.9);
  EXPECT_FALSE(publish->done);
  advance(0.1);
  EXPECT_EQ(publish->failure(), "Timeout occured");
  EXPECT_EQ(subscribe->failure(), "Timeout occured");
  EXPECT_TRUE(row(b_).connected);  // a connected client stays connected
  broker_.send("90 03 00 03 01");    // the SUBACK comes after all
  EXPECT_EQ(subscriptionTables.subscriptions.size(), 0u);

  // While connecting, a time-out ends the attempt and every waiting command.
  disconnectCmd(b_);
  broker_.drain();
  OutcomePtr waitingConnect = connectCmd(b_);
  OutcomePtr early = publishCmd(b_, "a", "x", 1);
  ASSERT_TRUE(broker_.accept());
  advance(3);
  EXPECT_EQ(early->failure(), "Timeout occured");
  EXPECT_EQ(waitingConnect->failure(), "Connection failed");
  EXPECT_TRUE(broker_.closedByClient());
}

TEST_F(RequestsTest, PublishOnAnIdleBrokerConnectsFirst) {
  OutcomePtr refused = publishCmd(b_, "a", "x", 0, fieldsWith(kv::bool_id(14), false));
  EXPECT_EQ(refused->failure(), "Broker not connected");
  EXPECT_TRUE(logged("mqtt: Creating target broker client\n"));

  OutcomePtr qos0 = publishCmd(b_, "a", "x", 0);
  OutcomePtr qos1 = publishCmd(b_, "a", "y", 1);
  broker_.accept();
  // CONNECT, and nothing else before CONNACK.
  EXPECT_EQ("10 0E 00 04 4D 51 54 54 04 02 00 3C 00 02 51 58", broker_.drain());
  EXPECT_FALSE(qos0->done);
  broker_.send("20 02 00 00");
  EXPECT_TRUE(qos0->ok());
  EXPECT_EQ("30 04 00 01 61 78 " + publishHex("a", 1, 3, "y"), broker_.drain());
  broker_.send("40 02 00 03");
  EXPECT_TRUE(qos1->ok());
  EXPECT_TRUE(logged("Scheduling connect timeout"));  // armed by the QoS 0 publish
}

TEST_F(RequestsTest, PublishWithDisconnectAfter) {
  addSubscription(b_, "s/#");
  connectBroker(b_);
  EXPECT_EQ("82 08 00 02 00 03 73 2F 23 00", broker_.drain());  // re-subscribed at CONNACK
  kv::message after = fieldsWith(kv::bool_id(7), true);
  OutcomePtr qos0 = publishCmd(b_, "a", "x", 0, after);
  EXPECT_EQ("30 04 00 01 61 78 E0 00", broker_.drain());
  EXPECT_TRUE(qos0->ok());
  EXPECT_FALSE(row(b_).connected);
  EXPECT_TRUE(broker_.closedByClient());

  // QoS 1: the disconnect follows the PUBACK. The connection it opens does
  // not re-subscribe, since the publish asked for a short visit.
  OutcomePtr qos1 = publishCmd(b_, "a", "y", 1, after);
  broker_.handshake();
  EXPECT_EQ(publishHex("a", 1, 4, "y"), broker_.drain());
  broker_.send("40 02 00 04");
  EXPECT_TRUE(qos1->ok());
  EXPECT_EQ("E0 00", broker_.drain());
  EXPECT_TRUE(broker_.closedByClient());
}

TEST_F(RequestsTest, SubscribeRecordsTheFilterAtSubackAndEveryConnackSendsThemAll) {
  const uint32_t other = addBroker("other");
  addSubscription(other, "other/+");
  addSubscription(b_, "first");
  connectBroker(b_);
  EXPECT_EQ("82 0A 00 02 00 05 66 69 72 73 74 00", broker_.drain());

  OutcomePtr subscribe = subscribeCmd(b_, "x/+/z", 1);
  EXPECT_EQ("82 0A 00 03 00 05 78 2F 2B 2F 7A 01", broker_.drain());
  EXPECT_FALSE(subscribe->done);
  broker_.send("90 03 00 03 01");
  EXPECT_TRUE(subscribe->ok());
  ASSERT_EQ(subscriptionTables.subscriptions.size(), 3u);
  const SubscriptionEntry* added = nullptr;
  for (const SubscriptionEntry& entry : subscriptionTables.subscriptions) added = &entry;
  EXPECT_EQ(added->brokerId, b_);
  EXPECT_EQ(added->topic, "x/+/z");
  EXPECT_EQ(added->qos, 1u);
  EXPECT_EQ(subscribeCmd(b_, "x/+/z")->failure(), "Topic already subscribed");

  // Reconnected: the broker's two filters, in row order, and not the other's.
  disconnectCmd(b_);
  broker_.drain();
  connectBroker(b_);
  EXPECT_EQ("82 0A 00 04 00 05 66 69 72 73 74 00 82 0A 00 05 00 05 78 2F 2B 2F 7A 01",
            broker_.drain());
}

// Identifiers come round after 65,535 packets; one still waiting is not
// handed out again: the order that would take it is refused, and the one
// that holds it is answered by its own acknowledgement.
TEST_F(RequestsTest, AnIdentifierStillWaitingIsNotTakenAgain) {
  addSubscription(b_, "s/#");
  connectBroker(b_);  // the re-subscription takes identifier 2
  broker_.drain();
  OutcomePtr waiting = publishCmd(b_, "a", "x", 1);  // identifier 3
  broker_.drain();
  kv::message unsubscribe;
  unsubscribe.set(contract::mqtt_service::SUBSCRIPTION_BROKER_FIELD, b_);
  unsubscribe.set(contract::mqtt_service::SUBSCRIPTION_ROW_FIELD,
                  subscriptionTables.subscriptions.begin()->id);
  struct Case {
    const char* what;
    std::function<OutcomePtr()> order;
    const char* refusal;
  };
  const Case cases[] = {
      {"publish", [&] { return publishCmd(b_, "a", "y", 2); }, "Packet identifier in use"},
      {"subscribe", [&] { return subscribeCmd(b_, "t/#", 1); }, "Packet identifier in use"},
      {"unsubscribe", [&] { return command(6, unsubscribe); }, "Unsubscribe failed"},
  };
  BrokerClient::PublishOrder qos0;
  qos0.topic = "z";
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    // QoS 0 publishes take an identifier each, without waiting: round to 3.
    for (int i = 0; i < 65534; ++i) client(b_)->publish(BrokerClient::PublishOrder(qos0), [](const kv::Status&) {});
    OutcomePtr refused = c.order();
    EXPECT_EQ(refused->failure(), c.refusal);
    // Nothing of the refused order reaches the broker: only the QoS 0 ones.
    const WrittenPackets written = splitPackets(hexToBytes(broker_.drain(100)));
    EXPECT_EQ(65534u, written.whole.size());
    for (const mqtt::MqttPacket& p : written.whole) ASSERT_EQ(0x30, p.bytes[0]);
    EXPECT_FALSE(waiting->done);
  }
  broker_.send("40 02 00 03");
  EXPECT_TRUE(waiting->ok()) << waiting->failure();
  EXPECT_TRUE(logged("mqtt: *** Timeout reg failed: 3 (broker b)\n")) << console();
}

TEST_F(RequestsTest, UnsubscribeRemovesTheBrokersRowForTheNamedFilter) {
  const uint32_t other = addBroker("other");
  const uint32_t othersRow = addSubscription(other, "a/b");
  const uint32_t ownRow = addSubscription(b_, "a/b");
  auto unsubscribe = [&](uint32_t broker, uint32_t rowId) {
    kv::message m;
    m.set(kv::u32_id(11), broker);
    m.set(kv::u32_id(13), rowId);
    return command(6, m);
  };
  EXPECT_EQ(unsubscribe(b_, ownRow)->failure(), "Client not present");
  connectBroker(b_);
  broker_.drain();
  EXPECT_EQ(unsubscribe(b_, 999)->failure(), "Must provide valid topic");
  EXPECT_EQ(command(6, fieldsWith(kv::u32_id(11), b_))->failure(), "Must provide valid topic");
  // Naming the other broker's row unsubscribes this broker's row with its filter.
  OutcomePtr done = unsubscribe(b_, othersRow);
  EXPECT_EQ("A2 07 00 03 00 03 61 2F 62", broker_.drain());
  EXPECT_FALSE(done->done);
  EXPECT_NE(subscriptionTables.subscriptions.findRow(ownRow), nullptr);
  broker_.send("B0 02 00 03");
  EXPECT_TRUE(done->ok());
  EXPECT_EQ(subscriptionTables.subscriptions.findRow(ownRow), nullptr);
  EXPECT_NE(subscriptionTables.subscriptions.findRow(othersRow), nullptr);
  EXPECT_EQ(unsubscribe(b_, othersRow)->failure(), "Subscription does not belong to target broker");

  // Not connected: the row goes on the next loop turn, nothing is sent.
  const uint32_t again = addSubscription(b_, "c");
  disconnectCmd(b_);
  broker_.drain();
  EXPECT_TRUE(unsubscribe(b_, again)->ok());
  EXPECT_EQ(subscriptionTables.subscriptions.findRow(again), nullptr);
}

// Every command names its broker (field 1, or 11 for subscribe and
// unsubscribe) and is checked before anything is sent or a packet
// identifier is taken.
TEST_F(RequestsTest, CommandsAreCheckedBeforeAnythingHappens) {
  connectBroker(b_);
  auto with = [&](uint32_t brokerField, uint32_t broker,
                  std::initializer_list<std::pair<uint32_t, std::string>> strings,
                  std::initializer_list<std::pair<uint32_t, uint32_t>> numbers) {
    kv::message m;
    if (brokerField) m.set(kv::u32_id(brokerField), broker);
    for (const auto& s : strings) m.set(kv::string_id(s.first), s.second);
    for (const auto& n : numbers) m.set(kv::u32_id(n.first), n.second);
    return m;
  };
  const struct { uint32_t command; kv::message fields; const char* failure; } cases[] = {
      {2, with(0, 0, {}, {}), "Broker required"},
      {2, with(1, 0xFFFFFFFF, {}, {}), "Broker required"},
      {2, with(1, b_ + 100, {}, {}), "No such broker"},
      {3, with(0, 0, {}, {}), "Broker required"},
      {1, with(1, b_ + 100, {}, {}), "No such broker"},
      {4, with(1, b_, {}, {}), "Broker required"},
      {6, with(11, b_ + 100, {}, {}), "No such broker"},
      {1, with(1, b_, {{2, "a"}}, {{5, 3}}), "Max QoS is 2"},
      {1, with(1, b_, {}, {}), "Topic required"},
      {1, with(1, b_, {{2, "a/+"}}, {}), "Invalid topic"},
      {1, with(1, b_, {{2, "a/#"}}, {}), "Invalid topic"},
      {1, with(1, b_, {{2, "a"}, {3, std::string(2 * 1024 * 1024 + 1, 'x')}}, {}),
       "Message too large"},
      {1, with(1, b_, {{2, std::string(65536, 't')}}, {}), "Topic too long"},
      {4, with(11, b_, {}, {{13, 3}}), "Qos must be 0, 1 or 2"},
      {4, with(11, b_, {}, {}), "Must provide topic"},
      {4, with(11, b_, {{12, "a/+/+"}}, {}), "Invalid topic path"},
      {4, with(11, b_, {{12, "#/a"}}, {}), "Invalid topic path"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(command(c.command, c.fields)->failure(), c.failure) << "command " << c.command;
  }
  EXPECT_EQ(kv::getErrorCode(command(77)->reply), kv::ERR_UNKNOWN_COMMAND);
  EXPECT_EQ("", broker_.drain());
  publishCmd(b_, "a", "", 1);
  EXPECT_EQ("32 05 00 01 61 00 02", broker_.drain());
}

TEST_F(RequestsTest, ASubscribeIsRecordedOnlyWhenTheBrokerGrantsIt) {
  const struct { const char* suback; uint32_t asked; const char* failure; const char* line; } cases[] = {
      {"90 03 00 02 01", 1, nullptr, nullptr},
      {"90 03 00 02 02", 1, nullptr, nullptr},
      {"90 03 00 02 00", 2, nullptr, "mqtt: *** b: subscription to f granted QoS 0, asked 2\n"},
      {"90 03 00 02 80", 0, "Subscription refused by the broker", nullptr},
      {"90 03 00 02 03", 0, "Subscription refused by the broker", nullptr},
      {"90 03 00 02 81", 0, "Subscription refused by the broker", nullptr},
      {"90 02 00 02", 0, "Subscription refused by the broker", nullptr},  // no code: nothing granted
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.suback);
    connectBroker(b_);
    clearConsole();
    OutcomePtr done = subscribeCmd(b_, "f", c.asked);
    broker_.drain();  // SUBSCRIBE, identifier 2 on each new connection's client
    broker_.send(c.suback);
    EXPECT_EQ(c.failure ? c.failure : "", done->ok() ? "" : done->failure());
    EXPECT_EQ(subscriptionTables.subscriptions.size(), c.failure ? 0u : 1u);
    const std::string line = c.line ? c.line : "subscription to";
    EXPECT_EQ(c.line != nullptr, logged(line)) << console();
    removeRow(BROKERS, b_);  // and its rows: the next case starts afresh
    b_ = addBroker();
  }
}

// Nobody waits for the re-subscriptions of a connection: a refusal and a
// lower QoS are logged, once for each connection.
TEST_F(RequestsTest, RefusedReSubscriptionsAreLoggedOncePerConnection) {
  addSubscription(b_, "denied", "", 1);
  addSubscription(b_, "lowered", "", 2);
  addSubscription(b_, "granted", "", 1);
  for (int connection = 1; connection <= 2; ++connection) {
    connectBroker(b_);
    broker_.drain();  // three SUBSCRIBEs, identifiers 2, 3, 4 after each CONNACK
    const uint16_t first = connection == 1 ? 2 : 5;
    broker_.send(strprintf("90 03 00 %02X 80 90 03 00 %02X 00 90 03 00 %02X 01", first, first + 1,
                           first + 2));
    EXPECT_EQ(timesLogged("mqtt: *** b: subscription to denied refused by the broker\n"),
              static_cast<size_t>(connection));
    EXPECT_EQ(timesLogged("mqtt: *** b: subscription to lowered granted QoS 0, asked 2\n"),
              static_cast<size_t>(connection));
    EXPECT_EQ(timesLogged("subscription to granted"), 0u);
    EXPECT_TRUE(row(b_).connected);
    EXPECT_EQ(subscriptionTables.subscriptions.size(), 3u);  // the rows stay
    disconnectCmd(b_);
    broker_.drain();
  }
}

// A broker that does not speak QoS 2 answers PUBACK: the publish is done,
// and the log says so once for each connection.
TEST_F(RequestsTest, APubackAnswersAQos2PublishWithOneWarningPerConnection) {
  const std::string warning =
      "mqtt: *** b: PUBACK answered a QoS 2 PUBLISH; taken as delivered (the broker may not "
      "support QoS 2)\n";
  for (int connection = 1; connection <= 2; ++connection) {
    connectBroker(b_);
    for (int publish = 0; publish < 2; ++publish) {
      OutcomePtr done = publishCmd(b_, "a", "x", 2);
      const std::string sent = broker_.drain();  // 34 06 00 01 61 II II 78
      ASSERT_EQ(sent.size(), 23u) << sent;
      broker_.send("40 02 " + sent.substr(15, 5));
      EXPECT_TRUE(done->ok()) << done->failure();
    }
    EXPECT_EQ(timesLogged(warning), static_cast<size_t>(connection));
    disconnectCmd(b_);
    broker_.drain();
  }
}

}  // namespace
