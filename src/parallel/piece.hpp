// The splitting rule of the parallel loop, as a value type: a piece is an index range with a split budget.
//
//   A piece of length L is too small when L / 2 < min_len: it runs sequentially.
//   Otherwise it halves at lo + L / 2 while its budget lasts (the budget halves too); a moved piece always
//   halves, with its budget raised to at least T.
//
// T is the pool size and the budget of the loop's first piece [0, n). A piece is moved when it runs on another
// thread than the one that created it. The rule alone bounds the pieces of work that stays on one thread to about
// twice T, and lets a thread that took work over cut it up again.
#pragma once

#include <algorithm>
#include <cstddef>
#include <optional>

namespace korvex::parallel {

// The loop-wide constants of the rule.
struct SplitRule {
  // min_len 0 counts as 1; a pool size of 0 counts as 1.
  constexpr SplitRule(std::size_t pool_size, std::size_t min_piece) noexcept
      : num_threads(std::max<std::size_t>(pool_size, 1)), min_len(std::max<std::size_t>(min_piece, 1)) {}

  std::size_t num_threads;  // T, at least 1
  std::size_t min_len;      // at least 1
};

// The two halves of a split piece, both with the new budget; defined below.
struct Halves;

struct Piece {
  std::size_t lo = 0;
  std::size_t hi = 0;      // lo <= hi
  std::size_t budget = 0;  // S

  // The first piece of a loop over n indices.
  static constexpr Piece whole(std::size_t n, const SplitRule& rule) noexcept { return Piece{0, n, rule.num_threads}; }

  constexpr std::size_t size() const noexcept { return hi - lo; }

  // The halves this piece splits into, or nullopt when it runs sequentially.
  constexpr std::optional<Halves> split(const SplitRule& rule, bool moved) const noexcept;

  friend constexpr bool operator==(const Piece&, const Piece&) = default;
};

struct Halves {
  Piece left;   // [lo, mid)
  Piece right;  // [mid, hi)
};

constexpr std::optional<Halves> Piece::split(const SplitRule& rule, bool moved) const noexcept {
  const std::size_t len = size();
  if (len / 2 < rule.min_len) return std::nullopt;
  std::size_t next;
  if (moved) {
    next = std::max(budget / 2, rule.num_threads);
  } else if (budget > 0) {
    next = budget / 2;
  } else {
    return std::nullopt;
  }
  const std::size_t mid = lo + len / 2;
  return Halves{Piece{lo, mid, next}, Piece{mid, hi, next}};
}

}  // namespace korvex::parallel
