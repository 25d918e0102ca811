// Worker pool and parallel loop.
//
// Structure. Each worker owns a deque of offered jobs: the owner pushes and pops at the bottom, thieves take from
// the top, all under the deque's mutex (held for a few instructions; an atomic size lets thieves skip empty deques
// without locking). Threads outside the pool hand work in through one shared FIFO. Jobs are intrusive objects on
// the stack of the loop call that made them; the queues hold raw pointers and never own them. A job's creator does
// not return before the job has finished, so the pointer never dangles.
//
// Sleeping. A worker that finds nothing spins for a while, then sleeps on its own condition variable. Every push
// bumps `work_epoch`; a worker about to sleep re-checks the epoch it read before its last search, so a push that
// raced with its decision is never missed (see Worker::sleep and Pool::notify_new_work for the pairing). A latch
// whose waiter is a worker wakes exactly that worker.
#include "parallel/thread_pool.hpp"

#include <pthread.h>
#include <sched.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <exception>
#include <mutex>
#include <new>
#include <string>
#include <vector>

#include "common/fault.hpp"
#include "parallel/pool_size.hpp"

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

struct Worker;

// A unit of offered work. `execute` runs it on `worker` and must not throw.
struct Job {
  explicit Job(void (*execute_fn)(Job*, Worker*) noexcept) noexcept : execute(execute_fn) {}
  void (*execute)(Job*, Worker*) noexcept;
  Job* next = nullptr;  // link in the injection queue; unused in a deque
};

// Latch of a thread that is not a worker: a mutex and condition variable private to that thread, reused by every
// loop it calls.
struct ThreadLatch {
  std::mutex mutex;
  std::condition_variable cv;
};

thread_local Worker* t_worker = nullptr;

// Completion flag of a job that another thread may run. Waited on either by a worker (which keeps helping and is
// woken through its own sleep state) or by a plain thread (blocking on its ThreadLatch). After set() stores the
// flag the waiter may return and destroy the latch, so set() reads everything it needs before that store.
class Latch {
 public:
  explicit Latch(Worker* waiter) noexcept : worker_(waiter) {}
  explicit Latch(ThreadLatch* waiter) noexcept : thread_(waiter) {}

  bool probe() const noexcept { return done_.load(std::memory_order_acquire); }
  bool probe_seq_cst() const noexcept { return done_.load(std::memory_order_seq_cst); }
  void set() noexcept;
  // Blocks a plain thread until set(); only for latches built with a ThreadLatch.
  void wait_blocking() noexcept;

 private:
  std::atomic<bool> done_{false};
  Worker* worker_ = nullptr;
  ThreadLatch* thread_ = nullptr;
};

// The pool's shared state; ThreadPool::Impl is this under its public name.
struct Pool {
  Pool(ThreadPool* owner_pool, std::size_t count);
  ~Pool();

  // Called by any thread after a job became visible in some queue.
  void notify_new_work() noexcept;
  void wake_one() noexcept;
  // Appends to the shared queue; any thread.
  void inject(Job* job) noexcept;
  Job* pop_injected() noexcept;
  // Asks every worker to leave and joins the started ones. Not from a worker of this pool.
  void stop() noexcept;

  ThreadPool* owner;
  std::size_t num_threads;
  Worker* workers = nullptr;  // num_threads entries, constructed before any thread starts
  std::vector<pthread_t> started;

  alignas(64) std::atomic<std::uint64_t> work_epoch{0};
  std::atomic<std::size_t> sleepers{0};
  std::atomic<bool> terminating{false};
  std::atomic<std::size_t> wake_cursor{0};

  alignas(64) std::mutex inject_mutex;
  Job* inject_head = nullptr;  // guarded by inject_mutex
  Job* inject_tail = nullptr;  // guarded by inject_mutex
  std::atomic<std::size_t> injected{0};
};

// Owner side at the bottom, thieves at the top; a ring buffer that grows by doubling (only ever under deep
// nesting, never per job in steady state).
class JobDeque {
 public:
  JobDeque() : buffer_(64) {}

