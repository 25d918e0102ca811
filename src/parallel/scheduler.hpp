// The scheduler behind ThreadPool: its workers, how they find work and sleep, and how the parallel loop runs on
// them.
//
// Each worker owns a JobDeque (job_deque.hpp) of offered pieces and a Sleeper (latch.hpp). Threads outside the
// pool hand work in through one shared FIFO. The loop follows the splitting rule of piece.hpp: a worker offers the
// right half of a split in its own deque and runs the left half itself; a thread outside the pool hands the whole
// pair to the shared queue and blocks on its latch.
//
// Sleeping. A worker that finds nothing spins for a while, then sleeps. Every push bumps `work_epoch_`; a worker
// about to sleep re-checks the epoch it read before its last search, so a push that raced with its decision is
// never missed (see Worker::sleep and Scheduler::notify_new_work for the pairing). A latch whose waiter is a worker
// wakes exactly that worker.
#pragma once

#include <pthread.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <vector>

#include "parallel/parallel_for.hpp"

namespace korvex::parallel {

class ThreadPool;
struct Worker;
struct Job;

class Scheduler {
 public:
  // Starts `count` workers (at least 1) with 2 MiB stacks, named "korvex-wk-<index>". If one cannot be started,
  // the ones already started are stopped and InternalFault is thrown. `owner` is what ThreadPool::current()
  // reports on these workers.
  Scheduler(ThreadPool* owner, std::size_t count);
  // Stops and joins the workers. Not while a loop runs on this scheduler, and never on one of its own workers
  // (a worker cannot join itself).
  ~Scheduler();

  Scheduler(const Scheduler&) = delete;
  Scheduler& operator=(const Scheduler&) = delete;

  std::size_t num_threads() const noexcept { return num_threads_; }
  ThreadPool* owner() const noexcept { return owner_; }

  // The parallel loop (parallel_for.hpp) on these workers. Any thread, including these workers (nested loops).
  void run_loop(std::size_t n, std::size_t min_len, TaskRef task);

  // The scheduler whose worker is the calling thread, or nullptr.
  static Scheduler* current() noexcept;

  // Any thread, after a job became visible in some queue: bumps the epoch and wakes a sleeping worker.
  void notify_new_work() noexcept;
  // Any thread: appends to the shared queue and notifies.
  void inject(Job* job) noexcept;

 private:
  friend struct Worker;

  Job* pop_injected() noexcept;
  void wake_one() noexcept;
  // Asks every worker to leave and joins the started ones.
  void stop() noexcept;

  ThreadPool* owner_;
  std::size_t num_threads_;
  Worker* workers_ = nullptr;  // num_threads_ entries, constructed before any thread starts
  std::vector<pthread_t> started_;

  alignas(64) std::atomic<std::uint64_t> work_epoch_{0};
  std::atomic<std::size_t> sleepers_{0};  // workers inside Worker::sleep
  std::atomic<bool> terminating_{false};
  std::atomic<std::size_t> wake_cursor_{0};

  alignas(64) std::mutex inject_mutex_;
  Job* inject_head_ = nullptr;  // guarded by inject_mutex_
  Job* inject_tail_ = nullptr;  // guarded by inject_mutex_
  std::atomic<std::size_t> injected_{0};
};

}  // namespace korvex::parallel
