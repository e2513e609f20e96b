#include "hybridsearch/thread_pool.h"

#include <gtest/gtest.h>

#include <atomic>
#include <new>
#include <stdexcept>
#include <thread>
#include <vector>

namespace vesk {
namespace {

// Every task runs exactly once, for loops from several callers at once, with
// loops nested inside tasks, and for pools of one thread (no workers).
TEST(ThreadPoolTest, RunsEveryTaskOnceFromConcurrentAndNestedCallers) {
  for (size_t threads : {size_t{1}, size_t{2}, size_t{4}}) {
    auto made = ThreadPool::create(threads);
    ASSERT_TRUE(made.ok());
    ThreadPool& pool = *made.value();
    EXPECT_EQ(pool.thread_count(), threads);
    constexpr size_t kTasks = 200, kInner = 7, kCallers = 3;
    std::vector<std::atomic<int>> runs(kCallers * kTasks * kInner);
    std::vector<std::thread> callers;
    for (size_t c = 0; c < kCallers; ++c) {
      callers.emplace_back([&, c] {
        pool.run(kTasks, [&](size_t t) {
          pool.run(kInner, [&](size_t i) { ++runs[(c * kTasks + t) * kInner + i]; });
        });
      });
    }
    for (auto& t : callers) t.join();
    for (size_t i = 0; i < runs.size(); ++i) ASSERT_EQ(runs[i].load(), 1) << threads << " " << i;
    pool.run(0, [](size_t) { FAIL(); });
  }
}

// A throwing task does not stop the others; the first exception reaches the
// caller, and the pool stays usable.
TEST(ThreadPoolTest, ExceptionReachesCallerAfterAllTasks) {
  auto made = ThreadPool::create(3);
  ASSERT_TRUE(made.ok());
  ThreadPool& pool = *made.value();
  std::atomic<int> ran{0};
  EXPECT_THROW(pool.run(100,
                        [&](size_t i) {
                          ++ran;
                          if (i % 10 == 3) throw std::bad_alloc();
                        }),
               std::bad_alloc);
  EXPECT_EQ(ran.load(), 100);
  ran = 0;
  pool.run(50, [&](size_t) { ++ran; });
  EXPECT_EQ(ran.load(), 50);
}

}  // namespace
}  // namespace vesk
