// Axes3D.get_proj's arithmetic, bit for bit: the eye position, the view axes u, v, w, and the product of the
// projection, view and world matrices, as Matplotlib computes them with NumPy.
//
// Each NumPy operation is one rounding step here too: elementwise ufuncs round every result, NumPy scalars do
// their arithmetic in float64 one operation at a time, and np.dot hands the rest to the BLAS NumPy ships
// (OpenBLAS), whose kernels on x86-64 with FMA sum in these orders (read off NumPy's results for random inputs):
//   - np.linalg.norm of three values (ddot): fma(x2, x2, fma(x1, x1, x0 * x0)), then the square root;
//   - a 3x3 matrix times a 3-vector (dgemv): fma(a2, x2, fma(a0, x0, a1 * x1)) + 0.0 per row;
//   - a 4x4 matrix times a 4x4 matrix (dgemm): fma(a3, b3, fma(a2, b2, fma(a1, b1, a0 * b0))) + 0.0 per entry.
// The "+ 0.0" is the BLAS storing alpha * sum into a zeroed output (a sum of -0.0 comes out as +0.0).
// np.deg2rad, np.sin and np.cos are NumPy's own loops, which the caller passes in (ViewFunctions).
#pragma once

#include <cstddef>

namespace korvex::proj3d::mpl {

// A float64 function of one float64, computed as NumPy's ufunc loop for float64 computes it.
struct UnaryFunction {
  double (*call)(const void* context, double x);
  const void* context;
  double operator()(double x) const { return call(context, x); }
};

struct ViewFunctions {
  UnaryFunction deg2rad;
  UnaryFunction sin;
  UnaryFunction cos;
};

// What get_proj reads from the axes besides its limits, as float64 values (NumPy converts Python ints to float64
// before each of these takes part in array arithmetic).
struct Camera {
  double box_aspect[3];  // Axes3D._box_aspect, before the roll to the vertical axis
  int vertical_axis;     // 0, 1 or 2
  double elev, azim, roll;
  double dist;
  double focal_length;  // inf for an orthographic projection
};

struct View {
  double m[16];  // row-major
  double u[3], v[3], w[3];
};

// np.roll(values, vertical_axis - 2) of three values (Axes3D._roll_to_vertical).
void roll_to_vertical(const double in[3], int vertical_axis, double out[3]) noexcept;

// art3d._norm_angle of a float: Python's (a + 360) % 360, less 360 above 180. A finite argument raises nothing.
double norm_angle(double a) noexcept;

// The rest of get_proj, given the world and projection matrices (row-major, as Matplotlib built them). Returns
// the IEEE exceptions raised (FpRaised bits of common/fp_flags.hpp).
unsigned view_matrix(const Camera& camera, const double world[16], const double projection[16],
                     const ViewFunctions& f, View& out) noexcept;

// The BLAS orders above, exposed for the tests.
double norm3(const double x[3]) noexcept;
void gemv3(const double a[9], const double x[3], double y[3]) noexcept;
void gemm4(const double a[16], const double b[16], double c[16]) noexcept;

}  // namespace korvex::proj3d::mpl
