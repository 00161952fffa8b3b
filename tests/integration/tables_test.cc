// The broker, subscription and received-message tables of the real daemon,
// driven through the console client: rows added, listed, changed and
// removed, every refusal text, broker removal, and a restart.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "harness.h"

namespace {

using harness::CtlResult;
using harness::Daemon;
using harness::TempRoot;

class TablesTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(daemon_->start()) << daemon_->errors(); }
  void TearDown() override {
    if (daemon_) {
      EXPECT_EQ(0, daemon_->stop());
    }
  }

  CtlResult ctl(const std::vector<std::string>& args) { return harness::runCtl(root_.path(), args); }
  // Runs a command that must succeed and returns its output.
  std::string ok(const std::vector<std::string>& args) {
    CtlResult r = ctl(args);
    EXPECT_EQ(0, r.status) << args[0] << ": " << r.err;
    return r.out;
  }
  // Runs a command that must be refused with the failure `text`.
  void refused(const std::vector<std::string>& args, const std::string& text) {
    CtlResult r = ctl(args);
    EXPECT_EQ(1, r.status) << r.out;
    EXPECT_EQ("mqttctl: failed: " + text + "\n", r.err);
  }
  // Adds a row and returns its object id, as text for the next commands.
  std::string add(const std::string& table, std::vector<std::string> fields) {
    fields.insert(fields.begin(), {"--json", "add", table});
    const std::string out = ok(fields);
    const std::string key = "\"num\":16646161,\"value\":";
    const size_t at = out.find(key);
    if (at == std::string::npos) {
      ADD_FAILURE() << "no object id in " << out;
      return "0";
    }
    const size_t start = at + key.size();
    return out.substr(start, out.find('}', start) - start);
  }
  std::string count(const std::string& table) { return ok({"count", table}); }
  void restart() {
    ASSERT_EQ(0, daemon_->stop());
    daemon_ = std::make_unique<Daemon>(root_.path());
    ASSERT_TRUE(daemon_->start()) << daemon_->errors();
  }
  bool fileExists(const std::string& devicePath) {
    struct stat st;
    return stat((root_.path() + devicePath).c_str(), &st) == 0;
  }

  TempRoot root_;
  std::unique_ptr<Daemon> daemon_ = std::make_unique<Daemon>(root_.path());
};

bool contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

TEST_F(TablesTest, BrokerRowsAreValidatedListedChangedAndRemoved) {
  refused({"add", "2"}, "Broker name required");
  refused({"add", "2", "string:1=10.0.0.1"}, "Broker name required");
  refused({"add", "2", "string:name=b1"}, "Broker address required");
  const std::string b1 = add("2", {"string:name=b1", "string:1=10.0.0.1"});
  refused({"add", "2", "string:name=b1", "string:1=10.0.0.2"}, "Broker name already in use");
  const std::string upper = add("2", {"string:name=B1", "string:1=10.0.0.2", "u32:2=65536"});

  const std::string listed = ok({"list", "2"});
  EXPECT_TRUE(contains(listed, "string 0xfe0010 (name) = \"b1\"\n  string 1 = \"10.0.0.1\"\n"
                               "  u32 2 = 1883\n  bool 3 = false\n  bool 9 = false\n"
                               "  bool 8 = false\n  u32 10 = 60\n  u32 15 = 0\n"))
      << listed;
  EXPECT_TRUE(contains(ok({"get", "2", upper}), "u32 2 = 0\n"));

  EXPECT_EQ("ok\n", ok({"set", "2", b1, "u32:10=5", "bool:8=true", "string:6=pw"}));
  const std::string changed = ok({"get", "2", b1});
  EXPECT_TRUE(contains(changed, "u32 10 = 30\n")) << changed;
  EXPECT_TRUE(contains(changed, "bool 8 = false\n")) << changed;
  EXPECT_TRUE(contains(changed, "string 6 = \"pw\"\n")) << changed;
  EXPECT_EQ("ok\n", ok({"set", "2", b1, "string:name=b1"}));
  refused({"set", "2", b1, "string:name=B1"}, "Broker name already in use");
  refused({"set", "2", b1, "string:1="}, "Broker address required");

  EXPECT_EQ("ok\n", ok({"remove", "2", upper}));
  EXPECT_TRUE(contains(count("2"), "= 1\n"));
  EXPECT_TRUE(contains(ok({"get", "2", b1}), "string 1 = \"10.0.0.1\""));
}

