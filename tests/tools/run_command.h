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

// Parses `args` (what follows the program name), prepares and executes the
// command. A usage error fails the test.
inline Ran runCommand(const std::vector<std::string>& args, Requester& requester) {
  Options options;
  const Command* command = nullptr;
  Plan plan;
  kv::Status st = parseOptions(args, options);
  if (st.isOk()) st = prepareInvocation(options, command, plan);
  EXPECT_TRUE(st.isOk()) << st.message();
  Ran r;
  if (!st.isOk()) return r;
  std::ostringstream out, err;
  r.status = command->execute(plan, requester, Output{out, err, options.json});
  r.out = out.str();
  r.err = err.str();
  return r;
}

}  // namespace mqttctl
