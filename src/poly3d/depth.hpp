// Depth of a projected polygon: the three reductions of its projected z values. Internal header of poly3d.
#pragma once

#include <cstddef>
#include <limits>

#include "poly3d/collection.hpp"

namespace korvex::poly3d::detail {

// Mean of n values. The summation order is fixed because it decides the last bits of a depth and so the order
// of near ties: below 8 values a plain left-to-right sum from +0.0; from 8 on, eight running sums over the
// complete blocks of eight, combined pairwise as (s0+s4), (s1+s5), (s2+s6), (s3+s7) into a sum from +0.0, then the
// n mod 8 remaining values one by one. No values gives 0.0.
inline double average_depth(const double* tz, std::size_t n) noexcept {
  if (n == 0) return 0.0;
  double total = 0.0;
  std::size_t i = 0;
  if (n >= 8) {
    double s[8] = {0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0};
    const std::size_t blocked = n - n % 8;
    for (; i < blocked; i += 8) {
      for (std::size_t j = 0; j < 8; ++j) s[j] += tz[i + j];
    }
    total = (((0.0 + (s[0] + s[4])) + (s[1] + s[5])) + (s[2] + s[6])) + (s[3] + s[7]);
  }
  for (; i < n; ++i) total += tz[i];
  return total / static_cast<double>(n);
}

// Means of `count` polygons of R values each, stored one after another in tz: the sums of average_depth (R < 8:
// left to right from +0.0), written with R fixed so that the compiler computes several polygons per instruction.
template <std::size_t R>
void average_depths(const double* tz, std::size_t count, double* depths) noexcept {
  static_assert(R >= 1 && R < 8, "the plain left-to-right sum");
  for (std::size_t k = 0; k < count; ++k) {
    double total = 0.0;
    for (std::size_t j = 0; j < R; ++j) total += tz[k * R + j];
    depths[k] = total / static_cast<double>(R);
  }
}

// Smallest value, skipping NaN (a comparison with NaN is false); the earlier of two equal values stays, so
// -0.0 after +0.0 keeps +0.0. +inf when there is no value to keep.
inline double min_depth(const double* tz, std::size_t n) noexcept {
  double best = std::numeric_limits<double>::infinity();
  for (std::size_t i = 0; i < n; ++i) {
    if (tz[i] < best) best = tz[i];
  }
  return best;
}

// Largest value, skipping NaN; -inf when there is no value to keep.
inline double max_depth(const double* tz, std::size_t n) noexcept {
  double best = -std::numeric_limits<double>::infinity();
  for (std::size_t i = 0; i < n; ++i) {
    if (tz[i] > best) best = tz[i];
  }
  return best;
}

// average_depths<4>, with eight quads per step where the processor has AVX-512 (same sums, same bits).
void average_quads(const double* tz, std::size_t count, double* depths) noexcept;

inline double reduce_depth(const double* tz, std::size_t n, ZSortMode mode) noexcept {
  switch (mode) {
    case ZSortMode::Min:
      return min_depth(tz, n);
    case ZSortMode::Max:
      return max_depth(tz, n);
    case ZSortMode::Average:
    default:
      return average_depth(tz, n);
  }
}

}  // namespace korvex::poly3d::detail
