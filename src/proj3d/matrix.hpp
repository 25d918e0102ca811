// The 4x4 matrices of a 3D view, and the read-only matrix view that every projection consumes.
#pragma once

#include <array>
#include <cstddef>

namespace korvex::proj3d {

// Row-major 4x4; a point is the column vector (x, y, z, 1), so row 3 gives the homogeneous weight.
using Matrix4 = std::array<double, 16>;

// Read-only row-major table of rows x cols doubles; element (r, c) is data[r * cols + c]. Only the top-left 4x4
// block is ever read.
struct MatrixView {
  const double* data = nullptr;
  std::size_t rows = 0;
  std::size_t cols = 0;

  double at(std::size_t r, std::size_t c) const noexcept { return data[r * cols + c]; }
  bool has_4x4() const noexcept { return rows >= 4 && cols >= 4; }
};

inline MatrixView view_of(const Matrix4& m) noexcept { return MatrixView{m.data(), 4, 4}; }

// World matrix: maps [xmin, xmax] x [ymin, ymax] x [zmin, zmax] onto the unit box. `pb_aspect` scales the three
// ranges only when it holds exactly three values (pb_len == 3); any other length is ignored.
Matrix4 world_transformation(double xmin, double xmax, double ymin, double ymax, double zmin, double zmax,
                             const double* pb_aspect, std::size_t pb_len) noexcept;

Matrix4 persp_transformation(double zfront, double zback, double focal_length) noexcept;

Matrix4 ortho_transformation(double zfront, double zback) noexcept;

// Gauss-Jordan inversion of the top-left 4x4 block with partial pivoting and no singularity test. Throws
// InternalFault (index out of bounds) when the view is smaller than 4x4.
Matrix4 invert(const MatrixView& m);

}  // namespace korvex::proj3d
