// PacketFramer: streams cut into packets however the bytes arrive.
#include "mqtt/framer.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "hex.h"
#include "mqtt/builders.h"

namespace mqtt {
namespace {

struct Framed {
  std::vector<std::string> packets;  // hex of each packet's bytes
  PacketFramer::Result end;
  PacketFramer::Stage stage;
};

// Feeds `stream` in pieces of `piece` bytes, taking packets after each.
Framed frame(const Bytes& stream, size_t piece, uint32_t maxBody = MAX_PACKET_BODY) {
  PacketFramer framer(maxBody);
  Framed out{{}, PacketFramer::Result::NeedMore, PacketFramer::Stage::ControlByte};
  for (size_t at = 0; at < stream.size() && out.end != PacketFramer::Result::TooLarge;) {
    const size_t n = std::min(piece, stream.size() - at);
    framer.append(stream.data() + at, n);
    at += n;
    MqttPacket packet;
    while ((out.end = framer.next(packet)) == PacketFramer::Result::Packet) {
      EXPECT_EQ(packet.bytes[0], (packet.type << 4) | packet.flags);
      out.packets.push_back(hexOf(packet.bytes));
    }
  }
  out.stage = framer.stage();
  return out;
}

TEST(PacketFramer, StreamsGiveTheSamePacketsWhateverTheirPieces) {
  using S = PacketFramer::Stage;
  struct Case {
    const char* stream;
    std::vector<std::string> packets;
    S stage;  // where the leftover bytes stop
  } cases[] = {
      {"", {}, S::ControlByte},
      {"D0 00", {"D0 00"}, S::ControlByte},
      {"20 02 00 00 D0 00 40 02 00 07", {"20 02 00 00", "D0 00", "40 02 00 07"}, S::ControlByte},
      {"30 05 00 01 61 68 69", {"30 05 00 01 61 68 69"}, S::ControlByte},
      {"30", {}, S::LengthByte},
      {"30 80", {}, S::LengthByte},
      {"30 05 00 01", {}, S::Body},
      {"D0 00 30 80 01", {"D0 00"}, S::Body},
      // A non-canonical length (80 00 = 0) is rebuilt in its shortest form.
      {"D0 80 00", {"D0 00"}, S::ControlByte},
      // The fourth length byte ends the length even with bit 7 set: 0 here,
      // and the byte after it starts the next packet.
      {"C0 80 80 80 80 D0 00", {"C0 00", "D0 00"}, S::ControlByte},
  };
  for (const Case& c : cases) {
    const Bytes stream = hexBytes(c.stream);
    for (size_t piece : {size_t{1}, size_t{2}, size_t{3}, size_t{64}}) {
      const Framed got = frame(stream, piece);
      EXPECT_EQ(got.packets, c.packets) << c.stream << " in pieces of " << piece;
      EXPECT_EQ(got.end, PacketFramer::Result::NeedMore) << c.stream;
      EXPECT_EQ(got.stage, c.stage) << c.stream;
    }
  }
}

// A PUBLISH header announcing `body` bytes.
Bytes publishHeader(uint32_t body) {
  Bytes header{0x30};
  appendRemainingLength(header, body);
  return header;
}

TEST(PacketFramer, RefusesAnnouncedBodiesAboveTheBoundBeforeTheyArrive) {
  const struct { Bytes header; uint32_t maxBody; bool refused; } cases[] = {
      {publishHeader(MAX_PACKET_BODY), MAX_PACKET_BODY, false},  // the largest message fits
      {publishHeader(MAX_PACKET_BODY + 1), MAX_PACKET_BODY, true},
      {hexBytes("30 FF FF FF 7F"), MAX_PACKET_BODY, true},  // 256 MiB
      {hexBytes("30 FF FF FF FF"), MAX_PACKET_BODY, true},  // four length bytes, bit 7 on the last
      {hexBytes("30 0A"), 9, true},
      {hexBytes("30 0A"), 10, false},
  };
  for (const auto& c : cases) {
    PacketFramer framer(c.maxBody);
    framer.append(c.header.data(), c.header.size());
    MqttPacket packet;
    const auto result = framer.next(packet);
    EXPECT_EQ(result == PacketFramer::Result::TooLarge, c.refused) << hexOf(c.header);
    if (c.refused) {
      EXPECT_GT(framer.announced(), c.maxBody);
    }
  }
  EXPECT_EQ(makePublish(std::string(65535, 't'), 1, false, 7, std::string(MAX_MESSAGE_DATA, 'd'))
                .packet()
                .remainingLength,
            MAX_PACKET_BODY);
}

}  // namespace
}  // namespace mqtt
