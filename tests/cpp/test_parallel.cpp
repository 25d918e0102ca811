// Unit tests of the worker pool, the parallel loop and the pool size rule.
#include <gtest/gtest.h>
#include <sched.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <ctime>
#include <mutex>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <optional>
#include <random>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "common/fault.hpp"
#include "parallel/global_pool.hpp"
#include "parallel/parallel_for.hpp"
#include "parallel/pool_size.hpp"
#include "parallel/thread_pool.hpp"

// fork() of a threaded process is unreliable under ThreadSanitizer; an address-space limit breaks every sanitizer's
// shadow memory.
#if defined(__SANITIZE_THREAD__)
#define KORVEX_TEST_TSAN 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define KORVEX_TEST_TSAN 1
#endif
#endif
#if defined(KORVEX_TEST_TSAN) || defined(__SANITIZE_ADDRESS__)
#define KORVEX_TEST_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define KORVEX_TEST_SANITIZED 1
#endif
#endif

namespace korvex::parallel {
namespace {

using namespace std::chrono_literals;

// ----- pool size rule --------------------------------------------------------------------------------------------

struct SizeCase {
  const char* name;
  const char* num_threads;  // nullptr: unset
  const char* rs_num_cpus;  // nullptr: unset
  std::size_t cpus;
  std::size_t expected;
};

class ParallelPoolSize : public ::testing::TestWithParam<SizeCase> {};

TEST_P(ParallelPoolSize, FollowsTheSizeRule) {
  const SizeCase& c = GetParam();
  EXPECT_EQ(decide_pool_size(c.num_threads, c.rs_num_cpus, c.cpus), c.expected);
}

// Sizes that come from the environment are chosen different from the CPU count so that a fall-through to the CPU
// count is visible.
INSTANTIATE_TEST_SUITE_P(
    Environment, ParallelPoolSize,
    ::testing::Values(SizeCase{"Three", "3", nullptr, 8, 3}, SizeCase{"ThreeWinsOverRs", "3", "5", 8, 3},
                      SizeCase{"PlusThree", "+3", "5", 8, 3}, SizeCase{"LeadingZeros", "003", nullptr, 8, 3},
                      SizeCase{"TrailingBlankIgnored", "3 ", "5", 8, 5},
                      SizeCase{"LeadingBlankIgnored", " 3", "5", 8, 5}, SizeCase{"MinusIgnored", "-3", "5", 8, 5},
                      SizeCase{"WordIgnored", "three", "5", 8, 5}, SizeCase{"DoublePlusIgnored", "++3", "5", 8, 5},
                      SizeCase{"LonePlusIgnored", "+", "5", 8, 5}, SizeCase{"EmptyIgnored", "", "5", 8, 5},
                      SizeCase{"MinusZeroIgnored", "-0", "5", 8, 5},
                      SizeCase{"OverflowIgnored", "18446744073709551616", "5", 8, 5},
                      SizeCase{"WordMaxIsCapped", "18446744073709551615", "5", 8, kMaxPoolSize},
                      SizeCase{"ZeroMeansCpusEvenWithRs", "0", "5", 8, 8},
                      SizeCase{"PlusZeroMeansCpus", "+0", "5", 8, 8},
                      SizeCase{"RsTwo", nullptr, "2", 8, 2}, SizeCase{"RsZeroMeansCpus", nullptr, "0", 8, 8},
                      SizeCase{"RsInvalidMeansCpus", nullptr, "2x", 8, 8},
                      SizeCase{"RsAfterInvalidNumThreads", "x", "2", 8, 2},
                      SizeCase{"NothingSetMeansCpus", nullptr, nullptr, 6, 6},
                      SizeCase{"ZeroCpusGivesOne", nullptr, nullptr, 0, 1},
                      SizeCase{"SeventyThousandCapped", "70000", nullptr, 8, kMaxPoolSize},
                      SizeCase{"RsCapped", nullptr, "70000", 8, kMaxPoolSize},
                      SizeCase{"CpusCapped", nullptr, nullptr, 100000, kMaxPoolSize},
                      SizeCase{"ExactlyTheCap", "65535", nullptr, 8, kMaxPoolSize},
                      SizeCase{"InvalidUtf8Ignored", "3\xff", "5", 8, 5}),
    [](const auto& info) { return std::string(info.param.name); });

struct ParseCase {
  const char* text;
  std::optional<std::size_t> expected;
};

class ParallelParseCount : public ::testing::TestWithParam<ParseCase> {};

TEST_P(ParallelParseCount, AcceptsOnlyPlainUnsignedDecimals) {
  const char* text = GetParam().text;
  EXPECT_EQ(parse_count(text), GetParam().expected) << '"' << (text != nullptr ? text : "(unset)") << '"';
}

INSTANTIATE_TEST_SUITE_P(Table, ParallelParseCount,
                         ::testing::Values(ParseCase{nullptr, std::nullopt}, ParseCase{"", std::nullopt},
                                           ParseCase{"0", 0}, ParseCase{"+0", 0}, ParseCase{"7", 7},
                                           ParseCase{"+12", 12}, ParseCase{"0012", 12},
                                           ParseCase{"18446744073709551615", 18446744073709551615ull},
                                           ParseCase{"18446744073709551616", std::nullopt},
                                           ParseCase{"99999999999999999999", std::nullopt},
                                           ParseCase{"-1", std::nullopt}, ParseCase{"+-1", std::nullopt},
                                           ParseCase{"1 ", std::nullopt}, ParseCase{"\t1", std::nullopt},
                                           ParseCase{"1e3", std::nullopt}, ParseCase{"0x10", std::nullopt},
                                           ParseCase{"1.0", std::nullopt}, ParseCase{"+", std::nullopt}),
                         [](const auto& info) {  // the text spelled out: Unset, Text, TextPlus12, Text1Blank, ...
                           const char* text = info.param.text;
                           if (text == nullptr) return std::string("Unset");
                           std::string name = "Text";  // never all digits, which CTest would replace
                           for (; *text != '\0'; ++text) {
                             switch (*text) {
                               case '+': name += "Plus"; break;
                               case '-': name += "Minus"; break;
                               case ' ': name += "Blank"; break;
                               case '\t': name += "Tab"; break;
                               case '.': name += "Dot"; break;
                               default: name += *text;
                             }
                           }
                           return name;
                         });

TEST(ParallelPoolSizeEnvironment, ReadsBothVariables) {
  struct Saved {
    const char* name;
    std::optional<std::string> value;
  };
  std::vector<Saved> saved;
  for (const char* name : {"RAYON_NUM_THREADS", "RAYON_RS_NUM_CPUS"}) {
    const char* v = std::getenv(name);
    saved.push_back({name, v ? std::optional<std::string>(v) : std::nullopt});
  }
  const std::size_t cpus = available_cpus();

  ::setenv("RAYON_NUM_THREADS", "+3", 1);
  ::setenv("RAYON_RS_NUM_CPUS", "5", 1);
  EXPECT_EQ(pool_size_from_environment(), 3u);
  ::setenv("RAYON_NUM_THREADS", "3 ", 1);
  EXPECT_EQ(pool_size_from_environment(), 5u);
  ::setenv("RAYON_NUM_THREADS", "0", 1);
  EXPECT_EQ(pool_size_from_environment(), cpus);
  ::unsetenv("RAYON_NUM_THREADS");
  EXPECT_EQ(pool_size_from_environment(), 5u);
  ::setenv("RAYON_RS_NUM_CPUS", "0", 1);
  EXPECT_EQ(pool_size_from_environment(), cpus);

  for (const Saved& s : saved) {
    if (s.value) {
      ::setenv(s.name, s.value->c_str(), 1);
    } else {
      ::unsetenv(s.name);
    }
  }
}

TEST(ParallelPoolSizeEnvironment, AvailableCpusIsWithinTheAffinityMask) {
  cpu_set_t set;
  CPU_ZERO(&set);
  ASSERT_EQ(sched_getaffinity(0, sizeof set, &set), 0);
  const auto in_mask = static_cast<std::size_t>(CPU_COUNT(&set));
  const std::size_t cpus = available_cpus();
  EXPECT_GE(cpus, 1u);
  EXPECT_LE(cpus, in_mask);
  if (const auto quota = cgroup_cpu_quota()) {
    EXPECT_EQ(cpus, std::min(in_mask, *quota));
  } else {
    EXPECT_EQ(cpus, in_mask);
  }
}

// ----- cgroup quota on a fake tree ---------------------------------------------------------------------------

class FakeRoot {
 public:
  FakeRoot() {
    std::string pattern = (std::filesystem::temp_directory_path() / "korvex-cgroup-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    root_ = pattern;
  }
  ~FakeRoot() {
    std::error_code ignored;
    std::filesystem::remove_all(root_, ignored);
  }
  void write(const std::string& path, const std::string& text) const {
    const std::filesystem::path full = root_ + path;
    std::filesystem::create_directories(full.parent_path());
    std::ofstream(full) << text;
  }
  const std::string& path() const { return root_; }

 private:
  std::string root_;
};

const char* const kV2Mountinfo =
    "24 30 0:22 / /sys rw,nosuid - sysfs sysfs rw\n"
    "29 24 0:26 / /sys/fs/cgroup rw,nosuid,nodev,noexec,relatime shared:4 - cgroup2 cgroup2 rw,nsdelegate\n";

struct V2Case {
  const char* name;
  const char* cpu_max;
  std::optional<std::size_t> expected;
};

class ParallelCgroupV2 : public ::testing::TestWithParam<V2Case> {};

TEST_P(ParallelCgroupV2, CapIsQuotaOverPeriodAtLeastOne) {
  FakeRoot fake;
  fake.write("/proc/self/cgroup", "0::/user.slice/app\n");
  fake.write("/proc/self/mountinfo", kV2Mountinfo);
  fake.write("/sys/fs/cgroup/user.slice/app/cpu.max", GetParam().cpu_max);
  EXPECT_EQ(cgroup_cpu_quota(fake.path()), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(CpuMax, ParallelCgroupV2,
                         ::testing::Values(V2Case{"Unlimited", "max 100000\n", std::nullopt},
                                           V2Case{"OneAndAHalf", "150000 100000\n", 1},
                                           V2Case{"HalfRoundsUpToOne", "50000 100000\n", 1},
                                           V2Case{"Four", "400000 100000\n", 4},
                                           V2Case{"FourNoNewline", "400000 100000", 4},
                                           V2Case{"SevenWithOtherPeriod", "350000 50000\n", 7},
                                           V2Case{"Garbage", "lots\n", std::nullopt},
                                           V2Case{"ZeroPeriod", "400000 0\n", std::nullopt}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(ParallelCgroupV2Tree, AncestorLimitApplies) {
  FakeRoot fake;
  fake.write("/proc/self/cgroup", "0::/a/b\n");
  fake.write("/proc/self/mountinfo", kV2Mountinfo);
  fake.write("/sys/fs/cgroup/a/b/cpu.max", "max 100000\n");
  fake.write("/sys/fs/cgroup/a/cpu.max", "300000 100000\n");
  EXPECT_EQ(cgroup_cpu_quota(fake.path()), 3u);
  fake.write("/sys/fs/cgroup/a/b/cpu.max", "200000 100000\n");
  EXPECT_EQ(cgroup_cpu_quota(fake.path()), 2u);
}

TEST(ParallelCgroupV2Tree, ContainerMountRootIsStripped) {
  // Inside a container the group path repeats the mount's root, which is the directory at the mount point.
  FakeRoot fake;
  fake.write("/proc/self/cgroup", "0::/docker/abc\n");
  fake.write("/proc/self/mountinfo", "40 30 0:26 /docker/abc /sys/fs/cgroup rw - cgroup2 cgroup2 rw\n");
  fake.write("/sys/fs/cgroup/cpu.max", "200000 100000\n");
  EXPECT_EQ(cgroup_cpu_quota(fake.path()), 2u);
}

TEST(ParallelCgroupV2Tree, MissingFilesGiveNoCap) {
  FakeRoot fake;
  EXPECT_EQ(cgroup_cpu_quota(fake.path()), std::nullopt);
  fake.write("/proc/self/cgroup", "0::/\n");
  fake.write("/proc/self/mountinfo", kV2Mountinfo);
  EXPECT_EQ(cgroup_cpu_quota(fake.path()), std::nullopt);
}

struct V1Case {
  const char* name;
  const char* quota;
  const char* period;
  std::optional<std::size_t> expected;
};

class ParallelCgroupV1 : public ::testing::TestWithParam<V1Case> {};

TEST_P(ParallelCgroupV1, CapIsQuotaOverPeriodAtLeastOne) {
  FakeRoot fake;
  // A hybrid layout: the unified hierarchy exists but carries no cpu controller.
  fake.write("/proc/self/cgroup", "4:memory:/m\n3:cpu,cpuacct:/grp\n0::/\n");
  fake.write("/proc/self/mountinfo",
             "31 23 0:28 / /sys/fs/cgroup rw,relatime - tmpfs tmpfs rw,mode=755\n"
             "32 31 0:29 / /sys/fs/cgroup/cpu,cpuacct rw,relatime shared:7 - cgroup cgroup rw,cpu,cpuacct\n"
             "35 31 0:32 / /sys/fs/cgroup/memory rw,relatime - cgroup cgroup rw,memory\n"
             "41 31 0:38 / /sys/fs/cgroup/unified rw,relatime - cgroup2 cgroup2 rw\n");
  fake.write("/sys/fs/cgroup/cpu,cpuacct/grp/cpu.cfs_quota_us", GetParam().quota);
  fake.write("/sys/fs/cgroup/cpu,cpuacct/grp/cpu.cfs_period_us", GetParam().period);
  EXPECT_EQ(cgroup_cpu_quota(fake.path()), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(CfsQuota, ParallelCgroupV1,
                         ::testing::Values(V1Case{"NoLimit", "-1\n", "100000\n", std::nullopt},
                                           V1Case{"Two", "200000\n", "100000\n", 2},
                                           V1Case{"TwoAndAHalf", "250000\n", "100000\n", 2},
                                           V1Case{"Tenth", "10000\n", "100000\n", 1},
                                           V1Case{"Six", "60000\n", "10000\n", 6}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(ParallelCgroupV1Tree, EscapedMountPoint) {
  FakeRoot fake;
  fake.write("/proc/self/cgroup", "2:cpu:/\n");
  fake.write("/proc/self/mountinfo", "32 31 0:29 / /cg\\040cpu rw - cgroup cgroup rw,cpu\n");
  fake.write("/cg cpu/cpu.cfs_quota_us", "300000\n");
  fake.write("/cg cpu/cpu.cfs_period_us", "100000\n");
  EXPECT_EQ(cgroup_cpu_quota(fake.path()), 3u);
}

// ----- helpers for the loop tests --------------------------------------------------------------------------------

// Per-index call counters.
class Counts {
 public:
  explicit Counts(std::size_t n) : counts_(std::make_unique<std::atomic<int>[]>(n)), n_(n) {}
  void hit(std::size_t i) { counts_[i].fetch_add(1, std::memory_order_relaxed); }
  int at(std::size_t i) const { return counts_[i].load(std::memory_order_relaxed); }
  // First index whose count is not `expected`, or n.
  std::size_t first_not(int expected) const {
    for (std::size_t i = 0; i < n_; ++i) {
      if (at(i) != expected) return i;
    }
    return n_;
  }

 private:
  std::unique_ptr<std::atomic<int>[]> counts_;
  std::size_t n_;
};

// Runs `body` in a forked child with a deadline; the child's exit code 0 means success. A hang shows up as
// SIGALRM.
void run_in_child(const std::function<int()>& body, unsigned timeout_seconds = 20) {
  std::fflush(nullptr);
  const pid_t pid = ::fork();
  ASSERT_NE(pid, -1);
  if (pid == 0) {
    ::alarm(timeout_seconds);
    int code = 99;
    try {
      code = body();
    } catch (...) {
      code = 98;
    }
    ::_exit(code);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status)) << "child killed by signal " << (WIFSIGNALED(status) ? WTERMSIG(status) : 0);
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

// ----- the loop on pools of several sizes -----------------------------------------------------------------------

class ParallelLoop : public ::testing::TestWithParam<std::size_t> {
 protected:
  ParallelLoop() : pool_(GetParam()) {}
  ThreadPool pool_;
};

TEST_P(ParallelLoop, EveryIndexExactlyOnce) {
  for (std::size_t min_len : {0, 1, 2, 3, 7, 64, 5000}) {
    for (std::size_t n : {0, 1, 2, 3, 4, 5, 7, 8, 9, 15, 16, 17, 100, 101, 1000, 1001, 4097}) {
      Counts counts(n);
      parallel_for(pool_, n, min_len, [&](std::size_t i) {
        ASSERT_LT(i, n);
        counts.hit(i);
      });
      ASSERT_EQ(counts.first_not(1), n) << "n=" << n << " min_len=" << min_len;
    }
  }
}

TEST_P(ParallelLoop, SplitLoopsRunOnWorkersOnly) {
  // The calling thread does no task work once the range splits (n / 2 >= min_len); below that it runs it all.
  struct Case {
    std::size_t n, min_len;
    bool on_caller;
  };
  for (const Case c : {Case{0, 1, true}, Case{1, 1, true}, Case{2, 1, false}, Case{1, 0, true},
                       Case{2, 0, false}, Case{9, 5, true}, Case{10, 5, false}, Case{1000, 600, true},
                       Case{1000, 500, false}, Case{50000, 1, false}}) {
    const std::thread::id caller = std::this_thread::get_id();
    std::atomic<std::size_t> on_caller{0}, on_pool{0}, elsewhere{0};
    parallel_for(pool_, c.n, c.min_len, [&](std::size_t) {
      if (std::this_thread::get_id() == caller) {
        on_caller.fetch_add(1);
      } else if (ThreadPool::current() == &pool_) {
        on_pool.fetch_add(1);
      } else {
        elsewhere.fetch_add(1);
      }
    });
    EXPECT_EQ(elsewhere.load(), 0u);
    EXPECT_EQ(on_caller.load(), c.on_caller ? c.n : 0) << "n=" << c.n << " min_len=" << c.min_len;
    EXPECT_EQ(on_pool.load(), c.on_caller ? 0 : c.n) << "n=" << c.n << " min_len=" << c.min_len;
  }
}

TEST_P(ParallelLoop, ResultsMatchASequentialLoopBitForBit) {
  // Shaped like the per-point loop: chunks of N / T points, each chunk writing its own slots.
  const std::size_t n = 100003;
  std::vector<double> xs(n);
  std::mt19937_64 rng(42);
  std::uniform_real_distribution<double> dist(-1e3, 1e3);
  for (double& x : xs) x = dist(rng);
  auto point = [&](std::size_t i) { return (xs[i] * 0.1 + xs[(i * 7) % n] / 3.0) / (1.0 + xs[i] * xs[i] * 1e-6); };
  std::vector<double> expected(n);
  for (std::size_t i = 0; i < n; ++i) expected[i] = point(i);

  const std::size_t chunk = n / pool_.num_threads();
  const std::size_t chunks = (n + chunk - 1) / chunk;
  std::vector<double> out(n, 0.0);
  parallel_for(pool_, chunks, 1, [&](std::size_t k) {
    for (std::size_t i = k * chunk; i < std::min(n, (k + 1) * chunk); ++i) out[i] = point(i);
  });
  EXPECT_EQ(0, std::memcmp(out.data(), expected.data(), n * sizeof(double)));

  std::vector<double> per_index(n, 0.0);
  parallel_for(pool_, n, 1, [&](std::size_t i) { per_index[i] = point(i); });
  EXPECT_EQ(0, std::memcmp(per_index.data(), expected.data(), n * sizeof(double)));
}

TEST_P(ParallelLoop, LowestFailingIndexIsReportedAfterEveryPieceFinished) {
  // Indices 10 and 600 fail; 600 fails first in time (10 waits), and index 550, which is in the other half of
  // the first split, is slow. A loop that cancelled, or that reported the first fault in time, or that returned
  // before every piece ended, would be caught below.
  const std::size_t n = 1000;
  std::vector<char> ran(n, 0);  // each slot written only by its own index
  std::atomic<int> started{0}, finished{0};
  std::atomic<bool> failed_600{false};
  std::string message;
  try {
    parallel_for(pool_, n, 1, [&](std::size_t i) {
      started.fetch_add(1);
      if (i == 10) {
        std::this_thread::sleep_for(20ms);
        finished.fetch_add(1);
        throw InternalFault("failure at 10");
      }
      if (i == 600) {
        failed_600.store(true);
        finished.fetch_add(1);
        throw InternalFault("failure at 600");
      }
      if (i == 550) std::this_thread::sleep_for(40ms);
      ran[i] = 1;
      finished.fetch_add(1);
    });
    FAIL() << "the loop did not fail";
  } catch (const InternalFault& fault) {
    message = fault.message();
  }
  EXPECT_EQ(message, "failure at 10");
  EXPECT_EQ(started.load(), finished.load());
  const int at_return = finished.load();
  std::this_thread::sleep_for(5ms);
  EXPECT_EQ(finished.load(), at_return) << "a task was still running when the loop returned";
  EXPECT_TRUE(failed_600.load());

  // Sequential pieces run ascending and stop at their fault, so what did not run is, for each failing index, a
  // (possibly empty) block right after it.
  for (std::size_t i = 0; i < n; ++i) {
    if (i == 10 || i == 600) continue;
    if (!ran[i]) {
      const std::size_t failing = i < 600 ? 10 : 600;
      ASSERT_GT(i, failing) << "index " << i << " did not run";
      for (std::size_t j = failing + 1; j < i; ++j) ASSERT_FALSE(ran[j]) << "gap at " << j << " before " << i;
    }
  }
  for (std::size_t i = 0; i < 10; ++i) EXPECT_TRUE(ran[i]) << i;
  for (std::size_t i = 500; i < 600; ++i) EXPECT_TRUE(ran[i]) << i;
}

TEST_P(ParallelLoop, AnyExceptionTypeIsCarried) {
  EXPECT_THROW(parallel_for(pool_, 100, 1, [](std::size_t i) { if (i == 77) throw std::out_of_range("x"); }),
               std::out_of_range);
  try {
    parallel_for(pool_, 100, 1, [](std::size_t i) { if (i % 10 == 3) throw static_cast<int>(i); });
    FAIL() << "the loop did not fail";
  } catch (int i) {
    EXPECT_EQ(i, 3);
  }
  // A fault does not leave the pool unusable.
  Counts counts(500);
  parallel_for(pool_, 500, 1, [&](std::size_t i) { counts.hit(i); });
  EXPECT_EQ(counts.first_not(1), 500u);
}

TEST_P(ParallelLoop, EveryIndexFailingReportsIndexZero) {
  std::atomic<int> calls{0};
  try {
    parallel_for(pool_, 257, 1, [&](std::size_t i) {
      calls.fetch_add(1);
      throw InternalFault("index " + std::to_string(i));
    });
    FAIL() << "the loop did not fail";
  } catch (const InternalFault& fault) {
    EXPECT_EQ(fault.message(), "index 0");
  }
  // Each piece stops at its first index, so there is one call per piece, and at least two pieces.
  EXPECT_GE(calls.load(), 2);
  EXPECT_LE(calls.load(), 257);
}

TEST_P(ParallelLoop, NestedLoopsRunOnTheSamePool) {
  const std::size_t outer = 60, inner = 1500;
  Counts counts(outer * inner);
  std::atomic<int> wrong_pool{0};
  parallel_for(pool_, outer, 1, [&](std::size_t o) {
    if (&current_pool() != &pool_ || current_num_threads() != pool_.num_threads()) wrong_pool.fetch_add(1);
    // Through the free function, as the per-point loop does from a per-polygon task.
    parallel_for(inner, 1, [&](std::size_t i) {
      if (ThreadPool::current() != &pool_) wrong_pool.fetch_add(1);
      counts.hit(o * inner + i);
    });
  });
  EXPECT_EQ(wrong_pool.load(), 0);
  EXPECT_EQ(counts.first_not(1), outer * inner);
}

TEST_P(ParallelLoop, ThreeLevelsOfNestingWithAFaultInside) {
  Counts counts(20 * 20 * 20);
  try {
    parallel_for(pool_, 20, 1, [&](std::size_t a) {
      parallel_for(pool_, 20, 1, [&](std::size_t b) {
        parallel_for(pool_, 20, 1, [&](std::size_t c) {
          const std::size_t i = (a * 20 + b) * 20 + c;
          if (i == 4321 || i == 5000) throw InternalFault("inner " + std::to_string(i));
          counts.hit(i);
        });
      });
    });
    FAIL() << "the loop did not fail";
  } catch (const InternalFault& fault) {
    EXPECT_EQ(fault.message(), "inner 4321");
  }
  // Everything a sequential loop would have done before meeting the fault ran exactly once; nothing ran twice.
  for (std::size_t i = 0; i < 4321; ++i) ASSERT_EQ(counts.at(i), 1) << i;
  for (std::size_t i = 4321; i < 8000; ++i) ASSERT_LE(counts.at(i), 1) << i;
}

TEST_P(ParallelLoop, DeeplyNestedLoops) {
  // Index 0 of every level opens the next level, so each worker keeps up to `depth` offered pieces at once.
  constexpr std::size_t depth = 200;
  Counts counts(2 * depth);
  std::function<void(std::size_t)> level = [&](std::size_t d) {
    parallel_for(pool_, 2, 1, [&, d](std::size_t i) {
      counts.hit(2 * d + i);
      if (i == 0 && d + 1 < depth) level(d + 1);
    });
  };
  level(0);
  EXPECT_EQ(counts.first_not(1), 2 * depth);
}

TEST_P(ParallelLoop, SeveralOutsideThreadsAtOnce) {
  const std::size_t threads = 4, loops = 100, n = 1000;
  std::vector<std::vector<int>> outputs(threads, std::vector<int>(n));
  std::atomic<int> failures{0};
  std::vector<std::thread> callers;
  for (std::size_t t = 0; t < threads; ++t) {
    callers.emplace_back([&, t] {
      for (std::size_t l = 0; l < loops; ++l) {
        std::vector<int>& out = outputs[t];
        parallel_for(pool_, n, 1, [&](std::size_t i) { out[i] += static_cast<int>(i + t); });
      }
      for (std::size_t i = 0; i < n; ++i) {
        if (outputs[t][i] != static_cast<int>(loops * (i + t))) failures.fetch_add(1);
      }
    });
  }
  for (std::thread& caller : callers) caller.join();
  EXPECT_EQ(failures.load(), 0);
}

TEST_P(ParallelLoop, ManySmallLoops) {
  std::mt19937 rng(7);
  std::uniform_int_distribution<std::size_t> length(0, 64);
  const auto deadline = std::chrono::steady_clock::now() + 3s;
  std::size_t loops = 0;
  for (; loops < 10000 && std::chrono::steady_clock::now() < deadline; ++loops) {
    const std::size_t n = length(rng);
    std::atomic<std::size_t> sum{0};
    parallel_for(pool_, n, 1, [&](std::size_t i) { sum.fetch_add(i + 1, std::memory_order_relaxed); });
    ASSERT_EQ(sum.load(), n * (n + 1) / 2) << "loop " << loops;
  }
  EXPECT_GE(loops, 1000u);
}

INSTANTIATE_TEST_SUITE_P(Sizes, ParallelLoop, ::testing::Values(1, 2, 3, 8),
                         [](const auto& info) { return "T" + std::to_string(info.param); });

// ----- pool-level behaviour ------------------------------------------------------------------------------------

TEST(ParallelPool, SingleWorkerRunsIndicesInOrder) {
  // One worker never loses a piece to a thief, so left-then-right processing yields ascending order.
  ThreadPool pool(1);
  for (std::size_t n : {2, 3, 100, 1001}) {
    std::vector<std::size_t> order;
    parallel_for(pool, n, 1, [&](std::size_t i) { order.push_back(i); });
    ASSERT_EQ(order.size(), n);
    for (std::size_t i = 0; i < n; ++i) ASSERT_EQ(order[i], i) << "n=" << n;
  }
}

TEST(ParallelPool, WorkIsSpreadOverWorkers) {
  ThreadPool pool(2);
  std::mutex mutex;
  std::set<std::thread::id> seen;
  parallel_for(pool, 64, 1, [&](std::size_t) {
    std::this_thread::sleep_for(1ms);
    std::lock_guard lock(mutex);
    seen.insert(std::this_thread::get_id());
  });
  EXPECT_EQ(seen.size(), 2u);
}

// From a thread outside the pool the job runs once, on a worker of the process-wide pool; on a worker it runs at
// once on that same thread; what it throws reaches the caller either way.
TEST(ParallelRunOnPool, OnceOnAWorkerAndItsFaultReachesTheCaller) {
  int runs = 0;
  ThreadPool* ran_on = nullptr;
  run_on_pool([&] {
    ++runs;
    ran_on = ThreadPool::current();
  });
  EXPECT_EQ(1, runs);
  EXPECT_EQ(&global_pool(), ran_on);

  ThreadPool pool(3);
  std::atomic<int> elsewhere{0};
  std::atomic<int> calls{0};
  parallel_for(pool, 50, 1, [&](std::size_t) {
    const std::thread::id me = std::this_thread::get_id();
    run_on_pool([&] {
      calls.fetch_add(1);
      if (std::this_thread::get_id() != me || ThreadPool::current() != &pool) elsewhere.fetch_add(1);
    });
  });
  EXPECT_EQ(50, calls.load());
  EXPECT_EQ(0, elsewhere.load());

  for (ThreadPool* on : {static_cast<ThreadPool*>(nullptr), &pool}) {
    std::string message = "no fault";
    auto throwing = [] { run_on_pool([] { throw InternalFault("job failed"); }); };
    try {
      if (on == nullptr) {
        throwing();
      } else {
        parallel_for(*on, 2, 1, [&](std::size_t i) {  // two indices: both run on workers
          if (i == 0) throwing();
        });
      }
    } catch (const InternalFault& f) {
      message = f.message();
    }
    EXPECT_EQ("job failed", message);
  }
}

TEST(ParallelPool, LoopFromAWorkerOfAnotherPool) {
  ThreadPool outer(2), inner(3);
  Counts counts(30 * 700);
  std::atomic<int> wrong{0};
  parallel_for(outer, 30, 1, [&](std::size_t o) {
    parallel_for(inner, 700, 1, [&](std::size_t i) {
      if (ThreadPool::current() != &inner) wrong.fetch_add(1);
      counts.hit(o * 700 + i);
    });
  });
  EXPECT_EQ(wrong.load(), 0);
  EXPECT_EQ(counts.first_not(1), 30u * 700u);
}

TEST(ParallelPool, LargePool) {
  ThreadPool pool(256);
  EXPECT_EQ(pool.num_threads(), 256u);
  Counts counts(100000);
  parallel_for(pool, 100000, 1, [&](std::size_t i) { counts.hit(i); });
  EXPECT_EQ(counts.first_not(1), 100000u);
}

TEST(ParallelPool, ZeroRequestedGivesOneWorker) {
  ThreadPool pool(0);
  EXPECT_EQ(pool.num_threads(), 1u);
  Counts counts(10);
  parallel_for(pool, 10, 1, [&](std::size_t i) { counts.hit(i); });
  EXPECT_EQ(counts.first_not(1), 10u);
}

TEST(ParallelPool, CreateAndDestroyRepeatedly) {
  for (int round = 0; round < 50; ++round) {
    ThreadPool pool(1 + round % 4);
    std::atomic<std::size_t> sum{0};
    parallel_for(pool, 100, 1, [&](std::size_t i) { sum.fetch_add(i); });
    ASSERT_EQ(sum.load(), 4950u);
  }
}

TEST(ParallelPool, WakesWorkersThatAreFallingAsleep) {
  // Loops separated by idle gaps of random length, so that work is often handed in just as the workers give up
  // spinning. A wake-up lost in that window leaves the caller blocked for good (the test then never ends).
  for (std::size_t size : {1, 2}) {
    ThreadPool pool(size);
    std::mt19937 rng(11);
    std::uniform_int_distribution<int> gap_us(0, 400);
    const auto deadline = std::chrono::steady_clock::now() + 1s;
    std::size_t loops = 0;
    while (std::chrono::steady_clock::now() < deadline) {
      std::atomic<int> calls{0};
      parallel_for(pool, 2, 1, [&](std::size_t) { calls.fetch_add(1); });
      ASSERT_EQ(calls.load(), 2);
      const auto until = std::chrono::steady_clock::now() + std::chrono::microseconds(gap_us(rng));
      while (std::chrono::steady_clock::now() < until) {
      }
      ++loops;
    }
    EXPECT_GT(loops, 100u);
  }
}

TEST(ParallelPool, IdleWorkersSleep) {
  ThreadPool pool(2);
  parallel_for(pool, 1000, 1, [](std::size_t) {});
  std::this_thread::sleep_for(200ms);
  const std::clock_t before = std::clock();
  std::this_thread::sleep_for(300ms);
  const double busy = static_cast<double>(std::clock() - before) / CLOCKS_PER_SEC;
  EXPECT_LT(busy, 0.05) << "idle workers used " << busy << " s of CPU in 0.3 s";
}

// ----- the process-wide pool ----------------------------------------------------------------------------------

TEST(ParallelGlobalPool, FreeFunctionsUseIt) {
  ThreadPool& pool = global_pool();
  EXPECT_EQ(ThreadPool::current(), nullptr);
  EXPECT_EQ(&global_pool(), &pool);
  EXPECT_EQ(&current_pool(), &pool);
  EXPECT_EQ(current_num_threads(), pool.num_threads());
  Counts counts(5000);
  std::atomic<int> wrong{0};
  parallel_for(5000, 1, [&](std::size_t i) {
    if (ThreadPool::current() != &pool) wrong.fetch_add(1);
    counts.hit(i);
  });
  EXPECT_EQ(wrong.load(), 0);
  EXPECT_EQ(counts.first_not(1), 5000u);
}

#if defined(KORVEX_TEST_TSAN)
#define KORVEX_SKIP_FORK_UNDER_TSAN() GTEST_SKIP() << "fork-based test skipped under ThreadSanitizer"
#else
#define KORVEX_SKIP_FORK_UNDER_TSAN() (void)0
#endif
#if defined(KORVEX_TEST_SANITIZED)
#define KORVEX_SKIP_RLIMIT_UNDER_SANITIZERS() GTEST_SKIP() << "address-space limit skipped under sanitizers"
#else
#define KORVEX_SKIP_RLIMIT_UNDER_SANITIZERS() (void)0
#endif

TEST(ParallelGlobalPool, ForkedChildBuildsItsOwnPoolFromItsEnvironment) {
  KORVEX_SKIP_FORK_UNDER_TSAN();
  // The parent's pool exists and has just been busy when the child is forked.
  parallel_for(10000, 1, [](std::size_t) {});
  run_in_child([] {
    ::setenv("RAYON_NUM_THREADS", "3", 1);
    Counts counts(10000);
    parallel_for(10000, 1, [&](std::size_t i) { counts.hit(i); });
    if (counts.first_not(1) != 10000) return 1;
    if (current_num_threads() != 3) return 2;
    // Read once, at creation.
    ::setenv("RAYON_NUM_THREADS", "5", 1);
    parallel_for(100, 1, [](std::size_t) {});
    if (current_num_threads() != 3) return 3;
    return 0;
  });
  // The parent's pool is unaffected.
  Counts counts(1000);
  parallel_for(1000, 1, [&](std::size_t i) { counts.hit(i); });
  EXPECT_EQ(counts.first_not(1), 1000u);
}

TEST(ParallelGlobalPool, ForkFromInsideAWorker) {
  KORVEX_SKIP_FORK_UNDER_TSAN();
  ThreadPool pool(2);
  std::atomic<int> status{-1};
  parallel_for(pool, 2, 1, [&](std::size_t i) {
    if (i != 0) return;
    std::fflush(nullptr);
    const pid_t pid = ::fork();
    if (pid == 0) {
      ::alarm(20);
      // The forking thread was a worker of the parent; in the child it is a plain thread.
      if (ThreadPool::current() != nullptr) ::_exit(1);
      Counts counts(3000);
      parallel_for(3000, 1, [&](std::size_t k) { counts.hit(k); });
      ::_exit(counts.first_not(1) == 3000 ? 0 : 2);
    }
    int st = 0;
    ::waitpid(pid, &st, 0);
    status.store(WIFEXITED(st) ? WEXITSTATUS(st) : 100 + (WIFSIGNALED(st) ? WTERMSIG(st) : 0));
  });
  EXPECT_EQ(status.load(), 0);
}

#if !defined(KORVEX_TEST_SANITIZED)
// Leaves room for a few 2 MiB stacks only, so that starting many workers fails part-way.
bool limit_address_space() {
  std::ifstream statm("/proc/self/statm");
  unsigned long pages = 0;
  if (!(statm >> pages)) return false;
  const rlim_t now = static_cast<rlim_t>(pages) * static_cast<rlim_t>(::sysconf(_SC_PAGESIZE));
  rlimit limit{};
  ::getrlimit(RLIMIT_AS, &limit);
  limit.rlim_cur = now + 12 * 1024 * 1024;
  return ::setrlimit(RLIMIT_AS, &limit) == 0;
}

std::size_t thread_count() {
  std::size_t count = 0;
  for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator("/proc/self/task")) ++count;
  return count;
}
#endif

TEST(ParallelPoolCreation, FailureStopsTheStartedWorkers) {
  KORVEX_SKIP_RLIMIT_UNDER_SANITIZERS();
#if !defined(KORVEX_TEST_SANITIZED)
  run_in_child([] {
    if (thread_count() != 1) return 1;
    if (!limit_address_space()) return 2;
    try {
      ThreadPool pool(64);
      return 3;
    } catch (const InternalFault& fault) {
      if (std::string(fault.what()).find("of 64") == std::string::npos) return 4;
    }
    // The workers that did start have been joined.
    if (thread_count() != 1) return 5;
    return 0;
  });
#endif
}

TEST(ParallelPoolCreation, GlobalPoolFailsOnceAndForAll) {
  KORVEX_SKIP_RLIMIT_UNDER_SANITIZERS();
#if !defined(KORVEX_TEST_SANITIZED)
  run_in_child([] {
    ::setenv("RAYON_NUM_THREADS", "64", 1);
    rlimit before{};
    ::getrlimit(RLIMIT_AS, &before);
    if (!limit_address_space()) return 2;
    const std::string prefix = "The global thread pool has not been initialized.";
    std::string first, second;
    try {
      parallel_for(5000, 1, [](std::size_t) {});
      return 3;
    } catch (const InternalFault& fault) {
      first = fault.message();
    }
    // With room again, creation is still not retried.
    ::setrlimit(RLIMIT_AS, &before);
    try {
      current_num_threads();
      return 4;
    } catch (const InternalFault& fault) {
      second = fault.message();
    }
    if (first.rfind(prefix, 0) != 0 || first.size() <= prefix.size()) return 5;
    if (second != first) return 6;
    if (thread_count() != 1) return 7;
    // An explicit pool still works.
    ThreadPool pool(2);
    Counts counts(100);
    parallel_for(pool, 100, 1, [&](std::size_t i) { counts.hit(i); });
    return counts.first_not(1) == 100 ? 0 : 8;
  });
#endif
}

}  // namespace
}  // namespace korvex::parallel
