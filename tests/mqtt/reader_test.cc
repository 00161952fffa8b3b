// readPacket over a real Unix stream socket pair whose reading end is
// non-blocking, as the broker socket is.
#include "mqtt/reader.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "hex.h"

namespace mqtt {
namespace {

// One connection holding `sent`: the reader reads one end, non-blocking; the
// other end is closed when `peerCloses`.
class Stream {
 public:
  explicit Stream(const std::string& sent, bool peerCloses = false) {
    EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds_), 0);
    EXPECT_EQ(fcntl(fds_[0], F_SETFL, O_NONBLOCK), 0);
    const Bytes bytes = hexBytes(sent);
    EXPECT_EQ(write(fds_[1], bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    if (peerCloses) close(std::exchange(fds_[1], -1));
  }
  ~Stream() {
    close(fds_[0]);
    if (fds_[1] >= 0) close(fds_[1]);
  }
  std::optional<MqttPacket> read() {
    return readPacket(fds_[0], {[this](const std::string& line) { warnings.push_back(line); },
                                [this](const std::string& line) { infos.push_back(line); }});
  }

  std::vector<std::string> warnings, infos;

 private:
  int fds_[2] = {-1, -1};
};

TEST(Reader, OnePacketPerCallReframedShortest) {
  // The fourth length byte ends the length whatever its bit 7 says: a fifth
  // would swallow the C0 of the PINGREQ behind the second PINGRESP.
  Stream stream("20 02 00 00  32 05 00 01 61 00 02  D0 00  31 81 80 80 00 7A  D0 80 80 80 80"
                "  C0 00");
  for (const char* want : {"20 02 00 00", "32 05 00 01 61 00 02", "D0 00", "31 01 7A", "D0 00",
                           "C0 00"}) {
    const std::optional<MqttPacket> packet = stream.read();
    ASSERT_TRUE(packet) << want;
    EXPECT_EQ(hexOf(packet->bytes), want);
    EXPECT_EQ(packet->type, packet->bytes[0] >> 4) << want;
    EXPECT_EQ(packet->flags, packet->bytes[0] & 0x0F) << want;
    EXPECT_EQ(packet->remainingLength, packet->bytes.size() - 2) << want;
    EXPECT_EQ(stream.infos.back(), "packet received (" + std::to_string(packet->type) + ")");
  }
  EXPECT_EQ(stream.infos.size(), 6u);
  EXPECT_TRUE(stream.warnings.empty());
}

TEST(Reader, EveryShortReadAndOverlargeBodyLogsOneWarning) {
  const struct { const char* sent; bool peerCloses; const char* warning; } cases[] = {
      {"", true, "peer disconnected"},
      {"", false, "couldn't read control header (-1) [Resource temporarily unavailable]"},
      {"30 80", false, "couldn't read length byte (-1) [Resource temporarily unavailable]"},
      {"30", true, "couldn't read length byte (0) [Success]"},
      {"30 0A 00 01 61", false, "couldn't read packet to buffer (3) [Success]"},
      {"40 02", false, "couldn't read packet to buffer (-1) [Resource temporarily unavailable]"},
      {"30 FF FF FF FF", false, "packet too large (268435455 bytes)"},
      {"30 81 80 40", false, "packet too large (1048577 bytes)"},
      // 1,048,576 is accepted: the reader goes on to read the body.
      {"30 80 80 40 00 01 61", false, "couldn't read packet to buffer (3) [Success]"},
  };
  for (const auto& c : cases) {
    Stream stream(c.sent, c.peerCloses);
    EXPECT_FALSE(stream.read()) << c.sent;
    EXPECT_EQ(stream.warnings, std::vector<std::string>{c.warning}) << "sent '" << c.sent << "'";
    EXPECT_TRUE(stream.infos.empty()) << c.sent;
  }
}

}  // namespace
}  // namespace mqtt
