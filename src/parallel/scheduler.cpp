#include "parallel/scheduler.hpp"

#include <sched.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <exception>
#include <string>

#include "common/assert.hpp"
#include "common/fault.hpp"
#include "parallel/job_deque.hpp"
#include "parallel/latch.hpp"
#include "parallel/piece.hpp"

namespace korvex::parallel {

namespace {

constexpr std::size_t kWorkerStackBytes = 2097152;
// Idle rounds before sleeping: the first ones only pause, the later ones yield the CPU.
constexpr unsigned kPauseRounds = 16;
constexpr unsigned kIdleRounds = 48;

inline void cpu_relax() noexcept {
#if defined(__x86_64__) || defined(__i386__)
  __builtin_ia32_pause();
#elif defined(__aarch64__)
  asm volatile("yield");
#endif
}

thread_local Worker* t_worker = nullptr;

}  // namespace

// ----- workers --------------------------------------------------------------------------------------------------

// One worker thread's state. Other threads touch only `deque` (steal) and `sleeper` (wake); everything else, and
// every member function, belongs to the worker's own thread.
struct alignas(64) Worker {
  Scheduler* scheduler = nullptr;
  std::size_t index = 0;
  std::uint64_t rng = 0;  // victim choice; touched by this worker only
  JobDeque deque;         // owned by this worker's thread from worker_main on
  Sleeper sleeper;

