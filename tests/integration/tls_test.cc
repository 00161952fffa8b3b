// The platform's TLS service against a real mosquitto with TLS listeners
// (tls_broker.h), end to end through the daemon: broker rows with SSL on
// are verified against the platform's trust store, present a client
// certificate from its store, publish, run an arriving message's script,
// and leave no descriptor behind in either process. The relay itself is
// also driven straight from a test peer on the bus, as the broker client
// drives it, with a mebibyte each way.
#include <dirent.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <memory>
#include <string>

#include "harness.h"
#include "platform/looper.h"
#include "platform/system.h"
#include "platformd/files.h"
#include "tls_broker.h"

namespace {

using harness::TlsBroker;

size_t openDescriptors(pid_t pid) {
  size_t n = 0;
  DIR* dir = opendir(("/proc/" + std::to_string(pid) + "/fd").c_str());
  while (dir && readdir(dir)) ++n;
  if (dir) closedir(dir);
  return n;
}

// Waits until the descriptor count of `pid` stops changing, or (`expected`
// given) reaches `expected`; the count it ends with. The guard only bounds
// a broken wait.
size_t settledDescriptors(pid_t pid, size_t expected = 0) {
  size_t last = openDescriptors(pid);
  for (int steady = 0, i = 0; steady < 5 && i < 200; ++i) {
    if (expected && last == expected) break;
    poll(nullptr, 0, 25);
    size_t now = openDescriptors(pid);
    steady = now == last ? steady + 1 : 0;
    last = now;
  }
  return last;
}

// Sends `out` and reads `inBytes` bytes back through the non-blocking
// `fd`, both at once; what was read (shorter if the stream ends first).
std::string exchange(int fd, const std::string& out, size_t inBytes) {
  std::string in;
  size_t sent = 0;
  for (int idle = 0; (sent < out.size() || in.size() < inBytes) && idle < 100;) {
    pollfd p{fd, static_cast<short>(POLLIN | (sent < out.size() ? POLLOUT : 0)), 0};
    if (poll(&p, 1, 100) <= 0) {
      ++idle;
      continue;
    }
    if (p.revents & POLLOUT) {
      ssize_t n = send(fd, out.data() + sent, out.size() - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
      if (n > 0) sent += static_cast<size_t>(n);
    }
    if (p.revents & (POLLIN | POLLHUP)) {
      char buf[65536];
      ssize_t n = recv(fd, buf, std::min(sizeof buf, inBytes - in.size()), MSG_DONTWAIT);
      if (n == 0) break;
      if (n > 0) in.append(buf, static_cast<size_t>(n));
    }
  }
  return in;
}

class TlsTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    broker = new TlsBroker();
    brokerUp = broker->start();
  }
  static void TearDownTestSuite() { delete broker; }

  void SetUp() override {
    ASSERT_TRUE(brokerUp) << broker->why();
    ASSERT_TRUE(daemon.start()) << daemon.errors();
    ASSERT_TRUE(platform.start()) << platform.errors();
    // Held by the hub until platformd serves the stores.
    ASSERT_EQ(ctl({"count", "12.1"}).status, 0);
  }
  void TearDown() override {
    EXPECT_EQ(platform.stop(), 0);
    EXPECT_EQ(daemon.stop(), 0);
  }

  harness::CtlResult ctl(const std::vector<std::string>& args) {
    return harness::runCtl(root.path(), args);
  }
  // Adds a row from the console; its object id.
  std::string add(const std::vector<std::string>& args) {
    harness::CtlResult r = ctl(args);
    EXPECT_EQ(r.status, 0) << r.err;
    return r.out.substr(r.out.rfind(' ') + 1, r.out.size() - r.out.rfind(' ') - 2);
  }
  void trustTheTestCa() { add({"add", "12.1", "string:20=" + broker->pem("ca.pem")}); }
  std::string importClientCertificate() {
    return add({"add", "12.2", "string:20=" + broker->pem("client.pem"),
                "string:21=" + broker->pem("client.key")});
  }
  // A broker row with SSL on for a listener; its object id.
  std::string addBroker(const std::string& name, const std::string& address,
                        TlsBroker::Listener listener, const std::string& certificate = "") {
    std::vector<std::string> args{"add", "2", "string:name=" + name, "string:1=" + address,
                                  "u32:2=" + std::to_string(broker->port(listener)), "bool:3=true"};
    if (!certificate.empty()) args.push_back("u32:7=" + certificate);
    return add(args);
  }

