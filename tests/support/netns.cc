#include "support/netns.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sched.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <thread>

#include "support/mosquitto.h"

namespace testsupport {
namespace {

constexpr const char* NAME_PREFIX = "mqttd-faults-";
// The link's ends, inside the namespaces: the daemon's and the brokers'.
constexpr const char* DAEMON_END = "to-brokers";
constexpr const char* BROKER_END = "to-daemon";
constexpr const char* SUBNET = "10.231.0.0/24";
constexpr unsigned SLOW_LINK_KBIT = 64;

// A guard for commands that must not take long (ip, tc).
constexpr int COMMAND_GUARD_MS = 20000;

std::string temporaryFile() {
  char tmpl[] = "/tmp/mqttd-faults-out-XXXXXX";
  const int fd = mkstemp(tmpl);
  if (fd < 0) return "";
  close(fd);
  return tmpl;
}

// Namespaces named by a process of these tests that is gone.
void removeLeftovers() {
  DIR* dir = opendir("/run/netns");
  if (!dir) return;
  std::vector<std::string> stale;
  while (const dirent* entry = readdir(dir)) {
    const std::string name = entry->d_name;
    if (name.compare(0, strlen(NAME_PREFIX), NAME_PREFIX) != 0) continue;
    const long pid = strtol(name.c_str() + strlen(NAME_PREFIX), nullptr, 10);
    if (pid > 0 && kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH) stale.push_back(name);
  }
  closedir(dir);
  for (const std::string& name : stale) runCommand({"ip", "netns", "del", name});
}

sockaddr_in inetAddress(const std::string& address, uint16_t port) {
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(port);
  inet_pton(AF_INET, address.c_str(), &addr.sin_addr);
  return addr;
}

// Makes a TCP socket in namespace `ns` ("" : this one) and hands it to
// `use`, which keeps it (true) or not (false: it is closed).
int tcpSocketIn(const std::string& ns, const std::function<bool(int)>& use) {
  int result = -1;
  const auto make = [&] {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return;
    if (use(fd)) {
      result = fd;
    } else {
      close(fd);
    }
  };
  if (ns.empty()) {
    make();
  } else if (!inNamespace(ns, make)) {
    return -1;
  }
  return result;
}

}  // namespace

int runCommand(const std::vector<std::string>& argv, std::string* output) {
  const std::string out = output ? temporaryFile() : "", err = output ? temporaryFile() : "";
  const int status = waitProcess(startProcess(argv, "", out, err), COMMAND_GUARD_MS);
  if (output) {
    *output = readFile(out) + readFile(err);
    unlink(out.c_str());
    unlink(err.c_str());
  }
  return status;
}

bool inNamespace(const std::string& ns, const std::function<void()>& fn) {
  bool joined = false;
  std::thread worker([&] {
    const int fd = open(("/run/netns/" + ns).c_str(), O_RDONLY | O_CLOEXEC);
    joined = fd >= 0 && setns(fd, CLONE_NEWNET) == 0;
    if (fd >= 0) close(fd);
    if (joined) fn();
  });
  worker.join();
  return joined;
}

int connectTcpIn(const std::string& ns, const std::string& address, uint16_t port) {
  const sockaddr_in addr = inetAddress(address, port);
  return tcpSocketIn(ns, [&](int fd) {
    return connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) == 0;
  });
}

int listenTcpIn(const std::string& ns, const std::string& address, uint16_t port) {
  const sockaddr_in addr = inetAddress(address, port);
  return tcpSocketIn(ns, [&](int fd) {
    const int on = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    return bind(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) == 0 &&
           listen(fd, 16) == 0;
  });
}

// ---- FaultNet -------------------------------------------------------------------

FaultNet::FaultNet() {
  if (geteuid() != 0) {
    error_ = "not root";
    return;
  }
  removeLeftovers();
  static int serial = 0;
  const std::string base = NAME_PREFIX + std::to_string(getpid()) + "-" + std::to_string(++serial);
  daemonNs_ = base + "-d";
  brokerNs_ = base + "-b";
  const bool made =
      ip("", {"netns", "add", daemonNs_}) && ip("", {"netns", "add", brokerNs_}) &&
      ip(daemonNs_, {"link", "add", DAEMON_END, "type", "veth", "peer", "name", BROKER_END,
                     "netns", brokerNs_}) &&
      ip(daemonNs_, {"addr", "add", std::string(DAEMON_ADDRESS) + "/24", "dev", DAEMON_END}) &&
      ip(brokerNs_, {"addr", "add", std::string(BROKER_ADDRESS) + "/24", "dev", BROKER_END}) &&
      ip(daemonNs_, {"link", "set", "lo", "up"}) && ip(brokerNs_, {"link", "set", "lo", "up"}) &&
      ip(daemonNs_, {"link", "set", DAEMON_END, "up"}) &&
      ip(brokerNs_, {"link", "set", BROKER_END, "up"});
  if (!made && error_.empty()) error_ = "the namespaces could not be made";
}

