// The drawing order as a radix sort of 64-bit keys that encode it.
//
// Every depth becomes a key whose ascending unsigned order is the drawing order (NaN lowest); the same pass finds
// the range of the keys of numbers. Keys are taken relative to the lowest one, and their top 22 bits that can
// differ (with NaN's class ahead of all) make a class, carried with its index as one 8-byte item. Two stable
// scatters of 11 bits each sort the items by class (least significant digit first); keys of one class are then
// next to each other, in feeding order, and differ only in their low bits, and each class is sorted on them: a
// short one by ranking its keys, a long one by sort_group. Every step is stable or sorts distinct values, so the
// tie rule is only the order in which positions are fed in: index p, or index n-1-p for descending ties.
//
// Each pass is a parallel loop over blocks of positions; each block writes only its own row of counts and its own
// (disjoint) places of the output, decided by a prefix sum on the calling thread.
#include "poly3d/order.hpp"

#include <algorithm>
#include <atomic>
#include <bit>
#include <cstring>
#include <limits>
#include <vector>

#if defined(__x86_64__) && defined(__GNUC__)
#include <immintrin.h>
#endif

#include "common/assert.hpp"
#include "common/prefetch.hpp"
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
using detail::OrderIsa;

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
// hold; fewer would leave more to the class pass), two digits in all; and the counters of one digit, whose top
// digit may reach 2^11 itself (classes run from 0 to 2^22).
constexpr int kDigitBits = 11;
constexpr std::size_t kDigitBuckets = std::size_t{1} << kDigitBits;
constexpr std::size_t kDigitCounters = kDigitBuckets + 1;
constexpr int kClassBits = 2 * kDigitBits;
// Classes up to this many keys are sorted by ranking.
constexpr std::size_t kRankLimit = 64;
// The class pass reads the keys of its items by index, all over the keys; on the pool, where other cores wrote many
// of them, it asks for those of the next items this far ahead (on one thread they are at hand, and asking costs).
constexpr std::size_t kKeyLookahead = 32;
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

