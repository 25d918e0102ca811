// Unit tests of get_proj's arithmetic (proj3d/mpl_view.hpp) and of the point collections' reductions
// (proj3d/mpl_points.hpp): the BLAS orders, Python's angle normalisation, the roll, the exceptions reported, the
// masks and the cases where a NumPy reduction's answer is not determined by the values.
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "common/fp_flags.hpp"
#include "proj3d/mpl_points.hpp"
#include "proj3d/mpl_view.hpp"
#include "test_support.hpp"

namespace {

namespace mpl = korvex::proj3d::mpl;
using korvex::testing::kInf;
using korvex::testing::kNaN;
using korvex::testing::same_bits;

// A fused multiply-add keeps the 2^-60 of kB * kB that a separate product drops.
constexpr double kB = 1.0 + 0x1p-30;

TEST(MplViewOrders, Gemv3SumsTheMiddleProductFirst) {
  const double a[9] = {-1, kB, 1e-16, 0, 0, 0, 0, 0, 0};
  const double x[3] = {1, kB, 1};
  double y[3];
  mpl::gemv3(a, x, y);
  const double blas = std::fma(1e-16, 1.0, std::fma(-1.0, 1.0, kB * kB)) + 0.0;
  ASSERT_NE(blas, std::fma(1e-16, 1.0, std::fma(kB, kB, -1.0)));  // the chain in index order
  EXPECT_TRUE(same_bits(blas, y[0]));
  EXPECT_TRUE(same_bits(0.0, y[1]));
  EXPECT_FALSE(std::signbit(y[1]));
}

TEST(MplViewOrders, Gemm4ChainsInIndexOrderAndNorm3Fuses) {
  double a[16] = {}, b[16] = {};
  a[0] = -1, a[1] = kB, a[2] = 1, a[3] = 1e-16;
  b[0] = 1, b[4] = kB, b[8] = -1, b[12] = 1;
  double c[16];
  mpl::gemm4(a, b, c);
  const double chain = std::fma(1e-16, 1.0, std::fma(1.0, -1.0, std::fma(kB, kB, -1.0)));
  ASSERT_NE(chain, (-1.0 + -1.0) + (kB * kB + 1e-16));  // dgemv's pairs
  EXPECT_TRUE(same_bits(chain, c[0]));

  const double x[3] = {-0.7365, -0.1629, -0.4821};
  const double fused = std::sqrt(std::fma(x[2], x[2], std::fma(x[1], x[1], x[0] * x[0])));
  ASSERT_NE(fused, std::sqrt((x[0] * x[0] + x[1] * x[1]) + x[2] * x[2]));
  EXPECT_TRUE(same_bits(fused, mpl::norm3(x)));
}

struct AngleCase {
  double in, out;  // Python: a = (a + 360) % 360; a - 360 if a > 180
};

class MplNormAngle : public ::testing::TestWithParam<AngleCase> {};

TEST_P(MplNormAngle, IsPythonsFloatModulo) { EXPECT_TRUE(same_bits(GetParam().out, mpl::norm_angle(GetParam().in))); }

INSTANTIATE_TEST_SUITE_P(Cases, MplNormAngle,
                         ::testing::Values(AngleCase{-400, -40}, AngleCase{540, 180}, AngleCase{-180, 180},
                                           AngleCase{181, -179}, AngleCase{-0.0, 0.0}, AngleCase{360, 0},
                                           AngleCase{719.5, -0.5}, AngleCase{-1e-300, 0.0}, AngleCase{1e17, -88}),
                         [](const auto& info) { return "case" + std::to_string(info.index); });

TEST(MplView, RollMovesTheVerticalAxisLast) {
  const double in[3] = {1, 2, 3};
  const double expected[3][3] = {{3, 1, 2}, {2, 3, 1}, {1, 2, 3}};  // np.roll(in, axis - 2)
  for (int axis = 0; axis < 3; ++axis) {
    double out[3];
    mpl::roll_to_vertical(in, axis, out);
    for (int k = 0; k < 3; ++k) EXPECT_EQ(expected[axis][k], out[k]) << axis;
  }
}

struct Libm {
  double (*f)(double);
};
double call(const void* context, double x) { return static_cast<const Libm*>(context)->f(x); }
double deg2rad(double x) { return x * (3.141592653589793 / 180.0); }
const Libm kDeg2rad{deg2rad}, kSin{[](double x) { return std::sin(x); }}, kCos{[](double x) { return std::cos(x); }};

TEST(MplView, ReportsTheExceptionsOfADegenerateCamera) {
  const mpl::ViewFunctions f{{call, &kDeg2rad}, {call, &kSin}, {call, &kCos}};
  const double identity[16] = {1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1};
  mpl::Camera camera{{1, 1, 1}, 2, 30, -60, 0, 10, 1};
  mpl::View view{};
  EXPECT_EQ(mpl::view_matrix(camera, identity, identity, f, view), 0u);
  EXPECT_TRUE(std::isfinite(view.m[0]) && std::isfinite(view.u[0]));
  camera.dist = 0;  // the eye at the centre: 0 / 0 normalising the view direction
  EXPECT_NE(mpl::view_matrix(camera, identity, identity, f, view) & korvex::kInvalid, 0u);
}

TEST(MplPoints, MasksAndTheirNaNs) {
  const double x[4] = {0.5, kNaN, 2, -0.5}, y[4] = {0, 0, 0, kInf}, z[4] = {0, 0, 0, 0};
  bool hidden[4] = {};
  mpl::hide_non_finite(x, y, z, 4, hidden);
  EXPECT_EQ((std::vector<bool>(hidden, hidden + 4)), (std::vector<bool>{false, true, false, true}));
  bool outside[4] = {};
  const double ends[2] = {1, -1}, nan_ends[2] = {kNaN, 1};
  mpl::hide_outside(x, y, z, 4, mpl::ViewLimits::from_intervals(ends, ends, ends), outside);
  EXPECT_EQ((std::vector<bool>(outside, outside + 4)), (std::vector<bool>{false, false, true, true}));
  bool none[4] = {};
  mpl::hide_outside(x, y, z, 4, mpl::ViewLimits::from_intervals(nan_ends, ends, ends), none);
  EXPECT_EQ((std::vector<bool>(none, none + 4)), (std::vector<bool>{false, false, false, true}));
}

TEST(MplPoints, MinimumIsUndeterminedOnlyForMixedZerosOrNaN) {
  const double values[4] = {0.0, 3.0, -0.0, -1.0};
  const bool first_three[4] = {true, true, true, false}, zeros[4] = {true, true, false, false};
  double result = 0;
  EXPECT_TRUE(mpl::min_value(values, nullptr, 4, result));
  EXPECT_EQ(-1.0, result);
  EXPECT_FALSE(mpl::min_value(values, first_three, 4, result));
  EXPECT_TRUE(mpl::min_value(values, zeros, 4, result));
  EXPECT_TRUE(same_bits(0.0, result));
  const double with_nan[2] = {1.0, kNaN};
  EXPECT_FALSE(mpl::min_value(with_nan, nullptr, 2, result));
}

TEST(MplPoints, DataScaleSquaresWithPow) {
  // ptp ** 2 is libm's pow, which rounds these squares differently from products (on glibc).
  const double a = 0x1.d8a79a8b50255p+0, b = 0x1.a66575b13e9acp-1, c = 0x1.e22e04270caa2p-1;
  volatile double two = 2.0;
  const double by_pow = std::sqrt((std::pow(a, two) + std::pow(b, two)) + std::pow(c, two));
  if (by_pow == std::sqrt((a * a + b * b) + c * c)) GTEST_SKIP() << "this libm's pow squares as products do";
  const double x[2] = {0, a}, y[2] = {b, 0}, z[2] = {0, c};
  const bool visible[2] = {true, true};
  double scale = 0;
  EXPECT_EQ(mpl::data_scale(x, y, z, visible, 2, scale), 0u);
  EXPECT_TRUE(same_bits(by_pow, scale));
}

}  // namespace
