// Network faults made for real: two private network namespaces (the
// daemon's, the brokers') joined by a veth pair, and the faults a test
// starts and ends on the link between them. Programs run inside a
// namespace through launcher(); the test's own sockets get there through
// inNamespace().
//
// Needs root. Nothing here touches the machine's own namespace, links or
// routes: both ends of the link and their addresses exist only inside the
// private namespaces, named with "faults" and this process's id (ones left
// by a process that died are removed by the next FaultNet). Nothing here
// asserts: failures are return values.
#pragma once

#include <stdint.h>

#include <functional>
#include <string>
#include <vector>

namespace testsupport {

// The one line a fault test prints when it cannot run here.
constexpr const char* NO_NAMESPACES = "skipped: needs root and network namespaces";
// Private memory the daemon may keep above its level once faults are over:
// the allocator and the stack keep pages a fault made it touch (up to
// about 640 KiB seen). A queue or buffer kept after a fault is far more.
constexpr long MEMORY_ALLOWANCE_KIB = 1024;

// Runs `argv` to its end with no input and its output (standard output and
// error) in `output` when given; its exit status, -1 when it could not be
// run or was killed.
int runCommand(const std::vector<std::string>& argv, std::string* output = nullptr);

// Runs `fn` on a thread that has joined network namespace `ns` and waits
// for it; false when the namespace cannot be joined. A socket made in `fn`
// belongs to that namespace for good, whichever thread uses it later.
bool inNamespace(const std::string& ns, const std::function<void()>& fn);

// A blocking TCP connection from namespace `ns` to address:port; -1 on
// failure.
int connectTcpIn(const std::string& ns, const std::string& address, uint16_t port);
// A TCP listener in namespace `ns` at address:port. The kernel completes
// the handshake of every connection (up to the backlog) whether or not
// anyone accepts, so a listener nobody serves is a broker that accepts TCP
// and never answers. -1 on failure.
int listenTcpIn(const std::string& ns, const std::string& address, uint16_t port);

class Mosquitto;

class FaultNet {
 public:
  // Inside the namespaces only; the daemon's end and the brokers' end.
  static constexpr const char* DAEMON_ADDRESS = "10.231.0.1";
  static constexpr const char* BROKER_ADDRESS = "10.231.0.2";

  // Creates both namespaces and the link, up, with a route each way.
  // ready() tells whether that worked; error() says why not.
  FaultNet();
  // Deletes both namespaces, and the link with them.
  ~FaultNet();
  FaultNet(const FaultNet&) = delete;
  FaultNet& operator=(const FaultNet&) = delete;

  bool ready() const { return error_.empty(); }
  const std::string& error() const { return error_; }
  const std::string& daemonNs() const { return daemonNs_; }
  const std::string& brokerNs() const { return brokerNs_; }
  // "ip netns exec NS": put in front of a program's arguments to run it in
  // namespace `ns` (the program keeps the process id it starts with).
  static std::vector<std::string> launcher(const std::string& ns);

  // The faults; each returns true when its commands worked. Ending a fault
  // that is not on is harmless.
  //
  // The brokers' end of the link goes down: packets vanish without a
  // reset, as with a cut cable; the daemon's end keeps address and route.
  bool setLinkDown(bool down);
  // The daemon's route to the brokers is removed: a connect fails at once
  // with "Network is unreachable"; connections that were up lose their
  // packets.
  bool setRouteGone(bool gone);
  // A token-bucket rate limit of `kbitPerSecond` on both ends (so in both
  // directions); 0 removes it.
  bool setRateLimit(unsigned kbitPerSecond);

 private:
  bool ip(const std::string& ns, const std::vector<std::string>& args);

  std::string daemonNs_, brokerNs_;
  std::string error_;
};

// The faults a test or the soak starts and ends, by name.
enum class Fault {
  LinkDown,         // the brokers' end of the link is down
  RouteGone,        // the daemon's route to the brokers is gone
  BrokerFrozen,     // the broker is stopped (SIGSTOP) and thawed at the end
  BrokerRestarted,  // the broker is killed (SIGKILL) and started again at the end
  SilentListener,   // the broker is stopped and a listener that never
                    // answers takes its address; the broker comes back at the end
  SlowLink,         // 64 kbit/s each way
};
const char* faultName(Fault f);

// Starts and ends one fault at a time on a FaultNet and one of its
// brokers. Destroying it ends a fault that is on.
class FaultSwitch {
 public:
  FaultSwitch(FaultNet& net, Mosquitto& broker) : net_(net), broker_(broker) {}
  ~FaultSwitch() { end(); }
  FaultSwitch(const FaultSwitch&) = delete;
  FaultSwitch& operator=(const FaultSwitch&) = delete;

  // Starts `f` (ending the one that is on first); false when a step failed.
  bool start(Fault f);
  // Ends the fault that is on, if any; false when a step failed.
  bool end();
  bool on() const { return on_; }

 private:
  FaultNet& net_;
  Mosquitto& broker_;
  bool on_ = false;
  Fault fault_ = Fault::LinkDown;
  int listener_ = -1;
};

}  // namespace testsupport
