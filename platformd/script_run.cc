#include "platformd/script_run.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <set>

extern char** environ;

namespace platformd {

namespace {

void closeIfOpen(int& fd) {
  if (fd >= 0) close(fd);
  fd = -1;
}

void setNonBlocking(int fd) { fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK); }

// The platform's environment with the script's variables added (replacing
// any of the same name).
std::vector<std::string> environmentFor(const ScriptOrder& order) {
  std::set<std::string> names;
  std::vector<std::string> env;
  for (const auto& var : order.variables) {
    names.insert(var.first);
    env.push_back(var.first + "=" + var.second);
  }
  for (char** e = environ; e && *e; ++e) {
    std::string entry(*e);
    if (!names.count(entry.substr(0, entry.find('=')))) env.push_back(entry);
  }
  return env;
}

}  // namespace

ScriptRun::ScriptRun(kv::ThinRunner& runner, kv::LogFn log, kv::Ticks killAfterTicks, DoneFn done)
    : runner_(runner), log_(std::move(log)), killAfterTicks_(killAfterTicks), done_(std::move(done)) {}

ScriptRun::~ScriptRun() {
  if (pid_ > 0) {
    kill(-pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);  // at once: nothing survives SIGKILL for long
  }
  release();
}

kv::Status ScriptRun::start(const ScriptOrder& order) {
  // The input is a socket so that writing to a script that stopped reading
  // fails with EPIPE (MSG_NOSIGNAL) instead of raising SIGPIPE.
  int in[2] = {-1, -1}, out[2] = {-1, -1}, err[2] = {-1, -1};
  kv::Status st;
  if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, in) != 0 || pipe2(out, O_CLOEXEC) != 0 ||
      pipe2(err, O_CLOEXEC) != 0) {
    st = kv::Status::fromErrno("cannot start the script: pipe", errno);
  } else {
    st = spawn(order, in[1], out[1], err[1]);
  }
  for (int* ours : {&in[1], &out[1], &err[1]}) closeIfOpen(*ours);  // the script has its own
  inFd_ = in[0];
  out_.fd = out[0];
  err_.fd = err[0];
  if (!st.isOk()) {
    release();
    return st;
  }
  input_ = order.input;
  watch();
  limitTimer_ = kv::Timer(runner_, order.limitTicks, [this]() { onLimit(); });
  return st;
}

kv::Status ScriptRun::spawn(const ScriptOrder& order, int in, int out, int err) {
  std::vector<std::string> env = environmentFor(order);
  std::vector<char*> envp;
  for (std::string& e : env) envp.push_back(&e[0]);
  envp.push_back(nullptr);
  std::string script = order.script;
  char sh[] = "/bin/sh", dashC[] = "-c";
  char* argv[] = {sh, dashC, &script[0], nullptr};

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, in, 0);
  posix_spawn_file_actions_adddup2(&actions, out, 1);
  posix_spawn_file_actions_adddup2(&actions, err, 2);
  posix_spawnattr_t attr;
  posix_spawnattr_init(&attr);
  sigset_t none, all;
  sigemptyset(&none);
  sigfillset(&all);
  posix_spawnattr_setsigmask(&attr, &none);
  posix_spawnattr_setsigdefault(&attr, &all);  // SIGPIPE ignored here is not for it
  posix_spawnattr_setpgroup(&attr, 0);
  posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK |
                                      POSIX_SPAWN_SETSIGDEF);
  pid_t pid = -1;
  int rc = posix_spawn(&pid, "/bin/sh", &actions, &attr, argv, envp.data());
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attr);
  if (rc != 0) return kv::Status::fromErrno("cannot start the script", rc);
  pid_ = pid;
  pidFd_ = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
  if (pidFd_ < 0) return kv::Status::fromErrno("cannot watch the script (pidfd_open)", errno);
  return kv::Status::ok();
}

void ScriptRun::watch() {
  runner_.addSocket(pidFd_, POLLIN, [this](int, int) { onExit(); });
  setNonBlocking(inFd_);
  setNonBlocking(out_.fd);
  setNonBlocking(err_.fd);
  runner_.addSocket(out_.fd, POLLIN, [this](int, int) { readOutput(out_); });
  runner_.addSocket(err_.fd, POLLIN, [this](int, int) { readOutput(err_); });
  if (input_.empty()) return closeIfOpen(inFd_);
  runner_.addSocket(inFd_, POLLOUT, [this](int, int) { feedInput(); });
}

void ScriptRun::feedInput() {
  while (inputSent_ < input_.size()) {
    ssize_t n = send(inFd_, input_.data() + inputSent_, input_.size() - inputSent_,
                     MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n < 0 && (errno == EAGAIN || errno == EINTR)) return;
    if (n < 0) break;  // the script closed its input: it does not want the rest
    inputSent_ += static_cast<size_t>(n);
  }
  runner_.removeSocket(inFd_);
  closeIfOpen(inFd_);  // end of file for the script
}

void ScriptRun::readOutput(Output& output) {
  char buf[4096];
  for (;;) {
    ssize_t n = read(output.fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return;  // nothing more for now
    if (n == 0) return closeOutput(output);
    for (ssize_t i = 0; i < n; ++i) {
      if (buf[i] == '\n' || output.partial.size() >= OUTPUT_LINE_BYTES) {
        emitLine(output, output.partial);
        output.partial.clear();
        if (buf[i] == '\n') continue;
      }
      output.partial.push_back(buf[i]);
    }
  }
}

void ScriptRun::emitLine(Output& output, const std::string& line) {
  if (output.lines++ < OUTPUT_LINES) {
    log_(kv::LOG_LEVEL_INFO, output.label + line);
  } else {
    ++output.dropped;
  }
}

void ScriptRun::closeOutput(Output& output) {
  if (output.fd < 0) return;
  if (!output.partial.empty()) emitLine(output, output.partial);
  output.partial.clear();
  if (output.dropped > 0) {
    log_(kv::LOG_LEVEL_INFO, std::string(output.label) + "(" + std::to_string(output.dropped) +
                                 " more lines dropped)");
  }
  runner_.removeSocket(output.fd);
  closeIfOpen(output.fd);
}

void ScriptRun::onLimit() {
  timedOut_ = true;
  kill(-pid_, SIGTERM);
  killTimer_ = kv::Timer(runner_, killAfterTicks_, [this]() { kill(-pid_, SIGKILL); });
}

void ScriptRun::onExit() {
  kill(-pid_, SIGKILL);  // whatever it left behind in its group
  int status = 0;
  if (waitpid(pid_, &status, WNOHANG) != pid_) return;  // not yet: the pidfd says so again
  pid_ = -1;
  readOutput(out_);
  readOutput(err_);
  closeOutput(out_);
  closeOutput(err_);
  release();
  DoneFn done = std::move(done_);
  done(outcome(status));
}

kv::message ScriptRun::outcome(int status) const {
  if (timedOut_) return kv::failedMsg("script timed out");
  if (WIFEXITED(status) && WEXITSTATUS(status) == 0) return kv::message();
  if (WIFEXITED(status)) {
    return kv::failedMsg("script exited with status " + std::to_string(WEXITSTATUS(status)));
  }
  return kv::failedMsg("script killed by signal " + std::to_string(WTERMSIG(status)));
}

void ScriptRun::release() {
  limitTimer_.cancel();
  killTimer_.cancel();
  for (int* fd : {&pidFd_, &inFd_, &out_.fd, &err_.fd}) {
    if (*fd >= 0) runner_.removeSocket(*fd);
    closeIfOpen(*fd);
  }
}

}  // namespace platformd