  // Runs queued work until `latch` is set, or until the scheduler terminates when `latch` is null (the worker's
  // main loop).
  void wait_until(const Latch* latch) noexcept;
  // Its own deque's newest job, else one stolen from another worker, else the oldest of the shared queue.
  Job* find_work() noexcept;
  Job* steal_from_others() noexcept;
  void sleep(std::uint64_t epoch_seen, const Latch* latch) noexcept;
};

Job* Worker::find_work() noexcept {
  if (Job* job = deque.pop()) return job;
  if (Job* job = steal_from_others()) return job;
  return scheduler->pop_injected();
}

Job* Worker::steal_from_others() noexcept {
  const std::size_t count = scheduler->num_threads_;
  if (count < 2) return nullptr;
  rng ^= rng << 13;
  rng ^= rng >> 7;
  rng ^= rng << 17;
  const std::size_t start = static_cast<std::size_t>(rng % count);
  for (std::size_t k = 0; k < count; ++k) {
    std::size_t victim = start + k;
    if (victim >= count) victim -= count;
    if (victim == index) continue;
    if (Job* job = scheduler->workers_[victim].deque.steal()) return job;
  }
  return nullptr;
}

void Worker::wait_until(const Latch* latch) noexcept {
  KORVEX_ASSERT(t_worker == this, "a worker waits only on its own thread");
  unsigned idle = 0;
  std::uint64_t epoch = 0;
  while (true) {
    if (latch != nullptr ? latch->probe() : scheduler->terminating_.load(std::memory_order_acquire)) return;
    if (Job* job = find_work()) {
      job->execute(job, this);
      idle = 0;
      continue;
    }
    if (idle < kIdleRounds) {
      if (idle < kPauseRounds) {
        for (unsigned i = 0; i < 32; ++i) cpu_relax();
      } else {
        sched_yield();
      }
      ++idle;
      // Read before the last search: any push after this point changes the epoch and stops the sleep.
      if (idle == kIdleRounds) epoch = scheduler->work_epoch_.load(std::memory_order_seq_cst);
      continue;
    }
    sleep(epoch, latch);
    idle = kPauseRounds;
  }
}

// Pairing with notify_new_work(): this side bumps `sleepers_` and stores the sleeper's hint before reading the
// epoch; the pusher bumps the epoch before reading `sleepers_` and the hints (all sequentially consistent). So
// either this side sees the new epoch and stays awake, or the pusher sees this worker and wakes it under the
// sleeper's mutex. The same pairing holds with Latch::set() (flag stored, then hint read) for the latch this worker
// waits on, and with stop() (terminating stored, then every worker woken).
void Worker::sleep(std::uint64_t epoch_seen, const Latch* latch) noexcept {
  Scheduler& s = *scheduler;
  s.sleepers_.fetch_add(1, std::memory_order_seq_cst);
  sleeper.sleep([&] {
    const bool finished =
        latch != nullptr ? latch->probe_seq_cst() : s.terminating_.load(std::memory_order_seq_cst);
    return finished || s.work_epoch_.load(std::memory_order_seq_cst) != epoch_seen;
  });
  s.sleepers_.fetch_sub(1, std::memory_order_relaxed);
}

namespace {

extern "C" void* worker_main(void* arg) {
  auto* worker = static_cast<Worker*>(arg);
  t_worker = worker;
  worker->deque.set_owner();
  worker->wait_until(nullptr);
  t_worker = nullptr;
  return nullptr;
}

// In the child of a fork() the thread that forked is the only one; if it was a worker of some pool it is a plain
// thread now (that pool's other workers do not exist in the child).
void forget_worker_in_child() noexcept { t_worker = nullptr; }

void register_fork_handler() {
  static const bool registered = [] {
    pthread_atfork(nullptr, nullptr, forget_worker_in_child);
    return true;
  }();
  (void)registered;
}

}  // namespace

// ----- the scheduler --------------------------------------------------------------------------------------------

Scheduler::Scheduler(ThreadPool* owner, std::size_t count)
    : owner_(owner), num_threads_(std::max<std::size_t>(count, 1)) {
  register_fork_handler();
  started_.reserve(num_threads_);
  workers_ = new Worker[num_threads_];
  for (std::size_t i = 0; i < num_threads_; ++i) {
    workers_[i].scheduler = this;
    workers_[i].index = i;
    workers_[i].rng = 0x9E3779B97F4A7C15ull * (i + 1) | 1;
  }

  pthread_attr_t attr;
  int rc = pthread_attr_init(&attr);
  if (rc == 0) rc = pthread_attr_setstacksize(&attr, kWorkerStackBytes);
  std::size_t failed_at = 0;
  if (rc == 0) {
    for (; failed_at < num_threads_; ++failed_at) {
      pthread_t thread;
      rc = pthread_create(&thread, &attr, worker_main, &workers_[failed_at]);
      if (rc != 0) break;
      started_.push_back(thread);
      // Named by the creating thread, so the name is there before the pool is used. The kernel takes at most 15
      // characters: "korvex-wk-" and up to five digits (the pool has at most 65535 workers) fit.
      char name[32];
      std::snprintf(name, sizeof name, "korvex-wk-%zu", failed_at % 100000);
      pthread_setname_np(thread, name);
    }
    pthread_attr_destroy(&attr);
  }
  if (rc != 0) {
    stop();
    delete[] workers_;
    workers_ = nullptr;
    throw InternalFault("could not start worker thread " + std::to_string(failed_at) + " of " +
                        std::to_string(num_threads_) + ": " + std::strerror(rc));
  }
}

Scheduler::~Scheduler() {
  KORVEX_ASSERT(t_worker == nullptr || t_worker->scheduler != this, "a pool is destroyed from one of its workers");
  stop();
  delete[] workers_;
}

void Scheduler::stop() noexcept {
  if (workers_ == nullptr) return;
  terminating_.store(true, std::memory_order_seq_cst);
  for (std::size_t i = 0; i < num_threads_; ++i) workers_[i].sleeper.wake();
  for (pthread_t thread : started_) pthread_join(thread, nullptr);
  started_.clear();
}

Scheduler* Scheduler::current() noexcept { return t_worker != nullptr ? t_worker->scheduler : nullptr; }

void Scheduler::notify_new_work() noexcept {
  work_epoch_.fetch_add(1, std::memory_order_seq_cst);
  if (sleepers_.load(std::memory_order_seq_cst) != 0) wake_one();
}

void Scheduler::wake_one() noexcept {
  const std::size_t start = wake_cursor_.fetch_add(1, std::memory_order_relaxed) % num_threads_;
  for (std::size_t k = 0; k < num_threads_; ++k) {
    std::size_t i = start + k;
    if (i >= num_threads_) i -= num_threads_;
    Sleeper& sleeper = workers_[i].sleeper;
    if (sleeper.maybe_asleep() && sleeper.wake()) return;
  }
}

void Scheduler::inject(Job* job) noexcept {
  {
    std::lock_guard lock(inject_mutex_);
    job->next = nullptr;
    if (inject_tail_ != nullptr) {
      inject_tail_->next = job;
    } else {
      inject_head_ = job;
    }
    inject_tail_ = job;
    injected_.fetch_add(1, std::memory_order_relaxed);
  }
  notify_new_work();
}

// The count is a hint read without the mutex, relaxed for the reasons given at JobDeque::size_: the mutex orders
// the job itself, and a missed job is caught by the epoch check before sleeping.
Job* Scheduler::pop_injected() noexcept {
  if (injected_.load(std::memory_order_relaxed) == 0) return nullptr;
  std::lock_guard lock(inject_mutex_);
  Job* job = inject_head_;
  if (job == nullptr) return nullptr;
  inject_head_ = job->next;
  if (inject_head_ == nullptr) inject_tail_ = nullptr;
  injected_.fetch_sub(1, std::memory_order_relaxed);
  return job;
}

// ----- the loop -------------------------------------------------------------------------------------------------

namespace {

// What every piece of one loop call shares; lives on the caller's stack.
struct Loop {
  TaskRef task;
  SplitRule rule;
  Scheduler* scheduler;
};

std::exception_ptr process(const Loop& loop, const Piece& piece, bool moved, Worker* worker) noexcept;

// Calls the task for lo, lo + 1, ..., hi - 1; the first fault ends the piece.
std::exception_ptr run_sequential(const Loop& loop, const Piece& piece) noexcept {
  try {
    for (std::size_t i = piece.lo; i < piece.hi; ++i) loop.task(i);
  } catch (...) {
    return std::current_exception();
  }
  return nullptr;
}

// The right half of a split made on a worker, offered in that worker's deque.
struct RightPiece : Job {
  RightPiece(const Loop& l, const Piece& p, Worker* creator_) noexcept
      : Job(&RightPiece::run), loop(l), piece(p), creator(creator_), latch(&creator_->sleeper) {}

