// Unit tests of the polygon collection: construction, depth reductions, the drawing order, the depth-sorted
// projection (calling thread and pool; a failure changes nothing) and shading.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "poly3d/collection.hpp"
#include "common/fault.hpp"
#include "parallel/parallel_for.hpp"
#include "parallel/thread_pool.hpp"
#include "poly3d/depth.hpp"
#include "poly3d/order.hpp"
#include "proj3d/matrix.hpp"
#include "test_support.hpp"

namespace {

using korvex::testing::fault_of;
using korvex::testing::kIdentity;
using korvex::testing::kInf;
using korvex::testing::kNaN;
using korvex::testing::same_bits;

using korvex::InternalFault;
using korvex::parallel::parallel_for;
using korvex::parallel::ThreadPool;
using korvex::poly3d::kParallelOrderThreshold;
using korvex::poly3d::order_by_depth;
using korvex::poly3d::KeyBounds;
using korvex::poly3d::key_depths;
using korvex::poly3d::order_keyed;
using korvex::poly3d::OrderScratch;
using korvex::poly3d::Poly3DCollection;
using korvex::poly3d::PolygonSet;
using korvex::poly3d::RgbaColor;
using korvex::poly3d::TieOrder;
using korvex::poly3d::ZSortMode;
using korvex::proj3d::Matrix4;
using korvex::proj3d::MatrixView;
using korvex::proj3d::view_of;
namespace detail = korvex::poly3d::detail;

constexpr ZSortMode kModes[] = {ZSortMode::Average, ZSortMode::Min, ZSortMode::Max};

// A polygon as rows of values; an empty polygon gets `empty_cols` columns.
using Rows = std::vector<std::vector<double>>;

PolygonSet make_set(const std::vector<Rows>& polygons, std::size_t empty_cols = 3) {
  PolygonSet set;
  for (const Rows& p : polygons) {
    double* out = set.add(p.size(), p.empty() ? empty_cols : p[0].size());
    for (const auto& row : p) out = std::copy(row.begin(), row.end(), out);
  }
  return set;
}

Poly3DCollection make_collection(const std::vector<Rows>& polygons) { return {make_set(polygons), {}, {}}; }

Matrix4 view_matrix() {
  const Matrix4 persp = korvex::proj3d::persp_transformation(-1.0, 1.0, 1.3);
  const Matrix4 world = korvex::proj3d::world_transformation(-2.0, 3.0, -1.0, 4.0, -6.0, -1.0, nullptr, 0);
  Matrix4 m{};
  for (int k = 0; k < 16; ++k) {
    for (int j = 0; j < 4; ++j) m[k] = m[k] + persp[k / 4 * 4 + j] * world[j * 4 + k % 4];
  }
  return m;
}

std::vector<Rows> random_polygons(std::size_t count, std::uint64_t seed, std::size_t max_rows = 12) {
  std::mt19937_64 rng(seed);
  std::uniform_real_distribution<double> value(-8.0, 8.0);
  std::vector<Rows> polys;
  for (std::size_t i = 0; i < count; ++i) {
    const std::size_t rows = std::uniform_int_distribution<std::size_t>(0, max_rows)(rng);
    const std::size_t cols = std::uniform_int_distribution<std::size_t>(3, 5)(rng);
    Rows p(rows, std::vector<double>(cols));
    for (auto& row : p) {
      for (double& v : row) v = value(rng);
    }
    polys.push_back(std::move(p));
  }
  return polys;
}

// ---- references written from the rules ----

double reference_mean(const std::vector<double>& v) {
  const std::size_t n = v.size(), blocked = n >= 8 ? n - n % 8 : 0;
  if (n == 0) return 0.0;
  double s[8] = {}, total = 0.0;
  for (std::size_t i = 0; i < blocked; ++i) s[i % 8] = s[i % 8] + v[i];
  if (n >= 8) total = (((0.0 + (s[0] + s[4])) + (s[1] + s[5])) + (s[2] + s[6])) + (s[3] + s[7]);
  for (std::size_t i = blocked; i < n; ++i) total = total + v[i];
  return total / static_cast<double>(n);
}

double reference_depth(const std::vector<double>& tz, ZSortMode mode) {
  if (mode == ZSortMode::Average) return reference_mean(tz);
  double best = mode == ZSortMode::Min ? kInf : -kInf;
  for (double v : tz) {
    if (!std::isnan(v) && (mode == ZSortMode::Min ? v < best : v > best)) best = v;
  }
  return best;
}

// The drawing order as the collection states it: a stable sort, NaN before everything, then descending depth.
std::vector<std::size_t> reference_order(const std::vector<double>& depths) {
  std::vector<std::size_t> order(depths.size());
  for (std::size_t i = 0; i < order.size(); ++i) order[i] = i;
  std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
    if (std::isnan(depths[a]) || std::isnan(depths[b])) return std::isnan(depths[a]) && !std::isnan(depths[b]);
    return depths[a] > depths[b];
  });
  return order;
}

// Outline and depth of every polygon against the per-point rule and the reductions, and the order.
void expect_reference(const std::vector<Rows>& polys, const Poly3DCollection& c, const Matrix4& m, ZSortMode mode) {
  ASSERT_EQ(polys.size(), c.segment_count());
  std::vector<double> depths;
  for (std::size_t i = 0; i < polys.size(); ++i) {
    const auto seg = c.segment(i);
    ASSERT_EQ(polys[i].size(), seg.rows);
    std::vector<double> tz;
    for (std::size_t k = 0; k < seg.rows; ++k) {
      double v[4];
      for (int r = 0; r < 4; ++r) {
        v[r] = 0.0;
        for (int col = 0; col < 4; ++col) v[r] = v[r] + m[r * 4 + col] * (col < 3 ? polys[i][k][col] : 1.0);
      }
      const bool zero = v[3] == 0.0;
      ASSERT_TRUE(same_bits(zero ? 0.0 : v[0] / v[3], seg.xy[2 * k])) << "polygon " << i << " vertex " << k;
      ASSERT_TRUE(same_bits(zero ? 0.0 : v[1] / v[3], seg.xy[2 * k + 1])) << "polygon " << i << " vertex " << k;
      tz.push_back(zero ? 0.0 : v[2] / v[3]);
    }
    depths.push_back(reference_depth(tz, mode));
    ASSERT_TRUE(same_bits(depths.back(), c.depths()[i])) << "depth of polygon " << i;
  }
  ASSERT_EQ(reference_order(depths), c.sort_order());
}

