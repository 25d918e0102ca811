// Unit tests of Matplotlib's per-point arithmetic (proj3d/mpl_rule.hpp): the two sum orders, the exceptions
// reported, the pieces run on the pool, the clip test and the inverse's column rule.
#include <gtest/gtest.h>

#include <cfenv>
#include <cmath>
#include <string>
#include <vector>

#include "proj3d/mpl_rule.hpp"
#include "test_support.hpp"

namespace {

namespace mpl = korvex::proj3d::mpl;
using korvex::testing::kIdentity;
using korvex::testing::kInf;
using korvex::testing::kNaN;
using korvex::testing::same_bits;

// Row 0 tells the orders apart: a fused multiply-add keeps the 2^-60 that a separate product drops, and the pairs
// cancel 1 against -1 before the tiny term joins. Row 3 is the weight 1.
constexpr double kB = 1.0 + 0x1p-30;
const double kOrders[16] = {-1, kB, 1, 1e-16, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1};

TEST(MplRuleSums, FusedChainForSeveralPointsPairsForOne) {
  const double x[2] = {1, 1}, y[2] = {kB, kB}, z[2] = {-1, -1};
  double tx[2], ty[2], tz[2];
  // dgemm: fma(1e-16, 1, fma(1, -1, fma(kB, kB, -1))) = 2^-29 + 2^-60 - 1 + 1e-16, rounded once per step.
  const double chain = std::fma(1e-16, 1.0, std::fma(1.0, -1.0, std::fma(kB, kB, -1.0)));
  // dgemv: (-1 * 1 + 1 * -1) + (kB * kB + 1e-16 * 1), each product rounded.
  const double pairs = (-1.0 + -1.0) + (kB * kB + 1e-16);
  ASSERT_NE(chain, pairs);
  EXPECT_EQ(mpl::project(kOrders, {x, y, z, nullptr}, 2, tx, ty, tz), 0u);
  EXPECT_TRUE(same_bits(chain, tx[0]));
  EXPECT_TRUE(same_bits(chain, tx[1]));
  EXPECT_EQ(mpl::project(kOrders, {x, y, z, nullptr}, 1, tx, ty, tz), 0u);
  EXPECT_TRUE(same_bits(pairs, tx[0]));
}

TEST(MplRuleSums, NegativeZeroSumsComeOutPositive) {
  const double m[16] = {-1, -1, -1, -0.0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
  const double zero[3] = {0, 0, 0};
  double tx[3], ty[3], tz[3];
  for (std::size_t n : {1u, 3u}) {
    mpl::project(m, {zero, zero, zero, nullptr}, n, tx, ty, tz);
    EXPECT_FALSE(std::signbit(tx[0])) << n;
  }
}

struct FlagCase {
  const char* name;
  double x, w;
  unsigned raised;
};

class MplRuleFlags : public ::testing::TestWithParam<FlagCase> {};

TEST_P(MplRuleFlags, ReportsWhatTheArithmeticRaised) {
  const FlagCase c = GetParam();
  // x passes through row 0, the weight is the point's fourth row.
  const double m[16] = {1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1};
  for (std::size_t n : {1u, 5u}) {
    std::vector<double> x(n, c.x), one(n, 1.0), w(n, c.w), tx(n), ty(n), tz(n);
    EXPECT_EQ(mpl::project(m, {x.data(), one.data(), one.data(), w.data()}, n, tx.data(), ty.data(), tz.data()),
              c.raised)
        << "x " << c.x << " w " << c.w << " n " << n;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Table, MplRuleFlags,
    ::testing::Values(FlagCase{"finite", 2, 4, 0}, FlagCase{"quiet_nan", kNaN, 4, 0},
                      FlagCase{"inf_times_zero", kInf, 4, mpl::kInvalid},  // 0 * inf in the other rows
                      FlagCase{"zero_weight", 2, 0, mpl::kDivideByZero},
                      FlagCase{"zero_over_zero", 0, 0, mpl::kDivideByZero | mpl::kInvalid},  // 1 / 0 and 0 / 0
                      FlagCase{"nan_weight", 2, kNaN, 0}, FlagCase{"overflow", 1e300, 1e-300, mpl::kOverflow},
                      FlagCase{"underflow", 1e-300, 1e300, mpl::kUnderflow}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(MplRuleFlags, CallersFlagsSurviveAndNoneLeak) {
  std::feclearexcept(FE_ALL_EXCEPT);
  volatile double zero = 0.0;
  volatile double q = 1.0 / zero;  // the caller's own divide-by-zero
  (void)q;
  const double x[1] = {1e300}, tiny[1] = {1e-300};
  double tx[1], ty[1], tz[1];
  EXPECT_EQ(mpl::project(kIdentity.data(), {x, x, x, tiny}, 1, tx, ty, tz), mpl::kOverflow);
  EXPECT_TRUE(std::fetestexcept(FE_DIVBYZERO));
  EXPECT_FALSE(std::fetestexcept(FE_OVERFLOW));
  std::feclearexcept(FE_ALL_EXCEPT);
}

TEST(MplRulePool, PiecesGiveTheSequentialResultsAndReportOneBadPoint) {
  const std::size_t n = 3 * 16384 + 5;
  std::vector<double> x(n), y(n), z(n), tx(n), ty(n), tz(n);
  for (std::size_t i = 0; i < n; ++i) {
    x[i] = std::sin(i * 0.37);
    y[i] = std::cos(i * 0.11);
    z[i] = 0.5 + 1e-3 * static_cast<double>(i % 97);
  }
  const double m[16] = {0.3, -1.2, 0.7, 0.1, 1.1, 0.4, -0.2, 0.05, 0.2, 0.9, 1.3, -0.4, 0.15, -0.25, 0.6, 2.0};
  ASSERT_EQ(mpl::project(m, {x.data(), y.data(), z.data(), nullptr}, n, tx.data(), ty.data(), tz.data()), 0u);
  for (std::size_t i = 0; i < n; i += 1237) {
    const double w = mpl::gemm_row(m + 12, x[i], y[i], z[i], 1.0);
    ASSERT_TRUE(same_bits(mpl::gemm_row(m, x[i], y[i], z[i], 1.0) / w, tx[i])) << i;
    ASSERT_TRUE(same_bits(mpl::gemm_row(m + 8, x[i], y[i], z[i], 1.0) / w, tz[i])) << i;
  }
  // A point of weight 0 in the third piece: its worker's flags reach the caller.
  x[40000] = y[40000] = 0.0;
  z[40000] = (-2.0) / 0.6;
  const double zw[16] = {1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, 0.6, 2.0};
  EXPECT_NE(mpl::project(zw, {x.data(), y.data(), z.data(), nullptr}, n, tx.data(), ty.data(), tz.data()) &
                mpl::kDivideByZero,
            0u);
}

TEST(MplRuleClip, InclusiveBoundsAndNaNHidden) {
  const double tx[6] = {-1, 1, 1.0000000000000002, 0, kNaN, 0};
  const double ty[6] = {1, -1, 0, 0, 0, 0};
  const double tz[6] = {0, -0.0, -1, 1e-300, -1, kNaN};
  bool visible[6];
  mpl::in_view(tx, ty, tz, 6, visible);
  const bool expected[6] = {true, true, false, false, false, false};
  for (int i = 0; i < 6; ++i) EXPECT_EQ(visible[i], expected[i]) << i;
}

TEST(MplRuleInverse, ZeroWeightColumnsStaySummedOthersDivided) {
  // Weight = z: the first point has weight 0, the second NaN, the third 2, the fourth inf (inf / inf raises).
  const double m[16] = {1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, 1, 0};
  const double x[4] = {3, 3, 3, 3}, y[4] = {5, 5, 5, 5}, z[4] = {0, kNaN, 2, kInf};
  double rx[4], ry[4], rz[4];
  EXPECT_EQ(mpl::inverse(m, {x, y, z, nullptr}, 3, rx, ry, rz), 0u);
  EXPECT_TRUE(same_bits(3.0, rx[0]) && same_bits(0.0, rz[0]));
  EXPECT_TRUE(std::isnan(rx[1]) && std::isnan(ry[1]));
  EXPECT_TRUE(same_bits(1.5, rx[2]) && same_bits(2.5, ry[2]) && same_bits(1.0, rz[2]));
  EXPECT_EQ(mpl::inverse(m, {x, y, z, nullptr}, 4, rx, ry, rz), mpl::kInvalid);
}

}  // namespace