namespace {

// The class of a key: NaN's key is class 0; a number's key is 1 + the top kClassBits of its offset from the
// smallest key of a number (all of it when it is shorter), so classes keep the order of the keys and keys of one
// class differ only in their `rest` low bits. A class fits in 32 bits, so a class and an index (which is below
// 2^32) make one 64-bit item: the radix passes move 8 bytes per key, and a sorted run of items is in class order
// and, within a class, in the order the positions were fed in.
struct Classes {
  std::uint64_t first;
  int rest;
  std::uint64_t of(std::uint64_t key) const noexcept { return key == 0 ? 0 : ((key - first) >> rest) + 1; }
  std::uint64_t item(std::uint64_t key, std::size_t index) const noexcept { return of(key) << 32 | index; }
  static std::uint64_t class_of(std::uint64_t item) noexcept { return item >> 32; }
  static std::uint32_t index_of(std::uint64_t item) noexcept { return static_cast<std::uint32_t>(item); }
  std::uint64_t low_bits(std::uint64_t key) const noexcept {
    return rest == 0 ? 0 : (key - first) & ((std::uint64_t{1} << rest) - 1);
  }
};

Classes classes_of(KeyRange range) noexcept {
  const int width = std::bit_width(range.last - range.first);
  return Classes{range.first, width > kClassBits ? width - kClassBits : 0};
}

// Sorts the distinct values t[0, m) (m <= kRankLimit) into sorted[0, m) by their ranks, the count of values below
// each. The values come as signed numbers whose sign bit is flipped (so that a signed comparison orders them as
// unsigned ones), and t holds room up to a multiple of four filled with the largest value, which counts below
// none. With AVX2 four comparisons per instruction, with AVX-512 eight, and no branch on the data.
void rank_sort_scalar(const std::int64_t* t, std::size_t m, std::int64_t* sorted) noexcept {
  for (std::size_t j = 0; j < m; ++j) {
    std::size_t rank = 0;
    for (std::size_t i = 0; i < m; ++i) rank += t[i] < t[j] ? 1 : 0;
    sorted[rank] = t[j];
  }
}

#if defined(__x86_64__) && defined(__GNUC__)
[[gnu::target("avx2")]] void rank_sort_avx2(const std::int64_t* t, std::size_t m, std::int64_t* sorted) noexcept {
  const std::size_t vectors = (m + 3) / 4;
  for (std::size_t j = 0; j < m; ++j) {
    const __m256i x = _mm256_set1_epi64x(t[j]);
    int rank = 0;
    for (std::size_t v = 0; v < vectors; ++v) {
      const __m256i below = _mm256_cmpgt_epi64(x, _mm256_load_si256(reinterpret_cast<const __m256i*>(t + 4 * v)));
      rank += std::popcount(static_cast<unsigned>(_mm256_movemask_pd(_mm256_castsi256_pd(below))));
    }
    sorted[rank] = t[j];
  }
}

// The same eight lanes at a time; lanes past m are not read but set to the largest value. The values are read
// again for every j (from the first level of cache): a local array of vectors would need a stack realigned to 64
// bytes, which the address sanitizer's instrumentation of this compiler gets wrong.
[[gnu::target("avx512f")]] void rank_sort_avx512(const std::int64_t* t, std::size_t m, std::int64_t* sorted) noexcept {
  const std::size_t vectors = (m + 7) / 8;
  const __m512i largest = _mm512_set1_epi64(std::numeric_limits<std::int64_t>::max());
  for (std::size_t j = 0; j < m; ++j) {
    const __m512i x = _mm512_set1_epi64(t[j]);
    int rank = 0;
    for (std::size_t v = 0; v < vectors; ++v) {
      const std::size_t left = m - 8 * v;
      const __mmask8 lanes = left >= 8 ? __mmask8{0xff} : static_cast<__mmask8>((1u << left) - 1);
      const __m512i values = _mm512_mask_loadu_epi64(largest, lanes, t + 8 * v);
      rank += std::popcount(static_cast<unsigned>(_mm512_cmpgt_epi64_mask(x, values)));
    }
    sorted[rank] = t[j];
  }
}

OrderIsa best_order_isa() noexcept {
  static const OrderIsa best = [] {
    __builtin_cpu_init();
    if (__builtin_cpu_supports("avx512f")) return OrderIsa::Avx512;
    if (__builtin_cpu_supports("avx2")) return OrderIsa::Avx2;
    return OrderIsa::Portable;
  }();
  return best;
}
#endif

std::atomic<OrderIsa> order_isa_cap{OrderIsa::Avx512};

// The vector loop to use: the best the processor runs, within the cap tests may set.
OrderIsa order_isa() noexcept {
#if defined(__x86_64__) && defined(__GNUC__)
  return std::min(best_order_isa(), order_isa_cap.load(std::memory_order_relaxed));
#else
  return OrderIsa::Portable;
#endif
}

void rank_sort(const std::int64_t* t, std::size_t m, std::int64_t* sorted) noexcept {
  KORVEX_ASSERT(m <= kRankLimit, "rank sorts are short");
#if defined(__x86_64__) && defined(__GNUC__)
  switch (order_isa()) {
    case OrderIsa::Avx512:
      return rank_sort_avx512(t, m, sorted);
    case OrderIsa::Avx2:
      return rank_sort_avx2(t, m, sorted);
    default:
      break;
  }
#endif
  rank_sort_scalar(t, m, sorted);
}

// Sorts one class of m >= 2 items (in feeding order) on the full keys and writes their indices to order[0, m);
// returns whether two of them have equal keys. Up to kRankLimit items, each key's low bits and the item's place in
// the class make one distinct packed value (the low bits are at most 64 - kClassBits wide, the place at most
// bit_width(kRankLimit - 1)), and ranking those sorts the class stably. Longer classes are sorted as entries of key
// and index by sort_group, with `room` and `spare` as working memory.
bool sort_class(const std::uint64_t* items, std::size_t m, const std::uint64_t* keys, Classes classes,
                std::size_t* order, Entry* room, Entry* spare) noexcept {
  bool tied = false;
  if (m <= kRankLimit) {
    const int place_bits = std::bit_width(m - 1);
    constexpr std::uint64_t kFlip = std::uint64_t{1} << 63;
    alignas(32) std::int64_t packed[kRankLimit];
    std::int64_t sorted[kRankLimit];
    for (std::size_t j = 0; j < m; ++j) {
      packed[j] = static_cast<std::int64_t>(
          (classes.low_bits(keys[Classes::index_of(items[j])]) << place_bits | j) ^ kFlip);
    }
    for (std::size_t j = m; j % 4 != 0; ++j) packed[j] = std::numeric_limits<std::int64_t>::max();
    rank_sort(packed, m, sorted);
    const std::uint64_t place_mask = (std::uint64_t{1} << place_bits) - 1;
    for (std::size_t r = 0; r < m; ++r) {
      const auto value = static_cast<std::uint64_t>(sorted[r]);
      order[r] = Classes::index_of(items[value & place_mask]);
      if (r > 0) tied |= (value >> place_bits) == (static_cast<std::uint64_t>(sorted[r - 1]) >> place_bits);
    }
    return tied;
  }
  for (std::size_t j = 0; j < m; ++j) {
    const std::uint32_t index = Classes::index_of(items[j]);
    room[j] = Entry{keys[index], index};
  }
  sort_group(room, spare, m);
  for (std::size_t r = 0; r < m; ++r) {
    order[r] = room[r].index;
    if (r > 0) tied |= room[r].key == room[r - 1].key;
  }
  return tied;
}

// Sorts the items of one part, whose classes lie in [lowest, highest), and writes the indices in drawing order to
// order[0, n); returns whether two neighbours in the order have equal keys. item(q) gives the part's q-th item in
// feeding order (it may read them from `items`). The classes are sorted by one or two stable scatters of
// kDigitBits (least significant digit first, counted in one pass), then each class on the full keys, whose reads
// are asked for ahead when `fetch_ahead`. `items` and `spare` hold n items, `room` and `room_spare` n entries,
// `counts` 2 * kDigitCounters counters.
template <class ItemAt>
bool sort_part(ItemAt&& item, std::size_t n, std::uint64_t lowest, std::uint64_t highest, const std::uint64_t* keys,
               Classes classes, std::size_t* order, std::uint64_t* items, std::uint64_t* spare, Entry* room,
               Entry* room_spare, std::uint32_t* counts, bool fetch_ahead) noexcept {
  const int width = std::bit_width(highest - lowest);
  const bool two_digits = width > kDigitBits;
  KORVEX_ASSERT(width <= 2 * kDigitBits + 1, "two digits hold a part's classes");
  auto low_digit = [=](std::uint64_t it) noexcept -> std::size_t {
    return static_cast<std::size_t>((Classes::class_of(it) - lowest) & (kDigitBuckets - 1));
  };
  auto top_digit = [=](std::uint64_t it) noexcept -> std::size_t {
    return static_cast<std::size_t>((Classes::class_of(it) - lowest) >> (two_digits ? kDigitBits : 0));
  };
  std::uint32_t* const low_counts = counts;
  std::uint32_t* const top_counts = counts + kDigitCounters;
  std::fill(counts, counts + 2 * kDigitCounters, 0u);
  for (std::size_t q = 0; q < n; ++q) {
    const std::uint64_t it = item(q);
    KORVEX_ASSERT(Classes::class_of(it) >= lowest && Classes::class_of(it) <= highest, "a part holds its classes");
    ++low_counts[low_digit(it)];
    ++top_counts[top_digit(it)];
  }
  auto starts = [](std::uint32_t* c) {
    std::uint32_t running = 0;
    for (std::size_t b = 0; b < kDigitCounters; ++b) {
      const std::uint32_t here = c[b];
      c[b] = running;
      running += here;
    }
  };
  // The items may be read from `items` itself: the last scatter writes there only after the first read them all.
  const std::uint64_t* sorted = nullptr;
  if (two_digits) {
    starts(low_counts);
    for (std::size_t q = 0; q < n; ++q) {
      const std::uint64_t it = item(q);
      spare[low_counts[low_digit(it)]++] = it;
    }
    starts(top_counts);
    for (std::size_t q = 0; q < n; ++q) items[top_counts[top_digit(spare[q])]++] = spare[q];
    sorted = items;
  } else {
    starts(top_counts);
    for (std::size_t q = 0; q < n; ++q) {
      const std::uint64_t it = item(q);
      spare[top_counts[top_digit(it)]++] = it;
    }
    sorted = spare;
  }
  // Classes in order; within one, the keys differ in their low bits only.
  bool tied = false;
  std::size_t begin = 0;
  std::size_t fetched = 0;  // the keys of the items before this one are asked for ahead of their class
  while (begin < n) {
    const std::uint64_t c = Classes::class_of(sorted[begin]);
    std::size_t end = begin + 1;
    while (end < n && Classes::class_of(sorted[end]) == c) ++end;
    for (const std::size_t stop = fetch_ahead ? std::min(n, end + kKeyLookahead) : 0; fetched < stop; ++fetched) {
      prefetch(keys + Classes::index_of(sorted[fetched]));
    }
    if (end - begin == 1) {
      order[begin] = Classes::index_of(sorted[begin]);
    } else if (c == 0 || classes.rest == 0) {  // NaN's, or keys that are all class: one tie group
      for (std::size_t q = begin; q < end; ++q) order[q] = Classes::index_of(sorted[q]);
      tied = true;
    } else {
      tied |= sort_class(sorted + begin, end - begin, keys, classes, order + begin, room + begin,
                         room_spare + begin);
    }
    begin = end;
  }
  return tied;
}

#if defined(__x86_64__) && defined(__GNUC__)
// This compiler's unmasked AVX-512 integer intrinsics pass an undefined vector as the merge source, which its own
// uninitialised-value warnings then report.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wuninitialized"
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
// make_keys for a multiple of eight depths, eight at a time, with the bounds kept per lane and folded at the end
// (unsigned minimum and maximum, which need AVX-512).
[[gnu::target("avx512f")]] KeyBounds make_keys_avx512(const double* depths, std::size_t first, std::size_t last,
                                                      std::uint64_t* keys) noexcept {
  const __m512i top = _mm512_set1_epi64(static_cast<long long>(std::uint64_t{1} << 63));
  const __m512i one = _mm512_set1_epi64(1);
  __m512i below_first = _mm512_set1_epi64(-1);
  __m512i largest = _mm512_setzero_si512();
  for (std::size_t i = first; i < last; i += 8) {
    const __m512d depth = _mm512_add_pd(_mm512_loadu_pd(depths + i), _mm512_setzero_pd());
    const __m512i bits = _mm512_castpd_si512(depth);
    const __m512i flip = _mm512_or_si512(_mm512_srai_epi64(bits, 63), top);
    // ~(bits ^ flip) for numbers, 0 for NaN. The table's bit 4a + 2b + c is the result for bits a of `bits`, b
    // and c of `flip` (so b == c): ones at 0 and 7, where a == b.
    const __m512i key = _mm512_maskz_ternarylogic_epi64(_mm512_cmp_pd_mask(depth, depth, _CMP_ORD_Q), bits, flip,
                                                        flip, 0x81);
    _mm512_storeu_si512(keys + i, key);
    below_first = _mm512_min_epu64(below_first, _mm512_sub_epi64(key, one));
    largest = _mm512_max_epu64(largest, key);
  }
  return KeyBounds{_mm512_reduce_min_epu64(below_first), _mm512_reduce_max_epu64(largest)};
}
#pragma GCC diagnostic pop
#endif

// Keys of depths[first, last) written by index, and their range.
KeyBounds make_keys(const double* depths, std::size_t first, std::size_t last, std::uint64_t* keys) noexcept {
  KeyBounds bounds;
  std::size_t i = first;
#if defined(__x86_64__) && defined(__GNUC__)
  if (order_isa() == OrderIsa::Avx512 && last - first >= 8) {
    i = first + (last - first) / 8 * 8;
    bounds = make_keys_avx512(depths, first, i, keys);
  }
#endif
  for (; i < last; ++i) {
    const std::uint64_t key = drawing_key(depths[i]);
    keys[i] = key;
    bounds.below_first = std::min(bounds.below_first, key - 1);
    bounds.last = std::max(bounds.last, key);
  }
  return bounds;
}

std::size_t order_threads(std::size_t n) {
  return n >= kParallelOrderThreshold ? parallel::current_num_threads() : 1;
}

// Positions [0, n) cut into `count` contiguous blocks of nearly equal size, for the passes on the pool.
struct Blocks {
  std::size_t n;
  std::size_t count;
  Blocks(std::size_t n_, std::size_t threads)
      : n(n_), count(threads > 1 ? std::clamp<std::size_t>(n_ / kMinBlock, 1, std::min(kMaxBlocks, 2 * threads)) : 1) {}
  std::size_t begin(std::size_t k) const noexcept { return n / count * k + std::min(k, n % count); }
};

// Runs a radix order of n keys: from a worker of the pool when it is sorted there (its passes are short, so the
// order is handed over once, see run_on_pool), else on the calling thread.
template <class Sort>
bool run_order(std::size_t n, Sort&& sort) {
  if (order_threads(n) == 1) return sort();
  bool tied = false;
  parallel::run_on_pool([&] { tied = sort(); });
  return tied;
}

}  // namespace

