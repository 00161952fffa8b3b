#include "harness.h"

#include <errno.h>
#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <netinet/in.h>
#include <arpa/inet.h>
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

// Forks `argv` with KV_ROOT=root and the descriptors `in` (-1: the test's
// own standard input), `out` and `err` as its standard streams; as user
// `uid` (group 0) when `uid` is not -1.
pid_t spawn(const std::string& root, const std::vector<std::string>& argv, int in, int out,
            int err, int uid = -1) {
  pid_t pid = fork();
  if (pid == 0) {
    if (in >= 0) dup2(in, 0);
    dup2(out, 1);
    dup2(err, 2);
    signal(SIGPIPE, SIG_DFL);
    if (uid >= 0 && (setgroups(0, nullptr) != 0 || setgid(0) != 0 || setuid(uid) != 0)) _exit(126);
    prctl(PR_SET_PDEATHSIG, SIGKILL);  // no broker or daemon outlives a test that dies
    setenv("KV_ROOT", root.c_str(), 1);
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    execv(args[0], args.data());
    _exit(127);
  }
  return pid;
}

// An unnamed file for a child's output: it never blocks the child, however
// little the test reads.
int outputFile() {
  int fd = open("/tmp", O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
  if (fd < 0) throw std::runtime_error("O_TMPFILE");
  return fd;
}

// Appends what has been written to `fd` since `offset`.
void readNew(int fd, off_t& offset, std::string& into) {
  char buf[4096];
  ssize_t n;
  while ((n = pread(fd, buf, sizeof buf, offset)) > 0) {
    into.append(buf, static_cast<size_t>(n));
    offset += n;
  }
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

Process::~Process() {
  if (pid_ > 0) {
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  }
  if (outFd_ >= 0) close(outFd_);
  if (errFd_ >= 0) close(errFd_);
}

void Process::start(const std::vector<std::string>& argv) {
  outFd_ = outputFile();
  errFd_ = outputFile();
  pid_ = spawn(root_, argv, -1, outFd_, errFd_);
}

bool Daemon::start() {
  Process::start({MQTTD_BIN});
  return waitForLine("mqtt: started");
}

void Process::readAvailable(int waitMs) {
  if (waitMs > 0) usleep(static_cast<useconds_t>(waitMs) * 1000);
  readNew(errFd_, errRead_, errors_);
  readNew(outFd_, outRead_, partial_);
  size_t nl;
  while ((nl = partial_.find('\n')) != std::string::npos) {
    lines_.push_back(partial_.substr(0, nl));
    partial_.erase(0, nl + 1);
  }
}

bool Process::seen(const std::string& text, size_t& checked) const {
  for (; checked < lines_.size(); ++checked) {
    if (lines_[checked].find(text) != std::string::npos) return true;
  }
  return false;
}

bool Process::waitForLine(const std::string& text, int guardMs) {
  long long end = nowMs() + guardMs;
  size_t checked = 0;
  while (nowMs() < end) {
    readAvailable(50);
    if (seen(text, checked)) return true;
    int status = 0;
    if (pid_ > 0 && waitpid(pid_, &status, WNOHANG) == pid_) {
      pid_ = -1;
      status_ = exitStatus(status);
      readAvailable(0);
      return seen(text, checked);
    }
  }
  return false;
}

int Process::stop(int signal) {
  if (pid_ <= 0) return status_;
  kill(pid_, signal);
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

const std::vector<std::string>& Process::lines() {
  readAvailable(0);
  return lines_;
}

const std::string& Process::errors() {
  readAvailable(0);
  return errors_;
}



CtlResult runCtl(const std::string& root, const std::vector<std::string>& args,
                 const CtlRun& how) {
  std::vector<std::string> argv{MQTTCTL_BIN};
  argv.insert(argv.end(), args.begin(), args.end());
  signal(SIGPIPE, SIG_IGN);  // a console that stops reading early is not the test's end
  int out[2], err[2], in[2];
  if (pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0 || pipe2(in, O_CLOEXEC) != 0) {
    throw std::runtime_error("pipe");
  }
  pid_t pid = spawn(root, argv, in[0], out[1], err[1], how.uid);
  close(in[0]);
  close(out[1]);
  close(err[1]);
  int outFd = out[0], errFd = err[0], inFd = in[1];
  for (int fd : {outFd, errFd, inFd}) fcntl(fd, F_SETFL, O_NONBLOCK);
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
