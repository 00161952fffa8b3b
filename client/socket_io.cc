// BrokerClient: the socket callback, the reader and dispatch, the output
// queue and the writer.
//
// Reading: each readable event reads what is available (up to
// READ_BUDGET_BYTES) into the framer and handles every complete packet in
// it; a packet that arrives over several events is assembled, and an event
// that finds no data is not a failure. A failed read, or a stream that
// breaks MQTT, tears the connection down at once. Dispatch hands each
// packet to its handler and sends every acknowledgement (acknowledge).
//
// Writing: queued packets go out in order, several per writable event in
// one gathering write. A short write keeps the unwritten rest at the head
// of the queue for the next writable event: nothing is dropped half
// written. Until CONNACK only CONNECT may be written; write interest is off
// while the rest waits for CONNACK, and CONNACK turns it on again. A
// DISCONNECT ends the queue: once it is written the connection is torn down.
#include <errno.h>
#include <poll.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include <array>
#include <utility>

#include "base/log.h"
#include "client/broker_client.h"
#include "mqtt/builders.h"

namespace {
constexpr int ERROR_BITS = POLLERR | POLLHUP | POLLNVAL;
constexpr size_t MAX_IOVECS = 64;
constexpr size_t READ_CHUNK = 64 * 1024;

// A text from the broker (a topic) as one bounded, printable log field.
std::string loggable(const std::string& text) {
  constexpr size_t MAX_SHOWN = 200;
  std::string shown;
  for (size_t i = 0; i < text.size() && i < MAX_SHOWN; ++i) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    shown += c >= 0x20 && c < 0x7F ? std::string(1, static_cast<char>(c)) : strprintf("\\x%02X", c);
  }
  return text.size() > MAX_SHOWN ? shown + "..." : shown;
}

// Why a socket event with error bits, and nothing read that says more,
// ends the connection.
kv::Status socketEventFailure(int fd, int events) {
  if ((events & ERROR_BITS) == POLLHUP) {
    return kv::Status(kv::Status::Kind::PeerClosed, "peer hung up");
  }
  if (events & POLLNVAL) return kv::Status::io("socket error [the descriptor is not open]");
  int err = 0;
  socklen_t length = sizeof err;
  if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &length) != 0) err = errno;
  return kv::Status::io(strprintf("socket error [%s]", strerror(err)));
}

// "packet received (3)": the console line of every packet, made once per
// type rather than once per packet.
const std::string& packetReceivedText(uint8_t type) {
  static const std::array<std::string, 16> texts = [] {
    std::array<std::string, 16> all;
    for (size_t t = 0; t < all.size(); ++t) all[t] = "packet received (" + std::to_string(t) + ")";
    return all;
  }();
  return texts[type & 0x0F];
}

}  // namespace

void BrokerClient::onSocketEvent(int fd, int events) {
  if (fd != socket_) return;
  // While connecting, only the connect's outcome counts: a read would take
  // the socket's error (a refused connect) before SO_ERROR could tell it.
  if (state_ == ConnectionState::Connecting) {
    if (events & (POLLOUT | ERROR_BITS)) onTcpConnected(fd);
    return;
  }
  ReadResult read = ReadResult::Drained;
  if (events & POLLIN) {
    read = readAvailable(fd);
    if (read == ReadResult::TornDown || fd != socket_) return;
  }
  if (events & POLLOUT) {
    writeQueued();
    if (fd != socket_) return;
  }
  // A hang-up with data still unread waits until the data has been read.
  const int errors = events & ERROR_BITS;
  if (!errors || (errors == POLLHUP && read == ReadResult::BudgetSpent)) return;
  if (errors == POLLNVAL && state_ == ConnectionState::SocketConnected) return releaseSocket();
  teardown(socketEventFailure(fd, events));
}

// ---- Reading -------------------------------------------------------------------

BrokerClient::ReadResult BrokerClient::readAvailable(int fd) {
  uint8_t buffer[READ_CHUNK];
  size_t budget = READ_BUDGET_BYTES;
  while (budget > 0) {
    errno = 0;
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) {
      return ReadResult::Drained;
    }
    if (n <= 0) {
      teardown(readFailure(n, errno));
      return ReadResult::TornDown;
    }
    report_.bytesIn += static_cast<uint64_t>(n);
    silenceTimer_.cancel();
    framer_.append(buffer, static_cast<size_t>(n));
    budget -= std::min(budget, static_cast<size_t>(n));
    if (!dispatchFramed(fd)) return ReadResult::TornDown;
    // Less than a full chunk: the socket is empty for now.
    if (static_cast<size_t>(n) < sizeof buffer) return ReadResult::Drained;
  }
  return ReadResult::BudgetSpent;
}

