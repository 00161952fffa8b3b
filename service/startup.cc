#include "service/startup.h"

#include <cstdio>

#include "base/log.h"
#include "base/service_globals.h"
#include "commands/default_client_id.h"
#include "commands/mqtt_service.h"
#include "platform/looper.h"
#include "tables/service_tables.h"

namespace {

void registerTables(kv::Looper& looper) {
  looper.addHandler(2, &brokerTable);
  brokerTable.onRemove = brokerRemoved;
  brokerTable.init();
  looper.addHandler(3, &subscriptionTables.subscriptions);
  subscriptionTables.subscriptions.init();
  looper.addHandler(4, &subscriptionTables.received);
  subscriptionTables.received.init();
}

}  // namespace

int runService() {
  kv::Looper looper(0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0);
  if (!looper.status().isOk()) {
    // Without its bus the service cannot be reached: refuse to run deaf.
    fprintf(stderr, "mqtt: *** bus: %s\n", looper.status().toString().c_str());
    return 1;
  }
  logInfo("started");
  registerTables(looper);
  createClients();
  MqttService service;
  service.init();
  service.registerPolicies();
  looper.addHandler(1, &service);
  kv::getRunner().addTimer(0, fetchDefaultClientId);
  initSystemLog();
  looper.run();
  logInfo("stopped");
  // The handler goes first, then the loop; the clients in clientMap go
  // with the other service-wide objects at exit, each connected one sending
  // DISCONNECT to its broker.
  return 0;
}
