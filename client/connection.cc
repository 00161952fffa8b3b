// BrokerClient: construction, connection set-up, CONNACK, disconnect and
// destruction. Every failure on the way ends in teardown (teardown.cc) with
// a Status that names what failed.
#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include "base/log.h"
#include "base/service_globals.h"
#include "client/broker_client.h"
#include "contracts/resolver.h"
#include "contracts/tls.h"
#include "mqtt/builders.h"
#include "platform/ipaddr.h"
#include "platform/system.h"

namespace {

using Kind = kv::Status::Kind;

// Whether the broker's address is a numeric IPv4 address other than 0.0.0.0.
bool isIpv4Literal(const std::string& address, uint32_t& networkOrder) {
  IPAddr ip;
  if (!ip.fromStr(address.data(), address.size())) return false;
  networkOrder = ip.addr;
  return true;
}

// A socket call that failed while the TCP connection was being made.
kv::Status connectFailure(const char* call, int err) {
  return kv::Status(Kind::Connect, strprintf("internal error [%s: %s]", call, strerror(err)));
}

kv::Status tlsFailure(const std::string& why) {
  return kv::Status(Kind::Tls, "ssl failure [" + why + "]");
}

}  // namespace

const std::string& effectiveClientId(const BrokerEntry& broker) {
  return broker.clientId.empty() ? defaultClientId : broker.clientId;
}

BrokerClient::BrokerClient(kv::Looper& loop, BrokerEntry& broker, SubscriptionTables& tables,
                           PublishHandler& arrivals)
    : loop_(loop),
      broker_(&broker),
      tables_(&tables),
      arrivals_(&arrivals),
      connectTimer_(loop.runner(), [this] { onConnectTimeout(); }),
      pingTimer_(loop.runner(), [this] { sendPingreq(); }),
      autoConnectTimer_(loop.runner(), [this] { onAutoConnect(); }),
      silenceTimer_(loop.runner(), [this] { onBrokerSilent(); }),
      graceTimer_(loop.runner(), [this] { onDisconnectGrace(); }) {
  report_.stateSince = loop_.getLocaltime();
  armAutoConnect();
}

BrokerClient::~BrokerClient() {
  kv::ThinRunner& runner = loop_.runner();
  for (auto& entry : deferred_) runner.removeTimer(entry.second);
  for (auto& entry : pending_) runner.removeTimer(entry.second.timer);
  for (int id : posts_) loop_.cancelPost(id);
  if (socket_ >= 0) runner.removeSocket(socket_);
  if ((state_ == ConnectionState::Connected || state_ == ConnectionState::Disconnecting) &&
      socket_ >= 0) {
    // A goodbye, when one can be written, and a little time for it to leave.
    const kv::Status written = writeGoodbyeNow();
    if (!written.isOk()) logBrokerWarning(*broker_, written.message());
    const int fd = socket_;
    runner.addTimer(seconds(DISCONNECT_GRACE_SECONDS), [fd] { ::close(fd); });
  } else if (socket_ >= 0) {
    ::close(socket_);  // an attempt under way: no MQTT session to end
  }
  // Torn down, but the close step of the next loop turn has not run yet.
  for (int fd : closingFds_) ::close(fd);
  if (!outbox_.empty()) {
    logBrokerWarning(*broker_, strprintf("outbox dropped: %zu messages not delivered",
                                         outbox_.count()));
  }
  logBrokerInfo(*broker_, "disconnected from " + broker_->address);
}

kv::Ticks BrokerClient::seconds(uint32_t n) const { return kv::Ticks{n} * ticksPerSecond; }

bool BrokerClient::inProgress() const {
  return state_ == ConnectionState::Resolving || state_ == ConnectionState::Connecting ||
         state_ == ConnectionState::SocketConnected ||
         state_ == ConnectionState::AwaitingConnack;
}

ClientReport BrokerClient::report() const {
  ClientReport report = report_;
  report.state = state_;
  report.outboxMessages = outbox_.count();
  report.outboxBytes = outbox_.bytes();
  if (autoConnectTimer_.pending()) {
    const kv::Ticks wait = autoConnectTimer_.remainingTicks(), perSecond = ticksPerSecond;
    report.nextAttemptTime =
        loop_.getLocaltime() + static_cast<uint32_t>((wait + perSecond - 1) / perSecond);
  }
  return report;
}

void BrokerClient::setState(ConnectionState state) {
  if (state == state_) return;
  state_ = state;
  report_.stateSince = loop_.getLocaltime();
}

