// The console against the real daemon, without a broker: the verbs' words
// mapped to the rows' fields and names to ids, the bus-level verbs on the
// three tables, every refusal text and exit status, broker removal, a
// restart, a read-only user, and what the console says when the daemon is
// absent, silent or its bus full.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <regex>
#include <string>
#include <vector>

#include "harness.h"
#include "platform/bus_frame.h"
#include "platform/system.h"

namespace {

using harness::contains;
using harness::CtlResult;
using harness::CtlRun;
using ConsoleTest = harness::DaemonTest;
using TablesTest = harness::DaemonTest;

const std::string BROKERS_STORE = "/korv/store/iot/mqtt/brokers";

TEST_F(ConsoleTest, BrokerWordsBecomeTheRowsFieldsAndNamesFindRows) {
  const std::string id = ok({"broker", "add", "b1", "address=broker.local", "port=8883", "ssl=yes",
                             "client-id=router", "user=me", "password=pw", "keep-alive=120",
                             "auto-connect=on", "script-limit=3", "certificate=4",
                             "will-topic=up/b1", "will-message=gone", "will-qos=1",
                             "will-retain=yes"});
  ASSERT_EQ("1\n", id);
  // The same row through the bus-level verb: every word landed on its field.
  EXPECT_EQ("row 1:\n  u32 0xfe0011 (object-id) = 1\n  string 0xfe0010 (name) = \"b1\"\n"
            "  string 1 = \"broker.local\"\n  u32 2 = 8883\n  bool 3 = true\n  bool 9 = true\n"
            "  bool 8 = false\n  u32 10 = 120\n  u32 15 = 3\n  string 4 = \"router\"\n"
            "  string 5 = \"me\"\n  string 6 = \"pw\"\n  u32 7 = 4\n  string 16 = \"up/b1\"\n"
            "  string 17 = \"gone\"\n  u32 18 = 1\n  bool 19 = true\n",
            ok({"list", "2"}));
  // Without platformd the certificate's name cannot be read: its id is shown.
  EXPECT_EQ("id            1\nname          b1\naddress       broker.local\nport          8883\n"
            "ssl           yes\nauto-connect  yes\nconnected     no\nkeep-alive    120\n"
            "script-limit  3\nclient-id     router\nuser          me\npassword      (set)\n"
            "certificate   4\nwill-topic    up/b1\nwill-message  gone\nwill-qos      1\n"
            "will-retain   yes\n\n"
            "state            idle\nfailed-attempts  0\nmessages         0 in, 0 out\n"
            "bytes            0 in, 0 out\noutbox           0 messages, 0 bytes\n",
            ok({"--timeout", "1", "broker", "show", "b1"}));

  ok({"broker", "add", "b2", "address=10.0.0.2"});
  // By name; a password is left without a user name: said, and done.
  CtlResult r = ctl({"broker", "set", "b1", "user=", "certificate=none", "name=first"});
  EXPECT_EQ(0, r.status);
  EXPECT_EQ("mqttctl: warning: a password without a user name: MQTT 3.1.1 allows a password only "
            "with a user name, so brokers refuse the connection (set user=NAME)\n", r.err);
  // A will cleared leaves nothing of it in the row.
  ok({"broker", "set", "first", "will-topic=", "will-message=", "will-qos=0", "will-retain=no"});
  ok({"broker", "set", "2", "port=1884"});  // by id
  EXPECT_EQ("id  name   address       port  ssl  certificate  auto-connect  state  last-failure\n"
            "1   first  broker.local  8883  yes  none         yes           idle\n"
            "2   b2     10.0.0.2      1884  no   none         no            idle\n",
            ok({"broker", "list"}));
  const std::string idle = "\"status\":{\"state\":\"idle\",\"state-number\":0,\"since\":null,"
                           "\"last-failure\":null,\"failed-attempts\":0,\"next-attempt\":null,"
                           "\"messages-in\":0,\"messages-out\":0,\"bytes-in\":0,\"bytes-out\":0,"
                           "\"outbox-messages\":0,\"outbox-bytes\":0,\"read-at\":T}";
  EXPECT_EQ("[{\"id\":1,\"name\":\"first\",\"address\":\"broker.local\",\"port\":8883,\"ssl\":true,"
            "\"auto-connect\":true,\"connected\":false,\"keep-alive\":120,\"script-limit\":3,"
            "\"client-id\":\"router\",\"password\":\"pw\"," + idle + "},"
            "{\"id\":2,\"name\":\"b2\",\"address\":\"10.0.0.2\",\"port\":1884,\"ssl\":false,"
            "\"auto-connect\":false,\"connected\":false,\"keep-alive\":60,\"script-limit\":0," +
                idle + "}]\n",
            std::regex_replace(ok({"--json", "broker", "list"}), std::regex("\"read-at\":[0-9]+"),
                               "\"read-at\":T"));

  ok({"subscription", "add", "first", "a/+/c", "qos=2", "script=log(msgTopic)"});
  EXPECT_EQ("2\n", ok({"subscription", "add", "b2", "x/#"}));  // each table has its own ids
  EXPECT_EQ("id  broker  filter  qos  script\n1   first   a/+/c   2    log(msgTopic)\n",
            ok({"subscription", "list", "first"}));
  EXPECT_EQ("", ok({"subscription", "remove", "b2", "x/#"}));
  EXPECT_EQ("", ok({"subscription", "remove", "1"}));
  EXPECT_EQ("id  broker  filter  qos  script\n", ok({"subscription", "list"}));
  EXPECT_EQ("", ok({"broker", "remove", "b2"}));
  EXPECT_EQ("first\n", ok({"broker", "list", "--names"}));
  EXPECT_EQ("0\n", ok({"received", "count"}));
  EXPECT_EQ("id  time  broker  topic  data\n", ok({"received", "list"}));
}

TEST_F(ConsoleTest, RefusalsKeepTheDaemonsTextAndBusLevelVerbsChangeRows) {
  const std::string b1 = add({"add", "2", "string:name=b1", "string:1=10.0.0.1"});
  add({"add", "2", "string:name=B1", "string:1=10.0.0.2"});  // names are case-sensitive
  const std::string s1 = add({"add", "3", "u32:11=" + b1, "string:12=a/b"});
  const std::string failed = "mqttctl: failed: ";
  std::string levels256 = "x";
  for (int i = 1; i < 256; ++i) levels256 += "/x";
  const struct {
    std::vector<std::string> args;
    int status;
    std::string err;
  } cases[] = {
      {{"add", "2", "string:1=10.0.0.1"}, 1, failed + "Broker name required\n"},
      {{"broker", "add", "b2"}, 1, failed + "Broker address required\n"},
      {{"broker", "add", "b1", "address=10.0.0.2"}, 1, failed + "Broker name already in use\n"},
      {{"set", "2", b1, "string:name=B1"}, 1, failed + "Broker name already in use\n"},
      {{"broker", "set", "b1", "address="}, 1, failed + "Broker address required\n"},
      {{"broker", "set", "b1", "will-topic=up/+"}, 1, failed + "Invalid will topic\n"},
      {{"broker", "add", "b4", "address=x", "will-topic=" + levels256}, 1,
       failed + "Invalid will topic\n"},
      {{"set", "2", b1, "u32:18=3"}, 1, failed + "Will QoS must be 0, 1 or 2\n"},
      {{"set", "2", b1, "string:17=" + std::string(65536, 'm')}, 1,
       failed + "Will message too long\n"},
      {{"add", "3", "u32:11=" + b1, "u32:13=5"}, 1, failed + "Topic required\n"},
      {{"add", "3", "u32:11=0xffffffff", "string:12=a/c"}, 1, failed + "Broker required\n"},
      {{"add", "3", "u32:11=" + b1, "string:12=a/c", "u32:13=3"}, 1,
       failed + "Qos must be 0, 1 or 2\n"},
      {{"subscription", "add", "b1", "a/+/+"}, 1, failed + "Invalid topic\n"},
      {{"set", "3", s1, "string:12=a/#/b"}, 1, failed + "Invalid topic\n"},
      {{"subscription", "add", "b1", "a/b"}, 1, failed + "Topic already subscribed\n"},
      {{"add", "4", "string:12=a/b"}, 1, "mqttctl: error 0xfe0003 (not-supported)\n"},
      {{"broker", "show", "nosuch"}, 1, "mqttctl: no broker named \"nosuch\"\n"},
      {{"unsubscribe", "b1", "a/c"}, 1, "mqttctl: the broker has no subscription to \"a/c\"\n"},
      {{"broker", "add", "b3", "prot=1"}, 2,
       "mqttctl: broker add: unknown key \"prot\" (keys: name, address, port, ssl, auto-connect, "
       "keep-alive, script-limit, client-id, user, password, certificate, will-topic, "
       "will-message, will-qos, will-retain)\n"
       "usage: mqttctl [OPTIONS] broker add NAME address=HOST [KEY=VALUE...]\n"
       "Run 'mqttctl broker add --help' for more.\n"},
      {{"publish", "b1", "t", "-q", "5"}, 2,
       "mqttctl: publish: -q \"5\": QoS is 0, 1 or 2\n"
       "usage: mqttctl [OPTIONS] publish BROKER TOPIC [MESSAGE]\n"
       "Run 'mqttctl publish --help' for more.\n"},
  };
  for (const auto& c : cases) fails(c.args, c.status, c.err);
  EXPECT_TRUE(contains(ok({"count", "2"}), "= 2\n"));
  EXPECT_EQ("no rows\n", ok({"list", "4"}));
  // A set may restate the row's own name.
  EXPECT_EQ("ok\n", ok({"set", "2", b1, "string:name=b1", "string:6=pw"}));
  EXPECT_EQ("ok\n", ok({"set", "3", s1, "string:11=log(msgTopic)"}));
  EXPECT_TRUE(contains(ok({"get", "2", b1}), "string 6 = \"pw\"\n"));
  EXPECT_TRUE(contains(ok({"list", "3"}), "  u32 11 = " + b1 + "\n  string 12 = \"a/b\"\n"
                                          "  u32 13 = 0\n  string 11 = \"log(msgTopic)\"\n"));
  EXPECT_EQ("ok\n", ok({"remove", "3", s1}));
  EXPECT_TRUE(contains(ok({"count", "3"}), "= 0\n"));
  // With --json a refusal goes to standard output too, for scripts.
  CtlResult r = ctl({"--json", "broker", "add", "b1", "address=x"});
  EXPECT_EQ(1, r.status);
  EXPECT_EQ("{\"error\":\"Broker name already in use\"}\n", r.out);
}

TEST_F(TablesTest, BrokerAndSubscriptionRowsSurviveARestart) {
  const std::string gone = add({"add", "2", "string:name=gone", "string:1=10.0.0.9"});
  const std::string b1 = add({"add", "2", "string:name=b1", "string:1=broker.local", "u32:2=8883",
                              "bool:3=true", "string:5=user", "u32:7=4", "bool:9=true"});
  const std::string s1 = add({"add", "3", "u32:11=" + b1, "string:12=home/+/temp", "u32:13=2",
                              "string:11=run()"});
  EXPECT_EQ("ok\n", ok({"remove", "2", gone}));
  EXPECT_EQ("ok\n", ok({"set", "2", b1, "u32:10=600"}));  // just before the stop
  const std::string broker = ok({"get", "2", b1});
  const std::string subscription = ok({"get", "3", s1});

  restart();
  EXPECT_EQ(broker, ok({"get", "2", b1}));
  EXPECT_EQ(subscription, ok({"get", "3", s1}));
  EXPECT_TRUE(contains(ok({"count", "2"}), "= 1\n"));
  // The filter was parsed again: it is still refused as a duplicate.
  refused({"add", "3", "u32:11=" + b1, "string:12=home/+/temp"}, "Topic already subscribed");
  EXPECT_GT(std::stoul(add({"add", "2", "string:name=b2", "string:1=10.0.0.2"})), std::stoul(b1));
  // Received rows are kept in memory only: no store of their own.
  EXPECT_FALSE(std::filesystem::exists(root_.path() + "/korv/store/iot/mqtt/subscriptions/recv"));
}

// A second user on the bus (in the daemon's group, so it may connect) may
// read but not write, and never receives a password.
TEST_F(ConsoleTest, AReadOnlyUserNeverReceivesAPassword) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to run the console as another user";
  ASSERT_EQ(0, chmod(root_.path().c_str(), 0750));
  ok({"broker", "add", "b1", "address=10.0.0.1", "user=me", "password=secret"});
  const CtlRun reader{"", 65534};
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{"--json", "broker", "show", "b1"},
        {"--json", "broker", "list"}, {"--json", "list", "2"}, {"--json", "get", "2", "1"},
        {"broker", "show", "b1"}}) {
    const std::string out = ok(args, reader);
    EXPECT_FALSE(contains(out, "secret")) << out;
    EXPECT_FALSE(contains(out, "password") || contains(out, "\"num\":6,")) << out;
    EXPECT_TRUE(contains(out, "me")) << out;  // the rest is there
  }
  CtlResult r = ctl({"broker", "set", "b1", "port=1"}, reader);
  EXPECT_EQ(1, r.status);
  EXPECT_EQ("mqttctl: error 0xfe0004 (not-allowed): write permission required\n", r.err);
  EXPECT_TRUE(contains(ok({"broker", "show", "b1"}), "password      (set)\n"));
  EXPECT_TRUE(contains(ok({"--json", "broker", "show", "b1"}), "\"password\":\"secret\""));

  // The store files that hold it (rows file, journal) are readable by
  // their owner only.
  restart();
  size_t files = 0;
  for (const auto& entry : std::filesystem::directory_iterator(root_.path() + BROKERS_STORE)) {
    EXPECT_EQ(std::filesystem::perms::owner_read | std::filesystem::perms::owner_write,
              entry.status().permissions()) << entry.path();
    ++files;
  }
  EXPECT_LT(0u, files);
}

