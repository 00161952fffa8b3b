#include "platform/handler.h"

#include <cstdio>

#include "platform/bus.h"
#include "platform/descriptor.h"
#include "platform/looper.h"

namespace kv {

// ---- policies ------------------------------------------------------------------

void policies::add_policy(uint32_t command, uint32_t value) { map_[command] = value; }

uint32_t policies::policy(uint32_t command) const {
  auto it = map_.find(command);
  return it == map_.end() ? 0 : it->second;
}

bool policies::is_allowed(uint32_t command, uint32_t rights) const {
  bool needsWrite = isWriteCommand(command) || policy(command) != 0;
  return !needsWrite || (rights & RIGHT_WRITE) != 0;
}

bool isWriteCommand(uint32_t command) {
  switch (command) {
    case CMD_SET:
    case CMD_RESET:
    case CMD_SET_OBJ:
    case CMD_ADD_OBJ:
    case CMD_REMOVE_OBJ:
    case CMD_MOVE_OBJ:
    case CMD_SHUTDOWN:
    case CMD_SERVE:
      return true;
    default:
      return false;
  }
}

// ---- Handler -------------------------------------------------------------------

Handler::Handler() = default;

Handler::~Handler() {
  if (registeredWith_) registeredWith_->removeHandler(this);
}

Looper* Handler::looper() const { return registeredWith_ ? registeredWith_ : getLooper(); }

void Handler::handle(message& request) {
  if (request.has(SOCKET_FIELD) && !takesDescriptors()) {
    closeCarriedDescriptor(request);
    replyMessage(request, errorMsg(ERR_BAD_REQUEST, "this handler takes no descriptor"));
    return;
  }
  const uint32_t command = request.get(COMMAND_FIELD);
  if (!policies_.is_allowed(command, request.get(RIGHTS_FIELD, RIGHT_READ))) {
    closeCarriedDescriptor(request);
    replyMessage(request, errorMsg(ERR_NOT_ALLOWED, "write permission required"));
    return;
  }
  handleCmd(request, command);
}

void Handler::handleCmd(message& request, uint32_t command) {
  switch (command) {
    case CMD_GET_POLICIES: return cmdGetPolicies(request);
    case CMD_GET: return cmdGet(request);
    case CMD_SET: return cmdSet(request);
    case CMD_RESET: return cmdReset(request);
    case CMD_GET_OBJ: return cmdGetObj(request);
    case CMD_SET_OBJ: return cmdSetObj(request);
    case CMD_GET_ALL: return cmdGetAll(request);
    case CMD_STOP_GET_ALL: return cmdStopGetAll(request);
    case CMD_ADD_OBJ: return cmdAddObj(request);
    case CMD_REMOVE_OBJ: return cmdRemoveObj(request);
    case CMD_MOVE_OBJ: return cmdMoveObj(request);
    case CMD_GET_COUNT: return cmdGetCount(request);
    case CMD_SHUTDOWN: return cmdShutdown(request);
    default: return cmdUnknown(request, command);
  }
}

namespace {
message notSupported() { return errorMsg(ERR_NOT_SUPPORTED, ""); }
}  // namespace

// The policies as two parallel arrays: command numbers and policy values.
void Handler::cmdGetPolicies(message& request) {
  std::vector<uint32_t> commands, values;
  for (const auto& entry : policies_.all()) {
    commands.push_back(entry.first);
    values.push_back(entry.second);
  }
  message reply;
  reply.set(u32_array_id(1), commands);
  reply.set(u32_array_id(2), values);
  replyMessage(request, reply);
}

void Handler::cmdGet(message& request) { replyMessage(request, notSupported()); }
void Handler::cmdSet(message& request) { replyMessage(request, notSupported()); }
void Handler::cmdReset(message& request) { replyMessage(request, notSupported()); }
void Handler::cmdGetObj(message& request) { replyMessage(request, notSupported()); }
void Handler::cmdSetObj(message& request) { replyMessage(request, notSupported()); }
void Handler::cmdGetAll(message& request) { replyMessage(request, notSupported()); }
void Handler::cmdStopGetAll(message& request) { replyMessage(request, message()); }
void Handler::cmdAddObj(message& request) { replyMessage(request, notSupported()); }
void Handler::cmdRemoveObj(message& request) { replyMessage(request, notSupported()); }
void Handler::cmdMoveObj(message& request) { replyMessage(request, notSupported()); }
void Handler::cmdGetCount(message& request) { replyMessage(request, notSupported()); }
void Handler::cmdShutdown(message& request) { replyMessage(request, notSupported()); }

void Handler::cmdUnknown(message& request, uint32_t command) {
  char text[48];
  snprintf(text, sizeof text, "unknown command 0x%x", static_cast<unsigned>(command));
  replyMessage(request, errorMsg(ERR_UNKNOWN_COMMAND, text));
}

void Handler::replyMessage(const message& request, const message& reply) {
  if (Looper* loop = looper()) loop->bus().reply(request, reply);
}

void Handler::replyMessage(const ReplyAddress& address, const message& reply) {
  if (Looper* loop = looper()) loop->bus().replyTo(address, reply);
}

ReplyAddress Handler::replyAddress(const message& request) {
  return Bus::addressOf(request);
}

int Handler::postMessage(message msg, ReplyFn callback, uint32_t timeoutTicks) {
  Looper* loop = looper();
  if (!loop) return -1;
  return loop->bus().post(std::move(msg), std::move(callback), timeoutTicks);
}

void Handler::cancelPost(int requestId) {
  if (requestId < 0) return;
  if (Looper* loop = looper()) loop->bus().cancel(requestId);
}

message Handler::exchangeCmd(message msg, uint32_t command, uint32_t timeoutTicks) {
  Looper* loop = looper();
  if (!loop) return errorMsg(ERR_NO_ROUTE, "no event loop");
  msg.set(COMMAND_FIELD, command);
  bool done = false;
  message reply;
  int id = loop->bus().post(std::move(msg), [&done, &reply](const message& r) {
    reply = r;
    done = true;
  }, timeoutTicks);
  if (id < 0) return errorMsg(ERR_NO_ROUTE, "message cannot be posted");
  // Other events are served while waiting; the loop stopping ends the wait.
  while (!done && !loop->stopping()) loop->turn(-1, true);
  if (!done) {
    loop->bus().cancel(id);
    return errorMsg(ERR_TIMEOUT, "event loop stopping");
  }
  return reply;
}

}  // namespace kv
