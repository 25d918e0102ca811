// The per-point rule shared by every projection of the module (point sets, clipping, inverse, polygon outlines).
// The arithmetic lives here once, so the point loops of point_kernels.cpp and the per-polygon loop of the
// collection cannot drift apart by a single operation.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>

#include "common/fault.hpp"
#include "proj3d/matrix.hpp"

namespace korvex::proj3d {

// Throws the index-out-of-bounds fault of a read of element (3, 3) from a matrix smaller than 4x4: the row count
// is reported first, then the column count.
inline void require_4x4(const MatrixView& m) {
  if (m.rows < 4) index_out_of_bounds(3, m.rows);
  if (m.cols < 4) index_out_of_bounds(3, m.cols);
}

// Copies the top-left 4x4 block into a dense row-major array. Callers check has_4x4() first.
inline void load_block(const MatrixView& m, double out[16]) noexcept {
  for (std::size_t r = 0; r < 4; ++r) {
    for (std::size_t c = 0; c < 4; ++c) out[r * 4 + c] = m.at(r, c);
  }
}

// Row sum of a point (x, y, z, 1): starts at +0.0 (so an all -0.0 row still sums to +0.0) and adds each product
// on its own, left to right; every product is formed even for zero entries, so 0 * inf gives NaN. The last term
// is M[r][3] * 1, which equals M[r][3] bit for bit, NaN payloads included.
[[gnu::always_inline]] inline double row_sum(const double* row, double x, double y, double z) noexcept {
  return (((0.0 + row[0] * x) + row[1] * y) + row[2] * z) + row[3];
}

// Projects one point through the dense block `m`. A weight equal to 0 (either sign) gives (0, 0, 0); any other
// weight, NaN included, divides each coordinate once. The divisions are always formed and then discarded by a
// select, which keeps the loops that call this branch-free (and vectorisable) without changing any result; IEEE
// division never traps here, since the floating-point exceptions stay masked.
[[gnu::always_inline]] inline void project_point(const double* m, double x, double y, double z, double& tx,
                                                 double& ty, double& tz) noexcept {
  const double v0 = row_sum(m + 0, x, y, z);
  const double v1 = row_sum(m + 4, x, y, z);
  const double v2 = row_sum(m + 8, x, y, z);
  const double w = row_sum(m + 12, x, y, z);
  const double q0 = v0 / w;
  const double q1 = v1 / w;
  const double q2 = v2 / w;
  // A bit mask rather than `w == 0 ? 0.0 : q`: the compiler would sink the (possibly trapping) divisions into the
  // branch and then refuse to vectorise the loop. All ones keeps the quotient, all zeros gives +0.0.
  const std::uint64_t keep = std::uint64_t{0} - static_cast<std::uint64_t>(w != 0.0);
  tx = std::bit_cast<double>(std::bit_cast<std::uint64_t>(q0) & keep);
  ty = std::bit_cast<double>(std::bit_cast<std::uint64_t>(q1) & keep);
  tz = std::bit_cast<double>(std::bit_cast<std::uint64_t>(q2) & keep);
}

// Instruction sets the point loop has a build for. Every build gives the bits of project_point (correctly rounded
// IEEE operations; the AVX-512 build reaches the same quotients through a reciprocal and fused multiply-adds); only
// the number of points per instruction differs.
enum class PointIsa : unsigned char { Scalar, Sse2, Avx, Avx512 };

// Whether this machine (and this build) can run the loop built for `isa`.
bool point_isa_available(PointIsa isa) noexcept;

// The widest available build; chosen once per process.
PointIsa best_point_isa() noexcept;

// Projects points [0, n) of three contiguous columns through the dense block `m` into three output columns, with
// the build for `isa` (which must be available). Outputs must not overlap the inputs or the matrix. Runs on the
// calling thread.
void project_points_with(PointIsa isa, const double* xs, const double* ys, const double* zs, const double* m,
                         double* tx, double* ty, double* tz, std::size_t n) noexcept;

// project_points_with(best_point_isa(), ...).
void project_points(const double* xs, const double* ys, const double* zs, const double* m, double* tx, double* ty,
                    double* tz, std::size_t n) noexcept;

// Projects n points stored as rows of `stride` doubles (x, y, z in the first three; stride >= 3) through the dense
// block `m`: row k gives the pair (xy[2k], xy[2k + 1]) and tz[k]. The same operations as project_point, point by
// point, with the build for `isa` (which must be available). Outputs must not overlap the rows or the matrix.
// Runs on the calling thread.
void project_rows_with(PointIsa isa, const double* rows, std::size_t stride, std::size_t n, const double* m,
                       double* xy, double* tz) noexcept;

// project_rows_with(best_point_isa(), ...).
void project_rows(const double* rows, std::size_t stride, std::size_t n, const double* m, double* xy,
                  double* tz) noexcept;

}  // namespace korvex::proj3d
