// The loops of mpl_rule.hpp: a vector build for x86-64 with AVX2 and FMA (four points per step, the same fused
// operations as the BLAS kernels), a scalar build elsewhere (std::fma, exact but slower), each piece of work in a
// window of its own on the IEEE exception flags.
#include "proj3d/mpl_rule.hpp"

#include <algorithm>
#include <atomic>

#include "common/fp_flags.hpp"
#include "parallel/parallel_for.hpp"

#if defined(__x86_64__) && defined(__GNUC__)
#include <immintrin.h>
#define KORVEX_MPL_X86 1
#else
#define KORVEX_MPL_X86 0
#endif

namespace korvex::proj3d::mpl {
namespace {

// Points per piece of pool work; below two pieces the calling thread does everything.
constexpr std::size_t kPiece = 16384;

inline double weight(const Columns& v, std::size_t i) noexcept { return v.w != nullptr ? v.w[i] : 1.0; }

// Points [lo, hi) with the dgemm order, one at a time.
void gemm_scalar(const double* m, const Columns& v, std::size_t lo, std::size_t hi, double* tx, double* ty,
                 double* tz) noexcept {
  for (std::size_t i = lo; i < hi; ++i) {
    const double x = v.x[i], y = v.y[i], z = v.z[i], w = weight(v, i);
    const double s3 = gemm_row(m + 12, x, y, z, w);
    tx[i] = gemm_row(m + 0, x, y, z, w) / s3;
    ty[i] = gemm_row(m + 4, x, y, z, w) / s3;
    tz[i] = gemm_row(m + 8, x, y, z, w) / s3;
  }
}

#if KORVEX_MPL_X86

[[gnu::target("avx2,fma"), gnu::always_inline]] inline __m256d row_fma(const __m256d* r, __m256d x, __m256d y,
                                                                        __m256d z, __m256d w) {
  __m256d s = _mm256_mul_pd(r[0], x);
  s = _mm256_fmadd_pd(r[1], y, s);
  s = _mm256_fmadd_pd(r[2], z, s);
  s = _mm256_fmadd_pd(r[3], w, s);
  return _mm256_add_pd(s, _mm256_setzero_pd());
}

[[gnu::target("avx2,fma")]] void gemm_fma(const double* m, const Columns& v, std::size_t lo, std::size_t hi,
                                          double* tx, double* ty, double* tz) noexcept {
  __m256d b[16];
  for (int k = 0; k < 16; ++k) b[k] = _mm256_set1_pd(m[k]);
  const __m256d one = _mm256_set1_pd(1.0);
  std::size_t i = lo;
  for (; i + 4 <= hi; i += 4) {
    const __m256d x = _mm256_loadu_pd(v.x + i);
    const __m256d y = _mm256_loadu_pd(v.y + i);
    const __m256d z = _mm256_loadu_pd(v.z + i);
    const __m256d w = v.w != nullptr ? _mm256_loadu_pd(v.w + i) : one;
    const __m256d s3 = row_fma(b + 12, x, y, z, w);
    _mm256_storeu_pd(tx + i, _mm256_div_pd(row_fma(b + 0, x, y, z, w), s3));
    _mm256_storeu_pd(ty + i, _mm256_div_pd(row_fma(b + 4, x, y, z, w), s3));
    _mm256_storeu_pd(tz + i, _mm256_div_pd(row_fma(b + 8, x, y, z, w), s3));
  }
  // The tail with the same fused operations (std::fma is one instruction in this build).
  gemm_scalar(m, v, i, hi, tx, ty, tz);
}

bool has_fma() noexcept {
  static const bool yes = [] {
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
  }();
  return yes;
}

#endif

// Points [lo, hi) with the dgemm order; returns the exceptions raised.
unsigned gemm_piece(const double* m, const Columns& v, std::size_t lo, std::size_t hi, double* tx, double* ty,
                    double* tz) noexcept {
  FlagWindow window;
#if KORVEX_MPL_X86
  if (has_fma()) {
    gemm_fma(m, v, lo, hi, tx, ty, tz);
    return window.raised();
  }
#endif
  gemm_scalar(m, v, lo, hi, tx, ty, tz);
  return window.raised();
}

}  // namespace

unsigned project(const double* m, Columns v, std::size_t n, double* tx, double* ty, double* tz) {
  if (n == 1) {
    FlagWindow window;
    const double x = v.x[0], y = v.y[0], z = v.z[0], w = weight(v, 0);
    const double s3 = gemv_row(m + 12, x, y, z, w);
    tx[0] = gemv_row(m + 0, x, y, z, w) / s3;
    ty[0] = gemv_row(m + 4, x, y, z, w) / s3;
    tz[0] = gemv_row(m + 8, x, y, z, w) / s3;
    return window.raised();
  }
  if (n < 2 * kPiece) return gemm_piece(m, v, 0, n, tx, ty, tz);
  std::atomic<unsigned> raised{0};
  const std::size_t pieces = (n + kPiece - 1) / kPiece;
  parallel::parallel_for(pieces, 1, [&](std::size_t p) {
    const std::size_t lo = p * kPiece;
    raised.fetch_or(gemm_piece(m, v, lo, std::min(n, lo + kPiece), tx, ty, tz), std::memory_order_relaxed);
  });
  return raised.load(std::memory_order_relaxed);
}

void in_view(const double* tx, const double* ty, const double* tz, std::size_t n, bool* visible) noexcept {
  for (std::size_t i = 0; i < n; ++i) {
    // Quiet comparisons: NaN compares false without raising anything.
    visible[i] = std::islessequal(-1.0, tx[i]) && std::islessequal(tx[i], 1.0) && std::islessequal(-1.0, ty[i]) &&
                 std::islessequal(ty[i], 1.0) && std::islessequal(tz[i], 0.0);
  }
}

unsigned inverse(const double* m, Columns v, std::size_t n, double* rx, double* ry, double* rz) {
  FlagWindow window;
  for (std::size_t i = 0; i < n; ++i) {
    const double x = v.x[i], y = v.y[i], z = v.z[i], w = weight(v, i);
    double r[4];
    for (int k = 0; k < 4; ++k) r[k] = n == 1 ? gemv_row(m + 4 * k, x, y, z, w) : gemm_row(m + 4 * k, x, y, z, w);
    if (r[3] != 0.0) {
      const double d = r[3];
      for (double& value : r) value = value / d;  // row 3 too: NumPy divides the whole column, inf / inf included
      asm volatile("" : : "x"(r[3]));
    }
    rx[i] = r[0];
    ry[i] = r[1];
    rz[i] = r[2];
  }
  return window.raised();
}

}  // namespace korvex::proj3d::mpl
