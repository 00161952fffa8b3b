// A soak under network faults: one daemon with three broker rows, in a
// network namespace of its own, and two mosquitto brokers in another
// (support/netns.h). Every few seconds a random fault starts and, a few
// seconds later, ends, while a bus peer in this process publishes at QoS
// 0, 1 and 2 (now and then a disconnect, a connect or a publish that
// disconnects after) and mosquitto_pub feeds the daemon's subscriptions.
// At the end, with the fault over and every row connected again, it prints
// what it counted, and exits 1 on a command left unanswered, a daemon
// crash, or descriptor or private-memory drift beyond the allowances
// (docs/faults.md). Run by scripts/soak.sh.
//
//   fault_soak SECONDS [SEED]
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "contracts/mqtt_service.h"
#include "contracts/mqtt_tables.h"
#include "platform/looper.h"
#include "platform/system.h"
#include "support/mosquitto.h"
#include "support/netns.h"

namespace {

using testsupport::Fault;
using testsupport::FaultNet;
using testsupport::MEMORY_ALLOWANCE_KIB;
using testsupport::Mosquitto;

// Drift allowed from the start to the end (docs/faults.md), with
// testsupport::MEMORY_ALLOWANCE_KIB.
constexpr long DESCRIPTOR_ALLOWANCE = 0;
// Reply time-out of every command: far above any bound the daemon
// documents, so that a command without a reply by then has none coming.
constexpr uint32_t REPLY_GUARD_SECONDS = 60;
// Guard for the rows to connect again once the last fault is over: above
// one automatic-connection round after a dead link is noticed.
constexpr int RECONNECT_GUARD_MS = 180000;
constexpr size_t WINDOW = 8;          // publish commands in flight at most
constexpr long long PUBLISH_EVERY_MS = 50;
constexpr long long FEED_EVERY_MS = 1000;

// The daemon's commands and tables, as every requester takes them.
namespace svc = contract::mqtt_service;
namespace brokers = contract::brokers;
namespace subscriptions = contract::subscriptions;

constexpr Fault FAULTS[] = {Fault::LinkDown,        Fault::RouteGone,      Fault::BrokerFrozen,
                            Fault::BrokerRestarted, Fault::SilentListener, Fault::SlowLink};

long long nowMs() { return testsupport::monotonicMs(); }

// What each descriptor of process `pid` is ("socket:[123]", a path).
std::vector<std::string> openDescriptors(pid_t pid) {
  std::vector<std::string> out;
  const std::string dir = "/proc/" + std::to_string(pid) + "/fd";
  std::error_code ignored;
  for (const auto& entry : std::filesystem::directory_iterator(dir, ignored)) {
    out.push_back(entry.path().filename().string() + " " +
                  std::filesystem::read_symlink(entry.path(), ignored).string());
  }
  std::sort(out.begin(), out.end());
  return out;
}

kv::message to(uint32_t handler, uint32_t command) {
  kv::message m;
  m.set(kv::PATH_FIELD, std::vector<uint32_t>{handler});
  m.set(kv::COMMAND_FIELD, command);
  return m;
}

struct Counts {
  uint64_t sent = 0, answered = 0, unanswered = 0, failures = 0;
  uint64_t crashes = 0, feeds = 0;
  std::vector<int> faults = std::vector<int>(std::size(FAULTS));
  long long slowestMs[svc::DISCONNECT_COMMAND + 1] = {};  // by command number
};

class Soak {
 public:
  Soak(unsigned seed) : random_(seed) {
    char tmpl[] = "/tmp/mqttd-soak-XXXXXX";
    if (mkdtemp(tmpl)) root_ = tmpl;
  }
  ~Soak() {
    switches_.clear();
    peer_.reset();
    daemon_.stop();
    std::error_code ignored;
    if (!root_.empty() && !keep_) std::filesystem::remove_all(root_, ignored);
  }

  // Brokers, daemon, rows, connections; false (with a line) on failure.
  bool setUp();
  // Whether network namespaces could be made here.
  bool canRun() const { return net_.ready(); }
  // Traffic for `durationMs`, with faults when `faults` is set.
  void run(long long durationMs, bool faults);
  // Ends the fault, waits for every row and every reply; the exit status.
  int finish();

 private:
  bool startDaemon();
  kv::message exchange(kv::message request);
  uint32_t addBroker(const std::string& name, uint16_t port);
  bool allConnected();
  bool settle();
  void printCounts(uint64_t reconnects) const;
  void post(kv::message request);
  void publishSome();
  void feed();
  void switchFaults(long long now);