  // Owner only. False when the buffer could not grow; the caller then keeps the job to itself.
  bool push(Job* job) noexcept {
    std::lock_guard lock(mutex_);
    if (bottom_ - top_ == buffer_.size()) {
      try {
        std::vector<Job*> bigger(buffer_.size() * 2);
        for (std::size_t i = top_; i != bottom_; ++i) {
          bigger[i & (bigger.size() - 1)] = buffer_[i & (buffer_.size() - 1)];
        }
        buffer_.swap(bigger);
      } catch (...) {
        return false;
      }
    }
    buffer_[bottom_ & (buffer_.size() - 1)] = job;
    ++bottom_;
    size_.store(bottom_ - top_, std::memory_order_relaxed);
    return true;
  }

  // Owner only: takes the bottom job.
  Job* pop() noexcept {
    if (size_.load(std::memory_order_relaxed) == 0) return nullptr;
    std::lock_guard lock(mutex_);
    if (bottom_ == top_) return nullptr;
    --bottom_;
    size_.store(bottom_ - top_, std::memory_order_relaxed);
    return buffer_[bottom_ & (buffer_.size() - 1)];
  }

  // Owner only: takes the bottom job if it is `job`. When it is not there a thief took it.
  bool pop_if(Job* job) noexcept {
    std::lock_guard lock(mutex_);
    if (bottom_ == top_ || buffer_[(bottom_ - 1) & (buffer_.size() - 1)] != job) return false;
    --bottom_;
    size_.store(bottom_ - top_, std::memory_order_relaxed);
    return true;
  }

  // Any thread: takes the top (oldest, usually largest) job.
  Job* steal() noexcept {
    if (size_.load(std::memory_order_relaxed) == 0) return nullptr;
    std::lock_guard lock(mutex_);
    if (bottom_ == top_) return nullptr;
    Job* job = buffer_[top_ & (buffer_.size() - 1)];
    ++top_;
    size_.store(bottom_ - top_, std::memory_order_relaxed);
    return job;
  }

 private:
  std::mutex mutex_;
  std::vector<Job*> buffer_;  // capacity is a power of two
  std::size_t top_ = 0;       // guarded by mutex_
  std::size_t bottom_ = 0;    // guarded by mutex_
  // Hint for lock-free emptiness checks; exact under mutex_. A stale value only costs a lock or a retry: every
  // push is followed by a work_epoch bump that sleeping workers re-check.
  std::atomic<std::size_t> size_{0};
};

struct alignas(64) Worker {
  Pool* pool = nullptr;
  std::size_t index = 0;
  std::uint64_t rng = 0;  // victim choice; touched by this worker only
  JobDeque deque;

  // Sleep state. `sleeping` and `wake_pending` are guarded by sleep_mutex; `sleep_hint` mirrors "inside the
  // sleep protocol" for wakers that check without locking.
  std::mutex sleep_mutex;
  std::condition_variable sleep_cv;
  bool sleeping = false;
  bool wake_pending = false;
  std::atomic<bool> sleep_hint{false};

  Job* find_work() noexcept;
  Job* steal_from_others() noexcept;
  // Runs queued work until `latch` is set, or until the pool terminates when `latch` is null (the main loop).
  // Only the worker's own thread calls it.
  void wait_until(const Latch* latch) noexcept;
  void sleep(std::uint64_t epoch_seen, const Latch* latch) noexcept;
  // Any thread: wakes this worker if it sleeps. Returns false when it was not asleep or already being woken.
  // The sleeper holds sleep_mutex from its last checks until it waits, so a waker never sees it in between.
  bool wake() noexcept;
};

Job* Worker::find_work() noexcept {
  if (Job* job = deque.pop()) return job;
  if (Job* job = steal_from_others()) return job;
  return pool->pop_injected();
}

