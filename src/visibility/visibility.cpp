// The visibility order from end to end: pieces, relations, order, and the fragments with items merged back.
#include "visibility/visibility.hpp"

#include <algorithm>
#include <limits>

#include "common/fault.hpp"
#include "common/prefetch.hpp"
#include "parallel/parallel_for.hpp"
#include "parallel/thread_pool.hpp"
#include "poly3d/collection.hpp"
#include "poly3d/order.hpp"
#include "visibility/orderer.hpp"
#include "visibility/pieces.hpp"

namespace korvex::visibility {

namespace {

using detail::Piece;
using detail::Relation;
using detail::Store;
using detail::Tolerances;
using detail::Vec2;

constexpr std::size_t kFragmentsPerTask = 1024;  // places of the sequence one task writes

// A place of the sequence whose piece is not its whole item, as drawn by itself: its piece as a fragment
// (vertices at the piece's), and what drawing its item whole would take.
struct Draft {
  Fragment piece;
  std::uint64_t whole_at;     // the whole item's first point in the scene's array of its kind
  std::uint32_t place;
  std::uint32_t item;
  std::uint32_t whole_count;  // vertices of the whole item
  bool joins;                 // the piece may merge back into its item
};

// Places of the sequence prefetched ahead: the loops below read the pieces and the scene in drawing order, which
// is all over memory.
constexpr std::size_t kAhead = 8;

}  // namespace

struct Workspace::Impl {
  Store store;
  std::vector<Store> parts;
  detail::Grid grid;
  std::vector<std::vector<Relation>> found;
  detail::OrderMemory memory;
  std::vector<double> fallbacks;
  std::vector<std::size_t> plain;
  poly3d::OrderScratch scratch;
  std::vector<std::uint32_t> sequence;
  std::vector<std::uint32_t> count, first_at, last_at;
  std::vector<std::uint8_t> joins;
  std::vector<std::size_t> task_fragments, task_vertices;
  std::vector<std::vector<Draft>> parted;  // per task of the output: the places of pieces that are not whole
};

Workspace::Workspace() : impl_(std::make_unique<Impl>()) {}
Workspace::~Workspace() = default;
Workspace::Workspace(Workspace&&) noexcept = default;
Workspace& Workspace::operator=(Workspace&&) noexcept = default;

namespace {

void order_here(const Scene& scene, const Options& options, parallel::ThreadPool& pool, Workspace::Impl& w,
                Result& res);

}  // namespace

void order(const Scene& scene, const Options& options, parallel::ThreadPool& pool, Workspace& workspace,
           Result& res) {
  Workspace::Impl& w = *workspace.impl_;
  // The whole order runs on a worker of the pool, handed over once: its loops start from there (the other workers
  // join them sooner), its sequential steps do not compete for the cores with workers still spinning after a
  // loop, and the calling thread blocks and wakes once instead of once per loop.
  if (parallel::ThreadPool::current() == &pool) {
    order_here(scene, options, pool, w, res);
    return;
  }
  // Two indices, because a thread outside the pool hands a split piece to a worker while a piece of one index
  // would run on the thread itself; the second index does nothing.
  parallel::parallel_for(pool, 2, 1, [&](std::size_t i) {
    if (i == 0) order_here(scene, options, pool, w, res);
  });
}

namespace {

void order_here(const Scene& scene, const Options& options, parallel::ThreadPool& pool, Workspace::Impl& w,
                Result& res) {
  Tolerances tol;
  res.capped = false;
  res.forced = res.cuts = res.pieces = 0;
  res.unplaced = detail::build_pieces(scene, options, tol, pool, w.store, w.parts, w.grid);
  Store& s = w.store;
  const std::size_t polygons = scene.polygon_ids.size();
  const std::size_t segments = scene.segment_ids.size();
  const std::size_t items = polygons + segments + scene.marker_ids.size();
  const std::size_t base = s.pieces.size();

  const double factor = options.cap_factor >= 1.0 ? options.cap_factor : 1.0;  // NaN too
  const auto max_cuts = static_cast<std::size_t>(std::min((factor - 1.0) * static_cast<double>(items), 1e15));
  {
    detail::Orderer orderer(s, tol, max_cuts, w.memory);
    // The plain order of the pieces as built (their index order is item order), by poly3d's depth sort, beside
    // the relations (which run their own loops on the pool meanwhile).
    parallel::parallel_for(pool, 2, 1, [&](std::size_t t) {
      if (t == 1) {
        detail::find_relations(s, tol, pool, w.grid, w.found, orderer.relations());
        return;
      }
      w.fallbacks.resize(base);
      for (std::size_t u = 0; u < base; ++u) w.fallbacks[u] = s.pieces[u].fallback;
      w.plain.resize(base);
      poly3d::order_by_depth(w.fallbacks.data(), base, w.plain.data(), poly3d::TieOrder::AscendingIndex, w.scratch);
      orderer.rank(w.plain);
    });
    orderer.link();
    orderer.resolve_intersections();
    // The order, then the pairs left untested checked against it: where one is out of order it is tested and
    // the order made again. After a few rounds every pair left is tested, so the order holds them all.
    constexpr int kRounds = 3;
    orderer.order(w.plain, w.sequence);
    for (int round = 1; orderer.confirm(w.grid, w.sequence, round > kRounds, pool); ++round) {
      orderer.order(w.plain, w.sequence);
    }
    res.capped = orderer.capped();
    res.forced = orderer.forced();
    res.cuts = orderer.cuts();
  }
  const std::vector<std::uint32_t>& sequence = w.sequence;
  res.pieces = sequence.size();

  // An item whose pieces all follow one another is drawn whole: painting them in a row is painting the item.
  // (Unless the pieces do not add up to the item: the diagonals of a quad that folds over on screen.) A piece
  // that is its item (never cut nor decomposed; most are) is drawn whole without looking further; the others are
  // gathered per task and their items looked at together.
  const std::size_t m = sequence.size();
  const std::size_t tasks = (m + kFragmentsPerTask - 1) / kFragmentsPerTask;
  // The fragments and vertices of the whole pieces counted per task, from one small count per piece
  // (Store::drawn); the other places drafted from their pieces.
  w.task_fragments.assign(tasks + 1, 0);
  w.task_vertices.assign(tasks + 1, 0);
  if (w.parted.size() < tasks) w.parted.resize(tasks);
  parallel::parallel_for(pool, tasks, 1, [&](std::size_t t) {
    const std::size_t end = std::min(m, (t + 1) * kFragmentsPerTask);
    std::vector<Draft>& parted = w.parted[t];
    parted.clear();
    std::size_t fragments = 0, vertices = 0;
    for (std::size_t k = t * kFragmentsPerTask; k < end; ++k) {
      const std::uint32_t u = sequence[k];
      const std::uint32_t drawn = u < base ? s.drawn[u] : detail::kNotWhole;
      if (drawn != detail::kNotWhole) {
        ++fragments;
        vertices += drawn;
        continue;
      }
      const Piece& p = s.pieces[u];
      const detail::WholeItem whole = detail::whole_item(scene, p);
      const std::uint32_t count = p.kind == Kind::Marker ? 1 : p.count;
      parted.push_back(Draft{Fragment{p.kind, p.whole, whole.source, whole.id, p.first, count}, whole.at,
                             static_cast<std::uint32_t>(k), p.item, whole.count, p.joins});
    }
    w.task_fragments[t + 1] = fragments;
    w.task_vertices[t + 1] = vertices;
  });
  // The items of the other pieces: how many pieces each has, the first and last places, whether all may merge
  // back. Then each such piece's fragment counted in its task (none for the later pieces of an item drawn whole).
  w.count.assign(items, 0);
  w.first_at.resize(items);
  w.last_at.resize(items);
  w.joins.resize(items);
  for (std::size_t t = 0; t < tasks; ++t) {
    for (const Draft& d : w.parted[t]) {
      if (w.count[d.item]++ == 0) {
        w.first_at[d.item] = d.place;
        w.joins[d.item] = 1;
      }
      w.last_at[d.item] = d.place;
      w.joins[d.item] &= d.joins ? 1 : 0;
    }
  }
  // The fragment of draft d (false: none) with its vertex count; `first` still the piece's.
  auto fragment_of = [&](const Draft& d, Fragment& f) {
    const bool whole = d.piece.whole ||
                       (w.joins[d.item] != 0 && w.last_at[d.item] - w.first_at[d.item] + 1 == w.count[d.item]);
    if (!d.piece.whole && whole && w.first_at[d.item] != d.place) return false;
    f = d.piece;
    f.whole = whole;
    if (whole) f.count = d.whole_count;
    return true;
  };
  for (std::size_t t = 0; t < tasks; ++t) {
    Fragment f{};
    for (const Draft& d : w.parted[t]) {
      if (!fragment_of(d, f)) continue;
      ++w.task_fragments[t + 1];
      w.task_vertices[t + 1] += f.count;
    }
  }
  for (std::size_t t = 0; t < tasks; ++t) {
    w.task_fragments[t + 1] += w.task_fragments[t];
    w.task_vertices[t + 1] += w.task_vertices[t];
  }
  const std::size_t vertices = w.task_vertices[tasks];
  if (vertices >= std::numeric_limits<std::uint32_t>::max()) throw InternalFault("visibility scene: too many vertices");
  res.fragments.resize(w.task_fragments[tasks]);
  res.xy.resize(2 * vertices);
  res.original.resize(vertices);
  parallel::parallel_for(pool, tasks, 1, [&](std::size_t t) {
    const std::size_t end = std::min(m, (t + 1) * kFragmentsPerTask);
    std::size_t at = w.task_fragments[t];
    auto first = static_cast<std::uint32_t>(w.task_vertices[t]);
    const double* const points[3] = {scene.polygon_xyz.data(), scene.segment_xyz.data(), scene.marker_xyz.data()};
    const Draft* draft = w.parted[t].data();
    const Draft* const drafts_end = draft + w.parted[t].size();
    for (std::size_t k = t * kFragmentsPerTask; k < end; ++k) {
      // Two steps ahead: the record of a piece, then the points it names (a quad's straddle two lines or three;
      // addresses at most a line apart reach every line).
      if (k + 2 * kAhead < m && sequence[k + 2 * kAhead] < base) prefetch(&s.wholes[sequence[k + 2 * kAhead]]);
      if (k + kAhead < m && sequence[k + kAhead] < base) {
        const detail::WholeItem& ahead = s.wholes[sequence[k + kAhead]];
        const std::size_t bytes = std::min<std::size_t>(24 * std::size_t{ahead.count}, 256);
        if (bytes > 0) {
          const auto* from = reinterpret_cast<const char*>(points[static_cast<int>(ahead.kind)] + 3 * ahead.at);
          prefetch(from);
          for (std::size_t b = 64; b < bytes; b += 64) prefetch(from + b);
          prefetch(from + bytes - 1);
        }
      }
      double* xy;
      std::uint8_t* flags;
      const double* from;
      std::uint32_t count;
      if (draft != drafts_end && draft->place == k) {
        const Draft& d = *draft++;
        Fragment& f = res.fragments[at];
        if (!fragment_of(d, f)) continue;
        ++at;
        f.first = first;
        first += f.count;
        xy = res.xy.data() + 2 * std::size_t{f.first};
        flags = res.original.data() + f.first;
        if (!f.whole) {
          const Vec2* v = s.verts.data() + d.piece.first;
          for (std::uint32_t j = 0; j < f.count; ++j) {
            xy[2 * j] = v[j].x;
            xy[2 * j + 1] = v[j].y;
            flags[j] = s.flags[d.piece.first + j];
          }
          continue;
        }
        from = points[static_cast<int>(f.kind)] + 3 * d.whole_at;
        count = f.count;
      } else {
        const detail::WholeItem& r = s.wholes[sequence[k]];
        res.fragments[at++] = Fragment{r.kind, true, r.source, r.id, first, r.count};
        xy = res.xy.data() + 2 * std::size_t{first};
        flags = res.original.data() + first;
        first += r.count;
        from = points[static_cast<int>(r.kind)] + 3 * r.at;
        count = r.count;
      }
      for (std::uint32_t j = 0; j < count; ++j) {  // x, y, z per point
        xy[2 * j] = from[3 * j];
        xy[2 * j + 1] = from[3 * j + 1];
        flags[j] = 1;
      }
    }
  });
}

}  // namespace

Result order(const Scene& scene, const Options& options, parallel::ThreadPool& pool) {
  Workspace workspace;
  Result res;
  order(scene, options, pool, workspace, res);
  return res;
}

Result order(const Scene& scene, const Options& options) { return order(scene, options, parallel::current_pool()); }

}  // namespace korvex::visibility
