#include "platform/looper.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>

#include "platform/bus.h"

namespace kv {
namespace {

// The process loop that getLooper() returns: the first loop constructed.
Looper* processLooper = nullptr;

// Write end of the self-pipe that turns SIGTERM and SIGINT into a loop
// event; a signal handler can reach nothing else.
volatile sig_atomic_t signalWriteFd = -1;

void onStopSignal(int) {
  int saved = errno;
  if (signalWriteFd >= 0) {
    char byte = 1;
    ssize_t ignored = write(signalWriteFd, &byte, 1);
    (void)ignored;
  }
  errno = saved;
}

LooperOptions productionOptions() {
  LooperOptions options;
  options.mode = LooperOptions::Mode::Hub;
  options.catchSignals = true;
  options.startGraceSeconds = 5;
  return options;
}

}  // namespace

Looper::Looper(int, int, int, int, int, int, int, int, int, int, int, int, int)
    : Looper(productionOptions()) {}

Looper::Looper(const LooperOptions& options)
    : options_(options),
      ownClock_(options.clock ? nullptr : new SystemClock()),
      clock_(options.clock ? options.clock : ownClock_.get()),
      runner_(*clock_),
      random_(options.randomSeed != 0 ? options.randomSeed : Random::processSeed()),
      bus_(new Bus(*this, options_)) {
  if (!processLooper) processLooper = this;
  if (options_.mode == LooperOptions::Mode::Hub) bus_->addRoute({}, this);
  status_ = bus_->start();
  if (status_.isOk() && options_.catchSignals) setUpSignals();
}

Looper::~Looper() {
  if (signalPipe_[0] >= 0) {
    signal(SIGTERM, SIG_DFL);
    signal(SIGINT, SIG_DFL);
    signalWriteFd = -1;
    runner_.removeSocket(signalPipe_[0]);
    close(signalPipe_[0]);
    close(signalPipe_[1]);
  }
  for (Handler* handler : bus_->localHandlers()) {
    if (handler->registeredWith_ == this) handler->registeredWith_ = nullptr;
  }
  bus_.reset();
  if (processLooper == this) processLooper = nullptr;
}

void Looper::setUpSignals() {
  if (pipe2(signalPipe_, O_NONBLOCK | O_CLOEXEC) != 0) {
    log(LOG_LEVEL_ERROR, "signal pipe: cannot create it; SIGTERM will not stop the loop");
    return;
  }
  signalWriteFd = signalPipe_[1];
  struct sigaction sa {};
  sa.sa_handler = onStopSignal;
  sigemptyset(&sa.sa_mask);
  sa.sa_flags = SA_RESTART;
  sigaction(SIGTERM, &sa, nullptr);
  sigaction(SIGINT, &sa, nullptr);
  runner_.addSocket(signalPipe_[0], POLLIN, [this](int fd, int) {
    char buf[16];
    while (read(fd, buf, sizeof buf) > 0) {
    }
    stop();
  });
}

bool Looper::addHandler(uint32_t number, Handler* handler) {
  return addHandler(std::vector<uint32_t>{number}, handler);
}

bool Looper::addHandler(const std::vector<uint32_t>& path, Handler* handler) {
  if (!handler || !bus_->addRoute(path, handler)) return false;
  handler->registeredWith_ = this;
  return true;
}

void Looper::removeHandler(Handler* handler) {
  bus_->removeRoutes(handler);
  if (handler->registeredWith_ == this) handler->registeredWith_ = nullptr;
}

Handler* Looper::findHandler(const std::vector<uint32_t>& path) const {
  return bus_->localHandler(path);
}

void Looper::run() {
  while (!stopping_) turn(-1, true);
}

void Looper::turn(int maxWaitMs, bool advanceIdle) { runner_.turn(maxWaitMs, advanceIdle); }

uint32_t Looper::getLocaltime() const {
  const int64_t now = clock_->wallSeconds();
  // The zone's offset is looked up once a second, not once a call: a
  // message that arrives asks for the time.
  if (now != localtimeSecond_) {
    const time_t t = static_cast<time_t>(now);
    struct tm local {};
    localtime_r(&t, &local);
    localtimeOffset_ = local.tm_gmtoff;
    localtimeSecond_ = now;
  }
  return static_cast<uint32_t>(now + localtimeOffset_);
}

void Looper::log(int level, const std::string& text) const {
  if (options_.log) {
    options_.log(level, text);
    return;
  }
  fprintf(stderr, "kv: %s\n", text.c_str());
  fflush(stderr);
}

void Looper::handleCmd(message& request, uint32_t command) {
  if (command == CMD_SERVE) {
    bus_->handleServe(request);
    return;
  }
  Handler::handleCmd(request, command);
}

Looper* getLooper() { return processLooper; }

ThinRunner& getRunner() {
  if (processLooper) return processLooper->runner();
  // Never turned: what is added here never runs. Never destroyed either, so
  // that static destructors running at exit can still use it.
  static ThinRunner* detached = new ThinRunner(*new SystemClock());
  return *detached;
}

}  // namespace kv
