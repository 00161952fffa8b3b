// The daemon against mosquitto on loopback, each figure beside the
// reference it is compared with, in one run against one broker:
//
//   inbound    messages recorded per second by the daemon, against messages
//              received per second by mosquitto_sub, from one flood of
//              mosquitto_pub -l that both subscribe to
//   outbound   publish commands from one bus peer (64 in flight, and one at
//              a time) until a witness mosquitto_sub has them all, against
//              mosquitto_pub -l sending the same messages; QoS 1 and 2 too
//   memory     the daemon's private resident memory, idle and with a full
//              received-message table of 1 KiB messages
//   cost       instructions per inbound and outbound message, counted by
//              callgrind around a short flood, and the functions they go to
//
// The daemon's console output (a line per packet) goes to a file, as in a
// real deployment. Timing figures are the best of several runs with their
// spread; the machine may be shared, so instruction counts are the figures
// to compare across changes. Nothing is asserted.
//
//   broker_bench            environment: BENCH_MESSAGES (200000), BENCH_RUNS
//                           (3), BENCH_CALLGRIND_MESSAGES (20000; 0 skips it),
//                           BENCH_CALLGRIND_KEEP (a directory for the dumps)
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "broker/daemon.h"
#include "broker/profile.h"
#include "support/mosquitto.h"

