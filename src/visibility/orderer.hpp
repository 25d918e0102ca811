// The order of the pieces: relations linked to pieces, intersections cut, Kahn's order with cycles broken by
// cuts. Internal header of visibility; runs on the calling thread only (but for confirm()'s tests, on the pool).
#pragma once

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

#include "visibility/pieces.hpp"

namespace korvex::parallel {
class ThreadPool;
}

namespace korvex::visibility::detail {

// A set of integers below a bound whose smallest member is found in a few steps: a bit per integer, and above
// those bits a bit per word that is not zero, and so on up to a single word.
class ReadySet {
 public:
  // Makes the set {i < bound : member(i)}.
  template <class F>
  void assign(std::size_t bound, F&& member) {
    clear(bound);
    std::vector<std::uint64_t>& leaves = levels_[0];
    for (std::size_t i = 0; i < bound; ++i) leaves[i / 64] |= static_cast<std::uint64_t>(member(i) ? 1 : 0) << (i % 64);
    for (std::size_t l = 1; l < levels_.size(); ++l) {
      for (std::size_t w = 0; w < levels_[l - 1].size(); ++w) {
        levels_[l][w / 64] |= static_cast<std::uint64_t>(levels_[l - 1][w] != 0 ? 1 : 0) << (w % 64);
      }
    }
  }
  // Makes the empty set of integers below `bound`.
  void clear(std::size_t bound) {
    std::size_t levels = 0;
    for (std::size_t words = bound;;) {
      words = std::max<std::size_t>((words + 63) / 64, 1);
      if (levels_.size() <= levels) levels_.emplace_back();
      levels_[levels++].assign(words, 0);
      if (words <= 1) break;
    }
    levels_.resize(levels);
    low_ = 0;
  }
  bool empty() const noexcept { return levels_.back()[0] == 0; }
  void insert(std::size_t i) noexcept {
    low_ = std::min(low_, i);
    for (auto& level : levels_) {
      const bool was_empty = level[i / 64] == 0;
      level[i / 64] |= std::uint64_t{1} << (i % 64);
      if (!was_empty) return;
      i /= 64;
    }
  }
  void erase(std::size_t i) noexcept {
    for (auto& level : levels_) {
      level[i / 64] &= ~(std::uint64_t{1} << (i % 64));
      if (level[i / 64] != 0) return;
      i /= 64;
    }
  }
  // The smallest member; the set must not be empty. Members are mostly taken in ascending order: the word of the
  // last smallest member is looked at first.
  std::size_t min() noexcept {
    const std::uint64_t near = levels_[0][low_ / 64] & (~std::uint64_t{0} << (low_ % 64));
    if (near != 0) return low_ = low_ / 64 * 64 + static_cast<std::size_t>(std::countr_zero(near));
    std::size_t i = 0;
    for (std::size_t l = levels_.size(); l-- > 0;) {
      i = 64 * i + static_cast<std::size_t>(std::countr_zero(levels_[l][i]));
    }
    return low_ = i;
  }

 private:
  std::vector<std::vector<std::uint64_t>> levels_;  // levels_[0] holds a bit per integer
  std::size_t low_ = 0;                             // no member is below it
};

// A set of 64-bit keys other than ~0: open addressing over a table of a power of two slots, at most half full,
// probed linearly from a slot the key's Fibonacci hash picks. Pairs of pieces are kept as (a << 32) | b (no
// piece is ~0): looked up by many tasks at once and added in bursts between, without a node per key.
class PairSet {
 public:
  // Empties the set (a table that was grown far beyond what it holds is given back).
  void clear() {
    if (slots_.size() > 4096 && count_ < slots_.size() / 8) {
      slots_.clear();
      shift_ = 64;
    }
    std::fill(slots_.begin(), slots_.end(), kEmpty);
    count_ = 0;
  }
  bool contains(std::uint64_t key) const noexcept {
    if (slots_.empty()) return false;
    for (std::size_t i = home(key);; i = (i + 1) & (slots_.size() - 1)) {
      if (slots_[i] == key) return true;
      if (slots_[i] == kEmpty) return false;
    }
  }
  void insert(std::uint64_t key) {
    if (2 * (count_ + 1) > slots_.size()) grow();
    for (std::size_t i = home(key);; i = (i + 1) & (slots_.size() - 1)) {
      if (slots_[i] == key) return;
      if (slots_[i] == kEmpty) {
        slots_[i] = key;
        ++count_;
        return;
      }
    }
  }
  std::size_t size() const noexcept { return count_; }

