// Matplotlib's shading of polygon colours at construction: art3d._generate_normals and art3d._shade_colors.
#include <cmath>

#include "poly3d/mpl_polys.hpp"

namespace korvex::poly3d::mpl {

double dot3(const double* a, const double* b, DotRule rule) noexcept {
  switch (rule) {
    case DotRule::Fused012:
      return std::fma(a[2], b[2], std::fma(a[1], b[1], a[0] * b[0]));
    case DotRule::Fused102:
    default:
      return std::fma(a[2], b[2], std::fma(a[0], b[0], a[1] * b[1]));
  }
}

std::array<double, 3> cross(const double* v1, const double* v2, bool& warns) noexcept {
  // Each component one product minus another, both rounded.
  const std::array<double, 3> k = {v1[1] * v2[2] - v1[2] * v2[1], v1[2] * v2[0] - v1[0] * v2[2],
                                   v1[0] * v2[1] - v1[1] * v2[0]};
  // From finite operands only an overflow makes a component non-finite; non-finite operands are not judged.
  for (int c = 0; c < 3; ++c) {
    if (!std::isfinite(v1[c]) || !std::isfinite(v2[c]) || !std::isfinite(k[c])) warns = true;
  }
  return k;
}

bool shade_factors(const double* normals, std::size_t n, const double direction[3], DotRule rule,
                   double* factors) {
  bool any_number = false;
  for (std::size_t i = 0; i < n; ++i) {
    const double* k = normals + 3 * i;
    double squares[3];
    for (int c = 0; c < 3; ++c) {
      squares[c] = k[c] * k[c];
      if (std::isinf(squares[c]) && std::isfinite(k[c])) return false;
    }
    const double length = std::sqrt(numpy_sum(squares, 3));
    const double unit[3] = {k[0] / length, k[1] / length, k[2] / length};
    double d = dot3(unit, direction, rule);
    if (d != d) {
      d = 0.0;
    } else {
      any_number = true;
    }
    factors[i] = 0.3 + ((d - -1.0) / 2.0) * (1.0 - 0.3);
  }
  return any_number;
}

}  // namespace korvex::poly3d::mpl