void BrokerClient::completeAll(std::vector<Completion>& waiters, const kv::Status& outcome) {
  std::vector<Completion> completed;
  completed.swap(waiters);
  for (const Completion& done : completed) done(outcome);
}

void BrokerClient::defer(kv::Ticks delayTicks, std::function<void()> step) {
  const uint64_t key = nextDeferred_++;
  deferred_[key] = loop_.runner().addTimer(delayTicks, [this, key, step = std::move(step)] {
    deferred_.erase(key);
    step();
  });
}

int BrokerClient::postRequest(kv::message request, kv::ReplyFn onReply, uint32_t timeoutTicks) {
  auto id = std::make_shared<int>(-1);
  *id = loop_.postMessage(std::move(request), [this, id, onReply = std::move(onReply)](
                                                  const kv::message& reply) {
    posts_.erase(*id);
    onReply(reply);
  }, timeoutTicks);
  if (*id >= 0) posts_.insert(*id);
  return *id;
}

void BrokerClient::cancelServiceRequests() {
  for (int* id : {&resolvePost_, &sslPost_}) {
    if (*id < 0) continue;
    loop_.cancelPost(*id);
    posts_.erase(*id);
    *id = -1;
  }
}

// ---- Sockets ------------------------------------------------------------------

void BrokerClient::registerSocket(int fd, int events) {
  loop_.runner().addSocket(fd, events, [this](int ready, int bits) { onSocketEvent(ready, bits); });
}

void BrokerClient::setSocketInterest(int events) {
  if (socket_ >= 0) loop_.runner().changeSocket(socket_, events);
}

// ---- Connecting ---------------------------------------------------------------

void BrokerClient::connect(Completion done) {
  if (state_ == ConnectionState::Disconnecting) finishDisconnect();
  if (done) {
    connectWaiters_.push_back(std::move(done));
    if (state_ == ConnectionState::Idle) {
      logBrokerInfo(*broker_, "Scheduling connect timeout");
      connectTimer_.arm(seconds(CONNECT_TIMEOUT_SECONDS));
    }
  }
  if (state_ != ConnectionState::Idle) return;  // Connected, or an attempt under way
  setState(ConnectionState::Resolving);
  uint32_t address = 0;
  if (isIpv4Literal(broker_->address, address)) {
    const kv::Status started = startTcpConnect(address);
    if (!started.isOk()) teardown(started);
    return;
  }
  resolvePost_ = postRequest(contract::resolver::encodeResolve(broker_->address),
                             [this](const kv::message& reply) { onResolved(reply); },
                             SERVICE_TIMEOUT_TICKS);
  if (resolvePost_ < 0) teardown(kv::Status(Kind::Resolve, "couldn't resolve " + broker_->address));
}

void BrokerClient::onResolved(const kv::message& reply) {
  resolvePost_ = -1;
  if (state_ != ConnectionState::Resolving) return;
  const uint32_t address = contract::resolver::decodeAddress(reply);
  if (address == 0) return teardown(kv::Status(Kind::Resolve, "couldn't resolve " + broker_->address));
  const kv::Status started = startTcpConnect(address);
  if (!started.isOk()) teardown(started);
}

kv::Status BrokerClient::startTcpConnect(uint32_t addressNetworkOrder) {
  setState(ConnectionState::Connecting);
  logBrokerInfo(*broker_, "connecting to " + broker_->address);
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) return connectFailure("socket", errno);
  // Packets go out as soon as they are written: the writer already gathers
  // what is queued into one write, and small packets (acknowledgements,
  // PINGREQ) must not wait for the broker's delayed ACK.
  const int on = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
  sockaddr_in peer;
  memset(&peer, 0, sizeof peer);
  peer.sin_family = AF_INET;
  peer.sin_port = htons(broker_->port);
  peer.sin_addr.s_addr = addressNetworkOrder;
  if (::connect(fd, reinterpret_cast<sockaddr*>(&peer), sizeof peer) != 0 &&
      errno != EINPROGRESS) {
    const kv::Status failed = connectFailure("connect", errno);
    ::close(fd);
    return failed;
  }
  socket_ = fd;
  registerSocket(fd, POLLOUT);
  return kv::Status::ok();
}