  static TlsBroker* broker;
  static bool brokerUp;
  harness::TempRoot root;
  harness::Daemon daemon{root.path()};
  harness::Platformd platform{root.path()};
};

TlsBroker* TlsTest::broker = nullptr;
bool TlsTest::brokerUp = false;

TEST_F(TlsTest, TheDaemonConnectsToVerifiedBrokersOnly) {
  // An empty trust store means the system's CA bundle, which does not know
  // the test CA that the broker sends with its certificate.
  const std::string early = addBroker("early", "localhost", TlsBroker::GOOD);
  EXPECT_EQ(ctl({"send", "1", "2", "u32:1=" + early}).err, "mqttctl: failed: Connection failed\n");
  EXPECT_TRUE(daemon.waitForLine("ssl failure [certificate verification failed: "
                                 "self-signed certificate in certificate chain]"));
  // Any certificate in the store is a trust anchor: the broker's own will do.
  add({"add", "12.1", "string:20=" + broker->pem("server.pem")});
  EXPECT_EQ(ctl({"send", "1", "2", "u32:1=" + early}).status, 0);
  trustTheTestCa();
  const std::string clientCertificate = importClientCertificate();
  const struct {
    const char* name;
    const char* address;
    TlsBroker::Listener listener;
    bool withClientCertificate;
    const char* sslFailure;  // "" when the connection comes up
  } cases[] = {
      {"byname", "localhost", TlsBroker::GOOD, false, ""},
      {"byaddress", "127.0.0.1", TlsBroker::GOOD, false, ""},
      {"mutual", "localhost", TlsBroker::CLIENT_AUTH, true, ""},
      {"misnamed", "localhost", TlsBroker::MISNAMED, false, "hostname mismatch"},
      {"expired", "localhost", TlsBroker::EXPIRED, false, "certificate has expired"},
      {"stranger", "localhost", TlsBroker::STRANGER, false, "unable to get local issuer certificate"},
  };
  for (const auto& c : cases) {
    const std::string id = addBroker(c.name, c.address, c.listener,
                                     c.withClientCertificate ? clientCertificate : "");
    harness::CtlResult connected = ctl({"send", "1", "2", "u32:1=" + id});
    if (*c.sslFailure) {
      EXPECT_EQ(connected.err, "mqttctl: failed: Connection failed\n") << c.name;
      EXPECT_TRUE(daemon.waitForLine(std::string("ssl failure [certificate verification failed: ") +
                                     c.sslFailure + "]"))
          << c.name;
      continue;
    }
    EXPECT_EQ(connected.status, 0) << c.name << ": " << connected.err;
    EXPECT_TRUE(daemon.waitForLine(std::string("mqtt: ") + c.name + ": Connected with ssl socket"));
    harness::CtlResult published =
        ctl({"send", "1", "1", "u32:1=" + id, "string:2=a/b", "string:3=hello", "u32:5=1"});
    EXPECT_EQ(published.status, 0) << c.name << ": " << published.err;  // answered at PUBACK
  }
}

// A message that arrives over TLS runs its subscription's script in the
// platform process.
TEST_F(TlsTest, AnArrivingMessageRunsItsScript) {
  trustTheTestCa();
  const std::string id = addBroker("b", "localhost", TlsBroker::GOOD);
  const std::string out = root.path() + "/script-out";
  add({"add", "3", "u32:11=" + id, "string:12=lamp/#", "u32:13=0",
       "string:11=printf '%s %s' \"$msgTopic\" \"$(cat)\" > " + out});
  ASSERT_EQ(ctl({"send", "1", "2", "u32:1=" + id}).status, 0);
  ASSERT_EQ(ctl({"send", "1", "1", "u32:1=" + id, "string:2=lamp/1", "string:3=on", "u32:5=1"}).status, 0);
  std::string got;
  for (int i = 0; i < 200 && got.empty(); ++i) {
    poll(nullptr, 0, 25);  // a guard for a broken chain, not a timing
    platformd::readFile(out, 4096, got);
  }
  EXPECT_EQ(got, "lamp/1 on");
}

