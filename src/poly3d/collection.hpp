// A collection of 3D polygons: storage, depth-sorted projection, sort settings and shading.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include "common/assert.hpp"
#include "poly3d/order.hpp"
#include "proj3d/matrix.hpp"

namespace korvex::poly3d {

// Red, green, blue, alpha; stored unchanged (no range check, no clamping).
using RgbaColor = std::array<double, 4>;

enum class ZSortMode : unsigned char { Average = 0, Min = 1, Max = 2 };

// "average", "min" or "max", compared byte for byte; anything else gives nullopt.
std::optional<ZSortMode> parse_zsort(std::string_view name) noexcept;

// Collections of up to this many polygons are projected on the calling thread; larger ones on the worker pool.
inline constexpr std::size_t kParallelPolygonThreshold = 100;

// One polygon: a row-major rows x cols matrix (columns 0, 1, 2 are x, y, z; further columns are carried unread).
struct PolygonRef {
  const double* data;
  std::size_t rows;
  std::size_t cols;
};

// All polygons of a collection in one flat buffer, back to back in index order: polygon i + 1 starts where
// polygon i ends (rows * cols values later), which lets the projection treat runs of polygons as one row table.
class PolygonSet {
 public:
  // Room for `polygons` polygons holding `values` doubles in all.
  void reserve(std::size_t polygons, std::size_t values);
  // Appends a zero-filled rows x cols polygon and returns its storage, valid until the next add().
  double* add(std::size_t rows, std::size_t cols);
  std::size_t size() const noexcept { return shapes_.size(); }
  // The row and column counts every polygon shares ({0, 0} when they differ, or when there is none).
  std::size_t uniform_rows() const noexcept { return uniform_ ? shapes_.front().rows : 0; }
  std::size_t uniform_cols() const noexcept { return uniform_ ? shapes_.front().cols : 0; }
  PolygonRef operator[](std::size_t i) const noexcept {
    KORVEX_ASSERT(i < shapes_.size(), "polygon index out of range");
    const Shape& s = shapes_[i];
    KORVEX_ASSERT(s.offset <= values_.size() && s.rows * s.cols <= values_.size() - s.offset,
                  "polygon extends past the store");
    return PolygonRef{values_.data() + s.offset, s.rows, s.cols};
  }

 private:
  struct Shape {
    std::size_t offset;
    std::size_t rows;
    std::size_t cols;
  };
  std::vector<double> values_;
  std::vector<Shape> shapes_;
  bool uniform_ = false;  // every polygon has the first one's rows and cols
};

// A projected 2D outline: `rows` (x, y) pairs, interleaved.
struct SegmentRef {
  const double* xy;
  std::size_t rows;
};

class Poly3DCollection {
 public:
  // Takes the polygons and colour lists; a colour list with at least one and fewer than size() colours becomes
  // size() copies of its first colour. Segments, depths and order start empty; zsort Average; no sort_zpos.
  Poly3DCollection(PolygonSet polygons, std::vector<RgbaColor> facecolors, std::vector<RgbaColor> edgecolors);

  std::size_t size() const noexcept { return polygons_.size(); }

  // Projects every polygon, reduces each to one depth by zsort(), orders them by descending depth (NaN depths
  // first, ties in ascending index) and returns sort_zpos() when set, else the minimum depth scanned from
  // depths[0] (NaN for an empty collection, which changes nothing). On failure (InternalFault: a polygon with
  // vertices and fewer than 3 columns, a matrix smaller than 4x4) the collection is left exactly as it was.
  double do_3d_projection(const proj3d::MatrixView& m);

  // Results of the last successful projection: empty before the first one, else one entry per polygon.
  const std::vector<std::size_t>& sort_order() const noexcept { return sort_order_; }
  const std::vector<double>& depths() const noexcept { return depths_; }
  std::size_t segment_count() const noexcept { return depths_.size(); }
  // Outline of polygon i (i < segment_count()).
  SegmentRef segment(std::size_t i) const noexcept {
    KORVEX_ASSERT(i < segment_count(), "segment index out of range");
    const std::size_t start = segment_offsets_[i];
    KORVEX_ASSERT(start <= segment_offsets_[i + 1] && 2 * segment_offsets_[i + 1] <= segment_values_.size(),
                  "segment extends past the outline store");
    return SegmentRef{segment_values_.data() + 2 * start, segment_offsets_[i + 1] - start};
  }

  const std::vector<RgbaColor>& facecolors() const noexcept { return facecolors_; }
  const std::vector<RgbaColor>& edgecolors() const noexcept { return edgecolors_; }

  ZSortMode zsort() const noexcept { return zsort_; }
  std::optional<double> sort_zpos() const noexcept { return sort_zpos_; }
  // Sets the mode and clears sort_zpos.
  void set_zsort(ZSortMode mode) noexcept;
  void set_sort_zpos(double zpos) noexcept { sort_zpos_ = zpos; }

  // Multiplies red, green and blue of face colour i (and edge colour i, when face colour i exists) by the factor
  // of polygon i for the light direction (x, y, z). All normals are computed before any colour changes, so a
  // fault (a polygon with 3 or more vertices and fewer than 3 columns) leaves the colours as they were.
  void shade_colors(double x, double y, double z);

 private:
  PolygonSet polygons_;
  std::vector<RgbaColor> facecolors_;
  std::vector<RgbaColor> edgecolors_;
  std::vector<double> segment_values_;        // all outlines, interleaved x, y
  // Outline i starts at segment_values_[2 * segment_offsets_[i]]; n + 1 entries, the last one the total vertex
  // count. Polygons never change, so the offsets are fixed at construction.
  std::vector<std::size_t> segment_offsets_;
  std::vector<double> depths_;
  std::vector<std::size_t> sort_order_;
  // do_3d_projection computes into these and swaps them with the live results only once everything succeeded;
  // afterwards they hold the previous results, whose storage the next call reuses.
  std::vector<double> spare_segment_values_;
  std::vector<double> spare_depths_;
  std::vector<std::size_t> spare_sort_order_;
  OrderScratch order_scratch_;
  std::vector<double> task_minima_;     // smallest depth of each task of the per-polygon loop
  std::vector<KeyBounds> task_bounds_;  // and the bounds of its sort keys
  // Fixed at construction: the first polygon with vertices, and the first with vertices but no z column (size()
  // when there is none), which decide whether and how a projection fails before it starts.
  std::size_t first_with_vertices_ = 0;
  std::size_t first_without_z_ = 0;
  ZSortMode zsort_ = ZSortMode::Average;
  std::optional<double> sort_zpos_;
};

}  // namespace korvex::poly3d
