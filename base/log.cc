#include "base/log.h"

#include <stdarg.h>
#include <stdio.h>
#include <unistd.h>

#include <iostream>

#include "base/service_globals.h"
#include "platform/looper.h"
#include "platform/root.h"

// Priority 1001: constructed before, and so destroyed after, every other
// service-wide object, whose destructors may still log.
std::unique_ptr<kv::lstream> errorLogStream MQTT_INIT_ORDER(1001);
std::unique_ptr<kv::lstream> warningLogStream MQTT_INIT_ORDER(1001);
std::unique_ptr<kv::lstream> infoLogStream MQTT_INIT_ORDER(1001);

namespace {

// Identifies this service's lines in the system log.
constexpr int LOG_SOURCE = 78;
constexpr int LEVEL_ERROR = 3;
constexpr int LEVEL_WARNING = 2;
constexpr int LEVEL_INFO = 5;

void emit(const char* prefix, const std::unique_ptr<kv::lstream>& stream,
          const std::string& text) {
  // One write of the whole line, flushed at once.
  std::string line;
  line.reserve(12 + text.size());
  line.append(prefix).append(text).push_back('\n');
  std::cout.write(line.data(), static_cast<std::streamsize>(line.size()));
  std::cout.flush();
  if (stream) *stream << text << std::endl;
}

}  // namespace

void logInfo(const std::string& text) { emit("mqtt: ", infoLogStream, text); }
void logWarning(const std::string& text) { emit("mqtt: *** ", warningLogStream, text); }
void logError(const std::string& text) { emit("mqtt: *** ", errorLogStream, text); }

void logBrokerInfo(const std::string& brokerName, const std::string& text) {
  logInfo(brokerName + ": " + text);
}

void logBrokerWarning(const std::string& brokerName, const std::string& text) {
  logWarning(brokerName + ": " + text);
}

void initSystemLog() {
  if (access(kv::rootPath(kv::LOG_SOCKET_PATH).c_str(), F_OK) != 0) {
    kv::getRunner().addTimer(ticksPerSecond, initSystemLog);
    return;
  }
  errorLogStream.reset(new kv::lstream(LOG_SOURCE, LEVEL_ERROR, 0));
  warningLogStream.reset(new kv::lstream(LOG_SOURCE, LEVEL_WARNING, 0));
  infoLogStream.reset(new kv::lstream(LOG_SOURCE, LEVEL_INFO, 0));
}

std::string strprintf(const char* format, ...) {
  char small[256];
  va_list args;
  va_start(args, format);
  int n = vsnprintf(small, sizeof small, format, args);
  va_end(args);
  if (n < 0) return std::string();
  if (static_cast<size_t>(n) < sizeof small) return std::string(small, static_cast<size_t>(n));
  std::string out(static_cast<size_t>(n) + 1, '\0');
  va_start(args, format);
  vsnprintf(&out[0], out.size(), format, args);
  va_end(args);
  out.resize(static_cast<size_t>(n));
  return out;
}
