#include "broker/profile.h"

#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <vector>

namespace {

constexpr int GUARD_MS = 600000;
constexpr size_t TOP_FUNCTIONS = 12;

bool callgrindControl(const char* option, pid_t pid) {
  const pid_t control = testsupport::startProcess(
      {"callgrind_control", option, std::to_string(pid)}, "", "", "");
  return testsupport::waitProcess(control, GUARD_MS) == 0;
}

// Dump number `dumpNumber` of the daemon's callgrind output.
std::string dumpFile(const BenchDaemon& daemon, int dumpNumber) {
  return daemon.root() + "/callgrind." + std::to_string(daemon.pid()) + "." +
         std::to_string(dumpNumber);
}

unsigned long long totalInstructions(const std::string& file) {
  std::ifstream in(file);
  for (std::string line; std::getline(in, line);) {
    if (line.rfind("totals:", 0) == 0) return strtoull(line.c_str() + 7, nullptr, 10);
  }
  return 0;
}

// "1,234 (5.6%)  file:function [binary]" -> count and function.
bool parseAnnotateLine(const std::string& line, unsigned long long& count, std::string& function) {
  std::string digits;
  size_t at = line.find_first_not_of(' ');
  if (at == std::string::npos || !isdigit(static_cast<unsigned char>(line[at]))) return false;
  for (; at < line.size() && (isdigit(static_cast<unsigned char>(line[at])) || line[at] == ',');
       ++at) {
    if (line[at] != ',') digits += line[at];
  }
  const size_t name = line.find(")  ", at);
  if (name == std::string::npos) return false;
  function = line.substr(name + 3);
  function = function.substr(0, function.rfind(" ["));
  const size_t colon = function.find(':');
  if (colon != std::string::npos && function.compare(0, 1, "/") == 0) {
    function = function.substr(colon + 1);
  }
  if (function.size() > 90) function = function.substr(0, 87) + "...";
  count = strtoull(digits.c_str(), nullptr, 10);
  return true;
}

// Functions that were on the stack when the counters were zeroed (main,
// the loop) are charged the whole total in both views; they are left out.
void printTopFunctions(const std::string& file, bool inclusive, uint32_t messages,
                       unsigned long long total) {
  const std::string command = std::string("callgrind_annotate --threshold=100 --inclusive=") +
                              (inclusive ? "yes" : "no") + " '" + file + "' 2>/dev/null";
  FILE* pipe = popen(command.c_str(), "r");
  if (!pipe) return;
  printf("    %s cost per message:\n", inclusive ? "inclusive" : "self");
  char buffer[4096];
  bool inTable = false;
  size_t shown = 0;
  while (fgets(buffer, sizeof buffer, pipe)) {
    std::string line(buffer);
    if (line.find("file:function") != std::string::npos) inTable = true;
    unsigned long long count = 0;
    std::string function;
    if (!inTable || shown >= TOP_FUNCTIONS || !parseAnnotateLine(line, count, function) ||
        count * 1000 >= total * 999) {
      continue;
    }
    if (!line.empty() && line.back() == '\n') function.erase(function.find_last_not_of("\n") + 1);
    printf("      %8.0f  %s\n", static_cast<double>(count) / messages, function.c_str());
    ++shown;
  }
  pclose(pipe);
}

// A copy of a dump in BENCH_CALLGRIND_KEEP (a directory), when it is set,
// for reading with callgrind_annotate after the daemon's root is gone.
void keepDump(const std::string& file, const char* name) {
  const char* dir = getenv("BENCH_CALLGRIND_KEEP");
  if (!dir || !*dir) return;
  std::ifstream in(file, std::ios::binary);
  std::ofstream out(std::string(dir) + "/" + name, std::ios::binary);
  out << in.rdbuf();
}

// Prints the cost per message and the top functions; the cost per message.
double report(const char* what, const std::string& file, uint32_t messages) {
  const unsigned long long total = totalInstructions(file);
  printf("  %-40s %8.0f instructions per message (%llu in all)\n", what,
         static_cast<double>(total) / messages, total);
  printTopFunctions(file, false, messages, total);
  printTopFunctions(file, true, messages, total);
  return static_cast<double>(total) / messages;
}

}  // namespace

bool profileWithCallgrind(const testsupport::Mosquitto& broker, const std::string& mqttd,
                          const std::string& inTopic, const std::string& outTopic,
                          uint32_t messages, PayloadFn payload, const std::string& linesFile,
                          InstructionCounts& counts) {
  // valgrind puts the process id where %p is.
  BenchDaemon daemon(mqttd, {"valgrind", "--tool=callgrind",
                             "--callgrind-out-file={root}/callgrind.%p"});
  if (!daemon.start(broker.port(), inTopic)) return false;

  const uint64_t before = daemon.publishesReceived();
  if (!callgrindControl("--zero", daemon.pid())) return false;
  testsupport::MosquittoClient pub(broker, "mosquitto_pub", {"-t", inTopic, "-l"}, "/dev/null",
                                   linesFile);
  pub.wait(GUARD_MS);
  const long long end = testsupport::monotonicMs() + GUARD_MS;
  while (daemon.publishesReceived() < before + messages && testsupport::monotonicMs() < end) {
    usleep(10 * 1000);
  }
  if (!daemon.waitForReceivedRow(before + messages)) return false;
  if (!callgrindControl("--dump", daemon.pid())) return false;
  keepDump(dumpFile(daemon, 1), "callgrind.inbound");
  counts.inbound = report("inbound QoS 0 (received, logged, recorded)", dumpFile(daemon, 1), messages);

  auto witness = testsupport::startSubscriber(broker, "bench-witness", outTopic,
                                              {"-C", std::to_string(messages)}, 0);
  if (!witness || !callgrindControl("--zero", daemon.pid())) return false;
  if (!daemon.publishMany(outTopic, 0, messages, 64, payload)) return false;
  witness->wait(GUARD_MS);
  if (!callgrindControl("--dump", daemon.pid())) return false;
  keepDump(dumpFile(daemon, 2), "callgrind.outbound");
  counts.outbound = report("outbound QoS 0 (command to PUBLISH written)", dumpFile(daemon, 2), messages);
  return true;
}
