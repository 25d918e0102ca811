// From the caller's items to convex pieces with depth planes.
#include <algorithm>
#include <cmath>
#include <cstddef>
#include <limits>
#include <string>
#include <type_traits>
#if defined(__x86_64__) && defined(__GNUC__)
#include <immintrin.h>
#endif

#include "common/assert.hpp"
#include "common/fault.hpp"
#include "parallel/parallel_for.hpp"
#include "visibility/lanes.hpp"
#include "visibility/pieces.hpp"

namespace korvex::visibility::detail {

namespace {

// Non-convex polygons with more vertices than this are placed whole by their fallback depth (cutting them into
// triangles is quadratic).
constexpr std::size_t kMaxTriangulated = 2048;
// Items handled by one task of the parallel loops.
constexpr std::size_t kItemsPerTask = 256;

bool finite(double v) noexcept { return std::isfinite(v); }

// Rounding room of a plane evaluated over a box: a few units in the last place of its largest terms.
double rounding(const Plane& p, const Box& b) noexcept {
  const double span = std::abs(p.a) * (b.xmax - b.xmin) + std::abs(p.b) * (b.ymax - b.ymin);
  return 1e-12 * (span + std::abs(p.cz));
}

// Newell's plane of a counter-clockwise polygon of positive area, about its vertex mean; `deviation` receives the
// largest distance in depth of a vertex from it. The count is a std::size_t, or a std::integral_constant for a
// fixed count (the loops then unrolled: the same operations in the same order).
template <class Count>
Plane newell_plane(const Vec2* v, const double* z, Count n, double& deviation) noexcept {
  double cx = 0.0, cy = 0.0, cz = 0.0;
  for (std::size_t i = 0; i < n; ++i) {
    cx += v[i].x;
    cy += v[i].y;
    cz += z[i];
  }
  const double k = 1.0 / static_cast<double>(n);
  cx *= k;
  cy *= k;
  cz *= k;
  double nx = 0.0, ny = 0.0, nz = 0.0;
  for (std::size_t i = 0; i < n; ++i) {
    const std::size_t j = i + 1 == n ? 0 : i + 1;
    const double xi = v[i].x - cx, yi = v[i].y - cy, zi = z[i] - cz;
    const double xj = v[j].x - cx, yj = v[j].y - cy, zj = z[j] - cz;
    nx += (yi - yj) * (zi + zj);
    ny += (zi - zj) * (xi + xj);
    nz += (xi - xj) * (yi + yj);
  }
  Plane p{-nx / nz, -ny / nz, cx, cy, cz};
  deviation = 0.0;
  for (std::size_t i = 0; i < n; ++i) deviation = std::max(deviation, std::abs(z[i] - p.at(v[i])));
  return p;
}

Plane fit_plane(const Vec2* v, const double* z, std::size_t n, double& deviation) noexcept {
  return newell_plane(v, z, n, deviation);
}

// Working memory of one task.
struct Work {
  std::vector<Vec2> xy;
  std::vector<double> z;
  std::vector<Vec2> oxy;
  std::vector<double> oz;
  std::vector<std::uint32_t> triangles;
  std::vector<std::uint8_t> ones;
  ConvexScratch convex;
  std::vector<std::uint32_t> indices;  // convex pieces of a polygon (merge_convex())
  std::vector<std::uint32_t> ends;
  std::vector<Vec2> piece;
  std::vector<double> piece_z;
  std::vector<std::uint8_t> piece_flags;
};

void add_unplaced(Store& out, Piece proto) {
  proto.count = 0;
  proto.whole = true;
  proto.first = static_cast<std::uint32_t>(out.verts.size());
  out.pieces.push_back(proto);
}

// Drops repeated and collinear vertices in place (the outline keeps its shape up to the tolerance).
void simplify(std::vector<Vec2>& xy, std::vector<double>& z, double len) {
  for (bool changed = true; changed && xy.size() >= 3;) {
    changed = false;
    std::size_t kept = 0;
    const std::size_t n = xy.size();
    for (std::size_t i = 0; i < n; ++i) {
      const Vec2 prev = kept > 0 ? xy[kept - 1] : xy[n - 1];
      const Vec2 next = xy[i + 1 == n ? 0 : i + 1];
      const Vec2 d = next - prev;
      if (std::abs(turn(prev, xy[i], next)) <= len * norm(d)) {
        changed = true;
        continue;
      }
      xy[kept] = xy[i];
      z[kept] = z[i];
      ++kept;
    }
    xy.resize(kept);
    z.resize(kept);
  }
}

// A counter-clockwise polygon without collinear vertices is convex when it turns left everywhere and winds once;
// with `sliver`, a vertex within that distance of the line through its neighbours may turn right.
bool convex(const std::vector<Vec2>& xy, double sliver) {
  const std::size_t n = xy.size();
  for (std::size_t i = 0; i < n; ++i) {
    const Vec2 prev = xy[i == 0 ? n - 1 : i - 1];
    const Vec2 next = xy[i + 1 == n ? 0 : i + 1];
    if (!(turn(prev, xy[i], next) > -sliver * norm(next - prev))) return false;
  }
  return winds_once(xy.data(), n);
}

// The usual mesh face: three or four vertices that need no repair, convex and planar. The steps of add_polygon()
// below with the vertices in registers instead of the task's vectors, so the same piece bit for bit. Returns
// false, having added nothing, where add_polygon() has to decide. Every test is made (none depends on another
// once the coordinates are finite), so that their square roots and quotients overlap.
template <std::size_t N>
bool add_simple(const double* xyz, const Tolerances& tol, std::uint32_t item, double fallback, Store& out) {
  Vec2 v[N];
  double z[N];
  bool ok = true;
  for (std::size_t k = 0; k < N; ++k) {
    v[k] = {xyz[3 * k], xyz[3 * k + 1]};
    z[k] = xyz[3 * k + 2];
    ok &= finite(v[k].x) & finite(v[k].y) & finite(z[k]);
  }
  if (!ok) return false;
  for (std::size_t k = 0; k < N; ++k) {  // no vertex repeats its predecessor (cyclically)
    const Vec2 prev = v[k == 0 ? N - 1 : k - 1];
    ok &= !((std::abs(v[k].x - prev.x) <= tol.len) & (std::abs(v[k].y - prev.y) <= tol.len));
  }
  if (twice_area(v, N) < 0.0) {
    std::reverse(v, v + N);
    std::reverse(z, z + N);
  }
  // simplify() would drop none, and convex() holds. (Opposite vertices of a quad have one diagonal between them,
  // its length the same either way.)
  double diagonal[N];
  for (std::size_t k = 0; k < N; ++k) {
    if (N == 4 && k >= 2) {
      diagonal[k] = diagonal[k - 2];
    } else {
      diagonal[k] = norm(v[k + 1 == N ? 0 : k + 1] - v[k == 0 ? N - 1 : k - 1]);
    }
  }
  for (std::size_t k = 0; k < N; ++k) {
    const double t = turn(v[k == 0 ? N - 1 : k - 1], v[k], v[k + 1 == N ? 0 : k + 1]);
    ok &= !(std::abs(t) <= tol.len * diagonal[k]) & (t > 0.0);
  }
  const Box box = box_of(v, N);
  ok &= Store::substantial(v, N, tol);
  double deviation = 0.0;
  const Plane plane = newell_plane(v, z, std::integral_constant<std::size_t, N>{}, deviation);
  if (!ok || !(deviation <= tol.planar)) return false;
  // Written field by field into its place (a whole piece copied from a just-written one would stall the loads
  // on the stores still in flight).
  static constexpr std::uint8_t kOnes[4] = {1, 1, 1, 1};
  Piece& piece = out.append(v, kOnes, N);
  piece.kind = Kind::Polygon;
  piece.whole = true;
  piece.item = item;
  piece.plane = plane;
  piece.tol = deviation + rounding(plane, box);
  piece.fallback = fallback;
  return true;
}

#if defined(__x86_64__) && defined(__GNUC__)
// Four consecutive quads through add_simple<4>()'s steps at once, one quad per lane: the same operations on the
// same values in the same order, so the same bits. `xyz` holds their sixteen vertices one after another.
struct QuadLanes {
  Vec2 v[16];  // quad by quad, counter-clockwise
  double a[4], b[4], cx[4], cy[4], cz[4];
  double tol[4];
  unsigned simple;  // bit q: quad q is simple
};

#define KORVEX_AVX2 [[gnu::target("avx2"), gnu::always_inline]] inline
KORVEX_AVX2 __m256d abs4(__m256d v) { return _mm256_andnot_pd(_mm256_set1_pd(-0.0), v); }
// turn() lane by lane.
KORVEX_AVX2 __m256d turn4(__m256d ox, __m256d oy, __m256d ax, __m256d ay, __m256d bx, __m256d by) {
  return _mm256_sub_pd(_mm256_mul_pd(_mm256_sub_pd(ax, ox), _mm256_sub_pd(by, oy)),
                       _mm256_mul_pd(_mm256_sub_pd(ay, oy), _mm256_sub_pd(bx, ox)));
}
// twice_area() of four vertices.
KORVEX_AVX2 __m256d twice_area4(__m256d x0, __m256d y0, __m256d x1, __m256d y1, __m256d x2, __m256d y2,
                                __m256d x3, __m256d y3) {
  return _mm256_add_pd(_mm256_add_pd(_mm256_setzero_pd(), turn4(x0, y0, x1, y1, x2, y2)),
                       turn4(x0, y0, x2, y2, x3, y3));
}
// norm() of (dx, dy).
KORVEX_AVX2 __m256d norm4(__m256d dx, __m256d dy) {
  return _mm256_sqrt_pd(_mm256_add_pd(_mm256_mul_pd(dx, dx), _mm256_mul_pd(dy, dy)));
}
// Where b repeats a within the tolerance.
KORVEX_AVX2 __m256d repeats4(__m256d ax, __m256d ay, __m256d bx, __m256d by, __m256d len) {
  return _mm256_and_pd(_mm256_cmp_pd(abs4(_mm256_sub_pd(ax, bx)), len, _CMP_LE_OQ),
                       _mm256_cmp_pd(abs4(_mm256_sub_pd(ay, by)), len, _CMP_LE_OQ));
}
// Where a vertex of turn t turns left by more than `room`.
KORVEX_AVX2 __m256d turns_left4(__m256d t, __m256d room) {
  return _mm256_andnot_pd(_mm256_cmp_pd(abs4(t), room, _CMP_LE_OQ), _mm256_cmp_pd(t, _mm256_setzero_pd(), _CMP_GT_OQ));
}
// The mean of fit_plane(): summed from 0 in order, times 1/4.
KORVEX_AVX2 __m256d mean4(__m256d a, __m256d b, __m256d c, __m256d d) {
  const __m256d sum = _mm256_add_pd(_mm256_add_pd(_mm256_add_pd(_mm256_add_pd(_mm256_setzero_pd(), a), b), c), d);
  return _mm256_mul_pd(sum, _mm256_set1_pd(1.0 / 4.0));
}
// One term of Newell's sums.
KORVEX_AVX2 void newell4(__m256d xi, __m256d yi, __m256d zi, __m256d xj, __m256d yj, __m256d zj, __m256d& nx,
                         __m256d& ny, __m256d& nz) {
  nx = _mm256_add_pd(nx, _mm256_mul_pd(_mm256_sub_pd(yi, yj), _mm256_add_pd(zi, zj)));
  ny = _mm256_add_pd(ny, _mm256_mul_pd(_mm256_sub_pd(zi, zj), _mm256_add_pd(xi, xj)));
  nz = _mm256_add_pd(nz, _mm256_mul_pd(_mm256_sub_pd(xi, xj), _mm256_add_pd(yi, yj)));
}
// Plane::at() lane by lane.
KORVEX_AVX2 __m256d at4(__m256d x, __m256d y, __m256d pa, __m256d pb, __m256d cx, __m256d cy, __m256d cz) {
  return _mm256_add_pd(_mm256_add_pd(_mm256_mul_pd(pa, _mm256_sub_pd(x, cx)), _mm256_mul_pd(pb, _mm256_sub_pd(y, cy))),
                       cz);
}
// |z - Plane::at(x, y)|.
KORVEX_AVX2 __m256d off4(__m256d x, __m256d y, __m256d z, __m256d pa, __m256d pb, __m256d cx, __m256d cy,
                         __m256d cz) {
  return abs4(_mm256_sub_pd(z, at4(x, y, pa, pb, cx, cy, cz)));
}
// Vertex k of four quads (x and y by quad) to v[k], v[k + 4], v[k + 8], v[k + 12].
KORVEX_AVX2 void store_vertex4(Vec2* v, __m256d x, __m256d y) {
  const __m256d even = _mm256_unpacklo_pd(x, y);  // quads 0 and 2
  const __m256d odd = _mm256_unpackhi_pd(x, y);   // quads 1 and 3
  _mm_storeu_pd(&v[0].x, _mm256_castpd256_pd128(even));
  _mm_storeu_pd(&v[4].x, _mm256_castpd256_pd128(odd));
  _mm_storeu_pd(&v[8].x, _mm256_extractf128_pd(even, 1));
  _mm_storeu_pd(&v[12].x, _mm256_extractf128_pd(odd, 1));
}
// left_of() lane by lane: a zero-length edge bounds nothing.
KORVEX_AVX2 void left_of4(__m256d ax, __m256d ay, __m256d bx, __m256d by, __m256d& nx, __m256d& ny, __m256d& c) {
  const __m256d dx = _mm256_sub_pd(bx, ax);
  const __m256d dy = _mm256_sub_pd(by, ay);
  const __m256d len = norm4(dx, dy);
  const __m256d usable = _mm256_cmp_pd(len, _mm256_setzero_pd(), _CMP_GT_OQ);
  nx = _mm256_and_pd(usable, _mm256_div_pd(_mm256_xor_pd(dy, _mm256_set1_pd(-0.0)), len));
  ny = _mm256_and_pd(usable, _mm256_div_pd(dx, len));
  c = _mm256_blendv_pd(_mm256_set1_pd(-1.0), _mm256_add_pd(_mm256_mul_pd(nx, ax), _mm256_mul_pd(ny, ay)), usable);
}
// Lane q of c0..c3 to to[q * stride .. q * stride + 3].
KORVEX_AVX2 void store_transposed4(double* to, std::size_t stride, __m256d c0, __m256d c1, __m256d c2, __m256d c3) {
  __m256d r0, r1, r2, r3;
  transpose4(c0, c1, c2, c3, r0, r1, r2, r3);
  _mm256_storeu_pd(to, r0);
  _mm256_storeu_pd(to + stride, r1);
  _mm256_storeu_pd(to + 2 * stride, r2);
  _mm256_storeu_pd(to + 3 * stride, r3);
}
#undef KORVEX_AVX2

[[gnu::target("avx2")]] void simple_quads_avx2(const double* xyz, const Tolerances& tol, QuadLanes& out) noexcept {
  const __m256d zero = _mm256_setzero_pd();
  const __m256d len = _mm256_set1_pd(tol.len);
  // Each quad's twelve coordinates (x0 y0 z0 x1 | y1 z1 x2 y2 | z2 x3 y3 z3) turned to one register per coordinate.
  __m256d x0, y0, z0, x1, y1, z1, x2, y2, z2, x3, y3, z3;
  transpose4(_mm256_loadu_pd(xyz), _mm256_loadu_pd(xyz + 12), _mm256_loadu_pd(xyz + 24), _mm256_loadu_pd(xyz + 36), x0,
             y0, z0, x1);
  transpose4(_mm256_loadu_pd(xyz + 4), _mm256_loadu_pd(xyz + 16), _mm256_loadu_pd(xyz + 28),
             _mm256_loadu_pd(xyz + 40), y1, z1, x2, y2);
  transpose4(_mm256_loadu_pd(xyz + 8), _mm256_loadu_pd(xyz + 20), _mm256_loadu_pd(xyz + 32),
             _mm256_loadu_pd(xyz + 44), z2, x3, y3, z3);
  // Finite (v - v is 0 exactly then, and the sum of those too), and no vertex repeats its predecessor.
  __m256d d = _mm256_sub_pd(x0, x0);
  d = _mm256_add_pd(d, _mm256_sub_pd(y0, y0));
  d = _mm256_add_pd(d, _mm256_sub_pd(z0, z0));
  d = _mm256_add_pd(d, _mm256_sub_pd(x1, x1));
  d = _mm256_add_pd(d, _mm256_sub_pd(y1, y1));
  d = _mm256_add_pd(d, _mm256_sub_pd(z1, z1));
  d = _mm256_add_pd(d, _mm256_sub_pd(x2, x2));
  d = _mm256_add_pd(d, _mm256_sub_pd(y2, y2));
  d = _mm256_add_pd(d, _mm256_sub_pd(z2, z2));
  d = _mm256_add_pd(d, _mm256_sub_pd(x3, x3));
  d = _mm256_add_pd(d, _mm256_sub_pd(y3, y3));
  d = _mm256_add_pd(d, _mm256_sub_pd(z3, z3));
  __m256d ok = _mm256_cmp_pd(d, zero, _CMP_EQ_OQ);
  ok = _mm256_andnot_pd(repeats4(x1, y1, x0, y0, len), ok);
  ok = _mm256_andnot_pd(repeats4(x2, y2, x1, y1, len), ok);
  ok = _mm256_andnot_pd(repeats4(x3, y3, x2, y2, len), ok);
  ok = _mm256_andnot_pd(repeats4(x0, y0, x3, y3, len), ok);
  // Counter-clockwise: reversed where twice the area is negative.
  {
    const __m256d back = _mm256_cmp_pd(twice_area4(x0, y0, x1, y1, x2, y2, x3, y3), zero, _CMP_LT_OQ);
    const __m256d rx0 = _mm256_blendv_pd(x0, x3, back), ry0 = _mm256_blendv_pd(y0, y3, back);
    const __m256d rz0 = _mm256_blendv_pd(z0, z3, back);
    const __m256d rx1 = _mm256_blendv_pd(x1, x2, back), ry1 = _mm256_blendv_pd(y1, y2, back);
    const __m256d rz1 = _mm256_blendv_pd(z1, z2, back);
    x2 = _mm256_blendv_pd(x2, x1, back);
    y2 = _mm256_blendv_pd(y2, y1, back);
    z2 = _mm256_blendv_pd(z2, z1, back);
    x3 = _mm256_blendv_pd(x3, x0, back);
    y3 = _mm256_blendv_pd(y3, y0, back);
    z3 = _mm256_blendv_pd(z3, z0, back);
    x0 = rx0, y0 = ry0, z0 = rz0, x1 = rx1, y1 = ry1, z1 = rz1;
  }
  // Every vertex turns left by more than the tolerance times the diagonal of its neighbours.
  const __m256d d13 = _mm256_mul_pd(len, norm4(_mm256_sub_pd(x1, x3), _mm256_sub_pd(y1, y3)));
  const __m256d d20 = _mm256_mul_pd(len, norm4(_mm256_sub_pd(x2, x0), _mm256_sub_pd(y2, y0)));
  ok = _mm256_and_pd(ok, turns_left4(turn4(x3, y3, x0, y0, x1, y1), d13));
  ok = _mm256_and_pd(ok, turns_left4(turn4(x0, y0, x1, y1, x2, y2), d20));
  ok = _mm256_and_pd(ok, turns_left4(turn4(x1, y1, x2, y2, x3, y3), d13));
  ok = _mm256_and_pd(ok, turns_left4(turn4(x2, y2, x3, y3, x0, y0), d20));
  // Substantial: the area against the tolerance times the box's diagonal.
  const __m256d xmin = _mm256_min_pd(x3, _mm256_min_pd(x2, _mm256_min_pd(x1, x0)));
  const __m256d xmax = _mm256_max_pd(x3, _mm256_max_pd(x2, _mm256_max_pd(x1, x0)));
  const __m256d ymin = _mm256_min_pd(y3, _mm256_min_pd(y2, _mm256_min_pd(y1, y0)));
  const __m256d ymax = _mm256_max_pd(y3, _mm256_max_pd(y2, _mm256_max_pd(y1, y0)));
  const __m256d w = _mm256_sub_pd(xmax, xmin);
  const __m256d h = _mm256_sub_pd(ymax, ymin);
  ok = _mm256_and_pd(ok, _mm256_cmp_pd(abs4(twice_area4(x0, y0, x1, y1, x2, y2, x3, y3)),
                                       _mm256_mul_pd(_mm256_set1_pd(2.0 * tol.len), norm4(w, h)), _CMP_GT_OQ));
  // Newell's plane about the vertex mean (newell_plane() of four vertices), and the vertices' distance in depth
  // from it.
  const __m256d cx = mean4(x0, x1, x2, x3), cy = mean4(y0, y1, y2, y3), cz = mean4(z0, z1, z2, z3);
  const __m256d ax0 = _mm256_sub_pd(x0, cx), ay0 = _mm256_sub_pd(y0, cy), az0 = _mm256_sub_pd(z0, cz);
  const __m256d ax1 = _mm256_sub_pd(x1, cx), ay1 = _mm256_sub_pd(y1, cy), az1 = _mm256_sub_pd(z1, cz);
  const __m256d ax2 = _mm256_sub_pd(x2, cx), ay2 = _mm256_sub_pd(y2, cy), az2 = _mm256_sub_pd(z2, cz);
  const __m256d ax3 = _mm256_sub_pd(x3, cx), ay3 = _mm256_sub_pd(y3, cy), az3 = _mm256_sub_pd(z3, cz);
  __m256d nx = zero, ny = zero, nz = zero;
  newell4(ax0, ay0, az0, ax1, ay1, az1, nx, ny, nz);
  newell4(ax1, ay1, az1, ax2, ay2, az2, nx, ny, nz);
  newell4(ax2, ay2, az2, ax3, ay3, az3, nx, ny, nz);
  newell4(ax3, ay3, az3, ax0, ay0, az0, nx, ny, nz);
  const __m256d sign = _mm256_set1_pd(-0.0);
  const __m256d pa = _mm256_div_pd(_mm256_xor_pd(nx, sign), nz);
  const __m256d pb = _mm256_div_pd(_mm256_xor_pd(ny, sign), nz);
  __m256d deviation = zero;
  deviation = _mm256_max_pd(off4(x0, y0, z0, pa, pb, cx, cy, cz), deviation);
  deviation = _mm256_max_pd(off4(x1, y1, z1, pa, pb, cx, cy, cz), deviation);
  deviation = _mm256_max_pd(off4(x2, y2, z2, pa, pb, cx, cy, cz), deviation);
  deviation = _mm256_max_pd(off4(x3, y3, z3, pa, pb, cx, cy, cz), deviation);
  ok = _mm256_and_pd(ok, _mm256_cmp_pd(deviation, _mm256_set1_pd(tol.planar), _CMP_LE_OQ));
  // The piece's tolerance: the deviation plus rounding().
  const __m256d span = _mm256_add_pd(_mm256_mul_pd(abs4(pa), w), _mm256_mul_pd(abs4(pb), h));
  const __m256d room = _mm256_mul_pd(_mm256_set1_pd(1e-12), _mm256_add_pd(span, abs4(cz)));
  out.simple = _mm256_movemask_pd(ok);
  store_vertex4(out.v, x0, y0);
  store_vertex4(out.v + 1, x1, y1);
  store_vertex4(out.v + 2, x2, y2);
  store_vertex4(out.v + 3, x3, y3);
  _mm256_storeu_pd(out.a, pa);
  _mm256_storeu_pd(out.b, pb);
  _mm256_storeu_pd(out.cx, cx);
  _mm256_storeu_pd(out.cy, cy);
  _mm256_storeu_pd(out.cz, cz);
  _mm256_storeu_pd(out.tol, _mm256_add_pd(deviation, room));
}
#endif

// A convex polygon too far from planar, outline w.oxy, w.oz (signed twice its area `area2`), as the triangles of
// its diagonals from its first vertex joined into fans from that vertex, each as long as its points lie within
// Tolerances::planar of a plane (the triangles' depths are those of their points, so within that of the fan's
// plane too): a patch of a curved surface drawn with a stride is mostly two halves or four fans. Each fan halves
// from the rest of the outline until planar (a triangle always is). False, having added nothing, where the
// triangles do not add up to the outline: one turns back on screen by more than Tolerances::bend (those along the
// sides next to the first vertex, with their points in line, turn either way by a little), or a whole fan does
// (a thin patch folded over at a silhouette, or a side next to the first vertex bent in: its fan would leave out
// what a fill of the outline paints).
bool add_planar_fans(Work& w, double area2, const Tolerances& tol, const Piece& proto, Store& out) {
  const std::size_t m = w.oxy.size();
  for (std::size_t k = 1; k + 1 < m; ++k) {
    const double t = turn(w.oxy[0], w.oxy[k], w.oxy[k + 1]);
    if ((area2 > 0.0 ? t : -t) < -tol.bend * norm(w.oxy[k + 1] - w.oxy[0])) return false;
  }
  const std::size_t pieces_before = out.pieces.size(), verts_before = out.verts.size();
  for (std::size_t k0 = 1; k0 + 1 < m;) {
    std::size_t k1 = k0 == 1 ? 1 + (m - 2) / 2 : m - 1;  // the whole outline is known not to be planar
    Plane plane;
    double deviation = 0.0;
    for (;;) {
      // The fan 0, k0, ..., k1, counter-clockwise; flags: the edge from each point is the outline's.
      w.piece.assign(1, w.oxy[0]);
      w.piece_z.assign(1, w.oz[0]);
      w.piece_flags.assign(1, k0 == 1 ? 1 : 0);
      for (std::size_t k = k0; k <= k1; ++k) {
        w.piece.push_back(w.oxy[k]);
        w.piece_z.push_back(w.oz[k]);
        w.piece_flags.push_back(k < k1 || k1 + 1 == m ? 1 : 0);
      }
      plane = fit_plane(w.piece.data(), w.piece_z.data(), w.piece.size(), deviation);
      if (k1 == k0 + 1 || deviation <= tol.planar) break;
      k1 = k0 + (k1 - k0) / 2;
    }
    k0 = k1;
    const std::size_t n = w.piece.size();
    if (area2 < 0.0) {  // reversed, each edge keeping its flag: the edge from point j is now the one into it
      std::reverse(w.piece.begin(), w.piece.end());
      std::reverse(w.piece_flags.begin(), w.piece_flags.end());
      std::rotate(w.piece_flags.begin(), w.piece_flags.begin() + 1, w.piece_flags.end());
    }
    if (!(twice_area(w.piece.data(), n) > 0.0)) {  // a fan that turns back: the polygon folds over on screen
      out.pieces.resize(pieces_before);
      out.verts.resize(verts_before);
      out.flags.resize(verts_before);
      return false;
    }
    if (!Store::substantial(w.piece.data(), n, tol)) continue;
    Piece piece = proto;
    piece.plane = plane;
    piece.tol = deviation + rounding(plane, box_of(w.piece.data(), n));
    out.add_without_edges(piece, w.piece.data(), w.piece_flags.data(), n);
  }
  if (out.pieces.size() == pieces_before) add_unplaced(out, proto);
  return true;
}

void add_polygon(const Scene& scene, std::size_t i, const Tolerances& tol, Store& out, Work& w) {
  Piece proto;
  proto.kind = Kind::Polygon;
  proto.item = static_cast<std::uint32_t>(i);
  proto.fallback = scene.polygon_depths[i];
  const std::size_t lo = static_cast<std::size_t>(scene.polygon_offsets[i]);
  const std::size_t hi = static_cast<std::size_t>(scene.polygon_offsets[i + 1]);
  const double* xyz = scene.polygon_xyz.data() + 3 * lo;
  if (hi - lo == 4 ? add_simple<4>(xyz, tol, proto.item, proto.fallback, out)
                    : hi - lo == 3 && add_simple<3>(xyz, tol, proto.item, proto.fallback, out)) {
    return;
  }
  w.xy.clear();
  w.z.clear();
  for (std::size_t k = lo; k < hi; ++k) {
    const double x = scene.polygon_xyz[3 * k], y = scene.polygon_xyz[3 * k + 1], z = scene.polygon_xyz[3 * k + 2];
    if (!finite(x) || !finite(y) || !finite(z)) return add_unplaced(out, proto);
    if (!w.xy.empty() && std::abs(x - w.xy.back().x) <= tol.len && std::abs(y - w.xy.back().y) <= tol.len) continue;
    w.xy.push_back({x, y});
    w.z.push_back(z);
  }
  while (w.xy.size() > 1 && std::abs(w.xy[0].x - w.xy.back().x) <= tol.len &&
         std::abs(w.xy[0].y - w.xy.back().y) <= tol.len) {
    w.xy.pop_back();
    w.z.pop_back();
  }
  if (w.xy.size() < 3) return add_unplaced(out, proto);
  w.oxy = w.xy;  // the outline in the caller's order, for the diagonals of a polygon that is not planar
  w.oz = w.z;
  const double area2 = twice_area(w.xy.data(), w.xy.size());
  if (area2 < 0.0) {
    std::reverse(w.xy.begin(), w.xy.end());
    std::reverse(w.z.begin(), w.z.end());
  }
  simplify(w.xy, w.z, tol.len);
  const std::size_t n = w.xy.size();
  if (n < 3 || !Store::substantial(w.xy.data(), n, tol)) return add_unplaced(out, proto);

  double deviation = 0.0;
  const Plane plane = fit_plane(w.xy.data(), w.z.data(), n, deviation);
  const bool planar = deviation <= tol.planar;
  const bool is_convex = convex(w.xy, 0.0);
  // A planar one is its own piece also where it turns back by at most Tolerances::bend: a patch of a surface drawn
  // with a stride has several points along each side, in line on screen only where the surface is flat along it
  // (most patches of a curved surface turn back somewhere by a few 1e-4 of the scene). Its edges bound it within
  // that much, as its plane bounds its depths within Tolerances::planar; cut up, its pieces would be many.
  if (planar && (is_convex || convex(w.xy, tol.bend))) {
    const Box box = box_of(w.xy.data(), n);
    proto.plane = plane;
    proto.tol = deviation + rounding(plane, box);
    proto.whole = true;
    w.ones.assign(n, 1);
    out.add_without_edges(proto, w.xy.data(), w.ones.data(), n);
    return;
  }
  if (!is_convex && n > kMaxTriangulated) return add_unplaced(out, proto);
  const std::size_t pieces_before = out.pieces.size();
  auto add_triangle = [&](Vec2 v[3], double z[3], std::uint8_t f[3], bool own_plane, bool joins) {
    if (twice_area(v, 3) < 0.0) {  // counter-clockwise, each edge keeping its flag
      std::swap(v[1], v[2]);
      std::swap(z[1], z[2]);
      std::swap(f[0], f[2]);
    }
    if (!Store::substantial(v, 3, tol) || !(twice_area(v, 3) > 0.0)) return;
    Piece piece = proto;
    double d = 0.0;
    piece.plane = own_plane ? fit_plane(v, z, 3, d) : plane;
    piece.tol = (own_plane ? d : deviation) + rounding(piece.plane, box_of(v, 3));
    piece.joins = joins;
    out.add_without_edges(piece, v, f, 3);
  };
  const std::size_t m = w.oxy.size();
  if (!planar && m >= 5 && (is_convex || convex(w.xy, tol.bend)) && add_planar_fans(w, area2, tol, proto, out)) {
    return;
  }
  if (!planar && (is_convex || m <= 4)) {
    // Too far from planar: the triangles of its diagonals from its first vertex, each with its own plane (the
    // surface a depth buffer draws for a quad). They add up to the outline when all turn the same way on screen
    // (a quad that folds over on screen has one turning back).
    bool joins = true;
    for (std::size_t k = 1; k + 1 < m; ++k) {
      joins = joins && (turn(w.oxy[0], w.oxy[k], w.oxy[k + 1]) > 0.0) == (area2 > 0.0);
    }
    for (std::size_t k = 1; k + 1 < m; ++k) {
      Vec2 v[3] = {w.oxy[0], w.oxy[k], w.oxy[k + 1]};
      double z[3] = {w.oz[0], w.oz[k], w.oz[k + 1]};
      std::uint8_t f[3] = {k == 1 ? std::uint8_t{1} : std::uint8_t{0}, 1, k + 2 == m ? std::uint8_t{1} : std::uint8_t{0}};
      add_triangle(v, z, f, true, joins);
    }
  } else {
    // Not convex: ear clipping of the outline. A triangle takes the polygon's plane unless that is too far off.
    // On the plane, the triangles are joined into convex pieces (a patch of a surface drawn with a stride is
    // planar but seldom convex on screen: a few pieces rather than a fan of slivers). An edge is original when it
    // joins neighbours of the outline.
    w.triangles.clear();
    triangulate(w.xy.data(), n, w.triangles);
    w.indices.clear();
    w.ends.clear();
    if (planar) {
      merge_convex(w.xy.data(), n, w.triangles, tol.len, w.convex, w.indices, w.ends);
    } else {
      w.indices.assign(w.triangles.begin(), w.triangles.end());
      for (std::uint32_t t = 3; t <= w.triangles.size(); t += 3) w.ends.push_back(t);
    }
    std::uint32_t begin = 0;
    for (const std::uint32_t end : w.ends) {
      const std::size_t k = end - begin;
      w.piece.clear();
      w.piece_z.clear();
      w.piece_flags.clear();
      for (std::uint32_t j = begin; j < end; ++j) {
        const std::uint32_t a = w.indices[j];
        const std::uint32_t b = w.indices[j + 1 == end ? begin : j + 1];
        w.piece.push_back(w.xy[a]);
        w.piece_z.push_back(w.z[a]);
        w.piece_flags.push_back((a + 1 == b || (a + 1 == n && b == 0)) ? 1 : 0);
      }
      begin = end;
      if (k == 3) {
        Vec2 v[3] = {w.piece[0], w.piece[1], w.piece[2]};
        double z[3] = {w.piece_z[0], w.piece_z[1], w.piece_z[2]};
        std::uint8_t f[3] = {w.piece_flags[0], w.piece_flags[1], w.piece_flags[2]};
        add_triangle(v, z, f, !planar, true);
        continue;
      }
      if (!Store::substantial(w.piece.data(), k, tol) || !(twice_area(w.piece.data(), k) > 0.0)) continue;
      Piece piece = proto;
      piece.plane = plane;
      piece.tol = deviation + rounding(plane, box_of(w.piece.data(), k));
      out.add_without_edges(piece, w.piece.data(), w.piece_flags.data(), k);
    }
  }
  if (out.pieces.size() == pieces_before) add_unplaced(out, proto);
}

void add_segment(const Scene& scene, std::size_t i, std::uint32_t item, const Tolerances& tol, Store& out) {
  const double* p = scene.segment_xyz.data() + 6 * i;
  Piece proto;
  proto.kind = Kind::Segment;
  proto.item = item;
  proto.fallback = 0.5 * (p[2] + p[5]);
  const Vec2 v[2] = {{p[0], p[1]}, {p[3], p[4]}};
  bool ok = true;
  for (int k = 0; k < 6; ++k) ok = ok && finite(p[k]);
  if (!ok || !Store::substantial(v, 2, tol)) return add_unplaced(out, proto);
  // The depth plane through the segment that is flat across it: along the segment it is exact.
  const Vec2 d = v[1] - v[0];
  const double len2 = dot(d, d);
  const double slope = (p[5] - p[2]) / len2;
  proto.plane = Plane{slope * d.x, slope * d.y, v[0].x, v[0].y, p[2]};
  proto.tol = rounding(proto.plane, box_of(v, 2));
  proto.whole = true;
  const std::uint8_t f[2] = {1, 1};
  out.add_without_edges(proto, v, f, 2);
}

void add_marker(const Scene& scene, std::size_t i, std::uint32_t item, Store& out) {
  const double* p = scene.marker_xyz.data() + 3 * i;
  Piece proto;
  proto.kind = Kind::Marker;
  proto.item = item;
  proto.fallback = p[2];
  if (!finite(p[0]) || !finite(p[1]) || !finite(p[2])) return add_unplaced(out, proto);
  proto.plane = Plane{0.0, 0.0, p[0], p[1], p[2]};
  proto.tol = 1e-12 * std::abs(p[2]);
  proto.whole = true;
  const Vec2 v{p[0], p[1]};
  const std::uint8_t f = 1;
  out.add_without_edges(proto, &v, &f, 1);
}

struct Extent {
  double lo[3] = {std::numeric_limits<double>::infinity(), std::numeric_limits<double>::infinity(),
                  std::numeric_limits<double>::infinity()};
  double hi[3] = {-std::numeric_limits<double>::infinity(), -std::numeric_limits<double>::infinity(),
                  -std::numeric_limits<double>::infinity()};