// ============================================================================================================
// Construction and settings

TEST(Poly3dSettings, ParseZsortExactNamesOnly) {
  EXPECT_EQ(ZSortMode::Average, korvex::poly3d::parse_zsort("average"));
  EXPECT_EQ(ZSortMode::Min, korvex::poly3d::parse_zsort("min"));
  EXPECT_EQ(ZSortMode::Max, korvex::poly3d::parse_zsort("max"));
  using namespace std::string_view_literals;
  for (std::string_view bad : {"MIN"sv, "Average"sv, "average "sv, " max"sv, ""sv, "maximum"sv, "min\0"sv}) {
    EXPECT_FALSE(korvex::poly3d::parse_zsort(bad).has_value()) << bad;
  }
}

TEST(Poly3dSettings, ZsortClearsSortZposNotTheOtherWay) {
  Poly3DCollection c = make_collection({{{0, 0, 1}}});
  c.set_sort_zpos(5.0);
  c.set_zsort(ZSortMode::Max);
  EXPECT_FALSE(c.sort_zpos().has_value());
  c.set_sort_zpos(-0.0);
  EXPECT_EQ(ZSortMode::Max, c.zsort());
  EXPECT_TRUE(same_bits(-0.0, c.sort_zpos().value()));
}

struct BroadcastCase {
  std::size_t polygons, colors, stored;  // `stored` copies of colour 0 unless it equals `colors`
};

class Poly3dBroadcast : public ::testing::TestWithParam<BroadcastCase> {};

TEST_P(Poly3dBroadcast, ColourListsAndEmptyResults) {
  const BroadcastCase& c = GetParam();
  std::vector<RgbaColor> colors;
  for (std::size_t i = 0; i < c.colors; ++i) colors.push_back({0.1 * double(i), 0.5, -2.0, kNaN});
  const Poly3DCollection col(make_set(std::vector<Rows>(c.polygons, Rows{{0, 0, 0}})), colors, {{1, 2, 3, 4}});
  ASSERT_EQ(c.stored, col.facecolors().size());
  for (std::size_t i = 0; i < c.stored; ++i) {
    const RgbaColor& want = c.stored == c.colors ? colors[i] : colors[0];
    for (int k = 0; k < 4; ++k) EXPECT_TRUE(same_bits(want[k], col.facecolors()[i][k])) << i;
  }
  EXPECT_EQ(std::max<std::size_t>(c.polygons, 1), col.edgecolors().size());  // edges broadcast on their own
  EXPECT_EQ(0u, col.segment_count());
  EXPECT_TRUE(col.depths().empty() && col.sort_order().empty());
  EXPECT_EQ(ZSortMode::Average, col.zsort());
  EXPECT_FALSE(col.sort_zpos().has_value());
}

INSTANTIATE_TEST_SUITE_P(Table, Poly3dBroadcast,
                         ::testing::Values(BroadcastCase{5, 2, 5}, BroadcastCase{5, 1, 5}, BroadcastCase{5, 5, 5},
                                           BroadcastCase{5, 7, 7}, BroadcastCase{5, 0, 0}, BroadcastCase{0, 3, 3}),
                         [](const auto& info) {
                           return "Polygons" + std::to_string(info.param.polygons) + "Colours" +
                                  std::to_string(info.param.colors);
                         });

// ============================================================================================================
// Depth reductions and the drawing order

TEST(Poly3dDepth, MeanUsesPartialSumsFromEightValuesOn) {
  // 1e16 has a spacing of 2: one by one every 1 is lost, in the partial sums they are kept.
  const std::vector<double> nine = {1e16, 1, 1, 1, 1, 1, 1, 1, 1};
  double plain = 0.0;
  for (double v : nine) plain += v;
  ASSERT_NE(plain / 9.0, reference_mean(nine)) << "the example does not tell the orders apart";
  EXPECT_TRUE(same_bits(reference_mean(nine), detail::average_depth(nine.data(), 9)));
  const std::vector<double> seven(nine.begin(), nine.begin() + 7);  // below eight: the plain sum
  EXPECT_TRUE(same_bits(1e16 / 7.0, detail::average_depth(seven.data(), 7)));
}

TEST(Poly3dDepth, ReductionsMatchReference) {
  std::mt19937_64 rng(5);
  for (std::size_t n = 0; n <= 41; ++n) {
    for (int t = 0; t < 20; ++t) {
      std::vector<double> v(n);
      for (double& x : v) {
        x = std::ldexp(std::uniform_real_distribution<double>(-1, 1)(rng),
                       std::uniform_int_distribution<int>(-60, 60)(rng));
      }
      if (n > 0 && t % 5 == 1) v[n / 2] = kNaN;
      if (n > 0 && t % 5 == 2) v[0] = -0.0;
      for (ZSortMode mode : kModes) {
        ASSERT_TRUE(same_bits(reference_depth(v, mode), detail::reduce_depth(v.data(), n, mode))) << n;
      }
    }
  }
}

// Quads averaged several at a time (eight per step where the processor has AVX-512) keep the sum of each quad's
// own mean, for every count around the vector width: four zeros of either sign, infinities, NaN and values whose
// sum depends on the order of its terms.
TEST(Poly3dDepth, QuadMeansMatchOneByOne) {
  std::mt19937_64 rng(9);
  const double specials[] = {-0.0, 0.0, kInf, -kInf, kNaN, 1e16, 1.0, -1e16, 4.9e-324};
  for (std::size_t count = 0; count <= 27; ++count) {
    std::vector<double> tz(4 * count);
    for (std::size_t k = 0; k < tz.size(); ++k) {
      tz[k] = rng() % 3 == 0 ? specials[rng() % std::size(specials)]
                             : std::ldexp(std::uniform_real_distribution<double>(-1, 1)(rng), int(rng() % 40) - 20);
    }
    if (count > 0) std::fill(tz.end() - 4, tz.end(), -0.0);  // a sum of -0.0 terms from +0.0 is +0.0
    std::vector<double> depths(count + 1, 42.0);
    detail::average_quads(tz.data(), count, depths.data());
    for (std::size_t k = 0; k < count; ++k) {
      ASSERT_TRUE(same_bits(detail::average_depth(tz.data() + 4 * k, 4), depths[k])) << count << ", quad " << k;
    }
    EXPECT_EQ(42.0, depths[count]) << "written past the last depth";
  }
}

