// Pieces (the convex parts the order is made of), their pairwise depth relations and the candidate pairs.
// Internal header of visibility.
#pragma once

#include <cstddef>
#include <cstdint>
#include <algorithm>
#include <cstring>
#include <vector>

#include "common/prefetch.hpp"
#include "visibility/geometry.hpp"
#include "visibility/visibility.hpp"

namespace korvex::parallel {
class ThreadPool;
}

namespace korvex::visibility::detail {

// Scale-aware tolerances of one scene.
struct Tolerances {
  double len = 0.0;       // screen distance below which two points are one (about 1e-9 of the scene's extent)
  double z = 0.0;         // depth difference below which two depths are equal
  double planar = 0.0;    // largest distance of a polygon's vertices from its fitted plane (Options::planarity)
  double sliver = 0.0;    // screen length (1e-4 of the extent) below which an overlap changes no visible pixel
  double bend = 0.0;      // how far (1e-3 of the extent) a planar polygon may turn back on screen and be one piece
  double radius = 0.0;    // Options::marker_radius
};

struct Piece {
  std::uint32_t first = 0;  // vertices Store::verts[first, first + count)
  std::uint32_t count = 0;  // 0: no usable geometry (placed by fallback); 1 marker; 2 segment; 3+ polygon
  Kind kind = Kind::Polygon;
  bool whole = false;       // the item itself, never cut nor decomposed
  bool joins = true;        // the pieces of its item together cover exactly the item's outline
  std::uint32_t item = 0;   // index over all items: polygons, then segments, then markers
  Plane plane;
  double tol = 0.0;         // how far the plane may be from the item's own depths, plus its rounding
  double fallback = 0.0;    // depth of the plain order
};

// What drawing an item whole takes: its id, its first point in the scene's array of its kind, its point count
// (clamped to kNotWhole, a count the output's vertex count cannot hold anyway) and its place among the items of
// its kind. One cache line holds two.
struct alignas(32) WholeItem {
  std::int64_t id;
  std::uint64_t at;
  std::uint32_t count;
  std::uint32_t source;
  Kind kind;
};

// Store::drawn of a piece that is not its whole item.
inline constexpr std::uint32_t kNotWhole = 0xffffffffu;

// All pieces and their vertices. For polygon pieces, edges[k] is the half-plane left of the edge from verts[k].
struct Store {
  std::vector<Piece> pieces;
  std::vector<Vec2> verts;
  std::vector<std::uint8_t> flags;
  std::vector<HalfPlane> edges;
  // Per piece that build_pieces() made (the parts of later cuts, never whole, have none): its item's WholeItem,
  // and the points drawing the piece takes when it is its whole item (WholeItem::count), else kNotWhole. The
  // output visits the pieces in drawing order, all over memory: it reads these small records instead of the
  // pieces and the scene's arrays.
  std::vector<WholeItem> wholes;
  std::vector<std::uint32_t> drawn;

