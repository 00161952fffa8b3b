// What a broker grants and refuses, against the scripted broker: SUBACK
// return codes for subscribe commands and for the re-subscriptions of each
// connection, and a PUBACK that answers a QoS 2 PUBLISH.
#include "support/service_fixture.h"

namespace {

class RefusalsTest : public ServiceFixture {
 protected:
  void SetUp() override {
    ServiceFixture::SetUp();
    b_ = addBroker();
  }
  size_t timesLogged(const std::string& text) const {
    const std::string all = console();
    size_t count = 0;
    for (size_t at = all.find(text); at != std::string::npos; at = all.find(text, at + 1)) ++count;
    return count;
  }
  uint32_t b_ = 0;
};

TEST_F(RefusalsTest, ASubscribeIsRecordedOnlyWhenTheBrokerGrantsIt) {
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
TEST_F(RefusalsTest, RefusedReSubscriptionsAreLoggedOncePerConnection) {
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
TEST_F(RefusalsTest, APubackAnswersAQos2PublishWithOneWarningPerConnection) {
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
