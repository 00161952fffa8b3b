#include "tools/cli.h"

#include <errno.h>

#include <algorithm>
#include <cstdio>
#include <sstream>

#include "platform/looper.h"
#include "platform/root.h"
#include "tools/bus_client.h"
#include "tools/json.h"
#include "tools/message_json.h"
#include "tools/names.h"
#include "tools/values.h"

namespace mqttctl {
namespace {

// The value of an option: after '=' in the same argument, else the next
// argument.
kv::Status optionValue(const std::vector<std::string>& args, size_t& i, const std::string& name,
                       bool hasInline, const std::string& inlineValue, std::string& value) {
  if (hasInline) {
    value = inlineValue;
  } else if (i + 1 < args.size()) {
    value = args[++i];
  } else {
    return kv::Status::malformed("option " + name + " needs a value");
  }
  return kv::Status::ok();
}

kv::Status applyOption(const std::vector<std::string>& args, size_t& i, Options& out) {
  const std::string& arg = args[i];
  size_t eq = arg.find('=');
  std::string name = arg.substr(0, eq);
  bool hasInline = eq != std::string::npos;
  std::string inlineValue = hasInline ? arg.substr(eq + 1) : std::string();
  if ((name == "--json" || name == "--help") && hasInline) {
    return kv::Status::malformed("option " + name + " takes no value");
  }
  if (name == "--json") {
    out.json = true;
    return kv::Status::ok();
  }
  if (name == "--help") {
    out.help = true;
    return kv::Status::ok();
  }
  std::string value;
  bool known = name == "--timeout" || name == "--root" || name == "--json-in";
  if (!known) return kv::Status::malformed("unknown option " + quoteArg(name));
  kv::Status st = optionValue(args, i, name, hasInline, inlineValue, value);
  if (!st.isOk()) return st;
  if (name == "--timeout") return parseSeconds(value, out.timeoutMillis);
  if (value.empty()) return kv::Status::malformed("option " + name + " needs a value");
  (name == "--root" ? out.root : out.jsonIn) = value;
  return kv::Status::ok();
}

int usageError(const kv::Status& st, const Command* command, std::ostream& err) {
  err << "mqttctl: " << st.message() << "\n";
  if (command) {
    err << "usage: mqttctl [OPTIONS] " << command->name << " " << command->synopsis << "\n";
  } else {
    err << usageText();
  }
  return EXIT_USAGE;
}

int connectAndExecute(const Options& options, const Command& command, const Plan& plan,
                      std::ostream& out, std::ostream& err) {
  kv::LooperOptions looperOptions;
  looperOptions.mode = kv::LooperOptions::Mode::Peer;
  looperOptions.busPath = busPathFor(options);
  looperOptions.log = [&err](int, const std::string& text) { err << "mqttctl: " << text << "\n"; };
  kv::Looper looper(looperOptions);
  if (!looper.status().isOk()) {
    err << "mqttctl: cannot reach the bus at " << looperOptions.busPath << ": "
        << looper.status().toString() << "\n";
    return EXIT_UNREACHABLE;
  }
  uint32_t ticks = millisToTicks(options.timeoutMillis, looper.clock().ticksPerSecond());
  BusClient client(looper, ticks);
  Output output{out, err, options.json};
  return command.execute(plan, client, output);
}

}  // namespace

kv::Status parseOptions(const std::vector<std::string>& args, Options& out) {
  bool optionsEnded = false;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (optionsEnded || arg.compare(0, 2, "--") != 0) {
      if (!optionsEnded && arg == "-h") {
        out.help = true;
      } else {
        out.words.push_back(arg);
      }
      continue;
    }
    if (arg == "--") {
      optionsEnded = true;
      continue;
    }
    kv::Status st = applyOption(args, i, out);
    if (!st.isOk()) return st;
  }
  return kv::Status::ok();
}

std::string busPathFor(const Options& options) {
  if (options.root.empty()) return kv::rootPath(kv::BUS_SOCKET_PATH);
  std::string root = options.root;
  while (root.size() > 1 && root.back() == '/') root.pop_back();
  if (root == "/") root.clear();
  return root + kv::BUS_SOCKET_PATH;
}

