#include "broker/daemon.h"

#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "platform/system.h"
#include "support/mosquitto.h"

namespace {

constexpr int START_GUARD_MS = 120000;
// Reply time-out of every request: a minute, since the daemon may run
// under callgrind.
const uint32_t TIMEOUT_TICKS = 60 * static_cast<uint32_t>(sysconf(_SC_CLK_TCK));
// The console line of a received PUBLISH (packet type 3).
const std::string PUBLISH_LINE_END = ": packet received (3)";

kv::message request(uint32_t handler) {
  kv::message m;
  m.set(kv::PATH_FIELD, std::vector<uint32_t>{handler});
  return m;
}

bool failed(const char* step, const kv::message& reply) {
  if (!kv::isError(reply)) return false;
  fprintf(stderr, "broker_bench: %s: %s\n", step, kv::getError(reply).c_str());
  return true;
}

}  // namespace

BenchDaemon::BenchDaemon(std::string mqttd, std::vector<std::string> wrapper)
    : mqttd_(std::move(mqttd)), wrapper_(std::move(wrapper)) {
  char tmpl[] = "/tmp/broker-bench-XXXXXX";
  if (mkdtemp(tmpl)) root_ = tmpl;
}

BenchDaemon::~BenchDaemon() {
  peer_.reset();
  if (outputFd_ >= 0) close(outputFd_);
  if (pid_ > 0) {
    kill(pid_, SIGTERM);
    testsupport::waitProcess(pid_, START_GUARD_MS);
  }
  std::error_code ignored;
  if (!root_.empty()) std::filesystem::remove_all(root_, ignored);
}

bool BenchDaemon::launch() {
  std::vector<std::string> argv;
  for (std::string arg : wrapper_) {
    const size_t at = arg.find("{root}");
    if (at != std::string::npos) arg.replace(at, 6, root_);
    argv.push_back(arg);
  }
  argv.push_back(mqttd_);
  setenv("KV_ROOT", root_.c_str(), 1);
  pid_ = testsupport::startProcess(argv, "", root_ + "/mqttd.out", root_ + "/mqttd.err");
  return connectPeer();
}

bool BenchDaemon::start(uint16_t port, const std::string& filter) {
  if (!launch()) return false;

  kv::message broker = request(2);
  broker.set(kv::NAME_FIELD, "bench");
  broker.set(kv::string_id(1), "127.0.0.1");
  broker.set(kv::u32_id(2), port);
  broker.set(kv::string_id(4), "bench-daemon");
  const kv::message added = exchange(broker, kv::CMD_ADD_OBJ);
  if (failed("add broker", added)) return false;
  brokerId_ = added.get(kv::OBJECT_ID_FIELD);

  kv::message connect = request(1);
  connect.set(kv::u32_id(1), brokerId_);
  if (failed("connect", exchange(connect, 2))) return false;
  kv::message subscribe = request(1);
  subscribe.set(kv::u32_id(11), brokerId_);
  subscribe.set(kv::string_id(12), filter);
  subscribe.set(kv::u32_id(13), 0u);
  return !failed("subscribe", exchange(subscribe, 4));
}

// The bus socket appears once the daemon is up; under valgrind that takes
// a while.
bool BenchDaemon::connectPeer() {
  kv::LooperOptions options;
  options.mode = kv::LooperOptions::Mode::Peer;
  options.busPath = root_ + "/ram/kvbus";
  const long long end = testsupport::monotonicMs() + START_GUARD_MS;
  while (testsupport::monotonicMs() < end) {
    peer_ = std::make_unique<kv::Looper>(options);
    if (peer_->status().isOk() && !kv::isError(exchange(request(2), kv::CMD_GET_COUNT))) {
      return true;
    }
    peer_.reset();
    usleep(20 * 1000);
  }
  fprintf(stderr, "broker_bench: the daemon did not come up; see %s/mqttd.err\n", root_.c_str());
  return false;
}

kv::message BenchDaemon::exchange(kv::message msg, uint32_t command) {
  return peer_->exchangeCmd(std::move(msg), command, TIMEOUT_TICKS);
}

