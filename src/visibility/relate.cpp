// The depth relation of two pieces, and the candidate pairs on a grid.
#include <algorithm>
#include <cmath>
#include <limits>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif
#if defined(__x86_64__) && defined(__GNUC__)
#include <immintrin.h>
#endif

#include "common/fault.hpp"
#include "common/prefetch.hpp"
#include "parallel/parallel_for.hpp"
#include "visibility/lanes.hpp"
#include "visibility/pieces.hpp"

namespace korvex::visibility::detail {

namespace {

// The square of half-width r about c, counter-clockwise.
void square_about(Vec2 c, double r, std::vector<Vec2>& out) {
  out = {{c.x - r, c.y - r}, {c.x + r, c.y - r}, {c.x + r, c.y + r}, {c.x - r, c.y + r}};
}

// Where two segments meet: their crossing point, the shared stretch of two collinear segments, or nothing.
void segment_overlap(const Vec2* p, const Vec2* q, double len, std::vector<Vec2>& out) {
  const Vec2 r = p[1] - p[0];
  const Vec2 s = q[1] - q[0];
  const double lr = norm(r);
  const double ls = norm(s);
  const double denom = cross(r, s);
  const Vec2 qp = q[0] - p[0];
  if (std::abs(denom) <= 1e-12 * lr * ls) {
    if (std::abs(cross(r, qp)) > len * lr) return;  // parallel, apart
    const double k = 1.0 / (lr * lr);
    double t0 = dot(qp, r) * k;
    double t1 = dot(q[1] - p[0], r) * k;
    if (t0 > t1) std::swap(t0, t1);
    t0 = std::max(t0, 0.0);
    t1 = std::min(t1, 1.0);
    if ((t1 - t0) * lr <= len) return;
    out = {lerp(p[0], p[1], t0), lerp(p[0], p[1], t1)};
    return;
  }
  const double t = cross(qp, s) / denom;
  const double u = cross(qp, r) / denom;
  const double et = len / lr;
  const double eu = len / ls;
  if (t < -et || t > 1.0 + et || u < -eu || u > 1.0 + eu) return;
  out = {lerp(p[0], p[1], std::clamp(t, 0.0, 1.0))};
}

// The point of a convex region (polygon, segment or point) nearest to c.
Vec2 nearest_point(const std::vector<Vec2>& region, Vec2 c) {
  const std::size_t n = region.size();
  if (n == 1) return region[0];
  if (n >= 3) {
    bool in = true;
    for (std::size_t k = 0; k < n && in; ++k) in = turn(region[k], region[(k + 1) % n], c) >= 0.0;
    if (in) return c;
  }
  Vec2 best = region[0];
  double best_d = INFINITY;
  const std::size_t edges = n == 2 ? 1 : n;
  for (std::size_t k = 0; k < edges; ++k) {
    const Vec2 a = region[k], b = region[(k + 1) % n];
    const Vec2 d = b - a;
    const double len2 = dot(d, d);
    const double t = len2 > 0.0 ? std::clamp(dot(c - a, d) / len2, 0.0, 1.0) : 0.0;
    const Vec2 p = lerp(a, b, t);
    const double dist = norm(p - c);
    if (dist < best_d) {
      best_d = dist;
      best = p;
    }
  }
  return best;
}

}  // namespace

void overlap_region(const Store& s, std::uint32_t a, std::uint32_t b, const Tolerances& tol, Scratch& w,
                    std::vector<Vec2>& out, bool strict) {
  out.clear();
  const Piece* pa = &s.pieces[a];
  const Piece* pb = &s.pieces[b];
  if (pa->count == 0 || pb->count == 0) return;
  // The lower kind second: polygon clips segment, anything meets a marker.
  if (pa->kind < pb->kind) std::swap(pa, pb);
  const Piece& A = *pa;
  const Piece& B = *pb;
  const Vec2* va = s.vertices(A);
  const Vec2* vb = s.vertices(B);
  const double r = tol.radius;
  if (A.kind == Kind::Marker) {
    const Vec2 c = va[0];
    if (B.kind == Kind::Polygon) {
      if (r == 0.0) {
        const HalfPlane* e = s.edges.data() + B.first;
        for (std::uint32_t k = 0; k < B.count; ++k) {
          if (e[k].distance(c) < -tol.len) return;
        }
        out.push_back(c);
      } else {
        square_about(c, r, w.square);
        clip_convex(w.square.data(), 4, s.edges.data() + B.first, B.count, -tol.len, out, w.spare);
      }
    } else if (r > 0.0 && B.kind == Kind::Segment) {
      square_about(c, r, w.square);
      HalfPlane sides[4];
      for (int k = 0; k < 4; ++k) sides[k] = left_of(w.square[k], w.square[(k + 1) % 4]);
      clip_convex(vb, 2, sides, 4, -tol.len, out, w.spare);
    } else if (r > 0.0 && B.kind == Kind::Marker) {
      const Vec2 d = vb[0] - c;
      if (std::abs(d.x) >= 2.0 * r || std::abs(d.y) >= 2.0 * r) return;
      const Box box{std::max(c.x, vb[0].x) - r, std::min(c.x, vb[0].x) + r, std::max(c.y, vb[0].y) - r,
                    std::min(c.y, vb[0].y) + r};
      out = {{box.xmin, box.ymin}, {box.xmax, box.ymin}, {box.xmax, box.ymax}, {box.xmin, box.ymax}};
    }
    return;
  }
  if (A.kind == Kind::Segment && B.kind == Kind::Segment) {
    segment_overlap(va, vb, tol.len, out);
    return;
  }
  if (A.kind == Kind::Segment) {
    const double offset = strict ? tol.len : -tol.len;
    if (outside_one(va, 2, s.edges.data() + B.first, B.count, offset)) return;
    clip_convex(va, 2, s.edges.data() + B.first, B.count, offset, out, w.spare);
    if (out.size() == 2 && norm(out[1] - out[0]) <= tol.len) out.clear();
    return;
  }
  // Two polygons: a separating edge of either settles most pairs (mesh neighbours that share an edge).
  if (outside_one(va, A.count, s.edges.data() + B.first, B.count, tol.len) ||
      outside_one(vb, B.count, s.edges.data() + A.first, A.count, tol.len)) {
    return;
  }
  clip_convex(va, A.count, s.edges.data() + B.first, B.count, tol.len, out, w.spare);
}

namespace {

// Classifies a depth difference (a minus b, over a region where they overlap) against the tolerance t.
Outcome classify(const Piece& A, const Piece& B, double lo, double hi, double t) {
  if (lo >= -t && hi <= t) {
    // Equal depths: nothing to order between two of a kind; a line or a marker on a surface is drawn over it.
    if (A.kind == B.kind) return Outcome::None;
    return A.kind < B.kind ? Outcome::AFirst : Outcome::BFirst;
  }
  if (lo >= -t) return Outcome::AFirst;
  if (hi <= t) return Outcome::BFirst;
  return Outcome::Intersect;
}

}  // namespace

void depth_range(const Piece& A, const Piece& B, const Vec2* v, std::size_t n, double& lo, double& hi) noexcept {
  lo = std::numeric_limits<double>::infinity();
  hi = -lo;
  for (std::size_t i = 0; i < n; ++i) {
    const double d = A.plane.at(v[i]) - B.plane.at(v[i]);
    lo = std::min(lo, d);
    hi = std::max(hi, d);
  }
}

namespace {

// Two polygons. The depth difference is affine, so where it keeps one sign (or stays within the tolerance) over
// all vertices of either polygon it does so over their overlap: then only whether they overlap matters, which a
// separating edge decides cheaply. Only pairs that cross each other's planes need the overlap region itself.
// The depth relation of two polygons that overlap by their edges' test: over the vertices of either when that
// settles it, else over their overlap.
Verdict overlapping_polygons(const Store& s, const Piece& A, const Piece& B, const Tolerances& tol, Scratch& w) {
  Verdict v;
  const double t = tol.z + A.tol + B.tol;
  for (const Piece* p : {&A, &B}) {
    depth_range(A, B, s.vertices(*p), p->count, v.lo, v.hi);
    if (v.lo >= -t || v.hi <= t) {
      v.outcome = classify(A, B, v.lo, v.hi, t);
      return v;
    }
  }
  clip_convex(s.vertices(A), A.count, s.edges.data() + B.first, B.count, tol.len, w.region, w.spare);
  if (w.region.empty()) return v;
  depth_range(A, B, w.region.data(), w.region.size(), v.lo, v.hi);
  v.outcome = classify(A, B, v.lo, v.hi, t);
  return v;
}

Verdict relate_polygons(const Store& s, const Piece& A, const Piece& B, const Tolerances& tol, Scratch& w) {
  const Vec2* va = s.vertices(A);
  const Vec2* vb = s.vertices(B);
  const HalfPlane* ea = s.edges.data() + A.first;
  const HalfPlane* eb = s.edges.data() + B.first;
  if (outside_one(va, A.count, eb, B.count, tol.len) || outside_one(vb, B.count, ea, A.count, tol.len)) return {};
  return overlapping_polygons(s, A, B, tol, w);
}

// outside_one() on two outlines of three or four vertices, v's points against e's edges: whether some edge has all
// the points below `offset`, without a branch. A triangle takes its last vertex and edge twice (which changes
// nothing). Two edges at a time in the vector registers where the compiler has them: the same products, sums and
// comparisons as one at a time.
#if defined(__GNUC__)
using Pair = double __attribute__((vector_size(16)));

inline bool outside_one(const Vec2* v, std::uint32_t nv, const HalfPlane* e, std::uint32_t ne,
                        double offset) noexcept {
  const HalfPlane& e3 = e[ne - 1];
  const Pair nx01 = {e[0].nx, e[1].nx}, nx23 = {e[2].nx, e3.nx}, ny01 = {e[0].ny, e[1].ny}, ny23 = {e[2].ny, e3.ny};
  const Pair c01 = {e[0].c, e[1].c}, c23 = {e[2].c, e3.c};
  const Pair off = {offset, offset};
  auto below01 = (nx01 * v[0].x + ny01 * v[0].y) - c01 < off;  // per edge: every vertex so far below
  auto below23 = (nx23 * v[0].x + ny23 * v[0].y) - c23 < off;
  for (std::uint32_t i = 1; i < 4; ++i) {
    const Vec2 p = v[std::min(i, nv - 1)];
    below01 &= (nx01 * p.x + ny01 * p.y) - c01 < off;
    below23 &= (nx23 * p.x + ny23 * p.y) - c23 < off;
  }
  const auto any = below01 | below23;
  return (any[0] | any[1]) != 0;
}
#else
inline bool outside_one(const Vec2* v, std::uint32_t nv, const HalfPlane* e, std::uint32_t ne,
                        double offset) noexcept {
  bool any = false;
  for (std::uint32_t k = 0; k < 4; ++k) {
    const HalfPlane& h = e[std::min(k, ne - 1)];
    bool all = true;
    for (std::uint32_t i = 0; i < 4; ++i) {
      const Vec2 p = v[std::min(i, nv - 1)];
      all &= (h.nx * p.x + h.ny * p.y) - h.c < offset;
    }
    any |= all;
  }
  return any;
}
#endif

}  // namespace

Verdict relate(const Store& s, std::uint32_t a, std::uint32_t b, const Tolerances& tol, Scratch& w) {
  Verdict v;
  const Piece& A = s.pieces[a];
  const Piece& B = s.pieces[b];
  if (A.kind == Kind::Polygon && B.kind == Kind::Polygon) return relate_polygons(s, A, B, tol, w);
  overlap_region(s, a, b, tol, w, w.region);
  if (w.region.empty()) return v;
  // Depth of a minus depth of b: positive where a is farther. A marker is taken at its centre, against the
  // other item at the point of the overlap nearest to the centre (so neighbouring parts of a curved surface
  // agree about it).
  if (A.kind == Kind::Marker || B.kind == Kind::Marker) {
    const Vec2 c = s.verts[A.kind == Kind::Marker ? A.first : B.first];
    const Vec2 p = nearest_point(w.region, c);
    v.lo = v.hi = (A.kind == Kind::Marker ? A.plane.at(c) - B.plane.at(p) : A.plane.at(p) - B.plane.at(c));
  } else {
    depth_range(A, B, w.region.data(), w.region.size(), v.lo, v.hi);
  }
  v.outcome = classify(A, B, v.lo, v.hi, tol.z + A.tol + B.tol);
  return v;
}

namespace {

constexpr std::size_t kPiecesPerTask = 1024;
constexpr std::size_t kSpares = 16;  // see build_grid()
constexpr std::size_t kProbeRun = 8;  // partners of a piece whose probes are compared at a time

constexpr std::size_t kPairsAhead = 12;  // pairs whose outlines are asked for ahead of their test

// Whether the probe's lanes exceed the thresholds' anywhere: then the probed piece is apart from the one the
// thresholds were made for (see Grid::Probe). The same comparisons as on the boxes and spans themselves (a
// negation is exact), two lanes at a time where the vector registers hold two doubles. NaN lanes exceed nothing.
#if defined(__SSE2__)
struct Thresholds {
  __m128d lanes[3];
};
inline bool apart(const Grid::Probe& q, const Thresholds& t) noexcept {
  const __m128d over = _mm_or_pd(_mm_or_pd(_mm_cmpgt_pd(_mm_load_pd(q.box), t.lanes[0]),
                                           _mm_cmpgt_pd(_mm_load_pd(q.box + 2), t.lanes[1])),
                                 _mm_cmpgt_pd(_mm_load_pd(q.depth), t.lanes[2]));
  return _mm_movemask_pd(over) != 0;
}
// What p's partners are compared with: p's box turned by two lanes and negated, and its depth span widened by the
// tolerance as {hi + tol, -(lo - tol)} (the negations are exact: the same values as from p's own lo and hi).
inline Thresholds thresholds(const Grid::Probe& p, double tol_z) noexcept {
  const __m128d zero = _mm_setzero_pd();
  return {{_mm_sub_pd(zero, _mm_load_pd(p.box + 2)), _mm_sub_pd(zero, _mm_load_pd(p.box)),
           _mm_set_pd(-(p.depth[0] - tol_z), -p.depth[1] + tol_z)}};
}
#else
struct Thresholds {
  double box[4];
  double depth[2];
};
inline bool apart(const Grid::Probe& q, const Thresholds& t) noexcept {
  bool any = (q.depth[0] > t.depth[0]) | (q.depth[1] > t.depth[1]);
  for (int k = 0; k < 4; ++k) any |= q.box[k] > t.box[k];
  return any;
}
inline Thresholds thresholds(const Grid::Probe& p, double tol_z) noexcept {
  return {{-p.box[2], -p.box[3], -p.box[0], -p.box[1]}, {-p.depth[1] + tol_z, -(p.depth[0] - tol_z)}};
}
#endif

// A piece's Grid::Outline from its probe's outline and the store (its vertices and edges just written there).
inline void outline_of(const Store& s, const Grid::Probe& probe, Grid::Outline& lanes) noexcept {
  constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
  for (std::uint32_t k = 0; k < 4; ++k) {
    if (probe.outline == 0) {
      lanes.x[k] = lanes.y[k] = lanes.nx[k] = lanes.ny[k] = lanes.c[k] = kNaN;
      continue;
    }
    const std::uint32_t at = probe.first + std::min(k, probe.outline - 1);
    lanes.x[k] = s.verts[at].x;
    lanes.y[k] = s.verts[at].y;
    lanes.nx[k] = s.edges[at].nx;
    lanes.ny[k] = s.edges[at].ny;
    lanes.c[k] = s.edges[at].c;
  }
}

}  // namespace

void size_grid(Grid& g, std::size_t n) {
  g.probes.resize(n);
  g.outlines.resize(n);
  g.extents.resize(n);
}

void prepare_pieces(const Store& s, const Tolerances& tol, Grid& g, std::size_t begin, std::size_t end, Box& box,
                    std::size_t& placed) noexcept {
  constexpr double kInf = std::numeric_limits<double>::infinity();
  Box all = box;  // in registers, written back once
  std::size_t count = 0;
  for (std::size_t i = begin; i < end; ++i) {
    const Piece& p = s.pieces[i];
    constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
    Grid::Probe& probe = g.probes[i];
    const std::uint32_t outline = p.kind == Kind::Polygon && p.count <= 4 ? p.count : 0;
    DepthSpan depth{kNaN, kNaN, drawing_key(p.fallback)};
    if (p.count == 0) {
      probe = {{kNaN, kNaN, kNaN, kNaN}, {kNaN, kNaN}, depth.key, p.first, 0};
      outline_of(s, probe, g.outlines[i]);
      g.extents[i] = -1.0;  // below every extent: sorts before the placed pieces
      continue;
    }
    {
      const Vec2* v = s.vertices(p);
      depth.lo = depth.hi = p.plane.at(v[0]);
      for (std::uint32_t k = 1; k < p.count; ++k) {
        const double z = p.plane.at(v[k]);
        depth.lo = std::min(depth.lo, z);
        depth.hi = std::max(depth.hi, z);
      }
      depth.lo -= p.tol;
      depth.hi += p.tol;
      // A fallback depth outside the span (or NaN) says nothing about the plain order: all depths, so that
      // the piece is never settled.
      if (!(depth.lo <= p.fallback && p.fallback <= depth.hi)) depth = {-kInf, kInf, depth.key};
    }
    const double grow = tol.len + (p.kind == Kind::Marker ? tol.radius : 0.0);
    const Box pb = box_of(s.vertices(p), p.count);
    const Box b{pb.xmin - grow, pb.xmax + grow, pb.ymin - grow, pb.ymax + grow};
    probe = {{b.xmin, b.ymin, -b.xmax, -b.ymax}, {depth.lo, -depth.hi}, depth.key, p.first, outline};
    outline_of(s, probe, g.outlines[i]);
    all = {std::min(all.xmin, b.xmin), std::max(all.xmax, b.xmax), std::min(all.ymin, b.ymin),
           std::max(all.ymax, b.ymax)};
    g.extents[i] = std::max(b.xmax - b.xmin, b.ymax - b.ymin);
    ++count;
  }
  box = all;
  placed += count;
}

namespace {

#if defined(__x86_64__) && defined(__GNUC__)
// The 4 x 4 transpose of 32-bit integers, in place.
[[gnu::target("avx2"), gnu::always_inline]] inline void transpose4_epi32(__m128i& a, __m128i& b, __m128i& c,
                                                                         __m128i& d) {
  const __m128i t0 = _mm_unpacklo_epi32(a, b);  // a0 b0 a1 b1
  const __m128i t1 = _mm_unpacklo_epi32(c, d);  // c0 d0 c1 d1
  const __m128i t2 = _mm_unpackhi_epi32(a, b);  // a2 b2 a3 b3
  const __m128i t3 = _mm_unpackhi_epi32(c, d);  // c2 d2 c3 d3
  a = _mm_unpacklo_epi64(t0, t1);
  b = _mm_unpackhi_epi64(t0, t1);
  c = _mm_unpacklo_epi64(t2, t3);
  d = _mm_unpackhi_epi64(t2, t3);
}

// Grid::col() or Grid::row() lane by lane (Grid::cell(): below 0 to 0, from count - 1 up to count - 1, else
// truncated), for finite coordinates.
[[gnu::target("avx2"), gnu::always_inline]] inline __m128i cells4(__m256d v, __m256d origin, __m256d scale,
                                                                  __m256d last) {
  const __m256d t = _mm256_mul_pd(_mm256_sub_pd(v, origin), scale);
  return _mm256_cvttpd_epi32(_mm256_min_pd(_mm256_max_pd(t, _mm256_setzero_pd()), last));
}

// build_grid()'s spans and places of pieces [begin, end) four at a time, one piece per lane (begin a multiple of
// four): the same differences, products and comparisons, so the same cells; returns where it stopped. A piece's
// spare places are those of build_grid() (4 i + j is 4 q + j modulo kSpares for the piece in lane q).
[[gnu::target("avx2")]] std::size_t locate_avx2(Grid& g, std::size_t begin, std::size_t end,
                                                std::uint32_t groups) noexcept {
  static_assert(kSpares == 16 && sizeof(Grid::Span) == 16);
  const __m256d sign = _mm256_set1_pd(-0.0);
  const __m256d x0 = _mm256_set1_pd(g.x0), y0 = _mm256_set1_pd(g.y0), inv = _mm256_set1_pd(g.inv);
  const __m256d last_x = _mm256_set1_pd(static_cast<double>(g.nx - 1));
  const __m256d last_y = _mm256_set1_pd(static_cast<double>(g.ny - 1));
  const __m128i nx = _mm_set1_epi32(static_cast<int>(g.nx));
  const __m128i spare = _mm_add_epi32(_mm_set1_epi32(static_cast<int>(groups + 1)), _mm_setr_epi32(0, 4, 8, 12));
  const __m128i one = _mm_set1_epi32(1), two = _mm_set1_epi32(2), three = _mm_set1_epi32(3), four = _mm_set1_epi32(4);
  const __m256i low_halves = _mm256_setr_epi32(0, 2, 4, 6, 0, 2, 4, 6);
  std::size_t i = begin;
  for (; i + 4 <= end; i += 4) {
    const Grid::Probe* p = g.probes.data() + i;
    __m256d xmin, ymin, xmax, ymax;
    transpose4(_mm256_loadu_pd(p[0].box), _mm256_loadu_pd(p[1].box), _mm256_loadu_pd(p[2].box),
               _mm256_loadu_pd(p[3].box), xmin, ymin, xmax, ymax);
    xmax = _mm256_xor_pd(xmax, sign);
    ymax = _mm256_xor_pd(ymax, sign);
    // Pieces left out (NaN) get no rows and spare places only.
    const __m256d placed = _mm256_cmp_pd(xmin, xmax, _CMP_LE_OQ);
    const __m128i kept =
        _mm256_castsi256_si128(_mm256_permutevar8x32_epi32(_mm256_castpd_si256(placed), low_halves));
    const __m128i c0 = cells4(xmin, x0, inv, last_x), c1 = cells4(xmax, x0, inv, last_x);
    const __m128i r0 = cells4(ymin, y0, inv, last_y), r1 = cells4(ymax, y0, inv, last_y);
    const __m128i wide = _mm_cmpgt_epi32(c1, c0);
    const __m128i tall = _mm_cmpgt_epi32(r1, r0);
    const __m128i base = _mm_slli_epi32(_mm_add_epi32(_mm_mullo_epi32(r0, nx), c0), 2);  // the first cell's groups
    const __m128i up = _mm_add_epi32(base, _mm_slli_epi32(nx, 2));                      // the cell above it
    __m128i at0 = _mm_blendv_epi8(spare, _mm_add_epi32(base, one), kept);
    __m128i at1 = _mm_blendv_epi8(_mm_add_epi32(spare, one), _mm_add_epi32(base, _mm_add_epi32(four, two)),
                                  _mm_and_si128(kept, wide));
    __m128i at2 = _mm_blendv_epi8(_mm_add_epi32(spare, two), up, _mm_and_si128(kept, tall));
    __m128i at3 = _mm_blendv_epi8(_mm_add_epi32(spare, three), _mm_add_epi32(up, _mm_add_epi32(four, three)),
                                  _mm_and_si128(kept, _mm_and_si128(wide, tall)));
    // Spans {x0, x1, y0, y1} and places piece by piece: both turned from lanes to rows.
    __m128i s0 = _mm_blendv_epi8(one, c0, kept), s1 = _mm_blendv_epi8(_mm_setzero_si128(), c1, kept);
    __m128i s2 = _mm_blendv_epi8(one, r0, kept), s3 = _mm_blendv_epi8(_mm_setzero_si128(), r1, kept);
    transpose4_epi32(s0, s1, s2, s3);
    transpose4_epi32(at0, at1, at2, at3);
    auto* span = reinterpret_cast<__m128i*>(g.spans.data() + i);
    _mm_storeu_si128(span, s0);
    _mm_storeu_si128(span + 1, s1);
    _mm_storeu_si128(span + 2, s2);
    _mm_storeu_si128(span + 3, s3);
    auto* at = reinterpret_cast<__m128i*>(g.places.data() + 4 * i);
    _mm_storeu_si128(at, at0);
    _mm_storeu_si128(at + 1, at1);
    _mm_storeu_si128(at + 2, at2);
    _mm_storeu_si128(at + 3, at3);
  }
  return i;
}
#endif

void build_grid(const Store& s, const Tolerances& tol, parallel::ThreadPool& pool, Grid& g) {
  const std::size_t n = s.pieces.size();
  const Box all = g.all;
  const std::size_t placed = g.placed;
  std::vector<double>& extents = g.extents;
  g.nx = g.ny = 1;
  g.start.assign(5, 0);
  g.items.clear();
  if (placed == 0) return;
  // About two cells per piece, but no smaller than the median piece, so that a piece covers a few cells
  // (smaller cells meet fewer partners that do not overlap, but list each piece more often; with the probes'
  // comparisons as cheap as they are, the median piece did best on meshes of quads, measured between 0.6 and
  // 1.6). (The pieces left out have extent -1 and come first.)
  const auto median = static_cast<std::ptrdiff_t>(n - placed + placed / 2);
  std::nth_element(extents.begin(), extents.begin() + median, extents.end());
  const double w = all.xmax - all.xmin;
  const double h = all.ymax - all.ymin;
  double cell = std::max(std::sqrt(w * h / (2.0 * static_cast<double>(placed))), extents[median]);
  cell = std::max(cell, tol.len);
  const double limit = 4.0 * static_cast<double>(placed) + 16.0;
  while ((std::floor(w / cell) + 1.0) * (std::floor(h / cell) + 1.0) > limit) cell *= 1.5;
  g.x0 = all.xmin;
  g.y0 = all.ymin;
  g.inv = 1.0 / cell;
  g.nx = static_cast<std::uint32_t>(std::floor(w / cell)) + 1;
  g.ny = static_cast<std::uint32_t>(std::floor(h / cell)) + 1;
  const std::size_t cells = static_cast<std::size_t>(g.nx) * g.ny;
  // Each piece's cells on the pool (four pieces at a time in vector registers where the processor has them): its
  // span, and the places in start[] of its first two columns in its first two rows (a spare slot where it has no
  // such column or row). Then the grid on the calling thread: counts per group
  // of a cell, summed to each group's end; then pieces in descending order, each placed just below its groups'
  // current ends, which leaves every group ascending and start[] at the groups' beginnings. The grid is the same
  // whatever the pool size. (Flat loops over four places per piece: loops over each piece's columns and rows,
  // one or two each, would mostly guess their ends wrong.)
  std::vector<Grid::Span>& spans = g.spans;
  spans.resize(n);
  std::vector<std::uint32_t>& places = g.places;
  places.resize(4 * n);
  const std::size_t groups = 4 * cells;
  if (groups + 1 + kSpares >= std::numeric_limits<std::uint32_t>::max()) {
    throw InternalFault("visibility scene: too many pieces");
  }
  // A place a piece does not have goes to one of kSpares slots past the groups (and an empty one that ends them),
  // counted and placed as the others, past the items kept, so that placing needs no branch that guesses wrong
  // about the box's shape; which one by piece and place, so that consecutive pieces do not all wait on one count.
  const auto spare = [groups](std::size_t i, std::size_t j) {
    return static_cast<std::uint32_t>(groups + 1 + (4 * i + j) % kSpares);
  };
  const std::size_t piece_tasks = (n + kPiecesPerTask - 1) / kPiecesPerTask;
  const bool avx2 = has_avx2();
  parallel::parallel_for(pool, piece_tasks, 1, [&](std::size_t t) {
    const std::size_t end = std::min(n, (t + 1) * kPiecesPerTask);
    std::size_t i = t * kPiecesPerTask;
#if defined(__x86_64__) && defined(__GNUC__)
    static_assert(kPiecesPerTask % 4 == 0);
    if (avx2) i = locate_avx2(g, i, end, static_cast<std::uint32_t>(groups));
#else
    (void)avx2;
#endif
    for (; i < end; ++i) {
      const Box b = g.probes[i].grown();
      std::uint32_t* at = places.data() + 4 * i;
      if (!(b.xmin <= b.xmax)) {  // NaN: a piece left out (see prepare_pieces()), told without reading the store
        spans[i] = Grid::Span{1, 0, 1, 0};  // no rows
        for (std::size_t j = 0; j < 4; ++j) at[j] = spare(i, j);
        continue;
      }
      const Grid::Span r{g.col(b.xmin), g.col(b.xmax), g.row(b.ymin), g.row(b.ymax)};
      spans[i] = r;
      // Groups: [column only] 0, [both] 1, [row only] 2, [neither] 3 (see Grid).
      const auto cell = [&](std::uint32_t x, std::uint32_t y) {
        return static_cast<std::uint32_t>(4 * (static_cast<std::size_t>(y) * g.nx + x));
      };
      const bool wide = r.x1 > r.x0;
      const bool tall = r.y1 > r.y0;
      at[0] = cell(r.x0, r.y0) + 1;
      at[1] = wide ? cell(r.x0 + 1, r.y0) + 2 : spare(i, 1);
      at[2] = tall ? cell(r.x0, r.y0 + 1) + 0 : spare(i, 2);
      at[3] = wide && tall ? cell(r.x0 + 1, r.y0 + 1) + 3 : spare(i, 3);
    }
  });
  // The cells of span r beyond its first two columns and rows, with the group the box takes there.
  auto for_far_cells = [&g](const Grid::Span& r, auto&& f) {
    for (std::uint32_t y = r.y0; y <= r.y1; ++y) {
      const std::size_t row = static_cast<std::size_t>(y) * g.nx;
      for (std::uint32_t x = y < r.y0 + 2 ? r.x0 + 2 : r.x0; x <= r.x1; ++x) {
        const std::size_t group = x == r.x0 ? (y == r.y0 ? 1 : 0) : (y == r.y0 ? 2 : 3);
        f(4 * (row + x) + group);
      }
    }
  };
  auto far = [](const Grid::Span& r) { return r.y0 <= r.y1 && (r.x1 > r.x0 + 1 || r.y1 > r.y0 + 1); };
  const std::size_t slots = groups + 1 + kSpares;
  g.start.assign(slots, 0);
  for (std::size_t k = 0; k < 4 * n; ++k) ++g.start[places[k]];
  for (std::size_t i = 0; i < n; ++i) {
    if (far(spans[i])) for_far_cells(spans[i], [&](std::size_t k) { ++g.start[k]; });
  }
  for (std::size_t k = 1; k < slots; ++k) g.start[k] += g.start[k - 1];
  g.items.resize(g.start[slots - 1]);
  for (std::size_t i = n; i-- > 0;) {
    const auto piece = static_cast<std::uint32_t>(i);
    if (far(spans[i])) for_far_cells(spans[i], [&](std::size_t k) { g.items[--g.start[k]] = piece; });
    for (std::size_t j = 4; j-- > 0;) g.items[--g.start[places[4 * i + j]]] = piece;
  }
  g.items.resize(g.start[groups]);  // the end of the last group: the spares' places go
  g.start.resize(groups + 1);
}

// The pair loop's tasks hold about this many of the grid's entries (whole cells): a cell's work grows with its
// entries (their probes copied, their pairs compared), and the cells of many lie where the surfaces meet and fold,
// so tasks of as many cells would leave one thread with a long last task.
constexpr std::size_t kEntriesPerTask = 256;

// A thread's working memory in the pair loop, kept from task to task and call to call.
struct PairMemory {
  Scratch scratch;
  std::vector<CellPair> pairs;
  std::vector<double> lanes;

