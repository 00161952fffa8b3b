// WorkerPool: a few threads for work that blocks (name resolution), whose
// results come back to the event-loop thread.
//
//   loop thread                       worker thread
//   submit(work, done) --queue-->     work()
//                                     finished queue <- done, then a byte
//   the runner sees the eventfd  <--  on the eventfd
//   readable: done() runs on the loop thread, on a later loop turn
//
// The queue of work not yet started is bounded; submit refuses work beyond
// it instead of waiting. `work` must not touch loop state: it runs on
// another thread. `done` runs on the loop thread, exactly once, unless the
// pool is destroyed first.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

#include "platform/runner.h"
#include "platform/status.h"

namespace platformd {

class WorkerPool {
 public:
  using Fn = std::function<void()>;

  // Starts `threads` workers. The eventfd is watched on `runner`, which
  // must outlive the pool.
  WorkerPool(kv::ThinRunner& runner, size_t threads, size_t maxQueued);
  // Takes no more work, lets the running work finish, joins the threads;
  // `done` of work that has not come back yet never runs.
  ~WorkerPool();
  WorkerPool(const WorkerPool&) = delete;
  WorkerPool& operator=(const WorkerPool&) = delete;

  // Whether the threads and the eventfd were set up.
  const kv::Status& status() const { return status_; }
  // False, and nothing runs, when maxQueued pieces of work already wait.
  bool submit(Fn work, Fn done);

 private:
  void workerLoop();
  void onFinished();

  kv::ThinRunner& runner_;
  size_t maxQueued_;
  kv::Status status_;
  int eventFd_ = -1;
  std::mutex mutex_;
  std::condition_variable wake_;
  bool stopping_ = false;
  std::deque<std::pair<Fn, Fn>> waiting_;  // guarded by mutex_
  std::deque<Fn> finished_;                // guarded by mutex_
  std::vector<std::thread> threads_;
};

}  // namespace platformd
