#include "proj3d/mpl_points.hpp"

#include <cmath>
#include <limits>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "common/fp_flags.hpp"

namespace korvex::proj3d::mpl {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kMax = std::numeric_limits<double>::max();

double nan_min(double a, double b) noexcept { return std::isnan(a) || std::isnan(b) ? kNaN : (b < a ? b : a); }
double nan_max(double a, double b) noexcept { return std::isnan(a) || std::isnan(b) ? kNaN : (b > a ? b : a); }

// np.float64 ** 2 is libm's pow(x, 2.0); the exponent is hidden from the compiler, which would fold it to x * x.
double square_as_pow(double x) noexcept {
  double two = 2.0;
  asm("" : "+x"(two));
  return std::pow(x, two);
}

// Smallest and largest of row[i] over the visible i (all when `visible` is null): +inf and -inf when none;
// `nan` is set when a visible value is NaN (the extremes then leave it out). A zero extreme may come out with
// either sign when both occur.
void extremes(const double* row, const bool* visible, std::size_t n, double& lo, double& hi, bool& nan) noexcept {
  std::size_t i = 0;
  double low = INFINITY, high = -INFINITY;
  bool unordered = false;
#if defined(__SSE2__)
  // Two lanes at a time with the exact min and max instructions; hidden values become +inf / -inf.
  const __m128d up = _mm_set1_pd(INFINITY), down = _mm_set1_pd(-INFINITY);
  __m128d l = up, h = down, u = _mm_setzero_pd();
  for (; i + 2 <= n; i += 2) {
    const __m128d keep = visible == nullptr
                             ? _mm_castsi128_pd(_mm_set1_epi64x(-1))
                             : _mm_castsi128_pd(_mm_set_epi64x(-static_cast<long long>(visible[i + 1]),
                                                               -static_cast<long long>(visible[i])));
    const __m128d v = _mm_loadu_pd(row + i);
    u = _mm_or_pd(u, _mm_and_pd(keep, _mm_cmpunord_pd(v, v)));
    l = _mm_min_pd(l, _mm_or_pd(_mm_and_pd(keep, v), _mm_andnot_pd(keep, up)));
    h = _mm_max_pd(h, _mm_or_pd(_mm_and_pd(keep, v), _mm_andnot_pd(keep, down)));
  }
  double lanes[2];
  _mm_storeu_pd(lanes, l);
  low = lanes[0] < lanes[1] ? lanes[0] : lanes[1];
  _mm_storeu_pd(lanes, h);
  high = lanes[0] > lanes[1] ? lanes[0] : lanes[1];
  unordered = _mm_movemask_pd(u) != 0;
#endif
  for (; i < n; ++i) {
    if (visible != nullptr && !visible[i]) continue;
    const double v = row[i];
    if (std::isnan(v)) {
      unordered = true;
      continue;
    }
    low = v < low ? v : low;
    high = v > high ? v : high;
  }
  lo = low;
  hi = high;
  nan = nan || unordered;
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
  // Without branches, so that the loop vectorises: |v| <= DBL_MAX is false exactly for infinities and NaN.
  for (std::size_t i = 0; i < n; ++i) {
    const bool finite = std::islessequal(std::fabs(x[i]), kMax) & std::islessequal(std::fabs(y[i]), kMax) &
                        std::islessequal(std::fabs(z[i]), kMax);
    hidden[i] = hidden[i] | !finite;
  }
}

unsigned data_scale(const double* x, const double* y, const double* z, const bool* visible, std::size_t n,
                    double& scale) noexcept {
  double lo[3], hi[3];
  bool nan = false;
  extremes(x, visible, n, lo[0], hi[0], nan);
  extremes(y, visible, n, lo[1], hi[1], nan);
  extremes(z, visible, n, lo[2], hi[2], nan);
  // The sign of a zero extreme cannot change ptp ** 2, so the reduction order does not matter here.
  FlagWindow window;
  double sum = square_as_pow(hi[0] - lo[0]);
  sum = sum + square_as_pow(hi[1] - lo[1]);
  sum = sum + square_as_pow(hi[2] - lo[2]);
  scale = std::sqrt(sum);
  return window.raised() | (nan ? kInvalid : 0u);
}

bool min_value(const double* values, const bool* visible, std::size_t n, double& result) noexcept {
  double lo = INFINITY, hi = -INFINITY;
  bool nan = false;
  extremes(values, visible, n, lo, hi, nan);
  if (nan) return false;
  if (lo == 0.0) {
    // Which zero np.minimum.reduce returns depends on its order when both occur.
    bool positive = false, negative = false;
    for (std::size_t i = 0; i < n; ++i) {
      if ((visible == nullptr || visible[i]) && values[i] == 0.0) (std::signbit(values[i]) ? negative : positive) = true;
    }
    if (positive && negative) return false;
  }
  result = lo;
  return true;
}

}  // namespace korvex::proj3d::mpl
