// Vector helpers shared by the loops of visibility that work on four pieces or points at a time. Internal header.
#pragma once

#if defined(__x86_64__) && defined(__GNUC__)
#include <immintrin.h>

namespace korvex::visibility::detail {

// The 4 x 4 transpose of doubles: lane j of r0..r3 to c_j.
[[gnu::target("avx2"), gnu::always_inline]] inline void transpose4(__m256d r0, __m256d r1, __m256d r2, __m256d r3,
                                                                   __m256d& c0, __m256d& c1, __m256d& c2,
                                                                   __m256d& c3) {
  const __m256d t0 = _mm256_unpacklo_pd(r0, r1);  // r0[0] r1[0] r0[2] r1[2]
  const __m256d t1 = _mm256_unpackhi_pd(r0, r1);  // r0[1] r1[1] r0[3] r1[3]
  const __m256d t2 = _mm256_unpacklo_pd(r2, r3);
  const __m256d t3 = _mm256_unpackhi_pd(r2, r3);
  c0 = _mm256_permute2f128_pd(t0, t2, 0x20);
  c1 = _mm256_permute2f128_pd(t1, t3, 0x20);
  c2 = _mm256_permute2f128_pd(t0, t2, 0x31);
  c3 = _mm256_permute2f128_pd(t1, t3, 0x31);
}

}  // namespace korvex::visibility::detail
#endif