// The socket became writable while connecting: the TCP connect finished,
// successfully or not (SO_ERROR tells).
void BrokerClient::onTcpConnected(int fd) {
  int err = 0;
  socklen_t length = sizeof err;
  if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &length) != 0) err = errno;
  if (err != 0) return teardown(connectFailure("connect", err));
  logBrokerInfo(*broker_, "socket connected");
  setState(ConnectionState::SocketConnected);
  if (broker_->useSsl) return startTls(fd);
  setSocketInterest(POLLIN);
  defer(0, [this, fd] { onPlainConnected(fd); });
}

// Hands the connected TCP socket to the TLS service, which hands back the
// descriptor of a plain-text stream to use instead.
void BrokerClient::startTls(int fd) {
  // A host name is both the name sent with SNI and the one the server's
  // certificate must carry; for an address the TLS service checks the peer.
  contract::tls::ConnectOrder order;
  uint32_t literal = 0;
  if (!isIpv4Literal(broker_->address, literal) || literal == 0) {
    order.serverName = broker_->address;
    order.verifyName = broker_->address;
  }
  order.clientCertificate = broker_->certificate;
  // Until the SSL service answers, the bytes on this socket are its own:
  // the client must not read them.
  loop_.runner().removeSocket(fd);
  sslPost_ = postRequest(contract::tls::encode(order, fd),
                         [this, fd](const kv::message& reply) { onSslReply(reply, fd); },
                         SERVICE_TIMEOUT_TICKS);
  if (sslPost_ < 0) teardown(tlsFailure("the SSL service cannot be reached"));
}

void BrokerClient::onPlainConnected(int fd) {
  if (state_ != ConnectionState::SocketConnected || socket_ != fd) return;
  logBrokerInfo(*broker_, "Connected with non-ssl socket");
  startMqttSession(fd, false);
}

void BrokerClient::onSslReply(const kv::message& reply, int tcpFd) {
  sslPost_ = -1;
  const bool hasStream = reply.has(kv::SOCKET_FIELD);
  const int stream = hasStream ? static_cast<int>(reply.get(kv::SOCKET_FIELD)) : -1;
  if (state_ != ConnectionState::SocketConnected || socket_ != tcpFd) {
    if (stream >= 0) ::close(stream);
    return;
  }
  if (kv::isError(reply) || stream < 0) {
    if (stream >= 0) ::close(stream);
    // The attempt ends here: waiting orders are told, and automatic
    // connection tries again later.
    return teardown(tlsFailure(kv::isError(reply) ? kv::getError(reply)
                                                  : std::string("no stream in the reply")));
  }
  logBrokerInfo(*broker_, "Connected with ssl socket");
  // The SSL service holds its own descriptor of the TCP socket; the
  // client's copy is no longer needed.
  ::close(tcpFd);
  fcntl(stream, F_SETFL, fcntl(stream, F_GETFL) | O_NONBLOCK);
  fcntl(stream, F_SETFD, FD_CLOEXEC);
  socket_ = stream;
  startMqttSession(stream, true);
}

void BrokerClient::startMqttSession(int fd, bool registerFd) {
  framer_.reset();
  const std::string& clientId = effectiveClientId(*broker_);
  const mqtt::Will will{broker_->willTopic, broker_->willMessage,
                        static_cast<uint8_t>(broker_->willQos), broker_->willRetain};
  mqtt::BuildResult connectPacket =
      mqtt::makeConnect(clientId, broker_->user, broker_->password, broker_->keepAlive, will);
  if (!connectPacket.ok()) return teardown(kv::Status::malformed(connectPacket.error()));
  if (registerFd) registerSocket(fd, POLLIN | POLLOUT);
  enqueuePacketFront(connectPacket.takePacket());
  setState(ConnectionState::AwaitingConnack);
}

void BrokerClient::onConnack(const mqtt::MqttPacket& packet) {
  const std::optional<mqtt::ConnackFields> connack = mqtt::parseConnack(packet);
  if (!connack) {
    return teardown(kv::Status(Kind::Protocol, "malformed CONNACK; closing the connection"));
  }
  if (connack->returnCode != 0) {
    return teardown(kv::Status(Kind::Refused,
                               "Connection refused: " + mqtt::connackRefusal(connack->returnCode)));
  }
  logBrokerInfo(*broker_, "connected to " + broker_->address);
  completeAll(connectWaiters_, kv::Status::ok());
  connectTimer_.cancel();
  setState(ConnectionState::Connected);
  report_.failedAttempts = 0;
  backoff_.reset();
  automaticAttempt_ = false;
  warnedPubackForQos2_ = false;
  resubscribing_.clear();
  broker_->connected = true;
  setSocketInterest(POLLIN | POLLOUT);
  // A queue overflow while subscribing again tears the connection down
  // there, leaving an idle client that must not be called connected.
  if (subscribeOnConnect_) resubscribe();
  sendOutbox();
  if (onAccepted_ && state_ == ConnectionState::Connected) onAccepted_();
}

