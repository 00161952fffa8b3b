#include "web/broker_list.h"

#include <map>
#include <vector>

#include "contracts/broker_status.h"
#include "contracts/mqtt_tables.h"
#include "platform/system.h"

namespace mqttweb {
namespace {

namespace view = contract::broker_status;

Json merged(const std::vector<kv::message>& rows, const std::vector<kv::message>& statusRows) {
  std::map<uint32_t, Json> statuses;
  for (const kv::message& s : statusRows) statuses[s.get(view::BROKER_ID_FIELD)] = brokerStatusToJson(s);
  Json list = Json::array();
  for (const kv::message& row : rows) {
    Json broker = brokerToJson(row);
    auto it = statuses.find(row.get(kv::OBJECT_ID_FIELD));
    broker["status"] = it == statuses.end() ? Json() : it->second;
    list.push_back(std::move(broker));
  }
  return list;
}

}  // namespace

void readBrokerList(BusCalls& bus, BrokerListReply done) {
  bus.readRows({contract::brokers::HANDLER}, 0,
               [&bus, done](std::vector<kv::message> rows, std::string failure) {
                 if (!failure.empty()) return done(Json(), failure);
                 // A status view that cannot be read leaves every status null.
                 bus.readRows({view::HANDLER}, 0, [rows, done](std::vector<kv::message> statuses,
                                                              std::string) {
                   done(merged(rows, statuses), "");
                 });
               });
}

Json withoutReadTimes(Json list) {
  for (Json& broker : list) {
    if (broker["status"].is_object()) broker["status"].erase("readAt");
  }
  return list;
}

}  // namespace mqttweb
