#include "platform/status.h"

#include <cstring>

namespace kv {

Status Status::fromErrno(const std::string& call, int err) {
  return Status(Kind::Io, call + ": " + std::strerror(err));
}

std::string Status::toString() const {
  switch (kind_) {
    case Kind::Ok: return "ok";
    case Kind::Malformed: return "malformed: " + message_;
    case Kind::TooLarge: return "too large: " + message_;
    case Kind::Io: return "i/o error: " + message_;
    case Kind::NotFound: return "not found: " + message_;
    case Kind::ConnectionLost: return "connection lost: " + message_;
  }
  return message_;
}

}  // namespace kv
