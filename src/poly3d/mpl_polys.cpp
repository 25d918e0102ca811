// Matplotlib's depth-sorted projection of a polygon collection; see mpl_polys.hpp for where each rule comes from.
#include "poly3d/mpl_polys.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <limits>
#include <utility>

#include "common/assert.hpp"
#include "parallel/parallel_for.hpp"
#include "proj3d/mpl_rule.hpp"

namespace korvex::poly3d::mpl {

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();
// NumPy's default fill value of float64 masked arrays: what np.ma's min and max leave in a fully masked row.
constexpr double kMaskedFill = 1e20;

// Grids of more vertices than this are projected on the worker pool, in pieces of at least kFacesPerPiece faces.
constexpr std::size_t kParallelVertices = 16384;
constexpr std::size_t kFacesPerPiece = 512;

// How BLAS sums a row of the 4 x N product (proj3d/mpl_rule.hpp): its matrix-matrix kernel for N >= 2, its
// matrix-vector kernel for a single point.
enum class Kernel : unsigned char { Gemm, Gemv };

template <Kernel K>
[[gnu::always_inline]] inline double row(const double* r, double x, double y, double z) noexcept {
  if constexpr (K == Kernel::Gemm) {
    return proj3d::mpl::gemm_row(r, x, y, z, 1.0);
  } else {
    return proj3d::mpl::gemv_row(r, x, y, z, 1.0);
  }
}

// A quotient that overflowed: finite operands, a non-zero divisor, an infinite result. (A zero divisor is
// NumPy's divide-by-zero and non-finite operands its invalid case; Matplotlib ignores both.)
[[gnu::always_inline]] inline bool overflowed(double num, double w, double q) noexcept {
  return std::isinf(q) && std::isfinite(num) && std::isfinite(w) && w != 0.0;
}

struct ProjectedPoint {
  double x, y, z;
};

template <Kernel K>
[[gnu::always_inline]] inline ProjectedPoint project(const double* m, double x, double y, double z,
                                                     bool& overflow) noexcept {
  const double w = row<K>(m + 12, x, y, z);
  const double nx = row<K>(m, x, y, z), ny = row<K>(m + 4, x, y, z), nz = row<K>(m + 8, x, y, z);
  const ProjectedPoint p{nx / w, ny / w, nz / w};
  // Only an infinite quotient can be an overflow; the finer test runs only then.
  if (std::isinf(p.x) || std::isinf(p.y) || std::isinf(p.z)) [[unlikely]] {
    overflow = overflow || overflowed(nx, w, p.x) || overflowed(ny, w, p.y) || overflowed(nz, w, p.z);
  }
  return p;
}

bool outside(const ViewBox& b, double x, double y, double z) noexcept {
  return x < b.xmin || x > b.xmax || y < b.ymin || y > b.ymax || z < b.zmin || z > b.zmax;
}

// Per-face results of the projection, written by exactly one task each.
struct FaceOut {
  double* xy;
  double* z;  // null when not kept
  unsigned char* valid;
  double* depth;
  double* face_min;
  unsigned char* face_any;
  unsigned char* face_masked;
  unsigned char* face_warns;
};

// np.min / np.max over one face's valid z, NaN propagating; `none` when no vertex is valid.
struct Extremes {
  double min = kInf;
  double max = -kInf;
  bool nan = false;
  bool any = false;
};

// Faces of up to this many vertices keep their projected z on the stack; longer ones in a buffer of the task.
constexpr std::size_t kStackVertices = 64;

template <Kernel K>
[[gnu::always_inline]] inline void project_face(const FaceProjectionInput& in, std::size_t i, const FaceOut& out,
                                                std::vector<double>& long_face) {
  const std::size_t nv = in.faces.verts;
  const double* m = in.matrix.data();
  double* xy = out.xy + 2 * i * nv;
  double stack_z[kStackVertices];
  if (nv > kStackVertices && long_face.size() < nv) long_face.resize(nv);
  double* zs = nv > kStackVertices ? long_face.data() : stack_z;
  unsigned char* valid = out.valid + i * nv;
  Extremes e;
  std::size_t count = 0;
  bool overflow = false;
  for (std::size_t j = 0; j < nv; ++j) {
    const double x = in.faces.at(i, j, 0);
    const double y = in.faces.at(i, j, 1);
    const double z = in.faces.at(i, j, 2);
    // Matplotlib projects masked vertices too: their quotients can overflow (a warning) like any other.
    const ProjectedPoint p = project<K>(m, x, y, z, overflow);
    const bool ok = !in.invalid.at(i, j) && std::isfinite(x) && std::isfinite(y) && std::isfinite(z) &&
                    !(in.clip && outside(in.box, x, y, z));
    valid[j] = ok ? 1 : 0;
    if (!ok) {
      xy[2 * j] = kNaN;
      xy[2 * j + 1] = kNaN;
      zs[j] = 0.0;  // np.ma fills masked values with 0 before summing
      continue;
    }
    xy[2 * j] = p.x;
    xy[2 * j + 1] = p.y;
    zs[j] = p.z;
    ++count;
    e.any = true;
    if (p.z != p.z) {
      e.nan = true;
    } else {
      if (p.z < e.min) e.min = p.z;
      if (p.z > e.max) e.max = p.z;
    }
  }
  if (out.z != nullptr) std::copy(zs, zs + nv, out.z + i * nv);
  out.face_masked[i] = count != nv ? 1 : 0;
  out.face_any[i] = e.any ? 1 : 0;
  out.face_min[i] = e.nan ? kNaN : e.min;
  double depth = 0.0;
  switch (in.zsort) {
    case ZSortMode::Average: {
      // Masked mean: the sum over the row with masked values as 0, over the count of valid ones; an empty
      // count leaves the masked sum's 0.
      const double sum = numpy_sum(zs, nv);
      if (!std::isfinite(sum) && numpy_sum_warns(zs, nv)) overflow = true;
      depth = count == 0 ? 0.0 : sum / static_cast<double>(count);
      break;
    }
    case ZSortMode::Min:
      depth = !e.any ? kMaskedFill : (e.nan ? kNaN : e.min);
      break;
    case ZSortMode::Max:
      depth = !e.any ? kMaskedFill : (e.nan ? kNaN : e.max);
      break;
  }
  out.depth[i] = depth;
  out.face_warns[i] = overflow ? 1 : 0;
}

template <Kernel K>
void project_faces(const FaceProjectionInput& in, std::size_t begin, std::size_t end, const FaceOut& out) {
  std::vector<double> long_face;
  for (std::size_t i = begin; i < end; ++i) project_face<K>(in, i, out, long_face);
}

// The same operations with the fused multiply-add instruction, many times faster than the library's fma.
[[gnu::target("fma")]] void project_faces_fma(const FaceProjectionInput& in, std::size_t begin, std::size_t end,
                                              const FaceOut& out) {
  std::vector<double> long_face;
  for (std::size_t i = begin; i < end; ++i) project_face<Kernel::Gemm>(in, i, out, long_face);
}

bool have_fma() noexcept {
  static const bool available = [] {
    __builtin_cpu_init();
    return __builtin_cpu_supports("fma");
  }();
  return available;
}

void project_range(const FaceProjectionInput& in, std::size_t begin, std::size_t end, const FaceOut& out) {
  if (in.faces.faces * in.faces.verts == 1) {
    project_faces<Kernel::Gemv>(in, begin, end, out);
  } else if (have_fma()) {
    project_faces_fma(in, begin, end, out);
  } else {
    project_faces<Kernel::Gemm>(in, begin, end, out);
  }
}

// Runs body(begin, end) over [0, n) faces, on the pool when the grid is large. Every face is computed by the
// same code whichever way it runs, so the split never changes a result.
template <class Body>
void for_faces(std::size_t n, std::size_t verts, Body&& body) {
  if (n < 2 || n * std::max<std::size_t>(verts, 1) <= kParallelVertices) {
    body(std::size_t{0}, n);
    return;
  }
  const std::size_t pieces = (n + kFacesPerPiece - 1) / kFacesPerPiece;
  auto piece = [&](std::size_t p) {
    const std::size_t begin = p * kFacesPerPiece;
    body(begin, std::min(n, begin + kFacesPerPiece));
  };
  parallel::parallel_for(pieces, 1, piece);
}

}  // namespace

