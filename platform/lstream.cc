#include "platform/lstream.h"

#include <fcntl.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include "platform/root.h"

namespace kv {

LogBuf::LogBuf(int source, int level, const std::string& socketPath)
    : source_(source),
      level_(level),
      path_(socketPath),
      fd_(socket(AF_UNIX, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0)) {}

LogBuf::~LogBuf() {
  if (!line_.empty()) send();
  if (fd_ >= 0) close(fd_);
}

LogBuf::int_type LogBuf::overflow(int_type ch) {
  if (traits_type::eq_int_type(ch, traits_type::eof())) return traits_type::not_eof(ch);
  if (ch == '\n') {
    send();
  } else if (line_.size() < MAX_LINE) {
    line_.push_back(static_cast<char>(ch));
  }
  return ch;
}

std::streamsize LogBuf::xsputn(const char* s, std::streamsize n) {
  for (std::streamsize i = 0; i < n; ++i) overflow(traits_type::to_int_type(s[i]));
  return n;
}

int LogBuf::sync() {
  if (!line_.empty()) send();
  return 0;
}

void LogBuf::send() {
  std::string datagram = "<" + std::to_string(level_) + ">" + std::to_string(source_) + " " + line_;
  line_.clear();
  if (fd_ < 0) return;
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  if (path_.size() >= sizeof addr.sun_path) return;
  memcpy(addr.sun_path, path_.data(), path_.size());
  // Best effort: a missing or full log loses the line, never the writer.
  sendto(fd_, datagram.data(), datagram.size(), MSG_DONTWAIT | MSG_NOSIGNAL,
         reinterpret_cast<sockaddr*>(&addr), sizeof addr);
}

// The stream is built without a buffer and given buf_ once buf_ exists.
lstream::lstream(int source, int level, int)
    : std::ostream(nullptr), buf_(source, level, rootPath(LOG_SOCKET_PATH)) {
  rdbuf(&buf_);
}

lstream::lstream(int source, int level, const std::string& socketPath)
    : std::ostream(nullptr), buf_(source, level, socketPath) {
  rdbuf(&buf_);
}

}  // namespace kv
