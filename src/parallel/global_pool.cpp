// The process-wide pool and what happens to it across fork().
#include "parallel/global_pool.hpp"

#include <pthread.h>

#include <atomic>
#include <cctype>
#include <exception>
#include <mutex>
#include <new>
#include <string>

#include "common/fault.hpp"
#include "parallel/pool_size.hpp"

namespace korvex::parallel {

namespace {

enum class GlobalState : int { kAbsent, kReady, kFailed };

std::atomic<ThreadPool*> g_pool{nullptr};
std::atomic<GlobalState> g_state{GlobalState::kAbsent};
std::string* g_failure = nullptr;  // why creation failed; written once under the creation mutex

// Constant-initialised, so no load-time code runs. A forked child constructs a fresh one in its place: the
// parent's may have been locked by a thread that does not exist in the child.
constinit std::mutex g_create_mutex;

// Runs in the child after fork(). The parent's pool and its locks are left untouched (its workers do not exist
// here and its mutexes may be held); the child builds its own pool on first use. (The scheduler forgets, in the
// same way, that the forking thread was a worker.)
void forget_pool_in_child() noexcept {
  new (&g_create_mutex) std::mutex;
  g_pool.store(nullptr, std::memory_order_relaxed);
  g_state.store(GlobalState::kAbsent, std::memory_order_relaxed);
  g_failure = nullptr;
}

// Registered before the creation mutex is first taken, so that a child never inherits it locked without the
// handler that replaces it.
void register_fork_handler() {
  static const bool registered = [] {
    pthread_atfork(nullptr, nullptr, forget_pool_in_child);
    return true;
  }();
  (void)registered;
}

[[noreturn]] void throw_not_initialized() {
  throw InternalFault("The global thread pool has not been initialized. " +
                      (g_failure != nullptr ? *g_failure : std::string("Creation failed.")));
}

}  // namespace

ThreadPool& global_pool() {
  if (ThreadPool* pool = g_pool.load(std::memory_order_acquire)) return *pool;
  register_fork_handler();
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

bool on_pool_worker() noexcept { return ThreadPool::current() != nullptr; }

}  // namespace korvex::parallel
