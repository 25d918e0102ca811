#include "parallel/pool_size.hpp"

#include <sched.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <limits>
#include <sstream>
#include <string_view>
#include <vector>

namespace korvex::parallel {

std::optional<std::size_t> parse_count(const char* text) {
  if (text == nullptr) return std::nullopt;
  const char* p = text;
  if (*p == '+') ++p;
  if (*p == '\0') return std::nullopt;
  std::size_t value = 0;
  for (; *p != '\0'; ++p) {
    if (*p < '0' || *p > '9') return std::nullopt;
    const auto digit = static_cast<std::size_t>(*p - '0');
    if (value > (std::numeric_limits<std::size_t>::max() - digit) / 10) return std::nullopt;
    value = value * 10 + digit;
  }
  return value;
}

std::size_t decide_pool_size(const char* num_threads, const char* rs_num_cpus, std::size_t available) {
  std::size_t size = available;
  if (const auto requested = parse_count(num_threads)) {
    // 0 asks for the CPU count explicitly; the second variable is then not looked at.
    if (*requested >= 1) size = *requested;
  } else if (const auto cpus = parse_count(rs_num_cpus); cpus && *cpus >= 1) {
    size = *cpus;
  }
  return std::clamp<std::size_t>(size, 1, kMaxPoolSize);
}

namespace {

std::optional<std::string> read_file(const std::string& path) {
  std::ifstream in(path);
  if (!in) return std::nullopt;
  std::ostringstream text;
  text << in.rdbuf();
  if (in.bad()) return std::nullopt;
  return text.str();
}

std::vector<std::string_view> split(std::string_view text, char separator) {
  std::vector<std::string_view> parts;
  std::size_t start = 0;
  while (true) {
    const std::size_t end = text.find(separator, start);
    parts.push_back(text.substr(start, end == std::string_view::npos ? std::string_view::npos : end - start));
    if (end == std::string_view::npos) return parts;
    start = end + 1;
  }
}

std::string_view trim(std::string_view text) {
  const auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; };
  while (!text.empty() && blank(text.front())) text.remove_prefix(1);
  while (!text.empty() && blank(text.back())) text.remove_suffix(1);
  return text;
}

// A decimal integer with an optional '-', nothing else around it.
std::optional<std::int64_t> parse_int(std::string_view text) {
  bool negative = false;
  if (!text.empty() && text.front() == '-') {
    negative = true;
    text.remove_prefix(1);
  }
  if (text.empty()) return std::nullopt;
  std::int64_t value = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    if (value > (std::numeric_limits<std::int64_t>::max() - (c - '0')) / 10) return std::nullopt;
    value = value * 10 + (c - '0');
  }
  return negative ? -value : value;
}

// mountinfo escapes blanks and backslashes in paths as \ooo.
std::string unescape_mount_path(std::string_view text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\\' && i + 3 < text.size()) {
      const char a = text[i + 1], b = text[i + 2], c = text[i + 3];
      if (a >= '0' && a <= '3' && b >= '0' && b <= '7' && c >= '0' && c <= '7') {
        out.push_back(static_cast<char>((a - '0') * 64 + (b - '0') * 8 + (c - '0')));
        i += 3;
        continue;
      }
    }
    out.push_back(text[i]);
  }
  return out;
}

// quota / period, at least 1; nullopt for "no limit" (a negative quota) or an unusable period.
std::optional<std::size_t> quota_cap(std::int64_t quota, std::int64_t period) {
  if (quota < 0 || period <= 0) return std::nullopt;
  return std::max<std::size_t>(static_cast<std::size_t>(quota / period), 1);
}

std::optional<std::size_t> read_cpu_max(const std::string& dir) {
  const auto text = read_file(dir + "/cpu.max");
  if (!text) return std::nullopt;
  const auto fields = split(trim(*text), ' ');
  if (fields.size() != 2 || fields[0] == "max") return std::nullopt;
  const auto quota = parse_int(fields[0]);
  const auto period = parse_int(fields[1]);
  if (!quota || !period) return std::nullopt;
  return quota_cap(*quota, *period);
}

std::optional<std::size_t> read_cfs_quota(const std::string& dir) {
  const auto quota_text = read_file(dir + "/cpu.cfs_quota_us");
  const auto period_text = read_file(dir + "/cpu.cfs_period_us");
  if (!quota_text || !period_text) return std::nullopt;
  const auto quota = parse_int(trim(*quota_text));
  const auto period = parse_int(trim(*period_text));
  if (!quota || !period) return std::nullopt;
  return quota_cap(*quota, *period);
}

struct Mount {
  std::string root;         // directory of the cgroup file system shown at the mount point
  std::string mount_point;  // absolute, without the test prefix
};

