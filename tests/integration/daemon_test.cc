// The real daemon under a temporary root: start-up, the bus, the system log,
// a clean stop on SIGTERM, and the platform process beside it (the device
// identity, name resolution).
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <string>
#include <vector>

#include "harness.h"
#include "platformd/identity.h"

namespace {

using harness::Daemon;
using harness::LogListener;
using harness::Platformd;
using harness::TempRoot;
using harness::runCtl;

TEST(Daemon, StartsServesAndStopsCleanlyAndASecondOneRefusesTheRoot) {
  TempRoot root;
  LogListener syslog(root.path());  // present from the start
  Daemon daemon(root.path());
  ASSERT_TRUE(daemon.start()) << daemon.errors();

  harness::CtlResult count = runCtl(root.path(), {"--json", "count", "2"});
  EXPECT_EQ(0, count.status) << count.err;
  EXPECT_TRUE(harness::contains(count.out, "\"value\":0")) << count.out;
  for (const char* table : {"3", "4"}) EXPECT_EQ(0, runCtl(root.path(), {"count", table}).status);
  harness::CtlResult nowhere = runCtl(root.path(), {"send", "99", "1"});
  EXPECT_EQ(1, nowhere.status);
  EXPECT_TRUE(harness::contains(nowhere.err, "no handler at this path")) << nowhere.err;

  Daemon second(root.path());
  EXPECT_FALSE(second.start());
  EXPECT_TRUE(harness::contains(second.errors(), "another process serves the bus"));
  EXPECT_EQ(1, second.stop());  // it exited by itself

  EXPECT_EQ(0, daemon.stop());
  const auto lines = daemon.lines();
  ASSERT_GE(lines.size(), 2u);
  EXPECT_EQ("mqtt: started", lines.front());
  EXPECT_EQ("mqtt: stopped", lines.back());
  EXPECT_NE(std::find(lines.begin(), lines.end(), "mqtt: default client Id [QX]"), lines.end());
  // "started" is written before the system log is set up; what follows
  // reaches it, without the console prefix.
  EXPECT_EQ("<5>78 default client Id [QX]", syslog.next());
  EXPECT_EQ("<5>78 stopped", syslog.next());
}

TEST(Daemon, PicksUpTheSystemLogOnceItsSocketExists) {
  TempRoot root;
  Daemon daemon(root.path());
  ASSERT_TRUE(daemon.start()) << daemon.errors();
  LogListener syslog(root.path());
  // The daemon tests for the socket once a second; warnings logged before
  // it notices reach the console only. Add and remove a broker until a
  // line arrives (the guard only keeps a broken daemon from hanging).
  std::string datagram;
  for (int attempt = 0; attempt < 20 && datagram.empty(); ++attempt) {
    ASSERT_EQ(0, runCtl(root.path(), {"broker", "add", "b1", "address=192.0.2.1"}).status);
    ASSERT_EQ(0, runCtl(root.path(), {"broker", "remove", "b1"}).status);
    datagram = syslog.next(1000);
  }
  EXPECT_EQ("<2>78 removing broker b1", datagram);
  EXPECT_TRUE(daemon.waitForLine("mqtt: *** removing broker b1"));
  EXPECT_EQ(0, daemon.stop());
}

// The identity derived from the machine id, or set from the console, reaches
// the daemon's "default client Id" line whichever of the two starts first;
// the console reaches the platform's name resolution through the bus.
TEST(Platform, TheDeviceIdentityAndNameResolutionReachTheDaemon) {
  for (bool platformFirst : {true, false}) {
    SCOPED_TRACE(platformFirst ? "platform first" : "daemon first");
    TempRoot root;
    const std::string machineId = "00112233445566778899aabbccddeeff\n";
    ASSERT_EQ(0, mkdir((root.path() + "/etc").c_str(), 0755));
    ASSERT_TRUE(testsupport::writeFile(root.path() + platformd::MACHINE_ID_FILE, machineId));
    Platformd platform(root.path());
    Daemon daemon(root.path());
    for (Daemon* process : platformFirst ? std::vector<Daemon*>{&platform, &daemon}
                                         : std::vector<Daemon*>{&daemon, &platform}) {
      ASSERT_TRUE(process->start()) << process->errors();
    }
    EXPECT_TRUE(daemon.waitForLine("mqtt: default client Id [QX" +
                                   platformd::identityFromMachineId(machineId) + "]"));

    harness::CtlResult resolved = runCtl(root.path(), {"send", "14", "3", "string:3=localhost"});
    EXPECT_EQ(0, resolved.status) << resolved.err;
    EXPECT_EQ("be32 4 = 127.0.0.1\n", resolved.out);
    if (!platformFirst) {
      EXPECT_EQ(0, runCtl(root.path(), {"set", "24.17", "string:13=router7"}).status);
      EXPECT_EQ(0, daemon.stop());
      ASSERT_TRUE(daemon.start()) << daemon.errors();
      EXPECT_TRUE(daemon.waitForLine("mqtt: default client Id [QXrouter7]"));
    }
    EXPECT_EQ(0, daemon.stop());
    EXPECT_EQ(0, platform.stop());
  }
}

}  // namespace
