// The view matrices and the 4x4 inversion. Every entry is computed with exactly the operations written here:
// results are compared bit for bit, so a reciprocal is never reused as a multiplier and no sum is regrouped.
#include "proj3d/matrix.hpp"

#include <cmath>
#include <utility>

#include "common/fault.hpp"
#include "proj3d/point_rule.hpp"

namespace korvex::proj3d {

Matrix4 world_transformation(double xmin, double xmax, double ymin, double ymax, double zmin, double zmax,
                             const double* pb_aspect, std::size_t pb_len) noexcept {
  double dx = xmax - xmin;
  double dy = ymax - ymin;
  double dz = zmax - zmin;
  if (pb_aspect != nullptr && pb_len == 3) {
    dx = dx / pb_aspect[0];
    dy = dy / pb_aspect[1];
    dz = dz / pb_aspect[2];
  }
  Matrix4 m{};  // every other entry is +0.0
  // 1/d and (-min)/d are two separate divisions; (-min) is negated first, so min == 0 gives -0.0 / d.
  m[0] = 1.0 / dx;
  m[3] = (-xmin) / dx;
  m[5] = 1.0 / dy;
  m[7] = (-ymin) / dy;
  m[10] = 1.0 / dz;
  m[11] = (-zmin) / dz;
  m[15] = 1.0;
  return m;
}

Matrix4 persp_transformation(double zfront, double zback, double focal_length) noexcept {
  Matrix4 m{};
  m[0] = focal_length;
  m[5] = focal_length;
  m[10] = (zfront + zback) / (zfront - zback);
  // Product first, then the factor -2, then the division: the grouping decides the last bit.
  m[11] = ((zfront * zback) * -2.0) / (zfront - zback);
  m[14] = -1.0;
  m[15] = 0.0;
  return m;
}

Matrix4 ortho_transformation(double zfront, double zback) noexcept {
  Matrix4 m{};
  m[0] = 2.0;
  m[5] = 2.0;
  m[10] = -2.0;
  // Negations of the sum and of the difference, not zback - zfront: equal planes give -0.0 in [3][3].
  m[14] = -(zfront + zback);
  m[15] = -(zfront - zback);
  return m;
}

Matrix4 invert(const MatrixView& view) {
  require_4x4(view);
  double a[4][4];
  for (std::size_t r = 0; r < 4; ++r) {
    for (std::size_t c = 0; c < 4; ++c) a[r][c] = view.at(r, c);
  }
  double inv[4][4] = {{1.0, 0.0, 0.0, 0.0}, {0.0, 1.0, 0.0, 0.0}, {0.0, 0.0, 1.0, 0.0}, {0.0, 0.0, 0.0, 1.0}};

  for (int j = 0; j < 4; ++j) {
    // Partial pivoting over rows j..3 for the first three columns; the last column has no choice left. The test is
    // a strict '>', so the lowest row wins among equal magnitudes and a NaN magnitude never wins.
    int pivot_row = j;
    if (j < 3) {
      double best = std::fabs(a[j][j]);
      for (int r = j + 1; r < 4; ++r) {
        const double mag = std::fabs(a[r][j]);
        if (mag > best) {
          pivot_row = r;
          best = mag;
        }
      }
    }
    if (pivot_row != j) {
      for (int c = 0; c < 4; ++c) {
        std::swap(a[j][c], a[pivot_row][c]);
        std::swap(inv[j][c], inv[pivot_row][c]);
      }
    }
    // The pivot is read once before the row is scaled, so a[j][j] ends as pivot / pivot (1, or NaN for 0 and inf)
    // rather than being left at an exact 1. There is deliberately no test for a zero pivot.
    const double pivot = a[j][j];
    for (int c = 0; c < 4; ++c) {
      a[j][c] = a[j][c] / pivot;
      inv[j][c] = inv[j][c] / pivot;
    }
    for (int r = 0; r < 4; ++r) {
      if (r == j) continue;
      const double f = a[r][j];  // read before row r changes (column j of row r is itself updated below)
      for (int c = 0; c < 4; ++c) {
        const double pa = a[j][c] * f;
        a[r][c] = a[r][c] - pa;
        const double pi = inv[j][c] * f;
        inv[r][c] = inv[r][c] - pi;
      }
    }
  }

  Matrix4 out;
  for (std::size_t r = 0; r < 4; ++r) {
    for (std::size_t c = 0; c < 4; ++c) out[r * 4 + c] = inv[r][c];
  }
  return out;
}

}  // namespace korvex::proj3d
