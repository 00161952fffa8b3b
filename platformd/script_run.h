// ScriptRun: one on-message script, from its start to its exit.
//
// The script runs as /bin/sh -c SCRIPT in a process group of its own, with
// the given variables added to the environment and `input` on its standard
// input (then end of file). Standard output and error are read as they
// come and logged line by line, bounded: a line is cut at
// OUTPUT_LINE_BYTES, and past OUTPUT_LINES lines of one stream the rest is
// read and dropped, with one line that says how much.
//
// Nothing blocks the loop: the exit is seen through a pidfd, the input is
// written and the output read as the runner reports the descriptors ready.
//
// Past the time limit the group gets SIGTERM, and SIGKILL `killAfterTicks`
// later if it is still there. When the script's own process exits, what is
// left of its group is killed (a script's background processes do not
// outlive it, so the cap on running scripts holds), the process is reaped
// and `done` gets the outcome:
//   exit status 0        an empty message (success)
//   time limit passed    failure "script timed out"
//   exit status N        failure "script exited with status N"
//   killed by signal N   failure "script killed by signal N"
// `done` runs exactly once, from a runner callback, and never inside
// start(). Destroying a run that has not finished kills its group, reaps it
// and calls nothing.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "platform/looper.h"
#include "platform/message.h"
#include "platform/runner.h"
#include "platform/status.h"

namespace platformd {

// What one script run is given: the script, its environment, its input
// and its time limit.
struct ScriptOrder {
  std::string script;
  std::vector<std::pair<std::string, std::string>> variables;  // name, value
  std::string input;                                           // standard input
  kv::Ticks limitTicks = 0;
};

class ScriptRun {
 public:
  static constexpr size_t OUTPUT_LINE_BYTES = 512;
  static constexpr size_t OUTPUT_LINES = 32;
  using DoneFn = std::function<void(const kv::message& outcome)>;

  ScriptRun(kv::ThinRunner& runner, kv::LogFn log, kv::Ticks killAfterTicks, DoneFn done);
  ~ScriptRun();
  ScriptRun(const ScriptRun&) = delete;
  ScriptRun& operator=(const ScriptRun&) = delete;

  // Starts the script; on failure nothing runs and `done` will not be called.
  kv::Status start(const ScriptOrder& order);

 private:
  struct Output {
    int fd = -1;
    const char* label;
    std::string partial;
    size_t lines = 0;
    size_t dropped = 0;
  };

  kv::Status spawn(const ScriptOrder& order, int in, int out, int err);
  void watch();
  void feedInput();
  void readOutput(Output& output);
  void emitLine(Output& output, const std::string& line);
  void closeOutput(Output& output);
  void onLimit();
  void onExit();
  void release();
  kv::message outcome(int status) const;

  kv::ThinRunner& runner_;
  kv::LogFn log_;
  kv::Ticks killAfterTicks_;
  DoneFn done_;
  pid_t pid_ = -1;
  int pidFd_ = -1;
  int inFd_ = -1;
  std::string input_;
  size_t inputSent_ = 0;
  Output out_{-1, "script output: ", {}, 0, 0};
  Output err_{-1, "script error output: ", {}, 0, 0};
  bool timedOut_ = false;
  kv::Timer limitTimer_;
  kv::Timer killTimer_;
};

}  // namespace platformd
