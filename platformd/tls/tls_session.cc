#include "platformd/tls/tls_session.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <openssl/err.h>
#include <openssl/x509v3.h>
#include <poll.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include "platform/system.h"

namespace platformd {

TlsSession::TlsSession(kv::ThinRunner& runner, ReadyFn ready, ClosedFn closed)
    : runner_(runner), ready_(std::move(ready)), closed_(std::move(closed)) {}

TlsSession::~TlsSession() {
  timer_.cancel();
  for (int fd : {tcpFd_, plainFd_}) {
    if (fd < 0) continue;
    runner_.removeSocket(fd);
    close(fd);
  }
}

void TlsSession::start(TlsSettings settings) {
  tcpFd_ = settings.tcpFd;
  peer_ = settings.verifyName;
  lingerTicks_ = settings.lingerTicks;
  state_ = State::Handshaking;
  kv::Status st = configure(settings);
  if (!st.isOk()) return fail(st.message());
  runner_.addSocket(tcpFd_, POLLOUT, [this](int, int) { stepHandshake(); });
  timer_ = kv::Timer(runner_, settings.handshakeTicks, [this]() { fail("TLS handshake timed out"); });
  stepHandshake();
}

kv::Status TlsSession::configure(TlsSettings& settings) {
  fcntl(tcpFd_, F_SETFL, fcntl(tcpFd_, F_GETFL) | O_NONBLOCK);
  ssl_.reset(SSL_new(settings.context));
  if (!ssl_ || SSL_set_fd(ssl_.get(), tcpFd_) != 1) {
    return kv::Status::io("TLS set-up failed: " + takeOpensslError("SSL_new"));
  }
  if (!settings.serverName.empty()) SSL_set_tlsext_host_name(ssl_.get(), settings.serverName.c_str());
  in_addr ip{};
  bool isIp = inet_pton(AF_INET, settings.verifyName.c_str(), &ip) == 1;
  int named = isIp ? X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(ssl_.get()), settings.verifyName.c_str())
                   : SSL_set1_host(ssl_.get(), settings.verifyName.c_str());
  if (named != 1) return kv::Status::io("TLS set-up failed: cannot check the name " + peer_);
  if (settings.clientKey) {
    bool ok = SSL_use_certificate(ssl_.get(), settings.clientChain[0].get()) == 1 &&
              SSL_use_PrivateKey(ssl_.get(), settings.clientKey.get()) == 1;
    for (size_t i = 1; ok && i < settings.clientChain.size(); ++i) {
      ok = SSL_add1_chain_cert(ssl_.get(), settings.clientChain[i].get()) == 1;
    }
    if (!ok) return kv::Status::io("TLS set-up failed: client certificate: " + takeOpensslError("?"));
  }
  return kv::Status::ok();
}

void TlsSession::stepHandshake() {
  if (state_ != State::Handshaking) return;
  ERR_clear_error();
  errno = 0;
  int rc = SSL_connect(ssl_.get());
  if (rc == 1) return onHandshakeDone();
  int err = SSL_get_error(ssl_.get(), rc);
  if (err == SSL_ERROR_WANT_READ) return void(runner_.changeSocket(tcpFd_, POLLIN));
  if (err == SSL_ERROR_WANT_WRITE) return void(runner_.changeSocket(tcpFd_, POLLOUT));
  fail(handshakeFailure(err));
}

std::string TlsSession::handshakeFailure(int sslError) const {
  long verify = SSL_get_verify_result(ssl_.get());
  if (verify != X509_V_OK) {
    return std::string("certificate verification failed: ") + X509_verify_cert_error_string(verify);
  }
  if (sslError == SSL_ERROR_SSL) return "TLS handshake failed: " + takeOpensslError("protocol error");
  if (sslError == SSL_ERROR_SYSCALL && errno != 0) {
    return std::string("TLS handshake failed: ") + strerror(errno);
  }
  return "the server closed the connection during the TLS handshake";
}

void TlsSession::fail(const std::string& text) {
  if (state_ == State::Closed) return;
  state_ = State::Closed;
  ready_(kv::failedMsg(text));
  closeAll();
}

void TlsSession::onHandshakeDone() {
  int pair[2];
  if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, pair) != 0) {
    return fail(std::string("socketpair: ") + strerror(errno));
  }
  state_ = State::Relaying;
  timer_.cancel();
  plainFd_ = pair[1];
  kv::message reply;
  reply.set(kv::SOCKET_FIELD, static_cast<uint32_t>(pair[0]));
  ready_(reply);
  close(pair[0]);  // the bus passed on its own copy
  runner_.removeSocket(tcpFd_);
  runner_.addSocket(tcpFd_, 0, [this](int, int) { pump(); });
  runner_.addSocket(plainFd_, 0, [this](int, int) { pump(); });
  pump();
}

