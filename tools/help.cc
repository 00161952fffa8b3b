#include "tools/help.h"

#include <algorithm>
#include <sstream>

#include "tools/names.h"

namespace mqttctl {
namespace {

constexpr size_t HELP_COLUMN = 34;

std::string usageLine(const Verb& verb) {
  std::string line = std::string(verb.name) + " " + verb.synopsis;
  while (!line.empty() && line.back() == ' ') line.pop_back();
  return line;
}

// "  LEFT<padding>RIGHT", RIGHT on the next line when LEFT is too long.
std::string row(const std::string& left, const std::string& right) {
  std::string line = "  " + left;
  if (line.size() + 2 > HELP_COLUMN) {
    return line + "\n" + std::string(HELP_COLUMN, ' ') + right + "\n";
  }
  line.resize(HELP_COLUMN, ' ');
  return line + right + "\n";
}

std::string indented(const std::string& text) {
  std::string out = "  ";
  for (char c : text) {
    out += c;
    if (c == '\n') out += "  ";
  }
  return out + "\n";
}

std::string flagText(const Flag& flag) {
  std::string text = flag.shortName ? std::string("-") + flag.shortName + ", " : "    ";
  text += std::string("--") + flag.longName;
  if (flag.valueName) text += std::string(" ") + flag.valueName;
  return text;
}

// PATH, FIELD and COMMAND of the bus-level verbs.
std::string busDetails() {
  std::string text =
      "PATH is a handler path such as 2 or 24.17; FIELD is TYPE:NUMBER=VALUE with\n"
      "TYPE one of bool u32 be32 u64 string u32a stringa msg msga; COMMAND is a\n"
      "number or a platform command:";
  size_t column = 80;
  for (const std::string& name : commandNames()) {
    if (column + name.size() + 1 > 78) {
      text += "\n ";
      column = 1;
    }
    text += " " + name;
    column += name.size() + 1;
  }
  return text + "\nThe daemon's handlers: 1 commands, 2 brokers, 3 subscriptions, 4 received,\n"
                "5 broker status (read only).";
}

}  // namespace

std::string overallHelp() {
  std::ostringstream text;
  text << "usage: mqttctl [OPTIONS] VERB [ARGUMENTS...]\n";
  std::string group;
  for (const Verb& verb : verbTable()) {
    if (group != verb.group) {
      group = verb.group;
      text << "\n" << group << ":\n";
    }
    text << row(usageLine(verb), verb.summary);
  }
  text << "\nOptions, anywhere on the line (-- ends them):\n"
       << row("--json", "print JSON instead of the readable form")
       << row("--timeout SECONDS", "time-out of each request (default 10)")
       << row("--root DIR", "root directory of the bus (default: $KV_ROOT)")
       << row("--json-in FILE|-", "start a bus-level request from JSON")
       << row("-h, --help", "this text; 'mqttctl VERB --help' for a verb")
       << "\nA first message:\n"
          "  mosquitto -p 1883 &\n"
          "  mqttctl broker add local address=127.0.0.1\n"
          "  mqttctl subscribe local 'demo/#'\n"
          "  mqttctl received watch &          # prints: demo/hello hello, world\n"
          "  mqttctl publish local demo/hello 'hello, world'\n"
          "\nExit status: 0 done; 1 refused by the daemon, or no such name; 2 usage\n"
          "error; 3 daemon not running, bus full, time-out or connection lost.\n"
          "See docs/console.md.\n";
  return text.str();
}

std::string nounHelp(const std::string& noun) {
  std::ostringstream text;
  text << "mqttctl " << noun << " VERB ...\n";
  for (const Verb& verb : verbTable()) {
    const std::string name = verb.name;
    if (name.compare(0, noun.size() + 1, noun + " ") != 0) continue;
    const std::string examples = verb.examples;
    text << "\n" << row(usageLine(verb), verb.summary)
         << "    e.g. " << examples.substr(0, examples.find('\n')) << "\n";
  }
  text << "\n'mqttctl " << noun << " VERB --help' shows a verb's keys, flags and examples.\n";
  return text.str();
}

std::string verbHelp(const Verb& verb) {
  std::ostringstream text;
  text << "usage: mqttctl [OPTIONS] " << usageLine(verb) << (verb.flags.empty() ? "" : " [FLAGS]")
       << "\n\n" << verb.summary << "\n";
  if (!verb.flags.empty()) {
    text << "\nFlags:\n";
    for (const Flag& flag : verb.flags) text << row(flagText(flag), flag.help);
  }
  std::string details = verb.details;
  if (verb.takesJsonIn) details = busDetails();
  if (!details.empty()) text << "\n" << details << "\n";
  text << "\nExample" << (std::string(verb.examples).find('\n') == std::string::npos ? "" : "s")
       << ":\n" << indented(verb.examples);
  return text.str();
}

}  // namespace mqttctl
