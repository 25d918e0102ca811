// The invariants that KORVEX_ASSERT checks in test and sanitizer builds: breaking one stops the process with its
// message.
#include <gtest/gtest.h>

#include <cstddef>
#include <thread>

#include "parallel/job_deque.hpp"
#include "parallel/parallel_for.hpp"
#include "parallel/thread_pool.hpp"
#include "poly3d/collection.hpp"

namespace korvex {
namespace {

#if defined(KORVEX_CHECKED)
#define KORVEX_REQUIRE_CHECKED() (void)0
#else
#define KORVEX_REQUIRE_CHECKED() GTEST_SKIP() << "KORVEX_ASSERT is compiled out of this build"
#endif

class InvariantDeathTest : public ::testing::Test {
 protected:
  // Each death test runs in a freshly started copy of this program, not in a fork of a process with threads.
  void SetUp() override { GTEST_FLAG_SET(death_test_style, "threadsafe"); }
};

void no_op(parallel::Job*, parallel::Worker*) noexcept {}

TEST_F(InvariantDeathTest, OnlyTheOwnerPushesToADeque) {
  KORVEX_REQUIRE_CHECKED();
  EXPECT_DEATH(
      {
        parallel::JobDeque deque;
        parallel::Job job(&no_op);
        std::thread([&] { deque.push(&job); }).join();
      },
      "only the owner of a job deque may push or pop");
}

TEST_F(InvariantDeathTest, APoolIsNotDestroyedByItsOwnWorker) {
  KORVEX_REQUIRE_CHECKED();
  EXPECT_DEATH(
      {
        auto* pool = new parallel::ThreadPool(1);
        parallel::parallel_for(*pool, 2, 1, [&](std::size_t i) {
          if (i == 0) delete pool;
        });
      },
      "a pool is destroyed from one of its workers");
}

TEST_F(InvariantDeathTest, PolygonStoreIndexIsChecked) {
  KORVEX_REQUIRE_CHECKED();
  poly3d::PolygonSet polygons;
  polygons.add(3, 3);
  EXPECT_EQ(polygons[0].rows, 3u);
  EXPECT_DEATH(polygons[1], "polygon index out of range");
}

}  // namespace
}  // namespace korvex
