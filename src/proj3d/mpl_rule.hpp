// Matplotlib's per-point arithmetic, bit for bit: proj3d forms np.dot(M, vec) for a float64 4x4 M and a 4 x N
// vec, then divides rows 0-2 by row 3. NumPy hands that product to the BLAS it ships (OpenBLAS), whose kernels on
// x86-64 with FMA sum each entry in one of two orders, depending only on N:
//   - N >= 2 (dgemm): one fused multiply-add chain over k = 0..3, fma(m3, v3, fma(m2, v2, fma(m1, v1, m0 * v0)));
//   - N == 1 or a vec of shape (4,) (dgemv): two pairs, (m0 v0 + m2 v2) + (m1 v1 + m3 v3).
// Both store alpha * sum + 0 into the zeroed output, so a sum of -0.0 comes out as +0.0 (the "+ 0.0" below).
// These orders were read off NumPy's results for random inputs, contiguous, column-major and strided alike; a
// BLAS with other kernels (another CPU family or library) may differ from them in the last bit.
//
// Floating-point exceptions. NumPy reports IEEE exceptions raised by np.dot and by the division as warnings
// (or errors, per np.errstate). The loops here report whether any was raised (invalid, divide-by-zero, overflow,
// underflow), so that a caller can hand such a call to Matplotlib's own code and let NumPy speak for itself.
#pragma once

#include <cmath>
#include <cstddef>

#include "common/fp_flags.hpp"

namespace korvex::proj3d::mpl {

// Row r (four entries) of M times the column (x, y, z, w), as dgemm sums it.
[[gnu::always_inline]] inline double gemm_row(const double* r, double x, double y, double z, double w) noexcept {
  return std::fma(r[3], w, std::fma(r[2], z, std::fma(r[1], y, r[0] * x))) + 0.0;
}

// Row r of M times the column (x, y, z, w), as dgemv sums it.
[[gnu::always_inline]] inline double gemv_row(const double* r, double x, double y, double z, double w) noexcept {
  return ((r[0] * x + r[2] * z) + (r[1] * y + r[3] * w)) + 0.0;
}

// IEEE exceptions raised, as bits.
using korvex::FpRaised;
using korvex::kDivideByZero;
using korvex::kInvalid;
using korvex::kOverflow;
using korvex::kUnderflow;

// The four rows of the homogeneous points: contiguous columns of n values; w == nullptr stands for all ones.
struct Columns {
  const double* x;
  const double* y;
  const double* z;
  const double* w;
};

// tx, ty, tz = (M v)[0:3] / (M v)[3] for the n points of v, with the sum order NumPy's dot uses for a 4 x n
// operand (dgemv when n == 1, dgemm otherwise); `m` is row-major. A weight of 0 gives what IEEE division gives
// (inf or NaN). Returns the exceptions raised by the sums and divisions (FpRaised bits). Outputs must not overlap
// the inputs. Large n run on the worker pool (per-point results, so the pool size changes nothing). Throws
// InternalFault when the pool is needed but cannot be created.
unsigned project(const double* m, Columns v, std::size_t n, double* tx, double* ty, double* tz);

// Matplotlib's clip test of projected points: -1 <= x <= 1, -1 <= y <= 1 and z <= 0 (NaN fails every test).
// Comparisons raise nothing that NumPy reports.
void in_view(const double* tx, const double* ty, const double* tz, std::size_t n, bool* visible) noexcept;

// proj3d.inv_transform's loop: r = M v per column (sum order as in project()); a column whose weight r3 is not 0
// is divided by it (all four rows, row 3 included), any other column is left as summed. Writes rows 0-2.
// Returns the exceptions raised.
unsigned inverse(const double* m, Columns v, std::size_t n, double* rx, double* ry, double* rz);

}  // namespace korvex::proj3d::mpl