  std::mt19937 random_;
  std::string root_;
  bool keep_ = false;
  FaultNet net_;
  std::vector<std::unique_ptr<Mosquitto>> brokers_;
  std::vector<std::unique_ptr<testsupport::FaultSwitch>> switches_;
  testsupport::Program daemon_;
  std::unique_ptr<kv::Looper> peer_;
  std::vector<uint32_t> rows_;
  std::vector<std::unique_ptr<testsupport::Program>> feeders_;
  size_t inFlight_ = 0;
  Counts counts_;
  testsupport::FaultSwitch* active_ = nullptr;
  long long faultEndsAt_ = 0, nextFaultAt_ = 0, nextPublishAt_ = 0, nextFeedAt_ = 0;
  size_t descriptorsBefore_ = 0;
  std::vector<std::string> openBefore_;
  long memoryBefore_ = 0;
};

bool Soak::setUp() {
  if (!net_.ready()) {
    printf("soak: %s (%s)\n", testsupport::NO_NAMESPACES, net_.error().c_str());
    return false;
  }
  for (uint16_t port : {1883, 1884}) {
    testsupport::MosquittoOptions options;
    options.logTypes = {"error", "warning"};
    options.netns = net_.brokerNs();
    options.address = FaultNet::BROKER_ADDRESS;
    options.port = port;
    brokers_.push_back(std::make_unique<Mosquitto>(options));
    if (!brokers_.back()->start()) {
      printf("soak: mosquitto: %s\n", brokers_.back()->startError().c_str());
      return false;
    }
    switches_.push_back(std::make_unique<testsupport::FaultSwitch>(net_, *brokers_.back()));
  }
  if (!startDaemon()) return false;
  // Two rows on the first broker, one on the second; two subscribe.
  rows_ = {addBroker("b1", 1883), addBroker("b2", 1883), addBroker("b3", 1884)};
  for (uint32_t row : {rows_[0], rows_[2]}) {
    kv::message sub = to(subscriptions::HANDLER, kv::CMD_ADD_OBJ);
    sub.set(subscriptions::BROKER_FIELD, row);
    sub.set(subscriptions::FILTER_FIELD, "feed/#");
    if (kv::isError(exchange(sub))) return false;
  }
  for (uint32_t row : rows_) {
    const kv::message reply = exchange(svc::encode(svc::ConnectOrder{row}));
    if (kv::isError(reply)) {
      printf("soak: connect: %s\n", kv::getError(reply).c_str());
      return false;
    }
  }
  // Some traffic before the level is taken, so that buffers that stay
  // (the received table, the allocator's pools) are there already.
  run(3000, false);
  if (!settle()) {
    keep_ = true;
    printf("soak: the rows did not connect; the daemon's files are kept in %s\n", root_.c_str());
    return false;
  }
  counts_ = Counts();
  descriptorsBefore_ = testsupport::settledDescriptors(daemon_.pid());
  openBefore_ = openDescriptors(daemon_.pid());
  memoryBefore_ = testsupport::privateResidentKiB(daemon_.pid());
  return true;
}

bool Soak::startDaemon() {
  std::vector<std::string> argv = FaultNet::launcher(net_.daemonNs());
  argv.insert(argv.end(), {"env", "KV_ROOT=" + root_, MQTTD_BIN});
  daemon_.start(argv, root_, root_ + "/mqttd.out");
  if (!daemon_.waitForLine("mqtt: started")) {
    printf("soak: the daemon did not start: %s\n", daemon_.errors().c_str());
    return false;
  }
  kv::LooperOptions options;
  options.mode = kv::LooperOptions::Mode::Peer;
  options.busPath = root_ + "/ram/kvbus";
  peer_ = std::make_unique<kv::Looper>(options);
  if (peer_->status().isOk()) return true;
  printf("soak: bus: %s\n", peer_->status().message().c_str());
  return false;
}

kv::message Soak::exchange(kv::message request) {
  const uint32_t command = request.get(kv::COMMAND_FIELD);
  return peer_->exchangeCmd(std::move(request), command,
                            REPLY_GUARD_SECONDS * static_cast<uint32_t>(sysconf(_SC_CLK_TCK)));
}

uint32_t Soak::addBroker(const std::string& name, uint16_t port) {
  kv::message row = to(brokers::HANDLER, kv::CMD_ADD_OBJ);
  row.set(brokers::NAME_FIELD, name);
  row.set(brokers::ADDRESS_FIELD, FaultNet::BROKER_ADDRESS);
  row.set(brokers::PORT_FIELD, uint32_t{port});
  row.set(brokers::CLIENT_ID_FIELD, "soak-" + name);
  row.set(brokers::AUTO_CONNECT_FIELD, true);
  row.set(brokers::KEEP_ALIVE_FIELD, uint32_t{brokers::MIN_KEEP_ALIVE});
  return exchange(row).get(kv::OBJECT_ID_FIELD, 0);
}

bool Soak::allConnected() {
  for (uint32_t id : rows_) {
    kv::message get = to(brokers::HANDLER, kv::CMD_GET_OBJ);
    get.set(kv::OBJECT_ID_FIELD, id);
    if (!exchange(get).get(brokers::CONNECTED_FIELD, false)) return false;
  }
  return true;
}

// Posts a command; a reply that is the platform's time-out or a lost peer
// is no answer from the daemon.
void Soak::post(kv::message request) {
  ++counts_.sent;
  ++inFlight_;
  const uint32_t command = request.get(kv::COMMAND_FIELD);
  const long long posted = nowMs();
  const int id = peer_->postMessage(std::move(request), [this, command, posted](const kv::message& reply) {
    --inFlight_;
    long long& slowest = counts_.slowestMs[command];
    slowest = std::max(slowest, nowMs() - posted);
    const uint32_t code = kv::isError(reply) ? kv::getErrorCode(reply) : 0;
    if (code == kv::ERR_TIMEOUT || code == kv::ERR_PEER_GONE) {
      ++counts_.unanswered;
      return;
    }
    ++counts_.answered;
    if (kv::isError(reply)) ++counts_.failures;
  }, REPLY_GUARD_SECONDS * static_cast<uint32_t>(sysconf(_SC_CLK_TCK)));
  if (id < 0) {
    --inFlight_;
    ++counts_.unanswered;
  }
}

// Publishes at a random QoS on a random row; one command in 50 is a
// disconnect, a connect, a publish that disconnects after, or one of
// 256 KiB (which soon fills the send buffer when the broker is frozen).
void Soak::publishSome() {
  if (inFlight_ >= WINDOW) return;
  const uint32_t row = rows_[random_() % rows_.size()];
  const unsigned pick = random_() % 50;
  if (pick == 0) return post(svc::encode(svc::DisconnectOrder{row}));
  if (pick == 1) return post(svc::encode(svc::ConnectOrder{row}));
  svc::PublishOrder order;
  order.brokerId = row;
  order.topic = "soak/" + std::to_string(counts_.sent);
  order.data.assign(pick == 3 ? 256 * 1024 : random_() % 2000, 'd');
  order.qos = static_cast<uint32_t>(random_() % 3);
  order.disconnectAfter = pick == 2;
  post(svc::encode(order));
}

// One mosquitto_pub on a random broker, to the rows' subscriptions.
void Soak::feed() {
  feeders_.erase(std::remove_if(feeders_.begin(), feeders_.end(),
                                [](const auto& p) { return p->exited(); }),
                 feeders_.end());
  if (feeders_.size() >= 4) return;  // a frozen broker holds them up
  const Mosquitto& broker = *brokers_[random_() % brokers_.size()];
  feeders_.push_back(std::make_unique<testsupport::MosquittoClient>(
      broker, "mosquitto_pub",
      std::vector<std::string>{"-t", "feed/" + std::to_string(counts_.feeds), "-m", "fed", "-q",
                               std::to_string(random_() % 3)}));
  ++counts_.feeds;
}

void Soak::switchFaults(long long now) {
  if (active_ && now >= faultEndsAt_) {
    if (!active_->end()) printf("soak: ending a fault failed: %s\n", net_.error().c_str());
    active_ = nullptr;
    nextFaultAt_ = now + 2000 + random_() % 3000;
  } else if (!active_ && now >= nextFaultAt_) {
    const size_t f = random_() % std::size(FAULTS);
    active_ = switches_[random_() % switches_.size()].get();
    if (!active_->start(FAULTS[f])) printf("soak: starting %s failed\n", testsupport::faultName(FAULTS[f]));
    ++counts_.faults[f];
    faultEndsAt_ = now + 2000 + random_() % 6000;
  }
}

void Soak::run(long long durationMs, bool faults) {
  const long long end = nowMs() + durationMs;
  for (long long now = nowMs(); now < end && counts_.crashes == 0; now = nowMs()) {
    peer_->turn(10);
    if (now >= nextPublishAt_) {
      publishSome();
      nextPublishAt_ = now + PUBLISH_EVERY_MS;
    }
    if (now >= nextFeedAt_) {
      feed();
      nextFeedAt_ = now + FEED_EVERY_MS;
    }
    if (faults) switchFaults(now);
    if (daemon_.exited()) ++counts_.crashes;
  }
}

// Waits for every reply and then for every row to be connected, and
// empties the received table (what it holds is not part of a level); false
// when the daemon is gone or the rows stay unconnected past the guard.
bool Soak::settle() {
  const long long guardEnd = nowMs() + RECONNECT_GUARD_MS;
  while (inFlight_ > 0 && counts_.crashes == 0) {
    peer_->turn(20);
    if (daemon_.exited()) ++counts_.crashes;
  }
  while (counts_.crashes == 0 && !allConnected()) {
    if (nowMs() > guardEnd) return false;
    if (daemon_.exited()) ++counts_.crashes;
    usleep(200 * 1000);
  }
  return counts_.crashes == 0 && !kv::isError(exchange(svc::encode(svc::ClearReceivedOrder{})));
}

// Prints the figures; the exit status: 1 on a crash, a command left
// unanswered, rows that did not connect again, or drift beyond the
// allowances (the daemon's files are kept then).
int Soak::finish() {
  if (active_) active_->end();
  active_ = nullptr;
  const bool reconnected = settle();
  const bool alive = counts_.crashes == 0;
  const size_t descriptors = alive ? testsupport::settledDescriptors(daemon_.pid()) : 0;
  const long descriptorDrift = static_cast<long>(descriptors) - static_cast<long>(descriptorsBefore_);
  const long memoryDrift = alive ? testsupport::privateResidentKiB(daemon_.pid()) - memoryBefore_ : 0;
  const uint64_t reconnects =
      testsupport::countOf(testsupport::readFile(root_ + "/mqttd.out"), ": connected to ") - rows_.size();
  printCounts(reconnects);
  printf("descriptors        %zu -> %zu (drift %+ld, allowed %ld)\n", descriptorsBefore_, descriptors,
         descriptorDrift, DESCRIPTOR_ALLOWANCE);
  printf("private memory     %ld -> %ld KiB (drift %+ld KiB, allowed %ld KiB)\n", memoryBefore_,
         memoryBefore_ + memoryDrift, memoryDrift, MEMORY_ALLOWANCE_KIB);
  if (alive && !reconnected) printf("soak: the rows did not all connect again after the last fault\n");
  if (alive && descriptorDrift != 0) {
    printf("descriptors before:");
    for (const std::string& fd : openBefore_) printf(" %s", fd.c_str());
    printf("\ndescriptors after: ");
    for (const std::string& fd : openDescriptors(daemon_.pid())) printf(" %s", fd.c_str());
    printf("\n");
  }
  keep_ = !alive || counts_.unanswered > 0 || !reconnected || descriptorDrift > DESCRIPTOR_ALLOWANCE ||
          memoryDrift > MEMORY_ALLOWANCE_KIB;
  if (keep_) {
    printf("soak: FAILED%s; the daemon's files are kept in %s\n", alive ? "" : ": the daemon crashed",
           root_.c_str());
  } else {
    printf("soak: passed (%llu commands, 0 unanswered, %llu reconnects, drift %+ld descriptors, %+ld KiB)\n",
           static_cast<unsigned long long>(counts_.sent), static_cast<unsigned long long>(reconnects),
           descriptorDrift, memoryDrift);
  }
  fflush(stdout);
  return keep_ ? 1 : 0;
}

void Soak::printCounts(uint64_t reconnects) const {
  const auto n = [](uint64_t v) { return static_cast<unsigned long long>(v); };
  printf("faults            ");
  for (size_t f = 0; f < std::size(FAULTS); ++f) printf(" %s %d", testsupport::faultName(FAULTS[f]), counts_.faults[f]);
  printf("\ncommands sent      %llu\n", n(counts_.sent));
  printf("answered           %llu (%llu of them failures)\n", n(counts_.answered), n(counts_.failures));
  printf("unanswered         %llu\n", n(counts_.unanswered));
  printf("slowest answers    publish %.1f s, connect %.1f s, disconnect %.1f s\n",
         counts_.slowestMs[svc::PUBLISH_COMMAND] / 1000.0, counts_.slowestMs[svc::CONNECT_COMMAND] / 1000.0,
         counts_.slowestMs[svc::DISCONNECT_COMMAND] / 1000.0);
  printf("daemon crashes     %llu\n", n(counts_.crashes));
  printf("reconnects         %llu\n", n(reconnects));
  printf("messages fed       %llu\n", n(counts_.feeds));
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2 || atoi(argv[1]) <= 0) {
    fprintf(stderr, "usage: fault_soak SECONDS [SEED]\n");
    return 2;
  }
  signal(SIGPIPE, SIG_IGN);
  const unsigned seed = argc > 2 ? static_cast<unsigned>(strtoul(argv[2], nullptr, 10))
                                 : static_cast<unsigned>(nowMs());
  printf("soak: %s s, seed %u\n", argv[1], seed);
  Soak soak(seed);
  if (!soak.setUp()) return soak.canRun() ? 1 : 0;
  soak.run(atoll(argv[1]) * 1000, true);
  return soak.finish();
}
