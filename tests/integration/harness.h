// Helpers for black-box tests: a temporary root directory, the real daemon
// and the platform process as child processes, the console client, raw
// sockets to the bus, a system-log listener, and a fixture with a running
// daemon.
//
// Waits are bounded by generous guards (they only keep a broken test from
// hanging); no test asserts how long anything takes.
#pragma once

#include <errno.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "support/mosquitto.h"

namespace harness {

inline bool contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

// A fresh directory under /tmp, removed with everything in it.
class TempRoot {
 public:
  TempRoot() {
    char tmpl[] = "/tmp/mqttd-root-XXXXXX";
    if (!mkdtemp(tmpl)) throw std::runtime_error("mkdtemp");
    path_ = tmpl;
  }
  ~TempRoot() {
    std::error_code ignored;  // a directory left behind is not worth failing a test
    std::filesystem::remove_all(path_, ignored);
  }
  TempRoot(const TempRoot&) = delete;
  TempRoot& operator=(const TempRoot&) = delete;
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

// How the tests start the daemon: the program, and the words before it (an
// emulator, for a daemon built for another processor). From the
// environment, so that the same tests can run a cross-built daemon:
//
//   MQTTD_TEST_DAEMON    the daemon's path (default: this build's mqttd)
//   MQTTD_TEST_LAUNCHER  words put before it, split at spaces, e.g.
//                        "qemu-ppc -L /usr/powerpc-linux-gnu" (default: none)
//
// The console client and the platform process are always this build's.
struct Launch {
  std::vector<std::string> launcher;
  std::string program;
};

inline Launch daemonLaunch() {
  Launch launch{{}, MQTTD_BIN};
  const char* program = getenv("MQTTD_TEST_DAEMON");
  if (program && *program) launch.program = program;
  const char* launcher = getenv("MQTTD_TEST_LAUNCHER");
  std::istringstream words(launcher ? launcher : "");
  for (std::string word; words >> word;) launch.launcher.push_back(word);
  return launch;
}

// The daemon (or, with another launch, the platform process) under a root
// directory (KV_ROOT), its output in files of that directory. It can be
// started again after a stop.
class Daemon : public testsupport::Program {
 public:
  explicit Daemon(std::string root, Launch launch = daemonLaunch(),
                  std::string started = "mqtt: started")
      : root_(std::move(root)), launch_(std::move(launch)), started_(std::move(started)) {}
  // Starts it and waits for its "started" line; false if it exits first.
  bool start() {
    std::vector<std::string> argv = outer_;
    argv.insert(argv.end(), {"env", "KV_ROOT=" + root_});
    argv.insert(argv.end(), launch_.launcher.begin(), launch_.launcher.end());
    argv.push_back(launch_.program);
    Program::start(argv, root_);
    return waitForLine(started_);
  }
  // Runs it (and the launch's own launcher) through `launcher` from the
  // next start on, e.g. in a network namespace
  // (testsupport::FaultNet::launcher). The launcher must exec the program,
  // so that pid() stays the program's.
  void setLauncher(std::vector<std::string> launcher) { outer_ = std::move(launcher); }

 private:
  std::string root_;
  Launch launch_;
  std::string started_;
  std::vector<std::string> outer_;
};

// The platform process, started the way scripts/run.sh starts it beside
// the daemon; it reaches "started" whether or not the daemon's bus is there.
class Platformd : public Daemon {
 public:
  explicit Platformd(std::string root)
      : Daemon(std::move(root), Launch{{}, PLATFORMD_BIN}, "platformd: started") {}
};

struct CtlResult {
  int status;  // exit status, -1 when killed by a signal
  std::string out, err;
};

// How runCtl runs the console client.
struct CtlRun {
  std::string input;  // its standard input, whole
  int uid = -1;       // >= 0: run as this user (keeping group 0), needs root
};

// Runs the console client (MQTTCTL_BIN) with KV_ROOT=root to its end.
inline CtlResult runCtl(const std::string& root, const std::vector<std::string>& args,
                        const CtlRun& how = CtlRun()) {
  std::vector<std::string> argv{"env", "KV_ROOT=" + root};
  if (how.uid >= 0) {
    argv.insert(argv.end(), {"setpriv", "--reuid=" + std::to_string(how.uid), "--regid=0",
                             "--clear-groups"});
  }
  argv.push_back(MQTTCTL_BIN);
  argv.insert(argv.end(), args.begin(), args.end());
  const std::string input = how.input.empty() ? "" : root + "/mqttctl.in";
  if (!input.empty()) testsupport::writeFile(input, how.input);
  testsupport::Program console;
  console.start(argv, root, "", input);
  const int status = console.wait();
  return {status, console.output(), console.errors()};
}

inline sockaddr_un unixAddress(const std::string& path) {
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  snprintf(addr.sun_path, sizeof addr.sun_path, "%s", path.c_str());
  return addr;
}

// A raw connection to the bus at <root>/ram/kvbus; -1 when it fails.
inline int connectToBus(const std::string& root) {
  const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  const sockaddr_un addr = unixAddress(root + "/ram/kvbus");
  if (fd >= 0 && connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) == 0) return fd;
  if (fd >= 0) close(fd);
  return -1;
}

// Writes all of `bytes` to the socket `fd`, blocking or not; false when the
// peer closes it or it stays full past the guard.
inline bool sendAll(int fd, const std::string& bytes) {
  for (size_t done = 0; done < bytes.size();) {
    pollfd p{fd, POLLOUT, 0};
    if (poll(&p, 1, 30000) <= 0) return false;
    const ssize_t n = send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n <= 0 && errno != EAGAIN) return false;
    if (n > 0) done += static_cast<size_t>(n);
  }
  return true;
}

