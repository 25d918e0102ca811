// The drawing order as a bucket sort of 64-bit keys that encode it, carrying 32-bit polygon indices.
//
// Every depth becomes a key whose ascending unsigned order is the drawing order (NaN lowest). One pass finds the
// range of the keys; the range is cut into equal buckets, one of them for NaN; each block of positions counts its
// keys per bucket, and after a prefix sum scatters them, stably, into place; last, every bucket is sorted on its
// own (insertion for short ones, the same bucket split again for long ones). All of it is stable, so the tie rule
// is only the order in which positions are fed in: index p, or index n-1-p for descending ties.
//
// The passes over positions and the per-bucket sorts are parallel loops over blocks; each block writes only its
// own row of counts and its own (disjoint) places of the output, decided by the prefix sum on the calling thread.
#include "poly3d/order.hpp"

#include <algorithm>
#include <bit>
#include <cstring>
#include <limits>
#include <new>
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
// Runs up to this length are sorted by insertion; longer ones are split into sub-buckets first.
constexpr std::size_t kShortRun = 16;
// A split uses two to four sub-buckets per key, so that most hold at most one key and its cost stays proportional
// to the run: from 2^5 up to 2^11 of them (the counts live on the stack).
constexpr int kMinSplitBits = 5;
constexpr int kMaxSplitBits = 11;
// The first split, over all keys, cuts the key range into up to 2^12 buckets.
constexpr int kMinBucketBits = 6;
constexpr int kMaxBucketBits = 12;
// Positions per block of a parallel pass, at least; and at most this many blocks.
constexpr std::size_t kMinBlock = 8192;
constexpr std::size_t kMaxBlocks = 16;

// Index of position p: the positions run through the indices upwards or downwards, which is all the tie rule is.
struct Positions {
  std::size_t n;
  bool descending;
  std::size_t index(std::size_t p) const noexcept { return descending ? n - 1 - p : p; }
};

// Stable insertion sort of keys[0, n) carrying idx: an element moves left only past strictly larger keys.
void insertion_sort(std::uint64_t* keys, std::uint32_t* idx, std::size_t n) noexcept {
  for (std::size_t i = 1; i < n; ++i) {
    const std::uint64_t key = keys[i];
    if (keys[i - 1] <= key) continue;
    const std::uint32_t id = idx[i];
    std::size_t j = i;
    for (; j > 0 && keys[j - 1] > key; --j) {
      keys[j] = keys[j - 1];
      idx[j] = idx[j - 1];
    }
    keys[j] = key;
    idx[j] = id;
  }
}

void copy_run(const std::uint64_t* keys, const std::uint32_t* idx, std::uint64_t* out_keys, std::uint32_t* out_idx,
              std::size_t n) noexcept {
  std::memcpy(out_keys, keys, n * sizeof *keys);
  std::memcpy(out_idx, idx, n * sizeof *idx);
}

// Sorts the run (keys, idx)[0, n) stably into (out_keys, out_idx)[0, n); the input is working room afterwards.
// The key range is cut into 2^bits equal sub-buckets and the run scattered into them, which keeps the feeding order
// within each; sub-buckets longer than kShortRun are sorted the same way (a sub-bucket spans less than 2^shift
// keys, so the shift falls by at least kMinSplitBits per level, and a run of one key is already in order); one
// insertion pass over the whole run then puts the short sub-buckets in order, moving no key out of its sub-bucket.
void sort_run(std::uint64_t* keys, std::uint32_t* idx, std::uint64_t* out_keys, std::uint32_t* out_idx,
              std::size_t n) noexcept {
  if (n <= kShortRun) {
    copy_run(keys, idx, out_keys, out_idx, n);
    insertion_sort(out_keys, out_idx, n);
    return;
  }
  std::uint64_t lo = keys[0];
  std::uint64_t hi = keys[0];
  for (std::size_t i = 1; i < n; ++i) {
    lo = std::min(lo, keys[i]);
    hi = std::max(hi, keys[i]);
  }
  if (lo == hi) {
    copy_run(keys, idx, out_keys, out_idx, n);
    return;
  }
  const int bits = std::clamp(static_cast<int>(std::bit_width(n)) + 1, kMinSplitBits, kMaxSplitBits);
  const std::size_t sub_buckets = std::size_t{1} << bits;
  const int width = std::bit_width(hi - lo);
  const int shift = width > bits ? width - bits : 0;
  std::uint32_t start[(std::size_t{1} << kMaxSplitBits) + 1];
  std::fill(start, start + sub_buckets + 1, 0u);
  for (std::size_t i = 0; i < n; ++i) ++start[((keys[i] - lo) >> shift) + 1];
  std::uint32_t longest = 0;
  for (std::size_t b = 1; b <= sub_buckets; ++b) {
    longest = std::max(longest, start[b]);
    start[b] += start[b - 1];
  }
  for (std::size_t i = 0; i < n; ++i) {
    const std::uint32_t at = start[(keys[i] - lo) >> shift]++;
    out_keys[at] = keys[i];
    out_idx[at] = idx[i];
  }
  if (longest > kShortRun) {  // start[b] is now the end of sub-bucket b
    std::size_t begin = 0;
    for (std::size_t b = 0; b < sub_buckets; ++b) {
      const std::size_t end = start[b];
      if (end - begin > kShortRun) {
        sort_run(out_keys + begin, out_idx + begin, keys + begin, idx + begin, end - begin);
        copy_run(keys + begin, idx + begin, out_keys + begin, out_idx + begin, end - begin);
      }
      begin = end;
    }
  }
  insertion_sort(out_keys, out_idx, n);
}

