// Cutting intersections, Kahn's order and the breaking of cycles.
#include "visibility/orderer.hpp"

#include <algorithm>
#include <cmath>
#include <functional>
#include <limits>

#include "common/assert.hpp"
#include "parallel/parallel_for.hpp"

namespace korvex::visibility::detail {

namespace {

// Running sums in place: a[k] becomes a[0] + ... + a[k]. (The sum stays in a register: adding each entry to the
// one just stored would wait for that store at every step.)
void prefix_sums(std::uint32_t* a, std::size_t n) noexcept {
  std::uint32_t sum = 0;
  for (std::size_t k = 0; k < n; ++k) {
    sum += a[k];
    a[k] = sum;
  }
}

// The shortest cycle among the places not removed, into `cycle` (empty when there is none): a breadth-first
// search from each place back to itself. Each edge looked at takes one from `work`.
void shortest_cycle(const std::vector<std::vector<std::uint32_t>>& adj, const std::vector<std::uint8_t>& removed,
                    std::vector<std::uint32_t>& cycle, std::size_t& work) {
  constexpr std::uint32_t kNone = std::numeric_limits<std::uint32_t>::max();
  const std::size_t n = adj.size();
  cycle.clear();
  std::vector<std::uint32_t> from(n), queue;
  for (std::uint32_t s = 0; s < n && work > 0; ++s) {
    if (removed[s] != 0) continue;
    std::fill(from.begin(), from.end(), kNone);
    queue.assign(1, s);
    std::uint32_t last = kNone;  // the place whose successor is s
    for (std::size_t k = 0; k < queue.size() && last == kNone; ++k) {
      const std::uint32_t u = queue[k];
      work -= std::min(work, adj[u].size());
      for (const std::uint32_t v : adj[u]) {
        if (removed[v] != 0) continue;
        if (v == s) {
          last = u;
          break;
        }
        if (from[v] == kNone) {
          from[v] = u;
          queue.push_back(v);
        }
      }
    }
    if (last == kNone) continue;
    std::vector<std::uint32_t> found{s};
    for (std::uint32_t u = last; u != s; u = from[u]) found.push_back(u);
    if (cycle.empty() || found.size() < cycle.size()) cycle = std::move(found);
    if (cycle.size() <= 2) return;
  }
}

// Whether removing at most `budget` places leaves no cycle: a search that removes in turn each member of the
// shortest cycle left. False, too, once `work` is used up.
bool breakable(const std::vector<std::vector<std::uint32_t>>& adj, std::vector<std::uint8_t>& removed,
               std::size_t budget, std::size_t& work) {
  std::vector<std::uint32_t> cycle;
  shortest_cycle(adj, removed, cycle, work);
  if (work == 0) return false;
  if (cycle.empty()) return true;
  if (budget == 0) return false;
  for (const std::uint32_t u : cycle) {
    removed[u] = 1;
    const bool done = breakable(adj, removed, budget - 1, work);
    removed[u] = 0;
    if (done) return true;
  }
  return false;
}

}  // namespace

void Orderer::link() {
  base_ = static_cast<std::uint32_t>(s_.pieces.size());
  for (std::size_t u = 0; u < has_extra_.size(); ++u) {  // the lists of the last call, kept for their memory
    if (has_extra_[u] != 0) extra_[u].clear();
  }
  has_extra_.assign(base_, 0);
  dead_.assign(base_, 0);
  child_.assign(base_, kUncut);
  root_.resize(base_);
  for (std::uint32_t u = 0; u < base_; ++u) root_[u] = u;
  tested_.clear();
  settled_span_.assign(base_, kUnknown);
  settled_items_.clear();
  group_.item.resize(base_);  // (rank() fills these; grow() adds the parts of cuts as they come)
  grow();
  // Counts summed to each list's end; then relations in descending order, each placed just below its pieces'
  // current ends, which leaves every list ascending and link_start_[u] at its beginning.
  link_start_.assign(base_ + 1, 0);
  for (const Relation& r : rel_) {
    ++link_start_[r.first];
    ++link_start_[r.second];
  }
  prefix_sums(link_start_.data(), base_ + 1);
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

bool Orderer::split(std::uint32_t u, const double* g, double snap) {
  const Piece& p = s_.pieces[u];
  return cut_piece(s_.vertices(p), s_.flags.data() + p.first, g, p.count, snap, lo_, lo_flags_, hi_, hi_flags_) &&
         Store::substantial(lo_.data(), lo_.size(), tol_) && Store::substantial(hi_.data(), hi_.size(), tol_);
}

bool Orderer::cut(std::uint32_t u, const double* g, double snap, std::uint32_t& lo, std::uint32_t& hi) {
  if (cuts_ >= max_cuts_) {
    capped_ = true;
    return false;
  }
  if (!split(u, g, snap)) return false;
  Piece part = s_.pieces[u];
  part.whole = false;
  lo = s_.add(part, lo_.data(), lo_flags_.data(), lo_.size());
  hi = s_.add(part, hi_.data(), hi_flags_.data(), hi_.size());
  grow();
  KORVEX_ASSERT(hi == lo + 1, "the two parts of a cut are consecutive");
  child_[u] = lo;
  root_[lo] = root_[hi] = root_[u];
  dead_[u] = 1;
  if (u < emitted_.size()) emitted_[u] = 1;  // while ordering, dead counts as emitted
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
  const double size_a = s_.size(pa);
  const double size_b = s_.size(pb);
  if (pa.kind != pb.kind ? pb.kind > pa.kind : (size_b < size_a || (size_b == size_a && b > a))) {
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

bool Orderer::find_cycle(const std::vector<std::uint8_t>& emitted, std::vector<std::uint32_t>& cycle,
                         std::vector<std::uint32_t>& cycle_rel) {
  const std::size_t n = s_.pieces.size();
  while (scan_ < n && (dead_[scan_] != 0 || emitted[scan_] != 0)) ++scan_;
  KORVEX_ASSERT(scan_ < n, "a piece is left when the order is stuck");
  // Walk back along predecessors that are left until a piece repeats. Positions on the path are found by a
  // linear search while it is short and by a stamp per piece once it is long.
  constexpr std::uint32_t kNone = std::numeric_limits<std::uint32_t>::max();
  std::vector<std::uint32_t> path;
  std::vector<std::uint32_t> path_rel;  // the relation from the predecessor of path[k] to path[k]
  std::vector<std::uint32_t> stamp;
  std::uint32_t u = static_cast<std::uint32_t>(scan_);
  std::size_t at = 0;
  for (;;) {
    if (path.size() == 64) {
      stamp.assign(n, kNone);
      for (std::size_t k = 0; k < path.size(); ++k) stamp[path[k]] = static_cast<std::uint32_t>(k);
    }
    if (stamp.empty()) {
      at = static_cast<std::size_t>(std::find(path.begin(), path.end(), u) - path.begin());
    } else {
      at = stamp[u] == kNone ? path.size() : stamp[u];
    }
    if (at < path.size()) break;
    if (!stamp.empty()) stamp[u] = static_cast<std::uint32_t>(path.size());
    path.push_back(u);
    std::uint32_t pred = kNone;
    for_links(u, [&](std::uint32_t id) {
      const Relation& r = rel_[id];
      if (pred == kNone && live(r) && !r.intersect && r.second == u && emitted[r.first] == 0) {
        pred = r.first;
        path_rel.push_back(id);
      }
    });
    KORVEX_ASSERT(pred != kNone, "a piece that is not ready has a predecessor");
    u = pred;
  }
  walk_steps_ += path.size();
  if (walk_steps_ > 4 * n + 4096) return false;
  cycle.assign(path.begin() + static_cast<std::ptrdiff_t>(at), path.end());
  cycle_rel.assign(path_rel.begin() + static_cast<std::ptrdiff_t>(at), path_rel.end());
  return true;
}

bool Orderer::cut_cycle(const std::vector<std::uint32_t>& cycle, std::vector<std::uint8_t>& emitted,
                        std::vector<std::uint32_t>& indeg, std::vector<std::uint32_t>& ready) {
  // Member t is painted after cycle[t + 1] and before cycle[t - 1] (cyclically): it overlaps the first in region
  // r1 and the second in r2. A cut of the member that puts r1 and r2 on different sides breaks the cycle. Cuts
  // along the plane of a neighbour in the cycle come first: the faces of one solid then all get cut along one
  // plane, so their parts stay in step (cuts along unrelated lines leave parts that overlap each other anew).
  // Failing those, a line between r1 and r2. Among each kind, the cut farthest from both regions.
  struct Candidate {
    bool plane;
    double gap;  // screen distance of the regions from the cut
    std::uint32_t q;  // the member cut
    std::uint32_t splitter;
    double nx, ny, c;  // the line, when not a plane
  };
  std::vector<Candidate> candidates;
  // The cuts of q that put its overlaps with x (painted before it) and p (after it) on different sides.
  auto propose = [&](std::uint32_t q, std::uint32_t x, std::uint32_t p) {
    const Piece& pq = s_.pieces[q];
    if (pq.kind == Kind::Marker) return;
    overlap_region(s_, x, q, tol_, w_, r1_);
    overlap_region(s_, q, p, tol_, w_, r2_);
    if (r1_.empty() || r2_.empty()) return;
    for (const std::uint32_t splitter : {x, p}) {
      const Piece& ps = s_.pieces[splitter];
      if (ps.kind != Kind::Polygon) continue;  // the plane of a segment or marker is only a device
      const double slope = norm(Vec2{pq.plane.a - ps.plane.a, pq.plane.b - ps.plane.b});
      if (!(slope > 0.0)) continue;
      double lo1, hi1, lo2, hi2;  // q's depth minus the splitter's over the two regions
      depth_range(pq, ps, r1_.data(), r1_.size(), lo1, hi1);
      depth_range(pq, ps, r2_.data(), r2_.size(), lo2, hi2);
      const double gap = std::max(std::min(-hi1, lo2), std::min(-hi2, lo1)) / slope;
      if (gap >= -tol_.len) candidates.push_back({true, gap, q, splitter, 0.0, 0.0, 0.0});
    }
    Candidate line{false, 0.0, q, 0, 0.0, 0.0, 0.0};
    line.gap = separating_line(r1_.data(), r1_.size(), r2_.data(), r2_.size(), line.nx, line.ny, line.c);
    if (line.gap >= -tol_.len) candidates.push_back(line);
  };
  const std::size_t len = cycle.size();
  for (std::size_t t = 0; t < len; ++t) propose(cycle[t], cycle[(t + 1) % len], cycle[(t + len - 1) % len]);
  // A plane that has cut before is taken again where it can be (one plane through a solid cuts all its faces
  // in step), then the widest gap.
  auto reused = [&](const Candidate& c) {
    return c.plane && std::find(splitters_.begin(), splitters_.end(), s_.pieces[c.splitter].item) != splitters_.end();
  };
  auto earlier = [&](const Candidate& l, const Candidate& r) {
    if (l.plane != r.plane) return l.plane;
    if (reused(l) != reused(r)) return reused(l);
    return l.gap > r.gap;
  };
  std::stable_sort(candidates.begin(), candidates.end(), earlier);
  auto values = [&](const Candidate& cand) {
    const Piece& p = s_.pieces[cand.q];
    g_.resize(p.count);
    const Vec2* v = s_.vertices(p);
    for (std::uint32_t k = 0; k < p.count; ++k) {
      g_[k] = cand.plane ? p.plane.at(v[k]) - s_.pieces[cand.splitter].plane.at(v[k])
                         : (cand.nx * v[k].x + cand.ny * v[k].y) - cand.c;
    }
  };
  // Several cycles may share pieces, and a cut of one of those can break them all: when the cycles tied to this
  // one are few, the cut that leaves the fewest is taken first (by score(); on a tie the first in the order
  // above). Each cut is made on trial and taken back.
  if (candidates.size() > 1 && cycle_component(cycle[0], emitted) && comp_.size() <= kWidest) {
    std::size_t best = candidates.size();
    std::uint64_t least = std::numeric_limits<std::uint64_t>::max();
    for (std::size_t k = 0; k < candidates.size() && least > 0; ++k) {
      values(candidates[k]);
      if (!split(candidates[k].q, g_.data(), candidates[k].plane ? tol_.z : tol_.len)) continue;
      const std::uint64_t left = score(candidates[k].q);
      if (left < least) {
        least = left;
        best = k;
      }
    }
    if (best < candidates.size()) {
      const auto at = candidates.begin() + static_cast<std::ptrdiff_t>(best);
      std::rotate(candidates.begin(), at, at + 1);
    }
  }
  for (const Candidate& cand : candidates) {
    const std::uint32_t q = cand.q;
    values(cand);
    std::uint32_t parts[2];
    if (!cut(q, g_.data(), cand.plane ? tol_.z : tol_.len, parts[0], parts[1])) {
      if (capped_) return false;
      continue;
    }
    if (cand.plane && !reused(cand)) splitters_.push_back(s_.pieces[cand.splitter].item);
    inherit(q, parts, emitted, indeg, ready);
    return true;
  }
  return false;
}

bool Orderer::cycle_component(std::uint32_t start, const std::vector<std::uint8_t>& emitted) {
  // The pieces left that start reaches and that reach start: two searches, each bounded. comp_local_ and
  // reach_ stay all kUncut and 0 between calls (only the entries touched are reset).
  constexpr std::size_t kBudget = 256;
  const std::size_t n = s_.pieces.size();
  comp_local_.resize(n, kUncut);
  reach_.resize(n, 0);  // bit 1: reached forwards, bit 2: backwards
  for (const std::uint32_t u : comp_) comp_local_[u] = kUncut;
  comp_.clear();
  touched_.clear();
  bool within = true;
  for (const std::uint8_t dir : {std::uint8_t{1}, std::uint8_t{2}}) {
    if ((reach_[start] & 3) == 0) touched_.push_back(start);
    reach_[start] |= dir;
    std::vector<std::uint32_t> stack{start};
    std::size_t seen = 1;
    while (!stack.empty() && within) {
      const std::uint32_t u = stack.back();
      stack.pop_back();
      for_links(u, [&](std::uint32_t id) {
        const Relation& r = rel_[id];
        if (!live(r) || r.intersect || (dir == 1 ? r.first : r.second) != u) return;
        const std::uint32_t v = dir == 1 ? r.second : r.first;
        if (emitted[v] != 0 || (reach_[v] & dir) != 0) return;
        if (reach_[v] == 0) touched_.push_back(v);
        reach_[v] |= dir;
        ++seen;
        stack.push_back(v);
      });
      within = seen <= kBudget;
    }
  }
  std::sort(touched_.begin(), touched_.end());  // places in index order, whatever the search order
  for (const std::uint32_t u : touched_) {
    if (within && reach_[u] == 3) {
      comp_local_[u] = static_cast<std::uint32_t>(comp_.size());
      comp_.push_back(u);
    }
    reach_[u] = 0;
  }
  return within;
}

std::uint64_t Orderer::score(std::uint32_t q) {
  // The component with q replaced by the two parts in lo_ and hi_, which take q's relations where they still
  // overlap (as inherit() would give them): the parts are added to the store for the test and taken out again.
  const std::size_t m = comp_.size();
  std::vector<std::vector<std::uint32_t>> adj(m + 2);
  for (std::size_t i = 0; i < m; ++i) {
    const std::uint32_t u = comp_[i];
    if (u == q) continue;
    for_links(u, [&](std::uint32_t id) {
      const Relation& r = rel_[id];
      if (live(r) && !r.intersect && r.first == u && r.second != q && comp_local_[r.second] != kUncut) {
        adj[i].push_back(comp_local_[r.second]);
      }
    });
  }
  const std::size_t pieces = s_.pieces.size();
  const std::size_t verts = s_.verts.size();
  const std::uint32_t lo = s_.add(s_.pieces[q], lo_.data(), lo_flags_.data(), lo_.size());
  s_.add(s_.pieces[q], hi_.data(), hi_flags_.data(), hi_.size());
  partners(q, partners_);
  for (const auto& [other, q_first] : partners_) {
    if (comp_local_[other] == kUncut) continue;
    for (std::uint32_t c = 0; c < 2; ++c) {
      overlap_region(s_, lo + c, other, tol_, w_, r1_, true);
      if (r1_.empty()) continue;
      if (q_first) {
        adj[m + c].push_back(comp_local_[other]);
      } else {
        adj[comp_local_[other]].push_back(static_cast<std::uint32_t>(m + c));
      }
    }
  }
  s_.pieces.resize(pieces);
  s_.verts.resize(verts);
  s_.flags.resize(verts);
  s_.edges.resize(verts);
  // The simple cycles of up to kLength pieces, each counted once from its smallest place, by a depth-first
  // search bounded in length and in steps.
  constexpr std::size_t kLength = 6;
  constexpr std::size_t kSteps = 1 << 16;
  const std::size_t total = m + 2;
  const std::uint32_t skip = comp_local_[q];
  std::vector<std::uint8_t> on_path(total, 0);
  std::vector<std::pair<std::uint32_t, std::uint32_t>> path;  // place, next successor to follow
  std::size_t left = 0;
  std::size_t steps = 0;
  for (std::uint32_t first = 0; first < total && steps < kSteps; ++first) {
    if (first == skip) continue;
    path.assign(1, {first, 0});
    on_path[first] = 1;
    while (!path.empty() && steps < kSteps) {
      auto& [u, k] = path.back();
      if (k == adj[u].size() || path.size() > kLength) {
        on_path[u] = 0;
        path.pop_back();
        continue;
      }
      const std::uint32_t v = adj[u][k++];
      ++steps;
      if (v == first) {
        ++left;
      } else if (v > first && on_path[v] == 0 && path.size() < kLength) {
        on_path[v] = 1;
        path.emplace_back(v, 0);
      }
    }
    for (const auto& entry : path) on_path[entry.first] = 0;
  }
  // Before the count, the fewest pieces whose removal would leave no cycle: as a cut can do no more for the
  // cycles than a removal, that many cuts at least are still to make. Searched while few, with bounded work
  // (past the bound the count is taken as above the few).
  constexpr std::size_t kFeedback = 4;
  std::size_t work = std::size_t{1} << 18;
  std::vector<std::uint8_t> removed(total, 0);
  removed[skip] = 1;
  std::size_t feedback = 0;
  while (feedback <= kFeedback && !breakable(adj, removed, feedback, work)) {
    feedback = work == 0 ? kFeedback + 1 : feedback + 1;
  }
  return (std::uint64_t{feedback} << 32) | std::min<std::uint64_t>(left, 0xffffffffu);
}

void Orderer::inherit(std::uint32_t q, const std::uint32_t (&parts)[2], std::vector<std::uint8_t>& emitted,
                      std::vector<std::uint32_t>& indeg, std::vector<std::uint32_t>& ready) {
  // The parts take q's relations where they still overlap, in q's direction (a part of a piece keeps the depth
  // relation of the whole; inheriting also keeps every ready piece ready). Those with a partner this order has
  // placed already too: it waits for nothing now, but a later order is made from the relations as they stand.
  indeg.resize(s_.pieces.size(), 0);
  emitted.resize(s_.pieces.size(), 0);
  partners(q, partners_);
  std::vector<std::uint32_t> released;
  for (const auto& [m, q_first] : partners_) {
    const bool placed = emitted[m] != 0;
    if (placed && q_first) continue;  // (only where the relation was given up to break a cycle)
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
        if (!placed) ++indeg[c];
      }
    }
  }
  for (const std::uint32_t m : released) {
    if (indeg[m] == 0) ready.push_back(m);
  }
  for (const std::uint32_t c : parts) {
    if (indeg[c] == 0) ready.push_back(c);
  }
}

void Orderer::drop_weakest(const std::vector<std::uint32_t>& cycle, const std::vector<std::uint32_t>& cycle_rel,
                           std::vector<std::uint32_t>& indeg, std::vector<std::uint32_t>& ready) {
  // The relation of the cycle whose overlap is smallest, measured strictly (an overlap that exists only within
  // the tolerance counts as none). Only an overlap wider than a sliver can show: cycles closed by slivers come
  // from rounding, or from neighbours at a fold.
  const std::size_t len = cycle.size();
  std::size_t weakest = 0;
  double least = std::numeric_limits<double>::infinity();
  bool visible = false;
  for (std::size_t t = 0; t < len; ++t) {
    overlap_region(s_, cycle[(t + 1) % len], cycle[t], tol_, w_, r1_, true);
    double measure = -1.0;
    if (r1_.size() == 1) measure = 0.0;
    if (r1_.size() == 2) measure = norm(r1_[1] - r1_[0]);
    if (r1_.size() >= 3) measure = 0.5 * std::abs(twice_area(r1_.data(), r1_.size()));
    if (measure < least) {
      least = measure;
      weakest = t;
      visible = r1_.size() == 2 ? measure > tol_.sliver : measure > tol_.sliver * tol_.sliver;
    }
  }
  Relation& r = rel_[cycle_rel[weakest]];
  r.dropped = true;
  if (r.first < listed_pieces_ && cycle_rel[weakest] < listed_) {
    // Its entry among the successors points back at its first piece, which is emitted before the list is read.
    const std::uint32_t at = slot(r.first);
    for (std::uint32_t k = succ_start_[at]; k < succ_start_[at + 1]; ++k) {
      if (succ_[k].relation == cycle_rel[weakest]) succ_[k].piece = r.first;
    }
  }
  if (--indeg[r.second] == 0) ready.push_back(r.second);
  if (visible) ++forced_;
}

void Orderer::break_cycle(std::vector<std::uint8_t>& emitted, std::vector<std::uint32_t>& indeg,
                          std::vector<std::uint32_t>& ready) {
  std::vector<std::uint32_t> cycle, cycle_rel;
  if (!find_cycle(emitted, cycle, cycle_rel)) {
    capped_ = true;  // too many cycles to search: the rest goes in the plain order
    return;
  }
  if (cut_cycle(cycle, emitted, indeg, ready) || capped_) return;
  drop_weakest(cycle, cycle_rel, indeg, ready);
}

void Orderer::alive_parts(std::uint32_t u, std::vector<std::uint32_t>& out) const {
  if (child_[u] == kUncut) {
    out.push_back(u);
    return;
  }
  alive_parts(child_[u], out);
  alive_parts(child_[u] + 1, out);
}

bool Orderer::add_tested(std::uint32_t far, std::uint32_t near, Outcome outcome) {
  const std::uint32_t a = std::min(far, near);
  const std::uint32_t b = std::max(far, near);
  switch (outcome) {
    case Outcome::None:
      return false;
    case Outcome::AFirst:
      add_relation({a, b, false});
      return true;
    case Outcome::BFirst:
      add_relation({b, a, false});
      return true;
    case Outcome::Intersect:  // not for depths apart, but for rounding: the farther first
      add_relation({far, near, false});
      return true;
  }
  return false;
}

bool Orderer::confirm(const Grid& grid, const std::vector<std::uint32_t>& sequence, bool all,
                      parallel::ThreadPool& pool) {
  if (capped_) return false;  // the order is partly plain already
  // A settled pair painted the wrong way has its farther piece held back (order() lists those): the farther one
  // comes first in the plain order, and so do its parts. The pairs are found and tested on the pool, a run of
  // the pieces looked at per task (nothing changes meanwhile, and no pair comes up twice in one call), then
  // taken in order.
  // The settled partners of each piece on the grid do not change: they are looked up once over all calls.
  const std::vector<std::uint32_t>& look = all ? sequence : held_;
  constexpr std::size_t kLookedPerTask = 32;
  const std::size_t tasks = (look.size() + kLookedPerTask - 1) / kLookedPerTask;
  if (pending_.size() < tasks) pending_.resize(tasks);
  if (settled_found_.size() < tasks) settled_found_.resize(tasks);
  parallel::parallel_for(pool, tasks, 1, [&](std::size_t t) {
    std::vector<Pending>& pending = pending_[t];
    std::vector<std::uint32_t>& found = settled_found_[t];
    pending.clear();
    found.clear();
    Scratch w;
    std::vector<std::uint32_t> parts;
    const std::size_t end = std::min(look.size(), (t + 1) * kLookedPerTask);
    for (std::size_t k = t * kLookedPerTask; k < end; ++k) {
      const std::uint32_t u = look[k];
      const std::uint32_t b = root_[u];
      const std::uint32_t* first;
      const std::uint32_t* last;
      if (settled_span_[b] != kUnknown) {
        first = settled_items_.data() + (settled_span_[b] >> 32);
        last = settled_items_.data() + (settled_span_[b] & 0xffffffffu);
      } else {
        const std::size_t at = found.size();
        found.insert(found.end(), {b, 0});
        grid.settled_partners(b, tol_.z, found);
        found[at + 1] = static_cast<std::uint32_t>(found.size() - at - 2);
        first = found.data() + at + 2;
        last = found.data() + found.size();
      }
      for (const std::uint32_t* q = first; q != last; ++q) {
        parts.clear();
        alive_parts(*q, parts);
        for (const std::uint32_t n : parts) {
          if ((all || place_[u] > place_[n]) && !tested_.contains((std::uint64_t{u} << 32) | n)) {
            pending.push_back({u, n, relate(s_, std::min(u, n), std::max(u, n), tol_, w).outcome});
          }
        }
      }
    }
  });
  bool added = false;
  for (std::size_t t = 0; t < tasks; ++t) {
    for (const Pending& p : pending_[t]) {
      tested_.insert((std::uint64_t{p.far} << 32) | p.near);
      added |= add_tested(p.far, p.near, p.outcome);
    }
    const std::vector<std::uint32_t>& found = settled_found_[t];
    for (std::size_t at = 0; at < found.size(); at += 2 + found[at + 1]) {
      const std::uint32_t b = found[at];
      if (settled_span_[b] != kUnknown) continue;  // looked up twice, for two parts of one piece
      const std::uint64_t begin = settled_items_.size();
      settled_items_.insert(settled_items_.end(), found.begin() + static_cast<std::ptrdiff_t>(at + 2),
                            found.begin() + static_cast<std::ptrdiff_t>(at + 2 + found[at + 1]));
      settled_span_[b] = (begin << 32) | settled_items_.size();
    }
  }
  return added;
}

void Orderer::rank(const std::vector<std::size_t>& plain) {
  const std::size_t base = plain.size();
  item_rank_.resize(base == 0 ? 0 : s_.pieces[base - 1].item + 1);
  prio_.resize(base);
  rank_of_.resize(base);
  if (group_.item.size() < base) group_.item.resize(base);  // (past base: the parts of cuts made already)
  group_.decomposed.clear();
  for (std::size_t k = 0; k < base; ++k) rank_of_[plain[k]] = static_cast<std::uint32_t>(k);
  for (std::size_t u = 0; u < base; ++u) {  // an item's pieces are consecutive, its first one placed first
    const std::uint32_t item = s_.pieces[u].item;
    group_.item[u] = item;
    if (!s_.pieces[u].whole) group_.decomposed.push_back(static_cast<std::uint32_t>(u));
    if (u == 0 || item != s_.pieces[u - 1].item) item_rank_[item] = rank_of_[u];
    prio_[u] = (std::uint64_t{item_rank_[item]} << 32) | u;
  }
  prio_by_rank_.resize(base);
  for (std::size_t k = 0; k < base; ++k) prio_by_rank_[k] = prio_[plain[k]];
  // order() takes runs of free pieces by it.
  KORVEX_ASSERT(std::is_sorted(prio_by_rank_.begin(), prio_by_rank_.end(), std::less_equal<>()),
                "priorities grow strictly along the plain order");
  ranked_ = true;
}

void Orderer::order(const std::vector<std::size_t>& plain, std::vector<std::uint32_t>& out) {
  scan_ = 0;
  std::size_t n = s_.pieces.size();
  std::vector<std::uint32_t>& indeg = indeg_;
  std::vector<std::uint8_t>& emitted = emitted_;
  indeg.assign(n, 0);
  // From here on a dead piece counts as emitted (cut() keeps that up), so one byte tells whether a successor
  // still waits.
  emitted.assign(dead_.begin(), dead_.begin() + static_cast<std::ptrdiff_t>(n));
  std::size_t alive_count = n - static_cast<std::size_t>(std::count(emitted.begin(), emitted.end(), 1));
  // The plain order's tie-break as one integer per piece: the place of its item's first piece in the plain order,
  // then the piece (the plain order keeps an item's pieces together, in index order, and parts of cut pieces
  // follow them).
  KORVEX_ASSERT(plain.size() == base_, "the plain order covers the pieces that existed before any cut");
  if (!ranked_) rank(plain);
  // The successors of each piece over the live relations, listed once here (no relation changes direction from
  // now on), so that the loop below reads small arrays instead of the relations themselves. Relations added
  // while ordering (those of the parts of a cut) are met through extra_.
  listed_pieces_ = n;
  const auto listed = static_cast<std::uint32_t>(rel_.size());
  listed_ = listed;
  std::vector<std::uint32_t>& start = succ_start_;
  start.assign(n + 1, 0);
  // The ready pieces. Those that existed before any cut and have no relation (most of them) are ready throughout
  // and taken in the plain order: a place that walks the plain order over them. Those with relations are kept in
  // a set by their places in the plain order, the parts of cut pieces in a heap. The next piece is the first of
  // the three (a part or a related piece gains no relation with a free one while ordering: the relations added
  // then are those of the parts of a cut, with the partners of the piece cut).
  // The places that are not free are marked from the live relations and the dead pieces, a few thousand, rather
  // than by reading the state of every piece at random along the plain order; so are the related pieces that
  // are ready (each is the first of a live relation).
  std::vector<std::uint8_t>& free = free_;
  free.assign(base_, 1);
  for (std::uint32_t u = 0; u < base_; ++u) {
    if (dead_[u] != 0) free[rank_of_[u]] = 0;
  }
  for (const Relation& r : rel_) {
    if (live(r)) {
      KORVEX_ASSERT(!r.intersect, "every intersection is cut or settled before ordering");
      ++indeg[r.second];
      ++start[slot(r.first)];
      if (r.first < base_) free[rank_of_[r.first]] = 0;
      if (r.second < base_) free[rank_of_[r.second]] = 0;
    }
  }
  prefix_sums(start.data(), n + 1);
  succ_.resize(start[n]);
  ReadySet& ready_set = ready_;
  ready_set.clear(base_);
  for (std::uint32_t id = listed; id-- > 0;) {
    const Relation& r = rel_[id];
    if (!live(r)) continue;
    succ_[--start[slot(r.first)]] = {r.second, id};
    if (r.first < base_ && indeg[r.first] == 0) ready_set.insert(rank_of_[r.first]);
  }
  std::size_t next_free = 0;  // the first free place not painted yet (base_: none)
  while (next_free < base_ && free[next_free] == 0) ++next_free;
  std::vector<std::uint64_t>& heap = heap_;
  heap.clear();
  auto push = [&](std::uint32_t u) {
    if (u < base_) {
      ready_set.insert(rank_of_[u]);
      return;
    }
    heap.push_back(priority(u));
    std::push_heap(heap.begin(), heap.end(), std::greater<>());
  };
  for (std::size_t u = base_; u < n; ++u) {
    if (dead_[u] == 0 && indeg[u] == 0) push(static_cast<std::uint32_t>(u));
  }
  // The order is written at `m` into `out`, kept a place longer than the pieces to paint (see below).
  std::size_t m = 0;
  out.resize(alive_count + 1);
  place_.resize(n);
  held_.clear();
  std::uint64_t latest = 0;  // the greatest priority painted so far
  std::vector<std::uint32_t> ready;
  // The free pieces are marked emitted only when the order is stuck (by then all are painted: they are always
  // ready), for the search of a cycle; their places are written at the end.
  bool free_marked = false;
  while (m < alive_count) {
    std::uint32_t u;
    std::uint64_t p;
    const std::size_t k = ready_set.empty() ? base_ : ready_set.min();
    // The free pieces placed before the first other ready piece, in a row (none of them releases anything, and
    // none is painted after a piece the plain order puts later).
    std::uint64_t bound = k < base_ ? prio_by_rank_[k] : ~std::uint64_t{0};
    if (!heap.empty()) bound = std::min(bound, heap.front());
    // Priorities grow along the plain order, so they are the free ones among the places from next_free up to
    // the first whose priority reaches the bound. Most places are free, in no pattern: each place is written and
    // kept by counting it, without a branch (a place not kept is written over, at most at the spare place).
    if (next_free < base_ && prio_by_rank_[next_free] < bound) {
      std::uint32_t* const to = out.data();
      std::size_t f = next_free;
      std::size_t last = f;  // the last free place of the run
      do {
        to[m] = static_cast<std::uint32_t>(plain[f]);
        last = free[f] != 0 ? f : last;
        m += free[f];
      } while (++f < base_ && prio_by_rank_[f] < bound);
      latest = prio_by_rank_[last];
      for (next_free = f; next_free < base_ && free[next_free] == 0;) ++next_free;
      continue;
    }
    if (k < base_ && (heap.empty() || prio_by_rank_[k] < heap.front())) {
      ready_set.erase(k);
      u = static_cast<std::uint32_t>(plain[k]);
      p = prio_by_rank_[k];
    } else if (!heap.empty()) {
      std::pop_heap(heap.begin(), heap.end(), std::greater<>());
      p = heap.back();
      u = static_cast<std::uint32_t>(p);
      heap.pop_back();
    } else {
      if (!free_marked) {
        for (std::size_t f = 0; f < base_; ++f) {
          if (free[f] != 0) emitted[plain[f]] = 1;
        }
        free_marked = true;
      }
      ready.clear();
      if (!capped_) break_cycle(emitted, indeg, ready);
      if (capped_) break;
      n = s_.pieces.size();
      place_.resize(n);
      alive_count = 0;
      for (std::size_t v = 0; v < n; ++v) alive_count += dead_[v] == 0 ? 1 : 0;
      out.resize(alive_count + 1);
      for (const std::uint32_t r : ready) push(r);
      continue;
    }
    if (p < latest) held_.push_back(u);  // painted after a piece the plain order puts later
    latest = std::max(latest, p);
    emitted[u] = 1;
    out[m++] = u;
    if (u < listed_pieces_) {
      const std::uint32_t at = slot(u);
      for (std::uint32_t e = start[at]; e < start[at + 1]; ++e) {
        const std::uint32_t v = succ_[e].piece;
        if (emitted[v] == 0 && --indeg[v] == 0) push(v);
      }
    }
    if (has_extra_[u] != 0) {
      for (const std::uint32_t id : extra_[u]) {
        const Relation& r = rel_[id];
        if (id >= listed && r.first == u && live(r) && emitted[r.second] == 0 && --indeg[r.second] == 0) {
          push(r.second);
        }
      }
    }
  }
  out.resize(m);
  for (std::size_t i = 0; i < m; ++i) place_[out[i]] = static_cast<std::uint32_t>(i);
  if (m == alive_count && group_items(out)) {
    // The places and the pieces held back, as the loop above keeps them, for the new order.
    held_.clear();
    latest = 0;
    for (std::size_t i = 0; i < m; ++i) {
      const std::uint32_t u = out[i];
      place_[u] = static_cast<std::uint32_t>(i);
      const std::uint64_t p = priority(u);
      if (p < latest) held_.push_back(u);
      latest = std::max(latest, p);
    }
  }
  if (out.size() < alive_count) {
    // Past the cap: the rest in the plain order.
    std::vector<std::uint64_t> rest;
    for (std::size_t u = 0; u < s_.pieces.size(); ++u) {
      if (dead_[u] == 0 && (u >= emitted.size() || emitted[u] == 0)) {
        rest.push_back(priority(static_cast<std::uint32_t>(u)));
      }
    }
    std::sort(rest.begin(), rest.end());
    for (const std::uint64_t r : rest) out.push_back(static_cast<std::uint32_t>(r));
  }
}

bool Orderer::group_items(std::vector<std::uint32_t>& out) {
  // An item's pieces are taken apart by the order only where the pieces of other items must come between them
  // (the nearer part of a polygon cut by another over the other) or where Kahn's order, taking the first ready
  // piece, has moved on to another item before the rest of one was ready. The latter are put back together:
  // each split costs the drawing a fragment and a seam to pad.
  GroupScratch& g = group_;
  const std::size_t m = out.size();
  const std::size_t items = item_rank_.size();
  constexpr std::uint32_t kNone = 0xffffffffu;
  // Only the pieces of an item built as several can be apart without a cut (the parts of a cut are left apart:
  // see below): nothing to do unless such an item, not cut since, is apart in the order.
  bool apart = false;
  for (std::size_t k = 0; k < g.decomposed.size() && !apart;) {
    const std::uint32_t it = g.item[g.decomposed[k]];
    std::uint32_t lo = kNone, hi = 0;
    bool cut = false;
    std::size_t end = k;
    for (; end < g.decomposed.size() && g.item[g.decomposed[end]] == it; ++end) {
      const std::uint32_t u = g.decomposed[end];
      cut |= dead_[u] != 0;  // (then its place is an old one)
      lo = std::min(lo, place_[u]);
      hi = std::max(hi, place_[u]);
    }
    apart = !cut && hi - lo + 1 != end - k;
    k = end;
  }
  if (!apart) return false;
  const auto item_of = [&g](std::uint32_t u) { return g.item[u]; };
  g.item_at.resize(m);
  g.first.assign(items, kNone);
  g.last.resize(items);
  g.count.assign(items, 0);
  g.cut.assign(items, 0);
  g.split.clear();
  for (std::size_t k = 0; k < m; ++k) {
    const std::uint32_t u = out[k];
    const std::uint32_t it = item_of(u);
    g.item_at[k] = it;
    if (g.count[it]++ == 0) {
      g.first[it] = static_cast<std::uint32_t>(k);
    } else if (g.item_at[k - 1] != it) {
      g.split.push_back(it);
    }
    g.last[it] = static_cast<std::uint32_t>(k);
    g.cut[it] |= u >= base_ ? 1 : 0;
  }
  // Nothing to do unless an item that was not cut is split (the parts of a cut nearly always lie on a cycle of
  // items, and finding the cycles is the larger part of the work).
  if (std::all_of(g.split.begin(), g.split.end(), [&g](std::uint32_t it) { return g.cut[it] != 0; })) return false;
  // The graph of items over the live relations, then the items on cycles (strongly connected components of more
  // than one item, by Tarjan's search without recursion): only those must stay apart.
  // The live relations once, as (first, second) pieces and their items: both graphs are read from these.
  g.links.clear();
  for (const Relation& r : rel_) {
    if (live(r)) g.links.push_back({r.first, r.second, item_of(r.first), item_of(r.second)});
  }
  g.succ_start.assign(items + 1, 0);
  for (const GroupScratch::Link& l : g.links) {
    if (l.first_item != l.second_item) ++g.succ_start[l.first_item + 1];
  }
  prefix_sums(g.succ_start.data(), items + 1);
  g.succ.resize(g.succ_start[items]);
  {
    std::vector<std::uint32_t>& at = g.indeg;  // a cursor per item while filling
    at.assign(g.succ_start.begin(), g.succ_start.end() - 1);
    for (const GroupScratch::Link& l : g.links) {
      if (l.first_item != l.second_item) g.succ[at[l.first_item]++] = l.second_item;
    }
  }
  g.cyclic.assign(items, 0);
  g.index.assign(items, kNone);
  g.low.resize(items);
  g.path.clear();
  g.frames.clear();  // pairs (item, next successor to look at)
  constexpr std::uint32_t kDone = kNone - 1;
  std::uint32_t counter = 0;
  for (std::uint32_t root = 0; root < items; ++root) {
    if (g.index[root] != kNone || g.succ_start[root] == g.succ_start[root + 1]) continue;
    g.index[root] = g.low[root] = counter++;
    g.path.push_back(root);
    g.frames.insert(g.frames.end(), {root, g.succ_start[root]});
    while (!g.frames.empty()) {
      const std::uint32_t v = g.frames[g.frames.size() - 2];
      std::uint32_t& e = g.frames.back();
      if (e < g.succ_start[v + 1]) {
        const std::uint32_t w = g.succ[e++];
        if (g.index[w] == kNone) {
          g.index[w] = g.low[w] = counter++;
          g.path.push_back(w);
          g.frames.insert(g.frames.end(), {w, g.succ_start[w]});
        } else if (g.index[w] != kDone) {  // on the path still
          g.low[v] = std::min(g.low[v], g.index[w]);
        }
        continue;
      }
      g.frames.resize(g.frames.size() - 2);
      if (!g.frames.empty()) {
        const std::uint32_t parent = g.frames[g.frames.size() - 2];
        g.low[parent] = std::min(g.low[parent], g.low[v]);
      }
      if (g.low[v] != g.index[v]) continue;
      // v roots a component: the items on the path from v up.
      const bool cycle = g.path.back() != v;
      std::uint32_t w;
      do {
        w = g.path.back();
        g.path.pop_back();
        g.index[w] = kDone;
        g.cyclic[w] = cycle ? 1 : 0;
      } while (w != v);
    }
  }
  if (std::all_of(g.split.begin(), g.split.end(), [&g](std::uint32_t it) { return g.cyclic[it] != 0; })) return false;
  // Nodes: an item off the cycles is one node, numbered by the place of its first piece in the order, and every
  // piece of an item on a cycle is one, numbered by its place; the number is the node's priority. Each item's
  // pieces are listed in the order.
  const auto node_of = [&](std::uint32_t u, std::uint32_t it) { return g.cyclic[it] != 0 ? place_[u] : g.first[it]; };
  g.member_start.assign(items + 1, 0);
  for (std::size_t it = 0; it < items; ++it) g.member_start[it + 1] = g.count[it];
  prefix_sums(g.member_start.data(), items + 1);
  g.members.resize(m);
  {
    std::vector<std::uint32_t>& at = g.low;  // the search is done: a cursor per item while filling
    at.assign(g.member_start.begin(), g.member_start.end() - 1);
    for (std::size_t k = 0; k < m; ++k) g.members[at[g.item_at[k]]++] = out[k];
  }
  // (Each link's nodes kept in its items' places: they are read twice.)
  g.succ_start.assign(m + 1, 0);
  for (GroupScratch::Link& l : g.links) {
    l.first_item = node_of(l.first, l.first_item);
    l.second_item = node_of(l.second, l.second_item);
    if (l.first_item != l.second_item) ++g.succ_start[l.first_item + 1];
  }
  prefix_sums(g.succ_start.data(), m + 1);
  g.succ.resize(g.succ_start[m]);
  g.indeg.assign(m, 0);
  {
    std::vector<std::uint32_t>& at = g.index;  // a cursor per node while filling
    at.assign(g.succ_start.begin(), g.succ_start.end() - 1);
    for (const GroupScratch::Link& l : g.links) {
      if (l.first_item == l.second_item) continue;
      g.succ[at[l.first_item]++] = l.second_item;
      ++g.indeg[l.second_item];
    }
  }
  // Kahn's order of the nodes, the ready node of the smallest number first. The order given is one that the
  // nodes almost keep: a place walks it, taking each node that is ready when reached; a node passed over while
  // not ready joins a heap when it becomes ready.
  const auto is_node = [&](std::size_t k) {
    const std::uint32_t it = g.item_at[k];
    return g.cyclic[it] != 0 || g.first[it] == k;
  };
  g.heap.clear();
  g.out.clear();
  std::size_t walk = 0;
  while (true) {
    while (walk < m && (!is_node(walk) || g.indeg[walk] != 0)) ++walk;  // (a node taken has indegree 0 still)
    std::uint32_t k;
    if (!g.heap.empty() && (walk == m || g.heap.front() < walk)) {
      std::pop_heap(g.heap.begin(), g.heap.end(), std::greater<>());
      k = g.heap.back();
      g.heap.pop_back();
    } else if (walk < m) {
      k = static_cast<std::uint32_t>(walk++);
    } else {
      break;
    }
    const std::uint32_t it = g.item_at[k];
    if (g.cyclic[it] != 0) {
      g.out.push_back(out[k]);
    } else {
      g.out.insert(g.out.end(), g.members.begin() + g.member_start[it], g.members.begin() + g.member_start[it + 1]);
    }
    for (std::uint32_t e = g.succ_start[k]; e < g.succ_start[k + 1]; ++e) {
      const std::uint32_t v = g.succ[e];
      if (--g.indeg[v] == 0 && v < walk) {
        g.heap.push_back(v);
        std::push_heap(g.heap.begin(), g.heap.end(), std::greater<>());
      }
    }
  }
  KORVEX_ASSERT(g.out.size() == m, "the items off cycles and the pieces on them are ordered without a cycle");
  if (std::equal(g.out.begin(), g.out.end(), out.begin())) return false;
  out.swap(g.out);
  return true;
}

}  // namespace korvex::visibility::detail
