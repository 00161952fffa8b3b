#include "support/mosquitto.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "support/netns.h"

// The build passes the paths it found; these are Debian's.
#ifndef MOSQUITTO_BIN
#define MOSQUITTO_BIN "/usr/sbin/mosquitto"
#endif

namespace testsupport {
namespace {

// What runs a program in namespace `ns`: nothing for this process's own.
std::vector<std::string> launcher(const std::string& ns) {
  return ns.empty() ? std::vector<std::string>() : FaultNet::launcher(ns);
}

sockaddr_in loopback(uint16_t port) {
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(port);
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return addr;
}

}  // namespace

// ---- Helpers ----------------------------------------------------------------

size_t countOf(const std::string& text, const std::string& part) {
  size_t n = 0;
  for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
  return n;
}

pid_t startProcess(const std::vector<std::string>& argv, const std::string& in,
                   const std::string& out, const std::string& err) {
  const pid_t pid = fork();
  if (pid != 0) return pid;
  prctl(PR_SET_PDEATHSIG, SIGTERM);
  signal(SIGPIPE, SIG_DFL);  // the test may ignore it; its children should not
  const auto redirect = [](const std::string& path, int flags, int target) {
    const int fd = open(path.empty() ? "/dev/null" : path.c_str(), flags, 0644);
    if (fd < 0 || dup2(fd, target) < 0) _exit(126);
    close(fd);
  };
  redirect(in, O_RDONLY, 0);
  redirect(out, O_WRONLY | O_CREAT | O_TRUNC, 1);
  redirect(err, O_WRONLY | O_CREAT | O_TRUNC, 2);
  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  execvp(args[0], args.data());
  _exit(127);
}

int waitProcess(pid_t pid, int guardMs) {
  int status = 0;
  if (waitUntil([&] { return waitpid(pid, &status, WNOHANG) != 0; }, guardMs)) {
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
  kill(pid, SIGKILL);
  waitpid(pid, &status, 0);
  return -1;
}

long long monotonicMs() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<long long>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

bool waitUntil(const std::function<bool()>& done, int guardMs) {
  const long long end = monotonicMs() + guardMs;
  while (!done()) {
    if (monotonicMs() > end) return false;
    const timespec pause{0, 2 * 1000000L};  // 2 ms between polls
    nanosleep(&pause, nullptr);
  }
  return true;
}

std::string toHex(const std::string& bytes) {
  static const char digits[] = "0123456789abcdef";
  std::string out;
  for (unsigned char c : bytes) out += {digits[c >> 4], digits[c & 15]};
  return out;
}

bool writeFile(const std::string& path, const std::string& bytes) {
  std::ofstream file(path, std::ios::binary | std::ios::trunc);
  file << bytes;
  return static_cast<bool>(file);
}

std::string readFile(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  std::ostringstream content;
  content << file.rdbuf();
  return content.str();
}

uint16_t freeLoopbackPort() {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in addr = loopback(0);
  socklen_t length = sizeof addr;
  uint16_t port = 0;
  if (fd >= 0 && bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 &&
      getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &length) == 0) {
    port = ntohs(addr.sin_port);
  }
  if (fd >= 0) close(fd);
  return port;
}

size_t descriptorCount(pid_t pid) {
  DIR* dir = opendir(("/proc/" + std::to_string(pid) + "/fd").c_str());
  size_t n = 0;
  while (dir && readdir(dir)) ++n;
  if (dir) closedir(dir);
  return n;
}

size_t settledDescriptors(pid_t pid) {
  size_t last = descriptorCount(pid), same = 0;
  waitUntil([&] {
    const size_t now = descriptorCount(pid);
    same = now == last ? same + 1 : 0;
    last = now;
    return same >= 100;
  });
  return last;
}

long privateResidentKiB(pid_t pid) {
  std::ifstream smaps("/proc/" + std::to_string(pid) + "/smaps_rollup");
  long total = 0;
  for (std::string line; std::getline(smaps, line);) {
    if (line.rfind("Private_", 0) != 0) continue;
    std::istringstream fields(line.substr(line.find(':') + 1));
    long kib = 0;
    fields >> kib;
    total += kib;
  }
  return total;
}

int connectLoopback(uint16_t port) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  const sockaddr_in addr = loopback(port);
  if (fd >= 0 && connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) == 0) return fd;
  if (fd >= 0) close(fd);
  return -1;
}

// ---- Programs -----------------------------------------------------------------

void Program::start(const std::vector<std::string>& argv, const std::string& dir,
                    std::string outputPath, const std::string& inputPath) {
  static int serial = 0;
  if (pid_ > 0) stop(SIGKILL);
  const std::string base = dir + "/" + argv[0].substr(argv[0].rfind('/') + 1) + "-" +
                           std::to_string(++serial);
  outputPath_ = outputPath.empty() ? base + ".out" : std::move(outputPath);
  errorPath_ = base + ".err";
  status_ = -1;
  pid_ = startProcess(argv, inputPath, outputPath_, errorPath_);
}

int Program::wait(int guardMs) {
  if (pid_ > 0) status_ = waitProcess(pid_, guardMs);
  pid_ = -1;
  return status_;
}