 private:
  static constexpr std::uint64_t kEmpty = ~std::uint64_t{0};
  std::size_t home(std::uint64_t key) const noexcept {
    return static_cast<std::size_t>((key * 0x9e3779b97f4a7c15ull) >> shift_);
  }
  void grow() {
    std::vector<std::uint64_t> old(std::max<std::size_t>(64, 2 * slots_.size()), kEmpty);
    old.swap(slots_);
    shift_ = 64 - std::countr_zero(slots_.size());
    count_ = 0;
    for (const std::uint64_t key : old) {
      if (key != kEmpty) insert(key);
    }
  }
  std::vector<std::uint64_t> slots_;
  std::size_t count_ = 0;
  int shift_ = 64;  // 64 - log2 of the slots
};

// A successor of a piece in the order: the piece that must follow it and the relation that says so.
struct Successor {
  std::uint32_t piece;
  std::uint32_t relation;
};

// A pair that Orderer::confirm() has tested: the piece meant to be painted first, the other, and the outcome of
// relate() on the two in index order.
struct Pending {
  std::uint32_t far;
  std::uint32_t near;
  Outcome outcome;
};

// Working memory of Orderer::group_items(): per item its pieces' places in the order, the graph of the nodes
// (items drawn in a row, or single pieces) as lists of successors, and the search for cycles among items.
struct GroupScratch {
  struct Link {
    std::uint32_t first, second;            // a live relation's pieces
    std::uint32_t first_item, second_item;  // their items (later their nodes)
  };
  std::vector<Link> links;
  std::vector<std::uint32_t> item;        // per piece: a copy of Piece::item
  std::vector<std::uint32_t> decomposed;  // the pieces of the items built as several, by item
  std::vector<std::uint32_t> item_at;                             // per place in the order: its piece's item
  std::vector<std::uint32_t> first, last, count;                  // per item: its places, its pieces
  std::vector<std::uint32_t> member_start, members;               // per item: its pieces in the order
  std::vector<std::uint8_t> cut, cyclic;                          // per item: has parts of a cut, on a cycle
  std::vector<std::uint32_t> split;                               // items found apart (some more than once)
  std::vector<std::uint32_t> succ_start, succ, indeg;             // per item, then per node
  std::vector<std::uint32_t> index, low, path, frames;            // Tarjan's search
  std::vector<std::uint32_t> heap, out;                           // Kahn's order of the nodes
};

// The orderer's buffers, kept between calls in a Workspace: an orderer borrows them for its lifetime.
struct OrderMemory {
  GroupScratch group;
  std::vector<Relation> rel;
  std::vector<std::uint8_t> dead;
  std::vector<std::uint32_t> link_start;
  std::vector<std::uint32_t> link_ids;
  std::vector<std::vector<std::uint32_t>> extra;
  std::vector<std::uint8_t> has_extra;
  std::vector<std::uint32_t> indeg;
  std::vector<std::uint8_t> emitted;
  std::vector<std::uint8_t> free;
  std::vector<std::uint32_t> rank_of;
  ReadySet ready;
  std::vector<std::uint64_t> heap;
  std::vector<std::uint32_t> work;
  std::vector<std::uint32_t> item_rank;
  std::vector<std::uint64_t> prio;
  std::vector<std::uint32_t> succ_start;
  std::vector<Successor> succ;
  std::vector<std::uint64_t> prio_by_rank;
  std::vector<std::uint32_t> child, root, place, held;
  std::vector<std::vector<Pending>> pending;
  std::vector<std::uint64_t> settled_span;
  std::vector<std::uint32_t> settled_items;
  std::vector<std::vector<std::uint32_t>> settled_found;
  PairSet tested;
};

// One ordering: borrows the store (to which its cuts add pieces) and the memory for its lifetime.
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
  // The plain order's ranks of the pieces as built, `plain` their plain order (order() makes them when not
  // made): reads only the pieces, so it may run beside find_relations() filling relations().
  void rank(const std::vector<std::size_t>& plain);
  // Kahn's order of the live pieces into `out`; `plain` is the plain order of the pieces that existed before
  // any cut. May run again after confirm() (it starts afresh from the relations, keeping the cuts made).
  void order(const std::vector<std::size_t>& plain, std::vector<std::uint32_t>& out);
  // Looks for the pairs find_relations() left untested (settled()) that `sequence`, the last order, paints the
  // wrong way: the farther one of such a pair comes late only when it was held back, so only the pieces painted
  // after one that the plain order puts later are looked at, each with its partners on `grid`. Such a pair is
  // tested and the relation it has added. With `all`, every settled pair is tested instead (whatever the order).
  // A pair is tested once over all calls. Returns whether a relation was added (then the order must be made
  // again).
  bool confirm(const Grid& grid, const std::vector<std::uint32_t>& sequence, bool all, parallel::ThreadPool& pool);

