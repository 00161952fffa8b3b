// Outbox: the messages a broker client has taken over for delivery (a
// publish with queueWhileOffline), kept until they have reached the broker.
//
// In memory only: what it holds is lost when the daemon stops or the broker
// row is removed. Bounded per broker by MAX_MESSAGES and MAX_BYTES (the
// bytes of topic and data); a message that would pass either is refused.
//
// Messages go to the connection oldest first, at most WINDOW at a time, and
// leave the outbox when they are done: QoS 0 once the writer has written
// the whole packet, QoS 1 and 2 at their acknowledgement (PUBACK, PUBCOMP).
// When a connection ends, every message handed to it and not done waits
// again, in its place, marked to go out with DUP set. So each message
// reaches the broker at least once: one whose acknowledgement was lost
// arrives twice.
//
//   messages_:  [ handed to the connection | waiting                    ]
//                0            handedOver_                         size()
//
// The handed-over messages are always the oldest, so order is kept across
// any number of connections. The unit keeps no timer and does no I/O: the
// client hands the messages over and reports their progress.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>

#include "platform/status.h"

class Outbox {
 public:
  static constexpr size_t MAX_MESSAGES = 1000;
  static constexpr size_t MAX_BYTES = 1024 * 1024;
  // Messages handed to one connection and not done yet. Keeps a second copy
  // of each (its packet) and the duplicates after a lost connection small,
  // and asks no more of a broker than its usual in-flight limit.
  static constexpr size_t WINDOW = 20;

  struct Message {
    std::string topic;
    std::string data;
    uint8_t qos = 0;
    bool retain = false;
    bool sentBefore = false;  // handed to an earlier connection: DUP on QoS 1 and 2
    uint64_t serial = 0;      // names the message to its acknowledgement
    uint64_t doneAtBytes = 0; // QoS 0 handed over: the writer's byte count once it is written
  };

  // Takes a message at the back; rejected "Outbox full" when it would pass
  // a bound (one above MAX_BYTES never fits).
  kv::Status add(std::string topic, std::string data, uint8_t qos, bool retain);

  // The oldest message not handed over, when the window has room; null
  // otherwise. Valid until the outbox next changes.
  Message* nextToHandOver();
  // The message nextToHandOver gave is with the connection now.
  void handedOver() { ++handedOver_; }
  // The broker acknowledged message `serial`: it leaves. False when it is
  // not with the connection (already gone, or the connection ended).
  bool acknowledged(uint64_t serial);
  // The writer has written `bytesWritten` bytes in all: the QoS 0 messages
  // handed over whose last byte is among them leave. Whether any left.
  bool written(uint64_t bytesWritten);
  // The connection ended: every message handed over waits again.
  void connectionEnded();

  bool empty() const { return messages_.empty(); }
  size_t count() const { return messages_.size(); }
  size_t bytes() const { return bytes_; }

 private:
  void removeHandedOver(size_t at);

  std::deque<Message> messages_;
  size_t handedOver_ = 0;
  size_t bytes_ = 0;
  uint64_t nextSerial_ = 1;
};
