// BrokerClient: construction, connection set-up, CONNACK, disconnect,
// teardown and destruction.
#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include "client/broker_client.h"
#include "mqtt/builders.h"
#include "platform/ipaddr.h"
#include "platform/looper.h"
#include "platform/system.h"
#include "service/log.h"
#include "service/service_globals.h"

namespace {

// Name resolution: string 3 the host name; the reply's be32 4 its address.
const std::vector<uint32_t> RESOLVER_PATH = {14};
constexpr uint32_t RESOLVE_COMMAND = 3;
constexpr kv::string_id RESOLVE_HOST_FIELD{3};
constexpr kv::be32_id RESOLVED_ADDRESS_FIELD{4};

// SSL set-up: hands the connected TCP socket over and gets back the
// descriptor of a plain-text stream to use instead.
const std::vector<uint32_t> SSL_PATH = {12};
constexpr uint32_t SSL_COMMAND = 1;
constexpr kv::bool_id SSL_FLAG1_FIELD{1};
constexpr kv::bool_id SSL_FLAG4_FIELD{4};
constexpr kv::string_id SSL_SERVER_NAME_FIELD{15};
constexpr kv::string_id SSL_HOST_FIELD{7};
constexpr kv::u32_id SSL_CERTIFICATE_FIELD{2};

// The reasons a broker gives for refusing a connection (CONNACK codes).
std::string refusalReason(uint8_t code) {
  switch (code) {
    case 1: return "unacceptable protocol version";
    case 2: return "identifier rejected";
    case 3: return "server unavailable";
    case 4: return "bad user name or password";
    case 5: return "not authorised";
    default: return "refusal code " + std::to_string(code);
  }
}

// Whether the broker's address is a numeric IPv4 address other than 0.0.0.0.
bool isIpv4Literal(const std::string& address, uint32_t& networkOrder) {
  IPAddr ip;
  if (!ip.fromStr(address.data(), address.size())) return false;
  networkOrder = ip.addr;
  return true;
}

}  // namespace

BrokerClient::BrokerClient(BrokerEntry& broker, SubscriptionTables& tables,
                           PublishHandler& incoming)
    : broker_(&broker),
      tables_(&tables),
      incoming_(&incoming),
      connectTimer_([this] { onConnectTimeout(); }),
      pingTimer_([this] { sendPingreq(); }),
      autoConnectTimer_([this] { onAutoConnect(); }),
      silenceTimer_([this] { onBrokerSilent(); }) {
  armAutoConnect();
}

BrokerClient::~BrokerClient() {
  kv::ThinRunner& runner = kv::getRunner();
  for (auto& entry : deferred_) runner.removeTimer(entry.second);
  for (auto& entry : pending_) runner.removeTimer(entry.second.timer);
  if (kv::Looper* loop = kv::getLooper()) {
    for (int id : posts_) loop->cancelPost(id);
  }
  if (state_ != ConnectionState::Idle && socket_ >= 0) {
    runner.removeSocket(socket_);
    writeDisconnect();
    const int fd = socket_;
    runner.addTimer(seconds(CLOSE_AFTER_DISCONNECT_SECONDS), [fd] { ::close(fd); });
  } else if (socket_ >= 0) {
    ::close(socket_);
  }
  // Torn down, but the close step of the next loop turn has not run yet.
  for (int fd : closingFds_) ::close(fd);
  logBrokerInfo(*broker_, "disconnected from " + broker_->address);
}

kv::Ticks BrokerClient::seconds(uint32_t n) const { return kv::Ticks{n} * ticksPerSecond; }

bool BrokerClient::inProgress() const {
  return state_ == ConnectionState::Resolving || state_ == ConnectionState::Connecting ||
         state_ == ConnectionState::SocketConnected ||
         state_ == ConnectionState::AwaitingConnack;
}

void BrokerClient::answer(const kv::message& command, const kv::message& reply) {
  if (kv::Looper* loop = kv::getLooper()) loop->replyMessage(command, reply);
}

void BrokerClient::answerAll(std::vector<kv::message>& waiters, const kv::message& reply) {
  std::vector<kv::message> answered;
  answered.swap(waiters);
  for (const kv::message& command : answered) answer(command, reply);
}

void BrokerClient::defer(kv::Ticks delayTicks, std::function<void()> step) {
  const uint64_t key = nextDeferred_++;
  deferred_[key] = kv::getRunner().addTimer(delayTicks, [this, key, step = std::move(step)] {
    deferred_.erase(key);
    step();
  });
}

