// Helpers for black-box tests: a temporary root directory, the real daemon
// as a child process, the console client, and a system-log listener.
//
// Waits are bounded by generous guards (they only keep a broken test from
// hanging); no test asserts how long anything takes.
#pragma once

#include <signal.h>
#include <sys/types.h>

#include <string>
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

// A program running under a root directory (KV_ROOT), its standard output
// read line by line and its standard error kept. Both go to files, so the
// program never waits for the test to read them.
class Process {
 public:
  explicit Process(const std::string& root) : root_(root) {}
  virtual ~Process();  // kills it if it still runs
  Process(const Process&) = delete;
  Process& operator=(const Process&) = delete;

  // Starts `argv` (argv[0] a path).
  void start(const std::vector<std::string>& argv);
  // Sends `signal`, then waits for the exit; returns the exit status (-1:
  // killed by a signal). One that had already exited gives its status.
  // Reads the rest of the output.
  int stop(int signal = SIGTERM);
  // Waits until an output line contains `text`; false if the program
  // exits or the guard expires first.
  bool waitForLine(const std::string& text, int guardMs = 30000);
  // Every output line seen so far, without newlines.
  const std::vector<std::string>& lines();
  // Everything written to standard error so far.
  const std::string& errors();
  pid_t pid() const { return pid_; }

 private:
  void readAvailable(int waitMs);
  bool seen(const std::string& text, size_t& checked) const;
  std::string root_;
  pid_t pid_ = -1;
  int status_ = -1;  // exit status once reaped
  int outFd_ = -1;  // files the program writes to (see outputFile)
  int errFd_ = -1;
  off_t outRead_ = 0;  // how far the test has read them
  off_t errRead_ = 0;
  std::string partial_;
  std::string errors_;
  std::vector<std::string> lines_;
};

// The daemon (MQTTD_BIN) under a root directory.
class Daemon : public Process {
 public:
  using Process::Process;
  // Starts it and waits for "mqtt: started"; false if it exits first.
  bool start();
};

struct CtlResult {
  int status;  // exit status, -1 when killed by a signal
  std::string out;
  std::string err;
};

// How runCtl runs the console client.
struct CtlRun {
  std::string input;  // its standard input, whole
  int uid = -1;       // >= 0: run as this user (keeping group 0), needs root
};

// Runs the console client (MQTTCTL_BIN) with KV_ROOT=root.
CtlResult runCtl(const std::string& root, const std::vector<std::string>& args,
                 const CtlRun& how = CtlRun());

// A raw connection to the bus at <root>/ram/kvbus; -1 when it fails.
int connectToBus(const std::string& root);

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
