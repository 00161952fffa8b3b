// The script service (contracts/scripts.h): handler path [48].
//
// A run order is checked before it starts (ScriptRun runs it):
//   script              1 to 65536 bytes, no NUL
//   variables           at most 16, names of letters, digits and '_' not
//                       starting with a digit, at most 64 bytes (their kind
//                       is not read)
//   time limit          counted from the script's start; 0 or absent: 30
//                       seconds; at most one hour
// Each variable reaches the script's environment, its value cut at its
// first NUL byte and at 32 KiB (what an environment can hold); the value
// of "msgData" also goes, whole, to the script's standard input.
//
// The reply comes when the script has exited (ScriptRun lists the
// outcomes). At most `maxRunning` scripts run at once; up to `maxQueued`
// more wait in arrival order; beyond that a request fails at once with
// "too many scripts waiting".
#pragma once

#include <cstdint>
#include <deque>
#include <list>
#include <memory>
#include <vector>

#include "contracts/scripts.h"
#include "platform/handler.h"
#include "platformd/script_run.h"

namespace platformd {

struct ScriptOptions {
  size_t maxRunning = 4;
  size_t maxQueued = 16;
  uint32_t defaultLimitSeconds = 30;
  uint32_t maxLimitSeconds = 3600;
  uint32_t killAfterSeconds = 2;  // from SIGTERM to SIGKILL
};

class ScriptService : public kv::Handler {
 public:
  ScriptService(kv::ThinRunner& runner, const ScriptOptions& options, kv::LogFn log);
  void handleCmd(kv::message& request, uint32_t command) override;
  size_t running() const { return running_.size(); }
  size_t queued() const { return queue_.size(); }

 private:
  struct Job {
    kv::message request;
    ScriptOrder order;
  };
  bool parse(const kv::message& request, ScriptOrder& order, std::string& why) const;
  void start(Job job);
  void finished(ScriptRun* run, const kv::message& request, const kv::message& outcome);
  void reap();

  kv::ThinRunner& runner_;
  ScriptOptions options_;
  kv::LogFn log_;
  std::deque<Job> queue_;
  std::list<std::unique_ptr<ScriptRun>> running_;
  std::vector<ScriptRun*> done_;  // finished, destroyed on the next turn
  kv::Timer reap_;
};

}  // namespace platformd
