// BrokerClient: the service's live connection to one configured broker.
//
// A client owns the broker socket, the MQTT connection state, the queue of
// packets to send, the commands that wait for the broker, and its timers.
// There is at most one client per broker row; clientMap (service_tables.h)
// holds it through a shared handle, and a command holds a second handle
// while it runs. The client reads its BrokerEntry's settings at each use, so
// an edit of the row takes effect at the next use. It does not own the row
// or the tables.
//
// Connection states and what moves the client between them:
//
//   from                event                             to
//   Idle, Disconnecting connect                           Resolving
//   Resolving           TCP connect started (an IPv4      Connecting
//                       literal at once, a host name
//                       after the resolution reply)
//   Resolving           no address / connect refused      Idle (teardown)
//   Connecting          socket writable, no error         SocketConnected
//   Connecting          socket writable with an error     Idle (teardown)
//   SocketConnected     plain: next loop turn             AwaitingConnack (CONNECT at the head)
//   SocketConnected     SSL reply with a stream           AwaitingConnack
//   SocketConnected     SSL failure reply                 Idle (teardown)
//   AwaitingConnack     CONNACK, return code 0            Connected
//   AwaitingConnack     CONNACK refusing                  Idle (teardown; waiters told why)
//   AwaitingConnack     any other packet                  Idle (teardown)
//   Connected           disconnect                        Disconnecting
//   Disconnecting       socket writable                   Idle (DISCONNECT written, teardown)
//   Connected           queued DISCONNECT written         Idle (teardown)
//   any but Idle        read failure, peer closed,        Idle (teardown)
//                       error bits, broker silent after
//                       a PINGREQ or the CONNECT
//   in progress         connect time-out (5 s)            Idle (teardown)
//   any but Connected   request time-out (3 s)            Idle (teardown)
//   Idle                autoConnectTimer (10 s)           Resolving
//
// "In progress" means Resolving to AwaitingConnack. A teardown
// (connectionFailed) answers every waiting command, discards the queue,
// and closes the socket on the next loop turn, which also re-arms
// automatic connection.
//
// Every callback the client hands to the platform (replies to its
// requests, timers, deferred steps, the socket callback) is cancelled when
// the client is destroyed: none of them runs afterwards.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "mqtt/framer.h"
#include "mqtt/packet.h"
#include "mqtt/received.h"
#include "platform/handler.h"
#include "platform/runner.h"
#include "tables/broker_table.h"
#include "tables/service_tables.h"

enum class ConnectionState : uint32_t {
  Idle = 0,             // no connection and no attempt
  Resolving = 1,        // waiting for the name-resolution reply
  Connecting = 2,       // non-blocking TCP connect under way
  SocketConnected = 3,  // TCP up; SSL set-up pending or CONNECT about to be queued
  AwaitingConnack = 4,  // CONNECT queued or written; nothing else may be written
  Connected = 5,        // CONNACK received
  Disconnecting = 6,    // DISCONNECT goes out on the next writable event
};

class BrokerClient;

// A one-shot timer bound to one client callback. Arming replaces (and so
// cancels) a pending expiry; destroying the timer cancels it.
class ClientTimer {
 public:
  explicit ClientTimer(std::function<void()> onExpiry) : onExpiry_(std::move(onExpiry)) {}
  void arm(kv::Ticks delayTicks) { timer_ = kv::Timer(delayTicks, onExpiry_); }
  void cancel() { timer_ = kv::Timer(); }
  bool pending() const { return timer_.pending(); }

 private:
  std::function<void()> onExpiry_;
  kv::Timer timer_;
};

// Where a client hands every well-formed PUBLISH that arrives (the
// service's incoming-message handling). Called on the loop thread, inside
// the client's socket callback; it may queue packets on the client.
class PublishHandler {
 public:
  virtual ~PublishHandler() = default;
  virtual void handlePublish(BrokerClient& client, const mqtt::PublishFields& publish) = 0;
};

