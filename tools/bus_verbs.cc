// The bus-level verbs: any handler path, any command, typed fields by
// number. Scripts and tests use them for whatever the named verbs do not
// cover.
#include <cstdint>
#include <set>
#include <utility>

#include "platform/system.h"
#include "tools/field_arg.h"
#include "tools/message_json.h"
#include "tools/names.h"
#include "tools/readable.h"
#include "tools/rows.h"
#include "tools/values.h"
#include "tools/verbs.h"

namespace mqttctl {
namespace {

// ---- Building requests -----------------------------------------------------------

// The request starts as the --json-in message, if any.
kv::message startRequest(const VerbArgs& args) {
  return args.jsonIn ? *args.jsonIn : kv::message();
}

// Parses words[from...] as fields into the request. A field given twice on
// the command line is refused; one that --json-in already set is replaced.
kv::Status addFieldArgs(const std::vector<std::string>& words, size_t from,
                        kv::message& request) {
  std::set<std::pair<kv::FieldType, uint32_t>> given;
  for (size_t i = from; i < words.size(); ++i) {
    kv::detail::Field f{kv::FieldType::Bool, 0, kv::detail::Value()};
    kv::Status st = parseFieldArg(words[i], f);
    if (!st.isOk()) return st;
    if (!given.emplace(f.type, f.num).second) {
      return kv::Status::malformed(std::string("field ") + kv::fieldTypeName(f.type) + " " +
                                   numberText(f.num) + " is given twice");
    }
    putField(request, std::move(f));
  }
  return kv::Status::ok();
}

kv::Status setTarget(const std::string& pathArg, uint32_t command, kv::message& request) {
  std::vector<uint32_t> path;
  kv::Status st = parsePath(pathArg, path);
  if (!st.isOk()) return st;
  request.set(kv::PATH_FIELD, std::move(path));
  request.set(kv::COMMAND_FIELD, command);
  return kv::Status::ok();
}

kv::Status setObjectId(const std::string& idArg, kv::message& request) {
  uint32_t id = 0;
  kv::Status st = parseU32(idArg, id);
  if (!st.isOk()) return kv::Status::malformed("object id: " + st.message());
  request.set(kv::OBJECT_ID_FIELD, id);
  return kv::Status::ok();
}

kv::Status parseCommand(const std::string& text, uint32_t& command) {
  if (commandFromName(text, command)) return kv::Status::ok();
  kv::Status st = parseU32(text, command);
  if (st.isOk()) return st;
  return kv::Status::malformed("command " + quoteArg(text) +
                               " is neither a number nor a platform command name");
}

// One request, its reply printed.
kv::Status sendOnce(kv::Status st, const kv::message& request, Action& action) {
  if (st.isOk()) {
    action = [request](Session& s) { return reportOutcome(s.bus.call(request), s.output); };
  }
  return st;
}

// ---- prepare() of each verb ------------------------------------------------------------

kv::Status prepareSend(const VerbArgs& args, Action& action) {
  kv::message request = startRequest(args);
  uint32_t command = 0;
  kv::Status st = expectWords(args, 2, SIZE_MAX);
  if (st.isOk()) st = parseCommand(args.words[1], command);
  if (st.isOk()) st = addFieldArgs(args.words, 2, request);
  if (st.isOk()) st = setTarget(args.words[0], command, request);
  return sendOnce(st, request, action);
}

kv::Status preparePathOnly(const VerbArgs& args, uint32_t command, kv::message& request) {
  kv::Status st = expectWords(args, 1, 1);
  return st.isOk() ? setTarget(args.words[0], command, request) : st;
}

// get-all, repeated after the last row while the table says more follow;
// all rows are printed together once the walk is complete.
kv::Status prepareList(const VerbArgs& args, Action& action) {
  kv::message request = startRequest(args);
  kv::Status st = preparePathOnly(args, kv::CMD_GET_ALL, request);
  if (!st.isOk()) return st;
  action = [request](Session& s) {
    std::vector<kv::message> rows;
    if (int status = readRows(s, request, rows)) return status;
    if (s.output.json) {
      kv::message all;
      all.set(kv::ROWS_FIELD, std::move(rows));
      s.output.out << messageToJson(all) << "\n";
    } else {
      writeReadableRows(s.output.out, rows);
    }
    return EXIT_SUCCESS_REPLY;
  };
  return st;
}

kv::Status prepareCount(const VerbArgs& args, Action& action) {
  kv::message request = startRequest(args);
  return sendOnce(preparePathOnly(args, kv::CMD_GET_COUNT, request), request, action);
}

// get PATH ID reads a table row; get PATH reads a holder's object.
kv::Status prepareGet(const VerbArgs& args, Action& action) {
  kv::message request = startRequest(args);
  kv::Status st = expectWords(args, 1, 2);
  if (st.isOk() && args.words.size() == 2) st = setObjectId(args.words[1], request);
  const uint32_t command = args.words.size() == 2 ? kv::CMD_GET_OBJ : kv::CMD_GET;
  if (st.isOk()) st = setTarget(args.words[0], command, request);
  return sendOnce(st, request, action);
}

// set PATH ID FIELD... changes a table row; set PATH FIELD... a holder's
// object. An ID is told from a field by its shape: fields have a type name.
kv::Status prepareSet(const VerbArgs& args, Action& action) {
  kv::message request = startRequest(args);
  kv::Status st = expectWords(args, 1, SIZE_MAX);
  const bool hasId = args.words.size() > 1 && !looksLikeFieldArg(args.words[1]);
  if (st.isOk()) st = addFieldArgs(args.words, hasId ? 2 : 1, request);
  if (st.isOk() && hasId) st = setObjectId(args.words[1], request);
  if (st.isOk()) st = setTarget(args.words[0], hasId ? kv::CMD_SET_OBJ : kv::CMD_SET, request);
  return sendOnce(st, request, action);
}

kv::Status prepareAdd(const VerbArgs& args, Action& action) {
  kv::message request = startRequest(args);
  kv::Status st = expectWords(args, 1, SIZE_MAX);
  if (st.isOk()) st = addFieldArgs(args.words, 1, request);
  if (st.isOk()) st = setTarget(args.words[0], kv::CMD_ADD_OBJ, request);
  return sendOnce(st, request, action);
}

kv::Status prepareRemove(const VerbArgs& args, Action& action) {
  kv::message request = startRequest(args);
  kv::Status st = expectWords(args, 2, 2);
  if (st.isOk()) st = setObjectId(args.words[1], request);
  if (st.isOk()) st = setTarget(args.words[0], kv::CMD_REMOVE_OBJ, request);
  return sendOnce(st, request, action);
}

constexpr const char* BUS = "Bus level (handler paths and typed fields by number)";

Verb busVerb(const char* name, const char* synopsis, const char* summary, const char* examples,
             kv::Status (*prepare)(const VerbArgs&, Action&)) {
  Verb verb{name, synopsis, summary, BUS, {}, "", examples, prepare};
  verb.takesJsonIn = true;
  return verb;
}

}  // namespace

const std::vector<Verb>& busVerbs() {
  static const std::vector<Verb> table = {
      busVerb("send", "PATH COMMAND [FIELD...]", "send any command with typed fields",
              "mqttctl send 2 count\nmqttctl send 1 2 u32:1=3", prepareSend),
      busVerb("list", "PATH", "all rows of a table, in id order", "mqttctl list 2", prepareList),
      busVerb("get", "PATH [ID]", "one row of a table (or a holder's object without ID)",
              "mqttctl get 2 1", prepareGet),
      busVerb("set", "PATH [ID] FIELD...", "change a row (or a holder's object without ID)",
              "mqttctl set 2 1 u32:2=8883", prepareSet),
      busVerb("add", "PATH FIELD...", "add a row to a table",
              "mqttctl add 2 string:name=b1 string:1=10.0.0.1", prepareAdd),
      busVerb("remove", "PATH ID", "remove a row from a table", "mqttctl remove 2 1",
              prepareRemove),
      busVerb("count", "PATH", "number of rows of a table", "mqttctl count 2", prepareCount),
  };
  return table;
}

}  // namespace mqttctl
