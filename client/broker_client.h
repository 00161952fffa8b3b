// BrokerClient: the service's live connection to one configured broker, a
// protocol engine that carries out typed orders.
//
// A client owns the broker socket, the MQTT connection state, the queue of
// packets to send, the orders that wait for the broker, and its timers. It
// never sees a bus command: the command handler (commands/) decodes and
// checks each command, hands the client an order with a Completion, and
// turns the Status the completion receives into the reply. The client reads
// its BrokerEntry's settings at each use, so an edit of the row takes effect
// at the next use. It does not own the row or the tables.
//
// Connection states and what moves the client between them:
//
//   from                event                             to
//   Idle                connect                           Resolving
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
//   Connected           disconnect                        Disconnecting (DISCONNECT queued)
//   Connected or        queued DISCONNECT written         Idle (teardown)
//     Disconnecting
//   Disconnecting       grace (2 s) over                  Idle (teardown, no DISCONNECT)
//   Disconnecting       connect, publish, subscribe       Idle (what the socket takes is
//                                                         written, teardown), then as Idle
//   any but Idle        read failure, peer closed,        Idle (teardown)
//                       error bits, broker silent after
//                       a PINGREQ or the CONNECT
//   in progress         connect time-out (5 s)            Idle (teardown)
//   any but Connected   request time-out (3 s)            Idle (teardown)
//   Idle                autoConnectTimer (the back-off)   Resolving
//
// "In progress" means Resolving to AwaitingConnack. Every way back to Idle
// goes through teardown(why): it logs why once, keeps it for report(),
// answers every waiting order, discards the queue, and closes the socket on
// the next loop turn, which also re-arms automatic connection. The end of a
// requested disconnect tears down with an ok Status: it is not a failure.
//
// Automatic connection (keepalive.cc) runs for a row with autoConnect set,
// and for any row while its outbox holds messages. It waits the delay of
// ReconnectBackoff: 10 s x U[0.8, 1.2] after the client's creation or a
// teardown, doubling (up to 120 s) after each automatic attempt that failed,
// back to 10 s at CONNACK. Orders connect at once, whatever the back-off.
//
// Every callback the client hands to the platform (replies to its
// requests, timers, deferred steps, the socket callback) is cancelled when
// the client is destroyed: none of them runs afterwards, and the orders
// still waiting are never completed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "client/outbox.h"
#include "client/reconnect_backoff.h"
#include "contracts/broker_status.h"
#include "contracts/mqtt_service.h"
#include "mqtt/framer.h"
#include "mqtt/packet.h"
#include "mqtt/received.h"
#include "platform/looper.h"
#include "platform/runner.h"
#include "platform/status.h"
#include "tables/broker_table.h"
#include "tables/service_tables.h"

// The client's states are the ones the broker-status view shows, by the
// same numbers: Idle (no connection and no attempt), Resolving (waiting for
// the name-resolution reply), Connecting (non-blocking TCP connect under
// way), SocketConnected (TCP up; SSL set-up pending or CONNECT about to be
// queued), AwaitingConnack (CONNECT queued or written; nothing else may be
// written), Connected (CONNACK received), Disconnecting (DISCONNECT queued;
// the socket closes when it is written or DISCONNECT_GRACE_SECONDS have
// passed).
using ConnectionState = contract::broker_status::State;

class BrokerClient;

// A one-shot timer bound to one client callback. Arming replaces (and so
// cancels) a pending expiry; destroying the timer cancels it.
class ClientTimer {
 public:
  ClientTimer(kv::ThinRunner& runner, std::function<void()> onExpiry)
      : runner_(&runner), onExpiry_(std::move(onExpiry)) {}
  void arm(kv::Ticks delayTicks) { timer_ = kv::Timer(*runner_, delayTicks, onExpiry_); }
  void cancel() { timer_ = kv::Timer(); }
  bool pending() const { return timer_.pending(); }
  // Ticks until the expiry; 0 when it is not pending.
  kv::Ticks remainingTicks() const {
    const kv::Ticks due = timer_.due(), now = runner_->now();
    return due > now ? due - now : 0;
  }