// A command waiting for the broker's acknowledgement of one packet
// identifier: answered exactly once (acknowledgement, time-out, teardown or
// disconnect); its completion runs only after a success reply.
struct PendingRequest {
  kv::message command;
  kv::TimerPtr timer;                 // the 3-second time-out
  std::function<void()> completion;   // may be empty
  uint64_t serial = 0;                // tells a reused identifier apart
};

class BrokerClient {
 public:
  using Completion = std::function<void()>;

  static constexpr uint32_t CONNECT_TIMEOUT_SECONDS = 5;
  static constexpr uint32_t REQUEST_TIMEOUT_SECONDS = 3;
  static constexpr uint32_t AUTO_CONNECT_SECONDS = 10;
  static constexpr uint32_t CLOSE_AFTER_DISCONNECT_SECONDS = 1;
  // Reply time-out of requests to platform services, in clock ticks.
  static constexpr uint32_t SERVICE_TIMEOUT_TICKS = 6000;
  // Queued bytes above which a publish command is refused ("Output queue
  // full"). Packets the protocol itself needs (acknowledgements, PINGREQ,
  // the re-subscriptions) are still queued, up to twice this; past that
  // the broker is not reading and the connection is torn down.
  static constexpr size_t MAX_QUEUED_BYTES = 8u * 1024 * 1024;
  // Bytes read from the socket per readable event, so that one busy broker
  // cannot hold the loop; the rest is read on the next turn.
  static constexpr size_t READ_BUDGET_BYTES = 256 * 1024;

  BrokerClient(BrokerEntry& broker, SubscriptionTables& tables, PublishHandler& incoming);
  ~BrokerClient();
  BrokerClient(const BrokerClient&) = delete;
  BrokerClient& operator=(const BrokerClient&) = delete;

  // ---- Connection ----
  // Starts an attempt unless one is under way or the client is Connected.
  // A given command waits in connectWaiters for CONNACK or the teardown; it
  // arms the 5-second connect time-out when the client was Idle or
  // Disconnecting.
  void connect(const kv::message* command);
  // Connected: discards the queue, fails waiting requests with
  // "Disconnecting", and writes DISCONNECT on the next writable event; the
  // command is answered at the teardown that follows. Otherwise answers the
  // command with success at once (an attempt under way goes on).
  void disconnect(const kv::message* command);

  // ---- Operations behind the publish and subscribe commands ----
  void publish(const kv::message& command, bool connectIfNeeded);
  void subscribe(const kv::message& command, bool connectIfNeeded);
  // Queues SUBSCRIBE for one filter; returns the packet identifier used.
  uint16_t sendSubscribe(const std::string& filter, uint32_t qos);

  // ---- Pending requests ----
  // The next packet identifier: 2 first, then up to 65535, then 1; never 0.
  uint16_t takePacketId();
  // The identifier takePacketId will hand out next, without taking it.
  uint16_t peekPacketId() const;
  // Waits for the acknowledgement of `id` for `command` (3-second
  // time-out). False, with a log line, when `id` is still in use.
  bool registerRequest(uint16_t id, const kv::message& command, Completion completion);
  // The broker acknowledged `id`: success reply, then the completion.
  void completeRequest(uint16_t id);

  // ---- Output queue ----
  // Appends a packet and asks for writable events.
  void enqueuePacket(mqtt::MqttPacket packet);
  // Puts a packet at the head of the queue (CONNECT only).
  void enqueuePacketFront(mqtt::MqttPacket packet);
  // Whether a packet of `bytes` more may be queued for a command.
  bool queueHasRoom(size_t bytes) const { return queuedBytes_ + bytes <= MAX_QUEUED_BYTES; }
  size_t queuedPackets() const { return outputQueue_.size(); }

  // ---- Requests to platform services on the client's behalf ----
  // Posts `request`; `onReply` runs once with the reply unless the client
  // is destroyed first. Returns -1 when the bus refuses the post.
  int postRequest(kv::message request, kv::ReplyFn onReply, uint32_t timeoutTicks);

