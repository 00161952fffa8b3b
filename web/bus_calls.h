// Asking the daemon and the platform over the bus, without waiting: every
// answer comes to a callback on the loop thread, exactly once.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "platform/looper.h"
#include "platform/message.h"

namespace mqttweb {

using Reply = std::function<void(const kv::message& reply)>;
// Rows of a whole table, or the failure text that stopped the walk.
using RowsReply = std::function<void(std::vector<kv::message> rows, std::string failure)>;

class BusCalls {
 public:
  // Most rows one walk gathers: more than any table of the daemon holds.
  static constexpr size_t MAX_ROWS = 70000;

  BusCalls(kv::Looper& loop, uint32_t timeoutSeconds) : loop_(loop), timeoutSeconds_(timeoutSeconds) {}

  // Sends `request`, which carries its path and command (an encoded order
  // of contracts/). A request that cannot be posted is answered with a
  // failure reply, on a later loop turn like any other.
  void send(kv::message request, Reply done);
  // Sends `request` to `path` with `command`, as send() does.
  void ask(std::vector<uint32_t> path, uint32_t command, kv::message request, Reply done);
  // Every row of the table at `path` after `afterId` (0: from the first),
  // following the pages of get-all to the end.
  void readRows(std::vector<uint32_t> path, uint32_t afterId, RowsReply done);

 private:
  void nextPage(std::vector<uint32_t> path, uint32_t afterId,
                std::shared_ptr<std::vector<kv::message>> rows, RowsReply done);

  kv::Looper& loop_;
  uint32_t timeoutSeconds_;
};

// The failure text of a reply: its text, or for an error reply without one
// a word on its code; "" for success. A daemon that is not running reads
// as such.
std::string failureText(const kv::message& reply);

}  // namespace mqttweb