Job* Worker::steal_from_others() noexcept {
  const std::size_t count = pool->num_threads;
  if (count < 2) return nullptr;
  rng ^= rng << 13;
  rng ^= rng >> 7;
  rng ^= rng << 17;
  const std::size_t start = static_cast<std::size_t>(rng % count);
  for (std::size_t k = 0; k < count; ++k) {
    std::size_t victim = start + k;
    if (victim >= count) victim -= count;
    if (victim == index) continue;
    if (Job* job = pool->workers[victim].deque.steal()) return job;
  }
  return nullptr;
}

void Worker::wait_until(const Latch* latch) noexcept {
  unsigned idle = 0;
  std::uint64_t epoch = 0;
  while (true) {
    if (latch != nullptr ? latch->probe() : pool->terminating.load(std::memory_order_acquire)) return;
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
      if (idle == kIdleRounds) epoch = pool->work_epoch.load(std::memory_order_seq_cst);
      continue;
    }
    sleep(epoch, latch);
    idle = kPauseRounds;
  }
}

// Pairing with notify_new_work(): this side bumps `sleepers` and sets `sleep_hint` before reading the epoch; the
// pusher bumps the epoch before reading `sleepers` and the hints (all sequentially consistent). So either this
// side sees the new epoch and stays awake, or the pusher sees this worker and wakes it under sleep_mutex. The
// same pairing holds with Latch::set() (flag stored, then hint read) for the latch this worker waits on.
void Worker::sleep(std::uint64_t epoch_seen, const Latch* latch) noexcept {
  std::unique_lock lock(sleep_mutex);
  pool->sleepers.fetch_add(1, std::memory_order_seq_cst);
  sleep_hint.store(true, std::memory_order_seq_cst);
  const bool finished =
      latch != nullptr ? latch->probe_seq_cst() : pool->terminating.load(std::memory_order_seq_cst);
  const bool stay_awake = wake_pending || finished || pool->work_epoch.load(std::memory_order_seq_cst) != epoch_seen;
  if (!stay_awake) {
    sleeping = true;
    while (!wake_pending) sleep_cv.wait(lock);
    sleeping = false;
  }
  wake_pending = false;
  sleep_hint.store(false, std::memory_order_relaxed);
  pool->sleepers.fetch_sub(1, std::memory_order_relaxed);
}

bool Worker::wake() noexcept {
  std::lock_guard lock(sleep_mutex);
  if (!sleeping || wake_pending) return false;
  wake_pending = true;
  sleep_cv.notify_one();
  return true;
}

}  // namespace

void Latch::set() noexcept {
  if (worker_ != nullptr) {
    Worker* waiter = worker_;
    done_.store(true, std::memory_order_seq_cst);
    // From here on *this may be gone.
    if (waiter->sleep_hint.load(std::memory_order_seq_cst)) waiter->wake();
  } else {
    ThreadLatch* waiter = thread_;
    // The flag is stored and the waiter notified under its mutex: the waiter reads the flag only under the same
    // mutex, so it cannot return (and end its thread) while this still touches the mutex or condition variable.
    std::lock_guard lock(waiter->mutex);
    done_.store(true, std::memory_order_release);
    waiter->cv.notify_one();
  }
}

void Latch::wait_blocking() noexcept {
  std::unique_lock lock(thread_->mutex);
  while (!done_.load(std::memory_order_acquire)) thread_->cv.wait(lock);
}

// ----- pool -----------------------------------------------------------------------------------------------------

namespace {

extern "C" void* worker_main(void* arg) {
  auto* worker = static_cast<Worker*>(arg);
  t_worker = worker;
  worker->wait_until(nullptr);
  t_worker = nullptr;
  return nullptr;
}

void forget_pools_in_child() noexcept;

void register_fork_handler() {
  static const bool registered = [] {
    pthread_atfork(nullptr, nullptr, forget_pools_in_child);
    return true;
  }();
  (void)registered;
}

}  // namespace