bool BrokerClient::dispatchFramed(int fd) {
  mqtt::MqttPacket packet;
  for (;;) {
    const mqtt::PacketFramer::Result result = framer_.next(packet);
    if (result == mqtt::PacketFramer::Result::NeedMore) return true;
    if (result == mqtt::PacketFramer::Result::TooLarge) {
      teardown(kv::Status::tooLarge(strprintf("packet too large (%u bytes)", framer_.announced())));
      return false;
    }
    logBrokerInfo(*broker_, packetReceivedText(packet.type));
    const bool whole = result == mqtt::PacketFramer::Result::Packet;
    if (!expectedNow(packet.type)) return false;
    if (whole ? !dispatch(packet) : !skipPublish(packet)) return false;
    if (fd != socket_) return false;
  }
}

// The read that failed is named by where the stream stopped: between
// packets, inside the remaining length, or inside a body. A read of 0 is
// the broker closing the connection.
kv::Status BrokerClient::readFailure(long result, int err) const {
  const kv::Status::Kind kind = result == 0 ? kv::Status::Kind::PeerClosed : kv::Status::Kind::Io;
  const int value = static_cast<int>(result);
  switch (framer_.stage()) {
    case mqtt::PacketFramer::Stage::ControlByte:
      if (result == 0) return kv::Status(kind, "peer disconnected");
      return kv::Status(kind, strprintf("couldn't read control header (%i) [%s]", value, strerror(err)));
    case mqtt::PacketFramer::Stage::LengthByte:
      return kv::Status(kind, strprintf("couldn't read length byte (%i) [%s]", value, strerror(err)));
    case mqtt::PacketFramer::Stage::Body:
      break;
  }
  return kv::Status(kind, strprintf("couldn't read packet to buffer (%i) [%s]", value, strerror(err)));
}

bool BrokerClient::expectedNow(uint8_t type) {
  const bool connack = type == mqtt::Connack;
  const bool expected = state_ == ConnectionState::AwaitingConnack
                            ? connack
                            : (state_ == ConnectionState::Connected ||
                               state_ == ConnectionState::Disconnecting) && !connack;
  if (expected) return true;
  // A broker sends CONNACK first and once; anything else means the stream
  // cannot be trusted.
  teardown(kv::Status(kv::Status::Kind::Protocol,
                      strprintf("unexpected packet (%i); closing the connection", type)));
  return false;
}

bool BrokerClient::dispatch(const mqtt::MqttPacket& packet) {
  const int fd = socket_;
  switch (packet.type) {
    case mqtt::Connack:
      onConnack(packet);
      break;
    case mqtt::Publish:
      onPublishPacket(packet);
      break;
    case mqtt::Puback:
      onPuback(mqtt::packetIdOf(packet));
      break;
    case mqtt::Suback:
      onSuback(packet);
      break;
    case mqtt::Pubcomp:
    case mqtt::Unsuback:
      completeRequest(mqtt::packetIdOf(packet));
      break;
    case mqtt::Pubrec:
    case mqtt::Pubrel:
      acknowledge(packet.type, 0, mqtt::packetIdOf(packet));
      break;
    default:  // PINGRESP, and packets only a broker receives: nothing to do
      break;
  }
  return socket_ == fd;
}

// Every acknowledgement the client sends is queued here:
//
//   received            sent
//   PUBLISH, QoS 1      PUBACK
//   PUBLISH, QoS 2      PUBREC
//   PUBREC              PUBREL   (our QoS 2 publish waits on for PUBCOMP)
//   PUBREL              PUBCOMP  (the broker's QoS 2 message)
//
// A PUBLISH with QoS 0, or with both QoS bits set, is not acknowledged.
void BrokerClient::acknowledge(uint8_t type, uint8_t qos, uint16_t packetId) {
  if (type == mqtt::Publish && qos == 1) enqueuePacket(mqtt::makeAck(mqtt::Puback, 0, packetId));
  if (type == mqtt::Publish && qos == 2) enqueuePacket(mqtt::makeAck(mqtt::Pubrec, 0, packetId));
  if (type == mqtt::Pubrec) enqueuePacket(mqtt::makeAck(mqtt::Pubrel, 2, packetId));
  if (type == mqtt::Pubrel) enqueuePacket(mqtt::makeAck(mqtt::Pubcomp, 0, packetId));
}

// The acknowledgement goes out whatever the handling of the message does.
void BrokerClient::onPublishPacket(const mqtt::MqttPacket& packet) {
  const std::optional<mqtt::PublishFields> message = mqtt::parsePublish(packet);
  if (!message) {
    return teardown(kv::Status(kv::Status::Kind::Protocol,
                               "malformed PUBLISH (shorter than its topic); closing the connection"));
  }
  ++report_.messagesIn;
  acknowledge(mqtt::Publish, message->qos, message->packetId);
  arrivals_->handlePublish(*this, *message);
}

