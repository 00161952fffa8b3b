#include "contracts/broker_status.h"

#include "platform/status.h"

namespace contract {
namespace broker_status {

namespace {
using Kind = kv::Status::Kind;
// The kind numbers the header promises.
constexpr uint32_t number(Kind kind) { return static_cast<uint32_t>(kind); }
static_assert(number(Kind::Malformed) == 1 && number(Kind::TooLarge) == 2 && number(Kind::Io) == 3);
static_assert(number(Kind::Resolve) == 6 && number(Kind::Connect) == 7 && number(Kind::Tls) == 8);
static_assert(number(Kind::Refused) == 9 && number(Kind::Protocol) == 10 &&
              number(Kind::Timeout) == 11 && number(Kind::PeerClosed) == 12);
}  // namespace

const char* stateName(uint32_t state) {
  static const char* const NAMES[] = {"idle",      "resolving", "connecting", "socket-connected",
                                      "awaiting-connack", "connected", "disconnecting"};
  return state < sizeof NAMES / sizeof NAMES[0] ? NAMES[state] : "unknown";
}

kv::message encode(const BrokerStatus& status) {
  kv::message row;
  row.set(BROKER_ID_FIELD, status.brokerId);
  row.set(NAME_FIELD, status.name);
  row.set(STATE_FIELD, status.state);
  row.set(STATE_NAME_FIELD, stateName(status.state));
  row.set(SINCE_FIELD, status.since);
  if (status.hasFailure()) {
    row.set(FAILURE_KIND_FIELD, status.failureKind);
    row.set(FAILURE_KIND_NAME_FIELD, status.failureKindName);
    row.set(FAILURE_TEXT_FIELD, status.failureText);
    row.set(FAILURE_TIME_FIELD, status.failureTime);
  }
  row.set(FAILED_ATTEMPTS_FIELD, status.failedAttempts);
  if (status.nextAttempt != 0) row.set(NEXT_ATTEMPT_FIELD, status.nextAttempt);
  row.set(MESSAGES_IN_FIELD, status.messagesIn);
  row.set(MESSAGES_OUT_FIELD, status.messagesOut);
  row.set(BYTES_IN_FIELD, status.bytesIn);
  row.set(BYTES_OUT_FIELD, status.bytesOut);
  row.set(OUTBOX_MESSAGES_FIELD, status.outboxMessages);
  row.set(OUTBOX_BYTES_FIELD, status.outboxBytes);
  row.set(READ_AT_FIELD, status.readAt);
  return row;
}

BrokerStatus decode(const kv::message& row) {
  BrokerStatus status;
  status.brokerId = row.get(BROKER_ID_FIELD, NO_ID);
  status.name = row.get(NAME_FIELD);
  status.state = row.get(STATE_FIELD);
  status.since = row.get(SINCE_FIELD);
  status.failureKind = row.get(FAILURE_KIND_FIELD);
  status.failureKindName = row.get(FAILURE_KIND_NAME_FIELD);
  status.failureText = row.get(FAILURE_TEXT_FIELD);
  status.failureTime = row.get(FAILURE_TIME_FIELD);
  status.failedAttempts = row.get(FAILED_ATTEMPTS_FIELD);
  status.nextAttempt = row.get(NEXT_ATTEMPT_FIELD);
  status.messagesIn = row.get(MESSAGES_IN_FIELD);
  status.messagesOut = row.get(MESSAGES_OUT_FIELD);
  status.bytesIn = row.get(BYTES_IN_FIELD);
  status.bytesOut = row.get(BYTES_OUT_FIELD);
  status.outboxMessages = row.get(OUTBOX_MESSAGES_FIELD);
  status.outboxBytes = row.get(OUTBOX_BYTES_FIELD);
  status.readAt = row.get(READ_AT_FIELD);
  return status;
}

}  // namespace broker_status
}  // namespace contract
