#include "parallel/job_deque.hpp"

#include "common/assert.hpp"

namespace korvex::parallel {

namespace {
constexpr std::size_t kInitialCapacity = 64;
}  // namespace

JobDeque::JobDeque() : buffer_(kInitialCapacity), owner_(std::this_thread::get_id()) {}

void JobDeque::assert_owner() const noexcept {
  KORVEX_ASSERT(owner_ == std::this_thread::get_id(), "only the owner of a job deque may push or pop");
}

bool JobDeque::push(Job* job) noexcept {
  assert_owner();
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
  publish_size();
  return true;
}

Job* JobDeque::pop() noexcept {
  assert_owner();
  if (size_hint() == 0) return nullptr;
  std::lock_guard lock(mutex_);
  if (bottom_ == top_) return nullptr;
  --bottom_;
  publish_size();
  return buffer_[bottom_ & (buffer_.size() - 1)];
}

bool JobDeque::pop_if(Job* job) noexcept {
  assert_owner();
  std::lock_guard lock(mutex_);
  if (bottom_ == top_ || buffer_[(bottom_ - 1) & (buffer_.size() - 1)] != job) return false;
  --bottom_;
  publish_size();
  return true;
}

Job* JobDeque::steal() noexcept {
  if (size_hint() == 0) return nullptr;
  std::lock_guard lock(mutex_);
  if (bottom_ == top_) return nullptr;
  Job* job = buffer_[top_ & (buffer_.size() - 1)];
  ++top_;
  publish_size();
  return job;
}

}  // namespace korvex::parallel
