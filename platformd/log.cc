#include "platformd/log.h"

#include <unistd.h>

#include <iostream>

#include "platform/root.h"

namespace platformd {

namespace {
const int LEVELS[3] = {kv::LOG_LEVEL_ERROR, kv::LOG_LEVEL_WARNING, kv::LOG_LEVEL_INFO};
}

void ServiceLog::watchForSystemLog(kv::ThinRunner& runner) { lookForSystemLog(runner); }

void ServiceLog::lookForSystemLog(kv::ThinRunner& runner) {
  if (access(kv::rootPath(kv::LOG_SOCKET_PATH).c_str(), F_OK) != 0) {
    retry_ = kv::Timer(runner, runner.clock().ticksPerSecond(),
                       [this, &runner]() { lookForSystemLog(runner); });
    return;
  }
  for (int i = 0; i < 3; ++i) streams_[i].reset(new kv::lstream(LOG_SOURCE, LEVELS[i], 0));
}

void ServiceLog::write(int level, const std::string& text) {
  std::cout << (level > kv::LOG_LEVEL_WARNING ? "platformd: " : "platformd: *** ") << text
            << std::endl;
  int slot = level <= kv::LOG_LEVEL_ERROR ? 0 : level == kv::LOG_LEVEL_WARNING ? 1 : 2;
  if (streams_[slot]) *streams_[slot] << text << std::endl;
}

kv::LogFn ServiceLog::fn() {
  return [this](int level, const std::string& text) { write(level, text); };
}

}  // namespace platformd
