// The verbs of the console: what each one accepts, what it sends, how it
// shows the outcome, and the exit status that follows.
//
// A verb runs in two steps. prepare() checks its arguments and flags and
// builds an Action, without touching the bus, so that every usage error is
// found before a connection is made. The Action then runs against a
// Session: it sends requests through the session's Requester and prints.
//
// Verbs come in four groups, each in its own file: the table verbs
// (table_verbs.cc: broker, subscription and received), the commands to the
// daemon (mqtt_verbs.cc: connect, publish, subscribe ...), the certificate
// stores (store_verbs.cc: ca, cert) and the bus-level verbs (bus_verbs.cc:
// send, list, get ... with numbers). To add a verb,
// write its prepare and add a row to its group's table.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <ostream>
#include <set>
#include <string>
#include <vector>

#include "platform/message.h"
#include "platform/status.h"
#include "tools/bus_client.h"

namespace mqttctl {

// Exit statuses of mqttctl.
constexpr int EXIT_SUCCESS_REPLY = 0;  // done
constexpr int EXIT_ERROR_REPLY = 1;    // refused by the daemon, an unknown name, a malformed reply
constexpr int EXIT_USAGE = 2;          // bad arguments
constexpr int EXIT_UNREACHABLE = 3;    // no bus, request not posted, time-out, connection lost

// Where and how results are printed.
struct Output {
  std::ostream& out;
  std::ostream& err;
  bool json = false;
  uint32_t timeoutMillis = 0;  // of each request, for the time-out message
};

// What an Action works with.
struct Session {
  Requester& bus;
  Output output;
  int inputFd = 0;  // standard input (publish -l, password=-)
};

// What a verb does once its arguments are checked; returns the exit status.
using Action = std::function<int(Session&)>;

// A flag of a verb: -q 1, --qos 1, --qos=1, -q1; or, without a value, -r.
struct Flag {
  char shortName;         // 0: none
  const char* longName;   // without the dashes
  const char* valueName;  // null: the flag takes no value
  const char* help;
};

// What the command line gave a verb once the options are taken out.
struct VerbArgs {
  std::vector<std::string> words;             // the arguments after the verb's name
  std::map<std::string, std::string> values;  // flags with a value, by long name: the last
  std::map<std::string, std::vector<std::string>> allValues;  // ... every one, in order
  std::set<std::string> given;                // every flag given, by long name
  const kv::message* jsonIn = nullptr;        // the --json-in message, when given

  bool has(const std::string& flag) const { return given.count(flag) != 0; }
  std::string value(const std::string& flag, const std::string& fallback = "") const;
  // Every value of a flag that may be given more than once (--topic A --topic B).
  std::vector<std::string> all(const std::string& flag) const;
};

struct Verb {
  const char* name;      // one word, or a noun and a word: "publish", "broker add"
  const char* synopsis;  // the arguments, for the usage line
  const char* summary;   // one line
  const char* group;     // heading in the overall help
  std::vector<Flag> flags;
  std::string details;   // further help (keys, values, limits); "" for none
  const char* examples;  // complete command lines, one per line
  // Checks the arguments and builds the action. A failure is a usage error.
  kv::Status (*prepare)(const VerbArgs& args, Action& action);
  bool takesJsonIn = false;     // --json-in starts its request
  bool catchesSignals = false;  // SIGINT and SIGTERM end it cleanly (watch)
};

// Every verb, in the order of the overall help.
const std::vector<Verb>& verbTable();
// The verb whose name is `words[0]` or `words[0] words[1]`; null if none.
const Verb* findVerb(const std::vector<std::string>& words);
// True when `word` starts two-word verbs ("broker").
bool isNoun(const std::string& word);

// The exit status for an outcome: 0 for a success reply, 3 when nothing was
// delivered or the reply is the platform's time-out or peer-gone error,
// 1 for any other failure or error reply.
int exitStatusFor(const CallResult& result);

// Prints an unsuccessful outcome on standard error, in plain words (a
// refusal's text unchanged, escaped for the terminal), and returns its exit
// status. With --json a refusal also goes to standard output as an object:
// {"error":TEXT}, with "code" and "code-name" for an error code; a
// time-out or lost connection prints nothing there.
int reportFailure(const CallResult& result, const Output& output);

// With --json, a refusal on standard output: {"error":TEXT}, then
// `members` ("key":value pairs, comma-separated) when not empty.
void printJsonError(const Output& output, const std::string& text,
                    const std::string& members = "");

// Prints an outcome: a success reply on standard output (JSON or readable,
// "ok" for an empty one), anything else through reportFailure.
int reportOutcome(const CallResult& result, const Output& output);

// Sends a request that changes something and prints nothing when it
// succeeds, as the everyday command-line tools do; else the failure
// (reportFailure). Returns the exit status.
int sendChange(Session& session, const kv::message& request);

// Sends an add and prints the new row's object id: the number on a line,
// or {"id":N} with --json.
int sendAdd(Session& session, const kv::message& request);

// "too few arguments" / "too many arguments" unless the verb was given
// from `min` to `max` words.
kv::Status expectWords(const VerbArgs& args, size_t min, size_t max);

// Prints "mqttctl: TEXT" on standard error and returns `status`.
int fail(const Output& output, int status, const std::string& text);

// The three groups (see the file comment).
const std::vector<Verb>& tableVerbs();
const std::vector<Verb>& mqttVerbs();
const std::vector<Verb>& busVerbs();
const std::vector<Verb>& storeVerbs();  // store_verbs.cc: ca and cert

}  // namespace mqttctl
