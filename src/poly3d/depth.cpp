// The drawing order: a stable least-significant-digit radix sort of 64-bit keys that encode the order of
// depth.hpp, carrying polygon indices. Radix sorting is stable, so starting from ascending indices every tie ends
// in ascending index without comparing indices at all.
#include "poly3d/depth.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cstdint>
#include <limits>
#include <utility>
#include <vector>

namespace korvex::poly3d::detail {

namespace {

// Maps a depth to a key whose ascending unsigned order is the drawing order: NaN first (key 0, which no number
// reaches), then +inf, ..., +0.0 == -0.0, ..., -inf. The usual sign-magnitude flip gives the ascending order of
// numbers; its complement gives the descending one.
std::uint64_t drawing_key(double depth) noexcept {
  if (depth != depth) return 0;
  if (depth == 0.0) depth = 0.0;  // -0.0 ties with +0.0
  const auto bits = std::bit_cast<std::uint64_t>(depth);
  const std::uint64_t ascending = (bits >> 63) != 0 ? ~bits : (bits | (std::uint64_t{1} << 63));
  return ~ascending;
}

constexpr std::size_t kInsertionLimit = 64;
constexpr int kDigitBits = 8;
constexpr std::size_t kBuckets = std::size_t{1} << kDigitBits;
constexpr std::uint64_t kDigitMask = kBuckets - 1;
constexpr int kPasses = (64 + kDigitBits - 1) / kDigitBits;

// Stable insertion sort for short lists: an element moves left only past strictly larger keys.
void insertion_order(const double* depths, std::size_t n, std::size_t* order) {
  std::uint64_t keys[kInsertionLimit];
  for (std::size_t i = 0; i < n; ++i) {
    const std::uint64_t key = drawing_key(depths[i]);
    std::size_t j = i;
    for (; j > 0 && keys[j - 1] > key; --j) {
      keys[j] = keys[j - 1];
      order[j] = order[j - 1];
    }
    keys[j] = key;
    order[j] = i;
  }
}

}  // namespace

void order_by_depth(const double* depths, std::size_t n, std::size_t* order, OrderScratch& scratch) {
  if (n <= kInsertionLimit) {
    insertion_order(depths, n, order);
    return;
  }
  if (n > std::numeric_limits<std::uint32_t>::max()) {
    // Beyond 32-bit indices: a comparison sort on the same keys (stable, so ties keep ascending index).
    std::vector<std::uint64_t> keys(n);
    for (std::size_t i = 0; i < n; ++i) {
      keys[i] = drawing_key(depths[i]);
      order[i] = i;
    }
    std::stable_sort(order, order + n, [&](std::size_t a, std::size_t b) { return keys[a] < keys[b]; });
    return;
  }

  scratch.keys.resize(n);
  scratch.spare_keys.resize(n);
  scratch.indices.resize(n);
  scratch.spare_indices.resize(n);
  std::uint64_t* src_keys = scratch.keys.data();
  std::uint64_t* dst_keys = scratch.spare_keys.data();
  std::uint32_t* src_index = scratch.indices.data();
  std::uint32_t* dst_index = scratch.spare_indices.data();

  // Keys and every digit histogram in one pass over the depths.
  std::vector<std::array<std::uint32_t, kBuckets>> counts(kPasses);
  for (std::size_t i = 0; i < n; ++i) {
    const std::uint64_t key = drawing_key(depths[i]);
    src_keys[i] = key;
    src_index[i] = static_cast<std::uint32_t>(i);
    for (int p = 0; p < kPasses; ++p) ++counts[p][(key >> (p * kDigitBits)) & kDigitMask];
  }

  for (int p = 0; p < kPasses; ++p) {
    const int shift = p * kDigitBits;
    auto& count = counts[p];
    // A digit shared by every key changes nothing (the depths of one scene usually share sign and exponent).
    if (count[(src_keys[0] >> shift) & kDigitMask] == n) continue;
    std::uint32_t start = 0;
    for (auto& c : count) {
      const std::uint32_t here = c;
      c = start;
      start += here;
    }
    for (std::size_t i = 0; i < n; ++i) {
      const std::uint64_t key = src_keys[i];
      const std::uint32_t at = count[(key >> shift) & kDigitMask]++;
      dst_keys[at] = key;
      dst_index[at] = src_index[i];
    }
    std::swap(src_keys, dst_keys);
    std::swap(src_index, dst_index);
  }
  for (std::size_t i = 0; i < n; ++i) order[i] = src_index[i];
}

}  // namespace korvex::poly3d::detail
