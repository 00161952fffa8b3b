#include "platformd/scripts.h"

#include <cctype>

namespace platformd {

namespace {

constexpr size_t MAX_SCRIPT_BYTES = 65536;
constexpr size_t MAX_VARIABLES = 16;
constexpr size_t MAX_NAME_BYTES = 64;
constexpr size_t MAX_ENV_VALUE_BYTES = 32 * 1024;

bool isVariableName(const std::string& name) {
  if (name.empty() || name.size() > MAX_NAME_BYTES || isdigit(static_cast<unsigned char>(name[0]))) {
    return false;
  }
  for (char c : name) {
    if (!isalnum(static_cast<unsigned char>(c)) && c != '_') return false;
  }
  return true;
}

// What of `value` an environment variable can hold.
std::string environmentValue(const std::string& value) {
  return value.substr(0, std::min(value.find('\0'), MAX_ENV_VALUE_BYTES));
}

}  // namespace

ScriptService::ScriptService(kv::ThinRunner& runner, const ScriptOptions& options, kv::LogFn log)
    : runner_(runner), options_(options), log_(std::move(log)) {}

void ScriptService::handleCmd(kv::message& request, uint32_t command) {
  if (command != contract::scripts::RUN_COMMAND) return Handler::handleCmd(request, command);
  Job job{request, ScriptOrder()};
  std::string why;
  if (!parse(request, job.order, why)) {
    return replyMessage(request, kv::errorMsg(kv::ERR_BAD_REQUEST, why));
  }
  if (running_.size() < options_.maxRunning) return start(std::move(job));
  if (queue_.size() >= options_.maxQueued) {
    return replyMessage(request, kv::failedMsg("too many scripts waiting"));
  }
  queue_.push_back(std::move(job));
}

bool ScriptService::parse(const kv::message& request, ScriptOrder& order, std::string& why) const {
  contract::scripts::RunOrder run = contract::scripts::decodeRun(request);
  order.script = std::move(run.script);
  if (order.script.empty() || order.script.size() > MAX_SCRIPT_BYTES ||
      order.script.find('\0') != std::string::npos) {
    why = "the script must be 1 to 65536 bytes without NUL";
    return false;
  }
  if (run.variables.size() > MAX_VARIABLES) {
    why = "too many script variables";
    return false;
  }
  for (auto& variable : run.variables) {
    if (!isVariableName(variable.first)) {
      why = "bad script variable name";
      return false;
    }
    if (variable.first == "msgData") order.input = variable.second;
    order.variables.emplace_back(std::move(variable.first), environmentValue(variable.second));
  }
  const kv::Ticks tps = runner_.clock().ticksPerSecond();
  kv::Ticks limit = run.timeLimitTicks;
  if (limit == 0) limit = options_.defaultLimitSeconds * tps;
  order.limitTicks = std::min<kv::Ticks>(limit, options_.maxLimitSeconds * tps);
  return true;
}

void ScriptService::start(Job job) {
  const kv::Ticks killAfter = kv::Ticks{options_.killAfterSeconds} * runner_.clock().ticksPerSecond();
  running_.push_back(nullptr);
  auto slot = std::prev(running_.end());
  const kv::message request = job.request;
  *slot = std::make_unique<ScriptRun>(runner_, log_, killAfter,
                                      [this, slot, request](const kv::message& outcome) {
                                        finished(slot->get(), request, outcome);
                                      });
  kv::Status st = (*slot)->start(job.order);
  if (!st.isOk()) {
    running_.erase(slot);
    log_(kv::LOG_LEVEL_ERROR, st.message());
    replyMessage(request, kv::failedMsg(st.message()));
  }
}

// A run is not destroyed inside its own callback: it goes on the next turn,
// and the scripts waiting for its place start then.
void ScriptService::finished(ScriptRun* run, const kv::message& request, const kv::message& outcome) {
  replyMessage(request, outcome);
  done_.push_back(run);
  if (!reap_.pending()) reap_ = kv::Timer(runner_, 0, [this]() { reap(); });
}

void ScriptService::reap() {
  for (ScriptRun* run : done_) {
    running_.remove_if([run](const std::unique_ptr<ScriptRun>& r) { return r.get() == run; });
  }
  done_.clear();
  while (running_.size() < options_.maxRunning && !queue_.empty()) {
    Job next = std::move(queue_.front());
    queue_.pop_front();
    start(std::move(next));
  }
}

}  // namespace platformd
