// The real daemon against a real broker (mosquitto on loopback), driven
// through the console client: connecting and disconnecting, automatic
// reconnection, publishing, subscribing, arriving messages and their
// scripts (run by the real platform process), broker removal and
// the stop at SIGTERM; mosquitto's own clients on the other side.
//
// Every wait is for a condition (a reply, a log line, a descriptor count)
// with a generous guard; nothing here measures time.
#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <string>
#include <vector>

#include "harness.h"

namespace {

using harness::contains;
using harness::CtlRun;
using testsupport::Mosquitto;
using testsupport::MosquittoOptions;
using testsupport::toHex;
using testsupport::waitUntil;

class BrokerTest : public harness::DaemonTest {
 protected:
  void SetUp() override {
    ASSERT_TRUE(mosquitto_.start()) << mosquitto_.startError();
    DaemonTest::SetUp();
  }

  // A broker row for the fixture's mosquitto; the client identifier is the
  // row's name, so the broker's log lines name it. Its object id.
  std::string addBroker(const std::string& name, std::vector<std::string> more = {}) {
    more.insert(more.begin(), {"broker", "add", name, "address=127.0.0.1", "client-id=" + name,
                               "port=" + std::to_string(mosquitto_.port())});
    const std::string id = ok(more);
    return id.substr(0, id.size() - 1);
  }
  bool connected(const std::string& broker) {
    return contains(ok({"broker", "show", broker}), "connected     yes\n");
  }
  // Expects the daemon to come to hold `count` descriptors.
  void expectDescriptors(size_t count) {
    EXPECT_TRUE(waitUntil([&] { return harness::descriptorCount(daemon_.pid()) == count; }))
        << harness::descriptorCount(daemon_.pid()) << " descriptors, " << count << " idle";
  }
  // A file under the root that a test's scripts or the console write.
  std::string file(const std::string& name) { return root_.path() + "/" + name; }

