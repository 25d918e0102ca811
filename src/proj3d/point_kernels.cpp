// The point loop, built once per instruction set and chosen at run time.
//
// Three divisions per point, one per coordinate, bound the plain builds: divider throughput per element is the
// same for 2-, 4- and 8-wide vectors on current cores. The AVX-512 build divides once per point and recovers the
// three quotients, bit for bit, with fused multiply-adds (see divide_avx512), and takes rows of three values
// apart with permutes rather than lane by lane.
//
// Every build forms exactly the operations of project_point: four row sums from +0.0 with separate products,
// three quotients by the weight, and the zero-weight select done as a bit mask (all ones for w != 0, where
// an unordered NaN weight counts as "not equal" and keeps its NaN quotients). Vector lanes are independent
// points, so the width changes how many points one instruction handles, never a result bit. No row sum may be
// fused into a multiply-add: the intrinsics used there are plain multiplies and adds, and -ffp-contract=off keeps
// the compiler from contracting them.
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
[[gnu::noinline]] void project_scalar(const double* __restrict xs, const double* __restrict ys, const double* __restrict zs,
                    const double* __restrict m, double* __restrict tx, double* __restrict ty, double* __restrict tz,
                    std::size_t n) noexcept {
  double block[16];
  for (int k = 0; k < 16; ++k) block[k] = m[k];
  for (std::size_t i = 0; i < n; ++i) project_point(block, xs[i], ys[i], zs[i], tx[i], ty[i], tz[i]);
}

