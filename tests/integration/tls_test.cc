// The platform's TLS service against a real mosquitto with TLS listeners.
// First driven from a test peer on the daemon's bus the way the broker
// client drives it: a connected TCP socket goes to [12] command 1, MQTT
// bytes go through the socket that comes back. Verification, client
// certificates and a mebibyte each way through the relay. Then end to end
// through the daemon: broker rows with SSL on, connected by name,
// publishing, running a subscription's script, and no descriptor left
// behind in either process.
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

const std::string CONNECT("\x10\x0f\x00\x04MQTT\x04\x02\x00\x3c\x00\x03" "abc", 17);
const std::string CONNACK("\x20\x02\x00\x00", 4);

size_t openDescriptors(pid_t pid) {
  size_t n = 0;
  DIR* dir = opendir(("/proc/" + std::to_string(pid) + "/fd").c_str());
  while (dir && readdir(dir)) ++n;
  if (dir) closedir(dir);
  return n;
}

// The descriptor count of `pid` once it has stopped changing (connections
// that are closing finish first); the guard only bounds a broken wait.
size_t settledDescriptors(pid_t pid) {
  size_t last = openDescriptors(pid);
  for (int steady = 0, i = 0; steady < 5 && i < 200; ++i) {
    poll(nullptr, 0, 20);
    size_t now = openDescriptors(pid);
    steady = now == last ? steady + 1 : 0;
    last = now;
  }
  return last;
}

// Waits (with a guard) until the descriptor count of `pid` is `expected`;
// the count it ends with.
size_t descriptorsBackTo(pid_t pid, size_t expected) {
  size_t now = openDescriptors(pid);
  for (int i = 0; i < 100 && now != expected; ++i) {
    poll(nullptr, 0, 50);
    now = openDescriptors(pid);
  }
  return now;
}

// Sends `out` and reads `inBytes` bytes back through the non-blocking
// `fd`, both at once; what was read, shorter if the stream ends first or
// the guard runs out.
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
    kv::LooperOptions options;
    options.mode = kv::LooperOptions::Mode::Peer;
    options.busPath = root.path() + "/ram/kvbus";
    peer = std::make_unique<kv::Looper>(options);
    ASSERT_TRUE(peer->status().isOk()) << peer->status().toString();
    // Held by the hub until platformd serves the stores.
    ASSERT_FALSE(kv::isError(call(request({12, 1}, kv::CMD_GET_COUNT))));
  }
  void TearDown() override {
    peer.reset();
    EXPECT_EQ(platform.stop(), 0);
    EXPECT_EQ(daemon.stop(), 0);
  }

  static kv::message request(std::vector<uint32_t> path, uint32_t command) {
    kv::message m;
    m.set(kv::PATH_FIELD, std::move(path));
    m.set(kv::COMMAND_FIELD, command);
    return m;
  }
  kv::message call(const kv::message& m) {
    bool done = false;
    kv::message reply;
    peer->postMessage(m, [&](const kv::message& r) {
      reply = r;
      done = true;
    }, 3000);
    while (!done) peer->turn(100);
    return reply;
  }
  // Imports into a store from the console; the new object id.
  std::string import(const char* store, const std::vector<std::string>& fields) {
    std::vector<std::string> args{"add", store};
    args.insert(args.end(), fields.begin(), fields.end());
    harness::CtlResult r = harness::runCtl(root.path(), args);
    EXPECT_EQ(r.status, 0) << r.err;
    return r.out.substr(r.out.rfind(' ') + 1, r.out.size() - r.out.rfind(' ') - 2);
  }
  // Connects to a listener and asks for TLS over it: the relay's socket,
  // or -1 and the failure text.
  int tls(TlsBroker::Listener listener, const std::string& name, std::string& failure,
          const std::string& clientId = "") {
    int tcp = harness::connectLoopback(broker->port(listener));
    EXPECT_GE(tcp, 0);
    kv::message m = request({12}, 1);
    m.set(kv::bool_id(1), false);
    m.set(kv::bool_id(4), true);
    if (!name.empty()) {
      m.set(kv::string_id(15), name);
      m.set(kv::string_id(7), name);
    }
    m.set(kv::SOCKET_FIELD, static_cast<uint32_t>(tcp));
    if (!clientId.empty()) m.set(kv::u32_id(2), static_cast<uint32_t>(std::stoul(clientId)));
    kv::message reply = call(m);
    close(tcp);  // the bus passed on its own copy
    failure = kv::getError(reply);
    return kv::isError(reply) ? -1 : static_cast<int>(reply.get(kv::SOCKET_FIELD));
  }
  harness::CtlResult ctl(const std::vector<std::string>& args) {
    return harness::runCtl(root.path(), args);
  }
  // Adds a broker row with SSL on for a listener, by name; its object id.
  std::string addBroker(const std::string& name, TlsBroker::Listener listener,
                        const std::string& certificate = "") {
    std::vector<std::string> args{"add", "2", "string:name=" + name, "string:1=localhost",
                                  "u32:2=" + std::to_string(broker->port(listener)), "bool:3=true"};
    if (!certificate.empty()) args.push_back("u32:7=" + certificate);
    return import("2", std::vector<std::string>(args.begin() + 2, args.end()));
  }
  // The relay carries an MQTT session: CONNECT is answered by CONNACK.
  bool mqttConnects(int relay) { return exchange(relay, CONNECT, CONNACK.size()) == CONNACK; }

  static TlsBroker* broker;
  static bool brokerUp;
  harness::TempRoot root;
  harness::Daemon daemon{root.path()};
  harness::Platformd platform{root.path()};
  std::unique_ptr<kv::Looper> peer;
};

