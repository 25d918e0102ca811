// The process-wide pool.
#pragma once

#include "parallel/thread_pool.hpp"

namespace korvex::parallel {

// The process-wide pool, created on the first call with pool_size_from_environment() workers and never destroyed.
// Creation is attempted once per process; if it failed, this and every later call throw InternalFault whose
// message begins with "The global thread pool has not been initialized.". A child process created by fork()
// starts without a pool and creates its own on first use.
ThreadPool& global_pool();

}  // namespace korvex::parallel
