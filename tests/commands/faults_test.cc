// The client when the broker or the link fails, in virtual time against
// the scripted broker: a broker that stops reading (frozen, or behind a
// dead link) until the client's send buffer is full, and when each command
// is answered then. The same faults made for real, with the real daemon,
// are in tests/integration/faults_test.cc.
#include <set>

#include "support/service_fixture.h"

namespace {

constexpr uint32_t KEEP_ALIVE = 30;
// How long a disconnect waits for a broker that does not read.
constexpr double DISCONNECT_GRACE_SECONDS = 1;
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
    settings.set(kv::u32_id(10), KEEP_ALIVE);
    settings.set(kv::u32_id(2), broker.port());
    const uint32_t b = addBroker(name, settings);
    OutcomePtr done = connectCmd(b);
    EXPECT_NE("no connection", broker.handshake());
    turns();
    EXPECT_TRUE(done->ok()) << done->failure();
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
      // The broker reads nothing, so the DISCONNECT cannot go out: a short
      // grace, then the socket is closed and the command answered.
      {"disconnect", disconnectCmd(b), DISCONNECT_GRACE_SECONDS},
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

}  // namespace