  const Vec2* vertices(const Piece& p) const noexcept { return verts.data() + p.first; }
  // Area of a polygon piece, length of a segment, 0 for a point or nothing.
  double size(const Piece& p) const noexcept {
    const Vec2* v = vertices(p);
    return p.count >= 3 ? 0.5 * twice_area(v, p.count) : p.count == 2 ? norm(v[1] - v[0]) : 0.0;
  }
  // Appends a piece with the given vertices and flags, computing its edges; returns its index.
  std::uint32_t add(Piece proto, const Vec2* v, const std::uint8_t* f, std::size_t n);
  // A piece with the given vertices and flags and default fields otherwise, for the caller to fill in; without
  // edges (a store whose edges are made afterwards, all at once: see edges_of()).
  Piece& append(const Vec2* v, const std::uint8_t* f, std::size_t n);
  // The same from a prototype.
  std::uint32_t add_without_edges(Piece proto, const Vec2* v, const std::uint8_t* f, std::size_t n);
  // The edges of piece p into e (one per vertex; a segment's or a point's bound nothing).
  void edges_of(const Piece& p, HalfPlane* e) const noexcept {
    const Vec2* v = vertices(p);
    for (std::uint32_t k = 0; k < p.count; ++k) {
      e[k] = p.count >= 3 ? left_of(v[k], v[k + 1 == p.count ? 0 : k + 1]) : HalfPlane{};
    }
  }
  // Whether a piece with these vertices is large enough to stand on its own (area or length above the
  // tolerance).
  static bool substantial(const Vec2* v, std::size_t n, const Tolerances& tol) noexcept;
};

struct Grid;

// What drawing piece p's item whole takes.
inline WholeItem whole_item(const Scene& scene, const Piece& p) noexcept {
  const std::size_t polygons = scene.polygon_ids.size();
  const std::size_t segments = scene.segment_ids.size();
  WholeItem r{};
  r.kind = p.kind;
  switch (p.kind) {
    case Kind::Polygon: {
      r.source = p.item;
      r.id = scene.polygon_ids[r.source];
      r.at = static_cast<std::uint64_t>(scene.polygon_offsets[r.source]);
      const auto points = static_cast<std::uint64_t>(scene.polygon_offsets[r.source + 1]) - r.at;
      r.count = static_cast<std::uint32_t>(std::min<std::uint64_t>(points, kNotWhole));
      break;
    }
    case Kind::Segment:
      r.source = p.item - static_cast<std::uint32_t>(polygons);
      r.id = scene.segment_ids[r.source];
      r.at = 2 * std::uint64_t{r.source};
      r.count = 2;
      break;
    case Kind::Marker:
      r.source = p.item - static_cast<std::uint32_t>(polygons + segments);
      r.id = scene.marker_ids[r.source];
      r.at = r.source;
      r.count = 1;
      break;
  }
  return r;
}

// The whole input as pieces into `out`, one item after another (an item's pieces are consecutive), built on
// the pool, with their Store::wholes and Store::drawn, and what `grid` keeps of each piece (prepare_pieces())
// while the piece is at hand; `parts` is
// working memory (one store per task). Returns Result::unplaced.
std::size_t build_pieces(const Scene& scene, const Options& options, Tolerances& tol, parallel::ThreadPool& pool,
                         Store& out, std::vector<Store>& parts, Grid& grid);

enum class Outcome : std::uint8_t { None, AFirst, BFirst, Intersect };

struct Verdict {
  Outcome outcome = Outcome::None;
  double lo = 0.0;  // least and greatest depth of a minus depth of b over the overlap
  double hi = 0.0;
};

// Least and greatest depth of a minus depth of b at the points v.
void depth_range(const Piece& a, const Piece& b, const Vec2* v, std::size_t n, double& lo, double& hi) noexcept;

// Working memory of the pair tests, one per task.
struct Scratch {
  std::vector<Vec2> region;
  std::vector<Vec2> spare;
  std::vector<Vec2> other;
  std::vector<Vec2> square;
};

// The region where pieces a and b overlap on screen into `out` (empty when they do not overlap): a polygon, a
// segment or a point. A marker's part is its square of Tolerances::radius. Two polygons must share more than a
// band of the tolerance's width; a segment counts as over a polygon up to the tolerance outside it (so that a
// line along an edge is ordered against the polygon), or, when `strict`, only more than the tolerance inside.
void overlap_region(const Store& s, std::uint32_t a, std::uint32_t b, const Tolerances& tol, Scratch& w,
                    std::vector<Vec2>& out, bool strict = false);

// How a and b must be painted: None (no overlap, or equal depths that need no order), a first, b first, or
// intersecting (each in front of the other somewhere).
Verdict relate(const Store& s, std::uint32_t a, std::uint32_t b, const Tolerances& tol, Scratch& w);

// A depth relation between two pieces: `first` paints before `second`, or the two intersect (`first`, `second`
// are then just the pair).
struct Relation {
  std::uint32_t first;
  std::uint32_t second;
  bool intersect;
  bool dropped = false;  // given up to break a cycle that no cut could break
};

// What decides a pair of pieces without testing it: the least and greatest depth of its plane over the piece,
// widened by the piece's tolerance (all depths when its fallback depth lies outside: never decided so), and its
// place in the plain order as a key (descending fallback depth, NaN first).
struct DepthSpan {
  double lo;
  double hi;
  std::uint64_t key;
};

// The plain order's key of a fallback depth: ascending keys are the drawing order (NaN first, then descending
// depth, -0.0 == +0.0), that of poly3d's depth sort.
inline std::uint64_t drawing_key(double depth) noexcept {
  if (depth != depth) return 0;
  if (depth == 0.0) depth = 0.0;
  std::uint64_t bits;
  std::memcpy(&bits, &depth, sizeof bits);
  const std::uint64_t ascending = (bits >> 63) != 0 ? ~bits : (bits | (std::uint64_t{1} << 63));
  return ~ascending;
}

// Whether piece a is farther than piece b everywhere (beyond the tolerance over both spans: then the depth
// difference over any overlap exceeds what relate() takes for equal) and first in the plain order (key, then
// piece: the order of poly3d's stable sort). Such a pair needs no test for the plain order to paint it right.
inline bool settled(const DepthSpan& a, std::uint32_t ia, const DepthSpan& b, std::uint32_t ib, double tol_z) noexcept {
  // One expression without branches: callers test it on many pairs at a time, in no pattern.
  return (a.lo - b.hi > tol_z) & ((a.key < b.key) | ((a.key == b.key) & (ia < ib)));
}

// A uniform grid over the pieces' boxes (grown by the tolerance, and markers by their radius). Each piece is
// listed in every cell its box touches. A pair belongs to the one cell that holds the lower-left corner of the
// intersection of their boxes: the column where the later-starting box starts, and the row likewise. So within a
// cell the entries come in four groups by whether the box starts in the cell's column and in its row: [column
// only] [both] [row only] [neither]. The pairs a cell owns are those of [both] with any entry and those of
// [column only] with [row only]: every pair is met exactly once, in its own cell. Within a group the entries
// are in piece order.
struct Grid {
  struct Span {  // the columns and rows of a piece's cells
    std::uint32_t x0, x1, y0, y1;
  };
  // What the pair loop compares of a piece, one cache line laid out for comparing two lanes at a time: the grown
  // box as {xmin, ymin, -xmax, -ymax}, the depth span as {lo, -hi}, and the span's key (DepthSpan). Two pieces
  // are apart when some lane of one's `box` exceeds the lane of the other's negated and turned by two, or the
  // lo of one exceeds the other's hi + tol, or the hi of one is below the other's lo - tol (tol: Tolerances::z).
  // Then where the pair test finds the piece's vertices and edges in the store, and their count when it is a
  // polygon of at most four vertices (its outline: tested against another such at once), else 0. A piece without
  // geometry has NaN boxes and spans.
  struct alignas(64) Probe {
    double box[4];
    double depth[2];
    std::uint64_t key;
    std::uint32_t first;
    std::uint32_t outline;
    Box grown() const noexcept { return {box[0], -box[2], box[1], -box[3]}; }
    DepthSpan span() const noexcept { return {depth[0], -depth[1], key}; }
  };
  // A small polygon's outline (Probe::outline) lane by lane, for the pair loop's test of one piece's points
  // against another's edges in vector registers: its points and its edges (Store::edges), a triangle's last ones
  // twice; all NaN for any other piece (which then has no point below any edge, nor edges any point is below).
  // Made with the probes, as each piece is written to the store (build_pieces()).
  struct alignas(32) Outline {
    double x[4];
    double y[4];
    double nx[4];
    double ny[4];
    double c[4];
  };
  double x0 = 0.0;
  double y0 = 0.0;
  double inv = 1.0;  // cells per unit of length
  std::uint32_t nx = 1;
  std::uint32_t ny = 1;
  std::vector<Span> spans;           // per piece; no rows for a piece left out
  std::vector<std::uint32_t> places;  // working memory: four per piece
  std::vector<Probe> probes;         // per piece
  std::vector<Outline> outlines;     // per piece
  std::vector<std::uint32_t> start;  // 4 nx ny + 1 offsets into items: start[4 c + g] begins group g of cell c
  std::vector<std::uint32_t> items;  // pieces, cell by cell and group by group
  Box all{};                         // the box around the grown boxes of the pieces placed
  std::size_t placed = 0;            // pieces with geometry (the others are left out)
  std::vector<double> extents;       // working memory
  std::vector<std::uint32_t> firsts;  // working memory: per piece, where the relations it is the lower of begin
  std::vector<Box> task_boxes;
  std::vector<std::size_t> task_counts;

