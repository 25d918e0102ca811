// Matplotlib's polygon collection arithmetic (mplot3d's Poly3DCollection, Matplotlib 3.11): the depth-sorted
// projection of do_3d_projection and the shading of _generate_normals / _shade_colors, with the results NumPy
// gives, bit for bit.
//
// Where Matplotlib's numbers come from:
// - Projection. `_scale_proj_transform_vectors` multiplies the 4 x 4 matrix by the 4 x N stack of every vertex
//   (x, y, z, 1) with np.dot, which BLAS computes, then divides rows 0 to 2 by row 3: the row sums of
//   proj3d/mpl_rule.hpp (dgemm's order, or dgemv's for a single vertex), NumPy's division.
// - Masking. A vertex is masked when Matplotlib's `_invalid_vertices` says so (padding of ragged lists, masked
//   input), when a coordinate is not finite (the linear scale's valid range), or, with axlim_clip, when it lies
//   outside the view limits.
// - Depth. np.average / np.min / np.max over each face's projected z: NumPy's pairwise sum, divided by the vertex
//   count; with masking, NumPy's masked-array reductions (masked values count as 0 in the sum and are left out
//   of the count; a face with no valid vertex has depth 0 for the average and 1e20, the fill value, for min and
//   max). NaN propagates through all three.
// - Order. `np.argsort(depth)[::-1]`: farthest first, NaN before everything. Without exact ties that is one
//   permutation, which the order here gives. NumPy's default sort leaves the order of exact ties (+0.0 and -0.0,
//   NaN and NaN included) to its algorithm, which is not stable everywhere (x86-64's AVX-512 sort is not), so
//   the order here puts ties in descending index, what a stable sort would leave, and says whether it met any:
//   the caller then takes NumPy's own argsort of depths() (use_ascending_order).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "poly3d/collection.hpp"
#include "poly3d/order.hpp"

namespace korvex::poly3d::mpl {

// Matplotlib's `_faces`: n faces of `verts` vertices each, coordinates x, y, z as float64 at any byte strides.
struct FaceGrid {
  const char* data = nullptr;
  std::size_t faces = 0;
  std::size_t verts = 0;
  std::ptrdiff_t face_stride = 0;
  std::ptrdiff_t vertex_stride = 0;
  std::ptrdiff_t coord_stride = 0;

  double at(std::size_t face, std::size_t vertex, std::size_t coord) const noexcept {
    return *reinterpret_cast<const double*>(data + static_cast<std::ptrdiff_t>(face) * face_stride +
                                            static_cast<std::ptrdiff_t>(vertex) * vertex_stride +
                                            static_cast<std::ptrdiff_t>(coord) * coord_stride);
  }
};

// Matplotlib's `_invalid_vertices` when it is an array: one bool (one byte) per vertex at any byte strides. A
// null `data` stands for Matplotlib's plain False.
struct VertexFlags {
  const char* data = nullptr;
  std::ptrdiff_t face_stride = 0;
  std::ptrdiff_t vertex_stride = 0;

  bool at(std::size_t face, std::size_t vertex) const noexcept {
    return data != nullptr && *(data + static_cast<std::ptrdiff_t>(face) * face_stride +
                                static_cast<std::ptrdiff_t>(vertex) * vertex_stride) != 0;
  }
};

// The view limits that axlim_clip compares data coordinates with (a vertex outside is masked).
struct ViewBox {
  double xmin, xmax, ymin, ymax, zmin, zmax;
};

struct FaceProjectionInput {
  FaceGrid faces;
  VertexFlags invalid;
  bool clip = false;  // axlim_clip: mask vertices outside `box`
  ViewBox box{};
  std::array<double, 16> matrix{};  // row-major
  ZSortMode zsort = ZSortMode::Average;
  bool keep_z = false;  // keep every vertex's projected z (z()), for a caller that needs more than the depths
};

// The depth-sorted projection of one draw. Everything is computed by run(); the writers then lay the outlines
// out in drawing order as Matplotlib's PolyCollection receives them.
class FaceProjection {
 public:
  // Projects every vertex, decides the masking, reduces each face to its depth and orders the faces. Large grids
  // run on the worker pool; the results do not depend on the pool size.
  void run(const FaceProjectionInput& in);

  std::size_t faces() const noexcept { return faces_; }
  std::size_t verts() const noexcept { return verts_; }
  // Whether some vertex is masked (Matplotlib's `needs_masking`).
  bool needs_masking() const noexcept { return needs_masking_; }
  // Whether NumPy would have warned in Matplotlib's computation: a projected coordinate overflowed in the
  // division, or an average's sum overflowed or met inf - inf. (Matplotlib ignores NumPy's divide and invalid
  // warnings of the projection itself.) Callers hand such draws to Matplotlib so that the warning is given.
  bool numpy_warns() const noexcept { return numpy_warns_; }
  // Drawing order: order()[s] is the face drawn at position s.
  const std::vector<std::size_t>& order() const noexcept { return order_; }
  // Whether two faces of exactly equal depth are neighbours in order() (+0.0 and -0.0, or both NaN): then NumPy's
  // sort decides between them in Matplotlib, in a way that depends on its algorithm.
  bool has_ties() const noexcept { return has_ties_; }
  // Replaces the drawing order by `ascending` reversed: Matplotlib's argsort(depths())[::-1] given NumPy's
  // argsort, a permutation of the faces() indices.
  void use_ascending_order(const std::ptrdiff_t* ascending) noexcept;
  // Depth of each face, by face index (what Matplotlib sorts).
  const std::vector<double>& depths() const noexcept { return depths_; }
  // Matplotlib's np.min over the projected z of every valid vertex (NaN when one is NaN); meaningful only when
  // any_valid().
  double min_z() const noexcept { return min_z_; }
  bool any_valid() const noexcept { return any_valid_; }
  // Whether vertex j of face i is valid (not masked).
  bool valid(std::size_t face, std::size_t vertex) const noexcept {
    return !needs_masking_ || valid_[face * verts_ + vertex] != 0;
  }
  // Projected x, y of every vertex, by face and vertex (masked vertices NaN), and, when the input asked to keep
  // it, projected z (masked vertices 0, as they enter a masked sum); empty otherwise.
  const std::vector<double>& xy() const noexcept { return xy_; }
  const std::vector<double>& z() const noexcept { return z_; }

