// The real daemon under frames crafted to cost it the most memory a frame
// can: its peak resident memory grows by no more than the bound in
// docs/bus.md, and it keeps serving.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <string>

#include "harness.h"
#include "platform/message_codec.h"
#include "support/hostile_messages.h"

namespace {

using harness::Daemon;
using harness::TempRoot;

constexpr size_t MiB = 1024 * 1024;
constexpr size_t MAX_FRAME = 4 * MiB;  // the bus's frame limit (docs/bus.md)

// Peak resident memory of a process, in bytes.
size_t peakResident(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmHWM:", 0) == 0) return std::stoul(line.substr(6)) * 1024;
  }
  ADD_FAILURE() << "no VmHWM for " << pid;
  return 0;
}

int connectBus(const std::string& root) {
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  snprintf(addr.sun_path, sizeof addr.sun_path, "%s/ram/kvbus", root.c_str());
  EXPECT_EQ(0, connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr));
  return fd;
}

bool sendAll(int fd, const std::string& bytes) {
  for (size_t done = 0; done < bytes.size();) {
    ssize_t n = send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

// Reads `n` bytes (the guard only keeps a broken daemon from hanging the
// test); fewer when the daemon closes the connection.
std::string receive(int fd, size_t n) {
  std::string got;
  char buf[4096];
  while (got.size() < n) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, 30000) <= 0) break;
    ssize_t r = read(fd, buf, std::min(sizeof buf, n - got.size()));
    if (r <= 0) break;
    got.append(buf, static_cast<size_t>(r));
  }
  return got;
}

TEST(DaemonMemory, TheCostliestFramesStayWithinTheBoundAndTheDaemonKeepsServing) {
#if defined(__SANITIZE_ADDRESS__)
  // Red zones, quarantine and shadow memory would be measured too; the
  // plain native build measures the daemon itself.
  GTEST_SKIP() << "resident memory is the sanitizer's here";
#endif
  TempRoot root;
  Daemon daemon(root.path());
  ASSERT_TRUE(daemon.start()) << daemon.errors();
  const size_t before = peakResident(daemon.pid());

  // Refused: counts at every level that claim far more than follows.
  int claiming = connectBus(root.path());
  sendAll(claiming, hostile::requestFrame(1, hostile::claimingMessage(17, MAX_FRAME - 64)));
  EXPECT_EQ("", receive(claiming, 1));  // closed as malformed
  close(claiming);

  // Well formed, each about as large as a frame may be, and answered (no
  // path: the bus's own handler refuses the command).
  for (hostile::Element e : {hostile::Element::BoolField, hostile::Element::EmptyString}) {
    int fd = connectBus(root.path());
    ASSERT_TRUE(sendAll(fd, hostile::requestFrame(7, hostile::worstMessage(e, 1, MAX_FRAME - 64))));
    const std::string head = receive(fd, 9);
    ASSERT_EQ(9u, head.size()) << hostile::elementName(e);
    EXPECT_EQ(std::string("\2\0\0\0\7", 5), head.substr(4)) << "a reply to request 7";
    close(fd);
  }

  // The frame's decoded form, plus its input buffer (up to twice the frame
  // while it grows), plus room for the allocator's own rounding.
  const size_t bound = kv::DECODED_BYTES_PER_BYTE * MAX_FRAME + 2 * MAX_FRAME + 4 * MiB;
  const size_t grown = peakResident(daemon.pid()) - before;
  EXPECT_LE(grown, bound) << "peak resident memory grew by " << grown / MiB << " MiB";

  harness::CtlResult count = harness::runCtl(root.path(), {"count", "2"});
  EXPECT_EQ(0, count.status) << count.err;
  EXPECT_EQ(0, daemon.stop());
}

}  // namespace
