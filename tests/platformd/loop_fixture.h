// A loop for driving one platform service through the bus, in one process,
// under a temporary root directory (KV_ROOT) that is removed afterwards;
// in virtual time (`clock`) when asked.
#pragma once

#include <poll.h>
#include <stdlib.h>

#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/bus.h"
#include "platform/looper.h"
#include "platform/root.h"

namespace platformd {

class LoopFixture {
 public:
  explicit LoopFixture(bool virtualTime = false) {
    char tmpl[] = "/tmp/platformd-test-XXXXXX";
    root = mkdtemp(tmpl);
    setenv(kv::ROOT_ENV, root.c_str(), 1);
    kv::LooperOptions options;
    options.clock = virtualTime ? &clock : nullptr;
    loop = std::make_unique<kv::Looper>(options);
  }
  ~LoopFixture() {
    loop.reset();
    unsetenv(kv::ROOT_ENV);
    std::filesystem::remove_all(root);
  }
  // Posts `request` (path and command set) and collects its reply.
  void post(kv::message request, uint32_t rights = kv::RIGHTS_ALL) {
    loop->bus().post(std::move(request), [this](const kv::message& r) { replies.push_back(r); },
                     100000, rights);
  }
  // Posts `request` alone and returns its reply (empty when none came).
  kv::message ask(kv::message request, uint32_t rights = kv::RIGHTS_ALL) {
    replies.clear();
    post(std::move(request), rights);
    EXPECT_TRUE(awaitReplies(1));
    return replies.empty() ? kv::message() : replies[0];
  }
  // Turns the loop until `done` holds, letting other processes and threads
  // run in between; false if a generous guard runs out first.
  bool turnUntil(const std::function<bool()>& done, int guard = 30000) {
    for (int i = 0; i < guard && !done(); ++i) {
      loop->turn(0);
      if (!done()) poll(nullptr, 0, 1);
    }
    return done();
  }
  // Turns the loop `turns` times, letting other processes run in between.
  void settle(int turns) {
    turnUntil([] { return false; }, turns);
  }
  bool awaitReplies(size_t n) {
    return turnUntil([this, n]() { return replies.size() >= n; });
  }
  kv::LogFn logFn() {
    return [this](int, const std::string& text) { logLines.push_back(text); };
  }

  kv::ManualClock clock{100};
  std::string root;
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
