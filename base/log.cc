#include "base/log.h"

#include <errno.h>
#include <poll.h>
#include <stdarg.h>
#include <stdio.h>
#include <unistd.h>

#include <functional>

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

// A console that takes nothing for this long loses the lines in hand.
constexpr int CONSOLE_STALL_MS = 1000;
// Past this, the gathered lines are written at once rather than at the end
// of the turn: a turn that logs a lot holds little.
constexpr size_t MAX_GATHERED_BYTES = 64 * 1024;

void writeToStandardOutput(const std::string& bytes) {
  for (size_t done = 0; done < bytes.size();) {
    const ssize_t n = write(STDOUT_FILENO, bytes.data() + done, bytes.size() - done);
    if (n > 0) {
      done += static_cast<size_t>(n);
    } else if (n < 0 && errno == EAGAIN) {
      pollfd out{STDOUT_FILENO, POLLOUT, 0};
      if (poll(&out, 1, CONSOLE_STALL_MS) <= 0) return;
    } else if (!(n < 0 && errno == EINTR)) {
      return;  // a console that is gone loses the lines, never the service
    }
  }
}

// The console lines of the current loop turn, in order, written with one
// write(2) before the loop waits again (docs/service.md). Without a loop
// they are written at once; at exit, whatever is left.
class ConsoleLines {
 public:
  ~ConsoleLines() { flush(); }
  void add(const char* prefix, const std::string& text) {
    gathered_.append(prefix).append(text).push_back('\n');
    kv::Looper* loop = kv::getLooper();
    if (!loop || gathered_.size() >= MAX_GATHERED_BYTES) {
      flush();
    } else if (!queued_) {
      queued_ = true;
      loop->runner().runBeforeWait([this] {
        queued_ = false;
        flush();
      });
    }
  }
  void flush() {
    if (gathered_.empty()) return;
    if (sink) {
      sink(gathered_);
    } else {
      writeToStandardOutput(gathered_);
    }
    gathered_.clear();
  }
  ConsoleSink sink;

 private:
  std::string gathered_;
  bool queued_ = false;  // a flush waits for the loop
};

ConsoleLines consoleLines MQTT_INIT_ORDER(1001);

void emit(const char* prefix, const std::unique_ptr<kv::lstream>& stream,
          const std::string& text) {
  consoleLines.add(prefix, text);
  if (stream) *stream << text << std::endl;
}

}  // namespace

void flushConsole() { consoleLines.flush(); }

void setConsoleSink(ConsoleSink sink) {
  consoleLines.flush();
  consoleLines.sink = std::move(sink);
}

void logInfo(const std::string& text) { emit("mqtt: ", infoLogStream, text); }
void logWarning(const std::string& text) { emit("mqtt: *** ", warningLogStream, text); }
void logError(const std::string& text) { emit("mqtt: *** ", errorLogStream, text); }

void logBrokerInfo(const std::string& brokerName, const std::string& text) {
  logInfo(brokerName + ": " + text);
}

void logBrokerWarning(const std::string& brokerName, const std::string& text) {
  logWarning(brokerName + ": " + text);
}

void logBrokerError(const std::string& brokerName, const std::string& text) {
  logError(text + " (broker " + brokerName + ")");
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
