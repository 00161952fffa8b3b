// The console's commands with a real broker: mosquitto on a loopback port
// of its own, the daemon connecting to it, and mosquitto_sub watching what
// arrives there.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "harness.h"
#include "support/mosquitto.h"

namespace {

using harness::CtlResult;
using harness::CtlRun;
using harness::Daemon;
using testsupport::Mosquitto;
using testsupport::MosquittoOptions;
using harness::Process;
using harness::TempRoot;

bool contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

class BrokerConsoleTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(broker_.start()) << broker_.startError();
    ASSERT_TRUE(daemon_.start()) << daemon_.errors();
    ok({"broker", "add", "local", "address=127.0.0.1", "port=" + std::to_string(broker_.port())});
  }
  void TearDown() override { EXPECT_EQ(0, daemon_.stop()); }

  CtlResult ctl(const std::vector<std::string>& args, const CtlRun& how = CtlRun()) {
    return harness::runCtl(root_.path(), args, how);
  }
  std::string ok(const std::vector<std::string>& args, const CtlRun& how = CtlRun()) {
    CtlResult r = ctl(args, how);
    EXPECT_EQ(0, r.status) << args[0] << " " << args[1] << ": " << r.err;
    return r.out;
  }
  void refused(const std::vector<std::string>& args, const std::string& text) {
    CtlResult r = ctl(args);
    EXPECT_EQ(1, r.status) << args[0];
    EXPECT_EQ("mqttctl: failed: " + text + "\n", r.err) << args[0];
  }
  // Runs `args` until its output contains `text` (a guard of many tries
  // only keeps a broken test from hanging); returns the last output.
  std::string until(const std::vector<std::string>& args, const std::string& text) {
    std::string out;
    for (int attempt = 0; attempt < 300 && !contains(out, text); ++attempt) {
      if (attempt) usleep(20 * 1000);
      out = ok(args);
    }
    return out;
  }
  // mosquitto_sub on `filter` and on "ready", printing "TOPIC MESSAGE" lines;
  // returns once it receives what the daemon publishes.
  void startSubscriber(Process& sub, const std::string& filter) {
    sub.start({MOSQUITTO_SUB_BIN, "-h", "127.0.0.1", "-p", std::to_string(broker_.port()), "-q",
               "1", "-v", "-t", filter, "-t", "ready"});
    bool ready = false;
    for (int attempt = 0; attempt < 100 && !ready; ++attempt) {
      ok({"publish", "local", "ready", "yes"});
      ready = sub.waitForLine("ready yes", 200);
    }
    ASSERT_TRUE(ready) << sub.errors();
  }

  // Nothing is dropped for a slow subscriber (no queue limits).
  static MosquittoOptions brokerOptions() {
    MosquittoOptions options;
    options.logTypes = {"error", "warning"};
    options.extraConfig = {"max_queued_messages 0", "max_inflight_messages 0"};
    return options;
  }
  Mosquitto broker_{brokerOptions()};
  TempRoot root_;
  Daemon daemon_{root_.path()};
};

TEST_F(BrokerConsoleTest, EachCommandReachesTheBrokerOrIsRefusedWithTheDaemonsText) {
  EXPECT_EQ("", ok({"connect", "local"}));
  EXPECT_TRUE(contains(ok({"broker", "show", "local"}), "connected     yes\n"));
  EXPECT_EQ("", ok({"subscribe", "local", "demo/#", "-q", "1"}));
  EXPECT_EQ("id  broker  filter  qos  script\n1   local   demo/#  1\n",
            ok({"subscription", "list"}));
  refused({"subscribe", "local", "demo/#"}, "Topic already subscribed");

  EXPECT_EQ("", ok({"publish", "local", "demo/hello", "hello world", "-q", "2"}));
  const std::string received = until({"received", "list", "--topic", "demo/+"}, "hello world");
  EXPECT_TRUE(contains(received, "local   demo/hello  hello world\n")) << received;
  EXPECT_EQ("1\n", ok({"received", "count"}));

  EXPECT_EQ("", ok({"unsubscribe", "local", "demo/#"}));
  EXPECT_EQ("id  broker  filter  qos  script\n", ok({"subscription", "list"}));
  EXPECT_EQ("", ok({"disconnect", "local"}));
  EXPECT_TRUE(contains(ok({"broker", "show", "local"}), "connected     no\n"));
  refused({"publish", "--no-connect", "local", "demo/x", "y"}, "Broker not connected");
  EXPECT_EQ("", ok({"clear"}));
  EXPECT_EQ("0\n", ok({"received", "count"}));

  ok({"broker", "add", "nobody", "address=127.0.0.1", "port=1"});  // nothing listens there
  refused({"connect", "nobody"}, "Connection failed");
}

