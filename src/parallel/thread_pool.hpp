// A pool of worker threads with one work-stealing queue per worker and one shared queue for threads outside it.
//
// An ordinary class: tests build pools of any size. The process-wide pool is reached through global_pool().
#pragma once

#include <cstddef>
#include <memory>

#include "parallel/parallel_for.hpp"

namespace korvex::parallel {

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

  // The parallel loop of parallel_for.hpp on this pool. May be called from any thread, including this pool's own
  // workers (nested loops).
  void parallel_for(std::size_t n, std::size_t min_len, TaskRef task);

  template <class F>
  void for_each(std::size_t n, std::size_t min_len, F&& task) {
    parallel_for(n, min_len, TaskRef(task));
  }

  // The pool whose worker is the calling thread, or nullptr.
  static ThreadPool* current() noexcept;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

// The process-wide pool, created on the first call with pool_size_from_environment() workers and never destroyed.
// Creation is attempted once per process; if it failed, this and every later call throw InternalFault whose
// message begins with "The global thread pool has not been initialized.". A child process created by fork()
// starts without a pool and creates its own on first use.
ThreadPool& global_pool();

}  // namespace korvex::parallel
