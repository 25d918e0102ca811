#include "proj3d/mpl_points.hpp"

#include <cmath>
#include <limits>

#include "common/fp_flags.hpp"

namespace korvex::proj3d::mpl {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

double nan_min(double a, double b) noexcept { return std::isnan(a) || std::isnan(b) ? kNaN : (b < a ? b : a); }
double nan_max(double a, double b) noexcept { return std::isnan(a) || std::isnan(b) ? kNaN : (b > a ? b : a); }

// np.float64 ** 2 is libm's pow(x, 2.0); the exponent is hidden from the compiler, which would fold it to x * x.
double square_as_pow(double x) noexcept {
  double two = 2.0;
  asm("" : "+x"(two));
  return std::pow(x, two);
}

}  // namespace

ViewLimits ViewLimits::from_intervals(const double x[2], const double y[2], const double z[2]) noexcept {
  return {nan_min(x[0], x[1]), nan_max(x[0], x[1]), nan_min(y[0], y[1]),
          nan_max(y[0], y[1]), nan_min(z[0], z[1]), nan_max(z[0], z[1])};
}

void hide_outside(const double* x, const double* y, const double* z, std::size_t n, const ViewLimits& l,
                  bool* hidden) noexcept {
  for (std::size_t i = 0; i < n; ++i) {
    // Quiet comparisons: NumPy's < and > on NaN raise nothing it reports.
    const bool out = std::isless(x[i], l.xmin) || std::isgreater(x[i], l.xmax) || std::isless(y[i], l.ymin) ||
                     std::isgreater(y[i], l.ymax) || std::isless(z[i], l.zmin) || std::isgreater(z[i], l.zmax);
    hidden[i] = hidden[i] || out;
  }
}

void hide_non_finite(const double* x, const double* y, const double* z, std::size_t n, bool* hidden) noexcept {
  for (std::size_t i = 0; i < n; ++i) {
    hidden[i] = hidden[i] || !(std::isfinite(x[i]) && std::isfinite(y[i]) && std::isfinite(z[i]));
  }
}

unsigned data_scale(const double* x, const double* y, const double* z, const bool* visible, std::size_t n,
                    double& scale) noexcept {
  double lo[3] = {INFINITY, INFINITY, INFINITY}, hi[3] = {-INFINITY, -INFINITY, -INFINITY};
  const double* rows[3] = {x, y, z};
  for (std::size_t i = 0; i < n; ++i) {
    if (!visible[i]) continue;
    for (int k = 0; k < 3; ++k) {
      const double v = rows[k][i];
      if (v < lo[k]) lo[k] = v;
      if (v > hi[k]) hi[k] = v;
    }
  }
  // The sign of a zero extreme cannot change ptp ** 2, so the reduction order does not matter here.
  FlagWindow window;
  double sum = square_as_pow(hi[0] - lo[0]);
  sum = sum + square_as_pow(hi[1] - lo[1]);
  sum = sum + square_as_pow(hi[2] - lo[2]);
  scale = std::sqrt(sum);
  return window.raised();
}

bool min_value(const double* values, const bool* visible, std::size_t n, double& result) noexcept {
  double best = INFINITY;
  bool seen = false, nan = false, positive_zero = false, negative_zero = false;
  for (std::size_t i = 0; i < n; ++i) {
    if (visible != nullptr && !visible[i]) continue;
    const double v = values[i];
    if (std::isnan(v)) {
      nan = true;
      continue;
    }
    if (v == 0.0) (std::signbit(v) ? negative_zero : positive_zero) = true;
    if (!seen || v < best) best = v;
    seen = true;
  }
  if (nan) return false;
  if (best == 0.0 && positive_zero && negative_zero) return false;
  result = best;
  return true;
}

}  // namespace korvex::proj3d::mpl
