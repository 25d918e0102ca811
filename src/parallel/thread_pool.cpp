// Provisional pool: the loop runs on the calling thread.
#include "thread_pool.hpp"

#include <exception>
#include <mutex>

#include "fault.hpp"
#include "pool_size.hpp"

namespace korvex::parallel {

struct ThreadPool::Impl {
  std::size_t num_threads;
};

ThreadPool::ThreadPool(std::size_t num_threads) : impl_(std::make_unique<Impl>()) {
  impl_->num_threads = num_threads == 0 ? 1 : num_threads;
}
ThreadPool::~ThreadPool() = default;

std::size_t ThreadPool::num_threads() const noexcept { return impl_->num_threads; }

void ThreadPool::parallel_for(std::size_t n, std::size_t, TaskRef task) {
  for (std::size_t i = 0; i < n; ++i) task(i);
}

ThreadPool* ThreadPool::current() noexcept { return nullptr; }

ThreadPool& global_pool() {
  static ThreadPool* pool = new ThreadPool(pool_size_from_environment());
  return *pool;
}

ThreadPool& current_pool() {
  ThreadPool* p = ThreadPool::current();
  return p != nullptr ? *p : global_pool();
}

std::size_t current_num_threads() { return current_pool().num_threads(); }

void run_parallel_for(std::size_t n, std::size_t min_len, TaskRef task) { current_pool().parallel_for(n, min_len, task); }

}  // namespace korvex::parallel
