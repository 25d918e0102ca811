// The parallel loop: call a task once for every index of [0, n) on a pool of worker threads, and return only when
// every call has finished.
//
// Splitting rule. The caller's piece [0, n) starts with the split budget S = T (the pool size). A piece of length
// L runs sequentially when L / 2 < min_len (a min_len of 0 counts as 1). Otherwise a moved piece (one running on
// another thread than the one that created it) always splits, with budget max(S / 2, T); a piece that was not
// moved splits while S > 0, with budget S / 2, and runs sequentially once S is 0. A split runs [lo, mid) and
// [mid, hi), mid = lo + L / 2, as a pair: a worker offers the right half in its own queue (idle workers steal it)
// and runs the left half itself; a thread outside the pool hands the whole pair to the pool and blocks until it has
// finished.
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
#include <utility>

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

// Runs task(i) for every i in [0, n) on current_pool(); see the rules at the top of this file.
void run_parallel_for(std::size_t n, std::size_t min_len, TaskRef task);

template <class F>
void parallel_for(std::size_t n, std::size_t min_len, F&& task) {
  run_parallel_for(n, min_len, TaskRef(task));
}

}  // namespace korvex::parallel