uint64_t BenchDaemon::publishesReceived() {
  if (outputFd_ < 0) outputFd_ = open((root_ + "/mqttd.out").c_str(), O_RDONLY | O_CLOEXEC);
  if (outputFd_ < 0) return publishes_;
  char buffer[65536];
  ssize_t n;
  while ((n = read(outputFd_, buffer, sizeof buffer)) > 0) {
    partialLine_.append(buffer, static_cast<size_t>(n));
    size_t start = 0, end;
    while ((end = partialLine_.find('\n', start)) != std::string::npos) {
      if (end - start >= PUBLISH_LINE_END.size() &&
          partialLine_.compare(end - PUBLISH_LINE_END.size(), PUBLISH_LINE_END.size(),
                               PUBLISH_LINE_END) == 0) {
        ++publishes_;
      }
      start = end + 1;
    }
    partialLine_.erase(0, start);
  }
  return publishes_;
}

bool BenchDaemon::waitForReceivedRow(uint64_t id) {
  const long long end = testsupport::monotonicMs() + START_GUARD_MS;
  kv::message get = request(4);
  get.set(kv::OBJECT_ID_FIELD, static_cast<uint32_t>(id));
  while (kv::isError(exchange(get, kv::CMD_GET_OBJ))) {
    if (testsupport::monotonicMs() > end) return false;
    usleep(1000);
  }
  return true;
}

bool BenchDaemon::publishMany(const std::string& topic, uint32_t qos, uint32_t count,
                              uint32_t window, PayloadFn payload) {
  uint32_t sent = 0, answered = 0, failures = 0;
  std::string firstFailure;
  while (answered < count) {
    while (sent < count && sent - answered < window) {
      kv::message publish = request(1);
      publish.set(kv::COMMAND_FIELD, 1u);
      publish.set(kv::u32_id(1), brokerId_);
      publish.set(kv::string_id(2), topic);
      publish.set(kv::string_id(3), payload(sent));
      publish.set(kv::u32_id(5), qos);
      const int id = peer_->postMessage(std::move(publish), [&](const kv::message& reply) {
        ++answered;
        if (kv::isError(reply) && failures++ == 0) firstFailure = kv::getError(reply);
      }, TIMEOUT_TICKS);
      if (id < 0) return false;
      ++sent;
    }
    peer_->turn(100);
  }
  if (failures > 0) {
    fprintf(stderr, "broker_bench: %u publish commands failed: %s\n", failures,
            firstFailure.c_str());
  }
  return failures == 0;
}

long BenchDaemon::privateResidentKiB() const { return testsupport::privateResidentKiB(pid_); }

BenchDaemon::Syscalls BenchDaemon::syscalls() const {
  std::istringstream io(testsupport::readFile("/proc/" + std::to_string(pid_) + "/io"));
  Syscalls calls;
  for (std::string key, value; io >> key >> value;) {
    if (key == "syscr:") calls.reads = std::stod(value);
    if (key == "syscw:") calls.writes = std::stod(value);
  }
  return calls;
}

Cpu processCpu(pid_t pid) {
  // Fields 14 and 15 (utime, stime, in clock ticks) follow the command
  // name, which is in parentheses and may hold spaces.
  const std::string stat = testsupport::readFile("/proc/" + std::to_string(pid) + "/stat");
  const size_t name = stat.rfind(')');
  if (name == std::string::npos) return Cpu{};
  std::istringstream fields(stat.substr(name + 2));
  std::string skip;
  for (int field = 3; field < 14; ++field) fields >> skip;
  double user = 0, system = 0;
  fields >> user >> system;
  const double ticks = static_cast<double>(sysconf(_SC_CLK_TCK));
  return Cpu{user / ticks, system / ticks};
}

bool exitedReadingCpu(testsupport::Program& program, Cpu& used) {
  const pid_t pid = program.pid();
  siginfo_t info{};
  // WNOWAIT: the child stays a zombie, with its times, until wait() below.
  if (pid <= 0 || waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) != 0 ||
      info.si_pid != pid) {
    return false;
  }
  used = processCpu(pid);
  program.wait();
  return true;
}

bool waitReadingCpu(testsupport::Program& program, int guardMs, Cpu& used) {
  if (testsupport::waitUntil([&] { return exitedReadingCpu(program, used); }, guardMs)) {
    return true;
  }
  program.stop(SIGKILL);
  return false;
}