// ---- Relay ---------------------------------------------------------------------

void TlsSession::pump() {
  if (state_ != State::Relaying) return;
  bool progress = true;
  while (progress) {
    progress = readPlain();
    progress = writeTls() || progress;
    progress = readTls() || progress;
    progress = writePlain() || progress;
  }
  if (relayOver()) return closeAll();
  updateInterest();
}

bool TlsSession::readPlain() {
  if (plainEnded_ || toTls_.size() >= BUFFER_BYTES) return false;
  char buf[BUFFER_BYTES];
  ssize_t n = recv(plainFd_, buf, BUFFER_BYTES - toTls_.size(), MSG_DONTWAIT);
  if (n < 0 && (errno == EAGAIN || errno == EINTR)) return false;
  if (n <= 0) {
    plainEnded_ = true;
    return true;
  }
  toTls_.append(buf, static_cast<size_t>(n));
  return true;
}

bool TlsSession::writeTls() {
  if (toTls_.empty() || tlsBroken_) return false;
  ERR_clear_error();
  int n = SSL_write(ssl_.get(), toTls_.data(), static_cast<int>(toTls_.size()));
  if (n > 0) {
    toTls_.erase(0, static_cast<size_t>(n));
    writeWants_ = 0;
    return true;
  }
  int err = SSL_get_error(ssl_.get(), n);
  if (err == SSL_ERROR_WANT_READ || err == SSL_ERROR_WANT_WRITE) {
    writeWants_ = err == SSL_ERROR_WANT_READ ? POLLIN : POLLOUT;
    return false;
  }
  tlsBroken_ = tlsEnded_ = true;
  toTls_.clear();
  return true;
}

bool TlsSession::readTls() {
  if (tlsEnded_ || toPlain_.size() >= BUFFER_BYTES) return false;
  char buf[BUFFER_BYTES];
  ERR_clear_error();
  int n = SSL_read(ssl_.get(), buf, static_cast<int>(BUFFER_BYTES - toPlain_.size()));
  if (n > 0) {
    toPlain_.append(buf, static_cast<size_t>(n));
    readWants_ = 0;
    return true;
  }
  int err = SSL_get_error(ssl_.get(), n);
  if (err == SSL_ERROR_WANT_READ || err == SSL_ERROR_WANT_WRITE) {
    readWants_ = err == SSL_ERROR_WANT_READ ? POLLIN : POLLOUT;
    return false;
  }
  tlsEnded_ = true;  // close_notify, or the connection is gone
  tlsBroken_ = err != SSL_ERROR_ZERO_RETURN;
  return true;
}

bool TlsSession::writePlain() {
  if (toPlain_.empty() || plainFd_ < 0) return false;
  ssize_t n = send(plainFd_, toPlain_.data(), toPlain_.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
  if (n < 0 && (errno == EAGAIN || errno == EINTR)) return false;
  if (n < 0) {  // the requester closed its end
    plainEnded_ = true;
    toPlain_.clear();
    return true;
  }
  toPlain_.erase(0, static_cast<size_t>(n));
  return true;
}

// The relay is over when a side has ended and what was buffered for the
// other side is delivered, or when the linger after an end runs out.
bool TlsSession::relayOver() {
  if ((plainEnded_ && toTls_.empty()) || (tlsEnded_ && toPlain_.empty())) return true;
  if ((plainEnded_ || tlsEnded_) && !timer_.pending()) {
    timer_ = kv::Timer(runner_, lingerTicks_, [this]() { closeAll(); });
  }
  return false;
}

void TlsSession::updateInterest() {
  int tcp = 0, plain = 0;
  if (!tlsEnded_ && toPlain_.size() < BUFFER_BYTES) tcp |= readWants_ ? readWants_ : POLLIN;
  if (!toTls_.empty() && !tlsBroken_) tcp |= writeWants_ ? writeWants_ : POLLOUT;
  if (!plainEnded_ && toTls_.size() < BUFFER_BYTES) plain |= POLLIN;
  if (!toPlain_.empty()) plain |= POLLOUT;
  runner_.changeSocket(tcpFd_, tcp);
  runner_.changeSocket(plainFd_, plain);
}

void TlsSession::closeAll() {
  bool relayed = state_ == State::Relaying;
  state_ = State::Closed;
  timer_.cancel();
  if (relayed && !tlsBroken_) SSL_shutdown(ssl_.get());  // close_notify, best effort
  if (tcpFd_ >= 0) shutdown(tcpFd_, SHUT_RDWR);
  for (int* fd : {&tcpFd_, &plainFd_}) {
    if (*fd < 0) continue;
    runner_.removeSocket(*fd);
    close(*fd);
    *fd = -1;
  }
  ssl_.reset();
  if (closed_) {
    ClosedFn closed = std::move(closed_);
    closed();
  }
}

}  // namespace platformd