TlsBroker* TlsTest::broker = nullptr;
bool TlsTest::brokerUp = false;

TEST_F(TlsTest, TheServerIsVerifiedAgainstTheTrustStore) {
  std::string failure;
  // An empty trust store means the system's CA bundle, which does not know
  // the test CA that the broker sends with its certificate.
  EXPECT_EQ(tls(TlsBroker::GOOD, "localhost", failure), -1);
  EXPECT_EQ(failure, "certificate verification failed: self-signed certificate in certificate chain");

  import("12.1", {"string:20=" + broker->pem("ca.pem")});
  const std::string clientId =
      import("12.2", {"string:20=" + broker->pem("client.pem"), "string:21=" + broker->pem("client.key")});
  const struct {
    TlsBroker::Listener listener;
    const char* name;
    bool withClientCertificate;
    const char* failure;  // "" when accepted
  } cases[] = {
      {TlsBroker::GOOD, "localhost", false, ""},
      {TlsBroker::GOOD, "", false, ""},  // the address 127.0.0.1 is checked
      {TlsBroker::GOOD, "other.example", false, "certificate verification failed: hostname mismatch"},
      {TlsBroker::EXPIRED, "localhost", false, "certificate verification failed: certificate has expired"},
      {TlsBroker::STRANGER, "localhost", false,
       "certificate verification failed: unable to get local issuer certificate"},
      {TlsBroker::CLIENT_AUTH, "localhost", true, ""},
  };
  for (const auto& c : cases) {
    int relay = tls(c.listener, c.name, failure, c.withClientCertificate ? clientId : "");
    EXPECT_EQ(failure, c.failure) << c.name << " on listener " << c.listener;
    if (relay < 0) continue;
    EXPECT_TRUE(mqttConnects(relay)) << c.name << " on listener " << c.listener;
    close(relay);
  }
  EXPECT_EQ(tls(TlsBroker::GOOD, "localhost", failure, "99"), -1);
  EXPECT_EQ(failure, "client certificate 99 not found");
}

