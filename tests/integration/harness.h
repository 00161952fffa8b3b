// Helpers for black-box tests: a temporary root directory, the real daemon
// and the platform process as child processes, the console client, raw
// connections to the bus, a system-log listener, and a fixture with a
// running daemon.
//
// Waits are bounded by generous guards (they only keep a broken test from
// hanging); no test asserts how long anything takes.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/mosquitto.h"

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

// The daemon (or, with other arguments, the platform process) under a root
// directory (KV_ROOT), its output in files of that directory. It can be
// started again after a stop.
class Daemon : public testsupport::Program {
 public:
  explicit Daemon(std::string root, std::string program = MQTTD_BIN,
                  std::string started = "mqtt: started")
      : root_(std::move(root)), program_(std::move(program)), started_(std::move(started)) {}
  // Starts it and waits for its "started" line; false if it exits first.
  bool start() {
    Program::start({"env", "KV_ROOT=" + root_, program_}, root_);
    return waitForLine(started_);
  }

 private:
  std::string root_, program_, started_;
};

// The platform process, started the way scripts/run.sh starts it beside
// the daemon; it reaches "started" whether or not the daemon's bus is there.
class Platformd : public Daemon {
 public:
  explicit Platformd(std::string root)
      : Daemon(std::move(root), PLATFORMD_BIN, "platformd: started") {}
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

// Runs the console client (MQTTCTL_BIN) with KV_ROOT=root to its end.
CtlResult runCtl(const std::string& root, const std::vector<std::string>& args,
                 const CtlRun& how = CtlRun());

// A raw connection to the bus at <root>/ram/kvbus; -1 when it fails.
int connectToBus(const std::string& root);

// Writes all of `bytes` to the socket `fd`, blocking or not; false when the
// peer closes it or it stays full past the guard.
bool sendAll(int fd, const std::string& bytes);
// Reads `n` bytes from the socket `fd`; fewer when the peer closes it or
// nothing arrives within the guard.
std::string receive(int fd, size_t n, int guardMs = 30000);

// How many descriptors process `pid` holds open.
size_t descriptorCount(pid_t pid);
// The count once it has stayed the same for a while (bus peers that just
// left, sockets closed on a later loop turn, are gone by then).
size_t settledDescriptors(pid_t pid);

// The system log's datagram socket at <root>/ram/logsocket.
class LogListener {
 public:
  explicit LogListener(const std::string& root);
  ~LogListener();
  LogListener(const LogListener&) = delete;
  LogListener& operator=(const LogListener&) = delete;
  // Waits for the next datagram ("" when the guard expires first).
  std::string next(int guardMs = 30000);
  // Reads datagrams until one contains `part`; that one, or "".
  std::string nextWith(const std::string& part);

 private:
  std::string path_;
  int fd_ = -1;
};

// A running daemon under a fresh root, and the console client to drive it.
class DaemonTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(daemon_.start()) << daemon_.errors(); }
  void TearDown() override { EXPECT_EQ(0, daemon_.stop()); }

  CtlResult ctl(const std::vector<std::string>& args, const CtlRun& how = CtlRun()) {
    return runCtl(root_.path(), args, how);
  }
  // Runs a command line that must succeed; its standard output.
  std::string ok(const std::vector<std::string>& args, const CtlRun& how = CtlRun());
  // Runs a command line that must fail with `status`, exactly `err` on
  // standard error and nothing on standard output.
  void fails(const std::vector<std::string>& args, int status, const std::string& err);
  // A command the daemon refuses with the failure `text`.
  void refused(const std::vector<std::string>& args, const std::string& text) {
    fails(args, 1, "mqttctl: failed: " + text + "\n");
  }
  // Runs a bus-level "add" that must succeed; the new row's object id.
  std::string add(const std::vector<std::string>& args);
  void restart() {
    ASSERT_EQ(0, daemon_.stop());
    ASSERT_TRUE(daemon_.start()) << daemon_.errors();
  }

  TempRoot root_;
  Daemon daemon_{root_.path()};
};

inline bool contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

}  // namespace harness
