// The client when the broker or the link fails, in virtual time against
// the scripted broker: a broker that stops reading (frozen, or behind a
// dead link) until the client's send buffer is full, and when each command
// is answered then. The same faults made for real, with the real daemon,
// are in tests/integration/faults_test.cc.
#include <functional>
#include <set>

#include "mqtt/received.h"
#include "support/service_fixture.h"

namespace {

constexpr uint32_t KEEP_ALIVE = 30;
// Data of the publishes that fill the send buffer: a little over 1 MiB,
// so that what the socket takes ends inside one of them.
const std::string FILL(1024 * 1024 + 3, 'p');

class FaultsTest : public ServiceFixture {
 protected:
  // A broker row with a 30 s keep-alive, connected to `broker`, whose
  // small receive buffer lets the client's send buffer fill soon.
  uint32_t connected(ScriptedBroker& broker, const std::string& name = "b") {
    broker.limitReceiveBuffer(64 * 1024);
    kv::message settings;
    settings.set(brokerRow::KEEP_ALIVE_FIELD, KEEP_ALIVE);
    settings.set(brokerRow::PORT_FIELD, uint32_t{broker.port()});
    const uint32_t b = addBroker(name, settings);
    connectBroker(b, &broker);
    return b;
  }
  uint32_t connected() { return connected(broker_); }
  // The broker has stopped reading: publishes of FILL at QoS 0 until one
  // is refused, the queue full. Then `broker` reads once, a little, and the
  // client writes what the socket takes of the queue: the socket is full
  // again, and the packet at the head of the queue partly written. Returns
  // what the broker read.
  std::string fill(uint32_t b, ScriptedBroker& broker) {
    for (int i = 0; i < 64; ++i) {
      OutcomePtr done = publishCmd(b, "fill", FILL, 0);
      if (done->failure() == "Output queue full") break;
      EXPECT_TRUE(done->ok()) << done->failure();
    }
    EXPECT_EQ("Output queue full", publishCmd(b, "fill", FILL, 0)->failure());
    const std::string read = broker.take(3 * FILL.size() / 2);
    turns();
    return read;
  }
  std::string fill(uint32_t b) { return fill(b, broker_); }
  // Everything the client writes until it closes the connection, moving
  // virtual time on while nothing comes (a close may wait for a timer).
  std::string readUntilClosed(ScriptedBroker& broker) {
    std::string stream = broker.readToEnd();
    for (int i = 0; i < 10 && !broker.sawEnd(); ++i) {
      advance(1);
      stream += broker.readToEnd();
    }
    EXPECT_TRUE(broker.sawEnd()) << "the client never closed the connection";
    return stream;
  }
  // Checks that `stream` (what the client wrote after CONNECT) holds whole
  // packets only: the publishes of FILL byte for byte, a DISCONNECT only
  // as the last packet, and nothing after the packets but, when the close
  // cut into a publish, a prefix of that publish. Returns the packets.
  static WrittenPackets expectWhole(const std::string& stream) {
    const std::string fill = publishBytes("fill", 0, 0, FILL);
    WrittenPackets written = splitPackets(stream);
    for (size_t i = 0; i < written.whole.size(); ++i) {
      const mqtt::MqttPacket& p = written.whole[i];
      const std::string bytes(p.bytes.begin(), p.bytes.end());
      const std::string where = "packet " + std::to_string(i) + " (type " + std::to_string(p.type) + ")";
      EXPECT_TRUE(p.type != mqtt::Publish || bytes.size() < FILL.size() || bytes == fill) << where;
      EXPECT_TRUE(p.type != mqtt::Disconnect || (i + 1 == written.whole.size() && written.cutShort.empty()))
          << where << ": bytes follow the DISCONNECT";
    }
    const std::string& tail = written.cutShort;
    EXPECT_TRUE(tail.size() <= fill.size() && fill.compare(0, tail.size(), tail) == 0)
        << "the stream ends in " << tail.size() << " bytes that are no prefix of a publish: ... "
        << hexText(tail.substr(tail.size() - std::min<size_t>(8, tail.size())));
    return written;
  }
};

TEST_F(FaultsTest, WithTheBrokerFrozenEveryCommandIsAnsweredWithinItsBound) {
  const uint32_t b = connected();
  fill(b);
  struct Case {
    const char* what;
    OutcomePtr outcome;
    double boundSeconds;  // docs/client.md, "Waiting commands"
  };
  const Case cases[] = {
      {"connect", connectCmd(b), 0},
      {"publish, QoS 0", publishCmd(b, "t", "x", 0), 0},
      {"publish, QoS 1", publishCmd(b, "t", "x", 1), 3},
      {"publish, QoS 2", publishCmd(b, "t", "x", 2), 3},
      {"subscribe", subscribeCmd(b, "s/#", 1), 3},
      {"publish, QoS 0, disconnect after", publishCmd(b, "t", "x", 0, disconnectAfter()), 3},
      // The broker reads nothing, so the DISCONNECT cannot go out: a 2 s
      // grace, then the socket is closed and the command answered.
      {"disconnect", disconnectCmd(b), 2},
  };
  std::set<double> bounds;
  for (const Case& c : cases) bounds.insert(c.boundSeconds);
  double now = 0;
  for (double bound : bounds) {
    advance(bound - now);
    now = bound;
    for (const Case& c : cases) {
      EXPECT_TRUE(c.boundSeconds != bound || c.outcome->done) << c.what << " not answered within " << bound << " s";
    }
  }
}

TEST_F(FaultsTest, ADeadLinkIsNoticedAlsoWhenThePingreqCannotBeWritten) {
  const uint32_t b = connected();
  fill(b);  // the last write: the PINGREQ is due KEEP_ALIVE - 1 s later
  // The PINGREQ waits behind the queue for good; 1.5 x keep-alive after it
  // was due, the link is taken for dead all the same.
  advance(KEEP_ALIVE - 1 + KEEP_ALIVE * 1.5);
  EXPECT_FALSE(row(b).connected);
  EXPECT_TRUE(broker_.closedByClient());
}

// A disconnect that comes while the packet at the head of the queue is
// partly written: the broker must never see a DISCONNECT (or anything)
// after part of another packet. Each way the client ends a connection.
TEST_F(FaultsTest, TheBrokerReceivesWholePacketsWhenADisconnectCutsIntoOne) {
  struct Case {
    const char* what;
    size_t room;  // bytes the broker reads just before: room for a DISCONNECT
    std::function<void(uint32_t)> cut;
    bool finishes;  // the broker reads on at once, so the head can be finished
  };
  const Case cases[] = {
      {"disconnect", 0, [this](uint32_t b) { disconnectCmd(b); }, true},
      {"broker removed", 64 * 1024, [this](uint32_t b) { removeRow(BROKERS, b); }, false},
      {"connect while disconnecting", 64 * 1024, [this](uint32_t b) {
         disconnectCmd(b);
         connectCmd(b);
       }, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ScriptedBroker broker([this] { loop_->turn(); });
    const uint32_t b = connected(broker, c.what);
    std::string stream = fill(b, broker);
    stream += broker.take(c.room);
    c.cut(b);
    const WrittenPackets written = expectWhole(stream + readUntilClosed(broker));
    if (c.finishes) {
      ASSERT_FALSE(written.whole.empty());
      EXPECT_EQ(mqtt::Disconnect, written.whole.back().type);
    }
    if (brokerTable.findRow(b)) removeRow(BROKERS, b);
    advance(2);
  }
}

TEST_F(FaultsTest, NothingOfOneConnectionIsWrittenOnTheNext) {
  const uint32_t b = connected();
  EXPECT_TRUE(disconnectCmd(b)->ok());
  advance(KEEP_ALIVE);  // past the keep-alive of the connection that ended
  connectBroker(b);
  EXPECT_EQ("", broker_.drain()) << "after CONNACK, with no subscriptions to make again";
}

TEST_F(FaultsTest, AQos0PublishAnsweredWithSuccessIsWritten) {
  const uint32_t b = connected();
  std::string stream = fill(b);
  // Queued behind the first one's DISCONNECT, the second is never written.
  OutcomePtr first = publishCmd(b, "first", "x", 0, disconnectAfter());
  OutcomePtr second = publishCmd(b, "second", "x", 0);
  const WrittenPackets written = expectWhole(stream + readUntilClosed(broker_));
  std::set<std::string> topics;
  for (const mqtt::MqttPacket& p : written.whole) {
    const std::optional<mqtt::PublishFields> publish = mqtt::parsePublish(p);
    if (publish) topics.insert(publish->topic);
  }
  for (const auto& c : {std::make_pair("first", first), std::make_pair("second", second)}) {
    EXPECT_TRUE(c.second->done) << c.first;
    EXPECT_TRUE(!c.second->ok() || topics.count(c.first)) << c.first << " answered success, never written";
  }
}

// The queue overflows while the broker's rows are subscribed again at
// CONNACK (publishes waited for the connection, and the filters are
// long): the connection ends once, and the idle client neither keeps
// queuing nor calls its row connected.
TEST_F(FaultsTest, AQueueOverflowAtConnackEndsTheConnectionOnce) {
  const uint32_t b = addBroker("b", fieldsWith(brokerRow::KEEP_ALIVE_FIELD, KEEP_ALIVE));
  for (int i = 0; i < 180; ++i) {
    auto subscription = std::make_unique<SubscriptionEntry>();
    subscription->brokerId = b;
    subscription->setTopic(std::string(60000, 'f') + std::to_string(i));
    subscriptionTables.subscriptions.add(std::move(subscription), false);
  }
  std::vector<OutcomePtr> publishes;
  for (int i = 0; i < 7; ++i) publishes.push_back(publishCmd(b, "fill", FILL, 1));
  broker_.handshake();
  turns();
  EXPECT_EQ(1u, timesLogged("output queue overflow")) << console();
  EXPECT_FALSE(row(b).connected);
  EXPECT_EQ(ConnectionState::Idle, client(b)->state());
  EXPECT_EQ(0u, client(b)->queuedPackets());
  for (const OutcomePtr& publish : publishes) EXPECT_EQ("Connection failed", publish->failure());
}

}  // namespace