TEST_F(BrokerConsoleTest, TenThousandLinesArriveWholeAndInOrder) {
  Process sub(root_.path());
  startSubscriber(sub, "lines/#");
  std::string input;
  std::vector<std::string> expected;
  for (int i = 1; i <= 10000; ++i) {
    input += "line " + std::to_string(i) + " of the test\n";
    expected.push_back("lines/x line " + std::to_string(i) + " of the test");
  }
  CtlResult r = ctl({"publish", "-l", "-q", "1", "local", "lines/x"}, CtlRun{input, -1});
  EXPECT_EQ(0, r.status) << r.err;
  EXPECT_EQ("", r.out + r.err);

  ASSERT_TRUE(sub.waitForLine("lines/x line 10000 of the test")) << sub.errors();
  std::vector<std::string> arrived;
  for (const std::string& line : sub.lines()) {
    if (line.compare(0, 8, "lines/x ") == 0) arrived.push_back(line);
  }
  EXPECT_EQ(expected, arrived);
}

// "topic":"...","data":"..." of each row of `received list --json`, as the
// watch prints them ("TOPIC DATA"); the test's data have no quotes.
std::vector<std::string> topicsAndData(const std::string& json) {
  std::vector<std::string> rows;
  auto valueAfter = [&json](const std::string& key, size_t& at) {
    at = json.find("\"" + key + "\":\"", at);
    if (at == std::string::npos) return std::string();
    at += key.size() + 4;
    return json.substr(at, json.find('"', at) - at);
  };
  for (size_t at = 0;;) {
    const std::string topic = valueAfter("topic", at);
    if (at == std::string::npos) return rows;
    rows.push_back(topic + " " + valueAfter("data", at));
  }
}

TEST_F(BrokerConsoleTest, WatchPrintsExactlyTheMessagesRecordedWhileItRan) {
  ok({"subscribe", "local", "w/#"});
  for (int i = 0; i < 3; ++i) ok({"publish", "local", "w/before", std::to_string(i)});
  until({"received", "count"}, "3\n");

  Process watch(root_.path());
  watch.start({MQTTCTL_BIN, "received", "watch", "local", "--interval", "0.1"});
  bool watching = false;  // from the first message it shows on
  for (int k = 0; k < 100 && !watching; ++k) {
    ok({"publish", "local", "w/start", std::to_string(k)});
    watching = watch.waitForLine("w/start", 300);
  }
  ASSERT_TRUE(watching) << watch.errors();
  for (int i = 1; i <= 40; ++i) ok({"publish", "local", "w/m", std::to_string(i)});
  ASSERT_TRUE(watch.waitForLine("w/m 40")) << watch.errors();
  EXPECT_EQ(0, watch.stop(SIGINT));
  EXPECT_EQ("", watch.errors());

  // What the table recorded, from the first message the watch showed on.
  std::vector<std::string> recorded = topicsAndData(ok({"--json", "received", "list"}));
  const std::vector<std::string>& shown = watch.lines();
  ASSERT_FALSE(shown.empty());
  auto first = std::find(recorded.begin(), recorded.end(), shown.front());
  ASSERT_NE(first, recorded.end()) << shown.front();
  EXPECT_EQ(std::vector<std::string>(first, recorded.end()), shown);
  for (const std::string& line : shown) EXPECT_NE(0, line.compare(0, 8, "w/before")) << line;
}

}  // namespace
