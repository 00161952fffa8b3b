// The real daemon against a real broker (mosquitto on loopback), driven
// through the console client: connecting and disconnecting, automatic
// reconnection, publishing, arriving messages and their scripts, broker
// removal and the stop at SIGTERM.
//
// Every wait is for a condition (a reply, a log line, a descriptor count)
// with a generous guard; nothing here measures time.
#include <arpa/inet.h>
#include <dirent.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <functional>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "harness.h"
#include "platform/looper.h"
#include "platform/system.h"
#include "support/mosquitto.h"

namespace {

using harness::CtlResult;
using harness::Daemon;
using harness::LogListener;
using harness::TempRoot;
using testsupport::Mosquitto;
using testsupport::MosquittoClient;
using testsupport::toHex;

constexpr int GUARD_MS = 30000;

bool contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

// Polls `done` (running `meanwhile` between polls) until it holds or the
// guard expires; returns its last answer.
bool waitUntil(const std::function<bool()>& done, const std::function<void()>& meanwhile = [] {
  usleep(10 * 1000);
}) {
  const long long end = testsupport::monotonicMs() + GUARD_MS;
  while (!done()) {
    if (testsupport::monotonicMs() > end) return false;
    meanwhile();
  }
  return true;
}

size_t descriptorCount(pid_t pid) {
  DIR* dir = opendir(("/proc/" + std::to_string(pid) + "/fd").c_str());
  if (!dir) return 0;
  size_t n = 0;
  while (const dirent* entry = readdir(dir)) n += entry->d_name[0] != '.';
  closedir(dir);
  return n;
}

std::vector<std::string> sortedLines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  std::sort(lines.begin(), lines.end());
  return lines;
}

// Stands in for the platform's script service at [48]: records every
// request and answers success. Lives in a bus peer of the test process,
// which the test turns while it waits.
class FakeScriptService : public kv::Handler {
 public:
  void handleCmd(kv::message& request, uint32_t) override {
    requests.push_back(request);
    replyMessage(request, kv::message());
  }
  std::vector<kv::message> requests;
};

class BrokerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(mosquitto_.start()) << mosquitto_.startError();
    ASSERT_TRUE(daemon_.start()) << daemon_.errors();
  }
  void TearDown() override { EXPECT_EQ(0, daemon_.stop()); }

  CtlResult ctl(const std::vector<std::string>& args) {
    return harness::runCtl(root_.path(), args);
  }
  std::string ok(const std::vector<std::string>& args) {
    CtlResult r = ctl(args);
    EXPECT_EQ(0, r.status) << args[0] << " " << (args.size() > 2 ? args[2] : "") << ": " << r.err;
    return r.out;
  }
  // Adds a broker row for the fixture's mosquitto; the client identifier
  // is the row's name, so the broker's log lines name it.
  std::string addBroker(const std::string& name, std::vector<std::string> fields = {},
                        uint16_t port = 0) {
    fields.insert(fields.begin(), {"--json", "add", "2", "string:name=" + name,
                                   "string:1=127.0.0.1", "string:4=" + name,
                                   "u32:2=" + std::to_string(port ? port : mosquitto_.port())});
    const std::string out = ok(fields);
    const std::string key = "\"num\":16646161,\"value\":";
    const size_t at = out.find(key);
    if (at == std::string::npos) return "0";
    return out.substr(at + key.size(), out.find('}', at) - at - key.size());
  }
  std::string connect(const std::string& broker) {
    return ok({"send", "1", "2", "u32:1=" + broker});
  }
  bool connected(const std::string& broker) {
    return contains(ok({"get", "2", broker}), "bool 8 = true\n");
  }
  size_t descriptors() { return descriptorCount(daemon_.pid()); }
  // The daemon's descriptors once the bus peers that just left (console
  // clients) are gone: the count read 20 times in a row, 10 ms apart.
  size_t settledDescriptors() {
    size_t last = descriptors(), same = 0;
    waitUntil([&] {
      const size_t now = descriptors();
      same = now == last ? same + 1 : 0;
      last = now;
      return same >= 20;
    });
    return last;
  }
  // Waits until the daemon holds exactly `count` descriptors (sockets it
  // closes on a later loop turn, or bus peers that just left, settle first).
  bool descriptorsSettleAt(size_t count) {
    return waitUntil([&] { return descriptors() == count; });
  }

  TempRoot root_;
  LogListener syslog_{root_.path()};  // before the daemon, so it is used from the start
  Mosquitto mosquitto_;
  Daemon daemon_{root_.path()};
};

