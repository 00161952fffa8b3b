// Helpers for black-box tests: a temporary root directory, the real daemon
// and the platform process as child processes, the console client, and a
// system-log listener.
//
// Waits are bounded by generous guards (they only keep a broken test from
// hanging); no test asserts how long anything takes.
#pragma once

#include <sys/types.h>

#include <string>
#include <utility>
#include <vector>

namespace harness {

// A fresh directory under /tmp, removed with everything in it.
class TempRoot {
 public:
  TempRoot();
  ~TempRoot();
  TempRoot(const TempRoot&) = delete;
  TempRoot& operator=(const TempRoot&) = delete;
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

// A program of ours running under a root directory, its console lines
// collected: the daemon (Daemon) or the platform process (Platformd).
class Process {
 public:
  Process(const std::string& root, std::string binary, std::string readyLine)
      : root_(root), binary_(std::move(binary)), readyLine_(std::move(readyLine)) {}
  ~Process();
  Process(const Process&) = delete;
  Process& operator=(const Process&) = delete;

  // Starts it and waits for its ready line; false if it exits first.
  bool start();
  // SIGTERM, then waits for the exit; returns the exit status (-1: killed
  // by a signal). A process that had already exited gives its status.
  // Reads the rest of the console output.
  int stop();
  // Waits until a console line contains `text`; false if the process
  // exits or the guard expires first.
  bool waitForLine(const std::string& text, int guardMs = 30000);
  // Every console line (standard output) seen so far, without newlines.
  const std::vector<std::string>& lines();
  // Everything the process wrote to standard error so far.
  const std::string& errors();
  pid_t pid() const { return pid_; }

 private:
  void readAvailable(int waitMs);
  std::string root_;
  std::string binary_;
  std::string readyLine_;
  pid_t pid_ = -1;
  int status_ = -1;  // exit status once reaped
  int outFd_ = -1;
  int errFd_ = -1;
  std::string partial_;
  std::string errors_;
  std::vector<std::string> lines_;
};

// The daemon (MQTTD_BIN); ready at "mqtt: started".
class Daemon : public Process {
 public:
  explicit Daemon(const std::string& root) : Process(root, MQTTD_BIN, "mqtt: started") {}
};

// The platform process (PLATFORMD_BIN), as scripts/run.sh starts it beside
// the daemon; ready at "platformd: started", which it reaches whether or
// not the daemon's bus is there yet.
class Platformd : public Process {
 public:
  explicit Platformd(const std::string& root)
      : Process(root, PLATFORMD_BIN, "platformd: started") {}
};

struct CtlResult {
  int status;  // exit status, -1 when killed by a signal
  std::string out;
  std::string err;
};

// Runs the console client (MQTTCTL_BIN) with KV_ROOT=root.
CtlResult runCtl(const std::string& root, const std::vector<std::string>& args);

// The system log's datagram socket at <root>/ram/logsocket.
class LogListener {
 public:
  explicit LogListener(const std::string& root);
  ~LogListener();
  LogListener(const LogListener&) = delete;
  LogListener& operator=(const LogListener&) = delete;
  // Waits for the next datagram ("" when the guard expires first).
  std::string next(int guardMs = 30000);

 private:
  std::string path_;
  int fd_ = -1;
};

}  // namespace harness
