#include "tools/rows.h"

#include "platform/system.h"
#include "tools/values.h"

namespace mqttctl {

namespace brokers = contract::brokers;
namespace subscriptions = contract::subscriptions;
namespace {

int badWalk(Session& session, const kv::Status& st) {
  return fail(session.output, EXIT_ERROR_REPLY, "bad get-all reply: " + st.message());
}

}  // namespace

kv::Status takePage(const kv::message& reply, std::vector<kv::message>& rows,
                    kv::message& request, bool& more) {
  const std::vector<kv::message>* page = reply.find(kv::ROWS_FIELD);
  size_t count = page ? page->size() : 0;
  if (count > MAX_LIST_ROWS - rows.size()) {
    return kv::Status::tooLarge("more than " + std::to_string(MAX_LIST_ROWS) + " rows");
  }
  more = reply.get(kv::MORE_FIELD);
  if (count) rows.insert(rows.end(), page->begin(), page->end());
  if (!more) return kv::Status::ok();
  if (count == 0) return kv::Status::malformed("more rows are announced but the page is empty");
  const kv::message& last = page->back();
  if (!last.has(kv::OBJECT_ID_FIELD)) {
    return kv::Status::malformed("the last row of a page has no object id");
  }
  uint32_t lastId = last.get(kv::OBJECT_ID_FIELD);
  if (request.has(kv::AFTER_ID_FIELD) && lastId <= request.get(kv::AFTER_ID_FIELD)) {
    return kv::Status::malformed("object ids do not increase from one page to the next");
  }
  request.set(kv::AFTER_ID_FIELD, lastId);
  return kv::Status::ok();
}

int readRows(Session& session, const kv::message& first, std::vector<kv::message>& rows) {
  kv::message request = first;
  for (bool more = true; more;) {
    CallResult result = session.bus.call(request);
    if (exitStatusFor(result) != EXIT_SUCCESS_REPLY) return reportFailure(result, session.output);
    kv::Status st = takePage(result.reply, rows, request, more);
    if (!st.isOk()) return badWalk(session, st);
  }
  return EXIT_SUCCESS_REPLY;
}

int readTable(Session& session, uint32_t table, std::vector<kv::message>& rows) {
  kv::message request;
  request.set(kv::PATH_FIELD, std::vector<uint32_t>{table});
  request.set(kv::COMMAND_FIELD, kv::CMD_GET_ALL);
  return readRows(session, request, rows);
}

uint32_t rowId(const kv::message& row) { return row.get(kv::OBJECT_ID_FIELD); }

// The row that `ref` names among broker rows, or null.
const kv::message* brokerNamed(const std::vector<kv::message>& rows, const std::string& ref) {
  for (const kv::message& row : rows) {
    if (row.get(kv::NAME_FIELD) == ref) return &row;
  }
  uint32_t id = 0;
  if (!parseU32(ref, id).isOk()) return nullptr;
  for (const kv::message& row : rows) {
    if (rowId(row) == id) return &row;
  }
  return nullptr;
}

int findBroker(Session& session, const std::string& ref, kv::message& broker) {
  std::vector<kv::message> rows;
  if (int status = readTable(session, brokers::HANDLER, rows)) return status;
  const kv::message* row = brokerNamed(rows, ref);
  if (!row) return fail(session.output, EXIT_ERROR_REPLY, "no broker named " + quoteArg(ref));
  broker = *row;
  return EXIT_SUCCESS_REPLY;
}

int findBrokerId(Session& session, const std::string& ref, uint32_t& id) {
  kv::message broker;
  int status = findBroker(session, ref, broker);
  id = rowId(broker);
  return status;
}

int readBrokerNames(Session& session, BrokerNames& names) {
  std::vector<kv::message> rows;
  if (int status = readTable(session, brokers::HANDLER, rows)) return status;
  for (const kv::message& row : rows) names[rowId(row)] = row.get(kv::NAME_FIELD);
  return EXIT_SUCCESS_REPLY;
}

std::string brokerName(const BrokerNames& names, uint32_t id) {
  auto it = names.find(id);
  return it == names.end() ? "#" + std::to_string(id) : it->second;
}

int findSubscription(Session& session, uint32_t brokerId, const std::string& filter,
                     kv::message& row) {
  std::vector<kv::message> rows;
  if (int status = readTable(session, subscriptions::HANDLER, rows)) return status;
  for (const kv::message& r : rows) {
    if (r.get(subscriptions::BROKER_FIELD) == brokerId &&
        r.get(subscriptions::FILTER_FIELD) == filter) {
      row = r;
      return EXIT_SUCCESS_REPLY;
    }
  }
  return fail(session.output, EXIT_ERROR_REPLY,
              "the broker has no subscription to " + quoteArg(filter));
}

}  // namespace mqttctl
