// Programs started by the integration tests and the benchmarks: any child
// process with its output in files, Debian's mosquitto broker on loopback,
// and mosquitto's command-line clients.
//
// Nothing here asserts. Failures are return values, and every wait has a
// guard that only keeps a broken run from hanging: no caller may read the
// guard as a measure of speed.
#pragma once

#include <signal.h>
#include <stdint.h>
#include <sys/types.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace testsupport {

// Starts `argv` (found on PATH) with standard input, output and error from
// and to the given files ("" : /dev/null); the child gets SIGTERM if this
// process dies first.
pid_t startProcess(const std::vector<std::string>& argv, const std::string& in,
                   const std::string& out, const std::string& err);
// Waits for `pid` to exit, SIGKILL after the guard; its exit status, or -1
// when it did not exit by itself or was killed by a signal.
int waitProcess(pid_t pid, int guardMs);
long long monotonicMs();
// Polls `done` every few milliseconds until it holds; false when the guard
// expires first.
bool waitUntil(const std::function<bool()>& done, int guardMs = 30000);
// How many times `part` occurs in `text`.
size_t countOf(const std::string& text, const std::string& part);
// Two lower-case hex digits per byte.
std::string toHex(const std::string& bytes);
// Writes `bytes` to a new file at `path`; false on failure.
bool writeFile(const std::string& path, const std::string& bytes);
std::string readFile(const std::string& path);
// A loopback TCP port that nothing listened on when it was picked.
uint16_t freeLoopbackPort();
// A blocking TCP connection to 127.0.0.1:port; -1 on failure.
int connectLoopback(uint16_t port);
// How many descriptors process `pid` holds open.
size_t descriptorCount(pid_t pid);
// The count once it has stayed the same for a while (bus peers that just
// left, sockets closed on a later loop turn, are gone by then).
size_t settledDescriptors(pid_t pid);
// Private resident memory of process `pid` in KiB: Private_Clean +
// Private_Dirty + Private_Hugetlb of /proc/PID/smaps_rollup (0 when it
// cannot be read).
long privateResidentKiB(pid_t pid);

// A program running in the background. Its standard output and error go to
// files, so it never waits for the test to read them. Destroying it kills
// a program still running.
class Program {
 public:
  Program() = default;
  virtual ~Program() { stop(SIGKILL); }
  Program(const Program&) = delete;
  Program& operator=(const Program&) = delete;

  // Starts `argv` with output to `outputPath` ("" : a fresh file in `dir`),
  // errors to a fresh file in `dir` and input from `inputPath` ("" :
  // /dev/null). A program still running from an earlier start is killed.
  void start(const std::vector<std::string>& argv, const std::string& dir,
             std::string outputPath = "", const std::string& inputPath = "");
  // Waits for the exit; its status, or -1 (killed by a signal, or still
  // running when the guard expired: it is then killed). Once it has
  // exited, the same status again.
  int wait(int guardMs = 60000);
  // Sends `signal` unless it has exited already, then wait().
  int stop(int signal = SIGTERM) {
    if (!exited()) kill(pid_, signal);
    return wait(30000);
  }
  // Whether it has exited; never blocks.
  bool exited();
  std::string output() const { return readFile(outputPath_); }
  std::string errors() const { return readFile(errorPath_); }
  // The complete lines of the output so far, without newlines.
  std::vector<std::string> lines() const;
  // Waits until an output line contains `text`; false when the program
  // exits or the guard expires first.
  bool waitForLine(const std::string& text, int guardMs = 30000);
  // Waits until the output holds at least `lines` newline characters.
  bool waitForLines(size_t lines, int guardMs = 20000) const;
  pid_t pid() const { return pid_; }

 private:
  pid_t pid_ = -1;
  int status_ = -1;
  std::string outputPath_;
  std::string errorPath_;
};

struct MosquittoOptions {
  // The broker's log_type lines; "all" lets tests wait for packet lines.
  std::vector<std::string> logTypes = {"all"};
  // Appended to the config, one line each: TLS listeners, message limits.
  std::vector<std::string> extraConfig;
  // The network namespace it runs in (netns.h), "" for this process's; its
  // command-line clients run there too.
  std::string netns;
  // Where it listens. Port 0: a loopback port that was free when the
  // fixture was made.
  std::string address = "127.0.0.1";
  uint16_t port = 0;
  // Sessions and their queued messages outlive a restart (a file in the
  // broker's directory).
  bool persistent = false;
};

// A private directory (config, log, console output) and one broker listening
// on 127.0.0.1 (or where the options say), on a port that was free when the
// fixture was made and that stays its own across stop() and start(). Tests
// read the broker's log to see what it received ("Received DISCONNECT from
// ...").
class Mosquitto {
 public:
  explicit Mosquitto(MosquittoOptions options = MosquittoOptions());
  // Stops the broker and removes the directory with everything in it.
  ~Mosquitto();
  Mosquitto(const Mosquitto&) = delete;
  Mosquitto& operator=(const Mosquitto&) = delete;

  // Starts the broker (config written anew) and waits until it accepts
  // connections on its port. False, with the reason in startError(), when
  // it exits or the guard expires first.
  bool start(int guardMs = 20000);
  // SIGTERM (a frozen broker is thawed first), then waits for the exit.
  // The port stays the fixture's.
  void stop() {
    signal(SIGCONT);
    process_.stop();
  }
  // Sends `sig` to the running broker: SIGSTOP freezes it (it accepts and
  // reads nothing, while the kernel still completes TCP handshakes),
  // SIGCONT thaws it, SIGKILL kills it without a goodbye. False when it is
  // not running.
  bool signal(int sig) { return !process_.exited() && ::kill(process_.pid(), sig) == 0; }
  pid_t pid() const { return process_.pid(); }

  uint16_t port() const { return port_; }
  const std::string& address() const { return options_.address; }
  const std::string& netns() const { return options_.netns; }
  const std::string& dir() const { return dir_; }
  const std::string& startError() const { return startError_; }

  // The broker's log so far (empty when log_type is none).
  std::string log() const;
  // Waits until the log holds `text` at least `times` times.
  bool waitForLog(const std::string& text, int times = 1, int guardMs = 20000) const;

 private:
  void writeConfig() const;

  MosquittoOptions options_;
  std::string dir_;
  uint16_t port_ = 0;
  Program process_;
  std::string startError_;
};

// One run of a command-line client (mosquitto_sub, mosquitto_pub) against a
// fixture's broker, in the broker's namespace: "-h ADDRESS -p PORT" come
// first, then `args`; its files as Program::start makes them, in the
// broker's directory.
class MosquittoClient : public Program {
 public:
  MosquittoClient(const Mosquitto& broker, const std::string& program,
                  const std::vector<std::string>& args, std::string outputPath = "",
                  const std::string& inputPath = "");
};

// mosquitto_sub with client id `clientId` subscribed to `filter` at `qos`,
// one line per message: "QOS RETAIN TOPIC HEXDATA" (every payload byte as
// two hex digits, so the comparison is byte for byte). Waits until the
// broker has logged the subscription (the fixture's log must include
// "subscribe"); null when it does not come.
std::unique_ptr<MosquittoClient> startSubscriber(const Mosquitto& broker,
                                                 const std::string& clientId,
                                                 const std::string& filter,
                                                 const std::vector<std::string>& extraArgs = {},
                                                 int qos = 2);

// Runs mosquitto_pub with `args` to its end; its exit status (-1 as above).
int runPublisher(const Mosquitto& broker, const std::vector<std::string>& args);

}  // namespace testsupport
