// Connecting and disconnecting a broker through the command handler, in
// virtual time, against the scripted broker: what goes on the wire, when
// each command is answered, the timers, and what a destroyed client leaves.
#include <arpa/inet.h>

#include <filesystem>

#include "support/service_fixture.h"

namespace {

// The default client identifier "QX", no credentials, keep-alive 60.
const char* const DEFAULT_CONNECT = "10 0E 00 04 4D 51 54 54 04 02 00 3C 00 02 51 58";

// Each line appears, in this order, among the console lines.
void expectLinesInOrder(const std::string& console, const std::vector<std::string>& lines) {
  size_t at = 0;
  for (const std::string& line : lines) {
    const size_t found = console.find(line, at);
    ASSERT_NE(found, std::string::npos) << "missing or out of order: " << line << "\n" << console;
    at = found + line.size();
  }
}

class ConnectionTest : public ServiceFixture {};

TEST_F(ConnectionTest, ConnectIsAnsweredAtConnackAndSendsConnectFirst) {
  const uint32_t b = addBroker();
  OutcomePtr done = connectCmd(b);
  ASSERT_TRUE(broker_.accept());
  EXPECT_EQ(DEFAULT_CONNECT, broker_.drain());
  EXPECT_FALSE(done->done);
  EXPECT_FALSE(row(b).connected);
  broker_.send("20 02 00 00");
  EXPECT_TRUE(done->ok()) << done->failure();
  EXPECT_TRUE(row(b).connected);
  EXPECT_TRUE(resolver_.requests.empty());  // an IPv4 literal needs no resolution
  expectLinesInOrder(console(), {"mqtt: b: Scheduling connect timeout\n",
                                 "mqtt: b: connecting to 127.0.0.1\n", "mqtt: b: socket connected\n",
                                 "mqtt: b: Connected with non-ssl socket\n",
                                 "mqtt: b: packet received (2)\n", "mqtt: b: connected to 127.0.0.1\n"});
  // Connected already: answered at once, nothing sent.
  EXPECT_TRUE(connectCmd(b)->ok());
  EXPECT_EQ("", broker_.drain());
}

TEST_F(ConnectionTest, ConnectCarriesTheRowsIdentityCredentialsAndWill) {
  struct Will {
    const char* topic;
    const char* message;
    uint32_t qos;
    bool retain;
  };
  const struct { const char* what; Will will; const char* connect; } cases[] = {
      {"no will", {"", "", 0, false},
       "10 15 00 04 4D 51 54 54 04 C2 00 1E 00 02 63 31 00 01 75 00 02 70 77"},
      {"retained will at QoS 1", {"up/b", "gone", 1, true},
       "10 21 00 04 4D 51 54 54 04 EE 00 1E 00 02 63 31 00 04 75 70 2F 62 00 04 67 6F 6E 65 "
       "00 01 75 00 02 70 77"},
      {"will settings without a topic: no will", {"", "gone", 2, true},
       "10 15 00 04 4D 51 54 54 04 C2 00 1E 00 02 63 31 00 01 75 00 02 70 77"},
  };
  int row = 0;
  for (const auto& c : cases) {
    kv::message settings;
    settings.set(kv::string_id(4), "c1");
    settings.set(kv::string_id(5), "u");
    settings.set(kv::string_id(6), "pw");
    settings.set(kv::u32_id(10), 30u);
    settings.set(kv::string_id(16), c.will.topic);
    settings.set(kv::string_id(17), c.will.message);
    settings.set(kv::u32_id(18), c.will.qos);
    settings.set(kv::bool_id(19), c.will.retain);
    const uint32_t b = addBroker("b" + std::to_string(++row), settings);
    EXPECT_EQ(c.connect, connectBroker(b)) << c.what;
  }
}

TEST_F(ConnectionTest, HostNamesAreResolvedThroughThePlatform) {
  struct Case {
    kv::message reply;
    bool connects;
  };
  kv::message found;
  found.set(kv::be32_id(4), htonl(INADDR_LOOPBACK));
  for (const Case& c : {Case{found, true}, Case{kv::failedMsg("Name or service not known"), false},
                        Case{kv::message(), false}}) {
    resolver_.requests.clear();
    clearConsole();
    kv::message settings;
    settings.set(kv::string_id(1), "broker.test");
    const uint32_t b = addBroker("b" + std::to_string(c.connects) + std::to_string(c.reply.size()),
                                 settings);
    OutcomePtr done = connectCmd(b);
    ASSERT_EQ(resolver_.requests.size(), 1u);
    EXPECT_EQ(resolver_.requests[0].get(kv::COMMAND_FIELD), 3u);
    EXPECT_EQ(resolver_.requests[0].get(kv::string_id(3)), "broker.test");
    resolver_.answer(0, c.reply);
    turns();
    if (c.connects) {
      EXPECT_EQ(DEFAULT_CONNECT, broker_.handshake());
      turns();
      EXPECT_TRUE(done->ok()) << done->failure();
    } else {
      EXPECT_EQ(done->failure(), "Connection failed");
      EXPECT_TRUE(logged("mqtt: *** couldn't resolve broker.test (broker b0")) << console();
    }
  }
}

TEST_F(ConnectionTest, AttemptsThatDoNotCompleteAreAnsweredWithConnectionFailed) {
  // A broker that never answers CONNECT: the first connect command's
  // five-second time-out ends the attempt for every waiting command.
  const uint32_t b = addBroker();
  OutcomePtr first = connectCmd(b);
  ASSERT_TRUE(broker_.accept());
  advance(1);
  OutcomePtr second = connectCmd(b);
  advance(3.9);
  EXPECT_FALSE(first->done);
  EXPECT_FALSE(second->done);
  advance(0.1);
  EXPECT_EQ(first->failure(), "Connection failed");
  EXPECT_EQ(second->failure(), "Connection failed");
  EXPECT_TRUE(broker_.closedByClient());
  // Only the command that found the client idle armed the time-out.
  EXPECT_EQ(1u, timesLogged("Scheduling connect timeout"));
}

TEST_F(ConnectionTest, RefusedConnectionsSayWhy) {
  const char* const reasons[] = {"unacceptable protocol version", "identifier rejected",
                                 "server unavailable", "bad user name or password",
                                 "not authorised"};
  const uint32_t b = addBroker();
  for (uint8_t code = 1; code <= 5; ++code) {
    OutcomePtr done = connectCmd(b);
    broker_.handshake(code);
    turns();
    const std::string refusal = std::string("Connection refused: ") + reasons[code - 1];
    EXPECT_EQ(done->failure(), refusal);
    EXPECT_TRUE(logged("mqtt: *** b: " + refusal + "\n")) << console();
    EXPECT_TRUE(broker_.closedByClient());
    EXPECT_FALSE(row(b).connected);
  }
}

// Data queued before the socket's first event (so the client watches it
// for reading too): the refusal is the connect's, never a connected socket.
TEST_F(ConnectionTest, ARefusedConnectIsReportedAsOneWithDataQueued) {
  // A port that is bound and not listening answers a connect with a reset.
  const int bound = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof addr;
  ASSERT_EQ(0, ::bind(bound, reinterpret_cast<sockaddr*>(&addr), length));
  ASSERT_EQ(0, getsockname(bound, reinterpret_cast<sockaddr*>(&addr), &length));
  const uint32_t b = addBroker("b", fieldsWith(brokerRow::PORT_FIELD, uint32_t{ntohs(addr.sin_port)}));
  BrokerClient& c = *clients().create(row(b));
  std::vector<std::string> answers;
  BrokerClient::PublishOrder order;
  order.topic = "t";
  order.qos = 1;
  for (int i = 0; i < 2; ++i) c.publish(BrokerClient::PublishOrder(order), [&](const kv::Status& s) { answers.push_back(s.message()); });
  turns();
  EXPECT_EQ(answers, (std::vector<std::string>{"Connection failed", "Connection failed"}));
  EXPECT_TRUE(logged("mqtt: *** internal error [connect: Connection refused] (broker b)\n")) << console();
  EXPECT_FALSE(logged("socket connected")) << console();
  ::close(bound);
}

TEST_F(ConnectionTest, DisconnectWritesDisconnectAndAnswersAfterTheTeardown) {
  const uint32_t b = addBroker();
  EXPECT_TRUE(disconnectCmd(b)->ok());  // no client yet
  EXPECT_TRUE(logged("mqtt: *** Client not found\n"));
  connectBroker(b);
  OutcomePtr publish = publishCmd(b, "a", "x", 2);
  broker_.drain();
  OutcomePtr done = disconnectCmd(b);
  EXPECT_EQ(publish->failure(), "Disconnecting");  // a waiting request is answered first
  EXPECT_EQ("E0 00", broker_.drain());
  EXPECT_TRUE(done->ok()) << done->failure();
  EXPECT_FALSE(row(b).connected);
  EXPECT_TRUE(broker_.closedByClient());
  EXPECT_TRUE(disconnectCmd(b)->ok());  // idle: at once
}

// Automatic connection waits the back-off: 10 s x U[0.8, 1.2] after the
// client's creation and after a lost connection, the base doubling after
// each automatic attempt that failed (up to 120 s), and back to 10 s once a
// broker accepted a connection. Each attempt comes exactly when the
// fixture's seed says, not a tick earlier.
TEST_F(ConnectionTest, AutomaticConnectionBacksOffUntilABrokerAcceptsAConnection) {
  const uint32_t b = addBroker("auto", fieldsWith(kv::bool_id(9), true));
  clients().createAll(brokerTable);  // as start-up does
  const struct { uint32_t baseSeconds; bool accepted; } attempts[] = {
      {10, false}, {20, false}, {40, false}, {80, false}, {120, false}, {120, true},
      {10, true},  {10, false}, {20, false},
  };
  ExpectedBackoff expected;
  for (const auto& a : attempts) {
    SCOPED_TRACE(a.baseSeconds);
    ASSERT_EQ(expected.backoff.baseSeconds(), a.baseSeconds);
    const kv::Ticks delay = expected.next();
    advanceTicks(delay - 1);
    EXPECT_FALSE(broker_.accept(1));
    advanceTicks(1);
    ASSERT_TRUE(broker_.accept());
    EXPECT_EQ(DEFAULT_CONNECT, broker_.drain());
    if (a.accepted) {
      broker_.send("20 02 00 00");
      EXPECT_TRUE(row(b).connected);
      expected.backoff.reset();
    }
    broker_.drop();  // the broker goes away, or never answered
    turns();
    EXPECT_FALSE(row(b).connected);
  }
  EXPECT_TRUE(logged("mqtt: auto: Auto-connecting auto\n"));
}

TEST_F(ConnectionTest, AnAutomaticAttemptEndsWhenTheBrokerNeverAnswersConnect) {
  kv::message settings;
  settings.set(kv::bool_id(9), true);
  settings.set(kv::u32_id(10), 30u);
  const uint32_t b = addBroker("auto", settings);
  clients().create(row(b));
  ExpectedBackoff expected;
  advanceTicks(expected.next());
  ASSERT_TRUE(broker_.accept());
  broker_.drain();  // CONNECT, and no CONNACK
  advance(44.9);
  EXPECT_FALSE(broker_.closedByClient());
  advance(0.1);
  EXPECT_TRUE(logged("mqtt: *** auto: nothing received for 45 s after connect; closing the connection\n"));
  EXPECT_TRUE(broker_.closedByClient());
  advanceTicks(expected.next());  // a failed automatic attempt: the doubled base
  EXPECT_TRUE(broker_.accept());
}

TEST_F(ConnectionTest, IdleConnectionsPingAndSilentBrokersAreDroppped) {
  const uint32_t b = addBroker("b", fieldsWith(kv::u32_id(10), 30u));
  connectBroker(b);
  advance(20);
  publishCmd(b, "t", "x", 0);  // a write restarts the count
  EXPECT_EQ("30 04 00 01 74 78", broker_.drain());
  advance(28.9);
  EXPECT_EQ("", broker_.drain(1));
  advance(0.1);
  EXPECT_EQ("C0 00", broker_.drain());
  EXPECT_TRUE(logged("mqtt: b: sending pingreq\n"));
  broker_.send("D0 00");  // PINGRESP: nothing to do, but the broker is alive
  advance(29);
  EXPECT_EQ("C0 00", broker_.drain());
  // No answer: 45 s (1.5 x keep-alive) after that PINGREQ the link is
  // taken for dead; the PINGREQ written at 29 s does not move the deadline.
  advance(44.9);
  EXPECT_TRUE(row(b).connected);
  advance(0.1);
  EXPECT_FALSE(row(b).connected);
  EXPECT_TRUE(logged("mqtt: *** b: nothing received for 45 s after pingreq; closing the connection\n"))
      << console();
}

TEST_F(ConnectionTest, SslBrokersSpeakThroughTheStreamTheSslServiceHandsBack) {
  kv::message literal;
  literal.set(kv::bool_id(3), true);
  const uint32_t b = addBroker("tls", literal);
  EXPECT_EQ(DEFAULT_CONNECT, connectBroker(b));
  ASSERT_EQ(ssl_.requests.size(), 1u);
  const kv::message& request = ssl_.requests[0];
  EXPECT_EQ(request.get(kv::COMMAND_FIELD), 1u);
  EXPECT_FALSE(request.get(kv::bool_id(1), true));
  EXPECT_TRUE(request.get(kv::bool_id(4)));
  EXPECT_FALSE(request.has(kv::string_id(15)));  // no server name for an IPv4 literal
  EXPECT_FALSE(request.has(kv::u32_id(2)));      // no certificate
  EXPECT_TRUE(logged("mqtt: tls: Connected with ssl socket\n"));
  EXPECT_TRUE(publishCmd(b, "t", "x", 0)->ok());
  EXPECT_EQ("30 04 00 01 74 78", broker_.drain());

  // A host name is the server name; a row's certificate goes along.
  kv::message named = literal;
  named.set(kv::string_id(1), "broker.test");
  named.set(kv::u32_id(7), 7u);
  resolver_.autoReply = [](const kv::message&) {
    kv::message found;
    found.set(kv::be32_id(4), htonl(INADDR_LOOPBACK));
    return found;
  };
  connectBroker(addBroker("named", named));
  ASSERT_EQ(ssl_.requests.size(), 2u);
  EXPECT_EQ(ssl_.requests[1].get(kv::string_id(15)), "broker.test");
  EXPECT_EQ(ssl_.requests[1].get(kv::string_id(7)), "broker.test");
  EXPECT_EQ(ssl_.requests[1].get(kv::u32_id(2)), 7u);
}

TEST_F(ConnectionTest, AnSslFailureEndsTheAttemptAndAutomaticConnectionTriesAgain) {
  kv::message settings;
  settings.set(kv::bool_id(3), true);
  settings.set(kv::bool_id(9), true);
  const uint32_t b = addBroker("tls", settings);
  ssl_.failure = "certificate verify failed";
  ExpectedBackoff expected;
  expected.next();  // the client's creation, by the command
  OutcomePtr done = connectCmd(b);
  ASSERT_TRUE(broker_.accept());
  turns();
  EXPECT_EQ(done->failure(), "Connection failed");
  EXPECT_TRUE(logged("mqtt: *** ssl failure [certificate verify failed] (broker tls)\n"))
      << console();
  EXPECT_TRUE(broker_.closedByClient());
  ssl_.failure.clear();
  expected.backoff.reset();  // a command's attempt that failed: the back-off starts over
  advanceTicks(expected.next());
  EXPECT_EQ(DEFAULT_CONNECT, broker_.handshake());
  turns();
  EXPECT_TRUE(row(b).connected);
}

// Two rows that reach one broker with one client identifier take turns on
// it; a connection accepted for one names the other.
TEST_F(ConnectionTest, RowsThatShareAClientIdentifierAreNamedWhenOneConnects) {
  const struct { const char* ownId; const char* otherId; uint32_t otherPortOffset; const char* shared; }
      cases[] = {
          {"", "", 0, "QX"},          // both take the daemon's default
          {"", "QX", 0, "QX"},        // one names the default itself
          {"id1", "id1", 0, "id1"},
          {"id1", "id2", 0, nullptr},
          {"id1", "id1", 1, nullptr},  // another port: another broker
      };
  int n = 0;
  for (const auto& c : cases) {
    ++n;
    SCOPED_TRACE(n);
    const std::string own = "a" + std::to_string(n), other = "o" + std::to_string(n);
    const uint32_t a = addBroker(own, fieldsWith(kv::string_id(4), std::string(c.ownId)));
    kv::message settings = fieldsWith(kv::string_id(4), std::string(c.otherId));
    settings.set(kv::u32_id(2), broker_.port() + c.otherPortOffset);
    const uint32_t o = addBroker(other, settings);
    clients().create(row(o));
    clearConsole();
    connectBroker(a);
    if (c.shared) {
      EXPECT_TRUE(logged(strprintf("mqtt: *** %s: shares the client identifier \"%s\" for "
                                   "127.0.0.1:%u with row %s; the broker closes one connection "
                                   "whenever the other connects\n",
                                   own.c_str(), c.shared, unsigned{broker_.port()}, other.c_str())))
          << console();
    } else {
      EXPECT_FALSE(logged("shares the client identifier")) << console();
    }
    removeRow(BROKERS, a);
    removeRow(BROKERS, o);
  }
}

// Removing a broker row destroys its client; nothing the client handed
// to the platform runs afterwards.
TEST_F(ConnectionTest, RemovingABrokerCancelsEverythingItsClientStarted) {
  kv::message named;
  named.set(kv::string_id(1), "broker.test");
  const uint32_t resolving = addBroker("resolving", named);
  OutcomePtr waiting = connectCmd(resolving);  // resolution, connect time-out
  ASSERT_EQ(resolver_.requests.size(), 1u);

  const uint32_t connected = addBroker("connected", fieldsWith(kv::u32_id(10), 30u));
  connectBroker(connected);
  publishCmd(connected, "t", "x", 1);  // a request time-out
  broker_.drain();

  const uint32_t automatic = addBroker("automatic", fieldsWith(kv::bool_id(9), true));
  clients().create(row(automatic));  // auto-connect timer

  ssl_.hold = true;
  const uint32_t tls = addBroker("tls", fieldsWith(kv::bool_id(3), true));
  OutcomePtr tlsWaiting = connectCmd(tls);  // the SSL set-up
  turns();
  ASSERT_EQ(ssl_.requests.size(), 1u);

  EXPECT_TRUE(removeRow(BROKERS, resolving).empty());
  EXPECT_TRUE(removeRow(BROKERS, connected).empty());
  EXPECT_TRUE(removeRow(BROKERS, automatic).empty());
  EXPECT_TRUE(removeRow(BROKERS, tls).empty());
  EXPECT_TRUE(clients().empty());
  // The connected client said goodbye and closes its socket a little later.
  EXPECT_EQ("E0 00", broker_.drain());
  EXPECT_FALSE(broker_.closedByClient());
  clearConsole();
  kv::message found;
  found.set(kv::be32_id(4), htonl(INADDR_LOOPBACK));
  resolver_.answer(0, found);
  ssl_.answer(ssl_.requests[0]);  // its stream is dropped, and closed, by the bus
  advance(60);
  EXPECT_TRUE(broker_.closedByClient());
  EXPECT_EQ("", console());
  EXPECT_FALSE(waiting->done);  // a destroyed client's commands get no reply
  EXPECT_FALSE(tlsWaiting->done);
}

// A removal whose store write fails is undone: the row, its subscriptions
// and its client come back as they were, the connection untouched.
TEST_F(ConnectionTest, ARemovalThatCannotBeStoredLeavesTheClientWhole) {
  const uint32_t b = addBroker("b", fieldsWith(brokerRow::AUTO_CONNECT_FIELD, true));
  addSubscription(b, "s/#");
  connectBroker(b);
  broker_.drain();
  BrokerClient* before = client(b);
  const std::string blocker = root_ + BROKER_STORE_PATH + "/rows.tmp";
  std::filesystem::create_directories(blocker);  // the next whole rows file cannot be written
  brokerTable.markChanged();
  EXPECT_NE(std::string::npos, kv::getError(removeRow(BROKERS, b)).find("Is a directory"));
  std::filesystem::remove(blocker);
  ASSERT_NE(nullptr, brokerTable.findRow(b));
  ASSERT_EQ(before, client(b));
  EXPECT_EQ(ConnectionState::Connected, client(b)->state());
  EXPECT_TRUE(row(b).connected);
  EXPECT_EQ(1u, subscriptionTables.subscriptions.size());
  EXPECT_EQ("", broker_.drain());  // no DISCONNECT
  OutcomePtr publish = publishCmd(b, "t", "x", 1);
  EXPECT_EQ("32 06 00 01 74 00 03 78", broker_.drain());
  broker_.send("40 02 00 03");
  EXPECT_TRUE(publish->ok()) << publish->failure();
  // Stored this time: the client goes, and says goodbye.
  EXPECT_TRUE(removeRow(BROKERS, b).empty());
  EXPECT_EQ(nullptr, client(b));
  EXPECT_EQ("E0 00", broker_.drain());
}

}  // namespace