Pool::Pool(ThreadPool* owner_pool, std::size_t count)
    : owner(owner_pool), num_threads(std::max<std::size_t>(count, 1)) {
  started.reserve(num_threads);
  workers = new Worker[num_threads];
  for (std::size_t i = 0; i < num_threads; ++i) {
    workers[i].pool = this;
    workers[i].index = i;
    workers[i].rng = 0x9E3779B97F4A7C15ull * (i + 1) | 1;
  }

  pthread_attr_t attr;
  int rc = pthread_attr_init(&attr);
  if (rc == 0) rc = pthread_attr_setstacksize(&attr, kWorkerStackBytes);
  std::size_t failed_at = 0;
  if (rc == 0) {
    for (; failed_at < num_threads; ++failed_at) {
      pthread_t thread;
      rc = pthread_create(&thread, &attr, worker_main, &workers[failed_at]);
      if (rc != 0) break;
      started.push_back(thread);
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
    delete[] workers;
    workers = nullptr;
    throw InternalFault("could not start worker thread " + std::to_string(failed_at) + " of " +
                        std::to_string(num_threads) + ": " + std::strerror(rc));
  }
}

Pool::~Pool() {
  stop();
  delete[] workers;
}

void Pool::stop() noexcept {
  if (workers == nullptr) return;
  terminating.store(true, std::memory_order_seq_cst);
  for (std::size_t i = 0; i < num_threads; ++i) workers[i].wake();
  for (pthread_t thread : started) pthread_join(thread, nullptr);
  started.clear();
}

void Pool::notify_new_work() noexcept {
  work_epoch.fetch_add(1, std::memory_order_seq_cst);
  if (sleepers.load(std::memory_order_seq_cst) != 0) wake_one();
}

void Pool::wake_one() noexcept {
  const std::size_t start = wake_cursor.fetch_add(1, std::memory_order_relaxed) % num_threads;
  for (std::size_t k = 0; k < num_threads; ++k) {
    std::size_t i = start + k;
    if (i >= num_threads) i -= num_threads;
    Worker& worker = workers[i];
    if (worker.sleep_hint.load(std::memory_order_seq_cst) && worker.wake()) return;
  }
}

void Pool::inject(Job* job) noexcept {
  {
    std::lock_guard lock(inject_mutex);
    job->next = nullptr;
    if (inject_tail != nullptr) {
      inject_tail->next = job;
    } else {
      inject_head = job;
    }
    inject_tail = job;
    injected.fetch_add(1, std::memory_order_relaxed);
  }
  notify_new_work();
}

Job* Pool::pop_injected() noexcept {
  if (injected.load(std::memory_order_relaxed) == 0) return nullptr;
  std::lock_guard lock(inject_mutex);
  Job* job = inject_head;
  if (job == nullptr) return nullptr;
  inject_head = job->next;
  if (inject_head == nullptr) inject_tail = nullptr;
  injected.fetch_sub(1, std::memory_order_relaxed);
  return job;
}

struct ThreadPool::Impl : Pool {
  using Pool::Pool;
};

// ----- the loop -------------------------------------------------------------------------------------------------

namespace {

// What every piece of one loop call shares; lives on the caller's stack.
struct Loop {
  TaskRef task;
  std::size_t min_len;  // at least 1
  std::size_t num_threads;
  Pool* pool;
};

std::exception_ptr process(const Loop& loop, std::size_t lo, std::size_t hi, std::size_t budget, bool moved,
                           Worker* worker) noexcept;

std::exception_ptr run_sequential(const Loop& loop, std::size_t lo, std::size_t hi) noexcept {
  try {
    for (std::size_t i = lo; i < hi; ++i) loop.task(i);
  } catch (...) {
    return std::current_exception();
  }
  return nullptr;
}

// The right half of a split made on a worker, offered in that worker's deque.
struct RightPiece : Job {
  RightPiece(const Loop& l, std::size_t lo_, std::size_t hi_, std::size_t budget_, Worker* creator_) noexcept
      : Job(&RightPiece::run), loop(l), lo(lo_), hi(hi_), budget(budget_), creator(creator_), latch(creator_) {}

  static void run(Job* job, Worker* worker) noexcept {
    auto* self = static_cast<RightPiece*>(job);
    self->fault = process(self->loop, self->lo, self->hi, self->budget, worker != self->creator, worker);
    self->latch.set();
  }

  const Loop& loop;
  std::size_t lo, hi, budget;
  Worker* creator;
  std::exception_ptr fault;  // written by the runner before latch.set()
  Latch latch;
};

// Runs [lo, mid) and [mid, hi) as a pair on `worker`. Returns the left fault if any, else the right fault, and
// only once both halves have finished.
std::exception_ptr join_on_worker(const Loop& loop, std::size_t lo, std::size_t mid, std::size_t hi,
                                  std::size_t budget, bool left_moved, Worker* worker) noexcept {
  RightPiece right(loop, mid, hi, budget, worker);
  if (!worker->deque.push(&right)) {
    std::exception_ptr left_fault = process(loop, lo, mid, budget, left_moved, worker);
    std::exception_ptr right_fault = process(loop, mid, hi, budget, false, worker);
    return left_fault ? left_fault : right_fault;
  }
  loop.pool->notify_new_work();
  std::exception_ptr left_fault = process(loop, lo, mid, budget, left_moved, worker);
  std::exception_ptr right_fault;
  if (worker->deque.pop_if(&right)) {
    right_fault = process(loop, mid, hi, budget, false, worker);
  } else {
    // Taken by a thief (or run by this worker while it helped in a nested wait): help until it is done.
    worker->wait_until(&right.latch);
    right_fault = std::move(right.fault);
  }
  return left_fault ? left_fault : right_fault;
}

// A pair handed in by a thread that is not a worker of this pool; the worker that takes it runs the left half
// as moved.
struct InjectedPair : Job {
  template <class Waiter>
  InjectedPair(const Loop& l, std::size_t lo_, std::size_t mid_, std::size_t hi_, std::size_t budget_,
               Waiter* waiter) noexcept
      : Job(&InjectedPair::run), loop(l), lo(lo_), mid(mid_), hi(hi_), budget(budget_), latch(waiter) {}

  static void run(Job* job, Worker* worker) noexcept {
    auto* self = static_cast<InjectedPair*>(job);
    self->fault = join_on_worker(self->loop, self->lo, self->mid, self->hi, self->budget, true, worker);
    self->latch.set();
  }

  const Loop& loop;
  std::size_t lo, mid, hi, budget;
  std::exception_ptr fault;
  Latch latch;
};

thread_local ThreadLatch t_thread_latch;

std::exception_ptr join_from_outside(const Loop& loop, std::size_t lo, std::size_t mid, std::size_t hi,
                                     std::size_t budget) noexcept {
  if (Worker* foreign = t_worker; foreign != nullptr) {
    // A worker of another pool: it keeps serving its own pool while it waits.
    InjectedPair pair(loop, lo, mid, hi, budget, foreign);
    loop.pool->inject(&pair);
    foreign->wait_until(&pair.latch);
    return std::move(pair.fault);
  }
  InjectedPair pair(loop, lo, mid, hi, budget, &t_thread_latch);
  loop.pool->inject(&pair);
  pair.latch.wait_blocking();
  return std::move(pair.fault);
}

// Processes the piece [lo, hi) with split budget `budget` on the calling thread; `worker` is the calling thread's
// worker in loop.pool, or null for any other thread.
std::exception_ptr process(const Loop& loop, std::size_t lo, std::size_t hi, std::size_t budget, bool moved,
                           Worker* worker) noexcept {
  const std::size_t len = hi - lo;
  if (len / 2 < loop.min_len) return run_sequential(loop, lo, hi);
  if (moved) {
    budget = std::max(budget / 2, loop.num_threads);
  } else if (budget > 0) {
    budget /= 2;
  } else {
    return run_sequential(loop, lo, hi);
  }
  const std::size_t mid = lo + len / 2;
  if (worker != nullptr) return join_on_worker(loop, lo, mid, hi, budget, false, worker);
  return join_from_outside(loop, lo, mid, hi, budget);
}

}  // namespace

// ----- public interface -----------------------------------------------------------------------------------------

ThreadPool::ThreadPool(std::size_t num_threads) {
  register_fork_handler();
  impl_ = std::make_unique<Impl>(this, num_threads);
}

ThreadPool::~ThreadPool() = default;

std::size_t ThreadPool::num_threads() const noexcept { return impl_->num_threads; }

void ThreadPool::parallel_for(std::size_t n, std::size_t min_len, TaskRef task) {
  Worker* worker = t_worker;
  if (worker != nullptr && worker->pool != impl_.get()) worker = nullptr;
  const Loop loop{task, std::max<std::size_t>(min_len, 1), impl_->num_threads, impl_.get()};
  if (std::exception_ptr fault = process(loop, 0, n, loop.num_threads, false, worker)) std::rethrow_exception(fault);
}

ThreadPool* ThreadPool::current() noexcept { return t_worker != nullptr ? t_worker->pool->owner : nullptr; }

// ----- the process-wide pool ------------------------------------------------------------------------------------

namespace {

enum class GlobalState : int { kAbsent, kReady, kFailed };

std::atomic<ThreadPool*> g_pool{nullptr};
std::atomic<GlobalState> g_state{GlobalState::kAbsent};
std::string* g_failure = nullptr;  // why creation failed; written once under the creation mutex

// Constant-initialised, so no load-time code runs. A forked child constructs a fresh one in its place: the
// parent's may have been locked by a thread that does not exist in the child.
constinit std::mutex g_create_mutex;

// Runs in the child after fork(). The parent's pool and its locks are left untouched (its workers do not exist
// here and its mutexes may be held); the child builds its own pool on first use.
void forget_pools_in_child() noexcept {
  new (&g_create_mutex) std::mutex;
  g_pool.store(nullptr, std::memory_order_relaxed);
  g_state.store(GlobalState::kAbsent, std::memory_order_relaxed);
  g_failure = nullptr;
  t_worker = nullptr;
}

[[noreturn]] void throw_not_initialized() {
  throw InternalFault("The global thread pool has not been initialized. " +
                      (g_failure != nullptr ? *g_failure : std::string("Creation failed.")));
}

}  // namespace

ThreadPool& global_pool() {
  if (ThreadPool* pool = g_pool.load(std::memory_order_acquire)) return *pool;
  std::lock_guard lock(g_create_mutex);
  if (ThreadPool* pool = g_pool.load(std::memory_order_acquire)) return *pool;
  if (g_state.load(std::memory_order_relaxed) == GlobalState::kFailed) throw_not_initialized();
  try {
    // Deliberately never deleted: workers must stay valid until the process ends, and no destructor should
    // run (and join) at exit.
    auto* pool = new ThreadPool(pool_size_from_environment());
    g_state.store(GlobalState::kReady, std::memory_order_relaxed);
    g_pool.store(pool, std::memory_order_release);
    return *pool;
  } catch (const std::exception& e) {
    std::string reason = e.what();
    if (!reason.empty()) reason[0] = static_cast<char>(std::toupper(static_cast<unsigned char>(reason[0])));
    g_failure = new std::string(std::move(reason) + ".");
  }
  g_state.store(GlobalState::kFailed, std::memory_order_relaxed);
  throw_not_initialized();
}

ThreadPool& current_pool() {
  if (ThreadPool* pool = ThreadPool::current()) return *pool;
  return global_pool();
}

std::size_t current_num_threads() { return current_pool().num_threads(); }

void run_parallel_for(std::size_t n, std::size_t min_len, TaskRef task) {
  current_pool().parallel_for(n, min_len, task);
}

}  // namespace korvex::parallel