// A raw bus connection that has sent one request.
int sendOnNewConnection(const std::string& root, std::vector<uint32_t> path, uint32_t command,
                        kv::message request = kv::message()) {
  const int fd = harness::connectToBus(root);
  request.set(kv::PATH_FIELD, path);
  request.set(kv::COMMAND_FIELD, command);
  std::string frame;
  kv::encodeFrame(kv::FrameKind::Request, 1, request, frame);
  EXPECT_TRUE(harness::sendAll(fd, frame));
  return fd;
}

TEST_F(ConsoleTest, NoDaemonATimeOutAndAFullBusAreSaidPlainly) {
  harness::TempRoot empty;
  CtlResult r = harness::runCtl(empty.path(), {"--json", "broker", "list"});
  EXPECT_EQ(3, r.status);
  EXPECT_EQ("mqttctl: the daemon is not running (nothing serves the bus at " + empty.path() +
                "/ram/kvbus)\nmqttctl: looked in the root directory " + empty.path() +
                " (from KV_ROOT); choose another with --root DIR or KV_ROOT=DIR\n",
            r.err);

  // A peer that serves path 77 and never answers.
  kv::message serve;
  serve.set(kv::SERVE_PATH_FIELD, std::vector<uint32_t>{77});
  const int silent = sendOnNewConnection(root_.path(), {}, kv::CMD_SERVE, serve);
  for (int attempt = 0; attempt < 100; ++attempt) {  // until the hub has taken the path
    r = ctl({"--json", "--timeout", "0.5", "send", "77", "1"});
    if (r.status != 1) break;
  }
  EXPECT_EQ(3, r.status);
  EXPECT_EQ("mqttctl: time-out: no answer within 0.5 s (see --timeout)\n", r.err);
  EXPECT_EQ("", r.out);  // nothing for a script to mistake for an answer

  // 64 peers that have just been busy: none gives way. A peer holds its
  // slot once it has had an answer (one made while the hub still counts a
  // peer that is going may be closed instead).
  std::vector<int> peers{silent};
  for (int attempt = 0; attempt < 1000 && peers.size() < 64; ++attempt) {
    const int fd = sendOnNewConnection(root_.path(), {2}, kv::CMD_GET_COUNT);
    char first;
    if (read(fd, &first, 1) == 1) {
      peers.push_back(fd);
    } else {
      close(fd);
    }
  }
  ASSERT_EQ(64u, peers.size());
  fails({"--json", "broker", "list"}, 3,
        "mqttctl: bus full: 64 peers are connected and none is idle long enough to give way; "
        "try again later\n");
  for (int fd : peers) close(fd);
}

}  // namespace
