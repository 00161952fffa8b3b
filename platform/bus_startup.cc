// The bus's start: a hub that holds requests for unserved paths during its
// start-up grace, and a peer that waits for its hub and reconnects.
#include "platform/bus.h"
#include "platform/descriptor.h"

namespace kv {

Status Bus::startHub() {
  Status st = listenOn(path_);
  if (st.isOk() && options_.startGraceSeconds > 0) {
    inGrace_ = true;
    Ticks grace = Ticks{options_.startGraceSeconds} * loop_.clock().ticksPerSecond();
    graceTimer_ = Timer(loop_.runner(), grace, [this]() { endGrace(); });
  }
  return st;
}

// ---- Peer: waiting for the hub, and reconnecting ----------------------------------

Status Bus::startPeer() {
  Status st = connectTo(path_);
  if (st.isOk() || options_.reconnectSeconds == 0) return st;
  loop_.log(LOG_LEVEL_INFO, "bus: waiting for the hub (" + st.message() + ")");
  retryHubLater();
  return Status::ok();
}

void Bus::retryHubLater() {
  Ticks delay = Ticks{options_.reconnectSeconds} * loop_.clock().ticksPerSecond();
  reconnectTimer_ = Timer(loop_.runner(), delay, [this]() {
    if (!connectTo(path_).isOk()) return retryHubLater();
    hubNotice_.clear();  // it was about the connection that went
    loop_.log(LOG_LEVEL_INFO, "bus: connected to the hub");
    for (const auto& route : local_) serve(route.first);
  });
}

// Asks the hub to route `path` here.
void Bus::serve(const Path& path) {
  message request;
  request.set(PATH_FIELD, std::vector<uint32_t>());
  request.set(COMMAND_FIELD, CMD_SERVE);
  request.set(SERVE_PATH_FIELD, path);
  post(request, [this](const message& reply) {
    if (isError(reply)) loop_.log(LOG_LEVEL_ERROR, "bus: cannot serve a path: " + getError(reply));
  }, 30 * loop_.clock().ticksPerSecond());
}

// ---- Hub: the start-up grace ------------------------------------------------------

// Requests held for `path` go on now that someone serves it.
void Bus::releaseHeld(const Path& path) {
  std::vector<Held> ready;
  for (auto it = held_.begin(); it != held_.end();) {
    if (it->msg.get(PATH_FIELD) != path) {
      ++it;
      continue;
    }
    ready.push_back(std::move(*it));
    it = held_.erase(it);
  }
  for (Held& h : ready) {
    uint32_t target = 0;
    auto p = pending_.find(h.id);
    if (dispatch(h.id, h.msg, target)) {
      if (p != pending_.end()) p->second.connection = target;
      continue;
    }
    closeCarriedDescriptor(h.msg);
    enqueue(InboxItem{false, h.id, errorMsg(ERR_BUSY, "the serving peer cannot take requests")});
  }
}

// Forgets held request `id` (its time-out has come); false if not held.
bool Bus::dropHeld(uint32_t id) {
  for (auto it = held_.begin(); it != held_.end(); ++it) {
    if (it->id != id) continue;
    closeCarriedDescriptor(it->msg);
    held_.erase(it);
    return true;
  }
  return false;
}

void Bus::endGrace() {
  inGrace_ = false;
  std::vector<Held> unserved;
  unserved.swap(held_);
  for (const Held& h : unserved) {
    closeCarriedDescriptor(h.msg);
    enqueue(InboxItem{false, h.id, noRoute()});
  }
}

}  // namespace kv
