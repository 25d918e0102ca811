// The drawing order as a radix sort of 64-bit keys that encode it, each carried with its polygon index.
//
// Every depth becomes a key whose ascending unsigned order is the drawing order (NaN lowest); the same pass finds
// the range of the keys of numbers. Keys are taken relative to the lowest one, and of the bits that can differ the
// top 22 are sorted by two stable scatters of 11 bits each (least significant digit first; NaN has a bucket of its
// own ahead of the top digit's). Keys that agree in those 24 bits are next to each other afterwards, in feeding
// order; a last pass sorts each such group on the full key (insertion for short groups, a bucket split for long
// ones). Every step is stable, so the tie rule is only the order in which positions are fed in: index p, or index
// n-1-p for descending ties.
//
// Each pass is a parallel loop over blocks of positions; each block writes only its own row of counts and its own
// (disjoint) places of the output, decided by a prefix sum on the calling thread. A key travels with its index as
// one 16-byte entry, so a scatter writes one stream per bucket, not two.
#include "poly3d/order.hpp"

#include <algorithm>
#include <bit>
#include <cstring>
#include <limits>
#include <vector>

#include "common/assert.hpp"
#include "parallel/parallel_for.hpp"

namespace korvex::poly3d {

template <class T>
T* OrderScratch::Buffer<T>::reserve(std::size_t n) {
  if (n > capacity) {
    data.reset();
    capacity = 0;
    data.reset(new T[n]);
    capacity = n;
  }
  return data.get();
}

namespace {

using Entry = OrderScratch::Entry;

// Maps a depth to a key whose ascending unsigned order is the drawing order: NaN first (key 0, which no number
// reaches: +inf gives 0x000F'FFFF'FFFF'FFFF), then +inf, ..., +0.0 == -0.0, ..., -inf. Adding +0.0 turns -0.0 into
// +0.0 and changes no other value; the usual sign-magnitude flip (all bits of a negative number, the sign bit of a
// positive one) gives the ascending order of numbers, and its complement the descending one. No branches.
inline std::uint64_t drawing_key(double depth) noexcept {
  const auto bits = std::bit_cast<std::uint64_t>(depth + 0.0);
  const std::uint64_t flip = static_cast<std::uint64_t>(static_cast<std::int64_t>(bits) >> 63) |
                             (std::uint64_t{1} << 63);
  const std::uint64_t key = ~(bits ^ flip);
  return depth == depth ? key : 0;
}

// Whole orders up to this length are one insertion sort on the stack.
constexpr std::size_t kInsertionLimit = 64;
// Groups up to this length whose keys are spread wide are sorted by insertion; others are split into sub-buckets.
constexpr std::size_t kShortGroup = 16;
// A split uses two to four sub-buckets per key, so that most hold at most one key and its cost stays proportional
// to the group: from 2^5 up to 2^11 of them (the counts live on the stack); fewer when the keys span fewer values.
constexpr int kMinSplitBits = 5;
constexpr int kMaxSplitBits = 11;
// Bits of one radix digit: 2^11 buckets (more would make a scatter write to more places at once than the caches
// hold; fewer would leave more to the group pass), two digits in all.
constexpr int kDigitBits = 11;
constexpr std::size_t kDigitBuckets = std::size_t{1} << kDigitBits;
// Positions per block of a parallel pass, at least; and at most this many blocks.
constexpr std::size_t kMinBlock = 8192;
constexpr std::size_t kMaxBlocks = 16;
// On the pool: coarse bins over the key range that parts are made of, and at most this many parts.
constexpr int kBinBits = 10;
constexpr std::size_t kMaxParts = 32;

// Index of position p: the positions run through the indices upwards or downwards, which is all the tie rule is.
struct Positions {
  std::size_t n;
  bool descending;
  std::size_t index(std::size_t p) const noexcept { return descending ? n - 1 - p : p; }
};

// Stable insertion sort of run[0, n): an entry moves left only past strictly larger keys.
void insertion_sort(Entry* run, std::size_t n) noexcept {
  for (std::size_t i = 1; i < n; ++i) {
    if (run[i - 1].key <= run[i].key) continue;
    const Entry entry = run[i];
    std::size_t j = i;
    for (; j > 0 && run[j - 1].key > entry.key; --j) run[j] = run[j - 1];
    run[j] = entry;
  }
}

// Sorts group[0, n) stably on the full key, in place, with spare[0, n) as working room. Groups are mostly exact
// ties, or ties and keys a few units apart (depths that differ in their last bits only), or short. The key range is
// cut into 2^bits equal sub-buckets and the group scattered into them, which keeps the feeding order within each;
// when the range has no more than 2^bits keys every sub-bucket holds one key and the group is sorted. Otherwise
// sub-buckets longer than kShortGroup are sorted the same way (a sub-bucket spans less than 2^shift keys, so the
// shift falls by at least kMinSplitBits per level), and one insertion pass puts the short ones in order, moving no
// key out of its sub-bucket. Short groups of widely spread keys go straight to insertion.
void sort_group(Entry* group, Entry* spare, std::size_t n) noexcept {
  std::uint64_t lo = group[0].key;
  std::uint64_t hi = group[0].key;
  for (std::size_t i = 1; i < n; ++i) {
    lo = std::min(lo, group[i].key);
    hi = std::max(hi, group[i].key);
  }
  if (lo == hi) return;
  const int width = std::bit_width(hi - lo);
  const int split = std::clamp(static_cast<int>(std::bit_width(n)) + 1, kMinSplitBits, kMaxSplitBits);
  if (width > split && n <= kShortGroup) {
    insertion_sort(group, n);
    return;
  }
  const int bits = std::min(width, split);
  const int shift = width - bits;
  const std::size_t sub_buckets = std::size_t{1} << bits;
  std::uint32_t start[(std::size_t{1} << kMaxSplitBits) + 1];
  std::fill(start, start + sub_buckets + 1, 0u);
  for (std::size_t i = 0; i < n; ++i) ++start[((group[i].key - lo) >> shift) + 1];
  std::uint32_t longest = 0;
  for (std::size_t b = 1; b <= sub_buckets; ++b) {
    longest = std::max(longest, start[b]);
    start[b] += start[b - 1];
  }
  for (std::size_t i = 0; i < n; ++i) spare[start[(group[i].key - lo) >> shift]++] = group[i];
  std::copy(spare, spare + n, group);
  if (shift == 0) return;
  if (longest > kShortGroup) {  // start[b] is now the end of sub-bucket b
    std::size_t begin = 0;
    for (std::size_t b = 0; b < sub_buckets; ++b) {
      const std::size_t end = start[b];
      if (end - begin > kShortGroup) sort_group(group + begin, spare + begin, end - begin);
      begin = end;
    }
  }
  insertion_sort(group, n);
}

// Whether neighbours of a sorted run of keys are equal: an exact tie.
bool adjacent_equal(const std::uint64_t* keys, std::size_t n) noexcept {
  for (std::size_t p = 1; p < n; ++p) {
    if (keys[p] == keys[p - 1]) return true;
  }
  return false;
}

// Short orders: one insertion sort with the keys on the stack.
bool insertion_order(const double* depths, Positions pos, std::size_t* order) noexcept {
  std::uint64_t keys[kInsertionLimit];
  for (std::size_t p = 0; p < pos.n; ++p) {
    const std::size_t i = pos.index(p);
    const std::uint64_t key = drawing_key(depths[i]);
    std::size_t j = p;
    for (; j > 0 && keys[j - 1] > key; --j) {
      keys[j] = keys[j - 1];
      order[j] = order[j - 1];
    }
    keys[j] = key;
    order[j] = i;
  }
  return adjacent_equal(keys, pos.n);
}

// Beyond 32-bit indices and counts: a comparison sort on the same keys (stable, so ties keep the feeding order).
bool huge_order(const double* depths, Positions pos, std::size_t* order) {
  std::vector<std::uint64_t> keys(pos.n);
  for (std::size_t i = 0; i < pos.n; ++i) keys[i] = drawing_key(depths[i]);
  for (std::size_t p = 0; p < pos.n; ++p) order[p] = pos.index(p);
  std::stable_sort(order, order + pos.n, [&](std::size_t a, std::size_t b) { return keys[a] < keys[b]; });
  for (std::size_t p = 1; p < pos.n; ++p) {
    if (keys[order[p]] == keys[order[p - 1]]) return true;
  }
  return false;
}

// Runs body(k) for k in [0, count): on the pool, or in a plain loop on the calling thread.
template <class Body>
void for_blocks(std::size_t count, bool parallel, Body&& body) {
  if (parallel) {
    parallel::parallel_for(count, 1, body);
  } else {
    for (std::size_t k = 0; k < count; ++k) body(k);
  }
}

}  // namespace

// The range of the keys of a run: the smallest key of a number and the largest key (0 when every key is NaN's).
struct KeyRange {
  std::uint64_t first;
  std::uint64_t last;
};

// Sorts run[0, n) stably on the key and writes the indices, in order, to order[0, n); spare[0, n) is working room
// and `counts` room for kDigitBuckets + 1 counters. Every key of the run lies in `range` (NaN's 0 aside). Returns
// whether two neighbours in the sorted run have equal keys.
//
// The digits are taken of key - range.first, which has `width` bits: the top one (bucket 0 is NaN's, numbers from 1
// on) and, when the width exceeds one digit, the next one (NaN's is 0: its top bucket alone decides its place).
// Two stable scatters, least significant digit first, sort by the top bits down to bit `rest`; the keys that agree
// in those bits are then next to each other, in feeding order, and each such group is sorted on the full key.
bool sort_part(Entry* run, Entry* spare, std::size_t n, KeyRange range, std::size_t* order,
               std::uint32_t* counts) noexcept {
  if (range.last == 0) {  // only NaN: one tie group
    for (std::size_t p = 0; p < n; ++p) order[p] = run[p].index;
    return n > 1;
  }
  const std::uint64_t first_key = range.first;
  const int width = std::bit_width(range.last - first_key);
  const bool two_digits = width > kDigitBits;
  const int top_shift = two_digits ? width - kDigitBits : 0;
  const int rest = width > 2 * kDigitBits ? width - 2 * kDigitBits : 0;
  auto top_digit = [=](std::uint64_t key) noexcept -> std::size_t {
    return key == 0 ? 0 : 1 + static_cast<std::size_t>((key - first_key) >> top_shift);
  };
  auto next_digit = [=](std::uint64_t key) noexcept -> std::size_t {
    return key == 0 ? 0 : static_cast<std::size_t>(((key - first_key) >> rest) & (kDigitBuckets - 1));
  };
  auto scatter = [&](auto&& digit, const Entry* from, Entry* to) {
    std::fill(counts, counts + kDigitBuckets + 1, 0u);
    for (std::size_t p = 0; p < n; ++p) ++counts[digit(from[p].key)];
    std::uint32_t running = 0;
    for (std::size_t b = 0; b <= kDigitBuckets; ++b) {
      const std::uint32_t here = counts[b];
      counts[b] = running;
      running += here;
    }
    for (std::size_t p = 0; p < n; ++p) to[counts[digit(from[p].key)]++] = from[p];
  };
  Entry* sorted = run;
  if (two_digits) {
    scatter(next_digit, sorted, spare);
    std::swap(sorted, spare);
  }
  scatter(top_digit, sorted, spare);
  std::swap(sorted, spare);
  if (rest != 0) {
    auto group_of = [=](std::uint64_t key) noexcept { return key == 0 ? 0 : 1 + ((key - first_key) >> rest); };
    std::size_t group = 0;
    for (std::size_t p = 1; p <= n; ++p) {
      if (p < n && group_of(sorted[p].key) == group_of(sorted[p - 1].key)) continue;
      if (p - group > 1) sort_group(sorted + group, spare + group, p - group);
      group = p;
    }
  }
  // The ties are looked for as the indices are written out; the keys are read there anyway.
  bool tied = false;
  if (n > 0) order[0] = sorted[0].index;
  for (std::size_t p = 1; p < n; ++p) {
    order[p] = sorted[p].index;
    tied |= sorted[p].key == sorted[p - 1].key;
  }
  return tied;
}

struct OrderWork {
  static bool radix_order(const double* depths, Positions pos, std::size_t* order, OrderScratch& scratch);
};

// On one thread the whole run is one part. On the pool, the keys are first cut into contiguous key ranges (parts)
// of about equal counts, which blocks of positions scatter into place; then each part is sorted by one task. The
// parts are large, so the blocks share hardly a cache line when scattering, and the sorts share none.
bool OrderWork::radix_order(const double* depths, Positions pos, std::size_t* order, OrderScratch& scratch) {
  const std::size_t n = pos.n;
  const std::size_t threads = n >= kParallelOrderThreshold ? parallel::current_num_threads() : 1;
  const bool parallel = threads > 1;
  const std::size_t blocks =
      parallel ? std::clamp<std::size_t>(n / kMinBlock, 1, std::min(kMaxBlocks, 2 * threads)) : 1;
  auto block_begin = [&](std::size_t k) { return n / blocks * k + std::min(k, n % blocks); };

  Entry* const entries = scratch.entries_.reserve(n);
  Entry* const spare = scratch.sorted_.reserve(n);

  // 1. Keys with their indices in feeding order, and per block the range of the keys of numbers: the smallest of
  // key - 1 (NaN's key 0 wraps to the largest value, so it is never the smallest unless every key is NaN's) and the
  // largest key.
  struct Range {
    std::uint64_t below_first, last;
  };
  Range ranges[kMaxBlocks];
  for_blocks(blocks, parallel, [&](std::size_t k) {
    std::uint64_t below_first = std::numeric_limits<std::uint64_t>::max();
    std::uint64_t last = 0;
    const std::size_t end = block_begin(k + 1);
    for (std::size_t p = block_begin(k); p < end; ++p) {
      const std::size_t i = pos.index(p);
      const std::uint64_t key = drawing_key(depths[i]);
      entries[p] = Entry{key, static_cast<std::uint32_t>(i)};
      below_first = std::min(below_first, key - 1);
      last = std::max(last, key);
    }
    ranges[k] = Range{below_first, last};
  });
  KeyRange range{ranges[0].below_first, ranges[0].last};
  for (std::size_t k = 1; k < blocks; ++k) {
    range.first = std::min(range.first, ranges[k].below_first);
    range.last = std::max(range.last, ranges[k].last);
  }
  range.first += 1;
  if (!parallel || range.last == 0) {
    return sort_part(entries, spare, n, range, order, scratch.counts_.reserve(kDigitBuckets + 1));
  }

  // 2. Coarse bins over the key range (bin 0 is NaN's), counted per block; parts are runs of whole bins holding
  // about n / parts keys each (a bin is never cut, so a very full bin makes an uneven part).
  const std::size_t parts = 2 * threads < kMaxParts ? 2 * threads : kMaxParts;
  const int width = std::bit_width(range.last - range.first);
  const int bin_shift = width > kBinBits ? width - kBinBits : 0;
  auto bin_of = [=](std::uint64_t key) noexcept -> std::size_t {
    return key == 0 ? 0 : 1 + static_cast<std::size_t>((key - range.first) >> bin_shift);
  };
  constexpr std::size_t kBins = (std::size_t{1} << kBinBits) + 1;
  std::uint32_t* const bin_counts = scratch.counts_.reserve(blocks * kBins + parts * (kDigitBuckets + 1));
  std::uint32_t* const part_counts = bin_counts + blocks * kBins;  // each part's counters while it is sorted
  for_blocks(blocks, parallel, [&](std::size_t k) {
    std::uint32_t* count = bin_counts + k * kBins;
    std::fill(count, count + kBins, 0u);
    const std::size_t end = block_begin(k + 1);
    for (std::size_t p = block_begin(k); p < end; ++p) ++count[bin_of(entries[p].key)];
  });
  // Part j is bins [first_bin[j], first_bin[j + 1]): a part is full once it holds n * (j + 1) / parts keys in all,
  // and the next bin opens the next part (the last part takes every bin that remains).
  std::uint32_t bin_total[kBins];
  for (std::size_t bin = 0; bin < kBins; ++bin) {
    bin_total[bin] = 0;
    for (std::size_t k = 0; k < blocks; ++k) bin_total[bin] += bin_counts[k * kBins + bin];
  }
  std::size_t first_bin[kMaxParts + 1];
  std::size_t part_begin[kMaxParts + 1];  // positions
  std::uint8_t part_of_bin[kBins];
  {
    std::size_t part = 0;
    std::size_t total = 0;
    first_bin[0] = 0;
    part_begin[0] = 0;
    for (std::size_t bin = 0; bin < kBins; ++bin) {
      while (part + 1 < parts && total >= n / parts * (part + 1)) {
        first_bin[++part] = bin;
        part_begin[part] = total;
      }
      part_of_bin[bin] = static_cast<std::uint8_t>(part);
      total += bin_total[bin];
    }
    while (part + 1 <= parts) {
      first_bin[++part] = kBins;
      part_begin[part] = total;
    }
    KORVEX_ASSERT(total == n, "every position counted in exactly one bin");
  }
  // Part j's keys of numbers lie between the first key of its first number bin and the last key of its last bin.
  KeyRange part_range[kMaxParts];
  for (std::size_t j = 0; j < parts; ++j) {
    const std::size_t low = std::max<std::size_t>(first_bin[j], 1);
    const std::size_t high = first_bin[j + 1];  // one past the last bin
    if (high <= low) {
      part_range[j] = KeyRange{range.first, 0};  // no number in the part: NaN's keys only, or none
    } else {
      part_range[j].first = range.first + (static_cast<std::uint64_t>(low - 1) << bin_shift);
      part_range[j].last =
          high == kBins ? range.last : range.first + (static_cast<std::uint64_t>(high - 1) << bin_shift) - 1;
    }
  }
  // Block k's keys of part j go after those of earlier blocks.
  std::uint32_t next[kMaxBlocks][kMaxParts] = {};
  for (std::size_t k = 0; k < blocks; ++k) {
    for (std::size_t bin = 0; bin < kBins; ++bin) next[k][part_of_bin[bin]] += bin_counts[k * kBins + bin];
  }
  std::uint32_t running = 0;
  for (std::size_t j = 0; j < parts; ++j) {
    for (std::size_t k = 0; k < blocks; ++k) {
      const std::uint32_t here = next[k][j];
      next[k][j] = running;
      running += here;
    }
  }

  // 3. Scatter into the parts, in feeding order within each block.
  for_blocks(blocks, parallel, [&](std::size_t k) {
    std::uint32_t* to = next[k];
    const std::size_t end = block_begin(k + 1);
    for (std::size_t p = block_begin(k); p < end; ++p) spare[to[part_of_bin[bin_of(entries[p].key)]]++] = entries[p];
  });

  // 4. Each part sorted by a task of its own. Equal keys share a bin, so a tie never straddles two parts.
  bool part_tied[kMaxParts] = {};
  for_blocks(parts, parallel, [&](std::size_t j) {
    const std::size_t begin = part_begin[j];
    part_tied[j] = sort_part(spare + begin, entries + begin, part_begin[j + 1] - begin, part_range[j],
                             order + begin, part_counts + j * (kDigitBuckets + 1));
  });
  return std::any_of(part_tied, part_tied + parts, [](bool t) { return t; });
}

bool order_by_depth(const double* depths, std::size_t n, std::size_t* order, TieOrder ties, OrderScratch& scratch) {
  const Positions pos{n, ties == TieOrder::DescendingIndex};
  if (n <= kInsertionLimit) return insertion_order(depths, pos, order);
  if (n > std::numeric_limits<std::uint32_t>::max()) return huge_order(depths, pos, order);
  if (n >= kParallelOrderThreshold && parallel::current_num_threads() > 1) {
    // Its passes are short: they run from a worker, handed over once (see run_on_pool).
    bool tied = false;
    parallel::run_on_pool([&] { tied = OrderWork::radix_order(depths, pos, order, scratch); });
    return tied;
  }
  return OrderWork::radix_order(depths, pos, order, scratch);
}

bool order_by_depth(const double* depths, std::size_t n, std::size_t* order, TieOrder ties) {
  OrderScratch scratch;
  return order_by_depth(depths, n, order, ties, scratch);
}

}  // namespace korvex::poly3d
