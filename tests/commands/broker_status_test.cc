// The broker-status view [5] through the bus, as the console reads it: a
// client's state, last failure, failed attempts, next automatic attempt
// and traffic as they change; the view's listing, counting and refusals.
#include "contracts/broker_status.h"
#include "support/service_fixture.h"

namespace {

namespace status = contract::broker_status;
using State = status::State;
using Kind = kv::Status::Kind;

class BrokerStatusTest : public ServiceFixture {
 protected:
  status::BrokerStatus statusOf(uint32_t broker) {
    const kv::message reply = getRow(STATUS, broker);
    EXPECT_FALSE(kv::isError(reply)) << kv::getError(reply);
    return status::decode(reply);
  }
  void expectFailure(uint32_t broker, Kind kind, const std::string& text, uint32_t attempts) {
    const status::BrokerStatus row = statusOf(broker);
    EXPECT_EQ(row.failureKind, static_cast<uint32_t>(kind)) << row.failureText;
    EXPECT_EQ(row.failureKindName, kv::kindName(kind));
    EXPECT_EQ(row.failureText, text);
    EXPECT_EQ(row.failedAttempts, attempts);
  }
};

// The end of a requested disconnect is no failure; a CONNACK ends a run of
// failed attempts; a lost connection is a failure but not a failed attempt.
TEST_F(BrokerStatusTest, TheRowKeepsTheLastFailureTheFailedAttemptsAndTheTraffic) {
  const uint32_t b = addBroker();
  clients().create(row(b));
  EXPECT_FALSE(statusOf(b).hasFailure());
  connectCmd(b);
  broker_.handshake(5);
  turns();
  expectFailure(b, Kind::Refused, "Connection refused: not authorised", 1);
  EXPECT_EQ(statusOf(b).failureTime, loop_->getLocaltime());
  connectCmd(b);
  ASSERT_TRUE(broker_.accept());
  advance(5);
  expectFailure(b, Kind::Timeout, "not connected within 5 s; closing the connection", 2);

  connectBroker(b);
  expectFailure(b, Kind::Timeout, "not connected within 5 s; closing the connection", 0);
  EXPECT_EQ(statusOf(b).state, static_cast<uint32_t>(State::Connected));
  publishCmd(b, "a", "hi", 0);
  broker_.send("30 03 00 01 62");
  const status::BrokerStatus traffic = statusOf(b);
  EXPECT_EQ(traffic.messagesOut, 1u);
  EXPECT_EQ(traffic.messagesIn, 1u);
  EXPECT_EQ(traffic.bytesOut, 3 * 16u + 7u);  // a CONNECT each attempt, the PUBLISH
  EXPECT_EQ(traffic.bytesIn, 2 * 4u + 5u);    // two CONNACKs, the PUBLISH
  EXPECT_EQ(traffic.outboxMessages, 0u);
  disconnectCmd(b);
  expectFailure(b, Kind::Timeout, "not connected within 5 s; closing the connection", 0);
  connectBroker(b);
  broker_.drop();
  turns();
  expectFailure(b, Kind::PeerClosed, "peer disconnected", 0);
  EXPECT_EQ(statusOf(b).state, static_cast<uint32_t>(State::Idle));
  EXPECT_EQ(statusOf(b).since, loop_->getLocaltime());
}

// The next automatic attempt is said to the second (rounded up), and comes
// then: not a second earlier.
TEST_F(BrokerStatusTest, TheNextAutomaticAttemptComesWhenTheRowSays) {
  const uint32_t manual = addBroker("manual");
  const uint32_t automatic = addBroker("auto", fieldsWith(kv::bool_id(9), true));
  clients().create(row(manual));
  clients().create(row(automatic));
  advance(0.5);
  EXPECT_EQ(statusOf(manual).nextAttempt, 0u);
  const status::BrokerStatus waiting = statusOf(automatic);
  ASSERT_GT(waiting.nextAttempt, waiting.readAt);
  advance(waiting.nextAttempt - waiting.readAt - 1);
  EXPECT_EQ(statusOf(automatic).state, static_cast<uint32_t>(State::Idle));
  advance(1);
  EXPECT_NE(statusOf(automatic).state, static_cast<uint32_t>(State::Idle));
  EXPECT_EQ(statusOf(automatic).nextAttempt, 0u);  // none armed while it is under way
}

TEST_F(BrokerStatusTest, TheViewListsAndCountsBrokerRowsAndRefusesEveryChange) {
  const uint32_t first = addBroker("first");
  const uint32_t second = addBroker("second");  // no client: reads as idle, no traffic
  clients().create(row(first));
  connectBroker(first);

  const kv::message all = call(STATUS, kv::CMD_GET_ALL, kv::message(), kv::RIGHT_READ);
  const std::vector<kv::message> rows = all.get(kv::ROWS_FIELD);
  ASSERT_EQ(rows.size(), 2u);
  EXPECT_FALSE(all.get(kv::MORE_FIELD));
  EXPECT_EQ(status::decode(rows[0]).name, "first");
  EXPECT_STREQ(status::decode(rows[0]).stateName(), "connected");
  EXPECT_EQ(status::decode(rows[1]).brokerId, second);
  EXPECT_STREQ(status::decode(rows[1]).stateName(), "idle");
  EXPECT_EQ(status::decode(rows[1]).since, 0u);
  EXPECT_EQ(call(STATUS, kv::CMD_GET_ALL, fieldsWith(kv::AFTER_ID_FIELD, first))
                .get(kv::ROWS_FIELD).size(), 1u);
  EXPECT_EQ(call(STATUS, kv::CMD_GET_COUNT).get(kv::COUNT_FIELD), 2u);

  const struct {
    uint32_t command;
    kv::message fields;
    uint32_t error;
    const char* text;
  } refusals[] = {
      {kv::CMD_GET_OBJ, kv::message(), kv::ERR_BAD_REQUEST, "object id required"},
      {kv::CMD_GET_OBJ, fieldsWith(kv::OBJECT_ID_FIELD, 99u), kv::ERR_NO_SUCH_OBJECT,
       "no such object"},
      {kv::CMD_SET_OBJ, fieldsWith(kv::OBJECT_ID_FIELD, first), kv::ERR_NOT_SUPPORTED, ""},
      {kv::CMD_ADD_OBJ, fieldsWith(kv::u32_id(1), 5u), kv::ERR_NOT_SUPPORTED, ""},
      {kv::CMD_REMOVE_OBJ, fieldsWith(kv::OBJECT_ID_FIELD, first), kv::ERR_NOT_SUPPORTED, ""},
      {kv::CMD_MOVE_OBJ, fieldsWith(kv::OBJECT_ID_FIELD, first), kv::ERR_NOT_SUPPORTED, ""},
  };
  for (const auto& r : refusals) {
    const kv::message reply = call(STATUS, r.command, r.fields);
    EXPECT_EQ(kv::getErrorCode(reply), r.error) << r.command;
    EXPECT_EQ(kv::getError(reply), r.text) << r.command;
  }
  EXPECT_STREQ(statusOf(first).stateName(), "connected");  // nothing changed it
}

}  // namespace