  // Closed outlines as PolyCollection.set_verts(..., closed=True) builds them: `out` holds faces() x (verts()+1)
  // x 2 doubles; row s is face order()[s], masked vertices NaN, and its last vertex repeats its first.
  void write_closed(double* out) const;
  // Open outlines, faces() x verts() x 2 doubles, masked vertices NaN.
  void write_open(double* out) const;
  // Matplotlib's `colors[face_order]` for a float64 colour list of `count` rows of `cols` values at byte strides;
  // a list that does not hold faces() rows stands for its repetition (`colors.repeat(n, axis=0)`), whose row i
  // is row i / n of the list. Writes faces() x cols doubles into `out`.
  void gather_rows(const char* data, std::size_t count, std::size_t cols, std::ptrdiff_t row_stride,
                   std::ptrdiff_t col_stride, double* out) const;
  // The valid vertices of the face at drawing position s, in order, as (x, y) pairs into `out` (room for
  // verts() pairs); returns how many were written.
  std::size_t write_valid(std::size_t s, double* out) const noexcept;

 private:
  std::size_t faces_ = 0;
  std::size_t verts_ = 0;
  bool needs_masking_ = false;
  bool numpy_warns_ = false;
  bool any_valid_ = false;
  bool has_ties_ = false;
  double min_z_ = 0.0;
  std::vector<double> xy_;              // projected (x, y) of every vertex, by face and vertex
  std::vector<double> z_;               // projected z of every vertex, when kept
  std::vector<unsigned char> valid_;    // one flag per vertex
  std::vector<double> depths_;
  std::vector<double> face_min_;        // min over each face's valid z (NaN-propagating), +inf when none
  std::vector<unsigned char> face_any_; // whether the face has a valid vertex
  std::vector<std::size_t> order_;
  OrderScratch order_scratch_;
};

// NumPy's pairwise sum of n contiguous values (the order of np.add.reduce along a contiguous axis), starting
// from NumPy's +0.0 identity.
double numpy_sum(const double* values, std::size_t n) noexcept;
// Whether that sum raised overflow or invalid (inf - inf), which NumPy reports as a warning: each addition in
// NumPy's order is looked at. Only worth asking when the sum is not finite.
bool numpy_sum_warns(const double* values, std::size_t n) noexcept;

// Writes into order[0, n) the indices of `depths` farthest first: descending depth, NaN before every number,
// ties (+0.0 and -0.0 included) in descending index: the reverse of a stable ascending argsort. poly3d's order
// routine with descending ties; the permutation is the same for every size and pool. Returns whether it has an
// exact tie (order_by_depth).
bool order_farthest_first(const double* depths, std::size_t n, std::size_t* order, OrderScratch& scratch);

// ---- Shading at construction (art3d._generate_normals and art3d._shade_colors) ----

// How BLAS forms the three-term dot product of `(normals / norms) @ direction`. NumPy sends one normal to a dot
// routine and several to a matrix-vector routine, whose kernels may add the terms in different orders.
// These two were read off NumPy's results (OpenBLAS on x86-64 with FMA); another BLAS may differ in the last bit.
enum class DotRule : unsigned char {
  Fused012,  // fma(a2, b2, fma(a1, b1, a0*b0)): the dot routine, for one normal
  Fused102,  // fma(a2, b2, fma(a0, b0, a1*b1)): the matrix-vector routine, for several
};
double dot3(const double* a, const double* b, DotRule rule) noexcept;

// np.cross(v1, v2) of two float64 3-vectors, v1 = p[0] - p[m/3] and v2 = p[m/3] - p[2m/3] for the normal of a
// polygon p of m vertices (_generate_normals). Sets `warns` when NumPy might warn: a component came out infinite
// (an overflow), or an operand is not finite (such input is left to Matplotlib, undecided).
std::array<double, 3> cross(const double* v1, const double* v2, bool& warns) noexcept;

// Matplotlib's shading factor of each normal (rows of 3 doubles): the normal divided by its length
// (np.linalg.norm), dotted with the light direction, NaN taken as 0, then mapped through Normalize(-1, 1) and
// the inverse of Normalize(0.3, 1): 0.3 + ((d - -1) / 2) * (1 - 0.3). Returns false, with `factors` undefined,
// when no dot product is a number (Matplotlib leaves the colours unshaded then) or when squaring a finite
// component overflowed (NumPy would warn: such input is left to Matplotlib).
bool shade_factors(const double* normals, std::size_t n, const double direction[3], DotRule rule,
                   double* factors);

}  // namespace korvex::poly3d::mpl