  // Nothing is dropped for a slow subscriber (no queue limits), and a
  // subscriber's session outlives a restart of the broker.
  static MosquittoOptions brokerOptions() {
    MosquittoOptions options;
    options.extraConfig = {"max_queued_messages 0", "max_inflight_messages 0"};
    options.persistent = true;
    return options;
  }
  harness::LogListener syslog_{root_.path()};  // before the daemon, so it is used from the start
  Mosquitto mosquitto_{brokerOptions()};
};

TEST_F(BrokerTest, EachCommandReachesTheBrokerAndARemovedBrokerLeavesNothingBehind) {
  addBroker("b1");
  const size_t idle = harness::settledDescriptors(daemon_.pid());
  EXPECT_EQ("", ok({"connect", "b1"}));
  EXPECT_TRUE(connected("b1"));
  EXPECT_TRUE(mosquitto_.waitForLog("as b1 ("));
  EXPECT_EQ("", ok({"subscribe", "b1", "demo/#", "-q", "1", "--script", "true"}));
  EXPECT_EQ("id  broker  filter  qos  script\n1   b1      demo/#  1    true\n",
            ok({"subscription", "list"}));  // recorded at SUBACK, the script set then
  fails({"subscribe", "b1", "demo/#"}, 1, "mqttctl: subscribe b1: Topic already subscribed\n");

  EXPECT_EQ("", ok({"publish", "b1", "demo/hello", "hello world", "-q", "2"}));
  EXPECT_TRUE(waitUntil([&] { return contains(ok({"received", "count"}), "1\n"); }));
  EXPECT_TRUE(contains(ok({"received", "list", "--topic", "demo/+"}),
                       "b1      demo/hello  hello world\n"));
  EXPECT_EQ("", ok({"unsubscribe", "b1", "demo/#"}));
  EXPECT_EQ("id  broker  filter  qos  script\n", ok({"subscription", "list"}));
  EXPECT_EQ("", ok({"disconnect", "b1"}));
  EXPECT_FALSE(connected("b1"));
  EXPECT_TRUE(mosquitto_.waitForLog("Received DISCONNECT from b1"));
  fails({"publish", "--no-connect", "b1", "demo/x", "y"}, 1,
        "mqttctl: publish b1: Broker not connected\n");
  EXPECT_EQ("", ok({"clear"}));
  EXPECT_EQ("0\n", ok({"received", "count"}));
  expectDescriptors(idle);

  for (int cycle = 2; cycle <= 50; ++cycle) {
    ASSERT_EQ("", ok({"connect", "b1"})) << "cycle " << cycle;
    ASSERT_EQ("", ok({"disconnect", "b1"})) << "cycle " << cycle;
  }
  EXPECT_TRUE(mosquitto_.waitForLog("Received DISCONNECT from b1", 50));
  expectDescriptors(idle);

  // Removed while connected: its subscriptions go, and its client and
  // socket with them. Nothing listens on the other broker's port, which
  // was free when it was picked.
  ok({"broker", "add", "nowhere", "address=127.0.0.1",
      "port=" + std::to_string(testsupport::freeLoopbackPort())});
  ok({"subscription", "add", "nowhere", "kept"});
  EXPECT_EQ("", ok({"connect", "b1"}));
  EXPECT_EQ("", ok({"subscribe", "b1", "gone/#"}));
  ok({"subscription", "add", "b1", "gone/too"});
  EXPECT_EQ("", ok({"broker", "remove", "b1"}));
  EXPECT_EQ("nowhere\n", ok({"broker", "list", "--names"}));
  const std::string left = ok({"subscription", "list"});
  EXPECT_TRUE(contains(left, "kept") && !contains(left, "gone")) << left;
  EXPECT_TRUE(mosquitto_.waitForLog("Received DISCONNECT from b1", 51));
  expectDescriptors(idle);
  refused({"send", "1", "2", "u32:1=1"}, "No such broker");

  EXPECT_EQ(1, ctl({"connect", "nowhere"}).status);
  EXPECT_FALSE(connected("nowhere"));
}

// The broker publishes a row's will when the daemon dies, and not after a
// clean disconnect: the marker published between the two comes first.
TEST_F(BrokerTest, TheWillIsPublishedWhenTheDaemonIsKilledButNotAfterACleanDisconnect) {
  addBroker("b1", {"will-topic=fleet/b1", "will-message=gone", "will-qos=1"});
  auto watcher = testsupport::startSubscriber(mosquitto_, "watcher", "fleet/#");
  ASSERT_TRUE(watcher) << mosquitto_.log();
  EXPECT_EQ("", ok({"connect", "b1"}));
  EXPECT_EQ("", ok({"disconnect", "b1"}));
  ASSERT_TRUE(mosquitto_.waitForLog("Received DISCONNECT from b1"));
  ASSERT_EQ(0, testsupport::runPublisher(mosquitto_, {"-t", "fleet/marker", "-m", "m", "-q", "1"}));
  EXPECT_EQ("", ok({"connect", "b1"}));
  ASSERT_TRUE(mosquitto_.waitForLog("as b1 (", 2));
  EXPECT_EQ(-1, daemon_.stop(SIGKILL));
  ASSERT_TRUE(watcher->waitForLines(2)) << watcher->output() << mosquitto_.log();
  EXPECT_EQ((std::vector<std::string>{"1 0 fleet/marker " + toHex("m"),
                                      "1 0 fleet/b1 " + toHex("gone")}),
            watcher->lines());
  ASSERT_TRUE(daemon_.start()) << daemon_.errors();  // for the fixture's clean stop
}

TEST_F(BrokerTest, PublishedMessagesReachSubscribersByteForByteAndSigtermDisconnects) {
  addBroker("b1");
  auto subscriber = testsupport::startSubscriber(mosquitto_, "watcher", "out/#");
  ASSERT_TRUE(subscriber) << mosquitto_.log();
  const std::string data("bin\0ary\xff\x01", 9);  // a NUL and bytes that are not text
  ASSERT_TRUE(testsupport::writeFile(file("data"), data));
  std::vector<std::string> expected;
  for (const std::string qos : {"0", "1", "2"}) {
    EXPECT_EQ("", ok({"publish", "b1", "out/q" + qos, "-q", qos, "-f", file("data")}));
    expected.push_back(qos + " 0 out/q" + qos + " " + toHex(data));
  }
  ASSERT_TRUE(subscriber->waitForLines(3)) << subscriber->output() << subscriber->errors();
  std::vector<std::string> arrived = subscriber->lines();
  std::sort(arrived.begin(), arrived.end());
  EXPECT_EQ(expected, arrived);

  // A retained message reaches a subscriber that comes later.
  EXPECT_EQ("", ok({"publish", "b1", "kept/r", "last", "-q", "1", "-r"}));
  auto late = testsupport::startSubscriber(mosquitto_, "late", "kept/#", {"-C", "1"});
  ASSERT_TRUE(late);
  EXPECT_EQ(0, late->wait());
  EXPECT_EQ("1 1 kept/r " + toHex("last") + "\n", late->output());

  // At SIGTERM the connected client says goodbye to the broker and the log.
  EXPECT_EQ("<5>78 b1: connected to 127.0.0.1", syslog_.nextWith("connected to"));
  EXPECT_EQ(0, daemon_.stop());
  EXPECT_EQ("<5>78 b1: disconnected from 127.0.0.1", syslog_.nextWith("disconnected from"));
  EXPECT_TRUE(mosquitto_.waitForLog("Received DISCONNECT from b1"));
}

TEST_F(BrokerTest, ArrivingMessagesAreRecordedAndRunTheBestMatchingScript) {
  harness::Platformd platform(root_.path());
  ASSERT_TRUE(platform.start()) << platform.errors();
  ok({"count", "12.1"});  // held by the hub until the platform serves its paths
  const std::string b1 = addBroker("b1"), b2 = addBroker("b2");
  // Matching takes every row, whichever broker it belongs to; only b1
  // connects, so "in/#" is the one filter the broker knows and each message
  // arrives once. A script appends the topic and the data it was given.
  const auto script = [&](const std::string& name) {
    return "script=printf '%s\\n' \"$msgTopic\" >> " + file(name) + "; cat >> " + file(name);
  };
  ok({"subscription", "add", "b1", "in/#", script("wide")});
  ok({"subscription", "add", "b2", "in/+/x", script("narrow")});
  ok({"subscription", "add", "b2", "in/a/x"});  // the most specific, without a script
  ASSERT_EQ("", ok({"connect", "b1"}));
  ASSERT_TRUE(mosquitto_.waitForLog("b1 0 in/#"));  // subscribed again at the connection

  const std::string payload("x\0\xffy", 4);
  ASSERT_TRUE(testsupport::writeFile(file("payload"), payload));
  ASSERT_EQ(0, testsupport::runPublisher(mosquitto_, {"-t", "in/a/x", "-q", "1", "-f", file("payload")}));
  ASSERT_EQ(0, testsupport::runPublisher(mosquitto_, {"-t", "in/b/y", "-m", "plain"}));

  ASSERT_TRUE(waitUntil([&] { return contains(ok({"count", "4"}), "= 2\n"); }));
  const std::string rows = ok({"list", "4"});
  EXPECT_TRUE(contains(rows, "u32 11 = " + b1 + "\n  string 12 = \"in/a/x\"\n"
                             "  string 11 = \"x\\0\\xffy\"\n")) << rows;
  EXPECT_TRUE(contains(rows, "u32 11 = " + b1 + "\n  string 12 = \"in/b/y\"\n"
                             "  string 11 = \"plain\"\n")) << rows;
  const std::string narrow = "in/a/x\n" + payload, wide = "in/b/y\nplain";
  EXPECT_TRUE(waitUntil([&] {
    return testsupport::readFile(file("narrow")) == narrow &&
           testsupport::readFile(file("wide")) == wide;
  })) << toHex(testsupport::readFile(file("narrow"))) << " / " << testsupport::readFile(file("wide"));
  EXPECT_EQ(0, platform.stop());
}

// Lines published with -o while the broker is down all reach it, in order,
// once it is back: the outbox holds them and automatic connection, which
// the row does not ask for, brings them. The subscriber's session (clean
// session off) outlives the restart, so it receives them whichever of it
// and the daemon comes back first.
TEST_F(BrokerTest, LinesQueuedWhileTheBrokerIsDownAllArriveInOrderOnceItReturns) {
  addBroker("b1");
  auto subscriber = testsupport::startSubscriber(mosquitto_, "watcher", "queued/x", {"-c"}, 1);
  ASSERT_TRUE(subscriber) << mosquitto_.log();
  mosquitto_.stop();
  std::string input;
  std::vector<std::string> expected;
  for (int i = 1; i <= 1000; ++i) {
    const std::string line = "queued line " + std::to_string(i);
    input += line + "\n";
    expected.push_back("1 0 queued/x " + toHex(line));
  }
  harness::CtlResult r = ctl({"publish", "-l", "-o", "-q", "1", "b1", "queued/x"}, CtlRun{input, -1});
  EXPECT_EQ(0, r.status);
  EXPECT_EQ("", r.out + r.err);
  ASSERT_TRUE(mosquitto_.start()) << mosquitto_.startError();
  ASSERT_TRUE(subscriber->waitForLines(1000, 120000))
      << subscriber->lines().size() << " lines\n" << subscriber->errors();
  EXPECT_EQ(expected, subscriber->lines());
}

}  // namespace