  // Calls f(q) once for every piece q other than p whose grown box meets p's (in the cell that owns the pair).
  template <class F>
  void for_partners(std::uint32_t p, F&& f) const {
    const Span& r = spans[p];
    const Box b = probes[p].grown();
    for (std::uint32_t y = r.y0; y <= r.y1; ++y) {  // none for a piece left out (y0 > y1)
      for (std::uint32_t x = r.x0; x <= r.x1; ++x) {
        // The groups whose pairs with p this cell owns: all four in p's own cell; further along p's first row
        // those that start in the cell's column, further up its first column those that start in its row, and
        // elsewhere those that start in both.
        const std::size_t c = 4 * (std::size_t{y} * nx + x);
        const std::size_t first = y == r.y0 ? 0 : 1;
        const std::size_t last = x == r.x0 ? (y == r.y0 ? 4 : 3) : 2;
        for (std::size_t k = start[c + first]; k < start[c + last]; ++k) {
          const std::uint32_t q = items[k];
          const Box bq = probes[q].grown();
          if ((b.xmin > bq.xmax) | (bq.xmin > b.xmax) | (b.ymin > bq.ymax) | (bq.ymin > b.ymax) | (q == p)) continue;
          f(q);
        }
      }
    }
  }

  // Appends to `out`, in for_partners()'s order, every piece q it meets for p that settled(p's span, p, q's span,
  // q, tol_z) holds for. Without a branch per piece met (most are apart from p or not settled with it, in no
  // pattern): each is written and kept by counting it.
  void settled_partners(std::uint32_t p, double tol_z, std::vector<std::uint32_t>& out) const {
    const Span& r = spans[p];
    const Box b = probes[p].grown();
    const DepthSpan sp = probes[p].span();
    for (std::uint32_t y = r.y0; y <= r.y1; ++y) {
      for (std::uint32_t x = r.x0; x <= r.x1; ++x) {
        const std::size_t c = 4 * (std::size_t{y} * nx + x);  // the groups as in for_partners()
        const std::uint32_t* k = items.data() + start[c + (y == r.y0 ? 0 : 1)];
        const std::uint32_t* const end = items.data() + start[c + (x == r.x0 ? (y == r.y0 ? 4 : 3) : 2)];
        const std::size_t at = out.size();
        out.resize(at + static_cast<std::size_t>(end - k));
        std::uint32_t* to = out.data() + at;
        std::size_t kept = 0;
        for (; k != end; ++k) {
          if (end - k > 8) prefetch(&probes[k[8]]);
          const std::uint32_t q = *k;
          const Box bq = probes[q].grown();
          const bool apart = (b.xmin > bq.xmax) | (bq.xmin > b.xmax) | (b.ymin > bq.ymax) | (bq.ymin > b.ymax);
          to[kept] = q;
          kept += static_cast<std::size_t>(!apart & (q != p) & settled(sp, p, probes[q].span(), q, tol_z));
        }
        out.resize(at + kept);
      }
    }
  }