struct OrderWork {
  static bool radix_order(const double* depths, Positions pos, std::size_t* order, OrderScratch& scratch);
  static bool sort_keys(Positions pos, KeyBounds bounds, std::size_t* order, OrderScratch& scratch);
  static std::uint64_t* keys(OrderScratch& scratch, std::size_t n) { return scratch.keys_.reserve(n); }
};

// 1. The keys by index, and per block the range of the keys of numbers.
bool OrderWork::radix_order(const double* depths, Positions pos, std::size_t* order, OrderScratch& scratch) {
  const std::size_t n = pos.n;
  const Blocks blocks(n, order_threads(n));
  std::uint64_t* const keys = scratch.keys_.reserve(n);
  KeyBounds ranges[kMaxBlocks];
  for_blocks(blocks.count, blocks.count > 1, [&](std::size_t k) {
    ranges[k] = make_keys(depths, blocks.begin(k), blocks.begin(k + 1), keys);
  });
  KeyBounds bounds = ranges[0];
  for (std::size_t k = 1; k < blocks.count; ++k) bounds = bounds.merge(ranges[k]);
  return sort_keys(pos, bounds, order, scratch);
}

// On one thread the whole run is one part. On the pool, the keys are first cut into contiguous key ranges (parts)
// of about equal counts, which blocks of positions scatter into place as items; then each part is sorted by one
// task. The parts are large, so the blocks share hardly a cache line when scattering, and the sorts share none.
bool OrderWork::sort_keys(Positions pos, KeyBounds bounds, std::size_t* order, OrderScratch& scratch) {
  const std::size_t n = pos.n;
  const std::size_t threads = order_threads(n);
  const bool parallel = threads > 1;
  const Blocks blocks(n, threads);
  const KeyRange range{bounds.below_first + 1, bounds.last};
  const Classes classes = classes_of(range);
  const std::uint64_t highest_class = range.last == 0 ? 0 : classes.of(range.last);

  const std::uint64_t* const keys = scratch.keys_.reserve(n);
  std::uint64_t* const items = scratch.items_.reserve(n);
  std::uint64_t* const spare = scratch.spare_items_.reserve(n);
  Entry* const room = scratch.entries_.reserve(n);
  Entry* const room_spare = scratch.sorted_.reserve(n);
  if (!parallel || range.last == 0) {
    std::uint32_t* const counts = scratch.counts_.reserve(2 * kDigitCounters);
    if (pos.descending) {
      auto item = [&](std::size_t q) noexcept {
        const std::size_t i = n - 1 - q;
        return classes.item(keys[i], i);
      };
      return sort_part(item, n, 0, highest_class, keys, classes, order, items, spare, room, room_spare, counts,
                       false);
    }
    auto item = [&](std::size_t q) noexcept { return classes.item(keys[q], q); };
    return sort_part(item, n, 0, highest_class, keys, classes, order, items, spare, room, room_spare, counts,
                     false);
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
  std::uint32_t* const bin_counts = scratch.counts_.reserve(blocks.count * kBins + parts * 2 * kDigitCounters);
  std::uint32_t* const part_counts = bin_counts + blocks.count * kBins;  // each part's counters while it is sorted
  for_blocks(blocks.count, parallel, [&](std::size_t k) {
    std::uint32_t* count = bin_counts + k * kBins;
    std::fill(count, count + kBins, 0u);
    const std::size_t end = blocks.begin(k + 1);
    for (std::size_t p = blocks.begin(k); p < end; ++p) ++count[bin_of(keys[pos.index(p)])];
  });
  // Part j is bins [first_bin[j], first_bin[j + 1]): a part is full once it holds n * (j + 1) / parts keys in all,
  // and the next bin opens the next part (the last part takes every bin that remains).
  std::uint32_t bin_total[kBins];
  for (std::size_t bin = 0; bin < kBins; ++bin) {
    bin_total[bin] = 0;
    for (std::size_t k = 0; k < blocks.count; ++k) bin_total[bin] += bin_counts[k * kBins + bin];
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
  // Bin b >= 1 holds the classes ((b - 1) << step) + 1 .. b << step (the bins are coarser than the classes), so
  // part j's classes lie between those of its first and its last bin.
  const int step = bin_shift - classes.rest;
  std::uint64_t part_lowest[kMaxParts];
  std::uint64_t part_highest[kMaxParts];
  for (std::size_t j = 0; j < parts; ++j) {
    const std::size_t low = first_bin[j];
    const std::size_t high = first_bin[j + 1];  // one past the last bin
    part_lowest[j] = low == 0 ? 0 : (static_cast<std::uint64_t>(low - 1) << step) + 1;
    part_highest[j] = high <= 1 ? 0 : std::min(highest_class, static_cast<std::uint64_t>(high - 1) << step);
  }
  // Block k's keys of part j go after those of earlier blocks.
  std::uint32_t next[kMaxBlocks][kMaxParts] = {};
  for (std::size_t k = 0; k < blocks.count; ++k) {
    for (std::size_t bin = 0; bin < kBins; ++bin) next[k][part_of_bin[bin]] += bin_counts[k * kBins + bin];
  }
  std::uint32_t running = 0;
  for (std::size_t j = 0; j < parts; ++j) {
    for (std::size_t k = 0; k < blocks.count; ++k) {
      const std::uint32_t here = next[k][j];
      next[k][j] = running;
      running += here;
    }
  }

  // 3. Scatter into the parts as items, in feeding order within each block.
  for_blocks(blocks.count, parallel, [&](std::size_t k) {
    std::uint32_t* to = next[k];
    const std::size_t end = blocks.begin(k + 1);
    for (std::size_t p = blocks.begin(k); p < end; ++p) {
      const std::size_t i = pos.index(p);
      items[to[part_of_bin[bin_of(keys[i])]]++] = classes.item(keys[i], i);
    }
  });

  // 4. Each part sorted by a task of its own. Equal keys share a class, so a tie never straddles two parts.
  bool part_tied[kMaxParts] = {};
  for_blocks(parts, parallel, [&](std::size_t j) {
    const std::size_t begin = part_begin[j];
    const std::size_t count = part_begin[j + 1] - begin;
    if (count == 0) return;
    const std::uint64_t* const from = items + begin;
    part_tied[j] = sort_part([from](std::size_t q) noexcept { return from[q]; }, count, part_lowest[j],
                             part_highest[j], keys, classes, order + begin, items + begin, spare + begin,
                             room + begin, room_spare + begin, part_counts + j * 2 * kDigitCounters, true);
  });
  return std::any_of(part_tied, part_tied + parts, [](bool t) { return t; });
}

bool order_by_depth(const double* depths, std::size_t n, std::size_t* order, TieOrder ties, OrderScratch& scratch) {
  const Positions pos{n, ties == TieOrder::DescendingIndex};
  if (n <= kInsertionLimit) return insertion_order(depths, pos, order);
  if (n > std::numeric_limits<std::uint32_t>::max()) return huge_order(depths, pos, order);
  return run_order(n, [&] { return OrderWork::radix_order(depths, pos, order, scratch); });
}

bool order_by_depth(const double* depths, std::size_t n, std::size_t* order, TieOrder ties) {
  OrderScratch scratch;
  return order_by_depth(depths, n, order, ties, scratch);
}

void detail::cap_order_isa(OrderIsa cap) noexcept { order_isa_cap.store(cap, std::memory_order_relaxed); }

std::uint64_t* OrderScratch::keys_for(std::size_t n) {
  KORVEX_ASSERT(n > kInsertionLimit && n <= std::numeric_limits<std::uint32_t>::max(),
                "keyed orders are radix orders");
  return OrderWork::keys(*this, n);
}

KeyBounds key_depths(const double* depths, std::size_t first, std::size_t last, std::uint64_t* keys) noexcept {
  return make_keys(depths, first, last, keys);
}

bool order_keyed(std::size_t n, KeyBounds bounds, std::size_t* order, OrderScratch& scratch) {
  KORVEX_ASSERT(n > kInsertionLimit && n <= std::numeric_limits<std::uint32_t>::max(),
                "keyed orders are radix orders");
  const Positions pos{n, false};
  return run_order(n, [&] { return OrderWork::sort_keys(pos, bounds, order, scratch); });
}

}  // namespace korvex::poly3d
