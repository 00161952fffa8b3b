#include "platform/status.h"

#include <cstring>

namespace kv {

Status Status::fromErrno(const std::string& call, int err) {
  return Status(Kind::Io, call + ": " + std::strerror(err));
}

std::string Status::toString() const {
  if (isOk()) return "ok";
  return std::string(kindName(kind_)) + ": " + message_;
}

const char* kindName(Status::Kind kind) {
  switch (kind) {
    case Status::Kind::Ok: return "ok";
    case Status::Kind::Malformed: return "malformed";
    case Status::Kind::TooLarge: return "too large";
    case Status::Kind::Io: return "i/o error";
    case Status::Kind::NotFound: return "not found";
    case Status::Kind::ConnectionLost: return "connection lost";
    case Status::Kind::Resolve: return "resolve";
    case Status::Kind::Connect: return "connect";
    case Status::Kind::Tls: return "tls";
    case Status::Kind::Refused: return "refused";
    case Status::Kind::Protocol: return "protocol";
    case Status::Kind::Timeout: return "timeout";
    case Status::Kind::PeerClosed: return "peer closed";
    case Status::Kind::Rejected: return "rejected";
    case Status::Kind::Cancelled: return "cancelled";
  }
  return "unknown";
}

}  // namespace kv