bool Program::exited() {
  int status = 0;
  if (pid_ > 0 && waitpid(pid_, &status, WNOHANG) == pid_) {
    status_ = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    pid_ = -1;
  }
  return pid_ <= 0;
}

std::vector<std::string> Program::lines() const {
  std::vector<std::string> lines;
  std::istringstream in(output());
  for (std::string line; std::getline(in, line) && !in.eof();) lines.push_back(line);
  return lines;
}

bool Program::waitForLine(const std::string& text, int guardMs) {
  const auto seen = [&] {
    for (const std::string& line : lines()) {
      if (line.find(text) != std::string::npos) return true;
    }
    return false;
  };
  return waitUntil([&] { return seen() || exited(); }, guardMs) && seen();
}

bool Program::waitForLines(size_t lines, int guardMs) const {
  return waitUntil([&] { return countOf(output(), "\n") >= lines; }, guardMs);
}

// ---- The broker ---------------------------------------------------------------

Mosquitto::Mosquitto(MosquittoOptions options) : options_(std::move(options)) {
  char tmpl[] = "/tmp/mosquitto-XXXXXX";
  if (mkdtemp(tmpl)) dir_ = tmpl;
  port_ = options_.port != 0 ? options_.port : freeLoopbackPort();
}

Mosquitto::~Mosquitto() {
  stop();
  std::error_code ignored;
  if (!dir_.empty()) std::filesystem::remove_all(dir_, ignored);
}

void Mosquitto::writeConfig() const {
  std::ostringstream config;
  // As root the broker would switch to its own user, which cannot write
  // the log in this directory.
  if (geteuid() == 0) config << "user root\n";
  config << "listener " << port_ << " " << options_.address << "\n"
         << "allow_anonymous true\n"
         << "log_dest file " << dir_ << "/mosquitto.log\n";
  if (options_.persistent) {
    config << "persistence true\npersistence_location " << dir_ << "/\n";
  } else {
    config << "persistence false\n";
  }
  for (const std::string& type : options_.logTypes) config << "log_type " << type << "\n";
  for (const std::string& line : options_.extraConfig) config << line << "\n";
  writeFile(dir_ + "/mosquitto.conf", config.str());
}

bool Mosquitto::start(int guardMs) {
  startError_.clear();
  if (!process_.exited()) return true;
  if (dir_.empty() || port_ == 0) {
    startError_ = "no directory or no free port";
    return false;
  }
  writeConfig();
  std::vector<std::string> argv = launcher(options_.netns);
  argv.insert(argv.end(), {MOSQUITTO_BIN, "-c", dir_ + "/mosquitto.conf"});
  process_.start(argv, dir_);
  const auto accepts = [this] {
    const int fd = connectTcpIn(options_.netns, options_.address, port_);
    if (fd >= 0) close(fd);
    return fd >= 0;
  };
  if (waitUntil([&] { return accepts() || process_.exited(); }, guardMs) && accepts()) return true;
  startError_ = process_.exited() ? "mosquitto exited: " + process_.errors() + log()
                                  : "mosquitto does not accept connections on port " +
                                        std::to_string(port_);
  stop();
  return false;
}

std::string Mosquitto::log() const { return readFile(dir_ + "/mosquitto.log"); }

bool Mosquitto::waitForLog(const std::string& text, int times, int guardMs) const {
  return waitUntil([&] { return countOf(log(), text) >= static_cast<size_t>(times); }, guardMs);
}

// ---- Command-line clients ---------------------------------------------------------

MosquittoClient::MosquittoClient(const Mosquitto& broker, const std::string& program,
                                 const std::vector<std::string>& args, std::string outputPath,
                                 const std::string& inputPath) {
  std::vector<std::string> argv = launcher(broker.netns());
  argv.insert(argv.end(), {program, "-h", broker.address(), "-p", std::to_string(broker.port())});
  argv.insert(argv.end(), args.begin(), args.end());
  start(argv, broker.dir(), std::move(outputPath), inputPath);
}

std::unique_ptr<MosquittoClient> startSubscriber(const Mosquitto& broker,
                                                 const std::string& clientId,
                                                 const std::string& filter,
                                                 const std::vector<std::string>& extraArgs,
                                                 int qos) {
  std::vector<std::string> args{"-i", clientId, "-q", std::to_string(qos), "-t", filter,
                                "-F", "%q %r %t %x"};
  args.insert(args.end(), extraArgs.begin(), extraArgs.end());
  // The broker logs "<client id> <qos> <filter>" once the subscription is
  // in place, before it answers with SUBACK.
  const std::string subscribed = clientId + " " + std::to_string(qos) + " " + filter;
  const int before = static_cast<int>(countOf(broker.log(), subscribed));
  auto client = std::make_unique<MosquittoClient>(broker, "mosquitto_sub", args);
  if (!broker.waitForLog(subscribed, before + 1)) return nullptr;
  return client;
}

int runPublisher(const Mosquitto& broker, const std::vector<std::string>& args) {
  return MosquittoClient(broker, "mosquitto_pub", args).wait();
}

}  // namespace testsupport