  void add(const double* p) noexcept {
    if (!finite(p[0]) || !finite(p[1]) || !finite(p[2])) return;
    for (int k = 0; k < 3; ++k) {
      lo[k] = std::min(lo[k], p[k]);
      hi[k] = std::max(hi[k], p[k]);
    }
  }
  void add(const Extent& e) noexcept {
    for (int k = 0; k < 3; ++k) {
      lo[k] = std::min(lo[k], e.lo[k]);
      hi[k] = std::max(hi[k], e.hi[k]);
    }
  }
};

// The extent of points [from, to) of xyz into e, point by point.
void extent_run(const double* xyz, std::size_t from, std::size_t to, Extent& e) noexcept {
  for (std::size_t k = from; k < to; ++k) e.add(xyz + 3 * k);
}

#if defined(__x86_64__) && defined(__GNUC__)
// The same four points at a time: their twelve coordinates in three registers, each lane with its own least and
// greatest value, joined at the end. Min and max give the same value in any order except between -0.0 and +0.0,
// so a run whose least or greatest value is a zero is made again point by point.
[[gnu::target("avx2")]] void extent_run_avx2(const double* xyz, std::size_t from, std::size_t to,
                                             Extent& e) noexcept {
  if (from >= to) return;
  const std::size_t groups = (to - from) / 4;
  const double* p = xyz + 3 * from;
  const __m256d inf = _mm256_set1_pd(std::numeric_limits<double>::infinity());
  const __m256d zero = _mm256_setzero_pd();
  __m256d lo0 = inf, lo1 = inf, lo2 = inf;
  const __m256d minus_inf = _mm256_xor_pd(inf, _mm256_set1_pd(-0.0));
  __m256d hi0 = minus_inf, hi1 = minus_inf, hi2 = minus_inf;
  Extent rest;  // the groups with a point that is not finite, and the points after the last group
  for (std::size_t g = 0; g < groups; ++g, p += 12) {
    const __m256d a = _mm256_loadu_pd(p);      // x0 y0 z0 x1
    const __m256d b = _mm256_loadu_pd(p + 4);  // y1 z1 x2 y2
    const __m256d c = _mm256_loadu_pd(p + 8);  // z2 x3 y3 z3
    // v - v is 0 exactly when v is finite.
    const __m256d fa = _mm256_cmp_pd(_mm256_sub_pd(a, a), zero, _CMP_EQ_OQ);
    const __m256d fb = _mm256_cmp_pd(_mm256_sub_pd(b, b), zero, _CMP_EQ_OQ);
    const __m256d fc = _mm256_cmp_pd(_mm256_sub_pd(c, c), zero, _CMP_EQ_OQ);
    if (_mm256_movemask_pd(_mm256_and_pd(_mm256_and_pd(fa, fb), fc)) != 0xF) {
      for (int k = 0; k < 4; ++k) rest.add(p + 3 * k);
      continue;
    }
    lo0 = _mm256_min_pd(a, lo0);
    lo1 = _mm256_min_pd(b, lo1);
    lo2 = _mm256_min_pd(c, lo2);
    hi0 = _mm256_max_pd(a, hi0);
    hi1 = _mm256_max_pd(b, hi1);
    hi2 = _mm256_max_pd(c, hi2);
  }
  for (std::size_t k = from + 4 * groups; k < to; ++k) rest.add(xyz + 3 * k);
  double l[12], h[12];
  _mm256_storeu_pd(l, lo0);
  _mm256_storeu_pd(l + 4, lo1);
  _mm256_storeu_pd(l + 8, lo2);
  _mm256_storeu_pd(h, hi0);
  _mm256_storeu_pd(h + 4, hi1);
  _mm256_storeu_pd(h + 8, hi2);
  Extent run = rest;
  for (int k = 0; k < 12; ++k) {  // lane k holds coordinate k % 3
    run.lo[k % 3] = std::min(run.lo[k % 3], l[k]);
    run.hi[k % 3] = std::max(run.hi[k % 3], h[k]);
  }
  for (int k = 0; k < 3; ++k) {
    if (run.lo[k] == 0.0 || run.hi[k] == 0.0) return extent_run(xyz, from, to, e);
  }
  e.add(run);
}
#endif

[[noreturn]] void bad_scene(const std::string& what) { throw InternalFault("visibility scene: " + what); }

void check_scene(const Scene& s) {
  const std::size_t polygons = s.polygon_offsets.empty() ? 0 : s.polygon_offsets.size() - 1;
  if (s.polygon_ids.size() != polygons || s.polygon_depths.size() != polygons) {
    bad_scene("polygon ids and depths must have one entry per polygon");
  }
  if (polygons > 0) {
    if (s.polygon_offsets[0] < 0) bad_scene("polygon offsets must not be negative");
    for (std::size_t i = 0; i < polygons; ++i) {
      if (s.polygon_offsets[i + 1] < s.polygon_offsets[i]) bad_scene("polygon offsets must not decrease");
    }
    if (static_cast<std::uint64_t>(s.polygon_offsets[polygons]) > s.polygon_xyz.size() / 3) {
      bad_scene("polygon offsets run past the vertices");
    }
  }
  if (s.segment_xyz.size() % 6 != 0 || s.segment_ids.size() != s.segment_xyz.size() / 6) {
    bad_scene("segments need six coordinates and one id each");
  }
  if (s.marker_xyz.size() % 3 != 0 || s.marker_ids.size() != s.marker_xyz.size() / 3) {
    bad_scene("markers need three coordinates and one id each");
  }
  if (polygons + s.segment_ids.size() + s.marker_ids.size() >= std::numeric_limits<std::uint32_t>::max() / 16) {
    bad_scene("too many items");
  }
}

// The edges of pieces [begin, end) of `s` into `edges` (at each piece's first vertex), as Store::edges_of().
void edges_of_pieces(const Store& s, const Piece* begin, const Piece* end, HalfPlane* edges) noexcept {
  for (const Piece* p = begin; p != end; ++p) s.edges_of(*p, edges + p->first);
}

#if defined(__x86_64__) && defined(__GNUC__)
// The same with the four edges of a quad in the lanes of one register (the others one by one): left_of()'s
// differences, square root, quotients, products and sums, lane by lane, so the same values.
[[gnu::target("avx2")]] void edges_of_pieces_avx2(const Store& s, const Piece* begin, const Piece* end,
                                                  HalfPlane* edges) noexcept {
  const __m256d zero = _mm256_setzero_pd();
  const __m256d minus_one = _mm256_set1_pd(-1.0);
  const __m256d sign = _mm256_set1_pd(-0.0);  // flipped: the negation, exactly
  for (const Piece* p = begin; p != end; ++p) {
    if (p->count != 4) {
      s.edges_of(*p, edges + p->first);
      continue;
    }
    const Vec2* v = s.vertices(*p);
    const __m256d ax = _mm256_setr_pd(v[0].x, v[1].x, v[2].x, v[3].x);
    const __m256d ay = _mm256_setr_pd(v[0].y, v[1].y, v[2].y, v[3].y);
    const __m256d bx = _mm256_permute4x64_pd(ax, 0x39);  // lanes 1 2 3 0: each edge's end
    const __m256d by = _mm256_permute4x64_pd(ay, 0x39);
    const __m256d dx = _mm256_sub_pd(bx, ax);
    const __m256d dy = _mm256_sub_pd(by, ay);
    const __m256d len = _mm256_sqrt_pd(_mm256_add_pd(_mm256_mul_pd(dx, dx), _mm256_mul_pd(dy, dy)));
    const __m256d usable = _mm256_cmp_pd(len, zero, _CMP_GT_OQ);  // a zero-length edge bounds nothing
    const __m256d nx = _mm256_and_pd(usable, _mm256_div_pd(_mm256_xor_pd(dy, sign), len));
    const __m256d ny = _mm256_and_pd(usable, _mm256_div_pd(dx, len));
    const __m256d c = _mm256_blendv_pd(minus_one, _mm256_add_pd(_mm256_mul_pd(nx, ax), _mm256_mul_pd(ny, ay)), usable);
    // Unaligned stores: the address sanitizer's build may keep these arrays in a frame of its own.
    double x[4], y[4], z[4];
    _mm256_storeu_pd(x, nx);
    _mm256_storeu_pd(y, ny);
    _mm256_storeu_pd(z, c);
    HalfPlane* e = edges + p->first;
    for (int k = 0; k < 4; ++k) e[k] = {x[k], y[k], z[k]};
  }
}
#endif

#if defined(__x86_64__) && defined(__GNUC__)
// Four polygon pieces of four vertices, from[0..3] of `part`, copied to pieces i.. of `s` with their vertices
// (their first vertex moved by `base`), with their edges (Store::edges_of()) and what the grid keeps
// (prepare_pieces()), one piece per lane: the same operations in the same order, so the same bits. Their grown
// boxes are added to `box` in piece order.
[[gnu::target("avx2")]] void finish_quads_avx2(const Store& part, const Piece* from, std::uint32_t base, Store& s,
                                               const Tolerances& tol, Grid& g, std::size_t i, Box& box) noexcept {
  Piece* p = s.pieces.data() + i;
  for (std::size_t q = 0; q < 4; ++q) {
    p[q] = from[q];
    p[q].first += base;
  }
  KORVEX_ASSERT(from[1].first == from[0].first + 4 && from[2].first == from[0].first + 8 &&
                    from[3].first == from[0].first + 12,
                "consecutive pieces of a task have consecutive vertices");
  const double* xy = &part.verts[from[0].first].x;  // their sixteen vertices one after another
  double* to = &s.verts[p[0].first].x;
  // Two vertices of a quad per register (x y x y), turned to one register per coordinate.
  const __m256d v0 = _mm256_loadu_pd(xy), v1 = _mm256_loadu_pd(xy + 4), v2 = _mm256_loadu_pd(xy + 8);
  const __m256d v3 = _mm256_loadu_pd(xy + 12), v4 = _mm256_loadu_pd(xy + 16), v5 = _mm256_loadu_pd(xy + 20);
  const __m256d v6 = _mm256_loadu_pd(xy + 24), v7 = _mm256_loadu_pd(xy + 28);
  _mm256_storeu_pd(to, v0);
  _mm256_storeu_pd(to + 4, v1);
  _mm256_storeu_pd(to + 8, v2);
  _mm256_storeu_pd(to + 12, v3);
  _mm256_storeu_pd(to + 16, v4);
  _mm256_storeu_pd(to + 20, v5);
  _mm256_storeu_pd(to + 24, v6);
  _mm256_storeu_pd(to + 28, v7);
  __m256d x0, y0, x1, y1, x2, y2, x3, y3;
  transpose4(v0, v2, v4, v6, x0, y0, x1, y1);
  transpose4(v1, v3, v5, v7, x2, y2, x3, y3);
  // Edges: left_of() of each vertex and the next, turned back to the pieces' order (nx ny c, edge by edge). Then
  // the outlines (Grid::Outline) from the same registers, each coordinate turned to one row per quad: written
  // here, while at hand, rather than gathered back from the store for the grid.
  double* edges = &s.edges[p[0].first].nx;
  {
    __m256d nx0, ny0, c0, nx1, ny1, c1, nx2, ny2, c2, nx3, ny3, c3;
    left_of4(x0, y0, x1, y1, nx0, ny0, c0);
    left_of4(x1, y1, x2, y2, nx1, ny1, c1);
    left_of4(x2, y2, x3, y3, nx2, ny2, c2);
    left_of4(x3, y3, x0, y0, nx3, ny3, c3);
    store_transposed4(edges, 12, nx0, ny0, c0, nx1);
    store_transposed4(edges + 4, 12, ny1, c1, nx2, ny2);
    store_transposed4(edges + 8, 12, c2, nx3, ny3, c3);
    static_assert(sizeof(Grid::Outline) == 20 * sizeof(double) && offsetof(Grid::Outline, y) == 32 &&
                  offsetof(Grid::Outline, nx) == 64 && offsetof(Grid::Outline, ny) == 96 &&
                  offsetof(Grid::Outline, c) == 128);
    double* outline = g.outlines[i].x;
    store_transposed4(outline, 20, x0, x1, x2, x3);
    store_transposed4(outline + 4, 20, y0, y1, y2, y3);
    store_transposed4(outline + 8, 20, nx0, nx1, nx2, nx3);
    store_transposed4(outline + 12, 20, ny0, ny1, ny2, ny3);
    store_transposed4(outline + 16, 20, c0, c1, c2, c3);
  }
  // The depth span over the vertices, widened by the tolerance; all depths where the fallback lies outside.
  const __m256d pa = _mm256_setr_pd(p[0].plane.a, p[1].plane.a, p[2].plane.a, p[3].plane.a);
  const __m256d pb = _mm256_setr_pd(p[0].plane.b, p[1].plane.b, p[2].plane.b, p[3].plane.b);
  const __m256d cx = _mm256_setr_pd(p[0].plane.cx, p[1].plane.cx, p[2].plane.cx, p[3].plane.cx);
  const __m256d cy = _mm256_setr_pd(p[0].plane.cy, p[1].plane.cy, p[2].plane.cy, p[3].plane.cy);
  const __m256d cz = _mm256_setr_pd(p[0].plane.cz, p[1].plane.cz, p[2].plane.cz, p[3].plane.cz);
  const __m256d room = _mm256_setr_pd(p[0].tol, p[1].tol, p[2].tol, p[3].tol);
  const __m256d fallback = _mm256_setr_pd(p[0].fallback, p[1].fallback, p[2].fallback, p[3].fallback);
  __m256d lo = at4(x0, y0, pa, pb, cx, cy, cz);
  __m256d hi = lo;
  const __m256d z1 = at4(x1, y1, pa, pb, cx, cy, cz);
  lo = _mm256_min_pd(z1, lo);
  hi = _mm256_max_pd(z1, hi);
  const __m256d z2 = at4(x2, y2, pa, pb, cx, cy, cz);
  lo = _mm256_min_pd(z2, lo);
  hi = _mm256_max_pd(z2, hi);
  const __m256d z3 = at4(x3, y3, pa, pb, cx, cy, cz);
  lo = _mm256_min_pd(z3, lo);
  hi = _mm256_max_pd(z3, hi);
  lo = _mm256_sub_pd(lo, room);
  hi = _mm256_add_pd(hi, room);
  const __m256d inside =
      _mm256_and_pd(_mm256_cmp_pd(lo, fallback, _CMP_LE_OQ), _mm256_cmp_pd(fallback, hi, _CMP_LE_OQ));
  const __m256d sign = _mm256_set1_pd(-0.0);
  const __m256d inf = _mm256_set1_pd(std::numeric_limits<double>::infinity());
  lo = _mm256_blendv_pd(_mm256_xor_pd(inf, sign), lo, inside);
  hi = _mm256_blendv_pd(inf, hi, inside);
  // The grown box.
  const __m256d grow = _mm256_set1_pd(tol.len);
  const __m256d xmin = _mm256_sub_pd(_mm256_min_pd(x3, _mm256_min_pd(x2, _mm256_min_pd(x1, x0))), grow);
  const __m256d xmax = _mm256_add_pd(_mm256_max_pd(x3, _mm256_max_pd(x2, _mm256_max_pd(x1, x0))), grow);
  const __m256d ymin = _mm256_sub_pd(_mm256_min_pd(y3, _mm256_min_pd(y2, _mm256_min_pd(y1, y0))), grow);
  const __m256d ymax = _mm256_add_pd(_mm256_max_pd(y3, _mm256_max_pd(y2, _mm256_max_pd(y1, y0))), grow);
  _mm256_storeu_pd(g.extents.data() + i, _mm256_max_pd(_mm256_sub_pd(ymax, ymin), _mm256_sub_pd(xmax, xmin)));
  // The probes: {xmin, ymin, -xmax, -ymax}, then {lo, -hi}, the key and {first, outline} as one word.
  static_assert(sizeof(Grid::Probe) == 64 && offsetof(Grid::Probe, depth) == 32 && offsetof(Grid::Probe, key) == 48 &&
                offsetof(Grid::Probe, first) == 56 && offsetof(Grid::Probe, outline) == 60);
  double* probe = g.probes[i].box;
  store_transposed4(probe, 8, xmin, ymin, _mm256_xor_pd(xmax, sign), _mm256_xor_pd(ymax, sign));
  auto word = [p](std::size_t q) {
    return static_cast<long long>(std::uint64_t{p[q].first} | std::uint64_t{4} << 32);
  };
  const __m256i key = _mm256_setr_epi64x(
      static_cast<long long>(drawing_key(p[0].fallback)), static_cast<long long>(drawing_key(p[1].fallback)),
      static_cast<long long>(drawing_key(p[2].fallback)), static_cast<long long>(drawing_key(p[3].fallback)));
  store_transposed4(probe + 4, 8, lo, _mm256_xor_pd(hi, sign), _mm256_castsi256_pd(key),
                    _mm256_castsi256_pd(_mm256_setr_epi64x(word(0), word(1), word(2), word(3))));
  // The grown boxes added in piece order.
  double bx0[4], bx1[4], by0[4], by1[4];
  _mm256_storeu_pd(bx0, xmin);
  _mm256_storeu_pd(bx1, xmax);
  _mm256_storeu_pd(by0, ymin);
  _mm256_storeu_pd(by1, ymax);
  Box all = box;
  for (std::size_t q = 0; q < 4; ++q) {
    all = {std::min(all.xmin, bx0[q]), std::max(all.xmax, bx1[q]), std::min(all.ymin, by0[q]),
           std::max(all.ymax, by1[q])};
  }
  box = all;
}
#endif

}  // namespace

bool has_avx2() noexcept {
#if defined(__x86_64__) && defined(__GNUC__)
  static const bool avx2 = [] {
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx2") != 0;
  }();
  return avx2;
#else
  return false;
#endif
}

bool Store::substantial(const Vec2* v, std::size_t n, const Tolerances& tol) noexcept {
  if (n == 1) return true;
  if (n == 2) {
    const Vec2 d = v[1] - v[0];
    return norm(d) > tol.len;
  }
  const Box b = box_of(v, n);
  return std::abs(twice_area(v, n)) > 2.0 * tol.len * norm(Vec2{b.xmax - b.xmin, b.ymax - b.ymin});
}

Piece& Store::append(const Vec2* v, const std::uint8_t* f, std::size_t n) {
  Piece& piece = pieces.emplace_back();
  piece.first = static_cast<std::uint32_t>(verts.size());
  piece.count = static_cast<std::uint32_t>(n);
  for (std::size_t k = 0; k < n; ++k) {  // element by element: a piece has a handful of vertices
    verts.push_back(v[k]);
    flags.push_back(f[k]);
  }
  return piece;
}

std::uint32_t Store::add_without_edges(Piece proto, const Vec2* v, const std::uint8_t* f, std::size_t n) {
  const auto first = static_cast<std::uint32_t>(verts.size());
  Piece& piece = append(v, f, n);
  piece = proto;
  piece.first = first;
  piece.count = static_cast<std::uint32_t>(n);
  return static_cast<std::uint32_t>(pieces.size() - 1);
}

std::uint32_t Store::add(Piece proto, const Vec2* v, const std::uint8_t* f, std::size_t n) {
  const std::uint32_t u = add_without_edges(proto, v, f, n);
  edges.resize(verts.size());
  edges_of(pieces[u], edges.data() + pieces[u].first);
  return u;
}

std::size_t build_pieces(const Scene& scene, const Options& options, Tolerances& tol, parallel::ThreadPool& pool,
                         Store& out, std::vector<Store>& parts, Grid& grid) {
  check_scene(scene);
  const std::size_t polygons = scene.polygon_ids.size();
  const std::size_t segments = scene.segment_ids.size();
  const std::size_t markers = scene.marker_ids.size();
  const std::size_t items = polygons + segments + markers;

  // Scene extents over every finite point (min and max are exact, so the split into tasks does not matter).
  const std::size_t polygon_points = polygons == 0 ? 0 : static_cast<std::size_t>(scene.polygon_offsets[polygons]);
  const std::size_t points = polygon_points + 2 * segments + markers;
  constexpr std::size_t kPointsPerTask = 4096;
  const std::size_t point_tasks = (points + kPointsPerTask - 1) / kPointsPerTask;
  std::vector<Extent> extents(point_tasks);
  parallel::parallel_for(pool, point_tasks, 1, [&](std::size_t t) {
    // The task's points are runs of the three arrays (polygon points, then segment ends, then markers).
    const std::size_t begin = t * kPointsPerTask;
    const std::size_t end = std::min(points, begin + kPointsPerTask);
    Extent e;
    auto run = [&e](const double* xyz, std::size_t from, std::size_t to) {
#if defined(__x86_64__) && defined(__GNUC__)
      if (has_avx2()) return extent_run_avx2(xyz, from, to, e);
#endif
      extent_run(xyz, from, to, e);
    };
    const std::size_t segment_points = polygon_points + 2 * segments;
    run(scene.polygon_xyz.data(), begin, std::min(end, polygon_points));
    if (end > polygon_points && begin < segment_points) {
      run(scene.segment_xyz.data(), std::max(begin, polygon_points) - polygon_points,
          std::min(end, segment_points) - polygon_points);
    }
    if (end > segment_points) {
      run(scene.marker_xyz.data(), std::max(begin, segment_points) - segment_points, end - segment_points);
    }
    extents[t] = e;
  });
  Extent all;
  for (const Extent& e : extents) all.add(e);
  double ext_xy = 0.0, mag_xy = 0.0, ext_z = 0.0, mag_z = 0.0;
  if (all.lo[0] <= all.hi[0]) {
    ext_xy = std::max(all.hi[0] - all.lo[0], all.hi[1] - all.lo[1]);
    mag_xy = std::max({std::abs(all.lo[0]), std::abs(all.hi[0]), std::abs(all.lo[1]), std::abs(all.hi[1])});
    ext_z = all.hi[2] - all.lo[2];
    mag_z = std::max(std::abs(all.lo[2]), std::abs(all.hi[2]));
  }
  tol.len = std::max(1e-9 * ext_xy + 1e-14 * mag_xy, std::numeric_limits<double>::min());
  tol.z = std::max(1e-9 * ext_z + 1e-14 * mag_z, std::numeric_limits<double>::min());
  tol.planar = options.planarity * ext_z;
  tol.sliver = 1e-4 * ext_xy;
  tol.bend = 1e-3 * ext_xy;
  tol.radius = std::max(options.marker_radius, 0.0);

  // Pieces, task by task, then joined in item order (each task copies its part to its place).
  const std::size_t tasks = (items + kItemsPerTask - 1) / kItemsPerTask;
  if (parts.size() < tasks) parts.resize(tasks);
  parallel::parallel_for(pool, tasks, 1, [&](std::size_t t) {
    Work w;
    Store& part = parts[t];
    part.pieces.clear();
    part.verts.clear();
    part.flags.clear();
    const std::size_t end = std::min(items, (t + 1) * kItemsPerTask);
    std::size_t i = t * kItemsPerTask;
#if defined(__x86_64__) && defined(__GNUC__)
    if (has_avx2()) {
      // Runs of four quads at once; a quad that is not simple takes add_polygon()'s way.
      const std::int64_t* offsets = scene.polygon_offsets.data();
      const std::size_t quads_end = std::min(end, polygons);
      QuadLanes lanes;
      constexpr std::size_t width = 4;
      while (i + width <= quads_end) {
        bool quads = true;
        for (std::size_t k = i; k < i + width; ++k) quads = quads && offsets[k + 1] - offsets[k] == 4;
        if (!quads) {
          add_polygon(scene, i++, tol, part, w);
          continue;
        }
        simple_quads_avx2(scene.polygon_xyz.data() + 3 * offsets[i], tol, lanes);
        // Each simple quad as a piece (the vertices of all at once in the usual case that all are); the others
        // the general way.
        const bool all = lanes.simple == (1u << width) - 1;
        if (all) {
          part.verts.insert(part.verts.end(), lanes.v, lanes.v + 4 * width);
          part.flags.insert(part.flags.end(), 4 * width, std::uint8_t{1});
        }
        for (std::size_t q = 0; q < width; ++q, ++i) {
          if ((lanes.simple >> q & 1) == 0) {
            add_polygon(scene, i, tol, part, w);
            continue;
          }
          auto first = static_cast<std::uint32_t>(part.verts.size());
          if (all) {
            first -= static_cast<std::uint32_t>(4 * (width - q));
          } else {
            part.verts.insert(part.verts.end(), lanes.v + 4 * q, lanes.v + 4 * q + 4);
            part.flags.insert(part.flags.end(), 4, std::uint8_t{1});
          }
          part.pieces.push_back(Piece{first, 4, Kind::Polygon, true, true, static_cast<std::uint32_t>(i),
                                      Plane{lanes.a[q], lanes.b[q], lanes.cx[q], lanes.cy[q], lanes.cz[q]},
                                      lanes.tol[q], scene.polygon_depths[i]});
        }
      }
    }
#endif
    for (; i < end; ++i) {
      const auto item = static_cast<std::uint32_t>(i);
      if (i < polygons) {
        add_polygon(scene, i, tol, part, w);
      } else if (i < polygons + segments) {
        add_segment(scene, i - polygons, item, tol, part);
      } else {
        add_marker(scene, i - polygons - segments, item, part);
      }
    }
  });
  std::vector<std::size_t> piece_at(tasks + 1, 0), vert_at(tasks + 1, 0), unplaced(tasks, 0);
  for (std::size_t t = 0; t < tasks; ++t) {
    piece_at[t + 1] = piece_at[t] + parts[t].pieces.size();
    vert_at[t + 1] = vert_at[t] + parts[t].verts.size();
  }
  if (vert_at[tasks] >= std::numeric_limits<std::uint32_t>::max() / 4) bad_scene("too many vertices");
  out.pieces.resize(piece_at[tasks]);
  out.verts.resize(vert_at[tasks]);
  out.flags.resize(vert_at[tasks]);
  out.edges.resize(vert_at[tasks]);
  out.wholes.resize(piece_at[tasks]);
  out.drawn.resize(piece_at[tasks]);
  size_grid(grid, piece_at[tasks]);
  constexpr double kInf = std::numeric_limits<double>::infinity();
  grid.task_boxes.assign(tasks, Box{kInf, -kInf, kInf, -kInf});
  grid.task_counts.assign(tasks, 0);
  parallel::parallel_for(pool, tasks, 1, [&](std::size_t t) {
    const Store& part = parts[t];
    const auto base = static_cast<std::uint32_t>(vert_at[t]);
    std::copy(part.flags.begin(), part.flags.end(), out.flags.begin() + static_cast<std::ptrdiff_t>(base));
    // Each piece to its place with its vertices, edges and what the grid keeps; quads four at a time where they
    // come in fours.
    const Piece* from = part.pieces.data();
    const std::size_t count = part.pieces.size();
    std::size_t j = 0;
    auto one = [&](auto edges_of) {
      const std::size_t i = piece_at[t] + j;
      Piece& piece = out.pieces[i];
      piece = from[j];
      piece.first += base;
      unplaced[t] += piece.count == 0 ? 1 : 0;
      std::copy_n(part.verts.begin() + from[j].first, piece.count, out.verts.begin() + piece.first);
      edges_of(out, out.pieces.data() + i, out.pieces.data() + i + 1, out.edges.data());
      prepare_pieces(out, tol, grid, i, i + 1, grid.task_boxes[t], grid.task_counts[t]);
      ++j;
    };
#if defined(__x86_64__) && defined(__GNUC__)
    if (has_avx2()) {
      auto quad = [from](std::size_t k) { return from[k].count == 4 && from[k].kind == Kind::Polygon; };
      while (j < count) {
        if (j + 4 <= count && quad(j) && quad(j + 1) && quad(j + 2) && quad(j + 3)) {
          finish_quads_avx2(part, from + j, base, out, tol, grid, piece_at[t] + j, grid.task_boxes[t]);
          grid.task_counts[t] += 4;
          j += 4;
        } else {
          one(edges_of_pieces_avx2);
        }
      }
    }
#endif
    while (j < count) one(edges_of_pieces);
    // What drawing each piece's item whole takes, from the scene's arrays in item order.
    for (j = 0; j < count; ++j) {
      const std::size_t i = piece_at[t] + j;
      out.wholes[i] = whole_item(scene, from[j]);
      out.drawn[i] = from[j].whole ? out.wholes[i].count : kNotWhole;
    }
  });
  grid.all = Box{kInf, -kInf, kInf, -kInf};
  grid.placed = 0;
  for (std::size_t t = 0; t < tasks; ++t) {
    const Box& b = grid.task_boxes[t];
    grid.all = {std::min(grid.all.xmin, b.xmin), std::max(grid.all.xmax, b.xmax), std::min(grid.all.ymin, b.ymin),
                std::max(grid.all.ymax, b.ymax)};
    grid.placed += grid.task_counts[t];
  }
  std::size_t total = 0;
  for (const std::size_t u : unplaced) total += u;
  return total;
}

}  // namespace korvex::visibility::detail
