#include "web/bus_calls.h"

#include <cstdio>
#include <memory>

#include "platform/system.h"

namespace mqttweb {

std::string failureText(const kv::message& reply) {
  if (!kv::isError(reply)) return "";
  const uint32_t code = kv::getErrorCode(reply);
  if (code == kv::ERR_PEER_GONE || code == kv::ERR_NO_ROUTE) {
    return "the daemon is not answering (is it running?): " + kv::getError(reply);
  }
  if (code == kv::ERR_TIMEOUT) return "no answer from the daemon in time";
  if (code == kv::ERR_NOT_SUPPORTED) return "not supported";
  std::string text = kv::getError(reply);
  if (!text.empty()) return text;
  char hex[32];
  snprintf(hex, sizeof hex, "refused (error 0x%x)", code);
  return hex;
}

void BusCalls::ask(std::vector<uint32_t> path, uint32_t command, kv::message request, Reply done) {
  request.set(kv::PATH_FIELD, std::move(path));
  request.set(kv::COMMAND_FIELD, command);
  send(std::move(request), std::move(done));
}

void BusCalls::send(kv::message request, Reply done) {
  const uint32_t ticks = timeoutSeconds_ * loop_.clock().ticksPerSecond();
  if (loop_.postMessage(request, done, ticks) >= 0) return;
  loop_.runner().addTimer(0, [done] {
    done(kv::failedMsg("the request cannot be sent to the daemon (is it running?)"));
  });
}

void BusCalls::readRows(std::vector<uint32_t> path, uint32_t afterId, RowsReply done) {
  nextPage(std::move(path), afterId, std::make_shared<std::vector<kv::message>>(), std::move(done));
}

void BusCalls::nextPage(std::vector<uint32_t> path, uint32_t afterId,
                        std::shared_ptr<std::vector<kv::message>> rows, RowsReply done) {
  kv::message request;
  if (afterId) request.set(kv::AFTER_ID_FIELD, afterId);
  ask(path, kv::CMD_GET_ALL, request, [this, path, afterId, rows, done](const kv::message& reply) {
    if (kv::isError(reply)) return done({}, failureText(reply));
    const std::vector<kv::message>* page = reply.find(kv::ROWS_FIELD);
    if (page) rows->insert(rows->end(), page->begin(), page->end());
    if (!reply.get(kv::MORE_FIELD)) return done(std::move(*rows), "");
    const uint32_t last = rows->empty() ? 0 : rows->back().get(kv::OBJECT_ID_FIELD);
    if (!page || page->empty() || last <= afterId || rows->size() > MAX_ROWS) {
      return done({}, "the daemon sent a table walk that does not end");
    }
    nextPage(path, last, rows, done);
  });
}

}  // namespace mqttweb
