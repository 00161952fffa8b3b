#include "support/mosquitto.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>

// The build passes the paths it found; these are Debian's.
#ifndef MOSQUITTO_BIN
#define MOSQUITTO_BIN "/usr/sbin/mosquitto"
#endif

namespace testsupport {
namespace {

constexpr int POLL_MS = 10;

void sleepMs(int ms) {
  timespec ts{ms / 1000, static_cast<long>(ms % 1000) * 1000000L};
  nanosleep(&ts, nullptr);
}

size_t countOf(const std::string& text, const std::string& part) {
  size_t n = 0;
  for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
  return n;
}

std::vector<std::string> clientArgv(const Mosquitto& broker, const std::string& program,
                                    const std::vector<std::string>& args) {
  std::vector<std::string> argv{program, "-h", "127.0.0.1", "-p", std::to_string(broker.port())};
  argv.insert(argv.end(), args.begin(), args.end());
  return argv;
}

}  // namespace

// ---- Helpers ----------------------------------------------------------------

pid_t startProcess(const std::vector<std::string>& argv, const std::string& in,
                   const std::string& out, const std::string& err) {
  const pid_t pid = fork();
  if (pid != 0) return pid;
  prctl(PR_SET_PDEATHSIG, SIGTERM);
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
  const long long end = monotonicMs() + guardMs;
  while (waitpid(pid, &status, WNOHANG) == 0) {
    if (monotonicMs() > end) {
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
      return -1;
    }
    sleepMs(POLL_MS);
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

long long monotonicMs() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<long long>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

std::string toHex(const std::string& bytes) {
  static const char digits[] = "0123456789abcdef";
  std::string out;
  for (unsigned char c : bytes) {
    out += digits[c >> 4];
    out += digits[c & 15];
  }
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
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof addr;
  uint16_t port = 0;
  if (fd >= 0 && bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 &&
      getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &length) == 0) {
    port = ntohs(addr.sin_port);
  }
  if (fd >= 0) close(fd);
  return port;
}

// ---- The broker ---------------------------------------------------------------

Mosquitto::Mosquitto(MosquittoOptions options) : options_(std::move(options)) {
  char tmpl[] = "/tmp/mosquitto-XXXXXX";
  if (mkdtemp(tmpl)) dir_ = tmpl;
  port_ = freeLoopbackPort();
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
  config << "listener " << port_ << " 127.0.0.1\n"
         << "allow_anonymous true\n"
         << "log_dest file " << dir_ << "/mosquitto.log\n";
  for (const std::string& type : options_.logTypes) config << "log_type " << type << "\n";
  if (options_.persistence) {
    config << "persistence true\npersistence_location " << dir_ << "/\n";
  } else {
    config << "persistence false\n";
  }
  for (const std::string& line : options_.extraConfig) config << line << "\n";
  writeFile(dir_ + "/mosquitto.conf", config.str());
}

bool Mosquitto::acceptsConnections() const {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(port_);
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  const bool ok = connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
  close(fd);
  return ok;
}

bool Mosquitto::start(int guardMs) {
  startError_.clear();
  if (running()) return true;
  if (dir_.empty() || port_ == 0) {
    startError_ = "no directory or no free port";
    return false;
  }
  writeConfig();
  pid_ = startProcess({MOSQUITTO_BIN, "-c", dir_ + "/mosquitto.conf"}, "", dir_ + "/console.out",
               dir_ + "/console.err");
  const long long end = monotonicMs() + guardMs;
  while (!acceptsConnections()) {
    int status = 0;
    if (waitpid(pid_, &status, WNOHANG) == pid_) {
      pid_ = -1;
      startError_ = "mosquitto exited: " + readFile(dir_ + "/console.err") + log();
      return false;
    }
    if (monotonicMs() > end) {
      stop();
      startError_ = "mosquitto does not accept connections on port " + std::to_string(port_);
      return false;
    }
    sleepMs(POLL_MS);
  }
  return true;
}

void Mosquitto::stop(int guardMs) {
  if (!running()) return;
  kill(pid_, SIGTERM);
  waitProcess(pid_, guardMs);
  pid_ = -1;
}

std::string Mosquitto::log() const { return readFile(dir_ + "/mosquitto.log"); }

bool Mosquitto::waitForLog(const std::string& text, int times, int guardMs) const {
  const long long end = monotonicMs() + guardMs;
  while (countOf(log(), text) < static_cast<size_t>(times)) {
    if (monotonicMs() > end) return false;
    sleepMs(POLL_MS);
  }
  return true;
}

// ---- Command-line clients ---------------------------------------------------------

MosquittoClient::MosquittoClient(const Mosquitto& broker, const std::string& program,
                                 const std::vector<std::string>& args, std::string outputPath,
                                 const std::string& inputPath)
    : outputPath_(std::move(outputPath)) {
  static int serial = 0;
  const std::string base = broker.dir() + "/" + program + "-" + std::to_string(++serial);
  if (outputPath_.empty()) outputPath_ = base + ".out";
  errorPath_ = base + ".err";
  pid_ = startProcess(clientArgv(broker, program, args), inputPath, outputPath_, errorPath_);
}

MosquittoClient::~MosquittoClient() {
  if (pid_ > 0) {
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  }
}

int MosquittoClient::wait(int guardMs) {
  if (pid_ > 0) {
    status_ = waitProcess(pid_, guardMs);
    pid_ = -1;
  }
  return status_;
}

bool MosquittoClient::exited() {
  int status = 0;
  if (pid_ > 0 && waitpid(pid_, &status, WNOHANG) == pid_) {
    status_ = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    pid_ = -1;
  }
  return pid_ <= 0;
}

std::string MosquittoClient::output() const { return readFile(outputPath_); }
std::string MosquittoClient::errors() const { return readFile(errorPath_); }

bool MosquittoClient::waitForLines(size_t lines, int guardMs) const {
  const long long end = monotonicMs() + guardMs;
  while (countOf(output(), "\n") < lines) {
    if (monotonicMs() > end) return false;
    sleepMs(POLL_MS);
  }
  return true;
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
  MosquittoClient publisher(broker, "mosquitto_pub", args);
  return publisher.wait();
}

}  // namespace testsupport
