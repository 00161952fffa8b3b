#include "service/startup.h"

#include <cstdio>
#if defined(__GLIBC__)
#include <malloc.h>
#endif

#include "base/log.h"
#include "commands/broker_status.h"
#include "commands/default_client_id.h"
#include "commands/mqtt_service.h"
#include "platform/looper.h"
#include "tables/service_tables.h"

namespace {

// A message or an output queue can hold megabytes for a while (a frozen
// broker, a slow link). Buffers of 128 KiB and more are mapped on their own
// and given back to the system when freed, so that the daemon returns to its
// size once the fault is over. The C library would otherwise raise this
// threshold after the first such buffer and keep later ones in its heap.
void giveBackLargeBuffers() {
#if defined(__GLIBC__)
  mallopt(M_MMAP_THRESHOLD, 128 * 1024);
#endif
}

void registerTables(kv::Looper& looper) {
  looper.addHandler(contract::brokers::HANDLER, &brokerTable);
  brokerTable.init();
  looper.addHandler(contract::subscriptions::HANDLER, &subscriptionTables.subscriptions);
  subscriptionTables.subscriptions.init();
  looper.addHandler(contract::received::HANDLER, &subscriptionTables.received);
  subscriptionTables.received.init();
}

}  // namespace

int runService() {
  giveBackLargeBuffers();
  kv::Looper looper(0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0);
  if (!looper.status().isOk()) {
    // Without its bus the service cannot be reached: refuse to run deaf.
    fprintf(stderr, "mqtt: *** bus: %s\n", looper.status().toString().c_str());
    return 1;
  }
  logInfo("started");
  MqttService service(looper, brokerTable, subscriptionTables);
  BrokerClients& clients = service.clients();
  brokerTable.onRemove = [&clients](BrokerEntry& row) { clients.brokerRemoving(row); };
  brokerTable.onRemoved = [&clients](BrokerEntry& row) { clients.brokerRemoved(row); };
  registerTables(looper);
  clients.createAll(brokerTable);
  service.init();
  service.registerPolicies();
  looper.addHandler(contract::mqtt_service::HANDLER, &service);
  // Declared after the service: it goes first, before the clients it reads.
  BrokerStatusView status(looper, brokerTable, clients);
  looper.addHandler(contract::broker_status::HANDLER, &status);
  looper.runner().addTimer(0, [&looper] { fetchDefaultClientId(looper); });
  initSystemLog();
  looper.run();
  logInfo("stopped");
  // The clients go with the handler, before the loop: each connected one
  // sends DISCONNECT to its broker. The tables stay until exit.
  brokerTable.onRemove = nullptr;
  brokerTable.onRemoved = nullptr;
  return 0;
}
