// A broker that sends what no broker should: each stream is sent whole and
// byte by byte, before and after CONNACK. The client logs what went wrong,
// tears the connection down, leaks nothing (ASan), and automatic
// connection brings it back.
#include "mqtt/builders.h"
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
  const mqtt::Bytes big = mqtt::makePublish("t", 0, false, 0, std::string(3000, 'z')).packet().bytes;
  return {
      {"five length bytes", true, bytes("30 80 80 80 80 01"), false,
       "malformed PUBLISH (shorter than its topic); closing the connection"},
      {"256 MiB announced", true, bytes("30 FF FF FF 7F"), false, "packet too large (268435455 bytes)"},
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
      {"large PUBLISH in pieces, then close", true, std::string(big.begin(), big.end()), true,
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
      broker_.read(16);  // CONNECT
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

TEST_F(HostileBrokerTest, APublishSplitAcrossReadsIsAssembled) {
  const uint32_t b = addBroker();
  connectBroker(b);
  const mqtt::Bytes big = mqtt::makePublish("t", 1, false, 7, std::string(300000, 'z')).packet().bytes;
  const std::string stream(big.begin(), big.end());
  for (size_t at = 0; at < stream.size(); at += 1000) broker_.sendBytes(stream.substr(at, 1000));
  turns();
  EXPECT_EQ("40 02 00 07", broker_.drain());
  ASSERT_EQ(subscriptionTables.received.size(), 1u);
  EXPECT_EQ(subscriptionTables.received.begin()->data.size(), 300000u);
  EXPECT_TRUE(row(b).connected);
}

}  // namespace
