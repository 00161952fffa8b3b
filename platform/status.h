// kv::Status: the result of an operation that can fail, as a value.
//
// Each failure has a kind and a message that names what failed (and carries
// strerror(errno) where there is one). The kinds from Resolve on describe
// how a network connection or a request on it can end; the service above
// the platform keeps the last one of each broker connection, so they are
// named for an operator to read (kindName).
#pragma once

#include <string>
#include <utility>

namespace kv {

class Status {
 public:
  enum class Kind {
    Ok,
    Malformed,       // input that breaks its format or its rules
    TooLarge,        // input, or a backlog, beyond its bound
    Io,              // a system call failed
    NotFound,
    ConnectionLost,  // a bus connection went away
    Resolve,         // a host name did not resolve
    Connect,         // the TCP connection could not be made
    Tls,             // the TLS set-up failed
    Refused,         // the peer refused the session
    Protocol,        // the peer broke the protocol
    Timeout,         // an answer did not come in time
    PeerClosed,      // the peer closed the connection
    Rejected,        // a request the present state cannot carry out
    Cancelled,       // a request overtaken by a requested end
  };

  Status() = default;
  Status(Kind kind, std::string msg) : kind_(kind), message_(std::move(msg)) {}
  static Status ok() { return Status(); }
  static Status malformed(std::string msg) { return Status(Kind::Malformed, std::move(msg)); }
  static Status tooLarge(std::string msg) { return Status(Kind::TooLarge, std::move(msg)); }
  static Status io(std::string msg) { return Status(Kind::Io, std::move(msg)); }
  static Status notFound(std::string msg) { return Status(Kind::NotFound, std::move(msg)); }
  static Status connectionLost(std::string msg) {
    return Status(Kind::ConnectionLost, std::move(msg));
  }
  static Status timeout(std::string msg) { return Status(Kind::Timeout, std::move(msg)); }
  static Status rejected(std::string msg) { return Status(Kind::Rejected, std::move(msg)); }
  // An I/O failure of `call`, with the text of errno.
  static Status fromErrno(const std::string& call, int err);

  bool isOk() const { return kind_ == Kind::Ok; }
  Kind kind() const { return kind_; }
  const std::string& message() const { return message_; }
  // "<kind name>: <message>", or "ok".
  std::string toString() const;

 private:
  Kind kind_ = Kind::Ok;
  std::string message_;
};

// A short lower-case name of the kind: "ok", "malformed", "too large",
// "i/o error", ..., "peer closed", "rejected", "cancelled".
const char* kindName(Status::Kind kind);

}  // namespace kv
