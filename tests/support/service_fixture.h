// The service wired as start-up wires it (the three tables on handlers 2 to
// 4 with broker removal, the command handler on 1), on a loop with a manual
// clock, with a scripted broker on loopback and small fakes of the platform
// services: name resolution [14], SSL set-up [12] and scripts [48]. Console
// lines are captured. Commands go through the bus as a requester sends them.
#pragma once

#include <gtest/gtest.h>

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "commands/broker_status.h"
#include "client/reconnect_backoff.h"
#include "commands/mqtt_service.h"
#include "contracts/broker_status.h"
#include "contracts/mqtt_service.h"
#include "contracts/mqtt_tables.h"
#include "platform/looper.h"
#include "platform/system.h"
#include "base/log.h"
#include "base/service_globals.h"
#include "support/scripted_broker.h"
#include "support/table_fixture.h"
#include "tables/service_tables.h"

// A platform service that keeps every request until the test answers it,
// or answers at once with `autoReply` when that is set.
class FakeService : public kv::Handler {
 public:
  void handleCmd(kv::message& request, uint32_t) override {
    requests.push_back(request);
    if (autoReply) answer(requests.size() - 1, autoReply(request));
  }
  void answer(size_t i, const kv::message& reply) { replyMessage(requests.at(i), reply); }

  std::vector<kv::message> requests;
  std::function<kv::message(const kv::message&)> autoReply;
};

// The SSL service without TLS: it hands back one end of a socket pair and
// relays the other end to and from the TCP socket it was given, in plain
// text. With `failure` set it answers that failure instead; with `hold`
// set it answers nothing until the test calls answer().
class FakeSsl : public kv::Handler {
 public:
  ~FakeSsl() override {
    for (int fd : open_) {
      kv::getRunner().removeSocket(fd);
      ::close(fd);
    }
  }
  bool takesDescriptors() const override { return true; }
  void handleCmd(kv::message& request, uint32_t) override {
    requests.push_back(request);
    if (!hold) answer(request);
  }
  void answer(const kv::message& request) {
    const int tcp = static_cast<int>(request.get(kv::SOCKET_FIELD));
    if (!failure.empty()) {
      ::close(tcp);
      return replyMessage(request, kv::failedMsg(failure));
    }
    int pair[2];
    socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, pair);
    relay(tcp, pair[1]);
    relay(pair[1], tcp);
    open_.insert(open_.end(), {tcp, pair[1]});
    kv::message reply;
    reply.set(kv::SOCKET_FIELD, static_cast<uint32_t>(pair[0]));
    replyMessage(request, reply);
    ::close(pair[0]);  // the bus passed on its own copy
  }

  std::vector<kv::message> requests;
  bool hold = false;
  std::string failure;

 private:
  void relay(int from, int to) {
    kv::getRunner().addSocket(from, POLLIN, [to](int fd, int) {
      char buf[65536];
      ssize_t n;
      while ((n = ::read(fd, buf, sizeof buf)) > 0) ::send(to, buf, static_cast<size_t>(n), MSG_NOSIGNAL);
      if (n == 0) {
        ::shutdown(to, SHUT_WR);
        kv::getRunner().removeSocket(fd);
      }
    });
  }
  std::vector<int> open_;
};

namespace svc = contract::mqtt_service;
namespace brokerRow = contract::brokers;

// The outcome of one command: set when its reply arrives.
struct Outcome {
  bool done = false;
  kv::message reply;
  bool ok() const { return done && !kv::isError(reply); }
  std::string failure() const { return done ? kv::getError(reply) : "(no reply)"; }
};
using OutcomePtr = std::shared_ptr<Outcome>;

class ServiceFixture : public TableFixture {
 protected:
  static constexpr uint32_t SERVICE = contract::mqtt_service::HANDLER;
  static constexpr uint32_t BROKERS = contract::brokers::HANDLER;
  static constexpr uint32_t SUBSCRIPTIONS = contract::subscriptions::HANDLER;
  static constexpr uint32_t RECEIVED = contract::received::HANDLER;
  static constexpr uint32_t STATUS = contract::broker_status::HANDLER;

