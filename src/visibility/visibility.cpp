// The visibility order: resolve intersections by cutting, order the pieces, break cycles, merge back.
#include "visibility/visibility.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <limits>
#include <queue>
#include <utility>

#include "common/assert.hpp"
#include "common/fault.hpp"
#include "parallel/parallel_for.hpp"
#include "parallel/thread_pool.hpp"
#include "poly3d/collection.hpp"
#include "poly3d/depth.hpp"
#include "visibility/pieces.hpp"

namespace korvex::visibility {

namespace {

using detail::cut_piece;
using detail::HalfPlane;
using detail::Outcome;
using detail::Piece;
using detail::Relation;
using detail::Store;
using detail::Tolerances;
using detail::Vec2;
using detail::Verdict;

// The plain drawing order as one unsigned key, smaller first: NaN first, then descending depth, -0.0 == +0.0 (the
// order of poly3d's depth sort).
std::uint64_t drawing_key(double depth) noexcept {
  if (depth != depth) return 0;
  if (depth == 0.0) depth = 0.0;
  const auto bits = std::bit_cast<std::uint64_t>(depth);
  const std::uint64_t ascending = (bits >> 63) != 0 ? ~bits : (bits | (std::uint64_t{1} << 63));
  return ~ascending;
}

class Orderer {
 public:
  Orderer(Store& s, const Tolerances& tol, std::size_t max_cuts) : s_(s), tol_(tol), max_cuts_(max_cuts) {}

  // Takes the relations of the grid pass; the pieces that exist now get their links in one block.
  void link(std::vector<Relation> relations);
  // Cuts every intersecting pair (in list order, so deterministically) until none is left or the cap is met;
  // what the cap leaves uncut is ordered by the larger part of the depth difference.
  void resolve_intersections();
  // Kahn's order of the live pieces; `plain` is the plain order of the pieces that existed before any cut.
  std::vector<std::uint32_t> order(const std::vector<std::size_t>& plain);

  bool capped() const noexcept { return capped_; }
  std::size_t forced() const noexcept { return forced_; }
  std::size_t cuts() const noexcept { return cuts_; }
  bool alive(std::uint32_t u) const noexcept { return dead_[u] == 0; }

 private:
  bool live(const Relation& r) const noexcept { return dead_[r.first] == 0 && dead_[r.second] == 0 && !r.dropped; }
  template <class F>
  void for_links(std::uint32_t u, F&& f) const {
    if (u < base_) {
      for (std::uint32_t k = link_start_[u]; k < link_start_[u + 1]; ++k) f(link_ids_[k]);
    }
    for (std::uint32_t id : extra_[u]) f(id);
  }
  std::uint32_t add_relation(Relation r) {
    const auto id = static_cast<std::uint32_t>(rel_.size());
    rel_.push_back(r);
    extra_[r.first].push_back(id);
    extra_[r.second].push_back(id);
    return id;
  }
  // The partners of u that are alive (u itself may just have died), with whether u paints first (for
  // intersections: false).
  void partners(std::uint32_t u, std::vector<std::pair<std::uint32_t, bool>>& out) const;
  // Cuts piece u where g (values at its vertices) changes sign; on success u dies and its two parts are
  // returned. Fails when a part would be too small, or when the cap is met (which sets capped_).
  bool cut(std::uint32_t u, const double* g, double snap, std::uint32_t& lo, std::uint32_t& hi);
  bool cut_intersection(std::uint32_t rid, std::vector<std::uint32_t>& work);
  void settle(std::uint32_t rid);
  // Breaks a cycle among the pieces left when none is ready, appending the pieces that became ready to `ready`;
  // sets capped_ instead when the cap or the search budget is met.
  void break_cycle(std::vector<std::uint8_t>& emitted, std::vector<std::uint32_t>& indeg,
                   std::vector<std::uint32_t>& ready);
  bool before(std::uint32_t a, std::uint32_t b) const noexcept {
    const Piece& pa = s_.pieces[a];
    const Piece& pb = s_.pieces[b];
    if (keys_[a] != keys_[b]) return keys_[a] < keys_[b];
    if (pa.item != pb.item) return pa.item < pb.item;
    return a < b;
  }
  void grow() {
    const std::size_t n = s_.pieces.size();
    dead_.resize(n, 0);
    extra_.resize(n);
    keys_.resize(n);
    for (std::size_t i = keys_filled_; i < n; ++i) keys_[i] = drawing_key(s_.pieces[i].fallback);
    keys_filled_ = n;
  }