// Rows of a polygon store: the coordinates of one point are `stride` doubles apart from the next point's, so the
// vector builds gather them lane by lane; the divisions, not these loads, bound the loop.
[[gnu::noinline]] void project_rows_scalar(const double* __restrict rows, std::size_t stride, std::size_t n,
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

// AVX-512: eight points per step, and one division per point instead of three. For a weight w and its correctly
// rounded reciprocal r = 1/w, the quotient a/w comes from q = a*r (within one ulp of a/w), the remainder a - w*q
// (exact, as one fused multiply-add) and q + (a - w*q)*r (one more, rounded once): that sum is a/w correctly
// rounded, the bits of the division, as long as nothing over- or underflows. So eight points take this path only
// when all their numerators and weights have magnitudes in [2^-400, 2^400) (which rules out zeros, subnormals,
// infinities and NaNs); any other group of eight is divided. The row sums stay separate multiplies and adds.
[[gnu::target("avx512f"), gnu::always_inline]] inline __m512d row_avx512(const double* r, __m512d x, __m512d y,
                                                                         __m512d z) {
  __m512d s = _mm512_add_pd(_mm512_setzero_pd(), _mm512_mul_pd(_mm512_set1_pd(r[0]), x));
  s = _mm512_add_pd(s, _mm512_mul_pd(_mm512_set1_pd(r[1]), y));
  s = _mm512_add_pd(s, _mm512_mul_pd(_mm512_set1_pd(r[2]), z));
  return _mm512_add_pd(s, _mm512_set1_pd(r[3]));
}

// Lanes of `v` whose magnitude is in [2^-400, 2^400), within the lanes of `k`: one unsigned comparison of the
// magnitude's bits, offset so that the range starts at zero.
[[gnu::target("avx512f"), gnu::always_inline]] inline __mmask8 in_safe_range(__mmask8 k, __m512d v) {
  const __m512i bits = _mm512_and_si512(_mm512_castpd_si512(v), _mm512_set1_epi64(0x7FFFFFFFFFFFFFFF));
  const __m512i offset = _mm512_sub_epi64(bits, _mm512_set1_epi64(0x26F0000000000000));  // bits of 2^-400
  return _mm512_mask_cmplt_epu64_mask(k, offset, _mm512_set1_epi64(0x3200000000000000));  // 2^400 - 2^-400
}

// The reciprocal's correction gives the division's bits under rounding to nearest only, the mode every program
// runs in unless it changes it; in another mode the AVX build divides.
inline bool rounds_to_nearest() noexcept { return (_mm_getcsr() & 0x6000u) == 0; }

[[gnu::target("avx512f"), gnu::always_inline]] inline __m512d quotient_avx512(__m512d a, __m512d w, __m512d r) {
  const __m512d q = _mm512_mul_pd(a, r);
  return _mm512_fmadd_pd(_mm512_fnmadd_pd(w, q, a), r, q);
}

// Whether every lane of the four row sums of eight points is in the safe range.
[[gnu::target("avx512f"), gnu::always_inline]] inline bool all_in_safe_range(__m512d x, __m512d y, __m512d z,
                                                                             __m512d w) {
  return in_safe_range(in_safe_range(in_safe_range(in_safe_range(0xFF, w), x), y), z) == 0xFF;
}

// The quotient of eight numerators by their weights with the zero-weight select (an unordered NaN weight counts
// as "not equal" and keeps its NaN quotients).
[[gnu::target("avx512f"), gnu::always_inline]] inline __m512d divided(__m512d a, __m512d w) {
  return _mm512_maskz_mov_pd(_mm512_cmp_pd_mask(w, _mm512_setzero_pd(), _CMP_NEQ_UQ), _mm512_div_pd(a, w));
}

// Permute indices for rows of three values: eight points are 24 consecutive doubles in three vectors a, b, c;
// one permute takes a coordinate's first lanes from a and b, a second one its last lanes from c. The last two
// interleave the x and y quotients into (x, y) pairs.
alignas(64) constexpr long long kRowPermutes[8][8] = {
    {0, 3, 6, 9, 12, 15, 0, 0},  {0, 1, 2, 3, 4, 5, 10, 13},   // x
    {1, 4, 7, 10, 13, 0, 0, 0},  {0, 1, 2, 3, 4, 8, 11, 14},   // y
    {2, 5, 8, 11, 14, 0, 0, 0},  {0, 1, 2, 3, 4, 9, 12, 15},   // z
    {0, 8, 1, 9, 2, 10, 3, 11},  {4, 12, 5, 13, 6, 14, 7, 15}  // pairs
};

// Every constant the loop needs (the 16 matrix entries, the permute indices) would not fit in the 32 vector
// registers beside the loop's own values; the compiler would keep them all in registers anyway and spill some at
// every step, to a stack frame realigned to 64 bytes. So the loop reads them from memory, through a pointer that
// it launders at each step so that the loads stay inside the loop (they hit the first level of cache, and the
// multiplies take the matrix entries as broadcast memory operands).
template <class T>
[[gnu::always_inline]] inline const T* in_loop(const T* p) {
  asm("" : "+r"(p));
  return p;
}

[[gnu::target("avx512f"), gnu::always_inline]] inline __m512i row_permute(const long long (*table)[8], int k) {
  return _mm512_load_si512(table[k]);
}

[[gnu::target("avx512f")]] void project_avx512(const double* __restrict xs, const double* __restrict ys,
                                               const double* __restrict zs, const double* __restrict m,
                                               double* __restrict tx, double* __restrict ty, double* __restrict tz,
                                               std::size_t n) noexcept {
  std::size_t i = 0;
  for (; i + 8 <= n; i += 8) {
    const __m512d x = _mm512_loadu_pd(xs + i);
    const __m512d y = _mm512_loadu_pd(ys + i);
    const __m512d z = _mm512_loadu_pd(zs + i);
    const double* const mm = in_loop(m);
    const __m512d vx = row_avx512(mm + 0, x, y, z);
    const __m512d vy = row_avx512(mm + 4, x, y, z);
    const __m512d vz = row_avx512(mm + 8, x, y, z);
    const __m512d w = row_avx512(mm + 12, x, y, z);
    if (all_in_safe_range(vx, vy, vz, w)) {
      const __m512d r = _mm512_div_pd(_mm512_set1_pd(1.0), w);
      _mm512_storeu_pd(tx + i, quotient_avx512(vx, w, r));
      _mm512_storeu_pd(ty + i, quotient_avx512(vy, w, r));
      _mm512_storeu_pd(tz + i, quotient_avx512(vz, w, r));
    } else {
      _mm512_storeu_pd(tx + i, divided(vx, w));
      _mm512_storeu_pd(ty + i, divided(vy, w));
      _mm512_storeu_pd(tz + i, divided(vz, w));
    }
  }
  // The tail is left to the reference build: inlined here, the compiler would vectorise it with stack slots that
  // need the realigned frame again.
  project_scalar(xs + i, ys + i, zs + i, m, tx + i, ty + i, tz + i, n - i);
}

[[gnu::target("avx512f")]] void project_rows_avx512(const double* __restrict rows, std::size_t stride,
                                                    std::size_t n, const double* __restrict m,
                                                    double* __restrict xy, double* __restrict tz) noexcept {
  const long long step = static_cast<long long>(stride);
  std::size_t i = 0;
  for (; i + 8 <= n; i += 8, rows += 8 * stride) {
    const double* const mm = in_loop(m);
    const auto table = in_loop(kRowPermutes);
    __m512d x, y, z;
    if (stride == 3) {
      const __m512d a = _mm512_loadu_pd(rows);
      const __m512d b = _mm512_loadu_pd(rows + 8);
      const __m512d c = _mm512_loadu_pd(rows + 16);
      x = _mm512_permutex2var_pd(_mm512_permutex2var_pd(a, row_permute(table, 0), b), row_permute(table, 1), c);
      y = _mm512_permutex2var_pd(_mm512_permutex2var_pd(a, row_permute(table, 2), b), row_permute(table, 3), c);
      z = _mm512_permutex2var_pd(_mm512_permutex2var_pd(a, row_permute(table, 4), b), row_permute(table, 5), c);
    } else {
      const __m512i gather = _mm512_set_epi64(7 * step, 6 * step, 5 * step, 4 * step, 3 * step, 2 * step, step, 0);
      const __m512d zero = _mm512_setzero_pd();
      x = _mm512_mask_i64gather_pd(zero, 0xFF, gather, rows, 8);
      y = _mm512_mask_i64gather_pd(zero, 0xFF, gather, rows + 1, 8);
      z = _mm512_mask_i64gather_pd(zero, 0xFF, gather, rows + 2, 8);
    }
    const __m512d vx = row_avx512(mm + 0, x, y, z);
    const __m512d vy = row_avx512(mm + 4, x, y, z);
    const __m512d vz = row_avx512(mm + 8, x, y, z);
    const __m512d w = row_avx512(mm + 12, x, y, z);
    const bool safe = all_in_safe_range(vx, vy, vz, w);
    const __m512d r = _mm512_div_pd(_mm512_set1_pd(1.0), w);
    const __m512d qx = safe ? quotient_avx512(vx, w, r) : divided(vx, w);
    const __m512d qy = safe ? quotient_avx512(vy, w, r) : divided(vy, w);
    _mm512_storeu_pd(tz + i, safe ? quotient_avx512(vz, w, r) : divided(vz, w));
    _mm512_storeu_pd(xy + 2 * i, _mm512_permutex2var_pd(qx, row_permute(table, 6), qy));
    _mm512_storeu_pd(xy + 2 * i + 8, _mm512_permutex2var_pd(qx, row_permute(table, 7), qy));
  }
  project_rows_scalar(rows, stride, n - i, m, xy + 2 * i, tz + i);  // the tail, as in project_avx512
}

#endif  // KORVEX_POINT_X86

PointIsa pick_point_isa() noexcept {
  if (point_isa_available(PointIsa::Avx512)) return PointIsa::Avx512;
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
    case PointIsa::Avx512:
      __builtin_cpu_init();
      return __builtin_cpu_supports("avx512f");
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
    case PointIsa::Avx512:
      if (rounds_to_nearest()) return project_avx512(xs, ys, zs, m, tx, ty, tz, n);
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
    case PointIsa::Avx512:
      if (rounds_to_nearest()) return project_rows_avx512(rows, stride, n, m, xy, tz);
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
