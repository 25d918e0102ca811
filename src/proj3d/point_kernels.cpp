// The point loop, built once per instruction set and chosen at run time.
//
// The loop is bound by division throughput (three divisions per point, one per coordinate, which the exact
// results require), and divider throughput per element is the same for 2-, 4- and 8-wide vectors on current
// cores; so the widest build is AVX, which also avoids the clock penalty of 512-bit division on some parts.
//
// Every build forms exactly the operations of project_point: four row sums from +0.0 with separate products,
// three divisions by the weight, and the zero-weight select done as a bit mask (all ones for w != 0, where
// an unordered NaN weight counts as "not equal" and keeps its NaN quotients). Vector lanes are independent
// points, so the width changes how many points one instruction handles, never a result bit. Nothing here may be
// fused into a multiply-add: the intrinsics used are plain multiplies and adds, and -ffp-contract=off keeps the
// compiler from contracting them.
#include <cstddef>

#include "proj3d/point_rule.hpp"

#if defined(__x86_64__) && defined(__GNUC__)
#include <immintrin.h>
#define KORVEX_POINT_X86 1
#else
#define KORVEX_POINT_X86 0
#endif

namespace korvex::proj3d {

namespace {

// Reference build: one point at a time.
void project_scalar(const double* __restrict xs, const double* __restrict ys, const double* __restrict zs,
                    const double* __restrict m, double* __restrict tx, double* __restrict ty, double* __restrict tz,
                    std::size_t n) noexcept {
  double block[16];
  for (int k = 0; k < 16; ++k) block[k] = m[k];
  for (std::size_t i = 0; i < n; ++i) project_point(block, xs[i], ys[i], zs[i], tx[i], ty[i], tz[i]);
}

// Rows of a polygon store: the coordinates of one point are `stride` doubles apart from the next point's, so the
// vector builds gather them lane by lane; the divisions, not these loads, bound the loop.
void project_rows_scalar(const double* __restrict rows, std::size_t stride, std::size_t n,
                         const double* __restrict m, double* __restrict xy, double* __restrict tz) noexcept {
  double block[16];
  for (int k = 0; k < 16; ++k) block[k] = m[k];
  for (std::size_t i = 0; i < n; ++i, rows += stride) {
    project_point(block, rows[0], rows[1], rows[2], xy[2 * i], xy[2 * i + 1], tz[i]);
  }
}

#if KORVEX_POINT_X86

// SSE2 is part of x86-64 itself: two points per step.
[[gnu::always_inline]] inline __m128d row_sse2(const __m128d* r, __m128d x, __m128d y, __m128d z) {
  __m128d s = _mm_add_pd(_mm_setzero_pd(), _mm_mul_pd(r[0], x));
  s = _mm_add_pd(s, _mm_mul_pd(r[1], y));
  s = _mm_add_pd(s, _mm_mul_pd(r[2], z));
  return _mm_add_pd(s, r[3]);
}

void project_sse2(const double* __restrict xs, const double* __restrict ys, const double* __restrict zs,
                  const double* __restrict m, double* __restrict tx, double* __restrict ty, double* __restrict tz,
                  std::size_t n) noexcept {
  __m128d b[16];
  for (int k = 0; k < 16; ++k) b[k] = _mm_set1_pd(m[k]);
  const __m128d zero = _mm_setzero_pd();
  std::size_t i = 0;
  for (; i + 2 <= n; i += 2) {
    const __m128d x = _mm_loadu_pd(xs + i);
    const __m128d y = _mm_loadu_pd(ys + i);
    const __m128d z = _mm_loadu_pd(zs + i);
    const __m128d w = row_sse2(b + 12, x, y, z);
    const __m128d keep = _mm_cmpneq_pd(w, zero);
    _mm_storeu_pd(tx + i, _mm_and_pd(_mm_div_pd(row_sse2(b + 0, x, y, z), w), keep));
    _mm_storeu_pd(ty + i, _mm_and_pd(_mm_div_pd(row_sse2(b + 4, x, y, z), w), keep));
    _mm_storeu_pd(tz + i, _mm_and_pd(_mm_div_pd(row_sse2(b + 8, x, y, z), w), keep));
  }
  for (; i < n; ++i) project_point(m, xs[i], ys[i], zs[i], tx[i], ty[i], tz[i]);
}

// AVX: four points per step (double-precision AVX needs no AVX2).
[[gnu::target("avx"), gnu::always_inline]] inline __m256d row_avx(const __m256d* r, __m256d x, __m256d y,
                                                                   __m256d z) {
  __m256d s = _mm256_add_pd(_mm256_setzero_pd(), _mm256_mul_pd(r[0], x));
  s = _mm256_add_pd(s, _mm256_mul_pd(r[1], y));
  s = _mm256_add_pd(s, _mm256_mul_pd(r[2], z));
  return _mm256_add_pd(s, r[3]);
}

[[gnu::target("avx")]] void project_avx(const double* __restrict xs, const double* __restrict ys,
                                        const double* __restrict zs, const double* __restrict m,
                                        double* __restrict tx, double* __restrict ty, double* __restrict tz,
                                        std::size_t n) noexcept {
  __m256d b[16];
  for (int k = 0; k < 16; ++k) b[k] = _mm256_set1_pd(m[k]);
  const __m256d zero = _mm256_setzero_pd();
  std::size_t i = 0;
  for (; i + 4 <= n; i += 4) {
    const __m256d x = _mm256_loadu_pd(xs + i);
    const __m256d y = _mm256_loadu_pd(ys + i);
    const __m256d z = _mm256_loadu_pd(zs + i);
    const __m256d w = row_avx(b + 12, x, y, z);
    const __m256d keep = _mm256_cmp_pd(w, zero, _CMP_NEQ_UQ);
    _mm256_storeu_pd(tx + i, _mm256_and_pd(_mm256_div_pd(row_avx(b + 0, x, y, z), w), keep));
    _mm256_storeu_pd(ty + i, _mm256_and_pd(_mm256_div_pd(row_avx(b + 4, x, y, z), w), keep));
    _mm256_storeu_pd(tz + i, _mm256_and_pd(_mm256_div_pd(row_avx(b + 8, x, y, z), w), keep));
  }
  for (; i < n; ++i) project_point(m, xs[i], ys[i], zs[i], tx[i], ty[i], tz[i]);
}

void project_rows_sse2(const double* __restrict rows, std::size_t stride, std::size_t n, const double* __restrict m,
                       double* __restrict xy, double* __restrict tz) noexcept {
  __m128d b[16];
  for (int k = 0; k < 16; ++k) b[k] = _mm_set1_pd(m[k]);
  const __m128d zero = _mm_setzero_pd();
  std::size_t i = 0;
  for (; i + 2 <= n; i += 2, rows += 2 * stride) {
    const double* r1 = rows + stride;
    const __m128d x = _mm_set_pd(r1[0], rows[0]);
    const __m128d y = _mm_set_pd(r1[1], rows[1]);
    const __m128d z = _mm_set_pd(r1[2], rows[2]);
    const __m128d w = row_sse2(b + 12, x, y, z);
    const __m128d keep = _mm_cmpneq_pd(w, zero);
    const __m128d tx = _mm_and_pd(_mm_div_pd(row_sse2(b + 0, x, y, z), w), keep);
    const __m128d ty = _mm_and_pd(_mm_div_pd(row_sse2(b + 4, x, y, z), w), keep);
    _mm_storeu_pd(tz + i, _mm_and_pd(_mm_div_pd(row_sse2(b + 8, x, y, z), w), keep));
    _mm_storeu_pd(xy + 2 * i, _mm_unpacklo_pd(tx, ty));
    _mm_storeu_pd(xy + 2 * i + 2, _mm_unpackhi_pd(tx, ty));
  }
  if (i < n) project_point(m, rows[0], rows[1], rows[2], xy[2 * i], xy[2 * i + 1], tz[i]);
}

[[gnu::target("avx")]] void project_rows_avx(const double* __restrict rows, std::size_t stride, std::size_t n,
                                             const double* __restrict m, double* __restrict xy,
                                             double* __restrict tz) noexcept {
  __m256d b[16];
  for (int k = 0; k < 16; ++k) b[k] = _mm256_set1_pd(m[k]);
  const __m256d zero = _mm256_setzero_pd();
  std::size_t i = 0;
  for (; i + 4 <= n; i += 4, rows += 4 * stride) {
    const double* r1 = rows + stride;
    const double* r2 = r1 + stride;
    const double* r3 = r2 + stride;
    const __m256d x = _mm256_set_pd(r3[0], r2[0], r1[0], rows[0]);
    const __m256d y = _mm256_set_pd(r3[1], r2[1], r1[1], rows[1]);
    const __m256d z = _mm256_set_pd(r3[2], r2[2], r1[2], rows[2]);
    const __m256d w = row_avx(b + 12, x, y, z);
    const __m256d keep = _mm256_cmp_pd(w, zero, _CMP_NEQ_UQ);
    const __m256d tx = _mm256_and_pd(_mm256_div_pd(row_avx(b + 0, x, y, z), w), keep);
    const __m256d ty = _mm256_and_pd(_mm256_div_pd(row_avx(b + 4, x, y, z), w), keep);
    _mm256_storeu_pd(tz + i, _mm256_and_pd(_mm256_div_pd(row_avx(b + 8, x, y, z), w), keep));
    // (x0 y0 x2 y2) and (x1 y1 x3 y3), then their halves recombined in point order.
    const __m256d even = _mm256_unpacklo_pd(tx, ty);
    const __m256d odd = _mm256_unpackhi_pd(tx, ty);
    _mm256_storeu_pd(xy + 2 * i, _mm256_permute2f128_pd(even, odd, 0x20));
    _mm256_storeu_pd(xy + 2 * i + 4, _mm256_permute2f128_pd(even, odd, 0x31));
  }
  for (; i < n; ++i, rows += stride) project_point(m, rows[0], rows[1], rows[2], xy[2 * i], xy[2 * i + 1], tz[i]);
}

#endif  // KORVEX_POINT_X86

PointIsa pick_point_isa() noexcept {
  if (point_isa_available(PointIsa::Avx)) return PointIsa::Avx;
  if (point_isa_available(PointIsa::Sse2)) return PointIsa::Sse2;
  return PointIsa::Scalar;
}

}  // namespace

bool point_isa_available(PointIsa isa) noexcept {
  switch (isa) {
    case PointIsa::Scalar:
      return true;
#if KORVEX_POINT_X86
    case PointIsa::Sse2:
      return true;
    case PointIsa::Avx:
      __builtin_cpu_init();
      return __builtin_cpu_supports("avx");
#endif
    default:
      return false;
  }
}

PointIsa best_point_isa() noexcept {
  static const PointIsa best = pick_point_isa();
  return best;
}

void project_points_with(PointIsa isa, const double* xs, const double* ys, const double* zs, const double* m,
                         double* tx, double* ty, double* tz, std::size_t n) noexcept {
  switch (isa) {
#if KORVEX_POINT_X86
    case PointIsa::Sse2:
      return project_sse2(xs, ys, zs, m, tx, ty, tz, n);
    case PointIsa::Avx:
      return project_avx(xs, ys, zs, m, tx, ty, tz, n);
#endif
    case PointIsa::Scalar:
    default:
      return project_scalar(xs, ys, zs, m, tx, ty, tz, n);
  }
}

void project_points(const double* xs, const double* ys, const double* zs, const double* m, double* tx, double* ty,
                    double* tz, std::size_t n) noexcept {
  project_points_with(best_point_isa(), xs, ys, zs, m, tx, ty, tz, n);
}

void project_rows_with(PointIsa isa, const double* rows, std::size_t stride, std::size_t n, const double* m,
                       double* xy, double* tz) noexcept {
  switch (isa) {
#if KORVEX_POINT_X86
    case PointIsa::Sse2:
      return project_rows_sse2(rows, stride, n, m, xy, tz);
    case PointIsa::Avx:
      return project_rows_avx(rows, stride, n, m, xy, tz);
#endif
    case PointIsa::Scalar:
    default:
      return project_rows_scalar(rows, stride, n, m, xy, tz);
  }
}

void project_rows(const double* rows, std::size_t stride, std::size_t n, const double* m, double* xy,
                  double* tz) noexcept {
  project_rows_with(best_point_isa(), rows, stride, n, m, xy, tz);
}

}  // namespace korvex::proj3d
