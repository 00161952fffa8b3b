#include "tools/status.h"

#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "platform/status.h"
#include "platform/system.h"
#include "tools/json.h"
#include "tools/rows.h"
#include "tools/show.h"
#include "tools/values.h"
#include "tools/words.h"

namespace mqttctl {
namespace {

namespace view = contract::broker_status;
using State = view::State;

// Longest failure the list's column shows before it is cut.
constexpr size_t FAILURE_CELL_BYTES = 40;

bool isState(const BrokerStatus& status, State state) {
  return status.state == static_cast<uint32_t>(state);
}

// The words inside the daemon's wrappers: "ssl failure [X]" and "internal
// error [X]" are X, a TCP connect's "connect: X" is X; the rest as it is.
std::string unwrapped(const std::string& text) {
  std::string inner = text;
  for (const char* wrapper : {"ssl failure [", "internal error ["}) {
    const size_t length = std::char_traits<char>::length(wrapper);
    if (inner.compare(0, length, wrapper) == 0 && inner.back() == ']') {
      inner = inner.substr(length, inner.size() - length - 1);
    }
  }
  const std::string connect = "connect: ";
  if (inner.compare(0, connect.size(), connect) == 0) inner.erase(0, connect.size());
  return inner;
}

// What a failure says before "; closing the connection" and the like.
std::string firstClause(const std::string& text) { return text.substr(0, text.find("; ")); }

std::string countdown(const BrokerStatus& status) {
  const uint32_t wait = status.nextAttempt > status.readAt ? status.nextAttempt - status.readAt : 0;
  return durationText(wait);
}

std::string timeAndAge(uint32_t time, uint32_t readAt) {
  const std::string when = localTimeText(time);
  if (time > readAt) return when + " (in " + durationText(time - readAt) + ")";
  return when + " (" + durationText(readAt - time) + " ago)";
}

void appendMember(std::string& out, const char* key, const std::string& jsonValue) {
  out += out.size() > 1 ? "," : "";
  out += json::dump(json::Json(key)) + ":" + jsonValue;
}

std::string jsonText(const std::string& bytes) { return json::dump(json::textOrHex(bytes)); }

std::string failureJson(const BrokerStatus& status) {
  if (!status.hasFailure()) return "null";
  std::string out = "{";
  appendMember(out, "kind", jsonText(status.failureKindName));
  appendMember(out, "kind-number", std::to_string(status.failureKind));
  appendMember(out, "text", jsonText(status.failureText));
  appendMember(out, "time", std::to_string(status.failureTime));
  return out + "}";
}

}  // namespace

int readStatuses(Session& session, BrokerStatuses& out) {
  std::vector<kv::message> rows;
  if (int status = readTable(session, view::HANDLER, rows)) return status;
  for (const kv::message& row : rows) out[rowId(row)] = view::decode(row);
  return EXIT_SUCCESS_REPLY;
}

bool readStatus(Session& session, uint32_t brokerId, BrokerStatus& out) {
  kv::message request;
  request.set(kv::PATH_FIELD, std::vector<uint32_t>{view::HANDLER});
  request.set(kv::COMMAND_FIELD, kv::CMD_GET_OBJ);
  request.set(kv::OBJECT_ID_FIELD, brokerId);
  const CallResult result = session.bus.call(request);
  // A reply without the broker's id is no status row.
  if (exitStatusFor(result) != EXIT_SUCCESS_REPLY || rowId(result.reply) != brokerId) return false;
  out = view::decode(result.reply);
  return true;
}

std::string stateCell(const BrokerStatus& status) {
  if (isState(status, State::Connected)) return "connected";
  if (isState(status, State::Disconnecting)) return "disconnecting";
  if (!isState(status, State::Idle)) return "connecting";
  if (status.nextAttempt == 0) return "idle";
  // Idle since the failure (a teardown records both in the same second).
  const bool afterFailure = status.hasFailure() && status.failureTime >= status.since;
  return (afterFailure ? "retrying in " : "connecting in ") + countdown(status);
}

std::string failureCell(const BrokerStatus& status) {
  if (!status.hasFailure()) return "";
  std::string words = firstClause(unwrapped(status.failureText));
  const std::string verification = "certificate verification failed: ";
  if (words.compare(0, verification.size(), verification) == 0) words.erase(0, verification.size());
  if (words.size() > FAILURE_CELL_BYTES) words = words.substr(0, FAILURE_CELL_BYTES - 3) + "...";
  const uint32_t age = status.readAt > status.failureTime ? status.readAt - status.failureTime : 0;
  return escapeBytes(words, false) + ", " + durationText(age) + " ago";
}

std::string failureReason(const BrokerStatus& status, const std::string& address) {
  const std::string words = firstClause(unwrapped(status.failureText));
  const bool brokersAnswer = status.failureKind == static_cast<uint32_t>(kv::Status::Kind::Refused);
  if (brokersAnswer || address.empty() || words.find(address) != std::string::npos) return words;
  return words + " (" + address + ")";
}

bool failedWithin(const BrokerStatus& status, uint64_t elapsedMillis) {
  if (!status.hasFailure()) return false;
  if (status.failureTime >= status.readAt) return true;
  return status.readAt - status.failureTime <= elapsedMillis / 1000 + 2;
}

bool needsReason(const std::string& refusal) {
  return refusal == "Connection failed" || refusal == "Timeout occured";
}

std::string reasonFor(Session& session, const kv::message& broker, uint64_t elapsedMillis,
                      BrokerStatus& status, bool& read) {
  read = readStatus(session, rowId(broker), status);
  if (!read || !failedWithin(status, elapsedMillis)) return "";
  return failureReason(status, broker.get(contract::brokers::ADDRESS_FIELD));
}

void printStatusBlock(std::ostream& out, const BrokerStatus& status) {
  std::vector<std::vector<std::string>> lines;
  const std::string state = stateCell(status), name = status.stateName();
  lines.push_back({"state", state == name ? state : state + " (" + name + ")"});
  if (status.since != 0) lines.push_back({"since", timeAndAge(status.since, status.readAt)});
  if (status.hasFailure()) {
    lines.push_back({"last-failure", escapeBytes(status.failureText, false)});
    lines.push_back({"failure-kind", escapeBytes(status.failureKindName, false)});
    lines.push_back({"failed-at", timeAndAge(status.failureTime, status.readAt)});
  }
  lines.push_back({"failed-attempts", std::to_string(status.failedAttempts)});
  if (status.nextAttempt != 0) {
    lines.push_back({"next-attempt", timeAndAge(status.nextAttempt, status.readAt)});
  }
  lines.push_back({"messages", std::to_string(status.messagesIn) + " in, " +
                                   std::to_string(status.messagesOut) + " out"});
  lines.push_back({"bytes", std::to_string(status.bytesIn) + " in, " +
                                std::to_string(status.bytesOut) + " out"});
  lines.push_back({"outbox", std::to_string(status.outboxMessages) + " messages, " +
                                 std::to_string(status.outboxBytes) + " bytes"});
  printPairs(out, lines);
}

std::string statusJson(const BrokerStatus& status) {
  std::string out = "{";
  appendMember(out, "state", jsonText(status.stateName()));
  appendMember(out, "state-number", std::to_string(status.state));
  const auto timeOrNull = [](uint32_t time) { return time ? std::to_string(time) : "null"; };
  appendMember(out, "since", timeOrNull(status.since));
  appendMember(out, "last-failure", failureJson(status));
  appendMember(out, "failed-attempts", std::to_string(status.failedAttempts));
  appendMember(out, "next-attempt", timeOrNull(status.nextAttempt));
  appendMember(out, "messages-in", std::to_string(status.messagesIn));
  appendMember(out, "messages-out", std::to_string(status.messagesOut));
  appendMember(out, "bytes-in", std::to_string(status.bytesIn));
  appendMember(out, "bytes-out", std::to_string(status.bytesOut));
  appendMember(out, "outbox-messages", std::to_string(status.outboxMessages));
  appendMember(out, "outbox-bytes", std::to_string(status.outboxBytes));
  appendMember(out, "read-at", std::to_string(status.readAt));
  return out + "}";
}

std::string durationText(uint32_t seconds) {
  if (seconds < 120) return std::to_string(seconds) + " s";
  if (seconds < 120 * 60) return std::to_string(seconds / 60) + " min";
  if (seconds < 48 * 3600) return std::to_string(seconds / 3600) + " h";
  return std::to_string(seconds / 86400) + " d";
}

}  // namespace mqttctl
