// TlsSession: one TLS client connection of the TLS service.
//
// It takes a connected TCP socket, runs the TLS client handshake on it and,
// once that succeeds, relays between the TLS stream and a socket pair
// whose other end went back to the requester (in the ready reply):
//
//   requester's end ==== pair ==== [toTls buffer]   --SSL_write--> TCP
//                                  [toPlain buffer] <--SSL_read--- TCP
//
//   Handshaking --success--> Relaying --a side ends--> Closed
//        |                                               ^
//        +--failure, time-out----------------------------+
//
// Everything is non-blocking and driven by the runner's socket events.
// Each direction holds at most BUFFER_BYTES; a full buffer stops reading
// from its source, so a slow reader slows the writer down (back-pressure)
// instead of growing a buffer. When one side ends (end of file or an
// error), what is buffered for the other side is still delivered, for at
// most `lingerTicks`, then both sides are closed: the TCP socket with
// shutdown(2) first, so the connection ends even if another process still
// holds a copy of its descriptor, after a TLS close_notify when the
// requester's side ended first.
//
// `ready` runs once, with the reply for the requester: success carrying
// the requester's end of the pair in SOCKET_FIELD (ready must pass it on at
// once, for the session closes its copy afterwards), or a failure whose
// text says what failed. `closed` runs once, when the session has closed
// everything; the owner destroys it on a later turn.
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <vector>

#include "platform/message.h"
#include "platform/runner.h"
#include "platform/status.h"
#include "platformd/tls/openssl_util.h"

namespace platformd {

struct TlsSettings {
  int tcpFd = -1;           // owned by the session from start() on
  SSL_CTX* context = nullptr;
  std::string serverName;   // SNI; "" for none
  std::string verifyName;   // host name or IPv4 address the certificate must name
  std::vector<X509Ptr> clientChain;  // empty: no client certificate
  KeyPtr clientKey;
  kv::Ticks handshakeTicks = 0;
  kv::Ticks lingerTicks = 0;
};

class TlsSession {
 public:
  static constexpr size_t BUFFER_BYTES = 16 * 1024;
  using ReadyFn = std::function<void(const kv::message& reply)>;
  using ClosedFn = std::function<void()>;

  TlsSession(kv::ThinRunner& runner, ReadyFn ready, ClosedFn closed);
  ~TlsSession();
  TlsSession(const TlsSession&) = delete;
  TlsSession& operator=(const TlsSession&) = delete;

  // Starts the handshake. On failure `ready` runs at once with the failure,
  // then `closed`.
  void start(TlsSettings settings);
  bool handshaking() const { return state_ == State::Handshaking; }

 private:
  enum class State { Idle, Handshaking, Relaying, Closed };

  kv::Status configure(TlsSettings& settings);
  void stepHandshake();
  std::string handshakeFailure(int sslError) const;
  void onHandshakeDone();
  void fail(const std::string& text);
  void pump();
  bool readPlain();
  bool writeTls();
  bool readTls();
  bool writePlain();
  bool relayOver();
  void updateInterest();
  void closeAll();

  kv::ThinRunner& runner_;
  ReadyFn ready_;
  ClosedFn closed_;
  State state_ = State::Idle;
  int tcpFd_ = -1;
  int plainFd_ = -1;  // the session's end of the pair
  SslPtr ssl_;
  std::string peer_;  // for log and failure texts
  kv::Ticks lingerTicks_ = 0;
  kv::Timer timer_;   // handshake time-out, then the linger after one side ends
  std::string toTls_, toPlain_;
  int readWants_ = 0, writeWants_ = 0;  // what SSL_read / SSL_write wait for
  bool plainEnded_ = false, tlsEnded_ = false, tlsBroken_ = false;
};

}  // namespace platformd
