// The platform process beside the real daemon, as scripts/run.sh starts
// them: the device identity reaches the daemon's "default client Id" line
// whichever of the two starts first, a set identity does after a restart,
// and the console reaches the platform's services through the daemon's bus.
#include <gtest/gtest.h>

#include <string>

#include "harness.h"
#include "platform/root.h"
#include "platformd/files.h"
#include "platformd/identity.h"

namespace {

using harness::CtlResult;
using harness::Daemon;
using harness::Platformd;
using harness::TempRoot;
using harness::runCtl;

const char* MACHINE_ID = "00112233445566778899aabbccddeeff\n";

void writeMachineId(const TempRoot& root) {
  ASSERT_TRUE(platformd::writeFileAtomically(root.path() + platformd::MACHINE_ID_FILE,
                                             MACHINE_ID, 0644).isOk());
}

TEST(Platform, TheIdentityReachesTheDaemonWhicheverStartsFirst) {
  const std::string expected =
      "mqtt: default client Id [QX" + platformd::identityFromMachineId(MACHINE_ID) + "]";
  for (bool platformFirst : {true, false}) {
    TempRoot root;
    writeMachineId(root);
    Platformd platform(root.path());
    Daemon daemon(root.path());
    if (platformFirst) {
      ASSERT_TRUE(platform.start()) << platform.errors();
    }
    ASSERT_TRUE(daemon.start()) << daemon.errors();
    if (!platformFirst) {
      ASSERT_TRUE(platform.start()) << platform.errors();
    }
    EXPECT_TRUE(daemon.waitForLine(expected)) << "platform first: " << platformFirst;

    CtlResult resolved = runCtl(root.path(), {"send", "14", "3", "string:3=localhost"});
    EXPECT_EQ(resolved.status, 0) << resolved.err;
    EXPECT_EQ(resolved.out, "be32 4 = 127.0.0.1\n");
    EXPECT_EQ(daemon.stop(), 0);
    EXPECT_EQ(platform.stop(), 0);
  }
}

TEST(Platform, ASetIdentityReachesTheDaemonAfterARestart) {
  TempRoot root;
  writeMachineId(root);
  Platformd platform(root.path());
  ASSERT_TRUE(platform.start()) << platform.errors();
  {
    Daemon daemon(root.path());
    ASSERT_TRUE(daemon.start()) << daemon.errors();
    CtlResult set = runCtl(root.path(), {"set", "24.17", "string:13=router7"});
    EXPECT_EQ(set.status, 0) << set.err;
    EXPECT_EQ(daemon.stop(), 0);
  }
  Daemon again(root.path());
  ASSERT_TRUE(again.start()) << again.errors();
  EXPECT_TRUE(again.waitForLine("mqtt: default client Id [QXrouter7]"));
  EXPECT_EQ(again.stop(), 0);
}

}  // namespace
