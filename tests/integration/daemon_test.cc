// The real daemon under a temporary root: start-up, the bus, the system log
// and a clean stop on SIGTERM.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "harness.h"

namespace {

using harness::CtlResult;
using harness::Daemon;
using harness::LogListener;
using harness::TempRoot;
using harness::runCtl;

TEST(Daemon, StartsServesAndStopsCleanly) {
  TempRoot root;
  LogListener syslog(root.path());  // present from the start
  Daemon daemon(root.path());
  ASSERT_TRUE(daemon.start()) << daemon.errors();

  CtlResult count = runCtl(root.path(), {"--json", "count", "2"});
  EXPECT_EQ(count.status, 0) << count.err;
  EXPECT_NE(count.out.find("\"value\":0"), std::string::npos) << count.out;
  for (const char* table : {"3", "4"}) {
    EXPECT_EQ(runCtl(root.path(), {"count", table}).status, 0) << table;
  }
  CtlResult nowhere = runCtl(root.path(), {"send", "99", "1"});
  EXPECT_EQ(nowhere.status, 1);
  EXPECT_NE(nowhere.err.find("no handler at this path"), std::string::npos) << nowhere.err;

  EXPECT_EQ(daemon.stop(), 0);
  const auto& lines = daemon.lines();
  ASSERT_GE(lines.size(), 2u);
  EXPECT_EQ(lines.front(), "mqtt: started");
  EXPECT_EQ(lines.back(), "mqtt: stopped");
  EXPECT_NE(std::find(lines.begin(), lines.end(), "mqtt: default client Id [QX]"), lines.end());

  // "started" is written before the system log is set up; what follows
  // reaches it, without the console prefix.
  EXPECT_EQ(syslog.next(), "<5>78 default client Id [QX]");
  EXPECT_EQ(syslog.next(), "<5>78 stopped");
}

TEST(Daemon, PicksUpTheSystemLogOnceItsSocketExists) {
  TempRoot root;
  Daemon daemon(root.path());
  ASSERT_TRUE(daemon.start()) << daemon.errors();
  CtlResult added = runCtl(root.path(), {"add", "2", "string:name=b1", "string:1=192.0.2.1"});
  ASSERT_EQ(added.status, 0) << added.err;

  LogListener syslog(root.path());
  // The daemon tests for the socket once a second; warnings logged before it
  // notices reach the console only. Add and remove a broker until a line
  // arrives (the guard only keeps a broken daemon from hanging the test).
  std::string datagram;
  for (int attempt = 0; attempt < 20 && datagram.empty(); ++attempt) {
    CtlResult listed = runCtl(root.path(), {"--json", "list", "2"});
    ASSERT_EQ(listed.status, 0) << listed.err;
    const std::string idField = "\"num\":16646161,\"value\":";  // the row's object id
    size_t at = listed.out.find(idField);
    ASSERT_NE(at, std::string::npos) << listed.out;
    at += idField.size();
    std::string id = listed.out.substr(at, listed.out.find('}', at) - at);
    ASSERT_EQ(runCtl(root.path(), {"remove", "2", id}).status, 0);
    ASSERT_EQ(runCtl(root.path(), {"add", "2", "string:name=b1", "string:1=192.0.2.1"}).status, 0);
    datagram = syslog.next(1000);
  }
  EXPECT_EQ(datagram, "<2>78 removing broker b1");
  EXPECT_TRUE(daemon.waitForLine("mqtt: *** removing broker b1"));
  EXPECT_EQ(daemon.stop(), 0);
}

TEST(Daemon, ASecondDaemonOnTheSameRootRefusesToStart) {
  TempRoot root;
  Daemon first(root.path());
  ASSERT_TRUE(first.start()) << first.errors();
  Daemon second(root.path());
  EXPECT_FALSE(second.start());
  EXPECT_NE(second.errors().find("another process serves the bus"), std::string::npos)
      << second.errors();
  EXPECT_EQ(second.stop(), 1);  // it exited by itself
  // The first one still serves.
  EXPECT_EQ(runCtl(root.path(), {"count", "2"}).status, 0);
  EXPECT_EQ(first.stop(), 0);
}

}  // namespace
