// A loop for driving one platform service through the bus, in one process.
#pragma once

#include <poll.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/bus.h"
#include "platform/looper.h"

namespace platformd {

class LoopFixture {
 public:
  explicit LoopFixture(kv::Clock* clock = nullptr) {
    kv::LooperOptions options;
    options.clock = clock;
    loop = std::make_unique<kv::Looper>(options);
  }
  // Posts `request` (path and command set) and collects its reply.
  void post(kv::message request, uint32_t timeoutTicks = 100000,
            uint32_t rights = kv::RIGHTS_ALL) {
    loop->bus().post(std::move(request), [this](const kv::message& r) { replies.push_back(r); },
                     timeoutTicks, rights);
  }
  // Turns the loop until `done` holds, waiting for other processes and
  // threads in between; false if a generous guard runs out first.
  bool turnUntil(const std::function<bool()>& done) {
    for (int i = 0; i < 30000 && !done(); ++i) {
      loop->turn(0);
      if (!done()) poll(nullptr, 0, 1);
    }
    return done();
  }
  // Turns the loop `turns` times, letting other processes run in between.
  void settle(int turns) {
    for (int i = 0; i < turns; ++i) {
      loop->turn(0);
      poll(nullptr, 0, 1);
    }
  }
  bool awaitReplies(size_t n) {
    return turnUntil([this, n]() { return replies.size() >= n; });
  }
  kv::LogFn logFn() {
    return [this](int, const std::string& text) { logLines.push_back(text); };
  }

  std::unique_ptr<kv::Looper> loop;
  std::vector<kv::message> replies;
  std::vector<std::string> logLines;
};

inline kv::message request(std::vector<uint32_t> path, uint32_t command) {
  kv::message m;
  m.set(kv::PATH_FIELD, std::move(path));
  m.set(kv::COMMAND_FIELD, command);
  return m;
}

}  // namespace platformd
