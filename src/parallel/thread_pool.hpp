// A pool of worker threads that runs the parallel loop (parallel_for.hpp).
//
// An ordinary class: tests build pools of any size. The process-wide pool is reached through global_pool()
// (global_pool.hpp); the loop on a given pool is parallel_for(pool, n, min_len, task).
#pragma once

#include <cstddef>
#include <memory>

#include "parallel/parallel_for.hpp"

namespace korvex::parallel {

class Scheduler;

class ThreadPool {
 public:
  // Starts `num_threads` workers (at least 1) with 2 MiB stacks. If a worker cannot be started, the ones already
  // started are stopped and InternalFault is thrown.
  explicit ThreadPool(std::size_t num_threads);
  // Stops and joins the workers. Must not run while a loop is in progress on this pool, nor on one of its workers.
  ~ThreadPool();

  ThreadPool(const ThreadPool&) = delete;
  ThreadPool& operator=(const ThreadPool&) = delete;

  std::size_t num_threads() const noexcept;

  // The pool whose worker is the calling thread, or nullptr.
  static ThreadPool* current() noexcept;

 private:
  friend void detail::run_loop(ThreadPool& pool, std::size_t n, std::size_t min_len, TaskRef task);

  std::unique_ptr<Scheduler> scheduler_;
};

}  // namespace korvex::parallel