TEST_F(BrokerTest, ConnectAndDisconnectAnswerAndLeaveNoDescriptorBehind) {
  const std::string b1 = addBroker("b1");
  const size_t idle = settledDescriptors();

  EXPECT_EQ("ok\n", connect(b1));
  EXPECT_TRUE(connected(b1));
  EXPECT_TRUE(mosquitto_.waitForLog("as b1 ("));
  EXPECT_EQ("ok\n", ok({"send", "1", "3", "u32:1=" + b1}));
  EXPECT_FALSE(connected(b1));
  EXPECT_TRUE(mosquitto_.waitForLog("Received DISCONNECT from b1"));
  ASSERT_TRUE(descriptorsSettleAt(idle)) << descriptors() << " descriptors, " << idle << " idle";

  for (int cycle = 2; cycle <= 50; ++cycle) {
    ASSERT_EQ("ok\n", connect(b1)) << "cycle " << cycle;
    ASSERT_EQ("ok\n", ok({"send", "1", "3", "u32:1=" + b1})) << "cycle " << cycle;
  }
  EXPECT_TRUE(mosquitto_.waitForLog("Received DISCONNECT from b1", 50));
  EXPECT_TRUE(descriptorsSettleAt(idle)) << descriptors() << " descriptors after 50 cycles";

  // Nothing listens on a port that is bound but not listening.
  const int closed = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof addr;
  ASSERT_EQ(0, bind(closed, reinterpret_cast<sockaddr*>(&addr), sizeof addr));
  ASSERT_EQ(0, getsockname(closed, reinterpret_cast<sockaddr*>(&addr), &length));
  const std::string nowhere = addBroker("nowhere", {}, ntohs(addr.sin_port));
  CtlResult refused = ctl({"send", "1", "2", "u32:1=" + nowhere});
  close(closed);
  EXPECT_EQ(1, refused.status);
  EXPECT_EQ("mqttctl: failed: Connection failed\n", refused.err);
  EXPECT_FALSE(connected(nowhere));
}

TEST_F(BrokerTest, AnAutoConnectBrokerReconnectsAfterTheBrokerRestarts) {
  const std::string b1 = addBroker("b1", {"bool:9=true"});
  ASSERT_EQ("ok\n", connect(b1));
  mosquitto_.stop();
  ASSERT_TRUE(waitUntil([&] { return !connected(b1); }));
  EXPECT_TRUE(daemon_.waitForLine("b1: peer disconnected"));
  ASSERT_TRUE(mosquitto_.start()) << mosquitto_.startError();
  // Automatic connection tries again 10 seconds after the teardown.
  EXPECT_TRUE(waitUntil([&] { return connected(b1); }));
  EXPECT_TRUE(mosquitto_.waitForLog("as b1 ("));
  EXPECT_TRUE(daemon_.waitForLine("b1: Auto-connecting b1"));
}

TEST_F(BrokerTest, PublishedMessagesReachSubscribersByteForByte) {
  const std::string b1 = addBroker("b1");
  auto subscriber = testsupport::startSubscriber(mosquitto_, "watcher", "out/#");
  ASSERT_TRUE(subscriber) << mosquitto_.log();
  ASSERT_EQ("ok\n", connect(b1));

  // Each payload has a NUL and bytes that are not text.
  const std::string data("bin\0ary\xff\x01", 9);
  std::vector<std::string> expected;
  for (const char* qos : {"0", "1", "2"}) {
    const std::string topic = std::string("out/q") + qos;
    EXPECT_EQ("ok\n", ok({"send", "1", "1", "u32:1=" + b1, "string:2=" + topic,
                          "string:3=bin\\0ary\\xff\\x01", "u32:5=" + std::string(qos)}));
    expected.push_back(std::string(qos) + " 0 " + topic + " " + toHex(data));
  }
  ASSERT_TRUE(subscriber->waitForLines(3)) << subscriber->output() << subscriber->errors();
  EXPECT_EQ(expected, sortedLines(subscriber->output()));

  // A retained message reaches a subscriber that comes later.
  EXPECT_EQ("ok\n", ok({"send", "1", "1", "u32:1=" + b1, "string:2=kept/r", "string:3=\\0last",
                        "u32:5=1", "bool:6=true"}));
  auto late = testsupport::startSubscriber(mosquitto_, "late", "kept/#", {"-C", "1"});
  ASSERT_TRUE(late);
  EXPECT_EQ(0, late->wait());
  EXPECT_EQ("1 1 kept/r " + toHex(std::string("\0last", 5)) + "\n", late->output());
}