namespace {

// NumPy's pairwise_sum: below 8 values a plain loop, up to its block size eight running sums combined in pairs,
// above that the two halves (split at a multiple of 8) summed separately.
double pairwise_sum(const double* a, std::size_t n) noexcept {
  constexpr std::size_t kBlock = 128;  // NumPy's PW_BLOCKSIZE
  if (n < 8) {
    double res = 0.0;
    for (std::size_t i = 0; i < n; ++i) res += a[i];
    return res;
  }
  if (n <= kBlock) {
    double r[8];
    for (std::size_t j = 0; j < 8; ++j) r[j] = a[j];
    std::size_t i = 8;
    for (; i < n - n % 8; i += 8) {
      for (std::size_t j = 0; j < 8; ++j) r[j] += a[i + j];
    }
    double res = ((r[0] + r[1]) + (r[2] + r[3])) + ((r[4] + r[5]) + (r[6] + r[7]));
    for (; i < n; ++i) res += a[i];
    return res;
  }
  std::size_t half = n / 2;
  half -= half % 8;
  return pairwise_sum(a, half) + pairwise_sum(a + half, n - half);
}

}  // namespace

namespace {

// One addition of NumPy's sum: whether it overflowed or made a NaN out of numbers.
double checked_add(double a, double b, bool& warns) noexcept {
  const double r = a + b;
  if ((std::isinf(r) && std::isfinite(a) && std::isfinite(b)) || (r != r && a == a && b == b)) warns = true;
  return r;
}

double checked_pairwise_sum(const double* a, std::size_t n, bool& warns) noexcept {
  constexpr std::size_t kBlock = 128;
  if (n < 8) {
    double res = 0.0;
    for (std::size_t i = 0; i < n; ++i) res = checked_add(res, a[i], warns);
    return res;
  }
  if (n <= kBlock) {
    double r[8];
    for (std::size_t j = 0; j < 8; ++j) r[j] = a[j];
    std::size_t i = 8;
    for (; i < n - n % 8; i += 8) {
      for (std::size_t j = 0; j < 8; ++j) r[j] = checked_add(r[j], a[i + j], warns);
    }
    double res = checked_add(checked_add(checked_add(r[0], r[1], warns), checked_add(r[2], r[3], warns), warns),
                             checked_add(checked_add(r[4], r[5], warns), checked_add(r[6], r[7], warns), warns),
                             warns);
    for (; i < n; ++i) res = checked_add(res, a[i], warns);
    return res;
  }
  std::size_t half = n / 2;
  half -= half % 8;
  return checked_add(checked_pairwise_sum(a, half, warns), checked_pairwise_sum(a + half, n - half, warns), warns);
}

}  // namespace