  static void run(Job* job, Worker* worker) noexcept {
    auto* self = static_cast<RightPiece*>(job);
    self->fault = process(self->loop, self->piece, worker != self->creator, worker);
    self->latch.set();
  }

  const Loop& loop;
  Piece piece;
  Worker* creator;
  std::exception_ptr fault;  // written by the runner before latch.set()
  Latch latch;
};

// Runs the two halves as a pair on `worker`. Returns the left fault if any, else the right fault, and only once
// both halves have finished.
std::exception_ptr join_on_worker(const Loop& loop, const Halves& halves, bool left_moved, Worker* worker) noexcept {
  RightPiece right(loop, halves.right, worker);
  if (!worker->deque.push(&right)) {
    std::exception_ptr left_fault = process(loop, halves.left, left_moved, worker);
    std::exception_ptr right_fault = process(loop, halves.right, false, worker);
    return left_fault ? left_fault : right_fault;
  }
  loop.scheduler->notify_new_work();
  std::exception_ptr left_fault = process(loop, halves.left, left_moved, worker);
  std::exception_ptr right_fault;
  if (worker->deque.pop_if(&right)) {
    right_fault = process(loop, halves.right, false, worker);
  } else {
    // Taken by a thief (or run by this worker while it helped in a nested wait): help until it is done.
    worker->wait_until(&right.latch);
    right_fault = std::move(right.fault);
  }
  return left_fault ? left_fault : right_fault;
}

// A pair handed in by a thread that is not a worker of this scheduler; the worker that takes it runs the left half
// as moved.
struct InjectedPair : Job {
  template <class Waiter>
  InjectedPair(const Loop& l, const Halves& h, Waiter* waiter) noexcept
      : Job(&InjectedPair::run), loop(l), halves(h), latch(waiter) {}

  static void run(Job* job, Worker* worker) noexcept {
    auto* self = static_cast<InjectedPair*>(job);
    self->fault = join_on_worker(self->loop, self->halves, true, worker);
    self->latch.set();
  }

  const Loop& loop;
  Halves halves;
  std::exception_ptr fault;
  Latch latch;
};

thread_local ThreadWaiter t_thread_waiter;

std::exception_ptr join_from_outside(const Loop& loop, const Halves& halves) noexcept {
  if (Worker* foreign = t_worker; foreign != nullptr) {
    // A worker of another scheduler: it keeps serving its own while it waits.
    InjectedPair pair(loop, halves, &foreign->sleeper);
    loop.scheduler->inject(&pair);
    foreign->wait_until(&pair.latch);
    return std::move(pair.fault);
  }
  InjectedPair pair(loop, halves, &t_thread_waiter);
  loop.scheduler->inject(&pair);
  pair.latch.wait_blocking();
  return std::move(pair.fault);
}

// Processes `piece` on the calling thread; `worker` is the calling thread's worker in loop.scheduler, or null for
// any other thread.
std::exception_ptr process(const Loop& loop, const Piece& piece, bool moved, Worker* worker) noexcept {
  const std::optional<Halves> halves = piece.split(loop.rule, moved);
  if (!halves) return run_sequential(loop, piece);
  if (worker != nullptr) return join_on_worker(loop, *halves, false, worker);
  return join_from_outside(loop, *halves);
}

}  // namespace

void Scheduler::run_loop(std::size_t n, std::size_t min_len, TaskRef task) {
  Worker* worker = t_worker;
  if (worker != nullptr && worker->scheduler != this) worker = nullptr;
  const Loop loop{task, SplitRule(num_threads_, min_len), this};
  if (std::exception_ptr fault = process(loop, Piece::whole(n, loop.rule), false, worker)) {
    std::rethrow_exception(fault);
  }
}

}  // namespace korvex::parallel