struct ExtremeCase {
  const char* name;
  std::vector<double> values;
  double average, min, max;
};

class Poly3dDepthExtremes : public ::testing::TestWithParam<ExtremeCase> {};

TEST_P(Poly3dDepthExtremes, Values) {
  const ExtremeCase& c = GetParam();
  const double expected[] = {c.average, c.min, c.max};
  for (int k = 0; k < 3; ++k) {
    EXPECT_TRUE(same_bits(expected[k], detail::reduce_depth(c.values.data(), c.values.size(), kModes[k]))) << k;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Table, Poly3dDepthExtremes,
    ::testing::Values(ExtremeCase{"empty", {}, 0.0, kInf, -kInf},
                      ExtremeCase{"all_nan", {kNaN, kNaN}, kNaN, kInf, -kInf},
                      ExtremeCase{"nan_skipped", {kNaN, 2.0, kNaN, -1.0}, kNaN, -1.0, 2.0},
                      // Of equal values the earlier one stays; the sign of the zero shows which.
                      ExtremeCase{"positive_zero_first", {0.0, -0.0}, 0.0, 0.0, 0.0},
                      ExtremeCase{"negative_zero_first", {-0.0, 0.0}, 0.0, -0.0, -0.0},
                      ExtremeCase{"infinities", {kInf, -kInf}, kNaN, -kInf, kInf}),
    [](const auto& info) { return std::string(info.param.name); });

// Depths that exercise every part of the order: specials (NaN, signed zeros, infinities, subnormals), many exact
// ties, and widely spread exponents; or a dense cluster with far outliers, whose buckets must be split again and
// again; or a single value (every depth one tie group); or clumps of 1 to 80 depths a few ulps apart around values
// spread over a few binades (as a surface's symmetric quads give), so that the keys agree in all but their last
// bits by the dozen, a few dozen, and beyond 64, with exact ties among them.
enum class Spread { Mixed, Clustered, AllNaN, AllZero, Clumps };

std::vector<double> order_depths(std::size_t n, Spread spread, std::uint64_t seed) {
  static const double specials[] = {0.0, -0.0, kInf, -kInf, kNaN, 5e-324, -5e-324, 1e300};
  std::mt19937_64 rng(seed);
  std::vector<double> d(n);
  for (double& v : d) {
    const int kind = std::uniform_int_distribution<int>(0, 99)(rng);
    switch (spread) {
      case Spread::Mixed:
        v = kind < 10  ? specials[std::uniform_int_distribution<std::size_t>(0, std::size(specials) - 1)(rng)]
            : kind < 40 ? std::uniform_int_distribution<int>(-5, 5)(rng) * 0.25  // many ties
                        : std::ldexp(std::uniform_real_distribution<double>(-1, 1)(rng),
                                     std::uniform_int_distribution<int>(-40, 40)(rng));
        break;
      case Spread::Clustered:  // within a few ulps of 1.0 and within a millionth of it, plus rare outliers
        v = kind == 0  ? specials[std::uniform_int_distribution<std::size_t>(0, std::size(specials) - 1)(rng)]
            : kind < 50 ? 1.0 + std::uniform_int_distribution<int>(0, 40)(rng) * 0x1p-52
                        : 1.0 + std::uniform_real_distribution<double>(0, 1e-6)(rng);
        break;
      case Spread::AllNaN:
        v = kNaN;
        break;
      case Spread::AllZero:
        v = kind % 2 == 0 ? 0.0 : -0.0;
        break;
      case Spread::Clumps:
        break;
    }
  }
  if (spread == Spread::Clumps) {
    for (std::size_t i = 0; i < n;) {
      const double base = std::ldexp(std::uniform_real_distribution<double>(1, 2)(rng),
                                     std::uniform_int_distribution<int>(0, 4)(rng));
      const std::size_t size = std::uniform_int_distribution<std::size_t>(1, 80)(rng);
      for (std::size_t k = 0; k < size && i < n; ++k, ++i) {
        d[i] = base + std::uniform_int_distribution<int>(0, 6)(rng) * std::ldexp(0x1p-52, std::ilogb(base));
      }
    }
    std::shuffle(d.begin(), d.end(), rng);
  }
  return d;
}

// NaN first, then descending depth (+0.0 == -0.0), equal depths by index in the given direction: a total order,
// so any sort gives this one permutation.
std::vector<std::size_t> reference_order(const std::vector<double>& d, TieOrder ties) {
  std::vector<std::size_t> order(d.size());
  for (std::size_t i = 0; i < order.size(); ++i) order[i] = i;
  std::sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
    const bool nan_a = std::isnan(d[a]), nan_b = std::isnan(d[b]);
    if (nan_a != nan_b) return nan_a;
    if (!nan_a && d[a] != d[b]) return d[a] > d[b];
    return ties == TieOrder::AscendingIndex ? a < b : a > b;
  });
  return order;
}

class Poly3dOrder : public ::testing::TestWithParam<std::size_t> {};

// NaN first in ascending index, then descending depth, ties (+0.0 == -0.0 included) in ascending index; the
// scratch memory is reused across calls of different sizes.
TEST_P(Poly3dOrder, MatchesStableReference) {
  const std::size_t n = GetParam();
  OrderScratch scratch;
  for (std::uint64_t seed = 0; seed < 4; ++seed) {
    const std::vector<double> d = order_depths(n, Spread::Mixed, 100 * n + seed);
    std::vector<std::size_t> order(n, 12345);
    order_by_depth(d.data(), n, order.data(), TieOrder::AscendingIndex, scratch);
    ASSERT_EQ(reference_order(d), order) << "seed " << seed;
  }
}

INSTANTIATE_TEST_SUITE_P(Sizes, Poly3dOrder, ::testing::Values(0, 1, 2, 64, 65, 1000, 40000));

// The same permutation on pools of every size (the order runs on the pool of the worker that calls it), in both
// tie directions, for every spread of depths, across the pool threshold.
struct OrderCase {
  std::size_t n;
  Spread spread;
};

