// The service's log routines: every event line goes to the console and,
// once the system log's socket exists, to one of three system-log streams.
//
//   routine          console line             system-log stream
//   logInfo          "mqtt: " + text          info    (level 5)
//   logWarning       "mqtt: *** " + text      warning (level 2)
//   logError         "mqtt: *** " + text      error   (level 3)
//   logBrokerInfo    logInfo of "<broker name>: " + text
//   logBrokerWarning logWarning of "<broker name>: " + text
//
// The system-log lines carry neither "mqtt: " nor "*** ". Console lines are
// flushed one by one. All of it runs on the event-loop thread.
#pragma once

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

// Fills the stream slots once "/ram/logsocket" (under the root directory)
// exists; until then tests again every second on the loop's runner.
void initSystemLog();

// printf-style formatting into a string, for texts with placeholders.
std::string strprintf(const char* format, ...) __attribute__((format(printf, 1, 2)));
