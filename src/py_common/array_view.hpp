// Typed array views: reading any real NumPy element type into doubles, one strided copy routine for all of them.
//
// The casts are NumPy's own casts to float64 (astype): exact for every type here except 64-bit integers beyond
// 2**53, which round to nearest as the C conversion does. Nothing here needs the interpreter lock.
#pragma once

#include <Python.h>

#include <array>
#include <cstddef>
#include <memory>

#include "py_common/numpy_api.hpp"

namespace korvex::py {

// Copies n elements of `type` (not Type::other, native byte order) found at `data`, `stride` bytes apart, into
// `out` as doubles.
void copy_as_double(numpy::Type type, const char* data, Py_ssize_t stride, std::size_t n, double* out) noexcept;

// n doubles in a row, for the native loops: the caller's own buffer when it already is native, aligned and
// contiguous float64, else a copy (held inline when short). Move-only in spirit: not copyable.
class DoubleColumn {
 public:
  DoubleColumn() = default;
  DoubleColumn(const DoubleColumn&) = delete;
  DoubleColumn& operator=(const DoubleColumn&) = delete;

  // Views or copies n elements of an array's data (see copy_as_double for the type and byte order).
  void read(numpy::Type type, const char* data, Py_ssize_t stride, bool aligned, std::size_t n);
  // Room for n values to be written by the caller.
  double* fill(std::size_t n);

  const double* data() const noexcept { return data_; }

 private:
  static constexpr std::size_t kInline = 32;
  std::array<double, kInline> inline_{};
  std::unique_ptr<double[]> heap_;
  const double* data_ = nullptr;
};

}  // namespace korvex::py
