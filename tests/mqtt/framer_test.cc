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
  std::vector<std::string> packets;  // hex of each packet's bytes; "skip " + hex for a skipped head
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
    while ((out.end = framer.next(packet)) == PacketFramer::Result::Packet ||
           out.end == PacketFramer::Result::Oversized) {
      EXPECT_EQ(packet.bytes[0], (packet.type << 4) | packet.flags);
      const bool skipped = out.end == PacketFramer::Result::Oversized;
      out.packets.push_back((skipped ? "skip " : "") + hexOf(packet.bytes));
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

// A header of `firstByte` announcing `body` bytes.
Bytes header(uint8_t firstByte, uint32_t body) {
  Bytes bytes{firstByte};
  appendRemainingLength(bytes, body);
  return bytes;
}

// Refused from the header alone, before anything of the body is buffered;
// a PUBLISH above the bound is held only until its head is in, and then
// not a byte of its data is kept.
TEST(PacketFramer, RefusesAnnouncedBodiesAboveTheBoundBeforeTheyArrive) {
  const struct { Bytes header; uint32_t maxBody; PacketFramer::Result result; } cases[] = {
      {header(0x30, MAX_PACKET_BODY), MAX_PACKET_BODY, PacketFramer::Result::NeedMore},  // fits
      {header(0x90, MAX_PACKET_BODY + 1), MAX_PACKET_BODY, PacketFramer::Result::TooLarge},
      {hexBytes("90 FF FF FF 7F"), MAX_PACKET_BODY, PacketFramer::Result::TooLarge},  // 256 MiB
      {hexBytes("F0 FF FF FF FF"), MAX_PACKET_BODY, PacketFramer::Result::TooLarge},  // bit 7 on the last
      {hexBytes("90 0A"), 9, PacketFramer::Result::TooLarge},
      {hexBytes("90 0A"), 10, PacketFramer::Result::NeedMore},
      {hexBytes("30 FF FF FF 7F 00 01 61"), MAX_PACKET_BODY, PacketFramer::Result::Oversized},
  };
  for (const auto& c : cases) {
    PacketFramer framer(c.maxBody);
    framer.append(c.header.data(), c.header.size());
    MqttPacket packet;
    EXPECT_EQ(framer.next(packet), c.result) << hexOf(c.header);
    if (c.result != PacketFramer::Result::NeedMore) {
      EXPECT_GT(framer.announced(), c.maxBody);
    }
    if (c.result == PacketFramer::Result::Oversized) {
      const Bytes data(1024 * 1024, 'd');
      framer.append(data.data(), data.size());
      EXPECT_EQ(framer.buffered(), 0u);
      EXPECT_EQ(framer.stage(), PacketFramer::Stage::Body);
    }
  }
  EXPECT_EQ(makePublish(std::string(65535, 't'), 1, false, 7, std::string(MAX_MESSAGE_DATA, 'd'))
                .packet()
                .remainingLength,
            MAX_PACKET_BODY);
}

// A PUBLISH above the bound (9 bytes here) yields its fixed and variable
// header, and its data is dropped as it arrives; framing goes on after it.
// Any other packet above the bound, or a PUBLISH whose head does not fit
// its body, ends the stream.
TEST(PacketFramer, APublishAboveTheBoundIsSkippedAndFramingGoesOn) {
  using R = PacketFramer::Result;
  using S = PacketFramer::Stage;
  const struct {
    const char* stream;
    std::vector<std::string> packets;
    R end;
    S stage;
  } cases[] = {
      {"30 0C 00 01 61 64 64 64 64 64 64 64 64 64 D0 00", {"skip 30 0C 00 01 61", "D0 00"},
       R::NeedMore, S::ControlByte},
      {"33 0C 00 01 61 00 07 64 64 64 64 64 64 64 D0 00", {"skip 33 0C 00 01 61 00 07", "D0 00"},
       R::NeedMore, S::ControlByte},
      {"30 0C 00 01 61 64 64", {"skip 30 0C 00 01 61"}, R::NeedMore, S::Body},
      {"30 0A 00 00 64 64 64 64 64 64 64 64 30 0A 00 00 64 64 64 64 64 64 64 64",
       {"skip 30 0A 00 00", "skip 30 0A 00 00"}, R::NeedMore, S::ControlByte},
      {"30 0C 00 01", {}, R::NeedMore, S::Body},  // the head is not in yet
      {"90 0A 00 01 00 00 00 00 00 00 00 00", {}, R::TooLarge, S::Body},
      {"30 0A 00 20 61", {}, R::TooLarge, S::Body},             // the topic is longer than the body
      {"32 0A 00 08 61 61 61 61 61 61 61 61", {}, R::TooLarge, S::Body},  // no room for the identifier
  };
  for (const auto& c : cases) {
    for (size_t piece : {size_t{1}, size_t{2}, size_t{3}, size_t{64}}) {
      const Framed got = frame(hexBytes(c.stream), piece, 9);
      EXPECT_EQ(got.packets, c.packets) << c.stream << " in pieces of " << piece;
      EXPECT_EQ(got.end, c.end) << c.stream << " in pieces of " << piece;
      EXPECT_EQ(got.stage, c.stage) << c.stream << " in pieces of " << piece;
    }
  }
}

}  // namespace
}  // namespace mqtt
