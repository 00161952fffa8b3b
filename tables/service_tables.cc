#include "tables/service_tables.h"

#include "base/log.h"
#include "base/service_globals.h"

namespace {
// Stored rows; the save interval is no longer used (every change is stored
// on the loop turn after it, before it is answered).
constexpr int PERSIST = 1;
constexpr int SAVE_INTERVAL = -2;
}  // namespace

SubscriptionTables::SubscriptionTables()
    : subscriptions(SUBSCRIPTION_STORE_PATH, PERSIST, SAVE_INTERVAL),
      received(RECEIVED_STORE_PATH, PERSIST, SAVE_INTERVAL) {}

BrokerTable brokerTable MQTT_INIT_ORDER(1004)(BROKER_STORE_PATH, PERSIST, SAVE_INTERVAL);
SubscriptionTables subscriptionTables MQTT_INIT_ORDER(1005);

void removeBrokerSubscriptions(SubscriptionTables& tables, const BrokerEntry& row) {
  logWarning("removing broker " + row.name);
  removeSubscriptionsOf(tables, row.id);
}

void removeSubscriptionsOf(SubscriptionTables& tables, uint32_t brokerId) {
  SubscriptionTable& subscriptions = tables.subscriptions;
  for (auto it = subscriptions.begin(); it != subscriptions.end();) {
    if (it->brokerId != brokerId) {
      ++it;
      continue;
    }
    logWarning("removing subscription: " + it->topic);
    it = subscriptions.remove(it);  // the row after it, however the removal went
  }
}
