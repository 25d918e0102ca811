// Matplotlib's polygon collection arithmetic: NumPy's sum order, the masked reductions, the reversed-argsort
// order, the outline layout, pool independence and the shading factors.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <numeric>
#include <random>
#include <vector>

#include "parallel/thread_pool.hpp"
#include "poly3d/mpl_polys.hpp"
#include "test_support.hpp"

namespace korvex::poly3d::mpl {
namespace {

using korvex::testing::kInf;
using korvex::testing::kNaN;
using korvex::testing::same_bits;

constexpr std::array<double, 16> kIdentity = {1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1};

// A C-ordered (n, nv, 3) grid.
struct Grid {
  std::size_t n, nv;
  std::vector<double> values;
  FaceGrid view() const {
    return FaceGrid{reinterpret_cast<const char*>(values.data()), n, nv, static_cast<std::ptrdiff_t>(24 * nv), 24, 8};
  }
};

Grid random_grid(std::size_t n, std::size_t nv, std::uint64_t seed) {
  std::mt19937_64 rng(seed);
  Grid g{n, nv, std::vector<double>(n * nv * 3)};
  for (double& v : g.values) v = std::uniform_real_distribution<double>(-3, 3)(rng);
  return g;
}

// Eight values whose pairwise sum differs from the left-to-right one in the last bit.
TEST(MplSum, PairwiseOrderFromEightValuesOn) {
  const std::vector<double> v = {1.0, 1e-16, 1e-16, 1e-16, 1e-16, 1e-16, 1e-16, 1e-16};
  double left = 0.0;
  for (double x : v) left += x;
  const double pairwise = ((1.0 + 1e-16) + (1e-16 + 1e-16)) + ((1e-16 + 1e-16) + (1e-16 + 1e-16));
  ASSERT_NE(left, pairwise);
  EXPECT_TRUE(same_bits(pairwise, numpy_sum(v.data(), 8)));
  EXPECT_TRUE(same_bits(left, numpy_sum(v.data(), 7) + 1e-16));
  // Above the block size the halves split at a multiple of 8: 200 values are summed as 96 + 104.
  std::vector<double> big(200);
  for (std::size_t i = 0; i < big.size(); ++i) big[i] = std::ldexp(1.0 + i, -static_cast<int>(i % 60));
  EXPECT_TRUE(same_bits(numpy_sum(big.data(), 96) + numpy_sum(big.data() + 96, 104), numpy_sum(big.data(), 200)));
  const double negative_zeros[2] = {-0.0, -0.0};
  EXPECT_TRUE(same_bits(0.0, numpy_sum(negative_zeros, 2)));
}

std::vector<std::size_t> order_of(const std::vector<double>& d) {
  korvex::poly3d::OrderScratch scratch;
  std::vector<std::size_t> order(d.size(), 999);
  order_farthest_first(d.data(), d.size(), order.data(), scratch);
  return order;
}

// Reference: indices sorted by (depth descending with NaN above all, index descending).
std::vector<std::size_t> reference_order(const std::vector<double>& d) {
  std::vector<std::size_t> idx(d.size());
  std::iota(idx.begin(), idx.end(), 0);
  auto rank = [&](std::size_t i) { return std::isnan(d[i]) ? kInf : d[i]; };
  std::sort(idx.begin(), idx.end(), [&](std::size_t a, std::size_t b) {
    const bool na = std::isnan(d[a]), nb = std::isnan(d[b]);
    if (na != nb) return na;
    if (!na && rank(a) != rank(b)) return rank(a) > rank(b);
    return a > b;
  });
  return idx;
}

TEST(MplOrder, ReversedStableArgsortOnEverySize) {
  EXPECT_EQ((std::vector<std::size_t>{3, 1, 4, 0, 2}), order_of({0.0, 2.0, -1.0, kNaN, -0.0}));
  for (std::size_t n : {0u, 1u, 17u, 64u, 65u, 5000u}) {
    std::mt19937_64 rng(n);
    std::vector<double> d(n);
    for (double& v : d) {
      const int kind = std::uniform_int_distribution<int>(0, 9)(rng);
      v = kind == 0 ? kNaN : kind == 1 ? -kInf : kind == 2 ? -0.0 : std::uniform_int_distribution<int>(-4, 4)(rng);
    }
    EXPECT_EQ(reference_order(d), order_of(d)) << n;
  }
}

// Masking: invalid flags, non-finite coordinates and the clip box mask vertices; the masked reductions of NumPy
// give the depths (average over valid ones, 0 for no valid vertex; min/max with 1e20 for none).
TEST(MplProjection, MaskedReductionsAndOutlines) {
  Grid g{3, 3, {0, 0, 1, 0, 0, 2, 0, 0, 6,          // face 0: z 1, 2, 6
                 0, 0, 3, kNaN, 0, 5, 0, 0, 4,       // face 1: middle vertex not finite
                 0, 0, 7, 0, 0, 8, 0, 0, 9}};        // face 2: all flagged invalid
  const unsigned char flags[9] = {0, 0, 0, 0, 0, 0, 1, 1, 1};
  FaceProjectionInput in;
  in.faces = g.view();
  in.invalid = VertexFlags{reinterpret_cast<const char*>(flags), 3, 1};
  in.matrix = kIdentity;
  struct Case {
    ZSortMode mode;
    std::array<double, 3> depth;
    std::vector<std::size_t> order;
  };
  for (const Case& c : {Case{ZSortMode::Average, {3.0, 3.5, 0.0}, {1, 0, 2}},
                        Case{ZSortMode::Min, {1.0, 3.0, 1e20}, {2, 1, 0}},
                        Case{ZSortMode::Max, {6.0, 4.0, 1e20}, {2, 0, 1}}}) {
    in.zsort = c.mode;
    FaceProjection p;
    p.run(in);
    EXPECT_TRUE(p.needs_masking());
    EXPECT_EQ(c.order, p.order());
    for (int i = 0; i < 3; ++i) EXPECT_TRUE(same_bits(c.depth[i], p.depths()[i]));
    EXPECT_TRUE(p.any_valid());
    EXPECT_EQ(1.0, p.min_z());
  }
  FaceProjection p;
  in.zsort = ZSortMode::Average;
  p.run(in);
  std::vector<double> closed(3 * 4 * 2);
  p.write_closed(closed.data());
  // Face 1 (average 3.5) first; face 2 (all masked, average 0) last, all NaN.
  EXPECT_TRUE(same_bits(0.0, closed[0]));
  EXPECT_TRUE(std::isnan(closed[2]) && std::isnan(closed[3]));
  EXPECT_TRUE(same_bits(closed[0], closed[6]));
  for (std::size_t k = 16; k < 24; ++k) EXPECT_TRUE(std::isnan(closed[k]));
  double valid[6];
  EXPECT_EQ(2u, p.write_valid(0, valid));
  EXPECT_EQ(0u, p.write_valid(2, valid));
  // Every vertex's z when asked for, by face and vertex, masked ones 0 (as they enter the masked sum).
  EXPECT_TRUE(p.z().empty());
  in.keep_z = true;
  p.run(in);
  EXPECT_EQ((std::vector<double>{1, 2, 6, 3, 0, 4, 0, 0, 0}), p.z());
  in.keep_z = false;

  // The clip box masks face 0's z = 6; a weight of 0 divides unmasked (z / 0 is inf, 0 / 0 NaN).
  in.clip = true;
  in.box = ViewBox{-1, 1, -1, 1, 0, 5};
  in.invalid = VertexFlags{};
  in.matrix[15] = 0.0;  // w = 0 for every point
  FaceProjection q;
  q.run(in);
  EXPECT_TRUE(q.needs_masking());
  EXPECT_EQ(kInf, q.min_z());
  g.values[2] = 0.0;
  q.run(in);
  EXPECT_TRUE(std::isnan(q.min_z()));
  EXPECT_EQ(0u, q.order()[0]);
}

// Colours in drawing order: a list of one row per face is permuted; any other count stands for its repetition,
// whose rows below n all repeat the first.
TEST(MplProjection, GatherRowsInDrawingOrder) {
  Grid g{3, 1, {0, 0, 1, 0, 0, 3, 0, 0, 2}};
  FaceProjectionInput in;
  in.faces = g.view();
  in.matrix = kIdentity;
  FaceProjection p;
  p.run(in);
  ASSERT_EQ((std::vector<std::size_t>{1, 2, 0}), p.order());
  const double rows[6] = {10, 11, 20, 21, 30, 31};  // (3, 2), C order
  double out[6];
  p.gather_rows(reinterpret_cast<const char*>(rows), 3, 2, 16, 8, out);
  EXPECT_EQ((std::vector<double>{20, 21, 30, 31, 10, 11}), std::vector<double>(out, out + 6));
  p.gather_rows(reinterpret_cast<const char*>(rows), 2, 2, 16, 8, out);  // two colours for three faces
  EXPECT_EQ((std::vector<double>{10, 11, 10, 11, 10, 11}), std::vector<double>(out, out + 6));
  p.gather_rows(reinterpret_cast<const char*>(rows), 3, 1, 8, 16, out);  // columns at a stride: 10, 30 | 11, 31...
  EXPECT_EQ((std::vector<double>{11, 20, 10}), std::vector<double>(out, out + 3));
}

TEST(MplProjection, NoMaskingAndFullyMasked) {
  Grid g = random_grid(5, 4, 3);
  FaceProjectionInput in;
  in.faces = g.view();
  in.matrix = kIdentity;
  FaceProjection p;
  p.run(in);
  EXPECT_FALSE(p.needs_masking());
  double smallest = kInf;
  for (std::size_t k = 2; k < g.values.size(); k += 3) smallest = std::min(smallest, g.values[k]);
  EXPECT_EQ(smallest, p.min_z());
  for (double& v : g.values) v = kInf;
  p.run(in);
  EXPECT_TRUE(p.needs_masking());
  EXPECT_FALSE(p.any_valid());
}

// NumPy would warn: a quotient that overflows (even of a masked vertex), or an average's sum meeting inf - inf;
// a zero weight (inf or NaN) does not count, as Matplotlib ignores divide and invalid there.
TEST(MplProjection, WhereNumpyWouldWarn) {
  Grid g{2, 3, {1e10, 0, 0, 1, 0, 0, 0, 1, 0, /**/ 0, 0, 1, 0, 0, 2, 0, 0, 3}};
  FaceProjectionInput in;
  in.faces = g.view();
  in.matrix = kIdentity;
  FaceProjection p;
  p.run(in);
  EXPECT_FALSE(p.numpy_warns());
  in.matrix[15] = 1e-300;  // w = 1e-300: 1e10 / w overflows
  p.run(in);
  EXPECT_TRUE(p.numpy_warns());
  const unsigned char flags[6] = {1, 0, 0, 0, 0, 0};
  in.invalid = VertexFlags{reinterpret_cast<const char*>(flags), 3, 1};
  p.run(in);
  EXPECT_TRUE(p.numpy_warns());
  in.invalid = VertexFlags{};
  in.matrix = kIdentity;
  in.matrix[15] = 0.0;  // every weight 0: inf and NaN, no warning
  p.run(in);
  EXPECT_FALSE(p.numpy_warns());
  // Weight 0 with z = 1, -2, 3 in one face: the depth sum is inf - inf.
  g.values[14] = -2.0;
  p.run(in);
  EXPECT_TRUE(p.numpy_warns());
  in.zsort = ZSortMode::Max;  // np.max meets no sum
  p.run(in);
  EXPECT_FALSE(p.numpy_warns());
  const double big[8] = {1e308, 1e308, -1e308, kInf, 0, 0, 0, 0};
  EXPECT_TRUE(numpy_sum_warns(big, 8));  // the first pair overflows before the inf
  EXPECT_FALSE(numpy_sum_warns(big + 2, 6));
}

// The same results for every pool size and for the sequential path.
TEST(MplProjection, IndependentOfPoolSize) {
  Grid g = random_grid(20000, 4, 9);
  g.values[7] = kNaN;
  std::vector<unsigned char> flags(20000 * 4, 0);
  flags[401] = 1;
  FaceProjectionInput in;
  in.faces = g.view();
  in.invalid = VertexFlags{reinterpret_cast<const char*>(flags.data()), 4, 1};
  in.matrix = {0.5, 0.1, 0.0, 0.2, -0.1, 0.7, 0.3, 0.0, 0.2, -0.3, 0.9, 0.1, 0.01, 0.02, -0.1, 4.0};
  in.keep_z = true;
  std::vector<std::vector<double>> outlines, zs;
  std::vector<std::vector<std::size_t>> orders;
  for (std::size_t threads : {1u, 2u, 5u}) {
    parallel::ThreadPool pool(threads);
    FaceProjection p;
    parallel::parallel_for(pool, 1, 1, [&](std::size_t) { p.run(in); });
    std::vector<double> out(20000 * 5 * 2);
    parallel::parallel_for(pool, 1, 1, [&](std::size_t) { p.write_closed(out.data()); });
    outlines.push_back(out);
    orders.push_back(p.order());
    zs.push_back(p.z());
  }
  for (std::size_t k = 1; k < orders.size(); ++k) {
    EXPECT_EQ(orders[0], orders[k]);
    EXPECT_EQ(0, std::memcmp(zs[0].data(), zs[k].data(), zs[0].size() * sizeof(double)));
    EXPECT_EQ(0, std::memcmp(outlines[0].data(), outlines[k].data(), outlines[0].size() * sizeof(double)));
  }
}

TEST(MplShading, NormalsAndFactors) {
  const double v1[3] = {-1, 0, 0}, v2[3] = {1, -1, 0};  // the triangle (0,0,0), (1,0,0), (0,1,0)
  bool overflow = false;
  EXPECT_EQ((std::array<double, 3>{0, 0, 1}), cross(v1, v2, overflow));
  EXPECT_FALSE(overflow);
  const double huge[3] = {1e300, 0, 0}, other[3] = {0, 1e300, 0};
  cross(huge, other, overflow);  // 1e300 * 1e300 overflows in the last component only
  EXPECT_TRUE(overflow);
  overflow = false;
  const double with_inf[3] = {0, 0, kInf}, unit[3] = {1, 0, 0};
  cross(with_inf, unit, overflow);  // inf * 1 is no overflow, but a non-finite operand is not judged
  EXPECT_TRUE(overflow);

  const double normals[9] = {0, 0, 2, 0, 0, 0, 0, 0, -1};
  const double light[3] = {0, 0, 1};
  double f[3];
  ASSERT_TRUE(shade_factors(normals, 3, light, DotRule::Fused102, f));
  EXPECT_TRUE(same_bits(0.3 + 1.0 * (1.0 - 0.3), f[0]));
  EXPECT_TRUE(same_bits(0.3 + 0.5 * (1.0 - 0.3), f[1]));  // a zero normal divides to NaN, taken as 0
  EXPECT_TRUE(same_bits(0.3, f[2]));
  EXPECT_FALSE(shade_factors(normals + 3, 1, light, DotRule::Fused102, f));
  const double big[3] = {1e200, 0, 0};
  EXPECT_FALSE(shade_factors(big, 1, light, DotRule::Fused012, f));
}

TEST(MplShading, DotRulesDiffer) {
  const double a[3] = {1.0 + 0x1p-30, 1.0 + 0x1p-29, 1.0};
  const double b[3] = {1.0 - 0x1p-30, -1.0, 0x1p-60};
  const double f012 = dot3(a, b, DotRule::Fused012), f102 = dot3(a, b, DotRule::Fused102);
  EXPECT_TRUE(same_bits(std::fma(a[2], b[2], std::fma(a[1], b[1], a[0] * b[0])), f012));
  EXPECT_TRUE(same_bits(std::fma(a[2], b[2], std::fma(a[0], b[0], a[1] * b[1])), f102));
  EXPECT_NE(f012, f102);
}

}  // namespace
}  // namespace korvex::poly3d::mpl
