// The command line of mqttctl:
//
//   mqttctl [OPTIONS] COMMAND [ARGUMENTS...]
//
// Options may appear anywhere before "--"; see usageText() and
// docs/console.md. runMain() is main() with the streams passed in.
#pragma once

#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

#include "platform/status.h"
#include "tools/commands.h"

namespace mqttctl {

constexpr uint32_t DEFAULT_TIMEOUT_MILLIS = 10 * 1000;

struct Options {
  bool json = false;
  bool help = false;
  uint32_t timeoutMillis = DEFAULT_TIMEOUT_MILLIS;  // per request
  std::string root;                // --root DIR; "" means KV_ROOT (see platform/root.h)
  std::string jsonIn;              // --json-in FILE, "-" for standard input; "" for none
  std::vector<std::string> words;  // the command and its arguments
};

// Parses the arguments after the program name.
kv::Status parseOptions(const std::vector<std::string>& args, Options& out);

// The bus socket that the options point at.
std::string busPathFor(const Options& options);

// Reads the --json-in source, at most json::MAX_INPUT_BYTES.
kv::Status readJsonInput(const std::string& source, std::string& text);

// Finds the command and builds its plan, without touching the bus. On
// failure `command` is the command when it was found (for its usage line),
// else null.
kv::Status prepareInvocation(const Options& options, const Command*& command, Plan& plan);

std::string usageText();

// Everything: parse, prepare, connect, execute. Returns the exit status.
int runMain(int argc, char** argv, std::ostream& out, std::ostream& err);

}  // namespace mqttctl
