// kv::Looper: the event loop of a process, its handlers, and its end of the
// local bus.
//
// A loop is one of three kinds:
//   Hub        listens on the bus socket (a Unix stream socket under the
//              root directory, "/ram/kvbus"); other processes connect to it.
//              The daemon's loop is a hub.
//   Peer       connects to a hub: the console client, platform services in
//              other processes, test fakes. Every path it does not serve
//              itself is routed to the hub; the handlers it adds are also
//              registered with the hub, so requests for them come here.
//   Standalone no bus at all (unit tests of timers and handlers).
//
// Requests are routed by their destination path (PATH_FIELD): to a handler
// of this loop, or over the bus to the peer or hub that serves the path.
// Delivery, replies and error replies always happen on a later loop turn
// than the call that caused them, never inside it.
//
// The process loop: the first Looper constructed is the one that
// kv::getLooper() and kv::getRunner() return, until it is destroyed.
#pragma once

#include <climits>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "platform/clock.h"
#include "platform/handler.h"
#include "platform/random.h"
#include "platform/runner.h"
#include "platform/status.h"

namespace kv {

class Bus;

// Levels of platform log lines (syslog severities).
constexpr int LOG_LEVEL_ERROR = 3;
constexpr int LOG_LEVEL_WARNING = 4;
constexpr int LOG_LEVEL_INFO = 6;
using LogFn = std::function<void(int level, const std::string& text)>;

struct LooperOptions {
  enum class Mode { Hub, Peer, Standalone };
  Mode mode = Mode::Standalone;
  // Bus socket path; "" means rootPath(BUS_SOCKET_PATH).
  std::string busPath;
  // Not owned; null means the loop's own SystemClock.
  Clock* clock = nullptr;
  // SIGTERM and SIGINT stop run() (one loop per process may ask for this).
  bool catchSignals = false;
  // File mode of the hub's socket: owner and group may connect.
  unsigned socketMode = 0660;
  // Largest frame accepted or sent on the bus.
  size_t maxFrameBytes = 4u * 1024 * 1024;
  // Bytes that may wait for a slow peer before it is cut off.
  size_t maxPeerOutputBytes = 8u * 1024 * 1024;
  // Bytes held for all bus connections together: input not yet cut into
  // frames and output not yet written. The connection holding the most is
  // closed to make room (docs/bus.md).
  size_t maxBusBufferedBytes = 8u * 1024 * 1024;
  // Reply time-out, in seconds, of a request the hub forwards between peers.
  uint32_t forwardTimeoutSeconds = 60;
  // Hub: when every peer slot is taken, a new connection takes the slot of
  // the peer that has gone longest without sending a request, if that is at
  // least this long and the peer is idle (nothing in progress, serving no
  // path). 0: never; the new connection is refused instead.
  uint32_t idlePeerSeconds = 60;
  // Hub: for this many seconds after the hub starts, a request for a path
  // that nobody serves yet waits for a peer to serve it (0: answered
  // ERR_NO_ROUTE at once). The production loop uses 5.
  uint32_t startGraceSeconds = 0;
  // Peer: when the hub is not there at start, or goes away, try again every
  // this many seconds, serving the loop's paths again each time (0: never;
  // the loop then stays without a bus).
  uint32_t reconnectSeconds = 0;
  // Where the platform's own log lines go; null: standard error, "kv: ".
  LogFn log;
  // Seed of the loop's random source; 0: Random::processSeed(). Tests on a
  // manual clock set one so that random delays are the same on every run.
  uint64_t randomSeed = 0;
};

class Looper : public Handler {
 public:
  // The production loop. The thirteen arguments are reserved and must be
  // zero. It is a hub on rootPath(BUS_SOCKET_PATH) with a start-up grace of
  // 5 seconds, uses the system clock, and stops on SIGTERM and SIGINT.
  Looper(int, int, int, int, int, int, int, int, int, int, int, int, int);
  explicit Looper(const LooperOptions& options);
  ~Looper() override;

  // Whether the bus came up (hub: socket bound and listening; peer:
  // connected, or waiting for the hub when reconnectSeconds is set). A
  // standalone loop is always ok.
  const Status& status() const { return status_; }

  // Registers `handler` under the path [number] or `path`. Returns false if
  // the path is taken. The loop does not own handlers; a handler that is
  // destroyed first unregisters itself.
  bool addHandler(uint32_t number, Handler* handler);
  bool addHandler(const std::vector<uint32_t>& path, Handler* handler);
  void removeHandler(Handler* handler);
  Handler* findHandler(const std::vector<uint32_t>& path) const;

  // Turns the loop until stop() (or a caught signal).
  void run();
  void stop() { stopping_ = true; }
  bool stopping() const { return stopping_; }
  // One loop turn; see ThinRunner::turn.
  void turn(int maxWaitMs = 0, bool advanceIdle = false);

  // Local time of day: seconds since 1970-01-01 00:00 in the local time zone
  // (UTC plus the zone's offset), cut to 32 bits.
  uint32_t getLocaltime() const;

  ThinRunner& runner() { return runner_; }
  Clock& clock() { return *clock_; }
  // The random source of the loop; the process loop's is the process's.
  Random& random() { return random_; }
  Bus& bus() { return *bus_; }
  void log(int level, const std::string& text) const;
  const LooperOptions& options() const { return options_; }

  // The bus control commands (CMD_SERVE) arrive here: the loop itself is the
  // handler at the empty path.
  void handleCmd(message& request, uint32_t command) override;
  Looper* looper() const override { return const_cast<Looper*>(this); }

 private:
  void setUpSignals();

  LooperOptions options_;
  std::unique_ptr<Clock> ownClock_;
  Clock* clock_;
  ThinRunner runner_;
  Random random_;
  std::unique_ptr<Bus> bus_;
  Status status_;
  bool stopping_ = false;
  int signalPipe_[2] = {-1, -1};
  mutable int64_t localtimeSecond_ = INT64_MIN;  // getLocaltime's cached offset
  mutable long localtimeOffset_ = 0;
};

// The process loop, or null when there is none.
Looper* getLooper();
// The process loop's runner. Without a loop: a runner that accepts every
// call and never runs anything (so code running after the loop is gone,
// such as static destructors, can still cancel and add timers harmlessly).
ThinRunner& getRunner();

}  // namespace kv
