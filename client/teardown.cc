// BrokerClient: the one way back to Idle, and the record of why.
//
// teardown(why) runs wherever a connection or an attempt ends: a failure
// of any step (resolution, TCP, TLS, a refusing or broken broker, a
// time-out, a read or write error), or the end of a requested disconnect,
// whose Status is ok. It logs the failure once, keeps it for report(),
// completes every waiting order and leaves the client Idle. The waiters are
// told, in this order: a refusal is the answer the connect orders waited
// for, so they get it first; then every request waiting for an
// acknowledgement (or for its DISCONNECT to be written) gets "Connection
// failed", every disconnect success, and the connect orders still waiting
// "Connection failed". The outbox's messages that were with the connection
// wait again for the next one. Every timer of the connection stops, so
// nothing of it reaches the next one.
#include <unistd.h>

#include "base/log.h"
#include "client/broker_client.h"

namespace {
using Kind = kv::Status::Kind;
}  // namespace

void BrokerClient::teardown(const kv::Status& why) {
  const bool wasAttempt = inProgress();
  setState(ConnectionState::Idle);
  noteEnd(why, wasAttempt);
  if (why.kind() == Kind::Refused) completeAll(connectWaiters_, why);
  const kv::Status failed =
      why.isOk() ? kv::Status(Kind::ConnectionLost, "Connection failed") : connectionFailure();
  cancelServiceRequests();
  failAllRequests(failed);
  discardQueue();
  disconnectAfterId_ = 0;
  outboxConnectionEnded();
  completeAll(disconnectWaiters_, kv::Status::ok());
  completeAll(connectWaiters_, failed);
  connectTimer_.cancel();
  silenceTimer_.cancel();
  pingTimer_.cancel();
  graceTimer_.cancel();
  broker_->connected = false;
  framer_.reset();
  releaseSocket();
}

// Failures of the socket calls and of the platform's services are errors
// of the router; what the broker or the link did is a warning about the
// broker. A failed attempt counts towards failedAttempts until a CONNACK
// brings the count back to 0.
void BrokerClient::noteEnd(const kv::Status& why, bool wasAttempt) {
  if (why.isOk()) return;
  switch (why.kind()) {
    case Kind::Resolve:
    case Kind::Connect:
    case Kind::Tls:
      logBrokerError(*broker_, why.message());
      break;
    default:
      logBrokerWarning(*broker_, why.message());
      break;
  }
  report_.lastFailure = why;
  report_.lastFailureTime = loop_.getLocaltime();
  if (wasAttempt) ++report_.failedAttempts;
}

kv::Status BrokerClient::connectionFailure() const {
  const kv::Status& last = report_.lastFailure;
  return kv::Status(last.isOk() ? Kind::ConnectionLost : last.kind(), "Connection failed");
}

void BrokerClient::releaseSocket() {
  // The socket stops being watched now and is closed on the next loop
  // turn, outside whatever callback of it is running.
  const int fd = socket_;
  if (fd >= 0) {
    loop_.runner().removeSocket(fd);
    closingFds_.push_back(fd);
    socket_ = -1;
  }
  defer(0, [this, fd] { closeSocket(fd); });
}

void BrokerClient::closeSocket(int fd) {
  for (auto it = closingFds_.begin(); it != closingFds_.end(); ++it) {
    if (*it != fd) continue;
    ::close(fd);
    closingFds_.erase(it);
    break;
  }
  armAutoConnect();
}