 private:
  kv::ThinRunner* runner_;
  std::function<void()> onExpiry_;
  kv::Timer timer_;
};

// Where a client hands every well-formed PUBLISH that arrives, after it has
// queued the acknowledgement the message's QoS asks for (the service's
// incoming-message handling). Called on the loop thread, inside the
// client's socket callback.
class PublishHandler {
 public:
  virtual ~PublishHandler() = default;
  virtual void handlePublish(BrokerClient& client, const mqtt::PublishFields& message) = 0;
};

// The end of an order: called exactly once, with ok or with the failure
// whose message is the text the requester is told ("Timeout occured",
// "Connection failed", ...). Never called when the client is destroyed
// first (but see unsubscribe).
using Completion = std::function<void(const kv::Status&)>;

// An order waiting for the broker's acknowledgement of one packet
// identifier: completed exactly once (acknowledgement, time-out, teardown or
// disconnect); onSuccess runs only after a success.
struct PendingRequest {
  Completion done;
  std::function<void()> onSuccess;  // may be empty
  // The 3-second time-out; null for an outbox message, which waits for its
  // acknowledgement as long as the connection lasts.
  kv::TimerPtr timer;
  uint64_t serial = 0;              // tells a reused identifier apart
  bool exactlyOnce = false;         // a QoS 2 PUBLISH: PUBCOMP is the answer due
  std::string filter;               // a SUBSCRIBE: the filter and the QoS asked
  uint32_t qos = 0;
};

// What an operator may read about a client; report() takes a copy.
struct ClientReport {
  ConnectionState state = ConnectionState::Idle;
  uint32_t stateSince = 0;       // local time of the last state change (Looper::getLocaltime)
  kv::Status lastFailure;        // ok until the first failure
  uint32_t lastFailureTime = 0;  // local time; 0 before the first failure
  uint32_t failedAttempts = 0;   // attempts in a row that ended before CONNACK
  uint64_t messagesIn = 0;       // PUBLISH packets received
  uint64_t messagesOut = 0;      // PUBLISH packets written
  uint64_t bytesIn = 0;          // bytes read from the broker stream
  uint64_t bytesOut = 0;         // bytes written to it
  // Local time of the next automatic attempt, rounded up to the second; 0
  // when none is armed.
  uint32_t nextAttemptTime = 0;
  // Messages published while offline, waiting to go out, and their topic
  // and data bytes.
  uint64_t outboxMessages = 0;
  uint64_t outboxBytes = 0;
};

// The client identifier a row's CONNECT carries: its own, or the daemon's
// default when the row leaves it empty.
const std::string& effectiveClientId(const BrokerEntry& broker);

class BrokerClient {
 public:
  using PublishOrder = contract::mqtt_service::PublishOrder;
  using SubscribeOrder = contract::mqtt_service::SubscribeOrder;

  static constexpr uint32_t CONNECT_TIMEOUT_SECONDS = 5;
  static constexpr uint32_t REQUEST_TIMEOUT_SECONDS = 3;
  // How long a requested disconnect waits for the broker to read what is
  // still queued and the DISCONNECT; then the socket is closed without it.
  // Also the time a destroyed client leaves its goodbye before it closes.
  static constexpr uint32_t DISCONNECT_GRACE_SECONDS = 2;
  // Reply time-out of requests to platform services, in clock ticks.
  static constexpr uint32_t SERVICE_TIMEOUT_TICKS = 6000;
  // Queued bytes above which a publish is refused ("Output queue full").
  // Packets the protocol itself needs (acknowledgements, PINGREQ, the
  // re-subscriptions) are still queued, up to twice this; past that the
  // broker is not reading and the connection is torn down.
  static constexpr size_t MAX_QUEUED_BYTES = 8u * 1024 * 1024;
  // Bytes read from the socket per readable event, so that one busy broker
  // cannot hold the loop; the rest is read on the next turn.
  static constexpr size_t READ_BUDGET_BYTES = 256 * 1024;

