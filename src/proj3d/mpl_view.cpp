#include "proj3d/mpl_view.hpp"

#include <cmath>

#include "common/fp_flags.hpp"

namespace korvex::proj3d::mpl {
namespace {

// np.float64 ** 2 is libm's pow(x, 2.0), which differs from x * x in the last bit now and then; the exponent is
// hidden from the compiler, which would otherwise fold the call into a product.
double square_as_pow(double x) noexcept {
  double two = 2.0;
  asm("" : "+x"(two));
  return std::pow(x, two);
}

void cross(const double a[3], const double b[3], double c[3]) noexcept {
  // np.cross: each product rounded by the multiply ufunc, then the in-place subtraction.
  c[0] = a[1] * b[2] - a[2] * b[1];
  c[1] = a[2] * b[0] - a[0] * b[2];
  c[2] = a[0] * b[1] - a[1] * b[0];
}

void normalise(double x[3]) noexcept {
  const double n = norm3(x);
  for (int k = 0; k < 3; ++k) x[k] = x[k] / n;
}

// proj3d._rotation_about_vector(v, angle): NumPy scalar arithmetic, left to right.
void rotation_about_vector(const double v[3], double angle, const ViewFunctions& f, double r[9]) noexcept {
  const double n = norm3(v);
  const double vx = v[0] / n, vy = v[1] / n, vz = v[2] / n;
  const double s = f.sin(angle);
  const double c = f.cos(angle);
  const double t = 2.0 * square_as_pow(f.sin(angle / 2.0));
  r[0] = t * vx * vx + c;
  r[1] = t * vx * vy - vz * s;
  r[2] = t * vx * vz + vy * s;
  r[3] = t * vy * vx + vz * s;
  r[4] = t * vy * vy + c;
  r[5] = t * vy * vz - vx * s;
  r[6] = t * vz * vx - vy * s;
  r[7] = t * vz * vy + vx * s;
  r[8] = t * vz * vz + c;
}

}  // namespace

double norm3(const double x[3]) noexcept {
  return std::sqrt(std::fma(x[2], x[2], std::fma(x[1], x[1], x[0] * x[0])));
}

void gemv3(const double a[9], const double x[3], double y[3]) noexcept {
  for (int i = 0; i < 3; ++i) {
    const double* r = a + 3 * i;
    y[i] = std::fma(r[2], x[2], std::fma(r[0], x[0], r[1] * x[1])) + 0.0;
  }
}

void gemm4(const double a[16], const double b[16], double c[16]) noexcept {
  for (int i = 0; i < 4; ++i) {
    const double* r = a + 4 * i;
    for (int j = 0; j < 4; ++j) {
      c[4 * i + j] = std::fma(r[3], b[12 + j], std::fma(r[2], b[8 + j], std::fma(r[1], b[4 + j], r[0] * b[j]))) + 0.0;
    }
  }
}

void roll_to_vertical(const double in[3], int vertical_axis, double out[3]) noexcept {
  // np.roll by s = vertical_axis - 2 moves entry i to (i + s) mod 3.
  const int shift = vertical_axis - 2 + 3;
  for (int i = 0; i < 3; ++i) out[(i + shift) % 3] = in[i];
}

double norm_angle(double a) noexcept {
  // Python's float %: fmod, moved into the divisor's sign; a zero remainder takes the divisor's sign (+0).
  const double x = a + 360.0;
  double mod = std::fmod(x, 360.0);
  if (mod != 0.0) {
    if (mod < 0.0) mod += 360.0;
  } else {
    mod = 0.0;
  }
  return mod > 180.0 ? mod - 360.0 : mod;
}

unsigned view_matrix(const Camera& camera, const double world[16], const double projection[16],
                     const ViewFunctions& f, View& out) noexcept {
  FlagWindow window;
  double aspect[3], r[3];
  roll_to_vertical(camera.box_aspect, camera.vertical_axis, aspect);
  for (int k = 0; k < 3; ++k) r[k] = 0.5 * aspect[k];

  // The eye, rotating around the box.
  const double elev_rad = f.deg2rad(camera.elev);
  const double azim_rad = f.deg2rad(camera.azim);
  const double cos_elev = f.cos(elev_rad);
  const double p[3] = {cos_elev * f.cos(azim_rad), cos_elev * f.sin(azim_rad), f.sin(elev_rad)};
  double ps[3], eye[3];
  roll_to_vertical(p, camera.vertical_axis, ps);
  for (int k = 0; k < 3; ++k) eye[k] = r[k] + camera.dist * ps[k];

  // Axes3D._calc_view_axes and proj3d._view_axes.
  const double elev_norm = f.deg2rad(norm_angle(camera.elev));
  const double roll_norm = f.deg2rad(norm_angle(camera.roll));
  double vertical[3] = {0.0, 0.0, 0.0};
  vertical[camera.vertical_axis] = std::fabs(elev_norm) > 3.141592653589793 / 2 ? -1.0 : 1.0;
  double* u = out.u;
  double* v = out.v;
  double* w = out.w;
  for (int k = 0; k < 3; ++k) w[k] = eye[k] - r[k];
  normalise(w);
  cross(vertical, w, u);
  normalise(u);
  cross(w, u, v);
  if (roll_norm != 0.0) {
    double rotation[9], ru[3], rv[3];
    rotation_about_vector(w, -roll_norm, f, rotation);
    gemv3(rotation, u, ru);
    gemv3(rotation, v, rv);
    for (int k = 0; k < 3; ++k) {
      u[k] = ru[k];
      v[k] = rv[k];
    }
  }

  // proj3d._view_transformation_uvw(u, v, w, E), with E the eye moved out by the focal length in perspective.
  double e[3];
  for (int k = 0; k < 3; ++k) {
    e[k] = camera.focal_length == INFINITY ? eye[k] : r[k] + camera.dist * ps[k] * camera.focal_length;
  }
  const double rotate[16] = {u[0], u[1], u[2], 0, v[0], v[1], v[2], 0, w[0], w[1], w[2], 0, 0, 0, 0, 1};
  const double translate[16] = {1, 0, 0, -e[0], 0, 1, 0, -e[1], 0, 0, 1, -e[2], 0, 0, 0, 1};
  double view[16], m0[16];
  gemm4(rotate, translate, view);
  gemm4(view, world, m0);
  gemm4(projection, m0, out.m);
  return window.raised();
}

}  // namespace korvex::proj3d::mpl
