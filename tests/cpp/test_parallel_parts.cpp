// Unit tests of the parts the pool is built from, each alone: the splitting rule, the job deque and the latch.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <limits>
#include <memory>
#include <optional>
#include <random>
#include <thread>
#include <vector>

#include "parallel/job_deque.hpp"
#include "parallel/latch.hpp"
#include "parallel/piece.hpp"

namespace korvex::parallel {
namespace {

using namespace std::chrono_literals;

// ----- the splitting rule ---------------------------------------------------------------------------------------

struct SplitCase {
  const char* name;
  Piece piece;
  bool moved;
  std::size_t pool_size, min_len;
  std::optional<Piece> left, right;  // nullopt: runs sequentially
};

class PieceSplit : public ::testing::TestWithParam<SplitCase> {};

TEST_P(PieceSplit, FollowsTheRule) {
  const SplitCase& c = GetParam();
  const std::optional<Halves> halves = c.piece.split(SplitRule(c.pool_size, c.min_len), c.moved);
  ASSERT_EQ(halves.has_value(), c.left.has_value());
  if (halves) {
    EXPECT_EQ(halves->left, *c.left);
    EXPECT_EQ(halves->right, *c.right);
  }
}

constexpr std::size_t kMax = std::numeric_limits<std::size_t>::max();

INSTANTIATE_TEST_SUITE_P(
    Table, PieceSplit,
    ::testing::Values(
        SplitCase{"Empty", {0, 0, 4}, false, 4, 1, {}, {}},
        SplitCase{"One", {5, 6, 4}, true, 4, 1, {}, {}},
        SplitCase{"TwoSplits", {5, 7, 4}, false, 4, 1, Piece{5, 6, 2}, Piece{6, 7, 2}},
        SplitCase{"MinLenZeroCountsAsOne", {0, 2, 1}, false, 4, 0, Piece{0, 1, 0}, Piece{1, 2, 0}},
        SplitCase{"HalfBelowMinLen", {0, 9, 4}, false, 4, 5, {}, {}},
        SplitCase{"HalfAtMinLen", {0, 10, 4}, false, 4, 5, Piece{0, 5, 2}, Piece{5, 10, 2}},
        SplitCase{"OddLengthLeftIsShorter", {7, 12, 3}, false, 3, 1, Piece{7, 9, 1}, Piece{9, 12, 1}},
        SplitCase{"BudgetOneSplitsToZero", {0, 100, 1}, false, 8, 1, Piece{0, 50, 0}, Piece{50, 100, 0}},
        SplitCase{"BudgetZeroRunsSequentially", {0, 100, 0}, false, 8, 1, {}, {}},
        SplitCase{"MovedWithBudgetZeroGetsT", {0, 100, 0}, true, 8, 1, Piece{0, 50, 8}, Piece{50, 100, 8}},
        SplitCase{"MovedKeepsHalfWhenLarger", {0, 100, 40}, true, 8, 1, Piece{0, 50, 20}, Piece{50, 100, 20}},
        SplitCase{"MovedTooSmallStillSequential", {0, 3, 0}, true, 8, 2, {}, {}},
        SplitCase{"PoolSizeZeroCountsAsOne", {0, 4, 0}, true, 0, 1, Piece{0, 2, 1}, Piece{2, 4, 1}},
        SplitCase{"NoOverflowAtTheTop", {kMax - 5, kMax, 2}, false, 2, 1, Piece{kMax - 5, kMax - 3, 1},
                  Piece{kMax - 3, kMax, 1}}),
    [](const auto& info) { return std::string(info.param.name); });

// Splits `piece` the way one thread does when nothing is ever moved, and appends the sequential pieces in order.
void leaves(const Piece& piece, const SplitRule& rule, std::vector<Piece>& out) {
  if (const std::optional<Halves> halves = piece.split(rule, false)) {
    leaves(halves->left, rule, out);
    leaves(halves->right, rule, out);
  } else {
    out.push_back(piece);
  }
}

TEST(PieceWhole, WorkThatStaysOnOneThreadIsCutIntoAtMostTwiceTPieces) {
  // The budget T halves at each level, so a piece that is never moved is cut 1 + floor(log2 T) times deep.
  struct Case {
    std::size_t pool_size, expected_pieces;
  };
  for (const Case c : {Case{1, 2}, Case{2, 4}, Case{3, 4}, Case{4, 8}, Case{7, 8}, Case{8, 16}, Case{65535, 65536}}) {
    const SplitRule rule(c.pool_size, 1);
    for (std::size_t n : {std::size_t{1} << 20, (std::size_t{1} << 20) + 12345}) {
      std::vector<Piece> out;
      leaves(Piece::whole(n, rule), rule, out);
      ASSERT_EQ(out.size(), c.expected_pieces) << "T=" << c.pool_size << " n=" << n;
      // The pieces tile [0, n) in order.
      std::size_t next = 0;
      for (const Piece& p : out) {
        ASSERT_EQ(p.lo, next);
        ASSERT_GE(p.size(), n / c.expected_pieces);
        next = p.hi;
      }
      EXPECT_EQ(next, n);
    }
  }
}

// ----- the job deque --------------------------------------------------------------------------------------------

void no_op(Job*, Worker*) noexcept {}

std::vector<Job> make_jobs(std::size_t n) { return std::vector<Job>(n, Job(&no_op)); }

TEST(JobDeque, OwnerWorksAtTheBottomThievesAtTheTop) {
  JobDeque deque;
  std::vector<Job> jobs = make_jobs(4);
  EXPECT_EQ(deque.pop(), nullptr);
  EXPECT_EQ(deque.steal(), nullptr);
  for (Job& job : jobs) ASSERT_TRUE(deque.push(&job));
  EXPECT_EQ(deque.size_hint(), 4u);
  EXPECT_EQ(deque.pop(), &jobs[3]);
  EXPECT_EQ(deque.steal(), &jobs[0]);
  // pop_if takes only the bottom job and leaves the deque alone otherwise.
  EXPECT_FALSE(deque.pop_if(&jobs[1]));
  EXPECT_FALSE(deque.pop_if(&jobs[3]));
  EXPECT_TRUE(deque.pop_if(&jobs[2]));
  EXPECT_EQ(deque.size_hint(), 1u);
  EXPECT_EQ(deque.steal(), &jobs[1]);
  EXPECT_FALSE(deque.pop_if(&jobs[1]));
  EXPECT_EQ(deque.pop(), nullptr);
  EXPECT_EQ(deque.size_hint(), 0u);
}

TEST(JobDeque, GrowsAcrossTheWrapOfTheRing) {
  // Steals first move the top off 0, so the jobs wrap around the 64-slot ring when it has to double, twice.
  JobDeque deque;
  std::vector<Job> jobs = make_jobs(300);
  for (std::size_t i = 0; i < 40; ++i) ASSERT_TRUE(deque.push(&jobs[i]));
  for (std::size_t i = 0; i < 30; ++i) ASSERT_EQ(deque.steal(), &jobs[i]);
  for (std::size_t i = 40; i < 300; ++i) ASSERT_TRUE(deque.push(&jobs[i]));
  EXPECT_EQ(deque.size_hint(), 270u);
  for (std::size_t i = 30; i < 150; ++i) ASSERT_EQ(deque.steal(), &jobs[i]) << i;
  for (std::size_t i = 300; i-- > 150;) ASSERT_EQ(deque.pop(), &jobs[i]) << i;
  EXPECT_EQ(deque.pop(), nullptr);
}

TEST(JobDeque, EveryJobIsTakenExactlyOnceUnderConcurrentThieves) {
  constexpr std::size_t kJobs = 20000;
  constexpr int kThieves = 3;
  std::vector<Job> jobs = make_jobs(kJobs);
  auto taken = std::make_unique<std::atomic<int>[]>(kJobs);
  auto take = [&](Job* job) { taken[static_cast<std::size_t>(job - jobs.data())].fetch_add(1); };
  JobDeque deque;
  std::atomic<bool> done{false};
  std::vector<std::thread> thieves;
  for (int t = 0; t < kThieves; ++t) {
    thieves.emplace_back([&] {
      while (!done.load()) {
        if (Job* job = deque.steal()) take(job);
      }
    });
  }
  // The owner pushes in bursts and pops part of each burst back, as nested loops do.
  std::mt19937 rng(3);
  std::size_t next = 0;
  while (next < kJobs) {
    const std::size_t burst = std::min<std::size_t>(1 + rng() % 16, kJobs - next);
    for (std::size_t k = 0; k < burst; ++k) ASSERT_TRUE(deque.push(&jobs[next++]));
    for (std::size_t k = rng() % (burst + 1); k > 0; --k) {
      if (Job* job = deque.pop()) take(job);
    }
  }
  while (Job* job = deque.pop()) take(job);
  done.store(true);
  for (std::thread& thief : thieves) thief.join();
  for (std::size_t i = 0; i < kJobs; ++i) ASSERT_EQ(taken[i].load(), 1) << "job " << i;
}

TEST(JobDeque, PopIfFailsOnceAThiefTookTheJob) {
  // The owner's join: offer the right half, run the left, then take the right half back unless a thief has it.
  // The stolen job's pointer is still in its slot, so only the indices can tell it is gone.
  JobDeque deque;
  std::vector<Job> jobs = make_jobs(2);
  ASSERT_TRUE(deque.push(&jobs[0]));
  ASSERT_TRUE(deque.push(&jobs[1]));
  std::thread([&] { EXPECT_EQ(deque.steal(), &jobs[0]); }).join();
  std::thread([&] { EXPECT_EQ(deque.steal(), &jobs[1]); }).join();
  EXPECT_FALSE(deque.pop_if(&jobs[1]));
  EXPECT_FALSE(deque.pop_if(&jobs[0]));
  EXPECT_EQ(deque.steal(), nullptr);
}

TEST(JobDeque, PopIfAndStealNeverBothTakeAJob) {
  // One thief races the owner's pop_if in every round, after a varying head start of the owner. (Which side wins
  // depends on the machine; that exactly one does must not.)
  JobDeque deque;
  std::vector<Job> jobs = make_jobs(1);
  std::atomic<int> turn{-1}, answered{-1};
  std::atomic<bool> stop{false};
  Job* stolen = nullptr;  // written by the thief before `answered`
  std::thread thief([&] {
    for (int seen = -1; !stop.load();) {
      const int now = turn.load();
      if (now == seen) continue;
      seen = now;
      stolen = deque.steal();
      answered.store(now);
    }
  });
  std::mt19937 rng(9);
  for (int round = 0; round < 20000; ++round) {
    ASSERT_TRUE(deque.push(&jobs[0]));
    turn.store(round);
    for (unsigned k = rng() % 2000; k > 0; --k) std::atomic_signal_fence(std::memory_order_seq_cst);
    const bool took_back = deque.pop_if(&jobs[0]);
    while (answered.load() != round) std::this_thread::yield();
    ASSERT_NE(took_back, stolen == &jobs[0]) << "round " << round;
    ASSERT_EQ(deque.size_hint(), 0u);
  }
  stop.store(true);
  thief.join();
}

// ----- the latch ------------------------------------------------------------------------------------------------

TEST(Sleeper, WakeFailsUnlessAsleep) {
  Sleeper sleeper;
  EXPECT_FALSE(sleeper.maybe_asleep());
  EXPECT_FALSE(sleeper.wake());
  int checks = 0;
  sleeper.sleep([&] {
    ++checks;
    return true;
  });
  EXPECT_EQ(checks, 1);
  EXPECT_FALSE(sleeper.maybe_asleep());
  // A failed wake() leaves nothing pending: the next sleep() really sleeps (and is woken below).
  std::atomic<bool> returned{false};
  std::thread t([&] {
    sleeper.sleep([] { return false; });
    returned.store(true);
  });
  while (!sleeper.maybe_asleep()) std::this_thread::yield();
  std::this_thread::sleep_for(20ms);
  EXPECT_FALSE(returned.load());
  // Once the hint is up, the sleeper holds its mutex until it waits, so the first wake() finds it asleep.
  EXPECT_TRUE(sleeper.wake());
  t.join();
  EXPECT_TRUE(returned.load());
  EXPECT_FALSE(sleeper.wake());
}

TEST(Latch, BlockingWaiterSeesWhatTheSetterWrote) {
  ThreadWaiter waiter;
  for (int round = 0; round < 500; ++round) {
    // The latch lives on the heap and is freed as soon as the wait returns: set() must not touch it afterwards.
    auto latch = std::make_unique<Latch>(&waiter);
    int payload = 0;  // plain memory, ordered only by the latch
    std::thread setter([&, l = latch.get()] {
      if (round % 2 == 0) std::this_thread::yield();
      payload = round + 1;
      l->set();
    });
    latch->wait_blocking();
    EXPECT_EQ(payload, round + 1);
    latch.reset();
    setter.join();
  }
}

TEST(Latch, SleepingWaiterIsNeverLeftAsleep) {
  // The waiter does what a worker does when it has nothing else to run: check, then sleep unless the latch is
  // set. A wake-up lost between its check and its sleep would leave it asleep; the watchdog then reports it (and
  // wakes it so that the test can end).
  Sleeper sleeper;
  std::mt19937 rng(5);
  for (int round = 0; round < 300; ++round) {
    // Freed by the waiter as soon as it sees the latch set: set() must not touch it after its store.
    auto* latch = new Latch(&sleeper);
    int payload = 0;
    std::atomic<bool> returned{false};
    std::thread waiter([&] {
      while (!latch->probe()) sleeper.sleep([&] { return latch->probe_seq_cst(); });
      delete latch;
      EXPECT_EQ(payload, round + 1);
      returned.store(true);
    });
    const auto gap = std::chrono::microseconds(rng() % 200);
    std::this_thread::sleep_for(gap);
    payload = round + 1;
    latch->set();
    const auto deadline = std::chrono::steady_clock::now() + 5s;
    while (!returned.load() && std::chrono::steady_clock::now() < deadline) std::this_thread::sleep_for(100us);
    EXPECT_TRUE(returned.load()) << "round " << round << ": the waiter missed the latch";
    while (!returned.load()) sleeper.wake();
    waiter.join();
  }
}

}  // namespace
}  // namespace korvex::parallel
