// kv::Status: the result of an operation that can fail, as a value.
//
// Each failure has a kind and a message that names what failed (and carries
// strerror(errno) where there is one).
#pragma once

#include <string>
#include <utility>

namespace kv {

class Status {
 public:
  enum class Kind { Ok, Malformed, TooLarge, Io, NotFound, ConnectionLost };

  Status() = default;
  static Status ok() { return Status(); }
  static Status malformed(std::string msg) { return Status(Kind::Malformed, std::move(msg)); }
  static Status tooLarge(std::string msg) { return Status(Kind::TooLarge, std::move(msg)); }
  static Status io(std::string msg) { return Status(Kind::Io, std::move(msg)); }
  static Status notFound(std::string msg) { return Status(Kind::NotFound, std::move(msg)); }
  static Status connectionLost(std::string msg) {
    return Status(Kind::ConnectionLost, std::move(msg));
  }
  // An I/O failure of `call`, with the text of errno.
  static Status fromErrno(const std::string& call, int err);

  bool isOk() const { return kind_ == Kind::Ok; }
  Kind kind() const { return kind_; }
  const std::string& message() const { return message_; }
  std::string toString() const;

 private:
  Status(Kind kind, std::string msg) : kind_(kind), message_(std::move(msg)) {}
  Kind kind_ = Kind::Ok;
  std::string message_;
};

}  // namespace kv