int BrokerClient::postRequest(kv::message request, kv::ReplyFn onReply, uint32_t timeoutTicks) {
  kv::Looper* loop = kv::getLooper();
  if (!loop) return -1;
  auto id = std::make_shared<int>(-1);
  *id = loop->postMessage(std::move(request), [this, id, onReply = std::move(onReply)](
                                                  const kv::message& reply) {
    posts_.erase(*id);
    onReply(reply);
  }, timeoutTicks);
  if (*id >= 0) posts_.insert(*id);
  return *id;
}

void BrokerClient::cancelServiceRequests() {
  kv::Looper* loop = kv::getLooper();
  for (int* id : {&resolvePost_, &sslPost_}) {
    if (*id < 0) continue;
    if (loop) loop->cancelPost(*id);
    posts_.erase(*id);
    *id = -1;
  }
}

// ---- Sockets ------------------------------------------------------------------

void BrokerClient::registerSocket(int fd, int events) {
  kv::getRunner().addSocket(fd, events, [this](int ready, int bits) { onSocketEvent(ready, bits); });
}

void BrokerClient::setSocketInterest(int events) {
  if (socket_ >= 0) kv::getRunner().changeSocket(socket_, events);
}

// ---- Connecting ---------------------------------------------------------------

void BrokerClient::connect(const kv::message* command) {
  if (state_ == ConnectionState::Disconnecting) finishDisconnect();
  if (command) {
    connectWaiters_.push_back(*command);
    if (state_ == ConnectionState::Idle) {
      logBrokerInfo(*broker_, "Scheduling connect timeout");
      connectTimer_.arm(seconds(CONNECT_TIMEOUT_SECONDS));
    }
  }
  if (state_ != ConnectionState::Idle) return;  // Connected, or an attempt under way
  state_ = ConnectionState::Resolving;
  uint32_t address = 0;
  if (isIpv4Literal(broker_->address, address)) {
    if (!startTcpConnect(address)) connectionFailed(false);
    return;
  }
  kv::message request;
  request.set(kv::PATH_FIELD, RESOLVER_PATH);
  request.set(kv::COMMAND_FIELD, RESOLVE_COMMAND);
  request.set(RESOLVE_HOST_FIELD, broker_->address);
  resolvePost_ = postRequest(std::move(request),
                             [this](const kv::message& reply) { onResolved(reply); },
                             SERVICE_TIMEOUT_TICKS);
  if (resolvePost_ < 0) {
    logError("couldn't resolve " + broker_->address);
    connectionFailed(false);
  }
}

void BrokerClient::onResolved(const kv::message& reply) {
  resolvePost_ = -1;
  if (state_ != ConnectionState::Resolving) return;
  const uint32_t address = kv::isError(reply) ? 0 : reply.get(RESOLVED_ADDRESS_FIELD, 0);
  if (address == 0) {
    logError("couldn't resolve " + broker_->address);
    connectionFailed(false);
    return;
  }
  if (!startTcpConnect(address)) connectionFailed(false);
}

bool BrokerClient::startTcpConnect(uint32_t addressNetworkOrder) {
  state_ = ConnectionState::Connecting;
  logBrokerInfo(*broker_, "connecting to " + broker_->address);
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    logError(strprintf("internal error [%s]", strerror(errno)));
    return false;
  }
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
    logError(strprintf("internal error [%s]", strerror(errno)));
    ::close(fd);
    return false;
  }
  socket_ = fd;
  registerSocket(fd, POLLOUT);
  return true;
}

