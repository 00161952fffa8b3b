// The real daemon under real network faults: the daemon in a network
// namespace of its own, mosquitto in another, a veth link between them
// (support/netns.h). Each fault is started and ended by the test. While it
// lasts, every command is answered, with success or a failure text; once
// it ends, automatic connection connects again by itself, the broker's
// subscriptions are made again, messages flow both ways, and the daemon
// holds the descriptors it held before and about the same private memory.
//
// Real time: every wait is for a condition, with a guard far above any
// bound the daemon documents. The bounds themselves, and a dead link
// noticed by the keep-alive alone, are checked in virtual time
// (tests/commands/faults_test.cc).
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "harness.h"
#include "support/netns.h"

namespace {

using harness::contains;
using testsupport::Fault;
using testsupport::FaultNet;
using testsupport::Mosquitto;
using testsupport::MosquittoOptions;
using testsupport::waitUntil;

// Longer than anything the daemon may take to reconnect or notice a dead
// link (1.5 x keep-alive after a PINGREQ due 29 s after the last write),
// or to answer a command; they only keep a broken daemon from hanging the
// test.
constexpr int GUARD_MS = 150000;
constexpr int REPLY_GUARD_SECONDS = 50;
constexpr uint16_t BROKER_PORT = 1883;

class FaultTest : public harness::DaemonTest {
 protected:
  void SetUp() override {
    if (!net_.ready()) GTEST_SKIP() << testsupport::NO_NAMESPACES << " (" << net_.error() << ")";
    daemon_.setLauncher(FaultNet::launcher(net_.daemonNs()));
    ASSERT_TRUE(mosquitto_.start()) << mosquitto_.startError();
    DaemonTest::SetUp();
  }
  void TearDown() override {
    if (!IsSkipped()) DaemonTest::TearDown();
  }

  // Broker row b1 for the fixture's mosquitto, connecting by itself
  // unless told otherwise, with the least keep-alive (30 s), and a
  // subscription row "in/#"; then connects it and waits until mosquitto
  // has the subscription.
  void addAndConnect(bool autoConnect = true) {
    ok({"broker", "add", "b1", std::string("address=") + FaultNet::BROKER_ADDRESS,
        "port=" + std::to_string(BROKER_PORT), "client-id=b1",
        std::string("auto-connect=") + (autoConnect ? "yes" : "no"), "keep-alive=30"});
    ok({"subscription", "add", "b1", "in/#"});
    EXPECT_EQ("", answer({"connect", "b1"}));
    EXPECT_TRUE(mosquitto_.waitForLog("b1 0 in/#")) << mosquitto_.log();
  }
  bool connected() { return contains(ok({"broker", "show", "b1"}), "connected     yes\n"); }
  // Waits for b1 to connect again by itself and subscribe a second time.
  void expectReconnected() {
    EXPECT_TRUE(waitUntil([&] { return connected(); }, GUARD_MS));
    EXPECT_TRUE(mosquitto_.waitForLog("b1 0 in/#", 2)) << mosquitto_.log();
  }
  // Runs a command that must be answered, with success or a failure: ""
  // for success, else the failure text.
  std::string answer(const std::vector<std::string>& args) {
    std::vector<std::string> argv{"--timeout", std::to_string(REPLY_GUARD_SECONDS)};
    argv.insert(argv.end(), args.begin(), args.end());
    const harness::CtlResult r = ctl(argv);
    if (r.status == 0) return "";
    // A refusal reads "mqttctl: VERB BROKER: TEXT".
    const std::string refused = "mqttctl: " + args[0] + " " + args[1] + ": ";
    EXPECT_EQ(0u, r.err.rfind(refused, 0)) << testing::PrintToString(args) << ": " << r.err;
    const std::string text = r.err.substr(0, r.err.find('\n'));
    return text.compare(0, refused.size(), refused) == 0 ? text.substr(refused.size()) : text;
  }
  // A message published at the broker reaches the received table, and one
  // the daemon publishes at QoS 1 is acknowledged.
  void expectDelivery(const std::string& tag) {
    ASSERT_EQ(0, testsupport::runPublisher(mosquitto_, {"-t", "in/" + tag, "-m", tag, "-q", "1"}));
    EXPECT_TRUE(waitUntil([&] { return contains(ok({"received", "list", "--topic", "in/" + tag}), tag); }))
        << tag;
    EXPECT_EQ("", answer({"publish", "b1", "out/" + tag, tag, "-q", "1"}));
  }
  void exchangeBigMessages();

