// The command line of mqttctl:
//
//   mqttctl [OPTIONS] VERB [ARGUMENTS...] [FLAGS...]
//
// VERB is one word ("publish", "send") or a noun and a word ("broker
// add"); see verbs.h. The options (--json, --timeout, --root, --json-in,
// --help) may appear anywhere; a verb's flags anywhere after the verb. "--"
// ends both: every argument after it is a plain argument, even one that
// starts with "-". A value is given as "--timeout 5", "--timeout=5", or for
// a one-letter flag "-q 1" and "-q1".
//
// The parser is hand-written: a command-line library costs the router's
// stripped mqttctl about 257 KiB, more than the console itself
// (docs/console.md, "Parsing").
#pragma once

#include <cstdint>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "platform/message.h"
#include "platform/status.h"
#include "tools/verbs.h"

namespace mqttctl {

constexpr uint32_t DEFAULT_TIMEOUT_MILLIS = 10 * 1000;

struct Options {
  bool json = false;
  bool help = false;
  uint32_t timeoutMillis = DEFAULT_TIMEOUT_MILLIS;  // per request
  std::string root;    // --root DIR; "" means KV_ROOT (see platform/root.h)
  std::string jsonIn;  // --json-in FILE, "-" for standard input; "" for none
  // The words before the verb was found, and the verb (null when none was
  // named); what follows it is in `args`.
  std::vector<std::string> verbWords;
  const Verb* verb = nullptr;
  VerbArgs args;
};

// Parses the arguments after the program name. A failure is a usage error;
// `out.verb` is then the verb when it was found (for its usage line).
kv::Status parseOptions(const std::vector<std::string>& args, Options& out);

// The bus socket that the options point at.
std::string busPathFor(const Options& options);

// Reads the --json-in source, at most json::MAX_INPUT_BYTES.
kv::Status readJsonInput(const std::string& source, std::string& text);

// Checks the verb's arguments and builds its action, without touching the
// bus. `jsonIn` holds the --json-in message for as long as the action.
kv::Status prepareInvocation(const Options& options, kv::message& jsonIn, Action& action);

// The help text for the options' words: the overall help, a noun's verbs
// ("broker --help") or one verb's.
std::string helpText(const Options& options);

// Everything: parse, prepare, connect, run. Returns the exit status.
int runMain(int argc, char** argv, std::ostream& out, std::ostream& err);

}  // namespace mqttctl
