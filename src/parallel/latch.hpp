// The completion latch of a piece that another thread may run, and the two ways of waiting for one.
//
// A latch is waited on by exactly one thread, fixed at construction:
//   - a worker, which keeps running queued work while it waits and sleeps on its Sleeper when there is none;
//   - a plain thread (one that is not a worker), which blocks on its ThreadWaiter.
// set() is called once, by the thread that finished the piece. Once set() has stored the flag the waiter may
// return and destroy the latch (it lives on the waiter's stack), so set() reads everything it needs before that
// store and touches only the waiter's own state after it.
#pragma once

#include <atomic>
#include <condition_variable>
#include <mutex>

namespace korvex::parallel {

// Where one worker sleeps. The worker's own thread calls sleep(); any thread may call wake().
class Sleeper {
 public:
  // Sleeps until wake(), unless a wake-up is already pending or `stay_awake()` is true. `stay_awake` is called
  // once, under the sleep mutex, after maybe_asleep() has become true; that order is what makes a waker's
  // condition visible to it (see the pairing in scheduler.cpp and in Latch::set()).
  template <class StayAwake>
  void sleep(StayAwake&& stay_awake) noexcept;

  // Any thread: wakes the sleeper if it sleeps. False when it was not asleep or is already being woken. The
  // sleeper holds the sleep mutex from its last checks until it waits, so a waker never sees it in between.
  bool wake() noexcept;

  // Any thread, without locking: whether the sleeper is inside sleep(). Sequentially consistent, to pair with
  // the store in sleep().
  bool maybe_asleep() const noexcept { return hint_.load(std::memory_order_seq_cst); }

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  bool sleeping_ = false;      // guarded by mutex_
  bool wake_pending_ = false;  // guarded by mutex_
  std::atomic<bool> hint_{false};
};

// Where one plain thread blocks; private to that thread and reused by every loop it calls.
struct ThreadWaiter {
  std::mutex mutex;
  std::condition_variable cv;
};

class Latch {
 public:
  explicit Latch(Sleeper* waiter) noexcept : sleeper_(waiter) {}
  explicit Latch(ThreadWaiter* waiter) noexcept : thread_(waiter) {}

  Latch(const Latch&) = delete;
  Latch& operator=(const Latch&) = delete;

  // Any thread: whether set() has happened. The acquire pairs with set()'s store, so what the finishing thread
  // wrote before set() (a fault, the task's outputs) is visible once this returns true.
  bool probe() const noexcept { return done_.load(std::memory_order_acquire); }
  // The same as a sequentially consistent load, for a sleeper's last check (Sleeper::sleep's stay_awake).
  bool probe_seq_cst() const noexcept { return done_.load(std::memory_order_seq_cst); }

  // Once, by the thread that finished the piece; wakes the waiter.
  void set() noexcept;

  // The waiting thread, for a latch built with a ThreadWaiter: blocks until set().
  void wait_blocking() noexcept;

 private:
  std::atomic<bool> done_{false};
  Sleeper* sleeper_ = nullptr;
  ThreadWaiter* thread_ = nullptr;
};

template <class StayAwake>
void Sleeper::sleep(StayAwake&& stay_awake) noexcept {
  std::unique_lock lock(mutex_);
  hint_.store(true, std::memory_order_seq_cst);
  if (!wake_pending_ && !stay_awake()) {
    sleeping_ = true;
    while (!wake_pending_) cv_.wait(lock);
    sleeping_ = false;
  }
  wake_pending_ = false;
  hint_.store(false, std::memory_order_relaxed);
}

}  // namespace korvex::parallel