TEST_F(BrokerTest, ArrivingMessagesAreRecordedAndRunTheBestMatchingScript) {
  kv::LooperOptions options;
  options.mode = kv::LooperOptions::Mode::Peer;
  options.busPath = root_.path() + "/ram/kvbus";
  kv::Looper peer(options);
  ASSERT_TRUE(peer.status().isOk()) << peer.status().toString();
  FakeScriptService scripts;
  ASSERT_TRUE(peer.addHandler(48, &scripts));
  // The hub handles a peer's requests in order: once this is answered, the
  // path is served.
  kv::message count;
  count.set(kv::PATH_FIELD, std::vector<uint32_t>{2});
  ASSERT_FALSE(kv::isError(peer.exchangeCmd(count, kv::CMD_GET_COUNT, 3000)));

  const std::string b1 = addBroker("b1");
  const std::string b2 = addBroker("b2");
  // Matching takes every row, whichever broker it belongs to; only b1
  // connects, so "in/#" is the one filter the broker knows and each message
  // arrives once.
  ok({"add", "3", "u32:11=" + b1, "string:12=in/#", "string:11=wide()"});
  ok({"add", "3", "u32:11=" + b2, "string:12=in/+/x", "string:11=narrow()"});
  ok({"add", "3", "u32:11=" + b2, "string:12=in/a/x"});  // the most specific, without a script
  ASSERT_EQ("ok\n", connect(b1));
  ASSERT_TRUE(mosquitto_.waitForLog("b1 0 in/#"));  // subscribed again at the connection

  const std::string payload("x\0\xffy", 4);
  const std::string file = mosquitto_.dir() + "/payload";
  ASSERT_TRUE(testsupport::writeFile(file, payload));
  ASSERT_EQ(0, testsupport::runPublisher(mosquitto_, {"-t", "in/a/x", "-q", "1", "-f", file}));
  ASSERT_EQ(0, testsupport::runPublisher(mosquitto_, {"-t", "in/b/y", "-m", "plain"}));

  ASSERT_TRUE(waitUntil([&] { return contains(ok({"count", "4"}), "= 2\n"); }));
  const std::string rows = ok({"list", "4"});
  EXPECT_TRUE(contains(rows, "u32 11 = " + b1 + "\n  string 12 = \"in/a/x\"\n"
                             "  string 11 = \"x\\0\\xffy\"\n")) << rows;
  EXPECT_TRUE(contains(rows, "u32 11 = " + b1 + "\n  string 12 = \"in/b/y\"\n"
                             "  string 11 = \"plain\"\n")) << rows;

  ASSERT_TRUE(waitUntil([&] { return scripts.requests.size() >= 2; }, [&] { peer.turn(10); }));
  EXPECT_EQ(2u, scripts.requests.size());
  const struct {
    const char* script;
    std::string topic, data;
  } expected[] = {{"narrow()", "in/a/x", payload}, {"wide()", "in/b/y", "plain"}};
  for (size_t i = 0; i < 2; ++i) {
    const kv::message& run = scripts.requests[i];
    EXPECT_EQ(1u, run.get(kv::COMMAND_FIELD));
    EXPECT_EQ(expected[i].script, run.get(kv::string_id(101)));
    EXPECT_EQ(30 * static_cast<uint32_t>(sysconf(_SC_CLK_TCK)), run.get(kv::u32_id(117)));
    const std::vector<kv::message> variables = run.get(kv::message_array_id(1104));
    ASSERT_EQ(2u, variables.size());
    EXPECT_EQ("msgTopic", variables[0].get(kv::string_id(1)));
    EXPECT_EQ(expected[i].topic, variables[0].get(kv::string_id(4)));
    EXPECT_EQ("msgData", variables[1].get(kv::string_id(1)));
    EXPECT_EQ(toHex(expected[i].data), toHex(variables[1].get(kv::string_id(4))));
    for (const kv::message& variable : variables) EXPECT_EQ(1u, variable.get(kv::u32_id(2)));
  }
}

TEST_F(BrokerTest, RemovingABrokerLeavesNoRowClientOrDescriptor) {
  const std::string b1 = addBroker("b1");
  const size_t idle = settledDescriptors();
  ASSERT_EQ("ok\n", connect(b1));
  ASSERT_EQ("ok\n", ok({"send", "1", "4", "u32:11=" + b1, "string:12=gone/#"}));
  EXPECT_TRUE(contains(ok({"list", "3"}), "string 12 = \"gone/#\""));  // recorded at SUBACK

  EXPECT_EQ("ok\n", ok({"remove", "2", b1}));
  EXPECT_TRUE(contains(ok({"count", "2"}), "= 0\n"));
  EXPECT_TRUE(contains(ok({"count", "3"}), "= 0\n"));
  EXPECT_TRUE(daemon_.waitForLine("mqtt: b1: disconnected from 127.0.0.1"));
  EXPECT_TRUE(mosquitto_.waitForLog("Received DISCONNECT from b1"));
  EXPECT_TRUE(descriptorsSettleAt(idle)) << descriptors() << " descriptors, " << idle << " idle";
  CtlResult again = ctl({"send", "1", "2", "u32:1=" + b1});
  EXPECT_EQ("mqttctl: failed: No such broker\n", again.err);
}

TEST_F(BrokerTest, AtSigtermAConnectedClientDisconnectsAndSaysSo) {
  const std::string b1 = addBroker("b1");
  ASSERT_EQ("ok\n", connect(b1));
  // The log socket holds few datagrams: read them as they come.
  const auto readUntil = [&](const std::string& part) {
    std::string datagram;
    while (!contains(datagram, part)) {
      datagram = syslog_.next(GUARD_MS);
      if (datagram.empty()) break;
    }
    return datagram;
  };
  EXPECT_EQ("<5>78 b1: connected to 127.0.0.1", readUntil("connected to"));
  EXPECT_EQ(0, daemon_.stop());
  EXPECT_EQ("<5>78 b1: disconnected from 127.0.0.1", readUntil("disconnected from"));
  EXPECT_TRUE(mosquitto_.waitForLog("Received DISCONNECT from b1"));
}

}  // namespace
