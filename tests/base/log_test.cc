// The log routines: console prefixes, the system-log streams, and the
// once-a-second test for the log socket, in virtual time.
#include <gtest/gtest.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "base/log.h"
#include "base/service_globals.h"
#include "platform/looper.h"

namespace {

// A temporary root directory with, on request, a system log listening at
// its "/ram/logsocket".
class LogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/mqtt-log-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    root = tmpl;
    setenv("KV_ROOT", root.c_str(), 1);
    mkdir((root + "/ram").c_str(), 0755);
  }
  void TearDown() override {
    errorLogStream.reset();
    warningLogStream.reset();
    infoLogStream.reset();
    if (fd >= 0) close(fd);
    unlink((root + "/ram/logsocket").c_str());
    rmdir((root + "/ram").c_str());
    rmdir(root.c_str());
    unsetenv("KV_ROOT");
  }
  void listen() {
    fd = socket(AF_UNIX, SOCK_DGRAM, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    snprintf(addr.sun_path, sizeof addr.sun_path, "%s/ram/logsocket", root.c_str());
    ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  }
  // The next datagram, or "" when none is waiting.
  std::string received() {
    char buf[8192];
    ssize_t n = recv(fd, buf, sizeof buf, MSG_DONTWAIT);
    return n > 0 ? std::string(buf, static_cast<size_t>(n)) : std::string();
  }

  std::string root;
  int fd = -1;
};

TEST_F(LogTest, WithoutTheSocketLinesReachTheConsoleOnlyAndTheTestRepeatsEverySecond) {
  kv::ManualClock clock(ticksPerSecond);
  kv::LooperOptions options;
  options.clock = &clock;
  kv::Looper loop(options);

  initSystemLog();
  EXPECT_FALSE(infoLogStream);
  for (int second = 1; second <= 2; ++second) {  // tested again, still missing, re-armed
    clock.advance(ticksPerSecond);
    loop.turn();
    EXPECT_FALSE(infoLogStream);
    EXPECT_EQ(loop.runner().timerCount(), 1u);
  }
  listen();
  testing::internal::CaptureStdout();
  logInfo("before the test notices");
  flushConsole();
  testing::internal::GetCapturedStdout();
  EXPECT_EQ(received(), "");
  clock.advance(ticksPerSecond - 1);
  loop.turn();
  EXPECT_FALSE(infoLogStream);  // not tested again yet
  clock.advance(1);
  loop.turn();
  ASSERT_TRUE(infoLogStream && warningLogStream && errorLogStream);
  EXPECT_EQ(loop.runner().timerCount(), 0u);  // found: no more tests

  // Texts of any length and with NULs go whole to both.
  const std::string nul("a\0b", 3), longText(1000, 'x');
  testing::internal::CaptureStdout();
  logInfo(nul);
  logWarning(strprintf("topic '%s' (%d/%d)", longText.c_str(), 2, 2));
  logError("ssl failure [bad]");
  logBrokerWarning("b1", "peer disconnected");
  loop.turn();
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "mqtt: " + nul + "\nmqtt: *** topic '" + longText + "' (2/2)\n"
            "mqtt: *** ssl failure [bad]\nmqtt: *** b1: peer disconnected\n");
  EXPECT_EQ(received(), "<5>78 " + nul);
  EXPECT_EQ(received(), "<2>78 topic '" + longText + "' (2/2)");
  EXPECT_EQ(received(), "<3>78 ssl failure [bad]");
  EXPECT_EQ(received(), "<2>78 b1: peer disconnected");
  EXPECT_EQ(received(), "");
}

// Standard output as a packet socket: every write(2) to it is one record,
// so the records show how the console lines were written.
class ConsoleWrites {
 public:
  ConsoleWrites() {
    fflush(stdout);
    saved_ = dup(STDOUT_FILENO);
    socketpair(AF_UNIX, SOCK_SEQPACKET, 0, ends_);
    dup2(ends_[0], STDOUT_FILENO);
  }
  ~ConsoleWrites() {
    dup2(saved_, STDOUT_FILENO);
    for (int fd : {saved_, ends_[0], ends_[1]}) close(fd);
  }
  // The records written since the last call, oldest first.
  std::vector<std::string> taken() {
    std::vector<std::string> records;
    static char buf[1 << 18];
    for (ssize_t n; (n = recv(ends_[1], buf, sizeof buf, MSG_DONTWAIT)) > 0;) {
      records.emplace_back(buf, static_cast<size_t>(n));
    }
    return records;
  }

 private:
  int saved_ = -1;
  int ends_[2] = {-1, -1};
};

using Writes = std::vector<std::string>;

TEST_F(LogTest, TheLinesOfALoopTurnAreWrittenTogetherBeforeTheLoopWaitsAgain) {
  ConsoleWrites console;
  {
    kv::ManualClock clock(ticksPerSecond);
    kv::LooperOptions options;
    options.clock = &clock;
    kv::Looper loop(options);
    loop.runner().addTimer(1, [] {
      logInfo("one");
      logWarning("two");
      logBrokerInfo("b", "three");
    });
    loop.runner().addTimer(2, [] { logError("four"); });
    loop.turn(-1, true);  // runs the first timer, then writes its lines
    EXPECT_EQ(console.taken(), Writes{"mqtt: one\nmqtt: *** two\nmqtt: b: three\n"});
    loop.turn(-1, true);  // the second timer
    EXPECT_EQ(console.taken(), Writes{"mqtt: *** four\n"});

    const std::string line(1000, 'x');  // a turn that logs a lot holds at most 64 KiB
    for (int i = 0; i < 70; ++i) logInfo(line);
    const Writes early = console.taken();
    ASSERT_EQ(early.size(), 1u);
    EXPECT_GE(early[0].size(), 64u * 1024);
    logInfo("last of the turn");
  }  // the loop goes: what it holds is written
  const Writes last = console.taken();
  ASSERT_EQ(last.size(), 1u);
  EXPECT_EQ(last[0].substr(last[0].size() - 23), "mqtt: last of the turn\n");
  logInfo("without a loop");  // written at once
  EXPECT_EQ(console.taken(), Writes{"mqtt: without a loop\n"});
}

}  // namespace