TEST_F(TlsTest, FiftyConnectionsLeaveNoDescriptorBehind) {
  trustTheTestCa();
  const std::string id = addBroker("b", "localhost", TlsBroker::GOOD);
  const size_t platformBefore = settledDescriptors(platform.pid());
  const size_t daemonBefore = settledDescriptors(daemon.pid());
  for (int i = 0; i < 50; ++i) {
    ASSERT_EQ(ctl({"send", "1", "2", "u32:1=" + id}).status, 0) << i;
    ASSERT_EQ(ctl({"send", "1", "3", "u32:1=" + id}).status, 0) << i;
  }
  EXPECT_EQ(settledDescriptors(platform.pid(), platformBefore), platformBefore);
  EXPECT_EQ(settledDescriptors(daemon.pid(), daemonBefore), daemonBefore);
}

TEST_F(TlsTest, TheClientStoreNeverGivesAPrivateKeyBack) {
  importClientCertificate();
  for (const char* command : {"list", "get"}) {
    std::vector<std::string> args{"--json", command, "12.2"};
    if (std::string(command) == "get") args.push_back("1");
    harness::CtlResult r = ctl(args);
    EXPECT_NE(r.out.find("CN=client"), std::string::npos) << r.out << r.err;
    EXPECT_EQ(r.out.find("PRIVATE KEY"), std::string::npos) << r.out;
  }
  harness::CtlResult mismatched = ctl({"add", "12.2", "string:20=" + broker->pem("client.pem"),
                                       "string:21=" + broker->pem("server.key")});
  EXPECT_EQ(mismatched.err, "mqttctl: failed: the private key does not match the certificate\n");
}

// Straight from a test peer, as the broker client asks: the TCP socket goes
// to [12], MQTT goes through the socket that comes back. PUBLISH with QoS
// 0 and 1 MiB of varied bytes to a topic this session subscribed to comes
// back the same.
TEST_F(TlsTest, TheRelayCarriesAMebibyteEachWayByteForByte) {
  trustTheTestCa();
  kv::LooperOptions options;
  options.mode = kv::LooperOptions::Mode::Peer;
  options.busPath = root.path() + "/ram/kvbus";
  kv::Looper peer(options);
  int tcp = harness::connectLoopback(broker->port(TlsBroker::GOOD));
  kv::message request;
  request.set(kv::PATH_FIELD, std::vector<uint32_t>{12});
  request.set(kv::COMMAND_FIELD, 1u);
  request.set(kv::string_id(7), "localhost");
  request.set(kv::SOCKET_FIELD, static_cast<uint32_t>(tcp));
  kv::message reply = peer.exchangeCmd(request, 1, 3000);
  close(tcp);  // the bus passed on its own copy
  ASSERT_FALSE(kv::isError(reply)) << kv::getError(reply);
  const int relay = static_cast<int>(reply.get(kv::SOCKET_FIELD));

  const std::string connect("\x10\x0f\x00\x04MQTT\x04\x02\x00\x3c\x00\x03" "abc", 17);
  ASSERT_EQ(exchange(relay, connect, 4), std::string("\x20\x02\x00\x00", 4));
  const std::string subscribe("\x82\x06\x00\x01\x00\x01t\x00", 8);
  ASSERT_EQ(exchange(relay, subscribe, 5), std::string("\x90\x03\x00\x01\x00", 5));
  const size_t size = 1 << 20;
  std::string publish("\x30", 1);
  for (size_t left = 3 + size; left > 0; left >>= 7) {
    publish.push_back(static_cast<char>((left & 0x7f) | (left >= 0x80 ? 0x80 : 0)));
  }
  publish.append("\x00\x01t", 3);
  for (size_t i = 0; i < size; ++i) publish.push_back(static_cast<char>((i * 7919) >> 3));
  std::string back = exchange(relay, publish, publish.size());
  EXPECT_EQ(back.size(), publish.size());
  EXPECT_TRUE(back == publish);
  close(relay);
}

}  // namespace
