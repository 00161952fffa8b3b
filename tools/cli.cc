#include "tools/cli.h"

#include <errno.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "platform/looper.h"
#include "platform/root.h"
#include "tools/bus_client.h"
#include "tools/help.h"
#include "tools/input.h"
#include "tools/json.h"
#include "tools/message_json.h"
#include "tools/values.h"

namespace mqttctl {
namespace {

// Walks the arguments once, left to right (see cli.h).
class Parser {
 public:
  Parser(const std::vector<std::string>& args, Options& out) : args_(args), out_(out) {}

  kv::Status run() {
    for (i_ = 0; i_ < args_.size(); ++i_) {
      const std::string& arg = args_[i_];
      kv::Status st = ended_ || arg.size() < 2 || arg[0] != '-' ? word(arg) : option(arg);
      if (!st.isOk()) return st;
    }
    if (!out_.verb && !out_.help) return missingVerb();
    return kv::Status::ok();
  }

 private:
  kv::Status word(const std::string& arg) {
    if (out_.verb) {
      out_.args.words.push_back(arg);
      return kv::Status::ok();
    }
    if (out_.verbWords.empty() && arg == "help" && !out_.help) {
      out_.help = true;
      return kv::Status::ok();
    }
    out_.verbWords.push_back(arg);
    if (isNoun(out_.verbWords[0]) && out_.verbWords.size() < 2) return kv::Status::ok();
    out_.verb = findVerb(out_.verbWords);
    if (out_.verb) return kv::Status::ok();
    if (isNoun(out_.verbWords[0])) {
      return kv::Status::malformed("unknown verb " + quoteArg(out_.verbWords[0] + " " + arg));
    }
    return kv::Status::malformed("unknown verb " + quoteArg(arg));
  }

  kv::Status missingVerb() {
    if (out_.verbWords.empty()) return kv::Status::malformed("no verb given");
    return kv::Status::malformed(out_.verbWords[0] + ": which one? " + verbsOfNoun());
  }

  std::string verbsOfNoun() const {
    std::string list;
    const std::string prefix = out_.verbWords[0] + " ";
    for (const Verb& v : verbTable()) {
      if (std::string(v.name).compare(0, prefix.size(), prefix) != 0) continue;
      list += (list.empty() ? "" : ", ") + std::string(v.name).substr(prefix.size());
    }
    return list;
  }

  kv::Status option(const std::string& arg) {
    if (arg == "--") {
      ended_ = true;
      return kv::Status::ok();
    }
    if (arg == "-h" || arg == "--help") {
      out_.help = true;
      return kv::Status::ok();
    }
    const bool isLong = arg[1] == '-';
    const size_t eq = isLong ? arg.find('=') : std::string::npos;
    const std::string name = isLong ? arg.substr(2, eq - 2) : arg.substr(1, 1);
    const Flag* flag = findFlag(name, isLong);
    if (flag) return verbFlag(*flag, arg, eq);
    if (isLong) return globalOption(name, arg, eq);
    return unknownOption(arg.substr(0, 2));
  }

  const Flag* findFlag(const std::string& name, bool isLong) const {
    if (!out_.verb) return nullptr;
    for (const Flag& f : out_.verb->flags) {
      if (isLong ? name == f.longName : (f.shortName && name[0] == f.shortName)) return &f;
    }
    return nullptr;
  }

  kv::Status unknownOption(const std::string& name) const {
    std::string text = "unknown option " + quoteArg(name);
    if (out_.verb) text += " (put -- before arguments that start with -)";
    return kv::Status::malformed(text);
  }

  // The value of an option: after '=' (long) or the letter (short) in the
  // same argument, else the next argument.
  kv::Status takeValue(const std::string& arg, size_t eq, const std::string& shown,
                       std::string& value) {
    const bool isLong = arg[1] == '-';
    if (isLong && eq != std::string::npos) {
      value = arg.substr(eq + 1);
    } else if (!isLong && arg.size() > 2) {
      value = arg.substr(2);
    } else if (i_ + 1 < args_.size()) {
      value = args_[++i_];
    } else {
      return kv::Status::malformed("option " + shown + " needs a value");
    }
    return kv::Status::ok();
  }

  kv::Status verbFlag(const Flag& flag, const std::string& arg, size_t eq) {
    const std::string shown = arg.substr(0, eq == std::string::npos ? arg.size() : eq);
    const bool inlineValue = arg[1] == '-' ? eq != std::string::npos : arg.size() > 2;
    if (!flag.valueName && inlineValue) {
      return kv::Status::malformed("option " + quoteArg(shown) + " takes no value");
    }
    out_.args.given.insert(flag.longName);
    if (!flag.valueName) return kv::Status::ok();
    std::string& value = out_.args.values[flag.longName];
    kv::Status st = takeValue(arg, eq, shown, value);
    if (st.isOk()) out_.args.allValues[flag.longName].push_back(value);
    return st;
  }

  kv::Status globalOption(const std::string& name, const std::string& arg, size_t eq) {
    const std::string shown = "--" + name;
    if (name == "json") {
      if (eq != std::string::npos) return kv::Status::malformed("option --json takes no value");
      out_.json = true;
      return kv::Status::ok();
    }
    if (name != "timeout" && name != "root" && name != "json-in") return unknownOption(shown);
    std::string value;
    kv::Status st = takeValue(arg, eq, shown, value);
    if (!st.isOk()) return st;
    if (name == "timeout") return parseSeconds(value, out_.timeoutMillis);
    if (value.empty()) return kv::Status::malformed("option " + shown + " needs a value");
    (name == "root" ? out_.root : out_.jsonIn) = value;
    return kv::Status::ok();
  }