namespace {

using testsupport::Mosquitto;
using testsupport::MosquittoClient;
using testsupport::monotonicMs;

constexpr int GUARD_MS = 300000;
const std::string IN_TOPIC = "bench/in";
const std::string OUT_TOPIC = "bench/out";

uint32_t envNumber(const char* name, uint32_t def) {
  const char* value = getenv(name);
  return value && *value ? static_cast<uint32_t>(strtoul(value, nullptr, 10)) : def;
}

// "msg-00000001": 12 bytes.
std::string payload(uint32_t i) {
  char text[32];
  snprintf(text, sizeof text, "msg-%08u", i);
  return text;
}

// A file of `count` lines for mosquitto_pub -l, each line one message.
std::string writeLines(const std::string& path, uint32_t count, size_t bytes) {
  std::string content;
  for (uint32_t i = 0; i < count; ++i) {
    std::string line = payload(i);
    line.resize(std::max(bytes, line.size()), 'x');
    content += line + "\n";
  }
  testsupport::writeFile(path, content);
  return path;
}

// ---- Figures ------------------------------------------------------------------

struct Rates {
  std::vector<double> perSecond;  // one per run
  BenchDaemon::Syscalls calls;    // per message, in the last run
  Cpu leastCpu;                   // per message, in the run that used least
  bool hasCpu = false;
  double best() const {
    return perSecond.empty() ? 0 : *std::max_element(perSecond.begin(), perSecond.end());
  }
  double worst() const {
    return perSecond.empty() ? 0 : *std::min_element(perSecond.begin(), perSecond.end());
  }
};

void printRate(const char* name, const Rates& rates, const Rates* reference, uint32_t messages) {
  printf("  %-40s %6u msgs  best %7.0f msg/s  (runs %.0f..%.0f)", name, messages, rates.best(),
         rates.worst(), rates.best());
  if (reference && reference->best() > 0) printf("  %.2fx", rates.best() / reference->best());
  printf("\n");
}

Cpu difference(const Cpu& after, const Cpu& before) {
  return Cpu{after.user - before.user, after.system - before.system};
}

// Keeps the processor time per message of a run that used `used` for
// `messages` when it is the least so far.
void noteCpu(Rates& rates, const Cpu& used, uint32_t messages) {
  const Cpu each{used.user / messages, used.system / messages};
  if (!rates.hasCpu || each.total() < rates.leastCpu.total()) {
    rates.leastCpu = each;
    rates.hasCpu = true;
  }
}

// "user 1.50 + system 5.20 = 6.70 us per message", then, beside a
// reference, the ratio and the goal.
void printCpu(const char* name, const Rates& rates, const Rates* reference = nullptr,
              const char* goal = nullptr) {
  if (!rates.hasCpu) return;
  const Cpu& c = rates.leastCpu;
  printf("  %-40s user %5.2f + system %5.2f = %5.2f us per message", name, c.user * 1e6,
         c.system * 1e6, c.total() * 1e6);
  if (reference && reference->hasCpu && reference->leastCpu.total() > 0) {
    printf("  %.2fx", c.total() / reference->leastCpu.total());
    if (goal) printf(" (goal %s)", goal);
  }
  printf("\n");
}

double rate(uint32_t messages, long long startMs, long long endMs) {
  return endMs > startMs ? messages * 1000.0 / static_cast<double>(endMs - startMs) : 0;
}

// ---- Inbound ------------------------------------------------------------------

// One flood: both the daemon and a mosquitto_sub are subscribed to
// IN_TOPIC; each is timed from the publisher's start to its last message.
void inboundRun(Mosquitto& broker, BenchDaemon& daemon, const std::string& lines,
                uint32_t messages, Rates& daemonRates, Rates& subRates) {
  auto sub = testsupport::startSubscriber(broker, "bench-sub", IN_TOPIC,
                                          {"-C", std::to_string(messages)}, 0);
  if (!sub) return;
  const uint64_t before = daemon.publishesReceived();
  const Cpu cpuBefore = daemon.cpu();
  const BenchDaemon::Syscalls callsBefore = daemon.syscalls();
  const long long start = monotonicMs();
  MosquittoClient pub(broker, "mosquitto_pub", {"-t", IN_TOPIC, "-l"}, "/dev/null", lines);
  long long subEnd = 0, daemonEnd = 0;
  Cpu subCpu;
  while ((!subEnd || !daemonEnd) && monotonicMs() - start < GUARD_MS) {
    if (!subEnd && exitedReadingCpu(*sub, subCpu)) subEnd = monotonicMs();
    if (!daemonEnd && daemon.publishesReceived() >= before + messages) daemonEnd = monotonicMs();
    usleep(2000);
  }
  pub.wait();
  if (!daemonEnd || !subEnd) {
    printf("  inbound run incomplete: daemon %llu of %u\n",
           static_cast<unsigned long long>(daemon.publishesReceived() - before), messages);
    return;
  }
  // The console line comes just before the row is recorded; the row of the
  // last message is there too.
  daemon.waitForReceivedRow(before + messages);
  noteCpu(daemonRates, difference(daemon.cpu(), cpuBefore), messages);
  const BenchDaemon::Syscalls calls = daemon.syscalls();
  daemonRates.calls = {(calls.reads - callsBefore.reads) / messages,
                       (calls.writes - callsBefore.writes) / messages};
  noteCpu(subRates, subCpu, messages);
  daemonRates.perSecond.push_back(rate(messages, start, daemonEnd));
  subRates.perSecond.push_back(rate(messages, start, subEnd));
}

// ---- Outbound -----------------------------------------------------------------

// Times `send` until a witness subscriber has received `messages` on
// OUT_TOPIC; `answered` (when given) receives the time the sender was done.
double outboundRun(Mosquitto& broker, uint32_t messages, const std::function<bool()>& send,
                   double* answeredRate = nullptr) {
  auto witness = testsupport::startSubscriber(broker, "bench-witness", OUT_TOPIC,
                                              {"-C", std::to_string(messages)}, 0);
  if (!witness) return 0;
  const long long start = monotonicMs();
  if (!send()) return 0;
  const long long sent = monotonicMs();
  if (answeredRate) *answeredRate = rate(messages, start, sent);
  if (witness->wait(GUARD_MS) != 0) {
    printf("  outbound run incomplete: the witness did not receive every message\n");
    return 0;
  }
  return rate(messages, start, monotonicMs());
}

// mosquitto_pub -l at QoS 1 and 2 stops once the broker acknowledges the
// packet identifier of its last line; identifiers wrap at 65535, so with
// more lines it stops early and loses the rest. Those runs (the daemon's
// too, to compare like with like) send this many messages.
constexpr uint32_t ACKNOWLEDGED_MESSAGES = 65000;

// Runs mosquitto_pub -l to its end; `used` receives its processor time.
bool publishWithMosquitto(Mosquitto& broker, const std::string& lines, uint32_t qos,
                          uint32_t window, Cpu& used) {
  std::vector<std::string> args{"-t", OUT_TOPIC, "-q", std::to_string(qos), "-l"};
  if (qos > 0) args.insert(args.end(), {"-M", std::to_string(window)});
  MosquittoClient pub(broker, "mosquitto_pub", args, "/dev/null", lines);
  return waitReadingCpu(pub, GUARD_MS, used);
}

// The figures the benchmark's goals are about, gathered for its summary.
struct Headline {
  Rates inboundDaemon, inboundSub;    // processor time per inbound message
  Rates outboundDaemon, outboundPub;  // QoS 0, 64 in flight, and mosquitto_pub -l
  InstructionCounts instructions;
};

void outbound(Mosquitto& broker, BenchDaemon& daemon, const std::string& lines, uint32_t messages,
              uint32_t runs, Headline& headline) {
  const uint32_t acknowledged = std::min(messages, ACKNOWLEDGED_MESSAGES);
  const std::string ackedLines = writeLines(broker.dir() + "/acked.txt", acknowledged, 12);
  struct Case {
    const char* name;
    bool daemon;      // else mosquitto_pub, the reference of the cases after it
    uint32_t qos;
    uint32_t window;  // messages in flight
    Rates* headline;  // where the figures go for the summary, if anywhere
  };
  const Case cases[] = {
      {"QoS 0, mosquitto_pub -l", false, 0, 0, &headline.outboundPub},
      {"QoS 0, daemon, 64 in flight", true, 0, 64, &headline.outboundDaemon},
      {"QoS 0, daemon, one at a time", true, 0, 1, nullptr},
      {"QoS 1, mosquitto_pub -q 1 -M 64 -l", false, 1, 64, nullptr},
      {"QoS 1, daemon, 64 in flight", true, 1, 64, nullptr},
      {"QoS 2, mosquitto_pub -q 2 -M 64 -l", false, 2, 64, nullptr},
      {"QoS 2, daemon, 64 in flight", true, 2, 64, nullptr},
  };
  Rates reference;
  for (const Case& c : cases) {
    const uint32_t count = c.qos == 0 ? messages : acknowledged;
    const std::string& input = c.qos == 0 ? lines : ackedLines;
    Rates delivered, answered;
    for (uint32_t run = 0; run < runs; ++run) {
      double answeredRate = 0;
      Cpu used;
      const Cpu cpuBefore = daemon.cpu();
      const double r = c.daemon
          ? outboundRun(broker, count, [&] {
              return daemon.publishMany(OUT_TOPIC, c.qos, count, c.window, payload);
            }, &answeredRate)
          : outboundRun(broker, count, [&] {
              return publishWithMosquitto(broker, input, c.qos, c.window, used);
            });
      if (c.daemon) used = difference(daemon.cpu(), cpuBefore);
      if (r > 0) delivered.perSecond.push_back(r);
      if (answeredRate > 0) answered.perSecond.push_back(answeredRate);
      if (r > 0) noteCpu(delivered, used, count);
    }
    printRate(c.name, delivered, c.daemon ? &reference : nullptr, count);
    if (!c.daemon) reference = delivered;
    if (!answered.perSecond.empty()) printRate("  commands answered", answered, nullptr, count);
    printCpu("  processor time", delivered, c.daemon ? &reference : nullptr);
    if (c.headline) *c.headline = delivered;
  }
}

// ---- Memory -------------------------------------------------------------------

void memory(Mosquitto& broker, BenchDaemon& daemon, const std::string& dir) {
  const long idle = daemon.privateResidentKiB();
  const uint32_t rows = 1025;
  const std::string lines = writeLines(dir + "/kib.txt", rows, 1024);
  const uint64_t last = daemon.publishesReceived() + rows;
  MosquittoClient pub(broker, "mosquitto_pub", {"-t", IN_TOPIC, "-l"}, "/dev/null", lines);
  pub.wait(GUARD_MS);
  if (!daemon.waitForReceivedRow(last)) {
    printf("  memory: the received table did not fill\n");
    return;
  }
  const long full = daemon.privateResidentKiB();
  printf("  %-40s %6ld KiB  (goal <= 2048 KiB: %.2fx of it)\n", "idle, connected and subscribed",
         idle, idle / 2048.0);
  printf("  %-40s %6ld KiB  (idle + %ld KiB; goal <= idle + 1536 KiB: %.2fx of it)\n",
         "1025 received rows of 1 KiB", full, full - idle, (full - idle) / 1536.0);
}

// The goals: processor time per message against the command-line client
// doing the same work, and instructions per message.
void printHeadline(const Headline& h) {
  printf("\n== per message, against the goals (processor time: least of the runs)\n");
  printCpu("inbound, mosquitto_sub", h.inboundSub);
  printCpu("inbound, daemon", h.inboundDaemon, &h.inboundSub, "<= 0.50x");
  printCpu("outbound QoS 0, mosquitto_pub -l", h.outboundPub);
  printCpu("outbound QoS 0, daemon, 64 in flight", h.outboundDaemon, &h.outboundPub, "<= 1.00x");
  if (h.instructions.inbound > 0) {
    printf("  %-40s %6.0f  (goal <= 3000)\n", "instructions per inbound message",
           h.instructions.inbound);
    printf("  %-40s %6.0f  (goal <= 6000)\n", "instructions per outbound message",
           h.instructions.outbound);
  }
}

}  // namespace

