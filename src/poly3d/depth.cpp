// The drawing order: a stable least-significant-digit radix sort of 64-bit keys that encode the order of
// depth.hpp, carrying polygon indices. Radix sorting is stable, so starting from ascending indices every tie ends
// in ascending index without comparing indices at all.
#include "depth.hpp"

#include <array>
#include <bit>
#include <cstdint>
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
constexpr int kPasses = 64 / kDigitBits;

}  // namespace

void order_by_depth(const double* depths, std::size_t n, std::size_t* order) {
  std::vector<std::uint64_t> keys(n);
  for (std::size_t i = 0; i < n; ++i) {
    keys[i] = drawing_key(depths[i]);
    order[i] = i;
  }

  if (n <= kInsertionLimit) {
    // Stable insertion sort: an element moves left only past strictly larger keys.
    for (std::size_t i = 1; i < n; ++i) {
      const std::uint64_t key = keys[i];
      const std::size_t index = order[i];
      std::size_t j = i;
      for (; j > 0 && keys[j - 1] > key; --j) {
        keys[j] = keys[j - 1];
        order[j] = order[j - 1];
      }
      keys[j] = key;
      order[j] = index;
    }
    return;
  }

  // All digit histograms in one pass; a digit shared by every key is skipped (depths of one scene usually share
  // their sign and exponent bytes).
  std::vector<std::array<std::size_t, kBuckets>> counts(kPasses);
  for (auto& c : counts) c.fill(0);
  for (std::size_t i = 0; i < n; ++i) {
    const std::uint64_t key = keys[i];
    for (int p = 0; p < kPasses; ++p) ++counts[p][(key >> (p * kDigitBits)) & (kBuckets - 1)];
  }

  std::vector<std::uint64_t> spare_keys(n);
  std::vector<std::size_t> spare_order(n);
  std::uint64_t* src_keys = keys.data();
  std::size_t* src_order = order;
  std::uint64_t* dst_keys = spare_keys.data();
  std::size_t* dst_order = spare_order.data();
  for (int p = 0; p < kPasses; ++p) {
    const int shift = p * kDigitBits;
    auto& count = counts[p];
    if (count[(src_keys[0] >> shift) & (kBuckets - 1)] == n) continue;
    std::size_t start = 0;
    for (auto& c : count) {
      const std::size_t here = c;
      c = start;
      start += here;
    }
    for (std::size_t i = 0; i < n; ++i) {
      const std::uint64_t key = src_keys[i];
      const std::size_t at = count[(key >> shift) & (kBuckets - 1)]++;
      dst_keys[at] = key;
      dst_order[at] = src_order[i];
    }
    std::swap(src_keys, dst_keys);
    std::swap(src_order, dst_order);
  }
  if (src_order != order) {
    for (std::size_t i = 0; i < n; ++i) order[i] = src_order[i];
  }
}

}  // namespace korvex::poly3d::detail