  const std::vector<std::string>& args_;
  Options& out_;
  size_t i_ = 0;
  bool ended_ = false;
};

int usageError(const kv::Status& st, const Options& options, std::ostream& err) {
  err << "mqttctl: " << st.message() << "\n";
  if (options.verb) {
    err << "usage: mqttctl [OPTIONS] " << options.verb->name << " " << options.verb->synopsis
        << "\nRun 'mqttctl " << options.verb->name << " --help' for more.\n";
  } else {
    err << "Run 'mqttctl --help' for the verbs.\n";
  }
  return EXIT_USAGE;
}

// Which root directory the options chose, and why: the daemon may well be
// running under another one.
std::string rootChoice(const Options& options) {
  const std::string fromEnv = kv::rootDir();
  if (!options.root.empty()) return "the root directory " + options.root + " (from --root)";
  if (!fromEnv.empty()) return "the root directory " + fromEnv + " (from KV_ROOT)";
  return "the root directory / (KV_ROOT is not set)";
}

// Why connecting to the bus failed, in plain words.
std::string unreachableText(const Options& options) {
  const std::string busPath = busPathFor(options);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::snprintf(addr.sun_path, sizeof addr.sun_path, "%s", busPath.c_str());
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  int err = 0;
  if (fd >= 0 && ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) err = errno;
  if (fd >= 0) ::close(fd);
  if (err == ENOENT || err == ECONNREFUSED) {
    return "the daemon is not running (nothing serves the bus at " + busPath + ")\nmqttctl: looked in " +
           rootChoice(options) + "; choose another with --root DIR or KV_ROOT=DIR";
  }
  if (err == EACCES || err == EPERM) {
    return "no permission to connect to the bus at " + busPath +
           " (only the daemon's user and group may)";
  }
  return "cannot reach the bus at " + busPath + (err ? std::string(": ") + strerror(err) : "");
}

int connectAndRun(const Options& options, const Action& action, std::ostream& out,
                  std::ostream& err) {
  kv::LooperOptions looperOptions;
  looperOptions.mode = kv::LooperOptions::Mode::Peer;
  looperOptions.busPath = busPathFor(options);
  looperOptions.catchSignals = options.verb->catchesSignals;
  // The console says itself what went wrong; the bus's own lines would only
  // repeat it in its terms.
  looperOptions.log = [](int, const std::string&) {};
  kv::Looper looper(looperOptions);
  if (!looper.status().isOk()) {
    err << "mqttctl: " << unreachableText(options) << "\n";
    return EXIT_UNREACHABLE;
  }
  uint32_t ticks = millisToTicks(options.timeoutMillis, looper.clock().ticksPerSecond());
  BusClient client(looper, ticks);
  Session session{client, Output{out, err, options.json, options.timeoutMillis}, 0};
  return action(session);
}

}  // namespace

kv::Status parseOptions(const std::vector<std::string>& args, Options& out) {
  return Parser(args, out).run();
}

std::string busPathFor(const Options& options) {
  if (options.root.empty()) return kv::rootPath(kv::BUS_SOCKET_PATH);
  std::string root = options.root;
  while (root.size() > 1 && root.back() == '/') root.pop_back();
  if (root == "/") root.clear();
  return root + kv::BUS_SOCKET_PATH;
}

kv::Status readJsonInput(const std::string& source, std::string& text) {
  return readInputFile(source, json::MAX_INPUT_BYTES, source == "-" ? "standard input" : source,
                       text);
}

kv::Status prepareInvocation(const Options& options, kv::message& jsonIn, Action& action) {
  const Verb& verb = *options.verb;
  VerbArgs args = options.args;
  if (!options.jsonIn.empty()) {
    if (!verb.takesJsonIn) {
      return kv::Status::malformed("--json-in goes with the bus-level verbs (send, add, set ...)");
    }
    std::string text;
    kv::Status st = readJsonInput(options.jsonIn, text);
    if (st.isOk()) st = messageFromJson(text, jsonIn);
    if (!st.isOk()) return kv::Status::malformed("--json-in: " + st.message());
    args.jsonIn = &jsonIn;
  }
  kv::Status st = verb.prepare(args, action);
  if (!st.isOk()) return kv::Status::malformed(std::string(verb.name) + ": " + st.message());
  return st;
}

std::string helpText(const Options& options) {
  if (options.verb) return verbHelp(*options.verb);
  if (!options.verbWords.empty() && isNoun(options.verbWords[0])) {
    return nounHelp(options.verbWords[0]);
  }
  return overallHelp();
}

int runMain(int argc, char** argv, std::ostream& out, std::ostream& err) {
  Options options;
  std::vector<std::string> args(argv + (argc > 0 ? 1 : 0), argv + argc);
  kv::Status st = parseOptions(args, options);
  if (st.isOk() && options.help) {
    out << helpText(options);
    return EXIT_SUCCESS_REPLY;
  }
  kv::message jsonIn;
  Action action;
  if (st.isOk()) st = prepareInvocation(options, jsonIn, action);
  if (!st.isOk()) return usageError(st, options, err);
  return connectAndRun(options, action, out, err);
}

}  // namespace mqttctl
