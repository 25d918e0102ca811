// How many workers the process-wide pool gets.
#pragma once

#include <cstddef>
#include <optional>
#include <string>

namespace korvex::parallel {

inline constexpr std::size_t kMaxPoolSize = 65535;

// Parses an unsigned decimal count: digits only, one optional leading '+', no '-', no blanks, no overflow of
// std::size_t. nullptr or anything else gives nullopt.
std::optional<std::size_t> parse_count(const char* text);

// The size rule, given the two environment values (nullptr when unset) and the available CPU count:
// RAYON_NUM_THREADS >= 1 wins; RAYON_NUM_THREADS == 0 means the CPU count (RAYON_RS_NUM_CPUS then unread);
// otherwise RAYON_RS_NUM_CPUS >= 1; otherwise the CPU count. The result is capped at kMaxPoolSize.
std::size_t decide_pool_size(const char* num_threads, const char* rs_num_cpus, std::size_t available_cpus);

// CPU quota of the calling process's control group (quota / period, at least 1), or nullopt when none applies.
// `root` prefixes every path read (/proc/self/cgroup, /proc/self/mountinfo, /sys/fs/cgroup/...), so tests can
// point it at a fake tree.
std::optional<std::size_t> cgroup_cpu_quota(const std::string& root = "");

// CPUs in the affinity mask (else online processors), capped by the cgroup quota; 1 if nothing can be read.
std::size_t available_cpus();

// decide_pool_size() on the current environment and available_cpus().
std::size_t pool_size_from_environment();

}  // namespace korvex::parallel
