#include "tools/commands.h"

#include <cstdint>
#include <set>
#include <utility>

#include "platform/system.h"
#include "tools/field_arg.h"
#include "tools/message_json.h"
#include "tools/names.h"
#include "tools/readable.h"
#include "tools/values.h"

namespace mqttctl {
namespace {

// ---- Building requests -----------------------------------------------------------

kv::Status expectArgs(const std::vector<std::string>& args, size_t min, size_t max) {
  if (args.size() < min) return kv::Status::malformed("too few arguments");
  if (args.size() > max) return kv::Status::malformed("too many arguments");
  return kv::Status::ok();
}

// Parses args[from...] as fields into the request. A field given twice on
// the command line is refused; one that --json-in already set is replaced.
kv::Status addFieldArgs(const std::vector<std::string>& args, size_t from, kv::message& request) {
  std::set<std::pair<kv::FieldType, uint32_t>> given;
  for (size_t i = from; i < args.size(); ++i) {
    kv::detail::Field f{kv::FieldType::Bool, 0, kv::detail::Value()};
    kv::Status st = parseFieldArg(args[i], f);
    if (!st.isOk()) return st;
    if (!given.emplace(f.type, f.num).second) {
      return kv::Status::malformed(std::string("field ") + kv::fieldTypeName(f.type) + " " +
                                   numberText(f.num) + " is given twice");
    }
    putField(request, std::move(f));
  }
  return kv::Status::ok();
}

kv::Status setTarget(const std::string& pathArg, uint32_t command, Plan& plan) {
  std::vector<uint32_t> path;
  kv::Status st = parsePath(pathArg, path);
  if (!st.isOk()) return st;
  plan.request.set(kv::PATH_FIELD, std::move(path));
  plan.request.set(kv::COMMAND_FIELD, command);
  return kv::Status::ok();
}

kv::Status setObjectId(const std::string& idArg, Plan& plan) {
  uint32_t id = 0;
  kv::Status st = parseU32(idArg, id);
  if (!st.isOk()) return kv::Status::malformed("object id: " + st.message());
  plan.request.set(kv::OBJECT_ID_FIELD, id);
  return kv::Status::ok();
}

kv::Status parseCommand(const std::string& text, uint32_t& command) {
  if (commandFromName(text, command)) return kv::Status::ok();
  kv::Status st = parseU32(text, command);
  if (st.isOk()) return st;
  return kv::Status::malformed("command " + quoteArg(text) +
                               " is neither a number nor a platform command name");
}

// ---- prepare() of each command ------------------------------------------------------

kv::Status prepareSend(const std::vector<std::string>& args, Plan& plan) {
  uint32_t command = 0;
  kv::Status st = expectArgs(args, 2, SIZE_MAX);
  if (st.isOk()) st = parseCommand(args[1], command);
  if (st.isOk()) st = addFieldArgs(args, 2, plan.request);
  if (st.isOk()) st = setTarget(args[0], command, plan);
  return st;
}

kv::Status preparePathOnly(const std::vector<std::string>& args, uint32_t command, Plan& plan) {
  kv::Status st = expectArgs(args, 1, 1);
  return st.isOk() ? setTarget(args[0], command, plan) : st;
}

kv::Status prepareList(const std::vector<std::string>& args, Plan& plan) {
  return preparePathOnly(args, kv::CMD_GET_ALL, plan);
}

kv::Status prepareCount(const std::vector<std::string>& args, Plan& plan) {
  return preparePathOnly(args, kv::CMD_GET_COUNT, plan);
}

// get PATH ID reads a table row; get PATH reads a holder's object.
kv::Status prepareGet(const std::vector<std::string>& args, Plan& plan) {
  kv::Status st = expectArgs(args, 1, 2);
  if (!st.isOk()) return st;
  if (args.size() == 2) {
    st = setObjectId(args[1], plan);
    return st.isOk() ? setTarget(args[0], kv::CMD_GET_OBJ, plan) : st;
  }
  return setTarget(args[0], kv::CMD_GET, plan);
}

// set PATH ID FIELD... changes a table row; set PATH FIELD... a holder's
// object. An ID is told from a field by its shape: fields have a type name.
kv::Status prepareSet(const std::vector<std::string>& args, Plan& plan) {
  kv::Status st = expectArgs(args, 1, SIZE_MAX);
  if (!st.isOk()) return st;
  bool hasId = args.size() > 1 && !looksLikeFieldArg(args[1]);
  st = addFieldArgs(args, hasId ? 2 : 1, plan.request);
  if (st.isOk() && hasId) st = setObjectId(args[1], plan);
  if (!st.isOk()) return st;
  return setTarget(args[0], hasId ? kv::CMD_SET_OBJ : kv::CMD_SET, plan);
}

kv::Status prepareAdd(const std::vector<std::string>& args, Plan& plan) {
  kv::Status st = expectArgs(args, 1, SIZE_MAX);
  if (st.isOk()) st = addFieldArgs(args, 1, plan.request);
  return st.isOk() ? setTarget(args[0], kv::CMD_ADD_OBJ, plan) : st;
}

kv::Status prepareRemove(const std::vector<std::string>& args, Plan& plan) {
  kv::Status st = expectArgs(args, 2, 2);
  if (st.isOk()) st = setObjectId(args[1], plan);
  return st.isOk() ? setTarget(args[0], kv::CMD_REMOVE_OBJ, plan) : st;
}

// ---- execute() ---------------------------------------------------------------------

int executeOnce(const Plan& plan, Requester& requester, const Output& output) {
  return reportOutcome(requester.call(plan.request), output);
}

// Appends the rows of one get-all reply. When the table says that more rows
// follow, points `request` after the last row, whose id must be above the
// previous starting point so that the walk always ends.
kv::Status takePage(const kv::message& reply, std::vector<kv::message>& rows, kv::message& request,
                    bool& more) {
  const std::vector<kv::message>* page = reply.find(kv::ROWS_FIELD);
  size_t count = page ? page->size() : 0;
  if (count > MAX_LIST_ROWS - rows.size()) {
    return kv::Status::tooLarge("more than " + std::to_string(MAX_LIST_ROWS) + " rows");
  }
  more = reply.get(kv::MORE_FIELD);
  if (count) rows.insert(rows.end(), page->begin(), page->end());
  if (!more) return kv::Status::ok();
  if (count == 0) return kv::Status::malformed("more rows are announced but the page is empty");
  const kv::message& last = page->back();
  if (!last.has(kv::OBJECT_ID_FIELD)) {
    return kv::Status::malformed("the last row of a page has no object id");
  }
  uint32_t lastId = last.get(kv::OBJECT_ID_FIELD);
  if (request.has(kv::AFTER_ID_FIELD) && lastId <= request.get(kv::AFTER_ID_FIELD)) {
    return kv::Status::malformed("object ids do not increase from one page to the next");
  }
  request.set(kv::AFTER_ID_FIELD, lastId);
  return kv::Status::ok();
}

// get-all, repeated after the last row while the table says more follow;
// all rows are printed together once the walk is complete.
int executeList(const Plan& plan, Requester& requester, const Output& output) {
  kv::message request = plan.request;
  std::vector<kv::message> rows;
  for (bool more = true; more;) {
    CallResult result = requester.call(request);
    if (!result.delivered || kv::isError(result.reply)) return reportOutcome(result, output);
    kv::Status st = takePage(result.reply, rows, request, more);
    if (!st.isOk()) {
      output.err << "mqttctl: bad get-all reply: " << st.message() << "\n";
      return EXIT_ERROR_REPLY;
    }
  }
  if (output.json) {
    kv::message all;
    all.set(kv::ROWS_FIELD, std::move(rows));
    output.out << messageToJson(all) << "\n";
  } else {
    writeReadableRows(output.out, rows);
  }
  return EXIT_SUCCESS_REPLY;
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

const std::vector<Command>& commandTable() {
  static const std::vector<Command> table = {
      {"send", "PATH COMMAND [FIELD...]", "send any command with typed fields", prepareSend,
       executeOnce},
      {"list", "PATH", "all rows of a table, in id order", prepareList, executeList},
      {"get", "PATH [ID]", "one row of a table (or a holder's object without ID)", prepareGet,
       executeOnce},
      {"set", "PATH [ID] FIELD...", "change a row (or a holder's object without ID)", prepareSet,
       executeOnce},
      {"add", "PATH FIELD...", "add a row to a table", prepareAdd, executeOnce},
      {"remove", "PATH ID", "remove a row from a table", prepareRemove, executeOnce},
      {"count", "PATH", "number of rows of a table", prepareCount, executeOnce},
  };
  return table;
}

const Command* findCommand(const std::string& name) {
  for (const Command& command : commandTable()) {
    if (name == command.name) return &command;
  }
  return nullptr;
}

int exitStatusFor(const CallResult& result) {
  if (!result.delivered) return EXIT_UNREACHABLE;
  if (!kv::isError(result.reply)) return EXIT_SUCCESS_REPLY;
  uint32_t code = kv::getErrorCode(result.reply);
  if (code == kv::ERR_TIMEOUT || code == kv::ERR_PEER_GONE) return EXIT_UNREACHABLE;
  return EXIT_ERROR_REPLY;
}

int reportOutcome(const CallResult& result, const Output& output) {
  int status = exitStatusFor(result);
  if (!result.delivered) {
    output.err << "mqttctl: " << result.problem << "\n";
  } else if (status == EXIT_SUCCESS_REPLY && output.json) {
    output.out << messageToJson(result.reply) << "\n";
  } else if (status == EXIT_SUCCESS_REPLY) {
    if (result.reply.empty()) output.out << "ok\n";
    writeReadable(output.out, result.reply);
  } else {
    output.err << "mqttctl: " << errorLine(result.reply) << "\n";
    if (output.json) output.out << messageToJson(result.reply) << "\n";
  }
  return status;
}

}  // namespace mqttctl
