#include "commands/broker_status.h"

#include <utility>
#include <vector>

#include "platform/amap.h"
#include "platform/message_codec.h"
#include "platform/system.h"

namespace {

namespace status = contract::broker_status;

void takeFailure(const ClientReport& report, status::BrokerStatus& row) {
  if (report.lastFailure.isOk()) return;
  row.failureKind = static_cast<uint32_t>(report.lastFailure.kind());
  row.failureKindName = kv::kindName(report.lastFailure.kind());
  row.failureText = report.lastFailure.message();
  row.failureTime = report.lastFailureTime;
}

}  // namespace

status::BrokerStatus BrokerStatusView::statusOf(const BrokerEntry& broker) const {
  status::BrokerStatus row;
  row.brokerId = broker.id;
  row.name = broker.name;
  row.readAt = loop_.getLocaltime();
  const BrokerClient* client = clients_.client(broker.id);
  if (!client) return row;
  const ClientReport report = client->report();
  row.state = static_cast<uint32_t>(report.state);
  row.since = report.stateSince;
  takeFailure(report, row);
  row.failedAttempts = report.failedAttempts;
  row.nextAttempt = report.nextAttemptTime;
  row.messagesIn = report.messagesIn;
  row.messagesOut = report.messagesOut;
  row.bytesIn = report.bytesIn;
  row.bytesOut = report.bytesOut;
  row.outboxMessages = report.outboxMessages;
  row.outboxBytes = report.outboxBytes;
  return row;
}

void BrokerStatusView::cmdGetObj(kv::message& request) {
  if (!request.has(kv::OBJECT_ID_FIELD)) {
    return replyMessage(request, kv::errorMsg(kv::ERR_BAD_REQUEST, "object id required"));
  }
  const BrokerEntry* broker = brokers_.findRow(request.get(kv::OBJECT_ID_FIELD));
  if (!broker) return replyMessage(request, kv::errorMsg(kv::ERR_NO_SUCH_OBJECT, "no such object"));
  replyMessage(request, status::encode(statusOf(*broker)));
}

// Rows in the broker table's order and pages; a row the broker table does
// not yet show by id (an add not stored yet) is left out, as there.
void BrokerStatusView::cmdGetAll(kv::message& request) {
  const uint32_t after = request.get(kv::AFTER_ID_FIELD, 0);
  const bool fromStart = !request.has(kv::AFTER_ID_FIELD);
  std::vector<kv::message> page;
  size_t pageBytes = 0;
  bool more = false;
  for (const BrokerEntry& broker : brokers_) {
    if ((!fromStart && broker.id <= after) || !brokers_.findRow(broker.id)) continue;
    kv::message row = status::encode(statusOf(broker));
    const size_t rowBytes = kv::encodedSize(row);
    if (!page.empty() && pageBytes + rowBytes > AMap::GET_ALL_PAGE_BYTES) {
      more = true;
      break;
    }
    pageBytes += rowBytes;
    page.push_back(std::move(row));
  }
  kv::message reply;
  reply.set(kv::ROWS_FIELD, std::move(page));
  if (more) reply.set(kv::MORE_FIELD, true);
  replyMessage(request, reply);
}

void BrokerStatusView::cmdGetCount(kv::message& request) {
  uint32_t count = 0;
  for (const BrokerEntry& broker : brokers_) count += brokers_.findRow(broker.id) != nullptr;
  kv::message reply;
  reply.set(kv::COUNT_FIELD, count);
  replyMessage(request, reply);
}