kv::Status readJsonInput(const std::string& source, std::string& text) {
  FILE* file = source == "-" ? stdin : std::fopen(source.c_str(), "rb");
  if (!file) return kv::Status::fromErrno("open " + source, errno);
  text.clear();
  char buffer[4096];
  size_t n = 0;
  bool tooLarge = false;
  while (!tooLarge && (n = std::fread(buffer, 1, sizeof buffer, file)) > 0) {
    text.append(buffer, n);
    tooLarge = text.size() > json::MAX_INPUT_BYTES;
  }
  bool failed = std::ferror(file) != 0;
  if (file != stdin) std::fclose(file);
  if (tooLarge) {
    std::string name = source == "-" ? std::string("standard input") : source;
    return kv::Status::tooLarge(name + " is larger than " +
                                std::to_string(json::MAX_INPUT_BYTES) + " bytes");
  }
  if (failed) return kv::Status::io("cannot read " + source);
  return kv::Status::ok();
}

kv::Status prepareInvocation(const Options& options, const Command*& command, Plan& plan) {
  command = nullptr;
  if (options.words.empty()) return kv::Status::malformed("no command given");
  command = findCommand(options.words[0]);
  if (!command) return kv::Status::malformed("unknown command " + quoteArg(options.words[0]));
  if (!options.jsonIn.empty()) {
    std::string text;
    kv::Status st = readJsonInput(options.jsonIn, text);
    if (st.isOk()) st = messageFromJson(text, plan.request);
    if (!st.isOk()) return kv::Status::malformed("--json-in: " + st.message());
  }
  std::vector<std::string> args(options.words.begin() + 1, options.words.end());
  kv::Status st = command->prepare(args, plan);
  if (!st.isOk()) return kv::Status::malformed(std::string(command->name) + ": " + st.message());
  return st;
}

std::string usageText() {
  std::ostringstream text;
  text << "usage: mqttctl [OPTIONS] COMMAND [ARGUMENTS...]\n\ncommands:\n";
  for (const Command& c : commandTable()) {
    std::string line = std::string(c.name) + " " + c.synopsis;
    line.resize(std::max<size_t>(line.size() + 1, 30), ' ');
    text << "  " << line << c.summary << "\n";
  }
  text << "\noptions:\n"
          "  --json             print replies in the JSON form\n"
          "  --timeout SECONDS  time-out of each request (default 10)\n"
          "  --root DIR         root directory of the bus (default: $KV_ROOT)\n"
          "  --json-in FILE|-   start the request from a message in the JSON form\n"
          "  --help             this text\n"
          "\nPATH is a handler path such as 2 or 24.17; FIELD is TYPE:NUMBER=VALUE with TYPE\n"
          "one of bool u32 be32 u64 string u32a stringa msg msga; COMMAND is a number or\n"
          "a platform command:\n ";
  size_t column = 1;
  for (const std::string& name : commandNames()) {
    if (column + name.size() + 1 > 80) {
      text << "\n ";
      column = 1;
    }
    text << " " << name;
    column += name.size() + 1;
  }
  text << "\n\nexit status: 0 success, 1 failure or error reply, 2 usage error,\n"
          "3 bus unreachable or time-out. See docs/console.md.\n";
  return text.str();
}

int runMain(int argc, char** argv, std::ostream& out, std::ostream& err) {
  Options options;
  std::vector<std::string> args(argv + (argc > 0 ? 1 : 0), argv + argc);
  kv::Status st = parseOptions(args, options);
  if (st.isOk() && (options.help || (!options.words.empty() && options.words[0] == "help"))) {
    out << usageText();
    return EXIT_SUCCESS_REPLY;
  }
  const Command* command = nullptr;
  Plan plan;
  if (st.isOk()) st = prepareInvocation(options, command, plan);
  if (!st.isOk()) return usageError(st, command, err);
  return connectAndExecute(options, *command, plan, out, err);
}

}  // namespace mqttctl