FaultNet::~FaultNet() {
  for (const std::string& ns : {daemonNs_, brokerNs_}) {
    if (!ns.empty()) runCommand({"ip", "netns", "del", ns});
  }
}

std::vector<std::string> FaultNet::launcher(const std::string& ns) {
  return {"ip", "netns", "exec", ns};
}

// Runs "ip [-n ns] args..."; false, with the first failure in error_, when
// it fails.
bool FaultNet::ip(const std::string& ns, const std::vector<std::string>& args) {
  std::vector<std::string> argv{"ip"};
  if (!ns.empty()) argv.insert(argv.end(), {"-n", ns});
  argv.insert(argv.end(), args.begin(), args.end());
  std::string output;
  if (runCommand(argv, &output) == 0) return true;
  if (error_.empty()) {
    error_ = "ip";
    for (size_t i = 1; i < argv.size(); ++i) error_ += " " + argv[i];
    error_ += ": " + output;
  }
  return false;
}

bool FaultNet::setLinkDown(bool down) {
  // Bringing the end up again brings back its route as well.
  return ip(brokerNs_, {"link", "set", BROKER_END, down ? "down" : "up"});
}

bool FaultNet::setRouteGone(bool gone) {
  if (gone) return ip(daemonNs_, {"route", "flush", SUBNET, "dev", DAEMON_END});
  return ip(daemonNs_, {"route", "replace", SUBNET, "dev", DAEMON_END, "proto", "kernel",
                        "scope", "link", "src", DAEMON_ADDRESS});
}

bool FaultNet::setRateLimit(unsigned kbitPerSecond) {
  bool ok = true;
  for (const auto& end : {std::make_pair(daemonNs_, DAEMON_END), std::make_pair(brokerNs_, BROKER_END)}) {
    std::vector<std::string> argv = launcher(end.first);
    if (kbitPerSecond == 0) {
      // Fails when there is no limit, which is what was asked for.
      argv.insert(argv.end(), {"tc", "qdisc", "del", "dev", end.second, "root"});
      runCommand(argv);
      continue;
    }
    argv.insert(argv.end(), {"tc", "qdisc", "replace", "dev", end.second, "root", "tbf", "rate",
                             std::to_string(kbitPerSecond) + "kbit", "burst", "16kb", "latency",
                             "400ms"});
    ok = runCommand(argv) == 0 && ok;
  }
  return ok;
}

// ---- FaultSwitch ----------------------------------------------------------------

const char* faultName(Fault f) {
  static const char* const names[] = {"LinkDown",       "RouteGone",      "BrokerFrozen",
                                      "BrokerRestarted", "SilentListener", "SlowLink"};
  return names[static_cast<int>(f)];
}

bool FaultSwitch::start(Fault f) {
  if (on_ && !end()) return false;
  on_ = true;
  fault_ = f;
  switch (f) {
    case Fault::LinkDown: return net_.setLinkDown(true);
    case Fault::RouteGone: return net_.setRouteGone(true);
    case Fault::BrokerFrozen: return broker_.signal(SIGSTOP);
    case Fault::BrokerRestarted: return broker_.signal(SIGKILL);
    case Fault::SilentListener:
      broker_.stop();
      listener_ = listenTcpIn(broker_.netns(), broker_.address(), broker_.port());
      return listener_ >= 0;
    case Fault::SlowLink: return net_.setRateLimit(SLOW_LINK_KBIT);
  }
  return false;
}

bool FaultSwitch::end() {
  if (!on_) return true;
  on_ = false;
  switch (fault_) {
    case Fault::LinkDown: return net_.setLinkDown(false);
    case Fault::RouteGone: return net_.setRouteGone(false);
    case Fault::BrokerFrozen: return broker_.signal(SIGCONT);
    case Fault::BrokerRestarted:
      broker_.stop();  // reaps the killed one
      return broker_.start();
    case Fault::SilentListener:
      close(listener_);  // resets the connections it held
      listener_ = -1;
      return broker_.start();
    case Fault::SlowLink: return net_.setRateLimit(0);
  }
  return false;
}

}  // namespace testsupport