bool numpy_sum_warns(const double* a, std::size_t n) noexcept {
  bool warns = false;
  checked_add(0.0, checked_pairwise_sum(a, n, warns), warns);
  return warns;
}

double numpy_sum(const double* a, std::size_t n) noexcept {
  // The reduction adds the pairwise sum to the output, which starts at add's identity.
  return 0.0 + pairwise_sum(a, n);
}

bool order_farthest_first(const double* depths, std::size_t n, std::size_t* order, OrderScratch& scratch) {
  return order_by_depth(depths, n, order, TieOrder::DescendingIndex, scratch);
}

void FaceProjection::run(const FaceProjectionInput& in) {
  const std::size_t n = in.faces.faces;
  const std::size_t nv = in.faces.verts;
  faces_ = n;
  verts_ = nv;
  xy_.resize(2 * n * nv);
  z_.resize(in.keep_z ? n * nv : 0);
  valid_.resize(n * nv);
  depths_.resize(n);
  face_min_.resize(n);
  face_any_.resize(n);
  std::vector<unsigned char> face_masked(n);
  std::vector<unsigned char> face_warns(n);
  order_.resize(n);

  const FaceOut out{xy_.data(),       in.keep_z ? z_.data() : nullptr, valid_.data(),     depths_.data(),
                    face_min_.data(), face_any_.data(),                face_masked.data(), face_warns.data()};
  for_faces(n, nv, [&](std::size_t begin, std::size_t end) { project_range(in, begin, end, out); });

  // Combined in face order, so NaN and signed zeros come out the same whatever the split.
  needs_masking_ = false;
  numpy_warns_ = false;
  any_valid_ = false;
  double smallest = kInf;
  bool nan = false;
  for (std::size_t i = 0; i < n; ++i) {
    needs_masking_ = needs_masking_ || face_masked[i] != 0;
    numpy_warns_ = numpy_warns_ || face_warns[i] != 0;
    if (face_any_[i] == 0) continue;
    any_valid_ = true;
    const double m = face_min_[i];
    if (m != m) {
      nan = true;
    } else if (m < smallest) {
      smallest = m;
    }
  }
  min_z_ = nan ? kNaN : smallest;

  has_ties_ = order_farthest_first(depths_.data(), n, order_.data(), order_scratch_);
}