// Short orders: one insertion sort with the keys on the stack.
void insertion_order(const double* depths, Positions pos, std::size_t* order) noexcept {
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
}

// Beyond 32-bit indices: a comparison sort on the same keys (stable, so ties keep the feeding order).
void huge_order(const double* depths, Positions pos, std::size_t* order) {
  std::vector<std::uint64_t> keys(pos.n);
  for (std::size_t i = 0; i < pos.n; ++i) keys[i] = drawing_key(depths[i]);
  for (std::size_t p = 0; p < pos.n; ++p) order[p] = pos.index(p);
  std::stable_sort(order, order + pos.n, [&](std::size_t a, std::size_t b) { return keys[a] < keys[b]; });
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

struct OrderWork {
  static void bucket_order(const double* depths, Positions pos, std::size_t* order, OrderScratch& scratch);
};

void OrderWork::bucket_order(const double* depths, Positions pos, std::size_t* order, OrderScratch& scratch) {
  const std::size_t n = pos.n;
  const bool parallel = n >= kParallelOrderThreshold && parallel::current_num_threads() > 1;
  const std::size_t blocks =
      parallel ? std::clamp<std::size_t>(n / kMinBlock, 1, std::min(kMaxBlocks, 2 * parallel::current_num_threads()))
               : 1;
  auto block_begin = [&](std::size_t k) { return n / blocks * k + std::min(k, n % blocks); };

  // 1. The range of the numbers: per block the lowest and highest non-NaN depth (a NaN fails both comparisons).
  struct Range {
    double lo, hi;
  };
  Range ranges[kMaxBlocks];
  for_blocks(blocks, parallel, [&](std::size_t k) {
    // The blocks cut the indices as they cut the positions; the range needs every depth once, in any order. Four
    // lanes each, so that the comparisons do not wait on one another.
    constexpr double kInf = std::numeric_limits<double>::infinity();
    double lo[4] = {kInf, kInf, kInf, kInf};
    double hi[4] = {-kInf, -kInf, -kInf, -kInf};
    const double* d = depths + block_begin(k);
    const std::size_t len = block_begin(k + 1) - block_begin(k);
    std::size_t i = 0;
    for (; i + 4 <= len; i += 4) {
      for (int j = 0; j < 4; ++j) {
        lo[j] = d[i + j] < lo[j] ? d[i + j] : lo[j];
        hi[j] = d[i + j] > hi[j] ? d[i + j] : hi[j];
      }
    }
    for (; i < len; ++i) {
      lo[0] = d[i] < lo[0] ? d[i] : lo[0];
      hi[0] = d[i] > hi[0] ? d[i] : hi[0];
    }
    ranges[k] = Range{std::min({lo[0], lo[1], lo[2], lo[3]}), std::max({hi[0], hi[1], hi[2], hi[3]})};
  });
  double lowest = ranges[0].lo;
  double highest = ranges[0].hi;
  for (std::size_t k = 1; k < blocks; ++k) {
    lowest = std::min(lowest, ranges[k].lo);
    highest = std::max(highest, ranges[k].hi);
  }
  if (highest < lowest) {  // every depth is NaN: one tie group
    for (std::size_t p = 0; p < n; ++p) order[p] = pos.index(p);
    return;
  }

  // 2. Buckets: 0 holds NaN; the keys of numbers, from first_key on, fall into 1 .. buckets in steps of 2^shift.
  const std::uint64_t first_key = drawing_key(highest);
  const std::uint64_t span = drawing_key(lowest) - first_key;
  const int bits = std::clamp(static_cast<int>(std::bit_width(n)) - 4, kMinBucketBits, kMaxBucketBits);
  const std::size_t buckets = std::size_t{1} << bits;
  const int width = std::bit_width(span);
  const int shift = width > bits ? width - bits : 0;
  const std::size_t row = buckets + 1;
  auto bucket_of = [=](std::uint64_t key) noexcept -> std::size_t {
    return key == 0 ? 0 : 1 + static_cast<std::size_t>((key - first_key) >> shift);
  };

  std::uint64_t* const keys = scratch.keys_.reserve(n);
  std::uint32_t* const idx = scratch.indices_.reserve(n);
  std::uint64_t* const spare = scratch.spare_keys_.reserve(n);
  std::uint32_t* const spare_idx = scratch.spare_indices_.reserve(n);
  // One row of counts per block, then the bucket starts (row + 1 entries, the last one n).
  std::uint32_t* const counts = scratch.counts_.reserve(blocks * row + row + 1);
  std::uint32_t* const starts = counts + blocks * row;

  // 3. Counts per block and bucket.
  for_blocks(blocks, parallel, [&](std::size_t k) {
    std::uint32_t* count = counts + k * row;
    std::fill(count, count + row, 0u);
    const std::size_t end = block_begin(k + 1);
    for (std::size_t p = block_begin(k); p < end; ++p) ++count[bucket_of(drawing_key(depths[pos.index(p)]))];
  });

  // 4. Prefix sum, bucket-major and block-minor: block k's keys of bucket b go after those of earlier blocks.
  std::uint32_t running = 0;
  for (std::size_t b = 0; b < row; ++b) {
    starts[b] = running;
    for (std::size_t k = 0; k < blocks; ++k) {
      const std::uint32_t here = counts[k * row + b];
      counts[k * row + b] = running;
      running += here;
    }
  }
  starts[row] = running;
  KORVEX_ASSERT(running == n, "every position counted in exactly one bucket");

  // 5. Scatter, in feeding order within each block.
  for_blocks(blocks, parallel, [&](std::size_t k) {
    std::uint32_t* next = counts + k * row;
    const std::size_t end = block_begin(k + 1);
    for (std::size_t p = block_begin(k); p < end; ++p) {
      const std::size_t i = pos.index(p);
      const std::uint64_t key = drawing_key(depths[i]);
      const std::uint32_t at = next[bucket_of(key)]++;
      keys[at] = key;
      idx[at] = static_cast<std::uint32_t>(i);
    }
  });

  // 6. Each bucket sorted on its own, in chunks of whole buckets holding about equal numbers of positions: chunk c
  // starts at the first bucket that starts at or after position n * c / chunks.
  const std::size_t chunks = parallel ? 2 * blocks : 1;
  std::size_t chunk_first[2 * kMaxBlocks + 1];
  for (std::size_t c = 0; c < chunks; ++c) {
    const auto target = static_cast<std::uint32_t>(n / chunks * c);
    chunk_first[c] = static_cast<std::size_t>(std::lower_bound(starts, starts + row, target) - starts);
  }
  chunk_first[chunks] = row;
  for_blocks(chunks, parallel, [&](std::size_t c) {
    const std::size_t first = chunk_first[c];
    const std::size_t last = chunk_first[c + 1];
    for (std::size_t b = first; b < last; ++b) {  // bucket 0 (NaN) holds one key: sort_run copies it
      const std::size_t begin = starts[b];
      sort_run(keys + begin, idx + begin, spare + begin, spare_idx + begin, starts[b + 1] - begin);
    }
    const std::size_t end = starts[last];
    for (std::size_t p = starts[first]; p < end; ++p) order[p] = spare_idx[p];
  });
}

void order_by_depth(const double* depths, std::size_t n, std::size_t* order, TieOrder ties, OrderScratch& scratch) {
  const Positions pos{n, ties == TieOrder::DescendingIndex};
  if (n <= kInsertionLimit) {
    insertion_order(depths, pos, order);
  } else if (n > std::numeric_limits<std::uint32_t>::max()) {
    huge_order(depths, pos, order);
  } else {
    OrderWork::bucket_order(depths, pos, order, scratch);
  }
}

void order_by_depth(const double* depths, std::size_t n, std::size_t* order, TieOrder ties) {
  OrderScratch scratch;
  order_by_depth(depths, n, order, ties, scratch);
}

}  // namespace korvex::poly3d
