// The parallel loop: call a task once for every index of [0, n) on a pool of worker threads, and return only when
// every call has finished.
//
//   parallel_for(n, min_len, task)        on current_pool(): the calling worker's pool, else the process-wide one
//   parallel_for(pool, n, min_len, task)  on the given pool
//
// Splitting. Pieces are cut by the rule of piece.hpp, starting from [0, n) with a split budget of the pool size. A
// split runs its halves as a pair: a worker offers the right half in its own queue (idle workers steal it) and runs
// the left half itself; a thread outside the pool hands the whole pair to the pool and blocks until it has
// finished, doing no task work of its own.
//
// Faults. A task that throws ends its own piece (the rest of that piece is not run); every other piece still runs
// to its end. When all pieces have finished the loop rethrows the fault of the lowest failing index, which is the
// one a sequential loop would have met first.
//
// Threads. Any thread may call a loop, and a task may itself run a loop on the same pool (nested loops): a worker
// waiting for a stolen piece keeps running queued work instead of blocking.
#pragma once

#include <cstddef>
#include <type_traits>

namespace korvex::parallel {

// Non-owning reference to a callable `void(std::size_t)`; the callable must outlive the loop that uses it.
class TaskRef {
 public:
  template <class F, class = std::enable_if_t<!std::is_same_v<std::decay_t<F>, TaskRef>>>
  TaskRef(F& f) noexcept  // NOLINT(google-explicit-constructor)
      : object_(static_cast<void*>(&f)), call_([](void* object, std::size_t i) { (*static_cast<F*>(object))(i); }) {}

  void operator()(std::size_t i) const { call_(object_, i); }

 private:
  void* object_;
  void (*call_)(void*, std::size_t);
};

class ThreadPool;

// The pool that owns the calling thread when it is a worker, else the process-wide pool (created on first use).
// Throws InternalFault ("The global thread pool has not been initialized. ...") when the process-wide pool could
// not be created.
ThreadPool& current_pool();

// Number of worker threads of current_pool().
std::size_t current_num_threads();

namespace detail {
// The loop behind both forms of parallel_for.
void run_loop(ThreadPool& pool, std::size_t n, std::size_t min_len, TaskRef task);
}  // namespace detail

template <class F>
void parallel_for(ThreadPool& pool, std::size_t n, std::size_t min_len, F&& task) {
  detail::run_loop(pool, n, min_len, TaskRef(task));
}

template <class F>
void parallel_for(std::size_t n, std::size_t min_len, F&& task) {
  detail::run_loop(current_pool(), n, min_len, TaskRef(task));
}

// Whether the calling thread is a worker of some pool.
bool on_pool_worker() noexcept;

// Runs job() once on a worker of the current pool and returns when it has finished, rethrowing what it threw. A
// thread outside the pool hands it over and blocks until then; a worker simply calls it. A thread with a sequence of
// loops to run hands the whole sequence over this way: it blocks and wakes once instead of once per loop, it does
// not compete for the cores with workers that are still spinning after a loop, and the loops start from a worker,
// where the other workers join them sooner.
template <class F>
void run_on_pool(F&& job) {
  if (on_pool_worker()) {
    job();
    return;
  }
  // Two indices, because a thread outside the pool hands a split piece to a worker while a piece of one index
  // would run on the thread itself; the second index does nothing.
  parallel_for(2, 1, [&](std::size_t i) {
    if (i == 0) job();
  });
}

}  // namespace korvex::parallel
