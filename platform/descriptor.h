// Descriptors carried by bus messages.
//
// A message whose u32 field SOCKET_FIELD (0xff0015) is set carries the
// descriptor it names. The bus duplicates it when it is posted or replied
// (the caller keeps its own), and whoever receives the message (a handler
// that declares takesDescriptors(), or a reply callback) owns the copy it
// finds in the field: it must keep it or close it. See docs/bus.md.
//
// Between processes the descriptor travels with its frame as SCM_RIGHTS
// ancillary data on the bus socket:
//   - the sender attaches it to the sendmsg call that writes the frame's
//     first byte, and that call writes bytes of that frame only;
//   - the kernel hands it over with the read that returns the first byte of
//     that call's data, and ends that read at the latest with the last byte
//     of that call's data.
// So a descriptor that arrived with the stream bytes [from, to) belongs to
// the last frame that starts in [from, to): the frame [start, end) with
// from <= start < to <= end. InboundDescriptors applies that rule.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <deque>
#include <vector>

#include "platform/message.h"

namespace kv {

// The descriptor number `msg` carries in SOCKET_FIELD, or -1.
int carriedDescriptor(const message& msg);
// Closes the descriptor `msg` carries, if any. The field stays: the caller
// is dropping the message.
void closeCarriedDescriptor(const message& msg);
// A close-on-exec duplicate of `fd` (F_DUPFD_CLOEXEC); -1 with errno set.
int duplicateDescriptor(uint32_t fd);

// sendmsg(2) of `len` bytes with `fd` attached (SCM_RIGHTS), never
// blocking, without SIGPIPE. Returns what sendmsg returns.
ssize_t sendWithDescriptor(int socketFd, const void* data, size_t len, int fd);

// recvmsg(2) into `buf`, never blocking. Descriptors that arrive are
// appended to `fds`, close-on-exec; `truncated` is set when the kernel had
// to discard some for lack of room. Returns what recvmsg returns.
ssize_t receiveWithDescriptors(int socketFd, void* buf, size_t cap, std::vector<int>& fds,
                               bool& truncated);

// Descriptors received on one bus stream that wait for their frame.
// Owns them: what is still held when it is destroyed is closed.
class InboundDescriptors {
 public:
  // More than this many waiting means the stream misbehaves: a well-formed
  // stream never has more than two (one for a frame still arriving, one
  // that came with the bytes just read).
  static constexpr size_t MAX_HELD = 4;

  InboundDescriptors() = default;
  ~InboundDescriptors();
  InboundDescriptors(const InboundDescriptors&) = delete;
  InboundDescriptors& operator=(const InboundDescriptors&) = delete;

  // Takes `fd`, which arrived with the stream bytes [from, to). False (and
  // `fd` closed) when MAX_HELD are already waiting.
  bool add(int fd, uint64_t from, uint64_t to);

  enum class Match {
    None,   // the frame carries no descriptor
    Taken,  // `fd` is the frame's descriptor; the caller owns it now
    Stray,  // a descriptor arrived that no frame can claim
  };
  // For the frame that occupied the stream bytes [start, end), taken in
  // stream order.
  Match take(uint64_t start, uint64_t end, int& fd);
  size_t held() const { return waiting_.size(); }

 private:
  struct Arrival {
    uint64_t from, to;
    int fd;
  };
  std::deque<Arrival> waiting_;
};

}  // namespace kv