  void SetUp() override {
    TableFixture::SetUp();
    setConsoleSink([this](const std::string& lines) { console_ << lines; });
    ASSERT_TRUE(loop_->addHandler(BROKERS, &brokerTable));
    ASSERT_TRUE(loop_->addHandler(SUBSCRIPTIONS, &subscriptionTables.subscriptions));
    ASSERT_TRUE(loop_->addHandler(RECEIVED, &subscriptionTables.received));
    service_ = std::make_unique<MqttService>(*loop_, brokerTable, subscriptionTables);
    brokerTable.onRemove = [this](BrokerEntry& row) { clients().brokerRemoving(row); };
    brokerTable.onRemoved = [this](BrokerEntry& row) { clients().brokerRemoved(row); };
    service_->init();
    service_->registerPolicies();
    ASSERT_TRUE(loop_->addHandler(SERVICE, service_.get()));
    status_ = std::make_unique<BrokerStatusView>(*loop_, brokerTable, clients());
    ASSERT_TRUE(loop_->addHandler(STATUS, status_.get()));
    ASSERT_TRUE(loop_->addHandler(14, &resolver_));
    ASSERT_TRUE(loop_->addHandler(12, &ssl_));
    ASSERT_TRUE(loop_->addHandler(48, &scripts_));
  }
  // The tables are static objects: leave them empty and saved, and let
  // destroyed clients close their sockets, before the loop goes.
  void TearDown() override {
    clients().clear();
    advance(2);
    brokerTable.onRemove = nullptr;
    brokerTable.onRemoved = nullptr;
    for (AMap* table : std::initializer_list<AMap*>{&subscriptionTables.received,
                                                     &subscriptionTables.subscriptions,
                                                     &brokerTable}) {
      while (table->size() > 0) table->remove(table->begin());
      EXPECT_TRUE(table->flush().isOk());
    }
    status_.reset();
    service_.reset();
    setConsoleSink(nullptr);
    TableFixture::TearDown();
  }

  void turns(int n = 4) {
    for (int i = 0; i < n; ++i) loop_->turn();
  }
  // Moves virtual time on by `seconds`, one tick at a time, turning the
  // loop at each tick as a real loop would.
  void advance(double seconds) {
    advanceTicks(static_cast<kv::Ticks>(seconds * clock_.ticksPerSecond() + 0.5));
  }
  void advanceTicks(kv::Ticks ticks) {
    for (kv::Ticks i = 0; i < ticks; ++i) {
      clock_.advance(1);
      loop_->turn();
    }
    turns();
  }
  // The delays automatic connection draws from the loop's random source,
  // in the order the clients draw them: the same back-off on a source with
  // the same seed. reset() and nextDelayTicks() as the client's.
  struct ExpectedBackoff {
    kv::Random random{RANDOM_SEED};
    ReconnectBackoff backoff;
    kv::Ticks next() { return backoff.nextDelayTicks(random, ticksPerSecond); }
  };

