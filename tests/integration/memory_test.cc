// The real daemon under frames crafted to cost it the most memory a frame
// can: its peak resident memory grows by no more than the bound in
// docs/bus.md, and it keeps serving.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <string>

#include "harness.h"
#include "platform/message_codec.h"
#include "support/hostile_messages.h"

namespace {

using harness::Daemon;
using harness::TempRoot;

// Peak resident memory of a process, in bytes.
size_t peakResident(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(status, line);) {
    if (line.rfind("VmHWM:", 0) == 0) return std::stoul(line.substr(6)) * 1024;
  }
  ADD_FAILURE() << "no VmHWM for " << pid;
  return 0;
}

// Sends `frame` on a new bus connection; the first `n` bytes of the answer
// (fewer when the daemon closes the connection).
std::string sendFrame(const std::string& root, const std::string& frame, size_t n) {
  const int fd = harness::connectToBus(root);
  EXPECT_GE(fd, 0);
  harness::sendAll(fd, frame);
  const std::string answer = harness::receive(fd, n);
  close(fd);
  return answer;
}

TEST(DaemonMemory, TheCostliestFramesStayWithinTheBoundAndTheDaemonKeepsServing) {
#if defined(__SANITIZE_ADDRESS__)
  // Red zones, quarantine and shadow memory would be measured too; the
  // plain native build measures the daemon itself.
  GTEST_SKIP() << "resident memory is the sanitizer's here";
#endif
  constexpr size_t MiB = 1024 * 1024, MAX_FRAME = 4 * MiB;  // the bus's frame limit
  TempRoot root;
  Daemon daemon(root.path());
  ASSERT_TRUE(daemon.start()) << daemon.errors();
  const size_t before = peakResident(daemon.pid());

  // Counts at every level that claim far more than follows: closed as
  // malformed, nothing answered.
  EXPECT_EQ("", sendFrame(root.path(),
                          hostile::requestFrame(1, hostile::claimingMessage(17, MAX_FRAME - 64)), 1));
  // Well formed, each about as large as a frame may be, and answered (no
  // path: the bus's own handler refuses the command) as request 7.
  for (hostile::Element e : {hostile::Element::BoolField, hostile::Element::EmptyString}) {
    const std::string frame = hostile::requestFrame(7, hostile::worstMessage(e, 1, MAX_FRAME - 64));
    const std::string head = sendFrame(root.path(), frame, 9);
    EXPECT_EQ(std::string("\2\0\0\0\7", 5), head.substr(std::min<size_t>(4, head.size())))
        << hostile::elementName(e);
  }
  // The frame's decoded form, plus its input buffer (up to twice the frame
  // while it grows), plus room for the allocator's own rounding.
  const size_t bound = kv::DECODED_BYTES_PER_BYTE * MAX_FRAME + 2 * MAX_FRAME + 4 * MiB;
  const size_t grown = peakResident(daemon.pid()) - before;
  EXPECT_LE(grown, bound) << "peak resident memory grew by " << grown / MiB << " MiB";
  EXPECT_EQ(0, harness::runCtl(root.path(), {"count", "2"}).status);
  EXPECT_EQ(0, daemon.stop());
}

}  // namespace
