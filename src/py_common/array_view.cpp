#include "py_common/array_view.hpp"

#include <cmath>
#include <cstdint>
#include <cstring>

namespace korvex::py {
namespace {

// IEEE half precision to double (every half is a double exactly).
double half_to_double(std::uint16_t h) noexcept {
  const int exponent = (h >> 10) & 0x1F;
  const int mantissa = h & 0x3FF;
  double value;
  if (exponent == 0) {
    value = std::ldexp(static_cast<double>(mantissa), -24);
  } else if (exponent == 31) {
    value = mantissa == 0 ? HUGE_VAL : std::nan("");
  } else {
    value = std::ldexp(static_cast<double>(mantissa | 0x400), exponent - 25);
  }
  return (h & 0x8000) ? -value : value;
}

template <class T>
void copy_typed(const char* data, Py_ssize_t stride, std::size_t n, double* out) noexcept {
  for (std::size_t i = 0; i < n; ++i) {
    T value;
    std::memcpy(&value, data + static_cast<Py_ssize_t>(i) * stride, sizeof(T));
    out[i] = static_cast<double>(value);
  }
}

}  // namespace

void copy_as_double(numpy::Type type, const char* data, Py_ssize_t stride, std::size_t n, double* out) noexcept {
  using numpy::Type;
  switch (type) {
    case Type::boolean: {
      for (std::size_t i = 0; i < n; ++i) out[i] = data[static_cast<Py_ssize_t>(i) * stride] != 0 ? 1.0 : 0.0;
      return;
    }
    case Type::int8: return copy_typed<std::int8_t>(data, stride, n, out);
    case Type::uint8: return copy_typed<std::uint8_t>(data, stride, n, out);
    case Type::int16: return copy_typed<std::int16_t>(data, stride, n, out);
    case Type::uint16: return copy_typed<std::uint16_t>(data, stride, n, out);
    case Type::int32: return copy_typed<std::int32_t>(data, stride, n, out);
    case Type::uint32: return copy_typed<std::uint32_t>(data, stride, n, out);
    case Type::int64: return copy_typed<std::int64_t>(data, stride, n, out);
    case Type::uint64: return copy_typed<std::uint64_t>(data, stride, n, out);
    case Type::float16: {
      for (std::size_t i = 0; i < n; ++i) {
        std::uint16_t bits;
        std::memcpy(&bits, data + static_cast<Py_ssize_t>(i) * stride, sizeof bits);
        out[i] = half_to_double(bits);
      }
      return;
    }
    case Type::float32: return copy_typed<float>(data, stride, n, out);
    case Type::float64: return copy_typed<double>(data, stride, n, out);
    case Type::other: return;
  }
}

double* DoubleColumn::fill(std::size_t n) {
  double* room = inline_.data();
  if (n > kInline) {
    heap_.reset(new double[n]);
    room = heap_.get();
  }
  data_ = room;
  return room;
}

void DoubleColumn::read(numpy::Type type, const char* data, Py_ssize_t stride, bool aligned, std::size_t n) {
  if (type == numpy::Type::float64 && aligned && (stride == sizeof(double) || n <= 1)) {
    data_ = reinterpret_cast<const double*>(data);
    return;
  }
  copy_as_double(type, data, stride, n, fill(n));
}

}  // namespace korvex::py
