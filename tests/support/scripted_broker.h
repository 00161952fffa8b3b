// A broker that the test drives: a loopback TCP listener in the test's own
// thread. The test turns the event loop (so the client under test runs),
// then reads what the client wrote and answers with crafted bytes. Reads
// turn the loop a bounded number of times, so a client that never writes
// fails the test instead of hanging it.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "mqtt/builders.h"
#include "mqtt/framer.h"
#include "mqtt/hex.h"

// Hex text as tests/mqtt/hex.h writes it ("10 0F 00 04"), over byte strings.
inline std::string hexText(const std::string& bytes) {
  return hexOf(mqtt::Bytes(bytes.begin(), bytes.end()));
}
inline std::string hexToBytes(const std::string& text) {
  const mqtt::Bytes bytes = hexBytes(text);
  return std::string(bytes.begin(), bytes.end());
}
// The bytes of a PUBLISH as the builders make it.
inline std::string publishBytes(const std::string& topic, uint8_t qos, uint16_t id,
                                const std::string& data) {
  const mqtt::Bytes bytes = mqtt::makePublish(topic, qos, false, id, data).packet().bytes;
  return std::string(bytes.begin(), bytes.end());
}

// A byte stream a client wrote, cut into MQTT packets: the whole ones in
// order, then the bytes that follow them ("" when the stream ends between
// packets): a last packet cut short, or all from one too large to frame.
struct WrittenPackets {
  std::vector<mqtt::MqttPacket> whole;
  std::string cutShort;
};
inline WrittenPackets splitPackets(const std::string& bytes) {
  mqtt::PacketFramer framer;
  framer.append(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
  WrittenPackets out;
  size_t used = 0;
  for (mqtt::MqttPacket packet; framer.next(packet) == mqtt::PacketFramer::Result::Packet;) {
    used += packet.bytes.size();
    out.whole.push_back(std::move(packet));
  }
  out.cutShort = bytes.substr(used);
  return out;
}

class ScriptedBroker {
 public:
  using Turn = std::function<void()>;

  explicit ScriptedBroker(Turn turn) : turn_(std::move(turn)) {
    listen_ = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof addr;
    if (::bind(listen_, reinterpret_cast<sockaddr*>(&addr), length) == 0 &&
        ::listen(listen_, 8) == 0 &&
        getsockname(listen_, reinterpret_cast<sockaddr*>(&addr), &length) == 0) {
      port_ = ntohs(addr.sin_port);
    }
  }
  ~ScriptedBroker() {
    drop();
    if (listen_ >= 0) ::close(listen_);
  }
  ScriptedBroker(const ScriptedBroker&) = delete;
  ScriptedBroker& operator=(const ScriptedBroker&) = delete;

  uint16_t port() const { return port_; }
  // Receive buffer of the connections accepted from now on. A small one
  // makes the client's send buffer fill soon once the broker stops
  // reading.
  void limitReceiveBuffer(int bytes) {
    ::setsockopt(listen_, SOL_SOCKET, SO_RCVBUF, &bytes, sizeof bytes);
  }

  // Turns the loop up to `turns` times until a client connects (the
  // connection the broker had is dropped); false when none does.
  bool accept(int turns = 200) {
    drop();
    for (int i = 0; i < turns; ++i) {
      turn_();
      conn_ = ::accept4(listen_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
      if (conn_ < 0) continue;
      const int on = 1;
      setsockopt(conn_, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
      return true;
    }
    return false;
  }

  // Everything that arrives while the loop turns a few times.
  std::string drain(int turns = 10) {
    std::string got;
    for (int i = 0; i < turns && conn_ >= 0; ++i) {
      turn_();
      got += take(SIZE_MAX);
    }
    return hexText(got);
  }
  // Up to `n` bytes that have arrived, without turning the loop: the
  // client does not run, so it cannot fill what the read freed.
  std::string take(size_t n) {
    std::string got;
    char buf[65536];
    ssize_t r = 1;
    while (got.size() < n && conn_ >= 0 &&
           (r = ::read(conn_, buf, std::min(sizeof buf, n - got.size()))) > 0) {
      got.append(buf, static_cast<size_t>(r));
    }
    if (r == 0) eof_ = true;
    return got;
  }
  // Everything the client writes until it closes the connection, turning
  // the loop (a bounded number of times without progress).
  std::string readToEnd() {
    std::string got;
    for (int idle = 0; !eof_ && idle < 1000 && conn_ >= 0;) {
      const std::string more = take(SIZE_MAX);
      idle = more.empty() ? idle + 1 : 0;
      got += more;
      if (!eof_) turn_();
    }
    return got;
  }
  // Whether a read has found the client's end closed.
  bool sawEnd() const { return eof_; }
  // Whether the client has closed its end (reading what is left first).
  bool closedByClient() {
    if (!eof_) drain();
    return eof_;
  }

  void send(const std::string& hex) { sendBytes(hexToBytes(hex)); }
  void sendBytes(const std::string& bytes) {
    size_t at = 0;
    for (int i = 0; at < bytes.size() && i < 10000; ++i) {
      ssize_t n = ::send(conn_, bytes.data() + at, bytes.size() - at, MSG_NOSIGNAL);
      if (n > 0) {
        at += static_cast<size_t>(n);
      } else {
        turn_();
      }
    }
    turn_();
    turn_();
  }
  // Accepts a connection and completes the MQTT handshake: reads CONNECT
  // (returned in hex) and answers CONNACK with `code`.
  std::string handshake(uint8_t code = 0) {
    if (!accept()) return "no connection";
    const std::string connect = drain();
    if (connect.empty()) return "no CONNECT";
    send(code == 0 ? "20 02 00 00" : "20 02 00 0" + std::to_string(code));
    return connect;
  }
  void drop() {
    if (conn_ >= 0) ::close(conn_);
    conn_ = -1;
    eof_ = false;
  }

 private:
  Turn turn_;
  int listen_ = -1;
  int conn_ = -1;
  bool eof_ = false;
  uint16_t port_ = 0;
};
