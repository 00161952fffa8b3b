// Runs a command line against a scripted Requester, capturing what it
// prints; and a fake daemon to run it against.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <deque>
#include <functional>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "platform/system.h"
#include "tools/cli.h"

namespace mqttctl {

struct Ran {
  int status = -1;
  std::string out, err;
};

// Calls run(out, err), which returns an exit status, and keeps what it printed.
template <typename Run>
Ran capture(Run run) {
  std::ostringstream out, err;
  Ran r;
  r.status = run(out, err);
  r.out = out.str();
  r.err = err.str();
  return r;
}

// Parses `args` (what follows the program name) and prepares the verb.
inline kv::Status prepare(const std::vector<std::string>& args, Options& options,
                          kv::message& jsonIn, Action& action) {
  kv::Status st = parseOptions(args, options);
  return st.isOk() ? prepareInvocation(options, jsonIn, action) : st;
}

// Parses, prepares and runs `args`, with standard input `inputFd`. A usage
// error fails the test.
inline Ran runCommand(const std::vector<std::string>& args, Requester& requester,
                      int inputFd = 0) {
  Options options;
  kv::message jsonIn;
  Action action;
  kv::Status st = prepare(args, options, jsonIn, action);
  EXPECT_TRUE(st.isOk()) << st.message();
  if (!st.isOk()) return Ran();
  return capture([&](std::ostream& out, std::ostream& err) {
    Session session{requester, Output{out, err, options.json, options.timeoutMillis}, inputFd};
    return action(session);
  });
}

// Answers each request with answer(request) (by default, the scripted
// replies in order), one outcome per wait(), oldest first; keeps the
// requests. pause() succeeds `pauses` times, then reports an interrupt;
// each pause moves the clock by the time asked.
class ScriptedRequester : public Requester {
 public:
  explicit ScriptedRequester(std::vector<kv::message> replies = {kv::message()})
      : replies_(std::move(replies)) {}

  void start(const kv::message& request, DoneFn done) override {
    requests.push_back(request);
    pending_.emplace_back(std::move(done), answer ? answer(request) : next());
    maxInFlight = std::max(maxInFlight, pending_.size());
  }
  void wait() override {
    if (pending_.empty()) return;
    auto first = std::move(pending_.front());
    pending_.pop_front();
    first.first(first.second);
  }
  size_t inFlight() const override { return pending_.size(); }
  bool pause(uint32_t millis) override {
    clockMillis += millis;
    if (onPause) onPause();
    return pauses-- > 0;
  }
  uint64_t nowMillis() const override { return clockMillis; }

  std::function<CallResult(const kv::message&)> answer;
  std::function<void()> onPause;
  std::vector<kv::message> requests;
  size_t maxInFlight = 0;
  int pauses = 0;
  uint64_t clockMillis = 0;

 private:
  CallResult next() {
    if (requests.size() > replies_.size()) {
      ADD_FAILURE() << "unexpected request " << requests.size();
      return CallResult{};
    }
    return CallResult{true, replies_[requests.size() - 1], ""};
  }
  std::vector<kv::message> replies_;
  std::deque<std::pair<DoneFn, CallResult>> pending_;
};

// A daemon whose broker table [2] holds 2 "lab", 7 "home" and 9 "7" (a
// name that is also an id) and answers get-all with all of them; any other
// request gets reply(request), by default a success.
inline ScriptedRequester fakeDaemon(std::function<kv::message(const kv::message&)> reply = nullptr) {
  ScriptedRequester fake;
  fake.answer = [reply](const kv::message& request) {
    kv::message answer;
    if (request.get(kv::COMMAND_FIELD) != kv::CMD_GET_ALL ||
        request.get(kv::PATH_FIELD) != std::vector<uint32_t>{2}) {
      return CallResult{true, reply ? reply(request) : answer, ""};
    }
    std::vector<kv::message> rows;
    const std::pair<uint32_t, const char*> brokers[] = {{2, "lab"}, {7, "home"}, {9, "7"}};
    for (const auto& broker : brokers) {
      rows.emplace_back();
      rows.back().set(kv::OBJECT_ID_FIELD, broker.first);
      rows.back().set(kv::NAME_FIELD, broker.second);
    }
    answer.set(kv::ROWS_FIELD, rows);
    return CallResult{true, answer, ""};
  };
  return fake;
}

}  // namespace mqttctl