  // ---- State ----
  ConnectionState state() const { return state_; }
  bool inProgress() const;
  BrokerEntry& broker() const { return *broker_; }
  SubscriptionTables& tables() const { return *tables_; }
  bool subscribeOnConnect() const { return subscribeOnConnect_; }
  void setSubscribeOnConnect(bool on) { subscribeOnConnect_ = on; }
  // On-message scripts running for this broker.
  uint32_t runningScripts = 0;
  // The descriptor of the broker stream; -1 when there is none.
  int socketFd() const { return socket_; }
  size_t pendingRequests() const { return pending_.size(); }

 private:
  // connection.cc
  bool startTcpConnect(uint32_t addressNetworkOrder);
  void onResolved(const kv::message& reply);
  void onTcpConnected(int fd);
  void onPlainConnected(int fd);
  void onSslReply(const kv::message& reply, int tcpFd);
  void startMqttSession(int fd, bool registerFd);
  void onConnack(const mqtt::MqttPacket& packet);
  void connectionFailed(bool socketOnly);
  void closeSocket(int fd);
  void onConnectTimeout();
  void registerSocket(int fd, int events);
  void setSocketInterest(int events);
  // Ends a requested disconnect now (DISCONNECT written, teardown), so that
  // a new attempt can start on a clean client.
  void finishDisconnect();
  bool writeDisconnect();
  void cancelServiceRequests();
  static void answer(const kv::message& command, const kv::message& reply);
  static void answerAll(std::vector<kv::message>& waiters, const kv::message& reply);
  // Runs `step` after `delayTicks` unless the client is destroyed first.
  void defer(kv::Ticks delayTicks, std::function<void()> step);
  kv::Ticks seconds(uint32_t n) const;

  // socket_io.cc
  enum class ReadResult { Drained, BudgetSpent, Failed, TornDown };
  void onSocketEvent(int fd, int events);
  ReadResult readAvailable(int fd);
  // Hands one packet on; false when it tore the connection down.
  bool dispatch(const mqtt::MqttPacket& packet);
  void onPublishPacket(const mqtt::MqttPacket& packet);
  void logReadFailure(long result, int err);
  void writeQueued();
  // One gathering write of what may be written now; false when the writer
  // must stop (the socket is full, or the connection was torn down).
  bool writeSome();
  void discardQueue();

  // requests.cc
  void onRequestTimeout(uint16_t id, uint64_t serial);
  // Answers every waiting request with a failure `text`, smallest
  // identifier first, and forgets them (their completions never run).
  void failAllRequests(const std::string& text);

  // keepalive.cc
  void sendPingreq();
  void onPacketWritten(uint8_t type);
  void onWrite();
  void onBrokerSilent();
  void armAutoConnect();
  void onAutoConnect();

  BrokerEntry* broker_;
  SubscriptionTables* tables_;
  PublishHandler* incoming_;

  int socket_ = -1;
  std::deque<mqtt::MqttPacket> outputQueue_;
  size_t headWritten_ = 0;  // bytes of the head packet already written
  size_t queuedBytes_ = 0;
  mqtt::PacketFramer framer_;
  uint16_t nextPacketId_ = 1;
  std::map<uint16_t, PendingRequest> pending_;
  uint64_t nextSerial_ = 1;
  std::vector<kv::message> connectWaiters_;
  std::vector<kv::message> disconnectWaiters_;
  bool subscribeOnConnect_ = true;
  ConnectionState state_ = ConnectionState::Idle;

  ClientTimer connectTimer_;
  ClientTimer pingTimer_;
  ClientTimer autoConnectTimer_;
  ClientTimer silenceTimer_;  // armed by a PINGREQ or CONNECT write, cancelled by any read
  const char* silenceAfter_ = "pingreq";

  std::map<uint64_t, kv::TimerPtr> deferred_;
  uint64_t nextDeferred_ = 1;
  std::set<int> posts_;           // requests whose replies belong to this client
  int resolvePost_ = -1;          // the name-resolution request under way
  int sslPost_ = -1;              // the SSL set-up request under way
  std::vector<int> closingFds_;   // torn down, closed on the next loop turn
};
