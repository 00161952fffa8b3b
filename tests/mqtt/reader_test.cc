// readPacket over a real Unix stream socket pair whose reading end is
// non-blocking, as the broker socket is.
#include "mqtt/reader.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "hex.h"

namespace mqtt {
namespace {

class ReaderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds_), 0);
    ASSERT_EQ(fcntl(fds_[0], F_SETFL, fcntl(fds_[0], F_GETFL) | O_NONBLOCK), 0);
    log_.warning = [this](const std::string& line) { warnings_.push_back(line); };
    log_.info = [this](const std::string& line) { infos_.push_back(line); };
  }
  void TearDown() override {
    close(fds_[0]);
    if (fds_[1] >= 0) close(fds_[1]);
  }

  void send(const std::string& hex) {
    const Bytes bytes = hexBytes(hex);
    ASSERT_EQ(write(fds_[1], bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
  }
  void closePeer() {
    close(fds_[1]);
    fds_[1] = -1;
  }
  std::optional<MqttPacket> read() { return readPacket(fds_[0], log_); }
  // The single warning of a failed read, checked to be the only line logged.
  std::string failure() {
    EXPECT_FALSE(read().has_value());
    EXPECT_TRUE(infos_.empty());
    return warnings_.size() == 1 ? warnings_[0] : "lines: " + std::to_string(warnings_.size());
  }

  int fds_[2] = {-1, -1};
  ReadLog log_;
  std::vector<std::string> warnings_;
  std::vector<std::string> infos_;
};

TEST_F(ReaderTest, WholePacketsAreFramedAndLogged) {
  send("20 02 00 00 32 05 00 01 61 00 02 90 03 00 05 01");
  const std::optional<MqttPacket> connack = read();
  const std::optional<MqttPacket> publish = read();
  const std::optional<MqttPacket> suback = read();
  ASSERT_TRUE(connack && publish && suback);
  EXPECT_EQ(hexOf(connack->bytes), "20 02 00 00");
  EXPECT_EQ(connack->type, 2);
  EXPECT_EQ(hexOf(publish->bytes), "32 05 00 01 61 00 02");
  EXPECT_EQ(publish->type, 3);
  EXPECT_EQ(publish->flags, 2);
  EXPECT_EQ(publish->remainingLength, 5u);
  EXPECT_EQ(hexOf(suback->bytes), "90 03 00 05 01");
  EXPECT_EQ(infos_, (std::vector<std::string>{"packet received (2)", "packet received (3)",
                                              "packet received (9)"}));
  EXPECT_TRUE(warnings_.empty());
}

TEST_F(ReaderTest, TwoPacketsInOneWriteTakeTwoCallsThenNoData) {
  send("40 02 00 01 50 02 00 02");
  EXPECT_EQ(hexOf(read().value().bytes), "40 02 00 01");
  EXPECT_EQ(hexOf(read().value().bytes), "50 02 00 02");
  infos_.clear();
  EXPECT_EQ(failure(), "couldn't read control header (-1) [Resource temporarily unavailable]");
}

TEST_F(ReaderTest, ZeroLengthBodyIsASuccessfulRead) {
  send("D0 00");
  const std::optional<MqttPacket> pingresp = read();
  ASSERT_TRUE(pingresp);
  EXPECT_EQ(pingresp->type, 13);
  EXPECT_EQ(pingresp->remainingLength, 0u);
  EXPECT_EQ(hexOf(pingresp->bytes), "D0 00");
  EXPECT_EQ(infos_, std::vector<std::string>{"packet received (13)"});
}

TEST_F(ReaderTest, PeerClosedBeforeAPacket) {
  closePeer();
  EXPECT_EQ(failure(), "peer disconnected");
}

TEST_F(ReaderTest, MissingLengthByte) {
  send("30 80");
  EXPECT_EQ(failure(), "couldn't read length byte (-1) [Resource temporarily unavailable]");
}

TEST_F(ReaderTest, PeerClosedInsideTheLength) {
  send("30");
  closePeer();
  EXPECT_EQ(failure(), "couldn't read length byte (0) [Success]");
}

TEST_F(ReaderTest, PartlyAvailableBodyReportsTheBytesRead) {
  send("30 0A 00 01 61");
  EXPECT_EQ(failure(), "couldn't read packet to buffer (3) [Success]");
}

TEST_F(ReaderTest, AbsentBodyReportsTheReadError) {
  send("40 02");
  EXPECT_EQ(failure(), "couldn't read packet to buffer (-1) [Resource temporarily unavailable]");
}

TEST_F(ReaderTest, FourLengthBytesAreReadAndReframedShortest) {
  send("31 81 80 80 00 7A");
  const std::optional<MqttPacket> packet = read();
  ASSERT_TRUE(packet);
  EXPECT_EQ(packet->remainingLength, 1u);
  EXPECT_EQ(hexOf(packet->bytes), "31 01 7A");
}

TEST_F(ReaderTest, FourthLengthByteWithBit7SetEndsTheLength) {
  // A fifth length byte would swallow the C0 of the PINGREQ that follows.
  send("D0 80 80 80 80 C0 00");
  EXPECT_EQ(hexOf(read().value().bytes), "D0 00");
  EXPECT_EQ(read().value().type, 12);
  send("30 FF FF FF FF");
  warnings_.clear();
  infos_.clear();
  EXPECT_EQ(failure(), "packet too large (268435455 bytes)");
}

TEST_F(ReaderTest, BodyBoundIsInclusive) {
  // 1,048,576 is accepted: the reader goes on to read the body.
  send("30 80 80 40 00 01 61");
  EXPECT_EQ(failure(), "couldn't read packet to buffer (3) [Success]");
  warnings_.clear();
  send("30 81 80 40");
  EXPECT_EQ(failure(), "packet too large (1048577 bytes)");
}

}  // namespace
}  // namespace mqtt