// The socket became writable while connecting: the TCP connect finished,
// successfully or not (SO_ERROR tells).
void BrokerClient::onTcpConnected(int fd) {
  int err = 0;
  socklen_t length = sizeof err;
  if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &length) != 0) err = errno;
  if (err != 0) {
    logError(strprintf("internal error [%s]", strerror(err)));
    connectionFailed(false);
    return;
  }
  logBrokerInfo(*broker_, "socket connected");
  state_ = ConnectionState::SocketConnected;
  if (!broker_->useSsl) {
    setSocketInterest(POLLIN);
    defer(0, [this, fd] { onPlainConnected(fd); });
    return;
  }
  kv::message request;
  request.set(kv::PATH_FIELD, SSL_PATH);
  request.set(kv::COMMAND_FIELD, SSL_COMMAND);
  request.set(SSL_FLAG1_FIELD, false);
  request.set(SSL_FLAG4_FIELD, true);
  uint32_t literal = 0;
  if (!isIpv4Literal(broker_->address, literal) || literal == 0) {
    request.set(SSL_SERVER_NAME_FIELD, broker_->address);
    request.set(SSL_HOST_FIELD, broker_->address);
  }
  request.set(kv::SOCKET_FIELD, static_cast<uint32_t>(fd));
  if (broker_->certificate != BrokerEntry::NO_CERTIFICATE) {
    request.set(SSL_CERTIFICATE_FIELD, broker_->certificate);
  }
  // Until the SSL service answers, the bytes on this socket are its own:
  // the client must not read them.
  kv::getRunner().removeSocket(fd);
  sslPost_ = postRequest(std::move(request),
                         [this, fd](const kv::message& reply) { onSslReply(reply, fd); },
                         SERVICE_TIMEOUT_TICKS);
  if (sslPost_ < 0) {
    logError("ssl failure [the SSL service cannot be reached]");
    connectionFailed(false);
  }
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
    logError("ssl failure [" +
             (kv::isError(reply) ? kv::getError(reply) : std::string("no stream in the reply")) +
             "]");
    // The attempt ends here: waiting commands are told, and automatic
    // connection tries again later.
    connectionFailed(false);
    return;
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
  const std::string& clientId = broker_->clientId.empty() ? defaultClientId : broker_->clientId;
  const mqtt::Will will{broker_->willTopic, broker_->willMessage,
                        static_cast<uint8_t>(broker_->willQos), broker_->willRetain};
  mqtt::BuildResult connectPacket =
      mqtt::makeConnect(clientId, broker_->user, broker_->password, broker_->keepAlive, will);
  if (!connectPacket.ok()) {
    logBrokerWarning(*broker_, connectPacket.error());
    connectionFailed(false);
    return;
  }
  if (registerFd) registerSocket(fd, POLLIN | POLLOUT);
  enqueuePacketFront(connectPacket.takePacket());
  state_ = ConnectionState::AwaitingConnack;
}

void BrokerClient::onConnack(const mqtt::MqttPacket& packet) {
  if (packet.remainingLength != 2) {
    logBrokerWarning(*broker_, "malformed CONNACK; closing the connection");
    connectionFailed(false);
    return;
  }
  const uint8_t code = packet.bytes[3];
  if (code != 0) {
    const std::string refusal = "Connection refused: " + refusalReason(code);
    logBrokerWarning(*broker_, refusal);
    answerAll(connectWaiters_, kv::failedMsg(refusal));
    connectionFailed(false);
    return;
  }
  logBrokerInfo(*broker_, "connected to " + broker_->address);
  answerAll(connectWaiters_, kv::message());
  connectTimer_.cancel();
  state_ = ConnectionState::Connected;
  if (subscribeOnConnect_) {
    for (SubscriptionEntry& row : tables_->subscriptions) {
      if (row.brokerId == broker_->id) sendSubscribe(row.topic, row.qos);
    }
  }
  setSocketInterest(POLLIN | POLLOUT);
  broker_->connected = true;
}

void BrokerClient::onConnectTimeout() { connectionFailed(false); }

// ---- Disconnecting and teardown -----------------------------------------------

void BrokerClient::disconnect(const kv::message* command) {
  if (state_ != ConnectionState::Connected) {
    if (command) answer(*command, kv::message());
    return;
  }
  if (command) disconnectWaiters_.push_back(*command);
  discardQueue();
  state_ = ConnectionState::Disconnecting;
  failAllRequests("Disconnecting");
  setSocketInterest(POLLIN | POLLOUT);
}

void BrokerClient::finishDisconnect() {
  writeDisconnect();
  connectionFailed(false);
}

bool BrokerClient::writeDisconnect() {
  const mqtt::MqttPacket packet = mqtt::makeDisconnect();
  errno = 0;
  const ssize_t n = ::send(socket_, packet.bytes.data(), packet.bytes.size(), MSG_NOSIGNAL);
  if (n != static_cast<ssize_t>(packet.bytes.size())) {
    logBrokerWarning(*broker_, strprintf("couldn't write packet (%i) [%s]", static_cast<int>(n),
                                         strerror(errno)));
    return false;
  }
  return true;
}

void BrokerClient::connectionFailed(bool socketOnly) {
  if (!socketOnly) {
    state_ = ConnectionState::Idle;
    cancelServiceRequests();
    failAllRequests("Connection failed");
    discardQueue();
    answerAll(disconnectWaiters_, kv::message());
    answerAll(connectWaiters_, kv::failedMsg("Connection failed"));
    connectTimer_.cancel();
    silenceTimer_.cancel();
    broker_->connected = false;
    framer_.reset();
  }
  // The socket stops being watched now and is closed on the next loop
  // turn, outside whatever callback of it is running.
  const int fd = socket_;
  if (fd >= 0) {
    kv::getRunner().removeSocket(fd);
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
