// Clipping, cutting, triangulation and separation of convex pieces.
#include "visibility/geometry.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <utility>

namespace korvex::visibility::detail {

namespace {

// One clipping step for a point or a segment (which stay what they are, or vanish).
void clip_small(const std::vector<Vec2>& in, const HalfPlane& h, double offset, std::vector<Vec2>& out) {
  out.clear();
  const double d0 = h.distance(in[0]) - offset;
  if (in.size() == 1) {
    if (d0 >= 0.0) out.push_back(in[0]);
    return;
  }
  const double d1 = h.distance(in[1]) - offset;
  if (d0 >= 0.0 && d1 >= 0.0) {
    out = in;
  } else if (d0 >= 0.0) {
    out.push_back(in[0]);
    out.push_back(lerp(in[0], in[1], d0 / (d0 - d1)));
  } else if (d1 >= 0.0) {
    out.push_back(lerp(in[0], in[1], d0 / (d0 - d1)));
    out.push_back(in[1]);
  }
}

}  // namespace

std::size_t clip_convex(const Vec2* in, std::size_t n, const HalfPlane* planes, std::size_t m, double offset,
                        std::vector<Vec2>& out, std::vector<Vec2>& spare) {
  out.assign(in, in + n);
  const bool polygon = n >= 3;
  for (std::size_t k = 0; k < m && !out.empty(); ++k) {
    const HalfPlane& h = planes[k];
    if (!polygon) {
      clip_small(out, h, offset, spare);
      std::swap(out, spare);
      continue;
    }
    // Sutherland-Hodgman against one edge; a polygon that keeps every vertex is left as it is.
    const std::size_t count = out.size();
    Vec2 prev = out[count - 1];
    double dp = h.distance(prev) - offset;
    spare.clear();
    bool clipped = false;
    for (std::size_t i = 0; i < count; ++i) {
      const Vec2 cur = out[i];
      const double dc = h.distance(cur) - offset;
      if (dc >= 0.0) {
        if (dp < 0.0) spare.push_back(lerp(prev, cur, dp / (dp - dc)));
        spare.push_back(cur);
      } else {
        clipped = true;
        if (dp >= 0.0) spare.push_back(lerp(prev, cur, dp / (dp - dc)));
      }
      prev = cur;
      dp = dc;
    }
    if (!clipped) continue;
    std::swap(out, spare);
    if (out.size() < 3) out.clear();  // what is left of a polygon has no area
  }
  return out.size();
}

bool cut_piece(const Vec2* v, const std::uint8_t* flags, const double* g, std::size_t n, double snap,
               std::vector<Vec2>& below, std::vector<std::uint8_t>& below_flags, std::vector<Vec2>& above,
               std::vector<std::uint8_t>& above_flags) {
  auto snapped = [&](std::size_t i) { return std::abs(g[i]) <= snap ? 0.0 : g[i]; };
  below.clear();
  below_flags.clear();
  above.clear();
  above_flags.clear();
  if (n == 2) {
    const double g0 = snapped(0);
    const double g1 = snapped(1);
    if (!((g0 < 0.0 && g1 > 0.0) || (g0 > 0.0 && g1 < 0.0))) return false;
    const Vec2 x = lerp(v[0], v[1], g0 / (g0 - g1));
    auto& first = g0 < 0.0 ? below : above;
    auto& first_flags = g0 < 0.0 ? below_flags : above_flags;
    auto& second = g0 < 0.0 ? above : below;
    auto& second_flags = g0 < 0.0 ? above_flags : below_flags;
    first = {v[0], x};
    first_flags = {flags[0], 0};
    second = {x, v[1]};
    second_flags = {0, flags[1]};
    return true;
  }
  if (n < 3) return false;
  // Keeps the side where sign * g >= 0; see the case list below.
  auto keep = [&](double sign, std::vector<Vec2>& out, std::vector<std::uint8_t>& out_flags) {
    for (std::size_t i = 0; i < n; ++i) {
      const std::size_t j = i + 1 == n ? 0 : i + 1;
      const double hc = sign * snapped(i);
      const double hn = sign * snapped(j);
      if (hc >= 0.0) {
        // The edge from this vertex is the original edge unless the cut starts right here.
        if (hn >= 0.0 || hc > 0.0) {
          out.push_back(v[i]);
          out_flags.push_back(flags[i]);
        } else {
          out.push_back(v[i]);
          out_flags.push_back(0);
        }
        if (hc > 0.0 && hn < 0.0) {
          out.push_back(lerp(v[i], v[j], hc / (hc - hn)));
          out_flags.push_back(0);  // along the cut to where the outline comes back
        }
      } else if (hn > 0.0) {
        out.push_back(lerp(v[i], v[j], hc / (hc - hn)));
        out_flags.push_back(flags[i]);
      }
    }
  };
  keep(-1.0, below, below_flags);
  keep(1.0, above, above_flags);
  if (below.size() < 3 || above.size() < 3) {
    below.clear();
    below_flags.clear();
    above.clear();
    above_flags.clear();
    return false;
  }
  return true;
}

void triangulate(const Vec2* v, std::size_t n, std::vector<std::uint32_t>& triangles) {
  if (n < 3) return;
  std::vector<std::uint32_t> prev(n), next(n);
  for (std::size_t i = 0; i < n; ++i) {
    prev[i] = static_cast<std::uint32_t>(i == 0 ? n - 1 : i - 1);
    next[i] = static_cast<std::uint32_t>(i + 1 == n ? 0 : i + 1);
  }
  // Whether vertex r (not p, i or q) keeps the triangle p i q from being an ear: it lies in the closed triangle
  // and is not a copy of one of its corners.
  auto blocks = [&](std::uint32_t p, std::uint32_t i, std::uint32_t q, std::uint32_t r) {
    const Vec2 x = v[r];
    if ((x.x == v[p].x && x.y == v[p].y) || (x.x == v[i].x && x.y == v[i].y) || (x.x == v[q].x && x.y == v[q].y)) {
      return false;
    }
    return turn(v[p], v[i], x) >= 0.0 && turn(v[i], v[q], x) >= 0.0 && turn(v[q], v[p], x) >= 0.0;
  };
  // A long outline (a contour band has hundreds of points) has its vertices binned on a grid of about one cell
  // per vertex, so that an ear is checked against the vertices near it rather than all: the triangle holds none
  // of the vertices outside its box. Clipped vertices are marked and passed over.
  constexpr std::size_t kBinnedFrom = 48;
  const bool binned = n >= kBinnedFrom;
  std::vector<std::uint32_t> cell_start, cell_items;
  std::vector<std::uint8_t> clipped;
  double x0 = 0.0, y0 = 0.0, sx = 0.0, sy = 0.0;
  std::size_t cols = 1, rows = 1;
  auto col_of = [&](double x) {
    return static_cast<std::size_t>(std::clamp((x - x0) * sx, 0.0, static_cast<double>(cols - 1)));
  };
  auto row_of = [&](double y) {
    return static_cast<std::size_t>(std::clamp((y - y0) * sy, 0.0, static_cast<double>(rows - 1)));
  };
  if (binned) {
    double x1 = v[0].x, y1 = v[0].y;
    x0 = x1;
    y0 = y1;
    for (std::size_t i = 1; i < n; ++i) {
      x0 = std::min(x0, v[i].x);
      x1 = std::max(x1, v[i].x);
      y0 = std::min(y0, v[i].y);
      y1 = std::max(y1, v[i].y);
    }
    cols = rows = static_cast<std::size_t>(std::ceil(std::sqrt(static_cast<double>(n))));
    // (A box of no width or height, or not finite: one column or row, every vertex in it.)
    sx = x1 > x0 && std::isfinite(x1 - x0) ? static_cast<double>(cols) / (x1 - x0) : 0.0;
    sy = y1 > y0 && std::isfinite(y1 - y0) ? static_cast<double>(rows) / (y1 - y0) : 0.0;
    cell_start.assign(cols * rows + 1, 0);
    for (std::size_t i = 0; i < n; ++i) ++cell_start[row_of(v[i].y) * cols + col_of(v[i].x) + 1];
    for (std::size_t c = 0; c < cols * rows; ++c) cell_start[c + 1] += cell_start[c];
    cell_items.resize(n);
    std::vector<std::uint32_t> at(cell_start.begin(), cell_start.end() - 1);
    for (std::size_t i = 0; i < n; ++i) {
      cell_items[at[row_of(v[i].y) * cols + col_of(v[i].x)]++] = static_cast<std::uint32_t>(i);
    }
    clipped.assign(n, 0);
  }
  auto is_ear = [&](std::uint32_t i) {
    const std::uint32_t p = prev[i];
    const std::uint32_t q = next[i];
    if (!(turn(v[p], v[i], v[q]) > 0.0)) return false;
    if (!binned) {
      for (std::uint32_t r = next[q]; r != p; r = next[r]) {
        if (blocks(p, i, q, r)) return false;
      }
      return true;
    }
    const std::size_t c0 = col_of(std::min({v[p].x, v[i].x, v[q].x})), c1 = col_of(std::max({v[p].x, v[i].x, v[q].x}));
    const std::size_t r0 = row_of(std::min({v[p].y, v[i].y, v[q].y})), r1 = row_of(std::max({v[p].y, v[i].y, v[q].y}));
    for (std::size_t row = r0; row <= r1; ++row) {
      for (std::size_t c = row * cols + c0; c <= row * cols + c1; ++c) {
        for (std::uint32_t k = cell_start[c]; k < cell_start[c + 1]; ++k) {
          const std::uint32_t r = cell_items[k];
          if (clipped[r] == 0 && r != p && r != i && r != q && blocks(p, i, q, r)) return false;
        }
      }
    }
    return true;
  };
  // After an ear, the search goes on from the vertex after it, or, on an outline of a dozen points or more, by
  // turns from the vertex after it and the one before: the triangles then run across the polygon as a strip
  // rather than fan out from one vertex (a contour band, a patch of a surface drawn with a stride: fewer slivers,
  // whose long boxes meet many others). Short outlines keep the fan, which their convex pieces join better.
  std::uint32_t at = 0;
  bool back = false;
  const bool zigzag = n >= 12;
  for (std::size_t remaining = n; remaining > 3; --remaining) {
    std::uint32_t ear = at;
    bool found = false;
    std::uint32_t i = at;
    for (std::size_t k = 0; k < remaining; ++k, i = next[i]) {
      if (is_ear(i)) {
        ear = i;
        found = true;
        break;
      }
    }
    if (!found) {
      // Not simple (or not counter-clockwise within rounding): take the vertex that turns left the most.
      double best = -std::numeric_limits<double>::infinity();
      i = at;
      for (std::size_t k = 0; k < remaining; ++k, i = next[i]) {
        const double t = turn(v[prev[i]], v[i], v[next[i]]);
        if (t > best) {
          best = t;
          ear = i;
        }
      }
    }
    triangles.insert(triangles.end(), {prev[ear], ear, next[ear]});
    next[prev[ear]] = next[ear];
    prev[next[ear]] = prev[ear];
    if (binned) clipped[ear] = 1;
    at = back ? prev[ear] : next[ear];
    back = zigzag && !back;
  }
  triangles.insert(triangles.end(), {prev[at], at, next[at]});
}

bool winds_once(const Vec2* v, std::size_t n) noexcept {
  if (n <= 4) return true;  // four left turns of less than a half turn each make less than two turns
  // The outline turns round as many times as its edges' direction goes round the origin, turning the shorter way
  // from edge to edge: counted where a turn carries the direction across the positive x axis, up (+1) or down
  // (-1). Across it is where the chord between the two directions meets the axis at a positive x: where the turn
  // and the change of y have one sign.
  long turns = 0;
  Vec2 e0 = v[0] - v[n - 1];
  for (std::size_t i = 0; i < n; ++i) {
    const Vec2 e1 = v[i + 1 == n ? 0 : i + 1] - v[i];
    const double c = cross(e0, e1);
    if ((e0.y < 0.0) != (e1.y < 0.0) && c != 0.0 && (c > 0.0) == (e1.y > e0.y)) turns += e1.y > e0.y ? 1 : -1;
    e0 = e1;
  }
  return turns <= 1;
}

void merge_convex(const Vec2* v, std::size_t n, const std::vector<std::uint32_t>& triangles, double len,
                  ConvexScratch& w, std::vector<std::uint32_t>& indices, std::vector<std::uint32_t>& ends) {
  const std::size_t count = triangles.size() / 3;
  if (w.polygons.size() < count) w.polygons.resize(count);
  w.root.resize(count);
  w.edges.clear();
  auto outline = [n](std::uint32_t a, std::uint32_t b) {
    return b == (a + 1 == n ? 0 : a + 1) || a == (b + 1 == n ? 0 : b + 1);
  };
  for (std::size_t t = 0; t < count; ++t) {
    const std::uint32_t* tri = triangles.data() + 3 * t;
    w.polygons[t].assign(tri, tri + 3);
    w.root[t] = static_cast<std::uint32_t>(t);
    if (!(turn(v[tri[0]], v[tri[1]], v[tri[2]]) > 0.0)) continue;  // joined to nothing
    for (int k = 0; k < 3; ++k) {
      const std::uint32_t a = tri[k], b = tri[(k + 1) % 3];
      if (outline(a, b)) continue;
      w.edges.push_back({std::min(a, b), std::max(a, b), static_cast<std::uint32_t>(t)});
    }
  }
  // The diagonals: an undirected edge that two triangles have (more only where the outline is not simple).
  std::sort(w.edges.begin(), w.edges.end(), [](const ConvexScratch::Edge& l, const ConvexScratch::Edge& r) {
    return l.a != r.a ? l.a < r.a : l.b != r.b ? l.b < r.b : l.t < r.t;
  });
  auto find = [&w](std::uint32_t t) {
    while (w.root[t] != t) t = w.root[t] = w.root[w.root[t]];
    return t;
  };
  // Whether a vertex between prev and next turns left by more than the tolerance.
  auto turns_left = [&](std::uint32_t prev, std::uint32_t at, std::uint32_t next) {
    const double t = turn(v[prev], v[at], v[next]);
    return t > 0.0 && !(std::abs(t) <= len * norm(v[next] - v[prev]));
  };
  auto position = [](const std::vector<std::uint32_t>& p, std::uint32_t at) {
    return static_cast<std::size_t>(std::find(p.begin(), p.end(), at) - p.begin());
  };
  for (std::size_t k = 0; k + 1 < w.edges.size(); ++k) {
    const ConvexScratch::Edge& e = w.edges[k];
    const ConvexScratch::Edge& f = w.edges[k + 1];
    if (e.a != f.a || e.b != f.b || (k + 2 < w.edges.size() && w.edges[k + 2].a == e.a && w.edges[k + 2].b == e.b) ||
        (k > 0 && w.edges[k - 1].a == e.a && w.edges[k - 1].b == e.b)) {
      continue;
    }
    std::uint32_t x = find(e.t), y = find(f.t);
    if (x == y) continue;
    // x runs ... u -> v ..., y runs ... v -> u ...: joined, x from v round to u, then y after u up to v. Two
    // counter-clockwise convex polygons on the two sides of their common edge, turning left at both its ends,
    // make a convex polygon.
    const std::uint32_t u = e.a, to = e.b;
    std::size_t xu = position(w.polygons[x], u);
    if (w.polygons[x][(xu + 1) % w.polygons[x].size()] != to) {
      std::swap(x, y);
      xu = position(w.polygons[x], u);
    }
    const std::vector<std::uint32_t>& px = w.polygons[x];
    const std::vector<std::uint32_t>& py = w.polygons[y];
    const std::size_t yv = position(py, to);
    if (px[(xu + 1) % px.size()] != to || py[(yv + 1) % py.size()] != u) continue;
    std::vector<std::uint32_t>& joined = w.joined;
    joined.clear();
    const std::size_t xv = (xu + 1) % px.size();
    for (std::size_t j = 0; j < px.size(); ++j) joined.push_back(px[(xv + j) % px.size()]);  // to ... u
    const std::size_t yu = (yv + 1) % py.size();
    for (std::size_t j = 1; j + 1 < py.size(); ++j) joined.push_back(py[(yu + j) % py.size()]);  // after u
    const std::size_t m = joined.size();
    const std::size_t at_u = px.size() - 1;
    if (!turns_left(joined[at_u - 1], u, joined[at_u + 1]) || !turns_left(joined[m - 1], to, joined[1])) continue;
    w.polygons[x].swap(joined);
    w.polygons[y].clear();
    w.root[y] = x;
  }
  for (std::size_t t = 0; t < count; ++t) {
    if (w.root[t] != t) continue;
    indices.insert(indices.end(), w.polygons[t].begin(), w.polygons[t].end());
    ends.push_back(static_cast<std::uint32_t>(indices.size()));
  }
}

double separating_line(const Vec2* first, std::size_t n1, const Vec2* second, std::size_t n2, double& nx,
                       double& ny, double& c) noexcept {
  double best = -std::numeric_limits<double>::infinity();
  auto project = [](const Vec2* p, std::size_t n, double ux, double uy, double& lo, double& hi) {
    lo = std::numeric_limits<double>::infinity();
    hi = -lo;
    for (std::size_t i = 0; i < n; ++i) {
      const double s = ux * p[i].x + uy * p[i].y;
      lo = std::min(lo, s);
      hi = std::max(hi, s);
    }
  };
  auto consider = [&](double ux, double uy) {
    const double len = norm(Vec2{ux, uy});
    if (!(len > 0.0)) return;
    ux /= len;
    uy /= len;
    double lo1, hi1, lo2, hi2;
    project(first, n1, ux, uy, lo1, hi1);
    project(second, n2, ux, uy, lo2, hi2);
    if (lo2 - hi1 > best) {
      best = lo2 - hi1;
      nx = ux;
      ny = uy;
      c = 0.5 * (lo2 + hi1);
    }
    if (lo1 - hi2 > best) {
      best = lo1 - hi2;
      nx = -ux;
      ny = -uy;
      c = -0.5 * (lo1 + hi2);
    }
  };
  auto edges = [&](const Vec2* p, std::size_t n) {
    if (n < 2) return;
    const std::size_t count = n == 2 ? 1 : n;
    for (std::size_t i = 0; i < count; ++i) {
      const Vec2 d = p[i + 1 == n ? 0 : i + 1] - p[i];
      consider(-d.y, d.x);
      consider(d.x, d.y);
    }
  };
  edges(first, n1);
  edges(second, n2);
  Vec2 m1{0.0, 0.0}, m2{0.0, 0.0};
  for (std::size_t i = 0; i < n1; ++i) m1 = {m1.x + first[i].x, m1.y + first[i].y};
  for (std::size_t i = 0; i < n2; ++i) m2 = {m2.x + second[i].x, m2.y + second[i].y};
  const double k1 = 1.0 / static_cast<double>(n1);
  const double k2 = 1.0 / static_cast<double>(n2);
  consider(m2.x * k2 - m1.x * k1, m2.y * k2 - m1.y * k1);
  return best;
}

}  // namespace korvex::visibility::detail
