#include "platformd/worker_pool.h"

#include <errno.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cstdint>

namespace platformd {

WorkerPool::WorkerPool(kv::ThinRunner& runner, size_t threads, size_t maxQueued)
    : runner_(runner), maxQueued_(maxQueued) {
  eventFd_ = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  if (eventFd_ < 0) {
    status_ = kv::Status::fromErrno("eventfd", errno);
    return;
  }
  runner_.addSocket(eventFd_, POLLIN, [this](int, int) { onFinished(); });
  for (size_t i = 0; i < threads; ++i) threads_.emplace_back([this]() { workerLoop(); });
}

WorkerPool::~WorkerPool() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
    waiting_.clear();
  }
  wake_.notify_all();
  for (std::thread& t : threads_) t.join();
  if (eventFd_ >= 0) {
    runner_.removeSocket(eventFd_);
    close(eventFd_);
  }
}

bool WorkerPool::submit(Fn work, Fn done) {
  if (!status_.isOk()) return false;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (waiting_.size() >= maxQueued_) return false;
    waiting_.emplace_back(std::move(work), std::move(done));
  }
  wake_.notify_one();
  return true;
}

void WorkerPool::workerLoop() {
  for (;;) {
    std::pair<Fn, Fn> job;
    {
      std::unique_lock<std::mutex> lock(mutex_);
      wake_.wait(lock, [this]() { return stopping_ || !waiting_.empty(); });
      if (stopping_) return;
      job = std::move(waiting_.front());
      waiting_.pop_front();
    }
    job.first();
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (stopping_) return;
      finished_.push_back(std::move(job.second));
    }
    uint64_t one = 1;
    ssize_t ignored = write(eventFd_, &one, sizeof one);
    (void)ignored;  // the counter cannot overflow with a few threads
  }
}

void WorkerPool::onFinished() {
  uint64_t count = 0;
  ssize_t ignored = read(eventFd_, &count, sizeof count);
  (void)ignored;
  std::deque<Fn> ready;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    ready.swap(finished_);
  }
  for (Fn& done : ready) done();
}

}  // namespace platformd
