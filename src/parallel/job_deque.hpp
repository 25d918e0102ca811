// The work-stealing deque of one worker, and the job it holds.
//
// Who may call what:
//   - push, pop, pop_if: the owner only (the worker the deque belongs to). It works at the bottom: the newest
//     job, which is the one its own nested loop is about to need back.
//   - steal: any thread. Thieves work at the top: the oldest job, usually the largest piece.
//   - set_owner: the thread that becomes the owner, before its first push.
// Every change of top_ and bottom_ happens under mutex_, held for a few instructions; the deque is not lock-free.
// What the atomics add is only a way to see an empty deque without locking (see size_).
//
// Jobs are intrusive objects on the stack of the loop call that made them; the deque holds raw pointers and never
// owns them. A job's creator does not return before the job has finished, so a pointer never dangles.
#pragma once

#include <atomic>
#include <cstddef>
#include <mutex>
#include <thread>
#include <vector>

namespace korvex::parallel {

struct Worker;

// A unit of offered work. `execute` runs it on `worker` (the worker of the running thread) and must not throw.
struct Job {
  explicit Job(void (*execute_fn)(Job*, Worker*) noexcept) noexcept : execute(execute_fn) {}
  void (*execute)(Job*, Worker*) noexcept;
  Job* next = nullptr;  // link in the pool's shared queue; unused in a deque
};

// A ring buffer of job pointers that grows by doubling (only ever under deep nesting, never per job in steady
// state). The owner is the constructing thread until set_owner() names another.
class JobDeque {
 public:
  JobDeque();

  // Makes the calling thread the owner.
  void set_owner() noexcept { owner_ = std::this_thread::get_id(); }

  // Owner only. False when the buffer could not grow; the caller then keeps the job to itself.
  bool push(Job* job) noexcept;
  // Owner only: takes the bottom (newest) job, or nullptr.
  Job* pop() noexcept;
  // Owner only: takes the bottom job if it is `job`. When it is not there a thief took it.
  bool pop_if(Job* job) noexcept;
  // Any thread: takes the top (oldest) job, or nullptr.
  Job* steal() noexcept;

  // Any thread: the number of jobs at some recent moment (see size_).
  std::size_t size_hint() const noexcept { return size_.load(std::memory_order_relaxed); }

 private:
  void assert_owner() const noexcept;
  void publish_size() noexcept { size_.store(bottom_ - top_, std::memory_order_relaxed); }

  std::mutex mutex_;
  std::vector<Job*> buffer_;  // guarded by mutex_; capacity a power of two
  std::size_t top_ = 0;       // guarded by mutex_; index of the oldest job
  std::size_t bottom_ = 0;    // guarded by mutex_; one past the newest job
  // bottom_ - top_, stored under mutex_ after every change and read without it. Relaxed on both sides, because
  // nothing is published through it: a reader that sees a non-zero size still takes mutex_ before touching the
  // buffer, and the mutex orders the job's contents. A stale zero only makes a thief pass this deque over once;
  // no job is lost by that, because every push is followed by the pool's sequentially consistent work_epoch bump,
  // which a worker re-reads before it sleeps (scheduler.cpp). The owner's own pop may read it unlocked as well: a
  // thief only ever lowers the size, so the owner never sees zero while one of its jobs is still there.
  std::atomic<std::size_t> size_{0};
  std::thread::id owner_;  // read by the owner only
};

}  // namespace korvex::parallel
