// The accounts file: the scrypt hash, the file's syntax and bounds, its mode.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <filesystem>

#include "platform/files.h"
#include "web/users.h"

namespace mqttweb {
namespace {

const KdfParams FAST{1024, 8, 1};  // the smallest cost a file may hold: quick tests

User user(const std::string& name, const std::string& password, Role role = Role::Admin) {
  User u;
  u.name = name;
  u.role = role;
  EXPECT_TRUE(setPassword(u, password, FAST).isOk());
  return u;
}

TEST(UsersTest, HashesRoundTripThroughTheFile) {
  std::vector<User> users{user("admin", "correct horse"), user("viewer", "correct horse", Role::ReadOnly)};
  std::vector<User> read;
  ASSERT_TRUE(parseUsers(formatUsers(users), read).isOk());
  ASSERT_EQ(2u, read.size());
  EXPECT_EQ(Role::ReadOnly, read[1].role);
  EXPECT_TRUE(passwordMatches(read[0], "correct horse"));
  EXPECT_FALSE(passwordMatches(read[0], "correct horsE"));
  EXPECT_FALSE(passwordMatches(read[0], ""));
  EXPECT_NE(read[0].salt, read[1].salt);  // the same password, two hashes
  EXPECT_NE(read[0].hash, read[1].hash);
}

TEST(UsersTest, PasswordsAndParametersOutOfBoundsAreRefused) {
  User u;
  EXPECT_FALSE(setPassword(u, "short", FAST).isOk());
  EXPECT_FALSE(setPassword(u, std::string(MAX_PASSWORD_BYTES + 1, 'x'), FAST).isOk());
  EXPECT_FALSE(setPassword(u, "long enough", KdfParams{1000, 8, 1}).isOk());  // not a power of two
  EXPECT_TRUE(setPassword(u, std::string(MIN_PASSWORD_BYTES, 'x'), FAST).isOk());
}

TEST(UsersTest, EveryMalformedLineIsRefusedWithItsNumber) {
  const std::string salt(32, 'a'), hash(64, 'b');
  const std::string good = "scrypt:1024:8:1:" + salt + ":" + hash;
  const struct {
    std::string line;
    const char* why;
  } cases[] = {
      {"admin admin", "expected NAME ROLE HASH"},
      {"admin admin " + good + " extra", "expected NAME ROLE HASH"},
      {"ad/min admin " + good, "not an account name"},
      {std::string(33, 'a') + " admin " + good, "not an account name"},
      {"admin root " + good, "neither admin nor read-only"},
      {"admin admin pbkdf2:1024:8:1:" + salt + ":" + hash, "scrypt"},
      {"admin admin scrypt:1000:8:1:" + salt + ":" + hash, "scrypt"},        // not a power of two
      {"admin admin scrypt:2097152:8:1:" + salt + ":" + hash, "scrypt"},     // N too large
      {"admin admin scrypt:1048576:32:1:" + salt + ":" + hash, "scrypt"},    // 4 GiB of memory
      {"admin admin scrypt:1024:0:1:" + salt + ":" + hash, "scrypt"},
      {"admin admin scrypt:1024:8:17:" + salt + ":" + hash, "scrypt"},
      {"admin admin scrypt:1024:8:1:" + salt + ":" + hash + "00", "scrypt"},  // hash length
      {"admin admin scrypt:1024:8:1:aabb:" + hash, "scrypt"},                 // short salt
      {"admin admin scrypt:1024:8:1:" + salt + ":" + std::string(64, 'B'), "scrypt"},
      {"admin admin scrypt:1024:8:1:" + salt, "scrypt"},
      {"admin admin " + good + "\nadmin read-only " + good, "second account"},
  };
  for (const auto& c : cases) {
    std::vector<User> users;
    kv::Status st = parseUsers("# accounts\n" + c.line + "\n", users);
    EXPECT_FALSE(st.isOk()) << c.line;
    EXPECT_NE(std::string::npos, st.message().find(c.why)) << st.message();
    EXPECT_NE(std::string::npos, st.message().find("line ")) << st.message();
    EXPECT_TRUE(users.empty());
  }
  std::string many;
  for (size_t i = 0; i <= MAX_USERS; ++i) many += "u" + std::to_string(i) + " admin " + good + "\n";
  std::vector<User> users;
  EXPECT_FALSE(parseUsers(many, users).isOk());
}

class UsersFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/mqttweb-users-XXXXXX";
    dir_ = mkdtemp(tmpl);
    path_ = dir_ + "/store/users";
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }
  std::string dir_, path_;
};

TEST_F(UsersFileTest, IsWrittenForItsOwnerAloneAndReadBack) {
  std::vector<User> users;
  EXPECT_EQ(kv::Status::Kind::NotFound, loadUsers(path_, users).kind());
  ASSERT_TRUE(saveUsers(path_, {user("admin", "s3cret-pass")}).isOk());
  struct stat info;
  ASSERT_EQ(0, stat(path_.c_str(), &info));
  EXPECT_EQ(0600u, info.st_mode & 0777);
  ASSERT_TRUE(loadUsers(path_, users).isOk());
  ASSERT_NE(nullptr, findUser(users, "admin"));
  EXPECT_TRUE(passwordMatches(*findUser(users, "admin"), "s3cret-pass"));
}

TEST_F(UsersFileTest, AFileOthersMayReadOrAnOversizedOneIsRefused) {
  ASSERT_TRUE(saveUsers(path_, {user("admin", "s3cret-pass")}).isOk());
  chmod(path_.c_str(), 0640);
  std::vector<User> users;
  kv::Status st = loadUsers(path_, users);
  EXPECT_NE(std::string::npos, st.message().find("chmod 600")) << st.message();
  ASSERT_TRUE(kv::writeFileAtomically(path_, std::string(MAX_USERS_FILE_BYTES + 1, '#'), 0600).isOk());
  EXPECT_EQ(kv::Status::Kind::TooLarge, loadUsers(path_, users).kind());
  EXPECT_TRUE(users.empty());
}

}  // namespace
}  // namespace mqttweb
