// The daemon as the broker benchmark drives it: a child process under a
// temporary root directory, its console output in a file there, and a bus
// peer in the benchmark's process that sends it commands.
#pragma once

#include <stdint.h>
#include <sys/types.h>

#include <memory>
#include <string>
#include <vector>

#include "platform/looper.h"
#include "support/mosquitto.h"

// The message text of message number i.
using PayloadFn = std::string (*)(uint32_t i);

// Processor time a process has used so far, in seconds: fields utime and
// stime of /proc/PID/stat (clock ticks of 10 ms, so read it across long
// runs). The daemon and the command-line clients are read this same way.
struct Cpu {
  double user = 0, system = 0;
  double total() const { return user + system; }
};
Cpu processCpu(pid_t pid);

// Whether `program` has exited; if so, reads its processor time while it is
// an unreaped child (its /proc entry still holds the totals), then reaps
// it. Never blocks.
bool exitedReadingCpu(testsupport::Program& program, Cpu& used);
// Waits for `program` to exit, reading its processor time the same way;
// false when it is still running after the guard (it is then killed).
bool waitReadingCpu(testsupport::Program& program, int guardMs, Cpu& used);

class BenchDaemon {
 public:
  // `wrapper` runs the daemon (valgrind and its options), or is empty;
  // "{root}" in its arguments stands for the daemon's root directory.
  BenchDaemon(std::string mqttd, std::vector<std::string> wrapper);
  // Stops the daemon (SIGTERM) and removes the root directory.
  ~BenchDaemon();
  BenchDaemon(const BenchDaemon&) = delete;
  BenchDaemon& operator=(const BenchDaemon&) = delete;

  // Starts the daemon and connects the bus peer to it. False, with a line
  // on stderr, when it does not come up.
  bool launch();
  // launch(), then adds a broker row for 127.0.0.1:`port`, connects it and
  // subscribes `filter` at QoS 0. False, with a line on stderr, when any
  // step fails.
  bool start(uint16_t port, const std::string& filter);
  // Sends `request` as `command` and turns the peer's loop until the reply
  // (a minute at most); the reply.
  kv::message exchange(kv::message request, uint32_t command);
  pid_t pid() const { return pid_; }
  const std::string& root() const { return root_; }

  // PUBLISH packets the daemon has logged receiving (console lines read
  // from its output file). Every one adds a received row, so in a fresh
  // daemon this is also the object id of the newest row.
  uint64_t publishesReceived();
  // Waits until the received table holds the row with `id`.
  bool waitForReceivedRow(uint64_t id);

  // Sends `count` publish commands of `payload(i)` to `topic` at `qos`,
  // keeping at most `window` unanswered; true when every one succeeded.
  bool publishMany(const std::string& topic, uint32_t qos, uint32_t count, uint32_t window,
                   PayloadFn payload);

  // Private_Clean + Private_Dirty + Private_Hugetlb of /proc/PID/smaps_rollup.
  long privateResidentKiB() const;
  // Processor time the daemon has used so far.
  Cpu cpu() const { return processCpu(pid_); }
  // Read and write system calls it has made so far (/proc/PID/io: syscr
  // and syscw; reads include recv, writes include send and sendmmsg).
  struct Syscalls {
    double reads = 0, writes = 0;
  };
  Syscalls syscalls() const;

 private:
  bool connectPeer();

  std::string mqttd_;
  std::vector<std::string> wrapper_;
  std::string root_;
  pid_t pid_ = -1;
  std::unique_ptr<kv::Looper> peer_;
  uint32_t brokerId_ = 0;
  // Reading the console output: the open file, and its unfinished last line.
  int outputFd_ = -1;
  std::string partialLine_;
  uint64_t publishes_ = 0;
};