  // The daemon's descriptors and private memory.
  struct Level {
    size_t descriptors;
    long privateKiB;
  };
  Level level() {
    return {harness::settledDescriptors(daemon_.pid()), testsupport::privateResidentKiB(daemon_.pid())};
  }
  void expectLevel(const Level& before) {
    EXPECT_TRUE(waitUntil([&] { return harness::descriptorCount(daemon_.pid()) == before.descriptors; }))
        << harness::descriptorCount(daemon_.pid()) << " descriptors, " << before.descriptors << " before";
#if !defined(__SANITIZE_ADDRESS__)  // there, memory is the sanitizer's quarantine and shadow
    // Under an emulator the process's memory is mostly the emulator's own
    // translation cache, which grows with every new code path it runs.
    if (!harness::daemonLaunch().launcher.empty()) return;
    const long grown = testsupport::privateResidentKiB(daemon_.pid()) - before.privateKiB;
    // Slow leaks are the soak's to find (docs/faults.md).
    EXPECT_LE(grown, testsupport::MEMORY_ALLOWANCE_KIB) << "private memory grew by " << grown << " KiB";
#endif
  }

  static MosquittoOptions brokerOptions(const FaultNet& net) {
    MosquittoOptions options;
    options.netns = net.brokerNs();
    options.address = FaultNet::BROKER_ADDRESS;
    options.port = BROKER_PORT;
    return options;
  }