void BrokerClient::onConnectTimeout() {
  teardown(kv::Status::timeout(strprintf("not connected within %u s; closing the connection",
                                         CONNECT_TIMEOUT_SECONDS)));
}

// ---- Disconnecting ------------------------------------------------------------

void BrokerClient::disconnect(Completion done) {
  if (state_ == ConnectionState::Disconnecting) {
    if (done) disconnectWaiters_.push_back(std::move(done));
    return;
  }
  if (state_ != ConnectionState::Connected) {
    if (done) done(kv::Status::ok());
    return;
  }
  if (done) disconnectWaiters_.push_back(std::move(done));
  setState(ConnectionState::Disconnecting);
  pingTimer_.cancel();
  // A publish whose DISCONNECT is queued already goes out with it.
  failAllRequests(kv::Status(Kind::Cancelled, "Disconnecting"), disconnectAfterId_);
  queueGoodbye();
  graceTimer_.arm(seconds(DISCONNECT_GRACE_SECONDS));
}

// What still goes out before DISCONNECT: a packet whose first bytes are
// written (the broker never sees part of a packet), and a publish with
// disconnect-after with the DISCONNECT right behind it, which waits as a
// request. The rest of the queue goes: its orders were told
// "Disconnecting", and the outbox's messages wait for the next connection
// (but a QoS 0 one that the head carries: it is finished, so it counts as
// written).
void BrokerClient::queueGoodbye() {
  const size_t written = headWritten_;
  if (written > 0) outbox_.written(report_.bytesOut - written + outputQueue_.front().bytes.size());
  outboxConnectionEnded();
  std::deque<mqtt::MqttPacket> kept;
  size_t keptBytes = 0;
  for (size_t i = 0; i < outputQueue_.size(); ++i) {
    const bool started = i == 0 && written > 0;
    const bool goodbye = outputQueue_[i].type == mqtt::Disconnect ||
                         (i + 1 < outputQueue_.size() && outputQueue_[i + 1].type == mqtt::Disconnect);
    if (!started && !goodbye) continue;
    keptBytes += outputQueue_[i].bytes.size();
    kept.push_back(std::move(outputQueue_[i]));
  }
  const bool disconnectQueued = !kept.empty() && kept.back().type == mqtt::Disconnect;
  discardQueue();
  outputQueue_.swap(kept);
  queuedBytes_ = keptBytes;
  headWritten_ = written;
  if (!disconnectQueued) enqueuePacket(mqtt::makeDisconnect());
  setSocketInterest(POLLIN | POLLOUT);
}

// A connect, publish or subscribe during Disconnecting ends the disconnect
// now, so that the new attempt starts on a clean client: what the socket
// takes of the goodbye is written, then the connection is torn down.
void BrokerClient::finishDisconnect() {
  while (writeSome()) {
  }
  if (state_ != ConnectionState::Disconnecting) return;  // the DISCONNECT went out
  teardown(writeGoodbyeNow());
}

void BrokerClient::onDisconnectGrace() {
  if (state_ != ConnectionState::Disconnecting) return;
  teardown(kv::Status::timeout(strprintf(
      "DISCONNECT not written within %u s: the broker does not read; closing the connection",
      DISCONNECT_GRACE_SECONDS)));
}

kv::Status BrokerClient::writeGoodbyeNow() {
  const mqtt::MqttPacket packet = mqtt::makeDisconnect();
  size_t from = 0;
  if (headWritten_ > 0) {
    if (outputQueue_.front().type != mqtt::Disconnect) {
      return kv::Status(Kind::Cancelled,
                        "closing the connection without DISCONNECT: a packet is half written");
    }
    from = headWritten_;
  }
  const size_t size = packet.bytes.size() - from;
  errno = 0;
  const ssize_t n = ::send(socket_, packet.bytes.data() + from, size, MSG_NOSIGNAL);
  if (n == static_cast<ssize_t>(size)) return kv::Status::ok();
  return kv::Status::io(
      strprintf("couldn't write packet (%i) [%s]", static_cast<int>(n), strerror(errno)));
}
