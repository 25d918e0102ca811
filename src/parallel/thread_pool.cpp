#include "parallel/thread_pool.hpp"

#include "parallel/scheduler.hpp"

namespace korvex::parallel {

ThreadPool::ThreadPool(std::size_t num_threads) : scheduler_(std::make_unique<Scheduler>(this, num_threads)) {}

ThreadPool::~ThreadPool() = default;

std::size_t ThreadPool::num_threads() const noexcept { return scheduler_->num_threads(); }

ThreadPool* ThreadPool::current() noexcept {
  const Scheduler* scheduler = Scheduler::current();
  return scheduler != nullptr ? scheduler->owner() : nullptr;
}

namespace detail {

void run_loop(ThreadPool& pool, std::size_t n, std::size_t min_len, TaskRef task) {
  pool.scheduler_->run_loop(n, min_len, task);
}

}  // namespace detail

}  // namespace korvex::parallel
