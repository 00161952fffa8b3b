// Runs a command line against a given Requester, capturing what it prints.
#pragma once

#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "tools/cli.h"

namespace mqttctl {

struct Ran {
  int status = -1;
  std::string out, err;
};

// Calls run(out, err), which returns an exit status, and keeps what it printed.
template <typename Run>
Ran capture(Run run) {
  std::ostringstream out, err;
  Ran r;
  r.status = run(out, err);
  r.out = out.str();
  r.err = err.str();
  return r;
}

// Parses `args` (what follows the program name) and prepares the command.
inline kv::Status prepare(const std::vector<std::string>& args, Options& options,
                          const Command*& command, Plan& plan) {
  kv::Status st = parseOptions(args, options);
  return st.isOk() ? prepareInvocation(options, command, plan) : st;
}

// Parses, prepares and executes `args`. A usage error fails the test.
inline Ran runCommand(const std::vector<std::string>& args, Requester& requester) {
  Options options;
  const Command* command = nullptr;
  Plan plan;
  kv::Status st = prepare(args, options, command, plan);
  EXPECT_TRUE(st.isOk()) << st.message();
  if (!st.isOk()) return Ran();
  return capture([&](std::ostream& out, std::ostream& err) {
    return command->execute(plan, requester, Output{out, err, options.json});
  });
}

}  // namespace mqttctl
