// The platform's TLS service against a real mosquitto with TLS listeners,
// end to end through the daemon and the console: certificates trusted and
// added by name, broker rows with SSL on verified against the trust store,
// presenting a client certificate named in the row, publishing, and leaving
// no descriptor behind in either process. The relay itself is also driven
// straight from a test peer on the bus, as the broker client drives it,
// with a mebibyte each way.
#include <gtest/gtest.h>
#include <unistd.h>

#include <memory>
#include <string>

#include "harness.h"
#include "tls_broker.h"
#include "platform/looper.h"
#include "platform/system.h"

namespace {

using harness::contains;
using harness::TlsBroker;
using testsupport::waitUntil;

class TlsTest : public harness::DaemonTest {
 protected:
  // The SHA-256 fingerprint of a certificate file, as the openssl command
  // prints it.
  static std::string fingerprintOf(const std::string& file) {
    const std::string out = broker->path(file + ".sha256");
    const std::string command = "openssl x509 -noout -fingerprint -sha256 -in '" +
                                broker->path(file) + "' > '" + out + "'";
    if (system(command.c_str()) != 0) return "(openssl failed)";
    std::string text = testsupport::readFile(out);
    text = text.substr(text.find('=') + 1);
    return text.substr(0, text.find('\n'));
  }

  static void SetUpTestSuite() {
    broker = new TlsBroker();
    brokerError = broker->start();
  }
  static void TearDownTestSuite() { delete broker; }

  void SetUp() override {
    ASSERT_EQ("", brokerError);
    DaemonTest::SetUp();
    ASSERT_TRUE(platform_.start()) << platform_.errors();
    ok({"count", "12.1"});  // held by the hub until platformd serves the stores
  }
  void TearDown() override {
    EXPECT_EQ(0, platform_.stop());
    DaemonTest::TearDown();
  }

  void trustTheTestCa() { ok({"ca", "add", "test-ca", broker->path("ca.pem")}); }
  // A broker row with SSL on for a listener, presenting the client
  // certificate named `certificate` when given; its object id.
  std::string addBroker(const std::string& name, const std::string& address,
                        TlsBroker::Listener listener, const std::string& certificate = "none") {
    const std::string id = ok({"broker", "add", name, "address=" + address, "ssl=yes",
                               "port=" + std::to_string(broker->port(listener)),
                               "certificate=" + certificate});
    return id.substr(0, id.size() - 1);
  }

  static TlsBroker* broker;
  static std::string brokerError;
  harness::Platformd platform_{root_.path()};
};

TlsBroker* TlsTest::broker = nullptr;
std::string TlsTest::brokerError;

TEST_F(TlsTest, TheDaemonConnectsToVerifiedBrokersOnly) {
  // An empty trust store means the system's CA bundle, which does not know
  // the test CA that the broker sends with its certificate.
  const std::string early = addBroker("early", "localhost", TlsBroker::GOOD);
  refused({"send", "1", "2", "u32:1=" + early}, "Connection failed");
  EXPECT_TRUE(daemon_.waitForLine("ssl failure [certificate verification failed: "
                                  "self-signed certificate in certificate chain]"));
  // Any certificate in the store is a trust anchor: the broker's own will do.
  ok({"ca", "add", "the-broker", broker->path("server.pem")});
  EXPECT_EQ("ok\n", ok({"send", "1", "2", "u32:1=" + early}));
  trustTheTestCa();
  EXPECT_EQ("1\n", ok({"cert", "add", "router", broker->path("client.pem"),
                       broker->path("client.key")}));
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
      {"expired", "localhost", TlsBroker::EXPIRED, false, "certificate has expired"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string id = addBroker(c.name, c.address, c.listener,
                                     c.withClientCertificate ? "router" : "none");
    if (*c.sslFailure) {
      refused({"send", "1", "2", "u32:1=" + id}, "Connection failed");
      EXPECT_TRUE(daemon_.waitForLine(std::string("ssl failure [certificate verification failed: ") +
                                      c.sslFailure + "]"));
      continue;
    }
    EXPECT_EQ("ok\n", ok({"send", "1", "2", "u32:1=" + id}));
    EXPECT_TRUE(daemon_.waitForLine(std::string("mqtt: ") + c.name + ": Connected with ssl socket"));
    EXPECT_EQ("ok\n", ok({"send", "1", "1", "u32:1=" + id, "string:2=a/b", "string:3=hello",
                          "u32:5=1"}));  // answered at PUBACK
  }

  EXPECT_TRUE(contains(ok({"broker", "show", "mutual"}), "certificate   router\n"));
  fails({"cert", "remove", "router"}, 1,
        "mqttctl: broker \"mutual\" uses this certificate: point it at another first (broker "
        "set BROKER certificate=NAME|none), or give --force\n");

  // The client store never gives a private key back, and refuses a key
  // that does not belong to its certificate.
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{"--json", "cert", "list"}, {"cert", "show", "router"},
        {"--json", "get", "12.2", "1"}}) {
    const std::string out = ok(args);
    EXPECT_TRUE(contains(out, "CN=client") && !contains(out, "PRIVATE KEY")) << out;
  }
  refused({"cert", "add", "other", broker->path("client.pem"), broker->path("server.key")},
          "the private key does not match the certificate");
}