  Store& s_;
  const Tolerances& tol_;
  std::size_t max_cuts_;
  bool capped_ = false;
  std::size_t forced_ = 0;
  std::size_t cuts_ = 0;
  std::uint32_t base_ = 0;
  std::vector<Relation> rel_;
  std::vector<std::uint8_t> dead_;
  std::vector<std::uint64_t> keys_;
  std::size_t keys_filled_ = 0;
  std::vector<std::uint32_t> link_start_;
  std::vector<std::uint32_t> link_ids_;
  std::vector<std::vector<std::uint32_t>> extra_;
  std::size_t scan_ = 0;        // no piece below this index is left to emit (cycle search)
  std::size_t walk_steps_ = 0;  // steps of all cycle searches, bounded
  detail::Scratch w_;
  std::vector<Vec2> lo_, hi_;
  std::vector<std::uint8_t> lo_flags_, hi_flags_;
  std::vector<double> g_;
  std::vector<Vec2> r1_, r2_;
  std::vector<std::pair<std::uint32_t, bool>> partners_;
  std::vector<std::uint32_t> splitters_;  // items whose planes have cut a cycle
};

void Orderer::link(std::vector<Relation> relations) {
  rel_ = std::move(relations);
  base_ = static_cast<std::uint32_t>(s_.pieces.size());
  grow();
  link_start_.assign(base_ + 1, 0);
  for (const Relation& r : rel_) {
    ++link_start_[r.first + 1];
    ++link_start_[r.second + 1];
  }
  for (std::uint32_t u = 0; u < base_; ++u) link_start_[u + 1] += link_start_[u];
  link_ids_.resize(link_start_[base_]);
  std::vector<std::uint32_t> fill(link_start_.begin(), link_start_.end() - 1);
  for (std::uint32_t id = 0; id < rel_.size(); ++id) {
    link_ids_[fill[rel_[id].first]++] = id;
    link_ids_[fill[rel_[id].second]++] = id;
  }
}

void Orderer::partners(std::uint32_t u, std::vector<std::pair<std::uint32_t, bool>>& out) const {
  out.clear();
  for_links(u, [&](std::uint32_t id) {
    const Relation& r = rel_[id];
    const std::uint32_t other = r.first == u ? r.second : r.first;
    if (dead_[other] != 0) return;
    out.emplace_back(other, !r.intersect && r.first == u);
  });
}

bool Orderer::cut(std::uint32_t u, const double* g, double snap, std::uint32_t& lo, std::uint32_t& hi) {
  if (cuts_ >= max_cuts_) {
    capped_ = true;
    return false;
  }
  const Piece p = s_.pieces[u];
  if (!cut_piece(s_.vertices(p), s_.flags.data() + p.first, g, p.count, snap, lo_, lo_flags_, hi_, hi_flags_)) {
    return false;
  }
  if (!Store::substantial(lo_.data(), lo_.size(), tol_) || !Store::substantial(hi_.data(), hi_.size(), tol_)) {
    return false;
  }
  Piece part = p;
  part.whole = false;
  lo = s_.add(part, lo_.data(), lo_flags_.data(), lo_.size());
  hi = s_.add(part, hi_.data(), hi_flags_.data(), hi_.size());
  grow();
  dead_[u] = 1;
  ++cuts_;
  return true;
}

bool Orderer::cut_intersection(std::uint32_t rid, std::vector<std::uint32_t>& work) {
  const std::uint32_t a = rel_[rid].first;
  const std::uint32_t b = rel_[rid].second;
  const Piece& pa = s_.pieces[a];
  const Piece& pb = s_.pieces[b];
  // A segment is cut where it pierces; of two polygons the smaller one (the later one on a tie).
  std::uint32_t order[2] = {a, b};
  if (pa.kind != pb.kind ? pb.kind > pa.kind : (pb.size < pa.size || (pb.size == pa.size && b > a))) {
    std::swap(order[0], order[1]);
  }
  for (const std::uint32_t u : order) {
    const std::uint32_t other = u == a ? b : a;
    const Piece& p = s_.pieces[u];
    if (p.kind == Kind::Marker) continue;
    g_.resize(p.count);
    const Vec2* v = s_.vertices(p);
    for (std::uint32_t k = 0; k < p.count; ++k) g_[k] = p.plane.at(v[k]) - s_.pieces[other].plane.at(v[k]);
    std::uint32_t parts[2];
    if (!cut(u, g_.data(), tol_.z, parts[0], parts[1])) {
      if (capped_) return false;
      continue;
    }
    partners(u, partners_);
    for (const auto& [n, unused] : partners_) {
      for (const std::uint32_t c : parts) {
        const Verdict v2 = relate(s_, c, n, tol_, w_);
        switch (v2.outcome) {
          case Outcome::None:
            break;
          case Outcome::AFirst:
            add_relation({c, n, false});
            break;
          case Outcome::BFirst:
            add_relation({n, c, false});
            break;
          case Outcome::Intersect:
            work.push_back(add_relation({c, n, true}));
            break;
        }
      }
    }
    return true;
  }
  return false;
}

void Orderer::settle(std::uint32_t rid) {
  Relation& r = rel_[rid];
  const Verdict v = relate(s_, r.first, r.second, tol_, w_);
  // Positive where `first` is farther: the larger part decides.
  if (v.lo + v.hi < 0.0) std::swap(r.first, r.second);
  r.intersect = false;
}

void Orderer::resolve_intersections() {
  std::vector<std::uint32_t> work;
  for (std::uint32_t id = 0; id < rel_.size(); ++id) {
    if (rel_[id].intersect) work.push_back(id);
  }
  for (std::size_t k = 0; k < work.size(); ++k) {
    const std::uint32_t id = work[k];
    if (!rel_[id].intersect || !live(rel_[id])) continue;
    if (capped_ || !cut_intersection(id, work)) settle(id);
  }
}

void Orderer::break_cycle(std::vector<std::uint8_t>& emitted, std::vector<std::uint32_t>& indeg,
                          std::vector<std::uint32_t>& ready) {
  const std::size_t n = s_.pieces.size();
  while (scan_ < n && (dead_[scan_] != 0 || emitted[scan_] != 0)) ++scan_;
  KORVEX_ASSERT(scan_ < n, "a piece is left when the order is stuck");
  // Walk back along predecessors that are left until a piece repeats: that closes a cycle.
  std::vector<std::uint32_t> path;
  std::vector<std::uint32_t> path_rel;  // the relation from the predecessor of path[k] to path[k]
  auto position = [&](std::uint32_t u) -> std::size_t {
    for (std::size_t k = 0; k < path.size(); ++k) {
      if (path[k] == u) return k;
    }
    return path.size();
  };
  std::uint32_t u = static_cast<std::uint32_t>(scan_);
  std::size_t at = 0;
  // Positions are found by a linear search in small paths and by a stamp array in long ones.
  std::vector<std::uint32_t> stamp;
  for (;;) {
    if (path.size() == 64) {
      stamp.assign(n, std::numeric_limits<std::uint32_t>::max());
      for (std::size_t k = 0; k < path.size(); ++k) stamp[path[k]] = static_cast<std::uint32_t>(k);
    }
    at = stamp.empty() ? position(u) : (stamp[u] == std::numeric_limits<std::uint32_t>::max() ? path.size() : stamp[u]);
    if (at < path.size()) break;
    if (!stamp.empty()) stamp[u] = static_cast<std::uint32_t>(path.size());
    path.push_back(u);
    std::uint32_t pred = std::numeric_limits<std::uint32_t>::max();
    for_links(u, [&](std::uint32_t id) {
      const Relation& r = rel_[id];
      if (pred == std::numeric_limits<std::uint32_t>::max() && live(r) && !r.intersect && r.second == u &&
          emitted[r.first] == 0) {
        pred = r.first;
        path_rel.push_back(id);
      }
    });
    KORVEX_ASSERT(pred != std::numeric_limits<std::uint32_t>::max(), "a piece that is not ready has a predecessor");
    u = pred;
  }
  walk_steps_ += path.size();
  if (walk_steps_ > 4 * n + 4096) {
    capped_ = true;  // too many cycles to search: the rest goes in the plain order
    return;
  }
  const std::vector<std::uint32_t> cycle(path.begin() + static_cast<std::ptrdiff_t>(at), path.end());
  const std::size_t len = cycle.size();

  // Member t is painted after cycle[t + 1] and before cycle[t - 1] (cyclically): it overlaps the first in region
  // r1 and the second in r2. A cut of the member that puts r1 and r2 on different sides breaks the cycle. Cuts
  // along the plane of a neighbour in the cycle come first: the faces of one solid then all get cut along one
  // plane, so their parts stay in step (cuts along unrelated lines leave parts that overlap each other anew).
  // Failing those, a line between r1 and r2. Among each kind, the cut farthest from both regions.
  struct Candidate {
    bool plane;
    double gap;  // screen distance of the regions from the cut
    std::size_t t;
    std::uint32_t splitter;
    double nx, ny, c;
  };
  std::vector<Candidate> candidates;
  for (std::size_t t = 0; t < len; ++t) {
    const std::uint32_t q = cycle[t];
    const Piece& pq = s_.pieces[q];
    if (pq.kind == Kind::Marker) continue;
    const std::uint32_t x = cycle[(t + 1) % len];
    const std::uint32_t p = cycle[(t + len - 1) % len];
    overlap_region(s_, x, q, tol_, w_, r1_);
    overlap_region(s_, q, p, tol_, w_, r2_);
    if (r1_.empty() || r2_.empty()) continue;
    for (const std::uint32_t splitter : {x, p}) {
      const Piece& ps = s_.pieces[splitter];
      if (ps.kind != Kind::Polygon) continue;  // the plane of a segment or marker is only a device
      const double ga = pq.plane.a - ps.plane.a, gb = pq.plane.b - ps.plane.b;
      const double slope = norm(Vec2{ga, gb});
      if (!(slope > 0.0)) continue;
      double hi1 = -std::numeric_limits<double>::infinity(), lo1 = -hi1, hi2 = hi1, lo2 = lo1;
      for (const Vec2& v : r1_) {
        const double g = pq.plane.at(v) - ps.plane.at(v);
        hi1 = std::max(hi1, g);
        lo1 = std::min(lo1, g);
      }
      for (const Vec2& v : r2_) {
        const double g = pq.plane.at(v) - ps.plane.at(v);
        hi2 = std::max(hi2, g);
        lo2 = std::min(lo2, g);
      }
      const double gap = std::max(std::min(-hi1, lo2), std::min(-hi2, lo1)) / slope;
      if (gap >= -tol_.len) candidates.push_back({true, gap, t, splitter, 0.0, 0.0, 0.0});
    }
    Candidate line{false, 0.0, t, 0, 0.0, 0.0, 0.0};
    line.gap = detail::separating_line(r1_.data(), r1_.size(), r2_.data(), r2_.size(), line.nx, line.ny, line.c);
    if (line.gap >= -tol_.len) candidates.push_back(line);
  }
  // A plane that has cut before is taken again where it can be (one plane through a solid cuts all its faces
  // in step), then the widest gap.
  auto reused = [&](const Candidate& c) {
    return c.plane && std::find(splitters_.begin(), splitters_.end(), s_.pieces[c.splitter].item) != splitters_.end();
  };
  std::stable_sort(candidates.begin(), candidates.end(), [&](const Candidate& l, const Candidate& r) {
    if (l.plane != r.plane) return l.plane;
    if (reused(l) != reused(r)) return reused(l);
    return l.gap > r.gap;
  });
  for (const Candidate& cand : candidates) {
    const std::uint32_t q = cycle[cand.t];
    const Piece& p = s_.pieces[q];
    g_.resize(p.count);
    const Vec2* v = s_.vertices(p);
    for (std::uint32_t k = 0; k < p.count; ++k) {
      g_[k] = cand.plane ? p.plane.at(v[k]) - s_.pieces[cand.splitter].plane.at(v[k])
                         : (cand.nx * v[k].x + cand.ny * v[k].y) - cand.c;
    }
    std::uint32_t parts[2];
    if (!cut(q, g_.data(), cand.plane ? tol_.z : tol_.len, parts[0], parts[1])) {
      if (capped_) return;
      continue;
    }
    if (cand.plane && !reused(cand)) splitters_.push_back(s_.pieces[cand.splitter].item);
    // The parts inherit q's relations where they still overlap, in q's direction (a part of a piece keeps the
    // depth relation of the whole; inheriting also keeps every ready piece ready).
    indeg.resize(s_.pieces.size(), 0);
    emitted.resize(s_.pieces.size(), 0);
    partners(q, partners_);
    std::vector<std::uint32_t> released;
    for (const auto& [m, q_first] : partners_) {
      if (emitted[m] != 0) continue;
      if (q_first) {
        --indeg[m];
        released.push_back(m);
      }
      for (const std::uint32_t c : parts) {
        // Strictly: a part that only touches the partner (at the cut) must not keep the relation, or a cut
        // between touching regions would leave the cycle as it was.
        overlap_region(s_, c, m, tol_, w_, r1_, true);
        if (r1_.empty()) continue;
        if (q_first) {
          add_relation({c, m, false});
          ++indeg[m];
        } else {
          add_relation({m, c, false});
          ++indeg[c];
        }
      }
    }
    for (const std::uint32_t m : released) {
      if (indeg[m] == 0) ready.push_back(m);
    }
    for (const std::uint32_t c : parts) {
      if (indeg[c] == 0) ready.push_back(c);
    }
    return;
  }
  // Nothing can be cut: give up the relation of the cycle whose overlap is smallest. Only when that overlap is
  // substantial is the picture affected (cycles closed by overlaps within the tolerance come from rounding).
  std::size_t weakest = 0;
  double least = std::numeric_limits<double>::infinity();
  bool substantial = false;
  for (std::size_t t = 0; t < len; ++t) {
    // Measured strictly: an overlap that exists only within the tolerance counts as none.
    overlap_region(s_, cycle[(t + 1) % len], cycle[t], tol_, w_, r1_, true);
    double measure = -1.0;
    if (r1_.size() == 1) measure = 0.0;
    if (r1_.size() == 2) measure = detail::norm(r1_[1] - r1_[0]);
    if (r1_.size() >= 3) measure = 0.5 * std::abs(detail::twice_area(r1_.data(), r1_.size()));
    if (measure < least) {
      least = measure;
      weakest = t;
      substantial = r1_.size() >= 2;
    }
  }
  Relation& r = rel_[path_rel[at + weakest]];
  r.dropped = true;
  if (--indeg[r.second] == 0) ready.push_back(r.second);
  if (substantial) ++forced_;
}

std::vector<std::uint32_t> Orderer::order(const std::vector<std::size_t>& plain) {
  std::size_t n = s_.pieces.size();
  std::vector<std::uint32_t> indeg(n, 0);
  std::vector<std::uint8_t> emitted(n, 0);
  std::size_t alive_count = 0;
  for (std::size_t u = 0; u < n; ++u) alive_count += dead_[u] == 0 ? 1 : 0;
  for (const Relation& r : rel_) {
    if (live(r)) {
      KORVEX_ASSERT(!r.intersect, "every intersection is cut or settled before ordering");
      ++indeg[r.second];
    }
  }
  // Pieces that are ready from the start are taken in the plain order by a cursor; the others (and the parts of
  // pieces cut so far) wait in a heap once they become ready. The next piece is the first of the two.
  std::vector<std::uint8_t> from_start(n, 0);
  for (const std::size_t u : plain) from_start[u] = dead_[u] == 0 && indeg[u] == 0 ? 1 : 0;
  auto later = [this](std::uint32_t a, std::uint32_t b) { return before(b, a); };
  std::priority_queue<std::uint32_t, std::vector<std::uint32_t>, decltype(later)> heap(later);
  for (std::size_t u = base_; u < n; ++u) {
    if (dead_[u] == 0 && indeg[u] == 0) heap.push(static_cast<std::uint32_t>(u));
  }
  std::vector<std::uint32_t> out;
  out.reserve(alive_count);
  std::vector<std::uint32_t> ready;
  std::size_t cursor = 0;
  while (out.size() < alive_count) {
    while (cursor < plain.size() && from_start[plain[cursor]] == 0) ++cursor;
    std::uint32_t u;
    if (cursor < plain.size() && (heap.empty() || before(static_cast<std::uint32_t>(plain[cursor]), heap.top()))) {
      u = static_cast<std::uint32_t>(plain[cursor++]);
    } else if (!heap.empty()) {
      u = heap.top();
      heap.pop();
    } else {
      ready.clear();
      if (!capped_) break_cycle(emitted, indeg, ready);
      if (capped_) break;
      n = s_.pieces.size();
      alive_count = 0;
      for (std::size_t k = 0; k < n; ++k) alive_count += dead_[k] == 0 ? 1 : 0;
      for (const std::uint32_t r : ready) heap.push(r);
      continue;
    }
    emitted[u] = 1;
    out.push_back(u);
    for_links(u, [&](std::uint32_t id) {
      const Relation& r = rel_[id];
      if (r.first == u && live(r) && emitted[r.second] == 0 && --indeg[r.second] == 0) heap.push(r.second);
    });
  }
  if (out.size() < alive_count) {
    // Past the cap: the rest in the plain order.
    std::vector<std::uint32_t> rest;
    for (std::size_t u = 0; u < s_.pieces.size(); ++u) {
      if (dead_[u] == 0 && (u >= emitted.size() || emitted[u] == 0)) rest.push_back(static_cast<std::uint32_t>(u));
    }
    std::sort(rest.begin(), rest.end(), [this](std::uint32_t a, std::uint32_t b) { return before(a, b); });
    out.insert(out.end(), rest.begin(), rest.end());
  }
  return out;
}

// Appends an item's own vertices as one whole fragment.
void emit_whole(const Scene& scene, Kind kind, std::uint32_t source, Result& res) {
  Fragment f{kind, true, source, 0, static_cast<std::uint32_t>(res.original.size()), 0};
  auto put = [&](double x, double y) {
    res.xy.push_back(x);
    res.xy.push_back(y);
    res.original.push_back(1);
  };
  switch (kind) {
    case Kind::Polygon: {
      f.id = scene.polygon_ids[source];
      const auto lo = static_cast<std::size_t>(scene.polygon_offsets[source]);
      const auto hi = static_cast<std::size_t>(scene.polygon_offsets[source + 1]);
      for (std::size_t k = lo; k < hi; ++k) put(scene.polygon_xyz[3 * k], scene.polygon_xyz[3 * k + 1]);
      break;
    }
    case Kind::Segment: {
      f.id = scene.segment_ids[source];
      const double* p = scene.segment_xyz.data() + 6 * source;
      put(p[0], p[1]);
      put(p[3], p[4]);
      break;
    }
    case Kind::Marker: {
      f.id = scene.marker_ids[source];
      const double* p = scene.marker_xyz.data() + 3 * source;
      put(p[0], p[1]);
      break;
    }
  }
  f.count = static_cast<std::uint32_t>(res.original.size()) - f.first;
  res.fragments.push_back(f);
}

}  // namespace

Result order(const Scene& scene, const Options& options, parallel::ThreadPool& pool) {
  Tolerances tol;
  Result res;
  Store s = detail::build_pieces(scene, options, tol, res.unplaced, pool);
  const std::size_t polygons = scene.polygon_ids.size();
  const std::size_t segments = scene.segment_ids.size();
  const std::size_t items = polygons + segments + scene.marker_ids.size();
  const std::size_t base = s.pieces.size();

  // The plain order of the pieces as built (their index order is item order), by poly3d's depth sort.
  std::vector<double> fallbacks(base);
  for (std::size_t u = 0; u < base; ++u) fallbacks[u] = s.pieces[u].fallback;
  std::vector<std::size_t> plain(base);
  poly3d::detail::OrderScratch scratch;
  poly3d::detail::order_by_depth(fallbacks.data(), base, plain.data(), scratch);

  const double factor = options.cap_factor >= 1.0 ? options.cap_factor : 1.0;  // NaN too
  const auto max_cuts = static_cast<std::size_t>(std::min((factor - 1.0) * static_cast<double>(items), 1e15));
  Orderer orderer(s, tol, max_cuts);
  orderer.link(detail::find_relations(s, tol, pool));
  orderer.resolve_intersections();
  const std::vector<std::uint32_t> sequence = orderer.order(plain);
  res.capped = orderer.capped();
  res.forced = orderer.forced();
  res.cuts = orderer.cuts();
  res.pieces = sequence.size();

  // An item whose pieces all follow one another is drawn whole: painting them in a row is painting the item.
  std::vector<std::uint32_t> count(items, 0), first_at(items, 0), last_at(items, 0);
  std::vector<std::uint8_t> cut(items, 0);
  for (std::uint32_t k = 0; k < sequence.size(); ++k) {
    const Piece& p = s.pieces[sequence[k]];
    if (count[p.item]++ == 0) first_at[p.item] = k;
    last_at[p.item] = k;
  }
  for (std::size_t i = 0; i < items; ++i) cut[i] = last_at[i] - first_at[i] + 1 != count[i] ? 1 : 0;
  const auto item_base = [&](Kind kind) -> std::uint32_t {
    return kind == Kind::Polygon ? 0 : kind == Kind::Segment ? static_cast<std::uint32_t>(polygons)
                                                              : static_cast<std::uint32_t>(polygons + segments);
  };
  res.fragments.reserve(sequence.size());
  res.xy.reserve(2 * s.verts.size());
  res.original.reserve(s.verts.size());
  for (std::uint32_t k = 0; k < sequence.size(); ++k) {
    const Piece& p = s.pieces[sequence[k]];
    const std::uint32_t source = p.item - item_base(p.kind);
    if (cut[p.item] == 0) {
      if (first_at[p.item] == k) emit_whole(scene, p.kind, source, res);
      continue;
    }
    const std::int64_t id = p.kind == Kind::Polygon   ? scene.polygon_ids[source]
                            : p.kind == Kind::Segment ? scene.segment_ids[source]
                                                      : scene.marker_ids[source];
    Fragment f{p.kind, false, source, id, static_cast<std::uint32_t>(res.original.size()), p.count};
    const Vec2* v = s.vertices(p);
    for (std::uint32_t j = 0; j < p.count; ++j) {
      res.xy.push_back(v[j].x);
      res.xy.push_back(v[j].y);
      res.original.push_back(s.flags[p.first + j]);
    }
    res.fragments.push_back(f);
  }
  if (res.original.size() >= std::numeric_limits<std::uint32_t>::max()) {
    throw InternalFault("visibility scene: too many vertices");
  }
  return res;
}

Result order(const Scene& scene, const Options& options) { return order(scene, options, parallel::current_pool()); }

}  // namespace korvex::visibility