// The first mount of `fs_type` whose super options contain `option` (any option when empty).
std::optional<Mount> find_mount(const std::string& mountinfo, std::string_view fs_type, std::string_view option) {
  std::istringstream lines(mountinfo);
  std::string line;
  while (std::getline(lines, line)) {
    // id parent major:minor root mount_point options [optional fields...] - fs_type source super_options
    const auto fields = split(line, ' ');
    std::size_t dash = 6;
    while (dash < fields.size() && fields[dash] != "-") ++dash;
    if (fields.size() < 5 || dash + 1 >= fields.size() || fields[dash + 1] != fs_type) continue;
    if (!option.empty()) {
      if (dash + 3 >= fields.size()) continue;
      const auto options = split(fields[dash + 3], ',');
      if (std::find(options.begin(), options.end(), option) == options.end()) continue;
    }
    return Mount{unescape_mount_path(fields[3]), unescape_mount_path(fields[4])};
  }
  return std::nullopt;
}

// The smallest cap found in the cgroup directory of `group_path` and its ancestors up to the mount point.
template <class ReadCap>
std::optional<std::size_t> walk_up(const std::string& root, const Mount& mount, const std::string& group_path,
                                   ReadCap read_cap) {
  std::string relative;
  if (mount.root == "/") {
    relative = group_path;
  } else if (group_path.compare(0, mount.root.size(), mount.root) == 0 &&
             (group_path.size() == mount.root.size() || group_path[mount.root.size()] == '/')) {
    relative = group_path.substr(mount.root.size());
  } else {
    return std::nullopt;  // the process's group is not visible under this mount
  }
  while (!relative.empty() && relative.back() == '/') relative.pop_back();

  std::optional<std::size_t> cap;
  while (true) {
    if (const auto here = read_cap(root + mount.mount_point + relative)) cap = cap ? std::min(*cap, *here) : *here;
    if (relative.empty()) return cap;
    relative.erase(relative.rfind('/'));
  }
}

}  // namespace

std::optional<std::size_t> cgroup_cpu_quota(const std::string& root) {
  const auto cgroups = read_file(root + "/proc/self/cgroup");
  if (!cgroups) return std::nullopt;
  const auto mountinfo = read_file(root + "/proc/self/mountinfo");

  // Each line: hierarchy-id:controllers:path. Version 2 has the single line "0::path"; version 1 one line per
  // hierarchy, and the one whose controllers include "cpu" holds the quota. Hybrid systems list both.
  std::optional<std::string> v2_path, v1_path;
  std::istringstream lines(*cgroups);
  std::string line;
  while (std::getline(lines, line)) {
    const std::size_t first = line.find(':');
    const std::size_t second = first == std::string::npos ? first : line.find(':', first + 1);
    if (second == std::string::npos) continue;
    const std::string_view controllers = std::string_view(line).substr(first + 1, second - first - 1);
    std::string path = line.substr(second + 1);
    if (line.compare(0, first, "0") == 0 && controllers.empty()) {
      v2_path = std::move(path);
    } else {
      const auto names = split(controllers, ',');
      if (std::find(names.begin(), names.end(), "cpu") != names.end()) v1_path = std::move(path);
    }
  }

  if (v2_path) {
    std::optional<Mount> mount;
    if (mountinfo) {
      mount = find_mount(*mountinfo, "cgroup2", "");
    } else {
      mount = Mount{"/", "/sys/fs/cgroup"};
    }
    if (mount) {
      if (const auto cap = walk_up(root, *mount, *v2_path, read_cpu_max)) return cap;
    }
  }
  if (v1_path && mountinfo) {
    if (const auto mount = find_mount(*mountinfo, "cgroup", "cpu")) {
      return walk_up(root, *mount, *v1_path, read_cfs_quota);
    }
  }
  return std::nullopt;
}

namespace {

// CPUs in the affinity mask of the calling thread, or 0 when it cannot be read.
std::size_t affinity_cpus() {
  for (int cpus = CPU_SETSIZE; cpus <= (1 << 20); cpus *= 2) {
    cpu_set_t* set = CPU_ALLOC(cpus);
    if (set == nullptr) return 0;
    const std::size_t bytes = CPU_ALLOC_SIZE(cpus);
    CPU_ZERO_S(bytes, set);
    const int rc = sched_getaffinity(0, bytes, set);
    const int count = rc == 0 ? CPU_COUNT_S(bytes, set) : 0;
    CPU_FREE(set);
    if (rc == 0) return static_cast<std::size_t>(count);
    if (errno != EINVAL) return 0;  // EINVAL: the kernel's mask is larger than ours
  }
  return 0;
}

}  // namespace

std::size_t available_cpus() {
  std::size_t count = affinity_cpus();
  if (count == 0) {
    const long online = sysconf(_SC_NPROCESSORS_ONLN);
    if (online < 1) return 1;
    count = static_cast<std::size_t>(online);
  }
  if (const auto cap = cgroup_cpu_quota()) count = std::min(count, *cap);
  return count;
}

std::size_t pool_size_from_environment() {
  return decide_pool_size(std::getenv("RAYON_NUM_THREADS"), std::getenv("RAYON_RS_NUM_CPUS"), available_cpus());
}

}  // namespace korvex::parallel