  bool capped() const noexcept { return capped_; }
  std::size_t forced() const noexcept { return forced_; }
  std::size_t cuts() const noexcept { return cuts_; }

 private:
  // A relation counts while both its pieces are alive (not cut) and it was not given up.
  bool live(const Relation& r) const noexcept { return dead_[r.first] == 0 && dead_[r.second] == 0 && !r.dropped; }
  // Calls f(relation id) for every relation of u, live or not: the block of link(), then those added since.
  template <class F>
  void for_links(std::uint32_t u, F&& f) const {
    if (u < base_) {
      for (std::uint32_t k = link_start_[u]; k < link_start_[u + 1]; ++k) f(link_ids_[k]);
    }
    if (has_extra_[u] != 0) {
      for (std::uint32_t id : extra_[u]) f(id);
    }
  }
  std::uint32_t add_relation(Relation r) {
    const auto id = static_cast<std::uint32_t>(rel_.size());
    rel_.push_back(r);
    for (const std::uint32_t u : {r.first, r.second}) {
      extra_[u].push_back(id);
      has_extra_[u] = 1;
    }
    return id;
  }
  // The partners of u that are alive (u itself may just have died), with whether u paints first (for
  // intersections: false).
  void partners(std::uint32_t u, std::vector<std::pair<std::uint32_t, bool>>& out) const;
  // Cuts piece u where g (values at its vertices) changes sign; on success u dies and its two parts are
  // returned. Fails when a part would be too small, or when the cap is met (which sets capped_).
  bool cut(std::uint32_t u, const double* g, double snap, std::uint32_t& lo, std::uint32_t& hi);
  // Cuts one piece of an intersecting pair along the intersection and relates both parts to the piece's
  // partners (new intersections go to `work`); false when neither piece can be cut.
  bool cut_intersection(std::uint32_t rid, std::vector<std::uint32_t>& work);
  // Orders an intersecting pair without cutting: the piece that is farther over more of the overlap first.
  void settle(std::uint32_t rid);
  // Breaks a cycle among the pieces left when none is ready, appending the pieces that became ready to `ready`;
  // sets capped_ instead when the cap or the search budget is met.
  void break_cycle(std::vector<std::uint8_t>& emitted, std::vector<std::uint32_t>& indeg,
                   std::vector<std::uint32_t>& ready);
  // A cycle among the pieces left, each member painted after the next, with the relation into each member from
  // the next; false when the searches so far have used up their budget.
  bool find_cycle(const std::vector<std::uint8_t>& emitted, std::vector<std::uint32_t>& cycle,
                  std::vector<std::uint32_t>& cycle_rel);
  // Cuts one member so that the cycle falls apart; false when no cut works (or the cap is met).
  bool cut_cycle(const std::vector<std::uint32_t>& cycle, std::vector<std::uint8_t>& emitted,
                 std::vector<std::uint32_t>& indeg, std::vector<std::uint32_t>& ready);
  // The parts of cutting u where g changes sign into lo_ and hi_; false when a part would be too small.
  bool split(std::uint32_t u, const double* g, double snap);
  // The pieces left that lie on cycles with `start` into comp_ (comp_local_: their places there); false when
  // there are too many to look at.
  bool cycle_component(std::uint32_t start, const std::vector<std::uint8_t>& emitted);
  static constexpr std::size_t kWidest = 64;  // the largest component whose cuts are compared
  // How far from ordered comp_ would be if q were cut into the parts in lo_ and hi_, smaller better: the fewest
  // pieces whose removal would break every cycle left (in the high half), then the number of short cycles left.
  std::uint64_t score(std::uint32_t q);
  // Hands the relations of q, just cut, to its parts.
  void inherit(std::uint32_t q, const std::uint32_t (&parts)[2], std::vector<std::uint8_t>& emitted,
               std::vector<std::uint32_t>& indeg, std::vector<std::uint32_t>& ready);
  // Reorders `out`, a complete order of the live pieces, so that the pieces of each item follow one another
  // wherever the relations allow: Kahn's order over the items, each taken whole, except the items on a cycle of
  // items, whose pieces are taken one by one; ties by the places in `out` (so an order whose items are already
  // together is kept). Returns whether anything moved.
  bool group_items(std::vector<std::uint32_t>& out);
  // Gives up the relation of the cycle with the smallest overlap.
  void drop_weakest(const std::vector<std::uint32_t>& cycle, const std::vector<std::uint32_t>& cycle_rel,
                    std::vector<std::uint32_t>& indeg, std::vector<std::uint32_t>& ready);
  // The plain order's tie-break as one integer, smaller first (order() sets it up): fallback depth, then item,
  // then piece.
  // Where order() lists the successors of piece u: a piece that existed before any cut at its place in the plain
  // order (so that the lists are read about in the order they were written), a part at its own index.
  std::uint32_t slot(std::uint32_t u) const noexcept { return u < base_ ? rank_of_[u] : u; }
  std::uint64_t priority(std::uint32_t u) const noexcept {
    return u < base_ ? prio_[u] : (std::uint64_t{item_rank_[s_.pieces[u].item]} << 32) | u;
  }
  void swap_memory() noexcept {
    std::swap(group_, memory_.group);
    rel_.swap(memory_.rel);
    dead_.swap(memory_.dead);
    link_start_.swap(memory_.link_start);
    link_ids_.swap(memory_.link_ids);
    extra_.swap(memory_.extra);
    has_extra_.swap(memory_.has_extra);
    indeg_.swap(memory_.indeg);
    emitted_.swap(memory_.emitted);
    free_.swap(memory_.free);
    rank_of_.swap(memory_.rank_of);
    std::swap(ready_, memory_.ready);
    heap_.swap(memory_.heap);
    work_.swap(memory_.work);
    item_rank_.swap(memory_.item_rank);
    prio_.swap(memory_.prio);
    succ_start_.swap(memory_.succ_start);
    succ_.swap(memory_.succ);
    prio_by_rank_.swap(memory_.prio_by_rank);
    child_.swap(memory_.child);
    root_.swap(memory_.root);
    place_.swap(memory_.place);
    held_.swap(memory_.held);
    pending_.swap(memory_.pending);
    settled_span_.swap(memory_.settled_span);
    settled_items_.swap(memory_.settled_items);
    settled_found_.swap(memory_.settled_found);
    std::swap(tested_, memory_.tested);
  }
  // The pieces alive now that piece u was cut into (u itself when it is alive), appended to `out`.
  void alive_parts(std::uint32_t u, std::vector<std::uint32_t>& out) const;
  // Adds the relation of a tested pair (far was meant to be painted first) by the outcome of relate() on it in
  // index order; false when they do not overlap.
  bool add_tested(std::uint32_t far, std::uint32_t near, Outcome outcome);
  void grow() {
    const std::size_t n = s_.pieces.size();
    child_.resize(n, kUncut);
    root_.resize(n);
    dead_.resize(n, 0);
    extra_.resize(n);
    has_extra_.resize(n, 0);
    for (std::size_t u = group_.item.size(); u < n; ++u) group_.item.push_back(s_.pieces[u].item);
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
  static constexpr std::uint32_t kUncut = 0xffffffffu;
  std::vector<std::uint32_t> child_;  // per piece: the first of the two parts it was cut into (kUncut: none)
  std::vector<std::uint32_t> root_;   // per piece: the piece that existed before any cut it comes from
  // order(): per piece its place in the order, and the pieces painted after one the plain order puts later.
  std::vector<std::uint32_t> place_, held_;
  GroupScratch group_;
  std::vector<std::vector<Pending>> pending_;  // confirm(): the pairs tested, one list per task
  // confirm(): per piece that existed before any cut, its partners on the grid that are settled() with it, in
  // the grid's order, as settled_items_[begin, end) with (begin << 32) | end (kUnknown: not looked up yet); what
  // one call looks up, a list per task as records (piece, count, partners...), joined after the call.
  static constexpr std::uint64_t kUnknown = ~std::uint64_t{0};
  std::vector<std::uint64_t> settled_span_;
  std::vector<std::uint32_t> settled_items_;
  std::vector<std::vector<std::uint32_t>> settled_found_;
  PairSet tested_;                                  // pairs confirm() has tested, (farther << 32) | nearer
  std::vector<std::uint32_t> link_start_;
  std::vector<std::uint32_t> link_ids_;
  std::vector<std::vector<std::uint32_t>> extra_;  // links added after link(), per piece
  std::vector<std::uint8_t> has_extra_;             // whether extra_[u] is not empty (a cheap test on the hot path)
  std::vector<std::uint32_t> indeg_;
  std::vector<std::uint8_t> emitted_;
  std::vector<std::uint8_t> free_;  // order(): per place in the plain order, a piece without relations
  std::vector<std::uint32_t> rank_of_;  // order(): per piece that existed before any cut, its place in the plain order
  ReadySet ready_;                       // order(): the ready related pieces that existed before any cut, by place
  std::vector<std::uint64_t> heap_;
  std::vector<std::uint32_t> work_;
  std::vector<std::uint32_t> item_rank_;  // per item: the place of its first piece in the plain order
  std::vector<std::uint64_t> prio_;       // per piece that existed before any cut: priority()
  std::vector<std::uint64_t> prio_by_rank_;  // the same by place in the plain order
  // order(): the successors of piece u are succ_[succ_start_[slot(u)], succ_start_[slot(u) + 1]).
  std::vector<std::uint32_t> succ_start_;
  std::vector<Successor> succ_;
  bool ranked_ = false;                    // prio_, rank_of_ and item_rank_ are set (once per orderer)
  std::size_t listed_pieces_ = 0;          // order(): pieces and relations listed in succ_
  std::uint32_t listed_ = 0;
  std::size_t scan_ = 0;        // no piece below this index is left to emit (cycle search)
  std::size_t walk_steps_ = 0;  // steps of all cycle searches, bounded
  Scratch w_;
  std::vector<Vec2> lo_, hi_;
  std::vector<std::uint8_t> lo_flags_, hi_flags_;
  std::vector<double> g_;
  std::vector<Vec2> r1_, r2_;
  std::vector<std::pair<std::uint32_t, bool>> partners_;
  std::vector<std::uint32_t> splitters_;  // items whose planes have cut a cycle
  // cycle_component(): the component, the place of each piece in it (kUncut: none), and its search's marks.
  std::vector<std::uint32_t> comp_, comp_local_, touched_;
  std::vector<std::uint8_t> reach_;
};

}  // namespace korvex::visibility::detail
