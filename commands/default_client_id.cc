#include "commands/default_client_id.h"

#include "platform/looper.h"
#include "service/log.h"
#include "service/service_globals.h"

const std::vector<uint32_t> IDENTITY_SERVICE_PATH = {24, 17};

void fetchDefaultClientId() {
  kv::message request;
  request.set(kv::PATH_FIELD, IDENTITY_SERVICE_PATH);
  kv::message reply;
  if (kv::Looper* loop = kv::getLooper()) {
    reply = loop->exchangeCmd(request, IDENTITY_COMMAND, 6000);
  }
  // No test for failure: an error reply has no string 13 either.
  defaultClientId = "QX" + reply.get(kv::string_id(13));
  logInfo("default client Id [" + defaultClientId + "]");
}