// Reads `n` bytes from the socket `fd`; fewer when the peer closes it or
// nothing arrives within the guard.
inline std::string receive(int fd, size_t n, int guardMs = 30000) {
  std::string got;
  char buf[65536];
  for (pollfd p{fd, POLLIN, 0}; got.size() < n && poll(&p, 1, guardMs) > 0;) {
    const ssize_t r = recv(fd, buf, std::min(sizeof buf, n - got.size()), MSG_DONTWAIT);
    if (r == 0 || (r < 0 && errno != EAGAIN)) break;
    if (r > 0) got.append(buf, static_cast<size_t>(r));
  }
  return got;
}

using testsupport::descriptorCount;
using testsupport::settledDescriptors;

// The system log's datagram socket at <root>/ram/logsocket.
class LogListener {
 public:
  explicit LogListener(const std::string& root) : path_(root + "/ram/logsocket") {
    mkdir((root + "/ram").c_str(), 0755);
    const sockaddr_un addr = unixAddress(path_);
    if (bind(fd_, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0) {
      throw std::runtime_error(std::string("bind log socket: ") + strerror(errno));
    }
  }
  ~LogListener() {
    close(fd_);
    unlink(path_.c_str());
  }
  LogListener(const LogListener&) = delete;
  LogListener& operator=(const LogListener&) = delete;
  // Waits for the next datagram ("" when the guard expires first).
  std::string next(int guardMs = 30000) {
    pollfd pfd{fd_, POLLIN, 0};
    char buf[8192];
    const ssize_t n = poll(&pfd, 1, guardMs) > 0 ? recv(fd_, buf, sizeof buf, 0) : 0;
    return std::string(buf, n > 0 ? static_cast<size_t>(n) : 0);
  }
  // Reads datagrams until one contains `part`; that one, or "".
  std::string nextWith(const std::string& part) {
    for (std::string datagram = next(); !datagram.empty(); datagram = next()) {
      if (contains(datagram, part)) return datagram;
    }
    return "";
  }

 private:
  std::string path_;
  int fd_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
};

// A running daemon under a fresh root, and the console client to drive it.
class DaemonTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(daemon_.start()) << daemon_.errors(); }
  void TearDown() override { EXPECT_EQ(0, daemon_.stop()); }
  void restart() {
    ASSERT_EQ(0, daemon_.stop());
    ASSERT_TRUE(daemon_.start()) << daemon_.errors();
  }

  CtlResult ctl(const std::vector<std::string>& args, const CtlRun& how = CtlRun()) {
    return runCtl(root_.path(), args, how);
  }
  // Runs a command line that must succeed; its standard output.
  std::string ok(const std::vector<std::string>& args, const CtlRun& how = CtlRun()) {
    const CtlResult r = ctl(args, how);
    EXPECT_EQ(0, r.status) << testing::PrintToString(args) << ": " << r.err;
    return r.out;
  }
  // Runs a command line that must fail with `status`, exactly `err` on
  // standard error and nothing on standard output.
  void fails(const std::vector<std::string>& args, int status, const std::string& err) {
    const CtlResult r = ctl(args);
    EXPECT_EQ(status, r.status) << testing::PrintToString(args);
    EXPECT_EQ(err, r.err) << testing::PrintToString(args);
    EXPECT_EQ("", r.out) << testing::PrintToString(args);
  }
  // A command the daemon refuses with the failure `text`.
  void refused(const std::vector<std::string>& args, const std::string& text) {
    fails(args, 1, "mqttctl: failed: " + text + "\n");
  }
  // Runs a bus-level "add" that must succeed; the new row's object id.
  std::string add(const std::vector<std::string>& args) {
    const std::string out = ok(args);  // "u32 0xfe0011 (object-id) = N\n"
    const size_t at = out.rfind(' ') + 1;
    return out.substr(at, out.size() - at - 1);
  }

  TempRoot root_;
  Daemon daemon_{root_.path()};
};

}  // namespace harness