TEST_F(TablesTest, SubscriptionRowsAreValidatedListedChangedAndRemoved) {
  const std::string b1 = add("2", {"string:name=b1", "string:1=10.0.0.1"});
  refused({"add", "3", "u32:11=" + b1, "u32:13=5"}, "Topic required");
  refused({"add", "3", "u32:11=0xffffffff", "string:12=a/b"}, "Broker required");
  refused({"add", "3", "u32:11=" + b1, "string:12=a/b", "u32:13=3"}, "Qos must be 0, 1 or 2");
  refused({"add", "3", "u32:11=" + b1, "string:12=a/+/+", "u32:13=1"}, "Invalid topic");
  const std::string s1 = add("3", {"u32:11=" + b1, "string:12=a/b", "u32:13=1"});
  refused({"add", "3", "u32:11=" + b1, "string:12=a/b"}, "Topic already subscribed");
  const std::string s2 = add("3", {"u32:11=" + b1, "string:12=a/#"});

  EXPECT_TRUE(contains(ok({"list", "3"}), "  u32 11 = " + b1 +
                                               "\n  string 12 = \"a/b\"\n  u32 13 = 1\n"
                                               "  string 11 = \"\"\n"));
  EXPECT_EQ("ok\n", ok({"set", "3", s2, "string:11=log(msgTopic)"}));
  EXPECT_TRUE(contains(ok({"get", "3", s2}), "string 11 = \"log(msgTopic)\""));
  refused({"set", "3", s2, "string:12=a/b"}, "Topic already subscribed");
  refused({"set", "3", s2, "string:12=a/#/b"}, "Invalid topic");
  EXPECT_EQ("ok\n", ok({"remove", "3", s1}));
  EXPECT_TRUE(contains(count("3"), "= 1\n"));
}

TEST_F(TablesTest, RemovingABrokerTakesItsSubscriptions) {
  const std::string b1 = add("2", {"string:name=b1", "string:1=10.0.0.1"});
  const std::string b2 = add("2", {"string:name=b2", "string:1=10.0.0.2"});
  add("3", {"u32:11=" + b1, "string:12=one"});
  add("3", {"u32:11=" + b2, "string:12=kept"});
  add("3", {"u32:11=" + b1, "string:12=two/+"});

  EXPECT_EQ("ok\n", ok({"remove", "2", b1}));
  const std::string left = ok({"list", "3"});
  EXPECT_TRUE(contains(left, "\"kept\"")) << left;
  EXPECT_FALSE(contains(left, "\"one\"")) << left;
  EXPECT_TRUE(contains(count("3"), "= 1\n"));
  EXPECT_EQ(1, ctl({"get", "2", b1}).status);

  ASSERT_TRUE(daemon_->waitForLine("mqtt: *** removing subscription: two/+"));
  const std::vector<std::string>& lines = daemon_->lines();
  auto at = std::find(lines.begin(), lines.end(), "mqtt: *** removing broker b1");
  ASSERT_LE(3, lines.end() - at);
  EXPECT_EQ("mqtt: *** removing subscription: one", at[1]);
  EXPECT_EQ("mqtt: *** removing subscription: two/+", at[2]);
}

TEST_F(TablesTest, TheReceivedTableRefusesAddsByCommand) {
  CtlResult r = ctl({"add", "4", "u32:11=1", "string:12=a/b", "string:11=data"});
  EXPECT_EQ(1, r.status);
  EXPECT_TRUE(contains(r.err, "error 0xfe0003")) << r.err;
  EXPECT_TRUE(contains(count("4"), "= 0\n"));
  EXPECT_EQ("no rows\n", ok({"list", "4"}));
}

TEST_F(TablesTest, BrokerAndSubscriptionRowsSurviveARestart) {
  const std::string gone = add("2", {"string:name=gone", "string:1=10.0.0.9"});
  const std::string b1 = add("2", {"string:name=b1", "string:1=broker.local", "u32:2=8883",
                                   "bool:3=true", "string:5=user", "u32:7=4", "bool:9=true"});
  const std::string s1 = add("3", {"u32:11=" + b1, "string:12=home/+/temp", "u32:13=2",
                                   "string:11=run()"});
  EXPECT_EQ("ok\n", ok({"remove", "2", gone}));
  EXPECT_EQ("ok\n", ok({"set", "2", b1, "u32:10=600"}));  // just before the stop
  const std::string broker = ok({"get", "2", b1});
  const std::string subscription = ok({"get", "3", s1});

  restart();
  EXPECT_EQ(broker, ok({"get", "2", b1}));
  EXPECT_EQ(subscription, ok({"get", "3", s1}));
  EXPECT_TRUE(contains(count("2"), "= 1\n"));
  // The filter was parsed again: it is still refused as a duplicate.
  refused({"add", "3", "u32:11=" + b1, "string:12=home/+/temp"}, "Topic already subscribed");
  const std::string next = add("2", {"string:name=b2", "string:1=10.0.0.2"});
  EXPECT_GT(std::stoul(next), std::stoul(b1));
  // A table's store is its rows file and the journal of changes since.
  auto stored = [&](const std::string& dir) { return fileExists(dir + "/rows") || fileExists(dir + "/journal"); };
  EXPECT_TRUE(stored("/korv/store/iot/mqtt/brokers"));
  EXPECT_TRUE(stored("/korv/store/iot/mqtt/subscriptions"));
  EXPECT_FALSE(stored("/korv/store/iot/mqtt/subscriptions/recv"));
}

}  // namespace