std::string spread_name(Spread spread) {
  static const char* const names[] = {"mixed", "clustered", "all_nan", "all_zero", "clumps"};
  return names[static_cast<int>(spread)];
}

class Poly3dOrderOnPools : public ::testing::TestWithParam<OrderCase> {};

TEST_P(Poly3dOrderOnPools, SamePermutationForEveryPoolSize) {
  const std::size_t n = GetParam().n;
  const std::vector<double> d = order_depths(n, GetParam().spread, n + static_cast<std::uint64_t>(GetParam().spread));
  for (const TieOrder ties : {TieOrder::AscendingIndex, TieOrder::DescendingIndex}) {
    const std::vector<std::size_t> expected = reference_order(d, ties);
    for (std::size_t threads : {1u, 2u, 3u, 8u}) {
      ThreadPool pool(threads);
      std::vector<std::size_t> order(n, 12345);
      parallel_for(pool, 1, 1, [&](std::size_t) { order_by_depth(d.data(), n, order.data(), ties); });
      ASSERT_EQ(expected, order) << threads << " threads, "
                                 << (ties == TieOrder::AscendingIndex ? "ascending" : "descending") << " ties";
      if (ties == TieOrder::DescendingIndex || n <= 64) continue;
      // The same order from keys made in uneven chunks, as parallel tasks make them.
      OrderScratch scratch;
      std::uint64_t* keys = scratch.keys_for(n);
      KeyBounds bounds;
      for (std::size_t first = 0; first < n; first += 1000 + first % 7) {
        bounds = bounds.merge(key_depths(d.data(), first, std::min(n, first + 1000 + first % 7), keys));
      }
      std::vector<std::size_t> keyed(n, 12345);
      bool tied = false;
      parallel_for(pool, 1, 1, [&](std::size_t) { tied = order_keyed(n, bounds, keyed.data(), scratch); });
      ASSERT_EQ(expected, keyed) << threads << " threads, keyed";
      EXPECT_EQ(order_by_depth(d.data(), n, order.data(), ties), tied);
    }
  }
}

// Whether the order has an exact tie, on every path (insertion, radix on one thread and on the pool, the tie
// group of NaN alone): distinct depths have none, and each kind of equal pair (equal numbers, +0.0 and -0.0, two
// NaN) placed anywhere makes one; one NaN among numbers, or neighbours an ulp apart, do not.
class Poly3dOrderTies : public ::testing::TestWithParam<std::size_t> {};

TEST_P(Poly3dOrderTies, ReportedExactly) {
  const std::size_t n = GetParam();
  std::mt19937_64 rng(n);
  std::vector<double> distinct(n);  // no zero among them
  for (std::size_t i = 0; i < n; ++i) distinct[i] = (i % 2 == 0 ? 1.0 : -1.0) * (static_cast<double>(i) + 0.5);
  std::shuffle(distinct.begin(), distinct.end(), rng);
  const std::size_t a = std::uniform_int_distribution<std::size_t>(0, n - 1)(rng);
  const std::size_t b = (a + 1 + std::uniform_int_distribution<std::size_t>(0, n - 2)(rng)) % n;
  const struct {
    const char* name;
    double at_a, at_b;  // the depths put at positions a and b
    bool tied;
  } cases[] = {
      {"distinct", distinct[a], distinct[b], false},
      {"one NaN", kNaN, distinct[b], false},
      {"an ulp apart", std::nextafter(distinct[b], kInf), distinct[b], false},
      {"equal", distinct[b], distinct[b], true},
      {"signed zeros", 0.0, -0.0, true},
      {"two NaN", kNaN, kNaN, true},
  };
  for (const auto& c : cases) {
    std::vector<double> d = distinct;
    d[a] = c.at_a;
    d[b] = c.at_b;
    for (std::size_t threads : {1u, 3u}) {
      ThreadPool pool(threads);
      std::vector<std::size_t> order(n);
      bool tied = !c.tied;
      parallel_for(pool, 1, 1, [&](std::size_t) {
        tied = order_by_depth(d.data(), n, order.data(), TieOrder::DescendingIndex);
      });
      EXPECT_EQ(c.tied, tied) << c.name << ", " << threads << " threads";
      EXPECT_EQ(reference_order(d, TieOrder::DescendingIndex), order) << c.name;
    }
  }
  const std::vector<double> all_nan(n, kNaN);
  std::vector<std::size_t> order(n);
  EXPECT_EQ(n > 1, order_by_depth(all_nan.data(), n, order.data(), TieOrder::AscendingIndex));
}

