// ThreadPool: a fixed set of worker threads that run the tasks of a parallel
// loop, for scans that split their work into independent parts.
//
// run(count, task) calls task(0) .. task(count - 1), each exactly once, spread
// over the workers and the calling thread, and returns when all have finished.
// Tasks are handed out in increasing order from a shared counter, so a slow
// thread simply takes fewer of them. Several threads may call run() at once
// (their loops share the workers); a task may itself call run() on the same
// pool, since every caller works on its own loop while it waits.
//
// The core library never creates a pool: callers that want parallel scans
// make one and pass it in.
//
// Thread safety: run() may be called from any thread concurrently. The pool
// must outlive every run() call; the destructor waits for the workers to exit.
// Ownership: the pool owns its threads; run() borrows `task` for its duration.
#ifndef VESK_CORE_HYBRIDSEARCH_THREAD_POOL_H_
#define VESK_CORE_HYBRIDSEARCH_THREAD_POOL_H_

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "utils/status.h"

namespace vesk {

class ThreadPool {
 public:
  // A pool running loops on `threads` threads in all: the caller of run()
  // and threads - 1 workers (threads 0 counts as 1). Fails with Internal when
  // the system cannot start a thread; with std::bad_alloc when out of memory.
  static Result<std::unique_ptr<ThreadPool>> create(size_t threads);

  ~ThreadPool();
  ThreadPool(const ThreadPool&) = delete;
  ThreadPool& operator=(const ThreadPool&) = delete;

  // Threads that take part in a loop, the caller included.
  size_t thread_count() const { return workers_.size() + 1; }

  // Runs task(i) for every i < count and returns when all calls have
  // returned. When tasks throw, the remaining tasks still run and the first
  // exception caught is rethrown here; nothing else throws.
  void run(size_t count, const std::function<void(size_t)>& task);

 private:
  struct Loop;

  ThreadPool() = default;
  void work();
  // Runs tasks of `loop` until none is left to start; returns the number run.
  static size_t drain(Loop& loop);

  std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<std::shared_ptr<Loop>> loops_;  // loops that still have tasks to start
  bool stopping_ = false;
  std::vector<std::thread> workers_;
};

}  // namespace vesk

#endif  // VESK_CORE_HYBRIDSEARCH_THREAD_POOL_H_
