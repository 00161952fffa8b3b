// A broker that sends what no broker should: each stream is sent whole and
// byte by byte, before and after CONNACK. The client logs what went wrong,
// tears the connection down, leaks nothing (ASan), and automatic
// connection brings it back. A message above the size bound is not such a
// stream: it is skipped and the connection kept.
#include "support/service_fixture.h"

namespace {

struct Hostile {
  const char* name;
  bool afterConnack;
  std::string stream;  // bytes
  bool closeAfter;     // the broker closes once it has sent the stream
  const char* line;    // the warning logged, after "mqtt: *** b: "
};

std::string bytes(const std::string& hex) { return hexToBytes(hex); }

std::vector<Hostile> hostileStreams() {
  return {
      {"five length bytes", true, bytes("30 80 80 80 80 01"), false,
       "malformed PUBLISH (shorter than its topic); closing the connection"},
      {"SUBACK of 256 MiB announced", true, bytes("90 FF FF FF 7F"), false,
       "packet too large (268435455 bytes)"},
      {"topic longer than the body", true, bytes("30 03 00 05 61"), false,
       "malformed PUBLISH (shorter than its topic); closing the connection"},
      {"identifier missing", true, bytes("32 03 00 01 61"), false,
       "malformed PUBLISH (shorter than its topic); closing the connection"},
      {"PUBLISH before CONNACK", false, bytes("30 03 00 01 61"), false,
       "unexpected packet (3); closing the connection"},
      {"second CONNACK", true, bytes("20 02 00 00"), false,
       "unexpected packet (2); closing the connection"},
      {"short CONNACK", false, bytes("20 01 00"), false, "malformed CONNACK; closing the connection"},
      {"garbage", true, bytes("F7 FF FF FF FF 13 37"), false, "packet too large (268435455 bytes)"},
      {"closed inside a length", true, bytes("30 80"), true, "couldn't read length byte (0) [Success]"},
      {"closed inside a body", true, bytes("30 0A 00 01"), true,
       "couldn't read packet to buffer (0) [Success]"},
      {"closed between packets", true, bytes("D0 00"), true, "peer disconnected"},
      {"large PUBLISH in pieces, then close", true, publishBytes("t", 0, 0, std::string(3000, 'z')), true,
       "peer disconnected"},
  };
}

class HostileBrokerTest : public ServiceFixture {};

TEST_F(HostileBrokerTest, TearsDownLogsAndConnectsAgain) {
  const uint32_t b = addBroker("b", fieldsWith(kv::bool_id(9), true));
  clients().create(row(b));
  ExpectedBackoff expected;
  for (const Hostile& h : hostileStreams()) {
    for (bool bytewise : {false, true}) {
      SCOPED_TRACE(std::string(h.name) + (bytewise ? ", byte by byte" : ", whole"));
      clearConsole();
      subscriptionTables.received.clear();
      advanceTicks(expected.next());  // automatic connection
      ASSERT_TRUE(broker_.accept());
      broker_.drain();  // CONNECT
      if (h.afterConnack) broker_.send("20 02 00 00");
      if (h.afterConnack) expected.backoff.reset();
      if (bytewise) {
        for (char byte : h.stream) broker_.sendBytes(std::string(1, byte));
      } else {
        broker_.sendBytes(h.stream);
      }
      if (h.closeAfter) broker_.drop();
      turns();
      EXPECT_TRUE(logged(std::string("mqtt: *** b: ") + h.line + "\n")) << console();
      EXPECT_FALSE(row(b).connected);
      EXPECT_EQ(client(b)->state(), ConnectionState::Idle);
      broker_.drop();
    }
  }
}

// A PUBLISH whose body is `extra` bytes above the bound, built by hand
// (the builders refuse such data).
std::string oversizedPublish(const std::string& topic, uint8_t qos, bool retain, uint16_t id,
                             uint32_t extra) {
  const size_t head = 2 + topic.size() + (qos > 0 ? 2 : 0);
  const uint32_t body = mqtt::MAX_PACKET_BODY + extra;
  mqtt::Bytes bytes{static_cast<uint8_t>(0x30 | qos << 1 | (retain ? 1 : 0))};
  mqtt::appendRemainingLength(bytes, body);
  EXPECT_TRUE(mqtt::appendString(bytes, topic));
  if (qos > 0) mqtt::appendUint16(bytes, id);
  bytes.resize(bytes.size() + body - head, 'o');
  return std::string(bytes.begin(), bytes.end());
}

// Each oversized message is acknowledged as its QoS asks and dropped with
// one line; the message after it arrives on the same connection.
TEST_F(HostileBrokerTest, AMessageAboveTheBoundIsSkippedAndTheConnectionKept) {
  const struct {
    const char* what;
    std::string stream;
    size_t piece;
    const char* ack;   // what the client answers, in hex
    const char* line;  // after "mqtt: *** b: "
  } cases[] = {
      {"QoS 0, whole", oversizedPublish("big/0", 0, false, 0, 1), SIZE_MAX, "",
       "message too large (2162692 bytes), skipped: topic big/0"},
      {"QoS 1, retained, in pieces", oversizedPublish("big/1", 1, true, 0x0102, 5000), 70001,
       "40 02 01 02", "message too large (2167691 bytes), skipped: topic big/1"},
      {"QoS 2", oversizedPublish("big/2", 2, false, 7, 1), SIZE_MAX, "50 02 00 07",
       "message too large (2162692 bytes), skipped: topic big/2"},
      {"a topic that is no text", oversizedPublish(std::string("a\n\x01", 3), 0, false, 0, 1),
       SIZE_MAX, "", "message too large (2162692 bytes), skipped: topic a\\x0A\\x01"},
  };
  const uint32_t b = addBroker();
  connectBroker(b);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    clearConsole();
    subscriptionTables.received.clear();
    for (size_t at = 0; at < c.stream.size(); at += c.piece) broker_.sendBytes(c.stream.substr(at, c.piece));
    broker_.sendBytes(publishBytes("after", 0, 0, "small"));
    EXPECT_EQ(c.ack, broker_.drain());
    EXPECT_TRUE(logged(std::string("mqtt: *** b: ") + c.line + "\n")) << console();
    ASSERT_EQ(subscriptionTables.received.size(), 1u);
    EXPECT_EQ(subscriptionTables.received.begin()->topic, "after");
    EXPECT_TRUE(row(b).connected);
  }
}

// A retained message too large for the service comes back at every
// connection; it must not end each of them.
TEST_F(HostileBrokerTest, ARetainedOversizedMessageDoesNotEndEveryConnection) {
  const uint32_t b = addBroker("b", fieldsWith(brokerRow::AUTO_CONNECT_FIELD, true));
  addSubscription(b, "big/#", "", 1);
  for (int connection = 0; connection < 2; ++connection) {
    SCOPED_TRACE(connection);
    connectBroker(b);
    EXPECT_EQ("82 0A", broker_.drain().substr(0, 5));  // SUBSCRIBE big/#
    broker_.sendBytes(oversizedPublish("big/r", 1, true, 9, 1));
    EXPECT_EQ("40 02 00 09", broker_.drain());
    advance(10);
    EXPECT_TRUE(row(b).connected);
    EXPECT_FALSE(broker_.closedByClient());
    EXPECT_TRUE(disconnectCmd(b)->ok());
  }
}

}  // namespace