  FaultNet net_;
  Mosquitto mosquitto_{brokerOptions(net_)};
  testsupport::FaultSwitch faults_{net_, mosquitto_};
};

// A 256 KiB message each way at once: one the daemon publishes at QoS 1,
// one mosquitto_pub sends to the daemon's subscription. Both arrive whole.
void FaultTest::exchangeBigMessages() {
  std::string data(256 * 1024, '\0');
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>('a' + i * 7 % 26);
  const std::string file = root_.path() + "/big";
  ASSERT_TRUE(testsupport::writeFile(file, data));
  auto subscriber = testsupport::startSubscriber(mosquitto_, "watcher", "out/#", {"-C", "1"}, 1);
  ASSERT_TRUE(subscriber) << mosquitto_.log();
  testsupport::MosquittoClient inbound(mosquitto_, "mosquitto_pub", {"-t", "in/big", "-q", "1", "-f", file});
  // Answered at PUBACK, or "Timeout occured" after 3 s while the message
  // is still on its way: either way it arrives whole.
  answer({"publish", "b1", "out/big", "-q", "1", "-f", file});
  EXPECT_EQ(0, inbound.wait(GUARD_MS));
  EXPECT_EQ(0, subscriber->wait(GUARD_MS));
  EXPECT_EQ("1 0 out/big " + testsupport::toHex(data) + "\n", subscriber->output());
  EXPECT_TRUE(waitUntil([&] { return contains(ok({"received", "list", "--topic", "in/big"}), data); },
                        GUARD_MS));
  ok({"received", "clear"});  // the level leaves out what the table holds
}

class EachFault : public FaultTest, public testing::WithParamInterface<Fault> {};

TEST_P(EachFault, EveryCommandIsAnsweredAndTheClientRecoversWhenItEnds) {
  addAndConnect();
  expectDelivery("before");
  const Level before = level();

  ASSERT_TRUE(faults_.start(GetParam())) << net_.error();
  // Connected, or torn down already (a killed broker resets the
  // connection): each command meets the client in whatever state the
  // fault left it, and is answered.
  for (const std::string qos : {"0", "1", "2"}) answer({"publish", "b1", "out/during", "x", "-q", qos});
  answer({"subscribe", "b1", "extra/#", "-q", "1"});
  answer({"connect", "b1"});
  EXPECT_EQ("", answer({"disconnect", "b1"}));
  EXPECT_NE("", answer({"connect", "b1"}));  // the fault is still there
  answer({"publish", "b1", "out/during", "x"});
  EXPECT_FALSE(connected());

  ASSERT_TRUE(faults_.end()) << net_.error() << mosquitto_.startError();
  expectReconnected();
  expectDelivery("after");
  expectLevel(before);
}

INSTANTIATE_TEST_SUITE_P(Faults, EachFault,
                         testing::Values(Fault::LinkDown, Fault::RouteGone, Fault::BrokerFrozen,
                                         Fault::BrokerRestarted, Fault::SilentListener),
                         [](const testing::TestParamInfo<Fault>& param) {
                           return testsupport::faultName(param.param);
                         });

TEST_F(FaultTest, OnASlowLinkA256KiBMessageGoesEachWayWhole) {
  addAndConnect();
  expectDelivery("before");
  exchangeBigMessages();  // at full speed first, so that the level counts the buffers it grew
  const Level before = level();
  ASSERT_TRUE(faults_.start(Fault::SlowLink)) << net_.error();
  exchangeBigMessages();
  ASSERT_TRUE(faults_.end()) << net_.error();
  EXPECT_TRUE(connected());
  expectDelivery("after");
  expectLevel(before);
}

TEST_F(FaultTest, WithTheSendBufferFullBehindADeadLinkADisconnectIsAnswered) {
  // Without automatic connection: its attempt would finish the waiting
  // disconnect by chance.
  addAndConnect(false);
  expectDelivery("before");
  const Level before = level();
  const std::string file = root_.path() + "/big";
  ASSERT_TRUE(testsupport::writeFile(file, std::string(2 * 1024 * 1024, 'f')));
  ASSERT_TRUE(faults_.start(Fault::LinkDown)) << net_.error();
  for (int i = 0; i < 40 && answer({"publish", "b1", "out/fill", "-f", file}) != "Output queue full"; ++i) {
  }
  EXPECT_EQ("", answer({"disconnect", "b1"}));
  EXPECT_FALSE(connected());
  ASSERT_TRUE(faults_.end()) << net_.error();
  EXPECT_EQ("", answer({"connect", "b1"}));
  expectReconnected();
  expectDelivery("after");
  expectLevel(before);
}

TEST_F(FaultTest, AfterAConnectFailsAtOnceNothingStaleReachesTheNextConnection) {
  addAndConnect(false);  // no automatic attempt in between to clear the client
  EXPECT_EQ("", answer({"disconnect", "b1"}));
  ASSERT_TRUE(mosquitto_.waitForLog("Received DISCONNECT from b1"));
  ASSERT_TRUE(faults_.start(Fault::RouteGone)) << net_.error();
  // The connect fails with "Network is unreachable": the publish is never
  // written, so it must not be answered with success.
  EXPECT_NE("", answer({"publish", "b1", "out/x", "x", "--disconnect-after"}));
  ASSERT_TRUE(faults_.end()) << net_.error();
  EXPECT_EQ("", answer({"connect", "b1"}));
  EXPECT_EQ("", answer({"publish", "b1", "out/y", "y", "-q", "1"}));
  EXPECT_TRUE(connected());
  EXPECT_EQ(1u, testsupport::countOf(mosquitto_.log(), "Received DISCONNECT from b1")) << mosquitto_.log();
}

}  // namespace
