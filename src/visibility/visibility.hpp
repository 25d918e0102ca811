// The exact visibility order of a projected scene: polygons, line segments and point markers painted back to
// front so that the painting equals a depth buffer, splitting polygons and segments only where that is needed.
//
// Space. Everything is in screen space after the view's perspective divide: x, y on the screen and z the depth,
// a larger z being farther (the painter draws in descending z). A projective view keeps planes planar, so the
// geometry works in this space directly.
//
// Method. Every item becomes one or more convex pieces with a depth plane: a planar polygon that is not convex is cut
// into triangles along its outline, joined again into convex pieces (a planar one that turns back by at most 1e-3 of
// the scene's extent stays whole); one too far from planar into the triangles of its diagonals from its first vertex,
// joined into fans as far as they stay within the planarity of one plane, or the triangles of its outline where it is
// not convex (each exact). Pieces of one item are merged back on output when nothing comes between them. Pairs whose
// screen boxes meet are found on a grid and tested on the pool: whether they overlap on screen, then the depth
// relation over the overlap from the two planes. A pair of polygons whose depth ranges lie apart, the farther first
// in the plain order, is left untested (most overlapping pairs are such): the order below paints it right unless
// something holds the farther one back, which the finished order shows; such pairs are then tested and the order made
// again with what they add. Two polygons that intersect are resolved by cutting the smaller along the intersection
// line; a segment that passes through a polygon is cut where it pierces it. The pieces are then ordered by Kahn's
// algorithm, always taking the ready piece that the plain depth order would draw first (fallback depth, larger first;
// then kind, polygons before segments before markers; then input index), so a scene without overlaps comes out in
// exactly the plain order. A cycle of overlaps is broken by cutting one member so that the regions where its two
// neighbours in the cycle overlap it fall apart: along a neighbour's plane where that separates them (reusing a plane
// that cut before, so that the faces of one solid are cut in step), else along a line between them. Last, the pieces
// of each item are brought together wherever no piece of another item must come between them: taking the first ready
// piece leaves many an item in pieces that nothing holds apart (the triangles of a patch that is far from planar,
// between those of its neighbours).
//
// Markers are points: one is ordered against what it overlaps by its centre's depth and never cut. A line or a
// marker lying on a surface is drawn over it.
//
// Determinism. The output depends only on the input and the options, never on the pool size or timing: the
// parallel steps are pure per item or per piece and are gathered in a fixed order; every step that changes the
// pieces runs on the calling thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

namespace korvex::parallel {
class ThreadPool;
}

namespace korvex::visibility {

enum class Kind : std::uint8_t { Polygon = 0, Segment = 1, Marker = 2 };

// Views of the caller's arrays; nothing is copied or kept after order() returns.
struct Scene {
  // Polygon i has the vertices polygon_offsets[i] .. polygon_offsets[i + 1] - 1 of polygon_xyz (x, y, z
  // interleaved). polygon_offsets holds polygon count + 1 non-decreasing entries (or none: no polygons), the
  // last one at most polygon_xyz.size() / 3. polygon_ids and polygon_depths hold one entry per polygon.
  std::span<const double> polygon_xyz;
  std::span<const std::int64_t> polygon_offsets;
  std::span<const std::int64_t> polygon_ids;
  // Depth that places a polygon when nothing else decides (ties, and items without usable geometry).
  std::span<const double> polygon_depths;
  // Segment i runs from (x0, y0, z0) to (x1, y1, z1) = segment_xyz[6 i .. 6 i + 5]; placed by its midpoint's
  // depth when nothing else decides.
  std::span<const double> segment_xyz;
  std::span<const std::int64_t> segment_ids;
  // Marker i is centred at marker_xyz[3 i .. 3 i + 2].
  std::span<const double> marker_xyz;
  std::span<const std::int64_t> marker_ids;
};

struct Options {
  // Cuts may add at most (cap_factor - 1) times the item count pieces (none below 1, or NaN). Once that is
  // reached, intersections left uncut are ordered by the larger part of their depth difference, and if a cycle
  // remains, the pieces left are drawn in the plain order; Result::capped is set.
  double cap_factor = 8.0;
  // Half the width of a marker on screen: a marker overlaps what comes within this distance of its centre.
  double marker_radius = 0.0;
  // A polygon whose vertices lie within this fraction of the scene's depth extent of its fitted plane is taken
  // as that plane (so a slightly twisted quad of a surface stays one piece); farther, it is cut into triangles.
  double planarity = 5e-3;
};

// One fragment to draw: a piece of an item, or the whole item.
struct Fragment {
  Kind kind;
  // True when the fragment is the whole item: its vertices are the item's own, every edge original.
  bool whole;
  std::uint32_t source;  // index of the item among the items of its kind
  std::int64_t id;       // the item's id
  // The fragment's vertices are Result::xy[2 * first .. 2 * (first + count) - 1].
  std::uint32_t first;
  std::uint32_t count;
};

struct Result {
  std::vector<Fragment> fragments;  // back to front
  std::vector<double> xy;           // fragment vertices, x and y interleaved
  // One flag per fragment vertex. Polygons: the edge from this vertex to the next (cyclically) lies on the
  // item's outline and may be stroked; cut edges are 0. Segments: the vertex is an end of the item. Markers: 1.
  std::vector<std::uint8_t> original;
  // The cap was reached, or the search for cycles ran out of its budget (a multiple of the piece count): part
  // of the scene is in the plain order. The caller may want to say so once.
  bool capped = false;
  // Items with a coordinate that is NaN or infinite, or without area or length on screen: drawn whole, placed
  // by their fallback depth only.
  std::size_t unplaced = 0;
  // Cycles that no cut could break (markers are never cut) and that were broken by dropping the order of their
  // smallest overlap, counted where that overlap was wider than a sliver (1e-4 of the scene's extent).
  std::size_t forced = 0;
  std::size_t cuts = 0;    // pieces cut in two
  std::size_t pieces = 0;  // pieces after cutting, before whole items are merged back
};

// Working memory of order(), kept between calls so that drawing the same scene again allocates (and faults in)
// nothing new. Holds no results; one workspace serves one call at a time.
class Workspace {
 public:
  Workspace();
  ~Workspace();
  Workspace(Workspace&&) noexcept;
  Workspace& operator=(Workspace&&) noexcept;

  struct Impl;

 private:
  std::unique_ptr<Impl> impl_;
  friend void order(const Scene&, const Options&, parallel::ThreadPool&, Workspace&, Result&);
};

// Orders the scene on `pool` into `out` (its previous contents are replaced, its memory reused). Throws
// InternalFault when the scene's arrays are inconsistent (offsets out of range or decreasing, or a size that does
// not match); `out` is then unspecified.
void order(const Scene& scene, const Options& options, parallel::ThreadPool& pool, Workspace& workspace, Result& out);

// The same with fresh memory.
Result order(const Scene& scene, const Options& options, parallel::ThreadPool& pool);

// The same on the current pool (parallel/parallel_for.hpp).
Result order(const Scene& scene, const Options& options = {});

}  // namespace korvex::visibility