  // Cell of a coordinate. Truncation is the floor for the non-negative values that matter; negative ones (below
  // the grid by rounding) land in cell 0 either way.
  static std::uint32_t cell(double t, std::uint32_t count) noexcept {
    return t <= 0.0 ? 0 : t >= static_cast<double>(count - 1) ? count - 1 : static_cast<std::uint32_t>(t);
  }
  std::uint32_t col(double x) const noexcept { return cell((x - x0) * inv, nx); }
  std::uint32_t row(double y) const noexcept { return cell((y - y0) * inv, ny); }
};

// Sizes the grid's arrays per piece for n pieces.
void size_grid(Grid& g, std::size_t n);

// What the grid keeps of pieces [begin, end) of `s` (their probes and outlines), with the box around their
// grown boxes added to `box` and the pieces placed (with geometry) counted in `placed`. The arrays are sized.
void prepare_pieces(const Store& s, const Tolerances& tol, Grid& g, std::size_t begin, std::size_t end, Box& box,
                    std::size_t& placed) noexcept;

// A pair of pieces met in a cell: p's thresholds and edges are those the pair is tested with.
struct CellPair {
  std::uint32_t p;
  std::uint32_t q;
};

// The builds of the probe pass: comparing a piece's probe with its partners' as they lie in the probes (two lanes
// at a time), or eight partners at a time on a copy of the cell's entries, lane by lane (AVX-512).
enum class ProbeIsa : std::uint8_t { Portable, Avx512 };

// The build find_relations() uses on this processor (checked once).
ProbeIsa best_probe_isa() noexcept;

// The pairs that cell c of the built grid owns whose probes are not apart (see Grid::Probe), in the cell's pair
// order ([both] each with [column only] and then with the entries after it, then [column only] each with [row
// only], partners in the cell's order), into `pairs` (grown as needed, with room past the pairs); returns their
// count. Every build gives the same pairs. `lanes` is working memory; `isa` must run on this processor.
std::size_t cell_pairs(const Grid& g, std::size_t c, double tol_z, ProbeIsa isa, std::vector<double>& lanes,
                       std::vector<CellPair>& pairs);

// Every relation between pieces whose boxes meet into `out`, found on the grid and tested on the pool; the list
// is in a fixed order (cell by cell, each cell's pairs in a fixed order) whatever the pool size. `grid` holds
// what build_pieces() prepared of the same pieces; it is built here and stays for Orderer::confirm(). `found`
// (one list per task) is working memory.
//
// Pairs settled() are not tested: if they overlap on screen, the farther is to be painted first, which the plain
// order does unless something else holds the farther one back. Orderer::confirm() looks for those once the order
// is made.
void find_relations(const Store& s, const Tolerances& tol, parallel::ThreadPool& pool, Grid& grid,
                    std::vector<std::vector<Relation>>& found, std::vector<Relation>& out);

// Whether the processor runs the AVX2 builds of the loops that have one (checked once).
bool has_avx2() noexcept;

// relate()'s outcome for pieces a < b of the built grid, two polygons with outlines (Grid::Probe::outline) where
// no edge of either has all the other's points outside (by more than Tolerances::len): with `avx2` (which must run
// on this processor), the depths at their vertices four at a time from the outlines, and overlapping_polygons()
// for what those leave open; else overlapping_polygons() alone.
Outcome small_polygons(const Store& s, const Grid& g, std::uint32_t a, std::uint32_t b, const Tolerances& tol,
                       Scratch& w, bool avx2);

}  // namespace korvex::visibility::detail
