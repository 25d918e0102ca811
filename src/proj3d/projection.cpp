// Point-set projection, clipping and the inverse transform, all built on the per-point rule of point_rule.hpp.
#include "proj3d/projection.hpp"

#include <algorithm>
#include <cmath>

#include "common/fault.hpp"
#include "parallel/parallel_for.hpp"
#include "proj3d/point_rule.hpp"

namespace korvex::proj3d {

namespace {

// Reports the fault that a point-by-point loop would meet first: point i reads ys[i], then zs[i], then the
// matrix block. Checking everything up front means a failing call writes nothing and the parallel path needs no
// per-point tests.
void check_points(const PointsView& p, const MatrixView& m) {
  const std::size_t first_missing = std::min(p.ny, p.nz);
  if (first_missing < p.nx && (first_missing == 0 || m.has_4x4())) {
    if (p.ny == first_missing) index_out_of_bounds(p.ny, p.ny);
    index_out_of_bounds(p.nz, p.nz);
  }
  require_4x4(m);
}

}  // namespace

void Projection::proj_transform_vec(const PointsView& points, const MatrixView& m, const PointsOut& out) {
  const std::size_t n = points.nx;
  if (n == 0) return;
  check_points(points, m);
  double block[16];
  load_block(m, block);

  if (n <= kParallelPointThreshold) {
    project_points(points.xs, points.ys, points.zs, block, out.xs, out.ys, out.zs, n);
    return;
  }

  // About one chunk per worker. The chunk is at least one point, so a pool larger than the point set still makes
  // progress (one point per item) instead of failing. Every item writes only its own slice of the outputs.
  const std::size_t threads = std::max<std::size_t>(parallel::current_num_threads(), 1);
  const std::size_t chunk = std::max<std::size_t>(n / threads, 1);
  const std::size_t items = (n - 1) / chunk + 1;
  auto item = [&](std::size_t k) {
    const std::size_t lo = k * chunk;
    const std::size_t len = std::min(chunk, n - lo);
    project_points(points.xs + lo, points.ys + lo, points.zs + lo, block, out.xs + lo, out.ys + lo,
                           out.zs + lo, len);
  };
  parallel::parallel_for(items, 1, item);
}

std::array<double, 4> Projection::transform_point(const std::array<double, 4>& point, const MatrixView& m) {
  require_4x4(m);
  std::array<double, 4> v;
  for (std::size_t r = 0; r < 4; ++r) {
    v[r] = (((0.0 + m.at(r, 0) * point[0]) + m.at(r, 1) * point[1]) + m.at(r, 2) * point[2]) + m.at(r, 3) * point[3];
  }
  return v;
}

void proj_transform_clip(const PointsView& points, const MatrixView& m, double focal_length, const PointsOut& out,
                         bool* mask) {
  const std::size_t n = points.nx;
  if (n == 0) return;
  check_points(points, m);
  double block[16];
  load_block(m, block);
  project_points(points.xs, points.ys, points.zs, block, out.xs, out.ys, out.zs, n);

  // Only an infinite focal length turns clipping off; NaN keeps it on. The test reads the stored coordinates, so
  // a point of zero weight, stored as (0, 0, 0), is visible, and any NaN coordinate makes its point invisible.
  if (std::isinf(focal_length)) {
    std::fill(mask, mask + n, true);
    return;
  }
  for (std::size_t i = 0; i < n; ++i) {
    mask[i] = (std::fabs(out.xs[i]) <= 1.0) & (std::fabs(out.ys[i]) <= 1.0) & (out.zs[i] <= 0.0);
  }
}

void inv_transform(const PointsView& points, const MatrixView& m, const PointsOut& out) {
  // The inversion runs (and checks the matrix) whatever the point count.
  const Matrix4 inverse = invert(m);
  const std::size_t n = points.nx;
  if (n == 0) return;
  check_points(points, view_of(inverse));
  project_points(points.xs, points.ys, points.zs, inverse.data(), out.xs, out.ys, out.zs, n);
}

}  // namespace korvex::proj3d