  // `loop`, `tables` and `arrivals` outlive the client; so does `broker`,
  // whose removal destroys the client first.
  BrokerClient(kv::Looper& loop, BrokerEntry& broker, SubscriptionTables& tables,
               PublishHandler& arrivals);
  ~BrokerClient();
  BrokerClient(const BrokerClient&) = delete;
  BrokerClient& operator=(const BrokerClient&) = delete;

  // ---- Orders ----
  // Starts an attempt unless one is under way or the client is Connected.
  // `done`, when given, waits for CONNACK or the teardown, and arms the
  // 5-second connect time-out when the client was Idle or Disconnecting.
  void connect(Completion done = nullptr);
  // Connected: fails waiting requests with "Disconnecting", discards the
  // queue but a half-written packet (and a publish with disconnect-after
  // and its DISCONNECT), and queues DISCONNECT behind that; `done`
  // completes at the teardown that follows, when the DISCONNECT is written
  // or DISCONNECT_GRACE_SECONDS have passed. Disconnecting: `done` waits
  // for that same teardown. Otherwise completes at once (an attempt under
  // way goes on).
  void disconnect(Completion done = nullptr);
  // REQUIRES: the order passed the command handler's checks (QoS, topic,
  // size, and a connection or leave to make one). When it completes:
  // operations.cc. With queueWhileOffline the outbox takes the message
  // over and `done` runs at once (outbox_delivery.cc).
  void publish(PublishOrder&& order, Completion done);
  // REQUIRES: as publish. Completes at SUBACK, then records the row; a
  // SUBACK that refuses completes it "Subscription refused by the broker".
  void subscribe(const SubscribeOrder& order, Completion done);
  // Unsubscribes the filter of `target`, a subscription row of this broker,
  // and removes the row: at UNSUBACK when Connected, else on the next loop
  // turn (that step, and its completion, outlive the client).
  void unsubscribe(const SubscriptionEntry& target, Completion done);

  // ---- Requests to platform services on the client's behalf ----
  // Posts `request`; `onReply` runs once with the reply unless the client
  // is destroyed first. Returns -1 when the bus refuses the post.
  int postRequest(kv::message request, kv::ReplyFn onReply, uint32_t timeoutTicks);

  // ---- State ----
  ConnectionState state() const { return state_; }
  bool inProgress() const;
  ClientReport report() const;
  BrokerEntry& broker() const { return *broker_; }
  void setSubscribeOnConnect(bool on) { subscribeOnConnect_ = on; }
  // Runs at every connection the broker accepts (CONNACK 0), once the
  // connect orders have been answered; may be empty.
  void setOnAccepted(std::function<void()> hook) { onAccepted_ = std::move(hook); }
  // On-message scripts running for this broker.
  uint32_t runningScripts = 0;
  // The descriptor of the broker stream; -1 when there is none.
  int socketFd() const { return socket_; }
  size_t pendingRequests() const { return pending_.size(); }
  size_t queuedPackets() const { return outputQueue_.size(); }

 private:
  // connection.cc
  void setState(ConnectionState state);
  kv::Status startTcpConnect(uint32_t addressNetworkOrder);
  void onResolved(const kv::message& reply);
  void onTcpConnected(int fd);
  void startTls(int fd);
  void onPlainConnected(int fd);
  void onSslReply(const kv::message& reply, int tcpFd);
  void startMqttSession(int fd, bool registerFd);
  void onConnack(const mqtt::MqttPacket& packet);
  void onConnectTimeout();
  void registerSocket(int fd, int events);
  void setSocketInterest(int events);
  void queueGoodbye();
  // Ends a requested disconnect now, so that a new attempt can start on a
  // clean client: what the socket takes is written, then teardown.
  void finishDisconnect();
  void onDisconnectGrace();
  // Writes at once, without waiting, what may end the connection: the rest
  // of a half-written DISCONNECT, or a DISCONNECT when no packet is half
  // written. Never a DISCONNECT after part of another packet: then nothing
  // is written, and the Status says so.
  kv::Status writeGoodbyeNow();
  void cancelServiceRequests();
  static void completeAll(std::vector<Completion>& waiters, const kv::Status& outcome);
  // Runs `step` after `delayTicks` unless the client is destroyed first.
  void defer(kv::Ticks delayTicks, std::function<void()> step);
  kv::Ticks seconds(uint32_t n) const;

