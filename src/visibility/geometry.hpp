// Plane geometry of the visibility order, in screen space (x, y on screen, z the depth, larger z farther).
// Internal header of visibility.
//
// Every piece is convex: a polygon of 3 or more vertices in counter-clockwise order, a segment (2 vertices) or a
// point (1 vertex). Its depth is one affine function of the screen position (a plane), which a projective view
// keeps exact for planar polygons and for segments.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace korvex::visibility::detail {

struct Vec2 {
  double x;
  double y;
};

inline Vec2 operator-(Vec2 a, Vec2 b) noexcept { return {a.x - b.x, a.y - b.y}; }
inline double cross(Vec2 a, Vec2 b) noexcept { return a.x * b.y - a.y * b.x; }
inline double dot(Vec2 a, Vec2 b) noexcept { return a.x * b.x + a.y * b.y; }
// Euclidean length (screen coordinates are far from overflow, so no need for hypot's care, nor its cost).
inline double norm(Vec2 a) noexcept { return std::sqrt(dot(a, a)); }
// Twice the signed area of triangle (o, a, b); positive when it turns left.
inline double turn(Vec2 o, Vec2 a, Vec2 b) noexcept { return cross(a - o, b - o); }
inline Vec2 lerp(Vec2 a, Vec2 b, double t) noexcept { return {a.x + t * (b.x - a.x), a.y + t * (b.y - a.y)}; }

// Depth as an affine function of the screen position, centred on (cx, cy) so that large coordinates do not
// cancel: z(x, y) = a (x - cx) + b (y - cy) + cz.
struct Plane {
  double a = 0.0;
  double b = 0.0;
  double cx = 0.0;
  double cy = 0.0;
  double cz = 0.0;

  double at(Vec2 p) const noexcept { return (a * (p.x - cx) + b * (p.y - cy)) + cz; }
};

// The closed half-plane n . p >= c of a counter-clockwise edge (n the inward unit normal).
struct HalfPlane {
  double nx = 0.0;
  double ny = 0.0;
  double c = 0.0;

  double distance(Vec2 p) const noexcept { return (nx * p.x + ny * p.y) - c; }
};

// The half-plane left of the edge a -> b. A zero-length edge bounds nothing: every point is at distance 1.
inline HalfPlane left_of(Vec2 a, Vec2 b) noexcept {
  const Vec2 d = b - a;
  const double len = norm(d);
  if (!(len > 0.0)) return {0.0, 0.0, -1.0};
  const double nx = -d.y / len;
  const double ny = d.x / len;
  return {nx, ny, nx * a.x + ny * a.y};
}

struct Box {
  double xmin;
  double xmax;
  double ymin;
  double ymax;
};

inline Box box_of(const Vec2* v, std::size_t n) noexcept {
  Box b{v[0].x, v[0].x, v[0].y, v[0].y};
  for (std::size_t i = 1; i < n; ++i) {
    b.xmin = std::min(b.xmin, v[i].x);
    b.xmax = std::max(b.xmax, v[i].x);
    b.ymin = std::min(b.ymin, v[i].y);
    b.ymax = std::max(b.ymax, v[i].y);
  }
  return b;
}

// Twice the signed area (shoelace about v[0]); positive for counter-clockwise order.
inline double twice_area(const Vec2* v, std::size_t n) noexcept {
  double sum = 0.0;
  for (std::size_t i = 1; i + 1 < n; ++i) sum += turn(v[0], v[i], v[i + 1]);
  return sum;
}

// Whether every point of `v` lies farther than `offset` outside one of the half-planes (a separating axis):
// then the clip below keeps nothing. Cheaper than clipping, for the many pairs that only touch.
inline bool outside_one(const Vec2* v, std::size_t n, const HalfPlane* planes, std::size_t m, double offset) noexcept {
  for (std::size_t k = 0; k < m; ++k) {
    std::size_t i = 0;
    while (i < n && planes[k].distance(v[i]) < offset) ++i;
    if (i == n) return true;
  }
  return false;
}

// Clips the convex polygon, segment or point `in` to the convex polygon whose edge half-planes are `planes`,
// keeping the points at distance >= `offset` from every edge (a positive offset shrinks the clip polygon, a
// negative one grows it). The result (possibly empty) goes to `out`; `spare` is working memory. Returns
// out.size().
std::size_t clip_convex(const Vec2* in, std::size_t n, const HalfPlane* planes, std::size_t m, double offset,
                        std::vector<Vec2>& out, std::vector<Vec2>& spare);

// Cuts a piece along the zero line of the affine function whose values at its vertices are `g`. Values within
// `snap` of zero count as zero (on the line, so in both parts). `flags[i]` describes the edge from vertex i to
// vertex i + 1 for polygons, or whether vertex i is an original end for segments; the parts keep the flags of
// the edges they keep and flag the cut 0. Returns false, writing nothing, when one side is empty.
bool cut_piece(const Vec2* v, const std::uint8_t* flags, const double* g, std::size_t n, double snap,
               std::vector<Vec2>& below, std::vector<std::uint8_t>& below_flags, std::vector<Vec2>& above,
               std::vector<std::uint8_t>& above_flags);

// Ear-clipping triangulation of a simple counter-clockwise polygon; appends vertex index triples. A polygon that
// is not simple still gets n - 2 triangles (the least convex-failing ear is taken when no proper ear exists).
void triangulate(const Vec2* v, std::size_t n, std::vector<std::uint32_t>& triangles);

// Working memory of merge_convex().
struct ConvexScratch {
  struct Edge {
    std::uint32_t a, b, t;  // a diagonal's ends (a < b) and a triangle that has it
  };
  std::vector<std::vector<std::uint32_t>> polygons;
  std::vector<std::uint32_t> root;
  std::vector<Edge> edges;
  std::vector<std::uint32_t> joined;
};

// Joins the triangles of a triangulation of the counter-clockwise polygon v (index triples, as triangulate() makes
// them) into convex polygons: each diagonal in turn (by its ends) is dropped where the two polygons on its sides
// make one that is convex (both ends of the diagonal turning left by more than `len` times the distance of their
// neighbours), so that a region is ordered as a few pieces rather than many slivers. A triangle that does not
// turn left is left alone. Each polygon's vertex indices, counter-clockwise, are appended to `indices`, and where
// it ends in `indices` to `ends`.
void merge_convex(const Vec2* v, std::size_t n, const std::vector<std::uint32_t>& triangles, double len,
                  ConvexScratch& w, std::vector<std::uint32_t>& indices, std::vector<std::uint32_t>& ends);

// Whether a polygon whose vertices turn left (or right by next to nothing) winds once: its turns add up to one
// turn, not two or more.
bool winds_once(const Vec2* v, std::size_t n) noexcept;

// The line that separates two convex point sets (polygons, segments or points) best: the unit normal n and
// offset c with n . p <= c - gap/2 on `first` and n . p >= c + gap/2 on `second`, maximising gap over the
// candidate directions (edge normals and edge directions of both, and the line between their centroids).
// Returns the gap, negative when they overlap in every candidate direction.
double separating_line(const Vec2* first, std::size_t n1, const Vec2* second, std::size_t n2, double& nx,
                       double& ny, double& c) noexcept;

}  // namespace korvex::visibility::detail
