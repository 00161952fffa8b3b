// Why a connection failed, told through the console: for each way an
// attempt can end before MQTT starts (a refused port, a name that does not
// resolve, a broker certificate from an unknown CA or for another name, a
// broker that refuses the credentials) the command's failure carries the
// reason and `broker show` holds it. The state's way from connecting
// through retrying to connected is followed in virtual time
// (tests/commands/broker_status_test.cc).
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "harness.h"
#include "tls_broker.h"

namespace {

using harness::contains;
using harness::TlsBroker;

class BrokerStatusTest : public harness::DaemonTest {
 protected:
  // The TLS broker, and a plain one that knows one user: "router" with the
  // password "secret".
  static void SetUpTestSuite() {
    tls = new TlsBroker();
    setupError = tls->start();
    passwords = new harness::TempRoot();
    const std::string file = passwords->path() + "/passwords";
    const std::string command = "mosquitto_passwd -b -c '" + file + "' router secret";
    if (setupError.empty() && system(command.c_str()) != 0) setupError = "mosquitto_passwd failed";
    testsupport::MosquittoOptions options;
    options.extraConfig = {"password_file " + file};
    locked = new testsupport::Mosquitto(options);
    if (setupError.empty() && !locked->start()) setupError = locked->startError();
  }
  static void TearDownTestSuite() {
    delete locked;
    delete passwords;
    delete tls;
  }

  void SetUp() override {
    ASSERT_EQ("", setupError);
    DaemonTest::SetUp();
    ASSERT_TRUE(platform_.start()) << platform_.errors();
    ok({"count", "12.1"});  // held by the hub until platformd serves the stores
    ok({"ca", "add", "test-ca", tls->path("ca.pem")});
  }
  void TearDown() override {
    EXPECT_EQ(0, platform_.stop());
    DaemonTest::TearDown();
  }

  // The value of `key` in `broker show`, or "(no KEY)".
  std::string shown(const std::string& broker, const std::string& key) {
    const std::string out = ok({"broker", "show", broker});
    const size_t at = out.find("\n" + key + " ");
    if (at == std::string::npos) return "(no " + key + ")";
    const size_t value = out.find_first_not_of(' ', at + key.size() + 1);
    return out.substr(value, out.find('\n', value) - value);
  }

  static TlsBroker* tls;
  static harness::TempRoot* passwords;
  static testsupport::Mosquitto* locked;
  static std::string setupError;
  harness::Platformd platform_{root_.path()};
};

TlsBroker* BrokerStatusTest::tls = nullptr;
harness::TempRoot* BrokerStatusTest::passwords = nullptr;
testsupport::Mosquitto* BrokerStatusTest::locked = nullptr;
std::string BrokerStatusTest::setupError;

TEST_F(BrokerStatusTest, EachFailureIsToldByTheConsoleAndHeldInTheStatus) {
  const std::string port = "port=";
  const std::string mismatch = "certificate verification failed: hostname mismatch";
  const std::string unknownCa = "certificate verification failed: unable to get local issuer "
                                "certificate";
  const struct {
    std::vector<std::string> add;   // broker add ...
    std::vector<std::string> verb;  // what fails
    std::string err;                // the console's line, after "mqttctl: "
    std::string kind, failure;      // as broker show holds them
  } cases[] = {
      {{"refused", "address=127.0.0.1", port + std::to_string(testsupport::freeLoopbackPort())},
       {"connect", "refused"},
       "connect refused: Connection failed: Connection refused (127.0.0.1)", "connect",
       "internal error [connect: Connection refused]"},
      {{"nohost", "address=nothing.invalid"},
       {"publish", "-q", "1", "nohost", "a/b", "x"},
       "publish nohost: Connection failed: couldn't resolve nothing.invalid", "resolve",
       "couldn't resolve nothing.invalid"},
      {{"stranger", "address=localhost", "ssl=yes",
        port + std::to_string(tls->port(TlsBroker::STRANGER))},
       {"subscribe", "stranger", "a/#"},
       "subscribe stranger: Connection failed: " + unknownCa + " (localhost)", "tls",
       "ssl failure [" + unknownCa + "]"},
      {{"misnamed", "address=localhost", "ssl=yes",
        port + std::to_string(tls->port(TlsBroker::MISNAMED))},
       {"connect", "misnamed"},
       "connect misnamed: Connection failed: " + mismatch + " (localhost)", "tls",
       "ssl failure [" + mismatch + "]"},
      {{"locked", "address=127.0.0.1", port + std::to_string(locked->port()), "user=router",
        "password=wrong"},
       {"subscribe", "locked", "a/#"},
       "subscribe locked: Connection failed: Connection refused: not authorised", "refused",
       "Connection refused: not authorised"},
  };
  for (const auto& c : cases) {
    const std::string& name = c.add[0];
    SCOPED_TRACE(name);
    std::vector<std::string> add = {"broker", "add"};
    add.insert(add.end(), c.add.begin(), c.add.end());
    ok(add);
    fails(c.verb, 1, "mqttctl: " + c.err + "\n");
    EXPECT_EQ(c.failure, shown(name, "last-failure"));
    EXPECT_EQ(c.kind, shown(name, "failure-kind"));
    EXPECT_EQ("1", shown(name, "failed-attempts"));
  }

  // Scripts get the same, and the whole status, as JSON.
  const harness::CtlResult r = ctl({"--json", "connect", "refused"});
  EXPECT_EQ(1, r.status);
  EXPECT_TRUE(contains(r.out, "{\"error\":\"connect refused: Connection failed: Connection "
                              "refused (127.0.0.1)\",\"status\":{\"state\":\"idle\",")) << r.out;
  EXPECT_TRUE(contains(r.out, "\"kind\":\"connect\",\"kind-number\":7,\"text\":\"internal error "
                              "[connect: Connection refused]\"")) << r.out;
  EXPECT_TRUE(contains(r.out, ",\"failed-attempts\":2,")) << r.out;
}

}  // namespace
