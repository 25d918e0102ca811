// The drawing order of polygons from their depths: a plain function on an array of doubles, shared by every
// caller that orders polygons (the collection, and any bridge that computes depths of its own).
//
// The order. Polygons whose depth is NaN come first, then the others by descending depth; +0.0 and -0.0 count as
// equal. Exactly equal depths (and the NaN group) follow their indices in the direction the caller asks for. This
// is a total order, so the result is one fixed permutation, whatever the pool size or the timing.
//
// Threads. From kParallelOrderThreshold depths on, the work runs as a few parallel loops on the current pool (the
// pool of the calling worker, else the process-wide pool, which it may create) when that pool has more than one
// worker; otherwise everything runs on the calling thread. Any thread may call it, a pool worker included.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

namespace korvex::poly3d {

// Direction among exactly equal depths: ascending index (korvex's own rule, a stable descending sort), or
// descending index (the reverse of a stable ascending sort).
enum class TieOrder : unsigned char { AscendingIndex, DescendingIndex };

// From this many depths on, the order runs on the worker pool.
inline constexpr std::size_t kParallelOrderThreshold = 16384;

// The range of the sort keys of a run of depths, gathered where the keys are made: the least of key - 1 (NaN's
// key 0 wraps to the largest value, so it never counts unless every key is NaN's) and the largest key. Bounds of
// neighbouring runs merge into those of the whole.
struct KeyBounds {
  std::uint64_t below_first = ~std::uint64_t{0};
  std::uint64_t last = 0;
  KeyBounds merge(KeyBounds other) const noexcept {
    return {below_first < other.below_first ? below_first : other.below_first,
            last > other.last ? last : other.last};
  }
};

// Working memory of order_by_depth. Kept between calls (by a collection, say), so that repeated orders of similar
// sizes allocate nothing. One scratch serves one call at a time; its contents between calls mean nothing.
class OrderScratch {
 public:
  OrderScratch() = default;
  OrderScratch(OrderScratch&&) noexcept = default;
  OrderScratch& operator=(OrderScratch&&) noexcept = default;

  // A key of the order with the index of its depth, as long runs of nearly equal keys are sorted.
  struct Entry {
    std::uint64_t key;
    std::uint32_t index;
  };

  // Room for the keys of an order of n depths (more than 64 and fewer than 2^32), to be filled by key_depths and
  // sorted by order_keyed; earlier contents are not kept.
  std::uint64_t* keys_for(std::size_t n);

 private:
  friend struct OrderWork;
  template <class T>
  struct Buffer {
    std::unique_ptr<T[]> data;
    std::size_t capacity = 0;
    // At least n elements, uninitialised; earlier contents are not kept.
    T* reserve(std::size_t n);
  };
  Buffer<std::uint64_t> keys_;
  Buffer<std::uint64_t> items_;
  Buffer<std::uint64_t> spare_items_;
  Buffer<Entry> entries_;
  Buffer<Entry> sorted_;
  Buffer<std::uint32_t> counts_;
};

// Writes the drawing order of depths[0, n) into order[0, n) (a permutation of 0 .. n-1) and returns whether it has
// an exact tie: two neighbours in the order whose depths are equal (+0.0 and -0.0, or both NaN), so that `ties`
// decided between them. Seen on the sorted keys as they are written out, it costs one comparison per depth.
// `depths` and `order` must not overlap and must stay untouched by other threads during the call. Throws
// std::bad_alloc, or the pool's InternalFault when a large order needs a pool that cannot be created.
bool order_by_depth(const double* depths, std::size_t n, std::size_t* order, TieOrder ties, OrderScratch& scratch);

// The same with working memory of its own.
bool order_by_depth(const double* depths, std::size_t n, std::size_t* order, TieOrder ties);

// The order of order_by_depth with ascending-index ties, in two steps, so that a caller that makes its depths in
// parallel tasks can make the sort keys there too, while the depths are at hand: key_depths writes the keys of
// depths[first, last) into keys[first, last) (tasks may fill disjoint ranges at once) and returns their bounds;
// once every key of [0, n) is written, order_keyed, given the merged bounds, sorts them as order_by_depth would
// and writes the same order. The keys live in scratch.keys_for(n).
KeyBounds key_depths(const double* depths, std::size_t first, std::size_t last, std::uint64_t* keys) noexcept;
bool order_keyed(std::size_t n, KeyBounds bounds, std::size_t* order, OrderScratch& scratch);

namespace detail {
// The loops that rank short runs of keys come in vector builds, of which the best one the processor runs is
// taken; tests cap the choice to run each one.
enum class OrderIsa { Portable, Avx2, Avx512 };
void cap_order_isa(OrderIsa cap) noexcept;
}  // namespace detail

}  // namespace korvex::poly3d
