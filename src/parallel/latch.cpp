#include "parallel/latch.hpp"

#include "common/assert.hpp"

namespace korvex::parallel {

bool Sleeper::wake() noexcept {
  std::lock_guard lock(mutex_);
  if (!sleeping_ || wake_pending_) return false;
  wake_pending_ = true;
  cv_.notify_one();
  return true;
}

void Latch::set() noexcept {
  if (sleeper_ != nullptr) {
    Sleeper* waiter = sleeper_;
    // Dekker-style pairing with Sleeper::sleep(): this side stores the flag, then reads the hint; the sleeper
    // stores the hint, then reads the flag (probe_seq_cst), all sequentially consistent. So either the sleeper
    // sees the flag and stays awake, or this side sees the hint and wakes it under its mutex. The Sleeper belongs
    // to the waiting worker, which outlives this call, so using it after the store is safe.
    done_.store(true, std::memory_order_seq_cst);
    // From here on *this may be gone.
    if (waiter->maybe_asleep()) waiter->wake();
  } else {
    ThreadWaiter* waiter = thread_;
    // The flag is stored and the waiter notified under its mutex: the waiter reads the flag only under the same
    // mutex, so it cannot return (and end its thread) while this still touches the mutex or condition variable.
    std::lock_guard lock(waiter->mutex);
    done_.store(true, std::memory_order_release);
    waiter->cv.notify_one();
  }
}

void Latch::wait_blocking() noexcept {
  KORVEX_ASSERT(thread_ != nullptr, "only a latch built with a ThreadWaiter can be waited on by blocking");
  std::unique_lock lock(thread_->mutex);
  while (!done_.load(std::memory_order_acquire)) thread_->cv.wait(lock);
}

}  // namespace korvex::parallel