TEST_F(TlsTest, AMebibyteGoesEachWayByteForByte) {
  import("12.1", {"string:20=" + broker->pem("ca.pem")});
  std::string failure;
  int relay = tls(TlsBroker::GOOD, "localhost", failure);
  ASSERT_GE(relay, 0) << failure;
  ASSERT_TRUE(mqttConnects(relay));
  const std::string subscribe("\x82\x06\x00\x01\x00\x01t\x00", 8);
  ASSERT_EQ(exchange(relay, subscribe, 5), std::string("\x90\x03\x00\x01\x00", 5));

  // PUBLISH, QoS 0, topic "t", 1 MiB of varied bytes; the broker sends the
  // same packet back to this subscriber.
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

TEST_F(TlsTest, TheStoresNeverGiveAPrivateKeyBack) {
  import("12.2", {"string:20=" + broker->pem("client.pem"), "string:21=" + broker->pem("client.key")});
  for (const char* command : {"list", "get"}) {
    std::vector<std::string> args{"--json", command, "12.2"};
    if (std::string(command) == "get") args.push_back("1");
    harness::CtlResult r = harness::runCtl(root.path(), args);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("CN=client"), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find("PRIVATE KEY"), std::string::npos) << r.out;
  }
  harness::CtlResult mismatched = harness::runCtl(
      root.path(), {"add", "12.2", "string:20=" + broker->pem("client.pem"),
                    "string:21=" + broker->pem("server.key")});
  EXPECT_EQ(mismatched.err, "mqttctl: failed: the private key does not match the certificate\n");
}

// ---- Through the daemon -------------------------------------------------------

TEST_F(TlsTest, TheDaemonConnectsOverTlsOrLogsWhyNot) {
  import("12.1", {"string:20=" + broker->pem("ca.pem")});
  const std::string clientCert =
      import("12.2", {"string:20=" + broker->pem("client.pem"), "string:21=" + broker->pem("client.key")});
  const struct {
    const char* name;
    TlsBroker::Listener listener;
    bool withClientCertificate;
    const char* sslFailure;  // "" when the connection comes up
  } cases[] = {
      {"good", TlsBroker::GOOD, false, ""},
      {"mutual", TlsBroker::CLIENT_AUTH, true, ""},
      {"expired", TlsBroker::EXPIRED, false, "certificate verification failed: certificate has expired"},
  };
  for (const auto& c : cases) {
    const std::string id = addBroker(c.name, c.listener, c.withClientCertificate ? clientCert : "");
    harness::CtlResult connected = ctl({"send", "1", "2", "u32:1=" + id});
    if (*c.sslFailure) {
      EXPECT_EQ(connected.err, "mqttctl: failed: Connection failed\n") << c.name;
      EXPECT_TRUE(daemon.waitForLine(std::string("mqtt: *** ssl failure [") + c.sslFailure + "]"))
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
  import("12.1", {"string:20=" + broker->pem("ca.pem")});
  const std::string id = addBroker("b", TlsBroker::GOOD);
  const std::string out = root.path() + "/script-out";
  import("3", {"u32:11=" + id, "string:12=lamp/#", "u32:13=0",
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

TEST_F(TlsTest, FiftyDaemonConnectionsLeaveNoDescriptorBehind) {
  import("12.1", {"string:20=" + broker->pem("ca.pem")});
  const std::string id = addBroker("b", TlsBroker::GOOD);
  const size_t platformBefore = settledDescriptors(platform.pid());
  const size_t daemonBefore = settledDescriptors(daemon.pid());
  for (int i = 0; i < 50; ++i) {
    ASSERT_EQ(ctl({"send", "1", "2", "u32:1=" + id}).status, 0) << i;
    ASSERT_EQ(ctl({"send", "1", "3", "u32:1=" + id}).status, 0) << i;
  }
  EXPECT_EQ(descriptorsBackTo(platform.pid(), platformBefore), platformBefore);
  EXPECT_EQ(descriptorsBackTo(daemon.pid(), daemonBefore), daemonBefore);
}

}  // namespace
