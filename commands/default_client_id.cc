#include "commands/default_client_id.h"

#include "base/log.h"
#include "base/service_globals.h"
#include "contracts/identity.h"

void fetchDefaultClientId(kv::Looper& loop) {
  kv::message request;
  request.set(kv::PATH_FIELD, contract::identity::PATH);
  const kv::message reply = loop.exchangeCmd(request, contract::identity::GET_IDENTITY_COMMAND, 6000);
  // No test for failure: an error reply has no identity either.
  defaultClientId = "QX" + reply.get(contract::identity::IDENTITY_FIELD);
  logInfo("default client Id [" + defaultClientId + "]");
}
