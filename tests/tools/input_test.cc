// A password asked for at a terminal (a pseudo-terminal here) is prompted
// for and not echoed; from a pipe it is the first line.
#include "tools/input.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <stdlib.h>
#include <unistd.h>

#include <string>
#include <thread>

namespace mqttctl {
namespace {

// What the terminal side shows, up to and with `end` (or until a guard
// passes without anything more).
std::string drainUntil(int master, const std::string& end) {
  std::string shown;
  char c;
  for (pollfd p{master, POLLIN, 0};
       shown.size() < end.size() || shown.compare(shown.size() - end.size(), end.size(), end);) {
    if (poll(&p, 1, 30000) <= 0 || read(master, &c, 1) != 1) break;
    shown += c;
  }
  return shown;
}

TEST(Input, APasswordIsTypedWithoutEchoAtATerminal) {
  const int master = posix_openpt(O_RDWR | O_NOCTTY);
  ASSERT_GE(master, 0);
  ASSERT_EQ(grantpt(master), 0);
  ASSERT_EQ(unlockpt(master), 0);
  const int terminal = open(ptsname(master), O_RDWR | O_NOCTTY);
  ASSERT_GE(terminal, 0);
  std::string password;
  std::thread reader([&] { EXPECT_TRUE(readPassword(terminal, password).isOk()); });
  std::string shown = drainUntil(master, "Password: ");  // typed once the prompt shows
  EXPECT_EQ(write(master, "s3cret\n", 7), 7);
  reader.join();
  shown += drainUntil(master, "\n");
  EXPECT_EQ(password, "s3cret");
  EXPECT_EQ(shown, "Password: \r\n");  // the prompt and the newline, not the password
  close(terminal);
  close(master);
}

TEST(Input, APasswordFromAPipeIsItsFirstLine) {
  const struct { std::string input; const char* password; const char* failure; } cases[] = {
      {"pw\nnext\n", "pw", ""},
      {"\n", "", ""},
      {"last line", "last line", ""},
      {"", "", "nothing to read"},
      {std::string(MAX_PASSWORD_BYTES + 1, 'x'), "", "too long"},
  };
  for (const auto& c : cases) {
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    ASSERT_EQ(write(fds[1], c.input.data(), c.input.size()), static_cast<ssize_t>(c.input.size()));
    close(fds[1]);
    std::string password;
    const kv::Status st = readPassword(fds[0], password);
    close(fds[0]);
    EXPECT_EQ(st.isOk(), !*c.failure) << c.input.substr(0, 20);
    if (st.isOk()) {
      EXPECT_EQ(password, c.password);
    }
    EXPECT_NE(st.message().find(c.failure), std::string::npos) << st.message();
  }
}

}  // namespace
}  // namespace mqttctl
