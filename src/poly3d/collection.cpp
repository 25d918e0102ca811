// Polygon storage, construction and the depth-sorted projection of a collection.
#include "poly3d/collection.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <utility>

#if defined(__x86_64__) && defined(__GNUC__)
#include <immintrin.h>
#endif

#include "common/assert.hpp"
#include "common/fault.hpp"
#include "poly3d/depth.hpp"
#include "parallel/parallel_for.hpp"
#include "proj3d/point_rule.hpp"
#include "proj3d/projection.hpp"

namespace korvex::poly3d {

std::optional<ZSortMode> parse_zsort(std::string_view name) noexcept {
  if (name == "average") return ZSortMode::Average;
  if (name == "min") return ZSortMode::Min;
  if (name == "max") return ZSortMode::Max;
  return std::nullopt;
}

void PolygonSet::reserve(std::size_t polygons, std::size_t values) {
  shapes_.reserve(polygons);
  values_.reserve(values);
}

double* PolygonSet::add(std::size_t rows, std::size_t cols) {
  const std::size_t offset = values_.size();
  KORVEX_ASSERT(cols == 0 || rows <= (values_.max_size() - offset) / cols, "polygon size overflows the store");
  values_.resize(offset + rows * cols, 0.0);
  try {
    shapes_.push_back(Shape{offset, rows, cols});
  } catch (...) {
    values_.resize(offset);
    throw;
  }
  uniform_ = shapes_.size() == 1 || (uniform_ && rows == shapes_.front().rows && cols == shapes_.front().cols);
  return values_.data() + offset;
}

#if defined(__x86_64__) && defined(__GNUC__)
namespace {

// Eight quads are 32 values in four vectors a, b, c, d. A first permute gathers two corners of four quads from a
// and b (and from c and d), a second one joins those into each corner of all eight; then the sums of
// average_depths<4>, from +0.0, corner by corner.
[[gnu::target("avx512f")]] void average_quads_avx512(const double* tz, std::size_t count, double* depths) noexcept {
  const __m512i corners01 = _mm512_set_epi64(13, 9, 5, 1, 12, 8, 4, 0);
  const __m512i corners23 = _mm512_set_epi64(15, 11, 7, 3, 14, 10, 6, 2);
  const __m512i first_halves = _mm512_set_epi64(11, 10, 9, 8, 3, 2, 1, 0);
  const __m512i second_halves = _mm512_set_epi64(15, 14, 13, 12, 7, 6, 5, 4);
  std::size_t k = 0;
  for (; k + 8 <= count; k += 8) {
    const double* q = tz + 4 * k;
    const __m512d a = _mm512_loadu_pd(q);
    const __m512d b = _mm512_loadu_pd(q + 8);
    const __m512d c = _mm512_loadu_pd(q + 16);
    const __m512d d = _mm512_loadu_pd(q + 24);
    const __m512d ab01 = _mm512_permutex2var_pd(a, corners01, b);
    const __m512d cd01 = _mm512_permutex2var_pd(c, corners01, d);
    const __m512d ab23 = _mm512_permutex2var_pd(a, corners23, b);
    const __m512d cd23 = _mm512_permutex2var_pd(c, corners23, d);
    __m512d total = _mm512_add_pd(_mm512_setzero_pd(), _mm512_permutex2var_pd(ab01, first_halves, cd01));
    total = _mm512_add_pd(total, _mm512_permutex2var_pd(ab01, second_halves, cd01));
    total = _mm512_add_pd(total, _mm512_permutex2var_pd(ab23, first_halves, cd23));
    total = _mm512_add_pd(total, _mm512_permutex2var_pd(ab23, second_halves, cd23));
    _mm512_storeu_pd(depths + k, _mm512_div_pd(total, _mm512_set1_pd(4.0)));
  }
  detail::average_depths<4>(tz + 4 * k, count - k, depths + k);
}

}  // namespace
#endif

void detail::average_quads(const double* tz, std::size_t count, double* depths) noexcept {
#if defined(__x86_64__) && defined(__GNUC__)
  // Beside the point loop's own AVX-512 build.
  if (proj3d::best_point_isa() == proj3d::PointIsa::Avx512) return average_quads_avx512(tz, count, depths);
#endif
  average_depths<4>(tz, count, depths);
}

namespace {

// A list with at least one and fewer than n colours becomes n copies of its first colour (no cycling).
void broadcast(std::vector<RgbaColor>& colors, std::size_t n) {
  if (!colors.empty() && colors.size() < n) {
    const RgbaColor first = colors.front();
    colors.assign(n, first);
  }
}

// Polygons per task of the per-polygon loop: enough that a task projects runs of polygons in one go.
constexpr std::size_t kPolygonsPerTask = 256;
// Vertices projected in one run: the projected z values wait in a stack buffer until the depths are reduced.
constexpr std::size_t kRunVertices = 1024;
static_assert(kRunVertices >= proj3d::kParallelPointThreshold, "every small polygon fits a run of its own");

// Larger polygons go through the point-set projection so that their points are spread over the pool as well (a
// nested loop when this runs on a worker). Same per-point rule, so the bits equal those of the direct path.
double project_large_polygon(const PolygonRef& p, const double* block, ZSortMode mode, double* xy) {
  const std::size_t rows = p.rows;
  std::vector<double> columns(6 * rows);
  double* xs = columns.data();
  double* ys = xs + rows;
  double* zs = ys + rows;
  for (std::size_t k = 0; k < rows; ++k) {
    const double* row = p.data + k * p.cols;
    xs[k] = row[0];
    ys[k] = row[1];
    zs[k] = row[2];
  }
  const proj3d::PointsOut out{zs + rows, zs + 2 * rows, zs + 3 * rows};
  proj3d::Projection::proj_transform_vec(proj3d::PointsView{xs, rows, ys, rows, zs, rows},
                                         proj3d::MatrixView{block, 4, 4}, out);
  for (std::size_t k = 0; k < rows; ++k) {
    xy[2 * k] = out.xs[k];
    xy[2 * k + 1] = out.ys[k];
  }
  return detail::reduce_depth(out.zs, rows, mode);
}

// The value a scan from +inf that takes only strictly smaller values ends with: the smallest depth that is not NaN
// (+inf if none), and of equal ones the first. Four lanes, so that the comparisons do not wait on each other; the
// only equal values whose bits differ are the two zeros, so a zero result is looked up again in order.
double smallest_depth(const double* depths, std::size_t n) noexcept {
  constexpr double kInf = std::numeric_limits<double>::infinity();
  double lane[4] = {kInf, kInf, kInf, kInf};
  std::size_t k = 0;
  for (; k + 4 <= n; k += 4) {
    for (std::size_t j = 0; j < 4; ++j) lane[j] = depths[k + j] < lane[j] ? depths[k + j] : lane[j];
  }
  for (; k < n; ++k) lane[0] = depths[k] < lane[0] ? depths[k] : lane[0];
  double smallest = kInf;
  for (const double value : lane) smallest = value < smallest ? value : smallest;
  if (smallest == 0.0) {
    for (k = 0; depths[k] != 0.0; ++k) {
    }
    smallest = depths[k];
  }
  return smallest;
}

// Depths of `count` polygons of `rows` vertices each, whose projected z values are stored one after another in tz.
// Runs of triangles or quads (what surfaces are made of) are averaged several polygons at a time.
void reduce_run(const double* tz, std::size_t rows, std::size_t count, ZSortMode mode, double* depths) noexcept {
  if (mode == ZSortMode::Average && rows == 4) {
    detail::average_quads(tz, count, depths);
  } else if (mode == ZSortMode::Average && rows == 3) {
    detail::average_depths<3>(tz, count, depths);
  } else {
    for (std::size_t k = 0; k < count; ++k) depths[k] = detail::reduce_depth(tz + k * rows, rows, mode);
  }
}

// Projects polygons [first, last) into their outlines and depths, and returns the smallest of those depths as a
// scan from +inf that takes only strictly smaller values finds it (NaN never; of equal values the first).
// Consecutive small polygons of one column count are stored back to back (and so are their outlines), so a run of
// them is one table of rows for the point loop; the run's projected z values stay in a stack buffer until each
// polygon's depth is reduced from its own. Polygons without vertices join any run (they read nothing); larger
// polygons are projected one by one.
double project_polygons(const PolygonSet& polygons, std::size_t first, std::size_t last, const double* block,
                        ZSortMode mode, const std::size_t* offsets, double* xy, double* depths) {
  double tz[kRunVertices];
  const std::size_t shape = polygons.uniform_rows();
  if (shape != 0 && shape <= proj3d::kParallelPointThreshold) {
    // Polygons of one shape (a surface's quads, say) are runs of a fixed count, found without reading each one.
    const std::size_t per_run = kRunVertices / shape;
    const std::size_t cols = polygons.uniform_cols();
    for (std::size_t i = first; i < last; i += per_run) {
      const std::size_t count = std::min(per_run, last - i);
      KORVEX_ASSERT(count * shape <= kRunVertices, "a run fits the buffer of its z values");
      proj3d::project_rows(polygons[i].data, cols, count * shape, block, xy + 2 * offsets[i], tz);
      reduce_run(tz, shape, count, mode, depths + i);
    }
    return smallest_depth(depths + first, last - first);
  }
  std::size_t i = first;
  while (i < last) {
    const PolygonRef head = polygons[i];
    if (head.rows > proj3d::kParallelPointThreshold) {
      depths[i] = project_large_polygon(head, block, mode, xy + 2 * offsets[i]);
      ++i;
      continue;
    }
    const double* rows = nullptr;
    std::size_t cols = 0;
    std::size_t vertices = 0;
    std::size_t shape = head.rows;  // the row count of every polygon of the run, or 0 when they differ
    std::size_t end = i;
    for (; end < last; ++end) {
      const PolygonRef p = polygons[end];
      if (p.rows != 0) {
        if (p.rows > proj3d::kParallelPointThreshold || vertices + p.rows > kRunVertices) break;
        if (rows == nullptr) {
          rows = p.data;
          cols = p.cols;
        } else if (p.cols != cols) {
          break;
        }
        KORVEX_ASSERT(p.data == rows + vertices * cols, "a run of polygons is one table of rows");
        vertices += p.rows;
      }
      if (p.rows != shape) shape = 0;
    }
    if (vertices != 0) proj3d::project_rows(rows, cols, vertices, block, xy + 2 * offsets[i], tz);
    if (shape != 0) {
      reduce_run(tz, shape, end - i, mode, depths + i);
    } else {
      for (std::size_t k = i; k < end; ++k) {
        depths[k] = detail::reduce_depth(tz + (offsets[k] - offsets[i]), offsets[k + 1] - offsets[k], mode);
      }
    }
    i = end;
  }
  return smallest_depth(depths + first, last - first);
}

}  // namespace

Poly3DCollection::Poly3DCollection(PolygonSet polygons, std::vector<RgbaColor> facecolors,
                                   std::vector<RgbaColor> edgecolors)
    : polygons_(std::move(polygons)), facecolors_(std::move(facecolors)), edgecolors_(std::move(edgecolors)) {
  const std::size_t n = polygons_.size();
  broadcast(facecolors_, n);
  broadcast(edgecolors_, n);
  segment_offsets_.resize(n + 1);
  std::size_t vertices = 0;
  first_with_vertices_ = n;
  first_without_z_ = n;
  for (std::size_t i = 0; i < n; ++i) {
    const PolygonRef p = polygons_[i];
    segment_offsets_[i] = vertices;
    vertices += p.rows;
    if (p.rows != 0 && first_with_vertices_ == n) first_with_vertices_ = i;
    if (p.rows != 0 && p.cols < 3 && first_without_z_ == n) first_without_z_ = i;
  }
  segment_offsets_[n] = vertices;
  const bool projectable = first_without_z_ == n;
  // The first projection computes into the spare buffers, so they get the room up front; the live results start
  // empty and take over these buffers at the first success. A collection that can never be projected (a polygon
  // with vertices but no z column, possibly of any row count) reserves nothing.
  if (projectable) {
    spare_segment_values_.reserve(2 * vertices);
    spare_depths_.reserve(n);
    spare_sort_order_.reserve(n);
  }
}

double Poly3DCollection::do_3d_projection(const proj3d::MatrixView& m) {
  const std::size_t n = polygons_.size();
  if (n == 0) return std::numeric_limits<double>::quiet_NaN();
  // The fault of the lowest polygon that cannot be projected: one with vertices but no z column, or, for the
  // first polygon with vertices, a matrix smaller than 4x4. Polygons without vertices read nothing and never fail.
  // Checking before any work keeps the collection untouched on failure and makes the reported fault independent
  // of which path (sequential or pool) would have met it.
  if (first_with_vertices_ != n) {
    if (first_with_vertices_ == first_without_z_) index_out_of_bounds(2, polygons_[first_without_z_].cols);
    proj3d::require_4x4(m);
    if (first_without_z_ != n) index_out_of_bounds(2, polygons_[first_without_z_].cols);
  }

  double block[16] = {};
  if (m.has_4x4()) proj3d::load_block(m, block);  // else every polygon is empty and nothing reads it

  // Everything is computed into the spare buffers; the live results change only by the swaps at the end, so a
  // failure anywhere before them (allocation, the pool) leaves the collection exactly as it was.
  spare_segment_values_.resize(2 * segment_offsets_[n]);
  spare_depths_.resize(n);
  spare_sort_order_.resize(n);
  const ZSortMode mode = zsort_;
  double* const values = spare_segment_values_.data();
  double* const depths = spare_depths_.data();
  const std::size_t* const offsets = segment_offsets_.data();
  // The result scans the depths from depths[0], replacing only by a strictly smaller value: a NaN first depth
  // stays, later NaNs are passed over. Each task scans its own polygons from +inf the same way, and the tasks'
  // minima are folded in task order: the same value, and of equal ones (+0.0 and -0.0) the same first one.
  double smallest = std::numeric_limits<double>::infinity();
  if (n <= kParallelPolygonThreshold) {
    smallest = project_polygons(polygons_, 0, n, block, mode, offsets, values, depths);
    order_by_depth(depths, n, spare_sort_order_.data(), TieOrder::AscendingIndex, order_scratch_);
  } else {
    const std::size_t tasks = (n + kPolygonsPerTask - 1) / kPolygonsPerTask;
    task_minima_.resize(tasks);
    task_bounds_.resize(tasks);
    double* const minima = task_minima_.data();
    KeyBounds* const bounds = task_bounds_.data();
    // Orders of up to 2^32 polygons are sorted on keys that each task makes from its depths while it has them.
    std::uint64_t* const keys =
        n <= std::numeric_limits<std::uint32_t>::max() ? order_scratch_.keys_for(n) : nullptr;
    // The projection and the order as one job on the pool (see run_on_pool).
    parallel::run_on_pool([&] {
      parallel::parallel_for(tasks, 1, [&](std::size_t t) {
        const std::size_t first = t * kPolygonsPerTask;
        const std::size_t last = std::min(n, first + kPolygonsPerTask);
        minima[t] = project_polygons(polygons_, first, last, block, mode, offsets, values, depths);
        if (keys != nullptr) bounds[t] = key_depths(depths, first, last, keys);
      });
      if (keys == nullptr) {
        order_by_depth(depths, n, spare_sort_order_.data(), TieOrder::AscendingIndex, order_scratch_);
        return;
      }
      KeyBounds all = bounds[0];
      for (std::size_t t = 1; t < tasks; ++t) all = all.merge(bounds[t]);
      order_keyed(n, all, spare_sort_order_.data(), order_scratch_);
    });
    for (std::size_t t = 0; t < tasks; ++t) {
      if (minima[t] < smallest) smallest = minima[t];
    }
  }
  if (depths[0] != depths[0]) smallest = depths[0];

  segment_values_.swap(spare_segment_values_);
  depths_.swap(spare_depths_);
  sort_order_.swap(spare_sort_order_);
  return sort_zpos_ ? *sort_zpos_ : smallest;
}

void Poly3DCollection::set_zsort(ZSortMode mode) noexcept {
  zsort_ = mode;
  sort_zpos_.reset();
}

}  // namespace korvex::poly3d
