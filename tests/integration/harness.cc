#include "harness.h"

#include <errno.h>
#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <stdexcept>

namespace harness {
namespace {

long long nowMs() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<long long>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

int exitStatus(int status) { return WIFEXITED(status) ? WEXITSTATUS(status) : -1; }

// Forks `argv` with KV_ROOT=root, its stdout and stderr on pipes, and its
// stdin on a pipe too when `inFd` is given; as user `uid` when not -1.
pid_t spawn(const std::string& root, const std::vector<std::string>& argv, int& outFd, int& errFd,
            int* inFd = nullptr, int uid = -1) {
  int out[2], err[2], in[2] = {-1, -1};
  if (pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0 ||
      (inFd && pipe2(in, O_CLOEXEC) != 0)) {
    throw std::runtime_error("pipe");
  }
  pid_t pid = fork();
  if (pid == 0) {
    dup2(out[1], 1);
    dup2(err[1], 2);
    if (inFd) dup2(in[0], 0);
    if (uid >= 0 && (setgroups(0, nullptr) != 0 || setgid(0) != 0 || setuid(uid) != 0)) _exit(126);
    setenv("KV_ROOT", root.c_str(), 1);
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    execv(args[0], args.data());
    _exit(127);
  }
  close(out[1]);
  close(err[1]);
  if (inFd) {
    close(in[0]);
    *inFd = in[1];
    fcntl(*inFd, F_SETFL, O_NONBLOCK);
  }
  outFd = out[0];
  errFd = err[0];
  fcntl(outFd, F_SETFL, O_NONBLOCK);
  fcntl(errFd, F_SETFL, O_NONBLOCK);
  return pid;
}

// Appends what `fd` has to `into`; false at end of file.
bool drain(int fd, std::string& into) {
  char buf[4096];
  for (;;) {
    ssize_t n = read(fd, buf, sizeof buf);
    if (n > 0) {
      into.append(buf, static_cast<size_t>(n));
      continue;
    }
    return !(n == 0);
  }
}

}  // namespace

TempRoot::TempRoot() {
  char tmpl[] = "/tmp/mqttd-root-XXXXXX";
  if (!mkdtemp(tmpl)) throw std::runtime_error("mkdtemp");
  path_ = tmpl;
}

TempRoot::~TempRoot() {
  std::string cmd = "rm -rf '" + path_ + "'";
  if (system(cmd.c_str()) != 0) {
    // Leaving a temporary directory behind is not worth failing a test.
  }
}

Daemon::~Daemon() {
  if (pid_ > 0) {
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  }
  if (outFd_ >= 0) close(outFd_);
  if (errFd_ >= 0) close(errFd_);
}

bool Daemon::start() {
  pid_ = spawn(root_, {MQTTD_BIN}, outFd_, errFd_);
  return waitForLine("mqtt: started");
}

void Daemon::readAvailable(int waitMs) {
  pollfd fds[2] = {{outFd_, POLLIN, 0}, {errFd_, POLLIN, 0}};
  poll(fds, 2, waitMs);
  drain(errFd_, errors_);
  drain(outFd_, partial_);
  size_t nl;
  while ((nl = partial_.find('\n')) != std::string::npos) {
    lines_.push_back(partial_.substr(0, nl));
    partial_.erase(0, nl + 1);
  }
}

bool Daemon::waitForLine(const std::string& text, int guardMs) {
  long long end = nowMs() + guardMs;
  size_t checked = 0;
  while (nowMs() < end) {
    readAvailable(50);
    for (; checked < lines_.size(); ++checked) {
      if (lines_[checked].find(text) != std::string::npos) return true;
    }
    int status = 0;
    if (pid_ > 0 && waitpid(pid_, &status, WNOHANG) == pid_) {
      pid_ = -1;
      status_ = exitStatus(status);
      readAvailable(0);
      for (; checked < lines_.size(); ++checked) {
        if (lines_[checked].find(text) != std::string::npos) return true;
      }
      return false;
    }
  }
  return false;
}

int Daemon::stop() {
  if (pid_ <= 0) return status_;
  kill(pid_, SIGTERM);
  int status = 0;
  long long end = nowMs() + 30000;
  while (waitpid(pid_, &status, WNOHANG) == 0) {
    if (nowMs() > end) {
      kill(pid_, SIGKILL);
      waitpid(pid_, &status, 0);
      break;
    }
    readAvailable(20);
  }
  pid_ = -1;
  status_ = exitStatus(status);
  readAvailable(0);
  return status_;
}

const std::vector<std::string>& Daemon::lines() {
  readAvailable(0);
  return lines_;
}

const std::string& Daemon::errors() {
  readAvailable(0);
  return errors_;
}

CtlResult runCtl(const std::string& root, const std::vector<std::string>& args,
                 const CtlRun& how) {
  std::vector<std::string> argv{MQTTCTL_BIN};
  argv.insert(argv.end(), args.begin(), args.end());
  int outFd = -1, errFd = -1, inFd = -1;
  pid_t pid = spawn(root, argv, outFd, errFd, &inFd, how.uid);
  CtlResult result{-1, "", ""};
  size_t written = 0;
  if (how.input.empty()) {
    close(inFd);
    inFd = -1;
  }
  bool outOpen = true, errOpen = true;
  while (outOpen || errOpen) {
    pollfd fds[3] = {{outFd, POLLIN, 0}, {errFd, POLLIN, 0}, {inFd, POLLOUT, 0}};
    if (poll(fds, 3, 60000) <= 0) break;
    if (outOpen) outOpen = drain(outFd, result.out);
    if (errOpen) errOpen = drain(errFd, result.err);
    if (inFd < 0 || !(fds[2].revents & (POLLOUT | POLLERR | POLLHUP))) continue;
    ssize_t n = write(inFd, how.input.data() + written, how.input.size() - written);
    if (n > 0) written += static_cast<size_t>(n);
    if (written == how.input.size() || (n < 0 && errno != EAGAIN)) {
      close(inFd);
      inFd = -1;
    }
  }
  if (inFd >= 0) close(inFd);
  int status = 0;
  waitpid(pid, &status, 0);
  close(outFd);
  close(errFd);
  result.status = exitStatus(status);
  return result;
}

int connectToBus(const std::string& root) {
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  snprintf(addr.sun_path, sizeof addr.sun_path, "%s/ram/kvbus", root.c_str());
  if (fd >= 0 && connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0) return fd;
  if (fd >= 0) close(fd);
  return -1;
}

LogListener::LogListener(const std::string& root) : path_(root + "/ram/logsocket") {
  mkdir((root + "/ram").c_str(), 0755);
  fd_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  snprintf(addr.sun_path, sizeof addr.sun_path, "%s", path_.c_str());
  if (bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    throw std::runtime_error(std::string("bind log socket: ") + strerror(errno));
  }
}

LogListener::~LogListener() {
  close(fd_);
  unlink(path_.c_str());
}

std::string LogListener::next(int guardMs) {
  pollfd pfd{fd_, POLLIN, 0};
  if (poll(&pfd, 1, guardMs) <= 0) return std::string();
  char buf[8192];
  ssize_t n = recv(fd_, buf, sizeof buf, 0);
  return n > 0 ? std::string(buf, static_cast<size_t>(n)) : std::string();
}

}  // namespace harness
