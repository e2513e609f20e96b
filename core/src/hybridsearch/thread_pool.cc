#include "hybridsearch/thread_pool.h"

#include <atomic>
#include <exception>
#include <string>
#include <system_error>

namespace vesk {

// One call of run(): tasks are claimed from `next`; the caller waits for
// `finished` to reach `count`.
struct ThreadPool::Loop {
  const std::function<void(size_t)>* task;
  size_t count;
  std::atomic<size_t> next{0};
  std::mutex mutex;  // guards finished, error
  std::condition_variable done;
  size_t finished = 0;
  std::exception_ptr error;
};

Result<std::unique_ptr<ThreadPool>> ThreadPool::create(size_t threads) {
  std::unique_ptr<ThreadPool> pool(new ThreadPool());
  const size_t workers = threads <= 1 ? 0 : threads - 1;
  pool->workers_.reserve(workers);
  try {
    for (size_t i = 0; i < workers; ++i)
      pool->workers_.emplace_back([p = pool.get()] { p->work(); });
  } catch (const std::system_error& e) {
    return Status::Internal(std::string("Cannot start a worker thread: ") + e.what());
  }
  return pool;
}

ThreadPool::~ThreadPool() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  wake_.notify_all();
  for (std::thread& t : workers_) t.join();
}

size_t ThreadPool::drain(Loop& loop) {
  size_t ran = 0;
  for (;;) {
    const size_t i = loop.next.fetch_add(1, std::memory_order_relaxed);
    if (i >= loop.count) break;
    try {
      (*loop.task)(i);
    } catch (...) {
      std::lock_guard<std::mutex> lock(loop.mutex);
      if (!loop.error) loop.error = std::current_exception();
    }
    ++ran;
  }
  return ran;
}

void ThreadPool::work() {
  for (;;) {
    std::shared_ptr<Loop> loop;
    {
      std::unique_lock<std::mutex> lock(mutex_);
      wake_.wait(lock, [this] { return stopping_ || !loops_.empty(); });
      // Loops whose tasks have all been started need no more threads.
      while (!loops_.empty() &&
             loops_.front()->next.load(std::memory_order_relaxed) >= loops_.front()->count) {
        loops_.pop_front();
      }
      if (loops_.empty()) {
        if (stopping_) return;
        continue;
      }
      loop = loops_.front();
    }
    const size_t ran = drain(*loop);
    if (ran == 0) continue;
    std::lock_guard<std::mutex> lock(loop->mutex);
    loop->finished += ran;
    if (loop->finished == loop->count) loop->done.notify_all();
  }
}

void ThreadPool::run(size_t count, const std::function<void(size_t)>& task) {
  if (count == 0) return;
  auto loop = std::make_shared<Loop>();
  loop->task = &task;
  loop->count = count;
  if (!workers_.empty() && count > 1) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      loops_.push_back(loop);
    }
    wake_.notify_all();
  }
  const size_t ran = drain(*loop);
  {
    std::unique_lock<std::mutex> lock(loop->mutex);
    loop->finished += ran;
    loop->done.wait(lock, [&] { return loop->finished == loop->count; });
  }
  if (!workers_.empty() && count > 1) {
    // Workers may not have taken the loop off the queue yet.
    std::lock_guard<std::mutex> lock(mutex_);
    for (auto it = loops_.begin(); it != loops_.end(); ++it) {
      if (*it == loop) {
        loops_.erase(it);
        break;
      }
    }
  }
  if (loop->error) std::rethrow_exception(loop->error);
}

}  // namespace vesk