// Short runs of nearly equal keys are ranked by the best vector loop the processor has, else by a portable one:
// each gives the one order, for specials too, on one thread and on the pool.
TEST(Poly3dOrder, EveryVectorBuildGivesTheSameOrder) {
  using korvex::poly3d::detail::OrderIsa;
  for (const Spread spread : {Spread::Clumps, Spread::Mixed}) {
    const std::vector<double> d = order_depths(40000, spread, 7);
    std::vector<std::size_t> order(d.size());
    for (const OrderIsa cap : {OrderIsa::Portable, OrderIsa::Avx2, OrderIsa::Avx512}) {
      korvex::poly3d::detail::cap_order_isa(cap);
      for (std::size_t threads : {1u, 2u}) {
        ThreadPool pool(threads);
        for (const TieOrder ties : {TieOrder::AscendingIndex, TieOrder::DescendingIndex}) {
          bool tied = false;
          parallel_for(pool, 1, 1, [&](std::size_t) { tied = order_by_depth(d.data(), d.size(), order.data(), ties); });
          EXPECT_TRUE(tied);
          EXPECT_EQ(reference_order(d, ties), order)
              << spread_name(spread) << ", build " << static_cast<int>(cap) << ", " << threads << " threads";
        }
      }
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Sizes, Poly3dOrderTies,
                         ::testing::Values(2, 64, 65, 3000, kParallelOrderThreshold, 100003));

INSTANTIATE_TEST_SUITE_P(
    Table, Poly3dOrderOnPools,
    ::testing::Values(OrderCase{65, Spread::Mixed}, OrderCase{3000, Spread::Clustered},
                      OrderCase{kParallelOrderThreshold - 1, Spread::Mixed},
                      OrderCase{kParallelOrderThreshold, Spread::Mixed},
                      OrderCase{kParallelOrderThreshold, Spread::Clustered}, OrderCase{40000, Spread::AllNaN},
                      OrderCase{40000, Spread::AllZero}, OrderCase{100003, Spread::Mixed},
                      OrderCase{100003, Spread::Clustered}, OrderCase{3000, Spread::Clumps},
                      OrderCase{40000, Spread::Clumps}),
    [](const auto& info) { return spread_name(info.param.spread) + "_" + std::to_string(info.param.n); });

// ============================================================================================================
// Depth-sorted projection

class Poly3dProjection : public ::testing::TestWithParam<ZSortMode> {};

// Calling thread (up to 100 polygons) and pool (101 on), with polygons of 3 to 5 columns and empty ones; the
// polygon of 2500 vertices goes through the pooled point loop (nested on the pool in the larger collections).
TEST_P(Poly3dProjection, MatchesReferenceOnBothPaths) {
  const Matrix4 m = view_matrix();
  Rows big(2500, std::vector<double>{0, 0, 0, 42});
  std::mt19937_64 rng(10);
  for (auto& row : big) {
    for (int k = 0; k < 3; ++k) row[k] = std::uniform_real_distribution<double>(-5, 5)(rng);
  }
  for (std::size_t n : {1u, 7u, 100u, 101u, 1500u}) {
    std::vector<Rows> polys = random_polygons(n, 40 + n);
    polys[n / 2] = big;
    Poly3DCollection c = make_collection(polys);
    c.set_zsort(GetParam());
    c.do_3d_projection(view_of(m));
    expect_reference(polys, c, m, GetParam());
  }
}

// Runs of quads and of triangles (averaged several polygons at a time), one broken by an empty polygon and one by
// a pentagon, on the calling thread and on the pool; then collections of a single shape.
TEST_P(Poly3dProjection, RunsOfQuadsAndTriangles) {
  for (std::size_t n : {40u, 1000u}) {
    std::vector<Rows> polys;
    for (std::size_t i = 0; i < n; ++i) {
      const std::size_t rows = i < n / 2 ? 4 : 3;
      polys.push_back(random_polygons(1, 500 + i, rows)[0]);
      polys.back().resize(rows, std::vector<double>{1.0, 2.0, 3.0});
      for (auto& row : polys.back()) row.resize(3, 0.5);
    }
    polys[n / 4] = {};
    polys[3 * n / 4] = Rows(5, {0.25, -1.0, 2.0});
    Poly3DCollection c = make_collection(polys);
    c.set_zsort(GetParam());
    c.do_3d_projection(view_of(view_matrix()));
    expect_reference(polys, c, view_matrix(), GetParam());
  }
  // Collections of one shape are cut into runs without reading each polygon: quads of three columns, triangles of
  // four (rows farther apart than their coordinates), and a pentagon alone.
  for (const auto [n, rows, cols] : {std::array<std::size_t, 3>{1000, 4, 3}, {1000, 3, 4}, {301, 4, 5}, {1, 5, 3}}) {
    std::mt19937_64 rng(700 + n + rows);
    std::vector<Rows> polys(n, Rows(rows, std::vector<double>(cols)));
    for (Rows& p : polys) {
      for (auto& row : p) {
        for (double& v : row) v = std::uniform_real_distribution<double>(-8.0, 8.0)(rng);
      }
    }
    Poly3DCollection c = make_collection(polys);
    c.set_zsort(GetParam());
    c.do_3d_projection(view_of(view_matrix()));
    expect_reference(polys, c, view_matrix(), GetParam());
  }
}

// A collection past the order's pool threshold, projected on pools of several sizes: runs of polygons of one
// column count broken by other counts, by empty polygons without columns, by two polygons that do not fit one
// run together and by one of the pooled point loop; repeated polygons give exact ties.
TEST_P(Poly3dProjection, SameResultsOnEveryPoolSize) {
  std::vector<Rows> polys = random_polygons(kParallelOrderThreshold + 3000, 5, 6);
  for (std::size_t i = 1; i < polys.size(); i += 7) polys[i] = polys[i / 2];
  polys[300] = polys[301] = random_polygons(1, 9, 600)[0];
  polys[302] = Rows(600, polys[300][0]);
  polys[9000] = random_polygons(1, 10, 1500)[0];
  PolygonSet set;
  for (std::size_t i = 0; i < polys.size(); ++i) {
    const Rows& p = polys[i];
    double* out = set.add(p.size(), p.empty() ? i % 4 : p[0].size());  // empty polygons of 0 to 3 columns
    for (const auto& row : p) out = std::copy(row.begin(), row.end(), out);
  }
  Poly3DCollection c(std::move(set), {}, {});
  c.set_zsort(GetParam());
  for (std::size_t threads : {1u, 2u, 3u, 8u}) {
    ThreadPool pool(threads);
    parallel_for(pool, 1, 1, [&](std::size_t) { c.do_3d_projection(view_of(view_matrix())); });
    expect_reference(polys, c, view_matrix(), GetParam());
  }
}

INSTANTIATE_TEST_SUITE_P(Modes, Poly3dProjection, ::testing::ValuesIn(kModes), [](const auto& info) {
  return std::string(info.param == ZSortMode::Average ? "Average" : info.param == ZSortMode::Min ? "Min" : "Max");
});

TEST(Poly3dProjectionTest, HundredAndHundredAndOneAgree) {
  const std::vector<Rows> polys = random_polygons(101, 77);
  Poly3DCollection a = make_collection({polys.begin(), polys.begin() + 100});
  Poly3DCollection b = make_collection(polys);
  a.do_3d_projection(view_of(view_matrix()));
  b.do_3d_projection(view_of(view_matrix()));
  for (std::size_t i = 0; i < 100; ++i) {
    ASSERT_TRUE(same_bits(a.depths()[i], b.depths()[i]));
    ASSERT_EQ(a.segment(i).rows, b.segment(i).rows);
    for (std::size_t k = 0; k < 2 * a.segment(i).rows; ++k) ASSERT_TRUE(same_bits(a.segment(i).xy[k], b.segment(i).xy[k]));
  }
}

TEST(Poly3dProjectionTest, EmptyCollectionAndEmptyPolygons) {
  const double one = 1.0;
  Poly3DCollection none = make_collection({});
  none.set_sort_zpos(3.0);
  EXPECT_TRUE(std::isnan(none.do_3d_projection(MatrixView{&one, 1, 1})));
  EXPECT_EQ(0u, none.segment_count());

  // Empty polygons with no columns read nothing, so even a 1x1 matrix passes.
  Poly3DCollection empties(make_set({{}, {}}, 0), {}, {});
  EXPECT_TRUE(same_bits(0.0, empties.do_3d_projection(MatrixView{&one, 1, 1})));
  EXPECT_EQ(0u, empties.segment(1).rows);

  const double depth_of_empty[] = {0.0, kInf, -kInf};  // Average, Min (drawn first), Max (drawn last)
  for (int k = 0; k < 3; ++k) {
    Poly3DCollection c = make_collection({{}, {{0, 0, 0.5}}});
    c.set_zsort(kModes[k]);
    c.do_3d_projection(view_of(kIdentity));
    EXPECT_TRUE(same_bits(depth_of_empty[k], c.depths()[0]));
    EXPECT_EQ((std::vector<std::size_t>{k == 1 ? 0u : 1u, k == 1 ? 1u : 0u}), c.sort_order());
  }
}

TEST(Poly3dProjectionTest, NaNFirstThenDescendingTiesAscending) {
  // Identity and one vertex per polygon: the depth is the z value.
  Poly3DCollection c = make_collection({{{0, 0, 1.0}}, {{0, 0, kNaN}}, {{0, 0, 2.0}}, {{0, 0, 1.0}},
                                        {{0, 0, kNaN}}, {{0, 0, -3.0}}, {{0, 0, 2.0}}});
  EXPECT_EQ(-3.0, c.do_3d_projection(view_of(kIdentity)));  // a NaN past depths[0] is skipped
  EXPECT_EQ((std::vector<std::size_t>{1, 4, 2, 6, 0, 3, 5}), c.sort_order());
}

struct ResultCase {
  const char* name;
  std::vector<double> depths;
  std::optional<double> zpos;
  double expected;
};

class Poly3dProjectionResult : public ::testing::TestWithParam<ResultCase> {};

TEST_P(Poly3dProjectionResult, SortZposElseScannedMinimum) {
  std::vector<Rows> polys;
  for (double d : GetParam().depths) polys.push_back({{0, 0, d}});
  Poly3DCollection c = make_collection(polys);
  if (GetParam().zpos) c.set_sort_zpos(*GetParam().zpos);
  EXPECT_TRUE(same_bits(GetParam().expected, c.do_3d_projection(view_of(kIdentity))));
}

INSTANTIATE_TEST_SUITE_P(Table, Poly3dProjectionResult,
                         ::testing::Values(ResultCase{"nan_first", {kNaN, -1.0, 2.0}, std::nullopt, kNaN},
                                           ResultCase{"nan_later", {0.5, kNaN, -1.0}, std::nullopt, -1.0},
                                           ResultCase{"zpos", {0.5, -1.0}, 7.0, 7.0},
                                           ResultCase{"zpos_nan", {0.5, -1.0}, kNaN, kNaN},
                                           ResultCase{"zpos_negative_zero", {0.5}, -0.0, -0.0}),
                         [](const auto& info) { return std::string(info.param.name); });

// The minimum is found per task (in lanes) and folded: still the value of the scan from depths[0], and of the two
// zeros the earlier one, wherever the task and lane boundaries fall.
TEST(Poly3dProjectionTest, ScannedMinimumOnThePool) {
  // w = x, so vertex (x, 0, z) has depth z / x: zeros of either sign and infinities from finite coordinates.
  const Matrix4 m = {1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 1, 0, 0, 0};
  auto vertex = [](double depth) -> Rows {
    if (depth == 0.0) return {{std::signbit(depth) ? -1.0 : 1.0, 0, 0}};
    if (std::isinf(depth)) return {{depth > 0 ? 1e-300 : -1e-300, 0, 1e300}};
    return {{1.0, 0, depth}};
  };
  // One vertex per polygon: Min keeps a -0.0 depth (the mean would add it to +0.0) but turns NaN into +inf;
  // Average keeps NaN. Zeros in one task and in different lanes of its scan (polygons 302 and 305), in different
  // tasks (256 polygons each), and on the calling thread (50 polygons).
  struct Case {
    ZSortMode mode;
    std::size_t n;
    std::vector<std::pair<std::size_t, double>> set;  // on a background of 1.0
    double expected;
  };
  const Case cases[] = {{ZSortMode::Min, 1000, {{300, 0.0}, {700, -0.0}}, 0.0},
                        {ZSortMode::Min, 1000, {{300, -0.0}, {700, 0.0}}, -0.0},
                        {ZSortMode::Min, 1000, {{255, -0.0}, {256, 0.0}}, -0.0},
                        {ZSortMode::Min, 1000, {{302, 0.0}, {305, -0.0}}, 0.0},
                        {ZSortMode::Min, 1000, {{302, -0.0}, {305, 0.0}}, -0.0},
                        {ZSortMode::Min, 50, {{2, 0.0}, {5, -0.0}}, 0.0},
                        {ZSortMode::Min, 50, {{2, -0.0}, {5, 0.0}, {9, -1.0}}, -1.0},
                        {ZSortMode::Min, 1000, {{0, kInf}}, 1.0},
                        {ZSortMode::Min, 1000, {{999, -kInf}, {998, 0.0}}, -kInf},
                        {ZSortMode::Average, 1000, {{0, kNaN}, {500, -2.0}}, kNaN},
                        {ZSortMode::Average, 1000, {{1, kNaN}, {999, -2.0}}, -2.0}};
  for (const Case& c : cases) {
    std::vector<Rows> polys(c.n, vertex(1.0));
    for (const auto& [i, d] : c.set) polys[i] = vertex(d);
    Poly3DCollection collection = make_collection(polys);
    collection.set_zsort(c.mode);
    EXPECT_TRUE(same_bits(c.expected, collection.do_3d_projection(view_of(m)))) << c.n << " polygons";
  }
  std::vector<Rows> nan_after_inf(1000, vertex(kNaN));
  nan_after_inf[0] = vertex(kInf);
  EXPECT_TRUE(same_bits(kInf, make_collection(nan_after_inf).do_3d_projection(view_of(m))));
}

TEST(Poly3dProjectionTest, SettingsApplyFromTheNextCall) {
  Poly3DCollection c = make_collection({{{0, 0, 1.0}, {0, 0, 5.0}}, {{0, 0, 2.0}, {0, 0, 3.0}}});
  c.do_3d_projection(view_of(kIdentity));
  EXPECT_EQ((std::vector<std::size_t>{0, 1}), c.sort_order());  // means 3.0 and 2.5
  c.set_zsort(ZSortMode::Min);
  EXPECT_EQ(3.0, c.depths()[0]);
  c.do_3d_projection(view_of(kIdentity));
  EXPECT_EQ((std::vector<std::size_t>{1, 0}), c.sort_order());  // minima 1.0 and 2.0
}

// Polygon `two_cols` has 2 columns and `one_col` has 1, so the message shows which one was reported: the lower.
struct FailureCase {
  std::size_t count, two_cols, one_col;
  const char* message;
};

class Poly3dProjectionFailure : public ::testing::TestWithParam<FailureCase> {};

TEST_P(Poly3dProjectionFailure, LowestPolygonReportedAndNothingChanges) {
  const FailureCase& f = GetParam();
  std::vector<Rows> polys = random_polygons(f.count, 3, 6);
  polys[f.two_cols] = Rows(3, {1.0, 2.0});
  polys[f.one_col] = Rows(2, {1.0});
  Poly3DCollection c = make_collection(polys);
  for (int attempt = 0; attempt < 2; ++attempt) {
    EXPECT_EQ(f.message, fault_of([&] { c.do_3d_projection(view_of(view_matrix())); }));
    EXPECT_TRUE(c.segment_count() == 0 && c.depths().empty() && c.sort_order().empty());
  }
}

TEST_P(Poly3dProjectionFailure, SmallMatrixAfterSuccessKeepsEverything) {
  const std::vector<Rows> polys = random_polygons(GetParam().count, 4, 6);
  Poly3DCollection c = make_collection(polys);
  c.do_3d_projection(view_of(view_matrix()));
  c.set_zsort(ZSortMode::Max);  // would change every depth, had anything been stored
  const double small[12] = {};
  EXPECT_EQ("index out of bounds: the len is 3 but the index is 3",
            fault_of([&] { c.do_3d_projection(MatrixView{small, 3, 4}); }));
  expect_reference(polys, c, view_matrix(), ZSortMode::Average);  // still the first call's results
  c.do_3d_projection(view_of(view_matrix()));
  expect_reference(polys, c, view_matrix(), ZSortMode::Max);
}

INSTANTIATE_TEST_SUITE_P(Table, Poly3dProjectionFailure,
                         ::testing::Values(FailureCase{50, 10, 40, "index out of bounds: the len is 2 but the index is 2"},
                                           FailureCase{50, 40, 10, "index out of bounds: the len is 1 but the index is 2"},
                                           FailureCase{1000, 10, 600, "index out of bounds: the len is 2 but the index is 2"},
                                           FailureCase{1000, 999, 998, "index out of bounds: the len is 1 but the index is 2"}),
                         [](const auto& info) {
                           return "Polygons" + std::to_string(info.param.count) + "TwoColumnsAt" +
                                  std::to_string(info.param.two_cols) + "OneAt" + std::to_string(info.param.one_col);
                         });

// ============================================================================================================
// Shading

double factor(double d) { return ((d + 1.0) * 0.7) * 0.5 + 0.3; }

const Rows kTriangle = {{0, 0, 0}, {1, 0, 0}, {0, 1, 0}};  // normal (0, 0, 1)
const Rows kReversed = {{0, 0, 0}, {0, 1, 0}, {1, 0, 0}};  // normal (0, 0, -1)

struct ShadeCase {
  const char* name;
  Rows polygon;
  double lx, ly, lz;
  double f;
};

class Poly3dShading : public ::testing::TestWithParam<ShadeCase> {};

TEST_P(Poly3dShading, FactorOfOnePolygon) {
  const ShadeCase& c = GetParam();
  const RgbaColor face = {1.0, 0.5, 0.2, 0.8}, edge = {0.25, 0.75, 1.5, 0.4};
  Poly3DCollection col(make_set({c.polygon}), {face}, {edge});
  col.shade_colors(c.lx, c.ly, c.lz);
  for (int k = 0; k < 4; ++k) {
    EXPECT_TRUE(same_bits(k < 3 ? face[k] * c.f : face[k], col.facecolors()[0][k])) << k;
    EXPECT_TRUE(same_bits(k < 3 ? edge[k] * c.f : edge[k], col.edgecolors()[0][k])) << k;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Table, Poly3dShading,
    ::testing::Values(
        ShadeCase{"facing_light", kTriangle, 0, 0, 1, 1.0}, ShadeCase{"facing_away", kTriangle, 0, 0, -1, 0.3},
        ShadeCase{"light_not_unit", kTriangle, 0, 0, 5, 1.0}, ShadeCase{"reversed", kReversed, 0, 0, 1, 0.3},
        ShadeCase{"perpendicular", kTriangle, 1, 0, 0, factor(0.0)},
        ShadeCase{"two_vertices", {{0, 0, 0}, {1, 1, 1}}, 0, 0.6, 0.8, factor(0.8)},
        ShadeCase{"collinear", {{0, 0, 0}, {1, 1, 1}, {2, 2, 2}}, 0, 0.6, -0.8, factor(-0.8)},
        ShadeCase{"nan_vertex", {{0, 0, 0}, {kNaN, 0, 0}, {0, 1, 0}}, 0, 0.6, 0.8, factor(0.8)},
        // Clockwise, so a real normal would be (0, 0, -1): length 1e-12 is degenerate, 4e-10 is not.
        ShadeCase{"tiny_cross_product", {{0, 0, 0}, {0, 1e-6, 0}, {1e-6, 0, 0}}, 0, 0, -1, 0.3},
        ShadeCase{"small_cross_product", {{0, 0, 0}, {0, 2e-5, 0}, {2e-5, 0, 0}}, 0, 0, -1, 1.0},
        // Rows 0, 1, 3 of five and 0, 2, 4 of six; the other rows would make the normal degenerate.
        ShadeCase{"five_rows", {{0, 0, 0}, {1, 0, 0}, {5, 5, 5}, {0, 1, 0}, {9, 9, 9}}, 0, 0, -1, 0.3},
        ShadeCase{"six_rows", {{0, 0, 0}, {3, 3, 3}, {1, 0, 0}, {7, 7, 7}, {0, 1, 0}, {8, 8, 8}}, 0, 0, -1, 0.3},
        ShadeCase{"extra_columns", {{0, 0, 0, 9}, {1, 0, 0, 9}, {0, 1, 0, 9}}, 0, 0, -1, 0.3}),
    [](const auto& info) { return std::string(info.param.name); });

// Random polygons and lights against a reference written from the rule: general operands make every grouping
// of the sums and products matter somewhere.
TEST(Poly3dShadingTest, MatchesReferenceOnRandomPolygons) {
  std::mt19937_64 rng(99);
  std::uniform_real_distribution<double> value(-3.0, 3.0);
  for (int round = 0; round < 50; ++round) {
    const std::vector<Rows> polys = random_polygons(40, 500 + round, 9);
    std::vector<RgbaColor> faces(40), edges(40);
    for (auto* list : {&faces, &edges}) {
      for (auto& color : *list) color = {value(rng), value(rng), value(rng), value(rng)};
    }
    const double x = value(rng), y = value(rng), z = value(rng);
    Poly3DCollection c(make_set(polys), faces, edges);
    c.shade_colors(x, y, z);
    const double len_l = std::sqrt((x * x + y * y) + z * z);
    const double l[3] = {x / len_l, y / len_l, z / len_l};
    for (std::size_t i = 0; i < polys.size(); ++i) {
      double n[3] = {0.0, 0.0, 1.0};
      const Rows& p = polys[i];
      if (p.size() >= 3) {
        const auto &a = p[0], &b = p[p.size() / 3], &cc = p[2 * p.size() / 3];
        const double u[3] = {a[0] - b[0], a[1] - b[1], a[2] - b[2]}, w[3] = {b[0] - cc[0], b[1] - cc[1], b[2] - cc[2]};
        const double k[3] = {u[1] * w[2] - u[2] * w[1], u[2] * w[0] - u[0] * w[2], u[0] * w[1] - u[1] * w[0]};
        const double len = std::sqrt((k[0] * k[0] + k[1] * k[1]) + k[2] * k[2]);
        for (int j = 0; j < 3 && len > 1e-10; ++j) n[j] = k[j] / len;
      }
      const double f = factor((n[0] * l[0] + n[1] * l[1]) + n[2] * l[2]);
      for (int j = 0; j < 3; ++j) {
        ASSERT_TRUE(same_bits(faces[i][j] * f, c.facecolors()[i][j]) && same_bits(edges[i][j] * f, c.edgecolors()[i][j]))
            << "round " << round << " polygon " << i;
      }
      ASSERT_TRUE(same_bits(faces[i][3], c.facecolors()[i][3]));
    }
  }
}

TEST(Poly3dShadingTest, TwiceSquaresAndColoursPastPolygonsStay) {
  EXPECT_EQ(1.0, factor(1.0));
  EXPECT_EQ(0.3, factor(-1.0));
  const std::vector<RgbaColor> faces = {{1, 1, 1, 1}, {0.5, 0.5, 0.5, 0.5}, {0.9, 0.8, 0.7, 0.6}};
  const std::vector<RgbaColor> edges = {{1, 0, 1, 1}, {0.2, 0.2, 0.2, 1}, {0.3, 0.3, 0.3, 1}};
  Poly3DCollection c(make_set({kReversed, kTriangle}), faces, edges);
  c.shade_colors(0, 0, 1);
  c.shade_colors(0, 0, 1);
  EXPECT_TRUE(same_bits((1.0 * 0.3) * 0.3, c.facecolors()[0][0]));
  EXPECT_TRUE(same_bits((1.0 * 0.3) * 0.3, c.edgecolors()[0][2]));
  EXPECT_EQ(faces[2], c.facecolors()[2]);
  EXPECT_EQ(edges[2], c.edgecolors()[2]);
  // Without face colours no edge colour is shaded either.
  Poly3DCollection bare(make_set({kReversed, kReversed}), {}, {{0.5, 0.5, 0.5, 1}});
  bare.shade_colors(0, 0, 1);
  EXPECT_EQ((RgbaColor{0.5, 0.5, 0.5, 1}), bare.edgecolors()[1]);
}

TEST(Poly3dShadingTest, FaultBeforeAnyColourChanges) {
  // The bad polygon comes last, after polygons whose colours would change.
  Poly3DCollection c(make_set({kReversed, kReversed, Rows(3, {1.0, 2.0})}), {{1, 1, 1, 1}}, {{1, 1, 1, 1}});
  EXPECT_EQ("index out of bounds: the len is 2 but the index is 2", fault_of([&] { c.shade_colors(0, 0, 1); }));
  for (std::size_t i = 0; i < 3; ++i) {
    EXPECT_EQ((RgbaColor{1, 1, 1, 1}), c.facecolors()[i]);
    EXPECT_EQ((RgbaColor{1, 1, 1, 1}), c.edgecolors()[i]);
  }
  // Two vertices read nothing, whatever the column count: the fallback normal.
  Poly3DCollection two(make_set({Rows(2, {1.0})}), {{1, 1, 1, 1}}, {});
  two.shade_colors(0, 0, -1);
  EXPECT_TRUE(same_bits(0.3, two.facecolors()[0][0]));
}

TEST(Poly3dShadingTest, ZeroLightGivesNaNAndNoPolygonsChangeNothing) {
  Poly3DCollection c(make_set({kTriangle}), {{1, 1, 1, 0.5}}, {});
  c.shade_colors(0, 0, 0);
  EXPECT_TRUE(std::isnan(c.facecolors()[0][0]));
  EXPECT_EQ(0.5, c.facecolors()[0][3]);
  Poly3DCollection none(make_set({}), {{1, 1, 1, 1}}, {{1, 1, 1, 1}});
  none.shade_colors(0, 0, 0);
  EXPECT_EQ((RgbaColor{1, 1, 1, 1}), none.facecolors()[0]);
}

}  // namespace
