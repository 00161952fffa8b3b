// The broker-status view on the bus: handler 5, one row per broker row,
// read with the platform's generic table commands (get one, get all,
// count). The daemon writes the rows; the console and the web page read
// them; both through this header.
//
// A row is the live state of the broker's client, keyed by the broker
// row's object id (OBJECT_ID_FIELD). It is made when it is read and never
// stored: every add, change and remove is refused with ERR_NOT_SUPPORTED
// (0xfe0003) and an empty text.
//
//   field              type    number    written
//   object id          u32     0xfe0011  always: the broker row's id
//   name               string  0xfe0010  always: the broker row's name
//   state              u32     1         always (State below)
//   state name         string  2         always ("idle", "connected", ...)
//   since              u32     3         always: local time of the last state change
//   failure kind       u32     4         after the first failure (kv::Status::Kind)
//   failure kind name  string  5         after the first failure ("tls", "timeout", ...)
//   failure text       string  6         after the first failure
//   failure time       u32     7         after the first failure: local time
//   failed attempts    u32     8         always: attempts in a row that ended before CONNACK
//   next attempt       u32     9         while automatic connection is armed: local time
//   messages in        u64     10        always: PUBLISH packets received since start
//   messages out       u64     11        always: PUBLISH packets written since start
//   bytes in           u64     12        always: bytes read from the broker since start
//   bytes out          u64     13        always: bytes written to the broker since start
//   outbox messages    u64     14        always: messages queued while offline (0 when none)
//   outbox bytes       u64     15        always: their bytes
//   read at            u32     16        always: the daemon's local time when the row was made
//
// The failure kind is the number of the platform's kv::Status::Kind: 1
// malformed, 2 too large, 3 i/o error, 6 resolve, 7 connect, 8 tls, 9
// refused, 10 protocol, 11 timeout, 12 peer closed (the name field says
// the same in words). Times are the daemon's local time in seconds since 1970, as the
// received-message rows carry them. "read at" lets a reader say "37 s" or
// "2 min ago" without comparing its own clock with the daemon's. Counts
// start at 0 when the daemon starts (or the broker's client is made) and
// are not stored.
#pragma once

#include <cstdint>
#include <string>

#include "contracts/mqtt_tables.h"
#include "platform/message.h"
#include "platform/system.h"

namespace contract {
namespace broker_status {

constexpr uint32_t HANDLER = 5;

// The connection states, in the order an attempt goes through them.
enum class State : uint32_t {
  Idle = 0,             // no connection and no attempt under way
  Resolving = 1,        // the broker's host name is being resolved
  Connecting = 2,       // the TCP connection is being made
  SocketConnected = 3,  // TCP is up; TLS is being set up, or CONNECT is about to go
  AwaitingConnack = 4,  // CONNECT sent; waiting for the broker's answer
  Connected = 5,
  Disconnecting = 6,    // a requested DISCONNECT is about to go
};
// "idle", "resolving", "connecting", "socket-connected", "awaiting-connack",
// "connected", "disconnecting"; "unknown" for any other number.
const char* stateName(uint32_t state);

constexpr kv::u32_id BROKER_ID_FIELD = kv::OBJECT_ID_FIELD;
constexpr kv::string_id NAME_FIELD = kv::NAME_FIELD;
constexpr kv::u32_id STATE_FIELD{1};
constexpr kv::string_id STATE_NAME_FIELD{2};
constexpr kv::u32_id SINCE_FIELD{3};
constexpr kv::u32_id FAILURE_KIND_FIELD{4};
constexpr kv::string_id FAILURE_KIND_NAME_FIELD{5};
constexpr kv::string_id FAILURE_TEXT_FIELD{6};
constexpr kv::u32_id FAILURE_TIME_FIELD{7};
constexpr kv::u32_id FAILED_ATTEMPTS_FIELD{8};
constexpr kv::u32_id NEXT_ATTEMPT_FIELD{9};
constexpr kv::u64_id MESSAGES_IN_FIELD{10};
constexpr kv::u64_id MESSAGES_OUT_FIELD{11};
constexpr kv::u64_id BYTES_IN_FIELD{12};
constexpr kv::u64_id BYTES_OUT_FIELD{13};
constexpr kv::u64_id OUTBOX_MESSAGES_FIELD{14};
constexpr kv::u64_id OUTBOX_BYTES_FIELD{15};
constexpr kv::u32_id READ_AT_FIELD{16};

// One row, typed. A failure kind of 0 (kv::Status::Kind::Ok) means no
// failure yet; a next attempt of 0, none armed.
struct BrokerStatus {
  uint32_t brokerId = NO_ID;
  std::string name;
  uint32_t state = static_cast<uint32_t>(State::Idle);
  uint32_t since = 0;
  uint32_t failureKind = 0;  // kv::Status::Kind as a number; 0 (ok) before the first failure
  std::string failureKindName;
  std::string failureText;
  uint32_t failureTime = 0;
  uint32_t failedAttempts = 0;
  uint32_t nextAttempt = 0;
  uint64_t messagesIn = 0;
  uint64_t messagesOut = 0;
  uint64_t bytesIn = 0;
  uint64_t bytesOut = 0;
  uint64_t outboxMessages = 0;
  uint64_t outboxBytes = 0;
  uint32_t readAt = 0;

  bool hasFailure() const { return failureKind != 0; }
  const char* stateName() const { return broker_status::stateName(state); }
};

// The row's message form: every field of the table above that is written.
kv::message encode(const BrokerStatus& status);
// The row a message carries: each field it has, the default for each it
// lacks.
BrokerStatus decode(const kv::message& row);

}  // namespace broker_status
}  // namespace contract
