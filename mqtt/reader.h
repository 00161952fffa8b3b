// readPacket: frames one MQTT packet from a non-blocking stream socket.
//
// The reader keeps no buffer and no state between calls: each call reads
// exactly one whole packet or fails, and a failure means the stream can no
// longer be trusted (the caller tears the connection down). It relies on
// the event loop reporting the socket readable again while unread data
// remains, so two packets that arrive together are read by two calls.
//
// Reads, in this order, each a single read(2):
//   1. the control byte;
//   2. the remaining length, one read per byte, at most four bytes; the
//      fourth byte ends the length whatever its bit 7 says;
//   3. the whole body in one read of exactly remainingLength bytes, also
//      when that is 0. A body that has not fully arrived is a failure.
//
// Log lines, each sent once through the given sinks:
//   warning  "peer disconnected"                          control read gave 0
//   warning  "couldn't read control header (%i) [%s]"     any other short read
//   warning  "couldn't read length byte (%i) [%s]"
//   warning  "packet too large (%u bytes)"                body > MAX_RECEIVED_BODY
//   warning  "couldn't read packet to buffer (%i) [%s]"
//   info     "packet received (%i)"                       success, packet type
// %i is the read(2) result and %s the strerror text of errno after that
// read. errno is cleared before each read, so a short read that set no
// error reports "Success" rather than a stale error of an earlier call.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "mqtt/packet.h"

namespace mqtt {

// The largest body a received packet may announce. A broker announcing more
// is refused before anything is allocated: the client receives PUBLISH data
// and acknowledgements, and 1 MiB is far above any message the router
// handles while keeping a hostile announcement (up to 256 MiB) harmless.
constexpr uint32_t MAX_RECEIVED_BODY = 1048576;

// Where the reader reports. Both callables must be set; they are called
// synchronously and are not kept after readPacket returns.
struct ReadLog {
  std::function<void(const std::string&)> warning;
  std::function<void(const std::string&)> info;
};

// Reads one packet from `fd` (not owned, not closed). On success the packet
// is rebuilt in its canonical form: type and flags from the control byte,
// remainingLength = body size, bytes = control byte, the shortest encoding
// of the remaining length and the body. On failure returns nullopt after
// logging one warning; the bytes already consumed are lost.
std::optional<MqttPacket> readPacket(int fd, const ReadLog& log);

}  // namespace mqtt
