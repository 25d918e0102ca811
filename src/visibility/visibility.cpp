// The visibility order: resolve intersections by cutting, order the pieces, break cycles, merge back.
#include "visibility/visibility.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <limits>
#include <utility>

#include "common/assert.hpp"
#include "common/fault.hpp"
#include "parallel/parallel_for.hpp"
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

// The orderer's buffers, kept between calls in a Workspace: an orderer borrows them for its lifetime.
struct OrderMemory {
  std::vector<Relation> rel;
  std::vector<std::uint8_t> dead;
  std::vector<std::uint64_t> keys;
  std::vector<std::uint32_t> link_start;
  std::vector<std::uint32_t> link_ids;
  std::vector<std::vector<std::uint32_t>> extra;
  std::vector<std::uint32_t> indeg;
  std::vector<std::uint8_t> emitted;
  std::vector<std::uint8_t> from_start;
  std::vector<std::uint32_t> heap;
  std::vector<std::uint32_t> work;
};

class Orderer {
 public:
  Orderer(Store& s, const Tolerances& tol, std::size_t max_cuts, OrderMemory& memory)
      : s_(s), tol_(tol), max_cuts_(max_cuts), memory_(memory) {
    swap_memory();
  }
  ~Orderer() { swap_memory(); }
  Orderer(const Orderer&) = delete;
  Orderer& operator=(const Orderer&) = delete;

