// The service's log routines: every event line goes to the console and,
// once the system log's socket exists, to one of three system-log streams.
//
//   routine          console line             system-log stream
//   logInfo          "mqtt: " + text          info    (level 5)
//   logWarning       "mqtt: *** " + text      warning (level 2)
//   logError         "mqtt: *** " + text      error   (level 3)
//   logBrokerInfo    logInfo of "<broker name>: " + text
//   logBrokerWarning logWarning of "<broker name>: " + text
//   logBrokerError   logError of text + " (broker <broker name>)"
//
// logBrokerError names the broker after the text: its lines (a connection
// attempt that failed before MQTT started: "couldn't resolve HOST",
// "internal error [...]", "ssl failure [...]") keep their fixed words at
// the start, where readers of the log match them.
//
// The system-log lines carry neither "mqtt: " nor "*** ". Console lines are
// gathered during a loop turn and written, in order, with one write(2)
// before the loop waits again; without a loop, at once; at exit, whatever
// is left. All of it runs on the event-loop thread.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "platform/lstream.h"

// The three system-log stream slots, empty until initSystemLog fills them.
// They are constant-initialised, so they exist before, and are destroyed
// after, every other service-wide object.
extern std::unique_ptr<kv::lstream> errorLogStream;
extern std::unique_ptr<kv::lstream> warningLogStream;
extern std::unique_ptr<kv::lstream> infoLogStream;

void logInfo(const std::string& text);
void logWarning(const std::string& text);
void logError(const std::string& text);
void logBrokerInfo(const std::string& brokerName, const std::string& text);
void logBrokerWarning(const std::string& brokerName, const std::string& text);
void logBrokerError(const std::string& brokerName, const std::string& text);

// Writes the console lines gathered so far now, rather than before the
// loop next waits (for a reader that cannot wait for the loop: a test).
void flushConsole();
// Where console lines go, a batch at a time; null: standard output. Lines
// gathered so far go to the old one first. For tests.
using ConsoleSink = std::function<void(const std::string& lines)>;
void setConsoleSink(ConsoleSink sink);

// Fills the stream slots once "/ram/logsocket" (under the root directory)
// exists; until then tests again every second on the loop's runner.
void initSystemLog();

// printf-style formatting into a string, for texts with placeholders.
std::string strprintf(const char* format, ...) __attribute__((format(printf, 1, 2)));