  // A cell's lists are as long as its pieces' pairs: after a cell of very many (pieces piled on one spot) the
  // thread does not keep that much for good.
  void trim() {
    constexpr std::size_t kKept = std::size_t{1} << 16;
    if (pairs.capacity() > kKept) std::vector<CellPair>().swap(pairs);
    if (lanes.capacity() > kKept) std::vector<double>().swap(lanes);
  }
};

// Whether some edge of a has all the points of b below `offset`: outside_one() on the outlines' lanes (the same
// products, sums and comparisons), false when either is not a small polygon (NaN lanes).
inline bool outside_lanes(const Grid::Outline& a, const Grid::Outline& b, double offset) noexcept {
  bool any = false;
  for (std::size_t k = 0; k < 4; ++k) {
    bool all = true;
    for (std::size_t i = 0; i < 4; ++i) all &= (a.nx[k] * b.x[i] + a.ny[k] * b.y[i]) - a.c[k] < offset;
    any |= all;
  }
  return any;
}

// The pass over a cell's pairs that drops those where both are small polygons and some edge of p has all of q's
// points outside (or, with Back, some edge of q all of p's); returns how many are left, kept in order at the
// front. The first pass asks for the outlines of the pairs ahead early: the pieces of a cell lie all over the store
// (the second reads what the first just did). (A macro, so that the loop is compiled for the instruction set of
// the function it is in.)
#define KORVEX_KEEP_PAIRS(outside)                                                                           \
  std::size_t left = 0;                                                                                      \
  for (std::size_t i = 0; i < kept; ++i) {                                                                   \
    if (!Back && i + kPairsAhead < kept) {                                                                   \
      const CellPair ahead = pairs[i + kPairsAhead];                                                         \
      prefetch(outlines[ahead.q].x);                                                                         \
      prefetch(outlines[ahead.q].y);                                                                         \
      prefetch(outlines[ahead.p].nx);                                                                        \
      prefetch(outlines[ahead.p].c);                                                                         \
    }                                                                                                        \
    const CellPair pq = pairs[i];                                                                            \
    const bool apart = Back ? outside(outlines[pq.q], outlines[pq.p], offset)                                \
                            : outside(outlines[pq.p], outlines[pq.q], offset);                               \
    pairs[left] = pq;                                                                                        \
    left += apart ? 0 : 1;                                                                                   \
  }                                                                                                          \
  return left

#if defined(__x86_64__) && defined(__GNUC__)
using Quad = double __attribute__((vector_size(32)));

// outside_lanes() with a's four edges in one vector register: the same products, sums and comparisons.
[[gnu::target("avx2")]] inline bool outside_lanes_avx2(const Grid::Outline& a, const Grid::Outline& b,
                                                      double offset) noexcept {
  const auto nx = reinterpret_cast<Quad>(_mm256_load_pd(a.nx));
  const auto ny = reinterpret_cast<Quad>(_mm256_load_pd(a.ny));
  const auto c = reinterpret_cast<Quad>(_mm256_load_pd(a.c));
  const Quad off = {offset, offset, offset, offset};
  auto below = (nx * b.x[0] + ny * b.y[0]) - c < off;
  for (std::size_t i = 1; i < 4; ++i) below &= (nx * b.x[i] + ny * b.y[i]) - c < off;
  return _mm256_movemask_pd(reinterpret_cast<__m256d>(below)) != 0;
}

template <bool Back>
[[gnu::target("avx2")]] std::size_t keep_unseparated_avx2(CellPair* pairs, std::size_t kept,
                                                          const Grid::Outline* outlines, double offset) noexcept {
  KORVEX_KEEP_PAIRS(outside_lanes_avx2);
}
#endif

template <bool Back>
std::size_t keep_unseparated(CellPair* pairs, std::size_t kept, const Grid::Outline* outlines,
                             double offset) noexcept {
#if defined(__x86_64__) && defined(__GNUC__)
  if (has_avx2()) return keep_unseparated_avx2<Back>(pairs, kept, outlines, offset);
#endif
  KORVEX_KEEP_PAIRS(outside_lanes);
}

#undef KORVEX_KEEP_PAIRS

#if defined(__x86_64__) && defined(__GNUC__)
// The pairs of entry i with entries [a, b) of a cell whose lanes (see cell_pairs_avx512) are not apart, appended
// at to[k]; returns the new count. Eight partners at a time: a lane of theirs exceeding p's threshold sets them
// apart, the same comparisons as apart() (not greater, or unordered: NaN exceeds nothing), and those left are
// packed in order as {p, q} and stored whole (the list has room for eight past its pairs).
[[gnu::target("avx512f,avx512vl")]] inline std::size_t run_avx512(const double* lanes, std::size_t stride,
                                                          const std::uint32_t* e, std::size_t i, std::size_t a,
                                                          std::size_t b, double tol_z, CellPair* to,
                                                          std::size_t k) noexcept {
  const double* xmin = lanes;
  const double* ymin = lanes + stride;
  const double* nxmax = lanes + 2 * stride;
  const double* nymax = lanes + 3 * stride;
  const double* lo = lanes + 4 * stride;
  const double* nhi = lanes + 5 * stride;
  const __m512d t0 = _mm512_set1_pd(0.0 - nxmax[i]);
  const __m512d t1 = _mm512_set1_pd(0.0 - nymax[i]);
  const __m512d t2 = _mm512_set1_pd(0.0 - xmin[i]);
  const __m512d t3 = _mm512_set1_pd(0.0 - ymin[i]);
  const __m512d t4 = _mm512_set1_pd(-nhi[i] + tol_z);
  const __m512d t5 = _mm512_set1_pd(-(lo[i] - tol_z));
  const __m512i p = _mm512_set1_epi64(static_cast<long long>(e[i]));
  for (std::size_t j = a; j < b; j += 8) {
    const std::size_t left = b - j;
    const auto in = static_cast<__mmask8>(left >= 8 ? 0xFFu : (1u << left) - 1u);
    __mmask8 keep = in;
    keep = _mm512_mask_cmp_pd_mask(keep, _mm512_maskz_loadu_pd(in, xmin + j), t0, _CMP_NGT_UQ);
    keep = _mm512_mask_cmp_pd_mask(keep, _mm512_maskz_loadu_pd(in, ymin + j), t1, _CMP_NGT_UQ);
    keep = _mm512_mask_cmp_pd_mask(keep, _mm512_maskz_loadu_pd(in, nxmax + j), t2, _CMP_NGT_UQ);
    keep = _mm512_mask_cmp_pd_mask(keep, _mm512_maskz_loadu_pd(in, nymax + j), t3, _CMP_NGT_UQ);
    keep = _mm512_mask_cmp_pd_mask(keep, _mm512_maskz_loadu_pd(in, lo + j), t4, _CMP_NGT_UQ);
    keep = _mm512_mask_cmp_pd_mask(keep, _mm512_maskz_loadu_pd(in, nhi + j), t5, _CMP_NGT_UQ);
    const __m512i q = _mm512_maskz_cvtepu32_epi64(in, _mm256_maskz_loadu_epi32(in, e + j));
    const __m512i pq = _mm512_or_si512(p, _mm512_maskz_slli_epi64(in, q, 32));
    _mm512_storeu_si512(to + k, _mm512_maskz_compress_epi64(keep, pq));
    k += static_cast<std::size_t>(__builtin_popcount(keep));
  }
  return k;
}

// cell_pairs() on a copy of the cell's entries' probes, lane by lane (six lanes of `stride` values: xmin, ymin,
// -xmax, -ymax, lo, -hi), so that a piece's partners are compared eight at a time from consecutive memory, and
// every probe of the cell is read once rather than once per pair.
[[gnu::target("avx512f,avx512vl")]] std::size_t cell_pairs_avx512(const Grid::Probe* probes, const std::uint32_t* e,
                                                         std::size_t n_col, std::size_t row_only,
                                                         std::size_t neither, std::size_t m, double tol_z,
                                                         double* lanes, std::size_t stride, CellPair* to) noexcept {
  for (std::size_t k = 0; k < m; ++k) {
    const Grid::Probe& r = probes[e[k]];
    lanes[k] = r.box[0];
    lanes[stride + k] = r.box[1];
    lanes[2 * stride + k] = r.box[2];
    lanes[3 * stride + k] = r.box[3];
    lanes[4 * stride + k] = r.depth[0];
    lanes[5 * stride + k] = r.depth[1];
  }
  std::size_t kept = 0;
  for (std::size_t i = n_col; i != row_only; ++i) {
    if (n_col != 0) kept = run_avx512(lanes, stride, e, i, 0, n_col, tol_z, to, kept);
    if (i + 1 != m) kept = run_avx512(lanes, stride, e, i, i + 1, m, tol_z, to, kept);
  }
  if (row_only != neither) {
    for (std::size_t i = 0; i != n_col; ++i) kept = run_avx512(lanes, stride, e, i, row_only, neither, tol_z, to, kept);
  }
  return kept;
}
#endif

#if defined(__x86_64__) && defined(__GNUC__)
// The least and greatest depth of a minus depth of b at the vertices of a's outline ({lo, hi}) and of b's.
struct OutlineDepths {
  double lo_a, hi_a, lo_b, hi_b;
};

// Plane::at() of pa minus that of pb at four points: the same products, sums and difference, lane by lane.
[[gnu::target("avx2")]] inline __m256d plane_lanes(const Plane& p, __m256d x, __m256d y) noexcept {
  const __m256d dx = _mm256_mul_pd(_mm256_set1_pd(p.a), _mm256_sub_pd(x, _mm256_set1_pd(p.cx)));
  const __m256d dy = _mm256_mul_pd(_mm256_set1_pd(p.b), _mm256_sub_pd(y, _mm256_set1_pd(p.cy)));
  return _mm256_add_pd(_mm256_add_pd(dx, dy), _mm256_set1_pd(p.cz));
}

[[gnu::target("avx2")]] inline __m256d depth_lanes(const Plane& pa, const Plane& pb, __m256d x, __m256d y) noexcept {
  return _mm256_sub_pd(plane_lanes(pa, x, y), plane_lanes(pb, x, y));
}

// The least and greatest of four lanes, NaN lanes passed over as std::min and std::max from +-infinity pass them
// (min(z, +inf) is z, or +inf for NaN; the reduction then meets no NaN).
[[gnu::target("avx2")]] inline std::pair<double, double> range_of(__m256d z) noexcept {
  __m256d lo = _mm256_min_pd(z, _mm256_set1_pd(std::numeric_limits<double>::infinity()));
  __m256d hi = _mm256_max_pd(z, _mm256_set1_pd(-std::numeric_limits<double>::infinity()));
  lo = _mm256_min_pd(lo, _mm256_permute4x64_pd(lo, 0x4E));
  hi = _mm256_max_pd(hi, _mm256_permute4x64_pd(hi, 0x4E));
  lo = _mm256_min_pd(lo, _mm256_permute_pd(lo, 0x5));
  hi = _mm256_max_pd(hi, _mm256_permute_pd(hi, 0x5));
  return {_mm256_cvtsd_f64(lo), _mm256_cvtsd_f64(hi)};
}

[[gnu::target("avx2")]] OutlineDepths outline_depths_avx2(const Plane& pa, const Plane& pb, const Grid::Outline& a,
                                                         const Grid::Outline& b) noexcept {
  const auto [lo_a, hi_a] = range_of(depth_lanes(pa, pb, _mm256_load_pd(a.x), _mm256_load_pd(a.y)));
  const auto [lo_b, hi_b] = range_of(depth_lanes(pa, pb, _mm256_load_pd(b.x), _mm256_load_pd(b.y)));
  return {lo_a, hi_a, lo_b, hi_b};
}
#endif

}  // namespace

Outcome small_polygons(const Store& s, const Grid& g, std::uint32_t a, std::uint32_t b, const Tolerances& tol,
                       Scratch& w, bool avx2) {
  const Piece& A = s.pieces[a];
  const Piece& B = s.pieces[b];
#if defined(__x86_64__) && defined(__GNUC__)
  if (avx2) {
    // As overlapping_polygons(): the vertices of a, then those of b (a triangle's last twice, which changes no
    // least or greatest); what they leave open goes on there.
    const double t = tol.z + A.tol + B.tol;
    const OutlineDepths d = outline_depths_avx2(A.plane, B.plane, g.outlines[a], g.outlines[b]);
    if (d.lo_a >= -t || d.hi_a <= t) return classify(A, B, d.lo_a, d.hi_a, t);
    if (d.lo_b >= -t || d.hi_b <= t) return classify(A, B, d.lo_b, d.hi_b, t);
  }
#else
  (void)g;
  (void)avx2;
#endif
  return overlapping_polygons(s, A, B, tol, w).outcome;
}

ProbeIsa best_probe_isa() noexcept {
#if defined(__x86_64__) && defined(__GNUC__)
  static const ProbeIsa isa = [] {
    __builtin_cpu_init();
    const bool avx512 = __builtin_cpu_supports("avx512f") != 0 && __builtin_cpu_supports("avx512vl") != 0;
    return avx512 ? ProbeIsa::Avx512 : ProbeIsa::Portable;
  }();
  return isa;
#else
  return ProbeIsa::Portable;
#endif
}

std::size_t cell_pairs(const Grid& g, std::size_t c, double tol_z, ProbeIsa isa, std::vector<double>& lanes,
                       std::vector<CellPair>& pairs) {
  const std::uint32_t* e = g.items.data() + g.start[4 * c];
  const std::size_t n_col = g.start[4 * c + 1] - g.start[4 * c];
  const std::size_t row_only = g.start[4 * c + 2] - g.start[4 * c];
  const std::size_t neither = g.start[4 * c + 3] - g.start[4 * c];
  const std::size_t m = g.start[4 * c + 4] - g.start[4 * c];
  const std::size_t n_both = row_only - n_col;
  if (n_both == 0 && (n_col == 0 || row_only == neither)) return 0;  // no pair owned here
  // At most every [both] with the whole cell and every [column only] with [row only], and room for a run.
  const std::size_t most = n_both * m + n_col * (neither - row_only);
  if (pairs.size() < most + kProbeRun) pairs.resize(most + kProbeRun);
#if defined(__x86_64__) && defined(__GNUC__)
  if (isa == ProbeIsa::Avx512) {
    const std::size_t stride = (m + 7) & ~std::size_t{7};
    if (lanes.size() < 6 * stride) lanes.resize(6 * stride);
    return cell_pairs_avx512(g.probes.data(), e, n_col, row_only, neither, m, tol_z, lanes.data(), stride,
                             pairs.data());
  }
#else
  (void)isa;
  (void)lanes;
#endif
  // Appends (p, q) for every q in [q, q_end) whose probe is not apart from p's. Every slot of a run writes its
  // pair at the end of the list and keeps it by counting it; past q_end a slot compares p with itself and keeps
  // nothing (the list has room for a run past its pairs). (Most pieces have a few partners in a cell, and loops
  // over exactly those would guess wrong at every end.)
  CellPair* to = pairs.data();
  auto probe_run = [&](std::size_t& k, std::uint32_t p, const std::uint32_t* q, const std::uint32_t* q_end) {
    const Thresholds limits = thresholds(g.probes[p], tol_z);
    const auto len = static_cast<std::size_t>(q_end - q);
    std::size_t j = 0;
    do {
      for (std::size_t u = 0; u < kProbeRun; ++u) {
        const bool in = j + u < len;
        const std::uint32_t r = in ? q[j + u] : p;
        to[k] = {p, r};
        k += in && !apart(g.probes[r], limits) ? 1 : 0;
      }
      j += kProbeRun;
    } while (j < len);
  };
  const std::uint32_t* col_only = e;
  const std::uint32_t* both = e + n_col;
  const std::uint32_t* row_begin = e + row_only;
  const std::uint32_t* neither_begin = e + neither;
  const std::uint32_t* last = e + m;
  std::size_t kept = 0;
  for (const std::uint32_t* p = both; p != row_begin; ++p) {
    if (col_only != both) probe_run(kept, *p, col_only, both);
    if (p + 1 != last) probe_run(kept, *p, p + 1, last);  // the rest of [both], then [row only] and [neither]
  }
  if (row_begin != neither_begin) {
    for (const std::uint32_t* p = col_only; p != both; ++p) probe_run(kept, *p, row_begin, neither_begin);
  }
  return kept;
}

void find_relations(const Store& s, const Tolerances& tol, parallel::ThreadPool& pool, Grid& g,
                    std::vector<std::vector<Relation>>& found, std::vector<Relation>& relations) {
  build_grid(s, tol, pool, g);
  // Cell by cell, each pair in the one cell that owns it (see Grid), so every pair is met once and no test of
  // ownership is needed: [both] with itself and with the other three groups, [column only] with [row only].
  const std::size_t cells = static_cast<std::size_t>(g.nx) * g.ny;
  const std::size_t entries = g.start[4 * cells];
  const std::size_t tasks = std::max<std::size_t>(1, (entries + kEntriesPerTask - 1) / kEntriesPerTask);
  // Task t takes the cells whose entries begin in [t, t + 1) kEntriesPerTask (the last also those past the end):
  // the first cell whose entries begin at or past t kEntriesPerTask, by halving.
  const auto first_cell = [&g, cells, tasks](std::size_t t) {
    if (t == tasks) return cells;
    const std::size_t entry = t * kEntriesPerTask;
    std::size_t lo = 0;
    std::size_t hi = cells;
    while (lo < hi) {
      const std::size_t mid = lo + (hi - lo) / 2;
      if (g.start[4 * mid] < entry) {
        lo = mid + 1;
      } else {
        hi = mid;
      }
    }
    return lo;
  };
  const ProbeIsa isa = best_probe_isa();
  found.resize(std::max(found.size(), tasks));
  parallel::parallel_for(pool, tasks, 1, [&](std::size_t t) {
    // The working memory of the thread's earlier tasks (and calls), so that tasks do not each allocate theirs.
    thread_local PairMemory memory;
    Scratch& w = memory.scratch;
    std::vector<Relation>& out = found[t];
    out.clear();
    // A cell's pairs go through four passes, each keeping the pairs it does not settle in a flat list: the
    // probes (boxes and depth spans), then, for two small polygons, the second's points against the first's
    // edges (which settles mesh neighbours) and the first's against the second's, then the rest of the test. No
    // pass but the last has a branch that depends on the pair: the probes of a piece's partners are compared
    // eight at a time whatever their number (most pieces have a few partners in a cell, and loops over exactly
    // those would guess wrong at every end), and the edge passes run once over the whole list. The pair keeps
    // its roles: the first's thresholds and edges, as in the cell's pair order (see Grid).
    std::vector<CellPair>& pairs = memory.pairs;
    std::vector<double>& lanes = memory.lanes;
    const bool avx2 = has_avx2();
    const std::size_t end = first_cell(t + 1);
    for (std::size_t c = first_cell(t); c < end; ++c) {
      const std::size_t kept = cell_pairs(g, c, tol.z, isa, lanes, pairs);
      if (kept == 0) continue;
      // Two small polygons: q's points against p's edges.
      std::size_t left = keep_unseparated<false>(pairs.data(), kept, g.outlines.data(), tol.len);
      // Then p's points against q's edges, on the pairs left (their outlines now at hand).
      left = keep_unseparated<true>(pairs.data(), left, g.outlines.data(), tol.len);
      for (std::size_t i = 0; i < left; ++i) {
        const std::uint32_t p = pairs[i].p;
        const std::uint32_t q = pairs[i].q;
        // The lower index first, whatever the order met: the verdict of a pair does not depend on the grid.
        const std::uint32_t a = std::min(p, q);
        const std::uint32_t b = std::max(p, q);
        Verdict v;
        const Grid::Probe& pp = g.probes[p];
        const Grid::Probe& pq = g.probes[q];
        if ((pp.outline != 0) & (pq.outline != 0)) {
          // Two small polygons, which overlap by the edges' test above: overlapping_polygons()'s outcome (as
          // relate()'s), the depths at the vertices from the outlines.
          v.outcome = small_polygons(s, g, a, b, tol, w, avx2);
        } else {
          v = relate(s, a, b, tol, w);
        }
        switch (v.outcome) {
          case Outcome::None:
            break;
          case Outcome::AFirst:
            out.push_back({a, b, false});
            break;
          case Outcome::BFirst:
            out.push_back({b, a, false});
            break;
          case Outcome::Intersect:
            out.push_back({a, b, true});
            break;
        }
      }
    }
    memory.trim();
  });
  // Joined by pair of pieces, lower piece then higher (each pair is met once), so that the list, and with it
  // which pieces the cutting of intersections and cycles meets first, does not depend on how the grid is laid
  // out nor on the tasks. By counting: the relations per lower piece, summed to where each piece's begin, each
  // placed there, then each piece's few put in order of the higher piece. (A comparison sort of the whole list
  // guesses wrong at about every other comparison, and it runs while the other workers wait.)
  const std::size_t n = s.pieces.size();
  std::vector<std::uint32_t>& at = g.firsts;
  at.assign(n + 1, 0);
  for (std::size_t t = 0; t < tasks; ++t) {
    for (const Relation& r : found[t]) ++at[std::min(r.first, r.second) + 1];
  }
  for (std::size_t i = 1; i <= n; ++i) at[i] += at[i - 1];
  relations.resize(at[n]);
  for (std::size_t t = 0; t < tasks; ++t) {
    for (const Relation& r : found[t]) relations[at[std::min(r.first, r.second)]++] = r;
  }
  // at[i] now ends piece i's relations: from run to run of the list (not piece by piece: most have none).
  const auto higher = [](const Relation& l, const Relation& r) {
    return std::max(l.first, l.second) < std::max(r.first, r.second);
  };
  constexpr std::size_t kFew = 16;
  for (std::size_t begin = 0; begin < relations.size();) {
    const std::size_t end = at[std::min(relations[begin].first, relations[begin].second)];
    if (end - begin > kFew) {
      std::sort(relations.begin() + static_cast<std::ptrdiff_t>(begin),
                relations.begin() + static_cast<std::ptrdiff_t>(end), higher);
    } else {
      for (std::size_t k = begin + 1; k < end; ++k) {
        const Relation r = relations[k];
        std::size_t j = k;
        for (; j > begin && higher(r, relations[j - 1]); --j) relations[j] = relations[j - 1];
        relations[j] = r;
      }
    }
    begin = end;
  }
}

}  // namespace korvex::visibility::detail