int main() {
  const uint32_t messages = envNumber("BENCH_MESSAGES", 200000);
  const uint32_t runs = std::max(1u, envNumber("BENCH_RUNS", 3));
  const uint32_t profiled = envNumber("BENCH_CALLGRIND_MESSAGES", 20000);
  signal(SIGPIPE, SIG_IGN);
  setvbuf(stdout, nullptr, _IOLBF, 0);  // progress shows when the output is a file

  testsupport::MosquittoOptions options;
  options.logTypes = {"error", "warning", "subscribe"};
  // No per-client limit: a slow subscriber must not lose QoS 0 messages.
  options.extraConfig = {"max_queued_messages 0", "max_inflight_messages 0"};
  Mosquitto broker(options);
  if (!broker.start()) {
    fprintf(stderr, "broker_bench: %s\n", broker.startError().c_str());
    return 1;
  }
  const std::string lines = writeLines(broker.dir() + "/flood.txt", messages, 12);
  printf("mqttd against mosquitto on 127.0.0.1:%u; %u messages of 12 bytes, best of %u runs\n",
         broker.port(), messages, runs);
  Headline headline;
  {
    BenchDaemon daemon(MQTTD_BIN, {});
    if (!daemon.start(broker.port(), IN_TOPIC)) return 1;
    printf("\n== memory (private resident, /proc/PID/smaps_rollup)\n");
    memory(broker, daemon, broker.dir());
    printf("\n== inbound: QoS 0 flood from mosquitto_pub -l to %s\n", IN_TOPIC.c_str());
    Rates daemonRates, subRates;
    for (uint32_t run = 0; run < runs; ++run) {
      inboundRun(broker, daemon, lines, messages, daemonRates, subRates);
    }
    printRate("mosquitto_sub received", subRates, nullptr, messages);
    printCpu("  processor time", subRates);
    printRate("daemon recorded", daemonRates, &subRates, messages);
    printCpu("  processor time", daemonRates, &subRates);
    printf("  %-40s %.2f reads + %.2f writes per message (last run)\n", "  system calls",
           daemonRates.calls.reads, daemonRates.calls.writes);
    headline.inboundDaemon = daemonRates;
    headline.inboundSub = subRates;
    printf("\n== outbound: until a witness mosquitto_sub has every message\n");
    outbound(broker, daemon, lines, messages, runs, headline);
    printf("  %-40s %6ld KiB\n", "memory after the floods", daemon.privateResidentKiB());
  }
  if (profiled > 0) {
    printf("\n== instructions per message (callgrind, %u messages)\n", profiled);
    const std::string few = writeLines(broker.dir() + "/profiled.txt", profiled, 12);
    if (!profileWithCallgrind(broker, MQTTD_BIN, IN_TOPIC, OUT_TOPIC, profiled, payload, few,
                              headline.instructions)) {
      printf("  callgrind run failed (is valgrind installed?)\n");
    }
  }
  printHeadline(headline);
  return 0;
}