// The trust store by name: listed with validity and fingerprint (the same
// as the openssl command's), an entry from before names named by hand,
// refusals in the store's words, removal.
TEST_F(TlsTest, TrustedCertificatesAreListedShownRenamedAndRemovedByName) {
  trustTheTestCa();
  ok({"ca", "add", "old", broker->path("expired.pem")});
  ASSERT_TRUE(testsupport::writeFile(root_.path() + "/korv/store/platform/tls/trusted/9.pem",
                                     broker->pem("wrongca.pem")));
  refused({"ca", "add", "test-ca", broker->path("ca.pem")}, "name already in use");
  refused({"ca", "add", "x", broker->path("ca.key")}, "no certificate in the PEM text (string 20)");

  const std::string fingerprint = fingerprintOf("ca.pem");
  const std::string list = ok({"ca", "list"});
  EXPECT_EQ(0u, list.find("id  name     subject      issuer       valid-from  valid-until    "));
  EXPECT_TRUE(contains(list, "\n1   test-ca  CN=Test CA   CN=Test CA   ")) << list;
  EXPECT_TRUE(contains(list, fingerprint.substr(0, 23) + "...\n")) << list;
  EXPECT_TRUE(contains(list, "\n2   old      CN=expired   CN=Test CA   ")) << list;
  EXPECT_TRUE(contains(list, " (expired)  ")) << list;
  EXPECT_TRUE(contains(list, "\n9   -        CN=Wrong CA  CN=Wrong CA  ")) << list;
  EXPECT_TRUE(contains(ok({"ca", "show", "test-ca"}), "sha-256       " + fingerprint + "\n"));
  EXPECT_TRUE(contains(ok({"--json", "ca", "show", "1"}), "\"sha-256\":\"" + fingerprint + "\""));

  EXPECT_EQ("", ok({"ca", "rename", "9", "wrong-ca"}));
  EXPECT_TRUE(contains(ok({"ca", "show", "wrong-ca"}), "id            9\n"));
  EXPECT_EQ("", ok({"ca", "remove", "old"}));
  fails({"ca", "show", "old"}, 1, "mqttctl: no trusted certificate named \"old\"\n");
  EXPECT_TRUE(contains(ok({"count", "12.1"}), "= 2\n"));
}

TEST_F(TlsTest, FiftyConnectionsLeaveNoDescriptorBehind) {
  trustTheTestCa();
  const std::string id = addBroker("b", "localhost", TlsBroker::GOOD);
  const size_t platformBefore = harness::settledDescriptors(platform_.pid());
  const size_t daemonBefore = harness::settledDescriptors(daemon_.pid());
  for (int i = 0; i < 50; ++i) {
    ASSERT_EQ("ok\n", ok({"send", "1", "2", "u32:1=" + id})) << i;
    ASSERT_EQ("ok\n", ok({"send", "1", "3", "u32:1=" + id})) << i;
  }
  for (const auto& [pid, before] : {std::pair{platform_.pid(), platformBefore},
                                    {daemon_.pid(), daemonBefore}}) {
    EXPECT_TRUE(waitUntil([&] { return harness::descriptorCount(pid) == before; }))
        << harness::descriptorCount(pid) << " descriptors, " << before << " before";
  }
}

// Straight from a test peer, as the broker client asks: the TCP socket goes
// to [12], MQTT goes through the socket that comes back. PUBLISH with QoS
// 0 and 1 MiB of varied bytes to a topic this session subscribed to comes
// back the same.
TEST_F(TlsTest, TheRelayCarriesAMebibyteEachWayByteForByte) {
  trustTheTestCa();
  kv::LooperOptions options;
  options.mode = kv::LooperOptions::Mode::Peer;
  options.busPath = root_.path() + "/ram/kvbus";
  kv::Looper peer(options);
  const int tcp = testsupport::connectLoopback(broker->port(TlsBroker::GOOD));
  kv::message request;
  request.set(kv::PATH_FIELD, std::vector<uint32_t>{12});
  request.set(kv::COMMAND_FIELD, 1u);
  request.set(kv::string_id(7), "localhost");
  request.set(kv::SOCKET_FIELD, static_cast<uint32_t>(tcp));
  kv::message reply = peer.exchangeCmd(request, 1, 3000);
  close(tcp);  // the bus passed on its own copy
  ASSERT_FALSE(kv::isError(reply)) << kv::getError(reply);
  const int relay = static_cast<int>(reply.get(kv::SOCKET_FIELD));

  const auto exchange = [relay](const std::string& out, size_t inBytes) {
    EXPECT_TRUE(harness::sendAll(relay, out));
    return harness::receive(relay, inBytes);
  };
  ASSERT_EQ(std::string("\x20\x02\x00\x00", 4),  // CONNECT, CONNACK
            exchange(std::string("\x10\x0f\x00\x04MQTT\x04\x02\x00\x3c\x00\x03" "abc", 17), 4));
  ASSERT_EQ(std::string("\x90\x03\x00\x01\x00", 5),  // SUBSCRIBE, SUBACK
            exchange(std::string("\x82\x06\x00\x01\x00\x01t\x00", 8), 5));
  const size_t size = 1 << 20;
  std::string publish("\x30", 1);
  for (size_t left = 3 + size; left > 0; left >>= 7) {
    publish.push_back(static_cast<char>((left & 0x7f) | (left >= 0x80 ? 0x80 : 0)));
  }
  publish.append("\x00\x01t", 3);
  for (size_t i = 0; i < size; ++i) publish.push_back(static_cast<char>((i * 7919) >> 3));
  // The broker sends it back once it has all of it.
  const std::string back = exchange(publish, publish.size());
  EXPECT_EQ(publish.size(), back.size());
  EXPECT_TRUE(back == publish);
  close(relay);
}

}  // namespace
