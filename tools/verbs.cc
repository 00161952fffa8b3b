#include "tools/verbs.h"

#include <cstdio>

#include <nlohmann/json.hpp>

#include "platform/system.h"
#include "tools/json.h"
#include "tools/message_json.h"
#include "tools/names.h"
#include "tools/readable.h"
#include "tools/values.h"
#include "tools/words.h"

namespace mqttctl {
namespace {

// The bus's text of a lost connection: "peer disconnected", followed by the
// hub's notice when it sent one ("peer disconnected: bus full: ...").
std::string lostConnectionLine(const std::string& text) {
  const std::string prefix = "peer disconnected: ";
  if (text.compare(0, prefix.size(), prefix) != 0) {
    return "the connection closed before an answer came (the daemon may have stopped)";
  }
  const std::string notice = escapeBytes(text.substr(prefix.size()));
  if (notice.compare(0, 9, "bus full:") == 0) return notice + "; try again later";
  return "the daemon closed the connection: " + notice;
}

std::string errorLine(const kv::message& reply) {
  std::string text = escapeBytes(kv::getError(reply));
  if (!reply.has(kv::ERROR_CODE_FIELD))
    return "failed: " + (text.empty() ? "(no failure text)" : text);
  uint32_t code = kv::getErrorCode(reply);
  std::string line = "error " + hexText(code);
  if (const char* name = errorCodeName(code)) line += std::string(" (") + name + ")";
  return text.empty() ? line : line + ": " + text;
}

}  // namespace

std::string VerbArgs::value(const std::string& flag, const std::string& fallback) const {
  auto it = values.find(flag);
  return it == values.end() ? fallback : it->second;
}

std::vector<std::string> VerbArgs::all(const std::string& flag) const {
  auto it = allValues.find(flag);
  return it == allValues.end() ? std::vector<std::string>() : it->second;
}

const std::vector<Verb>& verbTable() {
  static const std::vector<Verb> table = [] {
    std::vector<Verb> all;
    for (const auto* group : {&tableVerbs(), &storeVerbs(), &mqttVerbs(), &busVerbs()}) {
      all.insert(all.end(), group->begin(), group->end());
    }
    return all;
  }();
  return table;
}

const Verb* findVerb(const std::vector<std::string>& words) {
  if (words.empty()) return nullptr;
  const std::string name = isNoun(words[0]) && words.size() > 1 ? words[0] + " " + words[1]
                                                                  : words[0];
  for (const Verb& verb : verbTable()) {
    if (name == verb.name) return &verb;
  }
  return nullptr;
}

bool isNoun(const std::string& word) {
  const std::string prefix = word + " ";
  for (const Verb& verb : verbTable()) {
    if (std::string(verb.name).compare(0, prefix.size(), prefix) == 0) return true;
  }
  return false;
}

int exitStatusFor(const CallResult& result) {
  if (!result.delivered) return EXIT_UNREACHABLE;
  if (!kv::isError(result.reply)) return EXIT_SUCCESS_REPLY;
  uint32_t code = kv::getErrorCode(result.reply);
  if (code == kv::ERR_TIMEOUT || code == kv::ERR_PEER_GONE) return EXIT_UNREACHABLE;
  return EXIT_ERROR_REPLY;
}

int reportFailure(const CallResult& result, const Output& output) {
  const int status = exitStatusFor(result);
  if (!result.delivered) return fail(output, status, result.problem);
  const uint32_t code = kv::getErrorCode(result.reply);
  if (code == kv::ERR_TIMEOUT) {
    const std::string limit = output.timeoutMillis ? secondsText(output.timeoutMillis) : "?";
    return fail(output, status, "time-out: no answer within " + limit + " s (see --timeout)");
  }
  if (code == kv::ERR_PEER_GONE) {
    return fail(output, status, lostConnectionLine(kv::getError(result.reply)));
  }
  fail(output, status, errorLine(result.reply));
  if (!output.json) return status;
  std::string members;
  if (result.reply.has(kv::ERROR_CODE_FIELD)) {
    members = "\"code\":" + std::to_string(code);
    if (const char* name = errorCodeName(code)) {
      members += ",\"code-name\":\"" + std::string(name) + "\"";
    }
  }
  printJsonError(output, escapeBytes(kv::getError(result.reply)), members);
  return status;
}

void printJsonError(const Output& output, const std::string& text, const std::string& members) {
  std::string object = "{\"error\":" + json::dump(json::textOrHex(text));
  if (!members.empty()) object += "," + members;
  output.out << object << "}\n";
}

int reportOutcome(const CallResult& result, const Output& output) {
  const int status = exitStatusFor(result);
  if (status != EXIT_SUCCESS_REPLY) return reportFailure(result, output);
  if (output.json) {
    output.out << messageToJson(result.reply) << "\n";
  } else {
    if (result.reply.empty()) output.out << "ok\n";
    writeReadable(output.out, result.reply);
  }
  return status;
}

int sendChange(Session& s, const kv::message& request) {
  CallResult result = s.bus.call(request);
  return exitStatusFor(result) == EXIT_SUCCESS_REPLY ? EXIT_SUCCESS_REPLY
                                                     : reportFailure(result, s.output);
}

int sendAdd(Session& s, const kv::message& request) {
  CallResult result = s.bus.call(request);
  if (exitStatusFor(result) != EXIT_SUCCESS_REPLY) return reportFailure(result, s.output);
  const std::string id = std::to_string(result.reply.get(kv::OBJECT_ID_FIELD));
  s.output.out << (s.output.json ? "{\"id\":" + id + "}" : id) << "\n";
  return EXIT_SUCCESS_REPLY;
}

kv::Status expectWords(const VerbArgs& args, size_t min, size_t max) {
  if (args.words.size() < min) return kv::Status::malformed("too few arguments");
  if (args.words.size() > max) return kv::Status::malformed("too many arguments");
  return kv::Status::ok();
}

int fail(const Output& output, int status, const std::string& text) {
  output.err << "mqttctl: " << text << "\n";
  return status;
}

}  // namespace mqttctl
