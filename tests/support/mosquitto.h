// Debian's mosquitto broker and its command-line clients, for the
// integration tests and the benchmarks that need a real broker on loopback.
//
// A Mosquitto owns a private directory (its config, its log, its console
// output) and one broker process listening on 127.0.0.1, on a port that was
// free when the fixture was made. stop() and start() keep that port, so a
// broker row that names it finds the broker again after a restart. The
// broker writes its log to a file in the directory; tests read it to see
// what the broker received ("Received DISCONNECT from ...").
//
// Nothing here asserts. Failures are return values, and every wait has a
// guard that only keeps a broken run from hanging: no caller may read the
// guard as a measure of speed.
#pragma once

#include <stdint.h>
#include <sys/types.h>

#include <memory>
#include <string>
#include <vector>

namespace testsupport {

struct MosquittoOptions {
  // Keeps retained messages and sessions in a file of the directory.
  bool persistence = false;
  // The broker's log_type lines; "all" lets tests wait for packet lines.
  std::vector<std::string> logTypes = {"all"};
  // Appended to the config, one line each: a TLS listener, a password file,
  // message limits.
  std::vector<std::string> extraConfig;
};

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
  // SIGTERM, then waits for the exit (SIGKILL after the guard). The port
  // stays the fixture's.
  void stop(int guardMs = 20000);
  bool running() const { return pid_ > 0; }

  uint16_t port() const { return port_; }
  pid_t pid() const { return pid_; }
  const std::string& dir() const { return dir_; }
  const std::string& startError() const { return startError_; }

  // The broker's log so far (empty when log_type is none).
  std::string log() const;
  // Waits until the log holds `text` at least `times` times.
  bool waitForLog(const std::string& text, int times = 1, int guardMs = 20000) const;

 private:
  void writeConfig() const;
  bool acceptsConnections() const;

  MosquittoOptions options_;
  std::string dir_;
  uint16_t port_ = 0;
  pid_t pid_ = -1;
  std::string startError_;
};

// One run of a command-line client (mosquitto_sub, mosquitto_pub) against a
// fixture's broker: "-h 127.0.0.1 -p PORT" come first, then `args`. Its
// standard output goes to `outputPath` ("" : a fresh file in the broker's
// directory), standard input comes from `inputPath` ("" : /dev/null), and
// standard error goes to a file beside the output. Destroying it kills a
// client still running.
class MosquittoClient {
 public:
  MosquittoClient(const Mosquitto& broker, const std::string& program,
                  const std::vector<std::string>& args, std::string outputPath = "",
                  const std::string& inputPath = "");
  ~MosquittoClient();
  MosquittoClient(const MosquittoClient&) = delete;
  MosquittoClient& operator=(const MosquittoClient&) = delete;

  // Waits for the exit; its status, or -1 (killed by a signal, or still
  // running when the guard expired: it is then killed).
  int wait(int guardMs = 60000);
  // Whether it has exited; never blocks.
  bool exited();
  // Standard output (from the file) and standard error so far.
  std::string output() const;
  std::string errors() const;
  // Waits until the output holds at least `lines` newline characters.
  bool waitForLines(size_t lines, int guardMs = 20000) const;
  const std::string& outputPath() const { return outputPath_; }
  pid_t pid() const { return pid_; }

 private:
  pid_t pid_ = -1;
  int status_ = -1;
  std::string outputPath_;
  std::string errorPath_;
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

// Small helpers shared by the tests and benchmarks.
//
// Starts `argv` (found on PATH) with standard input, output and error from
// and to the given files ("" : /dev/null); the child gets SIGTERM if this
// process dies first.
pid_t startProcess(const std::vector<std::string>& argv, const std::string& in,
                   const std::string& out, const std::string& err);
// Waits for `pid` to exit, SIGKILL after the guard; its exit status, or -1
// when it did not exit by itself or was killed by a signal.
int waitProcess(pid_t pid, int guardMs);
long long monotonicMs();
// Two lower-case hex digits per byte.
std::string toHex(const std::string& bytes);
// Writes `bytes` to a new file at `path`; false on failure.
bool writeFile(const std::string& path, const std::string& bytes);
std::string readFile(const std::string& path);
// A loopback TCP port that nothing listened on when it was picked.
uint16_t freeLoopbackPort();

}  // namespace testsupport
