// Point projection through a view matrix, with the one per-point rule every projection of the module uses:
//
//   v[r] = (((0.0 + M[r][0]*x) + M[r][1]*y) + M[r][2]*z) + M[r][3]*w     (left to right, no fused multiply-add)
//   w' = v[3]; if w' == 0 (either sign) the outputs are 0.0, else each of v[0..2] is divided by w' once.
//
// The sum starts at +0.0, so a -0.0 coordinate under the identity comes back as +0.0, and 0 * inf terms are
// formed even for zero matrix entries (NaN). Results never depend on the pool size.
#pragma once

#include <array>
#include <cstddef>

#include "proj3d/matrix.hpp"

namespace korvex::proj3d {

// Point sets of up to this many points run on the calling thread; larger ones on the worker pool.
inline constexpr std::size_t kParallelPointThreshold = 1000;

// Three coordinate columns. The point count is nx; ys and zs must hold at least nx values (extra are ignored).
struct PointsView {
  const double* xs = nullptr;
  std::size_t nx = 0;
  const double* ys = nullptr;
  std::size_t ny = 0;
  const double* zs = nullptr;
  std::size_t nz = 0;
};

// Three output columns of nx values each; every value is written. They must not overlap the inputs.
struct PointsOut {
  double* xs = nullptr;
  double* ys = nullptr;
  double* zs = nullptr;
};

class Projection {
 public:
  // Projects every point. With nx == 0 nothing is read. Otherwise ys or zs shorter than xs, or a matrix smaller
  // than 4x4, throw InternalFault (index out of bounds) before anything is written. Above
  // kParallelPointThreshold points the work is cut into chunks run by the parallel loop (nesting on the current
  // pool when called from a worker).
  static void proj_transform_vec(const PointsView& points, const MatrixView& m, const PointsOut& out);

  // v = M * point, with the row sums above. Throws InternalFault when the matrix is smaller than 4x4.
  static std::array<double, 4> transform_point(const std::array<double, 4>& point, const MatrixView& m);
};

// proj_transform_vec on the calling thread, plus the visibility mask: with a finite (or NaN) focal length, point i
// is visible when |tx| <= 1, |ty| <= 1 and tz <= 0 (NaN makes it invisible); with an infinite focal length every
// point is visible. A point of zero weight is (0, 0, 0) and visible.
void proj_transform_clip(const PointsView& points, const MatrixView& m, double focal_length, const PointsOut& out,
                         bool* mask);

// Inverts the matrix (always, also for nx == 0) and projects every point through the inverse on the calling
// thread.
void inv_transform(const PointsView& points, const MatrixView& m, const PointsOut& out);

}  // namespace korvex::proj3d