  // Sends command `number` to the service; the outcome fills in when the
  // reply comes.
  OutcomePtr command(uint32_t number, kv::message fields = kv::message()) {
    fields.set(kv::PATH_FIELD, std::vector<uint32_t>{SERVICE});
    fields.set(kv::COMMAND_FIELD, number);
    auto outcome = std::make_shared<Outcome>();
    loop_->postMessage(fields, [outcome](const kv::message& reply) {
      outcome->done = true;
      outcome->reply = reply;
    }, 100000);
    turns();
    return outcome;
  }
  OutcomePtr connectCmd(uint32_t broker) {
    return command(svc::CONNECT_COMMAND, fieldsWith(svc::BROKER_FIELD, broker));
  }
  OutcomePtr disconnectCmd(uint32_t broker) {
    return command(svc::DISCONNECT_COMMAND, fieldsWith(svc::BROKER_FIELD, broker));
  }
  OutcomePtr publishCmd(uint32_t broker, const std::string& topic, const std::string& data,
                        uint32_t qos, kv::message extra = kv::message()) {
    extra.set(svc::BROKER_FIELD, broker);
    extra.set(svc::TOPIC_FIELD, topic);
    extra.set(svc::DATA_FIELD, data);
    extra.set(svc::QOS_FIELD, qos);
    return command(svc::PUBLISH_COMMAND, extra);
  }
  OutcomePtr subscribeCmd(uint32_t broker, const std::string& filter, uint32_t qos = 0,
                          kv::message extra = kv::message()) {
    extra.set(svc::SUBSCRIPTION_BROKER_FIELD, broker);
    extra.set(svc::SUBSCRIBE_FILTER_FIELD, filter);
    extra.set(svc::SUBSCRIBE_QOS_FIELD, qos);
    return command(svc::SUBSCRIBE_COMMAND, extra);
  }
  // The extra field of a publish that disconnects after it.
  static kv::message disconnectAfter() { return fieldsWith(svc::DISCONNECT_AFTER_FIELD, true); }
  template <class Id, class V>
  static kv::message fieldsWith(Id id, V value) {
    kv::message m;
    m.set(id, value);
    return m;
  }

  // A broker row named `name` at the scripted broker; `extra` overrides.
  uint32_t addBroker(const std::string& name = "b", kv::message extra = kv::message()) {
    if (!extra.has(kv::NAME_FIELD)) extra.set(kv::NAME_FIELD, name);
    if (!extra.has(brokerRow::ADDRESS_FIELD)) extra.set(brokerRow::ADDRESS_FIELD, "127.0.0.1");
    if (!extra.has(brokerRow::PORT_FIELD)) extra.set(brokerRow::PORT_FIELD, uint32_t{broker_.port()});
    return addedId(addRow(BROKERS, extra));
  }
  uint32_t addSubscription(uint32_t broker, const std::string& filter, const std::string& script = "",
                           uint32_t qos = 0) {
    kv::message m;
    m.set(contract::subscriptions::BROKER_FIELD, broker);
    m.set(contract::subscriptions::FILTER_FIELD, filter);
    m.set(contract::subscriptions::QOS_FIELD, qos);
    if (!script.empty()) m.set(contract::subscriptions::SCRIPT_FIELD, script);
    return addedId(addRow(SUBSCRIPTIONS, m));
  }
  BrokerEntry& row(uint32_t broker) { return *brokerTable.findRow(broker); }
  BrokerClients& clients() { return service_->clients(); }
  BrokerClient* client(uint32_t broker) { return clients().client(broker); }

  // Connects `broker` by command through the scripted broker's (`via`'s)
  // handshake; returns the CONNECT the client sent, in hex.
  std::string connectBroker(uint32_t broker, ScriptedBroker* via = nullptr) {
    OutcomePtr done = connectCmd(broker);
    std::string connect = (via ? *via : broker_).handshake();
    turns();
    EXPECT_TRUE(done->ok()) << done->failure();
    return connect;
  }

  std::string console() const {
    flushConsole();
    return console_.str();
  }
  bool logged(const std::string& text) const { return timesLogged(text) > 0; }
  size_t timesLogged(const std::string& text) const {
    const std::string all = console();
    size_t count = 0;
    for (size_t at = all.find(text); at != std::string::npos; at = all.find(text, at + 1)) ++count;
    return count;
  }
  void clearConsole() {
    flushConsole();
    console_.str("");
  }

  ScriptedBroker broker_{[this] { loop_->turn(); }};
  FakeService resolver_, scripts_;
  FakeSsl ssl_;
  std::unique_ptr<MqttService> service_;
  std::unique_ptr<BrokerStatusView> status_;

 private:
  std::stringstream console_;
};