  // The relation list, for the grid pass to fill before link().
  std::vector<Relation>& relations() noexcept { return rel_; }
  // Links the relations to the pieces that exist now, in one block.
  void link();
  // Cuts every intersecting pair (in list order, so deterministically) until none is left or the cap is met;
  // what the cap leaves uncut is ordered by the larger part of the depth difference.
  void resolve_intersections();
  // Kahn's order of the live pieces into `out`; `plain` is the plain order of the pieces that existed before
  // any cut.
  void order(const std::vector<std::size_t>& plain, std::vector<std::uint32_t>& out);

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
  void swap_memory() noexcept {
    rel_.swap(memory_.rel);
    dead_.swap(memory_.dead);
    keys_.swap(memory_.keys);
    link_start_.swap(memory_.link_start);
    link_ids_.swap(memory_.link_ids);
    extra_.swap(memory_.extra);
    indeg_.swap(memory_.indeg);
    emitted_.swap(memory_.emitted);
    from_start_.swap(memory_.from_start);
    heap_.swap(memory_.heap);
    work_.swap(memory_.work);
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
  OrderMemory& memory_;
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
  std::vector<std::uint32_t> indeg_;
  std::vector<std::uint8_t> emitted_;
  std::vector<std::uint8_t> from_start_;
  std::vector<std::uint32_t> heap_;
  std::vector<std::uint32_t> work_;
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

void Orderer::link() {
  base_ = static_cast<std::uint32_t>(s_.pieces.size());
  for (auto& e : extra_) e.clear();
  dead_.assign(base_, 0);
  keys_filled_ = 0;
  grow();
  // Counts summed to each list's end; then relations in descending order, each placed just below its pieces'
  // current ends, which leaves every list ascending and link_start_[u] at its beginning.
  link_start_.assign(base_ + 1, 0);
  for (const Relation& r : rel_) {
    ++link_start_[r.first];
    ++link_start_[r.second];
  }
  for (std::uint32_t u = 1; u <= base_; ++u) link_start_[u] += link_start_[u - 1];
  link_ids_.resize(link_start_[base_]);
  for (auto id = static_cast<std::uint32_t>(rel_.size()); id-- > 0;) {
    link_ids_[--link_start_[rel_[id].first]] = id;
    link_ids_[--link_start_[rel_[id].second]] = id;
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
  std::vector<std::uint32_t>& work = work_;
  work.clear();
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
  // Nothing can be cut: give up the relation of the cycle whose overlap is smallest. Only an overlap wider than
  // a sliver can show (cycles closed by slivers come from rounding, or from neighbours at a fold).
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
      substantial = r1_.size() == 2 ? measure > tol_.sliver : measure > tol_.sliver * tol_.sliver;
    }
  }
  Relation& r = rel_[path_rel[at + weakest]];
  r.dropped = true;
  if (--indeg[r.second] == 0) ready.push_back(r.second);
  if (substantial) ++forced_;
}

void Orderer::order(const std::vector<std::size_t>& plain, std::vector<std::uint32_t>& out) {
  std::size_t n = s_.pieces.size();
  std::vector<std::uint32_t>& indeg = indeg_;
  std::vector<std::uint8_t>& emitted = emitted_;
  indeg.assign(n, 0);
  emitted.assign(n, 0);
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
  from_start_.assign(n, 0);
  for (const std::size_t u : plain) from_start_[u] = dead_[u] == 0 && indeg[u] == 0 ? 1 : 0;
  auto later = [this](std::uint32_t a, std::uint32_t b) { return before(b, a); };
  std::vector<std::uint32_t>& heap = heap_;
  heap.clear();
  auto push = [&](std::uint32_t u) {
    heap.push_back(u);
    std::push_heap(heap.begin(), heap.end(), later);
  };
  for (std::size_t u = base_; u < n; ++u) {
    if (dead_[u] == 0 && indeg[u] == 0) push(static_cast<std::uint32_t>(u));
  }
  out.clear();
  out.reserve(alive_count);
  std::vector<std::uint32_t> ready;
  std::size_t cursor = 0;
  while (out.size() < alive_count) {
    while (cursor < plain.size() && from_start_[plain[cursor]] == 0) ++cursor;
    std::uint32_t u;
    if (cursor < plain.size() && (heap.empty() || before(static_cast<std::uint32_t>(plain[cursor]), heap.front()))) {
      u = static_cast<std::uint32_t>(plain[cursor++]);
    } else if (!heap.empty()) {
      std::pop_heap(heap.begin(), heap.end(), later);
      u = heap.back();
      heap.pop_back();
    } else {
      ready.clear();
      if (!capped_) break_cycle(emitted, indeg, ready);
      if (capped_) break;
      n = s_.pieces.size();
      alive_count = 0;
      for (std::size_t k = 0; k < n; ++k) alive_count += dead_[k] == 0 ? 1 : 0;
      for (const std::uint32_t r : ready) push(r);
      continue;
    }
    emitted[u] = 1;
    out.push_back(u);
    for_links(u, [&](std::uint32_t id) {
      const Relation& r = rel_[id];
      if (r.first == u && live(r) && emitted[r.second] == 0 && --indeg[r.second] == 0) push(r.second);
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
}

constexpr std::size_t kFragmentsPerTask = 1024;

}  // namespace

struct Workspace::Impl {
  Store store;
  std::vector<Store> parts;
  detail::Grid grid;
  std::vector<std::vector<Relation>> found;
  OrderMemory memory;
  std::vector<double> fallbacks;
  std::vector<std::size_t> plain;
  poly3d::detail::OrderScratch scratch;
  std::vector<std::uint32_t> sequence;
  std::vector<std::uint32_t> count, first_at, last_at, piece_of;
  std::vector<std::uint8_t> joins;
};

Workspace::Workspace() : impl_(std::make_unique<Impl>()) {}
Workspace::~Workspace() = default;
Workspace::Workspace(Workspace&&) noexcept = default;
Workspace& Workspace::operator=(Workspace&&) noexcept = default;

void order(const Scene& scene, const Options& options, parallel::ThreadPool& pool, Workspace& workspace,
           Result& res) {
  Workspace::Impl& w = *workspace.impl_;
  Tolerances tol;
  res.fragments.clear();
  res.xy.clear();
  res.original.clear();
  res.capped = false;
  res.forced = res.cuts = res.pieces = 0;
  res.unplaced = detail::build_pieces(scene, options, tol, pool, w.store, w.parts);
  Store& s = w.store;
  const std::size_t polygons = scene.polygon_ids.size();
  const std::size_t segments = scene.segment_ids.size();
  const std::size_t items = polygons + segments + scene.marker_ids.size();
  const std::size_t base = s.pieces.size();

  // The plain order of the pieces as built (their index order is item order), by poly3d's depth sort.
  w.fallbacks.resize(base);
  for (std::size_t u = 0; u < base; ++u) w.fallbacks[u] = s.pieces[u].fallback;
  w.plain.resize(base);
  poly3d::detail::order_by_depth(w.fallbacks.data(), base, w.plain.data(), w.scratch);

  const double factor = options.cap_factor >= 1.0 ? options.cap_factor : 1.0;  // NaN too
  const auto max_cuts = static_cast<std::size_t>(std::min((factor - 1.0) * static_cast<double>(items), 1e15));
  {
    Orderer orderer(s, tol, max_cuts, w.memory);
    detail::find_relations(s, tol, pool, w.grid, w.found, orderer.relations());
    orderer.link();
    orderer.resolve_intersections();
    orderer.order(w.plain, w.sequence);
    res.capped = orderer.capped();
    res.forced = orderer.forced();
    res.cuts = orderer.cuts();
  }
  const std::vector<std::uint32_t>& sequence = w.sequence;
  res.pieces = sequence.size();

  // An item whose pieces all follow one another is drawn whole: painting them in a row is painting the item.
  // (Unless the pieces do not add up to the item: the diagonals of a quad that folds over on screen.)
  w.count.assign(items, 0);
  w.first_at.resize(items);
  w.last_at.resize(items);
  w.joins.assign(items, 1);
  for (std::uint32_t k = 0; k < sequence.size(); ++k) {
    const Piece& p = s.pieces[sequence[k]];
    if (w.count[p.item]++ == 0) w.first_at[p.item] = k;
    w.last_at[p.item] = k;
    w.joins[p.item] &= p.joins ? 1 : 0;
  }
  auto whole = [&](std::uint32_t item) {
    return w.joins[item] != 0 && w.last_at[item] - w.first_at[item] + 1 == w.count[item];
  };
  const auto item_base = [&](Kind kind) -> std::uint32_t {
    return kind == Kind::Polygon ? 0 : kind == Kind::Segment ? static_cast<std::uint32_t>(polygons)
                                                              : static_cast<std::uint32_t>(polygons + segments);
  };
  // The fragments with their places first, then their vertices on the pool.
  std::size_t vertices = 0;
  res.fragments.reserve(sequence.size());
  for (std::uint32_t k = 0; k < sequence.size(); ++k) {
    const Piece& p = s.pieces[sequence[k]];
    const bool is_whole = whole(p.item);
    if (is_whole && w.first_at[p.item] != k) continue;
    const std::uint32_t source = p.item - item_base(p.kind);
    Fragment f{p.kind, is_whole, source, 0, static_cast<std::uint32_t>(vertices), p.count};
    switch (p.kind) {
      case Kind::Polygon:
        f.id = scene.polygon_ids[source];
        if (is_whole) {
          f.count = static_cast<std::uint32_t>(scene.polygon_offsets[source + 1] - scene.polygon_offsets[source]);
        }
        break;
      case Kind::Segment:
        f.id = scene.segment_ids[source];
        if (is_whole) f.count = 2;
        break;
      case Kind::Marker:
        f.id = scene.marker_ids[source];
        f.count = 1;
        break;
    }
    vertices += f.count;
    if (vertices >= std::numeric_limits<std::uint32_t>::max()) throw InternalFault("visibility scene: too many vertices");
    res.fragments.push_back(f);
  }
  res.xy.resize(2 * vertices);
  res.original.resize(vertices);
  const std::size_t tasks = (res.fragments.size() + kFragmentsPerTask - 1) / kFragmentsPerTask;
  // The piece of each fragment (for a whole item, its first piece).
  std::vector<std::uint32_t>& piece_of = w.piece_of;
  piece_of.clear();
  for (std::uint32_t k = 0; k < sequence.size(); ++k) {
    const std::uint32_t item = s.pieces[sequence[k]].item;
    if (!whole(item) || w.first_at[item] == k) piece_of.push_back(sequence[k]);
  }
  parallel::parallel_for(pool, tasks, 1, [&](std::size_t t) {
    const std::size_t end = std::min(res.fragments.size(), (t + 1) * kFragmentsPerTask);
    for (std::size_t i = t * kFragmentsPerTask; i < end; ++i) {
      const Fragment& f = res.fragments[i];
      double* xy = res.xy.data() + 2 * std::size_t{f.first};
      std::uint8_t* flags = res.original.data() + f.first;
      const double* from = nullptr;  // x, y, z per point
      if (!f.whole) {
        const Piece& p = s.pieces[piece_of[i]];
        const Vec2* v = s.vertices(p);
        for (std::uint32_t j = 0; j < f.count; ++j) {
          xy[2 * j] = v[j].x;
          xy[2 * j + 1] = v[j].y;
          flags[j] = s.flags[p.first + j];
        }
        continue;
      }
      switch (f.kind) {
        case Kind::Polygon:
          from = scene.polygon_xyz.data() + 3 * static_cast<std::size_t>(scene.polygon_offsets[f.source]);
          break;
        case Kind::Segment:
          from = scene.segment_xyz.data() + 6 * std::size_t{f.source};
          break;
        case Kind::Marker:
          from = scene.marker_xyz.data() + 3 * std::size_t{f.source};
          break;
      }
      for (std::uint32_t j = 0; j < f.count; ++j) {
        xy[2 * j] = from[3 * j];
        xy[2 * j + 1] = from[3 * j + 1];
        flags[j] = 1;
      }
    }
  });
}

Result order(const Scene& scene, const Options& options, parallel::ThreadPool& pool) {
  Workspace workspace;
  Result res;
  order(scene, options, pool, workspace, res);
  return res;
}

Result order(const Scene& scene, const Options& options) { return order(scene, options, parallel::current_pool()); }

}  // namespace korvex::visibility
