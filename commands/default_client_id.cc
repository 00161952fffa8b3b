#include "commands/default_client_id.h"

#include "base/log.h"
#include "base/service_globals.h"
#include "contracts/identity.h"
#include "platform/looper.h"

void fetchDefaultClientId() {
  kv::message request;
  request.set(kv::PATH_FIELD, contract::identity::PATH);
  kv::message reply;
  if (kv::Looper* loop = kv::getLooper()) {
    reply = loop->exchangeCmd(request, contract::identity::GET_IDENTITY_COMMAND, 6000);
  }
  // No test for failure: an error reply has no identity either.
  defaultClientId = "QX" + reply.get(contract::identity::IDENTITY_FIELD);
  logInfo("default client Id [" + defaultClientId + "]");
}