void FaceProjection::use_ascending_order(const std::ptrdiff_t* ascending) noexcept {
  const std::size_t n = faces_;
  for (std::size_t s = 0; s < n; ++s) {
    const std::ptrdiff_t face = ascending[n - 1 - s];
    KORVEX_ASSERT(face >= 0 && static_cast<std::size_t>(face) < n, "an index of the argsort within the faces");
    order_[s] = static_cast<std::size_t>(face);
  }
}

void FaceProjection::write_closed(double* out) const {
  const std::size_t nv = verts_;
  const std::size_t row = 2 * (nv + 1);
  for_faces(faces_, nv, [&](std::size_t begin, std::size_t end) {
    for (std::size_t s = begin; s < end; ++s) {
      const double* src = xy_.data() + 2 * order_[s] * nv;
      double* dst = out + s * row;
      // A plain loop: the rows are short, and a library copy per row costs more than the copying.
      for (std::size_t k = 0; k < 2 * nv; ++k) dst[k] = src[k];
      if (nv > 0) {
        dst[2 * nv] = src[0];
        dst[2 * nv + 1] = src[1];
      }
    }
  });
}

void FaceProjection::write_open(double* out) const {
  const std::size_t nv = verts_;
  for_faces(faces_, nv, [&](std::size_t begin, std::size_t end) {
    for (std::size_t s = begin; s < end; ++s) {
      const double* src = xy_.data() + 2 * order_[s] * nv;
      double* dst = out + s * 2 * nv;
      for (std::size_t k = 0; k < 2 * nv; ++k) dst[k] = src[k];
    }
  });
}

void FaceProjection::gather_rows(const char* data, std::size_t count, std::size_t cols, std::ptrdiff_t row_stride,
                                 std::ptrdiff_t col_stride, double* out) const {
  const std::size_t n = faces_;
  for_faces(n, cols, [&](std::size_t begin, std::size_t end) {
    for (std::size_t s = begin; s < end; ++s) {
      const std::size_t row = count == n ? order_[s] : order_[s] / n;
      const char* src = data + static_cast<std::ptrdiff_t>(row) * row_stride;
      for (std::size_t c = 0; c < cols; ++c) {
        std::memcpy(out + s * cols + c, src + static_cast<std::ptrdiff_t>(c) * col_stride, sizeof(double));
      }
    }
  });
}

std::size_t FaceProjection::write_valid(std::size_t s, double* out) const noexcept {
  KORVEX_ASSERT(s < faces_, "drawing position within the collection");
  const std::size_t face = order_[s];
  const double* src = xy_.data() + 2 * face * verts_;
  std::size_t written = 0;
  for (std::size_t j = 0; j < verts_; ++j) {
    if (!valid(face, j)) continue;
    out[2 * written] = src[2 * j];
    out[2 * written + 1] = src[2 * j + 1];
    ++written;
  }
  return written;
}

}  // namespace korvex::poly3d::mpl