  // teardown.cc
  // The one way back to Idle: see the header comment. `why` is ok for the
  // end of a requested disconnect.
  void teardown(const kv::Status& why);
  void noteEnd(const kv::Status& why, bool wasAttempt);
  // What orders waiting on a connection that failed are told.
  kv::Status connectionFailure() const;
  // Stops watching the socket and closes it on the next loop turn, which
  // re-arms automatic connection; the state is left as it is.
  void releaseSocket();
  void closeSocket(int fd);

  // socket_io.cc
  enum class ReadResult { Drained, BudgetSpent, TornDown };
  void onSocketEvent(int fd, int events);
  ReadResult readAvailable(int fd);
  // Hands on every complete packet the framer holds; false once the
  // connection is torn down.
  bool dispatchFramed(int fd);
  // Whether a packet of `type` may arrive now; tears down when not.
  bool expectedNow(uint8_t type);
  // Hands one packet on; false when it tore the connection down.
  bool dispatch(const mqtt::MqttPacket& packet);
  void onPublishPacket(const mqtt::MqttPacket& packet);
  // The head of a PUBLISH above the body bound; false when it tore the
  // connection down.
  bool skipPublish(const mqtt::MqttPacket& head);
  // Queues the acknowledgement a received packet calls for, if any.
  void acknowledge(uint8_t type, uint8_t qos, uint16_t packetId);
  kv::Status readFailure(long result, int err) const;
  void writeQueued();
  // One gathering write of what may be written now; false when the writer
  // must stop (the socket is full, or the connection was torn down).
  bool writeSome();
  void enqueuePacket(mqtt::MqttPacket packet);
  // Puts a packet at the head of the queue (CONNECT only).
  void enqueuePacketFront(mqtt::MqttPacket packet);
  // Whether a packet of `bytes` more may be queued for an order.
  bool queueHasRoom(size_t bytes) const { return queuedBytes_ + bytes <= MAX_QUEUED_BYTES; }
  void discardQueue();

  // requests.cc
  // The next packet identifier: 2 first, then up to 65535, then 1; never 0.
  uint16_t takePacketId();
  // The identifier takePacketId will hand out next, without taking it.
  uint16_t peekPacketId() const;
  // The next packet identifier that no request waits on; 0 when all do.
  // (The outbox's requests wait without a time-out, so the counter may
  // come round to one of them.)
  uint16_t takeFreePacketId();
  // Whether `id` may be taken for an order's request; when a request still
  // waits on it, logs "Timeout reg failed: <id>" and answers false.
  // Checked before the order's packet is queued.
  bool identifierFree(uint16_t id);
  // Waits for the acknowledgement of `id`, with the 3-second time-out when
  // `timed`. REQUIRES: identifierFree(id).
  PendingRequest& registerRequest(uint16_t id, Completion done, std::function<void()> onSuccess,
                                  bool timed = true);
  // The broker answered `id`: `outcome`, then onSuccess after a success.
  void completeRequest(uint16_t id, const kv::Status& outcome = kv::Status::ok());
  void onRequestTimeout(uint16_t id, uint64_t serial);
  // Completes every waiting request but `except` with `why`, smallest
  // identifier first, and forgets them (their onSuccess never runs).
  void failAllRequests(const kv::Status& why, uint16_t except = 0);

  // operations.cc
  // A queued publish that waits (QoS 1 or 2, or disconnect-after): connects
  // when needed and waits on `id`.
  void awaitAcknowledgement(uint16_t id, const PublishOrder& order, Completion done);
  // Queues SUBSCRIBE for one filter; returns the packet identifier used.
  uint16_t sendSubscribe(const std::string& filter, uint32_t qos);