// A message above the body bound (a retained one would come back at every
// connection): acknowledged as its QoS asks, so that the broker does not
// send it again, and otherwise dropped with one line. The framer drops the
// rest of its body as it arrives.
bool BrokerClient::skipPublish(const mqtt::MqttPacket& head) {
  const int fd = socket_;
  const std::optional<mqtt::PublishFields> message = mqtt::parsePublishHead(head);
  if (!message) {
    teardown(kv::Status(kv::Status::Kind::Protocol,
                        "malformed PUBLISH (shorter than its topic); closing the connection"));
    return false;
  }
  logBrokerWarning(*broker_, strprintf("message too large (%u bytes), skipped: topic %s",
                                       head.remainingLength, loggable(message->topic).c_str()));
  acknowledge(mqtt::Publish, message->qos, message->packetId);
  return socket_ == fd;
}

// ---- Output queue ----------------------------------------------------------------

void BrokerClient::enqueuePacket(mqtt::MqttPacket packet) {
  queuedBytes_ += packet.bytes.size();
  outputQueue_.push_back(std::move(packet));
  if (queuedBytes_ > 2 * MAX_QUEUED_BYTES && socket_ >= 0) {
    return teardown(kv::Status::tooLarge(
        "output queue overflow: the broker does not read; closing the connection"));
  }
  setSocketInterest(POLLIN | POLLOUT);
}

void BrokerClient::enqueuePacketFront(mqtt::MqttPacket packet) {
  queuedBytes_ += packet.bytes.size();
  outputQueue_.push_front(std::move(packet));
  setSocketInterest(POLLIN | POLLOUT);
}

void BrokerClient::discardQueue() {
  outputQueue_.clear();
  queuedBytes_ = 0;
  headWritten_ = 0;
}

// ---- Writing -------------------------------------------------------------------

void BrokerClient::writeQueued() {
  while (writeSome()) {
  }
  if (socket_ < 0) return;
  const bool writable =
      !outputQueue_.empty() &&
      (state_ == ConnectionState::Connected || state_ == ConnectionState::Disconnecting ||
       (state_ == ConnectionState::AwaitingConnack && outputQueue_.front().type == mqtt::Connect));
  setSocketInterest(writable ? (POLLIN | POLLOUT) : POLLIN);
}

bool BrokerClient::writeSome() {
  if (outputQueue_.empty()) return false;
  const bool connectOnly = state_ == ConnectionState::AwaitingConnack;
  if (!connectOnly && state_ != ConnectionState::Connected &&
      state_ != ConnectionState::Disconnecting) {
    return false;
  }
  iovec parts[MAX_IOVECS];
  size_t count = 0;
  for (const mqtt::MqttPacket& packet : outputQueue_) {
    if (count == MAX_IOVECS || (connectOnly && packet.type != mqtt::Connect)) break;
    const size_t skip = count == 0 ? headWritten_ : 0;
    parts[count].iov_base = const_cast<uint8_t*>(packet.bytes.data() + skip);
    parts[count].iov_len = packet.bytes.size() - skip;
    ++count;
    if (packet.type == mqtt::Disconnect || packet.type == mqtt::Connect) break;
  }
  if (count == 0) return false;
  msghdr message{};
  message.msg_iov = parts;
  message.msg_iovlen = count;
  errno = 0;
  const ssize_t n = ::sendmsg(socket_, &message, MSG_NOSIGNAL);
  if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) return false;
  onWrite();
  if (n < 0) {
    teardown(kv::Status::io(
        strprintf("couldn't write packet (%i) [%s]", static_cast<int>(n), strerror(errno))));
    return false;
  }
  size_t written = static_cast<size_t>(n);
  report_.bytesOut += written;
  while (written > 0) {
    mqtt::MqttPacket& head = outputQueue_.front();
    const size_t left = head.bytes.size() - headWritten_;
    if (written < left) {
      headWritten_ += written;
      return false;  // the socket is full; the rest goes on the next event
    }
    written -= left;
    const uint8_t type = head.type;
    queuedBytes_ -= head.bytes.size();
    headWritten_ = 0;
    outputQueue_.pop_front();
    if (type == mqtt::Publish) ++report_.messagesOut;
    onPacketWritten(type);
    if (type == mqtt::Disconnect) {
      // The end a disconnect, or a publish with disconnect-after, asked for.
      if (disconnectAfterId_ != 0) completeRequest(std::exchange(disconnectAfterId_, 0));
      teardown(kv::Status::ok());
      return false;
    }
  }
  return true;
}
