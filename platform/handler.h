// kv::Handler: a message handler on the local bus, and kv::policies.
//
// A handler is registered with the event loop under a handler path
// (Looper::addHandler). Requests for that path, from this process or from a
// bus peer, reach handle(), which checks the sender's rights against the
// handler's policies and then calls handleCmd() with the command number.
// The default handleCmd() sends the platform's generic commands (get, set,
// table rows, count ...) to the cmd... operations and every other number to
// cmdUnknown(); subclasses override what they serve.
//
// Every request is answered exactly once with replyMessage(): an empty
// message is success, failedMsg(text) a failure, errorMsg(code, text) an
// error. A request may be copied and answered later, from any callback; a
// reply to a sender that has gone away is dropped quietly.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <vector>

#include "platform/clock.h"
#include "platform/message.h"
#include "platform/system.h"

namespace kv {

class Looper;

// The reply callback of postMessage: runs exactly once, on the loop thread.
using ReplyFn = std::function<void(const message& reply)>;

// Where a reply goes: the bus connection a request came on (0: this
// process) and the sender's request id, as the bus stamped them.
struct ReplyAddress {
  static constexpr uint32_t NOWHERE = 0xFFFFFFFF;  // never a connection id
  uint32_t origin = NOWHERE;  // NOWHERE: no bus delivered the request
  uint32_t requestId = 0;
};

// Which commands need which rights.
//
// A policy value is a bit set. 512 (NEEDS_WRITE) means "the sender needs
// write permission"; every other bit is reserved and, so that a mistake
// fails closed, a non-zero reserved bit needs write permission as well.
// A command without a policy needs only read permission.
class policies {
 public:
  static constexpr uint32_t NEEDS_WRITE = 512;

  void add_policy(uint32_t command, uint32_t value);
  uint32_t policy(uint32_t command) const;
  // True when a sender with `rights` (RIGHTS_FIELD, stamped by the bus; a
  // request without it is read-only) may run `command`.
  bool is_allowed(uint32_t command, uint32_t rights) const;
  const std::map<uint32_t, uint32_t>& all() const { return map_; }

 private:
  std::map<uint32_t, uint32_t> map_;
};

// True for the generic commands that change state (set, reset, add, set row,
// remove, move, shutdown): they always need write permission.
bool isWriteCommand(uint32_t command);

class Handler {
 public:
  Handler();
  virtual ~Handler();
  Handler(const Handler&) = delete;
  Handler& operator=(const Handler&) = delete;

  virtual void loadPermData() {}
  virtual void savePermData() {}
  // A delivered request: refused with ERR_NOT_ALLOWED ("write permission
  // required") when the sender lacks the rights, and with ERR_BAD_REQUEST
  // ("this handler takes no descriptor") when it carries a descriptor
  // (SOCKET_FIELD) and takesDescriptors() is false; a refused request's
  // descriptor is closed. Else handleCmd().
  virtual void handle(message& request);
  // True for a handler that accepts requests carrying a descriptor. It then
  // owns the descriptor of every request that reaches handleCmd(), whatever
  // the command: it must keep it or close it.
  virtual bool takesDescriptors() const { return false; }
  virtual void handleCmd(message& request, uint32_t command);

  virtual void cmdGetPolicies(message& request);
  virtual void cmdGet(message& request);
  virtual void cmdSet(message& request);
  virtual void cmdReset(message& request);
  virtual void cmdGetObj(message& request);
  virtual void cmdSetObj(message& request);
  virtual void cmdGetAll(message& request);
  virtual void cmdStopGetAll(message& request);
  virtual void cmdAddObj(message& request);
  virtual void cmdRemoveObj(message& request);
  virtual void cmdMoveObj(message& request);
  virtual void cmdGetCount(message& request);
  // Default: errorMsg(ERR_UNKNOWN_COMMAND, "unknown command 0x...").
  virtual void cmdUnknown(message& request, uint32_t command);
  virtual void cmdShutdown(message& request);

  // Answers `request` (its routing fields say where the answer goes). A
  // descriptor the reply carries in SOCKET_FIELD is duplicated for the
  // receiver; the caller keeps its own (see docs/bus.md).
  void replyMessage(const message& request, const message& reply);
  // Where the answer to `request` goes, all that replyMessage reads: a
  // request answered later can be kept as these two numbers instead of
  // whole (with its payload).
  static ReplyAddress replyAddress(const message& request);
  void replyMessage(const ReplyAddress& address, const message& reply);
  // Sends `msg` to the handler at its PATH_FIELD. `callback` runs exactly
  // once: with the reply, or with an error reply on time-out
  // (ERR_TIMEOUT), on an unknown path (ERR_NO_ROUTE) or when the peer that
  // serves the path disconnects (ERR_PEER_GONE). Returns -1, and never calls
  // the callback, when the message cannot be posted (no loop, no path,
  // message too large, the serving peer's output is full, a descriptor in
  // SOCKET_FIELD that cannot be duplicated); otherwise a positive request
  // id. The time-out is in clock ticks. A descriptor the message carries is
  // duplicated for the receiver; the caller keeps its own, and the callback
  // owns the one a reply carries.
  int postMessage(message msg, ReplyFn callback, uint32_t timeoutTicks);
  // Forgets a request that postMessage accepted: its callback will not run
  // (a reply that still comes is dropped). Unknown or finished ids, and
  // -1, are ignored.
  void cancelPost(int requestId);
  // Sets the command, posts, and turns the loop until the reply arrives
  // (other events are served meanwhile); returns the reply or the error
  // reply that postMessage's callback would have received.
  message exchangeCmd(message msg, uint32_t command, uint32_t timeoutTicks);

  policies& getPolicies() { return policies_; }
  // The loop this handler is registered with, else the process loop (a
  // loop is its own).
  virtual Looper* looper() const;

 protected:
  policies policies_;

 private:
  friend class Looper;
  Looper* registeredWith_ = nullptr;
};

}  // namespace kv
