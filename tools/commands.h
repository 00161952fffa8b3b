// The commands of the console: what each one sends and how it shows the
// outcome, and the exit status that follows from the outcome.
//
// A command runs in two steps. prepare() turns the command's arguments into
// a Plan without touching the bus, so that every usage error is found before
// a connection is made. execute() sends the plan's request(s) through a
// Requester and prints the result.
//
// To add a command, write its prepare (and, when one request and one printed
// reply is not enough, its execute) and add a row to the table in
// commands.cc.
#pragma once

#include <ostream>
#include <string>
#include <vector>

#include "platform/message.h"
#include "platform/status.h"
#include "tools/bus_client.h"

namespace mqttctl {

// Exit statuses of mqttctl.
constexpr int EXIT_SUCCESS_REPLY = 0;  // a success reply
constexpr int EXIT_ERROR_REPLY = 1;    // a failure or error reply, or a malformed reply
constexpr int EXIT_USAGE = 2;          // bad arguments
constexpr int EXIT_UNREACHABLE = 3;    // no bus, request not posted, time-out, peer gone

// Most rows `list` gathers over all its pages.
constexpr size_t MAX_LIST_ROWS = 1u << 20;

// Where and how results are printed.
struct Output {
  std::ostream& out;
  std::ostream& err;
  bool json = false;
};

// What to send: the first request, complete with PATH_FIELD and
// COMMAND_FIELD.
struct Plan {
  kv::message request;
};

struct Command {
  const char* name;
  const char* synopsis;  // the arguments, for the usage text
  const char* summary;
  // Adds the command's fields to plan.request (which may already hold
  // fields from --json-in) and sets the path and the command.
  kv::Status (*prepare)(const std::vector<std::string>& args, Plan& plan);
  int (*execute)(const Plan& plan, Requester& requester, const Output& output);
};

const std::vector<Command>& commandTable();
const Command* findCommand(const std::string& name);

// The exit status for an outcome: 0 for a success reply, 3 when nothing was
// delivered or the reply is the platform's time-out or peer-gone error,
// 1 for any other failure or error reply.
int exitStatusFor(const CallResult& result);

// Prints an outcome and returns its exit status. A success reply goes to
// `out` (JSON or readable); for a failure or error reply the failure text
// and the error code go to `err` (and with --json the reply also to `out`);
// an undelivered request's problem goes to `err`.
int reportOutcome(const CallResult& result, const Output& output);

}  // namespace mqttctl
