// Fuzz target: arbitrary bytes as the stream a broker sends to a client.
//
// Input: one mode byte, then the stream. Bit 0 of the mode: the broker has
// answered CONNACK first (the client is Connected) or not (it waits for
// CONNACK). Bits 1 to 4: the size of the pieces the stream arrives in.
// Bit 5: the broker closes after the stream. The client runs on a manual
// clock against a loopback listener, with subscription rows that carry
// scripts so that arriving messages go the whole way (record, match,
// script request). Any crash, leak or sanitizer report is a fault; so is a
// client left in a state that no stream may reach.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <iostream>
#include <memory>
#include <string>

#include "client/broker_client.h"
#include "commands/incoming.h"
#include "platform/looper.h"

namespace {

void require(bool condition) {
  if (!condition) __builtin_trap();
}

// Set up once: a root directory for the tables and a quiet console.
struct Environment {
  Environment() {
    char dir[] = "/tmp/mqtt-client-fuzz-XXXXXX";
    require(mkdtemp(dir) != nullptr);
    root = dir;
    setenv("KV_ROOT", dir, 1);
    std::cout.rdbuf(nullptr);
  }
  ~Environment() { std::filesystem::remove_all(root); }
  std::string root;
};

// A loopback listener standing in for the broker, one per input so that
// no connection of an earlier input can be taken for this one's.
struct Listener {
  Listener() {
    fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof addr;
    require(::bind(fd, reinterpret_cast<sockaddr*>(&addr), length) == 0 && ::listen(fd, 4) == 0 &&
            getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &length) == 0);
    port = ntohs(addr.sin_port);
  }
  ~Listener() { ::close(fd); }
  int fd;
  uint16_t port;
};

void sendAll(int fd, const uint8_t* data, size_t size, kv::Looper& loop) {
  for (size_t at = 0, tries = 0; at < size && tries < 100000; ++tries) {
    const ssize_t n = ::send(fd, data + at, size - at, MSG_NOSIGNAL);
    if (n > 0) at += static_cast<size_t>(n);
    if (n <= 0 && errno != EAGAIN) return;  // the client has gone
    loop.turn();
  }
}

void turns(kv::Looper& loop, int n) {
  for (int i = 0; i < n; ++i) loop.turn();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static Environment environment;
  if (size == 0) return 0;
  const uint8_t mode = data[0];
  const size_t piece = 1 + ((mode >> 1) & 0x0F) * 64;
  ++data;
  --size;

  kv::ManualClock clock;
  kv::LooperOptions options;
  options.clock = &clock;
  kv::Looper loop(options);
  Listener listener;
  SubscriptionTables tables;
  for (const char* filter : {"#", "a/+", "a/b"}) {
    auto row = std::make_unique<SubscriptionEntry>();
    row->brokerId = 1;
    row->setTopic(filter);
    row->script = filter;
    tables.subscriptions.add(std::move(row), false);
  }
  BrokerEntry broker;
  broker.id = 1;
  broker.name = "fuzz";
  broker.address = "127.0.0.1";
  broker.port = listener.port;
  broker.scriptLimit = 2;
  IncomingMessages incoming(loop, tables);
  {
    BrokerClient client(loop, broker, tables, incoming);
    client.connect();
    int peer = -1;
    for (int i = 0; i < 100 && peer < 0; ++i) {
      loop.turn();
      peer = accept4(listener.fd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    }
    require(peer >= 0);
    turns(loop, 4);
    if (mode & 1) {
      const uint8_t connack[] = {0x20, 0x02, 0x00, 0x00};
      sendAll(peer, connack, sizeof connack, loop);
      turns(loop, 4);
      require(client.state() == ConnectionState::Connected);
    }
    for (size_t at = 0; at < size; at += piece) {
      sendAll(peer, data + at, std::min(piece, size - at), loop);
      loop.turn();
    }
    if (mode & 0x20) ::close(peer);
    turns(loop, 8);
    const ConnectionState state = client.state();
    require(state == ConnectionState::Idle || state == ConnectionState::AwaitingConnack ||
            state == ConnectionState::Connected || state == ConnectionState::Disconnecting);
    require(tables.received.size() <= maxReceivedRows + 1);
    require(client.runningScripts <= broker.scriptLimit);
    if (!(mode & 0x20)) ::close(peer);
  }
  clock.advance(2 * clock.ticksPerSecond());
  turns(loop, 4);
  return 0;
}
