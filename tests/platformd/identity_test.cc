// The device identity: derived from the machine id, set and reset from the
// console, persisted under the root directory.
#include <gtest/gtest.h>

#include <memory>

#include "platform/files.h"
#include "platformd/identity.h"
#include "loop_fixture.h"

namespace platformd {
namespace {

const char* MACHINE_A = "0123456789abcdef0123456789abcdef\n";

TEST(IdentityDerivation, AHashOfAWellFormedMachineIdOnly) {
  const std::string a = identityFromMachineId(MACHINE_A);
  EXPECT_EQ(a.size(), 16u);
  EXPECT_TRUE(isValidIdentity(a));
  EXPECT_EQ(identityFromMachineId("  0123456789abcdef0123456789abcdef  "), a);
  EXPECT_NE(identityFromMachineId("fedcba9876543210fedcba9876543210"), a);
  EXPECT_EQ(a.find("0123456789abcdef"), std::string::npos);  // not the id itself
  for (const char* bad : {"", "0123", "0123456789abcdef0123456789abcdeg"}) {
    EXPECT_EQ(identityFromMachineId(bad), "") << bad;
  }
}

class IdentityTest : public ::testing::Test, public LoopFixture {
 protected:
  IdentityTest() {
    EXPECT_TRUE(kv::writeFileAtomically(kv::rootPath(MACHINE_ID_FILE), MACHINE_A, 0644).isOk());
  }
  void restart() {
    identity = std::make_unique<Identity>(logFn());
    loop->addHandler(contract::identity::PATH, identity.get());
  }
  kv::message ask(uint32_t command, const std::string& value = "", uint32_t rights = kv::RIGHTS_ALL) {
    kv::message m = request(contract::identity::PATH, command);
    if (!value.empty()) m.set(contract::identity::IDENTITY_FIELD, value);
    return LoopFixture::ask(m, rights);
  }
  std::unique_ptr<Identity> identity;
};

// A damaged identity file is ignored with a warning.
TEST_F(IdentityTest, ASetIdentityIsKeptUntilReset) {
  ASSERT_TRUE(kv::writeFileAtomically(kv::rootPath(IDENTITY_FILE), "not valid!\n", 0644).isOk());
  restart();
  ASSERT_EQ(logLines.size(), 1u);
  EXPECT_NE(logLines[0].find("not an identity"), std::string::npos) << logLines[0];
  const std::string derived = identityFromMachineId(MACHINE_A);
  EXPECT_EQ(ask(kv::CMD_GET_IDENTITY).get(contract::identity::IDENTITY_FIELD), derived);
  EXPECT_EQ(ask(kv::CMD_GET).get(contract::identity::ORIGIN_FIELD), "machine-id");
  EXPECT_EQ(kv::getErrorCode(ask(kv::CMD_SET, "router7", kv::RIGHT_READ)), kv::ERR_NOT_ALLOWED);
  for (const char* bad : {"", "with space", "0123456789012345678901", "ümlaut"}) {
    EXPECT_EQ(kv::getError(ask(kv::CMD_SET, bad)), "the identity must be 1 to 21 letters and digits")
        << bad;
  }
  EXPECT_FALSE(kv::isError(ask(kv::CMD_SET, "012345678901234567890")));
  EXPECT_FALSE(kv::isError(ask(kv::CMD_SET, "router7")));
  restart();  // as after a restart of the platform
  EXPECT_EQ(ask(kv::CMD_GET_IDENTITY).get(contract::identity::IDENTITY_FIELD), "router7");
  EXPECT_FALSE(kv::isError(ask(kv::CMD_RESET)));
  EXPECT_EQ(ask(kv::CMD_GET_IDENTITY).get(contract::identity::IDENTITY_FIELD), derived);
}

}  // namespace
}  // namespace platformd
