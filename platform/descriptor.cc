#include "platform/descriptor.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <climits>
#include <cstring>

#include "platform/system.h"

namespace kv {

int carriedDescriptor(const message& msg) {
  if (!msg.has(SOCKET_FIELD)) return -1;
  uint32_t fd = msg.get(SOCKET_FIELD);
  return fd > static_cast<uint32_t>(INT_MAX) ? -1 : static_cast<int>(fd);
}

void closeCarriedDescriptor(const message& msg) {
  int fd = carriedDescriptor(msg);
  if (fd >= 0) ::close(fd);
}

int duplicateDescriptor(uint32_t fd) {
  if (fd > static_cast<uint32_t>(INT_MAX)) {
    errno = EBADF;
    return -1;
  }
  return fcntl(static_cast<int>(fd), F_DUPFD_CLOEXEC, 0);
}

ssize_t sendWithDescriptor(int socketFd, const void* data, size_t len, int fd) {
  iovec iov{const_cast<void*>(data), len};
  alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))];
  memset(control, 0, sizeof control);
  msghdr mh{};
  mh.msg_iov = &iov;
  mh.msg_iovlen = 1;
  mh.msg_control = control;
  mh.msg_controllen = sizeof control;
  cmsghdr* cm = CMSG_FIRSTHDR(&mh);
  cm->cmsg_level = SOL_SOCKET;
  cm->cmsg_type = SCM_RIGHTS;
  cm->cmsg_len = CMSG_LEN(sizeof(int));
  memcpy(CMSG_DATA(cm), &fd, sizeof fd);
  return ::sendmsg(socketFd, &mh, MSG_NOSIGNAL | MSG_DONTWAIT);
}

ssize_t receiveWithDescriptors(int socketFd, void* buf, size_t cap, std::vector<int>& fds,
                               bool& truncated) {
  iovec iov{buf, cap};
  // Room for a few: a sender that attaches more than one is refused by the
  // caller, which needs to see them (and close them) to say so.
  alignas(cmsghdr) char control[CMSG_SPACE(8 * sizeof(int))];
  msghdr mh{};
  mh.msg_iov = &iov;
  mh.msg_iovlen = 1;
  mh.msg_control = control;
  mh.msg_controllen = sizeof control;
  ssize_t n = ::recvmsg(socketFd, &mh, MSG_DONTWAIT | MSG_CMSG_CLOEXEC);
  if (n < 0) return n;
  truncated = (mh.msg_flags & MSG_CTRUNC) != 0;
  for (cmsghdr* cm = CMSG_FIRSTHDR(&mh); cm; cm = CMSG_NXTHDR(&mh, cm)) {
    if (cm->cmsg_level != SOL_SOCKET || cm->cmsg_type != SCM_RIGHTS) continue;
    size_t count = (cm->cmsg_len - CMSG_LEN(0)) / sizeof(int);
    for (size_t i = 0; i < count; ++i) {
      int fd;
      memcpy(&fd, CMSG_DATA(cm) + i * sizeof(int), sizeof fd);
      fds.push_back(fd);
    }
  }
  return n;
}

// ---- InboundDescriptors ------------------------------------------------------

InboundDescriptors::~InboundDescriptors() {
  for (const Arrival& a : waiting_) ::close(a.fd);
}

bool InboundDescriptors::add(int fd, uint64_t from, uint64_t to) {
  if (waiting_.size() >= MAX_HELD) {
    ::close(fd);
    return false;
  }
  waiting_.push_back(Arrival{from, to, fd});
  return true;
}

InboundDescriptors::Match InboundDescriptors::take(uint64_t start, uint64_t end, int& fd) {
  if (waiting_.empty()) return Match::None;
  const Arrival& first = waiting_.front();
  if (first.to > end) return Match::None;  // it belongs to a later frame
  // It arrived no later than this frame's last byte: this frame must claim
  // it, and may claim one only.
  bool mine = first.from <= start && start < first.to;
  bool another = waiting_.size() > 1 && waiting_[1].to <= end;
  if (!mine || another) return Match::Stray;
  fd = first.fd;
  waiting_.pop_front();
  return Match::Taken;
}

}  // namespace kv