  // acknowledgements.cc
  // What a SUBACK grants: completes the subscribe order waiting for it, and
  // logs a refused re-subscription and a QoS granted lower than asked.
  void onSuback(const mqtt::MqttPacket& packet);
  void noteGrant(const std::string& filter, uint32_t asked, uint8_t granted, bool order);
  // PUBACK; for a QoS 2 PUBLISH too, with a warning once per connection.
  void onPuback(uint16_t packetId);
  // Subscribes the broker's rows again (CONNACK); stops when a queue
  // overflow tears the connection down.
  void resubscribe();

  // outbox_delivery.cc
  void queueForDelivery(PublishOrder&& order, Completion done);
  // Hands the oldest waiting outbox messages to the connection, as the
  // window allows (CONNACK, a new message, an acknowledgement). Never from
  // inside the writer's loop: see scheduleOutboxRefill.
  void sendOutbox();
  void scheduleOutboxRefill();
  // The outbox's part of the end of a connection.
  void outboxConnectionEnded() { outbox_.connectionEnded(); }

  // keepalive.cc
  void sendPingreq();
  // Arms the dead-peer deadline unless it runs; `after` names its start.
  void armSilenceDeadline(const char* after);
  void onPacketWritten(uint8_t type);
  void onWrite();
  void onBrokerSilent();
  void armAutoConnect();
  void onAutoConnect();
  // Whether automatic connection runs for this client now.
  bool wantsAutoConnect() const { return broker_->autoConnect || !outbox_.empty(); }

  kv::Looper& loop_;
  BrokerEntry* broker_;
  SubscriptionTables* tables_;
  PublishHandler* arrivals_;

  int socket_ = -1;
  std::deque<mqtt::MqttPacket> outputQueue_;
  size_t headWritten_ = 0;  // bytes of the head packet already written
  size_t queuedBytes_ = 0;
  mqtt::PacketFramer framer_;
  uint16_t nextPacketId_ = 1;
  std::map<uint16_t, PendingRequest> pending_;
  uint64_t nextSerial_ = 1;
  std::vector<Completion> connectWaiters_;
  std::vector<Completion> disconnectWaiters_;
  // The identifier of a QoS 0 publish with disconnect-after while its
  // DISCONNECT is queued (0: none). It waits as a request on that
  // identifier, completed when the DISCONNECT is written.
  uint16_t disconnectAfterId_ = 0;
  bool subscribeOnConnect_ = true;
  ConnectionState state_ = ConnectionState::Idle;
  ClientReport report_;  // all but the state and the outbox
  std::function<void()> onAccepted_;

  // The re-subscriptions of this connection whose SUBACK is due, by packet
  // identifier: the filter and the QoS asked. Emptied at CONNACK.
  std::map<uint16_t, std::pair<std::string, uint32_t>> resubscribing_;
  bool warnedPubackForQos2_ = false;  // on this connection

  Outbox outbox_;
  bool outboxRefillPending_ = false;
  ReconnectBackoff backoff_;
  bool automaticAttempt_ = false;  // the attempt under way was started by the timer

  ClientTimer connectTimer_;
  ClientTimer pingTimer_;
  ClientTimer autoConnectTimer_;
  ClientTimer silenceTimer_;  // armed by a PINGREQ queued or CONNECT written, cancelled by any read
  ClientTimer graceTimer_;    // a requested disconnect's DISCONNECT_GRACE_SECONDS
  const char* silenceAfter_ = "pingreq";

  std::map<uint64_t, kv::TimerPtr> deferred_;
  uint64_t nextDeferred_ = 1;
  std::set<int> posts_;           // requests whose replies belong to this client
  int resolvePost_ = -1;          // the name-resolution request under way
  int sslPost_ = -1;              // the SSL set-up request under way
  std::vector<int> closingFds_;   // torn down, closed on the next loop turn
};
