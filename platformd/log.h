// platformd's log lines.
//
// Every line goes to standard output, "platformd: " + text for information
// and "platformd: *** " + text for warnings and errors, flushed at once.
// Once the system log's socket "/ram/logsocket" (under the root directory)
// exists, each line also goes there as one datagram "<level>79 text", where
// 79 names this program and level is the syslog severity (kv::LOG_LEVEL_*).
// The socket is looked for from watchForSystemLog() on, once a second until
// it appears.
#pragma once

#include <memory>
#include <string>

#include "platform/looper.h"
#include "platform/lstream.h"

namespace platformd {

constexpr int LOG_SOURCE = 79;

class ServiceLog {
 public:
  ServiceLog() = default;
  ServiceLog(const ServiceLog&) = delete;
  ServiceLog& operator=(const ServiceLog&) = delete;

  // Starts looking for the system log's socket on `runner`.
  void watchForSystemLog(kv::ThinRunner& runner);
  void write(int level, const std::string& text);
  // A kv::LogFn that writes here; valid while this object lives.
  kv::LogFn fn();

 private:
  void lookForSystemLog(kv::ThinRunner& runner);

  kv::Timer retry_;
  std::unique_ptr<kv::lstream> streams_[3];  // error, warning, information
};

}  // namespace platformd
