// Publishing with queueWhileOffline, against the scripted broker in virtual
// time: the outbox answers at once, connects and keeps trying with the
// back-off, sends in order once a broker accepts, re-sends with DUP what a
// lost connection left unacknowledged, and holds to its bounds.
#include "support/service_fixture.h"

namespace {

class OutboxTest : public ServiceFixture {
 protected:
  void SetUp() override {
    ServiceFixture::SetUp();
    b_ = addBroker();  // no automatic connection of its own
  }
  OutcomePtr queue(const std::string& data, uint32_t qos, kv::message extra = kv::message()) {
    extra.set(kv::bool_id(16), true);
    return publishCmd(b_, "t", data, qos, extra);
  }
  // The broker takes the connection and its CONNECT, then closes it.
  void refuseAttempt() {
    ASSERT_TRUE(broker_.accept());
    broker_.drain();
    broker_.drop();
    turns();
  }
  uint32_t b_ = 0;
};

TEST_F(OutboxTest, QueuedMessagesWaitForTheBrokerWhileTheClientKeepsTrying) {
  OutcomePtr first = queue("m1", 1);
  EXPECT_TRUE(first->ok()) << first->failure();  // at once
  refuseAttempt();  // the first message connects at once, as connectIfNeeded would
  EXPECT_TRUE(queue("m2", 0)->ok());
  EXPECT_FALSE(broker_.accept(1));  // the next ones wait for the back-off
  EXPECT_EQ(client(b_)->report().outboxMessages, 2u);
  EXPECT_EQ(client(b_)->report().outboxBytes, 6u);  // topic and data

  // The row has no automatic connection; the outbox brings it all the same.
  ExpectedBackoff expected;
  advanceTicks(expected.next() - 1);
  EXPECT_FALSE(broker_.accept(1));
  advanceTicks(1);
  refuseAttempt();
  advanceTicks(expected.next());  // doubled after the failed automatic attempt
  broker_.handshake();
  EXPECT_EQ("32 07 00 01 74 00 02 6D 31 30 05 00 01 74 6D 32", broker_.drain());
  EXPECT_EQ(client(b_)->report().outboxMessages, 1u);  // the QoS 0 one is written
  broker_.send("40 02 00 02");
  EXPECT_EQ(client(b_)->report().outboxMessages, 0u);
  EXPECT_EQ(client(b_)->report().outboxBytes, 0u);

  // Empty again: a lost connection brings no automatic attempt.
  broker_.drop();
  advance(150);
  EXPECT_FALSE(broker_.accept(1));
}

TEST_F(OutboxTest, WhatALostConnectionLeftUnacknowledgedGoesAgainWithDup) {
  connectBroker(b_);
  queue("a", 1);
  queue("b", 2);
  queue("c", 0);
  EXPECT_EQ("32 06 00 01 74 00 02 61 34 06 00 01 74 00 03 62 30 04 00 01 74 63", broker_.drain());
  broker_.drop();  // no acknowledgement comes
  turns();
  EXPECT_EQ(client(b_)->report().outboxMessages, 2u);

  OutcomePtr reconnected = connectCmd(b_);  // a command connects at once
  broker_.handshake();
  EXPECT_TRUE(reconnected->ok());
  EXPECT_EQ("3A 06 00 01 74 00 05 61 3C 06 00 01 74 00 06 62", broker_.drain());
  broker_.send("50 02 00 06");
  EXPECT_EQ("62 02 00 06", broker_.drain());
  broker_.send("40 02 00 05 70 02 00 06");
  EXPECT_EQ(client(b_)->report().outboxMessages, 0u);
}

// At most 20 messages are with the connection at a time; each
// acknowledgement lets the next one go, in order.
TEST_F(OutboxTest, TheConnectionTakesTwentyMessagesAtATime) {
  connectBroker(b_);
  for (char data = 'A'; data < 'A' + 22; ++data) queue(std::string(1, data), 1);
  const std::string window = broker_.drain();
  EXPECT_EQ(window.size(), 20 * 8 * 3 - 1u) << window;  // twenty PUBLISH of 8 bytes
  EXPECT_EQ(window.substr(window.size() - 23), "32 06 00 01 74 00 15 54");  // the 20th, "T"
  broker_.send("40 02 00 03");  // the second first: order of acknowledgements is the broker's
  EXPECT_EQ("32 06 00 01 74 00 16 55", broker_.drain());
  broker_.send("40 02 00 02");
  EXPECT_EQ("32 06 00 01 74 00 17 56", broker_.drain());
}

TEST_F(OutboxTest, TheOutboxHoldsAThousandMessagesAndOneMebibyte) {
  const std::string almostAll(1024 * 1024 - 1, 'x');  // with the topic "t": all the bytes
  const struct { const char* what; std::vector<std::string> before; std::string last; const char* failure; }
      cases[] = {
          {"the whole byte bound", {}, almostAll, nullptr},
          {"one byte more", {almostAll}, "", "Outbox full"},
          {"larger than the outbox", {}, std::string(1024 * 1024, 'x'), "Outbox full"},
          {"the thousandth", std::vector<std::string>(999, "m"), "m", nullptr},
          {"one message more", std::vector<std::string>(1000, ""), "", "Outbox full"},
      };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    for (const std::string& data : c.before) ASSERT_TRUE(queue(data, 1)->ok());
    OutcomePtr last = queue(c.last, 1);
    EXPECT_EQ(c.failure ? c.failure : "", last->ok() ? "" : last->failure());
    removeRow(BROKERS, b_);  // drops the outbox
    b_ = addBroker();
  }
}

TEST_F(OutboxTest, QueueingChecksAndWhatGoesWithARemovedRow) {
  EXPECT_EQ(queue("x", 1, fieldsWith(kv::bool_id(7), true))->failure(),
            "Cannot disconnect after a queued message");
  // The client connects to deliver, whatever connectIfNeeded says.
  EXPECT_TRUE(queue("x", 1, fieldsWith(kv::bool_id(14), false))->ok());
  EXPECT_TRUE(queue("y", 0)->ok());
  EXPECT_TRUE(broker_.accept());
  clearConsole();
  removeRow(BROKERS, b_);
  EXPECT_TRUE(logged("mqtt: *** b: outbox dropped: 2 messages not delivered\n")) << console();
}

}  // namespace
