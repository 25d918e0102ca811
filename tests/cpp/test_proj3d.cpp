// Unit tests of the projection mathematics: matrices, the per-point rule on every instruction-set build and on
// the pool, clipping and the inverse. Results are compared bit for bit with references written from the rules.
#include <gtest/gtest.h>

#include <array>
#include <bit>
#include <cfenv>
#include <cmath>
#include <cstdint>
#include <functional>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "common/fault.hpp"
#include "test_support.hpp"
#include "proj3d/matrix.hpp"
#include "proj3d/point_rule.hpp"
#include "proj3d/projection.hpp"
#include "parallel/thread_pool.hpp"

namespace {

using korvex::testing::fault_of;
using korvex::testing::kIdentity;
using korvex::testing::kInf;
using korvex::testing::kNaN;
using korvex::testing::same_bits;

using korvex::InternalFault;
using korvex::proj3d::Matrix4;
using korvex::proj3d::MatrixView;
using korvex::proj3d::PointsOut;
using korvex::proj3d::PointsView;
using korvex::proj3d::Projection;
using korvex::proj3d::view_of;
namespace proj3d = korvex::proj3d;

constexpr double kDenorm = 5e-324;

bool pos_zero(double v) { return v == 0.0 && !std::signbit(v); }

// ---- references ----

struct Point3 {
  double x, y, z;
};

Point3 reference_point(const Matrix4& m, double x, double y, double z) {
  const double p[4] = {x, y, z, 1.0};
  double v[4];
  for (int r = 0; r < 4; ++r) {
    v[r] = 0.0;
    for (int c = 0; c < 4; ++c) v[r] = v[r] + m[r * 4 + c] * p[c];
  }
  if (v[3] == 0.0) return {0.0, 0.0, 0.0};
  return {v[0] / v[3], v[1] / v[3], v[2] / v[3]};
}

// Gauss-Jordan with partial pivoting; `lowest_row_wins` false reverses the tie rule, to prove that a test can
// tell the two apart.
Matrix4 reference_invert(const double* src, std::size_t cols, bool lowest_row_wins = true) {
  double a[4][4], inv[4][4] = {};
  for (int r = 0; r < 4; ++r) {
    for (int c = 0; c < 4; ++c) a[r][c] = src[r * cols + c];
    inv[r][r] = 1.0;
  }
  for (int j = 0; j < 4; ++j) {
    int s = j;
    for (int r = j + 1; j < 3 && r < 4; ++r) {
      const double mag = std::fabs(a[r][j]), best = std::fabs(a[s][j]);
      if (lowest_row_wins ? mag > best : mag >= best) s = r;
    }
    for (int c = 0; c < 4; ++c) std::swap(a[j][c], a[s][c]), std::swap(inv[j][c], inv[s][c]);
    const double pivot = a[j][j];
    for (int c = 0; c < 4; ++c) a[j][c] /= pivot, inv[j][c] /= pivot;
    for (int r = 0; r < 4; ++r) {
      if (r == j) continue;
      const double f = a[r][j];
      for (int c = 0; c < 4; ++c) a[r][c] -= a[j][c] * f, inv[r][c] -= inv[j][c] * f;
    }
  }
  Matrix4 out;
  for (int k = 0; k < 16; ++k) out[k] = inv[k / 4][k % 4];
  return out;
}

// ---- data covering the special cases of IEEE arithmetic ----

double mixed_value(std::mt19937_64& rng, double special_share) {
  static const double specials[] = {0.0, -0.0, 1.0, -1.0, kInf, -kInf, kNaN, kDenorm, -kDenorm, 1e-310, 1e308,
                                    -1e308, 0.5};
  if (std::uniform_real_distribution<double>(0, 1)(rng) < special_share) {
    return specials[std::uniform_int_distribution<std::size_t>(0, std::size(specials) - 1)(rng)];
  }
  return std::ldexp(std::uniform_real_distribution<double>(-1.0, 1.0)(rng),
                    std::uniform_int_distribution<int>(-30, 30)(rng));
}

struct Points {
  std::vector<double> xs, ys, zs;
  std::size_t size() const { return xs.size(); }
  PointsView view() const { return {xs.data(), xs.size(), ys.data(), ys.size(), zs.data(), zs.size()}; }
};

Points random_points(std::size_t n, std::uint64_t seed, double special_share) {
  std::mt19937_64 rng(seed);
  Points p;
  for (std::size_t i = 0; i < n; ++i) {
    p.xs.push_back(mixed_value(rng, special_share));
    p.ys.push_back(mixed_value(rng, special_share));
    p.zs.push_back(mixed_value(rng, special_share));
  }
  return p;
}

struct Out {
  std::vector<double> x, y, z;
  explicit Out(std::size_t n) : x(n, 7.0), y(n, 7.0), z(n, 7.0) {}
  PointsOut view() { return {x.data(), y.data(), z.data()}; }
};

Matrix4 view_matrix() {
  const Matrix4 persp = proj3d::persp_transformation(-1.0, 1.0, 1.7);
  const Matrix4 world = proj3d::world_transformation(-3.0, 5.0, -1.0, 2.5, 0.25, 9.0, nullptr, 0);
  Matrix4 m{};
  for (int k = 0; k < 16; ++k) {
    for (int j = 0; j < 4; ++j) m[k] = m[k] + persp[k / 4 * 4 + j] * world[j * 4 + k % 4];
  }
  return m;
}

// An ordinary view; random entries with specials; a zero weight row; weights of both signs (w = -x).
std::vector<Matrix4> test_matrices() {
  std::mt19937_64 rng(7);
  Matrix4 special;
  for (double& v : special) v = mixed_value(rng, 0.4);
  Matrix4 zero_weight = view_matrix();
  zero_weight[12] = zero_weight[13] = zero_weight[14] = zero_weight[15] = 0.0;
  const Matrix4 signed_weight = {2, 0, 0, 1e308, 0, 3, 0, kInf, 0, 0, -1, 0.5, -1, 0, 0, 0};
  return {view_matrix(), special, zero_weight, signed_weight};
}

void expect_reference(const Matrix4& m, const Points& p, const Out& out) {
  for (std::size_t i = 0; i < p.size(); ++i) {
    const Point3 e = reference_point(m, p.xs[i], p.ys[i], p.zs[i]);
    ASSERT_TRUE(same_bits(e.x, out.x[i]) && same_bits(e.y, out.y[i]) && same_bits(e.z, out.z[i])) << "point " << i;
  }
}

// ============================================================================================================
// Matrices: entries checked bit for bit (signs of zeros included)

struct MatrixCase {
  const char* name;
  std::function<Matrix4()> build;
  std::vector<std::tuple<int, int, double>> entries;  // row, column, value
};

class Proj3dMatrices : public ::testing::TestWithParam<MatrixCase> {};

TEST_P(Proj3dMatrices, Entries) {
  const Matrix4 m = GetParam().build();
  for (const auto& [r, c, value] : GetParam().entries) {
    EXPECT_TRUE(same_bits(value, m[r * 4 + c])) << "[" << r << "][" << c << "]";
  }
}

Matrix4 world(double xmin, double xmax, std::vector<double> aspect = {}) {
  return proj3d::world_transformation(xmin, xmax, 0, 1, 0, 1, aspect.data(), aspect.size());
}

INSTANTIATE_TEST_SUITE_P(
    Table, Proj3dMatrices,
    ::testing::Values(
        // The unit box maps to the identity; the translations are (-0)/1 = -0.0.
        MatrixCase{"world_unit_box", [] { return world(0, 1); },
                   {{0, 0, 1.0}, {2, 2, 1.0}, {3, 3, 1.0}, {0, 3, -0.0}, {1, 3, -0.0}, {2, 3, -0.0}, {3, 0, 0.0}}},
        MatrixCase{"world_aspect", [] { return world(0, 4, {2, 1, 1}); }, {{0, 0, 0.5}, {1, 1, 1.0}}},
        MatrixCase{"world_shifted", [] { return world(1, 3); }, {{0, 0, 0.5}, {0, 3, -0.5}}},
        // (-xmin)/dx is a division of its own: (1/dx)*(-xmin) would end in ...55.
        MatrixCase{"world_separate_division", [] { return world(0.3, 1.0); }, {{0, 3, -0.4285714285714286}}},
        MatrixCase{"world_empty_range", [] { return world(2, 2); }, {{0, 0, kInf}, {0, 3, -kInf}}},
        MatrixCase{"world_empty_range_at_zero", [] { return world(0, 0); }, {{0, 0, kInf}, {0, 3, kNaN}}},
        MatrixCase{"world_zero_aspect", [] { return world(0, 1, {0, 1, 1}); }, {{0, 0, 0.0}, {0, 3, -0.0}}},
        MatrixCase{"persp_example", [] { return proj3d::persp_transformation(1, 3, 2); },
                   {{0, 0, 2}, {1, 1, 2}, {2, 2, -2}, {2, 3, 3}, {3, 2, -1}, {3, 3, 0}, {0, 1, 0}}},
        MatrixCase{"persp_equal_planes", [] { return proj3d::persp_transformation(1, 1, 2); },
                   {{2, 2, kInf}, {2, 3, -kInf}}},
        // The product overflows before the division; dividing first would stay finite.
        MatrixCase{"persp_product_first", [] { return proj3d::persp_transformation(1e200, 5e199, 1); },
                   {{2, 3, -kInf}}},
        MatrixCase{"ortho_opposite_planes", [] { return proj3d::ortho_transformation(-10, 10); },
                   {{0, 0, 2}, {1, 1, 2}, {2, 2, -2}, {3, 2, -0.0}, {3, 3, 20}}},
        // -(zfront - zback), not zback - zfront.
        MatrixCase{"ortho_equal_planes", [] { return proj3d::ortho_transformation(1, 1); },
                   {{3, 2, -2}, {3, 3, -0.0}}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Proj3dMatricesTest, AspectOnlyWithExactlyThreeValues) {
  const Matrix4 plain = proj3d::world_transformation(-1, 7, 2, 3, -5, 0.5, nullptr, 0);
  for (const std::vector<double>& aspect : {std::vector<double>{}, {2.0}, {2.0, 3.0}, {2.0, 3.0, 4.0, 5.0}}) {
    const Matrix4 m = proj3d::world_transformation(-1, 7, 2, 3, -5, 0.5, aspect.data(), aspect.size());
    for (int k = 0; k < 16; ++k) EXPECT_TRUE(same_bits(plain[k], m[k])) << aspect.size() << " values";
  }
}

// ============================================================================================================
// The per-point rule

TEST(Proj3dTransformPoint, RowSumsAgainstReference) {
  const auto v = Projection::transform_point({-0.0, -0.0, -0.0, -0.0}, view_of(kIdentity));
  for (double c : v) EXPECT_TRUE(pos_zero(c));  // sums start at +0.0
  const auto w = Projection::transform_point({kInf, 2.0, 3.0, 1.0}, view_of(kIdentity));
  EXPECT_TRUE(std::isnan(w[1]) && std::isnan(w[3]));  // 0 * inf is formed

  std::mt19937_64 rng(11);
  std::vector<double> wide(4 * 6);
  for (double& x : wide) x = mixed_value(rng, 0.3);
  for (int t = 0; t < 300; ++t) {
    const std::array<double, 4> p = {mixed_value(rng, 0.2), mixed_value(rng, 0.2), mixed_value(rng, 0.2),
                                     mixed_value(rng, 0.2)};
    const auto got = Projection::transform_point(p, MatrixView{wide.data(), 4, 6});
    for (int r = 0; r < 4; ++r) {
      double s = 0.0;
      for (int c = 0; c < 4; ++c) s = s + wide[r * 6 + c] * p[c];
      ASSERT_TRUE(same_bits(s, got[r]));
    }
  }
  EXPECT_EQ("index out of bounds: the len is 3 but the index is 3",
            fault_of([&] { Projection::transform_point({1, 2, 3, 1}, MatrixView{wide.data(), 4, 3}); }));
}

// Every instruction-set build against the reference, over lengths that end in every possible vector tail.
class Proj3dPointLoop : public ::testing::TestWithParam<proj3d::PointIsa> {};

TEST_P(Proj3dPointLoop, BitExactAgainstReference) {
  if (!proj3d::point_isa_available(GetParam())) GTEST_SKIP() << "not available on this machine";
  for (const Matrix4& m : test_matrices()) {
    for (std::size_t n : {0u, 1u, 2u, 3u, 4u, 5u, 7u, 8u, 9u, 17u, 100u, 1001u}) {
      const Points p = random_points(n, 1000 + n, 0.25);
      Out out(n);
      proj3d::project_points_with(GetParam(), p.xs.data(), p.ys.data(), p.zs.data(), m.data(), out.x.data(),
                                  out.y.data(), out.z.data(), n);
      expect_reference(m, p, out);
    }
  }
}

TEST_P(Proj3dPointLoop, RowOfNegativeZeroTermsSumsToPositiveZero) {
  if (!proj3d::point_isa_available(GetParam())) GTEST_SKIP() << "not available on this machine";
  // The unit-box world matrix has -0.0 translations; with x = -0.0 and y, z < 0 every term of row 0 is -0.0
  // and only the +0.0 start makes the sum +0.0 (likewise rows 1 and 2).
  // Nine points, so that every build runs them through its vector loop as well as its tail.
  const Matrix4 m = world(0, 1);
  Points p;
  for (int i = 0; i < 9; ++i) {
    p.xs.push_back(i % 3 == 0 ? -0.0 : -1.0);
    p.ys.push_back(i % 3 == 1 ? -0.0 : -1.0);
    p.zs.push_back(i % 3 == 2 ? -0.0 : -1.0);
  }
  Out out(9);
  proj3d::project_points_with(GetParam(), p.xs.data(), p.ys.data(), p.zs.data(), m.data(), out.x.data(),
                              out.y.data(), out.z.data(), 9);
  for (int i = 0; i < 9; ++i) {
    const double zero_term = i % 3 == 0 ? out.x[i] : i % 3 == 1 ? out.y[i] : out.z[i];
    EXPECT_TRUE(pos_zero(zero_term)) << "point " << i;
  }
}

// The row-table build: the same points stored as rows of 3 to 5 values (extra values are noise that must not be
// read as coordinates) give the bits of the column build, pairs interleaved.
TEST_P(Proj3dPointLoop, RowsMatchTheColumnBuild) {
  if (!proj3d::point_isa_available(GetParam())) GTEST_SKIP() << "not available on this machine";
  for (const Matrix4& m : test_matrices()) {
    for (std::size_t stride : {3u, 4u, 5u}) {
      for (std::size_t n : {0u, 1u, 2u, 3u, 4u, 5u, 7u, 9u, 1024u}) {
        const Points p = random_points(n, 2000 + 10 * n + stride, 0.25);
        std::vector<double> rows(n * stride, kNaN);
        for (std::size_t k = 0; k < n; ++k) {
          rows[k * stride] = p.xs[k];
          rows[k * stride + 1] = p.ys[k];
          rows[k * stride + 2] = p.zs[k];
        }
        Out out(n);
        std::vector<double> xy(2 * n + 1, 42.0);  // one guard value after the pairs
        proj3d::project_rows_with(GetParam(), rows.data(), stride, n, m.data(), xy.data(), out.z.data());
        for (std::size_t k = 0; k < n; ++k) {
          out.x[k] = xy[2 * k];
          out.y[k] = xy[2 * k + 1];
        }
        expect_reference(m, p, out);
        ASSERT_EQ(42.0, xy[2 * n]) << "written past the last pair, n = " << n;
      }
    }
  }
}

// Builds that divide by a reciprocal must still give the quotient's own bits. With rows (1 0 0 0), (0 1 0 0),
// (0 0 0 1) and (0 0 1 0) a point (x, y, z) gives the quotients x/z, y/z and 1/z, so the divisions can be chosen:
// quotients next to a rounding midpoint, significands of all ones or none, and magnitudes at both ends of the
// range where a reciprocal is exact, mixed with zeros, subnormals, infinities and NaNs that need the division.
TEST_P(Proj3dPointLoop, HardQuotientsKeepTheirBits) {
  if (!proj3d::point_isa_available(GetParam())) GTEST_SKIP() << "not available on this machine";
  const Matrix4 m = {1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 0, 1, 0, 0, 1, 0};
  std::mt19937_64 rng(11);
  auto random_double = [&](int low_exponent, int high_exponent) {
    const std::uint64_t exponent = 1023 + low_exponent + rng() % (high_exponent - low_exponent + 1);
    return std::bit_cast<double>(exponent << 52 | (rng() & 0xFFFFFFFFFFFFF)) * (rng() & 1 ? -1.0 : 1.0);
  };
  const double edges[] = {0x1p-400, std::nextafter(0x1p-400, 0.0), std::nextafter(0x1p400, 0.0), 0x1p400,
                          0x1.fffffffffffffp0, 1.0, 0.0, -0.0, 4.9e-324, kInf, kNaN};
  Points p;
  for (std::size_t i = 0; i < 40000; ++i) {
    const double z = i % 3 == 0 ? std::bit_cast<double>((1023ull + rng() % 8) << 52 | ((1ull << 52) - 1 - rng() % 4))
                                : random_double(-300, 300);
    const double q = random_double(-4, 4);
    const double half_ulp = (std::nextafter(q, kInf) - q) / 2;
    // z * (q + half an ulp), rounded once: its quotient by z lies within a rounding error of a midpoint.
    const double near_midpoint = std::fma(z, q, z * half_ulp);
    p.xs.push_back(i % 97 == 5 ? edges[rng() % std::size(edges)] : near_midpoint);
    p.ys.push_back(i % 89 == 7 ? edges[rng() % std::size(edges)] : random_double(-390, 390));
    p.zs.push_back(i % 83 == 3 ? edges[rng() % std::size(edges)] : z);
  }
  // In every rounding mode, the reference rounding in the same mode.
  for (const int mode : {FE_TONEAREST, FE_TOWARDZERO, FE_UPWARD}) {
    std::fesetround(mode);
    Out out(p.size());
    proj3d::project_points_with(GetParam(), p.xs.data(), p.ys.data(), p.zs.data(), m.data(), out.x.data(),
                                out.y.data(), out.z.data(), p.size());
    std::vector<Point3> expected;
    for (std::size_t i = 0; i < p.size(); ++i) expected.push_back(reference_point(m, p.xs[i], p.ys[i], p.zs[i]));
    std::fesetround(FE_TONEAREST);
    for (std::size_t i = 0; i < p.size(); ++i) {
      ASSERT_TRUE(same_bits(expected[i].x, out.x[i]) && same_bits(expected[i].y, out.y[i]) &&
                  same_bits(expected[i].z, out.z[i]))
          << "point " << i << ", rounding mode " << mode;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(AllBuilds, Proj3dPointLoop,
                         ::testing::Values(proj3d::PointIsa::Scalar, proj3d::PointIsa::Sse2, proj3d::PointIsa::Avx,
                                           proj3d::PointIsa::Avx512),
                         [](const auto& info) {
                           return std::string(info.param == proj3d::PointIsa::Scalar ? "Scalar"
                                              : info.param == proj3d::PointIsa::Sse2 ? "Sse2"
                                              : info.param == proj3d::PointIsa::Avx  ? "Avx"
                                                                                     : "Avx512");
                         });

// ============================================================================================================
// proj_transform_vec

Out run_vec(const Points& p, const Matrix4& m) {
  Out out(p.size());
  Projection::proj_transform_vec(p.view(), view_of(m), out.view());
  return out;
}

class Proj3dTransformVec : public ::testing::TestWithParam<std::size_t> {};

// Around the pool threshold, and sizes that leave a short last chunk.
TEST_P(Proj3dTransformVec, MatchesReference) {
  for (const Matrix4& m : test_matrices()) {
    const Points p = random_points(GetParam(), 77 + GetParam(), 0.1);
    expect_reference(m, p, run_vec(p, m));
  }
}

INSTANTIATE_TEST_SUITE_P(Sizes, Proj3dTransformVec, ::testing::Values(1, 1000, 1001, 1003, 4097, 100003));

TEST(Proj3dTransformVecTest, CallingThreadAndPoolAgree) {
  const Matrix4 m = test_matrices()[1];
  const Points big = random_points(1001, 5, 0.2);
  const Points small{{big.xs.begin(), big.xs.end() - 1}, {big.ys.begin(), big.ys.end() - 1},
                     {big.zs.begin(), big.zs.end() - 1}};
  const Out a = run_vec(small, m), b = run_vec(big, m);
  for (std::size_t i = 0; i < 1000; ++i) {
    ASSERT_TRUE(same_bits(a.x[i], b.x[i]) && same_bits(a.y[i], b.y[i]) && same_bits(a.z[i], b.z[i])) << i;
  }
}

TEST(Proj3dTransformVecTest, PoolLargerThanPointSet) {
  // On a worker of a pool with more workers than points the chunk would round down to 0; it must be 1. Two loop
  // indices, so that the calling thread hands both to the pool.
  korvex::parallel::ThreadPool pool(1024);
  const Matrix4 m = view_matrix();
  const Points p = random_points(1001, 9, 0.0);
  std::vector<Out> out(2, Out(0));
  korvex::parallel::parallel_for(pool, 2, 1, [&](std::size_t k) { out[k] = run_vec(p, m); });
  for (const Out& o : out) expect_reference(m, p, o);
}

TEST(Proj3dTransformVecTest, ExtraValuesIgnoredAndEmptyInputReadsNothing) {
  const Matrix4 m = view_matrix();
  const Points p{{1.0, 2.0}, {3.0, 4.0, kNaN}, {5.0, 6.0, kNaN, kNaN}};
  const Out out = run_vec(p, m);
  const Point3 e = reference_point(m, 2.0, 4.0, 6.0);
  EXPECT_TRUE(same_bits(e.x, out.x[1]) && same_bits(e.z, out.z[1]));
  const double one = 1.0;
  EXPECT_NO_THROW(Projection::proj_transform_vec({}, MatrixView{&one, 1, 1}, {}));
  EXPECT_NO_THROW(proj3d::proj_transform_clip({}, MatrixView{&one, 1, 1}, 1.0, {}, nullptr));
}

struct FaultCase {
  const char* name;
  std::size_t nx, ny, nz, rows, cols;
  const char* message;
};

class Proj3dPointFaults : public ::testing::TestWithParam<FaultCase> {};

// The fault a point-by-point loop meets first (for each point: ys, then zs, then the matrix), raised before
// anything is written, on the calling thread and on the pool alike, by the plain and the clipped projection.
TEST_P(Proj3dPointFaults, FirstFaultAndNothingWritten) {
  const FaultCase& c = GetParam();
  const Points p{std::vector<double>(c.nx, 1.0), std::vector<double>(c.ny, 2.0), std::vector<double>(c.nz, 3.0)};
  const std::vector<double> mat(c.rows * c.cols, 0.5);
  const MatrixView m{mat.data(), c.rows, c.cols};
  Out out(c.nx);
  std::vector<char> mask(c.nx, 2);
  EXPECT_EQ(c.message, fault_of([&] { Projection::proj_transform_vec(p.view(), m, out.view()); }));
  EXPECT_EQ(c.message, fault_of([&] {
              proj3d::proj_transform_clip(p.view(), m, 1.0, out.view(), reinterpret_cast<bool*>(mask.data()));
            }));
  for (std::size_t i = 0; i < c.nx; ++i) {
    ASSERT_TRUE(out.x[i] == 7.0 && out.y[i] == 7.0 && out.z[i] == 7.0 && mask[i] == 2) << "wrote point " << i;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Table, Proj3dPointFaults,
    ::testing::Values(
        FaultCase{"ys_short", 5, 4, 5, 4, 4, "index out of bounds: the len is 4 but the index is 4"},
        FaultCase{"zs_short", 5, 5, 3, 4, 4, "index out of bounds: the len is 3 but the index is 3"},
        FaultCase{"zs_shorter_than_ys", 5, 4, 2, 4, 4, "index out of bounds: the len is 2 but the index is 2"},
        FaultCase{"ys_before_zs", 5, 2, 2, 4, 4, "index out of bounds: the len is 2 but the index is 2"},
        FaultCase{"few_rows", 5, 5, 5, 3, 4, "index out of bounds: the len is 3 but the index is 3"},
        FaultCase{"few_cols", 5, 5, 5, 4, 2, "index out of bounds: the len is 2 but the index is 3"},
        FaultCase{"matrix_before_later_y", 5, 2, 5, 1, 1, "index out of bounds: the len is 1 but the index is 3"},
        FaultCase{"first_y_before_matrix", 5, 0, 5, 1, 1, "index out of bounds: the len is 0 but the index is 0"},
        FaultCase{"pool_ys_short", 5000, 4999, 5000, 4, 4,
                  "index out of bounds: the len is 4999 but the index is 4999"},
        FaultCase{"pool_few_cols", 5000, 5000, 5000, 4, 3, "index out of bounds: the len is 3 but the index is 3"}),
    [](const auto& info) { return std::string(info.param.name); });

// ============================================================================================================
// Clipping

struct ClipCase {
  const char* name;
  double x, y, z;
  bool visible;
};

class Proj3dClip : public ::testing::TestWithParam<ClipCase> {};

// Under the identity the stored point is the input, so the bounds are tested directly. Infinite focal lengths
// switch clipping off; a NaN one does not.
TEST_P(Proj3dClip, InclusiveBoundsOnStoredValues) {
  const ClipCase& c = GetParam();
  for (double focal : {2.0, kNaN, kInf, -kInf}) {
    Out out(1);
    bool mask = std::isinf(focal) ? false : !c.visible;
    proj3d::proj_transform_clip(PointsView{&c.x, 1, &c.y, 1, &c.z, 1}, view_of(kIdentity), focal, out.view(), &mask);
    EXPECT_EQ(std::isinf(focal) || c.visible, mask) << "focal length " << focal;
  }
}

INSTANTIATE_TEST_SUITE_P(Table, Proj3dClip,
                         ::testing::Values(ClipCase{"corner", 1.0, -1.0, 0.0, true},
                                           ClipCase{"negative_zero_depth", -1.0, 1.0, -0.0, true},
                                           ClipCase{"x_one_ulp_out", 1.0000000000000002, 0.0, 0.0, false},
                                           ClipCase{"y_one_ulp_out", 0.0, -1.0000000000000002, 0.0, false},
                                           ClipCase{"depth_smallest_positive", 0.0, 0.0, kDenorm, false},
                                           ClipCase{"nan_x", kNaN, 0.0, 0.0, false},
                                           ClipCase{"nan_depth", 0.0, 0.0, kNaN, false}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(Proj3dClipTest, CoordinatesEqualProjTransformAndZeroWeightIsVisible) {
  for (const Matrix4& m : test_matrices()) {
    const Points p = random_points(3000, 31, 0.2);  // pooled in proj_transform_vec, never in the clip
    const Out vec = run_vec(p, m);
    Out out(3000);
    std::vector<char> mask(3000);
    proj3d::proj_transform_clip(p.view(), view_of(m), 0.5, out.view(), reinterpret_cast<bool*>(mask.data()));
    for (std::size_t i = 0; i < 3000; ++i) {
      ASSERT_TRUE(same_bits(vec.x[i], out.x[i]) && same_bits(vec.y[i], out.y[i]) && same_bits(vec.z[i], out.z[i]));
      const bool visible = std::fabs(out.x[i]) <= 1.0 && std::fabs(out.y[i]) <= 1.0 && out.z[i] <= 0.0;
      ASSERT_EQ(visible, mask[i] != 0) << "point " << i;
      const bool finite = std::isfinite(p.xs[i]) && std::isfinite(p.ys[i]) && std::isfinite(p.zs[i]);
      if (m[12] == 0.0 && m[13] == 0.0 && m[14] == 0.0 && m[15] == 0.0 && finite) {
        ASSERT_TRUE(mask[i] && pos_zero(out.x[i]) && pos_zero(out.z[i]));  // weight 0: (0, 0, 0), visible
      }
    }
  }
}

// ============================================================================================================
// Inverse

TEST(Proj3dInvert, MatchesReferenceOnRandomAndSpecialMatrices) {
  std::mt19937_64 rng(3);
  for (int t = 0; t < 400; ++t) {
    std::vector<double> wide(4 * 5);  // the fifth column is never read
    for (double& v : wide) v = mixed_value(rng, t < 200 ? 0.0 : 0.3);
    if (t % 7 == 0) wide[5] = wide[0];  // tied pivot magnitudes
    const Matrix4 got = proj3d::invert(MatrixView{wide.data(), 4, 5});
    const Matrix4 expected = reference_invert(wide.data(), 5);
    for (int k = 0; k < 16; ++k) ASSERT_TRUE(same_bits(expected[k], got[k])) << "matrix " << t << " entry " << k;
  }
}

TEST(Proj3dInvert, TiedPivotTakesLowestRow) {
  // First column (0, 5, 5, 1): rows 1 and 2 tie, and taking row 2 changes the rounding of the result.
  const Matrix4 a = {0, 1, 2, 3, 5, 0.1, 7, 1, 5, 3, 0.3, 2, 1, 1, 1, 0.7};
  const Matrix4 lowest = reference_invert(a.data(), 4, true), highest = reference_invert(a.data(), 4, false);
  ASSERT_NE(lowest, highest) << "the example does not tell the tie rules apart";
  const Matrix4 got = proj3d::invert(view_of(a));
  for (int k = 0; k < 16; ++k) EXPECT_TRUE(same_bits(lowest[k], got[k])) << "entry " << k;
}

TEST(Proj3dInvert, AllZeroGivesNaNAndSmallMatrixFaults) {
  for (double v : proj3d::invert(view_of(Matrix4{}))) EXPECT_TRUE(std::isnan(v));
  const double data[9] = {};
  EXPECT_EQ("index out of bounds: the len is 3 but the index is 3",
            fault_of([&] { proj3d::invert(MatrixView{data, 3, 3}); }));
  // The inversion runs, and checks the matrix, even without points.
  EXPECT_EQ("index out of bounds: the len is 3 but the index is 3",
            fault_of([&] { proj3d::inv_transform({}, MatrixView{data, 3, 3}, {}); }));
}

TEST(Proj3dInvTransform, ProjectsThroughTheInverseWithTheSameRule) {
  std::mt19937_64 rng(21);
  Matrix4 m;
  for (double& v : m) v = mixed_value(rng, 0.0);
  const Points p = random_points(2000, 23, 0.2);
  Out out(2000);
  proj3d::inv_transform(p.view(), view_of(m), out.view());
  expect_reference(reference_invert(m.data(), 4), p, out);

  const Points short_z{{1.0, 1.0}, {1.0, 1.0}, {1.0}};
  EXPECT_EQ("index out of bounds: the len is 1 but the index is 1",
            fault_of([&] { proj3d::inv_transform(short_z.view(), view_of(m), out.view()); }));
}

TEST(Proj3dInvTransform, UndoesTheForwardProjection) {
  const Matrix4 box = proj3d::world_transformation(0, 2, 0, 2, 0, 2, nullptr, 0);
  const Points diag{{0.0, 0.5, 1.0}, {0.0, 0.5, 1.0}, {0.0, 0.5, 1.0}};
  Out back(3);
  proj3d::inv_transform(diag.view(), view_of(box), back.view());
  EXPECT_EQ((std::vector<double>{0.0, 1.0, 2.0}), back.z);

  // Points inside the world box of view_matrix() and away from the eye plane, where the weight is far from 0.
  const Matrix4 m = view_matrix();
  std::mt19937_64 rng(17);
  Points p;
  for (int i = 0; i < 500; ++i) {
    p.xs.push_back(std::uniform_real_distribution<double>(-3.0, 5.0)(rng));
    p.ys.push_back(std::uniform_real_distribution<double>(-1.0, 2.5)(rng));
    p.zs.push_back(std::uniform_real_distribution<double>(2.0, 9.0)(rng));
  }
  const Out fwd = run_vec(p, m);
  Out bwd(500);
  proj3d::inv_transform(PointsView{fwd.x.data(), 500, fwd.y.data(), 500, fwd.z.data(), 500}, view_of(m), bwd.view());
  for (std::size_t i = 0; i < 500; ++i) {
    EXPECT_NEAR(p.xs[i], bwd.x[i], 1e-12 * 16) << i;
    EXPECT_NEAR(p.ys[i], bwd.y[i], 1e-12 * 16) << i;
    EXPECT_NEAR(p.zs[i], bwd.z[i], 1e-12 * 16) << i;
  }
}

}  // namespace
